#include "TestSupport.h"

#include "app/Banner.h"
#include "app/ReminderNotifier.h"

#include <QLabel>
#include <QMouseEvent>

class BannerTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void origin_data()
    {
        QTest::addColumn<std::optional<QRect>>("icon");
        QTest::addColumn<QRect>("visible");
        QTest::addColumn<QPoint>("expected");

        const QRect screen(0, 24, 1280, 776); // a 24-high top panel
        QTest::newRow("centred under the icon") << std::optional(QRect(600, 0, 24, 24)) << screen << QPoint(452, 30);
        QTest::newRow("icon near the right edge stays 8 inside")
            << std::optional(QRect(1250, 0, 24, 24)) << screen << QPoint(952, 30);
        QTest::newRow("icon near the left edge stays 8 inside")
            << std::optional(QRect(10, 0, 24, 24)) << screen << QPoint(8, 30);
        QTest::newRow("too narrow a screen: the right edge wins")
            << std::optional(QRect(100, 0, 24, 24)) << QRect(0, 24, 300, 600) << QPoint(-28, 30);
        QTest::newRow("icon on a second screen")
            << std::optional(QRect(2000, 0, 24, 24)) << QRect(1280, 24, 1920, 1056) << QPoint(1852, 30);
        QTest::newRow("icon in a bottom panel: above it")
            << std::optional(QRect(1200, 776, 24, 24)) << QRect(0, 0, 1280, 776) << QPoint(952, 690);
        QTest::newRow("no icon: top-right corner") << std::optional<QRect>() << screen << QPoint(948, 36);
    }

    void origin()
    {
        QFETCH(std::optional<QRect>, icon);
        QFETCH(QRect, visible);
        QFETCH(QPoint, expected);
        QCOMPARE(Banner::origin(QSize(320, 80), icon, visible), expected);
    }

    void kindsAndIdentifiers()
    {
        QCOMPARE(rawValue(ReminderKind::notPasted), QStringLiteral("NotPasted"));
        QCOMPARE(reminderKindFromRaw(QStringLiteral("NotPasted")), std::optional(ReminderKind::notPasted));
        QCOMPARE(reminderKindFromRaw(QString()), std::nullopt);
        QCOMPARE(reminderKindFromRaw(QStringLiteral("notPasted")), std::nullopt);
        QCOMPARE(ReminderNotifier::identifier(ReminderKind::notPasted), QStringLiteral("talvane.NotPasted"));
        QCOMPARE(ReminderNotifier::identifier(std::nullopt), QStringLiteral("talvane.info"));
    }

    void labelsPassTheClickToTheBanner()
    {
        Banner banner(QStringLiteral("Заголовок"), QStringLiteral("Текст"));
        int clicks = 0;
        banner.onClick = [&] { ++clicks; };
        QCOMPARE(banner.width(), 320);
        for (QLabel *label : banner.findChildren<QLabel *>())
            QVERIFY(label->testAttribute(Qt::WA_TransparentForMouseEvents));
        QTest::mouseClick(&banner, Qt::LeftButton, {}, QPoint(20, banner.height() - 12));
        QCOMPARE(clicks, 1);
    }

    // Text from outside (never shown as rich text) and of any length fits the banner.
    void longTextWrapsAndGrows()
    {
        const QString longText = QString(QStringLiteral("<b>очень</b> длинный текст ")).repeated(20);
        Banner shortBanner(QStringLiteral("Заголовок"), QStringLiteral("Текст"));
        Banner longBanner(QStringLiteral("Заголовок"), longText);
        QCOMPARE(longBanner.width(), 320);
        QVERIFY(longBanner.height() > shortBanner.height() + 50);
        const QList<QLabel *> labels = longBanner.findChildren<QLabel *>();
        QCOMPARE(labels.last()->textFormat(), Qt::PlainText);
    }
};

TALVANE_GUI_TEST_MAIN(BannerTest)
#include "BannerTest.moc"
