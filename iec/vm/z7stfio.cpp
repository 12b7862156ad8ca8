// Standard functions on files, TCP and UDP sockets, byte buffers, recipes,
// signals, CAN, AS-i and the dynamic arrays of the resource table, one
// handler per slot of the table. Every open file and socket is kept in the
// resource table, so a stop of the application closes it. Only a call whose
// operands lie outside their sections stops the VM; any other failure is a
// FALSE, 0 or -1 result.
#include <bit>
#include <cstring>

#include "iec/vm/z7parts.h"
#include "iec/vm/z7stdlib.h"
#include "iec/vm/z7stfops.h"
#include "iec/vm/z7stfs.h"

namespace {
using namespace z7stf;
// A name of the program's longest string (255 characters) behind the '/'
// of a relative name, and its terminator: a name is never cut to a shorter
// one, which could name another file.
constexpr uint32_t kPathMax = 257;

// A file name of the program as a system path: a ".." component is refused;
// a relative name resolves under the root, as on the controller.
bool Path(const Z7Ops &o, uint32_t k, char out[kPathMax]) {
    char name[kPathMax - 1];
    const uint32_t n = Text(o, k, name, sizeof name);
    if (n == 0) return false;
    for (uint32_t i = 0; i < n; i++)
        if (name[i] == '\\') name[i] = '/';
    for (const char *c = name; *c != 0;) {
        while (*c == '/') c++;
        const char *start = c;
        while (*c != 0 && *c != '/') c++;
        if (c - start == 2 && start[0] == '.' && start[1] == '.') return false;
    }
    out[0] = '/';
    std::memcpy(out + (name[0] == '/' ? 0 : 1), name, n + 1);
    return true;
}

// ---- files -----------------------------------------------------------------------------------------
uint32_t KnownFile(const Z7Ops &o, uint32_t k) {
    const uint32_t h = o.U32(k);
    return h != 0 && Z7VMRsc_FindKind(o.db, h, RSC_FILE) != 0 ? h : 0;
}
// F_ROPEN, F_WOPEN, F_AOPEN: the handle of the file opened for reading,
// writing or appending, kept in the resource table (0 when not opened).
uint32_t OpenFile(const Z7Ops &o, bool write, bool append) {
    char path[kPathMax];
    const uint32_t item = Z7VMRsc_GetFreeItem(o.db);
    if (item == 0 || !Path(o, 1, path)) return 0;
    const uint32_t h = append ? Z7Std_Hooks.file_open_append(path) : Z7Std_Hooks.file_open(path, write);
    if (h != 0) Z7VMRsc_Set(item, h, 0, 1, RSC_FILE);
    return h;
}
// One value of at most 8 bytes read from a file into dst, or nothing: a
// value cut short by the end of the file leaves dst as it was rather than
// part old and part new.
bool ReadWhole(uint32_t h, uint8_t *dst, uint32_t size) {
    uint8_t v[8];
    if (size > sizeof v || !Z7Std_Hooks.file_read(h, v, size)) return false;
    std::memcpy(dst, v, size);
    return true;
}
// FB_READ, FB_WRITE: one variable of any type as raw bytes; a string is
// written with its current length and never read; a forced variable is not
// read into (TRUE all the same).
uint32_t FileBlock(const Z7Ops &o, bool read) {
    const uint32_t type = o.Lit(1), h = KnownFile(o, 2);
    uint32_t locked = 0, size = 0;
    const uint32_t a = Z7Tools_GetAnyParam(o.db, type, o.Lit(3), &locked, &size);
    if (h == 0 || a == 0) {
        o.Put8(0, 0);
        return 1;
    }
    if (type == 5) {
        if (read)
            o.Put8(0, 0);
        else
            o.Put8(0, Z7Std_Hooks.file_write(h, Z7Mem_Ptr(a + 2, Z7Mem_Get8(a + 1) + 1u), Z7Mem_Get8(a + 1)) ? 1 : 0);
        return 1;
    }
    if (read && locked) {
        o.Put8(0, 1);
        return 1;
    }
    uint8_t *p = Z7Mem_Ptr(a, size);
    o.Put8(0, p && (read ? ReadWhole(h, p, size) : Z7Std_Hooks.file_write(h, p, size)) ? 1 : 0);
    return 1;
}
// FR_READ, FR_WRITE: count elements of an array from element pos on, one
// element at a time; the result is the count of elements moved.
uint32_t FileRecords(const Z7Ops &o, bool read) {
    const uint32_t type = o.Lit(1), h = KnownFile(o, 2);
    const int64_t declared = o.Lit(4);
    const uint32_t pos = o.U32(5) & 0xFFFF, count = o.U32(6) & 0xFFFF;
    uint32_t es = 0;
    const uint32_t a = Z7Tools_GetArrayIn(o.db, type, o.Lit(3), declared, &es);
    if (type == 5 || h == 0 || a == 0 || es == 0 || int64_t(pos) + count > declared || count == 0) {
        o.Put32(0, 0);
        return 1;
    }
    uint8_t *p = Z7Mem_Ptr(a + pos * es, count * es);
    uint32_t done = 0;
    for (; p && done < count; done++)
        if (!(read ? ReadWhole(h, p + done * es, es) : Z7Std_Hooks.file_write(h, p + done * es, es))) break;
    o.Put32(0, done);
    return 1;
}
// F_EXIST, F_DELETE: TRUE when the named file exists / was deleted.
uint32_t PathCheck(const Z7Ops &o, bool remove) {
    char path[kPathMax];
    const bool ok = Path(o, 1, path);
    o.Put8(0, ok && (remove ? Z7Std_Hooks.file_delete(path) : Z7Std_Hooks.file_exist(path)) ? 1 : 0);
    return 1;
}
// F_COPY, F_RENAME: TRUE when the first named file was copied / renamed to
// the second name.
uint32_t PathPair(const Z7Ops &o, bool rename) {
    char a[kPathMax], b[kPathMax];
    const bool ok = Path(o, 1, a) && Path(o, 2, b);
    o.Put8(0, ok && (rename ? Z7Std_Hooks.file_rename(a, b) : Z7Std_Hooks.file_copy(a, b)) ? 1 : 0);
    return 1;
}

// ---- sockets ----------------------------------------------------------------------------------------
int32_t KnownSocket(const Z7Ops &o, uint32_t k) {
    const int32_t s = o.D(k);
    return s != -1 && Z7VMRsc_FindSocket(o.db, s) ? s : -1;
}
void Release(uint32_t db, int32_t s) {
    Z7Std_Hooks.socket_close(s);
    if (const uint32_t item = Z7VMRsc_FindSocket(db, s)) Z7VMRsc_Set(item, 0, 0, 0, 0);
}
int32_t Record(uint32_t item, int32_t s) {
    if (s != -1) Z7VMRsc_Set(item, uint32_t(s), 0, 1, RSC_SOCKET);
    return s;
}
// A byte array operand (index k, literal size k+1) inside its segment; the
// usable size goes to size.
uint8_t *Bytes(const Z7Ops &o, uint32_t k, uint32_t &size) {
    const int64_t declared = o.Lit(k + 1);
    const uint32_t a = Z7Tools_GetArrayIn(o.db, 14, o.Lit(k), declared, nullptr);
    size = a ? uint32_t(declared) : 0;
    return a ? Z7Mem_Ptr(a, size ? size : 1) : nullptr;
}
// Bytes to move: n limited to 0..limit (a negative n moves nothing).
uint32_t Limit(int32_t n, uint32_t limit) { return n <= 0 ? 0 : uint32_t(n) < limit ? uint32_t(n) : limit; }
bool UdpAddress(const Z7Ops &o, uint32_t k, uint8_t *&addr) {
    uint32_t size = 0;
    addr = Bytes(o, k, size);
    if (addr != nullptr && size >= 16) return true;
    Z7Part_Trace("UDP address must be USINT[%u]", 16u);
    return false;
}
// TCPSEND, TCPRECEIVE (a string: at most its maximum length in bytes of its
// storage, so a send of more than the current text also moves the
// terminator and what lies behind it, and a fixed-size frame keeps its
// size) and
// TCPSENDARRAY, TCPRCVARRAY (a byte array): at most len bytes; the result is
// the count moved, 0 on a closed or failed socket, which is then released.
// A receive into a forced string takes and counts the bytes all the same;
// the string keeps its forced text.
uint32_t TcpMove(const Z7Ops &o, bool send, bool array) {
    const uint32_t db = o.db;
    const int32_t s = KnownSocket(o, 1);
    uint8_t *buf = nullptr, spare[256];
    uint32_t limit = 0, slot = 0;
    bool forced = false;
    if (array) {
        buf = Bytes(o, 3, limit);
    } else {
        slot = Z7VMStr_Slot(db, o.Lit(3));
        limit = slot ? Z7Mem_Get8(slot) : 0;
        buf = slot ? Z7Mem_Ptr(slot + 2, limit + 1u) : nullptr;
        forced = !send && o.Forced(3, 0, Z7LK_STR);
        if (forced && buf != nullptr) buf = spare;
    }
    const uint32_t len = Limit(o.D(2), limit);
    if (s == -1 || buf == nullptr) {
        o.Put32(0, 0);
        return 1;
    }
    bool closed = false;
    int32_t n =
        send ? Z7Std_Hooks.tcp_send(s, len, buf, &closed) : (len ? Z7Std_Hooks.tcp_receive(s, len, buf, &closed) : 0);
    if (closed) {
        Release(db, s);
        n = 0;
    }
    if (n < 0) n = 0;
    if (!send && !array && !forced) {
        Z7Mem_Put8(slot + 1, uint8_t(n));
        Z7Mem_Put8(slot + 2 + uint32_t(n), 0);
    }
    o.Put32(0, uint32_t(n));
    return 1;
}
// UDPSENDTO (the current text of a string), UDPSENDTOARRAY (a byte array):
// len bytes to the address made by UDPADDRMAKE; TRUE when the datagram went
// out whole.
uint32_t UdpSend(const Z7Ops &o, bool array) {
    uint8_t *addr = nullptr;
    const int32_t s = KnownSocket(o, 1);
    if (!UdpAddress(o, 3, addr)) {
        o.Put8(0, 0);
        return 1;
    }
    const uint8_t *data = nullptr;
    uint32_t limit = 0;
    if (array)
        data = Bytes(o, 5, limit);
    else if (const uint32_t slot = Z7VMStr_Slot(o.db, o.Lit(5))) {
        limit = Z7Mem_Get8(slot + 1);
        data = Z7Mem_Ptr(slot + 2, limit + 1);
    }
    const uint32_t len = Limit(o.D(2), limit);
    o.Put8(0, s != -1 && data != nullptr && Z7Std_Hooks.udp_send_to(s, addr, data, len) ? 1 : 0);
    return 1;
}
// UDPRCVFROM (a string), UDPRCVFROMARRAY (a byte array): one waiting
// datagram of at most len bytes, its sender's address kept; the result is
// the count of bytes taken. A datagram for a forced string is taken and
// counted all the same (as TCPRECEIVE does), the string keeping its forced
// text: left waiting, it would be reported as none and read stale later.
uint32_t UdpReceive(const Z7Ops &o, bool array) {
    uint8_t *addr = nullptr;
    const int32_t s = KnownSocket(o, 1);
    if (!UdpAddress(o, 3, addr)) {
        o.Put32(0, 0);
        return 1;
    }
    uint8_t *data = nullptr, spare[256];
    uint32_t limit = 0, slot = 0;
    bool forced = false;
    if (array)
        data = Bytes(o, 5, limit);
    else if ((slot = Z7VMStr_Slot(o.db, o.Lit(5))) != 0) {
        limit = Z7Mem_Get8(slot);
        data = Z7Mem_Ptr(slot + 2, limit + 1u);
        forced = o.Forced(5, 0, Z7LK_STR);
        if (forced && data != nullptr) data = spare;
    }
    const uint32_t len = Limit(o.D(2), limit);
    uint32_t n = 0;
    if (s != -1 && data != nullptr && len != 0) {
        uint8_t from[16] = {};
        n = Z7Std_Hooks.udp_recv_from(s, data, len, from);
        if (n > len) n = 0;
        if (n) std::memcpy(addr, from, 16);
        if (!array && !forced) {
            Z7Mem_Put8(slot + 1, uint8_t(n));
            Z7Mem_Put8(slot + 2 + n, 0);
        }
    }
    o.Put32(0, n);
    return 1;
}

// ---- byte buffers ------------------------------------------------------------------------------------
uint32_t Serialize(const Z7Ops &o, bool out) {
    const uint32_t type = o.Lit(1);
    uint32_t size = 0;
    uint8_t *buf = Bytes(o, 2, size);
    uint32_t locked = 0, width = 0;
    const uint32_t a = Z7Tools_GetAnyParam(o.db, type, o.Lit(4), &locked, &width);
    const int64_t pos = o.D(5);
    if (type == 5 || buf == nullptr || a == 0 || pos < 0 || pos + width > size) return 0;
    const bool swap = o.U8(6) != 0;
    uint8_t *v = Z7Mem_Ptr(a, width);
    uint8_t *b = buf + pos;
    if (out) {
        for (uint32_t i = 0; i < width; i++) b[i] = swap ? v[width - 1 - i] : v[i];
    } else if (!locked) {
        for (uint32_t i = 0; i < width; i++) v[i] = swap ? b[width - 1 - i] : b[i];
    }
    return uint32_t(pos + width);
}
uint32_t PutString(const Z7Ops &o) {
    uint32_t size = 0;
    uint8_t *buf = Bytes(o, 1, size);
    const int64_t pos = o.D(4), l = o.D(5);
    const uint32_t len = Z7VMStr_GetLength(o.db, o.Lit(3));
    const uint8_t *t = Z7Mem_Ptr(Z7VMStr_GetText(o.db, o.Lit(3)), len + 1);
    if (buf == nullptr || t == nullptr || pos < 0 || l < 0) return 0;
    if (l > 0) {
        if (pos + l > size) return 0;
        std::memset(buf + pos, 0, size_t(l));
        std::memcpy(buf + pos, t, size_t(l < len ? l : len));
        return uint32_t(pos + l);
    }
    if (pos + len + 1 > size) return 0;
    if (o.U8(6)) {
        std::memcpy(buf + pos, t, len);
        buf[pos + len] = 0;
    } else if (o.U8(7)) {
        buf[pos] = uint8_t(len);
        std::memcpy(buf + pos + 1, t, len);
    } else {
        return 0;
    }
    return uint32_t(pos + len + 1);
}
void StrTo(const Z7Ops &o, uint32_t k, const char *text) {
    if (!o.Forced(k, 0, Z7LK_STR)) Z7VMStr_AscForceC(o.db, o.Lit(k), text);
}
uint32_t GetString(const Z7Ops &o) {
    uint32_t size = 0;
    const uint8_t *buf = Bytes(o, 1, size);
    const int64_t pos = o.D(4), l = o.D(5);
    if (buf == nullptr || pos < 0 || l < 0) return 0;
    char text[256];
    uint32_t n = 0;
    int64_t next = 0;
    if (l > 0) {
        if (pos + l > size) return 0;
        while (n < l && n < 255 && buf[pos + n] != 0) n++;
        next = pos + l;
    } else if (o.U8(6)) {
        if (pos >= size) return 0;
        while (pos + n < size && n < 255 && buf[pos + n] != 0) n++;
        next = pos + 1 + n;
    } else if (o.U8(7)) {
        if (pos >= size || pos + 1 + buf[pos] > size) return 0;
        n = buf[pos];
        next = pos + 1 + n;
        // the n bytes whole, as SERPUTSTRING lays a counted string down: a
        // 0 byte among them does not end the text
        std::memcpy(text, buf + pos + 1, n);
        if (!o.Forced(3, 0, Z7LK_STR)) Z7VMStr_AscForce(Z7VMStr_Slot(o.db, o.Lit(3)), text, n);
        return uint32_t(next);
    } else {
        return 0;
    }
    std::memcpy(text, buf + pos, n);
    text[n] = 0;
    StrTo(o, 3, text);
    return uint32_t(next);
}
uint32_t MbShift(const Z7Ops &o) {
    const uint32_t type = o.Lit(1);
    uint32_t es = 0;
    switch (type) {
    case 10:
    case 14: es = 1; break;
    case 11:
    case 15: es = 2; break;
    case 2:
    case 16: es = 4; break;
    case 12:
    case 17: es = 8; break;
    default: return 0;
    }
    const int64_t declared = o.Lit(3), pos = o.D(4), nbytes = o.D(5), nbits = o.D(6);
    const uint32_t a = Z7Tools_GetArrayIn(o.db, type, o.Lit(2), declared, nullptr);
    if (a == 0 || nbytes <= 0 || pos < 0 || nbits < 0 || nbits > 255 || pos * es + nbytes > declared * int64_t(es))
        return 0;
    uint8_t *p = Z7Mem_Ptr(a + uint32_t(pos) * es, uint32_t(nbytes));
    const bool right = o.U8(7), rotate = o.U8(8), in = o.U8(9);
    const uint32_t n = uint32_t(nbytes);
    for (int64_t k = 0; k < nbits; k++) {
        if (!right) {
            const uint8_t first = p[0] >> 7;
            for (uint32_t i = 0; i + 1 < n; i++) p[i] = uint8_t(p[i] << 1 | p[i + 1] >> 7);
            p[n - 1] = uint8_t(p[n - 1] << 1 | (rotate ? first : in ? 1 : 0));
        } else {
            const uint8_t last = p[n - 1] & 1;
            for (uint32_t i = n - 1; i > 0; i--) p[i] = uint8_t(p[i] >> 1 | (p[i - 1] & 1) << 7);
            p[0] = uint8_t(p[0] >> 1 | (rotate ? last : in ? 1 : 0) << 7);
        }
    }
    return 1;
}

// RCPAPPLY: the values of one column of one recipe of the image go to the
// recipe's variables. Every table, record and value must lie inside the
// image and every variable inside its segment, else the variable is left.
uint32_t RcpApply(const Z7Ops &o) {
    const uint32_t db = o.db, code = Z7Mem_Get32(Z7VM_Header(db) + HD_CODE);
    const int64_t recipe = o.D(1), column = o.D(2);
    if (code == 0 || recipe < 0 || column < 0) return 0;
    const uint32_t end = code + Z7VMCode_Length(code);
    auto in = [&](uint64_t a, uint64_t n) { return a >= code && a + n <= end; };
    const uint32_t table = Z7VMCode_GetRecipes(code);
    if (!in(table, 4) || recipe >= Z7Mem_Get16(table + 2) || !in(table + 4 + 4 * uint64_t(recipe), 4)) return 0;
    const uint64_t rcp = uint64_t(code) + Z7Mem_Get32(table + 4 + 4 * uint32_t(recipe));
    if (!in(rcp, 4)) return 0;
    const uint32_t vars = Z7Mem_Get16(uint32_t(rcp)), cols = Z7Mem_Get16(uint32_t(rcp) + 2);
    if (column >= cols) return 0;
    const uint32_t c = uint32_t(column);
    const bool ct = Z7Sec_Bytes(db, Z7SEC_CT) != 0;
    for (uint32_t v = 0; v < vars; v++) {
        if (!in(rcp + 4 + 4 * uint64_t(v), 4)) break;
        const uint64_t rec = uint64_t(code) + Z7Mem_Get32(uint32_t(rcp) + 4 + 4 * v);
        if (!in(rec, 8)) continue;
        const uint32_t r = uint32_t(rec), type = Z7Mem_Get16(r), index = Z7Mem_Get16(r + 2), cto = Z7Mem_Get32(r + 4);
        if ((type & 0x7F) < 1 || (type & 0x7F) > 17) continue;
        const uint32_t t = type & 0x7F;
        // the value of column c
        uint64_t src = rec + 8, n = Z7Tools_TypeSize(t);
        if (t == 5) {
            for (uint32_t k = 0; k < c && in(src, 1); k++) src += 1u + Z7Mem_Get8(uint32_t(src));
            if (!in(src, 1)) continue;
            n = Z7Mem_Get8(uint32_t(src));
            src += 1;
        } else {
            src += uint64_t(c) * n;
        }
        if (!in(src, n)) continue;
        uint32_t dst = 0, locked = 0, size = 0;
        if (cto != 0) {
            if (!ct) continue;
            const uint32_t seg = Z7Sec_Addr(db, Z7SEC_CT);
            const uint64_t need = t == 5 ? 3 : n;
            if (uint64_t(cto) + need > Z7Sec_Bytes(db, Z7SEC_CT)) continue;
            dst = seg + cto;
            size = t == 5 ? Z7Mem_Get8(dst) + 3u : uint32_t(n);
            if (uint64_t(cto) + size > Z7Sec_Bytes(db, Z7SEC_CT)) continue;
        } else if (type & 0x80) {
            // through the external-variable pointer, unless it is forced
            const uint32_t xv = index != 0 ? Z7Sec_Elem(db, Z7SEC_XV, index) : 0;
            const uint32_t lock = Z7Sec_Elem(db, Z7SEC_LOCK, index);
            if (xv == 0 || (lock != 0 && (Z7Mem_Get8(lock) & Z7LK_EXT))) continue;
            dst = Z7Mem_Get32(xv);
            size = t == 5 ? (Z7Mem_Ptr(dst, 3) ? Z7Mem_Get8(dst) + 3u : 0) : uint32_t(n);
            if (dst == 0 || size == 0 || Z7Mem_Ptr(dst, size) == nullptr) continue;
        } else {
            dst = Z7Tools_GetAnyParam(db, t, index, &locked, &size);
            if (dst == 0 || locked) continue;
        }
        if (t == 5) {
            const uint32_t max = Z7Mem_Get8(dst), len = uint32_t(n < max ? n : max);
            std::memmove(Z7Mem_Ptr(dst + 2, len + 1), Z7Mem_Ptr(uint32_t(src), len ? len : 1), len);
            Z7Mem_Put8(dst + 1, uint8_t(len));
            Z7Mem_Put8(dst + 2 + len, 0);
        } else {
            std::memmove(Z7Mem_Ptr(dst, uint32_t(n)), Z7Mem_Ptr(uint32_t(src), uint32_t(n)), size_t(n));
        }
    }
    return 1;
}

// AS-i: no master here, every call answers 0 (FALSE).
uint32_t AsiNone(const Z7Ops &o, bool dword) {
    if (dword)
        o.Put32(0, 0);
    else
        o.Put8(0, 0);
    return 1;
}
}  // namespace

