#pragma once

#include <QCoroTask>
#include <QEventLoop>

#include <exception>
#include <optional>
#include <type_traits>

// Runs a coroutine to its end on a nested event loop and returns its value or rethrows its
// exception (QCoro::waitFor loses exceptions and then never returns).
namespace Await {

namespace detail {

template <typename T>
QCoro::Task<void> drive(QCoro::Task<T> task, std::optional<T> &value, std::exception_ptr &error, bool &done,
                        QEventLoop &loop)
{
    try {
        value = co_await std::move(task);
    } catch (...) {
        error = std::current_exception();
    }
    done = true;
    loop.quit();
}

inline QCoro::Task<void> drive(QCoro::Task<void> task, std::exception_ptr &error, bool &done, QEventLoop &loop)
{
    try {
        co_await std::move(task);
    } catch (...) {
        error = std::current_exception();
    }
    done = true;
    loop.quit();
}

} // namespace detail

template <typename T> T result(QCoro::Task<T> task)
{
    QEventLoop loop;
    std::exception_ptr error;
    bool done = false;
    if constexpr (std::is_void_v<T>) {
        auto driver = detail::drive(std::move(task), error, done, loop);
        if (!done)
            loop.exec();
        if (error)
            std::rethrow_exception(error);
    } else {
        std::optional<T> value;
        auto driver = detail::drive(std::move(task), value, error, done, loop);
        if (!done)
            loop.exec();
        if (error)
            std::rethrow_exception(error);
        return std::move(*value);
    }
}

} // namespace Await
