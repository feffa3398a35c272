// Registers, unregisters and inspects a type library, for the Wine suite.
//
//   tlbreg register <path>        LoadTypeLibEx(REGKIND_NONE), RegisterTypeLib with <path>
//   tlbreg unregister <path>      LoadTypeLib, GetLibAttr, UnRegisterTypeLib
//   tlbreg query <path>           the library's attributes and whether they are registered
//   tlbreg status <{guid}> <M.m>  whether HKCR\TypeLib\{guid}\M.m exists, without the file
//
// Prints "name=value" lines as UTF-8 on standard output. Exit codes: 0 done
// (query, status: registered), 1 not registered (query, status), 2 failure.
#include <windows.h>
#include <oleauto.h>

namespace {

constexpr int kDone = 0;
constexpr int kNotRegistered = 1;
constexpr int kFailed = 2;

void Print(const wchar_t* text) {
    char utf8[4096];
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr);
    if (n <= 1) return;
    DWORD written = 0;
    // n counts the NUL, which is not written.
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), utf8, static_cast<DWORD>(n - 1), &written, nullptr);
}

void PrintLine(const wchar_t* name, const wchar_t* value) {
    Print(name);
    Print(L"=");
    Print(value);
    Print(L"\r\n");
}

void PrintHex(const wchar_t* name, DWORD value) {
    wchar_t buf[16];
    wsprintfW(buf, L"0x%08lX", value);
    PrintLine(name, buf);
}

// The key name RegisterTypeLib uses for a version: major and minor in hex.
void VersionKey(wchar_t (&out)[128], const wchar_t* guid, WORD major, WORD minor) {
    wsprintfW(out, L"TypeLib\\%s\\%x.%x", guid, major, minor);
}

bool KeyExists(const wchar_t* subkey) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, subkey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

// Prints registered=yes|no and, when registered, the file that each platform
// entry of the version key names; returns whether the version key exists.
bool PrintRegistration(const wchar_t* guid, WORD major, WORD minor, LCID lcid) {
    wchar_t version[128];
    VersionKey(version, guid, major, minor);
    if (!KeyExists(version)) {
        PrintLine(L"registered", L"no");
        return false;
    }
    PrintLine(L"registered", L"yes");
    static const wchar_t* const kPlatforms[] = {L"win16", L"win32", L"win64"};
    for (const wchar_t* platform : kPlatforms) {
        wchar_t sub[160];
        wsprintfW(sub, L"%s\\%lx\\%s", version, lcid, platform);
        wchar_t file[MAX_PATH + 1];
        // Size in bytes; leave room for a NUL the stored value may lack.
        LONG size = sizeof file - sizeof(wchar_t);
        if (RegQueryValueW(HKEY_CLASSES_ROOT, sub, file, &size) != ERROR_SUCCESS) continue;
        file[size / sizeof(wchar_t)] = 0;
        wchar_t name[32];
        wsprintfW(name, L"file.%s", platform);
        PrintLine(name, file);
    }
    return true;
}

// One "interface.{iid}=yes|no" line per interface the library describes:
// RegisterTypeLib writes HKCR\Interface\{iid} for automation interfaces.
void PrintInterfaces(ITypeLib* lib) {
    UINT count = lib->GetTypeInfoCount();
    for (UINT i = 0; i < count; ++i) {
        TYPEKIND kind;
        if (lib->GetTypeInfoType(i, &kind) != S_OK) continue;
        if (kind != TKIND_INTERFACE && kind != TKIND_DISPATCH) continue;
        ITypeInfo* info = nullptr;
        if (lib->GetTypeInfo(i, &info) != S_OK) continue;
        TYPEATTR* attr = nullptr;
        if (info->GetTypeAttr(&attr) == S_OK) {
            wchar_t iid[40];
            StringFromGUID2(attr->guid, iid, 40);
            wchar_t key[64], name[64];
            wsprintfW(key, L"Interface\\%s", iid);
            wsprintfW(name, L"interface.%s", iid);
            PrintLine(name, KeyExists(key) ? L"yes" : L"no");
            info->ReleaseTypeAttr(attr);
        }
        info->Release();
    }
}

void PrintAttributes(const TLIBATTR* attr) {
    wchar_t guid[40];
    StringFromGUID2(attr->guid, guid, 40);
    PrintLine(L"guid", guid);
    wchar_t version[16];
    wsprintfW(version, L"%u.%u", attr->wMajorVerNum, attr->wMinorVerNum);
    PrintLine(L"version", version);
    PrintHex(L"lcid", attr->lcid);
    wchar_t syskind[8];
    wsprintfW(syskind, L"%d", static_cast<int>(attr->syskind));
    PrintLine(L"syskind", syskind);
}

