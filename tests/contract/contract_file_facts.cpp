// File facts: deleting files and folders and why it fails, delayed deletion, short
// names, opening and reading, copying, full path names, the Windows folders.
#include <cstring>
#include <vector>

#include "contract/contract.h"

namespace {

using win::DWORD;
using win::HANDLE;

HANDLE OpenForReading(const std::u16string& path, DWORD share) {
    return win::CreateFileW(path.c_str(), win::GENERIC_READ, share, nullptr, win::OPEN_EXISTING,
                            win::FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool Exists(const std::u16string& path) { return win::GetFileAttributesW(path.c_str()) != win::INVALID_FILE_ATTRIBUTES; }

std::string ReadAll(const std::u16string& path) {
    HANDLE file = OpenForReading(path, win::FILE_SHARE_READ);
    if (file == win::INVALID_HANDLE_VALUE) return "<cannot open>";
    std::string text;
    char buffer[64];
    DWORD read = 0;
    while (win::ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read) text.append(buffer, read);
    win::CloseHandle(file);
    return text;
}

std::u16string MultiString(const std::vector<std::u16string>& strings) {
    std::u16string out;
    for (const auto& s : strings) {
        out += s;
        out += u'\0';
    }
    return out;
}

}  // namespace

CONTRACT_FACT(RemoveDirectoryRefusesAFolderThatIsNotEmpty) {
    contract::Scratch scratch(check);
    const std::u16string folder = scratch.SubFolder(u"full");
    const std::u16string file = folder + u"\\a.txt";
    FACT_TRUE(check, contract::WriteBytes(file, "x"));
    scratch.Track(file, false);
    FACT_EQ(check, win::RemoveDirectoryW(folder.c_str()), win::FALSE);
    FACT_LAST_ERROR(check, win::ERROR_DIR_NOT_EMPTY);
    FACT_TRUE(check, Exists(folder));
}

CONTRACT_FACT(RemoveDirectoryOfAMissingFolderOrAFileFails) {
    contract::Scratch scratch(check);
    FACT_EQ(check, win::RemoveDirectoryW((scratch.Folder() + u"absent").c_str()), win::FALSE);
    FACT_LAST_ERROR(check, win::ERROR_FILE_NOT_FOUND);
    const std::u16string file = scratch.File(u"plain.txt", "x");
    FACT_EQ(check, win::RemoveDirectoryW(file.c_str()), win::FALSE);
    FACT_LAST_ERROR(check, 267);  // ERROR_DIRECTORY
    FACT_EQ(check, win::RemoveDirectoryW(u"C:\\"), win::FALSE);
}

CONTRACT_FACT(RemoveDirectoryRemovesAnEmptyFolder) {
    contract::Scratch scratch(check);
    const std::u16string folder = scratch.Folder() + u"empty";
    FACT_TRUE(check, contract::MakeFolder(folder));
    FACT_TRUE(check, win::RemoveDirectoryW((folder + u"\\").c_str()) != win::FALSE);
    FACT_TRUE(check, !Exists(folder));
}

CONTRACT_FACT(DeleteFileFailsWhileOpenWithoutDeleteSharing) {
    contract::Scratch scratch(check);
    const std::u16string file = scratch.File(u"held.txt", "data");
    HANDLE held = OpenForReading(file, win::FILE_SHARE_READ);
    if (!FACT_TRUE(check, held != win::INVALID_HANDLE_VALUE)) return;
    FACT_EQ(check, win::DeleteFileW(file.c_str()), win::FALSE);
    FACT_LAST_ERROR(check, win::ERROR_SHARING_VIOLATION);
    FACT_TRUE(check, win::CloseHandle(held) != win::FALSE);
    FACT_TRUE(check, win::DeleteFileW(file.c_str()) != win::FALSE);
    FACT_TRUE(check, !Exists(file));
}

CONTRACT_FACT(DeleteFileSucceedsWhileOpenWithDeleteSharing) {
    contract::Scratch scratch(check);
    const std::u16string file = scratch.File(u"shared.txt", "data");
    HANDLE held = OpenForReading(file, win::FILE_SHARE_READ | win::FILE_SHARE_DELETE);
    if (!FACT_TRUE(check, held != win::INVALID_HANDLE_VALUE)) return;
    FACT_TRUE(check, win::DeleteFileW(file.c_str()) != win::FALSE);
    win::CloseHandle(held);
    FACT_TRUE(check, !Exists(file));
}

CONTRACT_FACT(DeleteFileRefusesReadOnlyFilesAndFolders) {
    contract::Scratch scratch(check);
    const std::u16string file = scratch.File(u"locked.txt", "x");
    FACT_TRUE(check, contract::SetReadOnly(file, true));
    FACT_EQ(check, win::DeleteFileW(file.c_str()), win::FALSE);
    FACT_LAST_ERROR(check, win::ERROR_ACCESS_DENIED);
    const std::u16string folder = scratch.SubFolder(u"sub");
    FACT_EQ(check, win::DeleteFileW(folder.c_str()), win::FALSE);
    FACT_LAST_ERROR(check, win::ERROR_ACCESS_DENIED);
}

CONTRACT_FACT(DeleteFileOfAMissingFileOrFolder) {
    contract::Scratch scratch(check);
    FACT_EQ(check, win::DeleteFileW((scratch.Folder() + u"absent.txt").c_str()), win::FALSE);
    FACT_LAST_ERROR(check, win::ERROR_FILE_NOT_FOUND);
    FACT_EQ(check, win::DeleteFileW((scratch.Folder() + u"nowhere\\absent.txt").c_str()), win::FALSE);
    FACT_LAST_ERROR(check, win::ERROR_PATH_NOT_FOUND);
}

CONTRACT_FACT(MoveFileExWithNoTargetAndDelayAppendsAPendingDeletion) {
    contract::Scratch scratch(check);
    const std::u16string file = scratch.File(u"later.txt", "x");
    const char16_t* manager = u"System\\CurrentControlSet\\Control\\Session Manager";
    const char16_t* name = u"PendingFileRenameOperations";
    win::HKEY key = nullptr;
    if (!FACT_EQ(check, win::RegOpenKeyExW(win::HKEY_LOCAL_MACHINE, manager, 0, win::KEY_QUERY_VALUE | win::KEY_SET_VALUE, &key),
                 win::ERROR_SUCCESS)) {
        return;
    }
    DWORD type = 0;
    DWORD size = 0;
    const bool had = win::RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) == win::ERROR_SUCCESS;
    std::vector<win::BYTE> before(size + 2, 0);
    if (had) win::RegQueryValueExW(key, name, nullptr, &type, before.data(), &size);
    before.resize(had ? size : 0);

    FACT_TRUE(check, win::MoveFileExW(file.c_str(), nullptr, win::MOVEFILE_DELAY_UNTIL_REBOOT) != win::FALSE);
    FACT_TRUE(check, Exists(file));

    // The list gains "\??\<full path>" and an empty new name; it keeps one final NUL.
    std::u16string expected(before.size() / 2, u'\0');
    if (!expected.empty()) std::memcpy(expected.data(), before.data(), expected.size() * 2);
    if (!expected.empty() && expected.back() == u'\0') expected.pop_back();
    expected += MultiString({u"\\??\\" + file, u""}) + u'\0';
    DWORD after_size = 0;
    FACT_EQ(check, win::RegQueryValueExW(key, name, nullptr, &type, nullptr, &after_size), win::ERROR_SUCCESS);
    std::u16string after(after_size / 2, u'\0');
    win::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<win::BYTE*>(after.data()), &after_size);
    FACT_EQ(check, type, win::REG_MULTI_SZ);
    FACT_EQ(check, after, expected);

