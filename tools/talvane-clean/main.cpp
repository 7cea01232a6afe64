// talvane-clean: the dictation cleaner as a filter. Reads UTF-8 text on standard input and
// writes the cleaned text to standard output with nothing added, so a saved transcript can
// be cleaned the way a dictation is. With --list only the spoken-list step runs.

#include "text/SpokenList.h"
#include "text/TextCleaner.h"

#include <QByteArray>
#include <QString>
#include <QStringDecoder>

#include <cstdio>
#include <cstring>

namespace {

const char *usage = "Usage: talvane-clean [--list] < text > cleaned\n"
                    "Cleans Russian dictation text read as UTF-8 from standard input.\n"
                    "  --list  only turn a spoken list into a numbered one\n";

bool readAll(QByteArray &input)
{
    char buffer[65536];
    for (;;) {
        const size_t n = std::fread(buffer, 1, sizeof buffer, stdin);
        input.append(buffer, static_cast<qsizetype>(n));
        if (n < sizeof buffer)
            return !std::ferror(stdin);
    }
}

bool writeAll(const QByteArray &output)
{
    return std::fwrite(output.constData(), 1, static_cast<size_t>(output.size()), stdout) ==
               static_cast<size_t>(output.size()) &&
           std::fflush(stdout) == 0;
}

} // namespace

int main(int argc, char **argv)
{
    bool listOnly = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--list") == 0) {
            listOnly = true;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(usage, stdout);
            return 0;
        } else {
            std::fprintf(stderr, "talvane-clean: unknown option %s\n%s", argv[i], usage);
            return 2;
        }
    }

    QByteArray input;
    if (!readAll(input)) {
        std::fprintf(stderr, "talvane-clean: cannot read standard input\n");
        return 1;
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(input);
    if (decoder.hasError()) {
        std::fprintf(stderr, "talvane-clean: standard input is not UTF-8 text\n");
        return 1;
    }

    const QString cleaned = listOnly ? SpokenList::asList(text) : TextCleaner::clean(text);
    if (!writeAll(cleaned.toUtf8())) {
        std::fprintf(stderr, "talvane-clean: cannot write standard output\n");
        return 1;
    }
    return 0;
}
