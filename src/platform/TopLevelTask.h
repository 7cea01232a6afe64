#pragma once

#include <QCoro/QCoroTask>
#include <QObject>
#include <QString>

#include <exception>
#include <functional>

// Work started from an event (a key, a menu, a timer, the command line) that nobody awaits.
namespace TopLevelTask {

// The text of a std::exception (a DescribedError's is its Russian description), or
// "unknown error" for anything else.
QString describe(std::exception_ptr error);

// Runs `operation` on a later turn of `context`'s event loop, so that it never runs inside
// the event that started it. Whatever it throws ends in `failed` with its description
// (by default an ERROR log line "Unexpected failure: …"): never in the event loop, never
// unnoticed. It does not start once `context` is gone.
void start(QObject *context, std::function<QCoro::Task<>()> operation,
           std::function<void(const QString &why)> failed = {});

} // namespace TopLevelTask
