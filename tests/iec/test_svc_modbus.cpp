// The application's Modbus: section sizing and build, the server answering
// byte for byte from its tables, the exchange with the variables, and the
// client engine against peers on loopback sockets and a socket pair standing
// in for the programming port, stepped with a settable millisecond clock.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "core/image/bytes.h"
#include "core/image/util.h"
#include "io/vcomm.h"
#include "iec/services/z7mb_internal.h"
#include "iec/services/z7svc.h"
#include "iec/vm/z7stdlib.h"
#include "iec/vm/z7str.h"
#include "tests/iec/iec_fixture.h"
#include "tests/support/iec_clock.h"
#include "tests/support/iec_mbcfg.h"
#include "tests/support/loopback.h"
#include "tests/support/stand_in_port.h"

namespace {
using Bytes = std::vector<uint8_t>;
using test_support::MbConfig;

Bytes Hex(const std::string &h) {
    Bytes b;
    for (size_t i = 0; i < h.size();) {
        if (h[i] == ' ') {
            i++;
            continue;
        }
        b.push_back(uint8_t(std::stoul(h.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return b;
}
Bytes Rtu(const std::string &h) {
    Bytes b = Hex(h);
    const uint16_t c = crc16(b.data(), b.size());
    b.push_back(uint8_t(c));
    b.push_back(uint8_t(c >> 8));
    return b;
}
// What the descriptor holds now, at most the given bytes (empty: nothing).
Bytes ReadNow(int fd, size_t most) {
    Bytes b(most);
    const ssize_t k = read(fd, b.data(), b.size());
    b.resize(size_t(k > 0 ? k : 0));
    return b;
}
// A polled read of holding register 0 of unit 1: one try, 300 ms time-out.
MbConfig::Req OneRegisterRead(uint16_t id, uint16_t conn, uint16_t period) {
    return {.id = id,
            .conn = conn,
            .unit = 1,
            .mode = 1,
            .period = period,
            .fn = 3,
            .addr = 0,
            .count = 1,
            .tries = 1,
            .timeout = 300,
            .size = 2};
}

class Modbus : public iec_test::IecTest {
protected:
    uint32_t db = 0;
    void SetUp() override {
        IecTest::SetUp();
        Z7Svc_InstallVMHooks();  // as the runtime's start does
    }
    test_support::IecImage Image(const MbConfig &cfg) {
        test_support::IecImage img;
        img.d8 = {31, 31, 31};
        img.d16 = {31, 31, 31};
        img.d32 = {15, 15, 15};
        img.time = {3, 3, 3};
        img.str = {3, 3, 3};
        img.string_sizes = {40, 40, 40};
        img.ext_blocks = {{2, cfg.Build()}};
        return img;
    }
    uint32_t State() const { return Z7Sec_Addr(db, Z7SEC_MB); }
    uint16_t Int(uint32_t i) const { return Z7Mem_Get16(Z7Sec_Elem(db, Z7SEC_D16, i)); }
    void SetInt(uint32_t i, uint16_t v) const { Z7Mem_Put16(Z7Sec_Elem(db, Z7SEC_D16, i), v); }
    uint32_t Dint(uint32_t i) const { return Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_D32, i)); }
    uint8_t *Req(uint32_t n) const {
        MBState st;
        return MB_Open(State(), st) ? st.Req(n) : nullptr;
    }
    uint8_t *Conn(uint32_t n) const {
        MBState st;
        return MB_Open(State(), st) ? st.Conn(n) : nullptr;
    }
    Bytes Serve(const Bytes &req, bool tcp, uint32_t unit = 0, const char *name = nullptr) {
        uint8_t ans[300] = {};
        const uint32_t n = Z7MB_ServeExID(State(), req.data(), uint32_t(req.size()), ans, tcp ? 1 : 0, unit, name);
        return Bytes(ans, ans + n);
    }
    // Starts an application without Modbus configuration whose remote
    // bindings are these connection and variable records (end marks added).
    uint32_t StartRemote(std::initializer_list<Bytes> connections, std::initializer_list<Bytes> variables) {
        Bytes cnx, vars;
        for (const Bytes &r : connections) cnx.insert(cnx.end(), r.begin(), r.end());
        cnx.insert(cnx.end(), {0, 0});
        for (const Bytes &v : variables) vars.insert(vars.end(), v.begin(), v.end());
        vars.push_back(0);
        test_support::IecImage img = Image(MbConfig{});
        img.ext_blocks = {{5, cnx}, {6, vars}};
        return Start(img, db);
    }
};

TEST_F(Modbus, SizingBuildAndLinkRules) {
    // no configuration: 36 bytes, nothing served, opened or exchanged
    test_support::IecImage plain;
    ASSERT_EQ(Start(plain, db), 0u);
    EXPECT_EQ(Z7Sec_Bytes(db, Z7SEC_MB), 36u);
    EXPECT_EQ(Z7MB_FindServer(State(), nullptr), 0u);
    EXPECT_TRUE(Serve(Rtu("07 03 00 00 00 01"), false).empty());
    Z7MB_Activate(State(), 1000);
    Z7VM_ExchangeModbusData(db);
    Z7Def_Stop(db, nullptr, nullptr, "");

    struct Case {
        const char *what;
        MbConfig cfg;
        uint32_t size;
    };
    std::vector<Case> cases;
    {
        MbConfig c;
        c.Conn(1, 502, 0, 0, 0, "127.0.0.1").Request({.size = 8}).Variable({});
        cases.push_back({"one connection, one request of 8 bytes, one variable", c, 440});
    }
    cases.push_back({"empty chain", MbConfig{}, 40});
    {
        MbConfig c;
        c.minimum = 1000;
        cases.push_back({"the block's minimum", c, 1000});
    }
    {
        // the 33rd server's holding registers get their change marks too:
        // 36 + 33 x 328 + 40 + 2 x 10
        MbConfig c;
        for (uint16_t id = 1; id <= 33; id++) c.Conn(id, 1, 0, 0x100, 0, "S");
        c.Request({.id = 1, .conn = 33, .fn = 3, .count = 5, .size = 10});
        cases.push_back({"33 servers", c, 10920});
    }
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        const std::vector<uint8_t> b = k.cfg.Build();
        const uint32_t cfg = test_support::IecLoad(b);
        blocks.push_back(cfg);
        EXPECT_EQ(Z7MB_ConfigSizing(cfg), k.size);
    }

    // link: variables whose bytes do not fit their request stay unbound;
    // requests whose frame or buffer cannot hold their items are refused
    MbConfig c;
    c.Conn(1, 9, 0, 0, 0, "127.0.0.1")
        .Request({.id = 1, .fn = 3, .count = 2, .size = 4})
        .Request({.id = 2, .fn = 16, .count = 124, .size = 248})
        .Request({.id = 3, .fn = 3, .count = 4, .size = 4})
        .Request({.id = 4, .fn = 1, .count = 2001, .size = 251})
        .Variable({.req = 1, .pos = 1, .index = 1})
        .Variable({.req = 1, .pos = 1, .format = 2, .type = 2, .index = 1})
        .Variable({.req = 1, .pos = 2, .index = 2})
        .Variable({.req = 9, .pos = 0, .index = 3});
    ASSERT_EQ(Start(Image(c), db), 0u);
    MBState st;
    ASSERT_TRUE(MB_Open(State(), st));
    EXPECT_EQ(st.nreq, 4u);
    EXPECT_EQ(st.nvar, 4u);
    const uint32_t bound[] = {1, 0, 0, 0};
    for (uint32_t i = 0; i < 4; i++) EXPECT_EQ(LE_Get32(st.Var(i) + MBV_DATA) != 0, bound[i] != 0) << i;
    const uint16_t status[] = {0, 7, 7, 7}, error[] = {130, 130, 130, 130};
    for (uint32_t i = 1; i < 4; i++) {
        EXPECT_EQ(LE_Get16(st.Req(i) + MBR_STATUS), status[i]) << i;
        EXPECT_EQ(LE_Get16(st.Req(i) + MBR_ERROR), error[i]) << i;
    }
    Z7Def_Stop(db, nullptr, nullptr, "");

    // On-line change: the same configuration is rebuilt in place; one that
    // needs a larger section than the database holds is refused with 50.
    test_support::IecImage stamped = Image(c);
    stamped.stamp = 0x12345678;
    ASSERT_EQ(Start(stamped, db), 0u);
    const uint32_t same = test_support::IecLoad(stamped.Build());
    blocks.push_back(same);
    EXPECT_EQ(Z7VM_CanHOTStart(same, db), 0u);
    MbConfig more = c;
    for (uint16_t id = 2; id <= 4; id++) more.Conn(id, 1, 0, 0x100, 0, "S");
    test_support::IecImage grown = Image(more);
    grown.stamp = stamped.stamp;
    const uint32_t bigger = test_support::IecLoad(grown.Build());
    blocks.push_back(bigger);
    EXPECT_EQ(Z7VM_CanHOTStart(bigger, db), 50u);
    Z7Def_Stop(db, nullptr, nullptr, "");
}

// External variables (type bit 7) are reached through the external-variable
// address table with the width of their type; a STRING bound with an input
// kind is never written by the register's value; a unit status record placed
// before its connection is attached to nothing and becomes no request's.
TEST_F(Modbus, ExternalVariablesStringInputsAndUnitRecordsBeforeTheirConnection) {
    MbConfig c;
    c.Unit(7, 1)  // before its connection: unattached
        .Conn(7, 7, 0, 0x100, 0, "SRV")
        .Unit(7, 1)
        .Request({.id = 1, .conn = 7, .unit = 1, .fn = 3, .addr = 0, .count = 4, .size = 8})
        .Variable({.req = 1, .pos = 0, .type = 0x8B, .index = 1, .kind = 1})  // external INT 5, out
        .Variable({.req = 1, .pos = 1, .type = 0x8B, .index = 2, .kind = 0})  // external INT 6, in
        .Variable({.req = 1, .pos = 2, .type = 5, .index = 1, .kind = 0});    // STRING 1, in
    test_support::IecImage img = Image(c);
    img.xv_high = img.xv_used = 2;
    img.xvs = {{11, 5}, {11, 6}};
    ASSERT_EQ(Start(img, db), 0u);
    MBState st;
    ASSERT_TRUE(MB_Open(State(), st));
    // the request's unit record is the second kind-7 record (28 bytes behind
    // the first), the one its connection holds first
    const uint32_t second = st.units + 28;
    EXPECT_EQ(LE_Get32(st.Req(0) + MBR_UNIT), second);
    EXPECT_EQ(LE_Get16(st.Conn(0) + MBC_NUNIT), 1u);
    EXPECT_EQ(LE_Get32(st.Conn(0) + MBC_FIRSTUNIT), second);
    const uint32_t str = Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_STRPTR, 1));
    ASSERT_NE(str, 0u);
    EXPECT_EQ(Z7Mem_Get8(str), 40u);
    SetInt(5, 0x1234);
    Z7VM_ExchangeModbusData(db);
    EXPECT_EQ(Serve(Rtu("07 03 00 00 00 01"), false), Hex("07 03 02 12 34"));
    EXPECT_EQ(Serve(Rtu("07 10 00 01 00 02 04 0B EE FF 05"), false), Hex("07 10 00 01 00 02"));
    Z7VM_ExchangeModbusData(db);
    EXPECT_EQ(Int(6), 0x0BEE);
    EXPECT_EQ(Z7Mem_Get8(str), 40u);
    EXPECT_EQ(Z7Mem_Get8(str + 1), 0u);
    Z7Def_Stop(db, nullptr, nullptr, "");
}

