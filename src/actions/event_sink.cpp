#include "actions/event_sink.h"

#include <memory>

#include "actions/progress_meter.h"

namespace dismora {

namespace {

// Written out at least this often while the run goes on, and at the points where it
// hands control to something that may take long or never come back.
constexpr win::DWORD kWriteOutMs = 250;

// One line per event, in the order of Event, each ending with a NUL. Its first letter
// says which of the summary's counters counts it when it went well (a for none, then
// kTallyWords in order); a result that is not 0 counts as not found or failed instead.
// Then %s stands for the subject, %t the second text, %n the number, %p the number less
// one, %r the result: deleted, not found, or the error.
constexpr char kWords[] =
    "aDismora %s, command line: %t\0"
    "alog: %s\0"
    "aproduct: %s, format version %n, for %t\0"
    "aelevated\0"
    "anot elevated\0"
    "a%s: exit code %n\0"
    "d%s: not started, error %n\0"
    "astarting %s\0"
    "astarting %s elevated\0"
    "gfile %s: shared count %n lowered to %p\0"
    "afile %s: shared count %n removed\0"
    "afile %s: no shared count\0"
    "afile %s: shared count %n, lowered by an earlier run\0"
    "ipassed over: it holds U+0000\0"
    "hvalue %t of %s: %r\0"
    "hkey %s: %r\0"
    "hkey %s: emptied, it stays\0"
    "ipassed over: unknown root\0"
    "ipassed over: a whole key that the installation does not own alone\0"
    "j%t of %s: restored\0"
    "k%t of %s: left, changed since the installation\0"
    "j%t of %s: %r\0"
    "iextension %s: passed over\0"
    "iverb %s: passed over, it names no key below shell\0"
    "l%s: exit code %n\0"
    "d%s: still running at 10 s\0"
    "lregistration of type library %s: %r\0"
    "icomponent %s: not listed\0"
    "bfile %s: %r\0"
    "cfile %s: scheduled for deletion at restart\0"
    "dfile %s: not scheduled, error %n\0"
    "ffolder %s: removed\0"
    "aexit code %n\0"
    "aexit code 0 (with /wait: %n)";

constexpr std::size_t CountWords(const char* words, std::size_t size) {
    std::size_t count = 1;
    for (std::size_t i = 0; i + 1 < size; ++i) count += words[i] == '\0' ? 1 : 0;
    return count;
}
static_assert(CountWords(kWords, sizeof(kWords)) == static_cast<std::size_t>(Event::kCount));

// The summary's counters from b on; c to e are also what a result that is not 0 counts as.
const char kTallyWords[] =
    "files deleted\0scheduled\0failed\0not found\0folders removed\0counts lowered\0registry deleted\0"
    "passed over\0restored\0left\0unregistered";
constexpr unsigned kTallies = 12;
constexpr unsigned kFailed = 'd' - 'a';
constexpr unsigned kNotFound = 'e' - 'a';

const char* Nth(const char* words, unsigned index) {
    while (index-- != 0) {
        while (*words++ != '\0') {
        }
    }
    return words;
}

}  // namespace

const char* EventWords(Event what) {
    return Nth(kWords, static_cast<unsigned>(what)) + 1;
}

bool EventSink::Open(const Text& path, std::uint32_t identity) {
    // The link itself is opened, never what it points to, and then refused: an elevated
    // copy must not write where a planted link leads.
    file_.Reset(win::CreateFileW(path.c_str(), win::FILE_APPEND_DATA | win::FILE_READ_ATTRIBUTES,
                                 win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, nullptr,
                                 identity != 0 ? win::OPEN_EXISTING : win::OPEN_ALWAYS,
                                 win::FILE_ATTRIBUTE_NORMAL | win::FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    win::BY_HANDLE_FILE_INFORMATION info = {};
    identity_ = 0;
    if (file_.IsValid() && win::GetFileInformationByHandle(file_.Get(), &info) &&
        (info.dwFileAttributes & (win::FILE_ATTRIBUTE_REPARSE_POINT | win::FILE_ATTRIBUTE_DIRECTORY)) == 0) {
        identity_ = (((info.dwVolumeSerialNumber * 31U + info.nFileIndexHigh) * 31U + info.nFileIndexLow) & 0x3FFFFFFFU) |
                    0x40000000U;
    }
    if (identity_ == 0 || (identity != 0 && identity != identity_)) {
        identity_ = 0;
        file_.Reset();
        return false;
    }
    for (unsigned what = 1; what < static_cast<unsigned>(Event::kCount); ++what) {
        words_at_[what] = static_cast<std::uint16_t>(Nth(kWords + words_at_[what - 1], 1) - kWords);
    }
    // A new record starts with the byte-order mark, so that any editor reads it as UTF-8.
    if (info.nFileSizeLow == 0 && info.nFileSizeHigh == 0) buffer_ += u'\uFEFF';
    written_at_ = win::GetTickCount();
    return true;
}

void EventSink::Append(TextView text) {
    // A control character from a log line or a path would break the record's lines.
    for (char16_t c : text) buffer_ += c < 0x20 ? u' ' : c;
}

void EventSink::EndLine() {
    buffer_ += u"\r\n";
    if (win::GetTickCount() - written_at_ >= kWriteOutMs) Flush();
}

void EventSink::Line(TextView text) {
    if (!file_.IsValid()) return;
    Append(text);
    EndLine();
}

void EventSink::Note(Event what, std::uint32_t line, const Text* subject, std::uint32_t number, const char16_t* second) {
    if (meter_ != nullptr) meter_->Tick(what);
    if (!file_.IsValid()) return;
    const char* at = kWords + words_at_[static_cast<int>(what)];
    auto tally = static_cast<unsigned>(*at - 'a');
    if (line != 0) {
        buffer_ += u"line ";
        buffer_ += DecimalText(line);
        buffer_ += u": ";
    }
    while (*++at != '\0') {
        if (*at != '%') {
            buffer_ += static_cast<char16_t>(*at);
            continue;
        }
        const char code = *++at;
        if (code == 's') {
            if (subject != nullptr) Append(TextView(*subject).substr(0, subject->find(u'\t')));
        } else if (code == 't') {
            Append(second);
        } else if (code == 'r' && number == 0) {
            buffer_ += u"deleted";
        } else if (code == 'r' && (number == static_cast<std::uint32_t>(win::ERROR_FILE_NOT_FOUND) ||
                                   number == static_cast<std::uint32_t>(win::ERROR_PATH_NOT_FOUND))) {
            // Windows says "not found" of a missing file, folder, key or value alike.
            tally = kNotFound;
            buffer_ += u"not found";
        } else {
            if (code == 'r') {
                tally = kFailed;
                buffer_ += u"error ";
            }
            buffer_ += DecimalText(number - (code == 'p' ? 1 : 0));
        }
    }
    ++tallies_[tally];
    EndLine();
}

void EventSink::Summary(win::DWORD outcome, bool waited) {
    if (!file_.IsValid() || summarized_) return;
    summarized_ = true;
    buffer_ += u"summary";
    const char16_t* separator = u": ";
    for (unsigned tally = 1; tally < kTallies; ++tally) {
        if (tallies_[tally] == 0) continue;
        buffer_ += separator;
        buffer_ += DecimalText(tallies_[tally]);
        buffer_ += u' ';
        for (const char* word = Nth(kTallyWords, tally - 1); *word != '\0'; ++word) buffer_ += static_cast<char16_t>(*word);
        separator = u", ";
    }
    EndLine();
    Note(waited ? Event::kOutcome : Event::kOutcomeNotWaited, 0, nullptr, outcome);
    Flush();
}

void EventSink::Flush() {
    if (!file_.IsValid() || buffer_.empty()) return;
    // UTF-8 takes at most three bytes for each UTF-16 unit.
    const int units = static_cast<int>(buffer_.size());
    std::unique_ptr<char[]> bytes(new char[buffer_.size() * 3]);
    const int size = win::WideCharToMultiByte(win::CP_UTF8, 0, buffer_.data(), units, bytes.get(), units * 3, nullptr,
                                              nullptr);
    win::DWORD written = 0;
    win::WriteFile(file_.Get(), bytes.get(), static_cast<win::DWORD>(size), &written, nullptr);
    buffer_.clear();
    written_at_ = win::GetTickCount();
}

void EventSink::Close() {
    Flush();
    file_.Reset();
}

}  // namespace dismora
