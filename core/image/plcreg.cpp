// Register image, bit addressing and validated register access.
#include "core/image/plcreg.h"

#include <cstdio>
#include <atomic>
#include <cstring>
#include <mutex>

#include "core/image/iecrt.h"
#include "core/image/rtc.h"
#include "core/image/syshook.h"
#include "core/image/util.h"
#include "platform/plat.h"

alignas(8) std::array<uint8_t, PLC_REG_SIZE> plc_reg{};
alignas(8) std::array<uint8_t, PLC_REG_SIZE> old_reg{};

const char SYS_VersionText[] = "15.50 12-Apr-2021";

const std::array<RegTypeInfo, RT_COUNT> reg_types = {{
    {"IG", 0, 256, BA_IG},
    {"QG", 0, 256, BA_QG},
    {"S", 0, 256, BA_S},
    {"K", 0, 256, BA_K},
    {"AIG", 1, 32, BA_AIG},
    {"AQG", 1, 32, BA_AQG},
    {"SR", 1, 192, BA_SR},
    {"F", 1, 128, BA_F},
    {"I", 0, 2048, BA_I},
    {"Q", 0, 2048, BA_Q},
    {"T", 0, 2048, BA_T},
    {"M", 0, 2048, BA_M},
    {"AI", 1, 512, BA_AI},
    {"AQ", 1, 512, BA_AQ},
    {"R", 1, 50240, BA_R},
    {"ET", 0, 16384, REG_ET_FIRST},
    {"EM", 0, 16384, REG_EM_FIRST},
    {"ESR", 1, 256, REG_ESR_FIRST},
}};

