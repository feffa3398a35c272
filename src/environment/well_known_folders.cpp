#include "environment/well_known_folders.h"

#include "platform/unique_handle.h"
#include "platform/win_api.h"

namespace dismora {

namespace {

constexpr win::DWORD kFolderBufferChars = 261;

const char16_t kCurrentVersionKey[] = u"Software\\Microsoft\\Windows\\CurrentVersion";
const char16_t kShellFoldersKey[] = u"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

// A folder value counts only when it can be read and is not empty; it is used as stored.
bool ReadFolderValue(win::HKEY key, const char16_t* name, Text& folder) {
    char16_t buffer[kFolderBufferChars] = {};
    win::DWORD size = sizeof(buffer);  // in bytes
    if (win::RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<win::BYTE*>(buffer), &size) !=
        win::ERROR_SUCCESS) {
        return false;
    }
    if (buffer[0] == 0) return false;
    folder = AppendTrailingBackslash(TextFromBuffer(buffer, kFolderBufferChars));
    return true;
}

// An all-users value takes over the role; the per-user folder it replaces stays protected.
void ReadCommonFolderValue(win::HKEY key, const char16_t* name, Text& folder, std::vector<Text>& replaced) {
    Text before = folder;
    if (ReadFolderValue(key, name, folder) && !SameFileName(before, folder)) replaced.push_back(before);
}

Text FolderFromWindows(win::UINT (*query)(win::WCHAR*, win::UINT)) {
    char16_t buffer[kFolderBufferChars] = {};
    if (query(buffer, kFolderBufferChars) == 0) return Text();
    return AppendTrailingBackslash(TextFromBuffer(buffer, kFolderBufferChars));
}

}  // namespace

bool SameFileName(TextView a, TextView b) {
    if (a.size() != b.size()) return false;
    if (a.empty()) return true;
    return win::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()),
                                     win::TRUE) == win::CSTR_EQUAL;
}

bool WellKnownFolders::IsProtected(TextView folder) const {
    const Text* roles[] = {&windows,  &system,  &windows_drive, &program_files, &common_files, &start_menu,
                           &programs, &desktop, &send_to,       &startup,       &my_documents, &app_data};
    for (const Text* role : roles) {
        if (SameFileName(folder, *role)) return true;
    }
    for (const Text& extra : replaced) {
        if (SameFileName(folder, extra)) return true;
    }
    return false;
}

void ComputeWellKnownFolders(WellKnownFolders& f) {
    f = WellKnownFolders{};
    f.windows = FolderFromWindows(&win::GetWindowsDirectoryW);
    if (f.windows.empty()) f.windows = u"C:\\Windows\\";

    f.windows_drive = AppendTrailingBackslash(DriveOrShareRoot(f.windows));
    if (f.windows_drive.empty()) f.windows_drive = u"C:\\";

    f.system = FolderFromWindows(&win::GetSystemDirectoryW);
    if (f.system.empty()) f.system = f.windows + u"System\\";

    f.program_files = u"C:\\Program Files\\";
    f.common_files = f.program_files + u"Common Files\\";
    {
        UniqueKey key;
        if (OpenKey(win::HKEY_LOCAL_MACHINE, kCurrentVersionKey, win::KEY_QUERY_VALUE, key) == win::ERROR_SUCCESS) {
            ReadFolderValue(key.Get(), u"ProgramFilesDir", f.program_files);
            if (!ReadFolderValue(key.Get(), u"CommonFilesDir", f.common_files)) {
                f.common_files = f.program_files + u"Common Files\\";
            }
        }
    }

    f.start_menu = f.windows + u"Start Menu\\";
    f.programs = f.start_menu + u"Programs\\";
    f.startup = f.programs + u"StartUp\\";
    f.desktop = f.windows + u"Desktop\\";
    f.send_to = f.windows + u"SendTo\\";
    f.my_documents = f.windows_drive + u"My Documents\\";
    f.app_data = f.windows + u"Application Data\\";
    {
        UniqueKey key;
        if (OpenKey(win::HKEY_CURRENT_USER, kShellFoldersKey, win::KEY_QUERY_VALUE, key) == win::ERROR_SUCCESS) {
            ReadFolderValue(key.Get(), u"Start Menu", f.start_menu);
            if (!ReadFolderValue(key.Get(), u"Programs", f.programs)) f.programs = f.start_menu + u"Programs\\";
            if (!ReadFolderValue(key.Get(), u"Startup", f.startup)) f.startup = f.programs + u"StartUp\\";
            ReadFolderValue(key.Get(), u"Desktop", f.desktop);
            ReadFolderValue(key.Get(), u"SendTo", f.send_to);
            ReadFolderValue(key.Get(), u"Personal", f.my_documents);
            ReadFolderValue(key.Get(), u"AppData", f.app_data);
        }
    }
    {
        UniqueKey key;
        if (OpenKey(win::HKEY_LOCAL_MACHINE, kShellFoldersKey, win::KEY_QUERY_VALUE, key) == win::ERROR_SUCCESS) {
            ReadCommonFolderValue(key.Get(), u"Common Start Menu", f.start_menu, f.replaced);
            ReadCommonFolderValue(key.Get(), u"Common Programs", f.programs, f.replaced);
            ReadCommonFolderValue(key.Get(), u"Common Startup", f.startup, f.replaced);
            ReadCommonFolderValue(key.Get(), u"Common Desktop", f.desktop, f.replaced);
        }
    }
}

}  // namespace dismora
