// The X11 and Wayland seams, the capsule, the notices and live capture against the real peers of the test session.
#include "Desktop.h"
#include "AwaitTask.h"
#include "SpeechFixture.h"
#include "app/Alerts.h"
#include "app/ReminderNotifier.h"
#include "app/WaveformOverlay.h"
#include "audio/AudioRecorder.h"
#include "dictation/HotkeyManager.h"
#include "platform/wayland/WaylandClipboard.h"
#include "platform/x11/X11Clipboard.h"
#include "platform/x11/X11Connection.h"
#include "platform/x11/X11HotkeyBackend.h"
#include "platform/x11/X11WindowLocator.h"

#include <QtTest>
#include <QtWidgets>

#include <X11/Xlib.h>

#include <thread>

using namespace Desktop;
using namespace std::chrono_literals;

const QString title = QStringLiteral("Текст не вставился"), text = title.repeated(6); // wraps in the banner

std::unique_ptr<HotkeyManager> manager(int &toggles, int &cancels)
{
    auto keys = std::make_unique<HotkeyManager>(std::make_unique<X11HotkeyBackend>());
    keys->onToggle = [&toggles] { ++toggles; };
    keys->onCancel = [&cancels] { ++cancels; };
    return keys;
}

// Runs `during` with a modifier taken out of the core modifier map (as xmodmap does; xkbcomp does not reach Xvfb's).
void withoutModifier(int modifier, const std::function<void()> &during)
{
    Display *display = X11Connection::display();
    XModifierKeymap *original = XGetModifierMapping(display), *changed = XGetModifierMapping(display);
    std::fill_n(changed->modifiermap + modifier * changed->max_keypermod, changed->max_keypermod, 0);
    if (QTest::qVerify(XSetModifierMapping(display, changed) == MappingSuccess, "set", "", __FILE__, __LINE__))
        during();
    XSetModifierMapping(display, original);
    XFreeModifiermap(original), XFreeModifiermap(changed);
}

QRect boundsOfChange(const QImage &image, const QRect &area)
{
    QRect bounds;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            bounds |= qGray(image.pixel(x, y)) < 247 ? QRect(x, y, 1, 1) : QRect();
    return bounds;
}

// A white window under the others: shows translucency in screenshots and records the clicks that reach it.
struct Backdrop : QWidget
{
    Backdrop() : QWidget(nullptr, Qt::FramelessWindowHint) { setStyleSheet("background: white"); }
    void mousePressEvent(QMouseEvent *event) override { presses << event->globalPosition().toPoint(); }
    QList<QPoint> presses;
};

class DesktopTest : public QObject
{
    Q_OBJECT

    Backdrop backdrop;
    std::unique_ptr<Program> other; // the window the user works in
    QSystemTrayIcon tray{QIcon(QPixmap(22, 22))};
    Program bareBus; // a session bus without service directories: no notification server starts there
    QList<std::optional<ReminderKind>> clicks;

    std::unique_ptr<ReminderNotifier> notifier(QDBusConnection bus)
    {
        auto made = std::make_unique<ReminderNotifier>([this] { return std::optional(tray.geometry()); }, bus,
                                                       std::chrono::seconds(1));
        made->onClick = [this](auto kind) { clicks << kind; };
        return made;
    }

private Q_SLOTS:
    void initTestCase()
    {
        tray.show();
        backdrop.setGeometry(qApp->primaryScreen()->geometry()), backdrop.show();
        QVERIFY(QTest::qWaitForWindowExposed(&backdrop) && (other = startTextField()));
        const QString config = QDir::home().filePath("bus.conf");
        TestSupport::writeFile(config, "<busconfig><listen>unix:tmpdir=/tmp</listen><policy context='default'>"
                                       "<allow send_destination='*'/><allow receive_sender='*'/></policy></busconfig>");
        bareBus.process.start("dbus-daemon", {"--nofork", "--print-address=1", "--config-file=" + config});
        QVERIFY(bareBus.process.waitForReadyRead(10000));
        QTRY_VERIFY(!tray.geometry().isEmpty());
    }

    void init() { clicks.clear(), run("dunstctl", {"close-all"}), other->activate(); }

