// Registry facts: short buffers, the default value, missing keys and values, deleting
// keys with subkeys, handles to deleted keys, enumeration, predefined keys.
#include <algorithm>
#include <cstring>
#include <vector>

#include "contract/contract.h"

namespace {

using win::BYTE;
using win::DWORD;
using win::HKEY;

const BYTE* Bytes(const void* data) { return static_cast<const BYTE*>(data); }

HKEY Create(contract::Check& check, HKEY parent, const char16_t* name) {
    HKEY key = nullptr;
    FACT_EQ(check, win::RegCreateKeyW(parent, name, &key), win::ERROR_SUCCESS);
    return key;
}

}  // namespace

CONTRACT_FACT(RegQueryValueExShortBufferGivesMoreDataAndTheSize) {
    contract::Scratch scratch(check);
    const char16_t text[] = u"abcdef";  // 14 bytes with the NUL
    FACT_EQ(check, win::RegSetValueExW(scratch.Key(), u"Text", 0, win::REG_SZ, Bytes(text), sizeof text), win::ERROR_SUCCESS);
    BYTE small[4] = {};
    DWORD size = sizeof small;
    DWORD type = 0;
    FACT_EQ(check, win::RegQueryValueExW(scratch.Key(), u"Text", nullptr, &type, small, &size), win::ERROR_MORE_DATA);
    FACT_EQ(check, size, DWORD{14});
    FACT_EQ(check, type, win::REG_SZ);
}

CONTRACT_FACT(RegQueryValueExWithoutBufferGivesTheSize) {
    contract::Scratch scratch(check);
    const BYTE data[7] = {1, 2, 3, 4, 5, 6, 7};
    FACT_EQ(check, win::RegSetValueExW(scratch.Key(), u"Blob", 0, win::REG_BINARY, data, sizeof data), win::ERROR_SUCCESS);
    DWORD size = 0;
    DWORD type = 0;
    FACT_EQ(check, win::RegQueryValueExW(scratch.Key(), u"Blob", nullptr, &type, nullptr, &size), win::ERROR_SUCCESS);
    FACT_EQ(check, size, DWORD{7});
    FACT_EQ(check, type, win::REG_BINARY);
}

CONTRACT_FACT(RegQueryValueExLeavesTheRestOfALargerBuffer) {
    contract::Scratch scratch(check);
    const DWORD count = 0x01020304;
    FACT_EQ(check, win::RegSetValueExW(scratch.Key(), u"Count", 0, win::REG_DWORD, Bytes(&count), 4), win::ERROR_SUCCESS);
    BYTE buffer[8];
    std::memset(buffer, 0x77, sizeof buffer);
    DWORD size = sizeof buffer;
    FACT_EQ(check, win::RegQueryValueExW(scratch.Key(), u"Count", nullptr, nullptr, buffer, &size), win::ERROR_SUCCESS);
    FACT_EQ(check, size, DWORD{4});
    DWORD read = 0;
    std::memcpy(&read, buffer, 4);
    FACT_EQ(check, read, count);
    for (int i = 4; i < 8; ++i) FACT_EQ(check, buffer[i], BYTE{0x77});
}

CONTRACT_FACT(RegQueryValueExOfAMissingValueIsFileNotFound) {
    contract::Scratch scratch(check);
    DWORD size = 4;
    BYTE buffer[4];
    FACT_EQ(check, win::RegQueryValueExW(scratch.Key(), u"Absent", nullptr, nullptr, buffer, &size), win::ERROR_FILE_NOT_FOUND);
    FACT_EQ(check, win::RegDeleteValueW(scratch.Key(), u"Absent"), win::ERROR_FILE_NOT_FOUND);
}

