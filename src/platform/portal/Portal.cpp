#include "platform/portal/Portal.h"

#include "platform/Log.h"

#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusReply>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QObject>
#include <QRandomGenerator>
#include <qcorodbuspendingcall.h>
#include <qcorosignal.h>

#include <optional>

using namespace std::chrono;

namespace {

// Keeps the Response of one Request. It may arrive before the method's reply is seen, so it is stored, not
// only signalled.
class Answer : public QObject
{
    Q_OBJECT
public:
    std::optional<Portal::Response> response;

public Q_SLOTS:
    void take(uint code, const QVariantMap &results)
    {
        response = Portal::Response{code, results};
        Q_EMIT taken();
    }

Q_SIGNALS:
    void taken();
};

const QString requestInterface = QStringLiteral("org.freedesktop.portal.Request");

bool listen(QDBusConnection &bus, const QString &request, Answer *answer, bool on)
{
    const auto member = QStringLiteral("Response");
    const char *slot = SLOT(take(uint, QVariantMap));
    return on ? bus.connect(Portal::service, request, requestInterface, member, answer, slot)
              : bus.disconnect(Portal::service, request, requestInterface, member, answer, slot);
}

} // namespace

namespace Portal {

uint version(const QDBusConnection &bus, const QString &interface, milliseconds limit)
{
    if (!bus.isConnected())
        return 0;
    QDBusMessage get = QDBusMessage::createMethodCall(service, path, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get << interface << QStringLiteral("version");
    const QDBusReply<QDBusVariant> reply = bus.call(get, QDBus::Block, int(limit.count()));
    if (!reply.isValid()) {
        Log::info(QStringLiteral("Portal: no %1 (%2)").arg(interface, reply.error().name()));
        return 0;
    }
    return reply.value().variant().toUInt();
}

QCoro::Task<Response> request(QDBusConnection bus, QString interface, QString method, QVariantList arguments,
                              QVariantMap options, milliseconds limit)
{
    QElapsedTimer clock;
    clock.start();
    const QString handle = token();
    options.insert(QStringLiteral("handle_token"), handle);
    // The Request's path is known before the call, so the Response cannot slip past between the two.
    QString sender = bus.baseService().mid(1).replace(QLatin1Char('.'), QLatin1Char('_'));
    QString requestPath = path + QStringLiteral("/request/") + sender + QLatin1Char('/') + handle;
    Answer answer;
    listen(bus, requestPath, &answer, true);

    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, method);
    call.setArguments(arguments << options);
    const QDBusMessage reply = co_await bus.asyncCall(call, int(limit.count()));
    if (reply.type() != QDBusMessage::ReplyMessage) {
        Log::info(QStringLiteral("Portal: %1 failed: %2").arg(method, reply.errorName()));
        listen(bus, requestPath, &answer, false);
        const bool silent = reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NoReply");
        co_return Response{silent ? noAnswer : ended, {}};
    }
    // Older portals chose the path themselves.
    const QString given = reply.arguments().value(0).value<QDBusObjectPath>().path();
    if (!given.isEmpty() && given != requestPath) {
        listen(bus, requestPath, &answer, false);
        listen(bus, requestPath = given, &answer, true);
    }
    const auto left = std::max(milliseconds(1), limit - milliseconds(clock.elapsed()));
    if (!answer.response)
        co_await qCoro(&answer, &Answer::taken, left);
    listen(bus, requestPath, &answer, false);
    if (!answer.response) {
        Log::info(QStringLiteral("Portal: no answer to %1 within %2 ms").arg(method).arg(limit.count()));
        QDBusMessage close =
            QDBusMessage::createMethodCall(service, requestPath, requestInterface, QStringLiteral("Close"));
        bus.send(close);
    }
    co_return answer.response.value_or(Response{});
}

void registerTypes()
{
    qDBusRegisterMetaType<Shortcut>();
    qDBusRegisterMetaType<Shortcuts>();
}

QString token()
{
    return QStringLiteral("talvane%1").arg(QRandomGenerator::global()->generate());
}

QVariantMap sessionOptions()
{
    return {{QStringLiteral("session_handle_token"), token()}};
}

QVariantList onSession(const QString &session, const QVariantList &more)
{
    return QVariantList{QVariant::fromValue(QDBusObjectPath(session))} + more;
}

QString objectPath(const QVariant &value)
{
    return value.metaType() == QMetaType::fromType<QDBusObjectPath>() ? value.value<QDBusObjectPath>().path()
                                                                      : value.toString();
}

QString describe(uint code)
{
    switch (code) {
    case granted: return QStringLiteral("granted");
    case cancelled: return QStringLiteral("refused by the user");
    case noAnswer: return QStringLiteral("no answer");
    default: return QStringLiteral("refused");
    }
}

QDBusArgument &operator<<(QDBusArgument &argument, const Shortcut &shortcut)
{
    argument.beginStructure();
    argument << shortcut.id << shortcut.options;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, Shortcut &shortcut)
{
    argument.beginStructure();
    argument >> shortcut.id >> shortcut.options;
    argument.endStructure();
    return argument;
}

} // namespace Portal

#include "Portal.moc"
