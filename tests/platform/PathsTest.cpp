#include "TestSupport.h"

#include "platform/Paths.h"

#include <QDir>

namespace fs = std::filesystem;

class PathsTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void supportFolderFollowsXdgDataHome()
    {
        const fs::path expected = fs::path(qgetenv("XDG_DATA_HOME").toStdString()) / "Talvane";
        QCOMPARE(QString::fromStdString(Paths::supportDir().string()), QString::fromStdString(expected.string()));
        QVERIFY(fs::is_directory(Paths::supportDir()));
    }

    void blankModelsDirKeepsTheDefault_data()
    {
        QTest::addColumn<QString>("value");
        QTest::newRow("empty") << QString();
        QTest::newRow("two spaces") << QStringLiteral("  ");
        QTest::newRow("white space and line breaks") << QStringLiteral(" \n\t\r ");
    }

    void blankModelsDirKeepsTheDefault()
    {
        QFETCH(QString, value);
        QCOMPARE(Paths::modelsFolder(value.toStdString()), Paths::supportDir() / "models");
        QVERIFY(fs::is_directory(Paths::supportDir() / "models"));
        QCOMPARE(Paths::modelFile("small", value.toStdString()), Paths::supportDir() / "models" / "ggml-small.bin");
    }

    void defaultModelsFolderIsRecreatedOnUse()
    {
        fs::remove_all(Paths::supportDir() / "models");
        QVERIFY(fs::is_directory(Paths::modelsFolder()));
    }

    void tildeModelsDirIsExpandedTrimmedAndCreated()
    {
        const fs::path expected = Paths::home() / "Models";
        fs::remove_all(expected);
        QCOMPARE(Paths::modelFile("small", " ~/Models \n"), expected / "ggml-small.bin");
        QVERIFY(fs::is_directory(expected));
    }
};

TALVANE_TEST_MAIN(PathsTest)
#include "PathsTest.moc"
