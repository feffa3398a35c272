#include "support/invariant.h"

#include <algorithm>
#include <cstdio>
#include <functional>

#include "actions/registry_removal.h"
#include "log/header.h"
#include "log/log_reader.h"
#include "support/sim_state.h"

namespace dismora::sim {

namespace {

using detail::Fold;
using Text = std::u16string;
using TextView = std::u16string_view;

constexpr char16_t kValueMark = u'\x01';
const Text kMachine = u"HKEY_LOCAL_MACHINE";
const Text kUsers = u"HKEY_USERS";
const Text kSharedDlls = u"SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION\\SHAREDDLLS";
const Text kPendingValue =
    u"HKEY_LOCAL_MACHINE\\SYSTEM\\CURRENTCONTROLSET\\CONTROL\\SESSION MANAGER\x01PENDINGFILERENAMEOPERATIONS";

// Keys below a classes root that hold every program's registrations.
const char16_t* const kClassKeysOfEveryone[] = {
    u"CLSID",   u"INTERFACE", u"TYPELIB", u"APPID",   u"*",        u"DIRECTORY", u"FOLDER",
    u"EXEFILE", u".EXE",      u"LNKFILE", u".LNK",    u"BATFILE",  u".BAT",      u"CMDFILE",
    u".CMD",    u"COMFILE",   u".COM",    u"DRIVE",   u"ALLFILESYSTEMOBJECTS",   u"SYSTEMFILEASSOCIATIONS"};

// Keys that hold every program's or the system's settings. A whole-key entry for one of
// them, or for a key above one, names nothing: no single installation owns it.
const char16_t* const kKeysOfEveryone[] = {
    u"SOFTWARE\\CLASSES\\CLSID",
    u"SOFTWARE\\CLASSES\\INTERFACE",
    u"SOFTWARE\\CLASSES\\TYPELIB",
    u"SOFTWARE\\CLASSES\\APPID",
    u"SOFTWARE\\CLASSES\\*",
    u"SOFTWARE\\CLASSES\\DIRECTORY",
    u"SOFTWARE\\CLASSES\\FOLDER",
    u"SOFTWARE\\CLASSES\\EXEFILE",
    u"SOFTWARE\\CLASSES\\.EXE",
    u"SOFTWARE\\CLASSES\\LNKFILE",
    u"SOFTWARE\\CLASSES\\.LNK",
    u"SOFTWARE\\CLASSES\\BATFILE",
    u"SOFTWARE\\CLASSES\\.BAT",
    u"SOFTWARE\\CLASSES\\CMDFILE",
    u"SOFTWARE\\CLASSES\\.CMD",
    u"SOFTWARE\\CLASSES\\COMFILE",
    u"SOFTWARE\\CLASSES\\.COM",
    u"SOFTWARE\\CLASSES\\DRIVE",
    u"SOFTWARE\\CLASSES\\ALLFILESYSTEMOBJECTS",
    u"SOFTWARE\\CLASSES\\SYSTEMFILEASSOCIATIONS",
    u"SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION\\EXPLORER\\SHELLEXECUTEHOOKS",
    u"SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION\\EXPLORER\\BROWSER HELPER OBJECTS",
    u"SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION\\EXPLORER\\SHELLICONOVERLAYIDENTIFIERS",
    u"SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION\\SHELL EXTENSIONS\\APPROVED",
    u"SOFTWARE\\MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\WINLOGON",
    u"SOFTWARE\\MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\WINDOWS",
    u"SOFTWARE\\MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\IMAGE FILE EXECUTION OPTIONS",
    u"SOFTWARE\\MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\FONTS",
    u"SOFTWARE\\MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\PROFILELIST",
    u"SYSTEM\\CURRENTCONTROLSET\\CONTROL\\SESSION MANAGER\\ENVIRONMENT",
    u"SYSTEM\\CURRENTCONTROLSET\\CONTROL\\SESSION MANAGER\\KNOWNDLLS",
    u"SYSTEM\\CURRENTCONTROLSET\\CONTROL\\CLASS",
    u"SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION\\SHAREDDLLS",
    u"SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION\\EXPLORER\\SHELL FOLDERS",
    u"SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION\\EXPLORER\\USER SHELL FOLDERS",
    u"SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION\\POLICIES\\SYSTEM",
    u"SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION\\UNINSTALL",
    u"SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION\\RUN",
    u"SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION\\APP PATHS",
    u"SOFTWARE\\MICROSOFT\\WINDOWS NT\\CURRENTVERSION",
    u"SOFTWARE\\POLICIES",
    u"SOFTWARE\\WOW6432NODE",
    u"SYSTEM\\CURRENTCONTROLSET\\CONTROL\\SESSION MANAGER",
    u"SYSTEM\\CURRENTCONTROLSET\\SERVICES",
    u"CONTROL PANEL",
    u"ENVIRONMENT",
};

bool Contains(TextView text, char16_t c) { return text.find(c) != TextView::npos; }

// True when path lies strictly below ancestor (both folded, no trailing backslash).
bool IsBelow(TextView path, TextView ancestor) {
    return path.size() > ancestor.size() + 1 && path.substr(0, ancestor.size()) == ancestor &&
           path[ancestor.size()] == u'\\';
}

// A key path as the registry walks it: doubled, leading and trailing backslashes pass; folded.
Text NormalKey(TextView path) {
    Text out;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find(u'\\', start);
        if (end == TextView::npos) end = path.size();
        if (end > start) {
            if (!out.empty()) out += u'\\';
            out += path.substr(start, end - start);
        }
        start = end + 1;
    }
    return Fold(out);
}

Text JoinKey(const Text& key, const Text& sub) { return sub.empty() ? key : key + u"\\" + sub; }

Text ValueId(const Text& key, TextView name) { return key + kValueMark + Fold(name); }

// A folder path folded, without trailing backslashes.
Text NormalFolder(TextView path) {
    Text out = Fold(path);
    while (!out.empty() && out.back() == u'\\') out.pop_back();
    return out;
}

Text AsciiUpper(TextView text) {
    Text out(text);
    for (char16_t& c : out) {
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 0x20);
    }
    return out;
}

