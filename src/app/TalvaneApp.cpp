#include "app/TalvaneApp.h"

#include "app/ControlService.h"

#include "app/ReminderNotifier.h"
#include "app/StatusWindow.h"
#include "app/TrayIcons.h"
#include "dictation/HotkeyManager.h"
#include "platform/Autostart.h"
#include "platform/HotkeyBackend.h"
#include "platform/KeyNames.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "recognition/ModelCatalogue.h"

#include <QApplication>
#include <QCoro/QCoroTask>
#include <QFile>
#include <QPalette>
#include <QPointer>
#include <QStyleFactory>
#include <QTextBoundaryFinder>
#include <QTimer>

#include <filesystem>

namespace {

// The whole application in dark colours, whatever the desktop's theme.
void useDarkAppearance()
{
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QPalette dark;
    const QColor window(45, 45, 48), base(30, 30, 32), text(236, 236, 236), accent(91, 157, 217);
    dark.setColor(QPalette::Window, window);
    dark.setColor(QPalette::WindowText, text);
    dark.setColor(QPalette::Base, base);
    dark.setColor(QPalette::AlternateBase, window);
    dark.setColor(QPalette::ToolTipBase, base);
    dark.setColor(QPalette::ToolTipText, text);
    dark.setColor(QPalette::Text, text);
    dark.setColor(QPalette::PlaceholderText, QColor(160, 160, 165));
    dark.setColor(QPalette::Button, window);
    dark.setColor(QPalette::ButtonText, text);
    dark.setColor(QPalette::BrightText, Qt::white);
    dark.setColor(QPalette::Highlight, accent);
    dark.setColor(QPalette::HighlightedText, Qt::black);
    dark.setColor(QPalette::Link, accent);
    dark.setColor(QPalette::Disabled, QPalette::Text, QColor(120, 120, 125));
    dark.setColor(QPalette::Disabled, QPalette::WindowText, QColor(120, 120, 125));
    dark.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(120, 120, 125));
    // Fusion etches disabled text with the Light colour; the light theme's white would make disabled menu
    // items brighter than enabled ones.
    dark.setColor(QPalette::Disabled, QPalette::Light, base);
    QApplication::setPalette(dark);
}

// The hot key the settings name; the default when they name none we can use.
Hotkey chosenHotkey(const Settings &settings)
{
    if (const auto key = Hotkey::parse(settings.hotkey))
        return *key;
    Log::info(QStringLiteral("Settings: \"%1\" is no hot key Talvane can use — using %2")
                  .arg(settings.hotkey, Hotkey{}.text()));
    return {};
}

QString executablePath()
{
    std::error_code error;
    const auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? QStringLiteral("?") : QString::fromStdString(path.string());
}

} // namespace

TalvaneApp::TalvaneApp(Environment environment, QObject *parent)
    : QObject(parent), env(std::move(environment))
{
}

TalvaneApp::~TalvaneApp() = default;

QString TalvaneApp::version()
{
    return QStringLiteral(TALVANE_VERSION);
}

bool TalvaneApp::runsFromTemporaryPlace(const QString &executable)
{
    return executable.startsWith(QLatin1String("/tmp/")) || executable.startsWith(QLatin1String("/var/tmp/")) ||
           executable.contains(QLatin1String("/.mount_")) || executable.startsWith(QLatin1String("/Volumes/Talvane")) ||
           executable.contains(QLatin1String("/AppTranslocation/"));
}

