// Selection of the seam implementations, the root folder and the registry of
// child processes.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/plat.h"
#include "platform/plat_internal.h"

const PlatTimeOps *plat_time = &plat_time_host;
const PlatSocOps *plat_soc = &plat_soc_host;
const PlatPanelOps *plat_panel = &plat_panel_host;
const PlatShellOps *plat_shell = &plat_shell_host;
const PlatResetOps *plat_reset = &plat_reset_host;
const PlatWdtOps *plat_wdt = &plat_wdt_host;
const PlatRtcOps *plat_rtc = &plat_rtc_host;

namespace {
char root[4096];
bool board;

// A slot is free at 0, reserved at -1 while its name is written, in use at a
// process id. Every change is one atomic step, so any thread, and the
// fatal-signal path, may use the table without a lock.
struct Child {
    std::atomic<pid_t> pid{0};
    char name[32];
};
std::array<Child, 16> children;

// True while pid is a child of this process that has not ended. Peeks
// without reaping, so whoever started the child still gets its status.
bool ChildRunning(pid_t pid) {
    siginfo_t info{};
    if (waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return false;
    return info.si_pid == 0;
}

// Ends one child by its process id, only while it is still ours and running
// (a pid that was reaped elsewhere may already belong to someone else).
void EndChild(pid_t pid) {
    if (!ChildRunning(pid)) return;
    if (kill(pid, SIGKILL) == 0) {
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
}

bool Exists(const char *abs) {
    char p[512];
    struct stat st {};
    return PLAT_Path(abs, p, sizeof p) != nullptr && stat(p, &st) == 0;
}
}  // namespace

int plat_argc;
char **plat_argv;

bool PlatResetExit() {
    // The environment as it is now, read without the C library's getenv.
    static constexpr char kName[] = "PLC_RESET=";
    for (char **e = environ; e != nullptr && *e != nullptr; e++) {
        const char *v = *e;
        std::size_t i = 0;
        while (kName[i] != 0 && v[i] == kName[i]) i++;
        if (kName[i] != 0) continue;
        v += i;
        return v[0] == 'e' && v[1] == 'x' && v[2] == 'i' && v[3] == 't' && v[4] == 0;
    }
    return false;
}

void PLAT_Init(int argc, char **argv) {
    plat_argc = argc;
    plat_argv = argv;
    const char *r = std::getenv("PLC_ROOT");
    root[0] = 0;
    if (r != nullptr && std::strlen(r) >= sizeof root) {
        // Running without the root asked for would reach the machine's own files.
        std::fprintf(stderr, "PLC_ROOT is too long\n");
        std::exit(2);
    }
    if (r != nullptr) {
        std::strcpy(root, r);
        size_t n = std::strlen(root);
        while (n > 1 && root[n - 1] == '/') root[--n] = 0;
    }
    // The board build runs without a root folder; everything else is a host.
#if defined(__arm__)
    board = root[0] == 0;
#else
    board = false;
#endif
    if (board) {
        plat_time = &plat_time_board;
        plat_soc = &plat_soc_board;
        plat_panel = &plat_panel_board;
        plat_shell = &plat_shell_board;
        plat_reset = &plat_reset_board;
    } else {
        plat_time = &plat_time_host;
        plat_soc = &plat_soc_host;
        plat_panel = &plat_panel_host;
        plat_shell = &plat_shell_host;
        plat_reset = &plat_reset_host;
    }
    // Devices stand in where they are missing under the root.
    plat_wdt = Exists("/dev/watchdog") ? &plat_wdt_board : &plat_wdt_host;
    plat_rtc = Exists("/dev/rtc0") ? &plat_rtc_board : &plat_rtc_host;
}

bool PLAT_RootCheck() {
    const char *r = std::getenv("PLC_ROOT");
    if (r != nullptr && r[0] != 0) return true;
    struct utsname u {};
    if (uname(&u) == 0 && (std::strncmp(u.machine, "arm", 3) == 0 || std::strcmp(u.machine, "aarch64") == 0))
        return true;
    std::fprintf(stderr,
                 "PLC_ROOT is not set: set PLC_ROOT to the folder that stands in for the board's file system\n");
    return false;
}

int PLAT_IsBoard() { return board ? 1 : 0; }
const char *PLAT_Root() { return root; }

char *PLAT_Path(const char *abs, char *out, std::size_t outlen) {
    if (abs == nullptr || out == nullptr || outlen == 0) return nullptr;
    const size_t rl = abs[0] == '/' ? std::strlen(root) : 0;
    const size_t al = std::strlen(abs);
    if (rl + al + 1 > outlen) {
        out[0] = 0;
        return nullptr;
    }
    std::memcpy(out, root, rl);
    std::memcpy(out + rl, abs, al + 1);
    return out;
}

void PLAT_MakeBoardFolders() {
    if (board) return;
    mkdir(root, 0755);  // the root itself may be new
    for (const char *d : {"/dev", "/dev/shm", "/mnt", "/mnt/cfg", "/mnt/firm", "/sim"}) {
        char p[512];
        if (PLAT_Path(d, p, sizeof p)) mkdir(p, 0755);
    }
}

int PLAT_CreateFile(const char *path, mode_t mode, bool *said) {
    // A folder at the name cannot be unlinked: O_EXCL then refuses it too.
    unlink(path);
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
    if (fd >= 0 && said != nullptr) *said = false;  // the next failure is said again
    if (fd < 0 && said != nullptr && !*said) {
        const int e = errno;
        *said = true;
        std::fprintf(stderr, "Cannot create %s (%s): a store writes there before it replaces its file; remove it\n",
                     path, std::strerror(e));
        errno = e;
    }
    return fd;
}

namespace {
int lock_fd = -1;
pid_t lock_pid;

// The data folder must be writable: a folder of another user, or a read-only
// one, would lose every save. One line names it; nothing under it is written.
bool FolderWritable(const char *abs) {
    char p[512];
    if (!PLAT_Path(abs, p, sizeof p) || faccessat(AT_FDCWD, p, W_OK | X_OK, AT_EACCESS) == 0 || errno == ENOENT)
        return true;
    std::fprintf(stderr,
                 "Cannot write %s (%s): the data folder %s belongs to another user or is read-only; the controller "
                 "stops and changes nothing: start it as the user who owns the folder\n",
                 p, std::strerror(errno), root);
    return false;
}

void ClearLockPid() {
    // Only the process that took the lock (not a child that exits) clears it.
    if (lock_fd >= 0 && getpid() == lock_pid && ftruncate(lock_fd, 0) != 0) {
        // the lock, not the text, is what keeps a second controller out
    }
}
}  // namespace

bool PLAT_LockRoot() {
    if (board) return true;
    char p[512];
    if (!PLAT_Path("/sim/controller.lock", p, sizeof p)) return true;
    // A record lock belongs to this process alone: children do not inherit it,
    // the kernel drops it at any end (kill -9 included), and the descriptor
    // closes at a re-execution, which takes the lock again.
    if (lock_fd >= 0) return true;
    for (const char *d : {"/sim", "/mnt/cfg"})
        if (!FolderWritable(d)) return false;
    // A folder that cannot be locked (no lock support) does not stop the start.
    const auto unlocked = [&p](const char *what) {
        std::fprintf(stderr, "Cannot %s %s (%s): nothing stops a second controller on this data folder\n", what, p,
                     std::strerror(errno));
        return true;
    };
    int fd = open(p, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS)) {
        std::fprintf(stderr,
                     "Cannot open %s (%s): the data folder %s belongs to another user or is read-only; the "
                     "controller stops and changes nothing: start it as the user who owns the folder\n",
                     p, std::strerror(errno), root);
        return false;
    }
    if (fd < 0) return unlocked("open");
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    if (fcntl(fd, F_SETLK, &fl) == 0) {
        lock_fd = fd;
        lock_pid = getpid();
        static const bool registered = std::atexit(ClearLockPid) == 0;
        (void)registered;
        char pid[24];
        const int n = std::snprintf(pid, sizeof pid, "%d\n", int(lock_pid));
        if (ftruncate(fd, 0) != 0 || pwrite(fd, pid, std::size_t(n), 0) != n) {
            // the process id in the file is for people; the lock is what counts
        }
        return true;
    }
    if (errno != EACCES && errno != EAGAIN) return unlocked("lock");
    long holder = 0;
    if (fcntl(fd, F_GETLK, &fl) == 0 && fl.l_type != F_UNLCK) holder = long(fl.l_pid);
    if (holder <= 0) {
        char buf[24] = {};
        if (pread(fd, buf, sizeof buf - 1, 0) > 0) holder = std::strtol(buf, nullptr, 10);
    }
    std::fprintf(stderr,
                 "Another controller (process %ld) runs on the data folder %s: stop it first, or give this one a "
                 "PLC_ROOT of its own\n",
                 holder, root);
    close(fd);
    return false;
}

void PLAT_ReleaseRoot() { ClearLockPid(); }

void PLAT_MonoTime(struct timespec *ts) { plat_time->mono(ts); }
uint64_t PLAT_FrtOffset() { return plat_time->frt_offset(); }
uint32_t PLAT_MsOffset() { return plat_time->ms_offset(); }

uint16_t PLAT_Sp5Address() {
    const char *s = PLAT_IsBoard() ? nullptr : std::getenv("PLC_SP5_ADDRESS");
    if (s == nullptr || *s == 0) return 0;
    char *end = nullptr;
    const long v = std::strtol(s, &end, 0);
    return *end == 0 && v >= 1 && v <= 32767 ? uint16_t(v) : 0;
}
volatile uint32_t *PLAT_SocMap(uint32_t phys, std::size_t len) { return plat_soc->map(phys, len); }
unsigned PLAT_Buttons() { return plat_panel->buttons(); }
void PLAT_Leds(unsigned ok, unsigned run) { plat_panel->leds(ok, run); }
void PLAT_LedCodes(unsigned ok, unsigned run) { plat_panel->led_codes(ok, run); }
int PLAT_System(const char *cmd) { return plat_shell->system(cmd); }
FILE *PLAT_Popen(const char *cmd, const char *mode) { return plat_shell->popen(cmd, mode); }
int PLAT_Pclose(FILE *f) { return plat_shell->pclose(f); }
void PLAT_WarmReset() {
    plat_reset->warm();
    _exit(3);  // the reset never returns; stop here if it did
}
void PLAT_Reboot() {
    plat_reset->reboot();
    _exit(3);
}
int PLAT_WdtOpen() { return plat_wdt->open(); }
void PLAT_WdtWrite(char c) { plat_wdt->write(c); }
void PLAT_WdtClose() { plat_wdt->close(); }
int PLAT_WdtTimeLeft() { return plat_wdt->timeleft(); }
int PLAT_WdtTimeout() { return plat_wdt->timeout(); }
int PLAT_RtcGet(struct tm *t) { return plat_rtc->get(t); }
int PLAT_RtcSet(const struct tm *t) { return plat_rtc->set(t); }

void PLAT_ChildAdd(pid_t pid, const char *name) {
    if (pid <= 0 || name == nullptr) return;
    for (Child &c : children) {
        pid_t old = c.pid.load();
        // Ended since: the slot is free (unless another thread changed it meanwhile).
        if (old > 0 && !ChildRunning(old)) c.pid.compare_exchange_strong(old, 0);
    }
    for (Child &c : children) {
        pid_t expected = 0;
        if (!c.pid.compare_exchange_strong(expected, -1)) continue;
        std::size_t n = 0;
        while (name[n] != 0 && n + 1 < sizeof c.name) {
            c.name[n] = name[n];
            n++;
        }
        c.name[n] = 0;
        c.pid.store(pid);
        return;
    }
}

void PLAT_ChildKill(const char *name) {
    if (name == nullptr) return;
    for (Child &c : children) {
        pid_t pid = c.pid.load();
        if (pid <= 0 || std::strcmp(c.name, name) != 0) continue;
        // Whoever takes the slot back ends the child; nobody else signals that pid.
        if (c.pid.compare_exchange_strong(pid, 0)) EndChild(pid);
    }
}

void PLAT_ChildKillAll() { PlatChildKillAllNow(); }

void PlatChildKillAllNow() {
    for (Child &c : children) {
        pid_t pid = c.pid.load();
        if (pid > 0 && c.pid.compare_exchange_strong(pid, 0)) EndChild(pid);
    }
}

void PlatAppend(char *buf, std::size_t cap, std::size_t *len, const char *text) {
    while (*text != 0 && *len + 1 < cap) buf[(*len)++] = *text++;
    buf[*len] = 0;
}

void PlatAppendU(char *buf, std::size_t cap, std::size_t *len, unsigned value) {
    char digits[12];
    int k = 0;
    do {
        digits[k++] = char('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (k > 0 && *len + 1 < cap) buf[(*len)++] = digits[--k];
    buf[*len] = 0;
}

void PLAT_SyncNow() {
    if (!board) PlatHost_LogNow("sync");
    sync();
}

void PLAT_WarmResetNow() {
    plat_reset->warm_now();
    _exit(3);
}

void PLAT_ChildDieWithParent() { prctl(PR_SET_PDEATHSIG, SIGKILL); }

int PLAT_SetSystemTime(int64_t seconds) { return (board ? plat_systime_board : plat_systime_host).set(seconds); }

int PLAT_WdtSetTimeout(int seconds) {
    return (plat_wdt == &plat_wdt_board ? plat_wdt_timeout_board : plat_wdt_timeout_host).set(seconds);
}
