#include "DesktopPeers.h"

#include "TestSupport.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

namespace DesktopPeers {

namespace {

QString scratchDir()
{
    static QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/talvane-peers-XXXXXX"));
    return dir.path();
}

QString scratchFile(const QString &name)
{
    static int serial = 0;
    return scratchDir() + QStringLiteral("/%1-%2").arg(++serial).arg(name);
}

bool waitFinished(QProcess &process, int ms)
{
    QDeadlineTimer deadline(ms);
    while (process.state() != QProcess::NotRunning && !deadline.hasExpired())
        QTest::qWait(10);
    return process.state() == QProcess::NotRunning;
}

} // namespace

Output run(const QString &program, const QStringList &arguments, const QByteArray &input)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(program, arguments);
    if (!process.waitForStarted(5000))
        return {};
    process.write(input);
    process.closeWriteChannel();
    if (!waitFinished(process, 10000)) {
        process.kill();
        process.waitForFinished(1000);
        return {};
    }
    return Output{process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                  process.readAllStandardOutput()};
}

void copy(const QByteArray &bytes, const QString &type)
{
    const QString file = scratchFile(QStringLiteral("copy"));
    TestSupport::writeFile(file, bytes);
    // xclip forks a child that owns the selection; its standard streams must not keep ours open.
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start(QStringLiteral("xclip"), {"-selection", "clipboard", "-t", type, "-i", file});
    QVERIFY(process.waitForStarted(5000));
    QVERIFY(waitFinished(process, 10000));
    QCOMPARE(process.exitCode(), 0);
    // The copy has happened once another client sees the new owner offering the type.
    QTRY_VERIFY_WITH_TIMEOUT(clipboardTargets().contains(type), 5000);
}

void copy(const QList<std::pair<QString, std::optional<QByteArray>>> &types)
{
    QStringList arguments{QStringLiteral("own")};
    for (const auto &[type, bytes] : types) {
        const QString file = bytes ? scratchFile(QStringLiteral("copy")) : QStringLiteral("-");
        if (bytes)
            TestSupport::writeFile(file, *bytes);
        arguments << type << file;
    }
    // It outlives this call, as xclip does: its standard streams must not keep ours open.
    QProcess peer;
    peer.setProgram(QStringLiteral(TALVANE_CLIPBOARD_PEER));
    peer.setArguments(arguments);
    peer.setStandardOutputFile(QProcess::nullDevice());
    peer.setStandardErrorFile(QProcess::nullDevice());
    QVERIFY(peer.startDetached());
    QTRY_VERIFY_WITH_TIMEOUT(clipboardTargets().contains(types.first().first), 5000);
}

std::unique_ptr<QProcess> startClipboardManager()
{
    auto manager = std::make_unique<QProcess>();
    manager->start(QStringLiteral(TALVANE_CLIPBOARD_PEER), {QStringLiteral("manager")});
    if (!manager->waitForReadyRead(5000) || !manager->readAll().startsWith("ready"))
        return nullptr;
    return manager;
}

void emptyClipboard()
{
    // xdotool has no clipboard command; an xclip that is killed at once leaves the selection without owner.
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start(QStringLiteral("xclip"), {"-selection", "clipboard", "-quiet", "-i", "/dev/null"});
    QVERIFY(process.waitForStarted(5000));
    QTRY_VERIFY_WITH_TIMEOUT(!clipboardTargets().isEmpty(), 5000);
    process.kill();
    QVERIFY(waitFinished(process, 5000));
    QTRY_VERIFY_WITH_TIMEOUT(clipboardTargets().isEmpty(), 5000);
}

std::optional<QByteArray> paste(const QString &type)
{
    const Output output = run(QStringLiteral("xclip"), {"-selection", "clipboard", "-t", type, "-o"});
    if (output.exitCode != 0)
        return std::nullopt;
    return output.out;
}

QStringList clipboardTargets()
{
    const auto targets = paste(QStringLiteral("TARGETS"));
    if (!targets)
        return {};
    return QString::fromUtf8(*targets).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

Window::~Window()
{
    if (process && process->state() != QProcess::NotRunning) {
        process->kill();
        process->waitForFinished(5000);
    }
}

QString Window::received() const
{
    return QString::fromUtf8(TestSupport::readFile(output));
}

bool waitForActive(qint64 pid)
{
    QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        const Output active = run(QStringLiteral("xdotool"), {"getactivewindow", "getwindowpid"});
        if (active.exitCode == 0 && active.out.trimmed().toLongLong() == pid)
            return true;
        QTest::qWait(50);
    }
    return false;
}

namespace {

std::unique_ptr<Window> start(const QString &program, const QStringList &arguments, const QString &output)
{
    auto window = std::make_unique<Window>();
    window->output = output;
    window->process = std::make_unique<QProcess>();
    window->process->setProcessChannelMode(QProcess::ForwardedChannels);
    window->process->start(program, arguments);
    if (!window->process->waitForStarted(5000) || !waitForActive(window->process->processId()))
        return nullptr;
    return window;
}

} // namespace

std::unique_ptr<Window> startTextField()
{
    const QString output = scratchFile(QStringLiteral("field.txt"));
    return start(QStringLiteral(TALVANE_PASTE_TARGET), {output}, output);
}

std::unique_ptr<Window> startTerminal()
{
    const QString output = scratchFile(QStringLiteral("terminal.txt"));
    TestSupport::writeFile(output, {});
    const QString command = QStringLiteral("stty -icanon -echo && exec cat > '%1'").arg(output);
    return start(QStringLiteral("xterm"),
                 {"-u8", "-xrm", "XTerm*VT100.translations: #override Ctrl Shift <Key>V: insert-selection(CLIPBOARD)",
                  "-e", "/bin/sh", "-c", command},
                 output);
}

} // namespace DesktopPeers
