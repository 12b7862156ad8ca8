// Talk layer: the ladder and IEC port blocks that take the programming port
// from the command protocol, move bytes through it and give it back, and the
// arbitration of the port against the protocol manager and a mailbox host.
#include "messaging/talk.h"

#include <cstring>

#include "core/image/bytes.h"
#include "core/image/plcreg.h"
#include "iec/blocks/blkmodbus.h"
#include "iec/services/z7svc.h"
#include "iec/vm/z7mem.h"
#include "ladder/ladder.h"
#include "messaging/messaging.h"
#include "messaging/msghooks.h"
#include "platform/plat_assert.h"
#include "protocols/mbserial.h"

TalkRec Talk;
uint8_t TalkOverride;
uint8_t TalkModemProtect;
std::array<uint8_t, 8> temp_open;

namespace {

constexpr uint32_t kWords = PLC_REG_SIZE / 2;
// Highest value of each open parameter read from registers: baud, parity,
// data bits, stop bits, handshake, protocol mode, option nibble.
constexpr std::array<uint16_t, 7> kOpenMax = {12, 4, 3, 1, 5, 4, 13};

bool FirstScan() { return plc_reg[SBITS_LO] & S_FIRST_SCAN; }

uint32_t PortModeOf(const uint8_t *m) { return m[5] & 0x0F; }

// Needed port mode of send, receive and modem blocks.
uint32_t NeededMode() { return Talk.opened ? 1 : 2; }

// Word of the stream; 0 past its end (the cursor is then bad).
uint16_t Word(LadCursor *pc) {
    if (pc->pos >= pc->end) {
        pc->bad = 1;
        return 0;
    }
    const uint16_t w = LE_Get16(pc->code + 2 * std::size_t(pc->pos));
    pc->pos++;
    return w;
}

// Extended-layout window brought to the linear numbering.
uint32_t Remap(uint32_t r) {
    if (r >= REG_ET_FIRST && r < REG_ET_END) return r - 0x10008000u + 0xCC400u;
    if (r >= REG_EM_FIRST && r < REG_EM_END) return r - 0x1001C000u + 0xD0400u;
    if (r >= REG_ESR_FIRST && r < REG_ESR_END) return r - 0x10030000u + 0xD4400u;
    return r;
}

// Operand of the send and receive forms: 16-bit layout one word (or a
// 1776/1777 prefix and a word), else a 32-bit bit address.
uint32_t Operand(LadCursor *pc) {
    if (RegTokLen_16b) {
        const uint32_t w = Word(pc);
        if (w == 1776) return 0x10000u + Word(pc);
        if (w == 1777) return 0x20000u + Word(pc);
        return w;
    }
    const uint32_t lo = Word(pc);
    return Remap(lo | (uint32_t(Word(pc)) << 16));
}

// A constant stays what it is; a register becomes its word index.
uint32_t WordIndex(uint32_t op) { return op < 1024 ? op : (op - 1024) / 16; }

uint16_t GetW(uint32_t w) { return w < kWords ? PlcWord(w) : 0; }

// Memory a transfer's buffer lies in: the register image (ladder forms) or
// the VM arena (IEC forms); null when len bytes at addr are not all inside.
using SpaceFn = uint8_t *(*)(uint32_t addr, uint32_t len);
uint8_t *ImageSpace(uint32_t off, uint32_t len) {
    return off <= PLC_REG_SIZE && len <= PLC_REG_SIZE - off ? &plc_reg[off] : nullptr;
}
uint8_t *ArenaSpace(uint32_t off, uint32_t len) { return Z7Mem_Ptr(off, len); }

// One send or receive step. prog is the progress word W (u16 LE); start the
// buffer's first byte in its space, TALK_NOPOS when the buffer operand is
// refused (checked only when a transfer starts), end the first byte past
// the buffer: a transfer continued with a larger count stops there.
uint32_t TransferStep(bool send, SpaceFn space, uint8_t *prog, uint32_t count, uint32_t start, uint32_t end,
                      uint32_t power) {
    if (FirstScan()) LE_Put16(prog, 0xFFFF);
    if (!power || Vcomm_Protocol(0) < NeededMode()) {
        LE_Put16(prog, 0xFFFF);
        return 0;
    }
    if (count > 255) return 0;
    uint32_t &pos = send ? Talk.send_pos : Talk.recv_pos;
    uint32_t &lim = send ? Talk.send_end : Talk.recv_end;
    uint16_t w = LE_Get16(prog);
    if (w == 0xFFFF) {
        if (start == TALK_NOPOS) return 0;
        w = 0;
        LE_Put16(prog, 0);
        pos = start;
        lim = end;
    } else if (pos == TALK_NOPOS) {
        return 0;
    }
    uint8_t *b = nullptr;
    if (send) {
        if (IsModemSocketActive(0, 0)) {
            // Bytes the socket refuses are not counted: they are sent again.
            while (w < count && pos < lim && (b = space(pos, 1)) != nullptr && ModemDataSend(0, b, 1, 1) == 0) {
                pos++;
                w++;
            }
        } else {
            while (w < count && pos < lim && (b = space(pos, 1)) != nullptr && Msg_CheckTx(0)) {
                Msg_PutTx(0, *b);
                Msg_RtuTx(0);
                pos++;
                w++;
            }
        }
    } else {
        if (IsModemSocketActive(0, 0)) {
            while (w < count && pos < lim && (b = space(pos, 1)) != nullptr && ModemCheckRecv(0) == 1) {
                *b = ModemDataRecv(0);
                pos++;
                w++;
            }
        } else {
            while (w < count && pos < lim && (b = space(pos, 1)) != nullptr && Msg_CheckRx(0) == 1) {
                *b = Msg_GetRx(0);
                pos++;
                w++;
            }
        }
    }
    LE_Put16(prog, w);
    return w == count ? 1 : 0;
}

// Ladder send or receive on operands already parsed (word indexes).
uint32_t Transfer(bool send, uint32_t port, uint32_t count_op, uint32_t buf_op, uint32_t prog_op, uint32_t indirect,
                  uint32_t power) {
    if (port != 0) return 0;
    const uint32_t pw = WordIndex(prog_op);
    if (prog_op < 1024 || pw < 1024 || pw >= kWords) return 0;
    const uint32_t ci = WordIndex(count_op);
    const uint32_t count = (count_op >= 1024 && ci >= 1024) ? GetW(ci) : ci;
    const uint32_t bi = WordIndex(buf_op);
    uint32_t start = TALK_NOPOS;
    if (!(send && (buf_op < 1024 || bi < 1024)) && buf_op >= 1024 && bi < kWords) {
        if (!indirect)
            start = 2 * bi;
        else if (bi + 1 < kWords)
            start = PlcDword(bi);
    }
    return TransferStep(send, ImageSpace, &plc_reg[2 * pw], count, start, PLC_REG_SIZE, power);
}

uint32_t OpenCore(uintptr_t id, const uint8_t *mode, uint32_t enable, bool z7) {
    if (TalkOverride) return 0;
    if ((Vcomm_Lock & 2) && Vcomm_Host == 0) return 0;
    if (Talk.open_owner != 0 && Talk.open_owner != id) return 0;
    if (z7 && Vcomm_Protocol(0) == 6) return 0;
    if (FirstScan()) Talk.open_enable = 0;
    enable = enable ? 1 : 0;
    if (enable == Talk.open_enable) return enable ? (Vcomm_Protocol(0) == PortModeOf(mode) ? 1 : 0) : 0;
    Talk.open_enable = uint8_t(enable);
    if (enable) {
        Msg_Open(0, mode);
        Talk.open_owner = id;
        if (PortModeOf(mode) == 1) Msg_SetCmdOverride(1);
        const bool reached = Vcomm_Protocol(0) == PortModeOf(mode);
        if (reached) Talk.opened = 1;
        return reached ? 1 : 0;
    }
    Talk.open_owner = 0;
    Msg_SetCmdOverride(0);
    return 0;
}

uint32_t CloseCore(uintptr_t id, uint32_t port, uint32_t enable) {
    if (port != 0 || TalkOverride) return 0;
    if (Vcomm_Lock != 0 && Vcomm_Host == 0) return 0;
    if (Talk.close_owner != 0 && Talk.close_owner != id) return 0;
    if (FirstScan()) Talk.close_enable = 0;
    enable = enable ? 1 : 0;
    if (enable == Talk.close_enable) {
        if (!enable || Msg_CmdOverride()) return 0;
        return Vcomm_Protocol(0) < 2 ? 1 : 0;
    }
    Talk.close_enable = uint8_t(enable);
    if (!enable) {
        Talk.close_owner = 0;
        return 0;
    }
    // A modem request keeps running: a program closes the port to give an
    // established call to the command protocol, and stopping the request
    // would hang it up. The request's own enable stops it once the port is
    // the program's again (its stored enable still differs then).
    Msg_Open(0, qncan_mode.data());
    Talk.close_owner = id;
    Msg_SetCmdOverride(0);
    const bool back = Vcomm_Protocol(0) < 2;
    if (back) Talk.opened = 0;
    return back ? 1 : 0;
}

// Modem step shared by the ladder and IEC forms: req.kind already checked.
uint32_t ModemCore(uint32_t port, const ModemReq &req, uint32_t enable, bool status_ok, bool z7) {
    if (port != 0) return 0;
    if (FirstScan()) {
        if (!TalkModemProtect && status_ok) ModemSetStatus(req, MODEM_IDLE);
    } else {
        TalkModemProtect = 0;
    }
    if (Vcomm_Protocol(0) < NeededMode()) return 0;
    const uint32_t k = req.kind;
    if (NEVER(k >= Talk.modem_enable.size())) return 0;  // both forms refuse other kinds first
    enable = enable ? 1 : 0;
    if (enable != Talk.modem_enable[k]) {
        uint32_t ok;
        if (enable) {
            if (!Talk.modem_init) {
                ModemInit(port);
                Talk.modem_init = 1;
            }
            if (!status_ok) return 0;
            ok = ModemStart(port, req);
        } else {
            ok = ModemStop(port, k);
        }
        if (ok) Talk.modem_enable[k] = uint8_t(enable);
    }
    if (!enable) return 0;
    return z7 ? (Z7ModemExecute(port, k) & 0xFF) : ModemExecute(port, k);
}

}  // namespace

