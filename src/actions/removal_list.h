// The files that are to go, in the order the file section lists them.
#pragma once

#include "environment/text.h"

namespace dismora {

class CountJournal;
class EventSink;
class LogReader;

struct TDismoraFile {
    Text Path;
    TDismoraFile* Next = nullptr;
    std::uint32_t Line = 0;  // of the file section, for the record
};

class RemovalList {
public:
    RemovalList() = default;
    RemovalList(const RemovalList&) = delete;
    RemovalList& operator=(const RemovalList&) = delete;
    ~RemovalList();

    [[nodiscard]] const TDismoraFile* Head() const { return head_; }
    [[nodiscard]] std::size_t Size() const { return size_; }
    // How many times the folder changes along the list: about the folders the files leave.
    [[nodiscard]] std::size_t Folders() const { return folders_; }
    void Append(const Text& path, std::uint32_t line = 0);

private:
    TDismoraFile* head_ = nullptr;
    TDismoraFile* tail_ = nullptr;
    std::size_t size_ = 0;
    std::size_t folders_ = 0;
};

void AddToRemovalList(RemovalList& list, const Text& path, std::uint32_t line = 0);

// The file section: lowers each listed file's shared count and lists the files whose count
// reached zero or that have none. all_users picks the machine's counts over the user's.
// A count of 2 or more is recorded in the journal before it is lowered and after; one that
// an earlier run lowered stays, and one it was about to lower is lowered only while it still
// reads the same.
void BuildRemovalList(LogReader& log, bool all_users, RemovalList& list, CountJournal& journal, EventSink& events);

}  // namespace dismora
