#include "support/log_builder.h"
#include "platform/utf8.h"

namespace dismora::test {

namespace {

const char16_t kHighCp1252[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

}  // namespace

std::u16string Utf16(const std::string& utf8) {
    std::u16string out;
    for (std::size_t i = 0; i < utf8.size();) {
        auto c = static_cast<unsigned char>(utf8[i]);
        std::uint32_t cp = c;
        std::size_t extra = 0;
        if (c >= 0xF0) {
            cp = c & 0x07u;
            extra = 3;
        } else if (c >= 0xE0) {
            cp = c & 0x0Fu;
            extra = 2;
        } else if (c >= 0xC0) {
            cp = c & 0x1Fu;
            extra = 1;
        }
        ++i;
        for (std::size_t k = 0; k < extra && i < utf8.size(); ++k, ++i) {
            cp = (cp << 6) | (static_cast<unsigned char>(utf8[i]) & 0x3Fu);
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::string Utf8(const std::u16string& text) {
    return ToUtf8(text);
}

std::string ToWindows1252(const std::string& utf8) {
    std::string out;
    for (char16_t c : Utf16(utf8)) {
        if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
            out.push_back(static_cast<char>(c));
            continue;
        }
        char replacement = '?';
        for (int k = 0; k < 32; ++k) {
            if (kHighCp1252[k] == c) replacement = static_cast<char>(0x80 + k);
        }
        out.push_back(replacement);
    }
    return out;
}

std::string LogBuilder::Bytes() const {
    std::vector<std::string> lines;
    lines.push_back(std::to_string(version));
    if (version >= 3) lines.push_back(scope);
    lines.push_back(product);
    lines.insert(lines.end(), ignored.begin(), ignored.end());
    lines.insert(lines.end(), confirmation.begin(), confirmation.end());
    lines.push_back(completion);
    lines.insert(lines.end(), restart.begin(), restart.end());
    if (version >= 3) lines.push_back(admin);
    lines.push_back(pre_command);
    lines.push_back(std::to_string(first_block_records.size() / 3));
    lines.insert(lines.end(), first_block_records.begin(), first_block_records.end());
    lines.push_back(std::to_string(second_block_records.size() / 2));
    lines.insert(lines.end(), second_block_records.begin(), second_block_records.end());
    for (const auto* section : {&files, &registry, &associations, &components}) {
        lines.insert(lines.end(), section->begin(), section->end());
        if (section != &components || final_terminator) lines.push_back("%%%");
    }
    std::string out;
    bool ansi = version % 2 != 0;
    for (const std::string& line : lines) {
        out += ansi ? ToWindows1252(line) : line;
        out += line_end;
    }
    return out;
}

}  // namespace dismora::test
