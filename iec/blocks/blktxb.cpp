// Text objects in the application heap: a 16-byte record {magic, capacity,
// read position, text block handle} and a text block of capacity bytes
// holding a NUL-terminated text. The text block carries, past its capacity,
// a u32 with the text's length, so that appending to a long text does not
// search for its end; only this module writes text blocks.
#include "iec/blocks/blktxb.h"

#include <algorithm>
#include <cstring>

#include "core/image/bytes.h"
#include "iec/vm/z7stdlib.h"
#include "iec/vm/z7vm.h"

namespace {
enum : uint32_t { R_MAGIC = 0, R_CAP = 4, R_POS = 8, R_TEXT = 12, R_SIZE = 16 };
constexpr uint32_t kPiece = 1024;
constexpr uint32_t kMaxCap = 0x3FFFFFF0u;

uint32_t Status(uint32_t db, uint32_t f) { return Z7VM_Status(db) + f; }
void CountObjects(uint32_t db, int32_t d) {
    const uint32_t n = Z7Mem_Get32(Status(db, ST_TXB_LIVE));
    Z7Mem_Put32(Status(db, ST_TXB_LIVE), d < 0 ? (n > 0 ? n - 1 : 0) : n + 1);
}
// Starts an operation: compacts a little and answers the heap (0: none).
uint32_t Begin(uint32_t db) {
    const uint32_t heap = Blk_Heap(db);
    if (heap != 0) Z7Heap_Compact(heap, 4);
    return heap;
}

// A text object opened for one operation: record and text block locked.
struct Obj {
    uint32_t db = 0, heap = 0, h = 0, cap = 0;
    BlkHeapRef rec, text;
    bool Open(uint32_t d, uint32_t hp, uint32_t handle) {
        db = d;
        heap = hp;
        h = handle;
        if (!rec.Take(heap, h, R_SIZE) || LE_Get32(rec.p + R_MAGIC) != XS_MAGIC) return Fail();
        cap = LE_Get32(rec.p + R_CAP);
        if (cap == 0 || cap > kMaxCap || !text.Take(heap, LE_Get32(rec.p + R_TEXT), cap + 4)) return Fail();
        text.p[cap - 1] = 0;
        return true;
    }
    bool Fail() {
        rec.Release();
        text.Release();
        return false;
    }
    char *T() const { return reinterpret_cast<char *>(text.p); }
    uint32_t Len() const {
        const uint32_t n = LE_Get32(text.p + cap);
        if (n < cap && text.p[n] == 0) return n;
        return uint32_t(strnlen(T(), cap));
    }
    void SetLen(uint32_t n) const {
        text.p[n] = 0;
        LE_Put32(text.p + cap, n);
    }
    uint32_t Pos() const { return LE_Get32(rec.p + R_POS); }
    void SetPos(uint32_t v) const { LE_Put32(rec.p + R_POS, v); }
    // Capacity of at least size bytes; the text is kept. A long text grows
    // with room to spare when the heap allows it, so repeated appends do not
    // copy it each time.
    bool Grow(uint64_t size) {
        if (size <= cap) return true;
        if (size > kMaxCap) return Error(XS_NOHEAP);
        const uint32_t len = Len();
        uint32_t want = uint32_t(size);
        uint32_t nh = 0;
        if (size >= 256) {
            want = uint32_t(std::min<uint64_t>(kMaxCap, size + size / 2));
            nh = Z7Heap_Alloc(heap, want + 4);
        }
        if (nh == 0) {
            want = uint32_t(size);
            nh = Z7Heap_Alloc(heap, want + 4);
        }
        if (nh == 0) return Error(XS_NOHEAP);
        BlkHeapRef fresh(heap, nh, want + 4);
        if (fresh.p == nullptr) {
            Z7Heap_Free(heap, nh);
            return Error(XS_NOHEAP);
        }
        std::memcpy(fresh.p, text.p, len);
        std::memset(fresh.p + len, 0, want + 4 - len);
        const uint32_t old = LE_Get32(rec.p + R_TEXT);
        text.Release();
        Z7Heap_Free(heap, old);
        fresh.Release();
        LE_Put32(rec.p + R_TEXT, nh);
        LE_Put32(rec.p + R_CAP, want);
        cap = want;
        text.Take(heap, nh, want + 4);
        SetLen(len);
        return text.p != nullptr;
    }
    bool Error(uint32_t e) const {
        Z7XS_SetError(db, e);
        return false;
    }
};

// Opens handle h for an operation; a bad handle records error 4.
bool OpenOp(uint32_t db, uint32_t h, Obj &o) {
    const uint32_t heap = Begin(db);
    if (heap == 0) return false;
    if (!o.Open(db, heap, h)) {
        Z7XS_SetError(db, XS_BADHANDLE);
        return false;
    }
    return true;
}

// Opens a second object beside an opened one; a bad handle records error 4.
bool OpenSource(const Obj &d, uint32_t h, Obj &s) {
    if (s.Open(d.db, d.heap, h)) return true;
    Z7XS_SetError(d.db, XS_BADHANDLE);
    return false;
}

// Appends len bytes to an opened object; bytes must not lie in its own text.
uint32_t AppendTo(Obj &o, const char *bytes, uint32_t len) {
    const uint32_t cur = o.Len();
    if (!o.Grow(uint64_t(cur) + len + 1)) return 0;
    if (len) std::memcpy(o.T() + cur, bytes, len);
    o.SetLen(cur + len);
    Z7XS_SetError(o.db, XS_OK);
    return 1;
}
uint32_t SetTo(Obj &o, const uint8_t *bytes, uint32_t len) {
    if (!o.Grow(uint64_t(len) + 1)) return 0;
    if (len) std::memmove(o.T(), bytes, len);
    o.SetLen(len);
    o.SetPos(0);
    Z7XS_SetError(o.db, XS_OK);
    return 1;
}
}  // namespace

