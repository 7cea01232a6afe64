#pragma once

#include <QDBusConnection>
#include <QHash>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

// A session bus of the test's own, where the portal's name is free (on the desktop session's bus the real
// xdg-desktop-portal may own it). `withServices`: the real xdg-desktop-portal front end starts on demand.
class PrivateBus
{
public:
    explicit PrivateBus(bool withServices = false);
    ~PrivateBus();
    QDBusConnection connect(); // one more client connection

private:
    QTemporaryDir dir;
    QProcess daemon;
    QString address;
    QStringList names;
};

// The portal with a desktop behind it, answering GlobalShortcuts and RemoteDesktop requests as told: a fake, as
// their real backends need KWin or mutter and a person at their dialogs. It answers from a thread of its own, so
// that a blocking call of the code under test gets its reply.
class FakePortal
{
public:
    static constexpr int silent = -1; // no Response (for "Get": no reply at all)
    // Requests to a method of `answers` end with its Response code (1 cancelled, 2 ended) or stay silent; the
    // others are granted. Start hands out the restore tokens "token-1", "token-2", …
    explicit FakePortal(PrivateBus &bus, QHash<QString, int> answers = {});
    ~FakePortal();

    // What clients asked, in order: "CreateSession", "BindShortcuts toggle=ALT+space cancel=", "SelectDevices 1 2
    // <restore token>", "Start", "Close"; keys as "ffe3+" (down) and "ffe3-" (up).
    QStringList calls() const;
    void activate(const QString &shortcut); // Activated on the last GlobalShortcuts session

    struct State;

private:
    QThread thread;
    std::unique_ptr<State> state;
    QDBusConnection bus;
};
