// Whole uninstall runs on a simulated machine: a log in, the machine, the message
// boxes and the started processes out.
#include <gtest/gtest.h>

#include "support/invariant.h"
#include "support/log_builder.h"
#include "support/sim.h"

namespace dismora {
namespace {

using sim::Machine;
using test::LogBuilder;

const std::u16string kExe = u"C:\\App\\Dismora.exe";
const std::u16string kLog = u"C:\\App\\Kelvane.log";
const std::u16string kShared = u"HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";
const std::u16string kUserShared = u"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";
constexpr win::UINT kFinalStyle = win::MB_OK | win::MB_ICONQUESTION;

std::vector<sim::MessageBoxRecord> FinalMessagesOf(const Machine& machine) {
    std::vector<sim::MessageBoxRecord> finals;
    for (const auto& box : machine.MessageBoxes()) {
        if (box.style == kFinalStyle) finals.push_back(box);
    }
    return finals;
}

class UninstallTest : public ::testing::Test {
protected:
    void SetUp() override { machine.InstallDismora(kExe); }

    // Runs the log as the temporary copy would (no confirmation, no relaunch).
    sim::RunResult RunLog(const LogBuilder& log, const std::u16string& switches = u"/temp /silent",
                          const std::u16string& log_path = kLog) {
        machine.WriteFile(log_path, log.Bytes());
        sim::SafetyCheck safety(machine, log_path);
        sim::RunResult result = machine.RunProgram(
            {.command_line = u"\"" + kExe + u"\" \"" + log_path + u"\" " + switches, .module_path = kExe});
        EXPECT_EQ(safety.Report(machine), "");
        return result;
    }

    std::vector<sim::MessageBoxRecord> FinalMessages() const { return FinalMessagesOf(machine); }

