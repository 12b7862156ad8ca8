// CANopen SDO server and client, and the object dictionary.
#include <cstring>

#include "core/image/bytes.h"
#include "core/image/plcreg.h"
#include "core/image/timebase.h"
#include "io/copen.h"
#include "core/image/plcreg.h"

SdoState SDO_St;

namespace {

uint32_t Now() { return FPGA_GetFrt(); }

void Frame(uint32_t cob, uint8_t cmd, uint16_t index, uint8_t sub, const uint8_t *data, unsigned n) {
    uint8_t d[8] = {cmd, uint8_t(index), uint8_t(index >> 8), sub, 0, 0, 0, 0};
    for (unsigned i = 0; i < n && i < 4; i++) d[4 + i] = data[i];
    CANOpenSend(cob, 8, d);
}

uint32_t ServerTx() { return SDO_St.tx_cob[SDO_St.active] & 0x1FFFFFFF; }

// ---- object dictionary helpers ---------------------------------------------------
bool Reading() { return (SDO_St.flags & SDO_F_UPLOAD) != 0; }

void Put(uint32_t v, unsigned n) { CANOpenObjPut(SDO_St.buf.data(), &SDO_St.cnt, v, n); }
uint32_t Got() { return CANOpenObjGet(SDO_St.buf.data(), SDO_St.cnt); }
// Length check of a write to an object of n bytes.
uint32_t WriteLen(unsigned n) { return CANOpenObjLen(SDO_St.cnt, n); }

uint32_t ReadOnly(uint32_t v, unsigned n) {
    if (!Reading()) return SDO_ABORT_RO;
    Put(v, n);
    return 0;
}

// Read or write of a plain variable of n bytes; write answers the value via out.
uint32_t Var(uint32_t v, unsigned n, uint32_t *out) {
    if (Reading()) {
        Put(v, n);
        return 0;
    }
    if (const uint32_t e = WriteLen(n)) return e;
    *out = Got();
    return 0;
}

// Read or write of a COB-ID entry; a write of an identifier 0 is refused,
// another one is stored and told by *written.
uint32_t CobVar(uint32_t &cob, bool *written) {
    uint32_t v = 0;
    if (const uint32_t e = Var(cob, 4, &v)) return e;
    if (Reading()) return 0;
    if (CANOpenCobZero(v)) return SDO_ABORT_PARAM;
    cob = v;
    *written = true;
    return 0;
}

struct Family {
    uint16_t base;
    uint8_t width;
    uint8_t out;
};
constexpr Family kFamilies[] = {{0xA000, 8, 0},  {0xA040, 8, 0},  {0xA080, 1, 0},  {0xA0C0, 16, 0},
                                {0xA100, 16, 0}, {0xA1C0, 32, 0}, {0xA200, 32, 0}, {0xA240, 32, 0},
                                {0xA480, 8, 1},  {0xA4C0, 8, 1},  {0xA500, 1, 1},  {0xA540, 16, 1},
                                {0xA580, 16, 1}, {0xA640, 32, 1}, {0xA680, 32, 1}, {0xA6C0, 32, 1}};

uint32_t HeartbeatEntries() {
    uint32_t n = 0;
    for (const CoNodeEntry &e : co_nodes) {
        if (e.flags & CO_NF_ENTRY) n++;
    }
    return n;
}

uint32_t ConsumerEntry(uint8_t sub) {
    CoNodeEntry &e = co_nodes[sub - 1u];
    if (Reading()) {
        Put((e.flags & CO_NF_ENTRY) ? (uint32_t(e.id) << 16 | e.time_ms) : 0, 4);
        return 0;
    }
    if (const uint32_t err = WriteLen(4)) return err;
    // On a master these entries are its slaves' node table, kept by the
    // boot-up: a write over SDO would change the slaves it supervises.
    if (co.master) return SDO_ABORT_STATE;
    const uint32_t v = Got();
    if (v == 0) {
        e = CoNodeEntry{};
    } else {
        e = CoNodeEntry{};
        e.time_ms = uint16_t(v);
        e.id = uint8_t(v >> 16);
        e.state = 0xFE;
        e.t = Now();
        e.flags = CO_NF_ENTRY;
    }
    co.hbcons = HeartbeatEntries() != 0 ? 1 : 0;
    return 0;
}

uint32_t ServerParam(uint16_t index, uint8_t sub) {
    const uint32_t s = index - 0x1200u;
    if (s > SDO_St.count || s >= SDO_SERVERS - 1) return SDO_ABORT_ACCESS;
    if (sub == 0) return ReadOnly(2, 1);
    if (sub > 2) return SDO_ABORT_SUB;
    if (s == SDO_St.count && Reading()) return SDO_ABORT_ACCESS;
    auto &tab = sub == 1 ? SDO_St.rx_cob : SDO_St.tx_cob;
    if (Reading()) {
        Put(tab[s], 4);
        return 0;
    }
    // Server 0 stays on 0x600 and 0x580 + node id, as every tool expects:
    // moving it (or marking it not valid) would leave the node unreachable.
    if (s == 0) return SDO_ABORT_RO;
    if (const uint32_t e = WriteLen(4)) return e;
    const uint32_t v = Got();
    if (CANOpenCobZero(v)) return SDO_ABORT_PARAM;
    tab[s] = v;
    if (s == SDO_St.count) {
        // the server just behind the last one: added, its other COB-ID to follow
        (sub == 1 ? SDO_St.tx_cob : SDO_St.rx_cob)[s] = 0x80000000u;
        SDO_St.count++;
    }
    return 0;
}

uint32_t RegisterObject(uint16_t index, uint8_t sub) {
    if (sub == 0 || sub == 255) return ReadOnly(254, 1);
    uint32_t addr = 0, width = 0;
    // Among the mapped PDO objects only while an IEC application runs with
    // its variables; otherwise the register table, whatever the block's layout.
    const bool iec = co_iec_layout && CANOpenIecOk();
    if (iec ? !CANOpenIecObject(index, sub, &addr, &width) : !CANOpenGetODEntry(index, sub, &addr, &width))
        return SDO_ABORT_ACCESS;
    const unsigned bytes = width >= 8 ? width / 8 : 1;
    if (Reading()) {
        uint32_t v = 0;
        if (!CANOpenGetData(&v, index, width, addr)) return SDO_ABORT_ACCESS;
        Put(v, bytes);
        return 0;
    }
    if (const uint32_t e = WriteLen(bytes)) return e;
    return CANOpenSetData(Got(), index, width, addr) ? 0 : SDO_ABORT_RO;
}

}  // namespace

