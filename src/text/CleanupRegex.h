#pragma once

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <memory>
#include <optional>
#include <string>

// The regular-expression plumbing of the speech cleaner and the list formatter: ICU
// patterns over UTF-16 text, so that positions are the ones the rules count in.
namespace CleanupRegex {

// A match as a range of UTF-16 code units.
struct Match
{
    int32_t start = 0;
    int32_t end = 0;
};

// Engine steps (in ICU's time-limit units of about ten thousand steps) that one pattern
// may spend on one text. The budget grows with the length, well above what the patterns
// need on ordinary text or on long runs of spaces, numerals or fillers. It stops a pattern
// on input where it still degenerates (numeral words three spaces apart, a long chain of
// "я имею в виду"), and the text then loses that one step instead of freezing the program.
int32_t budget(int32_t length);

// One pattern, compiled case-insensitive once and shared read-only: each use runs its own
// matcher, so a Pattern may be used by several threads at once.
class Pattern
{
public:
    // A pattern the engine refuses stays empty and is logged as "Cleanup rule refused: …".
    // `name` identifies the pattern in the log.
    Pattern(std::string name, const std::string &utf8);

    explicit operator bool() const { return compiled != nullptr; }

    // Every non-overlapping match, left to right, replaced by the `$n` template. Nothing
    // when the pattern is empty or runs out of its budget (logged).
    std::optional<icu::UnicodeString> replaceAll(const icu::UnicodeString &text,
                                                 const icu::UnicodeString &replacement) const;

    // The text without its first match; the text itself when there is none, when the
    // pattern is empty or when it runs out of its budget (logged).
    icu::UnicodeString removeFirst(const icu::UnicodeString &text) const;

    // The first match in [from, end of text). The bounds of that window are transparent
    // (lookbehind sees the text before `from`) and not anchoring ("^" and "$" match only
    // at the text's own ends). Nothing when there is no match, the pattern is empty or it
    // runs out of its budget (logged).
    std::optional<Match> find(const icu::UnicodeString &text, int32_t from) const;

private:
    std::unique_ptr<icu::RegexMatcher> matcher(const icu::UnicodeString &text) const;
    bool failed(UErrorCode status, int32_t length) const;

    std::string name;
    std::unique_ptr<icu::RegexPattern> compiled;
};

icu::UnicodeString fromUtf8(const std::string &utf8);

// Letter and number classes for the case-insensitive patterns, written out already closed
// over case. Compiling "[\p{L}\p{N}\-]" case-insensitively makes the engine close the
// class over case, which takes about a millisecond each time, and the patterns hold such
// classes dozens of times. The closure adds exactly one character, U+0345 (it folds to
// "ι"), so these classes match the very same characters with case folding switched off.
inline const std::string wordCharacter = R"((?-i:[\p{L}\p{N}\-\u0345]))";     // [\p{L}\p{N}\-]
inline const std::string letter = R"((?-i:[\p{L}\u0345]))";                   // \p{L}
inline const std::string letterDigitOrColon = R"((?-i:[\p{L}\p{N}:\u0345]))"; // [\p{L}\p{N}:]

} // namespace CleanupRegex