uint32_t Blk_Heap(uint32_t db) { return db != 0 ? Z7Mem_Get32(Z7VM_Header(db) + HD_HEAP) : 0; }

void Z7XS_SetError(uint32_t db, uint32_t e) { Z7Mem_Put32(Status(db, ST_TXB_ERR), e); }
uint32_t Z7XS_LastError(uint32_t db) { return Z7Mem_Get32(Status(db, ST_TXB_ERR)); }
uint32_t Z7XS_Count(uint32_t db) { return Z7Mem_Get32(Status(db, ST_TXB_LIVE)); }

uint32_t Z7XS_Alloc(uint32_t db, uint32_t size, const char *text) {
    const uint32_t heap = Begin(db);
    if (heap == 0) return 0;
    const uint32_t len = text != nullptr ? uint32_t(strnlen(text, kMaxCap)) : 0;
    if (text == nullptr && size == 0) return 0;
    const uint32_t cap = std::max(size, len + 1);
    if (cap > kMaxCap) {
        Z7XS_SetError(db, XS_NOHEAP);
        return 0;
    }
    const uint32_t h = Z7Heap_Alloc(heap, R_SIZE);
    if (h == 0) {
        Z7XS_SetError(db, XS_NOHEAP);
        return 0;
    }
    const uint32_t th = Z7Heap_Alloc(heap, cap + 4);
    if (th == 0) {
        Z7Heap_Free(heap, h);
        Z7XS_SetError(db, XS_NOHEAP);
        return 0;
    }
    {
        BlkHeapRef rec(heap, h, R_SIZE), tb(heap, th, cap + 4);
        if (rec.p == nullptr || tb.p == nullptr) {
            rec.Release();
            tb.Release();
            Z7Heap_Free(heap, th);
            Z7Heap_Free(heap, h);
            Z7XS_SetError(db, XS_NOHEAP);
            return 0;
        }
        LE_Put32(rec.p + R_MAGIC, XS_MAGIC);
        LE_Put32(rec.p + R_CAP, cap);
        LE_Put32(rec.p + R_POS, 0);
        LE_Put32(rec.p + R_TEXT, th);
        std::memset(tb.p, 0, cap + 4);
        if (len) std::memcpy(tb.p, text, len);
        LE_Put32(tb.p + cap, len);
    }
    CountObjects(db, +1);
    Z7XS_SetError(db, XS_OK);
    return h;
}

