// A cloud recogniser's answer, given as "<status>\n<body>": a success is one trimmed line
// of text, anything else a CloudError with that status and a message.
#include "Fuzz.h"

#include "recognition/RemoteTranscriber.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    const qsizetype line = input.indexOf('\n');
    bool number = false;
    const int status = input.left(line).toInt(&number);
    if (line < 0 || line > 3 || !number)
        return -1;
    try {
        const QString text = RemoteTranscriber::answer(status, input.mid(line + 1), QStringLiteral("Nimbrel Cloud"));
        if (status < 200 || status > 299)
            Fuzz::fail("a refusal gave text");
        if (text.contains(QLatin1Char('\n')) || text != text.trimmed())
            Fuzz::fail("the text is not one trimmed line");
    } catch (const CloudError &error) {
        if (error.status() != status || error.message().trimmed().isEmpty() || (status >= 200 && status <= 299))
            Fuzz::fail("a refusal without its status or a message");
    }
    return 0;
}
