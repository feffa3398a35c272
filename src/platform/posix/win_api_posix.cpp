// The few Windows functions the log checker needs, for running it natively on a POSIX
// system: reading a file, decoding Windows-1252 and UTF-8 as Windows does, and the
// case-insensitive comparisons. Nothing here writes anything: a file is only ever
// opened for reading.

#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cwctype>
#include <string>
#include <string_view>

#include "platform/utf8.h"
#include "platform/win_api.h"

namespace {

using win::DWORD;
using win::WCHAR;

constexpr char16_t kReplacement = 0xFFFD;

// Windows-1252 bytes 0x80 to 0x9F; the five bytes the code page leaves undefined map to
// the C1 control of the same value, as the Windows table does.
constexpr char16_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

char16_t FromWindows1252(unsigned char byte) {
    return byte >= 0x80 && byte <= 0x9F ? kWindows1252High[byte - 0x80] : static_cast<char16_t>(byte);
}

bool IsTrail(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

constexpr std::uint32_t kMalformed = 0xFFFFFFFF;

// One UTF-8 sequence from its lead byte on, decoded as Windows decodes it. A malformed
// sequence becomes one U+FFFD: it takes with it the bytes read up to the point where it
// is known to be malformed, and leaves a byte that cannot continue it for the next
// character. A sequence that the end of the input cuts short takes everything left.
std::uint32_t DecodeUtf8(const unsigned char* bytes, std::size_t size, std::size_t& position) {
    const unsigned char lead = bytes[position++];
    if (lead < 0x80) return lead;
    std::size_t trail = 0;
    if (lead >= 0xC2 && lead <= 0xDF) trail = 1;
    if (lead >= 0xE0 && lead <= 0xEF) trail = 2;
    if (lead >= 0xF0 && lead <= 0xF4) trail = 3;
    if (trail == 0) return kMalformed;
    if (position + trail > size) {
        position = size;
        return kMalformed;
    }
    std::uint32_t value = lead & (0x3Fu >> trail);
    for (std::size_t left = trail; left > 0; --left) {
        const unsigned char next = bytes[position];
        if (!IsTrail(next)) return kMalformed;
        value = (value << 6) | (next & 0x3Fu);
        // Above U+10FFFF: known before the byte is taken.
        if (trail == 3 && left == 2 && value >= (0x110000u >> 6)) return kMalformed;
        ++position;
        // Overlong forms and surrogates: known once the byte is taken.
        if (trail == 3 && left == 3 && value < 0x10) return kMalformed;
        if (trail == 2 && left == 2 && (value < 0x20 || (value >= (0xD800u >> 6) && value <= (0xDFFFu >> 6)))) {
            return kMalformed;
        }
    }
    return value;
}

// The decoded text of the bytes, without a length limit.
std::u16string Decode(win::UINT code_page, const unsigned char* bytes, std::size_t size) {
    std::u16string text;
    text.reserve(size);
    if (code_page != win::CP_UTF8) {
        for (std::size_t i = 0; i < size; ++i) text.push_back(FromWindows1252(bytes[i]));
        return text;
    }
    std::size_t position = 0;
    while (position < size) {
        const std::uint32_t value = DecodeUtf8(bytes, size, position);
        if (value == kMalformed) {
            text.push_back(kReplacement);
        } else if (value >= 0x10000) {
            text.push_back(static_cast<char16_t>(0xD800 + ((value - 0x10000) >> 10)));
            text.push_back(static_cast<char16_t>(0xDC00 + ((value - 0x10000) & 0x3FF)));
        } else {
            text.push_back(static_cast<char16_t>(value));
        }
    }
    return text;
}

// Simple upper-casing of one UTF-16 unit, from the C library's Unicode tables.
char16_t Upper(char16_t c) {
    if (c < 0x80) return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 0x20) : c;
    if (c >= 0xD800 && c <= 0xDFFF) return c;
    static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    if (unicode == static_cast<locale_t>(nullptr)) return c;
    const wint_t upper = towupper_l(static_cast<wint_t>(c), unicode);
    return upper <= 0xFFFF ? static_cast<char16_t>(upper) : c;
}

std::u16string_view View(const WCHAR* text, int length) {
    if (text == nullptr) return {};
    if (length < 0) return std::u16string_view(text);
    return std::u16string_view(text, static_cast<std::size_t>(length));
}

// What a comparison ignoring case sees: upper-cased, and without the NULs that Windows'
// word sort gives no weight.
std::u16string FoldForComparison(std::u16string_view text) {
    std::u16string folded;
    folded.reserve(text.size());
    for (char16_t c : text) {
        if (c != 0) folded.push_back(Upper(c));
    }
    return folded;
}

int Order(std::u16string_view a, std::u16string_view b) {
    const int order = a.compare(b);
    return order < 0 ? win::CSTR_LESS_THAN : order > 0 ? win::CSTR_GREATER_THAN : win::CSTR_EQUAL;
}

win::HANDLE HandleOf(int fd) {
    return reinterpret_cast<win::HANDLE>(static_cast<std::uintptr_t>(fd) + 1);
}
int DescriptorOf(win::HANDLE handle) {
    return static_cast<int>(reinterpret_cast<std::uintptr_t>(handle) - 1);
}

}  // namespace

