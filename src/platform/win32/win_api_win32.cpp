// The real Windows behind the seam: each win:: function hands its arguments
// to the Win32 function of the same name. The seam's char16_t, uint32_t and
// opaque handle types have the same size and representation as WCHAR, DWORD
// and the Windows handles on this target, so the casts below change nothing
// at run time. The product is linked with link-time optimisation, which folds
// each forwarder into its callers: they call the import directly.

// The seam comes first: <windows.h> defines ERROR_SUCCESS, HKEY_LOCAL_MACHINE
// and friends as macros, which would mangle the win:: declarations after it.
#include "platform/win_api.h"

// The seam's constants under names <windows.h> cannot touch, for the checks
// at the end of this file.
namespace seam {
#define WIN_CONST(type, name, value) inline constexpr auto k##name = win::name;
#include "platform/win_constants.def"
#undef WIN_CONST
}  // namespace seam

#include <windows.h>
#include <oleauto.h>
#include <shellapi.h>
#include <shlobj.h>
#include <commctrl.h>
#include <sddl.h>
#include <tlhelp32.h>
#include <restartmanager.h>

// Windows' "the requested operation requires elevation"; these headers lack it.
#ifndef ERROR_ELEVATION_REQUIRED
#define ERROR_ELEVATION_REQUIRED 740L
#endif

#include <cstddef>
#include <type_traits>

namespace {

template <typename To, typename From>
inline To As(From from) {
    return reinterpret_cast<To>(from);
}

inline LPCWSTR W(const char16_t* text) { return reinterpret_cast<LPCWSTR>(text); }
inline LPWSTR W(char16_t* text) { return reinterpret_cast<LPWSTR>(text); }
inline ::HKEY K(win::HKEY key) { return reinterpret_cast<::HKEY>(key); }
inline ::HANDLE H(win::HANDLE handle) { return reinterpret_cast<::HANDLE>(handle); }
inline LPDWORD D(win::DWORD* value) { return reinterpret_cast<LPDWORD>(value); }

}  // namespace

namespace win {

// kernel32

void ExitProcess(UINT uExitCode) { ::ExitProcess(uExitCode); }

DWORD GetTickCount() { return ::GetTickCount(); }

void GetLocalTime(SYSTEMTIME* lpSystemTime) { ::GetLocalTime(As<::SYSTEMTIME*>(lpSystemTime)); }

// What kernel32's function returns, read from the thread's environment block (its
// process id at 0x20 on 32-bit Windows): one import fewer.
DWORD GetCurrentProcessId() {
    DWORD id;
    __asm__("movl %%fs:0x20, %0" : "=r"(id));
    return id;
}

HANDLE OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId) {
    return As<HANDLE>(::OpenProcess(dwDesiredAccess, bInheritHandle, dwProcessId));
}

// What kernel32's function returns: the pseudo handle of the calling process, one import fewer.
HANDLE GetCurrentProcess() { return As<HANDLE>(std::intptr_t{-1}); }

BOOL GetProcessTimes(HANDLE hProcess, FILETIME* lpCreationTime, FILETIME* lpExitTime, FILETIME* lpKernelTime,
                     FILETIME* lpUserTime) {
    return ::GetProcessTimes(H(hProcess), As<::FILETIME*>(lpCreationTime), As<::FILETIME*>(lpExitTime),
                             As<::FILETIME*>(lpKernelTime), As<::FILETIME*>(lpUserTime));
}

BOOL TerminateProcess(HANDLE hProcess, UINT uExitCode) { return ::TerminateProcess(As<::HANDLE>(hProcess), uExitCode); }

BOOL QueryFullProcessImageNameW(HANDLE hProcess, DWORD dwFlags, WCHAR* lpExeName, DWORD* lpdwSize) {
    return ::QueryFullProcessImageNameW(As<::HANDLE>(hProcess), dwFlags, W(lpExeName), D(lpdwSize));
}

BOOL ProcessIdToSessionId(DWORD dwProcessId, DWORD* pSessionId) { return ::ProcessIdToSessionId(dwProcessId, D(pSessionId)); }

HANDLE CreateToolhelp32Snapshot(DWORD dwFlags, DWORD th32ProcessID) {
    return As<HANDLE>(::CreateToolhelp32Snapshot(dwFlags, th32ProcessID));
}

BOOL Process32FirstW(HANDLE hSnapshot, PROCESSENTRY32W* lppe) {
    return ::Process32FirstW(H(hSnapshot), As<::PROCESSENTRY32W*>(lppe));
}

BOOL Process32NextW(HANDLE hSnapshot, PROCESSENTRY32W* lppe) {
    return ::Process32NextW(H(hSnapshot), As<::PROCESSENTRY32W*>(lppe));
}

BOOL Module32FirstW(HANDLE hSnapshot, MODULEENTRY32W* lpme) {
    return ::Module32FirstW(H(hSnapshot), As<::MODULEENTRY32W*>(lpme));
}

BOOL Module32NextW(HANDLE hSnapshot, MODULEENTRY32W* lpme) {
    return ::Module32NextW(H(hSnapshot), As<::MODULEENTRY32W*>(lpme));
}

void Sleep(DWORD dwMilliseconds) { ::Sleep(dwMilliseconds); }

