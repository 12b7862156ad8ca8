// Port and modem blocks against an in-process stand-in of the programming
// port: the mode records the open blocks hand to the driver, the done
// outputs, the bytes SENDCOMM and RCVCOMM move between the port and VM
// arrays, and the AT lines the modem blocks make the modem control send.
#include <array>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "core/image/plcreg.h"
#include "core/storage/memfile.h"
#include "io/io.h"
#include "iec/blocks/blkform.h"
#include "iec/blocks/blkport.h"
#include "iec/vm/z7str.h"
#include "messaging/atcmd.h"
#include "messaging/messaging.h"
#include "messaging/msghooks.h"
#include "messaging/talk.h"
#include "protocols/mbserial.h"
#include "tests/iec/iec_fixture.h"
#include "tests/support/ladder_asm.h"
#include "tests/support/stand_in_port.h"

namespace iec_test {
namespace {

// The programming port: every open recorded, bytes out collected, bytes in
// queued by the test, a transmitter room the test can limit.
struct FakePort {
    std::array<uint8_t, 6> mode{5, 0, 3, 0, 0, 1};
    std::vector<std::array<uint8_t, 6>> opens;
    std::string tx;
    std::deque<uint8_t> rx;
    uint32_t room = 1u << 30;
    uint32_t dcd = 0;
};
FakePort fp;
const std::array<uint8_t, 6> kCmdMode{5, 0, 3, 0, 0, 1};

uint8_t *ModeRec(uint32_t n) { return n == 0 ? fp.mode.data() : nullptr; }
uint32_t Open(uint32_t n, const uint8_t *m) {
    if (n != 0) return 0;
    std::array<uint8_t, 6> r{};
    std::copy(m, m + 6, r.begin());
    fp.opens.push_back(r);
    fp.mode = r;
    return 1;
}
uint32_t CheckRx(uint32_t n) { return n == 0 && !fp.rx.empty() ? 1 : 0; }
void FlushRx(uint32_t) { fp.rx.clear(); }
uint32_t GetRx(uint32_t) {
    if (fp.rx.empty()) return 0;
    const uint8_t b = fp.rx.front();
    fp.rx.pop_front();
    return b;
}
uint32_t CheckTx(uint32_t n) { return n == 0 && fp.room > 0 ? 1 : 0; }
uint32_t PutTx(uint32_t, uint8_t b) {
    fp.tx.push_back(char(b));
    if (fp.room) fp.room--;
    return b;
}
uint32_t PutnTx(uint32_t n, const uint8_t *d, uint32_t k) {
    for (uint32_t i = 0; i < k; i++) PutTx(n, d[i]);
    return k;
}
uint32_t PutsTx(uint32_t n, const char *t) {
    uint32_t k = 0;
    while (t[k]) PutTx(n, uint8_t(t[k++]));
    return k;
}
uint32_t RtuTx(uint32_t) { return 0; }
uint32_t GetDCD(uint32_t) { return fp.dcd; }
uint32_t Enable(uint32_t, uint32_t on) { return on; }
uint32_t InitWait(uint32_t, uint32_t, uint32_t) { return 1; }

using Mode = std::array<uint8_t, 6>;

class BlkPort : public IecTest {
protected:
    uint32_t db = 0;
    uint8_t cmd_override = 0;
    uint32_t saved_lock = 0, saved_host = 0;
    decltype(Vcomm_Drv) saved_drv{};
    void SetUp() override { Boot(0); }
    void Boot(uint32_t ct_bytes) {
        IecTest::SetUp();
        test_support::IecImage img;
        img.ct_alloc = img.ct_used = ct_bytes;
        img.d8 = img.d16 = img.d32 = {63, 63, 0};
        img.str = {4, 4, 0};
        img.string_sizes = {60, 32, 32, 32};
        ASSERT_EQ(Start(img, db), 0u);
        BlkLib_Install();
        PlcRegClear();
        // not a first scan, whatever a runtime started before this test left
        // in the status bits (the register clear keeps them): a first scan
        // takes back the Talk layer's open flag
        plc_reg[SBITS_LO] &= uint8_t(~S_FIRST_SCAN);
        LA_TimeInstall();
        fp = FakePort{};
        saved_drv = Vcomm_Drv;
        Vcomm_Drv.fill(test_support::MsgPortDrv(ModeRec, Open, CheckRx, FlushRx, GetRx, CheckTx, PutTx, PutnTx, PutsTx,
                                                RtuTx, GetDCD, Enable, InitWait));
        saved_lock = Vcomm_Lock;
        saved_host = Vcomm_Host;
        Vcomm_Lock = 0;
        Vcomm_Host = 0;
        msg_hooks.cmd_override = &cmd_override;
        BlkPort_Hooks = BlkPortHooks{Z7TalkOpen, Z7TalkClose, Z7TalkSend, Z7TalkReceive, Z7TalkModem};
        TalkInit();
        TalkOverride = 0;
        TalkModemProtect = 0;
        modem = ModemRec{};
    }
    void TearDown() override {
        BlkPort_Hooks = {};
        Talk = TalkRec{};
        msg_hooks = MsgHooks{};
        Vcomm_Drv = saved_drv;
        Vcomm_Lock = saved_lock;
        Vcomm_Host = saved_host;
        LA_TimeRemove();
        BlkLib_Remove();
        if (db) Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
        IecTest::TearDown();
    }
    uint32_t Call(const char *name, const std::vector<uint16_t> &ops, uint32_t cmd = FB_EXEC) {
        FbHandler h = Z7Blocks_GetProc(Z7Blocks_Find(name));
        EXPECT_NE(h, nullptr) << name;
        return h ? CallHandler(h, db, ops, 0, cmd) : 0xFFFFFFFF;
    }
    void B(uint32_t i, uint8_t v) { Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_D8, i), v); }
    uint8_t B(uint32_t i) { return Z7Mem_Get8(Z7Sec_Elem(db, Z7SEC_D8, i)); }
    void I(uint32_t i, uint16_t v) { Z7Mem_Put16(Z7Sec_Elem(db, Z7SEC_D16, i), v); }
    uint16_t I(uint32_t i) { return Z7Mem_Get16(Z7Sec_Elem(db, Z7SEC_D16, i)); }
    void D(uint32_t i, uint32_t v) { Z7Mem_Put32(Z7Sec_Elem(db, Z7SEC_D32, i), v); }
    void Bytes(uint32_t i, const std::string &s) {
        for (size_t k = 0; k < s.size(); k++) B(i + uint32_t(k), uint8_t(s[k]));
    }
    std::string Bytes(uint32_t i, uint32_t n) {
        std::string s;
        for (uint32_t k = 0; k < n; k++) s.push_back(char(B(i + k)));
        return s;
    }
    // OPENCOMM with enable BOOL 1, port DINT 1, settings DINT 2..8, done BOOL 2.
    void OpenComm(uint8_t en) {
        B(1, en);
        Call("OPENCOMM", {1, 1, 2, 3, 4, 5, 6, 7, 8, 2});
    }
    // A modem block's status until it leaves busy; the AT lines sent so far.
    void Advance(uint32_t ticks) { LA_TimeAdvance(ticks); }
};

