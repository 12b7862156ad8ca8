// Event server: up to 8 TCP clients, each with four event queues. A client
// chooses its queues in acknowledgement frames; what it has not acknowledged
// is sent again. Idle frames keep a quiet connection alive; a client that
// does not acknowledge within 3 s is closed.
#include <cstdlib>
#include <cstring>

#include "core/image/bytes.h"
#include "iec/services/z7svc.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7vm.h"

namespace {
constexpr uint32_t kEventHead = 12;

uint32_t Align8(uint32_t n) { return (n + 7u) & ~7u; }
uint32_t HeaderSize() { return Align8(sizeof(Z7EvsData)); }
uint32_t ClientHead() { return Align8(sizeof(Z7EvsClient)); }
// Readings of the IEC runtime's millisecond clock, which wraps at 2^32 ms
// (or, as stamps of the day, at midnight): Z7VM_Elapsed takes either.
uint32_t Elapsed(uint32_t then, uint32_t now) { return Z7VM_Elapsed(then, now); }

Z7EvsData *Data(void *evs) { return static_cast<Z7EvsData *>(evs); }

// Current local date and time stamps of one clock reading: a date and a time
// read one after the other could fall either side of midnight and stamp the
// event a day early or late.
struct Stamp {
    uint32_t date = 0, time = 0;
};
Stamp Now() {
    Stamp s;
    uint32_t flag = 0;
    Z7RtClk_GetCurDateTimeStamp(1, &s.date, &s.time, &flag);
    return s;
}

int QueueOf(uint8_t type) {
    switch (type) {
    case 1: return 0;
    case 2: return 1;
    case 4:
    case 132: return 2;
    case 8: return 3;
    default: return -1;
    }
}

void Rewind(Z7EvsClient &c) {
    for (Z7EvsQueue &q : c.q) {
        q.read = 0;
        q.lost_sent = 0;
    }
}

void CloseClient(Z7EvsClient &c) {
    Z7Socket_CloseSocket(c.sock);
    c.sock = -1;
    Rewind(c);
    c.subs = 0;
    c.state = 0;
    c.count = c.length = 0;
}

// Appends one event to a frame under construction; false when it does not fit.
bool PutEvent(Z7EvsClient &c, uint32_t limit, uint8_t type, uint8_t sub, uint8_t client, uint32_t date, uint32_t time,
              const uint8_t *data, uint8_t n) {
    if (c.frame[5] == 255 || c.length + kEventHead + n >= limit) return false;
    uint8_t *e = &c.frame[c.length];
    e[0] = type;
    e[1] = sub;
    e[2] = n;
    e[3] = client;
    BE_Put32(e + 4, date);
    BE_Put32(e + 8, time);
    if (n) std::memcpy(e + 12, data, n);
    c.length = uint16_t(c.length + kEventHead + n);
    c.frame[5]++;
    return true;
}

void FrameStart(Z7EvsClient &c) {
    c.frame[0] = 'Z';
    c.frame[1] = '7';
    c.frame[4] = 0x12;
    c.frame[5] = 0;
    c.length = 6;
    c.count = 0;
}

void FrameEnd(Z7EvsClient &c) { BE_Put16(&c.frame[2], uint16_t(c.length - 4)); }

void IdleFrame(Z7EvsClient &c) {
    FrameStart(c);
    const uint8_t idle[3] = {9, 1, 1};
    const Stamp t = Now();
    PutEvent(c, 1024, 8, 0, c.number, t.date, t.time, idle, 3);
    FrameEnd(c);
}

uint32_t Limit(const Z7EvsClient &c) { return c.max_frame >= 1 && c.max_frame <= 1024 ? c.max_frame : 1024; }

// Event list from the queues the client takes; the number of events.
uint32_t PutEventList(Z7EvsClient &c) {
    FrameStart(c);
    const uint32_t limit = Limit(c);
    if (c.subs & 0x01) {
        for (uint32_t k = 0; k < 4; k++) {
            Z7EvsQueue &q = c.q[k];
            if (q.lost == 0) continue;
            const Stamp t = Now();
            if (!PutEvent(c, limit, 1, uint8_t(k + 1), c.number, t.date, t.time, nullptr, 0)) break;
            q.lost_sent = q.lost;
        }
    }
    for (uint32_t k = 0; k < 4; k++) {
        if (!(c.subs & (1u << k))) continue;
        Z7EvsQueue &q = c.q[k];
        while (q.read + kEventHead <= q.used) {
            const uint8_t *e = q.buf + q.read;
            const uint8_t n = e[2];
            if (q.read + kEventHead + n > q.used) break;
            if (!PutEvent(c, limit, e[0], e[1], e[3], LE_Get32(e + 4), LE_Get32(e + 8), e + 12, n)) break;
            q.read += kEventHead + n;
        }
    }
    FrameEnd(c);
    return c.frame[5];
}

void FlushRead(Z7EvsClient &c) {
    for (Z7EvsQueue &q : c.q) {
        if (q.read) {
            std::memmove(q.buf, q.buf + q.read, q.used - q.read);
            q.used -= q.read;
            q.read = 0;
            if (q.used == 0) q.flags |= 1;
        }
        q.lost = uint16_t(q.lost - (q.lost_sent < q.lost ? q.lost_sent : q.lost));
        q.lost_sent = 0;
    }
}

bool ParseAck(Z7EvsClient &c) {
    const uint8_t *f = c.frame.data();
    const uint16_t size = BE_Get16(f + 2);
    // a frame too short to hold the key would take it from the bytes of an
    // earlier frame: it does not count as an acknowledgement
    if (f[0] != 'Z' || f[1] != '7' || size < 6 || f[4] != 0x12) return false;
    const uint16_t req = f[5];
    const uint32_t key = BE_Get32(f + 6);
    static constexpr uint16_t kMask[4] = {0xFFFF, uint16_t(~0x1u), uint16_t(~0x3u), uint16_t(~0x7u)};
    c.subs = 0;
    for (uint32_t k = 0; k < 4; k++) {
        if (c.q[k].key == key) {
            c.subs = uint16_t(req & kMask[k]);
            break;
        }
    }
    c.max_frame = size >= 10 ? BE_Get32(f + 10) : 0;
    return true;
}

// Sends the rest of the frame; false when the peer is gone.
bool Send(Z7EvsClient &c) {
    uint8_t drop[1024];
    bool closed = false;
    Z7Socket_Receive(c.sock, sizeof drop, drop, &closed);
    if (closed) return false;
    const int32_t n = Z7Socket_Send(c.sock, uint32_t(c.length - c.count), &c.frame[c.count], &closed);
    if (closed) return false;
    if (n > 0) c.count = uint16_t(c.count + n);
    if (c.count >= c.length) {
        if (c.subs & 0x20) {
            FlushRead(c);
            c.state = 1;
        } else {
            c.state = 3;
            c.count = c.length = 0;
        }
    }
    return true;
}

void StartSend(Z7EvsClient &c, uint32_t now) {
    c.state = 2;
    c.time = now;
    c.count = 0;
    if (!Send(c)) CloseClient(c);
}

void ReadAck(Z7EvsClient &c) {
    bool closed = false;
    const uint32_t want = c.count < 4 ? 4u - c.count : uint32_t(c.length - c.count);
    const int32_t n = Z7Socket_Receive(c.sock, want, &c.frame[c.count], &closed);
    if (closed) {
        CloseClient(c);
        return;
    }
    if (n <= 0) return;
    c.count = uint16_t(c.count + n);
    if (c.count == 4 && c.length == 0) {
        if (c.frame[0] != 'Z' || c.frame[1] != '7') {
            uint8_t drop[1024];
            Z7Socket_Receive(c.sock, sizeof drop, drop, &closed);
            c.count = 0;
            c.state = 1;
            Rewind(c);
            return;
        }
        const uint32_t len = BE_Get16(&c.frame[2]) + 4u;
        if (len > c.frame.size()) {  // more than the frame buffer holds
            CloseClient(c);
            return;
        }
        c.length = uint16_t(len);
    }
    if (c.length != 0 && c.count >= c.length) {
        c.state = 1;
        if (ParseAck(c))
            FlushRead(c);
        else
            Rewind(c);
        c.count = c.length = 0;
    }
}

void Step(Z7EvsClient &c, uint32_t now) {
    switch (c.state) {
    case 0:
        c.time = now;
        IdleFrame(c);
        Rewind(c);
        StartSend(c, now);
        return;
    case 2:
        if (!Send(c)) CloseClient(c);
        return;
    case 3:
        if (Elapsed(c.time, now) > 3000) {
            CloseClient(c);
            return;
        }
        // the header, then the rest of the acknowledgement in the same pass
        for (int part = 0; part < 2 && c.state == 3 && c.sock >= 0; part++) ReadAck(c);
        return;
    case 1:
        if (PutEventList(c) > 0) {
            StartSend(c, now);
        } else if (Elapsed(c.time, now) > 2000) {
            IdleFrame(c);
            Rewind(c);
            StartSend(c, now);
        }
        return;
    default: return;
    }
}

uint32_t SetCallback(Z7EvsCallbacks &slots, Z7EvsCallback cb) {
    if (cb == nullptr) return 1;
    for (Z7EvsCallback &s : slots) {
        if (s != nullptr) continue;
        s = cb;
        return 0;
    }
    return 1;
}

uint32_t RemoveCallback(Z7EvsCallbacks &slots, Z7EvsCallback cb) {
    for (uint32_t i = 0; cb != nullptr && i < Z7EVS_CALLBACKS; i++) {
        if (slots[i] != cb) continue;
        for (uint32_t k = i; k + 1 < Z7EVS_CALLBACKS; k++) slots[k] = slots[k + 1];
        slots[Z7EVS_CALLBACKS - 1] = nullptr;
        return 0;
    }
    return 1;
}

void CallBack(const Z7EvsCallbacks &slots, uint8_t type, uint8_t sub, uint32_t len, const uint8_t *data, uint32_t date,
              uint32_t time) {
    for (Z7EvsCallback cb : slots) {
        if (cb == nullptr) break;
        cb(type, sub, len, data, date, time);
    }
}

uint32_t Queue(Z7EvsClient &c, uint8_t type, uint8_t sub, uint32_t len, const uint8_t *data, uint32_t date,
               uint32_t time) {
    const int k = QueueOf(type);
    if (k < 0) return 1;
    if (!(type & c.subs)) return 0;
    if (sub == 255 && (c.subs & 0x80)) return 0;
    Z7EvsQueue &q = c.q[k];
    if (q.used + kEventHead + len > q.capacity) {
        // the count stays at its top rather than wrap to 0, which would
        // lose the queue-lost notice
        if (q.lost < 0xFFFF) q.lost++;
        return 1;
    }
    uint8_t *e = q.buf + q.used;
    e[0] = type;
    e[1] = sub;
    e[2] = uint8_t(len);
    e[3] = c.number;
    LE_Put32(e + 4, date);
    LE_Put32(e + 8, time);
    if (len) std::memcpy(e + 12, data, len);
    q.used += kEventHead + len;
    q.flags &= uint16_t(~1u);
    return 0;
}
}  // namespace

