// The Talk layer driven by ladder programs: the port blocks 132 to 136 and
// the selector 394 against a stand-in port, and the modem control's steps,
// result codes and timers.
#include <cstring>

#include "cmd/cmd.h"
#include "core/image/bytes.h"
#include "iec/vm/z7mem.h"
#include "messaging/messaging.h"
#include "protocols/mbserial.h"
#include "tests/messaging/msg_fixture.h"

using namespace la;

namespace {

// Open operands: port word 0, then the six mode bytes, in words.
void OpenOp(LadAsm &a, std::array<uint8_t, 6> m) {
    a.op(132)
        .word(0)
        .word(uint16_t(m[0] | m[1] << 8))
        .word(uint16_t(m[2] | m[3] << 8))
        .word(uint16_t(m[4] | m[5] << 8));
}
void PutText(uint32_t ref, const char *t) {
    const std::size_t n = std::strlen(t);
    std::memcpy(&plc_reg[(ref - 1024) / 8], t, n);
}
void NotFirst() { plc_reg[64] &= uint8_t(~1u); }

}  // namespace

TEST_F(MsgTest, OpenSendReceiveCloseOnThePort) {
    LadAsm a(true);
    a.contact(M16(1));
    OpenOp(a, {5, 0, 3, 0, 0, 2});
    a.coil(M16(11));
    a.contact(M16(11)).op(133).word(0).word(5).reg(R(10)).reg(R(20)).op(52).bit(M16(12));
    a.contact(M16(12)).op(134).word(0).word(4).reg(R(30)).reg(R(21)).op(52).bit(M16(13));
    a.contact(M16(13)).op(135).word(0).coil(M16(14));
    a.end();
    PutText(R(10), "HELLO");
    Cmd_Override = 0;
    ASSERT_EQ(Run(a), -1);
    EXPECT_EQ(LT_W(R(20)), 0xFFFF);
    EXPECT_EQ(LT_W(R(21)), 0xFFFF);
    NotFirst();
    LT_SetBit(M16(1), true);
    ASSERT_EQ(Scan(), -1);
    ASSERT_EQ(Port(0).opens.size(), 1u);
    EXPECT_EQ(Port(0).opens[0], (std::array<uint8_t, 6>{5, 0, 3, 0, 0, 2}));
    EXPECT_TRUE(LT_Bit(M16(11)));
    EXPECT_EQ(Port(0).tx, "HELLO");
    EXPECT_TRUE(LT_Bit(M16(12)));
    EXPECT_EQ(LT_W(R(20)), 5);
    EXPECT_EQ(LT_W(R(21)), 0);
    EXPECT_FALSE(LT_Bit(M16(13)));
    EXPECT_EQ(TalkOpened(0), 1u);
    fake_ports::Feed(0, "AB");
    ASSERT_EQ(Scan(), -1);
    EXPECT_EQ(LT_W(R(21)), 2);
    fake_ports::Feed(0, "CDE");  // one byte more than the count asks for
    ASSERT_EQ(Scan(), -1);
    EXPECT_EQ(LT_W(R(30)), 0x4241);
    EXPECT_EQ(LT_W(R(31)), 0x4443);
    EXPECT_EQ(LT_W(R(32)), 0) << "the fifth byte stays on the line";
    EXPECT_TRUE(LT_Bit(M16(13)));
    // The close gave the port back to the command protocol.
    EXPECT_TRUE(LT_Bit(M16(14)));
    ASSERT_EQ(Port(0).opens.size(), 2u);
    EXPECT_EQ(Port(0).opens[1], (std::array<uint8_t, 6>{5, 0, 3, 0, 0, 1}));
    EXPECT_EQ(TalkOpened(0), 0u);
    EXPECT_EQ(Port(0).tx, "HELLO");  // nothing sent twice
}

TEST_F(MsgTest, OpenParametersFromRegistersAndRefusals) {
    struct Row {
        const char *what;
        uint16_t port_word;
        std::array<uint16_t, 9> regs;  // from %R70 (0x6000: the first is the offset)
        bool override_held;
        bool opens;
    };
    const Row rows[] = {
        {"registers", 0x4000, {0, 5, 0, 3, 0, 0, 2, 0, 0}, false, true},
        {"baud 13 refused", 0x4000, {0, 13, 0, 3, 0, 0, 2, 0, 0}, false, false},
        {"parity 5 refused", 0x4000, {0, 5, 5, 3, 0, 0, 2, 0, 0}, false, false},
        {"mode 5 refused", 0x4000, {0, 5, 0, 3, 0, 0, 5, 0, 0}, false, false},
        {"option 14 refused", 0x4000, {0, 5, 0, 3, 0, 0, 2, 14, 0}, false, false},
        {"port register not 0", 0x4000, {1, 5, 0, 3, 0, 0, 2, 0, 0}, false, false},
        {"indirect by one word", 0x6000, {2, 0, 5, 0, 3, 0, 0, 2, 0}, false, true},
        {"other port word", 0x2000, {0, 5, 0, 3, 0, 0, 2, 0, 0}, false, false},
        {"held by the protocol manager", 0x4000, {0, 5, 0, 3, 0, 0, 2, 0, 0}, true, false},
    };
    for (const Row &r : rows) {
        SetUp();
        LadAsm a(true);
        const uint32_t addr = R(70);
        a.contact(M16(1)).op(132).word(r.port_word).word(uint16_t(addr)).word(0).word(0).coil(M16(11)).end();
        for (unsigned i = 0; i < 9; i++) LT_SetW(R(70 + i), r.regs[i]);
        if (r.override_held) {
            ASSERT_TRUE(Talk_Override(0));
        }
        ASSERT_EQ(Run(a), -1) << r.what;
        NotFirst();
        LT_SetBit(M16(1), true);
        ASSERT_EQ(Scan(), -1) << r.what;
        EXPECT_EQ(LT_Bit(M16(11)), r.opens) << r.what;
        if (r.opens) {
            ASSERT_EQ(Port(0).opens.size(), 1u) << r.what;
            EXPECT_EQ(Port(0).opens[0], (std::array<uint8_t, 6>{5, 0, 3, 0, 0, 2})) << r.what;
        } else {
            EXPECT_TRUE(Port(0).opens.empty()) << r.what;
            EXPECT_EQ(Port(0).mode, (std::array<uint8_t, 6>{5, 0, 3, 0, 0, 1})) << r.what;
        }
        Talk_Release(0);
    }
}

