// The serial Modbus engine in-process on a stand-in port driver: the master
// through each of its end states and build errors, the slave's refusals and
// its byte-count checks, and the RTU and ASCII receivers on split and broken
// frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <iterator>
#include <string>
#include <vector>

#include "core/image/bytes.h"
#include "core/image/plcreg.h"
#include "iec/blocks/blkmodbus.h"
#include "iec/vm/z7mem.h"
#include "io/vcomm.h"
#include "protocols/mbserial.h"
#include "tests/support/fake_clock.h"
#include "tests/support/stand_in_port.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr int kGap = -1;  // end-of-frame event in the receive queue

test_support::FakePort &fp = test_support::fake_port;
using test_support::FakePort;

// CRC-16/MODBUS, bit by bit (independent of the table-driven one)
Bytes Crc(Bytes b) { return test_support::CrcAppend(std::move(b)); }

// Function 15 to station 0x11 from coil 0: n coils, every other one on.
Bytes Coils(uint16_t n) {
    Bytes b(7 + (n + 7) / 8, 0x55);
    const uint8_t head[] = {0x11, 15, 0, 0, uint8_t(n >> 8), uint8_t(n), uint8_t((n + 7) / 8)};
    std::copy(std::begin(head), std::end(head), b.begin());
    return b;
}

// An ASCII frame: ':', each byte as two upper-case hex digits, the LRC
// (two's complement of the byte sum), CR LF.
Bytes Ascii(const Bytes &b) {
    static const char kDigits[] = "0123456789ABCDEF";
    Bytes f{':'};
    uint32_t sum = 0;
    for (uint8_t x : b) {
        f.push_back(uint8_t(kDigits[x >> 4]));
        f.push_back(uint8_t(kDigits[x & 15]));
        sum += x;
    }
    const uint8_t lrc = uint8_t(256 - sum % 256);
    f.push_back(uint8_t(kDigits[lrc >> 4]));
    f.push_back(uint8_t(kDigits[lrc & 15]));
    f.push_back('\r');
    f.push_back('\n');
    return f;
}

uint32_t R(uint32_t n) { return 32768 + 16 * (n - 1); }
uint8_t *RegW(uint32_t n) { return PlcReg_Ptr(R(n), 16); }
uint16_t Word(uint32_t n) { return LE_Get16(RegW(n)); }
void SetWord(uint32_t n, uint16_t v) { LE_Put16(RegW(n), v); }

class SerialModbus : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = Vcomm_Drv[0];
        Vcomm_Drv[0] = test_support::FakePortDrv();
        fp = FakePort{};
        plc_reg.fill(0);
        RegTokLen_16b = 1;
    }
    void TearDown() override { Vcomm_Drv[0] = saved_; }

    void Feed(const Bytes &b, bool gap = true) {
        for (uint8_t x : b) fp.rx.push_back(x);
        if (gap) fp.rx.push_back(kGap);
    }
    // Master on %R40 bit 0, request record at %R60, status %R41, time-out 1 s.
    void Master(std::array<uint16_t, 6> rec) {
        for (unsigned i = 0; i < 6; i++) SetWord(60 + i, rec[i]);
        ModbusParm p{};
        p.timeout = 10;
        p.control = RegW(40);
        p.data = RegW(60);
        p.status = RegW(41);
        ModbusInit(0, p);
    }
    void Slave(uint16_t station, uint32_t wp = 0) {
        ModbusParm p{};
        p.station = station;
        p.control = RegW(49);
        p.data = RegW(50);
        p.status = RegW(51);
        p.write_protect = wp;
        ModbusInit(0, p);
    }
    Bytes Ask(const Bytes &req) {
        fp.tx.clear();
        Feed(req);
        ModbusExecute(0);
        return fp.tx;
    }
    test_support::FakeClock clock_;
    VcommDrv saved_{};
};

