// Block classes, instances and custom functions: the three registries
// (standard blocks, the controller registry, the external library), class
// registration, linking of the image's classes, instances and custom
// functions, keep-alive and shutdown; the external library loader; parameter
// access for handlers.
#include <dlfcn.h>

#include <array>
#include <cstdio>
#include <cstring>

#include "iec/vm/z7interp.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7stdlib.h"
#include "iec/vm/z7vm.h"

namespace {
constexpr uint32_t kExtMax = 1024;
constexpr uint32_t kNameMax = 16;
// class record fields (section 12, 36 bytes)
enum : uint32_t { CL_NAME = 0, CL_CSIZE = 16, CL_ISIZE = 20, CL_HANDLER = 24, CL_DATA = 28, CL_REG = 32, CL_NO = 34 };
// instance record fields (section 13, 20 bytes)
enum : uint32_t { IN_CLASS = 0, IN_FLAGS = 2, IN_HANDLER = 4, IN_CDATA = 8, IN_IDATA = 12, IN_PARAM = 16 };

void *lib = nullptr;
std::array<FbHandler, kExtMax> ext_procs{};
uint32_t ext_count = 0;  // ids 1..ext_count
using NameFn = const char *(*)(uint32_t);

uint32_t Round8(uint32_t n) { return (n + 7u) & ~7u; }

uint32_t NullBlock(uint32_t cmd, uint32_t, uint32_t, uint32_t, uint32_t) { return cmd == FB_AVAIL ? 1 : 0; }
// Unresolved custom function: result (type code, index) zero or empty.
uint32_t NullFunction(uint32_t cmd, uint32_t db, uint32_t, uint32_t, uint32_t arg) {
    if (cmd == FB_AVAIL) return 1;
    if (cmd != FB_EXEC) return 0;
    const uint16_t type = Z7Mem_Get16(arg), idx = Z7Mem_Get16(arg + 2);
    uint32_t locked = 0, size = 0;
    const uint32_t a = Z7Tools_GetAnyParam(db, type, idx, &locked, &size);
    if (a == 0 || locked) return 0;
    switch (type) {
    case 1:
    case 2:
    case 3:
    case 4:
    case 11:
    case 12:
    case 13:
        if (uint8_t *p = Z7Mem_Ptr(a, size)) std::memset(p, 0, size);
        break;
    case 5:
        Z7Mem_Put8(a + 1, 0);
        Z7Mem_Put8(a + 2, 0);
        break;
    default: break;
    }
    return 0;
}

// Name of a registry row that fits a class record (shorter than 16 characters).
bool Storable(const char *name) { return name != nullptr && name[0] != 0 && strnlen(name, kNameMax) < kNameMax; }

// Image texts of 16 bytes: NUL-terminated host copy.
void Name16(uint32_t addr, char out[kNameMax + 1]) {
    std::memset(out, 0, kNameMax + 1);
    if (const uint8_t *p = Z7Mem_Ptr(addr, kNameMax)) std::memcpy(out, p, kNameMax);
}

// Rows of a registry walk: calls fn(name, handler id) for every row; fn
// answers true to end the walk. Returns true when ended.
template <typename F>
bool Walk(uint32_t standard, F fn) {
    if (standard) {
        for (uint32_t id = 0; id < Z7STFB_ROWS; id++)
            if (Z7Stfb_GetProc(id) != nullptr && fn(Z7Stfb_GetName(id), Z7H_STD | id)) return true;
        return false;
    }
    for (uint32_t id = 0; id < Z7PFB_ROWS - 1; id++)
        if (Z7Blocks_GetProc(id) != nullptr && fn(Z7Blocks_GetName(id), Z7H_PFB | id)) return true;
    if (Z7Bdll_StartEnumerate()) {
        for (uint32_t id = Z7Bdll_GetFirstID(); id != 0; id = Z7Bdll_GetNextID(id))
            if (fn(Z7Bdll_GetName(id), Z7H_EXT | id)) {
                Z7Bdll_StopEnumerate();
                return true;
            }
        Z7Bdll_StopEnumerate();
    }
    return false;
}
template <typename F>
bool WalkAll(F fn) {
    return Walk(1, fn) || Walk(0, fn);
}

struct ImgLists {
    uint32_t classes = 0, nclasses = 0;  // entries (20 bytes) and count
    uint32_t inst = 0, inst_end = 0;     // instance list and the end of the image
    uint32_t cfn = 0, ncfn = 0;
    uint32_t names = 0;
    uint32_t end = 0;  // arena end of the image
};
ImgLists Lists(uint32_t code) {
    ImgLists l;
    const uint32_t len = Z7VMCode_Length(code);
    l.end = code + len;
    auto fit = [&](uint32_t a, uint32_t n) { return a != 0 && a >= code && uint64_t(a) + n <= l.end; };
    if (const uint32_t c = Z7VMCode_GetClassList(code); fit(c, 4)) {
        l.classes = c + 4;
        l.nclasses = Z7Mem_Get16(c + 2);
        if (!fit(l.classes, 20 * l.nclasses)) l.nclasses = uint32_t((l.end - l.classes) / 20);
    }
    if (const uint32_t i = Z7VMCode_GetInstanceList(code); fit(i, 8)) l.inst = i;
    if (const uint32_t f = Z7VMCode_GetCustomFuncList(code); fit(f, 4)) {
        l.cfn = f + 4;
        l.ncfn = Z7Mem_Get16(f + 2);
        if (!fit(l.cfn, 20 * l.ncfn)) l.ncfn = uint32_t((l.end - l.cfn) / 20);
    }
    if (const uint32_t n = Z7VMCode_GetInstanceNames(code); fit(n, 1)) l.names = n;
    return l;
}
// Name of the image class of that number (empty when absent).
void ClassName(const ImgLists &l, uint16_t no, char out[kNameMax + 1]) {
    out[0] = 0;
    for (uint32_t k = 0; k < l.nclasses; k++)
        if (Z7Mem_Get16(l.classes + 20 * k) == no) {
            Name16(l.classes + 20 * k + 4, out);
            return;
        }
}
uint32_t FindByName(const char *name, bool standard_too) {
    uint32_t found = 0;
    auto fn = [&](const char *n, uint32_t h) {
        if (!Storable(n) || std::strcmp(n, name) != 0) return false;
        found = h;
        return true;
    };
    if (standard_too)
        WalkAll(fn);
    else
        Walk(0, fn);
    return found;
}
}  // namespace

