// Fatal signals: the backtrace goes to "/mnt/cfg/logfile", the cause is
// printed, the watchdog is closed, and after a countdown of 59 seconds with
// both LEDs flashing fast the controller warm-resets. The whole path is
// async-signal-safe: write(2) of fixed lines, no locks, no allocation.
#include "exec/exception.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "exec/mainloop.h"
#include "core/storage/memfile.h"
#include "exec/sys.h"
#include "core/image/timebase.h"

namespace {
void Say(const char *text) {
    // Written straight to the descriptor: the line must be out before the
    // next one even when standard output is a pipe.
    std::size_t n = std::strlen(text);
    while (n > 0) {
        const ssize_t w = write(STDOUT_FILENO, text, n);
        if (w <= 0) return;
        text += w;
        n -= std::size_t(w);
    }
}
}  // namespace

const char *Exception_Cause(int sig) {
    switch (sig) {
    case SIGSEGV: return "Invalid Memory Access Fault";
    case SIGBUS: return "Memory Alignment Fault";
    case SIGILL: return "Illegal Code execution";
    case SIGABRT: return "Buffer Overflow error";
    default: return "Erroneous Arithmetic Operation performed";
    }
}

void ExceptionISR(int sig) {
    // A signal taken by another thread of the controller is handed to the
    // main thread, which owns the countdown; that thread then stops here.
    if (WDmainPid != 0 && getpid() == WDmainPid && pid_t(syscall(SYS_gettid)) != WDmainPid) {
        pthread_kill(Main_Thread, sig);
        for (;;) pause();
    }
    // A child process of the controller (the free-space reporter) just ends.
    if (WDmainPid != 0 && getpid() != WDmainPid) {
        signal(sig, SIG_DFL);
        raise(sig);
        _exit(128 + sig);
    }
    // From here on only async-signal-safe calls: the fault may have struck
    // while the interrupted code held a lock (the log, a save, stdio).
    Enable_Interrupt(0);
    GenLogFile();
    Say("System Exception Occurred\n");
    Say(Exception_Cause(sig));
    Say("\n");
    StopWatchdog();

    // The countdown keeps its own 100 ms flash phase instead of running the
    // service tick, which is not safe in a signal handler.
    uint32_t count = 59;
    uint32_t last = FPGA_GetFrt();
    uint32_t flash = last;
    for (;;) {
        const uint32_t now = FPGA_GetFrt();
        if (now - flash >= 1000) {  // both LEDs flash every 100 ms
            flash = now;
            Flash100ms = !Flash100ms;
        }
        SYS_SetStatusLeds(12, 12);
        if (now - last > 9999) {
            last = now;
            count--;
            char line[16] = "Reset in:59\n";
            line[9] = char('0' + count / 10);
            line[10] = char('0' + count % 10);
            Say(line);
            if (count == 0) SYS_WarmResetNow();
        }
        usleep(1000);
    }
}
