#pragma once

#include <QProcess>
#include <QUrl>

// whisper.cpp's own whisper-server, which speaks the cloud recogniser's protocol, on a free
// 127.0.0.1 port with the given model file; stopped when this object goes.
class WhisperServer
{
public:
    explicit WhisperServer(const QString &model); // returns once it answers, or failed to start
    ~WhisperServer()
    {
        process.kill();
        process.waitForFinished();
    }
    QUrl url(const QString &path) const { return QUrl(u"http://127.0.0.1:%1%2"_qs.arg(port).arg(path)); }
    QByteArray output() { return process.readAll(); } // what it printed since the last call

private:
    QProcess process;
    quint16 port = 0;
};
