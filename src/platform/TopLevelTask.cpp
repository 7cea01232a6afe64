#include "platform/TopLevelTask.h"

#include "platform/Errors.h"
#include "platform/Log.h"

#include <QTimer>

namespace TopLevelTask {

namespace {

// Both functions are taken by value: they live in this frame, not in a caller that is
// gone by the time the coroutine resumes.
QCoro::Task<> guarded(std::function<QCoro::Task<>()> operation, std::function<void(const QString &)> failed)
{
    std::exception_ptr error;
    try {
        co_await operation();
    } catch (...) {
        error = std::current_exception();
    }
    if (!error)
        co_return;
    if (failed)
        failed(describe(error));
    else
        Log::error(QStringLiteral("Unexpected failure: ") + describe(error));
}

} // namespace

QString describe(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const std::exception &e) {
        return ::describe(e);
    } catch (...) {
        return QStringLiteral("unknown error");
    }
}

void start(QObject *context, std::function<QCoro::Task<>()> operation, std::function<void(const QString &)> failed)
{
    QTimer::singleShot(0, context, [operation = std::move(operation), failed = std::move(failed)] {
        guarded(operation, failed);
    });
}

} // namespace TopLevelTask
