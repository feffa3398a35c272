// The run's events, told to the record an administrator asked for with /log= and to whoever
// listens while the run goes on. Without a record and a listener an event costs two tests.
#pragma once

#include <cstdint>
#include <string>

#include "actions/events.h"
#include "environment/text.h"
#include "platform/unique_handle.h"

namespace dismora {

class LogReader;

// The record: a UTF-8 text file appended to, written out now and then rather than line by
// line, never a reason for the uninstall to fail.
class EventSink {
public:
    // Appends to the file at path, never following a link planted there. Without an
    // identity the file is created when missing; with one (a copy of the program taking
    // over) only the very file that identity names is opened. False when not opened.
    // A record that is the file other is open on (the log) is refused before a byte is written.
    bool Open(const Text& path, std::uint32_t identity, win::HANDLE other = nullptr);
    // What names the open file, for the copy: never 0.
    [[nodiscard]] std::uint32_t Identity() const { return identity_; }
    [[nodiscard]] bool IsOpen() const { return file_.IsValid(); }

    // The event, from the log line given (0: not from the log). The subject is shown up to
    // a TAB, so that a registry line shows its root and key.
    void Note(Event what, std::uint32_t line, const Text* subject = nullptr, std::uint32_t number = 0,
              const char16_t* second = u"");
    // A line of its own: a message the run shows, written out before the person sees it.
    void Line(TextView text);
    // The run enters a stage: the lines of the one before are written out. With the
    // registry's, files is the number of listed files.
    void Enter(Stage stage, std::uint32_t files = 0);
    // Whether the events that follow count in the summary: the run's own housekeeping (the
    // log and its journal) is told line by line but counted nowhere.
    void Counting(bool on) { counting_ = on; }
    // How many events of each kind, in one line, and the outcome.
    void Summary(win::DWORD outcome, bool waited);
    // Writes out what is left and closes the record; events still reach the listener.
    void Close();

    // The listener hears every event and stage until Listen is called with null. It has
    // Heard(Event) and Entered(Stage, files).
    template <typename Listener>
    void Listen(Listener* listener) {
        listener_ = listener;
        heard_ = [](void* to, Event what) { static_cast<Listener*>(to)->Heard(what); };
        entered_ = [](void* to, Stage stage, std::uint32_t files) { static_cast<Listener*>(to)->Entered(stage, files); };
    }
    void Listen(std::nullptr_t) { listener_ = nullptr; }

private:
    void Append(TextView text);
    void AppendDecimal(std::uint32_t value);
    void EndLine(bool at_once);
    void WriteOut();

    UniqueFileHandle file_;
    void* listener_ = nullptr;
    void (*heard_)(void* listener, Event what) = nullptr;
    void (*entered_)(void* listener, Stage stage, std::uint32_t files) = nullptr;
    Text buffer_;  // not yet written; UTF-8 only on its way out, to keep one string type
    win::DWORD written_at_ = 0;
    std::uint32_t identity_ = 0;
    bool counting_ = true;
    std::uint32_t tallies_[16] = {};  // the summary's counters
    // Where each event's words start: looked up once, not walked to for every line.
    std::uint16_t words_at_[static_cast<int>(Event::kCount)] = {};
};

// One step of the loop over a section of paths or keys: reads the next entry into
// log.current_line and its line number into line, telling and passing over each one that
// holds a NUL (Windows would act on a shorter name than the log's). False at the section's end.
bool NextUsableEntry(LogReader& log, EventSink& events, std::uint32_t& line);

}  // namespace dismora
