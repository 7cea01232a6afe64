#include "recognition/TranscriptionEngine.h"

#include "platform/Errors.h"
#include "platform/IcuText.h"
#include "platform/Log.h"
#include "recognition/EngineError.h"
#include "recognition/ModelFile.h"

#include <QCoroFuture>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QtConcurrent>

#include <unicode/regex.h>
#include <ggml-backend.h>
#include <whisper.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

namespace {

void logSink(ggml_log_level level, const char *text, void *)
{
    // Below info: none and debug.
    if (text == nullptr || level < GGML_LOG_LEVEL_INFO)
        return;
    const QString line = QString::fromUtf8(text).trimmed();
    if (!line.isEmpty())
        Log::info(QStringLiteral("whisper: ") + line);
}


// The noise markers whisper writes for silence, music or applause.
const icu::RegexPattern &tags()
{
    static const std::unique_ptr<icu::RegexPattern> pattern = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::RegexPattern> compiled(icu::RegexPattern::compile(
            icu::UnicodeString::fromUTF8(
                "[\\[(](BLANK_AUDIO|blank_audio|Музыка|Music|Аплодисменты|Applause|[A-Z_ ]+)[\\])]"),
            0, status));
        if (U_FAILURE(status))
            std::abort(); // a constant pattern: failing to compile it is a programming error
        return compiled;
    }();
    return *pattern;
}

QString withoutTags(const QString &text)
{
    const icu::UnicodeString input = IcuText::toIcu(text);
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> matcher(tags().matcher(input, status));
    const icu::UnicodeString output = matcher->replaceAll(icu::UnicodeString(), status);
    if (U_FAILURE(status))
        return text;
    return IcuText::toQt(output);
}

// The graphics card whisper takes when asked to use one: the first ggml knows of, as
// "Vulkan: <device>"; empty when there is none.
QString firstGpu()
{
    for (size_t i = 0; i < ggml_backend_dev_count(); ++i) {
        ggml_backend_dev_t device = ggml_backend_dev_get(i);
        const enum ggml_backend_dev_type type = ggml_backend_dev_type(device);
        if (type == GGML_BACKEND_DEVICE_TYPE_GPU || type == GGML_BACKEND_DEVICE_TYPE_IGPU)
            return QString::fromUtf8(ggml_backend_reg_name(ggml_backend_dev_backend_reg(device))) +
                   QStringLiteral(": ") + QString::fromUtf8(ggml_backend_dev_description(device));
    }
    return {};
}

} // namespace

// What whisper's abort callback polls: the engine's abort count and the one the job was asked under.
struct TranscriptionEngine::Job
{
    const std::atomic<quint64> *aborts;
    quint64 askedAt;

    bool cancelled() const { return aborts->load() != askedAt; }
    static bool poll(void *job) { return job != nullptr && static_cast<const Job *>(job)->cancelled(); }
};

struct TranscriptionEngine::Outcome
{
    enum class Kind { text, notLoaded, cancelled, failed } kind;
    int code = 0;
    QString text;
};

TranscriptionEngine::TranscriptionEngine() : threads(threadCountFor(QThread::idealThreadCount()))
{
    queue.setMaxThreadCount(1);
    whisper_log_set(logSink, nullptr);
}

TranscriptionEngine::~TranscriptionEngine()
{
    queue.waitForDone();
    if (context)
        whisper_free(context);
}

int TranscriptionEngine::threadCountFor(int activeProcessors)
{
    return std::clamp(activeProcessors - 1, 1, 8);
}

bool TranscriptionEngine::loadModules()
{
    static std::once_flag once;
    static bool loaded = false;
    std::call_once(once, [] {
        ggml_backend_load_all_from_path(TALVANE_GGML_MODULES);
        loaded = ggml_backend_dev_by_type(GGML_BACKEND_DEVICE_TYPE_CPU) != nullptr;
        if (loaded)
            Log::info(QStringLiteral("whisper: ") + QString::fromUtf8(whisper_print_system_info()));
        else
            Log::error(QStringLiteral("No processor module of the recognition library in '%1'")
                           .arg(QStringLiteral(TALVANE_GGML_MODULES)));
    });
    return loaded;
}

