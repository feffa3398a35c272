// Text, process and security facts: code-page conversion, case-insensitive comparison,
// the module path, starting a program that is not there, run-time lookups, SIDs.
#include <vector>

#include "contract/contract.h"

namespace {

using win::DWORD;

std::u16string Convert(win::UINT code_page, const char* bytes, int size) {
    char16_t buffer[64] = {};
    const int length = win::MultiByteToWideChar(code_page, 0, bytes, size, buffer, 64);
    return std::u16string(buffer, static_cast<std::size_t>(length > 0 ? length : 0));
}

int Compare(const char16_t* a, int a_length, const char16_t* b, int b_length) {
    return win::CompareStringW(win::LOCALE_USER_DEFAULT, win::NORM_IGNORECASE, a, a_length, b, b_length);
}

}  // namespace

CONTRACT_FACT(Utf8MalformedSequencesBecomeReplacementCharacters) {
    FACT_EQ(check, Convert(win::CP_UTF8, "a\xFF" "b", 3), std::u16string(u"a\uFFFD" "b"));
    FACT_EQ(check, Convert(win::CP_UTF8, "\xC3(", 2), std::u16string(u"\uFFFD("));
    FACT_EQ(check, Convert(win::CP_UTF8, "\xC0\xAF", 2), std::u16string(u"\uFFFD\uFFFD"));
    FACT_EQ(check, Convert(win::CP_UTF8, "x\xE2\x82", 3), std::u16string(u"x\uFFFD"));
    FACT_EQ(check, Convert(win::CP_UTF8, "\xED\xA0\x80", 3), std::u16string(u"\uFFFD\uFFFD"));
    FACT_EQ(check, Convert(win::CP_UTF8, "\xC3\xA9t\xC3\xA9", 5), std::u16string(u"\u00E9t\u00E9"));
}

CONTRACT_FACT(Utf8FourByteSequencesBecomeSurrogatePairs) {
    const std::u16string pair = Convert(win::CP_UTF8, "\xF0\x9F\x98\x80", 4);
    FACT_EQ(check, pair.size(), std::size_t{2});
    FACT_EQ(check, pair, std::u16string(u"\xD83D\xDE00"));
}

CONTRACT_FACT(MultiByteToWideCharSizesAndShortBuffers) {
    FACT_EQ(check, win::MultiByteToWideChar(win::CP_UTF8, 0, "h\xC3\xA9llo", 6, nullptr, 0), 5);
    char16_t small[3] = {};
    FACT_EQ(check, win::MultiByteToWideChar(win::CP_UTF8, 0, "hello", 5, small, 3), 0);
    FACT_LAST_ERROR(check, win::ERROR_INSUFFICIENT_BUFFER);
    // A length of -1 means NUL-terminated, and the NUL is converted and counted.
    char16_t buffer[8] = {u'#', u'#', u'#', u'#', u'#'};
    FACT_EQ(check, win::MultiByteToWideChar(win::CP_UTF8, 0, "abc", -1, buffer, 8), 4);
    FACT_EQ(check, buffer[3], u'\0');
    FACT_EQ(check, win::MultiByteToWideChar(win::CP_UTF8, 0, "abc", 0, buffer, 8), 0);
    FACT_LAST_ERROR(check, win::ERROR_INVALID_PARAMETER);
}

CONTRACT_FACT(TheAnsiCodePageIsWindows1252) {
    // Holds where the ANSI code page is 1252 (a Western Windows; Wine with an English locale).
    FACT_EQ(check, Convert(win::CP_ACP, "\x80\x81\x8D\x9F\xE9\xFF", 6),
            std::u16string(u"\u20AC\u0081\u008D\u0178\u00E9\u00FF"));
}

