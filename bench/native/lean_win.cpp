// A lean Windows for the native micro-benchmarks. The functions the measured
// code calls are done directly and quickly over the C library, so that a timing
// is the program's own work and not a recording simulator's; everything else
// the linked objects name stops the benchmark if it is ever reached.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "case_fold.h"
#include "platform/utf8.h"
#include "platform/win_api.h"

namespace win {

namespace {

DWORD last_error = 0;

[[noreturn]] void NotMeasured(const char* name) {
    std::fprintf(stderr, "%s was called, but the benchmarks measure no code that calls it\n", name);
    std::abort();
}

std::size_t Length(const WCHAR* text) {
    std::size_t n = 0;
    while (text[n] != 0) ++n;
    return n;
}

// File handles are descriptors moved off zero, so that no valid handle is null.
constexpr std::intptr_t kHandleBias = 0x100;

HANDLE HandleFromDescriptor(int fd) { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd) + kHandleBias); }
int DescriptorFromHandle(HANDLE handle) {
    return static_cast<int>(reinterpret_cast<std::intptr_t>(handle) - kHandleBias);
}

constexpr char16_t kReplacement = 0xFFFD;

// Most lines of a log are ASCII: they are recognised in one pass and widened in another.
bool AllAscii(const unsigned char* s, int n) {
    std::uint64_t seen = 0;
    int i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, s + i, 8);
        seen |= word;
    }
    for (; i < n; ++i) seen |= s[i];
    return (seen & 0x8080808080808080ull) == 0;
}

// UTF-8 to UTF-16. Valid input converts exactly; each byte that cannot start or
// continue a well-formed sequence becomes U+FFFD. Counts only when out is null.
template <bool kWrite>
int DecodeUtf8(const unsigned char* s, int n, char16_t* out) {
    int units = 0;
    int i = 0;
    while (i < n) {
        // Eight ASCII bytes at a time: the common case of a path.
        while (i + 8 <= n) {
            std::uint64_t word;
            std::memcpy(&word, s + i, 8);
            if ((word & 0x8080808080808080ull) != 0) break;
            if constexpr (kWrite) {
                for (int k = 0; k < 8; ++k) out[units + k] = s[i + k];
            }
            units += 8;
            i += 8;
        }
        if (i >= n) break;
        unsigned c = s[i];
        if (c < 0x80) {
            if constexpr (kWrite) out[units] = static_cast<char16_t>(c);
            ++units;
            ++i;
            continue;
        }
        // Two-byte sequences, most of the letters beyond ASCII, without the general checks.
        if (c >= 0xC2 && c <= 0xDF && i + 1 < n && (s[i + 1] & 0xC0) == 0x80) {
            if constexpr (kWrite) out[units] = static_cast<char16_t>(((c & 0x1F) << 6) | (s[i + 1] & 0x3F));
            ++units;
            i += 2;
            continue;
        }
        int length = 0;
        std::uint32_t code = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
            code = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            code = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            code = c & 0x07;
        }
        bool valid = length != 0 && i + length <= n;
        for (int k = 1; valid && k < length; ++k) {
            unsigned b = s[i + k];
            if ((b & 0xC0) != 0x80) valid = false;
            code = (code << 6) | (b & 0x3F);
        }
        if (valid && length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) valid = false;
        if (valid && length == 4 && (code < 0x10000 || code > 0x10FFFF)) valid = false;
        if (!valid) {
            if constexpr (kWrite) out[units] = kReplacement;
            ++units;
            ++i;
            continue;
        }
        if (code >= 0x10000) {
            if constexpr (kWrite) {
                out[units] = static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
                out[units + 1] = static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
            }
            units += 2;
        } else {
            if constexpr (kWrite) out[units] = static_cast<char16_t>(code);
            ++units;
        }
        i += length;
    }
    return units;
}

// Windows-1252, the ANSI code page of the Wine suite: Latin-1 but for 0x80-0x9F.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char16_t FromCp1252(unsigned char c) { return (c >= 0x80 && c < 0xA0) ? kCp1252High[c - 0x80] : c; }

int CompareFolded(const WCHAR* a, std::size_t na, const WCHAR* b, std::size_t nb) {
    std::size_t shorter = na < nb ? na : nb;
    for (std::size_t i = 0; i < shorter; ++i) {
        char16_t x = bench::FoldCase(a[i]);
        char16_t y = bench::FoldCase(b[i]);
        if (x != y) return x < y ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
    }
    if (na == nb) return CSTR_EQUAL;
    return na < nb ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
}

}  // namespace

