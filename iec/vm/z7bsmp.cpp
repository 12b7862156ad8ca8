// Boolean sampling trace: up to 8 BOOL variables recorded once per cycle or
// at a fixed period into a ring of 900 sample bytes, with optional start and
// stop triggers and pre- and post-trigger delays. The record is section 27
// of the database; the workbench reads its settings and data as objects.
#include "iec/vm/z7bsmp.h"

#include "core/image/bytes.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7stdlib.h"
#include "iec/vm/z7vm.h"

namespace {
// Record fields (byte offsets).
enum : uint32_t {
    BS_PERIOD = 0,
    BS_STAMP = 4,
    BS_DELAY = 8,
    BS_COUNTHI = 12,
    BS_COUNTLO = 16,
    BS_DATE = 20,
    BS_TIME = 24,
    BS_STARTDLY = 28,
    BS_STOPDLY = 30,
    BS_VARS = 32,
    BS_FLAGS = 48,
    BS_STARTIX = 50,
    BS_STOPIX = 52,
    BS_POS = 54,
    BS_LASTSTART = 56,
    BS_LASTSTOP = 57,
    BS_SAMPLES = 58,
    BS_SIZE = 960,
};
constexpr uint32_t kSamples = 900;
constexpr uint32_t kVars = 8;

uint32_t Record(uint32_t db) {
    const uint32_t r = Z7Sec_Addr(db, Z7SEC_BSMP);
    return r != 0 && Z7Sec_Bytes(db, Z7SEC_BSMP) >= BS_SIZE && Z7Mem_Ptr(r, BS_SIZE) ? r : 0;
}
uint8_t Bool(uint32_t db, uint16_t index) {
    const uint32_t a = Z7Sec_Elem(db, Z7SEC_D8, index);
    return a != 0 && Z7Mem_Get8(a) != 0 ? 1 : 0;
}
bool InD8(uint32_t db, uint16_t index) { return Z7Sec_Elem(db, Z7SEC_D8, index) != 0; }
uint32_t Now(uint32_t db) { return Z7Mem_Get32(Z7VM_Status(db) + ST_STAMP); }
void TakeStamps(uint32_t r) {
    uint32_t date = 0, time = 0;
    Z7Std_Clock(0, &date, &time);
    Z7Mem_Put32(r + BS_DATE, date);
    Z7Mem_Put32(r + BS_TIME, time);
}
bool Edge(uint8_t last, uint8_t now, bool falling) { return falling ? (last && !now) : (!last && now); }
void SetFlags(uint32_t r, uint16_t on, uint16_t off) {
    Z7Mem_Put16(r + BS_FLAGS, uint16_t((Z7Mem_Get16(r + BS_FLAGS) | on) & ~off));
}
void EndRecording(uint32_t r) {
    SetFlags(r, 0, BSMP_RECORDING);
    TakeStamps(r);
}
}  // namespace

uint32_t Z7VMBsmp_Set(uint32_t db, uint32_t, const uint8_t *settings, uint32_t words) {
    const uint32_t r = Record(db);
    if (r == 0) return 0;
    std::memset(Z7Mem_Ptr(r, BS_SIZE), 0, BS_SIZE);
    if (settings == nullptr || words < 8) return 0;
    auto word = [&](uint32_t k) { return LE_Get16(settings + 2 * k); };
    uint32_t n = word(7);
    if (n > kVars) n = kVars;  // the list holds 8; more are not recorded
    if (n > words - 8) n = words - 8;
    // every index names a variable of the 8-bit segment (0 = none)
    const uint16_t start = word(3), stop = word(4);
    if ((start && !InD8(db, start)) || (stop && !InD8(db, stop))) return 0;
    for (uint32_t k = 0; k < n; k++)
        if (word(8 + k) && !InD8(db, word(8 + k))) return 0;
    uint16_t flags = uint16_t(word(0) & ~(BSMP_RECORDING | BSMP_FILLED | BSMP_STARTED));
    const uint32_t period = uint32_t(word(1)) << 16 | word(2);
    Z7Mem_Put32(r + BS_PERIOD, period);
    Z7Mem_Put16(r + BS_STARTIX, start);
    Z7Mem_Put16(r + BS_STOPIX, stop);
    Z7Mem_Put16(r + BS_STARTDLY, word(5));
    Z7Mem_Put16(r + BS_STOPDLY, word(6));
    for (uint32_t k = 0; k < n; k++) Z7Mem_Put16(r + BS_VARS + 2 * k, word(8 + k));
    Z7Mem_Put8(r + BS_LASTSTART, start ? Bool(db, start) : 0);
    Z7Mem_Put8(r + BS_LASTSTOP, stop ? Bool(db, stop) : 0);
    if ((flags & (BSMP_ENABLED | BSMP_ATONCE)) == (BSMP_ENABLED | BSMP_ATONCE)) flags |= BSMP_RECORDING | BSMP_STARTED;
    Z7Mem_Put16(r + BS_FLAGS, flags);
    if (period != 0) Z7Mem_Put32(r + BS_STAMP, Now(db));
    return 0;
}

