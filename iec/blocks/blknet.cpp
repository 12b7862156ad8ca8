// CAN network heartbeat and global-word helpers and the IEC blocks built on
// them. Frames go out on CAN port 0 with identifier node x 8 + kind and no
// data: kind 0 output heartbeat (data frame) or digital-word request (remote),
// kind 3 analog-word request (remote), kind 4 input heartbeat.
#include "iec/blocks/blknet.h"

#include "core/image/plcreg.h"
#include "core/image/timebase.h"
#include "iec/blocks/blkform.h"
#include "core/image/util.h"
#include "iec/vm/z7map.h"
#include "io/candrv.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

std::array<NetNode, 128> Net_Data{};
uint16_t Z7Net_Scale = 100;

namespace {
constexpr uint32_t W_NODES = 188;

uint32_t Now() {
    const uint32_t t = FPGA_GetFrt();
    return t == 0 ? 0xFFFFFFFFu : t;
}
uint32_t Ticks(uint32_t period_ms) { return period_ms * 1000u / (Z7Net_Scale ? Z7Net_Scale : 100u); }
// Due when nothing is stored or at least the period has passed.
bool Due(uint32_t stamp, uint32_t period_ms) { return stamp == 0 || Now() - stamp >= Ticks(period_ms); }
bool Local(uint32_t node) {
    const uint32_t first = PlcWord(W_NETID);
    return node >= first && node < first + PlcWord(W_NODES);
}
uint32_t RunMask(uint32_t start, uint32_t count) {
    if (start >= 32) return 0;
    const uint32_t m = count >= 32 ? 0xFFFFFFFFu : (1u << count) - 1;
    return m << start;
}
bool Send(uint32_t node, uint32_t kind, bool remote) {
    CanMsg *m = _Can_NextTx(0);
    if (m == nullptr) return false;
    m->id = node * 8 + kind;
    m->len = 0;
    m->rtr = remote ? 1 : 0;
    _Can_PutTx(0, m);
    return true;
}
template <uint32_t Words, bool Analog>
uint32_t Queue(uint32_t node, uint32_t start, const uint16_t *words, uint32_t count) {
    const uint32_t n = count & 0x7FFF;
    if (node >= 128 || start + n > Words || !Local(node)) return 0;
    if (count & 0x8000) return 1;
    NetNode &d = Net_Data[node];
    for (uint32_t k = 0; k < n; k++) (Analog ? d.aqg.data() : d.qg.data())[start + k] = words[k];
    (Analog ? d.aqg_valid : d.qg_valid) |= RunMask(start, n);
    return 1;
}
template <uint32_t Words, bool Analog>
uint32_t Get(uint32_t node, uint32_t start, uint16_t *out, uint32_t count) {
    if (node >= 128 || start + count > Words) return 0;
    const NetNode &d = Net_Data[node];
    const uint32_t m = RunMask(start, count);
    if (((Analog ? d.aqg_valid : d.qg_valid) & m) != m) return 0;
    for (uint32_t k = 0; k < count; k++) out[k] = (Analog ? d.aqg.data() : d.qg.data())[start + k];
    return 1;
}

// Receive side: another node's output heartbeat (kind 0 data frame) sets its
// time; its digital words come with it. The frame stays with the CAN layer.
uint32_t NetRx(const CanMsg &m) {
    if (m.id >= 1024 || m.id % 8 != 0 || m.rtr) return 0;
    NetNode &d = Net_Data[m.id / 8];
    d.qhb = Now();
    for (uint32_t k = 0; k < 4 && 2 * k + 1 < m.len; k++) {
        d.qg[k] = uint16_t(m.data[2 * k] | m.data[2 * k + 1] << 8);
        d.qg_valid |= 1u << k;
    }
    return 0;
}
}  // namespace

