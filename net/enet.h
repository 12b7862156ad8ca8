// Ethernet manager state, address selection and the ping service.
#pragma once

#include <array>
#include <cstdint>

#include "net/nx.h"

constexpr uint32_t ENET_PAYLOAD = 1520;
constexpr uint32_t ENET_PACKETS = 200;
// The pool's memory: 200 packets (312,800 bytes where a packet header takes 44).
constexpr std::size_t ENET_POOL_BYTES = ENET_PACKETS * (NX_PACKET_HEADER + ENET_PAYLOAD);

extern std::array<uint32_t, 2> EnetIpAddress, EnetNetMask, EnetGateway, EnetDns;
extern std::array<NX_IP, 2> Enet_IpInstance;
extern NX_PACKET_POOL EnetPacketPoolCtrl;
extern std::array<uint8_t, ENET_POOL_BYTES> EnetPacketPool;
extern uint16_t Enet_LinkUp;
extern uint32_t EnetLinkUpTimer;
extern uint16_t clearIpFlag;
extern uint8_t firstTimeDnsSet;
extern uint8_t IpAddr0Change;
extern uint16_t Enet_StatusWord;
// 0 before the first pass, 1 running, 2 failed to start (later passes return).
extern uint8_t Enet_State;
// 0 when the service script exists (it then keeps the name server): set by
// the executive at start-up.
extern uint32_t MasterFilePresent;

// A protocol server the Ethernet manager starts and steps: initialisation
// with (IP instance, packet pool) answering 0 when started, one scan per
// pass, a connection count for the status word, a stop on a new
// configuration and its removal from an IP instance. The executive fills
// enet_hooks at start-up; a server left unset is absent: it starts without
// sockets, serves nothing and counts no connection.
struct EnetServer {
    uint32_t (*init)(NX_IP *ip, NX_PACKET_POOL *pool);
    void (*scan)(uint32_t iface);
    uint32_t (*conn_cnt)(uint32_t iface);
    void (*stop)(uint32_t iface);
    void (*deinit)(NX_IP *ip);
    // When the server has work next (ms of _tx_time_get, now given); unset:
    // every pass.
    uint32_t (*due)(uint32_t iface, uint32_t now);
};
struct EnetHooks {
    EnetServer qncan, modbus, ascii, egd, srtp, eip;
    void (*egd_config)(uint32_t iface);                       // EGD exchanges after a new configuration
    void (*email_scan)(int iface);                            // the e-mail client's step
    uint32_t (*email_init)(NX_IP *ip, NX_PACKET_POOL *pool);  // its socket, at the start
    uint32_t (*email_conn_cnt)();                             // 1 while its connection is up
    uint32_t (*email_due)(uint32_t now);                      // when its step has work next (ms); unset: every pass
};
extern EnetHooks enet_hooks;

struct PingSlot {
    NX_IP *ip;
    uint32_t target;
    uint32_t timeout;  // ms
    uint32_t start;    // ms tick
    int32_t result;    // round trip in ms, -1 none
    uint32_t spare;
};
extern std::array<PingSlot, 2> PingInstance;

// Activity of one direction: a sent or received count that changed sets
// the bit; one unchanged for more than 19 ms clears it.
struct EnetActivity {
    uint32_t count, time;
    bool on;
};
void Enet_UpdateActivity(EnetActivity &a, uint32_t count, uint32_t now);
// The status word: link 0x100, transmit activity 0x200, receive activity
// 0x400, speed code 2 gives 0x4000 and any other nonzero one 0x1000, duplex
// 0x2000; the open connections are added and ORed with the bits.
uint16_t Enet_StatusBits(bool link, bool tx_active, bool rx_active, uint32_t speed, uint32_t duplex,
                         uint32_t connections);

// Removes every protocol server of interface n's IP instance, in this order:
// EGD, CAN network over TCP, Modbus, virtual serial ports, SRTP, HTTP,
// EtherNet/IP, remote I/O, ASCII. The servers of the field protocols and
// HTTP leave interface 0 alone; the virtual serial ports and the remote I/O
// master remove theirs from either. A server removed keeps no connection,
// listening port or bound socket; its initialisation starts it again. The
// manager's own pass never calls it.
void Protocols_DeInit(uint32_t n);

void EnetGetIpAddress(uint32_t n);
void Ping_Init(NX_IP *ip);
int32_t Ping_Scan(uint32_t target, uint32_t timeout_ms, uint32_t slot);
