// Start-up and the polled main loop: every service is stepped once per pass.
#include "core/mainloop.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "core/cmd.h"
#include "core/memfile.h"
#include "core/plcmode.h"
#include "core/plcreg.h"
#include "core/sys.h"
#include "core/timebase.h"
#include "core/tx.h"
#include "io/io.h"
#include "messaging/messaging.h"
#include "net/net.h"
#include "platform/plat.h"
#include "protocols/pmgr.h"

uint8_t BootMode;
uint32_t WatchDogDisable;
uint8_t Sys_AppLoad, Sys_AutoLoad, Sys_ALstmcInited;
uint32_t systick;
volatile sig_atomic_t Main_StopRequested;

namespace {
uint8_t pmgr_busy;  // drivers whose command list is waiting inside a nested pass
int sub_depth;
constexpr int kMaxSubDepth = 8;

void OnStop(int) { Main_StopRequested = 1; }
}  // namespace

void DebugMsg(const char *text) { std::printf("%s\n", text); }

void ExecutePMGR_Loop() {
    for (uint32_t i = 0; promgr_table != nullptr; i++) {
        const uint32_t count = LE_Get32(promgr_table + 8);
        if (count < 1 || count > 2 || i >= count) break;
        const uint8_t bit = uint8_t(1u << i);
        if (pmgr_busy & bit) continue;
        pmgr_busy |= bit;
        PMGR_TheLoop(i);
        pmgr_busy &= uint8_t(~bit);
    }
}

void The_Loop() {
    Can_Isr();
    TimerISR();
    RctISR(0);
    ExecutePMGR_Loop();
    if (!Sys_AutoLoad) PlcScan();
    Cmd_Check();
    if (!BootMode) {
        TimerISR();
        if (tchTic - systick >= 500 && !Cmd_Downloading) {
            systick = tchTic;
            AutoSaveRegisters();
        }
    }
    tx_timer_check();
    TickleWatchdogReal();
    ModemCycle();
}

void ExecuteSubLoop_Wait() {
    // A wait inside a nested pass must not nest without bound.
    if (sub_depth >= kMaxSubDepth) return;
    sub_depth++;
    The_Loop();
    sub_depth--;
}

int Main_Run(int argc, char **argv) {
    PLAT_Init(argc, argv);
    PLAT_MakeBoardFolders();
    struct sigaction sa {};
    sa.sa_handler = OnStop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Timer_Init(&fpga_port, 100);
    FPGA_GetFrt();
    if (argc > 2) WatchDogDisable = 1;
    LoadProgram();
    AutoLoadRegisters();
    PlcInit(PlcBatCheck() ? 0 : 1);
    RCT_Init();
    Cmd_Init();

    while (!Main_StopRequested) {
        The_Loop();
        mqttStateLoop();
        usleep(1000);
    }
    AutoSaveRegisters();
    std::printf("Controller stopped\n");
    return 0;
}
