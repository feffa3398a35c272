// Security and modules: SIDs, CheckTokenMembership, loaded modules and the functions
// looked up at run time, DLL search settings, and type libraries.
#include <cstring>

#include "support/sim_state.h"

namespace dismora::sim::detail {

namespace {

struct Module {
    std::uintptr_t handle;
    const char16_t* name;
    const char* exports[4];
};

constexpr Module kModules[] = {
    {0x7B000000, u"KERNEL32.DLL", {"SetDefaultDllDirectories", nullptr}},
    {0x7B100000, u"ADVAPI32.DLL", {"CheckTokenMembership", nullptr}},
    {0x7B200000, u"OLEAUT32.DLL", {"UnRegisterTypeLib", nullptr}},
    {0x7B300000, u"USER32.DLL", {nullptr, nullptr}},
    {0x7B400000, u"SHELL32.DLL", {nullptr, nullptr}},
    {0x7B500000, u"NTDLL.DLL", {nullptr, nullptr}},
    {0x7B600000, u"KERNELBASE.DLL", {nullptr, nullptr}},
    {kComctl32Module, u"COMCTL32.DLL", {"InitCommonControlsEx", nullptr}},  // only through LoadLibraryW
    {kRstrtmgrModule, u"RSTRTMGR.DLL", {"RmStartSession", "RmRegisterResources", "RmGetList", "RmEndSession"}},  // likewise
};

const Module* FindModule(win::HMODULE handle) {
    for (const Module& module : kModules) {
        if (module.handle == reinterpret_cast<std::uintptr_t>(handle)) return &module;
    }
    return nullptr;
}

std::u16string SidString(const std::uint8_t* sid) {
    std::uint64_t authority = 0;
    for (int i = 0; i < 6; ++i) authority = (authority << 8) | sid[2 + i];
    std::string text = "S-" + std::to_string(sid[0]) + "-" + std::to_string(authority);
    for (int i = 0; i < sid[1]; ++i) {
        DWORD sub = 0;
        std::memcpy(&sub, sid + 8 + 4 * i, 4);
        text += "-" + std::to_string(sub);
    }
    return Widen(text);
}

std::u16string GuidString(const win::GUID& g) {
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2,
                  g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                  g.Data4[7]);
    return Widen(buffer);
}

const char16_t* SyskindName(win::SYSKIND kind) {
    switch (kind) {
        case win::SYS_WIN16: return u"win16";
        case win::SYS_MAC: return u"mac";
        case win::SYS_WIN64: return u"win64";
        default: return u"win32";
    }
}

std::u16string TypeLibVersionKey(const win::GUID& guid, win::WORD major, win::WORD minor) {
    return u"HKCR\\TypeLib\\" + GuidString(guid) + u"\\" + Hex(major) + u"." + Hex(minor);
}

// Functions handed out by GetProcAddress, with the calling convention the seam declares.
BOOL WIN_STDCALL SimCheckTokenMembership(HANDLE token, win::PSID sid, BOOL* is_member) {
    State& s = Current();
    if (auto fault = Enter(s, "CheckTokenMembership")) {
        s.SetError(*fault);
        return win::FALSE;
    }
    if (token) {
        s.Violation("CheckTokenMembership with an explicit token is not modelled");
        s.SetError(win::ERROR_INVALID_HANDLE);
        return win::FALSE;
    }
    if (!sid || !s.sids.count(sid) || !is_member) {
        s.Violation("CheckTokenMembership with a SID that is not allocated or no result pointer");
        s.SetError(win::ERROR_INVALID_PARAMETER);
        return win::FALSE;
    }
    const Process& me = s.Current();
    const std::u16string text = SidString(static_cast<const std::uint8_t*>(sid));
    bool member = false;
    if (text == u"S-1-5-32-544") {
        // Under UAC an administrator's unelevated token holds Administrators for denial only.
        member = s.EffectiveAdmin(me);
    } else {
        member = text == u"S-1-1-0" || text == u"S-1-5-11" || text == u"S-1-5-4" || text == u"S-1-5-32-545" ||
                 text == me.record.token.user_sid;
    }
    *is_member = member ? win::TRUE : win::FALSE;
    return win::TRUE;
}

HRESULT WIN_STDCALL SimUnRegisterTypeLib(const win::GUID* guid, win::WORD major, win::WORD minor, win::LCID lcid,
                                         win::SYSKIND syskind) {
    State& s = Current();
    if (auto fault = Enter(s, "UnRegisterTypeLib")) return static_cast<HRESULT>(*fault);
    UnregisterTypeLibRecord record;
    record.pid = s.Current().record.pid;
    if (guid) record.guid = *guid;
    record.major = major;
    record.minor = minor;
    record.lcid = lcid;
    record.syskind = syskind;
    auto finish = [&](HRESULT result) {
        record.result = result;
        s.unregistrations.push_back(record);
        return result;
    };
    if (!guid) return finish(kEInvalidArg);
    Machine& m = *s.machine;
    const std::u16string version = TypeLibVersionKey(*guid, major, minor);
    KeyPtr version_key = KeyFromPath(s, version, false);
    if (!version_key || !KeyWritable(s, s.Current(), *version_key)) return finish(kTypeERegistryAccess);
    const std::u16string locale = version + u"\\" + Hex(lcid);
    const std::u16string platform = locale + u"\\" + SyskindName(syskind);
    if (!m.KeyExists(platform)) return finish(kTypeERegistryAccess);
    m.DeleteKey(platform);
    if (m.Subkeys(locale).empty()) m.DeleteKey(locale);
    // The version goes once only its FLAGS and HELPDIR are left, then the library if empty.
    for (const std::u16string& name : m.Subkeys(version)) {
        if (!EqualNoCase(name, u"FLAGS") && !EqualNoCase(name, u"HELPDIR")) return finish(win::S_OK);
    }
    m.DeleteKey(version);
    const std::u16string library = version.substr(0, version.rfind(u'\\'));
    if (m.Subkeys(library).empty()) m.DeleteKey(library);
    return finish(win::S_OK);
}

BOOL WIN_STDCALL SimSetDefaultDllDirectories(DWORD flags) {
    State& s = Current();
    if (auto fault = Enter(s, "SetDefaultDllDirectories")) {
        s.SetError(*fault);
        return win::FALSE;
    }
    s.default_dll_directory_calls.push_back(flags);
    if (!flags || (flags & ~DWORD{0x1F00})) {
        s.SetError(win::ERROR_INVALID_PARAMETER);
        return win::FALSE;
    }
    return win::TRUE;
}

win::FARPROC ExportOf(const std::string& name) {
    if (name == "CheckTokenMembership") {
        win::PFN_CheckTokenMembership f = &SimCheckTokenMembership;
        return reinterpret_cast<win::FARPROC>(reinterpret_cast<void (*)()>(f));
    }
    if (name == "UnRegisterTypeLib") {
        win::PFN_UnRegisterTypeLib f = &SimUnRegisterTypeLib;
        return reinterpret_cast<win::FARPROC>(reinterpret_cast<void (*)()>(f));
    }
    if (win::FARPROC f = RestartManagerExport(name)) return f;
    if (name == "InitCommonControlsEx") {
        win::PFN_InitCommonControlsEx f = &SimInitCommonControlsEx;
        return reinterpret_cast<win::FARPROC>(reinterpret_cast<void (*)()>(f));
    }
    win::PFN_SetDefaultDllDirectories f = &SimSetDefaultDllDirectories;
    return reinterpret_cast<win::FARPROC>(reinterpret_cast<void (*)()>(f));
}

}  // namespace

