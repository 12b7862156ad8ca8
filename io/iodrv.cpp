// The I/O module driver: one entry point (io_driver) for every operation on
// the expansion modules, the identity table, per-slot state, configuration,
// point exchange, calibration, stop and start.
#include "io/iodrv.h"

#include <bit>
#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/image/bytes.h"
#include "core/image/iecrt.h"
#include "core/image/plcreg.h"
#include "core/image/timebase.h"
#include "core/image/util.h"
#include "io/i2c.h"
#include "platform/plat.h"

namespace {
constexpr IoIdent R(uint16_t id, const char *t, uint8_t di, uint8_t dq, uint8_t ai, uint8_t aq, uint8_t ty, uint8_t f) {
    IoIdent r{id, {}, di, dq, ai, aq, ty, f};
    for (unsigned i = 0; i < 6; i++) r.text[i] = t[i];
    return r;
}
}  // namespace

const std::array<IoIdent, IO_IDENT_ROWS> io_ident = {{
    R(0x0100, "MIO100", 12, 24, 12, 0, 240, 2),  R(0xA60F, "MIOA61", 12, 24, 12, 14, 241, 3),
    R(0xA00F, "MIOA02", 32, 24, 12, 14, 242, 3), R(0xA40F, "MIOA43", 32, 24, 12, 14, 242, 3),
    R(0xA20F, "MIOTC4", 32, 24, 12, 14, 243, 3), R(0x720F, "COM720", 0, 0, 0, 0, 244, 0),
    R(0x700F, "COM700", 0, 0, 0, 0, 244, 0),     R(0x7F0E, "CMON07", 4, 4, 5, 0, 243, 0),
    R(0x7F0F, "COM7F0", 0, 0, 0, 0, 244, 0),     R(0xBF0F, "COMBF0", 0, 0, 0, 0, 244, 0),
    R(0x3F0F, "COM3F0", 0, 0, 0, 0, 244, 0),     R(0xDF0F, "CELLDF", 0, 0, 0, 0, 244, 0),
    R(0x5F0F, "COM5F0", 0, 0, 0, 0, 244, 0),     R(0x9F0F, "PBSLV ", 8, 8, 108, 108, 246, 0),
    R(0xAE0F, "GENAE0", 0, 0, 0, 0, 244, 0),     R(0xAC0F, "GENAC0", 0, 0, 0, 0, 244, 0),
    R(0x500F, "PWR500", 20, 8, 28, 28, 245, 0),  R(0x520F, "PWR520", 20, 8, 28, 28, 245, 0),
    R(0x8F0F, "AQ4CH8", 0, 0, 0, 4, 243, 0),     R(0x0F0F, "AQ2CH0", 0, 0, 0, 2, 243, 0),
    R(0x1F0F, "WIDE1F", 0, 0, 0, 0, 0, 0),       R(0x3F0E, "BASE21", 16, 4, 8, 4, 0, 0),
    R(0xDF0E, "MIOW22", 32, 38, 12, 14, 243, 3), R(0x1F0E, "BASE23", 2, 4, 1, 4, 0, 0),
    R(0x5F0E, "BASE24", 14, 10, 0, 0, 0, 0),     R(0x9F0E, "BASE25", 8, 8, 4, 2, 0, 0),
    R(0xEF0F, "COMEF0", 0, 0, 0, 0, 244, 0),     R(0xEE0F, "COMEE0", 0, 0, 0, 0, 244, 0),
    R(0x6F0F, "CELL6F", 0, 0, 0, 0, 244, 0),     R(0x6E0F, "CELL6E", 0, 0, 0, 0, 244, 0),
    R(0xAF0F, "CELLAF", 0, 0, 0, 0, 244, 0),     R(0xAE0F, "CELLAE", 0, 0, 0, 0, 244, 0),
}};

const std::array<std::array<char, 18>, IO_IDENT_ROWS> io_alias = [] {
    std::array<std::array<char, 18>, IO_IDENT_ROWS> a{};
    for (unsigned i = 0; i < IO_IDENT_ROWS; i++) std::memcpy(a[i].data(), io_ident[i].text, 18);
    std::memcpy(a[ROW_FIELDBUS].data(), "DNSLV ", 6);
    return a;
}();

std::array<IoSlotState, 2> tbl;
uint8_t PwmMode;
uint32_t (*io_fpga_xfer)(uint32_t value, uint32_t reg, uint32_t len, uint32_t read) = spi_data_RD_nWR;

int32_t Io_IdentRow(uint16_t id) {
    for (unsigned i = 0; i < IO_IDENT_ROWS; i++) {
        if (io_ident[i].id == id) return int32_t(i);
    }
    return -1;
}

