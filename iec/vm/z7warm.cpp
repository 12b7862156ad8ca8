// Retained variables: the retain descriptor in the database header, the
// retain file written at stop (crash-safe: a new file replaces the old one
// whole) and read back at a cold start when its layout signature matches.
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/image/bytes.h"
#include "core/storage/memfile.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7str.h"
#include "iec/vm/z7vm.h"
#include "platform/plat.h"

namespace {
constexpr uint32_t kRuns = 6;  // 8-bit, 16-bit, 32-bit, 64-bit, TIME, strings
constexpr uint32_t kRunSec[kRuns] = {Z7SEC_D8, Z7SEC_D16, Z7SEC_D32, Z7SEC_D64, Z7SEC_TIME, Z7SEC_STRPTR};
constexpr uint32_t kRunWidth[kRuns] = {1, 2, 4, 8, 4, 0};
// u16 words of the retain definition: {count, first} per run, in descriptor order.
constexpr uint32_t kRunWord[kRuns] = {32, 40, 34, 42, 36, 38};

struct Layout {
    uint32_t addr[kRuns + 1];  // the six runs, then the complex-type area
    uint32_t size[kRuns + 1];
    uint32_t sig;
    uint32_t total;  // file bytes including the signature
};

Layout Read(uint32_t db) {
    Layout l{};
    const uint32_t hd = Z7VM_Header(db);
    for (uint32_t r = 0; r < kRuns; r++) {
        l.addr[r] = Z7Mem_Get32(hd + HD_RET_ADDR + 4 * r);
        l.size[r] = Z7Mem_Get16(hd + HD_RET_SIZE + 2 * r);
    }
    l.addr[kRuns] = Z7Mem_Get32(hd + HD_RET_CTADDR);
    l.size[kRuns] = Z7Mem_Get32(hd + HD_RET_CTSIZE);
    l.sig = Z7Mem_Get32(hd + HD_RET_SIG);
    l.total = 4;
    for (uint32_t r = 0; r <= kRuns; r++) {
        if (l.size[r] != 0 && Z7Mem_Ptr(l.addr[r], l.size[r]) == nullptr) l.size[r] = 0;
        l.total += l.size[r];
    }
    return l;
}

// Fills the descriptor from the retain definition of code; 1 when a run does
// not fit its section or 65,535 bytes.
uint32_t Prepare(uint32_t code, uint32_t db) {
    const uint32_t hd = Z7VM_Header(db);
    if (hd == 0) return 1;
    uint8_t *p = Z7Mem_Ptr(hd + HD_RET_ADDR, HD_RET_CTSIZE + 4 - HD_RET_ADDR);
    std::memset(p, 0, HD_RET_CTSIZE + 4 - HD_RET_ADDR);
    Z7Mem_Put32(hd + HD_RET_ADDR + 4 * 5, Z7Sec_Addr(db, Z7SEC_STRPTR));
    const uint32_t def = Z7VMCode_GetRetainDef(code);
    if (def == 0) return 0;
    for (uint32_t r = 0; r < kRuns; r++) {
        const uint32_t count = Z7Mem_Get16(def + 2 * kRunWord[r]), first = Z7Mem_Get16(def + 2 * kRunWord[r] + 2);
        if (count == 0) continue;
        if (first + count > Z7Sec_Get(db, kRunSec[r], SD_ALLOC)) return 1;
        uint32_t addr, size = 0;
        if (r < 5) {
            addr = Z7Sec_Elem(db, kRunSec[r], first);
            size = count * kRunWidth[r];
        } else {
            // retained strings lie in consecutive slots
            addr = Z7VMStr_Slot(db, first);
            for (uint32_t n = first; n < first + count; n++) {
                const uint32_t slot = Z7VMStr_Slot(db, n);
                if (slot == 0 || slot != addr + size) return 1;
                size += Z7Mem_Get8(slot) + 3u;
            }
        }
        if (size > 0xFFFF) return 1;
        Z7Mem_Put32(hd + HD_RET_ADDR + 4 * r, addr);
        Z7Mem_Put16(hd + HD_RET_SIZE + 2 * r, uint16_t(size));
    }
    Z7Mem_Put32(hd + HD_RET_SIG, Z7Mem_Get32(def + 88));
    Z7Mem_Put32(hd + HD_RET_DEF, def);
    if (Z7VMCode_GetExtCount(code) >= 11) {
        const uint32_t size = Z7Mem_Get32(def + 92), off = Z7Mem_Get32(def + 96);
        const uint32_t seg = Z7Sec_Bytes(db, Z7SEC_CT);
        if (size != 0) {
            if (off > seg || size > seg - off) return 1;
            Z7Mem_Put32(hd + HD_RET_CTADDR, Z7Sec_Addr(db, Z7SEC_CT) + off);
            Z7Mem_Put32(hd + HD_RET_CTSIZE, size);
        }
    }
    return 0;
}

// The retain file of db; now: from the fatal-signal path.
uint32_t Write(uint32_t db, const char *path, bool now = false) {
    const Layout l = Read(db);
    uint8_t sig[4];
    LE_Put32(sig, l.sig);
    MfPiece pieces[kRuns + 2];
    pieces[0] = {sig, 4};
    for (uint32_t r = 0; r <= kRuns; r++) pieces[r + 1] = {Z7Mem_Ptr(l.addr[r], l.size[r]), l.size[r]};
    return now ? MF_WriteFileNow(path, pieces) : MF_WriteFile(path, pieces, true);
}

FILE *OpenRead(const char *path) {
    char p[512];
    if (path == nullptr || PLAT_Path(path, p, sizeof p) == nullptr) return nullptr;
    return std::fopen(p, "rb");
}

// Reads a retain file into the database: 0 loaded, 1 not (nothing written).
uint32_t Load(uint32_t db, const char *path, bool print) {
    FILE *f = OpenRead(path);
    if (f == nullptr || db == 0) {
        if (f) std::fclose(f);
        return 1;
    }
    const Layout l = Read(db);
    std::vector<uint8_t> data(l.total + 1);
    const size_t got = std::fread(data.data(), 1, data.size(), f);
    std::fclose(f);
    const uint32_t file_sig = got >= 4 ? LE_Get32(data.data()) : 0;
    if (print) std::printf("dwCrcFile is %d and pRetain->dwCrc is %d\n", int32_t(file_sig), int32_t(l.sig));
    // a foreign layout or a file shorter than the layout is not loaded
    if (got < 4 || file_sig != l.sig || got < l.total) return 1;
    uint32_t pos = 4;
    for (uint32_t r = 0; r <= kRuns; r++) {
        if (r == 5) {
            // string slots keep their own maximum; the length is clipped
            for (uint32_t off = 0; off + 3 <= l.size[r];) {
                uint8_t *slot = Z7Mem_Ptr(l.addr[r] + off, 3);
                const uint8_t max = slot[0];
                if (off + max + 3u > l.size[r]) break;
                slot = Z7Mem_Ptr(l.addr[r] + off, max + 3u);
                const uint8_t len = std::min(data[pos + off + 1], max);
                std::memcpy(slot + 2, &data[pos + off + 2], max + 1u);
                slot[1] = len;
                slot[2 + len] = 0;
                off += max + 3u;
            }
        } else if (l.size[r] != 0) {
            std::memcpy(Z7Mem_Ptr(l.addr[r], l.size[r]), &data[pos], l.size[r]);
        }
        pos += l.size[r];
    }
    return 0;
}

uint32_t FileStartsWith(uint32_t sig, const char *path) {
    FILE *f = OpenRead(path);
    if (f == nullptr) return 0;
    uint8_t b[4];
    const bool ok = std::fread(b, 1, 4, f) == 4 && LE_Get32(b) == sig;
    std::fclose(f);
    return ok ? 1 : 0;
}
}  // namespace

