// The real talvane, built and installed, driven through the tray menu, the keyboard, the microphone and a target.
#include "Desktop.h"
#include "SpeechFixture.h"
#include "SyntheticModel.h"
#include "WhisperServer.h"
#include "app/TalvaneApp.h"
#include "platform/CloudKeyProvider.h"
#include "platform/Paths.h"

#include <QtTest>

using namespace Desktop;

const QString buildTree = QStringLiteral(TALVANE_EXECUTABLE), cloudKey = QStringLiteral("test-key-123");

// The program as the user runs it, with its own lines of the log.
struct Talvane : Program
{
    explicit Talvane(const QString &executable = buildTree)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("QT_QPA_PLATFORM"); // its own choice
        process.setProcessEnvironment(env);
        process.start(executable, {});
    }
    QStringList log() const { return TestSupport::logLines().mid(logStart); }
    QString waitForLog(const QString &text, int timeout = 15000) const
    {
        QString found;
        const auto seen = [&] { return !(found = log().filter(text).value(0)).isEmpty(); };
        return QTest::qWaitFor(seen, timeout) ? found : QString();
    }
    // Its visible window: the menu (tall) or the tray icon (small, at the top).
    std::optional<QRect> window(bool menu) const
    {
        const auto ids = run("xdotool", {"search", "--onlyvisible", "--pid", QString::number(process.processId())});
        for (const QByteArray &id : ids.value_or("").split('\n'))
            if (const QRect r = geometry(id.toULongLong());
                menu ? r.height() > 200 : r.width() > 4 && r.width() <= 64 && r.top() < 40)
                return r;
        return std::nullopt;
    }
    // Opens the menu from the tray icon, keeps a screenshot named `artifact`, then presses `keys` in it.
    void useMenu(const QStringList &keys, const QString &artifact = {})
    {
        QTRY_VERIFY_WITH_TIMEOUT(window(false), 15000);
        const QPoint icon = window(false)->center();
        xdotool({"mousemove", "--sync", QString::number(icon.x()), QString::number(icon.y()), "click", "1"});
        QTRY_VERIFY_WITH_TIMEOUT(window(true), 5000);
        QTest::qWait(200);
        if (!artifact.isEmpty())
            screenshot(artifact);
        xdotool(QStringList{"key"} + keys);
    }
    // "Выйти из Talvane", the last item: Up from the top wraps around to it.
    void quit(const QString &artifact = {})
    {
        useMenu({"Up", "Return"}, artifact);
        QTRY_VERIFY_WITH_TIMEOUT(process.state() == QProcess::NotRunning && !process.exitCode(), 15000);
    }
    const qsizetype logStart = TestSupport::logLines().size();
};

class ProgramTest : public QObject
{
    Q_OBJECT

    QTemporaryDir scratch;
    const QString support = QString::fromStdString(Paths::supportDir().string()) + '/';
    const QString autostart = QDir::homePath() + "/.config/autostart/cloud.nimbrel.talvane.desktop";
    QString model;
    QByteArray phrase; // spoken Russian, s16le 16 kHz mono

    void prepare(const QByteArray &settings, bool withModel = true)
    {
        QDir(support + "models").removeRecursively();
        QFile::remove(autostart), QFile::remove(CloudKeyFile::path());
        TestSupport::writeFile(support + "settings.json", settings);
        QVERIFY(!withModel ||
                (QDir().mkpath(support + "models") && QFile::copy(model, support + "models/ggml-tiny.bin")));
    }

    // Over another program's copy, Alt+Space in a new text field, the phrase at a speaker's pace, then `end`.
    std::unique_ptr<Program> dictate(const Talvane &talvane, const QString &end, const Types &types = {},
                                     const QString &key = "alt+space",
                                     std::unique_ptr<Program> (*start)() = startTextField)
    {
        auto target = start();
        copy(types.isEmpty() ? Types{{"UTF8_STRING", "было"}} : types);
        if (!target || talvane.waitForLog("State: idle — Готово").isEmpty())
            return nullptr;
        press(key);
        talvane.waitForLog("State: recording");
        TestSupport::writeFile(qEnvironmentVariable("TALVANE_MIC_FIFO"), phrase);
        QTest::qWait(phrase.size() / 32 + 300);
        target->activate();
        press(end);
        return target;
    }
    // Presses `key`, or for an option such as --toggle runs `talvane <option>`; its exit code and output.
    static std::pair<int, QString> press(const QString &key)
    {
        if (!key.startsWith("--"))
            return {0, xdotool({"key", key})};
        QProcess talvane;
        talvane.start(buildTree, key == "--" ? QStringList() : QStringList{key});
        const bool ended = talvane.waitForFinished(30000);
        return {ended ? talvane.exitCode() : -1, (talvane.readAllStandardOutput() + talvane.readAllStandardError()).trimmed()};
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(SyntheticModel::write((model = scratch.filePath("ggml-tiny.bin")).toStdString(), {}));
        QVERIFY((phrase = SpeechFixture::microphonePcm(scratch.path())).size() > 32000);
    }