uint32_t Z7VMBsmp_ResetContent(uint32_t db) { return Z7VMBsmp_Set(db, 0, nullptr, 0); }

uint32_t Z7VMBsmp_Ctl(uint32_t db, uint32_t, uint32_t on) {
    const uint32_t r = Record(db);
    if (r == 0) return 0;
    const uint16_t flags = Z7Mem_Get16(r + BS_FLAGS);
    if (!(flags & BSMP_ENABLED)) return 0;
    if (on == 0) {
        if (flags & BSMP_RECORDING) EndRecording(r);
    } else if (on == 1 && !(flags & BSMP_STARTED)) {
        SetFlags(r, BSMP_RECORDING | BSMP_STARTED, 0);
        Z7Mem_Put32(r + BS_STAMP, Now(db));
    }
    return 0;
}

namespace {
// The record in host memory and the 8-bit segment, for one cycle.
struct Cycle {
    uint8_t *p;
    const uint8_t *d8;
    uint32_t d8n, r;
    uint8_t Bool(uint16_t ix) const { return ix < d8n && d8[ix] != 0 ? 1 : 0; }
    uint16_t G16(uint32_t f) const { return LE_Get16(p + f); }
    uint32_t G32(uint32_t f) const { return LE_Get32(p + f); }
    void P16(uint32_t f, uint16_t v) const { LE_Put16(p + f, v); }
    void P32(uint32_t f, uint32_t v) const { LE_Put32(p + f, v); }
    void Stamps() const { TakeStamps(r); }
};
}  // namespace

void Z7VMBsmp_Activate(uint32_t db) {
    const uint32_t r = Record(db);
    uint8_t *p = r ? Z7Mem_Ptr(r, BS_SIZE) : nullptr;
    if (p == nullptr || !(LE_Get16(p + BS_FLAGS) & BSMP_ENABLED)) return;
    const uint32_t d8n = Z7Sec_Get(db, Z7SEC_D8, SD_ALLOC), seg = Z7Sec_Addr(db, Z7SEC_D8);
    const uint8_t *d8 = d8n && Z7Sec_Get(db, Z7SEC_D8, SD_ELEM) == 1 ? Z7Mem_Ptr(seg, d8n) : nullptr;
    const Cycle c{p, d8, d8 ? d8n : 0, r};
    const uint32_t now = Now(db), period = c.G32(BS_PERIOD);
    uint16_t flags = c.G16(BS_FLAGS);
    uint32_t delay = c.G32(BS_DELAY);

    // start trigger
    if (const uint16_t ix = c.G16(BS_STARTIX)) {
        const uint8_t v = c.Bool(ix);
        if (!(flags & (BSMP_STARTED | BSMP_RECORDING)) && Edge(p[BS_LASTSTART], v, flags & BSMP_STARTFALL)) {
            const uint32_t n = c.G16(BS_STARTDLY);
            c.P32(BS_STAMP, now);
            if (n != 0) {
                delay = period ? n * period : n + 1;
            } else {
                flags |= BSMP_RECORDING;
                c.Stamps();
            }
            flags |= BSMP_STARTED;
        }
        p[BS_LASTSTART] = v;
    }
    // pre-trigger delay
    if (!(flags & BSMP_RECORDING)) {
        if (delay != 0) {
            uint32_t step = 1;
            if (period) {
                step = Z7VM_Elapsed(c.G32(BS_STAMP), now);
                c.P32(BS_STAMP, now);
            }
            delay = delay > step ? delay - step : 0;
            if (delay == 0) {
                flags |= BSMP_RECORDING;
                c.P32(BS_STAMP, now);
                c.Stamps();
            }
        }
        c.P32(BS_DELAY, delay);
        c.P16(BS_FLAGS, flags);
        // A recording that began here goes on to the sampling and stop
        // steps: in period mode no sample is due yet (the first period
        // starts now), but a stop edge of this cycle still counts.
        if (!(flags & BSMP_RECORDING)) return;
    }
    // sampling
    bool sampled = false;
    uint32_t since = 1;
    if (period == 0) {
        sampled = true;
        c.P32(BS_STAMP, c.G32(BS_STAMP) + 1);  // cycle counter
    } else {
        since = Z7VM_Elapsed(c.G32(BS_STAMP), now);
        if (since >= period) {
            sampled = true;
            c.P32(BS_STAMP, now);
        }
    }
    if (sampled) {
        const uint32_t lo = c.G32(BS_COUNTLO) + 1;
        c.P32(BS_COUNTLO, lo);
        if (lo == 0) c.P32(BS_COUNTHI, c.G32(BS_COUNTHI) + 1);
        uint8_t byte = 0;
        for (uint32_t k = 0; k < kVars; k++) {
            const uint16_t ix = c.G16(BS_VARS + 2 * k);
            if (ix == 0) break;
            byte = uint8_t(byte | c.Bool(ix) << k);
        }
        uint32_t pos = c.G16(BS_POS);
        if (pos < kSamples) p[BS_SAMPLES + pos] = byte;
        if (++pos >= kSamples) {
            flags |= BSMP_FILLED;
            if (flags & BSMP_STOPFULL) {
                pos = kSamples;
                flags &= uint16_t(~BSMP_RECORDING);
                c.Stamps();
            } else {
                pos = 0;
            }
        }
        c.P16(BS_POS, uint16_t(pos));
        if (!(flags & BSMP_RECORDING)) {
            c.P16(BS_FLAGS, flags);
            return;
        }
        // post-trigger delay
        if (delay != 0) {
            delay = delay > since ? delay - since : 0;
            c.P32(BS_DELAY, delay);
            if (delay == 0) {
                c.P16(BS_FLAGS, uint16_t(flags & ~BSMP_RECORDING));
                c.Stamps();
                return;
            }
        }
    }
    // stop trigger
    const uint16_t stop = c.G16(BS_STOPIX);
    if (stop != 0 && delay == 0) {
        const uint8_t v = c.Bool(stop);
        if (Edge(p[BS_LASTSTOP], v, flags & BSMP_STOPFALL)) {
            const uint32_t n = c.G16(BS_STOPDLY);
            if (n != 0) {
                c.P32(BS_DELAY, period ? n * period : n);
            } else {
                flags &= uint16_t(~BSMP_RECORDING);
                c.Stamps();
            }
        }
        p[BS_LASTSTOP] = v;
    }
    c.P16(BS_FLAGS, flags);
}

