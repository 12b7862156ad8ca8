// Shared memory for the driver kit: a named area of a fixed size shared with
// another process, guarded by a semaphore of the same name, and the bus
// driver Z7BusShm2 that exchanges the application's variables through such
// an area. The area is the file "/dev/shm/NAME" and its semaphore the file
// "/dev/shm/sem.NAME" (where the system keeps named ones), both under the
// root folder. The driver is not registered with the driver kit on this
// controller, so no application reaches it.
#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/image/bytes.h"
#include "iec/services/z7rtio.h"
#include "iec/services/z7svc.h"
#include "iec/vm/z7cnv.h"
#include "platform/plat.h"

namespace {
constexpr uint32_t kSlots = 16, kMaxArea = 16u << 20, kLockWaitMs = 20;

struct Area {
    bool used, created;
    uint8_t *data;
    uint32_t size;
    sem_t *sem;
    char name[64];
};
std::array<Area, kSlots> areas{};

Area *Of(uint32_t h) { return h >= 1 && h <= kSlots && areas[h - 1].used ? &areas[h - 1] : nullptr; }

// A name of one path element ("/" in front allowed), not "." or "..".
const char *Element(const char *name) {
    if (name == nullptr) return nullptr;
    if (name[0] == '/') name++;
    const size_t n = strnlen(name, 64);
    if (n == 0 || n >= 64 || std::strchr(name, '/') || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
        return nullptr;
    return name;
}

bool ShmPath(const char *prefix, const char *name, const char *suffix, char *out, size_t n) {
    char abs[128];
    std::snprintf(abs, sizeof abs, "/dev/shm/%s%s%s", prefix, name, suffix);
    return PLAT_Path(abs, out, n) != nullptr;
}

void *MapFile(int fd, uint32_t size) {
    void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return p == MAP_FAILED ? nullptr : p;
}

// The semaphore of the area: the one that exists, or a new one holding 1
// (set up under a temporary name and linked in whole, so that the other side
// never sees it half made).
sem_t *OpenSem(const char *name) {
    char path[600], tmp[600];
    if (!ShmPath("sem.", name, "", path, sizeof path)) return nullptr;
    for (int attempt = 0; attempt < 2; attempt++) {
        const int fd = open(path, O_RDWR | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) {
            struct stat st {};
            void *p = fstat(fd, &st) == 0 && st.st_size >= off_t(sizeof(sem_t)) ? MapFile(fd, sizeof(sem_t)) : nullptr;
            close(fd);
            return static_cast<sem_t *>(p);
        }
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, ".%ld.tmp", long(getpid()));
        if (!ShmPath("sem.", name, suffix, tmp, sizeof tmp)) return nullptr;
        const int nfd = open(tmp, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0660);
        if (nfd < 0) return nullptr;
        sem_t *s = ftruncate(nfd, sizeof(sem_t)) == 0 ? static_cast<sem_t *>(MapFile(nfd, sizeof(sem_t))) : nullptr;
        close(nfd);
        const bool made = s != nullptr && sem_init(s, 1, 1) == 0 && link(tmp, path) == 0;
        unlink(tmp);
        if (made) return s;
        if (s) munmap(s, sizeof(sem_t));
        if (errno != EEXIST) return nullptr;  // else the other side made it meanwhile
    }
    return nullptr;
}

uint32_t Open(const char *name, uint32_t size, bool create) {
    const char *el = Element(name);
    if (el == nullptr || size == 0 || size > kMaxArea) return 0;
    uint32_t slot = 0;
    while (slot < kSlots && areas[slot].used) slot++;
    char path[600];
    if (slot == kSlots || !ShmPath("", el, "", path, sizeof path)) return 0;
    const int fd = open(path, O_RDWR | O_NOFOLLOW | O_CLOEXEC | (create ? O_CREAT | O_EXCL : 0), 0660);
    if (fd < 0) return 0;
    struct stat st {};
    // a linked area smaller than asked would fault past its end: refused
    bool ok = create ? ftruncate(fd, off_t(size)) == 0 : fstat(fd, &st) == 0 && uint64_t(st.st_size) >= size;
    uint8_t *data = ok ? static_cast<uint8_t *>(MapFile(fd, size)) : nullptr;
    close(fd);
    sem_t *sem = data ? OpenSem(el) : nullptr;
    if (data && sem == nullptr) Z7EVSTRACE("sem_open() failed ");
    if (sem == nullptr) {
        if (data) munmap(data, size);
        if (create) unlink(path);
        return 0;
    }
    std::memset(data, 0, size);
    Area &a = areas[slot];
    a = Area{true, create, data, size, sem, {}};
    std::snprintf(a.name, sizeof a.name, "%s", el);
    return slot + 1;
}
}  // namespace

