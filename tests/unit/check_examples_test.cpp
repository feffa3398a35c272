// The examples of docs/deployment-log.md: the files check clean, are written in the
// encoding of their format version, and are exactly what the document shows and says.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "actions/registry_removal.h"
#include "check/plan.h"
#include "check/report.h"
#include "support/log_builder.h"
#include "support/sim.h"
#include "support/scenario.h"

namespace dismora::check {
namespace {

const std::string kDocs = std::string(DISMORA_SOURCE_DIR) + "/docs/";

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    EXPECT_TRUE(file.good()) << "cannot read " << path;
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

std::string ExamplePath(int version) {
    return kDocs + "examples/format-" + std::to_string(version) + ".log";
}

bool IsUtf8(const std::string& bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        std::size_t trail = lead < 0x80                    ? 0
                            : lead >= 0xC2 && lead <= 0xDF ? 1
                            : lead >= 0xE0 && lead <= 0xEF ? 2
                            : lead >= 0xF0 && lead <= 0xF4 ? 3
                                                           : 9;
        if (trail == 9 || i + trail >= bytes.size() + (trail == 0 ? 1 : 0)) return false;
        for (std::size_t k = 1; k <= trail; ++k) {
            if ((static_cast<unsigned char>(bytes[i + k]) & 0xC0) != 0x80) return false;
        }
        i += trail + 1;
    }
    return true;
}

// The file's lines in UTF-8, decoded as the uninstaller decodes its format version
// (Windows-1252 standing for the ANSI code page).
std::vector<std::string> DecodedLines(const std::string& bytes, int version) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos) end = bytes.size();
        const std::string line = bytes.substr(start, end - start);
        if (version % 2 == 0) {
            lines.push_back(line);
        } else {
            std::u16string wide(line.size(), u'\0');
            if (!line.empty())
                win::MultiByteToWideChar(1252, 0, line.data(), static_cast<int>(line.size()), wide.data(),
                                         static_cast<int>(wide.size()));
            lines.push_back(test::Utf8(wide));
        }
        start = end + 2;
    }
    return lines;
}

// The listing under the example's marker, its line numbers checked and stripped, "→" as TAB.
std::vector<std::string> Listing(const std::string& doc, int version) {
    const std::string marker = "<!-- example: examples/format-" + std::to_string(version) + ".log -->\n```text\n";
    std::size_t begin = doc.find(marker);
    if (begin == std::string::npos) {
        ADD_FAILURE() << "no listing of format-" << version << ".log";
        return {};
    }
    begin += marker.size();
    const std::size_t end = doc.find("```\n", begin);
    std::istringstream text(doc.substr(begin, end - begin));
    std::vector<std::string> lines;
    const std::regex numbered(R"(^ *(\d+)  (.*)$|^ *(\d+) ?$)");
    for (std::string line; std::getline(text, line);) {
        std::smatch match;
        if (!std::regex_match(line, match, numbered)) {
            ADD_FAILURE() << "not a numbered listing line: " << line;
            continue;
        }
        const std::string number = match[1].matched ? match[1].str() : match[3].str();
        EXPECT_EQ(std::stoul(number), lines.size() + 1) << line;
        std::string content = match[2].str();
        for (std::size_t at; (at = content.find("→")) != std::string::npos;) content.replace(at, 3, "\t");
        lines.push_back(content);
    }
    return lines;
}

struct Range {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    bool operator==(const Range&) const = default;
};

// "| 25–31 | **File section** ..." rows of the example's table, by part name.
std::map<std::string, Range> AnnotatedParts(const std::string& doc, int version) {
    const std::string heading = "### Format version " + std::to_string(version) + ":";
    std::size_t begin = doc.find(heading);
    const std::size_t end = doc.find("<!-- example: examples/format-" + std::to_string(version), begin);
    std::map<std::string, Range> parts;
    if (begin == std::string::npos || end == std::string::npos) {
        ADD_FAILURE() << "no section for format version " << version;
        return parts;
    }
    std::istringstream text(doc.substr(begin, end - begin));
    const std::regex row(R"(^\| (\d+)(?:–(\d+))? \| \*\*([^*]+)\*\*.*$)");
    for (std::string line; std::getline(text, line);) {
        std::smatch match;
        if (!std::regex_match(line, match, row)) continue;
        const std::uint64_t first = std::stoul(match[1].str());
        parts[match[3].str()] = Range{first, match[2].matched ? std::stoul(match[2].str()) : first};
    }
    return parts;
}

