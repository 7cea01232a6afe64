#pragma once

#include "platform/Settings.h"

#include <QString>
#include <QStringList>

#include <optional>

// The program's modal alerts. The application shows them with message boxes brought to
// the front; tests answer them with a script.
class Alerts
{
public:
    virtual ~Alerts() = default;
    // An alert with one button "Понятно".
    virtual void inform(const QString &message, const QString &text) = 0;
    // An alert with `buttons` (the first is the default); the index of the button pressed,
    // or -1 when the alert was closed another way.
    virtual int ask(const QString &message, const QString &text, const QStringList &buttons) = 0;
    // The recognition-place form: the place chosen, or nothing when cancelled.
    virtual std::optional<Engine> askForEngine(Engine current) = 0;
    // One of `options` (`current` selected at first): the index chosen, or nothing when cancelled.
    virtual std::optional<int> choose(const QString &message, const QStringList &options, int current) = 0;
    // Opens a file or folder with the desktop's default application.
    virtual void open(const QString &path) = 0;
    // Opens a file with the desktop's application for plain text, whatever its name says it is.
    virtual void openAsText(const QString &path) = 0;
};

// Alerts as message boxes on screen.
class MessageBoxAlerts : public Alerts
{
public:
    void inform(const QString &message, const QString &text) override;
    int ask(const QString &message, const QString &text, const QStringList &buttons) override;
    std::optional<Engine> askForEngine(Engine current) override;
    std::optional<int> choose(const QString &message, const QStringList &options, int current) override;
    void open(const QString &path) override;
    void openAsText(const QString &path) override;
};
