// Array operands of block and function handlers: an array lies in the
// complex-type segment when the application has one (its index names a DINT
// that holds the byte offset), else it starts at its index in the typed
// segment of its element type. Every array is checked against the bytes of
// its segment before a handler touches it.
#include <bit>
#include <cstring>

#include "core/image/util.h"
#include "iec/vm/z7cnv.h"
#include "iec/vm/z7hooks.h"
#include "iec/vm/z7stdlib.h"
#include "iec/vm/z7stfops.h"
#include "iec/vm/z7vm.h"

namespace {
// The section of a typed array's elements; a STRING array is none (its
// pointers have a getter of their own).
uint32_t TypedSection(uint32_t type) { return type == IEC_STRING ? Z7SEC_COUNT : z7stf::SectionOfType(type); }
}  // namespace

uint32_t Z7Tools_TypeSize(uint32_t type) {
    switch (TypedSection(type)) {
    case Z7SEC_D8: return 1;
    case Z7SEC_D16: return 2;
    case Z7SEC_D64: return 8;
    case Z7SEC_COUNT: return 0;
    default: return 4;
    }
}

uint32_t Z7Tools_GetCTParam(uint32_t db, uint32_t index) {
    const uint32_t bytes = Z7Sec_Bytes(db, Z7SEC_CT);
    if (bytes == 0) return 0;
    const uint32_t v = Z7Sec_Elem(db, Z7SEC_D32, index);
    if (v == 0) return 0;
    // an offset outside the segment names nothing
    const uint32_t off = Z7Mem_Get32(v);
    return off < bytes ? Z7Sec_Addr(db, Z7SEC_CT) + off : 0;
}

uint32_t Z7Tools_GetAnyArray(uint32_t db, uint32_t type, uint32_t index) {
    if (type == 5) return Z7Tools_GetStringArray(db, index, nullptr);
    const uint32_t sec = TypedSection(type);
    if (sec == Z7SEC_COUNT) return 0;
    if (Z7Sec_Bytes(db, Z7SEC_CT) != 0) return Z7Tools_GetCTParam(db, index);
    return Z7Sec_Elem(db, sec, index);
}

uint32_t Z7Tools_GetD8Array(uint32_t db, uint32_t index) { return Z7Tools_GetAnyArray(db, 14, index); }
uint32_t Z7Tools_GetD16Array(uint32_t db, uint32_t index) { return Z7Tools_GetAnyArray(db, 15, index); }
uint32_t Z7Tools_GetD32Array(uint32_t db, uint32_t index) { return Z7Tools_GetAnyArray(db, 16, index); }
uint32_t Z7Tools_GetD64Array(uint32_t db, uint32_t index) { return Z7Tools_GetAnyArray(db, 17, index); }
uint32_t Z7Tools_GetTimeArray(uint32_t db, uint32_t index) { return Z7Tools_GetAnyArray(db, 4, index); }

uint32_t Z7Tools_GetStringArray(uint32_t db, uint32_t index, uint32_t *flag) {
    const bool ct = Z7Sec_Bytes(db, Z7SEC_CT) != 0;
    if (flag) *flag = ct ? 1 : 0;
    return ct ? Z7Tools_GetCTParam(db, index) : Z7Sec_Elem(db, Z7SEC_STRPTR, index);
}

uint16_t Z7Tools_Crc16(const uint8_t *data, uint16_t len) {
    return data == nullptr ? uint16_t(0xFFFF) : crc16(data, len);
}

uint32_t Z7Tools_GetArrayIn(uint32_t db, uint32_t type, uint32_t index, int64_t count, uint32_t *size) {
    const uint32_t sec = TypedSection(type), esize = Z7Tools_TypeSize(type);
    if (size) *size = esize;
    if (sec == Z7SEC_COUNT || count < 0) return 0;
    const bool ct = Z7Sec_Bytes(db, Z7SEC_CT) != 0;
    const uint32_t seg = Z7Sec_Addr(db, ct ? uint32_t(Z7SEC_CT) : sec),
                   bytes = Z7Sec_Bytes(db, ct ? uint32_t(Z7SEC_CT) : sec);
    const uint32_t a = Z7Tools_GetAnyArray(db, type, index);
    if (a == 0 || seg == 0 || a < seg) return 0;
    if (uint64_t(a - seg) + uint64_t(count) * esize > bytes) return 0;
    if (count > 0 && Z7Mem_Ptr(a, uint32_t(count) * esize) == nullptr) return 0;
    return a;
}