TEST_F(MsgTest, SecondOpenBlockWaitsForTheOwnerAndCloseWaitsForTheOverride) {
    LadAsm a(true);
    a.contact(M16(1));
    OpenOp(a, {5, 0, 3, 0, 0, 1});
    a.coil(M16(11));
    a.contact(M16(2));
    OpenOp(a, {9, 0, 3, 0, 0, 2});
    a.coil(M16(12));
    a.contact(M16(3)).op(135).word(0).coil(M16(13));
    a.end();
    ASSERT_EQ(Run(a), -1);
    NotFirst();
    LT_SetBit(M16(1), true);
    LT_SetBit(M16(2), true);
    ASSERT_EQ(Scan(), -1);
    EXPECT_TRUE(LT_Bit(M16(11)));   // mode 1 reached
    EXPECT_FALSE(LT_Bit(M16(12)));  // the first block owns the port
    EXPECT_EQ(Cmd_Override, 1);     // mode 1 for the user program
    EXPECT_EQ(Port(0).opens.size(), 1u);
    // A close that acts once: the enable held with the override set answers 0.
    LT_SetBit(M16(3), true);
    ASSERT_EQ(Scan(), -1);
    EXPECT_TRUE(LT_Bit(M16(13)));
    EXPECT_EQ(Cmd_Override, 0);
    LT_SetBit(M16(1), false);
    ASSERT_EQ(Scan(), -1);
    ASSERT_EQ(Scan(), -1);
    EXPECT_TRUE(LT_Bit(M16(12)));  // the owner let go: the second block opens
    EXPECT_EQ(Port(0).opens.back(), (std::array<uint8_t, 6>{9, 0, 3, 0, 0, 2}));
}

TEST_F(MsgTest, SelectorSendsDirectAndThroughAPointer) {
    for (bool l16 : {true, false}) {
        SetUp();
        LadAsm a(l16);
        a.contact(LT_ON);
        OpenOp(a, {5, 0, 3, 0, 0, 2});
        a.coil(M16(11));
        const auto ref = [&](uint32_t r) -> LadAsm & { return l16 ? a.reg(r) : a.dword(r); };
        a.contact(M16(1)).op(394).word(0).word(0);
        ref(5);
        ref(R(10));
        ref(R(20));
        a.coil(M16(12));
        a.contact(M16(2)).op(394).word(1).word(0);
        ref(5);
        ref(R(80));
        ref(R(22));
        a.coil(M16(13));
        // Selector 7 takes its word only; the next rung runs.
        a.contact(LT_ON).op(394).word(7).coil(M16(14));
        // Count 0 completes at once; 256 is refused with the progress word kept.
        a.contact(LT_ON).op(133).word(0);
        ref(0);
        ref(R(10));
        ref(R(24));
        a.coil(M16(15));
        a.contact(LT_ON).op(133).word(0);
        ref(256);
        ref(R(10));
        ref(R(25));
        a.coil(M16(16));
        a.end();
        PutText(R(10), "HELLO");
        LT_SetD(R(80), 3986);  // byte offset of %R10
        ASSERT_EQ(Run(a), -1);
        NotFirst();
        LT_SetW(R(25), 7);
        LT_SetBit(M16(1), true);
        ASSERT_EQ(Scan(), -1);
        EXPECT_EQ(Port(0).tx, "HELLO") << l16;
        EXPECT_TRUE(LT_Bit(M16(12)));
        LT_SetBit(M16(2), true);
        ASSERT_EQ(Scan(), -1);
        EXPECT_EQ(Port(0).tx, "HELLOHELLO") << l16;
        EXPECT_TRUE(LT_Bit(M16(13)));
        EXPECT_TRUE(LT_Bit(M16(14)));
        EXPECT_TRUE(LT_Bit(M16(15)));
        EXPECT_EQ(LT_W(R(24)), 0);
        EXPECT_FALSE(LT_Bit(M16(16)));
        EXPECT_EQ(LT_W(R(25)), 7);
    }
}

TEST_F(MsgTest, ProgramStartKeepsTheClaimAndAHeldDialRequest) {
    ASSERT_TRUE(Talk_Override(0));
    Talk.modem_init = 1;
    Talk.modem_enable = {0, 1, 0};
    Talk.opened = 1;
    PlcWordSet(W_PORTPROTO, 1);
    TalkInit();
    EXPECT_FALSE(Talk_Override(0));  // still claimed
    EXPECT_EQ(TalkModemProtect, 1);
    EXPECT_EQ(Talk.modem_enable, (std::array<uint8_t, 3>{0, 1, 0}));
    EXPECT_EQ(Talk.opened, 0);
    // Not in command mode: the modem state goes too.
    Talk.modem_init = 1;
    Talk.modem_enable = {0, 1, 0};
    TalkModemProtect = 0;
    PlcWordSet(W_PORTPROTO, 2);
    TalkInit();
    EXPECT_EQ(TalkModemProtect, 0);
    EXPECT_EQ(Talk.modem_init, 0);
    Talk_Release(0);
    EXPECT_TRUE(Talk_Override(0));
}

// A running Modbus block keeps the constant control operand it started with
// when the program area is rewritten under it (an on-line change): the
// slave's own frame of 3 bytes goes out once, not again at a word of the
// new program that happens to sit at the old operand's place.
TEST_F(MsgTest, ARunningModbusBlockKeepsItsConstantOperandThroughAProgramChange) {
    auto program = [](uint16_t control) {
        LadAsm a(true);
        a.contact(LT_ON);
        OpenOp(a, {5, 0, 3, 0, 0, 3});
        a.coil(M16(11));
        a.contact(M16(11)).op(137).word(0).word(1).word(0).word(control).reg(R(40)).reg(R(50)).coil(M16(12));
        a.end();
        EXPECT_TRUE(a.finish());
        return a;
    };
    LadAsm a = program(3);
    PutText(R(40), "ABC");
    ASSERT_EQ(Run(a), -1);
    NotFirst();
    ASSERT_EQ(Scan(), -1);
    ASSERT_EQ(Scan(), -1);
    const std::string frame = "ABC\x50\x85";  // RTU: the bytes and their CRC-16 (0x8550 by python), low byte first
    EXPECT_EQ(Port(0).tx, frame);
    const uint16_t status = LT_W(R(50));
    LA_Load(program(0));
    ASSERT_EQ(Scan(), -1);
    LA_Load(program(3));
    ASSERT_EQ(Scan(), -1);
    EXPECT_EQ(Port(0).tx, frame);
    EXPECT_EQ(LT_W(R(50)), status);
}

// The Modbus block of the extended encoding (531) takes the same six
// operand words, its data area through the register the operand names: the
// slave's own frame of 3 bytes (at R80, named by R40) goes out as with 137.
TEST_F(MsgTest, ExtendedModbusBlockSendsTheSlavesFrame) {
    LadAsm a(true);
    a.contact(LT_ON);
    OpenOp(a, {5, 0, 3, 0, 0, 3});
    a.coil(M16(11));
    a.contact(M16(11)).op(531).word(0).word(1).word(0).word(3).reg(R(40)).reg(R(50)).coil(M16(12));
    a.end();
    PutText(R(80), "ABC");
    LT_SetW(R(40), uint16_t(R(80)));
    ASSERT_EQ(Run(a), -1);
    NotFirst();
    ASSERT_EQ(Scan(), -1);
    ASSERT_EQ(Scan(), -1);
    EXPECT_EQ(Port(0).tx, "ABC\x50\x85");  // RTU: the bytes and their CRC-16, low byte first
}

