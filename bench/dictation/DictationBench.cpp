// Dictation benchmark: the time from the second press of the hot key to the text in a real
// target window (a Qt text field in another process), split into its stages, over 10
// dictations with the program's own components: the recorder on the virtual microphone, the
// local engine with a synthetic model, the cleaner and the X11 paster. Prints each run and the
// medians. Run it inside the desktop test session:
//   scripts/test-session build/bench/dictation/bench_dictation
#include "Desktop.h"
#include "SpeechFixture.h"
#include "SyntheticModel.h"

#include "app/Wiring.h"
#include "dictation/AppState.h"
#include "platform/Paths.h"
#include "platform/x11/X11Connection.h"
#include "recognition/TranscriptionEngine.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

constexpr int runs = 10;
// What the paster waits whatever happens: the focus check before the paste and the settling
// time between the clipboard write and the paste chord.
constexpr double pasterFixedWaitsMs = 150 + 50;

// When each stage of the current dictation ended, in ms on one clock. Written on the GUI
// thread.
struct Marks
{
    QElapsedTimer clock;
    std::atomic<qint64> stopped = 0;
    std::atomic<qint64> recognised = 0;
    std::atomic<qint64> pasteCalled = 0;
    size_t samples = 0; // in the last take

    qint64 now() const { return clock.nsecsElapsed(); }
};

// The real collaborators, each noting on the shared clock when its step ended.
class TimedRecorder : public Recorder
{
public:
    TimedRecorder(std::unique_ptr<Recorder> inner, Marks &marks) : inner(std::move(inner)), marks(marks) {}
    void start() override { inner->start(); }
    Take stop() override
    {
        Take take = inner->stop();
        marks.stopped = marks.now();
        marks.samples = take.samples.size();
        return take;
    }
    void clearSamples() override { inner->clearSamples(); }
    float currentLevel() const override { return inner->currentLevel(); }
    MicrophoneAccess access() override { return inner->access(); }
    void requestAccess(std::function<void(bool)> answered) override { inner->requestAccess(std::move(answered)); }

private:
    std::unique_ptr<Recorder> inner;
    Marks &marks;
};

class TimedEngine : public LocalEngine
{
public:
    TimedEngine(std::unique_ptr<LocalEngine> inner, Marks &marks) : inner(std::move(inner)), marks(marks) {}
    bool isLoaded() const override { return inner->isLoaded(); }
    std::optional<QString> loadedModel() const override { return inner->loadedModel(); }
    QCoro::Task<> load(QString file, QString name, bool gpu) override
    {
        return inner->load(std::move(file), std::move(name), gpu);
    }
    void unload() override { inner->unload(); }
    QCoro::Task<QString> transcribe(std::vector<float> samples, QString language, QString prompt) override
    {
        QString text = co_await inner->transcribe(std::move(samples), std::move(language), std::move(prompt));
        marks.recognised = marks.now();
        co_return text;
    }
    void abort() override { inner->abort(); }

private:
    std::unique_ptr<LocalEngine> inner;
    Marks &marks;
};

class TimedPaster : public Paster
{
public:
    TimedPaster(std::unique_ptr<Paster> inner, Marks &marks) : inner(std::move(inner)), marks(marks) {}
    std::optional<RunningApp> captureTarget() override { return inner->captureTarget(); }
    QCoro::Task<PasteResult> paste(QString text, bool autoPaste, std::optional<RunningApp> target) override
    {
        marks.pasteCalled = marks.now();
        return inner->paste(std::move(text), autoPaste, std::move(target));
    }
    bool copy(const QString &text) override { return inner->copy(text); }
    void requestAccessibilityIfNeeded() override { inner->requestAccessibilityIfNeeded(); }
    void putBack() override { inner->putBack(); }

private:
    std::unique_ptr<Paster> inner;
    Marks &marks;
};

AppState::Collaborators timed(AppState::Collaborators parts, Marks &marks)
{
    parts.recorder = std::make_unique<TimedRecorder>(std::move(parts.recorder), marks);
    parts.engine = std::make_unique<TimedEngine>(std::move(parts.engine), marks);
    parts.paster = std::make_unique<TimedPaster>(std::move(parts.paster), marks);
    return parts;
}

struct Stages
{
    std::vector<double> stop, recognition, cleaning, paste, total;
};

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double ms(qint64 from, qint64 to)
{
    return (to - from) / 1e6;
}

