// Resource files and property tokens. Files are read through the runtime's
// file hooks; every count, size and offset of a file is checked against the
// stored length before it is used.
#include "iec/vm/z7rc.h"

#include "core/image/bytes.h"
#include "iec/vm/z7heap.h"
#include "iec/vm/z7interp.h"
#include "iec/vm/z7stdlib.h"
#include "iec/vm/z7vm.h"

namespace {
constexpr uint32_t kHeader = 16, kEntry = 12, kPiece = 64;

// An open resource file of kind with its checked header.
struct RcFile {
    uint32_t h = 0, size = 0, length = 0, count = 0, sum = 0;
    explicit RcFile(uint32_t kind) {
        const char *name = Z7Rc_FileName(kind);
        char path[256];
        if (name == nullptr || Z7Std_Hooks.full_path(name, path) == nullptr) return;
        h = Z7Std_Hooks.file_open(path, false);
        if (h == 0) return;
        size = Z7Std_Hooks.file_size(path);
        uint8_t hd[kHeader];
        if (size < kHeader || !Z7Std_Hooks.file_read(h, hd, kHeader) || LE_Get16(hd) != 0 || LE_Get16(hd + 2) != kind) {
            Close();
            return;
        }
        length = LE_Get32(hd + 4);
        count = LE_Get32(hd + 8);
        sum = LE_Get32(hd + 12);
        // the stored length is the file's; the directory lies inside it
        if (uint64_t(length) + kHeader != size || uint64_t(count) * kEntry > length) Close();
    }
    ~RcFile() { Close(); }
    void Close() {
        if (h) Z7Std_Hooks.file_close(h);
        h = 0;
    }
    bool Read(uint32_t at, void *to, uint32_t n) const {
        return n == 0 || (Z7Std_Hooks.file_seek(h, 0, int32_t(at)) && Z7Std_Hooks.file_read(h, to, n));
    }
};

// A heap block of n bytes, filled by fill(address); its handle or 0.
template <typename F>
uint32_t Block(uint32_t heap, uint32_t n, F fill) {
    const uint32_t handle = Z7Heap_Alloc(heap, n);
    if (handle == 0) return 0;
    const uint32_t a = Z7Heap_Lock(heap, handle);
    const bool ok = a != 0 && fill(a);
    Z7Heap_Unlock(heap, handle);
    if (!ok) {
        Z7Heap_Free(heap, handle);
        return 0;
    }
    return handle;
}
}  // namespace

const char *Z7Rc_FileName(uint32_t kind) {
    switch (kind) {
    case 1: return "z7.rsc";
    case 2: return "z7.rst";
    case 3: return "z7.rbm";
    case 4: return "z7.rfn";
    default: return nullptr;
    }
}

uint32_t Z7Rc_Crc32(uint32_t crc, const uint8_t *p, uint32_t n) {
    for (uint32_t i = 0; i < n; i++) {
        crc ^= p[i];
        for (int b = 0; b < 8; b++) crc = (crc & 1) ? (crc >> 1) ^ 0xA000A001u : crc >> 1;
    }
    return crc;
}

uint32_t Z7Rc_Init_Buffer(uint32_t buffer, uint32_t size, uint32_t options) {
    return Z7Heap_CreateHeapBuffer(buffer, size, options);
}
uint32_t Z7Rc_Init_Malloc(uint32_t entries) { return Z7Heap_CreateHeapMalloc(entries, 0); }
void Z7Rc_Release(uint32_t heap) { Z7Heap_DeleteHeap(heap); }
void Z7Rc_FreeAllRC(uint32_t heap) { Z7Heap_FreeAll(heap); }
void Z7Rc_FreeRC(uint32_t heap, uint32_t handle) { Z7Heap_Free(heap, handle); }
uint32_t Z7Rc_Compact(uint32_t heap) { return Z7Heap_Compact(heap, 16); }

