// The paster on the real desktop: the X11 seams, or beside sway the Wayland ones with native windows; a fresh
// target per case, other programs' copies.
#include "AwaitTask.h"
#include "Desktop.h"
#include "platform/wayland/WaylandClipboard.h"
#include "platform/wayland/WaylandKeySender.h"
#include "platform/wayland/WaylandWorkspace.h"
#include "platform/x11/X11Clipboard.h"
#include "platform/x11/X11KeySender.h"
#include "platform/x11/X11Workspace.h"
#include "text/TextPaster.h"

#include <QtTest>

using namespace Desktop;

const QByteArray png("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\x10", 20);

class PasterDesktopTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<TextPaster> paster;

    // Delivers `text` as a dictation does, with automatic pasting, into `target` (by default the window in front).
    PasteResult paste(const QString &text, std::optional<RunningApp> target)
    {
        return TestSupport::await(paster->paste(text, true, target)).value.value_or(PasteResult::failed);
    }
    PasteResult paste(const QString &text) { return paste(text, paster->captureTarget()); }
    static std::unique_ptr<Program> startTextField()
    {
        return waylandClipboard() ? startWaylandTextField() : Desktop::startTextField();
    }

private Q_SLOTS:
    void init() // a fresh paster on the session's seams
    {
        if (waylandClipboard())
            paster = std::make_unique<TextPaster>(std::make_unique<WaylandClipboard>(),
                                                  std::make_unique<WaylandWorkspace>(std::make_unique<X11Workspace>()),
                                                  std::make_unique<WaylandKeySender>());
        else
            paster = std::make_unique<TextPaster>(std::make_unique<X11Clipboard>(), std::make_unique<X11Workspace>(),
                                                  std::make_unique<X11KeySender>());
    }

    void pastesIntoTheWindowInFront_data()
    {
        QTest::addColumn<QString>("text"); // into a text field, unless the row says otherwise
        QTest::newRow("5000 characters") << QStringLiteral("Съешь ещё french булок. ").repeated(200);
        QTest::newRow("Alt still held, Ctrl+Alt+V pastes nothing") << QStringLiteral("после Alt");
        QTest::newRow("terminal") << QStringLiteral("echo «Привет» — terminal");
    }

    void pastesIntoTheWindowInFront()
    {
        QFETCH(QString, text);
        const QString target = QTest::currentDataTag();
        const auto window = target != "terminal" ? startTextField() : waylandClipboard() ? startFoot() : startTerminal();
        QVERIFY(window);
        xdotool({target.startsWith("Alt") ? "keydown" : "keyup", "alt"});
        const PasteResult result = paste(text);
        xdotool({"keyup", "alt"});
        QCOMPARE(result, PasteResult::pasted);
        QTRY_COMPARE_WITH_TIMEOUT(window->received(), text, 10000);
    }

    // A target that lost the focus is brought back; one that exited fails and leaves the clipboard alone.
    void bringsTheTargetBackWhenTheFocusMovedAndFailsWhenItExited()
    {
        auto field = startTextField();
        const auto target = paster->captureTarget();
        const auto other = startTextField(); // takes the focus, as a click elsewhere would
        QVERIFY(field && other && target && (target->pid ? target->pid == field->process.processId() : target->window));
        QCOMPARE(paste(QStringLiteral("вернулся"), target), PasteResult::pasted);
        QTRY_COMPARE_WITH_TIMEOUT(field->received(), QStringLiteral("вернулся"), 10000);
        QCOMPARE(other->received(), QString());
        field.reset();
        Desktop::copy({{"UTF8_STRING", "untouched"}});
        QCOMPARE(paste(QStringLiteral("lost"), target), PasteResult::failed);
        QCOMPARE(Desktop::paste(), std::optional<QByteArray>("untouched"));
    }

    void restoresWhatWasCopiedByteForByte_data()
    {
        QTest::addColumn<Types>("types"); // none: an empty clipboard
        QTest::newRow("text") << Types{{"UTF8_STRING", QStringLiteral("Было: «текст» 😀").toUtf8()}};
        QTest::newRow("custom type") << Types{{"application/x-talvane", QByteArray("\x01\0binary\xff\xfe\0", 10)}};
        QTest::newRow("large, in parts") << Types{{"application/x-talvane-large", png.repeated(100000)}};
        // An owner that never delivers one type: the rest comes back, and the paste does not wait seconds per type.
        if (!waylandClipboard()) // (no such owner on Wayland: wl-copy offers one type)
            QTest::newRow("hung owner") << Types{{"text/plain", "fast"}, {"x/never", std::nullopt}, {"image/png", png}};
        QTest::newRow("empty") << Types{};
    }

    void restoresWhatWasCopiedByteForByte()
    {
        QFETCH(Types, types);
        Desktop::copy(types);
        const auto field = startTextField();
        const QDeadlineTimer bound(4500);
        QVERIFY(field && paste(QStringLiteral("x")) == PasteResult::pasted);
        QVERIFY(!bound.hasExpired()); // generous: the snapshot allows 1 s, a blocking read took 5 s per type
        QCOMPARE(Desktop::paste("x-kde-passwordManagerHint"), "secret"); // the dictation stays out of history
        QTRY_VERIFY_WITH_TIMEOUT(Desktop::paste() != "x", 10000);        // the longest delay (6 s) on a slow machine
        for (const auto &[type, bytes] : types)                          // a type never delivered is not offered again
            QVERIFY(bytes ? Desktop::paste(type) == bytes : !clipboardTargets().contains(type));
        const QStringList restored = clipboardTargets(); // as the user's again: no history hint
        QVERIFY(restored.isEmpty() == types.isEmpty() && !restored.contains("x-kde-passwordManagerHint"));
    }
};

TALVANE_GUI_TEST_MAIN(PasterDesktopTest)
#include "PasterDesktopTest.moc"