namespace {

uint16_t CfgWord(const IoSlotState &s, unsigned n) {
    if (s.cfg == nullptr || 2u * n + 2 > s.cfg_len) return 0;
    return LE_Get16(s.cfg + 2 * n);
}
uint8_t CfgByte(const IoSlotState &s, unsigned n) { return s.cfg != nullptr && n < s.cfg_len ? s.cfg[n] : 0; }

// Register words named by a configuration word (a bit address), null when
// it is 0 or the words do not lie in the image.
uint16_t *RegWords(uint16_t ref, unsigned words) {
    if (ref == 0) return nullptr;
    return reinterpret_cast<uint16_t *>(PlcReg_Ptr(ref, 16 * words));
}
uint8_t *RegBits(uint16_t ref, unsigned bits) { return ref == 0 ? nullptr : PlcReg_Ptr(ref, bits); }

uint16_t GetW(const uint16_t *p) { return LE_Get16(reinterpret_cast<const uint8_t *>(p)); }
void PutW(uint16_t *p, uint16_t v) { LE_Put16(reinterpret_cast<uint8_t *>(p), v); }

bool IsGeneric(int16_t row) { return row == ROW_GEN1 || row == ROW_GEN2; }

uint32_t FpgaRead(uint32_t reg) { return io_fpga_xfer(0, reg, 1, 1); }
void FpgaWrite(uint32_t reg, uint32_t value, uint32_t len) { io_fpga_xfer(value, reg, len, 0); }
// Writes a pulse or counter register only when its value changed.
void FpgaOnChange(IoSlotState &s, unsigned idx, uint32_t reg, uint32_t value, uint32_t len) {
    if (s.fpga_last[idx] == value) return;
    s.fpga_last[idx] = value;
    FpgaWrite(reg, value, len);
}

// EEPROM of the fieldbus-slave module: the slot's identification EEPROM.
uint32_t FbDev(uint32_t slot) { return 0x1C + 2 * slot; }

// Converter of the analog rows (a register map: channel c at register c,
// two bytes big-endian), one per slot.
uint8_t ConverterAddr(uint32_t slot) { return uint8_t(0x90 + 2 * slot); }

void GpioBank0Pin17(bool high) {
    static volatile uint32_t *pin = nullptr;
    if (pin == nullptr) pin = PLAT_SocMap(0x80018000, 0x2000);
    if (pin == nullptr) return;
    pin[(0xB00 + 4) / 4] = 1u << 17;  // output enable
    // Bank 0 pins 16-31 are multiplexed in MUXSEL1, two bits a pin: pin 17's
    // are bits 2-3, and 3 selects GPIO (set through MUXSEL1_SET).
    pin[(0x110 + 4) / 4] = 3u << 2;
    pin[(0x700 + (high ? 4 : 8)) / 4] = 1u << 17;  // data out
}

bool SlotOk(IoDriverMsg *m) {
    if (m->slot > 2) {
        m->status = 0xC0;
        return false;
    }
    if (m->slot == 2 || tbl[m->slot].row < 0) {
        m->status = 0x80;
        return false;
    }
    m->status = 0;
    return true;
}

// ---- calibration constants ----------------------------------------------------------------

void Defaults(IoSlotState &s) {
    s.gain.fill(0);
    s.offset.fill(0);
    const int16_t r = s.row;
    if (r >= 0 && r <= 3) {
        for (unsigned i = 0; i < 8; i++) s.gain[i] = i % 2 ? 13213 : 8771;
    } else if (r == ROW_TC) {
        static constexpr uint16_t g[7] = {39226, 32783, 39260, 30695, 31426, 32801, 32586};
        for (unsigned i = 0; i < 7; i++) s.gain[i] = s.gain[8 + i] = g[i];
    } else if (r == ROW_CURRENT) {
        for (unsigned i = 0; i < 4; i++) s.gain[i] = 8771;
    } else if (r == ROW_BASE21 || r == ROW_BASE23) {
        for (unsigned i = 0; i < 12; i++) s.gain[i] = 32767;
    } else if (r == ROW_BASE25) {
        for (unsigned i = 0; i < 8; i++) s.gain[i] = i % 2 ? 33700 : 32900;
        s.gain[7] = 34000;
        for (unsigned i = 8; i < 12; i++) s.gain[i] = 32767;
    } else if (r == ROW_AQ4 || r == ROW_AQ2) {
        static constexpr uint16_t w[3] = {0x7FF0, 0x7FF0, 0x7C7C};
        for (unsigned i = 0; i < (r == ROW_AQ4 ? 12u : 6u); i++) s.gain[i] = w[i % 3];
    }
}

// The power-metering modules' converter (rows 16, 17) takes gain i of the
// 15 channels at register 0xA4 + i and offset i at 0xB3 + i, each a 16-bit
// big-endian word.
void AcmCalWrite(const IoSlotState &s) {
    const uint8_t dev = s.row == ROW_PWR2 ? 0x52 : 0x50;
    for (unsigned i = 0; i < 15; i++) {
        const uint8_t g[3] = {uint8_t(0xA4 + i), uint8_t(s.gain[i] >> 8), uint8_t(s.gain[i])};
        const uint8_t o[3] = {uint8_t(0xB3 + i), uint8_t(s.offset[i] >> 8), uint8_t(s.offset[i])};
        // Not confirmed: the next configure or calibration writes them again.
        static_cast<void>(PLAT_I2cWrite(dev, g, 3));
        static_cast<void>(PLAT_I2cWrite(dev, o, 3));
    }
}

// Rows whose module carries a calibration block: those with analog points
// (0-4, 7, 16-19, 21-23, 25) and row 24. The others (communication options,
// the fieldbus slave, generic modules, the wide digital module) have none:
// their location word 0 names EEPROM 0xA0 memory 0, where row 0's or row 2's
// block lies (and 0xA0 identifies row 2), so they neither load constants
// from there nor store any there.
bool HasCalBlock(int16_t row) {
    constexpr uint32_t kRows = 0x1Fu | 1u << 7 | 0xFu << 16 | 0x1Fu << 21;
    return row >= 0 && row < int16_t(IO_IDENT_ROWS) && (kRows >> row) & 1;
}

void io_get_cal_const(uint32_t slot) {
    IoSlotState &s = tbl[slot];
    // Every row's block has the one layout that calibration sub-codes 4 and 5
    // write: 16 gains, 16 offsets, the validity word at +64. The analog output
    // modules (rows 18, 19) once looked for the word right after their 12 or 6
    // gain words, where sub-code 4 stores gains: their stored constants were
    // never taken again, and their offsets were lost.
    std::array<uint8_t, 66> b{};
    const uint32_t loc = io_cal_location(s.row);
    const bool read = HasCalBlock(s.row) && I2C_read_mem(b.data(), loc, 66, 0) == 0;
    if (read && LE_Get16(&b[64]) == 0xF19E) {
        for (unsigned i = 0; i < 16; i++) {
            s.gain[i] = LE_Get16(&b[2 * i]);
            s.offset[i] = LE_Get16(&b[32 + 2 * i]);
        }
        s.flags |= IOF_CAL_VALID | IOF_CONFIGURED;
        if (s.row == ROW_PWR1 || s.row == ROW_PWR2) AcmCalWrite(s);
    } else if (const unsigned n = s.row == ROW_AQ4   ? 12u
                                  : s.row == ROW_AQ2 ? 6u
                                                     : 0u;
               read && n != 0 && LE_Get16(&b[2 * n]) == 0xF19E) {
        // The short form these modules carry when calibrated elsewhere (three
        // gain words a channel, the validity word right behind them, 26 or 14
        // bytes) is taken as well, with offsets 0: a module calibrated that
        // way keeps its constants.
        Defaults(s);
        for (unsigned i = 0; i < n; i++) s.gain[i] = LE_Get16(&b[2 * i]);
        s.flags |= IOF_CAL_VALID | IOF_CONFIGURED;
    } else {
        Defaults(s);
        s.flags = uint16_t((s.flags & ~IOF_CAL_VALID) | IOF_CONFIGURED);
    }
}

// ---- configure --------------------------------------------------------------------------

void Configure(IoDriverMsg *m) {
    IoSlotState &s = tbl[m->slot];
    if (s.flags & IOF_CAL_MODE) return;
    s.flags = uint16_t((s.flags & ~0x300) | ((m->status & 3) << 8));
    s.filt_start = true;
    s.clock = m->clock;
    s.cfg = m->buffer;
    s.cfg_len = m->buffer != nullptr ? m->count : 0;
    if (IsGeneric(s.row)) {
        // A generic module has no calibration block; with its header read,
        // its configuration data is taken as any other module's.
        if (io_get_gen_cfg(m->slot) != 0) {
            m->status = 0x40;
            return;
        }
    } else {
        io_get_cal_const(m->slot);
    }
    if (s.cfg == nullptr || s.cfg_len == 0) {
        s.cfg = nullptr;
        // The reset line of a slot-1 communication option follows calibration mode.
        if (m->slot == 1 && (s.row == 5 || s.row == 6)) {
            const uint8_t exp = s.row == 5 ? 0x72 : 0x70;
            uint8_t b = 0;
            if (I2C_read_io(exp, &b, 0) == 0) {
                b = uint8_t(s.flags & IOF_CAL_MODE ? b | 0x40 : b & ~0x40);
                I2C_write_io(exp, &b, 0);
            }
        }
        return;
    }
    s.flags |= IOF_CONFIGURED;
    for (unsigned i = 0; i < 12; i++) s.types[i] = CfgByte(s, i);
    s.option_byte = CfgByte(s, CFG_OPTION_BYTE);
    s.option = CfgWord(s, CFGW_OPTION);
    const uint8_t pwm = CfgByte(s, CFG_PWM_SETTING);
    const uint16_t freq = CfgWord(s, CFGW_PWM_FREQ);
    if ((pwm & 0x0F) && freq) {
        s.pwm_setting = pwm;
        // A frequency above 25000 has no divider below the fastest: 0, not
        // the slowest prescale that 0 - 1 would leave in the register.
        s.prescale = freq <= 25000 ? uint16_t(25000 / freq - 1) : 0;
    } else {
        s.pwm_setting = 0;
        s.prescale = 0;
    }
    s.prot.started = false;
    s.phase_written = false;
    s.fpga_pulse_bits = 0xFF;  // the lines are driven again at the next update
    // Expander lines of the base boards.
    if (s.row == ROW_BASE21) {
        const uint8_t b[2] = {0xFF, uint8_t(0xBF | (s.option & 0x80 ? 0x40 : 0))};
        I2C_write_io(0x40, b, 1);
    }
    // Slot 0's FPGA is set up whatever the module: its counter and pulse
    // blocks start cleared, and register 4 follows the input inversion.
    if (m->slot == 0) {
        // A counter block's registers end at +0x17; a pulse-output block's
        // run to its deceleration step at +0x20 (2 bytes): cleared with it,
        // or a step left from before would stay in the FPGA.
        for (uint32_t base : {0xC0u, 0xE0u, 0x40u, 0x80u}) {
            const uint32_t len = base < 0xC0 ? 0x24 : 0x20;
            for (uint32_t k = 0; k < len; k += 4) FpgaWrite(base + k, 0, 4);
        }
        static constexpr uint32_t kPre[4] = {0xC2, 0xE2, 0x102, 0x122}, kMatch[4] = {0xC6, 0xE6, 0x106, 0x126};
        for (unsigned k = 0; k < 4; k++) {
            if (!(s.option & (1u << k))) continue;
            FpgaWrite(kPre[k], uint32_t(CfgWord(s, CFGW_PRESET + k)) << 8 | 0xFF, 4);
            FpgaWrite(kMatch[k], CfgWord(s, CFGW_MATCH + k), 4);
        }
        FpgaWrite(6, s.pwm_setting, 1);
        FpgaWrite(7, s.prescale, 2);
        auto mode = [&](unsigned a, unsigned b, unsigned c) -> int {
            return s.option & (1u << a) ? 0x11 : s.option & (1u << b) ? 0x12 : s.option & (1u << c) ? 0x03 : -1;
        };
        if (const int v = mode(4, 6, 8); v >= 0) FpgaWrite(0x41, uint32_t(v), 1);
        if (const int v = mode(5, 10, 9); v >= 0) FpgaWrite(0x81, uint32_t(v), 1);
        FpgaWrite(0x04, s.option & 0x80 ? 0 : 1, 1);
        s.fpga_last.fill(0xFFFFFFFF);
    }
}

// ---- query --------------------------------------------------------------------------------

void Query(IoDriverMsg *m) {
    const IoSlotState &s = tbl[m->slot];
    const IoIdent &r = io_ident[std::size_t(s.row)];
    m->model = crc_header[3] == 0x80 ? io_alias[std::size_t(s.row)].data() : r.text;
    m->points = {r.di, r.dq, r.ai, r.aq};
    if (IsGeneric(s.row)) {
        // A module whose header never showed is reported as faulted.
        if (!s.gen_ok) m->status = 0x40;
        m->model = s.gen_text;
        m->points = {s.gen[4], s.gen[6], s.gen[5], s.gen[7]};
    } else if (s.row == ROW_FIELDBUS) {
        m->points = {CfgWord(s, 2), CfgWord(s, 4), CfgWord(s, 6), CfgWord(s, 8)};
    } else if (s.row == ROW_WIDE && m->slot == 1 && WideIoModulePresent) {
        m->points = {32, 32, r.ai, 14};
    }
}

// ---- digital inputs --------------------------------------------------------------------------

void ReadInputs(IoDriverMsg *m) {
    IoSlotState &s = tbl[m->slot];
    // The answer starts as the last one; fresh[i] marks the bits of byte i
    // read now. Only those are inverted by option bit 7: a byte or bit that
    // was not read (an expander that did not answer, bits no source feeds)
    // keeps its last answer instead of flipping at every read.
    std::array<uint8_t, 4> in = s.in;
    std::array<uint8_t, 4> fresh{};
    uint8_t b[3] = {};
    bool b_read = false;  // the base board's expander answered
    const int16_t row = s.row;
    if (row == ROW_CURRENT || row == ROW_BASE23 || row == ROW_BASE24 || row == ROW_BASE25) {
        if (I2C_read_io(0x4C, b, 1) == 0) {
            in[0] = uint8_t(~b[0]);
            in[1] = uint8_t(~b[1]);
            fresh[0] = fresh[1] = 0xFF;
            // The current-monitoring module has four inputs: the other bits
            // read 0 whatever the inversion.
            if (row == ROW_CURRENT) in[0] &= 0x0F, in[1] = 0, fresh[0] = 0x0F, fresh[1] = 0;
        }
    } else if ((row >= 0 && row <= 4) || row == ROW_BASE21 || row == ROW_MIX22) {
        b_read = I2C_read_io(0x40, b, 1) == 0;
        if (b_read) {
            in[0] = uint8_t(~b[0]);
            in[1] = uint8_t(~b[1]);
            fresh[0] = fresh[1] = 0xFF;
        }
        if (row == 3 && I2C_read_io(0x44, b, 1) == 0) {
            in[2] = uint8_t(~b[0]);
            in[3] = uint8_t(~b[1]);
            fresh[2] = fresh[3] = 0xFF;
        }
        // The FPGA's high-speed inputs are slot 0's: a module of these rows
        // in slot 1 took slot 0's bits for its own.
        if (m->slot == 0) {
            in[2] = uint8_t((in[2] & 0xF0) | (FpgaRead(0xCB) & 0x0F));
            fresh[2] |= 0x0F;
        }
    } else if (row == ROW_PWR1 || row == ROW_PWR2) {
        const uint8_t cmd = 0x19;
        const uint8_t dev = row == ROW_PWR1 ? 0x50 : 0x52;
        if (PLAT_I2cWrite(dev, &cmd, 1) && PLAT_I2cRead(dev, b, 3)) {
            std::memcpy(in.data(), b, 3);
            fresh[0] = fresh[1] = fresh[2] = 0xFF;
        }
    } else if (row == ROW_FIELDBUS) {
        // Digital inputs count bytes, analog inputs 16-bit words.
        const uint32_t bytes = m->code == 11 ? 2u * m->count : m->count;
        uint8_t st = 0, st2[2] = {};
        const uint32_t dev = FbDev(m->slot);
        if (read_io_eeprom(dev, 1, 1, &st, 3) == 0 && read_io_eeprom(dev, 0xFD, 2, st2, 3) == 0) {
            if (uint16_t *w = RegWords(CfgWord(s, CFGW_STATUS), 1)) PutW(w, LE_Get16(st2));
            if ((st >> 4) == 0xE && m->buffer != nullptr && bytes > 0)
                read_io_eeprom(dev, m->first, bytes, m->buffer, 3);
        }
        return;
    }
    if (s.option & 0x80) {
        for (unsigned i = 0; i < 4; i++) in[i] ^= fresh[i];
    }
    // The base board's fourth byte is a status (expander bit 9 clear: 0x80),
    // not an input: the inversion of the inputs leaves it alone. Row 21 is
    // the one base I/O board that reads expander 0x40. Rows 0-4 and 22 read
    // it too but are expansion modules, not base boards (on rows 2-4 and 22,
    // with 32 inputs, the fourth byte holds inputs 25-32; row 3 fills it from
    // expander 0x44), and the base boards of rows 23-25 read expander 0x4C
    // instead, where bit 9 is one of row 24's inputs.
    if (row == ROW_BASE21 && b_read) in[3] = (b[1] & 0x02) ? 0 : 0x80;
    s.in = in;
    // Only the bytes the message asks for move.
    if (m->buffer != nullptr) {
        for (uint32_t i = 0; i < m->count && m->first + i < 4; i++) m->buffer[i] = in[m->first + i];
    }
    // Counter and pulse-output status bits of slot-0 modules.
    if (m->slot != 0) return;
    const uint8_t f = io_ident[std::size_t(row)].features;
    // While an IEC application with bound variables runs, each status bit
    // takes a byte of its own (0 or 1, least significant bit first), as its
    // BOOL variables are laid out.
    const bool iec = DrevanoRuntime && drevano_variables_enumerateded;
    if (f & 2) {
        if (uint8_t *p = RegBits(CfgWord(s, CFGW_CNT_STATUS), iec ? 16 * 8 : 16)) {
            static constexpr uint32_t kReg[4] = {0xCA, 0xEA, 0x10A, 0x12A};
            uint16_t bits = 0;
            for (unsigned k = 0; k < 4; k++) {
                if (s.option & (1u << k)) bits |= uint16_t((FpgaRead(kReg[k]) & 0x0F) << (4 * k));
            }
            uint8_t packed[2];
            LE_Put16(packed, bits);
            if (iec)
                Drevano_Bit_To_Byte(packed, p, 16);
            else
                std::memcpy(p, packed, 2);
        }
    }
    if ((f & 1) && (s.option & 0x440)) {
        if (uint8_t *p = RegBits(CfgWord(s, CFGW_PULSE_STATUS), iec ? 4 * 8 : 8)) {
            uint8_t bits = 0;
            if (s.option & 0x40) bits |= uint8_t(FpgaRead(0x42) & 3);
            if (s.option & 0x400) bits |= uint8_t((FpgaRead(0x82) & 3) << 2);
            if (iec)
                Drevano_Bit_To_Byte(&bits, p, 4);
            else
                p[0] = bits;
        }
    }
}

// ---- digital outputs -------------------------------------------------------------------------

uint8_t TermBits(uint8_t mode) {
    static constexpr uint8_t kMap[4] = {0x40, 0x80, 0x10, 0x20};
    uint8_t t = 0;
    for (unsigned i = 0; i < 4; i++) {
        if (mode & (0x10u << i)) t |= kMap[i];
    }
    return t;
}

void FbWrite(uint32_t slot, IoDriverMsg *m, uint32_t bytes) {
    IoSlotState &s = tbl[slot];
    uint8_t st = 0, st2[2] = {};
    const uint32_t dev = FbDev(slot);
    if (read_io_eeprom(dev, 1, 1, &st, 3) != 0 || read_io_eeprom(dev, 0xFD, 2, st2, 3) != 0) return;
    if (uint16_t *w = RegWords(CfgWord(s, CFGW_STATUS), 1)) PutW(w, LE_Get16(st2));
    if ((st >> 4) == 0xE && m != nullptr && m->buffer != nullptr && bytes > 0) {
        write_io_eeprom(dev, m->first, bytes, m->buffer, 3);
    }
}

// The memory of the last bits written is 0xFF (unknown) after init and
// configure: the first update then drives both lines, whatever they are.
// The FPGA's pulse outputs are slot 0's: a module of these rows in slot 1
// leaves them alone (its bits would start and stop slot 0's pulse outputs).
void PlainPulseOutputs(uint32_t slot, IoSlotState &s, uint8_t bit1, uint8_t bit2) {
    if (slot != 0) return;
    const uint8_t bits = uint8_t(bit1 | bit2 << 1);
    if (s.fpga_pulse_bits == bits) return;
    const uint8_t old = s.fpga_pulse_bits;
    const bool unknown = old > 3;
    s.fpga_pulse_bits = bits;
    if (!(s.option & 0x150) && (unknown || (old & 1) != bit1)) FpgaWrite(0x40, bit1, 1);
    if (!(s.option & 0x620) && (unknown || ((old >> 1) & 1) != bit2)) FpgaWrite(0x80, bit2, 1);
}

}  // namespace