void TalvaneApp::launch()
{
    Log::info(QStringLiteral("Talvane %1 starting").arg(version()));
    Log::info(QStringLiteral("Executable: ") + executablePath());
    Log::info(QStringLiteral("Support folder: ") + QString::fromStdString(Paths::supportDir().string()));
    useDarkAppearance();
    controller = std::make_unique<AppState>(env.collaborators());
    keys = std::make_unique<HotkeyManager>(env.hotkeyBackend(), chosenHotkey(controller->settings()));
    controller->setHotkey(keys->toggleKey());
    tray = std::make_unique<QSystemTrayIcon>();
    buildMenu();
    wire();
    Log::info(QStringLiteral("Session: ") + (env.wayland ? QStringLiteral("Wayland") : QStringLiteral("X11")));
    if (env.wayland && !keys->toggleRegistered()) // not "taken": the desktop gives programs no global keys at all
        adviseDesktopShortcut(false);
    else if (!keys->toggleRegistered())
        env.alerts->inform(withPlatformKeys(QStringLiteral("⌥Пробел занят"), keys->toggleKey()),
                           QStringLiteral("Это сочетание уже использует другая программа. Talvane запустится, но "
                                          "начинать диктовку придётся из меню значка Talvane на панели. Там же, в "
                                          "пункте «Сочетание клавиш…», можно выбрать другое."));
    if (controller->settings().autoPaste)
        controller->paster().requestAccessibilityIfNeeded();
    refresh();
    tray->show();
    // Qt says nothing when a tray host comes or goes: a cheap look every few seconds.
    connect(&trayWatch, &QTimer::timeout, this, &TalvaneApp::followTrayHost);
    trayWatch.start(std::chrono::seconds(2));
    followTrayHost();
    AppState *state = controller.get();
    state->schedule([state] { return state->prepare(); });
}

void TalvaneApp::adviseDesktopShortcut(bool refused)
{
    env.alerts->inform(QStringLiteral("Глобальные сочетания клавиш недоступны"),
                       (refused ? QStringLiteral("Рабочий стол не подтвердил сочетание клавиш для Talvane. ")
                                : QStringLiteral("Этот рабочий стол (Wayland) не даёт программам глобальных "
                                                 "сочетаний клавиш. ")) +
                           QStringLiteral("Назначьте команду «talvane --toggle» на удобное сочетание в настройках "
                                          "клавиатуры рабочего стола (для отмены — «talvane --cancel»). До тех пор "
                                          "диктовку можно начинать из меню значка Talvane на панели."));
}

void TalvaneApp::followTrayHost()
{
    const bool hosted = QSystemTrayIcon::isSystemTrayAvailable();
    if (hosted == window->isHidden())
        return;
    Log::info(hosted ? QStringLiteral("Tray host found — the status window goes")
                     : QStringLiteral("No tray host — showing the status window"));
    window->setVisible(!hosted);
}

void TalvaneApp::wire()
{
    QPointer<TalvaneApp> self(this);
    control = std::make_unique<ControlService>(ControlService::Commands{
        [self] { self ? self->controller->toggle() : void(); },
        [self] { self ? self->controller->cancel() : void(); },
        [self] { self ? self->controller->copyLastDictation() : void(); },
        [self] { return self ? self->controller->status() : QString(); }});
    keys->onToggle = [self] {
        if (self)
            self->controller->toggle();
    };
    keys->onCancel = [self] {
        if (self)
            self->controller->cancel();
    };
    keys->onToggleLost = [self] {
        // Later, not inside the backend's answer: the alert runs an event loop of its own.
        if (self)
            QTimer::singleShot(0, self.data(), [self] { self->adviseDesktopShortcut(true); });
    };
    controller->onChange = [self] {
        if (self)
            self->refresh();
    };
    controller->confirmDownload = [self](const QString &model, const QString &size, const QString &folder) {
        return self && self->askToDownload(model, size, folder);
    };
    notices = std::make_unique<ReminderNotifier>([self]() -> std::optional<QRect> {
        if (!self || !self->tray)
            return std::nullopt;
        // Without a tray the status window is where the user looks.
        const QRect where = self->window->isVisible() ? self->window->frameGeometry() : self->tray->geometry();
        return where.isValid() && !where.isEmpty() ? std::optional<QRect>(where) : std::nullopt;
    });
    notices->onClick = [self](std::optional<ReminderKind> kind) {
        if (self && kind == ReminderKind::notPasted)
            self->controller->copyLastDictation();
    };
    controller->notPasted = [self] {
        if (!self)
            return;
        self->notices->show(
            QStringLiteral("Текст не вставился"),
            withPlatformKeys(QStringLiteral("Нажмите сюда, чтобы скопировать его, и вставьте ⌘V. Он есть "
                                            "и в меню: «Скопировать последнюю диктовку»."),
                             self->keys->toggleKey()),
            ReminderKind::notPasted);
    };
}

