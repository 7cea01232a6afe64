#include "AwaitTask.h"
#include "TestSupport.h"

#include "platform/Autostart.h"
#include "platform/CloudKeyProvider.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "platform/Settings.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <thread>

using namespace TestSupport;
namespace fs = std::filesystem;

// Table rows, one element per column (named where the row is taken apart).
using LogFiles = std::tuple<QByteArray, QByteArray, QByteArray, QByteArray>;
using SettingsFile = std::tuple<QByteArray, Settings, int>;
using CloudFile = std::tuple<QByteArray, QString, QString, bool, int>;
Q_DECLARE_METATYPE(LogFiles)
Q_DECLARE_METATYPE(SettingsFile)
Q_DECLARE_METATYPE(CloudFile)

class PlatformTest : public QObject
{
    Q_OBJECT

    enum { used, migrated, keptAside }; // what becomes of a settings file
    inline static const QString header = Log::header;
    std::optional<QTemporaryDir> tmp;
    QString at(const QString &name) const { return tmp->filePath(name); }
    static QStringList linesOf(const QString &path) { return QString(readFile(path)).split('\n', Qt::SkipEmptyParts); }
    // An [ERROR] line naming the file is the user's only explanation of a file that was ignored.
    static bool errorNames(QStringList lines, const QString &file)
    {
        return !lines.filter("[ERROR]").filter(file).isEmpty();
    }

private Q_SLOTS:
    void init()
    {
        tmp.emplace();
        for (const QString &file : {Settings::path(), Settings::path() + ".bad", CloudKeyFile::path()})
            fs::remove_all(file.toStdString());
    }

    void firstWriteDropsOldFormatsAndRotates_data()
    {
        QTest::addColumn<LogFiles>("files"); // talvane.log and .old.log before, then what they begin with after
        const QByteArray h = header.toUtf8(), head = h + '\n', earlier = head + "earlier\n";
        const QByteArray full = head + QByteArray(Log::rotateAbove - head.size() - 1, 'x') + '\n';
        const auto dropped = [&](const QByteArray &old) { return LogFiles{old, old, head, {}}; };
        const auto kept = [](const QByteArray &ours) { return LogFiles{ours, ours, ours, ours}; };
        QTest::newRow("timestamped first line") << dropped("2026-01-01 00:00:00.000 [INFO] x\n");
        QTest::newRow("empty") << dropped("");
        QTest::newRow("invalid utf-8") << dropped(QByteArray("\xff\xfe\x00garbage", 10));
        QTest::newRow("header with more text") << dropped(h + " and more\n");
        QTest::newRow("header then lf") << kept(head + "entry\n");
        QTest::newRow("header then crlf") << kept(h + "\r\nentry\r\n");
        QTest::newRow("header then line separator") << kept(h + "\u2028rest");
        QTest::newRow("header only, no line break") << kept(h);
        QTest::newRow("exactly 1,048,576 bytes") << LogFiles{full, earlier, full, earlier};
        QTest::newRow("1,048,577 bytes") << LogFiles{full + 'x', earlier, head, full + 'x'};
    }
    void firstWriteDropsOldFormatsAndRotates()
    {
        QFETCH(LogFiles, files);
        const auto &[log, old, logStart, oldAfter] = files; // oldAfter null: no file
        writeFile(at("talvane.log"), log);
        writeFile(at("talvane.old.log"), old);
        Log::Writer(tmp->path().toStdString()).write("INFO", "one call,\r\none line");
        const QByteArray now = readFile(at("talvane.log"));
        QVERIFY2(now.startsWith(logStart) && now.endsWith("[INFO] one call,  one line\n"), now.right(99).constData());
        QCOMPARE(QFile::exists(at("talvane.old.log")), !oldAfter.isNull());
        QCOMPARE(readFile(at("talvane.old.log")), oldAfter);
    }

    void unwritableFolderDropsLinesWithoutFailing()
    {
        Log::Writer(at("missing/folder").toStdString()).write("ERROR", "lost"); // returns: nothing blocks or throws
        QVERIFY(!QFile::exists(at("missing")));
    }

