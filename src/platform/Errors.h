#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

// A failure the user is shown: description() is the Russian text for the status line,
// alerts and notices. Component errors (EngineError, RecorderError, CloudError, …)
// derive from it, and so does anything else that ends an operation with a message.
class DescribedError : public std::exception
{
public:
    explicit DescribedError(QString description)
        : text(std::move(description)), utf8(text.toUtf8())
    {
    }
    QString description() const { return text; }
    const char *what() const noexcept override { return utf8.constData(); }

private:
    QString text;
    QByteArray utf8;
};

// The user cancelled the operation. Not a failure, so deliberately not a DescribedError.
struct Cancelled : std::exception
{
    const char *what() const noexcept override { return "cancelled"; }
};

// The text of any exception for the user or the log: a DescribedError's what() is its
// Russian description.
inline QString describe(const std::exception &e)
{
    return QString::fromUtf8(e.what());
}
