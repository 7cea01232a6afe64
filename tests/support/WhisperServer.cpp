#include "WhisperServer.h"

#include <QDeadlineTimer>
#include <QTcpServer>
#include <QTcpSocket>

WhisperServer::WhisperServer(const QString &model)
{
    QTcpServer probe; // a port nobody holds now
    port = probe.listen(QHostAddress::LocalHost) ? probe.serverPort() : 0;
    probe.close();
    process.setProcessChannelMode(QProcess::MergedChannels);
    const QString options = u"-t 1 --host 127.0.0.1 --inference-path /v1/audio/transcriptions --port %1 -m"_qs;
    process.start(QStringLiteral(TALVANE_WHISPER_SERVER), options.arg(port).split(u' ') << model);
    for (QDeadlineTimer deadline(60'000); process.waitForStarted() && !deadline.hasExpired();) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (socket.waitForConnected(200) || process.waitForFinished(100))
            return;
    }
}
