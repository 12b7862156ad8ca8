// Virtual serial ports over Ethernet: byte-stream ports with the calls of a
// serial port driver, carried over a TCP client connection or a UDP socket,
// 32 per interface, for the loadable protocol drivers.
#pragma once

#include <array>
#include <cstdint>

#include "net/nx.h"

constexpr unsigned VCOMM_ETH_PORTS = 32, VCOMM_ETH_IFACES = 2;
constexpr uint32_t VCOMM_ETH_TCP_MAX = 1460, VCOMM_ETH_UDP_MAX = 512;
constexpr uint32_t VCOMM_ETH_NUMBER_MAX = 16415;
constexpr intptr_t VCOMM_ETH_DOWN = 40, VCOMM_ETH_NOCONN = 45;
// Port flags.
constexpr uint8_t VCE_OPEN = 1, VCE_BOUND = 2, VCE_CONNECTING = 4, VCE_CONNECTED = 8;

struct VCommPort {
    uint8_t flags;
    uint16_t dport, lport;
    uint32_t dest;
    std::array<uint16_t, 2> timing;
    uint16_t last;
    NX_PACKET *rx;
    uint16_t rx_index;
    NX_PACKET *tx;
    uint16_t tx_count;
    uint16_t udp;  // 0 TCP
    NX_TCP_SOCKET tcp;
    NX_UDP_SOCKET usock;
    uint32_t addr_reg;  // bit address of the destination register, 0 none
    uint32_t start_ms;
};

struct VCommIface {
    NX_IP *ip;
    uint8_t reconnect;
    uint8_t hk_state;
    uint8_t hk_port;
    uint32_t hk_time;
    std::array<VCommPort, VCOMM_ETH_PORTS> ports;
};
extern std::array<VCommIface, VCOMM_ETH_IFACES> VCommConnEth;
extern NX_PACKET_POOL *EtnVCommPacketPoolPtr;
// Version x 100 of the driver owning a port group (3 for numbers below 36,
// else the number's high byte); set by the protocol manager. Unset: 313.
extern uint16_t (*EtnVComm_GroupVersion)(uint32_t group);

uint32_t EtnVComm_Init(NX_IP *ip, NX_PACKET_POOL *pool);
void EtnVComm_Scan(uint32_t iface);
uint32_t EtnVComm_Conn_Cnt(uint32_t iface);
// When the ports' reconnection has work next (ms, now given): every pass
// while one is under way, else PASS_IDLE_MS ahead (a closed port, or a change
// of the run flag, steps it first).
uint32_t EtnVComm_Due(uint32_t iface, uint32_t now);
void EtnVComm_DeInit(NX_IP *ip);
void EtnVComm_Disconnect(NX_TCP_SOCKET *s);

// Port operations, the port number first (the protocol manager's service
// table takes them as intptr_t functions).
intptr_t EtnVComm_Open(intptr_t port, intptr_t record);
intptr_t EtnVComm_Close(intptr_t port);
intptr_t EtnVComm_Close1(intptr_t port);
intptr_t EtnVComm_PutTx(intptr_t port, intptr_t byte);
intptr_t EtnVComm_PutnTx(intptr_t port, intptr_t data, intptr_t n);
intptr_t EtnVComm_DoTx(intptr_t port);
intptr_t EtnVComm_FlushTx(intptr_t port);
intptr_t EtnVComm_CountTx(intptr_t port);
intptr_t EtnVComm_GetRx(intptr_t port);
intptr_t EtnVComm_GetNRx(intptr_t port, intptr_t buffer, intptr_t n);
intptr_t EtnVComm_FlushRx(intptr_t port);
intptr_t EtnVComm_CountRx(intptr_t port);
intptr_t EtnVComm_CheckRx(intptr_t port);
intptr_t EtnVComm_GetDtr(intptr_t port);
intptr_t EtnVComm_GetRts(intptr_t port);
intptr_t EtnVComm_InitWait(intptr_t port, intptr_t us, intptr_t flag);
intptr_t EtnVComm_WaitRx(intptr_t port, intptr_t byte);
intptr_t EtnVComm_IoCtl(intptr_t port, intptr_t code, intptr_t arg);
// A NUL-terminated text, as EtnVComm_PutnTx puts its bytes.
intptr_t EtnVComm_PutsTx(intptr_t port, intptr_t text);
// What a serial port driver answers about its line: always 0 (Test,
// StatusRx, CheckTx), always 1 (EmptyTx); SetCts and SetDsr answer the port.
intptr_t EtnVComm_Test(intptr_t port);
intptr_t EtnVComm_StatusRx(intptr_t port);
intptr_t EtnVComm_CheckTx(intptr_t port);
intptr_t EtnVComm_EmptyTx(intptr_t port);
intptr_t EtnVComm_SetCts(intptr_t port, intptr_t value);
intptr_t EtnVComm_SetDsr(intptr_t port, intptr_t value);

// The driver set of the virtual serial ports: the calls of a serial port
// driver, each taking the port number first. The protocol manager's service
// table takes its Ethernet entries from it.
struct EtnVCommDrv {
    intptr_t (*Open)(intptr_t port, intptr_t record);
    intptr_t (*Close)(intptr_t port);
    intptr_t (*Close1)(intptr_t port);
    intptr_t (*PutTx)(intptr_t port, intptr_t byte);
    intptr_t (*PutnTx)(intptr_t port, intptr_t data, intptr_t n);
    intptr_t (*PutsTx)(intptr_t port, intptr_t text);
    intptr_t (*DoTx)(intptr_t port);
    intptr_t (*FlushTx)(intptr_t port);
    intptr_t (*CountTx)(intptr_t port);
    intptr_t (*GetRx)(intptr_t port);
    intptr_t (*GetNRx)(intptr_t port, intptr_t buffer, intptr_t n);
    intptr_t (*FlushRx)(intptr_t port);
    intptr_t (*CountRx)(intptr_t port);
    intptr_t (*CheckRx)(intptr_t port);
    intptr_t (*GetDtr)(intptr_t port);
    intptr_t (*GetRts)(intptr_t port);
    intptr_t (*Test)(intptr_t port);
    intptr_t (*StatusRx)(intptr_t port);
    intptr_t (*CheckTx)(intptr_t port);
    intptr_t (*EmptyTx)(intptr_t port);
    intptr_t (*SetCts)(intptr_t port, intptr_t value);
    intptr_t (*SetDsr)(intptr_t port, intptr_t value);
    intptr_t (*InitWait)(intptr_t port, intptr_t us, intptr_t flag);
    intptr_t (*WaitRx)(intptr_t port, intptr_t byte);
    intptr_t (*IoCtl)(intptr_t port, intptr_t code, intptr_t arg);
};
extern const EtnVCommDrv EtnVComm_Drv;
