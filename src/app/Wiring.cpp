#include "app/Wiring.h"

#include "app/WaveformOverlay.h"
#include "audio/AudioRecorder.h"
#include "platform/Autostart.h"
#include "platform/CloudKeyProvider.h"
#include "platform/Log.h"
#include "platform/portal/PortalHotkeyBackend.h"
#include "platform/portal/PortalKeySender.h"
#include "platform/wayland/WaylandClipboard.h"
#include "platform/wayland/WaylandKeySender.h"
#include "platform/wayland/WaylandWorkspace.h"
#include "platform/x11/X11Clipboard.h"
#include "platform/x11/X11HotkeyBackend.h"
#include "platform/x11/X11KeySender.h"
#include "platform/x11/X11WindowLocator.h"
#include "platform/x11/X11Workspace.h"
#include "recognition/ModelDownloader.h"
#include "recognition/RemoteTranscriber.h"
#include "recognition/TranscriptionEngine.h"
#include "text/TextPaster.h"

namespace {

bool waylandSession()
{
    return qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland") ||
           qEnvironmentVariableIsSet("WAYLAND_DISPLAY");
}

// On Wayland the clipboard and the keys must reach native windows: through the compositor's own protocols where
// it has them, else through what XWayland reaches, else the text is only copied.
std::unique_ptr<TextPaster> paster()
{
    if (!waylandSession())
        return std::make_unique<TextPaster>(std::make_unique<X11Clipboard>(), std::make_unique<X11Workspace>(),
                                            std::make_unique<X11KeySender>());
    const bool dataControl = WaylandClipboard::available();
    std::unique_ptr<Clipboard> clipboard;
    if (dataControl)
        clipboard = std::make_unique<WaylandClipboard>();
    else
        clipboard = std::make_unique<X11Clipboard>();
    std::unique_ptr<KeySender> keys;
    QString keyRoute = QStringLiteral("a virtual keyboard");
    if (WaylandKeySender::available())
        keys = std::make_unique<WaylandKeySender>();
    else if (PortalKeySender::offered())
        keys = std::make_unique<PortalKeySender>(), keyRoute = QStringLiteral("the RemoteDesktop portal");
    else
        keys = std::make_unique<NoKeySender>(), keyRoute = QStringLiteral("nothing (dictations are copied)");
    Log::info(QStringLiteral("Wayland routes: clipboard through %1, keys through %2")
                  .arg(dataControl ? "data control" : "XWayland", keyRoute));
    return std::make_unique<TextPaster>(
        std::move(clipboard), std::make_unique<WaylandWorkspace>(std::make_unique<X11Workspace>()), std::move(keys));
}

} // namespace

AppState::Collaborators desktopCollaborators()
{
    AppState::Collaborators parts;
    parts.recorder = std::make_unique<AudioRecorder>();
    parts.engine = std::make_unique<TranscriptionEngine>();
    parts.cloud = std::make_unique<RemoteTranscriber::Client>();
    parts.keys = std::make_unique<CloudKeyFile>();
    parts.paster = paster();
    parts.overlay = std::make_unique<WaveformOverlay>(std::make_unique<X11WindowLocator>());
    parts.download = &ModelDownloader::download;
    return parts;
}

TalvaneApp::Environment desktopEnvironment()
{
    TalvaneApp::Environment env;
    env.collaborators = desktopCollaborators;
    env.hotkeyBackend = []() -> std::unique_ptr<HotkeyBackend> {
        // On Wayland an X11 grab reaches Talvane only while an XWayland window has the focus: the desktop's
        // portal, where it has one, binds a key that works everywhere.
        if (waylandSession() && PortalHotkeyBackend::offered()) {
            Log::info(QStringLiteral("Hot key through the GlobalShortcuts portal"));
            return std::make_unique<PortalHotkeyBackend>();
        }
        if (waylandSession())
            Log::info(QStringLiteral("Hot key through XWayland: it reaches Talvane only while an X11 window has the "
                                     "focus; talvane --toggle works everywhere"));
        return std::make_unique<X11HotkeyBackend>();
    };
    env.alerts = std::make_unique<MessageBoxAlerts>();
    env.autostartFolder = Autostart::folder();
    env.executable = Autostart::executable();
    env.wayland = waylandSession();
    return env;
}