// ---- files -----------------------------------------------------------------------------------------
// F_ROPEN, F_WOPEN, F_AOPEN: open a file for reading, writing or appending.
uint32_t _STFS_F_ROPEN(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "4s"}, [](const Z7Ops &o) {
        o.Put32(0, OpenFile(o, false, false));
        return 1u;
    });
}
uint32_t _STFS_F_WOPEN(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "4s"}, [](const Z7Ops &o) {
        o.Put32(0, OpenFile(o, true, false));
        return 1u;
    });
}
uint32_t _STFS_F_AOPEN(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "4s"}, [](const Z7Ops &o) {
        o.Put32(0, OpenFile(o, false, true));
        return 1u;
    });
}
// F_CLOSE: close a known file and free its resource item; TRUE when it was
// known.
uint32_t _STFS_F_CLOSE(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "84"}, [](const Z7Ops &o) {
        const uint32_t h = KnownFile(o, 1);
        if (h) {
            Z7Std_Hooks.file_close(h);
            Z7VMRsc_Set(Z7VMRsc_FindKind(o.db, h, RSC_FILE), 0, 0, 0, 0);
        }
        o.Put8(0, h ? 1 : 0);
        return 1u;
    });
}
// F_EOF: TRUE at the end of a known file.
uint32_t _STFS_F_EOF(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "84"}, [](const Z7Ops &o) {
        const uint32_t h = KnownFile(o, 1);
        o.Put8(0, h && Z7Std_Hooks.file_eof(h) ? 1 : 0);
        return 1u;
    });
}
// F_ISREADY: TRUE for the handle of an open file.
uint32_t _STFS_F_ISREADY(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "84"}, [](const Z7Ops &o) {
        o.Put8(0, KnownFile(o, 1) ? 1 : 0);
        return 1u;
    });
}
// F_FLUSH: write a known file's buffers out.
uint32_t _STFS_F_FLUSH(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "84"}, [](const Z7Ops &o) {
        const uint32_t h = KnownFile(o, 1);
        o.Put8(0, h && Z7Std_Hooks.file_flush(h) ? 1 : 0);
        return 1u;
    });
}
// F_SEEK: move in a known file by an offset (operand 2) from an origin
// (operand 3).
uint32_t _STFS_F_SEEK(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {4, "8444"}, [](const Z7Ops &o) {
        const uint32_t h = KnownFile(o, 1);
        o.Put8(0, h && Z7Std_Hooks.file_seek(h, o.U32(3), o.D(2)) ? 1 : 0);
        return 1u;
    });
}
// FA_READ: the next four bytes of a known file as a little-endian DINT (0
// when they cannot be read).
uint32_t _STFS_FA_READ(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "44"}, [](const Z7Ops &o) {
        const uint32_t h = KnownFile(o, 1);
        uint8_t b[4] = {};
        o.Put32(0, h && Z7Std_Hooks.file_read(h, b, 4) ? uint32_t(b[0] | b[1] << 8 | b[2] << 16 | uint32_t(b[3]) << 24)
                                                       : 0);
        return 1u;
    });
}
// FA_WRITE: a DINT as four little-endian bytes.
uint32_t _STFS_FA_WRITE(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {3, "844"}, [](const Z7Ops &o) {
        const uint32_t h = KnownFile(o, 1), v = o.U32(2);
        const uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
        o.Put8(0, h && Z7Std_Hooks.file_write(h, b, 4) ? 1 : 0);
        return 1u;
    });
}
// FM_READ: the next line of a known file, cut to the result's maximum
// length (an unknown file leaves the result as it is).
uint32_t _STFS_FM_READ(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "s4"}, [](const Z7Ops &o) {
        const uint32_t h = KnownFile(o, 1);
        if (h == 0) return 1u;
        // empty unless the platform writes a line into it: nothing left on
        // the stack reaches the result
        char line[256] = {};
        const uint32_t max = Z7VMStr_GetMaxLength(o.db, o.Lit(0));
        const uint32_t n = Z7Std_Hooks.file_read_line(h, line, max + 1);
        // A line that fills the result exactly stops the read before its
        // line feed: the feed is taken now, else the next call would read an
        // empty line the file does not hold. Any other character is put back
        // for the next call (the rest of a longer line). NUL bytes are
        // passed over on the way, as the line reader passes over them, so a
        // feed behind them still ends this line.
        if (n == max) {
            uint8_t next = 0;
            bool more = false;
            do more = Z7Std_Hooks.file_read(h, &next, 1);
            while (more && next == 0);
            if (more && next != '\n') Z7Std_Hooks.file_seek(h, 1, -1);
        }
        o.PutStr(0, line);
        return 1u;
    });
}
// FM_WRITE: a string as one line.
uint32_t _STFS_FM_WRITE(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {3, "84s"}, [](const Z7Ops &o) {
        const uint32_t h = KnownFile(o, 1);
        char text[256];
        Text(o, 2, text, sizeof text);
        o.Put8(0, h && Z7Std_Hooks.file_write_line(h, text) ? 1 : 0);
        return 1u;
    });
}
// FB_READ, FB_WRITE: one variable of any type (literal type, file, variable).
uint32_t _STFS_FB_READ(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {4, "8l4a"}, [](const Z7Ops &o) { return FileBlock(o, true); });
}
uint32_t _STFS_FB_WRITE(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {4, "8l4a"}, [](const Z7Ops &o) { return FileBlock(o, false); });
}
// FR_READ, FR_WRITE: a run of array elements (literal type, file, array,
// declared size, first element, count).
uint32_t _STFS_FR_READ(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {7, "4l4ll44"}, [](const Z7Ops &o) { return FileRecords(o, true); });
}
uint32_t _STFS_FR_WRITE(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {7, "4l4ll44"}, [](const Z7Ops &o) { return FileRecords(o, false); });
}
// F_EXIST, F_DELETE: a file by name.
uint32_t _STFS_F_EXIST(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "8s"}, [](const Z7Ops &o) { return PathCheck(o, false); });
}
uint32_t _STFS_F_DELETE(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "8s"}, [](const Z7Ops &o) { return PathCheck(o, true); });
}
// F_GETSIZE: the size of a file by name (0 for a refused name).
uint32_t _STFS_F_GETSIZE(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "4s"}, [](const Z7Ops &o) {
        char path[kPathMax];
        const bool ok = Path(o, 1, path);
        o.Put32(0, ok ? Z7Std_Hooks.file_size(path) : 0);
        return 1u;
    });
}
// F_COPY, F_RENAME: from the first name to the second.
uint32_t _STFS_F_COPY(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {3, "8ss"}, [](const Z7Ops &o) { return PathPair(o, false); });
}
uint32_t _STFS_F_RENAME(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {3, "8ss"}, [](const Z7Ops &o) { return PathPair(o, true); });
}