DWORD GetLastError() { return ::GetLastError(); }
void SetLastError(DWORD dwErrCode) { ::SetLastError(dwErrCode); }

WCHAR* GetCommandLineW() { return As<WCHAR*>(::GetCommandLineW()); }

DWORD GetModuleFileNameW(HMODULE hModule, WCHAR* lpFilename, DWORD nSize) {
    return ::GetModuleFileNameW(As<::HMODULE>(hModule), W(lpFilename), nSize);
}

HMODULE GetModuleHandleW(const WCHAR* lpModuleName) {
    return As<HMODULE>(::GetModuleHandleW(W(lpModuleName)));
}

FARPROC GetProcAddress(HMODULE hModule, const char* lpProcName) {
    return As<FARPROC>(::GetProcAddress(As<::HMODULE>(hModule), lpProcName));
}

BOOL SetDllDirectoryW(const WCHAR* lpPathName) { return ::SetDllDirectoryW(W(lpPathName)); }

HMODULE LoadLibraryW(const WCHAR* lpLibFileName) { return As<HMODULE>(::LoadLibraryW(W(lpLibFileName))); }

HANDLE CreateThread(void* lpThreadAttributes, std::size_t dwStackSize, LPTHREAD_START_ROUTINE lpStartAddress,
                    void* lpParameter, DWORD dwCreationFlags, DWORD* lpThreadId) {
    return As<HANDLE>(::CreateThread(static_cast<LPSECURITY_ATTRIBUTES>(lpThreadAttributes), dwStackSize,
                                     As<::LPTHREAD_START_ROUTINE>(lpStartAddress), lpParameter, dwCreationFlags, D(lpThreadId)));
}

DWORD GetFileAttributesW(const WCHAR* lpFileName) { return ::GetFileAttributesW(W(lpFileName)); }

BOOL SetFileAttributesW(const WCHAR* lpFileName, DWORD dwFileAttributes) {
    return ::SetFileAttributesW(W(lpFileName), dwFileAttributes);
}

HANDLE CreateFileW(const WCHAR* lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, void* lpSecurityAttributes,
                   DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    return As<HANDLE>(::CreateFileW(W(lpFileName), dwDesiredAccess, dwShareMode,
                                    static_cast<LPSECURITY_ATTRIBUTES>(lpSecurityAttributes),
                                    dwCreationDisposition, dwFlagsAndAttributes, H(hTemplateFile)));
}

BOOL ReadFile(HANDLE hFile, void* lpBuffer, DWORD nNumberOfBytesToRead, DWORD* lpNumberOfBytesRead,
              void* lpOverlapped) {
    return ::ReadFile(H(hFile), lpBuffer, nNumberOfBytesToRead, D(lpNumberOfBytesRead),
                      static_cast<LPOVERLAPPED>(lpOverlapped));
}

BOOL WriteFile(HANDLE hFile, const void* lpBuffer, DWORD nNumberOfBytesToWrite, DWORD* lpNumberOfBytesWritten,
               void* lpOverlapped) {
    return ::WriteFile(H(hFile), lpBuffer, nNumberOfBytesToWrite, D(lpNumberOfBytesWritten),
                       static_cast<LPOVERLAPPED>(lpOverlapped));
}

HANDLE CreateMutexW(void* lpMutexAttributes, BOOL bInitialOwner, const WCHAR* lpName) {
    return As<HANDLE>(::CreateMutexW(static_cast<LPSECURITY_ATTRIBUTES>(lpMutexAttributes), bInitialOwner, W(lpName)));
}

BOOL ReleaseMutex(HANDLE hMutex) { return ::ReleaseMutex(H(hMutex)); }

BOOL CloseHandle(HANDLE hObject) { return ::CloseHandle(H(hObject)); }

BOOL DeleteFileW(const WCHAR* lpFileName) { return ::DeleteFileW(W(lpFileName)); }

BOOL CreateDirectoryW(const WCHAR* lpPathName, SECURITY_ATTRIBUTES* lpSecurityAttributes) {
    return ::CreateDirectoryW(W(lpPathName), As<LPSECURITY_ATTRIBUTES>(lpSecurityAttributes));
}

HANDLE FindFirstFileW(const WCHAR* lpFileName, WIN32_FIND_DATAW* lpFindFileData) {
    return As<HANDLE>(::FindFirstFileW(W(lpFileName), As<LPWIN32_FIND_DATAW>(lpFindFileData)));
}

BOOL FindNextFileW(HANDLE hFindFile, WIN32_FIND_DATAW* lpFindFileData) {
    return ::FindNextFileW(H(hFindFile), As<LPWIN32_FIND_DATAW>(lpFindFileData));
}

BOOL FindClose(HANDLE hFindFile) { return ::FindClose(H(hFindFile)); }

void* LocalFree(void* hMem) { return ::LocalFree(hMem); }

BOOL MoveFileExW(const WCHAR* lpExistingFileName, const WCHAR* lpNewFileName, DWORD dwFlags) {
    return ::MoveFileExW(W(lpExistingFileName), W(lpNewFileName), dwFlags);
}

DWORD GetLongPathNameW(const WCHAR* lpszShortPath, WCHAR* lpszLongPath, DWORD cchBuffer) {
    return ::GetLongPathNameW(W(lpszShortPath), W(lpszLongPath), cchBuffer);
}

