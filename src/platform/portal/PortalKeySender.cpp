#include "platform/portal/PortalKeySender.h"

#include "platform/Log.h"
#include "platform/Paths.h"
#include "platform/Terminals.h"
#include "platform/TopLevelTask.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QFile>
#include <QSaveFile>

#include <utility>

namespace {

const QString remoteDesktop = QStringLiteral("org.freedesktop.portal.RemoteDesktop");
const QString sessionInterface = QStringLiteral("org.freedesktop.portal.Session");
const QString createSession = QStringLiteral("CreateSession"), selectDevices = QStringLiteral("SelectDevices"),
              startSession = QStringLiteral("Start");
constexpr uint keyboard = 1, untilRevoked = 2;
// X keysyms: the modifiers a hot key may still hold, then the paste chord's keys.
constexpr int heldModifiers[] = {0xffe9, 0xffea, 0xffeb, 0xffec, 0xffe1, 0xffe2, 0xffe3, 0xffe4};
constexpr int chordKeysyms[] = {0xffe3, 0xffe1, 0x76}; // Control_L, Shift_L, v

QString readToken(const std::filesystem::path &file)
{
    QFile in(QString::fromStdString(file.string()));
    return in.open(QIODevice::ReadOnly) ? QString::fromUtf8(in.readAll()).trimmed() : QString();
}

void saveToken(const std::filesystem::path &file, const QString &token)
{
    QSaveFile out(QString::fromStdString(file.string()));
    // Owner-only from the first byte: the token lets whoever holds it type into this desktop unasked.
    const bool written = out.open(QIODevice::WriteOnly) &&
                         out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) &&
                         out.write(token.toUtf8()) >= 0 && out.commit();
    if (!written)
        Log::error(QStringLiteral("RemoteDesktop: could not save the restore token in %1: %2")
                       .arg(QString::fromStdString(file.string()), out.errorString()));
}

// The keyboard alone, kept until the user revokes it; with the token of the last grant, if any.
QVariantMap deviceOptions(const QString &restoreToken)
{
    QVariantMap options{{QStringLiteral("types"), keyboard}, {QStringLiteral("persist_mode"), untilRevoked}};
    if (!restoreToken.isEmpty())
        options.insert(QStringLiteral("restore_token"), restoreToken);
    return options;
}

} // namespace

PortalKeySender::PortalKeySender(QDBusConnection connection, Portal::Bounds limits, std::filesystem::path file)
    : bus(std::move(connection)), bounds(limits), tokenFile(std::move(file))
{
}

PortalKeySender::~PortalKeySender()
{
    alive.reset();
    if (!session.isEmpty())
        bus.send(QDBusMessage::createMethodCall(Portal::service, session, sessionInterface, QStringLiteral("Close")));
}

bool PortalKeySender::offered(const QDBusConnection &bus, std::chrono::milliseconds limit)
{
    return Portal::version(bus, remoteDesktop, limit) > 0;
}

std::filesystem::path PortalKeySender::defaultTokenFile()
{
    return Paths::supportDir() / "remote-desktop.token";
}

bool PortalKeySender::isTrusted() const
{
    return started;
}

void PortalKeySender::promptForTrust()
{
    if (started || starting)
        return;
    starting = true;
    TopLevelTask::start(
        this, [this] { return start(); },
        [this](const QString &why) {
            starting = false;
            Log::error(QStringLiteral("RemoteDesktop: ") + why);
        });
}

void PortalKeySender::fail(const QString &step, uint code)
{
    Log::info(QStringLiteral("RemoteDesktop: %1 %2 — no synthetic paste").arg(step, Portal::describe(code)));
    starting = false;
    refused = true;
    if (!session.isEmpty())
        bus.send(QDBusMessage::createMethodCall(Portal::service, std::exchange(session, {}), sessionInterface,
                                                QStringLiteral("Close")));
}

void PortalKeySender::follow(const QString &opened)
{
    session = opened;
    bus.connect(Portal::service, session, sessionInterface, QStringLiteral("Closed"), this, SLOT(closed()));
}

void PortalKeySender::begin(const QString &token, const QString &saved)
{
    if (!token.isEmpty() && token != saved)
        saveToken(tokenFile, token);
    started = true;
    starting = false;
    Log::info(QStringLiteral("RemoteDesktop: session started, %1 restore token")
                  .arg(saved.isEmpty() ? "without a" : "with the saved"));
}

QCoro::Task<> PortalKeySender::start()
{
    const std::weak_ptr<bool> guard = alive;
    Portal::Response answer =
        co_await Portal::request(bus, remoteDesktop, createSession, {}, Portal::sessionOptions(), bounds.session);
    if (guard.expired())
        co_return;
    const QString opened = Portal::objectPath(answer.results.value(QStringLiteral("session_handle")));
    if (answer.code != Portal::granted || opened.isEmpty()) {
        fail(createSession, answer.code);
        co_return;
    }
    follow(opened);

    const QString saved = readToken(tokenFile);
    answer = co_await Portal::request(bus, remoteDesktop, selectDevices, Portal::onSession(session),
                                      deviceOptions(saved), bounds.session);
    if (guard.expired())
        co_return;
    if (answer.code != Portal::granted) {
        fail(selectDevices, answer.code);
        co_return;
    }

    // Built apart: GCC 12 cannot lower a braced list inside a co_await expression.
    const QVariantList noParentWindow = Portal::onSession(session, {QString()});
    answer = co_await Portal::request(bus, remoteDesktop, startSession, noParentWindow, {}, bounds.confirm);
    if (guard.expired())
        co_return;
    if (answer.code != Portal::granted) {
        fail(startSession, answer.code);
        co_return;
    }
    begin(answer.results.value(QStringLiteral("restore_token")).toString(), saved);
}

void PortalKeySender::closed()
{
    Log::info(QStringLiteral("RemoteDesktop: the desktop closed the session"));
    started = false;
    session.clear();
}

void PortalKeySender::key(int keysym, bool down)
{
    QDBusMessage call = QDBusMessage::createMethodCall(Portal::service, Portal::path, remoteDesktop,
                                                       QStringLiteral("NotifyKeyboardKeysym"));
    call << QVariant::fromValue(QDBusObjectPath(session)) << QVariantMap() << keysym << uint(down ? 1 : 0);
    bus.send(call); // one connection keeps the order; nothing waits for the replies
}

void PortalKeySender::postPaste(const RunningApp &target)
{
    if (!started)
        return;
    for (int modifier : heldModifiers)
        key(modifier, false);
    pressPasteChord(target, [this](ChordKey chordKey, bool down) { key(chordKeysyms[int(chordKey)], down); });
}
