#pragma once

#include <QEventLoop>
#include <QTimer>
#include <qcorotask.h>

#include <chrono>
#include <exception>
#include <optional>
#include <type_traits>

namespace TestSupport {

// How a task ended: its value (true for a void task), or the exception it threw.
template <class T> struct Outcome
{
    std::optional<std::conditional_t<std::is_void_v<T>, bool, T>> value;
    std::exception_ptr error;
    // The thrown exception as `E`; empty when it was something else, or nothing.
    template <class E> std::optional<E> errorAs() const
    {
        try {
            if (error)
                std::rethrow_exception(error);
        } catch (const E &e) {
            return e;
        } catch (...) {
        }
        return std::nullopt;
    }
};

// Runs the event loop until `task` ends. A task still running after `limit` is a hung
// test: the process stops with a message rather than waiting for the CTest time-out.
template <class T> Outcome<T> await(QCoro::Task<T> task, std::chrono::milliseconds limit = std::chrono::minutes(2))
{
    Outcome<T> outcome;
    QEventLoop loop;
    bool finished = false;
    auto body = [&]() -> QCoro::Task<> {
        try {
            if constexpr (std::is_void_v<T>) {
                co_await task;
                outcome.value = true;
            } else {
                outcome.value = co_await task;
            }
        } catch (...) {
            outcome.error = std::current_exception();
        }
        finished = true;
        loop.quit();
    };
    auto running = body();
    QTimer::singleShot(limit, &loop, [] { qFatal("a task under test did not finish in time"); });
    if (!finished)
        loop.exec();
    return outcome;
}

} // namespace TestSupport