TEST_F(MsgTest, ResultCodesNumericAndVerbose) {
    struct Row {
        uint8_t gsm;
        const char *line;
        uint32_t code;
    };
    std::snprintf(modem.cmd.data(), modem.cmd.size(), "ATDT5551234");
    const Row rows[] = {
        {0, "0", 0},
        {0, "OK", 0},
        {0, "1", 1},
        {0, "10", 1},
        {0, "5", 1},
        {0, "2", 2},
        {0, "3", 3},
        {0, "4", 4},
        {0, "NO DIALTONE", 4},
        {0, "ATDT5551234", 65534},
        {0, "", 65534},
        {0, "9", 1},
        {0, "123456", 1},
        {0, "1234567", 1},
        {0, "00000000002", 2},
        {0, "12345678901234567890", 1},
        {1, "OK", 0},
        {1, "ERROR", 4},
        {1, "CONNECT 9600", 1},
        {1, "NO CARRIER", 3},
        {1, "RING", 2},
        {1, "LISTEN", 6},
        {1, "AT-Command", 4},
        {1, "hello", 65534},
    };
    for (const Row &r : rows) {
        GsmModem = r.gsm;
        EXPECT_EQ(ResultToBin(r.line), r.code) << r.line << " gsm " << int(r.gsm);
    }
    GsmModem = 0;
    // The echo of a command longer than the response line (120 characters
    // against 95 kept) is still the echo: the "0" after it is the answer.
    const std::string longcmd = "AT" + std::string(118, 'S');
    std::snprintf(modem.cmd.data(), modem.cmd.size(), "%s", longcmd.c_str());
    modem.resp_idx = 0;
    fake_ports::Feed(0, longcmd + "\r\n0\r");
    EXPECT_EQ(GetResult(0), 0u);
    // A line as long that is not the command stays an error.
    fake_ports::Feed(0, std::string(120, 'X') + "\r");
    EXPECT_EQ(GetResult(0), 4u);
    // A '+' restarts the line: the echo of a command holding one arrives as
    // the text behind its last '+', and is the echo all the same (not a
    // CONNECT for an international number, not an error for "AT+...").
    const struct {
        const char *cmd, *in;
        uint32_t code;
    } echoes[] = {
        {"ATDT+4930123456", "ATDT+4930123456\r\n3\r", 3},
        {"AT+CBST=7,0,1", "AT+CBST=7,0,1\r\n0\r", 0},
        {"AT+CBST=7,0,1", "CBST=7,0,2\r", 4},
    };
    for (const auto &e : echoes) {
        std::snprintf(modem.cmd.data(), modem.cmd.size(), "%s", e.cmd);
        modem.resp_idx = 0;
        Port(0).rx.clear();
        fake_ports::Feed(0, e.in);
        EXPECT_EQ(GetResult(0), e.code) << e.in;
    }
}

namespace {
// Port opened for the user program, then a modem block on %M2.
LadAsm ModemProgram(uint16_t kind, const char *text) {
    LadAsm a(true);
    a.contact(LT_ON);
    OpenOp(a, {5, 0, 3, 0, 0, 2});
    a.coil(M16(11));
    a.contact(M16(2)).op(136).word(0).word(kind).reg(R(40));
    if (kind != 2) {
        const std::size_t n = std::strlen(text);
        a.word(uint16_t(n));
        for (std::size_t i = 0; i < n; i += 2)
            a.word(uint16_t(uint8_t(text[i]) | (i + 1 < n ? uint8_t(text[i + 1]) << 8 : 0)));
    }
    a.coil(M16(20)).end();
    return a;
}
}  // namespace

TEST_F(MsgTest, ModemDialsOnANumericModemAndHangsUp) {
    LadAsm a = ModemProgram(1, "5551234");
    ASSERT_EQ(Run(a), -1);
    EXPECT_EQ(LT_W(R(40)), 0xFFFF);
    NotFirst();
    LT_SetBit(M16(2), true);
    ASSERT_EQ(Scan(), -1);
    EXPECT_EQ(LT_W(R(40)), 65534);
    EXPECT_EQ(Port(0).dtr, std::vector<uint32_t>{0});
    LA_TimeAdvance(10999);
    ASSERT_EQ(Scan(), -1);
    EXPECT_EQ(Port(0).tx, "");
    LA_TimeAdvance(1);
    ASSERT_EQ(Scan(), -1);
    EXPECT_EQ(Port(0).tx, "+++");
    EXPECT_EQ(Port(0).dtr, (std::vector<uint32_t>{0, 1}));
    LA_TimeAdvance(14999);
    ASSERT_EQ(Scan(), -1);
    EXPECT_EQ(Port(0).tx, "+++");
    LA_TimeAdvance(1);
    ASSERT_EQ(Scan(), -1);
    EXPECT_EQ(Port(0).tx, "+++ATE0S0=0Q0V0X0&C1&D2\r");
    fake_ports::Feed(0, "ATE0S0=0Q0V0X0&C1&D2\r\n0\r");
    ASSERT_EQ(Scan(), -1);
    ASSERT_EQ(Scan(), -1);
    EXPECT_EQ(Port(0).tx, "+++ATE0S0=0Q0V0X0&C1&D2\rATDT5551234\r");
    fake_ports::Feed(0, "ATDT5551234\r\n1\r");
    Port(0).dcd = 1;
    ASSERT_EQ(Scan(), -1);
    EXPECT_EQ(LT_W(R(40)), 1);
    ASSERT_EQ(Scan(), -1);
    EXPECT_TRUE(LT_Bit(M16(20)));
    Port(0).dcd = 0;
    ASSERT_EQ(Scan(), -1);
    EXPECT_FALSE(LT_Bit(M16(20)));
    // Enable off: the line drops for 250 ms, the status is idle.
    Port(0).dtr.clear();
    LT_SetBit(M16(2), false);
    ASSERT_EQ(Scan(), -1);
    EXPECT_EQ(LT_W(R(40)), 65535);
    EXPECT_EQ(Port(0).dtr, std::vector<uint32_t>{0});
    LA_TimeAdvance(2499);
    ModemHangupPoll();
    EXPECT_EQ(Port(0).dtr, std::vector<uint32_t>{0});
    LA_TimeAdvance(1);
    ModemHangupPoll();
    EXPECT_EQ(Port(0).dtr, (std::vector<uint32_t>{0, 1}));
    // A new request is taken: nothing was left busy.
    LT_SetBit(M16(2), true);
    ASSERT_EQ(Scan(), -1);
    EXPECT_EQ(LT_W(R(40)), 65534);
}

// A dialled call on a numeric modem: the first byte received starts the
// 15-minute idle time, each later one starts it again; when it runs out the
// call ends (status 4, the block's output drops).
TEST_F(MsgTest, ANumericDialledCallEndsAfterFifteenIdleMinutes) {
    LadAsm a = ModemProgram(1, "5551234");
    ASSERT_EQ(Run(a), -1);
    NotFirst();
    ModemPastItsInitialisation();
    ASSERT_EQ(Port(0).tx, "+++ATE0S0=0Q0V0X0&C1&D2\rATDT5551234\r");
    fake_ports::Feed(0, "ATDT5551234\r\n1\r");
    Port(0).dcd = 1;
    ASSERT_EQ(Scan(), -1);
    ASSERT_EQ(Scan(), -1);
    ASSERT_EQ(LT_W(R(40)), 1);
    ASSERT_TRUE(LT_Bit(M16(20)));
    fake_ports::Feed(0, "x");
    ASSERT_EQ(Scan(), -1);
    Port(0).rx.clear();  // the program's receive block took it
    LA_TimeAdvance(5000000);
    fake_ports::Feed(0, "y");
    ASSERT_EQ(Scan(), -1);
    Port(0).rx.clear();
    LA_TimeAdvance(8999999);
    ASSERT_EQ(Scan(), -1);
    EXPECT_TRUE(LT_Bit(M16(20)));
    EXPECT_EQ(LT_W(R(40)), 1);
    LA_TimeAdvance(1);
    ASSERT_EQ(Scan(), -1);
    ASSERT_EQ(Scan(), -1);
    EXPECT_FALSE(LT_Bit(M16(20)));
    EXPECT_EQ(LT_W(R(40)), 4);
}

