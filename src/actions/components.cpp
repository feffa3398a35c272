#include "actions/components.h"

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "actions/event_sink.h"
#include "actions/removal_list.h"
#include "log/log_reader.h"
#include "platform/unique_handle.h"

namespace dismora {

namespace {

constexpr win::DWORD kServerWaitMs = 10000;

}  // namespace

ComponentKind ClassifyComponent(TextView path) {
    // Each extension is four characters with a dot first: the path's extension is one of
    // them exactly when the path ends with it, and no text of its own is needed.
    using namespace std::string_view_literals;
    const TextView extension = path.size() < 4 ? TextView() : path.substr(path.size() - 4);
    if (EqualsAsciiNoCase(extension, u".dll"sv) || EqualsAsciiNoCase(extension, u".ocx"sv)) {
        return ComponentKind::kServer;
    }
    if (EqualsAsciiNoCase(extension, u".tlb"sv)) return ComponentKind::kTypeLibrary;
    return ComponentKind::kNone;
}

std::uint64_t SortKeyHash(TextView text) {
    std::uint64_t hash = 14695981039346656037ull;
    auto mix = [&hash](const unsigned char* bytes, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            hash ^= bytes[i];
            hash *= 1099511628211ull;
        }
    };
    if (text.empty()) return hash;
    const int length = static_cast<int>(text.size());
    int bytes = win::LCMapStringW(win::LOCALE_USER_DEFAULT, win::LCMAP_SORTKEY | win::NORM_IGNORECASE, text.data(),
                                  length, nullptr, 0);
    if (bytes <= 0) return hash;
    // A sort key is a byte string, returned through the wide-character parameter.
    Text key;
    key.resize(static_cast<std::size_t>(bytes) / 2 + 1);
    bytes = win::LCMapStringW(win::LOCALE_USER_DEFAULT, win::LCMAP_SORTKEY | win::NORM_IGNORECASE, text.data(), length,
                              key.data(), bytes);
    if (bytes > 0) mix(reinterpret_cast<const unsigned char*>(key.data()), static_cast<std::size_t>(bytes));
    return hash;
}

RemovalIndex::RemovalIndex(const RemovalList& list) : entries_(std::make_unique_for_overwrite<Entry[]>(list.Size())) {
    for (const TDismoraFile* node = list.Head(); node != nullptr; node = node->Next) {
        entries_[size_] = Entry{SortKeyHash(node->Path), size_, node};
        ++size_;
    }
    // qsort rather than std::sort: one shared routine instead of a template instance.
    if (size_ < 2) return;
    std::qsort(entries_.get(), size_, sizeof(Entry), [](const void* left, const void* right) {
        const auto* a = static_cast<const Entry*>(left);
        const auto* b = static_cast<const Entry*>(right);
        if (a->hash != b->hash) return a->hash < b->hash ? -1 : 1;
        return a->order < b->order ? -1 : (a->order > b->order ? 1 : 0);
    });
}

const TDismoraFile* RemovalIndex::Find(TextView path) const {
    std::uint64_t hash = SortKeyHash(path);
    const Entry* end = entries_.get() + size_;
    const Entry* it = std::lower_bound(static_cast<const Entry*>(entries_.get()), end, hash,
                                       [](const Entry& entry, std::uint64_t value) { return entry.hash < value; });
    // Within one hash, entries stand in list order, so the first equal one is the walk's answer.
    for (; it != end && it->hash == hash; ++it) {
        if (CompareLocaleNoCase(it->node->Path, path) == 0) return it->node;
    }
    return nullptr;
}

void UnregisterServer(const Text& path, const Text& system_folder, EventSink& events, std::uint32_t line) {
    Text command = Concat({u"regsvr32 /u /s \"", path, u"\""});
    // Named by its full path: the program runs from a folder that anyone may write to.
    Text program = Concat({system_folder, u"regsvr32.exe"});
    win::STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    win::PROCESS_INFORMATION process = {};
    // One line tells how it ended, or that it did not start; the handles close after it.
    Event what = Event::kNotStarted;
    win::DWORD number = 0;  // the error, or the exit code
    UniqueProcessHandle process_handle;
    UniqueProcessHandle thread_handle;
    if (!win::CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, win::FALSE, 0, nullptr, nullptr,
                             &startup, &process)) {
        number = win::GetLastError();
    } else {
        process_handle.Reset(process.hProcess);
        thread_handle.Reset(process.hThread);
        // Left running when the time runs out.
        what = Event::kRegsvr32Running;
        if (win::WaitForSingleObject(process_handle.Get(), kServerWaitMs) == win::WAIT_OBJECT_0) {
            what = Event::kRegsvr32;
            // Asked only for the record: without one the run makes the calls it always made.
            if (events.IsOpen()) win::GetExitCodeProcess(process_handle.Get(), &number);
        }
    }
    events.Note(what, line, &command, number);
}

win::DWORD UnregisterTypeLibrary(TLookedUpFunctions& looked_up, const Text& path) {
    if (!looked_up.oleaut_cached) {
        // Looked up once the module is known; it is never loaded here.
        win::HMODULE oleaut = win::GetModuleHandleW(u"OLEAUT32.DLL");
        if (oleaut != nullptr) {
            looked_up.oleaut_cached = true;
            looked_up.unregister_type_lib = reinterpret_cast<win::PFN_UnRegisterTypeLib>(
                reinterpret_cast<void*>(win::GetProcAddress(oleaut, "UnRegisterTypeLib")));
        }
    }
    if (looked_up.unregister_type_lib == nullptr) return static_cast<win::DWORD>(win::ERROR_PROC_NOT_FOUND);
    win::ITypeLib* library = nullptr;
    win::HRESULT result = win::LoadTypeLib(path.c_str(), &library);
    if (result != win::S_OK || library == nullptr) return static_cast<win::DWORD>(result);
    win::TLIBATTR* attributes = nullptr;
    result = win::ITypeLib_GetLibAttr(library, &attributes);
    if (result == win::S_OK && attributes != nullptr) {
        result = looked_up.unregister_type_lib(&attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum,
                                               attributes->lcid, attributes->syskind);
        win::ITypeLib_ReleaseTLibAttr(library, attributes);
    }
    win::ITypeLib_Release(library);
    return static_cast<win::DWORD>(result);
}

void UnregisterComponents(LogReader& log, const RemovalList& list, const Text& system_folder,
                          TLookedUpFunctions& looked_up, EventSink& events) {
    std::unique_ptr<RemovalIndex> index;
    std::uint32_t line = 0;
    while (NextUsableEntry(log, events, line)) {
        const Text& entry = log.current_line;
        if (!index) index = std::make_unique<RemovalIndex>(list);
        const TDismoraFile* node = index->Find(entry);
        if (node == nullptr) {
            events.Note(Event::kNotListed, line, &entry);
            continue;
        }
        // From here on the file section's spelling is used.
        switch (ClassifyComponent(node->Path)) {
            case ComponentKind::kServer:
                UnregisterServer(node->Path, system_folder, events, line);
                break;
            case ComponentKind::kTypeLibrary:
                events.Note(Event::kTypeLibrary, line, &node->Path, UnregisterTypeLibrary(looked_up, node->Path));
                break;
            case ComponentKind::kNone:
                break;
        }
    }
}

}  // namespace dismora
