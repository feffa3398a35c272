#pragma once

namespace dismora {

// The whole program for this process: start-up, then the relaunch or the
// uninstall run. Returns when the program ends; the caller ends the process.
void MainRoutine();

}  // namespace dismora