// Loads the file; on failure prints the result and returns null.
ITypeLib* Load(const wchar_t* path, REGKIND kind) {
    ITypeLib* lib = nullptr;
    HRESULT hr = LoadTypeLibEx(path, kind, &lib);
    PrintHex(L"load", static_cast<DWORD>(hr));
    return hr == S_OK ? lib : nullptr;
}

int Describe(ITypeLib* lib) {
    TLIBATTR* attr = nullptr;
    HRESULT hr = lib->GetLibAttr(&attr);
    if (hr != S_OK) {
        PrintHex(L"libattr", static_cast<DWORD>(hr));
        return kFailed;
    }
    PrintAttributes(attr);
    wchar_t guid[40];
    StringFromGUID2(attr->guid, guid, 40);
    bool registered = PrintRegistration(guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid);
    PrintInterfaces(lib);
    lib->ReleaseTLibAttr(attr);
    return registered ? kDone : kNotRegistered;
}

// RegisterTypeLib is given the path as typed, so the registry names the file
// exactly as the caller did (LoadTypeLibEx's own registration writes the path
// it resolved, which Wine prefixes with \\?\).
int Register(const wchar_t* path) {
    ITypeLib* lib = Load(path, REGKIND_NONE);
    if (!lib) return kFailed;
    wchar_t copy[MAX_PATH + 1];
    lstrcpynW(copy, path, MAX_PATH + 1);
    HRESULT hr = RegisterTypeLib(lib, copy, nullptr);
    PrintHex(L"register", static_cast<DWORD>(hr));
    if (hr != S_OK) {
        lib->Release();
        return kFailed;
    }
    int rc = Describe(lib);
    lib->Release();
    return rc == kDone ? kDone : kFailed;
}

// The same calls, in the same order, as an uninstaller that only has the file.
int Unregister(const wchar_t* path) {
    ITypeLib* lib = nullptr;
    HRESULT hr = LoadTypeLib(path, &lib);
    PrintHex(L"load", static_cast<DWORD>(hr));
    if (hr != S_OK) return kFailed;
    TLIBATTR* attr = nullptr;
    hr = lib->GetLibAttr(&attr);
    if (hr != S_OK) {
        PrintHex(L"libattr", static_cast<DWORD>(hr));
        lib->Release();
        return kFailed;
    }
    PrintAttributes(attr);
    hr = UnRegisterTypeLib(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid, attr->syskind);
    PrintHex(L"unregister", static_cast<DWORD>(hr));
    wchar_t guid[40];
    StringFromGUID2(attr->guid, guid, 40);
    PrintRegistration(guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid);
    PrintInterfaces(lib);
    lib->ReleaseTLibAttr(attr);
    lib->Release();
    return hr == S_OK ? kDone : kFailed;
}

int Query(const wchar_t* path) {
    ITypeLib* lib = Load(path, REGKIND_NONE);
    if (!lib) return kFailed;
    int rc = Describe(lib);
    lib->Release();
    return rc;
}

// version is "M.m" in the decimal form query prints.
int Status(const wchar_t* guid, const wchar_t* version) {
    WORD part[2] = {0, 0};
    int which = 0;
    for (const wchar_t* p = version; *p; ++p) {
        if (*p == L'.' && which == 0) {
            which = 1;
        } else if (*p >= L'0' && *p <= L'9') {
            part[which] = static_cast<WORD>(part[which] * 10 + (*p - L'0'));
        } else {
            PrintLine(L"error", L"version must be major.minor");
            return kFailed;
        }
    }
    wchar_t key[128];
    VersionKey(key, guid, part[0], part[1]);
    bool registered = KeyExists(key);
    PrintLine(L"registered", registered ? L"yes" : L"no");
    return registered ? kDone : kNotRegistered;
}

int Usage() {
    PrintLine(L"error", L"usage: tlbreg register|unregister|query <path> | status <{guid}> <major.minor>");
    return kFailed;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return Usage();
    const wchar_t* verb = argv[1];
    int rc;
    if (lstrcmpiW(verb, L"register") == 0 && argc == 3) {
        rc = Register(argv[2]);
    } else if (lstrcmpiW(verb, L"unregister") == 0 && argc == 3) {
        rc = Unregister(argv[2]);
    } else if (lstrcmpiW(verb, L"query") == 0 && argc == 3) {
        rc = Query(argv[2]);
    } else if (lstrcmpiW(verb, L"status") == 0 && argc == 4) {
        rc = Status(argv[2], argv[3]);
    } else {
        rc = Usage();
    }
    return rc;
}