uint32_t Z7Sig_Record(uint32_t db, int64_t n, uint32_t *points) {
    if (points) *points = 0;
    const uint32_t code = Z7Mem_Get32(Z7VM_Header(db) + HD_CODE);
    if (code == 0 || n < 1 || n > 0xFFFF) return 0;
    const uint32_t end = code + Z7VMCode_Length(code);
    const uint32_t rec = Z7VMCode_GetSignal(code, uint32_t(n));
    if (rec < code || uint64_t(rec) + 4 > end) return 0;
    const uint32_t count = Z7Mem_Get32(rec);
    // every point lies inside the image
    if (uint64_t(rec) + 4 + 8 * uint64_t(count) > end) return 0;
    if (points) *points = count;
    return rec;
}

float Z7Sig_Value(uint32_t rec, uint32_t points, uint32_t t) {
    auto time = [&](uint32_t k) { return Z7Mem_Get32(rec + 4 + 8 * k); };
    auto value = [&](uint32_t k) { return std::bit_cast<float>(Z7Mem_Get32(rec + 8 + 8 * k)); };
    if (rec == 0 || points == 0) return 0.0f;
    if (points == 1 || t <= time(0)) return value(0);
    uint32_t p = 0;
    while (p + 1 < points && time(p + 1) <= t) p++;
    if (time(p) == t || p + 1 == points) return value(p);
    const int32_t span = int32_t(time(p + 1) - time(p));
    if (span <= 0) return value(p);
    return value(p) + float(t - time(p)) * (value(p + 1) - value(p)) / float(span);
}

// ---- platform calls --------------------------------------------------------------------------
namespace {
uint32_t NoOpen(const char *, bool) { return 0; }
uint32_t NoPath(const char *) { return 0; }
bool NoPathDone(const char *) { return false; }
void NoClose(uint32_t) {}
bool NoRead(uint32_t, void *, uint32_t) { return false; }
bool NoWrite(uint32_t, const void *, uint32_t) { return false; }
bool NoHandle(uint32_t) { return false; }
bool NoSeek(uint32_t, uint32_t, int32_t) { return false; }
uint32_t NoReadLine(uint32_t, char *buf, uint32_t size) {
    if (buf && size) buf[0] = 0;
    return 0;
}
bool NoWriteLine(uint32_t, const char *) { return false; }
bool NoTwo(const char *, const char *) { return false; }
bool NoListen(uint16_t, uint32_t, Z7SocketHandle *h, uint32_t) {
    *h = -1;
    return false;
}
Z7SocketHandle NoAccept(Z7SocketHandle, uint32_t) { return -1; }
bool NoConnect(const char *, uint16_t, Z7SocketHandle *h, bool *, uint32_t) {
    *h = -1;
    return false;
}
Z7Connect NoPending(Z7SocketHandle) { return Z7Connect::kBroken; }
int32_t NoSend(Z7SocketHandle, uint32_t, const uint8_t *, bool *closed) {
    if (closed) *closed = true;
    return 0;
}
int32_t NoReceive(Z7SocketHandle, uint32_t, uint8_t *, bool *closed) {
    if (closed) *closed = true;
    return 0;
}
void NoSocketClose(Z7SocketHandle) {}
bool NoUdp(uint16_t, Z7SocketHandle *h) {
    *h = -1;
    return false;
}
uint32_t NoRecvFrom(Z7SocketHandle, uint8_t *, uint32_t, uint8_t *) { return 0; }
bool NoSendTo(Z7SocketHandle, const uint8_t *, const uint8_t *, uint32_t) { return false; }
void NoAddr(uint8_t addr[16], const char *, uint16_t) { std::memset(addr, 0, 16); }
char *NoFullPath(const char *, char *) { return nullptr; }
}  // namespace

Z7StdHooks Z7Std_Hooks{NoOpen,        NoPath,     NoClose,     NoRead,     NoWrite,   NoHandle,   NoSeek,
                       NoHandle,      NoReadLine, NoWriteLine, NoPathDone, NoTwo,     NoTwo,      NoPathDone,
                       NoPath,        NoListen,   NoAccept,    NoConnect,  NoPending, NoSend,     NoReceive,
                       NoSocketClose, NoUdp,      NoRecvFrom,  NoSendTo,   NoAddr,    NoFullPath, nullptr};

void Z7Std_Clock(uint32_t utc, uint32_t *date, uint32_t *time) {
    *date = 0;
    *time = 0;
    if (Z7VM_Hooks.date_time) Z7VM_Hooks.date_time(utc, date, time);
}
