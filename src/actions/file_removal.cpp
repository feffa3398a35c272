#include "actions/file_removal.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

#include "actions/event_sink.h"
#include "actions/removal_list.h"
#include "environment/files.h"
#include "platform/unique_handle.h"
#include "platform/win_api.h"

namespace dismora {

namespace {

constexpr win::DWORD kShortPathChars = 262;
constexpr std::uint32_t kHoldingAttempts = 64;
// The holding folders' names, a number after the text before "*": a later run finds them by it.
const char16_t kHoldingPattern[] = u"~Dismora-aside-*";
constexpr std::size_t kHoldingPrefix = std::size(kHoldingPattern) - 2;

enum class Deletion { kDeleted, kNothingThere, kScheduled, kHeld };

// The attributes without read-only; none at all is said as "normal".
win::DWORD WithoutReadOnly(win::DWORD attributes) {
    attributes &= ~win::FILE_ATTRIBUTE_READONLY;
    return attributes == 0 ? win::FILE_ATTRIBUTE_NORMAL : attributes;
}

// Where this run makes its holding folder for a file (ending with "\"): the root of its
// drive, or the temporary folder. Empty: nowhere. A file the move cannot take there (another
// volume, or one mounted in a folder) is scheduled where it stands.
Text HoldingPlace(const Text& path, Aside aside) {
    if (aside == Aside::kTemporaryFolder) return TemporaryFolder();
    return aside == Aside::kVolumeRoot && path.size() > 2 && path[1] == u':' && path[2] == u'\\'
               ? Text(path.c_str(), 3)
               : Text();
}

// Makes this run's holding folder: always a new one, never a folder that was there before.
void MakeHoldingFolder(const Text& path, TRemovalFlags& flags) {
    const Text place = HoldingPlace(path, flags.aside);
    if (place.empty()) return;
    win::SECURITY_ATTRIBUTES security = {sizeof(security), nullptr, win::FALSE};
    // At a volume's root, where every user may make folders, nobody else may look in.
    if (flags.aside == Aside::kVolumeRoot &&
        !win::ConvertStringSecurityDescriptorToSecurityDescriptorW(u"D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)",
                                                                   win::SDDL_REVISION_1, &security.lpSecurityDescriptor,
                                                                   nullptr)) {
        return;
    }
    for (std::uint32_t attempt = 0; attempt < kHoldingAttempts; ++attempt) {
        Text folder = Concat({place, TextView(kHoldingPattern, kHoldingPrefix), DecimalText(win::GetCurrentProcessId() + attempt)});
        if (win::CreateDirectoryW(folder.c_str(), &security)) {
            win::SetFileAttributesW(folder.c_str(), win::FILE_ATTRIBUTE_HIDDEN);
            flags.holding = std::move(folder);
            break;
        }
        if (win::GetLastError() != win::ERROR_ALREADY_EXISTS) break;
    }
    win::LocalFree(security.lpSecurityDescriptor);
}

// Moves a file in use to moved, in this run's holding folder, made at the first need, never
// copying it: a file of another volume stays where it is. False when it was not moved.
bool MoveAside(const Text& path, TRemovalFlags& flags, Text& moved) {
    if (flags.holding.empty()) MakeHoldingFolder(path, flags);
    // Numbered: files of one name from several folders meet there.
    moved = Concat({flags.holding, u"\\", DecimalText(++flags.moved), u"-", FileNamePart(path)});
    return !flags.holding.empty() && win::MoveFileExW(path.c_str(), moved.c_str(), 0);
}

// In the folder (ending with "\"), the entries that match the pattern: in the place of the
// holding folders, each folder of their name (never a link) is emptied of what can go, then
// removed; within one, each file is deleted.
void ClearHolding(const Text& folder, const char16_t* pattern, bool administrators_only = false) {
    win::WIN32_FIND_DATAW entry;  // NOLINT(cppcoreguidelines-pro-type-member-init): FindFirstFileW fills it
    const win::HANDLE search = win::FindFirstFileW(Concat({folder, pattern}).c_str(), &entry);
    if (search == win::INVALID_HANDLE_VALUE) return;
    do {
        const Text path = Concat({folder, entry.cFileName});
        const win::DWORD kind = entry.dwFileAttributes & (win::FILE_ATTRIBUTE_DIRECTORY | win::FILE_ATTRIBUTE_REPARSE_POINT);
        if (pattern != kHoldingPattern) {
            if (kind == 0) win::DeleteFileW(path.c_str());
        } else if (kind == win::FILE_ATTRIBUTE_DIRECTORY && (!administrators_only || OwnedByTheSystem(path))) {
            ClearHolding(Concat({path, u"\\"}), u"*");
            win::RemoveDirectoryW(path.c_str());
        }
    } while (win::FindNextFileW(search, &entry));
    win::FindClose(search);
}

// Tries the deletion first: a file that goes needs no attribute query. Only a failure
// asks whether there was a file at all, which is what decides between passing the
// path over and scheduling it.
// Held (nothing noted) leaves a file in use for later, when the applications holding it
// have been asked to close.
Deletion DeleteOrSchedule(const Text& path, TRemovalFlags& flags, EventSink& events, std::uint32_t line = 0,
                          bool hold = false) {
    Deletion deletion = Deletion::kDeleted;
    Event what = Event::kFile;
    win::DWORD result = 0;
    Text moved;
    if (!win::DeleteFileW(path.c_str())) {
        deletion = Deletion::kNothingThere;
        result = win::ERROR_FILE_NOT_FOUND;
        const win::DWORD attributes = win::GetFileAttributesW(path.c_str());
        // A read-only file would stay even at the restart: its attribute alone goes, and the
        // deletion is tried again; only then is the file held to be in use.
        if ((attributes & (win::FILE_ATTRIBUTE_READONLY | win::FILE_ATTRIBUTE_DIRECTORY)) == win::FILE_ATTRIBUTE_READONLY &&
            win::SetFileAttributesW(path.c_str(), WithoutReadOnly(attributes)) && win::DeleteFileW(path.c_str())) {
            deletion = Deletion::kDeleted;
            result = 0;
        } else if ((attributes & win::FILE_ATTRIBUTE_DIRECTORY) == 0) {
            if (hold) return Deletion::kHeld;
            // In use. Moved aside, its path and folders are free now; it waits for the
            // restart where only administrators reach it, or stays in the temporary folder.
            deletion = Deletion::kScheduled;
            what = Event::kScheduled;
            if (MoveAside(path, flags, moved)) {
                deletion = Deletion::kDeleted;
                // Only an administrator may schedule: in the temporary folder it stays.
                what = ScheduleDeleteAtRestart(moved) ? Event::kMovedScheduled : Event::kMoved;
            } else if (!ScheduleDeleteAtRestart(path)) {
                flags.unremoved = true;
                what = Event::kNotScheduled;
                result = win::GetLastError();
            }
            flags.reboot_pending |= what != Event::kMoved;
        }
    }
    events.Note(what, line, &path, result, moved.c_str());
    return deletion;
}

// Removes the folder; true also when it is gone already, as an earlier run that was cut
// short may have left it, so that the climb goes on to its parent.
bool RemoveFolder(const Text& folder, EventSink& events) {
    if (!win::RemoveDirectoryW(folder.c_str())) {
        const win::DWORD error = win::GetLastError();
        if (error != win::ERROR_ACCESS_DENIED) return error == win::ERROR_FILE_NOT_FOUND || error == win::ERROR_PATH_NOT_FOUND;
        // Windows does not remove a read-only folder. The attribute marks a customised
        // folder: it goes for the removal and comes back when the folder stays all the same.
        const win::DWORD attributes = win::GetFileAttributesW(folder.c_str());
        if (attributes == win::INVALID_FILE_ATTRIBUTES || (attributes & win::FILE_ATTRIBUTE_READONLY) == 0 ||
            !win::SetFileAttributesW(folder.c_str(), WithoutReadOnly(attributes))) {
            return false;
        }
        if (!win::RemoveDirectoryW(folder.c_str())) {
            win::SetFileAttributesW(folder.c_str(), attributes);
            return false;
        }
    }
    events.Note(Event::kFolder, 0, &folder);
    return true;
}

std::size_t Depth(const Text& folder) {
    return static_cast<std::size_t>(std::count(folder.begin(), folder.end(), u'\\'));
}

// Deepest first, then by text.
int CompareFolders(const Text& a, const Text& b) {
    std::size_t depth_a = Depth(a);
    std::size_t depth_b = Depth(b);
    if (depth_a != depth_b) return depth_a > depth_b ? -1 : 1;
    return a.compare(b);
}

}  // namespace

namespace {

// Where the folder part of a path ends: after its last separator, "/" included.
std::size_t FolderEnd(TextView path) {
    std::size_t end = path.size();
    while (end > 0 && path[end - 1] != u'\\' && path[end - 1] != u'/' && path[end - 1] != u':') --end;
    return end;
}

// The paths of the listed files found in use, in list order, for the walk's end: never more
// than the list holds, so a plain array, with no growth to handle; the search asks about them
// as they stand.
struct THeld {
    std::unique_ptr<const char16_t*[]> paths;
    std::uint32_t count = 0;
};

// The folders of the listed files, each checked for a planted link once, however the list
// interleaves them, and held open without delete sharing until the walk ends, so that none
// can be swapped for a link between its check and its deletions.
class FolderChecks {
public:
    struct TEntry {
        TextView raw;  // as the list spells it: a part of a listed path
        win::HANDLE held = nullptr;
        bool planted = false;
        bool offered = false;  // to the climb
    };

