// The real talvane program, started as a separate process in the desktop session: from the
// build tree and from an installed copy, driven only through what a user has: the tray icon,
// the menu, the keyboard, the microphone and another application's window.
#include "DesktopPeers.h"
#include "DesktopSupport.h"
#include "SpeechFixture.h"
#include "SyntheticModel.h"
#include "TestSupport.h"

#include "app/TalvaneApp.h"

#include "platform/Paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>
#include <functional>
#include <optional>
#include <thread>

using namespace DesktopSupport;

namespace {

const QString buildTreeProgram = QStringLiteral(TALVANE_EXECUTABLE);

QString supportFile(const QString &name)
{
    return QString::fromStdString((Paths::supportDir() / name.toStdString()).string());
}

QString autostartEntry()
{
    return QDir::homePath() + QStringLiteral("/.config/autostart/cloud.nimbrel.talvane.desktop");
}

// Runs xdotool with `arguments`; its output, or nothing when it failed.
std::optional<QString> xdotool(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral("xdotool"), arguments);
    if (!process.waitForFinished(10000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return std::nullopt;
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

void key(const QString &keys)
{
    QVERIFY2(xdotool({QStringLiteral("key"), keys}), qPrintable(keys));
}

QRect geometryOf(const QString &window)
{
    const auto shell = xdotool({QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), window});
    if (!shell)
        return {};
    QMap<QString, int> values;
    for (const QString &line : shell->split(QLatin1Char('\n'))) {
        const auto parts = line.split(QLatin1Char('='));
        if (parts.size() == 2)
            values[parts[0]] = parts[1].toInt();
    }
    return QRect(values.value(QStringLiteral("X")), values.value(QStringLiteral("Y")),
                 values.value(QStringLiteral("WIDTH")), values.value(QStringLiteral("HEIGHT")));
}

// The program as the user runs it, with its own log lines read from the support folder.
class Program
{
public:
    explicit Program(const QString &executable)
    {
        firstLogLine = TestSupport::logLines().size();
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start(executable, {});
        process.waitForStarted(10000); // a program that did not start shows no tray icon: the test fails there
    }

    ~Program()
    {
        if (process.state() == QProcess::NotRunning)
            return;
        process.kill();
        process.waitForFinished(5000);
    }

    qint64 pid() const { return process.processId(); }

    QStringList log() const { return TestSupport::logLines().mid(firstLogLine); }

    // Waits until one of the program's log lines contains `text`; that line.
    std::optional<QString> waitForLog(const QString &text, int timeoutMs = 15000) const
    {
        std::optional<QString> found;
        [[maybe_unused]] const bool seen = QTest::qWaitFor(
            [&] {
                for (const QString &line : log())
                    if (line.contains(text))
                        return (found = line).has_value();
                return false;
            },
            timeoutMs);
        return found;
    }

    // The visible windows of the program, with their places on the screen.
    QList<QRect> windows() const
    {
        QList<QRect> out;
        const auto ids = xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--pid"),
                                  QString::number(pid())});
        if (!ids)
            return out;
        for (const QString &id : ids->split(QLatin1Char('\n'), Qt::SkipEmptyParts))
            out << geometryOf(id);
        return out;
    }

    // The icon the tray host shows for the program: a small window inside the tray host's strip.
    std::optional<QRect> trayIcon() const
    {
        for (const QRect &window : windows())
            if (window.width() <= 64 && window.height() <= 64 && window.top() < 40 && window.width() > 4)
                return window;
        return std::nullopt;
    }

    // The open menu: the program's only tall window.
    std::optional<QRect> menu() const
    {
        for (const QRect &window : windows())
            if (window.height() > 200 && window.width() > 150)
                return window;
        return std::nullopt;
    }

    // The capsule: a short, wide window of the program in the lower part of the screen.
    std::optional<QRect> capsule() const
    {
        for (const QRect &window : windows())
            if (window.top() > 400 && window.height() < 120 && window.width() > window.height())
                return window;
        return std::nullopt;
    }

    std::optional<QRect> openMenu() const
    {
        const auto icon = trayIcon();
        if (!icon)
            return std::nullopt;
        click(icon->center());
        std::optional<QRect> open;
        [[maybe_unused]] const bool opened = QTest::qWaitFor([&] { return (open = menu()).has_value(); }, 5000);
        return open;
    }