bool TranscriptionEngine::isLoaded() const
{
    std::lock_guard guard(stateLock);
    return context != nullptr;
}

std::optional<QString> TranscriptionEngine::loadedModel() const
{
    std::lock_guard guard(stateLock);
    return model;
}

QCoro::Task<void> TranscriptionEngine::load(QString path, QString name, bool gpu)
{
    Log::info(QStringLiteral("Loading model from '%1'").arg(path));
    QFuture<bool> work = QtConcurrent::run(&queue, [this, path, name, gpu] { return loadOnWorker(path, name, gpu); });
    const bool loaded = co_await work;
    if (!loaded)
        throw EngineError::loadFailed(QFileInfo(path).fileName());
    Log::info(QStringLiteral("Model loaded, ready"));
}

QString TranscriptionEngine::device() const
{
    std::lock_guard guard(stateLock);
    return !context ? QString() : gpuDevice.isEmpty() ? QStringLiteral("CPU") : gpuDevice;
}

whisper_context *TranscriptionEngine::initOnWorker(const QString &file, bool gpu)
{
    whisper_context_params params = whisper_context_default_params();
    params.use_gpu = gpu;
    try {
        return whisper_init_from_file_with_params(QFile::encodeName(file).constData(), params);
    } catch (const std::exception &e) { // the library throws on allocation failures
        Log::write("ERROR", std::string("Model load failed: ") + e.what());
        return nullptr;
    }
}

bool TranscriptionEngine::loadOnWorker(const QString &file, const QString &name, bool gpu)
{
    freeOnWorker();
    if (const auto problem = ModelFile::problem(file)) {
        Log::error(QStringLiteral("Model file rejected: ") + *problem);
        return false;
    }
    if (!loadModules())
        return false;
    QString device = gpu ? firstGpu() : QString();
    whisper_context *loaded = initOnWorker(file, !device.isEmpty());
    if (!loaded && !device.isEmpty()) { // a driver that fails: the processor still recognises
        Log::error(QStringLiteral("The model did not load on %1; loading it on the CPU").arg(device));
        device.clear();
        loaded = initOnWorker(file, false);
    }
    if (!loaded)
        return false;
    Log::info(QStringLiteral("Recognition device: ") + (device.isEmpty() ? QStringLiteral("CPU") : device));
    std::lock_guard guard(stateLock);
    context = loaded;
    model = name;
    path = file;
    gpuDevice = device;
    return true;
}

void TranscriptionEngine::unload()
{
    queue.start([this] {
        if (!isLoaded())
            return;
        freeOnWorker();
        Log::info(QStringLiteral("Model unloaded"));
    });
}

void TranscriptionEngine::freeOnWorker()
{
    whisper_context *old = nullptr;
    {
        std::lock_guard guard(stateLock);
        old = std::exchange(context, nullptr);
        model.reset();
    }
    if (old)
        whisper_free(old);
}

QCoro::Task<QString> TranscriptionEngine::transcribe(std::vector<float> samples, QString language, QString prompt)
{
    if (!isLoaded())
        throw EngineError::notLoaded();
    const Job job{&aborts, aborts.load()};
    QFuture<Outcome> work = QtConcurrent::run(&queue, [this, job, samples = std::move(samples), language, prompt] {
        return transcribeOnWorker(job, samples, language, prompt);
    });
    const Outcome outcome = co_await work;
    switch (outcome.kind) {
    case Outcome::Kind::notLoaded: throw EngineError::notLoaded();
    case Outcome::Kind::cancelled: throw Cancelled();
    case Outcome::Kind::failed: throw EngineError::transcriptionFailed(outcome.code);
    case Outcome::Kind::text: break;
    }
    co_return outcome.text;
}

