#pragma once

#include <QString>

#include <unicode/unistr.h>

// Qt's and ICU's strings are both UTF-16: the conversions copy code units as they are, so
// positions count the same on both sides.
namespace IcuText {

inline icu::UnicodeString toIcu(const QString &text)
{
    return icu::UnicodeString(reinterpret_cast<const char16_t *>(text.utf16()), static_cast<int32_t>(text.size()));
}

inline QString toQt(const icu::UnicodeString &text)
{
    return QString(reinterpret_cast<const QChar *>(text.getBuffer()), text.length());
}

} // namespace IcuText
