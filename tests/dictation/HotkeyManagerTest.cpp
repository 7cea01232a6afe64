// The hot-key manager's rules on a fake backend: what is registered when, which presses reach which callback,
// and what is logged when a key is taken.
#include "dictation/HotkeyManager.h"
#include "FakeDesktop.h"
#include "TestSupport.h"

#include <QtTest>

class HotkeyManagerTest : public QObject
{
    Q_OBJECT

    qsizetype logStart = 0;

    // Lines logged since the test began, without the header of a log file the test created.
    QStringList newLogLines()
    {
        QStringList lines = TestSupport::logLines().mid(logStart);
        lines.removeIf([](const QString &line) { return line.startsWith(QLatin1Char('#')); });
        return lines;
    }

private Q_SLOTS:
    void init() { logStart = TestSupport::logLines().size(); }

    void registersAltSpaceAtOnce()
    {
        auto backend = std::make_unique<FakeHotkeyBackend>();
        auto *fake = backend.get();
        HotkeyManager manager(std::move(backend));
        QVERIFY(manager.toggleRegistered());
        QCOMPARE(fake->registered.size(), size_t(1));
        const auto &key = fake->registered.at(HotkeyManager::toggleId);
        QCOMPARE(key.key, Qt::Key_Space);
        QCOMPARE(key.modifiers, Qt::KeyboardModifiers(Qt::AltModifier));
        QVERIFY(newLogLines().isEmpty());
    }

    void eachPressReachesItsCallback()
    {
        auto backend = std::make_unique<FakeHotkeyBackend>();
        auto *fake = backend.get();
        HotkeyManager manager(std::move(backend));
        int toggles = 0, cancels = 0;
        manager.onToggle = [&] { ++toggles; };
        manager.onCancel = [&] { ++cancels; };

        QVERIFY(fake->press(HotkeyManager::toggleId));
        QVERIFY(fake->press(HotkeyManager::toggleId));
        QVERIFY(!fake->press(HotkeyManager::cancelId)); // Escape belongs to the focused window for now
        QCOMPARE(toggles, 2);
        QCOMPARE(cancels, 0);

        manager.setCancelEnabled(true);
        QVERIFY(fake->press(HotkeyManager::cancelId));
        QCOMPARE(cancels, 1);
        QCOMPARE(toggles, 2);

        // Presses of ids the manager never registered belong to someone else.
        fake->deliver(7);
        QCOMPARE(toggles, 2);
        QCOMPARE(cancels, 1);
    }

    void pressesWithoutCallbacksAreHarmless()
    {
        auto backend = std::make_unique<FakeHotkeyBackend>();
        auto *fake = backend.get();
        HotkeyManager manager(std::move(backend));
        manager.setCancelEnabled(true);
        QVERIFY(fake->press(HotkeyManager::toggleId));
        QVERIFY(fake->press(HotkeyManager::cancelId));
    }

    void escapeIsRegisteredOnlyWhileEnabled_data()
    {
        QTest::addColumn<QList<bool>>("calls");
        QTest::addColumn<bool>("registered");
        QTest::addColumn<int>("registrations"); // Escape registrations made
        QTest::newRow("enabled twice") << QList<bool>{true, true} << true << 1;
        QTest::newRow("disabled while not registered") << QList<bool>{false} << false << 0;
        QTest::newRow("enabled then disabled") << QList<bool>{true, false} << false << 1;
        QTest::newRow("enabled again") << QList<bool>{true, false, false, true} << true << 2;
    }

    void escapeIsRegisteredOnlyWhileEnabled()
    {
        QFETCH(QList<bool>, calls);
        QFETCH(bool, registered);
        QFETCH(int, registrations);
        auto backend = std::make_unique<FakeHotkeyBackend>();
        auto *fake = backend.get();
        HotkeyManager manager(std::move(backend));
        for (const bool enabled : calls)
            manager.setCancelEnabled(enabled);
        QCOMPARE(fake->registered.count(HotkeyManager::cancelId) > 0, registered);
        QCOMPARE(fake->registrations, 1 + registrations);
        if (registered) {
            QCOMPARE(fake->registered.at(HotkeyManager::cancelId).key, Qt::Key_Escape);
            QCOMPARE(fake->registered.at(HotkeyManager::cancelId).modifiers, Qt::KeyboardModifiers());
        }
    }

    void aTakenAltSpaceIsReportedAndLogged()
    {
        auto backend = std::make_unique<FakeHotkeyBackend>();
        backend->taken = {{Qt::Key_Space, Qt::AltModifier}};
        HotkeyManager manager(std::move(backend));
        QVERIFY(!manager.toggleRegistered());
        QCOMPARE(newLogLines().size(), 1);
        QVERIFY(newLogLines().first().endsWith(
            QStringLiteral(" [INFO] RegisterEventHotKey(Option+Space) failed, status=%1").arg(HotkeyBackend::taken)));
    }

    void aTakenEscapeIsLoggedAndTriedAgain()
    {
        auto backend = std::make_unique<FakeHotkeyBackend>();
        auto *fake = backend.get();
        fake->taken = {{Qt::Key_Escape, Qt::NoModifier}};
        HotkeyManager manager(std::move(backend));
        int cancels = 0;
        manager.onCancel = [&] { ++cancels; };

        manager.setCancelEnabled(true);
        QVERIFY(!fake->registered.count(HotkeyManager::cancelId));
        QVERIFY(newLogLines().last().endsWith(
            QStringLiteral(" [INFO] RegisterEventHotKey(Escape) failed, status=%1").arg(HotkeyBackend::taken)));

        fake->taken.clear();
        manager.setCancelEnabled(true);
        QVERIFY(fake->press(HotkeyManager::cancelId));
        QCOMPARE(cancels, 1);
    }

    void aHandlerThatCannotBeInstalledIsLogged()
    {
        auto backend = std::make_unique<FakeHotkeyBackend>();
        backend->installStatus = -1;
        HotkeyManager manager(std::move(backend));
        QVERIFY(manager.toggleRegistered());
        QCOMPARE(newLogLines().size(), 1);
        QVERIFY(newLogLines().first().endsWith(QStringLiteral(" [INFO] InstallEventHandler failed, status=-1")));
    }
};

TALVANE_TEST_MAIN(HotkeyManagerTest)
#include "HotkeyManagerTest.moc"