TranscriptionEngine::Outcome TranscriptionEngine::transcribeOnWorker(const Job &job, const std::vector<float> &samples,
                                                                     const QString &language, const QString &prompt)
{
    if (job.cancelled())
        return {Outcome::Kind::cancelled, 0, {}};
    whisper_context *ctx = nullptr;
    {
        std::lock_guard guard(stateLock);
        ctx = context;
    }
    if (!ctx)
        return {Outcome::Kind::notLoaded, 0, {}};
    // whisper counts samples in a signed 32-bit integer.
    if (samples.size() > static_cast<size_t>(INT_MAX)) {
        Log::write("ERROR", "Transcription refused: " + std::to_string(samples.size()) + " samples is too long");
        return {Outcome::Kind::failed, -1, {}};
    }

    whisper_full_params params = whisper_full_default_params(WHISPER_SAMPLING_BEAM_SEARCH);
    params.n_threads = threads;
    params.print_special = false;
    params.print_progress = false;
    params.print_realtime = false;
    params.print_timestamps = false;
    params.beam_search.beam_size = 5;
    params.abort_callback = &Job::poll;
    params.abort_callback_user_data = const_cast<Job *>(&job);
    const QByteArray languageBytes = language.toUtf8();
    params.language = languageBytes.constData();
    const QByteArray promptBytes = prompt.trimmed().toUtf8();
    params.initial_prompt = promptBytes.isEmpty() ? nullptr : promptBytes.constData();

    int code = runOnWorker(ctx, params, samples);
    if (code != 0 && !job.cancelled() && !gpuDevice.isEmpty()) {
        // A graphics card that fails mid-run (a lost device, a driver fault): the same
        // model on the processor, and the dictation still comes through.
        Log::error(QStringLiteral("Recognition on %1 failed (%2); again on the CPU").arg(gpuDevice).arg(code));
        if (whisper_context *onCpu = initOnWorker(path, false)) {
            {
                std::lock_guard guard(stateLock);
                std::swap(context, onCpu);
                gpuDevice.clear();
            }
            whisper_free(onCpu);
            ctx = context;
            Log::info(QStringLiteral("Recognition device: CPU"));
            code = runOnWorker(ctx, params, samples);
        }
    }
    if (job.cancelled())
        return {Outcome::Kind::cancelled, 0, {}};
    if (code != 0)
        return {Outcome::Kind::failed, code, {}};

    const int count = whisper_full_n_segments(ctx);
    std::vector<Segment> segments;
    segments.reserve(static_cast<size_t>(std::max(count, 0)));
    for (int i = 0; i < count; ++i)
        segments.push_back({whisper_full_get_segment_text(ctx, i), whisper_full_get_segment_no_speech_prob(ctx, i)});
    return {Outcome::Kind::text, 0, textOf(segments)};
}

int TranscriptionEngine::runOnWorker(whisper_context *ctx, const whisper_full_params &params,
                                     const std::vector<float> &samples)
{
    try {
        return whisper_full(ctx, params, samples.data(), static_cast<int>(samples.size()));
    } catch (const std::exception &e) { // a graphics driver's error arrives as an exception
        Log::write("ERROR", std::string("Recognition failed: ") + e.what());
        return -100;
    }
}

QString TranscriptionEngine::textOf(std::span<const Segment> segments)
{
    QByteArray bytes;
    float highest = 0;
    for (const Segment &segment : segments) {
        if (segment.text == nullptr)
            continue;
        highest = std::max(highest, segment.noSpeech);
        if (segment.noSpeech > noSpeechLimit) {
            Log::info(QString::asprintf("Dropped segment (no-speech %.2f, %zu bytes)", segment.noSpeech,
                                   std::strlen(segment.text)));
            continue;
        }
        bytes.append(segment.text);
    }
    Log::info(QString::asprintf("Transcribed, highest no-speech probability %.2f (limit %.2f)", highest, noSpeechLimit));
    // Joined as bytes first, so that a character split between two segments is whole again.
    QString text = withoutTags(QString::fromUtf8(bytes));
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return text.trimmed();
}
