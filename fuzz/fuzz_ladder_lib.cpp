// libFuzzer target: the PID, schedule, flow and alarm-handler routines fed
// random operand streams over a register image partly filled from the input,
// and the PID step fed random blocks, times and tune settings.
//
// Input: byte 0 selects the routine (low 4 bits) and the layout (bit 4);
// bytes 1..512 fill the registers from %R1 on (blocks, pointers, doubles);
// the rest is the word stream (or, for the step, records of a time step,
// mode, options and a 16-word block).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/image/bytes.h"
#include "core/image/plcreg.h"
#include "ladder/ladder.h"
#include "ladder/ladflow.h"
#include "ladder/ladint.h"
#include "ladder/ladpid.h"
#include "ladder/ladsched.h"

namespace {

constexpr std::size_t kRegs = 512;
constexpr std::size_t kRegByte = (32768 - 1024) / 8;  // %R1

uint32_t CallOne(uint32_t sel, LadCursor &c, uint8_t &power) {
    static const uint16_t kPidOps[8] = {240, 241, 242, 243, 523, 524, 525, 526};
    using Sched = uint32_t (*)(LadCursor *, uint32_t);
    static const Sched kSched[] = {Schedule_TimeOfDay,      Schedule_DayOfWeekImm,  Schedule_DayOfWeekReg,
                                   Schedule_DayOfMonthImm,  Schedule_DayOfMonthReg, Schedule_MonthOfYearImm,
                                   Schedule_MonthOfYearReg, Schedule_YearImm,       Schedule_YearReg};
    switch (sel) {
    case 0:
    case 1:
    case 2:
    case 3:
    case 4:
    case 5:
    case 6:
    case 7: {
        const uint16_t op = kPidOps[sel];
        return IEC_NON_IEC_PidParser(&c, op, c.pos * 977u, &power, op >= 523 ? 1 : 0);
    }
    case 8: return Flow_Funs(&c, power);
    case 9: return Alarm_Handler(&c, &power);
    default: {
        const uint16_t pick = LadWord(c);
        return kSched[pick % 9](&c, power);
    }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    if (size < 1) return 0;
    const uint8_t mode = data[0];
    plc_reg.fill(0);
    const std::size_t regs = std::min(size - 1, kRegs);
    std::memcpy(&plc_reg[kRegByte], data + 1, regs);
    for (int i = 0; i < 7; i++) PlcWordSet(W_CLOCK + i, LE_Get16(&plc_reg[kRegByte + 2 * i]));
    plc_reg[SBITS_LO] = mode & 0x20 ? S_FIRST_SCAN : 0;
    RegTokLen_16b = (mode >> 4) & 1;
    const uint8_t *rest = data + 1 + regs;
    const std::size_t left = size - 1 - regs;

    const uint32_t sel = mode & 0x0F;
    if (sel == 15) {
        // Records of 38 bytes: u32 time step, u8 mode, u8 options, 16 block words.
        PidCall call{0, 0, 0, 0};
        uint16_t blk[16] = {};
        for (std::size_t at = 0; at + 38 <= left; at += 38) {
            call.time += LE_Get32(rest + at);
            call.mode = rest[at + 4];
            call.options = rest[at + 5];
            call.loop = rest[at + 4] & 0x3F;
            for (int k = 0; k < 16; k++) blk[k] = LE_Get16(rest + at + 6 + 2 * k);
            fbk_pid(&call, blk);
        }
        return 0;
    }
    LadCursor c{rest, 0, uint32_t(left / 2), 0};
    uint8_t power = 0xFF;
    for (int round = 0; round < 16 && c.pos < c.end && !c.bad; round++) {
        const uint32_t before = c.pos;
        const uint32_t r = CallOne(sel, c, power);
        if (sel >= 10 || sel == 8) power = uint8_t(r);
        if (c.pos > c.end) __builtin_trap();
        if (c.pos == before) break;
        power ^= uint8_t(round & 1);
    }
    return 0;
}