    // Closes the menu without choosing anything, by a click on the empty desktop.
    void closeMenu() const
    {
        click(QPoint(10, 790));
        QTRY_VERIFY_WITH_TIMEOUT(!menu(), 5000);
    }

    // Chooses the menu item reached by `downs` presses of the Down key (disabled items are skipped).
    void choose(int downs) const
    {
        QVERIFY(openMenu());
        for (int i = 0; i < downs; ++i)
            key(QStringLiteral("Down"));
        key(QStringLiteral("Return"));
        QTRY_VERIFY_WITH_TIMEOUT(!menu(), 5000);
    }

    // "Выйти из Talvane", the last item (Up from the top wraps around to it).
    void quitFromMenu()
    {
        QVERIFY(openMenu());
        key(QStringLiteral("Up"));
        key(QStringLiteral("Return"));
        QVERIFY(process.waitForFinished(15000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        qInfo("step: «Выйти из Talvane» ends the process with exit status 0");
    }

    QProcess process;

private:
    qsizetype firstLogLine = 0;
};

// The screenshot of the open menu, kept as an artefact and checked for a drawn menu.
void saveMenu(const Program &program, const QString &name)
{
    const auto menu = program.openMenu();
    QVERIFY2(menu, "the menu did not open");
    const QImage screen = screenshot();
    const QImage shot = screen.copy(*menu);
    saveArtifact(shot, name);
    // A dark menu with light text: many dark pixels and a fair number of light ones.
    int dark = 0, light = 0;
    for (int y = 0; y < shot.height(); ++y)
        for (int x = 0; x < shot.width(); ++x) {
            const int v = qGray(shot.pixel(x, y));
            dark += v < 80;
            light += v > 180;
        }
    const int area = shot.width() * shot.height();
    QVERIFY2(dark > area / 2, qPrintable(QStringLiteral("dark %1 of %2").arg(dark).arg(area)));
    QVERIFY2(light > area / 100, qPrintable(QStringLiteral("light %1 of %2").arg(light).arg(area)));
    // Its lines of text: the status line and the 13 items (separators are too thin to count).
    QList<int> bands;
    int bandStart = -1;
    for (int y = 0; y <= shot.height(); ++y) {
        bool text = false;
        for (int x = 0; y < shot.height() && x < shot.width() && !text; ++x)
            text = qGray(shot.pixel(x, y)) > 100;
        if (text && bandStart < 0)
            bandStart = y;
        if (!text && bandStart >= 0) {
            if (y - bandStart >= 5)
                bands << y - bandStart;
            bandStart = -1;
        }
    }
    QVERIFY2(bands.size() == 14, qPrintable(QStringLiteral("%1 lines of text").arg(bands.size())));
    program.closeMenu();
}

// Reports a reached milestone (tests/e2e/run prints them under the test's outcome).
void step(const char *what)
{
    qInfo("step: %s", what);
}

// Whether the tray icon, as the screen shows it, is drawn in `tint`.
bool iconTinted(const Program &program, QColor tint)
{
    const auto icon = program.trayIcon();
    if (!icon)
        return false;
    const QImage shot = screenshot().copy(*icon);
    int matching = 0;
    for (int y = 0; y < shot.height(); ++y)
        for (int x = 0; x < shot.width(); ++x)
            matching += near(shot.pixelColor(x, y), tint, 12);
    return matching >= 8;
}

const QColor recordingRed(229, 84, 79);
const QColor errorAmber(237, 186, 74);

} // namespace

class ProgramTest : public QObject
{
    Q_OBJECT

    QTemporaryDir scratch;
    QString fifo;
    QString model;     // a synthetic model, copied into the models folder where a test wants one
    QByteArray phrase; // spoken Russian, s16le 16 kHz mono

    void useSettings(const QByteArray &json)
    {
        TestSupport::writeFile(supportFile(QStringLiteral("settings.json")), json);
    }

    void installModel()
    {
        const QString target = supportFile(QStringLiteral("models/ggml-tiny.bin"));
        QDir().mkpath(QFileInfo(target).absolutePath());
        QFile::remove(target);
        QVERIFY(QFile::copy(model, target));
    }