    void theSnapshotSeesContentTypesOnly()
    {
        const QByteArray png("\x89PNG\r\n\x1a\n", 8), hi = QStringLiteral("Привет").toUtf8();
        // clang-format off
        for (const auto &[copied, items] : QList<std::pair<Types, QList<ClipboardItem>>>{ // no items: left out for the limit
                 {{{"image/png", png}, {"application/x-qt-image", png}}, {{{"image/png", png}}}}, // Qt's decoded image: no program asked for it
                 {{{"UTF8_STRING", hi}}, {{{"text/plain", hi}}}},
                 {{{"STRING", "caf\xe9"}}, {{{"text/plain", "caf\xc3\xa9"}}}},
                 {{{"x/big", QByteArray(2000, 'b')}}, {}},
                 {{{"x/big", QByteArray(3 << 20, 'b')}}, {}}}) { // xclip hands it over in parts; the limit is 2 MiB then
            // clang-format on
            const int limit = copied[0].second->size() > (1 << 20) ? 2 << 20 : 1024;
            copy(copied);
            const auto read = TestSupport::await(X11Clipboard().snapshot(std::chrono::seconds(1), limit)).value.value();
            QCOMPARE(read.items, items);
            QVERIFY(read.late.isEmpty() && read.tooLarge.size() == (items.isEmpty() ? 1 : 0));
            QVERIFY(!items.isEmpty() || (read.tooLarge[0].first == copied[0].first && read.tooLarge[0].second > limit));
        }
    }

    // Beside sway, through data control and no window of ours: every byte of another program's copy, or of ours
    // to other programs; without a compositor, no such clipboard and no crash.
    void waylandClipboardKeepsEveryByte()
    {
        QCOMPARE(WaylandClipboard::available(), waylandClipboard());
        WaylandClipboard clipboard;
        QVERIFY(waylandClipboard() || !clipboard.setText("x", false));
        if (!waylandClipboard())
            return;
        const QByteArray big(3 << 20, '\xb5'), hi = QStringLiteral("Привет").toUtf8(); // big: many pipe buffers
        const auto snapshot = [&](qint64 limit) { return *TestSupport::await(clipboard.snapshot(2s, limit)).value; };
        copy({{"image/png", big}});
        QCOMPARE(snapshot(4 << 20).items, (QList<ClipboardItem>{{{"image/png", big}}}));
        const ClipboardSnapshot over = snapshot(1 << 20);
        QVERIFY(over.items.isEmpty() && over.tooLarge.value(0).first == "image/png");
        qint64 changes = clipboard.changeCount();
        QVERIFY(clipboard.write({{{"image/png", big}}, {{"text/plain", hi}, {"image/png", "second item's"}}}));
        QCOMPARE(paste("image/png"), big);
        QCOMPARE(snapshot(4 << 20).items, (QList<ClipboardItem>{{{"image/png", big}, {"text/plain", hi}}}));
        QVERIFY(clipboard.setText(hi, true) && clipboard.changeCount() > changes);
        QCOMPARE(paste("text/plain;charset=utf-8"), hi);
        QCOMPARE(paste("x-kde-passwordManagerHint"), "secret"); // clipboard managers leave it out of their history
        changes = clipboard.changeCount();
        copy({{"text/plain", "elsewhere"}});
        QTRY_VERIFY(clipboard.changeCount() > changes);
        clipboard.clear();
        QVERIFY(!paste("text/plain") && snapshot(1024).items.isEmpty());
    }

