// Datagrams of the command protocol.
#include "cmd/datagram.h"

#include "core/image/bytes.h"
#include "cmd/cmd.h"
#include "core/image/plcreg.h"
#include "core/image/timebase.h"

std::array<DgDef, DG_COUNT> DgDefTable;

namespace {
uint8_t dg_started;  // the ageing time has been taken
uint32_t dg_last;    // time base at the last ageing

// The word at bit address 16 r; null when the image refuses it.
bool RefAddress(uint32_t r, uint32_t &address) {
    if (r > 0x0FFFFFFFu) return false;
    address = r * 16u;
    return true;
}

DgDef *Find(uint8_t id, uint16_t key) {
    if (id >= DG_COUNT) return nullptr;
    DgDef &d = DgDefTable[id];
    if (!d.in_use || d.key != key) return nullptr;
    return &d;
}
}  // namespace

uint8_t Datagram_Create(uint8_t timeout, uint16_t key, const uint8_t *words, uint32_t n) {
    if (n > DG_REFS) return DG_FAIL;
    std::array<uint32_t, DG_REFS> refs{};
    uint32_t count = 0, upper = 0;
    for (uint32_t i = 0; i < n; i++) {
        const uint16_t w = LE_Get16(words + 2 * i);
        if (w == 0) {
            // Escape: the next word is the upper half of every later reference;
            // an escape with nothing after it is refused.
            if (i + 1 >= n) return DG_FAIL;
            upper = uint32_t(LE_Get16(words + 2 * (i + 1))) << 16;
            i++;
            continue;
        }
        refs[count++] = upper | w;
    }
    for (uint32_t id = 0; id < DG_COUNT; id++) {
        DgDef &d = DgDefTable[id];
        if (d.in_use) continue;
        d.in_use = 1;
        d.timeout = timeout;
        d.idle = 0;
        d.count = uint8_t(count);
        d.key = key;
        d.refs = refs;
        return uint8_t(id);
    }
    return DG_FAIL;
}

uint8_t Datagram_Read(uint8_t id, uint16_t key, uint8_t *out) {
    DgDef *d = Find(id, key);
    if (d == nullptr) return DG_FAIL;
    for (uint32_t i = 0; i < d->count; i++) {
        uint32_t a;
        if (!RefAddress(d->refs[i], a) || !PlcReg_Get(out + 2 * i, a, 16)) return DG_FAIL;
    }
    d->idle = 0;
    return d->count;
}

uint8_t Datagram_Write(uint8_t id, uint16_t key, const uint8_t *values, uint32_t n) {
    DgDef *d = Find(id, key);
    if (d == nullptr || n != d->count) return DG_FAIL;
    for (uint32_t i = 0; i < n; i++) {
        uint32_t a;
        if (!RefAddress(d->refs[i], a) || !PlcReg_Set(a, values + 2 * i, 16)) return DG_FAIL;
    }
    d->idle = 0;
    return id;
}

uint8_t Datagram_Delete(uint8_t id, uint16_t key) {
    if (id == 255) {
        for (DgDef &d : DgDefTable) d = DgDef{};
        return 0;
    }
    DgDef *d = Find(id, key);
    if (d == nullptr) return DG_FAIL;
    *d = DgDef{};
    return id;
}

void Datagram_Check() {
    const uint32_t now = FPGA_GetFrt();
    if (!dg_started) {
        dg_started = 1;
        dg_last = now;
        return;
    }
    if (uint32_t(now - dg_last) <= 1000) return;
    for (DgDef &d : DgDefTable) {
        if (!d.in_use || d.timeout == 0) continue;
        d.idle++;
        if (d.idle == d.timeout) d = DgDef{};
    }
    dg_last = now;
}

// ---- command handlers: data byte 1 time-out or id, 2-3 key, 4.. words ----------

namespace {
uint32_t Words() { return CmdBuf.length >= 4 ? (CmdBuf.length - 4u) / 2u : 0u; }
uint16_t Key() { return LE_Get16(&CmdBuf.data[2]); }
}  // namespace

void cmd_datagram_delete() {
    if (CmdBuf.length < 4) {
        Cmd_Answer(CMD_NAK);
    } else {
        Cmd_Answer(Datagram_Delete(CmdBuf.data[1], Key()) == DG_FAIL ? CMD_NAK : CMD_ACK);
    }
    Cmd_End();
}

void cmd_datagram_create() {
    uint8_t id = DG_FAIL;
    if (CmdBuf.length >= 4) id = Datagram_Create(CmdBuf.data[1], Key(), &CmdBuf.data[4], Words());
    if (!CmdGlobal) put_packet(CMD_DATA, 1, &id);
    Cmd_End();
}

void cmd_datagram_write() {
    if (CmdBuf.length < 4) {
        Cmd_Answer(CMD_NAK);
    } else {
        const uint8_t r = Datagram_Write(CmdBuf.data[1], Key(), &CmdBuf.data[4], Words());
        Cmd_Answer(r == DG_FAIL ? CMD_NAK : CMD_ACK);
    }
    Cmd_End();
}

void cmd_datagram_read() {
    std::array<uint8_t, 2 * DG_REFS> out{};
    const uint8_t r = CmdBuf.length >= 4 ? Datagram_Read(CmdBuf.data[1], Key(), out.data()) : DG_FAIL;
    if (r == DG_FAIL)
        Cmd_Answer(CMD_NAK);
    else if (!CmdGlobal)
        put_packet(CMD_DATA, uint16_t(2 * r), out.data());
    Cmd_End();
}
