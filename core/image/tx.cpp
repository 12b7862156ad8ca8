// Kernel-style layer for code written against a real-time kernel: everything
// runs in the polled main loop, so nothing here blocks or starts a thread.
#include "core/image/tx.h"

#include <cstring>

#include "core/image/passwork.h"
#include "core/image/timebase.h"

std::array<TX_TIMER *, TX_TIMER_SLOTS> TimerPtr;

// Milliseconds of the 64-bit time base, cut to 32 bits: a full 32-bit clock,
// so that every `now - then` and due time taken in uint32 holds across its
// wrap (the 32-bit time base / 10 would jump from 429,496,729 to 0).
uint32_t _tx_time_get() { return uint32_t(FPGA_GetFrt64() / 10); }

namespace {
// Publishes when the earliest active timer falls due (its start plus its
// time left), so that the loop calls tx_timer_check only then.
void Publish() {
    bool armed = false;
    uint32_t due = 0;
    for (const TX_TIMER *t : TimerPtr) {
        if (t == nullptr || t->active == nullptr || t->remaining == 0) continue;
        const uint32_t at = t->start + 10 * t->remaining;
        if (!armed || int32_t(at - due) < 0) due = at;
        armed = true;
    }
    pass_work.tx_due = due;
    pass_work.tx_armed = armed ? 1 : 0;
}
}  // namespace

uint32_t _txe_timer_create(TX_TIMER *t, const char *name, TxExpiry fn, uint32_t arg, uint32_t initial_ms,
                           uint32_t reschedule_ms, uint32_t auto_activate) {
    if (t == nullptr) return TX_PTR_ERROR;
    // A record created again without a delete keeps its one slot.
    for (TX_TIMER *&slot : TimerPtr) {
        if (slot == t) slot = nullptr;
    }
    *t = TX_TIMER{};
    t->name = name;
    t->expiry = fn;
    t->arg = arg;
    t->remaining = initial_ms;
    t->reschedule = reschedule_ms;
    t->slot = -1;
    for (unsigned i = 0; i < TX_TIMER_SLOTS; i++) {
        if (TimerPtr[i] == nullptr) {
            TimerPtr[i] = t;
            t->slot = int32_t(i);
            break;
        }
    }
    Publish();  // the record may have been an active timer of its slot
    if (t->slot < 0) return TX_TIMER_ERROR;
    t->active = nullptr;
    if (auto_activate == 1) _txe_timer_activate(t);
    return TX_SUCCESS;
}

uint32_t _txe_timer_activate(TX_TIMER *t) {
    if (t == nullptr) return TX_PTR_ERROR;
    if (t->active != nullptr || t->remaining == 0) return TX_ACTIVATE_ERROR;
    t->active = t;
    t->start = FPGA_GetFrt();
    Publish();
    return TX_SUCCESS;
}

uint32_t _txe_timer_deactivate(TX_TIMER *t) {
    if (t == nullptr) return TX_PTR_ERROR;
    t->active = nullptr;
    Publish();
    return TX_SUCCESS;
}

uint32_t _txe_timer_delete(TX_TIMER *t) {
    if (t == nullptr) return TX_PTR_ERROR;
    if (t->slot >= 0 && t->slot < int32_t(TX_TIMER_SLOTS) && TimerPtr[size_t(t->slot)] == t)
        TimerPtr[size_t(t->slot)] = nullptr;
    t->slot = -1;
    t->active = nullptr;
    Publish();
    return TX_SUCCESS;
}

void tx_timer_check() {
    for (unsigned i = 0; i < TX_TIMER_SLOTS; i++) {
        TX_TIMER *t = TimerPtr[i];
        if (t == nullptr || t->active == nullptr || t->remaining == 0) continue;
        const uint32_t now = FPGA_GetFrt();
        const uint32_t elapsed = now - t->start;
        const uint32_t ms = elapsed / 10;
        if (ms >= t->remaining) {
            t->remaining = 0;
            if (t->expiry) t->expiry(t->arg);
            // The expiry function may have deleted the timer or re-armed it.
            if (TimerPtr[i] == t && t->reschedule != 0 && t->remaining == 0) {
                t->remaining = t->reschedule;
                t->start = now;
            }
        } else if (elapsed > 9) {
            t->remaining -= ms;
            t->start = now - elapsed % 10;
        }
    }
    Publish();
}