    void keysHeldByAnotherClientAreTakenWithoutTrace()
    {
        // Another client's grabs by mask (Alt 8, Caps Lock 2, Num Lock 16): "ready", or "taken" if one failed.
        const QStringList space{"grab", "space", "8", "10", "24", "26"}, escape{"grab", "Escape", "0", "2", "16", "18"};
        for (const QString held : {"8", "10", "24", "0"}) { // Escape: held at first, taken once free
            int toggles = 0, cancels = 0;
            const QString key = held != "0" ? "space" : "Escape";
            auto holder = startPeer({"grab", key, held});
            auto keys = manager(toggles, cancels);
            keys->setCancelEnabled(true);
            QVERIFY(holder->answer == "ready" && keys->toggleRegistered() == (key == "Escape"));
            holder.reset();
            QCOMPARE(startPeer(key == "space" ? space : escape)->answer, "ready");
            keys->setCancelEnabled(true); // tried again
            xdotool({"key", "Escape"});
            QTRY_COMPARE(cancels, 1);
            keys->setCancelEnabled(false); // Escape belongs to the focused window again
            QCOMPARE(startPeer(escape)->answer, "ready");
            keys.reset(); // a destroyed manager lets go of its keys
            QCOMPARE(startPeer(space)->answer, "ready");
        }
        int toggles = 0, cancels = 0;
        withoutModifier(Mod2MapIndex, [&] {
            auto keys = manager(toggles, cancels); // the plain and Caps Lock variants are grabbed, each once
            xdotool({"key", "alt+space", "Caps_Lock", "alt+space", "Caps_Lock", "keydown", "alt+space"});
            QTest::qWait(1500); // past the keyboard's auto-repeat delay: held, it counts once
            xdotool({"keyup", "alt+space", "key", "space", "ctrl+space"});
            QTRY_COMPARE(toggles, 3);
        });
        withoutModifier(Mod1MapIndex, [&] { // no modifier bit for Alt: nothing rather than Space alone
            QVERIFY(!manager(toggles, cancels)->toggleRegistered());
            QCOMPARE(startPeer({"grab", "space", "0", "2"})->answer, "ready");
        });
    }

    void theCapsuleShowsOverTheTargetWithoutTakingFocusOrClicks()
    {
        QCOMPARE(X11WindowLocator().frontWindow(other->process.processId()), std::optional(geometry(other->window)));
        int reads = 0;
        WaveformOverlay overlay(std::make_unique<X11WindowLocator>());
        overlay.setLevelSource([&] { return ++reads, 1.0f; });
        overlay.show(OverlayMode::recording, other->process.processId());
        const QRect capsule(WaveformOverlay::panelOrigin(qApp->primaryScreen()->availableGeometry()), QSize(200, 48));
        QTRY_VERIFY(overlay.view()->bars().front() > 0.99f);
        QCOMPARE(xdotool({"getactivewindow"}).toULongLong(), other->window);
        const QImage shot = screenshot("overlay-recording"); // exactly in place, dark over white, with round corners
        QCOMPARE(boundsOfChange(shot, capsule.adjusted(-20, -20, 20, 20)), capsule);
        QVERIFY(qGray(shot.pixel(capsule.topLeft() + QPoint(100, 4))) < 40 &&
                qGray(shot.pixel(capsule.topLeft() + QPoint(1, 1))) > 247);
        const QPoint centre = capsule.center();
        xdotool({"mousemove", "--sync", QString::number(centre.x()), QString::number(centre.y()), "click", "1"});
        QTRY_COMPARE(backdrop.presses, QList{centre}); // the click reached the window below

        overlay.show(OverlayMode::transcribing); // the loader turns on, and the level is no longer read
        const auto [angle, readsThen] = std::pair(overlay.view()->spinnerAngle(), reads);
        screenshot("overlay-transcribing");
        overlay.hide();
        QVERIFY(overlay.view()->spinnerAngle() != angle && !overlay.isAnimating() && reads == readsThen);
    }

