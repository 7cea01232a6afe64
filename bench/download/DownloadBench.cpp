// Model download benchmark: a 1 GiB file from a loopback HTTP server, through
// ModelDownloader and through `curl -o`, with the peak memory growth of the download.
//
//   bench_download [--mib N] [--runs N]
//
// The server runs on its own thread so that it does not compete with the downloader's
// event loop; it streams a generated body and holds at most a few MiB itself.
#include "HttpServer.h"

#include "recognition/ModelDownloader.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <qcorotask.h>

#include <algorithm>
#include <cstdio>
#include <future>

namespace {

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM").
qint64 statusKiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

// Resets the peak resident set size (VmHWM) to the current one.
bool resetPeak()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    return clear.open(QIODevice::WriteOnly) && clear.write("5") == 1;
}

class ServerThread : public QThread
{
public:
    ServerThread(qint64 size, int answers) : size(size), answers(answers) {}
    quint16 port() { return ready.get_future().get(); }

protected:
    void run() override
    {
        HttpServer server;
        for (int i = 0; i < answers; ++i) {
            HttpServer::Response file;
            file.generatedSize = size;
            file.addHeader("Content-Type", "application/octet-stream");
            server.enqueue(file);
        }
        ready.set_value(server.port());
        exec();
    }

private:
    qint64 size;
    int answers;
    std::promise<quint16> ready;
};

struct Run
{
    double seconds = 0;
    double peakGrowthMiB = 0;
    bool ok = false;
};

Run viaDownloader(const QUrl &url, const QString &path)
{
    Run run;
    const qint64 before = statusKiB("VmRSS");
    const bool peakReset = resetPeak();
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    auto task = [&]() -> QCoro::Task<> {
        try {
            co_await ModelDownloader::download(url, path, [](int) {});
            run.ok = true;
        } catch (const std::exception &e) {
            std::fprintf(stderr, "download failed: %s\n", e.what());
        }
        loop.quit();
    }();
    if (!task.isReady())
        loop.exec();
    run.seconds = double(clock.nsecsElapsed()) / 1e9;
    run.peakGrowthMiB = peakReset ? double(statusKiB("VmHWM") - before) / 1024.0 : -1;
    return run;
}

Run viaCurl(const QUrl &url, const QString &path)
{
    Run run;
    const qint64 before = statusKiB("VmRSS");
    const bool peakReset = resetPeak();
    QElapsedTimer clock;
    clock.start();
    const int code = QProcess::execute(QStringLiteral("curl"), {u"-s"_qs, u"-f"_qs, u"-o"_qs, path, url.toString()});
    run.seconds = double(clock.nsecsElapsed()) / 1e9;
    run.ok = code == 0;
    run.peakGrowthMiB = peakReset ? double(statusKiB("VmHWM") - before) / 1024.0 : -1;
    return run;
}

double best(const std::vector<Run> &runs)
{
    double b = 1e99;
    for (const Run &r : runs)
        b = std::min(b, r.seconds);
    return b;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qint64 mib = 1024;
    int runs = 2;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == u"--mib"_qs)
            mib = args[i + 1].toLongLong();
        else if (args[i] == u"--runs"_qs)
            runs = args[i + 1].toInt();
    }
    const qint64 size = mib * 1024 * 1024;

    // Qt may send a GET again on a fresh connection; spare answers cover that.
    ServerThread server(size, 4 * runs + 4);
    server.start();
    const QUrl url(u"http://127.0.0.1:%1/ggml-bench.bin"_qs.arg(server.port()));
    QTemporaryDir dir(QDir::currentPath() + u"/bench-download-XXXXXX"_qs);
    const QString ours = dir.filePath(u"ggml-bench.bin"_qs);
    const QString curls = dir.filePath(u"curl.bin"_qs);

    std::vector<Run> downloader;
    std::vector<Run> curl;
    for (int i = 0; i < runs; ++i) {
        curl.push_back(viaCurl(url, curls));
        QFile::remove(curls);
        downloader.push_back(viaDownloader(url, ours));
        if (QFileInfo(ours).size() != size)
            downloader.back().ok = false;
        QFile::remove(ours);
    }
    server.quit();
    server.wait();

    const bool ok = std::all_of(downloader.begin(), downloader.end(), [](const Run &r) { return r.ok; }) &&
                    std::all_of(curl.begin(), curl.end(), [](const Run &r) { return r.ok; });
    if (!ok) {
        std::fprintf(stderr, "a download failed\n");
        return 1;
    }
    double peak = 0;
    for (const Run &r : downloader)
        peak = std::max(peak, r.peakGrowthMiB);
    double serverPeak = 0;
    for (const Run &r : curl)
        serverPeak = std::max(serverPeak, r.peakGrowthMiB);
    const double ourSeconds = best(downloader);
    const double curlSeconds = best(curl);
    std::printf("Download of %lld MiB from 127.0.0.1, best of %d runs each\n", mib, runs);
    std::printf("  ModelDownloader  %6.2f s  %7.1f MiB/s  (temporary file, fsync, rename)\n", ourSeconds,
                double(mib) / ourSeconds);
    std::printf("  curl -o          %6.2f s  %7.1f MiB/s\n", curlSeconds, double(mib) / curlSeconds);
    std::printf("  throughput       %6.1f %% of curl's   (target: at least 80 %%)\n", 100.0 * curlSeconds / ourSeconds);
    std::printf("  peak memory growth of this process during a download: %.1f MiB   (target: under 64 MiB)\n", peak);
    std::printf("    of which the in-process server alone (measured during the curl runs): %.1f MiB\n", serverPeak);
    return 0;
}