// ---- arbitration -------------------------------------------------------------------

bool Talk_Override(uint32_t port) {
    if (port != 0 || TalkOverride) return false;
    TalkOverride = 1;
    return true;
}

void Talk_Release(uint32_t port) {
    if (port == 0) TalkOverride = 0;
}

uint32_t TalkOpened(uint32_t port) { return port == 0 ? Talk.opened : 0; }

void TalkClosed(uint32_t port) {
    if (port == 0) Talk.opened = 0;
}

void TalkInit() {
    // The modem of a port that is back in command mode survives a program
    // start when a dial or answer request held it; the override claim of the
    // protocol manager or a host is not touched.
    const std::array<uint8_t, 3> en = Talk.modem_enable;
    const uint8_t init = Talk.modem_init;
    Talk = TalkRec{};
    Talk.send_pos = Talk.recv_pos = TALK_NOPOS;
    if (PlcWord(W_PORTPROTO) == 1 && init && (en[1] || en[2])) {
        Talk.modem_enable = en;
        Talk.modem_init = init;
        TalkModemProtect = 1;
    }
}

// ---- ladder forms ------------------------------------------------------------------

uint32_t TalkOpen(LadCursor *pc, uint32_t power) {
    std::array<uint8_t, 8> rec{};
    for (unsigned i = 0; i < 4; i++) LE_Put16(&rec[2 * i], Word(pc));
    if (pc->bad) return 0;
    const uint16_t pw = LE_Get16(&rec[0]);
    const uintptr_t id = reinterpret_cast<uintptr_t>(pc->code) + 2 * std::size_t(pc->pos);
    const uint8_t *mode = &rec[2];
    if (pw == 0x4000 || pw == 0x6000) {
        uint32_t addr = LE_Get32(&rec[2]);
        uint8_t b[2];
        if (pw == 0x6000) {
            if (!PlcReg_Get(b, addr, 16)) return 0;
            addr += (LE_Get16(b) / 2u) * 16u;
        }
        if (!PlcReg_Get(b, addr, 16) || LE_Get16(b) != 0) return 0;
        if ((power ? 1 : 0) != Talk.open_enable) {
            std::array<uint8_t, 6> m{};
            for (unsigned i = 0; i < 7; i++) {
                if (!PlcReg_Get(b, addr + 16 * (i + 1), 16)) return 0;
                const uint16_t v = LE_Get16(b);
                if (v > kOpenMax[i]) return 0;
                if (i < 6)
                    m[i] = uint8_t(v);
                else
                    m[5] = uint8_t(m[5] | (v << 4));
            }
            temp_open = {0, 0, m[0], m[1], m[2], m[3], m[4], m[5]};
        }
        mode = &temp_open[2];
    } else if (pw != 0) {
        return 0;
    }
    return OpenCore(id, mode, power, false);
}

