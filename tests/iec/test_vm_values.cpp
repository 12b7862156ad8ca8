// Variable values through the map (conversions, locks, external variables,
// status information and opcodes 568/569), symbol paths through complex
// types, and the change-event walk with its hysteresis.
#include <bit>
#include <arpa/inet.h>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <netinet/in.h>
#include <set>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "iec/services/drevano.h"
#include "iec/services/z7svc.h"
#include "iec/vm/z7map.h"
#include "iec/vm/z7srv.h"
#include "iec/vm/z7syb.h"
#include "tests/iec/iec_fixture.h"
#include "tests/support/iec_clock.h"
#include "tests/support/iec_vms.h"

namespace {
using test_support::IecImage;
using test_support::ValuesImage;

class VmValues : public iec_test::IecTest {
protected:
    uint32_t db = 0;
    void SetUp() override {
        IecTest::SetUp();
        Z7VMTic_RunPtr = Z7VMTic_Run;
        Z7Svc_InstallVMHooks();
        const uint32_t code = test_support::IecLoad(ValuesImage());
        blocks.push_back(code);
        ASSERT_EQ(Create(code, db), 0u);
        ASSERT_EQ(Z7Def_ColdStart(code, db, "/mnt/cfg/z7.ret", nullptr, 0, 0, "APP"), 0u);
    }
    uint32_t Item(const char *s) {
        const uint32_t it = Z7Map_GetBySymbol(db, s);
        EXPECT_NE(it, 0u) << s;
        return it;
    }
    uint32_t Addr(const char *s) { return Z7Map_GetData(Item(s)); }
};

TEST_F(VmValues, ConversionsLocksAndExternalVariables) {
    Z7Mem_Put8(Addr("SI"), 0xFF);
    EXPECT_EQ(Z7Map_GetLongValue(Item("SI")), 255);
    EXPECT_EQ(Z7Map_SetLongValue(Item("B"), 5), 0u);
    EXPECT_EQ(Z7Mem_Get8(Addr("B")), 1u);
    EXPECT_EQ(Z7Map_SetLongValue(Item("I"), -2), 0u);
    EXPECT_EQ(Z7Map_GetDWordValue(Item("I")), 0xFFFFFFFEu);
    EXPECT_EQ(Z7Map_GetLIntValue(Item("I")), -2);
    EXPECT_EQ(Z7Map_SetLongValue(Item("U"), 0x1FFFE), 0u);
    EXPECT_EQ(Z7Map_GetLongValue(Item("U")), 65534);
    EXPECT_EQ(Z7Map_SetLIntValue(Item("L"), 0x0102030405060708ll), 0u);
    EXPECT_EQ(Z7Map_GetLongValue(Item("L")), 0x05060708);
    EXPECT_EQ(Z7Map_SetDWordValue(Item("L"), 0xFFFFFFFFu), 0u);
    EXPECT_EQ(Z7Map_GetLIntValue(Item("L")), 0xFFFFFFFFll);
    EXPECT_EQ(Z7Map_SetLongValue(Item("L"), -1), 0u);
    EXPECT_EQ(Z7Map_GetLIntValue(Item("L")), -1);
    EXPECT_EQ(Z7Map_SetDWordValue(Item("UD"), 0xFFFFFFF0u), 0u);
    EXPECT_EQ(Z7Map_GetLIntValue(Item("UD")), 0xFFFFFFF0ll);
    EXPECT_EQ(Z7Map_GetLRealValue(Item("UD")), 4294967280.0);
    EXPECT_EQ(Z7Map_GetRealValue(Item("UD")), 4294967296.0f);  // rounded to single
    EXPECT_EQ(Z7Map_GetRealValue(Item("L")), -1.0f);
    // a 64-bit integer is rounded to single once: 2^60 + 2^36 + 1 lies just
    // above the half-way point of 2^60 and 2^60 + 2^37
    EXPECT_EQ(Z7Map_SetLIntValue(Item("L"), (1ll << 60) + (1ll << 36) + 1), 0u);
    EXPECT_EQ(std::bit_cast<uint32_t>(Z7Map_GetRealValue(Item("L"))), 0x5D800001u);
    EXPECT_EQ(Z7Map_SetLIntValue(Item("L"), -((1ll << 60) + (1ll << 36) + 1)), 0u);
    EXPECT_EQ(std::bit_cast<uint32_t>(Z7Map_GetRealValue(Item("L"))), 0xDD800001u);
    EXPECT_EQ(Z7Map_SetLIntValue(Item("L"), -1), 0u);
    // floats: truncation, saturation, NaN
    EXPECT_EQ(Z7Map_SetRealValue(Item("R"), 2.75f), 0u);
    EXPECT_EQ(Z7Mem_Get32(Addr("R")), 0x40300000u);
    EXPECT_EQ(Z7Map_GetLongValue(Item("R")), 2);
    EXPECT_EQ(Z7Map_SetRealValue(Item("R"), 3e9f), 0u);
    EXPECT_EQ(Z7Map_GetLongValue(Item("R")), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(Z7Map_SetRealValue(Item("R"), -1.0f), 0u);
    EXPECT_EQ(Z7Map_GetDWordValue(Item("R")), 0u);
    EXPECT_EQ(Z7Map_SetRealValue(Item("D"), 1e10f), 0u);
    EXPECT_EQ(Z7Mem_Get32(Addr("D")), 0x7FFFFFFFu);
    EXPECT_EQ(Z7Map_SetRealValue(Item("UD"), -5.0f), 0u);
    EXPECT_EQ(Z7Mem_Get32(Addr("UD")), 0u);
    EXPECT_EQ(Z7Map_SetLRealValue(Item("I"), std::nan("")), 0u);
    EXPECT_EQ(Z7Mem_Get16(Addr("I")), 0u);
    EXPECT_EQ(Z7Map_SetLRealValue(Item("L"), -1e300), 0u);
    EXPECT_EQ(Z7Map_GetLIntValue(Item("L")), std::numeric_limits<int64_t>::min());
    EXPECT_EQ(Z7Map_SetLRealValue(Item("T"), 86399999.9), 0u);
    EXPECT_EQ(Z7Mem_Get32(Addr("T")), 86399999u);
    EXPECT_EQ(Z7Map_SetRealValue(Item("LR"), 0.1f), 0u);
    EXPECT_EQ(Z7Map_GetLRealValue(Item("LR")), double(0.1f));
    EXPECT_EQ(Z7Map_SetLRealValue(Item("R"), 0.1), 0u);
    EXPECT_EQ(Z7Map_GetLRealValue(Item("R")), double(0.1f));
    // strings
    uint32_t len = 99;
    EXPECT_EQ(Z7Map_SetStringValue(Item("S"), "HELLO", 0), 0u);
    const uint32_t text = Z7Map_GetStringValue(Item("S"), &len);
    ASSERT_NE(text, 0u);
    EXPECT_EQ(len, 5u);
    EXPECT_EQ(std::memcmp(Z7Mem_Ptr(text, 5), "HELLO", 5), 0);
    EXPECT_EQ(Z7Map_SetStringValue(Item("I"), "1", 1), 1u);
    EXPECT_EQ(Z7Map_SetStringValue(Item("S"), nullptr, 1), 1u);
    EXPECT_EQ(Z7Map_GetStringValue(Item("I"), &len), 0u);
    // a locked INT refuses writes
    Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_LOCK, 7), 0x02);
    EXPECT_EQ(Z7Map_IsLocked(Item("I")), 1u);
    EXPECT_EQ(Z7Map_SetLongValue(Item("I"), 9), 1u);
    EXPECT_EQ(Z7Mem_Get16(Addr("I")), 0u);
    EXPECT_EQ(Z7Map_IsLocked(Item("U")), 0u);
    EXPECT_EQ(Z7Map_IsLocked(0), 0u);
    // external variables: three pointers two bytes apart; one past the table refused
    const uint32_t target = Z7Sec_Elem(db, Z7SEC_D16, 11);
    EXPECT_EQ(Z7Map_SetXVAddress(db, Item("X"), target), 0u);
    for (uint32_t k = 0; k < 3; k++) EXPECT_EQ(Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_XV, 1 + k)), target + 2 * k);
    EXPECT_EQ(Z7Map_GetData(Item("X")), target);
    EXPECT_EQ(Z7Map_SetXVAddress(db, Item("X2"), target), 1u);
    EXPECT_EQ(Z7Map_SetXVAddress(db, Item("I"), target), 1u);
    EXPECT_EQ(Z7Map_SetLongValue(Item("X"), 0x1234), 0u);
    EXPECT_EQ(Z7Mem_Get16(target), 0x1234u);
}

