// The simulated Windows: processes, the relaunch chain, elevation, waits and time.
#include <gtest/gtest.h>

#include "support/sim_fixture.h"

namespace dismora::sim {
namespace {

using win::DWORD;

constexpr char16_t kExe[] = u"C:\\Apps\\Tool\\Dismora.exe";

BOOL Start(std::u16string line, win::PROCESS_INFORMATION* info, const char16_t* folder = nullptr) {
    win::STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    return win::CreateProcessW(nullptr, line.data(), nullptr, nullptr, win::FALSE, 0, nullptr, folder, &startup, info);
}

win::SHELLEXECUTEINFOW RunAs(const char16_t* file, const char16_t* parameters) {
    win::SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof info;
    info.lpVerb = u"runas";
    info.lpFile = file;
    info.lpParameters = parameters;
    info.nShow = win::SW_SHOW;
    return info;
}

using ProcessTest = SimTest;

TEST_F(ProcessTest, AStartedCopyRunsAfterItsStarterEndedAndSeesItsOwnContext) {
    machine.InstallDismora(kExe);
    std::vector<std::u16string> seen;
    machine.SetDismoraEntry([&] {
        win::WCHAR module[261] = {};
        win::GetModuleFileNameW(nullptr, module, 261);
        seen.push_back(std::u16string(win::GetCommandLineW()) + u" | " + module);
        if (std::u16string(win::GetCommandLineW()).find(u"/temp") != std::u16string::npos) return;
        // The first instance holds its log open, copies itself and starts the copy.
        win::HANDLE log = win::CreateFileW(u"C:\\Apps\\Tool\\Kelvane.log", win::GENERIC_READ, win::FILE_SHARE_READ,
                                           nullptr, win::OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(log, win::INVALID_HANDLE_VALUE);
        ASSERT_TRUE(win::CopyFileW(kExe, u"C:\\Temp\\Dismora.exe", win::FALSE));
        win::PROCESS_INFORMATION info = {};
        ASSERT_TRUE(Start(u"\"C:\\Temp\\Dismora.exe\" \"C:\\Apps\\Tool\\Kelvane.log\" /temp", &info, u"C:\\Temp\\"));
        // The copy has not run yet: it cannot until this process has ended.
        EXPECT_EQ(seen.size(), 1u);
        DWORD code = 0;
        EXPECT_TRUE(win::GetExitCodeProcess(info.hProcess, &code));
        EXPECT_EQ(code, win::STILL_ACTIVE);
    });
    machine.WriteFile(u"C:\\Apps\\Tool\\Kelvane.log", "4");
    machine.CreateFolder(u"C:\\Temp");

    RunResult run = machine.RunProgram({.command_line = u"\"C:\\Apps\\Tool\\Dismora.exe\""});

    ASSERT_EQ(run.processes.size(), 2u);
    EXPECT_EQ(run.processes[1].started_by, StartApi::kCreateProcess);
    EXPECT_EQ(run.processes[1].parent_pid, run.processes[0].pid);
    EXPECT_EQ(run.processes[1].current_folder, u"C:\\Temp\\");
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1], u"\"C:\\Temp\\Dismora.exe\" \"C:\\Apps\\Tool\\Kelvane.log\" /temp | C:\\Temp\\Dismora.exe");
    // What the first instance left open was closed when it ended, and recorded.
    ASSERT_EQ(machine.Leaks().size(), 3u);
    EXPECT_EQ(machine.Leaks()[0].kind, HandleKind::kFile);
    EXPECT_EQ(machine.Leaks()[1].kind, HandleKind::kProcess);
    EXPECT_EQ(machine.Leaks()[2].kind, HandleKind::kThread);
    EXPECT_TRUE(machine.IsDismoraImage(u"C:\\Temp\\Dismora.exe"));
}

TEST_F(ProcessTest, ARunawayRelaunchChainIsCut) {
    machine.InstallDismora(kExe);
    machine.SetMaxProcesses(3);
    machine.SetDismoraEntry([] {
        win::PROCESS_INFORMATION info = {};
        Start(u"\"C:\\Apps\\Tool\\Dismora.exe\"", &info);
        win::CloseHandle(info.hProcess);
        win::CloseHandle(info.hThread);
    });
    RunResult run = machine.RunProgram({.module_path = kExe});
    EXPECT_TRUE(run.chain_cut);
    EXPECT_EQ(run.processes.size(), 3u);
    const std::vector<std::string> violations = machine.TakeViolations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_NE(violations[0].find("relaunch chain"), std::string::npos);
}

TEST_F(ProcessTest, RunasAsksForElevationUnlessTheCallerIsAnElevatedAdministrator) {
    machine.InstallDismora(kExe);
    machine.QueueElevationAnswers({false, true});
    std::vector<std::u16string> lines;
    machine.SetDismoraEntry([&] {
        if (lines.empty()) {
            win::SHELLEXECUTEINFOW info = RunAs(kExe, u"\"C:\\Apps\\Tool\\Kelvane.log\" /temp");
            EXPECT_FALSE(win::ShellExecuteExW(&info));
            EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(win::ERROR_CANCELLED));
            EXPECT_TRUE(win::ShellExecuteExW(&info));
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(info.hInstApp), 42u);
        }
        lines.push_back(win::GetCommandLineW());
    });
    RunResult run = machine.RunProgram({.module_path = kExe, .token = {.administrator = false, .elevated = false}});

    ASSERT_EQ(run.processes.size(), 2u);
    EXPECT_EQ(machine.ElevationPrompts(), 2);
    EXPECT_TRUE(machine.ElevationAnswersConsumed());
    EXPECT_EQ(lines[1], u"\"C:\\Apps\\Tool\\Dismora.exe\" \"C:\\Apps\\Tool\\Kelvane.log\" /temp");
    // An elevated start names no folder: the new process works in the system folder.
    EXPECT_EQ(run.processes[1].current_folder, u"C:\\Windows\\system32\\");
    EXPECT_TRUE(run.processes[1].token.administrator);
    EXPECT_TRUE(run.processes[1].token.elevated);
    // A standard user's consent is an administrator's credentials: another account.
    EXPECT_NE(run.processes[1].token.user_sid, machine.UserSid());
    ASSERT_EQ(machine.Starts().size(), 2u);
    EXPECT_EQ(machine.Starts()[0].cb_size, sizeof(win::SHELLEXECUTEINFOW));
    EXPECT_EQ(machine.Starts()[0].verb, std::u16string(u"runas"));
    EXPECT_FALSE(machine.Starts()[0].succeeded);
    EXPECT_TRUE(machine.Starts()[1].elevated);
}