// ---- object values -----------------------------------------------------------------
uint32_t CANOpenObjGet(const uint8_t *buf, uint16_t cnt) {
    uint32_t v = 0;
    for (unsigned i = 0; i < cnt && i < 4; i++) v |= uint32_t(buf[i]) << (8 * i);
    return v;
}
void CANOpenObjPut(uint8_t *buf, uint16_t *cnt, uint32_t v, unsigned n) {
    for (unsigned i = 0; i < n; i++) buf[i] = uint8_t(v >> (8 * i));
    *cnt = uint16_t(n);
}
uint32_t CANOpenObjLen(uint16_t cnt, unsigned n) {
    if (cnt > n) return SDO_ABORT_LONG;
    if (cnt < n) return SDO_ABORT_SHORT;
    return 0;
}
bool CANOpenCobZero(uint32_t cob) { return (cob & 0x20000000u) ? (cob & 0x1FFFFFFFu) == 0 : (cob & 0x7FFu) == 0; }

// ---- register objects --------------------------------------------------------------
uint32_t CANOpenGetODEntry(uint32_t index, uint32_t sub, uint32_t *address, uint32_t *width) {
    if (sub < 1 || sub > 254) return 0;
    const uint32_t s = sub - 1;
    const uint32_t tbase = RegTokLen_16b ? BA_T : REG_ET_FIRST;
    const uint32_t mbase = RegTokLen_16b ? BA_M : REG_EM_FIRST;
    auto bits = [&](uint32_t base, uint32_t first) {
        *address = base + 254 * (index - first) + s;
        *width = 1;
        return 1u;
    };
    auto words = [&](uint32_t base, uint32_t first) {
        *address = base + 16 * (254 * (index - first) + s);
        *width = 16;
        return 1u;
    };
    if (index >= 0x2000 && index <= 0x2008) return bits(BA_I, 0x2000);
    if (index >= 0x2009 && index <= 0x2011) return bits(BA_Q, 0x2009);
    if (index >= 0x2012 && index <= 0x201A) return bits(tbase, 0x2012);
    if (index >= 0x201B && index <= 0x2023) return bits(mbase, 0x201B);
    if (index >= 0x2024 && index <= 0x202C) return words(BA_AI, 0x2024);
    if (index >= 0x202D && index <= 0x2035) return words(BA_AQ, 0x202D);
    if (index >= 0x2036 && index <= 0x2037) return bits(1536, 0x2036);
    if (index == 0x2038) return bits(1792, 0x2038);
    if (index >= 0x2039 && index <= 0x203D) return bits(6144, 0x2039);
    if (index == 0x203E) return words(BA_SR, 0x203E);
    for (const Family &f : kFamilies) {
        if (index < f.base || index >= f.base + 40u) continue;
        uint32_t u = index - f.base;
        if (f.out && (u == 1 || u == 3)) u--;
        switch (u) {
        case 0: *address = 1024 + s; break;
        case 1: *address = 1280 + s; break;
        case 2: *address = 2048 + 16 * s; break;
        case 3: *address = 2560 + 16 * s; break;
        default: *address = BA_R + 16 * (254 * (u - 4) + s); break;
        }
        *width = f.width;
        return 1;
    }
    return 0;
}

