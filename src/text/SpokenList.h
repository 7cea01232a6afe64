#pragma once

#include <QList>
#include <QString>

#include <unicode/unistr.h>

#include <optional>

// The spoken-list step of the cleaner: "во-первых … во-вторых …", "первое, … второе, …",
// "пункт один … пункт два …" or "первый пункт … второй пункт …" become a numbered list.
// Stateless apart from the patterns; callable from any thread.
namespace SpokenList {

// The list rendering of the first marker family that yields a list, or the text unchanged.
QString asList(const QString &text);

// A marker found in the text, in UTF-16 code units.
struct MarkerRange
{
    qsizetype start = 0;
    qsizetype length = 0;
};

// Renders one detected list (at least two markers, in ascending order): an introduction
// line, numbered items, and a closing paragraph. Nothing when an item would be empty.
std::optional<QString> numbered(const QString &text, const QList<MarkerRange> &ranges);

// Tidies one list item: separators at both ends and a trailing "а", "и" or "но" go, the
// first character is upper-cased by TextCleaner::upper.
QString item(const QString &text);

// asList on ICU text, without the conversions.
icu::UnicodeString listed(const icu::UnicodeString &text);

} // namespace SpokenList
