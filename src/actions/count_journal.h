// What an interrupted run of a log had begun to lower. Before a shared count of 2 or more
// is lowered, the entry's line number and the count read are written through to a file
// beside the log; a later run of the same log lowers that count only while it still reads
// the same. A journal of another log (another file, or the same path written anew)
// counts for nothing. The format is the program's own.
#pragma once

#include <cstdint>

#include "environment/text.h"
#include "platform/unique_handle.h"

namespace dismora {

// The journal of a log: beside it, its name with ".journal" added.
Text JournalPath(const Text& log_path);

class CountJournal {
public:
    // Reads the journal when it belongs to the log (the open log file).
    void Open(const Text& path, win::HANDLE log_file);
    // The count the line's entry was about to lower in an earlier run; 0 when none.
    [[nodiscard]] win::DWORD Recorded(std::uint64_t line) const;
    // Writes through that the line's count is about to be lowered from count. A journal
    // that cannot be written changes nothing else.
    void Record(std::uint64_t line, win::DWORD count);
    void Close() { file_.Reset(); }
    [[nodiscard]] const Text& Path() const { return path_; }

private:
    static constexpr std::size_t kHeaderWords = 8;
    Text path_;
    win::DWORD header_[kHeaderWords] = {};  // a tag and the log's identity
    Text records_;                          // line and count, two units each, as read
    UniqueFileHandle file_;                 // open for appending once written to
    bool valid_ = false;                    // the file on disk holds this log's journal
};

}  // namespace dismora
