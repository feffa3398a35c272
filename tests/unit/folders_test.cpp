// The protected folders: from Windows, the registry and the defaults, in order.
#include <gtest/gtest.h>

#include "environment/well_known_folders.h"
#include "support/sim.h"

namespace dismora {
namespace {

using sim::Machine;

const std::u16string kCurrentVersion = u"HKLM\\Software\\Microsoft\\Windows\\CurrentVersion";
const std::u16string kUserShell = u"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
const std::u16string kCommonShell = u"HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

struct Expected {
    std::u16string windows, system, drive, program_files, common_files, start_menu, programs, desktop, send_to,
        startup, my_documents, app_data;
};

WellKnownFolders Compute(Machine& m) {
    WellKnownFolders folders;
    m.Run({.command_line = u"C:\\Tests\\host.exe"}, [&] { ComputeWellKnownFolders(folders); });
    return folders;
}

void ExpectFolders(const WellKnownFolders& f, const Expected& e) {
    EXPECT_EQ(sim::Narrow(f.role[WellKnownFolders::kWindows]), sim::Narrow(e.windows));
    EXPECT_EQ(sim::Narrow(f.role[WellKnownFolders::kSystem]), sim::Narrow(e.system));
    EXPECT_EQ(sim::Narrow(f.role[WellKnownFolders::kWindowsDrive]), sim::Narrow(e.drive));
    EXPECT_EQ(sim::Narrow(f.role[WellKnownFolders::kProgramFiles]), sim::Narrow(e.program_files));
    EXPECT_EQ(sim::Narrow(f.role[WellKnownFolders::kCommonFiles]), sim::Narrow(e.common_files));
    EXPECT_EQ(sim::Narrow(f.role[WellKnownFolders::kStartMenu]), sim::Narrow(e.start_menu));
    EXPECT_EQ(sim::Narrow(f.role[WellKnownFolders::kPrograms]), sim::Narrow(e.programs));
    EXPECT_EQ(sim::Narrow(f.role[WellKnownFolders::kDesktop]), sim::Narrow(e.desktop));
    EXPECT_EQ(sim::Narrow(f.role[WellKnownFolders::kSendTo]), sim::Narrow(e.send_to));
    EXPECT_EQ(sim::Narrow(f.role[WellKnownFolders::kStartup]), sim::Narrow(e.startup));
    EXPECT_EQ(sim::Narrow(f.role[WellKnownFolders::kMyDocuments]), sim::Narrow(e.my_documents));
    EXPECT_EQ(sim::Narrow(f.role[WellKnownFolders::kAppData]), sim::Narrow(e.app_data));
}

void ClearFolderKeys(Machine& m) {
    m.DeleteValue(kCurrentVersion, u"ProgramFilesDir");
    m.DeleteValue(kCurrentVersion, u"CommonFilesDir");
    m.DeleteKey(kUserShell);
    m.DeleteKey(kCommonShell);
}

TEST(WellKnownFolders, DefaultsWhenNoKeyHelps) {
    Machine m;
    ClearFolderKeys(m);
    m.SetWindowsFolder(u"C:\\Windows");
    m.SetSystemFolder(u"C:\\Windows\\system32");
    ExpectFolders(Compute(m), {u"C:\\Windows\\", u"C:\\Windows\\system32\\", u"C:\\", u"C:\\Program Files\\",
                               u"C:\\Program Files\\Common Files\\", u"C:\\Windows\\Start Menu\\",
                               u"C:\\Windows\\Start Menu\\Programs\\", u"C:\\Windows\\Desktop\\",
                               u"C:\\Windows\\SendTo\\", u"C:\\Windows\\Start Menu\\Programs\\StartUp\\",
                               u"C:\\My Documents\\", u"C:\\Windows\\Application Data\\"});
}

TEST(WellKnownFolders, WindowsCallsThatFail) {
    Machine m;
    ClearFolderKeys(m);
    m.FailCall("GetWindowsDirectoryW", 1, win::ERROR_NOT_ENOUGH_MEMORY);
    m.FailCall("GetSystemDirectoryW", 1, win::ERROR_NOT_ENOUGH_MEMORY);
    WellKnownFolders f = Compute(m);
    EXPECT_EQ(f.role[WellKnownFolders::kWindows], u"C:\\Windows\\");
    EXPECT_EQ(f.role[WellKnownFolders::kSystem], u"C:\\Windows\\System\\");
    EXPECT_EQ(f.role[WellKnownFolders::kWindowsDrive], u"C:\\");
}

TEST(WellKnownFolders, WindowsOnAnotherDrive) {
    Machine m;
    ClearFolderKeys(m);
    m.AddDrive(u'E');
    m.SetWindowsFolder(u"E:\\WinNT");
    WellKnownFolders f = Compute(m);
    EXPECT_EQ(f.role[WellKnownFolders::kWindowsDrive], u"E:\\");
    EXPECT_EQ(f.role[WellKnownFolders::kMyDocuments], u"E:\\My Documents\\");
}

TEST(WellKnownFolders, PerUserValuesAndRebuilds) {
    Machine m;
    ClearFolderKeys(m);
    m.SetWindowsFolder(u"C:\\Windows");
    m.SetString(kUserShell, u"Start Menu", u"C:\\Users\\T\\Start Menu");
    m.SetString(kUserShell, u"Desktop", u"C:\\Users\\T\\Desktop\\");
    m.SetString(kUserShell, u"AppData", u"%USERPROFILE%\\AppData", win::REG_EXPAND_SZ);
    m.SetString(kUserShell, u"Personal", u"");
    WellKnownFolders f = Compute(m);
    EXPECT_EQ(f.role[WellKnownFolders::kStartMenu], u"C:\\Users\\T\\Start Menu\\");
    EXPECT_EQ(f.role[WellKnownFolders::kPrograms], u"C:\\Users\\T\\Start Menu\\Programs\\");
    EXPECT_EQ(f.role[WellKnownFolders::kStartup], u"C:\\Users\\T\\Start Menu\\Programs\\StartUp\\");
    EXPECT_EQ(f.role[WellKnownFolders::kDesktop], u"C:\\Users\\T\\Desktop\\");
    EXPECT_EQ(f.role[WellKnownFolders::kAppData], u"%USERPROFILE%\\AppData\\");
    EXPECT_EQ(f.role[WellKnownFolders::kMyDocuments], u"C:\\My Documents\\");
    EXPECT_TRUE(f.replaced.empty());
}

TEST(WellKnownFolders, AllUsersValuesReplaceWithoutRebuilding) {
    Machine m;
    ClearFolderKeys(m);
    m.SetWindowsFolder(u"C:\\Windows");
    m.SetString(kUserShell, u"Start Menu", u"C:\\Users\\T\\Start Menu");
    m.SetString(kUserShell, u"Programs", u"C:\\Users\\T\\Start Menu\\Programs");
    m.SetString(kCommonShell, u"Common Start Menu", u"C:\\ProgramData\\Start Menu");
    m.SetString(kCommonShell, u"Common Desktop", u"C:\\Users\\Public\\Desktop");
    WellKnownFolders f = Compute(m);
    EXPECT_EQ(f.role[WellKnownFolders::kStartMenu], u"C:\\ProgramData\\Start Menu\\");
    EXPECT_EQ(f.role[WellKnownFolders::kPrograms], u"C:\\Users\\T\\Start Menu\\Programs\\");
    EXPECT_EQ(f.role[WellKnownFolders::kStartup], u"C:\\Users\\T\\Start Menu\\Programs\\StartUp\\");
    EXPECT_EQ(f.role[WellKnownFolders::kDesktop], u"C:\\Users\\Public\\Desktop\\");
    // The per-user folders the all-users ones took over stay protected too.
    EXPECT_TRUE(f.IsProtected(u"C:\\Users\\T\\Start Menu\\"));
    EXPECT_TRUE(f.IsProtected(u"C:\\Windows\\Desktop\\"));
    EXPECT_TRUE(f.IsProtected(u"c:\\users\\public\\desktop\\"));
    EXPECT_FALSE(f.IsProtected(u"C:\\Users\\T\\"));
    EXPECT_FALSE(f.IsProtected(u"C:\\Users\\Public\\Desktop"));
}

TEST(WellKnownFolders, ProgramFilesValues) {
    Machine m;
    ClearFolderKeys(m);
    m.SetString(kCurrentVersion, u"CommonFilesDir", u"D:\\Shared Files");
    WellKnownFolders f = Compute(m);
    EXPECT_EQ(f.role[WellKnownFolders::kProgramFiles], u"C:\\Program Files\\");
    EXPECT_EQ(f.role[WellKnownFolders::kCommonFiles], u"D:\\Shared Files\\");

    Machine other;
    ClearFolderKeys(other);
    other.SetString(kCurrentVersion, u"ProgramFilesDir", u"D:\\Apps\\");
    f = Compute(other);
    EXPECT_EQ(f.role[WellKnownFolders::kProgramFiles], u"D:\\Apps\\");
    EXPECT_EQ(f.role[WellKnownFolders::kCommonFiles], u"D:\\Apps\\Common Files\\");

    // A value longer than the buffer counts as absent.
    Machine longer;
    ClearFolderKeys(longer);
    longer.SetString(kCurrentVersion, u"ProgramFilesDir", u"C:\\" + std::u16string(300, u'x'));
    f = Compute(longer);
    EXPECT_EQ(f.role[WellKnownFolders::kProgramFiles], u"C:\\Program Files\\");
}

}  // namespace
}  // namespace dismora