uint32_t TalkClose(LadCursor *pc, uint32_t power) {
    const uintptr_t id = reinterpret_cast<uintptr_t>(pc->code) + 2 * std::size_t(pc->pos);
    const uint16_t port = Word(pc);
    if (pc->bad) return 0;
    return CloseCore(id, port, power);
}

uint32_t IEC_TalkSend(LadCursor *pc, uint32_t power, uint32_t indirect) {
    const uint32_t port = Word(pc);
    const uint32_t c = Operand(pc), b = Operand(pc), p = Operand(pc);
    if (pc->bad) return 0;
    return Transfer(true, port, c, b, p, indirect, power);
}

uint32_t IEC_TalkReceive(LadCursor *pc, uint32_t power, uint32_t indirect) {
    const uint32_t port = Word(pc);
    const uint32_t c = Operand(pc), b = Operand(pc), p = Operand(pc);
    if (pc->bad) return 0;
    return Transfer(false, port, c, b, p, indirect, power);
}

uint32_t TalkModem(LadCursor *pc, uint32_t power) {
    ModemReq req{};
    const uint32_t port = Word(pc);
    const uint16_t kind = Word(pc);
    if (pc->bad) return 0;
    if (kind > 2) {
        pc->pos--;
        return 255;
    }
    req.kind = kind;
    const uint32_t st = Operand(pc);
    const bool status_ok = st >= 1024 && WordIndex(st) < kWords;
    req.status = status_ok ? WordIndex(st) : kModemNoStatus;
    if (kind == 0 || kind == 1) {
        const uint16_t n = Word(pc);
        req.length = n;
        if (kind == 1 && n > 1023) {
            req.text_ref = Operand(pc);
        } else {
            const uint32_t words = (uint32_t(n) + 1) / 2;
            if (uint64_t(pc->pos) + words > pc->end) {
                pc->pos = pc->end;
                pc->bad = 1;
                return 0;
            }
            const uint8_t *t = pc->code + 2 * std::size_t(pc->pos);
            const uint32_t keep = n < req.text.size() - 1 ? n : uint32_t(req.text.size() - 1);
            std::memcpy(req.text.data(), t, keep);
            req.length = uint16_t(keep);
            pc->pos += words;
        }
    } else {
        req.rings = 1;  // the ladder form has no ring count
    }
    if (pc->bad) return 0;
    return ModemCore(port, req, power, status_ok, false);
}