TEST_F(VmValues, StatusInformationAndItsOpcodes) {
    EXPECT_EQ(Z7Map_SetVSIBit(db, 11, 7, 40, 1), 1u);
    EXPECT_EQ(Z7Map_SetVSIBit(db, 11, 7, 3, 1), 1u);
    EXPECT_EQ(Z7Map_SetVSIBit(db, 11, 7, 64, 1), 0u);
    const uint32_t vsi = Z7Map_GetVSI(Item("I"));
    ASSERT_NE(vsi, 0u);
    EXPECT_EQ(Z7Mem_Get32(vsi), 0x100u);
    EXPECT_EQ(Z7Mem_Get32(vsi + 4), 0x8u);
    EXPECT_EQ(Z7Map_GetVSIBit(db, 11, 7, 40), 1u);
    EXPECT_EQ(Z7Map_GetVSIBit(db, 11, 7, 41), 0u);
    EXPECT_EQ(Z7Map_GetVSIBit(db, 15, 7, 40), 1u);  // UINT folds onto INT
    EXPECT_EQ(Z7Map_GetVSIBit(db, 11, 6, 40), 0u);  // no variable
    EXPECT_EQ(Z7Map_GetVSIByData(db, Addr("I")), vsi);
    EXPECT_EQ(Z7Map_CopyVSI(db, 11, 9, 7, 1, 0), 1u);
    EXPECT_EQ(Z7Map_GetVSIBit(db, 11, 9, 40), 1u);
    EXPECT_EQ(Z7Map_StampVSI(db, 11, 9), 1u);
    EXPECT_NE(Z7Map_GetVSIDate(db, 11, 9) >> 16, 0u);
    // 568 sets both stamps and the interpreter's registers; 569 clears stamps and bits
    const uint8_t code[] = {0x02, 0x38, 0x00, 0x0B, 0x00, 0x07, 0x07, 0xEA, 0x0C, 0x07, 0x00, 0x00, 0x10, 0x00};
    ASSERT_EQ(Z7VM_Execute(db, code, sizeof code), 0u);
    Z7VM_Cycle(db, 1000);
    EXPECT_EQ(Z7Map_GetVSIDate(db, 11, 7), 0x07EA0C07u);
    EXPECT_EQ(Z7Map_GetVSITime(db, 11, 7), 0x1000u);
    EXPECT_EQ(Z7VMTic_VsiDate, 0x07EA0C07u);
    const uint8_t reset[] = {0x02, 0x39, 0x00, 0x0B, 0x00, 0x07};
    ASSERT_EQ(Z7VM_Execute(db, reset, sizeof reset), 0u);
    Z7VM_Cycle(db, 1010);
    EXPECT_EQ(Z7Map_GetVSIDate(db, 11, 7), 0u);
    EXPECT_EQ(Z7Map_GetVSITime(db, 11, 7), 0u);
    EXPECT_EQ(Z7Mem_Get32(vsi), 0u);
    EXPECT_EQ(Z7Mem_Get32(vsi + 4), 0u);
}

TEST_F(VmValues, StatusInformationSurvivesAChangeUnderTheSameMapStamp) {
    EXPECT_EQ(Z7Map_SetVSIBit(db, 11, 7, 5, 1), 1u);
    EXPECT_EQ(Z7Map_SetVSIDate(db, 11, 7, 0x07EA0C07), 1u);
    for (auto [stamp, kept] : std::vector<std::pair<uint32_t, uint32_t>>{{7, 1}, {8, 0}}) {
        const uint32_t next = test_support::IecLoad(ValuesImage(nullptr, stamp));
        blocks.push_back(next);
        ASSERT_EQ(Z7VM_CanHOTStart(next, db), 0u);
        ASSERT_EQ(Z7Def_Change(next, db, nullptr, "APP", 100), 0u);
        EXPECT_EQ(Z7Map_GetVSIBit(db, 11, 7, 5), kept) << stamp;
        EXPECT_EQ(Z7Map_GetVSIDate(db, 11, 7), kept ? 0x07EA0C07u : 0u) << stamp;
    }
}