// A numeric modem's dialled call that loses its carrier: the line drops
// (DTR off), and the modem's next word ends the call: "3" (NO CARRIER) gives
// status 3, silence for 10 s gives 65533, any other word 4; the line is
// raised again.
TEST_F(MsgTest, ANumericCallThatLosesItsCarrierEndsWithTheModemsWord) {
    const struct {
        const char *answer;  // nullptr: none within 10 s
        uint16_t status;
    } rows[] = {{"3\r", 3}, {nullptr, 65533}, {"0\r", 4}};
    for (const auto &row : rows) {
        SetUp();
        LadAsm a = ModemProgram(1, "5551234");
        ASSERT_EQ(Run(a), -1);
        NotFirst();
        ModemPastItsInitialisation();
        fake_ports::Feed(0, "ATDT5551234\r\n1\r");
        Port(0).dcd = 1;
        ASSERT_EQ(Scan(), -1);
        ASSERT_EQ(Scan(), -1);
        ASSERT_EQ(LT_W(R(40)), 1);
        ASSERT_TRUE(LT_Bit(M16(20)));
        Port(0).dtr.clear();
        Port(0).dcd = 0;
        ASSERT_EQ(Scan(), -1);
        EXPECT_FALSE(LT_Bit(M16(20)));
        EXPECT_EQ(Port(0).dtr, std::vector<uint32_t>{0});
        EXPECT_EQ(LT_W(R(40)), 1);
        if (row.answer) {
            fake_ports::Feed(0, row.answer);
        } else {
            LA_TimeAdvance(99999);
            ASSERT_EQ(Scan(), -1);
            EXPECT_EQ(LT_W(R(40)), 1);
            LA_TimeAdvance(1);
        }
        ASSERT_EQ(Scan(), -1);
        ASSERT_EQ(Scan(), -1);
        EXPECT_EQ(LT_W(R(40)), row.status) << (row.answer ? row.answer : "none");
        EXPECT_EQ(Port(0).dtr, (std::vector<uint32_t>{0, 1})) << (row.answer ? row.answer : "none");
        EXPECT_FALSE(LT_Bit(M16(20)));
    }
}

// The IEC dial request with a length word of 1024 or more: the number is
// read from the registers at that bit address (R80 here, up to its zero).
// A ladder initialisation string of 60 characters goes out whole.
TEST_F(MsgTest, DialNumbersFromRegistersAndLongInitialisationStrings) {
    Port(0).mode = {5, 0, 3, 0, 0, 2};
    NotFirst();
    std::array<uint8_t, 64> rec{};
    LE_Put16(&rec[2], 1);
    LE_Put16(&rec[8], uint16_t(R(80)));
    std::memcpy(&rec[10], "999", 3);  // not the number
    PutText(R(80), "5551234");
    LT_SetW(R(84), 0);
    EXPECT_EQ(Z7TalkModem(rec.data(), 1), 0u);
    EXPECT_EQ(LE_Get16(&rec[4]), 65534);
    LA_TimeAdvance(11000);
    Z7TalkModem(rec.data(), 1);
    LA_TimeAdvance(15000);
    Z7TalkModem(rec.data(), 1);
    fake_ports::Feed(0, "0\r");
    Z7TalkModem(rec.data(), 1);
    Z7TalkModem(rec.data(), 1);
    EXPECT_EQ(Port(0).tx, "+++ATE0S0=0Q0V0X0&C1&D2\rATDT5551234\r");

    SetUp();
    const std::string init = "S7=60" + std::string(55, 'L');  // 60 characters
    LadAsm a = ModemProgram(0, init.c_str());
    ASSERT_EQ(Run(a), -1);
    NotFirst();
    ModemPastItsInitialisation();
    EXPECT_EQ(Port(0).tx, "+++ATE0S0=0Q0V0X0&C1&D2\rAT" + init + "\r");
    fake_ports::Feed(0, "0\r");
    ASSERT_EQ(Scan(), -1);
    ASSERT_EQ(Scan(), -1);
    EXPECT_EQ(LT_W(R(40)), 0);
}

// A modem block whose status register lies below register word 1024 (a %M
// word here, word index 842): the status is written there like anywhere.
TEST_F(MsgTest, AModemStatusWordBelowWord1024IsWritten) {
    constexpr uint32_t kStatus = 14336 + 16 * 10;  // %M161..176 as one word
    constexpr uint32_t kWord = (kStatus - 1024) / 16;
    LadAsm a(true);
    a.contact(LT_ON);
    OpenOp(a, {5, 0, 3, 0, 0, 2});
    a.coil(M16(11));
    a.contact(M16(2)).op(136).word(0).word(1).reg(kStatus).word(7);
    a.word(uint16_t('5' | '5' << 8)).word(uint16_t('5' | '1' << 8)).word(uint16_t('2' | '3' << 8)).word('4');
    a.coil(M16(20)).end();
    PlcWordSet(kWord, 0x1234);
    ASSERT_EQ(Run(a), -1);
    EXPECT_EQ(PlcWord(kWord), 0xFFFF);  // the first scan
    NotFirst();
    LT_SetBit(M16(2), true);
    ASSERT_EQ(Scan(), -1);
    EXPECT_EQ(PlcWord(kWord), 65534);
    LT_SetBit(M16(2), false);
    ASSERT_EQ(Scan(), -1);
    EXPECT_EQ(PlcWord(kWord), 65535);
    ASSERT_EQ(Scan(), -1);
    LT_SetBit(M16(2), true);
    ASSERT_EQ(Scan(), -1);
    EXPECT_EQ(PlcWord(kWord), 65534);
}

// Answering on a numeric modem: a RING gives status 2 and 30 s for the
// CONNECT; without it the wait ends with status 3.
TEST_F(MsgTest, ARingWithoutConnectEndsAfterThirtySeconds) {
    LadAsm a = ModemProgram(2, "");
    ASSERT_EQ(Run(a), -1);
    NotFirst();
    ModemPastItsInitialisation();
    ASSERT_EQ(Port(0).tx, "+++ATE0S0=0Q0V0X0&C1&D2\rATS0=001\r");
    fake_ports::Feed(0, "0\r");
    ASSERT_EQ(Scan(), -1);
    ASSERT_EQ(Scan(), -1);
    fake_ports::Feed(0, "2\r");
    ASSERT_EQ(Scan(), -1);
    EXPECT_EQ(LT_W(R(40)), 2);
    LA_TimeAdvance(299999);
    ASSERT_EQ(Scan(), -1);
    EXPECT_EQ(LT_W(R(40)), 2);
    LA_TimeAdvance(1);
    ASSERT_EQ(Scan(), -1);
    EXPECT_EQ(LT_W(R(40)), 3);
    EXPECT_FALSE(LT_Bit(M16(20)));
}

