// Main loop: nested passes of waiting routines, the web HMI step and its
// pass counter, the service-script pipe, the status bits, the fatal-signal
// cause lines.
#include <gtest/gtest.h>

#include <array>
#include <sys/stat.h>
#include <dirent.h>
#include <map>
#include <string>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sched.h>
#include <functional>
#include <vector>
#include <semaphore.h>
#include <unistd.h>

#include "cmd/cmd.h"
#include "exec/exception.h"
#include "exec/mainloop.h"
#include "exec/plcmode.h"
#include "core/image/iecrt.h"
#include "core/image/plcreg.h"
#include "core/storage/memfile.h"
#include "media/cfm.h"
#include "net/net.h"
#include "test_exec_support.h"
#include "core/image/passwork.h"
#include "core/image/timebase.h"
#include "io/candrv.h"
#include "net/enet.h"
#include "platform/plat.h"
#include "platform/plat_can.h"
#include "platform/plat_net.h"
#include "platform/plat_poll.h"
#include "protocols/qncan.h"
#include "protocols/srtp.h"
#include "tests/support/loop_peer.h"
#include "tests/support/test_port.h"
#include "webhmi/weblife.h"

namespace {

int runs;
int max_depth;
// An application that waits inside a nested pass, like a routine that
// waits for an answer.
int32_t WaitingEngine() {
    runs++;
    if (SubLoop_Depth > max_depth) max_depth = SubLoop_Depth;
    ExecuteSubLoop_Wait();
    return -1;
}

class ExecLoop : public ::testing::Test {
protected:
    void SetUp() override {
        exec_test::Root();
        setenv("PLC_RESET", "exit", 1);
        plc_reg.fill(0);
        saved = Plc_Engine;
        runs = 0;
        max_depth = 0;
    }
    void TearDown() override {
        Plc_Engine = saved;
        PlcWordSet(W_MODE, 0);
    }
    int32_t (*saved)();
};

TEST_F(ExecLoop, NestedPassesAreBounded) {
    Plc_Engine = WaitingEngine;
    PlcWordSet(W_MODE, 2);
    ExecuteSubLoop_Wait();
    // Eight nested passes at most: a waiting routine inside the eighth runs none.
    EXPECT_EQ(runs, 8);
    EXPECT_EQ(max_depth, 8);
    EXPECT_EQ(SubLoop_Depth, 0);
    // With the automatic program load running, the scan is skipped but the
    // pass still runs.
    Sys_AutoLoad = 1;
    runs = 0;
    The_Loop();
    EXPECT_EQ(runs, 0);
    Sys_AutoLoad = 0;
}

TEST_F(ExecLoop, WebStepAfterCountedPasses) {
    sem_init(&demoMutex, 0, 1);
    TavixHttp = 1;
    tavix_start_passes = 0;
    TavixServerState = TavixState::Stopped;
    TavixUpdateNewIp = 1;
    TavixThreadCreated = 0;
    TavixFtping = 0;
    Cmd_Downloading = 1;
    for (int i = 0; i < 300; i++) Main_AfterPass();
    EXPECT_EQ(tavix_start_passes, 0) << "a download keeps the counter";
    EXPECT_EQ(TavixServerState, TavixState::Stopped);
    Cmd_Downloading = 0;
    for (int i = 0; i < 101; i++) Main_AfterPass();
    EXPECT_EQ(TavixServerState, TavixState::Stopped) << "no web step in the first 101 counted passes";
    Main_AfterPass();
    EXPECT_EQ(TavixServerState, TavixState::StartRequested) << "start requested";
    EXPECT_EQ(TavixUpdateNewIp, 0);
    Main_AfterPass();
    EXPECT_EQ(TavixServerState, TavixState::Starting);
    EXPECT_EQ(TavixThreadCreated, 1);
    int v = -1;
    sem_getvalue(&demoMutex, &v);
    EXPECT_EQ(v, 1) << "released, never above one";
    // The web thread is real: once it runs (state 4) a stop request ends it.
    auto until = [](auto done) {
        for (int i = 0; i < 60000 && !done(); i++) {
            Main_AfterPass();  // the web step releases the pass lock the thread takes
            usleep(1000);
        }
        return done();
    };
    ASSERT_TRUE(until([] { return TavixServerState == TavixState::Running; }));
    TavixServerState = TavixState::StopRequested;
    ASSERT_TRUE(until([] { return TavixThreadCreated == 0 && TavixServerState == TavixState::Stopped; })) << "stopped";

    // Without HTTP for the web server the counter stops at its top.
    TavixHttp = 0;
    tavix_start_passes = 0;
    for (int i = 0; i < 1000; i++) Main_AfterPass();
    EXPECT_EQ(tavix_start_passes, 255);
    TavixHttp = 1;
    TavixServerState = TavixState::Running;
    TavixUpdateNewIp = 1;
    Main_AfterPass();
    EXPECT_EQ(TavixServerState, TavixState::StopRequested) << "restart on a new address: stop first";
    // A download of an IEC application with enumerated variables stops the
    // server. With no thread left the request stands: a new address does
    // not move it on (only the card manager's start does).
    TavixUpdateNewIp = 0;
    TavixServerState = TavixState::Running;
    DrevanoRuntime = drevano_variables_enumerateded = 1;
    Cmd_Downloading = 1;
    Main_AfterPass();
    EXPECT_EQ(TavixServerState, TavixState::StopRequested) << "the download stops the server";
    Cmd_Downloading = 0;
    DrevanoRuntime = drevano_variables_enumerateded = 0;
    TavixUpdateNewIp = 1;
    Main_AfterPass();
    EXPECT_EQ(TavixServerState, TavixState::StopRequested) << "no thread answers; a new address leaves it";
    EXPECT_EQ(TavixUpdateNewIp, 1);
    TavixHttp = 0;
    TavixServerState = TavixState::Stopped;
    TavixThreadCreated = 0;
    TavixUpdateNewIp = 0;
}

TEST_F(ExecLoop, ServiceScriptGoneDropsCommands) {
    signal(SIGPIPE, SIG_IGN);  // as the controller does at start-up
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    MasterScriptPipefd = {-1, fds[1]};
    EXPECT_EQ(MasterScript_Send("startall\n"), 1u);
    close(fds[0]);  // the script ended
    EXPECT_EQ(MasterScript_Send("stopall\n"), 0u) << "dropped, the controller goes on";
    close(fds[1]);
    // A script that does not read: the full pipe drops instead of blocking.
    ASSERT_EQ(pipe(fds), 0);
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    MasterScriptPipefd = {-1, fds[1]};
    uint32_t dropped = 0;
    for (int i = 0; i < 20000 && dropped == 0; i++) dropped = MasterScript_Send("start0\n") == 0;
    EXPECT_EQ(dropped, 1u);
    close(fds[0]);
    close(fds[1]);
    MasterScriptPipefd = {-1, -1};
    EXPECT_EQ(MasterScript_Send("x\n"), 0u);
}

namespace {
int rct_fired, tx_fired;
void OnRct(uint32_t, uint32_t, uint32_t) { rct_fired++; }
void OnTx(uint32_t) { tx_fired++; }

// The test's thread in a network namespace of its own with loopback up,
// where the network side takes its real ports without meeting another
// test's (ctest runs tests side by side; root, as for the black-box tests).
// Sockets for eth0 bind to loopback there.
struct PrivateNet {
    int saved = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const PlatNetOps *ops = plat_net;
    bool ok = saved >= 0 && unshare(CLONE_NEWNET) == 0 && std::system("ip link set lo up") == 0;
    PrivateNet() { plat_net = &plat_net_own; }
    ~PrivateNet() {
        plat_net = ops;
        if (saved >= 0 && setns(saved, CLONE_NEWNET) != 0) std::abort();  // never run on in this namespace
        if (saved >= 0) close(saved);
    }
    PrivateNet(const PrivateNet &) = delete;
    PrivateNet &operator=(const PrivateNet &) = delete;
};

// A request of the programming tool's TCP service: header only, command cmd.
std::vector<uint8_t> QncanHeader(uint16_t cmd) {
    std::vector<uint8_t> f(QNCAN_HDR, 0);
    LE_Put16(&f[QH_W6], 0x1234);
    LE_Put16(&f[QH_CMD], cmd);
    return f;
}
// A request of the SRTP server: a short read of %R1 with sequence seq.
std::vector<uint8_t> SrtpRead(uint8_t seq) {
    std::vector<uint8_t> m(SRTP_HDR, 0);
    m[0] = 2;
    m[2] = seq;
    m[9] = 1;
    m[31] = 0xC0;
    m[42] = 4;
    m[43] = 8;
    m[46] = 1;
    return m;
}
}  // namespace

// Each kind of work the pass record marks, alone, in a pass after the
// loop's wait: a CAN frame on the host bus, a receive-character timer due, a
// read waiting for its answer after the scan, a software timer due, a
// request on a connection of the network side. Its step runs in that pass;
// once it is done nothing is left marked and no wake asked for, so the
// loop's next wait is whole.
TEST_F(ExecLoop, EachKindOfWorkRunsItsStepInThePassAndTheNextWaitIsWhole) {
    exec_test::FakeClock clock;
    PrivateNet net;
    ASSERT_TRUE(net.ok);
    PassWork &w = pass_work;
    w.every = 1;
    if (Enet_State == 2) Enet_State = 0;  // an earlier test's start met another's ports: start here
    The_Loop();                           // every step once: the network side starts
    ASSERT_EQ(Enet_State, 1);
    // The two servers a row talks to, on ports of this test.
    Dpr_Configuration[0].enables[0] |= EN0_B0;
    SrtpPortNumber = test_support::TestPort(18900);
    ASSERT_EQ(Srtp_Init(&Enet_IpInstance[0], &EnetPacketPoolCtrl), 0u);
    QncanPort = test_support::TestPort(18970);
    ASSERT_EQ(Qncan_Init(&Enet_IpInstance[0], &EnetPacketPoolCtrl), 0u);
    CanPortConfig can{};
    can[CAN_CFG_RATE] = 2;
    can[CAN_CFG_MODE] = 1;
    _Can_Init(0, can);
    const int bus = PLAT_CanOpen("can0");
    ASSERT_GE(bus, 0);
    ASSERT_EQ(w.can_poll, 0) << "the endpoint reports through the readiness set";
    for (int i = 0; i < 3; i++) The_Loop();
    test_support::LoopPeer srtp(SrtpPortNumber), qncan{uint16_t(QncanPort)};
    ASSERT_TRUE(srtp.connected && qncan.connected);
    for (int i = 0; i < 200 && (Srtp_Conn_Cnt(0) == 0 || Qncan_ConnCnt(0) == 0); i++) {
        The_Loop();
        Main_Wait();
    }
    ASSERT_EQ(Srtp_Conn_Cnt(0) + Qncan_ConnCnt(0), 2u);

    TX_TIMER timer{};
    uint32_t rct = 0;
    struct Row {
        const char *work;
        std::function<void()> arm;  // the work comes, before the loop's wait
        std::function<void()> ran;  // what its step did in the pass
    };
    const Row rows[] = {
        {"a CAN frame",
         [&] {
             uint8_t f[PLAT_CAN_FRAME] = {};
             LE_Put32(f, 0x123);
             f[4] = 2;
             f[8] = 0xA5;
             f[9] = 0x5A;
             ASSERT_EQ(PLAT_CanWrite(bus, f), int(PLAT_CAN_FRAME));
         },
         [&] {
             // Taken off the port's endpoint (the CAN node's receive in the
             // scan may have used it since).
             uint8_t f[PLAT_CAN_FRAME] = {};
             EXPECT_EQ(PLAT_CanRead(CanPort[0].fd, f), -1) << "the frame is still at the endpoint";
         }},
        {"a receive-character timer due",
         [&] {
             rct = RCT_Allocate(OnRct);
             RCT_Set(rct, 3000, 0);  // 30 ticks, once
             RCT_Start(rct);
             exec_test::FakeClock::Advance(31);
         },
         [&] {
             EXPECT_EQ(rct_fired, 1);
             RCT_Release(rct);
         }},
        {"a read waiting after the scan",
         [&] {
             // The network side is held back for this row: only the step
             // after the scan can answer the read the loop's wait takes.
             Enet_State = 2;
             srtp.Send(SrtpRead(7));
             srtp.WaitDelivered();
         },
         [&] {
             const std::vector<uint8_t> a = srtp.Take(20);
             ASSERT_EQ(a.size(), SRTP_HDR);
             EXPECT_EQ((std::array<uint8_t, 4>{a[0], a[2], a[17], a[31]}), (std::array<uint8_t, 4>{3, 7, 1, 0xD4}));
             EXPECT_EQ(w.reads, 0);
             Enet_State = 1;
         }},
        {"a software timer due",
         [&] {
             ASSERT_EQ(_txe_timer_create(&timer, "pass test", OnTx, 0, 5, 0, 1), 0u);
             exec_test::FakeClock::AdvanceMs(6);
         },
         [&] {
             EXPECT_EQ(tx_fired, 1);
             _txe_timer_delete(&timer);
         }},
        {"a request on a connection",
         [&] {
             qncan.Send(QncanHeader(0x80));  // locks the access filter: answered at once
             qncan.WaitDelivered();
         },
         [&] {
             const std::vector<uint8_t> a = qncan.Take(20);
             ASSERT_EQ(a.size(), QNCAN_HDR);
             EXPECT_EQ(LE_Get16(&a[QH_CMD]), 0) << "status";
             EXPECT_EQ(LE_Get16(&a[QH_LEN]), 0);
             EXPECT_EQ(w.net_seen, w.net);
         }},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.work);
        rct_fired = tx_fired = 0;
        // Nothing is pending: a pass changes nothing for the next wait.
        Main_Wait();
        The_Loop();
        ASSERT_FALSE(PLAT_PollKicked());
        row.arm();
        Main_Wait();
        The_Loop();
        row.ran();
        EXPECT_FALSE(PLAT_PollKicked()) << "the next wait ends at once";
        EXPECT_EQ(RCT_WaitUs(MAIN_PASS_WAIT_US), MAIN_PASS_WAIT_US);
        EXPECT_EQ(w.can_seen, w.can_rx);
        EXPECT_EQ(w.rct, 0);
        EXPECT_EQ(w.tx_armed, 0);
    }
    PLAT_CanClose(bus);
}

