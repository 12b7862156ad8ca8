// CANopen for user programs (the ladder block and the IEC helpers) and the
// programming tool's command protocol carried over CANopen SDO blocks.
#include <algorithm>
#include <cstring>

#include "core/image/bytes.h"
#include "core/image/timebase.h"
#include "io/vcomm.h"
#include "io/copen.h"
#include "platform/plat_assert.h"

CoBlock co_blk;
HostQue QnCAN_HostQue;
std::array<uint16_t, 256> SDO_KernelStatus = [] {
    std::array<uint16_t, 256> a{};
    a.fill(255);
    return a;
}();

namespace {

constexpr uint16_t kProgIndex = 0x5000;
constexpr uint32_t kSegGap = 41;  // ticks between reply segments
// Ticks without an answer of the tool before a reply is given up: 1 s, the
// usual SDO time-out, as a tool on a busy computer may answer late.
constexpr uint32_t kReplyTimeout = 10000;

uint32_t Now() { return FPGA_GetFrt(); }

void ProgAbort(uint32_t cob, uint32_t code) {
    uint8_t d[8] = {0x80, uint8_t(kProgIndex), uint8_t(kProgIndex >> 8), 0, 0, 0, 0, 0};
    LE_Put32(d + 4, code);
    CANOpenSend(cob, 8, d);
}
uint32_t ServerTx(uint8_t server) { return SDO_St.tx_cob[server % SDO_SERVERS] & 0x1FFFFFFF; }

uint16_t QueueUsed() { return uint16_t((QnCAN_HostQue.in - QnCAN_HostQue.out) & 0xFF); }

// ---- reply to the tool --------------------------------------------------------------------
void ReplyStart() {
    CoBlock &b = co_blk;
    const uint8_t node = b.next_node;
    const uint16_t n = b.next_cnt > SDO_BUF - 1 ? uint16_t(SDO_BUF - 1) : b.next_cnt;
    b.tx[0] = uint8_t(co.Node_id);
    std::memcpy(b.tx.data() + 1, b.next.data(), n);
    b.tx_cnt = uint16_t(n + 1);
    std::memmove(b.next.data(), b.next.data() + n, b.next_cnt - n);
    b.next_cnt = uint16_t(b.next_cnt - n);
    b.tx_cob = 0x600u + node;
    b.tx_listen = 0x580u + node;
    b.tx_segs = uint8_t((b.tx_cnt + 6) / 7);
    b.tx_seq = 0;
    uint8_t d[8] = {0xC2, uint8_t(kProgIndex), uint8_t(kProgIndex >> 8), 0, 0, 0, 0, 0};
    LE_Put32(d + 4, b.tx_cnt);
    if (!CANOpenSend(b.tx_cob, 8, d)) {
        b.tx_state = 0;  // the reply is lost; the tool repeats its command
        return;
    }
    b.tx_state = 1;
    b.tx_time = Now();
}

void ReplyEnd() {
    co_blk.tx_state = 0;
    if (co_blk.next_cnt > 0) ReplyStart();
}

}  // namespace

