#include "HttpServer.h"

#include <QTcpSocket>
#include <QTimer>

#include <sys/socket.h>

// One accepted connection: reads one request, answers it as scripted, then closes.
struct HttpConnection : QObject
{
    HttpServer *server;
    QTcpSocket *socket;
    QByteArray buffer;
    HttpServer::Response response;
    qint64 sent = 0, limit = -1; // limit: the body bytes to send, -1 before the answer starts
    bool cut = false, done = false;

    HttpConnection(HttpServer *server, QTcpSocket *socket) : QObject(server), server(server), socket(socket)
    {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, &HttpConnection::read);
        connect(socket, &QTcpSocket::bytesWritten, this, [this] {
            if (response.dripMs == 0 || sent == 0) // a drip is paced by its timer
                send();
        });
        connect(socket, &QTcpSocket::disconnected, this, [this] {
            this->server->abandoned += std::exchange(done, true) ? 0 : 1;
            deleteLater();
        });
    }

    void read()
    {
        buffer += socket->readAll();
        const qsizetype end = buffer.indexOf("\r\n\r\n");
        HttpServer::Request request{buffer.split(' ').value(0), buffer.split(' ').value(1), buffer.mid(end + 4), {}};
        for (const QByteArray &line : buffer.left(end).split('\n').mid(1))
            if (const qsizetype colon = line.indexOf(':'); colon > 0)
                request.headers.insert(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
        if (end < 0 || request.body.size() < request.headers.value("content-length").toLongLong() || limit >= 0)
            return;
        if (server->script.empty())
            server->enqueue({500});
        response = server->script.front();
        server->script.pop_front();
        server->requests.append(request);
        const qint64 size = response.generatedSize >= 0 ? response.generatedSize : response.body.size();
        cut = response.cutAfter >= 0 && response.cutAfter < size;
        limit = cut ? response.cutAfter : size;
        QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + " Scripted\r\n";
        for (const auto &[name, value] : response.headers)
            head += name + ": " + value + "\r\n";
        head += chunked() ? "Transfer-Encoding: chunked\r\n" : "Content-Length: " + QByteArray::number(size) + "\r\n";
        socket->write(head + "Connection: close\r\n\r\n"); // its bytesWritten starts the body
    }

    bool chunked() const { return response.framing == HttpServer::Response::Framing::chunked; }

    // Writes the next pieces of the body while the client keeps up, then ends the answer.
    void send()
    {
        while (!done && sent < limit && socket->bytesToWrite() < (1 << 20)) {
            const qint64 n = std::min<qint64>(response.dripMs > 0 ? 1 : 1 << 18, limit - sent);
            const QByteArray data =
                response.generatedSize >= 0 ? HttpServer::pattern(sent, n) : response.body.mid(sent, n);
            socket->write(chunked() ? QByteArray::number(n, 16) + "\r\n" + data + "\r\n" : data);
            if ((sent += n) < limit && response.dripMs > 0)
                return QTimer::singleShot(response.dripMs, this, &HttpConnection::send);
        }
        if (done || sent < limit || (cut && response.reset && socket->bytesToWrite() > 0))
            return; // bytesWritten brings us back
        done = true;
        if (cut && response.reset) // after a pause: a reset throws away what the client has not read yet
            return QTimer::singleShot(200, this, [this] {
                const linger abortive{1, 0};
                setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
                socket->abort();
            });
        socket->write(chunked() && !cut ? "0\r\n\r\n" : "");
        socket->disconnectFromHost();
    }
};

HttpServer::HttpServer(QObject *parent) : QObject(parent)
{
    connect(&server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = server.nextPendingConnection())
            new HttpConnection(this, socket);
    });
    server.listen(QHostAddress::LocalHost); // port() is 0 when it fails
}

QByteArray HttpServer::pattern(qint64 offset, qint64 size)
{
    constexpr qint64 period = 65521; // a prime, so the pattern never lines up with buffer sizes
    QByteArray out(size, Qt::Uninitialized);
    for (qint64 at = offset % period; char &byte : out) {
        byte = char(at * 131 + (at >> 7) * 17 + 7);
        at = at + 1 < period ? at + 1 : 0;
    }
    return out;
}
