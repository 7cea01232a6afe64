#include "Banner.h"

#include <QApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QVBoxLayout>

#include <algorithm>

namespace {

constexpr int textWidth = 292;
constexpr int cornerRadius = 10;

QLabel *label(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    label->setMaximumWidth(textWidth);
    // The whole banner is one click target.
    label->setAttribute(Qt::WA_TransparentForMouseEvents);
    return label;
}

} // namespace

Banner::Banner(const QString &title, const QString &text)
    : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus |
                           Qt::X11BypassWindowManagerHint)
{
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Talvane"));

    QLabel *titleLabel = label(title, this);
    QFont bold = font();
    bold.setBold(true);
    titleLabel->setFont(bold);

    QLabel *textLabel = label(text, this);
    QFont small = font();
    small.setPointSizeF(font().pointSizeF() * 0.85);
    textLabel->setFont(small);
    QPalette secondary = textLabel->palette();
    secondary.setColor(QPalette::WindowText, palette().color(QPalette::PlaceholderText));
    textLabel->setPalette(secondary);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(14, 12, 14, 12);
    layout->setSpacing(4);
    layout->addWidget(titleLabel);
    layout->addWidget(textLabel);

    // The wrapped labels decide the height at the fixed width.
    setFixedSize(bannerWidth, layout->totalHeightForWidth(bannerWidth));
}

QPoint Banner::origin(QSize size, std::optional<QRect> anchor, const QRect &visible)
{
    const int w = size.width();
    const int h = size.height();
    const int right = visible.x() + visible.width();
    if (!anchor)
        return {right - w - 12, visible.y() + 12};

    int x = anchor->x() + anchor->width() / 2 - w / 2;
    x = std::max(x, visible.x() + 8);
    x = std::min(x, right - w - 8); // on a screen too narrow for both, the right edge wins
    int y = anchor->y() + anchor->height() + 6;
    if (y + h > visible.y() + visible.height())
        y = anchor->y() - 6 - h;
    return {x, y};
}

void Banner::mousePressEvent(QMouseEvent *event)
{
    event->accept();
    if (onClick)
        onClick();
}

// A dark, slightly translucent card with rounded corners, like the system's popovers.
void Banner::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor fill = palette().color(QPalette::Window);
    fill.setAlphaF(0.96);
    painter.setPen(QPen(palette().color(QPalette::Mid), 1.0));
    painter.setBrush(fill);
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), cornerRadius, cornerRadius);
}