// ---- blocks from the tool -------------------------------------------------------------------------
void CANOpenBlockRx(const CanMsg &m, uint32_t server) {
    CoBlock &b = co_blk;
    const uint8_t *d = m.data.data();
    const uint8_t s = uint8_t(server);
    if (!b.rx_on) {
        if (m.len < 8 || (d[0] & 0xE1) != 0xC0) return;
        if (SDO_St.flags & SDO_F_CLIENT) {
            ProgAbort(ServerTx(s), SDO_ABORT_GENERAL);
            return;
        }
        const uint32_t size = LE_Get32(d + 4);
        // The block must fit the buffer and, less the sender's id, the queue.
        if (!(d[0] & 0x02) || size < 1 || size > SDO_BUF || size - 1 > 255u - QueueUsed()) {
            ProgAbort(ServerTx(s), SDO_ABORT_LONG);
            return;
        }
        b.rx_on = 1;
        b.rx_server = s;
        b.rx_size = uint16_t(size);
        b.rx_segs = uint8_t((size + 6) / 7);
        b.rx_seq = 0;
        b.rx_cnt = 0;
        b.rx_crc = (d[0] & 0x04) ? 1 : 0;
        const uint8_t a[8] = {0xA0, uint8_t(kProgIndex), uint8_t(kProgIndex >> 8), 0, b.rx_segs, 0, 0, 0};
        CANOpenSend(ServerTx(s), 8, a);
        return;
    }
    if (m.len < 1) return;
    const uint8_t seq = d[0] & 0x7F;
    if (seq != b.rx_seq + 1) {
        b.rx_on = 0;
        ProgAbort(ServerTx(s), SDO_ABORT_SEQ);
        return;
    }
    b.rx_seq = seq;
    for (unsigned i = 1; i < 8 && b.rx_cnt < b.rx_size; i++) b.rx[b.rx_cnt++] = i < m.len ? d[i] : 0;
    if (!(d[0] & 0x80)) {
        if (seq >= b.rx_segs) {
            b.rx_on = 0;
            ProgAbort(ServerTx(s), SDO_ABORT_BLKSIZE);
        }
        return;
    }
    b.rx_on = 0;
    if (seq != b.rx_segs) {
        ProgAbort(ServerTx(s), SDO_ABORT_BLKSIZE);
        return;
    }
    const uint8_t node = b.rx[0];
    // An id with bit 7 would put the replies on the NMT identifier.
    if (node & 0x80) {
        ProgAbort(ServerTx(s), SDO_ABORT_PARAM);
        return;
    }
    const uint8_t a[8] = {0xA2, seq, b.rx_segs, 0, 0, 0, 0, 0};
    CANOpenSend(ServerTx(s), 8, a);
    // A sender id of 0 is a tool like any other: its replies go to 0x600.
    if (co.Node_id == 0) return;  // no node to claim the port for
    // A node's answer to a forwarded command goes to the conversation that
    // forwards it; otherwise the block claims the port for the CAN host.
    const bool forwarding = Vcomm_Mode == 1 && Vcomm_Lock != 0;
    const bool ours = Vcomm_Mode == 2 && Vcomm_Host == 0 && Vcomm_Lock != 0;
    if (!forwarding && !ours && Vcomm_ModeSet(0, 0, 2, 2) != 0) return;  // busy with another host
    if (!forwarding) {
        b.reply_node = node;
        b.reply_known = 1;
    }
    for (uint16_t i = 1; i < b.rx_size; i++) {
        QnCAN_HostQue.buf[QnCAN_HostQue.in] = b.rx[i];
        QnCAN_HostQue.in = uint16_t((QnCAN_HostQue.in + 1) & 0xFF);
    }
}

uint32_t CANOpenBlockReplyRx(const CanMsg &m) {
    CoBlock &b = co_blk;
    if (b.tx_state == 0 || m.id != b.tx_listen || m.len < 1) return 0;
    const uint8_t *d = m.data.data();
    const uint8_t cmd = d[0] & 0xE0;
    if (cmd == 0x80) {
        ReplyEnd();
        return 1;
    }
    if (m.len < 8) return 1;
    if (b.tx_state == 1 && (d[0] & 0xE3) == 0xA0) {
        if (d[4] != b.tx_segs) {
            ProgAbort(b.tx_cob, SDO_ABORT_BLKSIZE);
            ReplyEnd();
            return 1;
        }
        b.tx_state = 2;
        b.tx_last = Now() - kSegGap;
        return 1;
    }
    if (b.tx_state == 3 && (d[0] & 0xE3) == 0xA2) {
        if (d[1] == b.tx_segs && d[2] == b.tx_segs) ReplyEnd();
        return 1;
    }
    return 1;
}

