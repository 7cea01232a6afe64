// The running program's cost: time from start to a visible tray icon (10 starts, median), resident memory
// without a model and with the synthetic model loaded, and CPU used while idle for 10 s. Run inside a
// desktop session with a tray host:
//   scripts/test-session build/bench/startup/bench_startup
#include "SyntheticModel.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <unistd.h>
#include <vector>

namespace {

QString run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    process.waitForFinished(10000);
    return process.exitCode() == 0 ? QString::fromUtf8(process.readAllStandardOutput()).trimmed() : QString();
}

// A visible window of `pid` of tray-icon size inside the tray host's strip at the top of the screen: the tray
// host has embedded and mapped the icon.
bool trayIconVisible(qint64 pid)
{
    const QString ids = run(QStringLiteral("xdotool"), {"search", "--onlyvisible", "--pid", QString::number(pid)});
    for (const QString &id : ids.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        QMap<QString, int> geometry;
        for (const QString &line : run(QStringLiteral("xdotool"), {"getwindowgeometry", "--shell", id}).split('\n'))
            geometry[line.section(QLatin1Char('='), 0, 0)] = line.section(QLatin1Char('='), 1).toInt();
        const int width = geometry.value(QStringLiteral("WIDTH")), height = geometry.value(QStringLiteral("HEIGHT"));
        if (width > 4 && width <= 64 && height <= 64 && geometry.value(QStringLiteral("Y")) < 40)
            return true;
    }
    return false;
}

// One isolated run of the program: its own HOME and XDG folders.
class Run
{
public:
    explicit Run(bool withModel)
    {
        const QString data = home.filePath(QStringLiteral(".local/share"));
        QDir().mkpath(data + QStringLiteral("/Talvane/models"));
        QFile settings(data + QStringLiteral("/Talvane/settings.json"));
        if (settings.open(QIODevice::WriteOnly))
            settings.write(R"({"Model": "tiny"})");
        settings.close();
        if (withModel)
            SyntheticModel::write((data + QStringLiteral("/Talvane/models/ggml-tiny.bin")).toStdString(), {});
        log = data + QStringLiteral("/Talvane/talvane.log");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), home.path());
        env.insert(QStringLiteral("XDG_DATA_HOME"), data);
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral(".config")));
        env.insert(QStringLiteral("XDG_CACHE_HOME"), home.filePath(QStringLiteral(".cache")));
        process.setProcessEnvironment(env);
        process.setStandardOutputFile(QProcess::nullDevice());
        process.setStandardErrorFile(QProcess::nullDevice());
        started.start();
        process.start(QStringLiteral(TALVANE_EXECUTABLE), {});
        process.waitForStarted();
    }

    ~Run()
    {
        process.terminate();
        if (!process.waitForFinished(10000))
            process.kill();
    }

    bool waitForLog(const QString &text, int timeoutMs) const
    {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < timeoutMs) {
            QFile file(log);
            if (file.open(QIODevice::ReadOnly) && QString::fromUtf8(file.readAll()).contains(text))
                return true;
            QThread::msleep(50);
        }
        return false;
    }

    // Resident memory in MiB, from /proc.
    double rssMiB() const
    {
        QFile status(QStringLiteral("/proc/%1/status").arg(process.processId()));
        if (!status.open(QIODevice::ReadOnly))
            return -1;
        for (const QByteArray &line : status.readAll().split('\n'))
            if (line.startsWith("VmRSS:"))
                return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
        return -1;
    }

    // User plus system CPU time so far, in seconds.
    double cpuSeconds() const
    {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(process.processId()));
        if (!stat.open(QIODevice::ReadOnly))
            return -1;
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        // Fields 14 and 15 of the file (utime, stime) are 11 and 12 after the command name.
        return (fields.at(11).toDouble() + fields.at(12).toDouble()) / double(sysconf(_SC_CLK_TCK));
    }

    QTemporaryDir home;
    QString log;
    QElapsedTimer started;
    QProcess process;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        std::fprintf(stderr, "bench_startup needs a desktop session with a tray host\n");
        return 1;
    }

    constexpr int starts = 10;
    std::vector<double> times;
    for (int i = 0; i < starts; ++i) {
        Run program(true);
        while (!trayIconVisible(program.process.processId())) {
            if (program.started.elapsed() > 20000) {
                std::fprintf(stderr, "start %d: no tray icon after 20 s\n", i + 1);
                return 1;
            }
            QThread::msleep(5);
        }
        times.push_back(program.started.nsecsElapsed() / 1e6);
        std::printf("start %2d: tray icon after %.0f ms\n", i + 1, times.back());
    }
    std::sort(times.begin(), times.end());
    std::printf("median of %d, start to visible tray icon: %.0f ms (min %.0f, max %.0f)\n", starts,
                times[starts / 2 - 1] / 2 + times[starts / 2] / 2, times.front(), times.back());

    {
        Run program(false);
        // Without a model the program asks whether to download one and waits for the answer.
        if (!program.waitForLog(QStringLiteral("State: loading"), 20000))
            return 1;
        QThread::sleep(2);
        std::printf("memory without a model (download question open): %.1f MiB RSS\n", program.rssMiB());
    }
    {
        Run program(true);
        if (!program.waitForLog(QStringLiteral("State: idle"), 20000)) {
            std::fprintf(stderr, "the synthetic model did not load\n");
            return 1;
        }
        QThread::sleep(2);
        std::printf("memory with the synthetic model loaded: %.1f MiB RSS\n", program.rssMiB());
        const double before = program.cpuSeconds();
        QThread::sleep(10);
        const double used = program.cpuSeconds() - before;
        std::printf("idle CPU over 10 s: %.2f s of CPU time (%.2f %% of one core; counted in ticks of %.0f ms)\n", used,
                    used * 10.0, 1000.0 / double(sysconf(_SC_CLK_TCK)));
    }
    return 0;
}
