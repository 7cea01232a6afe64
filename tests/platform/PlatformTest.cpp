#include "AwaitTask.h"
#include "FakePortal.h"
#include "TestSupport.h"

#include "dictation/HotkeyManager.h"
#include "platform/Autostart.h"
#include "platform/CloudKeyProvider.h"
#include "platform/DesktopApps.h"
#include "platform/Log.h"
#include "platform/Settings.h"
#include "platform/portal/PortalHotkeyBackend.h"
#include "platform/portal/PortalKeySender.h"

#include <QProcess>
#include <QRegularExpression>

#include <sys/stat.h>
#include <thread>

using namespace TestSupport;

using LogFiles = std::tuple<QByteArray, QByteArray, QByteArray, QByteArray>;
using SettingsFile = std::tuple<QByteArray, Settings, int>;
using CloudFile = std::tuple<QByteArray, QString, QString, bool, int>;
using Answers = QHash<QString, int>; // how the fake portal answers, by method
using KeyRow = std::tuple<Answers, QString, QByteArray, QString>;
constexpr Portal::Bounds quick{std::chrono::seconds(1), std::chrono::seconds(1), std::chrono::seconds(1)};

class PlatformTest : public QObject
{
    Q_OBJECT

    enum { used, migrated, keptAside }; // what becomes of a settings file
    std::optional<QTemporaryDir> tmp;
    static QByteArray contents(const QString &file) { return QFile::exists(file) ? readFile(file) : "(none)"; }

private Q_SLOTS:
    void init()
    {
        tmp.emplace();
        for (const QString &file : {Settings::path(), Settings::path() + ".bad", CloudKeyFile::path()})
            std::filesystem::remove_all(file.toStdString());
    }

    void firstWriteDropsOldFormatsAndRotates_data()
    {
        QTest::addColumn<LogFiles>("files"); // talvane.log and .old.log before, then what they begin with after
        const QByteArray h = Log::header, head = h + '\n', earlier = head + "earlier\n";
        const QByteArray full = head + QByteArray(Log::rotateAbove - head.size() - 1, 'x') + '\n';
        const auto kept = [](const QByteArray &ours) { return LogFiles{ours, ours, ours, ours}; };
        QTest::newRow("header with more text") << LogFiles{h + " and more\n", h + " and more\n", head, "(none)"};
        QTest::newRow("header then crlf") << kept(h + "\r\nentry\r\n");
        QTest::newRow("header then line separator") << kept(h + "\u2028rest");
        QTest::newRow("header only, no line break") << kept(h);
        QTest::newRow("exactly 1,048,576 bytes") << LogFiles{full, earlier, full, earlier};
        QTest::newRow("1,048,577 bytes") << LogFiles{full + 'x', earlier, head, full + 'x'};
    }
    void firstWriteDropsOldFormatsAndRotates()
    {
        QFETCH(LogFiles, files);
        const auto &[log, old, logStart, oldAfter] = files;
        writeFile(tmp->filePath("talvane.log"), log);
        writeFile(tmp->filePath("talvane.old.log"), old);
        Log::Writer(tmp->path().toStdString()).write("INFO", "one call,\r\none line");
        const QByteArray now = readFile(tmp->filePath("talvane.log"));
        QVERIFY2(now.startsWith(logStart) && now.endsWith("[INFO] one call,  one line\n"), now.right(99).constData());
        QCOMPARE(contents(tmp->filePath("talvane.old.log")), oldAfter);
    }