void CANOpenBlockTx() {
    CoBlock &b = co_blk;
    if (b.tx_state != 1 && b.tx_state != 2 && b.tx_state != 3) return;  // no reply under way
    const uint32_t now = Now();
    if ((b.tx_state == 1 || b.tx_state == 3) && now - b.tx_time >= kReplyTimeout) {
        ReplyEnd();  // the tool did not answer: the channel goes on
        return;
    }
    if (b.tx_state != 2 || now - b.tx_last < kSegGap) return;
    const uint16_t pos = uint16_t(7u * b.tx_seq);
    if (NEVER(pos >= b.tx_cnt)) {  // the last segment ends the sending state
        ReplyEnd();
        return;
    }
    const uint16_t rem = uint16_t(b.tx_cnt - pos);
    const bool last = rem <= 7;
    const uint8_t n = uint8_t(last ? rem : 7);
    uint8_t d[8] = {};
    d[0] = uint8_t((b.tx_seq + 1) | (last ? 0x80 : 0));
    std::memcpy(d + 1, b.tx.data() + pos, n);
    if (!CANOpenSend(b.tx_cob, uint8_t(1 + n), d)) return;
    b.tx_seq++;
    b.tx_last = now;
    if (last) {
        b.tx_state = 3;
        b.tx_time = now;
    }
}

uint32_t Net_CheckRx() { return QnCAN_HostQue.in != QnCAN_HostQue.out ? 1 : 0; }

uint8_t Net_GetRx() {
    const uint8_t c = QnCAN_HostQue.buf[QnCAN_HostQue.out];
    if (QnCAN_HostQue.in != QnCAN_HostQue.out) QnCAN_HostQue.out = uint16_t((QnCAN_HostQue.out + 1) & 0xFF);
    return c;
}

void Net_FlushRx() { QnCAN_HostQue.in = QnCAN_HostQue.out = 0; }

void CANOpen_PutByte(const uint8_t *data, uint32_t length, uint32_t mode) {
    if (data == nullptr || length == 0) return;
    CoBlock &b = co_blk;
    uint8_t node = b.reply_node;
    bool known = b.reply_known;
    if (mode == 1) {
        // Forwarding: a command frame names the target node in its first data
        // byte (the third byte, or the fifth after a long length's 0xFF and
        // two bytes). The rest of the conversation (data frames, answer
        // bytes) names none and goes to that same node, not to the CAN tool
        // of an earlier conversation.
        const uint32_t at = length > 1 && data[1] == 0xFF ? 4 : 2;
        if (length > at && data[0] != 0xFF) {
            b.fwd_node = data[at] & 0x7F;
            b.fwd_known = b.fwd_node != 0;  // a target of 0: nothing is sent
        }
        node = b.fwd_node;
        known = b.fwd_known;
    }
    if (!known) return;
    if (b.next_cnt > 0 && b.next_node != node) return;  // one tool at a time
    // Bytes wait while a reply is on its way; they follow as the next blocks
    // of at most 257 bytes each. What does not fit is dropped whole, never cut.
    if (length > b.next.size() - b.next_cnt) return;
    std::memcpy(b.next.data() + b.next_cnt, data, length);
    b.next_cnt = uint16_t(b.next_cnt + length);
    b.next_node = node;
    if (b.tx_state == 0) ReplyStart();
}