DWORD GetFinalPathNameByHandleW(HANDLE hFile, WCHAR* lpszFilePath, DWORD cchFilePath, DWORD dwFlags) {
    return ::GetFinalPathNameByHandleW(As<::HANDLE>(hFile), W(lpszFilePath), cchFilePath, dwFlags);
}
BOOL GetKernelObjectSecurity(HANDLE Handle, DWORD RequestedInformation, void* pSecurityDescriptor, DWORD nLength,
                             DWORD* lpnLengthNeeded) {
    return ::GetKernelObjectSecurity(As<::HANDLE>(Handle), RequestedInformation, pSecurityDescriptor, nLength,
                                     D(lpnLengthNeeded));
}
BOOL GetFileInformationByHandle(HANDLE hFile, BY_HANDLE_FILE_INFORMATION* lpFileInformation) {
    return ::GetFileInformationByHandle(As<::HANDLE>(hFile), As<::BY_HANDLE_FILE_INFORMATION*>(lpFileInformation));
}

DWORD GetShortPathNameW(const WCHAR* lpszLongPath, WCHAR* lpszShortPath, DWORD cchBuffer) {
    return ::GetShortPathNameW(W(lpszLongPath), W(lpszShortPath), cchBuffer);
}

BOOL RemoveDirectoryW(const WCHAR* lpPathName) { return ::RemoveDirectoryW(W(lpPathName)); }

BOOL CopyFileW(const WCHAR* lpExistingFileName, const WCHAR* lpNewFileName, BOOL bFailIfExists) {
    return ::CopyFileW(W(lpExistingFileName), W(lpNewFileName), bFailIfExists);
}

UINT GetWindowsDirectoryW(WCHAR* lpBuffer, UINT uSize) { return ::GetWindowsDirectoryW(W(lpBuffer), uSize); }

UINT GetSystemDirectoryW(WCHAR* lpBuffer, UINT uSize) { return ::GetSystemDirectoryW(W(lpBuffer), uSize); }

DWORD GetTempPathW(DWORD nBufferLength, WCHAR* lpBuffer) { return ::GetTempPathW(nBufferLength, W(lpBuffer)); }

BOOL GetUserNameW(WCHAR* lpBuffer, DWORD* pcbBuffer) { return ::GetUserNameW(W(lpBuffer), D(pcbBuffer)); }

DWORD ExpandEnvironmentStringsW(const WCHAR* lpSrc, WCHAR* lpDst, DWORD nSize) {
    return ::ExpandEnvironmentStringsW(W(lpSrc), W(lpDst), nSize);
}

DWORD GetFullPathNameW(const WCHAR* lpFileName, DWORD nBufferLength, WCHAR* lpBuffer, WCHAR** lpFilePart) {
    return ::GetFullPathNameW(W(lpFileName), nBufferLength, W(lpBuffer), As<LPWSTR*>(lpFilePart));
}

BOOL CreateProcessW(const WCHAR* lpApplicationName, WCHAR* lpCommandLine, void* lpProcessAttributes,
                    void* lpThreadAttributes, BOOL bInheritHandles, DWORD dwCreationFlags, void* lpEnvironment,
                    const WCHAR* lpCurrentDirectory, STARTUPINFOW* lpStartupInfo,
                    PROCESS_INFORMATION* lpProcessInformation) {
    return ::CreateProcessW(W(lpApplicationName), W(lpCommandLine),
                            static_cast<LPSECURITY_ATTRIBUTES>(lpProcessAttributes),
                            static_cast<LPSECURITY_ATTRIBUTES>(lpThreadAttributes), bInheritHandles,
                            dwCreationFlags, lpEnvironment, W(lpCurrentDirectory),
                            As<LPSTARTUPINFOW>(lpStartupInfo), As<LPPROCESS_INFORMATION>(lpProcessInformation));
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return ::WaitForSingleObject(H(hHandle), dwMilliseconds);
}

BOOL GetExitCodeProcess(HANDLE hProcess, DWORD* lpExitCode) {
    return ::GetExitCodeProcess(H(hProcess), D(lpExitCode));
}

int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, const WCHAR* lpWideCharStr, int cchWideChar, char* lpMultiByteStr,
                        int cbMultiByte, const char* lpDefaultChar, BOOL* lpUsedDefaultChar) {
    return ::WideCharToMultiByte(CodePage, dwFlags, W(lpWideCharStr), cchWideChar, lpMultiByteStr, cbMultiByte,
                                 lpDefaultChar, As<::BOOL*>(lpUsedDefaultChar));
}

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, const char* lpMultiByteStr, int cbMultiByte,
                        WCHAR* lpWideCharStr, int cchWideChar) {
    return ::MultiByteToWideChar(CodePage, dwFlags, lpMultiByteStr, cbMultiByte, W(lpWideCharStr), cchWideChar);
}

int CompareStringW(LCID Locale, DWORD dwCmpFlags, const WCHAR* lpString1, int cchCount1, const WCHAR* lpString2,
                   int cchCount2) {
    return ::CompareStringW(Locale, dwCmpFlags, W(lpString1), cchCount1, W(lpString2), cchCount2);
}