    void threadsAndProcessesKeepLinesWhole() // and an unwritable folder loses lines without blocking or throwing
    {
        const QString child = qEnvironmentVariable("TALVANE_LOG_WRITER"); // set: this is the other process
        QProcess other; // another process writing the same log (this case run again), with one thread
        if (child.isEmpty()) {
            Log::Writer(tmp->filePath("missing/folder").toStdString()).write("ERROR", "lost");
            QVERIFY(!QFile::exists(tmp->filePath("missing")));
            qputenv("TALVANE_LOG_WRITER", QFile::encodeName(tmp->path()));
            other.start(QCoreApplication::applicationFilePath(), {"threadsAndProcessesKeepLinesWhole"});
            qunsetenv("TALVANE_LOG_WRITER");
        }
        {
            Log::Writer writer((child.isEmpty() ? tmp->path() : child).toStdString());
            std::vector<std::jthread> threads;
            for (int t = 0; t < (child.isEmpty() ? 4 : 1); ++t)
                threads.emplace_back([&writer, who = child.isEmpty() ? "thread" + std::to_string(t) : "process"] {
                    for (int i = 0; i < 2500; ++i)
                        writer.write("INFO", who + " line " + std::to_string(i));
                });
        }
        if (!child.isEmpty())
            return;
        QVERIFY(other.waitForFinished(120000) && other.exitCode() == 0);
        const QStringList lines = QString(readFile(tmp->filePath("talvane.log"))).split('\n', Qt::SkipEmptyParts);
        static const QRegularExpression shape(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[INFO\] (\w+) line (\d+)$)");
        QMap<QString, int> next; // each writer's lines whole, all there and in order; the header once, first
        for (const QString &line : lines.mid(1)) // a line out of shape counts for a writer named ""
            QVERIFY2(shape.match(line).captured(2).toInt() == next[shape.match(line).captured(1)]++, qPrintable(line));
        QVERIFY(lines.first() == Log::header && next.values() == QList<int>(5, 2500));
    }

    void settingsFiles_data()
    {
        QTest::addColumn<SettingsFile>("file"); // settings.json (null: none); what is read; what becomes of the file
        // clang-format off
        QTest::newRow("no file") << SettingsFile{{}, {}, used};
        QTest::newRow("own model, unknown key, nulls") << SettingsFile{R"({"Model":"mine","Theme":0,"Prompt":null,"AutoPaste":null})", {"mine"}, used};
        QTest::newRow("old version") << SettingsFile{R"({"Model":"small","Engine":"server","ServerKey":"secret-token"})", {"small"}, migrated};
        QTest::newRow("invalid json") << SettingsFile{"{\"Model\": ", {}, keptAside};
        QTest::newRow("AutoPaste as string") << SettingsFile{R"({"Model":"small","AutoPaste":"yes"})", {}, keptAside};
        QTest::newRow("Model as number") << SettingsFile{R"({"Model":5})", {}, keptAside};
        QTest::newRow("Hotkey as number") << SettingsFile{R"({"Model":"small","Hotkey":5})", {"small"}, used}; // a slip that costs nothing else
        QTest::newRow("top level array") << SettingsFile{R"(["Model","small"])", {}, keptAside};
        QTest::newRow("top level string") << SettingsFile{R"("small")", {}, keptAside};
        QTest::newRow("invalid utf-8") << SettingsFile{"{\"Model\":\"sm\xff\xfe\"}", {}, keptAside};
        QTest::newRow("empty file") << SettingsFile{"", {}, keptAside};
        QTest::newRow("10 MB of garbage") << SettingsFile{QByteArray("\x93{\xff\0\"", 5).repeated(2 << 20), {}, keptAside};
        // clang-format on
    }
    void settingsFiles()
    {
        QFETCH(SettingsFile, file);
        const auto &[json, expected, outcome] = file;
        if (!json.isNull())
            writeFile(Settings::path(), json);
        const qsizetype mark = logLines().size();
        QCOMPARE(Settings::load(), expected);
        QCOMPARE(!logLines().mid(mark).filter("[ERROR]").filter(Settings::path()).isEmpty(), outcome == keptAside);
        QVERIFY(!logLines().mid(mark).join('\n').contains("secret-token"));
        QCOMPARE(readFile(Settings::path()) == json, outcome != migrated);
        const Settings changed("base", "«мир» \\ / \"tab\"\t\nline 😀", "ru", "/my models", false, false, Engine::cloud,
                               "Super+F9", false);
        changed.save(); // the first change made in the menu keeps a hand edit with a slip in it beside the new file
        QCOMPARE(contents(Settings::path() + ".bad"), outcome == keptAside ? json : "(none)");
        QCOMPARE(Settings::load(), changed);
        QVERIFY(!QString(readFile(Settings::path())).contains(QRegularExpression("Theme|ServerKey")));
    }