uint32_t Z7VMWarm_PrepareData(uint32_t code, uint32_t db) { return Prepare(code, db); }

uint32_t Z7VMWarm_CanUpdatePointers(uint32_t code, uint32_t db) {
    const uint32_t def = Z7VMCode_GetRetainDef(code);
    const uint32_t sig = def ? Z7Mem_Get32(def + 88) : 0;
    return sig == Z7Mem_Get32(Z7VM_Header(db) + HD_RET_SIG) ? 0 : 28;
}

uint32_t Z7VMWarm_UpdatePointers(uint32_t code, uint32_t db) {
    if (Z7VMWarm_CanUpdatePointers(code, db) != 0) return 28;
    return Prepare(code, db) == 0 ? 0 : 28;
}

uint32_t Z7VMWarm_CanStore(uint32_t) { return 1; }
uint32_t Z7VM_PrepareRetains(uint32_t db, const char *) { return Z7VMWarm_CanStore(db); }
uint32_t Z7VMWarm_Load(uint32_t db, const char *path) { return Load(db, path, true); }
uint32_t Z7VM_LoadRetains(uint32_t db, const char *path) { return Z7VMWarm_Load(db, path); }

uint32_t Z7VMWarm_CanLoad(uint32_t code, const char *path) {
    const uint32_t def = Z7VMCode_GetRetainDef(code);
    return FileStartsWith(def ? Z7Mem_Get32(def + 88) : 0, path);
}
uint32_t Z7VM_CanLoadRetains(uint32_t code, const char *path) { return Z7VMWarm_CanLoad(code, path); }
uint32_t Z7VMWarm_CheckFile(uint32_t signature, const char *path) { return FileStartsWith(signature, path); }

uint32_t Z7VMWarm_ShutDown(uint32_t db, const char *path) {
    if (path == nullptr || db == 0) return 0;
    const Layout l = Read(db);
    if (l.total == 4) return Z7Part_File_Delete(path) || !Z7Part_File_Exist(path) ? 1 : 0;
    return Write(db, path);
}

uint32_t Z7VMWarm_SaveToFile(uint32_t db, const char *file) {
    if (file == nullptr || db == 0) return 0;
    return Write(db, file);
}

uint32_t Z7VMWarm_SaveNow(uint32_t db, const char *file) {
    if (file == nullptr || db == 0) return 0;
    return Write(db, file, true);
}

uint32_t Z7VMWarm_LoadFromFile(uint32_t db, const char *file) { return Load(db, file, false) == 0 ? 1 : 0; }

void Z7VMWarm_CycleExchange(uint32_t) {}
