// The hand-over to a temporary copy of the program, with or without elevation,
// followed on one simulated machine from the first instance to the end of the copy.
#include <gtest/gtest.h>

#include <functional>

#include "support/invariant.h"
#include "support/log_builder.h"
#include "support/sim.h"

namespace dismora {
namespace {

using sim::Machine;
using test::LogBuilder;

const std::u16string kExe = u"C:\\Program Files\\Tool\\Dismora.exe";
const std::u16string kLog = u"C:\\Program Files\\Tool\\Kelvane.log";
const std::u16string kTemp = u"C:\\Temp\\";

// The program beside an installed file, a temporary folder, and Yes to every question.
void Prepare(Machine& m) {
    m.InstallDismora(kExe);
    m.CreateFolder(kTemp);
    m.SetTempPath(kTemp);
    m.WriteFile(u"C:\\Program Files\\Tool\\tool.dll", "MZ");
    m.SetDefaultAnswer(win::IDYES);
}

class RelaunchTest : public ::testing::Test {
protected:
    void SetUp() override {
        Prepare(m);
        log.files = {"C:\\Program Files\\Tool\\tool.dll", sim::Narrow(kExe)};
    }

    sim::RunResult Start(const std::u16string& arguments, sim::Token token = {}) {
        m.WriteFile(kLog, log.Bytes());
        std::u16string line = u"\"" + kExe + u"\"";
        if (!arguments.empty()) line += u" " + arguments;
        sim::SafetyCheck safety(m, kLog);
        sim::RunResult result = m.RunProgram({.command_line = line, .module_path = kExe, .token = token});
        EXPECT_EQ(safety.Report(m), "");
        return result;
    }

    std::vector<sim::StartRecord> DismoraStarts() const {
        std::vector<sim::StartRecord> starts;
        for (const auto& start : m.Starts()) {
            if (m.IsDismoraImage(start.image) || start.api == sim::StartApi::kShellExecute) starts.push_back(start);
        }
        return starts;
    }

    Machine m;
    LogBuilder log;
};

TEST_F(RelaunchTest, WholeChainFromAnOrdinaryStart) {
    sim::RunResult result = Start(u"");
    ASSERT_EQ(result.processes.size(), 2u);
    const auto& copy = result.processes[1];
    EXPECT_EQ(sim::Narrow(copy.image), "C:\\Temp\\Dismora.exe");
    EXPECT_EQ(sim::Narrow(copy.command_line), "\"C:\\Temp\\Dismora.exe\" \"" + sim::Narrow(kLog) + "\" /temp /first=1000");
    EXPECT_EQ(sim::Narrow(copy.current_folder), "C:\\Temp\\");
    auto starts = DismoraStarts();
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].api, sim::StartApi::kCreateProcess);
    EXPECT_FALSE(starts[0].application_name.has_value());
    EXPECT_EQ(starts[0].startup_cb, sizeof(win::STARTUPINFOW));
    EXPECT_EQ(starts[0].inherit_handles, 0);
    EXPECT_EQ(starts[0].creation_flags, 0u);
    // Everything the log lists went, the program's own file and the log included.
    EXPECT_FALSE(m.Exists(u"C:\\Program Files\\Tool"));
    ASSERT_EQ(m.PendingDeletions().size(), 1u);
    EXPECT_EQ(sim::Narrow(m.PendingDeletions()[0]), sim::Narrow(m.ShortPath(u"C:\\Temp\\Dismora.exe")));
    // One confirmation in the first instance, one final message in the copy.
    ASSERT_EQ(m.MessageBoxes().size(), 2u);
    EXPECT_EQ(m.MessageBoxes()[0].pid, result.processes[0].pid);
    EXPECT_EQ(m.MessageBoxes()[1].pid, copy.pid);
    EXPECT_TRUE(m.Leaks().empty());
}

TEST_F(RelaunchTest, SilentFlagReachesTheCopy) {
    sim::RunResult result = Start(u"/silent");
    ASSERT_EQ(result.processes.size(), 2u);
    EXPECT_EQ(sim::Narrow(result.processes[1].command_line),
              "\"C:\\Temp\\Dismora.exe\" \"" + sim::Narrow(kLog) + "\" /temp /silent /first=1000");
    EXPECT_TRUE(m.MessageBoxes().empty());
    EXPECT_FALSE(m.Exists(kLog));
}

