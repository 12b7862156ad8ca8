// placeholder until the I/O modules and CAN buses land: no expansion module
// is found, no point moves, the CAN node does nothing.
#include <cstring>

#include "core/cmd.h"
#include "core/plcreg.h"
#include "io/io.h"

std::array<IoSlotRec, IO_SLOTS> io_cfg;
std::array<IoSlotInfo, IO_SLOTS> slotinfo;
std::array<uint8_t, IO_SLOTS> slot_status;

namespace {
void SetRec(IoSlotRec &r, char status, const char *text) {
    r = {};
    r.status = status;
    std::memcpy(r.text, text, sizeof r.text);
    r.configured = 1;
}
}  // namespace

uint32_t Io_SlotCheck() {
    SetRec(io_cfg[0], ' ', "I/O: Empty ");
    SetRec(io_cfg[1], ' ', "I/O: Empty ");
    SetRec(io_cfg[2], ' ', "I/O: TQR300");
    slotinfo = {{{255, 255}, {255, 255}, {0, 64000}}};
    slot_status = {1, 1, 2};
    PlcWordSet(W_FAULT, uint16_t(PlcWord(W_FAULT) & ~FAULT_IOCFG));
    plc_reg[64] |= 0x20;
    Cmd_SS_Info.fill(0);
    for (unsigned i = 0; i < IO_SLOTS; i++) {
        uint8_t *e = &Cmd_SS_Info[2 + 24 * i];
        LE_Put16(e, slotinfo[i].id);
        e[2] = uint8_t(io_cfg[i].status);
        std::memcpy(e + 3, io_cfg[i].text, sizeof io_cfg[i].text);
        e[22] = io_cfg[i].configured;
    }
    std::memcpy(&plc_reg[382], Cmd_SS_Info.data(), Cmd_SS_Info.size());
    return 0;
}

void io_driver(IoDriverMsg *msg) {
    if (msg != nullptr) msg->status = msg->slot > 2 ? 0xC0 : 0x80;
}

uint32_t IoGetIs(uint8_t *, uint32_t, uint32_t, uint32_t) { return 0; }
uint32_t IoPutQs(uint8_t *, uint32_t, uint32_t, uint32_t) { return 0; }
uint32_t IoGetAIs(uint8_t *, uint32_t, uint32_t, uint32_t) { return 0; }
uint32_t IoPutAQs(uint8_t *, uint32_t, uint32_t, uint32_t) { return 0; }
uint32_t IoService(uint32_t) { return 0; }