// A string value's text up to its first NUL.
Text StringData(const RegistryValue& value) {
    Text text;
    for (std::size_t i = 0; i + 1 < value.data.size(); i += 2) {
        auto c = static_cast<char16_t>(value.data[i] | (value.data[i + 1] << 8));
        if (c == u'\0') break;
        text += c;
    }
    return text;
}

const RegistryValue* FindValue(const Snapshot& snapshot, const Text& key, TextView name) {
    auto it = snapshot.values.find(ValueId(key, name));
    return it == snapshot.values.end() ? nullptr : &it->second.value;
}

std::vector<Text> HivesOf(const Snapshot& snapshot) {
    std::vector<Text> hives;
    const Text prefix = kUsers + u"\\";
    for (const auto& [folded, spelling] : snapshot.keys) {
        if (folded.size() > prefix.size() && folded.compare(0, prefix.size(), prefix) == 0 &&
            !Contains(TextView(folded).substr(prefix.size()), u'\\')) {
            hives.push_back(folded);
        }
    }
    return hives;
}

Text TempFolderOf(const Machine& machine) {
    const detail::State& state = machine.state();
    return NormalFolder(
        state.temp_path.value_or(u"C:\\Users\\" + state.options.user_name + u"\\AppData\\Local\\Temp"));
}

// A holding folder of the program's, or a file right in one (folded path).
bool InHoldingFolder(TextView folded, const RunContext& context) {
    std::size_t start = 3;
    if (folded.size() < 3 || folded[1] != u':' || folded[2] != u'\\') return false;
    if (folded.find(u'\\', 3) != TextView::npos && IsBelow(folded, context.temp_folder)) {
        start = context.temp_folder.size() + 1;
    }
    const TextView rest = folded.substr(start);
    const std::size_t cut = rest.find(u'\\');
    return rest.starts_with(u"~DISMORA-ASIDE-") && (cut == TextView::npos || rest.find(u'\\', cut + 1) == TextView::npos);
}

// A file in a holding folder holds a named file under its own name, after its number.
bool HeldFileIsNamed(TextView folded, const std::set<Text>& named) {
    const std::size_t cut = folded.rfind(u'\\');
    const std::size_t dash = folded.find(u'-', cut);
    if (dash == TextView::npos) return false;
    const TextView name = folded.substr(dash + 1);
    for (const Text& file : named) {
        if (file.size() > name.size() && TextView(file).ends_with(name) && file[file.size() - name.size() - 1] == u'\\') return true;
    }
    return false;
}

