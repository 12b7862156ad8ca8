// The seam between the controller and the machine it runs on.
//
// Every piece of hardware or operating-system state that differs between the
// board and a workstation is reached through one table of operations per seam.
// Each table has a board implementation (what the board's hardware expects) and
// a host implementation (files under PLC_ROOT, see README). PLAT_Init picks
// one table per seam; nothing above this folder knows which one runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <array>
#include <sys/types.h>

// ---- start-up -------------------------------------------------------------
// Records the command line (for the warm reset by re-execution) and selects
// the implementation of every seam. Call first in main.
void PLAT_Init(int argc, char **argv);
// 1 when the board implementations are in force.
int PLAT_IsBoard();
// The controller's own start check, before PLAT_Init: on a machine that is not
// an ARM board an unset or empty PLC_ROOT would reach the machine's own /mnt.
// Prints one line naming PLC_ROOT and answers false then; true otherwise.
bool PLAT_RootCheck();

// ---- the root folder --------------------------------------------------------
// Resolves an absolute path of the system ("/mnt/cfg/ladder.pgm") to the path
// to open. On the host it is placed under $PLC_ROOT; on the board it stays as
// it is. Writes at most outlen bytes (always terminated); answers out, or
// nullptr when the result would not fit. The only place that builds host paths.
char *PLAT_Path(const char *abs, char *out, std::size_t outlen);
// Creates the temporary file of a store that writes aside and renames, as a
// new regular file of this process's own: whatever stands at the name first
// (a left-over file, a symbolic link, a FIFO) is unlinked, and the open
// neither follows a link nor waits on a FIFO, so no store ever writes through
// a name into another file or hangs on one. Answers the descriptor, or -1
// with errno set; when said is given, the first of a run of failures of that
// store prints one console line naming the file (async-signal-safe without
// said).
int PLAT_CreateFile(const char *path, mode_t mode, bool *said);
// The root folder ("" on the board).
const char *PLAT_Root();
// Creates the folders that always exist on a board (dev/shm, mnt/cfg, sim).
void PLAT_MakeBoardFolders();
// One controller per root: takes a lock on sim/controller.lock for the
// process's life. False (after one line naming the running controller) when
// another process holds it, and when sim/ or mnt/cfg cannot be written (a
// folder of another user, or a read-only one). Always true on the board.
bool PLAT_LockRoot();
// Empties the lock file's process id (the lock stays until the process
// ends): called at every end of the controller, so that the file never names
// a process that is not it. Async-signal-safe; std::exit calls it too.
void PLAT_ReleaseRoot();

// ---- time base ------------------------------------------------------------------
struct PlatTimeOps {
    void (*mono)(struct timespec *ts);  // CLOCK_MONOTONIC
    uint64_t (*frt_offset)();           // added to the 100 us count (tests: wrap)
    uint32_t (*ms_offset)();            // added to the IEC runtime's millisecond tick (tests: wrap)
};
void PLAT_MonoTime(struct timespec *ts);
uint64_t PLAT_FrtOffset();
uint32_t PLAT_MsOffset();
// SP5 address of the programming port's file-transfer slave (1..32767), 0
// for none: on a workstation PLC_SP5_ADDRESS, on the board none.
uint16_t PLAT_Sp5Address();

// ---- SoC register window (GPIO, SSP, I2C) -------------------------------------
struct PlatSocOps {
    // Maps len bytes of physical registers at phys; nullptr on failure.
    volatile uint32_t *(*map)(uint32_t phys, std::size_t len);
};
volatile uint32_t *PLAT_SocMap(uint32_t phys, std::size_t len);

// ---- front panel: status LEDs and RUN/LOAD buttons ------------------------------
enum : unsigned { PLAT_BTN_RUN = 1u, PLAT_BTN_LOAD = 2u };
struct PlatPanelOps {
    unsigned (*buttons)();                         // PLAT_BTN_* bits pressed now
    void (*leds)(unsigned ok, unsigned run);       // 0 off, 1 on (physical state)
    void (*led_codes)(unsigned ok, unsigned run);  // the logical codes in force
};
unsigned PLAT_Buttons();
void PLAT_Leds(unsigned ok, unsigned run);
void PLAT_LedCodes(unsigned ok, unsigned run);