void TalvaneApp::quitting()
{
    // The clipboard a dictation still borrows goes back now: at quit the clipboard manager
    // takes what is there.
    controller->paster().putBack();
}

bool TalvaneApp::askToDownload(const QString &model, const QString &size, const QString &folder)
{
    const QString host = ModelCatalogue::downloadUrl(model).host();
    const int answer = env.alerts->ask(QStringLiteral("Скачать модель %1?").arg(model),
                                       QStringLiteral("Модель распознавания ещё не скачана.\n\nРазмер: %1\nКуда: %2\n"
                                                      "Откуда: %3")
                                           .arg(size, folder, host),
                                       {QStringLiteral("Не сейчас"), QStringLiteral("Скачать")});
    return answer == 1;
}

void TalvaneApp::buildMenu()
{
    trayMenu = std::make_unique<QMenu>();
    QMenu *menu = trayMenu.get();
    auto add = [&](const QString &title, void (TalvaneApp::*action)()) {
        QAction *item = menu->addAction(title);
        if (action)
            connect(item, &QAction::triggered, this, action);
        return item;
    };

    statusLine = add(QStringLiteral("Запуск…"), nullptr);
    statusLine->setEnabled(false);
    cancelDownloadItem = add(QStringLiteral("Отменить загрузку"), nullptr);
    connect(cancelDownloadItem, &QAction::triggered, this, [this] { controller->cancelDownload(); });
    menu->addSeparator();
    toggleItem = add(QStringLiteral("Начать диктовку"), &TalvaneApp::toggleDictation);
    copyLastItem = add(QStringLiteral("Скопировать последнюю диктовку"), &TalvaneApp::copyLastDictation);
    recentMenu = new QMenu(QStringLiteral("Последние диктовки"), menu);
    recentItem = menu->addMenu(recentMenu);
    autoPasteItem = add(QStringLiteral("Вставлять автоматически"), &TalvaneApp::toggleAutoPaste);
    autoPasteItem->setCheckable(true);
    cleanSpeechItem = add(QStringLiteral("Убирать «эээ», оговорки и делать списки"), &TalvaneApp::toggleCleanSpeech);
    cleanSpeechItem->setCheckable(true);
    autostartItem = add(QStringLiteral("Запускать при входе в систему"), &TalvaneApp::toggleAutostart);
    autostartItem->setCheckable(true);

    modelMenu = new QMenu(QStringLiteral("Модель"), menu);
    for (const auto &[name, size] : ModelCatalogue::models()) {
        QAction *item = modelMenu->addAction(name + QStringLiteral("  ·  ") + size);
        item->setData(name);
        item->setCheckable(true);
        connect(item, &QAction::triggered, this, [this, item] {
            if (item->data().typeId() == QMetaType::QString)
                chooseModel(item->data().toString());
        });
    }
    modelItem = menu->addMenu(modelMenu);

    languageMenu = new QMenu(QStringLiteral("Язык"), menu);
    const std::pair<const char *, const char *> languages[] = {
        {"Определять сам", "auto"}, {"Русский", "ru"}, {"English", "en"}};
    for (const auto &[title, code] : languages) {
        QAction *item = languageMenu->addAction(QString::fromUtf8(title));
        item->setData(QString::fromLatin1(code));
        item->setCheckable(true);
        connect(item, &QAction::triggered, this, [this, item] {
            if (item->data().typeId() == QMetaType::QString)
                chooseLanguage(item->data().toString());
        });
    }
    languageItem = menu->addMenu(languageMenu);
    engineItem = add(QStringLiteral("Где распознавать…"), &TalvaneApp::showEngine);
    add(QStringLiteral("Сочетание клавиш…"), &TalvaneApp::chooseHotkey);
    menu->addSeparator();
    add(QStringLiteral("Словарь подсказок…"), &TalvaneApp::editVocabulary);
    add(QStringLiteral("Открыть лог"), &TalvaneApp::openLog);
    add(QStringLiteral("Папка с моделями"), &TalvaneApp::openModelsFolder);
    add(QStringLiteral("О программе"), &TalvaneApp::showAbout);
    menu->addSeparator();
    QAction *quitItem = add(QStringLiteral("Выйти из Talvane"), &TalvaneApp::quit);
    quitItem->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));

    // The menu is brought up to date just before it opens.
    connect(menu, &QMenu::aboutToShow, this, &TalvaneApp::refresh);
    tray->setContextMenu(menu);
    window = std::make_unique<StatusWindow>(menu);
    // A left click opens the same menu, as a tray item's click does elsewhere.
    connect(tray.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger)
            trayMenu->popup(QCursor::pos());
    });
}