// A call dialled and connected, then a close block: the port goes back to
// the command protocol over the call, which stays up (no DTR drop, status
// still 1).
TEST_F(MsgTest, ACloseKeepsAnEstablishedCall) {
    LadAsm a = ModemProgram(1, "5551234");
    a.w.pop_back();  // the END
    a.contact(M16(3)).op(135).word(0).coil(M16(13)).end();
    ASSERT_EQ(Run(a), -1);
    NotFirst();
    ModemPastItsInitialisation();
    ASSERT_EQ(Port(0).tx, "+++ATE0S0=0Q0V0X0&C1&D2\rATDT5551234\r");
    fake_ports::Feed(0, "ATDT5551234\r\n1\r");
    Port(0).dcd = 1;
    ASSERT_EQ(Scan(), -1);
    ASSERT_EQ(Scan(), -1);
    ASSERT_EQ(LT_W(R(40)), 1);
    ASSERT_TRUE(LT_Bit(M16(20)));
    Port(0).dtr.clear();
    LT_SetBit(M16(3), true);
    ASSERT_EQ(Scan(), -1);
    EXPECT_TRUE(LT_Bit(M16(13)));
    EXPECT_EQ(Port(0).dtr, std::vector<uint32_t>{});
    EXPECT_EQ(LT_W(R(40)), 1);
    EXPECT_EQ(modem.busy, 1);
    LA_TimeAdvance(10000);
    ModemHangupPoll();
    EXPECT_EQ(Port(0).dtr, std::vector<uint32_t>{});
}

TEST_F(MsgTest, ModemInitStringTimeOutAndUnknownKind) {
    struct Row {
        const char *what;
        const char *answer;  // nullptr: none within 10 s
        uint16_t status;
        bool power;
    };
    const Row rows[] = {{"init string OK", "0\r", 0, true},
                        {"init string error", "4\r", 4, false},
                        {"no answer", nullptr, 65533, false}};
    for (const Row &r : rows) {
        SetUp();
        LadAsm a = ModemProgram(0, "AT&F");
        ASSERT_EQ(Run(a), -1);
        NotFirst();
        ModemPastItsInitialisation();
        EXPECT_EQ(Port(0).tx, "+++ATE0S0=0Q0V0X0&C1&D2\rATAT&F\r") << r.what;
        if (r.answer) {
            fake_ports::Feed(0, r.answer);
            ASSERT_EQ(Scan(), -1);
        } else {
            LA_TimeAdvance(1199999);
            ASSERT_EQ(Scan(), -1);
            EXPECT_EQ(LT_W(R(40)), 65534) << r.what;
            LA_TimeAdvance(1);
            ASSERT_EQ(Scan(), -1);
        }
        ASSERT_EQ(Scan(), -1);
        EXPECT_EQ(LT_W(R(40)), r.status) << r.what;
        EXPECT_EQ(LT_Bit(M16(20)), r.power) << r.what;
    }
    // No answer to the initialisation string within 10 s.
    SetUp();
    LadAsm b = ModemProgram(2, "");
    ASSERT_EQ(Run(b), -1);
    NotFirst();
    LT_SetBit(M16(2), true);
    ASSERT_EQ(Scan(), -1);
    LA_TimeAdvance(11000);
    ASSERT_EQ(Scan(), -1);
    LA_TimeAdvance(15000);
    ASSERT_EQ(Scan(), -1);
    LA_TimeAdvance(100000);
    ASSERT_EQ(Scan(), -1);
    EXPECT_EQ(LT_W(R(40)), 65533);
    // Kind 3 stops the program at the kind word.
    SetUp();
    LadAsm c(true);
    c.contact(LT_ON).op(136).word(0).word(3).reg(R(40)).coil(M16(20)).end();
    const int32_t at = Run(c);
    EXPECT_EQ(at, 3);
}

TEST_F(MsgTest, AnswerSendsThreeDigitRingCountAndACloseKeepsTheRequest) {
    LadAsm a = ModemProgram(2, "");
    a.w.pop_back();  // the END
    a.contact(M16(3)).op(135).word(0).coil(M16(13)).end();
    ASSERT_EQ(Run(a), -1);
    NotFirst();
    ModemPastItsInitialisation();
    EXPECT_EQ(Port(0).tx, "+++ATE0S0=0Q0V0X0&C1&D2\rATS0=001\r");
    EXPECT_EQ(modem.busy, 1);
    // A close gives the port back to the command protocol and leaves the
    // request as it is: the call it waits for is the command protocol's.
    Port(0).dtr.clear();
    LT_SetBit(M16(3), true);
    ASSERT_EQ(Scan(), -1);
    EXPECT_TRUE(LT_Bit(M16(13)));
    EXPECT_EQ(modem.busy, 1);
    EXPECT_EQ(LT_W(R(40)), 65534);
    EXPECT_EQ(Port(0).dtr, std::vector<uint32_t>{});
    // The block's enable that falls once the port is the program's again
    // stops the request, so its next rise starts a new one.
    SetUp();
    LadAsm b(true);
    b.contact(M16(1));
    OpenOp(b, {5, 0, 3, 0, 0, 2});
    b.coil(M16(11));
    b.contact(M16(2)).op(136).word(0).word(2).reg(R(40)).coil(M16(20));
    b.contact(M16(3)).op(135).word(0).coil(M16(13)).end();
    ASSERT_EQ(Run(b), -1);
    NotFirst();
    LT_SetBit(M16(1), true);
    ModemPastItsInitialisation();
    EXPECT_EQ(modem.busy, 1);
    LT_SetBit(M16(3), true);
    ASSERT_EQ(Scan(), -1);
    EXPECT_EQ(LT_W(R(40)), 65534);
    LT_SetBit(M16(3), false);
    LT_SetBit(M16(1), false);
    ASSERT_EQ(Scan(), -1);
    LT_SetBit(M16(1), true);
    ASSERT_EQ(Scan(), -1);
    EXPECT_TRUE(LT_Bit(M16(11)));  // the port is the program's again
    LT_SetBit(M16(2), false);
    ASSERT_EQ(Scan(), -1);
    LT_SetBit(M16(2), true);
    ASSERT_EQ(Scan(), -1);
    EXPECT_EQ(LT_W(R(40)), 65534);
    EXPECT_EQ(modem.busy, 1);
}

namespace {
// Word index one past the register image (109176 bytes) and its operand.
constexpr uint32_t kPastWords = 109176 / 2;
constexpr uint32_t kPastOp = 1024 + 16 * kPastWords;
}  // namespace

