// Recognition benchmark: prints the cost of the engine's wrapping around whisper, of the
// recorder's conditioning, and the recorder's start-up latency on the virtual microphone.
//
//   bench_recognition [--model <ggml.bin>] [--audio <speech file>] [--runs N] [--device cpu|gpu]
//
// The recognition runs on the processor, on the graphics card (ggml's Vulkan module), or
// without --device on both, one after the other.
// Without --model a synthetic model is written; without --audio a Russian phrase is
// spoken with espeak-ng. The latency figure needs the desktop test session
// (scripts/test-session), whose microphone is fed through $TALVANE_MIC_FIFO.
#include "audio/AudioRecorder.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "recognition/TranscriptionEngine.h"

#include "SyntheticModel.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <sndfile.h>
#include <whisper.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

namespace {

constexpr int threads = 1;
constexpr int beam = 5;
const QString language = QStringLiteral("ru");

struct Figures
{
    std::vector<double> ms;
    double median() const
    {
        std::vector<double> sorted = ms;
        std::sort(sorted.begin(), sorted.end());
        return sorted.empty() ? 0 : sorted[sorted.size() / 2];
    }
    double min() const { return ms.empty() ? 0 : *std::min_element(ms.begin(), ms.end()); }
    double max() const { return ms.empty() ? 0 : *std::max_element(ms.begin(), ms.end()); }
};

void print(const char *name, const Figures &f)
{
    std::printf("  %-34s median %8.2f ms   min %8.2f   max %8.2f   (%zu runs)\n", name, f.median(), f.min(), f.max(),
                f.ms.size());
}

double msSince(const QElapsedTimer &clock)
{
    return clock.nsecsElapsed() / 1e6;
}

bool run(const QString &program, const QStringList &arguments, QByteArray *errorOutput = nullptr)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(600000) || process.exitCode() != 0) {
        std::fprintf(stderr, "%s failed: %s\n", qPrintable(program), process.readAllStandardError().constData());
        return false;
    }
    if (errorOutput)
        *errorOutput = process.readAllStandardError();
    return true;
}

// The same call the engine makes, without the engine.
double bareWhisper(whisper_context *context, const std::vector<float> &samples)
{
    whisper_full_params params = whisper_full_default_params(WHISPER_SAMPLING_BEAM_SEARCH);
    params.n_threads = threads;
    params.print_special = params.print_progress = params.print_realtime = params.print_timestamps = false;
    params.beam_search.beam_size = beam;
    const QByteArray lang = language.toUtf8();
    params.language = lang.constData();
    QElapsedTimer clock;
    clock.start();
    whisper_full(context, params, samples.data(), static_cast<int>(samples.size()));
    for (int i = 0; i < whisper_full_n_segments(context); ++i)
        whisper_full_get_segment_text(context, i);
    return msSince(clock);
}

// whisper-cli's own processing time for the file: its total minus its model load.
double cliProcessing(const QString &model, const QString &wav, bool gpu)
{
    QByteArray log;
    QStringList arguments{"-m", model, "-f", wav, "-t", QString::number(threads), "-bs", QString::number(beam),
                          "-l", language};
    if (!gpu)
        arguments << "-ng";
    if (!run(QStringLiteral(TALVANE_WHISPER_CLI), arguments, &log))
        return NAN;
    auto timing = [&](const char *name) {
        const QRegularExpression pattern(QStringLiteral("%1 time =\\s+([0-9.]+) ms").arg(QLatin1String(name)));
        return pattern.match(QString::fromUtf8(log)).captured(1).toDouble();
    };
    return timing("total") - timing("load");
}

// Writes 16 kHz float samples as a WAV file, for whisper-cli.
bool writeWav(const QString &path, const std::vector<float> &samples)
{
    SF_INFO format{};
    format.samplerate = 16000;
    format.channels = 1;
    format.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE *file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &format);
    if (!file)
        return false;
    const bool written =
        sf_writef_float(file, samples.data(), sf_count_t(samples.size())) == sf_count_t(samples.size());
    sf_close(file);
    return written;
}

void benchRecognition(const QString &model, const QString &speech, const QString &wav, int runs, bool gpu)
{
    const LoadedAudio audio = AudioRecorder::loadFile(speech);
    Take take = AudioRecorder::process(audio.samples, audio.rate, audio.samples.size() / audio.rate);
    if (take.kind != Take::Kind::audio || !writeWav(wav, take.samples)) {
        std::printf("the audio was rejected as silent or too short\n");
        return;
    }
    // All three get the same conditioned samples.
    const std::vector<float> &samples = take.samples;
    std::printf("recognition: %.2f s of 16 kHz audio, beam %d, %d thread(s), language %s\n", samples.size() / 16000.0,
                beam, threads, qPrintable(language));

    TranscriptionEngine engine;
    engine.setThreadCount(threads);
    QCoro::waitFor(engine.load(model, QStringLiteral("bench"), gpu));
    const QString device = engine.device();
    std::printf("device: %s\n", qPrintable(device));
    if (gpu && device == QLatin1String("CPU")) {
        std::printf("  no Vulkan device here: nothing to measure on a graphics card\n");
        return;
    }
    if (device.contains(QLatin1String("llvmpipe")))
        std::printf("  llvmpipe is mesa's Vulkan driver running on the processor: these figures show that\n"
                    "  recognition works through Vulkan, not how fast a graphics card is\n");
    whisper_context_params bareParams = whisper_context_default_params();
    bareParams.use_gpu = gpu;
    whisper_context *bare = whisper_init_from_file_with_params(QFile::encodeName(model).constData(), bareParams);

    auto viaEngine = [&] {
        QElapsedTimer clock;
        clock.start();
        QCoro::waitFor(engine.transcribe(samples, language, QString()));
        return msSince(clock);
    };
    Figures wrapped, direct, cli;
    viaEngine(); // warm-up of caches and allocations
    bareWhisper(bare, samples);
    // Pairs in alternating order, so that neither side always runs on a warmer machine.
    for (int i = 0; i < runs; ++i) {
        if (i % 2 == 0) {
            wrapped.ms.push_back(viaEngine());
            direct.ms.push_back(bareWhisper(bare, samples));
        } else {
            direct.ms.push_back(bareWhisper(bare, samples));
            wrapped.ms.push_back(viaEngine());
        }
    }
    whisper_free(bare);
    for (int i = 0; i < runs; ++i)
        cli.ms.push_back(cliProcessing(model, wav, gpu));

    print("TranscriptionEngine::transcribe", wrapped);
    print("bare whisper_full", direct);
    print("whisper-cli (total - load)", cli);
    std::printf("  ratio engine / bare whisper_full:  %.3f of medians, %.3f of minimums (target within 5%%)\n",
                wrapped.median() / direct.median(), wrapped.min() / direct.min());
    std::printf("  ratio engine / whisper-cli:        %.3f\n", wrapped.median() / cli.median());
}

