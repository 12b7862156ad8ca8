// PID loop step, relay auto-tune, the ladder PID instructions (240..243 and
// their pointer forms 523..526) and the alarm-handler instruction (528).
//
// The step computes in integers with saturating 32-bit helpers; products that
// can outgrow 32 bits over a long gap between steps (integral, auto-tune
// period) are formed in 64 bits and saturated before they are narrowed.
#include "ladder/ladpid.h"

#include <algorithm>
#include <climits>

#include "ladder/ladint.h"

std::array<PidState, PID_LOOPS> pid_st;
std::array<PidTune, PID_LOOPS> pid_at;
PidScratch pid_int;
uint8_t repeat;
uint16_t alarm_handler_state;

const std::array<std::array<int32_t, 6>, 12> rule = {{
    {10, 17, 1, 20000000, 1, 800},
    {1, 3, 1, 20000000, 1, 800},
    {1, 5, 1, 20000000, 1, 800},
    {10, 85, 1, 20000000, 1, 800},
    {10, 22, 1, 12000000, 0, 1},
    {10, 37, 1, 12000000, 0, 1},
    {10, 62, 1, 12000000, 0, 1},
    {1, 10, 1, 12000000, 0, 1},
    {1, 2, 1, 0, 0, 1},
    {10, 34, 1, 0, 0, 1},
    {10, 57, 1, 0, 0, 1},
    {10, 95, 1, 0, 0, 1},
}};

