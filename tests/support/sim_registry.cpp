// The registry: predefined roots, user hives, keys, typed values, handles, rights,
// and the advapi32 registry functions.
#include <algorithm>
#include <cstring>

#include "support/sim_state.h"

namespace dismora::sim::detail {

namespace {

constexpr std::uintptr_t kFirstPredefined = 0x80000000u;
constexpr std::uintptr_t kLastPredefined = 0x80000006u;

bool IsPredefined(HKEY key) {
    const auto value = reinterpret_cast<std::uintptr_t>(key);
    return value >= kFirstPredefined && value <= kLastPredefined;
}

KeyPtr AddSubkey(RegKey& parent, std::u16string_view name) {
    auto key = std::make_shared<RegKey>();
    key->name = std::u16string(name);
    key->parent = &parent;
    key->owner = parent.owner;
    parent.subkeys[Fold(name)] = SubkeyEntry{std::u16string(name), key, false};
    return key;
}

void MarkDeleted(RegKey& key) {
    key.deleted = true;
    key.values.clear();
    for (auto& [name, entry] : key.subkeys) {
        if (!entry.link) MarkDeleted(*entry.key);
    }
    key.subkeys.clear();
}

KeyPtr ClassesRoot(State& s) { return KeyFromPath(s, u"HKEY_LOCAL_MACHINE\\Software\\Classes", true); }

std::vector<std::u16string> SplitKeyPath(std::u16string_view path) {
    std::vector<std::u16string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find(u'\\', start);
        if (end == std::u16string_view::npos) end = path.size();
        if (end > start) parts.emplace_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

REGSAM MaximumAllowed(State& s, const Process& p, const RegKey& key) {
    REGSAM granted = win::KEY_ALL_ACCESS;
    if (!KeyWritable(s, p, key)) granted &= ~(kKeyWriteRights & ~kDelete);
    if (key.deny_delete || !s.MayChange(p, key.owner)) granted &= ~kDelete;
    return granted;
}

struct KeyRef {
    KeyPtr key;
    REGSAM granted = 0;
    std::u16string path;
};

// The key a handle stands for: a predefined root (for the calling process) or an open key.
bool Lookup(State& s, HKEY handle, KeyRef* out) {
    const Process& me = s.Current();
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    if (value == reinterpret_cast<std::uintptr_t>(win::HKEY_CLASSES_ROOT)) {
        out->key = ClassesRoot(s);
        out->path = u"HKEY_CLASSES_ROOT";
    } else if (value == reinterpret_cast<std::uintptr_t>(win::HKEY_CURRENT_USER)) {
        out->key = EnsureUserHive(s, me.record.token.user_sid);
        out->path = u"HKEY_CURRENT_USER";
    } else if (value == reinterpret_cast<std::uintptr_t>(win::HKEY_LOCAL_MACHINE)) {
        out->key = s.hklm;
        out->path = u"HKEY_LOCAL_MACHINE";
    } else if (value == reinterpret_cast<std::uintptr_t>(win::HKEY_USERS)) {
        out->key = s.hku;
        out->path = u"HKEY_USERS";
    } else {
        HandleEntry* h = s.FindHandle(handle);
        if (!h || h->kind != HandleKind::kKey) return false;
        out->key = h->key;
        out->granted = h->granted;
        out->path = h->what;
        return true;
    }
    // The predefined keys are opened with the most the caller may have.
    out->granted = MaximumAllowed(s, me, *out->key);
    return true;
}

// Follows sub from base; creates what is missing when asked to. Doubled and trailing
// separators are passed over, as Windows does.
LONG Walk(State& s, const KeyPtr& base, std::u16string_view sub, bool create, KeyPtr* out) {
    if (base->deleted) return win::ERROR_KEY_DELETED;
    if (!sub.empty() && sub[0] == u'\\') return static_cast<LONG>(kErrorBadPathname);
    KeyPtr key = base;
    for (const std::u16string& part : SplitKeyPath(sub)) {
        // Documented as 255 characters, but Windows takes names of 256 and refuses longer ones.
        if (part.size() > 256) return win::ERROR_INVALID_PARAMETER;
        auto child = key->subkeys.find(Fold(part));
        if (child != key->subkeys.end()) {
            key = child->second.key;
            continue;
        }
        if (!create) return win::ERROR_FILE_NOT_FOUND;
        if (!KeyWritable(s, s.Current(), *key)) return win::ERROR_ACCESS_DENIED;
        key->write_time = s.now_ms;
        key = AddSubkey(*key, part);
    }
    *out = key;
    return win::ERROR_SUCCESS;
}

HKEY AddKeyHandle(State& s, const KeyPtr& key, REGSAM granted, std::u16string what) {
    HandleEntry entry;
    entry.kind = HandleKind::kKey;
    entry.owner_pid = s.Current().record.pid;
    entry.what = std::move(what);
    entry.key = key;
    entry.granted = granted;
    return reinterpret_cast<HKEY>(s.AddHandle(std::move(entry)));
}

std::u16string Joined(const std::u16string& path, const WCHAR* sub) {
    if (!sub || !*sub) return path;
    return path + u"\\" + sub;
}

// The name a key handle stands for, without opening anything.
std::u16string KeyHandleName(State& s, HKEY handle) {
    if (handle == win::HKEY_CLASSES_ROOT) return u"HKEY_CLASSES_ROOT";
    if (handle == win::HKEY_CURRENT_USER) return u"HKEY_CURRENT_USER";
    if (handle == win::HKEY_LOCAL_MACHINE) return u"HKEY_LOCAL_MACHINE";
    if (handle == win::HKEY_USERS) return u"HKEY_USERS";
    const HandleEntry* h = s.FindHandle(handle);
    return h && h->kind == HandleKind::kKey ? h->what : u"(no key)";
}

LONG EnumKey(State& s, HKEY hKey, DWORD index, WCHAR* name, DWORD* cch, DWORD* reserved, WCHAR* cls, DWORD* cch_cls,
             win::FILETIME* time) {
    KeyRef ref;
    if (!Lookup(s, hKey, &ref)) return win::ERROR_INVALID_HANDLE;
    if (reserved || !name || !cch) return win::ERROR_INVALID_PARAMETER;
    if (ref.key->deleted) return win::ERROR_KEY_DELETED;
    if (!(ref.granted & win::KEY_ENUMERATE_SUB_KEYS)) return win::ERROR_ACCESS_DENIED;
    if (index >= ref.key->subkeys.size()) return win::ERROR_NO_MORE_ITEMS;
    auto it = ref.key->subkeys.begin();
    std::advance(it, index);
    const std::u16string& found = it->second.name;
    // The sizes count the NUL; too small a buffer is not written and its size not changed.
    if (found.size() >= *cch || (cls && cch_cls && *cch_cls == 0)) return win::ERROR_MORE_DATA;
    found.copy(name, found.size());
    name[found.size()] = 0;
    *cch = static_cast<DWORD>(found.size());
    if (cls && cch_cls) {
        cls[0] = 0;
        *cch_cls = 0;
    }
    if (time) {
        const std::uint64_t t = 132000000000000000ull + it->second.key->write_time * 10000;
        time->dwLowDateTime = static_cast<DWORD>(t);
        time->dwHighDateTime = static_cast<DWORD>(t >> 32);
    }
    return win::ERROR_SUCCESS;
}

}  // namespace

bool KeyWritable(State& s, const Process& process, const RegKey& key) {
    return !key.deny_write && s.MayChange(process, key.owner);
}

KeyPtr KeyFromPath(State& s, std::u16string_view path, bool create) {
    std::vector<std::u16string> parts = SplitKeyPath(path);
    if (parts.empty()) Fatal("empty registry path");
    const std::u16string root = Fold(parts[0]);
    KeyPtr key;
    std::size_t first = 1;
    if (root == u"HKEY_LOCAL_MACHINE" || root == u"HKLM") {
        key = s.hklm;
    } else if (root == u"HKEY_USERS" || root == u"HKU") {
        key = s.hku;
    } else if (root == u"HKEY_CURRENT_USER" || root == u"HKCU") {
        key = EnsureUserHive(s, s.options.user_sid);
    } else if (root == u"HKEY_CLASSES_ROOT" || root == u"HKCR") {
        parts.insert(parts.begin() + 1, {u"Software", u"Classes"});
        key = s.hklm;
    } else {
        Fatal("not a registry root: " + Narrow(parts[0]));
    }
    for (std::size_t i = first; i < parts.size(); ++i) {
        auto child = key->subkeys.find(Fold(parts[i]));
        if (child != key->subkeys.end()) {
            key = child->second.key;
        } else if (create) {
            key = AddSubkey(*key, parts[i]);
        } else {
            return nullptr;
        }
    }
    return key;
}

KeyPtr EnsureUserHive(State& s, const std::u16string& sid) {
    auto found = s.hku->subkeys.find(Fold(sid));
    if (found != s.hku->subkeys.end()) return found->second.key;
    // Service and default profiles belong to the machine; a user's hive to that user.
    const bool person = sid.rfind(u"S-1-5-21-", 0) == 0;
    KeyPtr hive = AddSubkey(*s.hku, sid);
    hive->hive_root = true;
    hive->owner = person ? sid : u"";
    KeyPtr software = AddSubkey(*hive, u"Software");
    if (person) {
        KeyPtr classes = AddSubkey(*s.hku, sid + u"_Classes");
        classes->hive_root = true;
        classes->owner = sid;
        software->subkeys[Fold(u"Classes")] = SubkeyEntry{u"Classes", classes, true};
    } else {
        AddSubkey(*software, u"Classes");
    }
    return hive;
}

void AppendPendingDeletion(State& s, const std::u16string& nt_path) {
    KeyPtr key = KeyFromPath(s, u"HKLM\\System\\CurrentControlSet\\Control\\Session Manager", true);
    const std::u16string name = u"PendingFileRenameOperations";
    RegistryValue& value = key->values[Fold(name)];
    if (value.name.empty()) {
        value.name = name;
        value.type = win::REG_MULTI_SZ;
    }
    std::u16string text(value.data.size() / 2, u'\0');
    if (!text.empty()) std::memcpy(text.data(), value.data.data(), text.size() * 2);
    if (!text.empty() && text.back() == 0) text.pop_back();  // the list's final NUL
    // A deletion is the path and an empty new name, then the list's final NUL.
    text += nt_path;
    text += u'\0';
    text += u'\0';
    text += u'\0';
    value.data.assign(text.size() * 2, 0);
    std::memcpy(value.data.data(), text.data(), value.data.size());
    key->write_time = s.now_ms;
}

std::vector<std::u16string> PendingDeletionList(const State& s) {
    std::vector<std::u16string> out;
    auto& state = const_cast<State&>(s);
    KeyPtr key = KeyFromPath(state, u"HKLM\\System\\CurrentControlSet\\Control\\Session Manager", false);
    if (!key) return out;
    auto value = key->values.find(Fold(u"PendingFileRenameOperations"));
    if (value == key->values.end()) return out;
    std::u16string text(value->second.data.size() / 2, u'\0');
    if (!text.empty()) std::memcpy(text.data(), value->second.data.data(), text.size() * 2);
    std::vector<std::u16string> strings;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(u'\0', start);
        if (end == std::u16string::npos) end = text.size();
        strings.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    for (std::size_t i = 0; i + 1 < strings.size(); i += 2) {
        if (strings[i].empty()) break;  // the list's end
        if (!strings[i + 1].empty()) continue;  // a rename, not a deletion
        std::u16string path = strings[i];
        if (path.rfind(u"\\??\\", 0) == 0) path = path.substr(4);
        out.push_back(path);
    }
    return out;
}

void CreateStandardRegistry(State& s) {
    Machine& m = *s.machine;
    const std::u16string version = u"HKLM\\Software\\Microsoft\\Windows\\CurrentVersion";
    m.SetString(version, u"ProgramFilesDir", u"C:\\Program Files");
    m.SetString(version, u"CommonFilesDir", u"C:\\Program Files\\Common Files");
    m.CreateKey(version + u"\\SharedDLLs");
    m.SetDword(version + u"\\Policies\\System", u"EnableLUA", 1);
    const std::u16string common = version + u"\\Explorer\\Shell Folders";
    const std::u16string start_menu = u"C:\\ProgramData\\Microsoft\\Windows\\Start Menu";
    m.SetString(common, u"Common Desktop", u"C:\\Users\\Public\\Desktop");
    m.SetString(common, u"Common Start Menu", start_menu);
    m.SetString(common, u"Common Programs", start_menu + u"\\Programs");
    m.SetString(common, u"Common Startup", start_menu + u"\\Programs\\Startup");
    m.CreateKey(u"HKLM\\System\\CurrentControlSet\\Control\\Session Manager");
    m.CreateKey(u"HKCR\\CLSID");
    m.CreateKey(u"HKCR\\TypeLib");
    const std::u16string profile = u"C:\\Users\\" + s.options.user_name;
    const std::u16string roaming = profile + u"\\AppData\\Roaming";
    const std::u16string user_start = roaming + u"\\Microsoft\\Windows\\Start Menu";
    const std::u16string user = u"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
    m.SetString(user, u"AppData", roaming);
    m.SetString(user, u"Desktop", profile + u"\\Desktop");
    m.SetString(user, u"Personal", profile + u"\\Documents");
    m.SetString(user, u"SendTo", roaming + u"\\Microsoft\\Windows\\SendTo");
    m.SetString(user, u"Start Menu", user_start);
    m.SetString(user, u"Programs", user_start + u"\\Programs");
    m.SetString(user, u"Startup", user_start + u"\\Programs\\Startup");
}

}  // namespace dismora::sim::detail

namespace dismora::sim {

using namespace detail;

void Machine::CreateKey(std::u16string_view key) { KeyFromPath(*state_, key, true); }

void Machine::DeleteKey(std::u16string_view key) {
    KeyPtr found = KeyFromPath(*state_, key, false);
    if (!found) return;
    if (found->hive_root || !found->parent) Fatal("a hive cannot be deleted: " + Narrow(key));
    found->parent->subkeys.erase(Fold(found->name));
    MarkDeleted(*found);
}

bool Machine::KeyExists(std::u16string_view key) const { return KeyFromPath(*state_, key, false) != nullptr; }

void Machine::SetValue(std::u16string_view key, std::u16string_view name, DWORD type, Bytes data) {
    KeyPtr k = KeyFromPath(*state_, key, true);
    RegistryValue& value = k->values[Fold(name)];
    if (value.name.empty()) value.name = std::u16string(name);
    value.type = type;
    value.data = std::move(data);
}

void Machine::SetString(std::u16string_view key, std::u16string_view name, std::u16string_view text, DWORD type) {
    Bytes data((text.size() + 1) * 2, 0);
    std::memcpy(data.data(), text.data(), text.size() * 2);
    SetValue(key, name, type, std::move(data));
}

void Machine::SetDword(std::u16string_view key, std::u16string_view name, DWORD value) {
    Bytes data(4);
    std::memcpy(data.data(), &value, 4);
    SetValue(key, name, win::REG_DWORD, std::move(data));
}

void Machine::DeleteValue(std::u16string_view key, std::u16string_view name) {
    KeyPtr k = KeyFromPath(*state_, key, false);
    if (k) k->values.erase(Fold(name));
}

std::optional<RegistryValue> Machine::GetValue(std::u16string_view key, std::u16string_view name) const {
    KeyPtr k = KeyFromPath(*state_, key, false);
    if (!k) return std::nullopt;
    auto it = k->values.find(Fold(name));
    if (it == k->values.end()) return std::nullopt;
    return it->second;
}

std::optional<std::u16string> Machine::GetString(std::u16string_view key, std::u16string_view name) const {
    auto value = GetValue(key, name);
    if (!value) return std::nullopt;
    std::u16string text(value->data.size() / 2, u'\0');
    if (!text.empty()) std::memcpy(text.data(), value->data.data(), text.size() * 2);
    const std::size_t nul = text.find(u'\0');
    if (nul != std::u16string::npos) text.resize(nul);
    return text;
}

std::optional<DWORD> Machine::GetDword(std::u16string_view key, std::u16string_view name) const {
    auto value = GetValue(key, name);
    if (!value || value->data.size() != 4) return std::nullopt;
    DWORD out = 0;
    std::memcpy(&out, value->data.data(), 4);
    return out;
}

std::vector<std::u16string> Machine::Subkeys(std::u16string_view key) const {
    std::vector<std::u16string> names;
    KeyPtr k = KeyFromPath(*state_, key, false);
    if (!k) return names;
    for (const auto& [folded, entry] : k->subkeys) names.push_back(entry.name);
    return names;
}

std::vector<std::u16string> Machine::ValueNames(std::u16string_view key) const {
    std::vector<std::u16string> names;
    KeyPtr k = KeyFromPath(*state_, key, false);
    if (!k) return names;
    for (const auto& [folded, value] : k->values) names.push_back(value.name);
    return names;
}

void Machine::DenyWrite(std::u16string_view key, bool deny) { KeyFromPath(*state_, key, true)->deny_write = deny; }

void Machine::DenyDelete(std::u16string_view key, bool deny) { KeyFromPath(*state_, key, true)->deny_delete = deny; }

void Machine::AddUserHive(std::u16string_view sid) { EnsureUserHive(*state_, std::u16string(sid)); }

std::u16string Machine::UserSid() const { return state_->options.user_sid; }

std::vector<std::u16string> Machine::PendingDeletions() const { return PendingDeletionList(*state_); }

const std::vector<KeyOpenRecord>& Machine::KeyOpens() const { return state_->key_opens; }

void Machine::SetUacEnabled(bool enabled) {
    state_->uac_enabled = enabled;
    SetDword(u"HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System", u"EnableLUA", enabled ? 1 : 0);
}

}  // namespace dismora::sim

namespace win {

namespace sd = dismora::sim::detail;

LONG RegOpenKeyExW(HKEY hKey, const WCHAR* lpSubKey, DWORD ulOptions, REGSAM samDesired, HKEY* phkResult) {
    auto& s = sd::Current();
    const auto fault = sd::Enter(s, "RegOpenKeyExW", sd::FromC(lpSubKey));
    s.key_opens.push_back({s.Current().record.pid, sd::Joined(sd::KeyHandleName(s, hKey), lpSubKey), samDesired});
    if (fault) {
        if (phkResult) *phkResult = nullptr;
        return static_cast<LONG>(*fault);
    }
    (void)ulOptions;
    // An empty name under a predefined key gives that predefined key back.
    if (phkResult && (!lpSubKey || !*lpSubKey) && sd::IsPredefined(hKey)) {
        *phkResult = hKey;
        return ERROR_SUCCESS;
    }
    // Only HKEY_CLASSES_ROOT accepts a leading backslash.
    if (hKey == HKEY_CLASSES_ROOT && lpSubKey && *lpSubKey == u'\\') ++lpSubKey;
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    sd::KeyRef ref;
    if (!sd::Lookup(s, hKey, &ref)) return ERROR_INVALID_HANDLE;
    sd::KeyPtr key;
    if (LONG error = sd::Walk(s, ref.key, sd::FromC(lpSubKey), false, &key)) return error;
    const REGSAM requested = samDesired & ~sd::kKeyWow64Mask;
    const REGSAM allowed = sd::MaximumAllowed(s, s.Current(), *key);
    REGSAM granted = requested;
    if (requested & sd::kMaximumAllowed) {
        granted = allowed;
    } else if (requested & ~allowed & KEY_ALL_ACCESS) {
        return ERROR_ACCESS_DENIED;
    }
    *phkResult = sd::AddKeyHandle(s, key, granted, sd::Joined(ref.path, lpSubKey));
    return ERROR_SUCCESS;
}

LONG RegCreateKeyW(HKEY hKey, const WCHAR* lpSubKey, HKEY* phkResult) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "RegCreateKeyW", sd::FromC(lpSubKey))) return static_cast<LONG>(*fault);
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    sd::KeyRef ref;
    if (!sd::Lookup(s, hKey, &ref)) return ERROR_INVALID_HANDLE;
    sd::KeyPtr key;
    if (LONG error = sd::Walk(s, ref.key, sd::FromC(lpSubKey), true, &key)) return error;
    // RegCreateKeyW asks for MAXIMUM_ALLOWED: what the caller may have, read-only at worst.
    *phkResult = sd::AddKeyHandle(s, key, sd::MaximumAllowed(s, s.Current(), *key), sd::Joined(ref.path, lpSubKey));
    return ERROR_SUCCESS;
}