// ---- the dictionary ----------------------------------------------------------------------
uint32_t CANOpenODAccess() {
    const uint16_t index = SDO_St.index;
    const uint8_t sub = SDO_St.sub;
    uint32_t v = 0;
    bool written = false;
    auto only0 = [sub]() { return sub != 0 ? SDO_ABORT_SUB : 0u; };
    if ((index >= 0x2000 && index <= 0x203E) || (index >= 0xA000 && index <= 0xA6FF)) return RegisterObject(index, sub);
    if (index >= 0x1400 && index <= 0x1BFF) {
        return CANOpenPDOAccess(index, sub, Reading() ? 0 : 1, SDO_St.buf.data(), &SDO_St.cnt);
    }
    if (index >= 0x1200 && index <= 0x127F) return ServerParam(index, sub);
    switch (index) {
    case 0x1000:
        if (only0()) return SDO_ABORT_SUB;
        return ReadOnly(CO_DEVICE_TYPE, 4);
    case 0x1001:
        if (only0()) return SDO_ABORT_SUB;
        return ReadOnly(co.errreg, 1);
    case 0x1002:
        if (only0()) return SDO_ABORT_SUB;
        return ReadOnly((co.status & 0x00FFFFFFu) | uint32_t(co.NMT_State) << 24, 4);
    case 0x1005:
        if (only0()) return SDO_ABORT_SUB;
        if (const uint32_t e = CobVar(co.sync_cobid, &written)) return e;
        if (written) co.sync_produce = (co.sync_cobid >> 30) & 1;
        return 0;
    case 0x1006:
        if (only0()) return SDO_ABORT_SUB;
        if (const uint32_t e = Var(co.sync_period * 100, 4, &v)) return e;
        if (!Reading()) {
            co.sync_period = v / 100;
            co.sync_on = v != 0 ? 1 : 0;
            co.sync_last = Now();
        }
        return 0;
    case 0x1007:
        if (only0()) return SDO_ABORT_SUB;
        if (const uint32_t e = Var(co.sync_window * 100, 4, &v)) return e;
        if (!Reading()) co.sync_window = v / 100;
        return 0;
    case 0x1008:
        if (only0()) return SDO_ABORT_SUB;
        if (!Reading()) return SDO_ABORT_RO;
        std::memcpy(SDO_St.buf.data(), &plc_reg[2 * W_MODEL], 6);
        SDO_St.cnt = 6;
        return 0;
    case 0x1009: return Reading() ? SDO_ABORT_ACCESS : SDO_ABORT_RO;
    case 0x100A:
        if (only0()) return SDO_ABORT_SUB;
        if (!Reading()) return SDO_ABORT_RO;
        std::memcpy(SDO_St.buf.data(), SYS_VersionText, 5);
        SDO_St.cnt = 5;
        return 0;
    case 0x100C:
        if (only0()) return SDO_ABORT_SUB;
        if (const uint32_t e = Var(co.guard_ms, 2, &v)) return e;
        if (!Reading()) {
            co.guard_ms = uint16_t(v);
            co.life_ticks = uint32_t(co.guard_ms) * co.life_factor * 10;
            co.guarded = v != 0 && !co.master ? 1 : 0;
            co.guard_last = Now();
        }
        return 0;
    case 0x100D:
        if (only0()) return SDO_ABORT_SUB;
        if (const uint32_t e = Var(co.life_factor, 1, &v)) return e;
        if (!Reading()) {
            co.life_factor = uint8_t(v);
            co.life_ticks = uint32_t(co.guard_ms) * co.life_factor * 10;
        }
        return 0;
    case 0x1012:
        if (only0()) return SDO_ABORT_SUB;
        if (const uint32_t e = CobVar(co.time_cobid, &written)) return e;
        if (written) {
            co.time_produce = co.time_en && (co.time_cobid & 0x80000000u) && !(co.time_cobid & 0x40000000u);
            co.time_consume = co.time_en && (co.time_cobid & 0x40000000u);
        }
        return 0;
    case 0x1014:
        if (only0()) return SDO_ABORT_SUB;
        if (const uint32_t e = CobVar(co.emcy_cobid, &written)) return e;
        if (written) co.emcy_on = (co.emcy_cobid & 0x80000000u) ? 0 : 1;
        return 0;
    case 0x1015:
        if (only0()) return SDO_ABORT_SUB;
        if (const uint32_t e = Var(co.emcy_inhibit, 2, &v)) return e;
        if (!Reading()) co.emcy_inhibit = uint16_t(v);
        return 0;
    case 0x1016:
        if (sub == 0) return ReadOnly(HeartbeatEntries(), 1);
        if (sub >= 128) return SDO_ABORT_ACCESS;
        return ConsumerEntry(sub);
    case 0x1017:
        if (only0()) return SDO_ABORT_SUB;
        if (const uint32_t e = Var(co.hb_ms, 2, &v)) return e;
        if (!Reading()) {
            co.hb_ms = uint16_t(v);
            co.hb_ticks = uint32_t(co.hb_ms) * 10;
            co.hb_last = Now();
        }
        return 0;
    case 0x1018:
        if (sub == 0) return ReadOnly(2, 1);
        if (sub == 1) return ReadOnly(CO_VENDOR_ID, 4);
        if (sub == 3) return ReadOnly(0x10000, 4);
        return SDO_ABORT_SUB;
    case 0x1020:
        if (sub == 0) return ReadOnly(2, 1);
        if (sub == 1) return ReadOnly(co.cfg_date, 4);
        if (sub == 2) return ReadOnly(co.cfg_time, 4);
        return SDO_ABORT_SUB;
    case 0x1F52:
        if (sub == 0) return ReadOnly(2, 1);
        if (sub == 1) return ReadOnly(co.sw_date, 4);
        if (sub == 2) return ReadOnly(co.sw_time, 4);
        return SDO_ABORT_SUB;
    case 0x1F80:
        if (only0()) return SDO_ABORT_SUB;
        return ReadOnly(co.startup, 1);
    default: return SDO_ABORT_ACCESS;
    }
}