// Operands and texts at the edges of the image and of the program stream.
TEST_F(MsgTest, PortBlockOperandsAtTheEdgesOfTheImage) {
    // Receive of 255 bytes starts (its progress word goes to 0).
    {
        LadAsm a(true);
        a.contact(LT_ON);
        OpenOp(a, {5, 0, 3, 0, 0, 2});
        a.coil(M16(11));
        a.contact(M16(1)).op(134).word(0).word(255).reg(R(30)).reg(R(21)).coil(M16(12)).end();
        ASSERT_EQ(Run(a), -1);
        NotFirst();
        EXPECT_EQ(LT_W(R(21)), 0xFFFF);
        LT_SetBit(M16(1), true);
        ASSERT_EQ(Scan(), -1);
        EXPECT_EQ(LT_W(R(21)), 0);
    }
    // A pointer to the image's last byte sends it; a count read from word
    // 1024 is a register's.
    {
        SetUp();
        LadAsm a(true);
        a.contact(LT_ON);
        OpenOp(a, {5, 0, 3, 0, 0, 2});
        a.coil(M16(11));
        a.contact(M16(1)).op(394).word(1).word(0).reg(1).reg(R(80)).reg(R(22)).coil(M16(12));
        a.contact(M16(2)).op(133).word(0).reg(1024 + 16 * 1024).reg(R(10)).reg(R(23)).coil(M16(13)).end();
        ASSERT_EQ(Run(a), -1);
        NotFirst();
        plc_reg[109175] = 'Z';
        LT_SetD(R(80), 109175);
        LT_SetBit(M16(1), true);
        ASSERT_EQ(Scan(), -1);
        EXPECT_EQ(Port(0).tx, "Z");
        EXPECT_TRUE(LT_Bit(M16(12)));
        PutText(R(10), "HELLO");
        PlcWordSet(1024, 1);
        LT_SetBit(M16(2), true);
        ASSERT_EQ(Scan(), -1);
        EXPECT_EQ(Port(0).tx, "ZH");
        EXPECT_TRUE(LT_Bit(M16(13)));
        plc_reg[109175] = 0;
        PlcWordSet(1024, 0);
    }
    // 32-bit operands one word past the image: a count there is 0, a
    // progress word there and a pointer that would end there are refused.
    {
        SetUp();
        LadAsm a(false);
        a.contact(LT_ON);
        OpenOp(a, {5, 0, 3, 0, 0, 2});
        a.coil(M16(11));
        a.contact(M16(1)).op(133).word(0).dword(kPastOp).dword(R(10)).dword(R(24)).coil(M16(12));
        a.contact(M16(1)).op(133).word(0).dword(1).dword(R(10)).dword(kPastOp).coil(M16(13));
        a.contact(M16(1)).op(394).word(1).word(0).dword(1).dword(kPastOp - 16).dword(R(26)).coil(M16(14)).end();
        PutText(R(10), "HELLO");
        ASSERT_EQ(Run(a), -1);
        NotFirst();
        LT_SetBit(M16(1), true);
        ASSERT_EQ(Scan(), -1);
        EXPECT_TRUE(LT_Bit(M16(12)));
        EXPECT_EQ(LT_W(R(24)), 0);
        EXPECT_FALSE(LT_Bit(M16(13)));
        EXPECT_FALSE(LT_Bit(M16(14)));
        EXPECT_EQ(LT_W(R(26)), 0xFFFF);
        EXPECT_EQ(Port(0).tx, "");
    }
}

// The modem block: its status word inside the image, the port mode it
// needs, and an inline text of 1023 bytes.
TEST_F(MsgTest, ModemBlockStatusWordModeAndLongText) {
    struct Row {
        const char *what;
        bool l16;
        uint32_t status;
        uint8_t busy;
    };
    const Row rows[] = {{"status register", true, R(40), 1}, {"status past the image", false, kPastOp, 0}};
    for (const Row &r : rows) {
        SetUp();
        LadAsm a(r.l16);
        a.contact(M16(2)).op(136).word(0).word(0).refconst(r.status).word(4).word(uint16_t('A' | 'T' << 8));
        a.word(uint16_t('&' | 'F' << 8)).coil(M16(20)).end();
        Port(0).mode = {5, 0, 3, 0, 0, 2};  // mode 2 set by the host, no open block
        ASSERT_EQ(Run(a), -1) << r.what;
        NotFirst();
        LT_SetBit(M16(2), true);
        ASSERT_EQ(Scan(), -1) << r.what;
        EXPECT_EQ(modem.busy, r.busy) << r.what;
    }
    SetUp();
    LadAsm a(true);
    a.contact(LT_ON);
    OpenOp(a, {5, 0, 3, 0, 0, 2});
    a.coil(M16(11));
    a.contact(LT_ON).op(136).word(0).word(1).reg(R(40)).word(1023);
    for (unsigned i = 0; i < 512; i++) a.word(0x3131);
    a.coil(M16(20));
    a.contact(LT_ON).coil(M16(30)).end();
    ASSERT_EQ(Run(a), -1);
    EXPECT_TRUE(LT_Bit(M16(30)));
}

// Port blocks whose operands reach the end of the program stream.
TEST_F(MsgTest, PortBlocksAtTheEndOfTheStream) {
    RegTokLen_16b = 1;
    auto words = [](std::initializer_list<uint16_t> w) {
        std::vector<uint8_t> b;
        for (uint16_t v : w) b.push_back(uint8_t(v)), b.push_back(uint8_t(v >> 8));
        b.shrink_to_fit();  // a read past the words is seen
        return b;
    };
    // Close with no port word left.
    std::vector<uint8_t> c = words({0});
    LadCursor pc{c.data(), 0, 0, 0};
    EXPECT_EQ(TalkClose(&pc, 1), 0u);
    EXPECT_EQ(pc.bad, 1);
    EXPECT_EQ(pc.pos, 0u);
    // Modem text whose last word is the stream's last.
    c = words({0, 0, uint16_t(R(40)), 2, uint16_t('A' | 'T' << 8)});
    pc = LadCursor{c.data(), 0, 5, 0};
    EXPECT_EQ(TalkModem(&pc, 0), 0u);
    EXPECT_EQ(pc.bad, 0);
    EXPECT_EQ(pc.pos, 5u);
    // Modbus operands without an extension: nothing is read past them.
    c = words({0, 1, 0, 3, uint16_t(R(40)), uint16_t(R(50))});
    pc = LadCursor{c.data(), 0, 6, 0};
    TalkModbus(&pc, 0);
    EXPECT_EQ(pc.bad, 0);
    EXPECT_EQ(pc.pos, 6u);
    pc = LadCursor{c.data(), 0, 6, 0};
    IEC_TalkModbus(&pc, 0);
    EXPECT_EQ(pc.bad, 0);
    EXPECT_EQ(pc.pos, 6u);
    // IEC extension: its marker last, its count words filling the stream,
    // one word short, and none.
    struct Row {
        std::vector<uint8_t> code;
        uint8_t bad;
        uint32_t pos;
    };
    const Row rows[] = {
        {words({0, 1, 0, 3, uint16_t(R(40)), uint16_t(R(50)), 1023}), 1, 7},
        {words({0, 1, 0, 3, uint16_t(R(40)), uint16_t(R(50)), 1023, 2, 0, 0}), 0, 10},
        {words({0, 1, 0, 3, uint16_t(R(40)), uint16_t(R(50)), 1023, 2, 0}), 1, 9},
        {words({0, 1, 0, 3, uint16_t(R(40)), uint16_t(R(50)), 1023, 0}), 0, 8},
    };
    for (const Row &r : rows) {
        std::vector<uint8_t> k = r.code;
        pc = LadCursor{k.data(), 0, uint32_t(k.size() / 2), 0};
        IEC_TalkModbus(&pc, 0);
        EXPECT_EQ(pc.bad, r.bad) << k.size() / 2;
        EXPECT_EQ(pc.pos, r.pos) << k.size() / 2;
    }
    // An extension of 6 words: forward table and write-protect register
    // are its last four words; the slave starts (its data area at R80,
    // named by R40).
    Port(0).mode = {5, 0, 3, 0, 0, 3};
    LT_SetW(R(40), uint16_t(R(80)));
    c = words({0, 1, 0, 3, uint16_t(R(40)), uint16_t(R(50)), 1023, 6, 1, 0, uint16_t(R(60)), 0, uint16_t(R(70)), 0});
    pc = LadCursor{c.data(), 0, 14, 0};
    IEC_TalkModbus(&pc, 1);
    EXPECT_EQ(pc.pos, 14u);
    EXPECT_EQ(Talk.modbus_started, 1);
    // The engine's record: station 1, time-out 0, the constant control 3,
    // the data area at R80 (through R40), the status word R50, the two
    // extension words, the forward table R60 and the write protection R70.
    const ModbusParm &mp = pcb[0].parm;
    EXPECT_EQ(mp.station, 1);
    EXPECT_EQ(mp.timeout, 0);
    ASSERT_NE(mp.control, nullptr);
    EXPECT_EQ(LE_Get16(mp.control), 3);
    EXPECT_EQ(mp.data, PlcReg_Ptr(R(80), 16));
    EXPECT_EQ(mp.status, PlcReg_Ptr(R(50), 16));
    EXPECT_EQ(mp.ext[0], 6);
    EXPECT_EQ(mp.ext[1], 1);
    EXPECT_EQ(mp.forward, PlcReg_Ptr(R(60), 16));
    EXPECT_EQ(mp.write_protect, uint32_t(R(70)));
    EXPECT_EQ(pcb[0].state, ModState::kSlave);
}