struct Block {
    Text extension;
    std::vector<Text> verbs;
};

// The association and component sections. Where a block begins depends on whether the
// program could open its keys (a block it cannot use is passed over up to its first "%"
// line, one it can use is read by its layout), so every reading is followed and what
// any of them names counts.
void WalkLastSections(const std::vector<Text>& rest, std::vector<Block>& blocks, std::vector<Text>& components) {
    const std::size_t n = rest.size();
    // After reading line i the reader is at the end when i is the last line.
    auto acted = [n](std::size_t i) { return i + 1 < n; };
    std::vector<std::size_t> next_percent(n + 1, n);
    for (std::size_t i = n; i-- > 0;) next_percent[i] = rest[i] == u"%" ? i : next_percent[i + 1];

    std::vector<bool> seen(n + 1, false);
    std::vector<bool> component_start(n + 1, false);
    std::vector<std::size_t> pending = {0};
    auto visit = [&](std::size_t p) {
        p = std::min(p, n);
        if (!seen[p]) {
            seen[p] = true;
            pending.push_back(p);
        }
    };
    seen[0] = true;
    while (!pending.empty()) {
        std::size_t p = pending.back();
        pending.pop_back();
        if (p >= n || !acted(p) || rest[p] == u"%%%") {
            component_start[std::min(p + 1, n)] = true;
            continue;
        }
        // Passed over: up to and including the next "%" line.
        const std::size_t percent = next_percent[p + 1];
        visit(percent < n ? percent + 1 : n);
        // Read by its layout: four lines, then verb records up to "%".
        Block block{rest[p], {}};
        std::size_t k = p + 5;
        while (k < n && acted(k) && rest[k] != u"%") {
            block.verbs.push_back(rest[k]);
            k += 3;
        }
        blocks.push_back(std::move(block));
        visit(k + 1);
    }
    for (std::size_t start = 0; start < n; ++start) {
        if (!component_start[start]) continue;
        for (std::size_t k = start; k < n && acted(k) && rest[k] != u"%%%"; ++k) {
            if (k > start && component_start[k]) break;  // walked from there already
            components.push_back(rest[k]);
        }
    }
}

// The key a second name of the registry shows: the 32-bit view below SOFTWARE, its
// classes or the classes root, and a numbered control set (both folded).
Text WithoutAlias(Text path, bool under_classes_root) {
    const Text view = u"WOW6432NODE";
    for (const Text& parent : {Text(), Text(u"SOFTWARE\\"), Text(u"SOFTWARE\\CLASSES\\")}) {
        if (parent.empty() != under_classes_root) continue;
        const Text alias = parent + view;
        if (path.compare(0, alias.size(), alias) == 0 && (path.size() == alias.size() || path[alias.size()] == u'\\')) {
            path.erase(parent.size(), view.size() + 1);
            if (!path.empty() && path.back() == u'\\') path.pop_back();
            return path;
        }
    }
    // "SYSTEM\CONTROLSET" and three digits.
    const bool numbered =
        !under_classes_root && path.size() >= 20 && path.compare(0, 17, u"SYSTEM\\CONTROLSET") == 0 &&
        (path.size() == 20 || path[20] == u'\\') &&
        std::all_of(path.begin() + 17, path.begin() + 20, [](char16_t c) { return c >= u'0' && c <= u'9'; });
    if (numbered) path.replace(7, 13, u"CURRENTCONTROLSET");
    return path;
}

bool OwnedByNoOne(const Text& written_path, bool under_classes_root) {
    const Text key_path = WithoutAlias(written_path, under_classes_root);
    if (key_path.empty()) return true;
    if (under_classes_root) {
        for (const char16_t* name : kClassKeysOfEveryone) {
            if (key_path == name) return true;
        }
        return false;
    }
    for (const char16_t* name : kKeysOfEveryone) {
        if (key_path == name || IsBelow(name, key_path)) return true;
    }
    return false;
}

