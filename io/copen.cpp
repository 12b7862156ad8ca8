// CANopen node: configuration and defaults, start, the two per-scan passes,
// NMT, heartbeat, node guarding, SYNC, TIME, EMCY, the master's boot-up of
// slaves and the status words.
#include "io/copen.h"

#include <cstring>

#include "core/image/bytes.h"
#include "core/image/syshook.h"
#include "core/storage/memfile.h"
#include "core/image/plcreg.h"
#include "core/image/rtc.h"
#include "core/image/timebase.h"
#include "core/storage/memfile.h"

CoNode co;
std::array<CoNodeEntry, CO_NODES> co_nodes;
uint32_t (*CANOpen_NetDataRx)(const CanMsg &msg);
EmcyRec Emcy_RecMsg;
uint8_t NodeId_Flag;
uint8_t NetStatsClear;
uint8_t CANOpen_dwnld;

namespace {

// The start record of the last start, for the node's own restarts.
NetInitRec NetInit;

// Built-in configuration used when the block's node id is out of range.
constexpr std::array<uint8_t, 0x74> MakeDefaults() {
    std::array<uint8_t, 0x74> d{};
    auto put32 = [&d](unsigned off, uint32_t v) {
        for (unsigned i = 0; i < 4; i++) d[off + i] = uint8_t(v >> (8 * i));
    };
    d[0x00] = 0;        // 125 kbit/s
    d[0x01] = 128;      // out of range: the node id of word 156 is used
    put32(0x04, 0x80);  // SYNC consumed
    put32(0x08, 50000);
    put32(0x0C, 30000);
    put32(0x18, 0x800000FF);  // no EMCY
    d[0x21] = 1;              // one server SDO
    d[0x23] = 4;              // slave, stays pre-operational
    put32(0x68, 0x100);       // TIME disabled
    return d;
}
constexpr std::array<uint8_t, 0x74> CANOpenDef_St = MakeDefaults();

const uint8_t *blk = CANOpenDef_St.data();
uint32_t blk_len = CANOpenDef_St.size();
bool blk_bad;

uint8_t Rd8(uint32_t off) {
    if (off >= blk_len) {
        blk_bad = true;
        return 0;
    }
    return blk[off];
}
uint16_t Rd16(uint32_t off) {
    if (uint64_t(off) + 2 > blk_len) {
        blk_bad = true;
        return 0;
    }
    return LE_Get16(blk + off);
}
uint32_t Rd32(uint32_t off) {
    if (uint64_t(off) + 4 > blk_len) {
        blk_bad = true;
        return 0;
    }
    return LE_Get32(blk + off);
}
bool Has(uint64_t off, uint64_t n) { return off + n <= blk_len; }

uint32_t Now() { return FPGA_GetFrt(); }
bool Elapsed(uint32_t since, uint32_t ticks) { return Now() - since >= ticks; }
bool Running() { return co.NMT_State == NMT_OPER || co.NMT_State == NMT_PREOP; }

bool CobBad(uint32_t cob) {
    if (cob & 0x20000000u) return false;
    const uint32_t id = cob & 0x7FF;
    return id == 0 || (cob & 0x1FFFF800u) != 0;
}

// ---- status words -------------------------------------------------------------------
void WriteStatus() {
    if (co.status_reg == 0) return;  // no status register configured
    const uint32_t word = (co.status & 0x00FFFFFFu) | (uint32_t(co.NMT_State) << 24);
    // at a handle the PDO word is the variable two further on
    const uint32_t pdo_at = PlcReg_IsIecHandle(co.status_reg) ? co.status_reg + 2 : co.status_reg + 32;
    if (!CANOpenSetData(word, 0xA480, 32, co.status_reg) || !CANOpenSetData(co.pdo_err, 0xA480, 32, pdo_at)) {
        co.status |= CO_ST_REGWRITE;
    }
}

void WriteSlaveStatus(unsigned i) {
    if (co.status_reg == 0 || i >= co.count) return;
    const uint32_t v = uint32_t(co_nodes[i].id) << 8 | co_nodes[i].err;
    const uint32_t at = PlcReg_IsIecHandle(co.status_reg) ? co.status_reg + 4 + i : co.status_reg + 16 * (4 + i);
    if (!CANOpenSetData(v, 0xA480, 16, at)) co.status |= CO_ST_REGWRITE;
}

// ---- TIME ---------------------------------------------------------------------------
constexpr uint16_t kCumDays[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

uint16_t DayNumber(uint32_t year, uint32_t month, uint32_t day) {
    const uint32_t years = (year + 64) % 256;
    uint32_t n = years * 365 + years / 4 + day + kCumDays[(month - 1) % 12];
    const bool leap = years % 4 == 0;
    if (!leap || month >= 3) n += 1;  // the leap day of this year, or of the last leap year
    return uint16_t(n);
}

void TimeRx(const CanMsg &m) {
    if (m.len < 6) return;
    const uint32_t ms = LE_Get32(m.data.data()) & 0x0FFFFFFF;
    const uint16_t day = LE_Get16(m.data.data() + 4);
    const uint32_t now_ms =
        (uint32_t(PlcWord(W_CLOCK + 2)) * 3600 + PlcWord(W_CLOCK + 1) * 60u + PlcWord(W_CLOCK)) * 1000u;
    if (ms == now_ms && co.time_day_valid && day == co.time_day) return;
    co.time_day = day;
    co.time_day_valid = 1;
    if (day == 0 || ms >= 86400000u) return;
    // Day 1 is 1 January 1984; every fourth year from 1984 is a leap year.
    uint32_t rest = day - 1u;
    uint32_t year = 1984;
    for (;;) {
        const uint32_t len = (year % 4 == 0) ? 366 : 365;
        if (rest < len) break;
        rest -= len;
        year++;
    }
    const bool leap = year % 4 == 0;
    uint32_t month = 12;
    while (month > 1) {
        const uint32_t start = kCumDays[month - 1] + ((leap && month >= 3) ? 1 : 0);
        if (rest >= start) break;
        month--;
    }
    const uint32_t mday = rest - (kCumDays[month - 1] + ((leap && month >= 3) ? 1 : 0)) + 1;
    const uint32_t secs = ms / 1000;
    uint16_t rec[7];
    rec[0] = uint16_t(secs % 60);
    rec[1] = uint16_t(secs / 60 % 60);
    rec[2] = uint16_t(secs / 3600);
    rec[3] = uint16_t(mday);
    rec[4] = uint16_t(month);
    rec[5] = uint16_t(year);
    rec[6] = uint16_t(DayOfWeek(year, month, mday) + 1);
    Rtc_ImagePut(rec);
    RtcSet(rec);
}

void TimeTx() {
    const uint32_t ms = (uint32_t(PlcWord(W_CLOCK + 2)) * 3600 + PlcWord(W_CLOCK + 1) * 60u + PlcWord(W_CLOCK)) * 1000u;
    if (co.time_sent_valid && ms == co.time_ms_sent) return;
    uint8_t d[6];
    LE_Put32(d, ms);
    const uint16_t month = PlcWord(W_CLOCK + 4);
    LE_Put16(d + 4, DayNumber(PlcWord(W_CLOCK + 5), month >= 1 && month <= 12 ? month : 1, PlcWord(W_CLOCK + 3)));
    if (CANOpenSend(co.time_cobid & 0x1FFFFFFF, 6, d)) {
        co.time_ms_sent = ms;
        co.time_sent_valid = 1;
    }
}

// ---- EMCY ---------------------------------------------------------------------------
void EmcyTx() {
    const uint32_t masked = co.status & CO_EMCY_MASK;
    if (masked == co.emcy_sent) return;
    if (!Elapsed(co.emcy_last, co.emcy_inhibit)) return;
    const bool raised = (masked & ~co.emcy_sent) != 0;
    uint8_t d[8] = {};
    LE_Put16(d, raised ? 0x1000 : 0);
    d[2] = raised ? 1 : 0;
    LE_Put32(d + 3, masked);
    if (CANOpenSend(co.emcy_cobid & 0x1FFFFFFF, 8, d)) {
        co.emcy_sent = masked;
        co.emcy_last = Now();
    }
}

// ---- SYNC ---------------------------------------------------------------------------
void SyncService() {
    if (!co.sync_on) return;
    CANOpenTimer(1, 0);
    if (co.sync_on && co.sync_produce && co.sync_period_el && Running()) CANOpenSyncHdl(1);
}

// ---- heartbeats and guard answers received ---------------------------------------------
CoNodeEntry *Entry(uint8_t id) {
    for (CoNodeEntry &e : co_nodes) {
        if ((e.flags & CO_NF_ENTRY) && e.id == id) return &e;
    }
    return nullptr;
}

void HeartbeatRx(const CanMsg &m) {
    if (m.len < 1) return;
    CoNodeEntry *e = Entry(uint8_t(m.id - 0x700));
    if (e == nullptr) return;
    const uint8_t state = m.data[0] & 0x7F;
    const uint8_t before = e->state;
    e->state = state;
    e->t = Now();
    if (co.hbcons) {
        if (e->err == 11) e->err = 0;
        // Bit 18 goes only when no consumed node is still silent: a lost
        // node keeps its error 11 and is not checked again, so clearing the
        // bit on another node's heartbeat would hide it for good.
        bool lost = false;
        for (const CoNodeEntry &o : co_nodes) lost = lost || ((o.flags & CO_NF_ENTRY) && o.err == 11);
        if (!lost) co.status &= ~CO_ST_HBLOST;
    } else if (co.master) {
        if (e->err == 6) e->err = 0;
        e->retry = 0;
        e->flags = uint8_t((e->flags | CO_NF_GUARDANS) & ~CO_NF_GUARDREQ);
    } else {
        return;
    }
    // A started slave changed its state by itself: no NMT command went to it
    // since its last report. The state must also differ from the one it
    // reported last, so that a slave that an NMT command put in another
    // state than the master's, or that the master does not start, is not
    // taken for one that changed by itself on each later report.
    const bool commanded = e->flags & CO_NF_NMTSENT;
    e->flags &= uint8_t(~CO_NF_NMTSENT);
    if (state != 0 && state != co.NMT_State && state != before && !commanded && e->err != 12 && e->step > 16)
        e->err = 0xFD;
}

void Supervise() {
    // Heartbeat consumers, or a master's slaves (its first count entries),
    // are all there is to supervise.
    if (!co.hbcons && !co.master) return;
    const unsigned n = co.master ? co.count : CO_NODES;
    const uint32_t now = Now();
    for (unsigned i = 0; i < n; i++) {
        CoNodeEntry &e = co_nodes[i];
        if (!(e.flags & CO_NF_ENTRY) || e.time_ms == 0) continue;
        if (co.master && e.step != CO_BOOT_RUNNING) continue;  // booting or skipped: not supervised
        if (co.hbcons) {
            if (e.err != 11 && now - e.t >= uint32_t(e.time_ms) * 10) {
                e.err = 11;
                e.state = 0xFE;
                co.status |= CO_ST_HBLOST;
            }
        } else if (co.master && e.step == CO_BOOT_RUNNING) {
            if (now - e.t < uint32_t(e.time_ms) * 10) continue;
            const bool unanswered = (e.flags & CO_NF_GUARDREQ) && !(e.flags & CO_NF_GUARDANS);
            // A request the full ring did not take was never sent: it goes on
            // a later pass and is not counted against the retry factor, else
            // each pass of a full ring would count one more.
            if (!CANOpenNGSend(i)) continue;
            if (unanswered) {
                const uint64_t off = uint64_t(Rd32(0x14)) + uint64_t(CO_SLAVE_REC) * i;
                const uint8_t factor = Has(off, CO_SLAVE_REC) ? blk[off + 1] : 0;
                if (++e.retry > factor) {
                    e.err = 6;
                    e.state = 0xFE;
                }
            }
        }
    }
}

void NmtRx(const CanMsg &m) {
    if (m.len < 2) {
        co.status |= CO_ST_NMT_SHORT;
        return;
    }
    if (m.data[1] != 0 && m.data[1] != co.Node_id) return;
    switch (m.data[0]) {
    case 1: co.NMT_State = NMT_OPER; break;
    case 2: co.NMT_State = NMT_STOPPED; break;
    case 0x80: co.NMT_State = NMT_PREOP; break;
    case 0x81: SysHook_WarmReset(); break;
    case 0x82:
        co.NMT_State = NMT_INIT;
        CANOpenInit(&NetInit);
        break;
    default: break;
    }
}

void EmcyRx(const CanMsg &m) {
    if (!(Emcy_RecMsg.flags & 1)) return;
    const uint16_t node = uint16_t(m.id - 0x80);
    if (Emcy_RecMsg.node != 0 && Emcy_RecMsg.node != node) return;
    Emcy_RecMsg.data = {};
    for (unsigned i = 0; i < m.len && i < 8; i++) Emcy_RecMsg.data[i] = m.data[i];
    Emcy_RecMsg.node = node;
    Emcy_RecMsg.flags = 2;
}

// The COB-ID the master watches for a running slave (flag bit 7).
bool WatchedRx(const CanMsg &m) {
    if (!co.master) return false;
    for (unsigned i = 0; i < co.count; i++) {
        const uint32_t off = Rd32(0x14) + CO_SLAVE_REC * i;
        if (!Has(off, CO_SLAVE_REC) || !(blk[off + 4] & 0x80) || co_nodes[i].step != CO_BOOT_RUNNING) continue;
        if ((LE_Get32(blk + off + 44) & 0x1FFFFFFF) == m.id) {
            co_nodes[i].err = 0xFE;
            return true;
        }
    }
    return false;
}

void Dispatch(const CanMsg &m) {
    if (CANOpen_NetDataRx != nullptr && CANOpen_NetDataRx(m)) return;
    if (m.id == 0 && !m.rtr) {
        NmtRx(m);
        return;
    }
    if (m.rtr) {
        if (m.id == 0x700u + co.Node_id && co.guarded) {
            co.guard_req = 1;
            co.guard_last = Now();
        } else if (co.NMT_State == NMT_OPER) {
            CANOpenTPDORemote(m.id);
        }
        return;
    }
    if (m.id >= 0x701 && m.id <= 0x77F) {
        HeartbeatRx(m);
        return;
    }
    if (co.sync_on && m.id == (co.sync_cobid & 0x1FFFFFFF) && !co.sync_produce) {
        CANOpenSyncHdl(0);
        return;
    }
    if (co.time_consume && m.id == (co.time_cobid & 0x1FFFFFFF) && Running()) {
        TimeRx(m);
        return;
    }
    if (!Running()) return;
    if (co.NMT_State == NMT_OPER && CANOpenRPDORx(m)) return;
    if (WatchedRx(m)) return;
    if (m.id >= 0x81 && m.id <= 0xFF && (Emcy_RecMsg.flags & 1)) {
        EmcyRx(m);
        return;
    }
    CANOpenSDORx(m);
}

}  // namespace

const uint8_t *CANOpenBlock(uint32_t *len) {
    *len = blk_len;
    return blk;
}

uint32_t CANOpenSend(uint32_t id, uint8_t len, const uint8_t *data, uint8_t rtr) {
    CanMsg *m = _Can_NextTx(0);
    if (m == nullptr) {
        co.status |= CO_ST_TXFULL;
        return 0;
    }
    m->id = id;
    m->len = len > 8 ? 8 : len;
    m->rtr = rtr;
    m->data = {};
    if (data != nullptr) std::memcpy(m->data.data(), data, m->len);
    _Can_PutTx(0, m);
    return 1;
}

uint32_t CANOpenNMTSend(uint8_t node, uint8_t command) {
    const uint8_t d[2] = {command, node};
    if (!CANOpenSend(0, 2, d)) return 0;
    for (CoNodeEntry &e : co_nodes) {
        if ((e.flags & CO_NF_ENTRY) && (node == 0 || e.id == node)) e.flags |= CO_NF_NMTSENT;
    }
    return 1;
}

uint32_t CANOpenHBProd() {
    const uint8_t d = co.NMT_State;
    return CANOpenSend(0x700u + co.Node_id, 1, &d);
}

uint32_t CANOpenNGSend(uint32_t entry) {
    if (entry >= CO_NODES) return 0;
    CoNodeEntry &e = co_nodes[entry];
    if (!CANOpenSend(0x700u + e.id, 1, nullptr, 1)) return 0;
    e.t = Now();
    e.flags = uint8_t((e.flags | CO_NF_GUARDREQ) & ~CO_NF_GUARDANS);
    return 1;
}

void CANOpenTimer(uint32_t kind, uint32_t index) {
    const uint32_t now = Now();
    switch (kind) {
    case 1:
        if (co.sync_on) {
            co.sync_period_el = now - co.sync_last >= co.sync_period ? 1 : 0;
            co.sync_window_el = co.sync_window != 0 && now - co.sync_last >= co.sync_window ? 1 : 0;
        }
        break;
    case 2:
        if (index < CO_PDOS && now - co_tpdo[index].last_tx >= co_tpdo[index].inhibit)
            co_tpdo[index].flags |= TPDO_F_INH;
        break;
    case 3:
        if (index < CO_PDOS && co_tpdo[index].event != 0 && now - co_tpdo[index].ev_start >= co_tpdo[index].event) {
            co_tpdo[index].flags |= TPDO_F_EVT;
        }
        break;
    case 5: co.emcy_inhibit_el = now - co.emcy_last >= co.emcy_inhibit ? 1 : 0; break;
    case 6: co.life_elapsed = co.guarded && now - co.guard_last >= co.life_ticks ? 1 : 0; break;
    case 7: CANOpenSDOClientTimeout(); break;
    default: break;
    }
}

// ---- register access ---------------------------------------------------------------------
namespace {
bool InWindow(uint32_t a, uint32_t bits) {
    const uint64_t end = uint64_t(a) + bits;
    if (a >= REG_LIN_FIRST && end <= REG_LIN_END) return true;
    if (a >= REG_ET_FIRST && end <= REG_ET_END) return true;
    if (a >= REG_EM_FIRST && end <= REG_EM_END) return true;
    return a >= REG_ESR_FIRST && end <= REG_ESR_END;
}
bool IecOk() { return DrevanoRuntime && drevano_variables_enumerateded; }
}  // namespace

bool CANOpenIecOk() { return IecOk(); }

uint32_t CANOpenGetData(uint32_t *value, uint32_t index, uint32_t bits, uint32_t address) {
    if (bits == 0 || bits > 32) return 0;
    uint8_t b[4] = {};
    if (PlcReg_IsIecHandle(address)) {
        if (!IecOk() || !PlcReg_Get(b, address, bits)) return 0;
        *value = bits == 1 ? b[0] & 1u : LE_Get32(b) & (bits == 32 ? 0xFFFFFFFFu : ((1u << bits) - 1));
        return 1;
    }
    if (!InWindow(address, bits)) return 0;
    if (!((index >= 0x2000 && index <= 0x5FFF) || (index >= 0xA000 && index <= 0xA6FF))) return 0;
    uint32_t v = 0;
    if (bits % 8 == 0 && address % 8 == 0) {
        if (!PlcReg_Get(b, address, bits)) return 0;
        v = LE_Get32(b);
    } else {
        for (uint32_t i = 0; i < bits; i++) {
            uint8_t bit = 0;
            if (!PlcReg_Get(&bit, address + i, 1)) return 0;
            v |= uint32_t(bit & 1) << i;
        }
    }
    *value = bits == 32 ? v : v & ((1u << bits) - 1);
    return 1;
}

uint32_t CANOpenSetData(uint32_t value, uint32_t index, uint32_t bits, uint32_t address) {
    if (bits == 0 || bits > 32) return 0;
    uint8_t b[4];
    LE_Put32(b, value);
    if (PlcReg_IsIecHandle(address)) return IecOk() && PlcReg_Set(address, b, bits) ? 1 : 0;
    if (!InWindow(address, bits)) return 0;
    if (!((index >= 0x2000 && index <= 0x5FFF) || (index >= 0xA480 && index <= 0xA6FF))) return 0;
    if (bits % 8 == 0 && address % 8 == 0) return PlcReg_Set(address, b, bits) ? 1 : 0;
    for (uint32_t i = 0; i < bits; i++) {
        const uint8_t bit = (value >> i) & 1;
        if (!PlcReg_Set(address + i, &bit, 1)) return 0;
    }
    return 1;
}

uint32_t CANOpenGetMsgData(const uint8_t *data, uint32_t first_bit, uint32_t bits) {
    uint32_t v = 0;
    for (uint32_t i = 0; i < bits && i < 32; i++) {
        const uint32_t p = first_bit + i;
        if (p >= 64) break;
        v |= uint32_t((data[p / 8] >> (p % 8)) & 1) << i;
    }
    return v;
}

uint32_t CANOpenDWProcess(uint8_t *bytes, uint32_t value, uint32_t to_bytes) {
    if (to_bytes) {
        LE_Put32(bytes, value);
        return value;
    }
    return LE_Get32(bytes);
}

// ---- start ----------------------------------------------------------------------------------
void CANOpenInit(const NetInitRec *rec) {
    if (rec != nullptr && rec != &NetInit) NetInit = *rec;
    co = CoNode{};
    co_nodes = {};
    Emcy_RecMsg = {};
    const uint32_t flen = MF_Len(copendnet_tbl.data());
    const uint8_t *data = copendnet_tbl.data() + MF_HDR;
    const bool usable = flen >= 2 && flen <= COPENDNET_TBL_SIZE - MF_HDR && data[1] >= 1 && data[1] <= 127;
    blk_bad = false;
    if (usable) {
        blk = data;
        blk_len = flen;
        if (!NodeId_Flag) {
            // Straight into the words: a write of %SR29 would start the node again.
            PlcWordSet(W_NETID, data[1]);
            PlcWordSet(W_CANRATE, data[0]);
            NodeId_Flag = 1;
        }
    } else {
        blk = CANOpenDef_St.data();
        blk_len = CANOpenDef_St.size();
    }
    co.Node_id = uint16_t(PlcWord(W_NETID) & 0xFF);
    co.status_reg = Rd32(0x54);
    co.blk_word = MF_Crc(copendnet_tbl.data());
    CanPortConfig cfg{};
    if (rec != nullptr) {
        LE_Put16(&cfg[4], rec->tick);
        cfg[7] = rec->c2;
        cfg[8] = rec->c3;
    }
    cfg[CAN_CFG_RATE] = uint8_t(PlcWord(W_CANRATE));
    cfg[CAN_CFG_MODE] = 0;
    SysHook_EnableInterrupt(0);
    _Can_Init(0, cfg);

    co.startup = Rd8(0x23);
    co.master = co.startup & 1;
    co.NMT_State = co.master || (co.startup & 4) ? NMT_PREOP : NMT_OPER;
    co.start_reg = Rd32(0x24);
    const uint32_t now = Now();
    uint32_t n = Rd8(0x13);
    const uint32_t list = Rd32(0x14);
    if (n > CO_NODES) {
        blk_bad = true;
        n = 0;
    }
    if (co.master) {
        // Reset all (one broadcast) only while no slave asks to be kept when
        // operational (assignment bit 4): a broadcast would reset that one too.
        co.reset_all = 1;
        for (uint32_t i = 0; i < n; i++) {
            const uint64_t off = uint64_t(list) + uint64_t(CO_SLAVE_REC) * i;
            if (!Has(off, CO_SLAVE_REC)) {
                blk_bad = true;
                break;
            }
            const uint8_t *r = blk + off;
            CoNodeEntry &e = co_nodes[co.count++];
            e.time_ms = LE_Get16(r + 2);
            e.id = r[7];
            e.err = 0xFF;
            e.state = NMT_UNKNOWN;
            e.step = CO_BOOT_RESET;
            e.t = now;
            e.flags = CO_NF_ENTRY;
            if (r[0] & 0x10) co.reset_all = 0;
        }
        co.hbcons = (co.startup & 0x80) ? 1 : 0;
    } else if (n > 0) {
        for (uint32_t i = 0; i < n; i++) {
            const uint64_t off = uint64_t(list) + 4u * i;
            if (!Has(off, 4)) {
                blk_bad = true;
                break;
            }
            const uint32_t v = LE_Get32(blk + off);
            CoNodeEntry &e = co_nodes[i];
            e.time_ms = uint16_t(v);
            e.id = uint8_t(v >> 16);
            e.state = 0xFE;
            e.t = now;
            e.flags = CO_NF_ENTRY;
        }
        co.count = uint8_t(n);
        co.hbcons = 1;
    }
    co.hb_ms = Rd16(0x1E);
    co.hb_ticks = uint32_t(co.hb_ms) * 10;
    co.hb_last = now;
    co.guard_ms = Rd16(0x10);
    co.life_factor = Rd8(0x12);
    if (co.hb_ticks == 0 && !co.master && co.guard_ms != 0 && co.life_factor != 0) {
        co.guarded = 1;
        co.life_ticks = uint32_t(co.guard_ms) * co.life_factor * 10;
        co.guard_last = now;
    }
    const uint32_t period = Rd32(0x08);
    co.sync_cobid = Rd32(0x04);
    if (period != 0) {
        co.sync_on = 1;
        co.sync_produce = (co.sync_cobid >> 30) & 1;
        co.sync_period = period / 100;
        co.sync_window = Rd32(0x0C) / 100;
        co.sync_last = now;
    }
    co.time_cobid = Rd32(0x68);
    co.time_en = Rd16(0x02) != 0 ? 1 : 0;
    co.time_produce = co.time_en && (co.time_cobid & 0x80000000u) && !(co.time_cobid & 0x40000000u);
    co.time_consume = co.time_en && (co.time_cobid & 0x40000000u);
    co.emcy_cobid = Rd32(0x18);
    co.emcy_on = (co.emcy_cobid & 0x80000000u) ? 0 : 1;
    co.emcy_inhibit = Rd16(0x1C);
    co.emcy_last = now - co.emcy_inhibit;
    co.sw_date = Rd32(0x58);
    co.sw_time = Rd32(0x5C);
    co.cfg_date = Rd32(0x60);
    co.cfg_time = Rd32(0x64);
    // A COB-ID is checked only where it is used: SYNC with a cycle period,
    // EMCY while produced. A disabled EMCY (bit 31) often carries id 0.
    if (co.sync_on && CobBad(co.sync_cobid)) blk_bad = true;
    if (co.emcy_on && CobBad(co.emcy_cobid)) blk_bad = true;
    CANOpenPDOInit(blk, blk_len);
    CANOpenSDOInit(blk, blk_len);
    if (blk_bad) co.status |= CO_ST_CFG;
    WriteStatus();
    const uint8_t state = co.NMT_State;
    co.NMT_State = NMT_INIT;
    CANOpenHBProd();
    co.NMT_State = state;
}

// ---- receive pass -----------------------------------------------------------------------------
void CANOpenRxMsg() {
    if (co.status & CO_ST_CFG) {
        // No CANopen work: frames are dropped, so that the ring does not
        // overflow (bit 21) and no stale frame is taken after a restart.
        _Can_FlushRx(0);
    } else {
        Supervise();
        CanMsg *m;
        while ((m = _Can_GetRx(0)) != nullptr) {
            const CanMsg msg = *m;
            _Can_NextRx(0);
            Dispatch(msg);
            SyncService();
        }
    }
    const uint32_t port = _Can_StatusTake(0);
    co.status &= ~(CO_ST_CANOVR | CO_ST_BUSOFF | CO_ST_CANWARN);
    if (port & (CAN_ST_RXOVR | CAN_ST_CTRLOVR)) co.status |= CO_ST_CANOVR;
    if (port & CAN_ST_BUSOFF) co.status |= CO_ST_BUSOFF;
    if (port & (CAN_ST_TXWARN | CAN_ST_RXWARN)) co.status |= CO_ST_CANWARN;
    WriteStatus();
}

// ---- transmit pass --------------------------------------------------------------------------
void CANOpenTxMsg() {
    if (co.status & CO_ST_CFG) {
        if (!CANOpen_dwnld && (co.dwnld_seen || MF_Crc(copendnet_tbl.data()) != co.blk_word)) {
            NodeId_Flag = 0;
            CANOpenInit(&NetInit);
        } else if (CANOpen_dwnld) {
            co.dwnld_seen = 1;
        }
        return;
    }
    CANOpenBlockTx();
    if (CANOpen_dwnld) {
        co.dwnld_seen = 1;
        if (co.master && !co.preop_sent && CANOpenNMTSend(0, 0x80)) co.preop_sent = 1;
        co.NMT_State = NMT_PREOP;
        return;
    }
    if (co.dwnld_seen || MF_Crc(copendnet_tbl.data()) != co.blk_word) {
        NodeId_Flag = 0;
        CANOpenInit(&NetInit);
        return;
    }
    CANOpenSDOClientTimeout();
    if (co.master && co.count > 0) {
        CANOpenBootStep();
        WriteSlaveStatus(co.cur);
        // A slave whose boot transfer is on its way keeps the machine: the
        // answer is stepped for that slave when it arrives.
        const bool boot_sdo = (SDO_St.flags & SDO_F_CLIENT) && !(SDO_St.flags & SDO_F_USER);
        if (!boot_sdo && co.count > 0) co.cur = uint8_t((co.cur + 1) % co.count);
    }
    if (co.hb_ticks != 0) {
        co.status &= ~CO_ST_NOLIFE;
        if (Elapsed(co.hb_last, co.hb_ticks) && CANOpenHBProd()) {
            co.hb_last += co.hb_ticks;
            if (Elapsed(co.hb_last, co.hb_ticks)) co.hb_last = Now();
        }
    } else if (co.guarded) {
        co.status &= ~CO_ST_NOLIFE;
        if (co.guard_req) {
            const uint8_t d = uint8_t((co.NMT_State & 0x7F) | co.toggle);
            if (CANOpenSend(0x700u + co.Node_id, 1, &d)) {
                co.toggle ^= 0x80;
                co.guard_req = 0;
            }
        }
        CANOpenTimer(6, 0);
        if (co.life_elapsed) co.status |= CO_ST_LIFE;
    } else if (!co.master) {
        co.status |= CO_ST_NOLIFE;
    }
    SyncService();
    if (co.time_produce) TimeTx();
    // The error register (object 0x1001) follows the status on every pass,
    // also where no EMCY is sent (EMCY off, or stopped): a read must not
    // show "no error" while an error bit is set.
    co.errreg = (co.status & CO_EMCY_MASK) ? 1 : 0;
    if (co.emcy_on && Running()) EmcyTx();
    if (co.NMT_State == NMT_OPER) CANOpenTPDOTx();
    WriteStatus();
    Can_IsrTx();
}

// ---- NMT master boot-up ------------------------------------------------------------------------
namespace {
const uint8_t *SlaveRec(unsigned i) {
    const uint64_t off = uint64_t(Rd32(0x14)) + uint64_t(CO_SLAVE_REC) * i;
    return Has(off, CO_SLAVE_REC) ? blk + off : nullptr;
}

void Fail(CoNodeEntry &e, uint8_t err) {
    e.err = err;
    e.step = CO_BOOT_RESULT;
    e.sub = 0;
    e.cfg_pos = e.cfg_q = 0;
    e.cfg_phase = e.cfg_busy = 0;
}

// Upload check of one object: 1 when the step is finished (next step set).
void Check(CoNodeEntry &e, uint16_t index, uint8_t sub, uint32_t expected, uint8_t err) {
    if (expected == 0) {
        e.step++;
        e.sub = 0;
        return;
    }
    uint32_t equal = 0;
    if (!CANOpen_SlaveInfoChk(index, sub, expected, &equal)) return;
    e.sub = 0;
    if (equal)
        e.step++;
    else
        Fail(e, err);
}

uint8_t RefusalCode(uint16_t index) {
    if (index < 0x1000 || index > 0x1BFF) return 0xF3;
    if (index == 0x100C || index == 0x100D || index == 0x1016 || index == 0x1017) return 0xF4;
    if (index >= 0x1005 && index <= 0x1007) return 0xF5;
    if (index == 0x1012) return 0xF6;
    if (index == 0x1014 || index == 0x1015) return 0xF7;
    if (index >= 0x1400 && index <= 0x15FF) return 0xF8;
    if (index >= 0x1600 && index <= 0x17FF) return 0xF9;
    if (index >= 0x1800 && index <= 0x19FF) return 0xFA;
    if (index >= 0x1A00 && index <= 0x1BFF) return 0xFB;
    return 0xFC;
}

bool ConfigAllowed(const uint8_t *r, uint16_t index) {
    const uint8_t f = r[4];
    if ((r[5] & 2) && (index < 0x1000 || index > 0x1BFF)) return false;
    const uint8_t code = RefusalCode(index);
    switch (code) {
    case 0xF4: return f & 0x02;
    case 0xF5: return f & 0x04;
    case 0xF7: return f & 0x08;
    case 0xF6: return f & 0x10;
    case 0xF3: return true;
    default: return f & 0x20;
    }
}

bool IsMapping(uint16_t index) { return (index >= 0x1600 && index <= 0x17FF) || (index >= 0x1A00 && index <= 0x1BFF); }

struct CfgItem {
    uint16_t index;
    uint8_t sub, len;
    uint32_t value;
};

// The next configuration write of a slave, in the order that never leaves a
// PDO valid on a half-written mapping: for each mapping object, count 0
// first, then its entries, then its count. False when all are written.
bool NextConfigItem(CoNodeEntry &e, const uint8_t *r, const uint8_t *list, uint32_t n, CfgItem &it) {
    auto at = [list](uint32_t k) {
        const uint8_t *c = list + 8 * uint64_t(k);
        return CfgItem{LE_Get16(c), c[2], c[3], LE_Get32(c + 4)};
    };
    for (int guard = 0; guard < 64; guard++) {  // skips per pass are bounded
        if (e.cfg_pos >= n) return false;
        const CfgItem head = at(e.cfg_pos);
        switch (e.cfg_phase) {
        case 0: {
            if (!ConfigAllowed(r, head.index) || (!IsMapping(head.index) && (head.len == 0 || head.len > 4))) {
                e.cfg_pos++;
                continue;
            }
            if (!IsMapping(head.index)) {
                it = head;
                return true;
            }
            bool seen = false;  // a group is written where it first appears
            for (uint32_t k = 0; k < e.cfg_pos && !seen; k++) seen = at(k).index == head.index;
            if (seen) {
                e.cfg_pos++;
                continue;
            }
            e.cfg_phase = 1;
            [[fallthrough]];
        }
        case 1: it = CfgItem{head.index, 0, 1, 0}; return true;
        case 2:
        case 3:
            for (; e.cfg_q < n; e.cfg_q++) {
                const CfgItem c = at(e.cfg_q);
                if (c.index != head.index || c.len == 0 || c.len > 4) continue;
                if ((e.cfg_phase == 2) == (c.sub != 0)) {
                    it = c;
                    return true;
                }
            }
            if (e.cfg_phase == 2) {
                e.cfg_phase = 3;
                e.cfg_q = e.cfg_pos;
            } else {
                e.cfg_phase = 0;
                e.cfg_pos++;
            }
            continue;
        default: e.cfg_phase = 0; continue;
        }
    }
    return true;  // more to skip: the next pass goes on
}

void ConfigAdvance(CoNodeEntry &e) {
    switch (e.cfg_phase) {
    case 0: e.cfg_pos++; break;
    case 1:
        e.cfg_phase = 2;
        e.cfg_q = e.cfg_pos;
        break;
    default: e.cfg_q++; break;
    }
}

void ConfigStep(CoNodeEntry &e, const uint8_t *r) {
    const uint32_t n = LE_Get32(r + 48), off = LE_Get32(r + 52);
    if (!Has(uint64_t(off), uint64_t(n) * 8)) {
        co.status |= CO_ST_CFG;
        return;
    }
    if (e.cfg_busy) {
        if (SDO_St.flags & SDO_F_DONE) {
            SDO_St.flags &= uint8_t(~SDO_F_DONE);
            e.cfg_busy = 0;
            if ((SDO_St.flags & SDO_F_ABORTED) && (r[5] & 1)) {
                Fail(e, RefusalCode(SDO_St.req_index));
                return;
            }
            ConfigAdvance(e);
        } else if (!(SDO_St.flags & SDO_F_CLIENT)) {
            e.cfg_busy = 0;  // timed out: the next write
            ConfigAdvance(e);
        }
        return;
    }
    CfgItem it{};
    if (!NextConfigItem(e, r, blk + off, n, it)) {
        e.step = CO_BOOT_ERROR_CONTROL;
        e.sub = 0;
        e.cfg_pos = e.cfg_q = 0;
        e.cfg_phase = 0;
        return;
    }
    if (it.len == 0) return;  // skipped entries only: the next pass goes on
    SDO_St.req_index = it.index;
    SDO_St.req_sub = it.sub;
    SDO_St.ccnt = it.len;
    LE_Put32(SDO_St.cbuf.data(), it.value);
    if (CANOpenCSDODwnInit(0)) e.cfg_busy = 1;
}

// The start of all slaves with one broadcast went out (kept across boots).
uint8_t co_broadcast_done;

// Starts the slave (or all slaves with one broadcast); false when the
// command could not be queued (status bit 3): the start is tried again on a
// later pass and the slave stays where it is.
bool StartSlaves(CoNodeEntry &e) {
    if (!(co.startup & 0x08)) {
        if (co.startup & 0x02) {
            bool first = true;
            for (unsigned i = 0; i < co.count; i++) {
                if (&co_nodes[i] != &e && co_nodes[i].step == CO_BOOT_RUNNING) first = false;
            }
            if (first || !co_broadcast_done) {
                co_broadcast_done = CANOpenNMTSend(0, NMT_CMD_START) ? 1 : 0;
                if (!co_broadcast_done) return false;
                for (unsigned i = 0; i < co.count; i++) co_nodes[i].flags &= uint8_t(~CO_NF_ALONE);
            } else if (e.flags & CO_NF_ALONE) {
                // Reset alone after the broadcast (booted again while others
                // run): that start is not sent again, so it is started by its
                // own command, else it would stay pre-operational.
                if (!CANOpenNMTSend(e.id, NMT_CMD_START)) return false;
            }
        } else if (!CANOpenNMTSend(e.id, NMT_CMD_START)) {
            return false;
        }
    }
    e.flags &= uint8_t(~CO_NF_ALONE);
    co.NMT_State = NMT_OPER;
    return true;
}

// The error check of a slave whose boot ended (step 16) or that runs (step
// 18). An error other than 0 and 12 marks status bit 19 (optional slave) or
// 20 (mandatory slave); with assignment bit 2 the slave is booted again (a
// mandatory one only while start-up bits 4 and 6 are clear); a mandatory
// failure with start-up bit 4 resets the communication of the whole network
// and starts this node again, with bit 6 it stops the whole network; any
// other failed slave is given up (step 19). A command that could not be
// queued leaves the slave where it is, for a later pass. True when the
// slave failed.
bool ErrorCheck(CoNodeEntry &e, uint8_t assign) {
    if (e.err == 0 || e.err == 12 || e.err == 0xFF) return false;
    const bool mandatory = assign & 0x08;
    co.status |= mandatory ? CO_ST_MANDFAIL : CO_ST_OPTFAIL;
    if ((assign & 0x04) && (!mandatory || !(co.startup & 0x50))) {
        e.step = CO_BOOT_RESET;
        e.sub = 0;
        e.flags &= uint8_t(~CO_NF_RTRSENT);  // a slave started again is asked again
        return true;
    }
    if (mandatory && (co.startup & 0x10)) {
        if (!CANOpenNMTSend(0, NMT_CMD_RESET_COMM)) return true;
        // The start opens the port again, which empties its transmit ring:
        // the reset goes to the socket first.
        Can_IsrTx();
        NodeId_Flag = 1;
        CANOpenInit(&NetInit);
        return true;
    }
    if (mandatory && (co.startup & 0x40)) {
        if (!CANOpenNMTSend(0, NMT_CMD_STOP)) return true;
        co.NMT_State = NMT_STOPPED;
        for (unsigned i = 0; i < co.count; i++) co_nodes[i].step = CO_BOOT_STOPPED;
        return true;
    }
    e.step = CO_BOOT_STOPPED;
    return true;
}
}  // namespace

void CANOpenBootStep() {
    if (co.cur >= co.count) co.cur = 0;
    CoNodeEntry &e = co_nodes[co.cur];
    const uint8_t *r = SlaveRec(co.cur);
    if (r == nullptr) return;
    // The client serves a ladder or IEC transfer: the boot waits for it.
    if ((SDO_St.flags & SDO_F_CLIENT) && (SDO_St.flags & SDO_F_USER)) return;
    const uint32_t now = Now();
    const uint8_t assign = r[0];
    if (!(assign & 1) && e.step < CO_BOOT_RESULT) {
        e.err = 1;
        e.step = CO_BOOT_STOPPED;
        return;
    }
    switch (e.step) {
    case CO_BOOT_RESET:
        if (e.sub == 0) {
            e.wait = now;
            // All nodes are reset with one broadcast while no slave is
            // booting or running; a slave booted again while others run
            // (its error check sent it back) is reset alone.
            bool group = co.reset_all;
            for (unsigned i = 0; i < co.count; i++) {
                if (co_nodes[i].step != CO_BOOT_RESET && co_nodes[i].step != CO_BOOT_STOPPED) group = false;
            }
            if (group) {
                // The broadcast went out when another slave already waits
                // in this reset of all. A slave given up keeps what its last
                // step left in sub, and one reset alone is waiting for its own
                // reset: neither sent the broadcast, so neither counts.
                bool first = true;
                for (unsigned i = 0; i < co.count; i++) {
                    const CoNodeEntry &o = co_nodes[i];
                    if (&o != &e && o.step == CO_BOOT_RESET && o.sub != 0 && (o.flags & CO_NF_GROUP)) first = false;
                }
                if (first && !CANOpenNMTSend(0, NMT_CMD_RESET_COMM)) return;
            } else if (!((assign & 0x10) && (e.state == NMT_OPER || e.state == NMT_UNKNOWN))) {
                if (!CANOpenNMTSend(e.id, NMT_CMD_RESET_COMM)) return;
                e.flags |= CO_NF_ALONE;
            }
            e.flags = uint8_t(group ? (e.flags | CO_NF_GROUP) : (e.flags & ~CO_NF_GROUP));
            e.flags &= uint8_t(~CO_NF_REBOOT);
            e.state = NMT_UNKNOWN;
            e.sub = 1;
            return;
        }
        if (e.state == NMT_UNKNOWN && now - e.wait < uint32_t(e.time_ms) * 8) return;
        if (e.flags & CO_NF_GROUP) {
            // Every slave was reset and is started again: each is asked for
            // its transmit PDOs again, also one given up before.
            for (unsigned i = 0; i < co.count; i++) {
                co_nodes[i].step = CO_BOOT_DEVICE_TYPE;
                co_nodes[i].err = 0;
                co_nodes[i].sub = 0;
                co_nodes[i].flags &= uint8_t(~CO_NF_RTRSENT);
            }
            co.cur = uint8_t(co.count - 1);  // the next pass starts at the first slave
        } else {
            e.step = CO_BOOT_DEVICE_TYPE;
            e.err = 0;
            e.sub = 0;
        }
        return;
    case CO_BOOT_DEVICE_TYPE: Check(e, 0x1000, 0, LE_Get32(r + 8), 3); return;
    case CO_BOOT_VENDOR_ID: Check(e, 0x1018, 1, LE_Get32(r + 12), 4); return;
    case CO_BOOT_PRODUCT_CODE: Check(e, 0x1018, 2, LE_Get32(r + 16), 13); return;
    case CO_BOOT_REVISION: Check(e, 0x1018, 3, LE_Get32(r + 20), 14); return;
    case CO_BOOT_SERIAL: Check(e, 0x1018, 4, LE_Get32(r + 24), 15); return;
    case CO_BOOT_SW_VERSION_1:
        if ((assign & 0x10) && !(e.flags & CO_NF_REBOOT)) {
            e.step = CO_BOOT_ERROR_CONTROL;
            return;
        }
        if (!(assign & 0x20)) {
            e.step = CO_BOOT_CFG_DATE;
            return;
        }
        if (LE_Get32(r + 28) == 0 && LE_Get32(r + 32) == 0) {
            Fail(e, 7);
            return;
        }
        [[fallthrough]];
    case CO_BOOT_SW_VERSION_2: {
        const uint8_t sub = e.step == CO_BOOT_SW_VERSION_1 ? 1 : 2;
        const uint32_t want = LE_Get32(r + (sub == 1 ? 28 : 32));
        uint32_t equal = 1;
        if (want != 0 && !CANOpen_SlaveInfoChk(0x1F52, sub, want, &equal)) return;
        e.sub = 0;
        if (!equal) {
            if (assign & 0x40)
                e.step = CO_BOOT_SW_UPDATE;
            else
                Fail(e, 8);
            return;
        }
        e.step = uint8_t(e.step + 1);
        return;
    }
    case CO_BOOT_CFG_DATE:
    case CO_BOOT_CFG_TIME: {
        const uint8_t sub = e.step == CO_BOOT_CFG_DATE ? 1 : 2;
        const uint32_t want = LE_Get32(r + (sub == 1 ? 36 : 40));
        if (want == 0) {
            e.step = CO_BOOT_CONFIGURE;
            e.sub = 0;
            return;
        }
        uint32_t equal = 0;
        if (!CANOpen_SlaveInfoChk(0x1020, sub, want, &equal)) return;
        e.sub = 0;
        e.step = !equal ? CO_BOOT_CONFIGURE : e.step == CO_BOOT_CFG_DATE ? CO_BOOT_CFG_TIME : CO_BOOT_ERROR_CONTROL;
        return;
    }
    case CO_BOOT_SW_UPDATE: e.step = CO_BOOT_CONFIGURE; return;
    case CO_BOOT_CONFIGURE: ConfigStep(e, r); return;
    case CO_BOOT_ERROR_CONTROL:
        if (e.sub == 2) {
            // A kept slave that was not operational was reset: once it
            // reported its boot-up (or the reset wait is over) it is checked
            // and configured like any other.
            if (e.state == NMT_UNKNOWN && now - e.wait < uint32_t(e.time_ms) * 8) return;
            e.step = CO_BOOT_SW_VERSION_1;
            e.sub = 0;
            return;
        }
        if (co.hbcons && e.time_ms != 0) {
            if (e.sub == 0) {
                e.wait = now;
                e.state = NMT_UNKNOWN;
                e.sub = 1;
                return;
            }
            if (e.state == NMT_UNKNOWN) {
                if (now - e.wait >= uint32_t(e.time_ms) * 10) Fail(e, 5);
                return;
            }
            if (e.state == NMT_OPER) e.err = 12;
        } else if (!co.hbcons && e.time_ms != 0) {
            if (e.sub == 0) {
                if (CANOpenNGSend(co.cur)) {
                    e.wait = now;
                    e.sub = 1;
                }
                return;
            }
            if (!(e.flags & CO_NF_GUARDANS)) {
                if (now - e.wait >= 1000) Fail(e, 6);
                return;
            }
        }
        // A slave not operational is reset. Only one kept alive (assignment
        // bit 4), which skipped its checks and configuration, is: any other
        // was reset at the start of its boot and has just been configured,
        // which a reset of its communication would undo.
        if ((assign & 0x10) && !(e.flags & CO_NF_REBOOT) && e.state != NMT_OPER && e.state != NMT_UNKNOWN) {
            if (!CANOpenNMTSend(e.id, NMT_CMD_RESET_COMM)) return;
            e.flags |= CO_NF_REBOOT | CO_NF_ALONE;
            e.err = 0;
            e.state = NMT_UNKNOWN;
            e.wait = now;
            e.sub = 2;
            return;
        }
        e.step = CO_BOOT_SPARE_14;
        e.sub = 0;
        return;
    case CO_BOOT_SPARE_14:
    case CO_BOOT_SPARE_15: e.step = uint8_t(e.step + 1); return;
    case CO_BOOT_RESULT:
        if (!ErrorCheck(e, assign)) e.step = CO_BOOT_START;
        return;
    case CO_BOOT_START: {
        if (co.startup & 0x04) {
            uint32_t v = 0;
            if (!CANOpenGetData(&v, 0xA000, 8, co.start_reg) || v == 0) return;
        }
        if (!StartSlaves(e)) return;
        e.step = CO_BOOT_RUNNING;
        e.sub = 0;
        e.t = now;
        return;
    }
    case CO_BOOT_RUNNING:
        // The check of step 16 again: a slave that lost its heartbeat (11),
        // failed its guarding (6), changed its state by itself (0xFD) or
        // showed the watched COB-ID (0xFE) is booted again, or resets or
        // stops the network, or is given up.
        if (ErrorCheck(e, assign)) return;
        // Remote requests for its transmit PDOs, once; e.sub counts those
        // queued, so that a full ring sends the rest on a later pass.
        if ((r[4] & 0x40) && !(e.flags & CO_NF_RTRSENT)) {
            while (e.sub < 4) {
                if (!CANOpenSend(0x180u + 0x100u * e.sub + e.id, 0, nullptr, 1)) return;
                e.sub++;
            }
            e.flags |= CO_NF_RTRSENT;
        }
        return;
    default: return;
    }
}
