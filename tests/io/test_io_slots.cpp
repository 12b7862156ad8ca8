// Slot check, probing and calibration pass-through against the simulated
// module table.
#include <cstring>

#include "cmd/cmd.h"
#include "core/image/util.h"
#include "net/net.h"
#include "tests/io/io_fixture.h"

namespace {
using namespace io_test;

std::string Text(const uint8_t *e) { return std::string(reinterpret_cast<const char *>(e + 3), 11); }

// A calibration packet: its length byte, then d, in a buffer whose other
// bytes are 0xEE. Answers the reply's bytes behind its length byte.
std::vector<uint8_t> Cal(const std::vector<uint8_t> &d) {
    std::array<uint8_t, 300> p;
    p.fill(0xEE);
    p[0] = uint8_t(d.size());
    std::copy(d.begin(), d.end(), p.begin() + 1);
    IoCal(p.data());
    return std::vector<uint8_t>(p.begin() + 1, p.begin() + 1 + p[0]);
}

TEST_F(IoTest, SlotCheckResultsAndSlotInformationBytes) {
    // Default configuration, nothing on the bus: slots 0/1 empty, slot 2 not configured.
    EXPECT_EQ(Io_SlotCheck(), 1u);
    for (unsigned s = 0; s < 2; s++) {
        const uint8_t *e = Entry(s);
        EXPECT_EQ(LE_Get16(e), 255);
        EXPECT_EQ(e[2], ' ');
        EXPECT_EQ(Text(e), "I/O: Empty ");
        for (unsigned i = 14; i < 22; i++) EXPECT_EQ(e[i], 0);
        EXPECT_EQ(e[22], 1);
    }
    EXPECT_EQ(LE_Get16(Entry(2)), 64000);
    EXPECT_EQ(Entry(2)[2], '+');
    EXPECT_EQ(Text(Entry(2)), "I/O: TQR300");
    EXPECT_EQ(Entry(2)[22], 0);
    EXPECT_EQ(slot_status[2], 5);
    EXPECT_TRUE(PlcWord(W_FAULT) & FAULT_IOCFG);
    EXPECT_EQ(plc_reg[64] & 0x20, 0);
    // The fourth entry belongs to no slot.
    for (unsigned i = 2 + 72; i < 98; i++) EXPECT_EQ(Cmd_SS_Info[i], 0) << i;

    // Slots 0/1 not configured (id only), slot 2 the Ethernet module, length 0.
    SetConfig({0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0xFA, 0x00, 0x00});
    EXPECT_EQ(Io_SlotCheck(), 0u);
    EXPECT_EQ(Entry(2)[2], ' ');
    EXPECT_EQ(Entry(2)[22], 1);
    EXPECT_EQ(EtnConfp, nullptr);
    EXPECT_FALSE(PlcWord(W_FAULT) & FAULT_IOCFG);
    EXPECT_EQ(plc_reg[64] & 0x20, 0x20);

    // Slot 0 configured 0x0100 with 5 bytes: 3 pad bytes, slot 1's record at byte 12.
    SetConfig({0x00, 0x01, 0x05, 0x00, 1, 2, 3, 4, 5, 0, 0, 0, 0xFF, 0xFF, 0x00, 0xF8, 0x04, 0x00, 9, 8, 7, 6});
    EXPECT_EQ(Io_SlotCheck(), 1u);
    EXPECT_EQ(Entry(0)[2], '-');
    EXPECT_EQ(Text(Entry(0)), "I/O Missing");
    EXPECT_EQ(LE_Get16(Entry(0)), 255);
    EXPECT_EQ(slot_status[0], 3);
    EXPECT_EQ(slot_status[1], 1);
    EXPECT_EQ(Entry(2)[2], '?');  // found 0xFA00, configured 0xF800: refused
    EXPECT_EQ(slot_status[2], 4);
    EXPECT_EQ(io_cfg[2].config, nullptr);
    EXPECT_TRUE(PlcWord(W_FAULT) & FAULT_IOCFG);

    // A compatible variant is accepted and its data becomes the Ethernet configuration.
    slotinfo[2].id = 0xF800;
    SetConfig({0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0xFC, 0x02, 0x00, 0x11, 0x22, 0, 0});
    EXPECT_EQ(Io_SlotCheck(), 0u);
    EXPECT_EQ(slot_status[2], 2);
    ASSERT_NE(EtnConfp, nullptr);
    EXPECT_EQ(EtnConfp[0], 0x11);
    EXPECT_EQ(LE_Get16(EtnConfp - 2), 2);
    EXPECT_EQ(Io_ConfigWord(io_cfg[2], 0), 0x2211);
    EXPECT_EQ(Io_ConfigWord(io_cfg[2], 1), 0);  // past the record

    // A record running past the downloaded length ends the run.
    SetConfig({0xFF, 0xFF, 0x00, 0x01, 0x40, 0x00, 1, 2});
    Io_SlotCheck();
    EXPECT_EQ(slot_status[1], 1);
    EXPECT_EQ(slot_status[2], 5);
    EXPECT_EQ(io_cfg[1].config, nullptr);
}

TEST_F(IoTest, ProbingFindsModulesOnceAndLoadsCalibration) {
    Sim(R"({"slot0": [{"addr": "0x1C", "type": "eeprom", "address_bytes": 2, "data": {"8": [127]}}],
            "slot1": [{"addr": "0x4E", "type": "expander", "pins": [255, 31]}]})");
    std::array<uint16_t, 3> ids{};
    EXPECT_EQ(get_io_info(ids.data()), 3u);
    EXPECT_EQ(ids[0], 0x7F0E);
    EXPECT_EQ(ids[1], 0x1F0F);
    EXPECT_EQ(ids[2], 64000);
    EXPECT_EQ(WideIoModulePresent, 1);
    // Both port bytes of the expander were driven high before the read-back.
    EXPECT_EQ(LastWrite(0x4E), (std::vector<uint8_t>{0xFF, 0xFF}));

    // Configure both: row 7 without a valid calibration block gets its defaults.
    SetConfig({0x0E, 0x7F, 0x00, 0x00, 0x0F, 0x1F, 0x00, 0x00, 0x00, 0xFA, 0x00, 0x00});
    EXPECT_EQ(Io_SlotCheck(), 0u);
    EXPECT_EQ(io_init[1], 0x1F0F);
    const IoSlotState &s0 = tbl[0];
    EXPECT_EQ(s0.row, ROW_CURRENT);
    for (unsigned i = 0; i < 4; i++) EXPECT_EQ(s0.gain[i], 8771);
    EXPECT_EQ(s0.gain[4], 0);
    EXPECT_EQ(s0.flags & (IOF_CAL_VALID | IOF_CONFIGURED), IOF_CONFIGURED);
    const uint8_t *e1 = Entry(1);
    EXPECT_EQ(LE_Get16(e1 + 14), 32);
    EXPECT_EQ(LE_Get16(e1 + 16), 32);
    EXPECT_EQ(LE_Get16(e1 + 18), 0);
    EXPECT_EQ(LE_Get16(e1 + 20), 14);
    EXPECT_EQ(LE_Get16(Entry(0) + 14), 4);
    EXPECT_EQ(LE_Get16(Entry(0) + 18), 5);

    // A module plugged in after start is not seen: probing happens once.
    Sim(R"({"slot0": [{"addr": "0x1C", "type": "eeprom", "address_bytes": 2, "data": {"8": [127]}},
                      {"addr": "0x4C", "type": "expander", "pins": [255, 1]}],
            "slot1": [{"addr": "0x4E", "type": "expander", "pins": [255, 31]}]})");
    Io_SlotCheck();
    EXPECT_EQ(slotinfo[0].id, 0x7F0E);

    // Scan-list probing and identity matching (first equal row wins).
    PLAT_I2cSimReset();
    Io_ResetProbe();
    Sim(R"({"slot0": [{"addr": "0xA2", "type": "eeprom"}],
            "slot1": [{"addr": "0x4E", "type": "expander", "pins": [255, 174]}]})");
    get_io_info(ids.data());
    EXPECT_EQ(ids[0], 0xA20F);
    EXPECT_EQ(ids[1], 0xAE0F);
    EXPECT_EQ(Io_IdentRow(0xAE0F), 14);
    EXPECT_EQ(IoInit(ids.data(), 3), 0u);
    EXPECT_EQ(slotinfo[0].type, 243);
    EXPECT_EQ(slotinfo[2].type, 0);
    const uint16_t unknown[3] = {0x1234, 255, 64000};
    EXPECT_EQ(IoInit(unknown, 3), 1u);
    EXPECT_EQ(get_ident(0x7F0E), 243);
    EXPECT_EQ(get_ident(0x1234), -1);
}

