#pragma once

#include "dictation/OverlayMode.h"

#include <QWidget>

#include <array>

// The mode's name as log lines write it.
const char *overlayModeName(OverlayMode mode);

// The content of the floating capsule: a scrolling bar graph of the input level, or a
// spinning two-arc loader. It only draws; WaveformOverlay drives it frame by frame.
class WaveformView : public QWidget
{
    Q_OBJECT

public:
    static constexpr int barCount = 40;
    static constexpr float minimumBar = 0.02f;
    using Bars = std::array<float, barCount>;

    explicit WaveformView(QWidget *parent = nullptr);

    OverlayMode mode() const { return currentMode; }
    void setMode(OverlayMode mode);

    const Bars &bars() const { return history; }
    float smoothed() const { return smoothedLevel; }
    double spinnerAngle() const { return angle; }

    // Back to silence: 40 empty bars and no smoothed level.
    void reset();

    // Pushes one level into the history: the level rises fast and falls slowly, and the
    // oldest bar scrolls out on the left.
    void advance(float level);

    // Turns the loader by one frame (6 degrees).
    void turnSpinner();

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void drawCapsule(QPainter &painter) const;
    void drawBars(QPainter &painter) const;
    void drawLoader(QPainter &painter) const;

    OverlayMode currentMode = OverlayMode::recording;
    Bars history{};
    float smoothedLevel = 0;
    double angle = 0;
};
