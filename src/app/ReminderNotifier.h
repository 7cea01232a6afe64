#pragma once

#include <QDBusConnection>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QString>
#include <QTimer>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <optional>

#include "app/Banner.h"

// What a click on a notice does. The raw value travels with the notice ("NotPasted").
enum class ReminderKind { notPasted };

QString rawValue(ReminderKind kind);
std::optional<ReminderKind> reminderKindFromRaw(const QString &raw);

// Short notices for the user: a desktop notification through the session bus's
// org.freedesktop.Notifications server, or, when no server answers, a banner of our own
// under the tray icon. A click on either reports the notice's kind through onClick, on the
// GUI thread.
class ReminderNotifier : public QObject
{
    Q_OBJECT

public:
    static constexpr int serverTimeoutMs = 10000;

    // `anchor` gives the tray icon's geometry in global coordinates, or nothing when it is
    // unknown; the banner then goes to the top-right corner of the screen. A banner stays for
    // `bannerLifetime` unless clicked or replaced.
    using Anchor = std::function<std::optional<QRect>()>;

    explicit ReminderNotifier(Anchor anchor = {}, QDBusConnection bus = QDBusConnection::sessionBus(),
                              std::chrono::milliseconds bannerLifetime = std::chrono::seconds(15),
                              QObject *parent = nullptr);
    ~ReminderNotifier() override;

    std::function<void(std::optional<ReminderKind>)> onClick;

    // Shows a notice: a notification, else the banner. Returns at once; callable from any
    // thread.
    void show(const QString &title, const QString &text, std::optional<ReminderKind> action);

    // Posts a notification; true when a server accepted it. A second notice of the same
    // kind replaces the first.
    QCoro::Task<bool> post(QString title, QString text, std::optional<ReminderKind> action);

    // The fallback banner; a new one replaces the one on screen and restarts its lifetime.
    void banner(const QString &title, const QString &text, std::optional<ReminderKind> action);
    void hideBanner();
    Banner *currentBanner() const { return panel; }

    // Where a banner of `size` goes on screen now.
    QPoint origin(QSize size) const;

    // "talvane." + the kind's raw value, or "talvane.info": the notice's stable identity.
    static QString identifier(std::optional<ReminderKind> action);

private Q_SLOTS:
    void actionInvoked(uint id, const QString &action);
    void notificationClosed(uint id, uint reason);

private:
    QCoro::Task<> present(QString title, QString text, std::optional<ReminderKind> action);
    void clicked(std::optional<ReminderKind> kind);

    Anchor anchor;
    QDBusConnection bus;
    // Our notifications on the server: id → kind, and identifier → id for replacing.
    QHash<uint, std::optional<ReminderKind>> posted;
    QHash<QString, uint> idOf;

    QPointer<Banner> panel;
    std::optional<ReminderKind> panelAction;
    QTimer hideTimer;
};
