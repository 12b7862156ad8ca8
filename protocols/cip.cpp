// CIP objects of the EtherNet/IP adapter and the EPATH parser. Every object
// is a fixed pool; every refusal is an answer with a general status.
#include "protocols/cip.h"

#include <cstring>

#include "core/image/bytes.h"

std::array<ObjIdentity, 2> IdentityPool;
std::array<ObjMessageRouter, 2> RouterPool;
std::array<ObjConnManager, 2> ConnManagerPool;
std::array<ObjAssembly, 4> AssemblyPool;
std::array<ObjConnCfg, CIP_CONNECTIONS> ConnCfgPool;
std::array<ObjConnection, CIP_CONNECTIONS> ConnectionPool;
std::array<ObjTcpIp, 2> TcpIpPool;
std::array<ObjEnetLnk, 2> EnetLnkPool;
const char Eip_Product_Name[7] = "TQR300";

namespace {

template <class T, std::size_t N>
uint32_t Allocate(std::array<T, N> &pool, T **out) {
    for (std::size_t i = 0; i < N; i++) {
        if (!pool[i].used) {
            pool[i] = T{};
            pool[i].used = 1;
            pool[i].number = uint8_t(i + 1);
            *out = &pool[i];
            return 0;
        }
    }
    *out = nullptr;
    return 1;
}

template <class T, std::size_t N>
T *FindInst(std::array<T, N> &pool, uint32_t number) {
    for (auto &o : pool) {
        if (o.used && o.number == number) return &o;
    }
    return nullptr;
}

uint8_t *Head(uint8_t *a, uint8_t service, uint8_t general) {
    a[CIP_REPLY_SERVICE] = uint8_t(service | CIP_REPLY_BIT);
    a[CIP_REPLY_RESERVED] = 0;
    a[CIP_REPLY_GENERAL] = general;
    a[CIP_REPLY_EXT_WORDS] = 0;
    return a + CIP_REPLY_DATA;
}

uint32_t Put16(uint8_t *a, uint8_t service, uint16_t v) {
    LE_Put16(Head(a, service, CIP_OK), v);
    return 6;
}
uint32_t Put32(uint8_t *a, uint8_t service, uint32_t v) {
    LE_Put32(Head(a, service, CIP_OK), v);
    return 8;
}
uint32_t PutBytes(uint8_t *a, uint8_t service, const uint8_t *p, uint32_t n) {
    std::memcpy(Head(a, service, CIP_OK), p, n);
    return 4 + n;
}

// Size check of a set: 0 exact, else the general status.
uint8_t SizeCheck(uint32_t got, uint32_t want) { return got < want ? CIP_SHORT : got > want ? CIP_LONG : CIP_OK; }

uint32_t AssemblyBytes(const ObjAssembly &a) {
    uint32_t bits = 0;
    for (uint16_t b : a.member_bits) bits += b;
    return bits / 8;
}

}  // namespace

uint32_t CipAnswer(uint8_t *answer, uint8_t service, uint8_t general) {
    Head(answer, service, general);
    return 4;
}

// ---- EPATH ------------------------------------------------------------------------------------------

