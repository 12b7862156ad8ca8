// CAN port driver: rings through their edges, error frames, identifiers by
// mode, bus load; and the host bus of the CAN seam between real sockets.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "tests/io/test_can_support.h"

using namespace can_test;

namespace {

int events[3];
uint32_t status_in_event2;
void Ev0(uint32_t) { events[0]++; }
void Ev1(uint32_t) { events[1]++; }
void Ev2(uint32_t) {
    events[2]++;
    status_in_event2 = CanPort[0].status;
}

CanPortConfig Cfg(uint8_t rate, uint8_t mode) {
    CanPortConfig c{};
    c[CAN_CFG_RATE] = rate;
    c[CAN_CFG_MODE] = mode;
    return c;
}

class CanDrv : public ::testing::Test {
protected:
    CanFixture fx;
    void SetUp() override {
        events[0] = events[1] = events[2] = 0;
        _Can_Init(0, Cfg(0, 0));
        _Can_SetEvent(0, 0, Ev0);
        _Can_SetEvent(0, 1, Ev1);
        _Can_SetEvent(0, 2, Ev2);
    }
};

TEST_F(CanDrv, ReceiveRingOverflowWrapAndTransmitRingFull) {
    for (uint32_t i = 0; i < 201; i++) Inject(i & 0x7FF, {uint8_t(i)});
    Can_Isr();
    EXPECT_EQ(_Can_CountRx(0), 200u);
    EXPECT_EQ(_Can_Data(0, 0)->counters[2], 1u) << "one frame lost to the full ring";
    EXPECT_EQ(_Can_Status(0), CAN_ST_RXOVR);
    EXPECT_EQ(events[2], 1);
    EXPECT_EQ(events[0], 1) << "one call per pass that stored frames";
    // Read 150, then 50 more arrive: the write index wraps from 199 to 0.
    for (int i = 0; i < 150; i++) {
        ASSERT_NE(_Can_GetRx(0), nullptr);
        EXPECT_EQ(_Can_GetRx(0)->data[0], uint8_t(i));
        _Can_NextRx(0);
    }
    for (uint32_t i = 0; i < 160; i++) Inject(0x100, {uint8_t(i)});
    Can_Isr();
    EXPECT_EQ(_Can_Status(0), CAN_ST_RXOVR) << "10 of 160 lost; the last frame was lost";
    EXPECT_EQ(CanPort[0].rx.in, 150u);
    for (int i = 0; i < 50; i++) _Can_NextRx(0);
    EXPECT_EQ(_Can_GetRx(0)->data[0], 0) << "the frames stored after the wrap, in order";
    Inject(0x100, {1});
    Can_Isr();
    EXPECT_EQ(_Can_Status(0), 0u) << "the next frame stored clears the flag";
    _Can_FlushRx(0);
    EXPECT_EQ(_Can_CheckRx(0), 0u);

    // Transmit: 200 slots, then none; a socket that takes one frees one.
    TheBus().write_room = 0;
    for (uint32_t i = 0; i < 200; i++) {
        CanMsg *m = _Can_NextTx(0);
        ASSERT_NE(m, nullptr);
        m->id = i;
        m->len = 1;
        m->rtr = 0;
        m->data[0] = uint8_t(i);
        _Can_PutTx(0, m);
    }
    EXPECT_EQ(_Can_NextTx(0), nullptr);
    EXPECT_EQ(_Can_CheckTx(0), 0u);
    Can_Isr();
    EXPECT_EQ(_Can_CountTx(0), 200u) << "a refused write leaves the message queued";
    TheBus().write_room = 1;
    Can_Isr();
    EXPECT_EQ(_Can_CountTx(0), 199u);
    ASSERT_NE(_Can_NextTx(0), nullptr);
    EXPECT_EQ(CanPort[0].tx.in, 0u) << "the write index wrapped to 0";
    TheBus().write_room = 1000;
    Can_Isr();
    ASSERT_EQ(TheBus().out.size(), 200u);
    EXPECT_EQ(TheBus().out[199].id, 199u);
    EXPECT_EQ(events[1], 200);
}

TEST_F(CanDrv, IdentifiersLengthsRemoteAndErrorFrames) {
    // 11-bit port: an extended frame is dropped (it would alias 0x67F), a
    // length of 15 reads 8 bytes, the remote flag is kept.
    Inject(0x1A00067Fu | PLAT_CAN_EFF, {1});
    Inject(0x123 | PLAT_CAN_RTR, {}, 1);
    Inject(0x124, {1, 2, 3, 4, 5, 6, 7, 8}, 15);
    Can_Isr();
    ASSERT_EQ(_Can_CountRx(0), 2u);
    EXPECT_EQ(_Can_GetRx(0)->id, 0x123u);
    EXPECT_EQ(_Can_GetRx(0)->rtr, 1);
    _Can_NextRx(0);
    EXPECT_EQ(_Can_GetRx(0)->len, 8);
    _Can_FlushRx(0);
    // Mode 5: 29 bits both ways, the extended flag on transmit.
    _Can_Init(0, Cfg(0, 5));
    Inject(0x1A00067Fu | PLAT_CAN_EFF, {1});
    Can_Isr();
    EXPECT_EQ(_Can_GetRx(0)->id, 0x1A00067Fu);
    CanMsg *m = _Can_NextTx(0);
    *m = CanMsg{2, 1, 0x1ABCDEF0, {9, 8}};
    _Can_PutTx(0, m);
    Can_Isr();
    ASSERT_EQ(TheBus().out.size(), 1u);
    EXPECT_EQ(TheBus().out[0].id, 0x1ABCDEF0u | PLAT_CAN_EFF | PLAT_CAN_RTR);
    EXPECT_EQ(TheBus().out[0].len, 2);
    _Can_Init(0, Cfg(0, 0));
    EXPECT_EQ(_Can_GetEvent(0, 2), &Ev2) << "callbacks survive a reopen";
    // A software filter keeps the identifiers it answers 1 for; none again
    // keeps every frame.
    _Can_SetSWFilter(0, [](uint32_t id) -> uint32_t { return id & 1; });
    Inject(0x200, {1});
    Inject(0x201, {2});
    Can_Isr();
    ASSERT_EQ(_Can_CountRx(0), 1u);
    EXPECT_EQ(_Can_GetRx(0)->id, 0x201u);
    _Can_FlushRx(0);
    _Can_SetSWFilter(0, nullptr);
    Inject(0x200, {1});
    Can_Isr();
    EXPECT_EQ(_Can_CountRx(0), 1u);
    _Can_FlushRx(0);

    // Bus-off: bit 128 while event 2 runs, then cleared; the CAN node still
    // sees it once; controller problems count warn and overflow.
    Inject(PLAT_CAN_ERR | 0x40, {0, 0});
    Inject(PLAT_CAN_ERR | 0x04, {0, 0x01 | 0x04 | 0x08});
    Can_Isr();
    EXPECT_EQ(events[2], 2);
    EXPECT_EQ(status_in_event2, uint32_t(CAN_ST_CTRLOVR | CAN_ST_RXWARN | CAN_ST_TXWARN));
    EXPECT_EQ(_Can_Status(0), 0u);
    EXPECT_EQ(_Can_StatusTake(0), uint32_t(CAN_ST_BUSOFF | CAN_ST_CTRLOVR | CAN_ST_RXWARN | CAN_ST_TXWARN));
    EXPECT_EQ(_Can_StatusTake(0), 0u);
    const CanStats *s = _Can_Data(0, 1);
    EXPECT_EQ(s->counters[5], 1u);
    EXPECT_EQ(s->counters[0], 1u);
    EXPECT_EQ(s->counters[1], 1u);
    EXPECT_EQ(s->counters[3], 1u);
    EXPECT_EQ(_Can_Data(0, 0)->counters[5], 0u) << "cleared after the copy";
    CanPort[0].counters[5] = 65535;
    Inject(PLAT_CAN_ERR | 0x40, {0, 0});
    Can_Isr();
    EXPECT_EQ(_Can_Data(0, 0)->counters[5], 65535u) << "counters stop at 65535";

    // Each warning or passive bit of a controller problem alone: 0x04 and
    // 0x10 are the receive side (status 8), 0x08 and 0x20 the transmit side (4).
    const std::pair<uint8_t, uint32_t> bits[] = {
        {0x04, CAN_ST_RXWARN}, {0x10, CAN_ST_RXWARN}, {0x08, CAN_ST_TXWARN}, {0x20, CAN_ST_TXWARN}};
    for (const auto &[bit, status] : bits) {
        _Can_StatusTake(0);
        CanPort[0].counters = {};
        Inject(PLAT_CAN_ERR | 0x04, {0, bit});
        Can_Isr();
        EXPECT_EQ(status_in_event2, status) << int(bit);
        EXPECT_EQ(_Can_StatusTake(0), status) << int(bit);
        EXPECT_EQ(_Can_Data(0, 0)->counters[0], status == CAN_ST_TXWARN ? 1u : 0u) << int(bit);
        EXPECT_EQ(_Can_Data(0, 0)->counters[1], status == CAN_ST_RXWARN ? 1u : 0u) << int(bit);
    }
}

TEST_F(CanDrv, BusLoadByRateAndIdleDecay) {
    _Can_Init(0, Cfg(4, 0));  // 50 kbit/s
    Inject(0x100, {0});       // opens the window
    Can_Isr();
    // 50 frames of 8 bytes (116 bits each) over one second at 50 bits/ms
    for (int i = 0; i < 50; i++) Inject(0x100, {1, 2, 3, 4, 5, 6, 7, 8});
    Can_Isr();
    test_support::FakeClock::AdvanceMs(1000);
    Inject(0x100, {});
    Can_Isr();
    EXPECT_EQ(_Can_Data(0, 0)->rx_load, uint16_t(1000ull * (50 * 116 + 52) / (50 * 1000)));
    EXPECT_EQ(_Can_Data(0, 0)->tx_load, 0u);
    test_support::FakeClock::AdvanceMs(1000);
    EXPECT_EQ(_Can_Data(0, 0)->rx_load, 0u) << "an idle bus reads as load 0";

    // Extended frames on an 11-bit port are not taken, but they held the bus:
    // 25 of 8 bytes count 52 + 64 = 116 bits each, as the 25 standard ones.
    _Can_FlushRx(0);
    Inject(0x100, {});  // the window of the last second closes here: 52 bits
    Can_Isr();
    for (int i = 0; i < 25; i++) {
        Inject(0x1A00067Fu | PLAT_CAN_EFF, {1, 2, 3, 4, 5, 6, 7, 8});
        Inject(0x101, {1, 2, 3, 4, 5, 6, 7, 8});
    }
    Can_Isr();
    EXPECT_EQ(_Can_CountRx(0), 26u) << "the extended frames are not stored";
    test_support::FakeClock::AdvanceMs(1000);
    Inject(0x100, {});
    Can_Isr();
    EXPECT_EQ(_Can_Data(0, 0)->rx_load, uint16_t(1000ull * (50 * 116 + 52) / (50 * 1000)));
}

// The host bus between endpoints of a temporary root: delivery to every
// other socket, never to the sender, never twice, no wait for a full peer,
// and a gone peer's name removed.
// A socket open that fails at the step named by fail_step.
int fail_step;
int FailingOpen(const char *) {
    plat_can_open_step = fail_step;
    errno = EACCES;
    return -1;
}

TEST_F(CanDrv, OpenFailuresArePrintedWithTheNameOfTheFailedCall) {
    const PlatCanOps failing = {FailingOpen,
                                FakeRead,
                                FakeWrite,
                                test_support::CanStubErrMask,
                                test_support::CanStubSndBuf,
                                test_support::CanStubClose,
                                nullptr};
    plat_can = &failing;
    const std::pair<int, std::string> steps[] = {{PLAT_CAN_STEP_SOCKET, "socket: "},
                                                 {PLAT_CAN_STEP_FCNTL, "fcntl: "},
                                                 {PLAT_CAN_STEP_INTERFACE, "bind: "},
                                                 {PLAT_CAN_STEP_BIND, "bind: "}};
    for (const auto &[step, text] : steps) {
        fail_step = step;
        ::testing::internal::CaptureStderr();
        _Can_Init(0, Cfg(0, 0));
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(text + "Permission denied\n"), std::string::npos) << step << ": " << err;
        std::size_t names = 0;
        for (const char *name : {"socket: ", "fcntl: ", "bind: "}) {
            for (std::size_t at = err.find(name); at != std::string::npos; at = err.find(name, at + 1)) names++;
        }
        EXPECT_EQ(names, 1u) << step << ": " << err;
        EXPECT_EQ(CanPort[0].open, 1) << "the initialisation goes on";
    }
    plat_can = &kFakeCan;
}

