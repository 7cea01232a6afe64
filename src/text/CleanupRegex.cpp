#include "text/CleanupRegex.h"

#include "platform/Log.h"

namespace CleanupRegex {

int32_t budget(int32_t length)
{
    // Measured: the costliest pattern needs about 2 units per 1,000 characters of ordinary
    // dictation and up to about 9 on long runs of numerals; a unit takes 0.1 to 0.2 ms.
    return static_cast<int32_t>(32 + int64_t{length} * 16 / 1000);
}

icu::UnicodeString fromUtf8(const std::string &utf8)
{
    return icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
}

Pattern::Pattern(std::string name, const std::string &utf8) : name(std::move(name))
{
    UErrorCode status = U_ZERO_ERROR;
    UParseError where{};
    compiled.reset(icu::RegexPattern::compile(fromUtf8(utf8), UREGEX_CASE_INSENSITIVE, where, status));
    if (U_SUCCESS(status))
        return;
    compiled.reset();
    Log::write("ERROR", "Cleanup rule refused: " + std::string(u_errorName(status)) + " at offset " +
                            std::to_string(where.offset) + " of " + this->name);
}

std::unique_ptr<icu::RegexMatcher> Pattern::matcher(const icu::UnicodeString &text) const
{
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> m(compiled->matcher(text, status));
    if (U_FAILURE(status))
        return nullptr;
    m->setTimeLimit(budget(text.length()), status);
    return m;
}

bool Pattern::failed(UErrorCode status, int32_t length) const
{
    if (U_SUCCESS(status))
        return false;
    const std::string reason = status == U_REGEX_TIME_OUT ? "time limit reached" : u_errorName(status);
    Log::write("ERROR", "Cleanup rule skipped: " + name + ", " + reason + " on a text of " + std::to_string(length) +
                            " characters");
    return true;
}

std::optional<icu::UnicodeString> Pattern::replaceAll(const icu::UnicodeString &text,
                                                      const icu::UnicodeString &replacement) const
{
    if (!compiled)
        return std::nullopt;
    const auto m = matcher(text);
    if (!m)
        return std::nullopt;
    // A loop of our own rather than RegexMatcher::replaceAll, which drops the time-out.
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString result;
    while (m->find(status) && U_SUCCESS(status))
        m->appendReplacement(result, replacement, status);
    if (failed(status, text.length()))
        return std::nullopt;
    m->appendTail(result);
    return result;
}

icu::UnicodeString Pattern::removeFirst(const icu::UnicodeString &text) const
{
    const auto match = find(text, 0);
    if (!match)
        return text;
    icu::UnicodeString result(text, 0, match->start);
    result.append(text, match->end, text.length() - match->end);
    return result;
}

std::optional<Match> Pattern::find(const icu::UnicodeString &text, int32_t from) const
{
    if (!compiled)
        return std::nullopt;
    const auto m = matcher(text);
    if (!m)
        return std::nullopt;
    UErrorCode status = U_ZERO_ERROR;
    m->region(from, text.length(), status);
    m->useTransparentBounds(true);
    m->useAnchoringBounds(false);
    const bool found = m->find(status);
    if (failed(status, text.length()) || !found)
        return std::nullopt;
    return Match{m->start(status), m->end(status)};
}

} // namespace CleanupRegex
