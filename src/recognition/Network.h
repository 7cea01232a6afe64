#pragma once

#include "platform/Errors.h"

#include <QNetworkReply>
#include <QUrl>

#include <memory>

class QNetworkAccessManager;

// A transfer that failed below HTTP: no connection, a dropped connection, a time-out, a
// body cut short. description() is the Russian text the user sees.
class NetworkError : public DescribedError
{
public:
    NetworkError(QNetworkReply::NetworkError code, const QString &detail);
    QNetworkReply::NetworkError code() const { return which; }

    // The error a finished reply failed with, described for the user.
    static NetworkError of(const QNetworkReply &reply);

private:
    QNetworkReply::NetworkError which;
};

// Lets the user abandon a transfer in flight (a cloud recognition, a model download). cancel()
// aborts it; the waiting operation then ends in Cancelled, never in an error. Lives on the
// GUI thread.
class CancelToken : public QObject
{
    Q_OBJECT
public:
    void cancel();
    bool isCancelled() const { return done; }

Q_SIGNALS:
    void cancelled();

private:
    bool done = false;
};

namespace Network {

// The process's access manager for the GUI thread, created on first use.
QNetworkAccessManager &manager();

// True when the finished reply failed in the transfer itself (no answer, a dropped
// connection, a cut body, a cancel), false when it succeeded or when Qt's error only
// restates the HTTP error status the server answered with.
bool failedInTransfer(const QNetworkReply &reply);

// True when the reply announced a Content-Length and fewer than `received` bytes came.
// Qt 6.4 sometimes finishes such a reply without an error when the connection drops, so
// every reply whose completeness matters is checked with this. Needs a request that
// asked for no content encoding ("Accept-Encoding: identity"), so that the announced
// length is that of the bytes read.
bool cutShort(const QNetworkReply &reply, qint64 received);

// Aborts `reply` once control is back in the event loop, unless it has finished by then:
// Qt reports an abort from inside the reply's own signals, or after its end, twice.
void abortLater(QNetworkReply *reply);

// Deletes a reply later: a coroutine waiting for a reply resumes inside its finished
// signal, where deleting it at once would pull it out from under Qt.
struct DeleteLater
{
    void operator()(QObject *object) const { object->deleteLater(); }
};
using ReplyPtr = std::unique_ptr<QNetworkReply, DeleteLater>;

// The reply's HTTP status, 0 when there was no HTTP answer.
int httpStatus(const QNetworkReply &reply);

} // namespace Network
