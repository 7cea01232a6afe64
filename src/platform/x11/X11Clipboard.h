#pragma once

#include "platform/Clipboard.h"

#include <QObject>

// The CLIPBOARD selection: written through QClipboard, read on a connection of its own off the GUI thread (Qt
// reads another program's clipboard synchronously, waiting seconds per type for a slow owner). X11 has one item
// with many targets; the change count is kept here, since X11 has none: it grows with every change QClipboard
// reports, ours and other programs'.
class X11Clipboard : public QObject, public Clipboard
{
    Q_OBJECT
public:
    X11Clipboard();

    qint64 changeCount() const override { return changes; }
    void clear() override;
    bool setText(const QString &text, bool transient) override;
    QCoro::Task<ClipboardSnapshot> snapshot(std::chrono::milliseconds timeLimit, qint64 byteLimit) const override;
    bool write(const QList<ClipboardItem> &items) override;

private:
    qint64 changes = 0;
};
