#include "WaveformOverlay.h"

#include "platform/Log.h"
#include "platform/WindowLocator.h"

#include <QCursor>
#include <QGuiApplication>
#include <QPainterPath>
#include <QRegion>
#include <QScreen>

#include <algorithm>

WaveformOverlay::WaveformOverlay(std::unique_ptr<WindowLocator> locator, QObject *parent)
    : QObject(parent), locator(std::move(locator))
{
    window = std::make_unique<QWidget>(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                                                    Qt::WindowDoesNotAcceptFocus | Qt::WindowTransparentForInput |
                                                    Qt::X11BypassWindowManagerHint);
    window->setAttribute(Qt::WA_ShowWithoutActivating);
    window->setAttribute(Qt::WA_TranslucentBackground);
    window->setWindowTitle(QStringLiteral("Talvane"));
    content = new WaveformView(window.get());
    window->setFixedSize(content->size());

    // One frame at a time, re-armed after its work: about 30 frames a second while shown
    // and no timer at all while hidden.
    frameTimer.setSingleShot(true);
    frameTimer.setInterval(frameIntervalMs);
    connect(&frameTimer, &QTimer::timeout, this, &WaveformOverlay::frame);
}

WaveformOverlay::~WaveformOverlay() = default;

void WaveformOverlay::setLevelSource(std::function<float()> source)
{
    levelSource = std::move(source);
}

bool WaveformOverlay::isShown() const
{
    return window->isVisible();
}

void WaveformOverlay::show(OverlayMode mode, std::optional<qint64> nearPid)
{
    logRecording();
    content->setMode(mode);
    if (mode == OverlayMode::recording) {
        content->reset();
        recordingSince.emplace();
        recordingSince->start();
        frames = 0;
        loudest = 0;
    }
    if (!window->isVisible())
        position(nearPid);
    window->show();
    window->raise();

    // Override-redirect windows show on every desktop, so on the current one exactly when
    // they are visible.
    const bool visible = window->isVisible();
    Log::info(QStringLiteral("Overlay: %1 shown, visible=%2, activeSpace=%2")
                  .arg(QLatin1String(overlayModeName(mode)), visible ? "true" : "false"));
    if (!frameTimer.isActive())
        frameTimer.start();
}

void WaveformOverlay::hide()
{
    logRecording();
    frameTimer.stop();
    window->hide();
}

void WaveformOverlay::logRecording()
{
    if (!recordingSince)
        return;
    const double seconds = recordingSince->elapsed() / 1000.0;
    recordingSince.reset();
    Log::info(QString::asprintf("Overlay: %d frames in %.1fs (expected ~%d), loudest level %.2f", frames, seconds,
                                int(seconds * 30), double(loudest)));
}

void WaveformOverlay::frame()
{
    if (content->mode() == OverlayMode::recording) {
        const float level = levelSource ? levelSource() : 0.0f;
        content->advance(level);
        ++frames;
        loudest = std::max(loudest, level);
    }
    content->turnSpinner();
    frameTimer.start();
}

int WaveformOverlay::screenFor(const QList<QRect> &frames, int mainScreen, std::optional<QPoint> windowCentre,
                               QPoint mouse)
{
    if (frames.isEmpty())
        return -1;
    const auto containing = [&](QPoint point) {
        for (int i = 0; i < frames.size(); ++i)
            if (frames[i].contains(point))
                return i;
        return -1;
    };
    if (windowCentre) {
        if (const int screen = containing(*windowCentre); screen >= 0)
            return screen;
    }
    if (const int screen = containing(mouse); screen >= 0)
        return screen;
    return mainScreen >= 0 && mainScreen < frames.size() ? mainScreen : 0;
}

QPoint WaveformOverlay::panelOrigin(const QRect &visibleFrame)
{
    const QSize size(200, 48);
    const int x = visibleFrame.x() + visibleFrame.width() / 2 - size.width() / 2;
    const int bottom = visibleFrame.y() + visibleFrame.height() - bottomGap;
    return {x, bottom - size.height()};
}

void WaveformOverlay::position(std::optional<qint64> nearPid)
{
    const QPoint mouse = QCursor::pos();
    std::optional<QPoint> windowCentre;
    if (nearPid) {
        if (const auto bounds = locator->frontWindow(*nearPid))
            windowCentre = bounds->center();
    }
    const QList<QScreen *> screens = QGuiApplication::screens();
    QList<QRect> frames;
    for (const QScreen *screen : screens)
        frames.append(screen->geometry());
    const int index = screenFor(frames, screens.indexOf(QGuiApplication::primaryScreen()), windowCentre, mouse);
    if (index < 0)
        return;
    const QScreen *screen = screens[index];
    updateShape();
    window->move(panelOrigin(screen->availableGeometry()));
    Log::info(QStringLiteral("Overlay: on screen '%1' of %2").arg(screen->name()).arg(screens.size()));
}

// Without a compositor the transparent corners would show black: cut the window to the
// capsule's outline instead.
void WaveformOverlay::updateShape()
{
    if (locator->compositing()) {
        window->clearMask();
        return;
    }
    QPainterPath capsule;
    const qreal radius = window->height() / 2.0;
    capsule.addRoundedRect(QRectF(window->rect()), radius, radius);
    window->setMask(QRegion(capsule.toFillPolygon().toPolygon()));
}
