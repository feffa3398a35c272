#include "driver/uninstall_run.h"

#include <algorithm>

#include "actions/association_restore.h"
#include "actions/components.h"
#include "actions/count_journal.h"
#include "actions/file_removal.h"
#include "actions/registry_removal.h"
#include "driver/messages.h"
#include "environment/files.h"
#include "platform/unique_handle.h"

namespace dismora {

namespace {

constexpr win::DWORD kWaiterEndMs = 10000;
constexpr win::DWORD kFirstInstanceMs = 10000;
constexpr win::DWORD kImagePathChars = 261;
// How long closing applications are waited for, in seconds: by default, and at most.
constexpr std::uint32_t kCloseWaitSeconds = 10;
constexpr std::uint32_t kCloseWaitLimit = 3600;

// The process that waits for this copy, when it is a run of this very program, and its
// file: whatever the command line says, no other process is ever ended.
void OpenWaiter(Run& run) {
    run.waiter.Reset(win::OpenProcess(win::PROCESS_TERMINATE | win::SYNCHRONIZE | win::PROCESS_QUERY_LIMITED_INFORMATION,
                                      win::FALSE, run.switches.waiter));
    char16_t buffer[kImagePathChars] = {};
    win::DWORD size = kImagePathChars;
    if (run.waiter.IsValid() && win::QueryFullProcessImageNameW(run.waiter.Get(), 0, buffer, &size)) {
        run.waiter_image = TextFromBuffer(buffer, kImagePathChars);
        if (SameBytes(run.own_path, OpenForReading(run.waiter_image, kShareAll).Get())) return;
    }
    run.waiter.Reset();
}

// When the process was created; later than any other when Windows does not tell.
std::uint64_t CreatedAt(win::HANDLE process) {
    win::FILETIME times[4];
    if (!win::GetProcessTimes(process, &times[0], &times[1], &times[2], &times[3])) return ~std::uint64_t{0};
    return (std::uint64_t{times[0].dwHighDateTime} << 32) | times[0].dwLowDateTime;
}

// The instance that started this copy without /wait may still be ending, and its file is
// one the log may list: the copy gives it up to 10 s. An id that names a process younger
// than the copy was taken by another since, and is not waited for.
void AwaitFirstInstance(std::uint32_t id) {
    UniqueProcessHandle first(win::OpenProcess(win::SYNCHRONIZE | win::PROCESS_QUERY_LIMITED_INFORMATION, win::FALSE, id));
    if (first.IsValid() && CreatedAt(first.Get()) < CreatedAt(win::GetCurrentProcess())) {
        win::WaitForSingleObject(first.Get(), kFirstInstanceMs);
    }
}

// False when the command ran and did not report success with exit code 1.
bool RunPreUninstallCommand(Run& run) {
    Text command = Trim(run.log.ReadLine());
    if (command.empty()) return true;
    const auto line = static_cast<std::uint32_t>(run.log.LineNumber());
    win::STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    win::PROCESS_INFORMATION process = {};
    if (!win::CreateProcessW(nullptr, command.data(), nullptr, nullptr, win::FALSE, 0, nullptr, nullptr, &startup,
                             &process)) {
        run.events.Note(Event::kNotStarted, line, &command, win::GetLastError());
        return true;  // a command that cannot be started does not stop the uninstall
    }
    UniqueProcessHandle process_handle(process.hProcess);
    UniqueProcessHandle thread_handle(process.hThread);
    win::WaitForSingleObject(process_handle.Get(), win::INFINITE);
    win::DWORD exit_code = 0;
    if (!win::GetExitCodeProcess(process_handle.Get(), &exit_code)) exit_code = 0;
    run.events.Note(Event::kPreUninstall, line, &command, exit_code);
    return exit_code == 1;
}

void PassOverIgnoredBlocks(LogReader& log) {
    std::int32_t records = log.ReadCount();
    if (records > 0) log.SkipLines(3 * static_cast<std::int64_t>(records));
    records = log.ReadCount();
    if (records > 0) log.SkipLines(2 * static_cast<std::int64_t>(records));
}

// A run that ends with the final message shows its progress once the work takes longer
// than a second; a silent one has nobody to show it to, and pays nothing for it.
void WatchProgress(Run& run) {
#ifdef DISMORA_PROGRESS_OFF
    // The benchmarks' second build: the same run without the window, to time what it costs.
    return;
#endif
    if (run.silent) return;
    run.progress.Start(run.log, run.Caption(), run.folders.role[WellKnownFolders::kSystem] + u"comctl32.dll");
    run.events.Listen(&run.progress);
}

}  // namespace

win::DWORD UninstallRun(Run& run) {
    // First of all: a second instance of the same log changes nothing, but for the copy of
    // the program in the temporary folder, which goes at the restart like any copy.
    if (run.lock.Take(run.log_identity, run.log_name) == UninstallLock::State::kHeld) {
        if (run.temp_mode && run.own_path_known && SameFileName(FolderPart(run.own_path), TemporaryFolder())) {
            ScheduleDeleteAtRestart(run.own_path);
        }
        return TellAnotherUninstallRuns(run);
    }
    if (run.switches.waiter != 0) OpenWaiter(run);
    if (run.temp_mode && run.own_path_known) ScheduleDeleteAtRestart(run.own_path);
    if (!RunPreUninstallCommand(run)) return win::ERROR_INSTALL_USEREXIT;
    PassOverIgnoredBlocks(run.log);
    WatchProgress(run);

    // An installation for all users is removed elevated (the gate and the relaunch see to it):
    // only such a run may make a folder at a drive's root and schedule what it moves there.
    run.removal.aside = run.header.all_users ? Aside::kVolumeRoot : Aside::kTemporaryFolder;
    CountJournal journal;
    journal.Open(run.log_name, run.log.File());
    EventSink& events = run.events;
    BuildRemovalList(run.log, run.header.all_users, run.removal_list, journal, events);
    journal.Close();
    // What the deletions weigh: the listed files and the folders they will leave.
    events.Enter(Stage::kRegistry, static_cast<std::uint32_t>(run.removal_list.Size() + run.removal_list.Folders()));
    {
        // Closed when the association section ends.
        UniqueKey user_classes;
        const win::HKEY classes_root = OpenClassesRoot(run.header.auto_root, user_classes);
        RemoveRegistryEntries(run.log, run.header.auto_root, classes_root, events);
        events.Enter(Stage::kAssociations);
        RestoreFileAssociations(run.log, classes_root, events);
    }
    events.Enter(Stage::kComponents);
    UnregisterComponents(run.log, run.removal_list, run.folders.role[WellKnownFolders::kSystem], run.looked_up, events);

    // Without an id (0: no process) nothing is waited for: a copy started by hand, or with /wait,
    // where the first instance waits for this copy, which deletes its file once it has ended.
    AwaitFirstInstance(run.switches.first);
    events.Enter(Stage::kDeleting);
    ClearEarlierHoldingFolders(run.log_name, run.removal);
    // The program's own file beside the log goes last: a run that cannot finish keeps it, with
    // the log and its journal, so that starting it again finishes the work. The waiting
    // process's file is still in use: it goes once that process has ended.
    const bool waited = run.waiter.IsValid();
    Text own_file = run.waiter_image;
    if (!waited) {
        own_file = FolderPart(run.log_name);
        own_file += FileNamePart(run.own_path);
    }
    // Applications that hold files are asked to close only when someone may answer, or with
    // /closeapps; never the instance that waits for this one.
    const std::uint32_t seconds = run.switches.close_apps_value;
    const TClosing closing = {AskToCloseApplications, &run,
                              (seconds == 0 ? kCloseWaitSeconds : std::min(seconds, kCloseWaitLimit)) * 1000,
                              run.switches.waiter != 0 ? run.switches.waiter : run.switches.first};
    const bool own_listed = DeleteListedFiles(run.removal_list, run.folders, run.removal, events, own_file,
                                              !run.silent || run.switches.close_apps ? &closing : nullptr);
    events.Enter(Stage::kFinishing);
    run.log.Close();
    if (run.removal.unremoved) {
        Text command(u"\"");
        command += own_file;
        command += u"\" \"";
        command += run.log_path;
        command += u'"';
        run.finish_command = std::move(command);
        events.Note(Event::kUnfinished, 0, &run.finish_command);
    } else {
        run.waiter_listed = own_listed && waited;
        if (own_listed && !waited) DeleteFileOrSchedule(own_file, run.folders, run.removal, events);
        // The journal goes only after the log, or waits for the restart together with it: no
        // log is ever left without the journal of the counts its run lowered.
        TRemovalFlags later;
        events.Counting(false);
        // By the name the file system gives it: the folders climbed are the log's own.
        if (DeleteFileOrSchedule(run.log_name, run.folders, run.removal, events)) {
            if (journal.IsOwn()) DeleteFileOrSchedule(journal.Path(), run.folders, later, events);
        } else if (journal.IsOwn() && FileExists(journal.Path())) {
            if (ScheduleDeleteAtRestart(journal.Path())) events.Note(Event::kScheduled, 0, &journal.Path());
        }
    }
    CloseHoldingFolders(run.removal);
    events.Counting(true);
    win::SHChangeNotify(win::SHCNE_ASSOCCHANGED, win::SHCNF_IDLIST, nullptr, nullptr);
    // The window is gone before the final message appears.
    run.progress.Stop();
    events.Listen(nullptr);
    run.complete = true;
    return run.removal.unremoved        ? win::ERROR_INSTALL_FAILURE
           : run.removal.reboot_pending ? win::ERROR_SUCCESS_REBOOT_REQUIRED
                                        : win::ERROR_SUCCESS;
}

void EndWaiter(Run& run, win::DWORD outcome) {
    if (!run.waiter.IsValid()) return;
    // The waiting process ends with the outcome as its exit code.
    win::TerminateProcess(run.waiter.Get(), outcome);
    win::WaitForSingleObject(run.waiter.Get(), kWaiterEndMs);
    TRemovalFlags later;
    if (run.waiter_listed) DeleteFileOrSchedule(run.waiter_image, run.folders, later, run.events);
}

}  // namespace dismora