TEST_F(BlkPort, OpenSendReceiveCloseAndModemRequests) {
    // Every row answers 1 to command 9 and 0 to command 3 (stateless).
    for (const char *n : {"OPENCOMMREG", "OPENCOMM", "CLOSECOMM", "SENDCOMM", "RCVCOMM", "MODEMSENDINIT",
                          "MODEMAUTODIAL", "MODEMAUTOANSWER", "GPRSCONNECT", "GPRSCONNECTS"}) {
        EXPECT_EQ(Call(n, {}, FB_AVAIL), 1u) << n;
        EXPECT_EQ(Call(n, {}, FB_INSTSIZE), 0u) << n;
        EXPECT_EQ(Call(n, {}, 7), 0u) << n;
    }

    // OPENCOMM: rate, data bits, parity, first extra, second extra, protocol,
    // option -> the record (baud, first extra, data, parity code, second
    // extra, protocol | option << 4); the first extra setting and the parity
    // code apart in every row where it matters.
    struct OpenRow {
        uint32_t rate, data, parity, x1, x2, proto, option;
        Mode want;
    };
    const OpenRow open_rows[] = {
        {38400, 8, 1, 0, 0, 2, 0, {7, 0, 3, 0, 0, 0x02}},    {300, 7, 2, 1, 2, 3, 1, {0, 1, 2, 1, 2, 0x13}},
        {115200, 8, 1, 0, 1, 4, 13, {9, 0, 3, 0, 1, 0xD4}},  {14400, 8, 1, 0, 0, 2, 0, {10, 0, 3, 0, 0, 0x02}},
        {28800, 8, 1, 0, 0, 2, 0, {11, 0, 3, 0, 0, 0x02}},   {10400, 8, 1, 0, 0, 2, 0, {12, 0, 3, 0, 0, 0x02}},
        {12345, 5, 3, 0, 0, 2, 0, {0x39, 0, 5, 3, 0, 0x02}},  // 12345 = 0x3039: low 8 bits
        {9600, 8, 2, 2, 0, 2, 0, {5, 2, 3, 1, 0, 0x02}},      // even parity: first extra 2; parity 2 -> 1
        {9600, 8, 1, 1, 3, 2, 0, {5, 1, 3, 0, 3, 0x02}},      // odd: first extra 1; parity 1 -> 0
        {9601, 9, 0, 0, 0, 2, 0, {0x81, 0, 9, 0, 0, 0x02}},   // 9601 = 0x2581
    };
    for (const OpenRow &r : open_rows) {
        SCOPED_TRACE(r.rate);
        D(1, 0);
        const uint32_t v[] = {r.rate, r.x1, r.data, r.parity, r.x2, r.proto, r.option};
        for (uint32_t k = 0; k < 7; k++) D(2 + k, v[k]);
        const size_t before = fp.opens.size();
        OpenComm(1);
        ASSERT_EQ(fp.opens.size(), before + 1);
        EXPECT_EQ(fp.opens.back(), r.want);
        EXPECT_EQ(B(2), 1);
        EXPECT_EQ(z7protocol, r.proto);
        OpenComm(0);  // owner released, done cleared
        EXPECT_EQ(B(2), 0);
    }
    // Port numbers: 1 is refused by the Talk layer, 65536 never reaches it
    // (it would be port 0 in 16 bits).
    for (uint32_t port : {1u, 65536u, 0xFFFFFFFFu}) {
        D(1, port);
        const size_t before = fp.opens.size();
        OpenComm(1);
        EXPECT_EQ(fp.opens.size(), before) << port;
        EXPECT_EQ(B(2), 0) << port;
        OpenComm(0);
    }

    // Done while held and released: open 38400 mode 2, then close it from
    // CLOSECOMM (enable BOOL 3, port DINT 10, done BOOL 4).
    D(1, 0);
    const uint32_t v38[] = {38400, 0, 8, 1, 0, 2, 0};
    for (uint32_t k = 0; k < 7; k++) D(2 + k, v38[k]);
    OpenComm(1);
    EXPECT_EQ(B(2), 1);
    EXPECT_EQ(Talk.opened, 1);
    OpenComm(1);  // held: the port is in the mode asked for
    EXPECT_EQ(B(2), 1);
    D(10, 0);
    B(3, 1);
    Call("CLOSECOMM", {3, 10, 4});
    EXPECT_EQ(fp.mode, kCmdMode);
    EXPECT_EQ(B(4), 1);
    EXPECT_EQ(Talk.opened, 0);
    OpenComm(1);  // the Talk layer answers 0 while enabled: done kept
    EXPECT_EQ(B(2), 1);
    OpenComm(0);  // released: done cleared
    EXPECT_EQ(B(2), 0);
    B(3, 0);
    Call("CLOSECOMM", {3, 10, 4});
    EXPECT_EQ(B(4), 0);

    // OPENCOMMREG: enable BOOL 5, settings INT 20..27, size literal, done BOOL 6.
    auto reg = [&](std::array<uint16_t, 8> s, uint16_t size) {
        for (uint32_t k = 0; k < 8; k++) I(20 + k, s[k]);
        B(5, 1);
        B(6, 1);  // a refusal writes 0
        Call("OPENCOMMREG", {5, 20, size, 6});
    };
    reg({0, 7, 0, 3, 0, 0, 2, 0}, 8);  // eight elements are enough
    ASSERT_FALSE(fp.opens.empty());
    EXPECT_EQ(fp.opens.back(), (Mode{7, 0, 3, 0, 0, 0x02}));
    EXPECT_EQ(B(6), 1);
    B(5, 0);
    Call("OPENCOMMREG", {5, 20, 8, 6});
    EXPECT_EQ(B(6), 0);
    const size_t opens = fp.opens.size();
    const Mode held = fp.mode;
    struct RegRow {
        const char *what;
        std::array<uint16_t, 8> s;
        uint16_t size;
    };
    const RegRow refused[] = {
        {"baud code 13", {0, 13, 0, 3, 0, 0, 2, 0}, 8},   {"data-bit code 4", {0, 7, 0, 4, 0, 0, 2, 0}, 8},
        {"data-bit code 1", {0, 7, 0, 1, 0, 0, 2, 0}, 8}, {"parity code 2", {0, 7, 0, 3, 2, 0, 2, 0}, 8},
        {"seven elements", {0, 7, 0, 3, 0, 0, 2, 0}, 7},  {"negative baud", {0, 0xFFFF, 0, 3, 0, 0, 2, 0}, 8},
    };
    for (const RegRow &r : refused) {
        reg(r.s, r.size);
        EXPECT_EQ(B(6), 0) << r.what;
        EXPECT_EQ(fp.opens.size(), opens) << r.what;
        EXPECT_EQ(fp.mode, held) << r.what;
        EXPECT_EQ(Talk.open_owner, 0u) << r.what;
    }
    reg({0, 9, 1, 2, 1, 1, 3, 5}, 8);
    EXPECT_EQ(fp.opens.back(), (Mode{9, 1, 2, 1, 1, 0x53}));
    EXPECT_EQ(B(6), 1);
    // Even parity through the first extra setting; the parity code after the data bits.
    B(5, 0);
    Call("OPENCOMMREG", {5, 20, 8, 6});
    reg({0, 5, 2, 3, 0, 0, 2, 0}, 8);
    EXPECT_EQ(fp.opens.back(), (Mode{5, 2, 3, 0, 0, 0x02}));
    EXPECT_EQ(B(6), 1);

    // SENDCOMM: enable BOOL 7, port DINT 11, count INT 30, buffer BYTE 40..47
    // (size 8), status INT 31. Port mode 3 (opened) is enough.
    D(11, 0);
    Bytes(40, std::string("HELLO!!!"));
    I(30, 5);
    I(31, 5);
    B(7, 1);
    const std::vector<uint16_t> send_ops{7, 11, 30, 40, 8, 31};
    fp.room = 2;
    Call("SENDCOMM", send_ops);  // a finished status is no start
    EXPECT_EQ(fp.tx, "");
    EXPECT_EQ(I(31), 5);
    B(7, 0);
    Call("SENDCOMM", send_ops);
    EXPECT_EQ(I(31), 0xFFFF);
    B(7, 1);
    Call("SENDCOMM", send_ops);
    EXPECT_EQ(fp.tx, "HE");
    EXPECT_EQ(I(31), 2);
    fp.room = 100;
    Call("SENDCOMM", send_ops);
    EXPECT_EQ(fp.tx, "HELLO");
    EXPECT_EQ(I(31), 5);
    Call("SENDCOMM", send_ops);  // done: stays
    EXPECT_EQ(fp.tx, "HELLO");
    EXPECT_EQ(I(31), 5);
    TalkInit();  // a program-start reset: a finished transfer is not resumed
    Call("SENDCOMM", send_ops);
    EXPECT_EQ(fp.tx, "HELLO");
    EXPECT_EQ(I(31), 5);
    // A count past the array (9 > 8) moves nothing; 256 neither.
    for (uint16_t c : {9, 256}) {
        B(7, 0);
        Call("SENDCOMM", send_ops);
        B(7, 1);
        I(30, c);
        Call("SENDCOMM", send_ops);
        EXPECT_EQ(fp.tx, "HELLO") << c;
        EXPECT_EQ(I(31), 0xFFFF) << c;
    }
    // Count 0 completes at once.
    I(30, 0);
    Call("SENDCOMM", send_ops);
    EXPECT_EQ(I(31), 0);
    // A forced status word is not written: forced at 5 it neither drops to
    // 0xFFFF without enable nor lets a new transfer start.
    I(30, 5);
    I(31, 5);
    Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_LOCK, 31), 0x02);
    fp.tx.clear();
    for (uint8_t en : {0, 1, 0, 1}) {
        B(7, en);
        Call("SENDCOMM", send_ops);
        EXPECT_EQ(I(31), 5) << int(en);
    }
    EXPECT_EQ(fp.tx, "");
    Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_LOCK, 31), 0x01);  // another slot's lock: written again
    B(7, 0);
    Call("SENDCOMM", send_ops);
    EXPECT_EQ(I(31), 0xFFFF);
    B(7, 1);
    Call("SENDCOMM", send_ops);
    EXPECT_EQ(fp.tx, "HELLO");
    EXPECT_EQ(I(31), 5);
    Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_LOCK, 31), 0);

    // RCVCOMM: enable BOOL 8, port DINT 11, count INT 32, buffer BYTE 50..53
    // (size 4), status INT 33: bytes land as they come.
    Bytes(50, std::string("....."));
    I(32, 4);
    I(33, 0xFFFF);
    B(8, 1);
    const std::vector<uint16_t> rcv_ops{8, 11, 32, 50, 4, 33};
    for (char c : std::string("AB")) fp.rx.push_back(uint8_t(c));
    Call("RCVCOMM", rcv_ops);
    EXPECT_EQ(I(33), 2);
    EXPECT_EQ(Bytes(50, 5), "AB...");
    for (char c : std::string("CDE")) fp.rx.push_back(uint8_t(c));
    Call("RCVCOMM", rcv_ops);
    EXPECT_EQ(I(33), 4);
    EXPECT_EQ(Bytes(50, 5), "ABCD.");  // the fifth byte is not the array's
    EXPECT_EQ(fp.rx.size(), 1u);
    // A count larger than the array: nothing taken, nothing written.
    B(8, 0);
    Call("RCVCOMM", rcv_ops);
    B(8, 1);
    I(32, 5);
    Call("RCVCOMM", rcv_ops);
    EXPECT_EQ(I(33), 0xFFFF);
    EXPECT_EQ(fp.rx.size(), 1u);
    EXPECT_EQ(Bytes(50, 5), "ABCD.");

    // Modem blocks on the opened port (numeric modem). Each request: busy at
    // once, "+++" after 1.1 s, the initialisation string 1.5 s later, "0"
    // (OK), then the block's own command line; disabling gives 65535.
    fp.rx.clear();
    Z7VMStr_AscForceC(db, 1, "X1&K3");
    Z7VMStr_AscForceC(db, 2, "5551234");
    // GPRSCONNECT's number: the first 10 bytes of DINT 20..22.
    D(20, 0x33323130);
    D(21, 0x37363534);
    D(22, 0x00003938);
    struct ModemRow {
        const char *block;
        std::vector<uint16_t> ops;  // enable BOOL 9, status INT 34
        const char *line;
    };
    I(35, 1);  // option: pulse
    I(36, 0);
    D(12, 40);  // rings
    const ModemRow modem_rows[] = {
        {"MODEMSENDINIT", {9, 11, 1, 34}, "ATX1&K3\r"},
        {"MODEMAUTODIAL", {9, 11, 35, 2, 34}, "ATDP5551234\r"},
        {"MODEMAUTOANSWER", {9, 11, 12, 34}, "ATS0=022\r"},  // 40 rings asks for 22
        {"GPRSCONNECT", {9, 11, 36, 20, 34}, "ATDT0123456789\r"},
        {"GPRSCONNECTS", {9, 11, 36, 2, 34}, "ATDT5551234\r"},
    };
    for (const ModemRow &r : modem_rows) {
        SCOPED_TRACE(r.block);
        fp.tx.clear();
        I(34, 0);
        B(9, 1);
        Call(r.block, r.ops);
        EXPECT_EQ(I(34), 65534);
        Advance(11000);
        Call(r.block, r.ops);
        EXPECT_EQ(fp.tx, "+++");
        Advance(15000);
        Call(r.block, r.ops);
        EXPECT_EQ(fp.tx, "+++ATE0S0=0Q0V0X0&C1&D2\r");
        for (char c : std::string("0\r")) fp.rx.push_back(uint8_t(c));
        Call(r.block, r.ops);
        Call(r.block, r.ops);
        EXPECT_EQ(fp.tx, std::string("+++ATE0S0=0Q0V0X0&C1&D2\r") + r.line);
        EXPECT_EQ(I(34), 65534);
        B(9, 0);
        Call(r.block, r.ops);
        EXPECT_EQ(I(34), 65535);
    }
    // No answer to the initialisation string within 10 s: 65533.
    fp.tx.clear();
    B(9, 1);
    Call("MODEMSENDINIT", modem_rows[0].ops);
    Advance(11000);
    Call("MODEMSENDINIT", modem_rows[0].ops);
    Advance(15000);
    Call("MODEMSENDINIT", modem_rows[0].ops);
    Advance(100001);
    Call("MODEMSENDINIT", modem_rows[0].ops);
    EXPECT_EQ(I(34), 65533);
    B(9, 0);
    Call("MODEMSENDINIT", modem_rows[0].ops);
    EXPECT_EQ(I(34), 65535);
}

