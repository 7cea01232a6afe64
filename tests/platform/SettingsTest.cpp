#include "TestSupport.h"

#include "platform/Paths.h"
#include "platform/Settings.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

using TestSupport::logLines;
using TestSupport::readFile;
using TestSupport::writeFile;

class SettingsTest : public QObject
{
    Q_OBJECT

    QStringList newLogLines()
    {
        const QStringList all = logLines();
        const QStringList fresh = all.mid(seen);
        seen = all.size();
        return fresh;
    }
    qsizetype seen = 0;

    static bool anyEndsWith(const QStringList &lines, const QString &text)
    {
        return std::any_of(lines.begin(), lines.end(), [&](const QString &l) { return l.endsWith(text); });
    }

private Q_SLOTS:
    void init()
    {
        QDir(Settings::path()).removeRecursively();
        QFile::remove(Settings::path());
        QFile::remove(Settings::path() + QStringLiteral(".bad"));
        newLogLines();
    }

    void missingFileGivesDefaultsAndWritesNothing()
    {
        const Settings s = Settings::load();
        QCOMPARE(s, Settings());
        QCOMPARE(s.model, QStringLiteral("large-v3-turbo"));
        QCOMPARE(s.language, QStringLiteral("auto"));
        QCOMPARE(s.engine, Engine::local);
        QVERIFY(s.autoPaste && s.cleanSpeech && s.modelsDir.isEmpty());
        QVERIFY(s.prompt.startsWith(QStringLiteral("Nimbrel Cloud, Claude,")));
        QVERIFY(anyEndsWith(newLogLines(),
                            QStringLiteral("[INFO] No settings file at %1 — using defaults").arg(Settings::path())));
        QVERIFY(!QFile::exists(Settings::path()));
    }

