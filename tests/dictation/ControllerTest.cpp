#include "Fakes.h"
#include "TestSupport.h"

#include "platform/Paths.h"
#include "recognition/CloudError.h"
#include "recognition/EngineError.h"

// The dictation controller and its recogniser preparation, driven through their public
// interface with doubles for everything around them (the cleaner is the real one).
using Setup = std::function<void(Script &, Settings &)>;
struct Row
{
    Setup setup;
    QString outcome;           // "state status"
    QString pasted = {};       // empty: nothing pasted
    QStringList statuses = {}; // preparation: every "state — status" announced
    bool agree = false;        // preparation: the answer to the download question
    QString asked = {};        // preparation: "model size" asked about
};
Q_DECLARE_METATYPE(Row)

namespace {

const Setup none = [](Script &, Settings &) {};
Setup script(std::function<void(Script &)> change)
{
    return [change](Script &s, Settings &) { change(s); };
}
Setup cloud(std::function<void(Script &)> more = [](Script &) {})
{
    return [more](Script &s, Settings &st) { st.engine = Engine::cloud, more(s); };
}
Setup local(
    const char *model, std::function<void(Script &)> more = [](Script &) {})
{
    return [=](Script &s, Settings &st) { s.loaded = false, st.model = model, more(s); };
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
    std::unique_ptr<AppState> app = (QFile::remove(Settings::path()), std::make_unique<AppState>(collaboratorsFor(s)));
    QStringList changes; // "state — status" per onChange
    int notPasted = 0;
    QString asked;

    explicit Rig(const Setup &setup = none, bool agree = false)
    {
        app->onChange = [this] { changes << caseName(app->state()) + QStringLiteral(" — ") + app->status(); };
        app->notPasted = [this] { ++notPasted; };
        app->confirmDownload = [this, agree](const QString &name, const QString &size, const QString &) {
            return asked = name + ' ' + size, agree;
        };
        app->changeSettings([&](Settings &st) { setup(s, st); });
        changes.clear();
    }
    QString outcome() const { return caseName(app->state()) + ' ' + app->status(); }
    bool busy() const
    {
        return app->state() == RecordingState::transcribing || app->state() == RecordingState::recording;
    }
    // Brings the controller to idle the way the program does at start, then records.
    void record(bool prepare = true)
    {
        s.loadedName = app->settings().model;
        if (prepare)
            QCoro::waitFor(app->prepare());
        changes.clear();
        app->toggle();
        QTRY_COMPARE(app->state(), RecordingState::recording);
    }
    void dictate(bool prepare = true)
    {
        record(prepare);
        app->toggle();
        QTRY_VERIFY(!busy());
    }
};

} // namespace

class ControllerTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void oneDictation_data()
    {
        QTest::addColumn<Row>("row");
        const auto fails = [](auto e) { return script([e](Script &s) { s.localError = std::make_exception_ptr(e); }); };
        const auto take = [](Take::Kind kind) { return script([kind](Script &s) { s.take = Take::of(kind); }); };
        // clang-format off
        QTest::newRow("cleaned and pasted") << Row{none, "idle Вставлено символов: 12", "ну вот текст"};
        QTest::newRow("copied, automatic pasting off") << Row{[](Script &s, Settings &st) { st.autoPaste = false, s.pasteResult = PasteResult::copied; }, "idle Скопировано символов: 12 — вставьте Ctrl+V", "ну вот текст"};
        QTest::newRow("paste failed") << Row{script([](Script &s) { s.pasteResult = PasteResult::failed; }), "idle Не вставилось: скопируйте текст из меню", "ну вот текст"};
        QTest::newRow("clean-up off, graphemes counted") << Row{[](Script &s, Settings &st) { st.cleanSpeech = false, s.localText = "ну, e\u0301👍🏽й"; }, "idle Вставлено символов: 7", "ну, e\u0301👍🏽й"};
        QTest::newRow("cleaned to nothing") << Row{script([](Script &s) { s.localText = "э-э"; }), "idle Речь не распознана"};
        QTest::newRow("too short") << Row{take(Take::Kind::tooShort), "idle Слишком коротко — отменено"};
        QTest::newRow("silence") << Row{take(Take::Kind::silence), "idle Тишина — отменено"};
        QTest::newRow("local engine fails") << Row{fails(EngineError::transcriptionFailed(-6)), "error Не удалось распознать: whisper вернул код -6"};
        QTest::newRow("unknown failure") << Row{fails(42), "error Не удалось распознать: неизвестная ошибка"};
        QTest::newRow("cloud text") << Row{cloud(), "idle Вставлено символов: 14", "облачный текст"};
        QTest::newRow("cloud 401") << Row{cloud([](Script &s) { s.cloudError = refusal(401, "Ключ не принят"); }), "error Не удалось распознать: Ключ не принят"};
        QTest::newRow("cloud 402: the message alone") << Row{cloud([](Script &s) { s.cloudError = refusal(402, "Пополните баланс"); }), "error Пополните баланс"};
        // clang-format on
    }
    void oneDictation()
    {
        QFETCH(Row, row);
        Rig rig(row.setup);
        const qsizetype logStart = TestSupport::logLines().size();
        rig.dictate();
        QCOMPARE(rig.outcome(), row.outcome);
        const bool recognised = !row.outcome.contains("отменено");
        QCOMPARE(rig.s.overlay.join(','),
                 recognised ? "show recording 4242,show transcribing -,hide" : "show recording 4242,hide");
        QCOMPARE(rig.s.levelSource(), 0.25f); // the capsule shows the recorder's level
        QCOMPARE(rig.s.pasted, row.pasted.isEmpty() ? QStringList() : QStringList{row.pasted});
        QCOMPARE(rig.app->lastDictation().value_or(QString()), row.pasted);
        QCOMPARE(rig.s.pastedTo.value_or(RunningApp{}).pid, row.pasted.isEmpty() ? 0 : 4242);
        QCOMPARE(rig.s.pastedWithAutoPaste, rig.app->settings().autoPaste);
        QCOMPARE(rig.notPasted, rig.s.pasteResult == PasteResult::failed ? 1 : 0);
        // Neither the recognised text nor the key reaches the log.
        for (const QString &line : TestSupport::logLines().mid(logStart))
            for (const char *secret : {"вот", "👍", "облачный", "device-key"})
                QVERIFY2(!line.contains(QString::fromUtf8(secret)), qPrintable(line));
    }

    void cloudRequestIsBuiltFromTheSettingsAtTheStop()
    {
        Rig rig;
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
        QTest::addColumn<Row>("row");
        const auto noKey = [](bool fetched, bool reachable) {
            return cloud([=](Script &s) { s.key.clear(), s.fetchSucceeds = fetched, s.unreachable = !reachable; });
        };
        const auto access = [](MicrophoneAccess a) { return script([a](Script &s) { s.access = a; }); };
        // clang-format off
        QTest::newRow("no model loaded") << Row{script([](Script &s) { s.loaded = false; }), "error Модель не загружена"};
        QTest::newRow("recorder cannot start") << Row{script([](Script &s) { s.startThrows = true; }), "error Микрофон недоступен: нет микрофона"};
        QTest::newRow("microphone not determined") << Row{access(MicrophoneAccess::notDetermined), "idle Разрешите доступ к микрофону и нажмите Alt+Пробел ещё раз"};
        QTest::newRow("microphone denied") << Row{access(MicrophoneAccess::denied), "error Нет доступа к микрофону — Системные настройки → Конфиденциальность и безопасность → Микрофон"};
        QTest::newRow("cloud key unreachable") << Row{noKey(false, false), "error Облако недоступно: нет связи с Nimbrel"};
        QTest::newRow("cloud key refused") << Row{noKey(false, true), "error Облако недоступно: Nimbrel не выдал ключ устройства"};
        QTest::newRow("cloud key fetched, recording starts") << Row{noKey(true, true), "recording Слушаю…"};
        // clang-format on
    }
    void startFailures()
    {
        QFETCH(Row, row);
        Rig rig;
        QCoro::waitFor(rig.app->prepare());
        rig.app->changeSettings([&](Settings &st) { row.setup(rig.s, st); });
        rig.app->toggle();
        QTRY_COMPARE(rig.outcome(), row.outcome);
        QCOMPARE(rig.s.overlay.isEmpty(), !row.outcome.startsWith("recording"));
        QCOMPARE(rig.s.accessRequests, rig.s.access == MicrophoneAccess::notDetermined ? 1 : 0);
    }

    // Escape cancels a recording or a recognition; a press while busy, or Escape during the paste, changes nothing.
    void interruptions_data()
    {
        QTest::addColumn<QString>("when");
        QTest::addColumn<QString>("outcome");
        // clang-format off
        QTest::newRow("recording") << "recording" << "idle Отменено";
        QTest::newRow("local recognition") << "local" << "idle Отменено";
        QTest::newRow("cloud recognition") << "cloud" << "idle Отменено";
        QTest::newRow("during the paste") << "paste" << "idle Вставлено символов: 12";
        QTest::newRow("a press while recognising") << "press" << "idle Вставлено символов: 12";
        // clang-format on
    }
    void interruptions()
    {
        QFETCH(QString, when);
        QFETCH(QString, outcome);
        Rig rig(when == "cloud" ? cloud() : none);
        rig.s.holdLocal = rig.s.holdCloud = rig.s.holdPaste = true;
        rig.record();
        if (when != "recording")
            rig.app->toggle();
        QTRY_COMPARE(rig.s.transcribes + rig.s.cloudCalls, when == "recording" ? 0 : 1);
        rig.s.holdLocal = when == "local" || when == "press"; // the state waits for the engine to give up
        QTRY_COMPARE(rig.s.pasted.size(), when == "paste" ? 1 : 0);
        const QStringList before = rig.changes;
        when == "press" ? rig.app->toggle() : rig.app->cancel();
        QTest::qWait(20);
        QCOMPARE(rig.app->state() == RecordingState::transcribing, when != "recording" && when != "cloud");
        QCOMPARE(rig.changes == before, when != "recording" && when != "cloud");
        rig.s.holdLocal = rig.s.holdPaste = false;
        QTRY_COMPARE(rig.outcome(), outcome);
        QCOMPARE(rig.s.overlay.last(), QStringLiteral("hide"));
        QCOMPARE(rig.s.clears, when == "recording" ? 1 : 0);
        QCOMPARE(rig.s.transcribes + rig.s.cloudCalls, when == "recording" ? 0 : 1);
    }

    void lastDictation()
    {
        Rig rig;
        rig.app->copyLastDictation(); // nothing yet
        QVERIFY(rig.s.copied.isEmpty() && rig.changes.isEmpty());
        rig.dictate();
        rig.s.localText = QStringLiteral("э-э");
        rig.dictate(false); // an empty result keeps the previous dictation
        QCOMPARE(rig.app->status(), QStringLiteral("Речь не распознана"));
        rig.app->copyLastDictation();
        QCOMPARE(rig.s.copied, QStringList{"ну вот текст"});
        QCOMPARE(rig.app->status(), QStringLiteral("Скопировано символов: 12 — вставьте Ctrl+V"));
        rig.s.copyWorks = false;
        rig.app->copyLastDictation();
        QCOMPARE(rig.app->status(), QStringLiteral("Не удалось скопировать: буфер обмена занят"));
        rig.s.copyWorks = true;
        for (int i = 1; i <= 11; ++i) // the ten newest are kept, newest first
            rig.s.localText = QString::number(i), rig.dictate();
        QCOMPARE(rig.app->recentDictations(),
                 std::deque<QString>({"11", "10", "9", "8", "7", "6", "5", "4", "3", "2"}));
        rig.app->copyDictation(3), rig.app->copyDictation(10); // the fourth newest; one that is not there
        QCOMPARE(rig.s.copied.last(), QStringLiteral("8"));
        QCOMPARE(rig.app->status(), QStringLiteral("Скопировано символов: 1 — вставьте Ctrl+V"));
    }

    void preparation_data()
    {
        QTest::addColumn<Row>("row");
        QTest::addColumn<bool>("fileThere");
        const QString ready = "idle — Готово — Alt+Пробел", loading = "loading — Загружаю модель…";
        const QString fetching = "loading — Получаю ключ облака…", cloudReady = ready + " (Nimbrel Cloud)";
        const auto broken = [](Script &s) { s.loadError = std::make_exception_ptr(EngineError::loadFailed("x.bin")); };
        const auto failing = [](Script &s) {
            s.downloadPercents = {0, 50};
            s.downloadError = std::make_exception_ptr(EngineError::downloadFailed(404));
        };
        // clang-format off
        QTest::newRow("cloud, key fetched") << Row{cloud([](Script &s) { s.key.clear(); }), {}, {}, {fetching, cloudReady}} << false;
        QTest::newRow("cloud, no key") << Row{cloud([](Script &s) { s.key.clear(), s.fetchSucceeds = false; }), {}, {}, {fetching, "error — Облако недоступно: Nimbrel не выдал ключ устройства"}} << false;
        QTest::newRow("local, file present") << Row{local("tiny"), {}, {}, {loading, ready}} << true;
        QTest::newRow("local, load fails, download declined") << Row{local("tiny", broken), {}, {}, {loading, "error — Модель не загрузилась: не удалось загрузить x.bin"}, false, "tiny 75 МБ"} << true;
        QTest::newRow("local, download declined") << Row{local("small"), {}, {}, {loading, "error — Загрузка модели «small» отменена"}, false, "small 466 МБ"} << false;
        QTest::newRow("unknown model, size unknown") << Row{local("my-finetune"), {}, {}, {loading, "error — Загрузка модели «my-finetune» отменена"}, false, "my-finetune ?"} << false;
        // The outcome is the last status, after every progress report.
        QTest::newRow("local, download fails") << Row{local("small", failing), {}, {}, {loading, "loading — Скачиваю модель small…", "loading — Скачиваю модель small… 0%", "loading — Скачиваю модель small… 50%", "error — Модель не загрузилась: сервер ответил HTTP 404"}, true, "small 466 МБ"} << false;
        QTest::newRow("local, broken file, fresh copy downloaded") << Row{local("tiny", broken), {}, {}, {loading, "loading — Скачиваю модель tiny…", loading, ready}, true, "tiny 75 МБ"} << true;
        // clang-format on
    }
    void preparation()
    {
        QFETCH(Row, row);
        QFETCH(bool, fileThere);
        Rig rig(row.setup, row.agree);
        QFile file(modelFile(rig.app->settings().model));
        file.remove();
        if (fileThere)
            QVERIFY(file.open(QIODevice::WriteOnly));
        QCoro::waitFor(rig.app->prepare());
        QCOMPARE(rig.changes, row.statuses);
        QCOMPARE(rig.asked, row.asked);
        QCOMPARE(rig.s.unloads, rig.app->settings().engine == Engine::cloud ? 1 : 0);
        file.remove();
    }

    void preparationsOverlappingASwitch()
    {
        Rig rig(local("tiny", [](Script &s) { s.holdDownload = true; }), true);
        QFile::remove(modelFile("tiny"));
        auto first = rig.app->prepare();
        QTRY_COMPARE(rig.s.downloads, 1);
        QCoro::waitFor(rig.app->changeEngine(Engine::cloud)); // while the download waits
        QCOMPARE(rig.app->status(), QStringLiteral("Готово — Alt+Пробел (Nimbrel Cloud)"));
        QCOMPARE(Settings::load().engine, Engine::cloud);
        rig.s.holdDownload = false;
        QCoro::waitFor(std::move(first));
        QCOMPARE(rig.app->status(), QStringLiteral("Готово — Alt+Пробел")); // the last step wins
        QFile::remove(modelFile("tiny"));

        Rig back(cloud([](Script &s) { s.key.clear(); }));
        auto preparing = back.app->prepare();
        back.app->changeSettings([](Settings &st) { st.engine = Engine::local; }); // while the key is fetched
        QCoro::waitFor(std::move(preparing));
        QVERIFY(!back.app->status().contains("Nimbrel"));

        Rig stopped(local("tiny", [](Script &s) { s.holdDownload = true; }), true); // the user stops the download
        auto stopping = stopped.app->prepare();
        QTRY_VERIFY(stopped.app->downloading());
        stopped.app->cancelDownload(), stopped.s.holdDownload = false;
        QCoro::waitFor(std::move(stopping));
        QCOMPARE(stopped.changes.last(), QStringLiteral("error — Загрузка модели «tiny» отменена"));
        QVERIFY(!stopped.app->downloading() && !QFile::exists(modelFile("tiny")));
    }
};

TALVANE_TEST_MAIN(ControllerTest)
#include "ControllerTest.moc"