// A description of an item with extended type information (flag 0x100)
// carries its complex-type offset and the low half of its type definition's
// offset where a plain item has its index, string length and dimension.
TEST_F(VmValues, DescriptionOfAComplexVariableCarriesItsOffset) {
    uint8_t out[300];
    const uint8_t s1[] = {0x00, 0x7F, 0x00, 0x00, 0x00, 0x08, 0x00, 0x25, 0x03, 0x01, 2, 'S', '1', 0};
    ASSERT_EQ(Z7Map_GetDesc(db, 16, out), 14u);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 14), std::vector<uint8_t>(s1, s1 + 14));
    const uint8_t lp[] = {0x00, 0x7F, 0x00, 0x00, 0x00, 0x28, 0x00, 0x38, 0x03, 0x01, 2, 'L', 'p', 0};
    ASSERT_EQ(Z7Map_GetDesc(db, 17, out), 14u);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 14), std::vector<uint8_t>(lp, lp + 14));
    // a plain STRING: index 2, maximum 250, dimension 1
    const uint8_t s250[] = {0x00, 0x05, 0x00, 0x02, 0x00, 0xFA, 0x00, 0x01, 0x02, 0x01, 4, 'S', '2', '5', '0', 0};
    ASSERT_EQ(Z7Map_GetDesc(db, 11, out), 16u);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 16), std::vector<uint8_t>(s250, s250 + 16));
}

TEST_F(VmValues, SymbolPaths) {
    const uint32_t ct = Z7Sec_Addr(db, Z7SEC_CT);
    uint32_t type = 99;
    const char *name = nullptr;
    struct Row {
        const char *path;
        uint32_t addr, type;
    };
    const std::vector<Row> rows = {
        {"P1.count", Addr("P1.count"), 11},
        {"p1.COUNT", Addr("P1.count"), 11},
        {"Arr[2]", Addr("Arr") + 4, 11},
        {"Arr[]", Addr("Arr"), 11},
        {"Arr[3]", 0, 0},
        {"Arr[2,1]", 0, 0},
        {"Arr[2]x", 0, 0},
        {"Arr[4294967298]", 0, 0},
        {"I", Addr("I"), 11},
        {"I.x", 0, 0},
        {"S1[2,1].xy", ct + 8 + 5 * 4 + 2, 11},
        {"S1[0,0].X", ct + 8, 11},
        {"S1[0,0].xyz", 0, 0},
        {"S1[3,0].x", 0, 0},
        {"S1[0,2].x", 0, 0},
        {"S1[0,0]x", 0, 0},
        {"S1[4294967296,0].x", 0, 0},
        {"S1[0,0]", ct + 8, 127},
        {"S1", ct + 8, 127},
        {"Nope", 0, 0},
    };
    for (const Row &r : rows) {
        EXPECT_EQ(Z7VmSyb_Parse(db, r.path, &type, &name), r.addr) << r.path;
        EXPECT_EQ(type, r.type) << r.path;
    }
    Z7VmSyb_Parse(db, "I", &type, &name);
    EXPECT_STREQ(name, "INT");
    Z7VmSyb_Parse(db, "S1", &type, &name);
    EXPECT_STREQ(name, "ARR");
    EXPECT_EQ(Z7VmSyb_ParseSingle(db, "S1[0,0]", &type), 0u);
    EXPECT_EQ(Z7VmSyb_ParseSingle(db, "S1[1,1].x", &type), ct + 8 + 3 * 4);
    // a self-containing type: the walk is bounded
    std::string deep = "Lp";
    for (int i = 0; i < 40; i++) deep += ".a";
    EXPECT_EQ(Z7VmSyb_Parse(db, deep.c_str(), &type, nullptr), 0u);
    EXPECT_EQ(Z7VmSyb_Parse(db, "Lp.a", &type, nullptr), ct + 40);
    char buf[64];
    struct Seen {
        std::vector<std::string> suffixes;
    } seen;
    auto collect = [](const char *s, uint32_t t, void *u) {
        EXPECT_EQ(t, 11u);
        static_cast<Seen *>(u)->suffixes.push_back(s);
    };
    EXPECT_EQ(Z7VmSyb_EnumCTMembers(db, Item("Lp"), buf, sizeof buf, collect, &seen), 0u);
    seen.suffixes.clear();
    ASSERT_EQ(Z7VmSyb_EnumCTMembers(db, Item("S1"), buf, sizeof buf, collect, &seen), 1u);
    ASSERT_EQ(seen.suffixes.size(), 12u);
    EXPECT_EQ(seen.suffixes.front(), "[0,0].x");
    EXPECT_EQ(seen.suffixes.back(), "[2,1].xy");
    std::set<uint32_t> addrs;
    for (const std::string &s : seen.suffixes) {  // every enumerated name parses back
        const uint32_t a = Z7VmSyb_ParseSingle(db, ("S1" + s).c_str(), &type);
        EXPECT_TRUE(a >= ct + 8 && a < ct + 32) << s;
        addrs.insert(a);
    }
    EXPECT_EQ(addrs.size(), 12u);
    EXPECT_EQ(Z7VmSyb_EnumCTMembers(db, Item("S1"), buf, 6, collect, &seen), 0u);  // "[0,0].x" does not fit
    EXPECT_EQ(Z7VmSyb_EnumCTMembers(db, Item("I"), buf, sizeof buf, collect, &seen), 0u);
    // the three ways of the runtime services
    uint32_t a = 0;
    EXPECT_EQ(DrevanoEnumerateVarialbes(db, "P1.count", &type, &a), Item("P1.count"));
    EXPECT_EQ(a, Addr("P1.count"));
    EXPECT_EQ(DrevanoEnumerateVarialbes(db, "S1[2,1].xy", &type, &a), 0u);
    EXPECT_EQ(a, ct + 30);
}

