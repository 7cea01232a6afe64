// Global hot keys on the real X server: HotkeyManager on X11HotkeyBackend, pressed with xdotool, and another
// X client (talvane_grab_key) holding keys the way a second instance or a window manager would.
#include "TestSupport.h"
#include "dictation/HotkeyManager.h"
#include "platform/x11/X11Connection.h"
#include "platform/x11/X11HotkeyBackend.h"

#include <QLineEdit>
#include <QProcess>
#include <QThread>
#include <QtTest>

#include <X11/Xlib.h>
#undef KeyPress // an X11 macro that hides QEvent::KeyPress

namespace {

// Modifier bits of the default keyboard map of the X server: Alt is Mod1, Num Lock is Mod2.
constexpr unsigned altMask = 8;
constexpr unsigned capsLockMask = 2;
constexpr unsigned numLockMask = 16;

bool xdotool(const QStringList &arguments)
{
    return QProcess::execute(QStringLiteral("xdotool"), arguments) == 0;
}

// Another X client holding grabs of `keysym` with the given modifier masks, for as long as the object lives.
class GrabHolder
{
public:
    GrabHolder(const QString &keysym, const QList<unsigned> &masks)
    {
        QStringList arguments{keysym};
        for (const unsigned mask : masks)
            arguments.append(QString::number(mask));
        process.start(QStringLiteral(TALVANE_GRAB_KEY), arguments);
        if (process.waitForStarted(5000) && process.waitForReadyRead(5000))
            answer = QString::fromUtf8(process.readLine().trimmed());
    }
    ~GrabHolder()
    {
        process.closeWriteChannel();
        if (!process.waitForFinished(5000))
            process.kill();
    }

    QString answer; // "grabbed" or "taken"

private:
    QProcess process;
};

// The X server's modifier map with one modifier's keys taken out, as a keyboard map without Num Lock or
// without an Alt modifier has it, for as long as the object lives. (Set with the core request xmodmap uses:
// a map uploaded with xkbcomp does not reach Xvfb's core keyboard.)
class ModifierMapWithout
{
public:
    explicit ModifierMapWithout(int modifier) : dpy(X11Connection::display()), original(XGetModifierMapping(dpy))
    {
        XModifierKeymap *changed = XGetModifierMapping(dpy);
        for (int i = 0; i < changed->max_keypermod; ++i)
            changed->modifiermap[modifier * changed->max_keypermod + i] = 0;
        applied = XSetModifierMapping(dpy, changed) == MappingSuccess;
        XFreeModifiermap(changed);
        XSync(dpy, False);
    }
    ~ModifierMapWithout()
    {
        XSetModifierMapping(dpy, original);
        XFreeModifiermap(original);
        XSync(dpy, False);
    }

    bool applied = false;

private:
    Display *dpy;
    XModifierKeymap *original;
};

struct Presses
{
    int toggles = 0;
    int cancels = 0;
    bool offThread = false;
};

std::unique_ptr<HotkeyManager> makeManager(Presses &presses)
{
    auto manager = std::make_unique<HotkeyManager>(std::make_unique<X11HotkeyBackend>());
    auto onGuiThread = [&presses] { presses.offThread |= QThread::currentThread() != qApp->thread(); };
    manager->onToggle = [&presses, onGuiThread] {
        onGuiThread();
        ++presses.toggles;
    };
    manager->onCancel = [&presses, onGuiThread] {
        onGuiThread();
        ++presses.cancels;
    };
    return manager;
}

} // namespace

class X11HotkeyTest : public QObject
{
    Q_OBJECT

