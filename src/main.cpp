#include "app/TalvaneApp.h"
#include "app/Wiring.h"
#include "platform/Log.h"
#include "app/CheckSuite.h"
#include "app/SelfTest.h"

#include <QApplication>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <QStringList>

#include <csignal>
#include <cstring>
#include <unistd.h>

namespace {

int quitPipe[2] = {-1, -1};

// SIGTERM (a logout, `kill`) and SIGINT end the program as its menu's quit does.
void quitOnSignals()
{
    if (::pipe(quitPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(quitPipe[0], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, qApp, [] {
        // An open alert runs an event loop of its own: close it first, then quit the
        // main loop once the alert has returned.
        QApplication::closeAllWindows();
        QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    });
    struct sigaction action = {};
    action.sa_handler = [](int) {
        const char byte = 1;
        [[maybe_unused]] const auto written = ::write(quitPipe[1], &byte, 1);
    };
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

} // namespace

// Chooses the mode from the command line: the recognition self-test, the built-in check
// suite, or the tray application. Only exact switches count.
int main(int argc, char **argv)
{
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--self-test") != 0)
            continue;
        QStringList rest;
        for (int j = i + 1; j < argc; ++j)
            rest << QString::fromLocal8Bit(argv[j]);
        QCoreApplication app(argc, argv);
        return SelfTest::run(rest);
    }
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--selftest") == 0) {
            QCoreApplication app(argc, argv);
            return CheckSuite::run();
        }
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Talvane"));
    QApplication::setApplicationVersion(TalvaneApp::version());
    QApplication::setQuitOnLastWindowClosed(false); // alerts come and go; the tray stays
    quitOnSignals();
    // Lives for the whole process: the tray, the hot keys and the controller hang off it.
    static TalvaneApp *instance = new TalvaneApp(desktopEnvironment());
    QObject::connect(&app, &QCoreApplication::aboutToQuit, [] { instance->quitting(); });
    instance->launch();
    return QApplication::exec();
}
