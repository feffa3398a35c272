// The files that are to go, in the order the file section lists them.
#pragma once

#include <deque>

#include "environment/text.h"

namespace dismora {

class LogReader;

struct TDismoraFile {
    Text Path;
    TDismoraFile* Next = nullptr;
};

class RemovalList {
public:
    RemovalList() = default;
    RemovalList(const RemovalList&) = delete;
    RemovalList& operator=(const RemovalList&) = delete;

    [[nodiscard]] const TDismoraFile* Head() const { return head_; }
    [[nodiscard]] std::size_t Size() const { return nodes_.size(); }
    void Append(Text path);

private:
    std::deque<TDismoraFile> nodes_;  // stable addresses; nodes live until the process ends
    TDismoraFile* head_ = nullptr;
    TDismoraFile* tail_ = nullptr;
};

void AddToRemovalList(RemovalList& list, Text path);

// The file section: lowers each listed file's shared count and lists the files whose count
// reached zero or that have none. all_users picks the machine's counts over the user's.
void BuildRemovalList(LogReader& log, bool all_users, RemovalList& list);

}  // namespace dismora
