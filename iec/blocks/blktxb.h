// Text buffers: texts of any length in the application heap, reached by a
// DINT handle, and the heap access the XML documents share with them.
// Every operation records its outcome in the status record's last text
// error; without a heap every operation answers 0 and changes nothing.
#pragma once

#include <cstdint>

#include "iec/vm/z7heap.h"
#include "iec/vm/z7mem.h"

// Last text error codes.
enum : uint32_t {
    XS_OK = 0,
    XS_BADHANDLE = 4,
    XS_LINELONG = 5,
    XS_NOREAD = 6,
    XS_NOWRITE = 7,
    XS_NOHEAP = 9,
    XS_NOCONV = 10,
};
constexpr uint32_t XS_MAGIC = 0x00425854;  // "TXB"

// Heap of the database (0 when the application has none).
uint32_t Blk_Heap(uint32_t db);

// A heap block locked for the life of the object (a failed lock or a block
// shorter than asked leaves p null).
class BlkHeapRef {
public:
    BlkHeapRef() = default;
    BlkHeapRef(uint32_t heap, uint32_t h, uint32_t size) { Take(heap, h, size); }
    ~BlkHeapRef() { Release(); }
    BlkHeapRef(const BlkHeapRef &) = delete;
    BlkHeapRef &operator=(const BlkHeapRef &) = delete;
    bool Take(uint32_t heap, uint32_t h, uint32_t size) {
        Release();
        const uint32_t off = h != 0 ? Z7Heap_Lock(heap, h) : 0;
        if (off == 0) return false;
        heap_ = heap;
        h_ = h;
        this->off = off;
        p = Z7Mem_Ptr(off, size);
        if (p == nullptr) Z7Heap_Unlock(heap, h);
        return p != nullptr;
    }
    void Release() {
        if (p != nullptr) Z7Heap_Unlock(heap_, h_);
        p = nullptr;
    }
    // Widens the view to size bytes of the locked block (false and released
    // when they do not lie in the arena).
    bool Fit(uint32_t size) {
        if (p == nullptr) return false;
        uint8_t *q = Z7Mem_Ptr(off, size);
        if (q == nullptr) Release();
        p = q;
        return p != nullptr;
    }
    uint8_t *p = nullptr;
    uint32_t off = 0;

private:
    uint32_t heap_ = 0, h_ = 0;
};

// Text-object operations (database first; 1 done, 0 failed unless said).
uint32_t Z7XS_Alloc(uint32_t db, uint32_t size, const char *text);  // handle or 0
uint32_t Z7XS_Free(uint32_t db, uint32_t h);
uint32_t Z7XS_Set(uint32_t db, uint32_t h, const uint8_t *bytes, uint32_t len);
uint32_t Z7XS_Append(uint32_t db, uint32_t h, const char *text);
uint32_t Z7XS_AppendN(uint32_t db, uint32_t h, const char *text, uint32_t len);
uint32_t Z7XS_AppendXS(uint32_t db, uint32_t h, uint32_t src);
uint32_t Z7XS_Copy(uint32_t db, uint32_t dst, uint32_t src);
uint32_t Z7XS_Get(uint32_t db, uint32_t h, char *dst, uint32_t size);  // characters copied
uint32_t Z7XS_GetLength(uint32_t db, uint32_t h);
uint32_t Z7XS_GetLine(uint32_t db, uint32_t h, char *dst, uint32_t size);
uint32_t Z7XS_Rewind(uint32_t db, uint32_t h);
uint32_t Z7XS_SetFile(uint32_t db, uint32_t h, const char *path);
uint32_t Z7XS_SaveToFile(uint32_t db, uint32_t h, const char *path);
uint32_t Z7XS_GetTextHandle(uint32_t db, uint32_t h);
uint32_t Z7XS_AnsiToUtf8(uint32_t db, uint32_t h);
uint32_t Z7XS_Utf8ToAnsi(uint32_t db, uint32_t h);

// Host view of a text object's text, locked while ref lives: the text and
// its length (the parser reads it in place). False for a bad handle.
bool Z7XS_View(uint32_t db, uint32_t h, BlkHeapRef &ref, const char **text, uint32_t *len);

// Makes the text of h len bytes long, filled by fill (which must write
// exactly len bytes), read position 0. 1 done, 0 bad handle or no room.
uint32_t Z7XS_Fill(uint32_t db, uint32_t h, uint32_t len, bool (*fill)(char *dst, uint32_t len, void *ctx), void *ctx);

// Status words of the text layer.
void Z7XS_SetError(uint32_t db, uint32_t e);
uint32_t Z7XS_LastError(uint32_t db);
uint32_t Z7XS_Count(uint32_t db);
