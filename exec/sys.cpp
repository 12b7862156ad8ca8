// System services: the controller's contact with the board and with Linux.
#include "exec/sys.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "core/image/dpram.h"
#include "core/image/iecrt.h"
#include "core/image/passwork.h"
#include "exec/exception.h"
#include "exec/mainloop.h"
#include "core/storage/memfile.h"
#include "core/image/plcreg.h"
#include "core/image/rtc.h"
#include "core/image/timebase.h"
#include "core/image/util.h"
#include "media/cfm.h"
#include "media/datalog.h"
#include "net/net.h"
#include "platform/plat.h"
#include "webhmi/weblife.h"
#include "webhmi/webusers.h"

std::array<char, 24> productId{};
char *pProduct = productId.data();
std::array<char, 20> KernelRev{};
uint16_t InitRdVer;
uint16_t SYS_lastLocalUser;
std::atomic<int> wdog{-1};
uint16_t cfi_state, cfdl_state, cfem_state, cfdbgl_state;

std::array<SysRcb, RCB_DATA_LINKS> rcbData;
std::array<SysRcb, RCB_SYSTEM_LINKS> rcbSystem;
std::array<SysRcb, RCB_THIRD_LINKS> rcbThird;
SysRcb *pRcb = rcbData.data();
uint32_t rcbLimit = RCB_DATA_LINKS;
uint32_t rcbIndex;

