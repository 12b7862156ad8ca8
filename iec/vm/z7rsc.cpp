// Resource table (section 19): memory blocks, files, dynamic arrays and
// sockets opened on behalf of the application, so that a stop releases
// them. Items of 12 bytes: u32 data, u32 size, u16 identifier (0 = free),
// u16 kind.
#include <cstring>

#include "iec/vm/z7parts.h"
#include "iec/vm/z7stdlib.h"
#include "iec/vm/z7vm.h"

namespace {
constexpr uint32_t kMaxArrayBytes = 1u << 20;  // one dynamic array at most

uint32_t Count(uint32_t db) {
    const uint32_t n = Z7Sec_Get(db, Z7SEC_RSC, SD_ALLOC);
    return Z7Sec_Get(db, Z7SEC_RSC, SD_ELEM) >= 12 ? n : 0;
}
template <typename P>
uint32_t First(uint32_t db, P pred) {
    for (uint32_t i = 0, n = Count(db); i < n; i++) {
        const uint32_t e = Z7Sec_Elem(db, Z7SEC_RSC, i);
        if (e != 0 && pred(e)) return e;
    }
    return 0;
}
// The array item of identifier id and the element at index, or 0.
uint32_t Element(uint32_t db, uint32_t id, int32_t index, uint32_t esize, uint32_t &rc) {
    const uint32_t item = Z7VMRsc_FindArray(db, id);
    rc = 2;
    if (item == 0) return 0;
    rc = 3;
    // a negative index never reaches the data
    if (index < 0 || (uint64_t(index) + 1) * esize > Z7Mem_Get32(item + RSC_SIZE)) return 0;
    rc = 1;
    return Z7Mem_Get32(item + RSC_DATA) + uint32_t(index) * esize;
}
}  // namespace

uint32_t Z7VMRsc_GetFreeItem(uint32_t db) {
    return First(db, [](uint32_t e) { return Z7Mem_Get16(e + RSC_ID) == 0; });
}
uint32_t Z7VMRsc_FindData(uint32_t db, uint32_t data) {
    return First(db, [&](uint32_t e) { return Z7Mem_Get16(e + RSC_ID) != 0 && Z7Mem_Get32(e + RSC_DATA) == data; });
}
uint32_t Z7VMRsc_FindKind(uint32_t db, uint32_t data, uint16_t kind) {
    return First(db, [&](uint32_t e) {
        return Z7Mem_Get16(e + RSC_ID) != 0 && Z7Mem_Get16(e + RSC_KIND) == kind && Z7Mem_Get32(e + RSC_DATA) == data;
    });
}
uint32_t Z7VMRsc_FindSocket(uint32_t db, int32_t sock) {
    if (sock == -1) return 0;
    return First(db, [&](uint32_t e) {
        return Z7Mem_Get16(e + RSC_ID) != 0 && Z7Mem_Get16(e + RSC_KIND) == RSC_SOCKET &&
               int32_t(Z7Mem_Get32(e + RSC_DATA)) == sock;
    });
}
uint32_t Z7VMRsc_FindArray(uint32_t db, uint32_t id) {
    if (id == 0) return 0;
    return First(db,
                 [&](uint32_t e) { return Z7Mem_Get16(e + RSC_ID) == id && Z7Mem_Get16(e + RSC_KIND) == RSC_ARRAY; });
}
uint32_t Z7VMRsc_Exist(uint32_t db) {
    return First(db, [](uint32_t e) { return Z7Mem_Get16(e + RSC_ID) != 0; }) ? 1 : 0;
}

void Z7VMRsc_Set(uint32_t item, uint32_t data, uint32_t size, uint16_t id, uint16_t kind) {
    Z7Mem_Put32(item + RSC_DATA, data);
    Z7Mem_Put32(item + RSC_SIZE, size);
    Z7Mem_Put16(item + RSC_ID, id);
    Z7Mem_Put16(item + RSC_KIND, kind);
}

uint32_t Z7VMRsc_CreateArray(uint32_t db, int64_t id, int64_t count, uint32_t esize) {
    if (id < 1 || id > 127 || Z7VMRsc_FindArray(db, uint32_t(id)) != 0) return 2;
    const uint32_t item = Z7VMRsc_GetFreeItem(db);
    if (item == 0) return 2;
    if (count < 1) return 3;
    const uint64_t bytes = uint64_t(count) * esize;
    if (bytes > kMaxArrayBytes) return 4;
    const uint32_t block = Z7Mem_Alloc(uint32_t(bytes));
    if (block == 0) return 4;
    Z7VMRsc_Set(item, block, uint32_t(bytes), uint16_t(id), RSC_ARRAY);
    return 1;
}

