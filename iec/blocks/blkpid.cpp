// PID blocks: configuring a loop's 16-word register block (INT and REAL
// forms), its manual output, and one engine step per call with the ladder's
// PID engine. Step-block instance: u8 halted, u8 loop number (taken from
// pid_Instance at command 6).
#include <cmath>

#include "core/image/timebase.h"
#include "iec/blocks/blkform.h"
#include "iec/blocks/blkpid.h"
#include "ladder/ladpid.h"

uint32_t pid_Instance = 0;

namespace {
// Register block: INT array operand 0, 16 words, found as every array
// operand is (in the complex-type segment when the application has one); a
// block that does not lie whole in its segment is used by no block.
uint8_t *Block(const Z7Ops &o) { return Blk_Array(o, 0, 11, PID_WORDS); }
bool ReadBlock(const Z7Ops &o, uint16_t w[PID_WORDS]) {
    const uint8_t *b = Block(o);
    if (b == nullptr) return false;
    for (uint32_t k = 0; k < PID_WORDS; k++) w[k] = LE_Get16(b + 2 * k);
    return true;
}
void WriteWords(const Z7Ops &o, const uint16_t *w, uint32_t n) {
    uint8_t *b = Block(o);
    if (b == nullptr) return;
    for (uint32_t k = 0; k < n; k++) LE_Put16(b + 2 * k, w[k]);
}

int32_t InRange(int32_t v, int32_t lo, int32_t hi) { return v >= lo && v <= hi ? v : 0; }

// Options: reverse acting, derivative on the process value, the invert
// option, raw derivative.
uint16_t Options(const Z7Ops &o, uint32_t k) {
    return uint16_t((o.B(k) ? PID_B_REVERSE : 0) | (o.B(k + 1) ? PID_B_DPV : 0) | (o.B(k + 2) ? PID_B_INVERT : 0) |
                    (o.B(k + 3) ? PID_B_DRAW : 0));
}

// SETPID: block, period, dead band upper and lower, gain, derivative,
// integral, bias, high and low clamps, slew limit, four options.
void SetPid(const Z7Ops &o) {
    uint16_t w[11] = {};
    w[0] = uint16_t(InRange(o.I(1), 0, 32767));
    w[1] = uint16_t(InRange(o.I(2), 0, 32000));
    w[2] = uint16_t(InRange(o.I(3), 0, 32000));
    w[3] = uint16_t(InRange(o.I(4), 0, 327));
    w[4] = uint16_t(InRange(o.I(5), 0, 327));
    w[5] = uint16_t(InRange(o.I(6), 0, 32));
    for (uint32_t k = 6; k <= 8; k++) w[k] = uint16_t(InRange(o.I(k + 1), -32000, 32000));
    w[9] = uint16_t(InRange(o.I(10), 0, 32000));
    w[10] = Options(o, 11);
    WriteWords(o, w, 11);
}

// Gain-like REAL as thousandths in a 16-bit word; limit (exclusive) in units.
uint16_t Thousandths(float v, float limit) {
    return v >= 0.0f && v < limit ? uint16_t(uint32_t(double(v) * 1000.0 + 0.5)) : 0;
}
// SETPID_R: as SETPID with REAL gain, derivative, integral, bias and clamps,
// then a REAL scale. Gain and derivative must fit 16 bits as thousandths.
void SetPidR(const Z7Ops &o) {
    uint16_t w[11] = {};
    const float scale = o.R(15);
    w[0] = uint16_t(InRange(o.I(1), 0, 32767));
    w[1] = uint16_t(InRange(o.I(2), 0, 32000));
    w[2] = uint16_t(InRange(o.I(3), 0, 32000));
    w[3] = Thousandths(o.R(4), 65.536f);
    w[4] = Thousandths(o.R(5), 65.536f);
    w[5] = Thousandths(o.R(6), 32.767f);
    for (uint32_t k = 6; k <= 8; k++) {
        const float v = o.R(k + 1);
        const double s = double(v) / double(scale);
        w[k] =
            v >= -32000.0f && v <= 32000.0f && std::isfinite(s) && std::fabs(s) <= 32767.0 ? uint16_t(int16_t(s)) : 0;
    }
    w[9] = uint16_t(InRange(o.I(10), 0, 32000));
    w[10] = Options(o, 11);
    WriteWords(o, w, 11);
}

void SetPidMan(const Z7Ops &o) {
    uint8_t *b = Block(o);
    if (b != nullptr) LE_Put16(b + 2 * PID_OUT, o.U16(1));
    o.SetB(2, true);
}
void SetPidManR(const Z7Ops &o) {
    const double v = double(o.R(1)) * double(o.R(2));
    uint8_t *b = Block(o);
    if (b != nullptr)
        LE_Put16(b + 2 * PID_OUT, std::isfinite(v) && std::fabs(v) < 2147483648.0 ? uint16_t(int32_t(v)) : 0);
    o.SetB(3, true);
}
void GetPidMan(const Z7Ops &o) {
    const uint8_t *b = Block(o);
    o.Put16(1, b != nullptr ? LE_Get16(b + 2 * PID_FINAL) : 0);
}

// Step blocks: block, set-point, process value, three options, ["_R": scale],
// output; AUTO forms then a tune request, three DINT settings, a second
// control, (the output) and the tune flag output.
template <bool Real, bool Isa, bool Auto>
uint32_t Step(uint32_t cmd, uint32_t db, uint32_t, uint32_t inst, uint32_t arg) {
    constexpr uint32_t size = !Isa && !Auto ? 72 : 34;
    uint8_t *p = Z7Mem_Ptr(inst, size);
    if (cmd == FB_INSTINIT) {
        if (p != nullptr) {
            p[0] = 0;
            p[1] = uint8_t(pid_Instance < 255 ? pid_Instance : 255);
            pid_Instance++;
        }
        return 0;
    }
    if (cmd != FB_EXEC) return Blk_Answer(cmd, size);
    constexpr uint32_t out_k = Real ? 7 : 6;
    Z7Ops o;
    if (p == nullptr || !Z7Ops_Open(db, arg, Auto ? out_k + 7 : out_k + 1, o)) return 0;
    PidCall call{FPGA_GetFrt(), p[1], 0, 0};
    uint16_t w[PID_WORDS];
    if (!ReadBlock(o, w) || p[0]) return 0;
    w[PID_CTRL] = uint16_t((w[PID_CTRL] | PID_B_INUSE) & ~PID_B_GAINALL);
    if (Isa) w[PID_CTRL] |= PID_B_GAINALL;
    const float scale = Real ? o.R(6) : 1.0f;
    auto scaled = [&](uint32_t k) -> uint16_t {
        if (!Real) return o.U16(k);
        const double v = double(o.R(k)) / double(scale);
        return std::isfinite(v) && std::fabs(v) < 2147483648.0 ? uint16_t(int32_t(v)) : 0;
    };
    w[PID_PV] = scaled(2);
    if (!(w[PID_CTRL] & PID_B_HOLDSP)) {
        w[PID_SP] = scaled(1);
        const uint16_t bits[3] = {PID_B_MANUAL, PID_B_RAISE, PID_B_LOWER};
        for (uint32_t k = 0; k < 3; k++)
            w[PID_CTRL] = o.B(3 + k) ? uint16_t(w[PID_CTRL] | bits[k]) : uint16_t(w[PID_CTRL] & ~bits[k]);
    }
    if (Auto) {
        call.mode = uint8_t((o.B(out_k) ? PID_M_TUNE : 0) | (o.B(out_k + 4) ? PID_M_TWO3 : 0));
        call.options = uint8_t(((o.D(out_k + 1) & 7) << 5) | ((o.D(out_k + 2) & 3) << 3) | ((o.D(out_k + 3) & 3) << 1));
    }
    if ((fbk_pid(&call, w) & 0xFFFF) != 0) p[0] = 1;
    const uint32_t res_k = Auto ? out_k + 5 : out_k;
    if (Real)
        o.SetR(res_k, float(double(int16_t(w[PID_OUT])) * double(scale)));
    else
        o.Put16(res_k, w[PID_OUT]);
    if (Auto) o.SetB(out_k + 6, (call.mode & PID_M_DONE) != 0);
    WriteWords(o, w, PID_WORDS);
    return 0;
}

constexpr BlkRow kRows[] = {
    {"SETPID", Blk_Plain<15, SetPid>},          {"SETPID_R", Blk_Plain<16, SetPidR>},
    {"SETPIDMAN", Blk_Plain<3, SetPidMan>},     {"SETPIDMAN_R", Blk_Plain<4, SetPidManR>},
    {"GETPIDMAN", Blk_Plain<2, GetPidMan>},     {"PID_IND", Step<false, false, false>},
    {"PID_ISA", Step<false, true, false>},      {"PID_IND_AUTO", Step<false, false, true>},
    {"PID_ISA_AUTO", Step<false, true, true>},  {"PID_IND_R", Step<true, false, false>},
    {"PID_ISA_R", Step<true, true, false>},     {"PID_IND_AUTO_R", Step<true, false, true>},
    {"PID_ISA_AUTO_R", Step<true, true, true>},
};
}  // namespace

const BlkFamily BlkPid_Family{kRows, sizeof kRows / sizeof kRows[0]};