namespace {

constexpr uint16_t kFirmwareNumber = 570;
// The hardware check marks the identity image with 12 in bytes 4-5.
constexpr std::size_t kIdentityMarkAt = 4;
constexpr uint16_t kIdentityMark = 12;
constexpr uint32_t kWatchdogSeconds = 5;
constexpr std::size_t kRevByte = 108560;  // 10 bytes of KernelRev in the image
constexpr uint32_t W_INITRDVER = 54279;
constexpr std::size_t kBbrLimit = 106494;  // highest offset SYS_WriteCmd accepts
constexpr std::size_t kBbrEnd = 0x19FFF;

// Peripheral window of the SoC (pin control onward); the warm reset sets a
// bit in the persistent register at 0x3E090 of it.
constexpr uint32_t kSocBase = 0x80018000;
constexpr std::size_t kSocLen = 0x40000;
constexpr std::size_t kResetReg = 0x3E090;

uint8_t pack_option;
uint32_t bbr_alloc = 128;

// Program header: the first bytes of the program area (its CRC and length
// words, then the start of the program).
constexpr std::size_t kSegBytes = 24;
constexpr uint32_t kSegWriteMax = 5;

// Link specifications of the link variants: four bytes; the seven words of
// the clock image (fourteen bytes) from its first word on.
constexpr uint32_t kLink32 = 0x8004, kLinkClock = 0x800E;
constexpr uint32_t kClockBitAddress = 1024 + 16 * W_CLOCK;

// Width and byte count of a link from its specification word.
void LinkFormat(SysRcb &l, uint32_t format) {
    const uint32_t low6 = format & 63;
    if (format & 0x8000) {
        l.count = uint16_t(format & 127);
        l.width = uint16_t(8 * l.count);
    } else {
        switch ((format >> 6) & 3) {
        case 0:
            l.width = uint16_t(low6);
            l.count = uint16_t(((low6 + 7) / 8) | RCB_SIGN_FILL);
            break;
        case 3:
            l.count = uint16_t(format & 0x803F);
            l.width = uint16_t(8 * low6);
            break;
        default:
            l.width = uint16_t(low6);
            l.count = uint16_t((low6 + 7) / 8);
            break;
        }
    }
}

// Copies data (or zeros for null) into the battery-backed image within its
// bounds and stores it; answers the bytes changed.
uint32_t BbrStore(const uint8_t *data, uint32_t offset, uint32_t length) {
    if (offset > kBbrLimit || offset >= bbram.size()) return 0;
    std::size_t n = std::min<std::size_t>(length & 0xFFFF, kBbrEnd - offset);
    n = std::min(n, bbram.size() - offset);
    if (data != nullptr)
        std::memcpy(&bbram[offset], data, n);
    else
        std::memset(&bbram[offset], 0, n);
    SaveBBRAMFile();
    return uint32_t(n);
}

volatile uint32_t *SocWindow() {
    static volatile uint32_t *w = PLAT_SocMap(kSocBase, kSocLen);
    return w;
}

uint32_t ReadDigits(const char *abs) {
    char path[512];
    if (!PLAT_Path(abs, path, sizeof path)) return 0;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    uint32_t v = 0;
    char c;
    while (read(fd, &c, 1) == 1 && c >= '0' && c <= '9') v = (v * 10 + uint32_t(c - '0')) & 0xFFFF;
    close(fd);
    return v;
}

// Kernel revision: digits and '.' of the kernel text, from the first one
// kept to the first blank after it; the last two kept characters go to
// positions 7 and 8.
void ReadKernelRev() {
    KernelRev.fill(0);
    char path[512];
    if (!PLAT_Path("/dev/shm/rev.txt", path, sizeof path)) return;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    std::size_t kept = 0;
    char last[2] = {'0', '0'};
    char c;
    while (read(fd, &c, 1) == 1) {
        const bool digit = (c >= '0' && c <= '9') || c == '.';
        if (digit) {
            if (kept == 0 && c == '4') continue;  // a leading '4' is not kept
            if (kept + 1 < KernelRev.size()) KernelRev[kept] = c;
            kept++;
            last[0] = last[1];
            last[1] = c;
        } else if (kept != 0 && c == ' ') {
            break;
        }
    }
    close(fd);
    // With fewer than two kept characters the missing ones count as '0'.
    KernelRev[7] = last[0];
    KernelRev[8] = last[1];
    KernelRev[9] = 0;
}

unsigned LedState(uint32_t code, bool second) {
    switch (code) {
    case 1: return 1;
    case 2: return sysFlash ? 1 : 0;
    case 11: return second ? (sysFlash ? 0 : 1) : (sysFlash ? 1 : 0);
    case 12: return Flash100ms ? 1 : 0;
    default: return 0;
    }
}

// One mailbox channel handed to the card file manager.
void Handover(uint16_t &state, std::size_t req, std::size_t ack, std::size_t res, uint32_t (*load)(), tCFCB *block) {
    if (state == 0) {
        if (dpram[req] != dpram[ack] && load()) state = 2;
        return;
    }
    if (state == 2) {
        int16_t result = 0;
        if (CFM_PollReq(block, &result) == 4) {
            LE_Put16(&dpram[res], uint16_t(result));
            dpram[ack] = dpram[req];
            state = 0;
        }
        return;
    }
    state = 0;
}

// Value of a pseudo-register (992..1023); answers its byte count.
std::size_t PseudoRead(uint32_t number, uint8_t *out) {
    std::memset(out, 0, PSEUDO_MAX);
    const DprConfigRec &eth = Dpr_Configuration[0];
    auto image = [out](std::size_t byte) {
        const std::size_t n = std::min(PSEUDO_MAX, PLC_REG_SIZE - byte);
        std::memcpy(out, &plc_reg[byte], n);
        return n;
    };
    switch (number) {
    case 992: LE_Put32(out, eth.address); return 4;
    case 994: LE_Put32(out, eth.mask); return 4;
    case 1015: LE_Put32(out, eth.gateway); return 4;
    case 1016: LE_Put32(out, eth.dns); return 4;
    case 1017: std::memcpy(out, eth.text, sizeof eth.text); return sizeof eth.text;
    case 996: return image(108574);
    case 1002: out[0] = tavix_state() == TavixState::Running ? 1 : 0; return 1;
    case 1003: out[0] = tavix_LoggedUsers != 0 ? 1 : 0; return 1;
    case 1005: {
        const int16_t zone = int16_t(PlcWord(W_TZ));
        LE_Put16(out + 2, uint16_t(int16_t(zone % 60)));
        LE_Put16(out + 4, uint16_t(int16_t(zone / 60)));
        return 6;
    }
    case 1006: LE_Put16(out, PlcWord(W_DST)); return 2;
    case 1007: std::memcpy(out, &plc_reg[2 * W_UTC], 12); return 12;
    case 1008: return image(108588);
    case 1010: return image(108548);
    case 1011: return image(108550);
    case 1012: return image(108552);
    case 1013: return image(108554);
    case 1014: std::memcpy(out, &tinyImage[20], tinyImage.size() - 20); return tinyImage.size() - 20;
    case 1022: std::memcpy(out, KernelRev.data(), KernelRev.size()); return KernelRev.size();
    case 1023: LE_Put16(out, InitRdVer); return 2;
    default: return PSEUDO_MAX;
    }
}

void PseudoWrite(uint32_t number, const uint8_t *in, std::size_t n) {
    DprConfigRec &eth = Dpr_Configuration[0];
    auto image = [in, n](std::size_t byte) {
        std::memcpy(&plc_reg[byte], in, std::min({n, PSEUDO_MAX, PLC_REG_SIZE - byte}));
    };
    uint8_t v[PSEUDO_MAX] = {};
    std::memcpy(v, in, std::min(n, PSEUDO_MAX));
    switch (number) {
    // The Ethernet manager takes a new address set on its next pass.
    case 992:
        eth.address = LE_Get32(v);
        PassWork_NetChange();
        break;
    case 994:
        eth.mask = LE_Get32(v);
        PassWork_NetChange();
        break;
    case 1015:
        eth.gateway = LE_Get32(v);
        PassWork_NetChange();
        break;
    case 1016:
        eth.dns = LE_Get32(v);
        PassWork_NetChange();
        break;
    case 1017: std::memcpy(eth.text, v, sizeof eth.text); break;
    case 1005: {
        const int32_t minutes = int16_t(LE_Get16(v + 2));
        const int32_t hours = int16_t(LE_Get16(v + 4));
        PlcWordSet(W_TZ, uint16_t(int16_t(hours * 60 + minutes)));
        UtcUpdated = 1;
        break;
    }
    case 1006: PlcWordSet(W_DST, LE_Get16(v)); break;
    case 1007:
        std::memcpy(&plc_reg[2 * W_UTC], v, 12);
        UtcUpdated = 1;
        break;
    case 1008:
        image(108588);
        UtcUpdated = 1;
        break;
    default: break;  // read-only or no value
    }
}

bool IsPseudo(uint32_t a) { return a >= PSEUDO_FIRST && a <= PSEUDO_LAST; }

// Byte count of a link (bits 0-6 of the count field).
std::size_t LinkBytes(const SysRcb *l) { return l->count & 0x7F; }

}  // namespace