    qsizetype logStart = 0;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(X11Connection::display(), "desktop tests need an X server: run them in scripts/test-session");
        QVERIFY2(xdotool({"version"}), "xdotool is missing");
    }

    void init() { logStart = TestSupport::logLines().size(); }

    void altSpaceReachesOnToggle_data()
    {
        QTest::addColumn<QString>("lock");
        QTest::newRow("no lock") << QString();
        QTest::newRow("caps lock on") << QStringLiteral("Caps_Lock");
        QTest::newRow("num lock on") << QStringLiteral("Num_Lock");
    }

    void altSpaceReachesOnToggle()
    {
        QFETCH(QString, lock);
        Presses presses;
        auto manager = makeManager(presses);
        QVERIFY(manager->toggleRegistered());
        if (!lock.isEmpty())
            QVERIFY(xdotool({"key", lock}));
        QVERIFY(xdotool({"key", "alt+space"}));
        QVERIFY(xdotool({"key", "alt+space"}));
        if (!lock.isEmpty())
            QVERIFY(xdotool({"key", lock}));
        QTRY_COMPARE(presses.toggles, 2);
        QVERIFY(!presses.offThread);
        // Space alone, or with another modifier, is not the hot key.
        QVERIFY(xdotool({"key", "space", "ctrl+space"}));
        QTest::qWait(300);
        QCOMPARE(presses.toggles, 2);
        QCOMPARE(presses.cancels, 0);
    }

    void holdingAltSpaceCountsOnce()
    {
        Presses presses;
        auto manager = makeManager(presses);
        QVERIFY(xdotool({"keydown", "alt+space"}));
        QTest::qWait(1500); // well past the keyboard's auto-repeat delay
        QVERIFY(xdotool({"keyup", "alt+space"}));
        QTest::qWait(300);
        QCOMPARE(presses.toggles, 1);
    }

    void escapeReachesOnCancelOnlyWhileEnabled()
    {
        Presses presses;
        auto manager = makeManager(presses);
        QLineEdit field;
        int escapesInField = 0;
        struct EscapeCounter : QObject
        {
            int *count;
            explicit EscapeCounter(int *c) : count(c) {}
            bool eventFilter(QObject *, QEvent *event) override
            {
                if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent *>(event)->key() == Qt::Key_Escape)
                    ++*count;
                return false;
            }
        } counter(&escapesInField);
        field.installEventFilter(&counter);
        field.show();
        field.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&field));

        QVERIFY(xdotool({"key", "Escape"}));
        QTRY_COMPARE(escapesInField, 1);
        QCOMPARE(presses.cancels, 0);

        manager->setCancelEnabled(true);
        QVERIFY(xdotool({"key", "Escape"}));
        QTRY_COMPARE(presses.cancels, 1);
        QCOMPARE(escapesInField, 1);
        QVERIFY(!presses.offThread);

        manager->setCancelEnabled(false);
        QVERIFY(xdotool({"key", "Escape"}));
        QTRY_COMPARE(escapesInField, 2);
        QCOMPARE(presses.cancels, 1);
    }

    void altSpaceHeldByAnotherClientIsTaken_data()
    {
        QTest::addColumn<QList<unsigned>>("held");
        QTest::newRow("plain") << QList<unsigned>{altMask};
        // Holding only a lock variant still takes the key; the variants grabbed before it must be let go.
        QTest::newRow("with caps lock only") << QList<unsigned>{altMask | capsLockMask};
        QTest::newRow("with num lock only") << QList<unsigned>{altMask | numLockMask};
    }

    void altSpaceHeldByAnotherClientIsTaken()
    {
        QFETCH(QList<unsigned>, held);
        std::unique_ptr<HotkeyManager> manager;
        {
            GrabHolder other(QStringLiteral("space"), held);
            QCOMPARE(other.answer, QStringLiteral("grabbed"));
            Presses presses;
            manager = makeManager(presses);
            QVERIFY(!manager->toggleRegistered());
            const QStringList lines = TestSupport::logLines().mid(logStart);
            QVERIFY(!lines.isEmpty());
            QVERIFY2(
                lines.last().endsWith(QStringLiteral(" [INFO] RegisterEventHotKey(Option+Space) failed, status=10")),
                qPrintable(lines.last()));
        }
        // Nothing of the failed registration stays behind: a third client gets every variant.
        GrabHolder third(QStringLiteral("space"), {altMask, altMask | capsLockMask, altMask | numLockMask,
                                                   altMask | capsLockMask | numLockMask});
        QCOMPARE(third.answer, QStringLiteral("grabbed"));
    }

    void keyboardMapsWithoutAModifier()
    {
        {
            // No Num Lock: the plain and Caps Lock variants are grabbed, each once.
            ModifierMapWithout numLock(Mod2MapIndex);
            QVERIFY(numLock.applied);
            Presses presses;
            auto manager = makeManager(presses);
            QVERIFY(manager->toggleRegistered());
            QVERIFY(xdotool({"key", "alt+space", "Caps_Lock", "alt+space", "Caps_Lock"}));
            QTRY_COMPARE(presses.toggles, 2);
        }
        // No modifier bit for Alt: nothing is grabbed rather than Space alone.
        ModifierMapWithout alt(Mod1MapIndex);
        QVERIFY(alt.applied);
        Presses presses;
        auto manager = makeManager(presses);
        QVERIFY(!manager->toggleRegistered());
        QVERIFY(TestSupport::logLines().mid(logStart).join('\n').contains(QStringLiteral("is no modifier")));
        GrabHolder other(QStringLiteral("space"), {0, capsLockMask});
        QCOMPARE(other.answer, QStringLiteral("grabbed"));
    }

    void aDestroyedManagerLetsGoOfItsKeys()
    {
        {
            Presses presses;
            auto manager = makeManager(presses);
            QVERIFY(manager->toggleRegistered());
            manager->setCancelEnabled(true);
            GrabHolder meanwhile(QStringLiteral("space"), {altMask});
            QCOMPARE(meanwhile.answer, QStringLiteral("taken"));
        }
        GrabHolder toggle(QStringLiteral("space"), {altMask, altMask | numLockMask});
        QCOMPARE(toggle.answer, QStringLiteral("grabbed"));
        GrabHolder escape(QStringLiteral("Escape"), {0, capsLockMask});
        QCOMPARE(escape.answer, QStringLiteral("grabbed"));
    }
};

TALVANE_GUI_TEST_MAIN(X11HotkeyTest)
#include "X11HotkeyTest.moc"