bool ModuleFileName(State& s, win::HMODULE module, std::u16string* path) {
    const Module* found = FindModule(module);
    if (!found) return false;
    std::u16string name = found->name;
    for (char16_t& c : name) c = (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 0x20) : c;
    *path = s.system_folder + u"\\" + name;
    return true;
}

}  // namespace dismora::sim::detail

namespace dismora::sim {

using namespace detail;

void Machine::SetExportMissing(std::string_view name, bool missing) { state_->missing_exports[std::string(name)] = missing; }

void Machine::SetModuleMissing(std::u16string_view module, bool missing) {
    std::u16string name = Fold(module);
    if (name.find(u'.') == std::u16string::npos) name += u".DLL";
    state_->missing_modules[name] = missing;
}

int Machine::ProcLookups(std::string_view name) const {
    auto it = state_->proc_lookups.find(name);
    return it == state_->proc_lookups.end() ? 0 : it->second;
}

int Machine::LiveSids() const { return static_cast<int>(state_->sids.size()); }

const std::vector<std::optional<std::u16string>>& Machine::DllDirectoryCalls() const { return state_->dll_directory_calls; }

const std::vector<DWORD>& Machine::DefaultDllDirectoryCalls() const { return state_->default_dll_directory_calls; }

void Machine::InstallTypeLibrary(std::u16string_view path, const TypeLibrary& library, bool register_keys) {
    WriteFile(path, "MSFT");
    ResolveFrom(*state_, path, u"C:\\").node->type_library = library;
    if (!register_keys) return;
    const std::u16string version = TypeLibVersionKey(library.guid, library.major, library.minor);
    SetString(version, u"", u"Type library");
    SetString(version + u"\\" + Hex(library.lcid) + u"\\" + SyskindName(library.syskind), u"", path);
    SetString(version + u"\\FLAGS", u"", u"0");
    const std::u16string full(path);
    SetString(version + u"\\HELPDIR", u"", full.substr(0, full.rfind(u'\\')));
}

int Machine::LiveTypeLibs() const { return static_cast<int>(state_->type_libs.size()); }

int Machine::LiveTypeLibAttrs() const { return static_cast<int>(state_->lib_attrs.size()); }

const std::vector<UnregisterTypeLibRecord>& Machine::TypeLibUnregistrations() const { return state_->unregistrations; }

}  // namespace dismora::sim

