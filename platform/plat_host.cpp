// Host implementations of the hardware seams: files under the root folder
// stand in for the board's devices.
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>
#include <chrono>
#include <string_view>
#include <sys/wait.h>

#include "platform/plat.h"
#include "platform/plat_internal.h"

namespace {

// ---- time ---------------------------------------------------------------------------
void HostMono(struct timespec *ts) { clock_gettime(CLOCK_MONOTONIC, ts); }

uint32_t HostFrtOffset() {
    static const uint32_t off = [] {
        const char *s = std::getenv("PLC_FRT_OFFSET");
        return s ? uint32_t(std::strtoul(s, nullptr, 0)) : 0u;
    }();
    return off;
}

// ---- SoC window: plain zeroed memory ---------------------------------------------
volatile uint32_t *HostSocMap(uint32_t, std::size_t len) {
    static std::mutex lock;
    static std::vector<std::vector<uint32_t>> regions;
    std::lock_guard<std::mutex> g(lock);
    regions.emplace_back((len + 3) / 4, 0u);
    return regions.back().data();
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

void WriteSimFile(const char *abs, const char *text) {
    char p[512], tmp[520];
    if (!PLAT_Path(abs, p, sizeof p)) return;
    std::snprintf(tmp, sizeof tmp, "%s.tmp", p);
    const int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
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

unsigned led_ok = 99, led_run = 99, code_ok = 99, code_run = 99;

void HostLedsWrite() {
    char text[96];
    std::snprintf(text, sizeof text, "OK %u %u\nRUN %u %u\n", led_ok, code_ok, led_run, code_run);
    WriteSimFile("/sim/leds", text);
}

void HostLeds(unsigned ok, unsigned run) {
    if (ok == led_ok && run == led_run) return;
    led_ok = ok;
    led_run = run;
    HostLedsWrite();
}

void HostLedCodes(unsigned ok, unsigned run) {
    if (ok == code_ok && run == code_run) return;
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

// Splits a command line into words (no quoting beyond plain blanks).
int Words(const char *cmd, std::array<std::array<char, 512>, 8> &w) {
    int n = 0;
    const char *p = cmd;
    while (*p && n < 8) {
        while (*p == ' ' || *p == '\t') p++;
        if (!*p) break;
        size_t k = 0;
        while (*p && *p != ' ' && *p != '\t') {
            if (k + 1 < w[0].size()) w[size_t(n)][k++] = *p;
            p++;
        }
        w[size_t(n)][k] = 0;
        n++;
    }
    return n;
}

bool RunUnderRoot(const std::array<std::array<char, 512>, 8> &w, int n) {
    // Every absolute path argument is placed under the root; the command runs
    // without a shell so no other word can reach outside it.
    std::array<std::array<char, 512>, 8> args{};
    std::array<char *, 9> argv{};
    for (int i = 0; i < n; i++) {
        if (w[size_t(i)][0] == '/') {
            if (!PLAT_Path(w[size_t(i)].data(), args[size_t(i)].data(), args[0].size())) return false;
        } else {
            std::memcpy(args[size_t(i)].data(), w[size_t(i)].data(), w[0].size());
        }
        argv[size_t(i)] = args[size_t(i)].data();
    }
    argv[size_t(n)] = nullptr;
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        const int devnull = open("/dev/null", O_RDWR);
        if (devnull >= 0) {
            dup2(devnull, 0);
            dup2(devnull, 1);
        }
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int HostSystem(const char *cmd) {
    PlatHost_Log(cmd);
    std::array<std::array<char, 512>, 8> w{};
    const int n = Words(cmd, w);
    if (n == 0) return 0;
    const char *c = w[0].data();
    if (std::strcmp(c, "killall") == 0) {
        PLAT_ChildKill(w[size_t(n - 1)].data());
        return 0;
    }
    if (std::strcmp(c, "uname") == 0) {
        // "uname -a > FILE": the kernel text of the board into the file.
        for (int i = 1; i + 1 < n; i++) {
            if (std::strcmp(w[size_t(i)].data(), ">") == 0) {
                std::string_view text = KernelText();
                char line[256];
                std::snprintf(line, sizeof line, "%.*s\n", int(text.size()), text.data());
                WriteSimFile(w[size_t(i + 1)].data(), line);
            }
        }
        return 0;
    }
    if (std::strcmp(c, "sync") == 0) {
        sync();
        return 0;
    }
    if (std::strcmp(c, "cp") == 0 || std::strcmp(c, "rm") == 0 || std::strcmp(c, "mkdir") == 0 ||
        std::strcmp(c, "unzip") == 0) {
        for (int i = 1; i < n; i++) {
            if (std::strchr(w[size_t(i)].data(), '>') || std::strchr(w[size_t(i)].data(), '|') ||
                std::strchr(w[size_t(i)].data(), ';') || std::strchr(w[size_t(i)].data(), '&'))
                return 1;  // nothing but plain arguments is carried out
        }
        return RunUnderRoot(w, n) ? 0 : 1;
    }
    return 0;  // touches the machine: logged only
}

FILE *HostPopen(const char *cmd, const char *mode) {
    PlatHost_Log(cmd);
    FILE *f = tmpfile();
    if (f == nullptr) return nullptr;
    if (mode[0] == 'r' && std::strncmp(cmd, "uname", 5) == 0) {
        std::fprintf(f, "%s\n", KernelText());
        rewind(f);
    }
    return f;
}

int HostPclose(FILE *f) { return f ? std::fclose(f) : -1; }

// ---- reset ------------------------------------------------------------------------------
[[noreturn]] void HostWarm() {
    std::fflush(stdout);
    std::fflush(stderr);
    PLAT_ChildKillAll();
    const char *how = std::getenv("PLC_RESET");
    if (how != nullptr && std::strcmp(how, "exit") == 0) _exit(3);
    close_range(3, ~0u, 0);
    execv("/proc/self/exe", plat_argv);
    _exit(3);
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

int HostRtcGet(struct tm *t) {
    const time_t now = time(nullptr) + time_t(RtcOffset());
    return gmtime_r(&now, t) ? 0 : -1;
}

int HostRtcSet(const struct tm *t) {
    struct tm c = *t;
    const time_t want = timegm(&c);
    if (want == time_t(-1)) return -1;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%lld\n", static_cast<long long>(want - time(nullptr)));
    WriteSimFile("/sim/rtc", buf);
    return 0;
}

}  // namespace

void PlatHost_Log(const char *line) {
    std::lock_guard<std::mutex> g(log_lock);
    char p[512];
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

const PlatTimeOps plat_time_host = {HostMono, HostFrtOffset};
const PlatSocOps plat_soc_host = {HostSocMap};
const PlatPanelOps plat_panel_host = {HostButtons, HostLeds, HostLedCodes};
const PlatShellOps plat_shell_host = {HostSystem, HostPopen, HostPclose};
const PlatResetOps plat_reset_host = {HostWarm, HostWarm};
const PlatWdtOps plat_wdt_host = {HostWdtOpen, HostWdtWrite, HostWdtClose, HostWdtTimeLeft, HostWdtTimeout};
const PlatRtcOps plat_rtc_host = {HostRtcGet, HostRtcSet};
