// Reading files as they are: opened by path, compared byte for byte.
#pragma once

#include "environment/text.h"
#include "platform/unique_handle.h"

namespace dismora {

inline constexpr win::DWORD kShareAll = win::FILE_SHARE_READ | win::FILE_SHARE_WRITE | win::FILE_SHARE_DELETE;

// Opens a file for reading with the given sharing; invalid when it cannot be opened.
UniqueFileHandle OpenForReading(const Text& path, win::DWORD share);

// True when the file holds the bytes the open file holds from where it stands to its end.
bool SameBytes(const Text& path, win::HANDLE other);

}  // namespace dismora
