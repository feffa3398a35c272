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

// What names an open file whatever path reached it: its volume's serial number and its
// index there. Not known when Windows gives none or an index of 0 (some file systems have
// no stable index).
struct TFileIdentity {
    win::DWORD volume = 0;
    win::DWORD index_high = 0;
    win::DWORD index_low = 0;
    bool known = false;
};
TFileIdentity IdentityOf(win::HANDLE file);

// The open file's path as the file system names it, through any short name, junction,
// substituted or mapped drive (a mapped drive's file by its share's path); without it the
// canonical form of the path given, and without that the path as given.
Text FinalPathOf(win::HANDLE file, const Text& given);

// Whether the file or folder itself (a link, not what it leads to) is owned by
// Administrators, SYSTEM or TrustedInstaller; whatever cannot be read is not.
bool OwnedByTheSystem(const Text& path);

// Whether a folder on the way to this one (ending with "\"), below its root, is a junction
// or link that a standard user could have made: its owner is not Administrators, SYSTEM or
// TrustedInstaller. Nothing below such a link is deleted: it may lead anywhere. The first
// checked characters name a folder (with its "\\") already found free of such links: only the
// folders below it are asked.
bool PlantedLinkOnPath(const Text& folder, std::size_t checked = 0);

// The temporary folder with its trailing backslash; empty when Windows gives none that fits.
Text TemporaryFolder();

}  // namespace dismora
