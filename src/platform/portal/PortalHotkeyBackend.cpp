#include "platform/portal/PortalHotkeyBackend.h"

#include "platform/Log.h"
#include "platform/TopLevelTask.h"

#include <QDBusMessage>

namespace {

const QString shortcuts = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString toggleName = QStringLiteral("toggle"), cancelName = QStringLiteral("cancel");

// Both shortcuts, always together: the desktop asks about a session's shortcuts at once, and a second dialog in
// the middle of a dictation (when Escape is first wanted) would be worse than one at start.
Portal::Shortcuts offer(const QString &trigger)
{
    const auto description = QStringLiteral("description");
    return {{toggleName,
             {{description, QStringLiteral("Начать или закончить диктовку")},
              {QStringLiteral("preferred_trigger"), trigger}}},
            {cancelName, {{description, QStringLiteral("Отменить диктовку")}}}};
}

} // namespace

PortalHotkeyBackend::PortalHotkeyBackend(QDBusConnection connection, Portal::Bounds limits)
    : bus(std::move(connection)), bounds(limits)
{
}

PortalHotkeyBackend::~PortalHotkeyBackend()
{
    alive.reset();
    if (!session.isEmpty())
        bus.send(QDBusMessage::createMethodCall(
            Portal::service, session, QStringLiteral("org.freedesktop.portal.Session"), QStringLiteral("Close")));
}

bool PortalHotkeyBackend::offered(const QDBusConnection &bus, std::chrono::milliseconds limit)
{
    return Portal::version(bus, shortcuts, limit) > 0;
}

QString PortalHotkeyBackend::trigger(Qt::Key key, Qt::KeyboardModifiers modifiers)
{
    QString name;
    if (key == Qt::Key_Space)
        name = QStringLiteral("space");
    else if (key >= Qt::Key_F1 && key <= Qt::Key_F24)
        name = QStringLiteral("F%1").arg(key - Qt::Key_F1 + 1);
    else if ((key >= Qt::Key_A && key <= Qt::Key_Z) || (key >= Qt::Key_0 && key <= Qt::Key_9))
        name = QChar(char16_t(key)).toLower();
    else
        return {};
    constexpr std::pair<Qt::KeyboardModifier, const char *> names[] = {{Qt::ControlModifier, "CTRL+"},
                                                                       {Qt::AltModifier, "ALT+"},
                                                                       {Qt::ShiftModifier, "SHIFT+"},
                                                                       {Qt::MetaModifier, "LOGO+"}};
    QString prefix;
    for (const auto &[modifier, written] : names)
        if (modifiers.testFlag(modifier))
            prefix += QLatin1String(written);
    return prefix + name;
}

int PortalHotkeyBackend::install(std::function<void(int id)> onPress)
{
    pressed = std::move(onPress);
    if (!offered(bus, bounds.probe))
        return unavailable;
    Portal::registerTypes();
    bus.connect(Portal::service, Portal::path, shortcuts, QStringLiteral("Activated"), this,
                SLOT(activated(QDBusMessage)));
    phase = Phase::opening;
    TopLevelTask::start(this, [this] { return open(); });
    return 0;
}

int PortalHotkeyBackend::registerKey(int id, Qt::Key key, Qt::KeyboardModifiers modifiers)
{
    if (phase == Phase::closed || phase == Phase::failed)
        return unavailable;
    if (key == Qt::Key_Escape && modifiers == Qt::NoModifier) {
        ids.insert(cancelName, id); // bound with the toggle already: nothing to ask the desktop
        return 0;
    }
    const QString wantedTrigger = trigger(key, modifiers);
    if (wantedTrigger.isEmpty())
        return unavailable;
    ids.insert(toggleName, id);
    wanted = wantedTrigger;
    if (phase == Phase::ready && !binding && wanted != bound) {
        binding = true;
        TopLevelTask::start(this, [this] { return bind(); });
    }
    return 0;
}

void PortalHotkeyBackend::unregisterKey(int id)
{
    // The desktop keeps the binding (only closing the session drops it); its presses just go nowhere now.
    for (auto it = ids.begin(); it != ids.end();)
        it = it.value() == id ? ids.erase(it) : std::next(it);
}

void PortalHotkeyBackend::activated(const QDBusMessage &signal)
{
    // (session handle, shortcut id, timestamp, options)
    const QVariantList args = signal.arguments();
    const auto it = ids.constFind(args.value(1).toString());
    if (args.value(0).value<QDBusObjectPath>().path() == session && it != ids.constEnd() && pressed)
        pressed(it.value());
}

QCoro::Task<> PortalHotkeyBackend::open()
{
    const std::weak_ptr<bool> guard = alive;
    const Portal::Response answer = co_await Portal::request(bus, shortcuts, QStringLiteral("CreateSession"), {},
                                                             Portal::sessionOptions(), bounds.session);
    if (guard.expired())
        co_return;
    session = Portal::objectPath(answer.results.value(QStringLiteral("session_handle")));
    if (answer.code != Portal::granted || session.isEmpty())
        co_return fail(QStringLiteral("CreateSession ") + Portal::describe(answer.code));
    phase = Phase::ready;
    Log::info(QStringLiteral("GlobalShortcuts: session open"));
    if (!wanted.isEmpty())
        co_await bind();
}

QCoro::Task<> PortalHotkeyBackend::bind()
{
    const std::weak_ptr<bool> guard = alive;
    binding = true;
    while (wanted != bound) {
        const QString asked = wanted;
        const QVariantList arguments = Portal::onSession(session, {QVariant::fromValue(offer(asked)), QString()});
        const Portal::Response answer =
            co_await Portal::request(bus, shortcuts, QStringLiteral("BindShortcuts"), arguments, {}, bounds.confirm);
        if (guard.expired())
            co_return;
        if (answer.code != Portal::granted) {
            binding = false;
            co_return fail(QStringLiteral("BindShortcuts ") + Portal::describe(answer.code));
        }
        bound = asked;
        Log::info(QStringLiteral("GlobalShortcuts: bound, %1 suggested for the dictation").arg(asked));
    }
    binding = false;
}

void PortalHotkeyBackend::fail(const QString &why)
{
    phase = Phase::failed;
    Log::info(QStringLiteral("GlobalShortcuts: ") + why + QStringLiteral(" — no global keys"));
    const QList<int> gone = ids.values();
    ids.clear();
    for (int id : gone)
        if (lost)
            lost(id, unavailable);
}