    // Speaks the phrase into the virtual microphone at the pace of a speaker; `midway` runs while the
    // speech is still coming in.
    void speak(const std::function<void()> &midway = {})
    {
        std::atomic<bool> finished = false;
        std::thread writer([this, &finished] {
            QFile mic(fifo);
            if (mic.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
                constexpr qsizetype chunk = 3200; // 100 ms
                for (qsizetype at = 0; at < phrase.size(); at += chunk) {
                    mic.write(phrase.mid(at, chunk));
                    QThread::msleep(100);
                }
            }
            finished = true;
        });
        QTest::qWait(1200);
        if (midway)
            midway();
        [[maybe_unused]] const bool spoken = QTest::qWaitFor([&] { return finished.load(); }, 60000);
        writer.join();
        QTest::qWait(300);
    }

    // Starts a dictation into `target` and ends it while the program records.
    void startRecording(Program &program)
    {
        QVERIFY(DesktopPeers::waitForActive(targetPid));
        key(QStringLiteral("alt+space"));
        QVERIFY(program.waitForLog(QStringLiteral("State: recording — Слушаю…")));
    }

    qint64 targetPid = 0;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(qEnvironmentVariableIsSet("DISPLAY"), "needs the desktop test session (scripts/test-session)");
        fifo = qEnvironmentVariable("TALVANE_MIC_FIFO");
        QVERIFY2(!fifo.isEmpty(), "needs the desktop test session (scripts/test-session)");
        QVERIFY2(QFileInfo(buildTreeProgram).isExecutable(), qPrintable(buildTreeProgram));
        QVERIFY(xdotool({QStringLiteral("search"), QStringLiteral("--classname"), QStringLiteral("trayer")}));

        model = scratch.filePath(QStringLiteral("ggml-tiny.bin"));
        QVERIFY(SyntheticModel::write(model.toStdString(), {}));
        phrase = SpeechFixture::microphonePcm(scratch.path());
        QVERIFY(phrase.size() > 32000);
    }

    void init()
    {
        QDir(supportFile(QStringLiteral("models"))).removeRecursively();
        QFile::remove(autostartEntry());
        DesktopPeers::emptyClipboard();
    }

    // A first run with no model and no network: the question, "Не сейчас", and a status that says so.
    void firstRunWithoutModelAsksToDownload()
    {
        useSettings(R"({"Model": "tiny"})");
        Program program(buildTreeProgram);
        QTRY_VERIFY_WITH_TIMEOUT(program.trayIcon(), 15000);
        QVERIFY(program.waitForLog(QStringLiteral("Executable: ") + QFileInfo(buildTreeProgram).canonicalFilePath()));
        step("the build tree's copy starts and its icon appears in the tray");

        // The question is a window of the program that takes the keyboard; Return answers its default button.
        QVERIFY(DesktopPeers::waitForActive(program.pid()));
        saveArtifact(screenshot(), QStringLiteral("download-question"));
        key(QStringLiteral("Return"));
        QVERIFY(program.waitForLog(QStringLiteral("Download of 'tiny' declined")));
        QVERIFY(program.waitForLog(QStringLiteral("State: error — Загрузка модели «tiny» отменена")));
        QVERIFY(!QFile::exists(supportFile(QStringLiteral("models/ggml-tiny.bin"))));
        step("download question answered «Не сейчас» with Return: status «Загрузка модели «tiny» отменена»");

        QVERIFY(iconTinted(program, errorAmber));
        saveMenu(program, QStringLiteral("menu-error"));
        step("amber icon; a click on it opens the menu (artifacts/menu-error.png)");
        program.quitFromMenu();
    }

