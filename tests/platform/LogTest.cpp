#include "TestSupport.h"

#include "platform/Log.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <thread>
#include <vector>

using TestSupport::readFile;
using TestSupport::writeFile;

namespace {

const QByteArray header = QByteArray(Log::header) + "\n";

QStringList linesOf(const QString &path)
{
    QStringList lines = QString::fromUtf8(readFile(path)).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

QByteArray bytesOfSize(qint64 size)
{
    QByteArray data = header;
    data += QByteArray(size - data.size() - 1, 'x');
    data += '\n';
    return data;
}

} // namespace

class LogTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString current() const { return dir.filePath(QStringLiteral("talvane.log")); }
    QString old() const { return dir.filePath(QStringLiteral("talvane.old.log")); }

    void writeLines(int count, const char *message = "line")
    {
        Log::Writer writer(dir.path().toStdString());
        for (int i = 0; i < count; ++i)
            writer.write("INFO", message);
    }

private Q_SLOTS:
    void init()
    {
        QFile::remove(current());
        QFile::remove(old());
    }

    void firstWriteCreatesFileWithHeaderAndLineFormat()
    {
        writeLines(1, "ok");
        const QStringList lines = linesOf(current());
        QCOMPARE(lines.size(), 2);
        QCOMPARE(lines[0], QString::fromLatin1(Log::header));
        QVERIFY2(QRegularExpression(QStringLiteral(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[INFO\] ok$)"))
                     .match(lines[1])
                     .hasMatch(),
                 qPrintable(lines[1]));
    }

    void timestampIsLocalTimeOfTheCall()
    {
        const QDateTime before = QDateTime::currentDateTime().addMSecs(-1);
        writeLines(1);
        const QDateTime after = QDateTime::currentDateTime().addMSecs(1);
        const QDateTime stamp =
            QDateTime::fromString(linesOf(current())[1].left(23), QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
        QVERIFY(stamp.isValid());
        QVERIFY(stamp >= before.addMSecs(-before.time().msec() % 1) && stamp <= after);
    }

    void oneCallIsOneLine()
    {
        {
            Log::Writer writer(dir.path().toStdString());
            writer.write("ERROR", "first\nsecond\r\nthird");
            writer.write("INFO", "Пробел ✓");
        }
        const QStringList lines = linesOf(current());
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines[1].endsWith(QStringLiteral(" [ERROR] first second  third")));
        QVERIFY(lines[2].endsWith(QStringLiteral(" [INFO] Пробел ✓")));
    }

    void oldFormatFilesAreDroppedOnFirstWrite_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("kept");
        QTest::newRow("timestamped first line") << QByteArray("2026-01-01 00:00:00.000 [INFO] x\n") << false;
        QTest::newRow("empty") << QByteArray() << false;
        QTest::newRow("header with more text") << QByteArray(Log::header) + " and more\n" << false;
        QTest::newRow("header then lf") << header + "entry\n" << true;
        QTest::newRow("header then crlf") << QByteArray(Log::header) + "\r\nentry\r\n" << true;
        QTest::newRow("header then line separator") << QByteArray(Log::header) + "\xE2\x80\xA8rest" << true;
        QTest::newRow("header only, no line break") << QByteArray(Log::header) << true;
        QTest::newRow("invalid utf-8") << QByteArray("\xff\xfe\x00garbage", 10) << false;
    }