void io_q_put(uint32_t slot, uint8_t mode) {
    if (slot > 1) return;
    IoSlotState &s = tbl[slot];
    const auto &o = s.out;
    uint8_t b[3];
    const bool ctl = mode & 1;
    switch (s.row) {
    case 0:
    case 1:
        b[0] = 0xFF;
        b[1] = uint8_t((~o[0] & 0x7F) | (ctl ? 0 : 0x80));
        I2C_write_io(0x40, b, 1);
        PlainPulseOutputs(slot, s, (o[3] >> 5) & 1, (o[3] >> 6) & 1);
        break;
    case 2:
    case 3:
    case 4:
        b[0] = 0xFF;
        b[1] = uint8_t(~o[0] | 0x02);
        I2C_write_io(0x40, b, 1);
        b[0] = uint8_t(~o[1]);
        if (s.row == 4) b[0] = uint8_t((b[0] & 0x7F) | (ctl ? 0 : 0x80));
        I2C_write_io(0x42, b, 2);
        if (s.row != 4 && s.mode_prev != mode) {
            b[0] = 0xFF;
            b[1] = ctl ? 0x7F : 0xFF;
            I2C_write_io(0x44, b, 1);
        }
        PlainPulseOutputs(slot, s, o[0] & 1, (o[0] >> 1) & 1);
        break;
    case ROW_CURRENT:
        b[0] = uint8_t((uint8_t(~o[0]) << 4) | 0x0F);
        b[1] = uint8_t(0xFF - (mode & 3));
        I2C_write_io(0x4C, b, 1);
        break;
    case ROW_AQ4:
    case ROW_AQ2: {
        uint8_t v = uint8_t((o[0] & 0x7F) | (ctl ? 0 : 0x80));
        if (mode & 0x04) v &= uint8_t(~0x04);
        if (mode & 0x08) v |= 0x04;
        s.out[0] = v;
        b[0] = v;
        b[1] = 0xFF;
        I2C_write_io(0x4E, b, 1);
        break;
    }
    case ROW_BASE21:
    case ROW_BASE23:
    case ROW_BASE25:
        if (ctl) {
            GpioBank0Pin17(false);
            break;
        }
        GpioBank0Pin17(true);
        if (s.row == ROW_BASE21) {
            b[0] = 0xFF;
            b[1] = uint8_t((~o[0] & 0x0F) | 0x80 | (s.option & 0x80 ? 0x40 : 0));
            I2C_write_io(0x40, b, 1);
        } else if (s.row == ROW_BASE23) {
            const uint8_t t = TermBits(mode);
            b[0] = t ? uint8_t(~t) : 0xFF;
            b[1] = uint8_t(~(o[0] & 0x0F));
            I2C_write_io(0x4C, b, 1);
        } else {
            b[0] = uint8_t(~o[0]);
            b[1] = uint8_t(TermBits(mode) | 0x06 | (s.option & 0x80 ? 0x46 : 0));
            I2C_write_io(0x40, b, 1);
        }
        break;
    case ROW_MIX22:
        b[0] = o[0];
        b[1] = o[1];
        b[2] = 0;
        I2C_write_io(0x40, b, 8);
        PlainPulseOutputs(slot, s, o[0] & 1, (o[0] >> 1) & 1);
        break;
    case ROW_BASE24:
        b[0] = uint8_t(~o[0]);
        b[1] = uint8_t((~o[1] & 3) | TermBits(mode) | 0x04 | (s.option & 0x80 ? 0x44 : 0));
        I2C_write_io(0x40, b, 1);
        break;
    case ROW_PWR1:
    case ROW_PWR2: {
        // The lines last written are kept as bits 0 (0x40) and 1 (0x80);
        // 0xFF (after init and configure, which clears both registers) is
        // unknown: both are driven again. Kept apart from the mode of the last
        // call, which a configure leaves as it was: an output on before the
        // configure stayed off after it.
        // The FPGA's registers 0x40 and 0x80 are slot 0's (its pulse
        // outputs, cleared by slot 0's configure): a module in slot 1 leaves
        // them alone, as the plain pulse outputs of rows 0-4 and 22 do.
        const uint8_t b0 = o[0] & 1, m0 = mode & 1;
        const uint8_t old = s.fpga_pulse_bits;
        const bool unknown = old > 3;
        if (slot == 0) {
            if (unknown || (old & 1) != b0) FpgaWrite(0x40, b0, 1);
            if (unknown || ((old >> 1) & 1) != m0) FpgaWrite(0x80, m0, 1);
            s.fpga_pulse_bits = uint8_t(b0 | m0 << 1);
        }
        if (o[0] & 0x40) {
            s.acm.energy = {};
            s.acm.at_last = {};
            s.acm.total = {};
        }
        if (o[0] & 0x80) {
            const uint8_t cmd = 26;
            static_cast<void>(PLAT_I2cWrite(s.row == ROW_PWR1 ? 0x50 : 0x52, &cmd, 1));  // not confirmed
        }
        break;
    }
    default: break;
    }
    s.mode_prev = mode;
    s.mode = mode;
    // Counter presets of slot-0 modules with counters, from their register
    // block. Written when changed, as the code-12 registers are, rather than
    // on every call: the preset register only holds the value the counter
    // loads, so the same value again changes nothing in the FPGA, and a
    // configure or stop forgets the values written, so the first update after
    // either writes every preset (one SPI transfer saved per counter and pass).
    if (slot == 0 && s.row >= 0 && (io_ident[std::size_t(s.row)].features & 2)) {
        if (const uint16_t *p = RegWords(CfgWord(s, CFGW_PRESET_BLOCK), 4)) {
            for (unsigned k = 0; k < 4; k++) {
                if (s.option & (1u << k)) FpgaOnChange(s, FL_PRESET + k, 0xC0 + 0x20 * k, GetW(p + k), 2);
            }
        }
    }
}

