#pragma once

#include <QMap>
#include <QTcpServer>
#include <QUrl>

#include <deque>

// A scripted HTTP/1.1 server on 127.0.0.1 for tests and benchmarks. Each request gets the
// next queued Response (a 500 when none is left) on a connection closed after it. Lives on
// the thread that creates it.
class HttpServer : public QObject
{
public:
    struct Response
    {
        enum class Framing { length, chunked };
        int status = 200;
        QList<std::pair<QByteArray, QByteArray>> headers = {}; // besides the framing and Connection
        QByteArray body = {};
        qint64 generatedSize = -1; // >= 0: instead of `body`, this many bytes of pattern()
        Framing framing = Framing::length;
        qint64 cutAfter = -1; // >= 0: end the connection after this many body bytes…
        bool reset = false;   // …with a TCP reset rather than an orderly close
        int dripMs = 0;       // > 0: send the body a byte at a time, this long apart

        void addHeader(const QByteArray &name, const QByteArray &value) { headers.append({name, value}); }
    };

    struct Request
    {
        QByteArray method, target, body;
        QMap<QByteArray, QByteArray> headers; // names in lower case
    };

    explicit HttpServer(QObject *parent = nullptr);
    quint16 port() const { return server.serverPort(); }
    QUrl url(const QString &path) const { return QUrl(u"http://127.0.0.1:%1%2"_qs.arg(port()).arg(path)); }
    void enqueue(const Response &response) { script.push_back(response); }
    // A generated body from `offset` on: its period is a prime, so lost, repeated or shifted pieces show.
    static QByteArray pattern(qint64 offset, qint64 size);

    std::deque<Response> script; // the answers no request has taken yet
    QList<Request> requests;     // every request received, in order
    int abandoned = 0;           // connections the client closed before its answer was complete

private:
    QTcpServer server;
};

Q_DECLARE_METATYPE(HttpServer::Response)
