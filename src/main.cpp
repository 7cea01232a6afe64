#include "app/TalvaneApp.h"
#include "app/Wiring.h"
#include "platform/Log.h"
#include "app/CheckSuite.h"
#include "app/ControlService.h"
#include "app/SelfTest.h"

#include <QApplication>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <QStringList>

#include <csignal>
#include <cstdio>
#include <string_view>
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
        // Take the byte, or the notifier fires again at once for as long as the quit waits.
        char byte;
        [[maybe_unused]] const auto taken = ::read(quitPipe[0], &byte, 1);
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

const char help[] = R"(Usage: talvane [OPTION]
Dictation for the desktop: press Alt+Space in any program, speak, press it again, and
the recognised text is pasted where you were typing. Without options, starts in the
tray (notification area).

Options:
  --toggle       start or stop a dictation in the running copy (bind this to a key
                 in the desktop's keyboard settings where Alt+Space cannot be used)
  --cancel       cancel the running copy's recording or recognition (as Escape does)
  --status       print the running copy's status line
                 (these three exit 1 when no copy runs)
  --self-test MODEL AUDIO [LANGUAGE]
                 recognise an audio file with a whisper model and print the transcript,
                 without the tray; LANGUAGE is a code such as "ru" or "auto"
  --selftest     run the built-in checks of this copy and print one line each
  -h, --help     print this help and exit
  --version      print the version and exit

Files, in ~/.local/share/Talvane (or $XDG_DATA_HOME/Talvane):
  settings.json  settings, including the hint dictionary
  models/        downloaded speech models (unless settings.json names another folder)
  cloud.json     the cloud recogniser's key, readable by you alone
  talvane.log    the log; it never holds dictated text

Exit status: 0 on success, 1 when a check or recognition fails, 2 for a usage error.
)";

} // namespace

// Chooses the mode from the command line: the recognition self-test, the built-in check
// suite, help, the version, or the tray application. Only exact options count; anything
// else is a usage error rather than a silent start of the tray application.
int main(int argc, char **argv)
{
    if (argc > 1) {
        const std::string_view option = argv[1];
        if (option == "--self-test") {
            QStringList rest;
            for (int j = 2; j < argc; ++j)
                rest << QString::fromLocal8Bit(argv[j]);
            QCoreApplication app(argc, argv);
            return SelfTest::run(rest);
        }
        if (option == "--selftest" && argc == 2) {
            QCoreApplication app(argc, argv);
            return CheckSuite::run();
        }
        if ((option == "--help" || option == "-h") && argc == 2) {
            std::fputs(help, stdout);
            return 0;
        }
        if ((option == "--toggle" || option == "--cancel" || option == "--status") && argc == 2) {
            QCoreApplication app(argc, argv);
            return ControlService::command(QString::fromLatin1(option.data(), qsizetype(option.size())));
        }
        if (option == "--version" && argc == 2) {
            std::printf("talvane %s\n", TalvaneApp::version().toUtf8().constData());
            return 0;
        }
        // A known option followed by more: the first extra word is the wrong one.
        const bool known = option == "--selftest" || option == "--help" || option == "-h" || option == "--version" ||
                           option == "--toggle" || option == "--cancel" || option == "--status";
        std::fprintf(stderr, "talvane: unrecognised argument '%s'\nTry 'talvane --help' for more information.\n",
                     known ? argv[2] : argv[1]);
        return 2;
    }

    // On a Wayland desktop the windows stay on XWayland where it runs: there the level capsule never takes the
    // focus from the window being dictated into, and the tray works as on X11.
    if (qEnvironmentVariableIsSet("WAYLAND_DISPLAY") && qEnvironmentVariableIsSet("DISPLAY") &&
        !qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Talvane"));
    QApplication::setApplicationVersion(TalvaneApp::version());
    QApplication::setQuitOnLastWindowClosed(false); // alerts come and go; the tray stays
    if (!ControlService::claimName()) {
        std::puts("Talvane уже запущен");
        return 0;
    }
    quitOnSignals();
    // Lives for the whole process: the tray, the hot keys and the controller hang off it.
    static TalvaneApp *instance = new TalvaneApp(desktopEnvironment());
    QObject::connect(&app, &QCoreApplication::aboutToQuit, [] { instance->quitting(); });
    instance->launch();
    return QApplication::exec();
}