// ---- sockets ----------------------------------------------------------------------------------------
// TCPLISTEN: a listening socket on a port with a backlog, kept in the
// resource table (-1 when none).
uint32_t _STFS_TCPLISTEN(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {3, "444"}, [](const Z7Ops &o) {
        const uint32_t item = Z7VMRsc_GetFreeItem(o.db);
        Z7SocketHandle s = -1;
        if (item && !Z7Std_Hooks.tcp_listen(uint16_t(o.U32(1)), o.U32(2) & 0xFFFF, &s, 0)) s = -1;
        o.Put32(0, uint32_t(item ? Record(item, s) : -1));
        return 1u;
    });
}
// TCPACCEPT: a connection waiting on a known listening socket (-1 when none).
uint32_t _STFS_TCPACCEPT(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "44"}, [](const Z7Ops &o) {
        const uint32_t item = Z7VMRsc_GetFreeItem(o.db);
        const int32_t l = KnownSocket(o, 1);
        o.Put32(0, uint32_t(item && l != -1 ? Record(item, Z7Std_Hooks.tcp_accept(l, 0)) : -1));
        return 1u;
    });
}
// TCPCONNECT: a connection to an address and port, possibly still under way
// (-1 when none).
uint32_t _STFS_TCPCONNECT(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {3, "4s4"}, [](const Z7Ops &o) {
        const uint32_t item = Z7VMRsc_GetFreeItem(o.db);
        char ip[64];
        Text(o, 1, ip, sizeof ip);
        Z7SocketHandle s = -1;
        bool pending = false;
        if (item && !Z7Std_Hooks.tcp_connect(ip, uint16_t(o.U32(2)), &s, &pending, 0)) s = -1;
        o.Put32(0, uint32_t(item ? Record(item, s) : -1));
        return 1u;
    });
}
// TCPISCONNECTED: TRUE once a connect is up; a broken one is released.
uint32_t _STFS_TCPISCONNECTED(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "84"}, [](const Z7Ops &o) {
        const int32_t s = KnownSocket(o, 1);
        const Z7Connect c = s != -1 ? Z7Std_Hooks.tcp_check_pending(s) : Z7Connect::kPending;
        if (c == Z7Connect::kBroken) Release(o.db, s);
        o.Put8(0, c == Z7Connect::kUp ? 1 : 0);
        return 1u;
    });
}
// TCPISVALID: TRUE for a socket of the resource table.
uint32_t _STFS_TCPISVALID(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "84"}, [](const Z7Ops &o) {
        o.Put8(0, KnownSocket(o, 1) != -1 ? 1 : 0);
        return 1u;
    });
}
// TCPCLOSE: close and release a known socket; TRUE when it was known.
uint32_t _STFS_TCPCLOSE(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "84"}, [](const Z7Ops &o) {
        const int32_t s = KnownSocket(o, 1);
        if (s != -1) Release(o.db, s);
        o.Put8(0, s != -1 ? 1 : 0);
        return 1u;
    });
}
// TCPSEND, TCPRECEIVE: a string (socket, length, string).
uint32_t _STFS_TCPSEND(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {4, "444s"}, [](const Z7Ops &o) { return TcpMove(o, true, false); });
}
uint32_t _STFS_TCPRECEIVE(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {4, "444s"}, [](const Z7Ops &o) { return TcpMove(o, false, false); });
}
// TCPSENDARRAY, TCPRCVARRAY: a byte array (socket, length, array, declared
// size).
uint32_t _STFS_TCPSENDARRAY(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {5, "444ll"}, [](const Z7Ops &o) { return TcpMove(o, true, true); });
}
uint32_t _STFS_TCPRCVARRAY(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {5, "444ll"}, [](const Z7Ops &o) { return TcpMove(o, false, true); });
}
// UDPCREATE: a datagram socket on a port, kept in the resource table (-1
// when none).
uint32_t _STFS_UDPCREATE(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "44"}, [](const Z7Ops &o) {
        const uint32_t item = Z7VMRsc_GetFreeItem(o.db);
        Z7SocketHandle s = -1;
        if (item && !Z7Std_Hooks.udp_create(uint16_t(o.U32(1)), &s)) s = -1;
        o.Put32(0, uint32_t(item ? Record(item, s) : -1));
        return 1u;
    });
}
// UDPADDRMAKE: the 16-byte address of a host text and a default port into a
// USINT[16].
uint32_t _STFS_UDPADDRMAKE(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {5, "8s4ll"}, [](const Z7Ops &o) {
        uint8_t *addr = nullptr;
        if (!UdpAddress(o, 3, addr)) {
            o.Put8(0, 0);
            return 1u;
        }
        char text[64];
        Text(o, 1, text, sizeof text);
        uint8_t a[16];
        Z7Std_Hooks.udp_addr_make(a, text, uint16_t(o.U32(2)));
        std::memcpy(addr, a, 16);
        o.Put8(0, 1);
        return 1u;
    });
}
// UDPSENDTO, UDPSENDTOARRAY: (socket, length, address, its size, data...).
uint32_t _STFS_UDPSENDTO(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {6, "844lls"}, [](const Z7Ops &o) { return UdpSend(o, false); });
}
uint32_t _STFS_UDPSENDTOARRAY(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {7, "844llll"}, [](const Z7Ops &o) { return UdpSend(o, true); });
}
// UDPRCVFROM, UDPRCVFROMARRAY: (socket, length, address, its size, data...).
uint32_t _STFS_UDPRCVFROM(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {6, "444lls"}, [](const Z7Ops &o) { return UdpReceive(o, false); });
}
uint32_t _STFS_UDPRCVFROMARRAY(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {7, "444llll"}, [](const Z7Ops &o) { return UdpReceive(o, true); });
}

