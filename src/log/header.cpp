#include "log/header.h"

#include "log/log_reader.h"

namespace dismora {

namespace {

// The separator and the next line after the text: each line read straight into its place,
// with no temporary text to move and free.
void AppendLine(LogReader& log, Text& text, const char16_t* separator, Text& scratch) {
    log.ReadLineInto(scratch);
    text += separator;
    text += scratch;
}

}  // namespace

HeaderStatus ParseHeader(LogReader& log, THeader& header) {
    using namespace std::string_view_literals;
    constexpr int kCommentLinesMax = 100;
    Text line;
    log.ReadLineInto(line);
    int extra_reads = 0;
    while (line.empty() || line[0] == u';') {
        log.ReadLineInto(line);
        if (++extra_reads > kCommentLinesMax) return HeaderStatus::kNoVersionLine;
    }
    header.format_version = ParseInteger(line);
    if (header.format_version < 1) return HeaderStatus::kBadVersion;
    log.SetUtf8(header.format_version % 2 == 0);

    header.all_users = true;
    header.auto_root = win::HKEY_LOCAL_MACHINE;
    if (header.format_version >= 3) {
        log.ReadLineInto(line);
        header.all_users = !SameText(line, u"CURRENT"sv);
        if (!SameText(line, u"ALL"sv)) header.auto_root = win::HKEY_CURRENT_USER;
    }
    if (header.format_version > 4) return HeaderStatus::kTooNew;

    log.ReadLineInto(header.product_name());
    log.SkipLines(6);
    log.ReadLineInto(header.confirmation_text());
    AppendLine(log, header.confirmation_text(), u"\r", line);
    AppendLine(log, header.confirmation_text(), u"\r\r", line);
    log.ReadLineInto(header.completion_text());
    log.ReadLineInto(header.restart_text());
    AppendLine(log, header.restart_text(), u"\r", line);
    if (header.format_version >= 3) {
        log.ReadLineInto(header.admin_text());
    } else {
        AssignAscii(header.admin_text(), "You need administrator privileges to uninstall %s");
    }
    return HeaderStatus::kOk;
}

}  // namespace dismora
