// Stands in for a DLL someone placed beside a program (named version.dll there): when a
// process loads it, it leaves "<its own file>.ran" beside itself, one line per load:
// "static" when the loader resolved it as an import while starting the process,
// "dynamic" when something loaded it later, then that process's command line. Its
// exports are the version functions, doing nothing.
#include <windows.h>

namespace {

void LeaveTrace(HINSTANCE self, bool at_start) {
    wchar_t path[MAX_PATH + 8] = {};
    DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    lstrcatW(path, L".ran");
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    const wchar_t* how = at_start ? L"static " : L"dynamic ";
    const wchar_t* text = GetCommandLineW();
    DWORD written = 0;
    WriteFile(file, how, static_cast<DWORD>(lstrlenW(how) * sizeof(wchar_t)), &written, nullptr);
    WriteFile(file, text, static_cast<DWORD>(lstrlenW(text) * sizeof(wchar_t)), &written, nullptr);
    WriteFile(file, L"\r\n", 4, &written, nullptr);
    CloseHandle(file);
}

}  // namespace

// For DLL_PROCESS_ATTACH, reserved is not NULL for a load while the process starts.
extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) LeaveTrace(self, reserved != nullptr);
    return TRUE;
}

extern "C" DWORD WINAPI PlantedGetFileVersionInfoSizeW(LPCWSTR, LPDWORD handle) {
    if (handle) *handle = 0;
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return 0;
}

extern "C" BOOL WINAPI PlantedGetFileVersionInfoW(LPCWSTR, DWORD, DWORD, LPVOID) {
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return FALSE;
}

extern "C" BOOL WINAPI PlantedVerQueryValueW(LPCVOID, LPCWSTR, LPVOID*, PUINT) { return FALSE; }