// The Talk layer's modem entry as the blocks reach it, keeping a copy of the
// block's request record after each call.
std::array<uint8_t, Z7MODEM_TEXT + Z7MODEM_TEXTMAX> seen_rec{};
uint32_t seen_answer = 0;
uint32_t ModemSpy(uint8_t *rec, uint32_t enable) {
    seen_answer = Z7TalkModem(rec, enable);
    std::memcpy(seen_rec.data(), rec, seen_rec.size());
    return seen_answer;
}

// The modem blocks on a verbose GSM modem that the modem manager serves on
// the programming port: the manager takes the modem and sets it up, then the
// request's own command line goes out and the verbose answer decides. Every
// line the modem gets is answered "OK" unless the row says otherwise.
// An application with a complex-type segment: the settings, the byte buffers
// and the number array are named by DINTs holding their offsets there.
class BlkPortComplex : public BlkPort {
protected:
    void SetUp() override { Boot(64); }
    void Seg(uint32_t off, const std::string &s) {
        for (size_t k = 0; k < s.size(); k++) Z7Mem_Put8(Z7Sec_Addr(db, Z7SEC_CT) + off + uint32_t(k), uint8_t(s[k]));
    }
    std::string Seg(uint32_t off, uint32_t n) {
        std::string s;
        for (uint32_t k = 0; k < n; k++) s.push_back(char(Z7Mem_Get8(Z7Sec_Addr(db, Z7SEC_CT) + off + k)));
        return s;
    }
};

