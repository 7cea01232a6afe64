#include "ControllerDoubles.h"
#include "FakeDesktop.h"
#include "TestSupport.h"

#include "dictation/AppState.h"
#include "platform/Paths.h"
#include "recognition/CloudError.h"
#include "recognition/EngineError.h"

#include <QFile>
#include <QSignalSpy>

using namespace Dictation;
using Setup = std::function<void(Script &, Settings &)>;
Q_DECLARE_METATYPE(Setup)

namespace {

std::exception_ptr refusal(int status, const QString &message)
{
    return std::make_exception_ptr(CloudError(status, message));
}

// A controller wired to doubles, with every status change it announced.
struct Rig
{
    Script s;
    FakeClipboard *clipboard = nullptr;
    std::unique_ptr<AppState> app;
    QStringList changes; // "state — status" per onChange
    int notPastedCalls = 0;
    qsizetype logStart = 0;

    Rig()
    {
        QFile::remove(Settings::path());
        app = std::make_unique<AppState>(collaboratorsFor(s, &clipboard));
        app->onChange = [this] { changes << caseName(app->state()) + QStringLiteral(" — ") + app->status(); };
        app->notPasted = [this] { ++notPastedCalls; };
        logStart = TestSupport::logLines().size();
    }

    // Brings the controller to idle the way the program does at start.
    void ready()
    {
        s.loadedName = app->settings().model;
        QCoro::waitFor(app->prepare());
        QCOMPARE(app->state(), RecordingState::idle);
        changes.clear();
        s.overlay.clear();
        logStart = TestSupport::logLines().size();
    }

    QStringList log() const { return TestSupport::logLines().mid(logStart); }

    // The log lines without their timestamps.
    QStringList messages() const
    {
        QStringList out;
        for (const QString &line : log())
            out << line.mid(24);
        return out;
    }

    bool settled() const
    {
        return app->state() != RecordingState::transcribing && app->state() != RecordingState::loading;
    }
};

} // namespace

class AppStateTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void constructionLoadsSettingsAndLogsModelsFolder()
    {
        Rig rig;
        QCOMPARE(rig.app->state(), RecordingState::loading);
        QCOMPARE(rig.app->status(), QStringLiteral("Запуск…"));
        QVERIFY(rig.changes.isEmpty());
        const QStringList all = TestSupport::logLines();
        QVERIFY(all.filter(QStringLiteral("[INFO] Models directory: ") +
                           QString::fromStdString(Paths::modelsFolder().string()))
                    .size() > 0);
        QVERIFY(rig.s.levelSource);
        QCOMPARE(rig.s.levelSource(), 0.25f);
    }

    void oneDictation_data()
    {
        QTest::addColumn<Setup>("setup");
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("pasted");
        QTest::addColumn<QString>("logged");

        auto none = Setup([](Script &, Settings &) {});
        QTest::newRow("pasted") << none << "idle" << "Вставлено символов: 10" << "ПРИВЕТ МИР" << "Audio captured: 1.00s";
        QTest::newRow("copied with automatic pasting off")
            << Setup([](Script &s, Settings &st) {
                   st.autoPaste = false;
                   s.localText = QStringLiteral("Привет");
                   s.pasteResult = PasteResult::copied;
               })
            << "idle" << "Скопировано символов: 6 — вставьте Ctrl+V" << "ПРИВЕТ" << "";
        QTest::newRow("paste failed")
            << Setup([](Script &s, Settings &) { s.pasteResult = PasteResult::failed; }) << "idle"
            << "Не вставилось: скопируйте текст из меню" << "ПРИВЕТ МИР" << "";
        QTest::newRow("characters are grapheme clusters")
            << Setup([](Script &s, Settings &st) {
                   st.cleanSpeech = false;
                   s.localText = QStringLiteral("e\u0301👍🏽й");
               })
            << "idle" << "Вставлено символов: 3" << QStringLiteral("e\u0301👍🏽й") << "";
        QTest::newRow("clean-up off keeps the text")
            << Setup([](Script &s, Settings &st) {
                   st.cleanSpeech = false;
                   s.localText = QStringLiteral("ну вот, э-э, текст");
               })
            << "idle" << "Вставлено символов: 18" << "ну вот, э-э, текст" << "";
        QTest::newRow("cleaned to nothing")
            << Setup([](Script &s, Settings &) { s.clean = [](const QString &) { return QString(); }; }) << "idle"
            << "Речь не распознана" << "" << "";
        QTest::newRow("too short") << Setup([](Script &s, Settings &) { s.take = Take::of(Take::Kind::tooShort); }) << "idle"
                                   << "Слишком коротко — отменено" << "" << "";
        QTest::newRow("empty") << Setup([](Script &s, Settings &) { s.take = Take::of(Take::Kind::empty); }) << "idle"
                               << "Слишком коротко — отменено" << "" << "";
        QTest::newRow("silence") << Setup([](Script &s, Settings &) { s.take = Take::of(Take::Kind::silence); }) << "idle"
                                 << "Тишина — отменено" << "" << "";
        QTest::newRow("local engine fails")
            << Setup([](Script &s, Settings &) {
                   s.localError = std::make_exception_ptr(EngineError::transcriptionFailed(-6));
               })
            << "error" << "Не удалось распознать: whisper вернул код -6" << ""
            << "Transcription failed: whisper вернул код -6";
        QTest::newRow("cloud text")
            << Setup([](Script &, Settings &st) { st.engine = Engine::cloud; }) << "idle"
            << "Вставлено символов: 14" << "ОБЛАЧНЫЙ ТЕКСТ" << "";
        QTest::newRow("cloud 401")
            << Setup([](Script &s, Settings &st) {
                   st.engine = Engine::cloud;
                   s.cloudError = refusal(401, QStringLiteral("Ключ не принят"));
               })
            << "error" << "Не удалось распознать: Ключ не принят" << "" << "";
        QTest::newRow("cloud 403")
            << Setup([](Script &s, Settings &st) {
                   st.engine = Engine::cloud;
                   s.cloudError = refusal(403, QStringLiteral("Доступ закрыт"));
               })
            << "error" << "Не удалось распознать: Доступ закрыт" << "" << "";
        QTest::newRow("cloud 402 shows the message alone")
            << Setup([](Script &s, Settings &st) {
                   st.engine = Engine::cloud;
                   s.cloudError = refusal(402, QStringLiteral("Пополните баланс Nimbrel"));
               })
            << "error" << "Пополните баланс Nimbrel" << "" << "";
        QTest::newRow("cloud 500")
            << Setup([](Script &s, Settings &st) {
                   st.engine = Engine::cloud;
                   s.cloudError = refusal(500, QStringLiteral("Сервер Nimbrel Cloud недоступен"));
               })
            << "error" << "Не удалось распознать: Сервер Nimbrel Cloud недоступен" << ""
            << "Transcription failed: Сервер Nimbrel Cloud недоступен";
        QTest::newRow("cloud network failure")
            << Setup([](Script &s, Settings &st) {
                   st.engine = Engine::cloud;
                   s.cloudError = std::make_exception_ptr(DescribedError(QStringLiteral("Connection refused")));
               })
            << "error" << "Не удалось распознать: Connection refused" << ""
            << "Transcription failed: Connection refused";
    }

    void oneDictation()
    {
        QFETCH(Setup, setup);
        QFETCH(QString, state);
        QFETCH(QString, status);
        QFETCH(QString, pasted);
        QFETCH(QString, logged);
        Rig rig;
        rig.ready();
        rig.app->settings().language = QStringLiteral("ru");
        rig.app->lastDictation(); // none yet
        setup(rig.s, rig.app->settings());

        rig.app->toggle();
        QTRY_COMPARE(rig.app->state(), RecordingState::recording);
        QCOMPARE(rig.app->status(), QStringLiteral("Слушаю…"));
        QCOMPARE(rig.s.overlay, QStringList{QStringLiteral("show recording 4242")});
        rig.app->toggle();
        QTRY_VERIFY(rig.settled() && rig.app->state() != RecordingState::recording);

        QCOMPARE(caseName(rig.app->state()), state);
        QCOMPARE(rig.app->status(), status);
        QCOMPARE(rig.s.overlay.last(), QStringLiteral("hide")); // never left visible
        if (pasted.isEmpty()) {
            QVERIFY(rig.s.pasted.isEmpty());
            QVERIFY(!rig.app->lastDictation());
        } else {
            QCOMPARE(rig.s.pasted, QStringList{pasted});
            QCOMPARE(rig.app->lastDictation().value_or(QString()), pasted);
            QCOMPARE(rig.s.pastedTo->pid, 4242);
            QCOMPARE(rig.s.pastedWithAutoPaste, rig.app->settings().autoPaste);
            QCOMPARE(rig.notPastedCalls, rig.s.pasteResult == PasteResult::failed ? 1 : 0);
        }
        const QStringList messages = rig.messages();
        QCOMPARE(messages.first(), QStringLiteral("[INFO] Toggle called, state: idle"));
        QVERIFY(messages.contains(QStringLiteral("[INFO] State: recording — Слушаю…")));
        QVERIFY(messages.last().endsWith(QStringLiteral("State: %1 — %2").arg(state, status)));
        if (!logged.isEmpty())
            QVERIFY2(messages.join('\n').contains(logged), qPrintable(messages.join('\n')));
        // Neither the recognised text nor the key reaches the log.
        for (const QString &line : rig.log()) {
            QVERIFY(!line.contains(QStringLiteral("привет"), Qt::CaseInsensitive));
            QVERIFY(!line.contains(QStringLiteral("облачный"), Qt::CaseInsensitive));
            QVERIFY(!line.contains(QStringLiteral("device-key")));
        }
    }

    void cloudRequestIsBuiltFromTheSettingsAtTheStop()
    {
        Rig rig;
        rig.ready();
        rig.app->toggle();
        QTRY_COMPARE(rig.app->state(), RecordingState::recording);
        // Changed while recording: the stop decides.
        rig.app->settings().engine = Engine::cloud;
        rig.app->settings().language = QStringLiteral("en");
        rig.app->settings().prompt = QStringLiteral("Kubernetes");
        // Key and address come from one reading of the key file, even while it is edited.
        rig.s.keyFileEdit = {QStringLiteral("edited-key"), QUrl(QStringLiteral("https://edited.example.test"))};
        rig.app->toggle();
        QTRY_VERIFY(rig.settled() && rig.app->state() == RecordingState::idle);
        QCOMPARE(rig.s.cloudCalls, 1);
        QCOMPARE(rig.s.transcribes, 0);
        QCOMPARE(rig.s.lastLanguage, QStringLiteral("en"));
        QCOMPARE(rig.s.lastPrompt, QStringLiteral("Kubernetes"));
        QCOMPARE(rig.s.lastEndpoint.url.toString(), QStringLiteral("https://cloud.example.test/base/v1/audio/transcriptions"));
        QCOMPARE(rig.s.lastEndpoint.authorization, QStringLiteral("Bearer device-key"));
        QCOMPARE(rig.s.lastEndpoint.model, QStringLiteral("gemini-3-5-transcribe"));
        QCOMPARE(rig.s.lastEndpoint.name, QStringLiteral("Nimbrel Cloud"));
    }

    void startFailures_data()
    {
        QTest::addColumn<Setup>("setup");
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("logged");

        QTest::newRow("no model loaded") << Setup([](Script &s, Settings &) { s.loaded = false; }) << "error"
                                         << "Модель не загружена" << "";
        QTest::newRow("recorder cannot start")
            << Setup([](Script &s, Settings &) { s.startThrows = true; }) << "error" << "Микрофон недоступен: нет микрофона"
            << "[ERROR] AudioRecorder start failed: нет микрофона";
        QTest::newRow("microphone not determined")
            << Setup([](Script &s, Settings &) { s.access = MicrophoneAccess::notDetermined; }) << "idle"
            << "Разрешите доступ к микрофону и нажмите Alt+Пробел ещё раз" << "[INFO] Microphone access granted";
        QTest::newRow("microphone denied")
            << Setup([](Script &s, Settings &) { s.access = MicrophoneAccess::denied; }) << "error"
            << "Нет доступа к микрофону — Системные настройки → Конфиденциальность и безопасность → Микрофон" << "";
        QTest::newRow("cloud key unreachable")
            << Setup([](Script &s, Settings &st) {
                   st.engine = Engine::cloud;
                   s.key.clear();
                   s.fetchSucceeds = false;
                   s.unreachable = true;
               })
            << "error" << "Облако недоступно: нет связи с Nimbrel" << "State: loading — Получаю ключ облака…";
        QTest::newRow("cloud key refused")
            << Setup([](Script &s, Settings &st) {
                   st.engine = Engine::cloud;
                   s.key.clear();
                   s.fetchSucceeds = false;
               })
            << "error" << "Облако недоступно: Nimbrel не выдал ключ устройства" << "";
        QTest::newRow("cloud key fetched, recording starts")
            << Setup([](Script &s, Settings &st) {
                   st.engine = Engine::cloud;
                   s.key.clear();
               })
            << "recording" << "Слушаю…" << "State: loading — Получаю ключ облака…";
    }

    void startFailures()
    {
        QFETCH(Setup, setup);
        QFETCH(QString, state);
        QFETCH(QString, status);
        QFETCH(QString, logged);
        Rig rig;
        rig.ready();
        setup(rig.s, rig.app->settings());
        rig.app->toggle();
        QTRY_VERIFY(rig.app->state() != RecordingState::idle || rig.s.captures > 0);
        QTRY_COMPARE(caseName(rig.app->state()), state);
        QCOMPARE(rig.app->status(), status);
        QCOMPARE(rig.s.captures, 1); // the target is replaced even when the start fails
        if (state != QLatin1String("recording")) {
            QVERIFY(rig.s.overlay.isEmpty());
            QCOMPARE(rig.s.starts, rig.s.startThrows ? 1 : 0);
        }
        if (!logged.isEmpty())
            QVERIFY2(rig.messages().join('\n').contains(logged), qPrintable(rig.messages().join('\n')));
    }

    void pressesWhileBusyOnlyLog_data()
    {
        QTest::addColumn<bool>("duringRecognition");
        QTest::newRow("loading") << false;
        QTest::newRow("transcribing") << true;
    }

    void pressesWhileBusyOnlyLog()
    {
        QFETCH(bool, duringRecognition);
        Rig rig;
        if (duringRecognition) {
            rig.ready();
            rig.s.localGate = std::make_shared<Gate>();
            rig.app->toggle();
            QTRY_COMPARE(rig.app->state(), RecordingState::recording);
            rig.app->toggle();
            QTRY_COMPARE(rig.app->state(), RecordingState::transcribing);
        }
        const QString expected = caseName(rig.app->state());
        const auto before = rig.log().size();
        const QStringList changesBefore = rig.changes;
        rig.app->toggle();
        QTest::qWait(20);
        const QStringList added = rig.messages().mid(before);
        QCOMPARE(added, QStringList{QStringLiteral("[INFO] Toggle called, state: ") + expected});
        QCOMPARE(rig.changes, changesBefore);
        if (rig.s.localGate) {
            rig.s.localGate->open();
            QTRY_VERIFY(rig.settled());
        }
    }

    void errorPressPreparesAgain()
    {
        Rig rig;
        rig.s.loaded = false;
        rig.app->set(RecordingState::error, QStringLiteral("Модель не загружена"));
        QFile model(QString::fromStdString(Paths::modelFile(rig.app->settings().model.toStdString()).string()));
        QVERIFY(model.open(QIODevice::WriteOnly));
        model.close();
        rig.app->toggle();
        QTRY_COMPARE(rig.app->state(), RecordingState::idle);
        QCOMPARE(rig.app->status(), QStringLiteral("Готово — Alt+Пробел"));
        QCOMPARE(rig.s.loads, 1);
        QFile::remove(model.fileName());
    }

    void escapeWhileRecording()
    {
        Rig rig;
        rig.ready();
        rig.app->toggle();
        QTRY_COMPARE(rig.app->state(), RecordingState::recording);
        rig.app->cancel();
        QCOMPARE(rig.app->state(), RecordingState::idle);
        QCOMPARE(rig.app->status(), QStringLiteral("Отменено"));
        QCOMPARE(rig.s.stops, 1);
        QCOMPARE(rig.s.clears, 1);
        QCOMPARE(rig.s.overlay.last(), QStringLiteral("hide"));
        QCOMPARE(rig.s.transcribes, 0);
        QVERIFY(!rig.app->lastDictation());
        const QStringList tail = rig.messages().mid(rig.messages().size() - 2);
        QCOMPARE(tail, QStringList({QStringLiteral("[INFO] State: idle — Отменено"),
                                    QStringLiteral("[INFO] Recording cancelled")}));
    }

    void escapeDuringRecognition_data()
    {
        QTest::addColumn<bool>("cloud");
        QTest::newRow("local") << false;
        QTest::newRow("cloud") << true;
    }

    void escapeDuringRecognition()
    {
        QFETCH(bool, cloud);
        Rig rig;
        rig.ready();
        if (cloud)
            rig.app->settings().engine = Engine::cloud;
        rig.s.localGate = std::make_shared<Gate>();
        rig.s.cloudGate = std::make_shared<Gate>();
        rig.app->toggle();
        QTRY_COMPARE(rig.app->state(), RecordingState::recording);
        rig.app->toggle();
        QTRY_VERIFY(rig.s.transcribes + rig.s.cloudCalls == 1);
        rig.app->cancel();
        QVERIFY(rig.s.aborted); // set whichever recogniser runs
        QCOMPARE(rig.s.cloudCancelled, cloud);
        if (!cloud) {
            // The state waits for the engine to give up.
            QTest::qWait(20);
            QCOMPARE(rig.app->state(), RecordingState::transcribing);
            rig.s.localGate->open();
        }
        QTRY_COMPARE(rig.app->state(), RecordingState::idle);
        QCOMPARE(rig.app->status(), QStringLiteral("Отменено"));
        QCOMPARE(rig.s.overlay.last(), QStringLiteral("hide"));
        QVERIFY(rig.s.pasted.isEmpty());
    }

    void escapeDuringThePasteChangesNothing()
    {
        Rig rig;
        rig.ready();
        rig.s.pasteGate = std::make_shared<Gate>();
        rig.app->toggle();
        QTRY_COMPARE(rig.app->state(), RecordingState::recording);
        rig.app->toggle();
        QTRY_COMPARE(rig.s.pasted.size(), 1);
        rig.app->cancel();
        QCOMPARE(rig.app->state(), RecordingState::transcribing);
        rig.s.pasteGate->open();
        QTRY_COMPARE(rig.app->state(), RecordingState::idle);
        QCOMPARE(rig.app->status(), QStringLiteral("Вставлено символов: 10"));
        QVERIFY(rig.s.aborted); // stays set until the next recognition clears it
    }

    void emptyResultKeepsThePreviousDictation()
    {
        Rig rig;
        rig.ready();
        for (bool empty : {false, true}) {
            if (empty)
                rig.s.clean = [](const QString &) { return QString(); };
            rig.app->toggle();
            QTRY_COMPARE(rig.app->state(), RecordingState::recording);
            rig.app->toggle();
            QTRY_VERIFY(rig.settled() && rig.app->state() == RecordingState::idle);
        }
        QCOMPARE(rig.app->status(), QStringLiteral("Речь не распознана"));
        QCOMPARE(rig.app->lastDictation().value_or(QString()), QStringLiteral("ПРИВЕТ МИР"));
    }

    void copyLastDictation()
    {
        Rig rig;
        rig.ready();
        rig.app->copyLastDictation(); // nothing yet
        QCOMPARE(rig.clipboard->writes, 0);
        QVERIFY(rig.changes.isEmpty());

        rig.s.localText = QStringLiteral("Привет");
        rig.app->toggle();
        QTRY_COMPARE(rig.app->state(), RecordingState::recording);
        rig.app->toggle();
        QTRY_VERIFY(rig.settled() && rig.app->state() == RecordingState::idle);

        rig.app->copyLastDictation();
        QCOMPARE(rig.clipboard->text(), QStringLiteral("ПРИВЕТ"));
        QVERIFY(!rig.clipboard->lastWriteTransient); // the user asked for it: it may stay in history
        QCOMPARE(rig.app->status(), QStringLiteral("Скопировано символов: 6 — вставьте Ctrl+V"));

        rig.app->toggle(); // recording: the clipboard is written, the status stays
        QTRY_COMPARE(rig.app->state(), RecordingState::recording);
        rig.app->copyLastDictation();
        QCOMPARE(rig.clipboard->writes, 2); // written again
        QCOMPARE(rig.app->status(), QStringLiteral("Слушаю…"));
        rig.app->cancel();

        rig.clipboard->setTextWorks = false;
        rig.app->copyLastDictation();
        QCOMPARE(rig.app->status(), QStringLiteral("Не удалось скопировать: буфер обмена занят"));
        QCOMPARE(rig.app->state(), RecordingState::idle);
    }

    void preparation_data()
    {
        QTest::addColumn<Setup>("setup");
        QTest::addColumn<bool>("modelFile");
        QTest::addColumn<QStringList>("statuses");
        QTest::addColumn<QString>("logged");

        QTest::newRow("cloud with a key")
            << Setup([](Script &, Settings &st) { st.engine = Engine::cloud; }) << false
            << QStringList{"idle — Готово — Alt+Пробел (Nimbrel Cloud)"} << "";
        QTest::newRow("cloud, key fetched")
            << Setup([](Script &s, Settings &st) {
                   st.engine = Engine::cloud;
                   s.key.clear();
               })
            << false << QStringList{"loading — Получаю ключ облака…", "idle — Готово — Alt+Пробел (Nimbrel Cloud)"}
            << "";
        QTest::newRow("cloud, no key")
            << Setup([](Script &s, Settings &st) {
                   st.engine = Engine::cloud;
                   s.key.clear();
                   s.fetchSucceeds = false;
               })
            << false
            << QStringList{"loading — Получаю ключ облака…", "error — Облако недоступно: Nimbrel не выдал ключ устройства"}
            << "";
        QTest::newRow("local, model already loaded") << Setup([](Script &, Settings &) {}) << false
                                                     << QStringList{"idle — Готово — Alt+Пробел"} << "";
        QTest::newRow("local, file present")
            << Setup([](Script &s, Settings &) { s.loaded = false; }) << true
            << QStringList{"loading — Загружаю модель…", "loading — Загружаю модель…", "idle — Готово — Alt+Пробел"}
            << "";
        QTest::newRow("local, load fails")
            << Setup([](Script &s, Settings &) {
                   s.loaded = false;
                   s.loadError = std::make_exception_ptr(EngineError::loadFailed(QStringLiteral("ggml-small.bin")));
               })
            << true
            << QStringList{"loading — Загружаю модель…", "loading — Загружаю модель…",
                           "error — Модель не загрузилась: не удалось загрузить ggml-small.bin"}
            << "[ERROR] Prepare failed: не удалось загрузить ggml-small.bin";
        QTest::newRow("local, download declined (no one to ask)")
            << Setup([](Script &s, Settings &st) {
                   s.loaded = false;
                   st.model = QStringLiteral("small");
               })
            << false << QStringList{"loading — Загружаю модель…", "error — Загрузка модели «small» отменена"}
            << "[INFO] Download of 'small' declined";
        // The outcome is the last status, after every progress report.
        QTest::newRow("local, download fails")
            << Setup([](Script &s, Settings &st) {
                   s.loaded = false;
                   st.model = QStringLiteral("small");
                   s.downloadPercents = {0, 50};
                   s.downloadError = std::make_exception_ptr(EngineError::downloadFailed(404));
               })
            << false
            << QStringList{"loading — Загружаю модель…", "loading — Скачиваю модель small…",
                           "loading — Скачиваю модель small… 0%", "loading — Скачиваю модель small… 50%",
                           "error — Модель не загрузилась: сервер ответил HTTP 404"}
            << "[ERROR] Prepare failed: сервер ответил HTTP 404";
        QTest::newRow("local, broken file, fresh copy downloaded")
            << Setup([](Script &s, Settings &) {
                   s.loaded = false;
                   s.loadError = std::make_exception_ptr(EngineError::loadFailed(QStringLiteral("ggml-tiny.bin")));
               })
            << true
            << QStringList{"loading — Загружаю модель…", "loading — Загружаю модель…",
                           "loading — Скачиваю модель large-v3-turbo…", "loading — Загружаю модель…",
                           "idle — Готово — Alt+Пробел"}
            << "[ERROR] Prepare failed: не удалось загрузить ggml-tiny.bin";
    }

    void preparation()
    {
        QFETCH(Setup, setup);
        QFETCH(bool, modelFile);
        QFETCH(QStringList, statuses);
        QFETCH(QString, logged);
        Rig rig;
        setup(rig.s, rig.app->settings());
        const QByteArray tag = QTest::currentDataTag();
        const bool downloadAllowed = tag == "local, download fails" || tag.endsWith("fresh copy downloaded");
        if (downloadAllowed)
            rig.app->confirmDownload = [](const QString &, const QString &, const QString &) { return true; };
        const QString file = QString::fromStdString(Paths::modelFile(rig.app->settings().model.toStdString()).string());
        QFile::remove(file);
        if (modelFile) {
            QFile f(file);
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        const bool wasCloud = rig.app->settings().engine == Engine::cloud;
        QCoro::waitFor(rig.app->prepare());
        QCOMPARE(rig.changes, statuses);
        QCOMPARE(rig.s.unloads, wasCloud ? 1 : 0);
        if (!logged.isEmpty())
            QVERIFY2(rig.messages().contains(logged), qPrintable(rig.messages().join('\n')));
        QFile::remove(file);
    }

    void downloadReportsEveryPercentInOrder()
    {
        Rig rig;
        rig.s.loaded = false;
        rig.app->settings().model = QStringLiteral("small");
        for (int p = 0; p <= 100; ++p)
            rig.s.downloadPercents.push_back(p);
        QStringList asked;
        rig.app->confirmDownload = [&](const QString &name, const QString &size, const QString &folder) {
            asked << name << size << folder;
            return true;
        };
        QFile::remove(QString::fromStdString(Paths::modelFile("small").string()));
        QCoro::waitFor(rig.app->prepare());
        QCOMPARE(asked, QStringList({"small", "466 МБ", QString::fromStdString(Paths::modelsFolder().string())}));
        QStringList expected{"loading — Загружаю модель…", "loading — Скачиваю модель small…"};
        for (int p = 0; p <= 100; ++p)
            expected << QStringLiteral("loading — Скачиваю модель small… %1%").arg(p);
        expected << "loading — Загружаю модель…"
                 << "idle — Готово — Alt+Пробел";
        QCOMPARE(rig.changes, expected);
        QCOMPARE(rig.s.loadedName, QStringLiteral("small"));
        QFile::remove(QString::fromStdString(Paths::modelFile("small").string()));
    }

    void modelOutsideTheCatalogueIsOfferedWithUnknownSize()
    {
        Rig rig;
        rig.s.loaded = false;
        rig.app->settings().model = QStringLiteral("my-finetune");
        QString size;
        rig.app->confirmDownload = [&](const QString &, const QString &s, const QString &) {
            size = s;
            return false;
        };
        QCoro::waitFor(rig.app->prepare());
        QCOMPARE(size, QStringLiteral("?"));
        QCOMPARE(rig.app->status(), QStringLiteral("Загрузка модели «my-finetune» отменена"));
    }

    void overlappingPreparationsEndWithTheLastStep()
    {
        Rig rig;
        rig.s.loaded = false;
        rig.s.downloadGate = std::make_shared<Gate>();
        rig.app->settings().model = QStringLiteral("tiny");
        rig.app->confirmDownload = [](const QString &, const QString &, const QString &) { return true; };
        QFile::remove(QString::fromStdString(Paths::modelFile("tiny").string()));
        auto first = rig.app->prepare();
        QTRY_COMPARE(rig.s.downloads, 1);
        // A second preparation for the cloud runs while the download waits.
        rig.app->settings().engine = Engine::cloud;
        QCoro::waitFor(rig.app->prepare());
        QCOMPARE(rig.app->status(), QStringLiteral("Готово — Alt+Пробел (Nimbrel Cloud)"));
        rig.s.downloadGate->open();
        QCoro::waitFor(std::move(first));
        QCOMPARE(rig.app->status(), QStringLiteral("Готово — Alt+Пробел"));
        QFile::remove(QString::fromStdString(Paths::modelFile("tiny").string()));
    }

    void cloudPreparationSeesASwitchBack()
    {
        Rig rig;
        rig.s.key.clear();
        rig.app->settings().engine = Engine::cloud;
        auto preparing = rig.app->prepare();
        rig.app->settings().engine = Engine::local; // changed while the key is fetched
        QCoro::waitFor(std::move(preparing));
        QCOMPARE(rig.app->status(), QStringLiteral("Готово — Alt+Пробел (этот Mac)"));
    }

    void changesAreSavedAndPrepareAgain()
    {
        Rig rig;
        rig.ready();
        QCoro::waitFor(rig.app->changeModel(rig.app->settings().model));
        QVERIFY(rig.changes.isEmpty());
        QVERIFY(!QFile::exists(Settings::path()));

        QCoro::waitFor(rig.app->changeEngine(Engine::cloud));
        QVERIFY(rig.messages().contains(QStringLiteral("[INFO] Recognition changed: cloud")));
        QCOMPARE(rig.s.unloads, 1);
        QCOMPARE(rig.app->status(), QStringLiteral("Готово — Alt+Пробел (Nimbrel Cloud)"));
        QCOMPARE(Settings::load().engine, Engine::cloud);

        const int before = rig.changes.size();
        const QString status = rig.app->status();
        rig.app->changeLanguage(QStringLiteral("ru"));
        QCOMPARE(rig.changes.size(), before + 1); // notified, status unchanged
        QCOMPARE(rig.app->status(), status);
        QCOMPARE(Settings::load().language, QStringLiteral("ru"));
        rig.app->changeLanguage(QStringLiteral("ru"));
        QCOMPARE(rig.changes.size(), before + 1);
    }

    void setAlwaysLogsAndNotifies()
    {
        Rig rig;
        rig.app->set(RecordingState::idle, QStringLiteral("x"));
        rig.app->set(RecordingState::idle, QStringLiteral("x"));
        QCOMPARE(rig.changes.size(), 2);
        QCOMPARE(rig.messages().filter(QStringLiteral("State: idle — x")).size(), 2);
    }
};

TALVANE_TEST_MAIN(AppStateTest)
#include "AppStateTest.moc"