    if (had) {
        win::RegSetValueExW(key, name, 0, win::REG_MULTI_SZ, before.data(), static_cast<DWORD>(before.size()));
    } else {
        win::RegDeleteValueW(key, name);
    }
    win::RegCloseKey(key);
}

CONTRACT_FACT(GetShortPathNameReportsTheSizeItNeeds) {
    contract::Scratch scratch(check);
    const std::u16string file = scratch.File(u"short.txt", "x");
    const DWORD needed = win::GetShortPathNameW(file.c_str(), nullptr, 0);
    if (!FACT_TRUE(check, needed > 10)) return;
    std::vector<char16_t> buffer(needed + 1, u'#');
    FACT_EQ(check, win::GetShortPathNameW(file.c_str(), buffer.data(), needed - 1), needed);
    FACT_EQ(check, buffer[0], u'#');
    FACT_EQ(check, win::GetShortPathNameW(file.c_str(), buffer.data(), needed), needed - 1);
    const std::u16string result(buffer.data());
    FACT_EQ(check, result.size(), std::size_t{needed - 1});
    // A name that is already 8.3 stays as it is.
    FACT_EQ(check, result.substr(result.rfind(u'\\') + 1), std::u16string(u"short.txt"));
}

CONTRACT_FACT(GetShortPathNameOfALongNameGivesAnEightDotThreeName) {
    contract::Scratch scratch(check);
    const std::u16string file = scratch.File(u"a rather long name.text", "x");
    char16_t buffer[400] = {};
    const DWORD length = win::GetShortPathNameW(file.c_str(), buffer, 400);
    if (!FACT_TRUE(check, length > 0 && length < 400)) return;
    const std::u16string result(buffer);
    const std::u16string last = result.substr(result.rfind(u'\\') + 1);
    FACT_TRUE(check, last.size() <= 12);
    FACT_TRUE(check, last.find(u' ') == std::u16string::npos);
}