uint32_t Z7Evs1_GetMemorySize(const Z7EvsSettings *s) {
    uint32_t client = ClientHead();
    for (uint32_t k = 0; k < 4; k++) client += Align8(s->capacity[k]);
    return client;
}

uint32_t Z7Evs_GetMemorySize(const Z7EvsSettings *s) { return HeaderSize() + Z7EVS_CLIENTS * Z7Evs1_GetMemorySize(s); }

Z7EvsClient *Z7Evs1_Open(void *rec, const Z7EvsSettings *s) {
    std::memset(rec, 0, Z7Evs1_GetMemorySize(s));
    Z7EvsClient *c = static_cast<Z7EvsClient *>(rec);
    c->own_listen = -1;
    c->sock = -1;
    uint8_t *buf = static_cast<uint8_t *>(rec) + ClientHead();
    for (uint32_t k = 0; k < 4; k++) {
        c->q[k].capacity = s->capacity[k];
        c->q[k].key = s->key[k];
        c->q[k].buf = buf;
        c->q[k].flags = 1;
        buf += Align8(s->capacity[k]);
    }
    return c;
}

void Z7Evs1_Activate(Z7EvsClient *client, uint32_t now) {
    if (client != nullptr && client->sock >= 0) Step(*client, now);
}

uint32_t Z7Evs_Open(void *mem, const Z7EvsSettings *s) {
    Z7EvsData *d = Data(mem);
    std::memset(mem, 0, Z7Evs_GetMemorySize(s));
    d->client_size = (Z7Evs_GetMemorySize(s) - HeaderSize()) / Z7EVS_CLIENTS;
    d->port = s->port;
    d->listen = -1;
    if (!Z7Socket_CreateListeningSocket(s->port, 8, &d->listen, 0)) return 1;
    uint8_t *base = static_cast<uint8_t *>(mem) + HeaderSize();
    for (uint32_t i = 0; i < Z7EVS_CLIENTS; i++) d->client[i] = Z7Evs1_Open(base + i * d->client_size, s);
    return 0;
}

