// What a run did, one action at a time: every action reports through the run's event
// sink, and the sink writes the record an administrator asked for with /log=. Without a
// record an event costs one test.
#pragma once

#include <cstdint>
#include <string>

#include "environment/text.h"
#include "platform/unique_handle.h"

namespace dismora {

class ProgressMeter;

// One kind of line each. The words are the program's own and dismora-check's: a record
// can be read against the check's plan line by line.
enum class Event : unsigned char {
    kStart,              // subject: the time; second: the command line
    kLogPath,            // subject: the deployment log
    kProduct,            // subject: its name; number: the format version; second: for whom
    kElevated,
    kNotElevated,
    kPreUninstall,       // subject: the command; number: its exit code
    kNotStarted,         // subject: a program; number: the error
    kStarting,           // subject: the copy (or the program itself), started plainly
    kStartingElevated,
    kCountLowered,       // number: the count read
    kCountRemoved,
    kNoCount,
    kCountLeft,          // an earlier run lowered it already
    kHoldsNul,
    kValue,              // subject: the registry line; second: the value; number: the result
    kKey,
    kKeyEmptied,         // right under its root: the subkeys go, the key stays
    kUnknownRoot,
    kSharedKey,
    kRestored,           // subject: the file type; second: what
    kLeft,               // changed since the installation
    kDeleted,            // subject: the file type; second: what; number: the result
    kTypePassedOver,     // subject: the extension
    kVerbPassedOver,     // subject: the verb
    kRegsvr32,           // subject: the command; number: its exit code
    kRegsvr32Running,
    kTypeLibrary,        // number: the result
    kNotListed,
    kFile,               // number: the result
    kScheduled,
    kNotScheduled,       // number: the error
    kFolder,
    kOutcome,            // number: the exit code
    kOutcomeNotWaited,   // number: the exit code /wait would give
    kCount
};

// The words of an event's line, its placeholders included: dismora-check's plan uses the
// same ones for lines passed over.
const char* EventWords(Event what);

// The record: a UTF-8 text file appended to, written out now and then rather than line by
// line, never a reason for the uninstall to fail.
class EventSink {
public:
    // Appends to the file at path, never following a link planted there. Without an
    // identity the file is created when missing; with one (a copy of the program taking
    // over) only the very file that identity names is opened. False when not opened.
    bool Open(const Text& path, std::uint32_t identity);
    // What names the open file, for the copy: never 0.
    [[nodiscard]] std::uint32_t Identity() const { return identity_; }
    [[nodiscard]] bool IsOpen() const { return file_.IsValid(); }

    // The event, from the log line given (0: not from the log). The subject is shown up to
    // a TAB, so that a registry line shows its root and key.
    void Note(Event what, std::uint32_t line, const Text* subject = nullptr, std::uint32_t number = 0,
              const char16_t* second = u"");
    // A line of its own (a message the run shows).
    void Line(TextView text);
    // How many events of each kind, in one line, and the outcome; once.
    void Summary(win::DWORD outcome, bool waited);
    // Writes out what is buffered.
    void Flush();
    void Close();
    // Every event goes to the meter too, while one is given (null: none).
    void Watch(ProgressMeter* meter) { meter_ = meter; }

private:
    void Append(TextView text);
    void EndLine();

    UniqueFileHandle file_;
    ProgressMeter* meter_ = nullptr;
    Text buffer_;  // not yet written; UTF-8 only on its way out, to keep one string type
    win::DWORD written_at_ = 0;
    std::uint32_t identity_ = 0;
    bool summarized_ = false;
    std::uint32_t tallies_[16] = {};  // the summary's counters
    // Where each event's words start: looked up once, not walked to for every line.
    std::uint16_t words_at_[static_cast<int>(Event::kCount)] = {};
};

}  // namespace dismora