void TalvaneApp::refresh()
{
    const RecordingState s = controller->state();
    const Settings &st = controller->settings();
    statusLine->setText(controller->status());
    control->statusChanged();
    toggleItem->setText(s == RecordingState::recording ? QStringLiteral("Остановить и распознать")
                                                       : QStringLiteral("Начать диктовку"));
    toggleItem->setEnabled(s == RecordingState::idle || s == RecordingState::recording || s == RecordingState::error);
    const Hotkey hotkey = keys->toggleKey();
    toggleItem->setShortcut(QKeySequence(hotkey.key | hotkey.modifiers));
    copyLastItem->setEnabled(controller->lastDictation().has_value());
    autoPasteItem->setChecked(st.autoPaste);
    cleanSpeechItem->setChecked(st.cleanSpeech);
    autostartItem->setChecked(Autostart::isOn(env.autostartFolder, env.executable));
    autostartItem->setEnabled(env.executable.has_value());
    const bool free = s == RecordingState::idle || s == RecordingState::error;
    modelItem->setEnabled(free && st.engine == Engine::local);
    languageItem->setEnabled(free);
    engineItem->setEnabled(free);
    for (QAction *item : modelMenu->actions())
        item->setChecked(item->data().toString() == st.model);
    for (QAction *item : languageMenu->actions())
        item->setChecked(item->data().toString() == st.language);
    keys->setCancelEnabled(s == RecordingState::recording || s == RecordingState::transcribing);
    cancelDownloadItem->setVisible(controller->downloading());
    recentMenu->clear();
    const auto &recent = controller->recentDictations();
    for (size_t i = 0; i < recent.size(); ++i)
        connect(recentMenu->addAction(recentTitle(recent[i])), &QAction::triggered, this,
                [this, i] { controller->copyDictation(i); });
    recentItem->setEnabled(!recent.empty());
    const QIcon icon = TrayIcons::icon(s);
    tray->setIcon(icon);
    tray->setToolTip(QStringLiteral("Talvane — ") + controller->status());
    window->setStatus(icon, controller->status());
}

QString TalvaneApp::recentTitle(const QString &text)
{
    const QString line = text.simplified();
    QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, line);
    int count = 0;
    while (count < 40 && graphemes.toNextBoundary() >= 0)
        ++count;
    const qsizetype cut = graphemes.position() < 0 ? line.size() : graphemes.position();
    QString title = line.left(cut) + (cut < line.size() ? QStringLiteral("…") : QString());
    return title.replace(QLatin1Char('&'), QStringLiteral("&&")); // a plain ampersand, not a mnemonic
}

void TalvaneApp::toggleDictation()
{
    controller->toggle();
}

void TalvaneApp::copyLastDictation()
{
    controller->copyLastDictation();
}

void TalvaneApp::toggleAutoPaste()
{
    controller->changeSettings([](Settings &s) { s.autoPaste = !s.autoPaste; });
    if (controller->settings().autoPaste)
        controller->paster().requestAccessibilityIfNeeded();
}

void TalvaneApp::toggleCleanSpeech()
{
    controller->changeSettings([](Settings &s) { s.cleanSpeech = !s.cleanSpeech; });
}

