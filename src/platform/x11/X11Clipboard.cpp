#include "platform/x11/X11Clipboard.h"

#include "platform/x11/X11ClipboardReader.h"
#include "platform/x11/X11Connection.h"

#include <QClipboard>
#include <QCoroFuture>
#include <QGuiApplication>
#include <QMimeData>
#include <QtConcurrent/QtConcurrentRun>

#include <X11/Xlib.h>

namespace {

// Clipboard managers (Klipper, CopyQ, GPaste and others) leave contents with this hint out of their history.
constexpr auto managerHint = "x-kde-passwordManagerHint";

QClipboard *clipboard()
{
    return QGuiApplication::clipboard();
}

} // namespace

X11Clipboard::X11Clipboard()
{
    connect(clipboard(), &QClipboard::dataChanged, this, [this] { ++changes; });
}

void X11Clipboard::clear()
{
    clipboard()->clear(QClipboard::Clipboard);
}

bool X11Clipboard::setText(const QString &text, bool transient)
{
    auto *data = new QMimeData;
    data->setText(text);
    if (transient)
        data->setData(QString::fromLatin1(managerHint), QByteArrayLiteral("secret"));
    clipboard()->setMimeData(data, QClipboard::Clipboard);
    return clipboard()->ownsClipboard();
}

QCoro::Task<ClipboardSnapshot> X11Clipboard::snapshot(std::chrono::milliseconds timeLimit, qint64 byteLimit) const
{
    Display *display = X11Connection::display();
    if (!display)
        co_return ClipboardSnapshot{};
    const QByteArray name(DisplayString(display));
    QFuture<ClipboardSnapshot> reading = QtConcurrent::run(
        [name, timeLimit, byteLimit] { return X11ClipboardReader::read(name, timeLimit, byteLimit); });
    co_return co_await reading;
}

bool X11Clipboard::write(const QList<ClipboardItem> &items)
{
    // X11 has a single item: formats of further items join it unless an earlier item has them already.
    auto *data = new QMimeData;
    for (const ClipboardItem &item : items) {
        for (const auto &[type, bytes] : item) {
            if (!data->hasFormat(type))
                data->setData(type, bytes);
        }
    }
    clipboard()->setMimeData(data, QClipboard::Clipboard);
    return clipboard()->ownsClipboard();
}
