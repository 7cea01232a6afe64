#pragma once

#include "platform/HotkeyBackend.h"
#include "platform/portal/Portal.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QHash>
#include <QObject>

#include <memory>

// Hot keys through the desktop's GlobalShortcuts portal (GNOME, KDE Plasma on Wayland, where no program may
// grab keys itself). The program only names its shortcuts and suggests a trigger; the desktop asks the user once
// and remembers the binding by the shortcut's name ("toggle", "cancel"), so the user may change it later in the
// desktop's settings. Binding is asynchronous: registerKey() returns 0 when the request went out, and a refusal or
// silence arrives later through `lost`.
//
// Escape bound through the portal would be taken from every application for good, so an Escape registration
// becomes the "cancel" shortcut with no suggested trigger: the user may give it one, and its presses are
// delivered only while it is registered.
class PortalHotkeyBackend : public QObject, public HotkeyBackend
{
    Q_OBJECT
public:
    explicit PortalHotkeyBackend(QDBusConnection bus = QDBusConnection::sessionBus(), Portal::Bounds bounds = {});
    ~PortalHotkeyBackend() override;

    // Whether the portal offers GlobalShortcuts on `bus`; asks with a short time limit.
    static bool offered(const QDBusConnection &bus = QDBusConnection::sessionBus(),
                        std::chrono::milliseconds limit = Portal::Bounds{}.probe);
    // The XDG shortcuts form of a key, e.g. "CTRL+ALT+space"; empty for a key it cannot name.
    static QString trigger(Qt::Key key, Qt::KeyboardModifiers modifiers);

    // `unavailable` when the portal does not offer GlobalShortcuts; otherwise 0, and a session is opened.
    int install(std::function<void(int id)> pressed) override;
    int registerKey(int id, Qt::Key key, Qt::KeyboardModifiers modifiers) override;
    void unregisterKey(int id) override;

private Q_SLOTS:
    void activated(const QDBusMessage &signal);

private:
    enum class Phase { closed, opening, ready, failed };
    QCoro::Task<> open();
    QCoro::Task<> bind();
    void fail(const QString &why);

    QDBusConnection bus;
    Portal::Bounds bounds;
    std::function<void(int id)> pressed;
    Phase phase = Phase::closed;
    QString session;
    QHash<QString, int> ids; // shortcut name → the id registered for it
    QString wanted, bound;   // the toggle's trigger as registered, and as last bound
    bool binding = false;
    std::shared_ptr<bool> alive = std::make_shared<bool>(true); // for tasks that outlive the backend
};
