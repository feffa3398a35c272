// Start-up: the deployment log's header and the privilege gate, with their messages.
#pragma once

#include "driver/run.h"

namespace dismora {

// Lets an all-users uninstall go on only where administrator rights are at hand or can
// be asked for; otherwise shows the administrator message and returns false.
bool PassPrivilegeGate(Run& run);

// MessageBoxW with no owner, or nothing (0) in a waited silent run; the text goes to the
// record either way.
int ShowBox(Run& run, const Text& text, const char16_t* caption, win::UINT style);

// The administrator message, also shown when both elevated starts fail.
void ShowAdministratorMessage(Run& run);

}  // namespace dismora
