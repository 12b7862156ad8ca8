// I/O driver kit: the code image's bus-driver table names external bus
// drivers, each with a list of definitions (bus, devices, groups, items).
// The kit looks up a handler per driver, builds a tree of nodes in database
// section 39, lets the drivers size and fill their nodes, opens the buses,
// and calls each bus once per cycle and at shutdown. The driver-side API
// walks the tree and reads and writes the bound variables.
//
// This controller provides no bus driver: every name is looked up in vain, so
// an application naming one is stopped at its first cycle with the driver's
// name among the unresolved names.
#include <cstring>

#include "iec/services/z7rtio.h"
#include "iec/services/z7svc.h"
#include "iec/vm/z7cnv.h"
#include "iec/vm/z7code_internal.h"
#include "iec/vm/z7interp.h"
#include "iec/vm/z7map.h"
#include "iec/vm/z7stdlib.h"
#include "iec/vm/z7vm.h"

Z7DDKHandler (*Z7DDKC_Lookup)(const char *name) = Z7DDKC_IpGetHandler;

namespace {
constexpr uint32_t kEntry = 20, kName = 16, kHead = 8, kBus = 16, kLink = 16;
enum : uint32_t { BE_HANDLER = 0, BE_NAME = 4, BE_ROOT = 8, BE_NUMBER = 12 };
enum : uint32_t { NL_PARENT = 0, NL_CHILD = 4, NL_SIBLING = 8, NL_DEF = 12 };
enum : uint32_t { CMD_SIZE = 1, CMD_BUILD = 2, CMD_OPEN = 3, CMD_CLOSE = 4, CMD_EXCHANGE = 5 };

uint32_t Round8(uint32_t n) { return (n + 7u) & ~7u; }

// The driver table of an image: entries inside the image up to the first
// whose offset word is 0 (a table whose extension word is missing has none).
struct Table {
    Z7Img img{};
    uint32_t at = 0, count = 0;
};
Table DriverTable(uint32_t code) {
    Table t;
    t.img = Z7Img_Of(code);
    const uint32_t a = Z7VMCode_GetBusDrv(code);
    if (a == 0 || a < code) return t;
    t.at = a - code;
    while (t.img.In(t.at + kEntry * t.count, kEntry) && t.img.W32(t.at + kEntry * t.count) != 0) t.count++;
    return t;
}
// Driver name of entry i, at most 16 characters.
void EntryName(const Table &t, uint32_t i, char out[kName + 1]) {
    std::memset(out, 0, kName + 1);
    for (uint32_t k = 0; k < kName; k++) {
        out[k] = char(t.img.B(t.at + kEntry * i + 4 + k));
        if (out[k] == 0) break;
    }
}

uint32_t PropsOf(uint32_t def) {
    switch (Z7Mem_Get16(def + 2)) {
    case 1:
    case 4: return def + 16;
    case 2:
    case 3: return def + 8;
    default: return 0;
    }
}

// Calls fn(def address, level) for each record of a definition list inside the image.
template <typename Fn>
void WalkDefs(const Z7Img &img, uint32_t off, Fn fn) {
    while (img.In(off, 4)) {
        const uint32_t size = img.W16(off);
        if (size < 4 || !img.In(off, size)) return;
        fn(img.base + off, img.W16(off + 2));
        off += size;
    }
}

Z7DDKHandler HandlerOf(uint32_t bus) { return reinterpret_cast<Z7DDKHandler>(Z7Fn_Get(Z7Mem_Get32(bus + BE_HANDLER))); }
uint32_t Buses(uint32_t db) {
    const uint32_t s = Z7Sec_Addr(db, Z7SEC_DDK);
    return s && Z7Sec_Bytes(db, Z7SEC_DDK) >= kHead ? Z7Mem_Get16(s) : 0;
}
uint32_t BusEntry(uint32_t db, uint32_t i) { return Z7Sec_Addr(db, Z7SEC_DDK) + kHead + kBus * i; }

void CallAll(uint32_t db, uint32_t cmd, uint32_t arg) {
    for (uint32_t i = 0; i < Buses(db); i++) {
        const uint32_t b = BusEntry(db, i), root = Z7Mem_Get32(b + BE_ROOT);
        const Z7DDKHandler h = HandlerOf(b);
        if (h && root) h(cmd, Z7Mem_Get16(b + BE_NUMBER), db, 1, root, arg, 0);
    }
}

bool NoNode(uint32_t node) { return node == 0 || node == kLink; }
}  // namespace

