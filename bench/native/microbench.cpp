// Native micro-benchmarks of two hot paths of the program, over the lean
// backend (lean_win.cpp):
//
//  lookup  the component lookup: a RemovalIndex built from a removal list of
//          100,000 paths, then 10,000 component lines looked up in it, as the
//          component section does; every answer is checked against the first
//          node of the list that equals the line ignoring case.
//  reader  LogReader::ReadLineInto over a 100 MiB UTF-8 log (once with paths in
//          several scripts, once with ASCII paths), against a plain memchr
//          split of the same file read in the same 64 KiB blocks, and against
//          that split plus two conversions per line (what any reader decoding
//          line by line adds); the line count and the UTF-16 units are checked.
//
//   dismora_microbench --log FILE --json FILE [--runs N]
// Prints a summary and writes the figures as JSON; exits non-zero when a check fails.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "actions/components.h"
#include "platform/utf8.h"
#include "actions/removal_list.h"
#include "case_fold.h"
#include "log/log_reader.h"

namespace {

using Clock = std::chrono::steady_clock;
using dismora::Text;

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// A fixed pseudo-random sequence, so every run measures the same data.
class Sequence {
public:
    explicit Sequence(std::uint64_t seed) : state_(seed) {}
    std::uint32_t Next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return static_cast<std::uint32_t>(state_ >> 16);
    }
    std::uint32_t Below(std::uint32_t n) { return Next() % n; }

private:
    std::uint64_t state_;
};

Text Utf16(const std::string& ascii) { return Text(ascii.begin(), ascii.end()); }

std::string Format(const char* format, unsigned a, unsigned b = 0, unsigned c = 0) {
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, format, a, b, c);
    return buffer;
}

Text FoldedKey(const Text& text) {
    Text key = text;
    for (char16_t& c : key) c = bench::FoldCase(c);
    return key;
}

Text SwapAsciiCase(Text text) {
    for (char16_t& c : text) {
        if (c >= u'a' && c <= u'z') {
            c = static_cast<char16_t>(c - 0x20);
        } else if (c >= u'A' && c <= u'Z') {
            c = static_cast<char16_t>(c + 0x20);
        }
    }
    return text;
}

// Folder names of an installation, a few of them in other scripts.
const char16_t* const kFolders[] = {u"bin",      u"lib",       u"plugins", u"Resources",         u"Données",
                                    u"Überblick", u"Документы", u"help",    u"Ελληνικά", u"share"};
const char16_t* const kAsciiFolders[] = {u"bin",      u"lib",       u"plugins", u"Resources", u"Data",
                                         u"Overview", u"Documents", u"help",    u"Greek",     u"share"};
const char* const kExtensions[] = {"dll", "ocx", "tlb", "exe", "dat", "txt", "xml", "png"};

// --- component lookup ------------------------------------------------------------

struct LookupFigures {
    std::size_t paths = 0;
    std::size_t lookups = 0;
    std::size_t hits = 0;
    std::vector<double> build_s, find_s, total_s;
    double walk_per_lookup_s = 0;
    std::size_t walk_sample = 0;
    bool correct = true;
};

