#include "Fakes.h"
#include "TestSupport.h"

#include "platform/Paths.h"
#include "recognition/CloudError.h"
#include "recognition/EngineError.h"

#include <QFile>

// The dictation controller and its recogniser preparation, driven through their public
// interface with doubles for everything around them (the cleaner is the real one).
using Setup = std::function<void(Script &, Settings &)>;
Q_DECLARE_METATYPE(Setup)

namespace {

Setup cloud(std::function<void(Script &)> more = [](Script &) {})
{
    return [more](Script &s, Settings &st) { st.engine = Engine::cloud, more(s); };
}

std::exception_ptr refusal(int status, const char *message)
{
    return std::make_exception_ptr(CloudError(status, QString::fromUtf8(message)));
}

QString modelFile(const QString &name)
{
    return QString::fromStdString(Paths::modelFile(name.toStdString()).string());
}

// A controller on doubles, with every state and status it announced.
struct Rig
{
    Script s;
    std::unique_ptr<AppState> app;
    QStringList changes; // "state — status" per onChange
    int notPasted = 0;

    explicit Rig(const Setup &setup = {})
    {
        QFile::remove(Settings::path());
        app = std::make_unique<AppState>(collaboratorsFor(s));
        app->onChange = [this] { changes << caseName(app->state()) + QStringLiteral(" — ") + app->status(); };
        app->notPasted = [this] { ++notPasted; };
        if (setup)
            app->changeSettings([&](Settings &st) { setup(s, st); });
        changes.clear();
    }
    // Brings the controller to idle the way the program does at start.
    void ready()
    {
        s.loadedName = app->settings().model;
        QCoro::waitFor(app->prepare());
        QCOMPARE(app->state(), RecordingState::idle);
        changes.clear();
    }
    void record()
    {
        app->toggle();
        QTRY_COMPARE(app->state(), RecordingState::recording);
    }
    void dictate()
    {
        record();
        app->toggle();
        QTRY_VERIFY(app->state() != RecordingState::transcribing && app->state() != RecordingState::recording);
    }
    void answerDownloads(bool yes)
    {
        app->confirmDownload = [this, yes](const QString &name, const QString &size, const QString &) {
            asked = name + ' ' + size;
            return yes;
        };
    }
    QString asked;
};

} // namespace

class ControllerTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void oneDictation_data()
    {
        QTest::addColumn<Setup>("setup");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("pasted"); // empty: nothing pasted
        const Setup none = [](Script &, Settings &) {};
        const auto error = [](auto e) { return Setup([e](Script &s, Settings &) { s.localError = e; }); };
        const auto take = [](Take::Kind kind) { return Setup([kind](Script &s, Settings &) { s.take = Take::of(kind); }); };
        QTest::newRow("cleaned and pasted") << none << "idle Вставлено символов: 12" << "ну вот текст";
        QTest::newRow("copied with automatic pasting off")
            << Setup([](Script &s, Settings &st) { st.autoPaste = false, s.pasteResult = PasteResult::copied; })
            << "idle Скопировано символов: 12 — вставьте Ctrl+V" << "ну вот текст";
        QTest::newRow("paste failed") << Setup([](Script &s, Settings &) { s.pasteResult = PasteResult::failed; })
                                      << "idle Не вставилось: скопируйте текст из меню" << "ну вот текст";
        QTest::newRow("clean-up off, characters are graphemes")
            << Setup([](Script &s, Settings &st) { st.cleanSpeech = false, s.localText = "ну, e\u0301👍🏽й"; })
            << "idle Вставлено символов: 7" << "ну, e\u0301👍🏽й";
        QTest::newRow("cleaned to nothing") << Setup([](Script &s, Settings &) { s.localText = "э-э"; })
                                            << "idle Речь не распознана" << "";
        QTest::newRow("too short") << take(Take::Kind::tooShort) << "idle Слишком коротко — отменено" << "";
        QTest::newRow("empty") << take(Take::Kind::empty) << "idle Слишком коротко — отменено" << "";
        QTest::newRow("silence") << take(Take::Kind::silence) << "idle Тишина — отменено" << "";
        QTest::newRow("local engine fails") << error(std::make_exception_ptr(EngineError::transcriptionFailed(-6)))
                                            << "error Не удалось распознать: whisper вернул код -6" << "";
        QTest::newRow("unknown failure") << error(std::make_exception_ptr(42))
                                         << "error Не удалось распознать: неизвестная ошибка" << "";
        QTest::newRow("cloud text") << cloud() << "idle Вставлено символов: 14" << "облачный текст";
        QTest::newRow("cloud 401") << cloud([](Script &s) { s.cloudError = refusal(401, "Ключ не принят"); })
                                   << "error Не удалось распознать: Ключ не принят" << "";
        QTest::newRow("cloud 403") << cloud([](Script &s) { s.cloudError = refusal(403, "Доступ закрыт"); })
                                   << "error Не удалось распознать: Доступ закрыт" << "";
        QTest::newRow("cloud 402 shows the message alone")
            << cloud([](Script &s) { s.cloudError = refusal(402, "Пополните баланс Nimbrel"); })
            << "error Пополните баланс Nimbrel" << "";
        QTest::newRow("cloud 500") << cloud([](Script &s) { s.cloudError = refusal(500, "Сервер недоступен"); })
                                   << "error Не удалось распознать: Сервер недоступен" << "";
        QTest::newRow("cloud network failure") << cloud([](Script &s) {
            s.cloudError = std::make_exception_ptr(DescribedError(QStringLiteral("Connection refused")));
        }) << "error Не удалось распознать: Connection refused" << "";
    }
    void oneDictation()
    {
        QFETCH(Setup, setup);
        QFETCH(QString, status);
        QFETCH(QString, pasted);
        Rig rig(setup);
        rig.ready();
        const qsizetype logStart = TestSupport::logLines().size();
        rig.record();
        QCOMPARE(rig.app->status(), QStringLiteral("Слушаю…"));
        QCOMPARE(rig.s.overlay, QStringList{"show recording 4242"});
        QCOMPARE(rig.s.levelSource(), 0.25f); // the capsule shows the recorder's level
        rig.app->toggle();
        QTRY_VERIFY(rig.app->state() != RecordingState::transcribing && rig.app->state() != RecordingState::recording);

        QCOMPARE(caseName(rig.app->state()) + ' ' + rig.app->status(), status);
        QCOMPARE(rig.s.overlay.last(), QStringLiteral("hide")); // never left visible
        QCOMPARE(rig.s.pasted, pasted.isEmpty() ? QStringList() : QStringList{pasted});
        QCOMPARE(rig.app->lastDictation().value_or(QString()), pasted);
        if (!pasted.isEmpty()) {
            QCOMPARE(rig.s.pastedTo->pid, 4242);
            QCOMPARE(rig.s.pastedWithAutoPaste, rig.app->settings().autoPaste);
        }
        QCOMPARE(rig.notPasted, rig.s.pasteResult == PasteResult::failed ? 1 : 0);
        // Neither the recognised text nor the key reaches the log.
        for (const QString &line : TestSupport::logLines().mid(logStart))
            for (const char *secret : {"вот", "👍", "облачный", "device-key"})
                QVERIFY2(!line.contains(QString::fromUtf8(secret)), qPrintable(line));
    }

    void cloudRequestIsBuiltFromTheSettingsAtTheStop()
    {
        Rig rig;
        rig.ready();
        rig.record();
        // Changed while recording: the stop decides.
        rig.app->changeSettings([](Settings &st) { st.engine = Engine::cloud, st.language = "en", st.prompt = "K8s"; });
        // Key and address come from one reading of the key file, even while it is edited.
        rig.s.keyFileEdit = {QStringLiteral("edited-key"), QUrl(QStringLiteral("https://edited.example.test"))};
        rig.app->toggle();
        QTRY_COMPARE(rig.app->state(), RecordingState::idle);
        QCOMPARE(rig.s.transcribes, 0);
        QCOMPARE(rig.s.lastLanguage + ' ' + rig.s.lastPrompt, QStringLiteral("en K8s"));
        QCOMPARE(rig.s.lastEndpoint.url.toString(), "https://cloud.example.test/base/v1/audio/transcriptions");
        QCOMPARE(rig.s.lastEndpoint.authorization, QStringLiteral("Bearer device-key"));
    }

    void startFailures_data()
    {
        QTest::addColumn<Setup>("setup");
        QTest::addColumn<QString>("status");
        const auto noKey = [](bool fetched, bool reachable) {
            return cloud([=](Script &s) { s.key.clear(), s.fetchSucceeds = fetched, s.unreachable = !reachable; });
        };
        QTest::newRow("no model loaded") << Setup([](Script &s, Settings &) { s.loaded = false; })
                                         << "error Модель не загружена";
        QTest::newRow("recorder cannot start") << Setup([](Script &s, Settings &) { s.startThrows = true; })
                                               << "error Микрофон недоступен: нет микрофона";
        QTest::newRow("microphone not determined")
            << Setup([](Script &s, Settings &) { s.access = MicrophoneAccess::notDetermined; })
            << "idle Разрешите доступ к микрофону и нажмите Alt+Пробел ещё раз";
        QTest::newRow("microphone denied")
            << Setup([](Script &s, Settings &) { s.access = MicrophoneAccess::denied; })
            << "error Нет доступа к микрофону — Системные настройки → Конфиденциальность и безопасность → Микрофон";
        QTest::newRow("cloud key unreachable") << noKey(false, false) << "error Облако недоступно: нет связи с Nimbrel";
        QTest::newRow("cloud key refused") << noKey(false, true)
                                           << "error Облако недоступно: Nimbrel не выдал ключ устройства";
        QTest::newRow("cloud key fetched, recording starts") << noKey(true, true) << "recording Слушаю…";
    }
    void startFailures()
    {
        QFETCH(Setup, setup);
        QFETCH(QString, status);
        Rig rig;
        rig.ready();
        rig.app->changeSettings([&](Settings &st) { setup(rig.s, st); });
        rig.app->toggle();
        QTRY_COMPARE(caseName(rig.app->state()) + ' ' + rig.app->status(), status);
        QCOMPARE(rig.s.overlay.isEmpty(), !status.startsWith("recording"));
        QCOMPARE(rig.s.accessRequests, rig.s.access == MicrophoneAccess::notDetermined ? 1 : 0);
    }

    void pressesWhileBusyChangeNothing()
    {
        Rig rig; // still loading
        rig.app->toggle();
        QTest::qWait(20);
        QVERIFY(rig.changes.isEmpty());
        rig.ready();
        rig.s.localGate = std::make_shared<Gate>();
        rig.record();
        rig.app->toggle();
        QTRY_COMPARE(rig.app->state(), RecordingState::transcribing);
        const QStringList before = rig.changes;
        rig.app->toggle();
        QTest::qWait(20);
        QCOMPARE(rig.changes, before);
        QCOMPARE(rig.s.transcribes, 1);
        rig.s.localGate->open();
        QTRY_COMPARE(rig.app->state(), RecordingState::idle);
    }

    void errorPressPreparesAgain()
    {
        Rig rig;
        rig.s.loaded = false;
        rig.app->set(RecordingState::error, QStringLiteral("Модель не загружена"));
        QFile model(modelFile(rig.app->settings().model));
        QVERIFY(model.open(QIODevice::WriteOnly));
        rig.app->toggle();
        QTRY_COMPARE(rig.app->status(), QStringLiteral("Готово — Alt+Пробел"));
        QCOMPARE(rig.s.loads, 1);
        model.remove();
    }

    void escape_data()
    {
        QTest::addColumn<QString>("when");
        QTest::addColumn<QString>("status");
        QTest::newRow("recording") << "recording" << "idle Отменено";
        QTest::newRow("local recognition") << "local" << "idle Отменено";
        QTest::newRow("cloud recognition") << "cloud" << "idle Отменено";
        QTest::newRow("during the paste: nothing changes") << "paste" << "idle Вставлено символов: 12";
    }
    void escape()
    {
        QFETCH(QString, when);
        QFETCH(QString, status);
        Rig rig(when == "cloud" ? cloud() : Setup{});
        rig.ready();
        for (auto *gate : {&rig.s.localGate, &rig.s.cloudGate, &rig.s.pasteGate})
            *gate = std::make_shared<Gate>();
        rig.record();
        if (when != "recording") {
            rig.app->toggle();
            QTRY_VERIFY(rig.s.transcribes + rig.s.cloudCalls == 1);
        }
        if (when == "paste") {
            rig.s.localGate->open();
            QTRY_COMPARE(rig.s.pasted.size(), 1);
        }
        rig.app->cancel();
        if (when == "local") { // the state waits for the engine to give up
            QTest::qWait(20);
            QCOMPARE(rig.app->state(), RecordingState::transcribing);
        }
        rig.s.localGate->open();
        rig.s.pasteGate->open();
        QTRY_COMPARE(caseName(rig.app->state()) + ' ' + rig.app->status(), status);
        QCOMPARE(rig.s.overlay.last(), QStringLiteral("hide"));
        QCOMPARE(rig.s.clears, when == "recording" ? 1 : 0);
        QCOMPARE(rig.s.pasted.size(), when == "paste" ? 1 : 0);
    }

    void emptyResultKeepsThePreviousDictation()
    {
        Rig rig;
        rig.ready();
        rig.dictate();
        rig.s.localText = QStringLiteral("э-э");
        rig.dictate();
        QCOMPARE(rig.app->status(), QStringLiteral("Речь не распознана"));
        QCOMPARE(rig.app->lastDictation().value_or(QString()), QStringLiteral("ну вот текст"));
    }

    void copyLastDictation()
    {
        Rig rig;
        rig.ready();
        rig.app->copyLastDictation(); // nothing yet
        QVERIFY(rig.s.copied.isEmpty() && rig.changes.isEmpty());
        rig.dictate();
        rig.app->copyLastDictation();
        QCOMPARE(rig.s.copied, QStringList{"ну вот текст"});
        QCOMPARE(rig.app->status(), QStringLiteral("Скопировано символов: 12 — вставьте Ctrl+V"));
        rig.record(); // while recording the clipboard is written, the status stays
        rig.app->copyLastDictation();
        QCOMPARE(rig.s.copied.size(), 2);
        QCOMPARE(rig.app->status(), QStringLiteral("Слушаю…"));
        rig.app->cancel();
        rig.s.copyWorks = false;
        rig.app->copyLastDictation();
        QCOMPARE(rig.app->status(), QStringLiteral("Не удалось скопировать: буфер обмена занят"));
    }

    void preparation_data()
    {
        QTest::addColumn<Setup>("setup");
        QTest::addColumn<bool>("fileThere");
        QTest::addColumn<bool>("agree"); // the answer to the download question
        QTest::addColumn<QString>("asked");
        QTest::addColumn<QStringList>("statuses");
        const QString ready = "idle — Готово — Alt+Пробел", loading = "loading — Загружаю модель…";
        const QString fetching = "loading — Получаю ключ облака…", cloudReady = ready + " (Nimbrel Cloud)";
        const auto local = [](const char *model, std::function<void(Script &)> more = [](Script &) {}) {
            return Setup([=](Script &s, Settings &st) { s.loaded = false, st.model = model, more(s); });
        };
        const auto broken = [](Script &s) { s.loadError = std::make_exception_ptr(EngineError::loadFailed("x.bin")); };
        QTest::newRow("cloud with a key") << cloud() << false << false << "" << QStringList{cloudReady};
        QTest::newRow("cloud, key fetched") << cloud([](Script &s) { s.key.clear(); }) << false << false << ""
                                            << QStringList{fetching, cloudReady};
        QTest::newRow("cloud, no key") << cloud([](Script &s) { s.key.clear(), s.fetchSucceeds = false; }) << false
                                       << false << ""
                                       << QStringList{fetching, "error — Облако недоступно: Nimbrel не выдал ключ устройства"};
        QTest::newRow("local, model already loaded") << Setup{} << false << false << "" << QStringList{ready};
        QTest::newRow("local, file present") << local("tiny") << true << false << "" << QStringList{loading, ready};
        QTest::newRow("local, load fails, download declined")
            << local("tiny", broken) << true << false << "tiny 75 МБ"
            << QStringList{loading, "error — Модель не загрузилась: не удалось загрузить x.bin"};
        QTest::newRow("local, download declined") << local("small") << false << false << "small 466 МБ"
                                                  << QStringList{loading, "error — Загрузка модели «small» отменена"};
        QTest::newRow("unknown model, size unknown") << local("my-finetune") << false << false << "my-finetune ?"
                                                     << QStringList{loading, "error — Загрузка модели «my-finetune» отменена"};
        // The outcome is the last status, after every progress report.
        QTest::newRow("local, download fails")
            << local("small", [](Script &s) {
                   s.downloadPercents = {0, 50};
                   s.downloadError = std::make_exception_ptr(EngineError::downloadFailed(404));
               })
            << false << true << "small 466 МБ"
            << QStringList{loading, "loading — Скачиваю модель small…", "loading — Скачиваю модель small… 0%",
                           "loading — Скачиваю модель small… 50%", "error — Модель не загрузилась: сервер ответил HTTP 404"};
        QTest::newRow("local, broken file, fresh copy downloaded")
            << local("tiny", [broken](Script &s) { broken(s), s.downloadPercents = {100}; }) << true << true << "tiny 75 МБ"
            << QStringList{loading, "loading — Скачиваю модель tiny…", "loading — Скачиваю модель tiny… 100%", loading,
                           ready};
    }
    void preparation()
    {
        QFETCH(Setup, setup);
        QFETCH(bool, fileThere);
        QFETCH(bool, agree);
        QFETCH(QString, asked);
        QFETCH(QStringList, statuses);
        Rig rig(setup);
        rig.answerDownloads(agree);
        QFile file(modelFile(rig.app->settings().model));
        file.remove();
        if (fileThere)
            QVERIFY(file.open(QIODevice::WriteOnly));
        QCoro::waitFor(rig.app->prepare());
        QCOMPARE(rig.changes, statuses);
        QCOMPARE(rig.asked, asked);
        QCOMPARE(rig.s.unloads, rig.app->settings().engine == Engine::cloud ? 1 : 0);
        file.remove();
    }

    void overlappingPreparationsEndWithTheLastStep()
    {
        Rig rig([](Script &s, Settings &st) { s.loaded = false, st.model = "tiny"; });
        rig.s.downloadGate = std::make_shared<Gate>();
        rig.answerDownloads(true);
        QFile::remove(modelFile("tiny"));
        auto first = rig.app->prepare();
        QTRY_COMPARE(rig.s.downloads, 1);
        rig.app->changeSettings([](Settings &st) { st.engine = Engine::cloud; }); // while the download waits
        QCoro::waitFor(rig.app->prepare());
        QCOMPARE(rig.app->status(), QStringLiteral("Готово — Alt+Пробел (Nimbrel Cloud)"));
        rig.s.downloadGate->open();
        QCoro::waitFor(std::move(first));
        QCOMPARE(rig.app->status(), QStringLiteral("Готово — Alt+Пробел"));
        QFile::remove(modelFile("tiny"));
    }

    void cloudPreparationSeesASwitchBack()
    {
        Rig rig(cloud([](Script &s) { s.key.clear(); }));
        auto preparing = rig.app->prepare();
        rig.app->changeSettings([](Settings &st) { st.engine = Engine::local; }); // while the key is fetched
        QCoro::waitFor(std::move(preparing));
        QVERIFY(!rig.app->status().contains("Nimbrel"));
    }

    void changesAreSavedAndPrepareAgain()
    {
        Rig rig;
        rig.ready();
        QCoro::waitFor(rig.app->changeModel(rig.app->settings().model));
        QVERIFY(rig.changes.isEmpty() && !QFile::exists(Settings::path())); // no change, nothing written
        QCoro::waitFor(rig.app->changeEngine(Engine::cloud));
        QCOMPARE(rig.s.unloads, 1);
        QCOMPARE(rig.app->status(), QStringLiteral("Готово — Alt+Пробел (Nimbrel Cloud)"));
        QCOMPARE(Settings::load().engine, Engine::cloud);
        const QStringList before = rig.changes;
        rig.app->changeLanguage(QStringLiteral("ru"));
        rig.app->changeLanguage(QStringLiteral("ru"));
        QCOMPARE(rig.changes.size(), before.size() + 1); // notified once, the status unchanged
        QCOMPARE(rig.changes.last(), before.last());
        QCOMPARE(Settings::load().language, QStringLiteral("ru"));
    }
};

TALVANE_TEST_MAIN(ControllerTest)
#include "ControllerTest.moc"
