// The X11 clipboard seam against other X clients (xclip): the change count the paster relies on to tell its
// own writes from the user's copies, and the snapshot's choice of types.
#include "platform/x11/X11Clipboard.h"
#include "DesktopPeers.h"
#include "TestSupport.h"
#include "platform/x11/X11Connection.h"

#include <QtTest>

class X11ClipboardTest : public QObject
{
    Q_OBJECT

    X11Clipboard *clipboard = nullptr;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(X11Connection::display(), "desktop tests need an X server: run them in scripts/test-session");
        clipboard = new X11Clipboard;
    }

    void cleanupTestCase() { delete clipboard; }

    void anotherProgramsCopyGrowsTheCount()
    {
        const qint64 before = clipboard->changeCount();
        DesktopPeers::copy("from xclip");
        QTRY_VERIFY(clipboard->changeCount() > before);
    }

    void ownWritesCountAtOnceAndNeverLater()
    {
        DesktopPeers::copy("someone else's");
        QTest::qWait(200);
        const qint64 before = clipboard->changeCount();
        clipboard->clear();
        QVERIFY(clipboard->setText(QStringLiteral("ours"), true));
        const qint64 after = clipboard->changeCount();
        QVERIFY(after > before);
        // Late notifications of our own clear or write would look like a copy by the user and cancel the restore.
        QTest::qWait(500);
        QCOMPARE(clipboard->changeCount(), after);
        QCOMPARE(DesktopPeers::paste(), std::optional<QByteArray>("ours"));
    }

    void theSnapshotSeesContentTypesOnly_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("limit");
        QTest::addColumn<QString>("keptAs"); // empty: left out for the limit
        QTest::addColumn<QByteArray>("kept");
        const QByteArray png("\x89PNG\r\n\x1a\n", 8);
        const QByteArray hello = QStringLiteral("Привет").toUtf8();
        QTest::newRow("image") << "image/png" << png << 1024 << "image/png" << png;
        QTest::newRow("UTF-8 text") << "UTF8_STRING" << hello << 1024 << "text/plain" << hello;
        QTest::newRow("Latin-1 text") << "STRING" << QByteArray("caf\xe9") << 1024 << "text/plain"
                                      << QStringLiteral("café").toUtf8();
        QTest::newRow("over the limit") << "application/x-big" << QByteArray(2000, 'b') << 1024 << QString()
                                        << QByteArray();
        // xclip hands over more than a megabyte in parts.
        QTest::newRow("over the limit, in parts")
            << "application/x-big" << QByteArray(3 << 20, 'b') << (2 << 20) << QString() << QByteArray();
    }

    void theSnapshotSeesContentTypesOnly()
    {
        QFETCH(QString, type);
        QFETCH(QByteArray, bytes);
        QFETCH(int, limit);
        QFETCH(QString, keptAs);
        QFETCH(QByteArray, kept);
        DesktopPeers::copy(bytes, type);
        QVERIFY(DesktopPeers::clipboardTargets().contains(QStringLiteral("TARGETS")));
        const ClipboardSnapshot read = QCoro::waitFor(clipboard->snapshot(std::chrono::seconds(1), limit));
        QCOMPARE(read.items.size(), keptAs.isEmpty() ? 0 : 1);
        if (keptAs.isEmpty()) {
            // Parts are counted as they come: the size is what was known when the limit was passed.
            QCOMPARE(read.tooLarge.size(), 1);
            QCOMPARE(read.tooLarge.first().first, type);
            QVERIFY(read.tooLarge.first().second > limit);
        } else {
            QCOMPARE(read.items.first(), (ClipboardItem{{keptAs, kept}}));
        }
        QVERIFY(read.late.isEmpty());
    }

    void anEmptyClipboardHasNoItems()
    {
        DesktopPeers::emptyClipboard();
        QVERIFY(QCoro::waitFor(clipboard->snapshot(std::chrono::seconds(1), 1024)).items.isEmpty());
    }
};

TALVANE_GUI_TEST_MAIN(X11ClipboardTest)
#include "X11ClipboardTest.moc"