LookupFigures BenchLookup(int runs) {
    constexpr std::size_t kPaths = 100000;
    constexpr std::size_t kLookups = 10000;
    Sequence random(0x5EEDu);
    std::vector<Text> paths;
    paths.reserve(kPaths);
    for (std::size_t i = 0; i < kPaths; ++i) {
        if (i % 500 == 499) {
            // Now and then a path that the list already holds, in other letter case.
            paths.push_back(SwapAsciiCase(paths[random.Below(static_cast<std::uint32_t>(i))]));
            continue;
        }
        Text path = u"C:\\Program Files\\Dismora Bench\\" + Utf16(Format("Module%03u\\", random.Below(400))) +
                    kFolders[random.Below(10)] + u"\\" + Utf16(Format("File%06u.", static_cast<unsigned>(i))) +
                    Utf16(kExtensions[random.Below(8)]);
        paths.push_back(std::move(path));
    }
    dismora::RemovalList list;
    for (const Text& path : paths) dismora::AddToRemovalList(list, path);

    // The answer a walk from the head gives: the first node with the same folded text.
    std::unordered_map<Text, const dismora::TDismoraFile*> first;
    for (const dismora::TDismoraFile* node = list.Head(); node != nullptr; node = node->Next) {
        first.emplace(FoldedKey(node->Path), node);
    }
    std::vector<Text> lines;
    std::vector<const dismora::TDismoraFile*> expected;
    for (std::size_t i = 0; i < kLookups; ++i) {
        Text line;
        if (i % 10 < 8) {
            line = SwapAsciiCase(paths[(i * 7919 + 13) % kPaths]);  // listed, in other letter case
        } else {
            line = Utf16(Format("C:\\Program Files\\Dismora Bench\\Missing\\Component%05u.dll", static_cast<unsigned>(i)));
        }
        auto it = first.find(FoldedKey(line));
        expected.push_back(it == first.end() ? nullptr : it->second);
        lines.push_back(std::move(line));
    }

    LookupFigures figures;
    figures.paths = kPaths;
    figures.lookups = kLookups;
    std::vector<const dismora::TDismoraFile*> found(kLookups);
    for (int run = 0; run < runs + 1; ++run) {
        Clock::time_point start = Clock::now();
        dismora::RemovalIndex index(list);
        Clock::time_point built = Clock::now();
        for (std::size_t i = 0; i < kLookups; ++i) found[i] = index.Find(lines[i]);
        Clock::time_point done = Clock::now();
        if (run == 0) continue;  // the first run only warms the caches
        figures.build_s.push_back(Seconds(start, built));
        figures.find_s.push_back(Seconds(built, done));
        figures.total_s.push_back(Seconds(start, done));
    }
    for (std::size_t i = 0; i < kLookups; ++i) {
        if (found[i] != expected[i]) {
            figures.correct = false;
            std::fprintf(stderr, "lookup %zu: wrong node\n", i);
            break;
        }
        if (found[i] != nullptr) ++figures.hits;
    }

    // For scale: the same lookup as a walk from the head, over a sample of the lines.
    constexpr std::size_t kWalkSample = 200;
    Clock::time_point start = Clock::now();
    std::size_t walk_hits = 0;
    for (std::size_t i = 0; i < kWalkSample; ++i) {
        for (const dismora::TDismoraFile* node = list.Head(); node != nullptr; node = node->Next) {
            if (dismora::CompareLocaleNoCase(node->Path, lines[i]) == 0) {
                if (node != expected[i]) figures.correct = false;
                ++walk_hits;
                break;
            }
        }
    }
    figures.walk_per_lookup_s = Seconds(start, Clock::now()) / kWalkSample;
    figures.walk_sample = kWalkSample;
    if (walk_hits == 0) figures.correct = false;
    return figures;
}

// --- log reader ------------------------------------------------------------------

struct ReaderFigures {
    std::uint64_t bytes = 0;
    std::uint64_t lines = 0;
    std::uint64_t units = 0;
    std::vector<double> reader_s, memchr_s, convert_s;
    bool correct = true;
};


// A version 4 log of about the given size: its header, then a file section of
// installed paths (unless ascii_only, some in other scripts, some with characters beyond
// the BMP), CR LF line ends as Windows writes them. Returns the line count and UTF-16 units.
bool WriteLog(const std::string& path, std::uint64_t target, bool ascii_only, std::uint64_t& lines,
              std::uint64_t& units) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    Sequence random(0x106u);
    std::string block;
    lines = units = 0;
    std::uint64_t written = 0;
    auto add_line = [&](const std::string& utf8, std::uint64_t line_units) {
        block += utf8;
        block += "\r\n";
        ++lines;
        units += line_units;
    };
    const char* const header[] = {"4", "CURRENT", "Dismora Bench", "1", "2", "3", "4", "5", "6",
                                  "Remove %s?", "Everything goes.", "Press Yes.", "%s was removed.",
                                  "Some files could not be removed.", "They go at the next restart.",
                                  "Administrator rights are needed to remove %s.", "", "0", "0"};
    for (const char* line : header) add_line(line, std::strlen(line));
    std::uint64_t index = 0;
    while (written + block.size() < target) {
        std::string line = "C:\\Program Files\\Dismora Bench\\";
        std::uint64_t line_units = line.size();
        std::string folder = Format("Module%03u\\", random.Below(400));
        line += folder;
        line_units += folder.size();
        const char16_t* name = (ascii_only ? kAsciiFolders : kFolders)[random.Below(10)];
        line += dismora::ToUtf8(name);
        line_units += std::char_traits<char16_t>::length(name);
        std::uint32_t kind = ascii_only ? 100 : random.Below(100);
        if (kind < 3) {
            line += "\\\xE6\x96\x87\xE6\xA1\xA3";  // two CJK characters
            line_units += 3;
        } else if (kind < 5) {
            line += "\\\xF0\x9F\x8E\xB5";  // one character beyond the BMP: a surrogate pair
            line_units += 3;
        }
        std::string leaf = Format("\\File%06u.", static_cast<unsigned>(index++ % 1000000)) +
                           kExtensions[random.Below(8)];
        line += leaf;
        line_units += leaf.size();
        add_line(line, line_units);
        if (block.size() >= (1u << 20)) {
            written += std::fwrite(block.data(), 1, block.size(), file);
            block.clear();
        }
    }
    for (const char* line : {"%%%", "%%%", "%%%", "%%%"}) add_line(line, 3);
    written += std::fwrite(block.data(), 1, block.size(), file);
    return std::fclose(file) == 0;
}

