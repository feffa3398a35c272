#include "driver/progress_meter.h"

#include "driver/progress_window.h"

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

void ReleaseProgress(TProgressShared* shared) {
    if (shared != nullptr && shared->owners.fetch_sub(1) == 1) delete shared;
}

void ProgressMeter::Start(const LogReader& log, const Text& caption, const Text& comctl32) {
    log_ = &log;
    shared_ = new TProgressShared;
    shared_->caption = caption;
    shared_->comctl32 = comctl32;
    win::BY_HANDLE_FILE_INFORMATION info = {};
    if (win::GetFileInformationByHandle(log.File(), &info)) size_ = info.nFileSizeHigh != 0 ? ~0U : info.nFileSizeLow;
    started_at_ = published_at_ = win::GetTickCount();
}

void ProgressMeter::Entered(Stage stage, std::uint32_t files) {
    if (shared_ == nullptr) return;
    stage_ = stage;
    if (stage == Stage::kRegistry) files_ = files;
    Publish();
}

void ProgressMeter::Heard(Event what) {
    if (shared_ == nullptr) return;
    // While the list is made, every event is a file looked at.
    if (stage_ == Stage::kListing) {
        ++files_;
    } else if (stage_ >= Stage::kDeleting) {
        deleted_ += EventWeight(what);
    } else {
        // Work that no count foretold (a server's registration starts a program) weighs as
        // it comes: the bar moves on and its end moves with it.
        extra_ += EventWeight(what);
    }
    if (win::GetTickCount() - published_at_ >= kUpdateMs) Publish();
}

void ProgressMeter::Publish() {
    const win::DWORD now = win::GetTickCount();
    published_at_ = now;
    // The log's bytes read, then the listed files dealt with, in sixteenths of a byte's
    // weight: the sum stays within the bar's int for any log there can be.
    auto read = static_cast<std::uint32_t>(log_->BytePosition() >> 4);
    if (stage_ >= Stage::kDeleting || read > size_ >> 4) read = size_ >> 4;
    std::uint32_t sum = (size_ >> 4) + kFileWeight * (files_ + extra_);
    std::uint32_t part = read + kFileWeight * ((deleted_ < files_ ? deleted_ : files_) + extra_);
    if (sum == 0) sum = part = 1;
    shared_->total.store(sum, std::memory_order_relaxed);
    shared_->done.store(part, std::memory_order_relaxed);
    shared_->stage.store(stage_, std::memory_order_relaxed);
    if (!tried_ && now - started_at_ > kShowAfterMs) {
        tried_ = true;
        // The thread owns the shared part as well from here, unless it never starts.
        shared_->owners.fetch_add(1);
        thread_.Reset(win::CreateThread(nullptr, 0, ShowProgressWindow, shared_, 0, nullptr));
        if (!thread_.IsValid()) ReleaseProgress(shared_);
    }
}

void ProgressMeter::Stop() {
    if (shared_ == nullptr) return;
    // The work has ended: the bar is full however the folders came out.
    shared_->done.store(shared_->total.load());
    shared_->stopping.store(true);
    if (thread_.IsValid()) win::WaitForSingleObject(thread_.Get(), kCloseWaitMs);
    thread_.Reset();
    ReleaseProgress(shared_);
    shared_ = nullptr;
    log_ = nullptr;
}

}  // namespace dismora
