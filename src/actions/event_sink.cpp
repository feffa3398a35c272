#include "actions/event_sink.h"

#include <memory>

#include "log/log_reader.h"

namespace dismora {

namespace {

// Written out at least this often while the run goes on, and once this much waits.
constexpr win::DWORD kWriteOutMs = 250;
constexpr std::size_t kWriteOutUnits = 8192;

// One line per event, in the order of Event, each ending with a NUL; its first letter names
// the summary's counter (a result that is not 0 counts as not found or failed instead).
#define DISMORA_EVENT_WORDS(name, tally, weight, at_once, words) tally words "\0"  // NOLINT(cppcoreguidelines-macro-usage)
constexpr char kWords[] = DISMORA_EVENTS(DISMORA_EVENT_WORDS);
#undef DISMORA_EVENT_WORDS

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

bool EventSink::Open(const Text& path, std::uint32_t identity, win::HANDLE other) {
    // The link itself is opened, never what it points to, and then refused: an elevated
    // copy must not write where a planted link leads.
    file_.Reset(win::CreateFileW(path.c_str(), win::FILE_APPEND_DATA | win::FILE_READ_ATTRIBUTES,
                                 win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, nullptr,
                                 identity != 0 ? win::OPEN_EXISTING : win::OPEN_ALWAYS,
                                 win::FILE_ATTRIBUTE_NORMAL | win::FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    win::BY_HANDLE_FILE_INFORMATION info = {};
    win::BY_HANDLE_FILE_INFORMATION other_info = {};
    identity_ = 0;
    if (file_.IsValid() && win::GetFileInformationByHandle(file_.Get(), &info) &&
        (info.dwFileAttributes & (win::FILE_ATTRIBUTE_REPARSE_POINT | win::FILE_ATTRIBUTE_DIRECTORY)) == 0) {
        identity_ = (((info.dwVolumeSerialNumber * 31U + info.nFileIndexHigh) * 31U + info.nFileIndexLow) & 0x3FFFFFFFU) |
                    0x40000000U;
    }
    const bool same = other != nullptr && win::GetFileInformationByHandle(other, &other_info) &&
                      other_info.dwVolumeSerialNumber == info.dwVolumeSerialNumber &&
                      other_info.nFileIndexHigh == info.nFileIndexHigh && other_info.nFileIndexLow == info.nFileIndexLow;
    if (identity_ == 0 || same || (identity != 0 && identity != identity_)) {
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

// One place that makes a number's digits and lets them go, for every number of the record.
void EventSink::AppendDecimal(std::uint32_t value) {
    buffer_ += DecimalText(value);
}

void EventSink::EndLine(bool at_once) {
    buffer_ += u"\r\n";
    if (at_once || buffer_.size() >= kWriteOutUnits || win::GetTickCount() - written_at_ >= kWriteOutMs) WriteOut();
}

void EventSink::Line(TextView text) {
    if (!file_.IsValid()) return;
    Append(text);
    EndLine(true);
}

void EventSink::Enter(Stage stage, std::uint32_t files) {
    if (listener_ != nullptr) entered_(listener_, stage, files);
    WriteOut();
}

void EventSink::Note(Event what, std::uint32_t line, const Text* subject, std::uint32_t number, const char16_t* second) {
    if (listener_ != nullptr) heard_(listener_, what);
    if (!file_.IsValid()) return;
    const char* at = kWords + words_at_[static_cast<int>(what)];
    auto tally = static_cast<unsigned>(*at - 'a');
    if (line != 0) {
        buffer_ += u"line ";
        AppendDecimal(line);
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
            AppendDecimal(number - (code == 'p' ? 1 : 0));
        }
    }
    if (counting_) ++tallies_[tally];
    EndLine(WrittenOutAtOnce(what));
}

void EventSink::Summary(win::DWORD outcome, bool waited) {
    if (!file_.IsValid()) return;
    buffer_ += u"summary";
    const char16_t* separator = u": ";
    for (unsigned tally = 1; tally < kTallies; ++tally) {
        if (tallies_[tally] == 0) continue;
        buffer_ += separator;
        AppendDecimal(tallies_[tally]);
        buffer_ += u' ';
        AppendAscii(buffer_, Nth(kTallyWords, tally - 1));
        separator = u", ";
    }
    EndLine(false);
    Note(waited ? Event::kOutcome : Event::kOutcomeNotWaited, 0, nullptr, outcome);
    WriteOut();
}

void EventSink::WriteOut() {
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
    WriteOut();
    file_.Reset();
}

bool NextUsableEntry(LogReader& log, EventSink& events, std::uint32_t& line) {
    using namespace std::string_view_literals;
    while (NextEntry(log, u"%%%"sv)) {
        line = static_cast<std::uint32_t>(log.LineNumber());
        if (log.current_line.find(u'\0') == Text::npos) return true;
        events.Note(Event::kHoldsNul, line);
    }
    return false;
}

}  // namespace dismora