// Without a calibration block that answers (no EEPROM on the bus) every
// row configures with its own default gains, offsets 0, and flag bit 2
// alone. Each row's sixteen gains are written out by hand.
TEST_F(IoTest, CalibrationDefaultsOfEveryRowWithoutABlock) {
    using G = std::array<uint16_t, 16>;
    const G mixed = {8771, 13213, 8771, 13213, 8771, 13213, 8771, 13213, 0, 0, 0, 0, 0, 0, 0, 0};
    const G base = {32767, 32767, 32767, 32767, 32767, 32767, 32767, 32767, 32767, 32767, 32767, 32767, 0, 0, 0, 0};
    const struct {
        uint16_t id;
        G gain;
    } rows[] = {
        {0x0100, mixed},
        {0xA60F, mixed},
        {0xA00F, mixed},
        {0xA40F, mixed},
        {0xA20F,
         {39226, 32783, 39260, 30695, 31426, 32801, 32586, 0, 39226, 32783, 39260, 30695, 31426, 32801, 32586, 0}},
        {0x7F0E, {8771, 8771, 8771, 8771, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {0x3F0E, base},
        {0x1F0E, base},
        {0x9F0E, {32900, 33700, 32900, 33700, 32900, 33700, 32900, 34000, 32767, 32767, 32767, 32767, 0, 0, 0, 0}},
        {0x500F, G{}},
        {0x520F, G{}},
        {0x8F0F,
         {0x7FF0, 0x7FF0, 0x7C7C, 0x7FF0, 0x7FF0, 0x7C7C, 0x7FF0, 0x7FF0, 0x7C7C, 0x7FF0, 0x7FF0, 0x7C7C, 0, 0, 0, 0}},
        {0x0F0F, {0x7FF0, 0x7FF0, 0x7C7C, 0x7FF0, 0x7FF0, 0x7C7C, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {0x720F, G{}},
        {0x5F0E, G{}},
    };
    for (const auto &r : rows) {
        IoDriverMsg m{};
        m.code = 1;
        m.first = r.id;
        m.count = 255;
        io_driver(&m);
        // Stale constants that the defaults must replace.
        tbl[0].gain.fill(0x1111);
        tbl[0].offset.fill(0x2222);
        m = {};
        m.code = 4;
        io_driver(&m);
        ASSERT_EQ(m.status, 0) << std::hex << r.id;
        EXPECT_EQ(tbl[0].gain, r.gain) << std::hex << r.id;
        EXPECT_EQ(tbl[0].offset, G{}) << std::hex << r.id;
        EXPECT_EQ(tbl[0].flags, IOF_CONFIGURED) << std::hex << r.id;
    }
}

// The query answers the alias model text instead of the table's when the
// OEM code (byte 3 of the CRC header) is 0x80; the fieldbus slave is the
// row whose texts differ.
TEST_F(IoTest, QueryAnswersTheAliasTextForTheOemCode) {
    struct OemOff {
        ~OemOff() { crc_header[3] = 0; }
    } oem_off;
    IoDriverMsg m{};
    m.code = 1;
    m.first = 0x9F0F;
    m.count = 0xA60F;
    io_driver(&m);
    auto query = [&](uint8_t slot) {
        m = {};
        m.code = 2;
        m.slot = slot;
        io_driver(&m);
        EXPECT_EQ(m.status, 0);
        return std::string(m.model, 18);
    };
    crc_header[3] = 0;
    EXPECT_EQ(query(0), std::string("PBSLV \0\0\0\0\0\0\0\0\0\0\0\0", 18));
    EXPECT_EQ(query(1), std::string("MIOA61\0\0\0\0\0\0\0\0\0\0\0\0", 18));
    EXPECT_EQ(m.points, (std::array<uint16_t, 4>{12, 24, 12, 14}));
    crc_header[3] = 0x80;
    EXPECT_EQ(query(0), std::string("DNSLV \0\0\0\0\0\0\0\0\0\0\0\0", 18));
    EXPECT_EQ(query(1), std::string("MIOA61\0\0\0\0\0\0\0\0\0\0\0\0", 18));
    crc_header[3] = 0x81;
    EXPECT_EQ(query(0), std::string("PBSLV \0\0\0\0\0\0\0\0\0\0\0\0", 18));
}

TEST_F(IoTest, GenericModuleHeaderTimesOutAndExchangesTheSlotsOwnArea) {
    // Slot 1 expander reads 0xAE: a generic module whose controller at 0x0A
    // never shows its header.
    Sim(R"({"slot1": [{"addr": "0x4E", "type": "expander", "pins": [255, 174]},
                      {"addr": "0x0A", "type": "registers", "registers": {"0": [1, 2]}}]})");
    SetConfig({0xFF, 0xFF, 0x0F, 0xAE, 0x00, 0x00, 0x00, 0xFA, 0x00, 0x00});
    EXPECT_EQ(Io_SlotCheck(), 1u);
    EXPECT_EQ(Entry(1)[2], 'f');

    // With a header (mode byte 0xE2, counts 8 DI, 1 AI, 8 DQ, 1 AQ, text "GEN123").
    PLAT_I2cSimReset();
    Io_ResetProbe();
    Sim(R"({"slot1": [{"addr": "0x4E", "type": "expander", "pins": [255, 174]},
                      {"addr": "0x0A", "type": "registers", "registers": {
                        "0": [0, 226, 0, 0, 8, 1, 8, 1, 71, 69, 78, 49, 50, 51, 0, 0,
                              165, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 52, 18]}}]})");
    EXPECT_EQ(Io_SlotCheck(), 0u);
    EXPECT_EQ(Text(Entry(1)), "I/O: GEN123");
    EXPECT_EQ(io_cfg[1].di, 8);
    EXPECT_EQ(io_cfg[1].ai, 1);
    Reg(BA_Q + 256, 8)[0] = 0x5A;
    LE_Put16(Reg(BA_AQ + 4096, 16), 0x0102);
    const uint8_t before = Reg(BA_I + 255, 1)[0];
    IoService(1);
    // Inputs land on the slot's first %I byte and first %AI word, not one below.
    EXPECT_EQ(Reg(BA_I + 256, 8)[0], 165);
    EXPECT_EQ(LE_Get16(Reg(BA_AI + 4096, 16)), 0x1234);
    EXPECT_EQ(Reg(BA_I + 255, 1)[0], before);
    bool dq = false, aq = false;
    for (const Xfer &x : Log()) {
        if (x.kind == 'w' && x.addr == 0x0A && x.data == std::vector<uint8_t>{16, 0x5A}) dq = true;
        if (x.kind == 'w' && x.addr == 0x0A && x.data == std::vector<uint8_t>{32, 0x02, 0x01}) aq = true;
    }
    EXPECT_TRUE(dq);
    EXPECT_TRUE(aq);

    // Configuration data for it: after the header the slot is configured and
    // keeps the channel types and the option byte (read settings answers them).
    EXPECT_EQ(tbl[1].flags & IOF_CONFIGURED, 0);
    std::vector<uint8_t> cfg = {3, 1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 9, 0x07, 0, 0x80, 0x00};
    IoDriverMsg m{};
    m.code = 4;
    m.slot = 1;
    m.buffer = cfg.data();
    m.count = uint16_t(cfg.size());
    io_driver(&m);
    EXPECT_EQ(m.status, 0);
    EXPECT_EQ(tbl[1].flags & IOF_CONFIGURED, IOF_CONFIGURED);
    std::array<uint8_t, 24> settings{};
    m = {};
    m.code = 5;
    m.slot = 1;
    m.buffer = settings.data();
    io_driver(&m);
    EXPECT_EQ(m.extra, 0x07);
    EXPECT_EQ((std::array<uint8_t, 24>{3, 0, 1, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9, 0}),
              settings);
    EXPECT_EQ(tbl[1].option, 0x80);
}

