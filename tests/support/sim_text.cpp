// Text: case mapping, MultiByteToWideChar (Windows-1252 and UTF-8), CompareStringW.
#include <cstring>

#include "support/sim_state.h"
#include "platform/utf8.h"

namespace dismora::sim {

namespace {

using detail::Current;
using detail::Enter;

// Pairs laid out as upper, lower, upper, lower ... from first: the lower one maps down.
char16_t PairUpper(char16_t c, char16_t first, char16_t last, bool* hit) {
    if (c < first || c > last || (c - first) % 2 == 0) return c;
    *hit = true;
    return static_cast<char16_t>(c - 1);
}

struct Single {
    char16_t lower;
    char16_t upper;
};

// Latin Extended-B letters that do not sit in regular pairs.
constexpr Single kLatinExtendedB[] = {
    {0x0183, 0x0182}, {0x0185, 0x0184}, {0x0188, 0x0187}, {0x018C, 0x018B}, {0x0192, 0x0191},
    {0x0199, 0x0198}, {0x01A1, 0x01A0}, {0x01A3, 0x01A2}, {0x01A5, 0x01A4}, {0x01A8, 0x01A7},
    {0x01AD, 0x01AC}, {0x01B0, 0x01AF}, {0x01B4, 0x01B3}, {0x01B6, 0x01B5}, {0x01B9, 0x01B8},
    {0x01BD, 0x01BC}, {0x01C5, 0x01C4}, {0x01C6, 0x01C4}, {0x01C8, 0x01C7}, {0x01C9, 0x01C7},
    {0x01CB, 0x01CA}, {0x01CC, 0x01CA}, {0x01F2, 0x01F1}, {0x01F3, 0x01F1}, {0x01F5, 0x01F4},
    {0x0253, 0x0181}, {0x0254, 0x0186}, {0x0256, 0x0189}, {0x0257, 0x018A}, {0x0259, 0x018F},
    {0x025B, 0x0190}, {0x0260, 0x0193}, {0x0263, 0x0194}, {0x0268, 0x0197}, {0x0269, 0x0196},
    {0x026F, 0x019C}, {0x0272, 0x019D}, {0x0275, 0x019F}, {0x0280, 0x01A6}, {0x0283, 0x01A9},
    {0x0288, 0x01AE}, {0x028A, 0x01B1}, {0x028B, 0x01B2}, {0x0292, 0x01B7},
};

// Windows-1252 bytes 0x80 to 0x9F; the five bytes it leaves undefined map to the C1
// control of the same value, as Windows' table (c_1252.nls) does.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

char16_t Cp1252(unsigned char byte) {
    if (byte >= 0x80 && byte <= 0x9F) return kCp1252High[byte - 0x80];
    return byte;
}

// One UTF-8 sequence after its lead byte, as Windows 10 and Wine decode it: the longest
// valid prefix of a malformed sequence is consumed and becomes one U+FFFD; a sequence
// cut by the end of the input swallows what is left. Returns a value above 0x10FFFF for
// a malformed sequence.
unsigned DecodeUtf8(unsigned char lead, const unsigned char* text, std::size_t size, std::size_t* pos) {
    static constexpr unsigned char kTrail[128] = {
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
        2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    };
    static constexpr unsigned char kMask[4] = {0x7F, 0x1F, 0x0F, 0x07};
    const unsigned trail = kTrail[lead - 0x80];
    unsigned value = lead & kMask[trail];
    const std::size_t end = *pos + trail;
    if (end > size) {
        *pos = size;
        return ~0u;
    }
    auto next = [&](std::size_t at, unsigned* bits) {
        *bits = text[at] ^ 0x80u;
        return *bits < 0x40;
    };
    unsigned bits = 0;
    switch (trail) {
        case 3:
            if (!next(end - 3, &bits)) break;
            value = (value << 6) | bits;
            ++*pos;
            if (value < 0x10) break;
            [[fallthrough]];
        case 2:
            if (!next(end - 2, &bits)) break;
            value = (value << 6) | bits;
            if (value >= (0x110000 >> 6)) break;
            ++*pos;
            if (value < 0x20) break;
            if (value >= (0xD800 >> 6) && value <= (0xDFFF >> 6)) break;
            [[fallthrough]];
        case 1:
            if (!next(end - 1, &bits)) break;
            value = (value << 6) | bits;
            ++*pos;
            if (value < 0x80) break;
            return value;
        default:
            break;
    }
    return ~0u;
}

constexpr DWORD kKnownCompareFlags = 0x1 | 0x2 | 0x4 | 0x8 | 0x10 | 0x20 | 0x1000 | 0x10000 | 0x20000 | 0x08000000;

// The user's Turkish casing: i upper-cases to the dotted capital I, the dotless i to I.
bool TurkishCasing(const detail::State& s, win::LCID locale) {
    return s.turkish_user_locale && locale == win::LOCALE_USER_DEFAULT;
}

char16_t LocaleUpper(char16_t c, bool turkish) {
    if (turkish && c == u'i') return 0x0130;
    if (turkish && c == 0x0131) return u'I';
    return detail::Upper(c);
}

bool IsLower(char16_t c, bool turkish = false) { return LocaleUpper(c, turkish) != c; }

// Word sort, as Windows' default comparison does it: NUL has no weight at all; the hyphen
// and the apostrophe count only after everything else is equal.
bool IsSpecial(char16_t c) { return c == u'-' || c == u'\''; }

std::u16string WithoutNul(std::u16string_view text) {
    std::u16string out;
    for (char16_t c : text) {
        if (c) out += c;
    }
    return out;
}

std::u16string Primary(std::u16string_view text) {
    std::u16string out;
    for (char16_t c : text) {
        if (c && !IsSpecial(c)) out += c;
    }
    return out;
}

}  // namespace

namespace detail {

char16_t Upper(char16_t c) {
    if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
    if (c < 0x100) {
        if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
        if (c == 0xFF) return 0x0178;
        return c;
    }
    bool hit = false;
    char16_t r = c;
    if (c < 0x180) {
        if (c == 0x0130 || c == 0x0131 || c == 0x0138 || c == 0x0149 || c == 0x017F) return c;
        r = PairUpper(c, 0x0100, 0x012F, &hit);
        if (!hit) r = PairUpper(c, 0x0132, 0x0137, &hit);
        if (!hit) r = PairUpper(c, 0x0139, 0x0148, &hit);
        if (!hit) r = PairUpper(c, 0x014A, 0x0177, &hit);
        if (!hit) r = PairUpper(c, 0x0179, 0x017E, &hit);
        return r;
    }
    if (c < 0x0300) {
        for (const Single& s : kLatinExtendedB) {
            if (s.lower == c) return s.upper;
        }
        r = PairUpper(c, 0x01CD, 0x01DC, &hit);
        if (!hit) r = PairUpper(c, 0x01DE, 0x01EF, &hit);
        if (!hit) r = PairUpper(c, 0x01F8, 0x021F, &hit);
        if (!hit) r = PairUpper(c, 0x0222, 0x0233, &hit);
        return r;
    }
    if (c < 0x0400) {  // Greek
        if (c == 0x03AC) return 0x0386;
        if (c >= 0x03AD && c <= 0x03AF) return static_cast<char16_t>(c - 0x25);
        if (c == 0x03C2) return 0x03A3;
        if ((c >= 0x03B1 && c <= 0x03C1) || (c >= 0x03C3 && c <= 0x03CB)) return static_cast<char16_t>(c - 0x20);
        if (c == 0x03CC) return 0x038C;
        if (c == 0x03CD || c == 0x03CE) return static_cast<char16_t>(c - 0x3F);
        return PairUpper(c, 0x03D8, 0x03EF, &hit);
    }
    if (c < 0x0530) {  // Cyrillic
        if (c >= 0x0430 && c <= 0x044F) return static_cast<char16_t>(c - 0x20);
        if (c >= 0x0450 && c <= 0x045F) return static_cast<char16_t>(c - 0x50);
        if (c == 0x04CF) return 0x04C0;
        r = PairUpper(c, 0x0460, 0x0481, &hit);
        if (!hit) r = PairUpper(c, 0x048A, 0x04BF, &hit);
        if (!hit) r = PairUpper(c, 0x04C1, 0x04CE, &hit);
        if (!hit) r = PairUpper(c, 0x04D0, 0x052F, &hit);
        return r;
    }
    if (c >= 0x0561 && c <= 0x0586) return static_cast<char16_t>(c - 0x30);  // Armenian
    if (c >= 0x1E00 && c <= 0x1EFF) {                                        // Latin Extended Additional
        if (c > 0x1E95 && c < 0x1EA0) return c;
        return PairUpper(c, c < 0x1EA0 ? 0x1E00 : 0x1EA0, c < 0x1EA0 ? 0x1E95 : 0x1EFF, &hit);
    }
    if (c >= 0x2170 && c <= 0x217F) return static_cast<char16_t>(c - 0x10);  // Roman numerals
    if (c >= 0x24D0 && c <= 0x24E9) return static_cast<char16_t>(c - 0x1A);  // circled letters
    if (c >= 0xFF41 && c <= 0xFF5A) return static_cast<char16_t>(c - 0x20);  // full-width Latin
    return c;
}

std::u16string Fold(std::u16string_view text) {
    std::u16string out(text);
    for (char16_t& c : out) c = Upper(c);
    return out;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Upper(a[i]) != Upper(b[i])) return false;
    }
    return true;
}