int LCMapStringW(LCID Locale, DWORD dwMapFlags, const WCHAR* lpSrcStr, int cchSrc, WCHAR* lpDestStr, int cchDest) {
    return ::LCMapStringW(Locale, dwMapFlags, W(lpSrcStr), cchSrc, W(lpDestStr), cchDest);
}

int CompareStringOrdinal(const WCHAR* lpString1, int cchCount1, const WCHAR* lpString2, int cchCount2,
                         BOOL bIgnoreCase) {
    return ::CompareStringOrdinal(W(lpString1), cchCount1, W(lpString2), cchCount2, bIgnoreCase);
}

// advapi32

LONG RegOpenKeyExW(HKEY hKey, const WCHAR* lpSubKey, DWORD ulOptions, REGSAM samDesired, HKEY* phkResult) {
    return ::RegOpenKeyExW(K(hKey), W(lpSubKey), ulOptions, samDesired, As<PHKEY>(phkResult));
}

LONG RegCreateKeyW(HKEY hKey, const WCHAR* lpSubKey, HKEY* phkResult) {
    return ::RegCreateKeyW(K(hKey), W(lpSubKey), As<PHKEY>(phkResult));
}

LONG RegQueryInfoKeyW(HKEY hKey, WCHAR* lpClass, DWORD* lpcchClass, DWORD* lpReserved, DWORD* lpcSubKeys,
                      DWORD* lpcbMaxSubKeyLen, DWORD* lpcbMaxClassLen, DWORD* lpcValues, DWORD* lpcbMaxValueNameLen,
                      DWORD* lpcbMaxValueLen, DWORD* lpcbSecurityDescriptor, FILETIME* lpftLastWriteTime) {
    return ::RegQueryInfoKeyW(K(hKey), W(lpClass), D(lpcchClass), D(lpReserved), D(lpcSubKeys), D(lpcbMaxSubKeyLen),
                              D(lpcbMaxClassLen), D(lpcValues), D(lpcbMaxValueNameLen), D(lpcbMaxValueLen),
                              D(lpcbSecurityDescriptor), reinterpret_cast<::FILETIME*>(lpftLastWriteTime));
}

LONG RegQueryValueExW(HKEY hKey, const WCHAR* lpValueName, DWORD* lpReserved, DWORD* lpType, BYTE* lpData,
                      DWORD* lpcbData) {
    return ::RegQueryValueExW(K(hKey), W(lpValueName), D(lpReserved), D(lpType), lpData, D(lpcbData));
}

LONG RegSetValueExW(HKEY hKey, const WCHAR* lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                    DWORD cbData) {
    return ::RegSetValueExW(K(hKey), W(lpValueName), Reserved, dwType, lpData, cbData);
}

LONG RegDeleteValueW(HKEY hKey, const WCHAR* lpValueName) { return ::RegDeleteValueW(K(hKey), W(lpValueName)); }

LONG RegDeleteKeyW(HKEY hKey, const WCHAR* lpSubKey) { return ::RegDeleteKeyW(K(hKey), W(lpSubKey)); }

LONG RegEnumKeyExW(HKEY hKey, DWORD dwIndex, WCHAR* lpName, DWORD* lpcchName, DWORD* lpReserved, WCHAR* lpClass,
                   DWORD* lpcchClass, FILETIME* lpftLastWriteTime) {
    return ::RegEnumKeyExW(K(hKey), dwIndex, W(lpName), D(lpcchName), D(lpReserved), W(lpClass), D(lpcchClass),
                           As<PFILETIME>(lpftLastWriteTime));
}

LONG RegEnumKeyW(HKEY hKey, DWORD dwIndex, WCHAR* lpName, DWORD cchName) {
    return ::RegEnumKeyW(K(hKey), dwIndex, W(lpName), cchName);
}

LONG RegEnumValueW(HKEY hKey, DWORD dwIndex, WCHAR* lpValueName, DWORD* lpcchValueName, DWORD* lpReserved,
                   DWORD* lpType, BYTE* lpData, DWORD* lpcbData) {
    return ::RegEnumValueW(K(hKey), dwIndex, W(lpValueName), D(lpcchValueName), D(lpReserved), D(lpType), lpData,
                           D(lpcbData));
}

LONG RegCloseKey(HKEY hKey) { return ::RegCloseKey(K(hKey)); }

BOOL AllocateAndInitializeSid(SID_IDENTIFIER_AUTHORITY* pIdentifierAuthority, BYTE nSubAuthorityCount,
                              DWORD nSubAuthority0, DWORD nSubAuthority1, DWORD nSubAuthority2,
                              DWORD nSubAuthority3, DWORD nSubAuthority4, DWORD nSubAuthority5,
                              DWORD nSubAuthority6, DWORD nSubAuthority7, PSID* pSid) {
    return ::AllocateAndInitializeSid(As<PSID_IDENTIFIER_AUTHORITY>(pIdentifierAuthority), nSubAuthorityCount,
                                      nSubAuthority0, nSubAuthority1, nSubAuthority2, nSubAuthority3,
                                      nSubAuthority4, nSubAuthority5, nSubAuthority6, nSubAuthority7, pSid);
}

void* FreeSid(PSID pSid) { return ::FreeSid(pSid); }