TEST_F(IoTest, CalibrationPassThroughBoundsAndAnswers) {
    Sim(R"({"slot0": [{"addr": "0x1C", "type": "eeprom", "address_bytes": 2, "data": {"8": [143]}}]})");
    SetConfig({0x0F, 0x8F, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF});
    Io_SlotCheck();
    ASSERT_EQ(tbl[0].row, -1);  // 0x8F0E is not a known module: unsupported
    EXPECT_EQ(Entry(0)[2], '*');

    // Slot 2 echoes; an empty or unknown slot and a slot above 2 answer 0x40.
    EXPECT_EQ(Cal({0x7F, 2, 0xAA, 0xBB, 0xCC}), (std::vector<uint8_t>{0xAA, 0xBB, 0xCC}));
    EXPECT_EQ(Cal({0x7F, 0, 0}), std::vector<uint8_t>{0x40});
    EXPECT_EQ(Cal({0x7F, 3, 0}), std::vector<uint8_t>{0x40});
    EXPECT_EQ(Cal({0x7F}), std::vector<uint8_t>{0x40});
    // More than the 64-byte calibration buffer holds: refused, nothing copied.
    std::vector<uint8_t> big(67, 0x11);
    big[1] = 2;
    EXPECT_EQ(Cal(big), std::vector<uint8_t>{0x40});
    std::vector<uint8_t> fits(66, 0x22);
    fits[1] = 2;
    EXPECT_EQ(Cal(fits).size(), 64u);

    // A module that answers: row 18 in slot 1.
    PLAT_I2cSimReset();
    Io_ResetProbe();
    Sim(R"({"slot1": [{"addr": "0x4E", "type": "expander", "pins": [255, 143]},
                      {"addr": "0x20", "type": "registers", "width": 2},
                      {"addr": "0x22", "type": "registers", "width": 2}]})");
    SetConfig({0xFF, 0xFF, 0x0F, 0x8F, 0x00, 0x00, 0xFF, 0xFF});
    Io_SlotCheck();
    ASSERT_EQ(tbl[1].row, ROW_AQ4);
    const auto id = Cal({0x7F, 1, 0});
    ASSERT_EQ(id.size(), 26u);
    EXPECT_EQ(id[0], 0);
    EXPECT_EQ(LE_Get16(&id[4]), 309);
    EXPECT_EQ(LE_Get16(&id[6]), 0x8F0F);
    // Sub-command 3: mask bits above 15 name no pair, and a pair cut short is not taken.
    const auto g = tbl[1].gain;
    Cal({0x7F, 1, 3, 0, 0x03, 0x00, 0x01, 0x80, 0x00, 0x80, 0x00, 0x00, 0x34, 0x12});
    EXPECT_EQ(tbl[1].gain[0], 0x8000);
    EXPECT_EQ(tbl[1].offset[0], 0);
    EXPECT_EQ(tbl[1].gain[1], g[1]);
    EXPECT_EQ(tbl[1].gain[15], g[15]);
    // Gains back: sub-command 14.
    const auto gains = Cal({0x7F, 1, 14});
    ASSERT_EQ(gains.size(), 33u);
    EXPECT_EQ(LE_Get16(&gains[1]), 0x8000);
    EXPECT_EQ(Cal({0x7F, 1, 99}), std::vector<uint8_t>{0});

    // Channel 0 at 32000 with the pair (32768, 0): 4000 << 4 as command, high, low.
    LE_Put16(Reg(BA_AQ, 16), 32000);
    IoPutAQs(Reg(BA_AQ, 64), 1, 0, 4);
    EXPECT_EQ(LastWrite(0x20).size(), 3u);
    bool sent = false;
    for (const Xfer &x : Log()) {
        if (x.kind == 'w' && x.addr == 0x20 && x.data == std::vector<uint8_t>{0x30, 0xFA, 0x00}) sent = true;
    }
    EXPECT_TRUE(sent);

    // Sub-command 2 on an analog output module: channel settings, option
    // byte and word, then its four output words (16000, 8000, 0, 0), which
    // reach the converters at once, as the scan's writes wait while the slot
    // calibrates. Channel 0 with the pair (32768, 0): 16000 x 32768 >> 18 =
    // 2000, << 4 = 0x7D00; channel 1 with its default pair 4 (0x7FF0, 0):
    // 8000 x 32752 >> 18 = 999, << 4 = 0x3E70. Sub-command 1 answers the words.
    Log().clear();
    EXPECT_EQ(Cal({0x7F, 1, 2, 0, 0, 0, 0, 0, 0, 0, 0x80, 0x3E, 0x40, 0x1F, 0, 0, 0, 0}), std::vector<uint8_t>{0});
    EXPECT_TRUE(tbl[1].flags & IOF_CAL_MODE);
    std::vector<std::vector<uint8_t>> dac20, dac22;
    for (const Xfer &x : Log()) {
        if (x.kind == 'w' && x.addr == 0x20) dac20.push_back(x.data);
        if (x.kind == 'w' && x.addr == 0x22) dac22.push_back(x.data);
    }
    EXPECT_EQ(dac20, (std::vector<std::vector<uint8_t>>{{0x30, 0x7D, 0x00}, {0x31, 0x3E, 0x70}}));
    EXPECT_EQ(dac22, (std::vector<std::vector<uint8_t>>{{0x30, 0x00, 0x00}, {0x31, 0x00, 0x00}}));
    EXPECT_EQ(Cal({0x7F, 1, 1}), (std::vector<uint8_t>{0, 0x80, 0x3E, 0x40, 0x1F, 0, 0, 0, 0}));
    EXPECT_EQ(Cal({0x7F, 1, 7}), std::vector<uint8_t>{0});
}

TEST_F(IoTest, DriverStatusCodesAndByteCountsOfPointTransfers) {
    IoDriverMsg m{};
    m.code = 7;
    io_driver(&m);
    EXPECT_EQ(m.status, 0x20);
    m = {};
    m.code = 15;
    io_driver(&m);
    EXPECT_EQ(m.status, 0x20);
    m = {};
    m.code = 9;
    m.slot = 3;
    io_driver(&m);
    EXPECT_EQ(m.status, 0xC0);
    m.slot = 0;
    io_driver(&m);
    EXPECT_EQ(m.status, 0x80);

    // Row 21 base board in slot 0: inputs from expander 0x40.
    Sim(R"({"slot0": [{"addr": "0x4C", "type": "expander", "pins": [255, 63]},
                      {"addr": "0x40", "type": "expander", "pins": [250, 253]}]})");
    SetConfig(
        {0x0E, 0x3F, 0x10, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0x00, 0xFA, 0x00, 0x00});
    EXPECT_EQ(Io_SlotCheck(), 0u);
    ASSERT_EQ(tbl[0].row, ROW_BASE21);
    std::array<uint8_t, 8> buf;
    buf.fill(0xEE);
    IoGetIs(buf.data(), 0, 0, 24);  // three bytes asked for: the fourth stays
    EXPECT_EQ(buf[0], 0x05);
    EXPECT_EQ(buf[1], 0x42);  // pins AND the latch (0x40 line of the board high)
    EXPECT_EQ(buf[2], 0x00);
    EXPECT_EQ(buf[3], 0xEE);
    buf.fill(0xEE);
    IoGetIs(buf.data(), 0, 8, 8);
    EXPECT_EQ(buf[0], 0x42);
    EXPECT_EQ(buf[1], 0xEE);

    // A calibrating slot ignores configure messages: the constants set during
    // calibration (not the defaults a configure would load again), the channel
    // types and the option word stay, and no expander line is written.
    tbl[0].flags |= IOF_CAL_MODE;
    tbl[0].gain[0] = 1234;
    tbl[0].offset[0] = 56;
    tbl[0].types[0] = 3;
    tbl[0].option = 0x0005;
    std::vector<uint8_t> other(16, 0);
    other[0] = 8;
    LE_Put16(&other[14], 0x0080);
    Log().clear();
    IoDriverMsg c{};
    c.code = 4;
    c.slot = 0;
    c.buffer = other.data();
    c.count = uint16_t(other.size());
    io_driver(&c);
    EXPECT_EQ(tbl[0].gain[0], 1234);
    EXPECT_EQ(tbl[0].offset[0], 56);
    EXPECT_EQ(tbl[0].gain[1], 32767);
    EXPECT_EQ(tbl[0].types[0], 3);
    EXPECT_EQ(tbl[0].option, 0x0005);
    EXPECT_EQ(tbl[0].flags & IOF_CAL_MODE, IOF_CAL_MODE);
    EXPECT_TRUE(Log().empty());
}

}  // namespace

