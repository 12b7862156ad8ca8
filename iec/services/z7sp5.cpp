// SP5 serial link: frame layer, data link, transport and file transfer, each
// polled from the main loop. Nothing here allocates or waits: frames are
// built in and read from fixed buffers of the link's state.
#include "iec/services/z7sp5.h"

#include <cstring>

#include "core/image/bytes.h"
#include "core/image/util.h"
#include "iec/services/z7svc.h"

namespace {
constexpr uint8_t kMarker[3] = {'S', 'P', '5'};

uint32_t PayloadLen(const uint8_t *h) { return BE_Get16(h + 6); }
// Milliseconds since then, across the counter's wrap. A poll that comes a
// day or more late once read as no time gone, and the request then waited
// for ever; a clock set back reads as a long time gone, which costs one
// early try at most.
uint32_t Elapsed(uint32_t then, uint32_t now) { return now - then; }

void Drop(uint8_t *buf, uint32_t *have, uint32_t n) {
    if (n >= *have) {
        *have = 0;
        return;
    }
    std::memmove(buf, buf + n, *have - n);
    *have -= n;
}
}  // namespace

// ---- frame layer ------------------------------------------------------------------------------
uint32_t Z7SP5Frm_Open(Z7SP5Frm *f, const char *settings) {
    *f = {};
    Z7Serial_Initialize(&f->serial);
    return Z7Serial_Open(&f->serial, settings);
}

void Z7SP5Frm_Close(Z7SP5Frm *f) {
    Z7Serial_Close(&f->serial);
    f->rx_have = f->tx_len = f->tx_done = 0;
}

uint32_t Z7SP5Frm_Build(uint8_t *out, const uint8_t *header, const uint8_t *payload) {
    const uint32_t n = PayloadLen(header) <= SP5_PAYLOAD ? PayloadLen(header) : SP5_PAYLOAD;
    std::memcpy(out, kMarker, 3);
    std::memcpy(out + 3, header, SP5_HEADER);
    BE_Put16(out + 9, uint16_t(n));
    if (n) std::memcpy(out + 11, payload, n);
    BE_Put16(out + 11 + n, crc16(out + 3, SP5_HEADER + n));
    out[13 + n] = ']';
    return 14 + n;
}

uint32_t Z7SP5Frm_Send(Z7SP5Frm *f, const uint8_t *header, const uint8_t *payload, uint32_t restart) {
    if (restart) {
        f->tx_len = Z7SP5Frm_Build(f->tx.data(), header, payload);
        f->tx_done = 0;
    }
    if (f->tx_done < f->tx_len) f->tx_done += Z7Serial_Write(f->serial, f->tx_len - f->tx_done, &f->tx[f->tx_done]);
    return f->tx_done >= f->tx_len ? 1 : 0;
}

uint32_t Z7SP5Frm_Find(uint8_t *buf, uint32_t *have, uint8_t *header, uint8_t *payload, uint16_t *crc) {
    for (;;) {
        // the marker: a byte that breaks it is looked at again as a start
        uint32_t i = 0;
        for (; i < *have; i++) {
            if (buf[i] != 'S') continue;
            if (i + 1 < *have && buf[i + 1] != 'P') continue;
            if (i + 2 < *have && buf[i + 2] != '5') continue;
            break;
        }
        Drop(buf, have, i);
        if (*have < 3 + SP5_HEADER) return 0;
        const uint32_t n = PayloadLen(buf + 3);
        if (n > SP5_PAYLOAD) {
            Drop(buf, have, 1);
            continue;
        }
        if (*have < 14 + n) return 0;
        if (buf[13 + n] != ']') {
            Drop(buf, have, 1);
            continue;
        }
        std::memcpy(header, buf + 3, SP5_HEADER);
        if (n) std::memcpy(payload, buf + 11, n);
        *crc = BE_Get16(buf + 11 + n);
        Drop(buf, have, 14 + n);
        return 1;
    }
}

uint32_t Z7SP5Frm_Receive(Z7SP5Frm *f, uint8_t *header, uint8_t *payload, uint16_t *crc, uint32_t restart) {
    if (restart) f->rx_have = 0;
    if (Z7SP5Frm_Find(f->rx.data(), &f->rx_have, header, payload, crc)) return 1;
    if (!Z7Serial_IsValid(f->serial) || f->rx_have >= f->rx.size()) return 0;
    // all that waits, at once: a read that starts with 'H','R' hands the port back
    const uint32_t n =
        Z7Serial_Receive(&f->serial, uint32_t(f->rx.size()) - f->rx_have, &f->rx[f->rx_have], f->rx_have == 0);
    if (n == 0) return 0;
    f->rx_have += n;
    return Z7SP5Frm_Find(f->rx.data(), &f->rx_have, header, payload, crc);
}

