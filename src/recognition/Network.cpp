#include "recognition/Network.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>

namespace {

bool isProxyError(QNetworkReply::NetworkError code)
{
    return code >= QNetworkReply::ProxyConnectionRefusedError && code <= QNetworkReply::UnknownProxyError;
}

bool isProtocolError(QNetworkReply::NetworkError code)
{
    return code >= QNetworkReply::ProtocolUnknownError && code <= QNetworkReply::ProtocolFailure;
}

// The user's text for a transfer failure; Qt's own (English) text is added where the
// short Russian one would hide what actually went wrong.
QString describe(QNetworkReply::NetworkError code, const QString &detail)
{
    switch (code) {
    case QNetworkReply::ConnectionRefusedError: return QStringLiteral("сервер не принимает соединения");
    case QNetworkReply::RemoteHostClosedError: return QStringLiteral("сервер закрыл соединение");
    case QNetworkReply::HostNotFoundError: return QStringLiteral("сервер не найден");
    case QNetworkReply::TimeoutError: return QStringLiteral("сервер не отвечает");
    case QNetworkReply::OperationCanceledError: return QStringLiteral("передача прервана");
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError: return QStringLiteral("нет связи с сетью");
    case QNetworkReply::TooManyRedirectsError: return QStringLiteral("слишком много перенаправлений");
    case QNetworkReply::InsecureRedirectError: return QStringLiteral("сервер перенаправил на незащищённый адрес");
    case QNetworkReply::SslHandshakeFailedError:
        return QStringLiteral("не удалось установить защищённое соединение (%1)").arg(detail);
    default: break;
    }
    if (isProxyError(code))
        return QStringLiteral("ошибка прокси-сервера (%1)").arg(detail);
    if (isProtocolError(code))
        return QStringLiteral("сервер нарушил протокол (%1)").arg(detail);
    return QStringLiteral("ошибка сети (%1)").arg(detail);
}

} // namespace

NetworkError::NetworkError(QNetworkReply::NetworkError code, const QString &detail)
    : DescribedError(describe(code, detail)), which(code)
{
}

NetworkError NetworkError::of(const QNetworkReply &reply)
{
    return {reply.error(), reply.errorString()};
}

namespace Network {

QNetworkAccessManager &manager()
{
    // Parented to the application so that it goes before the event loop's objects do.
    static QNetworkAccessManager *const shared = new QNetworkAccessManager(QCoreApplication::instance());
    return *shared;
}

bool failedInTransfer(const QNetworkReply &reply)
{
    const QNetworkReply::NetworkError code = reply.error();
    if (code == QNetworkReply::NoError)
        return false;
    if (httpStatus(reply) == 0)
        return true;
    // With a status at hand Qt reports 4xx/5xx as content, server, proxy-authentication or
    // protocol errors; only the connection-level codes and a malformed answer are failures
    // of their own.
    return (code >= QNetworkReply::ConnectionRefusedError && code <= QNetworkReply::UnknownNetworkError) ||
           code == QNetworkReply::ProtocolFailure;
}

bool cutShort(const QNetworkReply &reply, qint64 received)
{
    const QVariant length = reply.header(QNetworkRequest::ContentLengthHeader);
    return length.isValid() && received < length.toLongLong();
}

void abortLater(QNetworkReply *reply)
{
    QMetaObject::invokeMethod(
        reply,
        [reply] {
            if (!reply->isFinished())
                reply->abort();
        },
        Qt::QueuedConnection);
}

int httpStatus(const QNetworkReply &reply)
{
    return reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

} // namespace Network

void CancelToken::cancel()
{
    if (done)
        return;
    done = true;
    Q_EMIT cancelled();
}
