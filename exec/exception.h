// Fatal-signal handling: backtrace to the log file, cause line, countdown
// and warm reset.
#pragma once

#include <cstdint>

// Handler of SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGABRT (installed by SYS_Init).
void ExceptionISR(int sig);
// The cause line printed for a fatal signal.
const char *Exception_Cause(int sig);