namespace win {

namespace sd = dismora::sim::detail;

HMODULE GetModuleHandleW(const WCHAR* lpModuleName) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "GetModuleHandleW", sd::FromC(lpModuleName))) {
        s.SetError(*fault);
        return nullptr;
    }
    if (!lpModuleName) return reinterpret_cast<HMODULE>(sd::kExeModule);
    std::u16string name(lpModuleName);
    const std::size_t slash = name.find_last_of(u"\\/");
    if (slash != std::u16string::npos) name = name.substr(slash + 1);
    // No extension means ".dll"; a trailing dot means none.
    if (name.find(u'.') == std::u16string::npos) {
        name += u".dll";
    } else if (name.back() == u'.') {
        name.pop_back();
    }
    const std::u16string folded = sd::Fold(name);
    auto missing = s.missing_modules.find(folded);
    if (missing == s.missing_modules.end() || !missing->second) {
        for (const sd::Module& module : sd::kModules) {
            if (folded == module.name && (module.handle != sd::kComctl32Module || s.progress_class) &&
                (module.handle != sd::kRstrtmgrModule || s.restart_manager_loaded)) return reinterpret_cast<HMODULE>(module.handle);
        }
        const std::u16string image = s.Current().record.image;
        if (folded == sd::Fold(image.substr(image.rfind(u'\\') + 1))) return reinterpret_cast<HMODULE>(sd::kExeModule);
    }
    s.SetError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

FARPROC GetProcAddress(HMODULE hModule, const char* lpProcName) {
    auto& s = sd::Current();
    const bool by_name = reinterpret_cast<std::uintptr_t>(lpProcName) >= 0x10000;
    const std::string name = by_name ? std::string(lpProcName) : "#" + std::to_string(reinterpret_cast<std::uintptr_t>(lpProcName));
    if (auto fault = sd::Enter(s, "GetProcAddress", dismora::sim::Widen(name))) {
        s.SetError(*fault);
        return nullptr;
    }
    ++s.proc_lookups[name];
    const sd::Module* module = sd::FindModule(hModule);
    if (!module && reinterpret_cast<std::uintptr_t>(hModule) != sd::kExeModule && hModule) {
        s.SetError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    bool exported = false;
    if (module) {
        for (const char* e : module->exports) exported = exported || (e && by_name && name == e);
    }
    auto missing = s.missing_exports.find(name);
    if (!exported || (missing != s.missing_exports.end() && missing->second)) {
        s.SetError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return sd::ExportOf(name);
}

BOOL SetDllDirectoryW(const WCHAR* lpPathName) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "SetDllDirectoryW", sd::FromC(lpPathName))) {
        s.SetError(*fault);
        return FALSE;
    }
    s.dll_directory_calls.push_back(lpPathName ? std::optional<std::u16string>(lpPathName) : std::nullopt);
    return TRUE;
}