namespace {

constexpr std::array<SrInfo, 192> MakeSrInfo() {
    std::array<SrInfo, 192> t{};
    // Read-only by default: width 16, minimum above maximum.
    for (auto &r : t) r = {16, 1, 0};
    auto set = [&t](unsigned n, uint8_t w, uint32_t lo, uint32_t hi) { t[n - 1] = {w, lo, hi}; };
    auto zero = [&t](unsigned n) { t[n - 1] = {0, 0, 0}; };
    // 32-bit read-only registers and their second words.
    for (unsigned n :
         {11u, 13u, 15u, 17u, 19u, 21u, 35u, 53u, 113u, 115u, 117u, 119u, 121u, 123u, 139u, 143u, 145u, 149u}) {
        set(n, 32, 1, 0);
        zero(n + 1);
    }
    for (unsigned n : {66u, 78u, 90u, 102u}) {  // 96-bit read-only registers
        set(n, 96, 1, 0);
        for (unsigned k = 1; k < 6; k++) zero(n + k);
    }
    set(131, 80, 1, 0);
    for (unsigned k = 1; k < 5; k++) zero(131 + k);
    zero(61);
    zero(142);
    // Writable registers.
    set(1, 16, 0, 0);
    set(2, 16, 0, 0);
    set(3, 16, 0, 25);
    set(5, 16, 0, 4);
    set(9, 16, 0, 65535);
    set(10, 16, 0, 65535);
    set(29, 16, 1, 127);
    set(30, 16, 0, 4);
    set(32, 16, 1, 40);
    set(33, 16, 0, 1);
    set(34, 16, 0, 1);
    set(44, 96, 0, 59);
    set(47, 48, 1, 31);
    set(57, 16, 0, 255);
    set(58, 16, 0, 65535);
    set(62, 16, 0, 65535);
    set(63, 16, 0, 0);
    set(151, 16, 0, 65535);
    set(152, 16, 0, 4);
    set(153, 16, 0, 15);
    set(154, 16, 0, 65535);
    set(155, 16, 135, 1500);
    set(156, 16, 0, 65535);
    set(157, 32, 0, 0xFFFFFFFFu);
    zero(158);
    set(159, 32, 0, 0xFFFFFFFFu);
    zero(160);
    set(161, 32, 0, 0xFFFFFFFFu);
    zero(162);
    for (unsigned n = 163; n <= 166; n++) set(n, 16, 0, 65535);
    set(167, 16, 2, 50);
    for (unsigned n = 168; n <= 170; n++) set(n, 16, 0, 65535);
    set(171, 16, 0, 240);
    set(172, 16, 0, 320);
    set(173, 16, 0, 1);
    set(174, 16, 0, 65535);
    set(175, 16, 0, 65535);
    set(176, 32, 0, 0xFFFFFFFFu);
    zero(177);
    set(178, 32, 0, 0xFFFFFFFFu);
    zero(179);
    set(180, 16, 0, 2);
    set(181, 32, 0, 0xFFFFFFFFu);
    set(182, 16, 0, 65535);
    for (unsigned n = 183; n <= 185; n++) set(n, 16, 0, 1);
    set(186, 16, 5, 1200);
    set(188, 16, 0, 1000);
    set(189, 16, 0, 1000);
    set(191, 16, 0, 1000);
    set(192, 16, 0, 1000);
    // Clock fields: read-only here, their ranges serve the IEC bindings.
    set(45, 0, 0, 59);
    set(46, 0, 0, 23);
    set(48, 0, 1, 12);
    set(49, 0, 1900, 1999);
    set(50, 0, 1, 7);
    return t;
}

constexpr std::array<uint8_t, 8> kMask = {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80};
constexpr char kMarker[8] = {'W', 'A', 'T', 'C', 'H', 'B', 'A', 'T'};

// Byte of the image that holds bit address a, or -1 outside the four windows.
int64_t WindowByte(uint32_t a) {
    if (a >= REG_LIN_FIRST && a < REG_LIN_END) return (a - REG_LIN_FIRST) / 8;
    if (a >= REG_ET_FIRST && a < REG_ET_END) return int64_t(REG_ET_BYTE) + (a - REG_ET_FIRST) / 8;
    if (a >= REG_EM_FIRST && a < REG_EM_END) return int64_t(REG_EM_BYTE) + (a - REG_EM_FIRST) / 8;
    if (a >= REG_ESR_FIRST && a < REG_ESR_END) return int64_t(REG_ESR_BYTE) + (a - REG_ESR_FIRST) / 8;
    return -1;
}

bool IecInUse() { return DrevanoRuntime != 0 && drevano_variables_enumerateded != 0 && PlcReg_IecLocate != nullptr; }

uint32_t Iec_Type(uint32_t h) { return (h >> 26) & 7; }
uint32_t Iec_Bit(uint32_t h) { return (h >> 20) & 0x3F; }
bool Iec_Complex(uint32_t h) { return (h & (1u << 29)) != 0; }
constexpr std::array<uint32_t, 8> kIecElemSize = {1, 2, 4, 8, 0, 0, 1, 0};

uint64_t ReadElem(const uint8_t *p, uint32_t size) {
    uint64_t v = 0;
    for (uint32_t i = 0; i < size; i++) v |= uint64_t(p[i]) << (8 * i);
    return v;
}
void WriteElem(uint8_t *p, uint32_t size, uint64_t v) {
    for (uint32_t i = 0; i < size; i++) p[i] = uint8_t(v >> (8 * i));
}

uint32_t IecSet(uint32_t h, const uint8_t *src, uint32_t width) {
    if (OLPMode) return 0;
    const uint32_t type = Iec_Complex(h) ? 0 : Iec_Type(h);
    if (!Iec_Complex(h) && type == 7) return 1;
    uint8_t *e = PlcReg_IecLocate(h, width);
    if (e == nullptr) return 0;
    const uint32_t bit = Iec_Bit(h);
    if (width == 1) {
        const uint32_t size = kIecElemSize[type];
        if (size == 0 || bit >= 8 * size) return 0;
        uint64_t v = ReadElem(e, size);
        v = src[0] ? (v | (uint64_t(1) << bit)) : (v & ~(uint64_t(1) << bit));
        WriteElem(e, size, v);
        return 1;
    }
    // With a bit number only packed bits (type 6) are written.
    if (bit != 0 && (Iec_Complex(h) || type != 6)) return 0;
    if (!Iec_Complex(h) && type == 4) {
        // String record {maximum, current length, characters}: never past its maximum.
        const uint32_t room = e[0];
        if (room < width / 8) return 0;
        uint32_t len = uint32_t(strnlen(reinterpret_cast<const char *>(src), width / 8));
        if (len > room) len = room;
        e[1] = uint8_t(len);
        std::memcpy(e + 2, src, len);
        return 1;
    }
    if (!Iec_Complex(h) && type == 6) {
        Drevano_Bit_To_Byte(src, e, width);
        return 1;
    }
    std::memcpy(e, src, width / 8);
    return 1;
}

uint32_t IecGet(uint32_t h, uint8_t *dst, uint32_t width) {
    const uint32_t type = Iec_Complex(h) ? 0 : Iec_Type(h);
    const bool string = !Iec_Complex(h) && type == 4;
    const uint8_t *e = PlcReg_IecLocate(h, width);
    if (e == nullptr) return string ? 1 : 0;  // an unset string reads as nothing
    const uint32_t bit = Iec_Bit(h);
    if (width == 1) {
        const uint32_t size = kIecElemSize[type];
        dst[0] = (size != 0 && bit < 32 && bit < 8 * size) ? uint8_t((ReadElem(e, size) >> bit) & 1) : 0;
        return 1;
    }
    if (string) {
        // Never more than the record holds, whatever its length byte says.
        uint32_t n = e[1] < e[0] ? e[1] : e[0];
        if (n > width / 8) n = width / 8;
        std::memcpy(dst, e + 2, n);
        return 1;
    }
    if (!Iec_Complex(h) && type == 6) {
        Drevano_Byte_To_Bit(e, dst, width);
        return 1;
    }
    if (bit == 0 || Iec_Complex(h) || type > 2) {
        std::memcpy(dst, e, width / 8);
        return 1;
    }
    // A bit number with a wider width: each output element is 1 when the
    // element shifted by the bit number (or the carry from the next one) is
    // set. The last element has no next one inside the located range.
    const uint32_t esize = kIecElemSize[type];
    const uint32_t ebits = 8 * esize;
    const uint32_t count = width / ebits;
    const uint64_t mask = ebits == 64 ? ~uint64_t(0) : ((uint64_t(1) << ebits) - 1);
    for (uint32_t i = 0; i < count; i++) {
        const uint64_t cur = ReadElem(e + i * esize, esize);
        const uint64_t nxt = i + 1 < count ? ReadElem(e + (i + 1) * esize, esize) : 0;
        const bool on = bit < ebits && (((cur << bit) & mask) != 0 || (nxt >> (ebits - bit)) != 0);
        WriteElem(dst + i * esize, esize, on ? 1 : 0);
    }
    return 1;
}

}  // namespace

