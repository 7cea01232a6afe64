#pragma once

#include "audio/AudioRecorder.h"
#include "dictation/OverlayMode.h"
#include "dictation/RecognizerSetup.h"
#include "dictation/RecordingState.h"
#include "platform/CloudKeyProvider.h"
#include "platform/KeyNames.h"
#include "platform/Settings.h"
#include "recognition/RemoteTranscriber.h"
#include "recognition/TranscriptionEngine.h"
#include "text/TextPaster.h"

#include <QObject>
#include <QString>

#include <deque>
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
    // The status line, naming the dictation hot key the user has now.
    QString status() const { return withPlatformKeys(currentStatus, hotkey); }
    std::optional<QString> lastDictation() const
    {
        return recent.empty() ? std::nullopt : std::optional<QString>(recent.front());
    }
    // The last recognised texts, newest first; in memory only, never written anywhere.
    const std::deque<QString> &recentDictations() const { return recent; }
    static constexpr size_t recentLimit = 10;
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
    void copyLastDictation() { copyDictation(0); }
    // Copies the recent dictation `index` (0 the newest) as copyLastDictation() does.
    void copyDictation(size_t index);

    // The one way the program changes the settings: applies `change`, and when it changed
    // anything saves the record and calls onChange. Returns whether anything changed.
    bool changeSettings(const std::function<void(Settings &)> &change);

    QCoro::Task<> prepare();
    QCoro::Task<> changeModel(QString name);
    QCoro::Task<> changeEngine(Engine value);
    void changeLanguage(const QString &code);
    // A model download in flight, and stopping it (the preparation ends as a declined download does).
    bool downloading() const { return setup.downloading(); }
    void cancelDownload() { setup.cancelDownload(); }

    // The one way to change the state and the status line.
    void set(RecordingState state, const QString &text);
    // The hot key that status lines name from now on.
    void setHotkey(const Hotkey &key);

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
    QString currentStatus = QStringLiteral("Запуск…"); // with the hot key written "⌥Пробел"
    Hotkey hotkey;
    std::deque<QString> recent;
};
