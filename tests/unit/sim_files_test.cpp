// The simulated Windows: the file system edges that the contract facts cannot reach
// (rights, other programs, delete-pending files, 8.3 names, delayed deletions, reads).
#include <gtest/gtest.h>

#include "support/sim_fixture.h"

namespace dismora::sim {
namespace {

using win::DWORD;

DWORD LastError() { return win::GetLastError(); }
DWORD Code(win::LONG error) { return static_cast<DWORD>(error); }

using FileTest = SimTest;

TEST_F(FileTest, AFileHeldByAnotherProgramCannotBeDeletedUntilReleased) {
    machine.WriteFile(u"C:\\App\\lib.dll", "MZ");
    const int hold = machine.HoldOpen(u"C:\\App\\lib.dll");
    EXPECT_FALSE(win::DeleteFileW(u"c:/app/LIB.DLL"));
    EXPECT_EQ(LastError(), Code(win::ERROR_SHARING_VIOLATION));
    machine.ReleaseHold(hold);
    EXPECT_TRUE(win::DeleteFileW(u"c:/app/LIB.DLL"));
    EXPECT_FALSE(machine.Exists(u"C:\\App\\lib.dll"));
    EXPECT_TRUE(machine.IsFolder(u"C:\\App"));
}

TEST_F(FileTest, ADeletedFileStillOpenIsPendingUntilTheLastHandleCloses) {
    machine.WriteFile(u"C:\\App\\a.txt", "x");
    win::HANDLE h = win::CreateFileW(u"C:\\App\\a.txt", win::GENERIC_READ, win::FILE_SHARE_READ | win::FILE_SHARE_DELETE,
                                     nullptr, win::OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, win::INVALID_HANDLE_VALUE);
    EXPECT_TRUE(win::DeleteFileW(u"C:\\App\\a.txt"));
    EXPECT_EQ(win::GetFileAttributesW(u"C:\\App\\a.txt"), win::INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(LastError(), Code(win::ERROR_ACCESS_DENIED));
    EXPECT_FALSE(win::RemoveDirectoryW(u"C:\\App"));
    EXPECT_EQ(LastError(), Code(win::ERROR_DIR_NOT_EMPTY));
    win::CloseHandle(h);
    EXPECT_FALSE(machine.Exists(u"C:\\App\\a.txt"));
    EXPECT_TRUE(win::RemoveDirectoryW(u"C:\\App"));
}

TEST_F(FileTest, MachineFoldersNeedAnEffectiveAdministrator) {
    machine.WriteFile(u"C:\\Program Files\\Tool\\tool.exe", "MZ");
    machine.WriteFile(u"C:\\Users\\Tester\\AppData\\Local\\Tool\\tool.exe", "MZ");
    std::vector<DWORD> errors;
    machine.Run({.module_path = u"C:\\Tests\\host.exe", .token = {.administrator = true, .elevated = false}}, [&] {
        errors.push_back(win::DeleteFileW(u"C:\\Program Files\\Tool\\tool.exe") ? 0 : LastError());
        errors.push_back(win::DeleteFileW(u"C:\\Users\\Tester\\AppData\\Local\\Tool\\tool.exe") ? 0 : LastError());
        errors.push_back(win::MoveFileExW(u"C:\\Program Files\\Tool\\tool.exe", nullptr, win::MOVEFILE_DELAY_UNTIL_REBOOT)
                             ? 0
                             : LastError());
    });
    EXPECT_EQ(errors, (std::vector<DWORD>{Code(win::ERROR_ACCESS_DENIED), 0, Code(win::ERROR_ACCESS_DENIED)}));
    machine.SetUacEnabled(false);
    errors.clear();
    machine.Run({.module_path = u"C:\\Tests\\host.exe", .token = {.administrator = true, .elevated = false}}, [&] {
        errors.push_back(win::DeleteFileW(u"C:\\Program Files\\Tool\\tool.exe") ? 0 : LastError());
    });
    EXPECT_EQ(errors, std::vector<DWORD>{0});
}

TEST_F(FileTest, DelayedDeletionsKeepTheirOrderAndTheFullPath) {
    machine.WriteFile(u"C:\\App\\one.txt", "1");
    machine.CreateFolder(u"C:\\Work");
    machine.SetTestProcess({.module_path = u"C:\\Tests\\host.exe", .current_folder = u"C:\\Work"});
    EXPECT_TRUE(win::MoveFileExW(u"C:\\App\\one.txt", nullptr, win::MOVEFILE_DELAY_UNTIL_REBOOT));
    EXPECT_TRUE(win::MoveFileExW(u"later.txt", nullptr, win::MOVEFILE_DELAY_UNTIL_REBOOT));  // need not exist
    EXPECT_EQ(machine.PendingDeletions(), (std::vector<std::u16string>{u"C:\\App\\one.txt", u"C:\\Work\\later.txt"}));
    const auto value = machine.GetValue(u"HKLM\\System\\CurrentControlSet\\Control\\Session Manager",
                                        u"PendingFileRenameOperations");
    ASSERT_TRUE(value);
    EXPECT_EQ(value->type, win::REG_MULTI_SZ);
    EXPECT_TRUE(machine.Exists(u"C:\\App\\one.txt"));
}

TEST_F(FileTest, ShortNamesAreGeneratedAssignedAndFollowed) {
    machine.WriteFile(u"C:\\Program Files\\My Application\\readme file.txt", "x");
    machine.WriteFile(u"C:\\Program Files\\My Apps\\a.txt", "x");
    EXPECT_EQ(machine.ShortPath(u"C:\\Program Files\\My Application\\readme file.txt"),
              u"C:\\PROGRA~1\\MYAPPL~1\\README~1.TXT");
    EXPECT_EQ(machine.ShortPath(u"C:\\Program Files\\My Apps\\a.txt"), u"C:\\PROGRA~1\\MYAPPS~1\\a.txt");
    machine.SetShortName(u"C:\\Program Files\\My Apps", u"APPS");
    win::WCHAR buffer[64];
    EXPECT_EQ(win::GetShortPathNameW(u"c:\\program files\\my apps\\A.TXT", buffer, 64), 22u);
    EXPECT_EQ(std::u16string(buffer), u"c:\\PROGRA~1\\APPS\\a.txt");
    // Paths may use the short names.
    EXPECT_NE(win::GetFileAttributesW(u"C:\\PROGRA~1\\MYAPPL~1\\README~1.TXT"), win::INVALID_FILE_ATTRIBUTES);
    machine.FailCall("GetShortPathNameW", machine.CallCount("GetShortPathNameW") + 1, win::ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(win::GetShortPathNameW(u"C:\\Program Files", buffer, 64), 0u);
    EXPECT_EQ(LastError(), Code(win::ERROR_NOT_ENOUGH_MEMORY));
    machine.AddDrive(u'D');
    machine.SetShortNamesEnabled(u'D', false);
    machine.WriteFile(u"D:\\Long Folder Name\\x.txt", "x");
    EXPECT_EQ(machine.ShortPath(u"D:\\Long Folder Name\\x.txt"), u"D:\\Long Folder Name\\x.txt");
}

TEST_F(FileTest, ReadsCanFailPartWayAndUnreadableFilesDoNotOpen) {
    machine.WriteFile(u"C:\\App\\log.txt", "0123456789");
    machine.FailReadsAt(u"C:\\App\\log.txt", 4, 23);  // ERROR_CRC
    win::HANDLE h = win::CreateFileW(u"C:\\App\\log.txt", win::GENERIC_READ, win::FILE_SHARE_READ, nullptr,
                                     win::OPEN_EXISTING, 0, nullptr);
    char buffer[16];
    DWORD read = 0;
    EXPECT_TRUE(win::ReadFile(h, buffer, 16, &read, nullptr));
    EXPECT_EQ(read, 4u);
    EXPECT_FALSE(win::ReadFile(h, buffer, 16, &read, nullptr));
    EXPECT_EQ(LastError(), 23u);
    win::CloseHandle(h);
    machine.MarkUnreadable(u"C:\\App\\log.txt");
    EXPECT_EQ(win::CreateFileW(u"C:\\App\\log.txt", win::GENERIC_READ, win::FILE_SHARE_READ, nullptr, win::OPEN_EXISTING,
                               0, nullptr),
              win::INVALID_HANDLE_VALUE);
    EXPECT_EQ(LastError(), Code(win::ERROR_ACCESS_DENIED));
}

TEST_F(FileTest, TheTemporaryFolderCanBeLongOrMissing) {
    machine.SetTempPath(std::u16string(300, u'x'));
    win::WCHAR buffer[256];
    buffer[0] = u'#';
    EXPECT_EQ(win::GetTempPathW(256, buffer), 302u);  // the path, its added "\" and the NUL
    EXPECT_EQ(buffer[0], u'\0');
    machine.SetTempPathError(win::ERROR_ACCESS_DENIED);
    EXPECT_EQ(win::GetTempPathW(256, buffer), 0u);
    EXPECT_EQ(LastError(), Code(win::ERROR_ACCESS_DENIED));
}

TEST_F(FileTest, RelativeAndDriveRelativePathsUseTheCurrentFolder) {
    machine.WriteFile(u"C:\\Tests\\log.txt", "x");
    EXPECT_NE(win::GetFileAttributesW(u"log.txt"), win::INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(win::GetFileAttributesW(u"C:log.txt"), win::INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(win::GetFileAttributesW(u"..\\Tests\\.\\log.txt"), win::INVALID_FILE_ATTRIBUTES);
    win::WCHAR buffer[64];
    win::WCHAR* part = nullptr;
    EXPECT_EQ(win::GetFullPathNameW(u"sub\\..\\log.txt", 64, buffer, &part), 16u);
    EXPECT_EQ(std::u16string(buffer), u"C:\\Tests\\log.txt");
    EXPECT_EQ(win::GetFileAttributesW(u"Z:\\x"), win::INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(LastError(), Code(win::ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(win::GetFileAttributesW(u"\\\\server\\share\\x"), win::INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(LastError(), 53u);  // ERROR_BAD_NETPATH
}

TEST_F(FileTest, CopiesKeepTheImageMarkAndCannotReplaceARunningImage) {
    machine.InstallDismora(u"C:\\App\\Dismora.exe");
    machine.InstallProgram(u"C:\\App\\hang.exe", {.never_ends = true});
    EXPECT_TRUE(win::CopyFileW(u"C:\\App\\Dismora.exe", u"C:\\Temp2.exe", win::FALSE));
    EXPECT_TRUE(machine.IsDismoraImage(u"C:\\Temp2.exe"));
    win::STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    win::PROCESS_INFORMATION info = {};
    std::u16string line = u"C:\\App\\hang.exe";
    ASSERT_TRUE(win::CreateProcessW(nullptr, line.data(), nullptr, nullptr, 0, 0, nullptr, nullptr, &startup, &info));
    EXPECT_FALSE(win::CopyFileW(u"C:\\App\\Dismora.exe", u"C:\\App\\hang.exe", win::FALSE));
    EXPECT_EQ(LastError(), Code(win::ERROR_SHARING_VIOLATION));
    win::CloseHandle(info.hProcess);
    win::CloseHandle(info.hThread);
}

}  // namespace
}  // namespace dismora::sim
