// The register image, its bit-address space and the access functions through
// which every service reads and writes it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/image/bytes.h"

constexpr std::size_t PLC_REG_SIZE = 109176;

// Windows of the bit-address space.
constexpr uint32_t REG_LIN_FIRST = 1024;
constexpr uint32_t REG_LIN_END = 0xCC400;  // exclusive
constexpr uint32_t REG_ET_FIRST = 0x10008000;
constexpr uint32_t REG_ET_END = 0x1000C000;
constexpr uint32_t REG_EM_FIRST = 0x1001C000;
constexpr uint32_t REG_EM_END = 0x10020000;
constexpr uint32_t REG_ESR_FIRST = 0x10030000;
constexpr uint32_t REG_ESR_END = 0x10031000;
constexpr uint32_t REG_ADDR_LIMIT = 0x10031010;  // address + width may reach this
constexpr std::size_t REG_ET_BYTE = 104448;
constexpr std::size_t REG_EM_BYTE = 106496;
constexpr std::size_t REG_ESR_BYTE = 108544;
constexpr std::size_t REG_MARKER_BYTE = 109168;  // "WATCHBAT"

// IEC variable handle: an address with both top bits set names a variable of
// the IEC application instead of register bits; 0xFFFFFFFF names nothing.
constexpr uint32_t REG_IEC_HANDLE = 0xC0000000u;
constexpr bool PlcReg_IsIecHandle(uint32_t a) { return (a & REG_IEC_HANDLE) == REG_IEC_HANDLE && a != 0xFFFFFFFFu; }

// Register types in the order every type list of the system numbers them.
enum RegType : uint8_t {
    RT_IG,
    RT_QG,
    RT_S,
    RT_K,
    RT_AIG,
    RT_AQG,
    RT_SR,
    RT_F,
    RT_I,
    RT_Q,
    RT_T,
    RT_M,
    RT_AI,
    RT_AQ,
    RT_R,
    RT_ET,
    RT_EM,
    RT_ESR,
    RT_COUNT
};
struct RegTypeInfo {
    char name[4];
    uint8_t word;  // 1: word registers, 0: bit registers
    uint32_t count;
    uint32_t base;  // bit address of register 1
};
extern const std::array<RegTypeInfo, RT_COUNT> reg_types;

// Bit-address bases used throughout.
constexpr uint32_t BA_IG = 1024, BA_QG = 1280, BA_S = 1536, BA_K = 1792, BA_AIG = 2048, BA_AQG = 2560, BA_SR = 3072,
                   BA_F = 6144, BA_I = 8192, BA_Q = 10240, BA_T = 12288, BA_M = 14336, BA_AI = 16384, BA_AQ = 24576,
                   BA_R = 32768;

// %SR n (1..192) is word 127 + n.
constexpr uint32_t SR_WORD(uint32_t n) { return 127 + n; }
constexpr uint32_t SR_ADDR(uint32_t n) { return BA_SR + 16 * (n - 1); }

// Named system words (word n = byte 2n).
constexpr uint32_t W_FAULT = 131;  // fault and status bits
constexpr uint32_t W_MODE = 132;   // controller mode (%SR5)
constexpr uint32_t W_SCAN_AVG = 133, W_SCAN_MIN = 134, W_SCAN_MAX = 135;
constexpr uint32_t W_NETID = 156;    // %SR29
constexpr uint32_t W_CANRATE = 157;  // %SR30
constexpr uint32_t W_NETID_CFG = 158;
constexpr uint32_t W_PORTPROTO = 161;  // %SR34
constexpr uint32_t W_FWNUM = 164;
constexpr uint32_t W_FWVER = 165;
constexpr uint32_t W_CLOCK = 171;  // 171..177 clock image
constexpr uint32_t W_BADOP = 180;  // 180..181 offset of an invalid instruction
constexpr uint32_t W_CMD_LOCK = 263, W_CMD_FRAME_TO = 264;
constexpr uint32_t W_BACKUP = 291;
constexpr uint32_t W_OLC = 54272;  // %ESR1 on-line change control
constexpr uint32_t W_STORFAULT = 54278;
constexpr uint32_t W_TZ = 54289, W_DST = 54290, W_UTC = 54291;
constexpr uint32_t W_CLIENT_PORT = 54541;   // next TCP/UDP client port of the socket layer
constexpr uint32_t W_SCREEN = 128;          // %SR1 screen shown
constexpr uint32_t W_FORCED_SCREEN = 129;   // %SR2 forced screen, 0 none
constexpr uint32_t W_SCREEN_CONTACT = 130;  // %SR3
constexpr uint32_t W_FAULT_SHOWN = 182;     // %SR55 the fault word, network faults hidden without a network id
constexpr uint32_t W_ITIMER_MS = 294;       // %SR167 period of the one-shot interval timer in ms
constexpr uint32_t W_NET_STATS = 33;        // 33..44 the network's packet-pool and link counters (six u32)
constexpr uint32_t W_MAC = 162;             // bytes 324..327: the MAC address's last four bytes, last first
constexpr uint32_t W_SLOT_INFO = 191;       // the I/O slots' information record
constexpr uint32_t W_MODEL = 258;           // the model text (CANopen identity reads its first six bytes)
constexpr uint32_t W_KERNEL_REV = 54280;    // 54280..54284 the kernel revision text (10 bytes)
constexpr uint32_t W_INITRD_VER = 54279;    // the start-up image's version number
// The Ethernet access settings: u32 flags (bit 4 not handed on), u32 access
// word, then three 24-byte user records (name's first four bytes, byte 20
// the level).
constexpr std::size_t REG_ETN_FLAGS_BYTE = 109088, REG_ETN_ACCESS_BYTE = 109092, REG_ETN_USERS_BYTE = 109096;
constexpr std::size_t REG_ETN_USER_SIZE = 24, REG_ETN_USER_LEVEL = 20;

