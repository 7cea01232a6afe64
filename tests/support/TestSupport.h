#pragma once

#include <QApplication>
#include <QByteArray>
#include <QCoreApplication>
#include <QString>
#include <QStringList>
#include <QTest>

namespace TestSupport {

// Points HOME, XDG_DATA_HOME and XDG_CONFIG_HOME at a fresh temporary folder that lives
// as long as the process, so that tests never touch the real support folder.
QString isolateHome();

// Waits for the log writer, then returns the lines of talvane.log in the support folder.
QStringList logLines();

QByteArray readFile(const QString &path);
void writeFile(const QString &path, const QByteArray &bytes);

} // namespace TestSupport

// Desktop tests work on the session's X server, where the program's windows live too, even beside a Wayland
// compositor.
// clang-format off
#define TALVANE_MAIN(Application, TestClass) \
    int main(int argc, char **argv) { TestSupport::isolateHome(); qputenv("QT_QPA_PLATFORM", "xcb"); Application app(argc, argv); TestClass test; return QTest::qExec(&test, argc, argv); }
// clang-format on
#define TALVANE_TEST_MAIN(TestClass) TALVANE_MAIN(QCoreApplication, TestClass)
#define TALVANE_GUI_TEST_MAIN(TestClass) TALVANE_MAIN(QApplication, TestClass)
