#pragma once

#include <QList>
#include <QString>

#include <Qt>
#include <optional>

// A key with the modifiers that must be held with it: the dictation hot key.
struct Hotkey
{
    Qt::Key key = Qt::Key_Space;
    Qt::KeyboardModifiers modifiers = Qt::AltModifier;

    // "Ctrl+Alt+Space", "Super+Space", "F9" (as settings.json writes it; case and spaces do not matter).
    // Nothing for text that names no key, a key we do not grab, or a key that would take typing away
    // (a letter, a digit or Space without Ctrl, Alt or Super; Escape, which cancels a dictation).
    static std::optional<Hotkey> parse(const QString &text);
    // The form parse() reads back; also the name in the log.
    QString text() const;
    // The name in user texts: "Ctrl+Alt+Пробел".
    QString label() const;

    // The combinations the menu offers, the default first.
    static QList<Hotkey> offered();

    bool operator==(const Hotkey &) const = default;
};

// User texts name keys the way the platform's keyboard labels them: "⌥Пробел" (the dictation hot key) reads
// as `hotkey`'s label, "⌘V" as "Ctrl+V".
QString withPlatformKeys(QString text, const Hotkey &hotkey = {});
