// The file system: drives, folders, files, open handles and their share modes,
// 8.3 names, the Windows folders, and the kernel32 file functions.
#include <algorithm>

#include "support/sim_state.h"

namespace dismora::sim::detail {

namespace {

constexpr std::u16string_view kInvalidNameChars = u"<>:\"|?*";

bool NeedsRead(DWORD access) { return access & (win::GENERIC_READ | 0x1u | 0x10000000u); }
bool NeedsWrite(DWORD access) { return access & (win::GENERIC_WRITE | 0x2u | 0x4u | 0x10000000u); }
bool NeedsDelete(DWORD access) { return access & (kDelete | 0x10000000u); }

char16_t DriveOf(const FsNode* node) {
    while (node->parent) node = node->parent;
    return node->name.empty() ? u'C' : node->name[0];
}

bool IsAscii83Char(char16_t c) {
    if (c >= 0x80 || c < 0x20) return false;
    return std::u16string_view(u"*?<>|\"+=,;[]:/\\ ").find(c) == std::u16string_view::npos;
}

// A name that is already a valid 8.3 name gets no separate short name (as on NTFS).
bool Is83(std::u16string_view name) {
    if (name.empty() || name.size() > 12) return false;
    if (name == u"." || name == u"..") return true;
    if (name[0] == u'.') return false;
    const std::size_t dot = name.find(u'.');
    if (dot != std::u16string_view::npos && name.find(u'.', dot + 1) != std::u16string_view::npos) return false;
    for (char16_t c : name) {
        if (c != u'.' && !IsAscii83Char(c)) return false;
    }
    if (dot == std::u16string_view::npos) return name.size() <= 8;
    return dot >= 1 && dot <= 8 && name.size() - dot - 1 >= 1 && name.size() - dot - 1 <= 3;
}

std::u16string Clean83(std::u16string_view text) {
    std::u16string out;
    for (char16_t c : text) {
        if (c == u' ' || c == u'.') continue;
        const char16_t u = Upper(c);
        out += (u < 0x80 && IsAscii83Char(u)) ? u : u'_';
    }
    return out;
}

// The NTFS-style generated name: six characters of the name, "~n", three of the extension.
std::u16string GenerateShortName(const FsNode& parent, std::u16string_view name) {
    const std::size_t dot = name.rfind(u'.');
    std::u16string base = Clean83(dot == std::u16string_view::npos || dot == 0 ? name : name.substr(0, dot));
    std::u16string ext = dot == std::u16string_view::npos || dot == 0 ? u"" : Clean83(name.substr(dot + 1));
    if (base.empty()) base = u"_";
    if (ext.size() > 3) ext.resize(3);
    for (unsigned n = 1;; ++n) {
        const std::u16string digits = u"~" + std::u16string(Widen(std::to_string(n)));
        const std::size_t keep = std::min<std::size_t>(base.size(), 8 - digits.size());
        std::u16string candidate = base.substr(0, keep) + digits;
        if (!ext.empty()) candidate += u"." + ext;
        const std::u16string folded = Fold(candidate);
        bool taken = parent.children.count(folded) > 0;
        for (const auto& [key, child] : parent.children) {
            if (Fold(child->short_name) == folded) taken = true;
        }
        if (!taken) return candidate;
    }
}

NodePtr AddChild(State& s, FsNode& parent, std::u16string_view name, bool folder) {
    auto node = std::make_shared<FsNode>();
    node->name = std::u16string(name);
    node->folder = folder;
    node->attributes = folder ? win::FILE_ATTRIBUTE_DIRECTORY : win::FILE_ATTRIBUTE_ARCHIVE;
    node->owner = parent.owner;
    node->parent = &parent;
    node->index = ++s.next_file_index;
    if (!Is83(name) && s.drives[DriveOf(&parent)].short_names) node->short_name = GenerateShortName(parent, name);
    parent.children[Fold(name)] = node;
    return node;
}

bool ValidComponent(std::u16string_view part, bool literal) {
    if (part.empty()) return false;
    for (char16_t c : part) {
        if (c < 0x20 || kInvalidNameChars.find(c) != std::u16string_view::npos) return false;
        if (literal && c == u'/') return false;
    }
    return true;
}

// Test API paths are full paths; anything else is a mistake in the test.
Resolved TestResolve(State& s, std::u16string_view path) {
    Resolved r = ResolveFrom(s, path, u"C:\\");
    if (r.error) Fatal("not a usable path: " + Narrow(path));
    return r;
}

NodePtr TestNode(State& s, std::u16string_view path) {
    Resolved r = TestResolve(s, path);
    if (!r.node) Fatal("no such file or folder: " + Narrow(path));
    return r.node;
}

std::vector<HandleEntry*> HandlesOn(State& s, const FsNode* node) {
    std::vector<HandleEntry*> out;
    for (auto& [value, h] : s.handles) {
        if (h.node.get() == node) out.push_back(&h);
    }
    return out;
}

// Some running process works in this folder: Windows holds its current folder open
// without delete sharing.
bool IsCurrentFolderOfProcess(State& s, const FsNode* folder) {
    s.Settle();
    for (auto& p : s.processes) {
        if (p->phase == Phase::kEnded) continue;
        Resolved r = ResolveFrom(s, p->record.current_folder, u"C:\\");
        if (!r.error && r.node.get() == folder) return true;
    }
    return false;
}

// A name in a folder: its long name, or else its 8.3 name, as Windows finds both.
NodePtr FindChild(const FsNode& folder, std::u16string_view name) {
    const std::u16string folded = Fold(name);
    auto it = folder.children.find(folded);
    if (it != folder.children.end()) return it->second;
    for (const auto& [key, child] : folder.children) {
        if (!child->short_name.empty() && Fold(child->short_name) == folded) return child;
    }
    return nullptr;
}

DWORD ReportedAttributes(const FsNode& node) {
    if (node.attributes == 0) return win::FILE_ATTRIBUTE_NORMAL;
    return node.attributes;
}

// Shared by GetShortPathNameW, GetLongPathNameW and the test API: Wine's algorithm, which
// keeps the separators and the "." and ".." of the input and replaces each name by its
// short name (or its spelling on disk when it has none), or by its long name.
std::optional<std::u16string> AliasPathOf(State& s, std::u16string_view input, std::u16string_view current,
                                          DWORD* error, bool short_form = true) {
    std::u16string out;
    std::size_t lp = 0;
    if (input.substr(0, 4) == u"\\\\?\\") {
        out = std::u16string(input.substr(0, 4));
        lp = 4;
    }
    if (input.find_first_of(u"*?", lp) != std::u16string_view::npos) {
        *error = kErrorInvalidName;
        return std::nullopt;
    }
    if (lp + 1 < input.size() && input[lp] != u'/' && input[lp + 1] == u':') {
        out += input.substr(lp, 2);
        lp += 2;
    }
    while (lp < input.size()) {
        if (IsSeparator(input[lp])) {
            out += input[lp++];
            continue;
        }
        std::size_t end = lp;
        while (end < input.size() && !IsSeparator(input[end])) ++end;
        const std::u16string_view part = input.substr(lp, end - lp);
        if (part == u"." || part == u"..") {
            out += part;
            lp = end;
            continue;
        }
        Resolved r = ResolveFrom(s, out + std::u16string(part), current);
        if (r.error || !r.node || r.node->delete_pending) {
            *error = win::ERROR_FILE_NOT_FOUND;
            return std::nullopt;
        }
        const std::u16string alias = short_form ? ShortNameOf(s, *r.node) : u"";
        out += alias.empty() ? r.node->name : alias;
        lp = end;
    }
    return out;
}

std::u16string DefaultTempPath(const State& s) {
    return u"C:\\Users\\" + s.options.user_name + u"\\AppData\\Local\\Temp\\";
}

}  // namespace

Resolved Resolve(State& s, std::u16string_view path) {
    return ResolveFrom(s, path, s.Current().record.current_folder);
}

Resolved ResolveFrom(State& s, std::u16string_view path, std::u16string_view current_folder) {
    Resolved r;
    if (path.empty()) {
        r.error = win::ERROR_PATH_NOT_FOUND;
        return r;
    }
    bool literal = false;
    std::u16string body;
    if (path.substr(0, 4) == u"\\\\?\\") {
        literal = true;
        r.full = std::u16string(path);
        body = std::u16string(path.substr(4));
    } else {
        r.full = FullPath(path, current_folder);
        body = r.full;
        if (body.substr(0, 4) == u"\\\\.\\") body = body.substr(4);
    }
    if (body.size() >= 2 && IsSeparator(body[0]) && IsSeparator(body[1])) {
        r.error = kErrorBadNetPath;  // the simulated machine has no network
        return r;
    }
    if (body.size() < 2 || body[1] != u':') {
        r.error = literal ? kErrorInvalidName : win::ERROR_PATH_NOT_FOUND;
        return r;
    }
    r.drive = Upper(body[0]);
    auto drive = s.drives.find(r.drive);
    if (drive == s.drives.end()) {
        r.error = win::ERROR_PATH_NOT_FOUND;
        return r;
    }
    std::u16string rest = body.size() > 3 ? body.substr(3) : u"";
    if (body.size() > 2 && body[2] != u'\\') {
        r.error = kErrorInvalidName;
        return r;
    }
    if (!rest.empty() && rest.back() == u'\\') {
        r.trailing_separator = true;
        rest.pop_back();
    }
    std::vector<std::u16string> parts;
    for (std::size_t start = 0; !rest.empty() && start <= rest.size();) {
        const std::size_t end = std::min(rest.find(u'\\', start), rest.size());
        parts.push_back(rest.substr(start, end - start));
        start = end + 1;
    }
    for (const auto& part : parts) {
        if (!ValidComponent(part, literal)) {
            r.error = kErrorInvalidName;
            return r;
        }
    }
    NodePtr node = drive->second.root;
    if (parts.empty()) {
        r.is_root = true;
        r.node = node;
        return r;
    }
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        NodePtr child = FindChild(*node, parts[i]);
        // A junction on the way is followed to its target; only the last name may be one.
        if (child) child = FollowJunction(s, child);
        if (!child || !child->folder) {
            r.error = win::ERROR_PATH_NOT_FOUND;
            return r;
        }
        node = child;
    }
    r.parent = node;
    r.leaf = parts.back();
    r.node = FindChild(*node, r.leaf);
    // "file.txt\" names a folder that a file cannot be (Wine: ERROR_PATH_NOT_FOUND).
    if (r.node && !r.node->folder && r.trailing_separator) r.error = win::ERROR_PATH_NOT_FOUND;
    return r;
}

