// The seam: every Windows type, constant and function the program uses,
// under its Windows name, in namespace win. The program logic includes only
// this header; the definitions are picked at link time (the real Windows
// backend in win32/, or the simulated Windows of the tests).
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32) && defined(__i386__)
#define WIN_STDCALL __attribute__((stdcall))
#else
#define WIN_STDCALL
#endif

namespace win {

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = std::uint32_t;
using ULONG = std::uint32_t;
using LONG = std::int32_t;
using BOOL = std::int32_t;
using HRESULT = std::int32_t;
using LCID = DWORD;
using REGSAM = DWORD;
using WCHAR = char16_t;
using INT_PTR = std::intptr_t;
using UINT_PTR = std::uintptr_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

struct HKEY__;
using HKEY = HKEY__*;
struct HANDLE__;
using HANDLE = HANDLE__*;
struct HMODULE__;
using HMODULE = HMODULE__*;
struct HWND__;
using HWND = HWND__*;
struct HINSTANCE__;
using HINSTANCE = HINSTANCE__*;
using PSID = void*;
struct HFONT__;
using HFONT = HFONT__*;
struct HBRUSH__;
using HBRUSH = HBRUSH__*;
struct HICON__;
using HICON = HICON__*;
using HCURSOR = HICON;
struct HMENU__;
using HMENU = HMENU__*;
struct ITypeLib;

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

#define WIN_CONST(type, name, value) inline constexpr type name = static_cast<type>(value);
#include "win_constants.def"
#undef WIN_CONST

inline HKEY const HKEY_CLASSES_ROOT = reinterpret_cast<HKEY>(std::uintptr_t{0x80000000u});
inline HKEY const HKEY_CURRENT_USER = reinterpret_cast<HKEY>(std::uintptr_t{0x80000001u});
inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(std::uintptr_t{0x80000002u});
inline HKEY const HKEY_USERS = reinterpret_cast<HKEY>(std::uintptr_t{0x80000003u});
inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~std::uintptr_t{0});

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};

struct BY_HANDLE_FILE_INFORMATION {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD dwVolumeSerialNumber;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD nNumberOfLinks;
    DWORD nFileIndexHigh;
    DWORD nFileIndexLow;
};

struct STARTUPINFOW {
    DWORD cb;
    WCHAR* lpReserved;
    WCHAR* lpDesktop;
    WCHAR* lpTitle;
    DWORD dwX;
    DWORD dwY;
    DWORD dwXSize;
    DWORD dwYSize;
    DWORD dwXCountChars;
    DWORD dwYCountChars;
    DWORD dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    BYTE* lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
};

struct PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
};

struct SHELLEXECUTEINFOW {
    DWORD cbSize;
    ULONG fMask;
    HWND hwnd;
    const WCHAR* lpVerb;
    const WCHAR* lpFile;
    const WCHAR* lpParameters;
    const WCHAR* lpDirectory;
    int nShow;
    HINSTANCE hInstApp;
    void* lpIDList;
    const WCHAR* lpClass;
    HKEY hkeyClass;
    DWORD dwHotKey;
    HANDLE hIconOrMonitor;
    HANDLE hProcess;
};

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    void* lpSecurityDescriptor;
    BOOL bInheritHandle;
};

struct WIN32_FIND_DATAW {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    WCHAR cFileName[260];
    WCHAR cAlternateFileName[14];
};

struct SID_IDENTIFIER_AUTHORITY {
    BYTE Value[6];
};

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};

enum SYSKIND : int { SYS_WIN16 = 0, SYS_WIN32 = 1, SYS_MAC = 2, SYS_WIN64 = 3 };

struct TLIBATTR {
    GUID guid;
    LCID lcid;
    SYSKIND syskind;
    WORD wMajorVerNum;
    WORD wMinorVerNum;
    WORD wLibFlags;
};

using FARPROC = INT_PTR(WIN_STDCALL*)();
using LPTHREAD_START_ROUTINE = DWORD(WIN_STDCALL*)(void*);
using WNDPROC = LRESULT(WIN_STDCALL*)(HWND, UINT, WPARAM, LPARAM);
using WNDENUMPROC = BOOL(WIN_STDCALL*)(HWND, LPARAM);

