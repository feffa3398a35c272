// How far a run is, for its progress window: the meter listens to the run's events and
// publishes what the window's thread reads. The work never waits for that thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "actions/events.h"
#include "environment/text.h"
#include "log/log_reader.h"
#include "platform/unique_handle.h"

namespace dismora {

// What the window's thread reads. The meter and the thread own it together, and whichever
// lets go last frees it: a thread that stopped answering may wake up after the run, and
// even after the meter, are gone.
struct TProgressShared {
    std::atomic<std::uint32_t> done{0};
    std::atomic<std::uint32_t> total{1};
    std::atomic<Stage> stage{Stage::kListing};
    std::atomic<bool> stopping{false};
    std::atomic<int> owners{1};
    Text caption;
    Text comctl32;  // its full path in the System folder
};

// Lets go of the shared part; the last owner frees it.
void ReleaseProgress(TProgressShared* shared);

class ProgressMeter {
public:
    ProgressMeter() = default;
    ProgressMeter(const ProgressMeter&) = delete;
    ProgressMeter& operator=(const ProgressMeter&) = delete;
    ~ProgressMeter() { Stop(); }

    // Starts the clock: once the work has taken longer than a second, the window is shown
    // on a thread of its own, with the caption given. Not started, the meter does nothing.
    void Start(const LogReader& log, const Text& caption, const Text& comctl32);
    // From the run's event sink: an event, and a stage entered (with the registry's, the
    // number of listed files and of the folders they lie in).
    void Heard(Event what);
    void Entered(Stage stage, std::uint32_t files);
    // Tells the window to close and waits for its thread a bounded moment, never for a
    // thread that stopped answering; the meter lets go of what the thread reads.
    void Stop();

    // What the window reads, while the meter runs.
    [[nodiscard]] const TProgressShared* Published() const { return shared_; }

private:
    void Publish();

    const LogReader* log_ = nullptr;
    TProgressShared* shared_ = nullptr;
    UniqueProcessHandle thread_;
    win::DWORD started_at_ = 0;
    win::DWORD published_at_ = 0;
    std::uint32_t size_ = 0;     // the log's bytes
    std::uint32_t files_ = 0;    // listed, or looked at so far while listing
    std::uint32_t deleted_ = 0;  // listed files dealt with and folders removed
    std::uint32_t extra_ = 0;    // what the sections weighed beyond their lines
    Stage stage_ = Stage::kListing;
    bool tried_ = false;  // the window's thread was asked for
};

}  // namespace dismora
