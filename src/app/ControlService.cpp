#include "app/ControlService.h"

#include "platform/Log.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusVariant>
#include <QVariantMap>

#include <cstdio>

namespace {

const QString interfaceName = QString::fromLatin1(ControlService::service);

void say(std::FILE *to, const QString &line)
{
    std::fputs((line + QLatin1Char('\n')).toUtf8().constData(), to);
}

} // namespace

ControlService::ControlService(Commands commands, QObject *parent) : QObject(parent), commands(std::move(commands))
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    published =
        bus.isConnected() && bus.registerObject(QString::fromLatin1(path), this,
                                                QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties);
    if (!published)
        Log::info(QStringLiteral("D-Bus: not reachable on the session bus; talvane --toggle cannot reach this copy"));
}

ControlService::~ControlService()
{
    if (published)
        QDBusConnection::sessionBus().unregisterObject(QString::fromLatin1(path));
}

void ControlService::statusChanged()
{
    const QString now = status();
    if (!published || now == lastStatus)
        return;
    lastStatus = now;
    QDBusMessage signal =
        QDBusMessage::createSignal(QString::fromLatin1(path), QStringLiteral("org.freedesktop.DBus.Properties"),
                                   QStringLiteral("PropertiesChanged"));
    signal << interfaceName << QVariantMap{{QStringLiteral("Status"), now}} << QStringList();
    QDBusConnection::sessionBus().send(signal);
}

bool ControlService::claimName()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return true;
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply = bus.interface()->registerService(
        interfaceName, QDBusConnectionInterface::DontQueueService, QDBusConnectionInterface::DontAllowReplacement);
    return !reply.isValid() || reply.value() == QDBusConnectionInterface::ServiceRegistered;
}

int ControlService::command(const QString &option)
{
    QDBusInterface talvane(interfaceName, QString::fromLatin1(path), interfaceName, QDBusConnection::sessionBus());
    if (!talvane.isValid()) {
        say(stderr, QStringLiteral("talvane: Talvane не запущен"));
        return 1;
    }
    if (option == QLatin1String("--status")) {
        const QVariant status = talvane.property("Status");
        if (!status.isValid()) {
            say(stderr, QStringLiteral("talvane: Talvane не ответил"));
            return 1;
        }
        say(stdout, status.toString());
        return 0;
    }
    const QDBusMessage reply =
        talvane.call(option == QLatin1String("--toggle") ? QStringLiteral("Toggle") : QStringLiteral("Cancel"));
    if (reply.type() == QDBusMessage::ErrorMessage) {
        say(stderr, QStringLiteral("talvane: ") + reply.errorMessage());
        return 1;
    }
    return 0;
}