TEST_F(RelaunchTest, CopyNamesWhenEarlierOnesAreInUse) {
    m.WriteFile(u"C:\\Temp\\Dismora.exe", "running");
    m.WriteFile(u"C:\\Temp\\Dismora2.exe", "running");
    m.WriteFile(u"C:\\Temp\\Dismora3.exe", "stale");
    int first = m.HoldOpen(u"C:\\Temp\\Dismora.exe", win::GENERIC_READ, win::FILE_SHARE_READ);
    int second = m.HoldOpen(u"C:\\Temp\\Dismora2.exe", win::GENERIC_READ, win::FILE_SHARE_READ);
    sim::RunResult result = Start(u"/s");
    m.ReleaseHold(first);
    m.ReleaseHold(second);
    ASSERT_EQ(result.processes.size(), 2u);
    EXPECT_EQ(sim::Narrow(result.processes[1].image), "C:\\Temp\\Dismora3.exe");
    EXPECT_EQ(m.FileContents(u"C:\\Temp\\Dismora.exe"), "running");
}

TEST_F(RelaunchTest, WithoutACopyTheOwnFileIsStartedAndDoesTheWork) {
    for (bool temp_folder_fails : {false, true}) {
        SCOPED_TRACE(temp_folder_fails ? "no temporary folder" : "nine failed copies");
        Machine fresh;
        fresh.InstallDismora(kExe);
        fresh.WriteFile(u"C:\\Program Files\\Tool\\tool.dll", "MZ");
        if (temp_folder_fails) {
            fresh.SetTempPathError(win::ERROR_PATH_NOT_FOUND);
        } else {
            fresh.CreateFolder(kTemp);
            fresh.SetTempPath(kTemp);
            fresh.FailCall("CopyFileW", 1, win::ERROR_ACCESS_DENIED, 9);
        }
        LogBuilder silent_log;
        silent_log.files = {"C:\\Program Files\\Tool\\tool.dll"};
        fresh.WriteFile(kLog, silent_log.Bytes());
        sim::SafetyCheck fresh_safety(fresh, kLog);
        sim::RunResult result =
            fresh.RunProgram({.command_line = u"\"" + kExe + u"\" /silent", .module_path = kExe});
        EXPECT_EQ(fresh_safety.Report(fresh), "");
        EXPECT_EQ(fresh.CallCount("CopyFileW"), temp_folder_fails ? 0u : 9u);
        // The started instance runs in temporary-copy mode: it does not relaunch again.
        ASSERT_EQ(result.processes.size(), 2u);
        EXPECT_FALSE(result.chain_cut);
        EXPECT_EQ(sim::Narrow(result.processes[1].image), sim::Narrow(kExe));
        EXPECT_EQ(sim::Narrow(result.processes[1].command_line),
                  "\"" + sim::Narrow(kExe) + "\" \"" + sim::Narrow(kLog) + "\" /temp /silent /first=1000");
        EXPECT_FALSE(fresh.Exists(u"C:\\Program Files\\Tool\\tool.dll"));
        ASSERT_EQ(fresh.PendingDeletions().size(), 1u);
        EXPECT_EQ(sim::Narrow(fresh.PendingDeletions()[0]), sim::Narrow(fresh.ShortPath(kExe)));
    }
}

