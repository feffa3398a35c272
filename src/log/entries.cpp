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
    // Each part is appended to its empty text: no temporary part to move in.
    TRegistryEntry entry;
    const std::size_t size = line.size();
    const std::size_t backslash = line.find(u'\\');
    entry.root_name.append(line.data(), backslash < size ? backslash : size);
    if (backslash >= size) return entry;
    const std::size_t tab = line.find(u'\t', backslash + 1);
    const std::size_t end = tab < size ? tab : size;
    entry.key_path.append(line.data() + backslash + 1, end - backslash - 1);
    if (end < size) entry.value_field.append(line.data() + end + 1, size - end - 1);
    return entry;
}

}  // namespace dismora