// Bytes written to the configuration flash's folder since the last call:
// the size of each file there that is new or another file (inode) or was
// modified since it was last seen.
struct SeenFile {
    ino_t ino;
    off_t size;
    int64_t mtime_ns;
};
uint64_t CfgBytesWritten(std::map<std::string, SeenFile> &seen) {
    char dir[512];
    if (PLAT_Path("/mnt/cfg", dir, sizeof dir) == nullptr) return ~0ull;
    DIR *d = opendir(dir);
    if (d == nullptr) return ~0ull;
    uint64_t n = 0;
    while (const dirent *e = readdir(d)) {
        struct stat st {};
        const std::string path = std::string(dir) + "/" + e->d_name;
        if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        const SeenFile now{st.st_ino, st.st_size, int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
        auto it = seen.find(e->d_name);
        if (it == seen.end() || it->second.ino != now.ino || it->second.size != now.size ||
            it->second.mtime_ns != now.mtime_ns)
            n += uint64_t(now.size);
        seen[e->d_name] = now;
    }
    closedir(d);
    return n;
}

// A quiet controller for one hour of its clock, pass after pass 100 ms
// apart: the register auto-save is due every 500 ms, yet the image
// (109,176 bytes) is written once, at the first save after the start, and
// never again: the clock records and clock bits moving on are no change.
// Counted: the bytes of every file of the configuration folder written in a
// pass (the folder is looked at after each pass). Before the write-only-on-
// change save this hour wrote 7,200 images, 786 MB.
TEST_F(ExecLoop, AQuietHourWritesTheRegisterImageOnce) {
    exec_test::FakeClock clock;
    ASSERT_EQ(CrtAutoSaveRegFile(), 1u);
    std::map<std::string, SeenFile> seen;
    ASSERT_NE(CfgBytesWritten(seen), ~0ull);
    pass_work.every = 1;
    The_Loop();
    pass_work.every = 0;
    uint64_t first_second = 0, rest = 0;
    for (int i = 0; i < 36000; i++) {
        exec_test::FakeClock::AdvanceMs(100);
        The_Loop();
        (i < 10 ? first_second : rest) += CfgBytesWritten(seen);
    }
    RecordProperty("cfg_bytes_written_in_the_first_second", std::to_string(first_second));
    RecordProperty("cfg_bytes_written_in_the_hour_after", std::to_string(rest));
    // The first save after the start wrote the image (the first second may
    // also hold other start-up files); the rest of the hour nothing.
    EXPECT_GE(first_second, 109176u);
    char reg[512];
    ASSERT_NE(PLAT_Path("/mnt/cfg/autoreg.dta", reg, sizeof reg), nullptr);
    struct stat st {};
    ASSERT_EQ(stat(reg, &st), 0);
    EXPECT_EQ(st.st_size, 109176);
    EXPECT_EQ(rest, 0u);

    // A register changing at every pass (100 ms apart) is saved every 500 ms:
    // lined up with a save, at every fifth pass.
    auto changed_pass = [&](int v) {
        PlcWordSet(3000, uint16_t(v));
        exec_test::FakeClock::AdvanceMs(100);
        The_Loop();
        return CfgBytesWritten(seen);
    };
    int i = 0;
    while (i < 20 && changed_pass(i) == 0) i++;
    ASSERT_LT(i, 20);
    std::vector<int> saved_at;
    for (int k = 1; k < 50; k++)
        if (changed_pass(1000 + k) != 0) saved_at.push_back(k);
    EXPECT_EQ(saved_at, (std::vector<int>{5, 10, 15, 20, 25, 30, 35, 40, 45}));
}

TEST_F(ExecLoop, StatusBitsFromFaultWord) {
    PlcWordSet(W_FAULT, 0);
    Main_StatusBits();
    EXPECT_EQ(plc_reg[64] & 0x22, 0x22);
    PlcWordSet(W_FAULT, 0x40);
    Main_StatusBits();
    EXPECT_EQ(plc_reg[64] & 0x20, 0) << "I/O not in order";
    PlcWordSet(W_FAULT, 0x10);
    Main_StatusBits();
    EXPECT_EQ(plc_reg[64] & 0x02, 0);
    io_force.fill(0);
    plc_reg[65] = 0x08;
    Main_StatusBits();
    EXPECT_EQ(plc_reg[65] & 0x04, 0) << "forcing enabled but the table is empty";
    LE_Put16(&io_force[2], 1);
    Main_StatusBits();
    EXPECT_EQ(plc_reg[65] & 0x04, 0x04);
    io_force.fill(0);
}

TEST(ExecException, CauseLines) {
    EXPECT_STREQ(Exception_Cause(SIGSEGV), "Invalid Memory Access Fault");
    EXPECT_STREQ(Exception_Cause(SIGBUS), "Memory Alignment Fault");
    EXPECT_STREQ(Exception_Cause(SIGILL), "Illegal Code execution");
    EXPECT_STREQ(Exception_Cause(SIGABRT), "Buffer Overflow error");
    EXPECT_STREQ(Exception_Cause(SIGFPE), "Erroneous Arithmetic Operation performed");
}

}  // namespace
