#include "text/CleanerText.h"

#include <unicode/brkiter.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>

#include <memory>

namespace CleanerText {
namespace {

bool cyrillicLowerCase(UChar c)
{
    return (c >= u'а' && c <= u'я') || c == u'ё';
}

} // namespace

icu::UnicodeString trimmed(const icu::UnicodeString &text)
{
    int32_t start = 0;
    int32_t end = text.length();
    while (start < end && u_isUWhiteSpace(text.char32At(start)))
        start = text.moveIndex32(start, 1);
    while (end > start && u_isUWhiteSpace(text.char32At(text.moveIndex32(end, -1))))
        end = text.moveIndex32(end, -1);
    return icu::UnicodeString(text, start, end - start);
}

icu::UnicodeString upperCharacter(const icu::UnicodeString &character)
{
    // The composed form decides, so that "е" followed by a combining diaeresis counts as
    // "ё"; marks after the letter (a stress accent) stay with it.
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2 *nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status))
        return character;
    icu::UnicodeString composed = nfc->normalize(character, status);
    if (U_FAILURE(status) || composed.isEmpty() || !cyrillicLowerCase(composed.charAt(0)))
        return character;
    composed.setCharAt(0, static_cast<UChar>(u_toupper(composed.charAt(0))));
    return composed;
}

icu::UnicodeString upperFirst(const icu::UnicodeString &text)
{
    if (text.isEmpty())
        return text;
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> characters(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status))
        return text;
    characters->setText(text);
    const int32_t end = characters->following(0);
    icu::UnicodeString result = upperCharacter(icu::UnicodeString(text, 0, end));
    return result.append(text, end, text.length() - end);
}

} // namespace CleanerText