namespace {

// Operands of a Modbus block as parsed: the six words and the extension.
struct ModbusOps {
    std::array<uint32_t, 6> w;  // port, station, second, third, data, status
    uint8_t ext;
    std::array<uint16_t, 2> e;
    uint32_t ext_reg, further;
    uint8_t data_indirect;  // the data-area operand names a register holding the area's bit address
};

// Byte pointer of a register operand's word in the image, null for a
// constant or an address outside.
uint8_t *RegPtr(uint32_t op) { return op >= 1024 ? PlcReg_Ptr(op, 16) : nullptr; }

// The gate and the enable edges of both Modbus forms (k: master 0, slave
// 1). True when the enable rose and the engine is free: the caller builds
// the parameter record and starts the engine; otherwise answer is the form's
// answer.
bool ModbusEdge(uint32_t k, bool port_ready, uint32_t enable, uint32_t &answer) {
    answer = 0;
    enable = enable ? 1 : 0;
    if (port_ready && enable == Talk.modbus_enable[k]) {
        answer = enable ? ModbusExecute(0) : 0;
        return false;
    }
    if (!port_ready || !enable) {
        if (port_ready) ModbusStop(0);
        Talk.modbus_enable[k] = 0;
        Talk.modbus_started = 0;
        return false;
    }
    return Talk.modbus_started == 0;
}

uint32_t ModbusCore(const ModbusOps &o, uint32_t enable) {
    if (o.w[0] != 0 || TalkOverride) return 0;
    const uint32_t k = o.w[1] == 0 ? 0 : 1;
    uint32_t answer = 0;
    if (!ModbusEdge(k, Vcomm_Protocol(0) >= 3, enable, answer)) return answer;
    ModbusParm p{};
    uint32_t station = o.w[1];
    if (station >= 1024) {
        const uint8_t *r = RegPtr(station);
        if (r == nullptr || LE_Get16(r) == 0) return 0;
        station = LE_Get16(r);
    }
    p.station = uint16_t(station);
    if (o.w[2] >= 1024) {
        const uint8_t *r = RegPtr(o.w[2]);
        if (r == nullptr) return 0;
        p.timeout = LE_Get16(r);
    } else {
        p.timeout = uint16_t(o.w[2]);
    }
    if (o.w[3] >= 1024) {
        // The word that holds the bit: the engine reads the whole word and
        // tests the bit number in it, so a bit of its high byte (8..15) must
        // not move the word on by a byte.
        p.control = RegPtr(o.w[3] & ~15u);
        if (p.control == nullptr) return 0;
        if (station == 0) p.trigger_bit = uint8_t(o.w[3] % 16);
    } else {
        LE_Put16(Talk.modbus_control.data(), uint16_t(o.w[3]));
        p.control = Talk.modbus_control.data();
    }
    uint32_t data = o.w[4];
    if (o.data_indirect) {
        // One indirection: the register holds the data area's bit address.
        const uint8_t *r = RegPtr(data);
        if (r == nullptr) return 0;
        data = LE_Get16(r);
    }
    p.data = RegPtr(data);
    p.data_ref = data;
    p.status = RegPtr(o.w[5]);
    if (p.data == nullptr || p.status == nullptr) return 0;
    if (o.ext) {
        p.ext = o.e;
        if (o.ext_reg != 0) {
            if (o.ext_reg < 1024) return 0;
            p.forward = RegPtr(o.ext_reg);
            if (p.forward == nullptr) return 0;
            // the forward table lies in the image as a whole
            if (PlcReg_Ptr(o.ext_reg, 16 * (p.ext[1] ? p.ext[1] : 1u)) == nullptr) return 0;
        }
        if (o.e[0] > 2) {
            if (o.further < 1024) return 0;
            p.write_protect = o.further;
        }
    }
    ModbusInit(0, p);
    Talk.modbus_enable[k] = 1;
    Talk.modbus_started = 1;
    return ModbusExecute(0);
}

}  // namespace