CONTRACT_FACT(GetShortPathNameOfAMissingPathFails) {
    contract::Scratch scratch(check);
    char16_t buffer[300];
    FACT_EQ(check, win::GetShortPathNameW((scratch.Folder() + u"absent.txt").c_str(), buffer, 300), DWORD{0});
    FACT_LAST_ERROR(check, win::ERROR_FILE_NOT_FOUND);
}

CONTRACT_FACT(CreateFileCannotOpenAFolderOrAMissingFile) {
    contract::Scratch scratch(check);
    const std::u16string folder = scratch.SubFolder(u"dir");
    FACT_TRUE(check, OpenForReading(folder, win::FILE_SHARE_READ) == win::INVALID_HANDLE_VALUE);
    FACT_LAST_ERROR(check, win::ERROR_ACCESS_DENIED);
    FACT_TRUE(check, OpenForReading(scratch.Folder() + u"absent.txt", win::FILE_SHARE_READ) == win::INVALID_HANDLE_VALUE);
    FACT_LAST_ERROR(check, win::ERROR_FILE_NOT_FOUND);
    FACT_TRUE(check, OpenForReading(scratch.Folder() + u"nowhere\\absent.txt", win::FILE_SHARE_READ) == win::INVALID_HANDLE_VALUE);
    FACT_LAST_ERROR(check, win::ERROR_PATH_NOT_FOUND);
}

CONTRACT_FACT(ReadFileReadsToTheEndThenGivesZeroBytes) {
    contract::Scratch scratch(check);
    const std::u16string file = scratch.File(u"hello.txt", "hello");
    HANDLE handle = OpenForReading(file, win::FILE_SHARE_READ);
    if (!FACT_TRUE(check, handle != win::INVALID_HANDLE_VALUE)) return;
    char buffer[16] = {};
    DWORD read = 99;
    FACT_TRUE(check, win::ReadFile(handle, buffer, 3, &read, nullptr) != win::FALSE);
    FACT_EQ(check, read, DWORD{3});
    FACT_TRUE(check, win::ReadFile(handle, buffer + 3, 10, &read, nullptr) != win::FALSE);
    FACT_EQ(check, read, DWORD{2});
    FACT_EQ(check, std::string(buffer), std::string("hello"));
    read = 99;
    FACT_TRUE(check, win::ReadFile(handle, buffer, 10, &read, nullptr) != win::FALSE);
    FACT_EQ(check, read, DWORD{0});
    FACT_TRUE(check, win::CloseHandle(handle) != win::FALSE);
}

CONTRACT_FACT(GetFileAttributesTellsFilesFromFolders) {
    contract::Scratch scratch(check);
    FACT_EQ(check, win::GetFileAttributesW((scratch.Folder() + u"absent").c_str()), win::INVALID_FILE_ATTRIBUTES);
    FACT_LAST_ERROR(check, win::ERROR_FILE_NOT_FOUND);
    const DWORD folder = win::GetFileAttributesW(scratch.Folder().c_str());
    FACT_TRUE(check, folder != win::INVALID_FILE_ATTRIBUTES && (folder & win::FILE_ATTRIBUTE_DIRECTORY));
    const DWORD file = win::GetFileAttributesW(scratch.File(u"f.txt", "x").c_str());
    FACT_TRUE(check, file != win::INVALID_FILE_ATTRIBUTES && !(file & win::FILE_ATTRIBUTE_DIRECTORY));
}

CONTRACT_FACT(CopyFileHonoursFailIfExists) {
    contract::Scratch scratch(check);
    const std::u16string from = scratch.File(u"from.txt", "new");
    const std::u16string to = scratch.File(u"to.txt", "old");
    FACT_EQ(check, win::CopyFileW(from.c_str(), to.c_str(), win::TRUE), win::FALSE);
    FACT_LAST_ERROR(check, win::ERROR_FILE_EXISTS);
    FACT_EQ(check, ReadAll(to), std::string("old"));
    FACT_TRUE(check, win::CopyFileW(from.c_str(), to.c_str(), win::FALSE) != win::FALSE);
    FACT_EQ(check, ReadAll(to), std::string("new"));
}

