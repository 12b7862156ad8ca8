// Host implementations of the hardware seams: files under the root folder
// stand in for the board's devices.
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>
#include <chrono>
#include <string_view>
#include <glob.h>
#include <signal.h>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>

#include "platform/plat.h"
#include "platform/plat_internal.h"

namespace {

// ---- time ---------------------------------------------------------------------------
void HostMono(struct timespec *ts) { clock_gettime(CLOCK_MONOTONIC, ts); }

// The offsets are read once, 64 bits wide for the time base so that a test
// can also bring the wrap of its millisecond count (2^32 ms, at 10 * 2^32
// ticks) within seconds.
uint64_t HostFrtOffset() {
    static const uint64_t off = [] {
        const char *s = std::getenv("PLC_FRT_OFFSET");
        return s ? uint64_t(std::strtoull(s, nullptr, 0)) : uint64_t(0);
    }();
    return off;
}
uint32_t HostMsOffset() {
    static const uint32_t off = [] {
        const char *s = std::getenv("PLC_MS_OFFSET");
        return s ? uint32_t(std::strtoull(s, nullptr, 0)) : 0u;
    }();
    return off;
}

// ---- SoC window: plain zeroed memory ---------------------------------------------
// Every map of the same registers gives the same memory, as on the board.
// Each window is a file sim/soc/<address> mapped shared, so that registers
// that survive a reset on the board (the RTC persistent registers) survive a
// re-execution here too; without a root folder it is plain memory.
volatile uint32_t *HostSocFile(uint32_t phys, std::size_t len) {
    if (PLAT_Root()[0] == 0) return nullptr;
    char abs[64], p[512];
    std::snprintf(abs, sizeof abs, "/sim/soc/%08x", unsigned(phys));
    if (!PLAT_Path("/sim/soc", p, sizeof p)) return nullptr;
    mkdir(p, 0755);
    if (!PLAT_Path(abs, p, sizeof p)) return nullptr;
    const int fd = open(p, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    struct stat st {};
    void *m = MAP_FAILED;
    if (fstat(fd, &st) == 0 && (st.st_size >= off_t(len) || ftruncate(fd, off_t(len)) == 0))
        m = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    return m == MAP_FAILED ? nullptr : static_cast<volatile uint32_t *>(m);
}

volatile uint32_t *HostSocMap(uint32_t phys, std::size_t len) {
    struct Region {
        uint32_t phys;
        std::size_t len;
        volatile uint32_t *words;
    };
    static std::mutex lock;
    static std::vector<Region> regions;
    std::lock_guard<std::mutex> g(lock);
    for (Region &r : regions) {
        const uint64_t end = uint64_t(r.phys) + r.len;
        if (phys >= r.phys && uint64_t(phys) + len <= end && (phys - r.phys) % 4 == 0)
            return r.words + (phys - r.phys) / 4;
    }
    len = (len + 3) & ~std::size_t(3);
    volatile uint32_t *w = HostSocFile(phys, len);
    if (w == nullptr) w = static_cast<volatile uint32_t *>(std::calloc(len / 4 ? len / 4 : 1, 4));
    if (w == nullptr) return nullptr;
    regions.push_back({phys, len, w});
    return w;
}

// ---- front panel -------------------------------------------------------------------------
bool ReadSimFile(const char *abs, char *buf, size_t len) {
    char p[512];
    if (!PLAT_Path(abs, p, sizeof p)) return false;
    const int fd = open(p, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const ssize_t n = read(fd, buf, len - 1);
    close(fd);
    buf[n > 0 ? n : 0] = 0;
    return true;
}

// Safe in a signal handler (the LEDs flash during the fatal-signal countdown).
void WriteSimFile(const char *abs, const char *text) {
    char p[512], tmp[520];
    if (PLAT_Root()[0] == 0) return;  // without a root the stand-in files have no place
    if (!PLAT_Path(abs, p, sizeof p)) return;
    std::size_t tl = 0;
    PlatAppend(tmp, sizeof tmp, &tl, p);
    PlatAppend(tmp, sizeof tmp, &tl, ".tmp");
    const int fd = PLAT_CreateFile(tmp, 0644, nullptr);
    if (fd < 0) return;
    const ssize_t want = ssize_t(std::strlen(text));
    const bool ok = write(fd, text, size_t(want)) == want;
    close(fd);
    if (ok) rename(tmp, p);  // readers never see a half-written file
}

unsigned HostButtons() {
    char buf[64];
    if (!ReadSimFile("/sim/buttons", buf, sizeof buf)) return 0;
    unsigned b = 0;
    if (std::strstr(buf, "RUN")) b |= PLAT_BTN_RUN;
    if (std::strstr(buf, "LOAD")) b |= PLAT_BTN_LOAD;
    return b;
}

unsigned led_ok, led_run, code_ok, code_run;
bool leds_written;

void HostLedsWrite() {
    leds_written = true;
    char text[96];
    std::size_t n = 0;
    PlatAppend(text, sizeof text, &n, "OK ");
    PlatAppendU(text, sizeof text, &n, led_ok);
    PlatAppend(text, sizeof text, &n, " ");
    PlatAppendU(text, sizeof text, &n, code_ok);
    PlatAppend(text, sizeof text, &n, "\nRUN ");
    PlatAppendU(text, sizeof text, &n, led_run);
    PlatAppend(text, sizeof text, &n, " ");
    PlatAppendU(text, sizeof text, &n, code_run);
    PlatAppend(text, sizeof text, &n, "\n");
    WriteSimFile("/sim/leds", text);
}

void HostLeds(unsigned ok, unsigned run) {
    if (leds_written && ok == led_ok && run == led_run) return;
    led_ok = ok;
    led_run = run;
    HostLedsWrite();
}

void HostLedCodes(unsigned ok, unsigned run) {
    if (leds_written && ok == code_ok && run == code_run) return;
    code_ok = ok;
    code_run = run;
    HostLedsWrite();
}

// ---- shell ------------------------------------------------------------------------------
std::mutex log_lock;

const char *KernelText() {
    const char *s = std::getenv("PLC_UNAME");
    return s ? s : "Linux controller 2.6.35.3-3544 #1 PREEMPT armv5tejl GNU/Linux";
}

constexpr std::size_t kMaxWords = 16;
constexpr std::size_t kWordLen = 512;
using WordList = std::array<std::array<char, kWordLen>, kMaxWords>;

// Splits a command line into words: blanks separate them, single or double
// quotes group one. Answers the number of words, or -1 when the line has too
// many words, a word is too long or a quote is left open (nothing is run on a
// line that was not understood whole).
int Words(const char *cmd, WordList &w) {
    int n = 0;
    const char *p = cmd;
    for (;;) {
        while (*p == ' ' || *p == '\t' || *p == '\n') p++;
        if (!*p) return n;
        if (n == int(kMaxWords)) return -1;
        std::size_t k = 0;
        char quote = 0;
        while (*p && (quote != 0 || (*p != ' ' && *p != '\t' && *p != '\n'))) {
            if (quote == 0 && (*p == '"' || *p == '\'')) {
                quote = *p++;
                continue;
            }
            if (quote != 0 && *p == quote) {
                quote = 0;
                p++;
                continue;
            }
            if (k + 1 >= kWordLen) return -1;
            w[size_t(n)][k++] = *p++;
        }
        if (quote != 0) return -1;
        w[size_t(n)][k] = 0;
        n++;
    }
}

// Output redirections to /dev/null change nothing here (the output of file
// commands is discarded anyway); they are dropped. Answers the new count.
int DropQuietRedirects(WordList &w, int n) {
    auto quiet = [](const char *s) {
        return std::strcmp(s, ">/dev/null") == 0 || std::strcmp(s, "1>/dev/null") == 0 ||
               std::strcmp(s, "2>/dev/null") == 0 || std::strcmp(s, "&>/dev/null") == 0 ||
               std::strcmp(s, "2>&1") == 0 || std::strcmp(s, ">&2") == 0 || std::strcmp(s, "1>&2") == 0;
    };
    auto redirect = [](const char *s) {
        return std::strcmp(s, ">") == 0 || std::strcmp(s, "1>") == 0 || std::strcmp(s, "2>") == 0 ||
               std::strcmp(s, "&>") == 0;
    };
    int out = 0;
    for (int i = 0; i < n; i++) {
        const char *s = w[size_t(i)].data();
        if (quiet(s)) continue;
        if (redirect(s) && i + 1 < n && std::strcmp(w[size_t(i + 1)].data(), "/dev/null") == 0) {
            i++;
            continue;
        }
        if (out != i) w[size_t(out)] = w[size_t(i)];
        out++;
    }
    return out;
}

// A word the host carries out only when it is a plain argument: no shell
// syntax and no ".." component that could lead out of the root.
bool PlainWord(const char *s) {
    if (std::strpbrk(s, "<>|;&$`()\\") != nullptr) return false;
    for (const char *p = s; (p = std::strstr(p, "..")) != nullptr; p += 2) {
        const bool starts = p == s || p[-1] == '/';
        const bool ends = p[2] == 0 || p[2] == '/';
        if (starts && ends) return false;
    }
    return true;
}

// Where the value inside an option word starts: after "=" of a long option,
// after the letters of short options ("-t/dir", "-rt/dir", "-d.."); 0 when
// the word is no option or carries no value of its own.
std::size_t OptionPathAt(const char *s) {
    if (s[0] != '-' || s[1] == 0) return 0;
    if (s[1] == '-') {
        const char *eq = std::strchr(s, '=');
        return eq != nullptr && eq[1] != 0 ? std::size_t(eq - s + 1) : 0;
    }
    std::size_t i = 1;
    while (std::isalpha(static_cast<unsigned char>(s[i]))) i++;
    return s[i] != 0 ? i : 0;
}

// Runs a file command without a shell: absolute paths are placed under the
// root (wildcards expanded there), and the command runs in the root folder so
// that relative paths stay inside it too. Answers a system()-style status.
int RunUnderRoot(const WordList &w, int n) {
    constexpr int kFail = 1 << 8;
    if (PLAT_Root()[0] == 0) return kFail;  // no root: never touch the machine's own files
    std::vector<std::string> args;
    for (int i = 0; i < n; i++) {
        const char *word = w[size_t(i)].data();
        // An option that carries a path ("-t/dir", "-d/dir", "--target-directory=/dir"):
        // its path part goes under the root like any other path.
        const std::size_t at = i > 0 ? OptionPathAt(word) : 0;
        if (at != 0) {
            const char *value = word + at;
            if (!PlainWord(value)) return kFail;
            if (value[0] != '/') {
                args.emplace_back(word);
                continue;
            }
            char p[kWordLen + 256];
            if (!PLAT_Path(value, p, sizeof p)) return kFail;
            args.emplace_back(std::string(word, at) + p);
            continue;
        }
        if (word[0] != '/') {
            args.emplace_back(word);
            continue;
        }
        char p[kWordLen + 256];
        if (!PLAT_Path(word, p, sizeof p)) return kFail;
        if (std::strpbrk(word, "*?[") == nullptr) {
            args.emplace_back(p);
            continue;
        }
        glob_t g{};
        if (glob(p, GLOB_NOCHECK, nullptr, &g) == 0) {
            for (size_t k = 0; k < g.gl_pathc; k++) args.emplace_back(g.gl_pathv[k]);
        }
        globfree(&g);
    }
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) return kFail;
    if (pid == 0) {
        if (chdir(PLAT_Root()) != 0) _exit(127);
        const int devnull = open("/dev/null", O_RDWR);
        if (devnull >= 0) {
            dup2(devnull, 0);
            dup2(devnull, 1);
        }
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return kFail;
    }
    return status;
}

// "uname ... > FILE" (or ">FILE"): the board's kernel text into the file.
int HostUname(const WordList &w, int n) {
    for (int i = 1; i < n; i++) {
        const char *s = w[size_t(i)].data();
        const char *file = nullptr;
        if (std::strcmp(s, ">") == 0 && i + 1 < n)
            file = w[size_t(i + 1)].data();
        else if (s[0] == '>' && s[1] != 0)
            file = s + 1;
        if (file == nullptr) continue;
        if (file[0] != '/' || !PlainWord(file)) return 1 << 8;
        char line[256];
        std::snprintf(line, sizeof line, "%s\n", KernelText());
        WriteSimFile(file, line);
        return 0;
    }
    return 0;
}

int HostSystem(const char *cmd) {
    if (cmd == nullptr) return 1 << 8;
    PlatHost_Log(cmd);
    WordList w{};
    int n = Words(cmd, w);
    if (n < 0) return 1 << 8;
    if (n == 0) return 0;
    const char *c = w[0].data();
    if (std::strcmp(c, "killall") == 0) {
        // Only processes this controller started, by process id.
        if (n < 2) return 1 << 8;
        PLAT_ChildKill(w[size_t(n - 1)].data());
        return 0;
    }
    if (std::strcmp(c, "uname") == 0) return HostUname(w, n);
    if (std::strcmp(c, "sync") == 0) {
        sync();
        return 0;
    }
    if (std::strcmp(c, "cp") == 0 || std::strcmp(c, "rm") == 0 || std::strcmp(c, "mkdir") == 0 ||
        std::strcmp(c, "unzip") == 0) {
        n = DropQuietRedirects(w, n);
        for (int i = 1; i < n; i++) {
            if (!PlainWord(w[size_t(i)].data())) return 1 << 8;  // nothing but plain arguments
        }
        return RunUnderRoot(w, n);
    }
    return 0;  // touches the machine: logged only
}

// The stream of a command: an anonymous in-memory file (nothing is created on
// disk). A read of "uname" gives the board's kernel text; other reads are empty
// and writes are discarded.
FILE *HostPopen(const char *cmd, const char *mode) {
    if (cmd == nullptr || mode == nullptr) return nullptr;
    PlatHost_Log(cmd);
    const int fd = memfd_create("plc-popen", MFD_CLOEXEC);
    if (fd < 0) return nullptr;
    FILE *f = fdopen(fd, "w+");
    if (f == nullptr) {
        close(fd);
        return nullptr;
    }
    if (mode[0] == 'r' && std::strncmp(cmd, "uname", 5) == 0) {
        std::fprintf(f, "%s\n", KernelText());
        rewind(f);
    }
    return f;
}

int HostPclose(FILE *f) { return f ? std::fclose(f) : -1; }

// ---- reset ------------------------------------------------------------------------------
// Safe in a signal handler: system calls only.
[[noreturn]] void HostWarmNow() {
    PlatChildKillAllNow();
    // A reset taken from a signal handler must not leave that signal blocked
    // in the new image.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (PlatResetExit()) {
        PLAT_ReleaseRoot();
        _exit(3);
    }
    close_range(3, ~0u, 0);
    execv("/proc/self/exe", plat_argv);
    _exit(3);
}

[[noreturn]] void HostWarm() {
    std::fflush(stdout);
    std::fflush(stderr);
    HostWarmNow();
}

// ---- watchdog: in-process emulation ----------------------------------------------------
std::atomic<int> wdt_open{0};
std::atomic<int> wdt_timeout{5};
std::atomic<int64_t> wdt_deadline_ms{0};
std::atomic<int> wdt_magic{0};
std::atomic<int> wdt_armed{0};

int64_t NowMs() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void WdtWatcher() {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (wdt_armed.load() && NowMs() >= wdt_deadline_ms.load()) {
            std::printf("Watchdog expired\n");
            HostWarm();
        }
    }
}

