#include "app/TrayIcons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace TrayIcons {
namespace {

// Symbols are drawn on a 24-unit grid and scaled to each pixmap size.
void drawMic(QPainter &p, bool filled)
{
    const QRectF capsule(8.5, 2.5, 7, 12);
    if (filled)
        p.setBrush(p.pen().color());
    p.drawRoundedRect(capsule, 3.5, 3.5);
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(5, 6, 14, 13), 180 * 16, 180 * 16);
    p.drawLine(QPointF(12, 19), QPointF(12, 22));
    p.drawLine(QPointF(8.5, 22), QPointF(15.5, 22));
}

void drawWaveform(QPainter &p)
{
    const double heights[] = {4, 10, 16, 8, 13, 6, 3};
    for (int i = 0; i < 7; ++i) {
        const double x = 3 + i * 3;
        p.drawLine(QPointF(x, 12 - heights[i] / 2), QPointF(x, 12 + heights[i] / 2));
    }
}

void drawDownload(QPainter &p)
{
    p.drawEllipse(QRectF(2.5, 2.5, 19, 19));
    p.drawLine(QPointF(12, 7), QPointF(12, 16.5));
    p.drawLine(QPointF(8, 12.5), QPointF(12, 16.5));
    p.drawLine(QPointF(16, 12.5), QPointF(12, 16.5));
}

void drawWarning(QPainter &p)
{
    QPainterPath triangle;
    triangle.moveTo(12, 3);
    triangle.lineTo(22, 20.5);
    triangle.lineTo(2, 20.5);
    triangle.closeSubpath();
    p.drawPath(triangle);
    p.drawLine(QPointF(12, 9), QPointF(12, 14.5));
    p.drawPoint(QPointF(12, 17.5));
}

void drawSymbol(QPainter &p, RecordingState state)
{
    switch (state) {
    case RecordingState::loading: drawDownload(p); break;
    case RecordingState::idle: drawMic(p, false); break;
    case RecordingState::recording: drawMic(p, true); break;
    case RecordingState::transcribing: drawWaveform(p); break;
    case RecordingState::error: drawWarning(p); break;
    }
}

QPixmap render(RecordingState state, int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 24.0, size / 24.0);
    // Panels are light or dark, and we cannot ask which: a dark rim under the stroke keeps the light symbols
    // readable on a light panel, and stays unseen on a dark one.
    for (const auto &[colour, width] :
         {std::pair(outlineColour(), 4.0), std::pair(tint(state).value_or(plainColour()), 2.0)}) {
        p.setPen(QPen(colour, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        drawSymbol(p, state);
    }
    return pixmap;
}

} // namespace

std::optional<QColor> tint(RecordingState state)
{
    switch (state) {
    case RecordingState::recording: return QColor(229, 84, 79);
    case RecordingState::transcribing: return QColor(91, 157, 217);
    case RecordingState::error: return QColor(237, 186, 74);
    case RecordingState::loading:
    case RecordingState::idle: return std::nullopt;
    }
    return std::nullopt;
}

QColor plainColour()
{
    return QColor(236, 236, 236);
}

QColor outlineColour()
{
    return QColor(40, 40, 42);
}

QIcon icon(RecordingState state)
{
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64})
        icon.addPixmap(render(state, size));
    return icon;
}

} // namespace TrayIcons