// 32-bit bindings in their two orders (format 2: the first register holds
// the high word; 0x8002: the low word) and scaled bindings (out: value x
// factor + offset; in: (value - offset) / factor, both in REAL), seen from a
// master.
TEST_F(Modbus, WordOrdersAndScaledBindings) {
    MbConfig c;
    c.Conn(1, 7, 0, 0x100, 0, "SRV")
        .Request({.id = 1, .fn = 3, .addr = 0, .count = 13, .size = 26})
        .Variable({.req = 1, .pos = 0, .format = 2, .type = 2, .index = 1, .kind = 1})
        .Variable({.req = 1, .pos = 2, .format = 0x8002, .type = 2, .index = 2, .kind = 1})
        .Variable({.req = 1, .pos = 4, .type = 11, .index = 1, .kind = 1, .factor = 2.0f, .offset = 10.0f, .rec = 5})
        .Variable({.req = 1, .pos = 5, .type = 11, .index = 2, .kind = 0, .factor = 0.5f, .offset = 1.0f, .rec = 5})
        .Variable({.req = 1, .pos = 6, .format = 0x8002, .type = 2, .index = 3, .kind = 0})
        // DINT 16777217 scaled by 1: as a REAL it is 16777216 (0x01000000)
        .Variable({.req = 1, .pos = 8, .format = 0x8002, .type = 2, .index = 4, .kind = 1, .factor = 1.0f, .rec = 5})
        .Variable({.req = 1, .pos = 10, .type = 2, .index = 5, .kind = 1, .factor = 1.0f, .rec = 5})
        .Variable({.req = 1,
                   .pos = 11,
                   .format = 0x8002,
                   .type = 2,
                   .index = 6,
                   .kind = 0,
                   .factor = 1.0f,
                   .offset = 1.0f,
                   .rec = 5});
    ASSERT_EQ(Start(Image(c), db), 0u);
    Z7Mem_Put32(Z7Sec_Elem(db, Z7SEC_D32, 1), 0x12345678);
    Z7Mem_Put32(Z7Sec_Elem(db, Z7SEC_D32, 2), 0x12345678);
    Z7Mem_Put32(Z7Sec_Elem(db, Z7SEC_D32, 4), 16777217);
    Z7Mem_Put32(Z7Sec_Elem(db, Z7SEC_D32, 5), 16777217);
    SetInt(1, 7);
    Z7VM_ExchangeModbusData(db);
    EXPECT_EQ(Serve(Rtu("07 03 00 00 00 05"), false), Hex("07 03 0A 12 34 56 78 56 78 12 34 00 18"));
    // registers 8-9 hold 16777216 low word first, register 10 its low 16 bits
    EXPECT_EQ(Serve(Rtu("07 03 00 08 00 03"), false), Hex("07 03 06 00 00 01 00 00 00"));
    EXPECT_EQ(Serve(Rtu("07 10 00 05 00 03 06 00 09 BE EF DE AD"), false), Hex("07 10 00 05 00 03"));
    // 16777217 in: the REAL 16777216, minus the offset 1: 16777215
    EXPECT_EQ(Serve(Rtu("07 10 00 0B 00 02 04 00 01 01 00"), false), Hex("07 10 00 0B 00 02"));
    Z7VM_ExchangeModbusData(db);
    EXPECT_EQ(Int(2), 16);
    EXPECT_EQ(Dint(3), 0xDEADBEEFu);
    EXPECT_EQ(Dint(6), 16777215u);
    Z7Def_Stop(db, nullptr, nullptr, "");
}

// The status kinds of a client request and its unit (arm, clear the counts,
// busy, error when not 0, tries, unit errors and error date), a STRING read
// from registers, and an INT of the complex-type segment, each moved by the
// exchange from the request record as the engine leaves it.
TEST_F(Modbus, StatusKindsStringsAndComplexTypeBindings) {
    MbConfig c;
    c.Conn(1, 9, 0, 0, 0, "UDP:127.0.0.1")  // opened without traffic
        .Unit(1, 5)
        .Request({.id = 1, .conn = 1, .unit = 5, .mode = 0, .fn = 3, .addr = 0, .count = 4, .size = 8})
        .Variable({.req = 1, .type = 1, .index = 1, .kind = 3})
        .Variable({.req = 1, .type = 1, .index = 2, .kind = 8})
        .Variable({.req = 1, .type = 1, .index = 3, .kind = 9})
        .Variable({.req = 1, .type = 11, .index = 1, .kind = 10})
        .Variable({.req = 1, .type = 11, .index = 2, .kind = 4})
        .Variable({.req = 1, .type = 2, .index = 1, .kind = 17})
        .Variable({.req = 1, .type = 2, .index = 2, .kind = 12})
        .Variable({.req = 1, .pos = 0, .type = 5, .index = 1, .kind = 19})
        .Variable({.req = 1, .pos = 3, .type = 11, .index = 0, .kind = 0, .ct = 8, .rec = 4});
    test_support::IecImage img = Image(c);
    img.ct_alloc = img.ct_used = 16;
    ASSERT_EQ(Start(img, db), 0u);
    uint8_t *q = Req(0);
    MBState st;
    ASSERT_TRUE(MB_Open(State(), st));
    uint8_t *unit = st.At(LE_Get32(q + MBR_UNIT), MBV_SIZE);
    ASSERT_NE(unit, nullptr);
    uint8_t *data = st.At(LE_Get32(q + MBR_DATA), 8);
    ASSERT_NE(data, nullptr);
    auto d8 = [&](uint32_t i) { return Z7Mem_Get8(Z7Sec_Elem(db, Z7SEC_D8, i)); };
    // on demand: not armed until the kind-3 variable is TRUE
    EXPECT_EQ(q[MBR_ARMED] & 1, 0);
    Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_D8, 1), 1);
    Z7VM_ExchangeModbusData(db);
    EXPECT_EQ(q[MBR_ARMED] & 1, 1);
    // sent, waiting for the answer: busy (once something was received)
    q[MBR_NORX] = 0;
    LE_Put16(q + MBR_STATUS, 3);
    Z7VM_ExchangeModbusData(db);
    EXPECT_EQ(d8(3), 1);
    // ended in exception 2 at the second try, 5 good and 3 bad so far; the
    // kind-8 variable clears both counts and falls back
    LE_Put16(q + MBR_STATUS, 7);
    LE_Put16(q + MBR_ERROR, 2);
    LE_Put16(q + MBR_TRIES, 1);
    LE_Put16(q + MBR_GOOD, 5);
    LE_Put16(q + MBR_ERRORS, 3);
    LE_Put32(unit + MBU_ERRORS, 4);
    LE_Put32(unit + MBU_ERRDATE, 0x07E8030A);
    Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_D8, 2), 1);
    Z7VM_ExchangeModbusData(db);
    EXPECT_EQ(d8(3), 0);
    EXPECT_EQ(Int(1), 2);
    EXPECT_EQ(Int(2), 1);
    EXPECT_EQ(Dint(1), 4u);
    EXPECT_EQ(Dint(2), 0x07E8030Au);
    EXPECT_EQ(LE_Get16(q + MBR_GOOD), 0);
    EXPECT_EQ(LE_Get16(q + MBR_ERRORS), 0);
    EXPECT_EQ(d8(2), 0);
    // an error code of 0 leaves the kind-10 variable as it was
    SetInt(1, 99);
    LE_Put16(q + MBR_ERROR, 0);
    Z7VM_ExchangeModbusData(db);
    EXPECT_EQ(Int(1), 99);
    // a good answer: "ABC" from registers 0-1, 0x1234 from register 3
    LE_Put16(q + MBR_STATUS, 0);
    LE_Put16(data, 0x4142);
    LE_Put16(data + 2, 0x4300);
    LE_Put16(data + 6, 0x1234);
    Z7VM_ExchangeModbusData(db);
    const uint32_t str = Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_STRPTR, 1));
    ASSERT_NE(str, 0u);
    EXPECT_EQ(Z7Mem_Get8(str + 1), 3);
    EXPECT_EQ(Z7Mem_Get8(str + 2), 'A');
    EXPECT_EQ(Z7Mem_Get8(str + 3), 'B');
    EXPECT_EQ(Z7Mem_Get8(str + 4), 'C');
    EXPECT_EQ(Z7Mem_Get8(str + 5), 0);
    EXPECT_EQ(Z7Mem_Get16(Z7Sec_Addr(db, Z7SEC_CT) + 8), 0x1234);
    Z7Def_Stop(db, nullptr, nullptr, "");
}

