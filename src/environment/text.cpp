#include "environment/text.h"

#include "platform/win_api.h"

namespace dismora {

namespace {

bool IsPathSeparator(char16_t c) {
    return c == u'\\' || c == u':';
}

char16_t FoldAscii(char16_t c) {
    return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
}

int HexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    // Setting bit 5 turns A-F into a-f and nothing else into a-f.
    const int lower = c | 0x20;
    if (lower >= u'a' && lower <= u'f') return lower - u'a' + 10;
    return -1;
}

// x or X.
bool IsHexMark(char16_t c) {
    return (c | 0x20) == u'x';
}

}  // namespace

Text Concat(std::initializer_list<TextView> parts) {
    std::size_t length = 0;
    for (TextView part : parts) length += part.size();
    Text result;
    result.reserve(length);
    for (TextView part : parts) result.append(part);
    return result;
}

void AppendAscii(Text& text, const char* ascii) {
    while (*ascii != 0) text.push_back(static_cast<char16_t>(*ascii++));
}

// Called with many a literal: one call each rather than the loop inlined into every caller.
[[gnu::noinline]] Text FromAscii(const char* ascii) {
    Text result;
    AppendAscii(result, ascii);
    return result;
}

void AssignAscii(Text& text, const char* ascii) {
    text.clear();
    AppendAscii(text, ascii);
}

Text TextFromBuffer(const char16_t* buffer, std::size_t capacity) {
    std::size_t length = 0;
    while (length < capacity && buffer[length] != 0) ++length;
    return Text(buffer, length);
}

void EndWithBackslash(Text& text) {
    if (!text.empty() && text.back() != u'\\') text.push_back(u'\\');
}

Text AppendTrailingBackslash(TextView text) {
    Text result(text);
    EndWithBackslash(result);
    return result;
}

Text DriveOrShareRoot(TextView path) {
    // One text built at the end from a length: no substr with its range check per case.
    std::size_t length = 0;
    if (path.size() >= 2 && path[1] == u':') {
        length = 2;
    } else if (path.size() >= 2 && path[0] == u'\\' && path[1] == u'\\') {
        length = path.size() >= 3 && path.back() == u'\\' ? path.size() - 1 : path.size();
        std::size_t seen = 0;
        for (std::size_t i = 2; i < path.size(); ++i) {
            if (path[i] == u'\\' && ++seen == 2) {
                length = i;
                break;
            }
        }
    }
    return Text(path.data(), length);
}

bool PathFromWindows(const char16_t* path, bool long_names, Text& result) {
    Text buffer;
    win::DWORD size = 0;
    // The first call asks for the size; a path that grew meanwhile gets one more try.
    for (int attempt = 0; attempt < 3; ++attempt) {
        win::DWORD length = long_names ? win::GetLongPathNameW(path, buffer.data(), size)
                                       : win::GetFullPathNameW(path, size, buffer.data(), nullptr);
        if (length == 0) return false;
        if (length < size) {
            buffer.resize(length);
            result = std::move(buffer);
            return true;
        }
        size = length + 1;
        buffer.resize(size);
    }
    return false;
}

bool CanonicalPath(const Text& path, Text& form) {
    const bool literal = TextView(path).substr(0, 4) == u"\\\\?\\";
    return PathFromWindows(path.c_str() + (literal ? 4 : 0), false, form) &&
           (form.find(u'~') == Text::npos || PathFromWindows(form.c_str(), true, form));
}

Text FolderPart(TextView path) {
    for (std::size_t i = path.size(); i > 0; --i) {
        if (IsPathSeparator(path[i - 1])) return Text(path.substr(0, i));
    }
    return Text();
}

Text FileNamePart(TextView path) {
    for (std::size_t i = path.size(); i > 0; --i) {
        if (IsPathSeparator(path[i - 1])) return Text(path.substr(i));
    }
    return Text(path);
}

