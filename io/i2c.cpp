// I2C device access above the bus seam: address probes, EEPROM memory reads
// and writes in the five address forms, expander port reads and writes in
// their byte orders, and the cold-junction sensor.
#include "io/i2c.h"

#include <algorithm>
#include <array>
#include <ctime>

#include "core/image/plcreg.h"
#include "platform/plat.h"

namespace {

void Sleep(uint32_t us) {
    struct timespec ts {
        0, long(us) * 1000
    };
    nanosleep(&ts, nullptr);
}

bool inited = false;
int32_t kernel_build = 0;

void Speed(bool fast) { PLAT_I2cSpeed(fast ? 2 : 1); }

// Device address, memory-address bytes and speed of a memory mode.
struct MemForm {
    uint8_t dev;
    uint8_t abytes;
    bool fast;
    bool ok;
};

MemForm Form(uint32_t a, uint32_t mode) {
    switch (mode & 0xFF) {
    case 0: return {uint8_t(0xA0 | ((a >> 7) & 0x0E)), 1, false, true};
    case 1: return {uint8_t(0xA0 | ((a >> 15) & 0x0E)), 2, true, true};
    case 2: return {uint8_t((a >> 7) & 0xFE), 1, false, true};
    case 3: return {uint8_t((a >> 16) & 0xFF), 2, true, true};
    case 4: {
        const uint32_t n = (mode >> 8) & 0x0F;
        return {uint8_t((a >> 7) & 0xFE), 1, (3125u << n) == 400000u, true};
    }
    default: return {0, 0, false, false};
    }
}

// Memory address bytes of a form (high byte first).
unsigned MemAddr(const MemForm &f, uint32_t a, uint8_t *out) {
    if (f.abytes == 2) {
        out[0] = uint8_t(a >> 8);
        out[1] = uint8_t(a);
        return 2;
    }
    out[0] = uint8_t(a);
    return 1;
}

// The combined address n bytes further on. In modes 0, 1, 2 and 4 the
// memory address carries into the block bits of the device address; in
// mode 3 the device address is a byte of its own and the 2-byte memory
// address wraps inside the device.
uint32_t Advance(uint32_t combined, uint32_t n, uint32_t mode) {
    if ((mode & 0xFF) == 3) return (combined & ~0xFFFFu) | ((combined + n) & 0xFFFFu);
    return combined + n;
}

// Bytes from a combined address to the end of its block.
uint32_t BlockLeft(const MemForm &f, uint32_t c) {
    return f.abytes == 2 ? 0x10000u - (c & 0xFFFFu) : 0x100u - (c & 0xFFu);
}

}  // namespace

void (*i2c_pause_us)(uint32_t us) = Sleep;

// Signed: with no kernel text in the image the number is negative, and the
// driver then works the registers itself (unsigned, it was a huge number
// that chose the kernel's service).
int32_t I2C_KernelBuild() { return int32_t(PlcWord(54284)) - 528 + 10 * int32_t(PlcWord(54283) >> 8); }

void I2C_init(uint32_t speed) {
    if (!inited) {
        inited = true;
        kernel_build = I2C_KernelBuild();
        PLAT_I2cKernelBuild(kernel_build);
    }
    Speed(speed == 400000);
}

uint32_t I2C_query(uint32_t address) {
    I2C_init(100000);
    return PLAT_I2cProbe(uint8_t(address)) == PLAT_I2C_DONE ? 0 : 1;
}

uint32_t I2C_read_mem(uint8_t *buf, uint32_t combined, uint32_t count, uint32_t mode) {
    const MemForm f0 = Form(combined, mode);
    if (!f0.ok) return 1;
    I2C_init(f0.fast ? 400000 : 100000);
    for (uint32_t done = 0; done < count;) {
        // The device address is worked out again for every piece, and a piece
        // ends at its block's end: the device's own address counter wraps
        // inside its block, the next block is the next device address.
        const uint32_t c = Advance(combined, done, mode);
        const MemForm f = Form(c, mode);
        uint8_t ab[2];
        const unsigned n = MemAddr(f, c, ab);
        uint32_t chunk = count - done < 4 ? count - done : 4;
        chunk = std::min(chunk, BlockLeft(f, c));
        if (PLAT_I2cWrite(f.dev, ab, n) != PLAT_I2C_DONE) return 1;
        if (PLAT_I2cRead(f.dev, buf + done, chunk) != PLAT_I2C_DONE) return 1;
        done += chunk;
    }
    return 0;
}