uint32_t Z7SP5Frm_CheckCRC(const uint8_t *header, const uint8_t *payload, uint16_t crc) {
    const uint32_t n = PayloadLen(header);
    return crc16_next(payload, n, crc16(header, SP5_HEADER)) == crc ? 1 : 0;
}

// ---- data link: slave -------------------------------------------------------------------------
uint32_t Z7SP5Dls_Open(Z7SP5Dl *d, uint8_t role, uint16_t address, const char *settings, uint8_t *header,
                       uint8_t *payload) {
    *d = {};
    d->role = role;
    d->address = address;
    d->header = header;
    d->payload = payload;
    return Z7SP5Frm_Open(&d->frm, settings);
}

uint32_t Z7SP5Dls_Listen(Z7SP5Dl *d) {
    if (!Z7SP5Frm_Send(&d->frm, nullptr, nullptr, 0)) return 0;  // the last frame is still going out
    uint16_t crc = 0;
    uint8_t *h = d->header;
    while (Z7SP5Frm_Receive(&d->frm, h, d->payload, &crc, 0)) {
        const int16_t addr = int16_t(BE_Get16(h));
        const bool broadcast = addr <= 0;
        const uint8_t type = h[2];
        if ((broadcast && !(d->role & SP5_BROADCAST)) || (!broadcast && uint16_t(addr) != d->address) ||
            (type != 'S' && type != 'Q' && type != 'N')) {
            d->ignored++;
            continue;
        }
        if (!Z7SP5Frm_CheckCRC(h, d->payload, crc)) {
            d->crc_errors++;
            uint8_t back[SP5_HEADER];
            std::memcpy(back, h, SP5_HEADER);
            back[2] = '?';
            BE_Put16(back + 6, 0);
            Z7SP5Frm_Send(&d->frm, back, nullptr, 1);
            return 0;
        }
        if (h[3] == d->last_seq) {
            d->duplicates++;
            // the previous answer again, whole; a request still being answered waits for it
            if (d->state == 0 && d->last_len != 0) {
                std::memcpy(d->frm.tx.data(), d->last.data(), d->last_len);
                d->frm.tx_len = d->last_len;
                d->frm.tx_done = 0;
                Z7SP5Frm_Send(&d->frm, nullptr, nullptr, 0);
            }
            return 0;
        }
        d->last_seq = h[3];
        // the answer kept so far is the previous request's: a repeat of this
        // one must not get it (this one may be dropped unanswered)
        d->last_len = 0;
        std::memcpy(d->req.data(), h, SP5_HEADER);
        d->requests++;
        d->state = 1;
        return 1;
    }
    return 0;
}

uint32_t Z7SP5Dls_Send(Z7SP5Dl *d, const uint8_t *header, const uint8_t *payload) {
    if (d->state != 1) return 0;
    uint8_t h[SP5_HEADER];
    std::memcpy(h, header, SP5_HEADER);
    h[3] = d->req[3];
    d->last_len = Z7SP5Frm_Build(d->last.data(), h, payload);
    std::memcpy(d->frm.tx.data(), d->last.data(), d->last_len);
    d->frm.tx_len = d->last_len;
    d->frm.tx_done = 0;
    Z7SP5Frm_Send(&d->frm, nullptr, nullptr, 0);
    d->state = 0;
    d->answers++;
    return 1;
}

void Z7SP5Dls_DontSend(Z7SP5Dl *d) { d->state = 0; }
void Z7SP5Dls_Close(Z7SP5Dl *d) {
    Z7SP5Frm_Close(&d->frm);
    d->state = 0;
}

// ---- data link: master ------------------------------------------------------------------------
uint32_t Z7SP5Dlm_Open(Z7SP5Dl *d, uint8_t role, const char *settings, uint32_t timeout_ms, uint32_t retry_limit,
                       uint8_t *header, uint8_t *payload) {
    const uint32_t rc = Z7SP5Dls_Open(d, role, 0, settings, header, payload);
    d->timeout_ms = timeout_ms;
    d->retry_limit = retry_limit;
    return rc;
}

namespace {
// The retries ran out. The header buffer may still hold a frame received on
// the way (a foreign or earlier answer): its type is cleared so that a caller
// reading the header never takes the failed request for an answered one.
uint32_t GiveUp(Z7SP5Dl *d, uint32_t *failed) {
    d->state = 0;
    d->header[2] = 0;
    if (failed) *failed = 1;
    return 1;
}
void Resend(Z7SP5Dl *d, uint32_t now) {
    std::memcpy(d->frm.tx.data(), d->last.data(), d->last_len);
    d->frm.tx_len = d->last_len;
    d->frm.tx_done = 0;
    d->state = Z7SP5Frm_Send(&d->frm, nullptr, nullptr, 0) ? 2 : 1;
    d->sent_ms = now;
}
}  // namespace