NodePtr FollowJunction(State& s, NodePtr node) {
    for (int hops = 0; node && !node->junction.empty(); ++hops) {
        if (hops == 32) return nullptr;  // Windows gives up on a loop the same way
        Resolved r = ResolveFrom(s, node->junction, u"C:\\");
        node = r.error ? nullptr : r.node;
    }
    return node;
}

NodePtr MakeFolders(State& s, std::u16string_view full_path) {
    const std::u16string full = FullPath(full_path, u"C:\\");
    if (full.size() < 3 || full[1] != u':') Fatal("not a full path: " + Narrow(full_path));
    auto drive = s.drives.find(Upper(full[0]));
    if (drive == s.drives.end()) Fatal("no drive for " + Narrow(full_path));
    NodePtr node = drive->second.root;
    std::size_t start = 3;
    while (start < full.size()) {
        std::size_t end = full.find(u'\\', start);
        if (end == std::u16string::npos) end = full.size();
        const std::u16string part = full.substr(start, end - start);
        if (!part.empty()) {
            auto child = node->children.find(Fold(part));
            if (child == node->children.end()) {
                node = AddChild(s, *node, part, true);
            } else if (!child->second->folder) {
                Fatal("a file stands where a folder is needed: " + Narrow(full_path));
            } else {
                node = FollowJunction(s, child->second);
                if (!node) Fatal("a junction leads nowhere: " + Narrow(full_path));
            }
        }
        start = end + 1;
    }
    return node;
}

void RemoveNode(State&, const NodePtr& node) {
    if (!node->parent) return;
    node->parent->children.erase(Fold(node->name));
    node->parent = nullptr;
}

std::u16string NodePath(const FsNode& node) {
    if (!node.parent) return node.name + u"\\";
    std::u16string path = node.name;
    for (const FsNode* p = node.parent; p; p = p->parent) {
        path = p->name + u"\\" + path;
    }
    return path;
}

std::u16string ShortNameOf(State&, const FsNode& node) { return node.short_name; }

