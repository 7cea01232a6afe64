#pragma once

#include "app/Alerts.h"
#include "dictation/AppState.h"
#include "platform/KeyNames.h"

#include <QAction>
#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

class HotkeyBackend;
class HotkeyManager;
class ReminderNotifier;
class StatusWindow;
class ControlService;

// The tray application: creates the long-lived objects at launch, wires them together,
// owns the tray icon with its menu, and keeps both in step with the dictation controller.
class TalvaneApp : public QObject
{
    Q_OBJECT

public:
    // Everything the application takes from its surroundings; the program passes the real
    // desktop, tests pass doubles.
    struct Environment
    {
        std::function<AppState::Collaborators()> collaborators;
        std::function<std::unique_ptr<HotkeyBackend>()> hotkeyBackend;
        std::unique_ptr<Alerts> alerts;
        QString autostartFolder;
        std::optional<QString> executable; // absent: launch at login is not offered
        // A Wayland session: programs get no global keys there (an X11 grab reaches only XWayland windows).
        bool wayland = false;
    };

    explicit TalvaneApp(Environment environment, QObject *parent = nullptr);
    ~TalvaneApp() override;

    // The launch sequence; the first preparation of the recogniser starts at its end.
    void launch();
    // Termination hook.
    void quitting();

    // Brings the menu, the icon and the tooltip in step with the controller.
    void refresh();
    bool askToDownload(const QString &model, const QString &size, const QString &folder);

    // The menu's commands.
    void toggleDictation();
    void copyLastDictation();
    void toggleAutoPaste();
    void toggleCleanSpeech();
    void toggleAutostart();
    void chooseModel(const QString &name);
    void chooseLanguage(const QString &code);
    void showEngine();
    void chooseHotkey();
    // Moves the dictation to `key`: saved and named in the texts when it could be had, else an alert.
    void changeHotkey(const Hotkey &key);
    void editVocabulary();
    void openLog();
    void openModelsFolder();
    void showAbout();
    void quit();

    AppState *state() const { return controller.get(); }
    HotkeyManager *hotkeys() const { return keys.get(); }
    ReminderNotifier *notifier() const { return notices.get(); }
    QSystemTrayIcon *statusItem() const { return tray.get(); }
    QMenu *menu() const { return trayMenu.get(); }
    // The window that stands in for the tray icon while no tray host runs; hidden otherwise.
    StatusWindow *statusWindow() const { return window.get(); }

    QAction *statusLine = nullptr;
    QAction *toggleItem = nullptr;
    QAction *copyLastItem = nullptr;
    QAction *autoPasteItem = nullptr;
    QAction *cleanSpeechItem = nullptr;
    QAction *autostartItem = nullptr;
    QAction *modelItem = nullptr;
    QAction *languageItem = nullptr;
    QAction *engineItem = nullptr;
    QAction *cancelDownloadItem = nullptr; // shown while a model downloads
    QAction *recentItem = nullptr;         // the submenu of recent dictations

    // A recent dictation as its menu item shows it: one line, at most 40 characters.
    static QString recentTitle(const QString &text);

    static QString version();
    // Whether `executable` runs from a place that is gone at the next login.
    static bool runsFromTemporaryPlace(const QString &executable);

private:
    void buildMenu();
    void wire();
    // Shows the status window exactly while no tray host runs.
    void followTrayHost();
    // The desktop gives Talvane no global keys: the advice to bind talvane --toggle in its settings. `refused`:
    // it was asked (through its portal) and said no, or never answered.
    void adviseDesktopShortcut(bool refused);

    Environment env;
    std::unique_ptr<AppState> controller;
    std::unique_ptr<HotkeyManager> keys;
    std::unique_ptr<QSystemTrayIcon> tray;
    std::unique_ptr<QMenu> trayMenu;
    QMenu *modelMenu = nullptr;
    QMenu *languageMenu = nullptr;
    QMenu *recentMenu = nullptr;
    std::unique_ptr<StatusWindow> window;
    QTimer trayWatch;
    std::unique_ptr<ReminderNotifier> notices;
    std::unique_ptr<ControlService> control; // the session-bus interface: talvane --toggle and others
};