FbHandler Z7Fbl_Handler(uint32_t id) {
    if (id == Z7H_NULLBLK) return NullBlock;
    if (id == Z7H_NULLFN) return NullFunction;
    if ((id & 0xFFFF0000u) == Z7H_PFB) return Z7Blocks_GetProc(id & 0xFFFF);
    if ((id & 0xFFFF0000u) == Z7H_EXT) return Z7Bdll_GetProc(id & 0xFFFF);
    if ((id & 0xFFFF0000u) == Z7H_STD) return Z7Stfb_GetProc(id & 0xFFFF);
    return nullptr;
}

uint32_t Z7Fbl_Call(uint32_t id, uint32_t cmd, uint32_t db, uint32_t cls, uint32_t inst, uint32_t arg) {
    const FbHandler h = Z7Fbl_Handler(id);
    return h ? h(cmd, db, cls, inst, arg) : 0;
}

// ---- external library ------------------------------------------------------------------------
uint32_t Z7Bdll_OpenDynaLinks() {
    Z7Bdll_CloseDynaLinks();
    void *h = dlopen("./libz7blocks.so", RTLD_NOW);
    if (h == nullptr) return 0;
    using ValidFn = uint32_t (*)();
    const auto valid = reinterpret_cast<ValidFn>(dlsym(h, "Z7Blocks_IsValid"));
    const auto names = reinterpret_cast<NameFn>(dlsym(h, "Z7Blocks_GetBlockName"));
    if (valid == nullptr || names == nullptr || valid() == 0) {
        dlclose(h);
        return 0;
    }
    lib = h;
    ext_count = 0;
    for (uint32_t id = 1; id < kExtMax; id++) {
        const char *n = names(id);
        if (n == nullptr) break;
        ext_procs[id] = reinterpret_cast<FbHandler>(dlsym(h, n));
        ext_count = id;
    }
    std::printf("Load libz7blocks.so successful\n");
    return 1;
}

void Z7Bdll_CloseDynaLinks() {
    if (lib != nullptr) dlclose(lib);
    lib = nullptr;
    ext_count = 0;
    ext_procs.fill(nullptr);
}