// ---- platform hooks ----------------------------------------------------------------------------------
uint32_t Z7DDKC_OpenLinks() {
    Z7DDKC_IpInit();
    return 0;
}
void Z7DDKC_CloseLinks() { Z7DDKC_IpExit(); }

// ---- sizing, build, exchange, close -------------------------------------------------------------------------
uint32_t Z7DDKC_GetSize(uint32_t code) {
    const Table t = DriverTable(code);
    if (t.count == 0) return 0;
    uint64_t size = kHead + uint64_t(kBus) * t.count;
    for (uint32_t i = 0; i < t.count; i++) {
        char name[kName + 1];
        EntryName(t, i, name);
        const Z7DDKHandler h = Z7DDKC_Lookup(name);
        if (h == nullptr) continue;
        WalkDefs(t.img, t.img.W32(t.at + kEntry * i), [&](uint32_t def, uint32_t level) {
            size += kLink + Round8(h(CMD_SIZE, 0, 0, level, 0, 0, PropsOf(def)));
        });
    }
    return size > 0xFFFFFF ? 0xFFFFFF : uint32_t(size);
}

uint32_t Z7DDKC_CanBuildHot(uint32_t db, uint32_t code) {
    return Z7DDKC_GetSize(code) > Z7Sec_Bytes(db, Z7SEC_DDK) ? 1 : 0;
}

uint32_t Z7DDKC_Build(uint32_t code, uint32_t db) {
    const Table t = DriverTable(code);
    const uint32_t sec = Z7Sec_Addr(db, Z7SEC_DDK), bytes = Z7Sec_Bytes(db, Z7SEC_DDK);
    if (sec && bytes) std::memset(Z7Mem_Ptr(sec, bytes), 0, bytes);
    if (t.count == 0) return 0;
    Z7DDKHandler handlers[64] = {};  // a table of more drivers names one past them, never provided
    for (uint32_t i = 0; i < t.count; i++) {
        char name[kName + 1];
        EntryName(t, i, name);
        handlers[i % 64] = i < 64 ? Z7DDKC_Lookup(name) : nullptr;
        if (handlers[i % 64] == nullptr) {
            Z7St_SetFlags(db, uint16_t(Z7St_Flags(db) | Z7F_STOPREQ));
            Z7VMLog_RegisterUnresolved(db, name);
            return 0;
        }
    }
    if (uint64_t(kHead) + uint64_t(kBus) * t.count > bytes) return 1;
    Z7Mem_Put16(sec, uint16_t(t.count));
    uint32_t free = sec + kHead + kBus * t.count;
    const uint32_t end = sec + bytes;
    uint32_t rc = 0;
    for (uint32_t i = 0; i < t.count && rc == 0; i++) {
        const uint32_t b = BusEntry(db, i);
        const Z7DDKHandler h = handlers[i];
        Z7Mem_Put32(b + BE_HANDLER, Z7Fn_Register(reinterpret_cast<Z7Fn>(h)));
        Z7Mem_Put32(b + BE_NAME, code + t.at + kEntry * i + 4);
        uint32_t bus = 0, device = 0, group = 0;
        WalkDefs(t.img, t.img.W32(t.at + kEntry * i), [&](uint32_t def, uint32_t level) {
            if (rc != 0 || level < 1 || level > 4) return;
            const uint32_t parent = level == 1 ? 0 : level == 2 ? bus : level == 3 ? device : group;
            if (level > 1 && parent == 0) return;
            const uint32_t size = Round8(h(CMD_SIZE, 0, 0, level, 0, 0, PropsOf(def)));
            if (uint64_t(free) + kLink + size > end) {
                rc = 1;
                return;
            }
            const uint32_t link = free, node = free + kLink;
            free += kLink + size;
            Z7Mem_Put32(link + NL_DEF, def);
            if (parent != 0) {
                Z7Mem_Put32(link + NL_PARENT, parent - kLink);
                uint32_t last = Z7Mem_Get32(parent - kLink + NL_CHILD);
                if (last == 0)
                    Z7Mem_Put32(parent - kLink + NL_CHILD, link);
                else {
                    while (Z7Mem_Get32(last + NL_SIBLING)) last = Z7Mem_Get32(last + NL_SIBLING);
                    Z7Mem_Put32(last + NL_SIBLING, link);
                }
            }
            if (level == 1) {
                bus = node;
                device = group = 0;
                Z7Mem_Put32(b + BE_ROOT, node);
                Z7Mem_Put16(b + BE_NUMBER, Z7Mem_Get16(def + 4));
            } else if (level == 2) {
                device = node;
                group = 0;
            } else if (level == 3) {
                group = node;
            }
            h(CMD_BUILD, Z7Mem_Get16(b + BE_NUMBER), db, level, node, 0, 0);
        });
        if (rc == 0 && Z7Mem_Get32(b + BE_ROOT) == 0) rc = 1;
    }
    if (rc != 0) return rc;
    uint32_t open = 0;
    for (uint32_t i = 0; i < t.count; i++) {
        const uint32_t b = BusEntry(db, i);
        open |= handlers[i](CMD_OPEN, Z7Mem_Get16(b + BE_NUMBER), db, 1, Z7Mem_Get32(b + BE_ROOT), 0, 0);
    }
    if (open != 0) CallAll(db, CMD_CLOSE, 0);
    return open;
}

