// CPU use of the program while the capsule animates and while it is hidden, in per cent
// of one core, each measured over 10 seconds. Run inside a desktop session.
#include "app/WaveformOverlay.h"
#include "platform/x11/X11WindowLocator.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <cmath>
#include <cstdio>
#include <ctime>

namespace {

double processSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// Runs the event loop for `seconds` and returns the process's CPU time over wall time.
double measure(int seconds)
{
    QEventLoop loop;
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    QElapsedTimer wall;
    const double cpuStart = processSeconds();
    wall.start();
    loop.exec();
    return 100.0 * (processSeconds() - cpuStart) / (double(wall.nsecsElapsed()) / 1e9);
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    WaveformOverlay overlay(std::make_unique<X11WindowLocator>());
    QElapsedTimer clock;
    clock.start();
    overlay.setLevelSource([&] { return float(0.5 + 0.45 * std::sin(clock.elapsed() / 150.0)); });

    constexpr int seconds = 10;
    overlay.show(OverlayMode::recording);
    const double recording = measure(seconds);
    overlay.show(OverlayMode::transcribing);
    const double transcribing = measure(seconds);
    overlay.hide();
    const double hidden = measure(seconds);

    std::printf("overlay CPU, per cent of one core over %d s each:\n", seconds);
    std::printf("  recording (bars)     %6.2f %%\n", recording);
    std::printf("  transcribing (arcs)  %6.2f %%\n", transcribing);
    std::printf("  hidden               %6.2f %%\n", hidden);
    return 0;
}
