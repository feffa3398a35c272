// Edge behaviour of the text and path helpers: it shows through in which switches,
// registry roots, components and folders match.
#include <gtest/gtest.h>

#include "driver/command_line.h"
#include "driver/relaunch.h"
#include "environment/text.h"

namespace dismora {
namespace {

struct PathCase {
    const char16_t* path;
    const char16_t* folder;
    const char16_t* file_name;
    const char16_t* extension;
};

TEST(PathParts, FolderFileNameAndExtension) {
    const PathCase cases[] = {
        {u"C:\\App\\bin\\tool.exe", u"C:\\App\\bin\\", u"tool.exe", u".exe"},
        {u"tool.exe", u"", u"tool.exe", u".exe"},
        {u"D:name.txt", u"D:", u"name.txt", u".txt"},
        {u"C:\\App\\", u"C:\\App\\", u"", u""},
        {u"C:\\Tools.New\\viewer", u"C:\\Tools.New\\", u"viewer", u""},
        {u"C:\\a\\archive.tar.gz", u"C:\\a\\", u"archive.tar.gz", u".gz"},
        {u"C:\\a\\name.", u"C:\\a\\", u"name.", u"."},
        {u"C:\\a\\.profile", u"C:\\a\\", u".profile", u".profile"},
        {u"C:/App/tool.exe", u"C:", u"/App/tool.exe", u".exe"},
        {u"", u"", u"", u""},
    };
    for (const PathCase& c : cases) {
        SCOPED_TRACE(std::string(c.path, c.path + std::char_traits<char16_t>::length(c.path)));
        EXPECT_EQ(FolderPart(c.path), c.folder);
        EXPECT_EQ(FileNamePart(c.path), c.file_name);
        EXPECT_EQ(Extension(c.path), c.extension);
    }
}

TEST(PathParts, TrailingBackslashAndRoots) {
    EXPECT_EQ(AppendTrailingBackslash(u""), u"");
    EXPECT_EQ(AppendTrailingBackslash(u"C:\\Windows"), u"C:\\Windows\\");
    EXPECT_EQ(AppendTrailingBackslash(u"C:\\Windows\\"), u"C:\\Windows\\");
    EXPECT_EQ(AppendTrailingBackslash(u"C:/Windows/"), u"C:/Windows/\\");

    EXPECT_EQ(DriveOrShareRoot(u"C:\\Windows"), u"C:");
    EXPECT_EQ(DriveOrShareRoot(u"?:x"), u"?:");
    EXPECT_EQ(DriveOrShareRoot(u"\\\\server\\share\\dir\\file"), u"\\\\server\\share");
    EXPECT_EQ(DriveOrShareRoot(u"\\\\server\\share"), u"\\\\server\\share");
    EXPECT_EQ(DriveOrShareRoot(u"\\\\server\\"), u"\\\\server");
    EXPECT_EQ(DriveOrShareRoot(u"\\\\server"), u"\\\\server");
    EXPECT_EQ(DriveOrShareRoot(u"\\\\"), u"\\\\");
    EXPECT_EQ(DriveOrShareRoot(u"Windows\\System32"), u"");
    EXPECT_EQ(DriveOrShareRoot(u"C"), u"");
}

TEST(Substitution, OnlyTheFirstLowerCasePercentS) {
    EXPECT_EQ(SubstituteFirst(u"Remove %s and %s?", u"Tool"), u"Remove Tool and %s?");
    EXPECT_EQ(SubstituteFirst(u"No marker", u"Tool"), u"No marker");
    EXPECT_EQ(SubstituteFirst(u"Capital %S stays", u"Tool"), u"Capital %S stays");
    EXPECT_EQ(SubstituteFirst(u"%%s", u"X"), u"%X");
    EXPECT_EQ(SubstituteFirst(u"%s", u"100%s"), u"100%s");
    EXPECT_EQ(SubstituteFirst(u"", u"X"), u"");
}

TEST(IntegerParse, Grammar) {
    struct Case {
        const char16_t* text;
        std::int32_t value;
    };
    const Case cases[] = {
        {u"4", 4},
        {u"  4", 4},
        {u"+4", 4},
        {u"-2", -2},
        {u"0", 0},
        {u"4 ", -1},
        {u"\t4", -1},
        {u"4.0", -1},
        {u"4a", -1},
        {u"abc", -1},
        {u"", -1},
        {u"   ", -1},
        {u"+", -1},
        {u"- 4", -1},
        {u"2147483647", 2147483647},
        {u"2147483648", -1},
        {u"-2147483648", -2147483647 - 1},
        {u"-2147483649", -1},
        {u"$10", 16},
        {u"x10", 16},
        {u"X10", 16},
        {u"0x10", 16},
        {u"0X1f", 31},
        {u"-$10", -16},
        {u"$FFFFFFFF", -1},
        {u"$7FFFFFFF", 2147483647},
        {u"$100000000", -1},
        {u"$", -1},
        {u"0x", -1},
        {u"$G", -1},
        {u"00000000000000000042", 42},
        {u"4294967296", -1},  // would wrap to 0 in 32 bits
        {u"4294967338", -1},  // would wrap to 42
        {u"-4294967296", -1},
        {u"$1FFFFFFFF", -1},
        {u"$FFFFFFFF0", -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseInteger(c.text), c.value)
            << std::string(c.text, c.text + std::char_traits<char16_t>::length(c.text));
    }
}

TEST(AsciiComparison, FoldsOnlyAsciiLetters) {
    EXPECT_TRUE(EqualsAsciiNoCase(u"/SILENT", u"/silent"));
    EXPECT_TRUE(EqualsAsciiNoCase(u"/SiLeNt", u"/silent"));
    EXPECT_FALSE(EqualsAsciiNoCase(u"/silly!", u"/silent"));
    EXPECT_TRUE(EqualsAsciiNoCase(u".DLL", u".dll"));
    EXPECT_FALSE(EqualsAsciiNoCase(u".drv", u".dll"));
    EXPECT_FALSE(EqualsAsciiNoCase(u"/t", u"/s"));
    EXPECT_TRUE(EqualsAsciiNoCase(u"/S", u"/s"));
    EXPECT_FALSE(EqualsAsciiNoCase(u"\u00c9", u"\u00e9"));
    EXPECT_TRUE(EqualsAsciiNoCase(u"", u""));
    EXPECT_FALSE(EqualsAsciiNoCase(u"", u"a"));
    EXPECT_FALSE(EqualsAsciiNoCase(u"a", u""));
    EXPECT_FALSE(EqualsAsciiNoCase(u"hkey_auto_x", u"HKEY_AUTO"));
    // '[' (0x5B) must not equal '{' (0x7B): only a-z are folded.
    EXPECT_FALSE(EqualsAsciiNoCase(u"[", u"{"));
    EXPECT_EQ(CompareAsciiNoCase(u"", u"abc"), -3);
    EXPECT_EQ(CompareAsciiNoCase(u"abcd", u""), 4);
}

TEST(Trim, ControlCharactersAndBlanksAtBothEnds) {
    EXPECT_EQ(Trim(u" \t\r\n cmd /c x \t"), u"cmd /c x");
    EXPECT_EQ(Trim(u"\t \t "), u"");
    EXPECT_EQ(Trim(u"a  b"), u"a  b");
    EXPECT_EQ(Trim(std::u16string(u"\0x\x1f", 3)), u"x");
    EXPECT_EQ(Trim(u"\u00a0x"), u"\u00a0x");
}

TEST(CommandLine, SplitsLikeTheProgramExpects) {
    struct Case {
        const char16_t* line;
        std::vector<Text> arguments;
    };
    std::u16string every_separator = u"dismora.exe";
    for (char16_t code = 1; code <= 32; ++code) every_separator += {code, u'a'};
    const Case cases[] = {
        {u"dismora.exe", {}},
        {every_separator.c_str(), std::vector<Text>(32, u"a")},  // each code from 1 to 32 separates
        {u"\"C:\\Program Files\\App\\dismora.exe\" \"C:\\Program Files\\App\\Kelvane.log\" /temp /silent",
         {u"C:\\Program Files\\App\\Kelvane.log", u"/temp", u"/silent"}},
        {u"dismora.exe   a\tb", {u"a", u"b"}},
        {u"dismora.exe C:\\dir\\\"x y\"\\z", {u"C:\\dir\\x y\\z"}},
        {u"dismora.exe \"\" log", {u"log"}},
        {u"dismora.exe a \"\" ", {u"a"}},
        {u"dismora.exe \"a b\"c d", {u"a bc", u"d"}},
        {u"dismora.exe \"unterminated arg", {u"unterminated arg"}},
        {u"dismora.exe \\\"x\\\"", {u"\\x\\"}},
        {u"\"C:\\a b\\dismora.exe\"", {}},
        {u"dismora.exe \"\"\"\" last", {u"last"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SplitCommandLine(c.line), c.arguments)
            << std::string(c.line, c.line + std::char_traits<char16_t>::length(c.line));
    }
}

TEST(Relaunch, CopyNamesCarryTheAttemptBeforeTheLastFourCharacters) {
    const Text base = u"C:\\Temp\\Dismora.exe";
    EXPECT_EQ(CopyTargetForAttempt(base, 1), u"C:\\Temp\\Dismora.exe");
    EXPECT_EQ(CopyTargetForAttempt(base, 2), u"C:\\Temp\\Dismora2.exe");
    EXPECT_EQ(CopyTargetForAttempt(base, 9), u"C:\\Temp\\Dismora9.exe");
    EXPECT_EQ(CopyTargetForAttempt(u"C:\\Temp\\Tool.ab", 2), u"C:\\Temp\\Too2l.ab");
    EXPECT_EQ(CopyTargetForAttempt(u"abc", 3), u"3abc");
}

TEST(Decimal, Digits) {
    EXPECT_EQ(DecimalText(0), u"0");
    EXPECT_EQ(DecimalText(7), u"7");
    EXPECT_EQ(DecimalText(4294967295u), u"4294967295");
}

}  // namespace
}  // namespace dismora
