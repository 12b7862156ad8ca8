// EtherNet/IP adapter: encapsulation sessions on TCP port 44818, the common
// packet format, unconnected messages to the CIP objects, and the I/O
// connections that exchange the produced (101) and consumed (100) assemblies
// over UDP port 2222.
#pragma once

#include <array>
#include <cstdint>

#include "net/dpr.h"
#include "net/nx.h"
#include "protocols/cip.h"

constexpr uint32_t EIP_HDR = 24;
constexpr uint32_t EIP_BUFF = 1500;
constexpr uint32_t EIP_LENGTH_MAX = EIP_BUFF - EIP_HDR;  // longest encapsulated data
constexpr uint32_t EIP_DATA_MAX = 256;                   // assembly data
constexpr uint32_t EIP_IDLE_MS = 60000;
constexpr unsigned EIP_SESSIONS = 2;

// Encapsulation commands and statuses.
enum : uint16_t {
    EIP_NOP = 0x00,
    EIP_LIST_SERVICES = 0x04,
    EIP_REGISTER = 0x65,
    EIP_UNREGISTER = 0x66,
    EIP_SEND_RR = 0x6F,
    EIP_SEND_UNIT = 0x70,
};
enum : uint32_t { EIP_ST_COMMAND = 1, EIP_ST_MALFORMED = 3 };
// Common packet format item types.
enum : uint16_t {
    CPF_NULL = 0x0000,
    CPF_CONN_ADDR = 0x00A1,
    CPF_CONN_DATA = 0x00B1,
    CPF_UNCONN_DATA = 0x00B2,
    CPF_OT_SOCKADDR = 0x8000,
    CPF_TO_SOCKADDR = 0x8001,
    CPF_SEQ_ADDR = 0x8002,
};

struct EipCpf {
    uint16_t addr_type;
    uint32_t conn_id;
    uint32_t sequence;
    uint16_t data_type;
    uint16_t data_len;
    uint32_t data_pos;   // from the start of the parsed items
    uint16_t sock_type;  // 0: none
    uint16_t sock_port;
    uint32_t sock_addr;
};

struct EipEncap {
    NX_TCP_SOCKET socket;
    uint32_t last_activity;
    uint32_t last_request;  // ms: the last whole message, or the acceptance
    uint8_t requested;      // a whole message came since the acceptance
    // Bytes of the stream not yet served: messages are framed by 24 + the
    // length in their header.
    std::array<uint8_t, EIP_BUFF + NX_MAX_READ> rx;
    uint32_t rx_len;
};

struct EipConnSlot {
    ObjConnCfg *cfg;
    ObjConnection *conn;
    uint32_t sequence;  // produced: sequenced address; consumed: next expected
    uint16_t count;     // 16-bit sequence count of the connected data
    uint16_t port;
    uint32_t address;
    uint32_t timeout;  // ms
    uint32_t period;   // ms
    uint32_t time;     // last send or reception
    NX_UDP_SOCKET udp;
    uint8_t used;
    uint8_t consuming;
    uint8_t seen;   // consumed: a first datagram or request set the expectation
    uint8_t fresh;  // opened by the request being answered
};

struct EipAdapter {
    NX_IP *ip;
    uint8_t *rx, *tx;
    ObjIdentity *identity;
    ObjMessageRouter *router;
    ObjConnManager *manager;
    ObjAssembly *produced, *consumed;
    ObjTcpIp *tcpip;
    ObjEnetLnk *link;
    uint8_t listening;
    uint8_t explicit_count, io_count;
    std::array<uint8_t, 2> run_idle;
    uint32_t peer;
    // Address of the T->O socket-address item (with a port) of the request
    // being served, 0 none: where it asks produced data to go.
    uint32_t to_address;
    uint32_t reports;  // reports of the readiness set on its sessions
    uint32_t drained;  // reports as of the last drain while the service is off
    std::array<EipEncap, EIP_SESSIONS> encap;
    std::array<EipConnSlot, CIP_CONNECTIONS> slots;
};

extern std::array<EipAdapter, 2> EipConnEth;
extern std::array<uint8_t, EIP_BUFF> EipRxBuff, EipTxBuff;
extern std::array<uint8_t, EIP_DATA_MAX> EipTxData, EipRxData;
extern uint32_t EipSession;
extern NX_PACKET_POOL *EipPacketPoolPtr;
extern const uint8_t Eip_Production_Path[6], Eip_Consumption_Path[6];
// Ports served (44818 and 2222; tests move them).
extern uint16_t EipPortNumber, EipIoPortNumber;

uint32_t Eip_Init(NX_IP *ip, NX_PACKET_POOL *pool);
// Allocates, readies and registers interface n's CIP objects once, and sizes
// its assemblies from the configuration: 0, or 1 when a pool is exhausted.
uint32_t EipObjects(uint32_t n);
void Eip_Scan(uint32_t iface);
uint32_t Eip_Conn_Cnt(uint32_t iface);
// When the adapter has work next (ms, now given): every pass while the
// service is on (its data are exchanged with the image), else PASS_IDLE_MS
// ahead (input on its sessions is read and dropped when it comes).
uint32_t Eip_Due(uint32_t iface, uint32_t now);
void Eip_DeInit(NX_IP *ip);
void EipTcpConnect(NX_TCP_SOCKET *socket, uint32_t port);
void EipTcpDisconnect(NX_TCP_SOCKET *socket);
uint32_t EipConnectionOpen(ObjConnCfg *cfg);
uint32_t EipConnectionClose(ObjConnCfg *cfg);
void EipReset(uint8_t kind);

// The whole message of len bytes in EipRxBuff, from interface n: no answer,
// an answer of 24 + its length in EipTxBuff, or close the session.
enum : uint32_t { ENCAP_NONE = 0, ENCAP_ANSWER = 1, ENCAP_CLOSE = 2 };
uint32_t EncapMsg(uint32_t n, uint32_t len);
// Parses the CPF items of len bytes at p: 0, or nonzero when malformed.
uint32_t EipCpfParse(const uint8_t *p, uint32_t len, EipCpf *out);
// Serves the unconnected request of len bytes at req into answer: its length.
uint32_t Ucmm_Msg(uint32_t n, uint8_t *req, uint32_t len, uint8_t *answer);
// Length of the whole message at the head of a session's stream: 0 while
// incomplete, 0xFFFFFFFF when its length is over the buffer.
uint32_t EipFrameLength(const EipEncap &e);
// Handles one datagram received on connection slot k: 1 applied, 0 ignored.
uint32_t EipConsume(uint32_t n, unsigned k, const uint8_t *d, uint32_t len, uint32_t now);
// Builds slot k's produced datagram into buf: its length.
uint32_t EipProduce(uint32_t n, unsigned k, uint8_t *buf);