// An event server on a loopback port with clients connected to it, polled
// until it counts them all.
struct EvsWithClients {
    std::vector<uint8_t> mem;
    std::vector<int> fds;
    void *evs = nullptr;
    uint32_t now = 1000;
    explicit EvsWithClients(uint32_t clients) {
        Z7EvsSettings s{};
        s.capacity = {1024, 0, 8000, 16000};
        mem.resize(Z7Evs_GetMemorySize(&s));
        if (Z7Evs_Open(mem.data(), &s) != 0) return;
        evs = mem.data();
        sockaddr_in a{};
        socklen_t al = sizeof a;
        getsockname(reinterpret_cast<Z7EvsData *>(evs)->listen, reinterpret_cast<sockaddr *>(&a), &al);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (uint32_t k = 0; k < clients; k++) {
            const int fd = socket(AF_INET, SOCK_STREAM, 0);
            if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) fds.push_back(fd);
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (Z7Evs_GetNbClient(evs) < clients && std::chrono::steady_clock::now() < deadline)
            Z7Evs_Activate(evs, now++);
        Z7Evs_HasNewConections(evs);
    }
    ~EvsWithClients() {
        for (int fd : fds) close(fd);
        if (evs) Z7Evs_Close(evs);
    }
};

// The change-event walk against a real event server with one client.
TEST_F(VmValues, ChangeEventsWithHysteresis) {
    EvsWithClients server(1);
    ASSERT_NE(server.evs, nullptr);
    ASSERT_EQ(Z7Evs_GetNbClient(server.evs), 1u);
    void *evs = server.evs;

    auto f32 = [](float f) {
        std::vector<uint8_t> b(8, 0);
        std::memcpy(b.data(), &f, 4);
        return b;
    };
    const std::vector<uint8_t> half = f32(0.5f);
    ASSERT_EQ(Z7EA_RegisterChangeEvent(db, 1, 3, 5, 0, half.data(), half.data(), 0), 1u);
    const uint32_t r = Addr("R");
    uint32_t sent = 0;
    for (auto [value, events] : std::vector<std::pair<float, uint32_t>>{
             {10.0f, 1}, {10.4f, 0}, {10.6f, 1}, {10.2f, 0}, {9.9f, 1}, {8.0f, 1}, {8.5f, 1}, {8.0f, 1}}) {
        Z7Map_SetRealValue(Item("R"), value);
        EXPECT_EQ(Z7EA_ManagePrivateEvents(db, evs), events) << value;
        if (events) sent = Z7Mem_Get32(r);
        EXPECT_EQ(Z7Mem_Get32(Z7Sec_Addr(db, Z7SEC_EVT) + 32), sent) << value;  // the last value sent
    }
    // an unsigned 16-bit value near its top: the limits do not wrap
    const uint8_t lim[8] = {0x20, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(Z7EA_RegisterChangeEvent(db, 1, 15, 8, 0, lim, lim, 0), 2u);
    Z7Mem_Put16(Addr("U"), 0xFFF0);
    EXPECT_EQ(Z7EA_ManagePrivateEvents(db, evs), 1u);
    Z7Mem_Put16(Addr("U"), 0xFFFF);
    EXPECT_EQ(Z7EA_ManagePrivateEvents(db, evs), 0u);
    Z7Mem_Put16(Addr("U"), 0x0005);
    EXPECT_EQ(Z7EA_ManagePrivateEvents(db, evs), 1u);
    // a second subscription keeps the smaller limits
    const uint8_t wide[8] = {0x40, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(Z7EA_RegisterChangeEvent(db, 2, 15, 8, 0, wide, wide, 0), 2u);
    EXPECT_EQ(Z7Mem_Get16(Z7Sec_Elem(db, Z7SEC_EVT, 1) + 40), 0x20u);
    // strings: by length and CRC; one of 223 characters or more goes whole in an event of its own
    ASSERT_EQ(Z7EA_RegisterChangeEvent(db, 1, 5, 2, 0, nullptr, nullptr, 0), 3u);
    EXPECT_EQ(Z7EA_ManagePrivateEvents(db, evs), 2u);  // and INT 8 for its second client
    for (uint32_t n : {100u, 222u, 223u, 250u}) {
        const std::string text(n, char('A' + n % 26));
        EXPECT_EQ(Z7Map_SetStringValue(Item("S250"), text.c_str(), n), 0u);
        EXPECT_EQ(Z7EA_ManagePrivateEvents(db, evs), 1u) << n;
        EXPECT_EQ(Z7EA_ManagePrivateEvents(db, evs), 0u) << n;
    }
    // a broadcast event: walked only with the broadcast ones, sent again
    // unchanged after a general update, never while events are disabled,
    // and no more once every broadcast event is unregistered
    ASSERT_EQ(Z7EA_RegisterChangeEvent(db, 0, 3, 5, 77, nullptr, nullptr, 0), 4u);
    EXPECT_EQ(Z7EA_ManagePrivateEvents(db, evs), 0u);
    // the cycle's pass walks both kinds and answers the entries that sent
    EXPECT_EQ(Z7EA_ManageChangeEvents(db, evs), 1u);
    EXPECT_EQ(Z7EA_ManageBroadcastEvents(db, evs), 0u);
    Z7EA_ForceGeneralUpdate(db);
    EXPECT_EQ(Z7EA_ManageBroadcastEvents(db, evs), 1u);
    Z7EA_ForceGeneralUpdate(db);
    Z7St_SetFlags(db, uint16_t(Z7St_Flags(db) | Z7F_NOEVENTS));
    EXPECT_EQ(Z7EA_ManageBroadcastEvents(db, evs), 0u);
    Z7St_SetFlags(db, uint16_t(Z7St_Flags(db) & ~Z7F_NOEVENTS));
    EXPECT_EQ(Z7EA_UnregisterAllBroadcastEvents(db), 0u);
    Z7EA_ForceGeneralUpdate(db);
    EXPECT_EQ(Z7EA_ManageBroadcastEvents(db, evs), 0u);
    // the client goes: its subscriptions go with it
    close(server.fds[0]);
    server.fds.clear();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (Z7Evs_GetNbClient(evs) != 0 && std::chrono::steady_clock::now() < deadline) Z7Evs_Activate(evs, 1100);
    ASSERT_EQ(Z7Evs_GetNbClient(evs), 0u);
    Z7Mem_Put16(Addr("U"), 0x0100);
    Z7Mem_Put32(r, 0x42000000);
    Z7Map_SetStringValue(Item("S250"), "X", 1);
    Z7EA_ManagePrivateEvents(db, evs);
    EXPECT_EQ(Z7Sec_Get(db, Z7SEC_EVT, SD_USED), 1u);  // the broadcast entry out of use keeps its place
}

// An event is stamped with the date and time of one clock reading: the
// clock reads 2026-12-08 23:59:59.999 UTC the first time it is asked and
// 2026-12-09 00:00:00.000 ever after, so a date and a time taken from two
// readings would stamp the event 2026-12-08 00:00:00.000, a day early.
TEST_F(VmValues, ChangeEventStampedFromOneClockReading) {
    EvsWithClients server(1);
    ASSERT_NE(server.evs, nullptr);
    ASSERT_EQ(Z7Evs_GetNbClient(server.evs), 1u);
    void *evs = server.evs;
    static uint32_t seen_date, seen_time, events, readings;
    seen_date = seen_time = events = readings = 0;
    Z7EvsClient *client = reinterpret_cast<Z7EvsData *>(evs)->client[0];
    ASSERT_EQ(Z7Evs1_SetCallback(client,
                                 [](uint8_t type, uint8_t, uint32_t, const uint8_t *, uint32_t date, uint32_t time) {
                                     if (type != 4) return;
                                     seen_date = date;
                                     seen_time = time;
                                     events++;
                                 }),
              0u);
    ASSERT_EQ(Z7EA_RegisterChangeEvent(db, 1, 15, 8, 0, nullptr, nullptr, 0), 1u);
    // the variable's status information carries no date: the clock stamps the event
    const uint32_t vsi = Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_EVT, 0) + 20);
    ASSERT_NE(vsi, 0u);
    ASSERT_EQ(Z7Mem_Get32(vsi + 8), 0u);
    test_support::FixedIecClock utc;
    Z7Host_Clock = [](timeval *tv) {
        tv->tv_sec = readings++ == 0 ? 1796774399 : 1796774400;
        tv->tv_usec = readings == 1 ? 999000 : 0;
    };
    EXPECT_EQ(Z7EA_ManagePrivateEvents(db, evs), 1u);
    EXPECT_EQ(events, 1u);
    EXPECT_EQ(seen_date, 0x07EA0C08u);
    EXPECT_EQ(seen_time, 86399999u);
}