BOOL ConvertStringSecurityDescriptorToSecurityDescriptorW(const WCHAR* StringSecurityDescriptor, DWORD StringSDRevision,
                                                          void** SecurityDescriptor, ULONG* SecurityDescriptorSize) {
    return ::ConvertStringSecurityDescriptorToSecurityDescriptorW(W(StringSecurityDescriptor), StringSDRevision,
                                                                  SecurityDescriptor, As<PULONG>(SecurityDescriptorSize));
}

// user32

int MessageBoxW(HWND hWnd, const WCHAR* lpText, const WCHAR* lpCaption, UINT uType) {
    return ::MessageBoxW(As<::HWND>(hWnd), W(lpText), W(lpCaption), uType);
}

WORD RegisterClassW(const WNDCLASSW* lpWndClass) { return ::RegisterClassW(As<const ::WNDCLASSW*>(lpWndClass)); }

HWND CreateWindowExW(DWORD dwExStyle, const WCHAR* lpClassName, const WCHAR* lpWindowName, DWORD dwStyle, int X, int Y,
                     int nWidth, int nHeight, HWND hWndParent, HMENU hMenu, HINSTANCE hInstance, void* lpParam) {
    return As<HWND>(::CreateWindowExW(dwExStyle, W(lpClassName), W(lpWindowName), dwStyle, X, Y, nWidth, nHeight,
                                      As<::HWND>(hWndParent), As<::HMENU>(hMenu), As<::HINSTANCE>(hInstance),
                                      lpParam));
}

BOOL DestroyWindow(HWND hWnd) { return ::DestroyWindow(As<::HWND>(hWnd)); }

BOOL SetWindowPos(HWND hWnd, HWND hWndInsertAfter, int X, int Y, int cx, int cy, UINT uFlags) {
    return ::SetWindowPos(As<::HWND>(hWnd), As<::HWND>(hWndInsertAfter), X, Y, cx, cy, uFlags);
}

BOOL GetWindowRect(HWND hWnd, RECT* lpRect) { return ::GetWindowRect(As<::HWND>(hWnd), As<::RECT*>(lpRect)); }

LRESULT SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    return ::SendMessageW(As<::HWND>(hWnd), Msg, wParam, lParam);
}

BOOL PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    return ::PostMessageW(As<::HWND>(hWnd), Msg, wParam, lParam);
}

BOOL EnumWindows(WNDENUMPROC lpEnumFunc, LPARAM lParam) { return ::EnumWindows(As<::WNDENUMPROC>(lpEnumFunc), lParam); }

DWORD GetWindowThreadProcessId(HWND hWnd, DWORD* lpdwProcessId) {
    return ::GetWindowThreadProcessId(As<::HWND>(hWnd), D(lpdwProcessId));
}

int GetWindowTextW(HWND hWnd, WCHAR* lpString, int nMaxCount) {
    return ::GetWindowTextW(As<::HWND>(hWnd), W(lpString), nMaxCount);
}

BOOL IsWindowVisible(HWND hWnd) { return ::IsWindowVisible(As<::HWND>(hWnd)); }

UINT_PTR SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT uElapse, void* lpTimerFunc) {
    return ::SetTimer(As<::HWND>(hWnd), nIDEvent, uElapse, As<TIMERPROC>(lpTimerFunc));
}

BOOL GetMessageW(MSG* lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
    return ::GetMessageW(As<::MSG*>(lpMsg), As<::HWND>(hWnd), wMsgFilterMin, wMsgFilterMax);
}

LRESULT DispatchMessageW(const MSG* lpMsg) { return ::DispatchMessageW(As<const ::MSG*>(lpMsg)); }

LRESULT DefWindowProcW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    return ::DefWindowProcW(As<::HWND>(hWnd), Msg, wParam, lParam);
}

BOOL SystemParametersInfoW(UINT uiAction, UINT uiParam, void* pvParam, UINT fWinIni) {
    return ::SystemParametersInfoW(uiAction, uiParam, pvParam, fWinIni);
}

HCURSOR LoadCursorW(HINSTANCE hInstance, const WCHAR* lpCursorName) {
    return As<HCURSOR>(::LoadCursorW(As<::HINSTANCE>(hInstance), W(lpCursorName)));
}

// gdi32

HFONT CreateFontIndirectW(const LOGFONTW* lplf) { return As<HFONT>(::CreateFontIndirectW(As<const ::LOGFONTW*>(lplf))); }

BOOL DeleteObject(HFONT ho) { return ::DeleteObject(As<::HGDIOBJ>(ho)); }

// shell32

BOOL ShellExecuteExW(SHELLEXECUTEINFOW* pExecInfo) { return ::ShellExecuteExW(As<LPSHELLEXECUTEINFOW>(pExecInfo)); }

void SHChangeNotify(LONG wEventId, UINT uFlags, const void* dwItem1, const void* dwItem2) {
    ::SHChangeNotify(wEventId, uFlags, dwItem1, dwItem2);
}

// oleaut32

HRESULT LoadTypeLib(const WCHAR* szFile, ITypeLib** pptlib) {
    return ::LoadTypeLib(W(szFile), As<::ITypeLib**>(pptlib));
}

HRESULT ITypeLib_GetLibAttr(ITypeLib* This, TLIBATTR** ppTLibAttr) {
    return As<::ITypeLib*>(This)->GetLibAttr(As<::TLIBATTR**>(ppTLibAttr));
}

