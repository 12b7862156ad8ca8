// Free-space reporter: a child process that publishes the sizes of the SD
// card and the USB stick once a second in "/dev/shm/read.dat" (six 32-bit
// little-endian words: free blocks, total blocks, block size in bytes of
// "/mnt/USB0", then of "/mnt/USB1").
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "core/image/bytes.h"
#include "media/filex.h"
#include "platform/plat.h"

namespace {
pid_t backtsk_parent;  // the controller, recorded before the fork

uint32_t Clamp(uint64_t v) { return v > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(v); }

void PutTriple(uint8_t *out, const char *mount) {
    char p[FX_PATH_MAX];
    struct statvfs v {};
    if (PLAT_Path(mount, p, sizeof p) == nullptr || statvfs(p, &v) != 0) v = {};
    // Blocks available to the user, counted in units of the fragment size.
    LE_Put32(out, Clamp(v.f_bavail));
    LE_Put32(out + 4, Clamp(v.f_blocks));
    LE_Put32(out + 8, Clamp(v.f_frsize));
}
}  // namespace

void BackTsk_Report() {
    char p[FX_PATH_MAX], tmp[FX_PATH_MAX + 8];
    struct statvfs v {};
    if (PLAT_Path("/mnt/USB0", p, sizeof p) == nullptr || statvfs(p, &v) != 0) return;
    uint8_t rec[FX_SPACE_RECORD_SIZE];
    PutTriple(rec, "/mnt/USB0");
    PutTriple(rec + 12, "/mnt/USB1");
    if (PLAT_Path(FX_SPACE_RECORD, p, sizeof p) == nullptr) return;
    std::snprintf(tmp, sizeof tmp, "%s.tmp", p);
    // Readers never see a half-written record: written aside, then renamed.
    static bool said;
    const int fd = PLAT_CreateFile(tmp, 0600, &said);
    if (fd < 0) return;
    const bool ok = write(fd, rec, sizeof rec) == ssize_t(sizeof rec);
    close(fd);
    if (!ok || rename(tmp, p) != 0) unlink(tmp);
}

void BackTsk() {
    const pid_t parent = backtsk_parent != 0 ? backtsk_parent : getppid();
    PLAT_ChildDieWithParent();
    for (;;) {
        // Also ends when the death signal was missed (parent gone before it was armed).
        if (getppid() != parent) _exit(0);
        BackTsk_Report();
        struct timespec one = {1, 0};
        while (nanosleep(&one, &one) != 0 && errno == EINTR) {
        }
    }
}

pid_t BackTsk_Start() {
    backtsk_parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        // The controller's handlers (stop request, fatal-signal countdown and
        // reset) must not run in the reporter.
        for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGALRM, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGPIPE})
            signal(sig, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        close_range(3, ~0u, 0);
        BackTsk();
    }
    if (pid > 0) PLAT_ChildAdd(pid, "BackTsk");
    return pid;
}
