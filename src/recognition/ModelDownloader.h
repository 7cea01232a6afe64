#pragma once

#include "recognition/Network.h"

#include <QString>
#include <QUrl>
#include <qcorotask.h>

#include <functional>
#include <memory>

// Fetches one model file. The body streams into a temporary file beside the destination,
// which replaces the destination in one rename only once the whole file has arrived: a
// failed or cut-short download leaves an existing model untouched and no partial file.
// Runs on the GUI thread; one instance per download.
class ModelDownloader
{
public:
    // `progress` gets whole percents, each at most once and in rising order; nothing when
    // the server does not announce the size.
    ModelDownloader(QString destination, std::function<void(int)> progress);
    ModelDownloader(const ModelDownloader &) = delete;
    ModelDownloader &operator=(const ModelDownloader &) = delete;

    // Downloads `from` into the destination. Throws EngineError::downloadFailed for an
    // HTTP error status, NetworkError when the transfer fails, DescribedError when the
    // file cannot be written or the body is shorter than announced; each is logged.
    // Throws Cancelled once `cancel` is cancelled, leaving the destination as it was.
    QCoro::Task<void> run(QUrl from, std::shared_ptr<CancelToken> cancel = {});

    // Logs, downloads `from` to `to` with a fresh downloader and logs the result.
    static QCoro::Task<void> download(QUrl from, QString to, std::function<void(int)> progress,
                                      std::shared_ptr<CancelToken> cancel = {});

    // The whole percent `written` is of `expected`, rounded down; -1 when the size is
    // unknown (expected below 1).
    static int percent(qint64 written, qint64 expected);

private:
    void report(qint64 written, qint64 expected);

    const QString destination;
    const std::function<void(int)> progress;
    int lastPercent = -1;
};