bool OpenConflicts(State& s, const FsNode* node, DWORD access, DWORD share) {
    // A running application's open files are held for reading, shared for reading and
    // writing but not for deletion, as an editor holds its document.
    s.Settle();
    for (const auto& p : s.processes) {
        if (p->phase == Phase::kEnded) continue;
        for (const NodePtr& open : p->open) {
            if (open.get() == node && (NeedsDelete(access) || !(share & win::FILE_SHARE_READ))) return true;
        }
    }
    for (HandleEntry* h : HandlesOn(s, node)) {
        if (NeedsRead(access) && !(h->share & win::FILE_SHARE_READ)) return true;
        if (NeedsWrite(access) && !(h->share & win::FILE_SHARE_WRITE)) return true;
        if (NeedsDelete(access) && !(h->share & win::FILE_SHARE_DELETE)) return true;
        if (NeedsRead(h->access) && !(share & win::FILE_SHARE_READ)) return true;
        if (NeedsWrite(h->access) && !(share & win::FILE_SHARE_WRITE)) return true;
        if (NeedsDelete(h->access) && !(share & win::FILE_SHARE_DELETE)) return true;
    }
    return false;
}

void CreateStandardFiles(State& s) {
    const std::u16string user = u"C:\\Users\\" + s.options.user_name;
    for (const char16_t* folder : {u"C:\\Windows\\System32", u"C:\\Windows\\Temp", u"C:\\Program Files\\Common Files",
                                   u"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\Startup",
                                   u"C:\\Users\\Public\\Desktop"}) {
        MakeFolders(s, folder);
    }
    for (const char16_t* admin_only : {u"C:\\Windows", u"C:\\Program Files", u"C:\\ProgramData", u"C:\\Users"}) {
        s.machine->MarkAdminOnly(admin_only);
    }
    MakeFolders(s, user)->owner = s.options.user_sid;
    for (const char16_t* sub : {u"\\AppData\\Local\\Temp", u"\\AppData\\Roaming\\Microsoft\\Windows\\SendTo",
                                u"\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs\\Startup",
                                u"\\Desktop", u"\\Documents"}) {
        MakeFolders(s, user + sub);
    }
    for (const char16_t* dll : {u"kernel32.dll", u"advapi32.dll", u"user32.dll", u"shell32.dll", u"oleaut32.dll"}) {
        s.machine->WriteFile(u"C:\\Windows\\System32\\" + std::u16string(dll), "MZ");
    }
    Program regsvr32;
    regsvr32.run_ms = 50;
    s.machine->InstallProgram(u"C:\\Windows\\System32\\regsvr32.exe", regsvr32);
}

}  // namespace dismora::sim::detail

namespace dismora::sim {

using namespace detail;

void Machine::AddDrive(char16_t letter) {
    State& s = *state_;
    const char16_t drive = Upper(letter);
    if (s.drives.count(drive)) return;
    auto root = std::make_shared<FsNode>();
    root->name = std::u16string{drive, u':'};
    root->folder = true;
    root->attributes = win::FILE_ATTRIBUTE_DIRECTORY | win::FILE_ATTRIBUTE_HIDDEN | kFileAttributeSystem;
    root->owner = u"*";
    root->index = ++s.next_file_index;
    s.drives[drive].root = root;
    s.drives[drive].serial = 0x5A1D0000u + drive;
}

void Machine::CreateFolder(std::u16string_view path) { MakeFolders(*state_, path); }

void Machine::WriteFile(std::u16string_view path, std::string_view contents, DWORD attributes) {
    State& s = *state_;
    const std::u16string full = FullPath(path, u"C:\\");
    const std::size_t slash = full.rfind(u'\\');
    if (full.size() < 4 || full[1] != u':' || slash == std::u16string::npos || slash + 1 >= full.size()) {
        Fatal("not a full file path: " + Narrow(path));
    }
    NodePtr parent = MakeFolders(s, full.substr(0, slash + 1));
    const std::u16string leaf = full.substr(slash + 1);
    auto it = parent->children.find(Fold(leaf));
    NodePtr node = it == parent->children.end() ? AddChild(s, *parent, leaf, false) : it->second;
    if (node->folder) Fatal("a folder stands where the file goes: " + Narrow(path));
    node->contents = std::string(contents);
    node->attributes = attributes;
}

void Machine::RemovePath(std::u16string_view path) { RemoveNode(*state_, TestNode(*state_, path)); }

void Machine::SetAttributes(std::u16string_view path, DWORD attributes) {
    NodePtr node = TestNode(*state_, path);
    node->attributes = node->folder ? (attributes | win::FILE_ATTRIBUTE_DIRECTORY) : attributes;
}

void Machine::SetShortName(std::u16string_view path, std::u16string_view short_name) {
    TestNode(*state_, path)->short_name = std::u16string(short_name);
}

void Machine::CreateJunction(std::u16string_view path, std::u16string_view target, std::u16string_view owner) {
    State& s = *state_;
    Resolved r = TestResolve(s, path);
    if (r.node || !r.parent) Fatal("a junction needs a free name: " + Narrow(path));
    NodePtr node = AddChild(s, *r.parent, r.leaf, true);
    node->attributes = win::FILE_ATTRIBUTE_DIRECTORY | kFileAttributeReparsePoint;
    node->junction = FullPath(target, u"C:\\");
    node->owner = owner;
}

void Machine::SetShortNamesEnabled(char16_t drive, bool enabled) {
    auto it = state_->drives.find(Upper(drive));
    if (it == state_->drives.end()) Fatal("no such drive");
    it->second.short_names = enabled;
}

void Machine::MarkUnreadable(std::u16string_view path, bool unreadable) { TestNode(*state_, path)->unreadable = unreadable; }

void Machine::FailReadsAt(std::u16string_view path, std::uint64_t offset, DWORD error) {
    TestNode(*state_, path)->read_fault = std::make_pair(offset, error);
}

void Machine::MarkAdminOnly(std::u16string_view path) {
    std::function<void(FsNode&)> mark = [&](FsNode& node) {
        node.owner.clear();
        for (auto& [key, child] : node.children) mark(*child);
    };
    mark(*TestNode(*state_, path));
}

int Machine::HoldOpen(std::u16string_view path, DWORD access, DWORD share) {
    State& s = *state_;
    NodePtr node = TestNode(s, path);
    HandleEntry entry;
    entry.kind = HandleKind::kFile;
    entry.owner_pid = kOtherProgramPid;
    entry.what = NodePath(*node);
    entry.node = node;
    entry.access = access;
    entry.share = share;
    const int hold = s.next_hold++;
    s.holds[hold] = s.AddHandle(std::move(entry));
    return hold;
}

void Machine::ReleaseHold(int hold) {
    State& s = *state_;
    auto it = s.holds.find(hold);
    if (it == s.holds.end()) Fatal("no such hold");
    s.CloseHandleEntry(it->second);
    s.holds.erase(it);
}

bool Machine::Exists(std::u16string_view path) const {
    Resolved r = ResolveFrom(*state_, path, u"C:\\");
    return !r.error && r.node;
}

bool Machine::IsFile(std::u16string_view path) const {
    Resolved r = ResolveFrom(*state_, path, u"C:\\");
    return !r.error && r.node && !r.node->folder;
}

bool Machine::IsFolder(std::u16string_view path) const {
    Resolved r = ResolveFrom(*state_, path, u"C:\\");
    return !r.error && r.node && r.node->folder;
}

std::optional<std::string> Machine::FileContents(std::u16string_view path) const {
    Resolved r = ResolveFrom(*state_, path, u"C:\\");
    if (r.error || !r.node || r.node->folder) return std::nullopt;
    return r.node->contents;
}

std::optional<DWORD> Machine::Attributes(std::u16string_view path) const {
    Resolved r = ResolveFrom(*state_, path, u"C:\\");
    if (r.error || !r.node) return std::nullopt;
    return ReportedAttributes(*r.node);
}

std::u16string Machine::Owner(std::u16string_view path) const { return TestNode(*state_, path)->owner; }

std::vector<std::u16string> Machine::List(std::u16string_view folder) const {
    NodePtr node = TestNode(*state_, folder);
    std::vector<std::u16string> names;
    for (const auto& [key, child] : node->children) names.push_back(child->name);
    return names;
}

std::u16string Machine::ShortPath(std::u16string_view path) const {
    DWORD error = 0;
    auto result = AliasPathOf(*state_, path, u"C:\\", &error);
    return result ? *result : std::u16string();
}

std::u16string Machine::RealPath(std::u16string_view path) const {
    Resolved r = ResolveFrom(*state_, path, u"C:\\");
    return r.error || !r.node ? std::u16string() : NodePath(*r.node);
}

void Machine::SetTempPath(std::u16string_view path) {
    state_->temp_path = std::u16string(path);
    state_->temp_path_error = 0;
}

void Machine::SetTempPathError(DWORD error) { state_->temp_path_error = error; }

void Machine::SetEnvironment(std::u16string_view name, std::u16string_view value) {
    std::u16string key(name);
    for (char16_t& c : key) c = (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
    state_->environment[key] = std::u16string(value);
}

void Machine::SetWindowsFolder(std::u16string_view path) { state_->windows_folder = std::u16string(path); }

void Machine::SetSystemFolder(std::u16string_view path) { state_->system_folder = std::u16string(path); }

void Machine::InstallProgram(std::u16string_view path, Program program) {
    WriteFile(path, "MZ program");
    TestNode(*state_, path)->program = std::make_shared<const Program>(std::move(program));
}

void Machine::InstallDismora(std::u16string_view path) {
    WriteFile(path, "MZ dismora");
    TestNode(*state_, path)->dismora = true;
}

bool Machine::IsDismoraImage(std::u16string_view path) const {
    Resolved r = ResolveFrom(*state_, path, u"C:\\");
    return !r.error && r.node && r.node->dismora;
}

}  // namespace dismora::sim

namespace win {

namespace sd = dismora::sim::detail;

DWORD GetFileAttributesW(const WCHAR* lpFileName) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "GetFileAttributesW", sd::FromC(lpFileName))) {
        s.SetError(*fault);
        return INVALID_FILE_ATTRIBUTES;
    }
    sd::Resolved r = sd::Resolve(s, sd::FromC(lpFileName));
    if (r.error) {
        s.SetError(r.error);
        return INVALID_FILE_ATTRIBUTES;
    }
    if (!r.node) {
        s.SetError(ERROR_FILE_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    }
    if (r.node->delete_pending) {
        s.SetError(ERROR_ACCESS_DENIED);
        return INVALID_FILE_ATTRIBUTES;
    }
    return sd::ReportedAttributes(*r.node);
}

