#pragma once

// The built-in check suite ("--selftest"): quick checks of the program's own components
// on this machine, one line each, then a summary. Needs no model and no microphone.
namespace CheckSuite {

// Runs every check and returns the exit code: 0 when all passed, 1 otherwise.
int run();

} // namespace CheckSuite
