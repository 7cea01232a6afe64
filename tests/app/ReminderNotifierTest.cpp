#include "DesktopSupport.h"
#include "TestSupport.h"

#include "app/Banner.h"
#include "app/ReminderNotifier.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QGuiApplication>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QRegularExpression>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QThread>

#include <qcoro/qcorotask.h>

#include <memory>
#include <thread>

using namespace DesktopSupport;

namespace {

const QString title = QStringLiteral("Текст не вставился");
const QString text = QStringLiteral("Нажмите сюда, чтобы скопировать его, и вставьте Ctrl+V. Он есть и в меню: "
                                    "«Скопировать последнюю диктовку».");
const QString notificationsOff =
    QStringLiteral("[INFO] Notifications are off for Talvane — showing the reminder under the menu-bar icon");

// A session bus with no service directories: nothing can be activated on it, so no
// notification server answers there.
class BareBus
{
public:
    BareBus()
    {
        const QString config = dir.filePath(QStringLiteral("bus.conf"));
        TestSupport::writeFile(config,
                               "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                               "<busconfig>\n"
                               "  <type>session</type>\n"
                               "  <listen>unix:tmpdir=/tmp</listen>\n"
                               "  <auth>EXTERNAL</auth>\n"
                               "  <policy context=\"default\">\n"
                               "    <allow send_destination=\"*\"/>\n"
                               "    <allow receive_sender=\"*\"/>\n"
                               "    <allow own=\"*\"/>\n"
                               "  </policy>\n"
                               "</busconfig>\n");
        daemon.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--config-file=") + config,
                                                     QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
        if (!daemon.waitForStarted() || !daemon.waitForReadyRead(10000))
            return;
        address = QString::fromUtf8(daemon.readLine()).trimmed();
    }
    ~BareBus()
    {
        daemon.terminate();
        daemon.waitForFinished(5000);
    }
    QDBusConnection connect(const QString &name) const { return QDBusConnection::connectToBus(address, name); }
    QString address;

private:
    QTemporaryDir dir;
    QProcess daemon;
};

// A notification server that turns every notice down.
class RefusingServer : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public Q_SLOTS:
    Q_SCRIPTABLE uint Notify(const QString &, uint, const QString &, const QString &, const QString &,
                             const QStringList &, const QVariantMap &, int)
    {
        sendErrorReply(QDBusError::AccessDenied, QStringLiteral("notices are blocked"));
        return 0;
    }
};

// Records the notifications closed on a bus connection.
class ClosedSpy : public QObject
{
    Q_OBJECT

public:
    explicit ClosedSpy(QDBusConnection bus)
    {
        bus.connect(QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
                    QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("NotificationClosed"), this,
                    SLOT(closed(uint, uint)));
    }
    QList<uint> ids;

public Q_SLOTS:
    void closed(uint id, uint) { ids.append(id); }
};

int countLines(const QString &needle)
{
    int n = 0;
    for (const QString &line : TestSupport::logLines())
        n += line.contains(needle) ? 1 : 0;
    return n;
}

QIcon trayIcon()
{
    QPixmap pixmap(22, 22);
    pixmap.fill(QColor(20, 184, 166));
    return QIcon(pixmap);
}

} // namespace

class ReminderNotifierTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<Backdrop> backdrop;
    std::unique_ptr<OtherApplication> other;
    std::unique_ptr<BareBus> bareBus;
    std::unique_ptr<QSystemTrayIcon> tray;
    std::unique_ptr<ReminderNotifier> notifier;
    QList<std::optional<ReminderKind>> clicks;
    bool clicksOnGuiThread = true;

    void makeNotifier(QDBusConnection bus, ReminderNotifier::Anchor anchor = {})
    {
        notifier = std::make_unique<ReminderNotifier>(std::move(anchor), bus);
        notifier->onClick = [this](std::optional<ReminderKind> kind) {
            clicksOnGuiThread = clicksOnGuiThread && QThread::currentThread() == qApp->thread();
            clicks.append(kind);
        };
    }

    ReminderNotifier::Anchor trayAnchor()
    {
        return [this]() -> std::optional<QRect> { return tray->geometry(); };
    }

