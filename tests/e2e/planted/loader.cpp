// The positive control: an ordinary program that imports version.dll, and with the
// argument "later" also loads it by name while running (after freeing nothing: a second
// copy under another name, "version2.dll", is what it loads then). Started from the
// folder where the planted DLLs lie, it picks them up, and they leave their traces: the
// plant works, so their absence after the uninstaller's run means something.
#include <windows.h>
#include <winver.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR command_line, int) {
    DWORD handle = 0;
    GetFileVersionInfoSizeW(L"kernel32.dll", &handle);
    if (command_line != nullptr && lstrcmpiW(command_line, L"later") == 0) LoadLibraryW(L"version2.dll");
    return 0;
}
