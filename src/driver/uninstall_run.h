// The uninstall itself: the pre-uninstall command, the four sections of the log and the
// deletions; then, once the run is complete, the end of the process that waits for it.
#pragma once

#include "driver/run.h"

namespace dismora {

// Returns the outcome; complete is set when the run went through to its end.
win::DWORD UninstallRun(Run& run);

// With /wait: ends the waiting first instance with the outcome, then deletes its file when
// the log lists it.
void EndWaiter(Run& run, win::DWORD outcome);

}  // namespace dismora
