#include "AwaitTask.h"
#include "TestSupport.h"

#include "platform/CloudKeyProvider.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <sys/stat.h>

using TestSupport::await;
using TestSupport::logLines;
using TestSupport::readFile;

namespace {

const QString secret = QStringLiteral("sk-device-SECRET-91be");

int mode(const QString &path)
{
    struct stat info
    {
    };
    if (stat(QFile::encodeName(path).constData(), &info) != 0)
        return -1;
    return int(info.st_mode & 07777);
}

void write(const QByteArray &json, int permissions = 0600)
{
    TestSupport::writeFile(CloudKeyFile::path(), json);
    chmod(QFile::encodeName(CloudKeyFile::path()).constData(), mode_t(permissions));
}

bool fetch(CloudKeyFile &provider)
{
    const auto outcome = await(provider.fetch());
    return outcome.value.value_or(false);
}

} // namespace

class CloudKeyProviderTest : public QObject
{
    Q_OBJECT

    qsizetype seen = 0;
    QStringList newLogLines()
    {
        const QStringList all = logLines();
        const QStringList fresh = all.mid(seen);
        seen = all.size();
        return fresh;
    }

private Q_SLOTS:
    void init()
    {
        QFile::remove(CloudKeyFile::path());
        newLogLines();
    }

    void missingFileBecomesAPrivateTemplate()
    {
        CloudKeyFile provider;
        QCOMPARE(provider.current().key, QString());
        QVERIFY(!QFile::exists(CloudKeyFile::path())); // reading alone creates nothing
        QVERIFY(!fetch(provider));
        QVERIFY(!provider.unreachable());
        QCOMPARE(mode(CloudKeyFile::path()), 0600);
        const QJsonObject json = QJsonDocument::fromJson(readFile(CloudKeyFile::path())).object();
        QCOMPARE(json.value(u"URL"_qs).toString(), u"https://api.nimbrel.cloud"_qs);
        QCOMPARE(json.value(u"Key"_qs).toString(u"missing"_qs), QString());
        const QStringList log = newLogLines();
        QVERIFY(log.last().endsWith(
            u"[INFO] Cloud key: no key file — created %1 for the device key"_qs.arg(CloudKeyFile::path())));
        QCOMPARE(provider.current().serviceUrl, QUrl(u"https://api.nimbrel.cloud"_qs));
    }

    void filledInKeyIsUsed()
    {
        CloudKeyFile provider;
        QVERIFY(!fetch(provider)); // writes the template
        QJsonObject json = QJsonDocument::fromJson(readFile(CloudKeyFile::path())).object();
        json.insert(u"Key"_qs, u"  "_qs + secret + u"\n"_qs);
        json.insert(u"URL"_qs, u"https://eu.nimbrel.example/base"_qs);
        write(QJsonDocument(json).toJson());

        QCOMPARE(provider.current().key, secret); // read afresh, no fetch needed
        QVERIFY(fetch(provider));
        QVERIFY(!provider.unreachable());
        QCOMPARE(provider.current().serviceUrl, QUrl(u"https://eu.nimbrel.example/base"_qs));
        QVERIFY(newLogLines().last().endsWith(u"[INFO] Cloud key: read from "_qs + CloudKeyFile::path()));
        QVERIFY(readFile(CloudKeyFile::path()).contains(secret.toUtf8())); // the user's file is left as it is

        write(R"({"Key": "replaced"})");
        QCOMPARE(provider.current().key, u"replaced"_qs);
    }

    void malformedFiles_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("error"); // the logged problem, empty for none
        const QString fallback = u"https://api.nimbrel.cloud"_qs;
        QTest::newRow("empty file") << QByteArray() << QString() << fallback << u"not valid JSON"_qs;
        QTest::newRow("not JSON") << QByteArray("Key=abc") << QString() << fallback << u"not valid JSON"_qs;
        QTest::newRow("array") << QByteArray(R"(["abc"])") << QString() << fallback
                               << u"the top level is not a JSON object"_qs;
        QTest::newRow("empty object") << QByteArray("{}") << QString() << fallback << QString();
        QTest::newRow("key is a number") << QByteArray(R"({"Key": 42})") << QString() << fallback
                                         << u"\"Key\" is not a string"_qs;
        QTest::newRow("key is null") << QByteArray(R"({"Key": null})") << QString() << fallback << QString();
        QTest::newRow("key is blank") << QByteArray(R"({"Key": " \t\n "})") << QString() << fallback << QString();
        QTest::newRow("ftp address") << QByteArray("{\"URL\": \"ftp://nimbrel.example\", \"Key\": \"k1\"}") << u"k1"_qs
                                     << fallback << u"\"URL\" is not an http(s) address"_qs;
        QTest::newRow("address without host") << QByteArray("{\"URL\": \"https://\", \"Key\": \"k2\"}") << u"k2"_qs
                                              << fallback << u"\"URL\" is not an http(s) address"_qs;
        QTest::newRow("address is a number") << QByteArray(R"({"URL": 8080, "Key": "k3"})") << u"k3"_qs << fallback
                                             << u"\"URL\" is not an http(s) address"_qs;
        QTest::newRow("plain http with port") << QByteArray("{\"URL\": \"http://127.0.0.1:8080\", \"Key\": \"k4\"}")
                                              << u"k4"_qs << u"http://127.0.0.1:8080"_qs << QString();
    }

    void malformedFiles()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, key);
        QFETCH(QString, url);
        QFETCH(QString, error);
        write(json);
        CloudKeyFile provider;
        QCOMPARE(provider.current().key, key);
        QCOMPARE(provider.current().serviceUrl, QUrl(url));
        QCOMPARE(fetch(provider), !key.isEmpty());
        QCOMPARE(readFile(CloudKeyFile::path()), json); // never rewritten
        const QStringList log = newLogLines();
        const QString problem = u"[ERROR] Cloud key: %1: %2"_qs.arg(CloudKeyFile::path(), error);
        const bool logged = std::any_of(log.begin(), log.end(), [&](const QString &l) { return l.contains(problem); });
        QCOMPARE(logged, !error.isEmpty());
        QVERIFY(log.last().contains(key.isEmpty() ? u"[INFO] Cloud key: no key in "_qs
                                                  : u"[INFO] Cloud key: read from "_qs));
    }

    void fileOpenToOthersIsRestricted_data()
    {
        QTest::addColumn<int>("before");
        QTest::newRow("0644") << 0644;
        QTest::newRow("0666") << 0666;
        QTest::newRow("0640") << 0640;
        QTest::newRow("0604") << 0604;
    }

    void fileOpenToOthersIsRestricted()
    {
        QFETCH(int, before);
        write(R"({"Key": "sk-device-SECRET-91be"})", before);
        CloudKeyFile provider;
        QVERIFY(fetch(provider));
        QCOMPARE(mode(CloudKeyFile::path()), 0600);
        QVERIFY(newLogLines().first().endsWith(
            u"[INFO] Cloud key: %1 was open to other users — now readable by its owner only"_qs.arg(
                CloudKeyFile::path())));
    }

    // Last: by now the key has been read, fetched and refused in every way above.
    void logNeverHoldsTheKey()
    {
        const QString log = logLines().join(u'\n');
        QVERIFY(log.contains(u"Cloud key:"_qs));
        QVERIFY(!log.contains(secret));
        QVERIFY(!log.contains(u"k1"_qs) && !log.contains(u"replaced"_qs));
    }
};

TALVANE_TEST_MAIN(CloudKeyProviderTest)
#include "CloudKeyProviderTest.moc"