uint32_t Epath_Parse(const uint8_t *p, EpathResult *r, uint32_t size) {
    *r = EpathResult{};
    uint32_t i = 0;
    int cur = -1;
    uint8_t own = 0;  // segments the current path carries itself
    while (i < size) {
        const uint8_t b = p[i];
        if (b < 0x20) {
            const uint16_t port = b & 0x0F;
            uint32_t pos = 0;
            if (b & 0x10) {
                if (i + 2 > size) return 1;
                const uint8_t len = p[i + 1];
                pos = i + 2;
                r->port = port;
                if (port == 15) {
                    if (pos + 2 > size) return 1;
                    r->port = LE_Get16(p + pos);
                    pos += 2;
                }
                if (pos + len > size) return 1;
                r->link_len = len;
                r->link_pos = uint16_t(pos);
                pos += len;
                if (((pos - i) & 1) && pos < size) pos++;  // pad to a whole word
            } else if (port < 15) {
                if (i + 2 > size) return 1;
                r->port = port;
                r->link_len = 1;
                r->link_pos = uint16_t(i + 1);
                pos = i + 2;
            } else {
                if (i + 5 > size) return 1;
                r->port = LE_Get16(p + i + 2);
                r->link_len = 1;
                r->link_pos = uint16_t(i + 4);
                pos = i + 5;
            }
            i = pos;
            continue;
        }
        if (b >= 0x40 || (b & 3) != 0) return 1;
        const uint8_t type = (b >> 2) & 7;
        if (type == 5) {  // key: format byte, then 8 key bytes
            if (i + 10 > size) return 1;
            std::memcpy(r->key, p + i + 2, 8);
            r->has_key = 1;
            i += 10;
            continue;
        }
        uint8_t bit = 0;
        switch (type) {
        case 0: bit = EPATH_CLASS; break;
        case 1: bit = EPATH_INSTANCE; break;
        case 3: bit = EPATH_POINT; break;
        case 4: bit = EPATH_ATTRIBUTE; break;
        default: return 1;
        }
        if (i + 2 > size) return 1;
        const uint8_t v = p[i + 1];
        // A segment of a kind the current path already has, or one that
        // comes before a kind it has, starts a new path.
        const bool fresh = cur < 0 || (own & uint8_t(~(bit - 1))) != 0;
        if (bit == EPATH_ATTRIBUTE && (fresh || !(r->app[cur].has & EPATH_INSTANCE))) return 1;
        if (fresh) {
            if (r->count >= r->app.size()) return 1;
            cur = r->count++;
            own = 0;
            if (cur > 0 && bit != EPATH_CLASS && (r->app[cur - 1].has & EPATH_CLASS)) {
                r->app[cur].cls = r->app[cur - 1].cls;
                r->app[cur].has = EPATH_CLASS;
            }
        }
        EpathApp &a = r->app[cur];
        switch (bit) {
        case EPATH_CLASS: a.cls = v; break;
        case EPATH_INSTANCE: a.instance = v; break;
        case EPATH_POINT: a.point = v; break;
        default: a.attribute = v; break;
        }
        a.has |= bit;
        own |= bit;
        i += 2;
    }
    return 0;
}

// ---- Identity ----------------------------------------------------------------------------------------

void Identity_Class_Init() {}
uint32_t Identity_Inst_Allocate(ObjIdentity **out) { return Allocate(IdentityPool, out); }
void Identity_Inst_Ready(ObjIdentity *o) { o->ready = 1; }
void Identity_Inst_Free(ObjIdentity *o) { *o = ObjIdentity{}; }

uint32_t Identity_Service(const CipRequest &req, uint8_t *a) {
    if (req.instance == 0) return CipAnswer(a, req.service, CIP_UNSUPPORTED);
    ObjIdentity *o = FindInst(IdentityPool, req.instance);
    if (o == nullptr || !o->ready) return CipAnswer(a, req.service, CIP_NO_OBJECT);
    if (req.service == CIP_GET_SINGLE) {
        switch (req.attribute) {
        case 1: return Put16(a, req.service, o->vendor);
        case 2: return Put16(a, req.service, o->device_type);
        case 3: return Put16(a, req.service, o->product_code);
        case 4: {
            const uint8_t rev[2] = {o->major, o->minor};
            return PutBytes(a, req.service, rev, 2);
        }
        case 5: return Put16(a, req.service, o->status);
        case 6: return Put32(a, req.service, o->serial);
        case 7:
            return PutBytes(a, req.service, reinterpret_cast<const uint8_t *>(o->name), uint32_t(std::strlen(o->name)));
        default: return CipAnswer(a, req.service, CIP_NO_ATTR);
        }
    }
    if (req.service == CIP_RESET) {
        if (o->reset) o->reset(req.length > 0 ? req.data[0] : 0);
        return CipAnswer(a, req.service, CIP_OK);
    }
    return CipAnswer(a, req.service, CIP_UNSUPPORTED);
}