CONTRACT_FACT(CopyFileOntoAFileInUseFails) {
    contract::Scratch scratch(check);
    const std::u16string from = scratch.File(u"from.txt", "new");
    const std::u16string to = scratch.File(u"busy.txt", "old");
    HANDLE held = OpenForReading(to, win::FILE_SHARE_READ);
    FACT_EQ(check, win::CopyFileW(from.c_str(), to.c_str(), win::FALSE), win::FALSE);
    FACT_LAST_ERROR(check, win::ERROR_SHARING_VIOLATION);
    win::CloseHandle(held);
}

CONTRACT_FACT(CopyFileIntoAMissingFolderFails) {
    contract::Scratch scratch(check);
    const std::u16string from = scratch.File(u"from.txt", "x");
    FACT_EQ(check, win::CopyFileW(from.c_str(), (scratch.Folder() + u"nowhere\\to.txt").c_str(), win::FALSE), win::FALSE);
    FACT_LAST_ERROR(check, win::ERROR_PATH_NOT_FOUND);
    FACT_EQ(check, win::CopyFileW((scratch.Folder() + u"absent.txt").c_str(), (scratch.Folder() + u"to.txt").c_str(), win::FALSE),
            win::FALSE);
    FACT_LAST_ERROR(check, win::ERROR_FILE_NOT_FOUND);
}

CONTRACT_FACT(GetFullPathNameNormalisesLikeWindows) {
    struct Case {
        const char16_t* name;
        const char16_t* full;
    };
    const Case cases[] = {
        {u"C:\\a\\.\\b\\..\\c.txt", u"C:\\a\\c.txt"},
        {u"C:/a/b/", u"C:\\a\\b\\"},
        {u"C:\\a\\\\b", u"C:\\a\\b"},
        {u"C:\\a\\b..", u"C:\\a\\b"},
        {u"C:\\a\\b. .", u"C:\\a\\b"},
        {u"C:\\a.\\b", u"C:\\a\\b"},
        {u"C:\\..\\..\\x", u"C:\\x"},
    };
    for (const Case& c : cases) {
        char16_t buffer[64] = {};
        char16_t* part = nullptr;
        const DWORD length = win::GetFullPathNameW(c.name, 64, buffer, &part);
        FACT_EQ(check, std::u16string(buffer), std::u16string(c.full));
        FACT_EQ(check, length, static_cast<DWORD>(std::u16string(c.full).size()));
    }
    char16_t buffer[64] = {};
    char16_t* part = nullptr;
    win::GetFullPathNameW(u"C:\\a\\file.txt", 64, buffer, &part);
    FACT_TRUE(check, part != nullptr && std::u16string(part) == u"file.txt");
    win::GetFullPathNameW(u"C:\\a\\", 64, buffer, &part);
    FACT_TRUE(check, part == nullptr);
    // Too small a buffer gives the size with the NUL and is not written.
    buffer[0] = u'#';
    FACT_EQ(check, win::GetFullPathNameW(u"C:\\abc", 3, buffer, &part), DWORD{7});
    FACT_EQ(check, buffer[0], u'#');
}

CONTRACT_FACT(WindowsAndSystemFoldersReportTheSizeTheyNeed) {
    const win::UINT needed = win::GetWindowsDirectoryW(nullptr, 0);
    if (!FACT_TRUE(check, needed > 3)) return;
    std::vector<char16_t> buffer(needed, u'#');
    FACT_EQ(check, win::GetWindowsDirectoryW(buffer.data(), needed - 1), needed);
    FACT_EQ(check, win::GetWindowsDirectoryW(buffer.data(), needed), needed - 1);
    FACT_EQ(check, buffer[needed - 1], u'\0');
    const win::UINT system = win::GetSystemDirectoryW(nullptr, 0);
    FACT_TRUE(check, system > needed);
}

CONTRACT_FACT(GetTempPathEndsWithABackslashAndClearsAShortBuffer) {
    char16_t buffer[300] = {};
    const DWORD length = win::GetTempPathW(300, buffer);
    if (!FACT_TRUE(check, length > 3 && length < 300)) return;
    FACT_EQ(check, buffer[length - 1], u'\\');
    std::vector<char16_t> small(length, u'#');
    FACT_EQ(check, win::GetTempPathW(length, small.data()), length + 1);
    FACT_EQ(check, small[0], u'\0');
}

