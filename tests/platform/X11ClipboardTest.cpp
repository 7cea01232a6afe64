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

    void theSnapshotSeesContentTypesOnly()
    {
        DesktopPeers::copy(QByteArray("\x89PNG\r\n\x1a\n", 8), QStringLiteral("image/png"));
        QTRY_COMPARE(clipboard->itemCount(), 1);
        QVERIFY(DesktopPeers::clipboardTargets().contains(QStringLiteral("TARGETS")));
        QCOMPARE(clipboard->types(0), QStringList{QStringLiteral("image/png")});
        QCOMPARE(clipboard->data(0, QStringLiteral("image/png")), std::optional(QByteArray("\x89PNG\r\n\x1a\n", 8)));
        QCOMPARE(clipboard->data(0, QStringLiteral("text/plain")), std::nullopt);
    }

    void anEmptyClipboardHasNoItems()
    {
        DesktopPeers::emptyClipboard();
        QTRY_COMPARE(clipboard->itemCount(), 0);
    }
};

TALVANE_GUI_TEST_MAIN(X11ClipboardTest)
#include "X11ClipboardTest.moc"
