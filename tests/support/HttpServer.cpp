#include "HttpServer.h"

#include <QTcpSocket>
#include <QTimer>

#include <cstring>

#include <sys/socket.h>

namespace {

constexpr qint64 period = 65521; // a prime, so the pattern never lines up with buffer sizes
constexpr qint64 piece = 256 * 1024;
constexpr qint64 outstanding = 1024 * 1024; // written ahead of the client at most
constexpr int resetGraceMs = 200;

const QByteArray &patternTable()
{
    static const QByteArray table = [] {
        QByteArray bytes(period, Qt::Uninitialized);
        for (qint64 i = 0; i < period; ++i)
            bytes[i] = char((i * 131 + (i >> 7) * 17 + 7) & 0xFF);
        return bytes;
    }();
    return table;
}

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 402: return "Payment Required";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 413: return "Content Too Large";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

} // namespace

// One accepted connection: reads one request, answers it as scripted, then closes.
class HttpConnection : public QObject
{
public:
    HttpConnection(HttpServer *server, QTcpSocket *socket) : QObject(server), server(server), socket(socket)
    {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, &HttpConnection::read);
        connect(socket, &QTcpSocket::bytesWritten, this, &HttpConnection::pump);
        connect(socket, &QTcpSocket::disconnected, this, [this] {
            if (!done)
                this->server->abandon();
            done = true;
            deleteLater();
        });
        drip.setSingleShot(true);
        connect(&drip, &QTimer::timeout, this, &HttpConnection::send);
    }

private:
    void read()
    {
        buffer += socket->readAll();
        if (answering)
            return;
        const qsizetype headerEnd = buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            return;
        HttpServer::Request request;
        const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        request.method = requestLine.value(0);
        request.target = requestLine.value(1);
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const qsizetype colon = lines[i].indexOf(':');
            if (colon > 0)
                request.headers.insert(lines[i].left(colon).trimmed().toLower(), lines[i].mid(colon + 1).trimmed());
        }
        const qsizetype total = headerEnd + 4 + request.headers.value("content-length", "0").toLongLong();
        if (buffer.size() < total)
            return;
        request.raw = buffer.left(total);
        request.body = request.raw.mid(headerEnd + 4);
        answering = true;
        response = server->next();
        server->record(request);
        QTimer::singleShot(response.delayMs, this, &HttpConnection::start);
    }

    qint64 bodySize() const { return response.generatedSize >= 0 ? response.generatedSize : response.body.size(); }

    void start()
    {
        if (done)
            return;
        using Framing = HttpServer::Response::Framing;
        QByteArray head =
            "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + reasonPhrase(response.status) + "\r\n";
        for (const auto &[name, value] : response.headers)
            head += name + ": " + value + "\r\n";
        if (response.framing == Framing::length)
            head += "Content-Length: " +
                    QByteArray::number(response.announcedLength >= 0 ? response.announcedLength : bodySize()) + "\r\n";
        if (response.framing == Framing::chunked)
            head += "Transfer-Encoding: chunked\r\n";
        head += "Connection: close\r\n\r\n";
        socket->write(head);
        limit = response.cutAfter >= 0 ? std::min(response.cutAfter, bodySize()) : bodySize();
        started = true;
        send();
    }

    // Writes the next pieces of the body while the client keeps up.
    void send()
    {
        while (!done && sent < limit && socket->bytesToWrite() < outstanding) {
            const qint64 size = std::min(response.dripBytes > 0 ? qint64(response.dripBytes) : piece, limit - sent);
            const QByteArray data =
                response.generatedSize >= 0 ? HttpServer::pattern(sent, size) : response.body.mid(sent, size);
            if (response.framing == HttpServer::Response::Framing::chunked)
                socket->write(QByteArray::number(size, 16) + "\r\n" + data + "\r\n");
            else
                socket->write(data);
            sent += size;
            if (response.dripBytes > 0 && sent < limit) {
                drip.start(response.dripIntervalMs);
                return;
            }
        }
        if (sent == limit)
            end();
    }

    void pump()
    {
        if (started && !drip.isActive())
            send();
    }

    void end()
    {
        if (done)
            return;
        const bool cut = response.cutAfter >= 0 && response.cutAfter < bodySize();
        if (cut && response.reset) {
            if (socket->bytesToWrite() > 0)
                return; // bytesWritten brings us back once all of it is out
            // A reset throws away what the client has not read yet: give it time to read,
            // so that the reset really comes in the middle of the body.
            done = true;
            QTimer::singleShot(resetGraceMs, this, [this] {
                const linger abortive{1, 0};
                setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
                socket->abort();
                deleteLater();
            });
            return;
        }
        if (!cut && response.framing == HttpServer::Response::Framing::chunked)
            socket->write("0\r\n\r\n");
        done = true;
        socket->disconnectFromHost();
    }

    HttpServer *server;
    QTcpSocket *socket;
    QByteArray buffer;
    HttpServer::Response response;
    QTimer drip;
    qint64 limit = 0;
    qint64 sent = 0;
    bool answering = false;
    bool started = false;
    bool done = false;
};

HttpServer::Response HttpServer::Response::text(int status, const QByteArray &body, const QByteArray &contentType)
{
    Response response;
    response.status = status;
    response.body = body;
    response.addHeader("Content-Type", contentType);
    return response;
}

HttpServer::HttpServer(QObject *parent) : QObject(parent)
{
    connect(&server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = server.nextPendingConnection())
            new HttpConnection(this, socket);
    });
    if (!server.listen(QHostAddress::LocalHost))
        qFatal("HttpServer: cannot listen on 127.0.0.1: %s", qPrintable(server.errorString()));
}

QUrl HttpServer::url(const QString &path) const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path));
}

void HttpServer::enqueue(const Response &response)
{
    script.push_back(response);
}

QByteArray HttpServer::pattern(qint64 offset, qint64 size)
{
    const QByteArray &table = patternTable();
    QByteArray out(size, Qt::Uninitialized);
    qint64 done = 0;
    while (done < size) {
        const qint64 at = (offset + done) % period;
        const qint64 n = std::min(size - done, period - at);
        std::memcpy(out.data() + done, table.constData() + at, size_t(n));
        done += n;
    }
    return out;
}

HttpServer::Response HttpServer::next()
{
    if (script.empty())
        return Response::text(500, "no scripted response");
    Response response = script.front();
    script.pop_front();
    return response;
}

void HttpServer::record(const Request &request)
{
    received.append(request);
    Q_EMIT requestReceived();
}

void HttpServer::abandon()
{
    ++dropped;
    Q_EMIT connectionAbandoned();
}