uint32_t Z7SP5Dlm_Send(Z7SP5Dl *d, const uint8_t *header, const uint8_t *payload, uint32_t now) {
    // without an open line the request could never go out: refused
    if (d->state != 0 || !Z7Serial_IsValid(d->frm.serial)) return 0;
    d->seq = uint8_t(d->seq == 255 ? 1 : d->seq + 1);
    std::memcpy(d->req.data(), header, SP5_HEADER);
    d->req[3] = d->seq;
    d->last_len = Z7SP5Frm_Build(d->last.data(), d->req.data(), payload);
    d->retries = 0;
    d->frm.rx_have = 0;
    d->requests++;
    Resend(d, now);
    return 1;
}

uint32_t Z7SP5Dlm_GetAnswer(Z7SP5Dl *d, uint32_t now, uint32_t *failed) {
    if (failed) *failed = 0;
    if (d->state == 0) return 0;
    if (d->state == 1) {
        if (!Z7SP5Frm_Send(&d->frm, nullptr, nullptr, 0)) {
            // a frame the line does not take within the time-out counts as
            // a try without an answer: the request ends once they run out
            if (Elapsed(d->sent_ms, now) < d->timeout_ms) return 0;
            if (++d->retries > d->retry_limit) return GiveUp(d, failed);
            Resend(d, now);
            return 0;
        }
        d->state = 2;
        d->sent_ms = now;
    }
    uint16_t crc = 0;
    uint8_t *h = d->header;
    bool again = false;
    while (!again && Z7SP5Frm_Receive(&d->frm, h, d->payload, &crc, 0)) {
        if (!Z7SP5Frm_CheckCRC(h, d->payload, crc) || h[2] == '?') {
            d->crc_errors++;
            again = true;
            break;
        }
        // the answer of this request: same address, sequence and message
        // number (the segment of an answer is its own)
        if (std::memcmp(h, d->req.data(), 2) != 0 || h[3] != d->req[3] || h[4] != d->req[4]) {
            d->ignored++;
            continue;
        }
        d->state = 0;
        d->answers++;
        return 1;
    }
    if (!again && Elapsed(d->sent_ms, now) < d->timeout_ms) return 0;
    if (++d->retries > d->retry_limit) return GiveUp(d, failed);
    Resend(d, now);
    return 0;
}

void Z7SP5Dlm_AbortRequest(Z7SP5Dl *d) {
    d->state = 0;
    d->frm.rx_have = d->frm.tx_len = d->frm.tx_done = 0;
}
void Z7SP5Dlm_Close(Z7SP5Dl *d) { Z7SP5Dls_Close(d); }

// ---- transport ----------------------------------------------------------------------------------
namespace {
void Header(uint8_t *h, uint16_t address, uint8_t type, uint8_t no, uint8_t seg, uint32_t len) {
    BE_Put16(h, address);
    h[2] = type;
    h[3] = 0;
    h[4] = no;
    h[5] = seg;
    BE_Put16(h + 6, uint16_t(len));
}
uint32_t Segments(uint32_t len) { return len <= SP5_SEGMENT ? 1 : (len + SP5_SEGMENT - 1) / SP5_SEGMENT; }
// Answer segment k (1..) of the message in out, or the whole message (k 0).
void SendSegment(Z7SP5Tl *t, uint32_t k, uint8_t type) {
    uint8_t h[SP5_HEADER];
    if (k == 0) {
        Header(h, t->dl.address, type, t->out_no, 0, t->out_len);
        if (t->dl.role & SP5_MASTER)
            Z7SP5Dlm_Send(&t->dl, h, t->out.data(), 0);
        else
            Z7SP5Dls_Send(&t->dl, h, t->out.data());
        return;
    }
    const uint32_t off = (k - 1) * SP5_SEGMENT, n = t->out_len - off < SP5_SEGMENT ? t->out_len - off : SP5_SEGMENT;
    const bool last = off + n >= t->out_len;
    Header(h, t->dl.address, type, t->out_no, uint8_t(k | (last ? 0x80 : 0)), n);
    if (t->dl.role & SP5_MASTER)
        Z7SP5Dlm_Send(&t->dl, h, t->out.data() + off, 0);
    else
        Z7SP5Dls_Send(&t->dl, h, t->out.data() + off);
}
void Reply(Z7SP5Tl *t, uint8_t type) {
    uint8_t h[SP5_HEADER];
    Header(h, t->dl.address, type, t->hdr[4], t->hdr[5], 0);
    Z7SP5Dls_Send(&t->dl, h, nullptr);
}
}  // namespace