std::u16string FromC(const char16_t* text) { return text ? std::u16string(text) : std::u16string(); }

std::u16string Hex(std::uint64_t value) {
    static constexpr char16_t kDigits[] = u"0123456789abcdef";
    std::u16string out;
    do {
        out.insert(out.begin(), kDigits[value & 0xF]);
        value >>= 4;
    } while (value);
    return out;
}

}  // namespace detail

std::string Narrow(std::u16string_view text) {
    return ToUtf8(text);
}

std::u16string Widen(std::string_view utf8) {
    std::u16string out;
    const auto* bytes = reinterpret_cast<const unsigned char*>(utf8.data());
    std::size_t pos = 0;
    while (pos < utf8.size()) {
        const unsigned char lead = bytes[pos++];
        if (lead < 0x80) {
            out += static_cast<char16_t>(lead);
            continue;
        }
        const unsigned value = DecodeUtf8(lead, bytes, utf8.size(), &pos);
        if (value > 0x10FFFF) {
            out += u'\xFFFD';
        } else if (value > 0xFFFF) {
            out += static_cast<char16_t>(0xD800 | ((value - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 | ((value - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(value);
        }
    }
    return out;
}

void Machine::SetUserLocaleTurkish(bool turkish) { state_->turkish_user_locale = turkish; }

}  // namespace dismora::sim

namespace win {

namespace sim = dismora::sim;
namespace sd = dismora::sim::detail;
using sd::Upper;

// UTF-8 only, as the program uses it: a lone surrogate becomes U+FFFD; for UTF-8 Windows
// takes neither a default character nor flags other than WC_ERR_INVALID_CHARS.
int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, const WCHAR* lpWideCharStr, int cchWideChar, char* lpMultiByteStr,
                        int cbMultiByte, const char* lpDefaultChar, BOOL* lpUsedDefaultChar) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "WideCharToMultiByte")) {
        s.SetError(*fault);
        return 0;
    }
    if (CodePage != CP_UTF8) {
        s.Violation("WideCharToMultiByte: code page " + std::to_string(CodePage) + " is not modelled");
        s.SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!lpWideCharStr || cchWideChar == 0 || (!lpMultiByteStr && cbMultiByte) || cbMultiByte < 0 || lpDefaultChar ||
        lpUsedDefaultChar || (dwFlags & ~DWORD{0x80})) {
        s.SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::size_t size = cchWideChar < 0 ? std::char_traits<char16_t>::length(lpWideCharStr) + 1
                                             : static_cast<std::size_t>(cchWideChar);
    const std::string out = dismora::ToUtf8(std::u16string_view(lpWideCharStr, size));
    if (cbMultiByte == 0) return static_cast<int>(out.size());
    if (out.size() > static_cast<std::size_t>(cbMultiByte)) {
        s.SetError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::copy(out.begin(), out.end(), lpMultiByteStr);
    return static_cast<int>(out.size());
}

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, const char* lpMultiByteStr, int cbMultiByte,
                        WCHAR* lpWideCharStr, int cchWideChar) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "MultiByteToWideChar")) {
        s.SetError(*fault);
        return 0;
    }
    if (!lpMultiByteStr || cbMultiByte == 0 || (!lpWideCharStr && cchWideChar) || cchWideChar < 0) {
        s.SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // Any negative length means NUL-terminated, the NUL converted too.
    const std::size_t size = cbMultiByte < 0 ? std::strlen(lpMultiByteStr) + 1 : static_cast<std::size_t>(cbMultiByte);
    const auto* bytes = reinterpret_cast<const unsigned char*>(lpMultiByteStr);

    if (CodePage == CP_ACP || CodePage == 1252) {
        if (dwFlags & ~DWORD{0xF}) {
            s.SetError(sd::kErrorInvalidFlags);
            return 0;
        }
        if (cchWideChar == 0) return static_cast<int>(size);
        const std::size_t room = static_cast<std::size_t>(cchWideChar);
        const std::size_t count = size < room ? size : room;
        for (std::size_t i = 0; i < count; ++i) lpWideCharStr[i] = sim::Cp1252(bytes[i]);
        if (count < size) {
            // Windows fills the buffer as far as it goes before it reports the shortage.
            s.SetError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        return static_cast<int>(size);
    }
    if (CodePage != CP_UTF8) {
        s.Violation("MultiByteToWideChar: code page " + std::to_string(CodePage) + " is not modelled");
        s.SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // UTF-8 accepts no flag but MB_ERR_INVALID_CHARS.
    if (dwFlags & ~sd::kMbErrInvalidChars) {
        s.SetError(sd::kErrorInvalidFlags);
        return 0;
    }
    const bool strict = (dwFlags & sd::kMbErrInvalidChars) != 0;
    bool unmapped = false;
    std::size_t pos = 0;
    std::size_t out = 0;
    const std::size_t room = static_cast<std::size_t>(cchWideChar);
    while (pos < size && (cchWideChar == 0 || out < room)) {
        const unsigned char lead = bytes[pos++];
        unsigned value = lead;
        if (lead >= 0x80) value = sim::DecodeUtf8(lead, bytes, size, &pos);
        if (value > 0x10FFFF) {
            unmapped = true;
            if (cchWideChar) lpWideCharStr[out] = 0xFFFD;
            ++out;
        } else if (value > 0xFFFF) {
            const unsigned v = value - 0x10000;
            if (cchWideChar) {
                lpWideCharStr[out] = static_cast<WCHAR>(0xD800 | (v >> 10));
                if (out + 1 == room) {
                    ++out;
                    break;
                }
                lpWideCharStr[out + 1] = static_cast<WCHAR>(0xDC00 | (v & 0x3FF));
            }
            out += 2;
        } else {
            if (cchWideChar) lpWideCharStr[out] = static_cast<WCHAR>(value);
            ++out;
        }
    }
    if (unmapped && strict) {
        s.SetError(sd::kErrorNoUnicodeTranslation);
        return 0;
    }
    if (cchWideChar != 0 && pos < size) {
        s.SetError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    return static_cast<int>(out);
}

int CompareStringW(LCID Locale, DWORD dwCmpFlags, const WCHAR* lpString1, int cchCount1, const WCHAR* lpString2,
                   int cchCount2) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "CompareStringW")) {
        s.SetError(*fault);
        return 0;
    }
    const bool turkish = sim::TurkishCasing(s, Locale);
    if (!lpString1 || !lpString2) {
        s.SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (dwCmpFlags & ~sim::kKnownCompareFlags) {
        s.SetError(sd::kErrorInvalidFlags);
        return 0;
    }
    if (dwCmpFlags & ~NORM_IGNORECASE) {
        s.Violation("CompareStringW: only NORM_IGNORECASE is modelled, flags " + std::to_string(dwCmpFlags));
    }
    // Any negative count means NUL-terminated.
    const std::u16string_view a(lpString1, cchCount1 < 0 ? std::char_traits<char16_t>::length(lpString1)
                                                         : static_cast<std::size_t>(cchCount1));
    const std::u16string_view b(lpString2, cchCount2 < 0 ? std::char_traits<char16_t>::length(lpString2)
                                                         : static_cast<std::size_t>(cchCount2));
    const std::u16string pa = sim::Primary(a);
    const std::u16string pb = sim::Primary(b);
    const std::size_t common = pa.size() < pb.size() ? pa.size() : pb.size();
    for (std::size_t i = 0; i < common; ++i) {
        const char16_t x = sim::LocaleUpper(pa[i], turkish);
        const char16_t y = sim::LocaleUpper(pb[i], turkish);
        if (x != y) return x < y ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
    }
    if (pa.size() != pb.size()) return pa.size() < pb.size() ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
    if (!(dwCmpFlags & NORM_IGNORECASE)) {
        // Texts equal but for case: lower case sorts first, as in Windows' tertiary weights.
        for (std::size_t i = 0; i < pa.size(); ++i) {
            if (pa[i] == pb[i]) continue;
            return sim::IsLower(pa[i], turkish) ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
        }
    }
    // Equal but for hyphens and apostrophes: the text with one where the other has none
    // sorts after it.
    const std::u16string fa = sim::WithoutNul(a);
    const std::u16string fb = sim::WithoutNul(b);
    for (std::size_t i = 0; i < fa.size() || i < fb.size(); ++i) {
        const char16_t x = i < fa.size() ? sim::LocaleUpper(fa[i], turkish) : u'\0';
        const char16_t y = i < fb.size() ? sim::LocaleUpper(fb[i], turkish) : u'\0';
        if (x == y) continue;
        if (x && sim::IsSpecial(x)) return CSTR_GREATER_THAN;
        return CSTR_LESS_THAN;
    }
    return CSTR_EQUAL;
}

}  // namespace win

