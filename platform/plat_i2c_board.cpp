// The board's expansion bus: I2C0 of the i.MX28, either through the board
// kernel's own I2C service (system call 366 with a six-word command record,
// kernel builds above 31) or by programmed I/O on the I2C0 registers. Every
// wait is a bounded poll.
#include <unistd.h>
#include <sys/syscall.h>

#include "platform/plat.h"

namespace {

constexpr long kI2cSyscall = 366;
constexpr uint32_t kPinctrl = 0x80018000, kI2c0 = 0x80058000;
// I2C0 register offsets (words) and bits.
constexpr unsigned CTRL0 = 0x00 / 4, TIMING0 = 0x10 / 4, TIMING1 = 0x20 / 4, TIMING2 = 0x30 / 4, CTRL1 = 0x40 / 4,
                   STAT = 0x50 / 4, DATA = 0xA0 / 4;
constexpr unsigned SET = 1, CLR = 2;  // set and clear aliases (+4, +8 bytes)
constexpr uint32_t SFTRST = 1u << 31, CLKGATE = 1u << 30, RUN = 1u << 29, PRE_SEND_START = 1u << 19,
                   POST_SEND_STOP = 1u << 20, RETAIN_CLOCK = 1u << 21, MASTER_MODE = 1u << 17, DIRECTION = 1u << 16,
                   SEND_NAK_ON_LAST = 1u << 25;
// CTRL1 status bits: bit 5 is the missing acknowledge, bit 6 the end of the
// data engine's phase (bit 2 is the lost arbitration, which a lone master
// never sees: waiting on it and taking the phase's end for a missing
// acknowledge failed every transfer of the register path).
constexpr uint32_t NO_SLAVE_ACK = 1u << 5, DATA_CMPLT = 1u << 6;
// CTRL1 bit 28, set: a block halted by a missing acknowledge goes idle again.
constexpr uint32_t CLR_GOT_A_NAK = 1u << 28;
// STAT: the bus and the clock generator busy. (Its low bits are interrupt
// summaries, set only for enabled interrupts, which this driver never
// enables: a wait on one of them always ran to its last poll.)
constexpr uint32_t BUS_BUSY = 1u << 11, CLK_GEN_BUSY = 1u << 10;
constexpr uint32_t kPolls = 0xFFFFF;

struct I2cCmd {
    uint32_t addr, buffer, count, speed, dir, result;
};

int32_t kernel_build = 0;  // signed: a negative build is no kernel service
unsigned speed_code = 1;
volatile uint32_t *i2c = nullptr;

bool UseKernel() { return kernel_build > 31; }

// The kernel's service takes 32-bit addresses (the board is a 32-bit
// system); an address that does not fit is a failed transfer, never a
// truncated one.
uint32_t Kernel(uint8_t addr, uint8_t *buf, std::size_t n, uint32_t dir, uint32_t failed) {
    I2cCmd cmd{addr, 0, uint32_t(n), speed_code, dir, 0};
    const uintptr_t b = reinterpret_cast<uintptr_t>(buf), c = reinterpret_cast<uintptr_t>(&cmd);
    if (b > 0xFFFFFFFFu || c > 0xFFFFFFFFu) return failed;
    cmd.buffer = uint32_t(b);
    uint32_t where = uint32_t(c);
    if (syscall(kI2cSyscall, 1, &where, 0) < 0) return failed;
    return cmd.result;
}

bool Wait(unsigned reg, uint32_t mask) {
    for (uint32_t i = 0; i < kPolls; i++) {
        if (plat_i2c_poll != nullptr) plat_i2c_poll(i2c, reg);
        if (i2c[reg] & mask) return true;
    }
    return false;
}

// Polls until none of the mask's bits is set, at most kPolls times.
bool WaitClear(unsigned reg, uint32_t mask) {
    for (uint32_t i = 0; i < kPolls; i++) {
        if (plat_i2c_poll != nullptr) plat_i2c_poll(i2c, reg);
        if ((i2c[reg] & mask) == 0) return true;
    }
    return false;
}

void Timing(unsigned code) {
    if (i2c == nullptr) return;
    const bool fast = code == 2;
    i2c[TIMING0] = fast ? 0x000F0007 : 0x00780030;
    i2c[TIMING1] = fast ? 0x001F000F : 0x00800030;
    i2c[TIMING2] = fast ? 0x0015000D : 0x0032001E;
}

bool Open() {
    if (i2c != nullptr) return true;
    volatile uint32_t *pin = PLAT_SocMap(kPinctrl, 0x2000);
    i2c = PLAT_SocMap(kI2c0, 0x2000);
    if (pin == nullptr || i2c == nullptr) {
        i2c = nullptr;
        return false;
    }
    // Bank 3 pins 24 and 25 to their I2C function, function 0 of both pads
    // (MUXSEL7 bits 16..19 cleared; function 1 is the rotary decoder, which
    // left the bus without its lines), pull-ups on.
    pin[(0x170 + 8) / 4] = 0xF0000;
    pin[(0x630 + 4) / 4] = 3u << 24;
    i2c[CTRL0 + SET] = SFTRST;
    i2c[CTRL0 + CLR] = SFTRST | CLKGATE;
    i2c[CTRL0 + SET] = SFTRST;
    i2c[CTRL0 + CLR] = SFTRST | CLKGATE;
    Timing(speed_code);
    return true;
}

void EndTransfer(uint32_t ctrl) {
    // The interrupt enables and status (bits 0-15) and the two control bits
    // 29 and 30 above them.
    i2c[CTRL1 + CLR] = 0x6000FFFF;
    i2c[CTRL0] = ctrl;
}

// Runs the phase set up in the registers and waits for its end; false (the
// transfer ended, the control word put back to saved) when no slave
// acknowledged it.
bool Phase(uint32_t saved) {
    i2c[CTRL0 + SET] = RUN;
    Wait(CTRL1, DATA_CMPLT | NO_SLAVE_ACK);
    if (i2c[CTRL1] & NO_SLAVE_ACK) {
        // The block stops after a missing acknowledge and stays stopped until
        // told to go idle: without that, every later transfer ran to the end
        // of its polls and reported success on what it never moved.
        i2c[CTRL1 + SET] = CLR_GOT_A_NAK;
        EndTransfer(saved);
        return false;
    }
    return true;
}

// One transfer: the address byte, then n data bytes; 1 done.
int Pio(uint8_t addr, uint8_t *rd, const uint8_t *wr, std::size_t n) {
    if (!Open()) return 0;
    const uint32_t saved = i2c[CTRL0];
    const bool reading = rd != nullptr;
    // Address phase. Every phase that another follows keeps the clock held
    // low at its end: released, the line would rise once more between the
    // phases, a clock edge the device counts as one more bit.
    i2c[CTRL0] = MASTER_MODE | DIRECTION | PRE_SEND_START | (n == 0 ? POST_SEND_STOP : RETAIN_CLOCK) | 1;
    i2c[DATA] = uint32_t(addr | (reading ? 1 : 0));
    if (!Phase(saved)) return 0;
    for (std::size_t k = 0; k < n; k++) {
        const bool last = k + 1 == n;
        i2c[CTRL1 + CLR] = DATA_CMPLT;
        i2c[CTRL0] = MASTER_MODE | (reading ? 0 : DIRECTION) | (last ? POST_SEND_STOP : RETAIN_CLOCK) |
                     (reading && last ? SEND_NAK_ON_LAST : 0) | 1;
        if (!reading) i2c[DATA] = wr[k];
        if (!Phase(saved)) return 0;
        if (reading) rd[k] = uint8_t(i2c[DATA]);
    }
    // The stop has gone out once the bus is idle again; the control word is
    // put back only then, so that the next transfer never cuts it short.
    WaitClear(STAT, BUS_BUSY | CLK_GEN_BUSY);
    EndTransfer(saved);
    return 1;
}

int BoardProbe(uint8_t addr) {
    if (UseKernel()) return Kernel(addr, nullptr, 0, 0, 0) != 0 ? 1 : 0;
    return Pio(addr, nullptr, nullptr, 0);
}

int BoardRead(uint8_t addr, uint8_t *buf, std::size_t n) {
    if (UseKernel()) return Kernel(addr, buf, n, 1, 1) == 0 ? 1 : 0;
    return Pio(addr, buf, nullptr, n);
}

int BoardWrite(uint8_t addr, const uint8_t *buf, std::size_t n) {
    if (UseKernel()) return Kernel(addr, const_cast<uint8_t *>(buf), n, 0, 1) == 0 ? 1 : 0;
    return Pio(addr, nullptr, buf, n);
}

void BoardSpeed(unsigned code) {
    speed_code = code == 2 ? 2 : 1;
    if (!UseKernel()) Timing(speed_code);
}

}  // namespace

void (*plat_i2c_poll)(volatile uint32_t *regs, unsigned word) = nullptr;

const PlatI2cOps plat_i2c_board = {BoardProbe, BoardRead, BoardWrite, BoardSpeed};

void PLAT_I2cKernelBuild(int32_t build) { kernel_build = build; }

// The platform's register windows are shared by every user of the same
// registers for the life of the process, so closing lets go of the block
// rather than unmapping it under the other users.
int PLAT_I2cClose() {
    if (i2c != nullptr) i2c[CTRL0 + SET] = CLKGATE;
    i2c = nullptr;
    return 1;
}
