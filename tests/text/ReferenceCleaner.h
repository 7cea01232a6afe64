#pragma once

#include <QString>

// The cleaner's patterns in their plain form, without the possessive runs and start guards
// that keep TextCleaner linear, run by ICU's own replaceAll. On ordinary texts both must
// give the same result; on long runs the plain form takes cubic time, so keep inputs short.
namespace ReferenceCleaner {

// The 20 rules in order.
QString rules(const QString &text);

// The whole cleaner: the plain rules, then TextCleaner's capitalize, trim and asList.
QString clean(const QString &text);

// A list item tidied with the plain itemHead and itemTail (without the capitalisation).
QString itemStripped(const QString &text);

// An introduction without its trailing separators, by the plain introTail.
QString introStripped(const QString &text);

} // namespace ReferenceCleaner