int HostWdtOpen() {
    static std::once_flag started;
    std::call_once(started, [] { std::thread(WdtWatcher).detach(); });
    wdt_open = 1;
    wdt_magic = 0;
    wdt_deadline_ms = NowMs() + 1000 * wdt_timeout.load();
    wdt_armed = 1;
    return 0;
}

void HostWdtWrite(char c) {
    if (!wdt_open) return;
    wdt_magic = (c == 'V');
    wdt_deadline_ms = NowMs() + 1000 * wdt_timeout.load();
}

void HostWdtClose() {
    if (wdt_magic) wdt_armed = 0;  // the magic close stops it; a plain close does not
    wdt_open = 0;
}

int HostWdtTimeLeft() {
    if (!wdt_open) return -1;
    const int64_t left = wdt_deadline_ms.load() - NowMs();
    return int(left > 0 ? left : 0);
}

int HostWdtTimeout() { return wdt_open ? wdt_timeout.load() : -1; }

// ---- real-time clock: host clock plus an offset kept in sim/rtc ------------------------
int64_t RtcOffset() {
    char buf[32];
    if (!ReadSimFile("/sim/rtc", buf, sizeof buf)) return 0;
    return std::strtoll(buf, nullptr, 10);
}

// Calendar arithmetic in UTC without the C library's time-zone machinery
// (which would read /etc/localtime, a file outside the root).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + int64_t(doe) - 719468;
}

