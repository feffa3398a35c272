// The component section: COM servers and type libraries among the files that are to go.
#pragma once

#include <cstdint>
#include <memory>

#include "environment/looked_up.h"
#include "environment/text.h"

namespace dismora {

class EventSink;
class LogReader;
class RemovalList;
struct TDismoraFile;

// Finds the first node of the removal list whose path equals a text in the user's
// locale ignoring case, as a walk from the head would, without walking the list.
class RemovalIndex {
public:
    explicit RemovalIndex(const RemovalList& list);
    [[nodiscard]] const TDismoraFile* Find(TextView path) const;

private:
    struct Entry {
        std::uint64_t hash;
        std::size_t order;
        const TDismoraFile* node;
    };
    // Sorted by hash, then list order. A plain array: its size is known before it is filled.
    std::unique_ptr<Entry[]> entries_;
    std::size_t size_ = 0;
};

enum class ComponentKind { kNone, kServer, kTypeLibrary };

// ".dll" and ".ocx" are servers, ".tlb" type libraries, ignoring the case of ASCII letters.
ComponentKind ClassifyComponent(TextView path);

// Hash of the text's sort key: texts that compare equal ignoring case hash alike.
std::uint64_t SortKeyHash(TextView text);

// Walks the component section, unregistering each listed component that is about to be deleted.
void UnregisterComponents(LogReader& log, const RemovalList& list, const Text& system_folder,
                          TLookedUpFunctions& looked_up, EventSink& events);

// Runs "regsvr32 /u /s" on the file from the System folder, waiting at most 10 s; tells the
// events how it ended.
void UnregisterServer(const Text& path, const Text& system_folder, EventSink& events, std::uint32_t line);

// Removes the registration of the type library in the file: what UnRegisterTypeLib or
// LoadTypeLib answered, or ERROR_PROC_NOT_FOUND without the function.
win::DWORD UnregisterTypeLibrary(TLookedUpFunctions& looked_up, const Text& path);

}  // namespace dismora
