// CANopen PDO exchange: receive and transmit PDOs, SYNC, and remapping over SDO.
#include <cstring>

#include "core/image/bytes.h"
#include "core/image/plcreg.h"
#include "core/image/timebase.h"
#include "io/copen.h"

std::array<TpdoRec, CO_PDOS> co_tpdo;
std::array<RpdoRec, CO_PDOS> co_rpdo;
uint16_t co_ntpdo, co_nrpdo;
std::array<MapEntry, 1024> Dynamic_St;
uint16_t DynMap_Indx;
std::array<uint32_t, CO_MAXPDO * CO_MAXOBJ> co_tmap, co_rmap;
std::array<uint32_t, CO_MAXPDO * CO_MAXOBJ> co_thandle, co_rhandle;
uint8_t co_iec_layout;
uint32_t co_iec_map_handle, co_iec_map_enable;

namespace {

uint32_t Now() { return FPGA_GetFrt(); }

constexpr uint32_t kRxErrBits = 0x1F0;   // bits 4..8
constexpr uint32_t kTxErrBits = 0x3E00;  // bits 9..13

uint32_t &MapRef(bool rx, uint32_t pdo, uint32_t i) {
    if (rx) {
        RpdoRec &r = co_rpdo[pdo];
        return (r.flags & RPDO_F_DYN) ? Dynamic_St[(r.first + i) % Dynamic_St.size()].map
                                      : co_rmap[(r.first + i) % co_rmap.size()];
    }
    TpdoRec &t = co_tpdo[pdo];
    return (t.flags & TPDO_F_DYN) ? Dynamic_St[(t.first + i) % Dynamic_St.size()].map
                                  : co_tmap[(t.first + i) % co_tmap.size()];
}

uint32_t ObjBits(uint32_t map) { return map & 0x3F; }

// IEC variable handle of mapping entry i of a PDO (0 = none).
uint32_t HandleOf(bool rx, uint32_t pdo, uint32_t i) {
    if (rx) {
        const RpdoRec &r = co_rpdo[pdo];
        return (r.flags & RPDO_F_DYN) ? Dynamic_St[(r.first + i) % Dynamic_St.size()].handle
                                      : co_rhandle[(r.first + i) % co_rhandle.size()];
    }
    const TpdoRec &t = co_tpdo[pdo];
    return (t.flags & TPDO_F_DYN) ? Dynamic_St[(t.first + i) % Dynamic_St.size()].handle
                                  : co_thandle[(t.first + i) % co_thandle.size()];
}

bool IsSync(uint8_t type) { return type <= 0xFC; }

void SendTpdo(uint32_t t, const uint8_t *data, uint32_t len, bool async) {
    TpdoRec &p = co_tpdo[t];
    if (!CANOpenSend(p.cobid & 0x1FFFFFFF, uint8_t(len), data)) return;
    if (async) {
        p.last_tx = Now();
        p.flags &= uint8_t(~TPDO_F_INH);
    }
}

// What a due TPDO changes once its frame is queued; a PDO that falls due
// while the transmit ring is full keeps its state, so that it is still due
// when the ring has room again (its last sent data, a pending remote
// request, its first transmission, its SYNC count, its event period, its
// trigger bit).
constexpr uint8_t DUE_SEND = 1, DUE_DATA = 2, DUE_RTR = 4, DUE_INIT = 8, DUE_SYNC = 16, DUE_EVENT = 32,
                  DUE_TRIGGER = 64;

// The fallback of every transmission rule: a pending remote request, else
// the initial transmission once; 0 when neither.
uint8_t Fallback(uint32_t t) {
    const TpdoRec &p = co_tpdo[t];
    if (!(p.cobid & 0x40000000u) && (p.flags & TPDO_F_RTR)) return DUE_SEND | DUE_RTR;
    if (!(p.flags & TPDO_F_INIT)) return DUE_SEND | DUE_INIT;
    return 0;
}

bool PdoCobBad(uint32_t cob) {
    if (cob & 0x80000000u) return false;
    if (cob & 0x20000000u) return false;
    const uint32_t id = cob & 0x1FFFFFFF;
    return id == 0 || id > 0x7FF;
}

// The offsets of one direction's tables stand in four u32 words of the block
// from at (at + 8 * k): the object counts (u8 a PDO), the COB-IDs (u32 a PDO),
// the 8-byte communication records, and the mapping entries (u32 each, all
// PDOs' in a row).
uint64_t PdoTable(const uint8_t *blk, uint32_t at, uint32_t k) { return LE_Get32(blk + at + 8 * k); }

// PDO n's object count and COB-ID, and the offset of its communication record
// into comm. false when the count or the record lies beyond the block; a
// COB-ID beyond it clears ok.
bool PdoHead(const uint8_t *blk, uint32_t len, uint32_t at, uint32_t n, uint8_t &count, uint32_t &cobid, uint64_t &comm,
             bool &ok, uint32_t stride = 8) {
    const uint64_t cnt_off = PdoTable(blk, at, 0) + n;
    if (cnt_off >= len) return false;
    count = blk[cnt_off];
    const uint64_t cob_off = PdoTable(blk, at, 1) + 4u * n;
    if (cob_off + 4 > len) {
        ok = false;
        cobid = 0;
    } else {
        cobid = LE_Get32(blk + cob_off);
    }
    comm = PdoTable(blk, at, 2) + uint64_t(stride) * n;
    return comm + stride <= len;
}

// Reads a PDO's count mapping entries, from entry first, into maps. false
// when ok was cleared before or the count, COB-ID or entries are out of
// range: the PDO is then not taken. An object wider than 32 bits or a
// mapping over 64 bits is no configuration error: the PDO reports it each
// time it runs (receive bits 6 and 7, transmit bits 12 and 11), and the
// rest of the node, SDO included, works on, so the mapping can be mended.
bool PdoMapping(const uint8_t *blk, uint32_t len, uint32_t at, uint32_t first, uint32_t count, uint32_t cobid,
                std::array<uint32_t, CO_MAXPDO * CO_MAXOBJ> &maps, std::array<uint32_t, CO_MAXPDO * CO_MAXOBJ> &handles,
                bool &ok) {
    if (count > CO_MAXOBJ || PdoCobBad(cobid)) ok = false;
    const uint32_t esize = co_iec_layout ? 8 : 4;  // with IEC bindings: the mapping word and a handle
    const uint64_t map = PdoTable(blk, at, 3) + uint64_t(esize) * first;
    if (!ok || first + count > maps.size() || map + uint64_t(esize) * count > len) {
        ok = false;
        return false;
    }
    for (uint32_t i = 0; i < count; i++) {
        maps[first + i] = LE_Get32(blk + map + esize * i);
        handles[first + i] = co_iec_layout ? LE_Get32(blk + map + esize * i + 4) : 0;
    }
    return true;
}

}  // namespace

