#include "environment/well_known_folders.h"

#include <cstring>
#include <iterator>
#include <utility>

#include "platform/unique_handle.h"
#include "platform/win_api.h"

namespace dismora {

namespace {

constexpr win::DWORD kFolderBufferChars = 261;

const char kCurrentVersionKey[] = "Software\\Microsoft\\Windows\\CurrentVersion";
const char kShellFoldersKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

// One folder value of a key: where it goes and, when it is absent, the folder and the
// name the default is built again from (none: the folder keeps what it has).
struct TFolderValue {
    const char* name;
    unsigned char folder;
    unsigned char base;  // kRoles: none
    const char* suffix;
};

void BuildDefault(WellKnownFolders& f, unsigned folder, unsigned base, const char* suffix) {
    f.role[folder] = f.role[base];
    AppendAscii(f.role[folder], suffix);
}

// The folder in a buffer Windows filled, with a "\" at its end; false, leaving the folder
// as it was, when the buffer holds none.
bool TakeFolder(const char16_t* buffer, Text& folder) {
    if (buffer[0] == 0) return false;
    std::size_t length = 0;
    while (length < kFolderBufferChars && buffer[length] != 0) ++length;
    folder.clear();
    folder.append(buffer, length);
    EndWithBackslash(folder);
    return true;
}

// A folder value counts only when it can be read and is not empty; it is used as stored.
bool ReadFolderValue(win::HKEY key, const char* name, Text& folder) {
    char16_t buffer[kFolderBufferChars] = {};
    win::DWORD size = sizeof(buffer);  // in bytes
    return win::RegQueryValueExW(key, FromAscii(name).c_str(), nullptr, nullptr, reinterpret_cast<win::BYTE*>(buffer),
                                 &size) == win::ERROR_SUCCESS &&
           TakeFolder(buffer, folder);
}

// Reads the values in order. An all-users value (replaced given) takes over the role,
// and the per-user folder it replaces stays protected.
void ReadFolderValues(WellKnownFolders& f, win::HKEY root, const char* key_path, const TFolderValue* values,
                      std::size_t count, std::vector<Text>* replaced) {
    UniqueKey key;
    if (OpenKey(root, FromAscii(key_path).c_str(), win::KEY_QUERY_VALUE, key) != win::ERROR_SUCCESS) return;
    for (std::size_t i = 0; i < count; ++i) {
        const TFolderValue& value = values[i];
        Text before = f.role[value.folder];
        if (ReadFolderValue(key.Get(), value.name, f.role[value.folder])) {
            if (replaced != nullptr && !SameFileName(before, f.role[value.folder])) replaced->push_back(std::move(before));
        } else if (value.base != WellKnownFolders::kRoles) {
            BuildDefault(f, value.folder, value.base, value.suffix);
        }
    }
}

bool FolderFromWindows(win::UINT (*query)(win::WCHAR*, win::UINT), Text& folder) {
    char16_t buffer[kFolderBufferChars] = {};
    return query(buffer, kFolderBufferChars) != 0 && TakeFolder(buffer, folder);
}

using F = WellKnownFolders;

const TFolderValue kProgramFolderValues[] = {
    {"ProgramFilesDir", F::kProgramFiles, F::kRoles, nullptr},
    {"CommonFilesDir", F::kCommonFiles, F::kProgramFiles, "Common Files\\"},
};

// The shell folders' defaults, each from the folders as they stand when it is built.
const TFolderValue kShellDefaults[] = {
    {nullptr, F::kStartMenu, F::kWindows, "Start Menu\\"},
    {nullptr, F::kPrograms, F::kStartMenu, "Programs\\"},
    {nullptr, F::kStartup, F::kPrograms, "StartUp\\"},
    {nullptr, F::kDesktop, F::kWindows, "Desktop\\"},
    {nullptr, F::kSendTo, F::kWindows, "SendTo\\"},
    {nullptr, F::kMyDocuments, F::kWindowsDrive, "My Documents\\"},
    {nullptr, F::kAppData, F::kWindows, "Application Data\\"},
};

const TFolderValue kUserShellValues[] = {
    {"Start Menu", F::kStartMenu, F::kRoles, nullptr},    {"Programs", F::kPrograms, F::kStartMenu, "Programs\\"},
    {"Startup", F::kStartup, F::kPrograms, "StartUp\\"}, {"Desktop", F::kDesktop, F::kRoles, nullptr},
    {"SendTo", F::kSendTo, F::kRoles, nullptr},           {"Personal", F::kMyDocuments, F::kRoles, nullptr},
    {"AppData", F::kAppData, F::kRoles, nullptr},
};

// Nothing is built again from these.
const TFolderValue kCommonShellValues[] = {
    {"Common Start Menu", F::kStartMenu, F::kRoles, nullptr},
    {"Common Programs", F::kPrograms, F::kRoles, nullptr},
    {"Common Startup", F::kStartup, F::kRoles, nullptr},
    {"Common Desktop", F::kDesktop, F::kRoles, nullptr},
};

}  // namespace

bool SameFileName(TextView a, TextView b) {
    if (a.size() != b.size()) return false;
    if (a.empty()) return true;
    return win::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()),
                                     win::TRUE) == win::CSTR_EQUAL;
}