uint32_t Z7XS_Free(uint32_t db, uint32_t h) {
    Obj o;
    if (!OpenOp(db, h, o)) return 0;
    const uint32_t th = LE_Get32(o.rec.p + R_TEXT);
    LE_Put32(o.rec.p + R_MAGIC, 0);
    o.Fail();
    Z7Heap_Free(o.heap, th);
    Z7Heap_Free(o.heap, h);
    CountObjects(db, -1);
    Z7XS_SetError(db, XS_OK);
    Z7Heap_Compact(o.heap, 4);
    return 1;
}

uint32_t Z7XS_Set(uint32_t db, uint32_t h, const uint8_t *bytes, uint32_t len) {
    Obj o;
    if (!OpenOp(db, h, o) || (bytes == nullptr && len != 0)) return 0;
    return SetTo(o, bytes, len);
}

uint32_t Z7XS_AppendN(uint32_t db, uint32_t h, const char *text, uint32_t len) {
    Obj o;
    if (!OpenOp(db, h, o) || (text == nullptr && len != 0)) return 0;
    return AppendTo(o, text, len);
}
uint32_t Z7XS_Append(uint32_t db, uint32_t h, const char *text) {
    return Z7XS_AppendN(db, h, text, text != nullptr ? uint32_t(strnlen(text, kMaxCap)) : 0);
}

uint32_t Z7XS_AppendXS(uint32_t db, uint32_t h, uint32_t src) {
    Obj d;
    if (!OpenOp(db, h, d)) return 0;
    if (src == h) {
        // the text twice: grow first, then copy from the grown block
        const uint32_t len = d.Len();
        if (!d.Grow(uint64_t(len) * 2 + 1)) return 0;
        std::memcpy(d.T() + len, d.T(), len);
        d.SetLen(len * 2);
        Z7XS_SetError(db, XS_OK);
        return 1;
    }
    Obj s;
    return OpenSource(d, src, s) ? AppendTo(d, s.T(), s.Len()) : 0;
}

uint32_t Z7XS_Copy(uint32_t db, uint32_t dst, uint32_t src) {
    Obj d;
    if (!OpenOp(db, dst, d)) return 0;
    if (src == dst) {
        d.SetPos(0);
        Z7XS_SetError(db, XS_OK);
        return 1;
    }
    Obj s;
    return OpenSource(d, src, s) ? SetTo(d, s.text.p, s.Len()) : 0;
}

uint32_t Z7XS_Get(uint32_t db, uint32_t h, char *dst, uint32_t size) {
    Obj o;
    if (!OpenOp(db, h, o)) return 0;
    Z7XS_SetError(db, XS_OK);
    if (dst == nullptr || size == 0) return 0;
    const uint32_t n = std::min(o.Len(), size - 1);
    std::memcpy(dst, o.T(), n);
    dst[n] = 0;
    return n;
}

uint32_t Z7XS_GetLength(uint32_t db, uint32_t h) {
    Obj o;
    if (!OpenOp(db, h, o)) return 0;
    Z7XS_SetError(db, XS_OK);
    return o.Len();
}

uint32_t Z7XS_GetLine(uint32_t db, uint32_t h, char *dst, uint32_t size) {
    Obj o;
    if (!OpenOp(db, h, o) || dst == nullptr || size < 2) return 0;
    uint32_t pos = o.Pos();
    const uint32_t len = o.Len();
    dst[0] = 0;
    Z7XS_SetError(db, XS_OK);
    if (pos >= len) return 0;  // at the end, past it, or on the terminator
    const char *t = o.T();
    // a destination of one character still takes one, so reading moves on
    const uint32_t room = size > 2 ? size - 2 : 1;
    uint32_t n = 0;
    for (;;) {
        if (pos >= len) break;
        if (t[pos] == '\n') {
            pos++;
            break;
        }
        if (n == room) {
            // destination full: the line goes on unless its end is next
            Z7XS_SetError(db, XS_LINELONG);
            break;
        }
        dst[n++] = t[pos++];
    }
    dst[n] = 0;
    o.SetPos(pos);
    return 1;
}

