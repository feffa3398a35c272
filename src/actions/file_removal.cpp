#include "actions/file_removal.h"

#include "platform/win_api.h"

namespace dismora {

namespace {

constexpr win::DWORD kShortPathChars = 262;

}  // namespace

void DeleteFileOrSchedule(const Text& path, const WellKnownFolders& folders, bool& reboot_pending) {
    if (!FileExists(path)) return;
    if (win::DeleteFileW(path.c_str())) {
        RemoveEmptyFolders(FolderPart(path), folders);
        return;
    }
    reboot_pending = true;
    ScheduleDeleteAtRestart(path);
}

void ScheduleDeleteAtRestart(const Text& path) {
    char16_t short_path[kShortPathChars] = {};
    win::DWORD length = win::GetShortPathNameW(path.c_str(), short_path, kShortPathChars);
    // Without a short form that fits, the buffer holds nothing defined: the full path is registered.
    const char16_t* name = (length == 0 || length >= kShortPathChars) ? path.c_str() : short_path;
    win::MoveFileExW(name, nullptr, win::MOVEFILE_DELAY_UNTIL_REBOOT);
}

void RemoveEmptyFolders(Text folder, const WellKnownFolders& folders) {
    while (!folder.empty() && folder.back() == u'\\') {
        if (folders.IsProtected(folder)) return;
        if (!win::RemoveDirectoryW(folder.c_str())) return;
        folder.pop_back();
        folder = FolderPart(folder);
    }
}

}  // namespace dismora