// ---- start-up ---------------------------------------------------------------------
void SYS_HardwareCheck() {
    tinyImage.fill(0);
    char path[512];
    if (PLAT_Path("/mnt/cfg/TINYIMGE.BIN", path, sizeof path)) {
        const int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            std::size_t got = 0;
            while (got < tinyImage.size()) {
                const ssize_t r = read(fd, &tinyImage[got], tinyImage.size() - got);
                if (r <= 0) break;
                got += std::size_t(r);
            }
            close(fd);
        }
    }
    LE_Put16(&tinyImage[kIdentityMarkAt], kIdentityMark);
    Etn_SetMacId(&tinyImage[8], 0);

    static constexpr const char *kSetup[] = {
        "killall -9 inetd",
        "echo 10 >  /proc/sys/vm/dirty_writeback_centisecs",
        "echo 20 >  /proc/sys/vm/dirty_expire_centisecs",
        "echo 0 > /proc/sys/net/ipv4/conf/eth0/arp_filter",
        "echo 0 > /proc/sys/net/ipv4/conf/eth1/arp_filter",
        "echo 1 > /proc/sys/net/ipv4/conf/all/arp_ignore",
        "echo 1 > /proc/sys/net/ipv4/conf/all/proxy_arp",
        "echo 5 > /proc/sys/net/ipv4/tcp_retries2",
        "uname -a > /dev/shm/rev.txt",
    };
    for (const char *cmd : kSetup) PLAT_System(cmd);

    if (PLAT_Path("/sys/class/graphics/fbcon/cursor_blink", path, sizeof path)) {
        const int fd = open(path, O_WRONLY | O_CLOEXEC);
        if (fd >= 0) {
            const uint8_t zero = 0;
            const ssize_t r = write(fd, &zero, 1);
            (void)r;
            close(fd);
        }
    }

    ReadKernelRev();
    InitRdVer = uint16_t(ReadDigits("/usr/version"));
    SYS_PutSystemVariables();
}