uint32_t Z7XS_Rewind(uint32_t db, uint32_t h) {
    Obj o;
    if (!OpenOp(db, h, o)) return 0;
    o.SetPos(0);
    Z7XS_SetError(db, XS_OK);
    return 1;
}

uint32_t Z7XS_SetFile(uint32_t db, uint32_t h, const char *path) {
    Obj o;
    if (!OpenOp(db, h, o)) return 0;
    o.SetLen(0);
    o.SetPos(0);
    const uint32_t f = Z7Std_Hooks.file_open != nullptr && path != nullptr ? Z7Std_Hooks.file_open(path, 0) : 0;
    if (f == 0) {
        Z7XS_SetError(db, XS_NOREAD);
        return 0;
    }
    const uint32_t total = o.cap - 1;
    uint32_t got = 0;
    bool ok = true;
    while (got < total && ok) {
        const uint32_t piece = std::min(kPiece, total - got);
        ok = Z7Std_Hooks.file_read != nullptr && Z7Std_Hooks.file_read(f, o.T() + got, piece);
        if (ok) got += piece;
    }
    if (Z7Std_Hooks.file_close != nullptr) Z7Std_Hooks.file_close(f);
    o.SetLen(uint32_t(strnlen(o.T(), got)));
    Z7XS_SetError(db, ok ? XS_OK : XS_NOREAD);
    return ok ? 1 : 0;
}

uint32_t Z7XS_SaveToFile(uint32_t db, uint32_t h, const char *path) {
    Obj o;
    if (!OpenOp(db, h, o)) return 0;
    const uint32_t f = Z7Std_Hooks.file_open != nullptr && path != nullptr ? Z7Std_Hooks.file_open(path, 1) : 0;
    if (f == 0) {
        Z7XS_SetError(db, XS_NOWRITE);
        return 0;
    }
    const uint32_t len = o.Len();
    bool ok = true;
    for (uint32_t at = 0; at < len && ok; at += kPiece)
        ok = Z7Std_Hooks.file_write != nullptr && Z7Std_Hooks.file_write(f, o.T() + at, std::min(kPiece, len - at));
    if (Z7Std_Hooks.file_close != nullptr) Z7Std_Hooks.file_close(f);
    Z7XS_SetError(db, ok ? XS_OK : XS_NOWRITE);
    return ok ? 1 : 0;
}

uint32_t Z7XS_GetTextHandle(uint32_t db, uint32_t h) {
    Obj o;
    if (!OpenOp(db, h, o)) return 0;
    Z7XS_SetError(db, XS_OK);
    return LE_Get32(o.rec.p + R_TEXT);
}

bool Z7XS_View(uint32_t db, uint32_t h, BlkHeapRef &ref, const char **text, uint32_t *len) {
    Obj o;
    if (!OpenOp(db, h, o)) return false;
    *len = o.Len();
    const uint32_t th = LE_Get32(o.rec.p + R_TEXT), cap = o.cap;
    o.Fail();
    if (!ref.Take(o.heap, th, cap)) return false;
    *text = reinterpret_cast<const char *>(ref.p);
    return true;
}

uint32_t Z7XS_AnsiToUtf8(uint32_t db, uint32_t) {
    if (Blk_Heap(db) != 0) Z7XS_SetError(db, XS_NOCONV);
    return 0;
}
uint32_t Z7XS_Utf8ToAnsi(uint32_t db, uint32_t h) { return Z7XS_AnsiToUtf8(db, h); }

uint32_t Z7XS_Fill(uint32_t db, uint32_t h, uint32_t len, bool (*fill)(char *dst, uint32_t len, void *ctx), void *ctx) {
    Obj o;
    if (!OpenOp(db, h, o) || !o.Grow(uint64_t(len) + 1)) return 0;
    const bool ok = fill(o.T(), len, ctx);
    o.SetLen(ok ? len : 0);
    o.SetPos(0);
    Z7XS_SetError(db, XS_OK);
    return ok ? 1 : 0;
}
