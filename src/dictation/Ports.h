#pragma once

#include "audio/AudioRecorder.h"
#include "dictation/OverlayMode.h"
#include "platform/CloudKeyProvider.h"
#include "recognition/RemoteTranscriber.h"
#include "text/TextPaster.h"

#include <QCoro/QCoroTask>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>
#include <vector>

// What the dictation controller needs of the components around it. The program wires
// the real recorder, engines, paster and overlay behind these; tests drive the
// controller with doubles.
namespace Dictation {

class Recorder
{
public:
    virtual ~Recorder() = default;
    virtual void start() = 0;        // throws DescribedError when the microphone cannot be opened
    virtual Take stop() = 0;         // Take::Kind::empty when nothing was recording
    virtual void clearSamples() = 0; // drops what a cancelled recording captured
    virtual float currentLevel() = 0;
};

enum class MicrophoneAccess { authorized, notDetermined, denied };

class Microphone
{
public:
    virtual ~Microphone() = default;
    virtual MicrophoneAccess access() = 0;
    // Asks the user; `answered` may be called on any thread.
    virtual void requestAccess(std::function<void(bool granted)> answered) = 0;
};

class LocalEngine
{
public:
    virtual ~LocalEngine() = default;
    virtual bool isLoaded() const = 0;
    virtual std::optional<QString> loadedModel() const = 0;
    virtual QCoro::Task<> load(QString file, QString name) = 0;
    virtual void unload() = 0;
    // Throws Cancelled after abort(), EngineError on failure.
    virtual QCoro::Task<QString> transcribe(std::vector<float> samples, QString language, QString prompt) = 0;
    // Asks a running recognition to stop; the next recognition clears the request.
    virtual void abort() = 0;
    // `progress` gets whole percents and may be called on any thread.
    virtual QCoro::Task<> download(QUrl from, QString to, std::function<void(int)> progress) = 0;
};

class CloudRecognizer
{
public:
    virtual ~CloudRecognizer() = default;
    // Throws CloudError for a refusal, Cancelled after cancel(), DescribedError otherwise.
    virtual QCoro::Task<QString> transcribe(std::vector<float> samples, RemoteEndpoint endpoint, QString language,
                                            QString prompt) = 0;
    virtual void cancel() = 0;
};

class Paster
{
public:
    virtual ~Paster() = default;
    virtual std::optional<RunningApp> captureTarget() = 0;
    virtual QCoro::Task<PasteResult> paste(QString text, bool autoPaste, std::optional<RunningApp> target) = 0;
};

class Cleaner
{
public:
    virtual ~Cleaner() = default;
    virtual QString clean(const QString &text) const = 0; // called off the GUI thread
};

class Overlay
{
public:
    virtual ~Overlay() = default;
    virtual void show(OverlayMode mode, std::optional<qint64> nearPid) = 0;
    virtual void hide() = 0;
    virtual void setLevelSource(std::function<float()> source) = 0;
};

} // namespace Dictation
