#include "platform/Terminals.h"

#include <QStringList>

bool isTerminal(const QString &windowClass)
{
    // Classes and app ids of terminal emulators, in lower case.
    static const QStringList terminals =
        QStringLiteral("xterm uxterm urxvt rxvt gnome-terminal gnome-terminal-server konsole xfce4-terminal "
                       "mate-terminal lxterminal qterminal terminator tilix kitty alacritty st st-256color sakura "
                       "terminology guake tilda wezterm org.wezfurlong.wezterm foot com.mitchellh.ghostty "
                       "io.elementary.terminal org.gnome.console org.gnome.ptyxis org.gnome.terminal org.kde.konsole")
            .split(QLatin1Char(' '));
    return terminals.contains(windowClass.toLower());
}

void pressPasteChord(const RunningApp &target, const std::function<void(ChordKey key, bool down)> &key)
{
    const bool terminal = isTerminal(target.identifier);
    key(ChordKey::control, true);
    if (terminal)
        key(ChordKey::shift, true);
    key(ChordKey::v, true);
    key(ChordKey::v, false);
    if (terminal)
        key(ChordKey::shift, false);
    key(ChordKey::control, false);
}
