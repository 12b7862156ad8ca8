// SERIO and SERIO_B (a serial port driven with strings or byte arrays), the
// Modbus RTU slave blocks with their frame recogniser, and the Modbus UDP
// slave blocks.
#include "iec/blocks/blkser.h"

#include <algorithm>
#include <cstring>

#include "core/image/bytes.h"
#include "core/image/util.h"
#include "iec/blocks/blkform.h"
#include "iec/vm/z7str.h"

BlkSerHooks BlkSer_Hooks{};

namespace {
constexpr uint32_t kNone = 0xFFFFFFFFu;
constexpr uint32_t kRx = 256;

int32_t Handle(const uint8_t *p) { return int32_t(LE_Get32(p)); }
bool Valid(int32_t h) { return BlkSer_Hooks.serial_is_valid != nullptr && BlkSer_Hooks.serial_is_valid(h); }
void Close(uint8_t *p) {
    int32_t h = Handle(p);
    if (Valid(h) && BlkSer_Hooks.serial_close != nullptr) BlkSer_Hooks.serial_close(&h);
    LE_Put32(p, kNone);
}
// Opens the port when it is not held; whether it is held now.
bool Hold(uint8_t *p, const char *conf) {
    int32_t h = Handle(p);
    if (!Valid(h) && BlkSer_Hooks.serial_open != nullptr) {
        if (BlkSer_Hooks.serial_init != nullptr) BlkSer_Hooks.serial_init(&h);
        BlkSer_Hooks.serial_open(&h, conf);
        LE_Put32(p, uint32_t(h));
    }
    return Valid(h);
}
uint32_t Receive(uint8_t *p, uint32_t max, uint8_t *buf) {
    if (max == 0 || BlkSer_Hooks.serial_receive == nullptr) return 0;
    int32_t h = Handle(p);
    const uint32_t n = std::min(BlkSer_Hooks.serial_receive(&h, max, buf), max);
    LE_Put32(p, uint32_t(h));
    return n;
}
uint32_t Send(const uint8_t *p, uint32_t len, const uint8_t *data) {
    if (len == 0 || BlkSer_Hooks.serial_send == nullptr) return 0;
    return std::min(BlkSer_Hooks.serial_send(Handle(p), len, data), len);
}
// Outputs these blocks write without the lock test.
void Raw8(const Z7Ops &o, uint32_t k, uint8_t v) {
    if (uint8_t *a = o.At(Z7SEC_D8, k)) *a = v;
}
void Raw32(const Z7Ops &o, uint32_t k, uint32_t v) {
    if (uint8_t *a = o.At(Z7SEC_D32, k)) LE_Put32(a, v);
}

// RUN, SND, CONF, DATA_SND; OPEN, RCV, send error, DATA_RCV
void Serio(const Z7Ops &o, uint8_t *p) {
    char conf[256];
    Z7Ops_Text(o, 2, conf);
    if (!o.B(0)) Close(p);
    const bool open = o.B(0) && Hold(p, conf);
    Raw8(o, 4, open);
    Raw8(o, 5, 0);
    Raw8(o, 6, 0);
    const uint32_t slot = Z7VMStr_Slot(o.db, o.Lit(7));
    const uint32_t max = Z7VMStr_GetMaxLength(o.db, o.Lit(7));
    Z7VMStr_AscForce(slot, "", 0);
    if (open) {
        uint8_t buf[256];
        const uint32_t n = Receive(p, std::min<uint32_t>(max, 255), buf);
        if (n != 0) {
            Z7VMStr_AscForce(slot, reinterpret_cast<const char *>(buf), n);
            Raw8(o, 5, 1);
        }
    }
    // DATA_SND goes out at its current length, 0 bytes included (a text
    // built with CHAR(0) is binary data, not cut at its first 0). A send with
    // no port held (RUN FALSE, or an open that failed) writes nothing and so
    // reports the send error like any other send that wrote nothing.
    const uint32_t len = o.n > 3 ? Z7VMStr_GetLength(o.db, o.Lit(3)) : 0;
    if (!o.B(1) || len == 0) return;
    const uint8_t *text = len <= 255 ? Z7Mem_Ptr(Z7VMStr_GetText(o.db, o.Lit(3)), len) : nullptr;
    const uint32_t sent = open && text != nullptr ? Send(p, len, text) : 0;
    if (sent == 0) Raw8(o, 6, 1);
}

// RUN, CONF, send array, its count, send start, send count, receive array,
// its count, receive start, receive maximum; OPEN, sent, received
void SerioB(const Z7Ops &o, uint8_t *p) {
    char conf[256];
    Z7Ops_Text(o, 1, conf);
    if (!o.B(0)) Close(p);
    const bool open = o.B(0) && Hold(p, conf);
    Raw8(o, 10, open);
    Raw32(o, 11, 0);
    Raw32(o, 12, 0);
    if (!open) return;
    auto window = [&](uint32_t arr, uint32_t start, uint32_t count) -> uint8_t * {
        const uint32_t elements = o.Lit(arr + 1);
        uint8_t *a = Blk_ByteArray(o, arr, elements);
        if (a == nullptr || count == 0 || start >= elements || count > elements - start) return nullptr;
        return a + start;
    };
    const uint32_t scount = o.U32(5), rmax = o.U32(9);
    if (const uint8_t *s = window(2, o.U32(4), scount)) Raw32(o, 11, Send(p, scount, s));
    if (uint8_t *r = window(6, o.U32(8), rmax)) Raw32(o, 12, Receive(p, rmax, r));
}

// ---- Modbus RTU slave -----------------------------------------------------------------------------
uint16_t G16(const uint8_t *m, uint32_t f) { return LE_Get16(m + f); }
void P16(uint8_t *m, uint32_t f, uint32_t v) { LE_Put16(m + f, uint16_t(v)); }
void Inc(uint8_t *m, uint32_t f) { LE_Put32(m + f, LE_Get32(m + f) + 1); }
bool CrcOk(const uint8_t *b, uint32_t len) {
    if (len < 3) return false;
    const uint16_t c = crc16(b, len - 2);
    return b[len - 2] == uint8_t(c) && b[len - 1] == uint8_t(c >> 8);
}
// Removes the first n bytes of the receive buffer and restarts the scan.
void Drop(uint8_t *m, uint32_t n) {
    const uint32_t count = G16(m, RTU_COUNT);
    n = std::min(n, count);
    std::memmove(m + RTU_RX, m + RTU_RX + n, count - n);
    P16(m, RTU_COUNT, count - n);
    P16(m, RTU_REQLEN, 0);
    P16(m, RTU_RESPLEN, 0);
    P16(m, RTU_POS, 0);
}
bool KnownCode(uint8_t f) {
    switch (f) {
    case 1:
    case 2:
    case 3:
    case 4:
    case 5:
    case 6:
    case 7:
    case 8:
    case 15:
    case 16:
    case 17:
    case 23:
    case 43: return true;
    default: return false;
    }
}
// Drops bytes up to the next plausible frame start (own address or 0, then
// a known function code) after byte 0; never reads past the byte count.
// An address that is the last byte read is kept, not dropped with the
// bytes before it: its function code has not come yet, and a request whose
// first byte ends one read would otherwise be lost with the rest.
void Resync(uint8_t *m, uint8_t own) {
    const uint32_t count = G16(m, RTU_COUNT);
    const uint8_t *b = m + RTU_RX;
    uint32_t k = 1;
    while (k < count) {
        if (b[k] != own && b[k] != 0) {
            k++;
            continue;
        }
        if (k + 1 >= count || KnownCode(b[k + 1])) break;
        k += 2;
    }
    Drop(m, k);
}
}  // namespace