    // Without a model and a network: the download question, "Не сейчас" by Return, and a status that says so.
    void firstRunWithoutModelAsksToDownload()
    {
        prepare(R"({"Model": "tiny"})", false);
        Talvane talvane;
        QVERIFY(waitForActive(talvane.process.processId())); // the question takes the keyboard
        QString declined; // Return again if it came before the question was ready for keys
        for (int tries = 0; tries < 5 && declined.isEmpty(); ++tries) {
            xdotool({"key", "Return"});
            declined = talvane.waitForLog("State: error — Загрузка модели «tiny» отменена", 3000);
        }
        QVERIFY(!declined.isEmpty());
        talvane.quit("menu-error");
    }

    void dictationPastesIntoTheTargetWindow_data()
    {
        QTest::addColumn<QByteArray>("settings"); // cleaning on: its future once freed the result twice (GCC 12)
        QTest::addColumn<QString>("key");         // or started and ended from outside, over the session bus
        QTest::addColumn<std::unique_ptr<Program> (*)()>("target");
        QTest::addColumn<Types>("before"); // the clipboard, given back afterwards
        QTest::addColumn<QString>("outcome");
        const QByteArray local(R"({"Model": "tiny", "CleanSpeech": true})"),
            cloud(R"({"Model": "tiny", "Engine": "cloud"})");
        const QByteArray png("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16);
        const Types text{{"UTF8_STRING", "было"}};
        // clang-format off
        if (waylandClipboard()) { // sway: native windows, through data control and a virtual keyboard
            QTest::newRow("local into a native Qt field") << local << "--toggle" << &startWaylandTextField << text << "Вставлено";
            QTest::newRow("cloud into foot, over an image") << cloud << "--toggle" << &startFoot << Types{{"image/png", png}} << "Вставлено";
        } else if (qEnvironmentVariableIsSet("WAYLAND_DISPLAY")) { // a compositor that lets no program send keys
            QTest::newRow("no way to paste: copied") << local << "--toggle" << &startTextField << text << "Скопировано";
        } else {
            QTest::newRow("local, cleaned") << local << "alt+space" << &startTextField << text << "Вставлено";
            QTest::newRow("cloud via whisper-server, talvane --toggle") << cloud << "--toggle" << &startTextField << text << "Вставлено";
        }
        // clang-format on
    }

    void dictationPastesIntoTheTargetWindow()
    {
        QFETCH(QByteArray, settings);
        QFETCH(QString, key);
        using Start = std::unique_ptr<Program> (*)();
        QFETCH(Start, target);
        QFETCH(Types, before);
        QFETCH(QString, outcome);
        prepare(settings);
        std::optional<WhisperServer> server; // standing in for the cloud service
        if (settings.contains("cloud"))
            TestSupport::writeFile(CloudKeyFile::path(), "{\"URL\": \"" + server.emplace(model).url("").toEncoded() +
                                                             "\", \"Key\": \"" + cloudKey.toUtf8() + "\"}");
        Talvane talvane;
        const auto window = dictate(talvane, key, before, key, target);
        QVERIFY(window);
        const QString done = talvane.waitForLog("State: idle — " + outcome + " символов: ", 60000);
        QVERIFY2(!done.isEmpty(), qPrintable(talvane.log().filter("State: ").join('\n')));
        const qsizetype count = done.section("символов: ", 1).section(' ', 0, 0).toLong();
        if (outcome == "Скопировано") { // left on the clipboard for the user, the window untouched
            QTRY_COMPARE_WITH_TIMEOUT(QString::fromUtf8(Desktop::paste().value_or("")).toUcs4().size(), count, 5000);
            QVERIFY(window->received().isEmpty());
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(window->received().toUcs4().size(), count, 5000);
            QTRY_COMPARE_WITH_TIMEOUT(Desktop::paste(before[0].first), before[0].second, 10000);
        }
        // The whole phrase reached the recogniser; neither the text nor the key is in the log.
        QCOMPARE(talvane.log().filter(QString::asprintf("Audio captured: %.2fs", phrase.size() / 32000.0)).size(), 1);
        const QString dictated =
            window->received().isEmpty() ? QString::fromUtf8(*Desktop::paste()) : window->received();
        for (const QString &line : talvane.log())
            QVERIFY2(!line.contains(dictated) && !line.contains(cloudKey), qPrintable(line));
        QVERIFY(!server || server->output().contains("dictation.wav"));
        talvane.quit();
    }

    // With no copy running, the commands fail and say so; a second start leaves the running copy alone, which
    // --status and --cancel reach.
    void controlFromOutside()
    {
        QCOMPARE(press("--toggle"), std::pair(1, QString("talvane: Talvane не запущен")));
        prepare(R"({"Model": "tiny"})");
        Talvane talvane;
        QVERIFY(!talvane.waitForLog("State: idle — Готово").isEmpty());
        QCOMPARE(press("--"), std::pair(0, QString("Talvane уже запущен"))); // "--" alone: no argument at all
        QVERIFY(press("--status").second.startsWith("Готово — Alt+Пробел"));
        QVERIFY(press("--toggle").first == 0 && !talvane.waitForLog("State: recording").isEmpty());
        QVERIFY(press("--cancel").first == 0 && !talvane.waitForLog("State: idle — Отменено").isEmpty());
        talvane.quit();
    }

    // Quitting gives the user's clipboard back first, so that the clipboard manager keeps it, not the dictation.
    void quittingDuringTheRestoreDelayHandsTheUsersClipboardOn()
    {
        prepare(R"({"Model": "tiny", "CleanSpeech": false})");
        const auto manager = startPeer({"manager"});
        Talvane talvane;
        const QByteArray png("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16);
        const auto target = dictate(talvane, "alt+space", {{"text/plain", "было в буфере"}, {"image/png", png}});
        QVERIFY(manager && target);
        // Not before the field has read the dictation: Qt's hand-over at exit could starve the manager's requests.
        QTRY_VERIFY_WITH_TIMEOUT(!target->received().isEmpty(), 60000);
        talvane.process.terminate(); // SIGTERM, as at logout
        QTRY_VERIFY_WITH_TIMEOUT(talvane.process.state() == QProcess::NotRunning && !talvane.process.exitCode(), 15000);
        QTRY_COMPARE(Desktop::paste("text/plain"), std::optional<QByteArray>("было в буфере")); // once it took over
        QCOMPARE(Desktop::paste("image/png"), std::optional(png));
    }

    // With Alt+Space held elsewhere (by openbox's window menu, or here by the X peer), the alert at start names it; the
    // key chosen in the menu then dictates.
    void anotherHotKeyChosenInTheMenuDictates()
    {
        prepare(R"({"Model": "tiny"})");
        const auto holder = startPeer({"grab", "space", "8", "10", "24", "26"}); // "taken" under stock openbox
        Talvane talvane;
        QVERIFY(waitForActive(talvane.process.processId()));
        screenshot("hotkey-taken");
        for (int tries = 0; tries < 5 && talvane.waitForLog("State: idle — Готово — Alt+Пробел", 3000).isEmpty();
             ++tries)
            xdotool({"key", "Return"}); // again if it came before the alert took keys
        talvane.useMenu({"Up", "Up", "Up", "Up", "Up", "Up", "Return"}, "menu-hotkey"); // "Сочетание клавиш…"
        QVERIFY(waitForActive(talvane.process.processId()));
        screenshot("hotkey-choice");
        xdotool({"key", "Down", "Return"}); // Ctrl+Alt+Пробел, saved
        QVERIFY(!talvane.waitForLog("Hotkey changed to Ctrl+Alt+Space").isEmpty());
        const auto target = dictate(talvane, "ctrl+alt+space", {}, "ctrl+alt+space");
        QVERIFY(target && !talvane.waitForLog("State: idle — Вставлено символов: ", 60000).isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(!target->received().isEmpty(), 5000);
        QVERIFY(TestSupport::readFile(support + "settings.json").contains("\"Hotkey\" : \"Ctrl+Alt+Space\""));
        talvane.quit();
    }

    // Installed outside temporary folders, the copy may start at login: the fourth item while idle, twice. Then
    // Escape cancels a recording: nothing pasted, the clipboard untouched.
    void installedCopyTogglesLaunchAtLoginAndEscapeCancels()
    {
        QVERIFY(QDir().mkpath(TALVANE_TEST_INSTALL_ROOT));
        QTemporaryDir prefix(TALVANE_TEST_INSTALL_ROOT "/talvane-XXXXXX");
        const QString packaged = qEnvironmentVariable("TALVANE_INSTALLED"); // a package's copy, when checking one
        const QString installed = packaged.isEmpty() ? prefix.filePath("bin/talvane") : packaged;
        QVERIFY(!packaged.isEmpty() || run("cmake", {"--install", TALVANE_BUILD_DIR, "--prefix", prefix.path()}));
        QVERIFY(!TalvaneApp::runsFromTemporaryPlace(installed) && QFileInfo(installed).isExecutable());
        prepare(R"({"Model": "tiny"})");
        Talvane talvane(installed);
        QVERIFY(!talvane.waitForLog("State: idle — Готово").isEmpty());
        talvane.useMenu({"Down", "Down", "Down", "Down", "Return"});
        QTRY_VERIFY_WITH_TIMEOUT(TestSupport::readFile(autostart).contains(
                                     "\nExec=" + QFileInfo(installed).canonicalFilePath().toUtf8() + "\n"),
                                 5000);
        talvane.useMenu({"Down", "Down", "Down", "Down", "Return"}, "menu-autostart-on");
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(autostart), 5000);
        const auto target = dictate(talvane, "Escape");
        QVERIFY(target && !talvane.waitForLog("State: idle — Отменено").isEmpty());
        QTest::qWait(1000);
        QVERIFY(target->received().isEmpty() && Desktop::paste() == "было");
        talvane.quit();
    }
};

TALVANE_GUI_TEST_MAIN(ProgramTest)
#include "ProgramTest.moc"