const std::array<SrInfo, 192> sr_info = MakeSrInfo();
uint8_t OLPMode;
uint8_t RegTokLen_16b = 1;

uint8_t *(*PlcReg_IecLocate)(uint32_t handle, uint32_t width);

uint8_t *PlcReg_Ptr(uint32_t address, uint32_t width) {
    if (PlcReg_IsIecHandle(address)) return IecInUse() ? PlcReg_IecLocate(address, width) : nullptr;
    if (address < REG_LIN_FIRST) return nullptr;
    if (uint64_t(address) + width > REG_ADDR_LIMIT) return nullptr;
    const int64_t byte = WindowByte(address);
    if (byte < 0) return nullptr;
    // Only the start selects the window, but no access may end past the image.
    const uint64_t bits = uint64_t(address % 8) + width;
    if (uint64_t(byte) + (bits + 7) / 8 > PLC_REG_SIZE) return nullptr;
    return &plc_reg[size_t(byte)];
}

uint8_t *OldReg_Ptr(uint32_t address, uint32_t width) {
    if (address < REG_LIN_FIRST || uint64_t(address) + width > REG_ADDR_LIMIT) return nullptr;
    const uint64_t byte = (address - REG_LIN_FIRST) / 8;
    if (byte + (uint64_t(address % 8) + width + 7) / 8 > PLC_REG_SIZE) return nullptr;
    return &old_reg[size_t(byte)];
}

uint32_t PlcReg_Get(void *buffer, uint32_t address, uint32_t width) {
    auto *dst = static_cast<uint8_t *>(buffer);
    if (PlcReg_IsIecHandle(address) && IecInUse() && !OLPMode) return IecGet(address, dst, width);
    const uint8_t *p = PlcReg_Ptr(address, width);
    if (p == nullptr) return 0;
    if (width == 1) {
        dst[0] = (p[0] & kMask[address % 8]) ? 1 : 0;
        return 1;
    }
    std::memcpy(dst, p, width / 8);
    return 1;
}

