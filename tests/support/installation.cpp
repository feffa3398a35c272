#include "support/installation.h"

#include <memory>


namespace dismora::sim {

namespace kelvane {

namespace {

const std::u16string kCommon = u"C:\\Program Files\\Common Files";
const std::u16string kRoaming = u"C:\\Users\\Tester\\AppData\\Roaming";
const std::u16string kPrograms = u"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs";
const std::u16string kSystem = u"C:\\Windows\\System32";
const std::u16string kVersionKey = u"HKLM\\Software\\Microsoft\\Windows\\CurrentVersion";

}  // namespace

std::vector<std::u16string> RemovedFiles() {
    return {kFolder + u"\\kelvane.exe",
            kFolder + u"\\kelvane.dll",
            kFolder + u"\\viewer.ocx",
            kFolder + u"\\types.tlb",
            kFolder + u"\\bin\\tool.exe",
            kFolder + u"\\doc\\deep\\readme.txt",
            u"C:\\Program Files\\Kelvane Tools\\only.exe",
            kCommon + u"\\Kelvane Shared\\zero.dll",
            kRoaming + u"\\Kelvane\\settings.ini",
            kPrograms + u"\\Kelvane\\Kelvane.lnk",
            u"C:\\Users\\Public\\Desktop\\Kelvane.lnk"};
}

std::vector<std::u16string> KeptFiles() {
    return {kCommon + u"\\Kelvane Shared\\shared.dll", kSystem + u"\\kelvane_helper.dll"};
}

std::vector<std::u16string> CanaryFiles() {
    return {u"C:\\canary.txt",
            u"C:\\Program Files\\canary.txt",
            kFolder + u"\\user-data.cfg",
            kFolder + u"\\bin\\plugin-user.dll",
            kCommon + u"\\Kelvane Shared\\canary.dll",
            kCommon + u"\\Other\\other.tlb",
            kPreUninstall,
            kRoaming + u"\\canary.ini",
            kPrograms + u"\\Other.lnk",
            u"C:\\Users\\Public\\Desktop\\canary.lnk",
            kSystem + u"\\canary.dll"};
}

std::vector<std::u16string> CanaryKeys() {
    return {u"HKLM\\Software\\Kelvane\\Other",
            u"HKLM\\Software\\Kelvane\\Settings",
            u"HKCU\\Software\\Other",
            u"HKCR\\CLSID\\{0E0E0E0E-0000-4000-8000-0000000000CA}",
            u"HKCR\\.other",
            u"HKCR\\Other.Doc",
            u"HKCR\\Kelvane.Doc\\shell\\edit\\command",
            u"HKCR\\Kelvane.Doc\\shell\\print\\command",
            u"HKCR\\TypeLib\\{0E0E0E0E-0000-4000-8000-0000000000CB}",
            kVersionKey + u"\\Uninstall\\Other",
            u"HKLM\\Software\\Classes\\Kelvane.Doc\\shell",
            u"HKCU\\Software\\Classes\\CLSID\\{0E0E0E0E-0000-4000-8000-0000000000CC}",
            u"HKLM\\Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Other",
            u"HKLM\\System\\ControlSet001\\Services\\Other"};
}

std::vector<NamedValue> CanaryValues() {
    return {{u"HKLM\\Software", u"canary"},
            {u"HKLM\\Software\\Kelvane", u"canary"},
            {u"HKLM\\Software\\Kelvane\\Settings", u"Theme"},
            {u"HKLM\\Software\\Kelvane\\Other", u"v"},
            {u"HKCU\\Software\\Other", u"v"},
            {u"HKU\\.DEFAULT\\Software\\Kelvane Shared", u"Keep"},
            {u"HKU\\" + kOtherUser + u"\\Software\\Kelvane Shared", u"Keep"},
            {kVersionKey + u"\\Run", u"Other"},
            {kSharedDlls, u"C:\\Other\\x.dll"},
            {u"HKCR\\.other", u""}};
}

}  // namespace kelvane

namespace {

using namespace kelvane;

const std::u16string kClsid = u"HKCR\\CLSID\\{0E0E0E0E-0000-4000-8000-0000000000C1}";
const std::u16string kOcxClsid = u"HKCR\\CLSID\\{0E0E0E0E-0000-4000-8000-0000000000C2}";

std::string N(const std::u16string& text) { return Narrow(text); }

}  // namespace

std::u16string Respell(const Machine& machine, const std::u16string& path, unsigned way) {
    const std::size_t name = path.rfind(u'\\');
    const std::u16string folder = path.substr(0, name);
    const std::u16string file = path.substr(name);
    switch (way % kRespellings) {
        case 0: return folder + u"\\" + file;
        case 1: return u"\\\\?\\" + path;
        case 2: return folder.back() == u':' ? path : folder + u"." + file;
        case 3: return folder + u"\\." + file;
        case 4: return folder + u"\\gone\\.." + file;
        case 5: {
            std::u16string slashes = path;
            for (std::size_t i = 3; i < slashes.size(); ++i) {
                if (slashes[i] == u'\\') slashes[i] = u'/';
            }
            return slashes;
        }
        default: return machine.ShortPath(path);
    }
}

void InstallKelvane(Machine& m) {
    m.InstallDismora(kExe);
    for (const std::u16string& path : RemovedFiles()) m.WriteFile(path, "installed");
    for (const std::u16string& path : KeptFiles()) m.WriteFile(path, "shared");
    for (const std::u16string& path : CanaryFiles()) m.WriteFile(path, "canary");
    m.InstallProgram(kPreUninstall, {.exit_code = 1, .run_ms = 20});
    m.CreateFolder(kTemp);
    m.SetTempPath(kTemp);
    m.AddUserHive(kOtherUser);

    // Type libraries: the installation's own and another program's.
    TypeLibrary types;
    types.guid = {0x0E0E0E0E, 0, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0xC3}};
    m.InstallTypeLibrary(kFolder + u"\\types.tlb", types);
    TypeLibrary other;
    other.guid = {0x0E0E0E0E, 0, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0xCB}};
    m.InstallTypeLibrary(u"C:\\Program Files\\Common Files\\Other\\other.tlb", other);

    // Shared counts.
    m.SetDword(kSharedDlls, kFolder + u"\\kelvane.dll", 1);
    m.SetDword(kSharedDlls, u"C:\\Program Files\\Common Files\\Kelvane Shared\\shared.dll", 3);
    m.SetDword(kSharedDlls, u"C:\\Program Files\\Common Files\\Kelvane Shared\\zero.dll", 0);
    m.SetDword(kSharedDlls, u"C:\\Windows\\System32\\kelvane_helper.dll", 2);

    // The installation's keys and values.
    m.SetString(u"HKLM\\Software\\Kelvane\\App", u"", u"Kelvane");
    m.SetString(u"HKLM\\Software\\Kelvane\\App", u"Version", u"4.2");
    m.SetString(u"HKLM\\Software\\Kelvane\\App\\Plugins\\A", u"Path", u"a.dll");
    m.SetString(u"HKLM\\Software\\Kelvane\\App\\Plugins\\B\\Deep", u"Path", u"b.dll");
    m.SetString(u"HKLM\\Software\\Kelvane\\Settings", u"InstallDir", kFolder);
    m.SetString(u"HKLM\\Software\\Kelvane\\Settings", u"", u"default");
    m.SetString(u"HKCU\\Software\\Kelvane", u"Window", u"1,1,640,480");
    m.SetString(u"HKCU\\Software\\Kelvane\\Recent", u"1", u"C:\\doc.kel");
    for (const std::u16string& hive : {std::u16string(u".DEFAULT"), m.UserSid(), std::u16string(kOtherUser)}) {
        m.SetString(u"HKU\\" + hive + u"\\Software\\Kelvane Shared", u"LastUser", u"x");
    }
    m.SetString(kClsid, u"", u"Kelvane Object");
    m.SetString(kClsid + u"\\InprocServer32", u"", kFolder + u"\\kelvane.dll");
    m.SetString(kOcxClsid + u"\\InprocServer32", u"", kFolder + u"\\viewer.ocx");
    m.SetString(u"HKCR\\Kelvane.Project\\shell\\open\\command", u"", u"kelvane.exe /p \"%1\"");
    m.SetString(u"HKCR\\.kelp", u"", u"Kelvane.Project");
    m.SetString(kVersionKey + u"\\Uninstall\\Kelvane", u"DisplayName", u"Kelvane");
    m.SetString(kVersionKey + u"\\Run", u"Kelvane", kFolder + u"\\kelvane.exe /tray");

    // The association the installer took over.
    m.SetString(u"HKCR\\.kel", u"", u"Kelvane.Doc");
    m.SetString(u"HKCR\\Kelvane.Doc", u"", u"Kelvane Document");
    m.SetString(u"HKCR\\Kelvane.Doc\\DefaultIcon", u"", kFolder + u"\\kelvane.exe,1");
    m.SetString(u"HKCR\\Kelvane.Doc\\shell\\open\\command", u"", u"\"" + kFolder + u"\\kelvane.exe\" \"%1\"");
    m.SetString(u"HKCR\\Kelvane.Doc\\shell\\view\\command", u"", u"\"" + kFolder + u"\\kelvane.exe\" /v \"%1\"");

    // Canaries. Keys and values the log never names, beside each target and above it.
    for (const std::u16string& key : CanaryKeys()) m.CreateKey(key);
    m.SetString(u"HKCR\\Kelvane.Doc\\shell\\edit\\command", u"", u"notepad.exe \"%1\"");
    m.SetString(u"HKCR\\Kelvane.Doc\\shell\\print\\command", u"", u"\"C:\\Other\\print.exe\" \"%1\"");
    m.SetString(u"HKCR\\.other", u"", u"Other.Doc");
    m.SetString(u"HKCR\\Other.Doc", u"", u"Other Document");
    for (const NamedValue& value : CanaryValues()) {
        if (!m.GetValue(value.key, value.name)) m.SetString(value.key, value.name, u"canary");
    }
    m.SetDword(kSharedDlls, u"C:\\Other\\x.dll", 5);
}