namespace {

// ---- analog inputs ---------------------------------------------------------------------------

// Raw count of channel c from the slot's converter; false when it did not answer.
bool ReadRaw(uint32_t slot, unsigned c, int32_t &raw) {
    uint8_t b[2];
    const uint8_t dev = ConverterAddr(slot), reg = uint8_t(c);
    if (!PLAT_I2cWrite(dev, &reg, 1) || !PLAT_I2cRead(dev, b, 2)) return false;
    raw = BE_Get16(b);
    return true;
}

// The SoC's low-resolution ADC, channel 0, for rows 23 and 25 (row 25 picks
// its input c through GPIO bank 4 pins 9 to 11 first): a conversion is
// scheduled, its end awaited (a bounded number of polls, so that a converter
// that never finishes cannot hold the scan), the result read 10 times and
// the last kept, its 12 bits scaled to 16. False when no result came.
constexpr uint32_t kLradc = 0x80050000, kPinctrl = 0x80018000;
constexpr uint32_t LRADC_CTRL0_SET = 0x004, LRADC_CTRL1 = 0x010, LRADC_CTRL1_CLR = 0x018, LRADC_CH0 = 0x050;
constexpr uint32_t PIN_MUXSEL8_SET = 0x184, PIN_DOUT4_SET = 0x744, PIN_DOUT4_CLR = 0x748, PIN_DOE4_SET = 0xB44;
constexpr unsigned kAdcPolls = 1000;

bool SocAdc(int16_t row, unsigned c, int32_t &raw) {
    volatile uint32_t *adc = PLAT_SocMap(kLradc, 0x2000);
    if (adc == nullptr) return false;
    if (row == ROW_BASE25) {
        volatile uint32_t *pin = PLAT_SocMap(kPinctrl, 0x2000);
        if (pin == nullptr) return false;
        pin[PIN_MUXSEL8_SET / 4] = 0x3Fu << 18;  // bank 4 pins 9..11 to GPIO
        pin[PIN_DOE4_SET / 4] = 7u << 9;
        pin[PIN_DOUT4_SET / 4] = (c & 7u) << 9;
        pin[PIN_DOUT4_CLR / 4] = (~c & 7u) << 9;
    }
    adc[LRADC_CTRL1_CLR / 4] = 1;  // the end of the last conversion
    adc[LRADC_CTRL0_SET / 4] = 1;  // schedule channel 0
    unsigned polls = 0;
    while (!(adc[LRADC_CTRL1 / 4] & 1)) {
        if (++polls >= kAdcPolls) return false;
    }
    uint32_t v = 0;
    for (unsigned i = 0; i < 10; i++) v = adc[LRADC_CH0 / 4];
    raw = int32_t((v & 0xFFF) << 4);
    return true;
}

// Status block of row 22 (configuration word 9, ten words): word 0 asks, by
// bits 0 to 6, for the answers of the commands 19, 20, 21, 23, 24, 25 and
// 26 of the expander, which go into words 3 to 9.
void Mix22Status(const IoSlotState &s) {
    uint16_t *w = RegWords(CfgWord(s, CFGW_STATUS), 10);
    if (w == nullptr) return;
    static constexpr uint8_t kCmd[7] = {19, 20, 21, 23, 24, 25, 26};
    const uint16_t req = GetW(w);
    for (unsigned k = 0; k < 7; k++) {
        if (!(req & (1u << k))) continue;
        uint8_t b[2];
        if (PLAT_I2cWrite(0x40, &kCmd[k], 1) && PLAT_I2cRead(0x40, b, 2)) PutW(w + 3 + k, LE_Get16(b));
    }
}

void ColdJunction(IoSlotState &s) {
    const bool tc = (s.types[0] >= 24 && s.types[0] <= 31) || (s.types[1] >= 24 && s.types[1] <= 31);
    if (!tc) return;
    if (s.cj_addr == 0) {
        if (I2C_query(0x96) == 0)
            s.cj_addr = 0x96;
        else if (I2C_query(0x9E) == 0)
            s.cj_addr = 0x9E;
        else {
            s.comp.fill(0);
            return;
        }
        s.cj_read = false;
    }
    const uint32_t now = FPGA_GetFrt();
    if (!s.cj_read || int32_t(now - s.cj_next) >= 0) {
        int32_t t16 = 0;
        if (I2C_read_LM92(s.cj_addr, &t16) == 0) {
            s.cj_read = true;
            s.cj_next = now + 15000;
            cj_comp(s.comp.data(), (t16 * 5) >> 1);
        }
    }
}

unsigned Converted(int16_t row) {
    switch (row) {
    case 0: return 1;
    case 2:
    case 3:
    case 4: return 2;
    case 1:
    case ROW_BASE25: return 4;
    case ROW_CURRENT: return 5;
    case ROW_BASE21: return 8;
    case ROW_MIX22: return 6;
    case ROW_BASE23: return 1;
    default: return 0;
    }
}

}  // namespace

