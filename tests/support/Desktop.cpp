#include "Desktop.h"

#include <QDir>
#include <QGuiApplication>
#include <QScreen>

namespace Desktop {

namespace {

QString scratchFile(const QString &name) // in the test's own home folder
{
    static int serial = 0;
    return QDir::home().filePath(QString::number(++serial) + name);
}

std::unique_ptr<Program> start(const QString &program, const QStringList &arguments, const QString &output = {})
{
    auto started = std::make_unique<Program>();
    started->output = output;
    started->process.start(program, arguments);
    if (output.isEmpty() && started->process.waitForReadyRead(5000)) // the X peer
        started->answer = QString::fromUtf8(started->process.readLine().trimmed());
    else if (!output.isEmpty() && started->process.waitForStarted(5000) && waitForActive(started->process.processId()))
        started->window = xdotool({"getactivewindow"}).toULongLong();
    return started->answer.isEmpty() && !started->window ? nullptr : std::move(started);
}

} // namespace

std::optional<QByteArray> run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    const bool ended = QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 20000);
    const bool ok = ended && process.error() == QProcess::UnknownError && process.exitCode() == 0;
    return ok ? std::optional(process.readAllStandardOutput()) : std::nullopt;
}

QString xdotool(const QStringList &arguments)
{
    const auto output = run(QStringLiteral("xdotool"), arguments);
    if (!output)
        QTest::qFail(qPrintable(QStringLiteral("xdotool %1 failed").arg(arguments.join(' '))), __FILE__, __LINE__);
    return QString::fromUtf8(output.value_or("")).trimmed();
}

bool waitForActive(qint64 pid)
{
    const QStringList active{"getactivewindow", "getwindowpid"};
    return QTest::qWaitFor([&] { return run("xdotool", active).value_or("").trimmed().toLongLong() == pid; }, 10000);
}

QRect geometry(quint64 window)
{
    const QString info = QString::fromUtf8(run("xwininfo", {"-id", QString::number(window)}).value_or(""));
    const auto value = [&](const char *key) { return info.section(key, 1, 1).section('\n', 0, 0).toInt(); };
    return {value("Absolute upper-left X:"), value("Absolute upper-left Y:"), value("Width:"), value("Height:")};
}

QImage screenshot(const QString &artifact)
{
    QTest::qWait(300); // let the compositor paint the latest frames first
    const QImage shot = QGuiApplication::primaryScreen()->grabWindow(0).toImage().convertToFormat(QImage::Format_RGB32);
    const QString file = QStringLiteral(TALVANE_ARTIFACTS_DIR "/%1.png").arg(artifact);
    QTest::qVerify(artifact.isEmpty() || shot.save(file), "saved", qPrintable(file), __FILE__, __LINE__);
    return shot;
}

void copy(const Types &types)
{
    QStringList arguments{QStringLiteral("own")};
    for (const auto &[type, bytes] : types) {
        arguments << type << (bytes ? scratchFile(QStringLiteral("copy")) : QStringLiteral("-"));
        if (bytes)
            TestSupport::writeFile(arguments.last(), *bytes);
    }
    const QStringList owner =
        types.size() == 1 && types.first().second
            ? QStringList{"xclip", "-selection", "clipboard", "-t", arguments[1], "-i", arguments[2]}
            : QStringList{TALVANE_X_PEER} + arguments;
    // It stays to serve the clipboard: in the background, holding none of our standard streams.
    QVERIFY(run("sh", QStringList{"-c", "\"$@\" >/dev/null 2>&1 &", "sh"} + owner));
    // The copy has happened once another client sees the new owner offering the first type.
    QTRY_VERIFY_WITH_TIMEOUT(clipboardTargets().contains(types.first().first), 5000);
}

void emptyClipboard()
{
    auto owner = startPeer({"own", "text/plain", "-"});
    QVERIFY(owner);
    owner.reset(); // an owner that is gone leaves the selection without one
    QTRY_VERIFY_WITH_TIMEOUT(clipboardTargets().isEmpty(), 5000);
}

QStringList clipboardTargets()
{
    return QString::fromUtf8(paste(QStringLiteral("TARGETS")).value_or("")).split('\n', Qt::SkipEmptyParts);
}

std::unique_ptr<Program> startPeer(const QStringList &arguments)
{
    return start(QStringLiteral(TALVANE_X_PEER), arguments);
}

std::unique_ptr<Program> startTextField()
{
    const QString output = scratchFile(QStringLiteral("field.txt"));
    return start(QStringLiteral(TALVANE_PASTE_TARGET), {output}, output);
}

std::unique_ptr<Program> startTerminal()
{
    const QString output = scratchFile(QStringLiteral("terminal.txt"));
    TestSupport::writeFile(output, {});
    return start("xterm",
                 {"-u8", "-xrm", "XTerm*VT100.translations: #override Ctrl Shift <Key>V: insert-selection(CLIPBOARD)",
                  "-e", "/bin/sh", "-c", QStringLiteral("stty -icanon -echo && exec cat > '%1'").arg(output)},
                 output);
}

} // namespace Desktop
