// talvane-clean as a user runs it: UTF-8 in on standard input, the cleaned text out on
// standard output, byte for byte.

#include "TestSupport.h"

#include <QProcess>

namespace {

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Run clean(const QByteArray &input, const QStringList &arguments = {})
{
    QProcess tool;
    tool.start(QStringLiteral(TALVANE_CLEAN_TOOL), arguments);
    if (!tool.waitForStarted())
        qFatal("talvane-clean did not start");
    tool.write(input);
    tool.closeWriteChannel();
    if (!tool.waitForFinished(60000))
        qFatal("talvane-clean did not finish");
    return {tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1, tool.readAllStandardOutput(),
            tool.readAllStandardError()};
}

} // namespace

class TalvaneCleanToolTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void filters_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArray>("output");
        QTest::newRow("clean") << QStringList() << QByteArray("Ну, э-э, в среду, нет, в четверг созвонимся, вот.\n")
                               << QByteArray("В четверг созвонимся.");
        QTest::newRow("nothing but noise") << QStringList() << QByteArray("эээ") << QByteArray();
        QTest::newRow("empty input") << QStringList() << QByteArray() << QByteArray();
        QTest::newRow("list through clean")
            << QStringList() << QByteArray("Купить: во-первых, хлеб, во-вторых, молоко. Всё.")
            << QByteArray("Купить:\n1. Хлеб\n2. Молоко\n\nВсё.");
        QTest::newRow("list only") << QStringList{"--list"} << QByteArray("ну, во-первых хлеб, во-вторых молоко ")
                                   << QByteArray("ну:\n1. Хлеб\n2. Молоко");
        QTest::newRow("list only keeps other text")
            << QStringList{"--list"} << QByteArray("  ну, э-э, да  \n") << QByteArray("  ну, э-э, да  \n");
        QTest::newRow("characters outside the BMP")
            << QStringList() << QByteArray("ну, 😀 я я тут") << QByteArray("😀 Я тут");
    }

    void filters()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, input);
        QFETCH(QByteArray, output);
        const Run run = clean(input, arguments);
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.out, output);
        QCOMPARE(run.err, QByteArray());
    }

    void refusesBadInput_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("not UTF-8") << QStringList() << QByteArray("ну, \xff\xfe да") << 1
                                   << QByteArray("standard input is not UTF-8 text");
        QTest::newRow("unknown option") << QStringList{"--fast"} << QByteArray("да") << 2
                                        << QByteArray("unknown option --fast");
    }

    void refusesBadInput()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, input);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, message);
        const Run run = clean(input, arguments);
        QCOMPARE(run.exitCode, exitCode);
        QCOMPARE(run.out, QByteArray());
        QVERIFY2(run.err.contains(message), run.err.constData());
    }

    void longInput()
    {
        const QByteArray text = QByteArray("а") + QByteArray(200000, ' ') + "ну" + QByteArray(200000, '\n') + "эээ";
        const Run run = clean(text);
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.out, QByteArray("а"));
    }
};

TALVANE_TEST_MAIN(TalvaneCleanToolTest)
#include "TalvaneCleanToolTest.moc"