LONG RegQueryValueExW(HKEY hKey, const WCHAR* lpValueName, DWORD* lpReserved, DWORD* lpType, BYTE* lpData,
                      DWORD* lpcbData) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "RegQueryValueExW", sd::FromC(lpValueName))) return static_cast<LONG>(*fault);
    sd::KeyRef ref;
    if (!sd::Lookup(s, hKey, &ref)) return ERROR_INVALID_HANDLE;
    if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
    if (ref.key->deleted) return ERROR_KEY_DELETED;
    if (!(ref.granted & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    auto it = ref.key->values.find(sd::Fold(sd::FromC(lpValueName)));
    if (it == ref.key->values.end()) return ERROR_FILE_NOT_FOUND;
    const dismora::sim::RegistryValue& value = it->second;
    if (lpType) *lpType = value.type;
    const DWORD size = static_cast<DWORD>(value.data.size());
    if (lpData) {
        if (*lpcbData < size) {
            // The buffer's contents are undefined after ERROR_MORE_DATA: make reliance on them show.
            for (DWORD i = 0; i < *lpcbData; ++i) lpData[i] = static_cast<BYTE>(0xA5 ^ (i * 29));
            *lpcbData = size;
            return ERROR_MORE_DATA;
        }
        if (size) std::memcpy(lpData, value.data.data(), size);
    }
    if (lpcbData) *lpcbData = size;
    return ERROR_SUCCESS;
}

LONG RegQueryInfoKeyW(HKEY hKey, WCHAR* lpClass, DWORD* lpcchClass, DWORD* lpReserved, DWORD* lpcSubKeys,
                      DWORD* lpcbMaxSubKeyLen, DWORD* lpcbMaxClassLen, DWORD* lpcValues, DWORD* lpcbMaxValueNameLen,
                      DWORD* lpcbMaxValueLen, DWORD* lpcbSecurityDescriptor, FILETIME* lpftLastWriteTime) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "RegQueryInfoKeyW")) return static_cast<LONG>(*fault);
    sd::KeyRef ref;
    if (!sd::Lookup(s, hKey, &ref)) return ERROR_INVALID_HANDLE;
    if (lpReserved || (lpClass && !lpcchClass)) return ERROR_INVALID_PARAMETER;
    if (ref.key->deleted) return ERROR_KEY_DELETED;
    if (!(ref.granted & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    // Keys have no class here; lengths are in characters without the NUL, data in bytes.
    if (lpClass && *lpcchClass > 0) lpClass[0] = 0;
    if (lpcchClass) *lpcchClass = 0;
    DWORD max_subkey = 0;
    for (const auto& [folded, subkey] : ref.key->subkeys) {
        max_subkey = std::max(max_subkey, static_cast<DWORD>(folded.size()));
    }
    DWORD max_name = 0;
    DWORD max_data = 0;
    for (const auto& [folded, value] : ref.key->values) {
        max_name = std::max(max_name, static_cast<DWORD>(value.name.size()));
        max_data = std::max(max_data, static_cast<DWORD>(value.data.size()));
    }
    if (lpcSubKeys) *lpcSubKeys = static_cast<DWORD>(ref.key->subkeys.size());
    if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = max_subkey;
    if (lpcbMaxClassLen) *lpcbMaxClassLen = 0;
    if (lpcValues) *lpcValues = static_cast<DWORD>(ref.key->values.size());
    if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = max_name;
    if (lpcbMaxValueLen) *lpcbMaxValueLen = max_data;
    if (lpcbSecurityDescriptor) *lpcbSecurityDescriptor = 0;
    if (lpftLastWriteTime) *lpftLastWriteTime = FILETIME{};
    return ERROR_SUCCESS;
}

LONG RegSetValueExW(HKEY hKey, const WCHAR* lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                    DWORD cbData) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "RegSetValueExW", sd::FromC(lpValueName))) return static_cast<LONG>(*fault);
    (void)Reserved;
    sd::KeyRef ref;
    if (!sd::Lookup(s, hKey, &ref)) return ERROR_INVALID_HANDLE;
    if (ref.key->deleted) return ERROR_KEY_DELETED;
    if (!(ref.granted & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    if (!lpData && cbData) return static_cast<LONG>(sd::kErrorNoAccess);
    const std::u16string name = sd::FromC(lpValueName);
    if (name.size() > 16383) return ERROR_INVALID_PARAMETER;
    if (cbData >= 2 && (dwType == REG_SZ || dwType == REG_EXPAND_SZ || dwType == REG_MULTI_SZ)) {
        // Windows counts a terminating NUL that the caller left out but that follows in memory.
        auto at = [&](DWORD i) {
            WCHAR c;
            std::memcpy(&c, lpData + 2 * i, 2);
            return c;
        };
        if (at(cbData / 2 - 1) && !at(cbData / 2)) cbData += 2;
    }
    dismora::sim::RegistryValue& value = ref.key->values[sd::Fold(name)];
    if (value.name.empty()) value.name = name;  // an existing value keeps its spelling
    value.type = dwType;
    value.data.assign(lpData, lpData + cbData);
    ref.key->write_time = s.now_ms;
    return ERROR_SUCCESS;
}

LONG RegDeleteValueW(HKEY hKey, const WCHAR* lpValueName) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "RegDeleteValueW", sd::FromC(lpValueName))) return static_cast<LONG>(*fault);
    sd::KeyRef ref;
    if (!sd::Lookup(s, hKey, &ref)) return ERROR_INVALID_HANDLE;
    if (ref.key->deleted) return ERROR_KEY_DELETED;
    if (!(ref.granted & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    if (!ref.key->values.erase(sd::Fold(sd::FromC(lpValueName)))) return ERROR_FILE_NOT_FOUND;
    ref.key->write_time = s.now_ms;
    return ERROR_SUCCESS;
}

LONG RegDeleteKeyW(HKEY hKey, const WCHAR* lpSubKey) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "RegDeleteKeyW", sd::FromC(lpSubKey))) return static_cast<LONG>(*fault);
    if (!lpSubKey) return ERROR_INVALID_PARAMETER;
    sd::KeyRef ref;
    if (!sd::Lookup(s, hKey, &ref)) return ERROR_INVALID_HANDLE;
    sd::KeyPtr key;
    if (LONG error = sd::Walk(s, ref.key, lpSubKey, false, &key)) return error;
    // The key is opened for DELETE; a hive root is never deleted.
    if (key->hive_root || !key->parent || key->deny_delete || !s.MayChange(s.Current(), key->owner)) {
        return ERROR_ACCESS_DENIED;
    }
    // Windows deletes only a key without subkeys.
    if (!key->subkeys.empty()) return ERROR_ACCESS_DENIED;
    key->parent->subkeys.erase(sd::Fold(key->name));
    key->parent->write_time = s.now_ms;
    sd::MarkDeleted(*key);
    return ERROR_SUCCESS;
}

