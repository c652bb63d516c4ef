// Processes a test starts end with the test binary, also when it crashes or is killed by the
// test runner's timeout: a desktop (Xvfb, openbox, trayer) or a console left behind would hold a
// display, a port or a lock for the runs that follow.
#pragma once

#include <sys/prctl.h>
#include <QProcess>
#include <csignal>

// Starting a process can take seconds on a loaded machine: a deadline, not a measure of speed.
constexpr int kProcessStartMs = 30000;

inline void EndWithTest(QProcess& process) {
    process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
}