uint32_t Z7VMBsmp_GetSettingsSize(uint32_t) { return 32; }
uint32_t Z7VMBsmp_GetDataSize(uint32_t) { return 922; }

uint32_t Z7VMBsmp_GetSettings(uint32_t db, uint8_t *out) {
    const uint32_t r = Record(db);
    if (r == 0 || out == nullptr) return 0;
    BE_Put16(out, 30);
    BE_Put16(out + 2, Z7Mem_Get16(r + BS_FLAGS));
    BE_Put32(out + 4, Z7Mem_Get32(r + BS_PERIOD));
    BE_Put16(out + 8, Z7Mem_Get16(r + BS_STARTDLY));
    BE_Put16(out + 10, Z7Mem_Get16(r + BS_STOPDLY));
    BE_Put16(out + 12, Z7Mem_Get16(r + BS_STARTIX));
    BE_Put16(out + 14, Z7Mem_Get16(r + BS_STOPIX));
    for (uint32_t k = 0; k < kVars; k++) BE_Put16(out + 16 + 2 * k, Z7Mem_Get16(r + BS_VARS + 2 * k));
    return 32;
}

uint32_t Z7VMBsmp_GetData(uint32_t db, uint8_t *out) {
    const uint32_t r = Record(db);
    if (r == 0 || out == nullptr) return 0;
    if (Z7Mem_Get16(r + BS_FLAGS) & BSMP_RECORDING) TakeStamps(r);
    BE_Put16(out, 920);
    BE_Put32(out + 2, Z7Mem_Get32(r + BS_COUNTHI));
    BE_Put32(out + 6, Z7Mem_Get32(r + BS_COUNTLO));
    BE_Put16(out + 10, Z7Mem_Get16(r + BS_FLAGS));
    BE_Put16(out + 12, Z7Mem_Get16(r + BS_POS));
    BE_Put32(out + 14, Z7Mem_Get32(r + BS_DATE));
    BE_Put32(out + 18, Z7Mem_Get32(r + BS_TIME));
    std::memcpy(out + 22, Z7Mem_Ptr(r + BS_SAMPLES, kSamples), kSamples);
    return 922;
}
