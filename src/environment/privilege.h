// Two questions about the rights this process has or can get.
#pragma once

#include "environment/looked_up.h"
#include "platform/win_api.h"

namespace dismora {

// True when User Account Control is on (the EnableLUA policy can be read and is not 0).
bool IsLuaEnabled();

// Non-zero when the effective token is an enabled member of BUILTIN\Administrators.
// The membership function is looked up once, into looked_up.
win::BOOL IsAdministrator(TLookedUpFunctions& looked_up);

}  // namespace dismora
