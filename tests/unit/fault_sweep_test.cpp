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
    {"CreateProcessW", {win::ERROR_FILE_NOT_FOUND, win::ERROR_ACCESS_DENIED, win::ERROR_NOT_ENOUGH_MEMORY}},
    {"DeleteFileW", {win::ERROR_ACCESS_DENIED, win::ERROR_SHARING_VIOLATION, win::ERROR_FILE_NOT_FOUND}},
    {"GetExitCodeProcess", {win::ERROR_ACCESS_DENIED}},
    {"GetFileAttributesW", {win::ERROR_FILE_NOT_FOUND, win::ERROR_ACCESS_DENIED}},
    {"GetFileInformationByHandle", {win::ERROR_ACCESS_DENIED, win::ERROR_INVALID_HANDLE}},
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
    {"MultiByteToWideChar", {kErrorNoUnicodeTranslation, win::ERROR_INSUFFICIENT_BUFFER}},
    {"ReadFile", {kErrorLockViolation, win::ERROR_NOT_ENOUGH_MEMORY}},
    {"RegCloseKey", {win::ERROR_INVALID_HANDLE}},
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
};

// Functions that report no failure.
const std::set<std::string> kCannotFail = {"ExitProcess",     "GetTickCount",    "Sleep",   "GetLastError",
                                           "GetCommandLineW", "FreeSid", "ITypeLib_ReleaseTLibAttr",
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
                    // A listed file that cannot be deleted is scheduled for restart, and the
                    // final message says so.
                    EXPECT_TRUE(m.IsFile(target)) << sim::Narrow(target);
                    EXPECT_TRUE(Scheduled(m, target, listed->second)) << sim::Narrow(target);
                    ASSERT_FALSE(m.MessageBoxes().empty());
                    EXPECT_NE(m.MessageBoxes().back().text.find(u"\r\rSome files are still in use."),
                              std::u16string::npos);
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

}  // namespace
}  // namespace dismora