void ITypeLib_ReleaseTLibAttr(ITypeLib* This, TLIBATTR* pTLibAttr) {
    As<::ITypeLib*>(This)->ReleaseTLibAttr(As<::TLIBATTR*>(pTLibAttr));
}

ULONG ITypeLib_Release(ITypeLib* This) { return As<::ITypeLib*>(This)->Release(); }

}  // namespace win

// The seam's records are handed to Windows by address, so each must match the
// Windows record byte for byte; these are the 32-bit sizes the program relies on.
static_assert(sizeof(void*) == 4, "dismora.exe is a 32-bit program");
static_assert(sizeof(wchar_t) == sizeof(char16_t) && alignof(wchar_t) == alignof(char16_t));
static_assert(sizeof(::DWORD) == sizeof(win::DWORD) && sizeof(::LONG) == sizeof(win::LONG));
static_assert(sizeof(::BOOL) == sizeof(win::BOOL) && sizeof(::HRESULT) == sizeof(win::HRESULT));
static_assert(sizeof(::SYSKIND) == sizeof(win::SYSKIND));

static_assert(sizeof(::STARTUPINFOW) == 68);
static_assert(sizeof(::PROCESS_INFORMATION) == 16);
static_assert(sizeof(::SHELLEXECUTEINFOW) == 60);
static_assert(sizeof(::GUID) == 16);
static_assert(sizeof(::TLIBATTR) == 32);
static_assert(sizeof(::BY_HANDLE_FILE_INFORMATION) == 52);