uint32_t Z7Bdll_StartEnumerate() { return lib != nullptr ? 1 : 0; }
void Z7Bdll_StopEnumerate() {}
uint32_t Z7Bdll_GetFirstID() { return ext_count >= 1 ? 1 : 0; }
uint32_t Z7Bdll_GetNextID(uint32_t id) { return id + 1 <= ext_count ? id + 1 : 0; }
const char *Z7Bdll_GetName(uint32_t id) {
    if (lib == nullptr || id == 0 || id > ext_count) return nullptr;
    const auto names = reinterpret_cast<NameFn>(dlsym(lib, "Z7Blocks_GetBlockName"));
    return names ? names(id) : nullptr;
}
FbHandler Z7Bdll_GetProc(uint32_t id) { return id >= 1 && id <= ext_count ? ext_procs[id] : nullptr; }

// ---- registry walk ------------------------------------------------------------------------------
uint32_t Z7VMFbl_List(uint32_t command, Z7FblCtx *ctx, uint32_t standard) {
    if (ctx == nullptr) return 1;
    const bool ended = Walk(standard, [&](const char *name, uint32_t h) {
        if (!Storable(name)) return false;  // a name that does not fit a class record
        switch (command) {
        case FBL_COUNT: ctx->count++; return false;
        case FBL_CLASSDATA: ctx->size += Round8(Z7Fbl_Call(h, FB_CLASSSIZE, 0, 0, 0, 0)); return false;
        case FBL_REGISTER: {
            const uint32_t e = Z7Sec_Elem(ctx->db, Z7SEC_CLASS, ctx->count);
            if (e == 0) return false;
            uint8_t *p = Z7Mem_Ptr(e, 36);
            std::memset(p, 0, 36);
            std::memcpy(p, name, strnlen(name, kNameMax));
            Z7Mem_Put32(e + CL_CSIZE, Round8(Z7Fbl_Call(h, FB_CLASSSIZE, 0, 0, 0, 0)));
            Z7Mem_Put32(e + CL_ISIZE, Round8(Z7Fbl_Call(h, FB_INSTSIZE, 0, 0, 0, 0)));
            Z7Mem_Put32(e + CL_HANDLER, h);
            Z7Mem_Put16(e + CL_REG, 1);
            ctx->count++;
            return false;
        }
        case FBL_INSTSIZE: {
            const bool match = ctx->standard ? Z7Fbl_Call(h, FB_CLASSNO, 0, 0, 0, 0) == ctx->classno
                                             : (ctx->name && std::strcmp(name, ctx->name) == 0);
            if (!match) return false;
            ctx->size += Round8(Z7Fbl_Call(h, FB_INSTSIZE, 0, 0, 0, 0));
            return true;
        }
        case FBL_FIND:
            if (ctx->name == nullptr || std::strcmp(name, ctx->name) != 0) return false;
            ctx->handler = h;
            return true;
        default: return false;
        }
    });
    return ended ? 0 : 1;
}

uint16_t Z7VMFbl_GetNbClass(uint32_t) {
    Z7FblCtx c;
    Z7VMFbl_List(FBL_COUNT, &c, 1);
    Z7VMFbl_List(FBL_COUNT, &c, 0);
    return uint16_t(c.count);
}

uint32_t Z7VMFbl_GetClassDataSize(uint32_t) {
    Z7FblCtx c;
    Z7VMFbl_List(FBL_CLASSDATA, &c, 1);
    Z7VMFbl_List(FBL_CLASSDATA, &c, 0);
    return c.size;
}

uint32_t Z7VMFbl_GetInstanceDataSizeExact(uint32_t code) {
    const ImgLists l = Lists(code);
    uint64_t total = 0;
    for (uint32_t e = l.inst; e != 0 && uint64_t(e) + 8 <= l.end && Z7Mem_Get16(e + 2) != 0; e += 8) {
        Z7FblCtx c;
        char name[kNameMax + 1];
        c.standard = Z7Mem_Get16(e);
        c.classno = Z7Mem_Get16(e + 2);
        ClassName(l, c.classno, name);
        c.name = name;
        if (Z7VMFbl_List(FBL_INSTSIZE, &c, c.standard ? 1 : 0) != 0 && !c.standard) Z7VMFbl_List(FBL_INSTSIZE, &c, 1);
        total += c.size;
    }
    return total > Z7MEM_SIZE ? Z7MEM_SIZE : uint32_t(total);
}

uint32_t Z7VMFbl_GetInstanceDataSize(uint32_t code) {
    const uint32_t exact = Z7VMFbl_GetInstanceDataSizeExact(code), wished = Z7VMCode_GetWishedFBIRawSize(code);
    return exact > wished ? exact : (wished > Z7MEM_SIZE / 4 ? exact : wished);
}