// The clean-up of emptied folders compares what a folder is, not how a path spells it:
// every spelling Windows resolves to one folder opens to the same volume and file index.
CONTRACT_FACT(EverySpellingOfAFolderOpensToOneIdentity) {
    contract::Scratch scratch(check);
    const std::u16string folder = scratch.SubFolder(u"Long Folder Name");
    char16_t short_buffer[300] = {};
    const DWORD short_length = win::GetShortPathNameW(folder.c_str(), short_buffer, 300);
    if (!FACT_TRUE(check, short_length > 0 && short_length < 300)) return;
    const std::u16string short_path(short_buffer, short_length);
    char16_t long_buffer[300] = {};
    FACT_EQ(check, win::GetLongPathNameW(short_path.c_str(), long_buffer, 300), static_cast<DWORD>(folder.size()));
    FACT_TRUE(check, std::u16string(long_buffer) == folder);
    const std::size_t cut = folder.rfind(u'\\');
    const std::u16string spellings[] = {folder + u"\\", folder.substr(0, cut) + u"\\" + folder.substr(cut),
                                        folder + u".", folder + u"\\.", folder + u"\\absent\\..",
                                        u"\\\\?\\" + folder, short_path};
    win::BY_HANDLE_FILE_INFORMATION first = {};
    for (const std::u16string& spelling : spellings) {
        HANDLE h = win::CreateFileW(spelling.c_str(), win::FILE_READ_ATTRIBUTES, 7, nullptr, win::OPEN_EXISTING,
                                    win::FILE_FLAG_BACKUP_SEMANTICS | win::FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (!FACT_TRUE(check, h != win::INVALID_HANDLE_VALUE)) continue;
        win::BY_HANDLE_FILE_INFORMATION info = {};
        FACT_TRUE(check, win::GetFileInformationByHandle(h, &info) != win::FALSE);
        win::CloseHandle(h);
        FACT_TRUE(check, (info.dwFileAttributes & win::FILE_ATTRIBUTE_DIRECTORY) != 0);
        FACT_TRUE(check, (info.dwFileAttributes & win::FILE_ATTRIBUTE_REPARSE_POINT) == 0);
        if (&spelling == &spellings[0]) first = info;
        FACT_EQ(check, info.dwVolumeSerialNumber, first.dwVolumeSerialNumber);
        FACT_EQ(check, info.nFileIndexHigh, first.nFileIndexHigh);
        FACT_EQ(check, info.nFileIndexLow, first.nFileIndexLow);
    }
}

// The temporary copy is held open, sharing reading only, until it has been started: while
// it is, another process can neither write, rename nor delete it, but may read it.
CONTRACT_FACT(AFileHeldWithReadSharingOnlyCannotBeChangedRenamedOrDeleted) {
    contract::Scratch scratch(check);
    const std::u16string file = scratch.File(u"copy.exe", "MZ copy");
    const std::u16string renamed = scratch.Folder() + u"renamed.exe";
    scratch.Track(renamed, false);
    HANDLE held = OpenForReading(file, win::FILE_SHARE_READ);
    if (!FACT_TRUE(check, held != win::INVALID_HANDLE_VALUE)) return;
    HANDLE writer = win::CreateFileW(file.c_str(), win::GENERIC_WRITE, 7, nullptr, win::OPEN_EXISTING, 0, nullptr);
    FACT_TRUE(check, writer == win::INVALID_HANDLE_VALUE);
    FACT_LAST_ERROR(check, win::ERROR_SHARING_VIOLATION);
    if (writer != win::INVALID_HANDLE_VALUE) win::CloseHandle(writer);
    FACT_EQ(check, win::MoveFileExW(file.c_str(), renamed.c_str(), 0), win::FALSE);
    FACT_LAST_ERROR(check, win::ERROR_SHARING_VIOLATION);
    FACT_EQ(check, win::DeleteFileW(file.c_str()), win::FALSE);
    FACT_LAST_ERROR(check, win::ERROR_SHARING_VIOLATION);
    HANDLE reader = OpenForReading(file, win::FILE_SHARE_READ | win::FILE_SHARE_DELETE);
    FACT_TRUE(check, reader != win::INVALID_HANDLE_VALUE);
    if (reader != win::INVALID_HANDLE_VALUE) win::CloseHandle(reader);
    win::CloseHandle(held);
    FACT_EQ(check, ReadAll(file), std::string("MZ copy"));
}
