// Runtime log: trace, warning and error lines queued by the runtime (at most
// 16 waiting, a further line is dropped) and written every half second by a
// writer thread to "z7.log" in the runtime folder (renamed "z7.old.log" once
// it passed 65,455 bytes) and to the system log as "Z7LOG". The caller only
// formats its line and copies it into the queue under the mutex; the thread
// takes the queue out under the mutex and writes outside it, so a slow file
// never holds up the scan.
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <sys/stat.h>
#include <syslog.h>

#include "iec/services/drevano.h"
#include "iec/services/z7svc.h"
#include "platform/plat.h"
#include "platform/plat_assert.h"

uint32_t Z7LOG_PeriodMs = 500;

namespace {
constexpr uint32_t kLines = 16, kWidth = 80;
constexpr long kRotateAbove = 65455;

struct Line {
    uint8_t kind;
    char text[kWidth + 1];
};

struct LogState {
    bool open;
    uint32_t options;
    std::array<Line, kLines> queue;
    uint32_t count;
    FILE *file;
    long size;  // bytes in the log file
    pthread_mutex_t mutex;
    pthread_cond_t wake;
    pthread_t thread;
    bool thread_made;
    uint8_t run;  // 1 running, 2 stop asked, 0 stopped
};
LogState lg{};

bool LogPath(const char *name, char *out, size_t n) {
    char rel[256];
    return Z7_GetFullPath(name, rel) != nullptr && PLAT_Path(rel, out, n) != nullptr;
}

void OpenFile() {
    char path[600];
    lg.file = LogPath("z7.log", path, sizeof path) ? std::fopen(path, "ab") : nullptr;
    struct stat st {};
    lg.size = lg.file && fstat(fileno(lg.file), &st) == 0 ? long(st.st_size) : 0;
}

// The log file past its limit becomes "z7.old.log" and a new one starts.
void Rotate() {
    char cur[600], old[600];
    std::fclose(lg.file);
    lg.file = nullptr;
    if (LogPath("z7.log", cur, sizeof cur) && LogPath("z7.old.log", old, sizeof old)) {
        std::remove(old);
        std::rename(cur, old);
    }
    OpenFile();
}

void WriteLines(const Line *lines, uint32_t n) {
    for (uint32_t i = 0; i < n; i++) {
        if (lg.file) {
            if (lg.size > kRotateAbove) Rotate();
            if (lg.file && std::fprintf(lg.file, "%s\n", lines[i].text) > 0)
                lg.size += long(std::strlen(lines[i].text) + 1);
            if (lg.file) std::fflush(lg.file);
        }
        if (lg.options & 0x2) syslog(LOG_INFO, "%s", lines[i].text);
    }
}

// Takes the waiting lines out under the mutex (held on entry and on return)
// and writes them without it.
void Drain() {
    std::array<Line, kLines> out;
    const uint32_t n = ALWAYS(lg.count <= kLines) ? lg.count : kLines;  // a full queue drops the line
    std::copy(lg.queue.begin(), lg.queue.begin() + n, out.begin());
    lg.count = 0;
    pthread_mutex_unlock(&lg.mutex);
    WriteLines(out.data(), n);
    pthread_mutex_lock(&lg.mutex);
}

timespec Deadline(uint32_t ms) {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    t.tv_sec += time_t(ms / 1000);
    t.tv_nsec += long(ms % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec++;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}
}  // namespace

void *Z7LOG_Thread(void *) {
    pthread_mutex_lock(&lg.mutex);
    for (;;) {
        const timespec until = Deadline(Z7LOG_PeriodMs);
        while (lg.run == 1 && pthread_cond_timedwait(&lg.wake, &lg.mutex, &until) != ETIMEDOUT) {
        }
        const bool stop = lg.run != 1;  // asked after the last line was queued
        Drain();                        // a stop still writes what waits
        if (stop) break;
    }
    lg.run = 0;
    pthread_mutex_unlock(&lg.mutex);
    return nullptr;
}

void Z7LOG_Open(uint32_t options) {
    if (lg.open) return;
    lg = LogState{};
    lg.options = options;
    if (options & 0x1) OpenFile();
    if (options & 0x2) openlog("Z7LOG", LOG_PID | LOG_CONS, LOG_LOCAL7);
    pthread_mutex_init(&lg.mutex, nullptr);
    pthread_condattr_t a;
    pthread_condattr_init(&a);
    pthread_condattr_setclock(&a, CLOCK_MONOTONIC);
    pthread_cond_init(&lg.wake, &a);
    pthread_condattr_destroy(&a);
    lg.run = 1;
    lg.thread_made = pthread_create(&lg.thread, nullptr, Z7LOG_Thread, nullptr) == 0;
    if (!lg.thread_made) lg.run = 0;
    lg.open = true;
}

void _Z7LOG_Log(uint32_t kind, const char *text) {
    if (!lg.open || text == nullptr) return;
    static constexpr const char *kWords[4] = {"", "Z7ERROR", "Z7WARNING", "Z7TRACE"};
    uint32_t date = 0, ms = 0;
    Z7RtClk_GetCurDateTimeStamp(1, &date, &ms, nullptr);
    const uint32_t s = ms / 1000;
    Line l{};
    l.kind = uint8_t(kind);
    int n = std::snprintf(l.text, sizeof l.text, "%04u/%02u/%02u %02u:%02u:%02u,%03u : [%s] ", date >> 16,
                          (date >> 8) & 0xFF, date & 0xFF, s / 3600, s / 60 % 60, s % 60, ms % 1000,
                          kWords[kind < 4 ? kind : 3]);
    if (n < 0) return;
    if (uint32_t(n) < kWidth) std::snprintf(l.text + n, sizeof l.text - size_t(n), "%s", text);
    pthread_mutex_lock(&lg.mutex);
    if (lg.count < kLines) lg.queue[lg.count++] = l;
    pthread_mutex_unlock(&lg.mutex);
}

void Z7LOG_Trace(const char *text) {
    if (lg.options & 0x200) _Z7LOG_Log(3, text);
}
void Z7LOG_Warn(const char *text) {
    if (lg.options & 0x200) _Z7LOG_Log(2, text);
}
void Z7LOG_Err(const char *text) {
    if (lg.options & 0x400) _Z7LOG_Log(1, text);
}

void Z7LOG_Close() {
    if (!lg.open) return;
    pthread_mutex_lock(&lg.mutex);
    if (lg.run == 1) lg.run = 2;
    pthread_cond_signal(&lg.wake);
    pthread_mutex_unlock(&lg.mutex);
    if (lg.thread_made) pthread_join(lg.thread, nullptr);
    pthread_cond_destroy(&lg.wake);
    pthread_mutex_destroy(&lg.mutex);
    if (lg.options & 0x2) closelog();
    if (lg.file) std::fclose(lg.file);
    lg = LogState{};
}
