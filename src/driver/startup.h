// Start-up: the deployment log's header and the privilege gate, with their messages.
#pragma once

#include "driver/run.h"

namespace dismora {

// Reads the header; shows the documented message and returns false when the log is rejected.
bool ReadHeader(Run& run);

// Lets an all-users uninstall go on only where administrator rights are at hand or can
// be asked for; otherwise shows the administrator message and returns false.
bool PassPrivilegeGate(Run& run);

// The administrator message, also shown when both elevated starts fail.
void ShowAdministratorMessage(const Run& run);

}  // namespace dismora
