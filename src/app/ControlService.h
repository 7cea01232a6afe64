#pragma once

#include <QObject>
#include <QString>

#include <functional>

// Talvane on the session bus, as cloud.nimbrel.Talvane: other programs, desktop shortcuts
// and `talvane --toggle` drive the running copy through it, in every session (an X11
// desktop, or a Wayland one that gives programs no global keys). The bus also keeps a
// second copy from starting. Only the session bus: other users' programs cannot reach it.
class ControlService : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "cloud.nimbrel.Talvane")
    Q_PROPERTY(QString Status READ status)

public:
    static constexpr const char *service = "cloud.nimbrel.Talvane";
    static constexpr const char *path = "/cloud/nimbrel/Talvane";

    struct Commands
    {
        std::function<void()> toggle, cancel, copyLastDictation;
        std::function<QString()> status;
    };

    // Publishes the object on the session bus (logged when there is none).
    explicit ControlService(Commands commands, QObject *parent = nullptr);
    ~ControlService() override;

    QString status() const { return commands.status(); }
    // Sends PropertiesChanged for Status when the status line differs from the last one sent.
    void statusChanged();

    // Takes the bus name for this process: false when another copy holds it. Without a
    // session bus there is nothing to hold, and the program starts.
    static bool claimName();
    // `talvane --toggle`, `--cancel`, `--status`: the call to the running copy, and the
    // exit code (1, with a message, when none runs).
    static int command(const QString &option);

public Q_SLOTS:
    void Toggle() { commands.toggle(); }
    void Cancel() { commands.cancel(); }
    void CopyLastDictation() { commands.copyLastDictation(); }

private:
    Commands commands;
    QString lastStatus;
    bool published = false;
};
