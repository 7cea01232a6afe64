#pragma once

#include <QList>
#include <QString>

#include <optional>

// Turns the raw text of one Russian dictation into the text that is pasted: removes
// fillers, hesitations, stutters and self-corrections, tidies punctuation and spacing,
// capitalises sentences whose start was removed, and finally renders a spoken list
// ("во-первых … во-вторых …") as a numbered one.
//
// Stateless apart from the patterns, which are compiled once per process; every function
// may be called from any thread. Nothing here logs or keeps the text itself.
namespace TextCleaner {

// The whole cleaner: the rules in order, capitalize, trimming, then asList. Never fails;
// an empty result means that nothing but noise was said.
QString clean(const QString &text);

// Drops every capitalisation marker (U+0001) and upper-cases, by `upper`, the first letter
// or number after each one. Works on user-perceived characters.
QString capitalize(const QString &text);

// The spoken-list step: the list rendering of the first marker family that yields a list,
// or the text unchanged.
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
// first character is upper-cased by `upper`.
QString item(const QString &text);

// The Cyrillic capitalisation rule for one user-perceived character: "а" to "я" and "ё"
// become upper case; everything else, Latin letters included, stays as it is.
QString upper(const QString &character);

} // namespace TextCleaner