void CANOpenPDOInit(const uint8_t *blk, uint32_t len) {
    co_tpdo = {};
    co_rpdo = {};
    co_ntpdo = co_nrpdo = 0;
    DynMap_Indx = 0;
    co_thandle = {};
    co_rhandle = {};
    // The layout is the block's own: a status register that is an IEC handle
    // marks a block with IEC bindings, whatever the state of the application.
    co_iec_layout = PlcReg_IsIecHandle(co.status_reg) ? 1 : 0;
    co_iec_map_handle = len >= 0x74 ? LE_Get32(blk + 0x6C) : 0;
    co_iec_map_enable = len >= 0x74 ? LE_Get32(blk + 0x70) & 1 : 0;
    bool ok = true;
    const uint32_t nt = len >= 0x34 ? LE_Get16(blk + 0x30) : 0;
    const uint32_t nr = len >= 0x34 ? LE_Get16(blk + 0x32) : 0;
    if (nt > CO_MAXPDO || nr > CO_MAXPDO) {
        co.status |= CO_ST_CFG;
        return;
    }
    if (nt == 0 && nr == 0) return;
    if (len < 0x54) {
        co.status |= CO_ST_CFG;
        return;
    }
    bool rtr_start = false;
    if (co.master) {
        const uint32_t list = LE_Get32(blk + 0x14);
        for (uint32_t i = 0; i < co.count; i++) {
            const uint64_t off = uint64_t(list) + uint64_t(CO_SLAVE_REC) * i;
            if (off + CO_SLAVE_REC <= len && (blk[off + 4] & 0x40)) rtr_start = true;
        }
    }
    const uint32_t now = Now();
    uint32_t first = 0;
    for (uint32_t t = 0; t < nt && ok; t++) {
        TpdoRec &p = co_tpdo[t];
        uint64_t comm = 0;
        if (!PdoHead(blk, len, 0x34, t, p.count, p.cobid, comm, ok, co_iec_layout ? 12 : 8)) {
            ok = false;
            break;
        }
        p.type = blk[comm];
        p.trigger = co_iec_layout ? LE_Get32(blk + comm + 8) : LE_Get32(blk + comm) >> 8;
        p.inhibit = LE_Get16(blk + comm + 4);
        p.event = uint32_t(LE_Get16(blk + comm + 6)) * 10;
        p.first = uint16_t(first);
        p.last_tx = p.ev_start = now;
        p.flags = rtr_start ? 0 : TPDO_F_INIT;
        if (!PdoMapping(blk, len, 0x34, first, p.count, p.cobid, co_tmap, co_thandle, ok)) break;
        first += p.count;
        co_ntpdo = uint16_t(t + 1);
    }
    first = 0;
    for (uint32_t r = 0; r < nr && ok; r++) {
        RpdoRec &p = co_rpdo[r];
        uint64_t comm = 0;
        if (!PdoHead(blk, len, 0x38, r, p.count, p.cobid, comm, ok)) {
            ok = false;
            break;
        }
        p.flags = blk[comm] < 0xFC ? RPDO_F_SYNC : 0;
        p.first = uint16_t(first);
        if (!PdoMapping(blk, len, 0x38, first, p.count, p.cobid, co_rmap, co_rhandle, ok)) break;
        first += p.count;
        co_nrpdo = uint16_t(r + 1);
    }
    if (!ok) co.status |= CO_ST_CFG;
}

