// The uninstall itself: the pre-uninstall command, the four sections of the log and the completion.
#pragma once

#include "driver/run.h"

namespace dismora {

void UninstallRun(Run& run);

// Tells, unless silent, that another uninstall of the log is under way (exit code 1618).
void TellAnotherUninstallRuns(Run& run);

}  // namespace dismora