// ---- frames ----------------------------------------------------------------------------
namespace {
// Client COB-IDs of the slave being booted: its client SDO list entry when
// the block has one, else the default server of the slave's node id.
void ClientCobs() {
    if (co.cur >= co.count) return;
    const uint8_t id = co_nodes[co.cur].id;
    SDO_St.client_cob = 0x600u + id;
    SDO_St.client_listen = 0x580u + id;
    uint32_t len = 0;
    const uint8_t *blk = CANOpenBlock(&len);
    if (len < 0x30) return;
    const uint64_t off = uint64_t(LE_Get32(blk + 0x2C)) + 12u * co.cur;
    if (LE_Get32(blk + 0x2C) == 0 || off + 12 > len) return;
    const uint32_t tx = LE_Get32(blk + off), rx = LE_Get32(blk + off + 4);
    if (tx != 0 && !(tx & 0x80000000u)) SDO_St.client_cob = tx & 0x1FFFFFFF;
    if (rx != 0 && !(rx & 0x80000000u)) SDO_St.client_listen = rx & 0x1FFFFFFF;
}
}  // namespace

uint32_t CANOpenSDOCompose(uint8_t command) {
    const bool client = SDO_St.flags & SDO_F_COMPOSE;
    uint8_t d[4] = {};
    unsigned n = 0;
    if (client) {
        n = SDO_St.ccnt > 4 ? 4 : SDO_St.ccnt;
        std::memcpy(d, SDO_St.cbuf.data(), n);
    } else {
        n = SDO_St.cnt > 4 ? 4 : SDO_St.cnt;
        if ((command & 0xE0) == 0x40 && (SDO_St.flags & SDO_F_SEGUP)) n = 2;
        std::memcpy(d, SDO_St.buf.data(), n);
    }
    const uint32_t cob = client ? SDO_St.client_cob : ServerTx();
    const uint16_t index = client ? SDO_St.req_index : SDO_St.index;
    const uint8_t sub = client ? SDO_St.req_sub : SDO_St.sub;
    uint8_t f[8] = {command, uint8_t(index), uint8_t(index >> 8), sub, 0, 0, 0, 0};
    std::memcpy(f + 4, d, n);
    if (!CANOpenSend(cob, 8, f)) return 0;
    if (client) {
        SDO_St.client_time = Now();
        uint32_t t = 0;
        if (co.master && co.cur < co.count) t = uint32_t(co_nodes[co.cur].time_ms) * 10;
        SDO_St.client_timeout = t != 0 ? t : 1000;
    }
    return 1;
}

