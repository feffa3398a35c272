// Two questions about the rights this process has or can get.
#pragma once

#include "platform/win_api.h"

namespace dismora {

struct Run;

// True when User Account Control is on (the EnableLUA policy can be read and is not 0).
bool IsLuaEnabled();

// Non-zero when the effective token is an enabled member of BUILTIN\Administrators.
win::BOOL IsAdministrator(Run& run);

}  // namespace dismora
