#pragma once

#include "app/WaveformView.h"
#include "dictation/AppState.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPoint>
#include <QRect>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

class WindowLocator;

// The floating capsule near the bottom of the screen: a scrolling level graph while the
// user speaks, a loader while the speech is recognised. It never takes the focus and lets
// the mouse through, so the application the user dictates into stays active. Its frames
// run about 30 times a second only while it is shown.
class WaveformOverlay : public QObject, public Overlay
{
    Q_OBJECT

public:
    static constexpr int frameIntervalMs = 33;
    static constexpr int bottomGap = 48;

    explicit WaveformOverlay(std::unique_ptr<WindowLocator> locator, QObject *parent = nullptr);
    ~WaveformOverlay() override;

    // Read on every recording frame, on the GUI thread; must be cheap and thread-safe
    // towards whoever writes the level.
    void setLevelSource(std::function<float()> source) override;

    // Shows the capsule in `mode`. A hidden capsule is placed on the screen of the front
    // window of `nearPid` (the dictation's target), else on the mouse's screen; a visible
    // one keeps its place. Recording starts a fresh history.
    void show(OverlayMode mode, std::optional<qint64> nearPid = std::nullopt) override;

    void hide() override;

    bool isShown() const;
    bool isAnimating() const { return frameTimer.isActive(); }
    QWidget *panel() const { return window.get(); }
    WaveformView *view() const { return content; }

    // The index in `frames` of the screen for the capsule: the one holding the centre of the
    // target's window, else the one under the mouse, else `mainScreen`; -1 without screens.
    static int screenFor(const QList<QRect> &frames, int mainScreen, std::optional<QPoint> windowCentre, QPoint mouse);

    // The top-left corner of the capsule on a screen with this visible frame: centred,
    // its bottom 48 above the frame's bottom.
    static QPoint panelOrigin(const QRect &visibleFrame);

private:
    void position(std::optional<qint64> nearPid);
    void updateShape();
    void frame();
    void logRecording();

    std::unique_ptr<WindowLocator> locator;
    std::unique_ptr<QWidget> window;
    WaveformView *content = nullptr;
    QTimer frameTimer;
    std::function<float()> levelSource;

    // Statistics of the current recording display, reported by the next show or hide.
    std::optional<QElapsedTimer> recordingSince;
    int frames = 0;
    float loudest = 0;
};