uint32_t Z7VMFbl_Link(uint32_t code, uint32_t db) {
    const uint32_t nclass = Z7Sec_Get(db, Z7SEC_CLASS, SD_ALLOC);
    Z7FblCtx c;
    c.db = db;
    Z7VMFbl_List(FBL_REGISTER, &c, 1);
    Z7VMFbl_List(FBL_REGISTER, &c, 0);
    const uint32_t registered = c.count < nclass ? c.count : nclass;
    const ImgLists l = Lists(code);
    for (uint32_t k = 0; k < l.nclasses; k++) {
        const uint32_t e = l.classes + 20 * k;
        char name[kNameMax + 1];
        Name16(e + 4, name);
        bool found = false;
        for (uint32_t i = 0; i < registered && !found; i++) {
            const uint32_t ce = Z7Sec_Elem(db, Z7SEC_CLASS, i);
            char cn[kNameMax + 1];
            Name16(ce, cn);
            if (std::strcmp(cn, name) == 0) {
                Z7Mem_Put16(ce + CL_NO, Z7Mem_Get16(e));
                found = true;
            }
        }
        if (!found && Z7Mem_Get16(e + 2) != 0) Z7VMLog_RegisterUnresolved(db, name);
    }
    // class data: consecutive pieces of section 14
    const uint32_t data = Z7Sec_Addr(db, Z7SEC_CLASSDATA), size = Z7Sec_Bytes(db, Z7SEC_CLASSDATA);
    uint32_t pos = 0;
    for (uint32_t i = 0; i < registered; i++) {
        const uint32_t ce = Z7Sec_Elem(db, Z7SEC_CLASS, i), cs = Z7Mem_Get32(ce + CL_CSIZE);
        if (cs != 0 && uint64_t(pos) + cs <= size) {
            Z7Mem_Put32(ce + CL_DATA, data + pos);
            pos += cs;
        } else {
            Z7Mem_Put32(ce + CL_DATA, 0);
        }
        Z7Fbl_Call(Z7Mem_Get32(ce + CL_HANDLER), FB_CLASSINIT, db, Z7Mem_Get32(ce + CL_DATA), 0, 0);
    }
    return 0;
}

uint32_t Z7VMFbl_InitInstances(uint32_t code, uint32_t db, uint32_t cold) {
    const ImgLists l = Lists(code);
    const uint32_t ninst = Z7Sec_Get(db, Z7SEC_INST, SD_ALLOC), nclass = Z7Sec_Get(db, Z7SEC_CLASS, SD_ALLOC);
    const uint32_t data = Z7Sec_Addr(db, Z7SEC_INSTDATA), size = Z7Sec_Bytes(db, Z7SEC_INSTDATA);
    uint32_t pos = 0, name = l.names;
    uint32_t k = 1;
    for (uint32_t e = l.inst; e != 0 && uint64_t(e) + 8 <= l.end && Z7Mem_Get16(e + 2) != 0; e += 8, k++) {
        const uint32_t rec = Z7Sec_Elem(db, Z7SEC_INST, k);
        // the name position moves past one name per instance
        const uint32_t this_name = name;
        bool named = false;
        if (name != 0) {
            uint32_t p = name;
            while (p < l.end && Z7Mem_Get8(p) != 0) p++;
            named = p > name && p < l.end;
            name = p < l.end ? p + 1 : 0;
        }
        if (rec == 0 || k >= ninst) break;
        const uint16_t no = Z7Mem_Get16(e + 2);
        uint32_t cls = nclass;
        for (uint32_t i = 0; i < nclass; i++)
            if (Z7Mem_Get16(Z7Sec_Elem(db, Z7SEC_CLASS, i) + CL_NO) == no) {
                cls = i;
                break;
            }
        uint32_t ce = cls < nclass ? Z7Sec_Elem(db, Z7SEC_CLASS, cls) : 0;
        // a standard instance was sized by the block answering its class
        // number: linked to any other block it counts as not found
        if (ce != 0 && Z7Mem_Get16(e) != 0 && Z7Fbl_Call(Z7Mem_Get32(ce + CL_HANDLER), FB_CLASSNO, 0, 0, 0, 0) != no)
            ce = 0;
        const uint32_t isize = ce ? Z7Mem_Get32(ce + CL_ISIZE) : 0;
        uint8_t *r = Z7Mem_Ptr(rec, 20);
        std::memset(r, 0, 20);
        Z7Mem_Put32(rec + IN_PARAM, Z7Mem_Get32(e + 4));
        // data passing the end of section 15 count as not found
        if (ce == 0 || uint64_t(pos) + isize > size) {
            Z7Mem_Put32(rec + IN_HANDLER, Z7H_NULLBLK);
            Z7Mem_Put32(rec + IN_IDATA, data + (pos < size ? pos : 0));
            Z7St_SetFlags(db, uint16_t(Z7St_Flags(db) | Z7F_STOPREQ));
            continue;
        }
        const uint32_t h = Z7Mem_Get32(ce + CL_HANDLER), cdata = Z7Mem_Get32(ce + CL_DATA);
        const uint32_t idata = isize ? data + pos : 0;
        pos += isize;
        Z7Mem_Put16(rec + IN_CLASS, uint16_t(cls));
        Z7Mem_Put16(rec + IN_FLAGS, uint16_t(Z7Mem_Get16(ce + CL_REG) & 1));
        Z7Mem_Put32(rec + IN_HANDLER, h);
        Z7Mem_Put32(rec + IN_CDATA, cdata);
        Z7Mem_Put32(rec + IN_IDATA, idata);
        if (cold) {
            Z7Fbl_Call(h, FB_INSTINIT, db, cdata, idata, 0);
            if (named) Z7Fbl_Call(h, FB_INSTINFO, db, cdata, idata, this_name);
            if (Z7Fbl_Call(h, FB_WANTKEEP, db, cdata, idata, 0) != 0)
                Z7Mem_Put16(rec + IN_FLAGS, uint16_t(Z7Mem_Get16(rec + IN_FLAGS) | 0x8000));
        }
    }
    return 0;
}

