// The IEC application's own field I/O in process: application CAN messages
// on a bus in memory behind the CAN seam, the AS-i binding with its stand-in
// files, the driver kit without drivers.
#include <bit>
#include <cerrno>
#include <cmath>
#include <deque>
#include <fstream>
#include <limits>
#include <sys/stat.h>
#include <string>

#include "iec/services/z7rtio.h"
#include "iec/services/z7svc.h"
#include "iec/vm/z7map.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7stdlib.h"
#include "platform/plat_can.h"
#include "tests/iec/iec_fixture.h"
#include "tests/support/iec_rtio.h"

using namespace test_support;

namespace {
struct Frame {
    uint32_t word;
    std::vector<uint8_t> data;
    bool operator==(const Frame &o) const { return word == o.word && data == o.data; }
};
std::ostream &operator<<(std::ostream &os, const Frame &f) {
    os << std::hex << f.word << " [";
    for (uint8_t b : f.data) os << " " << int(b);
    return os << " ]";
}
struct MemBus {
    std::vector<std::string> opened;
    std::deque<std::array<uint8_t, 16>> in;
    std::vector<Frame> out;
    std::vector<int> closed;  // endpoints closed, in order
    int room = 1 << 30;
    int fail_step = 0;  // an open fails at this step (errno EMFILE), 0 none
};
MemBus bus;
// Frames put in reach the first endpoint opened (5); others read nothing.
int BusOpen(const char *name) {
    bus.opened.push_back(name);
    if (bus.fail_step != 0) {
        plat_can_open_step = bus.fail_step;
        errno = EMFILE;
        return -1;
    }
    return 4 + int(bus.opened.size());
}
int BusRead(int ep, uint8_t *f) {
    if (bus.in.empty() || ep != 5) {
        errno = EAGAIN;
        return -1;
    }
    std::memcpy(f, bus.in.front().data(), 16);
    bus.in.pop_front();
    return 16;
}
int BusWrite(int, const uint8_t *f) {
    if (bus.room <= 0) {
        errno = EAGAIN;
        return -1;
    }
    bus.room--;
    const uint32_t w = f[0] | uint32_t(f[1]) << 8 | uint32_t(f[2]) << 16 | uint32_t(f[3]) << 24;
    bus.out.push_back({w, std::vector<uint8_t>(f + 8, f + 8 + (f[4] > 8 ? 8 : f[4]))});
    return 16;
}
int BusMask(int, uint32_t) { return 0; }
int BusBuf(int, int) { return 0; }
void BusClose(int ep) { bus.closed.push_back(ep); }
const PlatCanOps kMemBus = {BusOpen, BusRead, BusWrite, BusMask, BusBuf, BusClose, nullptr};

void Inject(uint32_t word, std::vector<uint8_t> data, int len = -1) {
    std::array<uint8_t, 16> f{};
    for (int i = 0; i < 4; i++) f[i] = uint8_t(word >> (8 * i));
    f[4] = uint8_t(len < 0 ? int(data.size()) : len);
    for (size_t i = 0; i < data.size() && i < 8; i++) f[8 + i] = data[i];
    bus.in.push_back(f);
}

class RtIo : public iec_test::IecTest {
protected:
    Z7Services saved_services{};
    const PlatCanOps *saved_can = nullptr;
    uint32_t db = 0;
    void SetUp() override {
        IecTest::SetUp();
        saved_services = z7_services;
        Z7Svc_Install();
        z7_services.trace = nullptr;
        saved_can = plat_can;
        plat_can = &kMemBus;
        bus = MemBus{};
    }
    void TearDown() override {
        if (db) Z7VM_ShutDown(db, nullptr);
        plat_can = saved_can;
        z7_services = saved_services;
        IecTest::TearDown();
    }
    uint32_t StartBytes(const std::vector<uint8_t> &bytes) {
        const uint32_t code = IecLoad(bytes);
        blocks.push_back(code);
        uint32_t d = 0;
        const uint32_t rc = Create(code, d);
        if (rc != 0) return rc;
        bus.opened.clear();  // the endpoints of this start
        const uint32_t b = Z7Def_ColdStart(code, d, nullptr, nullptr, 0, 0, "APP");
        if (b == 0) db = d;
        return b;
    }
    std::vector<Frame> Take() {
        std::vector<Frame> f = bus.out;
        bus.out.clear();
        return f;
    }
    void Set16(uint32_t idx, uint16_t v) { Z7Mem_Put16(Z7Sec_Elem(db, Z7SEC_D16, idx), v); }
    uint8_t Var8(uint32_t idx) { return Z7Mem_Get8(Z7Sec_Elem(db, Z7SEC_D8, idx)); }
    uint32_t Var32(uint32_t idx) { return Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_D32, idx)); }
};

TEST_F(RtIo, CanDefinedMessagesEveryKindAndTiming) {
    ASSERT_EQ(StartBytes(CanTestImage()), 0u);
    EXPECT_EQ(bus.opened, std::vector<std::string>{"can1"});  // "vport" gets no endpoint
    EXPECT_EQ(Var8(2), 1);
    Z7VMCan_ExchangeAt(db, 1000);
    // first exchange: cyclic and on-change messages at once, the request of BOOL 2
    const std::vector<Frame> first = {
        {0x281, {0x00, 0x00, 0x33, 0x44}}, {0x282, {0x00, 0x00}}, {0x283, {0xAA}}, {0x284, {0x00, 0x00, 0x64, 0x00}}};
    EXPECT_EQ(Take(), first);
    EXPECT_EQ(Var8(2), 0);  // the request resets its variable
    Z7VMCan_ExchangeAt(db, 1010);
    EXPECT_EQ(Take(), std::vector<Frame>{});

    // receive: every mapping of 0x181
    Inject(0x181, {0x34, 0x12, 0xAB, 0xCD, 0xA8, 0x67, 0x89, 0xE3});
    Z7VMCan_ExchangeAt(db, 1020);
    EXPECT_EQ(Var16(db, 1), 0x1234);
    EXPECT_EQ(Var16(db, 2), 0xABCD);
    EXPECT_EQ(Var16(db, 3), 0x3A);
    EXPECT_EQ(Var32(1), 0x78967u);
    EXPECT_EQ(Var8(1), 1);
    Inject(0x181, {0x00, 0x80, 0x00, 0x01, 0x50, 0x04, 0x00, 0x20});
    Z7VMCan_ExchangeAt(db, 1030);
    EXPECT_EQ(Var16(db, 1), 0x8000);
    EXPECT_EQ(Var16(db, 2), 0x0001);
    EXPECT_EQ(Var16(db, 3), 0x05);
    EXPECT_EQ(Var32(1), 0x10004u);
    EXPECT_EQ(Var8(1), 0);
    // no new data: a variable written by the program keeps its value
    Set16(1, 7);
    Z7VMCan_ExchangeAt(db, 1040);
    EXPECT_EQ(Var16(db, 1), 7);
    // a frame longer than its record copies the record's length; new-data flag for one cycle
    Inject(0x1F0, {0x01, 0x02, 0x03, 0x04});
    Z7VMCan_ExchangeAt(db, 1050);
    EXPECT_EQ(Var16(db, 9), 1);
    EXPECT_EQ(Var16(db, 10), 0x0201);
    const uint32_t port = _Z7VMCan_FindPort(db, "can1");
    const uint32_t m1f0 = Z7VMCan_FindRcvMsg(port, 0x1F0);
    ASSERT_NE(m1f0, 0u);
    EXPECT_EQ(std::vector<uint8_t>(Z7Mem_Ptr(m1f0 + CM_DATA, 8), Z7Mem_Ptr(m1f0 + CM_DATA, 8) + 8),
              (std::vector<uint8_t>{1, 2, 0, 0, 0, 0, 0, 0}));
    Z7VMCan_ExchangeAt(db, 1060);
    EXPECT_EQ(Var16(db, 9), 0);
    // port word 7: identifiers 0x700-0x77F keep the low 7 bits of byte 0
    Inject(0x705, {0xFF, 0x11, 0x22, 0x33});
    Z7VMCan_ExchangeAt(db, 1070);
    const uint32_t m705 = Z7VMCan_FindRcvMsg(port, 0x705);
    EXPECT_EQ(Z7Mem_Get32(m705 + CM_DATA), 0x7Fu);
    EXPECT_EQ(Take(), std::vector<Frame>{});

    // cyclic 0x281 after 100 ms with the new value; 0x284 after 200 ms
    Set16(5, 0x1234);
    Z7VMCan_ExchangeAt(db, 1099);
    EXPECT_EQ(Take(), std::vector<Frame>{});
    Z7VMCan_ExchangeAt(db, 1100);
    EXPECT_EQ(Take(), (std::vector<Frame>{{0x281, {0x34, 0x12, 0x33, 0x44}}}));
    Set16(7, 0x0ABC);
    Set16(8, 40);
    Z7VMCan_ExchangeAt(db, 1200);
    EXPECT_EQ(Take(), (std::vector<Frame>{{0x281, {0x34, 0x12, 0x33, 0x44}}, {0x284, {0xC0, 0xAB, 0x78, 0x00}}}));
    // on change: at most every 50 ms while changing, big-endian
    Set16(6, 0x0102);
    Z7VMCan_ExchangeAt(db, 1210);
    EXPECT_EQ(Take(), (std::vector<Frame>{{0x282, {0x01, 0x02}}}));
    Set16(6, 0x0103);
    Z7VMCan_ExchangeAt(db, 1230);
    EXPECT_EQ(Take(), std::vector<Frame>{});
    Z7VMCan_ExchangeAt(db, 1260);
    EXPECT_EQ(Take(), (std::vector<Frame>{{0x282, {0x01, 0x03}}}));
    // unchanged: every maximum interval (1000 ms)
    Z7VMCan_ExchangeAt(db, 2259);
    for (const Frame &f : Take()) EXPECT_NE(f.word, 0x282u);
    Z7VMCan_ExchangeAt(db, 2260);
    std::vector<Frame> got = Take();
    EXPECT_EQ(std::count(got.begin(), got.end(), Frame{0x282, {0x01, 0x03}}), 1);
    // on request: one frame per TRUE pulse
    Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_D8, 2), 1);
    Z7VMCan_ExchangeAt(db, 2270);
    EXPECT_EQ(Take(), (std::vector<Frame>{{0x283, {0xAA}}}));
    Z7VMCan_ExchangeAt(db, 2280);
    EXPECT_EQ(Take(), std::vector<Frame>{});
    // a busy endpoint keeps the queue for the next cycle; nothing goes twice
    bus.room = 0;
    Z7VMCan_ExchangeAt(db, 2360);
    EXPECT_EQ(Take(), std::vector<Frame>{});
    bus.room = 1 << 30;
    Z7VMCan_ExchangeAt(db, 2365);
    EXPECT_EQ(Take(), (std::vector<Frame>{{0x281, {0x34, 0x12, 0x33, 0x44}}}));
    Z7VMCan_ExchangeAt(db, 2370);
    EXPECT_EQ(Take(), std::vector<Frame>{});
}