Text Extension(TextView path) {
    for (std::size_t i = path.size(); i > 0; --i) {
        char16_t c = path[i - 1];
        if (c == u'.') return Text(path.substr(i - 1));
        if (IsPathSeparator(c)) break;
    }
    return Text();
}

bool FileExists(const Text& path) {
    win::DWORD attributes = win::GetFileAttributesW(path.c_str());
    return attributes != win::INVALID_FILE_ATTRIBUTES && (attributes & win::FILE_ATTRIBUTE_DIRECTORY) == 0;
}

Text SubstituteFirst(TextView format, TextView argument) {
    for (std::size_t at = 0; at + 1 < format.size(); ++at) {
        if (format[at] == u'%' && format[at + 1] == u's') {
            return Concat({TextView(format.data(), at), argument,
                           TextView(format.data() + at + 2, format.size() - at - 2)});
        }
    }
    return Text(format);
}

std::int32_t ParseInteger(TextView text) {
    std::size_t i = 0;
    while (i < text.size() && text[i] == u' ') ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    if (i >= text.size()) return -1;

    bool hex = false;
    if (text[i] == u'$' || IsHexMark(text[i])) {
        hex = true;
        ++i;
    } else if (text[i] == u'0' && i + 1 < text.size() && IsHexMark(text[i + 1])) {
        hex = true;
        i += 2;
    }
    if (i >= text.size()) return -1;

    // One loop for both bases; the limit is the largest magnitude the base may give.
    const std::uint32_t base = hex ? 16 : 10;
    const std::uint32_t limit = hex ? 0xFFFFFFFFU : 0x80000000U;
    std::uint32_t value = 0;
    for (; i < text.size(); ++i) {
        const int digit = HexDigit(text[i]);
        if (digit < 0 || static_cast<std::uint32_t>(digit) >= base) return -1;
        if (value > (limit - static_cast<std::uint32_t>(digit)) / base) return -1;
        value = value * base + static_cast<std::uint32_t>(digit);
    }
    if (negative) return static_cast<std::int32_t>(0U - value);
    if (!hex && value > 0x7FFFFFFFU) return -1;
    return static_cast<std::int32_t>(value);
}

std::int32_t CompareAsciiNoCase(TextView a, TextView b) {
    if (a.empty()) return -static_cast<std::int32_t>(b.size());
    if (b.empty()) return static_cast<std::int32_t>(a.size());
    std::size_t shorter = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < shorter; ++i) {
        char16_t x = FoldAscii(a[i]);
        char16_t y = FoldAscii(b[i]);
        if (x != y) return static_cast<std::int32_t>(x) - static_cast<std::int32_t>(y);
    }
    return static_cast<std::int32_t>(a.size()) - static_cast<std::int32_t>(b.size());
}

bool EqualsAsciiNoCase(TextView a, TextView b) {
    // What CompareAsciiNoCase calls equal, without the order it works out on the way.
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
    }
    return true;
}

std::int32_t CompareLocaleNoCase(TextView a, TextView b) {
    static const char16_t kEmpty[] = u"";
    const char16_t* first = a.empty() ? kEmpty : a.data();
    const char16_t* second = b.empty() ? kEmpty : b.data();
    return win::CompareStringW(win::LOCALE_USER_DEFAULT, win::NORM_IGNORECASE, first, static_cast<int>(a.size()),
                               second, static_cast<int>(b.size())) -
           2;
}

Text Trim(TextView text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && text[begin] <= 0x20) ++begin;
    while (end > begin && text[end - 1] <= 0x20) --end;
    return Text(text.substr(begin, end - begin));
}

Text DecimalText(std::uint32_t value) {
    char16_t digits[10];
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<char16_t>(u'0' + value % 10);
        value /= 10;
    } while (value != 0);
    Text result;
    while (count > 0) result.push_back(digits[--count]);
    return result;
}

}  // namespace dismora
