// The uninstall itself: the pre-uninstall command, the four sections of the log and the completion.
#pragma once

#include "driver/run.h"

namespace dismora {

void UninstallRun(Run& run);

}  // namespace dismora