uint32_t BlkRtu_Recognise(uint8_t *m, uint8_t own, uint32_t *len) {
    uint8_t *b = m + RTU_RX;
    for (;;) {
        const uint32_t count = std::min<uint32_t>(G16(m, RTU_COUNT), kRx);
        const uint32_t pos = G16(m, RTU_POS);
        if (pos >= count) return 0;
        uint32_t req = G16(m, RTU_REQLEN), resp = G16(m, RTU_RESPLEN);
        const uint8_t f = count > 1 ? b[1] : 0;
        if (pos == 0) {
            P16(m, RTU_POS, 1);
            continue;
        }
        if (pos == 1) {
            if (f >= 1 && f <= 4)
                req = 8, resp = 3;
            else if (f == 5 || f == 6 || f == 8)
                req = 8, resp = 8;
            else if (f == 15 || f == 16)
                req = 7, resp = 8;
            else if (f == 17)
                req = 4, resp = 3;
            else if (f == 43)
                req = 7, resp = 10;
            else if (f & 0x80)
                req = 0, resp = 5;
            else {
                std::memmove(b, b + 1, count - 1);
                P16(m, RTU_COUNT, count - 1);
                P16(m, RTU_POS, 1);
                P16(m, RTU_REQLEN, 0);
                P16(m, RTU_RESPLEN, 0);
                continue;
            }
            P16(m, RTU_REQLEN, req);
            P16(m, RTU_RESPLEN, resp);
            P16(m, RTU_POS, 2);
            continue;
        }
        if (pos == 2) {
            if ((f >= 1 && f <= 4) || f == 17) P16(m, RTU_RESPLEN, b[2] + 5u > 255 ? 0 : b[2] + 5u);
            P16(m, RTU_POS, 3);
            continue;
        }
        const uint32_t np = pos + 1;
        P16(m, RTU_POS, np);
        if (req != 0 && req == np) {
            if (np == 7 && (f == 15 || f == 16)) {
                req = b[6] + 9u > 255 ? 0 : b[6] + 9u;
                P16(m, RTU_REQLEN, req);
            } else if (CrcOk(b, req)) {
                *len = req;
                return 1;
            } else {
                Inc(m, RTU_CRCERR);
            }
        }
        if (resp != 0 && resp == np) {
            P16(m, RTU_RESPLEN, 0);
            if (CrcOk(b, resp)) {
                Drop(m, resp);  // another station's answer
                continue;
            }
            resp = 0;
        }
        if (np > req && np > resp) Resync(m, own);
    }
}

