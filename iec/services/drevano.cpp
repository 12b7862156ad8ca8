// The IEC runtime's embedding in the controller's main loop: start of the
// runtime after a program load, the workbench's questions once per pass, one
// application cycle in the ladder engine's place, the application life cycle
// (download, start, stop), and the arbitration of the programming link
// between the controller's own protocol and the runtime's server. The VM
// database is guarded by one error-checking mutex that is only try-locked.
#include "iec/services/drevano.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <csignal>
#include <poll.h>
#include <pthread.h>
#include <termios.h>
#include <unistd.h>

#include "core/image/iecrt.h"
#include "core/image/plcreg.h"
#include "core/image/timebase.h"
#include "core/storage/memfile.h"
#include "io/vcomm.h"
#include "iec/blocks/blkpid.h"
#include "iec/services/z7mb.h"
#include "iec/services/z7svc.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7srv.h"
#include "platform/plat.h"
#include "iec/vm/z7syb.h"
#include "iec/vm/z7map.h"
#include "iec/vm/z7vm.h"
#include "io/io.h"
#include "platform/plat.h"

uint8_t DrevanoS9 = 0;
uint16_t iVmAlive = 0;
uint8_t Z7_init = 0;
uint8_t DrevanoFirstRun = 0;
uint8_t bNewRegParams = 0;
void *pEvData = nullptr;
void (*Drevano_OnChangeApplied)() = nullptr;

namespace {
// The runtime's millisecond tick: wraps at 2^32 ms (about 49.7 days); the
// platform's offset lets a test bring the wrap within seconds.
uint32_t MonoMs() {
    timespec ts{};
    PLAT_MonoTime(&ts);
    return uint32_t(uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u) + PLAT_MsOffset();
}
}  // namespace

uint32_t (*Z7Host_Ms)() = MonoMs;
uint32_t (*Z7Host_Frt)() = FPGA_GetFrt;

