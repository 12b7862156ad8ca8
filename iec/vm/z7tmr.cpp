// Running TIME variables: the timer list (section 11) of {address, stamp}
// entries advanced once per cycle, modulo one day.
#include <algorithm>

#include "iec/vm/z7interp.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7vm.h"

namespace {
constexpr uint64_t kDay = 86400000;

// A timer address must name 4 bytes of the TIME section or the CT segment.
bool TimeAddress(uint32_t db, uint32_t a) {
    const uint32_t t = Z7Sec_Addr(db, Z7SEC_TIME), tn = Z7Sec_Bytes(db, Z7SEC_TIME);
    const uint32_t c = Z7Sec_Addr(db, Z7SEC_CT), cn = Z7Sec_Bytes(db, Z7SEC_CT);
    return (a >= t && uint64_t(a) + 4 <= uint64_t(t) + tn && (a - t) % 4 == 0) ||
           (cn >= 4 && a >= c && uint64_t(a) + 4 <= uint64_t(c) + cn);
}
uint16_t Count(uint32_t db) { return Z7Mem_Get16(Z7VM_Status(db) + ST_TIMERS); }
void SetCount(uint32_t db, uint16_t n) { Z7Mem_Put16(Z7VM_Status(db) + ST_TIMERS, n); }
uint32_t Capacity(uint32_t db) {
    const uint32_t n = Z7Sec_Get(db, Z7SEC_TIMERS, SD_ALLOC);
    return n ? n - 1 : 0;
}
}  // namespace

// The stamps are readings of the runtime's millisecond clock: their
// difference is taken as the cycle's (Z7VM_Elapsed, modulo 2^32 or modulo a
// day for stamps of the day), never as a 64-bit difference of two wrapped
// readings; the running value stays within a day.
uint32_t Z7VMTmr_Advance(uint32_t value, uint32_t stamp, uint32_t now) {
    return uint32_t((uint64_t(value) + Z7VM_Elapsed(stamp, now)) % kDay);
}

uint32_t Z7VMTmr_StartTimer(uint32_t db, uint32_t address) {
    if (Z7VM_Status(db) == 0 || !TimeAddress(db, address)) return 0;
    const uint32_t list = Z7Sec_Addr(db, Z7SEC_TIMERS);
    const uint32_t n = std::min<uint32_t>(Count(db), Capacity(db));
    for (uint32_t i = 0; i < n; i++)
        if (Z7Mem_Get32(list + 8 * i) == address) return 1;
    if (n >= Capacity(db)) return 0;
    Z7Mem_Put32(list + 8 * n, address);
    Z7Mem_Put32(list + 8 * n + 4, Z7Mem_Get32(Z7VM_Status(db) + ST_STAMP));
    SetCount(db, uint16_t(n + 1));
    return 1;
}

void Z7VMTmr_StopTimer(uint32_t db, uint32_t address) {
    if (Z7VM_Status(db) == 0) return;
    const uint32_t list = Z7Sec_Addr(db, Z7SEC_TIMERS);
    const uint32_t n = std::min<uint32_t>(Count(db), Capacity(db));
    for (uint32_t i = 0; i < n; i++) {
        if (Z7Mem_Get32(list + 8 * i) != address) continue;
        for (uint32_t k = i + 1; k < n; k++) {
            Z7Mem_Put32(list + 8 * (k - 1), Z7Mem_Get32(list + 8 * k));
            Z7Mem_Put32(list + 8 * (k - 1) + 4, Z7Mem_Get32(list + 8 * k + 4));
        }
        Z7Mem_Put32(list + 8 * (n - 1), 0);
        Z7Mem_Put32(list + 8 * (n - 1) + 4, 0);
        SetCount(db, uint16_t(n - 1));
        return;
    }
}

void Z7VMTmr_UpdateTimers(uint32_t db) {
    const uint32_t st = Z7VM_Status(db);
    if (st == 0) return;
    const uint32_t now = Z7Mem_Get32(st + ST_STAMP), list = Z7Sec_Addr(db, Z7SEC_TIMERS);
    const uint32_t n = std::min<uint32_t>(Count(db), Capacity(db));
    for (uint32_t i = 0; i < n; i++) {
        const uint32_t a = Z7Mem_Get32(list + 8 * i), stamp = Z7Mem_Get32(list + 8 * i + 4);
        if (stamp == now || !TimeAddress(db, a)) continue;
        Z7Mem_Put32(a, Z7VMTmr_Advance(Z7Mem_Get32(a), stamp, now));
        Z7Mem_Put32(list + 8 * i + 4, now);
    }
}

void Z7VMTmr_HotRestartTimers(uint32_t db) {
    const uint32_t st = Z7VM_Status(db);
    if (st == 0) return;
    SetCount(db, 0);
    const uint32_t now = Z7Mem_Get32(st + ST_STAMP);
    const uint32_t n = Z7Sec_Get(db, Z7SEC_STEP, SD_ALLOC);
    for (uint32_t k = 1; k < n; k++) {
        const uint32_t e = Z7Sec_Elem(db, Z7SEC_STEP, k);
        if (Z7Mem_Get16(e + 8) == 1) Z7Mem_Put32(e + 4, now);
    }
}
