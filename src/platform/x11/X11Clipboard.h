#pragma once

#include "platform/Clipboard.h"

#include <QObject>

// The CLIPBOARD selection through QClipboard. X11 has one item with many targets; the change count is kept
// here, since X11 has none: it grows with every change QClipboard reports, ours and other programs'.
class X11Clipboard : public QObject, public Clipboard
{
    Q_OBJECT
public:
    X11Clipboard();

    qint64 changeCount() const override { return changes; }
    void clear() override;
    bool setText(const QString &text, bool transient) override;
    int itemCount() const override;
    QStringList types(int item) const override;
    std::optional<QByteArray> data(int item, const QString &type) const override;
    bool write(const QList<ClipboardItem> &items) override;

private:
    qint64 changes = 0;
};
