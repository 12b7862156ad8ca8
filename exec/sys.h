// System services: the hardware check, the product record, the watchdog,
// warm reset, the status LEDs, the hand-over of mailbox requests to the card
// file manager, register links and pseudo-registers.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "core/storage/memfile.h"
#include "core/storage/nvram.h"

// ---- identity -------------------------------------------------------------
extern std::array<char, 24> productId;  // product record (sign-on text)
extern char *pProduct;
extern std::array<char, 20> KernelRev;  // kernel revision text
extern uint16_t InitRdVer;              // leading number of "/usr/version"
extern uint16_t SYS_lastLocalUser;

// ---- watchdog -------------------------------------------------------------
extern std::atomic<int> wdog;  // -1 while closed (read by the watchdog thread)

// ---- mailbox hand-over states (0 idle, 2 handed to the card file manager) --
extern uint16_t cfi_state, cfdl_state, cfem_state, cfdbgl_state;

// ---- LED update of the removable-media load --------------------------------

// ---- register links ----------------------------------------------------------
// {base address; bit address; width in bits; byte count in bits 0-6 with the
// sign-fill flag in bit 7}
struct SysRcb {
    uint32_t base;
    uint32_t address;
    uint16_t width;
    uint16_t count;
};
constexpr uint16_t RCB_SIGN_FILL = 0x80;
constexpr std::size_t RCB_DATA_LINKS = 400, RCB_SYSTEM_LINKS = 64, RCB_THIRD_LINKS = 16;
extern std::array<SysRcb, RCB_DATA_LINKS> rcbData;
extern std::array<SysRcb, RCB_SYSTEM_LINKS> rcbSystem;
extern std::array<SysRcb, RCB_THIRD_LINKS> rcbThird;
extern SysRcb *pRcb;
extern uint32_t rcbLimit;
extern uint32_t rcbIndex;

// Pseudo-register bit addresses (a link in 992..1023 names a system value).
constexpr uint32_t PSEUDO_FIRST = 992, PSEUDO_LAST = 1023;
constexpr std::size_t PSEUDO_MAX = 128;  // bytes of one system value

// ---- start-up -------------------------------------------------------------------
void SYS_HardwareCheck();
uint32_t SYS_Init(char *product);
// The number the kernel revision text gives (characters 4, 5, 7 and 8 of the
// text copied into the register image, low 4 bits, weights 1000..1).
uint32_t SYS_KernelRevNumber();
// Writes KernelRev (10 bytes at byte 108,560) and InitRdVer (word 54279)
// into the register image: they describe this controller.
void SYS_PutSystemVariables();

// ---- watchdog ----------------------------------------------------------------
void StartWatchdog();
void TickleWatchdogReal();
void StopWatchdog();
void set_watchdog_time(uint32_t seconds);

// ---- reset ----------------------------------------------------------------------
void SYS_WarmReset();
// The warm reset from the fatal-signal path: the same steps (reset marker,
// register save, sync, restart) with async-signal-safe calls only.
[[noreturn]] void SYS_WarmResetNow();
void SYS_VDG();

// ---- LEDs -----------------------------------------------------------------------
void SYS_SetStatusLeds(uint32_t first, uint32_t second);
uint32_t SYS_GetOkLed();
uint32_t SYS_GetRunLed();

// ---- once per pass -------------------------------------------------------------
void SYS_Update();

// ---- register links and pseudo-registers -------------------------------------------
void SYS_ResetRCBs(uint32_t mode);
void SYS_LoadRCBs();
// Links a register (null when the table is full). Format word: bit 15 set:
// a run of (format & 127) bytes; else by bits 6-7: both clear: (format & 63)
// bits with sign fill; both set: (format & 63) bytes; one set: (format & 63)
// bits.
SysRcb *SYS_LinkReg(uint32_t address, uint32_t format);
// Link variants: a 32-bit link (four bytes, no sign fill); a link moved to
// another address (base and address) or given another specification word,
// keeping the rest (null stays null); a link of the clock image's seven words
// (bit address 3760, fourteen bytes). The new links are refused (null) when
// the table is full.
SysRcb *SYS_32LinkReg(uint32_t address);
SysRcb *SYS_ChgLink(SysRcb *link, uint32_t address);
SysRcb *SYS_ModLink(SysRcb *link, uint32_t format);
SysRcb *SYS_InitRTC();
void SYS_WriteRogueRCB(const SysRcb *link, uint32_t offset, uint32_t width, const uint8_t *data);
void SYS_ReadReg(uint8_t *out, const SysRcb *link, uint32_t length);
void SYS_WriteReg(const SysRcb *link, const uint8_t *data, uint32_t length);

// ---- system registers by number ------------------------------------------------------
uint16_t SYS_ReadSys(uint32_t n);
uint32_t SYS_WriteSys(uint32_t n, uint16_t value);
uint16_t SYS_RunMode();

// ---- battery-backed image and small helpers ------------------------------------------
uint32_t SYS_ReadCmd(uint8_t *out, uint32_t offset, uint32_t length);
uint32_t SYS_WriteCmd(const uint8_t *data, uint32_t offset, uint32_t length);
// Zeroes bytes of the battery-backed image within the bounds of SYS_WriteCmd
// and stores it; answers the bytes cleared.
uint32_t SYS_ClearCmd(uint32_t offset, uint32_t length);
// Words of the program header, the first 24 bytes of the program area (its
// CRC and length words, then the start of the program), little-endian:
// 32-bit words (wide) 0..5 or 16-bit words 0..11. A read past the header
// answers 0; a write takes index 0..5 only (answers 1, 0 refused).
uint32_t SYS_ReadSeg(uint32_t index, uint32_t wide);
uint32_t SYS_WriteSeg(uint32_t index, uint32_t value, uint32_t wide);
// 1 when the system services are set up: the hardware check has marked the
// identity image and the product record is filled; else 0.
uint32_t SYS_Test();
uint32_t SYS_GetMACID(uint8_t *out);
uint8_t SYS_PackRegs(uint8_t option);
uint32_t SYS_ValidateParmTbl(const uint8_t *table, std::size_t length);
void SYS_InitBBR();
uint32_t SYS_AllocBBR(uint32_t bytes);
uint32_t SYS_ExpandBBR(uint32_t bytes);

// ---- LED blinker ----------------------------------------------------------------------
// Starts a child process that blinks both status LEDs during long updates;
// answers its process id (0 when the fork failed).
pid_t SetStatusLeds_fork();
