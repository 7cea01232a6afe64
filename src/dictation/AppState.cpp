#include "dictation/AppState.h"

#include "platform/Errors.h"
#include "platform/KeyNames.h"
#include "platform/Log.h"
#include "platform/TopLevelTask.h"
#include "recognition/CloudError.h"
#include "text/TextCleaner.h"

#include <QCoro/QCoroFuture>
#include <QtConcurrent/QtConcurrentRun>

QString caseName(RecordingState state)
{
    switch (state) {
    case RecordingState::loading: return QStringLiteral("loading");
    case RecordingState::idle: return QStringLiteral("idle");
    case RecordingState::recording: return QStringLiteral("recording");
    case RecordingState::transcribing: return QStringLiteral("transcribing");
    case RecordingState::error: return QStringLiteral("error");
    }
    return {};
}

AppState::AppState(Collaborators collaborators, QObject *parent)
    : QObject(parent), parts(std::move(collaborators)), userSettings(Settings::load()),
      setup(userSettings, *parts.engine, *parts.keys, parts.download,
            [this](RecordingState state, const QString &text) { set(state, text); },
            [this](const QString &model, const QString &size, const QString &folder) {
                return confirmDownload && confirmDownload(model, size, folder);
            })
{
    Recorder *recorder = parts.recorder.get();
    parts.overlay->setLevelSource([recorder] { return recorder->currentLevel(); });
    Log::info(QStringLiteral("Models directory: ") + modelsFolder());
}

QString AppState::modelsFolder() const
{
    return setup.modelsFolder();
}

AppState::~AppState() = default;

void AppState::set(RecordingState state, const QString &text)
{
    currentState = state;
    currentStatus = text;
    Log::info(QStringLiteral("State: ") + caseName(state) + QStringLiteral(" — ") + status());
    if (onChange)
        onChange();
}

void AppState::setHotkey(const Hotkey &key)
{
    hotkey = key;
    if (onChange)
        onChange();
}

void AppState::schedule(std::function<QCoro::Task<>()> operation)
{
    TopLevelTask::start(this, std::move(operation));
}

void AppState::toggle()
{
    Log::info(QStringLiteral("Toggle called, state: ") + caseName(currentState));
    switch (currentState) {
    case RecordingState::loading:
    case RecordingState::transcribing: return;
    case RecordingState::idle: schedule([this] { return startRecording(); }); return;
    case RecordingState::recording: schedule([this] { return stopAndTranscribe(); }); return;
    case RecordingState::error: schedule([this] { return prepare(); }); return;
    }
}

QCoro::Task<> AppState::startRecording()
{
    target = parts.paster->captureTarget();
    if (userSettings.engine == Engine::local && !parts.engine->isLoaded()) {
        set(RecordingState::error, QStringLiteral("Модель не загружена"));
        co_return;
    }
    if (userSettings.engine == Engine::cloud) {
        const bool ready = co_await setup.ensureCloudKey();
        if (!ready)
            co_return;
    }

    switch (parts.recorder->access()) {
    case MicrophoneAccess::authorized:
        break;
    case MicrophoneAccess::notDetermined:
        parts.recorder->requestAccess([](bool granted) {
            Log::info(granted ? QStringLiteral("Microphone access granted") : QStringLiteral("Microphone access denied"));
        });
        set(RecordingState::idle, QStringLiteral("Разрешите доступ к микрофону и нажмите ⌥Пробел ещё раз"));
        co_return;
    case MicrophoneAccess::denied:
        set(RecordingState::error, QStringLiteral("Нет доступа к микрофону — Системные настройки → "
                                                  "Конфиденциальность и безопасность → Микрофон"));
        co_return;
    }

    try {
        parts.recorder->start();
    } catch (const std::exception &e) {
        Log::error(QStringLiteral("AudioRecorder start failed: ") + describe(e));
        set(RecordingState::error, QStringLiteral("Микрофон недоступен: ") + describe(e));
        co_return;
    }
    parts.overlay->show(OverlayMode::recording, target ? std::optional<qint64>(target->pid) : std::nullopt);
    set(RecordingState::recording, QStringLiteral("Слушаю…"));
}

QCoro::Task<> AppState::stopAndTranscribe()
{
    Take take = parts.recorder->stop();
    if (take.kind != Take::Kind::audio) {
        parts.overlay->hide();
        set(RecordingState::idle, take.kind == Take::Kind::silence ? QStringLiteral("Тишина — отменено")
                                                                    : QStringLiteral("Слишком коротко — отменено"));
        co_return;
    }
    std::vector<float> samples = std::move(take.samples);
    Log::info(QStringLiteral("Audio captured: %1s").arg(double(samples.size()) / 16000.0, 0, 'f', 2));
    parts.overlay->show(OverlayMode::transcribing, std::nullopt);
    set(RecordingState::transcribing, QStringLiteral("Распознаю…"));

    QString text;
    try {
        text = co_await recognise(std::move(samples));
    } catch (...) {
        failRecognition(std::current_exception());
        co_return;
    }
    co_await finishRecognised(std::move(text));
}