uint32_t Z7SP5Tls_Open(Z7SP5Tl *t, uint8_t role, uint16_t address, const char *settings) {
    *t = {};
    return Z7SP5Dls_Open(&t->dl, role, address, settings, t->hdr.data(), t->seg.data());
}

uint32_t Z7SP5Tls_Listen(Z7SP5Tl *t, uint8_t *out, uint32_t size) {
    if (!Z7SP5Dls_Listen(&t->dl)) return 0;
    const uint8_t type = t->hdr[2], no = t->hdr[4], seg = t->hdr[5];
    const uint32_t n = PayloadLen(t->hdr.data());
    if (type == 'N') {
        const uint32_t k = seg & 0x7Fu;
        if (no == t->out_no && t->out_len > SP5_SEGMENT && k >= 1 && k <= Segments(t->out_len))
            SendSegment(t, k, 'A');
        else
            Reply(t, 'p');
        return 0;
    }
    t->msg_type = type;
    if (seg == 0) {
        std::memcpy(t->msg.data(), t->seg.data(), n);
        t->msg_len = n;
        t->next_seg = 1;
    } else {
        if ((seg & 0x7F) == 1) {
            t->msg_len = 0;
            t->next_seg = 1;
            t->msg_no = no;
        }
        if ((seg & 0x7F) != t->next_seg || no != t->msg_no || t->msg_len + n > SP5_PAYLOAD) {
            t->next_seg = 1;  // out of order: the exchange is dropped
            t->msg_len = 0;
            Reply(t, 'p');
            return 0;
        }
        std::memcpy(t->msg.data() + t->msg_len, t->seg.data(), n);
        t->msg_len += n;
        t->next_seg++;
        if (!(seg & 0x80)) {
            Reply(t, 'A');
            return 0;
        }
        t->next_seg = 1;
    }
    t->msg_no = no;
    t->out_no = no;
    t->out_len = 0;
    if (out == nullptr) return t->msg_len;  // the caller reads t->msg
    // a message past the caller's room would read as one with nothing in
    // it: dropped, and no answer owed for it
    if (t->msg_len > size) {
        Z7SP5Dls_DontSend(&t->dl);
        return 0;
    }
    std::memcpy(out, t->msg.data(), t->msg_len);
    return t->msg_len;
}

uint32_t Z7SP5Tls_Send(Z7SP5Tl *t, const uint8_t *data, uint32_t len) {
    // a message is at most 1024 bytes (the buffer's room behind them is not a message's)
    if (t->dl.state != 1 || len > SP5_PAYLOAD) return 0;
    if (data != t->out.data()) std::memcpy(t->out.data(), data, len);
    t->out_len = len;
    SendSegment(t, len <= SP5_SEGMENT ? 0 : 1, 'A');
    return 1;
}

void Z7SP5Tls_DontSend(Z7SP5Tl *t) { Z7SP5Dls_DontSend(&t->dl); }
void Z7SP5Tls_Close(Z7SP5Tl *t) { Z7SP5Dls_Close(&t->dl); }

uint32_t Z7SP5Tlm_Open(Z7SP5Tl *t, const char *settings, uint16_t address, uint32_t timeout_ms, uint32_t retries) {
    *t = {};
    const uint32_t rc = Z7SP5Dlm_Open(&t->dl, SP5_MASTER, settings, timeout_ms, retries, t->hdr.data(), t->seg.data());
    t->dl.address = address;
    return rc;
}

uint32_t Z7SP5Tlm_Send(Z7SP5Tl *t, const uint8_t *data, uint32_t len, uint32_t now, uint8_t type) {
    if (t->state != 0 || t->dl.state != 0 || len > SP5_PAYLOAD || (type != 'S' && type != 'Q') ||
        !Z7Serial_IsValid(t->dl.frm.serial))
        return 0;
    t->req_type = type;
    if (data != t->out.data()) std::memcpy(t->out.data(), data, len);
    t->out_len = len;
    t->out_no = uint8_t(t->out_no == 255 ? 1 : t->out_no + 1);
    t->out_seg = len <= SP5_SEGMENT ? 0 : 1;
    t->msg_len = 0;
    t->state = 1;
    SendSegment(t, t->out_seg, t->req_type);
    t->dl.sent_ms = now;
    return 1;
}