    Machine machine;
};

TEST_F(UninstallTest, SharedCountsDecideWhichFilesGo) {
    struct Case {
        const char* name;
        std::optional<sim::RegistryValue> stored;  // nullopt: no value
        bool file_goes;
        std::optional<sim::RegistryValue> after;  // nullopt: value gone
    };
    auto dword = [](win::DWORD v) {
        sim::Bytes bytes(4);
        for (int i = 0; i < 4; ++i) bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
        return sim::RegistryValue{u"", win::REG_DWORD, bytes};
    };
    auto typed = [](win::DWORD type, sim::Bytes bytes) { return sim::RegistryValue{u"", type, std::move(bytes)}; };
    const Case cases[] = {
        {"count 1", dword(1), true, std::nullopt},
        {"count 3", dword(3), false, dword(2)},
        {"count 0 is not wrapped", dword(0), true, std::nullopt},
        {"no count", std::nullopt, true, std::nullopt},
        {"text value", typed(win::REG_SZ, {'1', 0, '2', 0, '3', 0, 0, 0}), true,
         typed(win::REG_SZ, {'1', 0, '2', 0, '3', 0, 0, 0})},
        {"four bytes of another type", typed(win::REG_BINARY, {5, 0, 0, 0}), false, dword(4)},
        {"two bytes", typed(win::REG_BINARY, {2, 0}), false, dword(1)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Machine fresh;
        fresh.InstallDismora(kExe);
        const std::u16string file = u"C:\\Program Files\\App\\lib.dll";
        fresh.WriteFile(file, "MZ");
        fresh.WriteFile(u"C:\\Program Files\\App\\keep.txt", "not listed");
        if (c.stored) fresh.SetValue(kShared, file, c.stored->type, c.stored->data);
        LogBuilder log;
        log.files = {sim::Narrow(file)};
        fresh.WriteFile(kLog, log.Bytes());
        sim::SafetyCheck fresh_safety(fresh, kLog);
        fresh.RunProgram({.command_line = u"\"" + kExe + u"\" \"" + kLog + u"\" /temp /silent", .module_path = kExe});
        EXPECT_EQ(fresh_safety.Report(fresh), "");
        EXPECT_EQ(fresh.Exists(file), !c.file_goes);
        auto after = fresh.GetValue(kShared, file);
        ASSERT_EQ(after.has_value(), c.after.has_value());
        if (after) {
            EXPECT_EQ(after->type, c.after->type);
            EXPECT_EQ(after->data, c.after->data);
        }
        EXPECT_TRUE(fresh.Exists(u"C:\\Program Files\\App\\keep.txt"));
    }
}

TEST_F(UninstallTest, DuplicatePathsAndMissingKeys) {
    // Listed twice with count 2: the first line lowers it, the second lets the file go.
    machine.WriteFile(u"C:\\App\\twice.dll", "MZ");
    machine.SetDword(kShared, u"C:\\App\\twice.dll", 2);
    LogBuilder log;
    log.files = {"C:\\App\\twice.dll", "C:\\App\\twice.dll"};
    RunLog(log);
    EXPECT_FALSE(machine.Exists(u"C:\\App\\twice.dll"));
    EXPECT_FALSE(machine.GetValue(kShared, u"C:\\App\\twice.dll").has_value());

    // Per user, without the key: it is created (and stays), every file goes.
    Machine user;
    user.InstallDismora(kExe);
    user.DeleteKey(kUserShared);
    user.WriteFile(u"C:\\App\\a.txt", "a");
    LogBuilder user_log;
    user_log.scope = "CURRENT";
    user_log.files = {"C:\\App\\a.txt"};
    user.WriteFile(kLog, user_log.Bytes());
    sim::SafetyCheck user_safety(user, kLog);
    user.RunProgram({.command_line = u"\"" + kExe + u"\" \"" + kLog + u"\" /temp /silent", .module_path = kExe});
    EXPECT_EQ(user_safety.Report(user), "");
    EXPECT_TRUE(user.KeyExists(kUserShared));
    EXPECT_TRUE(user.ValueNames(kUserShared).empty());
    EXPECT_FALSE(user.Exists(u"C:\\App\\a.txt"));
    // An empty count key answers no query: none is made.
    for (const auto& entry : user.Trace()) {
        EXPECT_FALSE(entry.function == "RegQueryValueExW" && entry.argument == u"C:\\App\\a.txt");
    }

    // All users, the machine key cannot be written: no count changes, every file goes.
    Machine locked;
    locked.InstallDismora(kExe);
    locked.SetDword(kShared, u"C:\\App\\b.txt", 3);
    locked.DenyWrite(kShared);
    locked.WriteFile(u"C:\\App\\b.txt", "b");
    LogBuilder locked_log;
    locked_log.files = {"C:\\App\\b.txt"};
    locked.WriteFile(kLog, locked_log.Bytes());
    sim::SafetyCheck locked_safety(locked, kLog);
    locked.RunProgram({.command_line = u"\"" + kExe + u"\" \"" + kLog + u"\" /temp /silent", .module_path = kExe});
    EXPECT_EQ(locked_safety.Report(locked), "");
    EXPECT_EQ(locked.GetDword(kShared, u"C:\\App\\b.txt"), 3u);
    EXPECT_FALSE(locked.Exists(u"C:\\App\\b.txt"));

    // All users, no machine key: it is not created.
    Machine absent;
    absent.InstallDismora(kExe);
    absent.DeleteKey(kShared);
    absent.WriteFile(kLog, locked_log.Bytes());
    sim::SafetyCheck absent_safety(absent, kLog);
    absent.RunProgram({.command_line = u"\"" + kExe + u"\" \"" + kLog + u"\" /temp /silent", .module_path = kExe});
    EXPECT_EQ(absent_safety.Report(absent), "");
    EXPECT_FALSE(absent.KeyExists(kShared));
}

TEST_F(UninstallTest, EmptiedFoldersGoUpToTheFirstProtectedOrNonEmptyFolder) {
    machine.WriteFile(u"C:\\Program Files\\App\\bin\\tool.exe", "MZ");
    machine.WriteFile(u"C:\\Program Files\\App\\doc\\deep\\readme.txt", "r");
    machine.WriteFile(u"C:\\Program Files\\Shared\\keep.txt", "k");
    machine.WriteFile(u"C:\\Program Files\\Shared\\sub\\gone.txt", "g");
    machine.AddDrive(u'D');
    machine.WriteFile(u"D:\\x.txt", "x");
    machine.WriteFile(u"D:\\rel.txt", "r");
    machine.WriteFile(u"C:\\App\\bare.txt", "b");
    LogBuilder log;
    log.files = {"C:\\Program Files\\App\\bin\\tool.exe", "C:\\Program Files\\App\\doc\\deep\\readme.txt",
                 "C:\\Program Files\\Shared\\sub\\gone.txt", "D:\\x.txt", "D:rel.txt", "bare.txt"};
    RunLog(log, u"/temp /silent");
    EXPECT_FALSE(machine.Exists(u"C:\\Program Files\\App"));
    EXPECT_TRUE(machine.IsFolder(u"C:\\Program Files"));
    EXPECT_FALSE(machine.Exists(u"C:\\Program Files\\Shared\\sub"));
    EXPECT_TRUE(machine.Exists(u"C:\\Program Files\\Shared\\keep.txt"));
    EXPECT_FALSE(machine.Exists(u"D:\\x.txt"));
    EXPECT_FALSE(machine.Exists(u"D:\\rel.txt"));
    EXPECT_TRUE(machine.IsFolder(u"D:\\"));
    // A bare name is resolved in the current folder, and no folder is touched for it.
    EXPECT_FALSE(machine.Exists(u"C:\\App\\bare.txt"));
    EXPECT_TRUE(machine.IsFolder(u"C:\\App"));
}

TEST_F(UninstallTest, ProtectedFoldersIgnoreLetterCase) {
    machine.WriteFile(u"C:\\Program Files\\App\\a.txt", "a");
    LogBuilder log;
    log.files = {"c:\\PROGRAM FILES\\App\\a.txt"};
    RunLog(log);
    EXPECT_FALSE(machine.Exists(u"C:\\Program Files\\App"));
    EXPECT_TRUE(machine.IsFolder(u"C:\\Program Files"));
}

TEST_F(UninstallTest, PerUserShellFolderReplacedByAllUsersFolderStaysProtected) {
    const std::u16string user_folders = u"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
    const std::u16string common_folders = u"HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
    machine.SetString(user_folders, u"Desktop", u"C:\\Users\\Tester\\Desktop");
    machine.SetString(common_folders, u"Common Desktop", u"C:\\Users\\Public\\Desktop");
    machine.WriteFile(u"C:\\Users\\Tester\\Desktop\\App.lnk", "L");
    LogBuilder log;
    log.scope = "CURRENT";
    log.files = {"C:\\Users\\Tester\\Desktop\\App.lnk"};
    RunLog(log);
    EXPECT_FALSE(machine.Exists(u"C:\\Users\\Tester\\Desktop\\App.lnk"));
    EXPECT_TRUE(machine.IsFolder(u"C:\\Users\\Tester\\Desktop"));
}

TEST_F(UninstallTest, FilesThatCannotGoAreScheduledAndTheFinalMessageSaysSo) {
    machine.WriteFile(u"C:\\Program Files\\App\\busy.dll", "MZ");
    machine.SetShortName(u"C:\\Program Files", u"PROGRA~1");
    machine.WriteFile(u"C:\\Program Files\\App\\locked.txt", "r", win::FILE_ATTRIBUTE_READONLY);
    machine.WriteFile(u"C:\\Program Files\\App\\free.txt", "f");
    int hold = machine.HoldOpen(u"C:\\Program Files\\App\\busy.dll");
    LogBuilder log;
    log.product = "Tool";
    log.completion = "%s is gone, %s.";
    log.restart = {"Restart %s", "now."};
    log.files = {"C:\\Program Files\\App\\busy.dll", "C:\\Program Files\\App\\locked.txt",
                 "C:\\Program Files\\App\\free.txt"};
    RunLog(log, u"/temp");
    machine.ReleaseHold(hold);
    auto pending = machine.PendingDeletions();
    ASSERT_EQ(pending.size(), 3u);
    EXPECT_EQ(sim::Narrow(pending[0]), sim::Narrow(machine.ShortPath(kExe)));
    EXPECT_EQ(pending[1], machine.ShortPath(u"C:\\Program Files\\App\\busy.dll"));
    EXPECT_EQ(pending[2], machine.ShortPath(u"C:\\Program Files\\App\\locked.txt"));
    EXPECT_FALSE(machine.Exists(u"C:\\Program Files\\App\\free.txt"));
    EXPECT_TRUE(machine.IsFolder(u"C:\\Program Files\\App"));
    auto finals = FinalMessages();
    ASSERT_EQ(finals.size(), 1u);
    EXPECT_EQ(sim::Narrow(finals[0].text), "Tool is gone, %s.\r\rRestart %s\rnow.");
    EXPECT_EQ(sim::Narrow(finals[0].caption), "Dismora Tool");
}

TEST_F(UninstallTest, RestartTextAloneHoldsTheMarker) {
    machine.WriteFile(u"C:\\App\\locked.txt", "r", win::FILE_ATTRIBUTE_READONLY);
    LogBuilder log;
    log.completion = "Done.";
    log.restart = {"Restart to finish %s", "later."};
    log.files = {"C:\\App\\locked.txt"};
    RunLog(log, u"/temp");
    auto finals = FinalMessages();
    ASSERT_EQ(finals.size(), 1u);
    EXPECT_EQ(sim::Narrow(finals[0].text), "Done.\r\rRestart to finish Tool\rlater.");
}

TEST_F(UninstallTest, LogListedInItsOwnFileSection) {
    machine.WriteFile(u"C:\\Program Files\\App\\a.txt", "a");
    const std::u16string log_path = u"C:\\Program Files\\App\\Kelvane.log";
    LogBuilder log;
    log.files = {"C:\\Program Files\\App\\a.txt", sim::Narrow(log_path)};
    machine.WriteFile(log_path, log.Bytes());
    const std::u16string short_log = machine.ShortPath(log_path);
    RunLog(log, u"/temp", log_path);
    EXPECT_FALSE(machine.Exists(log_path));
    EXPECT_FALSE(machine.Exists(u"C:\\Program Files\\App"));
    auto pending = machine.PendingDeletions();
    ASSERT_EQ(pending.size(), 2u);
    EXPECT_EQ(sim::Narrow(pending[1]), sim::Narrow(short_log));
    auto finals = FinalMessages();
    ASSERT_EQ(finals.size(), 1u);
    EXPECT_NE(finals[0].text.find(u"\r\r"), std::u16string::npos);
}

TEST_F(UninstallTest, PreUninstallCommandExitCodes) {
    struct Case {
        const char* name;
        std::optional<sim::Program> program;  // nullopt: the command names no program
        bool goes_on;
        bool exit_code_unknown = false;  // GetExitCodeProcess fails
    };
    const Case cases[] = {
        {"exit 1", sim::Program{.exit_code = 1}, true},
        {"exit 0", sim::Program{.exit_code = 0}, false},
        {"exit 2", sim::Program{.exit_code = 2}, false},
        {"missing program", std::nullopt, true},
        {"exit 1 after ten minutes: no time limit", sim::Program{.exit_code = 1, .run_ms = 600000}, true},
        {"exit code that cannot be read", sim::Program{.exit_code = 1}, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Machine fresh;
        fresh.InstallDismora(kExe);
        if (c.program) fresh.InstallProgram(u"C:\\Setup\\pre.exe", *c.program);
        if (c.exit_code_unknown) fresh.FailCall("GetExitCodeProcess", 1, win::ERROR_ACCESS_DENIED);
        fresh.WriteFile(u"C:\\App\\a.txt", "a");
        fresh.SetDword(kShared, u"C:\\App\\a.txt", 1);
        LogBuilder log;
        log.pre_command = " \t\"C:\\Setup\\pre.exe\" /check \t";
        log.files = {"C:\\App\\a.txt"};
        log.registry = {"HKEY_LOCAL_MACHINE\\Software\\Vendor\\App\t*"};
        fresh.SetString(u"HKLM\\Software\\Vendor\\App", u"v", u"x");
        fresh.WriteFile(kLog, log.Bytes());
        sim::Snapshot before = fresh.TakeSnapshot();
        sim::SafetyCheck fresh_safety(fresh, kLog);
        fresh.RunProgram({.command_line = u"\"" + kExe + u"\" \"" + kLog + u"\" /temp", .module_path = kExe});
        EXPECT_EQ(fresh_safety.Report(fresh), "");

        ASSERT_FALSE(fresh.Starts().empty());
        EXPECT_EQ(sim::Narrow(fresh.Starts()[0].command_line), "\"C:\\Setup\\pre.exe\" /check");
        EXPECT_FALSE(fresh.Starts()[0].application_name.has_value());
        // Started plainly: no handles handed down, no flags, this program's environment and folder.
        EXPECT_EQ(fresh.Starts()[0].inherit_handles, 0);
        EXPECT_EQ(fresh.Starts()[0].creation_flags, 0u);
        EXPECT_FALSE(fresh.Starts()[0].environment_given);
        EXPECT_FALSE(fresh.Starts()[0].current_folder.has_value());
        EXPECT_EQ(fresh.Exists(u"C:\\App\\a.txt"), !c.goes_on);
        EXPECT_EQ(fresh.Exists(kLog), !c.goes_on);
        EXPECT_EQ(fresh.KeyExists(u"HKLM\\Software\\Vendor\\App"), !c.goes_on);
        EXPECT_EQ(FinalMessagesOf(fresh).size(), c.goes_on ? 1u : 0u);
        if (!c.goes_on) {
            // Only the program's own file was scheduled; nothing else changed.
            ASSERT_EQ(fresh.PendingDeletions().size(), 1u);
            EXPECT_EQ(fresh.PendingDeletions()[0], fresh.ShortPath(kExe));
            for (const auto& change : sim::Diff(before, fresh.TakeSnapshot())) {
                if (change.path.find(u"PendingFileRenameOperations") != std::u16string::npos) continue;
                EXPECT_EQ(change.what, sim::Change::What::kPendingDeletion) << sim::ToString({change});
            }
            EXPECT_TRUE(fresh.Notifications().empty());
        }
    }
}

TEST_F(UninstallTest, BlankPreUninstallCommandStartsNothing) {
    LogBuilder log;
    log.pre_command = " \t \t";
    RunLog(log);
    EXPECT_TRUE(machine.Starts().empty());
    EXPECT_FALSE(machine.Exists(kLog));
}

TEST_F(UninstallTest, PacingBeforeTheFirstDeletion) {
    struct Case {
        std::u16string switches;
        win::DWORD run_ms;
        win::DWORD start_tick;
        std::vector<win::DWORD> sleeps;
    };
    const Case cases[] = {
        {u"/temp /silent", 30, 1000, {70}},
        {u"/temp /silent", 150, 1000, {}},
        {u"/temp /silent", 30, 0xFFFFFFF0u, {70}},  // the tick counter wraps meanwhile
        {u"/temp /silent", 0, 5000, {100}},
        {u"/silent", 30, 1000, {}},                  // the first instance, its copy not started: never a pause
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(sim::Narrow(c.switches) + " " + std::to_string(c.run_ms));
        Machine fresh;
        fresh.InstallDismora(kExe);
        fresh.SetTick(c.start_tick);
        fresh.InstallProgram(u"C:\\Setup\\pre.exe", {.exit_code = 1, .run_ms = c.run_ms});
        LogBuilder log;
        log.pre_command = "C:\\Setup\\pre.exe";
        fresh.WriteFile(kLog, log.Bytes());
        if (c.switches == u"/silent") fresh.FailCall("CreateProcessW", 1, win::ERROR_NOT_ENOUGH_MEMORY);
        sim::SafetyCheck fresh_safety(fresh, kLog);
        fresh.RunProgram({.command_line = u"\"" + kExe + u"\" \"" + kLog + u"\" " + c.switches, .module_path = kExe});
        EXPECT_EQ(fresh_safety.Report(fresh), "");
        EXPECT_EQ(fresh.Sleeps(), c.sleeps);
    }
}

TEST_F(UninstallTest, SilentRunStillNotifiesTheShell) {
    machine.WriteFile(u"C:\\App\\a.txt", "a");
    LogBuilder log;
    log.files = {"C:\\App\\a.txt"};
    RunLog(log, u"/temp /silent");
    EXPECT_TRUE(machine.MessageBoxes().empty());
    ASSERT_EQ(machine.Notifications().size(), 1u);
    EXPECT_EQ(machine.Notifications()[0].event, win::SHCNE_ASSOCCHANGED);
    EXPECT_EQ(machine.Notifications()[0].flags, win::SHCNF_IDLIST);
    EXPECT_EQ(machine.Notifications()[0].item1, nullptr);
    EXPECT_EQ(machine.Notifications()[0].item2, nullptr);
}

TEST_F(UninstallTest, TruncatedLogs) {
    // The last line of the file is never acted on, even as a well-formed entry.
    machine.WriteFile(u"C:\\App\\a.txt", "a");
    machine.WriteFile(u"C:\\App\\b.txt", "b");
    LogBuilder log;
    log.files = {"C:\\App\\a.txt", "C:\\App\\b.txt"};
    std::string bytes = log.Bytes();
    bytes.resize(bytes.find("C:\\App\\b.txt") + std::string("C:\\App\\b.txt\r\n").size());
    machine.WriteFile(kLog, bytes);
    sim::SafetyCheck machine_safety(machine, kLog);
    machine.RunProgram({.command_line = u"\"" + kExe + u"\" \"" + kLog + u"\" /temp /silent", .module_path = kExe});
    EXPECT_EQ(machine_safety.Report(machine), "");
    EXPECT_FALSE(machine.Exists(u"C:\\App\\a.txt"));
    EXPECT_TRUE(machine.Exists(u"C:\\App\\b.txt"));
    EXPECT_FALSE(machine.Exists(kLog));
    EXPECT_EQ(machine.Notifications().size(), 1u);
}

TEST_F(UninstallTest, IgnoredBlocksAreSkippedByTheirCounts) {
    machine.WriteFile(u"C:\\App\\a.txt", "a");
    LogBuilder log;
    log.first_block_records = {"C:\\App\\x1", "y", "z", "C:\\App\\x2", "y", "z"};
    log.second_block_records = {"C:\\App\\w1", "v"};
    log.files = {"C:\\App\\a.txt"};
    std::string bytes = log.Bytes();
    // Blank lines before a count and words after it do not matter.
    bytes.replace(bytes.find("\r\n2\r\n"), 5, "\r\n\r\n  2 records\r\n");
    machine.WriteFile(kLog, bytes);
    machine.WriteFile(u"C:\\App\\x1", "not listed");
    machine.WriteFile(u"C:\\App\\w1", "not listed");
    sim::SafetyCheck machine_safety(machine, kLog);
    machine.RunProgram({.command_line = u"\"" + kExe + u"\" \"" + kLog + u"\" /temp /silent", .module_path = kExe});
    EXPECT_EQ(machine_safety.Report(machine), "");
    EXPECT_FALSE(machine.Exists(u"C:\\App\\a.txt"));
    EXPECT_TRUE(machine.Exists(u"C:\\App\\x1"));
    EXPECT_TRUE(machine.Exists(u"C:\\App\\w1"));
}

TEST_F(UninstallTest, HugeCountInATruncatedLogEndsPromptly) {
    std::string bytes = LogBuilder{}.Bytes();
    bytes.resize(bytes.find("\r\n0\r\n") + 2);
    bytes += "2000000000\r\nline\r\n";
    machine.WriteFile(kLog, bytes);
    machine.SetCallBudget(10000);
    sim::SafetyCheck machine_safety(machine, kLog);
    machine.RunProgram({.command_line = u"\"" + kExe + u"\" \"" + kLog + u"\" /temp /silent", .module_path = kExe});
    EXPECT_EQ(machine_safety.Report(machine), "");
    EXPECT_FALSE(machine.Exists(kLog));
    EXPECT_TRUE(machine.Violations().empty());
}

}  // namespace
}  // namespace dismora
