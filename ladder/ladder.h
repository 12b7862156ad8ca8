// Ladder logic engine: runs the downloaded ladder program once per scan and
// provides the instruction library shared with the IEC runtime (timers and
// counters, multi-register shift and rotate, sun position).
#pragma once

#include <array>
#include <cstdint>

#include "core/image/plcreg.h"

// One scan of the ladder program held in the ladder memory file: -1 when the
// program ran to its end (or the IEC runtime ran instead), else the word
// offset of the word after an instruction that could not be executed.
int32_t LogicUpdate();

// Cursor over a token stream of 16-bit little-endian words. Library routines
// read their operands through it and leave it after the last one. A read past
// the end yields 0 and sets bad; the interpreter then stops the program.
struct LadCursor {
    const uint8_t *code;  // first word of the stream
    uint32_t pos;         // index of the next word
    uint32_t end;         // number of words in the stream
    uint8_t bad;
};

// The port blocks of the programming port (opcodes 132 to 137, 394 and 531)
// belong to the messaging service above this engine: it reaches them through
// this table, which the executive fills at start-up. Each routine takes the
// cursor on its first operand and the power, reads its operands, leaves the
// cursor behind them and answers the power passed on (the modem routine 255
// for an operand form it does not know, with the cursor one word back). An
// empty slot makes its opcode an invalid instruction; `init` runs on the
// first scan of a run (once, also when the IEC runtime keeps the first-scan
// bit over two passes).
struct LadTalkHooks {
    uint32_t (*open)(LadCursor *pc, uint32_t power);                        // 132
    uint32_t (*send)(LadCursor *pc, uint32_t power, uint32_t indirect);     // 133, 394 sel 0/1
    uint32_t (*receive)(LadCursor *pc, uint32_t power, uint32_t indirect);  // 134, 394 sel 2/3
    uint32_t (*close)(LadCursor *pc, uint32_t power);                       // 135
    uint32_t (*modem)(LadCursor *pc, uint32_t power);                       // 136
    uint32_t (*modbus)(LadCursor *pc, uint32_t power);                      // 137
    uint32_t (*modbus_x)(LadCursor *pc, uint32_t power);                    // 531
    void (*init)();
};
extern LadTalkHooks lad_talk;
// A run starts: the next first scan runs lad_talk.init again.
void Lad_TalkInitArm();

constexpr unsigned LSTACK_SIZE = 20;
constexpr unsigned WSTACK_SIZE = 40;
constexpr unsigned CALL_STACK_SIZE = 8;

// Interpreter state kept between scans (the stacks are emptied every scan).
extern std::array<uint8_t, LSTACK_SIZE> l_stack;
extern std::array<uint16_t, WSTACK_SIZE> w_stack;
extern std::array<uint32_t, CALL_STACK_SIZE> call_stack;  // return word indexes
extern uint8_t call_stack_index;
extern uint32_t local_frt_100us;     // time base at the start of this scan
extern uint16_t time_frt_100us;      // the same, 14 bits: the timers' "now"
extern uint32_t local_scan_time;     // ms between the starts of the last two scans
extern uint32_t local_scan_time_rm;  // 100 us ticks carried to the next scan
extern uint16_t old_change_screen;
extern uint16_t cmd_group;
extern uint16_t alarm_status;  // state of the alarm-list instruction

// Work one scan may do before the program is stopped as if it held an invalid
// instruction, so that a jump loop cannot hang the controller: every
// instruction of the opcode table counts 1, block moves, fills, shifts and
// the alarm list count their elements as well; contacts and coils, which only
// move forward, count nothing. Once it is spent the next instruction stops.
extern uint32_t lad_step_limit;
constexpr uint32_t LAD_STEP_LIMIT_DEFAULT = 100000000;

// Checked 32-bit arithmetic: the wrapped result goes through r, the answer is
// 1 on overflow (carry, borrow), else 0.
uint32_t LH_AddInt32(int32_t *r, int32_t a, int32_t b);
uint32_t LH_AddUInt32(uint32_t *r, uint32_t a, uint32_t b);
uint32_t LH_SubInt32(int32_t *r, int32_t a, int32_t b);
uint32_t LH_SubUInt32(uint32_t *r, uint32_t a, uint32_t b);
uint32_t LH_MulInt32(int32_t *r, int32_t a, int32_t b);
uint32_t LH_MulUInt32(uint32_t *r, uint32_t a, uint32_t b);

// Integer square roots: isqrt of the low 16 bits (result 0..255), lsqrt of
// 32 bits (result 0..65535).
uint32_t isqrt(uint32_t x);
uint32_t lsqrt(uint32_t x);

// Timers and counters. The cursor is on the opcode (on the kind word after
// opcode 199 for Logic32bCounters); the answer is the power passed on (0/1).
uint32_t LogicTimers(LadCursor *pc, uint32_t power, uint16_t now);
uint32_t Logic32bTimers(LadCursor *pc, uint32_t power, uint16_t now);
uint32_t LogicCounters(LadCursor *pc, uint32_t power);
uint32_t Logic32bCounters(LadCursor *pc, uint32_t power);

// Multi-register shift and rotate; the cursor is on the kind word.
struct MultiPar {
    uint32_t start;     // linear bit number of the first element
    uint32_t length;    // elements
    uint32_t count;     // positions to move
    uint8_t direction;  // 1 toward higher addresses
    uint32_t out_ref;   // linear bit number of the shift output
    uint32_t in_ref;    // linear bit number of the shift input
};
void MultiShiftBits(const MultiPar &m);
void MultiShiftBytes(const MultiPar &m);
void MultiShiftWords(const MultiPar &m);
void MultiShiftDwords(const MultiPar &m);
void MultiRotateBits(const MultiPar &m);
void MultiRotateBytes(const MultiPar &m);
void MultiRotateWords(const MultiPar &m);
void MultiRotateDwords(const MultiPar &m);
// Power out: 0 when the count exceeds the length or a reference is refused,
// else 1.
uint32_t Multi_Shift(LadCursor *pc);
uint32_t Multi_Rotate(LadCursor *pc);
uint32_t IEC_Multi_Shift(LadCursor *pc);
uint32_t IEC_Multi_Rotate(LadCursor *pc);

// Sun position: time {year, month, day, hour, minute, second} (UT), location
// {longitude east, latitude north} in degrees; result {zenith, azimuth} in
// degrees.
void sunpos(const int32_t *time, const double *location, double *result);