void benchConditioning(int runs)
{
    // 60 s of 48 kHz stereo speech-like signal, as delivered in 1024-frame blocks.
    constexpr size_t rate = 48000, seconds = 60, frames = rate * seconds;
    std::vector<float> interleaved(frames * 2);
    for (size_t i = 0; i < frames; ++i) {
        const float s = 0.3f * static_cast<float>(std::sin(i * 0.031) * std::sin(i * 0.00021));
        interleaved[2 * i] = s;
        interleaved[2 * i + 1] = 0.8f * s;
    }
    Figures perBlock, atStop;
    for (int r = 0; r < runs; ++r) {
        QElapsedTimer clock;
        clock.start();
        std::vector<float> mono;
        mono.reserve(frames);
        for (size_t at = 0; at < interleaved.size(); at += 2048) {
            const size_t count = std::min<size_t>(2048, interleaved.size() - at);
            const std::vector<float> block = AudioRecorder::mono(std::span(interleaved).subspan(at, count), 2);
            AudioRecorder::meterLevel(block);
            mono.insert(mono.end(), block.begin(), block.end());
        }
        perBlock.ms.push_back(msSince(clock));
        clock.restart();
        const Take take = AudioRecorder::process(std::move(mono), rate, seconds);
        atStop.ms.push_back(msSince(clock));
        if (take.kind != Take::Kind::audio)
            std::printf("unexpected take\n");
    }
    std::printf("conditioning a 60 s 48 kHz stereo take:\n");
    print("mix-down + level, all blocks", perBlock);
    print("process() at stop (target < 20 ms)", atStop);
}

void benchFirstBuffer(int runs)
{
    const QString fifo = qEnvironmentVariable("TALVANE_MIC_FIFO");
    if (fifo.isEmpty()) {
        std::printf("first buffer: not measured (no virtual microphone; run inside scripts/test-session)\n");
        return;
    }
    // A live microphone: 10 ms of quiet tone every 10 ms, from before the start.
    std::atomic<bool> speaking = true;
    std::thread mic([&] {
        QFile pipe(fifo);
        if (!pipe.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            return;
        std::vector<qint16> chunk(160);
        for (size_t i = 0; i < chunk.size(); ++i)
            chunk[i] = static_cast<qint16>(3000 * std::sin(i * 0.3));
        while (speaking) {
            pipe.write(reinterpret_cast<const char *>(chunk.data()), chunk.size() * sizeof(qint16));
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    static const QRegularExpression line(QStringLiteral("first buffer after (\\d+)ms"));
    Figures latency;
    for (int r = 0; r < runs; ++r) {
        AudioRecorder recorder;
        recorder.start();
        QTest::qWait(300);
        recorder.stop();
        Log::flush();
        QFile log(QString::fromStdString((Paths::supportDir() / "talvane.log").string()));
        log.open(QIODevice::ReadOnly);
        auto matches = line.globalMatch(QString::fromUtf8(log.readAll()));
        QString last;
        while (matches.hasNext())
            last = matches.next().captured(1);
        latency.ms.push_back(last.toDouble());
    }
    speaking = false;
    mic.join();
    std::printf("recorder start on the virtual microphone:\n");
    print("first buffer after start", latency);
}

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.path())); // the bench's log stays out of the user's
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    QString model, speech;
    int runs = 11;
    QList<bool> devices{false, true}; // on the processor, on the graphics card
    for (int i = 0; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--model"))
            model = args[i + 1];
        else if (args[i] == QLatin1String("--audio"))
            speech = args[i + 1];
        else if (args[i] == QLatin1String("--runs"))
            runs = std::max(1, args[i + 1].toInt());
        else if (args[i] == QLatin1String("--device"))
            devices = {args[i + 1] == QLatin1String("gpu")};
    }
    if (model.isEmpty()) {
        model = home.filePath(QStringLiteral("ggml-synthetic.bin"));
        if (!SyntheticModel::write(model.toStdString(), {}))
            return 1;
        std::printf("model: synthetic (state 64, 1 layer, F16)\n");
    }
    if (speech.isEmpty()) {
        speech = home.filePath(QStringLiteral("speech.wav"));
        if (!run(QStringLiteral("espeak-ng"),
                 {"-v", "ru", "-w", speech, "Проверка распознавания речи: раз, два, три, четыре, пять."}))
            return 1;
    }
    for (const bool gpu : devices)
        benchRecognition(model, speech, home.filePath(QStringLiteral("speech-16k.wav")), runs, gpu);
    benchConditioning(runs);
    benchFirstBuffer(runs);
    return 0;
}
