#include "driver/uninstall_run.h"

#include "actions/association_restore.h"
#include "actions/components.h"
#include "actions/file_removal.h"
#include "actions/registry_removal.h"
#include "platform/unique_handle.h"

namespace dismora {

namespace {

constexpr win::DWORD kPacingMs = 100;

// False when the command ran and did not report success with exit code 1.
bool RunPreUninstallCommand(Run& run) {
    Text command = Trim(run.log.ReadLine());
    if (command.empty()) return true;
    win::STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    win::PROCESS_INFORMATION process = {};
    if (!win::CreateProcessW(nullptr, command.data(), nullptr, nullptr, win::FALSE, 0, nullptr, nullptr, &startup,
                             &process)) {
        return true;  // a command that cannot be started does not stop the uninstall
    }
    UniqueProcessHandle process_handle(process.hProcess);
    UniqueProcessHandle thread_handle(process.hThread);
    win::WaitForSingleObject(process_handle.Get(), win::INFINITE);
    win::DWORD exit_code = 0;
    if (!win::GetExitCodeProcess(process_handle.Get(), &exit_code)) exit_code = 0;
    return exit_code == 1;
}

void PassOverIgnoredBlocks(LogReader& log) {
    std::int32_t records = log.ReadCount();
    if (records > 0) log.SkipLines(3 * static_cast<std::int64_t>(records));
    records = log.ReadCount();
    if (records > 0) log.SkipLines(2 * static_cast<std::int64_t>(records));
}

void ShowFinalMessage(const Run& run) {
    Text text = run.header.completion_text;
    if (run.reboot_pending) text += u"\r\r" + run.header.restart_text;
    text = SubstituteFirst(text, run.header.product_name);
    win::MessageBoxW(nullptr, text.c_str(), run.Caption().c_str(), win::MB_OK | win::MB_ICONQUESTION);
}

}  // namespace

void UninstallRun(Run& run) {
    if (run.temp_mode && run.own_path_known) ScheduleDeleteAtRestart(run.own_path);
    if (!RunPreUninstallCommand(run)) return;
    PassOverIgnoredBlocks(run.log);

    run.reboot_pending = false;
    BuildRemovalList(run.log, run.header.all_users, run.removal_list);
    run.classes_root = OpenClassesRoot(run.header.auto_root);
    RemoveRegistryEntries(run.log, run.header.auto_root, run.classes_root);
    RestoreFileAssociations(run.log, run.classes_root);
    CloseClassesRoot(run.classes_root);
    run.classes_root = nullptr;
    UnregisterComponents(run.log, run.removal_list, run.folders.system, run.looked_up);

    if (run.temp_mode) {
        // The first instance may still be ending: no file goes earlier than 100 ms after the start.
        win::DWORD elapsed = win::GetTickCount() - run.start_tick;
        if (elapsed < kPacingMs) win::Sleep(kPacingMs - elapsed);
    }
    DeleteListedFiles(run.removal_list, run.folders, run.reboot_pending);
    run.log.Close();
    DeleteFileOrSchedule(run.log_path, run.folders, run.reboot_pending);
    win::SHChangeNotify(win::SHCNE_ASSOCCHANGED, win::SHCNF_IDLIST, nullptr, nullptr);
    if (!run.silent) ShowFinalMessage(run);
}

}  // namespace dismora