TEST_F(ProcessTest, AnElevatedAdministratorIsNotAskedAndAWrongRecordSizeIsRefused) {
    machine.InstallDismora(kExe);
    win::SHELLEXECUTEINFOW info = RunAs(kExe, u"");
    EXPECT_TRUE(win::ShellExecuteExW(&info));
    EXPECT_EQ(machine.ElevationPrompts(), 0);
    EXPECT_EQ(machine.Starts()[0].command_line, u"\"C:\\Apps\\Tool\\Dismora.exe\"");
    info.cbSize = 60 + 4;
    EXPECT_FALSE(win::ShellExecuteExW(&info));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(win::ERROR_ACCESS_DENIED));
}

TEST_F(ProcessTest, ProgramsAreFoundAsCreateProcessFindsThem) {
    std::vector<std::u16string> effects;
    machine.InstallProgram(u"C:\\Program Files\\Setup\\pre.exe", {.exit_code = 1, .on_start = [&](Machine&, ProgramRun& run) {
                                                                      effects.push_back(run.process.command_line);
                                                                  }});
    machine.WriteFile(u"C:\\Data\\notes.exe", "text");
    win::PROCESS_INFORMATION info = {};
    // Unquoted, with a blank in the folder name: the shortest name that exists wins.
    ASSERT_TRUE(Start(u"C:\\Program Files\\Setup\\pre /x", &info));
    EXPECT_EQ(effects, std::vector<std::u16string>{u"C:\\Program Files\\Setup\\pre /x"});
    EXPECT_EQ(machine.Starts()[0].image, u"C:\\Program Files\\Setup\\pre.exe");
    win::CloseHandle(info.hProcess);
    win::CloseHandle(info.hThread);
    // A bare name is searched for in the system folder too.
    ASSERT_TRUE(Start(u"regsvr32 /u /s \"C:\\App\\a.dll\"", &info));
    EXPECT_EQ(machine.Starts()[1].image, u"C:\\Windows\\System32\\regsvr32.exe");
    win::CloseHandle(info.hProcess);
    win::CloseHandle(info.hThread);
    EXPECT_FALSE(Start(u"C:\\Data\\notes.exe", &info));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(win::ERROR_BAD_EXE_FORMAT));
    EXPECT_FALSE(Start(u"\"C:\\Setup\\absent.exe\" /x", &info));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(win::ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(Start(u"regsvr32 /u", &info, u"C:\\NoSuchFolder"));
    EXPECT_EQ(win::GetLastError(), 267u);  // ERROR_DIRECTORY
}

