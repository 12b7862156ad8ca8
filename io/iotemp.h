// Analog and temperature conversion of the module driver: thermocouple and
// RTD tables, cold-junction compensation, channel conversions and the
// overcurrent protection of the current-monitoring module.
#pragma once

#include <array>
#include <cstdint>

extern const std::array<uint16_t, 513> j_tab, k_tab, n_tab, t_tab, e_tab, r_tab, s_tab, b_tab;
extern const std::array<uint16_t, 257> pt100e_tab;
// Tables of the thermocouple types J, K, N, T, E, R, S, B in this order.
extern const std::array<const uint16_t *, 8> tctbl;
// Per channel type: word 2 low byte the shift, words 4-5 the product limit.
extern const std::array<std::array<uint16_t, 8>, 32> ad5t;
extern const std::array<int32_t, 8> cjy, cjysq;

// Temperature code (20 x degC) of a 16-bit reading in a 513-entry table.
int32_t tc_table(uint32_t reading, const uint16_t *table);
// Temperature code of a 14-bit reading in a 257-entry table (clamped to 0..16383).
int32_t rtd_table(uint32_t reading, const uint16_t *table);
// Compensation values of the eight thermocouple types at cold-junction
// temperature t (1/40 degC).
void cj_comp(int32_t *comp8, int32_t t);

// Channel conversion of the universal input module (row 4): raw count,
// channel type, gain and offset of the channel's pair, compensation values.
int32_t Io_ConvertUniversal(int32_t raw, uint8_t type, uint16_t gain, uint16_t offset, const int32_t *comp8);
// Conversion of the other analog rows (14-bit shift, ceiling 32767; type 2
// live zero mapped to (5 v - 32000) / 4).
int32_t Io_ConvertStd(int32_t raw, uint8_t type, uint16_t gain, uint16_t offset);
// Analog output value of a calibration pair, clamped to 0..4095 (type 9, the
// bipolar scale, takes v as signed).
uint32_t Io_ScaleOut(uint16_t v, uint8_t type, uint16_t gain, uint16_t offset);

// Overcurrent protection state of one slot.
struct IoProt {
    uint8_t dt_state;   // 0 idle, 1 timing, 2 tripped
    uint32_t dt_start;  // time base at the start of timing
    double acc;         // inverse-time accumulator
    uint32_t last;      // time base of the last pass
    bool started;
};
// One pass over a 14-register protection block (values: four channel currents).
void Io_Protect(IoProt &st, uint16_t *block, const uint16_t *values, uint32_t now, uint16_t mask);

// Pulse outputs: prescales and ramp values.
struct IoPulse {
    uint32_t start, run;         // start (or on-time) and run prescale, minus 1
    uint16_t acc_step, acc_pre;  // acceleration step and pre-count
    uint16_t dec_step, dec_pre;
};
// Pulse-width mode: frequency F, amplitude A (0..32000).
IoPulse Io_PulseWidth(uint32_t f, uint32_t a);
// Pulse-train mode: run frequency F, start frequency A, ramp counts.
IoPulse Io_PulseTrain(uint32_t f, uint32_t a, uint32_t acc, uint32_t dec);