uint32_t Z7DDKC_BuildHot(uint32_t db, uint32_t code) {
    if (Z7Mem_Get32(Z7VM_Status(db) + ST_OPTIONS) & Z7O_CHANGED) Z7DDKC_Close(db);
    return Z7DDKC_Build(code, db);
}

void Z7DDKC_ExchangeArg(uint32_t db, uint32_t arg) { CallAll(db, CMD_EXCHANGE, arg); }
void Z7DDKC_Exchange(uint32_t db) { Z7DDKC_ExchangeArg(db, 0); }
void Z7DDKC_Close(uint32_t db) { CallAll(db, CMD_CLOSE, 0); }

// ---- driver-side API ----------------------------------------------------------------------------------------
uint32_t Z7DDKH_GetDef(uint32_t, uint32_t node) { return NoNode(node) ? 0 : Z7Mem_Get32(node - kLink + NL_DEF); }
uint32_t Z7DDKH_GetProps(uint32_t db, uint32_t node) {
    const uint32_t def = Z7DDKH_GetDef(db, node);
    return def ? PropsOf(def) : 0;
}
namespace {
uint32_t Linked(uint32_t node, uint32_t field) {
    if (NoNode(node)) return 0;
    const uint32_t l = Z7Mem_Get32(node - kLink + field);
    return l ? l + kLink : 0;
}
}  // namespace
uint32_t Z7DDKH_GetParent(uint32_t, uint32_t node) { return Linked(node, NL_PARENT); }
uint32_t Z7DDKH_GetChild(uint32_t, uint32_t node) { return Linked(node, NL_CHILD); }
uint32_t Z7DDKH_GetSibling(uint32_t, uint32_t node) { return Linked(node, NL_SIBLING); }

uint32_t Z7DDKH_FindBus(uint32_t db, const char *name) {
    if (name == nullptr) return 0;
    for (uint32_t i = 0; i < Buses(db); i++) {
        const uint32_t b = BusEntry(db, i);
        const char *n = reinterpret_cast<const char *>(Z7Mem_Ptr(Z7Mem_Get32(b + BE_NAME), kName));
        if (n && std::strncmp(n, name, kName) == 0 && std::strlen(name) <= kName) return Z7Mem_Get32(b + BE_ROOT);
    }
    return 0;
}

