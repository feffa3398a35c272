// The one forward-only reader of the deployment log.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "environment/text.h"
#include "platform/unique_handle.h"

namespace dismora {

class LogReader {
public:
    // Opens the log for reading, sharing read access only. False when it cannot be opened.
    [[nodiscard]] bool Open(const Text& path);
    void Close();
    [[nodiscard]] bool IsOpen() const { return file_.IsValid(); }
    [[nodiscard]] win::HANDLE File() const { return file_.Get(); }

    // The next line without its line end, decoded as the UTF-8 flag says; empty at the end.
    Text ReadLine();
    // The same into line, whose storage is reused.
    void ReadLineInto(Text& line);
    // The next count: blanks and line ends skipped, one number, the rest of its line skipped.
    // A count that is not a number is 0.
    std::int32_t ReadCount();
    // True when no byte is left or the next byte is the end-of-file mark.
    [[nodiscard]] bool AtEnd();
    // Discards lines; stops early at the end of the log.
    void SkipLines(std::int64_t count);
    // Reads lines up to and including the next one that is exactly "%", or to the end.
    void PassOverBlock();

    // 1-based number of the line read last (for reports about a log, not used by the uninstall).
    [[nodiscard]] std::uint64_t LineNumber() const { return line_number_; }

    // How many of the file's bytes the lines read so far took (for the progress window).
    [[nodiscard]] std::uint64_t BytePosition() const { return read_ - (filled_ - position_); }

    void SetUtf8(bool utf8) { utf8_ = utf8; }
    [[nodiscard]] bool Utf8() const { return utf8_; }
    // Set by a section loop: the line it read last.
    Text current_line;

private:
    // Makes at least one unread byte available; false at the physical end or a read error.
    bool Fill();
    // Reads more of the file after the unread bytes, which move to the front of the buffer,
    // growing it when they fill it; false at the physical end or a read error.
    bool ReadMore();
    // The raw bytes of the next line, without its line end, which is consumed: a view into
    // the buffer, valid until the next read.
    std::string_view ReadRawLine();
    // Decodes into text. With plain set it gives up, returning false, at a control character
    // or a CR or end-of-file mark after the first character beyond ASCII.
    static bool Decode(std::string_view bytes, bool utf8, Text& text, bool plain);

    UniqueFileHandle file_;
    std::unique_ptr<char[]> buffer_;
    std::size_t capacity_ = 0;
    std::size_t position_ = 0;
    std::size_t filled_ = 0;
    bool ended_ = false;  // physical end, read error, or the end-of-file mark seen
    bool utf8_ = false;
    std::uint64_t read_ = 0;  // bytes read from the file
    std::uint64_t line_number_ = 0;
    std::uint64_t next_line_ = 1;
};

// One step of the section loop: reads the next line into current_line and tells
// whether it is an entry to act on (false at the end of the log or at the terminator).
bool NextEntry(LogReader& log, TextView terminator);

}  // namespace dismora