uint32_t Z7SP5Tlm_GetAnswer(Z7SP5Tl *t, uint8_t *out, uint32_t *len, uint32_t now) {
    if (len) *len = 0;
    if (t->state == 0) return 0;
    // a next segment or an 'N' the link refused (the line gone) ends the
    // exchange rather than waiting for an answer that cannot come
    if (t->dl.state == 0) {
        t->state = 0;
        return 1;
    }
    uint32_t failed = 0;
    if (!Z7SP5Dlm_GetAnswer(&t->dl, now, &failed)) return 0;
    const uint8_t type = t->hdr[2], seg = t->hdr[5];
    const uint32_t n = PayloadLen(t->hdr.data());
    auto fail = [&] {
        t->state = 0;
        return 1u;
    };
    if (failed || type == 'p') return fail();
    uint8_t h[SP5_HEADER];
    if (t->state == 1 && t->out_seg != 0 && (t->out_seg - 1u) * SP5_SEGMENT + SP5_SEGMENT < t->out_len) {
        t->out_seg++;  // a segment acknowledged: the next one
        SendSegment(t, t->out_seg, t->req_type);
        t->dl.sent_ms = now;
        return 0;
    }
    if (seg == 0 && t->state == 1) {
        std::memcpy(t->msg.data(), t->seg.data(), n);
        t->msg_len = n;
    } else {
        const uint32_t want = t->state == 1 ? 1u : t->next_seg;
        if ((seg & 0x7Fu) != want || t->msg_len + n > SP5_PAYLOAD) return fail();
        std::memcpy(t->msg.data() + t->msg_len, t->seg.data(), n);
        t->msg_len += n;
        if (!(seg & 0x80)) {
            t->state = 2;
            t->next_seg = uint8_t(want + 1);
            Header(h, t->dl.address, 'N', t->out_no, t->next_seg, 0);
            Z7SP5Dlm_Send(&t->dl, h, nullptr, now);
            return 0;
        }
    }
    t->state = 0;
    if (out) std::memcpy(out, t->msg.data(), t->msg_len);
    if (len) *len = t->msg_len;
    return 1;
}

void Z7SP5Tlm_AbortRequest(Z7SP5Tl *t) {
    t->state = 0;
    Z7SP5Dlm_AbortRequest(&t->dl);
}
void Z7SP5Tlm_Close(Z7SP5Tl *t) { Z7SP5Dlm_Close(&t->dl); }

// ---- file transfer: slave -------------------------------------------------------------------------
namespace {
constexpr char kUpload[] = "sp5ftr.tmp", kDownload[] = "sp5ftw.tmp";

bool Path(const char *name, char *out) { return _GetFullPath(name, out) != nullptr && out[0] != 0; }

uint32_t Error(uint8_t *a, uint8_t cmd, uint8_t code) {
    a[0] = 'F';
    a[1] = '5';
    a[2] = cmd;
    a[3] = code;
    return 4;
}
uint32_t SizeCrc(uint8_t *a, uint8_t cmd, uint32_t size, uint32_t crc) {
    Error(a, cmd, 0);
    BE_Put32(a + 4, size);
    BE_Put32(a + 8, crc);
    return 12;
}
// Size of a file and the CRC of its first up_to bytes.
uint32_t FileCrc(const char *path, uint32_t up_to, uint32_t *size) {
    *size = Z7File_GetSize(path);
    return Z7SP5Ftls_FileCrcUpTo(path, up_to < *size ? up_to : *size);
}
}  // namespace

uint32_t Z7SP5Ftls_FileCrcUpTo(const char *path, uint32_t length) {
    uint32_t crc = 0xFFFFFFFF;
    const uint32_t h = length ? Z7File_Open(path, false) : 0;
    uint8_t piece[512];
    for (uint32_t done = 0; h && done < length;) {
        const uint32_t n = Z7FT_Read(h, length - done < sizeof piece ? length - done : uint32_t(sizeof piece), piece);
        if (n == 0) break;
        crc = Z7CS_Crc32(crc, piece, n);
        done += n;
    }
    if (h) Z7File_Close(h);
    return crc;
}

uint32_t Z7SP5Ftls_Open(Z7SP5Ft *s, uint16_t address, const char *settings) {
    *s = {};
    return Z7SP5Tls_Open(&s->tl, SP5_SLAVE, address, settings);
}

void Z7SP5Ftls_SetPassword(Z7SP5Ft *s, const char *password) {
    s->password.fill(0);
    if (password) std::memcpy(s->password.data(), password, strnlen(password, 8));
}