// What the log names, resolved on the machine as it was.
struct Names {
    std::set<Text> files;
    std::set<Text> keys;      // may be removed
    std::set<Text> subtrees;  // everything below may be removed
    std::set<Text> values;    // may be removed, changed or written
    std::set<Text> new_keys;  // may be created
    std::set<Text> protected_folders;
};

void AddProtectedFolders(const BeforePicture& before, Names& names) {
    const Snapshot& snapshot = before.snapshot;
    auto add = [&](TextView folder) {
        if (!folder.empty()) names.protected_folders.insert(NormalFolder(folder));
    };
    const Text windows = NormalFolder(before.windows_folder);
    add(windows);
    add(before.system_folder);
    add(u"C:\\Program Files");
    add(u"C:\\Program Files\\Common Files");
    for (const char16_t* sub : {u"\\Start Menu", u"\\Start Menu\\Programs", u"\\Start Menu\\Programs\\StartUp",
                                u"\\Desktop", u"\\SendTo", u"\\Application Data"}) {
        add(windows + sub);
    }
    if (windows.size() >= 2) add(windows.substr(0, 2) + u"\\My Documents");
    const Text version = kMachine + u"\\SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION";
    for (const char16_t* name : {u"ProgramFilesDir", u"CommonFilesDir"}) {
        if (const RegistryValue* value = FindValue(snapshot, Fold(version), name)) {
            add(StringData(*value));
            add(NormalFolder(StringData(*value)) + u"\\COMMON FILES");
        }
    }
    // Every shell folder of the machine and of every user, per-user ones replaced by
    // all-users ones included.
    std::vector<Text> shell_keys = {Fold(version) + u"\\EXPLORER\\SHELL FOLDERS"};
    for (const Text& hive : HivesOf(snapshot)) {
        shell_keys.push_back(hive + u"\\SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION\\EXPLORER\\SHELL FOLDERS");
    }
    for (const Text& key : shell_keys) {
        const Text prefix = key + kValueMark;
        for (auto it = snapshot.values.lower_bound(prefix);
             it != snapshot.values.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it) {
            const Text folder = StringData(it->second.value);
            add(folder);
            add(NormalFolder(folder) + u"\\PROGRAMS");
            add(NormalFolder(folder) + u"\\STARTUP");
        }
    }
}

std::vector<Text> ClassesRoots(const LogSections& log, const std::vector<Text>& sids) {
    if (log.auto_is_machine) return {kMachine + u"\\SOFTWARE\\CLASSES"};
    std::vector<Text> roots;
    for (const Text& sid : sids) {
        // A person's classes are a hive of their own; a service account's lie in its hive.
        roots.push_back(kUsers + u"\\" + Fold(sid) + u"_CLASSES");
        roots.push_back(kUsers + u"\\" + Fold(sid) + u"\\SOFTWARE\\CLASSES");
    }
    return roots;
}

void NameRegistryEntries(const LogSections& log, const BeforePicture& before, const std::vector<Text>& sids,
                         Names& names) {
    std::vector<Text> users;
    for (const Text& sid : sids) users.push_back(kUsers + u"\\" + Fold(sid));
    const std::vector<Text> classes = ClassesRoots(log, sids);
    const std::vector<Text> hives = HivesOf(before.snapshot);
    for (const Text& line : log.registry) {
        if (Contains(line, u'\0')) continue;
        const TRegistryEntry entry = SplitRegistryEntry(line);
        const Text root = AsciiUpper(entry.root_name);
        std::vector<Text> roots;
        bool classes_root = false;
        bool users_root = false;
        if (root == u"HKEY_AUTO") {
            roots = log.auto_is_machine ? std::vector<Text>{kMachine} : users;
        } else if (root == u"HKEY_CLASSES_ROOT") {
            roots = classes;
            classes_root = true;
        } else if (root == u"HKEY_CURRENT_USER") {
            roots = users;
        } else if (root == u"HKEY_LOCAL_MACHINE") {
            roots = {kMachine};
        } else if (root == u"HKEY_USERS") {
            roots = hives;
            users_root = true;
        } else {
            continue;
        }
        const Text path = NormalKey(entry.key_path);
        if (entry.value_field != u"*") {
            for (const Text& r : roots) names.values.insert(ValueId(JoinKey(r, path), entry.value_field));
            continue;
        }
        // A user's classes are a hive of their own beside the user's hive.
        if (OwnedByNoOne(path, classes_root) || (users_root && OwnedByNoOne(path, true))) continue;
        for (const Text& r : roots) {
            const Text key = JoinKey(r, path);
            names.subtrees.insert(key);
            // A key right under its root is emptied but stays; a hive is such a root too.
            if (users_root || Contains(path, u'\\')) names.keys.insert(key);
        }
    }
}

