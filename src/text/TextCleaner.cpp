#include "text/TextCleaner.h"

#include "platform/IcuText.h"
#include "text/CleanerText.h"
#include "text/CleanupRegex.h"
#include "text/SpokenList.h"

#include <unicode/brkiter.h>
#include <unicode/uchar.h>

#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

// The rules are the cleaner's definition: their order matters, each runs exactly once,
// and its output is the next one's input. They give exactly the results of their plain
// form but stay linear in the length of the text, where the plain form takes cubic time on
// a long run of spaces and quadratic time on a long run of numerals (a recogniser can
// produce either). What differs from the plain form:
//
// - Possessive quantifiers ("*+", "++", "?+") where a run of white space or separators is
//   followed by something that is never part of the run (a comma, a letter, a digit): the
//   engine would only retry shorter runs, which cannot match either.
// - Start guards. A match of a pattern that opens with "\s*" or "\s+" never begins inside
//   a run of white space, because the same match would then begin one character earlier,
//   where the scan looks first; likewise a corrected value never begins inside a run of
//   numerals (valueRunStart). "\G" keeps the one exception: a scan that resumes inside a
//   run after the previous match.
// - "ой, нет" is no retraction phrase of its own (see retract).
// - Letter and number classes are written out closed over case (see CleanupRegex::wordCharacter).
//
// The tests check all of it against the plain form on many generated texts. A pattern that
// still runs out of its budget (CleanupRegex::budget) is skipped for that text.