uint32_t Z7Net_QueQG(uint32_t node, uint32_t start, const uint16_t *words, uint32_t count) {
    return Queue<4, false>(node, start, words, count);
}
uint32_t Z7Net_QueAQG(uint32_t node, uint32_t start, const uint16_t *words, uint32_t count) {
    return Queue<32, true>(node, start, words, count);
}
uint32_t Z7Net_GetQG(uint32_t node, uint32_t start, uint16_t *out, uint32_t count) {
    return Get<4, false>(node, start, out, count);
}
uint32_t Z7Net_GetAQG(uint32_t node, uint32_t start, uint16_t *out, uint32_t count) {
    return Get<32, true>(node, start, out, count);
}
uint32_t Z7Net_PutIG(uint32_t) { return 0; }
uint32_t Z7Net_PutAIG(uint32_t) { return 0; }
uint32_t Z7Net_ReqQG(uint32_t node) {
    if (node >= 128 || !Send(node, 0, true)) return 0;
    if (!Local(node)) Net_Data[node].qg_valid = 0;
    return 1;
}
uint32_t Z7Net_ReqAQG(uint32_t node) {
    if (node >= 128 || !Send(node, 3, true)) return 0;
    Net_Data[node].aqg_valid = 0;
    return 1;
}
uint32_t Z7Net_PutQHB(uint32_t node, uint32_t period) {
    if (node >= 128 || !Due(Net_Data[node].qhb, period)) return 0;
    if (!Send(node, 0, false)) return 0;
    Net_Data[node].qg_valid = 0;
    Net_Data[node].qhb = Now();
    return 1;
}
uint32_t Z7Net_PutIHB(uint32_t node, uint32_t period) {
    if (node >= 128) return 0;
    if (!Due(Net_Data[node].ihb, period)) return 1;
    if (!Send(node, 4, false)) return 0;
    Net_Data[node].ihb = Now();
    return 1;
}
uint32_t Z7Net_GetQHB(uint32_t node, uint32_t period) {
    if (node >= 128) return 0;
    NetNode &d = Net_Data[node];
    if (d.qhb != 0 && Now() - d.qhb < uint16_t(Ticks(period))) return 1;
    d.qhb = 0;
    return 0;
}

uint32_t (*BlkNet_Rx)(const CanMsg &) = NetRx;

