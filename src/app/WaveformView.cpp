#include "WaveformView.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace {

const QColor capsuleFill(10, 11, 11, qRound(0.94 * 255));
const QColor capsuleStroke(46, 52, 52);
const QColor teal(20, 184, 166);
const QColor lightTeal(94, 234, 212, qRound(0.6 * 255));

constexpr float riseFactor = 0.6f;
constexpr float fallFactor = 0.25f;
constexpr double degreesPerFrame = 6;

} // namespace

const char *overlayModeName(OverlayMode mode)
{
    return mode == OverlayMode::recording ? "recording" : "transcribing";
}

WaveformView::WaveformView(QWidget *parent) : QWidget(parent)
{
    setFixedSize(200, 48);
    setAttribute(Qt::WA_TranslucentBackground);
    reset();
}

void WaveformView::setMode(OverlayMode mode)
{
    currentMode = mode;
    update();
}

void WaveformView::reset()
{
    history.fill(0);
    smoothedLevel = 0;
    update();
}

void WaveformView::advance(float level)
{
    // A broken meter reading must not poison the smoothed level for the rest of the display.
    if (!std::isfinite(level) || level < 0)
        level = 0;
    const float k = level > smoothedLevel ? riseFactor : fallFactor;
    smoothedLevel += (level - smoothedLevel) * k;
    std::shift_left(history.begin(), history.end(), 1);
    history.back() = std::max(smoothedLevel, minimumBar);
    update();
}

void WaveformView::turnSpinner()
{
    angle = std::fmod(angle + degreesPerFrame, 360.0);
    update();
}

void WaveformView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    drawCapsule(painter);
    if (currentMode == OverlayMode::transcribing)
        drawLoader(painter);
    else
        drawBars(painter);
}

void WaveformView::drawCapsule(QPainter &painter) const
{
    const QRectF capsule = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const qreal radius = height() / 2.0;
    painter.setPen(QPen(capsuleStroke, 1.0));
    painter.setBrush(capsuleFill);
    painter.drawRoundedRect(capsule, radius, radius);
}

void WaveformView::drawBars(QPainter &painter) const
{
    const qreal step = (width() - 32) / qreal(barCount);
    const qreal barWidth = std::max(step * 0.55, 2.0);
    const qreal middle = height() / 2.0;
    painter.setPen(Qt::NoPen);
    painter.setBrush(teal);
    for (int i = 0; i < barCount; ++i) {
        const qreal h = std::max((height() - 18) * qreal(history[i]), 2.0);
        const QRectF bar(16 + step * i, middle - h / 2, barWidth, h);
        painter.drawRoundedRect(bar, barWidth / 2, barWidth / 2);
    }
}

// Qt's arc angles grow counter-clockwise and a negative sweep runs clockwise, so the two
// arcs turn in opposite directions, the inner one 1.6 times as fast.
void WaveformView::drawLoader(QPainter &painter) const
{
    const QPointF centre = QRectF(rect()).center();
    const auto arc = [&](qreal radius, qreal width, const QColor &colour, qreal start, qreal sweep) {
        QPen pen(colour, width);
        pen.setCapStyle(Qt::RoundCap);
        painter.setPen(pen);
        painter.setBrush(Qt::NoBrush);
        const QRectF box(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius);
        painter.drawArc(box, qRound(start * 16), qRound(sweep * 16));
    };
    arc(13, 2.5, teal, -angle, -110);
    arc(8, 2.0, lightTeal, 1.6 * angle, 90);
}