namespace {
using namespace io_test;

TEST_F(IoTest, ModemLinesOfSlotOneAndTheThermocoupleChannel) {
    // Slot 1: built-in cellular option 0x6F0F on expander 0x4E (78).
    Sim(R"({"slot0": [{"addr": "0xA2", "type": "eeprom"},
                      {"addr": "0x90", "type": "registers", "width": 2},
                      {"addr": "0x96", "type": "registers", "width": 2, "registers": {"0": [12, 128]}}],
            "slot1": [{"addr": "0x4E", "type": "expander", "pins": [223, 111]}]})");
    // Slot 0: row 4 with a J thermocouple on channel 0 and a K one on channel 1.
    SetConfig({0x0F, 0xA2, 4, 0, 24, 25, 0, 0, 0x0F, 0x6F, 0, 0, 0x00, 0xFA, 0x00, 0x00});
    ASSERT_EQ(Io_SlotCheck(), 0u);
    ASSERT_EQ(slotinfo[1].id, 0x6F0F);
    Log().clear();
    IoCommPwr(0, 1);  // power on clears bit 0x02, both port bytes written back
    EXPECT_EQ(LastWrite(0x4E), (std::vector<uint8_t>{0xDD, 0x6F}));
    IoCommPwr(0, 0);
    EXPECT_EQ(LastWrite(0x4E), (std::vector<uint8_t>{0xDF, 0x6F}));
    IoCommShdn(1);
    EXPECT_EQ(LastWrite(0x4E)[0], 0xDF | 0x08);
    IoCommOnOf(0);  // the on/off line is bit 0x04
    EXPECT_EQ(LastWrite(0x4E), (std::vector<uint8_t>{0xDB, 0x6F}));
    IoCommOnOf(1);
    EXPECT_EQ(LastWrite(0x4E), (std::vector<uint8_t>{0xDF, 0x6F}));
    IoPutDTR(1);  // DTR on clears bit 0x40
    EXPECT_EQ(LastWrite(0x4E), (std::vector<uint8_t>{0x9F, 0x6F}));
    IoPutDTR(0);
    EXPECT_EQ(LastWrite(0x4E), (std::vector<uint8_t>{0xDF, 0x6F}));
    // Terminal settings never pass the control line (bit 7 of 0x42 stays high).
    IoTermSet(0x31);
    EXPECT_EQ(LastWrite(0x42), (std::vector<uint8_t>{0xFF}));
    // Module names are copied bounded and always terminated.
    char name[6];
    EXPECT_EQ(strmcpy(name, "VBX310C", sizeof name), name + 5);
    EXPECT_STREQ(name, "VBX31");
    EXPECT_EQ(strmcpy(name, "AB", sizeof name), name + 2);
    EXPECT_STREQ(name, "AB");
    EXPECT_EQ(strmcpy(name, "AB", 0), name);
    EXPECT_STREQ(name, "AB");
    Log().clear();
    IoCommReset(0, 1);  // no reset line on this module
    EXPECT_TRUE(Log().empty());
    EXPECT_EQ(IoGetDCD(), 1u);  // pin 0x20 low: carrier present

    // 0 mV on both channels, cold junction at 25 degC: both read about 25 degC.
    std::array<uint8_t, 8> ai{};
    IoGetAIs(ai.data(), 0, 0, 4);
    EXPECT_NEAR(int16_t(LE_Get16(&ai[0])) / 20.0, 25.0, 0.6);
    EXPECT_NEAR(int16_t(LE_Get16(&ai[2])) / 20.0, 25.0, 0.6);
    EXPECT_EQ(tbl[0].comp[0], 653);

    // No sensor at 0x96 nor at 0x9E: the channels read without compensation
    // (0 mV is 0 degC), and both addresses are probed again at the next pass.
    Sim(R"({"slot0": [{"addr": "0xA2", "type": "eeprom"}, {"addr": "0x90", "type": "registers", "width": 2}],
            "slot1": [{"addr": "0x4E", "type": "expander", "pins": [223, 111]}]})");
    PLAT_I2cSimReset();
    tbl[0].cj_addr = 0;  // as on the first use of the slot
    for (int pass = 0; pass < 2; pass++) {
        Log().clear();
        IoGetAIs(ai.data(), 0, 0, 4);
        EXPECT_EQ(LE_Get16(&ai[0]), 0) << pass;
        EXPECT_EQ(LE_Get16(&ai[2]), 0) << pass;
        std::vector<uint8_t> probed;
        for (const Xfer &x : Log())
            if (x.kind == 'p' && (x.addr == 0x96 || x.addr == 0x9E)) probed.push_back(x.addr);
        EXPECT_EQ(probed, (std::vector<uint8_t>{0x96, 0x9E})) << pass;
    }
    EXPECT_EQ(tbl[0].cj_addr, 0);
}

// Every row of the modem-line operations of slot-1 option boards: the
// expander and the bit each id drives, and which argument sets the bit. The
// second port byte of expander 78 reads 0x5A and is written back unchanged.
TEST_F(IoTest, ModemLineRowsOfEveryOptionBoard) {
    Sim(R"({"slot1": [{"addr": "0x4E", "type": "expander", "pins": [255, 90]},
                      {"addr": "0x70", "type": "expander", "ports": 1},
                      {"addr": "0x72", "type": "expander", "ports": 1}]})");
    using Op = void (*)(uint32_t);
    const Op pwr = [](uint32_t v) { IoCommPwr(0, v); };
    const Op reset = [](uint32_t v) { IoCommReset(0, v); };
    const struct Row {
        const char *name;
        Op op;
        uint16_t id;
        uint8_t addr;
        // Bytes written by op(0), then by op(1).
        std::vector<uint8_t> off, on;
    } rows[] = {
        {"pwr", pwr, 0xAF0F, 0x4E, {0xFF, 0x5A}, {0xFD, 0x5A}},
        {"pwr", pwr, 0x6F0F, 0x4E, {0xFF, 0x5A}, {0xFD, 0x5A}},
        {"pwr", pwr, 0xAE0F, 0x4E, {0xFF, 0x5A}, {0xFD, 0x5A}},
        {"pwr", pwr, 0x6E0F, 0x4E, {0xFF, 0x5A}, {0xFD, 0x5A}},
        {"pwr", pwr, 0xEE0F, 0x4E, {0xFF, 0x5A}, {0xFD, 0x5A}},
        {"pwr", pwr, 0xEF0F, 0x4E, {0xFF, 0x5A}, {0xFD, 0x5A}},
        {"pwr", pwr, 0xDF0F, 0x4E, {0xFF, 0x5A}, {0xF7, 0x5A}},
        {"pwr", pwr, 0xBF0F, 0x4E, {0xFF, 0x5A}, {0xF7, 0x5A}},
        {"reset", reset, 0x720F, 0x72, {0xBF}, {0xFF}},
        {"reset", reset, 0x700F, 0x70, {0xBF}, {0xFF}},
        {"reset", reset, 0x3F0F, 0x4E, {0x7F, 0x5A}, {0xFF, 0x5A}},
        {"reset", reset, 0x7F0F, 0x4E, {0xDF, 0x5A}, {0xFF, 0x5A}},
        {"reset", reset, 0xBF0F, 0x4E, {0xFB, 0x5A}, {0xFF, 0x5A}},
        {"reset", reset, 0xDF0F, 0x4E, {0xFB, 0x5A}, {0xFF, 0x5A}},
        {"dtr", IoPutDTR, 0x700F, 0x70, {0xFF}, {0xF7}},
        {"dtr", IoPutDTR, 0xAF0F, 0x4E, {0xFF, 0x5A}, {0xBF, 0x5A}},
        {"dtr", IoPutDTR, 0x6F0F, 0x4E, {0xFF, 0x5A}, {0xBF, 0x5A}},
        {"dtr", IoPutDTR, 0xAE0F, 0x4E, {0xFF, 0x5A}, {0xBF, 0x5A}},
        {"dtr", IoPutDTR, 0x6E0F, 0x4E, {0xFF, 0x5A}, {0xBF, 0x5A}},
        {"dtr", IoPutDTR, 0xDF0F, 0x4E, {0xFF, 0x5A}, {0xBF, 0x5A}},
        {"dtr", IoPutDTR, 0xBF0F, 0x4E, {0xFF, 0x5A}, {0xBF, 0x5A}},
        {"dtr", IoPutDTR, 0xEE0F, 0x4E, {0xFF, 0x5A}, {0xBF, 0x5A}},
        {"dtr", IoPutDTR, 0xEF0F, 0x4E, {0xFF, 0x5A}, {0xBF, 0x5A}},
        {"shdn", IoCommShdn, 0xAE0F, 0x4E, {0xF7, 0x5A}, {0xFF, 0x5A}},
        {"shdn", IoCommShdn, 0x6E0F, 0x4E, {0xF7, 0x5A}, {0xFF, 0x5A}},
        {"shdn", IoCommShdn, 0x6F0F, 0x4E, {0xF7, 0x5A}, {0xFF, 0x5A}},
        {"shdn", IoCommShdn, 0xEE0F, 0x4E, {0xF7, 0x5A}, {0xFF, 0x5A}},
        {"shdn", IoCommShdn, 0xEF0F, 0x4E, {0xF7, 0x5A}, {0xFF, 0x5A}},
        {"shdn", IoCommShdn, 0xAF0F, 0x4E, {0xF7, 0x5A}, {0xFF, 0x5A}},
        {"onof", IoCommOnOf, 0xAE0F, 0x4E, {0xFB, 0x5A}, {0xFF, 0x5A}},
        {"onof", IoCommOnOf, 0x6E0F, 0x4E, {0xFB, 0x5A}, {0xFF, 0x5A}},
        {"onof", IoCommOnOf, 0x6F0F, 0x4E, {0xFB, 0x5A}, {0xFF, 0x5A}},
        {"onof", IoCommOnOf, 0xEE0F, 0x4E, {0xFB, 0x5A}, {0xFF, 0x5A}},
        {"onof", IoCommOnOf, 0xEF0F, 0x4E, {0xFB, 0x5A}, {0xFF, 0x5A}},
        {"onof", IoCommOnOf, 0xAF0F, 0x4E, {0xFB, 0x5A}, {0xFF, 0x5A}},
        // Ids a row does not list: nothing is written.
        {"pwr", pwr, 0x700F, 0x70, {}, {}},
        {"reset", reset, 0x6F0F, 0x4E, {}, {}},
        {"dtr", IoPutDTR, 0x720F, 0x72, {}, {}},
        {"shdn", IoCommShdn, 0xDF0F, 0x4E, {}, {}},
        {"onof", IoCommOnOf, 0x1F0F, 0x4E, {}, {}},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(std::string(r.name) + " " + std::to_string(r.id));
        slotinfo[1].id = r.id;
        // Every row starts from all lines high.
        const uint8_t high[2] = {0xFF, 0xFF};
        ASSERT_NE(PLAT_I2cWrite(0x4E, high, 2), 0);
        ASSERT_NE(PLAT_I2cWrite(0x70, high, 1), 0);
        ASSERT_NE(PLAT_I2cWrite(0x72, high, 1), 0);
        Log().clear();
        r.op(0);
        EXPECT_EQ(LastWrite(r.addr), r.off);
        Log().clear();
        r.op(1);
        EXPECT_EQ(LastWrite(r.addr), r.on);
    }

    // Carrier: 0x700F reads bit 0x04 of expander 112; the eight ids of the
    // second DTR row write 0x20 to expander 78 and read bit 0x20 of its first
    // port byte; a low line is carrier present. Other ids answer 0.
    const uint16_t dcd78[] = {0xAF0F, 0x6F0F, 0xAE0F, 0x6E0F, 0xDF0F, 0xBF0F, 0xEE0F, 0xEF0F};
    for (const uint32_t present : {1u, 0u}) {
        Sim(present ? R"({"slot1": [{"addr": "0x4E", "type": "expander", "pins": [223, 90]},
                                    {"addr": "0x70", "type": "expander", "ports": 1, "pins": [251]}]})"
                    : R"({"slot1": [{"addr": "0x4E", "type": "expander", "pins": [255, 90]},
                                    {"addr": "0x70", "type": "expander", "ports": 1, "pins": [255]}]})");
        slotinfo[1].id = 0x700F;
        Log().clear();
        EXPECT_EQ(IoGetDCD(), present);
        EXPECT_TRUE(LastWrite(0x70).empty()) << "0x700F only reads";
        for (uint16_t id : dcd78) {
            SCOPED_TRACE(id);
            slotinfo[1].id = id;
            Log().clear();
            EXPECT_EQ(IoGetDCD(), present);
            EXPECT_EQ(LastWrite(0x4E), std::vector<uint8_t>{0x20});
        }
        slotinfo[1].id = 0x720F;
        EXPECT_EQ(IoGetDCD(), 0u);
        slotinfo[1].id = 0x3F0F;
        EXPECT_EQ(IoGetDCD(), 0u);
    }
}