// The plain split: the same blocks, one memchr per line end, lines counted and measured.
void MemchrSplit(const std::string& path, std::uint64_t& lines, std::uint64_t& length) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    std::vector<char> buffer(64 * 1024);
    lines = length = 0;
    std::uint64_t pending = 0;
    ssize_t got;
    while ((got = ::read(fd, buffer.data(), buffer.size())) > 0) {
        const char* p = buffer.data();
        const char* end = p + got;
        while (p < end) {
            const char* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
            if (lf == nullptr) {
                pending += static_cast<std::uint64_t>(end - p);
                break;
            }
            length += pending + static_cast<std::uint64_t>(lf - p);
            pending = 0;
            ++lines;
            p = lf + 1;
        }
    }
    if (pending > 0) {
        length += pending;
        ++lines;
    }
    ::close(fd);
}

// The split plus what any reader that decodes line by line must add: two conversions
// per line (size, then text) into a buffer that is reused, the CR before the LF left out.
void SplitAndConvert(const std::string& path, std::uint64_t& lines, std::uint64_t& units) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    std::vector<char> buffer(64 * 1024);
    std::string carry;
    std::u16string text(4096, u'\0');
    lines = units = 0;
    auto convert = [&](const char* p, std::size_t n) {
        if (n > 0 && p[n - 1] == '\r') --n;
        ++lines;
        if (n == 0) return;
        int needed = win::MultiByteToWideChar(win::CP_UTF8, 0, p, static_cast<int>(n), nullptr, 0);
        if (static_cast<std::size_t>(needed) > text.size()) text.resize(static_cast<std::size_t>(needed));
        units += static_cast<std::uint64_t>(
            win::MultiByteToWideChar(win::CP_UTF8, 0, p, static_cast<int>(n), text.data(), needed));
    };
    ssize_t got;
    while ((got = ::read(fd, buffer.data(), buffer.size())) > 0) {
        const char* p = buffer.data();
        const char* end = p + got;
        while (p < end) {
            const char* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
            if (lf == nullptr) {
                carry.append(p, end);
                break;
            }
            if (carry.empty()) {
                convert(p, static_cast<std::size_t>(lf - p));
            } else {
                carry.append(p, lf);
                convert(carry.data(), carry.size());
                carry.clear();
            }
            p = lf + 1;
        }
    }
    if (!carry.empty()) convert(carry.data(), carry.size());
    ::close(fd);
}

ReaderFigures BenchReader(const std::string& path, int runs, bool ascii_only) {
    ReaderFigures figures;
    std::uint64_t expected_lines = 0;
    std::uint64_t expected_units = 0;
    if (!WriteLog(path, 100ull << 20, ascii_only, expected_lines, expected_units)) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        figures.correct = false;
        return figures;
    }
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        figures.correct = false;
        return figures;
    }
    figures.bytes = static_cast<std::uint64_t>(status.st_size);
    Text file_name(path.begin(), path.end());
    for (int run = 0; run < runs + 1; ++run) {
        std::uint64_t lines = 0;
        std::uint64_t length = 0;
        Clock::time_point start = Clock::now();
        MemchrSplit(path, lines, length);
        Clock::time_point split = Clock::now();
        if (run > 0) figures.memchr_s.push_back(Seconds(start, split));
        if (lines != expected_lines) figures.correct = false;

        std::uint64_t converted_units = 0;
        start = Clock::now();
        SplitAndConvert(path, lines, converted_units);
        Clock::time_point converted = Clock::now();
        if (run > 0) figures.convert_s.push_back(Seconds(start, converted));
        if (lines != expected_lines || converted_units != expected_units) figures.correct = false;

        dismora::LogReader reader;
        std::uint64_t read_lines = 0;
        std::uint64_t read_units = 0;
        start = Clock::now();
        if (!reader.Open(file_name)) {
            figures.correct = false;
            break;
        }
        reader.SetUtf8(true);
        Text line;  // reused, as the sections reuse theirs
        while (!reader.AtEnd()) {
            reader.ReadLineInto(line);
            ++read_lines;
            read_units += line.size();
        }
        reader.Close();
        Clock::time_point read = Clock::now();
        if (run > 0) figures.reader_s.push_back(Seconds(start, read));
        if (read_lines != expected_lines || read_units != expected_units) {
            std::fprintf(stderr, "reader: %llu lines, %llu units; expected %llu, %llu\n",
                         static_cast<unsigned long long>(read_lines), static_cast<unsigned long long>(read_units),
                         static_cast<unsigned long long>(expected_lines),
                         static_cast<unsigned long long>(expected_units));
            figures.correct = false;
        }
        figures.lines = read_lines;
        figures.units = read_units;
    }
    return figures;
}