namespace {

inline int32_t Sat(int64_t v) { return v > INT32_MAX ? INT32_MAX : (v < INT32_MIN ? INT32_MIN : int32_t(v)); }
inline int32_t Sat16(int64_t v) { return v > 32767 ? 32767 : (v < -32768 ? -32768 : int32_t(v)); }
inline int32_t S16(uint16_t v) { return int16_t(v); }

// 64-bit product saturated to the 64-bit range.
inline int64_t SatMul64(int64_t a, int64_t b) {
    int64_t r;
    if (__builtin_mul_overflow(a, b, &r)) return ((a < 0) != (b < 0)) ? INT64_MIN : INT64_MAX;
    return r;
}

// Integral term of one step (block word 5 = n).
int32_t Integral(PidState &st, const uint16_t *w, int32_t e, uint32_t elapsed) {
    const uint32_t n = w[PID_IRATE];
    if (n == 0) {
        st.int_rem = 0;
        st.int_acc = 0;
        return 0;
    }
    const int64_t v = n >= 2 ? int64_t(n / 2) * e : int64_t(e);
    int64_t p = v * int64_t(elapsed);  // |v| < 2^30, elapsed < 2^32: no overflow
    if (w[PID_CTRL] & PID_B_GAINALL) p = SatMul64(p, S16(w[PID_GAIN]));
    const int32_t q = Sat(p / 100);
    const int32_t t = Sat(int64_t(q) + st.int_rem);
    st.int_rem = int16_t(t - 100 * (t / 100));
    st.int_acc = Sat(int64_t(st.int_acc) + t / 100);
    return n >= 2 ? st.int_acc / 500 : st.int_acc / 1000;
}

// Puts the integral where the unlimited output would equal out.
void BackCalc(PidState &st, const uint16_t *w, int32_t out, int32_t e, int32_t d) {
    const uint32_t n = w[PID_IRATE];
    if (n == 0) {
        pid_int.i = 0;
        st.int_rem = 0;
        st.int_acc = 0;
        return;
    }
    const int64_t gain = S16(w[PID_GAIN]), bias = S16(w[PID_BIAS]);
    int32_t needed;
    if (w[PID_CTRL] & PID_B_GAINALL)
        needed = Sat(100 * (int64_t(out) - bias) - Sat(int64_t(Sat(int64_t(e) + d)) * gain));
    else
        needed = Sat(int64_t(Sat(int64_t(out) - bias - d)) - gain * e / 100);
    st.int_acc = Sat(int64_t(needed) * (n == 1 ? 1000 : 500));
    st.int_rem = 0;
    pid_int.i = st.int_acc;
}

// Time-proportioned (or on/off) output, stepped on each computation.
void TimeProportion(PidState &st, const uint16_t *w, int32_t out, uint32_t now) {
    const int32_t cycle = S16(w[PID_CYCLE]), lo = S16(w[PID_OUT_LO]), hi = S16(w[PID_OUT_HI]);
    if (cycle <= 0) {
        if (now - st.cycle_start < 5000) return;  // at most one change per 0.5 s
        const uint8_t off = out < (lo + hi) / 2 ? 1 : 0;
        if (off != st.off) {
            st.off = off;
            st.cycle_start = now;
        }
        return;
    }
    const uint32_t len = uint32_t(cycle) * 10000u;
    switch (st.tp_state) {
    case 2: {
        const uint32_t since = now - st.cycle_start;
        if (since >= len) {
            st.tp_state = 0;
            st.off = 0;
        } else if (out == hi) {
            st.off = 0;
        } else if (hi != lo && int64_t(since / uint32_t(cycle)) <= int64_t(out - lo) * 10000 / (hi - lo)) {
            st.off = 0;
        } else {
            st.off = 1;
            st.tp_state = 3;
        }
        break;
    }
    case 3:
        if (now - st.cycle_start >= len) {
            st.tp_state = 0;
            st.off = 0;
        } else {
            st.off = 1;
        }
        break;
    default:  // 0 (stamp the cycle) and 1
        if (st.tp_state != 1) st.cycle_start = now;
        if (out == lo) {
            st.tp_state = 0;
            st.off = 1;
        } else {
            st.tp_state = 2;
            st.off = 0;
        }
        break;
    }
}

// One step of the relay auto-tune.
void TuneStep(PidCall *call, PidTune &at, const PidState &st, uint16_t *w) {
    const uint16_t ctrl = w[PID_CTRL];
    if (at.state == 0 || at.state > 7) {
        repeat = 1;
        at.hyst = int16_t(25 << ((call->options >> 5) & 7));
        at.sp = (call->mode & PID_M_TWO3) ? int16_t(S16(w[PID_SP]) * 2 / 3) : int16_t(w[PID_SP]);
        at.manual = 1;
        at.raise = 0;
        at.lower = 0;
        at.saved_out = int16_t(w[PID_OUT]);
        w[PID_OUT] = w[PID_OUT_LO];
        at.state = 1;
        w[PID_IRATE] = 0;
        return;
    }
    const int32_t pv = S16(w[PID_PV]);
    const int32_t e = (ctrl & PID_B_REVERSE) ? pv - at.sp : at.sp - pv;
    switch (at.state) {
    case 1:
        if (e > at.hyst) {
            w[PID_OUT] = w[PID_OUT_HI];
            at.state = 2;
        }
        w[PID_IRATE] = 0;
        break;
    case 2:
        if (e < -at.hyst) {
            w[PID_OUT] = w[PID_OUT_LO];
            // The shared count stops at 0 rather than wrapping to 255: a
            // second loop tuning at the same time would otherwise run 255
            // more preliminary half-cycles.
            if (repeat > 0) {
                repeat--;
                at.state = 1;
            } else {
                at.state = 3;
            }
        }
        w[PID_IRATE] = 0;
        break;
    case 3:
        if (e > at.hyst) {
            w[PID_OUT] = w[PID_OUT_HI];
            at.t1 = st.last_time;
            at.state = 4;
        }
        at.emax = 0;
        w[PID_IRATE] = 0;
        break;
    case 4:
        // The error of a 16-bit set-point and process value can exceed the
        // 16-bit record: it is kept at the nearest limit, not wrapped.
        at.emax = int16_t(std::max<int32_t>(at.emax, Sat16(e)));
        if (e < -at.hyst) {
            w[PID_OUT] = w[PID_OUT_LO];
            at.state = 5;
        }
        at.emin = 0;
        w[PID_IRATE] = 0;
        break;
    case 5:
        at.emin = int16_t(std::min<int32_t>(at.emin, Sat16(e)));
        if (e > at.hyst) {
            w[PID_OUT] = uint16_t(at.saved_out);
            at.t2 = st.last_time;
            at.state = 6;
        }
        w[PID_IRATE] = 0;
        break;
    case 6: {
        const int64_t p2 = 2 * int64_t(uint32_t(at.t2 - at.t1));
        const int64_t a2 = 2 * (int64_t(at.emax) - at.emin);
        if (p2 <= 0 || a2 <= 0) {
            at.state = 0;
            break;
        }
        at.manual = (ctrl & PID_B_MANUAL) ? 1 : 0;
        at.raise = (ctrl & PID_B_RAISE) ? 1 : 0;
        at.lower = (ctrl & PID_B_LOWER) ? 1 : 0;
        const unsigned group = (call->options >> 1) & 3, column = (call->options >> 3) & 3;
        const auto &r = rule[std::min(group, 2u) * 4 + column];
        const int64_t k = (9040 * (int64_t(S16(w[PID_OUT_HI])) - S16(w[PID_OUT_LO])) / 71) / a2;
        const int64_t gain = std::min<int64_t>(int64_t(r[0]) * k / r[1], 32767);
        w[PID_GAIN] = uint16_t(int16_t(gain));
        int64_t integral = r[3] / (p2 * r[2]);
        if (!(ctrl & PID_B_GAINALL)) integral = gain * integral / 100;
        at.integral = uint16_t(std::clamp<int64_t>(integral, 0, 65535));
        w[PID_IRATE] = at.integral;
        int64_t der = p2 * r[4] / r[5];
        if (!(ctrl & PID_B_GAINALL)) der = der * gain / 100;
        if (ctrl & PID_B_DRAW) der *= 100;
        der = std::min<int64_t>(der, 32767);
        w[PID_DGAIN] = uint16_t(int16_t((ctrl & PID_B_DPV) ? -der : der));
        at.state = 7;
        break;
    }
    default:  // 7: finished until the request goes away
        call->mode |= PID_M_DONE;
        break;
    }
}

uint32_t Result(const PidState &st, const uint16_t *w) {
    const uint16_t ctrl = w[PID_CTRL];
    if (S16(w[PID_DB_HI]) < S16(w[PID_DB_LO])) return (ctrl & PID_B_TPO) ? 1 : 2;
    if (S16(w[PID_OUT_HI]) < S16(w[PID_OUT_LO])) return (ctrl & PID_B_TPO) ? 1 : 3;
    if (!(ctrl & PID_B_TPO)) return 0;
    return st.off ^ ((ctrl & PID_B_INVERT) ? 1u : 0u);
}

void Compute(PidCall *call, PidState &st, PidTune &at, uint16_t *w, uint32_t elapsed) {
    const uint32_t now = call->time;
    const bool tune = call->mode & PID_M_TUNE;
    pid_int.elapsed = elapsed;
    if (tune) {
        at.integral = w[PID_IRATE];
        TuneStep(call, at, st, w);
    } else {
        at.manual = (w[PID_CTRL] & PID_B_MANUAL) ? 1 : 0;
        at.raise = (w[PID_CTRL] & PID_B_RAISE) ? 1 : 0;
        at.lower = (w[PID_CTRL] & PID_B_LOWER) ? 1 : 0;
    }
    const uint16_t ctrl = w[PID_CTRL];
    const int32_t sp = S16(w[PID_SP]), pv = S16(w[PID_PV]);
    const int32_t gain = S16(w[PID_GAIN]);

    // Error with dead band.
    int32_t e = (ctrl & PID_B_REVERSE) ? pv - sp : sp - pv;
    const int32_t db_hi = S16(w[PID_DB_HI]), db_lo = S16(w[PID_DB_LO]);
    if (db_lo < e && e < db_hi) {
        e = 0;
    } else if (ctrl & PID_B_DBSUB) {
        if (e >= db_hi)
            e -= db_hi;
        else if (e <= db_lo)
            e -= db_lo;
    }
    e = Sat16(e);
    pid_int.e = int16_t(e);

    // Derivative on the error or the process value.
    const int32_t x = (ctrl & PID_B_DPV) ? pv : e;
    const int32_t dx = x - st.prev_x;
    st.prev_x = int16_t(x);
    int32_t d = 0;
    const int32_t dgain = S16(w[PID_DGAIN]);
    if (dgain != 0) {
        if (ctrl & PID_B_DRAW)
            d = Sat(int64_t(dgain) * dx / int64_t(elapsed));
        else
            d = Sat(int64_t(Sat(int64_t(dx) * (dgain * 100))) / int64_t(elapsed));
    }
    pid_int.d = d;

    const int16_t rem0 = st.int_rem;
    const int32_t acc0 = st.int_acc;
    const bool manual = at.manual != 0;
    int32_t out;
    if (manual) {
        int32_t m = S16(w[PID_OUT]);
        if (at.raise && m < 32767) m++;
        if (at.lower && m > -32768) m--;
        w[PID_OUT] = uint16_t(int16_t(m));
        out = m;
        pid_int.i = 0;
    } else {
        pid_int.i = Integral(st, w, e, elapsed);
        const int32_t p = (ctrl & PID_B_GAINALL) ? e : e * gain / 100;
        out = Sat(int64_t(d) + p);
        if (ctrl & PID_B_GAINALL)
            out = Sat(int64_t(Sat(int64_t(out) * gain)) + pid_int.i) / 100;
        else
            out = Sat(int64_t(out) + pid_int.i);
        out = Sat(int64_t(out) + S16(w[PID_BIAS]));
    }

    // Slew-rate limit.
    if (w[PID_SLEW] != 0) {
        const uint64_t num = std::min<uint64_t>(uint64_t(elapsed) * 320u, INT32_MAX) + st.slew_rem;
        const uint64_t den = uint64_t(w[PID_SLEW]) * 100u;
        const int64_t step = int64_t(num / den);
        st.slew_rem = uint32_t(num % den);
        const int64_t diff = int64_t(out) - st.prev_out;
        if (diff > step || -diff > step) {
            out = int32_t(st.prev_out + (diff > 0 ? step : -step));
            if (!(ctrl & PID_B_MANUAL)) {
                out = Sat16(out);
                BackCalc(st, w, out, e, d);
            }
        }
    }

    // Output limits.
    const int32_t hi = S16(w[PID_OUT_HI]), lo = S16(w[PID_OUT_LO]);
    bool limited = false;
    if (out >= hi) {
        out = hi;
        limited = true;
    } else if (out <= lo) {
        out = lo;
        limited = true;
    }
    if (manual) {
        BackCalc(st, w, out, e, d);  // bumpless return to automatic
    } else {
        if (limited) {
            if (ctrl & PID_B_FREEZE) {
                st.int_rem = rem0;
                st.int_acc = acc0;
            } else {
                BackCalc(st, w, out, e, d);
            }
        }
        w[PID_OUT] = uint16_t(int16_t(out));
    }
    pid_int.out = out;
    st.last_out = int16_t(out);
    st.prev_out = int16_t(out);
    if (ctrl & PID_B_TPO) TimeProportion(st, w, out, now);
    if (ctrl & PID_B_INVERT)
        w[PID_FINAL] = uint16_t(out == -32768 ? 32767 : -out);
    else
        w[PID_FINAL] = uint16_t(int16_t(out));
    if (tune) w[PID_IRATE] = at.integral;
}

}  // namespace

