#include "AwaitTask.h"
#include "HttpServer.h"
#include "TestSupport.h"

#include "recognition/EngineError.h"
#include "recognition/ModelDownloader.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

using TestSupport::await;
using TestSupport::logLines;
using Framing = HttpServer::Response::Framing;

namespace {

HttpServer::Response file(qint64 size, Framing framing = Framing::length)
{
    HttpServer::Response response;
    response.generatedSize = size;
    response.framing = framing;
    response.addHeader("Content-Type", "application/octet-stream");
    return response;
}

// Compares the file with the server's pattern a block at a time, so a 100 MB file is
// never held whole.
bool holdsPattern(const QString &path, qint64 size)
{
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly) || in.size() != size)
        return false;
    for (qint64 at = 0; at < size;) {
        const QByteArray block = in.read(1 << 20);
        if (block.isEmpty() || block != HttpServer::pattern(at, block.size()))
            return false;
        at += block.size();
    }
    return true;
}

// Turns the immutable attribute of a folder on or off. Root ignores permission bits, so
// that is how a test run as root gets a folder it cannot write to.
bool setImmutable(const QString &folder, bool on)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return false;
    int flags = 0;
    bool ok = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    ok = ok && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    ::close(fd);
    return ok;
}

} // namespace

class DownloaderTest : public QObject
{
    Q_OBJECT

    HttpServer server;
    QTemporaryDir folder;
    QString destination;

    TestSupport::Outcome<void> download(const HttpServer::Response &answer, QList<int> *progress = nullptr,
                                        const QString &path = {})
    {
        // Qt sends a GET again on a fresh connection when the first one drops before the
        // answer has begun to arrive; a retry meets the same answer. init() drops the unused.
        for (int i = 0; i < 3; ++i)
            server.enqueue(answer);
        return await(ModelDownloader::download(server.url(u"/ggml-tiny.bin"_qs), path.isEmpty() ? destination : path,
                                               [progress](int percent) {
                                                   if (progress)
                                                       progress->append(percent);
                                               }));
    }

    QStringList folderEntries() const
    {
        return QDir(folder.path()).entryList(QDir::Files | QDir::Hidden | QDir::System);
    }

private Q_SLOTS:
    void init()
    {
        server.clearScript();
        QDir(folder.path()).removeRecursively();
        QDir().mkpath(folder.path());
        destination = folder.filePath(u"ggml-tiny.bin"_qs);
    }