TEST_F(Modbus, ServerAnswersFromItsTablesAndTheExchangeMovesTheVariables) {
    MbConfig c;
    c.Conn(1, 7, 0, 0x100, 0, "SRV")
        .Request({.id = 1, .fn = 3, .addr = 0, .count = 10, .size = 20})
        .Request({.id = 2, .fn = 1, .addr = 0, .count = 16, .size = 2})
        .Request({.id = 3, .fn = 4, .addr = 50, .count = 10, .size = 4})  // its buffer holds 2 of the 10
        .Variable({.req = 1, .pos = 0, .index = 1, .kind = 1})
        .Variable({.req = 1, .pos = 1, .index = 2, .kind = 0})
        .Variable({.req = 1, .pos = 2, .index = 3, .kind = 1})
        .Variable({.req = 2, .pos = 3, .type = 1, .index = 1, .kind = 0});
    ASSERT_EQ(Start(Image(c), db), 0u);
    SetInt(1, 0x2468);
    Z7VM_ExchangeModbusData(db);
    EXPECT_EQ(Serve(Rtu("07 03 00 00 00 03"), false), Hex("07 03 06 24 68 00 00 00 00"));
    EXPECT_EQ(Serve(Rtu("07 06 00 01 0B EE"), false), Hex("07 06 00 01 0B EE"));
    Z7VM_ExchangeModbusData(db);
    EXPECT_EQ(Int(2), 0x0BEE);
    SetInt(3, Int(2));  // what the program does
    Z7VM_ExchangeModbusData(db);
    EXPECT_EQ(Serve(Rtu("07 03 00 00 00 03"), false), Hex("07 03 06 24 68 0B EE 0B EE"));
    // a register nobody wrote is refreshed from its variable
    SetInt(2, 0x1111);
    Z7VM_ExchangeModbusData(db);
    EXPECT_EQ(Serve(Rtu("07 03 00 01 00 01"), false), Hex("07 03 02 11 11"));
    // the server side alone, and only while no stop is asked; the client
    // side alone leaves the server tables
    SetInt(1, 0x1357);
    Z7St_SetFlags(db, uint16_t(Z7St_Flags(db) | Z7F_STOPREQ));
    Z7VM_ExchangeModbusDataServer(db);
    EXPECT_EQ(Serve(Rtu("07 03 00 00 00 01"), false), Hex("07 03 02 24 68"));
    Z7St_SetFlags(db, uint16_t(Z7St_Flags(db) & ~Z7F_STOPREQ));
    Z7VM_ExchangeModbusDataClient(db);
    EXPECT_EQ(Serve(Rtu("07 03 00 00 00 01"), false), Hex("07 03 02 24 68"));
    Z7VM_ExchangeModbusDataServer(db);
    EXPECT_EQ(Serve(Rtu("07 03 00 00 00 01"), false), Hex("07 03 02 13 57"));
    SetInt(1, 0x2468);
    Z7VM_ExchangeModbusData(db);

    struct Case {
        const char *what, *request;
        bool tcp;
        const char *answer;
    };
    const Case cases[] = {
        {"11 registers", "07 03 00 00 00 0B", false, "07 83 02"},
        {"126 registers", "07 03 00 00 00 7E", false, "07 83 02"},
        {"no input registers", "07 04 00 00 00 01", false, "07 84 02"},
        {"input registers the buffer holds", "07 04 00 32 00 02", false, "07 04 04 00 00 00 00"},
        {"input registers past the buffer", "07 04 00 33 00 02", false, "07 84 02"},
        {"another unit", "08 03 00 00 00 01", false, ""},
        {"data missing for the count", "07 10 00 03 00 05 0A 00 01", false, "07 90 03"},
        {"bytes missing", "07 10 00 03 00 02 04 00 01", false, "07 90 03"},
        {"coils byte count", "07 0F 00 00 00 09 01 FF", false, "07 8F 03"},
        {"function 7", "07 07", false, "07 87 01"},
        {"function 9", "07 09 00 00", false, "07 89 01"},
        {"function 18", "07 12", false, "07 92 01"},
        {"diagnostics echo", "07 08 00 00 A5 37", false, "07 08 00 00 A5 37"},
        {"diagnostics 1", "07 08 00 01 00 00", false, "07 88 01"},
        {"short read", "07 03 00 00", false, ""},
        {"identification basic from 1", "07 2B 0E 01 01", false,
         "07 2B 0E 01 01 00 00 02 01 02 5A 37 02 0A 39 2E 31 2E 31 36 31 31 30 32"},
        {"identification private", "07 2B 0E 04 80", false, "07 2B 0E 04 83 00 00 01 80 02 00 00"},
        {"identification MEI 13", "07 2B 0D 01 00", false, "07 AB 0D 01"},
        {"identification object 3", "07 2B 0E 01 03", false, "07 AB 0E 01"},
        {"write coil 3 with 1", "07 05 00 03 00 01", false, "07 05 00 03 00 01"},
        {"read 8 coils", "07 01 00 00 00 08", false, "07 01 01 08"},
        {"read 0 coils", "07 01 00 00 00 00", false, "07 01 00"},
        {"2001 coils", "07 01 00 00 07 D1", false, "07 81 02"},
        {"broadcast write", "00 06 00 05 00 63", false, ""},
        {"report id over TCP", "00 05 00 00 00 02 07 11", true, "00 05 00 00 00 04 07 11 01 FF"},
        {"unit 0 over TCP", "00 06 00 00 00 06 00 03 00 05 00 01", true, "00 06 00 00 00 05 00 03 02 00 63"},
        {"short TCP", "00 07 00 00 00 01 07", true, ""},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        const Bytes req = k.tcp ? Hex(k.request) : Rtu(k.request);
        EXPECT_EQ(Serve(req, k.tcp), Hex(k.answer));
    }
    // nothing of the refused writes landed; the coil came into its BOOL
    EXPECT_EQ(Serve(Rtu("07 03 00 03 00 01"), false), Hex("07 03 02 00 00"));
    Z7VM_ExchangeModbusData(db);
    EXPECT_EQ(Z7Mem_Get8(Z7Sec_Elem(db, Z7SEC_D8, 1)), 1);
    // Multiple writes take their item count from bytes 4-5 alone: a byte
    // count that says more than the items need is not compared, the items
    // come from the bytes that follow it
    EXPECT_EQ(Serve(Rtu("07 10 00 04 00 01 04 12 34 56 78"), false), Hex("07 10 00 04 00 01"));
    EXPECT_EQ(Serve(Rtu("07 03 00 04 00 02"), false), Hex("07 03 04 12 34 00 63"));  // 5 from the broadcast
    EXPECT_EQ(Serve(Rtu("07 0F 00 08 00 03 02 05 FF"), false), Hex("07 0F 00 08 00 03"));
    EXPECT_EQ(Serve(Rtu("07 01 00 08 00 04"), false), Hex("07 01 01 05"));

    // slave blocks find servers by name; identification texts and words
    EXPECT_NE(Z7MB_FindServer(State(), "SRV"), 0u);
    EXPECT_EQ(Z7MB_FindServer(State(), "SRV2"), 0u);
    EXPECT_EQ(Serve(Rtu("07 03 00 00 00 01"), false, 0, "OTHER"), Bytes{});
    EXPECT_EQ(Serve(Rtu("09 03 00 00 00 01"), false, 9, "SRV"), Hex("09 03 02 24 68"));
    // the block library's slave blocks: RTU requests without their CRC
    EXPECT_TRUE(Z7MB_HasServer(db, "SRV"));
    EXPECT_FALSE(Z7MB_HasServer(db, "NONE"));
    const Bytes plain = Hex("07 03 00 00 00 01");
    uint8_t out[260];
    EXPECT_EQ(Z7MB_ServeBlockRequest(db, plain.data(), uint32_t(plain.size()), out, sizeof out, 1, 7, "SRV"), 5u);
    EXPECT_EQ(Bytes(out, out + 5), Hex("07 03 02 24 68"));
    EXPECT_EQ(Z7MB_ServeBlockRequest(db, plain.data(), uint32_t(plain.size()), out, 4, 1, 7, "SRV"), 0u);
    // MBSLAVEIDENT("ACME", "", "", [16#1234], 1) from the application
    Z7VMStr_AscForceC(db, 1, "ACME");
    SetInt(20, 0x1234);
    const uint16_t call[] = {218, 6, 5, 1, 2, 3, 20, 1};
    const uint32_t ops = Z7Mem_Alloc(sizeof call);
    for (uint32_t i = 0; i < 8; i++) Z7Mem_Put16(ops + 2 * i, call[i]);
    Z7VMStf_Execute(db, ops);
    Z7Mem_Free(ops);
    EXPECT_EQ(Z7Mem_Get8(Z7Sec_Elem(db, Z7SEC_D8, 5)), 1);
    EXPECT_EQ(Serve(Rtu("07 2B 0E 01 02"), false), Hex("07 2B 0E 01 01 00 00 01 02 0A 39 2E 31 2E 31 36 31 31 30 32"));
    EXPECT_EQ(Serve(Rtu("07 2B 0E 01 00"), false).size(), 8u + 6 + 4 + 12);
    EXPECT_EQ(Serve(Rtu("07 2B 0E 04 80"), false), Hex("07 2B 0E 04 83 00 00 01 80 02 12 34"));
    // the private words given are copied, the others stay as they were
    const uint16_t eight[8] = {0x1111, 0x2222, 0x3333, 0x4444, 0x5555, 0x6666, 0x7777, 0x8888};
    EXPECT_TRUE(Z7MBSrv_SetDevIdent("", "", "", eight, 8));
    const uint16_t one[1] = {0xABCD};
    EXPECT_TRUE(Z7MBSrv_SetDevIdent("", "", "", one, 1));
    EXPECT_EQ(Serve(Rtu("07 2B 0E 04 80"), false), Hex("07 2B 0E 04 83 00 00 01 80 02 AB CD"));
    EXPECT_EQ(Serve(Rtu("07 2B 0E 04 81"), false), Hex("07 2B 0E 04 83 00 00 01 81 02 22 22"));
    EXPECT_EQ(Serve(Rtu("07 2B 0E 04 87"), false), Hex("07 2B 0E 04 83 00 00 01 87 02 88 88"));
    const uint32_t server = Z7MB_FindServer(State(), nullptr);
    uint8_t ans[8];
    const uint8_t pdu[] = {7, 17};
    EXPECT_EQ(Z7MBSrv_Serve(server, pdu, 2, ans), 4u);

    // a table's stamp: the date and the time of one reading of the clock,
    // here the last millisecond of 2024-03-10 UTC (every later reading is
    // the next day)
    {
        test_support::FixedIecClock fixed;
        static int readings;
        readings = 0;
        Z7Host_Clock = [](timeval *tv) {
            const bool first = readings++ == 0;
            tv->tv_sec = first ? 1710115199 : 1710115200;
            tv->tv_usec = first ? 999000 : 0;
        };
        EXPECT_EQ(Serve(Rtu("07 03 00 00 00 01"), false), Hex("07 03 02 24 68"));
        EXPECT_EQ(LE_Get32(Req(0) + MBR_DATE), 0x07E8030Au);
        EXPECT_EQ(LE_Get32(Req(0) + MBR_TIME), 86399999u);
    }

    // a stopped application answers nothing
    uint8_t buf[300];
    const Bytes rq = Rtu("07 03 00 00 00 01");
    EXPECT_EQ(Z7VM_ServeModbus(db, 16, rq.data(), uint32_t(rq.size()), buf), 5u);
    Z7St_SetFlags(db, uint16_t(Z7St_Flags(db) | Z7F_STOPPED));
    EXPECT_EQ(Z7VM_ServeModbus(db, 16, rq.data(), uint32_t(rq.size()), buf), 0u);
    Z7Def_Stop(db, nullptr, nullptr, "");
}

// A TCP peer on loopback that the engine connects to.
struct Peer {
    int listen_fd = -1, fd = -1;
    uint16_t port = 0;
    Peer() { listen_fd = test_support::LoopbackBind(&port); }
    ~Peer() {
        if (fd >= 0) close(fd);
        close(listen_fd);
    }
    bool Accept() {
        pollfd p{listen_fd, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0) return false;
        fd = accept(listen_fd, nullptr, nullptr);
        const int one = 1;  // small frames go out at once, never held for an acknowledgement
        if (fd >= 0) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return fd >= 0;
    }
    Bytes Read(size_t n) {
        Bytes out;
        while (fd >= 0 && out.size() < n) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 0) <= 0) break;
            uint8_t b[512];
            const ssize_t r = read(fd, b, n - out.size());
            if (r <= 0) break;
            out.insert(out.end(), b, b + r);
        }
        return out;
    }
    void Write(const Bytes &b) { ASSERT_EQ(write(fd, b.data(), b.size()), ssize_t(b.size())); }
};

TEST_F(Modbus, ClientEngineOverTcpRetriesTimeOutsAndMidnight) {
    Peer peer, silent;
    // a port nobody listens on any more
    uint16_t dead_port = 0;
    close(test_support::LoopbackBind(&dead_port));
    MbConfig c;
    c.Conn(1, peer.port, 0, 0x01, 0, "127.0.0.1")
        .Unit(1, 9)
        .Request({.id = 1,
                  .conn = 1,
                  .unit = 9,
                  .mode = 1,
                  .period = 100,
                  .fn = 3,
                  .addr = 40,
                  .count = 2,
                  .tries = 3,
                  .timeout = 300,
                  .size = 4})
        .Variable({.req = 1, .pos = 0, .index = 1})
        .Variable({.req = 1, .pos = 1, .mask = 0x00F0, .index = 2})
        .Variable({.req = 1, .type = 11, .index = 3, .kind = 2})
        .Variable({.req = 1, .type = 11, .index = 4, .kind = 6})
        .Variable({.req = 1, .type = 11, .index = 5, .kind = 7})
        .Variable({.req = 1, .type = 2, .index = 1, .kind = 16})
        .Variable({.req = 1, .type = 11, .index = 6, .kind = 11})
        .Variable({.req = 1, .type = 1, .index = 3, .kind = 18})
        // connection 2 (a peer that never answers), one try
        .Conn(2, silent.port, 0, 0x01, 0, "127.0.0.1")
        .Request(OneRegisterRead(2, 2, 60000))
        // connection 3 is refused and waits 60 s to redial (state 9): its
        // request shows status 9 and error 130 all along
        .Conn(3, dead_port, 0, 0x01, 60000, "127.0.0.1")
        .Request(OneRegisterRead(3, 3, 60000));
    ASSERT_EQ(Start(Image(c), db), 0u);
    uint32_t now = 1000;
    // one engine step; notes what the silent peer got
    Bytes heard;
    auto activate = [&](uint32_t t) {
        Z7MB_Activate(State(), t);
        if (silent.fd < 0) silent.Accept();
        const Bytes b = silent.Read(64);
        heard.insert(heard.end(), b.begin(), b.end());
    };
    // steps the engine (1 ms a step) until the peer holds n bytes
    auto frame = [&](size_t n) {
        Bytes got;
        for (int i = 0; i < 5000 && got.size() < n; i++) {
            activate(now++);
            if (peer.fd < 0) peer.Accept();
            const Bytes b = peer.Read(n - got.size());
            got.insert(got.end(), b.begin(), b.end());
        }
        return got;
    };
    auto settle = [&](uint16_t status) {
        for (int i = 0; i < 5000 && LE_Get16(Req(0) + MBR_STATUS) != status; i++) activate(now++);
        Z7VM_ExchangeModbusData(db);
    };
    EXPECT_EQ(frame(12), Hex("00 01 00 00 00 06 09 03 00 28 00 02"));
    peer.Write(Hex("00 01 00 00 00 07 09 03 04 12 34 FF FE"));
    settle(0);
    EXPECT_EQ(Int(1), 0x1234);
    EXPECT_EQ(Int(2), 0x00F0);
    EXPECT_EQ(Int(4), 1);
    EXPECT_EQ(Dint(1), 1u);
    // an exception answer: the code is the error, the errors are counted
    now += 100;
    EXPECT_EQ(frame(12), Hex("00 02 00 00 00 06 09 03 00 28 00 02"));
    peer.Write(Hex("00 02 00 00 00 03 09 83 02"));
    settle(7);
    EXPECT_EQ(Int(3), 2);
    EXPECT_EQ(Int(5), 1);
    EXPECT_EQ(Int(6), 2);  // the unit's last error
    EXPECT_EQ(Dint(1), 2u);
    // the unit status reset clears its counts and falls back
    Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_D8, 3), 1);
    Z7VM_ExchangeModbusData(db);
    Z7VM_ExchangeModbusData(db);
    EXPECT_EQ(Dint(1), 0u);
    EXPECT_EQ(Int(6), 0);
    EXPECT_EQ(Z7Mem_Get8(Z7Sec_Elem(db, Z7SEC_D8, 3)), 0);
    // a wrong transaction id is ignored; three tries 300 ms apart, then 128
    now += 100;
    EXPECT_EQ(frame(12)[1], 3);
    peer.Write(Hex("00 09 00 00 00 07 09 03 04 00 00 00 00"));
    for (uint8_t id = 4; id <= 5; id++) {
        now += 300;
        const Bytes f = frame(12);
        ASSERT_EQ(f.size(), 12u);
        EXPECT_EQ(f[1], id);
    }
    now += 300;
    settle(7);
    EXPECT_EQ(Int(3), 128);
    EXPECT_EQ(Int(1), 0x1234);
    // a header length below 3 is dropped; a byte count past the items asked
    // copies what the request's data holds (two registers of the three)
    now += 100;
    Bytes f = frame(12);
    ASSERT_EQ(f.size(), 12u);
    peer.Write({f[0], f[1], 0, 0, 0, 2, f[0], f[1], 0, 0, 0, 9, 9, 3, 6, 0, 1, 0, 2, 0, 3});
    settle(0);
    EXPECT_EQ(Int(3), 0);
    EXPECT_EQ(Int(1), 0x0001);
    EXPECT_EQ(Int(2), 0x0000);  // register 1 (2) under the mask 0x00F0
    // the silent peer got one frame, its one try ended in 128
    EXPECT_EQ(heard, Hex("00 01 00 00 00 06 01 03 00 00 00 01"));
    EXPECT_EQ(LE_Get16(Req(1) + MBR_STATUS), 7);
    EXPECT_EQ(LE_Get16(Req(1) + MBR_ERROR), 128);
    EXPECT_EQ(Conn(2)[MBC_STATE], 9);
    EXPECT_EQ(LE_Get16(Req(2) + MBR_STATUS), 9);
    EXPECT_EQ(LE_Get16(Req(2) + MBR_ERROR), 130);
    // the transaction id after 2000 is 1
    LE_Put16(Conn(0) + MBC_TID, 2000);
    now += 200;
    EXPECT_EQ(frame(12)[1], 1);
    // a time-out at 23:59:59.900 with 500 ms fires at 00:00:00.400
    LE_Put32(Conn(0) + MBC_TIMEOUT, 500);
    LE_Put32(Conn(0) + MBC_SENDT, 86399900);
    Z7MB_Activate(State(), 399);
    EXPECT_EQ(Conn(0)[MBC_STATE], 5);
    Z7MB_Activate(State(), 400);
    EXPECT_NE(Conn(0)[MBC_STATE], 5);
    // a lost connection: 130 on every request, reopened (flag 1)
    close(peer.fd);
    peer.fd = -1;
    for (int i = 0; i < 5000 && Conn(0)[MBC_ERROR] != 130; i++) Z7MB_Activate(State(), now++);
    EXPECT_EQ(LE_Get16(Req(0) + MBR_ERROR), 130);
    EXPECT_EQ(frame(12).size(), 12u);
    Z7Def_Stop(db, nullptr, nullptr, "");
}