uint32_t Z7Rc_CheckRCFile(uint32_t kind, uint32_t, uint32_t *size) {
    RcFile f(kind);
    if (size) *size = f.h ? f.size : 0;
    if (f.h == 0) return 0;
    uint32_t crc = 0xFFFFFFFF;
    uint8_t piece[kPiece];
    for (uint32_t at = 0; at < f.length;) {
        const uint32_t n = f.length - at < kPiece ? f.length - at : kPiece;
        if (!Z7Std_Hooks.file_read(f.h, piece, n)) return 0;
        crc = Z7Rc_Crc32(crc, piece, n);
        at += n;
    }
    return crc == f.sum ? 1 : 0;
}

uint32_t Z7Rc_LoadRCDirectory(uint32_t heap, uint32_t kind, uint32_t *count) {
    if (count) *count = 0;
    RcFile f(kind);
    if (f.h == 0 || f.count == 0) return 0;
    const uint32_t bytes = f.count * kEntry;
    const uint32_t handle = Block(heap, bytes, [&](uint32_t a) {
        uint8_t *p = Z7Mem_Ptr(a, bytes);
        return p != nullptr && f.Read(kHeader, p, bytes);
    });
    if (handle && count) *count = f.count;
    return handle;
}

uint32_t Z7Rc_LoadRCByIndex(uint32_t heap, uint32_t kind, uint32_t n, uint32_t) {
    if (n == 0) return 0;
    RcFile f(kind);
    if (f.h == 0 || n > f.count) return 0;
    uint8_t e[kEntry];
    if (!f.Read(kHeader + (n - 1) * kEntry, e, kEntry)) return 0;
    const uint32_t size = LE_Get32(e), off = LE_Get32(e + 8);
    const uint64_t data = uint64_t(f.count) * kEntry + off;  // counted from the end of the header
    if (data + size > f.length || size > 0xFFFFFFFFu - 8) return 0;
    return Block(heap, size + 8, [&](uint32_t a) {
        uint8_t *p = Z7Mem_Ptr(a, size + 8);
        if (p == nullptr) return false;
        Z7Mem_Put32(a, size);
        Z7Mem_Put32(a + 4, a + 8);
        return f.Read(kHeader + uint32_t(data), p + 8, size);
    });
}

uint32_t Z7Rc_LockRC(uint32_t heap, uint32_t handle, uint32_t *size) {
    const uint32_t a = Z7Heap_Lock(heap, handle);
    if (size) *size = a ? Z7Mem_Get32(a) : 0;
    return a ? a + 8 : 0;
}
void Z7Rc_UnlockRC(uint32_t heap, uint32_t handle) { Z7Heap_Unlock(heap, handle); }

// ---- property tokens ------------------------------------------------------------------------------
namespace {
uint32_t Type(uint32_t t) { return Z7Mem_Get8(t + 1); }
}  // namespace

uint32_t Z7Rcs_NextToken(uint32_t t, uint32_t end) {
    switch (Type(t)) {
    case 0: return t + 2;
    case 1:
    case 5: return t + 3;
    case 2:
    case 6:
    case 13: return t + 4;
    case 3:
    case 7:
    case 9:
    case 11: return t + 6;
    case 4:
    case 8:
    case 10: return t + 10;
    case 12: {
        uint32_t p = t + 2;
        while (p < end && Z7Mem_Get8(p) != 0) p++;
        return p < end ? p + 1 : end;  // a text without NUL ends at the buffer
    }
    case 14: return t + 5;
    case 15:
    case 16: return t + 7;
    case 17: return t + 9;
    default: return t;
    }
}