void SYS_PutSystemVariables() {
    PlcWordSet(W_INITRDVER, InitRdVer);
    std::memcpy(&plc_reg[kRevByte], KernelRev.data(), 10);
}

uint32_t SYS_KernelRevNumber() {
    const uint8_t *t = &plc_reg[kRevByte];
    return (t[4] & 15u) * 1000 + (t[5] & 15u) * 100 + (t[7] & 15u) * 10 + (t[8] & 15u);
}

uint32_t SYS_Init(char *product) {
    std::snprintf(product, productId.size(), "Controller: %.5s", SYS_VersionText);
    PlcWordSet(W_FWNUM, kFirmwareNumber);
    struct sigaction sa {};
    sa.sa_handler = ExceptionISR;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    // What the fatal-signal path uses is set up before any signal can arrive.
    SocWindow();
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) sigaction(sig, &sa, nullptr);
    DLOG_Init();
    return fwload_set_def ? 1 : 0;
}

// ---- watchdog -------------------------------------------------------------------------
// The board's re-open of a watchdog that landed on descriptor 6 (behind
// "/usr/version") is not kept: which descriptor the device gets is the
// platform layer's, and nothing here depends on it.
void StartWatchdog() {
    if (WatchDogDisable) return;
    if (wdog < 0 && PLAT_WdtOpen() == 0) wdog = 1;
    if (wdog >= 0) PLAT_WdtSetTimeout(int(kWatchdogSeconds));
}

void TickleWatchdogReal() {
    if (wdog >= 0) PLAT_WdtWrite('w');
}

void StopWatchdog() {
    if (wdog < 0) return;
    PLAT_WdtWrite('V');
    PLAT_WdtClose();
    wdog = -1;
}

void set_watchdog_time(uint32_t seconds) {
    if (wdog >= 0) PLAT_WdtSetTimeout(int(seconds));
}

// ---- reset ------------------------------------------------------------------------------
void SYS_WarmReset() {
    // The IEC application stops as at the controller's end: its retained
    // values are written before the reset.
    if (DrevanoRuntime) DrevanoStop();
    volatile uint32_t *w = SocWindow();
    if (w != nullptr) w[kResetReg / 4] = 0x8000;
    AutoSaveRegisters();
    PLAT_System("sync");
    PLAT_WarmReset();
}

void SYS_WarmResetNow() {
    volatile uint32_t *w = SocWindow();  // mapped at start-up (SYS_Init)
    if (w != nullptr) w[kResetReg / 4] = 0x8000;
    // The IEC application's retained values, unless the fault left the
    // runtime at work (then its file of the last save stays).
    if (DrevanoRuntime) IecHook_RetainSave(MF_Z7RET, IecRetainForm::Signal);
    AutoSaveRegistersNow();
    PLAT_SyncNow();
    PLAT_WarmResetNow();
}

void SYS_VDG() {
    DeleteProgram();
    DelAutoRegFile();
    ClrRegFile();
    PLAT_System("sync");
    PLAT_WarmReset();
}

// ---- LEDs -------------------------------------------------------------------------------
void SYS_SetStatusLeds(uint32_t first, uint32_t second) {
    PLAT_LedCodes(first, second);
    PLAT_Leds(LedState(first, false), LedState(second, true));
}

uint32_t SYS_GetOkLed() {
    if (PlcWord(W_PORTPROTO) == 0 || (plc_reg[SBITS_HI] & S_FORCING)) return 2;
    return PlcWord(W_FAULT_SHOWN) == 0 ? 1 : 0;
}