namespace {
constexpr const char *kRetain = "/mnt/cfg/z7.ret";
constexpr uint32_t kSilence = 650000;  // 65 s of 100 us ticks

struct StartRecord {
    uint8_t load_retains, pause;
    char name[256];
};

uint32_t pCode = 0;
Z7MMData mmData;
Z7CSData csData;
pthread_mutex_t hMutex;
bool mutex_made = false;
bool cs_opened = false;
uint32_t dwDynaLink = 0;
StartRecord start_rec;

void Out(const char *text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

void _CreateMutex() {
    if (mutex_made) return;
    pthread_mutexattr_t a;
    if (pthread_mutexattr_init(&a) != 0) Out("pthread_mutexattr_init returns \n");
    if (pthread_mutexattr_settype(&a, PTHREAD_MUTEX_ERRORCHECK) != 0) Out("pthread_mutexattr_settype returns \n");
    if (pthread_mutex_init(&hMutex, &a) != 0)
        Out("pthread_mutex_init returns \n");
    else
        mutex_made = true;
    if (pthread_mutexattr_destroy(&a) != 0) Out("pthread_mutexattr_destroy returns\n");
}
}  // namespace

uint32_t _TakeMutex() { return mutex_made && pthread_mutex_trylock(&hMutex) == 0 ? 1 : 0; }
void _ReleaseMutex() {
    if (mutex_made) pthread_mutex_unlock(&hMutex);
}

namespace {
void _DeleteMutex() {
    if (mutex_made) pthread_mutex_destroy(&hMutex);
    mutex_made = false;
}

void _DisplayHello() {
    char l1[128], l2[128];
    std::snprintf(l1, sizeof l1, "Z7 runtime - Linux Multithreaded - %s", "Apr 12 2021");
    std::snprintf(l2, sizeof l2, "Z7 development kit - runtime version %s", "9.1.161102");
    std::printf("%s\n%s\n\nReady - Press CTRL+C to exit.\n\n", l1, l2);
    std::fflush(stdout);
    char path[256];
    if (Z7_GetFullPath("z7info.txt", path)) {
        const uint32_t h = Z7File_Open(path, true);
        if (h) {
            Z7File_WriteLine(h, l1);
            Z7File_WriteLine(h, l2);
            Z7File_Close(h);
        }
    }
}

void _FreeDB() {
    if (pDB) {
        Z7MM_UnlinkVMDB(&mmData);
        Z7MM_FreeVMDB(&mmData);
    }
    pDB = 0;
    Drevano_StartGen++;  // the binding tables point into the freed database
    Drevano_DbGen++;     // and keep nothing of it for the next one
}

void _FreeCode() {
    if (pCode) {
        Z7MM_UnlinkCode(&mmData);
        Z7MM_FreeCode(&mmData);
    }
    pCode = 0;
}

uint32_t _LoadCode() {
    _FreeCode();
    if (Z7MM_LoadCode(&mmData) != 0) return 1;
    pCode = Z7MM_LinkCode(&mmData);
    return pCode ? 0 : 1;
}

uint32_t _Start(const StartRecord &r) {
    if (pDB) return 1;
    if (_LoadCode() != 0) return 1;
    uint8_t sizing[Z7_DESC_TABLE] = {};
    uint32_t rc = Z7VM_GetDBSize(pCode, sizing);
    if (rc == 0) {
        const uint32_t total = Z7VM_GetTotalDBSize(sizing);
        rc = total ? Z7MM_AllocRawVMDB(&mmData, total) : 1;
    }
    if (rc == 0) {
        const uint32_t db = Z7MM_LinkVMDB(&mmData);
        if (db == 0)
            rc = 1;
        else {
            std::memcpy(Z7Mem_Ptr(db, Z7_DESC_TABLE), sizing, Z7_DESC_TABLE);
            Z7VM_BuildDBMainLinks(db);
            pDB = db;
            pid_Instance =
                0;  // at every cold start, not only the runtime's first: PID blocks number their loops from 0
            rc = Z7Def_ColdStart(pCode, db, kRetain, pEvData, r.load_retains, r.pause, r.name);
        }
    }
    if (rc == 0) {
        Z7Serial_Rearm();  // the new application's serial blocks may take the port
        Drevano_StartGen++;
        DrevanoFirstRun = 1;
        iVmAlive = 1;
        return 0;
    }
    _FreeDB();
    _FreeCode();
    Z7MM_FreeVMDB(&mmData);  // a block that was allocated but never linked
    return rc;
}

constexpr uint32_t kOlcWord = 54272;

void AppName(char name[17]) {
    std::memset(name, 0, 17);
    if (const uint8_t *n = Z7Mem_Ptr(Z7VMCode_GetAppName(pCode), 16)) std::memcpy(name, n, 16);
}

uint32_t _Stop() {
    if (pDB == 0) return 1;
    if (!_TakeMutex()) return 1;  // the database is freed only under the mutex
    iVmAlive = 2;
    Z7MM_SaveVMDB(&mmData);
    char name[17];
    AppName(name);
    Z7Def_Stop(pDB, pEvData, kRetain, name);
    if (IsCommMode_Qncan) Z7Serial_Release();  // a stopped application's blocks hold no port
    Z7MM_SaveChange(&mmData);
    _FreeDB();
    _FreeCode();
    _ReleaseMutex();
    Out("Application stopped\n\n");
    DrevanoFirstRun = 0;
    return 0;
}

uint32_t _Load(uint32_t kind, const Z7CSLoadInfo &info) {
    if (info.type == 1) {
        const uint32_t rc = Z7MM_WriteCodeRequest(&mmData, kind, &info.piece);
        if (rc != 0 || kind != 4) return rc;
        StartRecord r{1, 0, {}};
        std::memcpy(r.name, info.name, sizeof r.name);
        return _Start(r);
    }
    if (info.type == 3) return Z7MM_WriteChangeRequest(&mmData, kind, &info.piece);
    return 1;
}

// Hot start of the saved database with the stored code image.
uint32_t _HotStart(const Z7CSStartInfo &info) {
    if (pDB) return 1;
    if (_LoadCode() != 0) return 1;
    uint32_t rc = Z7MM_LoadVMDB(&mmData);
    if (rc == 0) {
        // a saved image is linked only when it is a database of this code image
        const Z7MMSlot &s = mmData.slot[Z7MM_VMDB - 1];
        if (Z7VM_CheckHotImage(pCode, s.block, s.size) != 0) {
            Z7MM_FreeVMDB(&mmData);
            _FreeCode();
            return 1;
        }
        const uint32_t db = Z7MM_LinkVMDB(&mmData);
        if (db == 0)
            rc = 1;
        else {
            Z7VM_BuildDBMainLinks(db);
            pDB = db;
            rc = Z7Def_HotStart(pCode, db, kRetain, pEvData, info.pause, info.name, _GetTickCount());
        }
    }
    if (rc == 0) {
        Z7Serial_Rearm();    // the new application's serial blocks may take the port
        Drevano_StartGen++;  // bindings rebuilt at the first cycle
        iVmAlive = 1;
        return 0;
    }
    _FreeDB();
    _FreeCode();
    Z7MM_FreeVMDB(&mmData);
    return rc;
}

// On-line change: the change image replaces the running code, keeping the database.
uint32_t _Change(const Z7CSStartInfo &info) {
    if (pDB == 0) return 1;
    uint32_t rc = Z7MM_LoadChange(&mmData);
    if (rc != 0) return rc;
    // A change the program area could not store is refused before it runs:
    // applied, it would be reported done and be gone after a restart.
    if (MF_ProgramCarriesIec() && mmData.slot[Z7MM_CHANGE - 1].size > MF_IecChangeRoom()) {
        Out("\n change image too large to store\n");
        Z7MM_FreeChange(&mmData);
        return 1;
    }
    PlcWordSet(kOlcWord, uint16_t(PlcWord(kOlcWord) | 0x01));
    const uint32_t next = Z7MM_LinkChange(&mmData);
    if (next == 0) {
        Out("\n pNewCode == NULL\n");
        Z7MM_FreeChange(&mmData);
        return 1;
    }
    if (!_TakeMutex()) {
        Out("\n!_TakeMutex \n");
        Z7MM_UnlinkChange(&mmData);
        Z7MM_FreeChange(&mmData);
        return 1;
    }
    rc = Z7VM_CanHOTStart(next, pDB);
    Z7MM_UnlinkChange(&mmData);
    if (rc == 0) {
        Out("\n Z7VM_CanHOTStart = true \n");
        Z7MM_UnlinkCode(&mmData);
        // the old image stays alive until the change closed the services reading it
        const uint32_t old = Z7MM_TakeCode(&mmData);
        Z7MM_RegisterChange(&mmData);
        pCode = Z7MM_LinkCode(&mmData);
        rc = Z7Def_Change(pCode, pDB, pEvData, info.name, _GetTickCount());
        Z7Mem_Free(old);
        if (rc != 0) {
            std::printf("BuilHot answered %u\n", rc);
            std::fflush(stdout);
            iVmAlive = 0;
            _FreeDB();
            _FreeCode();
        } else {
            // The store takes the image applied here, a scan or more later:
            // set aside now, a change downloaded meanwhile cannot replace it.
            char upd[512], applied[512];
            if (PLAT_Path(MF_Z7UPD, upd, sizeof upd) && PLAT_Path(MF_Z7APPLIED, applied, sizeof applied))
                std::rename(upd, applied);
            Drevano_StartGen++;
            PlcWordSet(kOlcWord, uint16_t(PlcWord(kOlcWord) | 0x02));
            if (Drevano_OnChangeApplied) Drevano_OnChangeApplied();
        }
    } else {
        Z7MM_FreeChange(&mmData);
    }
    _ReleaseMutex();
    return rc;
}

void CloseRuntimeSockets() {
    Z7CSSock_CloseAllSockets(&csData);
    Z7Socket_Terminate();
    eth_conn = 0;
}

// Link arbitration of a pass: the controller's frame start closes the runtime
// sockets, runtime traffic restarts the silence, 65 s of silence hand the
// link back.
void Arbitrate() {
    if (IsCommMode_Qncan) {
        if (eth_conn && z7_rcv) CloseRuntimeSockets();
    } else if (z7_rcv) {
        timer_Z7 = Z7Host_Frt();
        z7_rcv = 0;
    } else if (Z7Host_Frt() - timer_Z7 > kSilence) {
        if (eth_conn) {
            CloseRuntimeSockets();
        } else {
            Z7Serial_HandBack();
            csData.ch[0].received = 0;
            csData.ch[0].serial = -1;
            is_z7protocol = 0;
        }
        IsCommMode_Qncan = 1;
    }
}

void _Serve() {
    if (IsCommMode_Qncan) return;  // handed back earlier in this pass: nothing of the server runs
    // stamped, so that a serial frame cut off for 500 ms restarts the
    // receiver instead of waiting for its rest forever
    Z7CS_ActivateStamp(&csData, _GetTickCount());
    uint32_t ch = 0;
    const uint32_t kind = Z7CS_GetQuestion(&csData, &ch);
    Arbitrate();
    if (kind == 0 || IsCommMode_Qncan) {
        // a question left as the link went back gets no answer: its socket is
        // closed, or the port is the controller's protocol's again
        if (kind != 0) Z7CS_ReleaseQuestion(&csData, ch);
        if (bNewRegParams && pDB == 0) bNewRegParams = 0;
        return;
    }
    switch (kind) {
    case 2:
    case 3:
    case 4: {
        Z7CSLoadInfo info;
        if (Z7CS_GetLoadInfo(&csData, ch, &info) != 0) {
            Z7CS_SendRC(&csData, ch, 1);
            break;
        }
        const uint32_t rc = _Load(kind, info);
        Z7CS_SendRC(&csData, ch, uint16_t(rc));
        Out(kind == 4 ? "Z7CSRQ_ENDLOAD\n" : "Z7CSRQ_LOAD\n");
        break;
    }
    case 5: {
        Z7CSStartInfo info;
        if (Z7CS_GetStartInfo(&csData, ch, &info) != 0) {
            Z7CS_SendRC(&csData, ch, 1);
            break;
        }
        const uint32_t rc = _Stop();
        Z7CS_SendRC(&csData, ch, uint16_t(rc));
        Out("Z7CSRQ_STOP\n");
        break;
    }
    case 6: {
        Z7CSStartInfo info;
        if (Z7CS_GetStartInfo(&csData, ch, &info) != 0) {
            Z7CS_SendRC(&csData, ch, 1);
            break;
        }
        StartRecord r{info.load_retains, info.pause, {}};
        std::memcpy(r.name, info.name, sizeof r.name);
        const uint32_t rc = _Start(r);
        Z7CS_SendRC(&csData, ch, uint16_t(rc));
        Out("Z7CSRQ_START\n");
        break;
    }
    case 1:
    case 16:
    case 17:
        // a busy database answers 1
        if (_TakeMutex()) {
            if (kind == 1)
                Z7Def_ServeVMRequest(&csData, pDB, ch);
            else
                Z7Def_ServeModbusRequest(&csData, pDB, kind, ch);
            _ReleaseMutex();
        } else {
            Z7CS_SendRC(&csData, ch, 1);
        }
        break;
    case 7:
    case 8: {
        Z7CSStartInfo info;
        if (Z7CS_GetStartInfo(&csData, ch, &info) != 0) {
            Z7CS_SendRC(&csData, ch, 1);
            break;
        }
        const uint32_t rc = kind == 7 ? _HotStart(info) : _Change(info);
        Z7CS_SendRC(&csData, ch, uint16_t(rc));
        Out(kind == 7 ? "Z7CSRQ_HOTSTART\n" : "Z7CSRQ_CHANGE\n");
        break;
    }
    default: Z7CS_SendRC(&csData, ch, 1); break;
    }
    Z7CS_ReleaseQuestion(&csData, ch);
    if (bNewRegParams && pDB == 0) bNewRegParams = 0;
}
}  // namespace

uint32_t _GetTickCount() { return Z7Host_Ms(); }
uint16_t Z7EVSPORT() { return 9000; }
void Z7_SignalRegChange() { bNewRegParams = 1; }
int Z7_SysCmd(const char *command) { return command ? PLAT_System(command) : -1; }
void Z7_Sleep(uint32_t) {}
void _Sleep(uint32_t) {}
uint32_t Z7REG() { return 0; }

// ---- the runtime's own cycle thread and console (not used by this controller) ----------------------

namespace {
pthread_t vm_thread;
bool vm_thread_made = false;

void *Z7VMThread(void *) {
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
    _VMThread();
    return nullptr;
}

void JoinVMThread() {
    if (vm_thread_made) pthread_join(vm_thread, nullptr);
    vm_thread_made = false;
}
}  // namespace

uint32_t _RunThread() {
    JoinVMThread();
    vm_thread_made = pthread_create(&vm_thread, nullptr, Z7VMThread, nullptr) == 0;
    return vm_thread_made ? 1 : 0;
}

uint32_t _ShouldTerminate() {
    pollfd p{STDIN_FILENO, POLLIN, 0};
    termios saved{};
    const bool tty = tcgetattr(STDIN_FILENO, &saved) == 0;
    if (tty) {
        termios raw = saved;  // a key without waiting for the line
        raw.c_lflag &= tcflag_t(~(ICANON | ECHO | ISIG));
        raw.c_cc[VMIN] = 0;
        raw.c_cc[VTIME] = 0;
        tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    }
    uint8_t key = 0;
    const bool got = poll(&p, 1, 0) == 1 && (p.revents & POLLIN) && read(STDIN_FILENO, &key, 1) == 1;
    if (tty) tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    return got && key == 3 ? 1 : 0;
}

void Drevano_init() {
    if (!Z7_init) {
        if (cs_opened) Z7CS_Close(&csData);  // a stop completed since the last start
        cs_opened = true;
        _DisplayHello();
        Out("RT capabilities disabled\n");
        bNewRegParams = 0;
        pDB = 0;
        pCode = 0;
        iVmAlive = 0;
        _CreateMutex();
        Z7Svc_InstallVMHooks();
        Z7MM_Open(&mmData, "");
        const Z7CSSettings cs{0, 0, nullptr};
        Z7CS_Open(&csData, &cs, 0);
        Z7EvsSettings es{};
        es.capacity = {1024, 0, 8000, 16000};
        es.port = Z7EVSPORT();
        // one event server for the runtime's life: a second one after a stop
        // could not listen on the port the first still holds
        if (pEvData == nullptr) {
            const uint32_t size = Z7Evs_GetMemorySize(&es);
            pEvData = size ? std::malloc(size) : nullptr;
            if (pEvData && Z7Evs_Open(pEvData, &es) != 0) {
                std::free(pEvData);
                pEvData = nullptr;
            }
        }
        dwDynaLink = Z7VM_OpenDynaLinks();
        start_rec = {1, 0, "z7"};
        IoStop();
        if (iVmAlive != 1) _Start(start_rec);
        Z7_init = 1;
        Drevano_BuildTables();
        FistScanRegFlag = 3;
        if (DrevanoFirstRun && pDB) {
            Out("Z7_main_loop_start\n");
            DrevanoFirstRun_func();
        }
    }
    Drevano_Comm_service();
}

void DrevanoFirstRun_func() {
    EnumDrevanoVars();
    plc_reg[SBITS_LO] |= S_FIRST_SCAN;
    PlcWordSet(128, 1);
    Out("DrevanoFirstRun_func\n");
}

void Drevano_Comm_service() {
    // A serial block holds the programming port only while the application
    // runs: outside RUN no block reads the port, so none would see the
    // controller's frame start, and the port goes back to the controller.
    const uint16_t mode = PlcWord(W_MODE);
    if (IsCommMode_Qncan && mode != 2 && mode != 3) Z7Serial_Release();
    if (IsCommMode_Qncan) return;
    if (Z7CS_Quiet(&csData))
        Arbitrate();  // nothing waits: the eight polls would do nothing
    else
        for (int i = 0; i < 8; i++) _Serve();
    if (pDB == 0 && pEvData) Z7Evs_Activate(pEvData, _GetTickCount());
}

void _VMThread() {
    if (iVmAlive == 1 && pDB) {
        if (!Drevano_TablesReady()) {  // first cycle after a start
            Drevano_BuildTables();
            EnumDrevanoVars();
        }
        if (DrevanoFirstRun) {
            Out("_VMThread\n");
            std::printf("s_reg(res_scn) is %d\n", (plc_reg[SBITS_HI] & S_RES_SCAN) ? 1 : 0);
            std::printf("s_reg(sus_scn) is %d\n", plc_reg[SBITS_HI] & S_SUS_SCAN);
            std::fflush(stdout);
            DrevanoFirstRun = 0;
            if (DrevanoS9) Drevano_SetSystemBits();
            DrevanoS9 = 0;
        } else {
            plc_reg[SBITS_LO] &= uint8_t(~S_FIRST_SCAN);
            plc_reg[SBITS_HI] &= uint8_t(~S_RES_SCAN);
        }
        const uint32_t t0 = _GetTickCount();
        if (_TakeMutex()) {
            Z7Def_Cycle(pDB, _GetTickCount(), pEvData);
            if (pDB) {
                // the difference of two readings of the wrapping 32-bit clock, modulo a day
                const uint32_t t1 = _GetTickCount();
                Z7VM_RegisterCycleTime(pDB, ((t1 - t0) % 86400000u) * 1000u);
            }
            _ReleaseMutex();
        }
    }
    if (iVmAlive == 2) {
        Z7_init = 0;
        iVmAlive = 0;
    }
}

void __Exit() {
    JoinVMThread();
    _Stop();
    Z7VM_CloseDynaLinks(dwDynaLink);
    dwDynaLink = 0;
    if (pEvData) {
        Z7Evs_Close(pEvData);
        std::free(pEvData);
        pEvData = nullptr;
    }
    Z7CS_Close(&csData);
    cs_opened = false;
    Z7MM_Close(&mmData);
    _DeleteMutex();
    Z7LOG_Close();
    Z7_init = 0;
    iVmAlive = 0;
    eth_conn = 0;
    if (!IsCommMode_Qncan && is_z7protocol) {
        // the serial link was the runtime's: the controller's protocol gets it back
        Z7Serial_HandBack();
        is_z7protocol = 0;
    }
    IsCommMode_Qncan = 1;
}

void Z7_Connect_Serial() {
    if (const uint16_t sp5 = PLAT_Sp5Address())
        Z7CSSP5_Open(&csData, sp5, "DUMMY");
    else
        Z7CSSer_Open(&csData, "DUMMY");
    IsCommMode_Qncan = 0;
    timer_Z7 = Z7Host_Frt();
}

void Z7_Connect_Ethernet() {
    if (eth_conn) CloseRuntimeSockets();
    Z7Socket_Initialize(0);
    Z7Socket_CloseSocket(csData.listen);
    csData.listen = -1;
    if (Z7Socket_CreateListeningSocket(1100, 8, &csData.listen, 0))
        eth_conn = 1;
    else
        Out("ERROR: Cant open TCP port\n");
    csData.port = 1100;
    timer_Z7 = Z7Host_Frt();
    IsCommMode_Qncan = 0;
}

// ---- files --------------------------------------------------------------------------------------

// The runtime folder: the prefix of the runtime's own file names. The
// configuration flash rather than empty: relative names ("z7info.txt", the
// file transfer's) land beside the runtime's files, where the known-file
// table names them, never in the process's working folder.
char Z7FILE_PATH[255] = "/mnt/cfg/";

namespace {
constexpr std::size_t kFullPathMax = 254;

// Removes a file of the configuration flash; 1 removed, 0 absent, -1 failed.
int RemoveCfgFile(const char *abs) {
    char path[600];
    if (!PLAT_Path(abs, path, sizeof path)) return -1;
    if (unlink(path) == 0) return 1;
    return errno == ENOENT ? 0 : -1;
}
}  // namespace

char *Z7_GetFullPath(const char *name, char *out) {
    if (!name || !out || !name[0]) return nullptr;
    const std::size_t folder = strnlen(Z7FILE_PATH, sizeof Z7FILE_PATH);
    const std::size_t len = strlen(name);
    if (folder + len > kFullPathMax) return nullptr;
    memcpy(out, Z7FILE_PATH, folder);
    memcpy(out + folder, name, len + 1);
    return out;
}

bool Drevano_RetainSave(const char *path, IecRetainForm form) {
    if (pDB == 0 || !_TakeMutex()) return false;
    uint32_t r = 0;
    switch (form) {
    case IecRetainForm::Clone: r = Z7VMWarm_ShutDown(pDB, path); break;
    case IecRetainForm::Signal: r = Z7VMWarm_SaveNow(pDB, path); break;
    default: r = Z7VMWarm_SaveToFile(pDB, path); break;
    }
    _ReleaseMutex();
    return r != 0;
}

bool Drevano_RetainLoad(const char *path, IecRetainForm form) {
    if (pDB == 0 || !_TakeMutex()) return false;
    bool r = false;
    if (form == IecRetainForm::Clone) {
        Z7VM_PrepareRetains(pDB, path);
        r = Z7VM_LoadRetains(pDB, path) == 0;
    } else {
        r = Z7VMWarm_LoadFromFile(pDB, path) != 0;
    }
    _ReleaseMutex();
    return r;
}

bool DeleteDrevanoProgram() { return RemoveCfgFile("/mnt/cfg/z7.cod") >= 0; }

bool DelDrevanoRetentiveFile() { return RemoveCfgFile("/mnt/cfg/z7.ret") == 1; }

uint32_t DelDrevanoFile(uint32_t value) {
    if (!DrevanoRuntime) return value;
    DrevanoStop();
    DrevanoRuntime = 0;
    DeleteDrevanoProgram();
    return DelDrevanoRetentiveFile() ? 1 : 0;
}

// ---- symbols ----------------------------------------------------------------------------------

uint32_t Valmar_Z7VmSyb_GetMapItem(uint32_t db, const char **cursor) { return Z7VmSyb_GetMapItem(db, cursor); }

uint32_t DrevanoEnumerateVarialbes(uint32_t db, const char *symbol, uint32_t *type, uint32_t *address) {
    uint32_t t = 0;
    const char *name = nullptr;
    uint32_t a = Z7VmSyb_Parse(db, symbol, &t, &name);
    if (a == 0) a = Z7VmSyb_ParseSingle(db, symbol, &t);
    if (a == 0) {
        const char *cursor = symbol;
        const uint32_t item = Valmar_Z7VmSyb_GetMapItem(db, &cursor);
        a = Z7Map_GetData(item);
        t = Z7Map_GetType(item);
    }
    if (type) *type = t;
    if (address) *address = a;
    return Z7Map_GetBySymbol(db, symbol);
}
