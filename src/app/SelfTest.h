#pragma once

#include <QCoroTask>
#include <QString>
#include <QStringList>

#include <functional>

// The command-line recognition check: whisper works on this machine, the silence guard
// rejects near-silence, and a real recording gives text. Prints to standard output.
namespace SelfTest {

// The check itself; true when it passed.
QCoro::Task<bool> check(QString model, QString audio, QString language);

using Check = std::function<QCoro::Task<bool>(QString model, QString audio, QString language)>;

// Runs `check` with the arguments that followed "--self-test" (model file, audio file,
// optional language) on the running QCoreApplication's event loop and returns the exit
// code: 0 passed, 1 failed (whatever the check throws), 2 wrong usage.
int run(const QStringList &arguments, const Check &check = SelfTest::check);

} // namespace SelfTest
