// Start-up in its fixed order and the polled main loop: every service is a
// state machine stepped once per pass.
#include "exec/mainloop.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <semaphore.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include "core/storage/backup.h"
#include "core/image/passwork.h"
#include "media/backup.h"
#include "cmd/cmd.h"
#include "cmd/datagram.h"
#include "core/image/dpram.h"
#include "exec/install.h"
#include "core/storage/memfile.h"
#include "core/storage/nvram.h"
#include "exec/plcmode.h"
#include "core/image/rtc.h"
#include "core/image/bytes.h"
#include "core/image/plcreg.h"
#include "exec/sys.h"
#include "core/image/timebase.h"
#include "core/image/util.h"
#include "io/vcomm.h"
#include "iec/blocks/blkform.h"
#include "iec/services/drevano.h"
#include "iec/services/z7svc.h"
#include "io/io.h"
#include "media/cfm.h"
#include "media/filex.h"
#include "media/fxp.h"
#include "messaging/messaging.h"
#include "exec/hooks.h"
#include "net/enet.h"
#include "net/net.h"
#include "net/enet.h"
#include "net/enet_proto.h"
#include "net/svc.h"
#include "platform/plat.h"
#include "platform/plat_net.h"
#include "platform/plat_poll.h"
#include "protocols/egd.h"
#include "protocols/modbus.h"
#include "protocols/pmgr.h"
#include "protocols/srtp.h"
#include "webhmi/weblife.h"

uint8_t BootMode;
uint32_t WatchDogDisable;
uint32_t systick;
std::array<int, 2> MasterScriptPipefd = {-1, -1};
pid_t WDmainPid;
pthread_t Main_Thread;
int SubLoop_Depth;

namespace {

constexpr uint32_t kWatchdogThreadRev = 3543;  // the thread runs above this revision
constexpr const char *kScript = "/opt/valmar/MasterScript.sh";

std::array<uint32_t, 4> cfi_storage;  // one message of 4 words
std::array<uint32_t, 2> cfo_storage;  // one message of 2 words
uint8_t pmgr_busy;                    // drivers waiting inside a nested pass

void OnStop(int) { Main_StopRequested = 1; }

// perror's line ("what: description") written with write(2) alone: a forked
// child of a threaded process must not touch stdio, whose locks another
// thread may have held at the fork.
void ChildPerror(const char *what) {
    const int err = errno;
    const auto put = [](const char *text) {
        if (write(STDERR_FILENO, text, std::strlen(text)) < 0) return;
    };
    put(what);
    put(": ");
    if (const char *desc = strerrordesc_np(err)) {
        put(desc);
    } else {
        char num[16];
        char *p = num + sizeof num;
        *--p = '\0';
        unsigned v = err < 0 ? 0u - unsigned(err) : unsigned(err);
        do *--p = char('0' + v % 10);
        while ((v /= 10) != 0 && p > num + 1);
        if (err < 0) *--p = '-';
        put("Unknown error ");
        put(p);
    }
    put("\n");
}

// Starts the service script with its standard input on a pipe.
void StartServiceScript() {
    char path[512];
    if (!PLAT_Path(kScript, path, sizeof path)) return;
    MasterFilePresent = access(path, F_OK) == 0 ? 0 : 1;
    if (MasterFilePresent != 0) return;
    PLAT_System("killall MasterScript.sh");
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        std::perror("pipe");
        return;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        std::fprintf(stderr, "FORK failed\n");
        close(fds[0]);
        close(fds[1]);
        return;
    }
    if (pid == 0) {
        PLAT_ChildDieWithParent();
        close(fds[1]);
        dup2(fds[0], STDIN_FILENO);
        ChildPerror("dup2[0]");
        execl("/bin/sh", "sh", path, static_cast<char *>(nullptr));
        _exit(127);
    }
    close(fds[0]);
    // A script that does not read must never stall the loop.
    fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK);
    MasterScriptPipefd = {-1, fds[1]};
    PLAT_ChildAdd(pid, "MasterScript.sh");
}