void CivilFromSeconds(int64_t secs, struct tm *t) {
    int64_t days = secs / 86400;
    int64_t rem = secs % 86400;
    if (rem < 0) {
        rem += 86400;
        days--;
    }
    *t = {};
    t->tm_hour = int(rem / 3600);
    t->tm_min = int(rem % 3600 / 60);
    t->tm_sec = int(rem % 60);
    t->tm_wday = int(((days % 7) + 11) % 7);  // 1 January 1970 was a Thursday
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = unsigned(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    const int64_t y = int64_t(yoe) + era * 400 + (m <= 2);
    t->tm_mday = int(d);
    t->tm_mon = int(m) - 1;
    t->tm_year = int(y - 1900);
    t->tm_yday = int(DaysFromCivil(y, m, d) - DaysFromCivil(y, 1, 1));
}

int HostRtcGet(struct tm *t) {
    CivilFromSeconds(int64_t(time(nullptr)) + RtcOffset(), t);
    return 0;
}

int HostRtcSet(const struct tm *t) {
    if (t->tm_mon < 0 || t->tm_mon > 11 || t->tm_mday < 1 || t->tm_mday > 31 || t->tm_hour < 0 || t->tm_hour > 23 ||
        t->tm_min < 0 || t->tm_min > 59 || t->tm_sec < 0 || t->tm_sec > 60)
        return -1;
    const int64_t want =
        DaysFromCivil(int64_t(t->tm_year) + 1900, unsigned(t->tm_mon + 1), unsigned(t->tm_mday)) * 86400 +
        t->tm_hour * 3600 + t->tm_min * 60 + t->tm_sec;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%lld\n", static_cast<long long>(want - int64_t(time(nullptr))));
    WriteSimFile("/sim/rtc", buf);
    return 0;
}

}  // namespace