uint32_t adds32_limited(int32_t a, int32_t b, int32_t *out) {
    const int64_t r = int64_t(a) + b;
    *out = Sat(r);
    return *out != r;
}
uint32_t subs32_limited(int32_t a, int32_t b, int32_t *out) {
    const int64_t r = int64_t(a) - b;
    *out = Sat(r);
    return *out != r;
}
uint32_t muls32_limited(int32_t a, int32_t b, int32_t *out) {
    const int64_t r = int64_t(a) * b;
    *out = Sat(r);
    return *out != r;
}

uint32_t fbk_pid(PidCall *call, uint16_t *w) {
    if (call->loop >= PID_LOOPS) return 4;
    PidState &st = pid_st[call->loop];
    PidTune &at = pid_at[call->loop];
    const uint32_t now = call->time;
    if (w[PID_CTRL] & PID_B_INIT) {
        st.cycle_start = now;
        st.last_time = now;
        st.tp_state = 0;
        st.off = 1;
        return 1;
    }
    if (call->mode & PID_M_TUNE) {
        if (at.state == 7) call->mode |= PID_M_DONE;
    } else {
        call->mode &= uint8_t(~PID_M_DONE);
        at.state = 0;
    }
    if (S16(w[PID_DB_HI]) < S16(w[PID_DB_LO]) || S16(w[PID_OUT_HI]) < S16(w[PID_OUT_LO])) return Result(st, w);
    const uint32_t elapsed = now - st.last_time;
    if (elapsed >= 100u * w[PID_PERIOD] && elapsed > 99) {
        st.last_time = now;
        Compute(call, st, at, w, elapsed);
    }
    return Result(st, w);
}