namespace win {

int LCMapStringW(LCID Locale, DWORD dwMapFlags, const WCHAR* lpSrcStr, int cchSrc, WCHAR* lpDestStr, int cchDest) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "LCMapStringW")) {
        s.SetError(*fault);
        return 0;
    }
    if (!lpSrcStr || cchSrc == 0 || cchDest < 0 || (!lpDestStr && cchDest)) {
        s.SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::u16string_view source(lpSrcStr, cchSrc < 0 ? std::char_traits<char16_t>::length(lpSrcStr)
                                                          : static_cast<std::size_t>(cchSrc));
    constexpr DWORD kUppercase = 0x200;
    if (dwMapFlags == kUppercase) {
        // Case mapping works in characters; a -1 length maps the NUL too.
        std::u16string out = sd::Fold(source);
        if (cchSrc < 0) out += u'\0';
        if (cchDest == 0) return static_cast<int>(out.size());
        if (static_cast<std::size_t>(cchDest) < out.size()) {
            s.SetError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        out.copy(lpDestStr, out.size());
        return static_cast<int>(out.size());
    }
    if (!(dwMapFlags & LCMAP_SORTKEY) || (dwMapFlags & ~(LCMAP_SORTKEY | NORM_IGNORECASE))) {
        s.Violation("LCMapStringW: only LCMAP_SORTKEY (with NORM_IGNORECASE) and LCMAP_UPPERCASE are modelled");
        s.SetError(sim::detail::kErrorInvalidFlags);
        return 0;
    }
    // A sort key is bytes, sized and returned in bytes: the primary weights, then the
    // diacritic, case and special sections, each after a 1, and a final 0. A weight is the
    // upper-cased code unit in three bytes of at least 2, so that keys compare with memcmp
    // as CompareStringW compares the texts.
    std::string key;
    auto weight = [&key](unsigned value) {
        key += static_cast<char>(2 + (value >> 12));
        key += static_cast<char>(2 + ((value >> 6) & 0x3F));
        key += static_cast<char>(2 + (value & 0x3F));
    };
    const bool turkish = sim::TurkishCasing(s, Locale);
    const std::u16string primary = sim::Primary(source);
    for (char16_t c : primary) weight(sim::LocaleUpper(c, turkish));
    key += '\x01';
    key += '\x01';
    if (!(dwMapFlags & NORM_IGNORECASE)) {
        for (char16_t c : primary) key += sim::IsLower(c, turkish) ? '\x02' : '\x12';
    }
    key += '\x01';
    const std::u16string full = sim::WithoutNul(source);
    for (std::size_t i = 0; i < full.size(); ++i) {
        if (!sim::IsSpecial(full[i])) continue;
        weight(static_cast<unsigned>(i));
        weight(full[i]);
    }
    key += '\0';
    if (cchDest == 0) return static_cast<int>(key.size());
    if (static_cast<std::size_t>(cchDest) < key.size()) {
        s.SetError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(lpDestStr, key.data(), key.size());
    return static_cast<int>(key.size());
}

int CompareStringOrdinal(const WCHAR* lpString1, int cchCount1, const WCHAR* lpString2, int cchCount2,
                         BOOL bIgnoreCase) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "CompareStringOrdinal")) {
        s.SetError(*fault);
        return 0;
    }
    if (!lpString1 || !lpString2) {
        s.SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::u16string_view a(lpString1, cchCount1 < 0 ? std::char_traits<char16_t>::length(lpString1)
                                                         : static_cast<std::size_t>(cchCount1));
    const std::u16string_view b(lpString2, cchCount2 < 0 ? std::char_traits<char16_t>::length(lpString2)
                                                         : static_cast<std::size_t>(cchCount2));
    // Code unit by code unit, through the system's upper-case table when ignoring case.
    const std::size_t common = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < common; ++i) {
        const char16_t x = bIgnoreCase ? Upper(a[i]) : a[i];
        const char16_t y = bIgnoreCase ? Upper(b[i]) : b[i];
        if (x != y) return x < y ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
    }
    if (a.size() == b.size()) return CSTR_EQUAL;
    return a.size() < b.size() ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
}

}  // namespace win