uint32_t Z7Shm_Create(const char *name, uint32_t size) { return Open(name, size, true); }
uint32_t Z7Shm_Link(const char *name, uint32_t size) { return Open(name, size, false); }

uint32_t Z7Shm_Lock(uint32_t h) {
    Area *a = Of(h);
    if (a == nullptr) return 0;
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_nsec += long(kLockWaitMs) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec++;
        until.tv_nsec -= 1000000000L;
    }
    int r;
    while ((r = sem_clockwait(a->sem, CLOCK_MONOTONIC, &until)) != 0 && errno == EINTR) {
    }
    return r == 0 ? 1 : 0;
}

void Z7Shm_Unlock(uint32_t h) {
    if (Area *a = Of(h)) sem_post(a->sem);
}

namespace {
// Bytes of an area (0 for no area).
uint32_t AreaSize(uint32_t h) {
    Area *a = Of(h);
    return a ? a->size : 0;
}
}  // namespace

uint8_t *Z7Shm_GetData(uint32_t h) {
    Area *a = Of(h);
    return a ? a->data : nullptr;
}

void Z7Shm_Close(uint32_t h) {
    Area *a = Of(h);
    if (a == nullptr) return;
    munmap(a->data, a->size);
    munmap(a->sem, sizeof(sem_t));
    char path[600];
    if (a->created && ShmPath("", a->name, "", path, sizeof path)) unlink(path);
    if (a->created && ShmPath("sem.", a->name, "", path, sizeof path)) unlink(path);
    *a = Area{};
}

