// Handing the uninstall to a copy of the program in the temporary folder, so that the
// program's own file can be deleted too; elevated where the installation needs it.
#pragma once

#include "driver/run.h"

namespace dismora {

enum class Handover { kEnded, kRunHere };

// Copies the program and starts the copy. kEnded when this process is done (the copy,
// or the program's own file, was started; or both elevated starts failed and the
// administrator message was shown); kRunHere when the plain start failed or the program's
// own path is not known.
Handover Relaunch(Run& run);

// Opens a file for reading with the given sharing; invalid when it cannot be opened.
UniqueFileHandle OpenForReading(const Text& path, win::DWORD share);

// True when the file holds the bytes the open file holds from where it stands to its end.
bool SameBytes(const Text& path, win::HANDLE other);

inline constexpr win::DWORD kShareAll = win::FILE_SHARE_READ | win::FILE_SHARE_WRITE | win::FILE_SHARE_DELETE;

// The name of the copy at the given attempt: the number goes before the last four characters.
Text CopyTargetForAttempt(const Text& base, std::uint32_t attempt);

}  // namespace dismora