void input_ais(uint32_t slot) {
    IoSlotState &s = tbl[slot];
    const int16_t row = s.row;
    const unsigned n = Converted(row);
    const unsigned shift = s.option_byte & 0x1F;
    if (row == ROW_TC) ColdJunction(s);
    for (unsigned c = 0; c < n && c < 16; c++) {
        int32_t x = s.raw[c];
        bool fresh;
        if (row == ROW_MIX22) {
            if (s.types[c] == 10) continue;
            uint8_t cmd = uint8_t(c + 32), b[2];
            fresh = PLAT_I2cWrite(0x40, &cmd, 1) && PLAT_I2cRead(0x40, b, 2);
            if (fresh) x = LE_Get16(b);
        } else if (row == ROW_BASE23 || row == ROW_BASE25) {
            fresh = SocAdc(row, c, x);
        } else {
            fresh = ReadRaw(slot, c, x);
        }
        s.raw[c] = x;
        if (shift) {
            // The filter starts at the first read after a configure or stop,
            // whether or not a stop came between (not on every read while
            // flag bit 2 is set: it stays set, and the filter would never
            // smooth). The accumulator is 64 bits wide: a 16-bit count
            // shifted by up to 31 does not fit 32.
            if (s.filt_start) {
                s.facc[c] = int64_t(x) << shift;
                s.fout[c] = x;
            } else if (fresh || row != ROW_TC) {
                s.facc[c] += x - s.fout[c];
                s.fout[c] = int32_t(s.facc[c] >> shift);
            }
            x = s.fout[c];
        }
        const uint8_t type = s.types[c];
        int32_t v;
        if (row == ROW_TC) {
            static constexpr unsigned kPair[32] = {1, 2, 2, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0,
                                                   4, 0, 0, 0, 0, 0, 0, 0, 5, 5, 5, 5, 5, 5, 5, 5};
            const unsigned p = kPair[type & 31] ? 8 * c + kPair[type & 31] - 1 : 8 * c;
            v = Io_ConvertUniversal(x, type, s.gain[p & 15], s.offset[p & 15], s.cj_addr ? s.comp.data() : nullptr);
            v = std::clamp(v, -32768, 32767);
        } else if (row == ROW_BASE21 || row == ROW_BASE23) {
            const int64_t p = (int64_t(x) + s.offset[c & 15]) * s.gain[c & 15];
            v = p < 0 ? 0 : int32_t(std::min<int64_t>(p >> 16, 32767));
        } else if (row == ROW_CURRENT) {
            v = Io_ConvertStd(x, 0, s.gain[c & 15], s.offset[c & 15]);
        } else if (row == ROW_BASE25) {
            const unsigned p = (2 * c + (type ? 1 : 0)) & 15;
            const int64_t prod = (int64_t(x) + s.offset[p]) * s.gain[p];
            v = int32_t(std::clamp<int64_t>(prod >> 16, 0, 32767));
            // Outside calibration the non-zero types take the board's
            // range scale (channel 3's range is wider).
            if (type != 0 && !(s.flags & IOF_CAL_MODE)) v = v * 32000 / (c == 3 ? 32550 : 32220);
            if (type == 2) v = (5 * std::min(v, 32000) - 32000) / 4;
        } else {
            const unsigned p = (2 * c + (type ? 1 : 0)) & 15;
            v = Io_ConvertStd(x, type, s.gain[p], s.offset[p]);
        }
        s.ai[c] = int16_t(v);
    }
    s.filt_start = false;
    // Once per pass, after channel 5; also when channel 5 is unused (type 10):
    // the status block has a request word of its own, and an unused input
    // does not silence it.
    if (row == ROW_MIX22) Mix22Status(s);
    if (row == ROW_CURRENT) {
        const uint16_t block = std::min<uint16_t>(CfgWord(s, CFGW_PROT_BLOCK), 9900);
        // Block 0 names no protection block.
        if (block != 0) {
            uint8_t *p = PlcReg_Ptr(32768u + 16u * (block - 1u), 14 * 16);
            if (p != nullptr) {
                std::array<uint16_t, 14> w;
                for (unsigned i = 0; i < 14; i++) w[i] = LE_Get16(p + 2 * i);
                const uint16_t cur4[4] = {uint16_t(s.ai[0]), uint16_t(s.ai[1]), uint16_t(s.ai[2]), uint16_t(s.ai[3])};
                Io_Protect(s.prot, w.data(), cur4, FPGA_GetFrt(), 15);
                for (unsigned i = 0; i < 14; i++) LE_Put16(p + 2 * i, w[i]);
            }
        }
    }
}

float lpf1(float f) {
    const float x = f * 0.000240385f;
    return std::sqrt(1.0f + x * x);
}

namespace {
// One converter register: command 1 and the register number, then its bytes
// (big-endian, signed when bits says so).
bool AcmReg(uint8_t dev, uint8_t reg, unsigned bytes, bool sign, int32_t &out) {
    const uint8_t cmd[2] = {1, reg};
    uint8_t b[3] = {};
    if (!PLAT_I2cWrite(dev, cmd, 2) || !PLAT_I2cRead(dev, b, bytes)) return false;
    uint32_t v = 0;
    for (unsigned i = 0; i < bytes; i++) v = v << 8 | b[i];
    if (sign && (v & (1u << (8 * bytes - 1)))) v |= ~0u << (8 * bytes);
    out = int32_t(v);
    return true;
}
}  // namespace

namespace {
// Phase corrections of the three phases (floats, in the converter's counts)
// into the converter's phase registers 0xC2 to 0xC4, rounded to signed 16
// bits, big-endian; only when one of them changed since the last write.
void AcmPhase(IoSlotState &s, const uint8_t *floats) {
    std::array<int32_t, 3> v{};
    for (unsigned p = 0; p < 3; p++) {
        const float f = std::bit_cast<float>(LE_Get32(floats + 4 * p));
        v[p] = std::isnan(f) ? 0 : int32_t(std::lround(std::clamp(f, -32768.0f, 32767.0f)));
    }
    if (s.phase_written && v == s.phase_last) return;
    const uint8_t dev = s.row == ROW_PWR2 ? 0x52 : 0x50;
    for (unsigned p = 0; p < 3; p++) {
        const uint8_t b[3] = {uint8_t(0xC2 + p), uint8_t(uint32_t(v[p]) >> 8), uint8_t(v[p])};
        if (!PLAT_I2cWrite(dev, b, 3)) return;  // again on the next call
    }
    s.phase_last = v;
    s.phase_written = true;
}
}  // namespace

void input_acm(uint32_t slot) {
    IoSlotState &s = tbl[slot];
    IoAcm &a = s.acm;
    const uint8_t dev = s.row == ROW_PWR2 ? 0x52 : 0x50;
    const unsigned n = s.option_byte & 0x1F;
    // Raw values: V1-3 (13-15), I1-3 (10-12), frequency (16), 0x21, 0x22.
    static constexpr uint8_t kReg[9] = {13, 14, 15, 10, 11, 12, 16, 0x21, 0x22};
    static constexpr uint8_t kBytes[9] = {3, 3, 3, 3, 3, 3, 2, 1, 1};
    std::array<int32_t, 9> x{};
    for (unsigned i = 0; i < 9; i++) {
        int32_t v = 0;
        if (!AcmReg(dev, kReg[i], kBytes[i], kBytes[i] == 3, v)) return;  // keeps the last answer
        x[i] = i == 6 ? (v & 0xFFF) : v;
    }
    std::copy(x.begin(), x.begin() + 6, a.raw.begin());
    for (unsigned i = 0; i < 7; i++) {
        if (n == 0 || !a.smooth_set) {
            a.smooth[i] = x[i];
        } else {
            const int64_t sm = a.smooth[i];
            a.smooth[i] = int32_t((int64_t(x[i]) - sm + (sm << n)) >> n);
        }
    }
    a.smooth_set = true;
    a.freq = float(a.smooth[6]) * 0.0625f;
    // The filter's factor takes the smoothed count (1/16 Hz steps), not the
    // frequency in hertz: 0.000240385 is 1 / (16 x 260 Hz).
    const float k = lpf1(float(a.smooth[6]));
    for (unsigned p = 0; p < 3; p++) {
        a.out[p] = float(a.smooth[p]) * k * 0.000419504f * a.vt[p];
        a.out[3 + p] = float(a.smooth[3 + p]) * 3.077192e-06f * a.ct[p];
    }
    a.out[6] = a.freq;
    // Energy increments of the three phases, active (1-3) and reactive (4-6).
    const uint32_t now = FPGA_GetFrt();
    for (unsigned kind = 0; kind < 2; kind++) {
        for (unsigned p = 0; p < 3; p++) {
            int32_t inc = 0;
            if (!AcmReg(dev, uint8_t(1 + 3 * kind + p), 2, true, inc)) continue;
            const double e = double(inc) * a.vt[p] * a.ct[p] * 1.87729e-08;
            a.energy[kind][p] += e;
            a.total[kind] += e;
        }
    }
    if (a.first) {
        a.first = false;
        a.at_last = a.energy;
        a.t_last = now;
    } else if (now - a.t_last >= 1000) {
        const double ticks = double(now - a.t_last);
        for (unsigned kind = 0; kind < 2; kind++) {
            double sum = 0;
            for (unsigned p = 0; p < 3; p++) {
                const double pw = (a.energy[kind][p] - a.at_last[kind][p]) * 3.6e10 / ticks;
                a.phase_power[kind][p] = float(pw);
                sum += pw;
            }
            a.power[kind] = float(sum);
        }
        a.at_last = a.energy;
        a.t_last = now;
    }
    const float apparent = std::sqrt(a.power[0] * a.power[0] + a.power[1] * a.power[1]);
    a.out[7] = a.power[0];
    a.out[8] = apparent != 0 ? a.power[0] / apparent : 0;
    a.out[9] = apparent;
    a.out[10] = a.power[1];
    a.out[11] = float(a.total[0]);
    const unsigned ph = std::min<unsigned>(s.types[0], 2);
    a.out[12] = float(x[7] & 0xFF) * k * 4.1947f * a.vt[ph];
    a.out[13] = float(x[8] & 0xFF) * 0.0345036f * a.ct[ph];
}