// Status bits %S1..%S8 (byte 64) and %S9..%S16 (byte 65).
constexpr std::size_t SBITS_LO = 64, SBITS_HI = 65;
constexpr uint8_t S_FIRST_SCAN = 0x01;    // byte 64 bit 0, %S1 first scan after an I/O start
constexpr uint8_t S_NO_NET_FAULT = 0x02;  // byte 64 bit 1, %S2 none of FAULT_NET in the fault word
constexpr uint8_t S_CLK_10MS = 0x04;      // byte 64 bit 2, %S3 10 ms clock bit
constexpr uint8_t S_CLK_100MS = 0x08;     // byte 64 bit 3, %S4 100 ms clock bit
constexpr uint8_t S_CLK_1S = 0x10;        // byte 64 bit 4, %S5 1 s clock bit
constexpr uint8_t S_CLOCKS = S_CLK_10MS | S_CLK_100MS | S_CLK_1S;
constexpr uint8_t S_IOCFG_OK = 0x20;       // byte 64 bit 5, %S6 I/O configuration in order
constexpr uint8_t S_ALWAYS_ON = 0x40;      // byte 64 bit 6, %S7 always on
constexpr uint8_t S_SUS_SCAN = 0x01;       // byte 65 bit 0, %S9 (the IEC runtime's sus_scn)
constexpr uint8_t S_RES_SCAN = 0x02;       // byte 65 bit 1, %S10 first-scan bit (res_scn)
constexpr uint8_t S_FORCING = 0x04;        // byte 65 bit 2, %S11 forcing active
constexpr uint8_t S_FORCE_ENABLED = 0x08;  // byte 65 bit 3, %S12 forcing enabled
constexpr uint8_t S_HI_CLEARED = 0x60;     // byte 65 bits 5 and 6, %S14 and %S15: cleared at start-up

constexpr uint16_t FAULT_BADOP = 0x100, FAULT_CLOCK = 0x200, FAULT_IOCFG = 0x40, FAULT_INVALID = 0x04,
                   FAULT_FORCE_STOP = 0x90F, FAULT_NET = 0xB0;

extern std::array<uint8_t, PLC_REG_SIZE> plc_reg;
extern std::array<uint8_t, PLC_REG_SIZE> old_reg;
extern uint8_t OLPMode;  // an on-line program change is armed: IEC variables are not written
// 1 when programs use the 16-bit register layout, 0 for the extended layout;
// latched by the ladder engine on a first scan from bit 15 of the editor
// features.
extern uint8_t RegTokLen_16b;

// Word access by word number (n < PLC_REG_SIZE / 2). For the executive's own
// fixed system words; values from outside go through PlcReg_Get/PlcReg_Set.
inline uint16_t PlcWord(uint32_t n) { return LE_Get16(&plc_reg[2 * n]); }
inline void PlcWordSet(uint32_t n, uint16_t v) { LE_Put16(&plc_reg[2 * n], v); }
inline uint32_t PlcDword(uint32_t n) {
    return LE_Get16(&plc_reg[2 * n]) | (uint32_t(LE_Get16(&plc_reg[2 * n + 2])) << 16);
}
inline void PlcDwordSet(uint32_t n, uint32_t v) {
    LE_Put16(&plc_reg[2 * n], uint16_t(v));
    LE_Put16(&plc_reg[2 * n + 2], uint16_t(v >> 16));
}

// System-register table: one row per %SR1..%SR192.
struct SrInfo {
    uint8_t width;  // maximum width in bits, 0 = read-only
    uint32_t min;
    uint32_t max;
};
extern const std::array<SrInfo, 192> sr_info;
uint8_t *PlcReg_Ptr(uint32_t address, uint32_t width);
uint32_t PlcReg_Get(void *buffer, uint32_t address, uint32_t width);
uint32_t PlcReg_Set(uint32_t address, const void *buffer, uint32_t width);
// The image has no lock of its own: the main loop holds this guard through
// each pass (and lets go only while it waits between passes), and another
// thread (the web HMI server's) reaches registers only through the guarded
// forms below, so that its reads and writes, with the side effects of a
// system-register write, never run in the middle of a pass. The guard may be
// taken again by the thread that holds it.
void PlcReg_Lock();
void PlcReg_Unlock();
// Threads waiting for the guard at the moment.
int PlcReg_Waiters();
uint32_t PlcReg_GetGuarded(void *buffer, uint32_t address, uint32_t width);
uint32_t PlcReg_SetGuarded(uint32_t address, const void *buffer, uint32_t width);
uint8_t *OldReg_Ptr(uint32_t address, uint32_t width);
void PlcOldInit();
int PlcBatCheck();
void PlcTmpClear();
void PlcRegClear();
void PlcRegInit(uint32_t cold);
void VmDbWordSR_MinMax(uint16_t *min, uint16_t *max, uint32_t row);

// Version text of the firmware ("15.50 12-Apr-2021").
extern const char SYS_VersionText[];

// Locates the element of the running IEC application that a variable handle
// names: a hook the executive aims at the IEC runtime's address calculator at
// start-up (tests may put their own here). Unset, IEC handles are not in use.
extern uint8_t *(*PlcReg_IecLocate)(uint32_t handle, uint32_t width);