CONTRACT_FACT(AnEmptyOrNullValueNameIsTheDefaultValue) {
    contract::Scratch scratch(check);
    DWORD size = 0;
    FACT_EQ(check, win::RegQueryValueExW(scratch.Key(), nullptr, nullptr, nullptr, nullptr, &size), win::ERROR_FILE_NOT_FOUND);
    const char16_t text[] = u"dflt";
    FACT_EQ(check, win::RegSetValueExW(scratch.Key(), u"", 0, win::REG_SZ, Bytes(text), sizeof text), win::ERROR_SUCCESS);
    char16_t read[16] = {};
    size = sizeof read;
    FACT_EQ(check, win::RegQueryValueExW(scratch.Key(), nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(read), &size), win::ERROR_SUCCESS);
    FACT_EQ(check, std::u16string(read), std::u16string(u"dflt"));
    FACT_EQ(check, win::RegDeleteValueW(scratch.Key(), nullptr), win::ERROR_SUCCESS);
}

CONTRACT_FACT(ValueNamesIgnoreCase) {
    contract::Scratch scratch(check);
    const DWORD one = 1;
    FACT_EQ(check, win::RegSetValueExW(scratch.Key(), u"Count", 0, win::REG_DWORD, Bytes(&one), 4), win::ERROR_SUCCESS);
    DWORD read = 0;
    DWORD size = 4;
    FACT_EQ(check, win::RegQueryValueExW(scratch.Key(), u"COUNT", nullptr, nullptr, reinterpret_cast<BYTE*>(&read), &size), win::ERROR_SUCCESS);
    FACT_EQ(check, read, one);
}

CONTRACT_FACT(RegOpenKeyExOfAMissingKeyFailsAndClearsTheResult) {
    contract::Scratch scratch(check);
    HKEY key = reinterpret_cast<HKEY>(scratch.Key());
    FACT_EQ(check, win::RegOpenKeyExW(scratch.Key(), u"Absent", 0, win::KEY_QUERY_VALUE, &key), win::ERROR_FILE_NOT_FOUND);
    FACT_EQ(check, static_cast<const void*>(key), static_cast<const void*>(nullptr));
}

CONTRACT_FACT(AnEmptySubkeyOfAPredefinedKeyIsThatKey) {
    HKEY key = nullptr;
    FACT_EQ(check, win::RegOpenKeyExW(win::HKEY_CLASSES_ROOT, u"", 0, win::KEY_QUERY_VALUE, &key), win::ERROR_SUCCESS);
    FACT_EQ(check, static_cast<const void*>(key), static_cast<const void*>(win::HKEY_CLASSES_ROOT));
    FACT_EQ(check, win::RegCloseKey(win::HKEY_CLASSES_ROOT), win::ERROR_SUCCESS);
    FACT_EQ(check, win::RegCloseKey(win::HKEY_LOCAL_MACHINE), win::ERROR_SUCCESS);
}

CONTRACT_FACT(AnEmptySubkeyOfAnOpenKeyIsANewHandle) {
    contract::Scratch scratch(check);
    HKEY again = nullptr;
    FACT_EQ(check, win::RegOpenKeyExW(scratch.Key(), u"", 0, win::KEY_QUERY_VALUE, &again), win::ERROR_SUCCESS);
    FACT_TRUE(check, again != nullptr && again != scratch.Key());
    FACT_EQ(check, win::RegCloseKey(again), win::ERROR_SUCCESS);
    DWORD size = 0;
    // The first handle still works after the second is closed.
    FACT_EQ(check, win::RegQueryValueExW(scratch.Key(), u"Absent", nullptr, nullptr, nullptr, &size), win::ERROR_FILE_NOT_FOUND);
}

CONTRACT_FACT(RegCreateKeyCreatesEveryMissingKeyOnThePath) {
    contract::Scratch scratch(check);
    HKEY deep = Create(check, scratch.Key(), u"a\\b\\c");
    win::RegCloseKey(deep);
    HKEY middle = nullptr;
    FACT_EQ(check, win::RegOpenKeyExW(scratch.Key(), u"a\\b", 0, win::KEY_READ, &middle), win::ERROR_SUCCESS);
    win::RegCloseKey(middle);
    // Opening an existing key with RegCreateKeyW is no error.
    HKEY existing = Create(check, scratch.Key(), u"a");
    win::RegCloseKey(existing);
}

