#include "actions/registry_removal.h"

#include <vector>

#include "actions/event_sink.h"
#include "environment/well_known_folders.h"
#include "log/entries.h"
#include "log/log_reader.h"
#include "platform/unique_handle.h"

namespace dismora {

namespace {

constexpr win::DWORD kUserNameChars = 256;
constexpr std::size_t kUserKeysMax = 256;
constexpr win::DWORD kSubkeyNameChars = 262;

// Keys that hold every program's settings or the system's, and the keys Windows itself
// owns just below them: a log that names one of them, or a key above one of them, with "*"
// would wipe far more than one installation or break Windows (an installer's empty
// variable is enough), so such a line is not acted on. Each key above a listed one is
// refused too (Software, Software\Microsoft\Windows\CurrentVersion, ...); values, and
// keys below a listed one that the log names, still go.
// One text rather than a table of pointers, which would each need relocating: the keys
// end with a NUL each and the list with an empty one.
const char kSharedKeys[] =
    "#CLSID\0"
    "#Interface\0"
    "#TypeLib\0"
    "#AppID\0"
    "#*\0"
    "#Directory\0"
    "#Folder\0"
    "#exefile\0"                // how every program starts
    "#.exe\0"
    "#lnkfile\0"                // every shortcut
    "#.lnk\0"
    "#batfile\0"                // every batch file
    "#.bat\0"
    "#cmdfile\0"
    "#.cmd\0"
    "#comfile\0"
    "#.com\0"
    "#Drive\0"                  // the shell's menus of drives and of every file and folder
    "#AllFilesystemObjects\0"
    "#SystemFileAssociations\0"  // the types Windows associates itself
    "~SharedDLLs\0"
    "~Explorer\\Shell Folders\0"
    "~Explorer\\User Shell Folders\0"
    "~Explorer\\ShellExecuteHooks\0"  // every program's shell extensions, one value each
    "~Explorer\\Browser Helper Objects\0"
    "~Explorer\\ShellIconOverlayIdentifiers\0"
    "~Shell Extensions\\Approved\0"
    "~Policies\\System\0"
    "~Uninstall\0"
    "~Run\0"
    "~RunOnce\0"
    "~App Paths\0"
    "Software\\Microsoft\\Windows NT\\CurrentVersion\0"
    "Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon\0"  // the sign-in itself
    "Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows\0"   // AppInit and load settings
    "Software\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options\0"  // every program's debugger and mitigations
    "Software\\Microsoft\\Windows NT\\CurrentVersion\\Fonts\0"     // every installed font
    "Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\0"  // every user's profile
    "Software\\Policies\0"
    "Software\\Wow6432Node\0"
    "System\\CurrentControlSet\\Control\\Session Manager\0"
    "System\\CurrentControlSet\\Control\\Session Manager\\Environment\0"  // every program's PATH
    "System\\CurrentControlSet\\Control\\Session Manager\\KnownDLLs\0"    // where system DLLs load from
    "System\\CurrentControlSet\\Control\\Class\0"                       // every device's drivers
    "System\\CurrentControlSet\\Services\0"
    "Control Panel\0"
    "Environment\0";
// The first of them stand below the classes root ("Software\Classes" of a root).
constexpr std::size_t kClassKeys = 20;
constexpr std::size_t kClassesPrefix = 17;  // "Software\Classes\"

// The list spells two long prefixes with one character: "#" for "Software\Classes\" and
// "~" for "Software\Microsoft\Windows\CurrentVersion\", to keep the program small.
// The key goes into listed, whose storage is reused from one entry to the next.
void ExpandSharedKey(const char* entry, Text& listed) {
    listed.clear();
    const char* prefix = *entry == '#'   ? "Software\\Classes\\"
                         : *entry == '~' ? "Software\\Microsoft\\Windows\\CurrentVersion\\"
                                         : "";
    AppendAscii(listed, prefix);
    AppendAscii(listed, *prefix != '\0' ? entry + 1 : entry);
}

// Key path with runs of backslashes collapsed and none at either end.
Text NormalizeKeyPath(TextView path) {
    Text result;
    for (char16_t c : path) {
        if (c == u'\\' && (result.empty() || result.back() == u'\\')) continue;
        result.push_back(c);
    }
    if (!result.empty() && result.back() == u'\\') result.pop_back();
    return result;
}

// True when the segment at `at` (the start of the path or after a backslash) is `name`.
bool SegmentAt(TextView path, std::size_t at, TextView name) {
    std::size_t end = at + name.size();
    return end <= path.size() && SameFileName(TextView(path.data() + at, name.size()), name) &&
           (end == path.size() || path[end] == u'\\');
}

// The registry shows some keys under a second name: the 32-bit view right below
// "Software", "Software\Classes" or the classes root, and the numbered control sets that
// "CurrentControlSet" stands for. The path with that name mapped to the key it shows.
// The list spells no key with such a name but Software\Wow6432Node, which maps onto
// Software, refused as well: so the mapped path alone decides.
void DropAlias(Text& path, bool under_classes_root) {
    using namespace std::string_view_literals;
    const std::size_t size = path.size();
    std::size_t at = under_classes_root                   ? 0
                     : !SegmentAt(path, 0, u"Software"sv) ? size + 1
                     : SegmentAt(path, 9, u"Classes"sv)   ? 17
                                                          : 9;
    // What stays before the alias's place, what stands there instead, and where the rest begins.
    TextView head;
    std::size_t rest = 0;
    if (SegmentAt(path, at, u"Wow6432Node"sv)) {
        const std::size_t cut = at == 0 ? 0 : at - 1;  // with one of the backslashes beside it
        head = TextView(path.data(), cut);
        rest = cut + 12 < size ? cut + 12 : size;
    } else if (!under_classes_root && size >= 20 && (size == 20 || path[20] == u'\\') &&
               SameFileName(TextView(path.data(), 17), u"System\\ControlSet"sv) && path[17] >= u'0' &&
               path[17] <= u'9' && path[18] >= u'0' && path[18] <= u'9' && path[19] >= u'0' && path[19] <= u'9') {
        head = u"System\\CurrentControlSet"sv;
        rest = 20;
    } else {
        return;
    }
    path = Concat({head, TextView(path.data() + rest, size - rest)});
}

// True when the path is the listed key or lies above it, ignoring case.
bool IsAtOrAbove(TextView path, TextView listed) {
    if (path.size() > listed.size()) return false;
    if (path.size() < listed.size() && listed[path.size()] != u'\\') return false;
    return SameFileName(path, listed.substr(0, path.size()));
}

void FillUserKeys(std::vector<Text>& users) {
    for (win::DWORD index = 0; users.size() < kUserKeysMax; ++index) {
        char16_t name[kUserNameChars] = {};
        win::DWORD length = kUserNameChars;
        if (win::RegEnumKeyExW(win::HKEY_USERS, index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            win::ERROR_SUCCESS) {
            break;
        }
        users.push_back(TextFromBuffer(name, kUserNameChars));
    }
}

}  // namespace

bool IsSharedKey(TextView key_path, bool under_classes_root) {
    Text path = NormalizeKeyPath(key_path);
    DropAlias(path, under_classes_root);
    if (path.empty()) return true;
    // Under the classes root the keys are compared without their "Software\Classes\".
    const std::size_t skip = under_classes_root ? kClassesPrefix : 0;
    Text listed;
    const char* entry = kSharedKeys;
    for (std::size_t index = 0; *entry != '\0'; ++index) {
        if (under_classes_root && index == kClassKeys) break;
        ExpandSharedKey(entry, listed);
        if (IsAtOrAbove(path, TextView(listed.data() + skip, listed.size() - skip))) return true;
        while (*entry++ != '\0') {
        }
    }
    return false;
}

bool IsRefusedWholeKey(RegistryRoot root, TextView key_path) {
    // Beside each user's hive, HKEY_USERS holds that user's classes as a hive of their own:
    // a line there lands at a classes root too.
    return (root != RegistryRoot::kClassesRoot && IsSharedKey(key_path, false)) ||
           ((root == RegistryRoot::kClassesRoot || root == RegistryRoot::kUsers) && IsSharedKey(key_path, true));
}

win::HKEY OpenClassesRoot(win::HKEY auto_root, UniqueKey& user_classes) {
    if (auto_root == win::HKEY_LOCAL_MACHINE) return win::HKEY_CLASSES_ROOT;
    OpenKey(win::HKEY_CURRENT_USER, u"Software\\Classes", win::KEY_READ | win::KEY_WRITE, user_classes);
    return user_classes.Get();
}

win::LONG DeleteSubkey(win::HKEY root, const char16_t* parent_path, const char16_t* name) {
    UniqueKey parent;
    win::LONG result = OpenKey(root, parent_path, win::KEY_ALL_ACCESS, parent);
    return result != win::ERROR_SUCCESS ? result : win::RegDeleteKeyW(parent.Get(), name);
}

void DeleteSubkeysRecursively(win::HKEY key) {
    win::DWORD index = 0;
    // Used where it stands, each level its own: one unit beyond what Windows may fill ends
    // even a name that fills it.
    char16_t name[kSubkeyNameChars + 1];
    name[kSubkeyNameChars] = u'\0';
    while (win::RegEnumKeyW(key, index, name, kSubkeyNameChars) == win::ERROR_SUCCESS) {
        {
            UniqueKey child;
            if (OpenKey(key, name, win::KEY_ALL_ACCESS, child) == win::ERROR_SUCCESS) {
                DeleteSubkeysRecursively(child.Get());
            }
        }
        // One that stays would be enumerated again for ever: step past it instead.
        if (win::RegDeleteKeyW(key, name) != win::ERROR_SUCCESS) ++index;
    }
}

namespace {

// A value field of "*" stands for the whole key.
bool NamesWholeKey(const Text& value_field) {
    return value_field.size() == 1 && value_field[0] == u'*';
}

// One line of the record for a value or a whole key and what came of it.
void NoteEntry(EventSink& events, std::uint32_t line, const Text& subject, const Text& value_field, win::LONG result) {
    events.Note(NamesWholeKey(value_field) ? Event::kKey : Event::kValue, line, &subject, static_cast<std::uint32_t>(result),
                value_field.empty() ? u"(default)" : value_field.c_str());
}

}  // namespace

void DeleteRegistryEntry(win::HKEY root, const Text& key_path, const Text& value_field, EventSink& events,
                         std::uint32_t line, const Text& subject) {
    UniqueKey key;
    win::LONG result =
        root == nullptr ? win::ERROR_FILE_NOT_FOUND : OpenKey(root, key_path.c_str(), win::KEY_ALL_ACCESS, key);
    if (result == win::ERROR_SUCCESS && !NamesWholeKey(value_field)) {
        result = win::RegDeleteValueW(key.Get(), value_field.c_str());
    } else if (result == win::ERROR_SUCCESS) {
        DeleteSubkeysRecursively(key.Get());
        key.Reset();
        std::size_t last = key_path.size() < 2 ? Text::npos : key_path.rfind(u'\\', key_path.size() - 2);
        if (last == Text::npos) {  // directly under the root: emptied, but it stays
            events.Note(Event::kKeyEmptied, line, &subject);
            return;
        }
        result = DeleteSubkey(root, key_path.substr(0, last).c_str(), key_path.c_str() + last + 1);
    }
    NoteEntry(events, line, subject, value_field, result);
}

void RemoveRegistryEntries(LogReader& log, win::HKEY auto_root, win::HKEY classes_root, EventSink& events) {
    std::vector<Text> users;
    // Installers list the values of one key together: the key stays open while the lines
    // name values of it, which ends the same as opening it again for each line.
    win::HKEY open_root = nullptr;
    Text open_path;
    // The key each root name but HKEY_USERS stands for, in the order of RegistryRoot.
    const win::HKEY roots[] = {auto_root, classes_root, win::HKEY_CURRENT_USER, win::HKEY_LOCAL_MACHINE};
    static_assert(static_cast<int>(RegistryRoot::kClassesRoot) == static_cast<int>(RegistryRoot::kAuto) + 1 &&
                      static_cast<int>(RegistryRoot::kCurrentUser) == static_cast<int>(RegistryRoot::kAuto) + 2 &&
                      static_cast<int>(RegistryRoot::kLocalMachine) == static_cast<int>(RegistryRoot::kAuto) + 3,
                  "the roots above follow the order of RegistryRoot");
    UniqueKey open_key;
    std::uint32_t line = 0;
    while (NextUsableEntry(log, events, line)) {
        const Text& subject = log.current_line;
        TRegistryEntry entry = SplitRegistryEntry(subject);
        bool whole_key = NamesWholeKey(entry.value_field);
        if (whole_key) open_key.Reset();

        RegistryRoot which = MatchRootName(entry.root_name);
        if (which == RegistryRoot::kUnknown) {
            events.Note(Event::kUnknownRoot, line);
            continue;
        }
        if (whole_key && IsRefusedWholeKey(which, entry.key_path)) {
            events.Note(Event::kSharedKey, line);
            continue;
        }
        if (which != RegistryRoot::kUsers) {
            const win::HKEY root = roots[static_cast<int>(which) - static_cast<int>(RegistryRoot::kAuto)];
            // A value of the classes root is deleted with its key opened for it alone.
            if (whole_key || which == RegistryRoot::kClassesRoot) {
                DeleteRegistryEntry(root, entry.key_path, entry.value_field, events, line, subject);
                continue;
            }
            win::LONG result = win::ERROR_SUCCESS;
            if (!open_key.IsValid() || open_root != root || open_path != entry.key_path) {
                open_root = root;
                open_path = entry.key_path;
                result = OpenKey(root, entry.key_path.c_str(), win::KEY_ALL_ACCESS, open_key);
            }
            if (result == win::ERROR_SUCCESS) result = win::RegDeleteValueW(open_key.Get(), entry.value_field.c_str());
            NoteEntry(events, line, subject, entry.value_field, result);
            continue;
        }
        if (users.empty()) FillUserKeys(users);
        for (const Text& user : users) {
            const Text key_path = Concat({user, u"\\", entry.key_path});
            DeleteRegistryEntry(win::HKEY_USERS, key_path, entry.value_field, events, line,
                                Concat({entry.root_name, u"\\", key_path}));
        }
    }
}

}  // namespace dismora