// Where each part of the log stands, from the plan of the log and its format version line.
std::map<std::string, Range> PartsOf(const Plan& plan, const std::vector<std::string>& lines) {
    std::uint64_t version_line = 1;
    while (version_line <= lines.size() && (lines[version_line - 1].empty() || lines[version_line - 1][0] == ';')) {
        ++version_line;
    }
    const bool long_header = plan.header.format_version >= 3;
    std::map<std::string, Range> parts;
    if (version_line > 1) parts["Comment lines"] = {1, version_line - 1};
    parts["Format version"] = {version_line, version_line};
    std::uint64_t product = version_line + 1;
    if (long_header) {
        parts["Install scope"] = {product, product};
        ++product;
    }
    parts["Product name"] = {product, product};
    parts["Ignored header lines"] = {product + 1, product + 6};
    parts["Confirmation text"] = {product + 7, product + 9};
    parts["Completion text"] = {product + 10, product + 10};
    parts["Restart text"] = {product + 11, product + 12};
    if (long_header) parts["Administrator text"] = {product + 13, product + 13};
    parts["Pre-uninstall command"] = {plan.pre_uninstall_command.line, plan.pre_uninstall_command.line};
    const char* blocks[] = {"First ignored block", "Second ignored block"};
    std::uint64_t next = 0;
    for (int i = 0; i < 2; ++i) {
        const IgnoredBlockPlan& block = plan.ignored_blocks[i];
        const std::uint64_t records = block.count > 0 ? static_cast<std::uint64_t>(block.count) : 0;
        parts[blocks[i]] = {block.count_line, block.count_line + records * block.lines_per_record};
        next = parts[blocks[i]].last + 1;
    }
    const char* sections[] = {"File section", "Registry section", "Association section", "Component section"};
    for (int i = 0; i < kSectionCount; ++i) {
        parts[sections[i]] = {next, plan.sections[i].terminator_line};
        next = plan.sections[i].terminator_line + 1;
    }
    return parts;
}

Plan PlanOf(const std::string& bytes) {
    sim::Machine machine;
    machine.WriteFile(kLog, bytes);
    return BuildPlan(kLog);
}

TEST(CheckExamples, EveryExampleChecksClean) {
    const char16_t* products[] = {u"Quillmark 1.4 f\u00FCr Windows", u"Harbour Tides 3.0 \u2014 \u00C5lesund edition",
                                  u"Pocket Atlas 5 \u2013 \u00C9dition scolaire",
                                  u"Lumen Ledger 2.1 \u2014 Caf\u00E9 edition"};
    for (int version = 1; version <= 4; ++version) {
        SCOPED_TRACE("format-" + std::to_string(version) + ".log");
        const std::string bytes = ReadFile(ExamplePath(version));
        Plan plan = PlanOf(bytes);
        EXPECT_TRUE(plan.findings.empty()) << test::Utf8(RenderText(plan));
        EXPECT_EQ(plan.ExitStatus(), 0);
        EXPECT_EQ(plan.header.format_version, version);
        EXPECT_EQ(plan.header.utf8, version % 2 == 0);
        EXPECT_EQ(plan.header.product_name, products[version - 1]);
        for (const SectionPlan& section : plan.sections) EXPECT_NE(section.terminator_line, 0u);
        EXPECT_FALSE(plan.files.empty());
        EXPECT_FALSE(plan.registry.empty());
    }
}

TEST(CheckExamples, BytesAreInTheEncodingOfTheirVersion) {
    for (int version = 1; version <= 4; ++version) {
        SCOPED_TRACE("format-" + std::to_string(version) + ".log");
        const std::string bytes = ReadFile(ExamplePath(version));
        ASSERT_FALSE(bytes.empty());
        EXPECT_NE(bytes.compare(0, 3, "\xEF\xBB\xBF"), 0) << "a byte-order mark";
        EXPECT_EQ(IsUtf8(bytes), version % 2 == 0);
        EXPECT_TRUE(std::any_of(bytes.begin(), bytes.end(), [](char c) {
            return static_cast<unsigned char>(c) >= 0x80;
        })) << "no text outside ASCII to show the encoding";
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            if (bytes[i] == '\n') {
                EXPECT_TRUE(i > 0 && bytes[i - 1] == '\r') << "LF without CR at byte " << i;
            }
            if (bytes[i] == '\r') {
                EXPECT_TRUE(i + 1 < bytes.size() && bytes[i + 1] == '\n') << "lone CR at byte " << i;
            }
            EXPECT_NE(bytes[i], '\x1A');
        }
        EXPECT_EQ(bytes.substr(bytes.size() - 5), "%%%\r\n");
    }
}