    void threadsAndProcessesKeepLinesWhole()
    {
        QProcess other; // this program again, as another process writing the same log: see main()
        other.start(QCoreApplication::applicationFilePath(), {"--write-log", tmp->path()});
        {
            Log::Writer writer(tmp->path().toStdString());
            std::vector<std::jthread> threads;
            for (int t = 0; t < 4; ++t)
                threads.emplace_back([&writer, t] {
                    for (int i = 0; i < 2500; ++i)
                        writer.write("INFO", "thread" + std::to_string(t) + " line " + std::to_string(i));
                });
        }
        QVERIFY(other.waitForFinished(60000) && other.exitCode() == 0);
        QStringList lines = linesOf(at("talvane.log"));
        QCOMPARE(lines.lastIndexOf(header), 0);
        static const QRegularExpression shape(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[INFO\] (\w+) line (\d+)$)");
        QMap<QString, int> next; // each writer's lines whole, all there and in order
        for (const QString &line : lines.mid(1)) {
            const auto match = shape.match(line);
            QVERIFY2(match.hasMatch(), qPrintable(line));
            QCOMPARE(match.captured(2).toInt(), next[match.captured(1)]++);
        }
        QCOMPARE(next.values(), QList<int>(5, 2500));
    }

    void settingsFiles_data()
    {
        QTest::addColumn<SettingsFile>("file");
        const auto row = [](const char *json, Settings expected = {}, int outcome = keptAside) {
            return SettingsFile{json ? QByteArray(json) : QByteArray(), expected, outcome};
        };
        QTest::newRow("no file") << row(nullptr, {}, used);
        QTest::newRow("nulls") << row(R"({"Model":null,"AutoPaste":null})", {}, used);
        QTest::newRow("unknown keys") << row(R"({"Theme":"dark","AutoPaste":false})", {.autoPaste = false}, used);
        QTest::newRow("model not in catalogue") << row(R"({"Model":"my-finetune"})", {"my-finetune"}, used);
        QTest::newRow("old version") << row(R"({"Model":"small","Engine":"server","ServerKey":"secret-token"})",
                                            {"small"}, migrated);
        QTest::newRow("invalid json") << row("{\"Model\": ");
        QTest::newRow("AutoPaste as string") << row(R"({"Model":"small","AutoPaste":"yes"})");
        QTest::newRow("Model as number") << row(R"({"Model":5})");
        QTest::newRow("top level array") << row(R"(["Model","small"])");
        QTest::newRow("top level string") << row(R"("small")");
        QTest::newRow("invalid utf-8") << row("{\"Model\":\"sm\xff\xfe\"}");
        QTest::newRow("empty file") << row("");
        QByteArray garbage(10 * 1024 * 1024, '\0');
        for (int i = 0; i < garbage.size(); ++i)
            garbage[i] = char((qint64(i) * 7919 + 13) % 251);
        QTest::newRow("10 MB of garbage") << SettingsFile{garbage, {}, keptAside};
    }
    void settingsFiles()
    {
        QFETCH(SettingsFile, file);
        const auto &[json, expected, outcome] = file; // json null: no file
        if (!json.isNull())
            writeFile(Settings::path(), json);
        const qsizetype mark = logLines().size();
        QCOMPARE(Settings::load(), expected);
        QCOMPARE(errorNames(logLines().mid(mark), Settings::path()), outcome == keptAside);
        QVERIFY(!logLines().mid(mark).join('\n').contains("secret-token"));
        QCOMPARE(readFile(Settings::path()) == json, outcome != migrated);
        // The first change made in the menu keeps a hand edit with a slip in it beside the new file.
        const Settings changed{"base",       "«мир» \\ / \"tab\"\t\nline 😀", "ru", "/home/my models", false, false,
                               Engine::cloud};
        changed.save();
        QCOMPARE(QFile::exists(Settings::path() + ".bad"), outcome == keptAside);
        QCOMPARE(readFile(Settings::path() + ".bad"), outcome == keptAside ? json : QByteArray());
        QCOMPARE(Settings::load(), changed);
        QVERIFY(!readFile(Settings::path()).contains("Theme") && !readFile(Settings::path()).contains("ServerKey"));
    }