namespace {
// NETPUTHB, NETGETHB: enable, node, period, Q, status.
void PutHb(const Z7Ops &o) {
    uint32_t q = 0;
    if (o.B(0)) {
        const uint32_t node = uint16_t(o.I(1)), period = uint16_t(o.I(2));
        q = period & 1 ? Z7Net_PutIHB(node, period & ~1u) : Z7Net_PutQHB(node, period);
    }
    o.SetB(3, q != 0);
    o.SetI(4, 0);
}
void GetHb(const Z7Ops &o, uint8_t *) {
    const uint32_t q = o.B(0) ? Z7Net_GetQHB(uint16_t(o.I(1)), uint16_t(o.I(2))) : 0;
    o.SetB(3, q != 0);
    o.SetI(4, 0);
}
uint32_t NetGetHb(uint32_t cmd, uint32_t db, uint32_t cls, uint32_t inst, uint32_t arg) {
    if (cmd == FB_INSTINIT) {
        if (uint8_t *p = Z7Mem_Ptr(inst, 1)) *p = 0;
        return 0;
    }
    return Blk_Stateful<1, 5, GetHb>(cmd, db, cls, inst, arg);
}

// NETGETREMOTEI, NETGETREMOTEAI: node, INT array, count; the one-byte
// instance is the request flag. Count words from word 0 when all are valid.
template <bool Analog>
uint32_t GetRemote(uint32_t cmd, uint32_t db, uint32_t, uint32_t inst, uint32_t arg) {
    if (cmd == FB_INSTSIZE || cmd == FB_AVAIL) return 1;
    uint8_t *p = Z7Mem_Ptr(inst, 1);
    if (cmd == FB_INSTINIT && p != nullptr) *p = 0;
    Z7Ops o;
    if (cmd != FB_EXEC || p == nullptr || !Z7Ops_Open(db, arg, 3, o)) return 0;
    const uint32_t node = uint16_t(o.I(0));
    if (*p == 0) {
        *p = uint8_t(Analog ? Z7Net_ReqAQG(node) : Z7Net_ReqQG(node));
        return 0;
    }
    const int32_t count = o.I(2);
    uint16_t w[32];
    // the words go to the INT array found as every array operand is (in the
    // complex-type segment when the application has one), all count of them
    // inside it
    uint8_t *a = count > 0 && count <= (Analog ? 32 : 4) ? Blk_Array(o, 1, 11, uint32_t(count)) : nullptr;
    if (a != nullptr && (Analog ? Z7Net_GetAQG(node, 0, w, uint32_t(count)) : Z7Net_GetQG(node, 0, w, uint32_t(count))))
        for (int32_t k = 0; k < count; k++) LE_Put16(a + 2 * k, w[k]);
    Z7Net_GetQHB(node, 2000);
    return 0;
}

// NETPUTLOCALQ (type, node, array), NETPUTLOCALAQ (node, array): this
// controller's output heartbeat at most once per second, when the array
// exists (found as every array operand is).
void PutLocalQ(const Z7Ops &o) {
    const uint16_t t = o.Lit(0);
    if ((t != 1 && t != 11) || Blk_Array(o, 2, t, 1) == nullptr) return;
    Z7Net_PutIG(uint16_t(o.I(1)));
    Z7Net_PutQHB(PlcWord(W_NETID), 1000);
}
void PutLocalAq(const Z7Ops &o) {
    if (Blk_Array(o, 1, 11, 1) == nullptr) return;
    Z7Net_PutAIG(uint16_t(o.I(0)));
    Z7Net_PutQHB(PlcWord(W_NETID), 1000);
}

// ---- global words by area -------------------------------------------------------------------
// Area kinds of a NET word block's area array, by its symbol in the map.
enum : uint16_t {
    AREA_NONE = 0,
    AREA_AI = 1,
    AREA_AIN = 3,
    AREA_AQG = 4,
    AREA_QG = 5,
    AREA_IG = 6,
    AREA_I = 7,
    AREA_Q = 8
};

// Section of an array by the block's type code (0 none).
uint32_t ArraySec(uint16_t type) {
    switch (type) {
    case 1:
    case 10:
    case 14: return Z7SEC_D8;
    case 11:
    case 15: return Z7SEC_D16;
    case 2:
    case 16: return Z7SEC_D32;
    case 12:
    case 17: return Z7SEC_D64;
    default: return 0;
    }
}

// Element width of an array by the block's type code (0 none).
uint32_t ArrayWidth(uint16_t type) {
    switch (ArraySec(type)) {
    case Z7SEC_D8: return 1;
    case Z7SEC_D16: return 2;
    case Z7SEC_D32: return 4;
    case Z7SEC_D64: return 8;
    default: return 0;
    }
}

// Host view of n elements of the array at operand k of the block's type
// code, found as every array operand is (in the complex-type segment when
// the application has one); null unless all n lie inside it.
uint8_t *ArrayOf(const Z7Ops &o, uint32_t k, uint32_t n) {
    return ArraySec(o.Lit(0)) != 0 ? Blk_Array(o, k, o.Lit(0), n) : nullptr;
}
// Element k of such an array as a word (its low 16 bits), and set from one.
uint16_t ElemGet(const uint8_t *a, uint32_t width, uint32_t k) {
    switch (width) {
    case 1: return a[k];
    case 2: return LE_Get16(a + 2 * k);
    default: return uint16_t(LE_Get32(a + size_t(width) * k));
    }
}
void ElemPut(uint8_t *a, uint32_t width, uint32_t k, uint16_t v) {
    switch (width) {
    case 1: a[k] = uint8_t(v); break;
    case 2: LE_Put16(a + 2 * k, v); break;
    case 4: LE_Put32(a + 4 * k, v); break;
    default:
        LE_Put32(a + 8 * k, v);
        LE_Put32(a + 8 * k + 4, 0);
        break;
    }
}

// The area kind named by the symbol of the array at operand k.
uint16_t CheckPLCIndex(const Z7Ops &o, uint32_t k) {
    const uint16_t type = o.Lit(0);
    uint32_t width = 0;
    const uint32_t addr = ArraySec(type) != 0 ? Z7Tools_GetArrayIn(o.db, type, o.Lit(k), 1, &width) : 0;
    if (addr == 0) return AREA_NONE;
    const char *sym = Z7Map_GetSymbol(Z7Map_GetByData(o.db, addr));
    if (sym == nullptr) return AREA_NONE;
    static constexpr struct {
        const char *name;
        uint16_t kind;
    } kAreas[] = {{"AI", AREA_AI}, {"AIG", AREA_AIN}, {"AQ", AREA_AIN}, {"AQG", AREA_AQG},
                  {"QG", AREA_QG}, {"IG", AREA_IG},   {"I", AREA_I},    {"Q", AREA_Q}};
    for (const auto &a : kAreas)
        if (std::strcmp(sym, a.name) == 0) return a.kind;
    return AREA_NONE;
}

void Trace(const char *format, uint32_t kind) {
    if (Blk_Hooks.trace == nullptr) return;
    char line[48];
    std::snprintf(line, sizeof line, format, int(kind));
    Blk_Hooks.trace(line);
}

// The 4-byte instance: request sent, first call, area kind.
uint32_t WordCommand(uint32_t cmd, uint32_t inst) {
    if (cmd == FB_INSTINIT) {
        if (uint8_t *p = Z7Mem_Ptr(inst, 4)) {
            p[0] = 0;
            p[1] = 1;
        }
    }
    return Blk_Answer(cmd, 4);
}
// Area kind of the instance, found and traced on its first call.
uint16_t AreaKind(const Z7Ops &o, uint8_t *p, uint32_t area_op, const char *trace) {
    if (p[1] != 0) {
        p[1] = 0;
        LE_Put16(p + 2, CheckPLCIndex(o, area_op));
        Trace(trace, LE_Get16(p + 2));
    }
    return LE_Get16(p + 2);
}

// NETGETWORD: type code, node, area array, start, data array, data array
// size, count.
uint32_t NetGetWord(uint32_t cmd, uint32_t db, uint32_t, uint32_t inst, uint32_t arg) {
    if (cmd != FB_EXEC) return WordCommand(cmd, inst);
    Z7Ops o;
    uint8_t *p = Z7Mem_Ptr(inst, 4);
    if (p == nullptr || !Z7Ops_Open(db, arg, 7, o)) return 0;
    const uint16_t kind = AreaKind(o, p, 2, "NETGETW plc type %d.........\n");
    const bool analog = kind == AREA_AIN || kind == AREA_AQG;
    if (!analog && kind != AREA_QG && kind != AREA_IG) return 0;
    const uint32_t node = uint16_t(o.I(1));
    if (p[0] == 0) {
        p[0] = uint8_t(analog ? Z7Net_ReqAQG(node) : Z7Net_ReqQG(node));
        return 0;
    }
    const uint32_t width = ArrayWidth(o.Lit(0)), size = o.Lit(5);
    const int32_t count = o.I(6), start = o.I(3);
    if (count <= 0 || start < 0) return 0;
    uint16_t w[32];
    if (analog) {
        // all count words valid (the helper refuses more than 32), then as
        // many as the data array holds
        if (!Z7Net_GetAQG(node, uint32_t(start) & 0xFF, w, uint32_t(count))) return 0;
        const uint32_t n = std::min<uint32_t>(uint32_t(count), size);
        uint8_t *a = ArrayOf(o, 4, n);
        for (uint32_t k = 0; a != nullptr && k < n; k++) ElemPut(a, width, k, w[k]);
        return 0;
    }
    // Digital: words from (start / 16), unpacked into a BOOL array.
    if (!Z7Net_GetQG(node, uint32_t(start) / 16, w, uint32_t(count))) return 0;
    uint8_t packed[64] = {}, bits[512];
    for (int32_t k = 0; k < count; k++) LE_Put16(packed + 2 * k, w[k]);
    const uint32_t n = std::min<uint32_t>(uint32_t(count) * 16, size);
    Drevano_Bit_To_Byte(packed, bits, n);
    uint8_t *a = ArrayOf(o, 4, n);
    for (uint32_t k = 0; a != nullptr && k < n; k++) ElemPut(a, width, k, bits[k]);
    return 0;
}

// NETPUTWORD and NETPUTWORDEX: type code, node, data array, data array size,
// area array, start, count (and the trigger). The exact form queues only what
// changed since its last queue, against a copy in the previous-scan image.
template <bool Ex>
uint32_t NetPutWord(uint32_t cmd, uint32_t db, uint32_t, uint32_t inst, uint32_t arg) {
    if (cmd != FB_EXEC) return WordCommand(cmd, inst);
    Z7Ops o;
    uint8_t *p = Z7Mem_Ptr(inst, 4);
    if (p == nullptr || !Z7Ops_Open(db, arg, Ex ? 8 : 7, o)) return 0;
    const uint16_t kind = AreaKind(o, p, 4, Ex ? "NETPUTWEX plc type %dn" : "NETPUTW plc type %dn");
    const uint32_t node = uint16_t(o.I(1));
    if (kind == AREA_AIN) {
        Z7Net_PutAIG(node);
        return 0;
    }
    if (kind == AREA_IG) {
        Z7Net_PutIG(node);
        return 0;
    }
    if (kind != AREA_AQG && kind != AREA_QG) return 0;
    const uint32_t width = ArrayWidth(o.Lit(0)), size = o.Lit(3);
    const int32_t count = o.I(6), start = o.I(5);
    if (count <= 0 || start < 0 || count > 32) return 0;
    const bool analog = kind == AREA_AQG;
    const uint32_t first = analog ? uint32_t(start) : uint32_t(start) / 16;
    uint16_t w[32] = {};
    if (analog) {
        // words past the data array are queued as 0
        const uint32_t n = std::min<uint32_t>(uint32_t(count), size);
        const uint8_t *a = ArrayOf(o, 2, n);
        if (n > 0 && a == nullptr) return 0;
        for (uint32_t k = 0; k < n; k++) w[k] = ElemGet(a, width, k);
    } else {
        uint8_t bits[512] = {}, packed[64] = {};
        const uint32_t n = std::min<uint32_t>(uint32_t(count) * 16, std::min<uint32_t>(size, sizeof bits));
        const uint8_t *a = ArrayOf(o, 2, n);
        if (n > 0 && a == nullptr) return 0;
        for (uint32_t k = 0; k < n; k++) bits[k] = uint8_t(ElemGet(a, width, k));
        Drevano_Byte_To_Bit(bits, packed, n);
        for (int32_t k = 0; k < count && k < 32; k++) w[k] = LE_Get16(packed + 2 * k);
    }
    auto queue = [&](uint32_t n) { return analog ? Z7Net_QueAQG(node, first, w, n) : Z7Net_QueQG(node, first, w, n); };
    if (!Ex) {
        queue(uint32_t(count));
        return 0;
    }
    // The reference copy: QG at byte 32, AQG at 192 of the previous-scan
    // image, plus twice the start operand (for QG its bit number: at most
    // 63, so the copy stays below the AQG copies); a run the helper
    // refuses never reaches it.
    const uint32_t words = analog ? 32 : 4, ref = (analog ? 192 : 32) + 2 * uint32_t(start);
    if (first + uint32_t(count) > words) {
        queue(uint32_t(count));
        return 0;
    }
    const bool trigger = o.B(7);
    bool same = !trigger;
    for (int32_t k = 0; same && k < count; k++) same = LE_Get16(&old_reg[ref + 2 * uint32_t(k)]) == w[k];
    if (queue(uint32_t(count) | (same ? 0x8000u : 0u)) == 1 && !same)
        for (int32_t k = 0; k < count; k++) LE_Put16(&old_reg[ref + 2 * uint32_t(k)], w[k]);
    return 0;
}

constexpr BlkRow kRows[] = {
    {"NETGETWORD", NetGetWord},
    {"NETPUTWORD", NetPutWord<false>},
    {"NETPUTWORDEX", NetPutWord<true>},
    {"NETPUTHB", Blk_Plain<5, PutHb>},
    {"NETGETHB", NetGetHb},
    {"NETGETREMOTEI", GetRemote<false>},
    {"NETGETREMOTEAI", GetRemote<true>},
    {"NETPUTLOCALQ", Blk_Plain<3, PutLocalQ>},
    {"NETPUTLOCALAQ", Blk_Plain<2, PutLocalAq>},
};
}  // namespace

const BlkFamily BlkNet_Family{kRows, sizeof kRows / sizeof kRows[0]};