namespace {
// The analog outputs of a slot (its converters), without the pulse outputs
// and counters that output_aqx programs after them.
void AnalogOutputs(uint32_t slot) {
    IoSlotState &s = tbl[slot];
    const int16_t row = s.row;
    uint8_t b[3];
    if (row == ROW_AQ4 || row == ROW_AQ2) {
        const unsigned n = row == ROW_AQ4 ? 4 : 2;
        for (unsigned k = 0; k < n; k++) {
            const uint16_t v = s.aq[k];
            const uint8_t type = s.types[k];
            const unsigned p = 3 * k + (type == 0 ? 0 : type == 9 ? 1 : 2);
            const uint32_t o = Io_ScaleOut(v, type, s.gain[p], s.offset[p]) << 4;
            // Sent as command, high, low in the reversed three-byte mode.
            b[0] = uint8_t(o);
            b[1] = uint8_t(o >> 8);
            b[2] = uint8_t(0x30 + (k & 1));
            I2C_write_io(k < 2 ? 0x20 : 0x22, b, 6);
        }
    } else if (row == ROW_TC) {
        for (unsigned k = 0; k < 2; k++) {
            const uint8_t type = s.types[2 + k];
            // Type 0 takes pair 6 or 14, any other type pair 7 or 15; the
            // type picks the scale (type 9 the bipolar one, centred on 2048).
            const unsigned p = (k ? 13 : 5) + (type ? 1 : 0);
            const uint32_t o = Io_ScaleOut(s.aq[k], type, s.gain[p], s.offset[p]);
            b[0] = uint8_t(o >> 8);
            b[1] = uint8_t(o);
            I2C_write_io(k ? 0x9A : 0x98, b, 1);
        }
    } else if (row == ROW_BASE21 || row == ROW_BASE23) {
        // One range and one calibration pair (9 + k) per output, and no
        // channel type byte for the outputs: the plain scale of type 0
        // (rows 4, 18, 19 and 25, whose other ranges have pairs of their
        // own, take the channel's type).
        for (unsigned k = 0; k < 4; k++) {
            const uint32_t o = Io_ScaleOut(s.aq[k], 0, s.gain[8 + k], s.offset[8 + k]);
            const uint32_t word = o | 0x1000 | (k << 14);
            Ssp2_Xch(word, ~word, 1);
        }
    } else if (row == ROW_BASE25) {
        for (unsigned k = 0; k < 2; k++) {
            const uint8_t type = s.types[4 + k];
            // Pair 9 + 2k for type 0, 10 + 2k for the others; the type
            // picks the scale, and only type 0 sets bit 15.
            const unsigned p = 8 + 2 * k + (type ? 1 : 0);
            uint32_t word = Io_ScaleOut(s.aq[k], type, s.gain[p], s.offset[p]) | 0x1000 | (k << 14);
            if (type == 0) word += 0x8000;
            word &= 0xFFFF;
            Ssp2_Xch(word, ~word, 1);
        }
    } else if (row == ROW_MIX22) {
        // Its six inputs take channel types 0-5, its four outputs the
        // settings in bytes 6-9 (they once shared bytes 4 and 5 with inputs
        // 4 and 5: an unused input silenced an output, and an output's
        // setting changed an input's conversion).
        for (unsigned k = 0; k < 4; k++) {
            if (s.types[6 + k] == 10) continue;
            b[0] = uint8_t(0x30 + k);
            b[1] = uint8_t(s.aq[k]);
            b[2] = uint8_t(s.aq[k] >> 8);
            I2C_write_io(0x40, b, 8);
        }
    }
}
}  // namespace

void output_aqx(uint32_t slot) {
    IoSlotState &s = tbl[slot];
    const int16_t row = s.row;
    AnalogOutputs(slot);
    if (slot != 0 || row < 0) return;
    const uint8_t f = io_ident[std::size_t(row)].features;
    // Pulse outputs.
    if ((f & 1) && (s.option & 0x470)) {
        if (const uint16_t *blk = RegWords(CfgWord(s, CFGW_PULSE_BLOCK), 20)) {
            for (unsigned k = 0; k < 2; k++) {
                const uint16_t *w = blk + 10 * k;
                auto u32 = [&](unsigned i) { return uint32_t(GetW(w + i)) | uint32_t(GetW(w + i + 1)) << 16; };
                uint32_t a = u32(0), fq = u32(2);
                if (!PwmMode) {
                    const uint16_t hold = CfgWord(s, CFGW_HOLD);
                    if (hold & (1u << k)) a = CfgWord(s, CFGW_HOLD_A);
                    if (hold & (4u << k)) fq = CfgWord(s, CFGW_HOLD_F);
                }
                const uint32_t base = 0x40 + 0x40 * k;
                const bool width = s.option & (k ? 0x20 : 0x10);
                const bool train = s.option & (k ? 0x400 : 0x40);
                IoPulse p{};
                const unsigned x = FL_PULSE + 9 * k;
                if (width) {
                    p = Io_PulseWidth(fq, a);
                } else if (train) {
                    p = Io_PulseTrain(fq, a, u32(4), u32(8));
                    FpgaOnChange(s, x + 0, base + 0x0C, u32(4), 4);
                    FpgaOnChange(s, x + 1, base + 0x10, u32(6), 4);
                    FpgaOnChange(s, x + 2, base + 0x14, u32(8), 4);
                    FpgaOnChange(s, x + 3, base + 0x18, p.acc_pre, 2);
                    FpgaOnChange(s, x + 4, base + 0x1A, p.dec_pre, 2);
                    FpgaOnChange(s, x + 5, base + 0x1C, p.acc_step, 2);
                    FpgaOnChange(s, x + 6, base + 0x20, p.dec_step, 2);
                } else {
                    continue;
                }
                FpgaOnChange(s, x + 7, base + 0x04, p.start, 3);
                FpgaOnChange(s, x + 8, base + 0x08, p.run, 3);
            }
        }
    }
    // Counter preload and match values.
    if (f & 2) {
        if (const uint16_t *blk = RegWords(CfgWord(s, CFGW_CNT_BLOCK), 24)) {
            for (unsigned k = 0; k < 4; k++) {
                if (!(s.option & (1u << k))) continue;
                const uint16_t *w = blk + 6 * k;
                for (unsigned i = 0; i < 3; i++) {
                    const uint32_t v = uint32_t(GetW(w + 2 * i)) | uint32_t(GetW(w + 2 * i + 1)) << 16;
                    FpgaOnChange(s, FL_COUNTER + 3 * k + i, 0xCC + 0x20 * k + 4 * i, v, 4);
                }
            }
        }
    }
}

