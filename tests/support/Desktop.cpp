#include "Desktop.h"

#include <QDir>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScreen>
#include <QUuid>

namespace Desktop {

namespace {

// The process whose window has sway's focus.
qint64 swayFocus()
{
    QList<QJsonObject> nodes{QJsonDocument::fromJson(run("swaymsg", {"-t", "get_tree"}).value_or("")).object()};
    for (qsizetype i = 0; i < nodes.size(); ++i) {
        if (nodes[i]["focused"].toBool())
            return nodes[i]["pid"].toInteger();
        for (const char *children : {"nodes", "floating_nodes"})
            for (const QJsonValue &child : nodes[i][children].toArray())
                nodes.append(child.toObject());
    }
    return 0;
}

// %1 in `arguments` names the file a target window writes what reached it to.
std::unique_ptr<Program> start(const QString &program, QStringList arguments, bool target = false, bool wayland = false)
{
    auto started = std::make_unique<Program>();
    started->wayland = wayland;
    started->output = target ? QDir::home().filePath(QUuid::createUuid().toString(QUuid::Id128)) : QString();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", wayland ? "wayland" : "xcb"); // Qt would choose Wayland where it runs
    started->process.setProcessEnvironment(env);
    started->process.start(program, arguments.replaceInStrings("%1", started->output));
    const qint64 pid = started->process.waitForStarted(5000) ? started->process.processId() : 0;
    if (!target && started->process.waitForReadyRead(5000))
        started->answer = QString::fromUtf8(started->process.readLine().trimmed());
    else if (target && wayland && QTest::qWaitFor([&] { return swayFocus() == pid; }, 10000))
        started->window = pid;
    else if (target && !wayland && pid && waitForActive(pid))
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
    QTest::qVerify(output.has_value(), "xdotool", qPrintable(arguments.join(' ')), __FILE__, __LINE__);
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
    return artifact.isEmpty() ? shot : keep(shot, artifact);
}

QImage keep(const QImage &image, const QString &artifact)
{
    const QString file = QStringLiteral(TALVANE_ARTIFACTS_DIR "/%1.png").arg(artifact);
    QTest::qVerify(image.save(file), "saved", qPrintable(file), __FILE__, __LINE__);
    return image;
}

void copy(const Types &types)
{
    QStringList arguments{QStringLiteral("own")};
    for (const auto &[type, bytes] : types) {
        arguments << type << (bytes ? QDir::home().filePath(QUuid::createUuid().toString(QUuid::Id128)) : "-");
        if (bytes)
            TestSupport::writeFile(arguments.last(), *bytes);
    }
    QStringList owner = types.size() == 1 && types.first().second
                            ? QStringList{"xclip", "-selection", "clipboard", "-t", arguments[1], "-i", arguments[2]}
                            : QStringList{TALVANE_X_PEER} + arguments;
    if (waylandClipboard()) { // wl-copy offers one type, reading it from its standard input
        QVERIFY(types.size() < 2 && (types.isEmpty() || types.first().second));
        owner = types.isEmpty() ? QStringList{"wl-copy", "--clear"}
                                : QStringList{"sh", "-c", "exec wl-copy --type \"$0\" < \"$1\"", arguments[1], arguments[2]};
    }
    // It stays to serve the clipboard: in the background, holding none of our standard streams.
    QVERIFY(run("sh", QStringList{"-c", "\"$@\" >/dev/null 2>&1 &", "sh"} + owner));
    // The copy has happened once another client sees the new owner offering the first type, after TARGETS.
    if (waylandClipboard())
        QTRY_COMPARE_WITH_TIMEOUT(clipboardTargets().value(0), types.isEmpty() ? QString() : types[0].first, 5000);
    else
        QTRY_COMPARE_WITH_TIMEOUT(clipboardTargets().value(1), types.isEmpty() ? QString() : types[0].first, 5000);
}

std::unique_ptr<Program> startPeer(const QStringList &arguments)
{
    return start(QStringLiteral(TALVANE_X_PEER), arguments);
}

std::unique_ptr<Program> startTextField()
{
    return start(QStringLiteral(TALVANE_PASTE_TARGET), {"%1"}, true);
}

std::unique_ptr<Program> startTerminal()
{
    return start("xterm",
                 {"-u8", "-xrm", "XTerm*VT100.translations: #override Ctrl Shift <Key>V: insert-selection(CLIPBOARD)",
                  "-e", "/bin/sh", "-c", "stty -icanon -echo && exec cat > '%1'"},
                 true);
}

std::unique_ptr<Program> startWaylandTextField()
{
    return start(QStringLiteral(TALVANE_PASTE_TARGET), {"%1"}, true, true);
}

std::unique_ptr<Program> startFoot()
{
    return start("foot", {"/bin/sh", "-c", "stty -icanon -echo && exec cat > '%1'"}, true, true);
}

} // namespace Desktop