BOOL SetFileAttributesW(const WCHAR* lpFileName, DWORD dwFileAttributes) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "SetFileAttributesW", sd::FromC(lpFileName))) {
        s.SetError(*fault);
        return FALSE;
    }
    sd::Resolved r = sd::Resolve(s, sd::FromC(lpFileName));
    if (r.error) {
        s.SetError(r.error);
        return FALSE;
    }
    if (!r.node) {
        s.SetError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    if (r.node->delete_pending || !s.MayChange(s.Current(), r.node->owner)) {
        s.SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    // Only the attributes a program may set; a folder stays a folder, a link a link, and
    // FILE_ATTRIBUTE_NORMAL alone clears them all.
    constexpr DWORD kSettable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | 0x4 | FILE_ATTRIBUTE_ARCHIVE;
    r.node->attributes = (r.node->attributes & ~kSettable) | (dwFileAttributes & kSettable);
    return TRUE;
}

HANDLE CreateFileW(const WCHAR* lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, void* lpSecurityAttributes,
                   DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "CreateFileW", sd::FromC(lpFileName))) {
        s.SetError(*fault);
        return INVALID_HANDLE_VALUE;
    }
    (void)lpSecurityAttributes;
    if (hTemplateFile) s.Violation("CreateFileW: template files are not modelled");
    if (!lpFileName || !*lpFileName) {
        s.SetError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > sd::kTruncateExisting ||
        (dwCreationDisposition == sd::kTruncateExisting && !sd::NeedsWrite(dwDesiredAccess))) {
        s.SetError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    sd::Process& me = s.Current();
    sd::Resolved r = sd::Resolve(s, lpFileName);
    if (r.error) {
        s.SetError(r.error);
        return INVALID_HANDLE_VALUE;
    }
    sd::NodePtr node = r.node;
    if (node && !node->junction.empty() && !(dwFlagsAndAttributes & sd::kFileFlagOpenReparsePoint)) {
        node = sd::FollowJunction(s, node);
        if (!node) {
            s.SetError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
    }
    DWORD error_after = 0;
    const bool truncate = dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == sd::kTruncateExisting;
    if (node) {
        if (node->folder && !(dwFlagsAndAttributes & sd::kFileFlagBackupSemantics)) {
            s.SetError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        if (node->delete_pending) {
            s.SetError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        if (dwCreationDisposition == CREATE_NEW) {
            s.SetError(ERROR_FILE_EXISTS);
            return INVALID_HANDLE_VALUE;
        }
        const bool writes = sd::NeedsWrite(dwDesiredAccess) || truncate;
        if ((sd::NeedsRead(dwDesiredAccess) && node->unreadable) ||
            (writes && (node->attributes & FILE_ATTRIBUTE_READONLY)) ||
            ((writes || sd::NeedsDelete(dwDesiredAccess)) && !s.MayChange(me, node->owner))) {
            s.SetError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        if ((writes && s.ImageInUse(node.get())) || sd::OpenConflicts(s, node.get(), dwDesiredAccess, dwShareMode)) {
            s.SetError(ERROR_SHARING_VIOLATION);
            return INVALID_HANDLE_VALUE;
        }
        if (truncate) {
            node->contents.clear();
            if (dwCreationDisposition == CREATE_ALWAYS) node->attributes = FILE_ATTRIBUTE_ARCHIVE | (dwFlagsAndAttributes & 0x7);
        }
        if (dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == sd::kOpenAlways) error_after = ERROR_ALREADY_EXISTS;
    } else {
        if (dwCreationDisposition == OPEN_EXISTING || dwCreationDisposition == sd::kTruncateExisting) {
            s.SetError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        if (r.trailing_separator) {
            s.SetError(sd::kErrorInvalidName);
            return INVALID_HANDLE_VALUE;
        }
        if (!s.MayChange(me, r.parent->owner)) {
            s.SetError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        node = sd::AddChild(s, *r.parent, r.leaf, false);
        node->attributes = FILE_ATTRIBUTE_ARCHIVE | (dwFlagsAndAttributes & 0x7);
    }
    sd::HandleEntry entry;
    entry.kind = dismora::sim::HandleKind::kFile;
    entry.owner_pid = me.record.pid;
    entry.what = sd::NodePath(*node);
    entry.node = node;
    entry.access = dwDesiredAccess;
    entry.share = dwShareMode;
    const std::uintptr_t value = s.AddHandle(std::move(entry));
    s.SetError(static_cast<DWORD>(error_after));
    return reinterpret_cast<HANDLE>(value);
}

}  // namespace win

namespace dismora::sim::detail {

// What ReadFile and WriteFile check alike: the count zeroed first, a fault, a file handle
// with the access the call needs, no overlapped transfer, and a count to write through.
HandleEntry* FileForTransfer(State& s, const char* function, win::HANDLE file, DWORD* count, void* overlapped) {
    const bool read = function[0] == 'R';
    if (count) *count = 0;
    if (auto fault = Enter(s, function)) {
        s.SetError(*fault);
        return nullptr;
    }
    HandleEntry* h = s.FindHandle(file);
    if (!h || h->kind != HandleKind::kFile) {
        s.SetError(win::ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (overlapped) s.Violation(std::string(function) + ": overlapped transfers are not modelled");
    if (!count) {
        // Windows writes through the pointer: a NULL one is a crash there.
        s.Violation(std::string(function) + ": the count's pointer is NULL");
        s.SetError(kErrorNoAccess);
        return nullptr;
    }
    if (!(read ? NeedsRead(h->access) : NeedsWrite(h->access)) || h->node->folder) {
        s.SetError(win::ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return h;
}

}  // namespace dismora::sim::detail

namespace win {

BOOL ReadFile(HANDLE hFile, void* lpBuffer, DWORD nNumberOfBytesToRead, DWORD* lpNumberOfBytesRead,
              void* lpOverlapped) {
    auto& s = sd::Current();
    sd::HandleEntry* h = sd::FileForTransfer(s, "ReadFile", hFile, lpNumberOfBytesRead, lpOverlapped);
    if (!h) return FALSE;
    const std::string& data = h->node->contents;
    std::uint64_t limit = data.size();
    if (h->node->read_fault) {
        const auto [offset, error] = *h->node->read_fault;
        if (h->position >= offset && nNumberOfBytesToRead > 0) {
            s.SetError(error);
            return FALSE;
        }
        limit = std::min<std::uint64_t>(limit, offset);
    }
    const std::uint64_t available = h->position < limit ? limit - h->position : 0;
    const std::uint64_t count = std::min<std::uint64_t>(available, nNumberOfBytesToRead);
    if (count) {
        std::copy_n(data.data() + h->position, count, static_cast<char*>(lpBuffer));
    }
    h->position += count;
    *lpNumberOfBytesRead = static_cast<DWORD>(count);
    return TRUE;
}

BOOL WriteFile(HANDLE hFile, const void* lpBuffer, DWORD nNumberOfBytesToWrite, DWORD* lpNumberOfBytesWritten,
               void* lpOverlapped) {
    auto& s = sd::Current();
    sd::HandleEntry* h = sd::FileForTransfer(s, "WriteFile", hFile, lpNumberOfBytesWritten, lpOverlapped);
    if (!h) return FALSE;
    std::string& data = h->node->contents;
    // A handle that may only append writes at the end, wherever it stands.
    const bool append = !(h->access & (GENERIC_WRITE | 0x2u | 0x10000000u));
    const std::uint64_t at = append ? data.size() : h->position;
    if (data.size() < at + nNumberOfBytesToWrite) data.resize(at + nNumberOfBytesToWrite);
    if (nNumberOfBytesToWrite) std::copy_n(static_cast<const char*>(lpBuffer), nNumberOfBytesToWrite, data.data() + at);
    h->position = at + nNumberOfBytesToWrite;
    *lpNumberOfBytesWritten = nNumberOfBytesToWrite;
    return TRUE;
}

BOOL CloseHandle(HANDLE hObject) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "CloseHandle")) {
        s.SetError(*fault);
        return FALSE;
    }
    if (hObject == INVALID_HANDLE_VALUE) {
        // The current-process pseudo handle: closing it has no effect.
        s.Violation("CloseHandle(INVALID_HANDLE_VALUE)");
        return TRUE;
    }
    sd::HandleEntry* h = s.FindHandle(hObject);
    if (!h) {
        s.Violation("CloseHandle of a handle that is not open");
        s.SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (h->kind == dismora::sim::HandleKind::kKey) s.Violation("CloseHandle on a registry key: " + dismora::sim::Narrow(h->what));
    if (h->search) s.Violation("CloseHandle on a search: " + dismora::sim::Narrow(h->what));
    s.CloseHandleEntry(reinterpret_cast<std::uintptr_t>(hObject));
    return TRUE;
}

BOOL DeleteFileW(const WCHAR* lpFileName) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "DeleteFileW", sd::FromC(lpFileName))) {
        s.SetError(*fault);
        return FALSE;
    }
    sd::Resolved r = sd::Resolve(s, sd::FromC(lpFileName));
    if (r.error) {
        s.SetError(r.error);
        return FALSE;
    }
    if (!r.node) {
        s.SetError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    // In Windows' order: a folder, the rights, the sharing, then what forbids deletion.
    if (r.node->folder || r.node->delete_pending || !s.MayChange(s.Current(), r.node->owner)) {
        s.SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (sd::OpenConflicts(s, r.node.get(), sd::kDelete, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) {
        s.SetError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    if ((r.node->attributes & FILE_ATTRIBUTE_READONLY) || s.ImageInUse(r.node.get())) {
        s.SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!sd::HandlesOn(s, r.node.get()).empty()) {
        r.node->delete_pending = true;  // gone when the last handle closes
        return TRUE;
    }
    sd::RemoveNode(s, r.node);
    return TRUE;
}

BOOL RemoveDirectoryW(const WCHAR* lpPathName) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "RemoveDirectoryW", sd::FromC(lpPathName))) {
        s.SetError(*fault);
        return FALSE;
    }
    sd::Resolved r = sd::Resolve(s, sd::FromC(lpPathName));
    if (r.error && r.error != sd::kErrorInvalidName) {
        s.SetError(r.error);
        return FALSE;
    }
    if (r.error || (r.node && !r.node->folder)) {
        s.SetError(sd::kErrorDirectory);
        return FALSE;
    }
    if (!r.node) {
        s.SetError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    if (!s.MayChange(s.Current(), r.node->owner)) {
        s.SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (sd::OpenConflicts(s, r.node.get(), sd::kDelete, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE) ||
        sd::IsCurrentFolderOfProcess(s, r.node.get())) {
        s.SetError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    // A drive root that holds something is "not empty" (as in Wine); an empty one is refused.
    if (!r.node->children.empty()) {
        s.SetError(ERROR_DIR_NOT_EMPTY);
        return FALSE;
    }
    if (r.is_root) {
        s.SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (r.node->attributes & FILE_ATTRIBUTE_READONLY) {
        s.SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    sd::RemoveNode(s, r.node);
    return TRUE;
}

BOOL CopyFileW(const WCHAR* lpExistingFileName, const WCHAR* lpNewFileName, BOOL bFailIfExists) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "CopyFileW", sd::FromC(lpExistingFileName) + u" -> " + sd::FromC(lpNewFileName))) {
        s.SetError(*fault);
        return FALSE;
    }
    sd::Process& me = s.Current();
    sd::Resolved from = sd::Resolve(s, sd::FromC(lpExistingFileName));
    if (from.error) {
        s.SetError(from.error);
        return FALSE;
    }
    if (!from.node) {
        s.SetError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    if (from.node->folder || from.node->delete_pending || from.node->unreadable) {
        s.SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (sd::OpenConflicts(s, from.node.get(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE)) {
        s.SetError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    sd::Resolved to = sd::Resolve(s, sd::FromC(lpNewFileName));
    if (to.error) {
        s.SetError(to.error);
        return FALSE;
    }
    if (to.is_root || (to.node && to.node->folder)) {
        s.SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (to.node) {
        if (bFailIfExists) {
            s.SetError(ERROR_FILE_EXISTS);
            return FALSE;
        }
        if (to.node->delete_pending || (to.node->attributes & FILE_ATTRIBUTE_READONLY) || !s.MayChange(me, to.node->owner)) {
            s.SetError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        // The target is opened for writing with no sharing.
        if (s.ImageInUse(to.node.get()) || sd::OpenConflicts(s, to.node.get(), GENERIC_WRITE, 0) ||
            to.node == from.node) {
            s.SetError(ERROR_SHARING_VIOLATION);
            return FALSE;
        }
    } else if (!s.MayChange(me, to.parent->owner)) {
        s.SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (from.node->read_fault && from.node->read_fault->first < from.node->contents.size()) {
        s.SetError(from.node->read_fault->second);
        return FALSE;
    }
    sd::NodePtr target = to.node ? to.node : sd::AddChild(s, *to.parent, to.leaf, false);
    target->contents = from.node->contents;
    target->attributes = from.node->attributes | FILE_ATTRIBUTE_ARCHIVE;
    target->program = from.node->program;
    target->dismora = from.node->dismora;
    target->type_library = from.node->type_library;
    return TRUE;
}

BOOL MoveFileExW(const WCHAR* lpExistingFileName, const WCHAR* lpNewFileName, DWORD dwFlags) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "MoveFileExW", sd::FromC(lpExistingFileName))) {
        s.SetError(*fault);
        return FALSE;
    }
    if (!(dwFlags & MOVEFILE_DELAY_UNTIL_REBOOT)) {
        if (!lpNewFileName) {
            // Without a new name and without the delay, it is a plain deletion (as in Wine).
            return DeleteFileW(lpExistingFileName);
        }
        // A rename of a file on its drive: it needs delete access to the file, which an
        // open handle that does not share deletion denies.
        sd::Process& me = s.Current();
        sd::Resolved from = sd::Resolve(s, lpExistingFileName);
        sd::Resolved to = sd::Resolve(s, sd::FromC(lpNewFileName));
        if (from.error || to.error) {
            s.SetError(from.error ? from.error : to.error);
            return FALSE;
        }
        if (!from.node) {
            s.SetError(ERROR_FILE_NOT_FOUND);
            return FALSE;
        }
        // Without MOVEFILE_COPY_ALLOWED a file never leaves its volume.
        if (from.drive != to.drive && !from.node->folder) {
            s.SetError(ERROR_NOT_SAME_DEVICE);
            return FALSE;
        }
        if (from.node->folder || (to.node && to.node->folder)) {
            s.Violation("MoveFileExW: only renames of a file on its drive are modelled");
            s.SetError(sd::kErrorInvalidFunction);
            return FALSE;
        }
        if (from.node->delete_pending || !s.MayChange(me, from.node->owner) || !s.MayChange(me, to.parent->owner)) {
            s.SetError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (sd::OpenConflicts(s, from.node.get(), sd::kDelete, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) {
            s.SetError(ERROR_SHARING_VIOLATION);
            return FALSE;
        }
        if (to.node && to.node != from.node) {
            if (!(dwFlags & sd::kMoveFileReplaceExisting)) {
                s.SetError(ERROR_ALREADY_EXISTS);
                return FALSE;
            }
            if (!sd::HandlesOn(s, to.node.get()).empty() || s.ImageInUse(to.node.get())) {
                s.SetError(ERROR_ACCESS_DENIED);
                return FALSE;
            }
            sd::RemoveNode(s, to.node);
        }
        sd::NodePtr node = from.node;
        sd::RemoveNode(s, node);
        node->name = to.leaf;
        node->short_name.clear();
        node->parent = to.parent.get();
        to.parent->children[sd::Fold(to.leaf)] = node;
        return TRUE;
    }
    if (!lpExistingFileName || !*lpExistingFileName) {
        s.SetError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    auto nt_path = [&](const WCHAR* path) {
        const std::u16string text(path);
        if (text.substr(0, 4) == u"\\\\?\\") return u"\\??\\" + text.substr(4);
        return u"\\??\\" + sd::FullPath(text, s.Current().record.current_folder);
    };
    // The list lives in HKLM: only an effective administrator may append to it.
    if (!s.EffectiveAdmin(s.Current())) {
        s.SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    sd::AppendPendingDeletion(s, nt_path(lpExistingFileName));
    if (lpNewFileName) s.Violation("MoveFileExW: a delayed rename is recorded as a delayed deletion");
    return TRUE;
}

DWORD GetShortPathNameW(const WCHAR* lpszLongPath, WCHAR* lpszShortPath, DWORD cchBuffer) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "GetShortPathNameW", sd::FromC(lpszLongPath))) {
        s.SetError(*fault);
        return 0;
    }
    if (!lpszLongPath) {
        s.SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!*lpszLongPath) {
        s.SetError(sd::kErrorBadPathname);
        return 0;
    }
    DWORD error = 0;
    auto result = sd::AliasPathOf(s, lpszLongPath, s.Current().record.current_folder, &error);
    if (!result) {
        s.SetError(error);
        return 0;
    }
    // The buffer is written only when the whole path and its NUL fit.
    if (result->size() + 1 > cchBuffer || !lpszShortPath) return static_cast<DWORD>(result->size() + 1);
    result->copy(lpszShortPath, result->size());
    lpszShortPath[result->size()] = 0;
    return static_cast<DWORD>(result->size());
}

DWORD GetLongPathNameW(const WCHAR* lpszShortPath, WCHAR* lpszLongPath, DWORD cchBuffer) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "GetLongPathNameW", sd::FromC(lpszShortPath))) {
        s.SetError(*fault);
        return 0;
    }
    if (!lpszShortPath) {
        s.SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!*lpszShortPath) {
        s.SetError(ERROR_PATH_NOT_FOUND);
        return 0;
    }
    DWORD error = 0;
    auto result = sd::AliasPathOf(s, lpszShortPath, s.Current().record.current_folder, &error, false);
    if (!result) {
        s.SetError(error);
        return 0;
    }
    if (result->size() + 1 > cchBuffer || !lpszLongPath) return static_cast<DWORD>(result->size() + 1);
    result->copy(lpszLongPath, result->size());
    lpszLongPath[result->size()] = 0;
    return static_cast<DWORD>(result->size());
}

DWORD GetFinalPathNameByHandleW(HANDLE hFile, WCHAR* lpszFilePath, DWORD cchFilePath, DWORD dwFlags) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "GetFinalPathNameByHandleW")) {
        s.SetError(*fault);
        return 0;
    }
    sd::HandleEntry* h = s.FindHandle(hFile);
    if (!h || h->kind != dismora::sim::HandleKind::kFile) {
        s.SetError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (dwFlags != VOLUME_NAME_DOS) s.Violation("GetFinalPathNameByHandleW: only the normalised DOS name is modelled");
    // The path of what the handle reaches, as the file system spells it, after "\\?\".
    const std::u16string path = u"\\\\?\\" + sd::NodePath(*h->node);
    // Too small a buffer: the size it needs with the NUL; else the length without it.
    if (path.size() + 1 > cchFilePath) return static_cast<DWORD>(path.size() + 1);
    std::copy(path.begin(), path.end(), lpszFilePath);
    lpszFilePath[path.size()] = 0;
    return static_cast<DWORD>(path.size());
}

BOOL GetFileInformationByHandle(HANDLE hFile, BY_HANDLE_FILE_INFORMATION* lpFileInformation) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "GetFileInformationByHandle")) {
        s.SetError(*fault);
        return FALSE;
    }
    sd::HandleEntry* h = s.FindHandle(hFile);
    if (!h || h->kind != dismora::sim::HandleKind::kFile) {
        s.SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // The query reads the attributes: the handle must grant that.
    if (!(h->access & (FILE_READ_ATTRIBUTES | GENERIC_READ | sd::kMaximumAllowed | 0x10000000u))) {
        s.SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    const sd::FsNode& node = *h->node;
    const sd::FsNode* root = &node;
    while (root->parent) root = root->parent;
    BY_HANDLE_FILE_INFORMATION info = {};
    info.dwFileAttributes = sd::ReportedAttributes(node);
    auto drive = s.drives.find(root->name.empty() ? u'\0' : sd::Upper(root->name[0]));
    info.dwVolumeSerialNumber = drive == s.drives.end() ? 0 : drive->second.serial;
    info.nFileSizeLow = static_cast<DWORD>(node.contents.size());
    info.nNumberOfLinks = 1;
    info.nFileIndexHigh = static_cast<DWORD>(node.index >> 32);
    info.nFileIndexLow = static_cast<DWORD>(node.index);
    *lpFileInformation = info;
    return TRUE;
}

namespace {

UINT CopyFolder(const std::u16string& folder, WCHAR* buffer, UINT size) {
    if (buffer && size >= folder.size() + 1) {
        folder.copy(buffer, folder.size());
        buffer[folder.size()] = 0;
        return static_cast<UINT>(folder.size());
    }
    return static_cast<UINT>(folder.size() + 1);
}

}  // namespace

UINT GetWindowsDirectoryW(WCHAR* lpBuffer, UINT uSize) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "GetWindowsDirectoryW")) {
        s.SetError(*fault);
        return 0;
    }
    return CopyFolder(s.windows_folder, lpBuffer, uSize);
}

UINT GetSystemDirectoryW(WCHAR* lpBuffer, UINT uSize) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "GetSystemDirectoryW")) {
        s.SetError(*fault);
        return 0;
    }
    return CopyFolder(s.system_folder, lpBuffer, uSize);
}

// "%NAME%" for each variable set, in any letter case; an unknown or unclosed one stays as
// written. The result counts the NUL; a buffer too small receives nothing.
DWORD ExpandEnvironmentStringsW(const WCHAR* lpSrc, WCHAR* lpDst, DWORD nSize) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "ExpandEnvironmentStringsW", sd::FromC(lpSrc))) {
        s.SetError(*fault);
        return 0;
    }
    const std::u16string source = sd::FromC(lpSrc);
    std::u16string out;
    for (std::size_t at = 0; at < source.size();) {
        const std::size_t end = source[at] == u'%' ? source.find(u'%', at + 1) : std::u16string::npos;
        if (end != std::u16string::npos) {
            std::u16string name = source.substr(at + 1, end - at - 1);
            for (char16_t& c : name) c = (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
            auto found = s.environment.find(name);
            if (found != s.environment.end()) {
                out += found->second;
                at = end + 1;
                continue;
            }
        }
        out += source[at++];
    }
    const DWORD needed = static_cast<DWORD>(out.size() + 1);
    if (lpDst && nSize >= needed) std::copy(out.c_str(), out.c_str() + needed, lpDst);
    return needed;
}