void TalvaneApp::toggleAutostart()
{
    if (!env.executable)
        return;
    const bool on = Autostart::isOn(env.autostartFolder, env.executable);
    if (!on && runsFromTemporaryPlace(*env.executable)) {
        env.alerts->inform(QStringLiteral("Сначала установите Talvane"),
                           QStringLiteral("Программа запущена из временной папки, и при следующем входе её здесь не "
                                          "будет. Установите Talvane, запустите установленную копию и включите "
                                          "автозапуск."));
        return;
    }
    try {
        Autostart::set(!on, env.autostartFolder, env.executable);
    } catch (const std::exception &e) {
        Log::write("ERROR", std::string("Autostart write failed: ") + e.what());
        env.alerts->inform(
            QStringLiteral("Автозапуск не изменился"),
            QStringLiteral("Система не дала записать настройку. Подробности — в логе: меню → Открыть лог."));
    }
    refresh();
}

void TalvaneApp::chooseModel(const QString &name)
{
    AppState *state = controller.get();
    state->schedule([state, name] { return state->changeModel(name); });
}

void TalvaneApp::chooseLanguage(const QString &code)
{
    controller->changeLanguage(code);
}

void TalvaneApp::showEngine()
{
    const auto engine = env.alerts->askForEngine(controller->settings().engine);
    if (!engine)
        return;
    AppState *state = controller.get();
    state->schedule([state, value = *engine] { return state->changeEngine(value); });
}

void TalvaneApp::chooseHotkey()
{
    QList<Hotkey> options = Hotkey::offered();
    if (!options.contains(keys->toggleKey()))
        options.append(keys->toggleKey());
    QStringList labels;
    for (const Hotkey &key : options)
        labels << key.label();
    const auto chosen = env.alerts->choose(QStringLiteral("Сочетание клавиш для диктовки"), labels,
                                           int(options.indexOf(keys->toggleKey())));
    if (chosen && *chosen >= 0 && *chosen < options.size())
        changeHotkey(options[*chosen]);
}

void TalvaneApp::changeHotkey(const Hotkey &key)
{
    const int status = keys->changeToggle(key);
    if (status == 0) {
        controller->changeSettings([&key](Settings &s) { s.hotkey = key.text(); });
        controller->setHotkey(key);
        return;
    }
    refresh();
    env.alerts->inform(withPlatformKeys(status == HotkeyBackend::taken ? QStringLiteral("⌥Пробел занят")
                                                                       : QStringLiteral("⌥Пробел недоступно"),
                                        key),
                       status == HotkeyBackend::taken
                           ? QStringLiteral("Это сочетание уже использует другая программа. Выберите другое.")
                           : QStringLiteral("На этой клавиатуре такое сочетание не нажать. Выберите другое."));
}

void TalvaneApp::editVocabulary()
{
    if (!QFile::exists(Settings::path()))
        controller->settings().save();
    env.alerts->inform(QStringLiteral("Словарь подсказок"),
                       QStringLiteral("Сейчас откроется settings.json. Поле «Prompt» — слова, которые Talvane должен "
                                      "писать правильно: имена, названия продуктов, термины. Латиницей, через "
                                      "запятую.\n\nДопишите свои, сохраните файл и перезапустите Talvane."));
    env.alerts->openAsText(Settings::path());
}

void TalvaneApp::openLog()
{
    const QString log = QString::fromStdString((Paths::supportDir() / "talvane.log").string());
    if (QFile::exists(log))
        env.alerts->open(log);
}

void TalvaneApp::openModelsFolder()
{
    env.alerts->open(controller->modelsFolder());
}

void TalvaneApp::showAbout()
{
    env.alerts->inform(QStringLiteral("Talvane %1").arg(version()),
                       QStringLiteral("Версия %1 для Linux\n").arg(version()) +
                           withPlatformKeys(QStringLiteral("Голосовой ввод от Nimbrel Cloud: ⌥Пробел — говорите — "
                                                           "текст встаёт туда, где курсор."),
                                            keys->toggleKey()));
}

void TalvaneApp::quit()
{
    QCoreApplication::quit();
}