struct PROCESSENTRY32W {
    DWORD dwSize;
    DWORD cntUsage;
    DWORD th32ProcessID;
    UINT_PTR th32DefaultHeapID;
    DWORD th32ModuleID;
    DWORD cntThreads;
    DWORD th32ParentProcessID;
    LONG pcPriClassBase;
    DWORD dwFlags;
    WCHAR szExeFile[260];
};

struct MODULEENTRY32W {
    DWORD dwSize;
    DWORD th32ModuleID;
    DWORD th32ProcessID;
    DWORD GlblcntUsage;
    DWORD ProccntUsage;
    BYTE* modBaseAddr;
    DWORD modBaseSize;
    HMODULE hModule;
    WCHAR szModule[256];
    WCHAR szExePath[260];
};

struct POINT {
    LONG x;
    LONG y;
};

struct RECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
};

struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
};

struct WNDCLASSW {
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    const WCHAR* lpszMenuName;
    const WCHAR* lpszClassName;
};

struct LOGFONTW {
    LONG lfHeight;
    LONG lfWidth;
    LONG lfEscapement;
    LONG lfOrientation;
    LONG lfWeight;
    BYTE lfItalic;
    BYTE lfUnderline;
    BYTE lfStrikeOut;
    BYTE lfCharSet;
    BYTE lfOutPrecision;
    BYTE lfClipPrecision;
    BYTE lfQuality;
    BYTE lfPitchAndFamily;
    WCHAR lfFaceName[32];
};

struct NONCLIENTMETRICSW {
    UINT cbSize;
    int iBorderWidth;
    int iScrollWidth;
    int iScrollHeight;
    int iCaptionWidth;
    int iCaptionHeight;
    LOGFONTW lfCaptionFont;
    int iSmCaptionWidth;
    int iSmCaptionHeight;
    LOGFONTW lfSmCaptionFont;
    int iMenuWidth;
    int iMenuHeight;
    LOGFONTW lfMenuFont;
    LOGFONTW lfStatusFont;
    LOGFONTW lfMessageFont;
    int iPaddedBorderWidth;
};

struct INITCOMMONCONTROLSEX {
    DWORD dwSize;
    DWORD dwICC;
};

// The Restart Manager's answer: a process that holds one of the files registered.
struct RM_UNIQUE_PROCESS {
    DWORD dwProcessId;
    FILETIME ProcessStartTime;
};

struct RM_PROCESS_INFO {
    RM_UNIQUE_PROCESS Process;
    WCHAR strAppName[256];
    WCHAR strServiceShortName[64];
    DWORD ApplicationType;  // an RM_APP_TYPE
    ULONG AppStatus;
    DWORD TSSessionId;
    BOOL bRestartable;
};

// The arrow cursor: a resource number where a name would stand.
inline const WCHAR* const IDC_ARROW = reinterpret_cast<const WCHAR*>(std::uintptr_t{32512});

// Functions the program looks up at run time rather than importing.
using PFN_CheckTokenMembership = BOOL(WIN_STDCALL*)(HANDLE, PSID, BOOL*);
using PFN_UnRegisterTypeLib = HRESULT(WIN_STDCALL*)(const GUID*, WORD, WORD, LCID, SYSKIND);
using PFN_SetDefaultDllDirectories = BOOL(WIN_STDCALL*)(DWORD);
using PFN_SetProcessMitigationPolicy = BOOL(WIN_STDCALL*)(int, void*, UINT_PTR);
using PFN_GetDpiForWindow = UINT(WIN_STDCALL*)(HWND);
using PFN_SystemParametersInfoForDpi = BOOL(WIN_STDCALL*)(UINT, UINT, void*, UINT, UINT);
using PFN_InitCommonControlsEx = BOOL(WIN_STDCALL*)(const INITCOMMONCONTROLSEX*);
using PFN_RmStartSession = DWORD(WIN_STDCALL*)(DWORD*, DWORD, WCHAR*);
using PFN_RmRegisterResources = DWORD(WIN_STDCALL*)(DWORD, UINT, const WCHAR* const*, UINT, RM_UNIQUE_PROCESS*, UINT,
                                                    const WCHAR* const*);