void Z7Evs_Close(void *evs) {
    if (evs == nullptr) return;
    Z7EvsData *d = Data(evs);
    for (Z7EvsClient *c : d->client) {
        if (c) CloseClient(*c);
    }
    Z7Socket_CloseSocket(d->listen);
    d->listen = -1;
}

void Z7Evs_Activate(void *evs, uint32_t now) {
    if (evs == nullptr) return;
    Z7EvsData *d = Data(evs);
    Z7SocketHandle waiting = Z7Socket_Accept(d->listen, 0);
    for (uint32_t i = 0; i < Z7EVS_CLIENTS; i++) {
        Z7EvsClient &c = *d->client[i];
        if (c.sock >= 0) {
            const uint16_t before = c.subs;
            Z7Evs1_Activate(&c, now);
            if ((c.subs & ~before) || (before && !c.subs)) d->status |= 1;
        } else if (waiting >= 0) {
            c.sock = waiting;
            c.number = uint8_t(i + 1);
            c.state = 0;
            c.subs = 0;
            c.max_frame = 0;
            // A close leaves the queues as they were (events of the old
            // client not yet acknowledged, its lost counts). A new peer is
            // another client: it starts with empty queues and no lost
            // counts, so it never receives events queued for the client that
            // held this record before, nor queue-lost notices owed to it.
            for (Z7EvsQueue &q : c.q) {
                q.read = q.used = 0;
                q.lost = q.lost_sent = 0;
                q.flags = 1;
            }
            Z7Evs1_Activate(&c, now);
            waiting = Z7Socket_Accept(d->listen, 0);
        }
    }
    if (waiting >= 0) Z7Socket_CloseSocket(waiting);  // no free record
}

