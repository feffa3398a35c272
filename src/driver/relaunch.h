// Handing the uninstall to a copy of the program in the temporary folder, so that the
// program's own file can be deleted too; elevated where the installation needs it.
#pragma once

#include "driver/run.h"

namespace dismora {

// ended when this process is done (the copy, or the program's own file, was started; or
// both elevated starts failed and the administrator message was shown), with the outcome:
// with /wait the copy's. Not ended when the plain start failed or the program's own path
// is not known: the uninstall then runs here.
struct THandover {
    bool ended;
    win::DWORD outcome;
};

// Copies the program and starts the copy.
THandover Relaunch(Run& run);

// The name of the copy at the given attempt: the number goes before the last four characters.
Text CopyTargetForAttempt(const Text& base, std::uint32_t attempt);

}  // namespace dismora
