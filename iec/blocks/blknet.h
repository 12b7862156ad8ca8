// CAN network records of the IEC network blocks: per node the heartbeat
// times and the global words with their valid masks.
#pragma once

#include <array>
#include <cstdint>

struct NetNode {
    uint32_t ihb;  // last input heartbeat sent for the node (100 us ticks, 0 none)
    uint32_t qhb;  // last output heartbeat sent (local) or seen (remote)
    uint32_t qg_valid;
    std::array<uint16_t, 4> qg;
    uint32_t aqg_valid;
    std::array<uint16_t, 32> aqg;
};
extern std::array<NetNode, 128> Net_Data;
// Heartbeat time scale (periods in ms are p x 1000 / scale ticks); 0 reads as 100.
extern uint16_t Z7Net_Scale;

uint32_t Z7Net_QueQG(uint32_t node, uint32_t start, const uint16_t *words, uint32_t count);
uint32_t Z7Net_QueAQG(uint32_t node, uint32_t start, const uint16_t *words, uint32_t count);
uint32_t Z7Net_GetQG(uint32_t node, uint32_t start, uint16_t *out, uint32_t count);
uint32_t Z7Net_GetAQG(uint32_t node, uint32_t start, uint16_t *out, uint32_t count);
uint32_t Z7Net_PutIG(uint32_t node);
uint32_t Z7Net_PutAIG(uint32_t node);
uint32_t Z7Net_ReqQG(uint32_t node);
uint32_t Z7Net_ReqAQG(uint32_t node);
uint32_t Z7Net_PutQHB(uint32_t node, uint32_t period);
uint32_t Z7Net_PutIHB(uint32_t node, uint32_t period);
uint32_t Z7Net_GetQHB(uint32_t node, uint32_t period);
