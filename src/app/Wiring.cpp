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
#include "recognition/RemoteTranscriber.h"
#include "recognition/TranscriptionEngine.h"
#include "text/TextCleaner.h"
#include "text/TextPaster.h"

namespace {

class RecorderPort : public Dictation::Recorder
{
public:
    void start() override { recorder.start(); }
    Take stop() override { return recorder.stop(); }
    void clearSamples() override { recorder.clearSamples(); }
    float currentLevel() override { return recorder.currentLevel(); }

private:
    AudioRecorder recorder;
};

// Linux asks no permission for the microphone.
class OpenMicrophone : public Dictation::Microphone
{
public:
    Dictation::MicrophoneAccess access() override { return Dictation::MicrophoneAccess::authorized; }
    void requestAccess(std::function<void(bool)> answered) override { answered(true); }
};

class EnginePort : public Dictation::LocalEngine
{
public:
    bool isLoaded() const override { return engine.isLoaded(); }
    std::optional<QString> loadedModel() const override { return engine.loadedModel(); }
    QCoro::Task<> load(QString file, QString name) override { return engine.load(std::move(file), std::move(name)); }
    void unload() override { engine.unload(); }
    QCoro::Task<QString> transcribe(std::vector<float> samples, QString language, QString prompt) override
    {
        return engine.transcribe(std::move(samples), std::move(language), std::move(prompt));
    }
    void abort() override { engine.abort(); }
    QCoro::Task<> download(QUrl from, QString to, std::function<void(int)> progress) override
    {
        return TranscriptionEngine::download(std::move(from), std::move(to), std::move(progress));
    }

private:
    TranscriptionEngine engine;
};

class CloudPort : public Dictation::CloudRecognizer
{
public:
    QCoro::Task<QString> transcribe(std::vector<float> samples, RemoteEndpoint endpoint, QString language,
                                    QString prompt) override
    {
        token = std::make_shared<CancelToken>();
        return RemoteTranscriber::transcribe(std::move(samples), std::move(endpoint), std::move(language),
                                             std::move(prompt), token);
    }
    void cancel() override
    {
        if (token)
            token->cancel();
    }

private:
    std::shared_ptr<CancelToken> token;
};

class PasterPort : public Dictation::Paster
{
public:
    std::optional<RunningApp> captureTarget() override { return TextPaster::captureTarget(); }
    QCoro::Task<PasteResult> paste(QString text, bool autoPaste, std::optional<RunningApp> target) override
    {
        return TextPaster::paste(std::move(text), autoPaste, std::move(target));
    }
};

class CleanerPort : public Dictation::Cleaner
{
public:
    QString clean(const QString &text) const override { return TextCleaner::clean(text); }
};

class OverlayPort : public Dictation::Overlay
{
public:
    OverlayPort() : overlay(std::make_unique<X11WindowLocator>()) {}
    void show(OverlayMode mode, std::optional<qint64> nearPid) override { overlay.show(mode, nearPid); }
    void hide() override { overlay.hide(); }
    void setLevelSource(std::function<float()> source) override { overlay.setLevelSource(std::move(source)); }

private:
    WaveformOverlay overlay;
};

// The desktop the paster works on, for the life of the process; set up once.
void usePasteSeams()
{
    static X11Clipboard clipboard;
    static X11Workspace workspace;
    static X11KeySender keys;
    static const bool done = (TextPaster::use({&clipboard, &workspace, &keys, {}}), true);
    Q_UNUSED(done);
}

} // namespace

AppState::Collaborators desktopCollaborators()
{
    usePasteSeams();
    AppState::Collaborators parts;
    parts.recorder = std::make_unique<RecorderPort>();
    parts.microphone = std::make_unique<OpenMicrophone>();
    parts.engine = std::make_unique<EnginePort>();
    parts.cloud = std::make_unique<CloudPort>();
    parts.keys = std::make_unique<CloudKeyFile>();
    parts.paster = std::make_unique<PasterPort>();
    parts.cleaner = std::make_unique<CleanerPort>();
    parts.overlay = std::make_unique<OverlayPort>();
    parts.clipboard = std::make_unique<X11Clipboard>();
    return parts;
}

TalvaneApp::Environment desktopEnvironment()
{
    TalvaneApp::Environment env;
    env.collaborators = desktopCollaborators;
    env.hotkeyBackend = [] { return std::make_unique<X11HotkeyBackend>(); };
    env.requestAccessibility = [] { TextPaster::requestAccessibilityIfNeeded(); };
    env.returnClipboard = [] { TextPaster::putBack(); };
    env.alerts = std::make_unique<MessageBoxAlerts>();
    env.autostartFolder = Autostart::folder();
    env.executable = Autostart::executable();
    return env;
}