TEST_F(SerialModbus, MasterEndStates) {
    struct Case {
        const char *what;
        std::array<uint16_t, 6> rec;
        Bytes sent;    // request on the line, empty: none
        Bytes answer;  // empty: silence
        uint16_t status;
    };
    const std::vector<Case> cases = {
        {"read ok",
         {0x11, 3, 0x6B, 3, 8, 199},
         Crc({0x11, 3, 0, 0x6B, 0, 3}),
         Crc({0x11, 3, 6, 0xAE, 0x41, 0x56, 0x52, 0x43, 0x40}),
         1},
        {"exception 2", {0x11, 3, 0x6B, 3, 8, 199}, Crc({0x11, 3, 0, 0x6B, 0, 3}), Crc({0x11, 0x83, 2}), 0x2002},
        {"exception 4", {0x11, 3, 0x6B, 3, 8, 199}, Crc({0x11, 3, 0, 0x6B, 0, 3}), Crc({0x11, 0x83, 4}), 0x8002},
        {"byte count 4 for 3 words",
         {0x11, 3, 0x6B, 3, 8, 199},
         Crc({0x11, 3, 0, 0x6B, 0, 3}),
         Crc({0x11, 3, 4, 1, 2, 3, 4}),
         0x802},
        {"byte count beyond the bytes",
         {0x11, 3, 0x6B, 3, 8, 199},
         Crc({0x11, 3, 0, 0x6B, 0, 3}),
         Crc({0x11, 3, 6, 1, 2}),
         0x802},
        {"byte count 6, four data bytes",
         {0x11, 3, 0x6B, 3, 8, 199},
         Crc({0x11, 3, 0, 0x6B, 0, 3}),
         Crc({0x11, 3, 6, 1, 2, 3, 4}),
         0x802},
        {"bits: byte count 2, one data byte",
         {0x11, 2, 0, 10, 76, 8},
         Crc({0x11, 2, 0, 0, 0, 10}),
         Crc({0x11, 2, 2, 0x81}),
         0x802},
        {"quantity 125", {0x11, 3, 0, 125, 8, 0}, Crc({0x11, 3, 0, 0, 0, 125}), {}, 0x102},
        {"2000 coils", {0x11, 1, 0, 2000, 72, 0}, Crc({0x11, 1, 0, 0, 0x07, 0xD0}), {}, 0x102},
        {"last word of %AI", {0x11, 4, 0, 1, 10, 511}, Crc({0x11, 4, 0, 0, 0, 1}), Crc({0x11, 4, 2, 0x12, 0x34}), 1},
        {"silence", {0x11, 3, 0x6B, 3, 8, 199}, Crc({0x11, 3, 0, 0x6B, 0, 3}), {}, 0x102},
        {"bad crc", {0x11, 3, 0x6B, 3, 8, 199}, Crc({0x11, 3, 0, 0x6B, 0, 3}), {0x11, 3, 2, 0, 1, 0, 0}, 0x402},
        {"table code 9", {0x11, 3, 0, 1, 9, 0}, {}, {}, 34},
        {"quantity 126", {0x11, 3, 0, 126, 8, 0}, {}, {}, 10},
        {"station 247", {247, 3, 0, 1, 8, 0}, Crc({0xF7, 3, 0, 0, 0, 1}), Crc({0xF7, 3, 2, 0x12, 0x34}), 1},
        {"station 248", {248, 3, 0, 1, 8, 0}, {}, {}, 6},
        {"function 9", {0x11, 9, 0, 1, 8, 0}, {}, {}, 18},
        {"fc7 quantity 7", {0x11, 7, 0, 7, 72, 0}, {}, {}, 10},
        {"%SR cannot receive", {0x11, 3, 0, 1, 2, 0}, {}, {}, 34},
        {"range past %AI", {0x11, 4, 0, 2, 10, 511}, {}, {}, 34},
        {"write one word",
         {0x11, 6, 5, 1, 8, 4},
         Crc({0x11, 6, 0, 5, 0x12, 0x34}),
         Crc({0x11, 6, 0, 5, 0x12, 0x34}),
         1},
        {"write two words",
         {0x11, 16, 5, 2, 8, 4},
         Crc({0x11, 16, 0, 5, 0, 2, 4, 0x12, 0x34, 0xAB, 0xCD}),
         Crc({0x11, 16, 0, 5, 0, 2}),
         1},
        {"coils from %Q",
         {0x11, 15, 0, 10, 72, 0},
         Crc({0x11, 15, 0, 0, 0, 10, 2, 0x05, 0x02}),
         Crc({0x11, 15, 0, 0, 0, 10}),
         1},
        {"read bits into %M", {0x11, 2, 0, 10, 76, 8}, Crc({0x11, 2, 0, 0, 0, 10}), Crc({0x11, 2, 2, 0x81, 0x03}), 1},
        {"write answered by station and function alone",
         {0x11, 6, 5, 1, 8, 4},
         Crc({0x11, 6, 0, 5, 0x12, 0x34}),
         Crc({0x11, 6}),
         1},
        {"fc7 answer without its status byte", {0x11, 7, 0, 8, 76, 0}, Crc({0x11, 7}), Crc({0x11, 7}), 0x802},
        // Its CRC's first byte is 4: no exception code is read from it.
        {"exception answer without its code",
         {240, 3, 0, 1, 8, 0},
         Crc({0xF0, 3, 0, 0, 0, 1}),
         Crc({0xF0, 0x83}),
         0x802},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        fp = FakePort{};
        plc_reg.fill(0);
        SetWord(5, 0x1234);
        SetWord(6, 0xABCD);
        // %Q1, %Q3, %Q10 on
        plc_reg[(10240 - 1024) / 8] = 0x05;
        plc_reg[(10240 - 1024) / 8 + 1] = 0x02;
        Master(c.rec);
        ModbusExecute(0);
        EXPECT_EQ(Word(41), 0);  // no trigger: idle
        SetWord(40, 1);
        ModbusExecute(0);
        EXPECT_EQ(fp.tx, c.sent);
        if (c.sent.empty()) {
            EXPECT_EQ(Word(41), c.status);
            continue;
        }
        ModbusExecute(0);  // sent: now waiting
        if (!c.answer.empty()) Feed(c.answer);
        ModbusExecute(0);
        if (c.status != 1 && c.status != 0x2002 && c.status != 0x8002 && c.status != 0x802) {
            EXPECT_EQ(Word(41), 0);  // still waiting before the time-out
            test_support::FakeClock::AdvanceMs(999);
            ModbusExecute(0);
            EXPECT_EQ(Word(41), 0);
            test_support::FakeClock::AdvanceMs(2);
            ModbusExecute(0);
        }
        EXPECT_EQ(Word(41), c.status);
        SetWord(40, 0);
        ModbusExecute(0);
        EXPECT_EQ(Word(41), 0);
    }
    // What the reads stored (re-run the ok cases and check the words).
    fp = FakePort{};
    plc_reg.fill(0);
    Master({0x11, 3, 0x6B, 3, 8, 199});
    SetWord(40, 1);
    ModbusExecute(0);
    ModbusExecute(0);
    Feed(Crc({0x11, 3, 6, 0xAE, 0x41, 0x56, 0x52, 0x43, 0x40}));
    ModbusExecute(0);
    EXPECT_EQ(Word(200), 0xAE41);
    EXPECT_EQ(Word(201), 0x5652);
    EXPECT_EQ(Word(202), 0x4340);
    EXPECT_EQ(Word(41), 1);
    fp = FakePort{};
    Master({0x11, 2, 0, 10, 76, 8});
    SetWord(40, 1);
    ModbusExecute(0);
    ModbusExecute(0);
    Feed(Crc({0x11, 2, 2, 0x81, 0x03}));
    ModbusExecute(0);
    // %M9..%M18: bits 0x81 then 0x03
    EXPECT_EQ(plc_reg[(14336 - 1024) / 8 + 1], 0x81);
    EXPECT_EQ(plc_reg[(14336 - 1024) / 8 + 2], 0x03);
}