TEST_F(RtIo, CanSpareSlotsPortLookupAndBlock) {
    ASSERT_EQ(StartBytes(CanTestImage()), 0u);
    Z7VMCan_ExchangeAt(db, 500);
    Take();
    // receive: two spare slots, a third frame is dropped; length kept, rest zeroed
    Inject(0x3FF, {0x01, 0x02});
    Inject(0x18FF0001u | PLAT_CAN_EFF, {9, 8, 7, 6, 5, 4, 3, 2});
    Inject(0x3FE, {0x05});
    Inject(0x3FD, {0x06}, 12);
    Z7VMCan_ExchangeAt(db, 510);
    uint32_t id = 0, len = 0;
    uint8_t data[8];
    ASSERT_EQ(Z7VMCan_RcvAppMsg(db, "can1", &id, &len, data), 1u);
    EXPECT_EQ(id, 0x3FFu);
    EXPECT_EQ(len, 2u);
    EXPECT_EQ(std::vector<uint8_t>(data, data + 8), (std::vector<uint8_t>{1, 2, 0, 0, 0, 0, 0, 0}));
    ASSERT_EQ(Z7VMCan_RcvAppMsg(db, "", &id, &len, data), 1u);  // empty name: the first port
    EXPECT_EQ(id, 0x18FF0001u);
    EXPECT_EQ(len, 8u);
    EXPECT_EQ(Z7VMCan_RcvAppMsg(db, "can1", &id, &len, data), 0u);
    // slots free again: a frame with a length above 8 counts as 8
    Inject(0x3FD, {0x06, 0, 0, 0, 0, 0, 0, 0x07}, 12);
    Z7VMCan_ExchangeAt(db, 520);
    ASSERT_EQ(Z7VMCan_RcvAppMsg(db, "1", &id, &len, data), 1u);
    EXPECT_EQ(len, 8u);
    EXPECT_EQ(data[7], 0x07);
    // port lookup
    EXPECT_EQ(_Z7VMCan_FindPort(db, "2"), _Z7VMCan_FindPort(db, "vport"));
    EXPECT_NE(_Z7VMCan_FindPort(db, "2"), 0u);
    EXPECT_EQ(_Z7VMCan_FindPort(db, "3"), 0u);
    EXPECT_EQ(_Z7VMCan_FindPort(db, "CAN1"), 0u);
    // send: two slots per port, length up to 8, identifiers above 0x7FF extended
    const uint8_t d3[8] = {1, 2, 3};
    EXPECT_EQ(Z7VMCan_SendAppMsg(db, "can1", 0x12345, 3, d3, 0), 1u);
    EXPECT_EQ(Z7VMCan_SendAppMsg(db, "can1", 0x100, 1, d3, 1), 1u);
    EXPECT_EQ(Z7VMCan_SendAppMsg(db, "can1", 0x101, 1, d3, 0), 0u);
    EXPECT_EQ(Z7VMCan_SendAppMsg(db, "can1", 0x102, 9, d3, 0), 0u);
    EXPECT_EQ(Z7VMCan_SendAppMsg(db, "nope", 0x102, 1, d3, 0), 0u);
    EXPECT_EQ(Z7VMCan_SendAppMsg(db, "2", 0x103, 1, d3, 0), 1u);  // no endpoint: dropped, slot freed
    Z7VMCan_ExchangeAt(db, 530);
    EXPECT_EQ(Take(), (std::vector<Frame>{{0x12345u | PLAT_CAN_EFF, {1, 2, 3}}, {0x100, {1}}}));
    Z7VMCan_ExchangeAt(db, 540);
    EXPECT_EQ(Take(), std::vector<Frame>{});  // sent once, slots free again
    EXPECT_EQ(Z7VMCan_SendAppMsg(db, "can1", 0x104, 0, nullptr, 0), 1u);
    EXPECT_EQ(Z7VMCan_SendAppMsg(db, "vport", 0x105, 2, d3, 0), 1u);
    EXPECT_EQ(Z7VMCan_SendAppMsg(db, "vport", 0x106, 2, d3, 0), 1u);

    // host callbacks
    const uint32_t port = _Z7VMCan_FindPort(db, "can1");
    uint32_t n = 0;
    EXPECT_EQ(Z7VMCan_GetRcvMsgList(port, &n), Z7VMCan_FindRcvMsg(port, 0x181));
    EXPECT_EQ(n, 3u);
    EXPECT_NE(Z7VMCan_GetSndMsgList(port, &n), 0u);
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(Z7VMCan_CB(3, port, 0, 0x705), Z7VMCan_FindRcvMsg(port, 0x705));
    EXPECT_EQ(Z7VMCan_CB(1, port, 0, 0), 0u);
    EXPECT_EQ(Z7VMCan_CB(9, port, 0, 0), 0u);
}

// The CANRCVMSG block through the block handler: port, USINT[8], size, received, id, length.
TEST_F(RtIo, CanReceiveBlock) {
    IecImage app = CanTestApp();
    app.d32 = {4, 4, 0};
    app.str = {1, 1, 0};
    app.string_sizes = {8};
    app.init_str = {{1, "can1"}};
    app.d8 = {31, 31, 0};
    app.d32 = {7, 7, 0};
    ASSERT_EQ(StartBytes(CanTestImage(CanTestDef(), app)), 0u);
    FbHandler h = nullptr;
    for (uint32_t r = 0; r < Z7STFB_ROWS; r++)
        if (std::string(Z7Stfb_GetName(r)) == "CANRCVMSG") h = Z7Stfb_GetProc(r);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h(3, db, 0, 0, 0), 8u);
    EXPECT_EQ(h(9, db, 0, 0, 0), 1u);
    const uint32_t inst = Z7Mem_Alloc(8), ops = Z7Mem_Alloc(16);
    blocks.push_back(inst);
    blocks.push_back(ops);
    auto call = [&](uint16_t size) {
        const uint16_t w[7] = {6, 1, 10, size, 20, 2, 3};  // count, port, array, size, received, id, length
        for (int i = 0; i < 7; i++) Z7Mem_Put16(ops + 2 * i, w[i]);
        h(0, db, 0, inst, ops + 2);
    };
    Z7VMCan_ExchangeAt(db, 100);
    Inject(0x3AA, {0xDE, 0xAD, 0xBE});
    Z7VMCan_ExchangeAt(db, 110);
    call(4);  // array too small: all outputs 0, the message stays
    EXPECT_EQ(Var8(20), 0);
    call(8);
    EXPECT_EQ(Var8(20), 1);
    EXPECT_EQ(Var32(2), 0x3AAu);
    EXPECT_EQ(Var32(3), 3u);
    EXPECT_EQ(std::vector<uint8_t>(Z7Mem_Ptr(Z7Sec_Elem(db, Z7SEC_D8, 10), 8),
                                   Z7Mem_Ptr(Z7Sec_Elem(db, Z7SEC_D8, 10), 8) + 8),
              (std::vector<uint8_t>{0xDE, 0xAD, 0xBE, 0, 0, 0, 0, 0}));
    call(8);
    EXPECT_EQ(Var8(20), 0);
    EXPECT_EQ(Var32(2), 0u);
}

// CANSND (standard function 199) through the function table: {result, port,
// DINT identifier, DINT length, USINT array, declared size, BOOL flag}.
TEST_F(RtIo, CanSendFunctionQueuesOnTheSpareSlots) {
    IecImage app = CanTestApp();
    app.str = {2, 2, 0};
    app.string_sizes = {8, 8};
    app.init_str = {{1, "can1"}, {2, "nope"}};
    app.d8 = {31, 31, 0};
    app.d32 = {7, 7, 0};
    ASSERT_EQ(StartBytes(CanTestImage(CanTestDef(), app)), 0u);
    for (uint8_t i = 0; i < 8; i++) Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_D8, 10 + i), uint8_t(i + 1));
    Z7VMCan_ExchangeAt(db, 500);
    Take();
    const uint32_t call = Z7Mem_Alloc(4 + 2 * 7);
    blocks.push_back(call);
    // one call; the BOOL result (20) and the log entry it left (0 = none)
    auto cansnd = [&](uint16_t port, uint32_t id, int32_t len, uint16_t size, uint8_t flag) {
        Z7Mem_Put32(Z7Sec_Elem(db, Z7SEC_D32, 4), id);
        Z7Mem_Put32(Z7Sec_Elem(db, Z7SEC_D32, 5), uint32_t(len));
        Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_D8, 21), flag);
        Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_D8, 20), 0xEE);
        const uint16_t w[9] = {199, 7, 20, port, 4, 5, 10, size, 21};
        for (uint32_t i = 0; i < 9; i++) Z7Mem_Put16(call + 2 * i, w[i]);
        EXPECT_EQ(Z7VMStf_Execute(db, call), 1u);
        return Var8(20);
    };
    EXPECT_EQ(cansnd(1, 0x124, 5, 4, 0), 0);   // longer than the array's declared 4
    EXPECT_EQ(cansnd(1, 0x124, -1, 8, 0), 0);  // a negative length
    EXPECT_EQ(cansnd(2, 0x124, 1, 8, 0), 0);   // no port of that name
    EXPECT_EQ(cansnd(1, 0x123, 3, 8, 0), 1);
    EXPECT_EQ(cansnd(1, 0x18FF0001u, 8, 8, 1), 1);
    EXPECT_EQ(cansnd(1, 0x125, 1, 8, 0), 0);  // both spare send slots taken
    // the flag marks the second slot (queued 0x02, application 0x20, flag 0x10)
    const uint32_t slots = Z7Mem_Get32(_Z7VMCan_FindPort(db, "can1") + CP_SPARE_SND);
    EXPECT_EQ(Z7Mem_Get16(slots + CM_FLAGS), 0x22);
    EXPECT_EQ(Z7Mem_Get16(slots + CM_SIZE + CM_FLAGS), 0x32);
    Z7VMCan_ExchangeAt(db, 510);
    EXPECT_EQ(Take(), (std::vector<Frame>{{0x123, {1, 2, 3}}, {0x18FF0001u | PLAT_CAN_EFF, {1, 2, 3, 4, 5, 6, 7, 8}}}));
    EXPECT_EQ(cansnd(1, 0x126, 0, 8, 0), 1);  // slots free again; no data bytes
    Z7VMCan_ExchangeAt(db, 520);
    EXPECT_EQ(Take(), (std::vector<Frame>{{0x126, {}}}));
}