    void autostartRoundTrip_data()
    {
        QTest::addColumn<bool>("xdg");
        QTest::addColumn<QString>("exe");
        for (const bool xdg : {true, false})
            for (const char *exe : {"/home/user/My Apps/talvane", "/opt/100%/tal\"vane$x`y\\z", "/home/юзер/talvane",
                                    "/a/b&c;d/<e>/talvane", "/home/user/My\u00a0Apps/talvane", "/tmp/a\rb/talvane"})
                QTest::addRow("%s %s", xdg ? "xdg" : "plist", exe) << xdg << QString(exe);
    }
    void autostartRoundTrip()
    {
        QFETCH(bool, xdg);
        QFETCH(QString, exe);
        const auto &format = xdg ? Autostart::xdgEntry() : Autostart::launchAgent();
        const QString folder = at("autostart"), file = folder + '/' + format.fileName;
        Autostart::set(true, folder, "/opt/talvane", format); // a copy elsewhere; creates the folder
        QVERIFY(!Autostart::isOn(folder, exe, format));
        Autostart::set(true, folder, exe, format);
        QVERIFY(Autostart::isOn(folder, exe, format) && !Autostart::isOn(folder, std::nullopt, format));
        QVERIFY(!xdg || QProcess::execute("desktop-file-validate", {file}) == 0);
        Autostart::set(true, folder, std::nullopt, format); // nothing to start: removed
        Autostart::set(false, folder, exe, format);         // off when it is off already
        QVERIFY(!QFile::exists(file));
    }

    void autostartFolderThatCannotBeCreatedIsReported()
    {
        writeFile(at("blocker"), "a file, not a folder");
        QVERIFY_THROWS_EXCEPTION(Autostart::Error, Autostart::set(true, at("blocker/autostart"), "/usr/bin/talvane"));
        QVERIFY(!Autostart::executable()); // run from the build tree, which the next build replaces: not offered
    }

    void cloudKeyFiles_data()
    {
        QTest::addColumn<CloudFile>("file"); // what is in cloud.json (null: no file), with its permissions
        const QString standard = CloudKeyFile::defaultServiceUrl().toString(), local = "http://127.0.0.1:8080";
        const auto row = [&](const QByteArray &json, const char *key, bool error, int mode = 0600, QString url = {}) {
            return CloudFile{json, key, url.isNull() ? standard : url, error, mode};
        };
        QTest::newRow("no file") << row({}, "", false);
        QTest::newRow("key and address") << row("{\"URL\": \"" + local.toUtf8() + "\", \"Key\": \" sk-a\\n\"}", "sk-a",
                                                false, 0644, local);
        QTest::newRow("empty file") << row("", "", true, 0604);
        QTest::newRow("not JSON") << row("Key=sk-not-json", "", true, 0640);
        QTest::newRow("array") << row(R"(["sk-in-array"])", "", true);
        QTest::newRow("key is a number") << row(R"({"Key": 4242})", "", true);
        QTest::newRow("key is blank") << row(R"({"Key": " \t\n "})", "", false);
        QTest::newRow("ftp address") << row("{\"URL\": \"ftp://nimbrel.example\", \"Key\": \"sk-b\"}", "sk-b", true);
        QTest::newRow("address without host") << row("{\"URL\": \"https://\", \"Key\": \"sk-c\"}", "sk-c", true);
        QTest::newRow("address is a number") << row(R"({"URL": 8080, "Key": "sk-d"})", "sk-d", true);
    }
    void cloudKeyFiles()
    {
        QFETCH(CloudFile, file);
        const auto &[json, key, url, error, permissions] = file;
        CloudKeyFile provider; // made before the file: it reads the file afresh on every call
        if (!json.isNull())
            writeFile(CloudKeyFile::path(), json);
        chmod(qPrintable(CloudKeyFile::path()), permissions);
        QCOMPARE(provider.current().key, key);
        QCOMPARE(provider.current().serviceUrl, QUrl(url));
        QCOMPARE(QFile::exists(CloudKeyFile::path()), !json.isNull()); // reading alone creates nothing
        const qsizetype mark = logLines().size();
        QCOMPARE(await(provider.fetch()).value, std::optional<bool>(!key.isEmpty()));
        QCOMPARE(errorNames(logLines().mid(mark), CloudKeyFile::path()), error);
        QVERIFY(!logLines().mid(mark).join('\n').contains("sk-"));        // no key, ever
        QVERIFY(!(QFile::permissions(CloudKeyFile::path()) & 0x77));      // nothing for group and others
        QVERIFY(json.isNull() || readFile(CloudKeyFile::path()) == json); // the user's file is never rewritten
    }
};

int main(int argc, char **argv)
{
    if (argc == 3 && std::string_view(argv[1]) == "--write-log") { // the other process of threadsAndProcesses…
        Log::Writer writer(argv[2]);
        for (int i = 0; i < 2500; ++i)
            writer.write("INFO", "process line " + std::to_string(i));
        return 0;
    }
    isolateHome();
    QCoreApplication app(argc, argv);
    PlatformTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "PlatformTest.moc"