uint32_t IEC_NON_IEC_PidParser(LadCursor *pc, uint16_t opcode, uint32_t time, uint8_t *power, uint32_t form) {
    LadCursor &c = *pc;
    const bool tune_form =
        opcode == LOP_PID_AT || opcode == LOP_PID_G_AT || opcode == LOP_PID_X_AT || opcode == LOP_PID_X_G_AT;
    const bool gain_all =
        opcode == LOP_PID_G || opcode == LOP_PID_G_AT || opcode == LOP_PID_X_G || opcode == LOP_PID_X_G_AT;
    auto word_idx = [&c] { return RegTokLen_16b ? LadWordIdx<true>(c) : LadWordIdx<false>(c); };

    const uint16_t loop = LadWord(c);
    const uint32_t b = word_idx();
    const uint32_t s = word_idx();
    const uint32_t v = word_idx();
    const uint32_t bm = LadBitRefX(c), br = LadBitRefX(c), bl = LadBitRefX(c);
    uint32_t bt = 0, bd = 0;
    uint16_t settings = 0;
    if (tune_form) {
        bt = LadBitRefX(c);
        settings = LadWord(c);
    }
    const uint32_t o = word_idx();
    if (tune_form) bd = LadBitRefX(c);
    if (c.bad || !*power) return c.pos;  // cut short or rung off: nothing written

    // Where the block lies: register B, or the byte offset held in B, B + 1.
    // A byte offset reaches the whole image, as every byte pointer does.
    uint32_t at = LAD_NOREF;
    if (form == 0) {
        if (LadWordsFit(b, PID_WORDS)) at = 2 * b;
    } else if (LadWordsFit(b, 2)) {
        const uint32_t off = LadGet32(b);
        if (LadPtrFits(off, 2 * PID_WORDS)) at = off;
    }
    if (loop >= PID_LOOPS || at == LAD_NOREF || !LadWordsFit(s, 1) || !LadWordsFit(v, 1) || !LadWordsFit(o, 1) ||
        bm == LAD_NOREF || br == LAD_NOREF || bl == LAD_NOREF || (tune_form && (bt == LAD_NOREF || bd == LAD_NOREF))) {
        *power = 0;
        return c.pos;
    }

    uint16_t w[PID_WORDS];
    for (unsigned i = 0; i < PID_WORDS; i++) w[i] = LE_Get16(plc_reg.data() + at + 2 * i);
    uint16_t ctrl = uint16_t((w[PID_CTRL] & ~(PID_B_GAINALL | PID_B_INIT)) | PID_B_INUSE);
    if (gain_all) ctrl |= PID_B_GAINALL;
    if (LadFirstScan()) ctrl |= PID_B_INIT;
    w[PID_PV] = LadGet16(v);
    if (!(ctrl & PID_B_HOLDSP)) {
        w[PID_SP] = LadGet16(s);
        ctrl &= uint16_t(~(PID_B_MANUAL | PID_B_RAISE | PID_B_LOWER));
        if (LadGetBit(bm)) ctrl |= PID_B_MANUAL;
        if (LadGetBit(br)) ctrl |= PID_B_RAISE;
        if (LadGetBit(bl)) ctrl |= PID_B_LOWER;
    }
    w[PID_CTRL] = ctrl;

    PidCall call{time, loop, 0, 0};
    if (tune_form) {
        if (LadGetBit(bt)) call.mode |= PID_M_TUNE;
        call.mode |= uint8_t(settings);
        call.options |= uint8_t(settings >> 8);
    }
    if (fbk_pid(&call, w) & 0xFFFF) *power = 0;
    LadSet16(o, w[PID_FINAL]);
    if (tune_form) LadSetBit(bd, call.mode & PID_M_DONE);
    for (unsigned i = 0; i < PID_WORDS; i++) LE_Put16(plc_reg.data() + at + 2 * i, w[i]);
    return c.pos;
}