uint32_t Z7Evs_EventTo(void *evs, uint8_t type, uint8_t sub, uint32_t len, const uint8_t *data, uint32_t index,
                       uint32_t *not_sent, uint32_t date, uint32_t time) {
    if (evs == nullptr || index > 7 || Data(evs)->client[index]->sock < 0) {
        if (not_sent) *not_sent = 1;
        return 1;
    }
    if (not_sent) *not_sent = 0;
    return Z7Evs1_EventDT(Data(evs)->client[index], type, sub, len, data, date, time);
}

uint32_t Z7Evs1_EventDT(Z7EvsClient *client, uint8_t type, uint8_t sub, uint32_t len, const uint8_t *data,
                        uint32_t date, uint32_t time) {
    if (client == nullptr) return 1;
    if (len > 255) len = 255;
    CallBack(client->callback, type, sub, len, data, date, time);
    return Queue(*client, type, sub, len, data, date, time);
}

uint32_t Z7Evs1_Event(Z7EvsClient *client, uint8_t type, uint8_t sub, uint32_t len, const uint8_t *data) {
    const Stamp t = Now();
    return Z7Evs1_EventDT(client, type, sub, len, data, t.date, t.time);
}

uint32_t Z7Evs_Event(void *evs, uint8_t type, uint8_t sub, uint32_t len, const uint8_t *data) {
    if (evs == nullptr) return 0;
    const Stamp t = Now();
    const uint32_t date = t.date, time = t.time;
    if (len > 255) len = 255;
    CallBack(Data(evs)->callback, type, sub, len, data, date, time);
    uint32_t first = 0;
    for (Z7EvsClient *c : Data(evs)->client) {
        if (c->sock < 0) continue;
        const uint32_t rc = Z7Evs1_EventDT(c, type, sub, len, data, date, time);
        if (first == 0) first = rc;
    }
    return first;
}

