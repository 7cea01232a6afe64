#include "Desktop.h"
#include "Fakes.h"
#include "TestSupport.h"

#include "app/Banner.h"
#include "app/StatusWindow.h"
#include "app/TalvaneApp.h"
#include "app/TrayIcons.h"
#include "app/WaveformView.h"
#include "dictation/HotkeyManager.h"
#include "platform/Autostart.h"
#include "platform/KeyNames.h"
#include "platform/Paths.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QPainter>
#include <QTemporaryDir>
#include <QToolButton>

#include <limits>

// The tray application on doubles (menu, alerts, launch at login), and the rules of the
// capsule and the banner that need no real peer.
namespace {

// Answers alerts from a script and remembers what they said.
struct ScriptedAlerts : Alerts
{
    void inform(const QString &message, const QString &) override { shown << message; }
    int ask(const QString &message, const QString &, const QStringList &) override { return shown << message, answer; }
    std::optional<Engine> askForEngine(Engine) override { return engineChoice; }
    std::optional<int> choose(const QString &, const QStringList &options, int) override
    {
        return options.indexOf(choice) < 0 ? std::nullopt : std::optional<int>(options.indexOf(choice));
    }
    void open(const QString &path) override { opened << path; }
    void openAsText(const QString &path) override { opened << "text:" + path; }
    QStringList shown, opened;
    int answer = 0;
    std::optional<Engine> engineChoice;
    QString choice; // the option choose() picks by its title
};

struct Rig
{
    Script s;
    FakeHotkeyBackend &keys = *new FakeHotkeyBackend;
    ScriptedAlerts &alerts = *new ScriptedAlerts;
    QTemporaryDir home;
    std::unique_ptr<TalvaneApp> app;
    bool wayland = false;

    explicit Rig(std::optional<QString> executable = std::nullopt, std::function<void(Rig &)> before = {})
    {
        QFile::remove(Settings::path());
        if (before)
            before(*this);
        TalvaneApp::Environment env;
        env.collaborators = [this] { return collaboratorsFor(s); };
        env.hotkeyBackend = [this] { return std::unique_ptr<HotkeyBackend>(&keys); };
        env.alerts.reset(&alerts);
        env.autostartFolder = autostart();
        env.executable = executable;
        env.wayland = wayland;
        app = std::make_unique<TalvaneApp>(std::move(env));
        s.loadedName = Settings().model;
        app->launch();
        QTRY_VERIFY(app->state()->state() == RecordingState::idle || app->state()->state() == RecordingState::error);
    }
    QString autostart() const { return home.filePath(QStringLiteral("autostart")); }
    void change(std::function<void(Settings &)> change) { app->state()->changeSettings(change); }
};

QStringList titles(QMenu *menu, bool checkedOnly = false)
{
    QStringList out;
    for (QAction *a : menu->actions())
        if (a->isVisible() && (!checkedOnly || a->isChecked()))
            out << (a->isSeparator() ? QStringLiteral("---") : checkedOnly ? a->data().toString() : a->text());
    return out;
}

} // namespace

class AppTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void launchBuildsTheMenu()
    {
        const qsizetype logStart = TestSupport::logLines().size();
        Rig rig;
        QVERIFY(TestSupport::logLines().mid(logStart).filter("[INFO] Talvane 3.4 starting").size() == 1);
        QCOMPARE(titles(rig.app->menu()),
                 QStringList({"Готово — Alt+Пробел", "---", "Начать диктовку", "Скопировать последнюю диктовку",
                              "Последние диктовки", "Вставлять автоматически",
                              "Убирать «эээ», оговорки и делать списки", "Запускать при входе в систему", "Модель",
                              "Язык", "Где распознавать…", "Сочетание клавиш…", "---", "Словарь подсказок…",
                              "Открыть лог", "Папка с моделями", "О программе", "---", "Выйти из Talvane"}));
        QCOMPARE(rig.app->toggleItem->shortcut(), QKeySequence(Qt::ALT | Qt::Key_Space));
        QVERIFY(rig.app->statusItem()->isVisible());
        QVERIFY(rig.alerts.shown.isEmpty());           // Alt+Space was free
        QCOMPARE(rig.s.accessibilityRequests, 1);      // automatic pasting is on by default
        QVERIFY(!rig.app->autostartItem->isEnabled()); // not offered from the build tree
        rig.app->toggleAutostart();
        QVERIFY(!QDir(rig.autostart()).exists());
        rig.app->editVocabulary(); // creates the settings file, then opens it
        QCOMPARE(rig.alerts.opened, QStringList{"text:" + Settings::path()});
        QVERIFY(QFile::exists(Settings::path()));
        // Automatic pasting off: nothing to ask for.
        Rig quiet({}, [](Rig &) { TestSupport::writeFile(Settings::path(), R"({"AutoPaste": false})"); });
        QCOMPARE(quiet.s.accessibilityRequests, 0);
    }

    void refreshFollowsTheState()
    {
        struct Row
        {
            RecordingState state;
            const char *toggle; // title
            bool toggleEnabled, free /* the recogniser's menus */, escape;
        };
        // clang-format off
        for (const Row &row : {Row{RecordingState::loading, "Начать диктовку", false, false, false}, Row{RecordingState::idle, "Начать диктовку", true, true, false},
                               Row{RecordingState::recording, "Остановить и распознать", true, false, true}, Row{RecordingState::transcribing, "Начать диктовку", false, false, true},
                               Row{RecordingState::error, "Начать диктовку", true, true, false}}) {
            // clang-format on
            Rig rig;
            rig.app->state()->set(row.state, QStringLiteral("Статус ⌥Пробел"));
            QCOMPARE(rig.app->statusLine->text(), QStringLiteral("Статус Alt+Пробел"));
            QCOMPARE(rig.app->statusItem()->toolTip(), QStringLiteral("Talvane — Статус Alt+Пробел"));
            QCOMPARE(rig.app->toggleItem->text(), row.toggle);
            QCOMPARE(rig.app->toggleItem->isEnabled(), row.toggleEnabled);
            for (QAction *item : {rig.app->modelItem, rig.app->languageItem, rig.app->engineItem})
                QCOMPARE(item->isEnabled(), row.free);
            QCOMPARE(rig.keys.registered.count(HotkeyManager::cancelId) > 0, row.escape);
            QVERIFY(!rig.app->copyLastItem->isEnabled()); // no dictation yet
        }
    }

    void menuItemsFollowAndChangeTheSettings()
    {
        Rig rig;
        QCOMPARE(titles(rig.app->modelItem->menu(), true), QStringList{"large-v3-turbo"});
        QCOMPARE(titles(rig.app->languageItem->menu(), true), QStringList{"auto"});
        rig.change([](Settings &st) { st.model = "my-finetune"; });
        rig.app->languageItem->menu()->actions().at(1)->trigger(); // Русский
        QVERIFY(titles(rig.app->modelItem->menu(), true).isEmpty());
        QCOMPARE(titles(rig.app->languageItem->menu(), true), QStringList{"ru"});
        rig.app->autoPasteItem->trigger(); // off
        rig.app->cleanSpeechItem->trigger();
        QVERIFY(!rig.app->autoPasteItem->isChecked() && !rig.app->cleanSpeechItem->isChecked());
        const Settings saved = Settings::load();
        QVERIFY(saved.language == "ru" && !saved.autoPaste && !saved.cleanSpeech);
        rig.app->autoPasteItem->trigger(); // on again: the paster is asked (it prompts once per run)
        QCOMPARE(rig.s.accessibilityRequests, 2);
        rig.alerts.engineChoice = Engine::cloud;
        rig.app->showEngine();
        QTRY_COMPARE(rig.app->state()->status(), QStringLiteral("Готово — Alt+Пробел (Nimbrel Cloud)"));
        QVERIFY(!rig.app->modelItem->isEnabled() && rig.app->languageItem->isEnabled()); // the cloud needs no model
        QCOMPARE(Settings::load().engine, Engine::cloud);
    }

    void takenHotKeyIsReportedAndTheMenuStillWorks()
    {
        Rig taken({}, [](Rig &r) { r.keys.taken.push_back({Qt::Key_Space, Qt::AltModifier}); });
        QCOMPARE(taken.alerts.shown, QStringList{"Alt+Пробел занят"});
        taken.app->toggleItem->trigger(); // dictation still works from the menu
        QTRY_COMPARE(taken.app->state()->state(), RecordingState::recording);
        // Without an X server in a Wayland session no key can be held: not "taken", but where to bind the command.
        Rig wayland({}, [](Rig &r) { r.wayland = true, r.keys.missing.push_back(Qt::AltModifier); });
        QCOMPARE(wayland.alerts.shown, QStringList{"Глобальные сочетания клавиш недоступны"});
        Rig refused({}, [](Rig &r) { r.wayland = true; }); // held at first, then the desktop's portal says no
        refused.keys.lost(HotkeyManager::toggleId, HotkeyBackend::unavailable);
        QTRY_COMPARE(refused.alerts.shown, QStringList{"Глобальные сочетания клавиш недоступны"});
    }

    void theHotKeyFromSettingsAndMenu_data()
    {
        QTest::addColumn<QByteArray>("setting"); // JSON
        QTest::addColumn<QString>("held");       // by another program, or missing from the keyboard ("!")
        QTest::addColumn<QString>("choice");     // in the menu afterwards
        QTest::addColumn<QString>("result");     // the key registered at the end
        QTest::addColumn<QStringList>("alerts");
        const QStringList none;
        // clang-format off
        QTest::newRow("by hand") << QByteArray("\" ctrl + ALT+space\"") << "" << "" << "Ctrl+Alt+Space" << none;
        for (const char *bad : {"\"Alt+\"", "\"Shift+A\"", "\"Alt+Escape\"", "\"Alt+Alt+Space\"", "\"Hyper+F1\"", "5"})
            QTest::newRow(bad) << QByteArray(bad) << "" << "" << "Alt+Space" << none;
        QTest::newRow("not on this keyboard") << QByteArray("\"Super+Space\"") << "!Super+Space" << "" << "Alt+Space" << none;
        QTest::newRow("taken, another chosen")
            << QByteArray("null") << "Alt+Space" << "Ctrl+Alt+Пробел" << "Ctrl+Alt+Space" << QStringList{"Alt+Пробел занят"};
        QTest::newRow("the chosen one is taken")
            << QByteArray("null") << "Super+Space" << "Super+Пробел" << "Alt+Space" << QStringList{"Super+Пробел занят"};
        QTest::newRow("F9 chosen, then cancelled") << QByteArray("\"F9\"") << "" << "-" << "F9" << none;
        // clang-format on
    }

    void theHotKeyFromSettingsAndMenu()
    {
        QFETCH(QByteArray, setting);
        QFETCH(QString, held);
        QFETCH(QString, choice);
        QFETCH(QString, result);
        Rig rig({}, [&](Rig &r) {
            TestSupport::writeFile(Settings::path(), "{\"Hotkey\": " + setting + ", \"AutoPaste\": false}");
            const Hotkey key = Hotkey::parse(held.mid(held.startsWith('!'))).value_or(Hotkey{Qt::Key_F35, {}});
            held.startsWith('!') ? r.keys.missing.push_back(key.modifiers)
                                 : r.keys.taken.push_back({key.key, key.modifiers});
        });
        rig.alerts.choice = choice;
        if (!choice.isEmpty())
            rig.app->chooseHotkey();
        QTEST(rig.alerts.shown, "alerts");
        const Hotkey expected = Hotkey::parse(result).value();
        QCOMPARE(rig.keys.registered.at(HotkeyManager::toggleId), std::pair(expected.key, expected.modifiers));
        QCOMPARE(rig.app->statusLine->text(), "Готово — " + expected.label()); // every text names the key in use
        QCOMPARE(rig.app->toggleItem->shortcut(), QKeySequence(expected.key | expected.modifiers));
        const QString written = QJsonDocument::fromJson("[" + setting + "]").array()[0].toString("Alt+Space");
        QCOMPARE(Settings::load().hotkey, choice == expected.label() ? result : written); // else as the user wrote it
        rig.app->state()->set(RecordingState::error, "Разрешите доступ и нажмите ⌥Пробел");
        QCOMPARE(rig.app->statusItem()->toolTip(), "Talvane — Разрешите доступ и нажмите " + expected.label());
    }

    // Run also in a session without a tray host: the window shows there, goes while a tray host runs, and returns.
    void aWindowStandsInForAMissingTray()
    {
        Rig rig;
        StatusWindow *window = rig.app->statusWindow();
        const bool tray = QSystemTrayIcon::isSystemTrayAvailable();
        QCOMPARE(window->isVisible(), !tray);
        if (tray)
            return;
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QCOMPARE(window->statusLine->text(), QStringLiteral("Готово — Alt+Пробел"));
        QCOMPARE(window->menuButton->menu(), rig.app->menu());
        Desktop::screenshot("status-window");
        Desktop::Program host;
        host.process.start("trayer", {"--edge", "bottom", "--widthtype", "request", "--height", "24"});
        QTRY_VERIFY_WITH_TIMEOUT(!window->isVisible(), 10000);
        host.process.kill(), host.process.waitForFinished();
        QTRY_VERIFY_WITH_TIMEOUT(window->isVisible(), 10000);
        QVERIFY(window->close()); // the program's own close, as at quit, is never refused
    }

    // The light symbols get a dark rim: readable on a light panel, and still light on a dark one.
    void iconsReadOnLightAndDarkPanels()
    {
        const QList<QColor> panels{Qt::white, QColor(235, 235, 235), Qt::black, QColor(45, 45, 48)};
        QImage shown(48 * 5, 48 * 4, QImage::Format_RGB32); // a row per panel, a column per state
        QPainter painter(&shown);
        for (int row = 0; row < 4; ++row) {
            painter.fillRect(0, row * 48, shown.width(), 48, panels[row]);
            for (int state = 0; state < 5; ++state)
                painter.drawPixmap(state * 48, row * 48, TrayIcons::icon(RecordingState(state)).pixmap(48, 48));
            // On the 24-unit grid: the strokes at x = 2.5 (the loading circle) and 8.5 (the idle mic) units, the rim
            // just outside them.
            for (const auto &[state, x, y] :
                 {std::tuple{RecordingState::loading, 5, 24}, {RecordingState::idle, 17, 16}}) {
                const QPoint stroke(int(state) * 48 + x, row * 48 + y);
                QVERIFY(qGray(shown.pixel(stroke)) > 200 && qGray(shown.pixel(stroke - QPoint(3, 0))) < 80);
            }
        }
        Desktop::keep(shown, "icons-on-panels");
    }

    void firstRunWithoutAModelAsksAndExplains()
    {
        QFile::remove(QString::fromStdString(Paths::modelFile(Settings().model.toStdString()).string()));
        Rig rig({}, [](Rig &r) { r.s.loaded = false; });
        QCOMPARE(rig.alerts.shown, QStringList{"Скачать модель large-v3-turbo?"}); // answered "Не сейчас"
        QCOMPARE(rig.app->statusLine->text(), QStringLiteral("Загрузка модели «large-v3-turbo» отменена"));
        rig.app->toggleItem->trigger(); // dictation from the menu asks again instead of failing silently
        QTRY_COMPARE(rig.alerts.shown.size(), 2);
        QTRY_COMPARE(rig.app->state()->state(), RecordingState::error);
        QCOMPARE(rig.s.starts, 0);
        for (int answer : {-1, 0, 1})
            QCOMPARE((rig.alerts.answer = answer, rig.app->askToDownload("small", "466 МБ", "/m")), answer == 1);
        rig.s.holdDownload = true; // "Скачать" (answer 1), then stopped from the menu
        rig.app->toggleItem->trigger();
        QTRY_VERIFY(rig.app->cancelDownloadItem->isVisible());
        rig.app->cancelDownloadItem->trigger(), rig.s.holdDownload = false;
        QTRY_COMPARE(rig.app->statusLine->text(), QStringLiteral("Загрузка модели «large-v3-turbo» отменена"));
        QVERIFY(!rig.app->cancelDownloadItem->isVisible());
    }

    void recentDictationsInTheMenu() // one line of 40 characters each (a letter with its accent is one)
    {
        Rig rig({}, [](Rig &) { TestSupport::writeFile(Settings::path(), R"({"CleanSpeech": false})"); });
        const QString accented = QStringLiteral("е\u0301");
        for (const QString &text : {QStringLiteral("первая"), "вторая & «третья»\nстрока " + accented.repeated(40)}) {
            rig.s.localText = text;
            for (RecordingState next : {RecordingState::recording, RecordingState::idle}) {
                rig.app->toggleDictation();
                QTRY_COMPARE(rig.app->state()->state(), next);
            }
        }
        const QString cut = "вторая && «третья» строка " + accented.repeated(15) + "…";
        QCOMPARE(titles(rig.app->recentItem->menu()), QStringList({cut, "первая"}));
        rig.app->recentItem->menu()->actions().at(1)->trigger();
        QCOMPARE(rig.s.copied, QStringList{"первая"});
        QVERIFY(TestSupport::logLines().filter("первая").isEmpty() &&
                !TestSupport::readFile(Settings::path()).contains("первая"));
    }

    void launchAtLoginRefusals()
    {
        const QString temporary = QStringLiteral("/tmp/.mount_talvaXYZ/usr/bin/talvane");
        Rig rig(temporary);
        rig.app->autostartItem->trigger();
        QVERIFY(!Autostart::isOn(rig.autostart(), temporary));
        QCOMPARE(rig.alerts.shown.size(), 1);
        Autostart::set(true, rig.autostart(), temporary);
        rig.app->autostartItem->trigger(); // turning it off is never refused
        QVERIFY(!Autostart::isOn(rig.autostart(), temporary));

        Rig blocked(QStringLiteral("/usr/bin/talvane"));
        TestSupport::writeFile(blocked.autostart(), "a file where the folder goes");
        blocked.app->autostartItem->trigger();
        QCOMPARE(blocked.alerts.shown, QStringList{"Автозапуск не изменился"});
        QVERIFY(!blocked.app->autostartItem->isChecked());
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
        QVERIFY(!rig.app->statusLine->isEnabled() && rig.app->toggleItem->isEnabled());
        QVERIFY(brightest(rig.app->statusLine) < brightest(rig.app->toggleItem) * 3 / 4);
    }

    void levelBars()
    {
        const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
        // levels fed, then the two newest bars; a broken reading counts as silence and does not stick
        // clang-format off
        for (const auto &[levels, newest, previous] : {std::tuple{QList<float>(50, 0.0f), 0.02f, 0.02f}, {QList<float>{0, 0, 1}, 0.6f, 0.02f}, {QList<float>{1, 0}, 0.45f, 0.6f},
                                                       {QList<float>{1, 0, 0.5f}, 0.48f, 0.45f}, {QList<float>{1, nan}, 0.45f, 0.6f}, {QList<float>{inf, -1, 1}, 0.6f, 0.02f}, {QList<float>(30, 0.3f), 0.3f, 0.3f}}) {
            // clang-format on
            WaveformView view;
            for (float level : levels)
                view.advance(level);
            QVERIFY2(std::abs(view.bars()[39] - newest) < 1e-4 && std::abs(view.bars()[38] - previous) < 1e-4,
                     qPrintable(QString::number(view.bars()[39])));
            for (int i = 0; i < 39; ++i) // the history scrolls left
                view.advance(0);
            QVERIFY(std::abs(view.bars()[0] - newest) < 1e-4);
        }
    }

    // Text from outside (never shown as rich text) and of any length fits the banner.
    void bannerTextWrapsAndGrows()
    {
        Banner shortBanner(QStringLiteral("Заголовок"), QStringLiteral("Текст"));
        Banner longBanner(QStringLiteral("Заголовок"), QStringLiteral("<b>очень</b> длинный текст ").repeated(20));
        QCOMPARE(longBanner.width(), 320);
        QVERIFY(longBanner.height() > shortBanner.height() + 50);
        QCOMPARE(longBanner.findChildren<QLabel *>().last()->textFormat(), Qt::PlainText);
    }
};

TALVANE_GUI_TEST_MAIN(AppTest)
#include "AppTest.moc"
