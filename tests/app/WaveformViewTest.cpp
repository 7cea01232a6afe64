#include "TestSupport.h"

#include "app/WaveformOverlay.h"
#include "app/WaveformView.h"
#include "platform/WindowLocator.h"

#include <QImage>

#include <cmath>
#include <limits>

namespace {

const QColor teal(20, 184, 166);

bool near(QColor a, QColor b, int tolerance = 3)
{
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance;
}

// The capsule drawn over opaque white, as a compositor would blend it.
QImage render(WaveformView &view)
{
    QImage image(view.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::white);
    view.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

// The pixel column through the middle of bar i (step 4.2, width 2.31, from x = 16).
int barColumn(int i)
{
    return int(16 + 4.2 * i + 2.31 / 2);
}

// Rows of a column tinted by a bar: anti-aliased ends count; the dark capsule and the
// white around it do not.
int barRows(const QImage &image, int column)
{
    int rows = 0;
    for (int y = 0; y < image.height(); ++y)
        rows += image.pixelColor(column, y).green() > 90 && image.pixelColor(column, y).red() < 60 ? 1 : 0;
    return rows;
}

class FakeLocator : public WindowLocator
{
public:
    bool composited = true;
    mutable QList<qint64> asked;

    std::optional<QRect> frontWindow(qint64 pid) const override
    {
        asked.append(pid);
        return std::nullopt;
    }
    bool compositing() const override { return composited; }
};

} // namespace

class WaveformViewTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void startsSilent()
    {
        WaveformView view;
        QCOMPARE(view.size(), QSize(200, 48));
        QCOMPARE(view.mode(), OverlayMode::recording);
        for (float bar : view.bars())
            QCOMPARE(bar, 0.0f);
        QCOMPARE(view.spinnerAngle(), 0.0);
    }

    void advance_data()
    {
        QTest::addColumn<QList<float>>("levels");
        QTest::addColumn<float>("newest");
        QTest::addColumn<float>("previous");

        QTest::newRow("silence is raised to the minimum bar") << QList<float>(50, 0.0f) << 0.02f << 0.02f;
        QTest::newRow("a loud frame rises by 0.6 at once") << QList<float>{0, 0, 1.0f} << 0.6f << 0.02f;
        QTest::newRow("then falls by a quarter of the distance") << QList<float>{1.0f, 0} << 0.45f << 0.6f;
        QTest::newRow("falls slowly frame after frame") << QList<float>{1.0f, 0, 0} << 0.3375f << 0.45f;
        QTest::newRow("rises fast again") << QList<float>{1.0f, 0, 0.5f} << 0.48f << 0.45f;
        QTest::newRow("a broken reading counts as silence")
            << QList<float>{1.0f, std::numeric_limits<float>::quiet_NaN()} << 0.45f << 0.6f;
        QTest::newRow("and the next good one counts again")
            << QList<float>{std::numeric_limits<float>::infinity(), -1.0f, 1.0f} << 0.6f << 0.02f;
        QTest::newRow("a steady level is approached") << QList<float>(30, 0.3f) << 0.3f << 0.3f;
    }

    void advance()
    {
        QFETCH(QList<float>, levels);
        QFETCH(float, newest);
        QFETCH(float, previous);
        WaveformView view;
        for (float level : levels)
            view.advance(level);
        QCOMPARE(view.bars().size(), std::size_t(40));
        QVERIFY2(std::abs(view.bars()[39] - newest) < 1e-4, qPrintable(QString::number(view.bars()[39])));
        QVERIFY2(std::abs(view.bars()[38] - previous) < 1e-4, qPrintable(QString::number(view.bars()[38])));
    }

    void historyScrollsLeft()
    {
        WaveformView view;
        view.advance(1.0f);
        for (int i = 0; i < 39; ++i)
            view.advance(0);
        // The loud frame has scrolled all the way to the oldest slot, its fall behind it.
        QVERIFY(std::abs(view.bars()[0] - 0.6f) < 1e-4);
        QVERIFY(std::abs(view.bars()[1] - 0.45f) < 1e-4);
        view.advance(0);
        QVERIFY(std::abs(view.bars()[0] - 0.45f) < 1e-4);
        view.reset();
        for (float bar : view.bars())
            QCOMPARE(bar, 0.0f);
        QCOMPARE(view.smoothed(), 0.0f);
    }