TEST_F(ProcessTest, WaitsAdvanceTheClockAndAHungProgramTimesOut) {
    machine.InstallProgram(u"C:\\Tools\\slow.exe", {.exit_code = 3, .run_ms = 25000});
    machine.InstallProgram(u"C:\\Tools\\quick.exe", {.exit_code = 1, .run_ms = 40});
    machine.SetTick(0xFFFFFFF0u);
    win::PROCESS_INFORMATION slow = {};
    win::PROCESS_INFORMATION quick = {};
    ASSERT_TRUE(Start(u"C:\\Tools\\slow.exe", &slow));
    ASSERT_TRUE(Start(u"C:\\Tools\\quick.exe", &quick));

    EXPECT_EQ(win::WaitForSingleObject(slow.hProcess, 10000), win::WAIT_TIMEOUT);
    EXPECT_EQ(machine.Tick(), 0xFFFFFFF0u + 10000u);  // the 32-bit tick wraps
    DWORD code = 0;
    EXPECT_TRUE(win::GetExitCodeProcess(slow.hProcess, &code));
    EXPECT_EQ(code, win::STILL_ACTIVE);
    // The quick one ended during that wait: nothing more to wait for.
    EXPECT_EQ(win::WaitForSingleObject(quick.hProcess, win::INFINITE), win::WAIT_OBJECT_0);
    EXPECT_EQ(machine.Now(), 10000u);
    EXPECT_EQ(win::WaitForSingleObject(slow.hProcess, win::INFINITE), win::WAIT_OBJECT_0);
    EXPECT_EQ(machine.Now(), 25000u);
    EXPECT_TRUE(win::GetExitCodeProcess(slow.hProcess, &code));
    EXPECT_EQ(code, 3u);
    EXPECT_EQ(win::WaitForSingleObject(nullptr, 0), win::WAIT_FAILED);
    for (win::HANDLE h : {slow.hProcess, slow.hThread, quick.hProcess, quick.hThread}) win::CloseHandle(h);
    ASSERT_EQ(machine.Waits().size(), 4u);
    EXPECT_EQ(machine.Waits()[0].result, win::WAIT_TIMEOUT);
}

TEST_F(ProcessTest, ARunningProgramsImageAndCurrentFolderAreInUse) {
    machine.InstallProgram(u"C:\\Tools\\hang.exe", {.never_ends = true});
    machine.CreateFolder(u"C:\\Work");
    win::PROCESS_INFORMATION info = {};
    ASSERT_TRUE(Start(u"C:\\Tools\\hang.exe", &info, u"C:\\Work"));
    EXPECT_FALSE(win::DeleteFileW(u"C:\\Tools\\hang.exe"));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(win::ERROR_ACCESS_DENIED));
    EXPECT_FALSE(win::RemoveDirectoryW(u"C:\\Work"));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(win::ERROR_SHARING_VIOLATION));
    EXPECT_EQ(win::WaitForSingleObject(info.hProcess, 500), win::WAIT_TIMEOUT);
    win::CloseHandle(info.hProcess);
    win::CloseHandle(info.hThread);
}

TEST_F(ProcessTest, SleepAdvancesTheTickAndIsRecorded) {
    const DWORD start = win::GetTickCount();
    win::Sleep(70);
    EXPECT_EQ(win::GetTickCount() - start, 70u);
    EXPECT_EQ(machine.Sleeps(), std::vector<DWORD>{70});
}

TEST_F(ProcessTest, GetModuleFileNameCutsToTheBufferWithANul) {
    win::WCHAR buffer[8];
    EXPECT_EQ(win::GetModuleFileNameW(nullptr, buffer, 8), 8u);
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(win::ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::u16string(buffer), u"C:\\Test");
}

}  // namespace
}  // namespace dismora::sim
