// Whole runs over a realistic installation with canaries beside every target and at
// every level above it: the log decides what goes, and nothing else changes.
#include <gtest/gtest.h>

#include "environment/well_known_folders.h"
#include "support/installation.h"
#include "support/sim_state.h"

namespace dismora {
namespace {

using sim::KelvaneRun;
namespace kelvane = sim::kelvane;

void ExpectCanariesIntact(const sim::Machine& m) {
    for (const auto& path : kelvane::CanaryFiles()) EXPECT_TRUE(m.IsFile(path)) << sim::Narrow(path);
    for (const auto& key : kelvane::CanaryKeys()) EXPECT_TRUE(m.KeyExists(key)) << sim::Narrow(key);
    for (const auto& value : kelvane::CanaryValues()) {
        EXPECT_TRUE(m.GetValue(value.key, value.name).has_value()) << sim::Narrow(value.key + u"\\" + value.name);
    }
}

TEST(SafetyScenario, EveryVersionRemovesTheInstallationAndNothingElse) {
    struct Case {
        int version;
        std::string line_end;
    };
    for (const Case& c : {Case{1, "\r\n"}, Case{2, "\r\n"}, Case{3, "\n"}, Case{4, "\r\n"}, Case{4, "\n"}}) {
        SCOPED_TRACE(c.version);
        test::LogBuilder log = sim::KelvaneLog(c.version);
        log.line_end = c.line_end;
        KelvaneRun run(log.Bytes());
        run.Start();
        EXPECT_EQ(run.Problems(), "");
        const sim::Machine& m = run.machine;
        for (const auto& path : kelvane::RemovedFiles()) EXPECT_FALSE(m.Exists(path)) << sim::Narrow(path);
        for (const auto& path : kelvane::KeptFiles()) EXPECT_TRUE(m.IsFile(path)) << sim::Narrow(path);
        ExpectCanariesIntact(m);
        EXPECT_FALSE(m.Exists(kelvane::kLog));
        EXPECT_FALSE(m.Exists(kelvane::kExe));
        // Emptied folders go, up to the first one still in use or protected.
        EXPECT_FALSE(m.Exists(u"C:\\Program Files\\Kelvane Tools"));
        EXPECT_FALSE(m.Exists(kelvane::kFolder + u"\\doc"));
        EXPECT_TRUE(m.IsFolder(kelvane::kFolder + u"\\bin"));
        EXPECT_FALSE(m.Exists(u"C:\\Users\\Tester\\AppData\\Roaming\\Kelvane"));
        EXPECT_FALSE(m.Exists(u"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\Kelvane"));
        // Counts: lowered where another installation still uses the file.
        EXPECT_EQ(m.GetDword(kelvane::kSharedDlls, u"C:\\Program Files\\Common Files\\Kelvane Shared\\shared.dll"), 2u);
        EXPECT_FALSE(m.GetValue(kelvane::kSharedDlls, kelvane::kFolder + u"\\kelvane.dll").has_value());
        // Registry: whole keys, named values, every user hive.
        EXPECT_FALSE(m.KeyExists(u"HKLM\\Software\\Kelvane\\App"));
        EXPECT_FALSE(m.GetValue(u"HKLM\\Software\\Kelvane\\Settings", u"InstallDir").has_value());
        EXPECT_FALSE(m.KeyExists(u"HKCU\\Software\\Kelvane"));
        EXPECT_FALSE(m.GetValue(u"HKU\\" + kelvane::kOtherUser + u"\\Software\\Kelvane Shared", u"LastUser"));
        // The association is back to what it was; the verb the user changed stays.
        EXPECT_EQ(m.GetString(u"HKCR\\Kelvane.Doc", u""), u"Old Document");
        EXPECT_FALSE(m.KeyExists(u"HKCR\\Kelvane.Doc\\shell\\view"));
        EXPECT_FALSE(m.KeyExists(u"HKCR\\TypeLib\\{0E0E0E0E-0000-4000-8000-0000000000C3}"));
        EXPECT_EQ(m.TypeLibUnregistrations().size(), 1u);
    }
}

// The check itself: every kind of change the log does not name is reported.
TEST(SafetyScenario, CheckReportsWhatTheLogDoesNotName) {
    struct Case {
        const char* name;
        std::function<void(sim::Machine&)> before;  // set-up before the run
        std::function<void(sim::Machine&)> after;   // what "the run" also did
        std::string reported;                        // a line of the report
    };
    const Case cases[] = {
        {"canary file deleted", nullptr, [](sim::Machine& m) { m.RemovePath(u"C:\\Program Files\\canary.txt"); },
         "- file C:\\Program Files\\canary.txt"},
        {"canary file rewritten", nullptr,
         [](sim::Machine& m) { m.WriteFile(kelvane::kFolder + u"\\user-data.cfg", "changed"); },
         "~ file C:\\Program Files\\Kelvane\\user-data.cfg"},
        {"file added", nullptr, [](sim::Machine& m) { m.WriteFile(u"C:\\Program Files\\new.txt", "x"); },
         "+ file C:\\Program Files\\new.txt"},
        {"program copied elsewhere", nullptr,
         [](sim::Machine& m) { m.InstallDismora(u"C:\\Windows\\Dismora.exe"); }, "+ file C:\\Windows\\Dismora.exe"},
        {"empty folder not above a listed file", [](sim::Machine& m) { m.CreateFolder(u"C:\\Empty\\Inner"); },
         [](sim::Machine& m) { m.RemovePath(u"C:\\Empty\\Inner"); }, "- folder C:\\Empty\\Inner"},
        {"protected folder above a listed file", nullptr,
         [](sim::Machine& m) { m.RemovePath(u"C:\\Users\\Public\\Desktop"); }, "- folder C:\\Users\\Public\\Desktop"},
        {"canary key", nullptr, [](sim::Machine& m) { m.DeleteKey(u"HKLM\\Software\\Kelvane\\Other"); },
         "- key HKEY_LOCAL_MACHINE\\Software\\Kelvane\\Other"},
        {"key added", nullptr, [](sim::Machine& m) { m.CreateKey(u"HKLM\\Software\\Kelvane\\New"); },
         "+ key HKEY_LOCAL_MACHINE\\Software\\Kelvane\\New"},
        {"value beside a named one", nullptr,
         [](sim::Machine& m) { m.DeleteValue(u"HKLM\\Software\\Kelvane\\Settings", u"Theme"); },
         "- value HKEY_LOCAL_MACHINE\\Software\\Kelvane\\Settings\\[Theme]"},
        {"value changed", nullptr, [](sim::Machine& m) { m.SetString(u"HKCR\\.other", u"", u"Kelvane.Doc"); },
         "~ value HKEY_LOCAL_MACHINE\\Software\\Classes\\.other\\[]"},
        {"count of an unlisted file", nullptr,
         [](sim::Machine& m) { m.SetDword(kelvane::kSharedDlls, u"C:\\Other\\x.dll", 4); },
         "~ value HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs\\[C:\\Other\\x.dll]"},
        {"verb the block does not list", nullptr,
         [](sim::Machine& m) { m.DeleteKey(u"HKCR\\Kelvane.Doc\\shell\\edit"); },
         "- key HKEY_LOCAL_MACHINE\\Software\\Classes\\Kelvane.Doc\\shell\\edit"},
        {"unlisted file scheduled", nullptr,
         [](sim::Machine& m) { sim::detail::AppendPendingDeletion(m.state(), u"\\??\\C:\\canary.txt"); },
         "+ pending deletion C:\\canary.txt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KelvaneRun run(sim::KelvaneLog(4).Bytes());
        if (c.before) c.before(run.machine);
        run.Start();
        c.after(run.machine);
        const std::string problems = run.Problems();
        EXPECT_NE(problems.find("\n" + c.reported), std::string::npos) << problems;
    }
}

// Whole-key entries for keys that hold every program's settings name nothing to remove.
TEST(SafetyScenario, WholeKeyEntriesForKeysNoInstallationOwnsAreRefused) {
    const char* roots[] = {"HKEY_LOCAL_MACHINE", "HKEY_AUTO", "HKEY_CURRENT_USER", "HKEY_USERS"};
    const char* keys[] = {"Software", "Software\\Microsoft", "Software\\Classes", "Software\\Classes\\CLSID",
                          "Software\\Classes\\TypeLib", "Software\\Microsoft\\Windows\\CurrentVersion", "System",
                          "System\\CurrentControlSet", "\\\\", "", "CLSID", "Interface\\", "System\\ControlSet001",
                          "Software\\Wow6432Node\\Microsoft"};
    for (const char* root : roots) {
        for (const char* key : keys) {
            SCOPED_TRACE(std::string(root) + "\\" + key);
            test::LogBuilder log = sim::KelvaneLog(4);
            log.registry = {std::string(root) + "\\" + key + "\t*"};
            KelvaneRun run(log.Bytes());
            run.Start(u"\"" + kelvane::kLog + u"\" /temp /silent");
            EXPECT_EQ(run.Problems(), "");
            ExpectCanariesIntact(run.machine);
        }
    }
}

// regsvr32 is started by its full path in the System folder, wherever that is: a program
// of that name beside the temporary copy or in the current folder never runs.
TEST(SafetyScenario, Regsvr32IsStartedFromTheSystemFolderByItsFullPath) {
    for (const std::u16string& system : {std::u16string(u"C:\\Windows\\system32"), std::u16string(u"D:\\OS\\Sys32")}) {
        SCOPED_TRACE(sim::Narrow(system));
        KelvaneRun run(sim::KelvaneLog(4).Bytes());
        sim::Machine& m = run.machine;
        if (system[0] == u'D') m.AddDrive(u'D');
        m.SetSystemFolder(system);
        m.InstallProgram(system + u"\\regsvr32.exe", {.run_ms = 50});
        int planted_runs = 0;
        for (const std::u16string& folder : {kelvane::kTemp, kelvane::kFolder}) {
            m.InstallProgram(folder + u"\\regsvr32.exe",
                             {.on_start = [&planted_runs](sim::Machine&, sim::ProgramRun&) { ++planted_runs; }});
        }
        run.Start();
        std::vector<std::u16string> servers;
        for (const auto& start : m.Starts()) {
            if (start.command_line.rfind(u"regsvr32 ", 0) != 0) continue;
            EXPECT_EQ(start.application_name, system + u"\\regsvr32.exe");
            EXPECT_TRUE(sim::detail::EqualNoCase(start.image, system + u"\\regsvr32.exe")) << sim::Narrow(start.image);
            servers.push_back(start.command_line);
        }
        EXPECT_EQ(servers, (std::vector<std::u16string>{u"regsvr32 /u /s \"" + kelvane::kFolder + u"\\kelvane.dll\"",
                                                        u"regsvr32 /u /s \"" + kelvane::kFolder + u"\\viewer.ocx\""}));
        EXPECT_EQ(planted_runs, 0);
        // The planted programs are files the log never names: they stay.
        std::string problems = run.Problems();
        EXPECT_EQ(problems, "");
    }
}

// A whole-key entry for a key that every installation shares, or for a key above one,
// would delete it with everything below: the machine's shared counts, every program's
// uninstall entry, the Session Manager key, the shell folders. Such lines are refused.
TEST(SafetyScenario, WholeKeyEntriesForSharedKeysAreRefused) {
    const char* keys[] = {"Software\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs",
                          "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall",
                          "Software\\Microsoft\\Windows\\CurrentVersion\\Run",
                          "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer",
                          "Software\\Microsoft\\Windows\\CurrentVersion\\Policies",
                          "System\\CurrentControlSet\\Control",
                          "System\\CurrentControlSet\\Control\\Session Manager",
                          "System\\ControlSet001\\Services",
                          "Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall",
                          // The keys Windows itself owns just below the shared ones.
                          "Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon",
                          "Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows",
                          "Software\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options",
                          "Software\\Microsoft\\Windows NT\\CurrentVersion\\Fonts",
                          "Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList",
                          "System\\CurrentControlSet\\Control\\Session Manager\\Environment",
                          "System\\CurrentControlSet\\Control\\Session Manager\\KnownDLLs",
                          "System\\ControlSet001\\Control\\Class",
                          "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ShellExecuteHooks",
                          "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects",
                          "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ShellIconOverlayIdentifiers",
                          "Software\\Microsoft\\Windows\\CurrentVersion\\Shell Extensions\\Approved",
                          "Software\\Classes\\exefile",
                          "Software\\Classes\\.exe",
                          "Software\\Classes\\lnkfile",
                          "Software\\Classes\\.LNK",
                          "Software\\Classes\\batfile",
                          "Software\\Classes\\.bat",
                          "Software\\Classes\\cmdfile",
                          "Software\\Classes\\.cmd",
                          "Software\\Classes\\comfile",
                          "Software\\Classes\\.com",
                          "Software\\Classes\\Drive",
                          "Software\\Classes\\AllFilesystemObjects",
                          "Software\\Classes\\SystemFileAssociations"};
    for (const char* key : keys) {
        SCOPED_TRACE(key);
        test::LogBuilder log = sim::KelvaneLog(4);
        log.files = {};
        log.registry = {std::string("HKEY_LOCAL_MACHINE\\") + key + "\t*"};
        KelvaneRun run(log.Bytes());
        // What Windows keeps there: gone, it would show as a change the log does not name.
        run.machine.CreateKey(u"HKLM\\" + sim::Widen(key) + u"\\Kept");
        run.Start(u"\"" + kelvane::kLog + u"\" /temp /silent");
        EXPECT_EQ(run.Problems(), "");
        EXPECT_TRUE(run.machine.KeyExists(u"HKLM\\" + sim::Widen(key) + u"\\Kept"));
    }
    // Below them, what the log names still goes.
    test::LogBuilder log = sim::KelvaneLog(4);
    log.files = {};
    log.registry = {"HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon\\Notify\\Kelvane\t*"};
    KelvaneRun below(log.Bytes());
    below.machine.CreateKey(u"HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon\\Notify\\Kelvane\\Sub");
    below.Start(u"\"" + kelvane::kLog + u"\" /temp /silent");
    EXPECT_EQ(below.Problems(), "");
    EXPECT_FALSE(below.machine.KeyExists(u"HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon\\Notify\\Kelvane"));
}

// When the program's own path is longer than 260 characters, GetModuleFileNameW hands
// back a truncated path that names another file: the temporary copy must not schedule it
// for deletion at restart.
TEST(SafetyScenario, OwnPathLongerThan260CharactersSchedulesNothingElse) {
    sim::Machine m;
    const std::u16string folder = u"C:\\Program Files\\" + std::u16string(250, u'D');
    const std::u16string exe = folder + u"\\Dismora.exe";
    const std::u16string log_path = folder + u"\\Kelvane.log";
    m.InstallDismora(exe);
    m.WriteFile(folder + u"\\a.txt", "a");
    test::LogBuilder log;
    log.files = {sim::Narrow(folder) + "\\a.txt"};
    m.WriteFile(log_path, log.Bytes());
    sim::SafetyCheck safety(m, log_path);
    m.RunProgram({.command_line = u"\"" + exe + u"\" \"" + log_path + u"\" /temp /silent", .module_path = exe});
    EXPECT_FALSE(m.Exists(folder + u"\\a.txt"));
    EXPECT_EQ(safety.Report(m), "");
    EXPECT_TRUE(m.PendingDeletions().empty());
}

// However the log spells a path into a protected folder, or reaches it through a
// junction, the folder stays; the emptied folders below it still go. A junction itself
// is never removed, and the climb stops there. Nothing is deleted through a junction that
// a standard user made (planted in a folder of the installation that all users may write).
TEST(SafetyScenario, ProtectedFoldersStayHoweverTheLogSpellsThemAndPlantedLinksLeadNowhere) {
    std::vector<std::u16string> protected_folders;
    {
        sim::Machine m;
        m.Run({.command_line = u"C:\\Tests\\host.exe"}, [&] {
            WellKnownFolders folders;
            ComputeWellKnownFolders(folders);
            for (std::size_t i = 0; i < folders.Count(); ++i) {
                protected_folders.push_back(folders.Folder(i).substr(0, folders.Folder(i).size() - 1));
            }
        });
    }
    protected_folders.push_back(u"C:\\Old Users\\Public\\Desktop");  // through a junction
    for (const std::u16string& folder : protected_folders) {
        for (unsigned way = 0; way < sim::kRespellings; ++way) {
            SCOPED_TRACE(sim::Narrow(folder) + " spelled " + std::to_string(way));
            sim::Machine m;
            m.CreateJunction(u"C:\\Old Users", u"C:\\Users");
            m.CreateJunction(u"C:\\Old Apps", u"C:\\Program Files");
            const std::u16string exe = u"C:\\Apps\\Kelvane\\Dismora.exe";
            const std::u16string log_path = u"C:\\Apps\\Kelvane\\Kelvane.log";
            m.InstallDismora(exe);
            m.CreateJunction(u"C:\\Apps\\Kelvane\\Data", u"C:\\ProgramData\\Other", m.UserSid());
            m.WriteFile(u"C:\\ProgramData\\Other\\Settings\\other.dat", "x");
            m.WriteFile(u"C:\\ProgramData\\Other\\Settings\\more.dat", "x");
            m.WriteFile(u"C:\\ProgramData\\Other\\direct.dat", "x");
            m.WriteFile(u"C:\\Apps\\Kelvane\\readme.txt", "x");
            m.WriteFile(folder + u"\\odd.lnk", "x");
            m.WriteFile(folder + u"\\Kelvane Odd\\x.txt", "x");
            m.WriteFile(u"C:\\Old Apps\\Kelvane Linked\\y.txt", "x");
            test::LogBuilder log;
            // The planted folder's files before and after the others: its second file is held to
            // the check made for the first. The link itself is found below a folder checked before.
            log.files = {"C:\\Apps\\Kelvane\\Data\\Settings\\more.dat", "C:\\Apps\\Kelvane\\readme.txt",
                         "C:\\Apps\\Kelvane\\Data\\direct.dat", sim::Narrow(sim::Respell(m, folder + u"\\odd.lnk", way)),
                         sim::Narrow(sim::Respell(m, folder + u"\\Kelvane Odd\\x.txt", way)),
                         "C:\\Old Apps\\Kelvane Linked\\y.txt", "C:\\Apps\\Kelvane\\Data\\Settings\\other.dat"};
            m.WriteFile(log_path, log.Bytes());
            sim::SafetyCheck safety(m, log_path);
            m.RunProgram({.command_line = u"\"" + exe + u"\" \"" + log_path + u"\" /temp /silent", .module_path = exe});
            EXPECT_EQ(safety.Report(m), "");
            EXPECT_TRUE(m.IsFolder(folder));
            EXPECT_FALSE(m.Exists(folder + u"\\odd.lnk"));
            EXPECT_FALSE(m.Exists(folder + u"\\Kelvane Odd"));
            EXPECT_TRUE(m.IsFolder(u"C:\\Old Apps"));
            EXPECT_FALSE(m.Exists(u"C:\\Program Files\\Kelvane Linked"));
            EXPECT_TRUE(m.Exists(u"C:\\ProgramData\\Other\\Settings\\other.dat"));
            EXPECT_TRUE(m.Exists(u"C:\\ProgramData\\Other\\Settings\\more.dat"));
            EXPECT_TRUE(m.Exists(u"C:\\ProgramData\\Other\\direct.dat"));
            EXPECT_FALSE(m.Exists(u"C:\\Apps\\Kelvane\\readme.txt"));
        }
    }
}

}  // namespace
}  // namespace dismora