CONTRACT_FACT(RegDeleteKeyRefusesAKeyWithSubkeys) {
    contract::Scratch scratch(check);
    win::RegCloseKey(Create(check, scratch.Key(), u"parent\\child"));
    FACT_EQ(check, win::RegDeleteKeyW(scratch.Key(), u"parent"), win::ERROR_ACCESS_DENIED);
    HKEY child = nullptr;
    FACT_EQ(check, win::RegOpenKeyExW(scratch.Key(), u"parent\\child", 0, win::KEY_READ, &child), win::ERROR_SUCCESS);
    win::RegCloseKey(child);
    FACT_EQ(check, win::RegDeleteKeyW(scratch.Key(), u"parent\\child"), win::ERROR_SUCCESS);
    FACT_EQ(check, win::RegDeleteKeyW(scratch.Key(), u"parent"), win::ERROR_SUCCESS);
    FACT_EQ(check, win::RegDeleteKeyW(scratch.Key(), u"parent"), win::ERROR_FILE_NOT_FOUND);
}

CONTRACT_FACT(AHandleToADeletedKeyReportsKeyDeleted) {
    contract::Scratch scratch(check);
    HKEY gone = Create(check, scratch.Key(), u"gone");
    FACT_EQ(check, win::RegDeleteKeyW(scratch.Key(), u"gone"), win::ERROR_SUCCESS);
    DWORD size = 0;
    FACT_EQ(check, win::RegQueryValueExW(gone, u"x", nullptr, nullptr, nullptr, &size), win::ERROR_KEY_DELETED);
    const DWORD one = 1;
    FACT_EQ(check, win::RegSetValueExW(gone, u"x", 0, win::REG_DWORD, Bytes(&one), 4), win::ERROR_KEY_DELETED);
    FACT_EQ(check, win::RegCloseKey(gone), win::ERROR_SUCCESS);
}

CONTRACT_FACT(SubkeysEnumerateAlphabeticallyIgnoringCaseThenEnd) {
    contract::Scratch scratch(check);
    for (const char16_t* name : {u"beta", u"Alpha", u"gamma"}) win::RegCloseKey(Create(check, scratch.Key(), name));
    const char16_t* expected[] = {u"Alpha", u"beta", u"gamma"};
    for (DWORD i = 0; i < 3; ++i) {
        char16_t name[32] = {};
        DWORD length = 32;
        FACT_EQ(check, win::RegEnumKeyExW(scratch.Key(), i, name, &length, nullptr, nullptr, nullptr, nullptr), win::ERROR_SUCCESS);
        FACT_EQ(check, std::u16string(name), std::u16string(expected[i]));
        FACT_EQ(check, length, static_cast<DWORD>(std::u16string(expected[i]).size()));
    }
    char16_t name[32];
    DWORD length = 32;
    FACT_EQ(check, win::RegEnumKeyExW(scratch.Key(), 3, name, &length, nullptr, nullptr, nullptr, nullptr), win::ERROR_NO_MORE_ITEMS);
    FACT_EQ(check, win::RegEnumKeyW(scratch.Key(), 3, name, 32), win::ERROR_NO_MORE_ITEMS);
}

CONTRACT_FACT(EnumeratingIntoAShortNameBufferGivesMoreData) {
    contract::Scratch scratch(check);
    win::RegCloseKey(Create(check, scratch.Key(), u"abcdef"));
    char16_t name[8] = {};
    DWORD length = 6;  // the NUL does not fit
    FACT_EQ(check, win::RegEnumKeyExW(scratch.Key(), 0, name, &length, nullptr, nullptr, nullptr, nullptr), win::ERROR_MORE_DATA);
    FACT_EQ(check, win::RegEnumKeyW(scratch.Key(), 0, name, 6), win::ERROR_MORE_DATA);
    FACT_EQ(check, win::RegEnumKeyW(scratch.Key(), 0, name, 7), win::ERROR_SUCCESS);
    FACT_EQ(check, std::u16string(name), std::u16string(u"abcdef"));
}