// Plays `pcm` into the virtual microphone, taking as long as a speaker would: the pipe itself
// delivers faster than real time.
void speak(const QString &fifo, const QByteArray &pcm)
{
    QElapsedTimer clock;
    clock.start();
    std::thread writer([&] {
        QFile mic(fifo);
        if (mic.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            mic.write(pcm);
    });
    writer.join();
    QTest::qWait(int(std::max<qint64>(0, pcm.size() / 2 / 16 - clock.elapsed()) + 300));
}

bool waitFor(const std::function<bool()> &condition, int limitMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > limitMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    }
    return true;
}

int fail(const char *message)
{
    std::fprintf(stderr, "bench_dictation: %s\n", message);
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.path())); // settings, models and log stay out of the user's
    QApplication app(argc, argv);
    const QString fifo = qEnvironmentVariable("TALVANE_MIC_FIFO");
    if (!X11Connection::display() || fifo.isEmpty())
        return fail("needs the desktop test session (an X server and $TALVANE_MIC_FIFO)");

    const QByteArray pcm = SpeechFixture::microphonePcm(home.path());
    if (pcm.isEmpty())
        return fail("espeak-ng or sox failed");
    if (!SyntheticModel::write(Paths::modelFile("tiny").string(), SyntheticModel::Options{}))
        return fail("the synthetic model could not be written");

    Marks marks;
    marks.clock.start();
    AppState dictation(timed(desktopCollaborators(), marks));
    dictation.changeSettings([](Settings &s) { s.model = "tiny", s.language = "ru", s.engine = Engine::local; });
    QCoro::waitFor(dictation.prepare());
    if (dictation.state() != RecordingState::idle)
        return fail("the model did not load");

    auto field = Desktop::startTextField();
    if (!field)
        return fail("the target window did not start");
    std::printf("speech: %.2f s of Russian (espeak-ng); model: synthetic (state 64, 1 layer, F16); whisper with "
                "%d thread(s), the engine's default here; cleaning on\n",
                pcm.size() / 2 / 16000.0, TranscriptionEngine::threadCountFor(QThread::idealThreadCount()));

    Stages stages;
    for (int run = 1; run <= runs; ++run) {
        const QString before = field->received();
        dictation.toggle();
        if (!waitFor([&] { return dictation.state() == RecordingState::recording; }, 10000))
            return fail("the recording did not start");
        speak(fifo, pcm);

        const qint64 toggled = marks.now();
        dictation.toggle();
        const bool done = waitFor(
            [&] {
                return dictation.state() == RecordingState::idle && dictation.lastDictation() &&
                       field->received() == before + *dictation.lastDictation();
            },
            120000);
        const qint64 arrived = marks.now();
        if (!done) {
            std::fprintf(stderr, "run %d ended with \"%s\"\n", run, qPrintable(dictation.status()));
            return fail("the text did not arrive in the target window");
        }
        if (marks.samples != size_t(pcm.size() / 2))
            return fail("the recording is not the whole phrase");
        stages.stop.push_back(ms(toggled, marks.stopped));
        stages.recognition.push_back(ms(marks.stopped, marks.recognised));
        stages.cleaning.push_back(ms(marks.recognised, marks.pasteCalled));
        stages.paste.push_back(ms(marks.pasteCalled, arrived));
        stages.total.push_back(ms(toggled, arrived));
        std::printf("run %2d: stop+conditioning %7.1f ms  recognition %7.1f ms  cleaning %6.1f ms  paste %6.1f ms  "
                    "total %7.1f ms  (%lld chars)\n",
                    run, stages.stop.back(), stages.recognition.back(), stages.cleaning.back(), stages.paste.back(),
                    stages.total.back(), static_cast<long long>(characterCount(*dictation.lastDictation())));
    }

    const double paste = median(stages.paste);
    const double total = median(stages.total);
    std::printf("\nmedian of %d, second toggle to text in the target window: %.1f ms\n", runs, total);
    std::printf("  stop + conditioning  %7.1f ms  (toggle to the recorder's take)\n", median(stages.stop));
    std::printf("  recognition          %7.1f ms  (local engine, synthetic model)\n", median(stages.recognition));
    std::printf("  cleaning             %7.1f ms  (recognised text to the paster's call, incl. the hop to the "
                "worker thread)\n",
                median(stages.cleaning));
    std::printf("  paste                %7.1f ms  (paster's call until the text is in the target window)\n", paste);
    std::printf("the paster's fixed waits (150 ms focus check + 50 ms settling) are %.0f ms: %.0f%% of the paste "
                "stage, %.0f%% of the total; the rest of the paste stage, %.1f ms, is the clipboard write, the "
                "synthetic keys and the target's own paste\n",
                pasterFixedWaitsMs, 100 * pasterFixedWaitsMs / paste, 100 * pasterFixedWaitsMs / total,
                paste - pasterFixedWaitsMs);
    return 0;
}