// ---- Message Router --------------------------------------------------------------------------------

void Message_Router_Class_Init() { RouterPool.fill(ObjMessageRouter{}); }
uint32_t Message_Router_Inst_Allocate(ObjMessageRouter **out) { return Allocate(RouterPool, out); }
void Message_Router_Inst_Ready(ObjMessageRouter *o) { o->ready = 1; }
void Message_Router_Inst_Free(ObjMessageRouter *o) { *o = ObjMessageRouter{}; }

void Message_Router_Class_Install(ObjMessageRouter *router, uint8_t cls, CipService fn) {
    for (auto &reg : router->regs) {
        if (reg.fn == nullptr) {
            reg = {cls, fn};
            return;
        }
    }
}

uint32_t Message_Router_Service(const CipRequest &req, uint8_t *a) {
    if (req.cls == CIP_CLASS_ROUTER) {
        const ObjMessageRouter *o = FindInst(RouterPool, req.instance);
        return CipAnswer(a, req.service, (o != nullptr && o->ready) ? CIP_UNSUPPORTED : CIP_NO_OBJECT);
    }
    const ObjMessageRouter &router = RouterPool[req.iface == 1 ? 1 : 0];
    for (const auto &reg : router.regs) {
        if (reg.fn != nullptr && reg.cls == req.cls) return reg.fn(req, a);
    }
    return CipAnswer(a, req.service, CIP_NO_OBJECT);
}

// ---- Assembly -----------------------------------------------------------------------------------------

void Assembly_Class_Init() {}
uint32_t Assembly_Inst_Allocate(ObjAssembly **out) {
    for (auto &o : AssemblyPool) {
        if (!o.used) {
            o = ObjAssembly{};
            o.used = 1;
            *out = &o;
            return 0;
        }
    }
    *out = nullptr;
    return 1;
}
void Assembly_Inst_Ready(ObjAssembly *o) { o->ready = 1; }
void Assembly_Inst_Free(ObjAssembly *o) { *o = ObjAssembly{}; }

uint32_t Assembly_Service(const CipRequest &req, uint8_t *a) {
    if (req.instance == 0) return CipAnswer(a, req.service, CIP_UNSUPPORTED);
    ObjAssembly *o = FindInst(AssemblyPool, req.instance);
    if (o == nullptr || !o->ready) return CipAnswer(a, req.service, CIP_NO_OBJECT);
    const uint32_t bytes = AssemblyBytes(*o);
    if (req.service == CIP_GET_SINGLE) {
        if (req.attribute != 3) return CipAnswer(a, req.service, CIP_NO_ATTR);
        if (bytes > CIP_ANSWER_MAX - 4 || o->data == nullptr) return CipAnswer(a, req.service, CIP_RESOURCE);
        return PutBytes(a, req.service, o->data, bytes);
    }
    if (req.service == CIP_SET_SINGLE) {
        if (req.attribute != 3) return CipAnswer(a, req.service, CIP_NO_ATTR);
        const uint8_t st = SizeCheck(req.length, bytes);
        if (st != CIP_OK) return CipAnswer(a, req.service, st);
        if (bytes > CIP_ANSWER_MAX - 4 || o->data == nullptr) return CipAnswer(a, req.service, CIP_RESOURCE);
        std::memcpy(o->data, req.data, bytes);
        return CipAnswer(a, req.service, CIP_OK);
    }
    return CipAnswer(a, req.service, CIP_UNSUPPORTED);
}

// ---- Connection configuration records ---------------------------------------------------------------