test::LogBuilder KelvaneLog(int version) {
    test::LogBuilder log;
    log.version = version;
    log.scope = "ALL";
    log.product = "Kelvane";
    log.confirmation = {"Remove %s and all of its components?", "Your documents stay.", "Go on?"};
    log.completion = "%s was removed from your computer.";
    log.restart = {"Some files are still in use.", "They go when Windows restarts."};
    log.admin = "Only an administrator can remove %s.";
    log.pre_command = "\"" + N(kPreUninstall) + "\" /quiet";
    log.first_block_records = {"C:\\Program Files\\Kelvane\\kelvane.exe", "4.2", "x86"};
    log.second_block_records = {"Kelvane", "4.2"};
    log.files = {N(kFolder) + "\\kelvane.exe",
                 N(kFolder) + "\\kelvane.dll",
                 N(kFolder) + "\\viewer.ocx",
                 N(kFolder) + "\\types.tlb",
                 N(kFolder) + "\\bin\\tool.exe",
                 N(kFolder) + "\\doc\\deep\\readme.txt",
                 "C:\\Program Files\\Kelvane Tools\\only.exe",
                 "C:\\Program Files\\Common Files\\Kelvane Shared\\shared.dll",
                 "C:\\Program Files\\Common Files\\Kelvane Shared\\zero.dll",
                 "C:\\Windows\\System32\\kelvane_helper.dll",
                 "C:\\Users\\Tester\\AppData\\Roaming\\Kelvane\\settings.ini",
                 "C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\Kelvane\\Kelvane.lnk",
                 "C:\\Users\\Public\\Desktop\\Kelvane.lnk",
                 N(kExe)};
    log.registry = {
        "HKEY_AUTO\\Software\\Kelvane\\App\t*",
        "HKEY_LOCAL_MACHINE\\Software\\Kelvane\\Settings\tInstallDir",
        "HKEY_LOCAL_MACHINE\\Software\\Kelvane\\Settings\t",
        "HKEY_CURRENT_USER\\Software\\Kelvane\t*",
        "HKEY_USERS\\Software\\Kelvane Shared\tLastUser",
        "HKEY_CLASSES_ROOT\\CLSID\\{0E0E0E0E-0000-4000-8000-0000000000C1}\t*",
        "HKEY_CLASSES_ROOT\\CLSID\\{0E0E0E0E-0000-4000-8000-0000000000C2}\t*",
        "HKEY_CLASSES_ROOT\\Kelvane.Project\t*",
        "HKEY_CLASSES_ROOT\\.kelp\t",
        "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Kelvane\t*",
        "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Run\tKelvane",
        "HKEY_BOGUS\\Software\\Kelvane\\Other\t*",
        "HKEY_LOCAL_MACHINE\\Software\\Kelvane\\Missing\t*",
    };
    const std::string exe = "\"" + N(kFolder) + "\\kelvane.exe\"";
    log.associations = {".kel",
                        "Old Document",
                        "Kelvane Document",
                        "C:\\Old\\old.exe,0",
                        N(kFolder) + "\\kelvane.exe,1",
                        "open",
                        "%SystemRoot%\\notepad.exe \"%1\"",
                        exe + " \"%1\"",
                        "print",
                        "C:\\Old\\print.exe \"%1\"",
                        exe + " /p \"%1\"",
                        "view",
                        "",
                        exe + " /v \"%1\"",
                        "%",
                        ".missing",
                        "A",
                        "B",
                        "C",
                        "D",
                        "open",
                        "x",
                        "y",
                        "%"};
    log.components = {N(kFolder) + "\\kelvane.dll",
                      N(kFolder) + "\\VIEWER.OCX",
                      N(kFolder) + "\\types.tlb",
                      "C:\\Program Files\\Common Files\\Kelvane Shared\\shared.dll",
                      "C:\\Windows\\System32\\kelvane_helper.dll",
                      N(kFolder) + "\\NotListed.dll",
                      N(kFolder) + "\\kelvane.exe"};
    return log;
}

