// placeholder until the network layer lands: no interface is configured, the
// programming channel never receives and everything sent is dropped.
#include "net/net.h"

std::array<DprConfigRec, 2> Dpr_Configuration{};
uint8_t *EtnConfp = nullptr;
uint32_t T_token = 12288;
uint32_t M_token = 14336;
uint8_t TavixHttp = 0;
uint8_t TavixUpdateNewIp = 0;

// placeholder until the network layer lands
void EnetMain(int) {}

// placeholder until the network layer lands
uint32_t Etn_CheckRx() { return 0; }
// placeholder until the network layer lands
uint8_t Etn_GetRx() { return 0; }
// placeholder until the network layer lands
void Etn_FlushRx() {}
// placeholder until the network layer lands
void Etn_PutTx(uint8_t) {}
// placeholder until the network layer lands
void Etn_PutnTx(const uint8_t *, uint32_t) {}
// placeholder until the network layer lands
void Etn_UpdateSecurity() {}
// placeholder until the network layer lands
void Etn_UpdateStatus() {}
// placeholder until the network layer lands
void Etn_SetMacId(const uint8_t *, uint32_t) {}
