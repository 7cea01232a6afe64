#pragma once

#include "dictation/RecordingState.h"
#include "platform/CloudKeyProvider.h"
#include "platform/Settings.h"
#include "recognition/Network.h"
#include "recognition/TranscriptionEngine.h"

#include <QObject>
#include <QString>
#include <QUrl>
#include <qcorotask.h>

#include <functional>
#include <memory>

// Gets the recogniser the settings select ready: the local model loaded (downloaded first
// when missing or broken, if the user agrees), or the cloud key at hand. Reports each step
// as a state and a status line. Lives on the GUI thread beside the controller.
class RecognizerSetup : public QObject
{
public:
    // Downloads a model file; `progress` gets whole percents and may be called on any thread. Ends in
    // Cancelled, with no file written, once `cancel` is cancelled.
    using Download = std::function<QCoro::Task<>(QUrl from, QString to, std::function<void(int)> progress,
                                                 std::shared_ptr<CancelToken> cancel)>;
    using Report = std::function<void(RecordingState, const QString &)>;
    // Asks the user before a download: the model, its size, the folder it goes to.
    using Confirm = std::function<bool(const QString &model, const QString &size, const QString &folder)>;

    // `settings` are read at every step, so a switch made meanwhile is seen.
    RecognizerSetup(const Settings &settings, LocalEngine &engine, CloudKeyProvider &keys, Download download,
                    Report report, Confirm confirm);

    QCoro::Task<> prepare();
    // True when a cloud key is held, fetching one first when needed.
    QCoro::Task<bool> ensureCloudKey();
    // The models folder the settings name (created when missing).
    QString modelsFolder() const;
    // Whether a model download is running, and stopping it: the preparation then ends as when the download
    // was declined.
    bool downloading() const { return running != nullptr; }
    void cancelDownload();

private:
    // Asks, then downloads the model `name` to `file`; false when the user declined.
    QCoro::Task<bool> download(QString name, QString file);

    const Settings &settings;
    LocalEngine &engine;
    CloudKeyProvider &keys;
    Download fetchModel;
    Report report;
    Confirm confirm;
    std::shared_ptr<CancelToken> running; // of the download in flight
};