// Creates the watchdog thread so that it never takes SIGALRM.
void StartWatchdogThread() {
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    pthread_t t;
    if (pthread_create(&t, nullptr, WatchdogScan, nullptr) == 0) {
        pthread_setname_np(t, "WatchdogScan");
        pthread_detach(t);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

// Opens the watchdog with the signals that only the main thread should take
// blocked, so that a thread started by the watchdog layer inherits them.
void OpenWatchdog() {
    sigset_t block, old;
    sigemptyset(&block);
    for (int s : {SIGALRM, SIGTERM, SIGINT, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) sigaddset(&block, s);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    StartWatchdog();
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void StatusWord182() {
    uint16_t w = PlcWord(W_FAULT);
    if (PlcWord(W_NETID_CFG) == 0) w &= uint16_t(~FAULT_NET);
    PlcWordSet(W_FAULT_SHOWN, w);
}

}  // namespace

void DebugMsg(const char *text) { std::printf("%s\n", text); }

// No interrupt is involved: arms or disarms the process interval timer.
void Enable_Interrupt(uint32_t on) {
    struct itimerval it {};
    if (on == 1) it.it_value.tv_usec = suseconds_t(PlcWord(W_ITIMER_MS)) * 1000;
    // A value of whole seconds goes to its own field.
    it.it_value.tv_sec = it.it_value.tv_usec / 1000000;
    it.it_value.tv_usec %= 1000000;
    setitimer(ITIMER_REAL, &it, nullptr);
}

uint32_t MasterScript_Send(const char *line) {
    const int fd = MasterScriptPipefd[1];
    if (fd < 0 || line == nullptr) return 0;
    const std::size_t n = std::strlen(line);
    const ssize_t w = write(fd, line, n);
    // EPIPE: the script has ended (SIGPIPE is ignored); EAGAIN: it does not
    // read. Either way the command is dropped.
    return w == ssize_t(n) ? 1 : 0;
}

void Main_StatusBits() {
    const uint16_t fault = PlcWord(W_FAULT);
    if (fault & FAULT_IOCFG)
        plc_reg[SBITS_LO] &= uint8_t(~S_IOCFG_OK);
    else
        plc_reg[SBITS_LO] |= S_IOCFG_OK;
    if (fault & FAULT_NET)
        plc_reg[SBITS_LO] &= uint8_t(~S_NO_NET_FAULT);
    else
        plc_reg[SBITS_LO] |= S_NO_NET_FAULT;
    const bool forcing =
        (plc_reg[SBITS_HI] & S_FORCE_ENABLED) && (LE_Get16(&io_force[0]) != 0 || LE_Get16(&io_force[2]) != 0);
    if (forcing)
        plc_reg[SBITS_HI] |= S_FORCING;
    else
        plc_reg[SBITS_HI] &= uint8_t(~S_FORCING);
}

void ExecutePMGR_Loop() {
    for (uint32_t i = 0; i < 2; i++) {
        if (promgr_table == nullptr) return;
        const uint32_t count = LE_Get32(promgr_table + 8);
        if (count < 1 || count > 2 || i >= count) return;
        const uint8_t bit = uint8_t(1u << i);
        if (pmgr_busy & bit) continue;  // its command list waits in a nested pass
        pmgr_busy |= bit;
        PMGR_TheLoop(i);
        pmgr_busy &= uint8_t(~bit);
    }
}

namespace {
uint32_t published_at;  // tchTic of the last copy for the emergency save
}  // namespace

// Each step with nothing to do costs a test of the pass record
// (core/image/passwork.h): the modules mark their steps there when work
// comes for them.
void The_Loop() {
    PassWork &w = pass_work;
    // A pass that does not follow the loop's wait (a nested pass) first takes
    // the reports that came since the set was read.
    if (!w.fresh && !w.every) PLAT_PollHarvest(false);
    w.fresh = 0;
    if (w.every || w.can_poll || w.can_tx || w.can_rx != w.can_seen) Can_Isr();
    TimerISR();
    if (w.every || w.rct) RctISR(0);
    ExecutePMGR_Loop();
    Main_StatusBits();
    if (!Sys_AutoLoad) PlcScan();
    // Reads received before this pass are answered from its scan's image now:
    // the rest of the pass does not lengthen their answer time.
    if (w.every || w.reads) {
        w.reads = 0;  // a read left waiting marks it again
        Modbus_AfterScan(0);
        Modbus_AfterScan(1);
        Srtp_AfterScan(0);
        Srtp_AfterScan(1);
    }
    FailSafeFlagCheck();
    ManualRestoreExecute();
    Cmd_Check();
    Dpram_Service();
    FxpMain(1);
    StatusWord182();
    Datagram_Check();
    SYS_Update();
    CFM_Update();
    CFM_TheLoop(0);
    if (DrevanoRuntime) Drevano_Comm_service();
    EnetMain(0);
    if (BootMode == 0) {
        TimerISR();
        if (tchTic - systick >= 500 && !Cmd_Downloading) {
            systick = tchTic;
            AutoSaveRegisters();
        }
    }
    if (w.every || (w.tx_armed && PassWork_Due(w.tx_due, FPGA_GetFrt()))) tx_timer_check();
    TickleWatchdogReal();
    ModemCycle();
    // A whole pass is over: the watchdog thread's emergency save takes this
    // copy (refreshed every 100 ms; the save comes after seconds without a pass).
    if (SubLoop_Depth == 0 && tchTic - published_at >= 100) {
        published_at = tchTic;
        MF_PublishRegisters();
    }
}

void ExecuteSubLoop_Wait() {
    // A routine waiting inside a nested pass may wait again; the nesting
    // stops at a fixed depth instead of growing the stack without bound.
    if (SubLoop_Depth >= SUBLOOP_MAX_DEPTH) return;
    SubLoop_Depth++;
    The_Loop();
    SubLoop_Depth--;
}

namespace {
// Set while the loop of Main_Run holds the register guard: the wait between
// passes is the only time another thread may reach the registers.
bool pass_guard_held;
}  // namespace

void Main_Wait() {
    if (pass_guard_held) PlcReg_Unlock();
    PLAT_PollWait(RCT_WaitUs(MAIN_PASS_WAIT_US));
    if (pass_guard_held) {
        // A thread waiting for the guard gets it before the next pass, even
        // when the wait ended at once (the lock itself is not fair).
        for (int i = 0; i < 1000 && PlcReg_Waiters() > 0; i++) sched_yield();
        PlcReg_Lock();
    }
    // From the first wait on, the loop's steps follow the pass record.
    pass_work.every = 0;
    pass_work.fresh = 1;
    // Requests that came during the wait are taken now: a read is then
    // answered after the next scan, not after the one after it.
    Modbus_AfterWait(0);
    Modbus_AfterWait(1);
    Srtp_AfterWait(0);
    Srtp_AfterWait(1);
}

void Main_AfterPass() {
    mqttStateLoop();
    tavix_main_step();
}

uint32_t WatchdogScan_Check() {
    if (wdog < 0) return 0;
    const int left = PLAT_WdtTimeLeft();
    if (left < 400 || left > 1000) return 0;
    MF_SavePublished();
    return 1;
}

void *WatchdogScan(void *) {
    for (;;) {
        usleep(500000);
        if (WatchdogScan_Check()) {
            // The image is saved: wait for the hardware reset.
            for (;;) pause();
        }
    }
    return nullptr;
}

int Main_Startup(int argc, char **argv) {
    Exec_InstallHooks();
    if (!PLAT_RootCheck()) std::exit(1);
    PLAT_Init(argc, argv);
    PLAT_MakeBoardFolders();
    if (!PLAT_LockRoot()) std::exit(1);
    // A stored file that is there but cannot be read stops the start before
    // anything is loaded, so that no default takes its place.
    if (!MF_CheckStoredFiles()) std::exit(1);
    if (PLAT_NetDecision()[0] != 0) std::printf("%s\n", PLAT_NetDecision());
    Main_Thread = pthread_self();
    struct sigaction sa {};
    sa.sa_handler = OnStop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    // A write to the service script after it ended must not end the controller.
    signal(SIGPIPE, SIG_IGN);

    // Open-file limit.
    struct rlimit rl {};
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) {
        std::perror("Failed to get limit..");
        return -1;
    }
    rl.rlim_cur = 4096;
    if (setrlimit(RLIMIT_NOFILE, &rl) != 0) {
        std::perror("Failed to set limit..");
        return -1;
    }

    // Hardware, pins, timers.
    SYS_HardwareCheck();
    GPIOInit();
    Timer_Init(&fpga_port, 100);

    // Command line: one argument installs, two or more run without watchdog.
    if (argc == 2) {
        BootMode = 1;
        InstallBoot();  // comes back only when asked to stop
        std::fflush(stdout);
        return 1;
    }
    if (argc <= 1)
        PLAT_System("echo 0 > /proc/sys/kernel/printk");
    else
        WatchDogDisable = 1;
    BootMode = 0;

    // Stored program and registers, up to 10 tries each.
    for (int i = 0; i < 10 && LoadProgram() == 0; i++) {
    }
    for (int i = 0; i < 10 && AutoLoadRegisters() == 0; i++) {
    }

    // Queues of the card file manager.
    WDmainPid = getpid();
    _txe_queue_create(&qcb_cfi, "CFI_REQUEST", 4, cfi_storage.data(), sizeof cfi_storage);
    _txe_queue_create(&qcb_cfo, "CFI_RESPONSE", 2, cfo_storage.data(), sizeof cfo_storage);

    // Free-space reporter.
    BackTsk_Start();

    // Watchdog thread, above the kernel revision 3543 only.
    if (SYS_KernelRevNumber() > kWatchdogThreadRev) StartWatchdogThread();

    // Service script.
    StartServiceScript();

    // Watchdog, mailbox, system record, programming port.
    OpenWatchdog();
    Dpram_Init();
    const uint32_t defaults = SYS_Init(pProduct);
    PlcWordSet(W_FAULT, 0);
    PlcWordSet(W_PORTPROTO, 0);
    Exec_LinkMessaging();
    Vcomm_Init();
    SCI2_Init(ProgrammingPort);
    SCI2_Init(CellularPort);

    // Configuration blocks; the controller counts as stopped meanwhile.
    nv_Startup = 1;
    const uint32_t recreated = nvram_init(defaults, 0);
    nv_Startup = 0;
    if (recreated) SaveProgram();
    PlcInit(recreated);

    // Network and I/O configuration.
    NetConfig();
    TickleWatchdogReal();
    IoConfig();

    // Sign-on and model texts.
    const uint16_t identity = LE_Get16(&Cmd_SS_Info[2]);
    Oem_GetSignon(pProduct, PlcWord(W_FWNUM), identity);
    Oem_GetModel(reinterpret_cast<char *>(&plc_reg[2 * W_MODEL]), PlcWord(W_FWNUM), identity);

    // Status word for the LEDs.
    StatusWord182();
    TickleWatchdogReal();

    // Automatic program load requested.
    if (PlcWord(W_BACKUP) & 0x20) {
        if ((PlcWord(W_FAULT) & 0x4004) || LE_Get32(&ladder_bl[4]) == 2) Sys_AppLoad = 1;
    }

    // The controller's IEC blocks.
    BlkLib_Install();

    // Command protocol, status bits, register links, card file manager.
    Cmd_Init();
    Main_StatusBits();
    PlcWordSet(W_FORCED_SCREEN, 0);
    PlcWordSet(W_SCREEN_CONTACT, 0);
    SYS_ResetRCBs(2);
    CFM_Open();
    RCT_Init();
    SYS_LoadRCBs();

    // The saved controller mode.
    RestoreSavedMode();

    // The automatic program load starts with the loop.
    if ((PlcWord(W_BACKUP) & 0x20) && Sys_AppLoad == 1 && Sys_AutoLoad == 0) {
        Sys_AutoLoad = 1;
        Sys_ALstmcInited = 0;
    }

    // The web HMI: a stale end-of-upload marker, the locks shared with its thread.
    tavix_startup();

    // Drives.
    Cf_Check(0);
    Cf_Check(2);

    // The loop's 1 ms between passes comes from a periodic timer of the
    // readiness set, not from a time-out of each wait.
    PLAT_PollPace(MAIN_PASS_WAIT_US);
    return 0;
}

int Main_Run(int argc, char **argv) {
    const int started = Main_Startup(argc, argv);
    if (started < 0) return -1;
    if (started > 0) {
        PLAT_ChildKillAll();  // the installation ended on request
        return 0;
    }
    // The loop. It owns the register image: the web server's thread reaches
    // registers only while the loop waits between passes.
    PlcReg_Lock();
    pass_guard_held = true;
    while (!Main_StopRequested) {
        The_Loop();
        Main_AfterPass();
        // At most 1 ms between passes, so that an idle workstation stays
        // cool; input on any descriptor of the set, or work a subsystem
        // queued for the next pass, starts the next pass at once; a running
        // receive-character timer (the end of an RTU frame) ends the wait
        // when it is due.
        Main_Wait();
    }
    // The IEC application stops as at mode 0: its retained variables are
    // written before the controller ends.
    if (DrevanoRuntime) DrevanoStop();
    AutoSaveRegisters();
    pass_guard_held = false;
    PlcReg_Unlock();
    StopWatchdog();
    PLAT_ChildKillAll();
    std::printf("Controller stopped\n");
    std::fflush(stdout);
    return 0;
}
