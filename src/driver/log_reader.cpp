#include "driver/log_reader.h"

#include <cstring>

namespace dismora {

namespace {

constexpr std::size_t kBufferSize = 64 * 1024;
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

void LogReader::ReadRawLine() {
    line_bytes_.clear();
    line_number_ = next_line_;
    while (Fill()) {
        const char* start = buffer_.data() + position_;
        std::size_t available = filled_ - position_;
        const void* lf = std::memchr(start, '\n', available);
        const void* mark = std::memchr(start, kEndOfFileMark, available);
        std::size_t length = available;
        if (lf != nullptr) length = static_cast<std::size_t>(static_cast<const char*>(lf) - start);
        if (mark != nullptr) {
            auto at_mark = static_cast<std::size_t>(static_cast<const char*>(mark) - start);
            if (at_mark < length) {
                // The end-of-file mark ends the line and everything after it.
                line_bytes_.append(start, at_mark);
                ended_ = true;
                position_ = filled_;
                break;
            }
        }
        line_bytes_.append(start, length);
        position_ += length;
        if (lf != nullptr) {
            ++position_;
            ++next_line_;
            break;
        }
    }
    // A CR before the LF belongs to the line end; any other CR is dropped as well.
    if (line_bytes_.find('\r') != std::string::npos) {
        std::size_t kept = 0;
        for (char c : line_bytes_) {
            if (c != '\r') line_bytes_[kept++] = c;
        }
        line_bytes_.resize(kept);
    }
}

Text LogReader::Decode(const char* bytes, std::size_t length, bool utf8) const {
    if (length == 0) return Text();
    win::UINT code_page = utf8 ? win::CP_UTF8 : win::CP_ACP;
    // A line longer than an int can count is cut at that length; no log holds one.
    int byte_count = length > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(length);
    int needed = win::MultiByteToWideChar(code_page, 0, bytes, byte_count, nullptr, 0);
    if (needed <= 0) return Text();
    Text result(static_cast<std::size_t>(needed), u'\0');
    int written = win::MultiByteToWideChar(code_page, 0, bytes, byte_count, result.data(), needed);
    result.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
    return result;
}

Text LogReader::ReadLine() {
    ReadRawLine();
    return Decode(line_bytes_.data(), line_bytes_.size(), utf8_);
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
    Text text = Decode(digits.data(), digits.size(), false);
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
        ReadRawLine();
        if (line_bytes_ == "%") return;
    }
}

bool NextEntry(LogReader& log, TextView terminator) {
    log.current_line = log.ReadLine();
    if (log.AtEnd()) return false;
    return !SameText(log.current_line, terminator);
}

}  // namespace dismora