// ---- user operations ------------------------------------------------------------------------------
namespace {

bool Running() { return co.NMT_State == NMT_OPER || co.NMT_State == NMT_PREOP; }

uint64_t emcy_owner;

// Key of a ladder user of the SDO client or the EMCY slot: its form in the
// top bits, its status place below. 64 bits wide on every target, so that the
// form stays apart from the place on the 32-bit board as well (an IEC user's
// key is its status variable's address, which never reaches bit 60).
uint64_t UserKey(uint64_t form, uint32_t place) { return form << 60 | place; }

// The user gives the client back. The client's transfer is cleared only
// when it is the user's (running, or finished and not yet taken): one the
// NMT master's boot-up started since runs on.
void ReleaseClient(uint64_t key) {
    if (SDO_St.owner != key) return;
    SDO_St.owner = 0;
    if (SDO_St.flags & SDO_F_USER) SDO_St.flags &= uint8_t(~(SDO_F_CLIENT | SDO_F_USER | SDO_F_DONE | SDO_F_ABORTED));
}

struct SdoJob {
    uint8_t node;
    uint16_t index;
    uint8_t sub;
    bool write;
    const uint8_t *data;  // write data
    uint32_t len;         // write length
    uint8_t *out;         // read data
    uint32_t out_max;
    uint32_t out_len;
    uint32_t abort;
};

// Local access of the own dictionary, with the server's transfer kept aside.
uint16_t LocalAccess(SdoJob &j) {
    static SdoState saved;
    saved = SDO_St;
    SDO_St.index = j.index;
    SDO_St.sub = j.sub;
    if (j.write) {
        SDO_St.flags &= uint8_t(~SDO_F_UPLOAD);
        SDO_St.cnt = uint16_t(j.len > SDO_BUF ? SDO_BUF : j.len);
        std::memcpy(SDO_St.buf.data(), j.data, SDO_St.cnt);
    } else {
        SDO_St.flags |= SDO_F_UPLOAD;
        SDO_St.cnt = 0;
    }
    const uint32_t err = CANOpenODAccess();
    if (!err && !j.write) {
        j.out_len = SDO_St.cnt < j.out_max ? SDO_St.cnt : j.out_max;
        std::memcpy(j.out, SDO_St.buf.data(), j.out_len);
    }
    const SdoState now = SDO_St;
    SDO_St = saved;
    // keep what the access changed in the dictionary (server COB-IDs)
    SDO_St.rx_cob = now.rx_cob;
    SDO_St.tx_cob = now.tx_cob;
    SDO_St.count = now.count;
    j.abort = err;
    return err ? 1 : 0;
}

uint16_t SdoCycle(uint16_t status, uint32_t enable, uint64_t key, SdoJob &j) {
    if (!enable) {
        ReleaseClient(key);
        return 255;
    }
    if (status == 255) {
        if ((SDO_St.flags & SDO_F_CLIENT) && !(SDO_St.flags & SDO_F_USER)) return 33;
        if (SDO_St.owner != 0 && SDO_St.owner != key) return 32;
        if ((j.node & 0x80) || j.sub == 255) return 38;
        if (!Running()) {
            j.abort = SDO_ABORT_STATE;
            return 34;
        }
        if (j.node == 0) return LocalAccess(j);
        if (!co.master) return 36;
        if (j.write && (j.len == 0 || j.len > 4)) {
            // only expedited downloads are started
            j.abort = j.len == 0 ? SDO_ABORT_SHORT : SDO_ABORT_LONG;
            return 1;
        }
        SDO_St.client_cob = 0x600u + j.node;
        SDO_St.client_listen = 0x580u + j.node;
        SDO_St.req_index = j.index;
        SDO_St.req_sub = j.sub;
        SDO_St.owner = key;
        SDO_St.flags |= SDO_F_USER;
        uint32_t ok;
        if (j.write) {
            SDO_St.ccnt = uint8_t(j.len);
            SDO_St.cbuf = {};
            std::memcpy(SDO_St.cbuf.data(), j.data, j.len);
            ok = CANOpenCSDODwnInit(1);
        } else {
            ok = CANOpenCSDOUpldInit(1);
        }
        if (!ok) {
            ReleaseClient(key);
            return 34;
        }
        return 254;
    }
    if (status == 254) {
        // Not the user's transfer any more: the boot-up took the client.
        if (SDO_St.owner != key || !(SDO_St.flags & SDO_F_USER)) return 35;
        if (SDO_St.flags & SDO_F_DONE) {
            // taken: the client's next transfer is no longer the user's
            SDO_St.flags &= uint8_t(~(SDO_F_DONE | SDO_F_USER));
            if (SDO_St.flags & SDO_F_ABORTED) {
                j.abort = LE_Get32(SDO_St.cbuf.data());
                return 1;
            }
            if (!j.write) {
                j.out_len = SDO_St.ccnt < j.out_max ? SDO_St.ccnt : j.out_max;
                std::memcpy(j.out, SDO_St.cbuf.data(), j.out_len);
            }
            return 0;
        }
        if (!(SDO_St.flags & SDO_F_CLIENT)) {
            SDO_St.flags &= uint8_t(~SDO_F_USER);
            return 35;
        }
        return 254;
    }
    return status;
}

uint16_t NmtCycle(uint16_t status, uint32_t enable, uint8_t node, uint8_t command) {
    if (!enable) return 255;
    if (status != 255) return status;
    if (!co.master) return 36;
    if (node & 0x80) return 38;
    return CANOpenNMTSend(node, command) ? 0 : 34;
}

uint16_t EmcyCycle(uint16_t status, uint32_t enable, uint64_t key, bool any, uint16_t node, uint8_t *data,
                   uint16_t *from) {
    if (!enable) {
        if (emcy_owner == key) {
            Emcy_RecMsg.flags = 0;
            emcy_owner = 0;
        }
        return 255;
    }
    if (status == 255) {
        if ((Emcy_RecMsg.flags & 1) || (emcy_owner != 0 && emcy_owner != key)) return 37;
        if (!any && (node < 1 || node > 127)) return 38;
        Emcy_RecMsg.flags = 1;
        Emcy_RecMsg.node = any ? 0 : node;
        emcy_owner = key;
        return 254;
    }
    if (status == 254) {
        if (emcy_owner != key) return 35;
        if (Emcy_RecMsg.flags == 0) {
            // A restart of the node emptied the slot under this wait (neither
            // armed nor received): armed again, the wait goes on instead of
            // waiting for a frame the slot no longer takes.
            if (!any && (node < 1 || node > 127)) {
                emcy_owner = 0;
                return 38;
            }
            Emcy_RecMsg.flags = 1;
            Emcy_RecMsg.node = any ? 0 : node;
            return 254;
        }
        if (!(Emcy_RecMsg.flags & 2)) return 254;
        std::memcpy(data, Emcy_RecMsg.data.data(), 8);
        if (from != nullptr) *from = Emcy_RecMsg.node;
        Emcy_RecMsg.flags = 0;
        emcy_owner = 0;
        return 0;
    }
    return status;
}

// Own state for node 0, else the state a slave reported (master only).
// Answers 1 and the state, or 0 when nothing may be written.
uint32_t NodeState(uint8_t node, uint8_t *state) {
    if (node == 0) {
        *state = co.NMT_State;
        return 1;
    }
    if (!co.master) return 0;
    for (unsigned i = 0; i < co.count; i++) {
        if (co_nodes[i].id == node && co_nodes[i].state != 0xFE) {
            *state = co_nodes[i].state;
            return 1;
        }
    }
    return 0;
}

// ---- register helpers of the ladder block ------------------------------------------------------
uint32_t RegGet(uint32_t addr, uint32_t bits) {
    uint32_t v = 0;
    return CANOpenGetData(&v, 0xA000, bits, addr) ? v : 0;
}
bool RegSet(uint32_t addr, uint32_t bits, uint32_t v) { return CANOpenSetData(v, 0xA480, bits, addr) != 0; }
void RegBytesGet(uint32_t addr, uint8_t *out, uint32_t n) {
    for (uint32_t i = 0; i < n; i++) out[i] = uint8_t(RegGet(addr + 8 * i, 8));
}
void RegBytesSet(uint32_t addr, const uint8_t *in, uint32_t n) {
    for (uint32_t i = 0; i < n; i++) RegSet(addr + 8 * i, 8, in[i]);
}

struct Operand {
    uint16_t value, flag;
};
Operand TakeOp(const uint16_t *&t) {
    const Operand o{t[0], t[1]};
    t += 2;
    return o;
}
uint32_t OpValue(const Operand &o, uint32_t bits) { return (o.flag >> 8) ? o.value : RegGet(o.value, bits); }

// Block form: parameter block p, result block r (bit addresses).
uint32_t BlockForm(uint8_t fn, uint32_t p, uint32_t r, uint32_t enable) {
    const uint8_t base = fn & 0x0F;
    uint16_t status = uint16_t(RegGet(r, 16));
    switch (base) {
    case 0:
    case 1: {
        uint8_t data[32] = {};
        SdoJob j{};
        j.node = uint8_t(RegGet(p, 8));
        j.index = uint16_t(RegGet(p + 16, 16));
        j.sub = uint8_t(RegGet(p + 32, 8));
        j.write = base == 0;
        j.len = RegGet(p + 48, 8) & 0x1F;
        if (j.write) RegBytesGet(p + 64, data, j.len);
        j.data = data;
        uint8_t out[31] = {};
        j.out = out;
        j.out_max = sizeof out;
        const uint16_t before = status;
        status = SdoCycle(status, enable, UserKey(1, r), j);
        if (status != before) {
            if (status == 1 || status == 34) RegSet(r + 16, 32, j.abort);
            if (status == 0 && !j.write) {
                RegSet(r + 48, 16, j.out_len);
                RegBytesSet(r + 64, out, j.out_len);
            }
            RegSet(r, 16, status);
        }
        return status == 0 ? 1 : 0;
    }
    case 2: return RegSet(r, 16, co.Node_id) ? 1 : 0;
    case 3: {
        uint8_t state = 0;
        if (!NodeState(uint8_t(RegGet(p, 8)), &state)) return 0;
        RegSet(r, 16, state);
        return 1;
    }
    case 4:
        status = NmtCycle(status, enable, uint8_t(RegGet(p, 8)), uint8_t(RegGet(p + 16, 8)));
        RegSet(r, 16, status);
        return status == 0 ? 1 : 0;
    case 5:
    case 6: {
        uint8_t data[8];
        uint16_t from = 0;
        const uint16_t before = status;
        status = EmcyCycle(status, enable, UserKey(2, r), base == 6, uint16_t(RegGet(p, 8)), data, &from);
        if (status == 0 && before == 254) {
            if (base == 6) {
                RegSet(r + 16, 16, from);
                RegBytesSet(r + 32, data, 8);
            } else {
                RegBytesSet(r + 16, data, 8);
            }
        }
        RegSet(r, 16, status);
        return status == 0 ? 1 : 0;
    }
    default: return 0;
    }
}

uint32_t OperandForm(uint8_t fn, const uint16_t *&t, uint32_t enable) {
    switch (fn & 0x0F) {
    case 0:
    case 1: {
        const bool write = (fn & 0x0F) == 0;
        SdoJob j{};
        j.write = write;
        j.node = uint8_t(OpValue(TakeOp(t), 8));
        j.index = uint16_t(OpValue(TakeOp(t), 16));
        j.sub = uint8_t(OpValue(TakeOp(t), 8));
        uint8_t data[32] = {};
        uint32_t status_addr, abort_addr, len_addr = 0, data_addr = 0;
        if (write) {
            const Operand lo = TakeOp(t);
            j.len = OpValue(lo, 16) & 0x1F;
            const Operand d = TakeOp(t);
            if (lo.flag & 0xFF) {
                const uint32_t c = uint32_t(d.value) | uint32_t(d.flag) << 16;
                if (j.len > 4) j.len = 4;
                LE_Put32(data, c);
            } else {
                RegBytesGet(d.value, data, j.len);
            }
            status_addr = TakeOp(t).value;
            abort_addr = TakeOp(t).value;
        } else {
            status_addr = TakeOp(t).value;
            abort_addr = TakeOp(t).value;
            len_addr = TakeOp(t).value;
            data_addr = TakeOp(t).value;
        }
        const uint32_t instance = OpValue(TakeOp(t), 16);
        if (instance > 255) return 0;
        j.data = data;
        uint8_t out[31] = {};
        j.out = out;
        j.out_max = sizeof out;
        uint16_t &status = SDO_KernelStatus[instance];
        const uint16_t before = status;
        status = SdoCycle(status, enable, UserKey(3, instance), j);
        if (status != before) {
            if (status == 1 || status == 34) RegSet(abort_addr, 32, j.abort);
            if (status == 0 && !write) {
                RegSet(len_addr, 16, j.out_len);
                RegBytesSet(data_addr, out, j.out_len);
            }
        }
        RegSet(status_addr, 16, status);
        return status == 0 ? 1 : 0;
    }
    case 2: return RegSet(TakeOp(t).value, 16, co.Node_id) ? 1 : 0;
    case 3: {
        const uint8_t node = uint8_t(OpValue(TakeOp(t), 8));
        const uint32_t res = TakeOp(t).value;
        uint8_t state = 0;
        if (!NodeState(node, &state)) return 0;
        RegSet(res, 16, state);
        return 1;
    }
    case 4: {
        const uint8_t node = uint8_t(OpValue(TakeOp(t), 8));
        const uint8_t cmd = uint8_t(OpValue(TakeOp(t), 8));
        const uint32_t st = TakeOp(t).value;
        const uint16_t status = NmtCycle(uint16_t(RegGet(st, 16)), enable, node, cmd);
        RegSet(st, 16, status);
        return status == 0 ? 1 : 0;
    }
    case 5:
    case 6: {
        const bool any = (fn & 0x0F) == 6;
        const uint16_t node = any ? 0 : uint16_t(OpValue(TakeOp(t), 16));
        const uint32_t st = TakeOp(t).value;
        const uint32_t da = TakeOp(t).value;
        uint8_t data[8];
        uint16_t from = 0;
        const uint16_t before = uint16_t(RegGet(st, 16));
        const uint16_t status = EmcyCycle(before, enable, UserKey(4, st), any, node, data, &from);
        if (status == 0 && before == 254) {
            if (any) {
                RegSet(da, 16, from);
                RegBytesSet(da + 16, data, 8);
            } else {
                RegBytesSet(da, data, 8);
            }
        }
        RegSet(st, 16, status);
        return status == 0 ? 1 : 0;
    }
    default: return 0;
    }
}

}  // namespace