TEST_F(SerialModbus, SlaveRefusalsAndCounts) {
    Slave(0x11, 14336);   // write protect on %M1
    SetWord(10, 0x1111);  // address 0x208 is %R9
    struct Case {
        const char *what;
        Bytes req, answer;
    };
    const std::vector<Case> cases = {
        {"fc16 byte count short of quantity", Crc({0x11, 16, 0x02, 0x08, 0, 2, 2, 1, 2}), Crc({0x11, 0x90, 3})},
        {"fc16 bytes missing", Crc({0x11, 16, 0x02, 0x08, 0, 2, 4, 1, 2}), Crc({0x11, 0x90, 3})},
        {"fc15 byte count wrong", Crc({0x11, 15, 0, 0, 0, 9, 1, 0xFF}), Crc({0x11, 0x8F, 3})},
        {"fc23 write count wrong", Crc({0x11, 23, 0x02, 0x08, 0, 1, 0x02, 0x08, 0, 1, 4, 0, 1}), Crc({0x11, 0x97, 3})},
        {"fc23 write then read", Crc({0x11, 23, 0x02, 0x08, 0, 2, 0x02, 0x08, 0, 1, 2, 0x77, 0x88}),
         Crc({0x11, 23, 4, 0x77, 0x88, 0x11, 0x11})},
        {"fc3 past %R", Crc({0x11, 3, 0xD0, 0x08, 0, 2}), Crc({0x11, 0x83, 3})},
        {"fc4 %SR192", Crc({0x11, 4, 0x10, 0x5F, 0, 1}), Crc({0x11, 4, 2, 0, 0})},
        {"fc4 past %SR", Crc({0x11, 4, 0x10, 0x5F, 0, 2}), Crc({0x11, 0x84, 3})},
        {"fc2 2001 bits", Crc({0x11, 2, 0, 0, 0x07, 0xD1}), Crc({0x11, 0x82, 3})},
        {"fc8 wrong length", Crc({0x11, 8, 0, 0, 1}), Crc({0x11, 0x88, 3})},
        {"fc8 bus messages", Crc({0x11, 8, 0, 11, 0, 0}), Crc({0x11, 8, 0, 11, 0, 11})},
        {"fc8 exceptions", Crc({0x11, 8, 0, 13, 0, 0}), Crc({0x11, 8, 0, 13, 0, 8})},
        // Function 15 up to 2,000 coils (250 data bytes, the longest frame);
        // one more is refused.
        {"fc15 2000 coils", Crc(Coils(2000)), Crc({0x11, 15, 0, 0, 0x07, 0xD0})},
        {"fc15 2001 coils", Crc(Coils(2001)), Crc({0x11, 0x8F, 3})},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Ask(c.req), c.answer);
    }
    EXPECT_EQ(Word(9), 0x7788);
    EXPECT_EQ(Word(10), 0x1111);
    // Write protect: FC6 is an unknown function while %M1 is on.
    plc_reg[(14336 - 1024) / 8] = 1;
    EXPECT_EQ(Ask(Crc({0x11, 6, 0x02, 0x08, 0, 1})), Crc({0x11, 0x86, 1}));
    EXPECT_EQ(Word(9), 0x7788);
    // Every addressed request toggled status bit 3: 15 of them, odd.
    EXPECT_EQ(Word(51) & 0x08, 0x08);
    // MBAP framing for a modem data socket: the header in, no CRC, the
    // transaction identifier answered; a length that disagrees is dropped.
    SetWord(9, 0x0A0B);
    MOD_TCPInit(1, 0);
    EXPECT_EQ(Ask({0x00, 0x05, 0, 0, 0, 6, 0x11, 3, 0x02, 0x08, 0, 1}),
              (Bytes{0x00, 0x05, 0, 0, 0, 5, 0x11, 3, 2, 0x0A, 0x0B}));
    EXPECT_EQ(Ask({0x00, 0x06, 0, 0, 0, 7, 0x11, 3, 0x02, 0x08, 0, 1}), Bytes{});
    EXPECT_EQ(Ask({0x00, 0x07, 0, 0, 0, 2, 0x11, 7}), (Bytes{0x00, 0x07, 0, 0, 0, 3, 0x11, 7, 0}));
    // An MBAP frame fills at most 265 bytes: a read padded to 265 is
    // answered; one byte more overflows (counted), then the frame is too
    // short (counted again) and gets no answer.
    struct Long {
        uint32_t total;
        Bytes answer;
        uint16_t errors;
    };
    const Long longs[] = {{265, {0x00, 0x08, 0, 0, 0, 5, 0x11, 3, 2, 0x0A, 0x0B}, 0}, {266, {}, 2}};
    for (const Long &l : longs) {
        SCOPED_TRACE(l.total);
        Bytes big = {0x00, 0x08, 0, 0, uint8_t((l.total - 6) >> 8), uint8_t(l.total - 6), 0x11, 3, 0x02, 0x08, 0, 1};
        big.resize(l.total, 0x5A);
        const uint16_t before = pcb[0].proto.counters[MOD_CNT_COMERR];
        EXPECT_EQ(Ask(big), l.answer);
        EXPECT_EQ(pcb[0].proto.counters[MOD_CNT_COMERR], before + l.errors);
    }
    MOD_TCPInit(0, 0);
    EXPECT_EQ(Ask(Crc({0x11, 3, 0x02, 0x08, 0, 1})), Crc({0x11, 3, 2, 0x0A, 0x0B}));
    // Write protect off: a broadcast write of 16 registers (%R11 on) is
    // carried out and not answered.
    plc_reg[(14336 - 1024) / 8] = 0;
    Bytes bc = {0x00, 16, 0x02, 0x0A, 0, 16, 32};
    for (uint8_t i = 0; i < 16; i++) bc.insert(bc.end(), {uint8_t(0xB0 + i), uint8_t(i)});
    EXPECT_EQ(Ask(Crc(bc)), Bytes{});
    EXPECT_EQ(Word(11), 0xB000);
    EXPECT_EQ(Word(26), 0xBF0F);
    EXPECT_EQ(Word(27), 0);
    // Listen-only: no answers, each request counted as not answered;
    // sub-function 1 leaves it unanswered and clears the counters.
    EXPECT_EQ(Ask(Crc({0x11, 8, 0, 4, 0, 0})), Bytes{});
    EXPECT_EQ(Ask(Crc({0x11, 3, 0x02, 0x08, 0, 1})), Bytes{});
    EXPECT_EQ(Ask(Crc({0x11, 6, 0x02, 0x08, 0x12, 0x34})), Bytes{});
    EXPECT_EQ(Word(9), 0x0A0B);
    EXPECT_EQ(pcb[0].proto.counters[MOD_CNT_NORESP], 2);
    EXPECT_EQ(Ask(Crc({0x11, 8, 0, 1, 0, 0})), Bytes{});
    EXPECT_EQ(Ask(Crc({0x11, 8, 0, 15, 0, 0})), Crc({0x11, 8, 0, 15, 0, 0}));
    EXPECT_EQ(Ask(Crc({0x11, 8, 0, 11, 0, 0})), Crc({0x11, 8, 0, 11, 0, 2}));
    // A port in ASCII mode carrying MBAP framing for a modem data socket:
    // the frame is taken by its header as it is answered, not by ':'.
    fp.mode[5] = 4;
    Slave(0x11);
    MOD_TCPInit(1, 0);
    EXPECT_EQ(Ask({0x00, 0x0C, 0, 0, 0, 6, 0x11, 3, 0x02, 0x08, 0, 1}),
              (Bytes{0x00, 0x0C, 0, 0, 0, 5, 0x11, 3, 2, 0x0A, 0x0B}));
    MOD_TCPInit(0, 0);
    EXPECT_EQ(Ask({':', '1', '1', '0', '7', 'E', '8', '\r', '\n'}),
              (Bytes{':', '1', '1', '0', '7', '0', '0', 'E', '8', '\r', '\n'}));
}