// Definitions whose offsets or counts leave the image build nothing (code 1)
// and open no endpoint; sizing, hot checks and the remaining kinds.
TEST_F(RtIo, CanDefinitionBoundsHotBuildAndHostKinds) {
    struct Bad {
        const char *what;
        void (*edit)(std::vector<uint8_t> &b, uint32_t def);
    };
    const Bad bad[] = {
        {"port table past the end",
         [](std::vector<uint8_t> &b, uint32_t d) { RtPut32(b, d + 12, uint32_t(b.size()) - 40); }},
        {"receive table past the end", [](std::vector<uint8_t> &b, uint32_t d) { RtPut32(b, d + 16, 0xFFFFFFF0u); }},
        {"variable count too large", [](std::vector<uint8_t> &b, uint32_t d) { RtPut16(b, d + 8, 0x7FFF); }},
        {"port lists beyond the messages", [](std::vector<uint8_t> &b, uint32_t d) { RtPut16(b, d + 32 + 2, 9); }},
        {"port name to the end of its record",
         [](std::vector<uint8_t> &b, uint32_t d) { std::memset(&b[d + 32 + 16], 'c', 64); }},
    };
    for (const Bad &t : bad) {
        std::vector<uint8_t> bytes = CanTestImage();
        uint32_t def = 0;
        IecImage probe = CanTestApp();
        probe.ext.resize(17, 0);
        probe.ext[16] = 0xFFFFFFFF;
        def = uint32_t(probe.Build().size());
        t.edit(bytes, def);
        bus = MemBus{};
        EXPECT_EQ(StartBytes(bytes), 1u) << t.what;
        EXPECT_TRUE(bus.opened.empty()) << t.what;
    }
    // sizing: 2 ports, 3 + 4 + 2 x 2 x 2 messages, 12 variables
    ASSERT_EQ(StartBytes(CanTestImage()), 0u);
    EXPECT_EQ(Z7Sec_Get(db, Z7SEC_CAN0, SD_ALLOC), 2);
    EXPECT_EQ(Z7Sec_Get(db, Z7SEC_CAN0 + 1, SD_ALLOC), 15);
    EXPECT_EQ(Z7Sec_Get(db, Z7SEC_CAN0 + 2, SD_ALLOC), 12);
    EXPECT_EQ(Z7Sec_Get(db, Z7SEC_CAN0 + 1, SD_ELEM), 40);
    const uint32_t code = Z7Mem_Get32(Z7VM_Header(db) + HD_CODE);
    EXPECT_EQ(Z7VMCan_CanBuildHot(db, code), 0u);
    CanDefImage more = CanTestDef();
    more.ports.push_back({"can0", 0, 0, 0, 0, 0});
    const uint32_t bigger = IecLoad(CanTestImage(more));
    blocks.push_back(bigger);
    EXPECT_EQ(Z7VMCan_CanBuildHot(db, bigger), 1u);
    EXPECT_EQ(Z7VM_CanHOTStart(bigger, db), 51u);
    // host kinds on 0x1F0 and 0x284: error count, bus-off, port frame flag,
    // host word, request, new length; a complex-type variable
    CanDefImage k = CanTestDef();
    auto var = [](uint16_t msg, uint8_t kind, uint8_t send, uint8_t vtype, uint16_t index) {
        CanVarDef x;
        x.msg = msg, x.kind = kind, x.send = send, x.vtype = vtype, x.index = index;
        return x;
    };
    k.vars = {var(1, 129, 0, RT_INT, 11),  var(1, 130, 0, RT_INT, 12), var(1, 132, 0, RT_INT, 13),
              var(1, 134, 0, RT_UDINT, 4), var(3, 136, 1, RT_INT, 14), var(3, 135, 1, RT_UDINT, 5)};
    CanVarDef ct = var(0, 1, 0, RT_INT, 0);
    ct.size = 2, ct.mtype = RT_INT, ct.ct = 6;
    k.vars.push_back(ct);
    CanVarDef late = var(0, 1, 0, RT_INT, 15);
    late.msg = 3;  // past the receive list: never exchanged
    late.size = 2, late.mtype = RT_INT;
    k.vars.push_back(late);
    IecImage app = CanTestApp();
    app.ct_alloc = 16;
    app.ct_used = 16;
    Z7VM_ShutDown(db, nullptr);
    db = 0;
    ASSERT_EQ(StartBytes(CanTestImage(k, app)), 0u);
    const uint32_t ctseg = Z7Sec_Addr(db, Z7SEC_CT);
    Set16(11, 99), Set16(12, 99), Set16(15, 77);
    Set16(14, 2);
    Z7VMCan_ExchangeAt(db, 10);
    Take();
    Inject(0x1F0, {1});
    Inject(0x181, {0x22, 0x11});
    Z7VMCan_ExchangeAt(db, 20);
    EXPECT_EQ(Var16(db, 11), 0);
    EXPECT_EQ(Var16(db, 12), 0);
    EXPECT_EQ(Var16(db, 13), 1);
    EXPECT_EQ(Var16(db, 15), 77);
    EXPECT_EQ(Z7Mem_Get16(ctseg + 6), 0x1122);
    Z7VMCan_ExchangeAt(db, 30);
    EXPECT_EQ(Var16(db, 13), 0);
    Z7VMCan_ExchangeAt(db, 210);
    const std::vector<Frame> cyc = {{0x281, {0x11, 0x22, 0x33, 0x44}}, {0x284, {0, 0}}};
    EXPECT_EQ(Take(), cyc);  // 0x284 with its new length 2
    Set16(14, 9);            // above 8: ignored
    Z7VMCan_ExchangeAt(db, 410);
    EXPECT_EQ(Take(), cyc);
}
}  // namespace

namespace {
std::vector<uint8_t> ReadFile(const std::string &path) {
    std::vector<uint8_t> b;
    if (FILE *f = std::fopen(path.c_str(), "rb")) {
        uint8_t buf[256];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) b.insert(b.end(), buf, buf + n);
        std::fclose(f);
    }
    return b;
}
void WriteFile(const std::string &path, const std::vector<uint8_t> &b) {
    const std::string tmp = path + ".new";
    FILE *f = std::fopen(tmp.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(b.data(), 1, b.size(), f);
    std::fclose(f);
    std::rename(tmp.c_str(), path.c_str());
}

// A port whose endpoint does not open is traced by the step that failed
// and stays without one; the application runs on.
TEST_F(RtIo, CanPortThatDoesNotOpenIsTracedByItsStep) {
    const std::pair<int, std::string> steps[] = {{PLAT_CAN_STEP_SOCKET, "Cannot create CAN socket 24\n\n"},
                                                 {PLAT_CAN_STEP_INTERFACE, "IOCTL error\n\n"},
                                                 {PLAT_CAN_STEP_BIND, "Cannot bind CAN port\n"}};
    for (const auto &[step, text] : steps) {
        bus = MemBus{};
        bus.fail_step = step;
        testing::internal::CaptureStdout();
        const uint32_t rc = StartBytes(CanTestImage());
        EXPECT_EQ(testing::internal::GetCapturedStdout(), text) << step;
        ASSERT_EQ(rc, 0u) << step;
        EXPECT_EQ(bus.opened, std::vector<std::string>{"can1"});
        EXPECT_EQ(Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_CAN0, 0) + CP_SOCK), 0xFFFFFFFFu) << step;
        Z7VMCan_ExchangeAt(db, 1000);
        EXPECT_EQ(Take(), std::vector<Frame>{}) << step;
        Z7VM_ShutDown(db, nullptr);
        db = 0;
    }
}

// The CAN definition (extension word 17) is read from a table count of 15
// on: with 15 and 16 the ports open, with 14 the application has none.
TEST_F(RtIo, CanDefinitionPresentFromExtensionCount15) {
    struct Row {
        int count;
        std::vector<std::string> opened;
        uint32_t ports;
    };
    for (const Row &r : {Row{14, {}, 0}, Row{15, {"can1"}, 2}, Row{16, {"can1"}, 2}}) {
        IecImage app = CanTestApp();
        app.ext_count = r.count;
        bus = MemBus{};
        ASSERT_EQ(StartBytes(CanTestImage(CanTestDef(), app)), 0u) << r.count;
        EXPECT_EQ(bus.opened, r.opened) << r.count;
        EXPECT_EQ(Z7Sec_Get(db, Z7SEC_CAN0, SD_ALLOC), r.ports) << r.count;
        Z7VM_ShutDown(db, nullptr);
        db = 0;
    }
}

TEST_F(RtIo, AsiBindingWithTheStandIn) {
    ASSERT_EQ(mkdir((root / "sim").c_str(), 0755) == 0 || errno == EEXIST, true);
    ASSERT_EQ(mkdir((root / "sim/asi").c_str(), 0755), 0);
    ASSERT_EQ(StartBytes(AsiTestImage()), 0u);
    EXPECT_EQ(Z7Sec_Bytes(db, Z7SEC_ASI), 20u + 412u + 5u * 20u);
    // at open: the output image goes out whole
    std::vector<uint8_t> out(32, 0);
    EXPECT_EQ(ReadFile(root / "sim/asi/out1"), out);
    // no in1: bit 0 of slave 5 reads 0, the inverted bit 1, the nibble of slave 4
    Z7VMAsi_Exchange(db);
    EXPECT_EQ(Var8(1), 0);
    EXPECT_EQ(Var8(3), 1);
    EXPECT_EQ(Var16(db, 1), 0);
    out[3] = 0x40;  // slave 7 bit 2 inverted: its variable is FALSE
    EXPECT_EQ(ReadFile(root / "sim/asi/out1"), out);
    std::vector<uint8_t> in(74, 0);
    in[2] = 0xB6;
    WriteFile(root / "sim/asi/in1", in);
    Set16(2, 0x01A7);
    Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_D8, 4), 1);
    Z7VMAsi_Exchange(db);
    EXPECT_EQ(Var8(1), 1);
    EXPECT_EQ(Var8(3), 0);
    EXPECT_EQ(Var16(db, 1), 6);
    out[3] = 0x07;
    EXPECT_EQ(ReadFile(root / "sim/asi/out1"), out);
    // a forced input keeps its forced value
    Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_LOCK, 1), 0x02);
    Set16(1, 9);
    Z7VMAsi_Exchange(db);
    EXPECT_EQ(Var16(db, 1), 9);
    // profiles: master 0 and a master past the count give 0xFF
    uint8_t prof[256];
    const uint32_t area = Z7Sec_Addr(db, Z7SEC_ASI);
    Z7VMAsi_GetMasterProfiles(area, 0, prof);
    EXPECT_EQ(std::vector<uint8_t>(prof, prof + 256), std::vector<uint8_t>(256, 0xFF));
    Z7VMAsi_GetMasterProfiles(area, 2, prof);
    EXPECT_EQ(std::vector<uint8_t>(prof, prof + 256), std::vector<uint8_t>(256, 0xFF));
    Z7VMAsi_GetMasterProfiles(area, 1, prof);
    EXPECT_EQ(std::vector<uint8_t>(prof, prof + 256), std::vector<uint8_t>(256, 0x00));
    // hot start: another master count, or more items than the capacity: 39
    AsiDefImage two = AsiTestDef();
    two.masters = 2;
    const uint32_t code2 = IecLoad(AsiTestImage(two));
    blocks.push_back(code2);
    EXPECT_EQ(Z7VM_CanHOTStart(code2, db), 39u);
    AsiDefImage more = AsiTestDef();
    more.items.push_back({RT_BOOL, 5, 0, 9, 1, 0, 0});
    const uint32_t code3 = IecLoad(AsiTestImage(more));
    blocks.push_back(code3);
    EXPECT_EQ(Z7VMAsi_CanHotStart(Z7VMCode_AsiConfig(code3), area), 39u);
    EXPECT_EQ(Z7VMAsi_CanHotStart(Z7VMCode_AsiConfig(Z7Mem_Get32(Z7VM_Header(db) + HD_CODE)), area), 0u);
    // close: zeros go out
    Z7VM_ShutDown(db, nullptr);
    db = 0;
    EXPECT_EQ(ReadFile(root / "sim/asi/out1"), std::vector<uint8_t>(32, 0));
}

// Flags, slave lists and items the binding skips; sizing by the larger of
// count and capacity; without sim/asi nothing is written.
TEST_F(RtIo, AsiFlagsListsSkippedItemsAndChannels) {
    AsiDefImage d;
    d.masters = 2;
    d.icap = 3;  // below the item count: sized by the count
    d.mcap = 4;
    d.items = {{RT_BOOL, 1, 1, 0, 10, 0x08, 0},  // master 2 flag 10
               {RT_BOOL, 2, 0, 13, 4, 0x04, 0},  // list 3, slave 13
               {RT_BOOL, 3, 2, 1, 1, 0, 0},      // master 3 of 2: skipped
               {RT_BOOL, 4, 0, 64, 1, 0, 0},     // slave 64: skipped
               {RT_BOOL, 5, 0, 1, 0, 0x08, 0},   // flag 0: skipped
               {RT_BOOL, 6, 0, 1, 17, 0x08, 0},  // flag 17: skipped
               {RT_BOOL, 99, 0, 1, 1, 0, 0},     // variable past its segment: skipped
               {RT_INT, 0, 0, 3, 1, 0x80, 4}};   // complex-type variable at offset 4
    IecImage app = CanTestApp();
    app.ct_alloc = 8;
    app.ct_used = 8;
    ASSERT_EQ(StartBytes(AsiTestImage(d, app)), 0u);
    EXPECT_EQ(Z7Sec_Bytes(db, Z7SEC_ASI), 20u + 4u * 412u + 8u * 20u);
    const uint32_t area = Z7Sec_Addr(db, Z7SEC_ASI);
    const uint32_t m0 = area + 20, m1 = m0 + 412;
    Z7Mem_Put8(m1 + 401, 0x02);      // flag 10
    Z7Mem_Put8(m0 + 376 + 1, 0x20);  // list 3, slave 13
    Z7Mem_Put8(m0 + 264 + 1, 0x10);  // slave 3 bit 0
    for (uint32_t i = 3; i <= 6; i++) Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_D8, i), 7);
    Z7VMAsi_Exchange(db);
    EXPECT_EQ(Var8(1), 1);
    EXPECT_EQ(Var8(2), 1);
    for (uint32_t i = 3; i <= 6; i++) EXPECT_EQ(Var8(i), 7) << i;
    EXPECT_EQ(Z7Mem_Get16(Z7Sec_Addr(db, Z7SEC_CT) + 4), 1);
    EXPECT_FALSE(std::ifstream(root / "sim/asi/out1").good());
    // channel accessors: group {first 2, count 3}
    const uint32_t g = Z7Mem_Alloc(4);
    blocks.push_back(g);
    Z7Mem_Put16(g, 2);
    Z7Mem_Put16(g + 2, 3);
    Z7IOX_WriteChanInt(g, db, 1, -5);
    EXPECT_EQ(Var16(db, 3), 0xFFFB);
    EXPECT_EQ(Z7IOX_ReadChanInt(g, db, 1), -5);
    Z7IOX_WriteChanInt(g, db, 3, 77);  // the count: nothing written, 0 read
    EXPECT_EQ(Var16(db, 5), 0);
    Set16(5, 12);
    EXPECT_EQ(Z7IOX_ReadChanInt(g, db, 3), 0);
    Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_LOCK, 4), 0x02);  // forced: not written
    Z7IOX_WriteChanInt(g, db, 2, 8);
    EXPECT_EQ(Var16(db, 4), 0);
    Z7IOX_WriteChanBool(g, db, 0, 5);
    EXPECT_EQ(Z7IOX_ReadChanBool(g, db, 0), 1);
    Z7IOX_WriteChanDint(g, db, 1, -2);
    EXPECT_EQ(Z7IOX_ReadChanDint(g, db, 1), -2);
    Z7IOX_WriteChanSint(g, db, 1, -3);
    EXPECT_EQ(Z7IOX_ReadChanSint(g, db, 1), -3);
}
}  // namespace