namespace TextCleaner {
namespace {

using CleanupRegex::Pattern;

const std::string marker = "\x01";

// Fixed fragments.
const std::string sentenceStart = R"((^|[.!?…]\s+)\u0001*)";
const std::string filler = "(?:ну|как бы|типа|короче|так сказать|это самое|скажем так)";
const std::string leftWordGuard = "(?<!" + CleanupRegex::wordCharacter + ")";
const std::string rightWordGuard = "(?!" + CleanupRegex::wordCharacter + ")";
const std::string hesitation = "(?:э+(?:-э+)*|э+м+|м{2,}|м-м+(?:-м+)*|хм+|гм+|а-а+(?:-а+)*)" + rightWordGuard;
const std::string clauseEnd = R"((?=\s*+(?:[.!?…]|$)))";
const std::string numeralWords =
    "один|одна|одно|две|два|три|четыре|пять|шесть|семь|восемь|девять|десять|одиннадцать|двенадцать|тринадцать|"
    "четырнадцать|пятнадцать|шестнадцать|семнадцать|восемнадцать|девятнадцать|двадцать|тридцать|сорок|пятьдесят|"
    "шестьдесят|семьдесят|восемьдесят|девяносто|сто|двести|триста|четыреста|пятьсот|шестьсот|семьсот|восемьсот|"
    "девятьсот|тысяч[аи]?|миллион(?:а|ов)?|миллиард(?:а|ов)?|млн|млрд";
const std::string numeral = R"((?:\d+(?:[:.,]\d+)?|)" + numeralWords + ")";
const std::string preposition = "(?:в|во|к|ко|с|со|о|об|на|до|по|за|из|от|у|через|после|перед)";
const std::string shortWord =
    "(?:я|ты|он|она|оно|мы|вы|они|в|на|с|к|о|у|по|за|из|от|до|для|и|а|но|что|как|это|не|же|бы|ли)";

// See the start guards above.
const std::string runStart = R"((?:\G|(?<!\s)))";
// "\s*,?\s+" in front of a word, decided in one pass.
const std::string commaGap = R"((?:\s*+,)?+\s++)";

// Composite strings, each built from the ones before it.

// One spoken quantity or time: numerals separated by white space, or a day word.
const std::string value =
    "(?:" + numeral + R"((?:\s+)" + numeral + ")*|сегодня|завтра|послезавтра|вчера|утром|днём|вечером|ночью)";

// The words by which a speaker takes back what was just said. "ой, нет" needs no
// alternative of its own: "ой" is one, and takeBack joins it to "нет" in its loop. Spelling
// it out twice made the loop try every way of reading a chain of "ой, нет" on failure,
// which takes time exponential in the chain.
const std::string retract = R"((?:(?:а\s+)?нет|(?:подожди(?:те)?|погоди(?:те)?|стоп)|ой|точнее|вернее|)"
                            R"(извини(?:те)?|простите|(?:я\s+)?имею\s+в\s+виду|в\s+смысле))";

// Retraction words with the punctuation and spaces around them; not directly after
// "или " ("пять или нет" is no correction).
const std::string takeBack =
    R"(\s*+[,.…—–\-]*+\s*+(?<!или\s))" + retract + R"((?:[,.…—–\-\s]++)" + retract + R"()*\s*+[,:.…—–\-]*+\s*+)";

// A preposition with one to three words, taken back, then a new preposition beginning with
// the same letter (group 2 is that letter, group 3 the new preposition and its spaces).
// Only used behind a prefix with exactly one group.
const std::string samePlace = "(?=(" + CleanupRegex::letter + "))" + preposition + R"(\s+)" + CleanupRegex::letterDigitOrColon +
                              R"(+(?:\s+)" + CleanupRegex::letterDigitOrColon + "+){0,2}" + takeBack + R"((?=\2)()" +
                              preposition + R"(\s+))";

// A value taken back and the corrected value (the one group), which must end at a word end.
const std::string sameValue = value + takeBack + "(" + value + rightWordGuard + ")";

std::string joined(const std::vector<std::string> &alternatives)
{
    std::string all;
    for (const std::string &alternative : alternatives)
        all += (all.empty() ? "" : "|") + alternative;
    return all;
}

// The start guard of a correction inside a sentence. A value may always take in the
// numerals before it, so within a run of numerals ("пять пять пять …", "1,5 1,5 …") only
// the run's first numeral can begin a match, and the engine need not try the others:
// - a numeral after a whole number and a little white space, or after a whole numeral
//   word and one or two white-space characters;
// - the digits after the "," ":" or "." of a number, unless they go on to another one.
// "(?!\G)" keeps the positions where the scan resumes after the previous match, which may
// have ended with that very numeral. Cheap filters come first, and numeral words are
// checked in lookbehinds of one length each: the engine tries a lookbehind of varying
// length at every possible start, which made one over all words cost more than it saved.
const std::string afterWholeNumber =
    R"((?<=\d\s{1,8})(?<=)" + leftWordGuard + R"(\d{1,12}(?:[:.,]\d{1,12})?(?!\G)\s{1,8}))";

// The numeral words again, with their optional endings written out.
const char *const plainNumeralWords[] = {
    "один",         "одна",       "одно",         "две",        "два",         "три",        "четыре",
    "пять",         "шесть",      "семь",         "восемь",     "девять",      "десять",     "одиннадцать",
    "двенадцать",   "тринадцать", "четырнадцать", "пятнадцать", "шестнадцать", "семнадцать", "восемнадцать",
    "девятнадцать", "двадцать",   "тридцать",     "сорок",      "пятьдесят",   "шестьдесят", "семьдесят",
    "восемьдесят",  "девяносто",  "сто",          "двести",     "триста",      "четыреста",  "пятьсот",
    "шестьсот",     "семьсот",    "восемьсот",    "девятьсот",  "тысяч",       "тысяча",     "тысячи",
    "миллион",      "миллиона",   "миллионов",    "миллиард",   "миллиарда",   "миллиардов", "млн",
    "млрд"};

// After a whole numeral word and `space`, a fixed run of white space.
std::string afterWholeNumeralWord(const std::string &space)
{
    // Lengths and endings in UTF-8 bytes: two to a Cyrillic letter.
    std::map<size_t, std::vector<std::string>> byLength;
    std::set<std::string> endings;
    for (const std::string word : plainNumeralWords) {
        byLength[word.size()].push_back(word);
        endings.insert(word.substr(word.size() - 6));
    }
    std::vector<std::string> lookbehinds;
    for (const auto &[length, words] : byLength)
        lookbehinds.push_back("(?<=" + leftWordGuard + "(?:" + joined(words) + R"()(?!\G))" + space + ")");
    return "(?<=" + CleanupRegex::letter + "{3}" + space + ")(?<=(?:" + joined({endings.begin(), endings.end()}) + ")" +
           space + ")(?:" + joined(lookbehinds) + ")";
}

std::string valueRunStart()
{
    const std::string afterWholeNumeral = R"((?<=\s)(?=)" + numeral + ")(?:" + afterWholeNumber + R"(|(?<!\s\s))" +
                                          afterWholeNumeralWord(R"(\s)") + R"(|(?<=\s\s)(?<!\s\s\s))" +
                                          afterWholeNumeralWord(R"(\s\s)") + ")";
    const std::string insideNumber = R"((?<=[:.,])(?=\d++(?![:.,]\d))(?<=)" + leftWordGuard + R"(\d{1,12}(?!\G)[:.,]))";
    return R"((?:\G|(?!)" + afterWholeNumeral + ")(?!" + insideNumber + "))";
}

struct Rule
{
    Pattern pattern;
    icu::UnicodeString replacement;
};

std::vector<Rule> buildRules()
{
    const std::pair<std::string, std::string> table[] = {
        // 1. A filler with its comma or "…" at the start of a sentence.
        {sentenceStart + filler + R"(\s*[,…]\s*)", "$1" + marker},
        // 2. A filler between two commas.
        {runStart + R"(\s*+,\s*+)" + filler + R"(\s*+,\s*+)", " "},
        // 3. A filler or "вот" after a comma at the end of a clause.
        {runStart + R"(\s*+,\s*+(?:)" + filler + "|вот)" + clauseEnd, ""},
        // 4. A hesitation at the start of a sentence, with "ну" before or after it.
        {sentenceStart + R"((?:ну[\s,…]+)?)" + hesitation + R"((?:[\s,.…—–\-]+ну)" + rightWordGuard +
             R"()?[\s,.…—–\-]*)",
         "$1" + marker},
        // 5. "ну" followed by a hesitation.
        {runStart + commaGap + R"(ну[\s,…]++)" + hesitation, ""},
        // 6. A hesitation followed by "ну".
        {runStart + commaGap + hesitation + R"([\s,…]++ну)" + rightWordGuard, ""},
        // 7. A trailing "ну" at the end of a clause, except after "да" or "ну". The
        //    lookbehind depends on the start, so the guard allows the second character of
        //    a run as well.
        {R"((?:\G|(?<!\s\s))(?<!\bда|\bну))" + commaGap + "ну" + clauseEnd, ""},
        // 8. A hesitation between two commas.
        {runStart + R"(\s*+,\s*+)" + hesitation + R"(\s*+,\s*+)", " "},
        // 9. A hesitation after a comma at the end of a clause.
        {runStart + R"(\s*+,\s*+)" + hesitation + clauseEnd, ""},
        // 10. Any other hesitation after white space, with a following "..", "…" or comma.
        {runStart + R"(\s++)" + hesitation + R"((?:\.{2,}|…)?(?:\s*+,(?=\s))?)", ""},
        // 11. A repeated short word.
        {leftWordGuard + "(" + shortWord + R"()(?:[,…]?\s+\1)+)" + rightWordGuard, "$1"},
        // 12. A repeated phrase of a short word and one or two more words.
        {leftWordGuard + "(" + shortWord + R"(\s+)" + CleanupRegex::letter + R"(+(?:\s+)" + CleanupRegex::letter +
             R"(+)?)(?:[,…]?\s+\1)+)" + rightWordGuard,
         "$1"},
        // 13. A corrected place at the start of a sentence.
        {sentenceStart + samePlace, "$1" + marker + "$3"},
        // 14. A corrected place inside a sentence; "()" keeps the group numbers of rule 13.
        {leftWordGuard + "()" + samePlace, "$3"},
        // 15. A corrected value at the start of a sentence.
        {sentenceStart + sameValue, "$1" + marker + "$2"},
        // 16. A corrected value inside a sentence.
        {leftWordGuard + valueRunStart() + sameValue, "$1"},
        // 17. Spaces or tabs before punctuation.
        {R"((?:\G|(?<![ \t]))[ \t]++([,.!?…:;]))", "$1"},
        // 18. A run of commas.
        {R"(,(?:\s*,)+)", ","},
        // 19. A comma before a sentence end.
        {R"(,(\s*[.!?…]))", "$1"},
        // 20. A run of two or more spaces or tabs.
        {R"([ \t]{2,})", " "},
    };
    std::vector<Rule> rules;
    int number = 0;
    for (const auto &[pattern, replacement] : table) {
        Pattern compiled("rule " + std::to_string(++number), pattern);
        if (compiled)
            rules.push_back({std::move(compiled), CleanupRegex::fromUtf8(replacement)});
    }
    return rules;
}

const std::vector<Rule> &rules()
{
    static const std::vector<Rule> table = buildRules();
    return table;
}

bool letterOrNumber(UChar32 c)
{
    return (U_GET_GC_MASK(c) & (U_GC_L_MASK | U_GC_N_MASK)) != 0;
}

icu::UnicodeString capitalizeText(const icu::UnicodeString &text)
{
    const UChar capitalizeMark = 0x0001;
    if (text.indexOf(capitalizeMark) < 0)
        return text;
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> characters(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status)) // without character data: at least no marker may survive
        return icu::UnicodeString(text).findAndReplace(icu::UnicodeString(capitalizeMark), {});
    characters->setText(text);
    icu::UnicodeString result;
    bool capitalizeNext = false;
    for (int32_t start = characters->first(), end = characters->next(); end != icu::BreakIterator::DONE;
         start = end, end = characters->next()) {
        const icu::UnicodeString character(text, start, end - start);
        if (character.length() == 1 && character.charAt(0) == capitalizeMark) {
            capitalizeNext = true;
            continue;
        }
        if (capitalizeNext && letterOrNumber(character.char32At(0))) {
            capitalizeNext = false;
            result.append(CleanerText::upperCharacter(character));
            continue;
        }
        result.append(character);
    }
    return result;
}

} // namespace

QString clean(const QString &text)
{
    icu::UnicodeString current = IcuText::toIcu(text);
    for (const Rule &rule : rules()) {
        if (auto replaced = rule.pattern.replaceAll(current, rule.replacement))
            current = std::move(*replaced);
    }
    return IcuText::toQt(SpokenList::listed(CleanerText::trimmed(capitalizeText(current))));
}

QString capitalize(const QString &text)
{
    return IcuText::toQt(capitalizeText(IcuText::toIcu(text)));
}

QString upper(const QString &character)
{
    return IcuText::toQt(CleanerText::upperCharacter(IcuText::toIcu(character)));
}

} // namespace TextCleaner