using PFN_RmGetList = DWORD(WIN_STDCALL*)(DWORD, UINT*, UINT*, RM_PROCESS_INFO*, DWORD*);
using PFN_RmEndSession = DWORD(WIN_STDCALL*)(DWORD);

// kernel32
[[noreturn]] void ExitProcess(UINT uExitCode);
DWORD GetTickCount();
void GetLocalTime(SYSTEMTIME* lpSystemTime);
void Sleep(DWORD dwMilliseconds);
DWORD GetLastError();
void SetLastError(DWORD dwErrCode);
WCHAR* GetCommandLineW();
DWORD GetModuleFileNameW(HMODULE hModule, WCHAR* lpFilename, DWORD nSize);
HMODULE GetModuleHandleW(const WCHAR* lpModuleName);
FARPROC GetProcAddress(HMODULE hModule, const char* lpProcName);
BOOL SetDllDirectoryW(const WCHAR* lpPathName);
HMODULE LoadLibraryW(const WCHAR* lpLibFileName);
HANDLE CreateThread(void* lpThreadAttributes, std::size_t dwStackSize, LPTHREAD_START_ROUTINE lpStartAddress,
                    void* lpParameter, DWORD dwCreationFlags, DWORD* lpThreadId);
DWORD GetFileAttributesW(const WCHAR* lpFileName);
BOOL SetFileAttributesW(const WCHAR* lpFileName, DWORD dwFileAttributes);
HANDLE CreateFileW(const WCHAR* lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, void* lpSecurityAttributes,
                   DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL ReadFile(HANDLE hFile, void* lpBuffer, DWORD nNumberOfBytesToRead, DWORD* lpNumberOfBytesRead, void* lpOverlapped);
BOOL WriteFile(HANDLE hFile, const void* lpBuffer, DWORD nNumberOfBytesToWrite, DWORD* lpNumberOfBytesWritten,
               void* lpOverlapped);
BOOL CloseHandle(HANDLE hObject);
HANDLE CreateMutexW(void* lpMutexAttributes, BOOL bInitialOwner, const WCHAR* lpName);
BOOL ReleaseMutex(HANDLE hMutex);
BOOL DeleteFileW(const WCHAR* lpFileName);
BOOL MoveFileExW(const WCHAR* lpExistingFileName, const WCHAR* lpNewFileName, DWORD dwFlags);
BOOL CreateDirectoryW(const WCHAR* lpPathName, SECURITY_ATTRIBUTES* lpSecurityAttributes);
HANDLE FindFirstFileW(const WCHAR* lpFileName, WIN32_FIND_DATAW* lpFindFileData);
BOOL FindNextFileW(HANDLE hFindFile, WIN32_FIND_DATAW* lpFindFileData);
BOOL FindClose(HANDLE hFindFile);
void* LocalFree(void* hMem);
DWORD GetShortPathNameW(const WCHAR* lpszLongPath, WCHAR* lpszShortPath, DWORD cchBuffer);
DWORD GetLongPathNameW(const WCHAR* lpszShortPath, WCHAR* lpszLongPath, DWORD cchBuffer);
BOOL GetFileInformationByHandle(HANDLE hFile, BY_HANDLE_FILE_INFORMATION* lpFileInformation);
DWORD GetFinalPathNameByHandleW(HANDLE hFile, WCHAR* lpszFilePath, DWORD cchFilePath, DWORD dwFlags);
BOOL RemoveDirectoryW(const WCHAR* lpPathName);
BOOL CopyFileW(const WCHAR* lpExistingFileName, const WCHAR* lpNewFileName, BOOL bFailIfExists);
UINT GetWindowsDirectoryW(WCHAR* lpBuffer, UINT uSize);
UINT GetSystemDirectoryW(WCHAR* lpBuffer, UINT uSize);
DWORD GetTempPathW(DWORD nBufferLength, WCHAR* lpBuffer);
DWORD ExpandEnvironmentStringsW(const WCHAR* lpSrc, WCHAR* lpDst, DWORD nSize);
BOOL GetUserNameW(WCHAR* lpBuffer, DWORD* pcbBuffer);
DWORD GetFullPathNameW(const WCHAR* lpFileName, DWORD nBufferLength, WCHAR* lpBuffer, WCHAR** lpFilePart);
BOOL CreateProcessW(const WCHAR* lpApplicationName, WCHAR* lpCommandLine, void* lpProcessAttributes,
                    void* lpThreadAttributes, BOOL bInheritHandles, DWORD dwCreationFlags, void* lpEnvironment,
                    const WCHAR* lpCurrentDirectory, STARTUPINFOW* lpStartupInfo,
                    PROCESS_INFORMATION* lpProcessInformation);
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
DWORD GetCurrentProcessId();
HANDLE GetCurrentProcess();
BOOL GetProcessTimes(HANDLE hProcess, FILETIME* lpCreationTime, FILETIME* lpExitTime, FILETIME* lpKernelTime,
                     FILETIME* lpUserTime);
HANDLE OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId);
BOOL TerminateProcess(HANDLE hProcess, UINT uExitCode);
BOOL QueryFullProcessImageNameW(HANDLE hProcess, DWORD dwFlags, WCHAR* lpExeName, DWORD* lpdwSize);
BOOL GetExitCodeProcess(HANDLE hProcess, DWORD* lpExitCode);
BOOL ProcessIdToSessionId(DWORD dwProcessId, DWORD* pSessionId);
HANDLE CreateToolhelp32Snapshot(DWORD dwFlags, DWORD th32ProcessID);
BOOL Process32FirstW(HANDLE hSnapshot, PROCESSENTRY32W* lppe);
BOOL Process32NextW(HANDLE hSnapshot, PROCESSENTRY32W* lppe);
BOOL Module32FirstW(HANDLE hSnapshot, MODULEENTRY32W* lpme);
BOOL Module32NextW(HANDLE hSnapshot, MODULEENTRY32W* lpme);
int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, const WCHAR* lpWideCharStr, int cchWideChar, char* lpMultiByteStr,
                        int cbMultiByte, const char* lpDefaultChar, BOOL* lpUsedDefaultChar);
