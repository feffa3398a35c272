// Text and path helpers shared by the whole program. Text is UTF-16.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace dismora {

using Text = std::u16string;
using TextView = std::u16string_view;

// The parts one after another. One out-of-line routine keeps every joined text from
// growing its own copy of the string code.
Text Concat(std::initializer_list<TextView> parts);

// An ASCII text as UTF-16. Fixed tables of names are kept as ASCII: half the bytes.
Text FromAscii(const char* ascii);
// The same appended to a text, without a text of its own in between.
void AppendAscii(Text& text, const char* ascii);
void AssignAscii(Text& text, const char* ascii);

// A text taken from a fixed Windows buffer: up to its first NUL, at most capacity units.
Text TextFromBuffer(const char16_t* buffer, std::size_t capacity);

// Appends "\" unless the text is empty or already ends with one.
Text AppendTrailingBackslash(TextView text);
void EndWithBackslash(Text& text);

// "C:" for a drive path, "\\server\share" for a share path, else empty.
Text DriveOrShareRoot(TextView path);

// Everything up to and including the last "\" or ":"; empty when there is neither.
Text FolderPart(TextView path);

// Everything after the last "\" or ":"; the whole text when there is neither.
Text FileNamePart(TextView path);

// From the last "." to the end, unless a "\" or ":" follows it; else empty.
Text Extension(TextView path);

// True when the path exists and is not a folder.
bool FileExists(const Text& path);

// What Windows makes of a path: its full form (GetFullPathNameW), or with long_names its
// 8.3 names expanded (GetLongPathNameW). False when Windows gives none.
bool PathFromWindows(const char16_t* path, bool long_names, Text& result);

// One text for every spelling of a path: the full path as Windows resolves it, without
// the prefix that turns resolution off, its short names expanded. False when Windows
// gives none.
bool CanonicalPath(const Text& path, Text& form);

// Replaces the first "%s" of the format by the argument; nothing else is special.
Text SubstituteFirst(TextView format, TextView argument);

// The whole text as one 32-bit number (blanks, sign, decimal or $/x/0x hex); -1 when it is not.
std::int32_t ParseInteger(TextView text);

// Zero when both texts match after folding a-z onto A-Z (and only those).
std::int32_t CompareAsciiNoCase(TextView a, TextView b);
bool EqualsAsciiNoCase(TextView a, TextView b);

// CompareStringW in the user's locale ignoring case, minus 2: zero when equal.
std::int32_t CompareLocaleNoCase(TextView a, TextView b);

// Strips every unit up to U+0020 from both ends.
Text Trim(TextView text);

// Decimal digits of a non-negative number.
Text DecimalText(std::uint32_t value);

// Exact comparison of whole texts (the terminators, the scope line, protected folders).
inline bool SameText(TextView a, TextView b) {
    return a == b;
}

}  // namespace dismora
