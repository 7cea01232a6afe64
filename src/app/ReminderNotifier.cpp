#include "ReminderNotifier.h"

#include "app/Banner.h"
#include "platform/Log.h"
#include "platform/TopLevelTask.h"

#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QGuiApplication>
#include <QScreen>

#include <qcoro/qcorodbuspendingcall.h>

namespace {

const QString service = QStringLiteral("org.freedesktop.Notifications");
const QString path = QStringLiteral("/org/freedesktop/Notifications");
const QString interface = QStringLiteral("org.freedesktop.Notifications");
const QString defaultAction = QStringLiteral("default");

// Errors that mean nobody serves notifications on this bus (none running, none that can
// be started, or one that does not answer), as opposed to a server refusing the notice.
bool noServer(const QDBusError &error)
{
    switch (error.type()) {
    case QDBusError::ServiceUnknown:
    case QDBusError::NoReply:
    case QDBusError::Timeout:
    case QDBusError::TimedOut:
    case QDBusError::NoServer:
    case QDBusError::Disconnected:
    case QDBusError::UnknownObject:
    case QDBusError::UnknownInterface:
    case QDBusError::UnknownMethod: return true;
    default: return error.name().startsWith(QLatin1String("org.freedesktop.DBus.Error.Spawn."));
    }
}

QDBusMessage notifyCall(const QString &title, const QString &text, std::optional<ReminderKind> action, uint replaces)
{
    const QString id = ReminderNotifier::identifier(action);
    const QVariantMap hints{
        {QStringLiteral("kind"), action ? rawValue(*action) : QString()},
        // Servers that group by a tag (dunst and others) replace the earlier notice too.
        {QStringLiteral("x-dunst-stack-tag"), id},
        {QStringLiteral("desktop-entry"), QStringLiteral("talvane")},
        {QStringLiteral("sound-name"), QStringLiteral("message-new-instant")},
    };
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, QStringLiteral("Notify"));
    call << QStringLiteral("Talvane") << replaces << QStringLiteral("talvane") << title << text
         << QStringList{defaultAction, title} << hints << qint32(-1);
    return call;
}

} // namespace

QString rawValue(ReminderKind kind)
{
    switch (kind) {
    case ReminderKind::notPasted: return QStringLiteral("NotPasted");
    }
    return {};
}

std::optional<ReminderKind> reminderKindFromRaw(const QString &raw)
{
    if (raw == rawValue(ReminderKind::notPasted))
        return ReminderKind::notPasted;
    return std::nullopt;
}

QString ReminderNotifier::identifier(std::optional<ReminderKind> action)
{
    return QStringLiteral("talvane.") + (action ? rawValue(*action) : QStringLiteral("info"));
}

ReminderNotifier::ReminderNotifier(Anchor anchor, QDBusConnection bus, std::chrono::milliseconds bannerLifetime,
                                   QObject *parent)
    : QObject(parent), anchor(std::move(anchor)), bus(std::move(bus))
{
    hideTimer.setSingleShot(true);
    hideTimer.setInterval(bannerLifetime);
    connect(&hideTimer, &QTimer::timeout, this, &ReminderNotifier::hideBanner);
    if (!this->bus.isConnected())
        return;
    this->bus.connect(service, path, interface, QStringLiteral("ActionInvoked"), this,
                      SLOT(actionInvoked(uint, QString)));
    this->bus.connect(service, path, interface, QStringLiteral("NotificationClosed"), this,
                      SLOT(notificationClosed(uint, uint)));
}

ReminderNotifier::~ReminderNotifier()
{
    hideBanner();
}

void ReminderNotifier::show(const QString &title, const QString &text, std::optional<ReminderKind> action)
{
    TopLevelTask::start(this, [this, title, text, action] { return present(title, text, action); });
}

QCoro::Task<> ReminderNotifier::present(QString title, QString text, std::optional<ReminderKind> action)
{
    QPointer<ReminderNotifier> self(this);
    const bool posted = co_await post(title, text, action);
    if (self && !posted)
        banner(title, text, action);
}

QCoro::Task<bool> ReminderNotifier::post(QString title, QString text, std::optional<ReminderKind> action)
{
    // Without a session bus there is nowhere to post: the banner shows, silently.
    if (!bus.isConnected())
        co_return false;
    QPointer<ReminderNotifier> self(this);
    const QString id = identifier(action);
    const QDBusMessage reply = co_await bus.asyncCall(notifyCall(title, text, action, idOf.value(id)), serverTimeoutMs);
    if (!self)
        co_return false;
    if (reply.type() == QDBusMessage::ErrorMessage) {
        const QDBusError error(reply);
        if (noServer(error))
            Log::write("INFO", "Notifications are off for Talvane — showing the reminder under the tray icon");
        else
            Log::error(QStringLiteral("Notification not posted: ") + error.message());
        co_return false;
    }
    const uint number = reply.arguments().value(0).toUInt();
    idOf.insert(id, number);
    posted.insert(number, action);
    co_return true;
}

void ReminderNotifier::actionInvoked(uint id, const QString &action)
{
    // The signal is broadcast for every application's notifications.
    if (action != defaultAction || !posted.contains(id))
        return;
    clicked(posted.value(id));
}

void ReminderNotifier::notificationClosed(uint id, uint)
{
    if (!posted.contains(id))
        return;
    posted.remove(id);
    for (auto it = idOf.begin(); it != idOf.end(); ++it) {
        if (it.value() == id) {
            idOf.erase(it);
            break;
        }
    }
}

void ReminderNotifier::clicked(std::optional<ReminderKind> kind)
{
    if (onClick)
        onClick(kind);
}

void ReminderNotifier::banner(const QString &title, const QString &text, std::optional<ReminderKind> action)
{
    hideBanner();
    panelAction = action;
    panel = new Banner(title, text);
    panel->onClick = [this] {
        const std::optional<ReminderKind> kind = panelAction;
        hideBanner();
        clicked(kind);
    };
    panel->move(origin(panel->size()));
    panel->show();
    panel->raise();
    hideTimer.start();
}

void ReminderNotifier::hideBanner()
{
    hideTimer.stop();
    if (panel) {
        panel->hide();
        panel->deleteLater();
    }
    panel = nullptr;
    panelAction.reset();
}

QPoint ReminderNotifier::origin(QSize size) const
{
    const std::optional<QRect> icon = anchor ? anchor() : std::nullopt;
    const QScreen *screen = icon ? QGuiApplication::screenAt(icon->center()) : nullptr;
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (!screen && !QGuiApplication::screens().isEmpty())
        screen = QGuiApplication::screens().first();
    const QRect visible = screen ? screen->availableGeometry() : QRect(0, 0, 800, 600);
    return Banner::origin(size, icon, visible);
}
