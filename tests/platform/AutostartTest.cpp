#include "TestSupport.h"

#include "platform/Autostart.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

using TestSupport::readFile;
using TestSupport::writeFile;

class AutostartTest : public QObject
{
    Q_OBJECT

    QTemporaryDir home;
    QString folder() const { return home.filePath(QStringLiteral("autostart")); }
    QString file(const Autostart::Format &format) const { return folder() + QLatin1Char('/') + format.fileName; }

    static void addFormats()
    {
        QTest::addColumn<bool>("xdg");
        QTest::newRow("xdg entry") << true;
        QTest::newRow("launch agent") << false;
    }
    static const Autostart::Format &format(bool xdg)
    {
        return xdg ? Autostart::xdgEntry() : Autostart::launchAgent();
    }

private Q_SLOTS:
    void init() { QDir(folder()).removeRecursively(); }

    void onOffRoundTrip_data() { addFormats(); }
    void onOffRoundTrip()
    {
        QFETCH(bool, xdg);
        const auto &f = format(xdg);
        const QString exe = QStringLiteral("/usr/local/bin/talvane");
        QVERIFY(!Autostart::isOn(folder(), exe, f)); // no file
        Autostart::set(true, folder(), exe, f);      // creates the folder too
        QVERIFY(Autostart::isOn(folder(), exe, f));
        QVERIFY(!Autostart::isOn(folder(), QStringLiteral("/opt/other/talvane"), f));
        QVERIFY(!Autostart::isOn(folder(), std::nullopt, f));
        Autostart::set(false, folder(), exe, f);
        QVERIFY(!QFile::exists(file(f)));
        Autostart::set(false, folder(), exe, f); // off twice is fine
        const QStringList log = TestSupport::logLines();
        QCOMPARE(log.filter(QStringLiteral("[INFO] Autostart on")).size() > 0, true);
        QVERIFY(log.last().endsWith(QStringLiteral("[INFO] Autostart off")));
    }

    void onWithoutExecutableRemovesTheEntry_data() { addFormats(); }
    void onWithoutExecutableRemovesTheEntry()
    {
        QFETCH(bool, xdg);
        const auto &f = format(xdg);
        Autostart::set(true, folder(), QStringLiteral("/usr/bin/talvane"), f);
        Autostart::set(true, folder(), std::nullopt, f);
        QVERIFY(!QFile::exists(file(f)));
    }

    void awkwardPathsSurviveQuoting_data()
    {
        addFormats();
    }
    void awkwardPathsSurviveQuoting()
    {
        QFETCH(bool, xdg);
        const auto &f = format(xdg);
        for (const QString &exe :
             {QStringLiteral("/home/user/My Apps/talvane"), QStringLiteral("/opt/100%/tal\"vane$x`y\\z"),
              QStringLiteral("/home/юзер/программы/talvane"), QStringLiteral("/a/b&c;d/<e>/talvane"),
              QStringLiteral("/home/user/My\u00a0Apps/talvane"), QStringLiteral("/tmp/a\rb/talvane")}) {
            Autostart::set(true, folder(), exe, f);
            QVERIFY2(Autostart::isOn(folder(), exe, f), qPrintable(exe));
        }
    }

    void foreignCopyReadsOffAndIsOverwritten_data() { addFormats(); }
    void foreignCopyReadsOffAndIsOverwritten()
    {
        QFETCH(bool, xdg);
        const auto &f = format(xdg);
        Autostart::set(true, folder(), QStringLiteral("/home/user/Desktop/talvane"), f);
        const QString exe = QStringLiteral("/usr/bin/talvane");
        QVERIFY(!Autostart::isOn(folder(), exe, f));
        Autostart::set(true, folder(), exe, f);
        QVERIFY(Autostart::isOn(folder(), exe, f));
    }

    void malformedEntriesReadOff_data()
    {
        QTest::addColumn<bool>("xdg");
        QTest::addColumn<QByteArray>("content");
        const QByteArray plistHead = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
        QTest::newRow("plist: top-level array")
            << false << plistHead + "<array><string>/usr/bin/talvane</string></array></plist>";
        QTest::newRow("plist: arguments not strings")
            << false << plistHead + "<dict><key>ProgramArguments</key><array><integer>1</integer></array></dict></plist>";
        QTest::newRow("plist: empty arguments")
            << false << plistHead + "<dict><key>ProgramArguments</key><array/></dict></plist>";
        QTest::newRow("plist: no arguments") << false << plistHead + "<dict><key>Label</key><string>x</string></dict></plist>";
        QTest::newRow("plist: broken xml") << false << plistHead + "<dict><key>ProgramArguments";
        QTest::newRow("plist: garbage") << false << QByteArray("\x00\x01\x02 binary", 10);
        QTest::newRow("xdg: no group") << true << QByteArray("Exec=/usr/bin/talvane\n");
        QTest::newRow("xdg: other group") << true << QByteArray("[Other]\nExec=/usr/bin/talvane\n");
        QTest::newRow("xdg: no Exec") << true << QByteArray("[Desktop Entry]\nType=Application\n");
        QTest::newRow("xdg: hidden") << true << QByteArray("[Desktop Entry]\nExec=/usr/bin/talvane\nHidden=true\n");
        QTest::newRow("xdg: disabled")
            << true << QByteArray("[Desktop Entry]\nExec=/usr/bin/talvane\nX-GNOME-Autostart-enabled=false\n");
        QTest::newRow("xdg: unterminated quote") << true << QByteArray("[Desktop Entry]\nExec=\"/usr/bin/talvane\n");
        QTest::newRow("xdg: garbage") << true << QByteArray("\xff\xfe\x00\x01", 4);
    }
    void malformedEntriesReadOff()
    {
        QFETCH(bool, xdg);
        QFETCH(QByteArray, content);
        const auto &f = format(xdg);
        writeFile(file(f), content);
        QVERIFY(!Autostart::isOn(folder(), QStringLiteral("/usr/bin/talvane"), f));
        Autostart::set(true, folder(), QStringLiteral("/usr/bin/talvane"), f);
        QVERIFY(Autostart::isOn(folder(), QStringLiteral("/usr/bin/talvane"), f));
    }