void WriteList(std::FILE* out, const char* name, const std::vector<double>& values) {
    std::fprintf(out, "\"%s\": [", name);
    for (std::size_t i = 0; i < values.size(); ++i) std::fprintf(out, "%s%.6f", i ? ", " : "", values[i]);
    std::fprintf(out, "]");
}

void PrintReader(const char* title, const ReaderFigures& reader, int runs) {
    if (reader.reader_s.empty()) return;
    double mib = static_cast<double>(reader.bytes) / (1 << 20);
    std::printf("log reader, %s: %.0f MiB, %llu lines: ReadLineInto %.3f s (%.0f MiB/s), memchr split %.3f s"
                " (%.0f MiB/s), split and convert %.3f s (median of %d)\n",
                title, mib, static_cast<unsigned long long>(reader.lines), Median(reader.reader_s),
                mib / Median(reader.reader_s), Median(reader.memchr_s), mib / Median(reader.memchr_s),
                Median(reader.convert_s), runs);
}

void WriteReader(std::FILE* out, const char* name, const ReaderFigures& reader) {
    std::fprintf(out, ",\n \"%s\": {\"bytes\": %llu, \"lines\": %llu, \"units\": %llu, \"correct\": %s, ", name,
                 static_cast<unsigned long long>(reader.bytes), static_cast<unsigned long long>(reader.lines),
                 static_cast<unsigned long long>(reader.units), reader.correct ? "true" : "false");
    WriteList(out, "reader_s", reader.reader_s);
    std::fprintf(out, ", ");
    WriteList(out, "memchr_s", reader.memchr_s);
    std::fprintf(out, ", ");
    WriteList(out, "convert_s", reader.convert_s);
    std::fprintf(out, "}");
}

}  // namespace

int main(int argc, char** argv) {
    std::string log_path;
    std::string json_path;
    int runs = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        if (option == "--log") {
            log_path = argv[i + 1];
        } else if (option == "--json") {
            json_path = argv[i + 1];
        } else if (option == "--runs") {
            runs = std::max(1, std::atoi(argv[i + 1]));
        }
    }
    if (log_path.empty() || json_path.empty()) {
        std::fprintf(stderr, "usage: %s --log FILE --json FILE [--runs N]\n", argv[0]);
        return 2;
    }

    LookupFigures lookup = BenchLookup(runs);
    std::printf("component lookup: %zu paths, %zu lookups (%zu found): build %.2f ms + find %.2f ms = %.2f ms"
                " (median of %d); a walk from the head: %.3f ms per lookup\n",
                lookup.paths, lookup.lookups, lookup.hits, Median(lookup.build_s) * 1e3,
                Median(lookup.find_s) * 1e3, Median(lookup.total_s) * 1e3, runs, lookup.walk_per_lookup_s * 1e3);

    ReaderFigures reader = BenchReader(log_path, runs, false);
    PrintReader("paths in several scripts", reader, runs);
    ReaderFigures ascii = BenchReader(log_path, runs, true);
    PrintReader("ASCII paths", ascii, runs);
    ::unlink(log_path.c_str());

    std::FILE* out = std::fopen(json_path.c_str(), "w");
    if (out == nullptr) return 2;
    std::fprintf(out, "{\n \"runs\": %d,\n \"lookup\": {\"paths\": %zu, \"lookups\": %zu, \"hits\": %zu, "
                      "\"correct\": %s, \"walk_sample\": %zu, \"walk_per_lookup_s\": %.9f, ",
                 runs, lookup.paths, lookup.lookups, lookup.hits, lookup.correct ? "true" : "false",
                 lookup.walk_sample, lookup.walk_per_lookup_s);
    WriteList(out, "build_s", lookup.build_s);
    std::fprintf(out, ", ");
    WriteList(out, "find_s", lookup.find_s);
    std::fprintf(out, ", ");
    WriteList(out, "total_s", lookup.total_s);
    std::fprintf(out, "}");
    WriteReader(out, "reader", reader);
    WriteReader(out, "reader_ascii", ascii);
    std::fprintf(out, "\n}\n");
    std::fclose(out);
    if (!lookup.correct || !reader.correct || !ascii.correct) {
        std::fprintf(stderr, "a micro-benchmark computed a wrong answer; its figures are not valid\n");
        return 1;
    }
    return 0;
}
