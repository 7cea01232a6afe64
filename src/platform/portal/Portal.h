#pragma once

#include <QDBusArgument>
#include <QDBusConnection>
#include <QString>
#include <QVariantMap>
#include <qcorotask.h>

#include <chrono>

// The xdg-desktop-portal's D-Bus conventions, shared by the portal backends: every call that may ask the user
// answers at once with a Request object, and the answer itself comes later as that Request's Response signal.
namespace Portal {

inline const QString service = QStringLiteral("org.freedesktop.portal.Desktop");
inline const QString path = QStringLiteral("/org/freedesktop/portal/desktop");

// How long we wait for the desktop. A portal that never answers must not hold the program up: the probe at start
// blocks the GUI thread, so it is short; a dialog needs a person, so confirm is long, but bounded.
struct Bounds
{
    std::chrono::milliseconds probe{2000};    // the interface's version property
    std::chrono::milliseconds session{5000};  // a request no person answers (CreateSession, SelectDevices)
    std::chrono::milliseconds confirm{30000}; // a request behind a dialog (BindShortcuts, Start)
};

// A Response's code: 0 granted, 1 cancelled by the user, 2 ended otherwise; ours for no answer in time or a
// failed call.
enum Code : uint { granted = 0, cancelled = 1, ended = 2, noAnswer = 3 };
struct Response
{
    uint code = noAnswer;
    QVariantMap results;
};

// The version of `interface` the portal offers; 0 when there is no portal, no such interface, or no answer
// within `limit`.
uint version(const QDBusConnection &bus, const QString &interface, std::chrono::milliseconds limit);

// Calls `method` of `interface` with `arguments` followed by `options` (plus a fresh handle_token) and waits up
// to `limit` for the answer.
QCoro::Task<Response> request(QDBusConnection bus, QString interface, QString method, QVariantList arguments,
                              QVariantMap options, std::chrono::milliseconds limit);

// Makes Shortcuts known to QtDBus; once per process is enough, more is harmless.
void registerTypes();

// A fresh token for handle_token and session_handle_token.
QString token();
// CreateSession's options: a fresh session_handle_token.
QVariantMap sessionOptions();
// A session handle as the first arguments of a call, followed by `more`.
QVariantList onSession(const QString &session, const QVariantList &more = {});
// An object path out of a results map: portals send session handles as strings or as object paths.
QString objectPath(const QVariant &value);
QString describe(uint code); // for the log

// A GlobalShortcuts shortcut as BindShortcuts takes and returns it: (sa{sv}).
struct Shortcut
{
    QString id;
    QVariantMap options;
};
using Shortcuts = QList<Shortcut>;
QDBusArgument &operator<<(QDBusArgument &argument, const Shortcut &shortcut);
const QDBusArgument &operator>>(const QDBusArgument &argument, Shortcut &shortcut);

} // namespace Portal

Q_DECLARE_METATYPE(Portal::Shortcut)