uint32_t Z7DDKH_GetDataPtr(uint32_t db, uint32_t item, uint32_t *forced) {
    if (forced) *forced = 0;
    const uint32_t def = Z7DDKH_GetDef(db, item);
    if (def == 0 || Z7Mem_Get16(def + 2) != 4) return 0;
    const uint32_t type = Z7Mem_Get16(def + 8), index = Z7Mem_Get16(def + 10), off = Z7Mem_Get32(def + 12);
    if (off != 0) {
        const uint32_t ct = Z7Sec_Addr(db, Z7SEC_CT);
        return ct && uint64_t(off) + Z7Tools_TypeSize(type) <= Z7Sec_Bytes(db, Z7SEC_CT) ? ct + off : 0;
    }
    uint32_t locked = 0;
    const uint32_t a = Z7Tools_GetAnyParam(db, type, index, &locked);
    if (forced) *forced = locked;
    return a;
}

// The status information record of the item's variable: the map item whose
// data address is the variable's; 0 when the map has none or it carries none.
uint32_t Z7DDKH_GetVsiPtr(uint32_t db, uint32_t item) {
    const uint32_t data = Z7DDKH_GetDataPtr(db, item, nullptr);
    return data ? Z7Map_GetVSIByData(db, data) : 0;
}

uint32_t Z7DDKH_ReadVarAny(uint32_t db, uint32_t item, uint32_t type, uint8_t *out) {
    if (out == nullptr) return 0;
    std::memset(out, 0, 8);
    const uint32_t def = Z7DDKH_GetDef(db, item);
    const uint32_t itype = def ? Z7Mem_Get16(def + 8) : 0;
    const uint8_t *p =
        Z7Mem_Ptr(Z7DDKH_GetDataPtr(db, item, nullptr), Z7Tools_TypeSize(itype) ? Z7Tools_TypeSize(itype) : 1);
    if (p == nullptr || itype == IEC_STRING || Z7Tools_TypeSize(itype) == 0 || Z7Tools_TypeSize(type) == 0) return 0;
    Z7VMCnv_ConvBin(out, p, type, itype);
    return 1;
}

uint32_t Z7DDKH_WriteVarAny(uint32_t db, uint32_t item, uint32_t type, const uint8_t *value) {
    uint32_t forced = 0;
    const uint32_t def = Z7DDKH_GetDef(db, item);
    const uint32_t itype = def ? Z7Mem_Get16(def + 8) : 0, width = Z7Tools_TypeSize(itype);
    uint8_t *p = Z7Mem_Ptr(Z7DDKH_GetDataPtr(db, item, &forced), width ? width : 1);
    if (p == nullptr || value == nullptr || forced || itype == IEC_STRING || width == 0 || Z7Tools_TypeSize(type) == 0)
        return 0;
    uint8_t out[8] = {};
    Z7VMCnv_ConvBin(out, value, itype, type);
    std::memcpy(p, out, width);
    return 1;
}

int32_t Z7DDKH_ReadVarLong(uint32_t db, uint32_t item) {
    uint8_t b[8];
    if (!Z7DDKH_ReadVarAny(db, item, IEC_DINT, b)) return 0;
    return int32_t(b[0] | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24);
}

uint32_t Z7DDKH_WriteVarLong(uint32_t db, uint32_t item, int32_t v) {
    const uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    return Z7DDKH_WriteVarAny(db, item, IEC_DINT, b);
}

namespace {
template <typename T>
T ReadAs(uint32_t db, uint32_t item, uint32_t type) {
    uint8_t b[8];
    T v{};
    if (Z7DDKH_ReadVarAny(db, item, type, b)) std::memcpy(&v, b, sizeof v);
    return v;
}
template <typename T>
uint32_t WriteAs(uint32_t db, uint32_t item, uint32_t type, T v) {
    uint8_t b[8] = {};
    std::memcpy(b, &v, sizeof v);
    return Z7DDKH_WriteVarAny(db, item, type, b);
}
}  // namespace