uint32_t I2C_write_mem(const uint8_t *buf, uint32_t combined, uint32_t count, uint32_t mode) {
    const MemForm f = Form(combined, mode);
    if (!f.ok) return 1;
    if (count == 0) return 0;
    I2C_init(f.fast ? 400000 : 100000);
    std::array<uint8_t, 2 + 100> tx;
    if ((mode & 0xFF) == 3) {
        // A count the device's address range cannot hold is a failure, not a success.
        if (count > 1023) return 1;
        uint32_t a = combined & 0xFFFF;
        for (uint32_t done = 0; done < count;) {
            const uint32_t chunk = count - done < 100 ? count - done : 100;
            const unsigned n = MemAddr(f, a, tx.data());
            for (uint32_t i = 0; i < chunk; i++) tx[n + i] = buf[done + i];
            if (PLAT_I2cWrite(f.dev, tx.data(), n + chunk) != PLAT_I2C_DONE) return 1;
            done += chunk;
            a += chunk;
        }
        return 0;
    }
    for (uint32_t i = 0; i < count; i++) {
        // Each byte is its own transaction, at the device of its own block.
        const uint32_t c = Advance(combined, i, mode);
        const MemForm fb = Form(c, mode);
        const unsigned n = MemAddr(fb, c, tx.data());
        tx[n] = buf[i];
        bool sent = false;
        for (unsigned tries = 0; tries < 1000 && !sent; tries++) {
            i2c_pause_us(500);
            sent = PLAT_I2cWrite(fb.dev, tx.data(), n + 1) == PLAT_I2C_DONE;
            i2c_pause_us(500);
        }
        if (!sent) return 2;
    }
    // The device answers again once its write cycle has ended (the one
    // written last: the other blocks of an EEPROM are the same chip).
    const uint8_t last = Form(Advance(combined, count - 1, mode), mode).dev;
    uint8_t b;
    for (unsigned polls = 0; polls < 1001; polls++) {
        if (PLAT_I2cRead(last, &b, 1) == PLAT_I2C_DONE) return 0;
    }
    return 2;
}

uint32_t I2C_read_io(uint32_t address, uint8_t *buf, uint32_t mode) {
    const uint8_t dev = uint8_t(address);
    switch (mode & 0xFF) {
    case 0: Speed(false); return PLAT_I2cRead(dev, buf, 1) == PLAT_I2C_DONE ? 0 : 1;
    case 1:
    case 8: Speed(true); return PLAT_I2cRead(dev, buf, 2) ? 0 : 1;
    case 2: {
        Speed(true);
        if (!PLAT_I2cRead(dev, buf, 3)) return 1;
        const uint8_t t = buf[0];
        buf[0] = buf[1];
        buf[1] = t;
        return 0;
    }
    case 5: {
        Speed(true);
        const uint32_t n = (mode >> 8) & 0xFF;
        return n == 0 || PLAT_I2cRead(dev, buf, n) ? 0 : 1;
    }
    default: return 1;
    }
}