int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, const char* lpMultiByteStr, int cbMultiByte, WCHAR* lpWideCharStr,
                        int cchWideChar);
int CompareStringW(LCID Locale, DWORD dwCmpFlags, const WCHAR* lpString1, int cchCount1, const WCHAR* lpString2,
                   int cchCount2);
int LCMapStringW(LCID Locale, DWORD dwMapFlags, const WCHAR* lpSrcStr, int cchSrc, WCHAR* lpDestStr, int cchDest);
int CompareStringOrdinal(const WCHAR* lpString1, int cchCount1, const WCHAR* lpString2, int cchCount2,
                         BOOL bIgnoreCase);

// advapi32
LONG RegOpenKeyExW(HKEY hKey, const WCHAR* lpSubKey, DWORD ulOptions, REGSAM samDesired, HKEY* phkResult);
LONG RegCreateKeyW(HKEY hKey, const WCHAR* lpSubKey, HKEY* phkResult);
LONG RegQueryValueExW(HKEY hKey, const WCHAR* lpValueName, DWORD* lpReserved, DWORD* lpType, BYTE* lpData,
                      DWORD* lpcbData);
LONG RegSetValueExW(HKEY hKey, const WCHAR* lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                    DWORD cbData);
LONG RegQueryInfoKeyW(HKEY hKey, WCHAR* lpClass, DWORD* lpcchClass, DWORD* lpReserved, DWORD* lpcSubKeys,
                      DWORD* lpcbMaxSubKeyLen, DWORD* lpcbMaxClassLen, DWORD* lpcValues, DWORD* lpcbMaxValueNameLen,
                      DWORD* lpcbMaxValueLen, DWORD* lpcbSecurityDescriptor, FILETIME* lpftLastWriteTime);
