// The module driver's tables and per-slot state, shared by the slot layer,
// the driver and their tests.
#pragma once

#include <array>
#include <cstdint>

#include "io/io.h"
#include "io/iotemp.h"

// One row of the identity table.
struct IoIdent {
    uint16_t id;
    char text[18];  // 6 significant characters, blank-padded
    uint8_t di, dq, ai, aq;
    uint8_t type;      // reported to slotinfo
    uint8_t features;  // bit 0 pulse outputs, bit 1 high-speed counters (FPGA)
};
constexpr unsigned IO_IDENT_ROWS = 32;
extern const std::array<IoIdent, IO_IDENT_ROWS> io_ident;
// Model texts reported instead when the OEM code is 0x80.
extern const std::array<std::array<char, 18>, IO_IDENT_ROWS> io_alias;
// First row with that id, -1 when none.
int32_t Io_IdentRow(uint16_t id);

// Rows the driver treats specially.
enum : int16_t {
    ROW_TC = 4,
    ROW_CURRENT = 7,
    ROW_FIELDBUS = 13,
    ROW_GEN1 = 14,
    ROW_GEN2 = 15,
    ROW_PWR1 = 16,
    ROW_PWR2 = 17,
    ROW_AQ4 = 18,
    ROW_AQ2 = 19,
    ROW_WIDE = 20,
    ROW_BASE21 = 21,
    ROW_MIX22 = 22,
    ROW_BASE23 = 23,
    ROW_BASE24 = 24,
    ROW_BASE25 = 25
};

// Flag word bits.
enum : uint16_t { IOF_CAL_VALID = 0x01, IOF_CAL_MODE = 0x02, IOF_CONFIGURED = 0x04 };

// Word offsets of our modules' configuration data (README).
enum : unsigned {
    CFG_OPTION_BYTE = 12,  // byte offsets
    CFG_PWM_SETTING = 13,
    CFGW_OPTION = 7,  // word offsets
    CFGW_PWM_FREQ = 8,
    CFGW_STATUS = 9,
    CFGW_CNT_STATUS = 10,
    CFGW_PULSE_STATUS = 11,
    CFGW_CNT_BLOCK = 12,
    CFGW_PULSE_BLOCK = 13,
    CFGW_PROT_BLOCK = 14,
    CFGW_HOLD = 15,
    CFGW_HOLD_A = 16,
    CFGW_HOLD_F = 17,
    CFGW_STOP_KEEP = 18,
    CFGW_STOP_OUT = 19,  // two words: four output bytes
    CFGW_STOP_AKEEP = 21,
    CFGW_STOP_AQ = 22,  // 14 words
    CFGW_AQ_AREA = 36,
    CFGW_PRESET = 37,        // 4 words
    CFGW_MATCH = 41,         // 4 words
    CFGW_PRESET_BLOCK = 45,  // counter preset register block: one word per counter
};

// Slots of IoSlotState::fpga_last, the values last written to the FPGA's
// pulse-output and counter registers: per pulse output k the seven ramp
// registers and the start and run prescales from FL_PULSE + 9 k; the preset
// of counter k at FL_PRESET + k; preload, match 1 and match 2 of counter k
// from FL_COUNTER + 3 k.
enum : unsigned { FL_PULSE = 0, FL_PRESET = 18, FL_COUNTER = 22, FL_COUNT = 34 };

// State of the three-phase power-metering reader (rows 16, 17).
struct IoAcm {
    std::array<float, 3> vt{1, 1, 1}, ct{1, 1, 1};  // transformer ratios
    std::array<int32_t, 9> smooth{};                // V1-3, I1-3, frequency, 0x21, 0x22
    bool smooth_set = false;
    std::array<std::array<double, 3>, 2> energy{};      // active, reactive per phase (kWh)
    std::array<std::array<double, 3>, 2> at_last{};     // energies at the last power computation
    std::array<double, 2> total{};                      // total active, reactive energy
    std::array<float, 2> power{};                       // total active, reactive power
    std::array<std::array<float, 3>, 2> phase_power{};  // active, reactive power per phase
    std::array<int32_t, 6> raw{};                       // last readings V1-3, I1-3 (24-bit signed)
    uint32_t t_last = 0;
    bool first = true;
    float freq = 0;
    std::array<float, 14> out{};
};

// Magnitude factor of the line-frequency filter at the smoothed frequency
// count f (1/16 Hz steps, as the converter gives it).
float lpf1(float f);

struct IoSlotState {
    int16_t row = -1;
    std::array<uint16_t, 16> gain{};
    std::array<uint16_t, 16> offset{};
    uint16_t flags = 0;
    std::array<uint8_t, 12> types{};
    uint8_t option_byte = 0;
    uint16_t option = 0;
    uint8_t pwm_setting = 0;
    uint16_t prescale = 0;
    const uint8_t *cfg = nullptr;
    uint16_t cfg_len = 0;
    const uint8_t *clock = nullptr;
    uint8_t mode = 0;  // control and terminal bits of the digital outputs
    uint8_t mode_prev = 0xFF;
    std::array<uint8_t, 4> out{};
    std::array<uint8_t, 4> in{};
    std::array<uint16_t, 16> aq{};
    std::array<int32_t, 16> raw{};
    std::array<int64_t, 16> facc{};  // smoothing accumulators: x << 31 must fit
    std::array<int32_t, 16> fout{};
    bool filt_start = true;  // the smoothing filter starts over at the next read
    std::array<int16_t, 16> ai{};
    std::array<int32_t, 8> comp{};
    uint8_t cj_addr = 0;  // 0x96 or 0x9E once found
    uint32_t cj_next = 0;
    bool cj_read = false;
    IoProt prot{};
    bool running = false;
    uint8_t fpga_pulse_bits = 0xFF;
    std::array<uint32_t, FL_COUNT> fpga_last{};  // last values written to the pulse/counter registers
    std::array<int32_t, 3> phase_last{};         // phase corrections last written (rows 16, 17)
    bool phase_written = false;
    // Generic modules: header, bus address and transfer mode.
    std::array<uint8_t, 16> gen{};
    uint8_t gen_dev = 0;
    bool gen_ok = false;  // header read
    uint16_t gen_mode = 2;
    char gen_text[8] = {};
    IoAcm acm{};
};
extern std::array<IoSlotState, 2> tbl;
extern uint8_t PwmMode;
// Register transfer with the FPGA (value, register, length in bytes, 1 to
// read), the time base's SPI transfer; tests put a recorder in its place.
extern uint32_t (*io_fpga_xfer)(uint32_t value, uint32_t reg, uint32_t len, uint32_t read);

// Calibration block location of a row: the combined address of memory mode 0.
uint32_t io_cal_location(int16_t row);
// Generic-module header read (bounded to 10 ms); 0 done.
uint32_t io_get_gen_cfg(uint32_t slot);
// Analog and digital helpers reachable from tests.
void io_q_put(uint32_t slot, uint8_t mode);
void input_ais(uint32_t slot);
void input_acm(uint32_t slot);
void output_aqx(uint32_t slot);
// Clears the driver's state (tests and the init code).
void Io_DriverReset();