uint32_t CANOpenLadrWords(uint16_t first) {
    const uint8_t fn = uint8_t(first), base = fn & 0x0F;
    const bool known = base <= 6 && (!(fn & 0x10) || base == 0 || base == 1 || base == 4 || base == 5 || base == 6) &&
                       (fn & 0xE0) == 0;
    if (!(first & 0x8000)) return (fn & 0x10) ? 3 : 5;
    if (!known) return 1;
    static constexpr uint8_t kOperands[7] = {8, 8, 1, 2, 3, 3, 2};
    return 1 + 2u * kOperands[base];
}

uint32_t CANOpenLadrBlock(const uint16_t **token, uint32_t enable) {
    if (token == nullptr || *token == nullptr) return 0;
    const uint16_t *t = *token;
    const uint16_t w = *t++;
    const uint8_t fn = uint8_t(w);
    uint32_t rung = 0;
    const uint8_t base = fn & 0x0F;
    const bool known = base <= 6 && (!(fn & 0x10) || base == 0 || base == 1 || base == 4 || base == 5 || base == 6) &&
                       (fn & 0xE0) == 0;
    if (w & 0x8000) {
        if (known) {
            rung = OperandForm(fn, t, enable);
        }
    } else {
        uint32_t p, r;
        if (fn & 0x10) {
            p = (RegGet(t[0], 32) + 128u) * 8u;
            r = (RegGet(t[1], 32) + 128u) * 8u;
            t += 2;
        } else {
            p = uint32_t(t[0]) | uint32_t(t[1]) << 16;
            r = uint32_t(t[2]) | uint32_t(t[3]) << 16;
            t += 4;
        }
        if (known) rung = BlockForm(fn, p, r, enable);
    }
    *token = t;
    return rung;
}