TEST_F(IoTest, TerminalSettingsGoToSlotZeroAsItsOutputMode) {
    // No module in slot 0: nothing is written.
    Log().clear();
    IoTermSet(0xF0);
    EXPECT_TRUE(Log().empty());
    // Base module 0x5F0E: terminal bits 4..7 of the value drive port bits 6, 7,
    // 4, 5 of the second byte of expander 0x40; the low nibble (the control line)
    // is not passed on.
    Sim(R"({"slot0": [{"addr": "0x4C", "type": "expander", "pins": [255, 95]}]})");
    SetConfig({0x0E, 0x5F, 0, 0, 0xFF, 0, 0, 0, 0xFF, 0, 0, 0});
    Io_SlotCheck();
    ASSERT_EQ(slotinfo[0].id, 0x5F0E);
    const struct {
        uint32_t value;
        uint8_t port;
    } rows[] = {{0x10, 0x47}, {0x20, 0x87}, {0x40, 0x17}, {0x80, 0x27}, {0x5A, 0x57}, {0xFF, 0xF7}, {0x0F, 0x07}};
    for (const auto &r : rows) {
        SCOPED_TRACE(r.value);
        Log().clear();
        IoTermSet(r.value);
        EXPECT_EQ(LastWrite(0x40), (std::vector<uint8_t>{0xFF, r.port}));
    }
}

}  // namespace

namespace {
using namespace io_test;

TEST_F(IoTest, FieldbusSlaveStationAddressStartAndDataArea) {
    Sim(R"({"slot1": [{"addr": "0x4E", "type": "expander", "pins": [255, 159]},
                      {"addr": "0x1E", "type": "eeprom", "address_bytes": 2,
                       "data": {"1": [224], "2": [120, 86], "16": [170, 187], "252": [9], "253": [52, 18]}}]})");
    // Words: station 5, %I area, 16 DI, %Q area, 8 DQ, %AI area, 2 AI, %AQ area, 1 AQ,
    // status %R10, %R11 for the module's word 2.
    const uint16_t w[11] = {
        5, 14336, 16, 14600, 8, 32768 + 16 * 20, 2, 32768 + 16 * 30, 1, 32768 + 16 * 9, 32768 + 16 * 10};
    std::vector<uint8_t> cfg = {0xFF, 0xFF, 0x0F, 0x9F, 22, 0};
    for (uint16_t x : w) cfg.insert(cfg.end(), {uint8_t(x), uint8_t(x >> 8)});
    cfg.insert(cfg.end(), {0, 0, 0x00, 0xFA, 0x00, 0x00});
    SetConfig(cfg);
    ASSERT_EQ(Io_SlotCheck(), 0u);
    EXPECT_EQ(std::string(io_cfg[1].text, 11), "I/O: PBSLV ");
    EXPECT_EQ(io_cfg[1].di, 16);
    EXPECT_EQ(io_cfg[1].dq, 8);
    EXPECT_EQ(io_cfg[1].ai, 2);
    EXPECT_EQ(io_cfg[1].aq, 1);
    uint8_t b[4] = {};
    ASSERT_EQ(read_io_eeprom(0x1E, 0xFC, 1, b, 3), 0u);
    EXPECT_EQ(b[0], 5);

    Log().clear();
    IoDriverMsg start{};
    start.code = 14;
    start.slot = 1;
    io_driver(&start);
    ASSERT_EQ(read_io_eeprom(0x1E, 4, 4, b, 3), 0u);
    EXPECT_EQ(std::vector<uint8_t>(b, b + 4), (std::vector<uint8_t>{2, 2, 1, 1}));
    EXPECT_EQ(LE_Get16(Reg(BA_R + 16 * 10, 16)), 0x5678);
    ASSERT_EQ(read_io_eeprom(0x1E, 0, 1, b, 3), 0u);
    EXPECT_EQ(b[0], 1);            // run
    for (const Xfer &x : Log()) {  // the address did not change: nothing written at 0xFE
        EXPECT_FALSE(x.kind == 'w' && x.addr == 0x1E && x.data.size() > 2 && x.data[1] == 0xFE);
    }

    std::array<uint8_t, 4> in{};
    IoGetIs(in.data(), 1, 128, 16);
    EXPECT_EQ(in[0], 170);
    EXPECT_EQ(in[1], 187);
    EXPECT_EQ(LE_Get16(Reg(BA_R + 16 * 9, 16)), 0x1234);

    // A station address outside 1..125 is reported in the status register.
    LE_Put16(&io_config_bl[MF_HDR + 6], 200);
    Io_SlotCheck();
    EXPECT_EQ(LE_Get16(Reg(BA_R + 16 * 9, 16)), 0xFEFE);
}

}  // namespace

namespace {
using namespace io_test;

TEST_F(IoTest, CalibrationBlockStoredInTheEepromIsLoadedAgain) {
    Sim(R"({"slot0": [{"addr": "0x4C", "type": "expander", "pins": [255, 127]},
                      {"addr": "0xA0", "type": "eeprom", "blocks": 8, "write_cycle": 1}]})");
    SetConfig({0x0E, 0x7F, 0, 0, 0xFF, 0xFF, 0x00, 0xFA, 0x00, 0x00});
    ASSERT_EQ(Io_SlotCheck(), 0u);
    EXPECT_EQ(tbl[0].flags & IOF_CAL_VALID, 0);
    Cal({0x7F, 0, 3, 0, 0x01, 0x00, 0x00, 0x00, 0xD2, 0x04, 0x05, 0x00});  // pair 1 = (1234, 5)
    Cal({0x7F, 0, 4, 0});
    EXPECT_EQ(tbl[0].flags & IOF_CAL_VALID, IOF_CAL_VALID);
    std::array<uint8_t, 66> blk{};
    ASSERT_EQ(I2C_read_mem(blk.data(), io_cal_location(ROW_CURRENT), 66, 0), 0u);
    EXPECT_EQ(LE_Get16(&blk[0]), 1234);
    EXPECT_EQ(LE_Get16(&blk[32]), 5);
    EXPECT_EQ(LE_Get16(&blk[2]), 8771);
    EXPECT_EQ(LE_Get16(&blk[64]), 0xF19E);
    EXPECT_EQ(io_cal_location(ROW_CURRENT), 0x80u);  // 0xA0, memory 0x80

    // The next configuration takes the stored block; without the validity word, the defaults.
    Io_ResetProbe();
    ASSERT_EQ(Io_SlotCheck(), 0u);
    EXPECT_EQ(tbl[0].gain[0], 1234);
    EXPECT_EQ(tbl[0].offset[0], 5);
    EXPECT_EQ(tbl[0].flags & IOF_CAL_VALID, IOF_CAL_VALID);
    Cal({0x7F, 0, 6});
    Io_ResetProbe();
    ASSERT_EQ(Io_SlotCheck(), 0u);
    EXPECT_EQ(tbl[0].gain[0], 8771);
    EXPECT_EQ(tbl[0].flags & IOF_CAL_VALID, 0);
    // A validity word the EEPROM did not take is not reported as valid.
    static constexpr PlatI2cOps kDeaf = {[](uint8_t) { return 0; }, [](uint8_t, uint8_t *, std::size_t) { return 0; },
                                         [](uint8_t, const uint8_t *, std::size_t) { return 0; }, [](unsigned) {}};
    plat_i2c = &kDeaf;
    Cal({0x7F, 0, 5});
    plat_i2c = &kRecorder;
    EXPECT_EQ(tbl[0].flags & IOF_CAL_VALID, 0);
    Cal({0x7F, 0, 5});
    EXPECT_EQ(tbl[0].flags & IOF_CAL_VALID, IOF_CAL_VALID);
}