    void percentages_data()
    {
        QTest::addColumn<qint64>("written");
        QTest::addColumn<qint64>("expected");
        QTest::addColumn<int>("percent");
        QTest::newRow("first bytes") << qint64(0) << qint64(1'000'000) << 0;
        QTest::newRow("just under one percent") << qint64(9'999) << qint64(1'000'000) << 0;
        QTest::newRow("one percent") << qint64(10'000) << qint64(1'000'000) << 1;
        QTest::newRow("one byte short") << qint64(999'999) << qint64(1'000'000) << 99;
        QTest::newRow("all of it") << qint64(1'000'000) << qint64(1'000'000) << 100;
        QTest::newRow("3 GiB file, no overflow") << qint64(3'221'225'471) << qint64(3'221'225'472) << 99;
        QTest::newRow("size unknown") << qint64(5'000) << qint64(-1) << -1;
        QTest::newRow("size zero") << qint64(0) << qint64(0) << -1;
    }

    void percentages()
    {
        QFETCH(qint64, written);
        QFETCH(qint64, expected);
        QFETCH(int, percent);
        QCOMPARE(ModelDownloader::percent(written, expected), percent);
    }

    void downloads_data()
    {
        QTest::addColumn<HttpServer::Response>("answer");
        QTest::addColumn<bool>("sizeKnown");
        QTest::addColumn<QByteArray>("existing");
        QTest::newRow("known size") << file(3'000'000) << true << QByteArray();
        QTest::newRow("100 MB") << file(100 * 1024 * 1024) << true << QByteArray();
        QTest::newRow("chunked, size unknown") << file(2'500'000, Framing::chunked) << false << QByteArray();
        QTest::newRow("ended by close, size unknown") << file(700'000, Framing::close) << false << QByteArray();
        HttpServer::Response drip = file(200);
        drip.dripBytes = 1;
        drip.dripIntervalMs = 3;
        QTest::newRow("slow drip") << drip << true << QByteArray();
        QTest::newRow("replaces a truncated model") << file(1'000'000) << true << QByteArray("lmgg\x01\x00", 6);
        QTest::newRow("empty file") << file(0) << true << QByteArray();
    }

    void downloads()
    {
        QFETCH(HttpServer::Response, answer);
        QFETCH(bool, sizeKnown);
        QFETCH(QByteArray, existing);
        if (!existing.isEmpty())
            TestSupport::writeFile(destination, existing);
        QList<int> progress;
        const auto outcome = download(answer, &progress);
        // The message is built whether or not the check fails, so it must not assume an error.
        const auto failure = outcome.errorAs<DescribedError>();
        QVERIFY2(!outcome.error, qPrintable(failure ? failure->description() : QString()));
        QVERIFY(holdsPattern(destination, answer.generatedSize));
        QCOMPARE(folderEntries(), QStringList{u"ggml-tiny.bin"_qs});
        QCOMPARE(server.requests().last().headers.value("accept-encoding"), QByteArray("identity"));

        if (!sizeKnown || answer.generatedSize == 0) {
            QCOMPARE(progress, QList<int>());
        } else {
            QVERIFY(!progress.isEmpty() && progress.size() <= 101);
            QCOMPARE(progress.last(), 100);
            QVERIFY(progress.first() >= 0);
            QVERIFY2(std::adjacent_find(progress.begin(), progress.end(), std::greater_equal<int>()) == progress.end(),
                     "each percent once, rising");
        }
        const QStringList log = logLines();
        QVERIFY(
            log.value(log.size() - 2)
                .endsWith(u"[INFO] Downloading model from http://127.0.0.1:%1/ggml-tiny.bin"_qs.arg(server.port())));
        QVERIFY(log.last().endsWith(u"[INFO] Model downloaded: "_qs + destination));
    }

    void dripReportsEveryPercent()
    {
        // 200 bytes a byte at a time: every byte moves the percent on by a half, so the
        // reports are 0, 1, 2, … with none twice, whatever Qt groups together.
        HttpServer::Response drip = file(200);
        drip.dripBytes = 1;
        drip.dripIntervalMs = 2;
        QList<int> progress;
        QVERIFY(!download(drip, &progress).error);
        QVERIFY(progress.size() > 20);
        QCOMPARE(progress.last(), 100);
        for (qsizetype i = 1; i < progress.size(); ++i)
            QVERIFY(progress[i] > progress[i - 1]);
    }

    void followsRedirects()
    {
        HttpServer::Response moved = HttpServer::Response::text(302, "");
        moved.addHeader("Location", "/cdn/ggml-tiny.bin");
        server.enqueue(moved);
        QList<int> progress;
        QVERIFY(!download(file(500'000), &progress).error);
        QVERIFY(holdsPattern(destination, 500'000));
        QCOMPARE(server.requests().last().target, QByteArray("/cdn/ggml-tiny.bin"));
        QCOMPARE(progress.last(), 100);
    }

    void failures_data()
    {
        QTest::addColumn<HttpServer::Response>("answer");
        QTest::addColumn<bool>("existing");
        QTest::addColumn<QStringList>("descriptions"); // any of these
        const QByteArray page =
            "<!DOCTYPE html><html><body><h1>404 Not Found</h1>" + QByteArray(5000, ' ') + "</body></html>";
        for (const bool existing : {false, true}) {
            const char *suffix = existing ? ", old model kept" : "";
            QTest::addRow("404 HTML%s", suffix) << HttpServer::Response::text(404, page, "text/html") << existing
                                                << QStringList{u"сервер ответил HTTP 404"_qs};
            HttpServer::Response forbidden = file(3000, Framing::chunked);
            forbidden.status = 403;
            QTest::addRow("403 chunked%s", suffix)
                << forbidden << existing << QStringList{u"сервер ответил HTTP 403"_qs};
            QTest::addRow("500%s", suffix)
                << HttpServer::Response::text(500, "oops") << existing << QStringList{u"сервер ответил HTTP 500"_qs};
            HttpServer::Response closed = file(1'000'000);
            closed.cutAfter = 300'000;
            const QStringList cut = {u"сервер закрыл соединение"_qs,
                                     u"загрузка оборвалась: получено 300000 из 1000000 байт"_qs};
            QTest::addRow("connection closed mid-file%s", suffix) << closed << existing << cut;
            HttpServer::Response reset = closed;
            reset.reset = true;
            QTest::addRow("connection reset mid-file%s", suffix)
                << reset << existing << QStringList{u"сервер закрыл соединение"_qs, u"загрузка оборвалась"_qs};
            HttpServer::Response lying = HttpServer::Response::text(200, "short");
            lying.announcedLength = 5000;
            QTest::addRow("fewer bytes than announced%s", suffix)
                << lying << existing
                << QStringList{u"сервер закрыл соединение"_qs, u"загрузка оборвалась: получено 5 из 5000 байт"_qs};
        }
    }

    void failures()
    {
        QFETCH(HttpServer::Response, answer);
        QFETCH(bool, existing);
        QFETCH(QStringList, descriptions);
        const QByteArray old = "an older model";
        if (existing)
            TestSupport::writeFile(destination, old);

        const auto outcome = download(answer);
        const auto error = outcome.errorAs<DescribedError>();
        QVERIFY(error);
        QVERIFY2(std::any_of(descriptions.begin(), descriptions.end(),
                             [&](const QString &d) { return error->description().startsWith(d); }),
                 qPrintable(error->description()));
        if (answer.status != 200) {
            const auto engineError = outcome.errorAs<EngineError>();
            QVERIFY(engineError);
            QCOMPARE(engineError->kind(), EngineError::Kind::downloadFailed);
        }
        QCOMPARE(folderEntries(), existing ? QStringList{u"ggml-tiny.bin"_qs} : QStringList());
        if (existing)
            QCOMPARE(TestSupport::readFile(destination), old);
        QVERIFY(logLines().last().endsWith(u"[ERROR] Failed to download model: "_qs + error->description()));
    }

    void noServer()
    {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        QUrl url = server.url(u"/ggml-tiny.bin"_qs);
        url.setPort(closed.serverPort());
        closed.close();
        const auto outcome = await(ModelDownloader::download(url, destination, [](int) {}));
        QCOMPARE(outcome.errorAs<DescribedError>()->description(), u"сервер не принимает соединения"_qs);
        QVERIFY(folderEntries().isEmpty());
    }

    void unwritableDestination_data()
    {
        QTest::addColumn<QString>("relative");
        QTest::addColumn<QString>("description");
        QTest::newRow("read-only folder") << u"locked/ggml-tiny.bin"_qs << u"нет прав на запись в папку %1/locked"_qs;
        QTest::newRow("missing folder") << u"gone/ggml-tiny.bin"_qs << u"папка %1/gone не существует"_qs;
        QTest::newRow("destination is a folder")
            << u"ggml-tiny.bin"_qs << u"на месте файла модели %1/ggml-tiny.bin находится папка"_qs;
    }

    void unwritableDestination()
    {
        QFETCH(QString, relative);
        QFETCH(QString, description);
        const QString locked = folder.filePath(u"locked"_qs);
        QVERIFY(QDir().mkpath(locked));
        QVERIFY(QFile::setPermissions(locked, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        const bool immutable = geteuid() == 0;
        if (immutable)
            QVERIFY2(setImmutable(locked, true), "as root, a folder can only be made unwritable with chattr +i");
        QVERIFY(QDir().mkpath(folder.filePath(u"ggml-tiny.bin/inside"_qs)));

        const qsizetype requests = server.requests().size();
        const auto outcome = download(file(1000), nullptr, folder.filePath(relative));
        if (immutable)
            setImmutable(locked, false);
        QFile::setPermissions(locked, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

        const auto error = outcome.errorAs<DescribedError>();
        QVERIFY(error);
        QVERIFY2(error->description().startsWith(description.arg(folder.path())), qPrintable(error->description()));
        QVERIFY(QDir(locked).isEmpty());
        QVERIFY(QFileInfo(folder.filePath(u"ggml-tiny.bin"_qs)).isDir());
        QCOMPARE(server.requests().size(), requests); // found before anything is fetched
        QVERIFY(logLines().last().contains(u"[ERROR] Failed to download model: "_qs));
    }
};

TALVANE_TEST_MAIN(DownloaderTest)
#include "DownloaderTest.moc"