uint32_t I2C_write_io(uint32_t address, const uint8_t *buf, uint32_t mode) {
    const uint8_t dev = uint8_t(address);
    uint8_t t[3];
    switch (mode & 0xFF) {
    case 0: Speed(false); return PLAT_I2cWrite(dev, buf, 1) ? 0 : 1;
    case 1: Speed(true); return PLAT_I2cWrite(dev, buf, 2) ? 0 : 1;
    case 2:
    case 7: Speed(true); return PLAT_I2cWrite(dev, buf, 1) ? 0 : 1;
    case 3:
        Speed(true);
        t[0] = buf[1];
        t[1] = buf[0];
        return PLAT_I2cWrite(dev, t, 2) ? 0 : 1;
    case 5: Speed(true); return PLAT_I2cWrite(dev, buf, ((mode >> 8) & 0xFF) + 1) ? 0 : 1;
    case 6:
        Speed(true);
        t[0] = buf[2];
        t[1] = buf[1];
        t[2] = buf[0];
        return PLAT_I2cWrite(dev, t, 3) ? 0 : 1;
    case 8: Speed(true); return PLAT_I2cWrite(dev, buf, 3) ? 0 : 1;
    default: return 1;
    }
}

uint32_t I2C_read_LM92(uint32_t address, int32_t *out) {
    static bool tmp275_ready = false;
    I2C_init(100000);
    const uint8_t dev = uint8_t(address);
    if (dev == 0x9E && !tmp275_ready) {
        const uint8_t cfg[2] = {1, 0x60};
        const uint8_t sel = 0;
        if (!PLAT_I2cWrite(dev, cfg, 2) || !PLAT_I2cWrite(dev, &sel, 1)) return 1;
        tmp275_ready = true;
    }
    uint8_t b[2];
    if (!PLAT_I2cRead(dev, b, 2)) return 1;
    const int16_t raw = int16_t(BE_Get16(b));
    *out = dev == 0x9E ? raw >> 4 : raw >> 3;
    return 0;
}

// ---- SPI on SSP1 / SSP2 ------------------------------------------------------------

namespace {
constexpr uint32_t kSsp1 = 0x80012000, kSsp2 = 0x80014000, kClkctrl = 0x80040000, kPin = 0x80018000;
constexpr unsigned S_CTRL0 = 0x000 / 4, S_XFER = 0x030 / 4, S_TIMING = 0x070 / 4, S_CTRL1 = 0x080 / 4,
                   S_DATA = 0x090 / 4, S_STATUS = 0x100 / 4;
constexpr uint32_t S_RUN = 1u << 29, S_SFTRST = 1u << 31, S_CLKGATE = 1u << 30, S_LOCK_CS = 1u << 27,
                   S_IGNORE_CRC = 1u << 26, S_READ = 1u << 25, S_XFER_BIT = 1u << 24;
constexpr uint32_t ST_BUSY = 1u << 0, ST_FIFO_EMPTY = 1u << 5;
constexpr unsigned kSpiPolls = 10000;
constexpr uint8_t kDivide[12] = {3, 3, 3, 3, 3, 2, 3, 3, 3, 3, 3, 2};
constexpr uint8_t kRate[12] = {7, 3, 1, 1, 1, 1, 1, 0, 1, 1, 1, 0};

std::array<volatile uint32_t *, 2> ssp{};  // SSP1, SSP2
volatile uint32_t *pinctrl = nullptr;

int Block(uint32_t bus) { return bus == 1 ? 0 : (bus == 2 || bus == 3) ? 1 : -1; }

// Chip select of a device: bank, pin, active high.
bool Select(const SpiDevice *d, unsigned &bank, unsigned &pin, bool &high) {
    high = false;
    bank = 2;
    if (d->bus == 1 && d->select == 1)
        pin = 15;
    else if (d->bus == 1 && d->select == 2)
        pin = 5;
    else if (d->bus == 2 && d->select == 1)
        pin = 11;
    else if (d->bus == 2 && d->select == 3)
        pin = 13;
    else if (d->bus == 2 && d->select == 4)
        bank = 4, pin = 5, high = true;
    else if (d->bus == 3)
        pin = 5;
    else
        return false;
    return true;
}

bool PollSet(volatile uint32_t *r, unsigned reg, uint32_t mask, bool set) {
    for (unsigned i = 0; i < kSpiPolls; i++) {
        if (((r[reg] & mask) != 0) == set) return true;
    }
    return false;
}

void Gpio(unsigned bank, unsigned pin, bool level) {
    if (pinctrl == nullptr) pinctrl = PLAT_SocMap(kPin, 0x2000);
    if (pinctrl == nullptr) return;
    pinctrl[(0x700 + 0x10 * bank + (level ? 4 : 8)) / 4] = 1u << pin;
}
}  // namespace