uint32_t Z7Rcs_GetProp(uint32_t t, uint32_t *type) {
    if (type) *type = Type(t);
    return Z7Mem_Get8(t);
}
uint32_t Z7Rcs_GetObjType(uint32_t t) { return Z7Mem_Get8(t) == 255 ? Z7RCS_GetUnsignedProp(t) & 0xFF : 0; }
uint32_t Z7RCS_GetStringProp(uint32_t t) { return Type(t) == 12 ? t + 2 : 0; }
uint32_t Z7RCS_GetPairProp(uint32_t t, uint16_t *a, uint16_t *b) {
    if (Type(t) != 11) return 0;
    if (a) *a = Z7Mem_Get16(t + 2);
    if (b) *b = Z7Mem_Get16(t + 4);
    return 1;
}
int32_t Z7RCS_GetSignedProp(uint32_t t) {
    switch (Type(t)) {
    case 1: return Z7Mem_Get8(t + 2);  // the byte is read as 0..255
    case 2: return int16_t(Z7Mem_Get16(t + 2));
    case 3: return int32_t(Z7Mem_Get32(t + 2));
    default: return 0;
    }
}
uint32_t Z7RCS_GetUnsignedProp(uint32_t t) {
    switch (Type(t)) {
    case 5: return Z7Mem_Get8(t + 2);
    case 6:
    case 13: return Z7Mem_Get16(t + 2);
    case 7: return Z7Mem_Get32(t + 2);
    default: return 0;
    }
}
uint32_t Z7RCS_GetRealProp(uint32_t t) { return Type(t) == 9 ? Z7Mem_Get32(t + 2) : 0; }
uint64_t Z7RCS_GetLrealProp(uint32_t t) {
    return Type(t) == 10 ? uint64_t(Z7Mem_Get32(t + 6)) << 32 | Z7Mem_Get32(t + 2) : 0;
}
int64_t Z7RCS_GetLintProp(uint32_t t) {
    const uint32_t ty = Type(t);
    return ty == 4 || ty == 8 ? int64_t(uint64_t(Z7Mem_Get32(t + 6)) << 32 | Z7Mem_Get32(t + 2)) : 0;
}

uint32_t Z7RCS_GetVarProp(uint32_t db, uint32_t t, uint32_t *type_code) {
    const uint32_t ty = Type(t), code = Z7Mem_Get8(t + 2);
    if (type_code) *type_code = ty == 14 || ty == 15 ? code : 0;
    if (ty == 14) return Z7Tools_GetAnyParam(db, code, Z7Mem_Get16(t + 3));
    if (ty != 15) return 0;
    const uint32_t off = Z7Mem_Get32(t + 3), bytes = Z7Sec_Bytes(db, Z7SEC_CT);
    const uint32_t width = code == 5 ? 3 : Z7Tools_TypeSize(code);
    if (width == 0 || uint64_t(off) + width > bytes) return 0;
    return Z7Sec_Addr(db, Z7SEC_CT) + off;
}

uint32_t Z7RCS_GetArrayProp(uint32_t db, uint32_t t, uint32_t *type_code, uint32_t *count) {
    const uint32_t ty = Type(t), code = Z7Mem_Get8(t + 2), n = Z7Mem_Get16(t + 3);
    if (type_code) *type_code = 0;
    if (count) *count = 0;
    uint32_t a = 0;
    if (ty == 16) {
        // first and last element inside the typed segment (a STRING array:
        // the first and last string exist; the first slot is answered)
        const uint32_t ix = Z7Mem_Get16(t + 5);
        if ((Z7Tools_TypeSize(code) != 0 || code == 5) && (n == 0 || Z7Tools_GetAnyParam(db, code, ix + n - 1) != 0))
            a = Z7Tools_GetAnyParam(db, code, ix);
    } else if (ty == 17) {
        const uint32_t off = Z7Mem_Get32(t + 5), bytes = Z7Sec_Bytes(db, Z7SEC_CT);
        uint32_t w = Z7Tools_TypeSize(code);
        // STRING slots of the first one's maximum length (+ 3), one after another
        if (code == 5 && off < bytes) w = Z7Mem_Get8(Z7Sec_Addr(db, Z7SEC_CT) + off) + 3u;
        if (w != 0 && uint64_t(off) + uint64_t(n) * w <= bytes) a = Z7Sec_Addr(db, Z7SEC_CT) + off;
    }
    if (a == 0) return 0;
    if (type_code) *type_code = code;
    if (count) *count = n;
    return a;
}