void NameAssociations(const std::vector<Block>& blocks, const LogSections& log, const BeforePicture& before,
                      const std::vector<Text>& sids, Names& names) {
    for (const Text& classes : ClassesRoots(log, sids)) {
        for (const Block& block : blocks) {
            if (Contains(block.extension, u'\0')) continue;
            const RegistryValue* type = FindValue(before.snapshot, JoinKey(classes, NormalKey(block.extension)), u"");
            if (type == nullptr) continue;
            const Text type_path = NormalKey(StringData(*type));
            if (type_path.empty()) continue;
            const Text file_type = classes + u"\\" + type_path;
            names.values.insert(ValueId(file_type, u""));
            names.keys.insert(file_type + u"\\DEFAULTICON");
            names.values.insert(ValueId(file_type + u"\\DEFAULTICON", u""));
            for (const Text& verb : block.verbs) {
                if (Contains(verb, u'\0') || NormalKey(verb).empty()) continue;
                const Text verb_key = JoinKey(file_type + u"\\SHELL", NormalKey(verb));
                names.keys.insert(verb_key);
                names.keys.insert(verb_key + u"\\COMMAND");
                names.values.insert(ValueId(verb_key + u"\\COMMAND", u""));
            }
        }
    }
}

std::vector<Text> Resolve(const Text& entry, const std::vector<Text>& folders) {
    std::vector<Text> paths;
    if (Contains(entry, u'\0')) return paths;
    for (const Text& folder : folders) {
        Text full = detail::FullPath(entry, folder);
        if (!full.empty()) paths.push_back(Fold(full));
    }
    return paths;
}

Names NamesOf(const LogSections& log, const BeforePicture& before, std::u16string_view log_path,
              const RunContext& context) {
    Names names;
    AddProtectedFolders(before, names);
    std::vector<Text> folders = context.current_folders;
    Text log_folder(log_path.substr(0, log_path.rfind(u'\\') + 1));
    if (!log_folder.empty()) folders.push_back(log_folder);
    std::vector<Text> sids = context.user_sids;

    for (const Text& path : Resolve(Text(log_path), folders)) {
        names.files.insert(path);
        names.files.insert(path + u".JOURNAL");  // the program's own, beside the log
    }
    if (!log.header_ok) return names;

    std::set<Text> listed;
    for (const Text& entry : log.files) {
        for (const Text& path : Resolve(entry, folders)) listed.insert(path);
    }
    names.files.insert(listed.begin(), listed.end());
    names.files.insert(before.listed_real.begin(), before.listed_real.end());
    std::vector<Text> count_keys;
    if (log.all_users) {
        count_keys.push_back(kMachine + u"\\" + kSharedDlls);
    } else {
        for (const Text& sid : sids) {
            const Text hive = kUsers + u"\\" + Fold(sid);
            Text key = hive;
            for (const char16_t* part : {u"SOFTWARE", u"MICROSOFT", u"WINDOWS", u"CURRENTVERSION", u"SHAREDDLLS"}) {
                key += u"\\" + Text(part);
                names.new_keys.insert(key);
            }
            count_keys.push_back(key);
        }
    }
    for (const Text& entry : log.files) {
        if (Contains(entry, u'\0')) continue;
        for (const Text& key : count_keys) names.values.insert(ValueId(key, entry));
    }

    NameRegistryEntries(log, before, sids, names);

    std::vector<Block> blocks;
    std::vector<Text> components;
    WalkLastSections(log.rest, blocks, components);
    NameAssociations(blocks, log, before, sids, names);
    for (const Text& entry : components) {
        for (const Text& path : Resolve(entry, folders)) {
            if (!listed.count(path)) continue;
            auto found = before.type_library_keys.find(path);
            if (found == before.type_library_keys.end()) continue;
            for (const Text& version_key : found->second) {
                names.keys.insert(version_key);
                names.subtrees.insert(version_key);
                names.keys.insert(version_key.substr(0, version_key.rfind(u'\\')));
            }
        }
    }
    return names;
}

