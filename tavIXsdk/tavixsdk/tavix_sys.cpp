// Worker threads of the web server.
#include "tavIXsdk/tavixsdk/tavix_sys.h"

#include <cstdio>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

tavix_workers_t tavix_workers;

namespace {

void *Body(void *p) {
    auto *w = static_cast<tavix_worker *>(p);
    w->state = 2;
    w->stop = 0;
    w->fn(int(w - tavix_workers.slots), w->arg);
    w->state = 3;
    return nullptr;
}

void Reap(tavix_worker &w) {
    pthread_join(w.thread, nullptr);
    w.state = 0;
    if (tavix_workers.count > 0) tavix_workers.count--;
}

}  // namespace

int tavix_sys_thread_start(void (*fn)(int, void *), void *arg) {
    int slot = -1;
    for (int i = 0; i < TAVIX_WORKERS && slot < 0; i++)
        if (tavix_workers.slots[i].state == 0) slot = i;
    for (int i = 0; i < TAVIX_WORKERS && slot < 0; i++) {
        if (tavix_workers.slots[i].state == 3) {
            Reap(tavix_workers.slots[i]);
            slot = i;
        }
    }
    if (slot < 0) return -1;
    tavix_worker &w = tavix_workers.slots[slot];
    w.fn = fn;
    w.arg = arg;
    w.state = 1;
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGPIPE);
    sigaddset(&block, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    const int rc = pthread_create(&w.thread, nullptr, Body, &w);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (rc != 0) {
        w.state = 0;
        return -1;
    }
    tavix_workers.count++;
    return slot;
}

void tavix_sys_thread_request_stop(int slot) {
    if (slot >= 0 && slot < TAVIX_WORKERS && tavix_workers.slots[slot].state == 2) tavix_workers.slots[slot].stop = 1;
}

int tavix_sys_thread_stop_requested(int slot) {
    return slot >= 0 && slot < TAVIX_WORKERS && tavix_workers.slots[slot].stop ? 1 : 0;
}

void tavix_sys_thread_tick() {
    for (tavix_worker &w : tavix_workers.slots)
        if (w.state == 3) Reap(w);
}

void tavix_sys_thread_shutdown_threads() {
    for (;;) {
        bool busy = false;
        for (int i = 0; i < TAVIX_WORKERS; i++) {
            tavix_worker &w = tavix_workers.slots[i];
            if (w.state == 3)
                Reap(w);
            else if (w.state != 0) {
                w.stop = 1;
                busy = true;
            }
        }
        if (!busy) return;
        usleep(200000);
    }
}

void tavix_sys_sleep(uint32_t ms) { usleep(useconds_t(ms) * 1000); }

int tavix_lock_mutex_initialize(pthread_mutex_t *m) {
    pthread_mutexattr_t a;
    pthread_mutexattr_init(&a);
    pthread_mutexattr_settype(&a, PTHREAD_MUTEX_RECURSIVE);
    const int ret = pthread_mutex_init(m, &a);
    pthread_mutexattr_destroy(&a);
    return ret;
}

int tavix_lock_mutex_lock(pthread_mutex_t *m) { return pthread_mutex_lock(m); }
int tavix_lock_mutex_unlock(pthread_mutex_t *m) { return pthread_mutex_unlock(m); }
int tavix_lock_mutex_destroy(pthread_mutex_t *m) { return pthread_mutex_destroy(m); }

int tavix_lock_rw_init(pthread_rwlock_t *l) {
    pthread_rwlockattr_t a;
    pthread_rwlockattr_init(&a);
    pthread_rwlockattr_setkind_np(&a, PTHREAD_RWLOCK_PREFER_READER_NP);
    const int ret = pthread_rwlock_init(l, &a);
    pthread_rwlockattr_destroy(&a);
    return ret;
}

namespace {

// A read-write lock call that fails leaves the tables it guards in doubt: a
// fatal program error in every build (an assert would vanish where NDEBUG
// is defined, as in the shipped builds).
void RwChecked(int ret, const char *what) {
    if (ret == 0) return;
    std::fprintf(stderr, "Fatal: read-write lock %s failed: %d\n", what, ret);
    std::abort();
}

}  // namespace

void tavix_lock_rw_lock_read(pthread_rwlock_t *l) { RwChecked(pthread_rwlock_rdlock(l), "read lock"); }
void tavix_lock_rw_lock_write(pthread_rwlock_t *l) { RwChecked(pthread_rwlock_wrlock(l), "write lock"); }
void tavix_lock_rw_unlock_read(pthread_rwlock_t *l) { RwChecked(pthread_rwlock_unlock(l), "read unlock"); }
void tavix_lock_rw_unlock_write(pthread_rwlock_t *l) { RwChecked(pthread_rwlock_unlock(l), "write unlock"); }
int tavix_lock_rw_destroy(pthread_rwlock_t *l) { return pthread_rwlock_destroy(l); }

time_t tavix_sys_get_current_time(long *nanoseconds) {
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    // Whole microseconds, as the server's time stamps carry them.
    if (nanoseconds != nullptr) *nanoseconds = ts.tv_nsec / 1000 * 1000;
    return ts.tv_sec;
}

time_t tavix_sys_get_file_modified_time(const char *path) {
    struct stat st {};
    return path != nullptr && stat(path, &st) == 0 ? st.st_mtime : 0;
}

int tavix_sys_is_file(const char *path) {
    struct stat st {};
    return path != nullptr && stat(path, &st) == 0 && S_ISREG(st.st_mode) ? 1 : 0;
}

int tavix_sys_is_directory(const char *path) {
    struct stat st {};
    return path != nullptr && stat(path, &st) == 0 && S_ISDIR(st.st_mode) ? 1 : 0;
}

char *tavix_strdup(const char *text) {
    if (text == nullptr) return nullptr;
    const std::size_t n = std::strlen(text) + 1;
    char *copy = static_cast<char *>(std::malloc(n));
    if (copy != nullptr) std::memcpy(copy, text, n);
    return copy;
}
