#include "driver/relaunch.h"

#include "driver/startup.h"
#include "environment/privilege.h"
#include "platform/unique_handle.h"

namespace dismora {

namespace {

constexpr win::DWORD kTempPathChars = 256;
constexpr std::uint32_t kCopyAttempts = 9;

// The temporary folder with its trailing backslash; empty when Windows gives none that fits.
Text TemporaryFolder() {
    char16_t buffer[kTempPathChars] = {};
    win::DWORD length = win::GetTempPathW(kTempPathChars, buffer);
    if (length == 0 || length >= kTempPathChars) return Text();
    return AppendTrailingBackslash(TextFromBuffer(buffer, kTempPathChars));
}

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
// code for this process's.
// The copy normally ends this process itself, with the outcome, before it ends.
void AwaitCopy(Run& run, win::HANDLE process) {
    UniqueProcessHandle copy(process);
    run.log.Close();  // the copy deletes it
    run.exit_code = win::ERROR_INSTALL_FAILURE;
    if (copy.IsValid() && win::WaitForSingleObject(copy.Get(), win::INFINITE) == win::WAIT_OBJECT_0) {
        win::GetExitCodeProcess(copy.Get(), &run.exit_code);
    }
}

}  // namespace

UniqueFileHandle OpenForReading(const Text& path, win::DWORD share) {
    return UniqueFileHandle(win::CreateFileW(path.c_str(), win::GENERIC_READ, share, nullptr, win::OPEN_EXISTING,
                                             win::FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool SameBytes(const Text& path, win::HANDLE other) {
    UniqueFileHandle file = OpenForReading(path, kShareAll);
    win::HANDLE a = file.Get();
    win::HANDLE b = other;
    char expected[1024];
    char found[1024];
    while (true) {
        win::DWORD expected_size = 0;
        win::DWORD found_size = 0;
        if (!win::ReadFile(a, expected, sizeof(expected), &expected_size, nullptr) ||
            !win::ReadFile(b, found, sizeof(found), &found_size, nullptr) || expected_size != found_size) {
            return false;
        }
        if (expected_size == 0) return true;
        for (win::DWORD i = 0; i < expected_size; ++i) {
            if (expected[i] != found[i]) return false;
        }
    }
}

Text CopyTargetForAttempt(const Text& base, std::uint32_t attempt) {
    if (attempt <= 1) return base;
    std::size_t at = base.size() >= 4 ? base.size() - 4 : 0;
    return Concat({TextView(base).substr(0, at), DecimalText(attempt), TextView(base).substr(at)});
}

Handover Relaunch(Run& run) {
    // Without its own path the program cannot copy or start itself: it does the work here.
    if (!run.own_path_known) return Handover::kRunHere;
    Text temp = TemporaryFolder();
    Text target;
    bool copied = false;
    UniqueFileHandle held;  // the copy, from its check until it has been started
    if (!temp.empty()) {
        Text base = Concat({temp, FileNamePart(run.own_path)});
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
    Text parameters = Concat({u"\"", AbsolutePath(run.log_path), u"\" /temp"});
    if (run.silent) parameters += u" /silent";
    // The copy ends this process with the outcome, and deletes its file once it has ended.
    if (run.switches.wait) parameters += Concat({u" /wait=", DecimalText(win::GetCurrentProcessId())});
    // The copy appends to the record this process opened, and to no other file.
    if (run.events.IsOpen()) {
        parameters += Concat({u" \"/log=", AbsolutePath(run.switches.record), u"\" /logid=", DecimalText(run.events.Identity())});
    }

    const bool elevate = run.header.all_users && !IsAdministrator(run.looked_up);
    run.events.Note(elevate ? Event::kStartingElevated : Event::kStarting, 0, &target);
    run.events.Flush();
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
            run.exit_code = error == win::ERROR_CANCELLED ? win::ERROR_INSTALL_USEREXIT : win::ERROR_ELEVATION_REQUIRED;
            run.events.Note(Event::kNotStarted, 0, &run.own_path, error);
            ShowAdministratorMessage(run);
            return Handover::kEnded;
        }
        run.events.Close();
        if (run.switches.wait) AwaitCopy(run, info.hProcess);
        return Handover::kEnded;
    }

    Text command = Concat({u"\"", target, u"\" ", parameters});
    win::STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    win::PROCESS_INFORMATION process = {};
    if (!win::CreateProcessW(nullptr, command.data(), nullptr, nullptr, win::FALSE, 0, nullptr,
                             temp.empty() ? nullptr : temp.c_str(), &startup, &process)) {
        run.events.Note(Event::kNotStarted, 0, &target, win::GetLastError());
        return Handover::kRunHere;
    }
    run.events.Close();
    held.Reset();
    UniqueProcessHandle thread_handle(process.hThread);
    if (run.switches.wait) {
        AwaitCopy(run, process.hProcess);
    } else {
        UniqueProcessHandle process_handle(process.hProcess);
    }
    return Handover::kEnded;
}

}  // namespace dismora
