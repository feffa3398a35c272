// The small window that shows a long run's progress, on a thread of its own.
#pragma once

#include "platform/win_api.h"

namespace dismora {

// The window's thread, given the meter's TProgressShared, of which it owns a share: shows
// the window until the meter says stop, then lets go of it.
win::DWORD WIN_STDCALL ShowProgressWindow(void* shared);

}  // namespace dismora