uint32_t Alarm_Handler(LadCursor *pc, uint8_t *power) {
    LadCursor &c = *pc;
    uint16_t op[9];
    for (uint16_t &x : op) x = LadWord(c);
    if (c.bad) return c.pos;
    const uint16_t count = op[0];
    // The two register word numbers name 32-bit values of the list; the
    // routine only reads them (an index outside the image reads as 0).
    for (unsigned k = 0; k < 2; k++) (void)(LadWordsFit(op[3 + k], 2) ? LadGet32(op[3 + k]) : 0u);
    uint16_t latches = uint16_t(alarm_handler_state >> 12);
    uint16_t cur = uint16_t(alarm_handler_state & 0x0FFF);
    for (unsigned k = 0; k < 4; k++) {
        const uint32_t ref = op[5 + k];
        const bool on = ref >= 1024 && ref < LAD_BIT_END && LadGetBit(ref);
        const uint16_t m = uint16_t(1u << k);
        if (!on) {
            latches &= uint16_t(~m);
            continue;
        }
        if (latches & m) continue;
        latches |= m;
        if (!*power || count == 0) continue;
        if (k == 0)
            cur = uint16_t((cur + 1u) % count);  // next
        else if (k == 1)
            cur = uint16_t(cur == 0 ? count - 1u : cur - 1u);  // previous
    }
    if (cur >= count || cur >= 0x1000) cur = 0;
    alarm_handler_state = uint16_t((latches << 12) | (cur & 0x0FFF));
    return c.pos;
}

