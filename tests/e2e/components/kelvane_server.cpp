// A minimal in-process COM server for the Wine suite. Registering writes one
// class and its ProgID under HKEY_CLASSES_ROOT; unregistering removes exactly
// those keys and leaves a trace under HKCU\Software\DismoraTest, so a test can
// tell a server that was unregistered from one that never was registered.
// One source, several identities: KELVANE_VARIANT picks the class.
#include <windows.h>
#include <olectl.h>

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace {

#if KELVANE_VARIANT == 1
constexpr wchar_t kClsid[] = L"{D2982A69-15CE-4847-AFD9-372830E983B2}";
constexpr wchar_t kProgId[] = L"Kelvane.Server.1";
constexpr wchar_t kDescription[] = L"Kelvane Server";
constexpr DWORD kDefaultDelayMs = 0;
#elif KELVANE_VARIANT == 2
constexpr wchar_t kClsid[] = L"{C10C1B65-BCE5-4977-9F3E-A57D2DD325F2}";
constexpr wchar_t kProgId[] = L"Kelvane.Viewer.1";
constexpr wchar_t kDescription[] = L"Kelvane Viewer Control";
constexpr DWORD kDefaultDelayMs = 0;
#elif KELVANE_VARIANT == 3
// Stands for a server whose unregistration hangs: longer than any caller should wait.
constexpr wchar_t kClsid[] = L"{0B3F503B-97B9-4C25-B039-ACA0A7280E15}";
constexpr wchar_t kProgId[] = L"Kelvane.Slow.1";
constexpr wchar_t kDescription[] = L"Kelvane Slow Server";
constexpr DWORD kDefaultDelayMs = 20000;
#else
#error "KELVANE_VARIANT must be 1, 2 or 3"
#endif

constexpr wchar_t kTestKey[] = L"Software\\DismoraTest";
constexpr wchar_t kUnregisteredKey[] = L"Software\\DismoraTest\\Unregistered";
constexpr wchar_t kDelayKey[] = L"Software\\DismoraTest\\UnregisterDelay";
constexpr wchar_t kCallsValue[] = L"Calls";
// Entry texts are at most 1023 characters, well below this.
constexpr DWORD kCallsMaxChars = 65536;

// Built in a fixed buffer; a text that does not fit is cut, never overrun.
struct Text {
    wchar_t buf[1024];
    DWORD len = 0;
    Text() { buf[0] = 0; }
    Text& operator<<(const wchar_t* s) {
        while (*s && len + 1 < sizeof buf / sizeof buf[0]) buf[len++] = *s++;
        buf[len] = 0;
        return *this;
    }
};

// Decimal digits of value, for the call log.
struct Number {
    wchar_t buf[12];
    explicit Number(DWORD value) {
        wchar_t rev[12];
        int n = 0;
        do {
            rev[n++] = static_cast<wchar_t>(L'0' + value % 10);
            value /= 10;
        } while (value);
        for (int i = 0; i < n; ++i) buf[i] = rev[n - 1 - i];
        buf[n] = 0;
    }
};

// Servers in different processes may record at once; held for a whole
// read-modify-write of the trace values.
struct TraceLock {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, L"Local\\DismoraTestTrace");
    TraceLock() {
        if (mutex) WaitForSingleObject(mutex, 5000);
    }
    ~TraceLock() {
        if (!mutex) return;
        ReleaseMutex(mutex);
        CloseHandle(mutex);
    }
    TraceLock(const TraceLock&) = delete;
    TraceLock& operator=(const TraceLock&) = delete;
};

// False when the module path does not fit into MAX_PATH characters.
bool OwnPath(wchar_t (&path)[MAX_PATH]) {
    DWORD n = GetModuleFileNameW(reinterpret_cast<HMODULE>(&__ImageBase), path, MAX_PATH);
    return n > 0 && n < MAX_PATH;
}