    void desktopEntryCommands_data()
    {
        QTest::addColumn<QString>("exec");
        QTest::addColumn<QStringList>("args"); // F: the file, U: its URL
        // clang-format off
        QTest::newRow("no field code") << "ed" << QStringList{"ed", "F"};
        QTest::newRow("quoted program, URL") << "\"/opt/my editor/ed\" --new  %U" << QStringList{"/opt/my editor/ed", "--new", "U"};
        QTest::newRow("escapes") << "sh -c \"echo \\\\\"\\\\$1\\\\\" 100%%\" sh %f" << QStringList{"sh", "-c", "echo \"$1\" 100%", "sh", "F"};
        QTest::newRow("icon, name, dropped codes") << "gedit\\s%i %c %k %F" << QStringList{"gedit", "--icon", "ic", "Gedit", "F"};
        QTest::newRow("unterminated quote") << "\"ed %f" << QStringList{};
        // clang-format on
    }
    void desktopEntryCommands()
    {
        QFETCH(QString, exec);
        QFETCH(QStringList, args);
        const QString file = "/home/u/my notes/settings.json";
        for (QString &arg : args)
            arg = arg == "F" ? file : arg == "U" ? "file:///home/u/my%20notes/settings.json" : arg;
        QCOMPARE(DesktopApps::expandExec(exec, file, "ic", "Gedit"), args);
    }

    void autostart() // awkward paths round-trip in both formats; a folder that cannot be made; the build tree
    {
        for (const QString exe : {"/home/user/My Apps/talvane", "/opt/100%/tal\"vane$x`y\\z", "/home/юзер/talvane",
                                  "/a/b&c;d/<e>/talvane", "/home/user/My\u00a0Apps/talvane", "/tmp/a\rb/talvane"})
            for (const Autostart::Format *fmt : {&Autostart::xdgEntry(), &Autostart::launchAgent()}) {
                const QString folder = tmp->filePath("autostart"), file = folder + '/' + fmt->fileName;
                Autostart::set(true, folder, "/opt/talvane", *fmt); // a copy elsewhere; creates the folder
                QVERIFY2(!Autostart::isOn(folder, exe, *fmt), qPrintable(exe));
                Autostart::set(true, folder, exe, *fmt);
                QVERIFY2(Autostart::isOn(folder, exe, *fmt) && !Autostart::isOn(folder, {}, *fmt), qPrintable(exe));
                QVERIFY(fmt == &Autostart::launchAgent() || !std::system(qPrintable("desktop-file-validate " + file)));
                Autostart::set(true, folder, std::nullopt, *fmt); // nothing to start: removed
                Autostart::set(false, folder, exe, *fmt);         // off when it is off already
                QVERIFY(!QFile::exists(file));
            }
        writeFile(tmp->filePath("blocker"), "a file, not a folder");
        QVERIFY_THROWS_EXCEPTION(Autostart::Error, Autostart::set(true, tmp->filePath("blocker/a"), "/bin/talvane"));
        QVERIFY(!Autostart::executable()); // run from the build tree, which the next build replaces: not offered
    }

