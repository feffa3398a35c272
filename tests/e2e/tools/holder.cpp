// holder: an application still running while it is uninstalled. It loads the DLL its
// command line names (quoted or not), shows a window, and runs until the window is closed
// (WM_CLOSE ends it) or it is ended:
//   holder.exe "C:\Program Files\App\bin\engine.dll"
#include <windows.h>

static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR command_line, int) {
    wchar_t* path = command_line;
    if (*path == L'"') {
        ++path;
        for (wchar_t* end = path; *end != 0; ++end) {
            if (*end == L'"') *end = 0;
        }
    }
    if (LoadLibraryW(path) == nullptr) return 1;
    WNDCLASSW window_class = {};
    window_class.lpfnWndProc = WindowProc;
    window_class.hInstance = instance;
    window_class.lpszClassName = L"DismoraTestHolder";
    if (RegisterClassW(&window_class) == 0) return 2;
    if (CreateWindowExW(0, window_class.lpszClassName, L"Holder - engine", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 240,
                        120, nullptr, nullptr, instance, nullptr) == nullptr) {
        return 3;
    }
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    return 0;
}