    void noticesAndBannersReportClicksOnThemOnly()
    {
        // Without a notification server: a banner under the tray icon, for its time; then through the server.
        const auto banners = notifier(QDBusConnection::connectToBus(bareBus.process.readLine().trimmed(), "bare"));
        banners->show(title, text, ReminderKind::notPasted);
        QTRY_VERIFY(banners->currentBanner() && QTest::qWaitForWindowExposed(banners->currentBanner()));
        const QRect frame = banners->currentBanner()->frameGeometry();
        QCOMPARE(frame.top(), tray.geometry().bottom() + 1 + 6);
        QCOMPARE(xdotool({"getactivewindow"}).toULongLong(), other->window);
        const auto labels = banners->currentBanner()->findChildren<QLabel *>();
        QVERIFY(labels.size() == 2); // both texts wrap over the full 292 and show whole
        for (const QLabel *label : labels)
            QVERIFY(label->width() == 292 && label->height() >= label->heightForWidth(292));
        QCOMPARE(boundsOfChange(screenshot("banner"), frame.adjusted(-8, 0, 8, 8)), frame);
        const QPoint onText(frame.left() + 40, frame.bottom() - 16);
        xdotool({"mousemove", "--sync", QString::number(onText.x()), QString::number(onText.y()), "click", "1"});
        QTRY_COMPARE(clicks, QList{std::optional(ReminderKind::notPasted)}); // the text label belongs to it too
        QVERIFY(!banners->currentBanner());

        std::thread([&] { banners->show(title, "первый", std::nullopt); }).join(); // shown on this thread
        QTRY_VERIFY(banners->currentBanner() && banners->currentBanner()->thread() == qApp->thread());
        QPointer<Banner> first = banners->currentBanner();
        QTest::qWait(500);
        banners->banner(title, text, std::nullopt); // replaces the first one and restarts the time
        QPointer<Banner> second = banners->currentBanner();
        QTest::qWait(700); // past the first one's second
        QVERIFY(!first && second && second->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(!second, 2000);

        const auto notices = notifier(QDBusConnection::sessionBus());
        QVERIFY(TestSupport::await(notices->post(title, text, ReminderKind::notPasted)).value.value());
        run("dunstctl", {"close"});
        notices->show(title, text, ReminderKind::notPasted);
        QTRY_COMPARE(run("dunstctl", {"count", "displayed"}).value_or(""), "1\n");
        QCOMPARE(clicks.size(), 1); // closing is no click
        run("dunstctl", {"action"});
        QTRY_COMPARE(clicks, QList<std::optional<ReminderKind>>(2, ReminderKind::notPasted));
    }

    // settings.json opens in the desktop's plain-text editor, not in whatever claims JSON; the first default that is
    // not installed is passed over.
    void theHintDictionaryOpensInThePlainTextEditor()
    {
        const QString home = QDir::homePath(), editor = home + "/fake editor", args = home + "/editor-args";
        TestSupport::writeFile(editor, "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + args.toUtf8() + "'\n");
        QFile::setPermissions(editor, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        const QString apps = qEnvironmentVariable("XDG_DATA_HOME") + "/applications/";
        TestSupport::writeFile(apps + "fake-editor.desktop", "[Desktop Entry]\nType=Application\nName=Fake\nExec=\"" +
                                                                 editor.toUtf8() + "\" --line 1 %f\n");
        TestSupport::writeFile(apps + "browser.desktop",
                               "[Desktop Entry]\nType=Application\nName=B\nExec=touch " + args.toUtf8() + "-json\n");
        const QString list = qEnvironmentVariable("XDG_CONFIG_HOME") + "/mimeapps.list";
        TestSupport::writeFile(list, "[Default Applications]\napplication/json=browser.desktop\n"
                                     "text/plain=gone.desktop;fake-editor.desktop;\n");
        const QString file = home + "/my notes/settings.json";
        MessageBoxAlerts().openAsText(file);
        QTRY_COMPARE(TestSupport::readFile(args), "--line\n1\n" + file.toUtf8() + "\n");
        QVERIFY(!QFile::exists(args + "-json"));
        QFile::remove(list);
    }

    void liveCaptureTakesWhatWasPlayed()
    {
        const QByteArray played = SpeechFixture::microphonePcm(QDir::homePath());
        std::vector<float> samples;
        for (qsizetype i = 0; i + 1 < played.size(); i += 2)
            samples.push_back(qFromLittleEndian<qint16>(played.constData() + i) / 32768.0f);
        const QString mic = qEnvironmentVariable("TALVANE_MIC_FIFO"); // faster than a speaker: wait as long as one
        const auto play = [&] { TestSupport::writeFile(mic, played), QTest::qWait(samples.size() / 16 + 500); };
        AudioRecorder recorder;
        for (int i = 0; i < 2; ++i)
            recorder.start(), play(); // a restart ends the running recording and forgets its take
        const Take take = recorder.stop();
        QVERIFY(samples.size() > 16000 && take.samples.size() == samples.size());
        const float gain = std::min(0.95f / AudioRecorder::peakOf(samples), 25.0f);
        for (size_t i = 0; i < samples.size(); i += 997)
            QVERIFY(std::fabs(take.samples[i] - samples[i] * gain) < 1e-4f);
        recorder.start(), play();
        recorder.clearSamples(); // a cancelled dictation
        QCOMPARE(recorder.stop().kind, Take::Kind::empty);
    }
};

TALVANE_GUI_TEST_MAIN(DesktopTest)
#include "DesktopTest.moc"