void CANOpenSSDOAbortTransfer(const uint8_t *request, uint32_t code) {
    uint8_t d[4];
    LE_Put32(d, code);
    Frame(ServerTx(), 0x80, LE_Get16(request + 1), request[3], d, 4);
}

// With keep_cob 0 the transfer is the boot-up's: not a user's any more.
uint32_t CANOpenCSDOUpldInit(uint32_t keep_cob) {
    if (!keep_cob) {
        ClientCobs();
        SDO_St.flags &= uint8_t(~SDO_F_USER);
    }
    SDO_St.ccnt = 0;
    SDO_St.flags = uint8_t((SDO_St.flags | SDO_F_COMPOSE) & ~(SDO_F_DONE | SDO_F_ABORTED));
    const uint32_t ok = CANOpenSDOCompose(0x40);
    SDO_St.flags &= uint8_t(~SDO_F_COMPOSE);
    if (ok) SDO_St.flags |= SDO_F_CLIENT;
    return ok;
}

uint32_t CANOpenCSDODwnInit(uint32_t keep_cob) {
    if (SDO_St.ccnt == 0 || SDO_St.ccnt > 4) return 0;
    if (!keep_cob) {
        ClientCobs();
        SDO_St.flags &= uint8_t(~SDO_F_USER);
    }
    SDO_St.flags = uint8_t((SDO_St.flags | SDO_F_COMPOSE) & ~(SDO_F_DONE | SDO_F_ABORTED));
    const uint32_t ok = CANOpenSDOCompose(uint8_t(0x23 | ((4 - SDO_St.ccnt) << 2)));
    SDO_St.flags &= uint8_t(~SDO_F_COMPOSE);
    if (ok) SDO_St.flags |= SDO_F_CLIENT;
    return ok;
}

uint32_t CANOpen_SlaveInfoChk(uint16_t index, uint8_t sub, uint32_t expected, uint32_t *equal) {
    CoNodeEntry &e = co_nodes[co.cur];
    if (e.sub == 0) {
        if (SDO_St.flags & SDO_F_CLIENT) return 0;
        SDO_St.req_index = index;
        SDO_St.req_sub = sub;
        SDO_St.flags &= uint8_t(~SDO_F_USER);
        if (CANOpenCSDOUpldInit(0)) e.sub = 1;
        return 0;
    }
    if (SDO_St.flags & SDO_F_DONE) {
        SDO_St.flags &= uint8_t(~SDO_F_DONE);
        *equal = !(SDO_St.flags & SDO_F_ABORTED) && LE_Get32(SDO_St.cbuf.data()) == expected ? 1 : 0;
        return 1;
    }
    if (!(SDO_St.flags & SDO_F_CLIENT)) {
        // No answer within the time-out: no verdict on the slave, the upload
        // starts again on a later pass.
        e.sub = 0;
    }
    return 0;
}