// A connection refused without the reopen flag stays in state 7 with error
// 130, and every one of its requests shows status 7 and error 130, latched.
TEST_F(Modbus, RefusedConnectionWithoutReopenShowsOnItsRequests) {
    uint16_t dead_port = 0;
    close(test_support::LoopbackBind(&dead_port));
    MbConfig c;
    c.Conn(1, dead_port, 0, 0x00, 0, "127.0.0.1")
        .Request(OneRegisterRead(1, 1, 100))
        .Request({.id = 2, .conn = 1, .unit = 1, .mode = 0, .fn = 6, .addr = 5, .count = 1, .size = 2});
    ASSERT_EQ(Start(Image(c), db), 0u);
    uint32_t now = 1000;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (Conn(0)[MBC_STATE] != 7 && std::chrono::steady_clock::now() < deadline) {
        Z7MB_Activate(State(), now++);
        usleep(1000);
    }
    ASSERT_EQ(Conn(0)[MBC_STATE], 7) << "the connect never failed";
    Z7MB_Activate(State(), now++);
    Z7MB_Activate(State(), now + 1000);
    EXPECT_EQ(Conn(0)[MBC_STATE], 7);  // not reopened
    EXPECT_EQ(Conn(0)[MBC_ERROR], 130);
    for (uint32_t r = 0; r < 2; r++) {
        EXPECT_EQ(LE_Get16(Req(r) + MBR_STATUS), 7) << r;
        EXPECT_EQ(LE_Get16(Req(r) + MBR_ERROR), 130) << r;
        EXPECT_EQ(Req(r)[MBR_LATCH], 255) << r;
    }
    Z7Def_Stop(db, nullptr, nullptr, "");
}

TEST_F(Modbus, ClientEngineWritesUdpAndSerialFrames) {
    // UDP peer: the port after the address wins over word 3
    uint16_t udp_port = 0;
    const int udp = test_support::LoopbackBind(&udp_port, SOCK_DGRAM);
    const std::string text = "UDP:127.0.0.1:" + std::to_string(udp_port);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
    Vcomm_Port[ProgrammingPort].fd = sv[0];
    MbConfig c;
    c.Conn(1, 9, 0, 0, 0, text)
        .Request({.id = 1, .conn = 1, .unit = 1, .mode = 3, .fn = 16, .addr = 200, .count = 2, .size = 4})
        .Variable({.req = 1, .pos = 0, .index = 1, .kind = 1})
        .Variable({.req = 1, .pos = 1, .index = 2, .kind = 1})
        .Conn(2, 0, 0, 0x10, 0, "9600,N,8,1")
        .Request(
            {.id = 2, .conn = 2, .unit = 1, .mode = 1, .period = 1000, .fn = 3, .addr = 100, .count = 4, .size = 8})
        .Request({.id = 3, .conn = 2, .unit = 0, .mode = 0, .fn = 6, .addr = 300, .count = 1, .size = 2})
        .Variable({.req = 3, .pos = 0, .index = 3, .kind = 1})
        .Variable({.req = 3, .type = 1, .index = 2, .kind = 5})
        .Variable({.req = 2, .pos = 0, .index = 6})
        .Variable({.req = 2, .pos = 1, .mask = 0x00F0, .index = 7})
        .Variable({.req = 2, .pos = 2, .format = 2, .type = 2, .index = 2})
        .Conn(3, 0, 0, 0x10, 0, "ASCII:9600,N,8,1")
        .Request(
            {.id = 4, .conn = 3, .unit = 1, .mode = 1, .period = 1000, .fn = 3, .addr = 100, .count = 4, .size = 8})
        // FC6 300 over UDP on change of INT 8
        .Request({.id = 5, .conn = 1, .unit = 1, .mode = 3, .fn = 6, .addr = 300, .count = 1, .size = 2})
        .Variable({.req = 5, .pos = 0, .index = 8, .kind = 1})
        // function 101 on request (BOOL 4): a buffer of two 6-byte groups; group 3 does not fit
        .Request({.id = 6, .conn = 1, .unit = 1, .mode = 0, .fn = 101, .addr = 0, .count = 1, .size = 14})
        .Variable({.req = 6, .type = 1, .index = 4, .kind = 5})
        .Variable({.req = 6, .pos = 1, .type = 2, .index = 3})
        .Variable({.req = 6, .pos = 2, .type = 2, .index = 4})
        .Variable({.req = 6, .pos = 3, .type = 2, .index = 5})
        // position 0 holds no group: register 0 as for any request (0)
        .Variable({.req = 6, .pos = 0, .type = 2, .index = 6});
    ASSERT_EQ(Start(Image(c), db), 0u);
    SetInt(1, 0x0BAD);
    SetInt(2, 77);
    uint32_t now = 5000;
    Z7VM_ExchangeModbusData(db);
    Bytes got(300);
    ssize_t n = -1;
    sockaddr_in from_addr{};
    socklen_t fl = sizeof from_addr;
    for (int i = 0; i < 100 && n <= 0; i++) {
        Z7MB_Activate(State(), now++);
        n = recvfrom(udp, got.data(), got.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&from_addr), &fl);
    }
    got.resize(size_t(n > 0 ? n : 0));
    EXPECT_EQ(got, Hex("00 01 00 00 00 0B 01 10 00 C8 00 02 04 0B AD 00 4D"));
    // the answer must carry the id sent and a length matching the datagram
    for (const char *answer : {"00 02 00 00 00 06 01 10 00 C8 00 02", "00 01 00 00 00 07 01 10 00 C8 00 02",
                               "00 01 00 00 00 06 01 10 00 C8 00 02"}) {
        const Bytes a = Hex(answer);
        sendto(udp, a.data(), a.size(), 0, reinterpret_cast<sockaddr *>(&from_addr), fl);
        for (int i = 0; i < 5; i++) Z7MB_Activate(State(), now++);
    }
    EXPECT_EQ(LE_Get16(Req(0) + MBR_GOOD), 1);
    EXPECT_EQ(LE_Get16(Req(0) + MBR_ERRORS), 0);
    // on change: one FC6 at the start, then one per change of INT 8, none while it stays
    // the next request sent (at most 50 passes), echoed back as the answer when echo is set
    auto datagram = [&](bool echo = true) {
        Bytes d(300);
        ssize_t k = -1;
        for (int i = 0; i < 50 && k <= 0; i++) {
            Z7VM_ExchangeModbusData(db);
            Z7MB_Activate(State(), now++);
            k = recvfrom(udp, d.data(), d.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&from_addr), &fl);
        }
        d.resize(size_t(k > 0 ? k : 0));
        if (echo && k > 0) sendto(udp, d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(&from_addr), fl);
        return d;
    };
    EXPECT_EQ(datagram(), Hex("00 02 00 00 00 06 01 06 01 2C 00 00"));
    EXPECT_EQ(datagram(), Bytes{});
    SetInt(8, 4321);
    EXPECT_EQ(datagram(), Hex("00 03 00 00 00 06 01 06 01 2C 10 E1"));
    EXPECT_EQ(datagram(), Bytes{});
    SetInt(8, 4322);
    EXPECT_EQ(datagram(), Hex("00 04 00 00 00 06 01 06 01 2C 10 E2"));
    EXPECT_EQ(datagram(), Bytes{});
    EXPECT_EQ(LE_Get16(Req(4) + MBR_GOOD), 3);
    // function 101: groups big-endian in the answer, 48-bit values; the third group lies past the buffer
    {
        MBState st;
        ASSERT_TRUE(MB_Open(State(), st));
        EXPECT_EQ(LE_Get32(st.Var(11) + MBV_DATA), 0u);  // position 3 needs 20 bytes: unbound
    }
    Z7Mem_Put32(Z7Sec_Elem(db, Z7SEC_D32, 5), 55);
    Z7Mem_Put32(Z7Sec_Elem(db, Z7SEC_D32, 6), 66);
    Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_D8, 4), 1);
    EXPECT_EQ(datagram(false), Hex("00 05 00 00 00 07 01 65 00 00 FF 01 00"));
    const Bytes groups = Hex("00 05 00 00 00 15 01 65 12 00 00 00 01 86 A0 FF FF FF FF FF FE 00 00 00 00 00 07");
    sendto(udp, groups.data(), groups.size(), 0, reinterpret_cast<sockaddr *>(&from_addr), fl);
    for (int i = 0; i < 5; i++) Z7MB_Activate(State(), now++);
    Z7VM_ExchangeModbusData(db);
    EXPECT_EQ(LE_Get16(Req(5) + MBR_GOOD), 1);
    EXPECT_EQ(Dint(3), 100000u);
    EXPECT_EQ(Dint(4), 0xFFFFFFFEu);
    EXPECT_EQ(Dint(5), 55u);
    EXPECT_EQ(Dint(6), 0u);
    // serial: RTU to unit 1, then the broadcast ends good at once
    Bytes line = ReadNow(sv[1], 64);
    Bytes want = Hex("01 03 00 64 00 04 05 D6");
    want.insert(want.end(), {':', '0', '1', '0', '3', '0', '0', '6', '4', '0', '0', '0', '4', '9', '4', '\r', '\n'});
    EXPECT_EQ(line, want);
    // HR100..103 = 1234 FFFE 0001 86A0: INT 0x1234, masked 0x00F0, the DINT
    // of positions 2-3 (high word first) 100000
    const Bytes regs = Hex("01 03 08 12 34 FF FE 00 01 86 A0 6E C2");
    ASSERT_EQ(write(sv[1], regs.data(), regs.size()), ssize_t(regs.size()));
    for (int i = 0; i < 50; i++) Z7MB_Activate(State(), now++);
    Z7VM_ExchangeModbusData(db);
    EXPECT_EQ(Int(6), 0x1234);
    EXPECT_EQ(Int(7), 0x00F0);
    EXPECT_EQ(Dint(2), 100000u);
    SetInt(3, 4321);
    Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_D8, 2), 1);
    Z7VM_ExchangeModbusData(db);
    for (int i = 0; i < 5; i++) Z7MB_Activate(State(), now++);
    line = ReadNow(sv[1], 64);
    EXPECT_EQ(line, Rtu("00 06 01 2C 10 E1"));
    EXPECT_EQ(LE_Get16(Req(2) + MBR_STATUS), 0);
    EXPECT_EQ(LE_Get16(Req(2) + MBR_GOOD), 1);
    Z7VM_ExchangeModbusData(db);
    EXPECT_EQ(Z7Mem_Get8(Z7Sec_Elem(db, Z7SEC_D8, 2)), 0);  // the send-once variable fell back
    Z7Def_Stop(db, nullptr, nullptr, "");
    Vcomm_Port[ProgrammingPort].fd = -1;
    close(sv[0]);
    close(sv[1]);
    close(udp);
}