// A ladder Modbus master triggered by a bit of its control word above bit 7:
// the bit is read from the word the operand names. The request (station 1,
// read exception status) goes out as 01 07 41 E2 once the bit is set.
TEST_F(MsgTest, AMasterTriggerBitOfTheHighByteStartsItsRequest) {
    RegTokLen_16b = 1;
    auto words = [](std::initializer_list<uint16_t> w) {
        std::vector<uint8_t> b;
        for (uint16_t v : w) b.push_back(uint8_t(v)), b.push_back(uint8_t(v >> 8));
        return b;
    };
    for (const uint32_t bit : {0u, 9u, 15u}) {
        SetUp();
        Port(0).mode = {5, 0, 3, 0, 0, 3};
        const uint16_t req[6] = {1, 7, 0, 8, 72, 0};  // into %Q1..8
        for (unsigned i = 0; i < 6; i++) LT_SetW(R(60 + i), req[i]);
        LT_SetW(R(40), 0);
        LT_SetW(R(41), 0);
        std::vector<uint8_t> c = words({0, 0, 0, uint16_t(R(40) + bit), uint16_t(R(60)), uint16_t(R(50))});
        LadCursor pc{c.data(), 0, 6, 0};
        TalkModbus(&pc, 1);
        EXPECT_EQ(Talk.modbus_started, 1) << bit;
        EXPECT_EQ(Port(0).tx, "") << bit;
        LT_SetW(R(40), uint16_t(1u << bit));
        for (int k = 0; k < 3; k++) {
            pc = LadCursor{c.data(), 0, 6, 0};
            TalkModbus(&pc, 1);
        }
        EXPECT_EQ(Port(0).tx, std::string("\x01\x07\x41\xE2", 4)) << bit << " status " << LT_W(R(50));
    }
}

// The extended form takes its data area from the bit address held in the
// register its operand names: the request stands at R70, R40 points there.
TEST_F(MsgTest, TheExtendedModbusFormTakesItsDataAreaThroughItsRegister) {
    auto words = [](std::initializer_list<uint16_t> w) {
        std::vector<uint8_t> b;
        for (uint16_t v : w) b.push_back(uint8_t(v)), b.push_back(uint8_t(v >> 8));
        return b;
    };
    Port(0).mode = {5, 0, 3, 0, 0, 3};
    const uint16_t req[6] = {1, 7, 0, 8, 72, 0};  // into %Q1..8
    for (unsigned i = 0; i < 6; i++) LT_SetW(R(70 + i), req[i]);
    LT_SetW(R(40), uint16_t(R(70)));
    LT_SetW(R(30), 0);
    std::vector<uint8_t> c = words({0, 0, 0, uint16_t(R(30)), uint16_t(R(40)), uint16_t(R(50))});
    LadCursor pc{c.data(), 0, 6, 0};
    IEC_TalkModbus(&pc, 1);
    EXPECT_EQ(Talk.modbus_started, 1);
    LT_SetW(R(30), 1);
    for (int k = 0; k < 3; k++) {
        pc = LadCursor{c.data(), 0, 6, 0};
        IEC_TalkModbus(&pc, 1);
    }
    EXPECT_EQ(Port(0).tx, std::string("\x01\x07\x41\xE2", 4));
    // A register that names no register refuses the block.
    SetUp();
    Port(0).mode = {5, 0, 3, 0, 0, 3};
    LT_SetW(R(40), 100);
    pc = LadCursor{c.data(), 0, 6, 0};
    EXPECT_EQ(IEC_TalkModbus(&pc, 1), 0u);
    EXPECT_EQ(Talk.modbus_started, 0);
}