void Conn_Cfg_Class_Init() {}
uint32_t Conn_Cfg_Inst_Allocate(ObjConnCfg **out) { return Allocate(ConnCfgPool, out); }
void Conn_Cfg_Inst_Ready(ObjConnCfg *o) { o->ready = 1; }
void Conn_Cfg_Inst_Free(ObjConnCfg *o) { *o = ObjConnCfg{}; }
uint32_t Conn_Cfg_Service(const CipRequest &, uint8_t *) { return 0; }

// ---- Connection ---------------------------------------------------------------------------------------

void Connection_Class_Init() { ConnectionPool.fill(ObjConnection{}); }
uint32_t Connection_Inst_Allocate(ObjConnection **out) { return Allocate(ConnectionPool, out); }
void Connection_Inst_Ready(ObjConnection *o) {
    o->ready = 1;
    o->state = o->type == CIP_CONN_EXPLICIT ? CipConnState::Established : CipConnState::Configuring;
}
void Connection_Inst_Free(ObjConnection *o) { *o = ObjConnection{}; }

uint32_t Connection_Service(const CipRequest &req, uint8_t *a) {
    ObjConnection *o = FindInst(ConnectionPool, req.instance);
    if (o == nullptr || !o->ready) return CipAnswer(a, req.service, CIP_NO_OBJECT);
    const uint8_t s = req.service;
    if (s == CIP_GET_SINGLE) {
        switch (req.attribute) {
        case 1: {
            const uint8_t state = uint8_t(o->state);
            return PutBytes(a, s, &state, 1);
        }
        case 2: return PutBytes(a, s, &o->type, 1);
        case 3: return PutBytes(a, s, &o->trigger, 1);
        case 4: return Put16(a, s, o->produced_cid16);
        case 5: return Put16(a, s, o->consumed_cid16);
        case 6: return PutBytes(a, s, &o->comm, 1);
        case 7: return Put16(a, s, o->produced_size);
        case 8: return Put16(a, s, o->consumed_size);
        case 9: return Put16(a, s, o->rate);
        case 10: return Put32(a, s, o->produced_id);
        case 11: return Put32(a, s, o->consumed_id);
        case 12: return PutBytes(a, s, &o->timeout_action, 1);
        case 13: return Put16(a, s, uint16_t(o->produced_path.size()));
        case 14: return PutBytes(a, s, o->produced_path.data(), uint32_t(o->produced_path.size()));
        case 15: return Put16(a, s, uint16_t(o->consumed_path.size()));
        case 16: return PutBytes(a, s, o->consumed_path.data(), uint32_t(o->consumed_path.size()));
        case 17: return Put16(a, s, o->inhibit);
        default: return CipAnswer(a, s, CIP_BAD_ATTR);
        }
    }
    if (s == CIP_SET_SINGLE) {
        const uint8_t at = req.attribute;
        if (at < 1 || at > 17) return CipAnswer(a, s, CIP_NO_ATTR);
        uint32_t want = 0;
        if (o->type == CIP_CONN_EXPLICIT && o->state == CipConnState::Configuring && at >= 3 && at <= 6)
            want = (at == 3 || at == 6) ? 1 : 2;
        else if ((o->state == CipConnState::Established || o->state == CipConnState::DeferredDelete) &&
                 (at == 9 || at == 12))
            want = at == 9 ? 2 : 1;
        else
            return CipAnswer(a, s, CIP_STATE);
        const uint8_t st = SizeCheck(req.length, want);
        if (st != CIP_OK) return CipAnswer(a, s, st);
        switch (at) {
        case 3: o->trigger = req.data[0]; break;
        case 4: o->produced_cid16 = LE_Get16(req.data); break;
        case 5: o->consumed_cid16 = LE_Get16(req.data); break;
        case 6: o->comm = req.data[0]; break;
        case 9: o->rate = LE_Get16(req.data); break;
        default: o->timeout_action = req.data[0]; break;
        }
        return CipAnswer(a, s, CIP_OK);
    }
    if (s == CIP_APPLY) {
        if (o->type == CIP_CONN_EXPLICIT) return CipAnswer(a, s, CIP_UNSUPPORTED);
        if (o->state == CipConnState::Configuring || o->state == CipConnState::WaitingForId) {
            o->state = CipConnState::Established;
            return CipAnswer(a, s, CIP_OK);
        }
        return CipAnswer(a, s, CIP_STATE);
    }
    return CipAnswer(a, s, CIP_UNSUPPORTED);
}

