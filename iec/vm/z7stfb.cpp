// Standard blocks: edges, bistables, comparison, semaphore, alarms,
// hysteresis, limit alarm, byte unpacking; timers, pulses, calendar and
// chart steps; averages, integration, derivation, ramps, interpolation,
// stacks and queues. One table row per block gives its name, class number,
// instance size and availability answer; one handler per row dispatches the
// commands. Blocks of other modules (serial, Modbus, CSV, CAN, signal
// playback) have no row handler here and stay absent.
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <utility>

#include "iec/vm/z7parts.h"
#include "iec/vm/z7stdlib.h"
#include "iec/vm/z7ops.h"
#include "iec/vm/z7vm.h"

namespace {
constexpr uint32_t kDay = 86400000u;

// Instance fields read and written as little host words at byte offsets.
struct Inst {
    uint8_t *p;
    uint32_t U(uint32_t off) const {
        uint32_t v;
        std::memcpy(&v, p + off, 4);
        return v;
    }
    void SetU(uint32_t off, uint32_t v) const { std::memcpy(p + off, &v, 4); }
    int32_t I(uint32_t off) const { return int32_t(U(off)); }
    void SetI(uint32_t off, int32_t v) const { SetU(off, uint32_t(v)); }
    float F(uint32_t off) const {
        float v;
        std::memcpy(&v, p + off, 4);
        return v;
    }
    void SetF(uint32_t off, float v) const { std::memcpy(p + off, &v, 4); }
    double G(uint32_t off) const {
        double v;
        std::memcpy(&v, p + off, 8);
        return v;
    }
    void SetG(uint32_t off, double v) const { std::memcpy(p + off, &v, 8); }
};

// Two readings of the runtime's millisecond clock, taken as the cycle's are
// (modulo 2^32, or modulo a day for stamps of the day).
uint32_t Elapsed(uint32_t last, uint32_t now) { return Z7VM_Elapsed(last, now); }

struct Ctx {
    const Z7Ops &o;
    Inst s;
    uint32_t now;  // status stamp of the cycle (ms of the day)
    uint32_t db;
};
using ExecFn = void (*)(const Ctx &c);
using LifeFn = void (*)(const Ctx &c);  // commands 6 and 8

struct Row {
    const char *name;
    uint16_t classno;
    uint16_t size;
    uint8_t avail;
    uint8_t need;  // operands an execution reads
    ExecFn exec;
    LifeFn init;
    LifeFn keep;
};

// ---- logic blocks ------------------------------------------------------------------------------------
void RTrig(const Ctx &c) {
    c.o.SetB(1, c.s.p[0] == 0 && c.o.B(0));
    c.s.p[0] = c.o.B(0) != 0;
}
void RTrigInit(const Ctx &c) {
    if (Z7Mem_Get32(Z7VM_Status(c.db) + ST_OPTIONS) & 0x80) c.s.p[0] = 1;
}
void FTrig(const Ctx &c) {
    c.o.SetB(1, c.s.p[0] != 0 && !c.o.B(0));
    c.s.p[0] = c.o.B(0) != 0;
}
void Rs(const Ctx &c) {
    if (c.o.B(1))
        c.s.p[0] = 0;
    else if (c.o.B(0))
        c.s.p[0] = 1;
    c.o.SetB(2, c.s.p[0]);
}
void Sr(const Ctx &c) {
    if (c.o.B(0))
        c.s.p[0] = 1;
    else if (c.o.B(1))
        c.s.p[0] = 0;
    c.o.SetB(2, c.s.p[0]);
}
void FlipFlop(const Ctx &c) {
    const bool in = c.o.B(0);
    if (c.o.B(1)) {
        c.s.p[0] = 0;
        c.s.p[1] = 0;
    } else {
        if (in && c.s.p[0] == 0) c.s.p[1] = c.s.p[1] ? 0 : 1;
        c.s.p[0] = in;
    }
    c.o.SetB(2, c.s.p[1]);
}
void Sema(const Ctx &c) {
    c.o.SetB(2, c.s.p[0]);
    if (c.o.B(0))
        c.s.p[0] = 1;
    else if (c.o.B(1)) {
        c.o.SetB(2, false);
        c.s.p[0] = 0;
    }
}
void Cmp(const Ctx &c) {
    const int32_t a = c.o.D(0), b = c.o.D(1);
    c.o.SetB(2, a < b);
    c.o.SetB(3, a == b);
    c.o.SetB(4, a > b);
}
void AlarmM(const Ctx &c) {
    uint8_t &st = c.s.p[0];
    const bool in = c.o.B(0), ack = c.o.B(1), rst = c.o.B(2);
    if (st == 0 && in)
        st = 1;
    else if (st == 1 && ack)
        st = 2;
    else if (st == 2 && !in && rst)
        st = 0;
    c.o.SetB(3, st == 1);
    c.o.SetB(4, st == 2);
}
void AlarmA(const Ctx &c) {
    uint8_t &st = c.s.p[0];
    const bool in = c.o.B(0), ack = c.o.B(1);
    if (st == 0 && in)
        st = 1;
    else if (st == 1 && ack)
        st = in ? 2 : 0;
    else if (st == 2 && !in)
        st = 0;
    c.o.SetB(2, st == 1);
    c.o.SetB(3, st == 2);
}
void Hyster(const Ctx &c) {
    const float x1 = c.o.R(0), x2 = c.o.R(1), eps = c.o.R(2);
    if (c.s.p[0]) {
        if (x1 < x2 - eps) c.s.p[0] = 0;
    } else if (x1 > x2 + eps) {
        c.s.p[0] = 1;
    }
    c.o.SetB(3, c.s.p[0]);
}
void LimAlrm(const Ctx &c) {
    const float h = c.o.R(0), x = c.o.R(1), l = c.o.R(2), eps = c.o.R(3);
    uint8_t &hi = c.s.p[0], &lo = c.s.p[1];
    if (hi) {
        if (x < h - eps) hi = 0;
    } else if (x > h) {
        hi = 1;
    }
    if (lo) {
        if (x > l + eps) lo = 0;
    } else if (x < l) {
        lo = 1;
    }
    c.o.SetB(4, hi);
    c.o.SetB(5, hi || lo);
    c.o.SetB(6, lo);
}
// UNPACK8 writes its outputs without the lock test of the other blocks; a
// forced output keeps its value all the same (forcing is general).
void Unpack8(const Ctx &c) {
    const uint8_t v = c.o.U8(0);
    for (uint32_t k = 0; k < 8; k++) c.o.SetB(1 + k, (v >> k) & 1);
}

// CANRCVMSG: port name, USINT data array with its literal size (at least 8),
// received, identifier, length: the next message of the port's spare slots.
void CanRcvMsg(const Ctx &c) {
    const int32_t n = c.o.Lit(2);
    const uint32_t arr = n >= 8 ? Z7Tools_GetArrayIn(c.db, 14, c.o.Lit(1), n, nullptr) : 0;
    uint32_t id = 0, len = 0, got = 0;
    uint8_t *out = arr ? Z7Mem_Ptr(arr, 8) : nullptr;
    if (out != nullptr) {
        char port[256] = {};
        const uint32_t plen = Z7VMStr_GetLength(c.db, c.o.Lit(0));
        if (const uint8_t *t = plen ? Z7Mem_Ptr(Z7VMStr_GetText(c.db, c.o.Lit(0)), plen) : nullptr)
            std::memcpy(port, t, plen < 255 ? plen : 255);
        uint8_t d[8] = {};
        got = Z7Part_VMCan_RcvAppMsg(c.db, port, &id, &len, d);
        if (got) std::memcpy(out, d, 8);
    }
    c.o.SetB(3, got != 0);
    c.o.SetD(4, got ? int32_t(id) : 0);
    c.o.SetD(5, got ? int32_t(len) : 0);
}

// ---- timers ------------------------------------------------------------------------------------------
// TON/TOF/BLINK/BLINKA/PLS: ET 0, last 4, started 8, Q 9.
// TP/TPR: ET 0, last 4, IN memory 8, Q 10.
enum : uint32_t { T_ET = 0, T_LAST = 4, T_ST = 8, T_Q = 9, TP_MEM = 8, TP_Q = 10 };
void Accumulate(const Ctx &c) {
    c.s.SetU(T_ET, c.s.U(T_ET) + Elapsed(c.s.U(T_LAST), c.now));
    c.s.SetU(T_LAST, c.now);
}
void Start(const Ctx &c) {
    if (c.s.p[T_ST] == 0) {
        c.s.SetU(T_LAST, c.now);
        c.s.p[T_ST] = 1;
    }
}
void KeepStamp(const Ctx &c) { c.s.SetU(T_LAST, c.now); }
void Outputs(const Ctx &c, uint32_t q, uint32_t et, uint8_t qv) {
    c.o.SetB(q, qv);
    c.o.PutTime(et, c.s.U(T_ET));
}
void TonStep(const Ctx &c, bool in, uint32_t pt) {
    if (!in) {
        c.s.SetU(T_ET, 0);
        c.s.p[T_Q] = 0;
        c.s.p[T_ST] = 0;
        return;
    }
    Start(c);
    if (!c.s.p[T_Q]) {
        Accumulate(c);
        if (c.s.U(T_ET) >= pt) {
            c.s.SetU(T_ET, pt);
            c.s.p[T_Q] = 1;
        }
    }
}
void Ton(const Ctx &c) {
    TonStep(c, c.o.B(0), c.o.Time(1));
    Outputs(c, 2, 3, c.s.p[T_Q]);
}
void TofStep(const Ctx &c, bool in, uint32_t pt) {
    if (in) {
        c.s.SetU(T_ET, 0);
        c.s.p[T_Q] = 1;
        c.s.p[T_ST] = 1;
        return;
    }
    if (c.s.p[T_ST]) {
        c.s.SetU(T_LAST, c.now);
        c.s.p[T_ST] = 0;
    }
    if (c.s.p[T_Q]) {
        Accumulate(c);
        if (c.s.U(T_ET) >= pt) {
            c.s.SetU(T_ET, pt);
            c.s.p[T_Q] = 0;
        }
    }
}
void Tof(const Ctx &c) {
    TofStep(c, c.o.B(0), c.o.Time(1));
    Outputs(c, 2, 3, c.s.p[T_Q]);
}
void TpStep(const Ctx &c, bool in, uint32_t pt) {
    if (in && c.s.p[TP_MEM] == 0) {
        c.s.SetU(T_LAST, c.now);
        c.s.p[TP_MEM] = 1;
        c.s.p[TP_Q] = 1;
    }
    if (c.s.p[TP_Q]) {
        Accumulate(c);
        if (c.s.U(T_ET) >= pt) {
            c.s.p[TP_Q] = 0;
            c.s.SetU(T_ET, pt);
        }
    }
    if (!c.s.p[TP_Q] && !in) {
        c.s.p[TP_MEM] = 0;
        c.s.SetU(T_ET, 0);
    }
}
void Tp(const Ctx &c) {
    TpStep(c, c.o.B(0), c.o.Time(1));
    Outputs(c, 2, 3, c.s.p[TP_Q]);
}
void Tpr(const Ctx &c) {
    if (c.o.B(2))
        std::memset(c.s.p, 0, 12);
    else
        TpStep(c, c.o.B(0), c.o.Time(1));
    Outputs(c, 3, 4, c.s.p[TP_Q]);
}
void Tofr(const Ctx &c) {
    if (c.o.B(2))
        std::memset(c.s.p, 0, 12);
    else
        TofStep(c, c.o.B(0), c.o.Time(1));
    Outputs(c, 3, 4, c.s.p[T_Q]);
}
void Tmu(const Ctx &c) {
    const bool in = c.o.B(0), rst = c.o.B(1);
    const uint32_t pt = c.o.Time(2);
    if (rst)
        std::memset(c.s.p, 0, 12);
    else if (in && !c.s.p[T_Q]) {
        if (c.s.U(T_LAST) == 0) c.s.SetU(T_LAST, c.now);
        c.s.SetU(T_ET, c.s.U(T_ET) + Elapsed(c.s.U(T_LAST), c.now));
        if (c.s.U(T_ET) >= pt) {
            c.s.SetU(T_ET, pt);
            c.s.p[T_Q] = 1;
        }
    }
    c.s.SetU(T_LAST, c.now);
    Outputs(c, 3, 4, c.s.p[T_Q]);
}
void Tmd(const Ctx &c) {
    const bool in = c.o.B(0), rst = c.o.B(1);
    const uint32_t pt = c.o.Time(2);
    if (rst) {
        c.s.SetU(T_ET, pt);
        c.s.p[T_Q] = 0;
    } else if (in && !c.s.p[T_Q]) {
        if (c.s.U(T_LAST) == 0) c.s.SetU(T_LAST, c.now);
        const uint32_t d = Elapsed(c.s.U(T_LAST), c.now);
        if (d >= c.s.U(T_ET)) {
            c.s.SetU(T_ET, 0);
            c.s.p[T_Q] = 1;
        } else {
            c.s.SetU(T_ET, c.s.U(T_ET) - d);
        }
    }
    c.s.SetU(T_LAST, c.now);
    Outputs(c, 3, 4, c.s.p[T_Q]);
}
uint32_t Seconds(uint32_t db) { return Z7Mem_Get32(Z7VM_Status(db) + ST_SECONDS); }
void Tmusec(const Ctx &c) {
    const bool in = c.o.B(0), rst = c.o.B(1);
    const uint32_t pt = uint32_t(c.o.D(2)), sec = Seconds(c.db);
    if (rst)
        std::memset(c.s.p, 0, 12);
    else if (in && !c.s.p[T_Q]) {
        if (c.s.U(T_LAST) == 0) c.s.SetU(T_LAST, sec);
        c.s.SetU(T_ET, sec + c.s.U(T_ET) - c.s.U(T_LAST));
        if (c.s.U(T_ET) >= pt) {
            c.s.SetU(T_ET, pt);
            c.s.p[T_Q] = 1;
        }
    }
    c.s.SetU(T_LAST, sec);
    c.o.SetB(3, c.s.p[T_Q]);
    c.o.SetD(4, c.s.I(T_ET));
}
void TmusecKeep(const Ctx &c) { c.s.SetU(T_LAST, Seconds(c.db)); }
void StopTimer(const Ctx &c) {
    c.s.SetU(T_ET, 0);
    c.s.p[T_Q] = 0;
    c.s.p[T_ST] = 0;
}
void Blink(const Ctx &c) {
    if (!c.o.B(0))
        StopTimer(c);
    else {
        Start(c);
        Accumulate(c);
        if (c.s.U(T_ET) >= c.o.Time(1) / 2) {
            c.s.SetU(T_ET, 0);
            c.s.p[T_Q] = c.s.p[T_Q] ? 0 : 1;
        }
    }
    c.o.SetB(2, c.s.p[T_Q]);
}
void BlinkA(const Ctx &c) {
    if (!c.o.B(0))
        StopTimer(c);
    else {
        Start(c);
        Accumulate(c);
        if (c.s.p[T_Q] && c.s.U(T_ET) >= c.o.Time(2)) {
            c.s.p[T_Q] = 0;
            c.s.SetU(T_ET, 0);
        } else if (!c.s.p[T_Q] && c.s.U(T_ET) >= c.o.Time(1)) {
            c.s.p[T_Q] = 1;
            c.s.SetU(T_ET, 0);
        }
    }
    c.o.SetB(3, c.s.p[T_Q]);
}
void Pls(const Ctx &c) {
    if (!c.o.B(0))
        StopTimer(c);
    else if (c.s.p[T_Q])
        c.s.p[T_Q] = 0;
    else {
        Start(c);
        Accumulate(c);
        if (c.s.U(T_ET) >= c.o.Time(1)) {
            c.s.SetU(T_ET, 0);
            c.s.p[T_Q] = 1;
        }
    }
    c.o.SetB(2, c.s.p[T_Q]);
}
// SIG_GEN: last 0, ET 4, counter 8, pulse 12, started 13.
void SigGen(const Ctx &c) {
    const int32_t maxc = c.o.D(2);
    if (c.o.B(0)) {
        if (!c.s.p[13]) {
            c.s.SetU(0, c.now);
            c.s.p[13] = 1;
        }
        c.s.SetU(4, c.s.U(4) + Elapsed(c.s.U(0), c.now));
        c.s.SetU(0, c.now);
        if (c.s.U(4) >= c.o.Time(1)) {
            c.s.p[12] = c.s.p[12] ? 0 : 1;
            c.s.SetU(4, 0);
            c.s.SetI(8, c.s.I(8) < maxc ? c.s.I(8) + 1 : 0);
        }
    } else {
        c.s.p[12] = 0;
        c.s.SetU(4, 0);
        c.s.SetI(8, 0);
        c.s.p[13] = 0;
    }
    const int32_t n = c.s.I(8);
    c.o.SetB(3, c.s.p[12]);
    c.o.SetD(4, n);
    c.o.SetB(5, n == 0);
    const float q = maxc != 0 ? float(n) / float(maxc) * 6.2826f : 0.0f;
    c.o.SetR(6, maxc != 0 ? float(std::sin(double(q))) : 0.0f);
}
void SigGenKeep(const Ctx &c) { c.s.SetU(0, c.now); }
// DTEVERY: days 0, ms 4, last 8, Q 12.
void DtEvery(const Ctx &c) {
    if (!c.o.B(0))
        std::memset(c.s.p, 0, 16);
    else if (c.s.U(8) == 0) {
        c.s.SetU(8, c.now);
        c.s.p[12] = 1;
    } else if (c.s.p[12]) {
        c.s.p[12] = 0;
    } else {
        uint64_t ms = uint64_t(c.s.U(4)) + Elapsed(c.s.U(8), c.now);
        uint32_t days = c.s.U(0);
        while (ms > kDay) {
            ms -= kDay;
            days++;
        }
        c.s.SetU(4, uint32_t(ms));
        c.s.SetU(0, days);
        if (int64_t(c.o.D(1)) <= int64_t(days) && c.o.Time(2) <= uint32_t(ms)) {
            c.s.SetU(0, 0);
            c.s.SetU(4, 0);
            c.s.p[12] = 1;
        }
        c.s.SetU(8, c.now);
    }
    c.o.SetB(3, c.s.p[12]);
}
// A DTEVERY not started yet (last 0) stays so: its first execution with RUN pulses.
void DtEveryKeep(const Ctx &c) {
    if (c.s.U(8) != 0) c.s.SetU(8, c.now);
}
// DTAT: target date 0, target time 4, pulse 8, reached 9, armed 10.
void DtAt(const Ctx &c) {
    if (!c.s.p[10] || c.o.B(4)) {
        c.s.SetU(0, (uint32_t(c.o.D(0)) << 16) + ((uint32_t(c.o.D(1)) & 0xFF) << 8) + (uint32_t(c.o.D(2)) & 0xFF));
        c.s.SetU(4, c.o.Time(3));
        c.s.p[10] = 1;
        c.s.p[9] = 0;
        c.s.p[8] = 0;
    } else if (!c.s.p[9]) {
        uint32_t date = 0, tod = 0, flag = 0;
        Z7Std_Clock(0, &date, &tod);
        (void)flag;
        const uint32_t target = c.s.U(0);
        uint32_t cur = date;
        bool due;
        if (target >= 0x10000)
            due = cur >= target;
        else if ((target & 0xFF00) != 0)
            due = (cur & 0xFFFF) >= target;
        else if ((target & 0xFF) != 0)
            due = (cur & 0xFF) >= target;
        else
            due = true;
        if (due && c.s.U(4) <= tod) {
            c.s.p[9] = 1;
            c.s.p[8] = 1;
        }
    } else {
        c.s.p[8] = 0;
    }
    c.o.SetB(5, c.s.p[8]);
    c.o.SetB(6, c.s.p[9]);
}
void DtCurDateTime(const Ctx &c) {
    uint32_t date = 0, ms = 0, flag = 0;
    Z7Std_Clock(c.o.B(0) ? 0 : 1, &date, &ms);
    (void)flag;
    c.o.SetD(1, int32_t(date >> 16));
    c.o.SetD(2, int32_t((date >> 8) & 0xFF));
    c.o.SetD(3, int32_t(date & 0xFF));
    c.o.SetD(4, int32_t(ms / 3600000u));
    c.o.SetD(5, int32_t((ms / 60000u) % 60u));
    c.o.SetD(6, int32_t((ms / 1000u) % 60u));
    c.o.SetD(7, int32_t(ms % 1000u));
    c.o.PutTime(8, ms);
    c.o.SetB(9, false);
}
// ISFCSTEP: T 0, last 4, state 8.
void SfcStep(const Ctx &c) {
    uint8_t &st = c.s.p[8];
    auto acc = [&] {
        if (c.s.U(4) != 0) {
            const uint64_t t = uint64_t(c.s.U(0)) + Elapsed(c.s.U(4), c.now);
            c.s.SetU(0, uint32_t(t > kDay ? kDay : t));
        }
        c.s.SetU(4, c.now);
    };
    switch (c.o.D(0)) {
    case 1:
        if (st == 0 || st == 3) {
            st = 1;
            c.s.SetU(0, 0);
            c.s.SetU(4, c.now);
        } else {
            st = 2;
            acc();
        }
        break;
    case 2: break;
    case 0:
        st = st == 2 ? 3 : 0;
        c.s.SetU(4, c.now);
        break;
    default:
        if (st == 1) {
            st = 2;
            acc();
        } else if (st == 2) {
            acc();
        } else {
            if (st == 3) st = 0;
            c.s.SetU(4, c.now);
        }
        break;
    }
    c.o.SetB(1, st == 2);
    c.o.PutTime(2, c.s.U(0));
    c.o.SetB(3, st == 1);
    c.o.SetB(4, st == 1 || st == 2);
    c.o.SetB(5, st == 3);
}
void SfcInitStep(const Ctx &c) { c.s.p[8] = 1; }
void KeepStamp4(const Ctx &c) { c.s.SetU(4, c.now); }

// ---- signal processing -------------------------------------------------------------------------------
// AVERAGE: sum 0 (f64), average 8, samples 12.., position 524, N 528, count 532.
// AVERAGEL: sum 0, average 8 (f64), samples 16.., position 1040, N 1044, count 1048.
template <bool Long>
void AverageT(const Ctx &c) {
    constexpr uint32_t kAvg = 8, kSmp = Long ? 16 : 12, kW = Long ? 8 : 4, kPos = kSmp + 128 * kW;
    const Inst &s = c.s;
    auto sample = [&](int32_t i) { return Long ? s.G(kSmp + 8 * uint32_t(i)) : double(s.F(kSmp + 4 * uint32_t(i))); };
    auto setAvg = [&](double v) {
        if (Long)
            s.SetG(kAvg, v);
        else
            s.SetF(kAvg, float(v));
    };
    if (!c.o.B(0)) {
        int32_t n = c.o.D(2);
        n = n < 0 ? 0 : n > 128 ? 128 : n;
        s.SetI(kPos + 4, n);
        setAvg(0);
        s.SetI(kPos, 0);
        s.SetG(0, 0);
        s.SetI(kPos + 8, 0);
    } else {
        const int32_t n = s.I(kPos + 4);
        if (n <= 0 || n > 128) {
            setAvg(0);
        } else {
            const double x = Long ? c.o.LR(1) : double(c.o.R(1));
            int32_t pos = s.I(kPos), count = s.I(kPos + 8);
            if (pos < 0 || pos >= n) pos = 0;
            double sum = s.G(0);
            if (count >= n) sum -= sample(pos);
            if (Long)
                s.SetG(kSmp + 8 * uint32_t(pos), x);
            else
                s.SetF(kSmp + 4 * uint32_t(pos), float(x));
            sum += Long ? x : double(float(x));
            if (count < n) count++;
            pos = pos + 1 >= n ? 0 : pos + 1;
            s.SetG(0, sum);
            s.SetI(kPos, pos);
            s.SetI(kPos + 8, count);
            setAvg(sum / count);
        }
    }
    if (Long)
        c.o.SetLR(3, s.G(kAvg));
    else
        c.o.SetR(3, s.F(kAvg));
}
void AverageInit(const Ctx &c) { c.s.SetI(528, 128); }
void AverageLInit(const Ctx &c) { c.s.SetI(1044, 128); }
// INTEGRAL: last 0, integral 4.
void Integral(const Ctx &c) {
    if (c.s.U(0) == 0) c.s.SetU(0, c.now);
    if (c.o.B(1)) {
        c.s.SetF(4, c.o.R(3));
        c.s.SetU(0, c.now);
    } else if (c.o.B(0)) {
        const uint32_t d = Elapsed(c.s.U(0), c.now);
        if (d > c.o.Time(4)) {
            c.s.SetU(0, c.now);
            c.s.SetF(4, c.s.F(4) + float(d) * c.o.R(2));
        }
    } else {
        c.s.SetU(0, c.now);
    }
    c.o.SetB(5, !c.o.B(1));
    c.o.SetR(6, c.s.F(4));
}
// DERIVATE: last 0, x1 4, x2 8, x3 12, derivative 16.
void Derivate(const Ctx &c) {
    const float x = c.o.R(1);
    if (c.s.U(0) == 0xFFFFFFFFu) {
        c.s.SetU(0, c.now);
        c.s.SetF(4, x);
        c.s.SetF(8, x);
        c.s.SetF(12, x);
    } else if (c.o.B(0)) {
        const uint32_t d = Elapsed(c.s.U(0), c.now);
        if (d != 0 && d > c.o.Time(2)) {
            const float x1 = c.s.F(4), x2 = c.s.F(8), x3 = c.s.F(12);
            c.s.SetF(16, (3.0f * (x - x3) + x1 - x2) / (10.0f * float(d)));
            c.s.SetF(12, x2);
            c.s.SetF(8, x1);
            c.s.SetF(4, x);
            c.s.SetU(0, c.now);
        }
    }
    c.o.SetR(3, c.s.F(16));
}
void DerivateInit(const Ctx &c) { c.s.SetU(0, 0xFFFFFFFFu); }
// INTEGRAL and DERIVATE keep their last stamp at 0 (not at the timers' 4).
void IntegralKeep(const Ctx &c) { c.s.SetU(0, c.now); }
// A DERIVATE without a sample yet stays so (its next execution takes the
// first one) instead of taking a stamp: samples of 0 would make a spike.
void DerivateKeep(const Ctx &c) {
    if (c.s.U(0) != 0xFFFFFFFFu) c.s.SetU(0, c.now);
}
// RAMP: last 0, output 4, rise 8, fall 12, base 16.
void Ramp(const Ctx &c) {
    const float x = c.o.R(0);
    if (c.o.B(4) || c.s.U(0) == 0) {
        c.s.SetF(8, c.o.R(1));
        c.s.SetF(12, c.o.R(2));
        c.s.SetF(4, x);
        c.s.SetF(16, float(c.o.Time(3)));
    } else {
        const float d = float(Elapsed(c.s.U(0), c.now)), out = c.s.F(4);
        const float rise = c.s.F(8), fall = c.s.F(12), base = c.s.F(16);
        if (d != 0 && x > out && rise > 0)
            c.s.SetF(4, std::fmin(x, out + d * rise / base));
        else if (d != 0 && x < out && fall > 0)
            c.s.SetF(4, std::fmax(x, out - d * fall / base));
    }
    c.s.SetU(0, c.now);
    c.o.SetR(5, c.s.F(4));
}
// HYSTERACC: accumulated 0 (f64), reference 8, last 12, started 16.
void HysterAcc(const Ctx &c) {
    const float x = c.o.R(0), eps = c.o.R(1), k = c.o.R(2);
    float out;
    if (c.s.U(16) == 0) {
        c.s.SetF(8, x);
        c.s.SetG(0, 0);
        c.s.SetU(16, 1);
        out = x;
    } else {
        const float diff = std::fabs(x - c.s.F(8));
        if (eps < diff) {
            c.s.SetF(8, x);
            c.s.SetG(0, 0);
            out = x;
        } else {
            const double acc = c.s.G(0) + double(Elapsed(c.s.U(12), c.now)) * diff / 1000.0;
            if (acc > double(eps) * k) {
                c.s.SetF(8, x);
                c.s.SetG(0, 0);
                out = x;
            } else {
                c.s.SetG(0, acc);
                out = c.s.F(8);
            }
        }
    }
    c.s.SetU(12, c.now);
    c.o.SetR(3, out);
}

// ---- interpolation -----------------------------------------------------------------------------------
// A REAL array operand (index k, literal count k+1) inside its segment.
const uint8_t *RealArray(const Z7Ops &o, uint32_t k, int32_t &count) {
    count = o.Lit(k + 1);
    const uint32_t a = Z7Tools_GetArrayIn(o.db, 3, o.Lit(k), count, nullptr);
    return a ? Z7Mem_Ptr(a, uint32_t(count) * 4 + 1) : nullptr;
}
float At(const uint8_t *a, int64_t i) {
    float f;
    std::memcpy(&f, a + 4 * i, 4);
    return f;
}
bool Increasing(const uint8_t *a, int32_t n) {
    for (int32_t i = 0; i + 1 < n; i++)
        if (!(At(a, i) < At(a, i + 1))) return false;
    return true;
}
// Bad tables end the block with the result 0 (ERR 1-3).
void CurveLin(const Ctx &c) {
    const float x = c.o.R(0);
    int32_t nx = 0, ny = 0;
    const uint8_t *ax = RealArray(c.o, 1, nx), *ay = RealArray(c.o, 3, ny);
    float y = 0;
    bool ok = false;
    int32_t err = -1;
    if (ax == nullptr || ay == nullptr || nx < 2 || nx != ny)
        err = 1;
    else if (!Increasing(ax, nx))
        err = 2;
    else if (x < At(ax, 0)) {
        y = At(ay, 0);
        err = 4;
    } else {
        err = 5;
        y = At(ay, nx - 1);
        for (int32_t i = 0; i + 1 < nx; i++) {
            const float x0 = At(ax, i), x1 = At(ax, i + 1);
            if (x0 <= x && x <= x1) {
                y = At(ay, i) + (At(ay, i + 1) - At(ay, i)) / (x1 - x0) * (x - x0);
                ok = true;
                err = 0;
                break;
            }
        }
    }
    c.o.SetR(5, y);
    c.o.SetB(6, ok);
    c.o.SetD(7, err);
}
int32_t Segment(const uint8_t *a, int32_t n, float v) {
    for (int32_t i = 0; i + 1 < n; i++)
        if (At(a, i) <= v && v <= At(a, i + 1)) return i;
    return 0;
}
void SurfLin(const Ctx &c) {
    const float x = c.o.R(0), yv = c.o.R(1);
    int32_t nx = 0, ny = 0, nz = 0;
    const uint8_t *ax = RealArray(c.o, 2, nx), *ay = RealArray(c.o, 4, ny), *az = RealArray(c.o, 6, nz);
    float z = 0;
    bool ok = false;
    int32_t err = -1;
    if (ax == nullptr || ay == nullptr || az == nullptr || nx < 2 || ny < 2 || int64_t(nz) != int64_t(nx) * ny)
        err = 1;
    else if (!Increasing(ax, nx))
        err = 2;
    else if (!Increasing(ay, ny))
        err = 3;
    else {
        const float xc = std::fmin(std::fmax(x, At(ax, 0)), At(ax, nx - 1));
        const float yc = std::fmin(std::fmax(yv, At(ay, 0)), At(ay, ny - 1));
        if (xc != x)
            err = 4;
        else if (yc != yv)
            err = 5;
        else {
            ok = true;
            err = 0;
        }
        const int32_t i = Segment(ax, nx, xc), j = Segment(ay, ny, yc);
        const float z00 = At(az, int64_t(i) * ny + j), z01 = At(az, int64_t(i) * ny + j + 1);
        const float z10 = At(az, int64_t(i + 1) * ny + j), z11 = At(az, int64_t(i + 1) * ny + j + 1);
        const float t = yc - At(ay, j), h = At(ay, j + 1) - At(ay, j);
        const float a = z00 + (z01 - z00) / h * t;
        const float b = z10 + t * ((z11 - z10) / h);
        z = (b - a) / (At(ax, i + 1) - At(ax, i)) * (xc - At(ax, i)) + a;
    }
    c.o.SetR(8, z);
    c.o.SetB(9, ok);
    c.o.SetD(10, err);
}

// SIGPLAY: signal 0, output 4, loaded number 8, ET 12, last 16, last
// output 20, duration 24, end 28. Operands: IN, ID, RST, TMIN; END, Y, ET.
void SigLoad(const Ctx &c, int32_t id) {
    uint32_t points = 0;
    const uint32_t rec = Z7Sig_Record(c.db, id, &points);
    // a record of fewer than two points is no signal
    const bool ok = rec != 0 && points >= 2;
    c.s.SetU(0, ok ? rec : 0);
    c.s.SetU(24, ok ? Z7Mem_Get32(rec + 4 + 8 * (points - 1)) : 0);
    c.s.SetI(8, id);
}
float SigAt(const Ctx &c, uint32_t t) {
    const uint32_t rec = c.s.U(0);
    return rec ? Z7Sig_Value(rec, Z7Mem_Get32(rec), t) : 0.0f;
}
void SigPlay(const Ctx &c) {
    const bool rst = c.o.B(2);
    const int32_t id = c.o.D(1);
    if (!rst && id != c.s.I(8)) SigLoad(c, id);
    if (c.s.U(16) == 0) c.s.SetU(16, c.now);
    if (rst) {
        std::memset(c.s.p, 0, 32);
    } else if (c.o.B(0) && c.s.p[28] == 0 && c.s.U(0) != 0) {
        const uint32_t d = Elapsed(c.s.U(16), c.now);
        if (d != 0) {
            c.s.SetU(12, c.s.U(12) + d);
            const uint32_t dur = c.s.U(24), et = c.s.U(12);
            if (et >= dur) {
                if (c.s.U(20) == 0) {
                    c.s.SetF(4, SigAt(c, et));
                } else {
                    c.s.p[28] = 1;
                    c.s.SetU(12, dur);
                    c.s.SetF(4, SigAt(c, dur));
                }
                c.s.SetU(20, c.now);
            } else if (c.s.U(20) == 0 || Elapsed(c.s.U(20), c.now) >= c.o.Time(3)) {
                c.s.SetF(4, SigAt(c, et));
                c.s.SetU(20, c.now);
            }
        }
    }
    c.s.SetU(16, c.now);
    c.o.SetB(4, c.s.p[28]);
    // with no signal the outputs Y and ET keep their values
    if (c.s.U(0) != 0 || rst) {
        c.o.SetR(5, c.s.F(4));
        c.o.PutTime(6, c.s.U(12));
    }
}
void SigPlayKeep(const Ctx &c) {
    c.s.SetU(16, c.now);
    c.s.SetU(20, 0);
    SigLoad(c, c.s.I(8));
}

// ---- stacks and queues -------------------------------------------------------------------------------
// STACKINT: stack 0..511, count 512, size 516, previous PUSH 520, POP 521.
void StackInt(const Ctx &c) {
    const Inst &s = c.s;
    int32_t count = s.I(512), size = s.I(516);
    if (size < 0 || size > 128) size = 128;
    if (count < 0 || count > size) count = 0;
    const bool push = c.o.B(0), pop = c.o.B(1);
    if (c.o.B(2)) {
        const int32_t n = c.o.D(4);
        size = n < 0 ? 0 : n > 128 ? 128 : n;
        count = 0;
        c.o.SetB(6, false);
    } else if (pop && !s.p[521]) {
        if (count > 0) count--;
        c.o.SetB(6, false);
    } else if (push && !s.p[520]) {
        if (count < size) {
            s.SetI(4 * uint32_t(count), c.o.D(3));
            count++;
            c.o.SetB(6, false);
        } else {
            c.o.SetB(6, true);
        }
    }
    s.p[520] = push;
    s.p[521] = pop;
    s.SetI(512, count);
    s.SetI(516, size);
    c.o.SetB(5, count == 0);
    c.o.SetD(7, count > 0 ? s.I(4 * uint32_t(count - 1)) : 0);
}
void StackInit(const Ctx &c) { c.s.SetI(516, 128); }

// FIFO/LIFO: read 0, write 4, count 8, capacity 12, buffer 16, previous PUSH
// 20, POP 21. Operands: type (literal), PUSH, POP, RST, NEXTIN, NEXTOUT,
// buffer, count (literal); EMPTY, OFLO, COUNT, read, write.
// Element copies go through the lock test like every other write.
template <bool Lifo>
void Queue(const Ctx &c) {
    const Inst &s = c.s;
    const Z7Ops &o = c.o;
    const uint32_t type = o.Lit(0);
    c.o.SetB(9, false);
    uint32_t esize = 0;
    const int32_t cap = o.Lit(7);
    const uint32_t buf = type == 5 ? 0 : Z7Tools_GetArrayIn(o.db, type, o.Lit(6), cap, &esize);
    uint32_t outlk = 0, outsz = 0, inlk = 0, insz = 0;
    const uint32_t out = Z7Tools_GetAnyParam(o.db, type, o.Lit(5), &outlk, &outsz);
    const uint32_t in = Z7Tools_GetAnyParam(o.db, type, o.Lit(4), &inlk, &insz);
    auto empty = [&] {
        if (type == 5 && out != 0 && !outlk) {
            Z7Mem_Put8(out + 1, 0);
            Z7Mem_Put8(out + 2, 0);
        }
        o.SetB(8, true);
        o.SetD(10, 0);
        o.SetD(11, 0);
        o.SetD(12, 0);
    };
    if (buf == 0 || esize == 0 || cap <= 0 || out == 0 || in == 0) {
        empty();
        return;
    }
    if (s.U(16) == 0) {
        s.SetU(16, buf);
        s.SetU(12, uint32_t(cap));
    } else if (s.U(16) != buf || s.U(12) != uint32_t(cap)) {
        empty();
        return;
    }
    uint32_t rd = s.U(0), wr = s.U(4), n = s.U(8);
    const uint32_t capu = uint32_t(cap);
    if (rd >= capu || wr > capu || n > capu) rd = wr = n = 0;
    const bool push = o.B(1), pop = o.B(2);
    if (o.B(3)) {
        rd = wr = n = 0;
    } else if (pop && !s.p[21] && n > 0) {
        if (Lifo) {
            if (rd > 0) rd--;
            wr--;
        } else {
            rd = rd + 1 >= capu ? 0 : rd + 1;
        }
        n--;
    } else if (push && !s.p[20]) {
        if (n != capu && (!Lifo || wr < capu)) {
            std::memmove(Z7Mem_Ptr(buf + wr * esize, esize), Z7Mem_Ptr(in, esize), esize);
            if (Lifo) {
                if (n > 0) rd++;
                wr++;
            } else {
                wr = wr + 1 >= capu ? 0 : wr + 1;
            }
            n++;
        } else {
            o.SetB(9, true);
        }
    }
    s.p[20] = push;
    s.p[21] = pop;
    s.SetU(0, rd);
    s.SetU(4, wr);
    s.SetU(8, n);
    if (!outlk) {
        uint8_t *po = Z7Mem_Ptr(out, esize);
        if (n > 0)
            std::memmove(po, Z7Mem_Ptr(buf + rd * esize, esize), esize);
        else
            std::memset(po, 0, esize);
    }
    o.SetB(8, n == 0);
    o.SetD(10, int32_t(n));
    o.SetD(11, int32_t(rd));
    o.SetD(12, int32_t(wr));
}

// ---- counters outside the list -------------------------------------------------------------------------
void Ctu(const Ctx &c) {
    int32_t v = c.s.I(0);
    if (c.o.B(1))
        v = 0;
    else if (c.o.B(0) && v < c.o.D(2))
        v++;
    c.s.SetI(0, v);
    c.o.SetB(3, v >= c.o.D(2));
    c.o.SetD(4, v);
}
void Ctd(const Ctx &c) {
    int32_t v = c.s.I(0);
    if (c.o.B(1))
        v = c.o.D(2);
    else if (c.o.B(0) && v > 0)
        v--;
    c.s.SetI(0, v);
    c.o.SetB(3, v < 1);
    c.o.SetD(4, v);
}
void Ctud(const Ctx &c) {
    int32_t v = c.s.I(0);
    const int32_t pv = c.o.D(4);
    if (c.o.B(2))
        v = 0;
    else if (c.o.B(3))
        v = pv;
    else if (c.o.B(0)) {
        if (v < pv) v++;
    } else if (c.o.B(1) && v > 0) {
        v--;
    }
    c.s.SetI(0, v);
    c.o.SetB(5, v >= pv);
    c.o.SetB(6, v < 1);
    c.o.SetD(7, v);
}

constexpr Row kRows[Z7STFB_ROWS] = {
    {"R_TRIG", 4, 1, 0, 2, RTrig, RTrigInit, nullptr},
    {"F_TRIG", 5, 1, 0, 2, FTrig, nullptr, nullptr},
    {"RS", 2, 1, 0, 3, Rs, nullptr, nullptr},
    {"SR", 3, 1, 0, 3, Sr, nullptr, nullptr},
    {"CMP", 13, 4, 0, 5, Cmp, nullptr, nullptr},
    {"SEMA", 12, 1, 0, 3, Sema, nullptr, nullptr},
    {"TON", 9, 12, 0, 4, Ton, nullptr, KeepStamp},
    {"TOF", 10, 12, 0, 4, Tof, nullptr, KeepStamp},
    {"TP", 11, 12, 0, 4, Tp, nullptr, KeepStamp},
    {"BLINK", 19, 12, 0, 3, Blink, nullptr, KeepStamp},
    {"STACKINT", 14, 524, 0, 8, StackInt, StackInit, nullptr},
    {"SERIO", 21, 4, 0, 0, nullptr, nullptr, nullptr},
    {"SERIO_B", 55, 4, 1, 0, nullptr, nullptr, nullptr},
    {"AVERAGE", 17, 536, 0, 4, AverageT<false>, AverageInit, nullptr},
    {"HYSTER", 16, 1, 0, 4, Hyster, nullptr, nullptr},
    {"LIM_ALRM", 18, 2, 0, 7, LimAlrm, nullptr, nullptr},
    {"INTEGRAL", 20, 8, 0, 7, Integral, nullptr, IntegralKeep},
    {"DERIVATE", 15, 20, 0, 4, Derivate, DerivateInit, DerivateKeep},
    {"SIG_GEN", 1, 16, 0, 7, SigGen, nullptr, SigGenKeep},
    {"RAMP", 27, 20, 0, 6, Ramp, nullptr, nullptr},
    {"CURVELIN", 44, 0, 1, 8, CurveLin, nullptr, nullptr},
    {"SURFLIN", 45, 0, 1, 11, SurfLin, nullptr, nullptr},
    {"UNPACK8", 22, 0, 1, 9, Unpack8, nullptr, nullptr},
    {"TOFR", 23, 12, 0, 5, Tofr, nullptr, KeepStamp},
    {"TPR", 24, 12, 0, 5, Tpr, nullptr, KeepStamp},
    {"PLS", 25, 12, 0, 3, Pls, nullptr, KeepStamp},
    {"FLIPFLOP", 26, 2, 0, 3, FlipFlop, nullptr, nullptr},
    {"BLINKA", 28, 12, 0, 4, BlinkA, nullptr, KeepStamp},
    {"DTAT", 29, 12, 0, 7, DtAt, nullptr, nullptr},
    {"DTCURDATETIME", 46, 0, 1, 10, DtCurDateTime, nullptr, nullptr},
    {"DTEVERY", 30, 16, 0, 4, DtEvery, nullptr, DtEveryKeep},
    {"FIFO", 31, 24, 1, 13, Queue<false>, nullptr, nullptr},
    {"LIFO", 32, 24, 1, 13, Queue<true>, nullptr, nullptr},
    {"ALARM_M", 33, 1, 0, 5, AlarmM, nullptr, nullptr},
    {"ALARM_A", 34, 1, 0, 4, AlarmA, nullptr, nullptr},
    {"LOGFILECSV", 35, 2, 0, 0, nullptr, nullptr, nullptr},
    {"TMU", 36, 12, 0, 5, Tmu, nullptr, KeepStamp},
    {"TMUSEC", 52, 12, 0, 5, Tmusec, nullptr, TmusecKeep},
    {"TMD", 37, 12, 0, 5, Tmd, nullptr, KeepStamp},
    {"MBSLAVEUDP", 38, 4, 0, 0, nullptr, nullptr, nullptr},
    {"MBSLAVEUDPEX", 47, 4, 0, 0, nullptr, nullptr, nullptr},
    {"MBSLAVERTU", 39, 556, 0, 0, nullptr, nullptr, nullptr},
    {"MBSLAVERTUEX", 48, 556, 0, 0, nullptr, nullptr, nullptr},
    {"MBSLAVERTUEXD", 56, 556, 0, 0, nullptr, nullptr, nullptr},
    {"SIGPLAY", 40, 32, 0, 7, SigPlay, nullptr, SigPlayKeep},
    {"ISFCSTEP", 41, 12, 0, 6, SfcStep, nullptr, KeepStamp4},
    {"ISFCINITSTEP", 42, 12, 0, 6, SfcStep, SfcInitStep, KeepStamp4},
    {"AVERAGEL", 43, 1056, 0, 4, AverageT<true>, AverageLInit, nullptr},
    {"HYSTERACC", 54, 24, 0, 4, HysterAcc, nullptr, nullptr},
    {"CANRCVMSG", 0, 8, 1, 6, CanRcvMsg, nullptr, nullptr},
    {"MBMASTERTCP", 0, 0, 0, 0, nullptr, nullptr, nullptr},
    {"MBMASTERRTU", 0, 0, 0, 0, nullptr, nullptr, nullptr},
    {"MBSLAVETCP", 0, 0, 0, 0, nullptr, nullptr, nullptr},
    {"MBSLAVETCPEX", 0, 0, 0, 0, nullptr, nullptr, nullptr},
};
constexpr Row kCounters[3] = {
    {"CTU", 6, 4, 0, 5, Ctu, nullptr, nullptr},
    {"CTD", 7, 4, 0, 5, Ctd, nullptr, nullptr},
    {"CTUD", 8, 4, 0, 8, Ctud, nullptr, nullptr},
};

uint32_t Dispatch(const Row &r, uint32_t cmd, uint32_t db, uint32_t inst, uint32_t arg) {
    switch (cmd) {
    case FB_CLASSNO: return r.classno;
    case FB_INSTSIZE: return r.size;
    case FB_AVAIL: return r.avail;
    case FB_EXEC:
    case FB_INSTINIT:
    case FB_INSTKEEP: break;
    default: return 0;
    }
    const LifeFn fn = cmd == FB_EXEC ? r.exec : cmd == FB_INSTINIT ? r.init : r.keep;
    if (fn == nullptr) return 0;
    uint8_t dummy[8] = {};
    uint8_t *ip = r.size ? Z7Mem_Ptr(inst, r.size) : dummy;
    if (ip == nullptr || db == 0) return 0;
    const uint32_t now = Z7Mem_Get32(Z7VM_Status(db) + ST_STAMP);
    // the instance commands read no operand
    Z7Ops o;
    o.db = db;
    if (cmd == FB_EXEC ? !Z7Ops_Open(db, arg, r.need, o) || o.desc == nullptr : Z7Mem_Ptr(db, Z7_DESC_TABLE) == nullptr)
        return 0;
    fn(Ctx{o, Inst{ip}, now, db});
    return 0;
}
template <uint32_t Id>
uint32_t Entry(uint32_t cmd, uint32_t db, uint32_t, uint32_t inst, uint32_t arg) {
    return Dispatch(kRows[Id], cmd, db, inst, arg);
}
template <uint32_t Id>
uint32_t CounterEntry(uint32_t cmd, uint32_t db, uint32_t, uint32_t inst, uint32_t arg) {
    return Dispatch(kCounters[Id], cmd, db, inst, arg);
}
template <uint32_t... Ids>
constexpr std::array<FbHandler, sizeof...(Ids)> Entries(std::integer_sequence<uint32_t, Ids...>) {
    return {&Entry<Ids>...};
}
constexpr std::array<FbHandler, Z7STFB_ROWS> kEntries = Entries(std::make_integer_sequence<uint32_t, Z7STFB_ROWS>{});
}  // namespace

const char *Z7Stfb_GetName(uint32_t id) { return id < Z7STFB_ROWS ? kRows[id].name : nullptr; }
// A row without its routine has no handler (the block counts as absent).
FbHandler (*Z7Stfb_LibProc)(uint32_t id) = nullptr;
FbHandler (*Z7Stfb_UpperProc)(uint32_t id) = nullptr;
FbHandler Z7Stfb_GetProc(uint32_t id) {
    if (id < Z7STFB_ROWS && kRows[id].exec == nullptr) {
        const FbHandler lib = Z7Stfb_LibProc != nullptr ? Z7Stfb_LibProc(id) : nullptr;
        return lib != nullptr || Z7Stfb_UpperProc == nullptr ? lib : Z7Stfb_UpperProc(id);
    }
    return id < Z7STFB_ROWS && kRows[id].exec != nullptr ? kEntries[id] : nullptr;
}
FbHandler Z7Stfb_Counter(uint32_t which) {
    switch (which) {
    case 0: return CounterEntry<0>;
    case 1: return CounterEntry<1>;
    case 2: return CounterEntry<2>;
    default: return nullptr;
    }
}