namespace {
// Channel accessors of the 32-bit, 64-bit and STRING families over a group
// {first 1, count 2}: channel 0 is variable 1, channel 1 variable 2, channel
// 2 is past the count. The application's variable table declares REAL 1 and
// DINT 2, LREAL 1 and LINT 2. Slot contents are IEEE 754 bit patterns.
TEST_F(RtIo, ChannelAccessorsConvertVariablesDeclaredReal) {
    IecImage app = CanTestApp();
    app.d64 = {3, 3, 0};
    app.str = {2, 2, 0};
    app.string_sizes = {4, 6};
    auto var = [](uint16_t type, uint16_t index, const char *name) {
        IecImage::MapVar v;
        v.type = type, v.index = index, v.symbol = name;
        return v;
    };
    app.map_vars = {var(3, 1, "R1"), var(2, 2, "D2"), var(13, 1, "L1"), var(12, 2, "I2")};
    ASSERT_EQ(StartBytes(AsiTestImage(AsiDefImage{}, app)), 0u);
    const uint32_t g = Z7Mem_Alloc(4);
    blocks.push_back(g);
    Z7Mem_Put16(g, 1);
    Z7Mem_Put16(g + 2, 2);
    const auto slot32 = [&](uint32_t i) { return Z7Sec_Elem(db, Z7SEC_D32, i); };
    const auto slot64 = [&](uint32_t i) { return Z7Sec_Elem(db, Z7SEC_D64, i); };
    const auto get64 = [&](uint32_t i) { return Z7Mem_Get32(slot64(i)) | uint64_t(Z7Mem_Get32(slot64(i) + 4)) << 32; };
    const auto put64 = [&](uint32_t i, uint64_t v) {
        Z7Mem_Put32(slot64(i), uint32_t(v));
        Z7Mem_Put32(slot64(i) + 4, uint32_t(v >> 32));
    };
    // 32-bit: writes {accessor Real?, channel, value} -> slot bits of variables 1 and 2
    struct W32 {
        bool real;
        uint32_t chan;
        double v;
        uint32_t s1, s2;
    };
    const W32 w32[] = {
        {false, 0, 1000, 0x447A0000, 0},                                                  // DINT into REAL 1: as float
        {false, 0, -7, 0xC0E00000, 0},           {false, 1, -2, 0xC0E00000, 0xFFFFFFFE},  // DINT into DINT 2: as is
        {true, 0, 2.5, 0x40200000, 0xFFFFFFFE},                                           // REAL into REAL 1: as is
        {true, 1, 3.9, 0x40200000, 3},                                                    // REAL into DINT 2: truncated
        {true, 1, -3.9, 0x40200000, 0xFFFFFFFD}, {true, 1, -1e20, 0x40200000, 0x80000000},  // saturated
        {true, 1, 3e9, 0x40200000, 0x7FFFFFFF},  {false, 2, 99, 0x40200000, 0x7FFFFFFF},    // past the count: nothing
        {true, 2, 99, 0x40200000, 0x7FFFFFFF},
    };
    for (const W32 &w : w32) {
        if (w.real)
            Z7IOX_WriteChanReal(g, db, w.chan, float(w.v));
        else
            Z7IOX_WriteChanDint(g, db, w.chan, int32_t(w.v));
        EXPECT_EQ(Z7Mem_Get32(slot32(1)), w.s1) << w.real << " " << w.chan << " " << w.v;
        EXPECT_EQ(Z7Mem_Get32(slot32(2)), w.s2) << w.real << " " << w.chan << " " << w.v;
    }
    // 32-bit reads: {slot bits 1, slot bits 2} -> Dint 0, Dint 1, Real 0, Real 1
    struct R32 {
        uint32_t s1, s2;
        int32_t d0, d1;
        float r0, r1;
    };
    const R32 r32[] = {
        {0x40700000, 5, 3, 5, 3.75f, 5.0f},  // 3.75 truncated
        {0xC0700000, 0xFFFFFFF6, -3, -10, -3.75f, -10.0f},
        {0x4F800000, 0x7FFFFFFF, 2147483647, 2147483647, 4294967296.0f, 2147483648.0f},  // 2^32 saturated
        {0xDF000000, 0x80000000, int32_t(0x80000000), int32_t(0x80000000), -9223372036854775808.0f, -2147483648.0f},
        {0x7FC00000, 0, 0, 0, std::numeric_limits<float>::quiet_NaN(), 0},  // NaN reads 0 as DINT
    };
    for (const R32 &r : r32) {
        Z7Mem_Put32(slot32(1), r.s1);
        Z7Mem_Put32(slot32(2), r.s2);
        EXPECT_EQ(Z7IOX_ReadChanDint(g, db, 0), r.d0) << std::hex << r.s1;
        EXPECT_EQ(Z7IOX_ReadChanDint(g, db, 1), r.d1) << std::hex << r.s2;
        // compared bit for bit: a NaN is read as the same NaN
        EXPECT_EQ(std::bit_cast<uint32_t>(Z7IOX_ReadChanReal(g, db, 0)), std::bit_cast<uint32_t>(r.r0))
            << std::hex << r.s1;
        EXPECT_EQ(Z7IOX_ReadChanReal(g, db, 1), r.r1) << std::hex << r.s2;
        EXPECT_EQ(Z7IOX_ReadChanDint(g, db, 2), 0);
        EXPECT_EQ(Z7IOX_ReadChanReal(g, db, 2), 0.0f);
    }
    EXPECT_TRUE(std::isnan(Z7IOX_ReadChanReal(g, db, 0)));
    // 64-bit: the same with LREAL 1 and LINT 2
    struct W64 {
        bool real;
        uint32_t chan;
        double v;
        uint64_t s1, s2;
    };
    const W64 w64[] = {
        {false, 0, 1000, 0x408F400000000000, 0},
        {false, 1, -2, 0x408F400000000000, 0xFFFFFFFFFFFFFFFE},
        {true, 0, -2.5, 0xC004000000000000, 0xFFFFFFFFFFFFFFFE},
        {true, 1, -2.9, 0xC004000000000000, 0xFFFFFFFFFFFFFFFE},
        {true, 1, 1e30, 0xC004000000000000, 0x7FFFFFFFFFFFFFFF},
        {true, 1, -1e30, 0xC004000000000000, 0x8000000000000000},
        {true, 2, 1, 0xC004000000000000, 0x8000000000000000},
        {false, 2, 1, 0xC004000000000000, 0x8000000000000000},
    };
    for (const W64 &w : w64) {
        if (w.real)
            Z7IOX_WriteChanLReal(g, db, w.chan, w.v);
        else
            Z7IOX_WriteChanLint(g, db, w.chan, int64_t(w.v));
        EXPECT_EQ(get64(1), w.s1) << w.real << " " << w.chan << " " << w.v;
        EXPECT_EQ(get64(2), w.s2) << w.real << " " << w.chan << " " << w.v;
    }
    put64(1, 0xC00E000000000000);  // -3.75
    put64(2, 0x0000000100000000);  // 2^32
    EXPECT_EQ(Z7IOX_ReadChanLint(g, db, 0), -3);
    EXPECT_EQ(Z7IOX_ReadChanLReal(g, db, 0), -3.75);
    EXPECT_EQ(Z7IOX_ReadChanLint(g, db, 1), 4294967296);
    EXPECT_EQ(Z7IOX_ReadChanLReal(g, db, 1), 4294967296.0);
    put64(1, 0x46293E5939A08CEA);  // 1e30
    EXPECT_EQ(Z7IOX_ReadChanLint(g, db, 0), INT64_MAX);
    EXPECT_EQ(Z7IOX_ReadChanLint(g, db, 2), 0);
    EXPECT_EQ(Z7IOX_ReadChanLReal(g, db, 2), 0.0);
    // forced variables are not written (lock bits 0x04 and 0x08 of index 1)
    Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_LOCK, 1), 0x0C);
    Z7IOX_WriteChanDint(g, db, 0, 1);
    Z7IOX_WriteChanReal(g, db, 0, 1);
    Z7IOX_WriteChanLint(g, db, 0, 1);
    Z7IOX_WriteChanLReal(g, db, 0, 1);
    EXPECT_EQ(Z7Mem_Get32(slot32(1)), 0x7FC00000u);  // the NaN of the last read row
    EXPECT_EQ(get64(1), 0x46293E5939A08CEAu);
    // STRING 1 (maximum 4) and 2 (maximum 6)
    Z7IOX_WriteChanCString(g, db, 0, "HELLO");
    EXPECT_STREQ(Z7IOX_ReadChanCString(g, db, 0), "HELL");
    const uint8_t abc[] = {3, 'a', 'b', 'c'};
    Z7IOX_WriteChanBinString(g, db, 1, abc);
    EXPECT_EQ(std::vector<uint8_t>(Z7IOX_ReadChanBinString(g, db, 1), Z7IOX_ReadChanBinString(g, db, 1) + 4),
              std::vector<uint8_t>(abc, abc + 4));
    EXPECT_STREQ(Z7IOX_ReadChanCString(g, db, 1), "abc");
    const uint8_t long_text[] = {9, '1', '2', '3', '4', '5', '6', '7', '8', '9'};
    Z7IOX_WriteChanBinString(g, db, 1, long_text);
    EXPECT_EQ(std::vector<uint8_t>(Z7IOX_ReadChanBinString(g, db, 1), Z7IOX_ReadChanBinString(g, db, 1) + 7),
              (std::vector<uint8_t>{6, '1', '2', '3', '4', '5', '6'}));
    EXPECT_STREQ(Z7IOX_ReadChanCString(g, db, 2), "");
    EXPECT_EQ(Z7IOX_ReadChanBinString(g, db, 2)[0], 0);
    Z7IOX_WriteChanCString(g, db, 2, "X");            // past the count: nothing, no fault
    Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_LOCK, 1), 0x20);  // forced STRING 1
    Z7IOX_WriteChanCString(g, db, 0, "AB");
    Z7IOX_WriteChanBinString(g, db, 0, abc);
    EXPECT_STREQ(Z7IOX_ReadChanCString(g, db, 0), "HELL");
}
}  // namespace