LONG RegDeleteValueW(HKEY hKey, const WCHAR* lpValueName);
LONG RegDeleteKeyW(HKEY hKey, const WCHAR* lpSubKey);
LONG RegEnumKeyExW(HKEY hKey, DWORD dwIndex, WCHAR* lpName, DWORD* lpcchName, DWORD* lpReserved, WCHAR* lpClass,
                   DWORD* lpcchClass, FILETIME* lpftLastWriteTime);
LONG RegEnumKeyW(HKEY hKey, DWORD dwIndex, WCHAR* lpName, DWORD cchName);
LONG RegEnumValueW(HKEY hKey, DWORD dwIndex, WCHAR* lpValueName, DWORD* lpcchValueName, DWORD* lpReserved,
                   DWORD* lpType, BYTE* lpData, DWORD* lpcbData);
LONG RegCloseKey(HKEY hKey);
BOOL AllocateAndInitializeSid(SID_IDENTIFIER_AUTHORITY* pIdentifierAuthority, BYTE nSubAuthorityCount,
                              DWORD nSubAuthority0, DWORD nSubAuthority1, DWORD nSubAuthority2, DWORD nSubAuthority3,
                              DWORD nSubAuthority4, DWORD nSubAuthority5, DWORD nSubAuthority6, DWORD nSubAuthority7,
                              PSID* pSid);
void* FreeSid(PSID pSid);
BOOL GetKernelObjectSecurity(HANDLE Handle, DWORD RequestedInformation, void* pSecurityDescriptor, DWORD nLength,
                             DWORD* lpnLengthNeeded);
BOOL ConvertStringSecurityDescriptorToSecurityDescriptorW(const WCHAR* StringSecurityDescriptor, DWORD StringSDRevision,
                                                          void** SecurityDescriptor, ULONG* SecurityDescriptorSize);

// user32
int MessageBoxW(HWND hWnd, const WCHAR* lpText, const WCHAR* lpCaption, UINT uType);
WORD RegisterClassW(const WNDCLASSW* lpWndClass);
HWND CreateWindowExW(DWORD dwExStyle, const WCHAR* lpClassName, const WCHAR* lpWindowName, DWORD dwStyle, int X, int Y,
                     int nWidth, int nHeight, HWND hWndParent, HMENU hMenu, HINSTANCE hInstance, void* lpParam);
BOOL DestroyWindow(HWND hWnd);
BOOL SetWindowPos(HWND hWnd, HWND hWndInsertAfter, int X, int Y, int cx, int cy, UINT uFlags);
BOOL GetWindowRect(HWND hWnd, RECT* lpRect);
LRESULT SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
BOOL PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
BOOL EnumWindows(WNDENUMPROC lpEnumFunc, LPARAM lParam);
DWORD GetWindowThreadProcessId(HWND hWnd, DWORD* lpdwProcessId);
int GetWindowTextW(HWND hWnd, WCHAR* lpString, int nMaxCount);
BOOL IsWindowVisible(HWND hWnd);
UINT_PTR SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT uElapse, void* lpTimerFunc);
BOOL GetMessageW(MSG* lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax);
LRESULT DispatchMessageW(const MSG* lpMsg);
LRESULT DefWindowProcW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
BOOL SystemParametersInfoW(UINT uiAction, UINT uiParam, void* pvParam, UINT fWinIni);
HCURSOR LoadCursorW(HINSTANCE hInstance, const WCHAR* lpCursorName);

// gdi32
HFONT CreateFontIndirectW(const LOGFONTW* lplf);
BOOL DeleteObject(HFONT ho);

// shell32
BOOL ShellExecuteExW(SHELLEXECUTEINFOW* pExecInfo);
void SHChangeNotify(LONG wEventId, UINT uFlags, const void* dwItem1, const void* dwItem2);

// oleaut32 (the ITypeLib methods under the names of their C call macros)
HRESULT LoadTypeLib(const WCHAR* szFile, ITypeLib** pptlib);
HRESULT ITypeLib_GetLibAttr(ITypeLib* This, TLIBATTR** ppTLibAttr);
void ITypeLib_ReleaseTLibAttr(ITypeLib* This, TLIBATTR* pTLibAttr);
ULONG ITypeLib_Release(ITypeLib* This);

}  // namespace win