TEST(CheckExamples, DocumentShowsTheFilesAndTheirParts) {
    sim::Machine machine;  // decodes Windows-1252 as Windows does
    const std::string doc = ReadFile(kDocs + "deployment-log.md");
    for (int version = 1; version <= 4; ++version) {
        SCOPED_TRACE("format-" + std::to_string(version) + ".log");
        const std::string bytes = ReadFile(ExamplePath(version));
        const std::vector<std::string> lines = DecodedLines(bytes, version);
        EXPECT_EQ(Listing(doc, version), lines);

        machine.WriteFile(kLog, bytes);
        const Plan plan = BuildPlan(kLog);
        const std::map<std::string, Range> want = PartsOf(plan, lines);
        const std::map<std::string, Range> said = AnnotatedParts(doc, version);
        for (const auto& [part, range] : said) {
            SCOPED_TRACE(part);
            ASSERT_EQ(want.count(part), 1u) << "a part no log of this version has";
            EXPECT_EQ(range.first, want.at(part).first);
            EXPECT_EQ(range.last, want.at(part).last);
        }
        for (const auto& [part, range] : want) EXPECT_EQ(said.count(part), 1u) << part << " is not annotated";
    }
}

// The keys the document lists as refused for "*" entries are the ones the uninstaller refuses.
TEST(CheckExamples, DocumentedRefusedKeysAreRefused) {
    sim::Machine machine;  // compares key names as Windows does
    const std::string doc = ReadFile(kDocs + "deployment-log.md");
    auto names = [&doc](const std::string& marker) {
        const std::size_t begin = doc.find("<!-- " + marker + " -->");
        const std::size_t end = doc.find("<!-- /" + marker + " -->");
        std::vector<std::u16string> found;
        if (begin == std::string::npos || end == std::string::npos) {
            ADD_FAILURE() << "no list " << marker;
            return found;
        }
        const std::string text = doc.substr(begin, end - begin);
        const std::regex quoted("`([^`]+)`");
        for (auto it = std::sregex_iterator(text.begin(), text.end(), quoted); it != std::sregex_iterator(); ++it) {
            found.push_back(test::Utf16((*it)[1].str()));
        }
        return found;
    };
    const std::vector<std::u16string> keys = names("refused-keys");
    const std::vector<std::u16string> class_keys = names("refused-class-keys");
    EXPECT_EQ(keys.size(), 25u);
    EXPECT_EQ(class_keys.size(), 20u);
    for (const std::u16string& key : keys) {
        EXPECT_TRUE(IsSharedKey(key, false)) << test::Utf8(key);
        EXPECT_TRUE(IsSharedKey(u"\\" + key + u"\\", false)) << test::Utf8(key);
        EXPECT_FALSE(IsSharedKey(key + u"\\Vendor", false)) << test::Utf8(key);
        // And under its second name: the 32-bit view, a numbered control set.
        for (const auto& [name, alias] :
             {std::pair<std::u16string, std::u16string>{u"Software", u"Software\\Wow6432Node"},
              {u"System\\CurrentControlSet", u"System\\ControlSet001"}}) {
            if (key.rfind(name, 0) != 0 || (key.size() > name.size() && key[name.size()] != u'\\')) continue;
            const std::u16string aliased = alias + key.substr(name.size());
            EXPECT_TRUE(IsRefusedWholeKey(RegistryRoot::kLocalMachine, aliased)) << test::Utf8(aliased);
            EXPECT_TRUE(IsRefusedWholeKey(RegistryRoot::kUsers, aliased)) << test::Utf8(aliased);
            EXPECT_FALSE(IsRefusedWholeKey(RegistryRoot::kLocalMachine, aliased + u"\\Vendor")) << test::Utf8(aliased);
        }
    }
    for (const std::u16string& key : class_keys) {
        EXPECT_TRUE(IsSharedKey(key, true)) << test::Utf8(key);
        EXPECT_TRUE(IsSharedKey(u"Software\\Classes\\" + key, false)) << test::Utf8(key);
        EXPECT_FALSE(IsSharedKey(key + u"\\{0}", true)) << test::Utf8(key);
        // A user's classes hive lies right under HKEY_USERS; the 32-bit view holds the same keys.
        EXPECT_TRUE(IsRefusedWholeKey(RegistryRoot::kUsers, key)) << test::Utf8(key);
        EXPECT_FALSE(IsRefusedWholeKey(RegistryRoot::kUsers, key + u"\\{0}")) << test::Utf8(key);
        EXPECT_TRUE(IsRefusedWholeKey(RegistryRoot::kClassesRoot, u"Wow6432Node\\" + key)) << test::Utf8(key);
        EXPECT_TRUE(IsRefusedWholeKey(RegistryRoot::kUsers, u"Wow6432Node\\" + key)) << test::Utf8(key);
        EXPECT_TRUE(IsSharedKey(u"Software\\Classes\\Wow6432Node\\" + key, false)) << test::Utf8(key);
        EXPECT_FALSE(IsRefusedWholeKey(RegistryRoot::kClassesRoot, u"Wow6432Node\\" + key + u"\\{0}"))
            << test::Utf8(key);
    }
}

}  // namespace
}  // namespace dismora::check