CONTRACT_FACT(CompareStringIgnoresCaseOfLettersBeyondAscii) {
    FACT_EQ(check, Compare(u"\u00C9T\u00C9", -1, u"\u00E9t\u00E9", -1), win::CSTR_EQUAL);
    FACT_EQ(check, Compare(u"\u03A3\u039F\u03A6\u0399\u0391", -1, u"\u03C3\u03BF\u03C6\u03B9\u03B1", -1), win::CSTR_EQUAL);
    FACT_EQ(check, Compare(u"\u0416\u0423\u041A", -1, u"\u0436\u0443\u043A", -1), win::CSTR_EQUAL);
    FACT_EQ(check, Compare(u"\u0141\u00D3D\u0179", -1, u"\u0142\u00F3d\u017A", -1), win::CSTR_EQUAL);
    FACT_EQ(check, Compare(u"C:\\Program Files\\App", -1, u"c:\\PROGRAM FILES\\app", -1), win::CSTR_EQUAL);
    FACT_EQ(check, Compare(u"a", -1, u"B", -1), win::CSTR_LESS_THAN);
    FACT_EQ(check, Compare(u"b", -1, u"A", -1), win::CSTR_GREATER_THAN);
    FACT_EQ(check, Compare(u"abcX", 3, u"ABC", -1), win::CSTR_EQUAL);
    FACT_EQ(check, Compare(u"abc", 3, u"abcd", 4), win::CSTR_LESS_THAN);
    FACT_EQ(check, Compare(u"", 0, u"", 0), win::CSTR_EQUAL);
    FACT_EQ(check, Compare(u"\u00E9", -1, u"e", -1) == win::CSTR_EQUAL, false);
    // Word sort: a NUL weighs nothing; a hyphen decides only when all else is equal.
    FACT_EQ(check, Compare(u"a\0", 2, u"a", 1), win::CSTR_EQUAL);
    FACT_EQ(check, Compare(u"co-op", -1, u"coop", -1), win::CSTR_GREATER_THAN);
    FACT_EQ(check, Compare(u"co-op", -1, u"coop", -1) == win::CSTR_EQUAL, false);
}

CONTRACT_FACT(CompareStringOrdinalIgnoresCaseByTheUpperCaseTable) {
    auto ordinal = [](const char16_t* a, const char16_t* b, win::BOOL ignore_case) {
        return win::CompareStringOrdinal(a, -1, b, -1, ignore_case);
    };
    FACT_EQ(check, ordinal(u"C:\\Program Files\\", u"c:\\PROGRAM FILES\\", win::TRUE), win::CSTR_EQUAL);
    FACT_EQ(check, ordinal(u"C:\\Program Files\\", u"c:\\PROGRAM FILES\\", win::FALSE), win::CSTR_LESS_THAN);
    FACT_EQ(check, ordinal(u"\u00C9cole", u"\u00E9COLE", win::TRUE), win::CSTR_EQUAL);
    FACT_EQ(check, ordinal(u"a", u"B", win::FALSE), win::CSTR_GREATER_THAN);
    FACT_EQ(check, ordinal(u"ab", u"abc", win::TRUE), win::CSTR_LESS_THAN);
    FACT_EQ(check, win::CompareStringOrdinal(u"abcX", 3, u"ABC", 3, win::TRUE), win::CSTR_EQUAL);
}