uint32_t CANOpenIecMapHandle(uint32_t index, uint32_t sub, uint32_t *address) {
    // below 0xA584 or at sub-index 0 the offset would fall below the handle
    if (!co_iec_map_enable || index < 0xA584 || index > 0xA5A8 || sub == 0 || sub > 254 || co_iec_map_handle == 0)
        return 0;
    *address = co_iec_map_handle + (index - 0xA584) * 254 + (sub - 1);
    return 1;
}

uint32_t CANOpenObjTarget(uint32_t map, uint32_t handle, uint32_t *address, uint32_t *width) {
    const uint32_t index = map >> 16, sub = (map >> 8) & 0xFF;
    if (!co_iec_layout) return CANOpenGetODEntry(index, sub, address, width);
    if (!CANOpenIecOk()) return 0;  // handles wait for the application's variables
    if (index >= 0xA580 && index <= 0xA5A8 && co_iec_map_enable) {
        *width = 16;
        return CANOpenIecMapHandle(index, sub, address);
    }
    if (!PlcReg_IsIecHandle(handle)) return 0;
    *address = handle;
    *width = ObjBits(map) ? ObjBits(map) : 1;
    return 1;
}

uint32_t CANOpenIecObject(uint32_t index, uint32_t sub, uint32_t *address, uint32_t *width) {
    if (index >= 0xA580 && index <= 0xA5A8 && co_iec_map_enable) {
        *width = 16;
        return CANOpenIecOk() ? CANOpenIecMapHandle(index, sub, address) : 0;
    }
    for (uint32_t rx = 0; rx < 2; rx++) {
        const uint32_t n = rx ? co_nrpdo : co_ntpdo;
        for (uint32_t pdo = 0; pdo < n; pdo++) {
            const uint32_t count = rx ? co_rpdo[pdo].count : co_tpdo[pdo].count;
            for (uint32_t i = 0; i < count && i < CO_MAXOBJ; i++) {
                const uint32_t map = MapRef(rx, pdo, i);
                if ((map >> 16) == index && ((map >> 8) & 0xFF) == sub)
                    return CANOpenObjTarget(map, HandleOf(rx, pdo, i), address, width);
            }
        }
    }
    return 0;
}

