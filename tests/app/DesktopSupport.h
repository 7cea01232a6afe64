#pragma once

#include <QImage>
#include <QPoint>
#include <QProcess>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QWidget>

// Helpers for tests that run in a real X11 session with a window manager and a
// compositor: other applications, the active window, the mouse and screenshots.
namespace DesktopSupport {

// Runs a program to its end and returns its standard output, trimmed; fails the test
// (and returns nothing) when it does not exit with 0 within 20 seconds.
QString run(const QString &program, const QStringList &arguments);

// The window manager's active window (_NET_ACTIVE_WINDOW), 0 when there is none.
quint64 activeWindow();

// Moves the pointer to `point` and clicks the left button there.
void click(QPoint point);

// The composited screen as the user sees it.
QImage screenshot();

// Saves `image` as <build>/artifacts/<name>.png and returns the path.
QString saveArtifact(const QImage &image, const QString &name);

// The bounding box, within `area`, of the pixels that differ from `background`.
QRect boundsOfChange(const QImage &image, const QRect &area, QColor background);

bool near(QColor a, QColor b, int tolerance = 4);

// Another application the user works in: an xterm at `geometry` that becomes the active
// window. Ended when the object goes.
class OtherApplication
{
public:
    explicit OtherApplication(const QString &geometry = QStringLiteral("60x10+80+80"));
    ~OtherApplication();
    qint64 pid() const { return process.processId(); }
    quint64 window() const { return windowId; }
    void activate();

private:
    QProcess process;
    quint64 windowId = 0;
};

// An opaque white window over the whole screen, below everything else: makes
// translucency visible in screenshots and records the clicks that reach it.
class Backdrop : public QWidget
{
public:
    Backdrop();
    QList<QPoint> presses; // global positions

protected:
    void mousePressEvent(QMouseEvent *event) override;
};

} // namespace DesktopSupport