// ---- IEC helpers ------------------------------------------------------------------------------
namespace {
template <typename T>
T Rd(void *const *op, unsigned i) {
    T v{};
    std::memcpy(&v, op[i], sizeof v);
    return v;
}
template <typename T>
void Wr(void *const *op, unsigned i, T v) {
    std::memcpy(op[i], &v, sizeof v);
}
}  // namespace

uint32_t Z7_get_node_id() { return co.Node_id; }

uint32_t Z7_get_state(void *const *op, uint32_t) {
    uint8_t state = 0;
    if (!NodeState(Rd<uint8_t>(op, 0), &state)) return 0;
    Wr<uint8_t>(op, 1, state);
    return 1;
}

uint32_t Z7_set_nmt_state(void *const *op, uint32_t enable) {
    const uint16_t status = NmtCycle(Rd<uint16_t>(op, 2), enable, Rd<uint8_t>(op, 0), uint8_t(Rd<uint16_t>(op, 1)));
    Wr<uint16_t>(op, 2, status);
    return status == 0 ? 1 : 0;
}

namespace {
// The IEC SDO calls: node, index and subindex in operands 0 to 2, the status
// word in operand 3 (also the job's key), the abort code to operand 4 when a
// job ends in failure (status 1 or 34). Runs one cycle of job j and answers
// its status; the one before into *before.
uint16_t IecSdoCycle(void *const *op, uint32_t enable, SdoJob &j, uint16_t *before) {
    j.node = Rd<uint8_t>(op, 0);
    j.index = Rd<uint16_t>(op, 1);
    // The sub-index operand is 16 bits wide: a value above 255 names no
    // sub-index and is refused like 255 (38), never cut to its low byte.
    const uint16_t sub = Rd<uint16_t>(op, 2);
    j.sub = sub > 255 ? uint8_t(255) : uint8_t(sub);
    *before = Rd<uint16_t>(op, 3);
    const uint16_t status = SdoCycle(*before, enable, reinterpret_cast<uintptr_t>(op[3]), j);
    if (status != *before && (status == 1 || status == 34)) Wr<uint32_t>(op, 4, j.abort);
    return status;
}
}  // namespace