// An on-change request whose exchange failed goes again, changed or not,
// once the pause of its word 13 has passed since it was sent; without word
// 13 (a record of 26 bytes) at once.
TEST_F(Modbus, OnChangeRequestAfterAnErrorWaitsItsPause) {
    uint16_t udp_port = 0;
    const int udp = test_support::LoopbackBind(&udp_port, SOCK_DGRAM);
    const std::string text = "UDP:127.0.0.1:" + std::to_string(udp_port);
    MbConfig c;
    c.Conn(1, 9, 0, 0, 0, text)
        .Request({.id = 1, .conn = 1, .unit = 1, .mode = 3, .fn = 6, .addr = 7, .size = 2, .w13 = 1000})
        .Variable({.req = 1, .pos = 0, .index = 1, .kind = 1})
        .Request({.id = 2, .conn = 1, .unit = 2, .mode = 3, .fn = 6, .addr = 8, .size = 2})
        .Variable({.req = 2, .pos = 0, .index = 2, .kind = 1});
    ASSERT_EQ(Start(Image(c), db), 0u);
    SetInt(1, 5);
    SetInt(2, 6);
    Z7VM_ExchangeModbusData(db);
    sockaddr_in from{};
    socklen_t fl = sizeof from;
    // one engine step at t; the datagram it sent (empty: none)
    auto step = [&](uint32_t t) {
        Z7MB_Activate(State(), t);
        Bytes d(64);
        const ssize_t k = recvfrom(udp, d.data(), d.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&from), &fl);
        d.resize(size_t(k > 0 ? k : 0));
        return d;
    };
    // answers with exception 4 until the request's status is 7
    auto refuse = [&](const Bytes &sent, uint8_t *q, uint32_t &t) {
        const Bytes a{sent[0], sent[1], 0, 0, 0, 3, sent[6], 0x86, 4};
        sendto(udp, a.data(), a.size(), 0, reinterpret_cast<sockaddr *>(&from), fl);
        for (int i = 0; i < 50 && LE_Get16(q + MBR_STATUS) != 7; i++) EXPECT_EQ(step(t++), Bytes{});
    };
    uint32_t t = 1000;
    EXPECT_EQ(step(t++), Hex("00 01 00 00 00 06 01 06 00 07 00 05"));
    refuse(Hex("00 01 00 00 00 06 01"), Req(0), t);
    EXPECT_EQ(LE_Get16(Req(0) + MBR_ERROR), 4);
    EXPECT_EQ(step(t++), Hex("00 02 00 00 00 06 02 06 00 08 00 06"));
    refuse(Hex("00 02 00 00 00 06 02"), Req(1), t);
    // the second request (no word 13) goes again at once; the first, looked
    // at first, waits until 2000, 1000 ms after it was sent at 1000
    EXPECT_EQ(step(t++), Hex("00 03 00 00 00 06 02 06 00 08 00 06"));
    refuse(Hex("00 03 00 00 00 06 02"), Req(1), t);
    ASSERT_LT(t, 1990u);
    EXPECT_EQ(step(1990), Hex("00 04 00 00 00 06 02 06 00 08 00 06"));
    t = 1991;
    refuse(Hex("00 04 00 00 00 06 02"), Req(1), t);
    ASSERT_LT(t, 2000u);
    EXPECT_EQ(step(2000), Hex("00 05 00 00 00 06 01 06 00 07 00 05"));
    Z7Def_Stop(db, nullptr, nullptr, "");
    close(udp);
}

VcommMode port_mode{};
uint32_t port_opens = 0;

// A serial connection holds the programming port from its first send: the
// port's protocol is the runtime's; data bytes 'H','R' inside an answer are
// data, the controller's frame start at an answer's start gives the port
// back (connection lost, 130); with the reopen flag the port is taken again
// only once the link is handed over anew; leaving RUN ends the hold and the
// next send takes it again.
TEST_F(Modbus, SerialConnectionsHoldTheProgrammingPort) {
    test_support::PortOnPair port;  // given back at the end
    ASSERT_TRUE(port.ok);
    int *const sv = port.sv;
    Vcomm_Drv[ProgrammingPort].ModeRec = [](uint32_t) { return port_mode.data(); };
    Vcomm_Drv[ProgrammingPort].Open = [](uint32_t, const uint8_t *) {
        port_opens++;
        return 1u;
    };
    auto line = [&]() { return ReadNow(sv[1], 300); };
    auto put = [&](const Bytes &b) { ASSERT_EQ(write(sv[1], b.data(), b.size()), ssize_t(b.size())); };
    auto ascii = [](const char *t) { return Bytes(t, t + std::strlen(t)); };
    struct Case {
        const char *text;
        Bytes request, answer;  // the answer's registers: 4852 0001 0002 0003
    };
    const Case cases[] = {
        {"9600,N,8,1", Hex("01 03 00 64 00 04 05 D6"), Hex("01 03 08 48 52 00 01 00 02 00 03 3F 85")},
        {"ASCII:9600,N,8,1", ascii(":01030064000494\r\n"), ascii(":010308485200010002000354\r\n")},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.text);
        port_mode = {3, 0, 3, 0, 0, 0x21};  // the command protocol
        port_opens = 0;
        IsCommMode_Qncan = 1;
        Z7Serial_Rearm();
        MbConfig c;
        c.Conn(1, 0, 0, 0x11, 0, k.text)
            .Request({.id = 1,
                      .conn = 1,
                      .unit = 1,
                      .mode = 1,
                      .period = 0,
                      .fn = 3,
                      .addr = 100,
                      .count = 4,
                      .timeout = 300,
                      .size = 8})
            .Variable({.req = 1, .pos = 0, .index = 1});
        ASSERT_EQ(Start(Image(c), db), 0u);
        EXPECT_FALSE(Z7Serial_Held());  // opened, not yet talking
        uint32_t now = 1000;
        Z7MB_Activate(State(), now++);
        EXPECT_EQ(line(), k.request);
        EXPECT_TRUE(Z7Serial_Held());
        EXPECT_EQ(Vcomm_Protocol(ProgrammingPort), 6);
        put(k.answer);
        for (int i = 0; i < 5; i++) Z7MB_Activate(State(), now++);
        EXPECT_EQ(LE_Get16(Req(0) + MBR_GOOD), 1);
        EXPECT_EQ(LE_Get16(Req(0) + MBR_ERROR), 0);
        MBState st;
        ASSERT_TRUE(MB_Open(State(), st));
        const uint8_t *data = st.At(LE_Get32(Req(0) + MBR_DATA), 8);
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(LE_Get16(data), 0x4852);
        EXPECT_EQ(LE_Get16(data + 6), 3);
        EXPECT_TRUE(Z7Serial_Held());
        EXPECT_EQ(line(), k.request);  // period 0: the next request went out
        // the controller's frame start while an answer is awaited
        put(ascii("HR"));
        Z7MB_Activate(State(), now++);
        EXPECT_FALSE(Z7Serial_Held());
        EXPECT_EQ(Vcomm_Protocol(ProgrammingPort), 1);
        EXPECT_EQ(port_opens, 1u);
        EXPECT_EQ(Conn(0)[MBC_STATE], 7);
        EXPECT_EQ(LE_Get16(Req(0) + MBR_STATUS), 7);
        EXPECT_EQ(LE_Get16(Req(0) + MBR_ERROR), 130);
        // reopened each cycle, but the port is not taken until handed over anew
        for (int i = 0; i < 20; i++) Z7MB_Activate(State(), now++);
        EXPECT_TRUE(line().empty());
        EXPECT_FALSE(Z7Serial_Held());
        Z7Serial_Rearm();
        for (int i = 0; i < 3; i++) Z7MB_Activate(State(), now++);
        EXPECT_EQ(line(), k.request);
        EXPECT_TRUE(Z7Serial_Held());
        // leaving RUN ends the hold; the next send takes the port again
        Z7Serial_Release();
        EXPECT_FALSE(Z7Serial_Held());
        put(k.answer);
        for (int i = 0; i < 5; i++) Z7MB_Activate(State(), now++);
        EXPECT_EQ(LE_Get16(Req(0) + MBR_GOOD), 2);
        EXPECT_EQ(line(), k.request);
        EXPECT_TRUE(Z7Serial_Held());
        // the application's stop gives the port back
        Z7Def_Stop(db, nullptr, nullptr, "");
        EXPECT_FALSE(Z7Serial_Held());
        EXPECT_EQ(Vcomm_Protocol(ProgrammingPort), 1);
        line();
    }
}

// One block instance of the standard registry and its operand list.
struct Block {
    FbHandler h = nullptr;
    uint32_t db = 0, inst = 0, arg = 0;
    void Run() const { h(FB_EXEC, db, 0, inst, arg); }
};

