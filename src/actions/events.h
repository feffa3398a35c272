// What a run can tell, one kind of event at a time: every action reports each thing it
// did, and whoever listens (the record, the progress of a long run) hears it.
#pragma once

#include <cstdint>

namespace dismora {

// Each event, in one row: its name; the summary counter it counts towards when it went
// well (a: none, then the counters in the summary's order); what it weighs in a run's
// progress (a listed file dealt with, or a folder removed: 1; a server's registration, which
// starts a program: 15); whether its line is written out at once, because
// the run may wait long after it (for a person, a started program or a server that hangs);
// and the words of its line. The words are the program's own and dismora-check's: a record
// can be read against the check's plan line by line. In the words %s stands for the subject
// (up to a TAB), %t for the second text, %n for the number, %p for the number less one, %r
// for a result: deleted, not found, or the error.
// NOLINTNEXTLINE(cppcoreguidelines-macro-usage): one table for the enumeration, the traits and the words
#define DISMORA_EVENTS(X) \
    X(kStart, "a", 0, 0, "Dismora " DISMORA_VERSION ", %s, command line: %t")                                            \
    X(kLogPath, "a", 0, 0, "log: %s")                                                                \
    X(kProduct, "a", 0, 0, "product: %s, format version %n, for %t")                                \
    X(kElevated, "a", 0, 1, "account %s, elevated")                                                  \
    X(kNotElevated, "a", 0, 1, "account %s, not elevated")                                           \
    X(kPreUninstall, "a", 0, 0, "%s: exit code %n")                                                  \
    X(kNotStarted, "a", 0, 1, "%s: not started, error %n")                                           \
    X(kStarting, "a", 0, 1, "starting %s")                                                           \
    X(kStartingElevated, "a", 0, 1, "starting %s elevated")                                          \
    X(kCountLowered, "g", 0, 0, "file %s: shared count %n lowered to %p")                            \
    X(kCountRemoved, "a", 0, 0, "file %s: shared count %n removed")                                  \
    X(kNoCount, "a", 0, 0, "file %s: no shared count")                                               \
    X(kCountLeft, "a", 0, 0, "file %s: shared count %n, lowered by an earlier run")                  \
    X(kNotJournaled, "a", 0, 0, "shared counts: not journaled, %s could not be written")              \
    X(kHoldsNul, "i", 0, 0, "passed over: it holds U+0000")                                          \
    X(kValue, "h", 0, 0, "value %t of %s: %r")                                                       \
    X(kKey, "h", 0, 0, "key %s: %r")                                                                 \
    X(kKeyEmptied, "h", 0, 0, "key %s: emptied, it stays")                                           \
    X(kUnknownRoot, "i", 0, 0, "passed over: unknown root")                                          \
    X(kSharedKey, "i", 0, 0, "passed over: a whole key that the installation does not own alone")   \
    X(kRestored, "j", 1, 0, "%t of %s: restored")                                                    \
    X(kLeft, "k", 1, 0, "%t of %s: left, changed since the installation")                           \
    X(kDeleted, "j", 1, 0, "%t of %s: %r")                                                           \
    X(kTypePassedOver, "i", 0, 0, "extension %s: passed over")                                       \
    X(kVerbPassedOver, "i", 0, 0, "verb %s: passed over, it names no key below shell")               \
    X(kRegsvr32, "l", 15, 1, "%s: exit code %n")                                                      \
    X(kRegsvr32Running, "d", 15, 1, "%s: still running at 10 s")                                     \
    X(kTypeLibrary, "l", 2, 1, "registration of type library %s: %r")                               \
    X(kNotListed, "i", 0, 1, "component %s: not listed")                                             \
    X(kFile, "b", 1, 0, "file %s: %r")                                                               \
    X(kScheduled, "c", 1, 0, "file %s: scheduled for deletion at restart")                           \
    X(kNotScheduled, "d", 1, 0, "file %s: not scheduled, error %n")                                  \
    X(kBehindLink, "i", 1, 0, "file %s: passed over, a link on its path may have been planted")      \
    X(kMoved, "b", 1, 0, "file %s: in use, moved to %t")                                            \
    X(kMovedScheduled, "c", 1, 0, "file %s: in use, moved to %t, deleted at restart")                \
    X(kClosed, "a", 0, 1, "application %s (process %n): closed")                                   \
    X(kNotClosed, "a", 0, 1, "application %s (process %n): not closed, its files are in use")     \
    X(kFolder, "f", 1, 0, "folder %s: removed")                                                      \
    X(kUnfinished, "a", 0, 1, "not finished, the log stays; to finish: %s")                       \
    X(kOutcome, "a", 0, 0, "exit code %n")                                                           \
    X(kOutcomeNotWaited, "a", 0, 0, "exit code 0 (with /wait: %n)")

#define DISMORA_EVENT_NAME(name, tally, weight, at_once, words) name,  // NOLINT(cppcoreguidelines-macro-usage)
enum class Event : unsigned char { DISMORA_EVENTS(DISMORA_EVENT_NAME) kCount };
#undef DISMORA_EVENT_NAME

// What the run is doing, in the order it does it.
enum class Stage : unsigned char { kListing, kRegistry, kAssociations, kComponents, kDeleting, kFolders, kFinishing };

namespace event_traits {
#define DISMORA_EVENT_TRAITS(name, tally, weight, at_once, words) (weight) | ((at_once) << 4),  // NOLINT(cppcoreguidelines-macro-usage)
inline constexpr unsigned char kTraits[] = {DISMORA_EVENTS(DISMORA_EVENT_TRAITS)};
#undef DISMORA_EVENT_TRAITS
}  // namespace event_traits

// What the event weighs in the progress of a run.
constexpr unsigned EventWeight(Event what) {
    return event_traits::kTraits[static_cast<unsigned>(what)] & 15U;
}

// Whether the event's line is written out at once.
constexpr bool WrittenOutAtOnce(Event what) {
    return (event_traits::kTraits[static_cast<unsigned>(what)] & 16U) != 0;
}

// The words of an event's line, its placeholders included.
const char* EventWords(Event what);

}  // namespace dismora
