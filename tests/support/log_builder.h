// Builds deployment logs byte for byte for the native tests.
#pragma once

#include <string>
#include <vector>

namespace dismora::test {

// Texts are given in UTF-8; odd format versions are written in Windows-1252.
struct LogBuilder {
    int version = 4;
    std::string scope = "ALL";  // versions 3 and 4 only
    std::string product = "Tool";
    std::vector<std::string> ignored = {"i1", "i2", "i3", "i4", "i5", "i6"};
    std::vector<std::string> confirmation = {"Remove %s?", "All of it.", "Sure?"};
    std::string completion = "%s was removed.";
    std::vector<std::string> restart = {"Restart to finish.", "Some files remain until then."};
    std::string admin = "Administrator rights are needed to remove %s.";  // versions 3 and 4 only
    std::string pre_command;
    std::vector<std::string> first_block_records;   // lines, three per record
    std::vector<std::string> second_block_records;  // lines, two per record
    std::vector<std::string> files;
    std::vector<std::string> registry;
    std::vector<std::string> associations;  // raw lines of the association section
    std::vector<std::string> components;
    std::string line_end = "\r\n";
    bool final_terminator = true;  // "%%%" after the component section

    std::string Bytes() const;
};

// UTF-8 to Windows-1252 (characters outside it become '?').
std::string ToWindows1252(const std::string& utf8);
// UTF-8 to UTF-16.
std::u16string Utf16(const std::string& utf8);
std::string Utf8(const std::u16string& text);

}  // namespace dismora::test
