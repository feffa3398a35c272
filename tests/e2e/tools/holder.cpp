// holder: an application still running while it is uninstalled. It loads the DLL its
// command line names (quoted or not) and waits until it is ended:
//   holder.exe "C:\Program Files\App\bin\engine.dll"
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR command_line, int) {
    wchar_t* path = command_line;
    if (*path == L'"') {
        ++path;
        for (wchar_t* end = path; *end != 0; ++end) {
            if (*end == L'"') *end = 0;
        }
    }
    if (LoadLibraryW(path) == nullptr) return 1;
    Sleep(INFINITE);
    return 0;
}
