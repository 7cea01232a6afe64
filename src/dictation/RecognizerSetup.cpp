#include "dictation/RecognizerSetup.h"

#include "platform/Errors.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "recognition/ModelCatalogue.h"

#include <QCoreApplication>
#include <QFile>
#include <QPointer>
#include <QThread>

RecognizerSetup::RecognizerSetup(const Settings &settings, LocalEngine &engine, CloudKeyProvider &keys,
                                 Download download, Report report, Confirm confirm)
    : settings(settings), engine(engine), keys(keys), fetchModel(std::move(download)), report(std::move(report)),
      confirm(std::move(confirm))
{
}

QString RecognizerSetup::modelsFolder() const
{
    return QString::fromStdString(Paths::modelsFolder(settings.modelsDir.toStdString()).string());
}

QCoro::Task<> RecognizerSetup::prepare()
{
    if (settings.engine == Engine::cloud) {
        engine.unload();
        const bool ready = co_await ensureCloudKey();
        if (!ready)
            co_return;
        const bool stillCloud = settings.engine == Engine::cloud;
        report(RecordingState::idle, stillCloud ? QStringLiteral("Готово — ⌥Пробел (Nimbrel Cloud)")
                                                : QStringLiteral("Готово — ⌥Пробел (этот компьютер)"));
        co_return;
    }

    const QString name = settings.model;
    if (engine.isLoaded() && engine.loadedModel() == name) {
        report(RecordingState::idle, QStringLiteral("Готово — ⌥Пробел"));
        co_return;
    }
    const QString file = QString::fromStdString(
        Paths::modelFile(name.toStdString(), settings.modelsDir.toStdString()).string());
    report(RecordingState::loading, QStringLiteral("Загружаю модель…"));
    std::optional<QString> loadProblem; // why the file there would not load
    try {
        if (QFile::exists(file)) {
            try {
                co_await engine.load(file, name, settings.useGpu);
                report(RecordingState::idle, QStringLiteral("Готово — ⌥Пробел"));
                co_return;
            } catch (const std::exception &e) {
                // A damaged or cut-short file: a fresh copy may mend it, so the download is
                // offered as for a missing one. The old file stays until the new one is complete.
                loadProblem = describe(e);
                Log::error(QStringLiteral("Prepare failed: ") + *loadProblem);
            }
        }
        const bool downloaded = co_await download(name, file);
        if (!downloaded) {
            report(RecordingState::error, loadProblem ? QStringLiteral("Модель не загрузилась: ") + *loadProblem
                                                   : QStringLiteral("Загрузка модели «%1» отменена").arg(name));
            co_return;
        }
        co_await engine.load(file, name, settings.useGpu);
        report(RecordingState::idle, QStringLiteral("Готово — ⌥Пробел"));
    } catch (const std::exception &e) {
        Log::error(QStringLiteral("Prepare failed: ") + describe(e));
        report(RecordingState::error, QStringLiteral("Модель не загрузилась: ") + describe(e));
    }
}

QCoro::Task<bool> RecognizerSetup::download(QString name, QString file)
{
    const QString folder = modelsFolder();
    if (!confirm || !confirm(name, ModelCatalogue::sizeText(name), folder)) {
        Log::info(QStringLiteral("Download of '%1' declined").arg(name));
        co_return false;
    }
    const auto cancel = std::make_shared<CancelToken>();
    running = cancel; // before the first report, so that the menu offers to stop it from the start
    report(RecordingState::loading, QStringLiteral("Скачиваю модель %1…").arg(name));
    // Reports come from any thread and are shown on the GUI thread; one that arrives after
    // the download has ended must not hide its outcome.
    const auto downloading = std::make_shared<bool>(true);
    QPointer<RecognizerSetup> self(this);
    std::function<void(int)> progress = [self, name, downloading](int percent) {
        auto show = [self, name, downloading, percent] {
            if (self && *downloading)
                self->report(RecordingState::loading, QStringLiteral("Скачиваю модель %1… %2%").arg(name).arg(percent));
        };
        QCoreApplication *app = QCoreApplication::instance();
        if (QThread::currentThread() == app->thread())
            show();
        else
            QMetaObject::invokeMethod(app, show, Qt::QueuedConnection);
    };
    const QUrl from = ModelCatalogue::downloadUrl(name);
    auto finished = [this, &cancel, downloading] {
        *downloading = false;
        if (running == cancel)
            running.reset();
    };
    try {
        QCoro::Task<> fetching = fetchModel(from, file, progress, cancel);
        co_await fetching;
    } catch (const Cancelled &) {
        finished();
        Log::info(QStringLiteral("Download of '%1' cancelled").arg(name));
        co_return false;
    } catch (...) {
        finished();
        throw;
    }
    finished();
    report(RecordingState::loading, QStringLiteral("Загружаю модель…"));
    co_return true;
}

void RecognizerSetup::cancelDownload()
{
    if (running)
        running->cancel();
}

QCoro::Task<bool> RecognizerSetup::ensureCloudKey()
{
    if (!keys.current().key.isEmpty())
        co_return true;
    report(RecordingState::loading, QStringLiteral("Получаю ключ облака…"));
    const bool fetched = co_await keys.fetch();
    if (fetched)
        co_return true;
    report(RecordingState::error, keys.unreachable()
                                   ? QStringLiteral("Облако недоступно: нет связи с Nimbrel")
                                   : QStringLiteral("Облако недоступно: Nimbrel не выдал ключ устройства"));
    co_return false;
}