uint32_t spi_init(const SpiDevice *dev) {
    const int b = Block(dev->bus);
    if (b < 0 || ssp[std::size_t(b)] != nullptr) return 0;
    volatile uint32_t *clk = PLAT_SocMap(kClkctrl, 0x1000);
    volatile uint32_t *r = PLAT_SocMap(b == 0 ? kSsp1 : kSsp2, 0x2000);
    if (clk == nullptr || r == nullptr) return 0;
    // SSPn's clock register is at 0x90 + 0x10 n (SSP1 0xA0, SSP2 0xB0):
    // divider 1, gate open; its bypass bit is CLKSEQ bit 3 + n, set through
    // CLKSEQ_SET (the clock then comes from the crystal, not the PLL divider).
    // 0x60 and 0x70 are the AHB and APBX dividers: a 1 written there would
    // run those buses at the CPU's clock.
    const unsigned n = unsigned(b) + 1;
    clk[(0x90 + 0x10 * n) / 4] = 1;
    clk[(0x1D0 + 4) / 4] = 1u << (3 + n);
    r[S_CTRL0 + 1] = S_SFTRST;
    r[S_CTRL0 + 2] = S_SFTRST | S_CLKGATE;
    const unsigned code = dev->speed >= 1 && dev->speed <= 12 ? dev->speed - 1u : 99u;
    const uint32_t divide = code < 12 ? kDivide[code] : 3, rate = code < 12 ? kRate[code] : 1;
    r[S_TIMING] = (0xFFFFu << 16) | (divide << 8) | rate;
    // SPI mode (SSP_MODE 0) with 8-bit words (WORD_LENGTH 7, bits 4-7); the
    // low two bits of the record's second byte are the clock polarity (bit 9)
    // and phase (bit 10). Bit 8 is the slave-mode bit and stays clear: the
    // controller is always the master of these buses.
    r[S_CTRL1] = (uint32_t(dev->select & 3) << 9) | (7u << 4);
    ssp[std::size_t(b)] = r;
    ssp2_pin_ctrl(dev->bus, dev->option);
    return 1;
}

namespace {
// Drives the device's chip select to its active level or away from it.
uint32_t ChipSelect(const SpiDevice *dev, bool active) {
    unsigned bank, pin;
    bool high;
    if (Block(dev->bus) < 0) return 0;
    // A known bus answers 1; a select it has no line for drives nothing.
    if (Select(dev, bank, pin, high)) Gpio(bank, pin, active ? high : !high);
    return 1;
}
}  // namespace

uint32_t spi_enable_cs(const SpiDevice *dev) { return ChipSelect(dev, true); }

uint32_t spi_disable_cs(const SpiDevice *dev) { return ChipSelect(dev, false); }

uint32_t spi_data_trans(uint32_t bus, uint8_t *buf, uint32_t count, uint32_t read) {
    const int b = Block(bus);
    if (b < 0) return 0;
    // Writes are staged in a 4-byte buffer: a longer write cannot be sent.
    if (!read && count > 4) return 0;
    volatile uint32_t *r = ssp[std::size_t(b)];
    if (r == nullptr) return 0;
    for (uint32_t i = 0; i < count; i++) {
        r[S_XFER] = 1;
        r[S_CTRL0 + (read ? 1 : 2)] = S_READ;
        r[S_CTRL0 + 1] = S_RUN;
        if (!PollSet(r, S_CTRL0, S_RUN, true)) return 0;
        r[S_DATA] = read ? 0u : buf[i];
        r[S_CTRL0 + 1] = S_XFER_BIT;
        if (read) {
            if (!PollSet(r, S_STATUS, ST_FIFO_EMPTY, false)) return 0;
            buf[i] = uint8_t(r[S_DATA]);
        }
        if (!PollSet(r, S_STATUS, ST_BUSY, false)) return 0;
        r[S_CTRL0 + 2] = S_XFER_BIT;
    }
    return 1;
}