namespace {
// A driver of the tests: records every call; node data of 5 bytes per level
// (rounded to 8), open result settable.
struct Call {
    uint32_t cmd, bus, level, node, arg, props;
};
std::vector<Call> calls;
uint32_t open_result = 0;
uint32_t TestDriver(uint32_t cmd, uint32_t bus, uint32_t, uint32_t level, uint32_t node, uint32_t arg, uint32_t props) {
    calls.push_back({cmd, bus, level, node, arg, props});
    if (cmd == 1) return 5;
    if (cmd == 2) Z7Mem_Put8(node, uint8_t(0xA0 + level));
    return cmd == 3 ? open_result : 0;
}
Z7DDKHandler TestLookup(const char *name) { return std::strcmp(name, "TESTBUS") == 0 ? TestDriver : nullptr; }

TEST_F(RtIo, DriverKitWithoutDriversStopsTheApplication) {
    IecImage app = CanTestApp();
    app.programs = {IecImage::Program{}};
    ASSERT_EQ(StartBytes(DdkTestImage({{"NOBUS", {{1, 3, 0, 0, 0, {1, 2}}}}}, app)), 0u);
    EXPECT_EQ(Z7Sec_Bytes(db, Z7SEC_DDK), 24u);
    EXPECT_EQ(St16(db, ST_UNRESCOUNT), 1);
    EXPECT_STREQ(reinterpret_cast<const char *>(Z7Mem_Ptr(Z7VMLog_GetUnresolved(db, 0), 6)), "NOBUS");
    Z7Def_Cycle(db, 100, nullptr);
    EXPECT_TRUE(iec_test::Recorder::runs.empty());  // the program never ran
    EXPECT_EQ(Flags(db) & (Z7F_RUN | Z7F_STOPPED), Z7F_STOPPED);
    EXPECT_EQ(Z7DDKH_FindBus(db, "NOBUS"), 0u);

    // two missing drivers, the first with a name filling its 16 bytes: the first
    // stops the build, recorded as its 13 first characters and ".."
    Z7VM_ShutDown(db, nullptr);
    db = 0;
    ASSERT_EQ(StartBytes(
                  DdkTestImage({{"ABCDEFGHIJKLMNOP", {{1, 3, 0, 0, 0, {1}}}}, {"NOBUS", {{1, 3, 0, 0, 0, {2}}}}}, app)),
              0u);
    EXPECT_EQ(St16(db, ST_UNRESCOUNT), 1);
    EXPECT_STREQ(reinterpret_cast<const char *>(Z7Mem_Ptr(Z7VMLog_GetUnresolved(db, 0), 16)), "ABCDEFGHIJKLM..");
    Z7Def_Cycle(db, 100, nullptr);
    EXPECT_TRUE(iec_test::Recorder::runs.empty());
    EXPECT_EQ(Flags(db) & (Z7F_RUN | Z7F_STOPPED), Z7F_STOPPED);

    // The bus-driver list counts from an extension count of 5: with 5 or 6
    // the missing driver stops the application just the same.
    for (int count : {5, 6}) {
        Z7VM_ShutDown(db, nullptr);
        db = 0;
        app.ext_count = count;
        ASSERT_EQ(StartBytes(DdkTestImage({{"NOBUS", {{1, 3, 0, 0, 0, {1}}}}}, app)), 0u) << count;
        EXPECT_EQ(St16(db, ST_UNRESCOUNT), 1) << count;
        Z7Def_Cycle(db, 100, nullptr);
        EXPECT_TRUE(iec_test::Recorder::runs.empty()) << count;
        EXPECT_EQ(Flags(db) & (Z7F_RUN | Z7F_STOPPED), Z7F_STOPPED) << count;
    }
}

TEST_F(RtIo, DriverKitTreeCommandsAndVariables) {
    Z7DDKC_Lookup = TestLookup;
    calls.clear();
    open_result = 0;
    const std::vector<DdkDriver> drivers = {{"TESTBUS",
                                             {{1, 7, 0, 0, 0, {0x11}},
                                              {3, 0, 0, 0, 0, {}},  // a group without a device: skipped
                                              {2, 0, 0, 0, 0, {0x22}},
                                              {3, 0, 0, 0, 0, {0x33}},
                                              {4, 0, RT_INT, 4, 0, {0x44}},
                                              {4, 0, RT_DINT, 2, 0, {}},
                                              {4, 0, RT_INT, 0, 8, {}},  // complex-type item at offset 8
                                              {4, 0, 5, 1, 0, {}},       // STRING 1
                                              {4, 0, 5, 0, 16, {}}}}};   // STRING at complex-type offset 16
    IecImage app = CanTestApp();
    app.ct_alloc = 32;
    app.ct_used = 32;
    app.str = {1, 1, 0};
    app.string_sizes = {4};
    // INT 4 carries status information (a 40-byte map item); DINT 2 is not in the map
    app.map_flags = 0x200;
    app.map_vars.resize(1);
    app.map_vars[0].type = RT_INT, app.map_vars[0].index = 4, app.map_vars[0].flags = 0x201;
    app.map_vars[0].symbol = "V4";
    const std::vector<uint8_t> bytes = DdkTestImage(drivers, app);
    ASSERT_EQ(StartBytes(bytes), 0u);
    // 8 + 16 + 7 nodes of 16 + 8; the skipped group is still sized
    EXPECT_EQ(Z7Sec_Bytes(db, Z7SEC_DDK), 8u + 16u + 9u * 24u);
    const uint32_t root = Z7DDKH_FindBus(db, "TESTBUS");
    ASSERT_NE(root, 0u);
    EXPECT_EQ(Z7DDKH_FindBus(db, "testbus"), 0u);
    EXPECT_EQ(Z7Mem_Get8(root), 0xA1);
    EXPECT_EQ(Z7Mem_Get8(Z7DDKH_GetProps(db, root)), 0x11);
    const uint32_t dev = Z7DDKH_GetChild(db, root), grp = Z7DDKH_GetChild(db, dev);
    EXPECT_EQ(Z7Mem_Get8(Z7DDKH_GetProps(db, dev)), 0x22);
    EXPECT_EQ(Z7DDKH_GetParent(db, grp), dev);
    const uint32_t i1 = Z7DDKH_GetChild(db, grp), i2 = Z7DDKH_GetSibling(db, i1), i3 = Z7DDKH_GetSibling(db, i2);
    const uint32_t i4 = Z7DDKH_GetSibling(db, i3), i5 = Z7DDKH_GetSibling(db, i4);
    EXPECT_EQ(Z7Mem_Get8(Z7DDKH_GetProps(db, i1)), 0x44);
    EXPECT_EQ(Z7DDKH_GetSibling(db, i5), 0u);
    // a STRING item takes at most its maximum; another item has no text
    EXPECT_EQ(Z7DDKH_WriteVarString(db, i4, "HELLO", 5), 1u);
    EXPECT_STREQ(reinterpret_cast<const char *>(Z7Mem_Ptr(Z7DDKH_ReadVarString(db, i4), 5)), "HELL");
    EXPECT_EQ(Z7DDKH_ReadVarString(db, i1), 0u);
    EXPECT_EQ(Z7DDKH_WriteVarLong(db, i4, 1), 0u);
    Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_LOCK, 1), 0x20);  // forced STRING: unchanged
    EXPECT_EQ(Z7DDKH_WriteVarString(db, i4, "AB", 2), 0u);
    EXPECT_STREQ(reinterpret_cast<const char *>(Z7Mem_Ptr(Z7DDKH_ReadVarString(db, i4), 5)), "HELL");
    Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_LOCK, 1), 0);
    // a STRING item in the complex-type segment: the record at its offset
    const uint32_t ct16 = Z7Sec_Addr(db, Z7SEC_CT) + 16;
    Z7Mem_Put8(ct16, 6);  // maximum 6
    EXPECT_EQ(Z7DDKH_WriteVarString(db, i5, "STRINGS", 7), 1u);
    EXPECT_EQ(Z7DDKH_ReadVarString(db, i5), ct16 + 2);
    EXPECT_EQ(std::vector<uint8_t>(Z7Mem_Ptr(ct16, 9), Z7Mem_Ptr(ct16, 9) + 9),
              (std::vector<uint8_t>{6, 6, 'S', 'T', 'R', 'I', 'N', 'G', 0}));
    EXPECT_EQ(Z7DDKH_GetDef(db, 16), 0u);
    EXPECT_EQ(Z7DDKH_GetParent(db, 0), 0u);
    // commands: sizing per record, build per node in order, one open
    std::vector<uint32_t> seq;
    for (const Call &c : calls) seq.push_back(c.cmd * 10 + c.level);
    EXPECT_EQ(seq, (std::vector<uint32_t>{11, 13, 12, 13, 14, 14, 14, 14, 14, 11, 21, 12, 22,
                                          13, 23, 14, 24, 14, 24, 14, 24, 14, 24, 14, 24, 31}));
    EXPECT_EQ(calls.back().bus, 7u);
    // variables through the driver-side API, with conversion
    EXPECT_EQ(Z7DDKH_WriteVarLong(db, i1, 1234), 1u);
    EXPECT_EQ(Var16(db, 4), 1234);
    EXPECT_EQ(Z7DDKH_ReadVarLong(db, i1), 1234);
    const float f = 2.75f;
    EXPECT_EQ(Z7DDKH_WriteVarAny(db, i2, 3, reinterpret_cast<const uint8_t *>(&f)), 1u);
    EXPECT_EQ(Var32(2), 2u);
    EXPECT_EQ(Z7DDKH_WriteVarReal(db, i2, -7.5f), 1u);
    EXPECT_EQ(Z7DDKH_ReadVarLint(db, i2), -7);
    EXPECT_EQ(Z7DDKH_ReadVarReal(db, i2), -7.0f);
    EXPECT_EQ(Z7DDKH_WriteVarBool(db, i2, 9), 1u);
    EXPECT_EQ(Z7DDKH_ReadVarDword(db, i2), 1u);
    EXPECT_EQ(Z7DDKH_WriteVarLreal(db, i2, 3e9), 1u);
    EXPECT_EQ(Z7DDKH_ReadVarLreal(db, i2), 2147483647.0);  // DINT saturates
    EXPECT_EQ(Z7DDKH_WriteVarLint(db, i2, 42), 1u);
    EXPECT_EQ(Z7DDKH_ReadVarBool(db, i2), 1);
    EXPECT_EQ(Z7DDKH_WriteVarDword(db, i2, 2), 1u);
    EXPECT_EQ(Var32(2), 2u);
    EXPECT_EQ(Z7DDKH_WriteVarLong(db, i3, -2), 1u);
    EXPECT_EQ(Z7Mem_Get16(Z7Sec_Addr(db, Z7SEC_CT) + 8), 0xFFFE);
    Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_LOCK, 4), 0x02);  // forced: not written
    EXPECT_EQ(Z7DDKH_WriteVarLong(db, i1, 5), 0u);
    EXPECT_EQ(Var16(db, 4), 1234);
    EXPECT_EQ(Z7DDKH_WriteVarLong(db, dev, 5), 0u);  // not an item
    // status information: the map item's last 16 bytes for INT 4, none for DINT 2 or a non-item
    const uint32_t v4 = Z7Map_GetBySymbol(db, "V4");
    ASSERT_NE(v4, 0u);
    EXPECT_EQ(Z7DDKH_GetVsiPtr(db, i1), v4 + 24);
    EXPECT_EQ(Z7DDKH_GetVsiPtr(db, i2), 0u);
    EXPECT_EQ(Z7DDKH_GetVsiPtr(db, dev), 0u);
    EXPECT_EQ(Z7DDKH_GetVsiPtr(db, 0), 0u);
    // exchange and close reach the bus
    calls.clear();
    Z7DDKC_ExchangeArg(db, 99);
    Z7VM_ShutDown(db, nullptr);
    db = 0;
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].cmd, 5u);
    EXPECT_EQ(calls[0].arg, 99u);
    EXPECT_EQ(calls[0].node, root);
    EXPECT_EQ(calls[1].cmd, 4u);
    // a bus that fails to open: every bus closed, its bits returned
    calls.clear();
    open_result = 6;
    EXPECT_EQ(StartBytes(bytes), 6u);
    EXPECT_EQ(calls.back().cmd, 4u);
    Z7DDKC_Lookup = Z7DDKC_IpGetHandler;
}
}  // namespace