void CANOpenRPDOExtract(uint32_t pdo, uint32_t count, uint32_t, const uint8_t *data, uint32_t len) {
    if (count == 0) {
        co.status |= CO_ST_RPDO_EMPTY;
        co.pdo_err = pdo + 1;
        return;
    }
    uint32_t pos = 0;
    bool clean = true;
    for (uint32_t i = 0; i < count && i < CO_MAXOBJ; i++) {
        const uint32_t map = MapRef(true, pdo, i);
        const uint32_t bits = ObjBits(map);
        uint32_t addr = 0, width = 0;
        if (!CANOpenObjTarget(map, HandleOf(true, pdo, i), &addr, &width)) {
            co.status |= CO_ST_RPDO_OBJ;
            co.pdo_err = pdo + 1;
            clean = false;
            pos += bits;
            continue;
        }
        if (pos + bits > len * 8) {
            co.status |= CO_ST_RPDO_SHORT;
            co.pdo_err = pdo + 1;
            return;
        }
        if (bits > 32) {  // no object is wider: none to write
            co.status |= CO_ST_RPDO_OBJ;
            co.pdo_err = pdo + 1;
            clean = false;
            pos += bits;
            continue;
        }
        const uint32_t v = CANOpenGetMsgData(data, pos, bits);
        if (!CANOpenSetData(v, map >> 16, width, addr)) {
            co.status |= CO_ST_RPDO_SET;
            co.pdo_err = pdo + 1;
            clean = false;
        }
        pos += bits;
    }
    if (clean && co.pdo_err == pdo + 1) co.status &= ~kRxErrBits;
}

uint32_t CANOpenRPDORx(const CanMsg &m) {
    for (uint32_t r = 0; r < co_nrpdo; r++) {
        RpdoRec &p = co_rpdo[r];
        if ((p.cobid & 0x80000000u) || (p.cobid & 0x1FFFFFFF) != m.id) continue;
        if (m.len == 0) {
            co.status |= CO_ST_RPDO_SHORT;
            co.pdo_err = r + 1;
            return 1;
        }
        p.flags = uint8_t((p.flags & 0x07) | ((m.len & 0x0F) << 3));
        if (p.flags & RPDO_F_SYNC) {
            p.data = {};
            std::memcpy(p.data.data(), m.data.data(), m.len);
            p.flags |= RPDO_F_NEW;
        } else {
            uint8_t d[8] = {};
            std::memcpy(d, m.data.data(), m.len);
            CANOpenRPDOExtract(r, p.count, p.first, d, m.len);
        }
        return 1;
    }
    return 0;
}

uint32_t CANOpenTPDOCompose(uint32_t pdo, uint8_t *data) {
    const TpdoRec &p = co_tpdo[pdo];
    std::memset(data, 0, 8);
    if (p.count == 0) {
        co.status |= CO_ST_TPDO_EMPTY;
        co.pdo_err = pdo + 1;
        return 0;
    }
    uint32_t pos = 0;
    for (uint32_t i = 0; i < p.count && i < CO_MAXOBJ; i++) {
        const uint32_t map = MapRef(false, pdo, i);
        const uint32_t bits = ObjBits(map);
        uint32_t addr = 0, width = 0, v = 0;
        if (!CANOpenObjTarget(map, HandleOf(false, pdo, i), &addr, &width)) {
            co.status |= CO_ST_TPDO_OBJ;
            co.pdo_err = pdo + 1;
            return 0;
        }
        if (!CANOpenGetData(&v, map >> 16, width, addr)) {
            co.status |= CO_ST_TPDO_GET;
            co.pdo_err = pdo + 1;
            return 0;
        }
        if (pos + bits > 64) {
            co.status |= CO_ST_TPDO_LONG;
            co.pdo_err = pdo + 1;
            return 0;
        }
        if (bits > 32) {  // no object is wider
            co.status |= CO_ST_TPDO_OBJ;
            co.pdo_err = pdo + 1;
            return 0;
        }
        for (uint32_t b = 0; b < bits; b++, pos++) {
            if ((v >> b) & 1) data[pos / 8] = uint8_t(data[pos / 8] | (1u << (pos % 8)));
        }
    }
    if (co.pdo_err == pdo + 1) co.status &= ~kTxErrBits;
    return (pos + 7) / 8;
}