uint32_t Conn_Put_Data(const CipRequest &req, uint8_t *a, ObjConnection *conn) {
    const uint8_t service = req.length > 0 ? req.data[0] : 0;
    if (conn == nullptr || conn->type != CIP_CONN_EXPLICIT ||
        (conn->state != CipConnState::Established && conn->state != CipConnState::DeferredDelete))
        return CipAnswer(a, service, CIP_STATE);
    if (req.length < 2) return CipAnswer(a, service, CIP_SHORT);
    const uint32_t path = 2u * req.data[1];
    if (2 + path > req.length) return CipAnswer(a, service, CIP_SHORT);
    EpathResult r;
    if (Epath_Parse(req.data + 2, &r, path) != 0 || r.count == 0) return CipAnswer(a, service, CIP_PATH);
    const CipRequest inner{service,
                           r.app[0].cls,
                           r.app[0].instance,
                           r.app[0].attribute,
                           uint16_t(req.length - 2 - path),
                           req.data + 2 + path,
                           req.iface};
    return Message_Router_Service(inner, a);
}

uint32_t Conn_Get_Data(const CipRequest &req, uint8_t *a, ObjConnection *conn) {
    if (conn == nullptr || conn->state != CipConnState::Established) return CipAnswer(a, req.service, CIP_STATE);
    EpathResult r;
    if (Epath_Parse(conn->produced_path.data(), &r, uint32_t(conn->produced_path.size())) != 0 || r.count == 0)
        return CipAnswer(a, req.service, CIP_PATH);
    const CipRequest inner{CIP_GET_SINGLE, r.app[0].cls, r.app[0].instance, r.app[0].attribute, 0, nullptr, req.iface};
    return Message_Router_Service(inner, a);
}

// ---- Connection Manager -----------------------------------------------------------------------------

void Conn_Manager_Class_Init() {}
uint32_t Conn_Manager_Inst_Allocate(ObjConnManager **out) { return Allocate(ConnManagerPool, out); }
void Conn_Manager_Inst_Ready(ObjConnManager *o) { o->ready = 1; }
void Conn_Manager_Inst_Free(ObjConnManager *o) { *o = ObjConnManager{}; }

uint32_t ConnManagerOpenError(uint8_t *a, uint8_t service, uint8_t general, uint16_t extended, const uint8_t *req) {
    uint8_t *p = a;
    p[0] = uint8_t(service | 0x80);
    p[1] = 0;
    p[2] = general;
    p[3] = 1;
    LE_Put16(p + 4, extended);
    // Connection serial, originator vendor and originator serial sit at
    // request bytes 2-9 of a Forward_Close, 10-17 of a Forward_Open.
    const uint8_t *ids = req + (service == CIP_FWD_OPEN ? 10 : 2);
    std::memcpy(p + 6, ids, 8);
    p[14] = 0;
    return 15;
}

