// Kernel-style timers, queues and event flags that never block.
#pragma once

#include <array>
#include <cstdint>

enum : uint32_t {
    TX_SUCCESS = 0,
    TX_PTR_ERROR = 3,
    TX_NO_EVENTS = 7,
    TX_QUEUE_EMPTY = 10,
    TX_QUEUE_FULL = 11,
    TX_THREAD_ERROR = 14,
    TX_START_ERROR = 16,
    TX_TIMER_ERROR = 21,
    TX_ACTIVATE_ERROR = 23,
    TX_THRESH_ERROR = 24,
    TX_SIZE_ERROR = 5
};
enum : uint32_t { TX_OR = 0, TX_OR_CLEAR = 1, TX_AND = 2, TX_AND_CLEAR = 3 };

using TxExpiry = void (*)(uint32_t arg);
struct TX_TIMER {
    int32_t slot;
    const char *name;
    uint32_t remaining;   // ms
    uint32_t reschedule;  // ms, 0 = one-shot
    TxExpiry expiry;
    uint32_t arg;
    const TX_TIMER *active;  // its own address while active
    uint32_t start;          // 100 us ticks
};
struct TX_QUEUE {
    const char *name;
    uint32_t msg_words;
    uint32_t capacity;
    uint32_t enqueued;
    uint32_t available;
    uint32_t *start;
    uint32_t *end;
    uint32_t *read;
    uint32_t *write;
};
struct TX_EVENT_FLAGS_GROUP {
    const char *name;
    uint32_t current;
};
struct TX_THREAD {
    void (*entry)(uint32_t);
    uint32_t arg;
    void *stack_start;
    uint32_t stack_size;
    void *stack_end;
    uint32_t priority;
    uint32_t threshold;
    uint32_t time_slice;
};

constexpr unsigned TX_TIMER_SLOTS = 10;
extern std::array<TX_TIMER *, TX_TIMER_SLOTS> TimerPtr;

uint32_t _tx_time_get();
uint32_t _txe_timer_create(TX_TIMER *t, const char *name, TxExpiry fn, uint32_t arg, uint32_t initial_ms,
                           uint32_t reschedule_ms, uint32_t auto_activate);
uint32_t _txe_timer_activate(TX_TIMER *t);
uint32_t _txe_timer_deactivate(TX_TIMER *t);
uint32_t _txe_timer_delete(TX_TIMER *t);
void tx_timer_check();

uint32_t _txe_queue_create(TX_QUEUE *q, const char *name, uint32_t msg_words, void *storage, uint32_t storage_bytes);
uint32_t _txe_queue_send(TX_QUEUE *q, const void *msg, uint32_t wait);
uint32_t _txe_queue_receive(TX_QUEUE *q, void *msg, uint32_t wait);

uint32_t _txe_event_flags_create(TX_EVENT_FLAGS_GROUP *g, const char *name);
uint32_t _txe_event_flags_set(TX_EVENT_FLAGS_GROUP *g, uint32_t flags, uint32_t option);
uint32_t _txe_event_flags_get(TX_EVENT_FLAGS_GROUP *g, uint32_t requested, uint32_t option, uint32_t *actual,
                              uint32_t wait);
uint32_t _txe_event_flags_delete(TX_EVENT_FLAGS_GROUP *g);

uint32_t _txe_thread_create(TX_THREAD *t, const char *name, void (*entry)(uint32_t), uint32_t arg, void *stack,
                            uint32_t stack_size, uint32_t priority, uint32_t threshold, uint32_t time_slice,
                            uint32_t auto_start);
uint32_t _txe_thread_resume(TX_THREAD *t);
uint32_t _txe_thread_suspend(TX_THREAD *t);
uint32_t _txe_thread_terminate(TX_THREAD *t);
uint32_t _txe_thread_delete(TX_THREAD *t);
void _txe_thread_relinquish();
void _txe_thread_preemption_change();
void _tx_thread_sleep(uint32_t ticks);
void _tx_initialize_kernel_enter();
