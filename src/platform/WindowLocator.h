#pragma once

#include <QRect>
#include <QtGlobal>

#include <optional>

// Where the windows of other processes are, for placing our floating windows near the
// application the user works in.
class WindowLocator
{
public:
    virtual ~WindowLocator() = default;

    // The bounds, in global logical coordinates, of the front-most ordinary window of the
    // process `pid` that is on screen; nothing when it has none.
    virtual std::optional<QRect> frontWindow(qint64 pid) const = 0;

    // Whether a compositor runs, so that translucent windows are blended over what lies
    // below them instead of showing black.
    virtual bool compositing() const = 0;
};