uint8_t Z7DDKH_ReadVarBool(uint32_t db, uint32_t item) { return ReadAs<uint8_t>(db, item, IEC_BOOL); }
uint32_t Z7DDKH_ReadVarDword(uint32_t db, uint32_t item) { return ReadAs<uint32_t>(db, item, IEC_UDINT); }
float Z7DDKH_ReadVarReal(uint32_t db, uint32_t item) { return ReadAs<float>(db, item, IEC_REAL); }
int64_t Z7DDKH_ReadVarLint(uint32_t db, uint32_t item) { return ReadAs<int64_t>(db, item, IEC_LINT); }
double Z7DDKH_ReadVarLreal(uint32_t db, uint32_t item) { return ReadAs<double>(db, item, IEC_LREAL); }
uint32_t Z7DDKH_WriteVarBool(uint32_t db, uint32_t item, uint8_t v) {
    return WriteAs<uint8_t>(db, item, IEC_BOOL, v ? 1 : 0);
}
uint32_t Z7DDKH_WriteVarDword(uint32_t db, uint32_t item, uint32_t v) { return WriteAs(db, item, IEC_UDINT, v); }
uint32_t Z7DDKH_WriteVarReal(uint32_t db, uint32_t item, float v) { return WriteAs(db, item, IEC_REAL, v); }
uint32_t Z7DDKH_WriteVarLint(uint32_t db, uint32_t item, int64_t v) { return WriteAs(db, item, IEC_LINT, v); }
uint32_t Z7DDKH_WriteVarLreal(uint32_t db, uint32_t item, double v) { return WriteAs(db, item, IEC_LREAL, v); }

namespace {
// The STRING slot of a STRING item {maximum, length, text, NUL}, or 0.
uint32_t StringSlot(uint32_t db, uint32_t item, uint32_t *forced) {
    if (forced) *forced = 0;
    const uint32_t def = Z7DDKH_GetDef(db, item);
    if (def == 0 || Z7Mem_Get16(def + 2) != 4 || Z7Mem_Get16(def + 8) != IEC_STRING) return 0;
    uint32_t slot = 0;
    if (const uint32_t off = Z7Mem_Get32(def + 12)) {
        // a record in the complex-type segment, never forced: it ends inside the segment
        const uint32_t ct = Z7Sec_Addr(db, Z7SEC_CT), bytes = Z7Sec_Bytes(db, Z7SEC_CT);
        if (ct == 0 || uint64_t(off) + 3 > bytes || uint64_t(off) + Z7Mem_Get8(ct + off) + 3 > bytes) return 0;
        slot = ct + off;
    } else {
        uint32_t locked = 0;
        slot = Z7Tools_GetAnyParam(db, IEC_STRING, Z7Mem_Get16(def + 10), &locked);
        if (forced) *forced = locked;
    }
    return slot && Z7Mem_Ptr(slot, Z7Mem_Get8(slot) + 3u) ? slot : 0;
}
}  // namespace

uint32_t Z7DDKH_ReadVarString(uint32_t db, uint32_t item) {
    const uint32_t slot = StringSlot(db, item, nullptr);
    return slot ? slot + 2 : 0;
}

uint32_t Z7DDKH_WriteVarString(uint32_t db, uint32_t item, const char *text, uint32_t len) {
    uint32_t forced = 0;
    const uint32_t slot = StringSlot(db, item, &forced);
    if (slot == 0 || forced || (text == nullptr && len != 0)) return 0;
    const uint32_t max = Z7Mem_Get8(slot), n = len < max ? len : max;
    uint8_t *p = Z7Mem_Ptr(slot, max + 3u);
    if (n) std::memcpy(p + 2, text, n);
    p[1] = uint8_t(n);
    p[2 + n] = 0;
    return 1;
}