TEST_F(Modbus, MasterAndSlaveBlocks) {
    MbConfig c;
    c.Conn(1, 7, 0, 0x100, 0, "SRV")
        .Request({.id = 1, .fn = 3, .addr = 0, .count = 10, .size = 20})
        .Variable({.req = 1, .pos = 0, .index = 1, .kind = 1});
    ASSERT_EQ(Start(Image(c), db), 0u);
    SetInt(1, 0x2468);
    Z7VM_ExchangeModbusData(db);
    std::vector<uint32_t> mine;
    auto make = [&](const char *name, const std::vector<uint16_t> &ops) {
        Block b;
        b.db = db;
        for (uint32_t id = 0; id < Z7STFB_ROWS; id++)
            if (std::strcmp(Z7Stfb_GetName(id), name) == 0) b.h = Z7Stfb_GetProc(id);
        EXPECT_NE(b.h, nullptr) << name;
        b.inst = Z7Mem_Alloc(b.h(FB_INSTSIZE, 0, 0, 0, 0));
        const uint32_t list = Z7Mem_Alloc(2 + 2 * uint32_t(ops.size()));
        b.arg = iec_test::PutOperands(list, ops);
        mine.push_back(b.inst);
        mine.push_back(list);
        b.h(FB_INSTINIT, db, 0, b.inst, 0);
        return b;
    };
    auto b8 = [&](uint32_t i) { return Z7Mem_Get8(Z7Sec_Elem(db, Z7SEC_D8, i)); };
    auto set8 = [&](uint32_t i, uint8_t v) { Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_D8, i), v); };
    auto d32 = [&](uint32_t i) { return int32_t(Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_D32, i))); };
    auto set32 = [&](uint32_t i, int32_t v) { Z7Mem_Put32(Z7Sec_Elem(db, Z7SEC_D32, i), uint32_t(v)); };
    uint32_t now = 1000;
    auto stamp = [&](uint32_t t) { Z7Mem_Put32(Z7VM_Status(db) + ST_STAMP, t); };
    stamp(now);

    // master: INT array of 2 at 16-bit index 10, BOOL array of 8 at 8-bit index 20
    Peer peer;
    Z7VMStr_AscForceC(db, 1, "127.0.0.1");
    Z7Mem_Put32(Z7Sec_Elem(db, Z7SEC_TIME, 1), 500);
    set32(7, peer.port);
    const std::vector<uint16_t> ops{11, 1, 2, 1, 2, 3, 4, 5, 6, 10, 2, 1, 1, 7, 3, 4, 8};
    const Block m = make("MBMASTERTCP", ops);
    EXPECT_EQ(m.h(FB_CLASSNO, 0, 0, 0, 0), 50u);
    EXPECT_EQ(m.h(FB_INSTSIZE, 0, 0, 0, 0), 288u);
    set8(1, 1);
    for (int i = 0; i < 1000 && !b8(3); i++) {
        m.Run();
        peer.Accept();
    }
    ASSERT_EQ(b8(3), 1);
    auto send = [&](const Block &b) {
        set8(2, 0);
        b.Run();
        set8(2, 1);
        b.Run();
    };
    // the request's operands: unit, function, read address and count
    auto request = [&](int32_t unit, int32_t fn, int32_t raddr, int32_t rcount) {
        set32(1, unit);
        set32(2, fn);
        set32(3, raddr);
        set32(4, rcount);
    };
    request(1, 3, 101, 2);
    send(m);
    for (int i = 0; i < 100 && peer.fd < 0; i++) peer.Accept();
    EXPECT_EQ(peer.Read(12), Hex("00 01 00 00 00 06 01 03 00 64 00 02"));
    peer.Write(Hex("00 01 00 00 00 07 01 03 04 12 34 FF FE"));
    for (int i = 0; i < 1000 && !b8(4); i++) m.Run();
    EXPECT_EQ(b8(4), 1);
    EXPECT_EQ(d32(8), 0);
    EXPECT_EQ(Int(10), 4660);
    EXPECT_EQ(int16_t(Int(11)), -2);

    struct Case {
        const char *what;
        int32_t unit, fn, raddr, rcount, waddr, wcount;
        bool bools;
        int32_t error;
    };
    const Case cases[] = {
        {"FC16 x121", 1, 16, 1, 1, 1, 121, false, 204},
        {"address 0", 1, 3, 0, 1, 1, 1, false, 201},
        {"FC5 count 2", 1, 5, 1, 1, 1, 2, true, 204},
        {"unit 256", 256, 3, 1, 1, 1, 1, false, 200},
        {"FC9", 1, 9, 1, 1, 1, 1, false, 1},
        {"BOOL array FC3", 1, 3, 1, 1, 1, 1, true, 203},
    };
    const std::vector<uint16_t> bool_ops{1, 1, 2, 1, 2, 3, 4, 5, 6, 20, 8, 1, 1, 7, 3, 4, 8};
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        request(k.unit, k.fn, k.raddr, k.rcount);
        set32(5, k.waddr);
        set32(6, k.wcount);
        Block b = m;
        if (k.bools) {
            const uint32_t list = Z7Mem_Alloc(2 + 2 * uint32_t(bool_ops.size()));
            mine.push_back(list);
            b.arg = iec_test::PutOperands(list, bool_ops);
        }
        send(b);
        EXPECT_EQ(d32(8), k.error);
        EXPECT_EQ(b8(3), 1);
    }
    // an answer with another transaction id: 128 after the time-out, ready again
    request(1, 3, 101, 2);
    // sends the master's request; the frame the peer got
    auto ask = [&] {
        send(m);
        return peer.Read(12);
    };
    EXPECT_EQ(ask().size(), 12u);
    peer.Write(Hex("00 09 00 00 00 07 01 03 04 00 00 00 00"));
    m.Run();
    stamp(now + 501);
    m.Run();
    EXPECT_EQ(d32(8), 128);
    EXPECT_EQ(b8(3), 1);
    // an answer whose header announces 257 bytes is taken as it comes (the
    // frame holds it): the block waits for the rest, which never comes, and
    // the time-out gives 128
    const Bytes sent = ask();
    ASSERT_EQ(sent.size(), 12u);
    peer.Write({sent[0], sent[1], 0, 0, 0x01, 0x01, 1, 3, 4, 0x11, 0x11, 0x22, 0x22});
    for (int i = 0; i < 10; i++) m.Run();
    EXPECT_EQ(b8(4), 0);
    EXPECT_EQ(d32(8), 0);
    EXPECT_EQ(Int(10), 4660);
    stamp(now + 1002);
    m.Run();
    EXPECT_EQ(d32(8), 128);
    EXPECT_EQ(b8(3), 1);
    // a byte count of 4 with two data bytes in the frame: 202, nothing stored
    const Bytes again = ask();
    ASSERT_EQ(again.size(), 12u);
    peer.Write({again[0], again[1], 0, 0, 0, 5, 1, 3, 4, 0x77, 0x77});
    for (int i = 0; i < 100 && d32(8) == 0; i++) m.Run();
    EXPECT_EQ(d32(8), 202);
    EXPECT_EQ(Int(10), 4660);
    EXPECT_EQ(b8(3), 1);
    // a header announcing one byte (the unit alone): that byte is read and
    // the frame is too short, 202; the next answer is read from its own start
    const Bytes one = ask();
    ASSERT_EQ(one.size(), 12u);
    peer.Write({one[0], one[1], 0, 0, 0, 1, 1});
    for (int i = 0; i < 100 && d32(8) == 0; i++) m.Run();
    EXPECT_EQ(d32(8), 202);
    const Bytes after_one = ask();
    ASSERT_EQ(after_one.size(), 12u);
    peer.Write({after_one[0], after_one[1], 0, 0, 0, 7, 1, 3, 4, 0x0A, 0x0B, 0x0C, 0x0D});
    for (int i = 0; i < 100 && !b8(4) && d32(8) == 0; i++) m.Run();
    EXPECT_EQ(b8(4), 1);
    EXPECT_EQ(d32(8), 0);
    EXPECT_EQ(Int(10), 0x0A0B);
    EXPECT_EQ(Int(11), 0x0C0D);
    // answers parsed by their own function byte (FC3 asked, INT array):
    // function 0 is not supported (1) however short; a bit or identification
    // answer into the INT array is the wrong array type (203) even when its
    // byte count runs past the frame
    struct Odd {
        const char *what;
        Bytes pdu;  // unit, function, ...
        int32_t error;
    };
    const Odd odd[] = {
        {"function 0 alone", {1, 0x00}, 1},
        {"function 0, count 5", {1, 0x00, 0x05}, 1},
        {"FC1, count past the frame", {1, 0x01, 0x05}, 203},
        {"FC1, count 1", {1, 0x01, 0x01, 0xFF}, 203},
        {"FC17, count past the frame", {1, 0x11, 0x09, 0x01}, 203},
    };
    for (const Odd &k : odd) {
        SCOPED_TRACE(k.what);
        const Bytes req = ask();
        ASSERT_EQ(req.size(), 12u);
        Bytes a{req[0], req[1], 0, 0, 0, uint8_t(k.pdu.size())};
        a.insert(a.end(), k.pdu.begin(), k.pdu.end());
        peer.Write(a);
        for (int i = 0; i < 100 && d32(8) == 0; i++) m.Run();
        EXPECT_EQ(d32(8), k.error);
        EXPECT_EQ(b8(3), 1);
        EXPECT_EQ(Int(10), 0x0A0B);
    }
    // a header announcing 301 bytes, more than the frame holds: those bytes
    // are passed over and the answer behind them is read
    const Bytes big = ask();
    ASSERT_EQ(big.size(), 12u);
    Bytes stream{big[0], big[1], 0, 0, 0x01, 0x2D};
    stream.resize(6 + 301, 0);
    const Bytes tail{big[0], big[1], 0, 0, 0, 7, 1, 3, 4, 0x01, 0x02, 0x03, 0x04};
    stream.insert(stream.end(), tail.begin(), tail.end());
    peer.Write(stream);
    for (int i = 0; i < 100 && !b8(4) && d32(8) == 0; i++) m.Run();
    EXPECT_EQ(b8(4), 1);
    EXPECT_EQ(d32(8), 0);
    EXPECT_EQ(Int(10), 0x0102);
    EXPECT_EQ(Int(11), 0x0304);
    // command 8: during an on-line change (option bit 0x10) the connection
    // stays as it is; any other rebuild leaves the master closed, so that
    // with enable held TRUE (no edge) it is not ready and opens nothing
    const uint32_t opts = Z7Mem_Get32(Z7VM_Status(db) + ST_OPTIONS);
    Z7Mem_Put32(Z7VM_Status(db) + ST_OPTIONS, opts | Z7O_CHANGED);
    m.h(FB_INSTKEEP, db, 0, m.inst, 0);
    m.Run();
    EXPECT_EQ(b8(3), 1);
    const Z7SocketHandle kept_socket = int32_t(Z7Mem_Get32(m.inst + 20));  // the instance's socket word
    EXPECT_GE(kept_socket, 0);
    Z7Mem_Put32(Z7VM_Status(db) + ST_OPTIONS, opts & ~uint32_t(Z7O_CHANGED));
    m.h(FB_INSTKEEP, db, 0, m.inst, 0);
    m.Run();
    EXPECT_EQ(b8(3), 0);
    EXPECT_EQ(d32(8), 0);
    Z7Socket_CloseSocket(kept_socket);  // the rebuilt instance names it no more: closed here
    set8(1, 0);
    m.Run();
    EXPECT_EQ(b8(3), 0);
    m.h(FB_INSTEXIT, db, 0, m.inst, 0);

    // RTU master on the programming port (a socket pair's end): INT array of
    // 4 at 16-bit index 20, serial settings in string 3.
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
    Vcomm_Port[ProgrammingPort].fd = sv[0];
    Z7Serial_Rearm();
    Z7VMStr_AscForceC(db, 3, "9600,N,8,1");
    const Block r = make("MBMASTERRTU", {11, 1, 2, 1, 2, 3, 4, 5, 6, 20, 4, 1, 3, 3, 4, 8});
    EXPECT_EQ(r.h(FB_CLASSNO, 0, 0, 0, 0), 51u);
    EXPECT_EQ(r.h(FB_INSTSIZE, 0, 0, 0, 0), 288u);
    auto line = [&]() { return ReadNow(sv[1], 300); };
    auto answer = [&](const std::string &h) {
        const Bytes a = Hex(h);
        ASSERT_EQ(write(sv[1], a.data(), a.size()), ssize_t(a.size()));
    };
    set8(1, 0);
    r.Run();
    set8(1, 1);
    r.Run();
    EXPECT_EQ(b8(3), 1);  // ready: the port is open
    // bytes waiting on the line before a send are dropped; FC3 100 x4
    answer("55 AA 55");
    request(1, 3, 101, 4);
    send(r);
    EXPECT_EQ(line(), Hex("01 03 00 64 00 04 05 D6"));
    EXPECT_EQ(b8(4), 0);
    answer("01 03 08 12 34 FF");  // the answer in two pieces
    r.Run();
    EXPECT_EQ(b8(4), 0);
    answer("FE 00 01 86 A0 6E C2");
    for (int i = 0; i < 10 && !b8(4); i++) r.Run();
    EXPECT_EQ(b8(4), 1);
    EXPECT_EQ(d32(8), 0);
    EXPECT_EQ(Int(20), 0x1234);
    EXPECT_EQ(Int(21), 0xFFFE);
    EXPECT_EQ(Int(22), 0x0001);
    EXPECT_EQ(Int(23), 0x86A0);
    EXPECT_TRUE(Z7Serial_Held());
    // 'H','R' in the middle of an answer are data
    send(r);
    EXPECT_EQ(line(), Hex("01 03 00 64 00 04 05 D6"));
    answer("01 03 08");
    r.Run();
    answer("48 52 00 01 00 02 00 03 3F 85");
    for (int i = 0; i < 10 && !b8(4); i++) r.Run();
    EXPECT_EQ(b8(4), 1);
    EXPECT_EQ(Int(20), 0x4852);
    EXPECT_TRUE(Z7Serial_Held());
    // answers that end in an error, each after a fresh send
    struct RtuCase {
        const char *what, *answer;
        int32_t error;
    };
    const RtuCase rtu_cases[] = {
        {"CRC wrong", "01 03 08 12 34 FF FE 00 01 86 A0 6E C3", 129},
        {"exception: the function code", "01 83 02 C0 F1", 3},
        {"unknown function", "01 2B 00 00 00 10 24", 1},
        {"byte count above the array", "01 03 0A 00 00 00 00 00 00 00 00 00 00 24 B6", 202},
    };
    for (const RtuCase &k : rtu_cases) {
        SCOPED_TRACE(k.what);
        send(r);
        EXPECT_EQ(line(), Hex("01 03 00 64 00 04 05 D6"));
        answer(k.answer);
        for (int i = 0; i < 10 && !b8(4) && d32(8) == 0; i++) r.Run();
        EXPECT_EQ(d32(8), k.error);
        EXPECT_EQ(b8(3), 1);
    }
    // silence: 128 once the time-out has passed, ready for the next send
    send(r);
    EXPECT_EQ(line().size(), 8u);
    r.Run();
    EXPECT_EQ(d32(8), 0);
    stamp(now + 2000);
    r.Run();
    EXPECT_EQ(d32(8), 128);
    EXPECT_EQ(b8(3), 1);
    // FC6 to unit 0 (broadcast): done at once, no answer awaited
    set32(1, 0);
    set32(2, 6);
    set32(5, 301);
    set32(6, 1);
    SetInt(20, 4321);
    send(r);
    EXPECT_EQ(line(), Hex("00 06 01 2C 10 E1 85 A6"));
    EXPECT_EQ(b8(4), 1);
    EXPECT_EQ(d32(8), 0);
    // the controller's frame start while ready: the port goes back, the
    // connection is lost (130, not ready), and the next send sends nothing
    answer("48 52 00 00");
    r.Run();
    EXPECT_FALSE(Z7Serial_Held());
    EXPECT_EQ(b8(3), 0);
    EXPECT_EQ(d32(8), 130);
    send(r);
    EXPECT_TRUE(line().empty());
    // a fresh enable edge once the link is the runtime's again takes it again
    Z7Serial_Rearm();
    set8(1, 0);
    r.Run();
    set8(1, 1);
    r.Run();
    EXPECT_EQ(b8(3), 1);
    EXPECT_TRUE(Z7Serial_Held());
    set8(1, 0);
    r.Run();
    EXPECT_EQ(b8(3), 0);
    EXPECT_FALSE(Z7Serial_Held());
    r.h(FB_INSTEXIT, db, 0, r.inst, 0);
    Vcomm_Port[ProgrammingPort].fd = -1;
    close(sv[0]);
    close(sv[1]);

    // slaves: the default server on one port, "SRV" as unit 7 on another
    const uint16_t p1 = test_support::LoopbackFreePort();
    set32(9, p1);
    const Block s = make("MBSLAVETCP", {5, 9, 6});
    set8(5, 1);
    s.Run();
    ASSERT_EQ(b8(6), 1);
    const int cl = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(test_support::LoopbackConnect(cl, p1), 0);
    const Bytes q = Hex("01 02 00 00 00 06 00 03 00 00 00 01");
    ASSERT_EQ(write(cl, q.data(), q.size()), ssize_t(q.size()));
    Peer reader;
    reader.fd = cl;
    // runs the slave blocks until the client holds an 11-byte answer
    auto answer_of = [&](const std::vector<Block> &slaves, Peer &client) {
        Bytes got;
        for (int i = 0; i < 2000 && got.size() < 11; i++) {
            for (const Block &b : slaves) b.Run();
            const Bytes b = client.Read(11 - got.size());
            got.insert(got.end(), b.begin(), b.end());
        }
        return got;
    };
    EXPECT_EQ(answer_of({s}, reader), Hex("01 02 00 00 00 05 00 03 02 24 68"));
    // a transaction id of 'H','R' is a Modbus request like any other here
    const Bytes hr = Hex("48 52 00 00 00 06 00 03 00 00 00 01");
    ASSERT_EQ(write(cl, hr.data(), hr.size()), ssize_t(hr.size()));
    EXPECT_EQ(answer_of({s}, reader), Hex("48 52 00 00 00 05 00 03 02 24 68"));
    EXPECT_EQ(IsCommMode_Qncan, 1);
    set8(5, 0);
    s.Run();
    EXPECT_EQ(b8(6), 0);
    const int cl2 = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_NE(test_support::LoopbackConnect(cl2, p1), 0);
    close(cl2);

    // Port 502 while the controller's own Modbus server keeps it: no socket,
    // open stays FALSE, asked again each call; once free, the next call gets it.
    static bool kept = true;
    static uint16_t asked = 0;
    Z7MB_PortKept = [](uint16_t port) {
        asked = port;
        return kept;
    };
    set32(9, 502);
    set8(5, 1);
    for (int i = 0; i < 3; i++) {
        asked = 0;
        s.Run();
        EXPECT_EQ(b8(6), 0);
        EXPECT_EQ(asked, 502);
    }
    kept = false;
    // (this machine's namespace is shared: only when no other process holds 502)
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(502);
    const bool free502 = bind(probe, reinterpret_cast<sockaddr *>(&any), sizeof any) == 0;
    close(probe);
    if (free502) {
        s.Run();
        EXPECT_EQ(b8(6), 1);
        const int d502 = socket(AF_INET, SOCK_STREAM, 0);
        EXPECT_EQ(test_support::LoopbackConnect(d502, 502), 0);
        close(d502);
        set8(5, 0);
        s.Run();
        EXPECT_EQ(b8(6), 0);
    }
    set8(5, 0);
    Z7MB_PortKept = nullptr;

    const uint16_t p2 = test_support::LoopbackFreePort();
    set32(10, p2);
    set32(11, 7);
    Z7VMStr_AscForceC(db, 2, "SRV");
    const Block x = make("MBSLAVETCPEX", {7, 10, 11, 2, 8});
    set8(7, 1);
    x.Run();
    ASSERT_EQ(b8(8), 1);
    const int cx = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(test_support::LoopbackConnect(cx, p2), 0);
    Peer rx;
    rx.fd = cx;
    const Bytes q8 = Hex("00 03 00 00 00 06 08 03 00 00 00 01"), q7 = Hex("00 04 00 00 00 06 07 03 00 00 00 01");
    ASSERT_EQ(write(cx, q8.data(), q8.size()), ssize_t(q8.size()));
    for (int i = 0; i < 200; i++) x.Run();
    EXPECT_TRUE(rx.Read(11).empty());
    ASSERT_EQ(write(cx, q7.data(), q7.size()), ssize_t(q7.size()));
    EXPECT_EQ(answer_of({x}, rx), Hex("00 04 00 00 00 05 07 03 02 24 68"));

    // every slave instance has a server of its own: nine more, each on its
    // port (its open output at BOOL 9 + k), and the last one answers
    std::vector<Block> many;
    std::vector<uint16_t> ports;
    set8(5, 1);
    for (uint16_t k = 0; k < 9; k++) {
        ports.push_back(test_support::LoopbackFreePort());
        set32(12, ports.back());
        many.push_back(make("MBSLAVETCP", {5, 12, uint16_t(9 + k)}));
        many.back().Run();
        EXPECT_EQ(b8(9 + k), 1) << k;
    }
    const int c9 = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(test_support::LoopbackConnect(c9, ports.back()), 0);
    Peer r9;
    r9.fd = c9;
    ASSERT_EQ(write(c9, q.data(), q.size()), ssize_t(q.size()));
    EXPECT_EQ(answer_of(many, r9), Hex("01 02 00 00 00 05 00 03 02 24 68"));
    // a shut-down instance frees its port; another instance opens it again
    const std::vector<uint8_t> saved(Z7Mem_Ptr(many[3].inst, 20260), Z7Mem_Ptr(many[3].inst, 20260) + 20260);
    many[3].h(FB_INSTEXIT, db, 0, many[3].inst, 0);
    set32(12, ports[3]);
    const Block reopen = make("MBSLAVETCP", {5, 12, 18});
    reopen.Run();
    EXPECT_EQ(b8(18), 1);
    // the first one restored as a saved database holds it (its server was
    // closed at the stop) and kept outside an on-line change: it is cleared
    // and the server now another instance's goes on
    std::memcpy(Z7Mem_Ptr(many[3].inst, 20260), saved.data(), saved.size());
    many[3].h(FB_INSTKEEP, db, 0, many[3].inst, 0);
    EXPECT_EQ(std::vector<uint8_t>(Z7Mem_Ptr(many[3].inst, 20260), Z7Mem_Ptr(many[3].inst, 20260) + 20260),
              std::vector<uint8_t>(20260, 0));
    const int c3 = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(test_support::LoopbackConnect(c3, ports[3]), 0);
    close(c3);
    reopen.h(FB_INSTEXIT, db, 0, reopen.inst, 0);
    for (const Block &b : many) b.h(FB_INSTEXIT, db, 0, b.inst, 0);
    set8(5, 0);

    x.h(FB_INSTEXIT, db, 0, x.inst, 0);
    s.h(FB_INSTEXIT, db, 0, s.inst, 0);
    for (uint32_t b : mine) Z7Mem_Free(b);
    Z7Def_Stop(db, nullptr, nullptr, "");
}

