// Range tests, byte load and store, and the single-opcode calls of the
// instruction library (counters, timers, clock set, sun position).
#include "core/image/rtc.h"
#include "ladder/ladint.h"

namespace {

template <typename T>
bool InRange(T lo, T hi, T x) {
    if (lo < hi) return lo <= x && x <= hi;
    return x >= lo || x <= hi;
}

template <int OP>
int Op_Range() {  // 192, 193, 194
    constexpr uint32_t entries = OP == LOP_RANGE16 ? 3 : 6;
    if (lad.lsp < 1 || !LadWHas(entries)) return LAD_FAULT;
    bool on;
    if (OP == LOP_RANGE16) {
        const int16_t x = int16_t(LadWPop()), hi = int16_t(LadWPop()), lo = int16_t(LadWPop());
        on = InRange(lo, hi, x);
    } else if (OP == LOP_RANGE32) {
        const int32_t x = int32_t(LadWPop32()), hi = int32_t(LadWPop32()), lo = int32_t(LadWPop32());
        on = InRange(lo, hi, x);
    } else {
        const float x = LadF(LadWPop32()), hi = LadF(LadWPop32()), lo = LadF(LadWPop32());
        on = InRange(lo, hi, x);
    }
    l_stack[lad.lsp - 1] = on ? 1 : 0;
    return LAD_GO;
}

template <bool S>
int Op_LoadByte() {  // 195
    if (!LadWRoom(1)) return LAD_FAULT;
    const uint32_t b = LadByteIdx<S>(lad.cur);
    if (!LadBytesFit(b, 1)) {
        LadWPush(0);
        LadPowerClear();
    } else {
        LadWPush(plc_reg[b]);
    }
    return LAD_GO;
}
template <bool S>
int Op_StoreByte() {  // 196
    if (!LadWHas(1)) return LAD_FAULT;
    const uint16_t v = LadWPop();
    const uint32_t b = LadByteIdx<S>(lad.cur);
    if (!LadBytesFit(b, 1) || LadCut())
        LadPowerClear();
    else
        plc_reg[b] = uint8_t(v);
    return LAD_GO;
}

int Op_Counter32() {  // 199
    if (lad.lsp < 1) return LAD_FAULT;
    l_stack[lad.lsp - 1] = uint8_t(Logic32bCounters(&lad.cur, l_stack[lad.lsp - 1]));
    return LAD_GO;
}
int Op_Counter() {  // 200..203: the routine reads the opcode
    if (lad.lsp < 1) return LAD_FAULT;
    lad.cur.pos = lad.op_pos - 1;
    l_stack[lad.lsp - 1] = uint8_t(LogicCounters(&lad.cur, l_stack[lad.lsp - 1]));
    return LAD_GO;
}
int Op_Timer() {  // 204..215: the routine reads the opcode
    if (lad.lsp < 1) return LAD_FAULT;
    lad.cur.pos = lad.op_pos - 1;
    l_stack[lad.lsp - 1] = uint8_t(LogicTimers(&lad.cur, l_stack[lad.lsp - 1], time_frt_100us));
    return LAD_GO;
}

// 230: set the clock from register words K .. K + 6 while the power is true.
template <bool S>
int Op_ClockSet() {
    if (lad.lsp < 1) return LAD_FAULT;
    const uint32_t k = LadWordOp<S>(lad.cur, 7);
    uint8_t &power = l_stack[lad.lsp - 1];
    if (!power || LadCut()) return LAD_GO;
    if (k == LAD_NOREF) {
        power = 0;
        return LAD_GO;
    }
    uint16_t rec[7];
    for (uint32_t i = 0; i < 7; i++) rec[i] = LadGet16(k + i);
    power = RtcSet(rec) ? 1 : 0;
    return LAD_GO;
}

// 244: sun position from the clock block T and the location A (longitude),
// B (latitude) into P (zenith) and Q (azimuth).
template <bool S>
int Op_SunPos() {
    const uint32_t t = LadWordOp<S>(lad.cur, 6);
    const uint32_t a = LadWordOp<S>(lad.cur, 2);
    const uint32_t b = LadWordOp<S>(lad.cur, 2);
    const uint32_t p = LadWordOp<S>(lad.cur, 2);
    const uint32_t q = LadWordOp<S>(lad.cur, 2);
    if (LadCut()) return LAD_GO;
    if (t == LAD_NOREF || a == LAD_NOREF || b == LAD_NOREF || p == LAD_NOREF || q == LAD_NOREF) {
        LadPowerClear();
        return LAD_GO;
    }
    int32_t tm[6];
    for (uint32_t i = 0; i < 6; i++) tm[i] = LadGet16(t + 5 - i);
    const double loc[2] = {double(LadF(LadGet32(a))), double(LadF(LadGet32(b)))};
    double res[2];
    sunpos(tm, loc, res);
    LadSet32(p, LadBits(float(res[0])));
    LadSet32(q, LadBits(float(res[1])));
    return LAD_GO;
}

template <bool S>
void Fill(LadOp *t) {
    t[LOP_RANGE16] = Op_Range<LOP_RANGE16>;
    t[LOP_RANGE32] = Op_Range<LOP_RANGE32>;
    t[LOP_RANGE_REAL] = Op_Range<LOP_RANGE_REAL>;
    t[LOP_LOAD_BYTE] = Op_LoadByte<S>;
    t[LOP_STORE_BYTE] = Op_StoreByte<S>;
    t[LOP_COUNTER32] = Op_Counter32;
    for (unsigned op = LOP_CTU; op <= LOP_CTD_K; op++) t[op] = Op_Counter;
    for (unsigned op = LOP_TON_10MS; op <= LOP_TRET_100MS_K; op++) t[op] = Op_Timer;
    t[LOP_CLOCK_SET] = Op_ClockSet<S>;
    t[LOP_SUNPOS] = Op_SunPos<S>;
}

}  // namespace

void LadLib_Fill() {
    Fill<true>(lad_ops16);
    Fill<false>(lad_opsx);
}