namespace {
enum : uint32_t { FORM_EX = 1, FORM_COUNTERS = 2 };
// RUN, CONF, SLAVE[, server name]; OK[, six counters]
template <uint32_t Form>
void RtuSlave(const Z7Ops &o, uint8_t *m) {
    char conf[256], server[256];
    Z7Ops_Text(o, 1, conf);
    server[0] = 0;
    if (Form & FORM_EX) Z7Ops_Text(o, 3, server);
    const uint8_t own = uint8_t(o.U32(2));
    const uint32_t out = (Form & FORM_EX) ? 4 : 3;
    if (!o.B(0)) {
        if (LE_Get32(m + RTU_OPEN)) {
            Close(m + RTU_HANDLE);
            LE_Put32(m + RTU_OPEN, 0);
        }
    } else if (!LE_Get32(m + RTU_OPEN) && BlkSer_Hooks.mb_find_server != nullptr &&
               BlkSer_Hooks.mb_find_server(o.db, server)) {
        std::memset(m, 0, RTU_SIZE);
        LE_Put32(m + RTU_HANDLE, kNone);
        LE_Put32(m + RTU_OPEN, Hold(m + RTU_HANDLE, conf) ? 1 : 0);
    }
    if (!o.B(0) || !LE_Get32(m + RTU_OPEN)) {
        // no port: nothing to serve
    } else if (const uint32_t txlen = G16(m, RTU_TXLEN)) {
        const uint32_t done = G16(m, RTU_TXDONE);
        const uint32_t sent = done < txlen ? Send(m + RTU_HANDLE, txlen - done, m + RTU_TX + done) : 0;
        if (done + sent >= txlen) {
            P16(m, RTU_TXLEN, 0);
            P16(m, RTU_TXDONE, 0);
        } else {
            P16(m, RTU_TXDONE, done + sent);
        }
    } else {
        const uint32_t count = G16(m, RTU_COUNT);
        P16(m, RTU_COUNT, count + Receive(m + RTU_HANDLE, kRx - std::min(count, kRx), m + RTU_RX + count));
        uint32_t len = 0;
        while (BlkRtu_Recognise(m, own, &len)) {
            const uint8_t *req = m + RTU_RX;
            Inc(m, RTU_GOODCRC);
            if (req[0] != 0 && req[0] != own) {
                Drop(m, len);  // another slave's request
                continue;
            }
            Inc(m, req[0] == 0 ? RTU_BROADCASTS : RTU_ADDRESSED);
            const uint32_t n = BlkSer_Hooks.mb_serve != nullptr
                                   ? BlkSer_Hooks.mb_serve(o.db, req, len - 2, m + RTU_TX, kRx - 2, 1, own, server)
                                   : 0;
            if (n != 0) {
                if (m[RTU_TX + 1] & 0x80)
                    Inc(m, RTU_EXCEPTIONS);
                else if (req[0] != 0)
                    Inc(m, RTU_NORMAL);
            }
            if (n != 0 && req[0] != 0) {
                const uint16_t c = crc16(m + RTU_TX, std::min(n, kRx - 2));
                const uint32_t total = std::min(n, kRx - 2) + 2;
                m[RTU_TX + total - 2] = uint8_t(c);
                m[RTU_TX + total - 1] = uint8_t(c >> 8);
                const uint32_t sent = Send(m + RTU_HANDLE, total, m + RTU_TX);
                P16(m, RTU_TXLEN, sent < total ? total : 0);
                P16(m, RTU_TXDONE, sent < total ? sent : 0);
            }
            const bool served = n != 0 || req[0] == 0;
            Drop(m, len);
            // an answered request or a broadcast ends the scan for this
            // execution; one the server left unanswered does not
            if (served) break;
        }
    }
    o.SetB(out, LE_Get32(m + RTU_OPEN) != 0);
    if (Form & FORM_COUNTERS) {
        const uint32_t fields[6] = {RTU_ADDRESSED, RTU_GOODCRC, RTU_EXCEPTIONS, RTU_NORMAL, RTU_BROADCASTS, RTU_CRCERR};
        for (uint32_t k = 0; k < 6; k++)
            if (k < 5 || o.n >= 11) o.SetD(out + 1 + k, int32_t(LE_Get32(m + fields[k])));
    }
}

// RUN, PORT, SLAVE, RTU framing[, server name]; OK
template <bool Ex>
void UdpSlave(const Z7Ops &o, uint8_t *p) {
    char server[256];
    server[0] = 0;
    if (Ex) Z7Ops_Text(o, 4, server);
    int32_t sock = Handle(p);
    if (!o.B(0)) {
        if (sock != -1 && BlkSer_Hooks.mb_udp_close != nullptr) BlkSer_Hooks.mb_udp_close(sock);
        sock = -1;
    } else {
        if (sock == -1 && BlkSer_Hooks.mb_find_server != nullptr && BlkSer_Hooks.mb_find_server(o.db, server) &&
            BlkSer_Hooks.mb_udp_open != nullptr && !BlkSer_Hooks.mb_udp_open(uint16_t(o.U32(1)), &sock))
            sock = -1;
        if (sock != -1 && BlkSer_Hooks.mb_udp_activate != nullptr)
            BlkSer_Hooks.mb_udp_activate(o.db, sock, o.B(3), o.U32(2) & 0xFFFF, server);
    }
    LE_Put32(p, uint32_t(sock));
    o.SetB(Ex ? 5 : 4, sock != -1);
}

// Commands of the instance life: 6 no port, 7 close; the RTU slave also
// keeps its open flag on 8, the UDP slave closes on 8 and opens again later.
enum Life { SERIAL, RTU, UDP };
template <uint32_t ClassNo, uint32_t Size, uint32_t Avail, uint32_t Need, Life L,
          void (*Body)(const Z7Ops &, uint8_t *)>
uint32_t Entry(uint32_t cmd, uint32_t db, uint32_t c, uint32_t inst, uint32_t arg) {
    if (cmd == FB_CLASSNO) return ClassNo;
    if (cmd == FB_AVAIL) return Avail;
    if (cmd == FB_INSTINIT || cmd == FB_INSTEXIT || cmd == FB_INSTKEEP) {
        uint8_t *p = Z7Mem_Ptr(inst, Size);
        if (p == nullptr) return 0;
        uint8_t *h = L == RTU ? p + RTU_HANDLE : p;
        if (cmd == FB_INSTINIT) {
            if (L == RTU) std::memset(p, 0, Size);
            LE_Put32(h, kNone);
        } else if (cmd == FB_INSTEXIT) {
            if (L == UDP) {
                if (Handle(h) != -1 && BlkSer_Hooks.mb_udp_close != nullptr) BlkSer_Hooks.mb_udp_close(Handle(h));
                LE_Put32(h, kNone);
            } else {
                Close(h);
            }
        } else if (L == RTU) {
            LE_Put32(p + RTU_OPEN, Valid(Handle(h)) ? 1 : 0);
        } else if (L == UDP) {
            if (Handle(h) != -1 && BlkSer_Hooks.mb_udp_close != nullptr) BlkSer_Hooks.mb_udp_close(Handle(h));
            LE_Put32(h, kNone);
        }
        return 0;
    }
    return Blk_Stateful<Size, Need, Body>(cmd, db, c, inst, arg);
}

struct StdRow {
    const char *name;
    FbHandler fn;
};
constexpr StdRow kStd[] = {
    {"SERIO", Entry<21, 4, 0, 8, SERIAL, Serio>},
    {"SERIO_B", Entry<55, 4, 1, 13, SERIAL, SerioB>},
    {"MBSLAVEUDP", Entry<38, 4, 0, 5, UDP, UdpSlave<false>>},
    {"MBSLAVEUDPEX", Entry<47, 4, 0, 6, UDP, UdpSlave<true>>},
    {"MBSLAVERTU", Entry<39, RTU_SIZE, 0, 4, RTU, RtuSlave<0>>},
    {"MBSLAVERTUEX", Entry<48, RTU_SIZE, 0, 5, RTU, RtuSlave<FORM_EX>>},
    {"MBSLAVERTUEXD", Entry<56, RTU_SIZE, 0, 10, RTU, RtuSlave<FORM_EX | FORM_COUNTERS>>},
};
}  // namespace

FbHandler BlkSer_StdProc(const char *name) {
    for (const StdRow &r : kStd)
        if (std::strcmp(r.name, name) == 0) return r.fn;
    return nullptr;
}
