#include "text/SpokenList.h"

#include "platform/IcuText.h"
#include "text/CleanerText.h"
#include "text/CleanupRegex.h"
#include "text/TextCleaner.h"

#include <array>
#include <string>
#include <vector>

namespace SpokenList {
namespace {

using CleanupRegex::Match;
using CleanupRegex::Pattern;

const std::string wordStart = "(?<!" + CleanupRegex::wordCharacter + ")";
const std::string wordEnd = "(?!" + CleanupRegex::wordCharacter + ")";

using Markers = std::array<const char *, 10>;

const Markers adverbs = {"во[- ]первых", "во[- ]вторых", "в[- ]третьих", "в[- ]четв[её]ртых", "в[- ]пятых",
                         "в[- ]шестых",  "в[- ]седьмых", "в[- ]восьмых", "в[- ]девятых",      "в[- ]десятых"};
const Markers neuterOrdinals = {"первое", "второе",  "третье",  "четв[её]ртое", "пятое",
                                "шестое", "седьмое", "восьмое", "девятое",      "десятое"};
const Markers numbers = {"один|первый|1",    "два|второй|2",     "три|третий|3",   "четыре|четвёртый|4",
                         "пять|пятый|5",     "шесть|шестой|6",   "семь|седьмой|7", "восемь|восьмой|8",
                         "девять|девятый|9", "десять|десятый|10"};
const Markers ordinals = {"первый", "второй",  "третий",  "четв[её]ртый", "пятый",
                          "шестой", "седьмой", "восьмой", "девятый",      "десятый"};

using Family = std::vector<Pattern>;

// The family's markers in order; one the engine refuses is left out.
Family family(int number, const Markers &words, const std::string &before, const std::string &after)
{
    Family markers;
    for (size_t k = 0; k < words.size(); ++k) {
        Pattern marker("list family " + std::to_string(number) + " marker " + std::to_string(k + 1),
                       before + words[k] + after);
        if (marker)
            markers.push_back(std::move(marker));
    }
    return markers;
}

struct ListPatterns
{
    std::array<Family, 4> families{
        family(1, adverbs, wordStart, wordEnd),
        family(2, neuterOrdinals, R"((?:^|(?<=[.!?…:;,]\s)))", R"((?=\s*[,:.—–\-]|\s+это)" + wordEnd + ")"),
        family(3, numbers, wordStart + R"(пункт\s+(?:)", ")" + wordEnd),
        family(4, ordinals, wordStart, R"(\s+пункт)" + wordEnd),
    };
    Pattern sentenceEnd{"sentenceEnd", R"([.!?…]\s+)"};
    Pattern itemHead{"itemHead", R"(^[\s,:.;—–\-]+)"};
    // A trailing "а", "и" or "но" after a separator, and separators at the end. The start
    // guard and the possessive runs keep the search linear on a long run of separators
    // without changing the match: from inside such a run the same match begins one
    // character earlier.
    Pattern itemTail{"itemTail", R"((?<![\s,;:—–\-])(?:[\s,;:—–\-]++(?:а|и|но))?[\s,;:.—–\-]*+$)"};
    Pattern introTail{"introTail", R"((?<![\s,;:.—–\-])[\s,;:.—–\-]++$)"};
};

const ListPatterns &patterns()
{
    static const ListPatterns all;
    return all;
}

icu::UnicodeString between(const icu::UnicodeString &text, int32_t start, int32_t end)
{
    return icu::UnicodeString(text, start, end - start);
}

icu::UnicodeString tidyItem(const icu::UnicodeString &text)
{
    const ListPatterns &p = patterns();
    const icu::UnicodeString tidy = p.itemTail.removeFirst(p.itemHead.removeFirst(text));
    return CleanerText::upperFirst(tidy);
}

std::optional<icu::UnicodeString> render(const icu::UnicodeString &text, const std::vector<Match> &markers)
{
    const ListPatterns &p = patterns();

    // The last item runs to the end of its sentence; what follows is the closing paragraph.
    icu::UnicodeString tail = p.itemHead.removeFirst(between(text, markers.back().end, text.length()));
    icu::UnicodeString rest;
    if (const auto end = p.sentenceEnd.find(tail, 0)) {
        rest = between(tail, end->end, tail.length());
        tail.truncate(end->start + 1);
    }

    std::vector<icu::UnicodeString> items;
    for (size_t k = 0; k + 1 < markers.size(); ++k)
        items.push_back(tidyItem(between(text, markers[k].end, markers[k + 1].start)));
    items.push_back(tidyItem(tail));
    for (const auto &item : items) {
        if (item.isEmpty())
            return std::nullopt;
    }

    icu::UnicodeString result;
    const icu::UnicodeString intro = p.introTail.removeFirst(between(text, 0, markers.front().start));
    if (!intro.isEmpty()) {
        const UChar last = intro.charAt(intro.length() - 1);
        result.append(intro).append(last == u'!' || last == u'?' || last == u'…' ? u"\n" : u":\n");
    }
    for (size_t k = 0; k < items.size(); ++k) {
        if (k > 0)
            result.append(u'\n');
        result.append(icu::UnicodeString::fromUTF8(std::to_string(k + 1) + ". ")).append(items[k]);
    }
    rest = CleanerText::trimmed(rest);
    if (!rest.isEmpty())
        result.append(u"\n\n").append(rest);
    return result;
}

// The markers of one family in ascending order, up to the first one missing.
std::vector<Match> collect(const icu::UnicodeString &text, const Family &family)
{
    std::vector<Match> found;
    int32_t from = 0;
    for (const Pattern &marker : family) {
        const auto match = marker.find(text, from);
        if (!match)
            break;
        found.push_back(*match);
        from = match->end;
    }
    return found;
}

} // namespace

icu::UnicodeString listed(const icu::UnicodeString &text)
{
    for (const Family &family : patterns().families) {
        const std::vector<Match> markers = collect(text, family);
        if (markers.size() < 2)
            continue;
        if (auto list = render(text, markers))
            return *list;
    }
    return text;
}

QString asList(const QString &text)
{
    return IcuText::toQt(listed(IcuText::toIcu(text)));
}

std::optional<QString> numbered(const QString &text, const QList<MarkerRange> &ranges)
{
    // Markers must lie in the text, in ascending order, without overlapping.
    std::vector<Match> markers;
    qsizetype from = 0;
    for (const MarkerRange &range : ranges) {
        if (range.start < from || range.length < 0 || range.start + range.length > text.size())
            return std::nullopt;
        markers.push_back({static_cast<int32_t>(range.start), static_cast<int32_t>(range.start + range.length)});
        from = range.start + range.length;
    }
    if (markers.size() < 2)
        return std::nullopt;
    const auto list = render(IcuText::toIcu(text), markers);
    if (!list)
        return std::nullopt;
    return IcuText::toQt(*list);
}

QString item(const QString &text)
{
    return IcuText::toQt(tidyItem(IcuText::toIcu(text)));
}

} // namespace SpokenList