private Q_SLOTS:
    void initTestCase()
    {
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        QVERIFY(QDBusConnection::sessionBus().isConnected());
        bareBus = std::make_unique<BareBus>();
        QVERIFY2(!bareBus->address.isEmpty(), "the bare session bus did not start");
        QVERIFY(QSystemTrayIcon::isSystemTrayAvailable());
        tray = std::make_unique<QSystemTrayIcon>(trayIcon());
        tray->show();
        QTRY_VERIFY(!tray->geometry().isEmpty());
        backdrop = std::make_unique<Backdrop>();
        other = std::make_unique<OtherApplication>();
    }

    void init()
    {
        clicks.clear();
        clicksOnGuiThread = true;
        run(QStringLiteral("dunstctl"), {QStringLiteral("close-all")});
        other->activate();
    }

    void cleanup() { notifier.reset(); }

    void postsToTheNotificationServer()
    {
        makeNotifier(QDBusConnection::sessionBus());
        QProcess monitor;
        monitor.start(QStringLiteral("dbus-monitor"),
                      {QStringLiteral("--session"),
                       QStringLiteral("type='method_call',interface='org.freedesktop.Notifications',member='Notify'")});
        QVERIFY(monitor.waitForStarted());
        QVERIFY(monitor.waitForReadyRead(5000)); // subscribed

        QVERIFY(QCoro::waitFor(notifier->post(title, text, ReminderKind::notPasted)));
        QVERIFY(QCoro::waitFor(notifier->post(title, text, ReminderKind::notPasted)));
        QCOMPARE(run(QStringLiteral("dunstctl"), {QStringLiteral("count"), QStringLiteral("displayed")}),
                 QStringLiteral("1"));
        QVERIFY(!notifier->currentBanner());

        QTest::qWait(300);
        monitor.terminate();
        monitor.waitForFinished();
        const QString calls = QString::fromUtf8(monitor.readAll());
        const QRegularExpression kindHint(QStringLiteral("string \"kind\"\\s+variant\\s+string \"NotPasted\""));
        const QRegularExpression identity(
            QStringLiteral("string \"x-dunst-stack-tag\"\\s+variant\\s+string \"talvane\\.NotPasted\""));
        QCOMPARE(calls.count(kindHint), 2);
        QCOMPARE(calls.count(identity), 2);
        // The second notice names the first one's id to replace it.
        const QRegularExpression replaces(QStringLiteral("string \"Talvane\"\\s+uint32 (\\d+)"));
        QList<uint> replaced;
        for (auto it = replaces.globalMatch(calls); it.hasNext();)
            replaced.append(it.next().captured(1).toUInt());
        QCOMPARE(replaced.size(), 2);
        QCOMPARE(replaced.first(), 0u);
        QVERIFY(replaced.last() != 0);
    }

    void clickOnTheNotificationReportsItsKind()
    {
        makeNotifier(QDBusConnection::sessionBus());
        notifier->show(title, text, ReminderKind::notPasted);
        QTRY_COMPARE(run(QStringLiteral("dunstctl"), {QStringLiteral("count"), QStringLiteral("displayed")}),
                     QStringLiteral("1"));
        run(QStringLiteral("dunstctl"), {QStringLiteral("action")});
        QTRY_COMPARE(clicks.size(), 1);
        QCOMPARE(clicks.first(), std::optional(ReminderKind::notPasted));
        QVERIFY(clicksOnGuiThread);
        QVERIFY(!notifier->currentBanner());
    }

    void closingOrOtherNoticesReportNothing()
    {
        makeNotifier(QDBusConnection::sessionBus());
        ClosedSpy closed(QDBusConnection::sessionBus());
        QVERIFY(QCoro::waitFor(notifier->post(title, text, ReminderKind::notPasted)));
        run(QStringLiteral("dunstctl"), {QStringLiteral("close")});
        QTRY_COMPARE(closed.ids.size(), 1);

        // A notification of someone else on the same connection, clicked.
        QDBusMessage foreign = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
            QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
        foreign << QStringLiteral("other") << 0u << QString() << QStringLiteral("other") << QString()
                << QStringList{QStringLiteral("default"), QStringLiteral("open")} << QVariantMap() << qint32(-1);
        QCOMPARE(QDBusConnection::sessionBus().call(foreign).type(), QDBusMessage::ReplyMessage);
        run(QStringLiteral("dunstctl"), {QStringLiteral("action")});
        run(QStringLiteral("dunstctl"), {QStringLiteral("close-all")});
        QTRY_COMPARE(closed.ids.size(), 2);
        QTest::qWait(300);
        QVERIFY(clicks.isEmpty());
    }

    void withoutServerTheBannerShowsUnderTheTrayIcon()
    {
        makeNotifier(bareBus->connect(QStringLiteral("banner")), trayAnchor());
        const int offLines = countLines(notificationsOff);
        const quint64 active = activeWindow();
        QCOMPARE(active, other->window());

        notifier->show(title, text, ReminderKind::notPasted);
        QTRY_VERIFY(notifier->currentBanner() && notifier->currentBanner()->isVisible());
        QCOMPARE(countLines(notificationsOff), offLines + 1);
        Banner *banner = notifier->currentBanner();
        QVERIFY(QTest::qWaitForWindowExposed(banner));

        // 320 wide, 6 below the icon, centred on it but 8 inside the screen's right edge.
        const QRect icon = tray->geometry();
        const QRect visible = QGuiApplication::screenAt(icon.center())->availableGeometry();
        const QRect frame = banner->frameGeometry();
        QCOMPARE(frame.width(), 320);
        QVERIFY(frame.height() > 40);
        QCOMPARE(frame.top(), icon.bottom() + 1 + 6);
        QCOMPARE(frame.left(), std::min(icon.x() + icon.width() / 2 - 160, visible.right() + 1 - 320 - 8));
        QCOMPARE(activeWindow(), active);
        // Both texts wrap over the full 292 and show whole.
        const QList<QLabel *> labels = banner->findChildren<QLabel *>();
        QCOMPARE(labels.size(), 2);
        for (const QLabel *label : labels) {
            QCOMPARE(label->width(), 292);
            QVERIFY(label->height() >= label->heightForWidth(292));
        }

        const QImage shot = screenshot();
        saveArtifact(shot, QStringLiteral("banner"));
        saveArtifact(shot.copy(frame.adjusted(-40, -40, 40, 40)), QStringLiteral("banner-close-up"));
        QCOMPARE(boundsOfChange(shot, frame.adjusted(-12, 0, 12, 12), Qt::white), frame);
        QVERIFY(near(shot.pixelColor(frame.topLeft() + QPoint(1, 1)), Qt::white)); // rounded corner
        QColor card = banner->palette().color(QPalette::Window);
        const auto blend = [](int c) { return qRound(c * 0.96 + 255 * 0.04); };
        card.setRgb(blend(card.red()), blend(card.green()), blend(card.blue()));
        QVERIFY(near(shot.pixelColor(frame.left() + 6, frame.center().y()), card));

        // A click on the text label still belongs to the banner.
        click(QPoint(frame.left() + 40, frame.bottom() - 16));
        QTRY_COMPARE(clicks.size(), 1);
        QCOMPARE(clicks.first(), std::optional(ReminderKind::notPasted));
        QVERIFY(clicksOnGuiThread);
        QTRY_VERIFY(!notifier->currentBanner());
        QCOMPARE(activeWindow(), active);
    }

    void aNewBannerReplacesTheOldOneAndRestartsItsTime()
    {
        makeNotifier(bareBus->connect(QStringLiteral("replace")), trayAnchor());
        notifier->banner(QStringLiteral("первый"), text, std::nullopt);
        QPointer<Banner> first = notifier->currentBanner();
        QVERIFY(first);
        QTest::qWait(8000);
        notifier->show(title, text, ReminderKind::notPasted);
        QTRY_VERIFY(notifier->currentBanner() != first.data());
        QTRY_VERIFY(!first);
        QPointer<Banner> second = notifier->currentBanner();
        QVERIFY(second->isVisible());
        // Past the first banner's 15 seconds the second one stays...
        QTest::qWait(8000);
        QVERIFY(second && second->isVisible());
        // ...and goes 15 seconds after it came.
        QTRY_VERIFY_WITH_TIMEOUT(!second, 9000);
        QVERIFY(clicks.isEmpty());
    }

    void refusedNoticeIsLoggedAndShownAsBanner()
    {
        QDBusConnection serverSide = bareBus->connect(QStringLiteral("server"));
        RefusingServer server;
        QVERIFY(serverSide.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &server,
                                          QDBusConnection::ExportScriptableSlots));
        QVERIFY(serverSide.registerService(QStringLiteral("org.freedesktop.Notifications")));
        makeNotifier(bareBus->connect(QStringLiteral("refused")));

        QVERIFY(!QCoro::waitFor(notifier->post(title, text, ReminderKind::notPasted)));
        QCOMPARE(countLines(QStringLiteral("[ERROR] Notification not posted: notices are blocked")), 1);
        notifier->show(title, text, ReminderKind::notPasted);
        QTRY_VERIFY(notifier->currentBanner());
        // Without an icon the banner sits 12 in from the top-right corner.
        const QRect visible = QGuiApplication::primaryScreen()->availableGeometry();
        QCOMPARE(notifier->currentBanner()->pos(), QPoint(visible.right() + 1 - 320 - 12, visible.top() + 12));
        serverSide.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
    }

    void withoutSessionBusTheBannerShowsSilently()
    {
        const QStringList before = TestSupport::logLines();
        makeNotifier(
            QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/bus"), QStringLiteral("none")));
        // Asked from another thread, the banner still appears on the GUI thread.
        std::thread worker([this] { notifier->show(title, text, ReminderKind::notPasted); });
        worker.join();
        QTRY_VERIFY(notifier->currentBanner());
        QCOMPARE(notifier->currentBanner()->thread(), qApp->thread());
        QCOMPARE(TestSupport::logLines(), before);
    }
};

TALVANE_GUI_TEST_MAIN(ReminderNotifierTest)
#include "ReminderNotifierTest.moc"