TEST_F(SerialModbus, BroadcastRefusalsAreNotExceptionsSent) {
    // Station 0x11, write protect on %M1. Broadcasts the map, the rules or
    // the write protect refuse get no answer, so none counts as an
    // exception sent; an addressed refusal still does.
    Slave(0x11, 14336);
    struct Case {
        const char *what;
        Bytes req;
    };
    const std::vector<Case> cases = {
        {"fc6 past the map", Crc({0, 6, 0xFF, 0xFF, 0, 1})},
        {"fc16 quantity 0", Crc({0, 16, 0x02, 0x08, 0, 0, 0})},
        {"fc16 byte count wrong", Crc({0, 16, 0x02, 0x08, 0, 2, 2, 1, 2})},
        {"fc1 2001 coils", Crc({0, 1, 0, 0, 0x07, 0xD1})},
        {"fc5 past %QG256", Crc({0, 5, 0x24, 0x28, 0xFF, 0})},
        {"fc43 unknown", Crc({0, 43, 14, 1, 0})},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Ask(c.req), Bytes{});
    }
    // A write-protected broadcast write, and one while the engine is not
    // active (exception 4 to an addressed request).
    plc_reg[(14336 - 1024) / 8] = 1;
    EXPECT_EQ(Ask(Crc({0, 6, 0x02, 0x08, 0, 1})), Bytes{});
    plc_reg[(14336 - 1024) / 8] = 0;
    pcb[0].sys_active = 0;
    EXPECT_EQ(Ask(Crc({0, 6, 0x02, 0x08, 0, 1})), Bytes{});
    EXPECT_EQ(Ask(Crc({0x11, 6, 0x02, 0x08, 0, 1})), Crc({0x11, 0x86, 4}));
    pcb[0].sys_active = 1;
    EXPECT_EQ(Word(9), 0);
    // Exceptions: the one addressed refusal; bus messages: the 10 frames.
    EXPECT_EQ(pcb[0].proto.counters[MOD_CNT_EXCEPT], 1);
    EXPECT_EQ(Ask(Crc({0x11, 8, 0, 13, 0, 0})), Crc({0x11, 8, 0, 13, 0, 1}));
    EXPECT_EQ(Ask(Crc({0x11, 8, 0, 11, 0, 0})), Crc({0x11, 8, 0, 11, 0, 11}));
    // An addressed refusal of the same kind counts.
    EXPECT_EQ(Ask(Crc({0x11, 6, 0xFF, 0xFF, 0, 1})), Crc({0x11, 0x86, 3}));
    EXPECT_EQ(pcb[0].proto.counters[MOD_CNT_EXCEPT], 2);
}

// The slave's address map row by row: the first and last address of each
// row reach the register worked out by hand (bit addresses of the 16-bit
// layout), and one past a row's limit is refused with exception 3.
TEST_F(SerialModbus, SlaveAddressMapRowByRow) {
    Slave(0x11);
    struct Row {
        uint8_t fc;
        uint16_t a;
        uint32_t at;  // bit address of the element, 0 refused
    };
    const Row rows[] = {
        // coils
        {1, 0, 10240},            // %Q1
        {1, 2047, 10240 + 2047},  // %Q2048
        {1, 2048, 0},
        {1, 3000, 14336},  // %M1
        {1, 5047, 14336 + 2047},
        {1, 5048, 0},
        {1, 6000, 12288},  // %T1
        {1, 8047, 12288 + 2047},
        {1, 8048, 0},
        {1, 9000, 1280},  // %QG1
        {1, 9255, 1280 + 255},
        {1, 9256, 0},
        // discrete inputs
        {2, 0, 8192},  // %I1
        {2, 2047, 8192 + 2047},
        {2, 2048, 0},
        {2, 3000, 1024},  // %IG1
        {2, 3255, 1024 + 255},
        {2, 3256, 0},
        {2, 4000, 1536},  // %S1
        {2, 4255, 1536 + 255},
        {2, 4256, 0},
        {2, 5000, 1792},  // %K1
        {2, 5255, 1792 + 255},
        {2, 5256, 0},
        // holding registers
        {3, 0, 24576},  // %AQ1
        {3, 511, 24576 + 16 * 511},
        {3, 512, 32768},  // %R1
        {3, 2999, 32768 + 16 * 2487},
        {3, 3000, 32768},  // %R1 again
        {3, 5999, 32768 + 16 * 2999},
        {3, 6000, 2560},  // %AQG1
        {3, 6031, 2560 + 16 * 31},
        {3, 6032, 0},
        {3, 9999, 0},
        {3, 10000, 32768},  // %R1 once more
        {3, 14095, 32768 + 16 * 4095},
        {3, 14096, 0},
        // input registers
        {4, 0, 16384},  // %AI1
        {4, 511, 16384 + 16 * 511},
        {4, 512, 0},
        {4, 3000, 2048},  // %AIG1
        {4, 3031, 2048 + 16 * 31},
        {4, 3032, 0},
        {4, 4000, 3072},  // %SR1
        {4, 4191, 3072 + 16 * 191},
        {4, 4192, 0},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(testing::Message() << "fc " << int(r.fc) << " address " << r.a);
        const Bytes req = Crc({0x11, r.fc, uint8_t(r.a >> 8), uint8_t(r.a), 0, 1});
        if (r.at == 0) {
            EXPECT_EQ(Ask(req), Crc({0x11, uint8_t(r.fc | 0x80), 3}));
            continue;
        }
        if (r.fc <= 2) {
            const uint8_t on = 1, off = 0;
            PlcReg_Set(r.at, &on, 1);
            EXPECT_EQ(Ask(req), Crc({0x11, r.fc, 1, 1}));
            PlcReg_Set(r.at, &off, 1);
        } else {
            // Straight into the image: %SR words take only their own values.
            uint8_t *w = PlcReg_Ptr(r.at, 16);
            ASSERT_NE(w, nullptr);
            LE_Put16(w, 0x1234);
            EXPECT_EQ(Ask(req), Crc({0x11, r.fc, 2, 0x12, 0x34}));
            LE_Put16(w, 0);
        }
    }
    // Writes land there too: function 6 at 6031 is %AQG32, at 10000 %R1.
    EXPECT_EQ(Ask(Crc({0x11, 6, 0x17, 0x8F, 0xBE, 0xEF})), Crc({0x11, 6, 0x17, 0x8F, 0xBE, 0xEF}));
    uint8_t got[2] = {};
    PlcReg_Get(got, 2560 + 16 * 31, 16);
    EXPECT_EQ(got[0], 0xEF);
    EXPECT_EQ(got[1], 0xBE);
    EXPECT_EQ(Word(3032), 0) << "not %R3032";
    EXPECT_EQ(Ask(Crc({0x11, 6, 0x27, 0x10, 0x0B, 0xAD})), Crc({0x11, 6, 0x27, 0x10, 0x0B, 0xAD}));
    EXPECT_EQ(Word(1), 0x0BAD);
    EXPECT_EQ(Word(7001), 0) << "not %R7001";
    // Function 23 writes up to 125 registers like any word quantity: 122
    // and 123 words (0xA000 on, from %R1) fit a frame and are written
    // before %R1 is read back; 126 is refused with exception 3.
    for (const uint8_t wq : {122, 123}) {
        SCOPED_TRACE(int(wq));
        Bytes rw = {0x11, 23, 0x02, 0x00, 0, 1, 0x02, 0x00, 0, wq, uint8_t(2 * wq)};
        for (uint8_t i = 0; i < wq; i++) rw.insert(rw.end(), {0xA0, i});
        SetWord(1, 0);
        EXPECT_EQ(Ask(Crc(rw)), Crc({0x11, 23, 2, 0xA0, 0x00}));
        EXPECT_EQ(Word(wq), 0xA000 + wq - 1);
    }
    EXPECT_EQ(Ask(Crc({0x11, 23, 0x02, 0x00, 0, 1, 0x02, 0x00, 0, 126, 4, 1, 2, 3, 4})), Crc({0x11, 0x97, 3}));
}