// The interactive user's name; the count given and returned includes the NUL.
BOOL GetUserNameW(WCHAR* lpBuffer, DWORD* pcbBuffer) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "GetUserNameW")) {
        s.SetError(*fault);
        return FALSE;
    }
    const std::u16string& name = s.options.user_name;
    const DWORD needed = static_cast<DWORD>(name.size() + 1);
    if (!lpBuffer || *pcbBuffer < needed) {
        *pcbBuffer = needed;
        s.SetError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::copy(name.c_str(), name.c_str() + needed, lpBuffer);
    *pcbBuffer = needed;
    return TRUE;
}

DWORD GetTempPathW(DWORD nBufferLength, WCHAR* lpBuffer) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "GetTempPathW")) {
        s.SetError(*fault);
        return 0;
    }
    if (s.temp_path_error) {
        s.SetError(s.temp_path_error);
        return 0;
    }
    std::u16string path = s.temp_path ? *s.temp_path : sd::DefaultTempPath(s);
    if (path.empty() || path.back() != u'\\') path += u'\\';
    const DWORD needed = static_cast<DWORD>(path.size() + 1);
    if (nBufferLength >= needed && lpBuffer) {
        path.copy(lpBuffer, path.size());
        // Windows clears the rest of the buffer, and all of it when the path does not fit.
        std::fill(lpBuffer + path.size(), lpBuffer + std::min<DWORD>(nBufferLength, 32767), u'\0');
        return needed - 1;
    }
    if (nBufferLength && lpBuffer) std::fill(lpBuffer, lpBuffer + nBufferLength, u'\0');
    return needed;
}