    // Room for as many folders as there are files: the table is never full.
    explicit FolderChecks(std::size_t files) : entries_(std::make_unique<TEntry[]>(files + 1)) {
        while (mask_ < 2 * files) mask_ = 2 * mask_ + 1;
        slots_ = std::make_unique<std::uint32_t[]>(mask_ + 1);
    }
    FolderChecks(const FolderChecks&) = delete;
    FolderChecks& operator=(const FolderChecks&) = delete;
    ~FolderChecks() {
        for (std::uint32_t i = 0; i < count_; ++i) {
            if (entries_[i].held != win::INVALID_HANDLE_VALUE) win::CloseHandle(entries_[i].held);
        }
    }

    // Deletes the listed file unless a link was planted on its path, and offers its folder to
    // the climb once. With held, a file in use is put there for later.
    void Delete(const TDismoraFile& node, TRemovalFlags& flags, EventSink& events, std::vector<Text>& emptied,
                THeld* held) {
        const TextView raw = TextView(node.Path).substr(0, FolderEnd(node.Path));
        if (last_ == nullptr || raw != last_->raw) last_ = &Find(raw, node.Path);
        if (last_->planted) {
            events.Note(Event::kBehindLink, node.Line, &node.Path);
            return;
        }
        // A file already gone may have been deleted by an earlier run that ended before its
        // clean-up: its folder is offered too.
        const Deletion deletion = DeleteOrSchedule(node.Path, flags, events, node.Line, held != nullptr);
        if (deletion == Deletion::kHeld) held->paths[held->count++] = node.Path.c_str();
        if (deletion == Deletion::kScheduled || deletion == Deletion::kHeld || last_->offered) return;
        last_->offered = true;
        emptied.push_back(FolderToClimb(node.Path));
    }

private:
    // The folder's entry, checked at its first lookup. A folder written plainly whose parent
    // was checked already asks only for itself: most folders of a list share their parents.
    TEntry& Find(TextView raw, const Text& path) {
        std::uint32_t& slot = Slot(raw);
        if (slot != 0) return entries_[slot - 1];
        TEntry& entry = entries_[count_++];
        slot = count_;
        const Text folder = FolderToClimb(path);
        const TEntry* parent = nullptr;
        if (folder == raw && raw.size() > 1) {
            const std::uint32_t above = Slot(raw.substr(0, FolderEnd(raw.substr(0, raw.size() - 1))));
            if (above != 0) parent = &entries_[above - 1];
        }
        entry = {raw, win::INVALID_HANDLE_VALUE, false, false};
        entry.planted = parent != nullptr ? parent->planted || PlantedLinkOnPath(folder, parent->raw.size())
                                          : PlantedLinkOnPath(folder);
        if (!entry.planted) {
            entry.held = win::CreateFileW(folder.c_str(), win::FILE_READ_ATTRIBUTES, win::FILE_SHARE_READ | win::FILE_SHARE_WRITE,
                                          nullptr, win::OPEN_EXISTING, win::FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        }
        return entry;
    }

    // The table's slot for the folder: its entry's number, or 0 where it would go.
    std::uint32_t& Slot(TextView raw) {
        std::uint32_t hash = 2166136261U;
        for (const char16_t c : raw) hash = (hash ^ c) * 16777619U;
        std::size_t slot = hash & mask_;
        while (slots_[slot] != 0 && entries_[slots_[slot] - 1].raw != raw) slot = (slot + 1) & mask_;
        return slots_[slot];
    }

    TEntry* last_ = nullptr;  // of the file before, until the next lookup
    std::size_t mask_ = 15;  // the table's size less one
    std::unique_ptr<std::uint32_t[]> slots_;  // an entry's number, 0 for none
    std::unique_ptr<TEntry[]> entries_;
    std::uint32_t count_ = 0;
};

// The applications that hold the files, found once for all of them: asked to close when the
// run's question says so, each named in the record with whether it closed.
void AskApplicationsToClose(const THeld& held, const Text& system, const TClosing& closing, EventSink& events) {
    TApplications found;
    FindApplicationsHolding(held.paths.get(), held.count, system, closing.spared, found);
    if (found.Head() == nullptr) return;
    if (closing.ask(closing.context, found)) CloseApplications(found, closing.wait_ms);
    for (const TApplication* application = found.Head(); application != nullptr; application = application->next) {
        events.Note(application->closed ? Event::kClosed : Event::kNotClosed, 0, &application->name, application->id);
    }
}

}  // namespace

Text FolderToClimb(TextView path) {
    // A path from a drive's root is climbed as Windows resolves it, so that "..", ".", "/"
    // and doubled separators lead to the real parent; a path plainly written needs no
    // asking. Other forms are climbed as written: a relative path would otherwise reach
    // above what the log names, and "\\?\" turns resolution off.
    Text folder(path.substr(0, FolderEnd(path)));
    bool unusual = false;
    for (std::size_t i = 2; i < folder.size(); ++i) {
        const char16_t before = folder[i - 1];
        unusual |= folder[i] == u'/' || (folder[i] == u'\\' && (before == u'\\' || before == u'.' || before == u' '));
    }
    if (unusual && folder[1] == u':' && (folder[2] == u'\\' || folder[2] == u'/') &&
        PathFromWindows(folder.c_str(), false, folder)) {
        return folder;
    }
    return FolderPart(path);
}

bool DeleteFileOrSchedule(const Text& path, WellKnownFolders& folders, TRemovalFlags& flags, EventSink& events) {
    const Deletion deletion = DeleteOrSchedule(path, flags, events);
    if (deletion == Deletion::kDeleted) RemoveEmptyFolders(FolderToClimb(path), folders, events);
    return deletion != Deletion::kScheduled;
}

bool DeleteListedFiles(const RemovalList& list, WellKnownFolders& folders, TRemovalFlags& flags, EventSink& events,
                       TextView keep, const TClosing* closing) {
    bool kept = false;
    // Folders only lose content during the walk, so offering each emptied folder once at
    // the end, deepest first, removes exactly the folders the climb after every single
    // deletion would have removed, without a failing attempt per remaining file.
    std::vector<Text> emptied;
    {
        FolderChecks checks(list.Size());
        // Files in use wait until the applications that hold them have been asked to close.
        THeld held{std::make_unique_for_overwrite<const char16_t*[]>(list.Size())};
        for (const TDismoraFile* node = list.Head(); node != nullptr; node = node->Next) {
            if (!keep.empty() && SameFileName(node->Path, keep)) {
                kept = true;
                continue;
            }
            checks.Delete(*node, flags, events, emptied, closing != nullptr ? &held : nullptr);
        }
        if (held.count != 0) {
            AskApplicationsToClose(held, folders.role[WellKnownFolders::kSystem], *closing, events);
            // In list order, one more walk meets each of them by its path's own text.
            std::uint32_t next = 0;
            for (const TDismoraFile* node = list.Head(); next < held.count; node = node->Next) {
                if (node->Path.c_str() != held.paths[next]) continue;
                ++next;
                checks.Delete(*node, flags, events, emptied, nullptr);
            }
        }
    }  // the folders held are let go before the climb
    events.Enter(Stage::kFolders);
    // Sorted through pointers: a string's bytes cannot simply be moved about.
    // Its size is known before it is filled: a plain array, with no growth to handle.
    const std::size_t emptied_count = emptied.size();
    const auto order = std::make_unique_for_overwrite<const Text*[]>(emptied_count);
    for (std::size_t i = 0; i < emptied_count; ++i) order[i] = &emptied[i];
    if (emptied_count > 1)
        std::qsort(order.get(), emptied_count, sizeof(const Text*), [](const void* left, const void* right) {
            return CompareFolders(**static_cast<const Text* const*>(left), **static_cast<const Text* const*>(right));
        });
    // The parent of a removed folder is offered in its turn, after every emptied folder
    // below it, so a parent with many subfolders is tried once rather than once per
    // subfolder. Within one depth, parents come in the order of their subfolders: the
    // queue of parents stays in the same order as the sorted list, and the two merge.
    std::vector<Text> parents;
    std::size_t next_emptied = 0;
    std::size_t next_parent = 0;
    // Starts empty: an empty candidate, passed over as the same, would be passed over anyway.
    Text folder;
    while (true) {
        const Text* candidate = nullptr;
        if (next_emptied < emptied_count &&
            (next_parent == parents.size() || CompareFolders(*order[next_emptied], parents[next_parent]) <= 0)) {
            candidate = order[next_emptied++];
        } else if (next_parent < parents.size()) {
            candidate = &parents[next_parent++];
        } else {
            break;
        }
        if (folder == *candidate) continue;
        folder = *candidate;  // a copy: the queue may grow below
        if (folder.empty() || folder.back() != u'\\' || folders.KeepsFolder(folder) ||
            !RemoveFolder(folder, events)) {
            continue;
        }
        parents.push_back(FolderPart(TextView(folder).substr(0, folder.size() - 1)));
    }
    return kept;
}

namespace {

// Whether Windows already holds the name on its list of deletions at restart: asking again
// would add a second entry, as every run would for its temporary copy of the program.
bool PendingAtRestart(const char16_t* name) {
    UniqueKey key;
    if (win::RegOpenKeyExW(win::HKEY_LOCAL_MACHINE, u"System\\CurrentControlSet\\Control\\Session Manager", 0,
                           win::KEY_QUERY_VALUE, key.Put()) != win::ERROR_SUCCESS) {
        return false;
    }
    const char16_t* value = u"PendingFileRenameOperations";
    win::DWORD type = 0;
    win::DWORD size = 0;
    if (win::RegQueryValueExW(key.Get(), value, nullptr, &type, nullptr, &size) != win::ERROR_SUCCESS ||
        type != win::REG_MULTI_SZ) {
        return false;
    }
    // Two NULs more than the value holds: the list always ends, however it was written.
    Text list(size / 2 + 2, u'\0');
    size = static_cast<win::DWORD>(list.size() * 2 - 4);
    if (win::RegQueryValueExW(key.Get(), value, nullptr, &type, reinterpret_cast<win::BYTE*>(list.data()), &size) !=
        win::ERROR_SUCCESS) {
        return false;
    }
    // Pairs of texts: "\??\" and the path, then the new name, empty for a deletion.
    const Text wanted = Concat({u"\\??\\", name});
    for (std::size_t at = 0; at < list.size();) {
        const TextView source(list.c_str() + at);
        if (source.empty()) break;
        at += source.size() + 1;
        if (at >= list.size()) break;
        const TextView target(list.c_str() + at);
        at += target.size() + 1;
        if (target.empty() && SameFileName(source, wanted)) return true;
    }
    return false;
}

}  // namespace

bool ScheduleDeleteAtRestart(const Text& path) {
    char16_t short_path[kShortPathChars] = {};
    win::DWORD length = win::GetShortPathNameW(path.c_str(), short_path, kShortPathChars);
    // Without a short form that fits, the buffer holds nothing defined: the full path is registered.
    const char16_t* name = (length == 0 || length >= kShortPathChars) ? path.c_str() : short_path;
    return PendingAtRestart(name) || win::MoveFileExW(name, nullptr, win::MOVEFILE_DELAY_UNTIL_REBOOT) != win::FALSE;
}

void ClearEarlierHoldingFolders(const Text& path, const TRemovalFlags& flags) {
    const Text place = HoldingPlace(path, flags.aside);
    // At a volume's root any user may make a folder of that name: only those an
    // administrator made are this program's.
    if (!place.empty()) ClearHolding(place, kHoldingPattern, flags.aside == Aside::kVolumeRoot);
}

void CloseHoldingFolders(const TRemovalFlags& flags) {
    if (!flags.holding.empty() && !win::RemoveDirectoryW(flags.holding.c_str())) {
        ScheduleDeleteAtRestart(flags.holding);
    }
}

void RemoveEmptyFolders(Text folder, WellKnownFolders& folders, EventSink& events) {
    while (!folder.empty() && folder.back() == u'\\') {
        if (folders.KeepsFolder(folder)) return;
        if (!RemoveFolder(folder, events)) return;
        folder.pop_back();
        folder = FolderPart(folder);
    }
}

}  // namespace dismora