uint32_t SYS_GetRunLed() {
    const uint16_t mode = PlcWord(W_MODE);
    if (mode == 0) return 0;
    if (mode == 2 && LE_Get16(&ladder_bl[MF_HDR]) != 9) return 1;
    return 2;
}

// ---- mailbox hand-over --------------------------------------------------------------------
void SYS_Update() {
    Handover(cfi_state, DP_FILE_REQ, DP_FILE_ACK, DP_FILE_RES, CFM_LoadDpramReq, pDpramCFCB);
    Handover(cfdl_state, DP_DLOG_REQ, DP_DLOG_ACK, DP_DLOG_RES, CFM_LoadLoggerReq, pLoggerCFCB);
    Handover(cfem_state, DP_MAIL_REQ, DP_MAIL_ACK, DP_MAIL_RES, CFM_LoadEmailReq, pEmailCFCB);
    Handover(cfdbgl_state, DP_DBGL_REQ, DP_DBGL_ACK, DP_DBGL_RES, CFM_LoadDBGLoggerReq, pDbgLoggerCFCB);
}

// ---- register links -------------------------------------------------------------------------
void SYS_ResetRCBs(uint32_t mode) {
    switch (mode) {
    case 0:
        pRcb = rcbData.data();
        rcbLimit = RCB_DATA_LINKS;
        break;
    case 1:
        pRcb = rcbSystem.data();
        rcbLimit = RCB_SYSTEM_LINKS;
        break;
    default:
        pRcb = rcbThird.data();
        rcbLimit = RCB_THIRD_LINKS;
        break;
    }
    std::fill(pRcb, pRcb + rcbLimit, SysRcb{});
    rcbIndex = 0;
}

void SYS_LoadRCBs() {}

SysRcb *SYS_LinkReg(uint32_t address, uint32_t format) {
    if (rcbIndex >= rcbLimit) return nullptr;
    SysRcb &l = pRcb[rcbIndex];
    LinkFormat(l, format);
    l.base = address;
    l.address = address;
    rcbIndex++;
    return &l;
}

SysRcb *SYS_32LinkReg(uint32_t address) { return SYS_LinkReg(address, kLink32); }

SysRcb *SYS_ChgLink(SysRcb *link, uint32_t address) {
    if (link == nullptr) return nullptr;
    link->base = address;
    link->address = address;
    return link;
}

SysRcb *SYS_ModLink(SysRcb *link, uint32_t format) {
    if (link == nullptr) return nullptr;
    LinkFormat(*link, format);
    return link;
}

SysRcb *SYS_InitRTC() { return SYS_LinkReg(kClockBitAddress, kLinkClock); }

void SYS_WriteRogueRCB(const SysRcb *link, uint32_t offset, uint32_t width, const uint8_t *data) {
    if (link == nullptr || data == nullptr) return;
    uint8_t *p = PlcReg_Ptr(link->base + offset, width);
    if (p == nullptr) return;
    std::memcpy(p, data, (width + 7) / 8);
}

void SYS_ReadReg(uint8_t *out, const SysRcb *link, uint32_t length) {
    if (out == nullptr || link == nullptr) return;
    uint8_t value[PSEUDO_MAX] = {};
    const std::size_t count = LinkBytes(link);
    if (IsPseudo(link->address)) {
        PseudoRead(link->address, value);
    } else if (link->width != 0) {
        PlcReg_Get(value, link->address, link->width);
    }
    const std::size_t n = std::min<std::size_t>(count, length);
    std::memcpy(out, value, n);
    const bool negative = (link->count & RCB_SIGN_FILL) && count != 0 && (value[count - 1] & 0x80);
    if (length > n) std::memset(out + n, negative ? 0xFF : 0, length - n);
}

void SYS_WriteReg(const SysRcb *link, const uint8_t *data, uint32_t length) {
    if (link == nullptr || data == nullptr) return;
    const std::size_t count = LinkBytes(link);
    uint8_t value[PSEUDO_MAX] = {};
    const std::size_t n = std::min<std::size_t>(count, length);
    std::memcpy(value, data, n);
    const bool negative = (link->count & RCB_SIGN_FILL) && n != 0 && (data[n - 1] & 0x80);
    if (count > n) std::memset(value + n, negative ? 0xFF : 0, count - n);
    if (IsPseudo(link->address)) {
        PseudoWrite(link->address, value, count);
    } else if (link->width != 0) {
        PlcReg_Set(link->address, value, link->width);
    }
}