// ---- byte buffers, CAN, AS-i, recipes, signals and dynamic arrays -------------------------------------
// SERIALIZEOUT, SERIALIZEIN: a variable of any type into / out of a byte
// buffer at a position; the result is the position after it (0 refused).
uint32_t _STFS_SERIALIZEOUT(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {7, "4llla48"}, [](const Z7Ops &o) {
        o.Put32(0, Serialize(o, true));
        return 1u;
    });
}
uint32_t _STFS_SERIALIZEIN(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {7, "4llla48"}, [](const Z7Ops &o) {
        o.Put32(0, Serialize(o, false));
        return 1u;
    });
}
// SERPUTSTRING: a string into a byte buffer (fixed length, NUL-ended or
// length-prefixed); the result is the position after it (0 refused).
uint32_t _STFS_SERPUTSTRING(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {8, "4lls4488"}, [](const Z7Ops &o) {
        o.Put32(0, PutString(o));
        return 1u;
    });
}
// SERGETSTRING: a string out of a byte buffer, laid out as SERPUTSTRING
// lays it.
uint32_t _STFS_SERGETSTRING(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {8, "4lls4488"}, [](const Z7Ops &o) {
        o.Put32(0, GetString(o));
        return 1u;
    });
}
// MBSHIFT: shift or rotate a run of bytes of an array by a count of bits.
uint32_t _STFS_MBSHIFT(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {10, "8lll444888"}, [](const Z7Ops &o) {
        o.Put8(0, uint8_t(MbShift(o)));
        return 1u;
    });
}
// CANSND: a message on a CAN port; FALSE when the length passes the array's
// declared size.
uint32_t _STFS_CANSND(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {7, "8s44ll8"}, [](const Z7Ops &o) {
        uint32_t size = 0;
        const uint8_t *data = Bytes(o, 4, size);
        const uint32_t len = o.U32(3);
        char port[kPathMax];
        Text(o, 1, port, sizeof port);
        const bool sent =
            data != nullptr && len <= size && Z7Part_VMCan_SendAppMsg(o.db, port, o.U32(2), len, data, o.U8(6)) != 0;
        o.Put8(0, sent ? 1 : 0);
        return 1u;
    });
}
// ASIREADPP, ASIREADPI (a DINT) and ASIWRITEPP, ASISENDPAR, ASISTOREPI (a
// BOOL): 0 here.
uint32_t _STFS_ASIREADPP(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {1, "4"}, [](const Z7Ops &o) { return AsiNone(o, true); });
}
uint32_t _STFS_ASIREADPI(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {1, "4"}, [](const Z7Ops &o) { return AsiNone(o, true); });
}
uint32_t _STFS_ASIWRITEPP(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {1, "8"}, [](const Z7Ops &o) { return AsiNone(o, false); });
}
uint32_t _STFS_ASISENDPAR(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {1, "8"}, [](const Z7Ops &o) { return AsiNone(o, false); });
}
uint32_t _STFS_ASISTOREPI(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {1, "8"}, [](const Z7Ops &o) { return AsiNone(o, false); });
}
// RCPAPPLY: one column of one recipe to its variables.
uint32_t _STFS_RCPAPPLY(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {3, "844"}, [](const Z7Ops &o) {
        o.Put8(0, uint8_t(RcpApply(o)));
        return 1u;
    });
}
// SIGSCALE: the value of a signal of the image at a time; a forced result
// (32-bit or string lock) is not written.
uint32_t _STFS_SIGSCALE(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {3, "44t"}, [](const Z7Ops &o) {
        if (o.Forced(0, 0, Z7LK_32 | Z7LK_STR)) return 1u;
        uint32_t points = 0;
        const uint32_t rec = Z7Sig_Record(o.db, o.D(1), &points);
        const float v = rec ? Z7Sig_Value(rec, points, o.Time(2)) : 0.0f;
        o.Put32(0, std::bit_cast<uint32_t>(v));
        return 1u;
    });
}
// Dynamic arrays of DINT in the resource table; program identifiers are
// 0-based. ARCREATE: an array of a count of elements (1 created, else the
// refusal code).
uint32_t _STFS_ARCREATE(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {3, "444"}, [](const Z7Ops &o) {
        o.Put32(0, Z7VMRsc_CreateArray(o.db, int64_t(o.D(1)) + 1, o.D(2), 4));
        return 1u;
    });
}
// ARREAD: an element of an array (0 when there is none).
uint32_t _STFS_ARREAD(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {3, "444"}, [](const Z7Ops &o) {
        uint32_t v = 0;
        const int64_t id = int64_t(o.D(1)) + 1;
        if (id < 1 || id > 127 || !Z7VMRsc_ReadArray(o.db, uint32_t(id), o.D(2), 4, &v)) v = 0;
        o.Put32(0, v);
        return 1u;
    });
}
// ARWRITE: an element of an array (1 written, else the refusal code).
uint32_t _STFS_ARWRITE(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {4, "4444"}, [](const Z7Ops &o) {
        const uint32_t v = o.U32(3);
        const int64_t id = int64_t(o.D(1)) + 1;
        o.Put32(0, id < 1 || id > 127 ? 2 : Z7VMRsc_WriteArray(o.db, uint32_t(id), o.D(2), 4, &v));
        return 1u;
    });
}
