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
    EXPECT_EQ(sim::Narrow(f.windows), sim::Narrow(e.windows));
    EXPECT_EQ(sim::Narrow(f.system), sim::Narrow(e.system));
    EXPECT_EQ(sim::Narrow(f.windows_drive), sim::Narrow(e.drive));
    EXPECT_EQ(sim::Narrow(f.program_files), sim::Narrow(e.program_files));
    EXPECT_EQ(sim::Narrow(f.common_files), sim::Narrow(e.common_files));
    EXPECT_EQ(sim::Narrow(f.start_menu), sim::Narrow(e.start_menu));
    EXPECT_EQ(sim::Narrow(f.programs), sim::Narrow(e.programs));
    EXPECT_EQ(sim::Narrow(f.desktop), sim::Narrow(e.desktop));
    EXPECT_EQ(sim::Narrow(f.send_to), sim::Narrow(e.send_to));
    EXPECT_EQ(sim::Narrow(f.startup), sim::Narrow(e.startup));
    EXPECT_EQ(sim::Narrow(f.my_documents), sim::Narrow(e.my_documents));
    EXPECT_EQ(sim::Narrow(f.app_data), sim::Narrow(e.app_data));
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
    EXPECT_EQ(f.windows, u"C:\\Windows\\");
    EXPECT_EQ(f.system, u"C:\\Windows\\System\\");
    EXPECT_EQ(f.windows_drive, u"C:\\");
}

TEST(WellKnownFolders, WindowsOnAnotherDrive) {
    Machine m;
    ClearFolderKeys(m);
    m.AddDrive(u'E');
    m.SetWindowsFolder(u"E:\\WinNT");
    WellKnownFolders f = Compute(m);
    EXPECT_EQ(f.windows_drive, u"E:\\");
    EXPECT_EQ(f.my_documents, u"E:\\My Documents\\");
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
    EXPECT_EQ(f.start_menu, u"C:\\Users\\T\\Start Menu\\");
    EXPECT_EQ(f.programs, u"C:\\Users\\T\\Start Menu\\Programs\\");
    EXPECT_EQ(f.startup, u"C:\\Users\\T\\Start Menu\\Programs\\StartUp\\");
    EXPECT_EQ(f.desktop, u"C:\\Users\\T\\Desktop\\");
    EXPECT_EQ(f.app_data, u"%USERPROFILE%\\AppData\\");
    EXPECT_EQ(f.my_documents, u"C:\\My Documents\\");
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
    EXPECT_EQ(f.start_menu, u"C:\\ProgramData\\Start Menu\\");
    EXPECT_EQ(f.programs, u"C:\\Users\\T\\Start Menu\\Programs\\");
    EXPECT_EQ(f.startup, u"C:\\Users\\T\\Start Menu\\Programs\\StartUp\\");
    EXPECT_EQ(f.desktop, u"C:\\Users\\Public\\Desktop\\");
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
    EXPECT_EQ(f.program_files, u"C:\\Program Files\\");
    EXPECT_EQ(f.common_files, u"D:\\Shared Files\\");

    Machine other;
    ClearFolderKeys(other);
    other.SetString(kCurrentVersion, u"ProgramFilesDir", u"D:\\Apps\\");
    f = Compute(other);
    EXPECT_EQ(f.program_files, u"D:\\Apps\\");
    EXPECT_EQ(f.common_files, u"D:\\Apps\\Common Files\\");

    // A value longer than the buffer counts as absent.
    Machine longer;
    ClearFolderKeys(longer);
    longer.SetString(kCurrentVersion, u"ProgramFilesDir", u"C:\\" + std::u16string(300, u'x'));
    f = Compute(longer);
    EXPECT_EQ(f.program_files, u"C:\\Program Files\\");
}

}  // namespace
}  // namespace dismora
