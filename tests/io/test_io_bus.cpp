// Bus access byte for byte, output scaling, pulse values, conversions and
// the overcurrent protection.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>

#include "core/image/iecrt.h"
#include "io/iotemp.h"
#include "tests/io/io_fixture.h"
#include "tests/support/fake_clock.h"

namespace {
using namespace io_test;

// The init message: the ids of the modules in slots 0 and 1.
void InitSlots(uint16_t id0, uint16_t id1) {
    IoDriverMsg m{};
    m.code = 1;
    m.first = id0;
    m.count = id1;
    io_driver(&m);
}

// Message `code` to slot through m, which starts out cleared.
void Send(IoDriverMsg &m, uint8_t code, uint8_t slot = 0, uint8_t *buffer = nullptr, uint16_t count = 0) {
    m = {};
    m.code = code;
    m.slot = slot;
    m.buffer = buffer;
    m.count = count;
    io_driver(&m);
}

// The configure message to slot with cfg as its configuration data.
void Configure(IoDriverMsg &m, uint8_t slot, std::vector<uint8_t> &cfg) {
    Send(m, 4, slot, cfg.data(), uint16_t(cfg.size()));
}

// A configuration table whose record for slot 0 holds module id and data;
// slot 1 not configured, slot 2 the Ethernet module.
std::vector<uint8_t> Slot0Table(uint16_t id, const std::vector<uint8_t> &data) {
    std::vector<uint8_t> t = {uint8_t(id), uint8_t(id >> 8), uint8_t(data.size()), uint8_t(data.size() >> 8)};
    t.insert(t.end(), data.begin(), data.end());
    t.insert(t.end(), {0xFF, 0xFF, 0x00, 0xFA, 0x00, 0x00});
    return t;
}

TEST_F(IoTest, EepromAndExpanderTransfersByteForByte) {
    Sim(R"({"slot0": [{"addr": "0x1C", "type": "eeprom", "address_bytes": 2},
                      {"addr": "0xA0", "type": "eeprom", "blocks": 8, "write_cycle": 2},
                      {"addr": "0x40", "type": "expander", "ports": 3, "pins": [10, 11, 12]}],
            "slot1": [{"addr": "0x50", "type": "eeprom", "write_cycle": -1}]})");
    std::array<uint8_t, 1100> data;
    for (unsigned i = 0; i < data.size(); i++) data[i] = uint8_t(i * 7);

    // Mode 3: 250 bytes go out as 100, 100 and 50 behind their 2-byte addresses.
    EXPECT_EQ(I2C_write_mem(data.data(), 0x1C0100, 250, 3), 0u);
    std::vector<Xfer> w;
    for (const Xfer &x : Log()) {
        if (x.kind == 'w') w.push_back(x);
    }
    ASSERT_EQ(w.size(), 3u);
    const unsigned sizes[3] = {100, 100, 50}, at[3] = {0x0100, 0x0164, 0x01C8};
    for (unsigned i = 0; i < 3; i++) {
        EXPECT_EQ(w[i].addr, 0x1C);
        ASSERT_EQ(w[i].data.size(), sizes[i] + 2);
        EXPECT_EQ(unsigned(w[i].data[0] << 8 | w[i].data[1]), at[i]);
        EXPECT_EQ(w[i].data[2], data[at[i] - 0x100]);
    }
    std::array<uint8_t, 250> back{};
    EXPECT_EQ(I2C_read_mem(back.data(), 0x1C0100, 250, 3), 0u);
    EXPECT_TRUE(std::equal(back.begin(), back.end(), data.begin()));
    // Counts outside 1..1023: nothing on the bus; 1024 is a failure.
    Log().clear();
    EXPECT_EQ(I2C_write_mem(data.data(), 0x1C0000, 0, 3), 0u);
    EXPECT_EQ(I2C_write_mem(data.data(), 0x1C0000, 1024, 3), 1u);
    EXPECT_TRUE(Log().empty());

    // Mode 0: block bits in the device address, a 1-byte memory address; the
    // write cycle is waited out by polling.
    EXPECT_EQ(I2C_write_mem(data.data(), 0x2F5, 2, 0), 0u);
    ASSERT_FALSE(Log().empty());
    EXPECT_EQ(Log()[0].addr, 0xA4);
    EXPECT_EQ(Log()[0].data, (std::vector<uint8_t>{0xF5, data[0]}));
    uint8_t two[2] = {};
    EXPECT_EQ(I2C_read_mem(two, 0x2F5, 2, 0), 0u);
    EXPECT_EQ(two[0], data[0]);
    EXPECT_EQ(two[1], data[1]);

    // A transfer that runs past the end of a 256-byte block goes on at the
    // start of the next block (the next device address), not at the start of
    // the same one; a write and a read of the same range agree.
    Log().clear();
    const uint8_t four[4] = {0x11, 0x22, 0x33, 0x44};
    EXPECT_EQ(I2C_write_mem(four, 0x1FE, 4, 0), 0u);
    std::vector<std::pair<uint8_t, std::vector<uint8_t>>> sent;
    for (const Xfer &x : Log()) {
        if (x.kind == 'w' && x.ok) sent.push_back({x.addr, x.data});  // not the retries of the write cycle
    }
    const std::vector<std::pair<uint8_t, std::vector<uint8_t>>> want_sent = {
        {0xA2, {0xFE, 0x11}}, {0xA2, {0xFF, 0x22}}, {0xA4, {0x00, 0x33}}, {0xA4, {0x01, 0x44}}};
    EXPECT_EQ(sent, want_sent);
    Log().clear();
    uint8_t six[6] = {};
    EXPECT_EQ(I2C_read_mem(six, 0x1FC, 6, 0), 0u);
    std::vector<std::pair<char, std::vector<uint8_t>>> seen;
    std::vector<uint8_t> devs;
    for (const Xfer &x : Log()) {
        seen.push_back({x.kind, x.data});
        devs.push_back(x.addr);
    }
    // Pieces of at most 4 bytes, cut at the block's end: 0x1FC..0x1FF, then 0x200..0x201.
    EXPECT_EQ(devs, (std::vector<uint8_t>{0xA2, 0xA2, 0xA4, 0xA4}));
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].second, (std::vector<uint8_t>{0xFC}));
    EXPECT_EQ(seen[1].second.size(), 4u);
    EXPECT_EQ(seen[2].second, (std::vector<uint8_t>{0x00}));
    EXPECT_EQ(seen[3].second.size(), 2u);
    EXPECT_EQ(six[2], 0x11);
    EXPECT_EQ(six[3], 0x22);
    EXPECT_EQ(six[4], 0x33);
    EXPECT_EQ(six[5], 0x44);
    // The start of the first block kept its contents.
    uint8_t first[2] = {};
    EXPECT_EQ(I2C_read_mem(first, 0x100, 2, 0), 0u);
    EXPECT_EQ(first[0], 0xFF);
    EXPECT_EQ(first[1], 0xFF);
    // Mode 1: 64 KB blocks, the block in the device address, 2-byte memory
    // addresses (a bus on which every device answers: the simulated EEPROM
    // takes 1-byte addresses).
    static constexpr PlatI2cOps kAll = {[](uint8_t) { return 1; },
                                        [](uint8_t a, uint8_t *b, std::size_t n) {
                                            std::fill(b, b + n, uint8_t(0));
                                            Log().push_back({'r', a, std::vector<uint8_t>(b, b + n), true});
                                            return 1;
                                        },
                                        [](uint8_t a, const uint8_t *b, std::size_t n) {
                                            Log().push_back({'w', a, std::vector<uint8_t>(b, b + n), true});
                                            return 1;
                                        },
                                        [](unsigned) {}};
    plat_i2c = &kAll;
    Log().clear();
    EXPECT_EQ(I2C_read_mem(six, 0x1FFFE, 4, 1), 0u);
    plat_i2c = &kRecorder;
    devs.clear();
    seen.clear();
    for (const Xfer &x : Log()) {
        if (x.kind == 'w') seen.push_back({x.kind, x.data}), devs.push_back(x.addr);
    }
    EXPECT_EQ(devs, (std::vector<uint8_t>{0xA2, 0xA4}));
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].second, (std::vector<uint8_t>{0xFF, 0xFE}));
    EXPECT_EQ(seen[1].second, (std::vector<uint8_t>{0x00, 0x00}));

    // A write cycle that never ends: 2 after 1001 polls.
    Log().clear();
    EXPECT_EQ(I2C_write_mem(data.data(), 0x50u << 7, 1, 2), 2u);
    unsigned polls = 0;
    for (const Xfer &x : Log()) polls += x.kind == 'r';
    EXPECT_EQ(polls, 1001u);

    // Expander byte orders.
    const uint8_t out[3] = {1, 2, 3};
    Log().clear();
    EXPECT_EQ(I2C_write_io(0x40, out, 6), 0u);
    EXPECT_EQ(LastWrite(0x40), (std::vector<uint8_t>{3, 2, 1}));
    EXPECT_EQ(I2C_write_io(0x40, out, 3), 0u);
    EXPECT_EQ(LastWrite(0x40), (std::vector<uint8_t>{2, 1}));
    const uint8_t ff[3] = {0xFF, 0xFF, 0xFF};
    I2C_write_io(0x40, ff, 8);
    uint8_t in[3] = {};
    EXPECT_EQ(I2C_read_io(0x40, in, 2), 0u);
    EXPECT_EQ(in[0], 11);
    EXPECT_EQ(in[1], 10);
    EXPECT_EQ(in[2], 12);
    // Latch AND pins.
    const uint8_t low[3] = {0x0F, 0xFF, 0x00};
    I2C_write_io(0x40, low, 8);
    EXPECT_EQ(I2C_read_io(0x40, in, 8), 0u);
    EXPECT_EQ(in[0], 10 & 0x0F);
    EXPECT_EQ(I2C_query(0x42), 1u);
    EXPECT_EQ(I2C_query(0x40), 0u);
    EXPECT_EQ(I2C_read_io(0x42, in, 0), 1u);

    // SPI: a write longer than the 4-byte staging buffer is refused; bus 0 has no block.
    EXPECT_EQ(spi_data_trans(1, data.data(), 5, 0), 0u);
    EXPECT_EQ(spi_data_trans(0, data.data(), 1, 0), 0u);
    const SpiDevice none{0, 1, 1, 0};
    EXPECT_EQ(spi_init(&none), 0u);
    EXPECT_EQ(spi_enable_cs(&none), 0u);
    EXPECT_EQ(spi_disable_cs(&none), 0u);
    EXPECT_EQ(spi_close(&none), 0u);
    // A closed block may be set up again; an open one may not.
    const SpiDevice ssp1{1, 1, 1, 0};
    EXPECT_EQ(spi_close(&ssp1), 1u);
    EXPECT_EQ(spi_init(&ssp1), 1u);
    EXPECT_EQ(spi_init(&ssp1), 0u);
    EXPECT_EQ(spi_close(&ssp1), 1u);
    EXPECT_EQ(spi_init(&ssp1), 1u);
    EXPECT_EQ(spi_disable_cs(&ssp1), 1u);
    // A known bus answers 1 even for a select it has no line for.
    const SpiDevice ssp1_sel3{1, 3, 1, 0};
    EXPECT_EQ(spi_enable_cs(&ssp1_sel3), 1u);
    EXPECT_EQ(spi_disable_cs(&ssp1_sel3), 1u);
    // The SSP clock: SSP1's divider register (0xA0) at 1 and its bypass bit
    // (CLKSEQ bit 4) set; SSP2's are 0xB0 and bit 5. SSP0's (0x90) are not
    // touched, nor are the CPU, AHB and APBX dividers (0x50, 0x60, 0x70).
    volatile uint32_t *clk = PLAT_SocMap(0x80040000, 0x1000);
    ASSERT_NE(clk, nullptr);
    for (unsigned r : {0x50u, 0x60u, 0x70u, 0x90u, 0xA0u, 0xB0u, 0x1D0u, 0x1D4u, 0x1D8u}) clk[r / 4] = 0;
    EXPECT_EQ(spi_close(&ssp1), 1u);
    EXPECT_EQ(spi_init(&ssp1), 1u);
    EXPECT_EQ(clk[0xA0 / 4], 1u);
    EXPECT_EQ(clk[0x1D4 / 4], 1u << 4);
    const SpiDevice ssp2{2, 1, 1, 0};
    spi_close(&ssp2);
    EXPECT_EQ(spi_init(&ssp2), 1u);
    EXPECT_EQ(clk[0xB0 / 4], 1u);
    EXPECT_EQ(clk[0x1D4 / 4], 1u << 5);
    for (unsigned r : {0x50u, 0x60u, 0x70u, 0x90u}) EXPECT_EQ(clk[r / 4], 0u) << r;
    EXPECT_EQ(clk[0x1D8 / 4], 0u);
    EXPECT_EQ(spi_close(&ssp2), 1u);
    // The control word selects SPI (mode 0) with 8-bit words (0x70); the low
    // two bits of the record's second byte go to polarity (bit 9) and phase
    // (bit 10), never to the slave-mode bit 8.
    volatile uint32_t *ssp1_regs = PLAT_SocMap(0x80012000, 0x2000);
    ASSERT_NE(ssp1_regs, nullptr);
    const struct {
        uint8_t second;
        uint32_t ctrl1;
    } modes[] = {{4, 0x070}, {1, 0x270}, {2, 0x470}, {3, 0x670}};
    for (const auto &m : modes) {
        const SpiDevice dev{1, m.second, 1, 0};
        spi_close(&dev);
        ssp1_regs[0x80 / 4] = 0xFFFFFFFFu;
        EXPECT_EQ(spi_init(&dev), 1u);
        EXPECT_EQ(ssp1_regs[0x80 / 4], m.ctrl1) << unsigned(m.second);
    }
    spi_close(&ssp1);

    // The kernel build number is signed: with no kernel text in the image it
    // is 0 - 528, and the driver works the I2C0 registers itself.
    EXPECT_EQ(int64_t(I2C_KernelBuild()), -528);
    volatile uint32_t *i2c0 = PLAT_SocMap(0x80058000, 0x2000);
    ASSERT_NE(i2c0, nullptr);
    i2c0[0x48 / 4] = 0;
    plat_i2c = &plat_i2c_board;
    PLAT_I2cKernelBuild(I2C_KernelBuild());
    // The silent (zeroed) registers report no missing acknowledge.
    EXPECT_EQ(PLAT_I2cProbe(0xA0), 1);
    plat_i2c = &kRecorder;
    // After the transfer the interrupt status is cleared, with the two
    // control bits above it.
    EXPECT_EQ(i2c0[0x48 / 4], 0x6000FFFFu);
    // Closing the register path gates the block's clock; the next transfer
    // opens it again (soft reset, clock gate released).
    i2c0[0x04 / 4] = 0;
    i2c0[0x08 / 4] = 0;
    EXPECT_EQ(PLAT_I2cClose(), 1);
    EXPECT_EQ(i2c0[0x04 / 4], 1u << 30);
    // Opening puts bank 3 pins 24 and 25 into their I2C function, which is
    // function 0 of both pads (MUXSEL7 bits 16..19 cleared, none set: 1 is
    // the rotary decoder), with their pull-ups on.
    volatile uint32_t *i2c_pins = PLAT_SocMap(0x80018000, 0x2000);
    ASSERT_NE(i2c_pins, nullptr);
    i2c_pins[0x174 / 4] = 0;
    i2c_pins[0x178 / 4] = 0;
    i2c_pins[0x634 / 4] = 0;
    plat_i2c = &plat_i2c_board;
    EXPECT_EQ(PLAT_I2cProbe(0xA0), 1);
    plat_i2c = &kRecorder;
    EXPECT_EQ(i2c_pins[0x178 / 4], 0x000F0000u);
    EXPECT_EQ(i2c_pins[0x174 / 4], 0u);
    EXPECT_EQ(i2c_pins[0x634 / 4], 3u << 24);
    EXPECT_EQ(i2c0[0x08 / 4], (1u << 31) | (1u << 30));
    // The status bits of CTRL1: bit 5 is the missing acknowledge, bit 6 the
    // end of the data engine's phase. A completed phase is a device that
    // answered; a missing acknowledge is none.
    plat_i2c = &plat_i2c_board;
    i2c0[0x40 / 4] = 1u << 6;
    i2c0[0x44 / 4] = 0;
    EXPECT_EQ(PLAT_I2cProbe(0xA0), 1);
    EXPECT_EQ(i2c0[0x44 / 4], 0u);
    i2c0[0x40 / 4] = 1u << 5;
    EXPECT_EQ(PLAT_I2cProbe(0xA0), 0);
    // A missing acknowledge halts the block until it is told to go idle
    // again (CTRL1 bit 28, through CTRL1_SET): otherwise every transfer
    // after one absent address would run into its polls' end.
    EXPECT_EQ(i2c0[0x44 / 4], 1u << 28);
    uint8_t none_read[2] = {};
    EXPECT_EQ(PLAT_I2cRead(0xA0, none_read, 2), 0);
    i2c0[0x40 / 4] = 0;
    // After the stop the driver waits for the bus to go idle (STAT bit 11,
    // bus busy, and bit 10, clock generator busy, clear) and no longer: here
    // the phase ends at once and the bus stays busy for three status reads.
    static unsigned stat_reads;
    stat_reads = 0;
    plat_i2c_poll = [](volatile uint32_t *regs, unsigned word) {
        if (word == 0x40 / 4) regs[word] = regs[word] | (1u << 6);
        if (word == 0x50 / 4) regs[word] = ++stat_reads <= 3 ? (1u << 11) | (1u << 10) : 0u;
    };
    EXPECT_EQ(PLAT_I2cProbe(0xA0), 1);
    EXPECT_EQ(stat_reads, 4u);
    stat_reads = 0;
    const uint8_t one = 0x5A;
    EXPECT_EQ(PLAT_I2cWrite(0xA0, &one, 1), 1);
    EXPECT_EQ(stat_reads, 4u);
    // Every phase but the last holds the clock low when it ends (CTRL0 bit
    // 21): a released clock would be one more clock edge for the device
    // between two phases. The control word of each phase, as it runs:
    // address, data, data for a 2-byte read; address, data for a write.
    static std::vector<uint32_t> phases;
    phases.clear();
    plat_i2c_poll = [](volatile uint32_t *regs, unsigned word) {
        if (word == 0x40 / 4) regs[word] = regs[word] | (1u << 6), phases.push_back(uint32_t(regs[0]));
    };
    uint8_t two_read[2] = {};
    EXPECT_EQ(PLAT_I2cRead(0xA0, two_read, 2), 1);
    const uint32_t kRetain = 1u << 21, kStop = 1u << 20, kStart = 1u << 19, kMaster = 1u << 17, kDir = 1u << 16,
                   kNak = 1u << 25;
    EXPECT_EQ(phases, (std::vector<uint32_t>{kMaster | kDir | kStart | kRetain | 1, kMaster | kRetain | 1,
                                             kMaster | kStop | kNak | 1}));
    phases.clear();
    EXPECT_EQ(PLAT_I2cWrite(0xA0, &one, 1), 1);
    EXPECT_EQ(phases, (std::vector<uint32_t>{kMaster | kDir | kStart | kRetain | 1, kMaster | kDir | kStop | 1}));
    phases.clear();
    EXPECT_EQ(PLAT_I2cProbe(0xA0), 1);
    EXPECT_EQ(phases, (std::vector<uint32_t>{kMaster | kDir | kStart | kStop | 1}));
    plat_i2c_poll = nullptr;
    plat_i2c = &kRecorder;
    EXPECT_EQ(PLAT_I2cClose(), 1);
}

