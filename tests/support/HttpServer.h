#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QObject>
#include <QTcpServer>
#include <QUrl>

#include <deque>

// A scripted HTTP/1.1 server on 127.0.0.1 for tests and benchmarks. Each request gets the
// next queued Response (or a 500 when none is left) on a connection that is closed after
// it. Every request is kept byte for byte. Lives on the thread that creates it.
class HttpServer : public QObject
{
    Q_OBJECT
public:
    struct Response
    {
        enum class Framing {
            length,  // Content-Length
            chunked, // Transfer-Encoding: chunked, the size never announced
            close,   // neither: the body ends when the connection closes
        };

        int status = 200;
        QList<std::pair<QByteArray, QByteArray>> headers; // besides the framing and Connection
        QByteArray body;
        qint64 generatedSize = -1; // >= 0: instead of `body`, this many bytes of pattern()
        Framing framing = Framing::length;
        qint64 announcedLength = -1; // >= 0: the Content-Length sent, whatever the body's size
        qint64 cutAfter = -1;        // >= 0: end the connection after this many body bytes
        bool reset = false;          // end it with a TCP reset rather than an orderly close
        int delayMs = 0;             // wait this long before answering at all
        int dripBytes = 0;           // > 0: send the body this many bytes at a time…
        int dripIntervalMs = 0;      // …with this pause between the pieces

        static Response text(int status, const QByteArray &body, const QByteArray &contentType = "text/plain");
        void addHeader(const QByteArray &name, const QByteArray &value) { headers.append({name, value}); }
    };

    struct Request
    {
        QByteArray raw; // exactly the bytes received
        QByteArray method;
        QByteArray target;
        QMap<QByteArray, QByteArray> headers; // names in lower case
        QByteArray body;
    };

    explicit HttpServer(QObject *parent = nullptr);

    quint16 port() const { return server.serverPort(); }
    QUrl url(const QString &path) const;

    void enqueue(const Response &response);
    // Drops the answers no request has used yet.
    void clearScript() { script.clear(); }
    const QList<Request> &requests() const { return received; }
    // Connections the client closed before its answer was complete.
    int abandoned() const { return dropped; }

    // The bytes of a generated body from `offset` on: a pattern with a period of 65521
    // bytes, so lost, repeated or shifted pieces show.
    static QByteArray pattern(qint64 offset, qint64 size);

Q_SIGNALS:
    void requestReceived();
    void connectionAbandoned();

private:
    friend class HttpConnection;
    Response next();
    void record(const Request &request);
    void abandon();

    QTcpServer server;
    std::deque<Response> script;
    QList<Request> received;
    int dropped = 0;
};

Q_DECLARE_METATYPE(HttpServer::Response)
