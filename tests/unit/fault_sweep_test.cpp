// Every call to Windows that a whole uninstall makes fails in turn, on its own, with the
// errors Windows documents for it. Whatever fails, the program must not crash, hang,
// misuse Windows, leave handles open, stop half-way or touch what the log does not name;
// the item that met the failure is skipped as the program's rules say.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "driver/main_routine.h"
#include "support/installation.h"
#include "support/sim_state.h"

namespace dismora {
namespace {

using sim::KelvaneRun;
namespace kelvane = sim::kelvane;

// Codes the seam does not declare.
constexpr win::DWORD kErrorLockViolation = 33;
constexpr win::DWORD kErrorDiskFull = 112;
constexpr win::DWORD kErrorInvalidName = 123;
constexpr win::DWORD kErrorNotOwner = 288;
constexpr win::DWORD kErrorNoUnicodeTranslation = 1113;
constexpr auto kEOutOfMemory = static_cast<win::DWORD>(0x8007000Eu);
constexpr auto kTypeECantLoadLibrary = static_cast<win::DWORD>(0x80029C4Au);
constexpr auto kTypeERegistryAccess = static_cast<win::DWORD>(0x8002801Cu);

struct FunctionFaults {
    const char* function;
    std::vector<win::DWORD> errors;
};

// What each function can fail with, as its documentation gives it.
const FunctionFaults kFaults[] = {
    {"AllocateAndInitializeSid", {win::ERROR_NOT_ENOUGH_MEMORY}},
    {"CheckTokenMembership", {win::ERROR_ACCESS_DENIED}},
    {"CloseHandle", {win::ERROR_INVALID_HANDLE}},
    {"CompareStringOrdinal", {win::ERROR_INVALID_PARAMETER}},
    {"CompareStringW", {win::ERROR_INVALID_PARAMETER}},
    {"CopyFileW", {win::ERROR_ACCESS_DENIED, win::ERROR_SHARING_VIOLATION, kErrorDiskFull}},
    {"CreateFileW", {win::ERROR_ACCESS_DENIED, win::ERROR_FILE_NOT_FOUND, win::ERROR_SHARING_VIOLATION}},
    {"CreateMutexW", {win::ERROR_ACCESS_DENIED, win::ERROR_NOT_ENOUGH_MEMORY}},
    {"CreateProcessW", {win::ERROR_FILE_NOT_FOUND, win::ERROR_ACCESS_DENIED, win::ERROR_NOT_ENOUGH_MEMORY}},
    {"DeleteFileW", {win::ERROR_ACCESS_DENIED, win::ERROR_SHARING_VIOLATION, win::ERROR_FILE_NOT_FOUND}},
    {"FindFirstFileW", {win::ERROR_ACCESS_DENIED, win::ERROR_FILE_NOT_FOUND}},
    {"GetExitCodeProcess", {win::ERROR_ACCESS_DENIED}},
    {"GetFileAttributesW", {win::ERROR_FILE_NOT_FOUND, win::ERROR_ACCESS_DENIED}},
    {"GetFileInformationByHandle", {win::ERROR_ACCESS_DENIED, win::ERROR_INVALID_HANDLE}},
    {"GetFinalPathNameByHandleW", {win::ERROR_ACCESS_DENIED, win::ERROR_NOT_ENOUGH_MEMORY}},
    {"GetFullPathNameW", {kErrorInvalidName, win::ERROR_NOT_ENOUGH_MEMORY}},
    {"GetLongPathNameW", {win::ERROR_FILE_NOT_FOUND, win::ERROR_ACCESS_DENIED}},
    {"GetModuleFileNameW", {win::ERROR_INSUFFICIENT_BUFFER, win::ERROR_NOT_ENOUGH_MEMORY}},
    {"GetModuleHandleW", {win::ERROR_MOD_NOT_FOUND}},
    {"GetProcAddress", {win::ERROR_PROC_NOT_FOUND}},
    {"GetShortPathNameW", {win::ERROR_FILE_NOT_FOUND, win::ERROR_ACCESS_DENIED}},
    {"GetSystemDirectoryW", {win::ERROR_NOT_ENOUGH_MEMORY}},
    {"GetTempPathW", {win::ERROR_NOT_ENOUGH_MEMORY}},
    {"GetWindowsDirectoryW", {win::ERROR_NOT_ENOUGH_MEMORY}},
    {"ITypeLib_GetLibAttr", {kEOutOfMemory}},
    {"LCMapStringW", {win::ERROR_INSUFFICIENT_BUFFER, win::ERROR_INVALID_PARAMETER}},
    {"LoadTypeLib", {kTypeECantLoadLibrary, kEOutOfMemory}},
    {"MessageBoxW", {win::ERROR_NOT_ENOUGH_MEMORY}},
    {"MoveFileExW", {win::ERROR_ACCESS_DENIED, win::ERROR_FILE_NOT_FOUND}},
    {"OpenProcess", {win::ERROR_ACCESS_DENIED, win::ERROR_INVALID_PARAMETER}},
    {"MultiByteToWideChar", {kErrorNoUnicodeTranslation, win::ERROR_INSUFFICIENT_BUFFER}},
    {"ReadFile", {kErrorLockViolation, win::ERROR_NOT_ENOUGH_MEMORY}},
    {"RegCloseKey", {win::ERROR_INVALID_HANDLE}},
    {"ReleaseMutex", {kErrorNotOwner}},
    {"RegCreateKeyW", {win::ERROR_ACCESS_DENIED}},
    {"RegDeleteKeyW", {win::ERROR_ACCESS_DENIED, win::ERROR_FILE_NOT_FOUND}},
    {"RegDeleteValueW", {win::ERROR_ACCESS_DENIED, win::ERROR_FILE_NOT_FOUND}},
    {"RegEnumKeyExW", {win::ERROR_MORE_DATA, win::ERROR_ACCESS_DENIED}},
    {"RegEnumKeyW", {win::ERROR_MORE_DATA, win::ERROR_ACCESS_DENIED}},
    {"RegEnumValueW", {win::ERROR_MORE_DATA, win::ERROR_ACCESS_DENIED}},
    {"RegOpenKeyExW", {win::ERROR_ACCESS_DENIED, win::ERROR_FILE_NOT_FOUND}},
    {"RegQueryValueExW", {win::ERROR_FILE_NOT_FOUND, win::ERROR_MORE_DATA}},
    {"RegQueryInfoKeyW", {win::ERROR_ACCESS_DENIED, win::ERROR_KEY_DELETED}},
    {"RegSetValueExW", {win::ERROR_ACCESS_DENIED}},
    {"RemoveDirectoryW", {win::ERROR_DIR_NOT_EMPTY, win::ERROR_ACCESS_DENIED}},
    {"ShellExecuteExW", {win::ERROR_CANCELLED, win::ERROR_ACCESS_DENIED}},
    {"UnRegisterTypeLib", {kTypeERegistryAccess}},
    {"WaitForSingleObject", {win::ERROR_INVALID_HANDLE}},
    {"WriteFile", {kErrorDiskFull, win::ERROR_ACCESS_DENIED}},
};

// Functions that report no failure.
const std::set<std::string> kCannotFail = {"ExitProcess",     "GetTickCount",    "Sleep",   "GetLastError", "SetLastError",
                                           "GetCommandLineW", "FreeSid", "GetCurrentProcessId", "ITypeLib_ReleaseTLibAttr",
                                           "ITypeLib_Release", "SHChangeNotify"};

// The argument of the nth call of a function, as the trace recorded it.
std::u16string ArgumentOf(const sim::Machine& m, const std::string& function, std::uint64_t nth) {
    std::uint64_t seen = 0;
    for (const auto& entry : m.Trace()) {
        if (entry.function == function && ++seen == nth) return entry.argument;
    }
    return u"";
}

bool Scheduled(const sim::Machine& m, const std::u16string& path, const std::u16string& short_path) {
    for (const std::u16string& pending : m.PendingDeletions()) {
        if (sim::detail::EqualNoCase(pending, path) || sim::detail::EqualNoCase(pending, short_path)) return true;
    }
    return false;
}

TEST(FaultSweep, EveryCallFailsInTurn) {
    const std::string log = sim::KelvaneLog(4).Bytes();
    KelvaneRun reference(log);
    const sim::Snapshot initial = reference.machine.TakeSnapshot();
    std::map<std::u16string, std::u16string> short_paths;  // listed files, as scheduled at restart
    for (const auto& path : kelvane::RemovedFiles()) short_paths[path] = reference.machine.ShortPath(path);
    short_paths[kelvane::kLog] = reference.machine.ShortPath(kelvane::kLog);
    reference.Start();
    ASSERT_EQ(reference.Problems(), "");
    ASSERT_EQ(reference.machine.Notifications().size(), 1u);

    // Every function the run calls is swept, or cannot fail.
    std::set<std::string> swept;
    for (const FunctionFaults& f : kFaults) swept.insert(f.function);
    for (const auto& entry : reference.machine.Trace()) {
        EXPECT_TRUE(swept.count(entry.function) || kCannotFail.count(entry.function)) << entry.function;
    }

    std::uint64_t points = 0;
    for (const FunctionFaults& f : kFaults) {
        const std::uint64_t calls = reference.machine.CallCount(f.function);
        for (std::uint64_t nth = 1; nth <= calls; ++nth) {
            for (win::DWORD error : f.errors) {
                SCOPED_TRACE(std::string(f.function) + " call " + std::to_string(nth) + " fails with " +
                             std::to_string(error));
                KelvaneRun run(log);
                run.safety = reference.safety;
                run.machine.FailCall(f.function, nth, error);
                run.Start();
                ++points;
                const sim::Machine& m = run.machine;
                const std::string function = f.function;
                // A close that fails leaves that one handle open: the failure itself, not a leak.
                const bool closing = function == "CloseHandle" || function == "RegCloseKey";
                EXPECT_EQ(run.Problems(!closing), "");
                if (closing) {
                    EXPECT_LE(m.Leaks().size(), 1u);
                }
                for (const auto& process : m.Processes()) {
                    if (process.dismora) {
                        EXPECT_TRUE(process.end_ms.has_value()) << process.pid;
                    }
                }

                // Either the uninstall ran to its end, or it stopped before changing anything
                // but scheduling the program's own copy.
                if (m.Notifications().empty()) {
                    for (const auto& change : sim::Diff(initial, m.TakeSnapshot())) {
                        const bool own_copy = change.path.rfind(kelvane::kTemp, 0) == 0 ||
                                              change.path.find(u"PendingFileRenameOperations") != std::u16string::npos;
                        EXPECT_TRUE(own_copy) << sim::ToString({change});
                    }
                }

                // The item that met the failure is skipped as the rules say.
                const std::u16string target = ArgumentOf(m, function, nth);
                auto listed = short_paths.find(target);
                if (function == "DeleteFileW" && listed != short_paths.end()) {
                    // A listed file that cannot be deleted waits for the walk's end and is tried
                    // again once the applications that hold files were asked to close: a failure
                    // that does not last leaves nothing for the restart. The log goes after the
                    // walk, once: it is moved aside, the moved file scheduled, and the final
                    // message says so.
                    EXPECT_FALSE(m.IsFile(target)) << sim::Narrow(target);
                    const bool log = target == kelvane::kLog;
                    bool moved = false;
                    for (const std::u16string& pending : m.PendingDeletions()) {
                        const std::u16string real = m.RealPath(pending);
                        moved |= real.starts_with(u"C:\\~Dismora-aside-") &&
                                 real.ends_with(u"-" + target.substr(target.rfind(u'\\') + 1));
                    }
                    EXPECT_EQ(moved, log) << sim::Narrow(target);
                    ASSERT_FALSE(m.MessageBoxes().empty());
                    EXPECT_EQ(m.MessageBoxes().back().text.find(u"\r\rSome files are still in use.") != std::u16string::npos,
                              log)
                        << sim::Narrow(target);
                }
                if (function == "RemoveDirectoryW") {
                    EXPECT_TRUE(m.IsFolder(target)) << sim::Narrow(target);
                }
                if (function == "GetShortPathNameW") {
                    // Without its short form, a file is scheduled by its full path.
                    EXPECT_TRUE(Scheduled(m, target, target)) << sim::Narrow(target);
                }
                if (function == "RegDeleteValueW" || function == "RegDeleteKeyW" || function == "RegSetValueExW") {
                    EXPECT_EQ(m.Notifications().size(), 1u);  // the run goes on past a registry item
                }
            }
        }
    }
    EXPECT_GT(points, 300u);
    // ctest shows a test's output only when it fails: the count is also left beside the
    // test program, for the build to print.
    const std::filesystem::path summary =
        std::filesystem::read_symlink("/proc/self/exe").parent_path() / "fault-sweep-summary.txt";
    std::ofstream(summary) << "fault sweep: " << points << " failure points exercised\n";
    RecordProperty("failure_points", static_cast<int>(points));
    std::printf("fault sweep: %llu failure points exercised\n", static_cast<unsigned long long>(points));
}

// What a run leaves that a later one must not change: every file, folder, key and value,
// and the restart list as a set (each run schedules its own copy again).
struct Outcome {
    sim::Snapshot machine;
    std::set<std::u16string> pending;
};

const std::u16string kTool = u"C:\\Tools\\Dismora.exe";  // the program run again from elsewhere

// joined: a second run beside the first may leave for the restart what the first still
// held (the log, its journal, the program file the first instance runs from, with the
// application's folder around them; that file may be moved aside into a holding folder at
// the drive's root), and the first may then find no log to copy itself for.
Outcome OutcomeOf(const sim::Machine& m, bool joined) {
    Outcome out{m.TakeSnapshot(), {}};
    out.machine.pending_deletions.clear();
    out.machine.values.erase(sim::detail::Fold(
        u"HKEY_LOCAL_MACHINE\\SYSTEM\\CURRENTCONTROLSET\\CONTROL\\SESSION MANAGER\x01PendingFileRenameOperations"));
    const std::u16string copy = kelvane::kTemp + u"\\Dismora.exe";
    const std::u16string held[] = {kelvane::kLog, kelvane::kLog + u".journal", kelvane::kExe, kelvane::kFolder, copy};
    out.machine.files.erase(sim::detail::Fold(kTool));
    out.machine.files.erase(sim::detail::Fold(u"C:\\Tools"));
    const std::u16string holding = u"C:\\~DISMORA-ASIDE-";
    for (const std::u16string& path : held) {
        if (joined) out.machine.files.erase(sim::detail::Fold(path));
    }
    std::erase_if(out.machine.files, [&](const auto& entry) { return joined && entry.first.starts_with(holding); });
    // A run cut short between making its holding folder and removing it empty leaves it, when
    // it had already deleted the log: the next run that deletes files clears it.
    std::erase_if(out.machine.files, [&](const auto& entry) {
        const auto next = out.machine.files.upper_bound(entry.first + u"\\");
        return entry.second.folder && entry.first.starts_with(holding) &&
               (next == out.machine.files.end() || !next->first.starts_with(entry.first + u"\\"));
    });
    for (const std::u16string& path : m.PendingDeletions()) {
        const std::u16string folded = sim::detail::Fold(path);
        if (joined && (folded.find(u"\\KELVANE\\") != std::u16string::npos || folded.find(u"\\TEMP\\") != std::u16string::npos)) {
            continue;
        }
        if (folded.rfind(u"C:\\TOOLS\\", 0) == 0) continue;
        // Cleared by the later run already (the first instance had ended), or waiting there.
        if (joined && (folded.starts_with(u"C:\\~DISMO~") || sim::detail::Fold(m.RealPath(path)).starts_with(holding))) {
            continue;
        }
        out.pending.insert(folded);
    }
    return out;
}

std::string Differences(const Outcome& expected, const Outcome& found) {
    std::string out = sim::ToString(sim::Diff(expected.machine, found.machine));
    if (expected.pending != found.pending) out += "restart list differs\n";
    return out;
}

// Two ordinary events must not lower a shared count twice: a run cut short and then run
// again, and a second run started while the first works. For every call of a whole run:
// the run dies there and a whole run follows; or a second copy runs whole there and the
// first goes on. Either way the machine ends as one uninterrupted run leaves it.
// The later run reaches the log by another path in turn: as written, by its short name,
// through a junction. The journal and the lock are the log's whatever the spelling.
const std::u16string kLink = u"C:\\Link";
const std::u16string kSpellings[] = {kelvane::kLog, kelvane::kFolder + u"\\KELVAN~1.LOG", kLink + u"\\Kelvane.log"};

void AddSpellings(sim::Machine& m) {
    m.SetShortName(kelvane::kLog, u"KELVAN~1.LOG");
    m.CreateJunction(kLink, kelvane::kFolder);
}

TEST(InterruptedRuns, EveryCallIsAPointToDieOrToBeJoined) {
    test::LogBuilder log = sim::KelvaneLog(4);
    log.files.push_back("C:\\Program Files\\Common Files\\Kelvane Shared\\shared.dll");  // listed twice
    const std::string bytes = log.Bytes();
    const std::u16string held = kelvane::kFolder + u"\\bin\\tool.exe";  // in use: left for the restart
    KelvaneRun reference(bytes);
    reference.machine.HoldOpen(held);
    AddSpellings(reference.machine);
    reference.Start(u"/silent");
    ASSERT_EQ(reference.Problems(), "");
    EXPECT_EQ(reference.machine.GetDword(kelvane::kSharedDlls, u"C:\\Program Files\\Common Files\\Kelvane Shared\\shared.dll"),
              1u);
    const Outcome single = OutcomeOf(reference.machine, false);
    const Outcome single_but_log = OutcomeOf(reference.machine, true);
    const std::uint64_t calls = reference.machine.TotalCalls();
    std::uint64_t points = 0;
    for (std::uint64_t k = 1; k <= calls; ++k) {
        SCOPED_TRACE("call " + std::to_string(k));
        {
            KelvaneRun run(bytes);
            run.machine.HoldOpen(held);
            run.machine.InstallDismora(kTool);
            AddSpellings(run.machine);
            run.machine.KillAtCall(k);
            run.Start(u"/silent");
            run.machine.KillAtCall(0);
            // Run again from a copy of the program kept elsewhere: the first run may have deleted its file.
            // A short name goes with its file: once the log is gone, no one can name it that way.
            const std::u16string& spelling = k % 3 == 1 && !run.machine.Exists(kelvane::kLog) ? kelvane::kLog : kSpellings[k % 3];
            run.machine.RunProgram({.command_line = u"\"" + kTool + u"\" \"" + spelling + u"\" /silent",
                                    .module_path = kTool});
            EXPECT_EQ(Differences(single, OutcomeOf(run.machine, false)), "") << "dies at call " << k;
        }
        {
            KelvaneRun run(bytes);
            run.machine.HoldOpen(held);
            run.machine.InstallDismora(kTool);
            AddSpellings(run.machine);
            std::uint64_t seen = 0;
            run.machine.BeforeCall([&seen, k](std::string_view, std::u16string_view) { return ++seen == k; },
                                   [] { win::ExitProcess(MainRoutine()); },
                                   {.command_line = u"\"" + kTool + u"\" \"" + kSpellings[k % 3] + u"\" /temp /silent",
                                    .module_path = kTool});
            run.Start(u"/silent");
            EXPECT_EQ(Differences(single_but_log, OutcomeOf(run.machine, true)), "") << "joined at call " << k;
        }
        points += 2;
    }
    std::printf("interrupted runs: %llu points\n", static_cast<unsigned long long>(points));
}

// The journal tells a count lowered from one about to be: a run killed right after it
// lowered a count, with the count set back meanwhile (another product that shares the
// file was installed), does not lower it again; a journal of a log written anew at the same
// place counts for nothing; a run killed between its record and the lowering lowers once.
TEST(InterruptedRuns, TheJournalTellsALoweringFromOneAboutToBe) {
    const std::u16string shared = u"C:\\Program Files\\Common Files\\Kelvane Shared\\shared.dll";
    const std::string bytes = sim::KelvaneLog(4).Bytes();
    KelvaneRun probe(bytes);
    probe.Start(u"/silent");
    std::uint64_t lowering = 0;  // the call that lowers the shared file's count, 1-based
    std::uint64_t recorded = 0;  // the journal's record after it
    std::uint64_t call = 0;
    for (const auto& entry : probe.machine.Trace()) {
        ++call;
        if (lowering == 0 && entry.function == "RegSetValueExW" && entry.argument == shared) lowering = call;
        if (lowering != 0 && recorded == 0 && entry.function == "WriteFile") recorded = call;
    }
    ASSERT_NE(recorded, 0U);
    struct Case {
        const char* name;
        std::uint64_t kill_at;
        bool set_back;   // the count is 3 again before the second run
        bool log_anew;   // the log is written anew before the second run
        win::DWORD count;  // the count at the end (one run alone leaves 2)
    };
    const Case cases[] = {
        {"killed after the lowering was recorded, the count set back", recorded + 1, true, false, 3},
        {"the same, the log written anew", recorded + 1, true, true, 2},
        {"killed before the lowering, after its record", lowering, false, false, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KelvaneRun run(bytes);
        run.machine.InstallDismora(kTool);
        run.machine.KillAtCall(c.kill_at);
        run.Start(u"/silent");
        run.machine.KillAtCall(0);
        if (c.set_back) run.machine.SetDword(kelvane::kSharedDlls, shared, 3);
        if (c.log_anew) run.machine.WriteFile(kelvane::kLog, bytes + "; written anew\r\n");
        run.machine.RunProgram({.command_line = u"\"" + kTool + u"\" \"" + kelvane::kLog + u"\" /silent",
                                .module_path = kTool});
        EXPECT_EQ(run.machine.GetDword(kelvane::kSharedDlls, shared), c.count);
        EXPECT_FALSE(run.machine.Exists(kelvane::kLog + u".journal"));
    }
}

// A second start while a run works ends at the lock however it names the log, and the
// first instance tells it before it asks anything: nothing is done twice.
TEST(InterruptedRuns, ASecondStartThroughAnySpellingEndsAtTheLock) {
    const std::string bytes = sim::KelvaneLog(4).Bytes();
    KelvaneRun reference(bytes);
    AddSpellings(reference.machine);
    reference.Start(u"/silent");
    const Outcome single = OutcomeOf(reference.machine, false);
    for (const std::u16string& spelling : kSpellings) {
        SCOPED_TRACE(sim::Narrow(spelling));
        KelvaneRun run(bytes);
        run.machine.InstallDismora(kTool);
        AddSpellings(run.machine);
        run.machine.BeforeCall(
            [](std::string_view function, std::u16string_view argument) {
                return function == "DeleteFileW" && argument == kelvane::kFolder + u"\\kelvane.exe";
            },
            [] { win::ExitProcess(MainRoutine()); },
            {.command_line = u"\"" + kTool + u"\" \"" + spelling + u"\" /wait", .module_path = kTool});
        run.Start(u"/silent");
        EXPECT_EQ(Differences(single, OutcomeOf(run.machine, false)), "");
        ASSERT_EQ(run.machine.MessageBoxes().size(), 1U);
        EXPECT_EQ(run.machine.MessageBoxes()[0].text, u"Another uninstall of this application is under way.");
        bool second_ended = false;
        for (const sim::ProcessRecord& process : run.machine.Processes()) {
            if (process.image != kTool) continue;
            second_ended = true;
            EXPECT_EQ(process.exit_code, win::DWORD{1618});
        }
        EXPECT_TRUE(second_ended);
    }
}

}  // namespace
}  // namespace dismora
