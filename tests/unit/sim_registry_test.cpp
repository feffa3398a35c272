// The simulated Windows: registry rights, hives, marks and handle rules.
#include <gtest/gtest.h>

#include <cstring>

#include "support/sim_fixture.h"

namespace dismora::sim {
namespace {

using win::DWORD;
using win::HKEY;
using win::LONG;

constexpr char16_t kVersion[] = u"Software\\Microsoft\\Windows\\CurrentVersion";

using RegistryTest = SimTest;

TEST_F(RegistryTest, DenyWriteKeysOpenForReadingOnly) {
    machine.SetDword(u"HKLM\\Software\\Locked", u"N", 3);
    machine.DenyWrite(u"HKLM\\Software\\Locked");
    HKEY key = nullptr;
    EXPECT_EQ(win::RegOpenKeyExW(win::HKEY_LOCAL_MACHINE, u"Software\\Locked", 0, win::KEY_ALL_ACCESS, &key), win::ERROR_ACCESS_DENIED);
    EXPECT_EQ(win::RegOpenKeyExW(win::HKEY_LOCAL_MACHINE, u"Software\\Locked", 0, win::KEY_READ | win::KEY_WRITE, &key),
              win::ERROR_ACCESS_DENIED);
    ASSERT_EQ(win::RegOpenKeyExW(win::HKEY_LOCAL_MACHINE, u"Software\\Locked", 0, win::KEY_READ, &key), win::ERROR_SUCCESS);
    DWORD value = 0;
    DWORD size = 4;
    EXPECT_EQ(win::RegQueryValueExW(key, u"N", nullptr, nullptr, reinterpret_cast<win::BYTE*>(&value), &size), win::ERROR_SUCCESS);
    EXPECT_EQ(win::RegSetValueExW(key, u"N", 0, win::REG_DWORD, reinterpret_cast<const win::BYTE*>(&value), 4),
              win::ERROR_ACCESS_DENIED);
    EXPECT_EQ(win::RegCloseKey(key), win::ERROR_SUCCESS);
    // RegCreateKeyW asks for what it may have: a read-only handle to the existing key.
    ASSERT_EQ(win::RegCreateKeyW(win::HKEY_LOCAL_MACHINE, u"Software\\Locked", &key), win::ERROR_SUCCESS);
    EXPECT_EQ(win::RegDeleteValueW(key, u"N"), win::ERROR_ACCESS_DENIED);
    EXPECT_EQ(win::RegCreateKeyW(key, u"Child", &key), win::ERROR_ACCESS_DENIED);
    EXPECT_EQ(machine.OpenHandles().size(), 1u);
    win::RegCloseKey(key);
}

TEST_F(RegistryTest, DenyDeleteKeysRefuseDeletionAndFullAccess) {
    machine.CreateKey(u"HKCU\\Software\\Kept");
    machine.DenyDelete(u"HKCU\\Software\\Kept");
    EXPECT_EQ(win::RegDeleteKeyW(win::HKEY_CURRENT_USER, u"Software\\Kept"), win::ERROR_ACCESS_DENIED);
    HKEY key = nullptr;
    EXPECT_EQ(win::RegOpenKeyExW(win::HKEY_CURRENT_USER, u"Software\\Kept", 0, win::KEY_ALL_ACCESS, &key), win::ERROR_ACCESS_DENIED);
    EXPECT_TRUE(machine.KeyExists(u"HKCU\\Software\\Kept"));
}

TEST_F(RegistryTest, AStandardUserReadsTheMachineAndWritesOnlyItsOwnHive) {
    std::vector<LONG> results;
    machine.Run({.module_path = u"C:\\Tests\\host.exe", .token = {.administrator = false, .elevated = false}}, [&] {
        HKEY key = nullptr;
        results.push_back(win::RegOpenKeyExW(win::HKEY_LOCAL_MACHINE, kVersion, 0, win::KEY_QUERY_VALUE, &key));
        win::RegCloseKey(key);
        results.push_back(win::RegOpenKeyExW(win::HKEY_LOCAL_MACHINE, kVersion, 0, win::KEY_READ | win::KEY_WRITE, &key));
        results.push_back(win::RegCreateKeyW(win::HKEY_CURRENT_USER, u"Software\\Tool", &key));
        win::RegCloseKey(key);
        results.push_back(win::RegCreateKeyW(win::HKEY_LOCAL_MACHINE, u"Software\\Tool", &key));
        results.push_back(win::RegOpenKeyExW(win::HKEY_USERS, u".DEFAULT\\Software", 0, win::KEY_ALL_ACCESS, &key));
    });
    EXPECT_EQ(results, (std::vector<LONG>{win::ERROR_SUCCESS, win::ERROR_ACCESS_DENIED, win::ERROR_SUCCESS,
                                          win::ERROR_ACCESS_DENIED, win::ERROR_ACCESS_DENIED}));
    EXPECT_TRUE(machine.KeyExists(u"HKCU\\Software\\Tool"));
    EXPECT_TRUE(machine.Leaks().empty());
}

TEST_F(RegistryTest, TheUsersClassesAreOneKeyUnderTwoNames) {
    machine.SetString(u"HKCU\\Software\\Classes\\.tool", u"", u"Tool.File");
    const std::u16string hive = u"HKU\\" + machine.UserSid() + u"_Classes\\.tool";
    EXPECT_EQ(machine.GetString(hive, u""), std::u16string(u"Tool.File"));
    std::vector<std::u16string> hives;
    win::WCHAR name[256];
    for (DWORD i = 0;; ++i) {
        DWORD length = 256;
        if (win::RegEnumKeyExW(win::HKEY_USERS, i, name, &length, nullptr, nullptr, nullptr, nullptr)) break;
        hives.push_back(name);
    }
    EXPECT_EQ(hives, (std::vector<std::u16string>{u".DEFAULT", u"S-1-5-18", u"S-1-5-19", u"S-1-5-20", machine.UserSid(),
                                                  machine.UserSid() + u"_Classes"}));
    // A hive is never deleted, under either name.
    EXPECT_EQ(win::RegDeleteKeyW(win::HKEY_CURRENT_USER, u"Software\\Classes"), win::ERROR_ACCESS_DENIED);
    // HKEY_CLASSES_ROOT is the machine's classes.
    machine.CreateKey(u"HKLM\\Software\\Classes\\.txt");
    HKEY key = nullptr;
    EXPECT_EQ(win::RegOpenKeyExW(win::HKEY_CLASSES_ROOT, u"\\.txt", 0, win::KEY_QUERY_VALUE, &key), win::ERROR_SUCCESS);
    win::RegCloseKey(key);
    EXPECT_EQ(win::RegOpenKeyExW(win::HKEY_LOCAL_MACHINE, u"\\Software", 0, win::KEY_QUERY_VALUE, &key), 161);
}

TEST_F(RegistryTest, AShortBufferHoldsGarbageNotAPrefixOfTheValue) {
    machine.SetString(u"HKCU\\Software\\Tool", u"Path", u"C:\\Program Files\\Tool");
    HKEY key = nullptr;
    ASSERT_EQ(win::RegOpenKeyExW(win::HKEY_CURRENT_USER, u"Software\\Tool", 0, win::KEY_QUERY_VALUE, &key), win::ERROR_SUCCESS);
    win::BYTE buffer[8];
    DWORD size = sizeof buffer;
    EXPECT_EQ(win::RegQueryValueExW(key, u"Path", nullptr, nullptr, buffer, &size), win::ERROR_MORE_DATA);
    EXPECT_EQ(size, 44u);
    EXPECT_NE(std::memcmp(buffer, u"C:\\P", 8), 0);
    win::RegCloseKey(key);
}

TEST_F(RegistryTest, ClosingRules) {
    EXPECT_EQ(win::RegCloseKey(win::HKEY_CURRENT_USER), win::ERROR_SUCCESS);
    EXPECT_EQ(win::RegCloseKey(nullptr), win::ERROR_INVALID_HANDLE);
    HKEY key = nullptr;
    ASSERT_EQ(win::RegOpenKeyExW(win::HKEY_CURRENT_USER, u"Software", 0, win::KEY_READ, &key), win::ERROR_SUCCESS);
    EXPECT_EQ(win::RegCloseKey(key), win::ERROR_SUCCESS);
    EXPECT_EQ(win::RegCloseKey(key), win::ERROR_INVALID_HANDLE);
    EXPECT_EQ(machine.TakeViolations().size(), 1u);  // the second close
    // Handles belong to their process: another one cannot use them.
    ASSERT_EQ(win::RegOpenKeyExW(win::HKEY_CURRENT_USER, u"Software", 0, win::KEY_READ, &key), win::ERROR_SUCCESS);
    LONG other = 0;
    machine.Run({.module_path = u"C:\\Tests\\host.exe"}, [&] {
        DWORD size = 0;
        other = win::RegQueryValueExW(key, u"x", nullptr, nullptr, nullptr, &size);
    });
    EXPECT_EQ(other, win::ERROR_INVALID_HANDLE);
    win::RegCloseKey(key);
}

TEST_F(RegistryTest, FaultsFailTheChosenCallWithTheChosenCode) {
    machine.FailCall("RegOpenKeyExW", machine.CallCount("RegOpenKeyExW") + 2, win::ERROR_NOT_ENOUGH_MEMORY);
    HKEY key = nullptr;
    EXPECT_EQ(win::RegOpenKeyExW(win::HKEY_CURRENT_USER, u"Software", 0, win::KEY_READ, &key), win::ERROR_SUCCESS);
    win::RegCloseKey(key);
    EXPECT_EQ(win::RegOpenKeyExW(win::HKEY_CURRENT_USER, u"Software", 0, win::KEY_READ, &key), win::ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(win::RegOpenKeyExW(win::HKEY_CURRENT_USER, u"Software", 0, win::KEY_READ, &key), win::ERROR_SUCCESS);
    win::RegCloseKey(key);
    EXPECT_EQ(machine.CallCount("RegOpenKeyExW"), 3u);
}

}  // namespace
}  // namespace dismora::sim
