#include "actions/progress_meter.h"

namespace dismora {

namespace {

constexpr win::DWORD kShowAfterMs = 1000;
constexpr win::DWORD kUpdateMs = 50;
// Long enough for a window that answers to close; a window thread that stopped answering
// costs no more than this.
constexpr win::DWORD kCloseWaitMs = 500;
// A listed file's deletion weighs as much as reading 128 bytes of the log (in sixteenths):
// about as long as a registry line or two takes.
constexpr std::uint32_t kFileWeight = 8;

}  // namespace

void ProgressMeter::Start(const LogReader& log, win::LPTHREAD_START_ROUTINE window, void* context) {
    log_ = &log;
    window_ = window;
    context_ = context;
    win::BY_HANDLE_FILE_INFORMATION info = {};
    if (win::GetFileInformationByHandle(log.File(), &info)) size_ = info.nFileSizeHigh != 0 ? ~0U : info.nFileSizeLow;
    started_at_ = published_at_ = win::GetTickCount();
}

void ProgressMeter::Enter(Stage stage_entered, std::uint32_t files) {
    if (log_ == nullptr) return;
    stage_ = stage_entered;
    if (stage_entered == Stage::kRegistry) files_ = files;
    Publish();
}

void ProgressMeter::Tick(Event what) {
    if (stage_ == Stage::kListing) ++files_;
    // One of these for each listed file; folders come on top.
    if (stage_ == Stage::kDeleting && what >= Event::kFile && what <= Event::kNotScheduled) ++deleted_;
    if (win::GetTickCount() - published_at_ >= kUpdateMs) Publish();
}

void ProgressMeter::Publish() {
    const win::DWORD now = win::GetTickCount();
    published_at_ = now;
    // The log's bytes read, then the listed files dealt with, in sixteenths of a byte's
    // weight: the sum stays within the bar's int for any log there can be.
    auto read = static_cast<std::uint32_t>(log_->BytePosition() >> 4);
    if (stage_ >= Stage::kDeleting || read > size_ >> 4) read = size_ >> 4;
    std::uint32_t sum = (size_ >> 4) + kFileWeight * files_;
    std::uint32_t part = read + kFileWeight * (deleted_ < files_ ? deleted_ : files_);
    if (sum == 0) sum = part = 1;
    total.store(sum, std::memory_order_relaxed);
    done.store(part, std::memory_order_relaxed);
    stage.store(stage_, std::memory_order_relaxed);
    if (!tried_ && now - started_at_ > kShowAfterMs) {
        tried_ = true;
        thread_.Reset(win::CreateThread(nullptr, 0, window_, context_, 0, nullptr));
    }
}

void ProgressMeter::Stop() {
    stopping.store(true);
    if (!thread_.IsValid()) return;
    win::WaitForSingleObject(thread_.Get(), kCloseWaitMs);
    thread_.Reset();
}

}  // namespace dismora
