#pragma once

#include "platform/Errors.h"

#include <QNetworkReply>
#include <QUrl>

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

// Aborts `reply` unless it has finished already (Qt warns about that).
void abort(QNetworkReply &reply);

// The reply's HTTP status, 0 when there was no HTTP answer.
int httpStatus(const QNetworkReply &reply);

// `url` as it may appear in the log: without user name, password, query or fragment, any
// of which may carry a credential.
QString forLog(const QUrl &url);

} // namespace Network
