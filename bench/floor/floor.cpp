// The floor: removes an installation with nothing but the bare calls, one
// DeleteFileW per file, one RemoveDirectoryW per folder and one RegDeleteValueW
// per value (each key opened once). No uninstaller can do less, so its time is
// the bound the real one is measured against.
//
// It reads one UTF-8 list, a line per item, tab-separated:
//   F <TAB> file path
//   D <TAB> folder path            (deepest folders first)
//   V <TAB> HKCU|HKLM <TAB> key path <TAB> value name
// and ends with the number of calls that failed (at most 255) as its exit code.
//
//   floor.exe "C:\path\list.txt"
#include <windows.h>

namespace {

constexpr DWORD kMaxExitCode = 255;

wchar_t* NextField(wchar_t*& cursor) {
    wchar_t* start = cursor;
    while (*cursor != L'\0' && *cursor != L'\t') ++cursor;
    if (*cursor == L'\t') *cursor++ = L'\0';
    return start;
}

// The list path from the command line: the rest of it, without surrounding quotes.
wchar_t* ListPath(wchar_t* arguments) {
    while (*arguments == L' ') ++arguments;
    if (*arguments == L'"') {
        ++arguments;
        wchar_t* end = arguments;
        while (*end != L'\0' && *end != L'"') ++end;
        *end = L'\0';
    }
    return arguments;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR command_line, int) {
    HANDLE file = CreateFileW(ListPath(command_line), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return static_cast<int>(kMaxExitCode);
    DWORD size = GetFileSize(file, nullptr);
    HANDLE heap = GetProcessHeap();
    auto* bytes = static_cast<char*>(HeapAlloc(heap, 0, size + 1));
    DWORD got = 0;
    BOOL read = bytes != nullptr && ReadFile(file, bytes, size, &got, nullptr) && got == size;
    CloseHandle(file);
    if (!read) return static_cast<int>(kMaxExitCode);

    int units = MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(size), nullptr, 0);
    auto* text = static_cast<wchar_t*>(HeapAlloc(heap, 0, (static_cast<SIZE_T>(units) + 1) * sizeof(wchar_t)));
    if (text == nullptr) return static_cast<int>(kMaxExitCode);
    MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(size), text, units);
    text[units] = L'\0';

    DWORD failures = 0;
    HKEY key = nullptr;
    const wchar_t* key_root = L"";
    const wchar_t* key_path = L"";
    wchar_t* line = text;
    while (*line != L'\0') {
        wchar_t* end = line;
        while (*end != L'\0' && *end != L'\n') ++end;
        wchar_t* next = *end == L'\n' ? end + 1 : end;
        *end = L'\0';
        if (end > line && end[-1] == L'\r') end[-1] = L'\0';

        wchar_t* cursor = line;
        const wchar_t* kind = NextField(cursor);
        if (lstrcmpW(kind, L"F") == 0) {
            if (!DeleteFileW(cursor)) ++failures;
        } else if (lstrcmpW(kind, L"D") == 0) {
            if (!RemoveDirectoryW(cursor)) ++failures;
        } else if (lstrcmpW(kind, L"V") == 0) {
            const wchar_t* root = NextField(cursor);
            const wchar_t* path = NextField(cursor);
            const wchar_t* value = cursor;
            // The list groups the values of one key, so each key is opened once.
            if (key == nullptr || lstrcmpW(root, key_root) != 0 || lstrcmpW(path, key_path) != 0) {
                if (key != nullptr) RegCloseKey(key);
                key = nullptr;
                key_root = root;
                key_path = path;
                HKEY base = lstrcmpW(root, L"HKLM") == 0 ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
                if (RegOpenKeyExW(base, path, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) key = nullptr;
            }
            if (key == nullptr || RegDeleteValueW(key, value) != ERROR_SUCCESS) ++failures;
        }
        line = next;
    }
    if (key != nullptr) RegCloseKey(key);
    return static_cast<int>(failures < kMaxExitCode ? failures : kMaxExitCode);
}
