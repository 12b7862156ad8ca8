// The remote-I/O master's pieces in-process: the record walk behind the slot
// records, parsing with its refusals, the frames it sends, the answers it
// takes into the registers, and the BOOTP answer.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <vector>

#include "core/image/bytes.h"
#include "core/image/iecrt.h"
#include "core/image/plcreg.h"
#include "core/storage/memfile.h"
#include "net/dpr.h"
#include "net/etnio.h"
#include "tests/support/fake_clock.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t R(uint32_t n) { return 32768 + 16 * (n - 1); }
uint16_t Word(uint32_t n) { return LE_Get16(PlcReg_Ptr(R(n), 16)); }
constexpr uint32_t I1 = 8192, Q1 = 10240;

// One station at 10.77.0.3, status %R100, DI %I1, DO %Q1, AI %R110, AQ %R120,
// modules of the given kinds with configuration words.
Bytes Record(std::vector<std::pair<uint16_t, uint32_t>> mods, uint16_t stations = 1) {
    Bytes d(ETNIO_CFG_BYTES);
    LE_Put16(&d[0], 0xAA55);
    LE_Put16(&d[4], stations);
    uint8_t *s = &d[16];
    LE_Put32(s, 0x0A4D0003);
    LE_Put32(s + 4, R(100));
    const uint8_t mac[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    std::copy(mac, mac + 6, s + 8);
    LE_Put32(s + 32, R(110));
    LE_Put32(s + 36, R(120));
    LE_Put32(s + 40, I1);
    LE_Put32(s + 44, Q1);
    LE_Put16(s + 52, uint16_t(mods.size()));
    for (std::size_t m = 0; m < mods.size(); m++) {
        LE_Put32(s + 64 + 16 * m, mods[m].second);
        LE_Put16(s + 68 + 16 * m, mods[m].first);
    }
    return d;
}

TEST(RemoteIo, WalkParseFramesAnswers) {
    plc_reg.fill(0);
    const Bytes rec = Record({{2, 0x11223344}, {6, 0x55667788}, {14, 0x99AABBCC}});
    // Block: slots 0 and 1 empty, slot 2 a record of 6 bytes (padded to 8), a
    // record of another kind, then the remote-I/O record.
    Bytes block = {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0xFA, 6, 0, 1, 2, 3, 4, 5, 6, 0, 0, 0x02, 0xCF, 2, 0, 9, 9, 0, 0};
    block.push_back(0x01);
    block.push_back(0xCF);
    block.push_back(uint8_t(rec.size()));
    block.push_back(uint8_t(rec.size() >> 8));
    for (uint8_t b : rec) block.push_back(b);
    uint32_t len = 0;
    const uint8_t *d = EtnIoConfig(block.data(), uint32_t(block.size()), 0, &len);
    ASSERT_EQ(d, block.data() + 28);
    EXPECT_EQ(len, ETNIO_CFG_BYTES);
    EXPECT_EQ(EtnIoConfig(block.data(), uint32_t(block.size()), 1, &len), nullptr);      // no second record
    EXPECT_EQ(EtnIoConfig(block.data(), uint32_t(block.size()) - 1, 0, &len), nullptr);  // record past the block
    // Blocks cut inside a slot id, a slot record's header and a record's
    // header: nothing read past them; a record header alone at the end is
    // a record of no bytes.
    uint32_t got = 0;
    for (std::size_t cut : {std::size_t(1), std::size_t(6), std::size_t(26)}) {
        const Bytes part(block.begin(), block.begin() + long(cut));
        EXPECT_EQ(EtnIoConfig(part.data(), uint32_t(part.size()), 0, &got), nullptr) << cut;
    }
    Bytes empty(block.begin(), block.begin() + 24);
    empty.insert(empty.end(), {0x01, 0xCF, 0, 0});
    EXPECT_EQ(EtnIoConfig(empty.data(), uint32_t(empty.size()), 0, &got), empty.data() + 28);
    EXPECT_EQ(got, 0u);
    // Read literally, FF FF FF FF would end the walk: here it is two empty slots.
    ASSERT_EQ(EtnIo_Parse(0, d, len), 1);
    const EtnIoStation &s = EtnIOConnState[0].st[0];
    EXPECT_EQ(s.in_bytes, 6);
    EXPECT_EQ(s.out_bytes, 6);
    EtnIOConnState[0].tid = 0x0102;
    uint8_t f[300];
    ASSERT_EQ(EtnIo_BuildFrame(0, 0, 16, f, sizeof f), 25);
    EXPECT_EQ(Bytes(f, f + 25), (Bytes{0x01, 0x02, 0,    0,    0,    0x13, 0xFF, 0x10, 0x01, 0x00, 0,    6,   0x0C,
                                       0x44, 0x33, 0x22, 0x11, 0x88, 0x77, 0x66, 0x55, 0xCC, 0xBB, 0xAA, 0x99}));
    ASSERT_EQ(EtnIo_BuildFrame(0, 0, 2, f, sizeof f), 12);
    EXPECT_EQ(Bytes(f, f + 12), (Bytes{0x01, 0x02, 0, 0, 0, 6, 0xFF, 0x02, 0, 0, 0, 0x30}));
    // Room for exactly the frame is room enough.
    EXPECT_EQ(EtnIo_BuildFrame(0, 0, 16, f, 25), 25);
    EXPECT_EQ(EtnIo_BuildFrame(0, 0, 15, f, 19), 19);
    EXPECT_EQ(EtnIo_BuildFrame(0, 0, 2, f, 12), 12);
    EXPECT_EQ(EtnIo_BuildFrame(0, 0, 3, f, sizeof f), ETNIO_BAD_FC);
    // Answers: inputs into %I and %R; a transaction not asked for is dropped.
    EtnIOConnState[0].tid_fc = {0x0102, 0xFFFF, 0xFFFF};
    EtnIOConnState[0].st[0].last_fc = 2;
    const Bytes ans = {0x01, 0x02, 0, 0, 0, 9, 0xFF, 0x02, 6, 0x3C, 0x81, 0x78, 0x56, 0x21, 0x43};
    Bytes other = ans;
    other[1] = 0x03;
    EXPECT_EQ(EtnIoModTcpRxPacket(0, 0, other.data(), uint32_t(other.size())), 0);
    const Bytes other_exc = {0x01, 0x03, 0, 0, 0, 3, 0xFF, 0x82, 2};
    EXPECT_EQ(EtnIoModTcpRxPacket(0, 0, other_exc.data(), uint32_t(other_exc.size())), ETNIO_EXCEPTION);
    EXPECT_EQ(Word(110), 0);
    // The header and a function code alone are no answer, not even an exception.
    const Bytes bare_exc = {0x01, 0x02, 0, 0, 0, 2, 0xFF, 0x82};
    EXPECT_EQ(EtnIoModTcpRxPacket(0, 0, bare_exc.data(), uint32_t(bare_exc.size())), 0);
    Bytes shortans(ans.begin(), ans.end() - 1);  // one input byte missing
    EXPECT_EQ(EtnIoModTcpRxPacket(0, 0, shortans.data(), uint32_t(shortans.size())), ETNIO_OTHER_FC);
    Bytes fewer = ans;
    fewer[8] = 5;  // byte count below the input count
    EXPECT_EQ(EtnIoModTcpRxPacket(0, 0, fewer.data(), uint32_t(fewer.size())), ETNIO_OTHER_FC);
    EXPECT_EQ(Word(110), 0);
    EXPECT_EQ(EtnIoModTcpRxPacket(0, 0, ans.data(), uint32_t(ans.size())), 1);
    // %I3-%I6, %I9, %I16 on
    EXPECT_EQ(plc_reg[(I1 - 1024) / 8], 0x3C);
    EXPECT_EQ(plc_reg[(I1 - 1024) / 8 + 1], 0x81);
    EXPECT_EQ(Word(110), 0x5678);
    EXPECT_EQ(Word(111), 0x4321);
    const Bytes exc = {0x01, 0x02, 0, 0, 0, 3, 0xFF, 0x82, 2};
    EXPECT_EQ(EtnIoModTcpRxPacket(0, 0, exc.data(), uint32_t(exc.size())), ETNIO_EXCEPTION);
    // An answer goes by its own function code: a write's (15, 16) needs
    // nothing more, even one that comes while inputs are awaited (a late
    // answer); another code is refused.
    const Bytes wrongfc = {0x01, 0x02, 0, 0, 0, 6, 0xFF, 0x03, 0, 0, 0, 0x30};
    EXPECT_EQ(EtnIoModTcpRxPacket(0, 0, wrongfc.data(), uint32_t(wrongfc.size())), ETNIO_OTHER_FC);
    const Bytes written = {0x01, 0x02, 0, 0, 0, 6, 0xFF, 0x0F, 0, 0, 0, 0x30};
    EXPECT_EQ(EtnIoModTcpRxPacket(0, 0, written.data(), uint32_t(written.size())), 1);
    // Inputs that come while a write's answer is awaited are stored.
    EtnIOConnState[0].st[0].last_fc = 15;
    Bytes late = ans;
    late[9] = 0x5A;
    EXPECT_EQ(EtnIoModTcpRxPacket(0, 0, late.data(), uint32_t(late.size())), 1);
    EXPECT_EQ(plc_reg[(I1 - 1024) / 8], 0x5A);
    // Refusals: 17 stations apply nothing; a kind 17 module ends the list.
    EXPECT_EQ(EtnIo_Parse(0, Record({{2, 0}}, 17).data(), ETNIO_CFG_BYTES), -1);
    Bytes nomagic = Record({{2, 0}});
    nomagic[0] = 0;
    EXPECT_EQ(EtnIo_Parse(0, nomagic.data(), ETNIO_CFG_BYTES), -1);
    EXPECT_EQ(EtnIo_Parse(0, Record({{2, 0}, {17, 0}, {6, 0}}).data(), ETNIO_CFG_BYTES), 1);
    EXPECT_EQ(EtnIOConnState[0].st[0].modules, 1);
    // ... and the configuration: the stations after that one are not taken.
    EXPECT_EQ(EtnIo_Parse(0, Record({{2, 0}, {17, 0}, {6, 0}}, 3).data(), ETNIO_CFG_BYTES), 1);
    EXPECT_EQ(EtnIOConnState[0].count, 1);
    EXPECT_EQ(EtnIo_Parse(0, Record({{2, 0}, {0, 0}}, 3).data(), ETNIO_CFG_BYTES), 1);
    EXPECT_EQ(EtnIOConnState[0].count, 1);
    EXPECT_EQ(EtnIo_Parse(0, Record({{2, 0}, {16, 0}}, 3).data(), ETNIO_CFG_BYTES), 3);
    EXPECT_EQ(EtnIOConnState[0].count, 3);
    EXPECT_EQ(EtnIo_Parse(0, Record({{2, 0}}, 2).data(), 16 + 192), -1);      // the second station lies past the record
    EXPECT_EQ(EtnIo_Parse(0, Record({{2, 0}}, 2).data(), 16 + 384 - 1), -1);  // one byte short of it
    EXPECT_EQ(EtnIo_Parse(0, Record({{2, 0}}, 2).data(), 16 + 384), 2);
    EXPECT_EQ(EtnIo_Parse(0, Record({{2, 0}}, 16).data(), ETNIO_CFG_BYTES), 16);
    EXPECT_EQ(EtnIo_Parse(0, Record({}, 0).data(), 16), 0);  // the header alone: no station

    // IEC variables as the areas, while the application's variables are
    // enumerated: discrete inputs into a BOOL array from element 5, a byte
    // per bit; analog inputs into an INT array from element 2; each module
    // moves its area on by elements, not bits.
    static uint8_t bools[64], ints[64];
    auto *saved = PlcReg_IecLocate;
    PlcReg_IecLocate = [](uint32_t h, uint32_t) -> uint8_t * {
        return ((h >> 26) & 7) == 6 ? &bools[h & 0x1F] : &ints[2 * (h & 0x1F)];
    };
    DrevanoRuntime = drevano_variables_enumerateded = 1;
    Bytes iec = Record({{1, 0}, {2, 0}, {14, 0}});
    LE_Put32(&iec[16 + 40], 0xD8000005);  // BOOL array, element 5
    LE_Put32(&iec[16 + 32], 0xC4000002);  // INT array, element 2
    ASSERT_EQ(EtnIo_Parse(0, iec.data(), ETNIO_CFG_BYTES), 1);
    EtnIOConnState[0].tid_fc = {0x0203, 0xFFFF, 0xFFFF};
    EtnIOConnState[0].st[0].last_fc = 2;
    const Bytes iec_ans = {0x02, 0x03, 0, 0, 0, 10, 0xFF, 0x02, 7, 0xA5, 0x3C, 0x81, 0x78, 0x56, 0x21, 0x43};
    EXPECT_EQ(EtnIoModTcpRxPacket(0, 0, iec_ans.data(), uint32_t(iec_ans.size())), 1);
    // 0xA5 into elements 5..12; 0x3C 0x81 into 21..36 (kind 1 takes 16 bits).
    const uint8_t first[8] = {1, 0, 1, 0, 0, 1, 0, 1};
    for (int i = 0; i < 8; i++) EXPECT_EQ(bools[5 + i], first[i]) << i;
    const uint8_t second[11] = {0, 0, 1, 1, 1, 1, 0, 0, 1, 0, 0};
    for (int i = 0; i < 11; i++) EXPECT_EQ(bools[21 + i], second[i]) << i;
    EXPECT_EQ(LE_Get16(&ints[4]), 0x5678);
    EXPECT_EQ(LE_Get16(&ints[6]), 0x4321);

    // Variables of 32-bit elements (DWORD, DINT): the modules' 16-bit steps
    // lie inside the elements, little-endian, as in the registers. Inputs:
    // 32 DI (kind 3) and 16 DI (kind 1, one byte) into a DWORD array from
    // element 1, analog words of kinds 11 and 14 into a DINT array from
    // element 16; outputs: 32 DQ (kind 4) from a DWORD array at element 32,
    // kind 14's two analog words from a DINT array at element 48.
    static uint8_t wide[4 * 64];
    std::fill(std::begin(wide), std::end(wide), uint8_t(0xEE));
    PlcReg_IecLocate = [](uint32_t h, uint32_t) -> uint8_t * { return &wide[4 * (h & 0x3F)]; };
    Bytes dw = Record({{3, 0}, {1, 0}, {11, 0}, {4, 0}, {14, 0}});
    LE_Put32(&dw[16 + 40], 0xC8000001);
    LE_Put32(&dw[16 + 32], 0xC8000010);
    LE_Put32(&dw[16 + 44], 0xC8000020);
    LE_Put32(&dw[16 + 36], 0xC8000030);
    ASSERT_EQ(EtnIo_Parse(0, dw.data(), ETNIO_CFG_BYTES), 1);
    EtnIOConnState[0].tid_fc = {0x0304, 0xFFFF, 0xFFFF};
    EtnIOConnState[0].st[0].last_fc = 2;
    const Bytes dw_ans = {0x03, 0x04, 0,    0,    0,    20,   0xFF, 0x02, 17,   0x11, 0x22, 0x33, 0x44,
                          0x55, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C};
    EXPECT_EQ(EtnIoModTcpRxPacket(0, 0, dw_ans.data(), uint32_t(dw_ans.size())), 1);
    EXPECT_EQ(LE_Get32(&wide[4 * 1]), 0x44332211u);
    EXPECT_EQ(LE_Get32(&wide[4 * 2]), 0xEEEEEE55u) << "kind 1 fills one byte of its 16 bits";
    EXPECT_EQ(LE_Get32(&wide[4 * 16]), 0x04030201u);
    EXPECT_EQ(LE_Get32(&wide[4 * 17]), 0x08070605u);
    EXPECT_EQ(LE_Get32(&wide[4 * 18]), 0x0C0B0A09u);
    EXPECT_EQ(LE_Get32(&wide[4 * 19]), 0xEEEEEEEEu);
    LE_Put32(&wide[4 * 32], 0xA1B2C3D4);
    LE_Put32(&wide[4 * 48], 0x12345678);
    // One step of the station while stopped, at its choice of what to send:
    // the outputs changed, so they are collected and sent.
    static NX_IP ip{};
    EtnIoConnState &c = EtnIOConnState[0];
    if (Dpr_Map_Ptr != nullptr) LE_Put16(Dpr_Map_Ptr + DPR_RUN, 0);
    c.ip = &ip;
    c.last_run = 0;
    c.st[0].flags = 0;
    c.st[0].state = EtnIoState::kChoose;
    EtnIo_Scan(0);
    c.ip = nullptr;
    ASSERT_EQ(c.st[0].state, EtnIoState::kSendOutputs);
    c.tid = 0x0405;
    ASSERT_EQ(EtnIo_BuildFrame(0, 0, 15, f, sizeof f), 21);
    EXPECT_EQ(Bytes(f + 13, f + 21), (Bytes{0xD4, 0xC3, 0xB2, 0xA1, 0x78, 0x56, 0x34, 0x12}));
    DrevanoRuntime = drevano_variables_enumerateded = 0;
    PlcReg_IecLocate = saved;
}

// A new record with fewer stations (or one refused, which applies none):
// at the stop the stations it no longer has are disconnected with the
// others, not left open and counted.
TEST(RemoteIo, StationsBeyondANewRecordAreDisconnected) {
    plc_reg.fill(0);
    static NX_IP ip{};
    EtnIoConnState &c = EtnIOConnState[0];
    if (Dpr_Map_Ptr != nullptr) LE_Put16(Dpr_Map_Ptr + DPR_RUN, 0);
    for (const uint16_t now : {uint16_t(1), uint16_t(17)}) {
        SCOPED_TRACE(now);
        ASSERT_EQ(EtnIo_Parse(0, Record({{2, 0}}, 3).data(), ETNIO_CFG_BYTES), 3);
        for (uint32_t k = 0; k < 3; k++) {
            c.st[k].flags |= EIO_CONNECTED | EIO_BOUND;
            c.st[k].state = EtnIoState::kChoose;
        }
        c.last_run = 0;
        ASSERT_EQ(EtnIo_Conn_Cnt(0), 3u);
        // 17 stations are refused: no station applies.
        if (EtnIo_Parse(0, Record({{2, 0}}, now).data(), ETNIO_CFG_BYTES) < 0) c.count = 0;
        c.ip = &ip;
        for (int i = 0; i < 3; i++) EtnIo_Scan(0);
        c.ip = nullptr;
        EXPECT_EQ(EtnIo_Conn_Cnt(0), 0u);
        for (uint32_t k = 0; k < 3; k++) {
            EXPECT_EQ(c.st[k].flags & (EIO_CONNECTED | EIO_BOUND), 0) << k;
            EXPECT_EQ(c.st[k].state, EtnIoState::kIdle) << k;
        }
        for (auto &st : c.st) st.flags &= uint8_t(~(EIO_CONNECTED | EIO_BOUND));
    }
}

// A station's cycle over a connected stream: its record applied from the I/O
// configuration while running, its modules' configuration, its outputs (it
// has no inputs) sent when they change and again every 3 s, and an answer
// later than 2 s shown as -204 with every output sent again.
TEST(RemoteIo, StationCycleRefreshAndAnswerTimeOut) {
    test_support::FakeClock clock;
    plc_reg.fill(0);
    // One module of kind 5: one output byte from %Q1.
    const Bytes rec = Record({{5, 0x01020304}});
    io_config_bl.fill(0);
    Bytes block = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0xCF, uint8_t(rec.size()), uint8_t(rec.size() >> 8)};
    block.insert(block.end(), rec.begin(), rec.end());
    std::copy(block.begin(), block.end(), io_config_bl.begin() + MF_HDR);
    MF_SetHeader(io_config_bl.data(), 0, uint32_t(block.size()));
    static std::array<uint8_t, 64> dpr{};
    uint8_t *saved_map = Dpr_Map_Ptr;
    Dpr_Map_Ptr = dpr.data();
    LE_Put16(&dpr[DPR_RUN], 1);
    static NX_PACKET_POOL pool;
    static std::array<uint8_t, 8 * (NX_PACKET_HEADER + 1520)> mem alignas(16);
    ASSERT_EQ(_nx_packet_pool_create(&pool, "Packet Pool", 1520, mem.data(), uint32_t(mem.size())), NX_SUCCESS);
    static NX_IP ip{};
    ip.nx_ip_default_packet_pool = &pool;
    ip.nx_ip_link_up = 1;
    EtnIoConnState &c = EtnIOConnState[0];
    c.ip = &ip;
    c.pool = &pool;
    c.config = nullptr;
    c.count = 0;
    c.tid = 0x0100;
    // The station's socket: one end of a connected stream, the station the other.
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    EtnIoStation &s = c.st[0];
    s.socket.fd = sv[0];
    s.socket.client = 1;
    s.socket.bound = 1;
    s.socket.writable = 1;
    s.socket.state = NX_TCP_ESTABLISHED;
    s.socket.ip = &ip;
    s.flags = EIO_USED | EIO_BOUND | EIO_CONNECTED;
    auto sent = [&] {
        uint8_t b[64];
        const ssize_t n = recv(sv[1], b, sizeof b, MSG_DONTWAIT);
        return n > 0 ? Bytes(b, b + n) : Bytes{};
    };
    auto answer = [&](const Bytes &a) { ASSERT_EQ(send(sv[1], a.data(), a.size(), 0), ssize_t(a.size())); };
    // %Q1-%Q8: 0xA5.
    plc_reg[(Q1 - 1024) / 8] = 0xA5;
    // The record is applied, the station restarts and finds itself connected.
    EtnIo_Scan(0);
    EXPECT_EQ(c.count, 1);
    EtnIo_Scan(0);
    EXPECT_EQ(s.state, EtnIoState::kSendConfig);
    EtnIo_Scan(0);
    EXPECT_EQ(sent(), (Bytes{0x01, 0x00, 0, 0, 0, 11, 0xFF, 0x10, 0x01, 0x00, 0, 2, 4, 0x04, 0x03, 0x02, 0x01}));
    answer({0x01, 0x00, 0, 0, 0, 6, 0xFF, 0x10, 0x01, 0x00, 0, 2});
    EtnIo_Scan(0);
    EXPECT_EQ(s.state, EtnIoState::kChoose);
    EXPECT_EQ(Word(100), 0);
    // The outputs: 8 coils from 0, one byte.
    EtnIo_Scan(0);
    EtnIo_Scan(0);
    EXPECT_EQ(sent(), (Bytes{0x01, 0x01, 0, 0, 0, 8, 0xFF, 0x0F, 0, 0, 0, 8, 1, 0xA5}));
    answer({0x01, 0x01, 0, 0, 0, 6, 0xFF, 0x0F, 0, 0, 0, 8});
    EtnIo_Scan(0);
    // Unchanged outputs wait 3 s from the last request, then go again.
    test_support::FakeClock::AdvanceMs(2999);
    EtnIo_Scan(0);
    EtnIo_Scan(0);
    EXPECT_EQ(sent(), Bytes{});
    test_support::FakeClock::AdvanceMs(1);
    EtnIo_Scan(0);
    EtnIo_Scan(0);
    EXPECT_EQ(sent(), (Bytes{0x01, 0x02, 0, 0, 0, 8, 0xFF, 0x0F, 0, 0, 0, 8, 1, 0xA5}));
    // No answer for 2 s: still waiting; a moment more: -204, all sent again.
    test_support::FakeClock::AdvanceMs(2000);
    EtnIo_Scan(0);
    EXPECT_EQ(s.state, EtnIoState::kAnswer);
    test_support::FakeClock::AdvanceMs(1);
    EtnIo_Scan(0);
    EXPECT_EQ(Word(100), uint16_t(-204));
    EtnIo_Scan(0);
    EtnIo_Scan(0);
    EXPECT_EQ(sent(), (Bytes{0x01, 0x03, 0, 0, 0, 8, 0xFF, 0x0F, 0, 0, 0, 8, 1, 0xA5}));
    EXPECT_EQ(EtnIo_Conn_Cnt(0), 1u);
    // The stop disconnects it.
    LE_Put16(&dpr[DPR_RUN], 0);
    EtnIo_Scan(0);
    EtnIo_Scan(0);
    EXPECT_EQ(EtnIo_Conn_Cnt(0), 0u);
    EXPECT_EQ(s.state, EtnIoState::kIdle);
    EXPECT_EQ(Word(100), uint16_t(-204));
    // Idle, not started, stopped: status 0.
    EtnIo_Scan(0);
    EXPECT_EQ(Word(100), 0);
    close(sv[1]);
    _nx_tcp_socket_delete(&s.socket);
    s.flags = 0;
    c.ip = nullptr;
    c.pool = nullptr;
    c.count = 0;
    c.config = nullptr;
    io_config_bl.fill(0);
    Dpr_Map_Ptr = saved_map;
}

