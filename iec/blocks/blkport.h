// Port and modem blocks: the Talk layer's entry points they call, filled at
// start-up by the executive (a null entry makes its block do nothing), and
// the protocol nibble of the last port open.
#pragma once

#include <cstdint>

struct BlkPortHooks {
    // u16 port, then the 6-byte port mode record; the record is the identity.
    uint32_t (*open)(const uint8_t *rec, uint32_t enable);
    uint32_t (*close)(const uint16_t *port_word, uint32_t enable);
    // u16 port, u16 count, buffer and status word arena addresses (high half first).
    uint32_t (*send)(const uint8_t *rec, uint32_t enable);
    uint32_t (*receive)(const uint8_t *rec, uint32_t enable);
    // u16 port, kind, status, option, length, then the text; status updated in place.
    uint32_t (*modem)(uint8_t *rec, uint32_t enable);
};
extern BlkPortHooks BlkPort_Hooks;

// Protocol (low 4 bits) of the last record an open block built.
extern uint8_t z7protocol;