bool KeyMayGo(const Names& names, const Text& key) {
    if (names.keys.count(key)) return true;
    for (std::size_t at = key.rfind(u'\\'); at != Text::npos && at > 0; at = key.rfind(u'\\', at - 1)) {
        if (names.subtrees.count(key.substr(0, at))) return true;
    }
    return false;
}

Text ValuePath(const Snapshot::Value& value) { return value.key + u"\\[" + value.value.name + u"]"; }

std::string Hex32(DWORD value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%X", value);
    return buffer;
}

Text GuidText(const win::GUID& g) {
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2,
                  g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                  g.Data4[7]);
    return Widen(buffer);
}

void CollectTypeLibraries(const detail::FsNode& node, const Text& path, BeforePicture& out) {
    for (const auto& [key, child] : node.children) {
        const Text child_path = path + u"\\" + child->name;
        if (child->folder) {
            CollectTypeLibraries(*child, child_path, out);
        } else if (child->type_library) {
            const TypeLibrary& library = *child->type_library;
            out.type_library_keys[Fold(child_path)].push_back(
                Fold(kMachine + u"\\SOFTWARE\\CLASSES\\TYPELIB\\" + GuidText(library.guid) + u"\\" +
                     detail::Hex(library.major) + u"." + detail::Hex(library.minor)));
        }
    }
}

}  // namespace

LogSections ReadLogSections(std::string_view bytes) {
    LogSections lines;
    // A machine of its own, so that reading leaves no trace on the one under test.
    Machine scratch(MachineOptions{.standard_layout = false});
    const Text path = u"C:\\Kelvane.log";
    scratch.WriteFile(path, bytes);
    scratch.Run({.command_line = u"C:\\reader.exe"}, [&] {
        LogReader log;
        THeader header;
        if (!log.Open(path) || ParseHeader(log, header) != HeaderStatus::kOk) return;
        lines.header_ok = true;
        lines.all_users = header.all_users;
        lines.auto_is_machine = header.auto_root == win::HKEY_LOCAL_MACHINE;
        log.ReadLine();  // the pre-uninstall command
        std::int32_t records = log.ReadCount();
        if (records > 0) log.SkipLines(3 * static_cast<std::int64_t>(records));
        records = log.ReadCount();
        if (records > 0) log.SkipLines(2 * static_cast<std::int64_t>(records));
        while (NextEntry(log, u"%%%")) lines.files.push_back(log.current_line);
        while (NextEntry(log, u"%%%")) lines.registry.push_back(log.current_line);
        while (!log.AtEnd()) lines.rest.push_back(log.ReadLine());
    });
    return lines;
}

BeforePicture TakeBeforePicture(const Machine& machine, const LogSections& log, std::u16string_view log_path) {
    BeforePicture picture;
    picture.snapshot = machine.TakeSnapshot();
    const detail::State& state = machine.state();
    picture.windows_folder = state.windows_folder;
    picture.system_folder = state.system_folder;
    // Short forms of what may be scheduled: the listed files, the log, the program's images.
    // A relative entry resolves where the program runs: beside the log or in the temporary folder.
    const Text log_folder(log_path.substr(0, log_path.rfind(u'\\') + 1));
    const std::vector<Text> folders = {log_folder, TempFolderOf(machine) + u"\\"};
    std::vector<Text> candidates = log.files;
    candidates.emplace_back(log_path);
    for (const Text& entry : candidates) {
        // However the log spells a path (short names, a junction on the way, "\\?\\"), what
        // it reaches is what it names.
        for (const Text& folder : folders) {
            if (Contains(entry, u'\0')) break;
            const Text real = machine.RealPath(detail::FullPath(entry, folder));
            if (!real.empty()) picture.listed_real.insert(Fold(real));
        }
        for (const Text& path : Resolve(entry, folders)) {
            auto found = picture.snapshot.files.find(path);
            if (found == picture.snapshot.files.end() || found->second.folder) continue;
            const Text short_path = machine.ShortPath(found->second.path);
            if (!short_path.empty()) picture.long_by_short[Fold(short_path)] = path;
        }
    }
    for (const auto& [folded, entry] : picture.snapshot.files) {
        if (entry.folder || !machine.IsDismoraImage(entry.path)) continue;
        picture.program_images.insert(folded);
        const Text short_path = machine.ShortPath(entry.path);
        if (!short_path.empty()) picture.program_images.insert(Fold(short_path));
    }
    for (const auto& [letter, drive] : state.drives) CollectTypeLibraries(*drive.root, drive.root->name, picture);
    return picture;
}