// The static events of a code image's list, for every client: a record
// whose limits are wider than 8 bytes is refused (answer 1) and the ones
// behind it are still registered.
TEST_F(VmValues, StaticEventListRegistersEveryRecordItCan) {
    std::vector<uint8_t> list;
    auto rec = [&](uint8_t type, uint8_t flags, uint16_t index, uint16_t id, std::vector<uint8_t> up,
                   std::vector<uint8_t> lo, int ct) {
        const uint16_t h = uint16_t(up.size());
        list.insert(list.end(), {type, flags, uint8_t(index), uint8_t(index >> 8), uint8_t(id), uint8_t(id >> 8),
                                 uint8_t(h), uint8_t(h >> 8)});
        list.insert(list.end(), up.begin(), up.end());
        list.insert(list.end(), lo.begin(), lo.end());
        if (ct >= 0) list.insert(list.end(), {uint8_t(ct), 0, 0, 0});
    };
    rec(3, 0, 5, 77, {0, 0, 0, 0x3F}, {0, 0, 0, 0x3F}, -1);                         // REAL 5, 0.5 either way
    rec(11, 0x80, 0, 78, {3, 0}, {3, 0}, 8);                                        // INT at CT offset 8
    rec(15, 0, 8, 79, std::vector<uint8_t>(9, 1), std::vector<uint8_t>(9, 1), -1);  // 9-byte limits
    rec(2, 0, 4, 80, {}, {}, -1);                                                   // DINT 4, no limits
    list.push_back(0);
    test_support::IecImage img;
    img.ext_blocks = {{4, list}};
    const uint32_t code = test_support::IecLoad(img.Build());
    blocks.push_back(code);
    EXPECT_EQ(Z7EA_RegisterStaticEvents(code, db), 1u);
    ASSERT_EQ(Z7Sec_Get(db, Z7SEC_EVT, SD_USED), 3u);
    auto entry = [&](uint32_t i) {
        const uint8_t *p = Z7Mem_Ptr(Z7Sec_Elem(db, Z7SEC_EVT, i), 64);
        std::vector<uint8_t> e(p, p + 64);
        std::fill(e.begin() + 16, e.begin() + 32, 0);  // data address and status information
        return e;
    };
    auto record = [](std::vector<std::pair<uint32_t, std::vector<uint8_t>>> parts) {
        std::vector<uint8_t> e(64, 0);
        for (auto &[at, bytes] : parts) std::copy(bytes.begin(), bytes.end(), e.begin() + at);
        return e;
    };
    const std::vector<uint8_t> all2(8, 2);
    EXPECT_EQ(
        entry(0),
        record({{0, {4, 3, 0x0E, 0, 5, 0, 1, 0, 77, 0}}, {40, {0, 0, 0, 0x3F}}, {48, {0, 0, 0, 0x3F}}, {56, all2}}));
    EXPECT_EQ(entry(1), record({{0, {2, 11, 0x0E, 0, 0, 0, 1, 0, 78, 0, 0, 0, 8}}, {40, {3}}, {48, {3}}, {56, all2}}));
    EXPECT_EQ(entry(2), record({{0, {4, 2, 0x06, 0, 4, 0, 1, 0, 80, 0}}, {56, all2}}));
    EXPECT_EQ(Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_EVT, 1) + 16), Z7Sec_Addr(db, Z7SEC_CT) + 8);
    // registered again: the static entries are replaced, not added to
    EXPECT_EQ(Z7EA_RegisterStaticEvents(code, db), 1u);
    EXPECT_EQ(Z7Sec_Get(db, Z7SEC_EVT, SD_USED), 3u);
}

