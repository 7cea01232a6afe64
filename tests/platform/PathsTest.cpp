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
        Paths::useModelsDir(value.toStdString());
        QCOMPARE(Paths::modelsFolder(), Paths::supportDir() / "models");
        QVERIFY(fs::is_directory(Paths::modelsFolder()));
        QCOMPARE(Paths::modelFile("small"), Paths::supportDir() / "models" / "ggml-small.bin");
    }

    void defaultModelsFolderIsRecreatedOnUse()
    {
        fs::remove_all(Paths::supportDir() / "models");
        QVERIFY(fs::is_directory(Paths::modelsFolder()));
    }

    // Runs last among the models-folder cases: a custom folder stays for the rest of the run.
    void tildeModelsDirIsExpandedTrimmedAndCreated()
    {
        const fs::path expected = Paths::home() / "Models";
        QVERIFY(!fs::exists(expected));
        Paths::useModelsDir(" ~/Models \n");
        QVERIFY(fs::is_directory(expected));
        QCOMPARE(Paths::modelFile("small").lexically_normal(), (expected / "ggml-small.bin"));
        QCOMPARE(Paths::modelFile("large-v3-turbo").filename().string(), std::string("ggml-large-v3-turbo.bin"));
    }
};

TALVANE_TEST_MAIN(PathsTest)
#include "PathsTest.moc"