// The program's own frame from a data operand near the image's end: the
// register addresses end 32 bits behind %ESR256 (bit address 0x10030FF0), so
// 4 bytes go out and 5 or 255 are refused like a length over 255, reading
// nothing past the image (whose last byte lies 122 bytes on).
TEST_F(SerialModbus, OwnFrameStaysInsideTheRegisterImage) {
    constexpr uint32_t kEsr256 = 0x10030FF0;
    uint8_t *at = PlcReg_Ptr(kEsr256, 16);
    ASSERT_NE(at, nullptr);
    ModbusParm p{};
    p.station = 0x11;
    p.control = RegW(49);
    p.data = at;
    p.data_ref = kEsr256;
    p.status = RegW(51);
    ModbusInit(0, p);
    Bytes frame(4);
    for (uint32_t i = 0; i < 4; i++) frame[i] = at[i] = uint8_t(0x80 + i);
    for (const uint16_t n : {255, 5}) {
        SCOPED_TRACE(n);
        fp.tx.clear();
        SetWord(49, n);
        ModbusExecute(0);
        EXPECT_EQ(fp.tx, Bytes{});
        EXPECT_EQ(Word(51) & 0x700, 0x200);
        SetWord(49, 0);
        ModbusExecute(0);
        EXPECT_EQ(Word(51) & 0x700, 0);
    }
    fp.tx.clear();
    SetWord(49, 4);
    ModbusExecute(0);
    EXPECT_EQ(fp.tx, Crc(frame));
}

TEST_F(SerialModbus, TwoByteSlaveAddresses) {
    // Station 0x1122 (247 and above): station 0x11 in the first byte or
    // sub-station 0x22 in the second, or either byte 0; the function code
    // follows the second byte; both bytes 0 is a broadcast.
    Slave(0x1122);
    SetWord(9, 0x0A0B);  // address 0x208 is %R9
    struct Case {
        const char *what;
        Bytes req, answer;
        uint16_t r9;
    };
    const std::vector<Case> cases = {
        {"station and sub-station", Crc({0x11, 0x22, 3, 0x02, 0x08, 0, 1}), Crc({0x11, 0x22, 3, 2, 0x0A, 0x0B}),
         0x0A0B},
        {"station only", Crc({0x11, 0x99, 3, 0x02, 0x08, 0, 1}), Crc({0x11, 0x99, 3, 2, 0x0A, 0x0B}), 0x0A0B},
        {"sub-station only", Crc({0x55, 0x22, 3, 0x02, 0x08, 0, 1}), Crc({0x55, 0x22, 3, 2, 0x0A, 0x0B}), 0x0A0B},
        {"another station", Crc({0x55, 0x66, 3, 0x02, 0x08, 0, 1}), {}, 0x0A0B},
        {"first byte 0 answered", Crc({0x00, 0x66, 6, 0x02, 0x08, 0x12, 0x34}),
         Crc({0x00, 0x66, 6, 0x02, 0x08, 0x12, 0x34}), 0x1234},
        {"second byte 0 answered", Crc({0x77, 0x00, 6, 0x02, 0x08, 0x56, 0x78}),
         Crc({0x77, 0x00, 6, 0x02, 0x08, 0x56, 0x78}), 0x5678},
        {"broadcast carried out, silent", Crc({0x00, 0x00, 6, 0x02, 0x08, 0xAB, 0xCD}), {}, 0xABCD},
        {"broadcast fc7 silent", Crc({0x00, 0x00, 7}), {}, 0xABCD},
        {"fc16 echo", Crc({0x11, 0x22, 16, 0x02, 0x08, 0, 2, 4, 0x01, 0x02, 0x03, 0x04}),
         Crc({0x11, 0x22, 16, 0x02, 0x08, 0, 2}), 0x0102},
        {"fc7", Crc({0x11, 0x22, 7}), Crc({0x11, 0x22, 7, 0}), 0x0102},
        {"fc8 echo", Crc({0x11, 0x22, 8, 0, 0, 0x12, 0x34}), Crc({0x11, 0x22, 8, 0, 0, 0x12, 0x34}), 0x0102},
        {"fc8 wrong length", Crc({0x11, 0x22, 8, 0, 0, 0x12}), Crc({0x11, 0x22, 0x88, 3}), 0x0102},
        {"range refused", Crc({0x11, 0x22, 3, 0xD0, 0x08, 0, 2}), Crc({0x11, 0x22, 0x83, 3}), 0x0102},
        {"unknown function", Crc({0x11, 0x22, 0x29}), Crc({0x11, 0x22, 0xA9, 1}), 0x0102},
        {"the two address bytes alone", Crc({0x11, 0x22}), {}, 0x0102},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Ask(c.req), c.answer);
        EXPECT_EQ(Word(9), c.r9);
        if (c.what == std::string("fc16 echo")) {
            EXPECT_EQ(Word(10), 0x0304);
        }
    }
    // Station 247 is the first of two bytes: 0 and sub-station 247.
    Slave(247);
    EXPECT_EQ(Ask(Crc({0x05, 0xF7, 3, 0x02, 0x08, 0, 1})), Crc({0x05, 0xF7, 3, 2, 0x01, 0x02}));
    EXPECT_EQ(Ask(Crc({0xF7, 0x05, 3, 0x02, 0x08, 0, 1})), Bytes{});
}

