#include "recognition/ModelDownloader.h"

#include "platform/Log.h"
#include "recognition/EngineError.h"
#include "recognition/Network.h"

#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QSaveFile>
#include <qcoronetworkreply.h>

#include <memory>
#include <vector>

namespace {

// A server that sends nothing for this long has gone away.
constexpr int idleTimeoutMs = 60'000;
// Qt stops reading from the socket when this much is waiting for us, which bounds the
// memory of a download whatever the file size.
constexpr qint64 readBuffer = 1024 * 1024;
// Copied from the reply to the file through one buffer of this size.
constexpr qint64 chunkSize = 256 * 1024;

template <class Error> [[noreturn]] void fail(const Error &error)
{
    Log::error(QStringLiteral("Failed to download model: ") + error.description());
    throw error;
}

bool isSuccess(int status)
{
    return status >= 200 && status <= 299;
}

// Creates the temporary file in the destination's folder, so that the final rename stays
// on one file system and is atomic.
void open(QSaveFile &file)
{
    const QString folder = QFileInfo(file.fileName()).absolutePath();
    if (!QFileInfo(folder).isDir())
        fail(DescribedError(QStringLiteral("папка %1 не существует").arg(QDir::toNativeSeparators(folder))));
    if (!QFileInfo(folder).isWritable())
        fail(DescribedError(QStringLiteral("нет прав на запись в папку %1").arg(QDir::toNativeSeparators(folder))));
    if (QFileInfo(file.fileName()).isDir())
        fail(DescribedError(
            QStringLiteral("на месте файла модели %1 находится папка").arg(QDir::toNativeSeparators(file.fileName()))));
    // Never write through the destination itself: that is what keeps the old model whole.
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly))
        fail(DescribedError(QStringLiteral("не удалось создать файл в папке %1: %2")
                                .arg(QDir::toNativeSeparators(folder), file.errorString())));
}

// What happened while the body streamed in.
struct Transfer
{
    qint64 expected = -1;
    qint64 written = 0;
    int refusedStatus = 0; // an HTTP error status seen in the headers
    QString writeError;    // the file could not take the data
};

// Fails unless the whole file arrived with a success status.
void verify(const QNetworkReply &reply, const Transfer &transfer)
{
    if (transfer.refusedStatus != 0)
        fail(EngineError::downloadFailed(transfer.refusedStatus));
    if (!transfer.writeError.isEmpty())
        fail(DescribedError(QStringLiteral("не удалось записать модель: ") + transfer.writeError));
    if (Network::failedInTransfer(reply)) {
        // Nothing but the idle time-out aborts a reply we did not abort ourselves.
        if (reply.error() == QNetworkReply::OperationCanceledError)
            fail(NetworkError(QNetworkReply::TimeoutError, reply.errorString()));
        fail(NetworkError::of(reply));
    }
    if (const int status = Network::httpStatus(reply); !isSuccess(status))
        fail(EngineError::downloadFailed(status));
    if (Network::cutShort(reply, transfer.written))
        fail(DescribedError(QStringLiteral("загрузка оборвалась: получено %1 из %2 байт")
                                .arg(transfer.written)
                                .arg(transfer.expected)));
}

} // namespace

ModelDownloader::ModelDownloader(QString destination, std::function<void(int)> progress)
    : destination(std::move(destination)), progress(std::move(progress))
{
}

QCoro::Task<void> ModelDownloader::run(QUrl from, std::shared_ptr<CancelToken> cancel)
{
    if (cancel && cancel->isCancelled())
        throw Cancelled();
    QSaveFile file(destination);
    open(file);

    QNetworkRequest request(from);
    // Byte counts must be those of the file: no transparent decompression.
    request.setRawHeader("Accept-Encoding", "identity");
    request.setTransferTimeout(idleTimeoutMs);
    const Network::ReplyPtr owner(Network::manager().get(request));
    QNetworkReply *reply = owner.get();
    reply->setReadBufferSize(readBuffer);

    Transfer transfer;
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [&] {
        const int status = Network::httpStatus(*reply);
        // Redirects are followed by Qt; an error status ends the download before its body.
        if (status >= 400) {
            transfer.refusedStatus = status;
            Network::abortLater(reply);
            return;
        }
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        transfer.expected = length.isValid() ? length.toLongLong() : -1;
    });
    std::vector<char> chunk(chunkSize);
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [&] {
        if (transfer.refusedStatus != 0 || !transfer.writeError.isEmpty())
            return;
        for (qint64 n; (n = reply->read(chunk.data(), chunkSize)) > 0;) {
            if (file.write(chunk.data(), n) != n) {
                transfer.writeError = file.errorString();
                Network::abortLater(reply);
                return;
            }
            transfer.written += n;
        }
        report(transfer.written, transfer.expected);
    });
    if (cancel)
        QObject::connect(cancel.get(), &CancelToken::cancelled, reply, [reply] { Network::abortLater(reply); });
    co_await reply;

    // The temporary file goes with `file`, uncommitted.
    if (cancel && cancel->isCancelled()) {
        Log::info(QStringLiteral("Model download cancelled after %1 bytes").arg(transfer.written));
        throw Cancelled();
    }
    verify(*reply, transfer);
    if (!file.commit())
        fail(DescribedError(QStringLiteral("не удалось сохранить модель в %1: %2")
                                .arg(QDir::toNativeSeparators(destination), file.errorString())));
}

int ModelDownloader::percent(qint64 written, qint64 expected)
{
    return expected < 1 ? -1 : int(written * 100 / expected);
}

void ModelDownloader::report(qint64 written, qint64 expected)
{
    const int now = percent(written, expected);
    if (now < 0 || now == lastPercent || !progress)
        return;
    lastPercent = now;
    progress(now);
}

QCoro::Task<void> ModelDownloader::download(QUrl from, QString to, std::function<void(int)> progress,
                                            std::shared_ptr<CancelToken> cancel)
{
    Log::info(QStringLiteral("Downloading model from ") + Log::address(from));
    ModelDownloader downloader(to, std::move(progress));
    co_await downloader.run(from, std::move(cancel));
    Log::info(QStringLiteral("Model downloaded: ") + to);
}