TEST(CanHostBus, DeliveryGonePeerAndFullPeer) {
    test_support::TempRoot root;
    const PlatCanOps *saved = plat_can;
    plat_can = &plat_can_host;
    const int a = PLAT_CanOpen("can0");
    const int b = PLAT_CanOpen("can0");
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    // a stale socket file nobody listens on
    const std::string stale = root / "sim/can/can0/stale";
    {
        const int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        std::snprintf(sa.sun_path, sizeof sa.sun_path, "%s", stale.c_str());
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
        close(fd);
    }
    uint8_t f[16] = {};
    LE_Put32(f, 0x181);
    f[4] = 2;
    f[8] = 0x11;
    EXPECT_EQ(PLAT_CanWrite(a, f), 16);
    uint8_t r[16];
    ASSERT_EQ(PLAT_CanRead(b, r), 16);
    EXPECT_EQ(LE_Get32(r), 0x181u);
    EXPECT_EQ(r[8], 0x11);
    EXPECT_EQ(PLAT_CanRead(b, r), -1) << "sent once";
    EXPECT_EQ(PLAT_CanRead(a, r), -1) << "never back to the sender";
    // b stops reading: its queue fills, a goes on without waiting (a write
    // that waited for b would never return; the bound only keeps the test
    // from hanging, far above what 500 writes take under any load)
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 500; i++) {
        f[8] = uint8_t(i);
        EXPECT_EQ(PLAT_CanWrite(a, f), 16);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
    int got = 0, last = -1;
    while (PLAT_CanRead(b, r) == 16) {
        EXPECT_GT(int(r[8]), last) << "in order, no repeats";
        last = r[8];
        got++;
    }
    EXPECT_GT(got, 0);
    EXPECT_LT(got, 500) << "a full peer loses frames";
    // a datagram that is not a frame is skipped
    {
        const int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
        for (const auto &e : std::filesystem::directory_iterator(root / "sim/can/can0")) {
            if (e.path().filename().string().rfind("plc-", 0) != 0) continue;
            sockaddr_un sa{};
            sa.sun_family = AF_UNIX;
            std::snprintf(sa.sun_path, sizeof sa.sun_path, "%s", e.path().c_str());
            const uint8_t junk[5] = {1, 2, 3, 4, 5};
            sendto(fd, junk, sizeof junk, 0, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
            sendto(fd, f, 16, 0, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
        }
        close(fd);
    }
    EXPECT_EQ(PLAT_CanRead(b, r), 16);
    PLAT_CanClose(a);
    PLAT_CanClose(b);
    // The stale name was found refused and removed, so it never takes a live peer's place.
    EXPECT_EQ(access((root / "sim/can/can0/stale").c_str(), F_OK), -1);
    EXPECT_EQ(errno, ENOENT);
    plat_can = saved;
}

}  // namespace
