// How far a run is, for its progress window: the work writes it as it goes, through the
// event sink, and the window's thread reads it. The work never waits for that thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "actions/event_sink.h"
#include "log/log_reader.h"
#include "platform/unique_handle.h"
#include "platform/win_api.h"

namespace dismora {

// What the run is doing, in the order it does it.
enum class Stage : unsigned char { kListing, kRegistry, kAssociations, kComponents, kDeleting, kFinishing };

class ProgressMeter {
public:
    // Starts the clock: once the work has taken longer than a second, window(context) is
    // started on a thread of its own. Not started, the meter does nothing.
    void Start(const LogReader& log, win::LPTHREAD_START_ROUTINE window, void* context);
    // The run enters a stage; with the registry's, files is the number of listed files.
    void Enter(Stage stage, std::uint32_t files = 0);
    // One event of the run, from the sink.
    void Tick(Event what);
    // Tells the window to close and waits for its thread a bounded moment, never for a
    // thread that stopped answering.
    void Stop();
    [[nodiscard]] bool WindowStarted() const { return thread_.IsValid(); }

    // Read by the window's thread: done out of total, and the stage.
    std::atomic<std::uint32_t> done{0};
    std::atomic<std::uint32_t> total{1};
    std::atomic<Stage> stage{Stage::kListing};
    std::atomic<bool> stopping{false};

private:
    void Publish();

    const LogReader* log_ = nullptr;
    win::LPTHREAD_START_ROUTINE window_ = nullptr;
    void* context_ = nullptr;
    UniqueProcessHandle thread_;
    win::DWORD started_at_ = 0;
    win::DWORD published_at_ = 0;
    std::uint32_t size_ = 0;     // the log's bytes
    std::uint32_t files_ = 0;    // listed, or looked at so far while listing
    std::uint32_t deleted_ = 0;  // listed files dealt with
    Stage stage_ = Stage::kListing;
    bool tried_ = false;  // the window's thread was asked for
};

}  // namespace dismora