    // Alt+Space, speech into the microphone, Alt+Space: the text lands in another application's window and
    // the clipboard holds again what it held before.
    void dictationPastesIntoTheTargetWindow()
    {
        installModel();
        useSettings(R"({"Model": "tiny", "CleanSpeech": false})");
        Program program(buildTreeProgram);
        QTRY_VERIFY_WITH_TIMEOUT(program.trayIcon(), 15000);
        QVERIFY(program.waitForLog(QStringLiteral("State: idle — Готово — Alt+Пробел")));
        saveMenu(program, QStringLiteral("menu-idle"));
        step("synthetic model loaded: idle; the menu opens (artifacts/menu-idle.png)");

        const auto target = DesktopPeers::startTextField();
        QVERIFY(target);
        targetPid = target->process->processId();
        DesktopPeers::copy("было в буфере");

        startRecording(program);
        speak([&] {
            const auto capsule = program.capsule();
            QVERIFY2(capsule, "no capsule while recording");
            const QImage screen = screenshot();
            saveArtifact(screen, QStringLiteral("capsule-recording"));
            saveArtifact(screen.copy(capsule->adjusted(-24, -24, 24, 24)), QStringLiteral("capsule"));
        });
        QVERIFY(iconTinted(program, recordingRed));
        step("Alt+Space starts recording: capsule shown, red icon (artifacts/capsule.png)");
        saveMenu(program, QStringLiteral("menu-recording"));
        step("the menu while recording (artifacts/menu-recording.png)");
        QVERIFY(DesktopPeers::waitForActive(targetPid));
        key(QStringLiteral("alt+space"));

        // The status before the dictation was idle too: wait for the paste's own one, show all when it fails.
        const auto pasted = program.waitForLog(QStringLiteral("State: idle — Вставлено символов: "), 60000);
        QVERIFY2(pasted, qPrintable(program.log().filter(QStringLiteral("State: ")).join(QLatin1Char('\n'))));
        const int count = pasted->section(QStringLiteral("Вставлено символов: "), 1).toInt();
        QVERIFY(count > 0);
        QTRY_VERIFY_WITH_TIMEOUT(!target->received().isEmpty(), 5000);
        QCOMPARE(int(target->received().toUcs4().size()), count);
        step("Alt+Space again: the recognised text is in the target window, as many characters as the status says");
        QTRY_COMPARE_WITH_TIMEOUT(DesktopPeers::paste().value_or("(nothing)"), QByteArray("было в буфере"), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(!program.capsule(), 5000);
        QVERIFY(!iconTinted(program, recordingRed));
        step("clipboard restored, capsule gone");
        program.quitFromMenu();
    }

    // Quitting while a dictation has the clipboard gives the user's contents back first, so that the clipboard
    // manager keeps them rather than the dictation.
    void quittingDuringTheRestoreDelayHandsTheUsersClipboardOn()
    {
        installModel();
        useSettings(R"({"Model": "tiny", "CleanSpeech": false})");
        const auto manager = DesktopPeers::startClipboardManager();
        QVERIFY(manager);
        Program program(buildTreeProgram);
        QVERIFY(program.waitForLog(QStringLiteral("State: idle — Готово — Alt+Пробел")));
        const auto target = DesktopPeers::startTextField();
        QVERIFY(target);
        targetPid = target->process->processId();
        const QByteArray png("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16);
        DesktopPeers::copy(
            {{QStringLiteral("text/plain"), QByteArray("было в буфере")}, {QStringLiteral("image/png"), png}});

        startRecording(program);
        speak();
        key(QStringLiteral("alt+space"));
        QVERIFY(program.waitForLog(QStringLiteral("TextPaster: restoring previous clipboard in"), 60000));
        program.process.terminate(); // SIGTERM, as at logout
        QVERIFY(program.process.waitForFinished(15000));
        QCOMPARE(program.process.exitCode(), 0);
        QCOMPARE(DesktopPeers::paste(QStringLiteral("text/plain")).value_or("(nothing)"), QByteArray("было в буфере"));
        QCOMPARE(DesktopPeers::paste(QStringLiteral("image/png")), std::optional(png));
        step("SIGTERM during the restore delay: the clipboard manager keeps the user's text and image");
        manager->close();
    }

    void escapeCancelsTheRecording()
    {
        installModel();
        useSettings(R"({"Model": "tiny", "CleanSpeech": false})");
        Program program(buildTreeProgram);
        QVERIFY(program.waitForLog(QStringLiteral("State: idle — Готово — Alt+Пробел")));
        const auto target = DesktopPeers::startTextField();
        QVERIFY(target);
        targetPid = target->process->processId();
        DesktopPeers::copy("было в буфере");

        startRecording(program);
        speak();
        key(QStringLiteral("Escape"));
        QVERIFY(program.waitForLog(QStringLiteral("State: idle — Отменено")));
        QTRY_VERIFY_WITH_TIMEOUT(!program.capsule(), 5000);
        QVERIFY(program.waitForLog(QStringLiteral("Recording cancelled")));
        QTest::qWait(1000);
        QCOMPARE(target->received(), QString());
        QCOMPARE(DesktopPeers::paste().value_or("(nothing)"), QByteArray("было в буфере"));
        QVERIFY(!program.log().join(QLatin1Char('\n')).contains(QStringLiteral("Transcription")));
        step("Escape while recording: «Отменено», capsule gone, nothing pasted, clipboard untouched");
        program.quitFromMenu();
    }

    // `cmake --install` into a prefix outside the build tree, then the installed copy, which may start
    // itself at login.
    void installedCopyTogglesLaunchAtLogin()
    {
        // Outside temporary folders and outside the build tree: that is where a user installs to.
        QVERIFY(QDir().mkpath(QStringLiteral(TALVANE_TEST_INSTALL_ROOT)));
        QTemporaryDir prefix(QStringLiteral(TALVANE_TEST_INSTALL_ROOT) + QStringLiteral("/talvane-XXXXXX"));
        QVERIFY2(!TalvaneApp::runsFromTemporaryPlace(prefix.path() + QStringLiteral("/bin/talvane")),
                 "the test's install root must not be a temporary place");
        QVERIFY(prefix.isValid());
        QProcess install;
        install.setProcessChannelMode(QProcess::ForwardedChannels);
        install.start(QStringLiteral("cmake"), {"--install", TALVANE_BUILD_DIR, "--prefix", prefix.path()});
        QVERIFY(install.waitForFinished(60000));
        QCOMPARE(install.exitCode(), 0);
        const QString installed = prefix.filePath(QStringLiteral("bin/talvane"));
        QVERIFY(QFileInfo(installed).isExecutable());
        QVERIFY(QFile::exists(prefix.filePath(QStringLiteral("share/applications/talvane.desktop"))));
        QVERIFY(QFile::exists(prefix.filePath(QStringLiteral("share/icons/hicolor/scalable/apps/talvane.svg"))));
        step("cmake --install puts the program, the desktop entry and the icon in place");

        installModel();
        useSettings(R"({"Model": "tiny"})");
        Program program(installed);
        QTRY_VERIFY_WITH_TIMEOUT(program.trayIcon(), 15000);
        QVERIFY(program.waitForLog(QStringLiteral("Executable: ") + QFileInfo(installed).canonicalFilePath()));
        step("the installed copy starts and its icon appears in the tray");
        QVERIFY(program.waitForLog(QStringLiteral("State: idle — Готово — Alt+Пробел")));

        // Idle with no dictation yet: Начать диктовку, Вставлять автоматически, Убирать «эээ»…, Запускать при
        // входе в систему (the copy item is disabled and skipped).
        program.choose(4);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(autostartEntry()), 5000);
        const QString entry = QString::fromUtf8(TestSupport::readFile(autostartEntry()));
        QVERIFY2(
            entry.contains(QStringLiteral("\nExec=") + QFileInfo(installed).canonicalFilePath() + QLatin1Char('\n')),
            qPrintable(entry));
        saveMenu(program, QStringLiteral("menu-autostart-on"));
        step("«Запускать при входе в систему» writes the autostart entry with the installed path");

        program.choose(4);
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(autostartEntry()), 5000);
        step("chosen again, it removes the entry");
        program.quitFromMenu();
    }

    // The build tree's copy does not offer launch at login: its item is disabled, so the key presses that
    // reach it in the installed copy land on the next item ("Модель", a submenu) and write nothing.
    void buildTreeCopyLeavesLaunchAtLoginAlone()
    {
        installModel();
        useSettings(R"({"Model": "tiny"})");
        Program program(buildTreeProgram);
        QVERIFY(program.waitForLog(QStringLiteral("State: idle — Готово — Alt+Пробел")));
        QTRY_VERIFY_WITH_TIMEOUT(program.trayIcon(), 15000);
        QVERIFY(program.openMenu());
        for (int i = 0; i < 4; ++i)
            key(QStringLiteral("Down"));
        key(QStringLiteral("Return"));
        QTest::qWait(500);
        QVERIFY(program.menu()); // still open: a submenu opened instead
        program.closeMenu();
        QVERIFY(!QFile::exists(autostartEntry()));
        step("the item is disabled: no autostart entry");
        program.quitFromMenu();
    }
};

TALVANE_GUI_TEST_MAIN(ProgramTest)
#include "ProgramTest.moc"
