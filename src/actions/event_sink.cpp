#include "actions/event_sink.h"

#include <memory>

namespace dismora {

namespace {

// Written out at least this often while the run goes on, and at the points where it
// hands control to something that may take long or never come back.
constexpr win::DWORD kWriteOutMs = 250;

// One line per event, in the order of Event, each ending with a NUL. The first letter
// says what the summary counts the event as when it went well (from kTallyLetters, "-"
// for nothing); a result that is not 0 counts as not found or failed instead. Then %s
// stands for the subject, %t the second text, %n the number, %p the number less one and
// %r the result: deleted, not found or the error.
constexpr char kWords[] =
    "-%s: exit code %n\0"
    "f%s: not started, error %n\0"
    "-starting %s\0"
    "-starting %s elevated\0"
    "cfile %s: shared count %n lowered to %p\0"
    "-file %s: shared count %n removed\0"
    "-file %s: no shared count\0"
    "-file %s: shared count %n left, lowered by an earlier run\0"
    "ppassed over: it holds U+0000\0"
    "rvalue %t of %s: %r\0"
    "rkey %s: %r\0"
    "rkey %s: subkeys deleted, the key stays\0"
    "ppassed over: unknown root\0"
    "ppassed over: a whole key that the installation does not own alone\0"
    "t%t of %s: restored\0"
    "l%t of %s: left, changed since the installation\0"
    "t%t of %s: %r\0"
    "pextension %s: passed over\0"
    "pverb %s: passed over, it names no key below shell\0"
    "u%s: exit code %n\0"
    "f%s: still running after 10 s\0"
    "uregistration of type library %s: %r\0"
    "pcomponent %s: not among the files that go\0"
    "dfile %s: %r\0"
    "sfile %s: scheduled for deletion at restart\0"
    "ffile %s: Windows refused to schedule it, error %n\0"
    "ofolder %s: removed\0"
    "-exit code %n\0"
    "-exit code 0 (with /wait: %n)";

constexpr std::size_t CountWords(const char* words, std::size_t size) {
    std::size_t count = 1;
    for (std::size_t i = 0; i + 1 < size; ++i) count += words[i] == '\0' ? 1 : 0;
    return count;
}
static_assert(CountWords(kWords, sizeof(kWords)) == static_cast<std::size_t>(Event::kCount));

// The summary's counters, by the letter that stands for each, and their words.
const char kTallyLetters[] = "dsfnocrptlu";
constexpr unsigned kNotFound = 4;
constexpr unsigned kFailed = 3;
const char kTallyWords[] =
    "files deleted\0scheduled for restart\0failed\0not found\0folders removed\0shared counts lowered\0"
    "registry entries deleted\0passed over\0file type entries restored\0left as changed\0components unregistered";

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
    // A new record starts with the byte-order mark, so that any editor reads it as UTF-8.
    if (info.nFileSizeLow == 0 && info.nFileSizeHigh == 0) buffer_ = u"\uFEFF";
    written_at_ = win::GetTickCount();
    return true;
}

void EventSink::Append(TextView text) {
    // A control character from a log line or a path would break the record's lines.
    for (char16_t c : text) buffer_ += c < 0x20 ? u' ' : c;
}

void EventSink::AppendAscii(const char* text) {
    while (*text != '\0') buffer_ += static_cast<char16_t>(*text++);
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
    if (!file_.IsValid()) return;
    const char* at = Nth(kWords, static_cast<unsigned>(what));
    unsigned tally = 0;
    while (kTallyLetters[tally] != '\0' && kTallyLetters[tally] != *at) ++tally;
    tally = kTallyLetters[tally] == '\0' ? 0 : tally + 1;
    if (line != 0) {
        AppendAscii("line ");
        buffer_ += DecimalText(line);
        AppendAscii(": ");
    }
    for (++at; *at != '\0'; ++at) {
        if (*at != '%') {
            buffer_ += static_cast<char16_t>(*at);
            continue;
        }
        switch (*++at) {
            case 's':
                Append(TextView(*subject).substr(0, subject->find(u'\t')));
                break;
            case 't':
                Append(second);
                break;
            case 'p':
                buffer_ += DecimalText(number - 1);
                break;
            case 'r':
                if (number == 0) {
                    AppendAscii("deleted");
                    break;
                }
                // Windows says "not found" of a missing file, folder, key or value alike.
                if (number == static_cast<std::uint32_t>(win::ERROR_FILE_NOT_FOUND) ||
                    number == static_cast<std::uint32_t>(win::ERROR_PATH_NOT_FOUND)) {
                    tally = kNotFound;
                    AppendAscii("not found");
                    break;
                }
                tally = kFailed;
                AppendAscii("error ");
                [[fallthrough]];
            default:
                buffer_ += DecimalText(number);
        }
    }
    ++tallies_[tally];
    EndLine();
}

void EventSink::Summary(win::DWORD outcome, bool waited) {
    if (!file_.IsValid() || summarized_) return;
    summarized_ = true;
    AppendAscii("summary");
    const char* separator = ": ";
    for (unsigned tally = 1; tally < sizeof(kTallyLetters); ++tally) {
        if (tallies_[tally] == 0) continue;
        AppendAscii(separator);
        buffer_ += DecimalText(tallies_[tally]);
        buffer_ += u' ';
        AppendAscii(Nth(kTallyWords, tally - 1));
        separator = ", ";
    }
    EndLine();
    Note(waited ? Event::kOutcome : Event::kOutcomeNotWaited, 0, nullptr, outcome);
    Flush();
}

void EventSink::Flush() {
    if (!file_.IsValid() || buffer_.empty()) return;
    // UTF-8: at most three bytes for each unit, a pair of surrogates taking four for two.
    std::unique_ptr<char[]> bytes(new char[buffer_.size() * 3]);
    win::DWORD size = 0;
    for (std::size_t i = 0; i < buffer_.size(); ++i) {
        std::uint32_t c = buffer_[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < buffer_.size() && buffer_[i + 1] >= 0xDC00 && buffer_[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (buffer_[++i] - 0xDC00U);
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;  // half a pair
        }
        int tail = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
        bytes[size++] = static_cast<char>(tail == 0 ? c : (0xF80U >> tail) | (c >> (6 * tail)));
        while (tail-- > 0) bytes[size++] = static_cast<char>(0x80 | ((c >> (6 * tail)) & 0x3F));
    }
    win::DWORD written = 0;
    win::WriteFile(file_.Get(), bytes.get(), size, &written, nullptr);
    buffer_.clear();
    written_at_ = win::GetTickCount();
}

void EventSink::Close() {
    Flush();
    file_.Reset();
}

}  // namespace dismora