void CANOpenSyncHdl(uint32_t mode) {
    if (co.sync_produce && !co.sync_period_el) return;
    for (uint32_t t = 0; t < co_ntpdo; t++) {
        TpdoRec &p = co_tpdo[t];
        if (p.type != 0 && p.type < 0xFC && p.sync_cnt < 0xFF) p.sync_cnt++;
    }
    co.sync_last = Now();
    co.sync_period_el = 0;
    co.sync_window_el = 0;
    if (mode == 1 && !CANOpenSend(co.sync_cobid & 0x1FFFFFFF, 0, nullptr)) return;
    if (co.NMT_State != NMT_OPER) return;
    for (uint32_t r = 0; r < co_nrpdo; r++) {
        RpdoRec &p = co_rpdo[r];
        if ((p.flags & RPDO_F_SYNC) && (p.flags & RPDO_F_NEW)) {
            p.flags &= uint8_t(~RPDO_F_NEW);
            CANOpenRPDOExtract(r, p.count, p.first, p.data.data(), (p.flags >> 3) & 0x0F);
        }
    }
}

uint32_t CANOpenTPDORemote(uint32_t id) {
    for (uint32_t t = 0; t < co_ntpdo; t++) {
        TpdoRec &p = co_tpdo[t];
        if ((p.cobid & 0x1FFFFFFF) == id && !(p.cobid & 0x40000000u)) {
            p.flags |= TPDO_F_RTR;
            return 1;
        }
    }
    return 0;
}

namespace {

// Composes TPDO t into d (its length into n) and tells whether it is due
// because its data differ from the data last sent; else the fallback rule
// decides.
uint8_t DueOnChange(uint32_t t, uint8_t *d, uint32_t &n) {
    const TpdoRec &p = co_tpdo[t];
    n = CANOpenTPDOCompose(t, d);
    if (n > 0 && std::memcmp(d, p.last.data(), 8) != 0) return DUE_SEND | DUE_DATA;
    return Fallback(t);
}

// Applies the changes of a TPDO that was sent (or that had nothing to send:
// its compose failed and set the status).
void Settle(uint32_t t, uint8_t due, const uint8_t *d, uint32_t n) {
    TpdoRec &p = co_tpdo[t];
    if ((due & DUE_DATA) && n > 0) std::memcpy(p.last.data(), d, 8);
    if (due & DUE_RTR) p.flags &= uint8_t(~TPDO_F_RTR);
    if (due & DUE_INIT) p.flags |= TPDO_F_INIT;
    if (due & DUE_SYNC) p.sync_cnt = 0;
    if (due & DUE_EVENT) {
        p.flags &= uint8_t(~TPDO_F_EVT);
        p.ev_start = Now();
    }
    if (due & DUE_TRIGGER) CANOpenSetData(0, 0xA480, 1, p.trigger);
}

// Sends TPDO t when it is due, composing its data unless n bytes of it are
// in d already. false when the transmit queue is full (status set): the PDO
// then stays as it was.
bool SendDue(uint8_t due, uint32_t t, uint8_t *d, uint32_t n, bool async) {
    if (!(due & DUE_SEND)) return true;
    if (n == 0) n = CANOpenTPDOCompose(t, d);
    if (n > 0) {
        if (_Can_NextTx(0) == nullptr) {
            co.status |= CO_ST_TXFULL;
            return false;
        }
        SendTpdo(t, d, n, async);
    }
    Settle(t, due, d, n);
    return true;
}

}  // namespace