void PlatHost_LogNow(const char *line) {
    char p[512];
    if (PLAT_Root()[0] == 0) return;
    if (!PLAT_Path("/sim/commands.log", p, sizeof p)) return;
    // Non-blocking: a log that is no plain file never holds the reset up.
    const int fd = open(p, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0) return;
    char buf[1024];
    std::size_t n = 0;
    PlatAppend(buf, sizeof buf, &n, line);
    PlatAppend(buf, sizeof buf, &n, "\n");
    const ssize_t r = write(fd, buf, n);
    (void)r;
    close(fd);
}

void PlatHost_Log(const char *line) {
    std::lock_guard<std::mutex> g(log_lock);
    char p[512];
    if (PLAT_Root()[0] == 0) return;
    if (!PLAT_Path("/sim/commands.log", p, sizeof p)) return;
    const int fd = open(p, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    char buf[1024];
    const int n = std::snprintf(buf, sizeof buf, "%s\n", line);
    if (n > 0) {
        const ssize_t r = write(fd, buf, size_t(n) < sizeof buf ? size_t(n) : sizeof buf - 1);
        (void)r;
    }
    close(fd);
}

const PlatTimeOps plat_time_host = {HostMono, HostFrtOffset, HostMsOffset};
const PlatSocOps plat_soc_host = {HostSocMap};
const PlatPanelOps plat_panel_host = {HostButtons, HostLeds, HostLedCodes};
const PlatShellOps plat_shell_host = {HostSystem, HostPopen, HostPclose};
const PlatResetOps plat_reset_host = {HostWarm, HostWarm, HostWarmNow};
const PlatWdtOps plat_wdt_host = {HostWdtOpen, HostWdtWrite, HostWdtClose, HostWdtTimeLeft, HostWdtTimeout};
const PlatRtcOps plat_rtc_host = {HostRtcGet, HostRtcSet};

// ---- system time and watchdog time-out ----------------------------------------------------
namespace {
bool system_time_said;
int HostSetSystemTime(int64_t seconds) {
    // The workstation's own clock is never set; a start asks several times,
    // and the console says so once.
    if (system_time_said) return 0;
    system_time_said = true;
    std::printf("System time not set on this host (%lld)\n", static_cast<long long>(seconds));
    std::fflush(stdout);
    return 0;
}

int HostWdtSetTimeout(int seconds) {
    if (!wdt_open || seconds <= 0) return -1;
    wdt_timeout = seconds;
    wdt_deadline_ms = NowMs() + 1000 * int64_t(seconds);
    return 0;
}
}  // namespace

const PlatSysTimeOps plat_systime_host = {HostSetSystemTime};
const PlatWdtTimeoutOps plat_wdt_timeout_host = {HostWdtSetTimeout};
