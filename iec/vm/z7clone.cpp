// Clone view: a small companion database that reads the variables of a
// database image that is not the running one (a saved hot-restart image in
// memory). Its descriptor table points every section into the image except
// the header copy, the string pointers, the variable map, the XV pointers
// and the Modbus area, which are built in the clone.
#include <cstring>

#include "iec/vm/z7clone.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7vm.h"

namespace {
constexpr uint32_t kOwn[] = {Z7SEC_STRPTR, Z7SEC_MAPITEM, Z7SEC_MAPHASH, Z7SEC_XV, Z7SEC_MB};

uint32_t Round8(uint64_t n) { return uint32_t((n + 7) & ~uint64_t(7)); }
uint64_t Bytes(const uint8_t *table, uint32_t sec) {
    const uint8_t *d = table + sec * Z7_DESC_SIZE;
    const uint32_t size = uint32_t(d[4] | d[5] << 8 | d[6] << 16) | uint32_t(d[7]) << 24;
    const uint32_t elem = uint32_t(d[8] | d[9] << 8), alloc = uint32_t(d[14] | d[15] << 8);
    return size ? size : uint64_t(elem) * alloc;
}
// Offsets of every section in the image laid out from its table; the image's
// size in total. false when the layout leaves the arena.
bool Layout(uint32_t image, const uint8_t *table, uint32_t *at, uint64_t *total) {
    uint64_t off = Z7_DESC_TABLE;
    for (uint32_t s = 0; s < Z7SEC_COUNT; s++) {
        at[s] = uint32_t(off);
        off += Round8(Bytes(table, s));
        if (off > Z7MEM_SIZE) return false;
    }
    *total = off;
    return Z7Mem_Ptr(image, uint32_t(off)) != nullptr;
}
// The image's table when its header carries the database magic.
const uint8_t *Checked(uint32_t image, uint32_t *at) {
    const uint8_t *t = Z7Mem_Ptr(image, Z7_DESC_TABLE);
    uint64_t total = 0;
    if (t == nullptr || !Layout(image, t, at, &total)) return nullptr;
    if (Bytes(t, Z7SEC_HEADER) < HD_SIZE || Z7Mem_Get32(image + at[Z7SEC_HEADER] + HD_MAGIC) != Z7_DB_MAGIC)
        return nullptr;
    return t;
}
}  // namespace

uint32_t Z7VMClone_GetSize(uint32_t image) {
    uint32_t at[Z7SEC_COUNT];
    const uint8_t *t = Checked(image, at);
    if (t == nullptr) return 0;
    // the clone's own sections follow the header copy unrounded (the image's
    // sections are the ones laid out on 8-byte boundaries)
    uint64_t n = Z7_DESC_TABLE + HD_SIZE;
    for (uint32_t s : kOwn) n += Bytes(t, s);
    return n > Z7MEM_SIZE ? 0 : uint32_t(n);
}

uint32_t Z7VMClone_Build(uint32_t image, uint32_t clone, uint32_t code) {
    uint32_t at[Z7SEC_COUNT];
    const uint8_t *t = Checked(image, at);
    const uint32_t size = Z7VMClone_GetSize(image);
    uint8_t *c = t ? Z7Mem_Ptr(clone, size) : nullptr;
    if (t == nullptr || c == nullptr) return 1;
    std::memmove(c, t, Z7_DESC_TABLE);
    for (uint32_t s = 0; s < Z7SEC_COUNT; s++) Z7Mem_Put32(clone + s * Z7_DESC_SIZE + SD_ADDR, image + at[s]);
    // the header copy: the clone's own code address and variable types
    const uint32_t hd = clone + Z7_DESC_TABLE;
    std::memmove(c + Z7_DESC_TABLE, Z7Mem_Ptr(image + at[Z7SEC_HEADER], HD_SIZE), HD_SIZE);
    Z7Mem_Put32(clone + Z7SEC_HEADER * Z7_DESC_SIZE + SD_ADDR, hd);
    Z7Mem_Put32(clone + Z7SEC_HEADER * Z7_DESC_SIZE + SD_SIZE, HD_SIZE);
    Z7Mem_Put32(hd + HD_CODE, code);
    Z7Mem_Put32(hd + HD_VARTYPES, Z7VMCode_GetVarTypeList(code));
    uint32_t next = hd + HD_SIZE;
    for (uint32_t s : kOwn) {
        Z7Mem_Put32(clone + s * Z7_DESC_SIZE + SD_ADDR, next);
        std::memset(c + (next - clone), 0, size_t(Bytes(t, s)));
        next += uint32_t(Bytes(t, s));
    }
    // string pointers into the image's buffer, slot by slot (maximum + 3)
    const uint32_t buf = image + at[Z7SEC_STRBUF], buf_size = uint32_t(Bytes(t, Z7SEC_STRBUF));
    const uint32_t strings = Z7Sec_Get(clone, Z7SEC_STRPTR, SD_ALLOC);
    for (uint32_t n = 1, used = 0; n < strings && used < buf_size; n++) {
        const uint32_t slot = Z7Mem_Get8(buf + used) + 3u;
        if (used + slot > buf_size) break;
        Z7Mem_Put32(Z7Sec_Elem(clone, Z7SEC_STRPTR, n), buf + used);
        used += slot;
    }
    Z7VMMap_Build(clone, code);
    Z7VMCode_SetXVPointers(code, clone);
    Z7Part_MB_Build(Z7VMCode_MBClientConfig(code), Z7Sec_Addr(clone, Z7SEC_MB), Z7Sec_Bytes(clone, Z7SEC_MB));
    Z7Part_MB_Link(clone);
    Z7VMWarm_PrepareData(code, clone);
    return 0;
}
