#include "platform/Log.h"
#include "recognition/CheckSuite.h"
#include "recognition/SelfTest.h"

#include <QApplication>
#include <QCoreApplication>
#include <QStringList>

#include <cstdio>
#include <cstring>

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
    Log::write("INFO", "Talvane " TALVANE_VERSION " started");
    std::fprintf(stderr, "the tray application is not built yet\n");
    return QApplication::exec();
}