void CANOpenSDOClientTimeout() {
    if ((SDO_St.flags & SDO_F_CLIENT) && Now() - SDO_St.client_time >= SDO_St.client_timeout) {
        SDO_St.flags &= uint8_t(~SDO_F_CLIENT);
    }
}

void CANOpenSDOInit(const uint8_t *blk, uint32_t len) {
    const uint64_t owner = SDO_St.owner;
    SDO_St = SdoState{};
    SDO_St.owner = owner;
    uint8_t n = len > 0x21 ? blk[0x21] : 0;
    if (n & 0x80) n = 0;
    if (n > SDO_SERVERS - 1) n = SDO_SERVERS - 1;
    if (n == 0) return;
    SDO_St.rx_cob[0] = 0x600u + co.Node_id;
    SDO_St.tx_cob[0] = 0x580u + co.Node_id;
    SDO_St.count = 1;
    if (blk[1] < 1 || blk[1] > 127) return;  // built-in defaults: no list
    const uint32_t list = len >= 0x2C ? LE_Get32(blk + 0x28) : 0;
    for (uint32_t i = 1; i < n; i++) {
        const uint64_t off = uint64_t(list) + 12u * i;
        if (off + 12 > len) {
            co.status |= CO_ST_CFG;
            break;
        }
        SDO_St.rx_cob[i] = LE_Get32(blk + off) & 0x1FFFFFFF;
        SDO_St.tx_cob[i] = LE_Get32(blk + off + 4) & 0x1FFFFFFF;
        SDO_St.count = uint8_t(i + 1);
    }
}