TEST(RemoteIo, BootpAnswers) {
    plc_reg.fill(0);
    NX_IP ip{};
    ip.nx_ip_address = 0x0A4D0002;
    ip.nx_ip_network_mask = 0xFFFFFF00;
    BootPConn[0].ip = &ip;
    ASSERT_EQ(EtnIo_Parse(0, Record({{2, 0}}).data(), ETNIO_CFG_BYTES), 1);
    Bytes req(300);
    for (std::size_t i = 0; i < req.size(); i++) req[i] = uint8_t(i * 7);
    req[0] = 1;
    const uint8_t mac[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    std::copy(mac, mac + 6, req.begin() + 28);
    Bytes out(300);
    ASSERT_EQ(BootPAnswer(0, req.data(), 300, out.data()), 0);
    Bytes want = req;
    want[0] = 2;
    for (int i = 0; i < 4; i++) want[16 + i] = uint8_t(0x0A4D0003 >> (24 - 8 * i));
    for (int i = 0; i < 4; i++) want[20 + i] = uint8_t(0x0A4D0002 >> (24 - 8 * i));
    want[44] = 'Q';
    want[45] = 'D';
    want[46] = 'R';
    const uint8_t opts[] = {1, 4, 0xFF, 0xFF, 0xFF, 0x00, 0xFF};
    std::copy(opts, opts + 7, want.begin() + 240);
    EXPECT_EQ(out, want);
    EXPECT_EQ(BootPAnswer(0, req.data(), 299, out.data()), -1);  // below 300 bytes
    req[0] = 2;
    EXPECT_EQ(BootPAnswer(0, req.data(), 300, out.data()), -1);  // not a request
    req[0] = 1;
    req[33] ^= 1;
    EXPECT_EQ(BootPAnswer(0, req.data(), 300, out.data()), -1);  // unknown MAC
    // Registration: numbers 1..16, at most one past the count.
    EXPECT_EQ(BootPConfig(mac, 1, 3, 0), 0u);
    EXPECT_EQ(BootPConfig(mac, 1, 17, 0), 0u);
    EXPECT_EQ(BootPConfig(mac, 1, 2, 0), 1u);
    BootPConn[0].ip = nullptr;
}

}  // namespace