// The size passed to RegSetValueExW is in bytes and counts the terminating NUL.
LONG SetString(HKEY root, const wchar_t* subkey, const wchar_t* name, const wchar_t* value) {
    HKEY key;
    LONG rc = RegCreateKeyExW(root, subkey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                        static_cast<DWORD>((lstrlenW(value) + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return rc;
}

// A key that is already gone counts as removed.
LONG RemoveKey(HKEY root, const wchar_t* subkey) {
    LONG rc = RegDeleteKeyW(root, subkey);
    return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
}

DWORD ReadDword(HKEY root, const wchar_t* subkey, const wchar_t* name, DWORD fallback) {
    HKEY key;
    if (RegOpenKeyExW(root, subkey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return fallback;
    DWORD type = 0, value = 0, size = sizeof value;
    LONG rc = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS && type == REG_DWORD && size == sizeof value ? value : fallback;
}

void WriteDword(HKEY root, const wchar_t* subkey, const wchar_t* name, DWORD value) {
    HKEY key;
    if (RegCreateKeyExW(root, subkey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(key);
}

// Appends one entry "<event>\t<module path>\t<process command line>[\t<detail>]"
// to the REG_MULTI_SZ value Calls, so a test sees every call, in order, and
// what the calling process was given. Call with the trace lock held.
void AppendCall(const wchar_t* event, const wchar_t* detail) {
    wchar_t path[MAX_PATH];
    if (!OwnPath(path)) path[0] = 0;
    Text entry;
    entry << event << L"\t" << path << L"\t" << GetCommandLineW();
    if (detail) entry << L"\t" << detail;

    HKEY key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kTestKey, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                        nullptr, &key, nullptr) == ERROR_SUCCESS) {
        static wchar_t list[kCallsMaxChars];
        DWORD type = 0, size = sizeof list - sizeof(wchar_t) * 2;
        DWORD chars = 0;
        if (RegQueryValueExW(key, kCallsValue, nullptr, &type, reinterpret_cast<BYTE*>(list), &size) ==
                ERROR_SUCCESS && type == REG_MULTI_SZ) {
            chars = size / sizeof(wchar_t);
            // Drop the NUL that ends the list, keep the one that ends the last entry.
            while (chars > 0 && list[chars - 1] == 0) --chars;
            if (chars > 0) list[chars++] = 0;
        }
        // A long-lived prefix fills the list: the oldest entries make room.
        while (chars > 0 && chars + entry.len + 2 > kCallsMaxChars) {
            DWORD first = 0;
            while (first < chars && list[first] != 0) ++first;
            ++first;
            for (DWORD i = first; i < chars; ++i) list[i - first] = list[i];
            chars -= first;
        }
        for (DWORD i = 0; i < entry.len; ++i) list[chars++] = entry.buf[i];
        list[chars++] = 0;
        list[chars++] = 0;
        RegSetValueExW(key, kCallsValue, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(list),
                       chars * sizeof(wchar_t));
        RegCloseKey(key);
    }
}

Text ClassKey(const wchar_t* sub = nullptr) {
    Text t;
    t << L"CLSID\\" << kClsid;
    if (sub) t << L"\\" << sub;
    return t;
}

Text ProgIdKey(const wchar_t* sub = nullptr) {
    Text t;
    t << kProgId;
    if (sub) t << L"\\" << sub;
    return t;
}

}  // namespace

extern "C" HRESULT __stdcall DllRegisterServer() {
    wchar_t path[MAX_PATH];
    if (!OwnPath(path)) return SELFREG_E_CLASS;
    LONG rc = SetString(HKEY_CLASSES_ROOT, ClassKey().buf, nullptr, kDescription);
    if (rc == ERROR_SUCCESS) rc = SetString(HKEY_CLASSES_ROOT, ClassKey(L"InprocServer32").buf, nullptr, path);
    if (rc == ERROR_SUCCESS)
        rc = SetString(HKEY_CLASSES_ROOT, ClassKey(L"InprocServer32").buf, L"ThreadingModel", L"Apartment");
    if (rc == ERROR_SUCCESS) rc = SetString(HKEY_CLASSES_ROOT, ClassKey(L"ProgID").buf, nullptr, kProgId);
    if (rc == ERROR_SUCCESS) rc = SetString(HKEY_CLASSES_ROOT, ProgIdKey().buf, nullptr, kDescription);
    if (rc == ERROR_SUCCESS) rc = SetString(HKEY_CLASSES_ROOT, ProgIdKey(L"CLSID").buf, nullptr, kClsid);
    TraceLock lock;
    AppendCall(rc == ERROR_SUCCESS ? L"register" : L"register-failed", nullptr);
    return rc == ERROR_SUCCESS ? S_OK : SELFREG_E_CLASS;
}

extern "C" HRESULT __stdcall DllUnregisterServer() {
    wchar_t path[MAX_PATH];
    if (!OwnPath(path)) return SELFREG_E_CLASS;

    // A per-file delay lets a test make any copy of a server hang, or a slow one quick.
    DWORD delay = ReadDword(HKEY_CURRENT_USER, kDelayKey, path, kDefaultDelayMs);
    if (delay > 0) {
        {
            TraceLock lock;
            AppendCall(L"unregister-delay", Number(delay).buf);
        }
        Sleep(delay);
    }

    // Deepest first: RegDeleteKeyW removes only keys without subkeys.
    LONG rc = RemoveKey(HKEY_CLASSES_ROOT, ClassKey(L"InprocServer32").buf);
    if (rc == ERROR_SUCCESS) rc = RemoveKey(HKEY_CLASSES_ROOT, ClassKey(L"ProgID").buf);
    if (rc == ERROR_SUCCESS) rc = RemoveKey(HKEY_CLASSES_ROOT, ClassKey().buf);
    if (rc == ERROR_SUCCESS) rc = RemoveKey(HKEY_CLASSES_ROOT, ProgIdKey(L"CLSID").buf);
    if (rc == ERROR_SUCCESS) rc = RemoveKey(HKEY_CLASSES_ROOT, ProgIdKey().buf);

    TraceLock lock;
    WriteDword(HKEY_CURRENT_USER, kUnregisteredKey, path,
               ReadDword(HKEY_CURRENT_USER, kUnregisteredKey, path, 0) + 1);
    AppendCall(rc == ERROR_SUCCESS ? L"unregister" : L"unregister-failed", nullptr);
    return rc == ERROR_SUCCESS ? S_OK : SELFREG_E_CLASS;
}

// The class is only ever registered, never created: the suite needs no instances.
extern "C" HRESULT __stdcall DllGetClassObject(REFCLSID, REFIID, void** out) {
    if (out) *out = nullptr;
    return CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" HRESULT __stdcall DllCanUnloadNow() {
    return S_OK;
}