// IEC send and receive: a transfer continued with a larger count stops at
// the end of the buffer it started with, on the serial line and on the
// module's data socket; a count of 255 starts.
TEST_F(MsgTest, IecTransferKeepsToItsBuffer) {
    const uint32_t blk = Z7Mem_Alloc(64);
    ASSERT_NE(blk, 0u);
    uint8_t *rec = Z7Mem_Ptr(blk, 64);
    const uint32_t buf = blk + 16, prog = blk + 32;
    auto Rec = [&](uint16_t count) {
        const uint16_t w[6] = {0, count, uint16_t(buf >> 16), uint16_t(buf), uint16_t(prog >> 16), uint16_t(prog)};
        for (unsigned i = 0; i < 6; i++) LE_Put16(rec + 2 * i, w[i]);
        return rec;
    };
    uint8_t *const p = Z7Mem_Ptr(prog, 2);
    uint8_t *const b = Z7Mem_Ptr(buf, 8);
    const AtStatus saved_at = at_status;
    Talk.opened = 1;
    Port(0).mode = {5, 0, 3, 0, 0, 2};
    NotFirst();
    for (bool socket : {false, true}) {
        SocketInfo &s = socket_info_st[0];
        s = SocketInfo{};
        TelitPowerON = socket ? 1 : 0;
        at_status.port = 0;
        s.state = 6;
        std::memcpy(b, "ABCDEFGH", 8);
        LE_Put16(p, 0xFFFF);
        EXPECT_EQ(Z7TalkSend(Rec(2), 1), 1u) << socket;
        EXPECT_EQ(Z7TalkSend(Rec(5), 1), 0u) << socket;
        EXPECT_EQ(LE_Get16(p), 2) << socket;
        EXPECT_EQ(Port(0).tx, socket ? "" : "AB") << socket;
        EXPECT_EQ(s.tx_len, socket ? 2 : 0) << socket;
        // Receive: five bytes wait, two are taken, then no more.
        if (socket) {
            std::memcpy(s.data.data(), "VWXYZ", 5);
            s.unread = 5;
        } else {
            fake_ports::Feed(0, "VWXYZ");
        }
        LE_Put16(p, 0xFFFF);
        EXPECT_EQ(Z7TalkReceive(Rec(2), 1), 1u) << socket;
        EXPECT_EQ(Z7TalkReceive(Rec(5), 1), 0u) << socket;
        EXPECT_EQ(std::memcmp(b, "VWCDEFGH", 8), 0) << socket;
        EXPECT_EQ(socket ? s.unread : Port(0).rx.size(), 3u) << socket;
        Port(0).rx.clear();
        s.unread = 0;
        LE_Put16(p, 0xFFFF);
        EXPECT_EQ(Z7TalkReceive(Rec(255), 1), 0u) << socket;
        EXPECT_EQ(LE_Get16(p), 0) << socket;
        Port(0).tx.clear();
    }
    socket_info_st = {};
    TelitPowerON = 0;
    at_status = saved_at;
    Z7Mem_Free(blk);
}

// A verbose modem's response line holds 95 characters; an information line
// of 48 characters or more is dropped, a shorter one stays before the result.
TEST_F(MsgTest, VerboseResponseLineLimits) {
    GsmModem = 1;
    struct Row {
        std::string in;
        uint32_t code;
        std::string resp;
    };
    const Row rows[] = {
        {std::string(93, ' ') + "OK\r", 0, std::string(93, ' ') + "OK"},
        {std::string(94, ' ') + "OK\r", 65534, std::string(94, ' ') + "O"},
        {std::string(47, 'x') + "\rOK\r", 0, std::string(47, 'x') + "\rOK"},
        {std::string(48, 'x') + "\rOK\r", 0, "OK"},
    };
    for (const Row &r : rows) {
        modem = ModemRec{};
        fake_ports::Feed(0, r.in);
        EXPECT_EQ(GetResult(0), r.code) << r.in.size();
        EXPECT_EQ(std::string(modem.resp.data()), r.resp) << r.in.size();
    }
    GsmModem = 0;
}

// A dial length of 1024 or more takes the number from the register operand.
TEST_F(MsgTest, ModemDialsANumberFromRegisters) {
    LadAsm a(true);
    a.contact(LT_ON);
    OpenOp(a, {5, 0, 3, 0, 0, 2});
    a.coil(M16(11));
    a.contact(M16(2)).op(136).word(0).word(1).reg(R(40)).word(1024).reg(R(60)).coil(M16(20)).end();
    ASSERT_EQ(Run(a), -1);
    NotFirst();
    PutText(R(60), "5551234");
    ModemPastItsInitialisation();
    EXPECT_EQ(Port(0).tx, "+++ATE0S0=0Q0V0X0&C1&D2\rATDT5551234\r");
    // A phone number read from registers ends at a '.', as at a blank.
    SetUp();
    ASSERT_EQ(Run(a), -1);
    NotFirst();
    PutText(R(60), "555.1234");
    ModemPastItsInitialisation();
    EXPECT_EQ(Port(0).tx, "+++ATE0S0=0Q0V0X0&C1&D2\rATDT555\r");
}

// On the cellular option board the dial text is an address with its port;
// an octet above 255 or a port above 65535 names no address (cut to 8 or 16
// bits it would reach another host or port), nor does a dial text of fewer
// than four octets (it would dial 0.0.0.0): the request ends with status 4,
// asks for no socket and leaves Modbus framing off. 65535 is a port, and no
// port at all is 1001. An address held in registers is read through its
// dots; an answer needs no address and listens on 1001.
TEST_F(MsgTest, OptionBoardDialTextsOutOfRangeAreRefused) {
    io_init[1] = 0x6F0F;
    const AtStatus saved = at_status;
    const struct {
        const char *text;
        uint16_t status;
        uint8_t state;
        uint16_t port;
        uint32_t ip;
        bool regs = false;
        uint16_t kind = 1;
        uint8_t flags = SOCKF_DIAL | SOCKF_KEEP;
    } rows[] = {
        {"10.77.0.3/65535", 65534, 1, 65535, 0x0A4D0003u},
        {"10.77.0.3", 65534, 1, 1001, 0x0A4D0003u},
        {"10.77.0.3/65536", 4, 0, 0, 0},
        {"10.77.0.3/70000", 4, 0, 0, 0},
        {"10.77.256.3/5000", 4, 0, 0, 0},
        {"300.77.0.3/5000", 4, 0, 0, 0},
        {"10.77.0.3/99999999999", 4, 0, 0, 0},
        {"10.77.0.3/5000", 65534, 1, 5000, 0x0A4D0003u, true},
        {"10.77.0/5000", 4, 0, 0, 0},
        {"10.77.0/5000", 4, 0, 0, 0, true},
        {"", 4, 0, 0, 0},
        {"", 65534, 1, 1001, 0, false, 2, SOCKF_KEEP},
    };
    for (const auto &row : rows) {
        modem = ModemRec{};
        ModbusTCP_St = ModbusTcpState{};
        ModemReq r{};
        r.kind = row.kind;
        r.status = 200;
        r.length = uint16_t(std::strlen(row.text));
        std::memcpy(r.text.data(), row.text, r.length);
        if (row.regs) {
            for (unsigned i = 0; i < 20; i++) LT_SetW(R(60 + i), 0);
            PutText(R(60), row.text);
            r.length = 1024;
            r.text_ref = R(60);
        }
        ASSERT_EQ(ModemStart(0, r), 1u);
        at_status = AtStatus{};
        at_status.status = 3;  // the module is set up, its context active
        socket_info_st[0] = SocketInfo{};
        for (int i = 0; i < 3; i++) ModemExecute(0, row.kind);
        EXPECT_EQ(PlcWord(200), row.status) << row.text << " regs " << row.regs;
        EXPECT_EQ(socket_info_st[0].state, row.state) << row.text << " regs " << row.regs;
        EXPECT_EQ(socket_info_st[0].port, row.port) << row.text << " regs " << row.regs;
        EXPECT_EQ(socket_info_st[0].ip, row.ip) << row.text << " regs " << row.regs;
        EXPECT_EQ(socket_info_st[0].flags, row.state ? row.flags : 0) << row.text << " regs " << row.regs;
        EXPECT_EQ(ModbusTCP_St.flags & 1, row.status == 4 ? 0 : 1) << row.text;
        EXPECT_EQ(Port(0).tx, "") << row.text;
        ModemStop(0, row.kind);
    }
    socket_info_st[0] = SocketInfo{};
    at_status = saved;
    io_init[1] = 0;
}
