#pragma once

#include "platform/win_api.h"

namespace dismora {

// The whole program for this process: start-up, then the relaunch or the
// uninstall run. Returns when the program ends; the caller ends the process.
// The exit code: 0, or with /wait the outcome.
win::DWORD MainRoutine();

}  // namespace dismora