uint32_t Z7SP5Ftls_Serve(Z7SP5Ft *s, const uint8_t *m, uint32_t n, uint8_t *a) {
    const uint8_t cmd = n > 2 ? m[2] : 0;
    if (n < 11) return Error(a, cmd, 2);
    if (std::memcmp(m + 3, s->password.data(), 8) != 0) return Error(a, cmd, 1);
    char name[256] = {}, path[512], tmp[512];
    uint32_t at = 11;
    if (cmd >= 1 && cmd <= 4) {
        // the name: its length, then the name, inside the message
        const uint32_t len = n > 11 ? m[11] : 0;
        if (n < 12 || 12 + len > n || len == 0) return Error(a, cmd, 2);
        std::memcpy(name, m + 12, len);
        at = 12 + len;
        if (std::memchr(name, 0, len) != nullptr || !Path(name, path)) return Error(a, cmd, cmd == 1 ? 4 : 2);
    }
    switch (cmd) {
    case 1: {  // begin upload
        const uint32_t announced = at + 4 <= n ? BE_Get32(m + at) : 0;
        if (!Path(kUpload, tmp) || !Z7File_Exist(path) || !Z7File_Copy(path, tmp)) return Error(a, cmd, 4);
        std::memcpy(s->name.data(), name, sizeof name);
        s->up = 1;
        uint32_t size = 0;
        const uint32_t crc = FileCrc(tmp, announced, &size);
        return SizeCrc(a, cmd, size, crc);
    }
    case 2: {  // begin download
        if (!Path(kDownload, tmp)) return Error(a, cmd, 2);
        std::memcpy(s->name.data(), name, sizeof name);
        s->down = 1;
        uint32_t size = 0;
        const uint32_t crc = FileCrc(tmp, 0xFFFFFFFF, &size);
        return SizeCrc(a, cmd, size, crc);
    }
    case 3: {  // end upload
        if (!s->up || std::strcmp(s->name.data(), name) != 0 || !Path(kUpload, tmp)) return Error(a, cmd, 2);
        uint32_t size = 0;
        const uint32_t crc = FileCrc(tmp, 0xFFFFFFFF, &size);
        Z7File_Delete(tmp);
        s->up = 0;
        return SizeCrc(a, cmd, size, crc);
    }
    case 4: {  // end download
        if (!s->down || std::strcmp(s->name.data(), name) != 0 || at + 8 > n || !Path(kDownload, tmp))
            return Error(a, cmd, 2);
        uint32_t size = 0;
        const uint32_t crc = FileCrc(tmp, 0xFFFFFFFF, &size);
        if (size != BE_Get32(m + at) || crc != BE_Get32(m + at + 4) || !Z7File_Copy(tmp, path)) return Error(a, cmd, 4);
        Z7File_Delete(tmp);
        s->down = 0;
        return SizeCrc(a, cmd, size, crc);
    }
    case 5: {  // read a block of the upload
        if (!s->up || n < 17 || !Path(kUpload, tmp)) return Error(a, cmd, 2);
        const uint32_t off = BE_Get32(m + 11), size = Z7File_GetSize(tmp);
        uint32_t len = BE_Get16(m + 15);
        if (len > SP5_BLOCK) len = SP5_BLOCK;
        if (off >= size) return Error(a, cmd, 3);
        if (len > size - off) len = size - off;
        const uint32_t h = Z7File_Open(tmp, false);
        const bool ok = h && Z7File_Fseek(h, 0, int32_t(off)) && Z7FT_Read(h, len, a + 4) == len;
        if (h) Z7File_Close(h);
        if (!ok) return Error(a, cmd, 4);
        return Error(a, cmd, 0) + len;
    }
    case 6: {  // write a block of the download
        if (!s->down || n < 17 || !Path(kDownload, tmp)) return Error(a, cmd, 2);
        const uint32_t off = BE_Get32(m + 11), len = BE_Get16(m + 15);
        if (17 + len > n) return Error(a, cmd, 4);
        const uint32_t size = Z7File_Exist(tmp) ? Z7File_GetSize(tmp) : 0;
        // a block that neither starts the file nor follows its end is
        // refused: appended, it would put its bytes at the wrong place
        if (off != 0 && off != size) return Error(a, cmd, 4);
        const uint32_t h = off == 0 ? Z7File_Open(tmp, true) : Z7File_OpenAppend(tmp);
        const bool ok = h && Z7FT_Write(h, len, m + 17);
        if (h) Z7File_Close(h);
        return Error(a, cmd, ok ? 0 : 4);
    }
    default: return Error(a, cmd, 2);
    }
}