TEST_F(IoTest, SensorReadsAndCompensation) {
    Sim(R"({"slot0": [{"addr": "0x96", "type": "registers", "width": 2, "registers": {"0": [12, 128]}},
                      {"addr": "0x9E", "type": "registers", "width": 2, "registers": {"0": [245, 240]}}]})");
    int32_t t = 0;
    ASSERT_EQ(I2C_read_LM92(0x96, &t), 0u);
    EXPECT_EQ(t, 400);  // 25 degC in 1/16 steps
    int32_t comp[8];
    cj_comp(comp, (t * 5) >> 1);
    const int32_t want[8] = {653, 511, 336, 1015, 382, 143, 145, 0};
    for (unsigned i = 0; i < 8; i++) EXPECT_EQ(comp[i], want[i]) << i;
    // TMP275 (12-bit, shift 4): set up once (configuration 0x60), then read.
    ASSERT_EQ(I2C_read_LM92(0x9E, &t), 0u);
    EXPECT_EQ(t, -161);
    EXPECT_EQ((t * 5) >> 1, -403);
    bool setup = false;
    for (const Xfer &x : Log()) setup |= x.kind == 'w' && x.addr == 0x9E && x.data == std::vector<uint8_t>{1, 0x60};
    EXPECT_TRUE(setup);
    EXPECT_EQ(I2C_read_LM92(0x98, &t), 1u);

    // Table lookups.
    EXPECT_EQ(tc_table(0, j_tab.data()), -4400);
    std::array<uint16_t, 513> falling{};
    falling[0] = 1000;
    falling[1] = 900;
    EXPECT_EQ(tc_table(64, falling.data()), -4650);
    std::array<uint16_t, 513> ramp{};
    for (unsigned i = 0; i < 513; i++) ramp[i] = uint16_t(5600 + 100 * i);
    EXPECT_EQ(tc_table(65535, ramp.data()), 511 * 100 + ((127 * 100 + 64) >> 7));
    const uint16_t ends[8][2] = {{1200, 21000}, {0, 33200},    {0, 31800},    {0, 13800},
                                 {0, 25800},    {5400, 41000}, {5400, 41000}, {5400, 42200}};
    for (unsigned i = 0; i < 8; i++) {
        EXPECT_EQ(tctbl[i][0], ends[i][0]) << i;
        EXPECT_EQ(tctbl[i][512], ends[i][1]) << i;
        for (unsigned k = 0; k < 512; k++) ASSERT_LE(tctbl[i][k], tctbl[i][k + 1]) << i << " " << k;
    }
    EXPECT_EQ(pt100e_tab[0], 1476);
    EXPECT_EQ(pt100e_tab[256], 22737);
    EXPECT_EQ(rtd_table(70000, pt100e_tab.data()), rtd_table(16383, pt100e_tab.data()));
    // A K thermocouple at 1.000 mV (512 counts of 1.953 uV) above a 0 degC junction reads 25 degC.
    const int32_t k25 = tc_table(32768 + 512, k_tab.data());
    EXPECT_NEAR(k25 / 20.0, 25.0, 0.3);
    // Universal input: the compensated K channel at a 25 degC junction and 0 mV reads 25 degC.
    cj_comp(comp, 1000);
    const int32_t uni = Io_ConvertUniversal(0, 25, 32768, 0, comp);
    EXPECT_NEAR(uni / 20.0, 25.0, 0.5);
    // Bipolar (type 8): (raw + offset) x gain, clamped to +-0x0FFFFFFF, times
    // 8, its upper 16 bits: 0x4000 x 0x2000 = 0x08000000 gives 0x4000.
    EXPECT_EQ(Io_ConvertUniversal(0x4000, 8, 0x2000, 0, comp), 0x4000);
    EXPECT_EQ(Io_ConvertUniversal(-0x4000, 8, 0x2000, 0, comp), -0x4000);
    EXPECT_EQ(Io_ConvertUniversal(0x7FFF, 8, 0xFFFF, 0, comp), 0x7FFF);
    EXPECT_EQ(Io_ConvertUniversal(-0x8000, 8, 0xFFFF, 0, comp), -0x8000);
    EXPECT_EQ(Io_ConvertUniversal(3, 8, 5, 0, comp), 0) << "120 counts: below one step of the register";
    // Unipolar (type 0, shift 3 of its parameter row): the product shifted
    // right by 16 - 3 = 13: 0x1234 x 0x100 = 0x123400 gives 145; the limit
    // 0x0FFFFFFF gives 32767, and so does a product above it; negative: 0.
    EXPECT_EQ(Io_ConvertUniversal(0x1234, 0, 0x100, 0, comp), 145);
    EXPECT_EQ(Io_ConvertUniversal(16383, 0, 16385, 0, comp), 32767);  // 0x0FFFFFFF
    EXPECT_EQ(Io_ConvertUniversal(0x7FFF, 0, 0xFFFF, 0, comp), 32767);
    EXPECT_EQ(Io_ConvertUniversal(-5, 0, 0x100, 0, comp), 0);
    // RTD (type 16): the upper 16 bits of the product index the table:
    // 0x1234 x 0x8000 = 0x091A0000 reads at 0x091A; 0 reads the first entry.
    EXPECT_EQ(Io_ConvertUniversal(0x1234, 16, 0x8000, 0, comp), rtd_table(0x091A, pt100e_tab.data()));
    EXPECT_NE(rtd_table(0x091A, pt100e_tab.data()), rtd_table(0x1234, pt100e_tab.data()));
    EXPECT_EQ(Io_ConvertUniversal(0, 16, 0x8000, 0, comp), 1476 - 5600);
    // Products in 64 bits.
    EXPECT_EQ(Io_ConvertStd(65535, 0, 65535, 65535), 32767);
    EXPECT_EQ(Io_ConvertStd(-100, 0, 100, 0), 0);
    EXPECT_EQ(Io_ConvertStd(8192, 2, 32768, 0), (5 * 16384 - 32000) / 4);
}