BOOL CreateDirectoryW(const WCHAR* lpPathName, SECURITY_ATTRIBUTES* lpSecurityAttributes) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "CreateDirectoryW", sd::FromC(lpPathName))) {
        s.SetError(*fault);
        return FALSE;
    }
    sd::Resolved r = sd::Resolve(s, sd::FromC(lpPathName));
    if (r.error) {
        s.SetError(r.error);
        return FALSE;
    }
    if (r.node || r.is_root) {
        s.SetError(ERROR_ALREADY_EXISTS);
        return FALSE;
    }
    if (!s.MayChange(s.Current(), r.parent->owner)) {
        s.SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    std::optional<std::u16string> owner;
    if (lpSecurityAttributes && lpSecurityAttributes->lpSecurityDescriptor) {
        auto descriptor = s.descriptors.find(lpSecurityAttributes->lpSecurityDescriptor);
        if (lpSecurityAttributes->nLength != sizeof(SECURITY_ATTRIBUTES) || descriptor == s.descriptors.end() ||
            *descriptor->second != u"D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)") {
            s.Violation("CreateDirectoryW: a security descriptor that is not modelled");
        } else {
            owner = u"";  // Administrators and SYSTEM alone, nothing inherited
        }
    }
    sd::NodePtr folder = sd::AddChild(s, *r.parent, r.leaf, true);
    if (owner) folder->owner = *owner;
    return TRUE;
}

