#pragma once

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QList>
#include <QString>
#include <QStringList>

#include <chrono>
#include <utility>

// One clipboard item: its formats (type identifier -> bytes) in the order the owner offered them.
using ClipboardItem = QList<std::pair<QString, QByteArray>>;

// The clipboard's contents as far as they could be read, and the types that had to be left out.
struct ClipboardSnapshot
{
    QList<ClipboardItem> items;
    QList<std::pair<QString, qint64>> tooLarge; // types over the byte limit, not read, with their size (at least)
    QStringList late;                           // types the owner had not delivered when time was up
};

// The system clipboard as the paster needs it.
class Clipboard
{
public:
    virtual ~Clipboard() = default;

    // Grows with every change of the contents, by this program or any other.
    virtual qint64 changeCount() const = 0;
    virtual void clear() = 0;
    // Puts `text` on the clipboard as plain text. A transient text carries the hint that keeps it out of
    // clipboard managers' history. Returns whether the clipboard now holds it.
    virtual bool setText(const QString &text, bool transient) = 0;

    // Reads every type of every item without holding up the event loop, giving up on what the owners have not
    // delivered within `timeLimit`. Types larger than `byteLimit` are not read; types without data are left out.
    virtual QCoro::Task<ClipboardSnapshot> snapshot(std::chrono::milliseconds timeLimit, qint64 byteLimit) const = 0;
    // Replaces the contents with `items`. Returns whether the clipboard now holds them.
    virtual bool write(const QList<ClipboardItem> &items) = 0;
};