uint32_t spi_close(const SpiDevice *dev) {
    const int b = Block(dev->bus);
    if (b < 0) return 0;
    volatile uint32_t *r = ssp[std::size_t(b)];
    if (r != nullptr) {
        r[S_CTRL0 + 2] = S_LOCK_CS | S_IGNORE_CRC;
        r[S_CTRL0 + 1] = S_CLKGATE;
    }
    // The window itself stays mapped: the platform hands every user of the
    // same registers the same window for the life of the process (the FPGA
    // access shares SSP2's), so the driver only lets go of it.
    ssp[std::size_t(b)] = nullptr;
    return 1;
}

uint32_t ssp2_pin_ctrl(uint32_t bus, uint32_t) {
    if (pinctrl == nullptr) pinctrl = PLAT_SocMap(kPin, 0x2000);
    if (pinctrl == nullptr) return 1;
    if (bus == 3) {
        pinctrl[(0x140 + 8) / 4] = 0x0000FFFF;  // bank 2 pins 0..7 to the SSP function
    } else if (bus == 2) {
        pinctrl[(0x140 + 8) / 4] = 0xFFFF0000;  // bank 2 pins 8..15
        pinctrl[(0x620 + 4) / 4] = 0x0000FF00;  // pull-ups
    }
    return 1;
}

// ---- SSP2 output exchange (bit-banged) -------------------------------------------------

namespace {
constexpr unsigned kClk = 16, kDout = 17, kDin = 18;
std::array<uint8_t, 12> Ssp2OutData{};
bool xch_pins = false;
bool selected[3];

void Line(unsigned bank, unsigned pin, bool level) { Gpio(bank, pin, level); }
bool DataIn() { return pinctrl != nullptr && (pinctrl[(0x900 + 0x20) / 4] >> kDin) & 1; }

void Assert(unsigned ch, bool on) {
    selected[ch] = on;
    if (ch == 0)
        Line(4, 5, on);
    else
        Line(2, ch == 1 ? 19 : 21, !on);
}
}  // namespace

uint32_t Ssp2_Xch(uint32_t set, uint32_t clear, uint32_t channel) {
    if (channel > 2) return 0;
    if (pinctrl == nullptr) pinctrl = PLAT_SocMap(kPin, 0x2000);
    if (!xch_pins && pinctrl != nullptr) {
        xch_pins = true;
        pinctrl[(0xB00 + 0x40 + 4) / 4] = 1u << 5;  // bank 4 pin 5 output
        pinctrl[(0xB00 + 0x20 + 4) / 4] = (1u << 19) | (1u << 21) | (1u << kClk) | (1u << kDout);
        pinctrl[(0xB00 + 0x20 + 8) / 4] = 1u << kDin;  // data in: input
        pinctrl[(0x620 + 4) / 4] = 1u << kDin;         // its pull-up
        Line(4, 5, false);
        Line(2, 19, true);
        Line(2, 21, true);
        Line(2, kClk, false);
    }
    Assert(channel, true);
    PLAT_Ssp2Load(Ssp2OutData.data());
    uint8_t *w = &Ssp2OutData[4 * channel];
    const uint32_t word = (LE_Get32(w) | set) & ~clear;
    LE_Put32(w, word);
    uint32_t answer = 0;
    if (channel == 2) {
        for (unsigned i = 0; i < 12; i++) {
            Line(2, kClk, false);
            Line(2, kDout, (word >> i) & 1);
            Line(2, kClk, true);
        }
    } else {
        for (int i = 15; i >= 0; i--) {
            answer = (answer << 1) | (DataIn() ? 1 : 0);
            Line(2, kClk, true);
            Line(2, kDout, (word >> i) & 1);
            Line(2, kClk, false);
        }
    }
    PLAT_Ssp2Store(Ssp2OutData.data());
    Assert(channel, false);
    return channel == 2 ? 0 : answer;
}

bool Ssp2_Busy() { return selected[0] || selected[1] || selected[2]; }
