// The log reader against a model that holds the whole file in memory: lines split at LF,
// every CR dropped, the end-of-file mark ending the line and the log, UTF-8 decoded. The
// random logs mix short lines with lines longer than the reader's buffer, so lines cross
// buffer ends and make it grow.
#include "log/log_reader.h"

#include <gtest/gtest.h>

#include <random>

#include "platform/win_api.h"
#include "support/log_builder.h"
#include "support/read_log.h"
#include "support/sim.h"

namespace dismora {
namespace {

struct Model {
    std::string bytes;
    std::size_t position = 0;
    bool ended = false;
    std::uint64_t lines_started = 0;

    bool AtEnd() {
        if (ended || position >= bytes.size()) return true;
        if (bytes[position] == '\x1A') {
            ended = true;
            return true;
        }
        return false;
    }

    std::string ReadLine() {
        if (ended || position >= bytes.size()) return {};
        ++lines_started;
        const std::size_t lf = bytes.find('\n', position);
        std::string line = bytes.substr(position, (lf == std::string::npos ? bytes.size() : lf) - position);
        position = lf == std::string::npos ? bytes.size() : lf + 1;
        if (const std::size_t mark = line.find('\x1A'); mark != std::string::npos) {
            line.resize(mark);
            ended = true;
        }
        std::erase(line, '\r');
        return line;
    }
};

std::string RandomLog(std::uint32_t seed) {
    std::mt19937 random(seed);
    const char* const pieces[] = {"a", "Z", "\\", " ", "\t", "\r", "\xC3\xA9", "\xE6\x96\x87", "\xF0\x9F\x8E\xB5"};
    std::string log;
    const int lines = 1 + static_cast<int>(random() % 400);
    for (int i = 0; i < lines; ++i) {
        const unsigned kind = random() % 50;
        std::size_t length = kind == 0 ? 60000 + random() % 150000 : random() % 120;
        if (kind == 1) {
            log += "%";
        } else {
            while (length-- > 0) {
                const unsigned pick = random() % 100;
                log += pick < 80 ? std::string(1, static_cast<char>('a' + pick % 26)) : pieces[pick % 9];
            }
        }
        if (random() % 400 == 0) log += '\x1A';
        log += random() % 3 == 0 ? "\n" : "\r\n";
    }
    if (random() % 2) log.pop_back();  // no line end after the last line
    return log;
}

TEST(LogReaderModel, SameLinesAsTheWholeFileSplit) {
    for (std::uint32_t seed = 1; seed <= 25; ++seed) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        const std::string bytes = RandomLog(seed);
        sim::Machine m;
        test::ReadLogOn(m, bytes, true, [&](LogReader& reader) {
            Model model{bytes};
            Text reused;
            for (int step = 0; step < 100000; ++step) {
                const bool at_end = reader.AtEnd();
                ASSERT_EQ(at_end, model.AtEnd()) << "line " << model.lines_started;
                if (at_end) break;
                // Lines come as new strings and into one that is reused, as the sections read them.
                const Text line = step % 2 == 0 ? reader.ReadLine() : (reader.ReadLineInto(reused), reused);
                ASSERT_EQ(line, test::Utf16(model.ReadLine())) << "line " << model.lines_started;
                ASSERT_EQ(reader.LineNumber(), model.lines_started);
            }
            EXPECT_TRUE(reader.ReadLine().empty());
        });
    }
}

// Only the parts beyond ASCII go to the converter; valid UTF-8 or not, in UTF-8 or in the
// ANSI code page, a line must come out as one conversion of the whole line gives it.
TEST(LogReaderModel, PartsConvertLikeTheWholeLine) {
    std::mt19937 random(7);
    std::vector<std::string> lines;
    std::string log;
    for (int i = 0; i < 3000; ++i) {
        std::string line;
        const int length = static_cast<int>(random() % 60);
        for (int k = 0; k < length; ++k) {
            const unsigned pick = random() % 3;
            line += static_cast<char>(pick == 0   ? 'a' + random() % 26
                                      : pick == 1 ? 0x20 + random() % 95
                                                  : 0x80 + random() % 128);
        }
        lines.push_back(line);
        log += line + "\r\n";
    }
    for (bool utf8 : {true, false}) {
        SCOPED_TRACE(utf8 ? "UTF-8" : "ANSI code page");
        sim::Machine m;
        test::ReadLogOn(m, log, utf8, [&](LogReader& reader) {
            for (const std::string& line : lines) {
                Text whole(line.size(), u'\0');
                const int size = static_cast<int>(line.size());
                const int written = win::MultiByteToWideChar(utf8 ? win::CP_UTF8 : win::CP_ACP, 0, line.data(), size,
                                                             whole.data(), size);
                whole.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
                ASSERT_EQ(reader.ReadLine(), whole) << "line " << reader.LineNumber();
            }
        });
    }
}

// Counts, skipped lines and passed-over blocks keep the reader in step with the lines.
TEST(LogReaderModel, CountsAndSkipsStayInStep) {
    std::string log = "  \r\n\t 12 trailing words\r\nA\r\nB\r\n%\r\n";
    log += std::string(70000, 'x') + "\r\n%\r\n";  // a block whose line fills the buffer
    log += "-3\x1A\r\nafter the mark\r\n";
    sim::Machine m;
    test::ReadLogOn(m, log, false, [&](LogReader& reader) {
        EXPECT_EQ(reader.ReadCount(), 12);
        EXPECT_EQ(reader.LineNumber(), 2U);
        reader.SkipLines(1);
        EXPECT_EQ(reader.ReadLine(), u"B");
        reader.PassOverBlock();  // "%" right away
        reader.PassOverBlock();  // the long line, then "%"
        EXPECT_EQ(reader.LineNumber(), 7U);
        EXPECT_EQ(reader.ReadCount(), -3);
        EXPECT_TRUE(reader.AtEnd());
        EXPECT_TRUE(reader.ReadLine().empty());
    });
}

}  // namespace
}  // namespace dismora