uint32_t Z7SP5Ftls_Listen(Z7SP5Ft *s, uint8_t *out, uint32_t size) {
    const uint32_t n = Z7SP5Tls_Listen(&s->tl, nullptr, 0);
    if (n == 0) return 0;
    const uint8_t *m = s->tl.msg.data();
    if (n >= 2 && m[0] == 'F' && m[1] == '5') {
        Z7SP5Tls_Send(&s->tl, s->ans.data(), Z7SP5Ftls_Serve(s, m, n, s->ans.data()));
        return 0;
    }
    if (out == nullptr || n > size) {
        Z7SP5Tls_DontSend(&s->tl);
        return 0;
    }
    std::memcpy(out, m, n);
    return n;
}

uint32_t Z7SP5Ftls_Send(Z7SP5Ft *s, const uint8_t *data, uint32_t len) { return Z7SP5Tls_Send(&s->tl, data, len); }
void Z7SP5Ftls_Close(Z7SP5Ft *s) {
    Z7SP5Tls_Close(&s->tl);
    s->up = s->down = 0;
}

// ---- file transfer: master ------------------------------------------------------------------------
uint32_t Z7SP5Ftlm_Send(Z7SP5Ft *m, const uint8_t *data, uint32_t len, uint32_t now) {
    return Z7SP5Tlm_Send(&m->tl, data, len, now, 'S');
}

namespace {
enum : uint8_t { JOB_NONE = 0, JOB_RECEIVE = 1, JOB_SEND = 2 };

// "F5", command, password, then the name (length byte first) when given.
uint32_t Request(const Z7SP5Ft *m, uint8_t cmd, uint8_t *out, bool with_name) {
    out[0] = 'F';
    out[1] = '5';
    out[2] = cmd;
    std::memcpy(out + 3, m->password.data(), 8);
    if (!with_name) return 11;
    const uint32_t len = uint32_t(strnlen(m->name.data(), 255));
    out[11] = uint8_t(len);
    std::memcpy(out + 12, m->name.data(), len);
    return 12 + len;
}
uint32_t Start(Z7SP5Ft *m, uint8_t job, const char *local, const char *remote, const char *password) {
    if (m->job != JOB_NONE || local == nullptr || remote == nullptr || std::strlen(local) > 255 ||
        std::strlen(remote) > 255 || std::strlen(remote) == 0 || (password && std::strlen(password) >= 9))
        return 0;
    Z7SP5Ftls_SetPassword(m, password);
    m->name.fill(0);
    m->local.fill(0);
    std::memcpy(m->name.data(), remote, std::strlen(remote));
    std::memcpy(m->local.data(), local, std::strlen(local));
    m->job = job;
    m->step = 1;
    m->offset = 0;
    return 1;
}
// One request of the transfer; a request the link refuses ends the transfer.
uint32_t SendRequest(Z7SP5Ft *m, const uint8_t *req, uint32_t len, uint32_t now) {
    if (Z7SP5Ftlm_Send(m, req, len, now)) return 1;
    m->job = JOB_NONE;
    return 0;
}
// The next block request of a transfer, or its closing command: 0 under
// way, 4 the local file failed, 0xFF the link refused the request.
uint32_t NextStep(Z7SP5Ft *m, uint32_t now) {
    uint8_t req[SP5_PAYLOAD];
    uint32_t n;
    if (m->job == JOB_RECEIVE) {
        if (m->offset >= m->remote_size) {
            m->step = 3;
            n = Request(m, 3, req, true);
        } else {
            m->step = 2;
            n = Request(m, 5, req, false);
            const uint32_t left = m->remote_size - m->offset;
            BE_Put32(req + 11, m->offset);
            BE_Put16(req + 15, uint16_t(left < SP5_BLOCK ? left : SP5_BLOCK));
            n = 17;
        }
    } else if (m->offset >= m->local_size && !(m->local_size == 0 && m->step == 1)) {
        m->step = 3;
        n = Request(m, 4, req, true);
        BE_Put32(req + n, m->local_size);
        BE_Put32(req + n + 4, Z7SP5Ftls_FileCrcUpTo(m->local.data(), m->local_size));
        n += 8;
    } else {
        m->step = 2;
        Request(m, 6, req, false);
        const uint32_t left = m->local_size - m->offset, len = left < SP5_BLOCK ? left : SP5_BLOCK;
        BE_Put32(req + 11, m->offset);
        BE_Put16(req + 15, uint16_t(len));
        const uint32_t h = Z7File_Open(m->local.data(), 0);
        const bool ok = len == 0 || (h && Z7File_Fseek(h, 0, int32_t(m->offset)) && Z7FT_Read(h, len, req + 17) == len);
        if (h) Z7File_Close(h);
        if (!ok) {
            m->job = JOB_NONE;
            return 4;
        }
        m->result = len;  // bytes of this block
        n = 17 + len;
    }
    return SendRequest(m, req, n, now) ? 0 : 0xFF;
}
}  // namespace