KelvaneRun::KelvaneRun(std::string log_bytes) : log_bytes_(std::move(log_bytes)) {
    InstallKelvane(machine);
    machine.WriteFile(kLog, log_bytes_);
    // Generous for any honest log: a fixed part for start-up and the installation, and a
    // share for every byte the log could make the program act on.
    call_budget = 60000 + 200 * static_cast<std::uint64_t>(log_bytes_.size());
}

RunResult KelvaneRun::Start(const std::u16string& arguments) {
    if (!safety) safety = std::make_shared<SafetyCheck>(machine, kLog, log_bytes_);
    // The user confirms; any other box is answered with its default button.
    answered_yes_ = safety->Log().header_ok;
    if (answered_yes_) machine.QueueAnswers({win::IDYES});
    machine.SetCallBudget(call_budget);
    std::u16string command_line = u"\"" + kExe + u"\"";
    if (!arguments.empty()) command_line += u" " + arguments;
    result_ = machine.RunProgram({.command_line = command_line, .module_path = kExe});
    return result_;
}

std::string KelvaneRun::Problems(bool count_leaks) const {
    std::string problems;
    if (safety) {
        std::string unnamed = safety->Report(machine);
        if (!unnamed.empty()) problems += "changed without the log naming it:\n" + unnamed;
    }
    // The pre-uninstall command is waited for without a limit. When the log makes it start
    // the program itself, that instance would run beside this one on Windows; the model
    // runs it only afterwards and reports the wait: that is the model's limit, not a fault.
    bool waits_for_itself = false;
    for (const WaitRecord& wait : machine.Waits()) {
        if (wait.timeout != win::INFINITE || wait.target_pid == 0) continue;
        for (const ProcessRecord& process : machine.Processes()) {
            waits_for_itself = waits_for_itself || (process.pid == wait.target_pid && process.dismora);
        }
    }
    // The Yes meant for the confirmation lands on the first box; when start-up failed, that
    // box is an error message with OK alone. The answer is the script's, not the program's.
    std::string scripted_yes;
    const auto& boxes = machine.MessageBoxes();
    if (answered_yes_ && !boxes.empty() && boxes[0].answer == win::IDYES &&
        (boxes[0].style & 0xF) != win::MB_YESNO) {
        scripted_yes = "message box \"" + Narrow(boxes[0].text) + "\" answered with 6, a button it does not have";
    }
    for (const std::string& violation : machine.Violations()) {
        if (!scripted_yes.empty() && violation.find(scripted_yes) != std::string::npos) continue;
        if (waits_for_itself && violation.find("waiting forever for a program that can only run after this process") !=
                                    std::string::npos) {
            continue;
        }
        problems += "violation: " + violation + "\n";
    }
    for (const HandleRecord& leak : count_leaks ? machine.Leaks() : std::vector<HandleRecord>{}) {
        problems += "handle left open by process " + std::to_string(leak.pid) + ": " + Narrow(leak.what) + "\n";
    }
    if (result_.chain_cut) problems += "the program kept starting itself\n";
    return problems;
}

}  // namespace dismora::sim