TEST_F(IoTest, OutputScalingAndPulseValues) {
    EXPECT_EQ(Io_ScaleOut(32000, 0, 32768, 0), 4000u);
    EXPECT_EQ(Io_ScaleOut(32000, 2, 32768, 0), 4000u);
    EXPECT_EQ(Io_ScaleOut(32000, 9, 32768, 0), 4048u);
    EXPECT_EQ(Io_ScaleOut(65535, 0, 65535, 0), 4095u);
    EXPECT_EQ(Io_ScaleOut(0, 9, 0, 0xF000), 4095u);
    EXPECT_EQ(Io_ScaleOut(32000, 0, 32767, 0), 3999u);
    // The bipolar scale (type 9) is centred on 2048 and takes the value as
    // signed: -16000 (0xC180) x 32768 >> 19 = -1000, + 2048 = 1048; -32768
    // reaches the bottom, -1 lies just below the centre (-32768 >> 19 = -1).
    EXPECT_EQ(Io_ScaleOut(uint16_t(-16000), 9, 32768, 0), 1048u);
    EXPECT_EQ(Io_ScaleOut(uint16_t(-32768), 9, 32768, 0), 0u);
    EXPECT_EQ(Io_ScaleOut(0xFFFF, 9, 32768, 0), 2047u);
    EXPECT_EQ(Io_ScaleOut(uint16_t(-16000), 9, 32768, 100), 1148u);
    // The unipolar scales keep the value unsigned: 0xC180 = 49536.
    EXPECT_EQ(Io_ScaleOut(0xC180, 0, 16384, 0), 3096u);

    IoPulse p = Io_PulseTrain(1000, 100, 1000, 100000);
    EXPECT_EQ(p.run, 9999u);
    EXPECT_EQ(p.start, 99999u);
    EXPECT_EQ(p.acc_step, 89);
    EXPECT_EQ(p.acc_pre, 0xFFFF);
    EXPECT_EQ(p.dec_step, 0);
    EXPECT_EQ(p.dec_pre, 9);
    p = Io_PulseTrain(1000, 100, 7, 0);
    EXPECT_EQ(p.acc_step, 90000 / 7 - 1);
    EXPECT_EQ(p.acc_pre, ((7 / (90000 % 7)) - 1) | 0x8000);
    EXPECT_EQ(p.dec_step, 0);
    EXPECT_EQ(p.dec_pre, 0);
    p = Io_PulseTrain(100, 1000, 50, 50);  // run slower than start: no ramp
    EXPECT_EQ(p.acc_step | p.acc_pre | p.dec_step | p.dec_pre, 0);
    p = Io_PulseWidth(1000, 16000);
    EXPECT_EQ(p.start, 4999u);
    EXPECT_EQ(p.run, 9999u);
    p = Io_PulseWidth(0, 16000);
    EXPECT_EQ(p.start | p.run, 0u);
    p = Io_PulseWidth(1, 0xFFFFFFFF);  // 64-bit product
    EXPECT_EQ(p.start, uint32_t(uint64_t(10000000) * 0xFFFFFFFFull / 32000 - 1));
}

// FPGA register writes {register, value, length}.
struct FpgaW {
    uint32_t reg, value, len;
    bool operator==(const FpgaW &) const = default;
};
std::vector<FpgaW> &FpgaLog() {
    static std::vector<FpgaW> log;
    return log;
}
uint32_t FpgaRec(uint32_t value, uint32_t reg, uint32_t len, uint32_t read) {
    if (!read) FpgaLog().push_back({reg, value, len});
    return 0;
}