namespace {

template <uint16_t OP, uint32_t FORM>
int Op_Pid() {
    if (lad.lsp < 1) return LAD_FAULT;
    IEC_NON_IEC_PidParser(&lad.cur, OP, local_frt_100us, &l_stack[lad.lsp - 1], FORM);
    return LAD_GO;
}

int Op_AlarmHandler() {
    if (lad.lsp < 1) return LAD_FAULT;
    Alarm_Handler(&lad.cur, &l_stack[lad.lsp - 1]);
    return LAD_GO;
}

void Set(unsigned op, LadOp f) { lad_ops16[op] = lad_opsx[op] = f; }

}  // namespace

void LadPid_Fill() {
    Set(LOP_PID, Op_Pid<LOP_PID, 0>);
    Set(LOP_PID_G, Op_Pid<LOP_PID_G, 0>);
    Set(LOP_PID_AT, Op_Pid<LOP_PID_AT, 0>);
    Set(LOP_PID_G_AT, Op_Pid<LOP_PID_G_AT, 0>);
    Set(LOP_PID_X, Op_Pid<LOP_PID_X, 1>);
    Set(LOP_PID_X_G, Op_Pid<LOP_PID_X_G, 1>);
    Set(LOP_PID_X_AT, Op_Pid<LOP_PID_X_AT, 1>);
    Set(LOP_PID_X_G_AT, Op_Pid<LOP_PID_X_G_AT, 1>);
    Set(LOP_ALARM_HANDLER, Op_AlarmHandler);
}