    void handWrittenEntriesAreUnderstood_data()
    {
        QTest::addColumn<bool>("xdg");
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("xdg: arguments after the program")
            << true << QByteArray("# mine\n[Desktop Entry]\nName=T\nExec=/usr/bin/talvane --flag %U\n");
        QTest::newRow("xdg: quoted program") << true << QByteArray("[Desktop Entry]\nExec=\"/usr/bin/talvane\" -x\n");
        QTest::newRow("plist: keys in another order")
            << false
            << QByteArray("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>RunAtLoad</key><true/>"
                          "<key>Nested</key><dict><key>a</key><array><string>z</string></array></dict>"
                          "<key>ProgramArguments</key><array><string>/usr/bin/talvane</string>"
                          "<string>--x</string></array></dict></plist>");
    }
    void handWrittenEntriesAreUnderstood()
    {
        QFETCH(bool, xdg);
        QFETCH(QByteArray, content);
        writeFile(file(format(xdg)), content);
        QVERIFY(Autostart::isOn(folder(), QStringLiteral("/usr/bin/talvane"), format(xdg)));
    }

    void launchAgentHoldsTheDocumentedKeys()
    {
        Autostart::set(true, folder(), QStringLiteral("/Applications/Talvane.app/Contents/MacOS/Talvane"),
                       Autostart::launchAgent());
        QCOMPARE(Autostart::launchAgent().fileName, QStringLiteral("cloud.nimbrel.talvane.plist"));
        const QString text = QString::fromUtf8(readFile(file(Autostart::launchAgent())));
        for (const QString &piece :
             {QStringLiteral("<key>Label</key>"), QStringLiteral("<string>cloud.nimbrel.talvane</string>"),
              QStringLiteral("<key>RunAtLoad</key>"), QStringLiteral("<true/>"),
              QStringLiteral("<string>Interactive</string>"), QStringLiteral("<string>Aqua</string>"),
              QStringLiteral("<plist version=\"1.0\">")})
            QVERIFY2(text.contains(piece), qPrintable(piece));
    }

    void xdgEntryIsAValidDesktopFile()
    {
        const QString exe = QStringLiteral("/home/user/My Apps/talvane");
        Autostart::set(true, folder(), exe);
        QCOMPARE(Autostart::xdgEntry().fileName, QStringLiteral("cloud.nimbrel.talvane.desktop"));
        const QString text = QString::fromUtf8(readFile(file(Autostart::xdgEntry())));
        QVERIFY(text.startsWith(QStringLiteral("[Desktop Entry]\n")));
        QVERIFY(text.contains(QStringLiteral("Type=Application\n")));
        QVERIFY(text.contains(QStringLiteral("Exec=\"/home/user/My Apps/talvane\"\n")));
        if (!QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate")).isEmpty()) {
            QProcess validate;
            validate.start(QStringLiteral("desktop-file-validate"), {file(Autostart::xdgEntry())});
            QVERIFY(validate.waitForFinished());
            QCOMPARE(validate.exitCode(), 0);
        }
    }

    void folderThatCannotBeCreatedIsReported()
    {
        writeFile(home.filePath(QStringLiteral("blocker")), "a file, not a folder");
        const QString blocked = home.filePath(QStringLiteral("blocker/autostart"));
        QVERIFY_THROWS_EXCEPTION(Autostart::Error, Autostart::set(true, blocked, QStringLiteral("/usr/bin/talvane")));
    }

    void buildTreeExecutableIsNotOffered()
    {
        // This test runs from the build tree, where an entry would point at a binary
        // the next build replaces.
        QVERIFY(!Autostart::executable().has_value());
        QCOMPARE(Autostart::folder(), QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME")) + QStringLiteral("/autostart"));
    }
};

TALVANE_TEST_MAIN(AutostartTest)
#include "AutostartTest.moc"