LONG RegEnumKeyExW(HKEY hKey, DWORD dwIndex, WCHAR* lpName, DWORD* lpcchName, DWORD* lpReserved, WCHAR* lpClass,
                   DWORD* lpcchClass, FILETIME* lpftLastWriteTime) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "RegEnumKeyExW", sd::Hex(dwIndex))) return static_cast<LONG>(*fault);
    return sd::EnumKey(s, hKey, dwIndex, lpName, lpcchName, lpReserved, lpClass, lpcchClass, lpftLastWriteTime);
}

LONG RegEnumKeyW(HKEY hKey, DWORD dwIndex, WCHAR* lpName, DWORD cchName) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "RegEnumKeyW", sd::Hex(dwIndex))) return static_cast<LONG>(*fault);
    return sd::EnumKey(s, hKey, dwIndex, lpName, &cchName, nullptr, nullptr, nullptr, nullptr);
}

LONG RegEnumValueW(HKEY hKey, DWORD dwIndex, WCHAR* lpValueName, DWORD* lpcchValueName, DWORD* lpReserved,
                   DWORD* lpType, BYTE* lpData, DWORD* lpcbData) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "RegEnumValueW", sd::Hex(dwIndex))) return static_cast<LONG>(*fault);
    sd::KeyRef ref;
    if (!sd::Lookup(s, hKey, &ref)) return ERROR_INVALID_HANDLE;
    if (lpReserved || !lpValueName || !lpcchValueName || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
    if (ref.key->deleted) return ERROR_KEY_DELETED;
    if (!(ref.granted & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    if (dwIndex >= ref.key->values.size()) return ERROR_NO_MORE_ITEMS;
    auto it = ref.key->values.begin();
    std::advance(it, dwIndex);
    const dismora::sim::RegistryValue& value = it->second;
    // The name's size counts the NUL going in and not coming out; too small a buffer
    // receives nothing.
    if (value.name.size() >= *lpcchValueName) return ERROR_MORE_DATA;
    const DWORD size = static_cast<DWORD>(value.data.size());
    if (lpData && *lpcbData < size) {
        *lpcbData = size;
        return ERROR_MORE_DATA;
    }
    value.name.copy(lpValueName, value.name.size());
    lpValueName[value.name.size()] = 0;
    *lpcchValueName = static_cast<DWORD>(value.name.size());
    if (lpType) *lpType = value.type;
    if (lpData && size) std::memcpy(lpData, value.data.data(), size);
    if (lpcbData) *lpcbData = size;
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY hKey) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "RegCloseKey")) return static_cast<LONG>(*fault);
    if (sd::IsPredefined(hKey)) return ERROR_SUCCESS;
    if (!hKey) return ERROR_INVALID_HANDLE;
    sd::HandleEntry* h = s.FindHandle(hKey);
    if (!h) {
        s.Violation("RegCloseKey of a key that is not open");
        return ERROR_INVALID_HANDLE;
    }
    if (h->kind != dismora::sim::HandleKind::kKey) s.Violation("RegCloseKey on a handle that is no key: " + dismora::sim::Narrow(h->what));
    s.CloseHandleEntry(reinterpret_cast<std::uintptr_t>(hKey));
    return ERROR_SUCCESS;
}

}  // namespace win