uint32_t Z7VMFbl_SameParameters(uint32_t code, uint32_t db, uint32_t old_count) {
    const ImgLists l = Lists(code);
    uint32_t k = 1;
    for (uint32_t e = l.inst; e != 0 && uint64_t(e) + 8 <= l.end && Z7Mem_Get16(e + 2) != 0 && k < old_count;
         e += 8, k++) {
        const uint32_t rec = Z7Sec_Elem(db, Z7SEC_INST, k);
        if (rec == 0) break;
        // a record the last build left empty is no existing instance
        if (Z7Mem_Get32(rec + IN_HANDLER) != Z7H_NONE && Z7Mem_Get32(rec + IN_PARAM) != Z7Mem_Get32(e + 4)) return 65;
    }
    return 0;
}

uint32_t Z7VMFbl_InitNewInstances(uint32_t db, uint32_t old_count) {
    const uint32_t n = Z7Sec_Get(db, Z7SEC_INST, SD_ALLOC);
    for (uint32_t k = 1; k < n; k++) {
        const uint32_t r = Z7Sec_Elem(db, Z7SEC_INST, k);
        Z7Fbl_Call(Z7Mem_Get32(r + IN_HANDLER), k <= old_count ? FB_INSTKEEP : FB_INSTINIT, db,
                   Z7Mem_Get32(r + IN_CDATA), Z7Mem_Get32(r + IN_IDATA), 0);
    }
    return 0;
}

uint32_t Z7VMFbl_InitCustomFunctions(uint32_t code, uint32_t db) {
    const ImgLists l = Lists(code);
    const uint32_t n = Z7Sec_Get(db, Z7SEC_CFUNC, SD_ALLOC);
    for (uint32_t k = 0; k < l.ncfn && k + 1 < n; k++) {
        const uint32_t e = Z7Sec_Elem(db, Z7SEC_CFUNC, k + 1);
        char name[kNameMax + 1];
        Name16(l.cfn + 20 * k + 4, name);
        std::memset(Z7Mem_Ptr(e, 24), 0, 24);
        std::memcpy(Z7Mem_Ptr(e, 16), name, strnlen(name, kNameMax));
        const uint32_t h = name[0] ? FindByName(name, false) : 0;
        if (h != 0) {
            Z7Mem_Put32(e + 16, h);
            Z7Mem_Put16(e + 20, 1);
        } else {
            Z7Mem_Put32(e + 16, Z7H_NULLFN);
            Z7VMLog_RegisterUnresolved(db, name);
            Z7St_SetFlags(db, uint16_t(Z7St_Flags(db) | Z7F_STOPREQ));
        }
    }
    return 0;
}