TEST_F(IoTest, PulseOutputAndCounterRegistersOfSlotZero) {
    const auto saved = io_fpga_xfer;
    io_fpga_xfer = FpgaRec;
    FpgaLog().clear();
    // Row 1 (pulse outputs and counters) in slot 0; counters 1 and 2 on,
    // pulse output 1 in pulse-width mode, output 2 in pulse-train mode.
    InitSlots(0xA60F, 255);
    std::vector<uint8_t> cfg(92, 0);
    auto word = [&cfg](unsigned n, uint16_t v) { LE_Put16(&cfg[2 * n], v); };
    word(7, 0x0413);
    word(12, BA_R);            // counter block %R1: six words a counter
    word(13, BA_R + 16 * 99);  // pulse-output block %R100: ten words an output
    word(37, 50);              // configured presets of counters 1 and 2
    word(38, 60);
    word(41, 70);  // and their match values
    word(42, 80);
    word(45, BA_R + 16 * 199);  // preset block %R200: a word a counter
    IoDriverMsg m{};
    Configure(m, 0, cfg);
    ASSERT_EQ(m.status, 0);
    // The clear, four bytes at a time: the counter blocks at 0xC0 and 0xE0
    // (their registers end at +0x17) and the pulse-output blocks at 0x40 and
    // 0x80 up to and including the deceleration step at +0x20.
    std::vector<FpgaW> clear;
    for (uint32_t r = 0xC0; r <= 0xDC; r += 4) clear.push_back({r, 0, 4});
    for (uint32_t r = 0xE0; r <= 0xFC; r += 4) clear.push_back({r, 0, 4});
    for (uint32_t r = 0x40; r <= 0x60; r += 4) clear.push_back({r, 0, 4});
    for (uint32_t r = 0x80; r <= 0xA0; r += 4) clear.push_back({r, 0, 4});
    ASSERT_EQ(clear.size(), 34u);
    ASSERT_EQ(FpgaLog().size(), clear.size() + 4 + 5);
    EXPECT_EQ(std::vector<FpgaW>(FpgaLog().begin(), FpgaLog().begin() + 34), clear);
    EXPECT_EQ(std::vector<FpgaW>(FpgaLog().begin() + 34, FpgaLog().end()), (std::vector<FpgaW>{{0xC2, 0x32FF, 4},
                                                                                               {0xC6, 70, 4},
                                                                                               {0xE2, 0x3CFF, 4},
                                                                                               {0xE6, 80, 4},
                                                                                               {0x06, 0, 1},
                                                                                               {0x07, 0, 2},
                                                                                               {0x41, 0x11, 1},
                                                                                               {0x81, 0x12, 1},
                                                                                               {0x04, 1, 1}}));
    auto r32 = [](unsigned n, uint32_t v) {
        uint8_t *p = &plc_reg[(BA_R - 1024) / 8 + 2 * (n - 1)];
        LE_Put32(p, v);
    };
    // Output 1: A 16000, F 1000. Output 2: start 100 Hz, run 1000 Hz, ramps
    // of 1000 and 100000 pulses, 5000 at speed.
    r32(100, 16000);
    r32(102, 1000);
    r32(110, 100);
    r32(112, 1000);
    r32(114, 1000);
    r32(116, 5000);
    r32(118, 100000);
    // Counter 1: preload 0x10002, matches 7 and 0x30000; counter 2: 5, 6, 7.
    r32(1, 0x10002);
    r32(3, 7);
    r32(5, 0x30000);
    r32(7, 5);
    r32(9, 6);
    r32(11, 7);
    LE_Put16(&plc_reg[(BA_R - 1024) / 8 + 2 * 199], 300);
    LE_Put16(&plc_reg[(BA_R - 1024) / 8 + 2 * 200], 400);
    std::array<uint8_t, 4> q{};
    std::array<uint8_t, 28> aq{};
    FpgaLog().clear();
    IoPutQs(q.data(), 0, 0, 32);
    IoPutAQs(aq.data(), 0, 0, 14);
    // P = 10^7 / F; width: T = P x A / 32000; train: S = 10^7 / A, d = S - P =
    // 90000, acceleration 1000 <= d: step 90000 / 1000 - 1, d mod 1000 = 0:
    // pre-count 0xFFFF; deceleration 100000 > d: step 1 - 1, pre-count
    // 100000 / 10000 - 1.
    const std::vector<FpgaW> first = {{0xC0, 300, 2},  {0xE0, 400, 2},     {0x44, 4999, 3},   {0x48, 9999, 3},
                                      {0x8C, 1000, 4}, {0x90, 5000, 4},    {0x94, 100000, 4}, {0x98, 0xFFFF, 2},
                                      {0x9A, 9, 2},    {0x9C, 89, 2},      {0xA0, 0, 2},      {0x84, 99999, 3},
                                      {0x88, 9999, 3}, {0xCC, 0x10002, 4}, {0xD0, 7, 4},      {0xD4, 0x30000, 4},
                                      {0xEC, 5, 4},    {0xF0, 6, 4},       {0xF4, 7, 4}};
    EXPECT_EQ(FpgaLog(), first);
    // Nothing changed: nothing is written again.
    FpgaLog().clear();
    for (int i = 0; i < 3; i++) {
        IoPutQs(q.data(), 0, 0, 32);
        IoPutAQs(aq.data(), 0, 0, 14);
    }
    EXPECT_EQ(FpgaLog(), std::vector<FpgaW>{});
    // Output 1 at 2000 Hz, counter 2's second match 8, counter 1's preset
    // 301: only those registers.
    r32(102, 2000);
    r32(11, 8);
    LE_Put16(&plc_reg[(BA_R - 1024) / 8 + 2 * 199], 301);
    FpgaLog().clear();
    IoPutQs(q.data(), 0, 0, 32);
    IoPutAQs(aq.data(), 0, 0, 14);
    EXPECT_EQ(FpgaLog(), (std::vector<FpgaW>{{0xC0, 301, 2}, {0x44, 2499, 3}, {0x48, 4999, 3}, {0xF4, 8, 4}}));
    // A stop clears the counters and stops the pulse outputs; the values it
    // writes once more are all written, and not again after it.
    FpgaLog().clear();
    Send(m, 13);
    ASSERT_EQ(FpgaLog().size(), 7u + 17);
    EXPECT_EQ(
        std::vector<FpgaW>(FpgaLog().begin(), FpgaLog().begin() + 7),
        (std::vector<FpgaW>{
            {0x03, 0, 1}, {0xC2, 0, 4}, {0xE2, 0, 4}, {0xC0, 301, 2}, {0xE0, 400, 2}, {0x40, 0, 1}, {0x80, 0, 1}}));
    FpgaLog().clear();
    IoPutAQs(aq.data(), 0, 0, 14);
    EXPECT_EQ(FpgaLog(), std::vector<FpgaW>{});
    io_fpga_xfer = saved;
}

// FPGA reads of the status registers: counter 1 (0xCA) 0x5, counter 2
// (0xEA) 0xA, pulse output 1 (0x42) state 2, pulse output 2 (0x82) state 1.
uint32_t FpgaStatus(uint32_t, uint32_t reg, uint32_t, uint32_t read) {
    if (!read) return 0;
    switch (reg) {
    case 0xCA: return 0x05;
    case 0xEA: return 0x0A;
    case 0x42: return 0x02;
    case 0x82: return 0x01;
    default: return 0;
    }
}

TEST_F(IoTest, CounterAndPulseStatusBitsOneByteEachWhileIecVariablesAreBound) {
    const auto saved = io_fpga_xfer;
    io_fpga_xfer = FpgaStatus;
    struct IecOff {
        ~IecOff() { DrevanoRuntime = drevano_variables_enumerateded = 0; }
    } iec_off;
    // Row 1 in slot 0, counters 1 and 2 on, both pulse-output status reports
    // on (option word 0x0443); counter status at %M1, pulse-output status at
    // %M257.
    InitSlots(0xA60F, 255);
    std::vector<uint8_t> cfg(92, 0);
    LE_Put16(&cfg[14], 0x0443);
    LE_Put16(&cfg[20], BA_M);
    LE_Put16(&cfg[22], BA_M + 256);
    IoDriverMsg m{};
    Configure(m, 0, cfg);
    ASSERT_EQ(m.status, 0);
    std::array<uint8_t, 4> in{};
    auto read = [&] {
        std::fill(Reg(BA_M, 512), Reg(BA_M, 512) + 64, uint8_t(0xEE));
        Send(m, 9, 0, in.data(), 4);
    };
    // Packed: 0xA5, 0x00 at %M1; 0x06 (states 2 and 1, two bits each) at %M257.
    read();
    EXPECT_EQ(std::vector<uint8_t>(Reg(BA_M, 16), Reg(BA_M, 16) + 3), (std::vector<uint8_t>{0xA5, 0x00, 0xEE}));
    EXPECT_EQ(std::vector<uint8_t>(Reg(BA_M + 256, 8), Reg(BA_M + 256, 8) + 2), (std::vector<uint8_t>{0x06, 0xEE}));
    // An IEC application with bound variables: one byte a bit, least
    // significant first: 16 bytes for the counters, 4 for the pulse outputs.
    DrevanoRuntime = 1;
    drevano_variables_enumerateded = 1;
    read();
    EXPECT_EQ(std::vector<uint8_t>(Reg(BA_M, 136), Reg(BA_M, 136) + 17),
              (std::vector<uint8_t>{1, 0, 1, 0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0xEE}));
    EXPECT_EQ(std::vector<uint8_t>(Reg(BA_M + 256, 40), Reg(BA_M + 256, 40) + 5),
              (std::vector<uint8_t>{0, 1, 1, 0, 0xEE}));
    io_fpga_xfer = saved;
}

// FPGA reads: the high-speed input bits (0xCB) read 0x5; each read is logged.
std::vector<uint32_t> &FpgaReads() {
    static std::vector<uint32_t> log;
    return log;
}
uint32_t FpgaInputs(uint32_t, uint32_t reg, uint32_t, uint32_t read) {
    if (!read) return 0;
    FpgaReads().push_back(reg);
    return reg == 0xCB ? 0x05 : 0;
}

TEST_F(IoTest, HighSpeedInputBitsAreSlotZerosOnly) {
    const auto saved = io_fpga_xfer;
    io_fpga_xfer = FpgaInputs;
    FpgaReads().clear();
    // Row 2 in slot 0 and in slot 1 (the expander 0x40 reads 0xFE, 0xFF:
    // input 0 on). Slot 0 takes the FPGA's high-speed bits into the low
    // nibble of byte 2; slot 1 does not read the FPGA (its bits are slot
    // 0's inputs): byte 2 stays 0.
    Sim(R"({"slot1": [{"addr": "0x40", "type": "expander", "pins": [254, 255]}]})");
    InitSlots(0xA00F, 0xA00F);
    IoDriverMsg m{};
    std::array<uint8_t, 4> in{};
    auto read = [&](uint8_t slot) {
        in.fill(0xEE);
        Send(m, 9, slot, in.data(), 4);
    };
    read(0);
    EXPECT_EQ(in, (std::array<uint8_t, 4>{0x01, 0x00, 0x05, 0x00}));
    EXPECT_EQ(FpgaReads(), std::vector<uint32_t>{0xCB});
    FpgaReads().clear();
    read(1);
    EXPECT_EQ(in, (std::array<uint8_t, 4>{0x01, 0x00, 0x00, 0x00}));
    EXPECT_EQ(FpgaReads(), std::vector<uint32_t>{});
    io_fpga_xfer = saved;
}