// Connection list and variable list of the remote bindings.
Bytes CnxRecord(uint16_t port, uint16_t flags, uint16_t first, uint16_t count) {
    Bytes r(10, 0);
    const std::string ip = "127.0.0.1";
    r.insert(r.end(), ip.begin(), ip.end());
    r.push_back(0);
    LE_Put16(&r[0], uint16_t(r.size()));
    LE_Put16(&r[2], port);
    LE_Put16(&r[4], flags);
    LE_Put16(&r[6], first);
    LE_Put16(&r[8], count);
    return r;
}
Bytes VarRecord(uint8_t type, uint8_t kind, uint16_t index, uint16_t id) {
    return {type, kind, uint8_t(index), uint8_t(index >> 8), uint8_t(id), uint8_t(id >> 8)};
}
// Event frame of one change event: id, INT value, date and time stamps.
Bytes IntEvent(uint16_t id, uint16_t value, uint32_t date, uint32_t time) {
    Bytes f = Hex("5A 37 00 15 12 01 04 FF 07 01");
    for (uint32_t v : {date, time})
        for (int b = 3; b >= 0; b--) f.push_back(uint8_t(v >> (8 * b)));
    const Bytes data{uint8_t(id >> 8), uint8_t(id), 11, 0, 2, uint8_t(value >> 8), uint8_t(value)};
    f.insert(f.end(), data.begin(), data.end());
    return f;
}
// n calls of the remote bindings, one millisecond apart from now; each peer
// takes its connection once dialled.
void StepRemote(uint32_t db, uint32_t &now, int n, std::initializer_list<Peer *> peers) {
    for (int i = 0; i < n; i++) {
        Z7EAX_Activate(db, now++);
        for (Peer *p : peers)
            if (p->fd < 0) p->Accept();
    }
}

// The remote runtime closes its public variables (type 1, sub-code 9): the
// link stops delivering, and the status word shows it (bit 0) together with
// the link code (4). A STRING variable is bound to its string record.
TEST_F(Modbus, RemoteStopShowsInTheStatusWordAndStringsAreBound) {
    Peer a;
    ASSERT_EQ(StartRemote({CnxRecord(a.port, 0, 0, 4)}, {VarRecord(11, 2, 1, 0), VarRecord(11, 3, 2, 0),
                                                         VarRecord(11, 1, 3, 5), VarRecord(5, 1, 1, 7)}),
              0u);
    const uint32_t str = Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_STRPTR, 1));
    ASSERT_NE(str, 0u);
    EXPECT_EQ(Z7Mem_Get32(Z7Sec_Addr(db, Z7SEC_EAXVAR) + 3 * 32), str);
    uint32_t now = 10000;
    auto step = [&](int n) { StepRemote(db, now, n, {&a}); };
    step(50);
    ASSERT_GE(a.fd, 0);
    EXPECT_EQ(Int(1), 4);
    a.Write(IntEvent(5, 77, 0x07EA0C07, 1000));
    step(20);
    EXPECT_EQ(Int(3), 77);
    EXPECT_EQ(Int(1), 0);
    // one event: type 1, sub-code 9, no data, date and time stamps
    a.Write(Hex("5A 37 00 0E 12 01 01 09 00 00 07 EA 0C 07 00 00 03 E9"));
    step(20);
    EXPECT_EQ(Int(1), 4);
    EXPECT_EQ(Int(2), 1);
    // the string record was never written as a number
    EXPECT_EQ(Z7Mem_Get8(str), 40u);
    EXPECT_EQ(Z7Mem_Get8(str + 1), 0u);
    Z7Def_Stop(db, nullptr, nullptr, "");
}