// ---- modem-control lines of a serial port ---------------------------------------
// Carrier detect of the port `dev` ("/dev/ttySP0") opened as fd: 1 up, 0 down.
// On a workstation read from sim/lines/<port> (the word "DCD" present).
uint32_t PLAT_LineDcd(int fd, const char *dev);
// Drives the port's DTR line; on a workstation appends "DTR 0"/"DTR 1" to
// sim/lines/<port>.out.
void PLAT_LineDtr(int fd, const char *dev, uint32_t on);

// ---- shell commands --------------------------------------------------------------
struct PlatShellOps {
    int (*system)(const char *cmd);
    FILE *(*popen)(const char *cmd, const char *mode);
    int (*pclose)(FILE *f);
};
// Runs one shell line the way the system's code would; answers like system()
// (0 when the command succeeded). On the host every line is appended to
// sim/commands.log; file commands (cp, rm, mkdir, unzip) run without a shell,
// in the root folder, with absolute paths placed under the root; a line with
// shell syntax or a ".." path is refused; commands that touch the machine are
// only logged. Streams of PLAT_Popen are in memory ("uname" reads the board's
// kernel text).
int PLAT_System(const char *cmd);
FILE *PLAT_Popen(const char *cmd, const char *mode);
int PLAT_Pclose(FILE *f);

// Child processes started by the controller. "killall NAME" ends only these,
// by process id, and a warm reset ends all of them first. The table takes no
// lock, so the fatal-signal path can end them too.
void PLAT_ChildAdd(pid_t pid, const char *name);
void PLAT_ChildKill(const char *name);
void PLAT_ChildKillAll();
// Makes the calling (child) process end when the controller ends.
void PLAT_ChildDieWithParent();

// ---- reset ---------------------------------------------------------------------------
struct PlatResetOps {
    void (*warm)();      // restart the firmware; never returns
    void (*reboot)();    // restart the board; never returns
    void (*warm_now)();  // the warm restart, safe in a signal handler; never returns
};
[[noreturn]] void PLAT_WarmReset();
[[noreturn]] void PLAT_Reboot();
// The fatal-signal path: safe to call from a signal handler at any moment
// (no locks, no stdio, no allocation), whatever lock the interrupted code
// held. PLAT_SyncNow flushes the file systems ("sync", logged on the host
// when the log can take it without waiting); PLAT_WarmResetNow ends every
// child of the controller and restarts it like PLAT_WarmReset.
void PLAT_SyncNow();
[[noreturn]] void PLAT_WarmResetNow();

// ---- watchdog -------------------------------------------------------------------------
struct PlatWdtOps {
    int (*open)();          // 0 when opened
    void (*write)(char c);  // 'w' kicks, 'V' arms the magic close
    void (*close)();
    int (*timeleft)();  // time left as the driver reports it (ms), -1 when not open
    int (*timeout)();   // seconds, -1 when not open
};
int PLAT_WdtOpen();
void PLAT_WdtWrite(char c);
void PLAT_WdtClose();
int PLAT_WdtTimeLeft();
int PLAT_WdtTimeout();

// ---- real-time clock ------------------------------------------------------------------
struct PlatRtcOps {
    int (*get)(struct tm *t);        // 0 on success
    int (*set)(const struct tm *t);  // 0 on success
};
int PLAT_RtcGet(struct tm *t);
int PLAT_RtcSet(const struct tm *t);

// The tables in force (selected by PLAT_Init) and the two implementations.
extern const PlatTimeOps *plat_time;
extern const PlatSocOps *plat_soc;
extern const PlatPanelOps *plat_panel;
extern const PlatShellOps *plat_shell;
extern const PlatResetOps *plat_reset;
extern const PlatWdtOps *plat_wdt;
extern const PlatRtcOps *plat_rtc;

