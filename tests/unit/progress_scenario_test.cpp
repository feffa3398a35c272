// The progress window of a long run, on the simulated Windows: shown only when the work
// after the pre-uninstall command takes longer than a second and the run ends with its
// final message; gone before that message; never waited for beyond a bounded moment.
#include <gtest/gtest.h>

#include "driver/main_routine.h"
#include "driver/progress_meter.h"
#include "support/invariant.h"
#include "support/log_builder.h"
#include "support/sim.h"
#include "support/scenario.h"

namespace dismora {
namespace {

using sim::Machine;
using test::LogBuilder;

const std::u16string kSlowFile = u"C:\\App\\big.bin";

enum class Trouble { kNone, kThreadHangs, kNoThread, kNoComctl32 };

struct Case {
    const char* name;
    std::u16string switches;
    win::DWORD slow_ms;  // one listed file's deletion takes this long
    win::DWORD pre_ms;   // the pre-uninstall command's run time
    Trouble trouble;
    std::size_t windows;  // frame, line, bar
};

TEST(ProgressWindow, AppearsOnlyInLongRunsThatEndWithTheFinalMessage) {
    const Case cases[] = {
        {"short run", u"/temp", 200, 0, Trouble::kNone, 0},
        {"long pre-uninstall command, short work", u"/temp", 0, 5000, Trouble::kNone, 0},
        {"long run", u"/temp", 1500, 0, Trouble::kNone, 3},
        {"long run, silent", u"/temp /silent", 1500, 0, Trouble::kNone, 0},
        {"long run, silent, /s", u"/temp /s", 1500, 0, Trouble::kNone, 0},
        {"long run, the window's thread stops answering", u"/temp", 1500, 0, Trouble::kThreadHangs, 0},
        {"long run, no thread to be had", u"/temp", 1500, 0, Trouble::kNoThread, 0},
        {"long run, no comctl32: the line alone", u"/temp", 1500, 0, Trouble::kNoComctl32, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Machine machine;
        machine.InstallDismora(kExe);
        machine.InstallProgram(u"C:\\Setup\\pre.exe", {.exit_code = 1, .run_ms = c.pre_ms});
        LogBuilder log;
        log.product = "Kelvane";
        log.pre_command = "C:\\Setup\\pre.exe";
        for (int i = 0; i < 20; ++i) {
            const std::string name = "C:\\App\\f" + std::to_string(i) + ".txt";
            machine.WriteFile(test::Utf16(name), "x");
            log.files.push_back(name);
        }
        machine.WriteFile(kSlowFile, "x");
        log.files.push_back(test::Utf8(kSlowFile));
        log.registry = {"HKLM\tSoftware\\Kelvane\t*"};
        machine.CreateKey(u"HKLM\\Software\\Kelvane");
        machine.WriteFile(kLog, log.Bytes());
        machine.BeforeCall([](std::string_view function,
                              std::u16string_view argument) { return function == "DeleteFileW" && argument == kSlowFile; },
                           [&machine, &c] { machine.Advance(c.slow_ms); });
        if (c.trouble == Trouble::kThreadHangs) machine.SetThreadsHang();
        if (c.trouble == Trouble::kNoThread) machine.FailCall("CreateThread", 1, win::ERROR_NOT_ENOUGH_MEMORY);
        if (c.trouble == Trouble::kNoComctl32) machine.FailCall("LoadLibraryW", 1, win::ERROR_MOD_NOT_FOUND);
        sim::SafetyCheck safety(machine, kLog);
        machine.RunProgram({.command_line = u"\"" + kExe + u"\" \"" + kLog + u"\" " + c.switches, .module_path = kExe});
        EXPECT_EQ(safety.Report(machine), "");
        for (const std::string& v : machine.Violations()) ADD_FAILURE() << v;
        EXPECT_FALSE(machine.Exists(kSlowFile));

        // The run ends as it does without a window: its final message, unless silent.
        const bool silent = c.switches != u"/temp";
        ASSERT_EQ(machine.MessageBoxes().size(), silent ? 0U : 1U);
        if (!silent) {
            EXPECT_EQ(machine.MessageBoxes()[0].text, u"Kelvane was removed.");
        }

        // A thread only for a long run that shows its final message.
        const bool long_run = c.slow_ms > 1000 && !silent;
        EXPECT_EQ(machine.CallCount("CreateThread"), long_run ? 1U : 0U);
        const auto& windows = machine.Windows();
        ASSERT_EQ(windows.size(), c.windows);
        for (const sim::WindowRecord& w : windows) {
            EXPECT_EQ(w.thread, 1U) << "the work's own thread makes no window";
            EXPECT_TRUE(w.destroyed);
            EXPECT_EQ(w.boxes_at_destruction, 0U) << "gone before the final message";
        }
        if (c.windows != 0) {
            EXPECT_EQ(windows[0].text, u"Dismora Kelvane");
            EXPECT_EQ(windows[0].style & win::WS_CAPTION, win::WS_CAPTION);
            EXPECT_EQ(windows[1].class_name, u"Static");
            EXPECT_EQ(windows[1].text, u"Finishing\u2026");
            EXPECT_TRUE(windows[1].font_set);
            EXPECT_EQ(machine.LiveFonts(), 0);
        }
        if (c.windows == 3) {
            EXPECT_EQ(windows[2].class_name, u"msctls_progress32");
            EXPECT_EQ(windows[2].text, u"Progress") << "its accessible name";
            EXPECT_EQ(windows[2].position, windows[2].range) << "the bar ends full";
            EXPECT_GT(windows[2].range, 0);
        }

        // The work waits for the thread once, at its end, and never long.
        int thread_waits = 0;
        for (const sim::WaitRecord& wait : machine.Waits()) {
            if (wait.thread == 0) continue;
            ++thread_waits;
            EXPECT_LE(wait.end_ms - wait.start_ms, 500U);
            EXPECT_EQ(wait.result, c.trouble == Trouble::kThreadHangs ? win::WAIT_TIMEOUT : win::WAIT_OBJECT_0);
        }
        const bool thread_made = long_run && c.trouble != Trouble::kNoThread;
        EXPECT_EQ(thread_waits, thread_made ? 1 : 0);
        ASSERT_EQ(machine.Threads().size(), thread_made ? 1U : 0U);
        if (thread_made) {
            EXPECT_EQ(machine.Threads()[0].ran, c.trouble != Trouble::kThreadHangs);
        }
    }
}

// A window thread the run gave up on may wake after the run has ended: what it reads is
// still there (the address sanitizer would stop the test at a freed byte), and it closes at
// its first tick without ever showing its window.
// A run whose one listed file takes two seconds to delete: long enough for the window.
void PrepareSlowRun(Machine& machine) {
    machine.InstallDismora(kExe);
    LogBuilder log;
    log.files = {test::Utf8(kSlowFile)};
    machine.WriteFile(kSlowFile, "x");
    machine.WriteFile(kLog, log.Bytes());
    machine.BeforeCall([](std::string_view function, std::u16string_view) { return function == "DeleteFileW"; },
                       [&machine] { machine.Advance(2000); });
}

TEST(ProgressWindow, AThreadGivenUpOnTouchesNothingFreedWhenItWakesLate) {
    Machine machine;
    PrepareSlowRun(machine);
    machine.SetThreadsHang();
    machine.SetDismoraEntry([&machine] {
        const win::DWORD code = MainRoutine();
        machine.WakeHungThreads();
        win::ExitProcess(code);
    });
    machine.RunProgram({.command_line = u"\"" + kExe + u"\" \"" + kLog + u"\" /temp", .module_path = kExe});
    ASSERT_EQ(machine.Threads().size(), 1U);
    EXPECT_TRUE(machine.Threads()[0].ran);
    ASSERT_FALSE(machine.Windows().empty());
    for (const sim::WindowRecord& w : machine.Windows()) {
        EXPECT_FALSE(w.visible);
        EXPECT_TRUE(w.destroyed);
    }
}

// The bar follows the work to its end: a server's registration moves it on and its end
// with it, the folders the files leave weigh in, and only then is it full.
TEST(ProgressWindow, TheBarEndsWithTheWork) {
    Machine machine;
    machine.WriteFile(kLog, LogBuilder{}.Bytes());
    machine.Run({.command_line = u"C:\\Tests\\host.exe"}, [&] {
        LogReader log;
        ASSERT_TRUE(log.Open(kLog));
        ProgressMeter meter;
        meter.Start(log, u"Dismora", u"");
        const auto fraction = [&meter] {
            return static_cast<double>(meter.Published()->done.load()) / meter.Published()->total.load();
        };
        meter.Entered(Stage::kRegistry, 4 + 2);  // four files in two folders
        meter.Entered(Stage::kComponents, 0);
        const double before_server = fraction();
        meter.Heard(Event::kRegsvr32);
        meter.Entered(Stage::kDeleting, 0);
        EXPECT_GT(fraction(), before_server);
        for (int i = 0; i < 4; ++i) meter.Heard(Event::kFile);
        meter.Entered(Stage::kFolders, 0);
        EXPECT_LT(fraction(), 1.0) << "the folders are still to go";
        EXPECT_EQ(meter.Published()->stage.load(), Stage::kFolders);
        meter.Heard(Event::kFolder);
        meter.Heard(Event::kFolder);
        meter.Entered(Stage::kFinishing, 0);
        EXPECT_EQ(fraction(), 1.0);
        meter.Stop();
    });
}

// comctl32 is no Known DLL: only the System folder's, by its full path, is ever asked for.
TEST(ProgressWindow, LoadsComctl32FromTheSystemFolderOnly) {
    Machine machine;
    PrepareSlowRun(machine);
    machine.RunProgram({.command_line = u"\"" + kExe + u"\" \"" + kLog + u"\" /temp", .module_path = kExe});
    std::vector<std::u16string> loads;
    for (const Machine::TraceEntry& entry : machine.Trace()) {
        if (entry.function == "LoadLibraryW") loads.push_back(entry.argument);
    }
    EXPECT_EQ(loads, std::vector<std::u16string>{u"C:\\Windows\\system32\\comctl32.dll"});
    EXPECT_EQ(machine.Windows().size(), 3U);
}

}  // namespace
}  // namespace dismora
