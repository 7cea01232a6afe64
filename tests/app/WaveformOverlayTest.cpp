#include "DesktopSupport.h"
#include "TestSupport.h"

#include "app/WaveformOverlay.h"
#include "platform/x11/X11WindowLocator.h"

#include <QGuiApplication>
#include <QRegularExpression>
#include <QScreen>

#include <memory>

using namespace DesktopSupport;

namespace {

const QColor teal(20, 184, 166);
const QColor fillOverWhite(25, 26, 26); // (10, 11, 11) at 0.94 over white

int count(const QStringList &lines, const QRegularExpression &pattern)
{
    int n = 0;
    for (const QString &line : lines)
        n += pattern.match(line).hasMatch() ? 1 : 0;
    return n;
}

QString logged(const QString &message)
{
    return QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} \\[INFO\\] ") + message +
           QLatin1Char('$');
}

QRect visibleFrame()
{
    return QGuiApplication::primaryScreen()->availableGeometry();
}

} // namespace

class WaveformOverlayTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<Backdrop> backdrop;
    std::unique_ptr<OtherApplication> other;
    std::unique_ptr<WaveformOverlay> overlay;
    float level = 0;
    int levelReads = 0;

private Q_SLOTS:
    void initTestCase()
    {
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        backdrop = std::make_unique<Backdrop>();
        other = std::make_unique<OtherApplication>();
        QVERIFY(other->window() != 0);
    }

    void init()
    {
        overlay = std::make_unique<WaveformOverlay>(std::make_unique<X11WindowLocator>());
        overlay->setLevelSource([this] {
            ++levelReads;
            return level;
        });
        level = 0;
        levelReads = 0;
        other->activate();
    }

    void cleanup() { overlay.reset(); }

    void locatorFindsTheFrontWindowOfAProcess()
    {
        X11WindowLocator locator;
        QVERIFY(locator.compositing());
        const QStringList info =
            run(QStringLiteral("xwininfo"), {QStringLiteral("-id"), QString::number(other->window())})
                .split(QLatin1Char('\n'));
        const auto value = [&](const char *key) {
            for (const QString &line : info)
                if (line.trimmed().startsWith(QLatin1String(key)))
                    return line.section(QLatin1Char(':'), 1).trimmed().toInt();
            return -1;
        };
        const std::optional<QRect> bounds = locator.frontWindow(other->pid());
        QVERIFY(bounds);
        QCOMPARE(*bounds, QRect(value("Absolute upper-left X"), value("Absolute upper-left Y"), value("Width"),
                                value("Height")));

        // A process without windows, and a minimised window, give nothing.
        QProcess sleeper;
        sleeper.start(QStringLiteral("sleep"), {QStringLiteral("30")});
        QVERIFY(sleeper.waitForStarted());
        QVERIFY(!locator.frontWindow(sleeper.processId()));
        sleeper.kill();
        sleeper.waitForFinished();
        run(QStringLiteral("xdotool"),
            {QStringLiteral("windowminimize"), QStringLiteral("--sync"), QString::number(other->window())});
        QVERIFY(!locator.frontWindow(other->pid()));
        other->activate();
        QVERIFY(locator.frontWindow(other->pid()));
    }

    void showPlacesTheCapsuleAndLogs()
    {
        overlay->show(OverlayMode::recording, other->pid());
        QVERIFY(overlay->isShown());
        QCOMPARE(overlay->panel()->geometry(), QRect(WaveformOverlay::panelOrigin(visibleFrame()), QSize(200, 48)));
        const QStringList lines = TestSupport::logLines();
        const QString screen = QRegularExpression::escape(QGuiApplication::primaryScreen()->name());
        const QRegularExpression placed(logged(QStringLiteral("Overlay: on screen '%1' of 1").arg(screen)));
        const QRegularExpression shown(
            logged(QStringLiteral("Overlay: recording shown, visible=true, activeSpace=true")));
        QCOMPARE(count(lines, placed), 1);
        QCOMPARE(count(lines, shown), 1);
    }

    void animatesOnlyWhileShown()
    {
        level = 0.5f;
        QVERIFY(!overlay->isAnimating());
        overlay->show(OverlayMode::recording);
        QVERIFY(overlay->isAnimating());
        QTRY_VERIFY(levelReads >= 10);
        QTRY_VERIFY(overlay->view()->bars().back() > 0.45f);
        const double angle = overlay->view()->spinnerAngle();
        QVERIFY(angle > 0);

        overlay->hide();
        QVERIFY(!overlay->isShown());
        QVERIFY(!overlay->isAnimating());
        const int reads = levelReads;
        QTest::qWait(300);
        QCOMPARE(levelReads, reads);
        QCOMPARE(overlay->view()->spinnerAngle(), angle);
    }

    void transcribingKeepsPlaceHistoryAndAngle()
    {
        level = 0.8f;
        overlay->show(OverlayMode::recording);
        QTRY_VERIFY(overlay->view()->bars().back() > 0.7f);
        // A visible capsule stays where it is, wherever that is.
        overlay->panel()->move(overlay->panel()->pos() - QPoint(100, 50));
        const QPoint place = overlay->panel()->pos();
        const WaveformView::Bars bars = overlay->view()->bars();
        const double angle = overlay->view()->spinnerAngle();

        overlay->show(OverlayMode::transcribing);
        QCOMPARE(overlay->panel()->pos(), place);
        QVERIFY(overlay->view()->bars() == bars);
        QCOMPARE(overlay->view()->spinnerAngle(), angle);
        QCOMPARE(overlay->view()->mode(), OverlayMode::transcribing);

        // The loader turns on from there; the level is no longer read.
        const int reads = levelReads;
        QTRY_VERIFY(overlay->view()->spinnerAngle() != angle);
        QTest::qWait(200);
        QCOMPARE(levelReads, reads);
        QVERIFY(overlay->view()->bars() == bars);
    }

    void eachRecordingDisplayIsReportedOnce()
    {
        const QRegularExpression report(logged(QStringLiteral(
            "Overlay: (\\d+) frames in (\\d+\\.\\d)s \\(expected ~(\\d+)\\), loudest level (\\d\\.\\d\\d)")));
        const int before = count(TestSupport::logLines(), report);

        level = 0.75f;
        overlay->show(OverlayMode::recording);
        QTRY_VERIFY(levelReads >= 5);
        overlay->hide();
        level = 0.25f;
        overlay->show(OverlayMode::recording);
        // A fresh history: nothing of the previous display remains.
        for (float bar : overlay->view()->bars())
            QCOMPARE(bar, 0.0f);
        QTRY_VERIFY(levelReads >= 10);
        overlay->show(OverlayMode::transcribing);
        overlay->show(OverlayMode::transcribing);
        overlay->hide();

        QStringList loudest;
        int frames = 0;
        int seen = 0;
        for (const QString &line : TestSupport::logLines()) {
            const auto match = report.match(line);
            if (!match.hasMatch() || seen++ < before)
                continue;
            loudest << match.captured(4);
            frames += match.captured(1).toInt();
        }
        QCOMPARE(loudest, (QStringList{QStringLiteral("0.75"), QStringLiteral("0.25")}));
        QCOMPARE(frames, levelReads);
    }

    void keepsTheActiveWindowAndLetsClicksThrough()
    {
        const quint64 active = activeWindow();
        QCOMPARE(active, other->window());
        overlay->show(OverlayMode::recording, other->pid());
        QTest::qWait(300);
        QCOMPARE(activeWindow(), active);
        QVERIFY(!QGuiApplication::focusWindow());

        const QPoint centre = overlay->panel()->geometry().center();
        backdrop->presses.clear();
        click(centre);
        QTRY_COMPARE(backdrop->presses.size(), 1);
        QCOMPARE(backdrop->presses.first(), centre);
        QVERIFY(overlay->isShown());
    }

    void screenshotsShowTheCapsule()
    {
        level = 1.0f;
        overlay->show(OverlayMode::recording);
        QTRY_VERIFY(overlay->view()->bars().front() > 0.99f);
        const QRect capsule(overlay->panel()->pos(), QSize(200, 48));
        QImage shot = screenshot();
        saveArtifact(shot, QStringLiteral("overlay-recording"));
        saveArtifact(shot.copy(capsule.adjusted(-20, -20, 20, 20)), QStringLiteral("overlay-recording-close-up"));
        verifyCapsule(shot, capsule);
        // Full-scale bars, 30 high, from the left end to the right end.
        for (int i : {0, 20, 39}) {
            const int x = capsule.x() + int(16 + 4.2 * i + 2.31 / 2);
            QVERIFY2(near(shot.pixelColor(x, capsule.y() + 10), teal), qPrintable(QString::number(i)));
            QVERIFY2(near(shot.pixelColor(x, capsule.y() + 37), teal), qPrintable(QString::number(i)));
            QVERIFY(near(shot.pixelColor(x, capsule.y() + 6), fillOverWhite));
        }

        overlay->show(OverlayMode::transcribing);
        shot = screenshot();
        saveArtifact(shot, QStringLiteral("overlay-transcribing"));
        saveArtifact(shot.copy(capsule.adjusted(-20, -20, 20, 20)), QStringLiteral("overlay-transcribing-close-up"));
        verifyCapsule(shot, capsule);
        const QPoint centre = capsule.topLeft() + QPoint(100, 24);
        QVERIFY(near(shot.pixelColor(centre.x() - 60, centre.y()), fillOverWhite));
        // The arcs turn while the screenshot is taken: measure how much of each ring they cover.
        const auto covered = [&](double radius, auto tinted) {
            int hits = 0;
            for (int degree = 0; degree < 360; ++degree) {
                const double rad = degree * M_PI / 180;
                hits += tinted(shot.pixelColor(centre +
                                               QPoint(qRound(radius * std::cos(rad)), qRound(radius * std::sin(rad)))))
                            ? 1
                            : 0;
            }
            return hits / 360.0;
        };
        const double outer = covered(13, [](QColor c) { return near(c, teal, 30); });
        const double inner = covered(8, [](QColor c) { return near(c, QColor(66, 151, 138), 30); });
        QVERIFY2(outer > 0.25 && outer < 0.40, qPrintable(QString::number(outer))); // 110° of 360°
        QVERIFY2(inner > 0.18 && inner < 0.34, qPrintable(QString::number(inner))); // 90° of 360°
    }

private:
    // The capsule sits exactly at `capsule`, blended over the white backdrop, with the
    // white showing at its rounded corners.
    void verifyCapsule(const QImage &shot, const QRect &capsule)
    {
        QCOMPARE(boundsOfChange(shot, capsule.adjusted(-20, -20, 20, 20), Qt::white), capsule);
        QVERIFY(near(shot.pixelColor(capsule.topLeft() + QPoint(100, 4)), fillOverWhite));
        QVERIFY(near(shot.pixelColor(capsule.topLeft() + QPoint(1, 1)), Qt::white));
        QVERIFY(near(shot.pixelColor(capsule.bottomRight() - QPoint(1, 1)), Qt::white));
        QCOMPARE(capsule.bottom() + 1, visibleFrame().bottom() + 1 - 48);
    }
};

TALVANE_GUI_TEST_MAIN(WaveformOverlayTest)
#include "WaveformOverlayTest.moc"
