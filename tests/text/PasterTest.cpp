// The paster against fake seams and a clock that moves only when told: each wait, write and restore is seen
// exactly when it happens.
#include "Fakes.h"
#include "TestSupport.h"

#include "text/TextPaster.h"

using namespace std::chrono_literals;
using std::chrono::milliseconds;

namespace {

const RunningApp editor{1001, QStringLiteral("Kate"), 11};
const RunningApp browser{1002, QStringLiteral("Firefox"), 12};

QList<ClipboardItem> text(const QString &text)
{
    return {{{QStringLiteral("text/plain"), text.toUtf8()}}};
}

struct Rig
{
    FakeClipboard &clipboard = *new FakeClipboard;
    FakeWorkspace &workspace = *new FakeWorkspace;
    FakeKeySender &keys = *new FakeKeySender;
    FakeClock clock;
    TextPaster paster{std::unique_ptr<Clipboard>(&clipboard), std::unique_ptr<Workspace>(&workspace),
                      std::unique_ptr<KeySender>(&keys), [this](milliseconds d) { return clock.sleep(d); }};

    explicit Rig(const QList<ClipboardItem> &before = text("before"))
    {
        clipboard.copyFromElsewhere(before);
        workspace.front = editor;
    }
    // Pastes into `target` in front and moves the clock past the focus check and the wait before the chord.
    PasteResult paste(const QString &dictated, std::optional<RunningApp> target = editor, bool autoPaste = true)
    {
        auto task = paster.paste(dictated, autoPaste, target);
        clock.advance(200ms);
        return task.isReady() ? QCoro::waitFor(std::move(task)) : throw std::runtime_error("paste still waits");
    }
    void passRestoreDelay() { clock.advance(6000ms); }
};

} // namespace

class PasterTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void pastesWithTheTextOnTheClipboardThenRestores()
    {
        Rig rig;
        QCOMPARE(rig.paster.captureTarget()->pid, editor.pid);
        QString atChord;
        rig.keys.onPaste = [&] { atChord = rig.clipboard.text(); };
        QCOMPARE(rig.paste(QStringLiteral("привет")), PasteResult::pasted);
        QCOMPARE(atChord, QStringLiteral("привет"));
        QCOMPARE(rig.keys.pastes.at(0).pid, editor.pid);
        QVERIFY(rig.clipboard.lastWriteTransient);  // kept out of clipboard history
        QVERIFY(rig.workspace.activations.empty()); // the target was in front
        rig.clock.advance(1005ms);
        QCOMPARE(rig.clipboard.text(), QStringLiteral("привет"));
        rig.clock.advance(1ms);
        QCOMPARE(rig.clipboard.items, text("before"));
    }

    void restoreDelayGrowsWithTheText()
    {
        // "й" as и + combining breve, and a family emoji: one character each, as the user sees them.
        for (const auto &[dictated, delay] : {std::pair{QString(), 1000},
                                              {QString(5000, QChar(0x0436)), 6000},
                                              {QStringLiteral("и\u0306 👨‍👩‍👧"), 1003}}) {
            Rig rig;
            QCOMPARE(rig.paste(dictated), PasteResult::pasted);
            rig.clock.advance(milliseconds(delay - 1));
            QCOMPARE(rig.clipboard.text(), dictated);
            rig.clock.advance(1ms);
            QCOMPARE(rig.clipboard.text(), QStringLiteral("before"));
        }
    }

    void restores_data()
    {
        QTest::addColumn<QList<ClipboardItem>>("before");
        QTest::addColumn<QList<ClipboardItem>>("restored");
        const auto bytes = [](qint64 mib, char c) { return QByteArray(mib * 1024 * 1024 + (c == 'e'), c); };
        const QList<ClipboardItem> many = {
            {{"image/png", QByteArray("\x89PNG\r\n\x1a\n\0\0", 10)}, {"text/uri-list", "file:///a.png\r\n"}},
            {{"application/x-custom", QByteArray(3, '\0')}}};
        // clang-format off
        QTest::newRow("every type of every item") << many << many;
        QTest::newRow("an empty clipboard is empty again") << QList<ClipboardItem>() << QList<ClipboardItem>();
        // Up to 64 MiB in all, in order; what does not fit is left behind.
        QTest::newRow("types up to the budget")
            << QList<ClipboardItem>{{{"a/first", bytes(40, 'a')}, {"a/too-big", bytes(30, 'b')}, {"a/fits", bytes(20, 'c')}}, {{"a/last-byte", bytes(4, 'd')}, {"a/one-more", bytes(0, 'e')}}}
            << QList<ClipboardItem>{{{"a/first", bytes(40, 'a')}, {"a/fits", bytes(20, 'c')}}, {{"a/last-byte", bytes(4, 'd')}}};
        // clang-format on
    }
    void restores()
    {
        QFETCH(QList<ClipboardItem>, before);
        QFETCH(QList<ClipboardItem>, restored);
        Rig rig(before);
        const qsizetype logStart = TestSupport::logLines().size();
        QCOMPARE(rig.paste(QStringLiteral("x")), PasteResult::pasted);
        rig.passRestoreDelay();
        QCOMPARE(rig.clipboard.items, restored);
        // What was lost is on record by type.
        QCOMPARE(TestSupport::logLines().mid(logStart).filter("left behind").size(), before == restored ? 0 : 2);
    }

    void aCopyDuringTheDelayIsLeftAlone()
    {
        Rig rig;
        QCOMPARE(rig.paste(QStringLiteral("dictated")), PasteResult::pasted);
        rig.clock.advance(500ms);
        rig.clipboard.copyFromElsewhere(text("copied meanwhile"));
        rig.passRestoreDelay();
        rig.paster.putBack(); // the snapshot is gone for good, at quit too
        QCOMPARE(rig.clipboard.items, text("copied meanwhile"));
    }

    void twoDictationsRestoreWhatWasThereBeforeTheFirst()
    {
        for (bool copyBetween : {false, true}) {
            Rig rig;
            QCOMPARE(rig.paste(QStringLiteral("first")), PasteResult::pasted);
            rig.clock.advance(300ms);
            if (copyBetween)
                rig.clipboard.copyFromElsewhere(text("between"));
            QCOMPARE(rig.paste(QStringLiteral("second")), PasteResult::pasted);
            rig.clock.advance(800ms); // the first restore's time: it was superseded
            QCOMPARE(rig.clipboard.text(), QStringLiteral("second"));
            rig.passRestoreDelay();
            QCOMPARE(rig.clipboard.items, text(copyBetween ? "between" : "before"));
        }
    }

    void withoutAutomaticPastingOrAnyWayToSendKeysTheTextStays()
    {
        for (const auto &[autoPaste, works] : {std::pair{false, true}, {false, false}, {true, true}, {true, false}}) {
            Rig rig;
            rig.clipboard.setTextWorks = works;
            rig.keys.trusted = rig.keys.askable = !autoPaste; // automatic pasting on a desktop without a key route
            QCOMPARE(rig.paste(QStringLiteral("dictated"), editor, autoPaste),
                     works ? PasteResult::copied : PasteResult::failed);
            rig.passRestoreDelay();
            QVERIFY(rig.keys.pastes.empty() && !rig.clipboard.lastWriteTransient && rig.keys.prompts == 0);
            QCOMPARE(rig.clipboard.text(), works ? "dictated" : "");
        }
    }

    void withoutPermissionNothingIsTouchedAndThePromptShowsOnce()
    {
        Rig rig;
        rig.paster.requestAccessibilityIfNeeded();
        QCOMPARE(rig.keys.prompts, 0); // trusted: never prompted
        rig.keys.trusted = false;
        QCOMPARE(rig.paste(QStringLiteral("dictated")), PasteResult::failed);
        QCOMPARE(rig.paste(QStringLiteral("dictated")), PasteResult::failed);
        rig.paster.requestAccessibilityIfNeeded();
        QCOMPARE(rig.keys.prompts, 1);
        QCOMPARE(rig.clipboard.changeCount(), 1);
    }

    void anUnavailableTargetLeavesTheClipboardAlone()
    {
        // no target, target exited, this program, refocus fails
        // clang-format off
        for (const auto &[target, terminated, activationWorks] : {std::tuple{std::optional<RunningApp>(), false, true}, {browser, true, true}, {RunningApp{4242, "Talvane", 3}, false, true}, {browser, false, false}}) {
            // clang-format on
            Rig rig;
            rig.workspace.activationWorks = activationWorks;
            if (terminated)
                rig.workspace.terminated.insert(target->pid);
            QCOMPARE(rig.paste(QStringLiteral("dictated"), target), PasteResult::failed);
            QCOMPARE(rig.clipboard.changeCount(), 1);
            QVERIFY(rig.keys.pastes.empty());
        }
    }

    void reactivatesATargetThatLostTheFocus()
    {
        // Windows that do not tell their process are told apart by the window itself.
        // clang-format off
        for (const auto &[front, target] : {std::pair{editor, browser}, {editor, RunningApp{1003, {}, 13}}, {RunningApp{0, "Xeyes", 15}, RunningApp{0, "Xclock", 14}}}) {
            // clang-format on
            Rig rig;
            rig.workspace.front = front;
            QCOMPARE(rig.paste(QStringLiteral("dictated"), target), PasteResult::pasted);
            QCOMPARE(rig.workspace.activations.at(0).window, target.window);
            QCOMPARE(rig.keys.pastes.at(0).window, target.window);
        }
    }

    void aFailedWriteGivesTheClipboardBackAtOnce()
    {
        const QList<ClipboardItem> before = {{{QStringLiteral("image/png"), QByteArray("png bytes")}}};
        Rig rig(before);
        rig.clipboard.setTextWorks = false;
        QCOMPARE(rig.paste(QStringLiteral("dictated")), PasteResult::failed);
        QVERIFY(rig.keys.pastes.empty());
        QCOMPARE(rig.clipboard.items, before);
    }

    void theLogNeverHoldsTheTextButAFailedRestore()
    {
        Rig rig;
        const qsizetype logStart = TestSupport::logLines().size();
        QCOMPARE(rig.paste(QStringLiteral("совершенно секретно")), PasteResult::pasted);
        rig.clipboard.writeWorks = false;
        rig.passRestoreDelay();
        QCOMPARE(rig.paste(QStringLiteral("совершенно секретно"), editor, false), PasteResult::copied);
        const QStringList log = TestSupport::logLines().mid(logStart);
        QVERIFY(log.filter("секретно").isEmpty());
        QCOMPARE(log.filter("previous pasteboard could not be restored").size(), 1);
    }
};

TALVANE_TEST_MAIN(PasterTest)
#include "PasterTest.moc"
