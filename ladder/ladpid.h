// PID loops of the instruction library: one step of a loop (fbk_pid) over its
// 16-word register block, with dead band, derivative on error or process
// value, integral anti-windup, slew limit, manual raise/lower, time-
// proportioned output and a relay auto-tune; the ladder PID instructions and
// the alarm-handler instruction that share its operand decoding.
#pragma once

#include <array>
#include <cstdint>

#include "ladder/ladder.h"

// Words of the PID register block.
enum PidWord : uint8_t {
    PID_PERIOD = 0,  // sample period, 10 ms units
    PID_DB_HI = 1,   // dead band upper limit
    PID_DB_LO = 2,   // dead band lower limit
    PID_GAIN = 3,    // proportional gain, hundredths
    PID_DGAIN = 4,   // derivative gain
    PID_IRATE = 5,   // integral rate
    PID_BIAS = 6,
    PID_OUT_HI = 7,
    PID_OUT_LO = 8,
    PID_SLEW = 9,    // seconds for 32000 units, 0 = none
    PID_CTRL = 10,   // control and status bits
    PID_OUT = 11,    // output (manual output in manual mode)
    PID_SP = 12,     // set-point
    PID_PV = 13,     // process value
    PID_FINAL = 14,  // limited output, negated with PID_INVERT
    PID_CYCLE = 15,  // time-proportioning cycle, seconds (<= 0: on/off)
    PID_WORDS = 16
};

// Bits of block word 10.
constexpr uint16_t PID_B_HOLDSP = 0x0001;  // callers leave set-point and M/R/L alone
constexpr uint16_t PID_B_MANUAL = 0x0002;
constexpr uint16_t PID_B_INUSE = 0x0004;
constexpr uint16_t PID_B_RAISE = 0x0008;
constexpr uint16_t PID_B_LOWER = 0x0010;
constexpr uint16_t PID_B_GAINALL = 0x0080;  // gain multiplies all three terms
constexpr uint16_t PID_B_REVERSE = 0x0100;
constexpr uint16_t PID_B_INVERT = 0x0200;
constexpr uint16_t PID_B_DPV = 0x0400;     // derivative of the process value
constexpr uint16_t PID_B_DBSUB = 0x0800;   // dead band subtracted outside the band
constexpr uint16_t PID_B_FREEZE = 0x1000;  // anti-windup by freezing the integral
constexpr uint16_t PID_B_DRAW = 0x2000;    // derivative gain not scaled by 100
constexpr uint16_t PID_B_TPO = 0x4000;     // time-proportioned output
constexpr uint16_t PID_B_INIT = 0x8000;

// Mode bits of the call record.
constexpr uint8_t PID_M_DONE = 0x01;  // auto-tune finished (set by fbk_pid)
constexpr uint8_t PID_M_TUNE = 0x02;  // auto-tune requested
constexpr uint8_t PID_M_TWO3 = 0x04;  // tune around two thirds of the set-point

constexpr unsigned PID_LOOPS = 64;

// One call of a loop step.
struct PidCall {
    uint32_t time;    // now, 100 us ticks
    uint16_t loop;    // 0..63
    uint8_t mode;     // PID_M_* bits
    uint8_t options;  // bits 1-2 rule group, 3-4 rule column, 5-7 hysteresis exponent
};

// Per-loop state of the computation.
struct PidState {
    int16_t last_out;
    int16_t prev_x;        // previous derivative input
    int16_t prev_out;      // previous output for the slew limit
    int16_t int_rem;       // integral hundredths carried to the next step
    uint32_t last_time;    // time of the last computation
    int32_t int_acc;       // integral accumulator
    uint32_t cycle_start;  // start of the time-proportioning cycle (on/off: last change)
    uint8_t tp_state;      // 0 start, 1 start without stamp, 2 on, 3 off
    uint8_t off;           // 1: the time-proportioned output is off
    uint32_t slew_rem;
};

// Per-loop auto-tune state.
struct PidTune {
    uint32_t t1, t2;     // times of the two measured crossings
    int16_t emax, emin;  // largest and smallest error seen
    uint16_t state;      // 0..7
    int16_t sp;          // tuning set-point
    int16_t saved_out;   // output at the start of the tune
    int16_t hyst;
    uint16_t integral;              // copy of word 5, then the tuned rate
    uint16_t manual, raise, lower;  // flags the computation obeys
};

// Scratch record of the step in progress.
struct PidScratch {
    uint32_t elapsed;
    int32_t d, i, out;
    int16_t e;
};

extern std::array<PidState, PID_LOOPS> pid_st;
extern std::array<PidTune, PID_LOOPS> pid_at;
extern PidScratch pid_int;
extern uint8_t repeat;  // preliminary half-cycles of the auto-tune, shared by all loops

// Auto-tune rule table: 12 rows {Kp num, Kp den, int mul, int num, der num, der den}.
extern const std::array<std::array<int32_t, 6>, 12> rule;

// Saturating 32-bit arithmetic: out is the exact result or the limit on the
// side of the true result; answer 1 on overflow.
uint32_t adds32_limited(int32_t a, int32_t b, int32_t *out);
uint32_t subs32_limited(int32_t a, int32_t b, int32_t *out);
uint32_t muls32_limited(int32_t a, int32_t b, int32_t *out);

// One step of loop call->loop over the block (16 words in host order).
// Answer: 1 while initialising, 2 inverted dead band, 3 inverted output
// limits (1 for either with time-proportioning), else 0 or, with
// time-proportioning, the off flag (inverted with PID_B_INVERT). A loop
// number of 64 or more answers 4 and changes nothing.
uint32_t fbk_pid(PidCall *call, uint16_t *blk);

// The ladder PID instructions: opcodes 240..243 (form 0, register operands)
// and 523..526 (form 1, the block named by a byte pointer). The cursor is
// after the opcode and is left after the last operand; the rung power is
// read and written through power. Answers the cursor's new position.
uint32_t IEC_NON_IEC_PidParser(LadCursor *pc, uint16_t opcode, uint32_t time, uint8_t *power, uint32_t form);

// Alarm-handler instruction (528): nine operand words after the opcode; keeps
// only its own state (alarm_handler_state) and leaves power and image alone.
uint32_t Alarm_Handler(LadCursor *pc, uint8_t *power);
extern uint16_t alarm_handler_state;  // bits 12-15 edge latches, bits 0-11 current alarm