uint32_t TalkModbus(LadCursor *pc, uint32_t power) {
    ModbusOps o{};
    for (unsigned i = 0; i < 6; i++) {
        uint16_t w = Word(pc);
        if (RegTokLen_16b && (w == 1776 || w == 1777)) w = Word(pc);
        o.w[i] = w;
    }
    if (pc->pos < pc->end && LE_Get16(pc->code + 2 * std::size_t(pc->pos)) == 1023) {
        Word(pc);
        o.ext = 1;
        o.e[0] = Word(pc);
        o.e[1] = Word(pc);
        Word(pc);
        if (RegTokLen_16b) {
            const uint16_t w = Word(pc);
            if (w == 1776 || w == 1777)
                o.ext_reg = (w == 1776 ? 0x10000u : 0x20000u) + Word(pc);
            else
                o.ext_reg = w;
        } else {
            const uint32_t lo = Word(pc);
            o.ext_reg = Remap(lo | (uint32_t(Word(pc)) << 16));
        }
        if (o.e[0] > 2) {
            const uint32_t lo = Word(pc);
            o.further = lo | (uint32_t(Word(pc)) << 16);
        }
    }
    if (pc->bad) return 0;
    return ModbusCore(o, power);
}

uint32_t IEC_TalkModbus(LadCursor *pc, uint32_t power) {
    ModbusOps o{};
    const uint32_t first = pc->pos;
    for (unsigned i = 0; i < 6; i++) o.w[i] = Word(pc);
    o.data_indirect = 1;
    if (pc->pos < pc->end && LE_Get16(pc->code + 2 * std::size_t(pc->pos)) == 1023) {
        const uint32_t at = pc->pos + 1;
        const uint16_t n = at < pc->end ? LE_Get16(pc->code + 2 * std::size_t(at)) : 0;
        if (uint64_t(pc->pos) + n + 2 > pc->end) {
            pc->pos = pc->end;
            pc->bad = 1;
            return 0;
        }
        o.ext = 1;
        o.e[0] = n;
        auto word_at = [&](uint32_t i) -> uint32_t {
            const uint32_t x = first + i;
            return x < pc->pos + n + 2u ? LE_Get16(pc->code + 2 * std::size_t(x)) : 0;
        };
        o.e[1] = uint16_t(word_at(8));
        o.ext_reg = Remap(word_at(10) | (word_at(11) << 16));
        if (n > 2) o.further = word_at(12) | (word_at(13) << 16);
        pc->pos += n + 2u;
    }
    if (pc->bad) return 0;
    return ModbusCore(o, power);
}

