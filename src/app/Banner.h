#pragma once

#include <QRect>
#include <QWidget>

#include <functional>
#include <optional>

// The notice shown by the program itself when no notification server is there: a small
// frameless panel that never takes the focus; a click anywhere on it, labels included,
// reports itself through onClick.
class Banner : public QWidget
{
    Q_OBJECT

public:
    static constexpr int bannerWidth = 320;

    Banner(const QString &title, const QString &text);

    std::function<void()> onClick;

    // Where a banner of `size` goes: 6 below the tray icon `anchor`, centred on it and kept
    // 8 inside the screen's visible frame `visible` (above the icon when a panel at the
    // bottom leaves no room below); without an icon, 12 in from the top-right corner.
    static QPoint origin(QSize size, std::optional<QRect> anchor, const QRect &visible);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
};
