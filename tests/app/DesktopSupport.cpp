#include "DesktopSupport.h"

#include <QDir>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QScreen>
#include <QTest>

namespace DesktopSupport {

QString run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    const bool finished = process.waitForFinished(20000);
    const QString output = QString::fromUtf8(process.readAllStandardOutput()).trimmed();
    if (!finished || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        QTest::qFail(qPrintable(QStringLiteral("%1 %2 failed: %3")
                                    .arg(program, arguments.join(QLatin1Char(' ')),
                                         QString::fromUtf8(process.readAllStandardError()))),
                     __FILE__, __LINE__);
        return {};
    }
    return output;
}

quint64 activeWindow()
{
    return run(QStringLiteral("xdotool"), {QStringLiteral("getactivewindow")}).toULongLong();
}

void click(QPoint point)
{
    run(QStringLiteral("xdotool"), {QStringLiteral("mousemove"), QStringLiteral("--sync"), QString::number(point.x()),
                                    QString::number(point.y()), QStringLiteral("click"), QStringLiteral("1")});
}

QImage screenshot()
{
    // Let the compositor paint the latest frames first.
    QTest::qWait(300);
    return QGuiApplication::primaryScreen()->grabWindow(0).toImage().convertToFormat(QImage::Format_RGB32);
}

QString saveArtifact(const QImage &image, const QString &name)
{
    const QString dir = QStringLiteral(TALVANE_ARTIFACTS_DIR);
    QDir().mkpath(dir);
    const QString path = dir + QLatin1Char('/') + name + QStringLiteral(".png");
    if (!image.save(path))
        QTest::qFail(qPrintable(QStringLiteral("cannot save ") + path), __FILE__, __LINE__);
    return path;
}

QRect boundsOfChange(const QImage &image, const QRect &area, QColor background)
{
    QRect bounds;
    const QRect inside = area.intersected(image.rect());
    for (int y = inside.top(); y <= inside.bottom(); ++y)
        for (int x = inside.left(); x <= inside.right(); ++x)
            if (!near(image.pixelColor(x, y), background, 8))
                bounds |= QRect(x, y, 1, 1);
    return bounds;
}

bool near(QColor a, QColor b, int tolerance)
{
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance;
}

OtherApplication::OtherApplication(const QString &geometry)
{
    process.start(QStringLiteral("xterm"), {QStringLiteral("-geometry"), geometry});
    if (!process.waitForStarted()) {
        QTest::qFail("xterm did not start", __FILE__, __LINE__);
        return;
    }
    const QString found = run(QStringLiteral("xdotool"),
                              {QStringLiteral("search"), QStringLiteral("--sync"), QStringLiteral("--onlyvisible"),
                               QStringLiteral("--pid"), QString::number(process.processId())});
    windowId = found.split(QLatin1Char('\n')).last().toULongLong();
    activate();
}

OtherApplication::~OtherApplication()
{
    process.terminate();
    process.waitForFinished(5000);
}

void OtherApplication::activate()
{
    run(QStringLiteral("xdotool"),
        {QStringLiteral("windowactivate"), QStringLiteral("--sync"), QString::number(windowId)});
}

Backdrop::Backdrop() : QWidget(nullptr, Qt::FramelessWindowHint)
{
    QPalette white = palette();
    white.setColor(QPalette::Window, Qt::white);
    setPalette(white);
    setAutoFillBackground(true);
    setGeometry(QGuiApplication::primaryScreen()->geometry());
    show();
    if (!QTest::qWaitForWindowExposed(this))
        QTest::qFail("the backdrop window did not appear", __FILE__, __LINE__);
}

void Backdrop::mousePressEvent(QMouseEvent *event)
{
    presses.append(event->globalPosition().toPoint());
}

} // namespace DesktopSupport