TEST_F(SerialModbus, ForwardOwnFramesAndTimeOut) {
    // Station 5 with a forward table of one entry 0x1213 at %R70 and a
    // slave time-out of 1 s.
    SetWord(70, 0x1213);
    ModbusParm p{};
    p.station = 5;
    p.timeout = 10;
    p.control = RegW(49);
    p.data = RegW(50);
    p.status = RegW(51);
    p.ext = {0, 1};
    p.forward = RegW(70);
    ModbusInit(0, p);
    // A frame for 0x12 goes on as 0x13 at the next step (bit 1 toggles);
    // one for 0x13 goes on as 0x12 (bit 2); one for 0x44 is dropped.
    EXPECT_EQ(Ask(Crc({0x12, 3, 0, 0, 0, 1})), Bytes{});
    EXPECT_EQ(Word(51) & 0x06, 0x02);
    EXPECT_EQ(Ask({}), Crc({0x13, 3, 0, 0, 0, 1}));
    EXPECT_EQ(Ask(Crc({0x13, 6, 0, 1, 0, 2})), Bytes{});
    EXPECT_EQ(Ask({}), Crc({0x12, 6, 0, 1, 0, 2}));
    EXPECT_EQ(Word(51) & 0x06, 0x06);
    EXPECT_EQ(Ask(Crc({0x44, 3, 0, 0, 0, 1})), Bytes{});
    EXPECT_EQ(Ask({}), Bytes{});
    // A forward waiting for the port to finish an answer keeps its frame:
    // what arrives meanwhile stays in the port until the forward is out,
    // and the program's own frame finds the transmitter busy (0x400).
    static uint32_t sending;
    Vcomm_Drv[0].CountTx = [](uint32_t) { return sending; };
    EXPECT_EQ(Ask(Crc({5, 7})), Crc({5, 7, 0}));
    sending = 1;
    EXPECT_EQ(Ask(Crc({0x12, 3, 0, 0, 0, 1})), Bytes{});
    EXPECT_EQ(Ask(Crc({0x44, 6, 0, 1, 0, 2})), Bytes{});
    sending = 0;
    EXPECT_EQ(Ask({}), Crc({0x13, 3, 0, 0, 0, 1}));
    EXPECT_EQ(Ask({}), Bytes{});
    RegW(50)[0] = 0x77;
    EXPECT_EQ(Ask(Crc({0x12, 6, 0, 1, 0, 3})), Bytes{});
    SetWord(49, 1);
    EXPECT_EQ(Ask({}), Crc({0x13, 6, 0, 1, 0, 3}));
    EXPECT_EQ(Word(51) & 0x700, 0x400);
    SetWord(49, 0);
    EXPECT_EQ(Ask({}), Bytes{});
    EXPECT_EQ(Word(51) & 0x700, 0);
    // The program's own frame: 3 bytes of the data area with their CRC.
    LE_Put16(RegW(50), 0x0201);
    LE_Put16(RegW(51) + 2, 0);  // %R52 keeps its 0x03 below
    RegW(50)[2] = 0x03;
    fp.tx.clear();
    SetWord(49, 3);
    ModbusExecute(0);
    EXPECT_EQ(fp.tx, Crc({0x01, 0x02, 0x03}));
    ModbusExecute(0);
    EXPECT_EQ(Word(51) & 0x700, 0x100);
    SetWord(49, 0);
    ModbusExecute(0);
    EXPECT_EQ(Word(51) & 0x700, 0);
    SetWord(49, 300);  // longer than a frame
    ModbusExecute(0);
    EXPECT_EQ(Word(51) & 0x700, 0x200);
    SetWord(49, 0);
    ModbusExecute(0);
    // No addressed request for 1 s: status bit 0.
    EXPECT_EQ(Word(51) & 1, 0);
    test_support::FakeClock::AdvanceMs(1001);
    ModbusExecute(0);
    EXPECT_EQ(Word(51) & 1, 1);
    EXPECT_EQ(Ask(Crc({5, 8, 0, 0, 0x12, 0x34})), Crc({5, 8, 0, 0, 0x12, 0x34}));
    EXPECT_EQ(Word(51) & 1, 0);
    // Days without a request keep bit 0 past the wrap of the 100 us time
    // base (2^32 ticks, 429,496,729.6 ms): stepped daily, 429,496,730 ms in
    // all end 4 ticks beyond it.
    for (int day = 0; day < 4; day++) {
        test_support::FakeClock::AdvanceMs(86400000);
        ModbusExecute(0);
        EXPECT_EQ(Word(51) & 1, 1);
    }
    test_support::FakeClock::AdvanceMs(429496730 - 4 * 86400000);
    ModbusExecute(0);
    EXPECT_EQ(Word(51) & 1, 1);
    // Address and function code alone: a whole request.
    EXPECT_EQ(Ask(Crc({5, 7})), Crc({5, 7, 0}));
    EXPECT_EQ(Word(51) & 1, 0);
    // Function 65 is answered by the three bytes 0, 65, 0; a broadcast of
    // it is not answered.
    EXPECT_EQ(Ask(Crc({5, 65})), Crc({0, 65, 0}));
    EXPECT_EQ(Ask(Crc({0, 65})), Bytes{});
    // The longest frame forwarded: 258 bytes and the CRC; in MBAP framing
    // (no CRC) the longest frame taken is 259 bytes behind its header, and
    // it goes on whole behind a header of its own (transaction 9, length
    // 0x0103), bit 1 toggling as for any forward.
    Bytes big(258, 0x5A);
    big[0] = 0x12;
    big[1] = 3;
    Bytes fwd = big;
    fwd[0] = 0x13;
    EXPECT_EQ(Ask(Crc(big)), Bytes{});
    EXPECT_EQ(Ask({}), Crc(fwd));
    MOD_TCPInit(1, 0);
    Bytes mbap{0, 9, 0, 0, 0x01, 0x03};
    mbap.insert(mbap.end(), 259, 0x5A);
    mbap[6] = 0x12;
    Bytes mbap_fwd = mbap;
    mbap_fwd[6] = 0x13;
    const uint16_t toggles = Word(51) & 0x02;
    EXPECT_EQ(Ask(mbap), Bytes{});
    EXPECT_EQ(Word(51) & 0x02, toggles ^ 0x02);
    EXPECT_EQ(Ask({}), mbap_fwd);
    MOD_TCPInit(0, 0);
    // A port the engine does not have: nothing is done.
    ModbusInit(1, p);
    EXPECT_EQ(ModbusExecute(1), 0u);
    ModbusStop(1);
    Z7_MOD_Forward(1, 1, RegW(70));
    EXPECT_EQ(Ask(Crc({5, 7})), Crc({5, 7, 0}));
}

TEST_F(SerialModbus, ForwardTheLongestAsciiFrame) {
    // An ASCII slave, station 5, forwarding 0x12 as 0x13: the longest frame
    // an ASCII port takes is 259 bytes and the LRC; it goes on whole with
    // its address rewritten and bit 1 toggled.
    fp.mode[5] = 4;
    SetWord(70, 0x1213);
    ModbusParm p{};
    p.station = 5;
    p.control = RegW(49);
    p.data = RegW(50);
    p.status = RegW(51);
    p.ext = {0, 1};
    p.forward = RegW(70);
    ModbusInit(0, p);
    Bytes big(259, 0xA5);
    big[0] = 0x12;
    big[1] = 16;
    Bytes fwd = big;
    fwd[0] = 0x13;
    EXPECT_EQ(Ask(Ascii(big)), Bytes{});
    EXPECT_EQ(Word(51) & 0x06, 0x02);
    const Bytes out = Ask({});
    EXPECT_EQ(out.size(), 1u + 2 * 260 + 2);
    EXPECT_EQ(out, Ascii(fwd));
    EXPECT_EQ(pcb[0].proto.counters[MOD_CNT_COMERR], 0);
    // A short one the same way, to the byte: 0x13 3 0 0 0 1, LRC 0xE9.
    EXPECT_EQ(Ask(Ascii({0x12, 3, 0, 0, 0, 1})), Bytes{});
    const char *line = ":130300000001E9\r\n";
    EXPECT_EQ(Ask({}), Bytes(line, line + 17));
}

