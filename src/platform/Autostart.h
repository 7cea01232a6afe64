#pragma once

#include <QByteArray>
#include <QString>

#include <optional>
#include <stdexcept>

// Launch at login: a per-user entry that starts the running executable when the user
// logs in. On Linux that is an XDG autostart entry; the launch-agent property list is the
// macOS form of the same thing. Only the file is written or removed: it takes effect at
// the next login.
namespace Autostart {

// How the entry is stored on one platform.
struct Format
{
    QString fileName;
    // The entry that starts `executable`.
    QByteArray (*entry)(const QString &executable);
    // The executable an existing entry starts, absent when the file is not a usable entry
    // (malformed, foreign, switched off).
    std::optional<QString> (*startedProgram)(const QByteArray &file);
};

const Format &xdgEntry();    // cloud.nimbrel.talvane.desktop in ~/.config/autostart
const Format &launchAgent(); // cloud.nimbrel.talvane.plist in ~/Library/LaunchAgents

struct Error : std::runtime_error
{
    using std::runtime_error::runtime_error;
};

// The running executable when the program is installed; absent when it runs from its
// build tree, where an entry would point at a binary the next build replaces.
std::optional<QString> executable();

// The folder this platform's entries live in ($XDG_CONFIG_HOME/autostart).
QString folder();

// Whether the entry in `folder` starts exactly `executable`. Never an error.
bool isOn(const QString &folder, const std::optional<QString> &executable, const Format &format = xdgEntry());

// Writes the entry (on, with an executable) or removes it (off, or no executable).
// Throws Error when the folder or file cannot be written or removed.
void set(bool on, const QString &folder, const std::optional<QString> &executable,
         const Format &format = xdgEntry());

} // namespace Autostart
