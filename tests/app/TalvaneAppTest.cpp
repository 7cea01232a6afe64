#include "ControllerDoubles.h"
#include "FakeDesktop.h"
#include "TestSupport.h"

#include "app/TalvaneApp.h"
#include "app/TrayIcons.h"
#include "dictation/HotkeyManager.h"
#include "platform/Autostart.h"
#include "platform/Paths.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace {

// Answers alerts from a script and remembers what they said.
class ScriptedAlerts : public Alerts
{
public:
    void inform(const QString &message, const QString &text) override { shown << message + QStringLiteral(" | ") + text; }
    int ask(const QString &message, const QString &text, const QStringList &buttons) override
    {
        shown << message + QStringLiteral(" | ") + text;
        asked << buttons;
        return answer;
    }
    std::optional<Engine> askForEngine(Engine current) override
    {
        engineAskedWith = current;
        return engineChoice;
    }
    void open(const QString &path) override { opened << path; }

    QStringList shown;
    QList<QStringList> asked;
    int answer = 0;
    std::optional<Engine> engineChoice;
    std::optional<Engine> engineAskedWith;
    QStringList opened;
};

struct Rig
{
    Script s;
    FakeHotkeyBackend *keys = nullptr;
    ScriptedAlerts *alerts = nullptr;
    int accessibilityRequests = 0;
    QTemporaryDir autostart;
    std::unique_ptr<TalvaneApp> app;

    explicit Rig(std::optional<QString> executable = std::nullopt, std::function<void(Rig &)> before = {})
    {
        QFile::remove(Settings::path());
        auto backend = std::make_unique<FakeHotkeyBackend>();
        keys = backend.get();
        auto scripted = std::make_unique<ScriptedAlerts>();
        alerts = scripted.get();
        if (before)
            before(*this);
        TalvaneApp::Environment env;
        env.collaborators = [this] { return collaboratorsFor(s); };
        auto held = std::make_shared<std::unique_ptr<FakeHotkeyBackend>>(std::move(backend));
        env.hotkeyBackend = [held]() -> std::unique_ptr<HotkeyBackend> { return std::move(*held); };
        env.requestAccessibility = [this] { ++accessibilityRequests; };
        env.alerts = std::move(scripted);
        env.autostartFolder = autostart.filePath(QStringLiteral("autostart"));
        env.executable = executable;
        app = std::make_unique<TalvaneApp>(std::move(env));
        s.loadedName = Settings().model;
        app->launch();
        QTRY_VERIFY(app->state()->state() == RecordingState::idle || app->state()->state() == RecordingState::error);
    }

    QStringList titles(QMenu *menu) const
    {
        QStringList out;
        for (QAction *a : menu->actions())
            out << (a->isSeparator() ? QStringLiteral("---") : a->text());
        return out;
    }
};

QColor centreColour(const QIcon &icon)
{
    const QImage image = icon.pixmap(24, 24).toImage();
    // The symbols all cross the middle column somewhere: take the first opaque pixel.
    for (int y = 0; y < image.height(); ++y) {
        const QColor c = image.pixelColor(12, y);
        if (c.alpha() == 255)
            return c;
    }
    return {};
}

} // namespace

class TalvaneAppTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void launchLogsAndBuildsTheMenu()
    {
        const auto before = TestSupport::logLines().size();
        Rig rig;
        QStringList log = TestSupport::logLines().mid(before);
        log.removeIf([](const QString &line) { return line.startsWith(QLatin1Char('#')); }); // the header
        QVERIFY(log.at(0).endsWith(QStringLiteral("[INFO] Talvane 3.4 starting")));
        QVERIFY(log.at(1).contains(QStringLiteral("[INFO] Executable: /")));
        QVERIFY(log.at(2).endsWith(QStringLiteral("[INFO] Support folder: ") +
                                   QString::fromStdString(Paths::supportDir().string())));

        QCOMPARE(rig.titles(rig.app->menu()),
                 QStringList({"Готово — Alt+Пробел", "---", "Начать диктовку", "Скопировать последнюю диктовку",
                              "Вставлять автоматически", "Убирать «эээ», оговорки и делать списки",
                              "Запускать при входе в систему", "Модель", "Язык", "Где распознавать…", "---",
                              "Словарь подсказок…", "Открыть лог", "Папка с моделями", "О программе", "---",
                              "Выйти из Talvane"}));
        QVERIFY(!rig.app->statusLine->isEnabled());
        QCOMPARE(rig.app->toggleItem->shortcut(), QKeySequence(Qt::ALT | Qt::Key_Space));
        QCOMPARE(rig.app->menu()->actions().last()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
        QCOMPARE(rig.titles(rig.app->modelItem->menu()),
                 QStringList({"tiny  ·  75 МБ", "base  ·  142 МБ", "small  ·  466 МБ", "medium  ·  1,5 ГБ",
                              "large-v3  ·  2,9 ГБ", "large-v3-turbo  ·  1,6 ГБ"}));
        QCOMPARE(rig.titles(rig.app->languageItem->menu()), QStringList({"Определять сам", "Русский", "English"}));
        QVERIFY(rig.app->statusItem()->isVisible());
        QVERIFY(rig.alerts->shown.isEmpty()); // Alt+Space was free
        QCOMPARE(rig.accessibilityRequests, 1); // automatic pasting is on by default
    }

    void refreshFollowsTheState_data()
    {
        QTest::addColumn<RecordingState>("state");
        QTest::addColumn<QString>("toggleTitle");
        QTest::addColumn<bool>("toggleEnabled");
        QTest::addColumn<bool>("free");
        QTest::addColumn<bool>("escape");
        QTest::addColumn<QColor>("colour");
        QTest::newRow("loading") << RecordingState::loading << "Начать диктовку" << false << false << false
                                 << TrayIcons::plainColour();
        QTest::newRow("idle") << RecordingState::idle << "Начать диктовку" << true << true << false
                              << TrayIcons::plainColour();
        QTest::newRow("recording") << RecordingState::recording << "Остановить и распознать" << true << false << true
                                   << QColor(229, 84, 79);
        QTest::newRow("transcribing") << RecordingState::transcribing << "Начать диктовку" << false << false << true
                                      << QColor(91, 157, 217);
        QTest::newRow("error") << RecordingState::error << "Начать диктовку" << true << true << false
                               << QColor(237, 186, 74);
    }

    void refreshFollowsTheState()
    {
        QFETCH(RecordingState, state);
        QFETCH(QString, toggleTitle);
        QFETCH(bool, toggleEnabled);
        QFETCH(bool, free);
        QFETCH(bool, escape);
        QFETCH(QColor, colour);
        Rig rig;
        rig.app->state()->set(state, QStringLiteral("Статус ⌥Пробел"));
        QCOMPARE(rig.app->statusLine->text(), QStringLiteral("Статус Alt+Пробел"));
        QCOMPARE(rig.app->statusItem()->toolTip(), QStringLiteral("Talvane — Статус Alt+Пробел"));
        QCOMPARE(rig.app->toggleItem->text(), toggleTitle);
        QCOMPARE(rig.app->toggleItem->isEnabled(), toggleEnabled);
        QCOMPARE(rig.app->modelItem->isEnabled(), free);
        QCOMPARE(rig.app->languageItem->isEnabled(), free);
        QCOMPARE(rig.app->engineItem->isEnabled(), free);
        QCOMPARE(rig.keys->registered.count(HotkeyManager::cancelId) > 0, escape);
        QCOMPARE(centreColour(rig.app->statusItem()->icon()), colour);
        QVERIFY(!rig.app->copyLastItem->isEnabled()); // no dictation yet
    }

    void checkMarksFollowTheSettings()
    {
        Rig rig;
        auto checked = [](QMenu *menu) {
            QStringList out;
            for (QAction *a : menu->actions())
                if (a->isChecked())
                    out << a->data().toString();
            return out;
        };
        QCOMPARE(checked(rig.app->modelItem->menu()), QStringList{"large-v3-turbo"});
        QCOMPARE(checked(rig.app->languageItem->menu()), QStringList{"auto"});
        QVERIFY(rig.app->autoPasteItem->isChecked());
        QVERIFY(rig.app->cleanSpeechItem->isChecked());

        rig.app->state()->settings().model = QStringLiteral("my-finetune");
        rig.app->languageItem->menu()->actions().at(1)->trigger(); // Русский
        QCOMPARE(rig.app->state()->settings().language, QStringLiteral("ru"));
        QVERIFY(checked(rig.app->modelItem->menu()).isEmpty());
        QCOMPARE(checked(rig.app->languageItem->menu()), QStringList{"ru"});

        rig.app->state()->settings().engine = Engine::cloud;
        rig.app->refresh();
        QVERIFY(!rig.app->modelItem->isEnabled()); // idle, but the cloud needs no model
        QVERIFY(rig.app->languageItem->isEnabled());
    }

    void textOptionsAreSavedAndPromptOnce()
    {
        Rig rig({}, [](Rig &r) { r.s.loaded = true; });
        rig.app->autoPasteItem->trigger(); // off
        QVERIFY(!Settings::load().autoPaste);
        QVERIFY(!rig.app->autoPasteItem->isChecked());
        QCOMPARE(rig.accessibilityRequests, 1);
        rig.app->autoPasteItem->trigger(); // on again: asks (the paster shows its prompt once per run)
        QCOMPARE(rig.accessibilityRequests, 2);
        rig.app->cleanSpeechItem->trigger();
        QVERIFY(!Settings::load().cleanSpeech);
        QVERIFY(!rig.app->cleanSpeechItem->isChecked());
    }

    void noAccessibilityRequestWithAutoPasteOff()
    {
        Rig rig({}, [](Rig &) {
            Settings st;
            st.autoPaste = false;
            st.save();
        });
        QCOMPARE(rig.accessibilityRequests, 0);
    }

    void takenHotKeyIsReportedOnce()
    {
        Rig rig({}, [](Rig &r) { r.keys->taken.push_back({Qt::Key_Space, Qt::AltModifier}); });
        QCOMPARE(rig.alerts->shown.size(), 1);
        QVERIFY(rig.alerts->shown.first().startsWith(QStringLiteral("Alt+Пробел занят | Это сочетание")));
        // Dictation still works from the menu.
        rig.app->toggleItem->trigger();
        QTRY_COMPARE(rig.app->state()->state(), RecordingState::recording);
    }

    void hotKeysReachTheController()
    {
        Rig rig;
        QVERIFY(rig.keys->press(HotkeyManager::toggleId));
        QTRY_COMPARE(rig.app->state()->state(), RecordingState::recording);
        QVERIFY(rig.keys->registered.count(HotkeyManager::cancelId));
        QVERIFY(rig.keys->press(HotkeyManager::cancelId));
        QCOMPARE(rig.app->state()->status(), QStringLiteral("Отменено"));
        QVERIFY(!rig.keys->registered.count(HotkeyManager::cancelId));
    }

    void downloadQuestion_data()
    {
        QTest::addColumn<int>("answer");
        QTest::addColumn<bool>("agreed");
        QTest::newRow("Не сейчас") << 0 << false;
        QTest::newRow("closed") << -1 << false;
        QTest::newRow("Скачать") << 1 << true;
    }

    void downloadQuestion()
    {
        QFETCH(int, answer);
        QFETCH(bool, agreed);
        Rig rig;
        rig.alerts->answer = answer;
        QCOMPARE(rig.app->askToDownload(QStringLiteral("small"), QStringLiteral("466 МБ"), QStringLiteral("/m")), agreed);
        QCOMPARE(rig.alerts->asked.last(), QStringList({"Не сейчас", "Скачать"}));
        QCOMPARE(rig.alerts->shown.last(), QStringLiteral("Скачать модель small? | Модель распознавания ещё не скачана."
                                                          "\n\nРазмер: 466 МБ\nКуда: /m\nОткуда: huggingface.co"));
    }

    void firstRunWithoutAModelAsksAndExplains()
    {
        QFile::remove(QString::fromStdString(Paths::modelFile(Settings().model.toStdString()).string()));
        Rig rig({}, [](Rig &r) { r.s.loaded = false; });
        QCOMPARE(rig.alerts->asked.size(), 1); // the download question at launch, answered "Не сейчас"
        QCOMPARE(rig.app->state()->state(), RecordingState::error);
        QCOMPARE(rig.app->statusLine->text(), QStringLiteral("Загрузка модели «large-v3-turbo» отменена"));
        QVERIFY(rig.app->toggleItem->isEnabled());
        // Dictation from the menu asks again instead of failing silently.
        rig.app->toggleItem->trigger();
        QTRY_COMPARE(rig.alerts->asked.size(), 2);
        QTRY_COMPARE(rig.app->state()->state(), RecordingState::error);
        QCOMPARE(rig.s.starts, 0);
    }

    void launchAtLogin()
    {
        const QString exe = QStringLiteral("/usr/local/bin/talvane");
        Rig rig(exe);
        const QString folder = rig.autostart.filePath(QStringLiteral("autostart"));
        QVERIFY(rig.app->autostartItem->isEnabled());
        QVERIFY(!rig.app->autostartItem->isChecked());
        rig.app->autostartItem->trigger();
        QVERIFY(Autostart::isOn(folder, exe));
        QVERIFY(rig.app->autostartItem->isChecked());
        rig.app->autostartItem->trigger();
        QVERIFY(!QFile::exists(folder + QStringLiteral("/cloud.nimbrel.talvane.desktop")));
        QVERIFY(!rig.app->autostartItem->isChecked());
    }

    void launchAtLoginFromATemporaryPlace()
    {
        const QString exe = QStringLiteral("/tmp/.mount_talvaXYZ/usr/bin/talvane");
        Rig rig(exe);
        const QString folder = rig.autostart.filePath(QStringLiteral("autostart"));
        rig.app->autostartItem->trigger();
        QVERIFY(!Autostart::isOn(folder, exe));
        QVERIFY(rig.alerts->shown.last().startsWith(QStringLiteral("Сначала перенесите Talvane в «Программы»")));
        // Turning it off is never refused.
        Autostart::set(true, folder, exe);
        rig.app->autostartItem->trigger();
        QVERIFY(!Autostart::isOn(folder, exe));
    }

    void launchAtLoginWriteFailure()
    {
        Rig rig(QStringLiteral("/usr/bin/talvane"));
        TestSupport::writeFile(rig.autostart.filePath(QStringLiteral("autostart")), "a file where the folder goes");
        rig.app->autostartItem->trigger();
        QVERIFY(rig.alerts->shown.last().startsWith(QStringLiteral("Автозапуск не изменился")));
        QVERIFY(TestSupport::logLines().filter(QStringLiteral("[ERROR] Autostart write failed: ")).size() > 0);
        QVERIFY(!rig.app->autostartItem->isChecked());
    }

    void launchAtLoginNotOfferedFromTheBuildTree()
    {
        Rig rig;
        QVERIFY(!rig.app->autostartItem->isEnabled());
        QVERIFY(!rig.app->autostartItem->isChecked());
        rig.app->toggleAutostart(); // does nothing
        QVERIFY(!QDir(rig.autostart.filePath(QStringLiteral("autostart"))).exists());
    }

    void hintDictionaryCreatesTheFileThenOpensIt()
    {
        Rig rig;
        QVERIFY(!QFile::exists(Settings::path()));
        rig.app->editVocabulary();
        QVERIFY(QFile::exists(Settings::path()));
        QVERIFY(rig.alerts->shown.last().startsWith(QStringLiteral("Словарь подсказок | Сейчас откроется settings.json.")));
        QCOMPARE(rig.alerts->opened, QStringList{Settings::path()});
    }

    void logAndModelsFolder()
    {
        Rig rig;
        TestSupport::logLines(); // the log exists by now
        rig.app->openLog();
        rig.app->openModelsFolder();
        QCOMPARE(rig.alerts->opened,
                 QStringList({QString::fromStdString((Paths::supportDir() / "talvane.log").string()),
                              QString::fromStdString(Paths::modelsFolder().string())}));
    }

    void recognitionPlace()
    {
        Rig rig;
        rig.app->showEngine(); // cancelled
        QCOMPARE(rig.alerts->engineAskedWith, Engine::local);
        QTest::qWait(10);
        QCOMPARE(rig.app->state()->settings().engine, Engine::local);
        rig.alerts->engineChoice = Engine::cloud;
        rig.app->showEngine();
        QTRY_COMPARE(rig.app->state()->status(), QStringLiteral("Готово — Alt+Пробел (Nimbrel Cloud)"));
        QCOMPARE(Settings::load().engine, Engine::cloud);
    }

    void about()
    {
        Rig rig;
        rig.app->showAbout();
        QCOMPARE(rig.alerts->shown.last(),
                 QStringLiteral("Talvane 3.4 | Версия 3.4 для macOS\nГолосовой ввод от Nimbrel Cloud: Alt+Пробел — "
                                "говорите — текст встаёт туда, где курсор."));
    }

    // On the dark menu a disabled item must read as dimmed: darker than an enabled one, never brighter.
    void disabledItemsLookDimmed()
    {
        Rig rig;
        QMenu *menu = rig.app->menu();
        menu->adjustSize();
        const QImage image = menu->grab().toImage();
        auto brightest = [&](QAction *item) {
            const QRect row = menu->actionGeometry(item) & image.rect();
            int most = 0;
            for (int y = row.top(); y <= row.bottom(); ++y)
                for (int x = row.left(); x <= row.right(); ++x)
                    most = std::max(most, qGray(image.pixel(x, y)));
            return most;
        };
        QVERIFY(!rig.app->statusLine->isEnabled());
        QVERIFY(rig.app->toggleItem->isEnabled());
        const int disabled = brightest(rig.app->statusLine);
        const int enabled = brightest(rig.app->toggleItem);
        QVERIFY2(disabled < enabled * 3 / 4,
                 qPrintable(QStringLiteral("disabled %1, enabled %2").arg(disabled).arg(enabled)));
    }

    void temporaryPlaces_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("temporary");
        QTest::newRow("installed") << "/usr/bin/talvane" << false;
        QTest::newRow("home") << "/home/u/.local/bin/talvane" << false;
        QTest::newRow("tmp") << "/tmp/talvane/talvane" << true;
        QTest::newRow("appimage mount") << "/tmp/.mount_Talvan1a2b/usr/bin/talvane" << true;
        QTest::newRow("disk image") << "/Volumes/Talvane/Talvane.app/Contents/MacOS/Talvane" << true;
        QTest::newRow("translocated") << "/private/var/folders/x/AppTranslocation/y/Talvane" << true;
    }

    void temporaryPlaces()
    {
        QFETCH(QString, path);
        QFETCH(bool, temporary);
        QCOMPARE(TalvaneApp::runsFromTemporaryPlace(path), temporary);
    }
};

TALVANE_GUI_TEST_MAIN(TalvaneAppTest)
#include "TalvaneAppTest.moc"