RunContext ContextOf(const Machine& after) {
    RunContext context;
    context.temp_folder = TempFolderOf(after);
    // The holding folders and what is in them, scheduled by their short names too.
    for (const Text& pending : after.PendingDeletions()) {
        const Text real = Fold(after.RealPath(pending));
        if (!real.empty() && InHoldingFolder(real, context)) context.added_program_images.insert(Fold(pending));
    }
    for (const ProcessRecord& process : after.Processes()) {
        if (!process.dismora) continue;
        context.current_folders.push_back(process.current_folder);
        context.user_sids.push_back(process.token.user_sid.empty() ? after.UserSid() : process.token.user_sid);
    }
    if (context.user_sids.empty()) context.user_sids.push_back(after.UserSid());
    return context;
}

std::vector<Change> UnnamedChanges(const BeforePicture& before, const Snapshot& after, std::string_view log_bytes,
                                   std::u16string_view log_path, const RunContext& context) {
    return UnnamedChanges(before, after, ReadLogSections(log_bytes), log_path, context);
}

std::vector<Change> UnnamedChanges(const BeforePicture& before, const Snapshot& after, const LogSections& log,
                                   std::u16string_view log_path, const RunContext& context) {
    const Names names = NamesOf(log, before, log_path, context);
    const Snapshot& was = before.snapshot;
    std::vector<Change> out;
    using Kind = Change::Kind;
    using What = Change::What;

    // Files and folders.
    for (const auto& [folded, entry] : was.files) {
        auto now = after.files.find(folded);
        if (now == after.files.end()) {
            if (InHoldingFolder(folded, context)) continue;  // an earlier run's, cleared
            if (!entry.folder) {
                if (!names.files.count(folded)) out.push_back({Kind::kRemoved, What::kFile, entry.path, "not named"});
                continue;
            }
            bool emptied_above_named = false;
            for (auto it = names.files.lower_bound(folded + u"\\");
                 it != names.files.end() && IsBelow(*it, folded); ++it) {
                emptied_above_named = true;
                break;
            }
            bool guards = names.protected_folders.count(folded) > 0;
            for (const Text& folder : names.protected_folders) guards = guards || IsBelow(folder, folded);
            if (!emptied_above_named || guards) {
                out.push_back({Kind::kRemoved, What::kFolder, entry.path,
                               guards ? "a protected folder, or above one" : "no named file below it"});
            }
        } else if (now->second.folder != entry.folder || now->second.contents != entry.contents ||
                   now->second.attributes != entry.attributes) {
            // A stale copy of the program in the temporary folder is overwritten by a new one.
            if (!entry.folder && context.added_program_images.count(folded)) continue;
            // A named file that stays (in use) may have lost its read-only attribute, and
            // nothing else.
            const bool only_read_only_dropped = now->second.folder == entry.folder &&
                                                now->second.contents == entry.contents &&
                                                now->second.attributes == (entry.attributes & ~win::FILE_ATTRIBUTE_READONLY);
            if (!entry.folder && only_read_only_dropped && names.files.count(folded)) continue;
            std::string detail = "attributes " + Hex32(entry.attributes) + " -> " + Hex32(now->second.attributes);
            if (now->second.contents != entry.contents) detail = "contents replaced";
            out.push_back({Kind::kChanged, entry.folder ? What::kFolder : What::kFile, entry.path, detail});
        }
    }
    for (const auto& [folded, entry] : after.files) {
        if (was.files.count(folded)) continue;
        if (!entry.folder && context.added_program_images.count(folded)) continue;
        if (InHoldingFolder(folded, context) && (entry.folder || HeldFileIsNamed(folded, names.files))) continue;
        out.push_back({Kind::kAdded, entry.folder ? What::kFolder : What::kFile, entry.path, ""});
    }

    // Keys.
    for (const auto& [folded, spelling] : was.keys) {
        if (!after.keys.count(folded) && !KeyMayGo(names, folded)) {
            out.push_back({Kind::kRemoved, What::kKey, spelling, "not named"});
        }
    }
    std::set<Text> hives;
    for (const Text& sid : context.user_sids) {
        const Text hive = kUsers + u"\\" + Fold(sid);
        for (const Text& key : {hive, hive + u"_CLASSES", hive + u"\\SOFTWARE", hive + u"\\SOFTWARE\\CLASSES"}) {
            hives.insert(key);
        }
    }
    for (const auto& [folded, spelling] : after.keys) {
        if (was.keys.count(folded) || names.new_keys.count(folded) || hives.count(folded)) continue;
        out.push_back({Kind::kAdded, What::kKey, spelling, ""});
    }

    // Values: the pending deletions list is checked entry by entry below.
    for (const auto& [id, value] : was.values) {
        if (id == kPendingValue) continue;
        auto now = after.values.find(id);
        const Text key = id.substr(0, id.find(kValueMark));
        if (now == after.values.end()) {
            if (names.values.count(id)) continue;
            if (!after.keys.count(key) && KeyMayGo(names, key)) continue;
            out.push_back({Kind::kRemoved, What::kValue, ValuePath(value), "not named"});
        } else if ((now->second.value.type != value.value.type || now->second.value.data != value.value.data) &&
                   !names.values.count(id)) {
            out.push_back({Kind::kChanged, What::kValue, ValuePath(value), "not named"});
        }
    }
    for (const auto& [id, value] : after.values) {
        if (id == kPendingValue || was.values.count(id) || names.values.count(id)) continue;
        out.push_back({Kind::kAdded, What::kValue, ValuePath(value), ""});
    }

    // Deletions at restart: listed files, the log and the program's own images only.
    std::vector<Text> left = was.pending_deletions;
    for (const Text& path : after.pending_deletions) {
        auto it = std::find(left.begin(), left.end(), path);
        if (it != left.end()) {
            left.erase(it);
            continue;
        }
        const Text folded = Fold(path);
        auto long_form = before.long_by_short.find(folded);
        const bool named = names.files.count(folded) ||
                           (long_form != before.long_by_short.end() && names.files.count(long_form->second)) ||
                           before.program_images.count(folded) || context.added_program_images.count(folded);
        if (!named) out.push_back({Kind::kAdded, What::kPendingDeletion, path, "not named"});
    }
    for (const Text& path : left) out.push_back({Kind::kRemoved, What::kPendingDeletion, path, ""});
    return out;
}