TEST_F(SerialModbus, OwnFrameLeavesARequestBeingReceivedWhole) {
    // An ASCII slave, station 0x11, its own frame's bytes at %R60. A write
    // of 0x1234 to address 8 (%AQ9) arrives in two steps; between them the
    // program sends 0x11 6 2 of its own. The request is answered and
    // carried out as it came (its LRC 0x9B covers it), the frame in
    // between goes out as it is (LRC 0xE7), and %R9 (address 0x208) is
    // left alone.
    fp.mode[5] = 4;
    ModbusParm p{};
    p.station = 0x11;
    p.control = RegW(49);
    p.data = RegW(60);
    p.status = RegW(51);
    ModbusInit(0, p);
    RegW(60)[0] = 0x11;
    RegW(60)[1] = 0x06;
    RegW(61)[0] = 0x02;
    const char *head = ":110600";
    EXPECT_EQ(Ask(Bytes(head, head + 7)), Bytes{});
    SetWord(49, 3);
    const char *own = ":110602E7\r\n";
    EXPECT_EQ(Ask({}), Bytes(own, own + 11));
    const char *tail = "0812349B\r\n";
    const char *echo = ":1106000812349B\r\n";
    EXPECT_EQ(Ask(Bytes(tail, tail + 10)), Bytes(echo, echo + 17));
    uint8_t aq9[2] = {};
    PlcReg_Get(aq9, 24576 + 16 * 8, 16);
    EXPECT_EQ(aq9[0], 0x34);
    EXPECT_EQ(aq9[1], 0x12);
    EXPECT_EQ(Word(9), 0);
    EXPECT_EQ(pcb[0].proto.counters[MOD_CNT_COMERR], 0);
}

TEST_F(SerialModbus, AnswerWaitsForTheOwnFrameStillSent) {
    // Station 5, its own frame 01 02 03 at %R50 handed to a port that is
    // still sending it when a read of %AQ1 arrives: the answer waits for the
    // port instead of flushing the frame; it goes out at the first step that
    // finds the port idle, and what arrives meanwhile stays in the port.
    static uint32_t sending;
    static uint32_t flushed;
    sending = 0;
    flushed = 0;
    Vcomm_Drv[0].CountTx = [](uint32_t) { return sending; };
    Vcomm_Drv[0].FlushTx = [](uint32_t) { flushed++; };
    Slave(5);
    RegW(50)[0] = 0x01;
    RegW(50)[1] = 0x02;
    RegW(51)[0] = 0x03;
    SetWord(49, 3);
    EXPECT_EQ(Ask({}), Crc({0x01, 0x02, 0x03}));
    EXPECT_EQ(flushed, 1u);
    sending = 1;
    EXPECT_EQ(Ask(Crc({5, 3, 0, 0, 0, 1})), Bytes{});
    EXPECT_EQ(Ask(Crc({5, 7})), Bytes{});
    EXPECT_EQ(flushed, 1u);
    sending = 0;
    Bytes both = Crc({5, 3, 2, 0, 0});
    const Bytes status = Crc({5, 7, 0});
    both.insert(both.end(), status.begin(), status.end());
    EXPECT_EQ(Ask({}), both);
    EXPECT_EQ(flushed, 3u);
    EXPECT_EQ(pcb[0].proto.counters[MOD_CNT_SLAVE], 2);
}

