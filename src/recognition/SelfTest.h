#pragma once

#include <QCoroTask>
#include <QString>
#include <QStringList>

// The command-line recognition check: whisper works on this machine, the silence guard
// rejects near-silence, and a real recording gives text. Prints to standard output.
namespace SelfTest {

// Runs the check with the arguments that followed "--self-test" (model file, audio file,
// optional language) on the running QCoreApplication's event loop and returns the exit
// code: 0 passed, 1 failed, 2 wrong usage.
int run(const QStringList &arguments);

// The check itself; true when it passed.
QCoro::Task<bool> check(QString model, QString audio, QString language);

} // namespace SelfTest
