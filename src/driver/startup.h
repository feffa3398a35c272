// Start-up: the command line, the deployment log and its header, the gate and the confirmation.
#pragma once

#include "driver/run.h"

namespace dismora {

enum class HeaderStatus {
    kOk,
    kNoVersionLine,  // the first 101 lines are all empty or comments
    kBadVersion,     // not a number, or below 1
    kTooNew,         // above 4
};

// Reads the header from the open log into the run, showing nothing.
HeaderStatus ParseHeader(Run& run);

// Reads the header; shows the documented message and returns false when the log is rejected.
bool ReadHeader(Run& run);

// Lets an all-users uninstall go on only where administrator rights are at hand or can
// be asked for; otherwise shows the administrator message and returns false.
bool PassPrivilegeGate(Run& run);

// The administrator message, also shown when both elevated starts fail.
void ShowAdministratorMessage(const Run& run);

}  // namespace dismora
