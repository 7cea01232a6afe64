#pragma once

#include "audio/AudioRecorder.h"
#include "dictation/OverlayMode.h"
#include "dictation/RecognizerSetup.h"
#include "dictation/RecordingState.h"
#include "platform/CloudKeyProvider.h"
#include "platform/Settings.h"
#include "recognition/RemoteTranscriber.h"
#include "recognition/TranscriptionEngine.h"
#include "text/TextPaster.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

// The floating capsule, as the controller shows and hides it; tests drive the controller
// with a double.
class Overlay
{
public:
    virtual ~Overlay() = default;
    virtual void show(OverlayMode mode, std::optional<qint64> nearPid) = 0;
    virtual void hide() = 0;
    virtual void setLevelSource(std::function<float()> source) = 0;
};

// The dictation controller: runs one dictation from the first press of the hot key to
// the pasted text, prepares the selected recogniser, and holds the state and the status
// line the menu shows. Lives on the GUI thread; slow work happens in its collaborators
// and is only awaited here.
class AppState : public QObject
{
    Q_OBJECT

public:
    struct Collaborators
    {
        std::unique_ptr<Recorder> recorder;
        std::unique_ptr<LocalEngine> engine;
        std::unique_ptr<CloudRecognizer> cloud;
        std::unique_ptr<CloudKeyProvider> keys;
        std::unique_ptr<Paster> paster;
        std::unique_ptr<Overlay> overlay;
        RecognizerSetup::Download download;
    };

    explicit AppState(Collaborators parts, QObject *parent = nullptr);
    ~AppState() override;

    RecordingState state() const { return currentState; }
    QString status() const { return currentStatus; }
    std::optional<QString> lastDictation() const { return last; }
    const Settings &settings() const { return userSettings; }
    Paster &paster() { return *parts.paster; }
    // The models folder the settings name (created when missing).
    QString modelsFolder() const;

    // Set by the application shell.
    std::function<void()> onChange;
    std::function<void()> notPasted;
    std::function<bool(const QString &model, const QString &size, const QString &folder)> confirmDownload;

    // Starts, stops or retries by state; returns at once.
    void toggle();
    // Escape: cancels a recording or a recognition in progress.
    void cancel();
    void copyLastDictation();

    // The one way the program changes the settings: applies `change`, and when it changed
    // anything saves the record and calls onChange. Returns whether anything changed.
    bool changeSettings(const std::function<void(Settings &)> &change);

    QCoro::Task<> prepare();
    QCoro::Task<> changeModel(QString name);
    QCoro::Task<> changeEngine(Engine value);
    void changeLanguage(const QString &code);

    // The one way to change the state and the status line.
    void set(RecordingState state, const QString &text);

    // Runs `operation` as a task of its own on a later turn of the event loop; whatever
    // it throws is logged, never passed to the event loop.
    void schedule(std::function<QCoro::Task<>()> operation);

    QCoro::Task<> startRecording();
    QCoro::Task<> stopAndTranscribe();

private:
    QCoro::Task<QString> recognise(std::vector<float> samples);
    QCoro::Task<> finishRecognised(QString text);
    void failRecognition(std::exception_ptr error);

    Collaborators parts;
    std::optional<RunningApp> target;
    bool cloudInFlight = false;
    Settings userSettings;
    RecognizerSetup setup; // after the settings and the collaborators it uses
    RecordingState currentState = RecordingState::loading;
    QString currentStatus = QStringLiteral("Запуск…");
    std::optional<QString> last;
};