void CANOpenTPDOTx() {
    uint8_t d[8];
    // synchronous list
    CANOpenTimer(1, 0);
    if (co.sync_on && !co.sync_window_el) {
        for (uint32_t t = 0; t < co_ntpdo; t++) {
            const TpdoRec &p = co_tpdo[t];
            if ((p.cobid & 0x80000000u) || !IsSync(p.type)) continue;
            uint8_t due = 0;
            uint32_t n = 0;
            if (p.type == 0)
                due = DueOnChange(t, d, n);
            else if (p.type <= 0xFB && p.sync_cnt >= p.type)
                due = DUE_SEND | DUE_SYNC;
            else
                due = Fallback(t);
            if (!SendDue(due, t, d, n, false)) break;
        }
    }
    // asynchronous list
    for (uint32_t t = 0; t < co_ntpdo; t++) {
        const TpdoRec &p = co_tpdo[t];
        if ((p.cobid & 0x80000000u) || IsSync(p.type)) continue;
        CANOpenTimer(2, t);
        if (!(p.flags & TPDO_F_INH) && p.inhibit != 0) continue;
        uint8_t due = 0;
        uint32_t n = 0;
        CANOpenTimer(3, t);
        if ((p.type == 0xFE || p.type == 0xFF) && (p.flags & TPDO_F_EVT)) {
            due = DUE_SEND | DUE_EVENT | (p.type == 0xFE ? DUE_DATA : 0);
        } else if (p.type == 0xFE) {
            due = DueOnChange(t, d, n);
        } else if (p.type == 0xFF) {
            uint32_t bit = 0;
            if (CANOpenGetData(&bit, 0xA000, 1, p.trigger) && bit)
                due = DUE_SEND | DUE_TRIGGER;
            else
                due = Fallback(t);
        } else {
            due = Fallback(t);
        }
        if (!SendDue(due, t, d, n, true)) return;
    }
}

// ---- remapping and communication objects over SDO ----------------------------------------------
namespace {
// Sub-index 1 of a communication object, the COB-ID: read, or written with
// v unless its identifier is 0.
uint32_t CobEntry(uint32_t &cobid, uint32_t write, uint32_t v, uint8_t *buf, uint16_t *cnt) {
    if (!write) {
        CANOpenObjPut(buf, cnt, cobid, 4);
        return 0;
    }
    if (const uint32_t e = CANOpenObjLen(*cnt, 4)) return e;
    if (CANOpenCobZero(v)) return SDO_ABORT_PARAM;
    cobid = v;
    return 0;
}

bool MappingOk(bool rx, uint32_t pdo, uint32_t n) {
    if (n > CO_MAXOBJ) return false;
    uint32_t bits = 0;
    for (uint32_t i = 0; i < n; i++) bits += ObjBits(MapRef(rx, pdo, i));
    return bits >= 1 && bits <= 64;
}

// Gives a PDO on its configured mapping a block of 64 dynamic entries.
bool MakeDynamic(bool rx, uint32_t pdo) {
    uint8_t &flags = rx ? co_rpdo[pdo].flags : co_tpdo[pdo].flags;
    const uint8_t dyn = rx ? RPDO_F_DYN : TPDO_F_DYN;
    if (flags & dyn) return true;
    if (DynMap_Indx + CO_MAXOBJ > Dynamic_St.size()) return false;
    const uint32_t count = rx ? co_rpdo[pdo].count : co_tpdo[pdo].count;
    for (uint32_t i = 0; i < CO_MAXOBJ; i++) {
        Dynamic_St[DynMap_Indx + i] =
            MapEntry{i < count ? MapRef(rx, pdo, i) : 0, i < count ? HandleOf(rx, pdo, i) : 0};
    }
    (rx ? co_rpdo[pdo].first : co_tpdo[pdo].first) = DynMap_Indx;
    flags |= dyn;
    DynMap_Indx = uint16_t(DynMap_Indx + CO_MAXOBJ);
    return true;
}
}  // namespace

uint32_t CANOpenMapPDO(uint32_t entry, uint32_t pdo, uint32_t count, uint32_t rx) {
    if (!MakeDynamic(rx != 0, pdo)) return SDO_ABORT_MAP;
    if (entry >= 1 && entry <= CO_MAXOBJ) MapRef(rx != 0, pdo, entry - 1) = count;
    return 0;
}