namespace win {

HANDLE CreateFileW(const WCHAR* lpFileName, DWORD dwDesiredAccess, DWORD, void*, DWORD dwCreationDisposition, DWORD,
                   HANDLE) {
    // Reading an existing file is all this backend does.
    if (lpFileName == nullptr || dwDesiredAccess != GENERIC_READ || dwCreationDisposition != OPEN_EXISTING) {
        return INVALID_HANDLE_VALUE;
    }
    const std::string path = dismora::ToUtf8(lpFileName);
    int fd = -1;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return INVALID_HANDLE_VALUE;
    struct stat status {};
    // As on Windows, a folder does not open as a file.
    if (::fstat(fd, &status) != 0 || S_ISDIR(status.st_mode)) {
        ::close(fd);
        return INVALID_HANDLE_VALUE;
    }
    return HandleOf(fd);
}

BOOL ReadFile(HANDLE hFile, void* lpBuffer, DWORD nNumberOfBytesToRead, DWORD* lpNumberOfBytesRead, void*) {
    if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = 0;
    if (hFile == nullptr || hFile == INVALID_HANDLE_VALUE || lpBuffer == nullptr) return FALSE;
    ssize_t got = 0;
    do {
        got = ::read(DescriptorOf(hFile), lpBuffer, nNumberOfBytesToRead);
    } while (got < 0 && errno == EINTR);
    if (got < 0) return FALSE;
    if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = static_cast<DWORD>(got);
    return TRUE;
}

// The checker reads no error codes of its own; the owners of handles keep them across a close.
DWORD last_error = 0;
DWORD GetLastError() { return last_error; }
void SetLastError(DWORD dwErrCode) { last_error = dwErrCode; }

BOOL CloseHandle(HANDLE hObject) {
    if (hObject == nullptr || hObject == INVALID_HANDLE_VALUE) return FALSE;
    return ::close(DescriptorOf(hObject)) == 0 ? TRUE : FALSE;
}

// The ANSI code page is taken to be Windows-1252, the one of Western European Windows.
int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, const char* lpMultiByteStr, int cbMultiByte, WCHAR* lpWideCharStr,
                        int cchWideChar) {
    if (lpMultiByteStr == nullptr || cbMultiByte == 0 || cchWideChar < 0 || dwFlags != 0) return 0;
    if (CodePage != CP_ACP && CodePage != 1252 && CodePage != CP_UTF8) return 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(lpMultiByteStr);
    const std::size_t size =
        cbMultiByte < 0 ? std::char_traits<char>::length(lpMultiByteStr) + 1 : static_cast<std::size_t>(cbMultiByte);
    const std::u16string text = Decode(CodePage, bytes, size);
    if (text.size() > 0x7FFFFFFF) return 0;
    if (cchWideChar == 0) return static_cast<int>(text.size());
    if (lpWideCharStr == nullptr || text.size() > static_cast<std::size_t>(cchWideChar)) return 0;
    text.copy(lpWideCharStr, text.size());
    return static_cast<int>(text.size());
}

int CompareStringW(LCID, DWORD dwCmpFlags, const WCHAR* lpString1, int cchCount1, const WCHAR* lpString2,
                   int cchCount2) {
    if (lpString1 == nullptr || lpString2 == nullptr) return 0;
    const std::u16string_view a = View(lpString1, cchCount1);
    const std::u16string_view b = View(lpString2, cchCount2);
    if ((dwCmpFlags & NORM_IGNORECASE) != 0) return Order(FoldForComparison(a), FoldForComparison(b));
    return Order(a, b);
}

int LCMapStringW(LCID, DWORD dwMapFlags, const WCHAR* lpSrcStr, int cchSrc, WCHAR* lpDestStr, int cchDest) {
    // Only the sort key that goes with the comparison above: its units, high byte first,
    // then a zero byte. Texts that compare equal get equal keys.
    if ((dwMapFlags & LCMAP_SORTKEY) == 0 || lpSrcStr == nullptr || cchDest < 0) return 0;
    std::u16string_view source = View(lpSrcStr, cchSrc);
    const std::u16string units =
        (dwMapFlags & NORM_IGNORECASE) != 0 ? FoldForComparison(source) : std::u16string(source);
    std::string key;
    for (char16_t c : units) {
        key.push_back(static_cast<char>(c >> 8));
        key.push_back(static_cast<char>(c & 0xFF));
    }
    key.push_back('\0');
    if (key.size() > 0x7FFFFFFF) return 0;
    if (cchDest == 0) return static_cast<int>(key.size());
    if (lpDestStr == nullptr || key.size() > static_cast<std::size_t>(cchDest)) return 0;
    // A sort key is a byte string handed back through the wide-character parameter.
    key.copy(reinterpret_cast<char*>(lpDestStr), key.size());
    return static_cast<int>(key.size());
}

int CompareStringOrdinal(const WCHAR* lpString1, int cchCount1, const WCHAR* lpString2, int cchCount2,
                         BOOL bIgnoreCase) {
    if (lpString1 == nullptr || lpString2 == nullptr) return 0;
    std::u16string a(View(lpString1, cchCount1));
    std::u16string b(View(lpString2, cchCount2));
    if (bIgnoreCase) {
        for (char16_t& c : a) c = Upper(c);
        for (char16_t& c : b) c = Upper(c);
    }
    return Order(a, b);
}

}  // namespace win