uint32_t PlcReg_Set(uint32_t address, const void *buffer, uint32_t width) {
    const auto *src = static_cast<const uint8_t *>(buffer);
    if (address >= BA_SR && address < BA_F && address != SR_ADDR(9)) {
        // The clock image: the whole clock, the time of day or the date go to
        // the real-time clock. Other widths at %SR44 are validated like any
        // register below (its row allows 0..59); %SR47 takes only the date.
        if (address == SR_ADDR(44) && width == 96) {
            uint16_t rec[7];
            for (unsigned i = 0; i < 6; i++) rec[i] = LE_Get16(src + 2 * i);
            rec[6] = PlcWord(W_CLOCK + 6);  // day of week as it stands
            return RtcSet(rec) ? 1 : 0;
        }
        if (width == 48 && (address == SR_ADDR(44) || address == SR_ADDR(47))) {
            uint16_t w[3];
            for (unsigned i = 0; i < 3; i++) w[i] = LE_Get16(src + 2 * i);
            return (address == SR_ADDR(44) ? RtcTimeSet(w) : RtcDateSet(w)) ? 1 : 0;
        }
        if (address == SR_ADDR(47)) return 0;
        const uint32_t n = (address - BA_SR) / 16 + 1;  // %SR n
        const SrInfo &row = sr_info[n - 1];
        if (width > row.width || width > 32) return 0;
        // The words whose writes act (mode, network id, CAN rate, port
        // protocol) are written whole, at their start: a write of some of
        // their bits would change them behind the action's back.
        if ((n == 5 || n == 29 || n == 30 || n == 34) && address != SR_ADDR(n)) return 0;
        uint32_t value = 0;
        for (uint32_t i = 0; i < (width + 7) / 8; i++) value |= uint32_t(src[i]) << (8 * i);
        if (value < row.min || value > row.max) return 0;
        switch (address) {
        case SR_ADDR(5): SysHook_SetPlcMode(uint8_t(value)); return 1;
        case SR_ADDR(29):
            if (int64_t(value) > 128 - int64_t(PlcWord(188))) return 0;
            PlcWordSet(W_NETID, uint16_t(value));
            SysHook_NetInit();
            PlcWordSet(W_FAULT, PlcWord(W_FAULT) & ~0x20);
            return 1;
        case SR_ADDR(30):
            PlcWordSet(W_CANRATE, uint16_t(value));
            SysHook_NetInit();
            return 1;
        case SR_ADDR(34): SysHook_PortInit(uint8_t(value)); return 1;
        case SR_ADDR(32):
        case SR_ADDR(167):
        case SR_ADDR(180):
        case SR_ADDR(183):
        case SR_ADDR(185):
        case SR_ADDR(186): PlcWordSet((address - BA_IG) / 16, uint16_t(value)); return 1;
        default: break;
        }
    } else if (PlcReg_IsIecHandle(address) && DrevanoRuntime) {
        return IecInUse() ? IecSet(address, src, width) : 0;
    }
    uint8_t *p = PlcReg_Ptr(address, width);
    if (p == nullptr) return 0;
    if (width == 1) {
        if (src[0])
            p[0] |= kMask[address % 8];
        else
            p[0] &= uint8_t(~kMask[address % 8]);
        return 1;
    }
    std::memcpy(p, src, width / 8);
    return 1;
}

void PlcOldInit() { old_reg = plc_reg; }

int PlcBatCheck() { return std::memcmp(&plc_reg[REG_MARKER_BYTE], kMarker, 8) == 0 ? 1 : 0; }

namespace {
void ZeroBytes(size_t first, size_t last) {  // inclusive
    std::memset(&plc_reg[first], 0, last - first + 1);
}
// Zeroes every register of a type, where reg_types places it in the image.
void ZeroType(RegType t) {
    const RegTypeInfo &r = reg_types[t];
    const size_t bytes = r.word ? 2 * size_t(r.count) : size_t(r.count) / 8;
    std::memset(&plc_reg[size_t(WindowByte(r.base))], 0, bytes);
}
}  // namespace

void PlcTmpClear() {
    ZeroType(RT_K);
    ZeroType(RT_Q);
    ZeroType(RT_T);  // %T of the 16-bit layout
    ZeroType(RT_AQ);
    ZeroType(RT_ET);
    PlcWordSet(184, 255);
    PlcWordSet(185, 0);
    PlcWordSet(189, 0);
    PlcWordSet(311, 0);
    plc_reg[SBITS_HI] &= uint8_t(~(S_SUS_SCAN | S_RES_SCAN));
}