extern const PlatTimeOps plat_time_board, plat_time_host;
extern const PlatSocOps plat_soc_board, plat_soc_host;
extern const PlatPanelOps plat_panel_board, plat_panel_host;
extern const PlatShellOps plat_shell_board, plat_shell_host;
extern const PlatResetOps plat_reset_board, plat_reset_host;
extern const PlatWdtOps plat_wdt_board, plat_wdt_host;
extern const PlatRtcOps plat_rtc_board, plat_rtc_host;

// ---- system time and watchdog time-out ------------------------------------------------
// Sets the operating system's clock to seconds since 1970-01-01 UTC. The board
// sets it; a workstation never touches its own clock and only reports the
// request on the console. 0 on success.
struct PlatSysTimeOps {
    int (*set)(int64_t seconds);
};
int PLAT_SetSystemTime(int64_t seconds);
extern const PlatSysTimeOps plat_systime_board, plat_systime_host;

// Sets the time-out of the open watchdog in seconds; 0 on success, -1 when
// it is not open. The implementation follows the watchdog table in force.
struct PlatWdtTimeoutOps {
    int (*set)(int seconds);
};
int PLAT_WdtSetTimeout(int seconds);
extern const PlatWdtTimeoutOps plat_wdt_timeout_board, plat_wdt_timeout_host;

// ---- expansion-module I2C bus ---------------------------------------------------------
// Transfers on the expansion bus. Addresses are the 8-bit form (7-bit address
// shifted left by one); the seam sets bit 0 itself for reads. The board drives
// I2C0 (or its kernel's I2C service); a workstation answers from the simulated
// module table of sim/io.json (README).
// A transfer answers PLAT_I2C_DONE (acknowledged) or PLAT_I2C_FAILED.
constexpr int PLAT_I2C_FAILED = 0, PLAT_I2C_DONE = 1;
struct PlatI2cOps {
    int (*probe)(uint8_t addr);                                     // PLAT_I2C_DONE: acknowledged
    int (*read)(uint8_t addr, uint8_t *buf, std::size_t n);         // PLAT_I2C_DONE or _FAILED
    int (*write)(uint8_t addr, const uint8_t *buf, std::size_t n);  // PLAT_I2C_FAILED: not acknowledged
    void (*speed)(unsigned code);                                   // 1: 100 kHz, 2: 400 kHz
};
[[nodiscard]] int PLAT_I2cProbe(uint8_t addr);
[[nodiscard]] int PLAT_I2cRead(uint8_t addr, uint8_t *buf, std::size_t n);
[[nodiscard]] int PLAT_I2cWrite(uint8_t addr, const uint8_t *buf, std::size_t n);
void PLAT_I2cSpeed(unsigned code);
// The board's choice between its kernel's I2C service (above 31) and the
// register path, from the kernel build number.
void PLAT_I2cKernelBuild(int32_t build);
// Board register path: gates I2C0's clock and lets go of its registers (the
// next transfer sets the block up again); 1.
int PLAT_I2cClose();
// Board register path: called before each status read of a bounded wait with
// the block's registers and the word read, so that a test can play the
// block's part; null on the board.
extern void (*plat_i2c_poll)(volatile uint32_t *regs, unsigned word);
// Table in force: null selects the board or host table at first use; tests
// may put their own in place.
extern const PlatI2cOps *plat_i2c;
extern const PlatI2cOps plat_i2c_board, plat_i2c_host;
// Host: forgets the simulated table so that sim/io.json is read afresh.
void PLAT_I2cSimReset();
// Host: writes sim/io_out.json now when an output change waits for it.
void PLAT_I2cSimFlush();

// The kernel's SSP2 output record "/proc/Ssp2_Out_Data" (12 bytes): 1 when
// the record was read or written.
int PLAT_Ssp2Load(uint8_t *rec12);
int PLAT_Ssp2Store(const uint8_t *rec12);