namespace {

uint32_t ForwardOpen(ObjConnManager &mgr, const CipRequest &req, uint8_t *a) {
    const uint8_t s = req.service;
    if (req.length < 36) return CipAnswer(a, s, CIP_SHORT);
    const uint8_t *d = req.data;
    const uint32_t words = d[35];
    const uint8_t st = SizeCheck(req.length, 36 + 2 * words);
    if (st != CIP_OK) return CipAnswer(a, s, st);
    // The list entry first, then the record: eight open connections use up
    // both, and a full list is what they answer.
    unsigned slot = 0;
    while (slot < mgr.list.size() && mgr.list[slot] != nullptr) slot++;
    if (slot == mgr.list.size()) return ConnManagerOpenError(a, s, CIP_CONN_FAILURE, CIP_EXT_LIST_FULL, d);
    ObjConnCfg *cfg = nullptr;
    if (Conn_Cfg_Inst_Allocate(&cfg) != 0) return ConnManagerOpenError(a, s, CIP_CONN_FAILURE, CIP_EXT_NO_RECORD, d);
    // The path is checked before anything is copied.
    if (words > CIP_PATH_WORDS) {
        Conn_Cfg_Inst_Free(cfg);
        return ConnManagerOpenError(a, s, CIP_CONN_FAILURE, CIP_EXT_BAD_PATH, d);
    }
    cfg->priority_tick = d[0];
    cfg->timeout_ticks = d[1];
    cfg->ot_id = LE_Get32(d + 2);
    cfg->to_id = LE_Get32(d + 6);
    cfg->serial = LE_Get16(d + 10);
    cfg->vendor = LE_Get16(d + 12);
    cfg->orig_serial = LE_Get32(d + 14);
    cfg->multiplier = d[18];
    cfg->ot_rpi = LE_Get32(d + 22);
    cfg->ot_params = LE_Get16(d + 26);
    cfg->to_rpi = LE_Get32(d + 28);
    cfg->to_params = LE_Get16(d + 32);
    cfg->trigger = d[34];
    cfg->path_words = uint8_t(words);
    std::memcpy(cfg->path.data(), d + 36, 2 * words);
    cfg->flags = uint8_t((req.iface & CIP_CFG_IFACE_MASK) << CIP_CFG_IFACE_SHIFT);
    Conn_Cfg_Inst_Ready(cfg);
    mgr.list[slot] = cfg;
    if (mgr.open == nullptr || mgr.open(cfg) != 0) {
        const uint8_t general = mgr.open ? cfg->general : uint8_t(CIP_RESOURCE);
        const uint16_t extended = cfg->extended;
        mgr.list[slot] = nullptr;
        Conn_Cfg_Inst_Free(cfg);
        if (extended == 0) {
            // A failure without an extended status (a socket that could not be made).
            uint8_t *p = a;
            p[0] = uint8_t(s | 0x80);
            p[1] = 0;
            p[2] = general;
            p[3] = 0;
            std::memcpy(p + 4, d + 10, 8);
            p[12] = 0;
            return 13;
        }
        return ConnManagerOpenError(a, s, general, extended, d);
    }
    uint8_t *p = Head(a, s, CIP_OK);
    LE_Put32(p, cfg->ot_id);
    LE_Put32(p + 4, cfg->to_id);
    LE_Put16(p + 8, cfg->serial);
    LE_Put16(p + 10, cfg->vendor);
    LE_Put32(p + 12, cfg->orig_serial);
    LE_Put32(p + 16, cfg->ot_rpi);
    LE_Put32(p + 20, cfg->to_rpi);
    p[24] = 0;
    p[25] = 0;
    return 4 + 26;
}

uint32_t ForwardClose(ObjConnManager &mgr, const CipRequest &req, uint8_t *a) {
    const uint8_t s = req.service;
    if (req.length < 10) return CipAnswer(a, s, CIP_SHORT);
    const uint8_t *d = req.data;
    const uint16_t serial = LE_Get16(d + 2), vendor = LE_Get16(d + 4);
    const uint32_t orig = LE_Get32(d + 6);
    for (ObjConnCfg *cfg : mgr.list) {
        if (cfg == nullptr || cfg->serial != serial || cfg->vendor != vendor || cfg->orig_serial != orig) continue;
        if (mgr.close) mgr.close(cfg);
        // The close hook takes the record off the list; make sure of it.
        for (auto &e : mgr.list) {
            if (e == cfg) {
                e = nullptr;
                Conn_Cfg_Inst_Free(cfg);
            }
        }
        uint8_t *p = Head(a, s, CIP_OK);
        std::memcpy(p, d + 2, 8);
        p[8] = 0;
        p[9] = 0;
        return 4 + 10;
    }
    return ConnManagerOpenError(a, s, CIP_CONN_FAILURE, CIP_EXT_NO_MATCH, d);
}

}  // namespace