// ---- received frames ------------------------------------------------------------------
namespace {

void ClientRx(const CanMsg &m) {
    if (m.len < 8) return;
    const uint8_t cmd = m.data[0] & 0xE0;
    // An answer about another object is not this transfer's (a late answer
    // to an earlier one): it is ignored and does not end the transfer.
    if (LE_Get16(m.data.data() + 1) != SDO_St.req_index || m.data[3] != SDO_St.req_sub) return;
    if (cmd == 0x80) {
        SDO_St.flags |= SDO_F_ABORTED;
        std::memcpy(SDO_St.cbuf.data(), m.data.data() + 4, 4);
        SDO_St.ccnt = 4;
    } else if (cmd == 0x40) {
        if ((m.data[0] & 0x02) == 0) {  // segmented answers are not served by this client
            SDO_St.flags |= SDO_F_ABORTED;
            LE_Put32(SDO_St.cbuf.data(), SDO_ABORT_GENERAL);
            SDO_St.ccnt = 4;
        } else {
            SDO_St.ccnt = uint8_t((m.data[0] & 1) ? 4 - ((m.data[0] >> 2) & 3) : 4);
            SDO_St.cbuf = {};
            std::memcpy(SDO_St.cbuf.data(), m.data.data() + 4, SDO_St.ccnt);
        }
    } else if (cmd != 0x60) {
        return;
    }
    SDO_St.flags = uint8_t((SDO_St.flags | SDO_F_DONE) & ~SDO_F_CLIENT);
    if (!(SDO_St.flags & SDO_F_USER) && co.master && co.count > 0) CANOpenBootStep();
}

void ServerRx(const CanMsg &m, uint8_t server) {
    SDO_St.active = server;
    if (co_blk.rx_on && co_blk.rx_server == server) {
        CANOpenBlockRx(m, server);  // a segment of the running block, never a command
        return;
    }
    if (m.len < 8) {
        co.status |= CO_ST_SDO_SHORT;
        return;
    }
    const uint8_t *d = m.data.data();
    const uint8_t cmd = d[0] & 0xE0;
    if (cmd == 0x20 || cmd == 0x40 || cmd == 0xA0 || cmd == 0xC0) {
        SDO_St.index = LE_Get16(d + 1);
        SDO_St.sub = d[3];
    }
    switch (cmd) {
    case 0x20: {
        if (!(d[0] & 0x02)) return;  // only expedited downloads are served
        SDO_St.flags &= uint8_t(~(SDO_F_UPLOAD | SDO_F_SEGUP));
        const unsigned n = (d[0] & 1) ? 4 - ((d[0] >> 2) & 3) : 4;
        std::memcpy(SDO_St.buf.data(), d + 4, 4);
        SDO_St.cnt = uint16_t(n);
        if (SDO_St.index == 0x5000) {
            CANOpenSSDOAbortTransfer(d, SDO_ABORT_ACCESS);
            return;
        }
        const uint32_t err = CANOpenODAccess();
        if (err)
            CANOpenSSDOAbortTransfer(d, err);
        else
            Frame(ServerTx(), 0x60, SDO_St.index, SDO_St.sub, nullptr, 0);
        return;
    }
    case 0x40: {
        SDO_St.flags = uint8_t((SDO_St.flags | SDO_F_UPLOAD) & ~SDO_F_SEGUP);
        SDO_St.cnt = 0;
        const uint32_t err = SDO_St.index == 0x5000 ? SDO_ABORT_ACCESS : CANOpenODAccess();
        if (err) {
            CANOpenSSDOAbortTransfer(d, err);
            return;
        }
        const uint16_t n = SDO_St.cnt;
        if (n <= 3) {
            Frame(ServerTx(), uint8_t(0x43 | ((4 - n) << 2)), SDO_St.index, SDO_St.sub, SDO_St.buf.data(), n);
        } else if (n == 4) {
            Frame(ServerTx(), 0x42, SDO_St.index, SDO_St.sub, SDO_St.buf.data(), 4);
        } else {
            const uint8_t size[4] = {uint8_t(n), 0, 0, 0};
            Frame(ServerTx(), 0x41, SDO_St.index, SDO_St.sub, size, 4);
            SDO_St.flags |= SDO_F_SEGUP;
            SDO_St.pos = 0;
        }
        return;
    }
    case 0x60: {
        uint8_t f[8] = {};
        if (SDO_St.flags & SDO_F_SEGUP) {
            const unsigned rem = SDO_St.cnt > SDO_St.pos ? SDO_St.cnt - SDO_St.pos : 0;
            const unsigned n = rem > 7 ? 7 : rem;
            f[0] = rem > 7 ? 0 : uint8_t(((7 - rem) << 1) | 1);
            std::memcpy(f + 1, SDO_St.buf.data() + SDO_St.pos, n);
            SDO_St.pos = uint16_t(SDO_St.pos + n);
            if (rem <= 7) SDO_St.flags &= uint8_t(~SDO_F_SEGUP);
        } else {
            f[0] = 0x0F;
        }
        CANOpenSend(ServerTx(), 8, f);
        return;
    }
    case 0xC0:
        if (SDO_St.index == 0x5000) {
            CANOpenBlockRx(m, server);
            return;
        }
        CANOpenSSDOAbortTransfer(d, (SDO_St.flags & SDO_F_CLIENT) ? SDO_ABORT_GENERAL : SDO_ABORT_ACCESS);
        return;
    case 0x80: SDO_St.flags &= uint8_t(~SDO_F_SEGUP); return;
    default: return;
    }
}

}  // namespace

uint32_t CANOpenSDORx(const CanMsg &m) {
    if (CANOpenBlockReplyRx(m)) return 1;
    if ((SDO_St.flags & SDO_F_CLIENT) && m.id == (SDO_St.client_listen & 0x1FFFFFFF)) {
        ClientRx(m);
        return 1;
    }
    for (uint8_t s = 0; s < SDO_St.count; s++) {
        // A server serves only with both COB-IDs valid: with its transmit
        // COB-ID not valid (bit 31, or not written yet) or of identifier 0
        // its answers would go out on the NMT identifier.
        const uint32_t rx = SDO_St.rx_cob[s], tx = SDO_St.tx_cob[s];
        if (((rx | tx) & 0x80000000u) || CANOpenCobZero(rx) || CANOpenCobZero(tx)) continue;
        if (m.id == (SDO_St.rx_cob[s] & 0x1FFFFFFF)) {
            ServerRx(m, s);
            return 1;
        }
    }
    return 0;
}
