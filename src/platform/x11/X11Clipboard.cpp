#include "platform/x11/X11Clipboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

namespace {

// Clipboard managers (Klipper, CopyQ, GPaste and others) leave contents with this hint out of their history.
constexpr auto managerHint = "x-kde-passwordManagerHint";

QClipboard *clipboard()
{
    return QGuiApplication::clipboard();
}

// Selection targets that describe the selection rather than hold contents (TARGETS, TIMESTAMP, …), legacy
// targets without a MIME type (STRING, COMPOUND_TEXT, …) that Qt derives again from text/plain when it serves
// the contents, and the decoded image Qt adds beside every image type, which no X client offered.
bool isContentType(const QString &type)
{
    return type.contains(QLatin1Char('/')) && type != QLatin1String("application/x-qt-image");
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

int X11Clipboard::itemCount() const
{
    const QMimeData *data = clipboard()->mimeData(QClipboard::Clipboard);
    return data && !types(0).isEmpty() ? 1 : 0;
}

QStringList X11Clipboard::types(int item) const
{
    const QMimeData *data = clipboard()->mimeData(QClipboard::Clipboard);
    if (item != 0 || !data)
        return {};
    QStringList result;
    for (const QString &type : data->formats()) {
        if (isContentType(type) && !result.contains(type))
            result.append(type);
    }
    return result;
}

std::optional<QByteArray> X11Clipboard::data(int item, const QString &type) const
{
    const QMimeData *data = clipboard()->mimeData(QClipboard::Clipboard);
    if (item != 0 || !data || !data->hasFormat(type))
        return std::nullopt;
    // Qt gives an empty array when the owner does not deliver; an empty format holds nothing to restore anyway.
    QByteArray bytes = data->data(type);
    if (bytes.isEmpty())
        return std::nullopt;
    return bytes;
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
