#include "platform/KeyNames.h"

#include <QStringList>

namespace {

// Modifiers in the order names are written, with the names settings.json and the log use.
constexpr std::pair<Qt::KeyboardModifier, const char *> modifierNames[] = {
    {Qt::ControlModifier, "Ctrl"}, {Qt::AltModifier, "Alt"}, {Qt::ShiftModifier, "Shift"}, {Qt::MetaModifier, "Super"}};

std::optional<Qt::KeyboardModifier> modifierNamed(const QString &name)
{
    for (const auto &[modifier, written] : modifierNames)
        if (name.compare(QLatin1String(written), Qt::CaseInsensitive) == 0)
            return modifier;
    for (const char *other : {"Control", "Meta", "Win"}) // other names people write by hand
        if (name.compare(QLatin1String(other), Qt::CaseInsensitive) == 0)
            return name.startsWith(QLatin1Char('C'), Qt::CaseInsensitive) ? Qt::ControlModifier : Qt::MetaModifier;
    return std::nullopt;
}

std::optional<Qt::Key> keyNamed(const QString &name)
{
    if (name.compare(QLatin1String("Space"), Qt::CaseInsensitive) == 0)
        return Qt::Key_Space;
    if (name.size() == 1 && name[0].isDigit() && name[0].unicode() < 0x80)
        return Qt::Key(name[0].unicode());
    if (name.size() == 1 && name[0].isLetter() && name[0].unicode() < 0x80)
        return Qt::Key(name[0].toUpper().unicode());
    bool number = false;
    const int f = name.mid(1).toInt(&number);
    if (name.startsWith(QLatin1Char('F'), Qt::CaseInsensitive) && number && f >= 1 && f <= 24)
        return Qt::Key(Qt::Key_F1 + f - 1);
    return std::nullopt;
}

} // namespace

std::optional<Hotkey> Hotkey::parse(const QString &text)
{
    QStringList parts = text.split(QLatin1Char('+'));
    const std::optional<Qt::Key> key = keyNamed(parts.takeLast().trimmed());
    if (!key)
        return std::nullopt;
    Hotkey hotkey{*key, Qt::NoModifier};
    for (const QString &part : parts) {
        const auto modifier = modifierNamed(part.trimmed());
        if (!modifier || hotkey.modifiers.testFlag(*modifier))
            return std::nullopt;
        hotkey.modifiers |= *modifier;
    }
    const bool functionKey = *key >= Qt::Key_F1 && *key <= Qt::Key_F24;
    if (!functionKey && !(hotkey.modifiers & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)))
        return std::nullopt;
    return hotkey;
}

QString Hotkey::text() const
{
    QString out;
    for (const auto &[modifier, name] : modifierNames)
        if (modifiers.testFlag(modifier))
            out += QLatin1String(name) + QLatin1Char('+');
    if (key == Qt::Key_Space)
        return out + QStringLiteral("Space");
    if (key >= Qt::Key_F1 && key <= Qt::Key_F24)
        return out + QStringLiteral("F%1").arg(key - Qt::Key_F1 + 1);
    return out + QChar(char16_t(key));
}

QString Hotkey::label() const
{
    QString name = text();
    if (name.endsWith(QLatin1String("Space")))
        name.replace(name.size() - 5, 5, QStringLiteral("Пробел"));
    return name;
}

QList<Hotkey> Hotkey::offered()
{
    return {Hotkey{},
            {Qt::Key_Space, Qt::ControlModifier | Qt::AltModifier},
            {Qt::Key_Space, Qt::MetaModifier},
            {Qt::Key_Space, Qt::ControlModifier | Qt::ShiftModifier},
            {Qt::Key_F9, Qt::NoModifier}};
}

QString withPlatformKeys(QString text, const Hotkey &hotkey)
{
    text.replace(QStringLiteral("⌥Пробел"), hotkey.label());
    return text.replace(QStringLiteral("⌘V"), QStringLiteral("Ctrl+V"));
}
