#pragma once

#include "dictation/Ports.h"
#include "platform/Settings.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

enum class RecordingState { loading, idle, recording, transcribing, error };

// The name of a state as log lines write it ("idle", "recording", …).
QString caseName(RecordingState state);

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
        std::unique_ptr<Dictation::Recorder> recorder;
        std::unique_ptr<Dictation::Microphone> microphone;
        std::unique_ptr<Dictation::LocalEngine> engine;
        std::unique_ptr<Dictation::CloudRecognizer> cloud;
        std::unique_ptr<CloudKeyProvider> keys;
        std::unique_ptr<Dictation::Paster> paster;
        std::unique_ptr<Dictation::Cleaner> cleaner;
        std::unique_ptr<Dictation::Overlay> overlay;
        std::unique_ptr<Clipboard> clipboard;
    };

    explicit AppState(Collaborators parts, QObject *parent = nullptr);
    ~AppState() override;

    RecordingState state() const { return currentState; }
    QString status() const { return currentStatus; }
    std::optional<QString> lastDictation() const { return last; }
    Settings &settings() { return userSettings; }
    const Settings &settings() const { return userSettings; }
    Dictation::LocalEngine &engine() { return *parts.engine; }
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
    QCoro::Task<bool> ensureCloudKey();

private:
    // Asks before downloading the model `name` to `file`, then downloads it; false when the
    // user declined. Throws what the download throws.
    QCoro::Task<bool> download(QString name, QString file);
    QCoro::Task<QString> recognise(std::vector<float> samples);
    QCoro::Task<> finishRecognised(QString text);
    void failRecognition(std::exception_ptr error);

    Collaborators parts;
    std::optional<RunningApp> target;
    bool cloudInFlight = false;
    Settings userSettings;
    RecordingState currentState = RecordingState::loading;
    QString currentStatus = QStringLiteral("Запуск…");
    std::optional<QString> last;
};