BOOL AllocateAndInitializeSid(SID_IDENTIFIER_AUTHORITY* pIdentifierAuthority, BYTE nSubAuthorityCount,
                              DWORD nSubAuthority0, DWORD nSubAuthority1, DWORD nSubAuthority2,
                              DWORD nSubAuthority3, DWORD nSubAuthority4, DWORD nSubAuthority5,
                              DWORD nSubAuthority6, DWORD nSubAuthority7, PSID* pSid) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "AllocateAndInitializeSid")) {
        s.SetError(*fault);
        return FALSE;
    }
    if (!pIdentifierAuthority || !pSid) {
        s.Violation("AllocateAndInitializeSid with a NULL pointer");
        s.SetError(sd::kErrorNoAccess);
        return FALSE;
    }
    if (nSubAuthorityCount > 8) {
        s.SetError(sd::kErrorInvalidSid);
        return FALSE;
    }
    const DWORD subs[8] = {nSubAuthority0, nSubAuthority1, nSubAuthority2, nSubAuthority3,
                           nSubAuthority4, nSubAuthority5, nSubAuthority6, nSubAuthority7};
    auto block = std::make_unique<sd::SidBlock>();
    block->bytes.assign(8 + 4 * nSubAuthorityCount, 0);
    block->bytes[0] = 1;  // revision
    block->bytes[1] = nSubAuthorityCount;
    std::memcpy(block->bytes.data() + 2, pIdentifierAuthority->Value, 6);
    std::memcpy(block->bytes.data() + 8, subs, 4 * nSubAuthorityCount);
    void* sid = block->bytes.data();
    s.sids[sid] = std::move(block);
    *pSid = sid;
    return TRUE;
}

void* FreeSid(PSID pSid) {
    auto& s = sd::Current();
    sd::Enter(s, "FreeSid");
    if (!s.sids.erase(pSid)) {
        s.Violation("FreeSid of a SID that is not allocated (or freed twice)");
        return pSid;
    }
    return nullptr;
}

// The owner alone, in the self-relative form: "" stands for Administrators, "*" for
// Everyone, any other owner is a SID's text.
BOOL GetKernelObjectSecurity(HANDLE Handle, DWORD RequestedInformation, void* pSecurityDescriptor, DWORD nLength,
                             DWORD* lpnLengthNeeded) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "GetKernelObjectSecurity")) {
        s.SetError(*fault);
        return FALSE;
    }
    if (RequestedInformation != OWNER_SECURITY_INFORMATION) s.Violation("GetKernelObjectSecurity: only the owner is modelled");
    sd::HandleEntry* h = s.FindHandle(Handle);
    if (!h || h->kind != dismora::sim::HandleKind::kFile) {
        s.SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!(h->access & (READ_CONTROL | GENERIC_READ | sd::kMaximumAllowed | 0x10000000U))) {
        s.SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    const std::u16string owner = h->node->owner.empty() ? u"S-1-5-32-544" : h->node->owner == u"*" ? u"S-1-1-0" : h->node->owner;
    std::vector<std::uint8_t> sid(8, 0);
    sid[0] = 1;
    std::size_t at = 4;  // past "S-1-"
    for (int part = 0; at <= owner.size(); ++part) {
        std::uint64_t value = 0;
        while (at < owner.size() && owner[at] != u'-') value = value * 10 + (owner[at++] - u'0');
        ++at;
        if (part == 0) {
            sid[7] = static_cast<std::uint8_t>(value);
            continue;
        }
        for (int shift = 0; shift < 32; shift += 8) sid.push_back(static_cast<std::uint8_t>(value >> shift));
        ++sid[1];
    }
    std::vector<std::uint8_t> descriptor(20, 0);
    descriptor[0] = 1;
    descriptor[3] = 0x80;  // self-relative
    descriptor[4] = 20;    // the owner follows the header
    descriptor.insert(descriptor.end(), sid.begin(), sid.end());
    if (lpnLengthNeeded) *lpnLengthNeeded = static_cast<DWORD>(descriptor.size());
    if (nLength < descriptor.size() || !pSecurityDescriptor) {
        s.SetError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(pSecurityDescriptor, descriptor.data(), descriptor.size());
    return TRUE;
}

// The text is kept as it is: CreateDirectoryW knows the one descriptor the model has.
BOOL ConvertStringSecurityDescriptorToSecurityDescriptorW(const WCHAR* StringSecurityDescriptor, DWORD StringSDRevision,
                                                          void** SecurityDescriptor, ULONG* SecurityDescriptorSize) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "ConvertStringSecurityDescriptorToSecurityDescriptorW",
                               sd::FromC(StringSecurityDescriptor))) {
        s.SetError(*fault);
        return FALSE;
    }
    if (!StringSecurityDescriptor || !SecurityDescriptor || StringSDRevision != SDDL_REVISION_1) {
        s.SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto text = std::make_unique<std::u16string>(StringSecurityDescriptor);
    *SecurityDescriptor = text->data();
    if (SecurityDescriptorSize) *SecurityDescriptorSize = static_cast<ULONG>(2 * text->size() + 2);
    s.descriptors[*SecurityDescriptor] = std::move(text);
    return TRUE;
}

