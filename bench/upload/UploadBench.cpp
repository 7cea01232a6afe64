// Upload benchmark: building the WAV file and the multipart body of a 60 s take, as the
// cloud client does before every upload.
//
//   bench_upload [--seconds N] [--runs N]
#include "platform/Settings.h"
#include "recognition/RemoteTranscriber.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {

struct Timing
{
    std::vector<double> ms;
    double median()
    {
        std::sort(ms.begin(), ms.end());
        return ms[ms.size() / 2];
    }
    double max() const { return *std::max_element(ms.begin(), ms.end()); }
    double min() const { return *std::min_element(ms.begin(), ms.end()); }
};

template <class F> Timing measure(int runs, F &&build)
{
    Timing timing;
    qsizetype sink = 0;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer clock;
        clock.start();
        sink += build().size();
        timing.ms.push_back(double(clock.nsecsElapsed()) / 1e6);
    }
    if (sink == 0)
        std::printf("(nothing built)\n");
    return timing;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int seconds = 60;
    int runs = 50;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == u"--seconds"_qs)
            seconds = args[i + 1].toInt();
        else if (args[i] == u"--runs"_qs)
            runs = args[i + 1].toInt();
    }

    // Speech-like: a wandering tone with noise, normalised as the recorder leaves a take.
    std::vector<float> take(std::size_t(seconds) * 16000);
    std::uint32_t noise = 12345;
    for (std::size_t i = 0; i < take.size(); ++i) {
        noise = noise * 1664525u + 1013904223u;
        const float t = float(i) / 16000.0f;
        take[i] = 0.7f * std::sin(6.2831853f * (180.0f + 60.0f * std::sin(t)) * t) +
                  0.2f * (float(noise >> 8) / float(1 << 24) - 0.5f);
    }

    const QString prompt = Settings().prompt; // the default hint dictionary
    Timing wav = measure(runs, [&] { return RemoteTranscriber::wav(take); });
    Timing body = measure(runs, [&] {
        return RemoteTranscriber::body(RemoteTranscriber::newBoundary(), take, u"gemini-3-5-transcribe"_qs, u"ru"_qs,
                                       prompt);
    });
    const qsizetype bytes =
        RemoteTranscriber::body(RemoteTranscriber::newBoundary(), take, u"gemini-3-5-transcribe"_qs, u"ru"_qs, prompt)
            .size();
    std::printf("Upload preparation of a %d s take (%zu samples, body %lld bytes), %d runs\n", seconds, take.size(),
                qlonglong(bytes), runs);
    std::printf("  WAV only            median %6.2f ms  (min %.2f, max %.2f)\n", wav.median(), wav.min(), wav.max());
    std::printf("  WAV + multipart     median %6.2f ms  (min %.2f, max %.2f)   (target: under 10 ms)\n", body.median(),
                body.min(), body.max());
    return 0;
}
