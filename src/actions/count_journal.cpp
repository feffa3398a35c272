#include "actions/count_journal.h"

#include <cstring>

#include "environment/files.h"
#include "environment/well_known_folders.h"

namespace dismora {

namespace {

constexpr win::DWORD kTag = 0x324A4D44;  // "DMJ2"
// The tag, the log's volume, file index, size and last write, and its name's length.
constexpr std::size_t kFixedUnits = std::size_t{2} * 9;
constexpr std::size_t kRecordUnits = 6;  // line, count, check
constexpr win::DWORD kRecordBytes = 2 * kRecordUnits;
// Mixed into a record's check: which of the two it is. Any other pattern, and so a record
// cut short and padded, reads as no record at all.
constexpr win::DWORD kAboutMark = 0x41424F55;
constexpr win::DWORD kLoweredMark = 0x4C4F5745;

void AppendWord(Text& units, win::DWORD word) {
    units += static_cast<char16_t>(word);
    units += static_cast<char16_t>(word >> 16);
}

win::DWORD WordAt(const Text& units, std::size_t at) {
    return units[at] | static_cast<win::DWORD>(units[at + 1]) << 16;
}

// The whole file as units; an odd last byte is dropped with what it would have begun.
void ReadAll(win::HANDLE file, Text& units, win::DWORD& bytes) {
    char buffer[512];
    win::DWORD got = 0;
    bytes = 0;
    while (win::ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got != 0) {
        bytes += got;
        units.append(reinterpret_cast<const char16_t*>(buffer), got / 2);
        if (got % 2 != 0) break;
    }
}

// The name a journal carries, or empty when the units hold no journal.
TextView CarriedName(const Text& units) {
    if (units.size() < kFixedUnits || WordAt(units, 0) != kTag) return {};
    const win::DWORD length = WordAt(units, kFixedUnits - 2);
    if (length == 0 || units.size() - kFixedUnits < length) return {};
    return TextView(units).substr(kFixedUnits, length);
}

bool WriteAll(win::HANDLE file, const void* bytes, win::DWORD size) {
    win::DWORD written = 0;
    return win::WriteFile(file, bytes, size, &written, nullptr) && written == size;
}

}  // namespace

Text JournalPath(const Text& log_name) {
    return Concat({log_name, u".journal"});
}

bool IsJournalOfItsLog(const Text& path, Text& name) {
    UniqueFileHandle file = OpenForReading(path, win::FILE_SHARE_READ);
    if (!file.IsValid()) return false;
    Text units;
    win::DWORD bytes = 0;
    ReadAll(file.Get(), units, bytes);
    // The journal of the log beside it: the name it carries is its own place's, less ".journal".
    const TextView carried = CarriedName(units);
    name = FinalPathOf(file.Get(), path);
    return !carried.empty() && SameFileName(JournalPath(Text(carried)), name);
}

void CountJournal::Open(const Text& log_name, win::HANDLE log_file) {
    path_ = JournalPath(log_name);
    // The log's volume, file index, size and last write: a log written anew is another log.
    win::BY_HANDLE_FILE_INFORMATION info = {};
    if (!win::GetFileInformationByHandle(log_file, &info)) return;
    for (win::DWORD word : {kTag, info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow,
                            info.nFileSizeHigh, info.nFileSizeLow, info.ftLastWriteTime.dwLowDateTime,
                            info.ftLastWriteTime.dwHighDateTime, static_cast<win::DWORD>(log_name.size())}) {
        AppendWord(header_, word);
    }
    header_ += log_name;
    UniqueFileHandle file = OpenForReading(path_, win::FILE_SHARE_READ);
    if (!file.IsValid()) {
        // Nothing there, or nothing that can be read: only a missing file is a free place.
        foreign_ = win::GetLastError() != win::ERROR_FILE_NOT_FOUND;
        return;
    }
    Text units;
    win::DWORD bytes = 0;
    ReadAll(file.Get(), units, bytes);
    valid_ = units.compare(0, header_.size(), header_) == 0;
    // A journal of a log written anew at this place may be replaced, and so may this log's
    // own journal cut short while its header was written; any other file stays.
    const bool cut_short = units.size() < header_.size() && header_.compare(0, units.size(), units) == 0;
    foreign_ = !valid_ && !cut_short && !SameFileName(CarriedName(units), log_name);
    if (!valid_) return;
    const win::DWORD body = bytes - static_cast<win::DWORD>(2 * header_.size());
    tail_ = body % kRecordBytes;
    // Appended, like the header above, to the text still empty: no part copied out first.
    records_.append(units.data() + header_.size(), (body / kRecordBytes) * kRecordUnits);
}

CountJournal::Entry CountJournal::Recorded(std::uint32_t line, win::DWORD& count) const {
    Entry found = Entry::kNone;
    for (std::size_t at = 0; at < records_.size(); at += kRecordUnits) {
        const win::DWORD recorded_line = WordAt(records_, at);
        const win::DWORD recorded_count = WordAt(records_, at + 2);
        const win::DWORD check = WordAt(records_, at + 4) ^ recorded_line ^ recorded_count;
        if (recorded_line != line || (check != kAboutMark && check != kLoweredMark)) continue;
        if (found == Entry::kLowered) continue;
        found = check == kLoweredMark ? Entry::kLowered : Entry::kAbout;
        count = recorded_count;
    }
    return found;
}

bool CountJournal::Record(std::uint32_t line, win::DWORD count, Entry what) {
    if (!file_.IsValid()) {
        if (foreign_ || header_.empty()) return false;
        // This log's journal is appended to; a record cut short at its end is padded to a
        // whole one, which reads as none, so that the records after it stay aligned. A
        // journal of an earlier log at this place goes, and a new one, which never replaces a
        // file, starts with the header. One opening and one write serve both.
        const bool append = valid_;
        if (!append) win::DeleteFileW(path_.c_str());
        file_.Reset(win::CreateFileW(path_.c_str(), append ? win::FILE_APPEND_DATA : win::GENERIC_WRITE,
                                     win::FILE_SHARE_READ, nullptr, append ? win::OPEN_EXISTING : win::CREATE_NEW,
                                     win::FILE_ATTRIBUTE_NORMAL | win::FILE_FLAG_WRITE_THROUGH, nullptr));
        const char padding[kRecordBytes] = {};
        const void* bytes = append ? static_cast<const void*>(padding) : header_.data();
        const win::DWORD size = !append     ? static_cast<win::DWORD>(2 * header_.size())
                                : tail_ != 0 ? kRecordBytes - tail_
                                             : 0;
        valid_ = append || file_.IsValid();
        tail_ = 0;  // only this log's journal read has a record cut short
        if (file_.IsValid() && size != 0 && !WriteAll(file_.Get(), bytes, size)) file_.Reset();
        // Not to be written: never tried again in this run.
        if (!file_.IsValid()) foreign_ = true;
        if (foreign_) return false;
    }
    const win::DWORD record[3] = {line, count, line ^ count ^ (what == Entry::kLowered ? kLoweredMark : kAboutMark)};
    return WriteAll(file_.Get(), record, sizeof(record));
}

}  // namespace dismora
