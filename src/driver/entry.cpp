// The process entry, built into the product only: make DLL loading safe, run the
// program, end with its exit code (0 unless the caller asked to wait for the outcome).

#include "driver/main_routine.h"
#include "platform/win_api.h"

// The process starts here, without the C runtime's start-up code: the program has no
// static constructors, no thread-local data and no use for the runtime's argument
// parsing, and leaving that code out keeps the file small.
extern "C" __attribute__((externally_visible)) void DismoraEntry() {
    // The elevated temporary copy runs from the user's temporary folder, where
    // anyone can plant a DLL: from here on, DLLs load from the System folder
    // only. SetDefaultDllDirectories is missing on Vista and on 7 without its
    // update, so it is looked up; dropping the current folder from the search
    // still helps there.
    if (win::HMODULE kernel32 = win::GetModuleHandleW(u"kernel32.dll")) {
        auto set_default_dll_directories = reinterpret_cast<win::PFN_SetDefaultDllDirectories>(
            reinterpret_cast<void*>(win::GetProcAddress(kernel32, "SetDefaultDllDirectories")));
        if (set_default_dll_directories != nullptr) set_default_dll_directories(win::LOAD_LIBRARY_SEARCH_SYSTEM32);
        // Where Windows offers it, the file functions of this process do not follow a
        // junction that a standard user made: an elevated deletion cannot be led elsewhere.
        auto set_mitigation_policy = reinterpret_cast<win::PFN_SetProcessMitigationPolicy>(
            reinterpret_cast<void*>(win::GetProcAddress(kernel32, "SetProcessMitigationPolicy")));
        win::DWORD enforce_redirection_trust = 1;
        if (set_mitigation_policy != nullptr) {
            set_mitigation_policy(win::ProcessRedirectionTrustPolicy, &enforce_redirection_trust,
                                  sizeof(enforce_redirection_trust));
        }
    }
    win::SetDllDirectoryW(u"");

    win::ExitProcess(dismora::MainRoutine());
}