TEST_F(IoTest, PlainPulseOutputsAreDrivenAtTheFirstUpdateAndAfterAStop) {
    const auto saved = io_fpga_xfer;
    io_fpga_xfer = FpgaRec;
    // Row 1 in slot 0, no pulse mode: pulse outputs 1 and 2 are plain outputs
    // on bits 5 and 6 of output byte 3.
    InitSlots(0xA60F, 255);
    std::vector<uint8_t> cfg(92, 0);
    LE_Put16(&cfg[2 * 18], 0x08);  // a stop keeps output byte 3
    IoDriverMsg m{};
    Configure(m, 0, cfg);
    ASSERT_EQ(m.status, 0);
    std::array<uint8_t, 4> q{0, 0, 0, 0x20};
    FpgaLog().clear();
    IoPutQs(q.data(), 0, 0, 32);
    // The first update drives both lines: output 1 on, output 2 off.
    EXPECT_EQ(FpgaLog(), (std::vector<FpgaW>{{0x40, 1, 1}, {0x80, 0, 1}}));
    FpgaLog().clear();
    IoPutQs(q.data(), 0, 0, 32);
    EXPECT_EQ(FpgaLog(), std::vector<FpgaW>{});
    // A stop drives both off (after the kept output byte went out once more);
    // the same outputs afterwards drive output 1 on again.
    Send(m, 13);
    FpgaLog().clear();
    IoPutQs(q.data(), 0, 0, 32);
    EXPECT_EQ(FpgaLog(), (std::vector<FpgaW>{{0x40, 1, 1}}));
    // A configure clears the FPGA's pulse-output registers: output 1 is driven again.
    Configure(m, 0, cfg);
    FpgaLog().clear();
    IoPutQs(q.data(), 0, 0, 32);
    EXPECT_EQ(FpgaLog(), (std::vector<FpgaW>{{0x40, 1, 1}, {0x80, 0, 1}}));

    // A power-metering module in slot 0: bit 0 of output byte 0 drives FPGA
    // register 0x40, mode bit 0 register 0x80, each written when it changes.
    // A configure clears both registers: the next update drives them again,
    // as it does after init.
    InitSlots(0x500F, 255);
    LE_Put16(&cfg[2 * 18], 0x01);  // a stop keeps output byte 0
    auto configure = [&] {
        Configure(m, 0, cfg);
        ASSERT_EQ(m.status, 0);
    };
    configure();
    std::array<uint8_t, 1> q0{0x01};
    auto put = [&] {
        FpgaLog().clear();
        Send(m, 10, 0, q0.data(), 1);
    };
    put();
    EXPECT_EQ(FpgaLog(), (std::vector<FpgaW>{{0x40, 1, 1}, {0x80, 0, 1}}));
    put();
    EXPECT_EQ(FpgaLog(), std::vector<FpgaW>{});
    Send(m, 13);
    put();
    EXPECT_EQ(FpgaLog(), (std::vector<FpgaW>{{0x40, 1, 1}}));
    configure();
    put();
    EXPECT_EQ(FpgaLog(), (std::vector<FpgaW>{{0x40, 1, 1}, {0x80, 0, 1}}));

    // The FPGA's pulse outputs are slot 0's: a module of row 2 in slot 1
    // drives its expander lines only, and leaves registers 0x40 and 0x80
    // (slot 0's pulse outputs, perhaps in a pulse mode) alone.
    InitSlots(0xA60F, 0xA00F);
    std::vector<uint8_t> cfg1(92, 0);
    Configure(m, 1, cfg1);
    ASSERT_EQ(m.status, 0);
    std::array<uint8_t, 1> q1{0x03};
    FpgaLog().clear();
    Send(m, 10, 1, q1.data(), 1);
    EXPECT_EQ(FpgaLog(), std::vector<FpgaW>{});

    // The same holds for a power-metering module (rows 16 and 17) in slot 1:
    // output bit 0 and mode bit 0 set, yet registers 0x40 and 0x80 (slot 0's
    // pulse outputs) are not written, neither at the first update nor later.
    for (const uint16_t pwr : {uint16_t(0x500F), uint16_t(0x520F)}) {
        InitSlots(0xA60F, pwr);
        Configure(m, 1, cfg1);
        ASSERT_EQ(m.status, 0);
        for (const uint8_t bit : {uint8_t(0x01), uint8_t(0x00)}) {
            std::array<uint8_t, 1> qp{bit};
            FpgaLog().clear();
            Send(m, 10, 1, qp.data(), 1);
            io_q_put(1, bit);  // mode bit 0 as well
            EXPECT_EQ(FpgaLog(), std::vector<FpgaW>{}) << std::hex << pwr << " output bit " << int(bit);
        }
    }
    io_fpga_xfer = saved;
}

TEST_F(IoTest, BaseBoardFpgaSetUpControlLineMuxAndInputStatusByte) {
    const auto saved = io_fpga_xfer;
    io_fpga_xfer = FpgaRec;
    volatile uint32_t *pin = PLAT_SocMap(0x80018000, 0x2000);
    ASSERT_NE(pin, nullptr);
    for (unsigned r : {0x100u, 0x104u, 0x108u, 0x110u, 0x114u, 0x118u}) pin[r / 4] = 0;
    Sim(R"({"slot0": [{"addr": "0x40", "type": "expander", "pins": [250, 253]}]})");
    InitSlots(0x3F0E, 255);  // row 21, the base I/O board, without counters or pulse outputs
    // Bank 0 pin 17 is in MUXSEL1 (pins 16-31), bits 2-3; value 3 is its GPIO function.
    EXPECT_EQ(pin[0x114 / 4], 0x0Cu);
    EXPECT_EQ(pin[0x104 / 4], 0u);
    EXPECT_EQ(pin[0x108 / 4], 0u);
    // Configure with option bit 7 (inverted inputs): slot 0's FPGA is set up
    // as for every module: the counter and pulse blocks cleared, the
    // pulse-width setting and prescale, input inversion off (register 4 = 0).
    std::vector<uint8_t> cfg(92, 0);
    LE_Put16(&cfg[14], 0x0080);
    FpgaLog().clear();
    IoDriverMsg m{};
    Configure(m, 0, cfg);
    ASSERT_EQ(m.status, 0);
    // Counter blocks 0xC0..0xDF and 0xE0..0xFF; pulse-output blocks through
    // their deceleration step: 0x40..0x63 and 0x80..0xA3.
    std::vector<FpgaW> want;
    for (uint32_t r = 0xC0; r < 0x100; r += 4) want.push_back({r, 0, 4});
    for (uint32_t r = 0x40; r < 0x64; r += 4) want.push_back({r, 0, 4});
    for (uint32_t r = 0x80; r < 0xA4; r += 4) want.push_back({r, 0, 4});
    want.insert(want.end(), {{0x06, 0, 1}, {0x07, 0, 2}, {0x04, 0, 1}});
    EXPECT_EQ(FpgaLog(), want);
    // The inputs are inverted; the fourth byte reports expander bit 9 (clear:
    // 0x80) and is not inverted with them.
    std::array<uint8_t, 4> in{};
    Send(m, 9, 0, in.data(), 4);
    EXPECT_EQ(in[0], 0xFA);
    EXPECT_EQ(in[3], 0x80);
    // Byte 2 holds the high-speed bits (FPGA 0xCB low nibble, 0 here, inverted
    // to 0x0F) and nothing above them: the same answer at every read.
    EXPECT_EQ(in[2], 0x0F);
    in.fill(0);
    io_driver(&m);
    EXPECT_EQ(in[0], 0xFA);
    EXPECT_EQ(in[2], 0x0F);
    EXPECT_EQ(in[3], 0x80);
    // An expander that does not answer leaves the answer as it was, inverted
    // inputs included.
    static constexpr PlatI2cOps kDeaf = {[](uint8_t) { return 0; }, [](uint8_t, uint8_t *, std::size_t) { return 0; },
                                         [](uint8_t, const uint8_t *, std::size_t) { return 0; }, [](unsigned) {}};
    plat_i2c = &kDeaf;
    in.fill(0);
    io_driver(&m);
    plat_i2c = &kRecorder;
    EXPECT_EQ(in[0], 0xFA);
    EXPECT_EQ(in[1], 0xFD);
    EXPECT_EQ(in[2], 0x0F);
    EXPECT_EQ(in[3], 0x80);

    // The pulse-width prescale: 25000 / frequency - 1 with a setting whose
    // low nibble is non-zero (1000 Hz: 24). A frequency above 25000 has no
    // prescale below the fastest: 0, not the slowest (0xFFFF).
    auto prescale = [&](uint8_t setting, uint16_t freq) {
        std::vector<uint8_t> c(92, 0);
        c[13] = setting;
        LE_Put16(&c[16], freq);
        FpgaLog().clear();
        Configure(m, 0, c);
        std::vector<FpgaW> got;
        for (const FpgaW &w : FpgaLog()) {
            if (w.reg == 0x06 || w.reg == 0x07) got.push_back(w);
        }
        return got;
    };
    EXPECT_EQ(prescale(0x21, 1000), (std::vector<FpgaW>{{0x06, 0x21, 1}, {0x07, 24, 2}}));
    EXPECT_EQ(prescale(0x21, 25000), (std::vector<FpgaW>{{0x06, 0x21, 1}, {0x07, 0, 2}}));
    EXPECT_EQ(prescale(0x21, 30000), (std::vector<FpgaW>{{0x06, 0x21, 1}, {0x07, 0, 2}}));
    EXPECT_EQ(prescale(0x20, 1000), (std::vector<FpgaW>{{0x06, 0, 1}, {0x07, 0, 2}}));
    EXPECT_EQ(prescale(0x21, 0), (std::vector<FpgaW>{{0x06, 0, 1}, {0x07, 0, 2}}));
    io_fpga_xfer = saved;
}

