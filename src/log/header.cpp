#include "log/header.h"

#include "log/log_reader.h"

namespace dismora {

HeaderStatus ParseHeader(LogReader& log, THeader& header) {
    constexpr int kCommentLinesMax = 100;
    Text line = log.ReadLine();
    int extra_reads = 0;
    while (line.empty() || line[0] == u';') {
        line = log.ReadLine();
        if (++extra_reads > kCommentLinesMax) return HeaderStatus::kNoVersionLine;
    }
    header.format_version = ParseInteger(line);
    if (header.format_version < 1) return HeaderStatus::kBadVersion;
    log.SetUtf8(header.format_version % 2 == 0);

    if (header.format_version >= 3) {
        Text scope = log.ReadLine();
        header.all_users = !SameText(scope, u"CURRENT");
        header.auto_root = SameText(scope, u"ALL") ? win::HKEY_LOCAL_MACHINE : win::HKEY_CURRENT_USER;
    } else {
        header.all_users = true;
        header.auto_root = win::HKEY_LOCAL_MACHINE;
    }
    if (header.format_version > 4) return HeaderStatus::kTooNew;

    header.product_name = log.ReadLine();
    log.SkipLines(6);
    Text first = log.ReadLine();
    Text second = log.ReadLine();
    Text third = log.ReadLine();
    header.confirmation_text = Concat({first, u"\r", second, u"\r\r", third});
    header.completion_text = log.ReadLine();
    first = log.ReadLine();
    second = log.ReadLine();
    header.restart_text = Concat({first, u"\r", second});
    header.admin_text =
        header.format_version >= 3 ? log.ReadLine() : FromAscii("You need administrator privileges to uninstall %s");
    return HeaderStatus::kOk;
}

}  // namespace dismora
