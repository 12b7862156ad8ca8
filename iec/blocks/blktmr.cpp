// Timer blocks (on delay, off delay, retentive on delay; units of 1 ms,
// 10 ms, 100 ms, 1 s; INT or DINT preset and elapsed) and the INT counters
// CTU and CTD.
//
// Timers count on the controller's 0.1 ms time base (register dword at byte
// 552). Instance: u32 last reading, u32 reference (the time from which the
// next whole unit counts). A fresh instance (both words 0, as the VM gives
// it and as command 6 leaves it) takes the reference from its first call,
// so a timer never starts with the whole time since power-up.
#include "core/image/plcreg.h"
#include "iec/blocks/blkform.h"

namespace {
constexpr uint32_t T_IN = 0, T_PT = 1, T_Q = 2, T_ET = 3;           // TON, TOF
constexpr uint32_t R_IN = 0, R_R = 1, R_PT = 2, R_Q = 3, R_ET = 4;  // TONR
enum Kind : uint8_t { K_TON, K_TOF, K_TONR };

uint32_t TimeBase() { return PlcDword(276); }

struct TimerInst {
    uint8_t *p;
    uint32_t Ref() const { return LE_Get32(p + 4); }
    void SetRef(uint32_t v) const { LE_Put32(p + 4, v); }
};

// Preset and elapsed of either width.
template <bool Wide>
int32_t Get(const Z7Ops &o, uint32_t k) {
    return Wide ? o.D(k) : o.I(k);
}
template <bool Wide>
void Set(const Z7Ops &o, uint32_t k, int32_t v) {
    if (Wide)
        o.SetD(k, v);
    else
        o.SetI(k, v);
}

// Accumulation: whole units since the reference are added to ET, the
// remainder carries into the next unit. The DINT forms take every unit (a
// 16-bit count would drop 65,536 units of each long gap between calls); the
// INT forms' 16-bit ET wraps the same with or without the cut.
template <bool Wide>
void Accumulate(const Z7Ops &o, TimerInst t, uint32_t et_k, uint32_t unit, uint32_t now) {
    const uint32_t since = now - t.Ref();
    const uint32_t units = Wide ? since / unit : uint16_t(since / unit);
    if (units == 0) return;
    if (Wide)
        o.SetD(et_k, int32_t(uint32_t(o.D(et_k)) + units));
    else
        o.SetI(et_k, int16_t(uint16_t(uint16_t(o.I(et_k)) + units)));
    t.SetRef(now - since % unit);
}

template <Kind K, uint32_t Unit, bool Wide>
uint32_t Timer(uint32_t cmd, uint32_t db, uint32_t, uint32_t inst, uint32_t arg) {
    uint8_t *p = Z7Mem_Ptr(inst, 8);
    // The instance is the runtime's: its initialisation answers 0 and
    // leaves it as it stands.
    if (cmd == FB_INSTINIT) return 0;
    if (cmd != FB_EXEC) return Blk_Answer(cmd, 8);
    Z7Ops o;
    if (p == nullptr || !Z7Ops_Open(db, arg, K == K_TONR ? 5 : 4, o)) return 0;
    const TimerInst t{p};
    const uint32_t now = TimeBase();
    const uint32_t in_k = K == K_TONR ? R_IN : T_IN, pt_k = K == K_TONR ? R_PT : T_PT;
    const uint32_t q_k = K == K_TONR ? R_Q : T_Q, et_k = K == K_TONR ? R_ET : T_ET;
    const uint8_t in = o.B(in_k), r = K == K_TONR ? o.B(R_R) : 0;
    // A call with IN or R neither 0 nor 1 leaves the instance untouched too:
    // a fresh one given such a call first would otherwise hold a reference
    // without a last reading, and TONR's pause step would move it by the
    // whole time base.
    if (in > 1 || r > 1) return 0;
    const bool first = LE_Get32(p) == 0 && t.Ref() == 0;
    if (first) t.SetRef(now);
    const uint32_t last = first ? now : LE_Get32(p);  // the previous reading
    LE_Put32(p, now);
    const int32_t pt = Get<Wide>(o, pt_k);
    auto run = [&](bool q_done, bool q_running) {
        if (pt <= Get<Wide>(o, et_k)) {
            o.SetB(q_k, q_done);
            Set<Wide>(o, et_k, pt);
        } else {
            o.SetB(q_k, q_running);
            Accumulate<Wide>(o, t, et_k, Unit, now);
        }
    };
    if (K == K_TON) {
        if (in)
            run(true, false);
        else {
            Set<Wide>(o, et_k, 0);
            o.SetB(q_k, false);
            t.SetRef(now);
        }
    } else if (K == K_TOF) {
        if (in) {
            Set<Wide>(o, et_k, 0);
            o.SetB(q_k, true);
            t.SetRef(now);
        } else
            run(false, true);
    } else {
        if (r) {
            Set<Wide>(o, et_k, 0);
            o.SetB(q_k, false);
            t.SetRef(now);
        } else if (in) {
            run(true, false);
        } else {
            // Off time does not count: the reference moves on by the time
            // since the last reading, so the part of a unit gathered while IN
            // was 1 is kept (moving it to now would drop it at every pause,
            // and keeping it still would count the pause too).
            t.SetRef(t.Ref() + (now - last));
        }
    }
    return 0;
}

// Counters: CU or CD, R or LD, PV, Q, CV; instance u16 count. The input is a
// level: every execute call with it at 1 counts.
enum : uint32_t { C_IN, C_RL, C_PV, C_Q, C_CV };
void Ctu(const Z7Ops &o, uint8_t *p) {
    int16_t cv = int16_t(LE_Get16(p));
    const int16_t pv = o.I(C_PV);
    if (o.B(C_RL))
        cv = 0;
    else if (o.B(C_IN) && cv < pv)
        cv = int16_t(cv + 1);
    LE_Put16(p, uint16_t(cv));
    o.SetB(C_Q, cv >= pv);
    o.SetI(C_CV, cv);
}
void Ctd(const Z7Ops &o, uint8_t *p) {
    int16_t cv = int16_t(LE_Get16(p));
    if (o.B(C_RL))
        cv = o.I(C_PV);
    else if (o.B(C_IN) && cv > 0)
        cv = int16_t(cv - 1);
    LE_Put16(p, uint16_t(cv));
    o.SetB(C_Q, cv <= 0);
    o.SetI(C_CV, cv);
}

constexpr uint32_t U1MS = 10, U10MS = 100, U100MS = 1000, U1S = 10000;
#define BLK_TIMERS(KIND, NAME)                                                                     \
    {#NAME "1MS", Timer<KIND, U1MS, false>}, {#NAME "1MS32", Timer<KIND, U1MS, true>},             \
        {#NAME "10MS", Timer<KIND, U10MS, false>}, {#NAME "10MS32", Timer<KIND, U10MS, true>},     \
        {#NAME "100MS", Timer<KIND, U100MS, false>}, {#NAME "100MS32", Timer<KIND, U100MS, true>}, \
        {#NAME "1S", Timer<KIND, U1S, false>}, {                                                   \
#NAME "1S32", Timer < KIND, U1S, true>                                                     \
    }

constexpr BlkRow kRows[] = {
    BLK_TIMERS(K_TON, TON),           BLK_TIMERS(K_TOF, TOF),           BLK_TIMERS(K_TONR, TONR),
    {"CTU", Blk_Stateful<2, 5, Ctu>}, {"CTD", Blk_Stateful<2, 5, Ctd>},
};
#undef BLK_TIMERS
}  // namespace

const BlkFamily BlkTmr_Family{kRows, sizeof kRows / sizeof kRows[0]};