TEST_F(IoTest, CalibrationBlockAcrossTwoEepromBlocksKeepsItsValidityWord) {
    // Row 21: the block at memory 0xC0 of 0xA0 runs 2 bytes into the next
    // block, where its validity word lies (0xA2, memory 0).
    Sim(R"({"slot0": [{"addr": "0x4C", "type": "expander", "pins": [255, 63]},
                      {"addr": "0x40", "type": "expander"},
                      {"addr": "0xA0", "type": "eeprom", "blocks": 8, "write_cycle": 1}]})");
    SetConfig({0x0E, 0x3F, 0, 0, 0xFF, 0xFF, 0x00, 0xFA, 0x00, 0x00});
    ASSERT_EQ(Io_SlotCheck(), 0u);
    ASSERT_EQ(tbl[0].row, ROW_BASE21);
    EXPECT_EQ(io_cal_location(ROW_BASE21), 0xC0u);
    Cal({0x7F, 0, 3, 0, 0x01, 0x00, 0x00, 0x00, 0xD2, 0x04, 0x05, 0x00});  // pair 1 = (1234, 5)
    Cal({0x7F, 0, 4, 0});
    uint8_t word[2] = {};
    ASSERT_EQ(I2C_read_mem(word, 0x100, 2, 0), 0u);
    EXPECT_EQ(LE_Get16(word), 0xF19E);
    ASSERT_EQ(I2C_read_mem(word, 0x000, 2, 0), 0u);
    EXPECT_EQ(LE_Get16(word), 0xFFFF) << "the start of the first block is not written";
    Io_ResetProbe();
    ASSERT_EQ(Io_SlotCheck(), 0u);
    EXPECT_EQ(tbl[0].gain[0], 1234);
    EXPECT_EQ(tbl[0].flags & IOF_CAL_VALID, IOF_CAL_VALID);
    // Sub-code 6 clears the word the loader reads: the defaults come back.
    Cal({0x7F, 0, 6});
    Io_ResetProbe();
    ASSERT_EQ(Io_SlotCheck(), 0u);
    EXPECT_EQ(tbl[0].gain[0], 32767);
    EXPECT_EQ(tbl[0].flags & IOF_CAL_VALID, 0);
}

TEST_F(IoTest, AnalogOutputModuleFedFromARegisterAreaStopsAtItsDefaults) {
    // Row 18 in slot 1 with option bit 11: its outputs come from %R1..%R4
    // (configuration word 36 = 0x8000). Stop keeps channel 1 (keep mask
    // word 21 = 2) and sets channel 0 to its default, word 22 = 16000.
    Sim(R"({"slot1": [{"addr": "0x4E", "type": "expander", "pins": [255, 143]},
                      {"addr": "0x20", "type": "registers", "width": 2},
                      {"addr": "0x22", "type": "registers", "width": 2}]})");
    std::vector<uint8_t> cfg = {0xFF, 0xFF, 0x0F, 0x8F, 76, 0};
    std::vector<uint8_t> data(76, 0);
    data[15] = 0x08;                   // option word 0x0800
    data[42] = 0x02;                   // keep channel 1 at stop
    data[44] = 0x80, data[45] = 0x3E;  // channel 0 stops at 16000
    data[73] = 0x80;                   // area %R1
    cfg.insert(cfg.end(), data.begin(), data.end());
    cfg.insert(cfg.end(), {0x00, 0xFA, 0x00, 0x00});
    SetConfig(cfg);
    ASSERT_EQ(Io_SlotCheck(), 0u);
    ASSERT_EQ(tbl[1].row, ROW_AQ4);
    ASSERT_EQ(tbl[1].option, 0x0800);
    LE_Put16(Reg(32768, 16), 32000);
    LE_Put16(Reg(32784, 16), 8000);
    auto sent = [](std::vector<uint8_t> d) {
        for (const Xfer &x : Log()) {
            if (x.kind == 'w' && x.addr == 0x20 && x.data == d) return true;
        }
        return false;
    };
    // Default pairs (0x7FF0, 0): 32000 gives 3998, 8000 gives 999, each << 4.
    Log().clear();
    IoPutAQs(Reg(BA_AQ, 64), 1, 0, 4);
    EXPECT_TRUE(sent({0x30, 0xF9, 0xE0}));
    EXPECT_TRUE(sent({0x31, 0x3E, 0x70}));
    // At stop channel 0 takes its default (1999 << 4), channel 1 holds.
    Log().clear();
    IoStop();
    EXPECT_TRUE(sent({0x30, 0x7C, 0xF0}));
    EXPECT_FALSE(sent({0x30, 0xF9, 0xE0}));
    EXPECT_TRUE(sent({0x31, 0x3E, 0x70}));
    // Calibration sub-code 2 with the option word still 0x0800 drives the
    // words it is given, not the area: channel 0 at 8000 (999 << 4).
    Log().clear();
    Cal({0x7F, 1, 2, 0, 0, 0, 0, 0, 0x00, 0x08, 0x40, 0x1F, 0, 0, 0, 0, 0, 0});
    EXPECT_TRUE(sent({0x30, 0x3E, 0x70}));
    EXPECT_FALSE(sent({0x30, 0xF9, 0xE0}));
}

TEST_F(IoTest, CurrentModuleInvertsOnlyItsFourInputs) {
    // Row 7 in slot 0 with option bit 7: input 1 on (pin low), inputs 2-4
    // off. Only the four inputs are inverted; the high nibble of byte 0 and
    // byte 1, which no line feeds, stay 0.
    Sim(R"({"slot0": [{"addr": "0x4C", "type": "expander", "pins": [254, 127]}]})");
    std::vector<uint8_t> cfg = {0x0E, 0x7F, 16, 0};
    std::vector<uint8_t> data(16, 0);
    data[14] = 0x80;  // option word 0x0080
    cfg.insert(cfg.end(), data.begin(), data.end());
    cfg.insert(cfg.end(), {0xFF, 0xFF, 0x00, 0xFA, 0x00, 0x00});
    SetConfig(cfg);
    ASSERT_EQ(Io_SlotCheck(), 0u);
    ASSERT_EQ(tbl[0].row, ROW_CURRENT);
    ASSERT_EQ(tbl[0].option, 0x0080);
    std::array<uint8_t, 2> in = {0xAA, 0xAA};
    IoGetIs(in.data(), 0, 0, 16);
    EXPECT_EQ(in[0], 0x0E);
    EXPECT_EQ(in[1], 0x00);
}

