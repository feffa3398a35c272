#include "actions/count_journal.h"

#include <cstring>

namespace dismora {

namespace {

constexpr win::DWORD kTag = 0x314A4D44;  // "DMJ1"

// A line and its count as four units of a text, so that records compare as text.
void AppendRecord(Text& records, const win::DWORD record[2]) {
    char16_t units[4];
    std::memcpy(units, record, sizeof(units));
    records.append(units, 4);
}

}  // namespace

Text JournalPath(const Text& log_path) {
    return Concat({log_path, u".journal"});
}

void CountJournal::Open(const Text& path, win::HANDLE log_file) {
    path_ = path;
    // The log's volume, file index, size and last write: a log written anew is another log.
    win::BY_HANDLE_FILE_INFORMATION info = {};
    if (!win::GetFileInformationByHandle(log_file, &info)) return;
    const win::DWORD identity[kHeaderWords] = {kTag,
                                               info.dwVolumeSerialNumber,
                                               info.nFileIndexHigh,
                                               info.nFileIndexLow,
                                               info.nFileSizeHigh,
                                               info.nFileSizeLow,
                                               info.ftLastWriteTime.dwLowDateTime,
                                               info.ftLastWriteTime.dwHighDateTime};
    std::memcpy(header_, identity, sizeof(header_));
    UniqueFileHandle file(win::CreateFileW(path_.c_str(), win::GENERIC_READ, win::FILE_SHARE_READ, nullptr,
                                           win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL, nullptr));
    win::DWORD words[2 * 64];
    win::DWORD got = 0;
    if (!file.IsValid() || !win::ReadFile(file.Get(), words, sizeof(header_), &got, nullptr) ||
        got != sizeof(header_)) {
        return;
    }
    for (std::size_t i = 0; i < kHeaderWords; ++i) {
        if (words[i] != header_[i]) return;
    }
    valid_ = true;
    // Whole records only: one cut short by an ending run was not written through.
    while (win::ReadFile(file.Get(), words, sizeof(words), &got, nullptr) && got >= 8) {
        for (win::DWORD at = 0; at + 8 <= got; at += 8) AppendRecord(records_, words + at / 4);
    }
}

win::DWORD CountJournal::Recorded(std::uint64_t line) const {
    for (std::size_t at = 0; at < records_.size(); at += 4) {
        win::DWORD record[2];
        std::memcpy(record, records_.data() + at, sizeof(record));
        if (record[0] == line) return record[1];
    }
    return 0;
}

void CountJournal::Record(std::uint64_t line, win::DWORD count) {
    if (!file_.IsValid()) {
        // This log's journal is appended to; any other is written anew.
        file_.Reset(win::CreateFileW(path_.c_str(), valid_ ? win::FILE_APPEND_DATA : win::GENERIC_WRITE,
                                     win::FILE_SHARE_READ, nullptr, valid_ ? win::OPEN_EXISTING : win::CREATE_ALWAYS,
                                     win::FILE_ATTRIBUTE_NORMAL | win::FILE_FLAG_WRITE_THROUGH, nullptr));
        win::DWORD written = 0;
        if (file_.IsValid() && !valid_) {
            valid_ = win::WriteFile(file_.Get(), header_, sizeof(header_), &written, nullptr) &&
                     written == sizeof(header_);
        }
        if (!valid_) file_.Reset();
    }
    const win::DWORD record[2] = {static_cast<win::DWORD>(line), count};
    win::DWORD written = 0;
    if (file_.IsValid()) win::WriteFile(file_.Get(), record, sizeof(record), &written, nullptr);
}

}  // namespace dismora