namespace {

// A name against a pattern of "*" and "?", ignoring letter case.
bool Matches(std::u16string_view name, std::u16string_view pattern) {
    if (pattern.empty()) return name.empty();
    if (pattern[0] == u'*') {
        for (std::size_t skip = 0; skip <= name.size(); ++skip) {
            if (Matches(name.substr(skip), pattern.substr(1))) return true;
        }
        return false;
    }
    return !name.empty() && (pattern[0] == u'?' || sd::Fold(name.substr(0, 1)) == sd::Fold(pattern.substr(0, 1))) &&
           Matches(name.substr(1), pattern.substr(1));
}

BOOL NextFound(sd::HandleEntry& search, WIN32_FIND_DATAW* data) {
    auto& s = sd::Current();
    if (search.found_next == search.found.size()) {
        s.SetError(sd::kErrorNoMoreFiles);
        return FALSE;
    }
    const auto& [name, node] = search.found[search.found_next++];
    *data = WIN32_FIND_DATAW{};
    data->dwFileAttributes = sd::ReportedAttributes(*node);
    data->nFileSizeLow = static_cast<DWORD>(node->contents.size());
    name.copy(data->cFileName, std::min<std::size_t>(name.size(), 259));
    return TRUE;
}

}  // namespace

// The folder's entries whose long names match, in the order of the folder's index; "." and
// ".." first in any folder but a root.
HANDLE FindFirstFileW(const WCHAR* lpFileName, WIN32_FIND_DATAW* lpFindFileData) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "FindFirstFileW", sd::FromC(lpFileName))) {
        s.SetError(*fault);
        return INVALID_HANDLE_VALUE;
    }
    const std::u16string path = sd::FromC(lpFileName);
    const std::size_t cut = path.rfind(u'\\');
    sd::Resolved r = sd::Resolve(s, cut == std::u16string::npos ? u"." : path.substr(0, cut + 1));
    if (r.error || !r.node || !r.node->folder) {
        s.SetError(r.error ? r.error : ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const std::u16string pattern = path.substr(cut + 1);
    sd::HandleEntry entry;
    entry.search = true;
    entry.owner_pid = s.Current().record.pid;
    entry.what = u"search " + path;
    if (!r.is_root) {
        for (const char16_t* dots : {u".", u".."}) {
            if (Matches(dots, pattern)) entry.found.emplace_back(dots, r.node);
        }
    }
    for (const auto& [folded, child] : r.node->children) {
        if (Matches(child->name, pattern)) entry.found.emplace_back(child->name, child);
    }
    if (entry.found.empty()) {
        s.SetError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    NextFound(entry, lpFindFileData);
    return reinterpret_cast<HANDLE>(s.AddHandle(std::move(entry)));
}

BOOL FindNextFileW(HANDLE hFindFile, WIN32_FIND_DATAW* lpFindFileData) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "FindNextFileW")) {
        s.SetError(*fault);
        return FALSE;
    }
    sd::HandleEntry* h = s.FindHandle(hFindFile);
    if (!h || !h->search) {
        s.SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return NextFound(*h, lpFindFileData);
}

BOOL FindClose(HANDLE hFindFile) {
    auto& s = sd::Current();
    sd::Enter(s, "FindClose");
    sd::HandleEntry* h = s.FindHandle(hFindFile);
    if (!h || !h->search) {
        s.Violation("FindClose of a handle that is no search");
        s.SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    s.CloseHandleEntry(reinterpret_cast<std::uintptr_t>(hFindFile));
    return TRUE;
}

}  // namespace win