TEST_F(IoTest, CalibrationOfAnAnalogOutputModuleIsLoadedAgain) {
    // Slot 1: the 4-channel analog output module (row 18), its block at 0xA0
    // memory 0x80 (slot 0 holds the current-monitoring module).
    Sim(R"({"slot0": [{"addr": "0x4C", "type": "expander", "pins": [255, 127]}],
            "slot1": [{"addr": "0x4E", "type": "expander", "pins": [255, 143]},
                      {"addr": "0xA0", "type": "eeprom", "blocks": 8, "write_cycle": 1}]})");
    SetConfig({0x0E, 0x7F, 0, 0, 0x0F, 0x8F, 0, 0, 0x00, 0xFA, 0x00, 0x00});
    ASSERT_EQ(Io_SlotCheck(), 0u);
    ASSERT_EQ(tbl[1].row, ROW_AQ4);
    EXPECT_EQ(tbl[1].flags & IOF_CAL_VALID, 0);
    EXPECT_EQ(tbl[1].gain[0], 0x7FF0);
    EXPECT_EQ(tbl[1].gain[2], 0x7C7C);
    // Pairs 1 and 3 = (0x7E00, 12) and (0x7A00, 0xFFF0), then stored.
    Cal({0x7F, 1, 3, 0, 0x05, 0x00, 0x00, 0x00, 0x00, 0x7E, 0x0C, 0x00, 0x00, 0x7A, 0xF0, 0xFF});
    Cal({0x7F, 1, 4, 0});
    EXPECT_EQ(tbl[1].flags & IOF_CAL_VALID, IOF_CAL_VALID);

    // The next configuration takes the stored constants, offsets included.
    Io_ResetProbe();
    ASSERT_EQ(Io_SlotCheck(), 0u);
    EXPECT_EQ(tbl[1].flags & IOF_CAL_VALID, IOF_CAL_VALID);
    EXPECT_EQ(tbl[1].gain[0], 0x7E00);
    EXPECT_EQ(tbl[1].offset[0], 12);
    EXPECT_EQ(tbl[1].gain[1], 0x7FF0);
    EXPECT_EQ(tbl[1].gain[2], 0x7A00);
    EXPECT_EQ(tbl[1].offset[2], 0xFFF0);

    // Invalidated: the defaults; the validity word written again: the stored block.
    Cal({0x7F, 1, 6});
    Io_ResetProbe();
    ASSERT_EQ(Io_SlotCheck(), 0u);
    EXPECT_EQ(tbl[1].flags & IOF_CAL_VALID, 0);
    EXPECT_EQ(tbl[1].gain[0], 0x7FF0);
    EXPECT_EQ(tbl[1].offset[0], 0);
    Cal({0x7F, 1, 5});
    Io_ResetProbe();
    ASSERT_EQ(Io_SlotCheck(), 0u);
    EXPECT_EQ(tbl[1].flags & IOF_CAL_VALID, IOF_CAL_VALID);
    EXPECT_EQ(tbl[1].gain[0], 0x7E00);
    EXPECT_EQ(tbl[1].offset[2], 0xFFF0);

    // A module calibrated in its own short form (three gain words a channel,
    // 12 for row 18, with the validity word right behind them at +24 and none
    // at +64) keeps its constants: gains 0x7D01 + i, offsets 0.
    Cal({0x7F, 1, 6});
    std::array<uint8_t, 26> shortblk{};
    for (unsigned i = 0; i < 12; i++) LE_Put16(&shortblk[2 * i], uint16_t(0x7D01 + i));
    LE_Put16(&shortblk[24], 0xF19E);
    ASSERT_EQ(I2C_write_mem(shortblk.data(), io_cal_location(ROW_AQ4), 26, 0), 0u);
    Io_ResetProbe();
    ASSERT_EQ(Io_SlotCheck(), 0u);
    EXPECT_EQ(tbl[1].flags & IOF_CAL_VALID, IOF_CAL_VALID);
    EXPECT_EQ(tbl[1].gain[0], 0x7D01);
    EXPECT_EQ(tbl[1].gain[11], 0x7D0C);
    EXPECT_EQ(tbl[1].gain[12], 0);
    EXPECT_EQ(tbl[1].offset[0], 0);
    EXPECT_EQ(tbl[1].offset[2], 0);

    // Sub-code 6 invalidates that form too: its word at +24 is cleared (the
    // full block's gain 13, which no channel of row 18 uses), and the next
    // configuration takes the defaults.
    Cal({0x7F, 1, 6});
    EXPECT_EQ(tbl[1].flags & IOF_CAL_VALID, 0);
    uint8_t word[2] = {0xEE, 0xEE};
    ASSERT_EQ(I2C_read_mem(word, io_cal_location(ROW_AQ4) + 24, 2, 0), 0u);
    EXPECT_EQ(LE_Get16(word), 0);
    Io_ResetProbe();
    ASSERT_EQ(Io_SlotCheck(), 0u);
    EXPECT_EQ(tbl[1].flags & IOF_CAL_VALID, 0);
    EXPECT_EQ(tbl[1].gain[0], 0x7FF0);
    EXPECT_EQ(tbl[1].gain[2], 0x7C7C);
}

}  // namespace

namespace {
using namespace io_test;

// Writes to the EEPROM at 0xA0 fail once this many have been taken (-1: never).
int eeprom_writes_left = -1;
int CutWrite(uint8_t a, const uint8_t *b, std::size_t n) {
    if (a == 0xA0 && eeprom_writes_left >= 0) {
        if (eeprom_writes_left == 0) {
            Log().push_back({'w', a, std::vector<uint8_t>(b, b + n), false});
            return 0;
        }
        eeprom_writes_left--;
    }
    return RecWrite(a, b, n);
}
const PlatI2cOps kCutRecorder = {RecProbe, RecRead, CutWrite, RecSpeed};

TEST_F(IoTest, CalibrationStoreRaisesTheWriteLineAndAFailedStoreLeavesNothingValid) {
    // Row 7 in slot 0: its control line (mode bit 0) is bit 0 of the second
    // byte of expander 0x4C (0xFF minus mode bits 0-1). Its block lies at
    // 0xA0 memory 0x80.
    Sim(R"({"slot0": [{"addr": "0x4C", "type": "expander", "pins": [255, 127]},
                      {"addr": "0xA0", "type": "eeprom", "blocks": 8, "write_cycle": 1}]})");
    SetConfig({0x0E, 0x7F, 0, 0, 0xFF, 0xFF, 0x00, 0xFA, 0x00, 0x00});
    ASSERT_EQ(Io_SlotCheck(), 0u);
    ASSERT_EQ(tbl[0].row, ROW_CURRENT);
    Cal({0x7F, 0, 3, 0, 0x01, 0x00, 0x00, 0x00, 0xD2, 0x04, 0x05, 0x00});  // pair 1 = (1234, 5)
    Log().clear();
    Cal({0x7F, 0, 4, 0});
    ASSERT_EQ(tbl[0].flags & IOF_CAL_VALID, IOF_CAL_VALID);
    // The writes to the expander's line ('x', their bytes) and each run of
    // EEPROM writes between them ('e').
    auto line_seq = [] {
        std::vector<std::pair<char, std::vector<uint8_t>>> q;
        for (const Xfer &x : Log()) {
            if (x.kind == 'w' && x.addr == 0x4C) q.push_back({'x', x.data});
            if (x.kind == 'w' && x.addr == 0xA0 && (q.empty() || q.back().first != 'e')) q.push_back({'e', {}});
        }
        return q;
    };
    // The line is raised (0xFE) before the first EEPROM byte and dropped
    // (0xFF) after the last one, and the outputs' mode is back to 0.
    const std::vector<std::pair<char, std::vector<uint8_t>>> seq = line_seq();
    const std::vector<std::pair<char, std::vector<uint8_t>>> want = {
        {'x', {0xFF, 0xFE}}, {'e', {}}, {'x', {0xFF, 0xFF}}};
    EXPECT_EQ(seq, want);
    EXPECT_EQ(tbl[0].mode, 0);
    // The validity word alone (sub-codes 6 and 5) goes into the same EEPROM
    // under the same line: raised before, dropped after.
    Log().clear();
    Cal({0x7F, 0, 6, 0});
    EXPECT_EQ(line_seq(), want);
    EXPECT_EQ(tbl[0].flags & IOF_CAL_VALID, 0);
    Log().clear();
    Cal({0x7F, 0, 5, 0});
    EXPECT_EQ(line_seq(), want);
    EXPECT_EQ(tbl[0].flags & IOF_CAL_VALID, IOF_CAL_VALID);
    EXPECT_EQ(tbl[0].mode, 0);

    // The next configuration takes (1234, 5) as valid. Pair 1 becomes
    // (4321, 6) and the store breaks off after a few bytes: flag bit 0 is
    // clear, and the next configuration does not take the half-written block
    // for a valid one: the defaults (8771, 0).
    Io_ResetProbe();
    ASSERT_EQ(Io_SlotCheck(), 0u);
    ASSERT_EQ(tbl[0].gain[0], 1234);
    ASSERT_EQ(tbl[0].flags & IOF_CAL_VALID, IOF_CAL_VALID);
    Cal({0x7F, 0, 3, 0, 0x01, 0x00, 0x00, 0x00, 0xE1, 0x10, 0x06, 0x00});
    plat_i2c = &kCutRecorder;
    eeprom_writes_left = 6;
    Cal({0x7F, 0, 4, 0});
    eeprom_writes_left = -1;
    plat_i2c = &kRecorder;
    EXPECT_EQ(tbl[0].flags & IOF_CAL_VALID, 0);
    EXPECT_EQ(tbl[0].mode, 0);
    EXPECT_EQ(LastWrite(0x4C), (std::vector<uint8_t>{0xFF, 0xFF})) << "the line dropped after a failed store too";
    Io_ResetProbe();
    ASSERT_EQ(Io_SlotCheck(), 0u);
    EXPECT_EQ(tbl[0].gain[0], 8771);
    EXPECT_EQ(tbl[0].offset[0], 0);
    EXPECT_EQ(tbl[0].flags & IOF_CAL_VALID, 0);

    // A store on a bus that takes nothing: flag bit 0 clear, though the
    // constants loaded before were valid.
    Cal({0x7F, 0, 3, 0, 0x01, 0x00, 0x00, 0x00, 0xD2, 0x04, 0x05, 0x00});
    Cal({0x7F, 0, 4, 0});
    Io_ResetProbe();
    ASSERT_EQ(Io_SlotCheck(), 0u);
    ASSERT_EQ(tbl[0].flags & IOF_CAL_VALID, IOF_CAL_VALID);
    plat_i2c = &kCutRecorder;
    eeprom_writes_left = 0;
    Cal({0x7F, 0, 4, 0});
    eeprom_writes_left = -1;
    plat_i2c = &kRecorder;
    EXPECT_EQ(tbl[0].flags & IOF_CAL_VALID, 0);
}

}  // namespace

