#include "log/entries.h"

namespace dismora {

RegistryRoot MatchRootName(TextView root_name) {
    if (EqualsAsciiNoCase(root_name, u"HKEY_AUTO")) return RegistryRoot::kAuto;
    if (EqualsAsciiNoCase(root_name, u"HKEY_CLASSES_ROOT")) return RegistryRoot::kClassesRoot;
    if (EqualsAsciiNoCase(root_name, u"HKEY_CURRENT_USER")) return RegistryRoot::kCurrentUser;
    if (EqualsAsciiNoCase(root_name, u"HKEY_LOCAL_MACHINE")) return RegistryRoot::kLocalMachine;
    if (EqualsAsciiNoCase(root_name, u"HKEY_USERS")) return RegistryRoot::kUsers;
    return RegistryRoot::kUnknown;
}

TRegistryEntry SplitRegistryEntry(TextView line) {
    TRegistryEntry entry;
    std::size_t backslash = line.find(u'\\');
    if (backslash == TextView::npos) {
        entry.root_name = Text(line);
        return entry;
    }
    entry.root_name = Text(line.substr(0, backslash));
    std::size_t tab = line.find(u'\t', backslash + 1);
    if (tab == TextView::npos) {
        entry.key_path = Text(line.substr(backslash + 1));
        return entry;
    }
    entry.key_path = Text(line.substr(backslash + 1, tab - backslash - 1));
    entry.value_field = Text(line.substr(tab + 1));
    return entry;
}

}  // namespace dismora
