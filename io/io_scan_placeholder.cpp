// placeholder until the I/O modules and CAN buses land: no expansion module
// is found, no point moves, the CAN node does nothing.
#include <algorithm>
#include <cstring>

#include "core/cmd.h"
#include "core/memfile.h"
#include "core/plcreg.h"
#include "io/io.h"
#include "net/dpr.h"

std::array<IoSlotRec, IO_SLOTS> io_cfg;
std::array<IoSlotInfo, IO_SLOTS> slotinfo;
std::array<uint8_t, IO_SLOTS> slot_status;
uint8_t NodeId_Flag;
uint8_t NetStatsClear;

namespace {
void SetRec(IoSlotRec &r, char status, const char *text) {
    r = {};
    r.status = status;
    std::memcpy(r.text, text, sizeof r.text);
    r.configured = 1;
}
// The configuration data of slot 2 (the built-in Ethernet module, id 0xFA00)
// in the I/O configuration: records of slots 0, 1, 2 of u16 id (0xFFFF: not
// configured, nothing follows), u16 length, data padded to 4 bytes.
const uint8_t *EthernetConfig() {
    const uint8_t *d = &io_config_bl[MF_HDR];
    const std::size_t len = std::min<std::size_t>(MF_Len(io_config_bl.data()), IO_CONFIG_BL_SIZE - MF_HDR);
    std::size_t pos = 0;
    for (unsigned slot = 0; slot < 3; slot++) {
        if (pos + 2 > len) return nullptr;
        const uint16_t id = LE_Get16(d + pos);
        pos += 2;
        if (id == 0xFFFF) continue;
        if (pos + 2 > len) return nullptr;
        const uint16_t n = LE_Get16(d + pos);
        pos += 2;
        if (pos + n > len) return nullptr;
        if (slot == 2) return (id == 0xFA00 && n > 0) ? d + pos : nullptr;
        pos += (std::size_t(n) + 3) & ~std::size_t(3);
    }
    return nullptr;
}
}  // namespace

uint32_t Io_SlotCheck() {
    EtnConfp = EthernetConfig();
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

void CANOpenInit(const NetInitRec *) {}
void CANOpenRxMsg() {}
void CANOpenTxMsg() {}
void _Can_SetEvent(uint32_t, uint32_t, CanEventFn) {}
