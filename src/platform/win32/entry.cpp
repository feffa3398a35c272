// The process entry: make DLL loading safe, run the program, end with code 0.

#include "driver/main_routine.h"

#include <windows.h>

// The process starts here, without the C runtime's start-up code: the program has no
// static constructors, no thread-local data and no use for the runtime's argument
// parsing, and leaving that code out keeps the file small.
extern "C" __attribute__((externally_visible)) void DismoraEntry() {
    // The elevated temporary copy runs from the user's temporary folder, where
    // anyone can plant a DLL: from here on, DLLs load from the System folder
    // only. SetDefaultDllDirectories is missing on Vista and on 7 without its
    // update, so it is looked up; dropping the current folder from the search
    // still helps there.
    if (HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll")) {
        using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
        auto set_default_dll_directories = reinterpret_cast<SetDefaultDllDirectoriesFn>(
            reinterpret_cast<void*>(GetProcAddress(kernel32, "SetDefaultDllDirectories")));
        if (set_default_dll_directories != nullptr) set_default_dll_directories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    SetDllDirectoryW(L"");

    dismora::MainRoutine();
    ExitProcess(0);
}