    void oldFormatFilesAreDroppedOnFirstWrite()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, kept);
        writeFile(current(), content);
        writeFile(old(), content);
        writeLines(1, "fresh");
        const QStringList lines = linesOf(current());
        QVERIFY(readFile(current()).startsWith(Log::header));
        QVERIFY(lines.last().endsWith(QStringLiteral("[INFO] fresh")));
        if (kept) {
            QVERIFY(readFile(current()).startsWith(content));
            QCOMPARE(readFile(old()), content);
        } else {
            QCOMPARE(lines.size(), 2);
            QVERIFY(!QFile::exists(old()));
        }
    }

    void oldFormatCheckRunsOncePerRun()
    {
        Log::Writer writer(dir.path().toStdString());
        writer.write("INFO", "one");
        writer.flush();
        writeFile(old(), "no header\n"); // appears after the check of this run
        writer.write("INFO", "two");
        writer.flush();
        QVERIFY(QFile::exists(old()));
    }

    void largeLogRotatesAtFirstWrite_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<bool>("rotated");
        QTest::newRow("1,126,400 bytes") << qint64(1'126'400) << true;
        QTest::newRow("1,048,577 bytes") << qint64(1'048'577) << true;
        QTest::newRow("exactly 1,048,576 bytes") << qint64(1'048'576) << false;
    }

    void largeLogRotatesAtFirstWrite()
    {
        QFETCH(qint64, size);
        QFETCH(bool, rotated);
        const QByteArray big = bytesOfSize(size);
        writeFile(current(), big);
        writeFile(old(), header + "earlier rotation\n");
        writeLines(1, "after");
        if (rotated) {
            QCOMPARE(readFile(old()), big);
            QCOMPARE(linesOf(current()).size(), 2);
            QCOMPARE(linesOf(current()).first(), QString::fromLatin1(Log::header));
        } else {
            QCOMPARE(readFile(old()), header + "earlier rotation\n");
            QVERIFY(readFile(current()).startsWith(big));
        }
    }

    void sizeIsCheckedEvery200Writes()
    {
        Log::Writer writer(dir.path().toStdString());
        writer.write("INFO", "checked");
        writer.flush();
        {
            QFile log(current());
            QVERIFY(log.open(QIODevice::Append));
            log.write(QByteArray(1'100'000, 'y') + "\n");
        }
        for (int i = 0; i < 199; ++i)
            writer.write("INFO", "unchecked");
        writer.flush();
        QVERIFY2(!QFile::exists(old()), "writes 1 to 199 after a check must not rotate");
        writer.write("INFO", "200th");
        writer.flush();
        QVERIFY(QFile::exists(old()));
        QCOMPARE(linesOf(current()).size(), 2);
        QVERIFY(linesOf(current()).last().endsWith(QStringLiteral("200th")));
    }

    void fileRemovedWhileRunningIsRecreatedWithHeader()
    {
        Log::Writer writer(dir.path().toStdString());
        writer.write("INFO", "a");
        writer.flush();
        QFile::remove(current());
        writer.write("INFO", "b");
        writer.flush();
        const QStringList lines = linesOf(current());
        QCOMPARE(lines.size(), 2);
        QCOMPARE(lines[0], QString::fromLatin1(Log::header));
    }

    void unwritableFolderDropsLinesWithoutFailing()
    {
        Log::Writer writer((dir.path() + QStringLiteral("/missing/folder")).toStdString());
        for (int i = 0; i < 300; ++i)
            writer.write("ERROR", "lost");
        writer.flush(); // returns: nothing blocks or throws
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("missing"))));
    }

    void manyThreadsKeepLinesWholeAndOrdered()
    {
        constexpr int threads = 8, perThread = 3000;
        {
            Log::Writer writer(dir.path().toStdString());
            std::vector<std::thread> workers;
            for (int t = 0; t < threads; ++t)
                workers.emplace_back([&writer, t] {
                    for (int i = 0; i < perThread; ++i)
                        writer.write("INFO", "thread " + std::to_string(t) + " line " + std::to_string(i));
                });
            for (auto &w : workers)
                w.join();
        }
        // Rotation may have moved the first part aside: read both files in order.
        const QStringList lines = linesOf(old()) + linesOf(current());
        const QRegularExpression shape(QStringLiteral(R"(^\S+ \S+ \[INFO\] thread (\d+) line (\d+)$)"));
        std::vector<int> next(threads, 0);
        int entries = 0;
        for (const QString &line : lines) {
            if (line == QLatin1String(Log::header))
                continue;
            const auto m = shape.match(line);
            QVERIFY2(m.hasMatch(), qPrintable(line));
            const int t = m.captured(1).toInt();
            QCOMPARE(m.captured(2).toInt(), next[t]);
            ++next[t];
            ++entries;
        }
        QCOMPARE(entries, threads * perThread);
    }

    void twoProcessesShareOneLog()
    {
        constexpr int perProcess = 4000;
        QList<QProcess *> processes;
        for (const char *name : {"A", "B"}) {
            auto *p = new QProcess(this);
            p->start(QStringLiteral(TALVANE_LOG_WRITER),
                     {dir.path(), QString::fromLatin1(name), QString::number(perProcess)});
            processes << p;
        }
        for (QProcess *p : processes) {
            QVERIFY(p->waitForFinished(60000));
            QCOMPARE(p->exitCode(), 0);
        }
        QStringList lines = linesOf(current());
        QCOMPARE(lines.count(QString::fromLatin1(Log::header)), 1);
        QCOMPARE(lines.first(), QString::fromLatin1(Log::header));
        lines.removeFirst();
        const QRegularExpression shape(QStringLiteral(R"(^\S+ \S+ \[INFO\] process ([AB]) line (\d+)$)"));
        QMap<QString, int> next;
        for (const QString &line : lines) {
            const auto m = shape.match(line);
            QVERIFY2(m.hasMatch(), qPrintable(line));
            QCOMPARE(m.captured(2).toInt(), next[m.captured(1)]);
            ++next[m.captured(1)];
        }
        QCOMPARE(next.value(QStringLiteral("A")), perProcess);
        QCOMPARE(next.value(QStringLiteral("B")), perProcess);
    }

    void processLogWritesIntoTheSupportFolder()
    {
        Log::write("INFO", "through the process log");
        const QStringList lines = TestSupport::logLines();
        QCOMPARE(lines.first(), QString::fromLatin1(Log::header));
        QVERIFY(lines.last().endsWith(QStringLiteral("[INFO] through the process log")));
    }
};

TALVANE_TEST_MAIN(LogTest)
#include "LogTest.moc"
