// Worker threads of the web server.
#include "tavIXsdk/tavixsdk/tavix_sys.h"

#include <csignal>
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
            if (w.state == 3) Reap(w);
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