TEST_F(SerialModbus, MasterOtherFunctions) {
    struct Case {
        const char *what;
        std::array<uint16_t, 6> rec;
        Bytes sent, answer;
        uint32_t word;  // %R n checked afterwards
        uint16_t value;
        uint8_t q9;  // %Q9..%Q16 afterwards
    };
    const std::vector<Case> cases = {
        {"fc7 into %Q9..16", {0x11, 7, 0, 8, 72, 8}, Crc({0x11, 7}), Crc({0x11, 7, 0xA5}), 5, 0x1234, 0xA5},
        {"fc8 echo of %R5",
         {0x11, 8, 0, 1, 8, 4},
         Crc({0x11, 8, 0, 0, 0x12, 0x34}),
         Crc({0x11, 8, 0, 0, 0x56, 0x78}),
         5,
         0x5678,
         0},
        {"fc8 sub-function 2 sends 0",
         {0x11, 8, 2, 1, 8, 4},
         Crc({0x11, 8, 0, 2, 0, 0}),
         Crc({0x11, 8, 0, 2, 0, 9}),
         5,
         9,
         0},
        {"fc5 from %Q1",
         {0x11, 5, 7, 1, 72, 0},
         Crc({0x11, 5, 0, 7, 0xFF, 0}),
         Crc({0x11, 5, 0, 7, 0xFF, 0}),
         5,
         0x1234,
         0},
        {"fc65 broadcast", {0x11, 65, 0, 1, 8, 6}, Crc({0, 65}), Crc({0, 65, 0x41}), 7, 0x4100, 0},
        {"fc65 answer from station 0x11", {0x11, 65, 0, 1, 8, 6}, Crc({0, 65}), Crc({0x11, 65, 0x42}), 7, 0x4200, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        fp = FakePort{};
        plc_reg.fill(0);
        SetWord(5, 0x1234);
        plc_reg[(10240 - 1024) / 8] = 0x01;  // %Q1
        Master(c.rec);
        SetWord(40, 1);
        ModbusExecute(0);
        EXPECT_EQ(fp.tx, c.sent);
        ModbusExecute(0);
        Feed(c.answer);
        ModbusExecute(0);
        EXPECT_EQ(Word(41), 1);
        EXPECT_EQ(Word(c.word), c.value);
        EXPECT_EQ(plc_reg[(10240 - 1024) / 8 + 1], c.q9);
    }
}

TEST_F(SerialModbus, MasterFunction65Answers) {
    // Function 65 into %R7: the answer's third byte becomes the word's high
    // byte when the answer carries function code 65; another function code
    // (0 in the second byte, or 3) is a wrong answer (0x802) and an
    // exception answer gives its exception's result. %R7 keeps 0x1234
    // whenever the answer is not taken.
    struct Case {
        const char *what;
        Bytes answer;
        uint16_t status, value;
    };
    const std::vector<Case> cases = {
        {"0, 65, 0", Crc({0, 65, 0}), 1, 0x0000},
        {"0, 65, 0x42", Crc({0, 65, 0x42}), 1, 0x4200},
        {"function code 0 in the second byte", Crc({0x11, 0, 65, 0}), 0x802, 0x1234},
        {"function code 0, three bytes", Crc({0x11, 0, 0x42}), 0x802, 0x1234},
        {"function code 3", Crc({0, 3, 0x42}), 0x802, 0x1234},
        {"two bytes", Crc({0, 65}), 0x802, 0x1234},
        {"exception 1", Crc({0, 0xC1, 1}), 0x1002, 0x1234},
        {"exception 4", Crc({0x11, 0xC1, 4}), 0x8002, 0x1234},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        fp = FakePort{};
        plc_reg.fill(0);
        SetWord(7, 0x1234);
        Master({0x11, 65, 0, 1, 8, 6});
        SetWord(40, 1);
        ModbusExecute(0);
        EXPECT_EQ(fp.tx, Crc({0, 65}));
        ModbusExecute(0);
        Feed(c.answer);
        ModbusExecute(0);
        EXPECT_EQ(Word(41), c.status);
        EXPECT_EQ(Word(7), c.value);
    }
}

TEST_F(SerialModbus, ReceiversOnBrokenFrames) {
    ModbusProto m{};
    m.rx_state = 0;
    // Overlong RTU frame: the count restarts, a communication error.
    for (int i = 0; i < 261; i++) MOD_RxByte(m, 0x11);
    EXPECT_EQ(m.counters[MOD_CNT_COMERR], 1);
    EXPECT_EQ(m.rx_count, 1);
    EXPECT_EQ(MOD_RxEnd(m), 0u);  // 1 byte: error
    EXPECT_EQ(m.counters[MOD_CNT_COMERR], 2);
    EXPECT_EQ(m.result, 0x400);
    // A request with one trailing byte: accepted at its expected size.
    Bytes f = Crc({1, 3, 0, 0, 0, 2});
    f.push_back(0xEE);
    for (uint8_t b : f) MOD_RxByte(m, b);
    ASSERT_EQ(MOD_RxEnd(m), 1u);
    EXPECT_EQ(m.length, 6);
    // A master takes a whole answer at its last byte, before the silence.
    ModbusProto mm{};
    mm.mode = MOD_MASTER;
    const Bytes ans = Crc({0x11, 3, 2, 0x12, 0x34});
    uint32_t at = 0;
    for (std::size_t i = 0; i < ans.size(); i++) at = MOD_RxByte(mm, ans[i]) ? uint32_t(i) : at;
    EXPECT_EQ(at, 6u);
    EXPECT_EQ(mm.length, 5);
    // ASCII: a ':' inside a frame restarts it and counts an error; wrong LRC
    // and a stray character after CR are errors; a good frame is accepted.
    ModbusProto a{};
    a.mode = MOD_ASCII;
    a.rx_state = 5;
    auto feed = [&](const char *s) {
        uint32_t got = 0;
        for (; *s; s++) got |= MOD_RxByte(a, uint8_t(*s));
        return got;
    };
    EXPECT_EQ(feed(":1103:110302040004E2\r\n"), 1u);
    EXPECT_EQ(a.counters[MOD_CNT_COMERR], 1);
    EXPECT_EQ(a.length, 6);
    EXPECT_EQ(feed(":110302040004E3\r\n"), 0u);
    EXPECT_EQ(feed(":110302040004E2\rX"), 0u);
    EXPECT_EQ(a.counters[MOD_CNT_COMERR], 3);
    EXPECT_EQ(ExpectedSize(23, false), -10);
    EXPECT_EQ(ExpectedSize(43, false), 4);
    // The digit 9; one data byte and its LRC; 260 bytes are whole, 261 more
    // than a frame.
    EXPECT_EQ(feed(":090300000001F3\r\n"), 1u);
    EXPECT_EQ(a.length, 6);
    EXPECT_EQ(a.buf[0], 9);
    EXPECT_EQ(feed(":01FF\r\n"), 1u);
    EXPECT_EQ(a.length, 1);
    auto hex_frame = [](uint32_t data) {
        std::string f = ":";
        uint8_t sum = 0;
        char h[3];
        for (uint32_t i = 0; i < data; i++) {
            std::snprintf(h, sizeof h, "%02X", 0x11);
            f += h;
            sum = uint8_t(sum + 0x11);
        }
        std::snprintf(h, sizeof h, "%02X", uint8_t(-sum));
        return f + h + "\r\n";
    };
    EXPECT_EQ(feed(hex_frame(259).c_str()), 1u);
    EXPECT_EQ(a.length, 259);
    const uint16_t errors = a.counters[MOD_CNT_COMERR];
    EXPECT_EQ(feed(hex_frame(260).c_str()), 0u);
    EXPECT_EQ(a.counters[MOD_CNT_COMERR], errors + 2);
    // 270 data bytes and their LRC: the 261st byte overflows and the rest
    // is dropped to the frame's end, which is an error of its own.
    EXPECT_EQ(feed(hex_frame(270).c_str()), 0u);
    EXPECT_EQ(a.counters[MOD_CNT_COMERR], errors + 4);
    // 260 zero bytes and then a read of station 0x11 with the LRC of its own
    // bytes (0x11 + 3 + 1 = 0x15, LRC 0xEB): the tail of an overlong frame
    // is dropped to its end, never answered as a request of its own.
    const std::string tail_frame = ":" + std::string(520, '0') + "110300000001EB\r\n";
    EXPECT_EQ(feed(tail_frame.c_str()), 0u);
    EXPECT_EQ(a.counters[MOD_CNT_COMERR], errors + 6);
    EXPECT_EQ(feed(":110302040004E2\r\n"), 1u);
    EXPECT_EQ(a.length, 6);
    // RTU: address and function code with their CRC.
    for (uint8_t b : Crc({0x11, 7})) MOD_RxByte(m, b);
    ASSERT_EQ(MOD_RxEnd(m), 1u);
    EXPECT_EQ(m.length, 2);
}

TEST_F(SerialModbus, IecMapsToTheirLastElement) {
    // An IEC slave whose holding array is 4 words: a read of all 4 is
    // answered, one word further is exception 2.
    const uint32_t arr = Z7Mem_Alloc(8);
    ASSERT_NE(arr, 0u);
    uint8_t *w = Z7Mem_Ptr(arr, 8);
    for (uint16_t i = 0; i < 4; i++) LE_Put16(w + 2 * i, uint16_t(0x1111 * (i + 1)));
    std::array<uint8_t, MBM_SIZE> map{};
    LE_Put32(&map[MBM_ADDR + 4 * MBM_HOLDING], arr);
    LE_Put32(&map[MBM_COUNT + 4 * MBM_HOLDING], 4);
    LE_Put16(&map[MBM_ELEM], MB_ELEM_WORD);
    ModbusParm p{};
    p.station = 0x11;
    p.control = RegW(49);
    p.data = map.data();
    p.status = RegW(51);
    p.iec = 1;
    ModbusInit(0, p);
    EXPECT_EQ(Ask(Crc({0x11, 3, 0, 0, 0, 4})), Crc({0x11, 3, 8, 0x11, 0x11, 0x22, 0x22, 0x33, 0x33, 0x44, 0x44}));
    EXPECT_EQ(Ask(Crc({0x11, 3, 0, 1, 0, 4})), Crc({0x11, 0x83, 2}));
    Z7Mem_Free(arr);
    // An IEC master request whose data word is the arena's last two bytes.
    LE_Put16(Z7Mem_Ptr(Z7MEM_SIZE - 2, 2), 0xBEEF);
    std::array<uint8_t, 24> req{};
    LE_Put16(&req[MBR_SLAVE], 0x11);
    LE_Put16(&req[MBR_FC], 6);
    LE_Put16(&req[MBR_START], 5);
    LE_Put16(&req[MBR_QTY], 1);
    LE_Put32(&req[MBR_DATA], Z7MEM_SIZE - 2);
    LE_Put16(&req[MBR_ELEM], MB_ELEM_WORD);
    ModbusParm q{};
    q.timeout = 10;
    q.control = RegW(40);
    q.data = req.data();
    q.status = RegW(41);
    q.iec = 1;
    fp = FakePort{};
    ModbusInit(0, q);
    ModbusExecute(0);
    SetWord(40, 1);
    ModbusExecute(0);
    EXPECT_EQ(fp.tx, Crc({0x11, 6, 0, 5, 0xBE, 0xEF}));
    EXPECT_EQ(Word(41), 0);
}

}  // namespace