void* LocalFree(void* hMem) {
    auto& s = sd::Current();
    sd::Enter(s, "LocalFree");
    if (hMem && !s.descriptors.erase(hMem)) {
        s.Violation("LocalFree of memory that is not allocated (or freed twice)");
        return hMem;
    }
    return nullptr;
}

HRESULT LoadTypeLib(const WCHAR* szFile, ITypeLib** pptlib) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "LoadTypeLib", sd::FromC(szFile))) return static_cast<HRESULT>(*fault);
    if (!szFile || !pptlib) return sd::kEInvalidArg;
    *pptlib = nullptr;
    sd::Resolved r = sd::Resolve(s, szFile);
    if (r.error || !r.node || r.node->folder || r.node->delete_pending) return sd::kTypeECantLoadLibrary;
    if (r.node->unreadable) return static_cast<HRESULT>(0x80070005);  // E_ACCESSDENIED
    if (!r.node->type_library) return sd::kTypeECantLoadLibrary;
    if (r.node->type_library->load_error) return r.node->type_library->load_error;
    auto object = std::make_unique<sd::TypeLibObject>();
    object->library = *r.node->type_library;
    object->path = sd::NodePath(*r.node);
    *pptlib = reinterpret_cast<ITypeLib*>(object.get());
    s.type_libs[object.get()] = std::move(object);
    return S_OK;
}

HRESULT ITypeLib_GetLibAttr(ITypeLib* This, TLIBATTR** ppTLibAttr) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "ITypeLib_GetLibAttr")) return static_cast<HRESULT>(*fault);
    auto it = s.type_libs.find(This);
    if (it == s.type_libs.end() || !ppTLibAttr) {
        s.Violation("ITypeLib_GetLibAttr on a library that is not loaded, or without a result pointer");
        return sd::kEInvalidArg;
    }
    const dismora::sim::TypeLibrary& library = it->second->library;
    if (library.lib_attr_error) return library.lib_attr_error;
    auto attr = std::make_unique<TLIBATTR>();
    attr->guid = library.guid;
    attr->lcid = library.lcid;
    attr->syskind = library.syskind;
    attr->wMajorVerNum = library.major;
    attr->wMinorVerNum = library.minor;
    attr->wLibFlags = 0;
    *ppTLibAttr = attr.get();
    s.lib_attrs[attr.get()] = std::move(attr);
    return S_OK;
}

void ITypeLib_ReleaseTLibAttr(ITypeLib* This, TLIBATTR* pTLibAttr) {
    auto& s = sd::Current();
    sd::Enter(s, "ITypeLib_ReleaseTLibAttr");
    if (!s.type_libs.count(This)) s.Violation("ITypeLib_ReleaseTLibAttr on a library that is not loaded");
    if (!s.lib_attrs.erase(pTLibAttr)) s.Violation("ITypeLib_ReleaseTLibAttr of an attribute block not handed out");
}

ULONG ITypeLib_Release(ITypeLib* This) {
    auto& s = sd::Current();
    sd::Enter(s, "ITypeLib_Release");
    auto it = s.type_libs.find(This);
    if (it == s.type_libs.end()) {
        s.Violation("ITypeLib_Release of a library that is not loaded");
        return 0;
    }
    const ULONG refs = --it->second->refs;
    if (!refs) s.type_libs.erase(it);
    return refs;
}

}  // namespace win
