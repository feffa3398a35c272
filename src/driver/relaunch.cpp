#include "driver/relaunch.h"

#include "driver/messages.h"
#include "environment/files.h"
#include "environment/privilege.h"
#include "platform/unique_handle.h"

namespace dismora {

namespace {

constexpr std::uint32_t kCopyAttempts = 9;

// The copy runs in another folder: a relative log path would no longer lead to the log.
Text AbsolutePath(const Text& path) {
    Text full;
    return PathFromWindows(path.c_str(), false, full) ? full : path;
}

// Opens the copy so that nobody can change, rename or delete it until it has been started,
// and makes sure it holds the program's own bytes: another process of the user may have
// replaced it since it was made. An empty handle when it does not; the loader's own open
// (reading, sharing reading) still succeeds.
UniqueFileHandle HoldCopy(const Text& own_path, const Text& copy) {
    UniqueFileHandle held = OpenForReading(copy, win::FILE_SHARE_READ);
    if (!SameBytes(own_path, held.Get())) held.Reset();
    return held;
}

// Waits for the copy (whose handle it takes), with the log closed, and takes its exit
// code for the outcome. With /wait only: the copy normally ends this process itself, with
// the outcome, before it ends.
THandover AwaitCopy(Run& run, win::HANDLE process) {
    THandover handover = {true, win::ERROR_SUCCESS};
    UniqueProcessHandle copy(process);
    if (!run.switches.wait) return handover;
    run.log.Close();  // the copy deletes it
    handover.outcome = win::ERROR_INSTALL_FAILURE;
    if (copy.IsValid() && win::WaitForSingleObject(copy.Get(), win::INFINITE) == win::WAIT_OBJECT_0) {
        win::GetExitCodeProcess(copy.Get(), &handover.outcome);
    }
    return handover;
}

// Appends a switch and its number.
void AppendSwitch(Text& parameters, const char16_t* name, std::uint32_t value) {
    parameters += name;
    parameters += DecimalText(value);
}

}  // namespace

Text CopyTargetForAttempt(const Text& base, std::uint32_t attempt) {
    if (attempt <= 1) return base;
    std::size_t at = base.size() >= 4 ? base.size() - 4 : 0;
    return Concat({TextView(base).substr(0, at), DecimalText(attempt), TextView(base).substr(at)});
}

THandover Relaunch(Run& run) {
    // Without its own path the program cannot copy or start itself: it does the work here.
    if (!run.own_path_known) return {false, 0};
    Text temp = TemporaryFolder();
    Text target;
    bool copied = false;
    UniqueFileHandle held;  // the copy, from its check until it has been started
    if (!temp.empty()) {
        Text base = temp;
        base += FileNamePart(run.own_path);
        for (std::uint32_t attempt = 1; attempt <= kCopyAttempts && !copied; ++attempt) {
            target = CopyTargetForAttempt(base, attempt);
            if (win::CopyFileW(run.own_path.c_str(), target.c_str(), win::FALSE) == win::FALSE) continue;
            held = HoldCopy(run.own_path, target);
            copied = held.IsValid();
        }
    }
    // Without a copy the program's own file is started, still with "/temp", so that the
    // started instance does the uninstall instead of trying to copy itself again.
    if (!copied) target = run.own_path;
    const bool elevate = run.header.all_users && !IsAdministrator(run.looked_up);
    // An elevated copy sees neither the drives the user mapped nor those substituted: it is
    // handed the log by the name the file system gives it (a share's path for a mapped drive).
    Text parameters = u"\"";
    parameters += AbsolutePath(elevate ? run.log_name : run.log_path);
    parameters += u"\" /temp";
    if (run.silent) parameters += u" /silent";
    if (run.switches.close_apps) AppendSwitch(parameters, u" /closeapps=", run.switches.close_apps_value);
    // With /wait the copy ends this process with the outcome, and deletes its file once it
    // has ended; without it the copy waits a while for this process to end by itself.
    AppendSwitch(parameters, run.switches.wait ? u" /wait=" : u" /first=", win::GetCurrentProcessId());
    // The copy appends to the record this process opened, and to no other file.
    if (run.events.IsOpen()) {
        parameters += u" \"/log=";
        parameters += AbsolutePath(run.switches.record);
        AppendSwitch(parameters, u"\" /logid=", run.events.Identity());
    }

    run.events.Note(elevate ? Event::kStartingElevated : Event::kStarting, 0, &target);
    if (elevate) {
        win::SHELLEXECUTEINFOW info = {};
        info.cbSize = sizeof(info);
        // The start has happened when the call returns; with /wait the copy is waited for.
        info.fMask = win::SEE_MASK_NOASYNC | (run.switches.wait ? win::SEE_MASK_NOCLOSEPROCESS : 0);
        info.hwnd = nullptr;
        info.lpVerb = u"runas";
        info.lpFile = target.c_str();
        info.lpParameters = parameters.c_str();
        info.lpDirectory = nullptr;
        info.nShow = win::SW_SHOW;
        bool started = win::ShellExecuteExW(&info) != win::FALSE;
        held.Reset();
        if (!started) {
            if (copied) win::DeleteFileW(target.c_str());
            info.lpFile = run.own_path.c_str();
            started = win::ShellExecuteExW(&info) != win::FALSE;
        }
        if (!started) {
            // Declined at the prompt, or no way to elevation at all.
            const win::DWORD error = win::GetLastError();
            run.events.Note(Event::kNotStarted, 0, &run.own_path, error);
            ShowAdministratorMessage(run);
            return {true, static_cast<win::DWORD>(error == win::ERROR_CANCELLED ? win::ERROR_INSTALL_USEREXIT
                                                                               : win::ERROR_ELEVATION_REQUIRED)};
        }
        run.events.Close();
        return AwaitCopy(run, info.hProcess);
    }

    Text command = u"\"";
    command += target;
    command += u"\" ";
    command += parameters;
    win::STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    win::PROCESS_INFORMATION process = {};
    if (!win::CreateProcessW(nullptr, command.data(), nullptr, nullptr, win::FALSE, 0, nullptr,
                             temp.empty() ? nullptr : temp.c_str(), &startup, &process)) {
        run.events.Note(Event::kNotStarted, 0, &target, win::GetLastError());
        return {false, 0};
    }
    run.events.Close();
    held.Reset();
    UniqueProcessHandle thread_handle(process.hThread);
    return AwaitCopy(run, process.hProcess);
}

}  // namespace dismora
