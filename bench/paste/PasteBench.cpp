// Time from the paster's paste to the text appearing in a real target window (a Qt text field in another
// process), over 20 dictations, each over another program's copy that the paste first takes a snapshot of; prints
// each time and the median. Run inside a desktop session, on X11 or beside sway (a native Wayland field then,
// reached through data control and a virtual keyboard):
//   scripts/test-session build/bench/bench_paste
//   scripts/test-session --wayland build/bench/bench_paste
#include "Desktop.h"
#include "platform/wayland/WaylandClipboard.h"
#include "platform/wayland/WaylandKeySender.h"
#include "platform/wayland/WaylandWorkspace.h"
#include "platform/x11/X11Clipboard.h"
#include "platform/x11/X11Connection.h"
#include "platform/x11/X11KeySender.h"
#include "platform/x11/X11Workspace.h"
#include "text/TextPaster.h"

#include <QApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const bool wayland = Desktop::waylandClipboard();
    if (wayland ? !WaylandClipboard::available() || !WaylandKeySender::available() : !X11Connection::display()) {
        std::fprintf(stderr, "paste_bench needs an X server, or sway for the Wayland figure\n");
        return 1;
    }
    TextPaster paster = wayland ? TextPaster(std::make_unique<WaylandClipboard>(),
                                             std::make_unique<WaylandWorkspace>(std::make_unique<X11Workspace>()),
                                             std::make_unique<WaylandKeySender>())
                                : TextPaster(std::make_unique<X11Clipboard>(), std::make_unique<X11Workspace>(),
                                             std::make_unique<X11KeySender>());
    auto field = wayland ? Desktop::startWaylandTextField() : Desktop::startTextField();
    if (!field) {
        std::fprintf(stderr, "the target window did not start\n");
        return 1;
    }

    constexpr int runs = 20;
    std::vector<double> times;
    QString expected;
    for (int run = 0; run < runs; ++run) {
        const QString text = QStringLiteral("проба %1; ").arg(run);
        expected += text;
        // As in use, the clipboard holds what the user copied, not the previous dictation.
        Desktop::copy({{"UTF8_STRING", QByteArray("скопировано ") + QByteArray::number(run)}});
        const auto target = paster.captureTarget();
        QElapsedTimer timer;
        timer.start();
        if (QCoro::waitFor(paster.paste(text, true, target)) != PasteResult::pasted) {
            std::fprintf(stderr, "paste %d failed\n", run + 1);
            return 1;
        }
        while (field->received() != expected) {
            if (timer.elapsed() > 10000) {
                std::fprintf(stderr, "paste %d never arrived\n", run + 1);
                return 1;
            }
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        }
        times.push_back(timer.nsecsElapsed() / 1e6);
        std::printf("paste %2d: %.1f ms\n", run + 1, times.back());
    }
    std::sort(times.begin(), times.end());
    std::printf("%s: median of %d, paste to text in the target: %.1f ms (min %.1f, max %.1f; 200 ms of it are the "
                "focus check and the settling wait)\n",
                wayland ? "Wayland" : "X11", runs, (times[runs / 2 - 1] + times[runs / 2]) / 2, times.front(),
                times.back());
    return 0;
}