// --- measured ----------------------------------------------------------------

DWORD GetLastError() { return last_error; }
void SetLastError(DWORD dwErrCode) { last_error = dwErrCode; }

HANDLE CreateFileW(const WCHAR* lpFileName, DWORD dwDesiredAccess, DWORD, void*, DWORD dwCreationDisposition, DWORD,
                   HANDLE) {
    if (dwDesiredAccess != GENERIC_READ || dwCreationDisposition != OPEN_EXISTING) NotMeasured("CreateFileW (writing)");
    int fd = ::open(dismora::ToUtf8(lpFileName).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        last_error = static_cast<DWORD>(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return HandleFromDescriptor(fd);
}

BOOL ReadFile(HANDLE hFile, void* lpBuffer, DWORD nNumberOfBytesToRead, DWORD* lpNumberOfBytesRead, void*) {
    ssize_t got;
    do {
        got = ::read(DescriptorFromHandle(hFile), lpBuffer, nNumberOfBytesToRead);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        *lpNumberOfBytesRead = 0;
        last_error = static_cast<DWORD>(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *lpNumberOfBytesRead = static_cast<DWORD>(got);
    return TRUE;
}

BOOL CloseHandle(HANDLE hObject) { return ::close(DescriptorFromHandle(hObject)) == 0 ? TRUE : FALSE; }

int MultiByteToWideChar(UINT CodePage, DWORD, const char* lpMultiByteStr, int cbMultiByte, WCHAR* lpWideCharStr,
                        int cchWideChar) {
    if (cbMultiByte == -1) cbMultiByte = static_cast<int>(std::strlen(lpMultiByteStr)) + 1;
    if (cbMultiByte <= 0) {
        last_error = static_cast<DWORD>(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(lpMultiByteStr);
    if (CodePage == CP_UTF8) {
        // Never more units than bytes: a buffer that large is written in one pass.
        if (lpWideCharStr != nullptr && cchWideChar >= cbMultiByte) {
            return DecodeUtf8<true>(bytes, cbMultiByte, lpWideCharStr);
        }
        bool ascii = AllAscii(bytes, cbMultiByte);
        int needed = ascii ? cbMultiByte : DecodeUtf8<false>(bytes, cbMultiByte, nullptr);
        if (lpWideCharStr == nullptr || cchWideChar == 0) return needed;
        if (cchWideChar < needed) {
            last_error = static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        if (ascii) {
            for (int i = 0; i < cbMultiByte; ++i) lpWideCharStr[i] = bytes[i];
            return cbMultiByte;
        }
        return DecodeUtf8<true>(bytes, cbMultiByte, lpWideCharStr);
    }
    if (CodePage == CP_ACP) {
        if (lpWideCharStr == nullptr || cchWideChar == 0) return cbMultiByte;
        if (cchWideChar < cbMultiByte) {
            last_error = static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        for (int i = 0; i < cbMultiByte; ++i) lpWideCharStr[i] = FromCp1252(bytes[i]);
        return cbMultiByte;
    }
    NotMeasured("MultiByteToWideChar (other code pages)");
}

int CompareStringW(LCID, DWORD dwCmpFlags, const WCHAR* lpString1, int cchCount1, const WCHAR* lpString2,
                   int cchCount2) {
    if ((dwCmpFlags & ~NORM_IGNORECASE) != 0) NotMeasured("CompareStringW (other flags)");
    std::size_t n1 = cchCount1 < 0 ? Length(lpString1) : static_cast<std::size_t>(cchCount1);
    std::size_t n2 = cchCount2 < 0 ? Length(lpString2) : static_cast<std::size_t>(cchCount2);
    if (dwCmpFlags == 0) {
        int c = std::u16string_view(lpString1, n1).compare(std::u16string_view(lpString2, n2));
        return c < 0 ? CSTR_LESS_THAN : c == 0 ? CSTR_EQUAL : CSTR_GREATER_THAN;
    }
    return CompareFolded(lpString1, n1, lpString2, n2);
}

// The sort key: each folded unit as two bytes, most significant first, then a 0 byte,
// so texts that compare equal ignoring case have equal keys.
int LCMapStringW(LCID, DWORD dwMapFlags, const WCHAR* lpSrcStr, int cchSrc, WCHAR* lpDestStr, int cchDest) {
    if (dwMapFlags != (LCMAP_SORTKEY | NORM_IGNORECASE)) NotMeasured("LCMapStringW (other mappings)");
    std::size_t n = cchSrc < 0 ? Length(lpSrcStr) : static_cast<std::size_t>(cchSrc);
    int needed = static_cast<int>(2 * n + 1);
    if (cchDest == 0) return needed;
    if (cchDest < needed) {
        last_error = static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    auto* key = reinterpret_cast<unsigned char*>(lpDestStr);
    for (std::size_t i = 0; i < n; ++i) {
        char16_t c = bench::FoldCase(lpSrcStr[i]);
        key[2 * i] = static_cast<unsigned char>(c >> 8);
        key[2 * i + 1] = static_cast<unsigned char>(c & 0xFF);
    }
    key[2 * n] = 0;
    return needed;
}

int CompareStringOrdinal(const WCHAR* lpString1, int cchCount1, const WCHAR* lpString2, int cchCount2,
                         BOOL bIgnoreCase) {
    std::size_t n1 = cchCount1 < 0 ? Length(lpString1) : static_cast<std::size_t>(cchCount1);
    std::size_t n2 = cchCount2 < 0 ? Length(lpString2) : static_cast<std::size_t>(cchCount2);
    if (bIgnoreCase) return CompareFolded(lpString1, n1, lpString2, n2);
    int c = std::u16string_view(lpString1, n1).compare(std::u16string_view(lpString2, n2));
    return c < 0 ? CSTR_LESS_THAN : c == 0 ? CSTR_EQUAL : CSTR_GREATER_THAN;
}

// --- named by the linked objects, outside every measurement ------------------------

DWORD GetTickCount() { NotMeasured("GetTickCount"); }
void GetLocalTime(SYSTEMTIME*) { NotMeasured("GetLocalTime"); }
HANDLE CreateThread(void*, std::size_t, LPTHREAD_START_ROUTINE, void*, DWORD, DWORD*) { NotMeasured("CreateThread"); }
int WideCharToMultiByte(UINT, DWORD, const WCHAR*, int, char*, int, const char*, BOOL*) {
    NotMeasured("WideCharToMultiByte");
}
void Sleep(DWORD) { NotMeasured("Sleep"); }
WCHAR* GetCommandLineW() { NotMeasured("GetCommandLineW"); }
DWORD GetModuleFileNameW(HMODULE, WCHAR*, DWORD) { NotMeasured("GetModuleFileNameW"); }
HMODULE GetModuleHandleW(const WCHAR*) { NotMeasured("GetModuleHandleW"); }
FARPROC GetProcAddress(HMODULE, const char*) { NotMeasured("GetProcAddress"); }
BOOL SetDllDirectoryW(const WCHAR*) { NotMeasured("SetDllDirectoryW"); }
DWORD GetFileAttributesW(const WCHAR*) { NotMeasured("GetFileAttributesW"); }
BOOL SetFileAttributesW(const WCHAR*, DWORD) { NotMeasured("SetFileAttributesW"); }
BOOL DeleteFileW(const WCHAR*) { NotMeasured("DeleteFileW"); }
BOOL MoveFileExW(const WCHAR*, const WCHAR*, DWORD) { NotMeasured("MoveFileExW"); }
DWORD GetShortPathNameW(const WCHAR*, WCHAR*, DWORD) { NotMeasured("GetShortPathNameW"); }
DWORD GetLongPathNameW(const WCHAR*, WCHAR*, DWORD) { NotMeasured("GetLongPathNameW"); }
BOOL GetFileInformationByHandle(HANDLE, BY_HANDLE_FILE_INFORMATION*) { NotMeasured("GetFileInformationByHandle"); }
DWORD GetFinalPathNameByHandleW(HANDLE, WCHAR*, DWORD, DWORD) { NotMeasured("GetFinalPathNameByHandleW"); }
BOOL GetKernelObjectSecurity(HANDLE, DWORD, void*, DWORD, DWORD*) { NotMeasured("GetKernelObjectSecurity"); }
BOOL WriteFile(HANDLE, const void*, DWORD, DWORD*, void*) { NotMeasured("WriteFile"); }
BOOL RemoveDirectoryW(const WCHAR*) { NotMeasured("RemoveDirectoryW"); }
BOOL CopyFileW(const WCHAR*, const WCHAR*, BOOL) { NotMeasured("CopyFileW"); }
UINT GetWindowsDirectoryW(WCHAR*, UINT) { NotMeasured("GetWindowsDirectoryW"); }
UINT GetSystemDirectoryW(WCHAR*, UINT) { NotMeasured("GetSystemDirectoryW"); }
DWORD GetTempPathW(DWORD, WCHAR*) { NotMeasured("GetTempPathW"); }
DWORD GetFullPathNameW(const WCHAR*, DWORD, WCHAR*, WCHAR**) { NotMeasured("GetFullPathNameW"); }
BOOL CreateProcessW(const WCHAR*, WCHAR*, void*, void*, BOOL, DWORD, void*, const WCHAR*, STARTUPINFOW*,
                    PROCESS_INFORMATION*) {
    NotMeasured("CreateProcessW");
}
DWORD WaitForSingleObject(HANDLE, DWORD) { NotMeasured("WaitForSingleObject"); }
BOOL GetExitCodeProcess(HANDLE, DWORD*) { NotMeasured("GetExitCodeProcess"); }

LONG RegOpenKeyExW(HKEY, const WCHAR*, DWORD, REGSAM, HKEY*) { NotMeasured("RegOpenKeyExW"); }
LONG RegCreateKeyW(HKEY, const WCHAR*, HKEY*) { NotMeasured("RegCreateKeyW"); }
LONG RegQueryValueExW(HKEY, const WCHAR*, DWORD*, DWORD*, BYTE*, DWORD*) { NotMeasured("RegQueryValueExW"); }
LONG RegQueryInfoKeyW(HKEY, WCHAR*, DWORD*, DWORD*, DWORD*, DWORD*, DWORD*, DWORD*, DWORD*, DWORD*, DWORD*, FILETIME*) {
    NotMeasured("RegQueryInfoKeyW");
}
LONG RegSetValueExW(HKEY, const WCHAR*, DWORD, DWORD, const BYTE*, DWORD) { NotMeasured("RegSetValueExW"); }
LONG RegDeleteValueW(HKEY, const WCHAR*) { NotMeasured("RegDeleteValueW"); }
LONG RegDeleteKeyW(HKEY, const WCHAR*) { NotMeasured("RegDeleteKeyW"); }
LONG RegEnumKeyExW(HKEY, DWORD, WCHAR*, DWORD*, DWORD*, WCHAR*, DWORD*, FILETIME*) { NotMeasured("RegEnumKeyExW"); }
LONG RegEnumKeyW(HKEY, DWORD, WCHAR*, DWORD) { NotMeasured("RegEnumKeyW"); }
LONG RegEnumValueW(HKEY, DWORD, WCHAR*, DWORD*, DWORD*, DWORD*, BYTE*, DWORD*) { NotMeasured("RegEnumValueW"); }
LONG RegCloseKey(HKEY) { NotMeasured("RegCloseKey"); }
BOOL AllocateAndInitializeSid(SID_IDENTIFIER_AUTHORITY*, BYTE, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD,
                              PSID*) {
    NotMeasured("AllocateAndInitializeSid");
}
void* FreeSid(PSID) { NotMeasured("FreeSid"); }

int MessageBoxW(HWND, const WCHAR*, const WCHAR*, UINT) { NotMeasured("MessageBoxW"); }
BOOL ShellExecuteExW(SHELLEXECUTEINFOW*) { NotMeasured("ShellExecuteExW"); }
void SHChangeNotify(LONG, UINT, const void*, const void*) { NotMeasured("SHChangeNotify"); }

HRESULT LoadTypeLib(const WCHAR*, ITypeLib**) { NotMeasured("LoadTypeLib"); }
HRESULT ITypeLib_GetLibAttr(ITypeLib*, TLIBATTR**) { NotMeasured("ITypeLib_GetLibAttr"); }
void ITypeLib_ReleaseTLibAttr(ITypeLib*, TLIBATTR*) { NotMeasured("ITypeLib_ReleaseTLibAttr"); }
ULONG ITypeLib_Release(ITypeLib*) { NotMeasured("ITypeLib_Release"); }

}  // namespace win