TEST_F(IoTest, SocConverterOfTheBaseBoardsAndTheStatusBlockOfRow22) {
    // Row 23 takes its channel from the SoC's converter, channel 0.
    volatile uint32_t *adc = PLAT_SocMap(0x80050000, 0x2000);
    volatile uint32_t *pin = PLAT_SocMap(0x80018000, 0x2000);
    ASSERT_NE(adc, nullptr);
    ASSERT_NE(pin, nullptr);
    adc[0x10 / 4] = 0;  // no conversion ends
    adc[0x50 / 4] = 0xABC;
    Sim(R"({"slot0": [{"addr": "0x4C", "type": "expander", "pins": [255, 31]}]})");
    SetConfig({0x0E, 0x1F, 0, 0, 0xFF, 0xFF, 0x00, 0xFA, 0x00, 0x00});
    ASSERT_EQ(Io_SlotCheck(), 0u);
    ASSERT_EQ(tbl[0].row, ROW_BASE23);
    std::array<uint8_t, 2> ai{};
    IoGetAIs(ai.data(), 0, 0, 1);
    EXPECT_EQ(LE_Get16(ai.data()), 0) << "no conversion came to its end";
    EXPECT_EQ(adc[0x4 / 4], 1u) << "channel 0 was scheduled";
    adc[0x10 / 4] = 1;
    IoGetAIs(ai.data(), 0, 0, 1);
    EXPECT_EQ(LE_Get16(ai.data()), 21983) << "(0xABC << 4) x 32767 >> 16";
    // Row 25 selects each of its four inputs on GPIO bank 4 pins 9 to 11.
    PLAT_I2cSimReset();
    Io_ResetProbe();
    Sim(R"({"slot0": [{"addr": "0x4C", "type": "expander", "pins": [255, 159]},
                      {"addr": "0x40", "type": "expander"}]})");
    SetConfig({0x0E, 0x9F, 0, 0, 0xFF, 0xFF, 0x00, 0xFA, 0x00, 0x00});
    ASSERT_EQ(Io_SlotCheck(), 0u);
    ASSERT_EQ(tbl[0].row, ROW_BASE25);
    std::array<uint8_t, 8> ai4{};
    IoGetAIs(ai4.data(), 0, 0, 4);
    for (unsigned c = 0; c < 4; c++) EXPECT_EQ(LE_Get16(&ai4[2 * c]), 22072) << c << ": x 32900 >> 16";
    EXPECT_EQ(pin[0x744 / 4], 3u << 9) << "input 3 selected last";
    EXPECT_EQ(pin[0x748 / 4], 4u << 9);
    // Channel type 1 on inputs 0-3: pairs 2, 4, 6, 8 (gains 33700, 33700,
    // 33700, 34000), then the scale of the non-zero types outside calibration:
    // 43968 x 33700 >> 16 = 22609, x 32000 / 32220 = 22454; input 3:
    // 43968 x 34000 >> 16 = 22810, x 32000 / 32550 = 22424.
    std::vector<uint8_t> types(14, 0);
    std::fill(types.begin(), types.begin() + 4, uint8_t(1));
    IoDriverMsg m{};
    Configure(m, 0, types);
    ASSERT_EQ(m.status, 0);
    IoGetAIs(ai4.data(), 0, 0, 4);
    EXPECT_EQ(LE_Get16(&ai4[0]), 22454);
    EXPECT_EQ(LE_Get16(&ai4[2]), 22454);
    EXPECT_EQ(LE_Get16(&ai4[4]), 22454);
    EXPECT_EQ(LE_Get16(&ai4[6]), 22424);

    // Row 22: the status block (configuration word 9, %R200) asks by word 0
    // for the answers of the commands 19 and 21, which go to words 3 and 5.
    PLAT_I2cSimReset();
    Io_ResetProbe();
    Sim(R"({"slot0": [{"addr": "0x4C", "type": "expander", "pins": [255, 223]},
                      {"addr": "0x40", "type": "registers", "width": 2,
                       "registers": {"19": [52, 18], "20": [9, 9], "21": [1, 2], "32": [16, 0]}}]})");
    std::vector<uint8_t> data(20, 0);
    LE_Put16(&data[18], uint16_t(BA_R + 16 * 199));
    SetConfig(Slot0Table(0xDF0E, data));
    ASSERT_EQ(Io_SlotCheck(), 0u);
    ASSERT_EQ(tbl[0].row, ROW_MIX22);
    uint8_t *blk = Reg(BA_R + 16 * 199, 160);
    for (unsigned i = 0; i < 10; i++) LE_Put16(blk + 2 * i, 0xEEEE);
    LE_Put16(blk, 0x0005);
    std::array<uint8_t, 12> six{};
    IoGetAIs(six.data(), 0, 0, 6);
    const uint16_t want[10] = {5, 0xEEEE, 0xEEEE, 0x1234, 0xEEEE, 0x0201, 0xEEEE, 0xEEEE, 0xEEEE, 0xEEEE};
    for (unsigned i = 0; i < 10; i++) EXPECT_EQ(LE_Get16(blk + 2 * i), want[i]) << i;
}

TEST_F(IoTest, Row22InputTypesAndOutputSettingsHaveBytesOfTheirOwn) {
    // Row 22 converts six inputs (channel types 0-5) and drives four
    // outputs (settings in bytes 6-9). Input 4 unused (type 10), output 1
    // unused (byte 7 = 10): outputs 0, 2 and 3 are written, output 1 not.
    Sim(R"({"slot0": [{"addr": "0x4C", "type": "expander", "pins": [255, 223]},
                      {"addr": "0x40", "type": "registers", "width": 2}]})");
    std::vector<uint8_t> data(20, 0);
    data[4] = 10;
    data[7] = 10;
    SetConfig(Slot0Table(0xDF0E, data));
    ASSERT_EQ(Io_SlotCheck(), 0u);
    ASSERT_EQ(tbl[0].row, ROW_MIX22);
    std::array<uint8_t, 8> aq = {0x34, 0x12, 0x78, 0x56, 0xBC, 0x9A, 0x01, 0x00};
    IoDriverMsg m{};
    Log().clear();
    Send(m, 12, 0, aq.data(), 4);
    ASSERT_EQ(m.status, 0);
    std::vector<std::vector<uint8_t>> sent;
    for (const Xfer &x : Log()) {
        if (x.kind == 'w' && x.addr == 0x40) sent.push_back(x.data);
    }
    EXPECT_EQ(sent, (std::vector<std::vector<uint8_t>>{{0x30, 0x34, 0x12}, {0x32, 0xBC, 0x9A}, {0x33, 0x01, 0x00}}));
}

TEST_F(IoTest, BipolarOutputTypeOnRows4And25) {
    // Row 4 in slot 1, output 1 of type 9 (channel type byte 3): its pair 15
    // (default gain 32586, offset 0), the bipolar scale: 16000 x 32586 >> 19
    // = 994, + 2048 = 3042 (0x0BE2) to the DAC at 0x9A.
    Sim(R"({"slot1": [{"addr": "0x4E", "type": "expander", "pins": [255, 162]},
                      {"addr": "0x98", "type": "registers"}, {"addr": "0x9A", "type": "registers"}]})");
    SetConfig({0xFF, 0x00, 0, 0, 0x0F, 0xA2, 4, 0, 0, 0, 0, 9, 0x00, 0xFA, 0x00, 0x00});
    ASSERT_EQ(Io_SlotCheck(), 0u);
    ASSERT_EQ(tbl[1].row, ROW_TC);
    std::array<uint8_t, 4> aq = {0x80, 0x3E, 0x80, 0x3E};  // 16000, 16000
    IoDriverMsg m{};
    Send(m, 12, 1, aq.data(), 2);
    EXPECT_EQ(LastWrite(0x9A), (std::vector<uint8_t>{0x0B, 0xE2}));
    // Output 0 (type 0, pair 6, gain 32801): 16000 x 32801 >> 18 = 2002.
    EXPECT_EQ(LastWrite(0x98), (std::vector<uint8_t>{0x07, 0xD2}));
    // A negative value goes below the centre: -16000 x 32586 >> 19 = -995
    // (rounded towards minus infinity), 2048 - 995 = 1053 (0x041D).
    aq[2] = 0x80;
    aq[3] = 0xC1;
    io_driver(&m);
    EXPECT_EQ(LastWrite(0x9A), (std::vector<uint8_t>{0x04, 0x1D}));
    aq[2] = 0x80;
    aq[3] = 0x3E;

    // Row 25 in slot 0, output 1 of type 9 (byte 5): pair 12 (gain 32767):
    // 16000 x 32767 >> 19 = 999, + 2048 = 3047 (0x0BE7), OR 0x1000 OR 1 << 14,
    // no 0x8000 (only type 0 has it): word 1 of the SSP2 record is 0x5BE7.
    PLAT_I2cSimReset();
    Io_ResetProbe();
    Sim(R"({"slot0": [{"addr": "0x4C", "type": "expander", "pins": [255, 159]},
                      {"addr": "0x40", "type": "expander"}]})");
    SetConfig({0x0E, 0x9F, 8, 0, 0, 0, 0, 0, 0, 9, 0, 0, 0xFF, 0xFF, 0x00, 0xFA, 0x00, 0x00});
    ASSERT_EQ(Io_SlotCheck(), 0u);
    ASSERT_EQ(tbl[0].row, ROW_BASE25);
    Send(m, 12, 0, aq.data(), 2);
    std::ifstream f(root / "proc/Ssp2_Out_Data", std::ios::binary);
    std::array<char, 12> rec{};
    f.read(rec.data(), 12);
    ASSERT_EQ(f.gcount(), 12);
    EXPECT_EQ(LE_Get32(reinterpret_cast<uint8_t *>(&rec[4])), 0x5BE7u);
}

TEST_F(IoTest, OvercurrentProtectionDefiniteAndInverseTime) {
    std::array<uint16_t, 14> w{};
    w[0] = 1;     // channel 0
    w[1] = 1000;  // pickup
    w[2] = 500;   // ms
    IoProt st{};
    uint16_t v[4] = {1200, 0, 0, 0};
    uint32_t now = 0xFFFFF000;  // across the wrap of the time base
    Io_Protect(st, w.data(), v, now, 15);
    EXPECT_EQ(w[5], 0);
    for (uint32_t t = 0; t < 5000; t += 100) {
        Io_Protect(st, w.data(), v, now + t, 15);
        ASSERT_EQ(w[5], 0) << t;
    }
    Io_Protect(st, w.data(), v, now + 5000, 15);
    EXPECT_EQ(w[5], 1);
    EXPECT_EQ(w[4] & 1, 1);
    v[0] = 900;
    Io_Protect(st, w.data(), v, now + 5100, 15);
    EXPECT_EQ(w[5], 0);
    EXPECT_EQ(w[4] & 1, 1);
    // A delay word of 0xFFFF is 65535 ms, above the longest: 10 s, 100000 ticks.
    std::array<uint16_t, 14> d{};
    d[0] = 1;
    d[1] = 1000;
    d[2] = 0xFFFF;
    IoProt ds{};
    v[0] = 1200;
    Io_Protect(ds, d.data(), v, 0, 15);
    Io_Protect(ds, d.data(), v, 99999, 15);
    EXPECT_EQ(d[5], 0);
    Io_Protect(ds, d.data(), v, 100000, 15);
    EXPECT_EQ(d[5], 1);

    // Inverse time, curve 5 (A 13.5, p 1), M = 2, dial 1: 13.5 s of accumulated time.
    std::array<uint16_t, 14> x{};
    x[6] = 1;
    x[7] = 1000;
    x[8] = 5;
    x[9] = 1;
    x[10] = 1;
    IoProt in{};
    v[0] = 2000;
    now = 1000;
    Io_Protect(in, x.data(), v, now, 15);
    uint32_t t = 0;
    while (x[13] == 0 && t < 20000) {
        t += 100;
        Io_Protect(in, x.data(), v, now + t, 15);
    }
    EXPECT_EQ(t, 13500u);
    EXPECT_EQ(x[12] & 1, 1);
    // Below the pickup the accumulator runs back to 0 (reset time 1 s) and the output clears.
    v[0] = 0;
    Io_Protect(in, x.data(), v, now + t + 500, 15);
    EXPECT_EQ(x[13], 1);
    Io_Protect(in, x.data(), v, now + t + 1100, 15);
    EXPECT_EQ(x[13], 0);
    EXPECT_EQ(x[12] & 1, 1);

    // A curve number of -1 is clamped to curve 0 (A 6.407, B 0.025, p 2), not
    // to curve 6: M = 2 gives 3 / (0.025 x 3 + 6.407) = 0.4628 a second, the
    // trip after 2.161 time units, at the 22nd pass of 100 ticks (0.1 each).
    std::array<uint16_t, 14> y{};
    y[6] = 1;
    y[7] = 1000;
    y[8] = 0xFFFF;
    y[9] = 1;
    y[10] = 1;
    IoProt c0{};
    v[0] = 2000;
    Io_Protect(c0, y.data(), v, now, 15);
    t = 0;
    while (y[13] == 0 && t < 60000) {
        t += 100;
        Io_Protect(c0, y.data(), v, now + t, 15);
    }
    EXPECT_EQ(t, 2200u);
}