uint32_t Z7Evs_SetCallback(void *evs, Z7EvsCallback cb) { return evs ? SetCallback(Data(evs)->callback, cb) : 1; }
uint32_t Z7Evs_RemoveCallback(void *evs, Z7EvsCallback cb) { return evs ? RemoveCallback(Data(evs)->callback, cb) : 1; }
uint32_t Z7Evs1_SetCallback(Z7EvsClient *client, Z7EvsCallback cb) {
    return client ? SetCallback(client->callback, cb) : 1;
}
uint32_t Z7Evs1_RemoveCallback(Z7EvsClient *client, Z7EvsCallback cb) {
    return client ? RemoveCallback(client->callback, cb) : 1;
}

uint32_t Z7Evs_TextEvent(void *evs, uint8_t type, uint8_t sub, const char *text) {
    const size_t n = text ? strnlen(text, 255) : 0;
    return Z7Evs_Event(evs, type, sub, uint32_t(n), reinterpret_cast<const uint8_t *>(text));
}

uint32_t Z7Evs1_TextEvent(Z7EvsClient *client, uint8_t type, uint8_t sub, const char *text) {
    const size_t n = text ? strnlen(text, 255) : 0;
    return Z7Evs1_Event(client, type, sub, uint32_t(n), reinterpret_cast<const uint8_t *>(text));
}
void Z7Evs1_OnAppStart(Z7EvsClient *client, const char *name) { Z7Evs1_TextEvent(client, 1, 5, name); }
void Z7Evs1_OnAppStop(Z7EvsClient *client, const char *name) { Z7Evs1_TextEvent(client, 1, 6, name); }
void Z7Evs1_OnAppChange(Z7EvsClient *client, const char *name) { Z7Evs1_TextEvent(client, 1, 7, name); }
void Z7Evs1_Trace(Z7EvsClient *client, const char *text) { Z7Evs1_TextEvent(client, 8, 1, text); }

void Z7Evs_OnAppStart(void *evs, const char *name) { Z7Evs_TextEvent(evs, 1, 5, name); }
void Z7Evs_OnAppStop(void *evs, const char *name) { Z7Evs_TextEvent(evs, 1, 6, name); }
void Z7Evs_OnAppChange(void *evs, const char *name) { Z7Evs_TextEvent(evs, 1, 7, name); }
void Z7Evs_Trace(void *evs, const char *text) { Z7Evs_TextEvent(evs, 8, 1, text); }
uint32_t Z7Evs_EAOpen(void *evs) { return Z7Evs_Event(evs, 1, 8, 0, nullptr); }

void Z7Evs_FlushEAEvents(void *evs) {
    if (evs == nullptr) return;
    for (Z7EvsClient *c : Data(evs)->client) {
        c->q[2].read = c->q[2].used = 0;
        c->q[2].flags = 1;
    }
}

uint16_t Z7Evs_GetCnxPrefs(void *evs, uint32_t index) {
    if (evs == nullptr || index > 7) return 0;
    const Z7EvsClient *c = Data(evs)->client[index];
    return c->sock >= 0 ? c->subs : 0;
}

void Z7Evs_GetCnxVsiPrefs(void *evs, uint8_t out[Z7EVS_CLIENTS]) {
    for (uint32_t i = 0; i < Z7EVS_CLIENTS; i++) {
        const Z7EvsClient *c = evs ? Data(evs)->client[i] : nullptr;
        out[i] = c != nullptr && c->sock >= 0 && (c->subs & 0x40) ? 1 : 0;
    }
}

uint32_t Z7Evs_GetNbClient(void *evs) {
    if (evs == nullptr) return 0;
    uint32_t n = 0;
    for (const Z7EvsClient *c : Data(evs)->client) n += c->sock >= 0 ? 1 : 0;
    return n;
}

uint32_t Z7Evs_HasNewConections(void *evs) {
    if (evs == nullptr) return 0;
    const uint32_t r = Data(evs)->status & 1;
    Data(evs)->status &= uint16_t(~1u);
    return r;
}

void Z7Evs_SetEventsDisabled(void *evs, uint32_t disabled) {
    if (evs == nullptr) return;
    Z7EvsData *d = Data(evs);
    d->status = uint16_t(disabled ? d->status | 2u : d->status & ~2u);
}
