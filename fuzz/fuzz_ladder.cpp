// libFuzzer target: random word streams run as ladder programs in both
// register layouts, and fed to the library routines directly.
//
// Input: byte 0 selects the layout (bit 0: 16-bit), the first-scan bit (bit 1),
// a direct library call (bits 2-4, 0 = run the program) and dense opcodes
// (bit 5: every stream word whose top four bits are all ones becomes an
// opcode of 128..575, so that the float, string, typed, pointer, step, timer
// and text instructions meet each other often) and a comparison run (bit 6:
// the program runs once from decoded cells and once word by word, from the
// same registers, and both must leave the same registers, stacks and answer);
// byte 1 seeds some registers and pointers; the rest is the word stream.
#include <algorithm>
#include <array>
#include <csetjmp>
#include <cstdlib>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "core/storage/memfile.h"
#include "core/storage/nvram.h"
#include "core/image/plcreg.h"
#include "ladder/ladder.h"
#include "ladder/ladint.h"
#include "platform/plat.h"

namespace {

int RtcGet(struct tm *t) {
    std::memset(t, 0, sizeof *t);
    t->tm_mday = 1;
    t->tm_year = 100;
    return 0;
}
int RtcSetNothing(const struct tm *) { return 0; }
const PlatRtcOps kRtc = {RtcGet, RtcSetNothing};

// A time base that stands still, so that two runs of a scan see the same time.
long fixed_ns;
void FixedMono(struct timespec *ts) {
    ts->tv_sec = 1000;
    ts->tv_nsec = fixed_ns;
}
uint64_t NoOffset() { return 0; }
uint32_t NoMsOffset() { return 0; }
const PlatTimeOps kTime = {FixedMono, NoOffset, NoMsOffset};

// A register write with a reset as its side effect (the port protocol set to
// 0) abandons the input instead of starting the process again.
std::jmp_buf reset_jump;
[[noreturn]] void ResetHere() { std::longjmp(reset_jump, 1); }
const PlatResetOps kReset = {ResetHere, ResetHere, ResetHere};

}  // namespace

