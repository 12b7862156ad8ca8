// The web server's worker threads: four slots (0 free, 1 starting, 2 running,
// 3 finished), started with SIGPIPE and SIGALRM blocked, reaped by the tick;
// its locks, and its system helpers (time, files, text copies).
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <pthread.h>

constexpr int TAVIX_WORKERS = 4;

struct tavix_worker {
    pthread_t thread;
    std::atomic<uint32_t> state;
    std::atomic<uint32_t> stop;
    void (*fn)(int slot, void *arg);
    void *arg;
};
struct tavix_workers_t {
    uint32_t count;
    tavix_worker slots[TAVIX_WORKERS];
};
extern tavix_workers_t tavix_workers;

// The slot started, or -1 when none is free.
int tavix_sys_thread_start(void (*fn)(int slot, void *arg), void *arg);
void tavix_sys_thread_request_stop(int slot);
// 1 once a stop was asked for the slot (the function polls it).
int tavix_sys_thread_stop_requested(int slot);
void tavix_sys_thread_tick();
void tavix_sys_thread_shutdown_threads();
void tavix_sys_sleep(uint32_t ms);

// Locks: a recursive mutex, and a read-write lock that lets readers in
// while a writer waits. A failed read-write lock operation is a program
// error (asserted). Each answers pthread's result.
int tavix_lock_mutex_initialize(pthread_mutex_t *m);
int tavix_lock_mutex_lock(pthread_mutex_t *m);
int tavix_lock_mutex_unlock(pthread_mutex_t *m);
int tavix_lock_mutex_destroy(pthread_mutex_t *m);
int tavix_lock_rw_init(pthread_rwlock_t *l);
void tavix_lock_rw_lock_read(pthread_rwlock_t *l);
void tavix_lock_rw_lock_write(pthread_rwlock_t *l);
void tavix_lock_rw_unlock_read(pthread_rwlock_t *l);
void tavix_lock_rw_unlock_write(pthread_rwlock_t *l);
int tavix_lock_rw_destroy(pthread_rwlock_t *l);

// Wall-clock seconds, with the microseconds (as nanoseconds) in *nanoseconds.
time_t tavix_sys_get_current_time(long *nanoseconds);
// Modification time of a file, 0 when it cannot be examined.
time_t tavix_sys_get_file_modified_time(const char *path);
// 1 for a regular file (a directory), else 0.
int tavix_sys_is_file(const char *path);
int tavix_sys_is_directory(const char *path);
// An allocated copy of a text (null for null or no memory).
char *tavix_strdup(const char *text);