TEST_F(BlkPortComplex, ArrayOperandsLieInTheComplexTypeSegment) {
    ASSERT_NE(Z7Sec_Addr(db, Z7SEC_CT), 0u);
    // OPENCOMMREG's settings: eight INTs at segment byte 0 (DINT 20); INT
    // 20..27 hold other values
    const uint16_t settings[8] = {0, 9, 1, 2, 1, 1, 3, 5};
    for (uint32_t k = 0; k < 8; k++) {
        Z7Mem_Put16(Z7Sec_Addr(db, Z7SEC_CT) + 2 * k, settings[k]);
        I(20 + k, 0x0D);  // a baud code that would be refused
    }
    D(20, 0);
    B(5, 1);
    Call("OPENCOMMREG", {5, 20, 8, 6});
    ASSERT_FALSE(fp.opens.empty());
    EXPECT_EQ(fp.opens.back(), (Mode{9, 1, 2, 1, 1, 0x53}));
    EXPECT_EQ(B(6), 1);

    // SENDCOMM from segment bytes 16..23 (DINT 40), RCVCOMM into 32..35 (DINT 50)
    D(11, 0);
    D(40, 16);
    D(50, 32);
    Seg(16, "HELLO!!!");
    Bytes(40, std::string("wrongbuf"));
    I(30, 5);
    I(31, 0xFFFF);
    B(7, 1);
    fp.room = 100;
    Call("SENDCOMM", {7, 11, 30, 40, 8, 31});
    EXPECT_EQ(fp.tx, "HELLO");
    EXPECT_EQ(I(31), 5);
    Seg(32, ".....");
    Bytes(50, std::string("....."));
    I(32, 4);
    I(33, 0xFFFF);
    B(8, 1);
    for (char c : std::string("ABCDE")) fp.rx.push_back(uint8_t(c));
    Call("RCVCOMM", {8, 11, 32, 50, 4, 33});
    EXPECT_EQ(I(33), 4);
    EXPECT_EQ(Seg(32, 5), "ABCD.");
    EXPECT_EQ(Bytes(50, 5), ".....");
    // a buffer passing the segment's end moves nothing
    D(50, 62);
    B(8, 0);
    Call("RCVCOMM", {8, 11, 32, 50, 4, 33});
    B(8, 1);
    Call("RCVCOMM", {8, 11, 32, 50, 4, 33});
    EXPECT_EQ(I(33), 0xFFFF);
    EXPECT_EQ(fp.rx.size(), 1u);
}