QCoro::Task<QString> AppState::recognise(std::vector<float> samples)
{
    // The settings of the moment of the stop decide how the take is recognised.
    const QString language = userSettings.language;
    const QString prompt = userSettings.prompt;
    if (userSettings.engine != Engine::cloud)
        co_return co_await parts.engine->transcribe(std::move(samples), language, prompt);

    const CloudAccess access = parts.keys->current();
    const RemoteEndpoint endpoint = RemoteEndpoint::nimbrel(access.serviceUrl, access.key);
    cloudInFlight = true;
    try {
        QString text = co_await parts.cloud->transcribe(std::move(samples), endpoint, language, prompt);
        cloudInFlight = false;
        co_return text;
    } catch (...) {
        cloudInFlight = false;
        throw;
    }
}

QCoro::Task<> AppState::finishRecognised(QString text)
{
    parts.overlay->hide();
    if (userSettings.cleanSpeech) {
        QFuture<QString> cleaning = QtConcurrent::run([text] { return TextCleaner::clean(text); });
        text = co_await cleaning;
    }
    if (text.isEmpty()) {
        set(RecordingState::idle, QStringLiteral("Речь не распознана"));
        co_return;
    }
    recent.push_front(text);
    if (recent.size() > recentLimit)
        recent.pop_back();
    const PasteResult result = co_await parts.paster->paste(text, userSettings.autoPaste, target);
    const QString count = QString::number(characterCount(text));
    switch (result) {
    case PasteResult::pasted:
        set(RecordingState::idle, QStringLiteral("Вставлено символов: ") + count);
        break;
    case PasteResult::copied:
        set(RecordingState::idle, QStringLiteral("Скопировано символов: ") + count + QStringLiteral(" — вставьте ⌘V"));
        break;
    case PasteResult::failed:
        set(RecordingState::idle, QStringLiteral("Не вставилось: скопируйте текст из меню"));
        if (notPasted)
            notPasted();
        break;
    }
}

void AppState::failRecognition(std::exception_ptr failure)
{
    parts.overlay->hide();
    try {
        std::rethrow_exception(failure);
    } catch (const Cancelled &) {
        set(RecordingState::idle, QStringLiteral("Отменено"));
    } catch (const CloudError &refusal) {
        if (refusal.status() == 401 || refusal.status() == 403) {
            set(RecordingState::error, QStringLiteral("Не удалось распознать: ") + refusal.message());
        } else if (refusal.status() == 402) {
            set(RecordingState::error, refusal.message());
        } else {
            Log::error(QStringLiteral("Transcription failed: ") + refusal.message());
            set(RecordingState::error, QStringLiteral("Не удалось распознать: ") + refusal.message());
        }
    } catch (const std::exception &e) {
        Log::error(QStringLiteral("Transcription failed: ") + describe(e));
        set(RecordingState::error, QStringLiteral("Не удалось распознать: ") + describe(e));
    } catch (...) {
        Log::error(QStringLiteral("Transcription failed: unknown error"));
        set(RecordingState::error, QStringLiteral("Не удалось распознать: неизвестная ошибка"));
    }
}

void AppState::cancel()
{
    if (currentState == RecordingState::transcribing) {
        parts.engine->abort();
        if (cloudInFlight)
            parts.cloud->cancel();
        return;
    }
    if (currentState != RecordingState::recording)
        return;
    parts.recorder->stop();
    parts.recorder->clearSamples();
    parts.overlay->hide();
    set(RecordingState::idle, QStringLiteral("Отменено"));
    Log::info(QStringLiteral("Recording cancelled"));
}

void AppState::copyDictation(size_t index)
{
    if (index >= recent.size())
        return;
    const QString text = recent[index];
    const bool written = parts.paster->copy(text);
    if (currentState != RecordingState::idle)
        return;
    if (written)
        set(RecordingState::idle, QStringLiteral("Скопировано символов: ") + QString::number(characterCount(text)) +
                                      QStringLiteral(" — вставьте ⌘V"));
    else
        set(RecordingState::idle, QStringLiteral("Не удалось скопировать: буфер обмена занят"));
}

QCoro::Task<> AppState::prepare()
{
    co_await setup.prepare();
}

bool AppState::changeSettings(const std::function<void(Settings &)> &change)
{
    const Settings before = userSettings;
    change(userSettings);
    if (userSettings == before)
        return false;
    userSettings.save();
    if (onChange)
        onChange();
    return true;
}

QCoro::Task<> AppState::changeModel(QString name)
{
    if (!changeSettings([&name](Settings &s) { s.model = name; }))
        co_return;
    co_await prepare();
}

QCoro::Task<> AppState::changeEngine(Engine value)
{
    if (!changeSettings([value](Settings &s) { s.engine = value; }))
        co_return;
    Log::info(QStringLiteral("Recognition changed: ") + Settings::engineName(value));
    co_await prepare();
}

void AppState::changeLanguage(const QString &code)
{
    changeSettings([&code](Settings &s) { s.language = code; });
}