uint32_t Conn_Manager_Service(const CipRequest &req, uint8_t *a) {
    if (req.instance == 0) return CipAnswer(a, req.service, CIP_UNSUPPORTED);
    ObjConnManager *o = FindInst(ConnManagerPool, req.instance);
    if (o == nullptr) return CipAnswer(a, req.service, CIP_NO_OBJECT);
    if (!o->ready) return CipAnswer(a, req.service, CIP_STATE);
    if (req.service == CIP_FWD_OPEN) return ForwardOpen(*o, req, a);
    if (req.service == CIP_FWD_CLOSE) return ForwardClose(*o, req, a);
    return CipAnswer(a, req.service, CIP_UNSUPPORTED);
}

// ---- TCP/IP Interface and Ethernet Link --------------------------------------------------------------

void TcpIp_Class_Init() {}
uint32_t TcpIp_Inst_Allocate(ObjTcpIp **out) { return Allocate(TcpIpPool, out); }
void TcpIp_Inst_Ready(ObjTcpIp *o) { o->ready = 1; }
void TcpIp_Inst_Free(ObjTcpIp *o) { *o = ObjTcpIp{}; }

uint32_t TcpIp_Service(const CipRequest &req, uint8_t *a) {
    if (req.instance == 0) return CipAnswer(a, req.service, CIP_UNSUPPORTED);
    ObjTcpIp *o = FindInst(TcpIpPool, req.instance);
    if (o == nullptr || !o->ready) return CipAnswer(a, req.service, CIP_NO_OBJECT);
    if (req.service == CIP_GET_SINGLE) {
        switch (req.attribute) {
        case 1: return Put32(a, req.service, o->status);
        case 2: return Put32(a, req.service, o->capability);
        case 4: return PutBytes(a, req.service, o->path.data(), uint32_t(o->path.size()));
        default: return CipAnswer(a, req.service, CIP_NO_ATTR);
        }
    }
    if (req.service == CIP_SET_SINGLE) {
        if (req.attribute != 3) return CipAnswer(a, req.service, CIP_NO_ATTR);
        const uint8_t st = SizeCheck(req.length, 4);
        if (st == CIP_OK) o->control = LE_Get32(req.data);
        return CipAnswer(a, req.service, st);
    }
    return CipAnswer(a, req.service, CIP_UNSUPPORTED);
}

void Enet_Lnk_Class_Init() {}
uint32_t Enet_Lnk_Inst_Allocate(ObjEnetLnk **out) { return Allocate(EnetLnkPool, out); }
void Enet_Lnk_Inst_Ready(ObjEnetLnk *o) { o->ready = 1; }
void Enet_Lnk_Inst_Free(ObjEnetLnk *o) { *o = ObjEnetLnk{}; }

uint32_t Enet_Lnk_Service(const CipRequest &req, uint8_t *a) {
    if (req.instance == 0) return CipAnswer(a, req.service, CIP_UNSUPPORTED);
    ObjEnetLnk *o = FindInst(EnetLnkPool, req.instance);
    if (o == nullptr || !o->ready) return CipAnswer(a, req.service, CIP_NO_OBJECT);
    if (req.service != CIP_GET_SINGLE) return CipAnswer(a, req.service, CIP_UNSUPPORTED);
    switch (req.attribute) {
    case 1: return Put32(a, req.service, o->speed);
    case 2: return Put32(a, req.service, o->flags);
    case 3: return PutBytes(a, req.service, o->mac.data(), 6);
    default: return CipAnswer(a, req.service, CIP_NO_ATTR);
    }
}
