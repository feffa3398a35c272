// The small window that shows a long run's progress, on a thread of its own.
#pragma once

#include "actions/progress_meter.h"
#include "environment/text.h"
#include "platform/win_api.h"

namespace dismora {

struct TProgressWindow {
    ProgressMeter meter;
    Text caption;
    Text comctl32;  // its full path in the System folder
};

// The window's thread: shows the window from the meter until the meter says stop.
win::DWORD WIN_STDCALL ShowProgressWindow(void* window);

}  // namespace dismora
