#pragma once

#include <QString>

#include <unicode/unistr.h>

// Text helpers shared by the speech cleaner and the list formatter. They work on ICU's
// UTF-16 strings, whose positions are the ones the rules count in.
namespace CleanerText {

// Without white space and line breaks at both ends.
icu::UnicodeString trimmed(const icu::UnicodeString &text);

// One user-perceived character through the Cyrillic capitalisation rule.
icu::UnicodeString upperCharacter(const icu::UnicodeString &character);

// The text with its first user-perceived character through the capitalisation rule.
icu::UnicodeString upperFirst(const icu::UnicodeString &text);

} // namespace CleanerText