const Text& WellKnownFolders::Folder(std::size_t index) const {
    return index < kRoles ? role[index] : replaced[index - kRoles];
}

bool WellKnownFolders::IsProtected(TextView folder) const {
    for (std::size_t i = 0; i < Count(); ++i) {
        if (SameFileName(folder, Folder(i))) return true;
    }
    return false;
}

namespace {

// Opens the folder for its attributes only, sharing everything, and appends what it is to
// identity: its volume serial number and file index, six units. Junctions and links on the
// way, and the folder itself when it is one, are followed to the real folder.
bool ReadIdentity(const Text& folder, Text& identity) {
    UniqueFileHandle handle(win::CreateFileW(
        folder.c_str(), win::FILE_READ_ATTRIBUTES, win::FILE_SHARE_READ | win::FILE_SHARE_WRITE | win::FILE_SHARE_DELETE,
        nullptr, win::OPEN_EXISTING, win::FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    win::BY_HANDLE_FILE_INFORMATION info = {};
    if (!handle.IsValid() || !win::GetFileInformationByHandle(handle.Get(), &info)) return false;
    // The volume goes where the link count was, right before the file index.
    info.nNumberOfLinks = info.dwVolumeSerialNumber;
    char16_t units[6];
    std::memcpy(units, &info.nNumberOfLinks, sizeof(units));
    identity.append(units, 6);
    return true;
}

// The last name of a path ending with "\" or not.
TextView LastName(TextView path) {
    if (!path.empty() && path.back() == u'\\') path.remove_suffix(1);
    std::size_t at = path.size();
    while (at > 0 && path[at - 1] != u'\\' && path[at - 1] != u':') --at;
    return path.substr(at);
}

}  // namespace

bool WellKnownFolders::KeepsFolder(const Text& folder) {
    // RemoveDirectoryW would take a junction or link away whatever its target holds.
    const win::DWORD attributes = win::GetFileAttributesW(folder.c_str());
    if (attributes != win::INVALID_FILE_ATTRIBUTES && (attributes & win::FILE_ATTRIBUTE_REPARSE_POINT)) return true;
    Text form;
    if (!forms_taken) {
        forms_taken = true;
        for (std::size_t i = 0; i < Count(); ++i) {
            ReadIdentity(Folder(i), identities);
            // As written too: the same text is the same folder, whatever Windows says of it.
            Text written = Folder(i);
            forms.push_back(std::move(written));
            Text canonical;
            if (CanonicalPath(Folder(i), canonical)) forms.push_back(std::move(canonical));
        }
    }
    // Every spelling of a folder ends with its own name, but for short names and the dots
    // and blanks Windows drops: only a folder so named may be a protected one.
    const TextView name = LastName(folder);
    bool named = name.empty() || name.find(u'~') != TextView::npos || name.back() == u'.' || name.back() == u' ';
    for (const Text& known : forms) named = named || SameFileName(LastName(known), name);
    if (!named) return false;
    Text identity;
    const bool opened = ReadIdentity(folder, identity);
    for (std::size_t at = 0; opened && at < identities.size(); at += 6) {
        if (identities.compare(at, 6, identity) == 0) return true;
    }
    const bool canonical = CanonicalPath(folder, form);
    for (const Text& known : forms) {
        if (SameFileName(known, folder) || (canonical && SameFileName(known, form))) return true;
    }
    return !opened && !canonical;
}

void ComputeWellKnownFolders(WellKnownFolders& f) {
    // Every role is assigned below; only what the clean-up gathered starts anew.
    f.replaced.clear();
    f.forms_taken = false;
    f.identities.clear();
    f.forms.clear();
    if (!FolderFromWindows(&win::GetWindowsDirectoryW, f.role[F::kWindows])) AssignAscii(f.role[F::kWindows], "C:\\Windows\\");

    f.role[F::kWindowsDrive] = DriveOrShareRoot(f.role[F::kWindows]);
    EndWithBackslash(f.role[F::kWindowsDrive]);
    if (f.role[F::kWindowsDrive].empty()) AssignAscii(f.role[F::kWindowsDrive], "C:\\");

    if (!FolderFromWindows(&win::GetSystemDirectoryW, f.role[F::kSystem])) BuildDefault(f, F::kSystem, F::kWindows, "System\\");

    AssignAscii(f.role[F::kProgramFiles], "C:\\Program Files\\");
    BuildDefault(f, F::kCommonFiles, F::kProgramFiles, "Common Files\\");
    ReadFolderValues(f, win::HKEY_LOCAL_MACHINE, kCurrentVersionKey, kProgramFolderValues,
                     std::size(kProgramFolderValues), nullptr);

    for (const TFolderValue& value : kShellDefaults) BuildDefault(f, value.folder, value.base, value.suffix);
    ReadFolderValues(f, win::HKEY_CURRENT_USER, kShellFoldersKey, kUserShellValues, std::size(kUserShellValues),
                     nullptr);
    ReadFolderValues(f, win::HKEY_LOCAL_MACHINE, kShellFoldersKey, kCommonShellValues, std::size(kCommonShellValues),
                     &f.replaced);
}

}  // namespace dismora