SafetyCheck::SafetyCheck(const Machine& machine, std::u16string log_path)
    : SafetyCheck(machine, log_path, machine.FileContents(log_path).value_or(std::string())) {}

SafetyCheck::SafetyCheck(const Machine& machine, std::u16string log_path, std::string log_bytes)
    : log_path_(std::move(log_path)),
      log_(ReadLogSections(log_bytes)),
      before_(TakeBeforePicture(machine, log_, log_path_)) {}

std::vector<Change> SafetyCheck::Unnamed(const Machine& after) const {
    Snapshot now = after.TakeSnapshot();
    RunContext context = ContextOf(after);
    // The program copies itself into the temporary folder only, over a stale copy too.
    const Text temp = TempFolderOf(after);
    for (const auto& [folded, entry] : now.files) {
        if (entry.folder || !IsBelow(folded, temp) || !after.IsDismoraImage(entry.path)) continue;
        auto was = before_.snapshot.files.find(folded);
        if (was != before_.snapshot.files.end() && was->second.contents == entry.contents) continue;
        context.added_program_images.insert(folded);
        const Text short_path = after.ShortPath(entry.path);
        if (!short_path.empty()) context.added_program_images.insert(Fold(short_path));
    }
    // The journal of the shared counts a run lowers lives beside the log, for the run only.
    const Text journal = log_path_ + u".journal";
    context.added_program_images.insert(Fold(journal));
    if (after.IsFile(journal)) context.added_program_images.insert(Fold(after.ShortPath(journal)));
    return UnnamedChanges(before_, now, log_, log_path_, context);
}

std::string SafetyCheck::Report(const Machine& after) const { return ToString(Unnamed(after)); }

}  // namespace dismora::sim