TEST_F(BlkPort, ModemBlocksOnAVerboseGsmModem) {
    BlkPort_Hooks.modem = ModemSpy;
    D(1, 0);
    const uint32_t v[] = {9600, 0, 8, 1, 0, 2, 0};
    for (uint32_t k = 0; k < 7; k++) D(2 + k, v[k]);
    OpenComm(1);
    ASSERT_EQ(B(2), 1);
    // A messaging block with an empty modem section: the manager's
    // configuration; slot 1 holds no cellular option board.
    io_init[1] = 0xDF0F;
    std::vector<uint8_t> sec(96, 0);
    std::memcpy(sec.data(), "EMSG", 4);
    sms_table_bl.fill(0);
    LE_Put32(&sms_table_bl[0], 0x6001);
    LE_Put32(&sms_table_bl[4], uint32_t(sec.size()));
    std::memcpy(&sms_table_bl[8], sec.data(), sec.size());
    for (unsigned i : {1u, 3u, 4u, 5u, 7u, 8u}) AT_SetConfig(i, "", 0);
    GSMGPRSParmInit();
    GsmInfo &g = GSMGPRSInfo_St;
    g = GsmInfo{};
    g.marker = GSM_MARKER;
    g.b[0] = 0x01;
    g.b[1] = 0x01;

    std::map<std::string, std::string> answers;
    std::vector<std::string> cmds;
    size_t seen = 0;
    auto pump = [&] {
        for (;;) {
            if (fp.tx.compare(seen, 3, "+++") == 0) {
                seen += 3;
                cmds.push_back("+++");
                for (char c : std::string("\r\nOK\r\n")) fp.rx.push_back(uint8_t(c));
                continue;
            }
            const size_t p = fp.tx.find('\r', seen);
            if (p == std::string::npos) break;
            cmds.push_back(fp.tx.substr(seen, p - seen));
            seen = p + 1;
            const std::string a = answers.count(cmds.back())   ? answers[cmds.back()]
                                  : cmds.back() == "AT$NETIP?" ? "\r\n$NETIP: 10.1.2.3\r\nOK\r\n"
                                                               : "\r\nOK\r\n";
            for (char c : a) fp.rx.push_back(uint8_t(c));
        }
    };
    auto sent = [&](const std::string &c) { return std::find(cmds.begin(), cmds.end(), c) != cmds.end(); };

    Z7VMStr_AscForceC(db, 1, "+CSQ");
    Z7VMStr_AscForceC(db, 2, "5551234");
    Z7VMStr_AscForceC(db, 3, "+CFUN=9");
    D(12, 3);  // rings
    I(35, 0);  // option: tone
    struct Row {
        const char *what, *block;
        std::vector<uint16_t> ops;  // enable BOOL 9, status INT 34
        const char *line;           // the request's own command line
        std::string answer;         // the modem's answer to it
        uint16_t status;
        uint32_t result;   // the Talk layer's answer at the end
        const char *text;  // behind the status word, or null
    };
    const Row rows[] = {
        {"init string: OK, the text behind the status",
         "MODEMSENDINIT",
         {9, 11, 1, 34},
         "AT+CSQ",
         "\r\n+CSQ: 20,0\r\n\r\nOK\r\n",
         0,
         1,
         "CSQ: 20,0\rOK"},
        {"init string: an error text",
         "MODEMSENDINIT",
         {9, 11, 3, 34},
         "AT+CFUN=9",
         "\r\n+CME ERROR: 50\r\n",
         4,
         0,
         nullptr},
        {"dial: CONNECT with carrier",
         "MODEMAUTODIAL",
         {9, 11, 35, 2, 34},
         "ATDT5551234",
         "\r\nCONNECT 9600\r\n",
         1,
         1,
         nullptr},
        {"dial: NO CARRIER", "MODEMAUTODIAL", {9, 11, 35, 2, 34}, "ATDT5551234", "\r\nNO CARRIER\r\n", 3, 0, nullptr},
        {"answer: OK, then waiting for the call",
         "MODEMAUTOANSWER",
         {9, 11, 12, 34},
         "ATS0=003",
         "\r\nOK\r\n",
         0,
         0,
         nullptr},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        answers.clear();
        answers[r.line] = r.answer;
        answers["ATHS0=0"] = "\r\nOK\r\n";
        cmds.clear();
        fp.dcd = 0;
        I(34, 0);
        B(9, 1);
        for (uint32_t i = 0; i < 3000 && !(sent(r.line) && I(34) != 65534); i++) {
            Advance(1000);
            Call(r.block, r.ops);
            pump();
            if (sent(r.line) && r.status == 1) fp.dcd = 1;
        }
        if (r.text != nullptr) {
            EXPECT_EQ(std::string(reinterpret_cast<const char *>(seen_rec.data() + 6)), r.text);
        }
        Call(r.block, r.ops);
        EXPECT_EQ(GsmModem, 1);
        EXPECT_EQ(g.owner, 1);  // the Talk port's modem user holds the manager's modem
        ASSERT_TRUE(sent(r.line)) << ::testing::PrintToString(cmds);
        EXPECT_EQ(I(34), r.status);
        EXPECT_EQ(seen_answer, r.result);
        if (std::string(r.block) == "MODEMAUTOANSWER") {
            // The call: RING, then CONNECT with the carrier up.
            for (char c : std::string("\r\nRING\r\n")) fp.rx.push_back(uint8_t(c));
            Call(r.block, r.ops);
            EXPECT_EQ(I(34), 2);
            fp.dcd = 1;
            for (char c : std::string("\r\nCONNECT 9600\r\n")) fp.rx.push_back(uint8_t(c));
            Call(r.block, r.ops);
            EXPECT_EQ(I(34), 1);
            EXPECT_EQ(seen_answer, 1u);  // the connection is up
        }
        // Disabled: idle, the modem handed back to the manager.
        B(9, 0);
        Call(r.block, r.ops);
        EXPECT_EQ(I(34), 65535);
        for (uint32_t i = 0; i < 200 && g.owner != 0; i++) {
            Advance(100);
            ModemHangupPoll();
            pump();
            if (sent("ATHS0=0")) fp.dcd = 0;
        }
        EXPECT_EQ(g.owner, 0);
        EXPECT_EQ(modem.gsm, 0);
    }

    // The cellular option board in slot 1: GPRSCONNECTS sends no AT command,
    // asks the cellular layer for a data socket to the address and switches
    // Modbus-over-TCP framing on for the port; disabling switches it off.
    io_init[1] = 0x6F0F;
    Z7VMStr_AscForceC(db, 2, "10.77.0.3/5000");
    const std::vector<uint16_t> gprs{9, 11, 35, 2, 34};
    const size_t before = fp.tx.size();
    ModbusTCP_St = ModbusTcpState{};
    const AtStatus at_saved = at_status;
    at_status.status = 3;  // the cellular layer is set up (its loop not run here)
    socket_info_st[0] = SocketInfo{};
    B(9, 1);
    Call("GPRSCONNECTS", gprs);
    EXPECT_EQ(I(34), 65534);
    for (uint32_t i = 0; i < 20; i++) {
        Advance(1000);
        Call("GPRSCONNECTS", gprs);
    }
    EXPECT_EQ(fp.tx.size(), before);
    EXPECT_EQ(ModbusTCP_St.flags, 0x01);  // framing on, port 0 in bits 3-4
    EXPECT_EQ(ModbusTCP_St.tid, 1);
    // The socket request: 10.77.0.3, port 5000, TCP, dialled, kept.
    EXPECT_EQ(socket_info_st[0].ip, 0x0A4D0003u);
    EXPECT_EQ(socket_info_st[0].port, 5000);
    EXPECT_EQ(socket_info_st[0].flags, SOCKF_DIAL | SOCKF_KEEP);
    EXPECT_EQ(I(34), 65534);  // being connected
    EXPECT_EQ(seen_answer, 0u);
    socket_info_st[0].state = 4;
    Call("GPRSCONNECTS", gprs);
    EXPECT_EQ(I(34), 6);
    socket_info_st[0].state = 6;  // granted
    Call("GPRSCONNECTS", gprs);
    EXPECT_EQ(I(34), 1);
    EXPECT_EQ(seen_answer, 1u);
    B(9, 0);
    Call("GPRSCONNECTS", gprs);
    EXPECT_EQ(I(34), 65535);
    EXPECT_EQ(ModbusTCP_St.flags & 1, 0);
    EXPECT_EQ(socket_info_st[0].flags & SOCKF_KEEP, 0);  // the socket is let go
    socket_info_st[0] = SocketInfo{};
    at_status = at_saved;
    io_init[1] = 0;
    GSMGPRSInfo_St = GsmInfo{};
    sms_table_bl.fill(0);
    GsmModem = 0;
}

}  // namespace
}  // namespace iec_test
