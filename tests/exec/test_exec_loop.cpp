// Main loop: nested passes of waiting routines, the web HMI step and its
// pass counter, the service-script pipe, the status bits, the fatal-signal
// cause lines.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <semaphore.h>
#include <unistd.h>

#include "cmd/cmd.h"
#include "exec/exception.h"
#include "exec/mainloop.h"
#include "exec/plcmode.h"
#include "core/image/plcreg.h"
#include "media/cfm.h"
#include "net/net.h"
#include "test_exec_support.h"
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
