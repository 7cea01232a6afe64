// Login entries: any file found in place of ours is read or turned down by both formats;
// and any absolute path the program may run from, written as an entry, reads back as
// that same path.
#include "Fuzz.h"

#include "platform/Autostart.h"

#include <algorithm>

namespace {

// XML 1.0 has no way to write most control characters, U+FFFE or U+FFFF: a launch agent
// cannot name such a path at all.
bool xmlCanHold(const QString &text)
{
    return std::none_of(text.begin(), text.end(), [](QChar c) {
        const char16_t u = c.unicode();
        return (u < 0x20 && u != u'\t' && u != u'\n' && u != u'\r') || u == 0xFFFE || u == 0xFFFF;
    });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString executable = QString::fromUtf8(bytes);
    const bool path =
        executable.startsWith(QLatin1Char('/')) && !executable.contains(QChar(0)) && executable.toUtf8() == bytes;
    for (const Autostart::Format *format : {&Autostart::xdgEntry(), &Autostart::launchAgent()}) {
        format->startedProgram(bytes);
        const bool writable = path && (format == &Autostart::xdgEntry() || xmlCanHold(executable));
        if (writable && format->startedProgram(format->entry(executable)) != executable)
            Fuzz::fail(
                qPrintable(format->fileName + QStringLiteral(": an entry does not start what it was written for")));
    }
    return 0;
}