TEST_F(IoTest, SmoothingFilterRestartsAtEveryConfigureAndHoldsWideShifts) {
    // Row 21 in slot 0, converter 0x90 channel 0 at 4096; smoothing shift 20
    // (option byte): 4096 << 20 needs more than 32 bits.
    Sim(R"({"slot0": [{"addr": "0x4C", "type": "expander", "pins": [255, 63]},
                      {"addr": "0x40", "type": "expander"},
                      {"addr": "0x90", "type": "registers", "width": 2, "registers": {"0": [16, 0]}}]})");
    std::vector<uint8_t> cfg(16, 0);
    cfg[12] = 20;
    SetConfig(Slot0Table(0x3F0E, cfg));
    ASSERT_EQ(Io_SlotCheck(), 0u);
    ASSERT_EQ(tbl[0].row, ROW_BASE21);
    std::array<uint8_t, 2> ai{};
    // A steady 4096 stays 4096: 4096 x 32767 >> 16 = 2047, pass after pass.
    for (int pass = 0; pass < 3; pass++) {
        IoGetAIs(ai.data(), 0, 0, 1);
        EXPECT_EQ(LE_Get16(ai.data()), 2047) << pass;
    }
    // The input steps to 8192 and the slot is configured again without a
    // stop: the filter starts over at the new value (8192 x 32767 >> 16 = 4095),
    // where a kept accumulator would still answer 2047.
    Sim(R"({"slot0": [{"addr": "0x90", "type": "registers", "width": 2, "registers": {"0": [32, 0]}}]})");
    IoDriverMsg m{};
    Configure(m, 0, cfg);
    ASSERT_EQ(m.status, 0);
    IoGetAIs(ai.data(), 0, 0, 1);
    EXPECT_EQ(LE_Get16(ai.data()), 4095);
    IoGetAIs(ai.data(), 0, 0, 1);
    EXPECT_EQ(LE_Get16(ai.data()), 4095);

    // Shift 2 smooths a step: from 4096 to 8192 the accumulator (16384)
    // takes 8192 - 4096, output 20480 >> 2 = 5120 (x 32767 >> 16 = 2559),
    // then 8192 - 5120 more, 23552 >> 2 = 5888 (2943).
    Sim(R"({"slot0": [{"addr": "0x90", "type": "registers", "width": 2, "registers": {"0": [16, 0]}}]})");
    cfg[12] = 2;
    Configure(m, 0, cfg);
    IoGetAIs(ai.data(), 0, 0, 1);
    EXPECT_EQ(LE_Get16(ai.data()), 2047);
    Sim(R"({"slot0": [{"addr": "0x90", "type": "registers", "width": 2, "registers": {"0": [32, 0]}}]})");
    IoGetAIs(ai.data(), 0, 0, 1);
    EXPECT_EQ(LE_Get16(ai.data()), 2559);
    IoGetAIs(ai.data(), 0, 0, 1);
    EXPECT_EQ(LE_Get16(ai.data()), 2943);
}

TEST_F(IoTest, FailedSlotCheckStopsTheModulesAndEmptySlotsGetNoInit) {
    const auto saved = io_fpga_xfer;
    io_fpga_xfer = FpgaRec;
    // Row 7 in slot 0; slot 1 configured for a module that is not there.
    Sim(R"({"slot0": [{"addr": "0x4C", "type": "expander", "pins": [255, 127]}]})");
    SetConfig({0x0E, 0x7F, 0, 0, 0x0F, 0x1F, 0, 0, 0x00, 0xFA, 0x00, 0x00});
    FpgaLog().clear();
    EXPECT_EQ(Io_SlotCheck(), 1u);
    // The stop of slot 0 (register 3 and the counter presets cleared) is the
    // only write of register 3.
    const std::vector<FpgaW> log = FpgaLog();
    const std::vector<FpgaW> stop = {{0x03, 0, 1}, {0xC2, 0, 4}, {0xE2, 0, 4}};
    EXPECT_NE(std::search(log.begin(), log.end(), stop.begin(), stop.end()), log.end());
    // A check that passes stops nothing.
    SetConfig({0x0E, 0x7F, 0, 0, 0xFF, 0xFF, 0x00, 0xFA, 0x00, 0x00});
    FpgaLog().clear();
    EXPECT_EQ(Io_SlotCheck(), 0u);
    EXPECT_EQ(std::count(FpgaLog().begin(), FpgaLog().end(), FpgaW{0x03, 0, 1}), 0);
    io_fpga_xfer = saved;

    // Both slots empty: no init message reaches the driver (its slot state
    // stays as it was) and the mask is 0; one known module sends it.
    tbl[0].row = 5;
    tbl[1].row = 6;
    const uint16_t empty[3] = {255, 255, 64000};
    EXPECT_EQ(IoInit(empty, 3), 0u);
    EXPECT_EQ(tbl[0].row, 5);
    EXPECT_EQ(tbl[1].row, 6);
    EXPECT_EQ(slotinfo[0].type, 255);
    EXPECT_EQ(slotinfo[1].type, 255);
    const uint16_t one[3] = {255, 0x7F0F, 64000};
    EXPECT_EQ(IoInit(one, 3), 0u);
    EXPECT_EQ(tbl[0].row, -1);
    EXPECT_EQ(tbl[1].row, 8);
}

TEST_F(IoTest, ModuleExchangeThroughTheSlotLayer) {
    // Row 7 in slot 0 (identification EEPROM 0x7F, expander 0x4C, converter 0x90),
    // row 21 could not sit beside it: the SSP2 exchange is checked with row 21 below.
    Sim(R"({"slot0": [{"addr": "0x1C", "type": "eeprom", "address_bytes": 2, "data": {"8": [127]}},
                      {"addr": "0x4C", "type": "expander", "pins": [250, 127]},
                      {"addr": "0x90", "type": "registers", "width": 2,
                       "registers": {"0": [70, 0], "1": [10, 0]}}]})");
    // Configuration: word 14 names protection block %R100.
    std::vector<uint8_t> data(32, 0);
    data[28] = 100;
    SetConfig(Slot0Table(0x7F0E, data));
    ASSERT_EQ(Io_SlotCheck(), 0u);
    Reg(BA_Q, 8)[0] = 0x05;  // %Q1, %Q3
    IoPutQs(Reg(BA_Q, 8), 0, 0, 8);
    EXPECT_EQ(LastWrite(0x4C), (std::vector<uint8_t>{0xAF, 0xFF}));
    PLAT_I2cSimFlush();
    std::ifstream outf(root / "sim/io_out.json");
    const std::string out((std::istreambuf_iterator<char>(outf)), std::istreambuf_iterator<char>());
    EXPECT_NE(out.find("\"0x4c\": [175, 255]"), std::string::npos) << out;
    IoGetIs(Reg(BA_I, 8), 0, 0, 8);
    EXPECT_EQ(Reg(BA_I, 8)[0], 0x05);
    // Stopping drives the outputs to their stop state (no byte kept, defaults 0).
    IoStop();
    EXPECT_EQ(LastWrite(0x4C), (std::vector<uint8_t>{0xFF, 0xFF}));
    IoPutQs(Reg(BA_Q, 8), 0, 0, 8);

    // Analog inputs: channel 0 = (0x4600 * 8771) >> 14 and the protection block.
    uint8_t *r = Reg(BA_R + 16 * 99, 14 * 16);
    LE_Put16(r + 0, 1);
    LE_Put16(r + 2, 9000);
    LE_Put16(r + 4, 0);
    IoGetAIs(Reg(BA_AI, 80), 0, 0, 5);
    const uint16_t ch0 = uint16_t((0x4600 * 8771) >> 14);
    EXPECT_EQ(LE_Get16(Reg(BA_AI, 16)), ch0);
    EXPECT_EQ(LE_Get16(Reg(BA_AI + 16, 16)), uint16_t((0x0A00 * 8771) >> 14));
    IoGetAIs(Reg(BA_AI, 80), 0, 0, 5);
    EXPECT_EQ(LE_Get16(r + 10), 1);  // 9000 is below 37470: tripped at once (delay 0)
    EXPECT_EQ(LE_Get16(r + 8), 1);

    // An input changed in io.json is seen at the next read.
    Sim(R"({"slot0": [{"addr": "0x4C", "type": "expander", "pins": [240, 127]}]})");
    IoGetIs(Reg(BA_I, 8), 0, 0, 8);
    EXPECT_EQ(Reg(BA_I, 8)[0], 0x0F);

    // Row 21: %AQ4 = 32000 with the default gain 32767 is word 1 of the SSP2 record.
    PLAT_I2cSimReset();
    Io_ResetProbe();
    Sim(R"({"slot0": [{"addr": "0x4C", "type": "expander", "pins": [255, 63]},
                      {"addr": "0x40", "type": "expander"}]})");
    SetConfig({0x0E, 0x3F, 0, 0, 0xFF, 0xFF, 0x00, 0xFA, 0x00, 0x00});
    ASSERT_EQ(Io_SlotCheck(), 0u);
    std::array<uint8_t, 8> aq{};
    LE_Put16(&aq[6], 32000);
    IoPutAQs(aq.data(), 0, 0, 4);
    std::ifstream f(root / "proc/Ssp2_Out_Data", std::ios::binary);
    std::array<char, 12> rec{};
    f.read(rec.data(), 12);
    ASSERT_EQ(f.gcount(), 12);
    EXPECT_EQ(LE_Get32(reinterpret_cast<uint8_t *>(&rec[4])), 0xDF9Fu);
    EXPECT_EQ(Ssp2_Xch(1, 0, 3), 0u);
    EXPECT_FALSE(Ssp2_Busy());
}

}  // namespace