    void spinnerTurnsSixDegreesAFrame()
    {
        WaveformView view;
        for (int i = 0; i < 61; ++i)
            view.turnSpinner();
        QVERIFY(std::abs(view.spinnerAngle() - 6.0) < 1e-9);
    }

    void drawsCapsuleAndSilentBars()
    {
        WaveformView view;
        for (int i = 0; i < 40; ++i)
            view.advance(0);
        const QImage image = render(view);
        // Fill (10, 11, 11) at 0.94 over white; the rounded corners leave the white.
        QVERIFY(near(image.pixelColor(100, 5), QColor(25, 26, 26)));
        QVERIFY(near(image.pixelColor(1, 1), Qt::white));
        QVERIFY(near(image.pixelColor(198, 46), Qt::white));
        // The outline, (46, 52, 52), runs along the top edge.
        QVERIFY(near(image.pixelColor(100, 0), QColor(46, 52, 52), 20));
        // Silent bars are 2 high around the middle (rows 23 and 24), their ends rounded.
        for (int i : {0, 20, 39}) {
            QCOMPARE(barRows(image, barColumn(i)), 2);
            QVERIFY(image.pixelColor(barColumn(i), 23).green() > 90);
            QVERIFY(image.pixelColor(barColumn(i), 24).green() > 90);
        }
        // Between two bars lies the fill.
        QVERIFY(near(image.pixelColor(barColumn(5) + 2, 23), QColor(25, 26, 26)));
    }

    void drawsFullScaleBars()
    {
        WaveformView view;
        for (int i = 0; i < 80; ++i)
            view.advance(1.0f);
        const QImage image = render(view);
        // A full-scale bar is 30 high: rows 9 to 38, anti-aliased at most at its rounded ends.
        QCOMPARE(barRows(image, barColumn(39)), 30);
        QVERIFY(near(image.pixelColor(barColumn(39), 10), teal));
        QVERIFY(near(image.pixelColor(barColumn(39), 37), teal));
        QVERIFY(!near(image.pixelColor(barColumn(39), 6), teal));
    }

    void drawsLoaderInsteadOfBars()
    {
        WaveformView view;
        for (int i = 0; i < 40; ++i)
            view.advance(1.0f);
        view.setMode(OverlayMode::transcribing);
        const QImage image = render(view);
        // No bars any more: the far left and right columns hold only the capsule.
        QCOMPARE(barRows(image, barColumn(0)), 0);
        QCOMPARE(barRows(image, barColumn(39)), 0);
        // Angle 0: the outer arc runs clockwise from 0° (right of the centre) to -110°
        // (below it); the inner arc counter-clockwise from 0° to 90° (above the centre).
        const QPoint centre(100, 24);
        QVERIFY(near(image.pixelColor(centre + QPoint(13, 0)), teal, 6));
        QVERIFY(near(image.pixelColor(centre + QPoint(-4, 12)), teal, 6));
        QVERIFY(near(image.pixelColor(centre + QPoint(0, -13)), QColor(25, 26, 26)));
        QVERIFY(near(image.pixelColor(centre + QPoint(-13, 0)), QColor(25, 26, 26)));
        // Inner arc: (94, 234, 212) at 0.6 over the fill.
        const QColor inner(66, 151, 138);
        QVERIFY(near(image.pixelColor(centre + QPoint(0, -8)), inner, 8));
        QVERIFY(near(image.pixelColor(centre + QPoint(5, -6)), inner, 8));
        QVERIFY(near(image.pixelColor(centre + QPoint(0, 8)), QColor(25, 26, 26)));
    }