// ---- the bus driver ---------------------------------------------------------------------------------------
// Bus definition properties: u32 area size, u8 1 = exchange under the
// semaphore, 3 spare bytes, the area name (zero-terminated, at most 63
// characters). Item properties: u32 offset in the area, u8 direction (1 the
// area into the variable, 2 the variable into the area, 3 both ways: a change
// of the area since the last exchange wins, otherwise the variable is
// written), u8 form (0 signed, 1 unsigned, 2 real, 3 text), u16 bytes (1, 2,
// 4 or 8; 4 or 8 for real; 1..255 for text). Numbers are little-endian. A
// definition that breaks these rules is left out of the exchange.
namespace {
enum : uint32_t { BN_AREA = 0, BN_SIZE = 4, BN_LOCK = 8, BN_VALID = 9, BN_BYTES = 16 };
enum : uint32_t { IN_OFFSET = 0, IN_SIZE = 4, IN_DIR = 6, IN_FORM = 7, IN_VALID = 8, IN_LAST = 16 };
enum : uint8_t { DIR_IN = 1, DIR_OUT = 2, DIR_INOUT = 3 };
enum : uint8_t { FORM_SIGNED = 0, FORM_UNSIGNED = 1, FORM_REAL = 2, FORM_TEXT = 3 };

// Bytes of properties a definition carries (0 when it has none).
uint32_t PropBytes(uint32_t def) {
    const uint32_t size = Z7Mem_Get16(def);
    return size > 16 ? size - 16 : 0;
}

struct ItemProps {
    uint32_t offset;
    uint16_t size;
    uint8_t dir, form;
    bool valid;
};
ItemProps ReadItem(uint32_t def) {
    ItemProps p{};
    if (PropBytes(def) < 8) return p;
    const uint32_t a = def + 16;
    p.offset = Z7Mem_Get32(a);
    p.dir = Z7Mem_Get8(a + 4);
    p.form = Z7Mem_Get8(a + 5);
    p.size = Z7Mem_Get16(a + 6);
    const bool num = p.size == 1 || p.size == 2 || p.size == 4 || p.size == 8;
    const bool form_ok = (p.form <= FORM_UNSIGNED && num) || (p.form == FORM_REAL && (p.size == 4 || p.size == 8)) ||
                         (p.form == FORM_TEXT && p.size >= 1 && p.size <= 255);
    p.valid = form_ok && p.dir >= DIR_IN && p.dir <= DIR_INOUT;
    return p;
}

uint32_t NumberType(uint8_t form, uint16_t size) {
    if (form == FORM_REAL) return size == 4 ? IEC_REAL : IEC_LREAL;
    return form == FORM_SIGNED ? IEC_LINT : IEC_ULINT;
}

void AreaToVar(uint32_t db, uint32_t node, const uint8_t *src) {
    const uint8_t form = Z7Mem_Get8(node + IN_FORM);
    const uint16_t size = Z7Mem_Get16(node + IN_SIZE);
    if (form == FORM_TEXT) {
        Z7DDKH_WriteVarString(db, node, reinterpret_cast<const char *>(src),
                              uint32_t(strnlen(reinterpret_cast<const char *>(src), size)));
        return;
    }
    uint64_t v = 0;
    for (uint32_t i = 0; i < size; i++) v |= uint64_t(src[i]) << (8 * i);
    if (form == FORM_SIGNED && size < 8 && (v >> (8 * size - 1)) & 1) v |= ~uint64_t(0) << (8 * size);
    uint8_t b[8];
    std::memcpy(b, &v, 8);  // native holder of the value (a REAL in its low four bytes)
    if (form == FORM_REAL && size == 4) {
        const uint32_t bits = uint32_t(v);
        std::memcpy(b, &bits, 4);
    }
    Z7DDKH_WriteVarAny(db, node, NumberType(form, size), b);
}

void VarToArea(uint32_t db, uint32_t node, uint8_t *dst) {
    const uint8_t form = Z7Mem_Get8(node + IN_FORM);
    const uint16_t size = Z7Mem_Get16(node + IN_SIZE);
    if (form == FORM_TEXT) {
        const uint32_t text = Z7DDKH_ReadVarString(db, node);
        if (text == 0) return;
        const uint32_t len = Z7Mem_Get8(text - 1), n = len < size ? len : size;
        const uint8_t *p = Z7Mem_Ptr(text, n ? n : 1);
        if (p == nullptr) return;
        std::memcpy(dst, p, n);
        std::memset(dst + n, 0, size - n);
        return;
    }
    uint8_t b[8];
    if (!Z7DDKH_ReadVarAny(db, node, NumberType(form, size), b)) return;
    uint64_t v = 0;
    if (form == FORM_REAL && size == 4) {
        uint32_t bits;
        std::memcpy(&bits, b, 4);
        v = bits;
    } else {
        std::memcpy(&v, b, 8);
    }
    for (uint32_t i = 0; i < size; i++) dst[i] = uint8_t(v >> (8 * i));
}

// Calls fn(item node) for every item below a bus in tree order.
template <typename Fn>
void EachItem(uint32_t db, uint32_t node, Fn fn) {
    for (uint32_t n = Z7DDKH_GetChild(db, node); n != 0; n = Z7DDKH_GetSibling(db, n)) {
        if (Z7Mem_Get16(Z7DDKH_GetDef(db, n) + 2) == 4)
            fn(n);
        else
            EachItem(db, n, fn);
    }
}

// The item's bytes of the area, or null when they pass its end.
uint8_t *ItemBytes(uint32_t root, uint32_t node) {
    const uint32_t h = Z7Mem_Get32(root + BN_AREA), off = Z7Mem_Get32(node + IN_OFFSET),
                   size = Z7Mem_Get16(node + IN_SIZE);
    uint8_t *data = Z7Shm_GetData(h);
    return data && Z7Mem_Get8(node + IN_VALID) && uint64_t(off) + size <= AreaSize(h) ? data + off : nullptr;
}

uint32_t Build(uint32_t db, uint32_t level, uint32_t node) {
    const uint32_t def = Z7DDKH_GetDef(db, node);
    if (level == 1) {
        Z7Mem_Put32(node + BN_SIZE, PropBytes(def) >= 4 ? Z7Mem_Get32(def + 16) : 0);
        Z7Mem_Put8(node + BN_LOCK, PropBytes(def) >= 5 ? Z7Mem_Get8(def + 20) : 0);
        Z7Mem_Put8(node + BN_VALID, PropBytes(def) >= 9 ? 1 : 0);
        return BN_BYTES;
    }
    if (level != 4) return 0;
    const ItemProps p = ReadItem(def);
    Z7Mem_Put32(node + IN_OFFSET, p.offset);
    Z7Mem_Put16(node + IN_SIZE, p.size);
    Z7Mem_Put8(node + IN_DIR, p.dir);
    Z7Mem_Put8(node + IN_FORM, p.form);
    Z7Mem_Put8(node + IN_VALID, p.valid ? 1 : 0);
    return IN_LAST + (p.valid && p.dir == DIR_INOUT ? p.size : 0);
}

uint32_t OpenBus(uint32_t db, uint32_t root) {
    Z7EVSTRACE("Driver Z7BusShm2: Shared memory V9.1.0");
    const uint32_t def = Z7DDKH_GetDef(db, root), size = Z7Mem_Get32(root + BN_SIZE);
    char name[64] = {};
    for (uint32_t i = 0; Z7Mem_Get8(root + BN_VALID) && i < 63 && i + 8 < PropBytes(def); i++)
        if ((name[i] = char(Z7Mem_Get8(def + 24 + i))) == 0) break;
    uint32_t h = Z7Shm_Create(name, size);
    if (h == 0) h = Z7Shm_Link(name, size);
    if (h == 0) {
        Z7EVSTRACE("Cannot create or link to shared memory");
        return 1;
    }
    Z7Mem_Put32(root + BN_AREA, h);
    EachItem(db, root, [&](uint32_t n) {
        const uint8_t *a = ItemBytes(root, n);
        if (a && Z7Mem_Get8(n + IN_DIR) == DIR_INOUT)
            std::memcpy(Z7Mem_Ptr(n + IN_LAST, Z7Mem_Get16(n + IN_SIZE)), a, Z7Mem_Get16(n + IN_SIZE));
    });
    return 0;
}

void ExchangeBus(uint32_t db, uint32_t root) {
    const uint32_t h = Z7Mem_Get32(root + BN_AREA);
    const bool lock = Z7Mem_Get8(root + BN_LOCK) != 0;
    if (h == 0 || (lock && !Z7Shm_Lock(h))) return;  // a busy area waits for the next cycle
    EachItem(db, root, [&](uint32_t n) {
        uint8_t *a = ItemBytes(root, n);
        if (a == nullptr) return;
        const uint8_t dir = Z7Mem_Get8(n + IN_DIR);
        const uint16_t size = Z7Mem_Get16(n + IN_SIZE);
        if (dir == DIR_IN)
            AreaToVar(db, n, a);
        else if (dir == DIR_OUT)
            VarToArea(db, n, a);
        else if (uint8_t *last = Z7Mem_Ptr(n + IN_LAST, size)) {
            if (std::memcmp(a, last, size) != 0)
                AreaToVar(db, n, a);
            else
                VarToArea(db, n, a);
            std::memcpy(last, a, size);
        }
    });
    if (lock) Z7Shm_Unlock(h);
}
}  // namespace

uint32_t Z7BusShm2(uint32_t cmd, uint32_t, uint32_t db, uint32_t level, uint32_t node, uint32_t, uint32_t props) {
    switch (cmd) {
    case 1:
        if (level == 1) return BN_BYTES;
        if (level == 4 && props >= 16) {
            const ItemProps p = ReadItem(props - 16);
            return IN_LAST + (p.valid && p.dir == DIR_INOUT ? p.size : 0);
        }
        return 0;
    case 2: return Build(db, level, node);
    case 3: return level == 1 ? OpenBus(db, node) : 0;
    case 4:
        if (level == 1) {
            Z7Shm_Close(Z7Mem_Get32(node + BN_AREA));
            Z7Mem_Put32(node + BN_AREA, 0);
        }
        return 0;
    case 5:
        if (level == 1) ExchangeBus(db, node);
        return 0;
    default: return 0;
    }
}
