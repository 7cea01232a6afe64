// The paster against fake seams and a clock that moves only when told: each wait, write and restore is seen
// exactly when it happens.
#include "text/TextPaster.h"
#include "FakeDesktop.h"
#include "TestSupport.h"

#include <QtTest>

using namespace std::chrono_literals;
using std::chrono::milliseconds;

Q_DECLARE_METATYPE(RunningApp)
Q_DECLARE_METATYPE(std::optional<RunningApp>)
Q_DECLARE_METATYPE(PasteResult)

namespace {

const RunningApp editor{1001, QStringLiteral("Kate"), 11};
const RunningApp browser{1002, QStringLiteral("Firefox"), 12};

ClipboardItem textItem(const QString &text)
{
    return {{QStringLiteral("text/plain"), text.toUtf8()}};
}

template <typename T> T result(QCoro::Task<T> &task)
{
    return QCoro::waitFor(std::move(task));
}

} // namespace

class TextPasterTest : public QObject
{
    Q_OBJECT

    FakeClipboard *clipboard = nullptr;
    FakeWorkspace *workspace = nullptr;
    FakeKeySender *keys = nullptr;
    FakeClock *clock = nullptr;
    qsizetype logStart = 0;

    // Runs paste with the target in front, moves the clock past focus and the wait before the chord.
    PasteResult pasteInto(const QString &text, const RunningApp &target = editor)
    {
        workspace->front = target;
        auto task = TextPaster::paste(text, true, target);
        clock->advance(150ms);
        clock->advance(50ms);
        if (!task.isReady()) {
            QTest::qFail("paste still waits after 200 ms", __FILE__, __LINE__);
            return PasteResult::failed;
        }
        return result(task);
    }

    // Lets the scheduled restore run.
    void passRestoreDelay() { clock->advance(6000ms); }

    int linesContaining(const QString &fragment)
    {
        return int(TestSupport::logLines().mid(logStart).filter(fragment).size());
    }

private Q_SLOTS:
    void init()
    {
        clipboard = new FakeClipboard;
        workspace = new FakeWorkspace;
        keys = new FakeKeySender;
        clock = new FakeClock;
        logStart = TestSupport::logLines().size();
        TextPaster::use({clipboard, workspace, keys, [this](milliseconds d) { return clock->sleep(d); }});
    }

    void cleanup()
    {
        TextPaster::use({});
        delete clipboard;
        delete workspace;
        delete keys;
        delete clock;
    }

    void capturesTheFrontmostApplication_data()
    {
        QTest::addColumn<std::optional<RunningApp>>("front");
        QTest::addColumn<QString>("logged");
        QTest::newRow("application") << std::optional(editor) << "(Kate, pid 1001)";
        QTest::newRow("no class") << std::optional(RunningApp{77, {}, 5}) << "(none, pid 77)";
        QTest::newRow("nothing in front") << std::optional<RunningApp>() << "(none, pid 0)";
    }

    void capturesTheFrontmostApplication()
    {
        QFETCH(std::optional<RunningApp>, front);
        QFETCH(QString, logged);
        workspace->front = front;
        const auto target = TextPaster::captureTarget();
        QCOMPARE(target.has_value(), front.has_value());
        if (target)
            QCOMPARE(target->pid, front->pid);
        QCOMPARE(TestSupport::logLines().last().section(QStringLiteral("] "), 1),
                 QStringLiteral("TextPaster: target app captured ") + logged);
    }

    void pastesWithTheTextOnTheClipboardThenRestores()
    {
        clipboard->copyFromElsewhere({textItem(QStringLiteral("before"))});
        QString onClipboardAtChord;
        milliseconds chordAt{-1};
        keys->onPaste = [&] {
            onClipboardAtChord = clipboard->text();
            chordAt = clock->now;
        };

        QCOMPARE(pasteInto(QStringLiteral("привет")), PasteResult::pasted);
        QCOMPARE(onClipboardAtChord, QStringLiteral("привет"));
        QCOMPARE(chordAt, 200ms); // 150 ms for the focus, then 50 ms for the clipboard to settle
        QCOMPARE(keys->pastes.size(), size_t(1));
        QCOMPARE(keys->pastes.front().pid, editor.pid);
        QVERIFY(clipboard->lastWriteTransient);
        QCOMPARE(clock->requested, (std::vector<milliseconds>{150ms, 50ms, 1006ms}));

        clock->advance(1005ms);
        QCOMPARE(clipboard->text(), QStringLiteral("привет"));
        clock->advance(1ms);
        QCOMPARE(clipboard->text(), QStringLiteral("before"));
        QVERIFY(!clipboard->lastWriteTransient);
        QCOMPARE(linesContaining(QStringLiteral("TextPaster: Cmd+V posted")), 1);
    }