// Subscriptions of two clients to one variable share its entry with the
// smaller limits of the two (compared in the variable's type), and the
// change test compares each type with its own sign, never wrapping.
TEST_F(VmValues, HysteresisMergeAndChangeTestOfEveryType) {
    EvsWithClients server(2);
    ASSERT_NE(server.evs, nullptr);
    ASSERT_EQ(Z7Evs_GetNbClient(server.evs), 2u);
    void *evs = server.evs;
    auto entry = [&](uint32_t i) {
        const uint8_t *p = Z7Mem_Ptr(Z7Sec_Elem(db, Z7SEC_EVT, i), 64);
        return std::vector<uint8_t>(p, p + 64);
    };
    // the entry without its data address and status information (bytes 16-31)
    auto fields = [&](uint32_t i) {
        std::vector<uint8_t> e = entry(i);
        std::fill(e.begin() + 16, e.begin() + 32, 0);
        return e;
    };
    auto record = [](std::vector<std::pair<uint32_t, std::vector<uint8_t>>> parts) {
        std::vector<uint8_t> e(64, 0);
        for (auto &[at, bytes] : parts) std::copy(bytes.begin(), bytes.end(), e.begin() + at);
        return e;
    };

    // client 1 takes every change of a UINT; client 2 asks for 0x20 around it
    const uint32_t u = Addr("U");
    Z7Mem_Put16(u, 100);
    ASSERT_EQ(Z7EA_RegisterChangeEvent(db, 1, 15, 8, 0, nullptr, nullptr, 0), 1u);
    EXPECT_EQ(Z7EA_ManagePrivateEvents(db, evs), 1u);
    EXPECT_EQ(fields(0), record({{0, {2, 15, 0x01, 0, 8, 0, 1, 0}}, {32, {100}}, {56, {1}}}));
    const uint8_t lim20[8] = {0x20};
    ASSERT_EQ(Z7EA_RegisterChangeEvent(db, 2, 15, 8, 0, lim20, lim20, 0), 1u);
    // flags 2 (pending) alone: 0x20 is below neither limit 0 kept, so no
    // limit was taken and every change still counts; two subscribers
    EXPECT_EQ(fields(0), record({{0, {2, 15, 0x02, 0, 8, 0, 2, 0}}, {32, {100}}, {56, {1, 2}}}));
    EXPECT_EQ(Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_EVT, 0) + 16), u);
    EXPECT_EQ(Z7EA_ManagePrivateEvents(db, evs), 1u);  // sent again, now to both
    EXPECT_EQ(fields(0), record({{0, {2, 15, 0x01, 0, 8, 0, 2, 0}}, {32, {100}}, {56, {1, 1}}}));
    for (uint16_t v : {101, 102, 101}) {
        Z7Mem_Put16(u, v);
        EXPECT_EQ(Z7EA_ManagePrivateEvents(db, evs), 1u) << v;  // client 1 still sees a change of 1
    }
    EXPECT_EQ(0u, Z7EA_UnregisterChangeEvent(db, 1, 15, 8, 0));
    EXPECT_EQ(0u, Z7EA_UnregisterChangeEvent(db, 2, 15, 8, 0));
    ASSERT_EQ(Z7Sec_Get(db, Z7SEC_EVT, SD_USED), 0u);

    // limits only while one was taken: client 1 asks for 2 around the UINT,
    // client 2 for every change (the limits 2 stay stored, unused); client 1
    // comes back asking for 5: neither limit taken, client 2 still gets a
    // change of 1; client 2 comes back asking for 1 up and 9 down: the upper
    // limit taken, the limits 1 and 2 hold
    const uint8_t lim2[8] = {2}, lim5[8] = {5}, lim1[8] = {1}, lim9[8] = {9};
    Z7Mem_Put16(u, 100);
    ASSERT_EQ(Z7EA_RegisterChangeEvent(db, 1, 15, 8, 0, lim2, lim2, 0), 1u);
    ASSERT_EQ(Z7EA_RegisterChangeEvent(db, 2, 15, 8, 0, nullptr, nullptr, 0), 1u);
    EXPECT_EQ(fields(0), record({{0, {2, 15, 0x02, 0, 8, 0, 2, 0}}, {40, {2}}, {48, {2}}, {56, {1, 2}}}));
    EXPECT_EQ(Z7EA_ManagePrivateEvents(db, evs), 1u);
    EXPECT_EQ(0u, Z7EA_UnregisterChangeEvent(db, 1, 15, 8, 0));
    ASSERT_EQ(Z7EA_RegisterChangeEvent(db, 1, 15, 8, 0, lim5, lim5, 0), 1u);
    EXPECT_EQ(fields(0), record({{0, {2, 15, 0x02, 0, 8, 0, 2, 0}}, {32, {100}}, {40, {2}}, {48, {2}}, {56, {2, 1}}}));
    EXPECT_EQ(Z7EA_ManagePrivateEvents(db, evs), 1u);
    Z7Mem_Put16(u, 101);
    EXPECT_EQ(Z7EA_ManagePrivateEvents(db, evs), 1u);  // a change of 1 reaches client 2
    EXPECT_EQ(0u, Z7EA_UnregisterChangeEvent(db, 2, 15, 8, 0));
    ASSERT_EQ(Z7EA_RegisterChangeEvent(db, 2, 15, 8, 0, lim1, lim9, 0), 1u);
    EXPECT_EQ(fields(0), record({{0, {2, 15, 0x0A, 0, 8, 0, 2, 0}}, {32, {101}}, {40, {1}}, {48, {2}}, {56, {1, 2}}}));
    EXPECT_EQ(Z7EA_ManagePrivateEvents(db, evs), 1u);
    Z7Mem_Put16(u, 100);
    EXPECT_EQ(Z7EA_ManagePrivateEvents(db, evs), 0u);  // down by 1: within the lower limit 2
    Z7Mem_Put16(u, 102);
    EXPECT_EQ(Z7EA_ManagePrivateEvents(db, evs), 1u);  // up by 1 from 101: the upper limit 1
    EXPECT_EQ(0u, Z7EA_UnregisterChangeEvent(db, 1, 15, 8, 0));
    EXPECT_EQ(0u, Z7EA_UnregisterChangeEvent(db, 2, 15, 8, 0));
    ASSERT_EQ(Z7Sec_Get(db, Z7SEC_EVT, SD_USED), 0u);

    // each limit the smaller one, DINT limits compared as unsigned 32-bit
    // (-1 is the widest); a second client without limits drops them
    const uint8_t d1u[8] = {0xFF, 0xFF, 0xFF, 0xFF}, d1l[8] = {5}, d2u[8] = {7}, d2l[8] = {9};
    ASSERT_EQ(Z7EA_RegisterChangeEvent(db, 1, 2, 4, 0, d1u, d1l, 0), 1u);
    EXPECT_EQ(fields(0),
              record({{0, {4, 2, 0x08, 0, 4, 0, 1, 0}}, {40, {0xFF, 0xFF, 0xFF, 0xFF}}, {48, {5}}, {56, {1}}}));
    ASSERT_EQ(Z7EA_RegisterChangeEvent(db, 2, 2, 4, 0, d2u, d2l, 0), 1u);
    EXPECT_EQ(fields(0), record({{0, {4, 2, 0x0A, 0, 4, 0, 2, 0}}, {40, {7}}, {48, {5}}, {56, {1, 2}}}));
    const uint8_t half[8] = {0x00, 0x00, 0x00, 0x3F};  // 0.5f
    ASSERT_EQ(Z7EA_RegisterChangeEvent(db, 1, 3, 5, 0, half, half, 0), 2u);
    ASSERT_EQ(Z7EA_RegisterChangeEvent(db, 2, 3, 5, 0, nullptr, nullptr, 0), 2u);
    EXPECT_EQ(fields(1),
              record({{0, {4, 3, 0x02, 0, 5, 0, 2, 0}}, {40, {0, 0, 0, 0x3F}}, {48, {0, 0, 0, 0x3F}}, {56, {1, 2}}}));
    Z7Map_SetRealValue(Item("R"), 10.0f);
    EXPECT_EQ(Z7EA_ManagePrivateEvents(db, evs), 2u);
    Z7Map_SetRealValue(Item("R"), 10.1f);
    EXPECT_EQ(Z7EA_ManagePrivateEvents(db, evs), 1u);  // every change, for client 2
    for (uint32_t c : {1u, 2u}) {
        EXPECT_EQ(0u, Z7EA_UnregisterChangeEvent(db, c, 2, 4, 0));
        EXPECT_EQ(0u, Z7EA_UnregisterChangeEvent(db, c, 3, 5, 0));
    }
    ASSERT_EQ(Z7Sec_Get(db, Z7SEC_EVT, SD_USED), 0u);

    // the change test by type: limits, the value last sent, the new value,
    // whether that is a change (values and limits little-endian as stored)
    struct Row {
        uint32_t type, sec, index, size;
        uint64_t limit, last, now;
        uint32_t events;
    };
    const uint64_t top = ~uint64_t(0);
    const uint64_t f10 = 0x41200000, f5 = 0x3F000000, f104 = 0x41266666, f106 = 0x4129999A;  // REAL 10.0 0.5 10.4 10.6
    const uint64_t d1 = 0x3FF0000000000000, d5 = 0x3FE0000000000000;                         // LREAL 1.0 0.5
    const uint64_t d14 = 0x3FF6666666666666, d15 = 0x3FF8000000000000;                       // LREAL 1.4 1.5
    const std::vector<Row> rows = {
        {1, Z7SEC_D8, 3, 1, 5, 0, 1, 1},  // BOOL: any difference
        // 8-bit values and TIME are unsigned, as everywhere in the VM
        {10, Z7SEC_D8, 4, 1, 5, 0xFF, 0x01, 1},  // SINT 255 -> 1
        {10, Z7SEC_D8, 4, 1, 5, 0x7F, 0x80, 0},  // SINT 127 -> 128
        {10, Z7SEC_D8, 4, 1, 5, 0x02, 0xFD, 1},  // SINT 2 -> 253
        {10, Z7SEC_D8, 4, 1, 5, 0xFF, 0x00, 1},  // SINT wraps 255 -> 0
        {10, Z7SEC_D8, 4, 1, 5, 0x03, 0x00, 0},  // SINT 3 -> 0: below the limit
        // signed types: across zero by less than the limits is no change
        {11, Z7SEC_D16, 7, 2, 5, 0xFFFD, 0x0001, 0},            // INT -3 -> 1
        {11, Z7SEC_D16, 7, 2, 5, 0x0002, 0xFFFD, 1},            // INT 2 -> -3
        {11, Z7SEC_D16, 7, 2, 5, 0x7FFE, 0x8000, 1},            // INT 32766 -> -32768
        {2, Z7SEC_D32, 4, 4, 5, 0xFFFFFFFD, 0x00000001, 0},     // DINT -3 -> 1
        {2, Z7SEC_D32, 4, 4, 5, 0x7FFFFFFE, 0x7FFFFFFF, 0},     // DINT near its top
        {2, Z7SEC_D32, 4, 4, 5, 0x00000003, 0xFFFFFFFE, 1},     // DINT 3 -> -2
        {2, Z7SEC_D32, 4, 4, 5, 0x7FFFFFFF, 0x80000000, 1},     // DINT wraps its top to its bottom
        {4, Z7SEC_TIME, 2, 4, 5, 0xFFFFFFFD, 0x00000001, 1},    // TIME 4294967293 -> 1
        {4, Z7SEC_TIME, 2, 4, 5, 0x7FFFFFFF, 0x80000000, 0},    // TIME 2^31 - 1 -> 2^31
        {4, Z7SEC_TIME, 2, 4, 5, 0xFFFFFFFF, 0x00000000, 1},    // TIME wraps to 0
        {4, Z7SEC_TIME, 2, 4, 5, 10, 15, 1},                    // TIME 10 -> 15
        {11, Z7SEC_D16, 7, 2, 5, 0x7FFF, 0x8000, 1},            // INT wraps its top to its bottom
        {12, Z7SEC_D64, 2, 8, 5, top >> 1, (top >> 1) + 1, 1},  // LINT wraps its top to its bottom
        {12, Z7SEC_D64, 2, 8, 5, top - 2, 1, 0},                // LINT -3 -> 1
        {12, Z7SEC_D64, 2, 8, 5, top >> 1, (top >> 1) - 4, 0},  // LINT at its top
        {12, Z7SEC_D64, 2, 8, 5, 3, top - 1, 1},                // LINT 3 -> -2
        // unsigned types: no limit wraps, the lower test only above the limit
        {14, Z7SEC_D8, 6, 1, 5, 3, 0, 0},                     // USINT 3 -> 0
        {14, Z7SEC_D8, 6, 1, 5, 3, 8, 1},                     // USINT 3 -> 8
        {14, Z7SEC_D8, 6, 1, 5, 0xFB, 0xFF, 0},               // USINT 251 -> 255
        {14, Z7SEC_D8, 6, 1, 5, 0xFB, 0xF6, 1},               // USINT 251 -> 246
        {14, Z7SEC_D8, 6, 1, 5, 0xFF, 0x00, 1},               // USINT wraps to 0
        {15, Z7SEC_D16, 8, 2, 5, 0xFFFE, 0xFFFF, 0},          // UINT at its top
        {15, Z7SEC_D16, 8, 2, 5, 0xFFFF, 0x0000, 1},          // UINT wraps to 0
        {16, Z7SEC_D32, 6, 4, 5, 0xFFFFFFFF, 0, 1},           // UDINT wraps to 0
        {17, Z7SEC_D64, 1, 8, 5, top, 0, 1},                  // ULINT wraps to 0
        {16, Z7SEC_D32, 6, 4, 5, 0xFFFFFFFE, 0xFFFFFFFF, 0},  // UDINT at its top
        {16, Z7SEC_D32, 6, 4, 5, 0xFFFFFFFE, 3, 1},           // UDINT down to 3
        {17, Z7SEC_D64, 1, 8, 5, top - 2, top, 0},            // ULINT at its top
        {17, Z7SEC_D64, 1, 8, 5, top - 2, 2, 1},              // ULINT down to 2
        {17, Z7SEC_D64, 1, 8, 5, 4, 0, 0},                    // ULINT 4 -> 0
        {3, Z7SEC_D32, 5, 4, f5, f10, f104, 0},               // REAL 10.0 -> 10.4
        {3, Z7SEC_D32, 5, 4, f5, f10, f106, 1},               // REAL 10.0 -> 10.6
        {13, Z7SEC_D64, 3, 8, d5, d1, d14, 0},                // LREAL 1.0 -> 1.4
        {13, Z7SEC_D64, 3, 8, d5, d1, d15, 1},                // LREAL 1.0 -> 1.5
    };
    auto put = [](uint32_t a, uint32_t size, uint64_t v) {
        for (uint32_t k = 0; k < size; k++) Z7Mem_Put8(a + k, uint8_t(v >> (8 * k)));
    };
    for (const Row &r : rows) {
        const uint32_t a = Z7Sec_Elem(db, r.sec, r.index);
        ASSERT_NE(a, 0u) << r.type;
        put(a, r.size, r.last);
        uint8_t lim[8] = {};
        for (uint32_t k = 0; k < 8; k++) lim[k] = uint8_t(r.limit >> (8 * k));
        ASSERT_EQ(Z7EA_RegisterChangeEvent(db, 1, r.type, r.index, 0, lim, lim, 0), 1u) << r.type;
        EXPECT_EQ(Z7EA_ManagePrivateEvents(db, evs), 1u) << r.type;
        put(a, r.size, r.now);
        EXPECT_EQ(Z7EA_ManagePrivateEvents(db, evs), r.events) << r.type << " " << r.last << " -> " << r.now;
        EXPECT_EQ(0u, Z7EA_UnregisterChangeEvent(db, 1, r.type, r.index, 0));
    }

    // Upper and lower limits apart: a rise is measured against the upper
    // one, a fall against the lower one; UDINTs compare unsigned.
    struct Apart {
        uint32_t type, sec, index, size;
        uint64_t up, lo, last, now;
        uint32_t events;
    };
    const std::vector<Apart> apart = {
        {11, Z7SEC_D16, 7, 2, 5, 20, 100, 104, 0},                     // INT up 4 of 5
        {11, Z7SEC_D16, 7, 2, 5, 20, 100, 105, 1},                     // INT up 5 of 5
        {11, Z7SEC_D16, 7, 2, 5, 20, 100, 85, 0},                      // INT down 15 of 20
        {11, Z7SEC_D16, 7, 2, 5, 20, 100, 80, 1},                      // INT down 20 of 20
        {16, Z7SEC_D32, 6, 4, 5, 5, 0x7FFFFFFE, 0x80000000, 0},        // UDINT across 2^31 by 2
        {16, Z7SEC_D32, 6, 4, 5, 5, 0x80000001, 0x7FFFFFFE, 0},        // UDINT back by 3
        {16, Z7SEC_D32, 6, 4, 0x10, 0x20, 0x80000000, 0x80000010, 1},  // UDINT up by its upper limit
    };
    for (const Apart &r : apart) {
        const uint32_t a = Z7Sec_Elem(db, r.sec, r.index);
        put(a, r.size, r.last);
        uint8_t up[8] = {}, lo[8] = {};
        for (uint32_t k = 0; k < 8; k++) {
            up[k] = uint8_t(r.up >> (8 * k));
            lo[k] = uint8_t(r.lo >> (8 * k));
        }
        ASSERT_EQ(Z7EA_RegisterChangeEvent(db, 1, r.type, r.index, 0, up, lo, 0), 1u) << r.type;
        EXPECT_EQ(Z7EA_ManagePrivateEvents(db, evs), 1u) << r.type;
        put(a, r.size, r.now);
        EXPECT_EQ(Z7EA_ManagePrivateEvents(db, evs), r.events) << r.type << " " << r.last << " -> " << r.now;
        EXPECT_EQ(0u, Z7EA_UnregisterChangeEvent(db, 1, r.type, r.index, 0));
    }

    // A merge followed by the change test: client 1 asks up 10 / down 3,
    // client 2 up 8 / down 6; the entry keeps up 8 (taken) and down 3, each
    // the smaller of its own kind (never a lower limit against an upper one).
    const uint32_t iv = Z7Sec_Elem(db, Z7SEC_D16, 7);
    put(iv, 2, 100);
    const uint8_t u1[8] = {10}, l1[8] = {3}, u2[8] = {8}, l2[8] = {6};
    ASSERT_EQ(Z7EA_RegisterChangeEvent(db, 1, 11, 7, 0, u1, l1, 0), 1u);
    ASSERT_EQ(Z7EA_RegisterChangeEvent(db, 2, 11, 7, 0, u2, l2, 0), 1u);
    EXPECT_EQ(Z7EA_ManagePrivateEvents(db, evs), 1u);
    struct Step {
        uint16_t now;
        uint32_t events;
    };
    for (const Step &st : {Step{107, 0}, Step{108, 1}, Step{106, 0}, Step{105, 1}}) {
        put(iv, 2, st.now);
        EXPECT_EQ(Z7EA_ManagePrivateEvents(db, evs), st.events) << st.now;
    }
    for (uint32_t c : {1u, 2u}) EXPECT_EQ(0u, Z7EA_UnregisterChangeEvent(db, c, 11, 7, 0));
}
}  // namespace
