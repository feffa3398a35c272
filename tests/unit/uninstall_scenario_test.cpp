// Whole uninstall runs on a simulated machine: a log in, the machine, the message
// boxes and the started processes out.
#include <gtest/gtest.h>

#include <set>

#include "support/installation.h"
#include "support/invariant.h"
#include "support/log_builder.h"
#include "support/sim.h"
#include "support/scenario.h"

namespace dismora {
namespace {

using sim::Machine;
using test::LogBuilder;

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
    ASSERT_EQ(pending.size(), 2u);
    EXPECT_EQ(sim::Narrow(pending[0]), sim::Narrow(machine.ShortPath(kExe)));
    EXPECT_EQ(pending[1], machine.ShortPath(u"C:\\Program Files\\App\\busy.dll"));
    // A read-only file loses its attribute and goes.
    EXPECT_FALSE(machine.Exists(u"C:\\Program Files\\App\\locked.txt"));
    EXPECT_FALSE(machine.Exists(u"C:\\Program Files\\App\\free.txt"));
    EXPECT_TRUE(machine.IsFolder(u"C:\\Program Files\\App"));
    auto finals = FinalMessages();
    ASSERT_EQ(finals.size(), 1u);
    EXPECT_EQ(sim::Narrow(finals[0].text), "Tool is gone, %s.\r\rRestart %s\rnow.");
    EXPECT_EQ(sim::Narrow(finals[0].caption), "Dismora Tool");
}

TEST_F(UninstallTest, RestartTextAloneHoldsTheMarker) {
    machine.WriteFile(u"C:\\App\\locked.txt", "r", win::FILE_ATTRIBUTE_READONLY);
    const int hold = machine.HoldOpen(u"C:\\App\\locked.txt");
    LogBuilder log;
    log.completion = "Done.";
    log.restart = {"Restart to finish %s", "later."};
    log.files = {"C:\\App\\locked.txt"};
    RunLog(log, u"/temp");
    machine.ReleaseHold(hold);
    // Scheduled without its read-only attribute, which the deletion at restart would stop at.
    EXPECT_EQ(machine.Attributes(u"C:\\App\\locked.txt"), win::FILE_ATTRIBUTE_NORMAL);
    auto finals = FinalMessages();
    ASSERT_EQ(finals.size(), 1u);
    EXPECT_EQ(sim::Narrow(finals[0].text), "Done.\r\rRestart to finish Tool\rlater.");
}

// Windows removes no read-only folder: an emptied one loses the attribute and goes; one
// that still cannot go gets it back, since it marks a customised folder.
TEST_F(UninstallTest, ReadOnlyFoldersGoWhenEmptiedAndKeepTheirAttributeOtherwise) {
    for (const bool refused : {false, true}) {
        SCOPED_TRACE(refused ? "refused all the same" : "emptied");
        Machine fresh;
        fresh.InstallDismora(kExe);
        fresh.WriteFile(u"C:\\Data\\Custom\\a.txt", "a", win::FILE_ATTRIBUTE_READONLY);
        fresh.SetAttributes(u"C:\\Data\\Custom", win::FILE_ATTRIBUTE_READONLY);
        // The first removal meets the attribute, the second is refused for another reason.
        if (refused) fresh.FailCall("RemoveDirectoryW", 2, win::ERROR_SHARING_VIOLATION);
        LogBuilder log;
        log.files = {"C:\\Data\\Custom\\a.txt"};
        fresh.WriteFile(kLog, log.Bytes());
        fresh.RunProgram({.command_line = u"\"" + kExe + u"\" \"" + kLog + u"\" /temp /silent", .module_path = kExe});
        EXPECT_FALSE(fresh.Exists(u"C:\\Data\\Custom\\a.txt"));
        EXPECT_EQ(fresh.Exists(u"C:\\Data"), refused);
        if (refused) {
            EXPECT_EQ(fresh.Attributes(u"C:\\Data\\Custom"), win::FILE_ATTRIBUTE_READONLY | win::FILE_ATTRIBUTE_DIRECTORY);
        }
        EXPECT_EQ(fresh.PendingDeletions().size(), 1u);  // the copy's own file alone
    }
}

// Each run schedules its temporary copy; a path already pending is not added again.
TEST_F(UninstallTest, APathAlreadyPendingIsNotAddedAgain) {
    LogBuilder log;
    RunLog(log);
    RunLog(log);
    EXPECT_EQ(machine.PendingDeletions(), std::vector<std::u16string>{machine.ShortPath(kExe)});
}

// A listed file that can be neither removed nor scheduled: the log, its journal and the
// program's own file stay, the final message gives the command that finishes the work,
// and that command finishes it without lowering a shared count a second time.
TEST_F(UninstallTest, ARunThatCannotFinishKeepsWhatFinishingNeeds) {
    const std::u16string busy = u"C:\\Program Files\\App\\busy.dll";
    const std::u16string shared = u"C:\\Program Files\\Common Files\\shared.dll";
    machine.WriteFile(busy, "MZ");
    machine.WriteFile(shared, "MZ");
    machine.SetDword(kShared, shared, 3);
    const int hold = machine.HoldOpen(busy);
    // The copy's own file is scheduled first; the busy file's move and scheduling fail.
    machine.FailCall("MoveFileExW", 2, win::ERROR_ACCESS_DENIED, 2);
    LogBuilder log;
    log.files = {sim::Narrow(kExe), sim::Narrow(shared), sim::Narrow(busy)};
    sim::RunResult first = RunLog(log, u"/temp /wait");
    EXPECT_EQ(first.processes.back().exit_code, static_cast<win::DWORD>(win::ERROR_INSTALL_FAILURE));
    EXPECT_TRUE(machine.Exists(kLog));
    EXPECT_TRUE(machine.Exists(kLog + u".journal"));
    EXPECT_TRUE(machine.Exists(kExe));
    EXPECT_EQ(machine.GetDword(kShared, shared), 2u);
    const auto finals = FinalMessages();
    ASSERT_EQ(finals.size(), 1u);
    EXPECT_NE(finals[0].text.find(u"\r\"" + kExe + u"\" \"" + kLog + u"\""), std::u16string::npos)
        << sim::Narrow(finals[0].text);

    machine.ReleaseHold(hold);
    // Started as the message says, with /silent /wait: the copy does the work.
    sim::RunResult second =
        machine.RunProgram({.command_line = u"\"" + kExe + u"\" \"" + kLog + u"\" /silent /wait", .module_path = kExe});
    EXPECT_EQ(second.processes.back().exit_code, 0u);
    EXPECT_EQ(machine.GetDword(kShared, shared), 2u);
    EXPECT_FALSE(machine.Exists(busy));
    EXPECT_FALSE(machine.Exists(kLog));
    EXPECT_FALSE(machine.Exists(kLog + u".journal"));
    EXPECT_FALSE(machine.Exists(u"C:\\Program Files\\App"));
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

// A copy started without /wait waits, at most 10 s, for its first instance to end before
// it deletes files; the first instance's file is then one like any other. A copy started by
// hand or with /wait does not pause, nor does one whose id now names a younger process.
TEST_F(UninstallTest, TheCopyWaitsForItsFirstInstance) {
    enum class First { kRunning, kHangs, kEnded, kYounger };
    struct Case {
        const char* name;
        First first;
        std::u16string id_switch;  // how the copy is given the id; empty: not at all
        win::DWORD waited_ms;  // 0: not waited for
        bool moved;            // the first instance's file was still in use: moved aside
    };
    const Case cases[] = {
        {"waits while it runs", First::kRunning, u" /first=", 3000, false},
        {"at most 10 s", First::kHangs, u" /first=", 10000, true},
        {"started by hand", First::kRunning, u"", 0, true},
        // The process that waits for the copy is no run of the program: it is not ended either.
        {"with /wait", First::kRunning, u" /wait=", 0, true},
        {"already ended", First::kEnded, u" /first=", 0, false},
        {"the id now names a younger process", First::kYounger, u" /first=", 0, false},
    };
    const std::u16string first = u"C:\\Program Files\\App\\first.exe";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Machine fresh;
        fresh.InstallDismora(kExe);
        fresh.InstallProgram(first, {.run_ms = 3010, .never_ends = c.first == First::kHangs});
        fresh.InstallProgram(u"C:\\Tools\\younger.exe", {.never_ends = true});
        win::DWORD id = 0;
        if (c.first != First::kYounger) id = fresh.StartProgram(first);
        fresh.Advance(c.first == First::kEnded ? 5000 : 10);  // the copy starts later
        if (c.first == First::kYounger) {
            // Started by another process after the copy, it takes the id the copy was given.
            id = 1000;
            for (const auto& process : fresh.Processes()) id = std::max(id, process.pid + 4);
            id += 8;
            fresh.BeforeCall([](std::string_view function, std::u16string_view) { return function == "OpenProcess"; },
                             [&] {
                                 win::Sleep(5);
                                 fresh.StartProgram(u"C:\\Tools\\younger.exe");
                             });
        }
        LogBuilder log;
        log.files = {sim::Narrow(first)};
        const std::u16string switches =
            u"/temp /silent" + (c.id_switch.empty() ? u"" : c.id_switch + sim::Widen(std::to_string(id)));
        fresh.WriteFile(kLog, log.Bytes());
        sim::SafetyCheck safety(fresh, kLog);
        fresh.RunProgram({.command_line = u"\"" + kExe + u"\" \"" + kLog + u"\" " + switches, .module_path = kExe});
        EXPECT_EQ(safety.Report(fresh), "");
        std::vector<win::DWORD> waits;
        for (const sim::WaitRecord& wait : fresh.Waits()) {
            if (wait.target_pid == id) waits.push_back(static_cast<win::DWORD>(wait.end_ms - wait.start_ms));
        }
        EXPECT_EQ(waits, c.waited_ms ? std::vector<win::DWORD>{c.waited_ms} : std::vector<win::DWORD>{});
        bool younger_has_id = false;
        for (const auto& process : fresh.Processes()) younger_has_id |= process.pid == id && process.image.ends_with(u"younger.exe");
        EXPECT_EQ(younger_has_id, c.first == First::kYounger);
        EXPECT_FALSE(fresh.Exists(u"C:\\Program Files\\App"));
        EXPECT_EQ(fresh.PendingDeletions().size(), c.moved ? 3u : 1u);  // the copy's own file, the moved file and its folder
    }
}

// A listed file in use is moved aside when it can be, within its volume: its folder goes
// now. Else it is scheduled where it stands, as is a file opened without delete sharing;
// a later run clears what it can of the folders earlier runs moved files into.
TEST_F(UninstallTest, FilesInUseAreMovedAside) {
    const std::u16string tool = u"C:\\App\\bin\\tool.exe";
    const std::u16string temp = u"C:\\Users\\Tester\\AppData\\Local\\Temp";
    const std::u16string record = u"C:\\Records\\r.txt";
    struct Case {
        const char* name;
        bool all_users;  // and elevated; else a per-user log and an unelevated user
        std::function<void(Machine&)> prepare;
        win::DWORD exit_code;
        std::size_t pending;  // on the restart list
        std::size_t holding;  // holding folders there after the run
        std::string line;     // in the record
        bool stays = false;   // the file at its path, and its folder
    };
    const Case cases[] = {
        {"elevated: to the drive's root, scheduled", true, [&](Machine& m) { m.StartProgram(tool); },
         win::ERROR_SUCCESS_REBOOT_REQUIRED, 3, 1, "file C:\\App\\bin\\tool.exe: in use, moved to C:\\~Dismora-aside-"},
        {"not elevated: into the temporary folder, where it stays", false, [&](Machine& m) { m.StartProgram(tool); },
         win::ERROR_SUCCESS, 0, 1,
         "file C:\\App\\bin\\tool.exe: in use, moved to C:\\Users\\Tester\\AppData\\Local\\Temp\\~Dismora-aside-"},
        {"another volume: scheduled where it stands", true,
         [&](Machine& m) {
             m.StartProgram(tool);
             m.FailCall("MoveFileExW", 2, win::ERROR_NOT_SAME_DEVICE);
         },
         win::ERROR_SUCCESS_REBOOT_REQUIRED, 2, 0, "file C:\\App\\bin\\tool.exe: scheduled for deletion at restart", true},
        {"not elevated, the temporary folder on another volume: neither moved nor scheduled", false,
         [&](Machine& m) {
             m.StartProgram(tool);
             m.AddDrive(u'D');
             m.CreateFolder(u"D:\\Temp");
             m.SetTempPath(u"D:\\Temp");
         },
         win::ERROR_INSTALL_FAILURE, 0, 0, "file C:\\App\\bin\\tool.exe: not scheduled, error 5", true},
        {"open without delete sharing: scheduled where it stands", true, [&](Machine& m) { m.HoldOpen(tool); },
         win::ERROR_SUCCESS_REBOOT_REQUIRED, 2, 0, "file C:\\App\\bin\\tool.exe: scheduled for deletion at restart", true},
        {"neither moved nor scheduled: the log stays", true,
         [&](Machine& m) {
             m.HoldOpen(tool);
             m.FailCall("MoveFileExW", 2, win::ERROR_ACCESS_DENIED, 2);
         },
         win::ERROR_INSTALL_FAILURE, 1, 0, "file C:\\App\\bin\\tool.exe: not scheduled, error 5", true},
        // A folder of that name that a user made at the root (6) is no holding folder.
        {"earlier holding folders: what can go goes", true,
         [&](Machine& m) {
             m.WriteFile(u"C:\\~Dismora-aside-6\\mine.txt", "user's");
             m.WriteFile(u"C:\\~Dismora-aside-7\\1-old.dll", "MZ");
             m.WriteFile(u"C:\\~Dismora-aside-8\\1-busy.dll", "MZ");
             m.MarkAdminOnly(u"C:\\~Dismora-aside-7");
             m.MarkAdminOnly(u"C:\\~Dismora-aside-8");
             m.HoldOpen(u"C:\\~Dismora-aside-8\\1-busy.dll");
             m.WriteFile(u"C:\\Data\\keep.txt", "k");
             m.CreateJunction(u"C:\\~Dismora-aside-9", u"C:\\Data");
         },
         win::ERROR_SUCCESS, 1, 3, "summary: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Machine fresh;
        fresh.InstallDismora(kExe);
        fresh.InstallProgram(tool, {.never_ends = true});
        fresh.CreateFolder(u"C:\\Records");
        c.prepare(fresh);
        LogBuilder log;
        log.scope = c.all_users ? "ALL" : "CURRENT";
        log.files = {sim::Narrow(tool)};
        fresh.WriteFile(kLog, log.Bytes());
        sim::SafetyCheck safety(fresh, kLog);
        sim::RunResult result = fresh.RunProgram(
            {.command_line = u"\"" + kExe + u"\" \"" + kLog + u"\" /temp /silent /wait \"/log=" + record + u"\"",
             .module_path = kExe,
             .token = {.administrator = c.all_users, .elevated = c.all_users}});
        EXPECT_EQ(safety.Report(fresh), "+ file " + sim::Narrow(record) + "\n");
        EXPECT_EQ(result.processes.back().exit_code, c.exit_code);
        EXPECT_EQ(fresh.PendingDeletions().size(), c.pending);
        EXPECT_EQ(fresh.Exists(u"C:\\App\\bin"), c.stays);
        EXPECT_EQ(fresh.Exists(kLog), c.exit_code == win::ERROR_INSTALL_FAILURE);
        std::size_t holding = 0;
        for (const std::u16string& place : {std::u16string(u"C:\\"), temp, std::u16string(u"D:\\Temp")}) {
            if (!fresh.IsFolder(place)) continue;
            for (const std::u16string& name : fresh.List(place)) holding += name.starts_with(u"~Dismora-aside-");
        }
        EXPECT_EQ(holding, c.holding);
        const std::string text = fresh.FileContents(record).value_or("");
        EXPECT_NE(text.find(c.line), std::string::npos) << text;
    }
}

// A file in use is tried again once the applications that hold it were asked to close: by
// the person's Yes, or by /closeapps in a silent run. Only applications of this session that
// run from a listed file or (32-bit ones) loaded one, or that the Restart Manager names; never
// Explorer or a service; none is ended by force.
TEST_F(UninstallTest, ApplicationsThatHoldFilesAreAskedToClose) {
    const std::u16string tool = u"C:\\App\\bin\\tool.exe";
    const std::u16string lib = u"C:\\App\\bin\\lib.dll";
    const std::u16string record = u"C:\\Records\\r.txt";
    const sim::Application closes{.modules = {lib}, .window = u"Tool - notes.txt", .closes_after_ms = 300};
    struct Case {
        const char* name;
        std::u16string switches;
        int answer;  // to the box naming the applications
        std::function<void(Machine&)> prepare;
        win::DWORD exit_code;
        std::string line;  // in the record; empty: no application is named there
        std::string box;   // in the box's text; empty: no box names applications
        bool kept = false; // the library, held open without delete sharing, is scheduled where it stands
    };
    auto start = [&](const sim::Application& application, const std::u16string& program = u"C:\\App\\bin\\tool.exe") {
        return [=](Machine& m) { m.StartApplication(program, application); };
    };
    const Case cases[] = {
        {"Yes: closed, its files go", u"/wait", win::IDYES, start(closes), win::ERROR_SUCCESS,
         "application Tool - notes.txt (process ", "\r\rTool - notes.txt\r\rClose them now"},
        {"No: left running, its files moved aside", u"/wait", win::IDNO, start(closes), win::ERROR_SUCCESS_REBOOT_REQUIRED,
         "): not closed, its files are in use", "Tool - notes.txt"},
        {"silent with /closeapps: closed without a box", u"/silent /wait /closeapps", 0, start(closes), win::ERROR_SUCCESS,
         "): closed", ""},
        {"silent without /closeapps: not looked for", u"/silent /wait", 0, start(closes),
         win::ERROR_SUCCESS_REBOOT_REQUIRED, "", ""},
        {"one that ignores the request is waited for up to the limit", u"/silent /wait /closeapps=3", 0,
         start({.modules = {lib}, .window = u"Stubborn"}), win::ERROR_SUCCESS_REBOOT_REQUIRED,
         "application Stubborn (process ", ""},
        {"a 64-bit program is found by its program file, named by it without a window", u"/wait", win::IDYES,
         start({.wide = true}), win::ERROR_SUCCESS_REBOOT_REQUIRED, "application tool.exe (process ", "\rtool.exe\r"},
        {"a 64-bit program's modules cannot be listed", u"/wait", win::IDYES,
         start({.modules = {lib}, .window = u"Wide", .closes_after_ms = 0, .wide = true}, u"C:\\Other\\host.exe"),
         win::ERROR_SUCCESS_REBOOT_REQUIRED, "", ""},
        {"Explorer and another session's applications are never asked", u"/wait", win::IDYES,
         [&](Machine& m) {
             m.StartApplication(u"C:\\Windows\\explorer.exe", {.modules = {lib}, .window = u"Desktop", .closes_after_ms = 0});
             m.StartApplication(u"C:\\Other\\host.exe",
                                {.modules = {lib}, .window = u"Other user", .closes_after_ms = 0, .session = 2});
         },
         win::ERROR_SUCCESS_REBOOT_REQUIRED, "", ""},
        {"ten named, the others counted", u"/wait", win::IDYES,
         [&](Machine& m) {
             for (int i = 0; i < 12; ++i) {
                 m.StartApplication(u"C:\\Other\\host.exe",
                                    {.modules = {lib}, .window = u"Window " + sim::Widen(std::to_string(i)), .closes_after_ms = 10});
             }
         },
         win::ERROR_SUCCESS, "application Window 11 (process ", "Window 9\rand 2 more\r"},
        // The Restart Manager also sees files held open and 64-bit programs; one the
        // snapshots found already is named once.
        {"the Restart Manager names a 64-bit program that holds a file open", u"/wait", win::IDYES,
         [&](Machine& m) {
             m.OfferRestartManager();
             start(closes)(m);
             start({.window = u"Wide", .closes_after_ms = 0, .wide = true, .open = {lib}, .rm_name = u"Lib Viewer"},
                   u"C:\\Other\\host.exe")(m);
         },
         win::ERROR_SUCCESS, "application Lib Viewer (process ", "\r\rTool - notes.txt\rLib Viewer\r\rClose them now"},
        {"its services, Explorer, critical and other sessions' processes are never asked", u"/wait", win::IDYES,
         [&](Machine& m) {
             m.OfferRestartManager();
             for (const win::DWORD type : {win::RmService, win::RmExplorer, win::RmCritical}) {
                 start({.window = u"Kept", .closes_after_ms = 0, .open = {lib}, .rm_type = type}, u"C:\\Other\\host.exe")(m);
             }
             start({.window = u"Kept", .closes_after_ms = 0, .session = 2, .open = {lib}}, u"C:\\Other\\host.exe")(m);
         },
         win::ERROR_SUCCESS_REBOOT_REQUIRED, "", "", true},
        {"a short first list is asked for again at the length it needs", u"/silent /wait /closeapps", 0,
         [&](Machine& m) {
             m.OfferRestartManager();
             for (int i = 0; i < 6; ++i) {
                 start({.window = u"Open", .closes_after_ms = 10, .open = {lib}, .rm_name = u"Viewer " + sim::Widen(std::to_string(i))},
                       u"C:\\Other\\host.exe")(m);
             }
         },
         win::ERROR_SUCCESS, "application Viewer 5 (process ", ""},
        {"without one of its functions, the snapshots alone stand", u"/wait", win::IDYES,
         [&](Machine& m) {
             m.OfferRestartManager();
             m.SetExportMissing("RmEndSession");
             start({.window = u"Open", .closes_after_ms = 0, .open = {lib}}, u"C:\\Other\\host.exe")(m);
         },
         win::ERROR_SUCCESS_REBOOT_REQUIRED, "", "", true},
        {"when its list fails, the snapshots alone stand", u"/wait", win::IDYES,
         [&](Machine& m) {
             m.OfferRestartManager();
             m.FailCall("RmGetList", 1, win::ERROR_ACCESS_DENIED);
             start({.window = u"Open", .closes_after_ms = 0, .open = {lib}}, u"C:\\Other\\host.exe")(m);
         },
         win::ERROR_SUCCESS_REBOOT_REQUIRED, "", "", true},
        // The log's pre-uninstall command starts it: a program the run started is part of the
        // run, whether the snapshots or the Restart Manager see it.
        {"a program the run started is never asked", u"/wait", win::IDYES,
         [&](Machine& m) {
             m.OfferRestartManager();
             m.InstallProgram(u"C:\\Other\\pre.exe",
                              {.exit_code = 1,  // it went well: the uninstall goes on
                               .on_start = [&](Machine& started, sim::ProgramRun&) { started.StartApplication(tool, closes); }});
         },
         win::ERROR_SUCCESS_REBOOT_REQUIRED, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Machine fresh;
        fresh.InstallDismora(kExe);
        for (const std::u16string& program : {tool, std::u16string(u"C:\\Other\\host.exe"), std::u16string(u"C:\\Windows\\explorer.exe")}) {
            fresh.InstallProgram(program, {.never_ends = true});
        }
        fresh.WriteFile(lib, "MZ");
        fresh.CreateFolder(u"C:\\Records");
        c.prepare(fresh);
        fresh.QueueAnswers({c.answer});
        LogBuilder log;
        log.scope = "ALL";
        log.files = {sim::Narrow(tool), sim::Narrow(lib)};
        if (fresh.Exists(u"C:\\Other\\pre.exe")) log.pre_command = "C:\\Other\\pre.exe";
        fresh.WriteFile(kLog, log.Bytes());
        sim::SafetyCheck safety(fresh, kLog);
        sim::RunResult result = fresh.RunProgram(
            {.command_line = u"\"" + kExe + u"\" \"" + kLog + u"\" /temp " + c.switches + u" \"/log=" + record + u"\"",
             .module_path = kExe});
        EXPECT_EQ(safety.Report(fresh), "+ file " + sim::Narrow(record) + "\n");
        EXPECT_EQ(result.processes.back().exit_code, c.exit_code);
        // Closed, the files go with their folder; else they were moved aside, or, held open
        // without delete sharing, wait for the restart where they stand.
        EXPECT_EQ(fresh.Exists(lib), c.kept);
        EXPECT_EQ(fresh.Exists(u"C:\\App\\bin"), c.kept);
        const std::string text = fresh.FileContents(record).value_or("");
        EXPECT_EQ(text.find("application ") != std::string::npos, !c.line.empty()) << text;
        EXPECT_NE(text.find(c.line), std::string::npos) << text;
        const auto& boxes = fresh.MessageBoxes();
        const bool named = !boxes.empty() && sim::Narrow(boxes[0].text).starts_with("These applications use files");
        EXPECT_EQ(named, !c.box.empty());
        if (named) EXPECT_NE(sim::Narrow(boxes[0].text).find(c.box), std::string::npos) << sim::Narrow(boxes[0].text);
        EXPECT_EQ(fresh.CallCount("RmStartSession"), fresh.CallCount("RmEndSession"));  // every session ended
        if (c.switches.ends_with(u"=3")) {
            bool limited = false;
            for (const sim::WaitRecord& wait : fresh.Waits()) limited |= wait.timeout == 3000 && wait.end_ms - wait.start_ms == 3000;
            EXPECT_TRUE(limited);
        }
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


// --- the record /log= writes --------------------------------------------------------------

std::u16string FoldAscii(std::u16string text) {
    for (char16_t& c : text) c = (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
    return text;
}

// A key as the record names it (the log's root), as the machine's picture names it.
std::u16string PictureKey(std::u16string key, bool per_user) {
    const std::u16string user = u"HKEY_USERS\\" + sim::MachineOptions().user_sid;
    for (const auto& [root, real] : {std::pair<std::u16string, std::u16string>{u"HKEY_AUTO", per_user ? user : u"HKEY_LOCAL_MACHINE"},
                                     {u"HKEY_CURRENT_USER", user},
                                     {u"HKEY_CLASSES_ROOT", u"HKEY_LOCAL_MACHINE\\Software\\Classes"}}) {
        if (key.rfind(root + u"\\", 0) == 0) return FoldAscii(real + key.substr(root.size()));
    }
    return FoldAscii(key);
}

// Holds the record against the machine before and after the run: every deletion it tells
// of happened, and every file, folder, key or value the run removed or changed is in it.
std::string RecordProblems(const sim::Snapshot& before, const sim::Snapshot& after, std::string_view record,
                           bool per_user = false) {
    std::string problems;
    std::set<std::u16string> files, folders, keys, values, counts, types;
    bool unregistered = false;
    auto fail = [&](const std::u16string& what) { problems += sim::Narrow(what) + "\n"; };
    auto between = [](const std::u16string& line, std::u16string_view start, std::u16string_view end, std::u16string& middle) {
        if (line.size() < start.size() + end.size() || line.rfind(start, 0) != 0 ||
            line.compare(line.size() - end.size(), end.size(), end) != 0) {
            return false;
        }
        middle = line.substr(start.size(), line.size() - start.size() - end.size());
        return true;
    };
    std::size_t from = 3;  // after the byte-order mark
    while (from < record.size()) {
        std::size_t end = record.find("\r\n", from);
        std::u16string line = sim::Widen(record.substr(from, end - from));
        from = end == std::string_view::npos ? record.size() : end + 2;
        if (line.rfind(u"line ", 0) == 0) line.erase(0, line.find(u": ") + 2);
        std::u16string x;
        const std::u16string classes = per_user ? PictureKey(u"HKEY_CURRENT_USER\\Software\\Classes", false) + u"_CLASSES"
                                                : PictureKey(u"HKEY_CLASSES_ROOT", false);
        if (between(line, u"file ", u": deleted", x)) {
            files.insert(FoldAscii(x));
            // The journal of the counts is the run's own: it may come and go within it.
            const bool journal = FoldAscii(x).ends_with(u".JOURNAL");
            if ((!journal && !before.files.count(FoldAscii(x))) || after.files.count(FoldAscii(x))) fail(u"not so: " + line);
        } else if (between(line, u"folder ", u"\\: removed", x)) {
            folders.insert(FoldAscii(x));
            if (!before.files.count(FoldAscii(x)) || after.files.count(FoldAscii(x))) fail(u"not so: " + line);
        } else if (between(line, u"key ", u": deleted", x)) {
            keys.insert(PictureKey(x, per_user));
            if (!before.keys.count(PictureKey(x, per_user)) || after.keys.count(PictureKey(x, per_user))) fail(u"not so: " + line);
        } else if (between(line, u"value ", u": deleted", x) && x.find(u" of ") != std::u16string::npos) {
            std::u16string name = x.substr(0, x.find(u" of "));
            const std::u16string value = PictureKey(x.substr(x.find(u" of ") + 4), per_user) + u"\x01" +
                                         FoldAscii(name == u"(default)" ? u"" : name);
            values.insert(value);
            if (!before.values.count(value) || after.values.count(value)) fail(u"not so: " + line);
        } else if (between(line, u"file ", u": scheduled for deletion at restart", x)) {
            if (!after.files.count(FoldAscii(x))) fail(u"not so: " + line);
        } else if (line.rfind(u"file ", 0) == 0 && line.find(u": shared count ") != std::u16string::npos) {
            counts.insert(FoldAscii(line.substr(5, line.find(u": shared count ") - 5)));
        } else if (line.find(u" of ") != std::u16string::npos &&
                   (between(line, u"", u": restored", x) || between(line, u"", u": deleted", x))) {
            types.insert(classes + u"\\" + FoldAscii(x.substr(x.find(u" of ") + 4)));
        } else if (line.find(u"regsvr32") != std::u16string::npos || line.rfind(u"registration of type library", 0) == 0) {
            unregistered = true;
        }
    }
    auto under = [](const std::set<std::u16string>& set, std::u16string path) {
        while (true) {
            if (set.count(path)) return true;
            const std::size_t cut = path.rfind(u'\\');
            if (cut == std::u16string::npos) return false;
            path.resize(cut);
        }
    };
    const std::u16string shared = FoldAscii(u"HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs\\[");
    for (const sim::Change& change : sim::Diff(before, after)) {
        const std::u16string path = FoldAscii(change.path);
        bool told = false;
        switch (change.what) {
            case sim::Change::What::kFile:
                told = change.kind == sim::Change::Kind::kRemoved ? files.count(path) > 0 : true;
                break;
            case sim::Change::What::kFolder:
                told = change.kind != sim::Change::Kind::kRemoved || folders.count(path) > 0;
                break;
            case sim::Change::What::kKey:
                told = change.kind == sim::Change::Kind::kAdded || under(keys, path) || under(types, path) || unregistered;
                break;
            case sim::Change::What::kValue: {
                const std::u16string key = path.substr(0, path.rfind(u"\\["));
                const std::u16string name = path.substr(key.size() + 2, path.size() - key.size() - 3);
                told = change.kind == sim::Change::Kind::kAdded || values.count(key + u"\x01" + name) || under(keys, key) ||
                       under(types, key) || (path.rfind(shared, 0) == 0 && counts.count(name)) || unregistered;
                break;
            }
            case sim::Change::What::kPendingDeletion:
                told = true;
                break;
        }
        if (!told) fail(u"not in the record: " + change.path);
    }
    return problems;
}

const std::u16string kRecord = u"C:\\Users\\Tester\\Documents\\Kelvane removal.txt";

// Whole runs of the full installation, each with another kind of outcome: the record is
// held against the machine before and after.
TEST(Record, TellsWhatEachRunDidAndNothingElse) {
    struct Case {
        const char* name;
        std::u16string arguments;
        std::function<void(Machine&)> prepare;
        std::vector<std::string> lines;  // lines the record must hold
    };
    const std::vector<Case> cases = {
        {"answered Yes, the copy does the work", u"", nullptr,
         {"line 40: key HKEY_AUTO\\Software\\Kelvane\\App: deleted", "line 51: passed over: unknown root",
          "line 52: key HKEY_LOCAL_MACHINE\\Software\\Kelvane\\Missing: not found",
          "line 34: file C:\\Windows\\System32\\kelvane_helper.dll: shared count 2 lowered to 1",
          "summary: ", "exit code 0 (with /wait: 0)"}},
        {"silent and waited for, one file in use", u"/silent /wait",
         [](Machine& m) { m.HoldOpen(u"C:\\Program Files\\Kelvane\\bin\\tool.exe"); },
         {"file C:\\Program Files\\Kelvane\\bin\\tool.exe: scheduled for deletion at restart", "exit code 3010"}},
        {"the pre-uninstall command says no", u"/silent /wait",
         [](Machine& m) { m.InstallProgram(sim::kelvane::kPreUninstall, {.exit_code = 0}); },
         {"exit code 1602"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::KelvaneRun run(sim::KelvaneLog().Bytes());
        if (c.prepare) c.prepare(run.machine);
        const sim::Snapshot before = run.machine.TakeSnapshot();
        run.Start(c.arguments + u" \"/log=" + kRecord + u"\"");
        const std::string record = run.machine.FileContents(kRecord).value_or("");
        EXPECT_EQ(record.rfind("\xEF\xBB\xBF" "Dismora " DISMORA_VERSION ", 2026-12-09 10:00:00, command line: ", 0), 0U) << record;
        for (const std::string& line : c.lines) EXPECT_NE(record.find(line), std::string::npos) << line << "\n" << record;
        // The summary counts what the log listed, by outcome: the lines of listed entries
        // that were not found or failed, not the run's own housekeeping nor a program.
        std::size_t not_found = 0;
        std::size_t failed = 0;
        for (std::size_t at = record.find("\nline "); at != std::string::npos; at = record.find("\nline ", at + 1)) {
            const std::string line = record.substr(at + 1, record.find("\r\n", at) - at - 1);
            if (line.ends_with(": not found")) ++not_found;
            if (line.find(": error ") != std::string::npos || line.find("not scheduled") != std::string::npos) ++failed;
        }
        const std::string summary = record.substr(std::min(record.find("\nsummary"), record.size()));
        EXPECT_EQ(summary.find(" not found") != std::string::npos, not_found > 0) << summary;
        if (not_found > 0) EXPECT_NE(summary.find(std::to_string(not_found) + " not found"), std::string::npos) << record;
        EXPECT_EQ(summary.find(" failed") != std::string::npos, failed > 0) << record;
        EXPECT_EQ(RecordProblems(before, run.machine.TakeSnapshot(), record), "") << record;
    }
}


// A record that cannot be opened, or may not be, changes nothing else; a run cut short
// leaves the record of what it did up to its last write.
TEST(Record, NeverChangesTheRunAndOutlivesARunCutShort) {
    const std::string log = sim::KelvaneLog().Bytes();
    const std::u16string links = u"C:\\Users\\Tester\\Links";
    struct Case {
        const char* name;
        std::u16string record;
        std::function<void(Machine&)> prepare;
    };
    const std::vector<Case> cases = {
        {"its folder is missing", u"C:\\No Such Folder\\r.txt", nullptr},
        {"a junction stands at its path", links + u"\\r.txt",
         [&](Machine& m) {
             m.CreateFolder(links);
             m.CreateJunction(links + u"\\r.txt", u"C:\\Windows");
         }},
        {"a folder stands at its path", links, [&](Machine& m) { m.CreateFolder(links); }},
        {"a read-only file stands there", links + u"\\r.txt",
         [&](Machine& m) { m.WriteFile(links + u"\\r.txt", "kept", win::FILE_ATTRIBUTE_READONLY); }},
        // The uninstall reads the one and writes the other: neither is ever the record.
        {"it is the log", sim::kelvane::kLog, nullptr},
        {"it is the log, spelt otherwise", u"c:\\program files\\kelvane\\.\\KELVANE.LOG", nullptr},
        {"it is the journal's place", sim::kelvane::kLog + u".journal", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::KelvaneRun plain(log);
        sim::KelvaneRun recorded(log);
        for (sim::KelvaneRun* run : {&plain, &recorded}) {
            if (c.prepare) c.prepare(run->machine);
        }
        plain.Start(u"/silent /wait");
        recorded.Start(u"/silent /wait \"/log=" + c.record + u"\"");
        EXPECT_EQ(sim::ToString(sim::Diff(plain.machine.TakeSnapshot(), recorded.machine.TakeSnapshot())), "");
        EXPECT_EQ(plain.machine.Processes().back().exit_code, recorded.machine.Processes().back().exit_code);
    }

    // Environment variables are expanded, as a shell would have done for a deployment agent.
    sim::KelvaneRun expanded(log);
    expanded.machine.SetEnvironment(u"TEMP", sim::kelvane::kTemp);
    expanded.Start(u"/silent /wait /log=%temp%\\removal.txt");
    const std::string temp_record = expanded.machine.FileContents(sim::kelvane::kTemp + u"\\removal.txt").value_or("");
    EXPECT_NE(temp_record.find("exit code 0"), std::string::npos) << temp_record;

    // Another file put at the record's path before the copy opens it: the copy writes to no file.
    sim::KelvaneRun swapped(log);
    int opens = 0;
    swapped.machine.BeforeCall(
        [&](std::string_view function, std::u16string_view argument) {
            return function == "CreateFileW" && argument == kRecord && ++opens == 2;
        },
        [&] {
            swapped.machine.RemovePath(kRecord);
            swapped.machine.WriteFile(kRecord, "planted");
        });
    swapped.Start(u"/silent \"/log=" + kRecord + u"\"");
    EXPECT_EQ(opens, 2);
    EXPECT_EQ(swapped.machine.FileContents(kRecord), "planted");

    // Killed at its first deletion of a listed file, after the sections before it were written out.
    const std::u16string arguments = u"/silent \"/log=" + kRecord + u"\"";
    sim::KelvaneRun probe(log);
    probe.Start(arguments);
    std::uint64_t call = 1;
    for (const auto& entry : probe.machine.Trace()) {
        if (entry.function == "DeleteFileW" && entry.argument == sim::kelvane::kFolder + u"\\kelvane.exe") break;
        ++call;
    }
    ASSERT_LE(call, probe.machine.Trace().size());
    sim::KelvaneRun cut(log);
    const sim::Snapshot before = cut.machine.TakeSnapshot();
    cut.machine.KillAtCall(call);
    cut.Start(arguments);
    const std::string record = cut.machine.FileContents(kRecord).value_or("");
    EXPECT_NE(record.find("line 81: registration of type library"), std::string::npos) << record;
    EXPECT_EQ(record.find("summary"), std::string::npos) << record;
    EXPECT_EQ(RecordProblems(before, cut.machine.TakeSnapshot(), record), "") << record;
}

}  // namespace
}  // namespace dismora
