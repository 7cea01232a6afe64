#include "ReferenceCleaner.h"

#include "platform/IcuText.h"
#include "text/SpokenList.h"
#include "text/TextCleaner.h"

#include <unicode/regex.h>

#include <memory>
#include <string>
#include <vector>

namespace ReferenceCleaner {
namespace {

const std::string sentenceStart = R"((^|[.!?…]\s+)\u0001*)";
const std::string filler = "(?:ну|как бы|типа|короче|так сказать|это самое|скажем так)";
const std::string hesitation = R"((?:э+(?:-э+)*|э+м+|м{2,}|м-м+(?:-м+)*|хм+|гм+|а-а+(?:-а+)*)(?![\p{L}\p{N}\-]))";
const std::string leftWordGuard = R"((?<![\p{L}\p{N}\-]))";
const std::string rightWordGuard = R"((?![\p{L}\p{N}\-]))";
const std::string clauseEnd = R"((?=\s*(?:[.!?…]|$)))";
const std::string numeral =
    R"((?:\d+(?:[:.,]\d+)?|один|одна|одно|две|два|три|четыре|пять|шесть|семь|восемь|девять|десять|одиннадцать|)"
    R"(двенадцать|тринадцать|четырнадцать|пятнадцать|шестнадцать|семнадцать|восемнадцать|девятнадцать|двадцать|)"
    R"(тридцать|сорок|пятьдесят|шестьдесят|семьдесят|восемьдесят|девяносто|сто|двести|триста|четыреста|пятьсот|)"
    R"(шестьсот|семьсот|восемьсот|девятьсот|тысяч[аи]?|миллион(?:а|ов)?|миллиард(?:а|ов)?|млн|млрд))";
const std::string preposition = "(?:в|во|к|ко|с|со|о|об|на|до|по|за|из|от|у|через|после|перед)";

const std::string value =
    "(?:" + numeral + R"((?:\s+)" + numeral + ")*|сегодня|завтра|послезавтра|вчера|утром|днём|вечером|ночью)";
const std::string retract = R"((?:(?:ой,?\s+|а\s+)?нет|)" + std::string("(?:подожди(?:те)?|погоди(?:те)?|стоп)") +
                            R"(|ой|точнее|вернее|извини(?:те)?|простите|(?:я\s+)?имею\s+в\s+виду|в\s+смысле))";
const std::string takeBack =
    R"(\s*[,.…—–\-]*\s*(?<!или\s))" + retract + R"((?:[,.…—–\-\s]+)" + retract + R"()*\s*[,:.…—–\-]*\s*)";
const std::string samePlace = R"((?=(\p{L}))(?:в|во|к|ко|с|со|о|об|на|до|по|за|из|от|у|через|после|перед))"
                              R"(\s+[\p{L}\p{N}:]+(?:\s+[\p{L}\p{N}:]+){0,2})" +
                              takeBack + R"((?=\2)()" + preposition + R"(\s+))";
const std::string sameValue = value + takeBack + "(" + value + R"((?![\p{L}\p{N}\-])))";
const std::string shortWord =
    "(?:я|ты|он|она|оно|мы|вы|они|в|на|с|к|о|у|по|за|из|от|до|для|и|а|но|что|как|это|не|же|бы|ли)";

struct Rule
{
    std::unique_ptr<icu::RegexPattern> pattern;
    icu::UnicodeString replacement;
};

std::unique_ptr<icu::RegexPattern> compile(const std::string &pattern)
{
    UErrorCode status = U_ZERO_ERROR;
    UParseError where{};
    std::unique_ptr<icu::RegexPattern> compiled(
        icu::RegexPattern::compile(icu::UnicodeString::fromUTF8(pattern), UREGEX_CASE_INSENSITIVE, where, status));
    if (U_FAILURE(status))
        qFatal("reference pattern refused: %s at %d", u_errorName(status), where.offset);
    return compiled;
}

std::vector<Rule> buildRules()
{
    const std::string marker = "\x01";
    const std::pair<std::string, std::string> table[] = {
        {sentenceStart + filler + R"(\s*[,…]\s*)", "$1" + marker},
        {R"(\s*,\s*)" + filler + R"(\s*,\s*)", " "},
        {R"(\s*,\s*(?:)" + filler + "|вот)" + clauseEnd, ""},
        {sentenceStart + R"((?:ну[\s,…]+)?)" + hesitation + R"((?:[\s,.…—–\-]+ну)" + rightWordGuard +
             R"()?[\s,.…—–\-]*)",
         "$1" + marker},
        {R"(\s*,?\s+ну[\s,…]+)" + hesitation, ""},
        {R"(\s*,?\s+)" + hesitation + R"([\s,…]+ну)" + rightWordGuard, ""},
        {R"((?<!\bда|\bну)\s*,?\s+ну(?=\s*(?:[.!?…]|$)))", ""},
        {R"(\s*,\s*)" + hesitation + R"(\s*,\s*)", " "},
        {R"(\s*,\s*)" + hesitation + clauseEnd, ""},
        {R"(\s+)" + hesitation + R"((?:\.{2,}|…)?(?:\s*,(?=\s))?)", ""},
        {leftWordGuard + "(" + shortWord + R"()(?:[,…]?\s+\1)+)" + rightWordGuard, "$1"},
        {leftWordGuard + "(" + shortWord + R"(\s+\p{L}+(?:\s+\p{L}+)?)(?:[,…]?\s+\1)+)" + rightWordGuard, "$1"},
        {sentenceStart + samePlace, "$1" + marker + "$3"},
        {leftWordGuard + "()" + samePlace, "$3"},
        {sentenceStart + sameValue, "$1" + marker + "$2"},
        {leftWordGuard + sameValue, "$1"},
        {R"([ \t]+([,.!?…:;]))", "$1"},
        {R"(,(?:\s*,)+)", ","},
        {R"(,(\s*[.!?…]))", "$1"},
        {R"([ \t]{2,})", " "},
    };
    std::vector<Rule> rules;
    for (const auto &[pattern, replacement] : table)
        rules.push_back({compile(pattern), icu::UnicodeString::fromUTF8(replacement)});
    return rules;
}

QString replace(const icu::RegexPattern &pattern, const QString &text, const icu::UnicodeString &replacement, bool all)
{
    UErrorCode status = U_ZERO_ERROR;
    const icu::UnicodeString input = IcuText::toIcu(text);
    std::unique_ptr<icu::RegexMatcher> matcher(pattern.matcher(input, status));
    const icu::UnicodeString output =
        all ? matcher->replaceAll(replacement, status) : matcher->replaceFirst(replacement, status);
    return IcuText::toQt(output);
}

} // namespace

QString rules(const QString &text)
{
    static const std::vector<Rule> table = buildRules();
    QString current = text;
    for (const Rule &rule : table)
        current = replace(*rule.pattern, current, rule.replacement, true);
    return current;
}

QString clean(const QString &text)
{
    return SpokenList::asList(TextCleaner::capitalize(rules(text)).trimmed());
}

QString itemStripped(const QString &text)
{
    static const auto head = compile(R"(^[\s,:.;—–\-]+)");
    static const auto tail = compile(R"((?:[\s,;:—–\-]+(?:а|и|но))?[\s,;:.—–\-]*$)");
    return replace(*tail, replace(*head, text, {}, false), {}, false);
}

QString introStripped(const QString &text)
{
    static const auto tail = compile(R"([\s,;:.—–\-]+$)");
    return replace(*tail, text, {}, false);
}

} // namespace ReferenceCleaner