TEST_F(RelaunchTest, ElevatedOrPlainStart) {
    struct Case {
        const char* name;
        std::string scope;
        sim::Token token;
        bool uac;
        bool elevated_start;
    };
    const Case cases[] = {
        {"per-user, no administrator", "CURRENT", {.administrator = false, .elevated = false}, true, false},
        {"all users, elevated administrator", "ALL", {.administrator = true, .elevated = true}, true, false},
        {"all users, administrator without UAC", "ALL", {.administrator = true, .elevated = false}, false, false},
        {"all users, administrator not elevated", "ALL", {.administrator = true, .elevated = false}, true, true},
        {"all users, no administrator", "ALL", {.administrator = false, .elevated = false}, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Machine fresh;
        fresh.InstallDismora(kExe);
        fresh.CreateFolder(kTemp);
        fresh.SetTempPath(kTemp);
        fresh.SetUacEnabled(c.uac);
        LogBuilder scoped;
        scoped.scope = c.scope;
        fresh.WriteFile(kLog, scoped.Bytes());
        fresh.SetDefaultAnswer(win::IDYES);
        // Through a junction, as through a drive the user mapped or substituted: the copy is
        // handed the log's own path, which an elevated copy reaches too.
        fresh.CreateJunction(u"C:\\Tool Link", u"C:\\Program Files\\Tool");
        sim::SafetyCheck fresh_safety(fresh, kLog);
        fresh.RunProgram({.command_line = u"\"" + kExe + u"\" \"C:\\Tool Link\\Kelvane.log\"", .module_path = kExe,
                          .token = c.token});
        EXPECT_EQ(fresh_safety.Report(fresh), "");
        ASSERT_FALSE(fresh.Starts().empty());
        const auto& start = fresh.Starts()[0];
        if (c.elevated_start) {
            EXPECT_EQ(start.api, sim::StartApi::kShellExecute);
            EXPECT_EQ(start.cb_size, sizeof(win::SHELLEXECUTEINFOW));
            EXPECT_EQ(start.mask, win::SEE_MASK_NOASYNC);
            EXPECT_EQ(start.hwnd, nullptr);
            EXPECT_EQ(start.verb, u"runas");
            EXPECT_EQ(start.file, u"C:\\Temp\\Dismora.exe");
            EXPECT_EQ(start.parameters, u"\"" + kLog + u"\" /temp /first=1000");
            EXPECT_FALSE(start.directory.has_value());
            EXPECT_EQ(start.show, win::SW_SHOW);
        } else {
            EXPECT_EQ(start.api, sim::StartApi::kCreateProcess);
            EXPECT_EQ(start.current_folder, kTemp);
        }
        EXPECT_EQ(fresh.ElevationPrompts(), c.elevated_start ? 1 : 0);
        // A user without rights cannot delete a log under Program Files; the others did.
        EXPECT_EQ(fresh.Exists(kLog), !c.token.administrator && !c.elevated_start);
    }
}

// Between its copying and its start the copy lies in a folder the user may write to:
// another process of the user can neither write, rename nor delete it then, and a copy
// replaced before it was checked is never started (the next name is tried).
TEST_F(RelaunchTest, TheCopyCannotBeSwappedBeforeItStarts) {
    for (const bool elevated : {false, true}) {
        for (const bool swapped : {false, true}) {
            SCOPED_TRACE(std::string(elevated ? "elevated" : "plain") + (swapped ? ", swapped" : ""));
            Machine fresh;
            Prepare(fresh);
            fresh.WriteFile(kLog, log.Bytes());
            const std::u16string copy = kTemp + u"Dismora.exe";
            if (swapped) {
                // Right after the copy is made, before the program opens it to check it.
                fresh.BeforeCall([&](std::string_view f, std::u16string_view a) { return f == "CreateFileW" && a == copy; },
                                 [&] { fresh.WriteFile(copy, "MZ planted"); });
            }
            int refused = 0;
            fresh.BeforeCall(
                [&](std::string_view f, std::u16string_view) { return f == "ShellExecuteExW" || f == "CreateProcessW"; },
                [&] {
                    const std::u16string started = kTemp + (swapped ? u"Dismora2.exe" : u"Dismora.exe");
                    win::HANDLE h = win::CreateFileW(started.c_str(), win::GENERIC_WRITE, 7, nullptr,
                                                     win::OPEN_EXISTING, 0, nullptr);
                    refused += h == win::INVALID_HANDLE_VALUE && win::GetLastError() == win::ERROR_SHARING_VIOLATION;
                    if (h != win::INVALID_HANDLE_VALUE) win::CloseHandle(h);
                    refused += !win::MoveFileExW(started.c_str(), u"C:\\Temp\\other.exe", 0);
                    refused += !win::DeleteFileW(started.c_str());
                });
            sim::SafetyCheck safety(fresh, kLog);
            fresh.RunProgram({.command_line = u"\"" + kExe + u"\"", .module_path = kExe,
                              .token = {.administrator = !elevated, .elevated = !elevated}});
            EXPECT_EQ(refused, 3);
            ASSERT_FALSE(fresh.Starts().empty());
            const sim::StartRecord& start = fresh.Starts()[0];
            EXPECT_EQ(start.image, kTemp + (swapped ? u"Dismora2.exe" : u"Dismora.exe"));
            EXPECT_TRUE(start.succeeded);
            if (swapped) {
                EXPECT_EQ(fresh.FileContents(copy), "MZ planted");  // left as it was found
            }
        }
    }
}

// With /wait the process the caller started ends when the uninstall has, with its outcome
// as the exit code; the copy ends it and then deletes its file, which goes now, not at
// the restart. With /silent too no box appears, whatever goes wrong.
TEST_F(RelaunchTest, WaitedRunsEndWithTheirOutcome) {
    struct Case {
        const char* name;
        std::u16string arguments;
        std::function<void(Machine&, LogBuilder&)> set_up;
        win::DWORD exit_code;
        std::size_t boxes;
        bool removed;  // the application folder, the original program included, is gone
    };
    const sim::Token user{.administrator = false, .elevated = false};
    const Case cases[] = {
        {"removed", u"/silent /wait", [](Machine&, LogBuilder&) {}, 0, 0, true},
        {"removed, boxes", u"/WAIT", [](Machine&, LogBuilder&) {}, 0, 2, true},
        {"without /wait every end is 0", u"/silent C:\\Nowhere\\Kelvane.log", [](Machine&, LogBuilder&) {}, 0, 1, false},
        {"a file in use waits for the restart", u"/s /wait",
         [](Machine& m, LogBuilder&) { m.HoldOpen(u"C:\\Program Files\\Tool\\tool.dll"); }, 3010, 0, false},
        {"a file neither removed nor scheduled", u"/s /wait",
         [](Machine& m, LogBuilder&) {
             m.HoldOpen(u"C:\\Program Files\\Tool\\tool.dll");
             // Neither moved aside nor scheduled.
             m.FailCall("MoveFileExW", 2, win::ERROR_ACCESS_DENIED, 2);
         },
         1603, 0, false},
        {"missing log", u"/wait /silent C:\\Nowhere\\Kelvane.log", [](Machine&, LogBuilder&) {}, 1603, 0, false},
        {"missing log, boxes", u"C:\\Nowhere\\Kelvane.log /wait", [](Machine&, LogBuilder&) {}, 1603, 1, false},
        {"malformed log", u"/s /wait", [](Machine&, LogBuilder& log) { log.version = 0; }, 1603, 0, false},
        {"log too new", u"/s /wait", [](Machine&, LogBuilder& log) { log.version = 5; }, 1603, 0, false},
        {"answered No", u"/wait", [](Machine& m, LogBuilder&) { m.QueueAnswers({win::IDNO}); }, 1602, 1, false},
        {"stopped by the pre-uninstall command", u"/s /wait",
         [](Machine& m, LogBuilder& log) {
             m.InstallProgram(u"C:\\Setup\\pre.exe", {.exit_code = 0});
             log.pre_command = "C:\\Setup\\pre.exe";
         },
         1602, 0, false},
        {"elevation declined", u"/s /wait", [](Machine& m, LogBuilder&) { m.QueueElevationAnswers({false, false}); },
         1602, 0, false},
        {"/? shows the usage and does nothing else", u"/? /wait", [](Machine&, LogBuilder&) {}, 0, 1, false},
        {"a silent /? shows nothing and does nothing", u"/? /s /wait", [](Machine&, LogBuilder&) {}, 1639, 0, false},
        {"no way to administrator rights", u"/s /wait", [](Machine& m, LogBuilder&) { m.SetUacEnabled(false); }, 740,
         0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Machine fresh;
        Prepare(fresh);
        LogBuilder waited;
        waited.files = log.files;
        c.set_up(fresh, waited);
        fresh.WriteFile(kLog, waited.Bytes());
        const bool elevated = std::string(c.name).find("elevat") != std::string::npos ||
                              std::string(c.name).find("administrator") != std::string::npos;
        sim::SafetyCheck safety(fresh, kLog);
        sim::RunResult result = fresh.RunProgram({.command_line = u"\"" + kExe + u"\" " + c.arguments,
                                                  .module_path = kExe, .token = elevated ? user : sim::Token{}});
        EXPECT_EQ(safety.Report(fresh), "");
        ASSERT_FALSE(result.processes.empty());
        EXPECT_EQ(result.processes.back().exit_code, c.exit_code);  // the process the caller started
        EXPECT_EQ(fresh.MessageBoxes().size(), c.boxes);
        EXPECT_EQ(fresh.Exists(u"C:\\Program Files\\Tool"), !c.removed);
        if (c.removed) {
            EXPECT_EQ(fresh.PendingDeletions(), std::vector<std::u16string>{fresh.ShortPath(kTemp + u"Dismora.exe")});
        }
        EXPECT_TRUE(fresh.Leaks().empty());
    }
}

// Every end a run can come to, each with the message it shows: with /wait alone the
// message appears (the row reaches it); with /silent /wait too, nothing at all appears and
// the exit code is the same, but for the help a silent caller cannot read.
TEST_F(RelaunchTest, AWaitedSilentRunShowsNoBoxAtAnyEnd) {
    struct Case {
        const char* name;
        std::u16string arguments;
        std::function<void(Machine&, LogBuilder&)> set_up;
        std::size_t loud_boxes;
        win::DWORD loud_exit;
        win::DWORD silent_exit;
        bool user = false;  // started without administrator rights
    };
    const auto nothing = [](Machine&, LogBuilder&) {};
    const Case cases[] = {
        {"unknown switch", u"/bogus", nothing, 1, 1639, 1639},
        {"two paths", u"C:\\Lumen Ledger App\\Kelvane.log", nothing, 1, 1639, 1639},
        {"help", u"-?", nothing, 1, 0, 1639},
        {"missing log", u"C:\\Nowhere\\Kelvane.log", nothing, 1, 1603, 1603},
        {"log that cannot be opened", u"", [](Machine& m, LogBuilder&) { m.FailCall("CreateFileW", 1, win::ERROR_ACCESS_DENIED); },
         1, 1603, 1603},
        {"malformed log", u"", [](Machine&, LogBuilder& log) { log.version = 0; }, 1, 1603, 1603},
        {"log too new", u"", [](Machine&, LogBuilder& log) { log.version = 5; }, 1, 1603, 1603},
        {"no way to administrator rights", u"", [](Machine& m, LogBuilder&) { m.SetUacEnabled(false); }, 1, 740, 740,
         true},
        {"elevation refused twice", u"", [](Machine& m, LogBuilder&) { m.QueueElevationAnswers({false, false}); }, 2,
         1602, 1602, true},
        {"another uninstall, seen first", u"",
         [](Machine& m, LogBuilder&) { m.FailCall("CreateMutexW", 1, win::ERROR_ACCESS_DENIED); }, 1, 1618, 1618},
        {"another uninstall, seen by the copy", u"",
         [](Machine& m, LogBuilder&) { m.FailCall("CreateMutexW", 2, win::ERROR_ACCESS_DENIED); }, 2, 1618, 1618},
        {"stopped by the pre-uninstall command", u"",
         [](Machine& m, LogBuilder& log) {
             m.InstallProgram(u"C:\\Setup\\pre.exe", {.exit_code = 0});
             log.pre_command = "C:\\Setup\\pre.exe";
         },
         1, 1602, 1602},
        {"removed", u"", nothing, 2, 0, 0},
        {"removed but for the restart", u"",
         [](Machine& m, LogBuilder&) { m.HoldOpen(u"C:\\Program Files\\Tool\\tool.dll"); }, 2, 3010, 3010},
    };
    for (const Case& c : cases) {
        for (const bool silent : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (silent ? ", silent" : ""));
            Machine fresh;
            Prepare(fresh);
            LogBuilder waited;
            waited.files = log.files;
            c.set_up(fresh, waited);
            fresh.WriteFile(kLog, waited.Bytes());
            std::u16string line = u"\"" + kExe + u"\" " + c.arguments + (silent ? u" /silent /wait" : u" /wait");
            sim::RunResult result = fresh.RunProgram(
                {.command_line = line, .module_path = kExe,
                 .token = c.user ? sim::Token{.administrator = false, .elevated = false} : sim::Token{}});
            ASSERT_FALSE(result.processes.empty());
            EXPECT_EQ(result.processes.back().exit_code, silent ? c.silent_exit : c.loud_exit);
            EXPECT_EQ(fresh.MessageBoxes().size(), silent ? 0u : c.loud_boxes);
            EXPECT_TRUE(fresh.Leaks().empty());
        }
    }
}

// The hand-over: the waiting process, elevated or not, is ended with the outcome before
// its file is deleted; a waiting process killed meanwhile does not stop the copy.
TEST_F(RelaunchTest, TheCopyEndsTheWaitingProcessThenDeletesItsFile) {
    for (const bool elevated : {false, true}) {
        for (const bool killed : {false, true}) {
            SCOPED_TRACE(std::string(elevated ? "elevated" : "plain") + (killed ? ", waiter killed" : ""));
            Machine fresh;
            Prepare(fresh);
            fresh.WriteFile(kLog, log.Bytes());
            win::DWORD waiter = 0;
            if (killed) {
                // While the copy reads the log, someone ends the waiting process.
                fresh.BeforeCall([&](std::string_view f, std::u16string_view) { return f == "RegOpenKeyExW" && waiter; }, [&] {
                    win::HANDLE h = win::OpenProcess(win::PROCESS_TERMINATE, win::FALSE, waiter);
                    win::TerminateProcess(h, 1);
                    win::CloseHandle(h);
                });
            }
            fresh.BeforeCall([&](std::string_view f, std::u16string_view) {
                if (f == "ShellExecuteExW" || f == "CreateProcessW") waiter = fresh.Processes().back().pid;
                return false;
            }, [] {});
            sim::RunResult result = fresh.RunProgram(
                {.command_line = u"\"" + kExe + u"\" /s /wait", .module_path = kExe,
                 .token = {.administrator = !elevated, .elevated = !elevated}});
            ASSERT_EQ(result.processes.size(), 2u);
            const sim::ProcessRecord& copy = result.processes[0];
            const sim::ProcessRecord& first = result.processes[1];
            EXPECT_TRUE(copy.command_line.ends_with(u"\" /temp /silent /wait=" + sim::Widen(std::to_string(first.pid))));
            EXPECT_EQ(first.exit_code, killed ? 1u : 0u);
            EXPECT_EQ(copy.exit_code, 0u);
            EXPECT_FALSE(fresh.Exists(u"C:\\Program Files\\Tool"));  // the original program went too
            EXPECT_EQ(fresh.PendingDeletions().size(), 1u);  // only the copy's own file
            if (elevated) {
                EXPECT_EQ(fresh.Starts()[0].mask, win::SEE_MASK_NOASYNC | win::SEE_MASK_NOCLOSEPROCESS);
            }
            // The waiting process had ended when its file was deleted.
            std::size_t ended = 0;
            std::size_t deleted = 0;
            const auto& trace = fresh.Trace();
            for (std::size_t i = 0; i < trace.size(); ++i) {
                if (trace[i].function == "TerminateProcess" && trace[i].pid == copy.pid) ended = i;
                if (trace[i].function == "DeleteFileW" && trace[i].argument == kExe) deleted = i;
            }
            EXPECT_GT(deleted, killed ? 0u : ended);
            EXPECT_TRUE(fresh.Leaks().empty());
        }
    }
}

TEST_F(RelaunchTest, RefusedElevationTwiceShowsTheAdministratorMessage) {
    log.admin = "Administrator rights are needed for %s.";
    m.QueueElevationAnswers({false, false});
    Start(u"", {.administrator = false, .elevated = false});
    ASSERT_EQ(m.Starts().size(), 2u);
    EXPECT_EQ(m.Starts()[0].file, u"C:\\Temp\\Dismora.exe");
    EXPECT_EQ(m.Starts()[1].file, kExe);
    EXPECT_EQ(m.Starts()[1].parameters, u"\"" + kLog + u"\" /temp /first=1000");
    EXPECT_FALSE(m.Exists(u"C:\\Temp\\Dismora.exe"));
    ASSERT_EQ(m.MessageBoxes().size(), 2u);
    EXPECT_EQ(sim::Narrow(m.MessageBoxes()[1].text), "Administrator rights are needed for Tool.");
    EXPECT_EQ(m.MessageBoxes()[1].style, win::MB_OK | win::MB_ICONERROR);
    EXPECT_TRUE(m.Exists(kLog));
    EXPECT_TRUE(m.Exists(u"C:\\Program Files\\Tool\\tool.dll"));
}

TEST_F(RelaunchTest, SecondElevatedStartRunsTheOwnFileAsTheCopy) {
    m.QueueElevationAnswers({false, true});
    sim::RunResult result = Start(u"/s", {.administrator = false, .elevated = false});
    ASSERT_EQ(result.processes.size(), 2u);
    EXPECT_EQ(result.processes[1].image, kExe);
    EXPECT_TRUE(result.processes[1].token.elevated);
    EXPECT_FALSE(m.Exists(u"C:\\Program Files\\Tool\\tool.dll"));
    // Scheduled as its own file; as a listed file that is running it is moved aside, into a
    // hidden folder at the drive's root that administrators alone may change, and waits
    // there for the restart: the application's folder is gone now.
    const auto pending = m.PendingDeletions();
    ASSERT_EQ(pending.size(), 3u);
    EXPECT_EQ(sim::Narrow(pending[0]), "C:\\PROGRA~1\\Tool\\Dismora.exe");
    EXPECT_EQ(sim::Narrow(m.RealPath(pending[1])), "C:\\~Dismora-aside-1004\\1-Dismora.exe");
    EXPECT_EQ(sim::Narrow(m.RealPath(pending[2])), "C:\\~Dismora-aside-1004");
    EXPECT_EQ(m.Attributes(u"C:\\~Dismora-aside-1004"), win::FILE_ATTRIBUTE_DIRECTORY | win::FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(m.Owner(u"C:\\~Dismora-aside-1004"), u"");
    EXPECT_FALSE(m.Exists(u"C:\\Program Files\\Tool"));
}

TEST_F(RelaunchTest, FailedPlainStartRunsHereWithoutPauseOrOwnSchedule) {
    m.FailCall("CreateProcessW", 1, win::ERROR_NOT_ENOUGH_MEMORY);
    sim::RunResult result = Start(u"/s");
    ASSERT_EQ(result.processes.size(), 1u);
    EXPECT_TRUE(m.Sleeps().empty());
    EXPECT_FALSE(m.Exists(u"C:\\Program Files\\Tool\\tool.dll"));
    EXPECT_TRUE(m.Exists(u"C:\\Temp\\Dismora.exe"));
    // Its own file is running: listed, it is moved aside, then scheduled with its folder.
    ASSERT_EQ(m.PendingDeletions().size(), 2u);
    EXPECT_EQ(sim::Narrow(m.RealPath(m.PendingDeletions()[0])), "C:\\~Dismora-aside-1000\\1-Dismora.exe");
    EXPECT_FALSE(m.Exists(kExe));
}

TEST_F(RelaunchTest, RelativeLogPathIsMadeAbsoluteForTheCopy) {
    m.WriteFile(kLog, log.Bytes());
    sim::SafetyCheck m_safety(m, kLog);
    sim::RunResult result = m.RunProgram({.command_line = u"\"" + kExe + u"\" Kelvane.log /s",
                                          .module_path = kExe,
                                          .current_folder = u"C:\\Program Files\\Tool"});
    EXPECT_EQ(m_safety.Report(m), "");
    ASSERT_EQ(result.processes.size(), 2u);
    EXPECT_EQ(sim::Narrow(result.processes[1].command_line),
              "\"C:\\Temp\\Dismora.exe\" \"" + sim::Narrow(kLog) + "\" /temp /silent /first=1000");
    EXPECT_FALSE(m.Exists(kLog));
}

}  // namespace
}  // namespace dismora