namespace {
Z7DDKHandler ShmLookup(const char *name) { return std::strcmp(name, "Z7BusShm2") == 0 ? Z7BusShm2 : nullptr; }
DdkRecord ShmBus(uint16_t number, uint8_t lock, const std::string &name, uint32_t size = 32) {
    DdkRecord r{1, number, 0, 0, 0, {uint8_t(size), uint8_t(size >> 8), 0, 0, lock, 0, 0, 0}};
    for (char c : name) r.props.push_back(uint8_t(c));
    r.props.push_back(0);
    return r;
}
// offset, direction (1 in, 2 out, 3 both), form (0 signed, 1 unsigned, 2 real, 3 text), bytes
DdkRecord ShmItem(uint16_t type, uint16_t index, uint8_t offset, uint8_t dir, uint8_t form, uint8_t size) {
    return {4, 0, type, index, 0, {offset, 0, 0, 0, dir, form, size, 0}};
}

// Two buses of the driver on one area: the first creates it, the second
// links to it; each exchange copies the items in tree order, bus by bus.
TEST_F(RtIo, SharedMemoryBusExchangesBetweenTwoHandles) {
    mkdir((root / "dev").c_str(), 0755);
    mkdir((root / "dev/shm").c_str(), 0755);
    Z7DDKC_Lookup = ShmLookup;
    const DdkRecord dev{2, 0, 0, 0, 0, {}}, grp{3, 0, 0, 0, 0, {}};
    const std::vector<DdkDriver> drivers = {
        {"Z7BusShm2",
         {ShmBus(1, 1, "h55i-area"), dev, grp, ShmItem(RT_INT, 4, 0, 2, 0, 2), ShmItem(RT_DINT, 1, 4, 1, 1, 4),
          ShmItem(5, 1, 8, 2, 3, 6), ShmItem(RT_DINT, 2, 16, 3, 0, 4), ShmItem(RT_DINT, 0, 24, 2, 2, 8)}},
        {"Z7BusShm2",
         {ShmBus(2, 0, "/h55i-area"), dev, grp, ShmItem(RT_DINT, 3, 0, 1, 0, 2), ShmItem(RT_INT, 6, 4, 2, 1, 4),
          ShmItem(RT_INT, 7, 16, 3, 0, 4), ShmItem(RT_INT, 8, 0, 7, 0, 2), ShmItem(RT_INT, 9, 30, 1, 0, 4)}}};
    IecImage app = CanTestApp();
    app.d32 = {4, 4, 0};
    app.str = {1, 1, 0};
    app.string_sizes = {8};
    app.init_str = {{1, "HELLO"}};
    testing::internal::CaptureStdout();
    ASSERT_EQ(StartBytes(DdkTestImage(drivers, app)), 0u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Driver Z7BusShm2: Shared memory V9.1.0\nDriver Z7BusShm2: Shared memory V9.1.0\n");
    Set16(4, 0xFFFE);
    Set16(6, 0x1234);
    Set16(9, 0x5555);
    Z7Mem_Put32(Z7Sec_Elem(db, Z7SEC_D32, 0), 3);
    Z7Mem_Put32(Z7Sec_Elem(db, Z7SEC_D32, 2), 7);
    Z7Def_Cycle(db, 100, nullptr);
    const std::vector<uint8_t> area = {0xFE, 0xFF, 0, 0, 0x34, 0x12, 0, 0, 'H', 'E', 'L', 'L', 'O', 0, 0, 0,
                                       7,    0,    0, 0, 0,    0,    0, 0, 0,   0,   0,   0,   0,   0, 8, 0x40};
    std::ifstream f(root / "dev/shm/h55i-area", std::ios::binary);
    EXPECT_EQ(std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {}), area);
    EXPECT_EQ(Var32(3), 0xFFFFFFFEu);  // in, signed 2 bytes
    EXPECT_EQ(Var32(1), 0u);           // written by the second bus after the first read
    EXPECT_EQ(Var16(db, 7), 7);        // the area changed under it: taken
    EXPECT_EQ(Var16(db, 8), 0);        // direction 7: left out
    EXPECT_EQ(Var16(db, 9), 0x5555);   // bytes 30..33 pass the end: left out
    Set16(7, 9);                       // the area unchanged under it: written
    Z7Def_Cycle(db, 110, nullptr);
    EXPECT_EQ(Var32(1), 0x1234u);
    EXPECT_EQ(Var32(2), 7u);
    Z7Def_Cycle(db, 120, nullptr);
    EXPECT_EQ(Var32(2), 9u);
    Z7VM_ShutDown(db, nullptr);
    db = 0;
    struct stat st {};
    EXPECT_NE(stat((root / "dev/shm/h55i-area").c_str(), &st), 0);  // the creator removed it
    EXPECT_NE(stat((root / "dev/shm/sem.h55i-area").c_str(), &st), 0);

    // the area itself: made once, linked only when at least as long, a held
    // semaphore refused after a short wait, names of one element only
    const uint32_t a = Z7Shm_Create("h55i-two", 16);
    ASSERT_NE(a, 0u);
    EXPECT_EQ(Z7Shm_Create("h55i-two", 16), 0u);
    EXPECT_EQ(Z7Shm_Link("h55i-two", 17), 0u);
    EXPECT_EQ(Z7Shm_Link("h55i-none", 16), 0u);
    EXPECT_EQ(Z7Shm_Create("../h55i", 16), 0u);
    const uint32_t b = Z7Shm_Link("/h55i-two", 8);
    ASSERT_NE(b, 0u);
    Z7Shm_GetData(a)[3] = 0x5A;
    EXPECT_EQ(Z7Shm_GetData(b)[3], 0x5A);
    EXPECT_EQ(Z7Shm_Lock(a), 1u);
    EXPECT_EQ(Z7Shm_Lock(b), 0u);
    Z7Shm_Unlock(a);
    EXPECT_EQ(Z7Shm_Lock(b), 1u);
    Z7Shm_Unlock(b);
    Z7Shm_Close(b);
    EXPECT_EQ(stat((root / "dev/shm/h55i-two").c_str(), &st), 0);  // a linker leaves it
    Z7Shm_Close(a);
    EXPECT_NE(stat((root / "dev/shm/h55i-two").c_str(), &st), 0);
    // a bus without an area name opens nothing: the build fails, every bus closed
    testing::internal::CaptureStdout();
    EXPECT_EQ(StartBytes(DdkTestImage({{"Z7BusShm2", {ShmBus(1, 0, ""), dev, grp}}}, app)), 1u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Driver Z7BusShm2: Shared memory V9.1.0\nCannot create or link to shared memory\n");
    EXPECT_EQ(Z7DDKC_IpGetHandler("Z7BusShm2"), nullptr);  // not registered on this controller
    Z7DDKC_Lookup = Z7DDKC_IpGetHandler;
}

// Two ports each with a cyclic message: after the first exchange neither port
// sends again before its cycle; a port reads every frame waiting (a cap would
// let the backlog of a busy bus grow cycle by cycle); a 19-bit value goes out
// in two bytes and the top three bits of the third.
TEST_F(RtIo, CanEveryPortLeavesItsFirstExchangeAndReadsEveryWaitingFrame) {
    CanDefImage d;
    d.ports = {{"can0", 1, 1, 0, 0, 0}, {"can1", 0, 1, 0, 0, 0}};
    d.rcv = {{0x100, 0, 0, 0, 8, 0, false, {}}};
    d.snd = {{0x200, 1000, 0, 0, 3, 1, false, {0, 0, 0x1F}}, {0x300, 1000, 0, 1, 1, 1, false, {}}};
    CanVarDef v;
    v.msg = 0, v.off = 0, v.kind = 34, v.send = 1, v.vtype = RT_DINT, v.index = 1;
    CanVarDef bad = v;
    bad.off = 6;  // offset + 3 passes the 8 bytes: not exchanged
    d.vars = {v, bad};
    ASSERT_EQ(StartBytes(CanTestImage(d)), 0u);
    EXPECT_EQ(bus.opened, (std::vector<std::string>{"can0", "can1"}));
    Z7Mem_Put32(Z7Sec_Elem(db, Z7SEC_D32, 1), 0x5ABCD);
    Z7VMCan_ExchangeAt(db, 10);
    EXPECT_EQ(Take(), (std::vector<Frame>{{0x200, {0xCD, 0xAB, 0xBF}}, {0x300, {0}}}));
    for (uint32_t t = 20; t < 100; t += 10) Z7VMCan_ExchangeAt(db, t);
    EXPECT_EQ(Take(), std::vector<Frame>{});
    // 500 kbit/s and a 50 ms cycle: about 100 frames a cycle
    for (int i = 0; i < 100; i++) Inject(0x100, {uint8_t(i)});
    Z7VMCan_ExchangeAt(db, 110);
    EXPECT_EQ(bus.in.size(), 0u);
    const uint32_t m = Z7VMCan_FindRcvMsg(_Z7VMCan_FindPort(db, "can0"), 0x100);
    ASSERT_NE(m, 0u);
    EXPECT_EQ(Z7Mem_Get8(m + CM_DATA), 99u);  // the last one's data
}

// A remote frame (RTR) asks for a message and carries no data: it never
// overwrites a receive message nor flags it new. Without a message of its
// own it takes a spare slot as any undefined frame, with the remote flag
// (bit 30) kept in the slot's identifier beside the extended flag of a low
// identifier, its requested length and no data bytes, so the application
// tells a request from a data frame and can answer it; with no slot free it
// is dropped. The request's identifier given back to the sender goes out as
// the data frame that answers it.
TEST_F(RtIo, CanRemoteFrameCarriesNoData) {
    ASSERT_EQ(StartBytes(CanTestImage()), 0u);
    Z7VMCan_ExchangeAt(db, 1000);
    Take();
    Inject(0x181, {0x34, 0x12});
    Z7VMCan_ExchangeAt(db, 1010);
    EXPECT_EQ(Var16(db, 1), 0x1234);
    Inject(PLAT_CAN_RTR | 0x181, {0x11, 0x22, 0x33}, 8);
    Inject(PLAT_CAN_RTR | PLAT_CAN_EFF | 0x1F0, {0x44}, 2);
    Inject(PLAT_CAN_RTR | 0x3A0, {}, 8);  // both slots taken: dropped
    Z7VMCan_ExchangeAt(db, 1020);
    EXPECT_EQ(Var16(db, 1), 0x1234);
    EXPECT_EQ(Var16(db, 9), 0);  // no new data for 0x1F0
    const uint32_t port = _Z7VMCan_FindPort(db, "can1");
    EXPECT_EQ(Z7Mem_Get8(Z7VMCan_FindRcvMsg(port, 0x181) + CM_MARK), 0x80u);  // from the data frame only
    uint32_t id = 0, len = 0;
    uint8_t data[8] = {};
    ASSERT_EQ(Z7VMCan_RcvAppMsg(db, "can1", &id, &len, data), 1u);
    EXPECT_EQ(id, 0x40000181u);
    EXPECT_EQ(len, 8u);
    EXPECT_EQ(std::vector<uint8_t>(data, data + 8), std::vector<uint8_t>(8, 0));
    ASSERT_EQ(Z7VMCan_RcvAppMsg(db, "can1", &id, &len, data), 1u);
    EXPECT_EQ(id, 0xC00001F0u);
    EXPECT_EQ(len, 2u);
    EXPECT_EQ(std::vector<uint8_t>(data, data + 8), std::vector<uint8_t>(8, 0));
    EXPECT_EQ(Z7VMCan_RcvAppMsg(db, "can1", &id, &len, data), 0u);
    // an extended request above 0x7FF keeps its bare number with the remote flag
    Inject(PLAT_CAN_RTR | PLAT_CAN_EFF | 0x18FF0001u, {}, 4);
    Inject(0x3A0, {0x5A});
    Z7VMCan_ExchangeAt(db, 1030);
    ASSERT_EQ(Z7VMCan_RcvAppMsg(db, "can1", &id, &len, data), 1u);
    EXPECT_EQ(id, 0x58FF0001u);
    EXPECT_EQ(len, 4u);
    ASSERT_EQ(Z7VMCan_RcvAppMsg(db, "can1", &id, &len, data), 1u);
    EXPECT_EQ(id, 0x3A0u);
    EXPECT_EQ(len, 1u);
    EXPECT_EQ(data[0], 0x5A);
    EXPECT_EQ(Z7VMCan_RcvAppMsg(db, "can1", &id, &len, data), 0u);
    // answered with the request's identifier: the data frames 0x181 and the extended 0x1F0
    const uint8_t answer[2] = {0x34, 0x12};
    EXPECT_EQ(Z7VMCan_SendAppMsg(db, "can1", 0x40000181u, 2, answer, 0), 1u);
    EXPECT_EQ(Z7VMCan_SendAppMsg(db, "can1", 0xC00001F0u, 1, answer, 0), 1u);
    Z7VMCan_ExchangeAt(db, 1040);
    EXPECT_EQ(Take(), (std::vector<Frame>{{0x181, {0x34, 0x12}}, {0x800001F0u, {0x34}}}));
}

// An identifier that carries the extended-frame flag (bit 31) is an extended
// frame whatever its value: a defined receive message 0x80000100 takes the
// extended frame 0x100 and the standard frame 0x100 stays the standard
// message's; a 29-bit identifier defined without the flag still takes its
// extended frame; a send message 0x80000200 goes out as an extended frame.
TEST_F(RtIo, CanExtendedFlagInADefinedIdentifierIsKept) {
    CanDefImage d;
    d.ports = {{"can0", 3, 1, 0, 0, 0}};
    d.rcv = {{0x100, 0, 0, 0, 2, 0, false, {}},
             {0x18FF0001u, 0, 0, 0, 2, 0, false, {}},
             {0x80000100u, 0, 0, 0, 2, 0, false, {}}};
    d.snd = {{0x80000200u, 1000, 0, 0, 1, 1, false, {0x5A, 0, 0, 0, 0, 0, 0, 0}}};
    auto in = [](uint16_t msg, uint16_t index) {
        CanVarDef v;
        v.msg = msg, v.off = 0, v.kind = 1, v.size = 2, v.mtype = RT_INT, v.vtype = RT_INT, v.index = index;
        return v;
    };
    d.vars = {in(0, 1), in(1, 2), in(2, 3)};
    ASSERT_EQ(StartBytes(CanTestImage(d)), 0u);
    Z7VMCan_ExchangeAt(db, 10);
    EXPECT_EQ(Take(), (std::vector<Frame>{{0x80000200u, {0x5A}}}));
    Inject(PLAT_CAN_EFF | 0x100, {0x34, 0x12});
    Z7VMCan_ExchangeAt(db, 20);
    EXPECT_EQ(Var16(db, 1), 0);
    EXPECT_EQ(Var16(db, 3), 0x1234);
    Inject(0x100, {0x78, 0x56});
    Inject(PLAT_CAN_EFF | 0x18FF0001u, {0xBC, 0x9A});
    Z7VMCan_ExchangeAt(db, 30);
    EXPECT_EQ(Var16(db, 1), 0x5678);
    EXPECT_EQ(Var16(db, 2), 0x9ABC);
    EXPECT_EQ(Var16(db, 3), 0x1234);
}

// The heartbeat fix of a port (word 7 bit 0) is for standard frames 0x700 to
// 0x77F only: an extended frame 0x705 is another message, its data bytes are
// kept whole, while the standard frame 0x705 keeps only the low 7 bits.
TEST_F(RtIo, CanHeartbeatFixLeavesExtendedFramesWhole) {
    CanDefImage d;
    d.ports = {{"can0", 2, 0, 0, 0, 1}};
    d.rcv = {{0x705, 0, 0, 0, 4, 0, false, {}}, {0x80000705u, 0, 0, 0, 4, 0, false, {}}};
    ASSERT_EQ(StartBytes(CanTestImage(d)), 0u);
    Inject(PLAT_CAN_EFF | 0x705, {0x85, 0x11, 0x22, 0x33});
    Inject(0x705, {0x85, 0x11, 0x22, 0x33});
    Z7VMCan_ExchangeAt(db, 10);
    const uint32_t port = _Z7VMCan_FindPort(db, "can0");
    const uint32_t ext = Z7VMCan_FindRcvMsg(port, 0x80000705u), std_ = Z7VMCan_FindRcvMsg(port, 0x705);
    ASSERT_NE(ext, 0u);
    ASSERT_NE(std_, 0u);
    EXPECT_EQ(Z7Mem_Get32(ext + CM_DATA), 0x33221185u);
    EXPECT_EQ(Z7Mem_Get32(std_ + CM_DATA), 0x05u);
}

// A spare slot keeps an extended frame of an identifier up to 0x7FF apart
// from the standard frame of that number: its identifier carries the
// extended flag, so sending it back puts the same extended frame on the bus.
TEST_F(RtIo, CanSpareSlotKeepsALowExtendedIdentifierExtended) {
    ASSERT_EQ(StartBytes(CanTestImage()), 0u);
    Z7VMCan_ExchangeAt(db, 500);
    Take();
    Inject(PLAT_CAN_EFF | 0x123, {0x01, 0x02});
    Inject(0x123, {0x03});
    Z7VMCan_ExchangeAt(db, 510);
    uint32_t id = 0, len = 0;
    uint8_t data[8] = {};
    ASSERT_EQ(Z7VMCan_RcvAppMsg(db, "can1", &id, &len, data), 1u);
    EXPECT_EQ(id, 0x80000123u);
    EXPECT_EQ(len, 2u);
    EXPECT_EQ(Z7VMCan_SendAppMsg(db, "can1", id, len, data, 0), 1u);
    ASSERT_EQ(Z7VMCan_RcvAppMsg(db, "can1", &id, &len, data), 1u);
    EXPECT_EQ(id, 0x123u);
    EXPECT_EQ(len, 1u);
    Z7VMCan_ExchangeAt(db, 520);
    EXPECT_EQ(Take(), (std::vector<Frame>{{0x80000123u, {0x01, 0x02}}}));
}

// An extended frame of an identifier up to 0x7FF is never the standard
// message of that number: with no message defined as extended for it, it
// takes a spare slot (data whole, no heartbeat fix) or, with none free, is
// dropped; the standard messages 0x181, 0x1F0 and 0x705 keep their data and
// get no new-data flag.
TEST_F(RtIo, CanLowExtendedFrameNeverTakesTheStandardMessage) {
    ASSERT_EQ(StartBytes(CanTestImage()), 0u);
    Z7VMCan_ExchangeAt(db, 1000);
    Take();
    Inject(0x1F0, {0x34, 0x12});
    Z7VMCan_ExchangeAt(db, 1010);
    EXPECT_EQ(Var16(db, 9), 1);
    EXPECT_EQ(Var16(db, 10), 0x1234);
    Inject(PLAT_CAN_EFF | 0x1F0, {0x78, 0x56});
    Inject(PLAT_CAN_EFF | 0x705, {0x85, 0x11, 0x22, 0x33});
    Z7VMCan_ExchangeAt(db, 1020);
    EXPECT_EQ(Var16(db, 9), 0);  // no new data for the standard 0x1F0
    EXPECT_EQ(Var16(db, 10), 0x1234);
    const uint32_t port = _Z7VMCan_FindPort(db, "can1"), hb = Z7VMCan_FindRcvMsg(port, 0x705);
    ASSERT_NE(hb, 0u);
    EXPECT_EQ(Z7Mem_Get32(hb + CM_DATA), 0u);
    EXPECT_EQ(Z7Mem_Get8(hb + CM_MARK), 0u);
    uint32_t id = 0, len = 0;
    uint8_t data[8] = {};
    ASSERT_EQ(Z7VMCan_RcvAppMsg(db, "can1", &id, &len, data), 1u);
    EXPECT_EQ(id, 0x800001F0u);
    EXPECT_EQ(len, 2u);
    EXPECT_EQ(std::vector<uint8_t>(data, data + 8), (std::vector<uint8_t>{0x78, 0x56, 0, 0, 0, 0, 0, 0}));
    ASSERT_EQ(Z7VMCan_RcvAppMsg(db, "can1", &id, &len, data), 1u);
    EXPECT_EQ(id, 0x80000705u);
    EXPECT_EQ(len, 4u);
    EXPECT_EQ(std::vector<uint8_t>(data, data + 8), (std::vector<uint8_t>{0x85, 0x11, 0x22, 0x33, 0, 0, 0, 0}));
    EXPECT_EQ(Z7VMCan_RcvAppMsg(db, "can1", &id, &len, data), 0u);
    // two spare slots: the third extended 0x181 finds none and is dropped
    Inject(PLAT_CAN_EFF | 0x181, {0x01, 0x01});
    Inject(PLAT_CAN_EFF | 0x181, {0x02, 0x02});
    Inject(PLAT_CAN_EFF | 0x181, {0x03, 0x03});
    Z7VMCan_ExchangeAt(db, 1030);
    EXPECT_EQ(Var16(db, 1), 0);  // the standard 0x181 is untouched
    ASSERT_EQ(Z7VMCan_RcvAppMsg(db, "can1", &id, &len, data), 1u);
    EXPECT_EQ(id, 0x80000181u);
    EXPECT_EQ(data[0], 0x01);
    ASSERT_EQ(Z7VMCan_RcvAppMsg(db, "can1", &id, &len, data), 1u);
    EXPECT_EQ(id, 0x80000181u);
    EXPECT_EQ(data[0], 0x02);
    EXPECT_EQ(Z7VMCan_RcvAppMsg(db, "can1", &id, &len, data), 0u);
}

// The bare number takes an extended frame only from 0x800 up: the extended
// 0x800 is the message defined as 0x800, the extended 0x7FF is not the
// standard message 0x7FF (no spare slot here: it is dropped).
TEST_F(RtIo, CanExtendedFrameTakesTheBareNumberOnlyAbove0x7FF) {
    CanDefImage d;
    d.ports = {{"can0", 2, 0, 0, 0, 0}};
    d.rcv = {{0x7FF, 0, 0, 0, 2, 0, false, {}}, {0x800, 0, 0, 0, 2, 0, false, {}}};
    ASSERT_EQ(StartBytes(CanTestImage(d)), 0u);
    Inject(PLAT_CAN_EFF | 0x7FF, {0x11, 0x22});
    Inject(PLAT_CAN_EFF | 0x800, {0x33, 0x44});
    Z7VMCan_ExchangeAt(db, 10);
    const uint32_t port = _Z7VMCan_FindPort(db, "can0");
    const uint32_t m7ff = Z7VMCan_FindRcvMsg(port, 0x7FF), m800 = Z7VMCan_FindRcvMsg(port, 0x800);
    ASSERT_NE(m7ff, 0u);
    ASSERT_NE(m800, 0u);
    EXPECT_EQ(Z7Mem_Get16(m7ff + CM_DATA), 0u);
    EXPECT_EQ(Z7Mem_Get8(m7ff + CM_MARK), 0u);
    EXPECT_EQ(Z7Mem_Get16(m800 + CM_DATA), 0x4433u);
    EXPECT_EQ(Z7Mem_Get8(m800 + CM_MARK), 0x80u);
}

// A hot start rebuilds the ports of a database saved at the last stop,
// before its ports were closed: the endpoint numbers in its port records
// were closed at that stop and may belong to another user since (the CAN
// driver, a connection, a file). Only the endpoints the service holds are
// closed; the ports open anew and are closed at the next stop.
TEST_F(RtIo, CanHotStartClosesNoEndpointItDoesNotHold) {
    ASSERT_EQ(StartBytes(CanTestImage()), 0u);
    EXPECT_EQ(bus.opened, std::vector<std::string>{"can1"});
    const uint32_t ports = Z7Sec_Addr(db, Z7SEC_CAN0), bytes = Z7Sec_Bytes(db, Z7SEC_CAN0);
    const std::vector<uint8_t> saved(Z7Mem_Ptr(ports, bytes), Z7Mem_Ptr(ports, bytes) + bytes);
    Z7VMCan_Close(db);  // the stop
    EXPECT_EQ(bus.closed, std::vector<int>{5});
    std::memcpy(Z7Mem_Ptr(ports, bytes), saved.data(), bytes);  // the saved database loaded again
    EXPECT_EQ(Z7Mem_Get32(ports + CP_SOCK), 5u);
    bus.closed.clear();
    const uint32_t code = Z7Mem_Get32(Z7VM_Header(db) + HD_CODE);
    ASSERT_EQ(Z7VMCan_BuildHot(db, code), 0u);
    EXPECT_EQ(bus.closed, std::vector<int>{});  // endpoint 5 is no longer this service's
    EXPECT_EQ(bus.opened, (std::vector<std::string>{"can1", "can1"}));
    EXPECT_EQ(Z7Mem_Get32(ports + CP_SOCK), 6u);
    Z7VMCan_Close(db);
    EXPECT_EQ(bus.closed, std::vector<int>{6});
    Z7VMCan_Close(db);  // closed once only
    EXPECT_EQ(bus.closed, std::vector<int>{6});
}

// The service keeps the endpoints it holds in a table of 32: a 33rd port
// open at once is refused as a socket it cannot create (its endpoint closed
// again at once) and stays without one; the others work.
TEST_F(RtIo, CanThirtyThirdPortOpenAtOnceStaysWithoutEndpoint) {
    CanDefImage d;
    for (int i = 0; i < 33; i++) d.ports.push_back({"can0", 0, 0, 0, 0, 0});
    testing::internal::CaptureStdout();
    const uint32_t rc = StartBytes(CanTestImage(d));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Cannot create CAN socket 24\n\n");
    ASSERT_EQ(rc, 0u);
    EXPECT_EQ(bus.opened.size(), 33u);
    EXPECT_EQ(bus.closed, std::vector<int>{37});
    EXPECT_EQ(Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_CAN0, 31) + CP_SOCK), 36u);
    EXPECT_EQ(Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_CAN0, 32) + CP_SOCK), 0xFFFFFFFFu);
    Z7VM_ShutDown(db, nullptr);
    db = 0;
    EXPECT_EQ(bus.closed.size(), 33u);  // the 32 held, each once
}