    void cloudKeyFiles_data()
    {
        QTest::addColumn<CloudFile>("file"); // cloud.json (null: none); key and address read; [ERROR] logged; mode
        const QString standard = CloudKeyFile::defaultServiceUrl().toString(), local = "http://127.0.0.1:8080";
        // clang-format off
        QTest::newRow("no file") << CloudFile{{}, "", standard, false, 0600};
        QTest::newRow("key and address") << CloudFile{"{\"URL\": \"" + local.toUtf8() + "\", \"Key\": \" sk-a\\n\"}", "sk-a", local, false, 0644};
        QTest::newRow("not JSON") << CloudFile{"Key=sk-not-json", "", standard, true, 0640};
        QTest::newRow("array") << CloudFile{R"(["sk-in-array"])", "", standard, true, 0604};
        QTest::newRow("key is a number") << CloudFile{R"({"Key": 4242})", "", standard, true, 0600};
        QTest::newRow("key is blank") << CloudFile{R"({"Key": " \t\n "})", "", standard, false, 0600};
        QTest::newRow("ftp address") << CloudFile{"{\"URL\": \"ftp://nimbrel.example\", \"Key\": \"sk-b\"}", "sk-b", standard, true, 0600};
        QTest::newRow("address without host") << CloudFile{"{\"URL\": \"https://\", \"Key\": \"sk-c\"}", "sk-c", standard, true, 0600};
        QTest::newRow("address is a number") << CloudFile{R"({"URL": 8080, "Key": "sk-d"})", "sk-d", standard, true, 0600};
        // clang-format on
    }
    void cloudKeyFiles()
    {
        QFETCH(CloudFile, file);
        const auto &[json, key, url, error, mode] = file;
        CloudKeyFile provider; // made before the file: it reads the file afresh on every call
        if (!json.isNull())
            writeFile(CloudKeyFile::path(), json);
        chmod(qPrintable(CloudKeyFile::path()), mode);
        QVERIFY(provider.current().key == key && provider.current().serviceUrl == QUrl(url));
        QCOMPARE(QFile::exists(CloudKeyFile::path()), !json.isNull()); // reading alone creates nothing
        const qsizetype mark = logLines().size();
        QCOMPARE(await(provider.fetch()).value, std::optional<bool>(!key.isEmpty()));
        QCOMPARE(!logLines().mid(mark).filter("[ERROR]").filter(CloudKeyFile::path()).isEmpty(), error);
        QVERIFY(!logLines().mid(mark).join('\n').contains("sk-"));        // no key, ever
        QVERIFY(!(QFile::permissions(CloudKeyFile::path()) & 0x77));      // nothing for group and others
        QVERIFY(json.isNull() || readFile(CloudKeyFile::path()) == json); // the user's file is never rewritten
    }

    void portalHotkeys_data()
    {
        QTest::addColumn<Answers>("answers");
        QTest::addColumn<bool>("bound");
        QTest::newRow("bound") << Answers{} << true;
        QTest::newRow("user refuses the binding") << Answers{{"BindShortcuts", 1}} << false;
        QTest::newRow("binding ends otherwise") << Answers{{"BindShortcuts", 2}} << false;
        QTest::newRow("no answer to the binding") << Answers{{"BindShortcuts", FakePortal::silent}} << false;
        QTest::newRow("no session") << Answers{{"CreateSession", 2}} << false;
        QTest::newRow("no answer to CreateSession") << Answers{{"CreateSession", FakePortal::silent}} << false;
    }
    void portalHotkeys() // bound: presses arrive, Escape's only while enabled; else the loss reaches the user
    {
        QFETCH(Answers, answers);
        QFETCH(bool, bound);
        PrivateBus bus;
        FakePortal portal(bus, answers);
        int toggles = 0, cancels = 0, losses = 0;
        HotkeyManager keys(std::make_unique<PortalHotkeyBackend>(bus.connect(), quick),
                           {Qt::Key_Space, Qt::ControlModifier | Qt::AltModifier});
        keys.onToggle = [&] { ++toggles; };
        keys.onCancel = [&] { ++cancels; };
        keys.onToggleLost = [&] { ++losses; };
        keys.setCancelEnabled(true);
        QTRY_VERIFY(portal.calls().size() == 2 || losses); // the escape asks nothing more of the desktop
        QCOMPARE(portal.calls().filter("Bind").join(""),
                 bound || answers.contains("BindShortcuts") ? "BindShortcuts toggle=CTRL+ALT+space cancel=" : "");
        QTRY_COMPARE(losses, bound ? 0 : 1);
        QTest::qWait(1100); // past every bound: a late loss is as wrong as none
        QCOMPARE(losses + keys.toggleRegistered(), 1);
        for (const char *shortcut : {"toggle", "cancel", "other"})
            portal.activate(shortcut);
        QTRY_COMPARE(toggles + cancels, 2 * bound);
        keys.setCancelEnabled(false);
        for (const char *shortcut : {"cancel", "toggle"})
            portal.activate(shortcut);
        QTRY_COMPARE(toggles, 2 * bound); // in order: the cancel before it has arrived too
        QTest::qWait(100);                // and nothing comes late
        QCOMPARE(std::pair(toggles, cancels), std::pair(2 * bound, int(bound)));
    }