namespace {

// ---- generic modules -----------------------------------------------------------------------

// One bus transfer at a generic module's memory address.
bool GenXfer(const IoSlotState &s, uint8_t mem, uint8_t *data, uint32_t n, bool write) {
    I2C_init((3125u << ((s.gen_mode >> 8) & 0x0F)) == 400000u ? 400000 : 100000);
    std::array<uint8_t, 1 + 224> tx;
    tx[0] = mem;
    if (write) {
        std::memcpy(&tx[1], data, n);
        return PLAT_I2cWrite(s.gen_dev, tx.data(), n + 1) != 0;
    }
    return PLAT_I2cWrite(s.gen_dev, tx.data(), 1) && PLAT_I2cRead(s.gen_dev, data, n);
}

void GenExchange(uint32_t slot) {
    IoSlotState &s = tbl[slot];
    const uint8_t ctl = 1;
    GenXfer(s, 0, const_cast<uint8_t *>(&ctl), 1, true);
    // The slot's own areas: first %I/%Q bit and first %AI/%AQ word of the slot.
    const uint32_t ib = 8192 + 256 * slot, qb = 10240 + 256 * slot;
    const uint32_t aib = 16384 + 4096 * slot, aqb = 24576 + 4096 * slot;
    const uint32_t di = std::min<uint32_t>(s.gen[4], 128), ai = std::min<uint32_t>(s.gen[5], 112);
    const uint32_t dq = std::min<uint32_t>(s.gen[6], 128), aq = std::min<uint32_t>(s.gen[7], 112);
    std::array<uint8_t, 224> buf;
    if (di) {
        if (uint8_t *p = PlcReg_Ptr(ib, (di + 7) & ~7u); p && GenXfer(s, 16, buf.data(), (di + 7) / 8, false)) {
            std::memcpy(p, buf.data(), (di + 7) / 8);
        }
    }
    if (ai) {
        if (uint8_t *p = PlcReg_Ptr(aib, 16 * ai); p && GenXfer(s, 32, buf.data(), 2 * ai, false)) {
            std::memcpy(p, buf.data(), 2 * ai);
        }
    }
    if (dq) {
        if (uint8_t *p = PlcReg_Ptr(qb, (dq + 7) & ~7u)) GenXfer(s, 16, p, (dq + 7) / 8, true);
    }
    if (aq) {
        if (uint8_t *p = PlcReg_Ptr(aqb, 16 * aq)) GenXfer(s, 32, p, 2 * aq, true);
    }
}

// ---- calibration -----------------------------------------------------------------------------

// Clears the validity word of the block at loc, and for the analog output
// modules also that of their short form (right behind their 12 or 6 gain
// words), which configure takes too. False when the EEPROM did not take the
// first.
bool CalInvalidate(const IoSlotState &s, uint32_t loc) {
    const uint8_t w[2] = {0, 0};
    const bool cleared = I2C_write_mem(w, loc + 64, 2, 0) == 0;
    if (cleared && (s.row == ROW_AQ4 || s.row == ROW_AQ2)) {
        const uint32_t at = s.row == ROW_AQ4 ? 24u : 12u;
        if (I2C_write_mem(w, loc + at, 2, 0) != 0) return false;
    }
    return cleared;
}

void Calibrate(IoDriverMsg *m) {
    IoSlotState &s = tbl[m->slot];
    uint8_t *b = m->buffer;
    const uint32_t len = std::min<uint32_t>(m->extra, 64);
    if (b == nullptr || len == 0) {
        m->extra = 0;
        return;
    }
    const uint8_t sub = b[0];
    uint32_t answer = 1;
    if ((sub == 4 || sub == 5 || sub == 6) && !HasCalBlock(s.row)) {
        // A module without a calibration block: refused as a sub-code the
        // module does not have (a zero first byte), nothing written, and
        // flag bit 0 stays clear (no constants stored).
        s.flags &= uint16_t(~IOF_CAL_VALID);
        b[0] = 0;
        m->extra = 1;
        return;
    }
    switch (sub) {
    case 0: {
        std::array<uint8_t, 26> a{};
        a[0] = m->status;
        LE_Put16(&a[2], s.flags);
        LE_Put16(&a[4], 309);
        LE_Put16(&a[6], io_ident[std::size_t(s.row)].id);
        std::memcpy(&a[8], io_ident[std::size_t(s.row)].text, 6);
        std::memcpy(&a[14], s.types.data(), 4);
        a[18] = s.option_byte;
        a[19] = uint8_t(s.option);
        answer = m->status ? 9 : 26;
        std::memcpy(b, a.data(), answer);
        break;
    }
    case 1: {
        if (s.row == ROW_PWR1 || s.row == ROW_PWR2) {
            // The metering reader, not the analog one (which reads nothing
            // for these rows): six raw readings V1-3, I1-3 as 32 bits low
            // word first (12 words), then the active and the reactive power
            // of each phase as floats.
            input_acm(m->slot);
            for (unsigned i = 0; i < 6; i++) LE_Put32(&b[1 + 4 * i], uint32_t(s.acm.raw[i]));
            for (unsigned i = 0; i < 6; i++)
                LE_Put32(&b[25 + 4 * i], std::bit_cast<uint32_t>(s.acm.phase_power[i / 3][i % 3]));
            answer = 49;
            break;
        }
        input_ais(m->slot);
        if (s.row == ROW_AQ4 || s.row == ROW_AQ2) {
            const unsigned n = s.row == ROW_AQ4 ? 4 : 2;
            for (unsigned k = 0; k < n; k++) LE_Put16(&b[1 + 2 * k], s.aq[k]);
            answer = 1 + 2 * n;
            break;
        }
        // Base boards: the raw counts of their 8 inputs, then their 4 output
        // words. Others: the raw counts of 12 inputs, the 8 cold-junction
        // compensation values (one per thermocouple type, 0 without a
        // sensor), then 2 output words.
        const bool base = s.row == ROW_BASE21 || s.row == ROW_BASE23 || s.row == ROW_BASE25;
        unsigned at = 1;
        for (unsigned c = 0; c < (base ? 8u : 12u); c++, at += 2) LE_Put16(&b[at], uint16_t(s.raw[c]));
        if (!base) {
            for (unsigned i = 0; i < 8; i++, at += 2) LE_Put16(&b[at], uint16_t(s.comp[i]));
        }
        for (unsigned k = 0; k < (base ? 4u : 2u); k++, at += 2) LE_Put16(&b[at], s.aq[k]);
        answer = at;
        break;
    }
    case 2:
        s.flags |= IOF_CAL_MODE | IOF_CONFIGURED;
        for (unsigned i = 0; i < 4 && 1 + i < len; i++) s.types[i] = b[1 + i];
        if (len > 5) s.option_byte = b[5];
        if (len > 7) s.option = LE_Get16(&b[6]);
        if (s.row == ROW_PWR1 || s.row == ROW_PWR2) {
            for (unsigned k = 0; k < 6 && 8 + 4 * k + 4 <= len; k++) {
                (k < 3 ? s.acm.vt[k] : s.acm.ct[k - 3]) = std::bit_cast<float>(LE_Get32(&b[8 + 4 * k]));
            }
            break;
        }
        if (s.row == ROW_AQ4 || s.row == ROW_AQ2) {
            // An analog output module takes its output words (4 or 2, those
            // that arrived) and drives its converters with them now: while
            // the slot calibrates the scan writes no outputs, and without
            // this the converters could not be set to the values measured.
            const unsigned n = s.row == ROW_AQ4 ? 4 : 2;
            for (unsigned k = 0; k < n && 8 + 2 * k + 2 <= len; k++) s.aq[k] = LE_Get16(&b[8 + 2 * k]);
            io_q_put(m->slot, s.mode);
            output_aqx(m->slot);
            break;
        }
        // 24 output bytes: the four digital output bytes, then ten analog
        // output words (those that arrived), both driven at once: while the
        // slot calibrates the scan writes no analog outputs, and the
        // converters must show the values being measured.
        for (unsigned i = 0; i < 4 && 8 + i < len; i++) s.out[i] = b[8 + i];
        for (unsigned k = 0; k < 10 && 12 + 2 * k + 2 <= len; k++) s.aq[k] = LE_Get16(&b[12 + 2 * k]);
        io_q_put(m->slot, s.mode);
        AnalogOutputs(m->slot);
        break;
    case 3: {
        // Sixteen pairs are held: mask bits 16..31 name none, and only words
        // that arrived are taken.
        if (len < 6) break;
        const uint32_t mask = LE_Get32(&b[2]);
        uint32_t at = 6;
        for (unsigned i = 0; i < 16; i++) {
            if (!(mask & (1u << i))) continue;
            if (at + 4 > len) break;
            s.gain[i] = LE_Get16(&b[at]);
            s.offset[i] = LE_Get16(&b[at + 2]);
            at += 4;
        }
        if (s.row == ROW_PWR1 || s.row == ROW_PWR2) AcmCalWrite(s);
        break;
    }
    case 4: {
        std::array<uint8_t, 66> blk{};
        for (unsigned i = 0; i < 16; i++) {
            LE_Put16(&blk[2 * i], s.gain[i]);
            LE_Put16(&blk[32 + 2 * i], s.offset[i]);
        }
        LE_Put16(&blk[64], 0xF19E);
        const uint32_t loc = io_cal_location(s.row) + (len > 1 ? uint32_t(b[1]) << 7 : 0);
        // The module's EEPROM takes writes only while its write line (mode
        // bit 0 of the outputs) is raised: raised for the transfer, then the
        // outputs' mode as it was.
        const uint8_t mode = s.mode;
        io_q_put(m->slot, uint8_t(mode | 1));
        // The validity word is cleared first and written last, with the
        // block: a store that breaks off part-way leaves no validity word
        // over a half-written block (nor a stale one from an earlier store),
        // and the next configure takes the defaults. Flag bit 0 then reports
        // the constants as not stored.
        const bool stored = CalInvalidate(s, loc) && I2C_write_mem(blk.data(), loc, 66, 0) == 0;
        io_q_put(m->slot, mode);
        if (stored)
            s.flags |= IOF_CAL_VALID;
        else
            s.flags &= uint16_t(~IOF_CAL_VALID);
        break;
    }
    case 5:
    case 6: {
        uint8_t w[2];
        LE_Put16(w, sub == 5 ? 0xF19E : 0);
        const uint32_t loc = io_cal_location(s.row) + 64;
        // The same EEPROM as the block's store, so the same write line: a
        // word the EEPROM does not take under its write protection left
        // sub-code 5 reporting constants valid that were not, and sub-code 6
        // constants valid in the EEPROM that the flag reported invalid.
        const uint8_t mode = s.mode;
        io_q_put(m->slot, uint8_t(mode | 1));
        const bool stored = I2C_write_mem(w, loc, 2, 0) == 0;
        // Valid only once the EEPROM took the word (as with sub-code 4); a
        // failed clear still drops the flag, the safer side.
        if (sub == 5 && stored) s.flags |= IOF_CAL_VALID;
        if (sub == 6) {
            s.flags &= uint16_t(~IOF_CAL_VALID);
            // The analog output modules' short form (validity word right
            // behind their 12 or 6 gain words) is taken at configure too:
            // cleared as well, or the constants just invalidated would come
            // back valid. In the full block that word is an unused gain.
            if (s.row == ROW_AQ4 || s.row == ROW_AQ2) {
                const uint32_t at = s.row == ROW_AQ4 ? 24u : 12u;
                static_cast<void>(I2C_write_mem(w, io_cal_location(s.row) + at, 2, 0));  // flag already clear
            }
        }
        io_q_put(m->slot, mode);
        break;
    }
    case 7: s.flags &= uint16_t(~IOF_CAL_MODE); break;
    case 14:
    case 15:
        for (unsigned i = 0; i < 16; i++) LE_Put16(&b[1 + 2 * i], sub == 14 ? s.gain[i] : s.offset[i]);
        answer = 33;
        break;
    default:
        b[0] = 0;
        m->extra = 1;
        return;
    }
    b[0] = m->status;
    m->extra = uint8_t(answer);
}

// ---- stop and start --------------------------------------------------------------------------

void Stop(IoDriverMsg *m) {
    IoSlotState &s = tbl[m->slot];
    FpgaWrite(0x03, 0, 1);
    FpgaWrite(0xC2, 0, 4);
    FpgaWrite(0xE2, 0, 4);
    if (s.option & 4) FpgaWrite(0x102, 0, 4);
    if (s.option & 8) FpgaWrite(0x122, 0, 4);
    s.running = false;
    s.filt_start = true;
    s.prot.started = false;
    s.fpga_last.fill(0xFFFFFFFF);
    if (s.row == ROW_FIELDBUS) {
        const uint8_t z = 0;
        write_io_eeprom(FbDev(m->slot), 0, 1, const_cast<uint8_t *>(&z), 3);
        return;
    }
    if (IsGeneric(s.row)) {
        // Only a module whose header was read: before that its bus address
        // is not known (0, the general call, that every device takes), or
        // the controller there never showed itself a generic module.
        const uint8_t z = 0;
        if (s.gen_ok) GenXfer(s, 0, const_cast<uint8_t *>(&z), 1, true);
        return;
    }
    const bool aqmod = s.row == ROW_AQ4 || s.row == ROW_AQ2;
    if (m->slot == 0 || aqmod) {
        const uint16_t keep = CfgWord(s, CFGW_STOP_KEEP);
        for (unsigned i = 0; i < 4; i++) {
            if (!(keep & (1u << i))) s.out[i] = uint8_t(CfgWord(s, CFGW_STOP_OUT + i / 2) >> (8 * (i % 2)));
        }
        const uint16_t akeep = CfgWord(s, CFGW_STOP_AKEEP);
        for (unsigned k = 0; k < 14; k++) {
            if (!(akeep & (1u << k))) s.aq[k] = CfgWord(s, CFGW_STOP_AQ + k);
        }
        if (!aqmod) io_q_put(m->slot, s.mode);
        FpgaWrite(0x40, 0, 1);
        FpgaWrite(0x80, 0, 1);
        s.fpga_pulse_bits = 0;  // what the lines now hold
        output_aqx(m->slot);
    }
}

void Start(IoDriverMsg *m) {
    IoSlotState &s = tbl[m->slot];
    if (s.row != ROW_FIELDBUS || s.cfg == nullptr) return;
    const uint32_t dev = FbDev(m->slot);
    uint8_t four[4] = {uint8_t((CfgWord(s, 2) + 7) / 8), uint8_t(CfgWord(s, 6)), uint8_t((CfgWord(s, 4) + 7) / 8),
                       uint8_t(CfgWord(s, 8))};
    write_io_eeprom(dev, 4, 4, four, 3);
    uint32_t st = CfgWord(s, 0);
    if (st > 1024) {
        uint8_t v[2] = {};
        PlcReg_Get(v, st, 16);
        st = LE_Get16(v);
    }
    uint8_t one = 1, cur = 0;
    if (!(st & 0x80)) {
        if (read_io_eeprom(dev, 0xFC, 1, &cur, 3) == 0 && cur != uint8_t(st)) {
            uint8_t a = uint8_t(st);
            write_io_eeprom(dev, 0xFC, 1, &a, 3);
            write_io_eeprom(dev, 0xFE, 1, &one, 3);
        }
    }
    if (st == 0xFF) write_io_eeprom(dev, 0xFE, 1, &one, 3);
    if (uint16_t *w = RegWords(CfgWord(s, 10), 1)) {
        uint8_t v[2];
        if (read_io_eeprom(dev, 2, 2, v, 3) == 0) PutW(w, LE_Get16(v));
    }
    write_io_eeprom(dev, 0, 1, &one, 3);
}

}  // namespace

