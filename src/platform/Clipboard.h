#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>
#include <utility>

// One clipboard item: its formats (type identifier -> bytes) in the order the owner offered them.
using ClipboardItem = QList<std::pair<QString, QByteArray>>;

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

    virtual int itemCount() const = 0;
    virtual QStringList types(int item) const = 0;
    // Absent when the owner cannot deliver the type.
    virtual std::optional<QByteArray> data(int item, const QString &type) const = 0;
    // Replaces the contents with `items`. Returns whether the clipboard now holds them.
    virtual bool write(const QList<ClipboardItem> &items) = 0;
};
