#include "app/Wiring.h"

#include "app/WaveformOverlay.h"
#include "audio/AudioRecorder.h"
#include "platform/Autostart.h"
#include "platform/CloudKeyProvider.h"
#include "platform/x11/X11Clipboard.h"
#include "platform/x11/X11HotkeyBackend.h"
#include "platform/x11/X11KeySender.h"
#include "platform/x11/X11WindowLocator.h"
#include "platform/x11/X11Workspace.h"
#include "recognition/ModelDownloader.h"
#include "recognition/RemoteTranscriber.h"
#include "recognition/TranscriptionEngine.h"
#include "text/TextPaster.h"

AppState::Collaborators desktopCollaborators()
{
    AppState::Collaborators parts;
    parts.recorder = std::make_unique<AudioRecorder>();
    parts.engine = std::make_unique<TranscriptionEngine>();
    parts.cloud = std::make_unique<RemoteTranscriber::Client>();
    parts.keys = std::make_unique<CloudKeyFile>();
    parts.paster = std::make_unique<TextPaster>(std::make_unique<X11Clipboard>(), std::make_unique<X11Workspace>(),
                                                std::make_unique<X11KeySender>());
    parts.overlay = std::make_unique<WaveformOverlay>(std::make_unique<X11WindowLocator>());
    parts.download = &ModelDownloader::download;
    return parts;
}

TalvaneApp::Environment desktopEnvironment()
{
    TalvaneApp::Environment env;
    env.collaborators = desktopCollaborators;
    env.hotkeyBackend = [] { return std::make_unique<X11HotkeyBackend>(); };
    env.alerts = std::make_unique<MessageBoxAlerts>();
    env.autostartFolder = Autostart::folder();
    env.executable = Autostart::executable();
    env.wayland = qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland") ||
                  qEnvironmentVariableIsSet("WAYLAND_DISPLAY");
    return env;
}