namespace {
using namespace io_test;

TEST_F(IoTest, CalibrationStoreOfAModuleWithoutABlockWritesNothing) {
    // Row 2 in slot 0 keeps its block at 0xA0 memory 0, the EEPROM that
    // identifies it. A communication option (row 5) in slot 1 has no
    // calibration block: sub-codes 4, 5 and 6 are refused as a sub-code the
    // module does not have (a zero first byte, length 1), write no EEPROM and
    // leave flag bit 0 clear; row 2's block stays as stored.
    Sim(R"({"slot0": [{"addr": "0xA0", "type": "eeprom", "blocks": 8, "write_cycle": 1}]})");
    IoDriverMsg m{};
    m.code = 1;
    m.first = 0xA00F;
    m.count = 0x720F;
    io_driver(&m);
    ASSERT_EQ(tbl[0].row, 2);
    ASSERT_EQ(tbl[1].row, 5);
    std::array<uint8_t, 64> buf{};
    auto cal = [&](uint8_t slot, std::vector<uint8_t> d) {
        buf.fill(0xEE);
        std::copy(d.begin(), d.end(), buf.begin());
        m = {};
        m.code = 8;
        m.slot = slot;
        m.extra = uint8_t(d.size());
        m.buffer = buf.data();
        io_driver(&m);
        return std::vector<uint8_t>(buf.begin(), buf.begin() + m.extra);
    };
    cal(0, {3, 0, 0x01, 0x00, 0x00, 0x00, 0xD2, 0x04, 0x05, 0x00});  // pair 1 = (1234, 5)
    cal(0, {4, 0});
    ASSERT_EQ(tbl[0].flags & IOF_CAL_VALID, IOF_CAL_VALID);
    std::array<uint8_t, 66> before{};
    ASSERT_EQ(I2C_read_mem(before.data(), 0, 66, 0), 0u);
    ASSERT_EQ(LE_Get16(&before[0]), 1234);
    ASSERT_EQ(LE_Get16(&before[64]), 0xF19E);

    // Its configure does not take row 2's block for constants of its own.
    m = {};
    m.code = 4;
    m.slot = 1;
    io_driver(&m);
    ASSERT_EQ(m.status, 0);
    EXPECT_EQ(tbl[1].flags & IOF_CAL_VALID, 0);
    EXPECT_EQ(tbl[1].gain[0], 0);
    cal(1, {3, 0, 0x01, 0x00, 0x00, 0x00, 0x39, 0x30, 0x07, 0x00});  // pair 1 = (12345, 7)
    for (const uint8_t sub : {uint8_t(4), uint8_t(5), uint8_t(6)}) {
        Log().clear();
        EXPECT_EQ(cal(1, {sub, 0}), std::vector<uint8_t>{0}) << int(sub);
        for (const Xfer &x : Log()) {
            EXPECT_FALSE(x.kind == 'w' && x.addr >= 0xA0 && x.addr <= 0xAE) << int(sub) << " wrote " << int(x.addr);
        }
        EXPECT_EQ(tbl[1].flags & IOF_CAL_VALID, 0) << int(sub);
    }
    std::array<uint8_t, 66> after{};
    ASSERT_EQ(I2C_read_mem(after.data(), 0, 66, 0), 0u);
    EXPECT_EQ(after, before);
    // Sub-code 0 still answers the module.
    const auto id = cal(1, {0});
    ASSERT_EQ(id.size(), 26u);
    EXPECT_EQ(LE_Get16(&id[6]), 0x720F);
}

TEST_F(IoTest, CalibrationDrivesAndAnswersTheAnalogChannelsOfAMixedModule) {
    // Row 4 in slot 1: converter at 0x92 (channel 0 = 0x1234, channel 1 =
    // 0x0567), cold-junction sensor at 0x96 reading 25 degC, DACs at 0x98
    // and 0x9A.
    Sim(R"({"slot1": [{"addr": "0x4E", "type": "expander", "pins": [255, 162]},
                      {"addr": "0x40", "type": "expander"}, {"addr": "0x42", "type": "expander"},
                      {"addr": "0x92", "type": "registers", "width": 2, "registers": {"0": [18, 52], "1": [5, 103]}},
                      {"addr": "0x96", "type": "registers", "width": 2, "registers": {"0": [12, 128]}},
                      {"addr": "0x98", "type": "registers", "width": 1},
                      {"addr": "0x9A", "type": "registers", "width": 1}]})");
    SetConfig({0xFF, 0x00, 0, 0, 0x0F, 0xA2, 0, 0, 0x00, 0xFA, 0x00, 0x00});
    ASSERT_EQ(Io_SlotCheck(), 0u);
    ASSERT_EQ(tbl[1].row, ROW_TC);
    // Sub-code 2: channel types 24 (J), 0, 0, 0, option byte and word 0,
    // then 24 output bytes: four digital output bytes (0x01, 0x03, 0, 0) and
    // ten analog output words (16000, 8000, then 0).
    std::vector<uint8_t> enter = {0x7F, 1, 2, 24, 0, 0, 0, 0, 0, 0, 0x01, 0x03, 0, 0, 0x80, 0x3E, 0x40, 0x1F};
    enter.resize(2 + 32, 0);
    Log().clear();
    EXPECT_EQ(Cal(enter), std::vector<uint8_t>{0});
    EXPECT_TRUE(tbl[1].flags & IOF_CAL_MODE);
    // Output 0 with pair 6 (default gain 32801, offset 0): 16000 x 32801 >>
    // 18 = 2002 (0x07D2); output 1 with pair 14 (32801): 8000 -> 1001 (0x03E9).
    EXPECT_EQ(LastWrite(0x98), (std::vector<uint8_t>{0x07, 0xD2}));
    EXPECT_EQ(LastWrite(0x9A), (std::vector<uint8_t>{0x03, 0xE9}));
    EXPECT_EQ(LastWrite(0x40), (std::vector<uint8_t>{0xFF, 0xFE}));
    EXPECT_EQ(LastWrite(0x42), (std::vector<uint8_t>{0xFC}));

    // Sub-code 1: 12 raw words, the 8 cold-junction compensation words of
    // the thermocouple types J, K, N, T, E, R, S, B at 25 degC, the 2 analog
    // output words.
    std::vector<uint8_t> want = {0};
    for (uint16_t w :
         {0x1234, 0x0567, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 653, 511, 336, 1015, 382, 143, 145, 0, 16000, 8000}) {
        want.push_back(uint8_t(w));
        want.push_back(uint8_t(w >> 8));
    }
    EXPECT_EQ(Cal({0x7F, 1, 1}), want);

    // Base board 21 in slot 0 (converter 0x90, channel 0 = 0x0100): its 8
    // raw words, then its 4 output words as sub-code 2 gave them.
    PLAT_I2cSimReset();
    Io_ResetProbe();
    Sim(R"({"slot0": [{"addr": "0x4C", "type": "expander", "pins": [255, 63]},
                      {"addr": "0x40", "type": "expander"},
                      {"addr": "0x90", "type": "registers", "width": 2, "registers": {"0": [1, 0]}}]})");
    SetConfig({0x0E, 0x3F, 0, 0, 0xFF, 0x00, 0, 0, 0x00, 0xFA, 0x00, 0x00});
    ASSERT_EQ(Io_SlotCheck(), 0u);
    ASSERT_EQ(tbl[0].row, ROW_BASE21);
    std::vector<uint8_t> enter21(2 + 32, 0);
    enter21[0] = 0x7F;
    enter21[2] = 2;
    for (unsigned k = 0; k < 4; k++) enter21[14 + 2 * k] = uint8_t(0x10 * (k + 1));  // 0x10, 0x20, 0x30, 0x40
    EXPECT_EQ(Cal(enter21), std::vector<uint8_t>{0});
    EXPECT_EQ(Cal({0x7F, 0, 1}), (std::vector<uint8_t>{0, 0x00, 0x01, 0, 0,    0, 0,    0, 0,    0, 0,    0, 0,
                                                       0, 0,    0,    0, 0x10, 0, 0x20, 0, 0x30, 0, 0x40, 0}));
}

}  // namespace

namespace {
using namespace io_test;

TEST_F(IoTest, StopTouchesNoGenericModuleWhoseHeaderWasNeverRead) {
    // Slot 1 holds a generic module (0xAE0F) whose controller at 0x0A never
    // shows its header. A stop straight after init, and one after the
    // header timed out, write nothing on the bus: not to 0x0A, and not to
    // the general-call address 0.
    Sim(R"({"slot1": [{"addr": "0x4E", "type": "expander", "pins": [255, 174]},
                      {"addr": "0x0A", "type": "registers", "registers": {"0": [1, 2]}}]})");
    IoDriverMsg m{};
    m.code = 1;
    m.first = 0x00FF;
    m.count = 0xAE0F;
    io_driver(&m);
    ASSERT_EQ(tbl[1].row, ROW_GEN1);
    auto writes = [] {
        std::vector<uint8_t> a;
        for (const Xfer &x : Log())
            if (x.kind == 'w') a.push_back(x.addr);
        return a;
    };
    Log().clear();
    m = {};
    m.code = 13;
    m.slot = 1;
    io_driver(&m);
    EXPECT_EQ(m.status, 0);
    EXPECT_EQ(writes(), std::vector<uint8_t>{});

    m = {};
    m.code = 4;
    m.slot = 1;
    io_driver(&m);
    EXPECT_EQ(m.status, 0x40);
    Log().clear();
    m = {};
    m.code = 13;
    m.slot = 1;
    io_driver(&m);
    EXPECT_EQ(writes(), std::vector<uint8_t>{});
}

}  // namespace