void Z7VMFbl_KeepAlive(uint32_t db) {
    const uint32_t n = Z7Sec_Get(db, Z7SEC_INST, SD_ALLOC);
    for (uint32_t k = 1; k < n; k++) {
        const uint32_t r = Z7Sec_Elem(db, Z7SEC_INST, k);
        if (Z7Mem_Get16(r + IN_FLAGS) & 0x8000)
            Z7Fbl_Call(Z7Mem_Get32(r + IN_HANDLER), FB_KEEPALIVE, db, Z7Mem_Get32(r + IN_CDATA),
                       Z7Mem_Get32(r + IN_IDATA), 0);
    }
}

void Z7VMFbl_ShutDown(uint32_t db) {
    const uint32_t n = Z7Sec_Get(db, Z7SEC_INST, SD_ALLOC);
    for (uint32_t k = 1; k < n; k++) {
        const uint32_t r = Z7Sec_Elem(db, Z7SEC_INST, k);
        Z7Fbl_Call(Z7Mem_Get32(r + IN_HANDLER), FB_INSTEXIT, db, Z7Mem_Get32(r + IN_CDATA), Z7Mem_Get32(r + IN_IDATA),
                   0);
    }
    const uint32_t nc = Z7Sec_Get(db, Z7SEC_CLASS, SD_ALLOC);
    for (uint32_t i = 0; i < nc; i++) {
        const uint32_t ce = Z7Sec_Elem(db, Z7SEC_CLASS, i);
        if (Z7Mem_Get16(ce + CL_REG))
            Z7Fbl_Call(Z7Mem_Get32(ce + CL_HANDLER), FB_CLASSEXIT, db, Z7Mem_Get32(ce + CL_DATA), 0, 0);
    }
}

uint32_t Z7VMFbl_GetInstanceCount(uint32_t db, const char *class_name) {
    if (class_name == nullptr) return 0;
    const uint32_t nc = Z7Sec_Get(db, Z7SEC_CLASS, SD_ALLOC);
    uint32_t cls = nc;
    for (uint32_t i = 0; i < nc && cls == nc; i++) {
        char cn[kNameMax + 1];
        Name16(Z7Sec_Elem(db, Z7SEC_CLASS, i), cn);
        if (std::strcmp(cn, class_name) == 0) cls = i;
    }
    if (cls == nc) return 0;
    uint32_t count = 0;
    const uint32_t n = Z7Sec_Get(db, Z7SEC_INST, SD_ALLOC);
    for (uint32_t k = 1; k < n; k++) {
        const uint32_t r = Z7Sec_Elem(db, Z7SEC_INST, k);
        if (Z7Mem_Get32(r + IN_HANDLER) != Z7H_NONE && Z7Mem_Get32(r + IN_HANDLER) != Z7H_NULLBLK &&
            Z7Mem_Get16(r + IN_CLASS) == cls)
            count++;
    }
    return count;
}

// ---- parameter access -------------------------------------------------------------------------
uint32_t Z7Tools_GetAnyParam(uint32_t db, uint32_t type, uint32_t index, uint32_t *locked, uint32_t *size) {
    uint32_t sec, width;
    uint8_t bit;
    switch (type) {
    case 1:
    case 10:
    case 14:
        sec = Z7SEC_D8;
        width = 1;
        bit = 0x01;
        break;
    case 11:
    case 15:
        sec = Z7SEC_D16;
        width = 2;
        bit = 0x02;
        break;
    case 2:
    case 3:
    case 16:
        sec = Z7SEC_D32;
        width = 4;
        bit = 0x04;
        break;
    case 12:
    case 13:
    case 17:
        sec = Z7SEC_D64;
        width = 8;
        bit = 0x08;
        break;
    case 4:
        sec = Z7SEC_TIME;
        width = 4;
        bit = 0x10;
        break;
    case 5:
        sec = Z7SEC_STRPTR;
        width = 4;
        bit = 0x20;
        break;
    default: return 0;
    }
    const uint32_t e = Z7Sec_Elem(db, sec, index);
    if (e == 0) return 0;
    uint32_t addr = e;
    if (type == 5) {
        addr = Z7Mem_Get32(e);
        if (addr == 0) return 0;
        width = Z7Mem_Get8(addr) + 3u;
        if (Z7Mem_Ptr(addr, width) == nullptr) return 0;  // a slot the arena does not hold whole
    }
    if (locked) *locked = (Z7Mem_Get8(Z7Sec_Elem(db, Z7SEC_LOCK, index)) & bit) ? 1 : 0;
    if (size) *size = width;
    return addr;
}