// ---- IEC forms ---------------------------------------------------------------------

uint32_t Z7TalkOpen(const uint8_t *rec, uint32_t enable) {
    if (rec == nullptr || LE_Get16(rec) != 0) return 0;
    return OpenCore(reinterpret_cast<uintptr_t>(rec), rec + 2, enable, true);
}

uint32_t Z7TalkClose(const uint16_t *port_word, uint32_t enable) {
    if (port_word == nullptr) return 0;
    return CloseCore(reinterpret_cast<uintptr_t>(port_word), *port_word, enable);
}

namespace {
// IEC record: u16 port, u16 count, buffer and progress arena addresses
// stored high half first. The whole buffer must lie in the arena.
uint32_t Z7Transfer(bool send, const uint8_t *rec, uint32_t enable) {
    if (rec == nullptr || LE_Get16(rec) != 0) return 0;
    const uint32_t count = LE_Get16(rec + 2);
    const uint32_t buf = (uint32_t(LE_Get16(rec + 4)) << 16) | LE_Get16(rec + 6);
    const uint32_t prog_addr = (uint32_t(LE_Get16(rec + 8)) << 16) | LE_Get16(rec + 10);
    uint8_t *prog = Z7Mem_Ptr(prog_addr, 2);
    if (prog == nullptr) return 0;
    const uint32_t start = (count <= 255 && Z7Mem_Ptr(buf, count ? count : 1) != nullptr) ? buf : TALK_NOPOS;
    return TransferStep(send, ArenaSpace, prog, count, start, buf + count, enable);
}
}  // namespace

uint32_t Z7TalkSend(const uint8_t *rec, uint32_t enable) { return Z7Transfer(true, rec, enable); }
uint32_t Z7TalkReceive(const uint8_t *rec, uint32_t enable) { return Z7Transfer(false, rec, enable); }

uint32_t Z7TalkModem(uint8_t *rec, uint32_t enable) {
    if (rec == nullptr) return 0;
    ModemReq req{};
    const uint32_t port = LE_Get16(rec);
    req.kind = LE_Get16(rec + 2);
    if (req.kind > 2) return 255;
    req.status_at = rec + 4;
    req.option = LE_Get16(rec + 6);
    const uint16_t n = LE_Get16(rec + 8);
    req.length = n;
    if (req.kind == 2) {
        req.rings = n;
        req.length = 0;
    } else if (req.kind == 1 && n >= 1024) {
        // A length word of 1024 or more is the bit address of registers
        // holding the number, as in the ladder form.
        req.text_ref = n;
    } else {
        const uint32_t keep = n < Z7MODEM_TEXTMAX ? n : Z7MODEM_TEXTMAX;
        std::memcpy(req.text.data(), rec + Z7MODEM_TEXT, keep);
        req.length = uint16_t(keep);
    }
    return ModemCore(port, req, enable, true, true);
}

namespace {
uint8_t *HostPtr(const uint8_t *p) {
    return reinterpret_cast<uint8_t *>(uintptr_t(LE_Get32(p) | (uint64_t(LE_Get32(p + 4)) << 32)));
}
}  // namespace

// IEC Modbus blocks: the gate and the enable edges of the ladder forms on the
// host call record; the engine runs on the block's records (IEC forms).
uint32_t Z7_TalkModbus(const uint8_t *rec, uint32_t enable) {
    if (rec == nullptr || LE_Get16(rec + TMB_PORT) != 0 || TalkOverride) return 0;
    const uint16_t station = uint16_t(LE_Get32(rec + TMB_STATION));
    const uint32_t k = station == 0 ? 0 : 1;
    // While the runtime's link has just handed the port back, the engine's
    // start switches the port itself.
    uint32_t answer = 0;
    if (!ModbusEdge(k, Vcomm_Protocol(0) >= 3 || z7runtime_modbusinit == 1, enable, answer)) return answer;
    ModbusParm p{};
    p.station = station;
    p.timeout = LE_Get16(rec + TMB_SECOND);
    p.control = HostPtr(rec + TMB_CONTROL);
    p.data = HostPtr(rec + TMB_DATA);
    p.status = HostPtr(rec + TMB_STATUS);
    if (p.control == nullptr || p.data == nullptr || p.status == nullptr) return 0;
    p.iec = 1;
    ModbusInit(0, p);
    Talk.modbus_enable[k] = 1;
    Talk.modbus_started = 1;
    return ModbusExecute(0);
}