    void restoreDelayGrowsWithTheText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("delay");
        QTest::newRow("empty") << QString() << 1000;
        QTest::newRow("200 characters") << QString(200, QLatin1Char('a')) << 1200;
        QTest::newRow("5000 characters") << QString(5000, QChar(0x0436)) << 6000;
        QTest::newRow("just under the cap") << QString(4999, QLatin1Char('b')) << 5999;
        // "й" as и + combining breve, and a family emoji: one character each, as the user sees them.
        QTest::newRow("grapheme clusters") << QStringLiteral("и\u0306 👨‍👩‍👧") << 1003;
    }

    void restoreDelayGrowsWithTheText()
    {
        QFETCH(QString, text);
        QFETCH(int, delay);
        clipboard->copyFromElsewhere({textItem(QStringLiteral("old"))});
        QCOMPARE(pasteInto(text), PasteResult::pasted);
        QCOMPARE(clock->requested.back(), milliseconds(delay));
        QCOMPARE(linesContaining(QStringLiteral("TextPaster: paste called with %1 chars").arg(delay - 1000)), 1);
        QCOMPARE(linesContaining(QStringLiteral("TextPaster: restoring previous clipboard in %1 ms").arg(delay)), 1);
        clock->advance(milliseconds(delay - 1));
        QCOMPARE(clipboard->text(), text);
        clock->advance(1ms);
        QCOMPARE(clipboard->text(), QStringLiteral("old"));
    }

    void restoresEveryTypeOfEveryItem()
    {
        const QList<ClipboardItem> before = {
            {{QStringLiteral("image/png"), QByteArray("\x89PNG\r\n\x1a\n\0\0", 10)},
             {QStringLiteral("text/uri-list"), QByteArray("file:///tmp/a.png\r\n")}},
            {{QStringLiteral("application/x-custom"), QByteArray(3, '\0')}},
        };
        clipboard->copyFromElsewhere(before);
        QCOMPARE(pasteInto(QStringLiteral("x")), PasteResult::pasted);
        passRestoreDelay();
        QCOMPARE(clipboard->items, before);
    }

    void anEmptyClipboardIsEmptyAgain()
    {
        QCOMPARE(pasteInto(QStringLiteral("dictated")), PasteResult::pasted);
        QCOMPARE(clipboard->items.size(), 1);
        passRestoreDelay();
        QCOMPARE(clipboard->items.size(), 0);
    }

    void aCopyDuringTheDelayIsLeftAlone()
    {
        clipboard->copyFromElsewhere({textItem(QStringLiteral("before"))});
        QCOMPARE(pasteInto(QStringLiteral("dictated")), PasteResult::pasted);
        clock->advance(500ms);
        clipboard->copyFromElsewhere({textItem(QStringLiteral("copied meanwhile"))});
        passRestoreDelay();
        QCOMPARE(clipboard->text(), QStringLiteral("copied meanwhile"));
        QCOMPARE(linesContaining(QStringLiteral("TextPaster: pasteboard changed since the paste — leaving it alone")),
                 1);
        // The snapshot is gone for good: a later restore has nothing to put back.
        TextPaster::putBack();
        QCOMPARE(clipboard->text(), QStringLiteral("copied meanwhile"));
    }

    void twoDictationsRestoreWhatWasThereBeforeTheFirst_data()
    {
        QTest::addColumn<bool>("copyBetween");
        QTest::addColumn<QString>("restored");
        QTest::newRow("nothing copied between") << false << "before";
        QTest::newRow("a copy between") << true << "between";
    }

    void twoDictationsRestoreWhatWasThereBeforeTheFirst()
    {
        QFETCH(bool, copyBetween);
        QFETCH(QString, restored);
        clipboard->copyFromElsewhere({textItem(QStringLiteral("before"))});
        QCOMPARE(pasteInto(QStringLiteral("first")), PasteResult::pasted);
        clock->advance(300ms);
        if (copyBetween)
            clipboard->copyFromElsewhere({textItem(QStringLiteral("between"))});
        QCOMPARE(pasteInto(QStringLiteral("second")), PasteResult::pasted);
        // The first restore's time passes; it was superseded and must not run.
        clock->advance(800ms);
        QCOMPARE(clipboard->text(), QStringLiteral("second"));
        passRestoreDelay();
        QCOMPARE(clipboard->text(), restored);
    }

    void withoutAutomaticPastingTheTextStays_data()
    {
        QTest::addColumn<bool>("writeWorks");
        QTest::addColumn<PasteResult>("expected");
        QTest::newRow("copied") << true << PasteResult::copied;
        QTest::newRow("write fails") << false << PasteResult::failed;
    }

    void withoutAutomaticPastingTheTextStays()
    {
        QFETCH(bool, writeWorks);
        QFETCH(PasteResult, expected);
        clipboard->copyFromElsewhere({textItem(QStringLiteral("before"))});
        clipboard->setTextWorks = writeWorks;
        workspace->front = editor;
        auto task = TextPaster::paste(QStringLiteral("dictated"), false, editor);
        QVERIFY(task.isReady());
        QCOMPARE(result(task), expected);
        QVERIFY(keys->pastes.empty());
        QVERIFY(clock->requested.empty());
        if (writeWorks) {
            QCOMPARE(clipboard->text(), QStringLiteral("dictated"));
            QVERIFY(!clipboard->lastWriteTransient); // the user pastes it, so it may go into their history
        }
        passRestoreDelay();
        QCOMPARE(clipboard->text(), writeWorks ? QStringLiteral("dictated") : QString());
    }

    void withoutPermissionNothingIsTouchedAndThePromptShowsOnce()
    {
        clipboard->copyFromElsewhere({textItem(QStringLiteral("before"))});
        keys->trusted = false;
        const qint64 changes = clipboard->changeCount();
        for (int attempt = 0; attempt < 2; ++attempt) {
            auto task = TextPaster::paste(QStringLiteral("dictated"), true, editor);
            QCOMPARE(result(task), PasteResult::failed);
        }
        QCOMPARE(keys->prompts, 1);
        QCOMPARE(clipboard->changeCount(), changes);
        QCOMPARE(
            linesContaining(QStringLiteral("TextPaster: no Accessibility permission — the pasteboard stays as it was")),
            2);
        QCOMPARE(linesContaining(QStringLiteral("TextPaster: Accessibility permission missing, prompting")), 1);
        TextPaster::requestAccessibilityIfNeeded();
        QCOMPARE(keys->prompts, 1);
    }

    void aTrustedProcessIsNeverPrompted()
    {
        TextPaster::requestAccessibilityIfNeeded();
        QCOMPARE(keys->prompts, 0);
    }

    void anUnavailableTargetLeavesTheClipboardAlone_data()
    {
        QTest::addColumn<std::optional<RunningApp>>("target");
        QTest::addColumn<bool>("terminated");
        QTest::addColumn<bool>("activationWorks");
        QTest::addColumn<int>("waits");
        QTest::newRow("no target") << std::optional<RunningApp>() << false << true << 0;
        QTest::newRow("target exited") << std::optional(browser) << true << true << 0;
        QTest::newRow("this program") << std::optional(RunningApp{4242, QStringLiteral("Talvane"), 3}) << false << true
                                      << 0;
        QTest::newRow("refocus fails") << std::optional(browser) << false << false << 1;
    }

    void anUnavailableTargetLeavesTheClipboardAlone()
    {
        QFETCH(std::optional<RunningApp>, target);
        QFETCH(bool, terminated);
        QFETCH(bool, activationWorks);
        QFETCH(int, waits);
        clipboard->copyFromElsewhere({textItem(QStringLiteral("before"))});
        workspace->front = editor;
        workspace->activationWorks = activationWorks;
        if (terminated)
            workspace->terminated.insert(target->pid);
        const qint64 changes = clipboard->changeCount();

        auto task = TextPaster::paste(QStringLiteral("dictated"), true, target);
        clock->advance(150ms);
        QVERIFY(task.isReady());
        QCOMPARE(result(task), PasteResult::failed);
        QCOMPARE(int(clock->requested.size()), waits);
        QCOMPARE(clipboard->changeCount(), changes);
        QVERIFY(keys->pastes.empty());
        QCOMPARE(linesContaining(QStringLiteral("TextPaster: target app unavailable — the pasteboard stays as it was")),
                 1);
        QCOMPARE(linesContaining(QStringLiteral("TextPaster: refocus failed")), waits);
    }

    void reactivatesATargetThatLostTheFocus_data()
    {
        QTest::addColumn<RunningApp>("front");
        QTest::addColumn<RunningApp>("target");
        QTest::addColumn<QString>("named");
        QTest::newRow("with a class") << editor << browser << "Firefox";
        QTest::newRow("without a class") << editor << RunningApp{1003, {}, 13} << "target";
        // Windows that do not tell their process are told apart by the window itself.
        QTest::newRow("without process ids")
            << RunningApp{0, QStringLiteral("Xeyes"), 15} << RunningApp{0, QStringLiteral("Xclock"), 14} << "Xclock";
    }

    void reactivatesATargetThatLostTheFocus()
    {
        QFETCH(RunningApp, front);
        QFETCH(RunningApp, target);
        QFETCH(QString, named);
        workspace->front = front;
        auto task = TextPaster::paste(QStringLiteral("dictated"), true, target);
        QCOMPARE(workspace->activations.size(), size_t(1));
        QCOMPARE(workspace->activations.front().window, target.window);
        clock->advance(200ms);
        QCOMPARE(result(task), PasteResult::pasted);
        QCOMPARE(keys->pastes.front().window, target.window);
        QCOMPARE(linesContaining(QStringLiteral("TextPaster: focus moved away, re-activating ") + named), 1);
    }

    void aTargetInFrontIsNotReactivated()
    {
        QCOMPARE(pasteInto(QStringLiteral("dictated")), PasteResult::pasted);
        QVERIFY(workspace->activations.empty());
        QCOMPARE(linesContaining(QStringLiteral("focus moved away")), 0);
    }

    void aFailedWriteGivesTheClipboardBackAtOnce()
    {
        const QList<ClipboardItem> before = {{{QStringLiteral("image/png"), QByteArray("png bytes")}}};
        clipboard->copyFromElsewhere(before);
        clipboard->setTextWorks = false;
        QCOMPARE(pasteInto(QStringLiteral("dictated")), PasteResult::failed);
        QVERIFY(keys->pastes.empty());
        QCOMPARE(clipboard->items, before);
        QCOMPARE(linesContaining(QStringLiteral("TextPaster: pasteboard write failed")), 1);
    }

    void aFailedRestoreIsLogged()
    {
        clipboard->copyFromElsewhere({textItem(QStringLiteral("before"))});
        QCOMPARE(pasteInto(QStringLiteral("dictated")), PasteResult::pasted);
        clipboard->writeWorks = false;
        passRestoreDelay();
        QCOMPARE(linesContaining(QStringLiteral("TextPaster: previous pasteboard could not be restored")), 1);
    }

    void theSnapshotKeepsTypesUpToTheBudget()
    {
        const qint64 mib = 1024 * 1024;
        FakeClipboard big;
        big.items = {
            {{QStringLiteral("a/first"), QByteArray(40 * mib, 'a')},
             {QStringLiteral("a/too-big"), QByteArray(30 * mib, 'b')},
             {QStringLiteral("a/fits"), QByteArray(20 * mib, 'c')}},
            {{QStringLiteral("a/last-byte"), QByteArray(4 * mib, 'd')},
             {QStringLiteral("a/one-more"), QByteArray(1, 'e')}},
            {},
        };
        const QList<ClipboardItem> saved = QCoro::waitFor(TextPaster::snapshot(big));
        QCOMPARE(saved.size(), 3);
        QCOMPARE(saved[0].size(), 2);
        QCOMPARE(saved[0][0].first, QStringLiteral("a/first"));
        QCOMPARE(saved[0][1].first, QStringLiteral("a/fits"));
        QCOMPARE(saved[1].size(), 1); // 40 + 20 + 4 MiB is exactly the budget
        QCOMPARE(saved[1][0].second, big.items[1][0].second);
        QVERIFY(saved[2].isEmpty());
        QCOMPARE(linesContaining(QStringLiteral("TextPaster: type a/too-big left behind, 31457280 bytes")), 1);
        QCOMPARE(linesContaining(QStringLiteral("TextPaster: type a/one-more left behind, 1 bytes")), 1);
    }

    void theLogNeverHoldsTheText()
    {
        const QString secret = QStringLiteral("совершенно секретно 12345");
        clipboard->copyFromElsewhere({textItem(QStringLiteral("before"))});
        QCOMPARE(pasteInto(secret), PasteResult::pasted);
        passRestoreDelay();
        auto task = TextPaster::paste(secret, false, editor);
        QCOMPARE(result(task), PasteResult::copied);
        QCOMPARE(linesContaining(secret), 0);
        QCOMPARE(linesContaining(QStringLiteral("секретно")), 0);
    }
};

TALVANE_TEST_MAIN(TextPasterTest)
#include "TextPasterTest.moc"