// A port reads at most 8192 frames in a cycle (the rest wait for the next)
// and writes at most 64: of 70 spare send slots taken, 64 go in slot order
// and the last 6 stay queued for the next cycle.
TEST_F(RtIo, CanReadsAndWritesAreBoundedPerCycle) {
    CanDefImage d;
    d.spare = 70;
    d.ports = {{"can0", 1, 0, 0, 0, 0}};
    d.rcv = {{0x100, 0, 0, 0, 2, 0, false, {}}};
    ASSERT_EQ(StartBytes(CanTestImage(d)), 0u);
    for (uint32_t i = 0; i < 8200; i++) Inject(0x100, {uint8_t(i), uint8_t(i >> 8)});
    Z7VMCan_ExchangeAt(db, 10);
    EXPECT_EQ(bus.in.size(), 8u);
    const uint32_t m = Z7VMCan_FindRcvMsg(_Z7VMCan_FindPort(db, "can0"), 0x100);
    ASSERT_NE(m, 0u);
    EXPECT_EQ(Z7Mem_Get16(m + CM_DATA), 8191u);
    Z7VMCan_ExchangeAt(db, 20);
    EXPECT_EQ(bus.in.size(), 0u);
    EXPECT_EQ(Z7Mem_Get16(m + CM_DATA), 8199u);
    std::vector<Frame> first, rest;
    for (uint32_t i = 0; i < 70; i++) {
        const uint8_t b = uint8_t(i);
        ASSERT_EQ(Z7VMCan_SendAppMsg(db, "can0", 0x200 + i, 1, &b, 0), 1u);
        (i < 64 ? first : rest).push_back({0x200 + i, {b}});
    }
    Z7VMCan_ExchangeAt(db, 30);
    EXPECT_EQ(Take(), first);
    Z7VMCan_ExchangeAt(db, 40);
    EXPECT_EQ(Take(), rest);
}

