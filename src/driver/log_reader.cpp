#include "driver/log_reader.h"

#include <cstring>

namespace dismora {

namespace {

constexpr std::size_t kBufferSize = std::size_t{64} * 1024;
constexpr char kEndOfFileMark = 0x1A;
constexpr std::size_t kCountDigitsMax = 32;

}  // namespace

bool LogReader::Open(const Text& path) {
    file_.Reset(win::CreateFileW(path.c_str(), win::GENERIC_READ, win::FILE_SHARE_READ, nullptr, win::OPEN_EXISTING,
                                 win::FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file_.IsValid()) return false;
    buffer_.resize(kBufferSize);
    position_ = filled_ = 0;
    ended_ = false;
    return true;
}

void LogReader::Close() {
    file_.Reset();
    ended_ = true;
    position_ = filled_ = 0;
}

bool LogReader::Fill() {
    if (position_ < filled_) return true;
    if (ended_ || !file_.IsValid()) return false;
    win::DWORD got = 0;
    if (!win::ReadFile(file_.Get(), buffer_.data(), static_cast<win::DWORD>(buffer_.size()), &got, nullptr) ||
        got == 0) {
        ended_ = true;  // a read error counts as the end of the log
        return false;
    }
    position_ = 0;
    filled_ = got;
    return true;
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
    line_bytes_.clear();
    line_number_ = next_line_;
    std::string_view line;
    bool copied = false;
    while (Fill()) {
        const char* start = buffer_.data() + position_;
        std::size_t available = filled_ - position_;
        const void* lf = std::memchr(start, '\n', available);
        std::size_t length = lf != nullptr ? static_cast<std::size_t>(static_cast<const char*>(lf) - start) : available;
        if (const void* mark = std::memchr(start, kEndOfFileMark, length)) {
            // The end-of-file mark ends the line and everything after it.
            line_bytes_.append(start, static_cast<std::size_t>(static_cast<const char*>(mark) - start));
            copied = true;
            ended_ = true;
            position_ = filled_;
            break;
        }
        position_ += length;
        if (lf != nullptr && !copied) {
            // The whole line stands in the buffer: no copy.
            line = std::string_view(start, length);
            ++position_;
            ++next_line_;
            break;
        }
        line_bytes_.append(start, length);
        copied = true;
        if (lf != nullptr) {
            ++position_;
            ++next_line_;
            break;
        }
    }
    if (copied) line = line_bytes_;
    // A CR before the LF belongs to the line end; any other CR is dropped as well.
    if (line.empty() || std::memchr(line.data(), '\r', line.size()) == nullptr) return line;
    if (!copied) line_bytes_.assign(line);
    std::size_t kept = 0;
    for (char c : line_bytes_) {
        if (c != '\r') line_bytes_[kept++] = c;
    }
    line_bytes_.resize(kept);
    return line_bytes_;
}

Text LogReader::Decode(std::string_view bytes, bool utf8) const {
    Text result(bytes.size(), u'\0');
    // Every code page maps the ASCII range to itself, so a line of ASCII needs no conversion.
    std::size_t i = 0;
    while (i < bytes.size() && static_cast<unsigned char>(bytes[i]) < 0x80) {
        result[i] = static_cast<char16_t>(bytes[i]);
        ++i;
    }
    if (i == bytes.size()) return result;
    // Never more UTF-16 units than bytes, in UTF-8 as in the ANSI code pages. A line longer
    // than an int can count is cut at that length; no log holds one.
    int byte_count = bytes.size() > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(bytes.size());
    int written = win::MultiByteToWideChar(utf8 ? win::CP_UTF8 : win::CP_ACP, 0, bytes.data(), byte_count,
                                           result.data(), byte_count);
    result.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
    return result;
}

Text LogReader::ReadLine() {
    return Decode(ReadRawLine(), utf8_);
}

std::int32_t LogReader::ReadCount() {
    // Blanks, control characters and line ends before the number are all passed over.
    while (true) {
        if (AtEnd()) return 0;
        if (static_cast<unsigned char>(buffer_[position_]) > 0x20) break;
        if (buffer_[position_] == '\n') ++next_line_;
        ++position_;
    }
    std::string digits;
    while (digits.size() < kCountDigitsMax && !AtEnd()) {
        char c = buffer_[position_];
        if (static_cast<unsigned char>(c) <= 0x20) break;
        digits.push_back(c);
        ++position_;
    }
    Text text = Decode(digits, false);
    std::int32_t count = ParseInteger(text);
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
    log.current_line = log.ReadLine();
    if (log.AtEnd()) return false;
    return !SameText(log.current_line, terminator);
}

}  // namespace dismora