    void screenChoice_data()
    {
        QTest::addColumn<QList<QRect>>("frames");
        QTest::addColumn<int>("mainScreen");
        QTest::addColumn<std::optional<QPoint>>("window");
        QTest::addColumn<QPoint>("mouse");
        QTest::addColumn<int>("expected");

        const QList<QRect> two{QRect(0, 0, 1280, 800), QRect(1280, 0, 1920, 1080)};
        QTest::newRow("target window on the second screen")
            << two << 0 << std::optional(QPoint(2000, 500)) << QPoint(10, 10) << 1;
        QTest::newRow("target window wins over the mouse")
            << two << 0 << std::optional(QPoint(600, 400)) << QPoint(2000, 10) << 0;
        QTest::newRow("window off every screen: the mouse's screen")
            << two << 0 << std::optional(QPoint(-500, 400)) << QPoint(1500, 700) << 1;
        QTest::newRow("no target: the mouse's screen") << two << 0 << std::optional<QPoint>() << QPoint(1300, 5) << 1;
        QTest::newRow("mouse off every screen: the main screen")
            << two << 1 << std::optional<QPoint>() << QPoint(-5, -5) << 1;
        QTest::newRow("no screens") << QList<QRect>() << -1 << std::optional(QPoint(5, 5)) << QPoint(5, 5) << -1;
    }

    void screenChoice()
    {
        QFETCH(QList<QRect>, frames);
        QFETCH(int, mainScreen);
        QFETCH(std::optional<QPoint>, window);
        QFETCH(QPoint, mouse);
        QFETCH(int, expected);
        QCOMPARE(WaveformOverlay::screenFor(frames, mainScreen, window, mouse), expected);
    }

    void withoutCompositorTheCapsuleIsCutToShape()
    {
        auto owned = std::make_unique<FakeLocator>();
        FakeLocator *locator = owned.get();
        WaveformOverlay overlay(std::move(owned));
        locator->composited = false;
        overlay.show(OverlayMode::recording);
        const QRegion mask = overlay.panel()->mask();
        QVERIFY(mask.contains(QPoint(100, 24)));
        QVERIFY(mask.contains(QPoint(100, 1)));
        QVERIFY(mask.contains(QPoint(2, 24)));
        QVERIFY(!mask.contains(QPoint(1, 1)));
        QVERIFY(!mask.contains(QPoint(198, 46)));

        overlay.hide();
        locator->composited = true;
        overlay.show(OverlayMode::recording);
        QVERIFY(overlay.panel()->mask().isEmpty());
    }

    void onlyAHiddenCapsuleLooksForTheTarget()
    {
        auto owned = std::make_unique<FakeLocator>();
        FakeLocator *locator = owned.get();
        WaveformOverlay overlay(std::move(owned));
        overlay.show(OverlayMode::recording, 4242);
        overlay.show(OverlayMode::transcribing);
        overlay.show(OverlayMode::recording, 4343);
        QCOMPARE(locator->asked, QList<qint64>{4242});
        overlay.hide();
        overlay.show(OverlayMode::recording, 4444);
        QCOMPARE(locator->asked, (QList<qint64>{4242, 4444}));
    }

    void panelPlacement_data()
    {
        QTest::addColumn<QRect>("visible");
        QTest::addColumn<QPoint>("origin");

        QTest::newRow("whole screen") << QRect(0, 0, 1280, 800) << QPoint(540, 704);
        QTest::newRow("panel at the bottom") << QRect(0, 0, 1280, 760) << QPoint(540, 664);
        QTest::newRow("second screen with a top bar") << QRect(1280, 30, 1920, 1050) << QPoint(2140, 984);
    }

    void panelPlacement()
    {
        QFETCH(QRect, visible);
        QFETCH(QPoint, origin);
        QCOMPARE(WaveformOverlay::panelOrigin(visible), origin);
        // Its bottom lies 48 above the bottom of the visible frame.
        QCOMPARE(visible.y() + visible.height() - (origin.y() + 48), 48);
    }
};

TALVANE_GUI_TEST_MAIN(WaveformViewTest)
#include "WaveformViewTest.moc"
