// The web server's worker threads: four slots (0 free, 1 starting, 2 running,
// 3 finished), started with SIGPIPE and SIGALRM blocked, reaped by the tick.
#pragma once

#include <atomic>
#include <cstdint>
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