    void portalAbsentMeansNoHotkeysAndNoKeys_data()
    {
        QTest::addColumn<int>("portal");
        QTest::newRow("no portal") << 0;
        QTest::newRow("front end without the interfaces") << 1; // the real xdg-desktop-portal, without backends
        QTest::newRow("portal that never answers") << 2;
    }
    void portalAbsentMeansNoHotkeysAndNoKeys()
    {
        QFETCH(int, portal);
        PrivateBus bus(portal == 1);
        const auto silent =
            portal == 2 ? std::make_unique<FakePortal>(bus, Answers{{"Get", FakePortal::silent}}) : nullptr;
        const auto start = std::chrono::steady_clock::now();
        QVERIFY(!PortalKeySender::offered(bus.connect(), quick.probe));
        QCOMPARE(PortalHotkeyBackend(bus.connect(), quick).install([](int) {}), HotkeyBackend::unavailable);
        QVERIFY(std::chrono::steady_clock::now() - start < std::chrono::seconds(10)); // not D-Bus's 25 s default
    }

    void portalKeySender_data()
    {
        QTest::addColumn<KeyRow>("row"); // the portal's answers; target class; restore token saved; keys for a paste
        const QString released = "ffe9- ffea- ffeb- ffec- ffe1- ffe2- ffe3- ffe4- "; // whatever the hot key held
        // clang-format off
        QTest::newRow("editor, first start") << KeyRow{{}, "gedit", "", released + "ffe3+ 76+ 76- ffe3-"};
        QTest::newRow("terminal, token saved") << KeyRow{{}, "Konsole", "token-0", released + "ffe3+ ffe1+ 76+ 76- ffe1- ffe3-"};
        QTest::newRow("user refuses") << KeyRow{{{"Start", 1}}, "gedit", "token-0", ""};
        QTest::newRow("no answer to Start") << KeyRow{{{"Start", FakePortal::silent}}, "gedit", "token-0", ""};
        QTest::newRow("devices refused") << KeyRow{{{"SelectDevices", 2}}, "gedit", "token-0", ""};
        // clang-format on
    }
    void portalKeySender() // trusted only when granted; the restore token is sent, replaced, private, unlogged
    {
        QFETCH(KeyRow, row);
        const auto &[answers, target, saved, keys] = row;
        const QString file = tmp->filePath("token");
        writeFile(file, saved); // empty: no token
        PrivateBus bus;
        FakePortal portal(bus, answers);
        PortalKeySender sender(bus.connect(), quick, file.toStdString());
        sender.promptForTrust();
        sender.promptForTrust();                                             // one request at a time
        QTRY_VERIFY(sender.isTrusted() || portal.calls().contains("Close")); // a refused session is closed
        QCOMPARE(sender.isTrusted(), !keys.isEmpty());
        QCOMPARE(sender.canPrompt(), !keys.isEmpty()); // refused: dictations are copied from then on
        QCOMPARE(portal.calls().filter("CreateSession").size(), 1);
        QCOMPARE(portal.calls().filter("SelectDevices"), QStringList("SelectDevices 1 2 " + saved));
        QCOMPARE(contents(file), keys.isEmpty() ? saved : "token-1");
        QVERIFY(keys.isEmpty() || !(QFile::permissions(file) & 0x77)); // nothing for group and others
        QVERIFY(!logLines().join('\n').contains("token-"));
        sender.postPaste({1, target});
        const auto sent = [&] { return portal.calls().filter(QRegularExpression("^[0-9a-f]+[+-]$")).join(' '); };
        QTRY_COMPARE(sent(), keys);
        QTest::qWait(100); // nothing more comes, nor anything late when untrusted
        QCOMPARE(sent(), keys);
    }
};

TALVANE_TEST_MAIN(PlatformTest)
#include "PlatformTest.moc"