namespace {
using namespace io_test;

float FloatAt(const uint8_t *p) {
    const uint32_t bits = LE_Get32(p);
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

TEST_F(IoTest, PowerMeteringReaderScalesAndIntegrates) {
    test_support::FakeClock clock;
    // Row 16: the metering converter answers at 0x50 (found by the scan list).
    Sim(R"({"slot0": [{"addr": "0x50", "type": "registers", "width": 3, "select": 1, "registers": {
        "13": [0, 16, 0], "14": [255, 240, 0], "10": [0, 0, 100], "16": [3, 192],
        "1": [0, 100], "4": [255, 156], "33": [10], "34": [20], "25": [1, 2, 3]}}]})");
    SetConfig({0x0F, 0x50, 0, 0, 0xFF, 0xFF, 0x00, 0xFA, 0x00, 0x00});
    ASSERT_EQ(Io_SlotCheck(), 0u);
    ASSERT_EQ(tbl[0].row, ROW_PWR1);
    std::array<uint8_t, 56> ai{};
    // Transformer ratios through the analog outputs: VT 2, 1, 1; CT 10, 1, 1.
    std::array<uint8_t, 36> ratios{};
    float r[9] = {2, 1, 1, 10, 1, 1, 12.4f, -3.6f, 0};
    for (unsigned k = 0; k < 9; k++) {
        uint32_t bits;
        std::memcpy(&bits, &r[k], 4);
        LE_Put32(&ratios[4 * k], bits);
    }
    IoPutAQs(ratios.data(), 0, 0, 12);
    // The phase corrections that follow go into the converter's registers
    // 0xC2 to 0xC4 (signed 16 bits, big-endian), each time one changed.
    auto phases = [] {
        std::vector<std::vector<uint8_t>> w;
        for (const Xfer &x : Log()) {
            if (x.kind == 'w' && x.addr == 0x50 && x.data.size() == 3 && x.data[0] >= 0xC2 && x.data[0] <= 0xC4)
                w.push_back(x.data);
        }
        return w;
    };
    EXPECT_TRUE(phases().empty()) << "12 words hold only the ratios";
    IoPutAQs(ratios.data(), 0, 0, 18);
    EXPECT_EQ(phases(), (std::vector<std::vector<uint8_t>>{{0xC2, 0x00, 0x0C}, {0xC3, 0xFF, 0xFC}, {0xC4, 0, 0}}));
    Log().clear();
    IoPutAQs(ratios.data(), 0, 0, 18);
    EXPECT_TRUE(phases().empty());
    r[8] = -300.5f;
    uint32_t pbits;
    std::memcpy(&pbits, &r[8], 4);
    LE_Put32(&ratios[32], pbits);
    IoPutAQs(ratios.data(), 0, 0, 18);
    EXPECT_EQ(phases(),
              (std::vector<std::vector<uint8_t>>{{0xC2, 0x00, 0x0C}, {0xC3, 0xFF, 0xFC}, {0xC4, 0xFE, 0xD3}}));
    for (int pass = 0; pass < 3; pass++) {
        IoGetAIs(ai.data(), 0, 0, 28);
        test_support::FakeClock::Advance(1000);
    }
    // The line filter's magnitude factor takes the frequency register's
    // count (1/16 Hz): 960 counts (60 Hz) give sqrt(1 + (960 / 4160)^2).
    EXPECT_NEAR(lpf1(960.0f), 1.026282, 1e-5);
    EXPECT_NEAR(FloatAt(&ai[0]), 3.526897, 1e-4);   // 4096 x k x 0.000419504 x 2
    EXPECT_NEAR(FloatAt(&ai[4]), -1.763448, 1e-4);  // 24-bit signed
    EXPECT_NEAR(FloatAt(&ai[12]), 100 * 3.077192e-06 * 10, 1e-7);
    EXPECT_NEAR(FloatAt(&ai[24]), 60.0, 1e-4);
    // Phase 1 adds 100 x 2 x 10 x 1.87729e-08 kWh per pass, phase 1 reactive -100 x 20 x ...
    const double e = 100 * 2 * 10 * 1.87729e-08;
    EXPECT_NEAR(FloatAt(&ai[28]), e * 3.6e10 / 1000, 0.01);   // active power
    EXPECT_NEAR(FloatAt(&ai[40]), -e * 3.6e10 / 1000, 0.01);  // reactive power
    EXPECT_NEAR(FloatAt(&ai[36]), std::sqrt(2.0) * e * 3.6e10 / 1000, 0.02);
    EXPECT_NEAR(FloatAt(&ai[32]), 1 / std::sqrt(2.0), 1e-4);
    EXPECT_NEAR(FloatAt(&ai[44]), 3 * e, 1e-9);
    EXPECT_NEAR(FloatAt(&ai[48]), 86.09890, 1e-3);  // 10 x k x 4.1947 x 2
    EXPECT_NEAR(FloatAt(&ai[52]), 20 * 0.0345036 * 10, 1e-4);
    // Calibration sub-code 1 runs the metering reader once and answers the
    // six raw readings V1-3, I1-3 (32 bits, low word first), then the
    // active and the reactive power of each phase as floats: 49 bytes.
    // 1000 ticks after the last pass phase 1 took e again: active
    // e x 3.6e10 / 1000, reactive the negative; phases 2 and 3 nothing.
    {
        std::array<uint8_t, 80> raw_pkt{};
        raw_pkt[0] = 3;  // length: a byte ahead of the slot, the slot, the sub-code
        raw_pkt[2] = 0;  // slot
        raw_pkt[3] = 1;  // sub-code
        IoCal(raw_pkt.data());
        ASSERT_EQ(raw_pkt[0], 49u);
        EXPECT_EQ(raw_pkt[1], 0u);  // status
        const uint32_t want_raw[6] = {4096, 0xFFFFF000u, 0, 100, 0, 0};
        for (unsigned i = 0; i < 6; i++) EXPECT_EQ(LE_Get32(&raw_pkt[2 + 4 * i]), want_raw[i]) << i;
        const double pw = e * 3.6e10 / 1000;
        const double want_pw[6] = {pw, 0, 0, -pw, 0, 0};
        for (unsigned i = 0; i < 6; i++) EXPECT_NEAR(FloatAt(&raw_pkt[26 + 4 * i]), want_pw[i], 0.01) << i;
    }
    // Gains and offsets set by calibration go into the converter: gain i at
    // register 0xA4 + i, offset i at 0xB3 + i, for its 15 channels.
    Log().clear();
    std::array<uint8_t, 80> p{};
    const std::vector<uint8_t> cal = {0x7F, 0,    3,    0,    0x05, 0x00, 0x00, 0x00,
                                      0x34, 0x12, 0x02, 0x00, 0xCD, 0xAB, 0xFF, 0xFF};
    p[0] = uint8_t(cal.size());
    std::copy(cal.begin(), cal.end(), p.begin() + 1);
    IoCal(p.data());
    std::vector<std::vector<uint8_t>> conv;
    for (const Xfer &x : Log()) {
        if (x.kind == 'w' && x.addr == 0x50 && x.data.size() == 3) conv.push_back(x.data);
    }
    ASSERT_EQ(conv.size(), 30u);
    EXPECT_EQ(conv[0], (std::vector<uint8_t>{0xA4, 0x12, 0x34}));
    EXPECT_EQ(conv[1], (std::vector<uint8_t>{0xB3, 0x00, 0x02}));
    EXPECT_EQ(conv[2], (std::vector<uint8_t>{0xA5, 0, 0}));
    EXPECT_EQ(conv[4], (std::vector<uint8_t>{0xA6, 0xAB, 0xCD}));
    EXPECT_EQ(conv[5], (std::vector<uint8_t>{0xB5, 0xFF, 0xFF}));
    EXPECT_EQ(conv[28], (std::vector<uint8_t>{0xB2, 0, 0}));
    EXPECT_EQ(conv[29], (std::vector<uint8_t>{0xC1, 0, 0}));
    // Inputs from command 0x19; output bit 6 clears the energies.
    std::array<uint8_t, 3> in{};
    IoGetIs(in.data(), 0, 0, 24);
    EXPECT_EQ(in, (std::array<uint8_t, 3>{1, 2, 3}));
    uint8_t q = 0x40;
    IoPutQs(&q, 0, 0, 8);
    IoGetAIs(ai.data(), 0, 0, 28);
    EXPECT_NEAR(FloatAt(&ai[44]), e, 1e-9);
    // Valid constants in the module's EEPROM (0xA0, memory 0x40) go there too when
    // it is configured.
    std::string blk = "[52, 18";
    for (int i = 2; i < 64; i++) blk += i == 32 ? ", 7" : ", 0";
    blk += ", 158, 241]";
    PLAT_I2cSimReset();
    Sim(R"({"slot0": [{"addr": "0x50", "type": "registers", "width": 3, "select": 1},
                      {"addr": "0xA0", "type": "eeprom", "blocks": 8, "data": {"64": )" +
        blk + "}}]}");
    Log().clear();
    InitSlots(0x500F, 255);
    IoDriverMsg m{};
    Send(m, 4);
    EXPECT_EQ(tbl[0].flags & IOF_CAL_VALID, IOF_CAL_VALID);
    conv.clear();
    for (const Xfer &x : Log()) {
        if (x.kind == 'w' && x.addr == 0x50 && x.data.size() == 3) conv.push_back(x.data);
    }
    ASSERT_EQ(conv.size(), 30u);
    EXPECT_EQ(conv[0], (std::vector<uint8_t>{0xA4, 0x12, 0x34}));
    EXPECT_EQ(conv[1], (std::vector<uint8_t>{0xB3, 0x00, 0x07}));
    EXPECT_EQ(conv[3], (std::vector<uint8_t>{0xB4, 0, 0}));
}

}  // namespace
