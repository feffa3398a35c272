// What an interrupted run of a log had begun to lower. Before a shared count of 2 or more
// is lowered, the entry's line number and the count read are written through to a file
// beside the log, and once it is lowered, that it was; a later run of the same log lowers
// no count a run lowered, and a count that was about to be lowered only while it still
// reads the same. A journal of another log (another file, or the same path written anew)
// counts for nothing, and a file that is no journal of this log is never touched. The
// format is the program's own.
#pragma once

#include <cstdint>

#include "environment/text.h"
#include "platform/unique_handle.h"

namespace dismora {

// The journal's place: beside the log as the file system names it, ".journal" added.
Text JournalPath(const Text& log_name);

// True when the file at path is a journal of the log beside it: its tag, and that log's
// name in it; name is then its own, as the file system gives it. Only such a file may be
// deleted for a log that is gone.
bool IsJournalOfItsLog(const Text& path, Text& name);

class CountJournal {
public:
    enum class Entry { kNone, kAbout, kLowered };

    // Reads the journal when it belongs to the log: the open log file, named log_name.
    void Open(const Text& log_name, win::HANDLE log_file);
    // What an earlier run wrote of the line's count: nothing, about to lower it from count,
    // or lowered it from count.
    [[nodiscard]] Entry Recorded(std::uint32_t line, win::DWORD& count) const;
    // Writes through that the line's count is about to be lowered from count, or was. False
    // when the journal could not be written: the run goes on without it.
    bool Record(std::uint32_t line, win::DWORD count, Entry what);
    void Close() { file_.Reset(); }
    [[nodiscard]] const Text& Path() const { return path_; }
    // The file at Path() is this log's journal (read or written by this run): it may go.
    [[nodiscard]] bool IsOwn() const { return valid_; }

private:
    Text path_;
    Text header_;    // the tag, the log's identity and its name, as written
    Text records_;   // as read: line, count and check, two units each
    UniqueFileHandle file_;  // open for appending once written to
    bool valid_ = false;     // the file on disk holds this log's journal
    bool foreign_ = false;   // another file stands at the journal's place
    win::DWORD tail_ = 0;    // bytes of a record cut short at the end, to be passed over
};

}  // namespace dismora