    void partialFilesTakeDefaults_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("model");
        QTest::addColumn<bool>("autoPaste");
        QTest::newRow("empty object") << QByteArray("{}") << QStringLiteral("large-v3-turbo") << true;
        QTest::newRow("only Model") << QByteArray(R"({"Model":"small"})") << QStringLiteral("small") << true;
        QTest::newRow("nulls") << QByteArray(R"({"Model":null,"AutoPaste":null})") << QStringLiteral("large-v3-turbo")
                               << true;
        QTest::newRow("unknown keys") << QByteArray(R"({"Theme":"dark","AutoPaste":false})")
                                      << QStringLiteral("large-v3-turbo") << false;
        QTest::newRow("model not in catalogue") << QByteArray(R"({"Model":"my-finetune"})")
                                                << QStringLiteral("my-finetune") << true;
    }

    void partialFilesTakeDefaults()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, model);
        QFETCH(bool, autoPaste);
        writeFile(Settings::path(), json);
        const Settings s = Settings::load();
        QCOMPARE(s.model, model);
        QCOMPARE(s.autoPaste, autoPaste);
        QCOMPARE(s.prompt, Settings().prompt);
        QVERIFY(anyEndsWith(newLogLines(), QStringLiteral("[INFO] Settings loaded from %1").arg(Settings::path())));
        QCOMPARE(readFile(Settings::path()), json); // no migration: not rewritten
    }

    void badFilesGiveDefaultsAndAreKeptAside_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("invalid json") << QByteArray("{\"Model\": ");
        QTest::newRow("AutoPaste as string") << QByteArray(R"({"Model":"small","AutoPaste":"yes"})");
        QTest::newRow("Model as number") << QByteArray(R"({"Model":5})");
        QTest::newRow("top level array") << QByteArray(R"(["Model","small"])");
        QTest::newRow("top level string") << QByteArray(R"("small")");
        QTest::newRow("invalid utf-8") << QByteArray("{\"Model\":\"sm\xff\xfe\"}");
        QTest::newRow("empty file") << QByteArray();
        QByteArray garbage(10 * 1024 * 1024, '\0');
        for (int i = 0; i < garbage.size(); ++i)
            garbage[i] = char((qint64(i) * 7919 + 13) % 251);
        QTest::newRow("10 MB of garbage") << garbage;
    }

    void badFilesGiveDefaultsAndAreKeptAside()
    {
        QFETCH(QByteArray, content);
        writeFile(Settings::path(), content);
        QCOMPARE(Settings::load(), Settings());
        const QStringList lines = newLogLines();
        QVERIFY2(std::any_of(lines.begin(), lines.end(),
                             [](const QString &l) {
                                 return l.contains(QStringLiteral("[ERROR] Settings load from %1 failed, using defaults: ")
                                                       .arg(Settings::path()));
                             }),
                 qPrintable(lines.join('\n')));
        QCOMPARE(readFile(Settings::path()), content);
        // The first change made in the menu keeps the hand edit beside the new file.
        Settings changed = Settings::load();
        changed.autoPaste = false;
        changed.save();
        QCOMPARE(readFile(Settings::path() + QStringLiteral(".bad")), content);
        QCOMPARE(Settings::load(), changed);
    }

    void folderInPlaceOfTheFile()
    {
        QVERIFY(QDir().mkpath(Settings::path()));
        QCOMPARE(Settings::load(), Settings());
        QVERIFY(anyEndsWith(newLogLines(), QStringLiteral("it is a folder, not a file")));
        Settings().save(); // cannot replace a folder: logged, nothing thrown
        QVERIFY(QFileInfo(Settings::path()).isDir());
        QVERIFY(newLogLines().join('\n').contains(QStringLiteral("[ERROR] Settings save failed: ")));
    }

    void legacyFileIsMigratedAndRewritten()
    {
        writeFile(Settings::path(), "{\"Model\":\"small\",\"Engine\":\"server\",\"ApiKey\":\"k1\",\"ServerUrl\":"
                                    "\"https://x/\",\"ServerKey\":\"secret-token\",\"ServerModel\":\"m\","
                                    "\"PaidUntil\":\"2026-01-01\"}");
        const Settings s = Settings::load();
        QCOMPARE(s.model, QStringLiteral("small"));
        QCOMPARE(s.engine, Engine::local);
        const QStringList lines = newLogLines();
        QVERIFY(anyEndsWith(lines, QStringLiteral("[INFO] Settings: recognition 'server' is gone in 3.4 — switched to this Mac")));
        QCOMPARE(lines.filter(QStringLiteral("removed the key, own server and paid-until fields of 3.3")).size(), 1);
        QVERIFY(!lines.join('\n').contains(QStringLiteral("secret-token")));
        const QByteArray rewritten = readFile(Settings::path());
        for (const char *key : {"ApiKey", "ServerUrl", "ServerKey", "ServerModel", "PaidUntil"})
            QVERIFY2(!rewritten.contains(key), key);
        const QJsonObject object = QJsonDocument::fromJson(rewritten).object();
        QCOMPARE(object.value("Model").toString(), QStringLiteral("small"));
        QCOMPARE(object.value("Engine").toString(), QStringLiteral("local"));
        QCOMPARE(object.size(), 7);
    }

    void migrateReportsChanges()
    {
        QVERIFY(!Settings::migrate("{}"));
        QVERIFY(!Settings::migrate("not json"));
        QVERIFY(Settings::migrate(R"({"PaidUntil":null})"));
        QVERIFY(!Settings::migrate(R"({"Engine":"cloud"})"));
        QVERIFY(Settings::migrate(R"({"Engine":"Local"})")); // compared exactly
    }

    void saveRoundTripsEveryField()
    {
        Settings s;
        s.model = QStringLiteral("base");
        s.prompt = QStringLiteral("Привет, \"мир\" \\ / tab\tnew\nline 😀");
        s.language = QStringLiteral("ru");
        s.modelsDir = QStringLiteral("/home/user/my models");
        s.autoPaste = false;
        s.cleanSpeech = false;
        s.engine = Engine::cloud;
        s.save();
        QCOMPARE(Settings::load(), s);
        const QByteArray text = readFile(Settings::path());
        QVERIFY2(text.contains("/home/user/my models"), "slashes are not escaped");
        QVERIFY(QJsonDocument::fromJson(text).isObject());
        // Keys in the documented order, one per line.
        qsizetype at = 0;
        for (const char *key : {"Model", "Prompt", "Language", "ModelsDir", "AutoPaste", "CleanSpeech", "Engine"}) {
            const qsizetype next = text.indexOf(QByteArray("\"") + key + "\"", at);
            QVERIFY2(next > at, key);
            at = next;
        }
        QVERIFY(text.count('\n') >= 8);

        Settings empty;
        empty.modelsDir.clear();
        empty.save();
        QCOMPARE(Settings::load(), empty);
    }

    void unknownKeysDisappearAtNextSave()
    {
        writeFile(Settings::path(), R"({"Theme":"dark"})");
        Settings::load().save();
        QVERIFY(!readFile(Settings::path()).contains("Theme"));
    }
};

TALVANE_TEST_MAIN(SettingsTest)
#include "SettingsTest.moc"
