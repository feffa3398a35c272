#include "actions/removal_list.h"

#include <cstdint>

#include "actions/count_journal.h"
#include "actions/event_sink.h"
#include "log/log_reader.h"
#include "platform/unique_handle.h"
#include "platform/win_api.h"

namespace dismora {

namespace {

const char16_t kSharedDllsKey[] = u"Software\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";

}  // namespace

RemovalList::~RemovalList() {
    while (head_ != nullptr) {
        TDismoraFile* next = head_->Next;
        delete head_;
        head_ = next;
    }
}

void RemovalList::Append(const Text& path, std::uint32_t line) {
    // Copied once, straight into the node: the log's line it comes from is read into again.
    auto* node = new TDismoraFile{path, nullptr, line};
    const std::size_t folder_end = node->Path.find_last_of(u"\\/") + 1;
    if (tail_ == nullptr || TextView(tail_->Path).substr(0, tail_->Path.find_last_of(u"\\/") + 1) !=
                                TextView(node->Path).substr(0, folder_end)) {
        ++folders_;
    }
    if (tail_ == nullptr) {
        head_ = node;
    } else {
        tail_->Next = node;
    }
    tail_ = node;
    ++size_;
}

void AddToRemovalList(RemovalList& list, const Text& path, std::uint32_t line) {
    list.Append(path, line);
}

namespace {

// Registry names compare without regard to letter case. What no case mapping can change is
// a name's length and its characters that are neither letters nor beyond ASCII, so two
// names the registry takes for one always hash alike here.
std::uint32_t CaseBlindHash(TextView name) {
    std::uint32_t hash = 2166136261U ^ static_cast<std::uint32_t>(name.size());
    for (char16_t c : name) {
        const char16_t letter = c | 0x20;
        hash = (hash ^ ((c >= 0x80 || (letter >= u'a' && letter <= u'z')) ? 0U : c)) * 16777619U;
    }
    return hash;
}

constexpr std::uint32_t kFilterBits = std::uint32_t{1} << 16;

// The names the count key holds, as a bit per hash: a clear bit proves that a query would
// answer "not found". The bits are kept in a string's 16-bit units. False when the names
// could not all be read.
bool ReadNameFilter(win::HKEY key, win::DWORD longest, Text& filter) {
    filter.resize(kFilterBits / 16);
    Text name;
    name.resize(longest + 1);
    for (win::DWORD index = 0;; ++index) {
        win::DWORD length = longest + 1;
        win::LONG result = win::RegEnumValueW(key, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (result == win::ERROR_NO_MORE_ITEMS) return true;
        if (result != win::ERROR_SUCCESS) return false;
        const std::uint32_t bit = CaseBlindHash(TextView(name.data(), length)) % kFilterBits;
        filter[bit / 16] = static_cast<char16_t>(filter[bit / 16] | (1U << (bit % 16)));
    }
}

// Lowers the file's count of count, or deletes it at 1 or 0, unless an earlier run of this
// log lowered it, or had begun to and did when it no longer reads what that run read: the
// file then stays, as it did then. The journal is told before and after.
Event LowerCount(win::HKEY shared, const Text& path, std::uint32_t line, win::DWORD count, CountJournal& journal,
                 EventSink& events, bool& unjournaled) {
    win::DWORD recorded = 0;
    const CountJournal::Entry entry = journal.Recorded(line, recorded);
    if (entry == CountJournal::Entry::kLowered || (entry == CountJournal::Entry::kAbout && count != recorded)) {
        return Event::kCountLeft;
    }
    // A count of 0 is not wrapped round: that would corrupt it for every other installer.
    if (count <= 1) {
        win::RegDeleteValueW(shared, path.c_str());
        return Event::kCountRemoved;
    }
    if (entry == CountJournal::Entry::kNone && !journal.Record(line, count, CountJournal::Entry::kAbout) &&
        !unjournaled) {
        unjournaled = true;
        events.Note(Event::kNotJournaled, 0, &journal.Path());
    }
    const win::DWORD lowered = count - 1;
    if (win::RegSetValueExW(shared, path.c_str(), 0, win::REG_DWORD, reinterpret_cast<const win::BYTE*>(&lowered),
                            sizeof(lowered)) == win::ERROR_SUCCESS) {
        journal.Record(line, count, CountJournal::Entry::kLowered);
    }
    return Event::kCountLowered;
}

}  // namespace

void BuildRemovalList(LogReader& log, bool all_users, RemovalList& list, CountJournal& journal, EventSink& events) {
    UniqueKey shared;
    if (all_users) {
        // The machine's counts are never created by an uninstall.
        OpenKey(win::HKEY_LOCAL_MACHINE, kSharedDllsKey, win::KEY_READ | win::KEY_WRITE, shared);
    } else {
        win::HKEY created = nullptr;
        if (win::RegCreateKeyW(win::HKEY_CURRENT_USER, kSharedDllsKey, &created) == win::ERROR_SUCCESS) {
            shared.Reset(created);
        }
    }

    // A key without values answers every query with "not found": then no file needs one.
    // Once as many files were queried as the key holds values, reading its names once costs
    // less than querying every further file; the files whose names it cannot hold are
    // then known to have no count without a query.
    win::DWORD values = 0;
    win::DWORD longest = 0;
    bool known =
        shared.IsValid() && win::RegQueryInfoKeyW(shared.Get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                  &values, &longest, nullptr, nullptr, nullptr) == win::ERROR_SUCCESS;
    const bool no_counts = !shared.IsValid() || (known && values == 0);
    win::DWORD seen = 0;  // files looked at so far
    bool unjournaled = false;  // told once that the counts go unprotected
    Text filter;
    std::uint32_t line = 0;
    while (NextUsableEntry(log, events, line)) {
        const Text& path = log.current_line;
        bool query = !no_counts;
        if (query && known && seen == values) known = ReadNameFilter(shared.Get(), longest, filter);
        if (query && known && !filter.empty()) {
            const std::uint32_t bit = CaseBlindHash(path) % kFilterBits;
            query = (filter[bit / 16] >> (bit % 16)) & 1U;
        }
        ++seen;
        win::DWORD count = 0;  // zeroed: a shorter value fills only part of it
        win::DWORD size = sizeof(count);
        win::DWORD type = 0;
        Event what = Event::kNoCount;
        if (query && win::RegQueryValueExW(shared.Get(), path.c_str(), nullptr, &type,
                                           reinterpret_cast<win::BYTE*>(&count), &size) == win::ERROR_SUCCESS) {
            what = LowerCount(shared.Get(), path, line, count, journal, events, unjournaled);
        }
        events.Note(what, line, &path, count);
        if (what == Event::kNoCount || what == Event::kCountRemoved) AddToRemovalList(list, path, line);
    }
}

}  // namespace dismora