// Files the controller may write (a save before a reset, the mode) go to a
// root folder of the target's own.
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    static char dir[] = "/tmp/fuzz_ladder_XXXXXX";
    if (!mkdtemp(dir)) std::abort();
    setenv("PLC_ROOT", dir, 1);
    PLAT_Init(*argc, *argv);
    PLAT_MakeBoardFolders();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    if (size < 2) return 0;
    plat_reset = &kReset;
    if (setjmp(reset_jump)) return 0;
    plat_rtc = &kRtc;  // the clock instruction must not touch the host's clock file
    plat_time = &kTime;
    fixed_ns = long(data[1]) * 3900000L;
    lad_step_limit = 200000;
    const uint8_t mode = data[0];
    plc_reg.fill(0);
    old_reg.fill(0);
    // A few set bits and words so that contacts and counts vary.
    for (uint32_t i = 0; i < 64; i++) plc_reg[1024 + 37 * i] = uint8_t(data[1] * (i + 1));
    const std::size_t len = std::min<std::size_t>(size - 2, LADDER_BL_SIZE - MF_HDR);
    MF_SetHeader(ladder_bl.data(), 0, uint32_t(len));
    std::memcpy(ladder_bl.data() + MF_HDR, data + 2, len);
    if (mode & 0x20) {
        for (std::size_t i = 0; i + 1 < len; i += 2) {
            uint8_t *w = ladder_bl.data() + MF_HDR + i;
            const uint16_t v = uint16_t(w[0] | (w[1] << 8));
            if ((v >> 12) != 0xF) continue;
            const uint16_t op = uint16_t(128 + (v & 0x0FFF) % 448);
            w[0] = uint8_t(op);
            w[1] = uint8_t(op >> 8);
        }
    }
    // Pointer registers %R1 .. %R16 (two words each) into the image, some
    // near its end.
    for (uint32_t i = 0; i < 8; i++) {
        const uint32_t p = (i & 1) ? 109176u - 1u - (data[1] + i) % 64 : (uint32_t(data[1]) * 401u * (i + 1)) % 109176u;
        const std::size_t at = 2 * (1983 + 1 + 2 * i);
        plc_reg[at] = uint8_t(p);
        plc_reg[at + 1] = uint8_t(p >> 8);
        plc_reg[at + 2] = uint8_t(p >> 16);
        plc_reg[at + 3] = uint8_t(p >> 24);
    }
    NV_EditorFeatures = (mode & 1) ? 0x8000u : 0u;
    RegTokLen_16b = mode & 1;

    const uint32_t call = (mode >> 2) & 7;
    // The CANopen block (367) keeps its transfer state in the CAN layer, which
    // the second run finds changed: a program that may hold it runs once.
    bool canopen = false;
    for (std::size_t i = 0; i + 1 < len && !canopen; i += 2)
        canopen = (ladder_bl[MF_HDR + i] | (ladder_bl[MF_HDR + i + 1] << 8)) == 367;
    if (call == 0 && (mode & 0x40) && !canopen) {
        static std::array<uint8_t, PLC_REG_SIZE> reg0, old0, reg1;
        static std::array<uint8_t, LSTACK_SIZE> ls1;
        plc_reg[SBITS_LO] = (mode & 2) ? S_FIRST_SCAN : 0;
        reg0 = plc_reg;
        old0 = old_reg;
        const uint32_t frt = local_frt_100us, rm = local_scan_time_rm;
        const uint16_t alarms = alarm_status, screen = old_change_screen;
        // A re-push (56) brings back what the stack slot held before, so both
        // runs start from the same stacks.
        const std::array<uint8_t, LSTACK_SIZE> ls0 = l_stack;
        const std::array<uint16_t, WSTACK_SIZE> ws0 = w_stack;
        lad_cache_words = LAD_CACHE_WORDS;
        const int32_t r1 = LogicUpdate();
        const uint16_t g1 = cmd_group;
        reg1 = plc_reg;
        ls1 = l_stack;
        plc_reg = reg0;
        old_reg = old0;
        local_frt_100us = frt;
        local_scan_time_rm = rm;
        alarm_status = alarms;
        old_change_screen = screen;
        l_stack = ls0;
        w_stack = ws0;
        lad_cache_words = 0;
        const int32_t r2 = LogicUpdate();
        lad_cache_words = LAD_CACHE_WORDS;
        // The time base words differ between the runs.
        for (std::size_t i = 552; i < 556; i++) reg1[i] = plc_reg[i];
        // A write to the mode, network id, CAN rate or port protocol acts on
        // the executive's own state, which the second run finds changed.
        for (uint32_t w : {W_MODE, W_NETID, W_CANRATE, W_PORTPROTO})
            if (PlcWord(w) != LE_Get16(&reg0[2 * w]) || LE_Get16(&reg1[2 * w]) != LE_Get16(&reg0[2 * w])) return 0;
        if (r1 != r2 || g1 != cmd_group || reg1 != plc_reg) __builtin_trap();
        if (r1 == -1 && ls1 != l_stack) __builtin_trap();
        return 0;
    }
    if (call == 0) {
        plc_reg[SBITS_LO] = (mode & 2) ? S_FIRST_SCAN : 0;
        const int32_t r = LogicUpdate();
        if (r != -1 && (r < 0 || uint32_t(r) > len / 2)) __builtin_trap();
        LogicUpdate();  // a second scan over the state the first one left
        return 0;
    }
    LadCursor c{ladder_bl.data() + MF_HDR, 0, uint32_t(len / 2), 0};
    for (int round = 0; round < 4 && c.pos < c.end && !c.bad; round++) {
        const uint32_t before = c.pos;
        switch (call) {
        case 1: Logic32bTimers(&c, round & 1, uint16_t(round * 5000)); break;
        case 2: LogicTimers(&c, round & 1, uint16_t(round * 5000)); break;
        case 3: LogicCounters(&c, round & 1); break;
        case 4: Logic32bCounters(&c, round & 1); break;
        case 5: IEC_Multi_Shift(&c); break;
        case 6: IEC_Multi_Rotate(&c); break;
        default: Multi_Shift(&c); break;
        }
        if (c.pos > c.end) __builtin_trap();
        if (c.pos == before) break;
    }
    return 0;
}