uint32_t _txe_queue_create(TX_QUEUE *q, const char *name, uint32_t msg_words, void *storage, uint32_t storage_bytes) {
    if (q == nullptr || storage == nullptr) return TX_PTR_ERROR;
    *q = TX_QUEUE{};  // a refused queue stays empty: sends and receives answer the pointer error
    q->name = name;
    if (msg_words == 0) return TX_SIZE_ERROR;
    const uint64_t capacity = uint64_t(storage_bytes) / (4 * uint64_t(msg_words));
    if (capacity == 0) return TX_SIZE_ERROR;
    q->msg_words = msg_words;
    q->capacity = uint32_t(capacity);
    q->available = q->capacity;
    q->start = static_cast<uint32_t *>(storage);
    q->end = q->start + capacity * msg_words;
    q->read = q->write = q->start;
    return TX_SUCCESS;
}

uint32_t _txe_queue_send(TX_QUEUE *q, const void *msg, uint32_t) {
    if (q == nullptr || q->start == nullptr || msg == nullptr) return TX_PTR_ERROR;
    if (q->available == 0) return TX_QUEUE_FULL;
    std::memcpy(q->write, msg, 4 * q->msg_words);
    q->write += q->msg_words;
    if (q->write >= q->end) q->write = q->start;
    q->enqueued++;
    q->available--;
    return TX_SUCCESS;
}

uint32_t _txe_queue_receive(TX_QUEUE *q, void *msg, uint32_t) {
    if (q == nullptr || q->start == nullptr || msg == nullptr) return TX_PTR_ERROR;
    if (q->enqueued == 0) return TX_QUEUE_EMPTY;
    std::memcpy(msg, q->read, 4 * q->msg_words);
    q->read += q->msg_words;
    if (q->read >= q->end) q->read = q->start;
    q->enqueued--;
    q->available++;
    return TX_SUCCESS;
}

uint32_t _txe_event_flags_create(TX_EVENT_FLAGS_GROUP *g, const char *name) {
    if (g == nullptr) return TX_PTR_ERROR;
    *g = TX_EVENT_FLAGS_GROUP{name, 0};
    return TX_SUCCESS;
}

uint32_t _txe_event_flags_set(TX_EVENT_FLAGS_GROUP *g, uint32_t flags, uint32_t) {
    if (g == nullptr) return TX_PTR_ERROR;
    g->current |= flags;
    return TX_SUCCESS;
}

uint32_t _txe_event_flags_get(TX_EVENT_FLAGS_GROUP *g, uint32_t requested, uint32_t option, uint32_t *actual,
                              uint32_t) {
    if (g == nullptr || actual == nullptr) return TX_PTR_ERROR;
    const bool ok = (option & 2) ? (g->current & requested) == requested : (g->current & requested) != 0;
    if (!ok) return TX_NO_EVENTS;
    *actual = g->current;
    if (option & 1) g->current &= ~requested;
    return TX_SUCCESS;
}

uint32_t _txe_event_flags_delete(TX_EVENT_FLAGS_GROUP *) { return TX_SUCCESS; }

uint32_t _txe_thread_create(TX_THREAD *t, const char *, void (*entry)(uint32_t), uint32_t arg, void *stack,
                            uint32_t stack_size, uint32_t priority, uint32_t threshold, uint32_t time_slice,
                            uint32_t auto_start) {
    if (t == nullptr) return TX_THREAD_ERROR;
    if (entry == nullptr || stack == nullptr) return TX_PTR_ERROR;
    if (threshold > priority) return TX_THRESH_ERROR;
    if (auto_start > 1) return TX_START_ERROR;
    *t = TX_THREAD{entry,    arg,       stack,     stack_size, static_cast<uint8_t *>(stack) + stack_size,
                   priority, threshold, time_slice};
    return TX_SUCCESS;
}

uint32_t _txe_thread_resume(TX_THREAD *) { return TX_SUCCESS; }
uint32_t _txe_thread_suspend(TX_THREAD *) { return TX_SUCCESS; }
uint32_t _txe_thread_terminate(TX_THREAD *) { return TX_SUCCESS; }
uint32_t _txe_thread_delete(TX_THREAD *) { return TX_SUCCESS; }
void _txe_thread_relinquish() {}
void _txe_thread_preemption_change() {}
void _tx_thread_sleep(uint32_t) {}
void _tx_initialize_kernel_enter() {}