uint32_t CANOpenPDOAccess(uint16_t index, uint8_t sub, uint32_t write, uint8_t *buf, uint16_t *cnt) {
    const bool rx = index < 0x1800;
    const bool mapping = (index >= 0x1600 && index <= 0x17FF) || index >= 0x1A00;
    const uint32_t pdo = index & 0x1FF;
    uint16_t &npdo = rx ? co_nrpdo : co_ntpdo;
    const uint32_t v = CANOpenObjGet(buf, *cnt);
    if (mapping) {
        if (pdo >= npdo) return SDO_ABORT_ACCESS;
        uint8_t &count = rx ? co_rpdo[pdo].count : co_tpdo[pdo].count;
        if (sub == 0) {
            if (!write) {
                CANOpenObjPut(buf, cnt, count, 1);
                return 0;
            }
            if (const uint32_t e = CANOpenObjLen(*cnt, 1)) return e;
            if (v == 0) {
                // The block that the new mapping will need is taken here, at
                // the remapping's first write: with none left the remapping is
                // refused at once and the PDO keeps its mapping whole, rather
                // than being left unmapped by entry writes that must fail.
                if (!MakeDynamic(rx, pdo)) return SDO_ABORT_MAP;
                count = 0;
                return 0;
            }
            if (!MakeDynamic(rx, pdo) || !MappingOk(rx, pdo, v)) return SDO_ABORT_MAP;
            count = uint8_t(v);
            return 0;
        }
        if (sub > CO_MAXOBJ) return SDO_ABORT_SUB;
        if (!write) {
            const bool dyn = rx ? (co_rpdo[pdo].flags & RPDO_F_DYN) : (co_tpdo[pdo].flags & TPDO_F_DYN);
            CANOpenObjPut(buf, cnt, (dyn || sub <= count) ? MapRef(rx, pdo, sub - 1u) : 0, 4);
            return 0;
        }
        if (const uint32_t e = CANOpenObjLen(*cnt, 4)) return e;
        if (const uint32_t e = CANOpenMapPDO(sub, pdo, v, rx)) return e;
        if (count != 0 && !MappingOk(rx, pdo, count)) return SDO_ABORT_MAP;
        return 0;
    }
    // communication objects
    if (pdo > npdo || pdo >= CO_MAXPDO || (pdo == npdo && !write)) return SDO_ABORT_ACCESS;
    const bool added = pdo == npdo;
    if (added) {
        if (rx)
            co_rpdo[pdo] = RpdoRec{0x80000000u, {}, uint16_t(DynMap_Indx), 0, 0};
        else
            co_tpdo[pdo] =
                TpdoRec{0x80000000u, Now(), Now(), 0, 0, {}, 0xFE, 0, uint16_t(DynMap_Indx), 0, TPDO_F_INIT, 0};
        npdo++;
    }
    uint32_t err = 0;
    if (rx) {
        RpdoRec &p = co_rpdo[pdo];
        switch (sub) {
        case 0: err = write ? SDO_ABORT_RO : (CANOpenObjPut(buf, cnt, 2, 1), 0u); break;
        case 1: err = CobEntry(p.cobid, write, v, buf, cnt); break;
        case 2:
            if (!write)
                CANOpenObjPut(buf, cnt, (p.flags & RPDO_F_SYNC) ? 0 : 0xFE, 1);
            else if (!(err = CANOpenObjLen(*cnt, 1)))
                p.flags = uint8_t(v >= 0xFC ? (p.flags & ~RPDO_F_SYNC) : (p.flags | RPDO_F_SYNC));
            break;
        default: err = SDO_ABORT_SUB; break;
        }
    } else {
        TpdoRec &p = co_tpdo[pdo];
        switch (sub) {
        case 0: err = write ? SDO_ABORT_RO : (CANOpenObjPut(buf, cnt, 5, 1), 0u); break;
        case 1: err = CobEntry(p.cobid, write, v, buf, cnt); break;
        case 2:
            if (!write)
                CANOpenObjPut(buf, cnt, p.type, 1);
            else if (!(err = CANOpenObjLen(*cnt, 1))) {
                p.type = uint8_t(v);
                p.sync_cnt = 0;
            }
            break;
        case 3:
            if (!write)
                CANOpenObjPut(buf, cnt, p.inhibit, 2);
            else if (!(err = CANOpenObjLen(*cnt, 2)))
                p.inhibit = v;
            break;
        case 4: err = write ? SDO_ABORT_RO : (CANOpenObjPut(buf, cnt, 0, 1), 0u); break;
        case 5:
            if (!write)
                CANOpenObjPut(buf, cnt, p.event / 10, 2);
            else if (!(err = CANOpenObjLen(*cnt, 2))) {
                p.event = v * 10;
                p.ev_start = Now();
            }
            break;
        default: err = SDO_ABORT_SUB; break;
        }
    }
    if (err && added) npdo--;
    return err;
}