uint32_t Z7SP5Ftlm_Open(Z7SP5Ft *m, const char *settings, uint16_t address, uint32_t timeout_ms, uint32_t retries) {
    *m = {};
    return Z7SP5Tlm_Open(&m->tl, settings, address, timeout_ms, retries);
}

uint32_t Z7SP5Ftlm_RcvFile(Z7SP5Ft *m, const char *local, const char *remote, const char *password, uint32_t now) {
    if (!Start(m, JOB_RECEIVE, local, remote, password)) return 0;
    m->local_size = Z7File_Exist(local) ? Z7File_GetSize(local) : 0;
    uint8_t req[SP5_PAYLOAD];
    const uint32_t n = Request(m, 1, req, true);
    BE_Put32(req + n, m->local_size);
    return SendRequest(m, req, n + 4, now);
}

uint32_t Z7SP5Ftlm_SendFile(Z7SP5Ft *m, const char *local, const char *remote, const char *password, uint32_t now) {
    if (local == nullptr || !Z7File_Exist(local) || !Start(m, JOB_SEND, local, remote, password)) return 0;
    m->local_size = Z7File_GetSize(local);
    uint8_t req[SP5_PAYLOAD];
    return SendRequest(m, req, Request(m, 2, req, true), now);
}

uint32_t Z7SP5Ftlm_GetAnswer(Z7SP5Ft *m, uint32_t now, uint32_t *status) {
    if (status) *status = 0;
    if (m->job == JOB_NONE) return 0;
    uint32_t n = 0;
    if (!Z7SP5Tlm_GetAnswer(&m->tl, m->ans.data(), &n, now)) return 0;
    const uint8_t *a = m->ans.data();
    auto end = [&](uint32_t code) {
        m->job = JOB_NONE;
        if (status) *status = code;
        return 1u;
    };
    static constexpr uint8_t kCmd[3][4] = {{0, 0, 0, 0}, {0, 1, 5, 3}, {0, 2, 6, 4}};
    if (n < 4 || a[0] != 'F' || a[1] != '5' || a[2] != kCmd[m->job][m->step]) return end(0xFF);
    if (a[3] != 0) return end(a[3]);
    const bool sized = m->step != 2;
    if (sized && n < 12) return end(0xFF);
    const uint32_t size = sized ? BE_Get32(a + 4) : 0, crc = sized ? BE_Get32(a + 8) : 0;
    const char *local = m->local.data();
    if (m->step == 3) {
        const uint32_t have = Z7File_Exist(local) ? Z7File_GetSize(local) : 0;
        return end(have == size && Z7SP5Ftls_FileCrcUpTo(local, have) == crc ? 0 : 4);
    }
    if (m->job == JOB_RECEIVE) {
        if (m->step == 1) {
            m->remote_size = size;
            // resume behind a local file that is the start of the remote one
            const bool resume = m->local_size <= size && Z7SP5Ftls_FileCrcUpTo(local, m->local_size) == crc;
            m->offset = resume ? m->local_size : 0;
            // a local file that is not there yet is made now: an empty remote
            // file asks no block, and would end well with nothing written
            if (!resume || !Z7File_Exist(local)) {
                const uint32_t h = Z7File_Open(local, true);
                if (h == 0) return end(4);
                Z7File_Close(h);
            }
        } else {
            const uint32_t len = n - 4;
            if (len == 0 || len > m->remote_size - m->offset) return end(0xFF);
            const uint32_t h =
                m->offset == 0 && !Z7File_Exist(local) ? Z7File_Open(local, true) : Z7File_OpenAppend(local);
            const bool ok = h && Z7FT_Write(h, len, a + 4);
            if (h) Z7File_Close(h);
            if (!ok) return end(4);
            m->offset += len;
        }
    } else {
        if (m->step == 1) {
            const bool resume = size <= m->local_size && Z7SP5Ftls_FileCrcUpTo(local, size) == crc;
            m->offset = resume ? size : 0;
            if (m->local_size == 0) m->offset = 0;
        } else {
            m->offset += m->result;
            m->step = 4;  // the empty first block of an empty file is out
        }
    }
    const uint32_t rc = NextStep(m, now);
    return rc != 0 ? end(rc) : 0;
}

void Z7SP5Ftlm_AbortRequest(Z7SP5Ft *m) {
    m->job = JOB_NONE;
    Z7SP5Tlm_AbortRequest(&m->tl);
}
void Z7SP5Ftlm_Close(Z7SP5Ft *m) {
    Z7SP5Ftlm_AbortRequest(m);
    Z7SP5Tlm_Close(&m->tl);
}