uint32_t io_cal_location(int16_t row) {
    // Location words: the block's address in the memory form of mode 0 (the
    // EEPROM's device select in bits 8-10 above the memory address), stored
    // with bits 9-10 inverted for some rows. Rows 1-4 keep their block in the
    // EEPROM that identifies them when the slot is probed (0xA6, 0xA0, 0xA4,
    // 0xA2): row 4's word 0x6100 names 0xA2, memory 0. Its select taken from
    // bits 9-11 would name 0xA0, which a row-4 module cannot carry (probing
    // would take it for row 2).
    static constexpr uint16_t kLoc[IO_IDENT_ROWS] = {
        0x0600, 0x0500, 0x0600, 0x0400, 0x6100, 0,      0,      0x0680, 0,      0,      0, 0, 0, 0, 0, 0,
        0x0640, 0x0640, 0x0080, 0x0080, 0,      0x06C0, 0x0000, 0x06C0, 0x00C0, 0x06C0, 0, 0, 0, 0, 0, 0};
    if (row < 0 || row >= int16_t(IO_IDENT_ROWS)) return 0;
    uint16_t loc = kLoc[row];
    switch (row) {
    case 0:
    case 1:
    case 2:
    case 3:
    case 7:
    case 16:
    case 17:
    case 21:
    case 23:
    case 25: loc ^= 0x600; break;
    default: break;
    }
    return loc;
}

uint32_t io_get_gen_cfg(uint32_t slot) {
    IoSlotState &s = tbl[slot];
    s.gen_dev = uint8_t(0x08 + 2 * slot);
    s.gen_ok = false;
    s.gen.fill(0);
    std::memcpy(s.gen_text, "      ", 7);
    const uint32_t t0 = FPGA_GetFrt();
    uint8_t b[2] = {};
    for (;;) {
        if (read_io_eeprom(s.gen_dev, 0, 2, b, 2) == 0 && b[1] >= 0xE0 && b[1] <= 0xE7) break;
        // A module that never shows its header must not hold the loop: 10 ms.
        if (FPGA_GetFrt() - t0 >= 100) return 1;
    }
    s.gen_mode = uint16_t(4 | ((b[1] & 0x0F) << 8));
    s.gen[0] = b[0];
    s.gen[1] = b[1];
    if (!GenXfer(s, 2, &s.gen[2], 14, false)) return 1;
    std::memcpy(s.gen_text, &s.gen[8], 6);
    s.gen_text[6] = 0;
    s.gen_ok = true;
    return 0;
}

void Io_DriverReset() {
    for (auto &s : tbl) s = IoSlotState{};
    PwmMode = 0;
}

void io_driver(IoDriverMsg *msg) {
    if (msg == nullptr) return;
    const uint8_t code = msg->code;
    if (code == 0) {
        msg->status = 0;
        return;
    }
    if (code == 1 || code == 3) {
        const uint16_t ids[2] = {msg->first, msg->count};
        for (unsigned i = 0; i < 2; i++) {
            tbl[i] = IoSlotState{};
            tbl[i].row = int16_t(Io_IdentRow(ids[i]));
        }
        GpioBank0Pin17(true);
        msg->status = 0;
        return;
    }
    if (code == 7 || code > 14) {
        msg->status = 0x20;
        return;
    }
    if (!SlotOk(msg)) return;
    IoSlotState &s = tbl[msg->slot];
    switch (code) {
    case 2: Query(msg); break;
    case 4: Configure(msg); break;
    case 5:
        msg->extra = s.option_byte;
        if (msg->buffer != nullptr) {
            for (unsigned i = 0; i < 12; i++) LE_Put16(msg->buffer + 2 * i, s.types[i]);
        }
        break;
    case 6:
        if (IsGeneric(s.row) && s.gen_ok) GenExchange(msg->slot);
        break;
    case 8: Calibrate(msg); break;
    case 9: ReadInputs(msg); break;
    case 10: {
        if (s.row == ROW_AQ4 || s.row == ROW_AQ2) break;
        if (s.row == ROW_FIELDBUS) {
            FbWrite(msg->slot, msg, msg->count);
            break;
        }
        if (msg->buffer != nullptr) {
            for (uint32_t i = 0; i < msg->count && msg->first + i < 4; i++) s.out[msg->first + i] = msg->buffer[i];
        }
        PwmMode = 1;
        io_q_put(msg->slot, s.mode);
        break;
    }
    case 11:
        if (s.flags & IOF_CAL_MODE) break;
        if (s.row == ROW_FIELDBUS) {
            ReadInputs(msg);
        } else if (s.row == ROW_PWR1 || s.row == ROW_PWR2) {
            input_acm(msg->slot);
            // Fourteen floats, two channels each (low word first).
            if (msg->buffer != nullptr) {
                for (uint32_t i = 0; i < msg->count; i++) {
                    const uint32_t c = msg->first + i;
                    uint32_t bits = 0;
                    if (c < 28) std::memcpy(&bits, &s.acm.out[c / 2], 4);
                    LE_Put16(msg->buffer + 2 * i, uint16_t(c % 2 ? bits >> 16 : bits));
                }
            }
            s.running = true;
            break;
        } else {
            input_ais(msg->slot);
        }
        if (msg->buffer != nullptr && s.row != ROW_FIELDBUS) {
            for (uint32_t i = 0; i < msg->count; i++) {
                const uint32_t c = msg->first + i;
                LE_Put16(msg->buffer + 2 * i, uint16_t(c < 16 ? s.ai[c] : 0));
            }
        }
        s.running = true;
        break;
    case 12:
        if (s.flags & IOF_CAL_MODE) break;
        if (s.row == ROW_FIELDBUS) {
            FbWrite(msg->slot, msg, 2u * msg->count);
            break;
        }
        if ((s.row == ROW_PWR1 || s.row == ROW_PWR2) && msg->buffer != nullptr) {
            // Three voltage and three current transformer ratios as floats,
            // then the phase corrections of the three phases.
            for (uint32_t k = 0; k < 6 && 2 * k + 1 < msg->count; k++) {
                (k < 3 ? s.acm.vt[k] : s.acm.ct[k - 3]) = std::bit_cast<float>(LE_Get32(msg->buffer + 4 * k));
            }
            if (msg->count >= 18) AcmPhase(s, msg->buffer + 24);
            break;
        }
        if (msg->buffer != nullptr) {
            for (uint32_t i = 0; i < msg->count && msg->first + i < 16; i++) {
                s.aq[msg->first + i] = LE_Get16(msg->buffer + 2 * i);
            }
        }
        // An analog output module told so by option bit 11 takes its values
        // from the register area of configuration word 36. They are kept as
        // the slot's outputs, like any others: a stop then sets its defaults
        // and holds the rest, and calibration drives the words it is given
        // (the converters were written from the area whatever those said).
        if ((s.row == ROW_AQ4 || s.row == ROW_AQ2) && (s.option & 0x800)) {
            const unsigned n = s.row == ROW_AQ4 ? 4 : 2;
            if (const uint16_t *area = RegWords(CfgWord(s, CFGW_AQ_AREA), n)) {
                for (unsigned k = 0; k < n; k++) s.aq[k] = GetW(area + k);
            }
        }
        output_aqx(msg->slot);
        break;
    case 13: Stop(msg); break;
    case 14: Start(msg); break;
    default: break;
    }
}
