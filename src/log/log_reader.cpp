#include "log/log_reader.h"

#include <cstring>

namespace dismora {

namespace {

constexpr std::size_t kBufferSize = std::size_t{64} * 1024;
constexpr char kEndOfFileMark = 0x1A;
constexpr std::size_t kCountDigitsMax = 32;

// The reader looks at a register's width of bytes at a time.
using Word = std::uintptr_t;
constexpr Word kEveryByte = ~Word{0} / 0xFF;  // 0x01 in each byte

// Half a word's bytes, each to the low half of its own 16-bit unit.
constexpr Word SpreadHalf(Word half) {
    if constexpr (sizeof(Word) == 8) half = (half | (half << 16)) & (~Word{0} / 0xFFFFFFFF * 0xFFFF);
    return (half | (half << 8)) & (~Word{0} / 0xFFFF * 0xFF);
}

}  // namespace

bool LogReader::Open(const Text& path) {
    file_.Reset(win::CreateFileW(path.c_str(), win::GENERIC_READ, win::FILE_SHARE_READ, nullptr, win::OPEN_EXISTING,
                                 win::FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file_.IsValid()) return false;
    if (buffer_ == nullptr) {
        buffer_.reset(new char[kBufferSize]);
        capacity_ = kBufferSize;
    }
    position_ = filled_ = 0;
    read_ = 0;
    ended_ = false;
    return true;
}

void LogReader::Close() {
    file_.Reset();
    ended_ = true;
    position_ = filled_ = 0;
}

bool LogReader::ReadMore() {
    if (ended_ || !file_.IsValid()) return false;
    const std::size_t unread = filled_ - position_;
    if (unread == capacity_) {
        // One line fills the whole buffer: it grows.
        std::unique_ptr<char[]> larger(new char[capacity_ * 2]);
        std::memmove(larger.get(), buffer_.get(), unread);
        buffer_ = std::move(larger);
        capacity_ *= 2;
    } else if (position_ > 0) {
        std::memmove(buffer_.get(), buffer_.get() + position_, unread);
    }
    position_ = 0;
    filled_ = unread;
    const std::size_t room = capacity_ - unread;
    win::DWORD got = 0;
    if (!win::ReadFile(file_.Get(), buffer_.get() + unread,
                       static_cast<win::DWORD>(room > 0x40000000 ? 0x40000000 : room), &got, nullptr) ||
        got == 0) {
        ended_ = true;  // a read error counts as the end of the log
        return false;
    }
    filled_ += got;
    read_ += got;
    return true;
}

bool LogReader::Fill() {
    return position_ < filled_ || ReadMore();
}

bool LogReader::AtEnd() {
    if (!Fill()) return true;
    if (buffer_[position_] == kEndOfFileMark) {
        ended_ = true;
        position_ = filled_;
        return true;
    }
    return false;
}

std::string_view LogReader::ReadRawLine() {
    line_number_ = next_line_;
    // The line end is looked for in what was not searched yet; the end-of-file mark ends
    // the line and everything after it, so nothing is read beyond one.
    std::size_t searched = 0;
    const char* lf = nullptr;
    while (Fill()) {
        const char* from = buffer_.get() + position_ + searched;
        const std::size_t count = filled_ - position_ - searched;
        lf = static_cast<const char*>(std::memchr(from, '\n', count));
        if (lf != nullptr || std::memchr(from, kEndOfFileMark, count) != nullptr) break;
        searched += count;
        if (!ReadMore()) break;
    }
    char* start = buffer_.get() + position_;
    std::size_t length = lf != nullptr ? static_cast<std::size_t>(lf - start) : filled_ - position_;
    position_ += length;
    if (lf != nullptr) {
        ++position_;
        ++next_line_;
    }
    if (const void* mark = std::memchr(start, kEndOfFileMark, length)) {
        length = static_cast<std::size_t>(static_cast<const char*>(mark) - start);
        ended_ = true;
        position_ = filled_;
    }
    // A CR before the LF belongs to the line end; any other CR is dropped as well. The
    // line's bytes are not needed again, so that happens where they stand.
    if (length > 0 && start[length - 1] == '\r') --length;
    if (std::memchr(start, '\r', length) != nullptr) {
        std::size_t kept = 0;
        for (std::size_t i = 0; i < length; ++i) {
            if (start[i] != '\r') start[kept++] = start[i];
        }
        length = kept;
    }
    return {start, length};
}

bool LogReader::Decode(std::string_view bytes, bool utf8, Text& text, bool plain) {
    // Never more UTF-16 units than bytes, in UTF-8 as in the ANSI code pages.
    text.resize(bytes.size());
    // Every code page maps the ASCII range to itself, and a character never starts inside
    // it, so only the bytes from the first one above it need converting.
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
    char16_t* out = text.data();
    // A word at a time while each of its bytes is printable ASCII: each half of it spread
    // to 16-bit units in a register and stored with one write (the units are little-endian
    // on every processor Windows runs on).
    constexpr std::size_t kBytes = sizeof(Word);
    constexpr unsigned kHalfBits = 4 * kBytes;
    std::size_t i = 0;
    for (Word word = 0; i + kBytes <= bytes.size(); i += kBytes) {
        std::memcpy(&word, in + i, kBytes);
        if (((word - kEveryByte * 0x20) | word) & (kEveryByte * 0x80)) break;
        const Word low = SpreadHalf(word & ((Word{1} << kHalfBits) - 1));
        const Word high = SpreadHalf(word >> kHalfBits);
        std::memcpy(out + i, &low, kBytes);
        std::memcpy(out + i + kBytes / 2, &high, kBytes);
    }
    for (; i < bytes.size() && in[i] < 0x80; ++i) {
        // A control character may be a line end or the end-of-file mark the caller did not look for.
        if (plain && in[i] < 0x20) return false;
        out[i] = in[i];
    }
    if (i == bytes.size()) return true;
    const std::string_view rest = bytes.substr(i);
    constexpr auto kNone = std::string_view::npos;
    if (plain && (rest.find('\r') != kNone || rest.find(kEndOfFileMark) != kNone)) return false;
    // A line longer than an int can count is cut at that length; no log holds one.
    const int count = rest.size() > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(rest.size());
    const int written =
        win::MultiByteToWideChar(utf8 ? win::CP_UTF8 : win::CP_ACP, 0, rest.data(), count, out + i, count);
    // A failed conversion gives no line at all rather than part of one.
    text.resize(written > 0 ? i + static_cast<std::size_t>(written) : 0);
    return true;
}

Text LogReader::ReadLine() {
    Text line;
    ReadLineInto(line);
    return line;
}

void LogReader::ReadLineInto(Text& line) {
    // Nearly every line stands whole in the buffer without a CR inside it or the end-of-file
    // mark: one search for its end, one pass over it. Any other line takes the long way.
    if (position_ < filled_) {
        const char* start = buffer_.get() + position_;
        const auto* lf = static_cast<const char*>(std::memchr(start, '\n', filled_ - position_));
        if (lf != nullptr) {
            auto length = static_cast<std::size_t>(lf - start);
            if (length > 0 && start[length - 1] == '\r') --length;
            if (Decode(std::string_view(start, length), utf8_, line, true)) {
                line_number_ = next_line_++;
                position_ = static_cast<std::size_t>(lf - buffer_.get()) + 1;
                return;
            }
        }
    }
    Decode(ReadRawLine(), utf8_, line, false);
}

std::int32_t LogReader::ReadCount() {
    // Blanks, control characters and line ends before the number are all passed over.
    while (true) {
        if (AtEnd()) return 0;
        if (static_cast<unsigned char>(buffer_[position_]) > 0x20) break;
        if (buffer_[position_] == '\n') ++next_line_;
        ++position_;
    }
    char digits[kCountDigitsMax];
    std::size_t length = 0;
    while (length < kCountDigitsMax && !AtEnd()) {
        const char c = buffer_[position_];
        if (static_cast<unsigned char>(c) <= 0x20) break;
        digits[length++] = c;
        ++position_;
    }
    Text text;
    Decode(std::string_view(digits, length), false, text, false);
    const std::int32_t count = ParseInteger(text);
    // The rest of the count's line is not part of it.
    ReadRawLine();
    return count;
}

void LogReader::SkipLines(std::int64_t count) {
    for (std::int64_t i = 0; i < count && !AtEnd(); ++i) ReadRawLine();
}

void LogReader::PassOverBlock() {
    while (!AtEnd()) {
        if (ReadRawLine() == "%") return;
    }
}

bool NextEntry(LogReader& log, TextView terminator) {
    log.ReadLineInto(log.current_line);
    if (log.AtEnd()) return false;
    return !SameText(log.current_line, terminator);
}

}  // namespace dismora
