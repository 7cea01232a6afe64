#pragma once

#include <QString>

// User texts name keys the way the platform's keyboard labels them: "⌥Пробел" and "⌘V"
// read "Alt+Пробел" and "Ctrl+V" on Linux.
inline QString withPlatformKeys(QString text)
{
    static const struct
    {
        const char16_t *mac;
        const char16_t *here;
    } names[] = {{u"⌥Пробел", u"Alt+Пробел"}, {u"⌘V", u"Ctrl+V"}};
    for (const auto &name : names)
        text.replace(QString::fromUtf16(name.mac), QString::fromUtf16(name.here));
    return text;
}
