// Stands in for a program someone placed where a search by name looks first (named
// regsvr32.exe there): when it runs it leaves "<its own file>.ran" beside itself, with
// its command line, and ends with code 0.
#include <windows.h>

namespace {

void LeaveTrace(const wchar_t* text) {
    wchar_t path[MAX_PATH + 8] = {};
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    lstrcatW(path, L".ran");
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, text, static_cast<DWORD>(lstrlenW(text) * sizeof(wchar_t)), &written, nullptr);
    WriteFile(file, L"\r\n", 4, &written, nullptr);
    CloseHandle(file);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    LeaveTrace(GetCommandLineW());
    return 0;
}