// ---- system registers by number ---------------------------------------------------------------
uint16_t SYS_ReadSys(uint32_t n) {
    if (n > PLC_REG_SIZE / 2 - 128) return 0;
    return PlcWord(SR_WORD(n));
}

uint32_t SYS_WriteSys(uint32_t n, uint16_t value) {
    if (n == 1) SYS_lastLocalUser = value;
    uint8_t v[2];
    LE_Put16(v, value);
    return PlcReg_Set(16 * (n + 191), v, 16);
}

uint16_t SYS_RunMode() { return PlcWord(W_MODE); }

// ---- battery-backed image and helpers -------------------------------------------------------------
uint32_t SYS_ReadCmd(uint8_t *out, uint32_t offset, uint32_t length) {
    if (out == nullptr || offset >= bbram.size()) return 0;
    const std::size_t n = std::min<std::size_t>(length, bbram.size() - offset);
    std::memcpy(out, &bbram[offset], n);
    return uint32_t(n);
}

uint32_t SYS_WriteCmd(const uint8_t *data, uint32_t offset, uint32_t length) {
    return data == nullptr ? 0 : BbrStore(data, offset, length);
}

uint32_t SYS_ClearCmd(uint32_t offset, uint32_t length) { return BbrStore(nullptr, offset, length); }

uint32_t SYS_ReadSeg(uint32_t index, uint32_t wide) {
    const std::size_t step = wide ? 4 : 2;
    if (index >= kSegBytes / step) return 0;
    const uint8_t *p = &ladder_bl[index * step];
    return wide ? LE_Get32(p) : LE_Get16(p);
}

uint32_t SYS_WriteSeg(uint32_t index, uint32_t value, uint32_t wide) {
    if (index > kSegWriteMax) return 0;
    if (wide)
        LE_Put32(&ladder_bl[4 * index], value);
    else
        LE_Put16(&ladder_bl[2 * index], uint16_t(value));
    return 1;
}

uint32_t SYS_Test() { return (LE_Get16(&tinyImage[kIdentityMarkAt]) == kIdentityMark && productId[0] != 0) ? 1 : 0; }

uint32_t SYS_GetMACID(uint8_t *out) {
    std::memcpy(out, tinyImage.data(), tinyImage.size());
    return 1;
}

uint8_t SYS_PackRegs(uint8_t option) {
    const uint8_t old = pack_option;
    pack_option = option;
    return old;
}

uint32_t SYS_ValidateParmTbl(const uint8_t *table, std::size_t length) {
    if (table == nullptr || length < 12) return 0;
    return (LE_Get16(table) == 8 && LE_Get16(table + 2) == crc16(table + 4, 8)) ? 1 : 0;
}

void SYS_InitBBR() { bbr_alloc = 128; }

uint32_t SYS_AllocBBR(uint32_t bytes) {
    const uint32_t at = bbr_alloc;
    bbr_alloc += (bytes + 1) & ~1u;
    return at;
}

uint32_t SYS_ExpandBBR(uint32_t bytes) {
    bbr_alloc += (bytes + 1) & ~1u;
    return bbr_alloc;
}

// ---- LED blinker during long updates ------------------------------------------------------------
// A child process toggles both status LEDs every 500 ms until it is killed;
// answers its process id, 0 when the fork failed.
pid_t SetStatusLeds_fork() {
    const pid_t pid = fork();
    if (pid < 0) return 0;
    if (pid == 0) {
        PLAT_ChildDieWithParent();
        // The blinker needs none of the controller's descriptors (port, files, sockets).
        close_range(3, ~0u, 0);
        for (unsigned on = 1;; on ^= 1u) {
            PLAT_Leds(on, on);
            usleep(500000);
        }
    }
    PLAT_ChildAdd(pid, "ledblink");
    return pid;
}