// Windows packs the shell's records to 1 byte on this target; a seam record
// aligned more strictly is still a valid Windows record.
#define DISMORA_SAME_RECORD(record) \
    static_assert(sizeof(::record) == sizeof(win::record) && alignof(win::record) % alignof(::record) == 0, #record)
#define DISMORA_SAME_FIELD(record, field) \
    static_assert(offsetof(::record, field) == offsetof(win::record, field) && \
                      sizeof(::record::field) == sizeof(win::record::field), \
                  #record "::" #field)

DISMORA_SAME_RECORD(PROCESSENTRY32W);
DISMORA_SAME_FIELD(PROCESSENTRY32W, th32ProcessID);
DISMORA_SAME_FIELD(PROCESSENTRY32W, szExeFile);
DISMORA_SAME_RECORD(MODULEENTRY32W);
DISMORA_SAME_FIELD(MODULEENTRY32W, szExePath);

DISMORA_SAME_RECORD(FILETIME);
DISMORA_SAME_FIELD(FILETIME, dwLowDateTime);
DISMORA_SAME_FIELD(FILETIME, dwHighDateTime);

DISMORA_SAME_RECORD(SYSTEMTIME);
DISMORA_SAME_FIELD(SYSTEMTIME, wYear);
DISMORA_SAME_FIELD(SYSTEMTIME, wSecond);

DISMORA_SAME_RECORD(BY_HANDLE_FILE_INFORMATION);
DISMORA_SAME_FIELD(BY_HANDLE_FILE_INFORMATION, dwFileAttributes);
DISMORA_SAME_FIELD(BY_HANDLE_FILE_INFORMATION, dwVolumeSerialNumber);
DISMORA_SAME_FIELD(BY_HANDLE_FILE_INFORMATION, nFileIndexHigh);
DISMORA_SAME_FIELD(BY_HANDLE_FILE_INFORMATION, nFileIndexLow);

DISMORA_SAME_RECORD(SECURITY_ATTRIBUTES);
DISMORA_SAME_FIELD(SECURITY_ATTRIBUTES, lpSecurityDescriptor);
DISMORA_SAME_RECORD(WIN32_FIND_DATAW);
DISMORA_SAME_FIELD(WIN32_FIND_DATAW, nFileSizeLow);
DISMORA_SAME_FIELD(WIN32_FIND_DATAW, cFileName);
DISMORA_SAME_FIELD(WIN32_FIND_DATAW, cAlternateFileName);

DISMORA_SAME_RECORD(STARTUPINFOW);
DISMORA_SAME_FIELD(STARTUPINFOW, cb);
DISMORA_SAME_FIELD(STARTUPINFOW, lpReserved);
DISMORA_SAME_FIELD(STARTUPINFOW, lpDesktop);
DISMORA_SAME_FIELD(STARTUPINFOW, lpTitle);
DISMORA_SAME_FIELD(STARTUPINFOW, dwX);
DISMORA_SAME_FIELD(STARTUPINFOW, dwY);
DISMORA_SAME_FIELD(STARTUPINFOW, dwXSize);
DISMORA_SAME_FIELD(STARTUPINFOW, dwYSize);
DISMORA_SAME_FIELD(STARTUPINFOW, dwXCountChars);
DISMORA_SAME_FIELD(STARTUPINFOW, dwYCountChars);
DISMORA_SAME_FIELD(STARTUPINFOW, dwFillAttribute);
DISMORA_SAME_FIELD(STARTUPINFOW, dwFlags);
DISMORA_SAME_FIELD(STARTUPINFOW, wShowWindow);
DISMORA_SAME_FIELD(STARTUPINFOW, cbReserved2);
DISMORA_SAME_FIELD(STARTUPINFOW, lpReserved2);
DISMORA_SAME_FIELD(STARTUPINFOW, hStdInput);
DISMORA_SAME_FIELD(STARTUPINFOW, hStdOutput);
DISMORA_SAME_FIELD(STARTUPINFOW, hStdError);

DISMORA_SAME_RECORD(PROCESS_INFORMATION);
DISMORA_SAME_FIELD(PROCESS_INFORMATION, hProcess);
DISMORA_SAME_FIELD(PROCESS_INFORMATION, hThread);
DISMORA_SAME_FIELD(PROCESS_INFORMATION, dwProcessId);
DISMORA_SAME_FIELD(PROCESS_INFORMATION, dwThreadId);

DISMORA_SAME_RECORD(SHELLEXECUTEINFOW);
DISMORA_SAME_FIELD(SHELLEXECUTEINFOW, cbSize);
DISMORA_SAME_FIELD(SHELLEXECUTEINFOW, fMask);
DISMORA_SAME_FIELD(SHELLEXECUTEINFOW, hwnd);
DISMORA_SAME_FIELD(SHELLEXECUTEINFOW, lpVerb);
DISMORA_SAME_FIELD(SHELLEXECUTEINFOW, lpFile);
DISMORA_SAME_FIELD(SHELLEXECUTEINFOW, lpParameters);
DISMORA_SAME_FIELD(SHELLEXECUTEINFOW, lpDirectory);
DISMORA_SAME_FIELD(SHELLEXECUTEINFOW, nShow);
DISMORA_SAME_FIELD(SHELLEXECUTEINFOW, hInstApp);
DISMORA_SAME_FIELD(SHELLEXECUTEINFOW, lpIDList);
DISMORA_SAME_FIELD(SHELLEXECUTEINFOW, lpClass);
DISMORA_SAME_FIELD(SHELLEXECUTEINFOW, hkeyClass);
DISMORA_SAME_FIELD(SHELLEXECUTEINFOW, dwHotKey);
DISMORA_SAME_FIELD(SHELLEXECUTEINFOW, hProcess);
static_assert(offsetof(::SHELLEXECUTEINFOW, hMonitor) == offsetof(win::SHELLEXECUTEINFOW, hIconOrMonitor));
static_assert(offsetof(::SHELLEXECUTEINFOW, hIcon) == offsetof(win::SHELLEXECUTEINFOW, hIconOrMonitor));

DISMORA_SAME_RECORD(SID_IDENTIFIER_AUTHORITY);
DISMORA_SAME_FIELD(SID_IDENTIFIER_AUTHORITY, Value);

DISMORA_SAME_RECORD(GUID);
DISMORA_SAME_FIELD(GUID, Data1);
DISMORA_SAME_FIELD(GUID, Data2);
DISMORA_SAME_FIELD(GUID, Data3);
DISMORA_SAME_FIELD(GUID, Data4);

DISMORA_SAME_RECORD(TLIBATTR);
DISMORA_SAME_FIELD(TLIBATTR, guid);
DISMORA_SAME_FIELD(TLIBATTR, lcid);
DISMORA_SAME_FIELD(TLIBATTR, syskind);
DISMORA_SAME_FIELD(TLIBATTR, wMajorVerNum);
DISMORA_SAME_FIELD(TLIBATTR, wMinorVerNum);
DISMORA_SAME_FIELD(TLIBATTR, wLibFlags);

DISMORA_SAME_RECORD(POINT);
DISMORA_SAME_FIELD(POINT, y);

DISMORA_SAME_RECORD(RECT);
DISMORA_SAME_FIELD(RECT, left);
DISMORA_SAME_FIELD(RECT, top);
DISMORA_SAME_FIELD(RECT, right);
DISMORA_SAME_FIELD(RECT, bottom);

DISMORA_SAME_RECORD(MSG);
DISMORA_SAME_FIELD(MSG, hwnd);
DISMORA_SAME_FIELD(MSG, message);
DISMORA_SAME_FIELD(MSG, wParam);
DISMORA_SAME_FIELD(MSG, lParam);
DISMORA_SAME_FIELD(MSG, time);
DISMORA_SAME_FIELD(MSG, pt);

DISMORA_SAME_RECORD(WNDCLASSW);
DISMORA_SAME_FIELD(WNDCLASSW, style);
DISMORA_SAME_FIELD(WNDCLASSW, lpfnWndProc);
DISMORA_SAME_FIELD(WNDCLASSW, cbClsExtra);
DISMORA_SAME_FIELD(WNDCLASSW, cbWndExtra);
DISMORA_SAME_FIELD(WNDCLASSW, hInstance);
DISMORA_SAME_FIELD(WNDCLASSW, hIcon);
DISMORA_SAME_FIELD(WNDCLASSW, hCursor);
DISMORA_SAME_FIELD(WNDCLASSW, hbrBackground);
DISMORA_SAME_FIELD(WNDCLASSW, lpszMenuName);
DISMORA_SAME_FIELD(WNDCLASSW, lpszClassName);

DISMORA_SAME_RECORD(LOGFONTW);
DISMORA_SAME_FIELD(LOGFONTW, lfHeight);
DISMORA_SAME_FIELD(LOGFONTW, lfWeight);
DISMORA_SAME_FIELD(LOGFONTW, lfCharSet);
DISMORA_SAME_FIELD(LOGFONTW, lfPitchAndFamily);
DISMORA_SAME_FIELD(LOGFONTW, lfFaceName);

DISMORA_SAME_RECORD(NONCLIENTMETRICSW);
DISMORA_SAME_FIELD(NONCLIENTMETRICSW, cbSize);
DISMORA_SAME_FIELD(NONCLIENTMETRICSW, lfCaptionFont);
DISMORA_SAME_FIELD(NONCLIENTMETRICSW, lfMenuFont);
DISMORA_SAME_FIELD(NONCLIENTMETRICSW, lfStatusFont);
DISMORA_SAME_FIELD(NONCLIENTMETRICSW, lfMessageFont);
DISMORA_SAME_FIELD(NONCLIENTMETRICSW, iPaddedBorderWidth);

DISMORA_SAME_RECORD(INITCOMMONCONTROLSEX);
DISMORA_SAME_FIELD(INITCOMMONCONTROLSEX, dwSize);
DISMORA_SAME_FIELD(INITCOMMONCONTROLSEX, dwICC);

DISMORA_SAME_RECORD(RM_UNIQUE_PROCESS);
DISMORA_SAME_FIELD(RM_UNIQUE_PROCESS, dwProcessId);
DISMORA_SAME_FIELD(RM_UNIQUE_PROCESS, ProcessStartTime);
DISMORA_SAME_RECORD(RM_PROCESS_INFO);
DISMORA_SAME_FIELD(RM_PROCESS_INFO, Process);
DISMORA_SAME_FIELD(RM_PROCESS_INFO, strAppName);
DISMORA_SAME_FIELD(RM_PROCESS_INFO, strServiceShortName);
DISMORA_SAME_FIELD(RM_PROCESS_INFO, ApplicationType);
DISMORA_SAME_FIELD(RM_PROCESS_INFO, AppStatus);
DISMORA_SAME_FIELD(RM_PROCESS_INFO, TSSessionId);
DISMORA_SAME_FIELD(RM_PROCESS_INFO, bRestartable);

static_assert(int{win::SYS_WIN16} == int{::SYS_WIN16} && int{win::SYS_WIN32} == int{::SYS_WIN32} &&
              int{win::SYS_MAC} == int{::SYS_MAC} && int{win::SYS_WIN64} == int{::SYS_WIN64});

#undef DISMORA_SAME_FIELD
#undef DISMORA_SAME_RECORD

// Every constant of the seam against <windows.h>, compared in the seam's type:
// Windows spells some as long, some as (DWORD)-1, some as HRESULT. A name that
// <windows.h> lacks stops the build too.
#define WIN_CONST(type, name, value) \
    static_assert(seam::k##name == static_cast<std::remove_const_t<decltype(seam::k##name)>>(name), #name);
#include "platform/win_constants.def"
#undef WIN_CONST

// The seam's function pointer types must call exactly as the Windows ones do
// (stdcall on this target): a cdecl pointer to a stdcall function corrupts the
// stack at its first call, and only on this target.
static_assert(std::is_same_v<win::FARPROC, ::FARPROC>);
static_assert(std::is_same_v<win::LPTHREAD_START_ROUTINE, win::DWORD(WINAPI*)(void*)>);
static_assert(std::is_same_v<win::WNDPROC, win::LRESULT(CALLBACK*)(win::HWND, win::UINT, win::WPARAM, win::LPARAM)>);
static_assert(std::is_same_v<win::PFN_GetDpiForWindow, win::UINT(WINAPI*)(win::HWND)>);
static_assert(std::is_same_v<win::PFN_SystemParametersInfoForDpi,
                             win::BOOL(WINAPI*)(win::UINT, win::UINT, void*, win::UINT, win::UINT)>);
static_assert(std::is_same_v<win::PFN_InitCommonControlsEx, win::BOOL(WINAPI*)(const win::INITCOMMONCONTROLSEX*)>);
static_assert(std::is_same_v<win::PFN_RmStartSession, win::DWORD(WINAPI*)(win::DWORD*, win::DWORD, win::WCHAR*)>);
static_assert(std::is_same_v<win::PFN_RmGetList, win::DWORD(WINAPI*)(win::DWORD, win::UINT*, win::UINT*,
                                                                    win::RM_PROCESS_INFO*, win::DWORD*)>);
static_assert(std::is_same_v<win::PFN_RmEndSession, win::DWORD(WINAPI*)(win::DWORD)>);
// Its lists are read only: const pointers call as Windows' plain ones do.
static_assert(std::is_same_v<win::PFN_RmRegisterResources,
                             win::DWORD(WINAPI*)(win::DWORD, win::UINT, const win::WCHAR* const*, win::UINT,
                                                 win::RM_UNIQUE_PROCESS*, win::UINT, const win::WCHAR* const*)>);
static_assert(std::is_same_v<win::PFN_SetDefaultDllDirectories, win::BOOL(WINAPI*)(win::DWORD)>);
static_assert(std::is_same_v<win::PFN_CheckTokenMembership,
                             win::BOOL(WINAPI*)(win::HANDLE, win::PSID, win::BOOL*)>);
static_assert(std::is_same_v<win::PFN_UnRegisterTypeLib, win::HRESULT(WINAPI*)(const win::GUID*, win::WORD, win::WORD,
                                                                               win::LCID, win::SYSKIND)>);