CONTRACT_FACT(SortKeysIgnoringCaseMatchWhereTheTextsCompareEqual) {
    auto key = [](const char16_t* text) {
        const int size = win::LCMapStringW(win::LOCALE_USER_DEFAULT, win::LCMAP_SORTKEY | win::NORM_IGNORECASE, text, -1,
                                           nullptr, 0);
        std::string bytes(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
        if (size > 0) {
            win::LCMapStringW(win::LOCALE_USER_DEFAULT, win::LCMAP_SORTKEY | win::NORM_IGNORECASE, text, -1,
                              reinterpret_cast<win::WCHAR*>(bytes.data()), size);
        }
        return bytes;
    };
    const std::string lower = key(u"c:\\app\\viewer.ocx");
    FACT_TRUE(check, !lower.empty());
    FACT_TRUE(check, lower == key(u"C:\\APP\\Viewer.OCX"));
    FACT_TRUE(check, key(u"\u0416\u0443\u043A") == key(u"\u0436\u0423\u041A"));
    FACT_TRUE(check, lower != key(u"c:\\app\\viewer.dll"));
    // The keys sort as the texts compare.
    FACT_TRUE(check, key(u"apple") < key(u"Banana"));
    FACT_TRUE(check, key(u"ab") < key(u"abc"));
}

CONTRACT_FACT(CompareStringRejectsANullString) {
    FACT_EQ(check, Compare(nullptr, 0, u"a", 1), 0);
    FACT_LAST_ERROR(check, win::ERROR_INVALID_PARAMETER);
}

CONTRACT_FACT(GetModuleFileNameCutsAtTheBufferAndSaysSo) {
    char16_t full[300] = {};
    const DWORD length = win::GetModuleFileNameW(nullptr, full, 300);
    if (!FACT_TRUE(check, length > 4 && length < 300)) return;
    FACT_EQ(check, full[length], u'\0');
    // Cut: nSize comes back with ERROR_INSUFFICIENT_BUFFER. Windows since Vista also puts a
    // NUL in the last place (the simulation does); Wine 8 leaves it out, as Windows XP did.
    char16_t small[5] = {u'#', u'#', u'#', u'#', u'#'};
    FACT_EQ(check, win::GetModuleFileNameW(nullptr, small, 4), DWORD{4});
    FACT_LAST_ERROR(check, win::ERROR_INSUFFICIENT_BUFFER);
    FACT_EQ(check, std::u16string(small, 3), std::u16string(full, 3));
    FACT_EQ(check, small[4], u'#');
}

CONTRACT_FACT(CreateProcessOfAMissingProgramFails) {
    contract::Scratch scratch(check);
    std::u16string line = u"\"" + scratch.Folder() + u"absent.exe\" /x";
    win::STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    win::PROCESS_INFORMATION process = {};
    FACT_EQ(check,
            win::CreateProcessW(nullptr, line.data(), nullptr, nullptr, win::FALSE, 0, nullptr, nullptr, &startup, &process),
            win::FALSE);
    FACT_LAST_ERROR(check, win::ERROR_FILE_NOT_FOUND);
}

CONTRACT_FACT(CreateProcessRefusesACurrentFolderThatIsNotThere) {
    contract::Scratch scratch(check);
    std::u16string line = u"regsvr32 /s";
    win::STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    win::PROCESS_INFORMATION process = {};
    const std::u16string missing = scratch.Folder() + u"absent";
    FACT_EQ(check,
            win::CreateProcessW(nullptr, line.data(), nullptr, nullptr, win::FALSE, 0, nullptr, missing.c_str(), &startup,
                                &process),
            win::FALSE);
    FACT_LAST_ERROR(check, 267);  // ERROR_DIRECTORY
    FACT_EQ(check,
            win::CreateProcessW(nullptr, line.data(), nullptr, nullptr, win::FALSE, 0, nullptr, u"", &startup, &process),
            win::FALSE);
    FACT_LAST_ERROR(check, 267);
}

CONTRACT_FACT(FunctionsLookedUpAtRunTimeAreFound) {
    const win::HMODULE advapi = win::GetModuleHandleW(u"advapi32.dll");
    FACT_TRUE(check, advapi != nullptr);
    FACT_TRUE(check, win::GetModuleHandleW(u"ADVAPI32") == advapi);
    FACT_TRUE(check, win::GetProcAddress(advapi, "CheckTokenMembership") != nullptr);
    FACT_TRUE(check, win::GetProcAddress(advapi, "NoSuchExportAnywhere") == nullptr);
    FACT_LAST_ERROR(check, win::ERROR_PROC_NOT_FOUND);
    const win::HMODULE oleaut = win::GetModuleHandleW(u"OLEAUT32.DLL");
    FACT_TRUE(check, oleaut != nullptr && win::GetProcAddress(oleaut, "UnRegisterTypeLib") != nullptr);
    FACT_TRUE(check, win::GetModuleHandleW(u"dismora-never-loaded.dll") == nullptr);
    FACT_LAST_ERROR(check, win::ERROR_MOD_NOT_FOUND);
}

CONTRACT_FACT(TheAdministratorsGroupSidCanBeTested) {
    win::SID_IDENTIFIER_AUTHORITY nt_authority = {{0, 0, 0, 0, 0, 5}};
    win::PSID admins = nullptr;
    FACT_TRUE(check, win::AllocateAndInitializeSid(&nt_authority, 2, win::SECURITY_BUILTIN_DOMAIN_RID,
                                                   win::DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &admins) != win::FALSE);
    const win::FARPROC found = win::GetProcAddress(win::GetModuleHandleW(u"advapi32.dll"), "CheckTokenMembership");
    const auto check_membership = reinterpret_cast<win::PFN_CheckTokenMembership>(reinterpret_cast<void (*)()>(found));
    win::BOOL member = 7;
    FACT_TRUE(check, check_membership && check_membership(nullptr, admins, &member) != win::FALSE);
    FACT_TRUE(check, member == win::TRUE || member == win::FALSE);
    FACT_TRUE(check, win::FreeSid(admins) == nullptr);
}

CONTRACT_FACT(LoadTypeLibRejectsFilesThatAreNoTypeLibrary) {
    contract::Scratch scratch(check);
    const std::u16string file = scratch.File(u"junk.tlb", "this is no type library");
    win::ITypeLib* library = nullptr;
    FACT_TRUE(check, win::LoadTypeLib(file.c_str(), &library) < 0);
    FACT_TRUE(check, library == nullptr);
    FACT_TRUE(check, win::LoadTypeLib((scratch.Folder() + u"absent.tlb").c_str(), &library) < 0);
}
