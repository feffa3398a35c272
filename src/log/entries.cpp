#include "log/entries.h"

namespace dismora {

RegistryRoot MatchRootName(TextView root_name) {
    // The names in the order of RegistryRoot from kAuto on, as one ASCII text: half the
    // bytes, and one comparison in a loop instead of five. Each is compared where it stands,
    // in capitals, with a-z of the root name folded onto A-Z.
    const char* name = "HKEY_AUTO\0HKEY_CLASSES_ROOT\0HKEY_CURRENT_USER\0HKEY_LOCAL_MACHINE\0HKEY_USERS\0";
    for (int root = static_cast<int>(RegistryRoot::kAuto); *name != '\0'; ++root) {
        std::size_t at = 0;
        for (; at < root_name.size() && name[at] != '\0'; ++at) {
            const char16_t c = root_name[at];
            if ((c >= u'a' && c <= u'z' ? c - 0x20 : c) != name[at]) break;
        }
        if (at == root_name.size() && name[at] == '\0') return static_cast<RegistryRoot>(root);
        while (*name++ != '\0') {
        }
    }
    return RegistryRoot::kUnknown;
}
static_assert(static_cast<int>(RegistryRoot::kUsers) == static_cast<int>(RegistryRoot::kAuto) + 4,
              "the names above follow the order of RegistryRoot");

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
