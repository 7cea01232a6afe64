#pragma once

#include <QString>


// Turns the raw text of one Russian dictation into the text that is pasted: removes
// fillers, hesitations, stutters and self-corrections, tidies punctuation and spacing,
// capitalises sentences whose start was removed, and finally renders a spoken list
// ("во-первых … во-вторых …") as a numbered one.
//
// Stateless apart from the patterns, which are compiled once per process; every function
// may be called from any thread. Nothing here logs or keeps the text itself.
namespace TextCleaner {

// The whole cleaner: the rules in order, capitalize, trimming, then SpokenList::asList. Never fails;
// an empty result means that nothing but noise was said.
QString clean(const QString &text);

// Drops every capitalisation marker (U+0001) and upper-cases, by `upper`, the first letter
// or number after each one. Works on user-perceived characters.
QString capitalize(const QString &text);

// The Cyrillic capitalisation rule for one user-perceived character: "а" to "я" and "ё"
// become upper case; everything else, Latin letters included, stays as it is.
QString upper(const QString &character);

} // namespace TextCleaner