// A frame that arrives after the 3 s wait, while the link shows no frame
// (code 3), is still taken at the next call: handled, answered, and the link
// delivers again on the same socket. Without a frame that call closes the
// link and dials anew.
TEST_F(Modbus, RemoteFrameAfterTheWaitIsStillTaken) {
    Peer a;
    ASSERT_EQ(StartRemote({CnxRecord(a.port, 0, 0, 2)}, {VarRecord(11, 2, 1, 0), VarRecord(11, 1, 3, 5)}), 0u);
    uint32_t now = 10000;
    StepRemote(db, now, 50, {&a});
    ASSERT_GE(a.fd, 0);
    const uint32_t rec = Z7Sec_Addr(db, Z7SEC_EAXCNX);
    ASSERT_EQ(Z7Mem_Get16(rec + 1060), 2);
    EXPECT_EQ(Int(1), 4);
    const int sock = int(Z7Mem_Get32(rec + 4));
    now += 3100;
    Z7EAX_Activate(db, now);
    EXPECT_EQ(Z7Mem_Get16(rec + 1060), 4);
    EXPECT_EQ(Int(1), 3);
    a.Write(IntEvent(5, 4321, 0x07EA0C07, 2000));
    pollfd p{sock, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    Z7EAX_Activate(db, ++now);
    EXPECT_EQ(Int(3), 4321);
    EXPECT_EQ(Int(1), 0);
    EXPECT_EQ(Z7Mem_Get16(rec + 1060), 2);  // handled and answered in the one call
    EXPECT_EQ(int(Z7Mem_Get32(rec + 4)), sock);
    EXPECT_EQ(a.Read(14), Hex("5A 37 00 0A 12 45 00 00 00 00 00 00 04 00"));
    // silent again: no frame (3), and at the next call the socket is closed
    Z7EAX_Activate(db, ++now);  // the wait starts
    now += 3100;
    Z7EAX_Activate(db, now);
    EXPECT_EQ(Z7Mem_Get16(rec + 1060), 4);
    EXPECT_EQ(Int(1), 3);
    Z7EAX_Activate(db, ++now);
    pollfd q{a.fd, POLLIN, 0};
    ASSERT_EQ(poll(&q, 1, 5000), 1);
    uint8_t byte = 0;
    // the old connection ended (the runtime's sockets close with a reset)
    EXPECT_EQ(read(a.fd, &byte, 1), -1);
    EXPECT_EQ(errno, ECONNRESET);
    Z7Def_Stop(db, nullptr, nullptr, "");
}

// Events whose value is no number of a known width still reach the stamps
// and the status word of their id and tell that the link delivers: a STRING
// event, and a change of an external variable (type with bit 7 set).
TEST_F(Modbus, RemoteStringAndExternalEventsReachTheirVariables) {
    Peer a;
    ASSERT_EQ(
        StartRemote({CnxRecord(a.port, 0, 0, 7)},
                    {VarRecord(11, 2, 1, 0), VarRecord(2, 1, 1, 6), VarRecord(16, 4, 2, 6), VarRecord(11, 3, 2, 7),
                     VarRecord(16, 4, 3, 7), VarRecord(16, 5, 4, 7), VarRecord(5, 1, 1, 7)}),
        0u);
    const uint32_t str = Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_STRPTR, 1));
    ASSERT_NE(str, 0u);
    uint32_t now = 10000;
    auto step = [&](int n) { StepRemote(db, now, n, {&a}); };
    step(50);
    ASSERT_GE(a.fd, 0);
    EXPECT_EQ(Int(1), 4);
    EXPECT_EQ(Int(2), 1);  // the status word: not delivering
    // id 7, STRING index 1, "AB"; date 2026-12-07, time 01:00:00.000
    a.Write(Hex("5A 37 00 16 12 01 04 FF 08 01 07 EA 0C 07 00 36 EE 80 00 07 05 00 01 02 41 42"));
    step(20);
    EXPECT_EQ(a.Read(14), Hex("5A 37 00 0A 12 45 00 00 00 00 00 00 04 00"));
    EXPECT_EQ(Int(1), 0);  // the link delivers
    EXPECT_EQ(Dint(3), 3600000u);
    EXPECT_EQ(Dint(4), 0x07EA0C07u);
    // id 6, an external DINT (0x82) index 3, 0x12345678; time 01:00:00.001
    a.Write(Hex("5A 37 00 17 12 01 04 FF 09 01 07 EA 0C 07 00 36 EE 81 00 06 82 00 03 12 34 56 78"));
    step(20);
    EXPECT_EQ(Dint(1), 0x12345678u);
    EXPECT_EQ(Dint(2), 3600001u);
    // id 7 again, date 2026-12-08, time 00:00:00.005: the status word now 0
    a.Write(Hex("5A 37 00 15 12 01 04 FF 07 01 07 EA 0C 08 00 00 00 05 00 07 05 00 01 01 43"));
    step(20);
    EXPECT_EQ(Int(2), 0);
    EXPECT_EQ(Dint(3), 5u);
    EXPECT_EQ(Dint(4), 0x07EA0C08u);
    EXPECT_EQ(Int(1), 0);
    // the string record was never written as a number
    EXPECT_EQ(Z7Mem_Get8(str), 40u);
    EXPECT_EQ(Z7Mem_Get8(str + 1), 0u);
    Z7Def_Stop(db, nullptr, nullptr, "");
}

TEST_F(Modbus, RemoteBindingsFollowAnotherRuntimesEvents) {
    Peer a, b, e, x;
    // 2-3: a pair; 4-5: a pair taking every value (flag 64); 6: variables
    // past the list's 9; 7: its partner's variables past the list
    ASSERT_EQ(StartRemote({CnxRecord(a.port, 0, 0, 3), CnxRecord(b.port, 16, 3, 2), CnxRecord(b.port, 32, 5, 2),
                           CnxRecord(e.port, 16 | 64, 7, 1), CnxRecord(e.port, 32 | 64, 8, 1),
                           CnxRecord(x.port, 0, 7, 5), CnxRecord(x.port, 16, 8, 1)},
                          {VarRecord(11, 2, 1, 0), VarRecord(11, 1, 2, 5), VarRecord(2, 1, 1, 6),
                           VarRecord(11, 2, 4, 0), VarRecord(11, 1, 3, 5), VarRecord(11, 2, 6, 0),
                           VarRecord(11, 1, 5, 5), VarRecord(11, 1, 7, 5), VarRecord(11, 1, 8, 5)}),
              0u);
    uint32_t now = 10000;
    auto step = [&](int n) { StepRemote(db, now, n, {&a, &b}); };
    step(50);
    ASSERT_GE(a.fd, 0);
    EXPECT_EQ(Int(1), 4);  // connected, nothing received yet
    a.Write(IntEvent(5, 3021, 0x07EA0C07, 1000));
    step(20);
    EXPECT_EQ(a.Read(14), Hex("5A 37 00 0A 12 45 00 00 00 00 00 00 04 00"));
    EXPECT_EQ(Int(2), 3021);
    EXPECT_EQ(Int(1), 0);
    // id 6, DINT 0x12345678
    a.Write(Hex("5A 37 00 17 12 01 04 FF 09 01 07 EA 0C 07 00 00 03 E9 00 06 02 00 02 12 34 56 78"));
    step(20);
    EXPECT_EQ(Dint(1), 0x12345678u);
    EXPECT_EQ(a.Read(14), Hex("5A 37 00 0A 12 45 00 00 00 00 00 00 04 00"));
    a.Write(IntEvent(9, 1, 0x07EA0C07, 1001));  // no variable of id 9
    step(20);
    EXPECT_EQ(Int(2), 3021);
    EXPECT_EQ(a.Read(14).size(), 14u);
    // an event whose value runs past its length changes nothing
    Bytes cut = IntEvent(5, 1234, 0x07EA0C07, 1002);
    cut[2 + 6] = 6;
    cut[3] = 0x14;
    cut.pop_back();
    a.Write(cut);
    step(20);
    EXPECT_EQ(Int(2), 3021);

    // the pair: the second source's older value is ignored, the newer taken
    ASSERT_GE(b.fd, 0);
    // both records of the pair share one peer here: connection 3 connects too
    int third_fd = -1;
    for (int i = 0; i < 100 && third_fd < 0; i++) {
        Z7EAX_Activate(db, now++);
        pollfd p{b.listen_fd, POLLIN, 0};
        if (poll(&p, 1, 0) > 0) third_fd = accept(b.listen_fd, nullptr, nullptr);
    }
    ASSERT_GE(third_fd, 0);
    step(20);
    EXPECT_EQ(Int(4), 4 | 4 << 4);  // both links of the pair connected, nothing yet
    b.Write(IntEvent(5, 500, 0x07EA0C07, 5000));
    step(20);
    EXPECT_EQ(Int(3), 500);
    EXPECT_EQ(Int(6), 0 | 4 << 4);  // the pair's code on both: first delivers, second not yet
    const Bytes older = IntEvent(5, 400, 0x07EA0C07, 4000), newer = IntEvent(5, 600, 0x07EA0C07, 6000);
    ASSERT_EQ(write(third_fd, older.data(), older.size()), ssize_t(older.size()));
    step(20);
    EXPECT_EQ(Int(5), 0);
    ASSERT_EQ(write(third_fd, newer.data(), newer.size()), ssize_t(newer.size()));
    step(20);
    EXPECT_EQ(Int(5), 600);
    // flag 64: the second link of that pair takes the older value too
    int pair_fd[2] = {-1, -1};
    for (int i = 0; i < 200 && pair_fd[1] < 0; i++) {
        Z7EAX_Activate(db, now++);
        pollfd p{e.listen_fd, POLLIN, 0};
        if (poll(&p, 1, 0) > 0) pair_fd[pair_fd[0] < 0 ? 0 : 1] = accept(e.listen_fd, nullptr, nullptr);
    }
    ASSERT_GE(pair_fd[1], 0);
    ASSERT_EQ(write(pair_fd[0], newer.data(), newer.size()), ssize_t(newer.size()));
    step(20);
    EXPECT_EQ(Int(7), 600);
    ASSERT_EQ(write(pair_fd[1], older.data(), older.size()), ssize_t(older.size()));
    step(20);
    EXPECT_EQ(Int(8), 400);
    // the connections whose variables lie outside the list never dialled
    pollfd px{x.listen_fd, POLLIN, 0};
    EXPECT_EQ(poll(&px, 1, 0), 0);

    // a frame that does not start "Z7": closed (code 2), reconnected 3 s later
    a.Write(Hex("41 42 00 02 12 00"));
    step(20);
    EXPECT_EQ(Int(1), 2);
    close(a.fd);
    a.fd = -1;
    step(2000);
    EXPECT_LT(a.fd, 0);
    now += 1100;
    step(50);
    EXPECT_GE(a.fd, 0);
    EXPECT_EQ(Int(1), 4);
    // a request that cannot go out (the link's socket takes no byte): 3 s
    // later the link shows no frame (3), then it is dialled anew
    const uint32_t rec = Z7Sec_Addr(db, Z7SEC_EAXCNX);
    ASSERT_EQ(Z7Mem_Get16(rec + 1060), 2);
    int full[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, full), 0);
    const std::vector<uint8_t> fill(4096, 0);
    while (write(full[0], fill.data(), fill.size()) > 0) {
    }
    close(a.fd);
    a.fd = -1;
    Z7Socket_CloseSocket(int32_t(Z7Mem_Get32(rec + 4)));
    Z7Mem_Put32(rec + 4, uint32_t(full[0]));
    Z7Mem_Put16(rec + 1060, 3);
    Z7Mem_Put16(rec + 1066, 0);
    // as after a frame: the handled frame whole in the buffer (21 of 21 bytes)
    const Bytes handled = IntEvent(5, 3021, 0x07EA0C07, 1000);
    std::memcpy(Z7Mem_Ptr(rec + 16, handled.size()), handled.data(), handled.size());
    Z7Mem_Put16(rec + 1062, 21);
    Z7Mem_Put16(rec + 1064, 21);
    Z7Mem_Put32(rec + 1056, 0);
    // the wait spans the wrap of the runtime's millisecond tick (2^32 ms)
    now = 4294967296u - 1500;
    for (uint32_t t = 0; t <= 3000; t += 500) Z7EAX_Activate(db, now + t);  // the wait starts at the first
    EXPECT_EQ(Z7Mem_Get16(rec + 1060), 3);
    EXPECT_EQ(Int(1), 4);
    Z7EAX_Activate(db, now + 3001);
    EXPECT_EQ(Z7Mem_Get16(rec + 1060), 4);
    EXPECT_EQ(Int(1), 3);
    now += 5000;
    step(50);  // the socket closed (the test's end of the pair with it), the peer dialled again
    EXPECT_GE(a.fd, 0);
    EXPECT_EQ(Int(1), 4);
    close(full[1]);
    // a frame larger than the 1,024 bytes announced closes the link
    a.Write(Hex("5A 37 04 00 12 00"));
    step(20);
    EXPECT_EQ(Int(1), 2);
    Z7Def_Stop(db, nullptr, nullptr, "");
    close(third_fd);
    for (int fd : pair_fd) close(fd);
}

}  // namespace