// A variable the workbench forced (its width's bit in its lock byte) is
// never written by a receiving kind (1, 17, 33) nor by the new-data kind
// 131; another width's bit in the same lock byte does not lock it.
TEST_F(RtIo, CanForcedVariablesKeepTheirValues) {
    ASSERT_EQ(StartBytes(CanTestImage()), 0u);
    Z7VMCan_ExchangeAt(db, 1000);
    Take();
    auto lock = [&](uint32_t idx, uint8_t bits) { Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_LOCK, idx), bits); };
    Set16(1, 7), Set16(3, 8), Set16(9, 5);
    lock(1, 0x02), lock(3, 0x02), lock(9, 0x02);
    Inject(0x181, {0x34, 0x12, 0xAB, 0xCD, 0xA8, 0x67, 0x89, 0xE3});
    Inject(0x1F0, {0x01, 0x02});
    Z7VMCan_ExchangeAt(db, 1010);
    EXPECT_EQ(Var16(db, 1), 7);  // INT 1 forced
    EXPECT_EQ(Var16(db, 2), 0xABCD);
    EXPECT_EQ(Var16(db, 3), 8);     // the forced bit field
    EXPECT_EQ(Var32(1), 0x78967u);  // DINT 1 shares lock byte 1, not its bit
    EXPECT_EQ(Var8(1), 1);          // BOOL 1 likewise
    EXPECT_EQ(Var16(db, 9), 5);     // new-data flag of 0x1F0 not written
    EXPECT_EQ(Var16(db, 10), 0x0201);
    lock(1, 0x04);  // now DINT 1 forced, INT 1 free
    Z7Mem_Put32(Z7Sec_Elem(db, Z7SEC_D32, 1), 0);
    Inject(0x181, {0x00, 0x80, 0x00, 0x01, 0x50, 0x04, 0x00, 0x20});
    Z7VMCan_ExchangeAt(db, 1020);
    EXPECT_EQ(Var16(db, 1), 0x8000);
    EXPECT_EQ(Var32(1), 0u);
    EXPECT_EQ(Var8(1), 0);
}

// Bit fields most significant bit first (byte order set) walk down from one
// bit below their first bit, or from bit 7 when the first bit is 0, on into
// bit 7 of the next byte; a received value is unscaled as (value - offset) /
// factor. Receive 0x100 {0x0B, 0x80, 0xA5, 0, 0x8C, 0}: 6 bits from bit 4 of
// byte 0 are bits 3-0 of byte 0 and 7-6 of byte 1, 101110 = 46; 4 bits from
// bit 0 of byte 2 are its bits 7-4, 1010 = 10; INT 140 at byte 4 with factor
// 0.5 and offset 100 is 80. Send 0x200: 45 = 101101 into 6 bits from bit 4
// of byte 0 gives 0x0B and bit 6 of byte 1 (0x40); 0xABC into 12 bits from
// bit 0 of byte 2 gives 0xAB and the top half of byte 3 (0xC0).
TEST_F(RtIo, CanBitFieldsMostSignificantFirstAndReceivedScaling) {
    CanDefImage d;
    d.ports = {{"can0", 1, 1, 0, 0, 0}};
    d.rcv = {{0x100, 0, 0, 0, 8, 0, false, {}}};
    d.snd = {{0x200, 1000, 0, 0, 4, 1, false, {}}};
    auto v = [](uint8_t off, uint8_t kind, uint8_t first, uint8_t size, uint8_t order, uint8_t send, uint16_t index) {
        CanVarDef x;
        x.msg = 0, x.off = off, x.kind = kind, x.mask = first, x.size = size, x.mtype = RT_UINT, x.order = order;
        x.send = send, x.vtype = RT_INT, x.index = index;
        return x;
    };
    d.vars = {v(0, 17, 4, 6, 1, 0, 1), v(2, 17, 0, 4, 1, 0, 2), v(4, 1, 0, 2, 0, 0, 3), v(0, 18, 4, 6, 1, 1, 5),
              v(2, 18, 0, 12, 1, 1, 6)};
    d.vars[2].mtype = RT_INT;
    d.vars[2].factor = 0.5f;
    d.vars[2].offset = 100.0f;
    ASSERT_EQ(StartBytes(CanTestImage(d)), 0u);
    Set16(5, 45);
    Set16(6, 0xABC);
    Inject(0x100, {0x0B, 0x80, 0xA5, 0x00, 0x8C, 0x00});
    Z7VMCan_ExchangeAt(db, 10);
    EXPECT_EQ(Var16(db, 1), 46);
    EXPECT_EQ(Var16(db, 2), 10);
    EXPECT_EQ(Var16(db, 3), 80);
    EXPECT_EQ(Take(), (std::vector<Frame>{{0x200, {0x0B, 0x40, 0xAB, 0xC0}}}));
}

// A port name longer than 16 characters is bounded by its 80-byte record
// (name from byte 16): the definition builds and the interface name is its
// first 15 characters; a name that runs to the record's end refuses it.
TEST_F(RtIo, CanPortNamesAreBoundedByTheirRecord) {
    CanDefImage d;
    d.ports = {{"can0_port_of_the_machine_room", 1, 0, 0, 0, 0}};
    d.rcv = {{0x100, 0, 0, 0, 8, 0, false, {}}};
    ASSERT_EQ(StartBytes(CanTestImage(d)), 0u);
    EXPECT_EQ(bus.opened, std::vector<std::string>{"can0_port_of_th"});
    EXPECT_NE(_Z7VMCan_FindPort(db, "can0_port_of_the_machine_room"), 0u);
    Z7VM_ShutDown(db, nullptr);
    db = 0;
    d.ports[0].name = std::string(64, 'c');  // no terminator inside the record
    EXPECT_NE(StartBytes(CanTestImage(d)), 0u);
}
}  // namespace

namespace {
// An on-line change to an image with the same CAN definition and AS-i
// configuration: the ports open again and every message goes at once, the
// AS-i binding keeps its masters.
TEST_F(RtIo, OnlineChangeRebuildsCanAndAsi) {
    auto both = [] {
        IecImage app = CanTestApp();
        app.ext.resize(17, 0);
        return IecWithTail(app, 3, 17, [](uint32_t base) {
            std::vector<uint8_t> asi = AsiTestDef().Bytes(base);
            while (asi.size() % 4) asi.push_back(0);
            const std::vector<uint8_t> can = CanTestDef().Bytes(base + uint32_t(asi.size()));
            asi.insert(asi.end(), can.begin(), can.end());
            return asi;
        });
    };
    std::vector<uint8_t> img = both();
    // extension word 17 points behind the AS-i configuration
    const uint32_t ext = img[40] | img[41] << 8 | img[42] << 16 | uint32_t(img[43]) << 24;
    const uint32_t asi_at = img[ext + 12] | img[ext + 13] << 8 | img[ext + 14] << 16 | uint32_t(img[ext + 15]) << 24;
    uint32_t asi_len = uint32_t(AsiTestDef().Bytes(0).size());
    asi_len = (asi_len + 3) & ~3u;
    RtPut32(img, ext + 4 * 17, asi_at + asi_len);
    ASSERT_EQ(StartBytes(img), 0u);
    Z7VMCan_ExchangeAt(db, 1000);
    EXPECT_EQ(Take().size(), 4u);
    Z7VMCan_ExchangeAt(db, 1010);
    EXPECT_EQ(Take().size(), 0u);
    const uint32_t code2 = IecLoad(img);
    blocks.push_back(code2);
    bus.opened.clear();
    ASSERT_EQ(Z7Def_Change(code2, db, nullptr, "APP", 1020), 0u);
    EXPECT_EQ(bus.opened, std::vector<std::string>{"can1"});
    Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_D8, 2), 1);
    Z7VMCan_ExchangeAt(db, 1030);
    EXPECT_EQ(Take().size(), 4u);  // the first exchange after the change
    EXPECT_EQ(Z7Mem_Get16(Z7Sec_Addr(db, Z7SEC_ASI)), 1);
    Z7Mem_Put16(Z7Sec_Elem(db, Z7SEC_D16, 2), 0x0003);
    Z7VMAsi_Exchange(db);
    EXPECT_EQ(Z7Mem_Get8(Z7Sec_Addr(db, Z7SEC_ASI) + 20 + 296 + 3), 0x43);
}
}  // namespace
