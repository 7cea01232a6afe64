#include "FakePortal.h"

#include "TestSupport.h"

#include "platform/portal/Portal.h"

#include <QTest>
#include <QtDBus>

PrivateBus::PrivateBus(bool withServices)
{
    const QString config = dir.filePath(QStringLiteral("bus.conf"));
    TestSupport::writeFile(
        config, QStringLiteral("<busconfig><type>session</type><listen>unix:dir=%1</listen><auth>EXTERNAL</auth>%2"
                               "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                               "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>")
                    .arg(dir.path(), withServices ? QStringLiteral("<standard_session_servicedirs/>") : QString())
                    .toUtf8());
    daemon.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--nofork"), QStringLiteral("--print-address"),
                                                 QStringLiteral("--config-file=") + config});
    if (!daemon.waitForReadyRead(10000))
        qFatal("dbus-daemon did not start: %s", daemon.readAllStandardError().constData());
    address = QString::fromUtf8(daemon.readLine()).trimmed();
}

PrivateBus::~PrivateBus()
{
    for (const QString &name : names)
        QDBusConnection::disconnectFromBus(name);
    daemon.terminate();
    daemon.waitForFinished();
}

QDBusConnection PrivateBus::connect()
{
    names << QStringLiteral("private-bus-%1-%2").arg(quintptr(this)).arg(names.size());
    return QDBusConnection::connectToBus(address, names.last());
}

struct FakePortal::State : QDBusVirtualObject
{
    QDBusConnection bus{QString()};
    QHash<QString, int> answers;
    mutable QMutex lock;
    QStringList calls;
    QString shortcutSession;
    int starts = 0;

    QString introspect(const QString &) const override { return {}; }
    bool handleMessage(const QDBusMessage &call, const QDBusConnection &) override
    {
        const QMutexLocker locked(&lock);
        const QVariantList args = call.arguments();
        const QString method = call.member(), client = call.service().mid(1).replace('.', '_');
        const int code = answers.value(method, 0);
        if (method == QLatin1String("Get")) { // the version of an interface we offer
            if (code != silent)
                bus.send(args[0].toString().contains(QRegularExpression("GlobalShortcuts|RemoteDesktop"))
                             ? call.createReply(QVariant::fromValue(QDBusVariant(1u)))
                             : call.createErrorReply(QDBusError::InvalidArgs, "No such interface"));
            return true;
        }
        const QVariantMap options = args.isEmpty() ? QVariantMap() : qdbus_cast<QVariantMap>(args.last());
        QString entry = method;
        QVariantMap results;
        if (method == QLatin1String("NotifyKeyboardKeysym"))
            entry = QString::number(args[2].toInt(), 16) + (args[3].toUInt() ? '+' : '-');
        if (method == QLatin1String("CreateSession")) {
            const QString session =
                Portal::path + "/session/" + client + '/' + options["session_handle_token"].toString();
            results.insert("session_handle", session);
            shortcutSession = call.interface().endsWith("GlobalShortcuts") ? session : shortcutSession;
        }
        if (method == QLatin1String("BindShortcuts"))
            for (const Portal::Shortcut &s : qdbus_cast<Portal::Shortcuts>(args[1]))
                entry += ' ' + s.id + '=' + s.options["preferred_trigger"].toString();
        for (const char *option : {"types", "persist_mode", "restore_token"})
            entry += method == QLatin1String("SelectDevices") ? ' ' + options[option].toString() : QString();
        if (method == QLatin1String("Start"))
            results.insert("restore_token", QStringLiteral("token-%1").arg(++starts));
        calls << entry;
        const QString handle = options["handle_token"].toString();
        if (handle.isEmpty()) // a key or a Close
            return bus.send(call.createReply());
        const QDBusObjectPath request(Portal::path + "/request/" + client + '/' + handle);
        bus.send(call.createReply(QVariant::fromValue(request)));
        if (code != silent) // the Response a person (or the desktop) gives
            bus.send(QDBusMessage::createTargetedSignal(call.service(), request.path(),
                                                        "org.freedesktop.portal.Request", "Response")
                     << uint(code) << results);
        return true;
    }
};

FakePortal::FakePortal(PrivateBus &privateBus, QHash<QString, int> answers)
    : state(new State), bus(privateBus.connect())
{
    Portal::registerTypes();
    state->bus = bus;
    state->answers = answers;
    QVERIFY(bus.registerVirtualObject(Portal::path, state.get(), QDBusConnection::SubPath));
    state->moveToThread(&thread);
    thread.start();
    QVERIFY(bus.registerService(Portal::service));
}

FakePortal::~FakePortal()
{
    bus.unregisterObject(Portal::path);
    thread.quit();
    thread.wait();
}

QStringList FakePortal::calls() const
{
    const QMutexLocker locked(&state->lock);
    return state->calls;
}

void FakePortal::activate(const QString &shortcut)
{
    auto signal = QDBusMessage::createSignal(Portal::path, "org.freedesktop.portal.GlobalShortcuts", "Activated");
    const QMutexLocker locked(&state->lock);
    bus.send(signal << QVariant::fromValue(QDBusObjectPath(state->shortcutSession)) << shortcut << qulonglong(0)
                    << QVariantMap());
}