CONTRACT_FACT(ValueNamesEnumerateWithoutTheirNul) {
    contract::Scratch scratch(check);
    const DWORD one = 1;
    for (const char16_t* name : {u"C:\\b.dll", u"C:\\A.dll", u"c"}) {
        win::RegSetValueExW(scratch.Key(), name, 0, win::REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one);
    }
    DWORD values = 0;
    DWORD longest = 0;
    FACT_EQ(check,
            win::RegQueryInfoKeyW(scratch.Key(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                                  &longest, nullptr, nullptr, nullptr),
            win::ERROR_SUCCESS);
    FACT_EQ(check, values, DWORD{3});
    FACT_EQ(check, longest, DWORD{8});
    // In no promised order: only the set of names is a fact.
    std::vector<std::u16string> seen;
    for (DWORD i = 0; i < values; ++i) {
        char16_t name[16] = {};
        DWORD length = longest + 1;
        FACT_EQ(check, win::RegEnumValueW(scratch.Key(), i, name, &length, nullptr, nullptr, nullptr, nullptr),
                win::ERROR_SUCCESS);
        FACT_EQ(check, length, static_cast<DWORD>(std::u16string(name).size()));
        seen.emplace_back(name);
    }
    std::sort(seen.begin(), seen.end());
    FACT_TRUE(check, seen == (std::vector<std::u16string>{u"C:\\A.dll", u"C:\\b.dll", u"c"}));
    char16_t name[16];
    DWORD length = 16;
    FACT_EQ(check, win::RegEnumValueW(scratch.Key(), 3, name, &length, nullptr, nullptr, nullptr, nullptr),
            win::ERROR_NO_MORE_ITEMS);
    // The NUL of an eight-character name does not fit in eight: that name is not given.
    DWORD index = 0;
    while (index < 3) {
        length = 8;
        win::LONG result = win::RegEnumValueW(scratch.Key(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (result != win::ERROR_SUCCESS) {
            FACT_EQ(check, result, win::ERROR_MORE_DATA);
            break;
        }
        ++index;
    }
    FACT_TRUE(check, index < 3);
}

CONTRACT_FACT(RegSetValueExStoresTheTypeAndTheBytes) {
    contract::Scratch scratch(check);
    const BYTE odd[3] = {9, 8, 7};
    FACT_EQ(check, win::RegSetValueExW(scratch.Key(), u"Odd", 0, win::REG_BINARY, odd, 3), win::ERROR_SUCCESS);
    BYTE read[8] = {};
    DWORD size = sizeof read;
    DWORD type = 0;
    FACT_EQ(check, win::RegQueryValueExW(scratch.Key(), u"Odd", nullptr, &type, read, &size), win::ERROR_SUCCESS);
    FACT_EQ(check, type, win::REG_BINARY);
    FACT_EQ(check, size, DWORD{3});
    FACT_TRUE(check, std::memcmp(read, odd, 3) == 0);
}

CONTRACT_FACT(AStringCountedWithoutItsNulIsStoredWithIt) {
    contract::Scratch scratch(check);
    // Windows adds the terminating NUL a caller forgot to count when it follows in memory.
    const char16_t text[] = u"ab";
    FACT_EQ(check, win::RegSetValueExW(scratch.Key(), u"Bare", 0, win::REG_SZ, Bytes(text), 4), win::ERROR_SUCCESS);
    DWORD size = 0;
    FACT_EQ(check, win::RegQueryValueExW(scratch.Key(), u"Bare", nullptr, nullptr, nullptr, &size), win::ERROR_SUCCESS);
    FACT_EQ(check, size, DWORD{6});
}