void PlcRegClear() {
    if (DrevanoRuntime) {
        DrevanoStop();
        char path[512];
        if (PLAT_Path("/mnt/cfg/z7.ret", path, sizeof path) && std::remove(path) != 0) std::perror("Remove_error: ");
        return;
    }
    PlcTmpClear();
    for (RegType t : {RT_IG, RT_QG, RT_AIG, RT_AQG, RT_I, RT_M /* of the 16-bit layout */, RT_AI, RT_R, RT_EM})
        ZeroType(t);
}

void PlcRegInit(uint32_t cold) {
    if (cold) {
        std::memcpy(&plc_reg[REG_MARKER_BYTE], kMarker, 8);
        PlcRegClear();
    } else {
        PlcTmpClear();
    }
    const uint8_t *mac = &tinyImage[8];
    plc_reg[2 * W_MAC] = mac[5];
    plc_reg[2 * W_MAC + 1] = mac[4];
    plc_reg[2 * W_MAC + 2] = mac[3];
    plc_reg[2 * W_MAC + 3] = mac[2];
    PlcWordSet(133, 0);

    auto digit = [](char c) { return (c >= '0' && c <= '9') ? c - '0' : 0; };
    const char *v = SYS_VersionText;
    PlcWordSet(W_FWVER, uint16_t(digit(v[0]) * 1000 + digit(v[1]) * 100 + digit(v[3]) * 10 + digit(v[4])));

    dstActive = PlcWord(W_DST);
    PlcWordSet(186, 0);
    PlcWordSet(187, 2);
    PlcWordSet(167, 0);
    PlcWordSet(168, 0);
    PlcWordSet(169, 0);
    PlcWordSet(170, 255);

    uint16_t clock[7] = {};
    RtcGet(clock);
    if (!RtcCheck(clock)) {
        const uint16_t reset[7] = {0, 0, 0, 1, 1, 1900, 0};
        std::memcpy(clock, reset, sizeof clock);
        RtcSet(clock);
        PlcWordSet(W_FAULT, PlcWord(W_FAULT) | FAULT_CLOCK);
    }
    for (unsigned i = 0; i < 7; i++) PlcWordSet(W_CLOCK + i, clock[i]);
    RtcImage_SyncUtc();
    timezoneValue = int16_t(PlcWord(W_TZ));
    timezoneAdvance = timezoneModField = (PlcWord(W_TZ) & 0x8000) ? 0 : 1;

    for (uint32_t w : {33u,  34u,  178u, 183u, 185u, 190u, 276u, 277u, 280u, 283u,
                       293u, 295u, 298u, 299u, 301u, 302u, 303u, 305u, 308u, 309u})
        PlcWordSet(w, 0);
    for (uint32_t w = 35; w <= 44; w++) PlcWordSet(w, 0);
    for (uint32_t w = 314; w <= 319; w++) PlcWordSet(w, 0);
    ZeroBytes(108604, 109081);
    PlcWordSet(180, 65535);
    PlcWordSet(181, 65535);
    PlcWordSet(282, 1500);
    plc_reg[SBITS_LO] = S_ALWAYS_ON;
    plc_reg[SBITS_HI] &= uint8_t(~S_HI_CLEARED);
}

void VmDbWordSR_MinMax(uint16_t *min, uint16_t *max, uint32_t row) {
    if (row >= sr_info.size()) {
        *min = 1;
        *max = 0;
        return;
    }
    *min = uint16_t(sr_info[row].min);
    *max = uint16_t(sr_info[row].max);
}

namespace {
std::recursive_mutex reg_guard;
std::atomic<int> reg_waiters;

// Counted while waiting, so that the main loop can let a waiting thread in.
void Enter() {
    reg_waiters.fetch_add(1);
    reg_guard.lock();
    reg_waiters.fetch_sub(1);
}
}  // namespace

void PlcReg_Lock() { reg_guard.lock(); }
void PlcReg_Unlock() { reg_guard.unlock(); }
int PlcReg_Waiters() { return reg_waiters.load(); }

uint32_t PlcReg_GetGuarded(void *buffer, uint32_t address, uint32_t width) {
    Enter();
    const uint32_t r = PlcReg_Get(buffer, address, width);
    reg_guard.unlock();
    return r;
}

uint32_t PlcReg_SetGuarded(uint32_t address, const void *buffer, uint32_t width) {
    Enter();
    const uint32_t r = PlcReg_Set(address, buffer, width);
    reg_guard.unlock();
    return r;
}
