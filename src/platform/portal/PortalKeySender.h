#pragma once

#include "platform/KeySender.h"
#include "platform/portal/Portal.h"

#include <QObject>

#include <filesystem>
#include <memory>

// Synthetic key presses through the desktop's RemoteDesktop portal (GNOME, KDE Plasma on Wayland). The desktop
// asks the user once whether Talvane may control the keyboard; the answer comes with a restore token that later
// starts use to skip the question, kept in a file only its owner may read and never logged.
class PortalKeySender : public QObject, public KeySender
{
    Q_OBJECT
public:
    // The restore token lives in `tokenFile`.
    explicit PortalKeySender(QDBusConnection bus = QDBusConnection::sessionBus(), Portal::Bounds bounds = {},
                             std::filesystem::path tokenFile = defaultTokenFile());
    ~PortalKeySender() override;

    // Whether the portal offers RemoteDesktop on `bus`; asks with a short time limit.
    static bool offered(const QDBusConnection &bus = QDBusConnection::sessionBus(),
                        std::chrono::milliseconds limit = Portal::Bounds{}.probe);
    static std::filesystem::path defaultTokenFile();

    // While a remote desktop session is started.
    bool isTrusted() const override;
    // Opens and starts a session (the desktop's dialog, unless a restore token spares it); does nothing while one
    // is started or being started. A refusal or silence leaves the sender untrusted, and logged.
    void promptForTrust() override;
    // Lets go of Alt, Super, Shift and Ctrl (either side) and sends Ctrl+V, or Ctrl+Shift+V into a terminal.
    void postPaste(const RunningApp &target) override;
    // Until the desktop refused or did not answer: then nothing pastes in this run, and dictations are copied.
    bool canPrompt() const override { return !refused; }

private Q_SLOTS:
    void closed();

private:
    QCoro::Task<> start();
    void fail(const QString &step, uint code);
    void follow(const QString &opened);
    void begin(const QString &token, const QString &saved);
    void key(int keysym, bool down);

    QDBusConnection bus;
    Portal::Bounds bounds;
    std::filesystem::path tokenFile;
    QString session;
    bool started = false, starting = false, refused = false;
    std::shared_ptr<bool> alive = std::make_shared<bool>(true); // for the task that outlives the sender
};
