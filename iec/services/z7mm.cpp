// Memory manager of the IEC runtime: the code image, the database and the
// change image each live in one block of the VM arena, loaded from and saved
// to their files. Stored files are replaced whole: written to NAME.tmp,
// flushed and renamed, so a crash leaves the old or the new file.
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "iec/services/z7svc.h"
#include "iec/vm/z7mem.h"
#include "platform/plat.h"
#include "platform/plat_assert.h"

std::array<uint32_t, 8> Z7MM_LastReads{};
uint32_t Z7MM_LastReadCount = 0;

namespace {
constexpr uint32_t kPiece = 4096;
// The hot-restart image lives in the configuration folder beside the code
// and change images, where the runtime's file table names it as well.
constexpr const char *kNames[3] = {"/mnt/cfg/z7.cod", "/mnt/cfg/z7.hot", "/mnt/cfg/z7.upd"};

Z7MMSlot &Slot(Z7MMData *mm, uint16_t kind) { return mm->slot[kind - 1]; }

bool FilePath(const Z7MMData *mm, uint16_t kind, const char *suffix, char *out, size_t n) {
    char name[256];
    const int len = std::snprintf(name, sizeof name, "%s%s%s", mm->folder ? mm->folder : "", kNames[kind - 1], suffix);
    if (len < 0 || size_t(len) >= sizeof name) return false;
    return PLAT_Path(name, out, n) != nullptr;
}

void Clear(Z7MMSlot &s, uint16_t kind) {
    s = {};
    s.kind = kind;
}

uint32_t Load(Z7MMData *mm, uint16_t kind) {
    Z7MMSlot &s = Slot(mm, kind);
    if (s.block != 0) return 1;
    char path[600];
    if (!FilePath(mm, kind, "", path, sizeof path)) return 1;
    struct stat st {};
    if (stat(path, &st) != 0 || st.st_size <= 0 || uint64_t(st.st_size) > Z7MEM_SIZE) return 1;
    const uint32_t size = uint32_t(st.st_size);
    FILE *f = std::fopen(path, "rb");
    if (f == nullptr) return 1;
    const uint32_t block = Z7Mem_Alloc(size);
    bool ok = block != 0;
    Z7MM_LastReadCount = 0;
    for (uint32_t done = 0; ok && done < size;) {
        const uint32_t n = size - done < kPiece ? size - done : kPiece;
        ok = std::fread(Z7Mem_Ptr(block + done, n), 1, n, f) == n;
        if (Z7MM_LastReadCount < Z7MM_LastReads.size()) Z7MM_LastReads[Z7MM_LastReadCount] = n;
        Z7MM_LastReadCount++;
        done += n;
    }
    std::fclose(f);
    if (!ok) {
        Z7Mem_Free(block);
        Clear(s, kind);
        return 1;
    }
    Clear(s, kind);
    s.flags = Z7MMF_ALLOC;
    s.size = size;
    s.block = block;
    return 0;
}

// The temporary file of a store: created anew as a regular file of our own
// (never through a link or into a FIFO), or reopened to append to that file.
bool tmp_said;
FILE *CreateTemp(const char *tmp) {
    const int fd = PLAT_CreateFile(tmp, 0600, &tmp_said);
    FILE *f = fd >= 0 ? fdopen(fd, "wb") : nullptr;
    if (f == nullptr && fd >= 0) close(fd);
    return f;
}
FILE *AppendTemp(const char *tmp) {
    const int fd = open(tmp, O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    FILE *f = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? fdopen(fd, "ab") : nullptr;
    if (f == nullptr && fd >= 0) close(fd);
    return f;
}

// Writes n bytes at block to the slot's file through NAME.tmp.
uint32_t SaveBlock(Z7MMData *mm, uint16_t kind, uint32_t block, uint32_t size) {
    char path[600], tmp[600];
    if (!FilePath(mm, kind, "", path, sizeof path) || !FilePath(mm, kind, ".tmp", tmp, sizeof tmp)) return 1;
    FILE *f = CreateTemp(tmp);
    if (f == nullptr) return 1;
    bool ok = true;
    for (uint32_t done = 0; ok && done < size;) {
        const uint32_t n = size - done < kPiece ? size - done : kPiece;
        const uint8_t *p = Z7Mem_Ptr(block + done, n);
        ok = p != nullptr && std::fwrite(p, 1, n, f) == n;
        done += n;
    }
    ok = std::fflush(f) == 0 && ok;
    ok = fsync(fileno(f)) == 0 && ok;
    ok = std::fclose(f) == 0 && ok;
    if (!ok || std::rename(tmp, path) != 0) {
        unlink(tmp);
        return 1;
    }
    return 0;
}

uint32_t Link(Z7MMData *mm, uint16_t kind) {
    Z7MMSlot &s = Slot(mm, kind);
    if (!(s.flags & Z7MMF_ALLOC) || s.block == 0) return 0;
    s.flags |= Z7MMF_LINKED;
    s.links++;
    s.linked = s.block;
    return s.block;
}

uint32_t Unlink(Z7MMData *mm, uint16_t kind) {
    Z7MMSlot &s = Slot(mm, kind);
    if ((s.flags & (Z7MMF_ALLOC | Z7MMF_LINKED)) != (Z7MMF_ALLOC | Z7MMF_LINKED)) return 1;
    if (ALWAYS(s.links > 0)) s.links--;  // a linked slot counts its links
    if (s.links == 0) {
        s.flags &= uint16_t(~Z7MMF_LINKED);
        s.linked = 0;
    }
    return 0;
}

uint32_t Free(Z7MMData *mm, uint16_t kind) {
    Z7MMSlot &s = Slot(mm, kind);
    if (s.flags != Z7MMF_ALLOC) return 1;
    Z7Mem_Free(s.block);
    Clear(s, kind);
    return 0;
}

// One download piece into the slot's file (through NAME.tmp).
uint32_t WriteRequest(Z7MMData *mm, uint16_t kind, uint32_t piece_kind, const Z7MMPiece *piece) {
    if (Slot(mm, kind).block != 0) return 1;
    char path[600], tmp[600];
    if (!FilePath(mm, kind, "", path, sizeof path) || !FilePath(mm, kind, ".tmp", tmp, sizeof tmp)) return 1;
    if (piece_kind == 2) {
        FILE *f = CreateTemp(tmp);
        if (f == nullptr) return 1;
        return std::fclose(f) == 0 ? 0 : 1;
    }
    if (piece_kind == 3) {
        if (piece == nullptr || (piece->size != 0 && piece->data == nullptr)) return 1;
        struct stat st {};
        if (stat(tmp, &st) != 0) return 1;
        if (uint64_t(st.st_size) + piece->size > Z7MEM_SIZE / 2) {
            unlink(tmp);  // could never be loaded into the arena
            return 1;
        }
        FILE *f = AppendTemp(tmp);
        if (f == nullptr) return 1;
        const bool ok = std::fwrite(piece->data, 1, piece->size, f) == piece->size;
        if (std::fclose(f) == 0 && ok) return 0;
        // a piece written in part: the download is given up, so that its end
        // can never store an image with bytes missing
        unlink(tmp);
        return 1;
    }
    if (piece_kind == 4) {
        struct stat st {};
        if (stat(tmp, &st) != 0 || st.st_size <= 0) return 1;
        FILE *f = AppendTemp(tmp);
        const bool synced = f != nullptr && fsync(fileno(f)) == 0;
        if (f) std::fclose(f);
        return synced && std::rename(tmp, path) == 0 ? 0 : 1;
    }
    return 1;
}
}  // namespace

void Z7MM_Open(Z7MMData *mm, const char *folder) {
    *mm = {};
    mm->folder = folder;
    for (uint16_t k = 1; k <= 3; k++) Slot(mm, k).kind = k;
}

void Z7MM_Close(Z7MMData *mm) {
    for (uint16_t k : {Z7MM_CODE, Z7MM_VMDB}) {
        Z7MMSlot &s = Slot(mm, k);
        Z7Mem_Free(s.block);
        Clear(s, k);
    }
}

uint32_t Z7MM_LoadCode(Z7MMData *mm) { return Load(mm, Z7MM_CODE); }
uint32_t Z7MM_LoadVMDB(Z7MMData *mm) { return Load(mm, Z7MM_VMDB); }
uint32_t Z7MM_LoadChange(Z7MMData *mm) { return Load(mm, Z7MM_CHANGE); }
uint32_t Z7MM_LinkCode(Z7MMData *mm) { return Link(mm, Z7MM_CODE); }
uint32_t Z7MM_LinkVMDB(Z7MMData *mm) { return Link(mm, Z7MM_VMDB); }
uint32_t Z7MM_LinkChange(Z7MMData *mm) { return Link(mm, Z7MM_CHANGE); }
uint32_t Z7MM_UnlinkCode(Z7MMData *mm) { return Unlink(mm, Z7MM_CODE); }
uint32_t Z7MM_UnlinkVMDB(Z7MMData *mm) { return Unlink(mm, Z7MM_VMDB); }
uint32_t Z7MM_UnlinkChange(Z7MMData *mm) { return Unlink(mm, Z7MM_CHANGE); }
uint32_t Z7MM_FreeCode(Z7MMData *mm) { return Free(mm, Z7MM_CODE); }
uint32_t Z7MM_FreeVMDB(Z7MMData *mm) { return Free(mm, Z7MM_VMDB); }
uint32_t Z7MM_FreeChange(Z7MMData *mm) { return Free(mm, Z7MM_CHANGE); }

uint32_t Z7MM_AllocRawVMDB(Z7MMData *mm, uint32_t size) {
    Z7MMSlot &s = Slot(mm, Z7MM_VMDB);
    if (s.block != 0 || size == 0) return 1;
    const uint32_t block = Z7Mem_Alloc(size);
    if (block == 0) return 1;
    Clear(s, Z7MM_VMDB);
    s.flags = Z7MMF_ALLOC;
    s.size = size;
    s.block = block;
    return 0;
}

uint32_t Z7MM_SaveVMDB(Z7MMData *mm) {
    const Z7MMSlot &s = Slot(mm, Z7MM_VMDB);
    if (s.block == 0) return 1;
    return SaveBlock(mm, Z7MM_VMDB, s.block, s.size);
}

uint32_t Z7MM_SaveChangeA(Z7MMData *mm, const char *text) {
    Z7MMSlot &s = Slot(mm, Z7MM_CODE);
    if (!s.modified && (text == nullptr || text[0] == 0)) return 0;
    if (s.block == 0) return 1;
    if (SaveBlock(mm, Z7MM_CODE, s.block, s.size) != 0) return 1;
    s.modified = 0;
    return 0;
}

uint32_t Z7MM_SaveChange(Z7MMData *mm) { return Z7MM_SaveChangeA(mm, nullptr); }

uint32_t Z7MM_WriteCodeRequest(Z7MMData *mm, uint32_t kind, const Z7MMPiece *piece) {
    return WriteRequest(mm, Z7MM_CODE, kind, piece);
}
uint32_t Z7MM_WriteChangeRequest(Z7MMData *mm, uint32_t kind, const Z7MMPiece *piece) {
    return WriteRequest(mm, Z7MM_CHANGE, kind, piece);
}
uint32_t Z7MM_WriteSyncRequest(Z7MMData *mm, uint32_t kind, const Z7MMPiece *piece) {
    Z7MMData tmp;  // a temporary slot: the running code block is not touched
    Z7MM_Open(&tmp, mm->folder);
    return WriteRequest(&tmp, Z7MM_CODE, kind, piece);
}

uint32_t Z7MM_RegisterChange(Z7MMData *mm) {
    Z7MMSlot &code = Slot(mm, Z7MM_CODE);
    Z7MMSlot &chg = Slot(mm, Z7MM_CHANGE);
    if (chg.block == 0 || (code.flags & Z7MMF_LINKED)) return 1;
    Z7Mem_Free(code.block);
    code = chg;
    code.kind = Z7MM_CODE;
    code.modified = 1;
    Clear(chg, Z7MM_CHANGE);
    return 0;
}

uint32_t Z7MM_TakeCode(Z7MMData *mm) {
    Z7MMSlot &code = Slot(mm, Z7MM_CODE);
    if (code.flags & Z7MMF_LINKED) return 0;
    const uint32_t block = code.block;
    Clear(code, Z7MM_CODE);
    return block;
}
