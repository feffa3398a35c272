// The simulated Windows: token membership, run-time lookups, type libraries, message
// boxes, the call budget and snapshots.
#include <gtest/gtest.h>

#include "support/sim_fixture.h"

namespace dismora::sim {
namespace {

using win::BOOL;
using win::DWORD;

using SecurityTest = SimTest;

// What CheckTokenMembership says about BUILTIN\Administrators for this token.
BOOL AdministratorsMember(Machine& machine, const Token& token) {
    BOOL member = 2;
    machine.Run({.module_path = u"C:\\Tests\\host.exe", .token = token}, [&] {
        win::SID_IDENTIFIER_AUTHORITY nt = {{0, 0, 0, 0, 0, 5}};
        win::PSID sid = nullptr;
        ASSERT_TRUE(win::AllocateAndInitializeSid(&nt, 2, win::SECURITY_BUILTIN_DOMAIN_RID, win::DOMAIN_ALIAS_RID_ADMINS,
                                                  0, 0, 0, 0, 0, 0, &sid));
        const win::FARPROC found = win::GetProcAddress(win::GetModuleHandleW(u"advapi32.dll"), "CheckTokenMembership");
        auto check = reinterpret_cast<win::PFN_CheckTokenMembership>(reinterpret_cast<void (*)()>(found));
        ASSERT_TRUE(check(nullptr, sid, &member));
        win::FreeSid(sid);
    });
    return member;
}

TEST_F(SecurityTest, OnlyAnEffectiveAdministratorIsInTheAdministratorsGroup) {
    EXPECT_EQ(AdministratorsMember(machine, {.administrator = true, .elevated = true}), win::TRUE);
    EXPECT_EQ(AdministratorsMember(machine, {.administrator = true, .elevated = false}), win::FALSE);
    EXPECT_EQ(AdministratorsMember(machine, {.administrator = false, .elevated = false}), win::FALSE);
    machine.SetUacEnabled(false);
    EXPECT_EQ(AdministratorsMember(machine, {.administrator = true, .elevated = false}), win::TRUE);
    EXPECT_EQ(machine.GetDword(u"HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System", u"EnableLUA"), 0u);
    EXPECT_EQ(machine.LiveSids(), 0);
    EXPECT_EQ(machine.ProcLookups("CheckTokenMembership"), 4);
}

TEST_F(SecurityTest, ExportsAndModulesCanBeMissing) {
    machine.SetExportMissing("UnRegisterTypeLib");
    const win::HMODULE oleaut = win::GetModuleHandleW(u"oleaut32");
    ASSERT_NE(oleaut, nullptr);
    EXPECT_EQ(win::GetProcAddress(oleaut, "UnRegisterTypeLib"), nullptr);
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(win::ERROR_PROC_NOT_FOUND));
    machine.SetModuleMissing(u"OLEAUT32.DLL");
    EXPECT_EQ(win::GetModuleHandleW(u"OleAut32.dll"), nullptr);
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(win::ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(machine.ProcLookups("UnRegisterTypeLib"), 1);
    EXPECT_TRUE(win::SetDllDirectoryW(u""));
    EXPECT_EQ(machine.DllDirectoryCalls(), (std::vector<std::optional<std::u16string>>{u""}));
}

TEST_F(SecurityTest, TypeLibrariesLoadReportAndUnregister) {
    TypeLibrary library;
    library.guid = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
    library.major = 2;
    library.minor = 10;
    machine.InstallTypeLibrary(u"C:\\App\\types.tlb", library);
    const std::u16string version = u"HKCR\\TypeLib\\{12345678-1234-5678-0102-030405060708}\\2.a";
    ASSERT_TRUE(machine.KeyExists(version + u"\\0\\win32"));

    win::ITypeLib* loaded = nullptr;
    ASSERT_EQ(win::LoadTypeLib(u"C:\\App\\types.tlb", &loaded), win::S_OK);
    win::TLIBATTR* attr = nullptr;
    ASSERT_EQ(win::ITypeLib_GetLibAttr(loaded, &attr), win::S_OK);
    EXPECT_EQ(attr->wMajorVerNum, 2);
    EXPECT_EQ(machine.LiveTypeLibAttrs(), 1);
    const win::FARPROC found = win::GetProcAddress(win::GetModuleHandleW(u"OLEAUT32.DLL"), "UnRegisterTypeLib");
    auto unregister = reinterpret_cast<win::PFN_UnRegisterTypeLib>(reinterpret_cast<void (*)()>(found));
    EXPECT_EQ(unregister(&attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid, attr->syskind), win::S_OK);
    EXPECT_EQ(unregister(&attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid, attr->syskind),
              static_cast<win::HRESULT>(0x8002801C));  // TYPE_E_REGISTRYACCESS: nothing left
    win::ITypeLib_ReleaseTLibAttr(loaded, attr);
    EXPECT_EQ(win::ITypeLib_Release(loaded), 0u);
    EXPECT_EQ(machine.LiveTypeLibs(), 0);
    EXPECT_FALSE(machine.KeyExists(u"HKCR\\TypeLib\\{12345678-1234-5678-0102-030405060708}"));
    ASSERT_EQ(machine.TypeLibUnregistrations().size(), 2u);
    EXPECT_EQ(machine.TypeLibUnregistrations()[0].minor, 10);
}

TEST_F(SecurityTest, MessageBoxesAreAnsweredFromTheScriptThenByTheDefaultButton) {
    machine.QueueAnswers({win::IDYES});
    EXPECT_EQ(win::MessageBoxW(nullptr, u"Remove?", u"Dismora", win::MB_YESNO | win::MB_ICONQUESTION | win::MB_DEFBUTTON2),
              win::IDYES);
    EXPECT_EQ(win::MessageBoxW(nullptr, u"Again?", u"Dismora", win::MB_YESNO | win::MB_DEFBUTTON2), win::IDNO);
    EXPECT_EQ(win::MessageBoxW(nullptr, u"Done", nullptr, win::MB_OK), win::IDOK);
    EXPECT_TRUE(machine.AnswersConsumed());
    ASSERT_EQ(machine.MessageBoxes().size(), 3u);
    EXPECT_EQ(machine.MessageBoxes()[0].style, 0x124u);
    EXPECT_EQ(machine.MessageBoxes()[2].caption, u"Error");
    machine.QueueAnswers({win::IDYES});
    win::MessageBoxW(nullptr, u"Only OK", u"Dismora", win::MB_OK);
    EXPECT_EQ(machine.TakeViolations().size(), 1u);  // an answer the box does not offer
}

TEST_F(SecurityTest, TheCallBudgetStopsARunawayLoop) {
    machine.SetCallBudget(machine.TotalCalls() + 5);
    int succeeded = 0;
    for (int i = 0; i < 8; ++i) {
        if (win::GetFileAttributesW(u"C:\\Windows") != win::INVALID_FILE_ATTRIBUTES) ++succeeded;
    }
    EXPECT_EQ(succeeded, 5);
    EXPECT_EQ(machine.TakeViolations().size(), 1u);
    EXPECT_EQ(machine.CallCount("GetFileAttributesW"), 8u);
}

TEST_F(SecurityTest, SnapshotsShowWhatChanged) {
    machine.WriteFile(u"C:\\App\\a.txt", "a");
    machine.SetDword(u"HKLM\\Software\\App", u"N", 1);
    const Snapshot before = machine.TakeSnapshot();
    machine.SetDword(u"HKLM\\Software\\App", u"N", 2);
    EXPECT_TRUE(win::DeleteFileW(u"C:\\App\\a.txt"));
    EXPECT_TRUE(win::MoveFileExW(u"C:\\App\\b.txt", nullptr, win::MOVEFILE_DELAY_UNTIL_REBOOT));
    const std::vector<Change> changes = Diff(before, machine.TakeSnapshot());
    EXPECT_EQ(ToString(changes),
              "- file C:\\App\\a.txt\n"
              "~ value HKEY_LOCAL_MACHINE\\Software\\App\\[N] (type 4, 4 bytes = 1 -> type 4, 4 bytes = 2)\n"
              "+ value HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Session Manager\\[PendingFileRenameOperations] "
              "(type 7, 38 bytes)\n"
              "+ pending deletion C:\\App\\b.txt\n");
}

}  // namespace
}  // namespace dismora::sim