uint32_t Z7_canopen_sdo_read(void *const *op, uint32_t enable, uint32_t data_room) {
    SdoJob j{};
    uint8_t out[SDO_BUF];
    j.out = out;
    j.out_max = 8;
    uint16_t before = 0;
    const uint16_t status = IecSdoCycle(op, enable, j, &before);
    if (status != before && status == 0) {
        // The length tells what the object held; the data stop at the room
        // the caller's result array has.
        Wr<uint8_t>(op, 6, uint8_t(j.out_len));
        std::memcpy(op[7], out, std::min(j.out_len, data_room));
    }
    Wr<uint16_t>(op, 3, status);
    return status == 0 ? 1 : 0;
}

uint32_t Z7_canopen_sdo_write(void *const *op, uint32_t enable) {
    SdoJob j{};
    j.write = true;
    j.len = Rd<uint16_t>(op, 6);
    if (j.len > SDO_BUF) j.len = SDO_BUF;
    j.data = static_cast<const uint8_t *>(op[7]);
    uint16_t before = 0;
    const uint16_t status = IecSdoCycle(op, enable, j, &before);
    Wr<uint16_t>(op, 3, status);
    return status == 0 ? 1 : 0;
}

uint32_t Z7_canopen_rec_emrgency(void *const *op, uint32_t enable) {
    const uint16_t status = EmcyCycle(Rd<uint16_t>(op, 1), enable, reinterpret_cast<uintptr_t>(op[1]), false,
                                      Rd<uint16_t>(op, 0), static_cast<uint8_t *>(op[2]), nullptr);
    Wr<uint16_t>(op, 1, status);
    return 0;
}

uint32_t Z7_canopen_rec_emrgency_any(void *const *op, uint32_t enable) {
    uint8_t data[8];
    const uint16_t before = Rd<uint16_t>(op, 0);
    const uint16_t status = EmcyCycle(before, enable, reinterpret_cast<uintptr_t>(op[0]), true, 0, data, nullptr);
    if (status == 0 && before == 254) std::memcpy(op[1], data, 8);
    Wr<uint16_t>(op, 0, status);
    return 0;
}