uint32_t Z7VMRsc_WriteArray(uint32_t db, uint32_t id, int32_t index, uint32_t esize, const void *src) {
    uint32_t rc = 0;
    const uint32_t a = Element(db, id, index, esize, rc);
    uint8_t *p = a ? Z7Mem_Ptr(a, esize) : nullptr;
    if (p == nullptr) return rc == 1 ? 3 : rc;
    std::memcpy(p, src, esize);
    return 1;
}

uint32_t Z7VMRsc_ReadArray(uint32_t db, uint32_t id, int32_t index, uint32_t esize, void *dst) {
    uint32_t rc = 0;
    const uint32_t a = Element(db, id, index, esize, rc);
    const uint8_t *p = a ? Z7Mem_Ptr(a, esize) : nullptr;
    if (p == nullptr) return 0;
    std::memcpy(dst, p, esize);
    return 1;
}

void Z7VMRsc_FreeAll(uint32_t db) {
    for (uint32_t i = 0, n = Count(db); i < n; i++) {
        const uint32_t e = Z7Sec_Elem(db, Z7SEC_RSC, i);
        if (e == 0 || Z7Mem_Get16(e + RSC_ID) == 0) continue;
        const uint32_t data = Z7Mem_Get32(e + RSC_DATA);
        switch (Z7Mem_Get16(e + RSC_KIND)) {
        case RSC_MEMORY:
        case RSC_ARRAY: Z7Mem_Free(data); break;
        case RSC_FILE: Z7Std_Hooks.file_close(data); break;
        case RSC_SOCKET:
            if (int32_t(data) != -1) Z7Std_Hooks.socket_close(int32_t(data));
            break;
        default: break;
        }
        Z7VMRsc_Set(e, 0, 0, 0, 0);
    }
}

// ---- parameter files ----------------------------------------------------------------------------
namespace {
constexpr uint32_t kParamLine = 255;  // characters of a line that count

bool NoCaseEq(const char *a, const char *b, size_t n) {
    for (size_t i = 0; i < n; i++) {
        const auto up = [](char c) { return c >= 'a' && c <= 'z' ? char(c - 32) : c; };
        if (up(a[i]) != up(b[i])) return false;
    }
    return true;
}
void CopyCut(char *out, uint32_t size, const char *text, size_t n) {
    if (out == nullptr || size == 0) return;
    if (n > size - 1) n = size - 1;
    std::memcpy(out, text, n);
    out[n] = 0;
}
// Lines of a file: at most 255 characters of each line count; the rest of
// an over-long line is read and dropped, so that its tail is never taken for
// a line of its own.
struct LineReader {
    uint32_t h;
    bool Next(char *line, uint32_t &n) {
        if (Z7Std_Hooks.file_eof(h)) return false;
        n = Z7Std_Hooks.file_read_line(h, line, kParamLine + 1);
        if (n > kParamLine) n = kParamLine;
        line[n] = 0;
        if (n == kParamLine) {
            char rest[kParamLine + 1];
            while (!Z7Std_Hooks.file_eof(h) && Z7Std_Hooks.file_read_line(h, rest, sizeof rest) >= kParamLine) {
            }
        }
        return n != 0 || !Z7Std_Hooks.file_eof(h);
    }
};
}  // namespace

uint32_t Z7Param_Get(uint32_t, const char *path, const char *section, const char *key, char *out, uint32_t size) {
    const char *k = key ? key : "";
    const size_t kl = strnlen(k, kParamLine);
    CopyCut(out, size, k, kl);
    if (path == nullptr || section == nullptr) return 0;
    const size_t sl = strnlen(section, kParamLine);
    const uint32_t h = Z7Std_Hooks.file_open(path, false);
    if (h == 0) return 0;
    LineReader r{h};
    char line[kParamLine + 1];
    uint32_t n = 0, found = 0;
    bool in = false;
    while (r.Next(line, n)) {
        if (n > 0 && line[0] == '[') {
            if (in) break;  // the section ended without the key
            in = n >= sl + 2 && NoCaseEq(line + 1, section, sl) && line[sl + 1] == ']';
            continue;
        }
        if (in && n > kl && NoCaseEq(line, k, kl) && line[kl] == '=') {
            size_t vl = n - kl - 1;
            if (vl > 0 && line[n - 1] == '\r') vl--;
            CopyCut(out, size, line + kl + 1, vl);
            found = 1;
            break;
        }
    }
    Z7Std_Hooks.file_close(h);
    return found;
}
