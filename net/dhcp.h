// DHCP client (whole IPv4/UDP datagrams on an AF_PACKET socket, because the
// interface may have no address yet) and the non-blocking DNS A-record
// resolver.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "net/nx.h"

constexpr uint32_t DHCP_MSG_SIZE = 548, DHCP_OPT_OFFSET = 240, DHCP_DGRAM_SIZE = 576;
constexpr uint32_t DHCP_REPLY_TICKS = 60000;  // 6 s of 100 us ticks
// Longest T1 whose tick count (x 10,000) still fits 32 bits.
constexpr uint32_t DHCP_T1_MAX = 429496;
enum : uint8_t {
    DHCP_DISCOVER = 1,
    DHCP_OFFER = 2,
    DHCP_REQUEST = 3,
    DHCP_ACK = 5,
    DHCP_NAK = 6,
    DHCP_RELEASE = 7,
    DHCP_INFORM = 8,
    DHCP_RENEW = 9
};

// States of a client (DhcpProcCtrl::state).
enum : uint32_t { DHCP_ST_IDLE = 0, DHCP_ST_START = 1, DHCP_ST_SEND = 2, DHCP_ST_WAIT = 3, DHCP_ST_RELEASE = 5 };

struct DhcpProcCtrl {
    uint32_t state;  // DHCP_ST_*
    uint8_t msg;     // message to send / type of the last reply
    uint8_t offered_known;
    uint8_t bound;
    uint8_t no_lease;  // 1 no lease, 0 bound, 2 released
    uint8_t renew_running;
    uint32_t enable;
    int32_t fd = -1;                // packet socket, -1 none
    std::array<uint8_t, 1536> out;  // outgoing message (548 bytes used)
    std::array<uint8_t, 577> in;    // received message, NUL-terminated
    uint32_t in_len;
    int32_t ifindex;
    std::array<uint8_t, 6> mac;
    std::array<uint8_t, DHCP_DGRAM_SIZE> dgram;
    uint32_t reply_timer, renew_timer;
    uint32_t xid;
    uint32_t offered_raw;  // yiaddr as received (network order)
};
struct DhcpOffered {
    uint32_t server, address, mask, router, dns1, dns2, lease, t1, t2;  // host order
};
extern std::array<DhcpProcCtrl, 2> dhcpProcCtrl;
extern std::array<DhcpOffered, 2> dhcpOffered;

uint32_t dhcpInit(NX_IP *ip, NX_PACKET_POOL *pool, uint8_t enable, uint32_t iface);
void dhcpScan(uint8_t enable, uint32_t iface);
// Lease item 0 address, 1 mask, 2 router, 3 first DNS server (0 unbound).
uint32_t getFromDhcp(uint32_t item, uint32_t iface);
extern uint8_t dhcpState;

// Timer operation on 100 us ticks: period 0 stores the tick and answers 1;
// otherwise 1 once period ticks have passed.
uint32_t dhcpTimer(uint32_t *timer, uint32_t period);
// Builds the message of kind into the record's outgoing message.
void setQryPacket(uint8_t kind, uint32_t iface);
// Builds the 576-byte datagram around the outgoing message into the record.
void DhcpBuildDatagram(uint32_t iface, uint32_t destination);
// Checks a datagram of n bytes as received from the packet socket; on
// success stores its UDP payload as the received message: 1, else 0.
uint32_t DhcpTakeDatagram(uint32_t iface, const uint8_t *data, std::size_t n);
// Type of the received message (option 53), 0 when it has none.
uint8_t DhcpReplyType(uint32_t iface);
// Stores the offer or acknowledgement of the received message in the lease.
void procOfferAckPacket(uint32_t iface);

// ---- DNS resolver --------------------------------------------------------------------------
struct DnsFlowCtrl {
    uint32_t state;  // 0 idle, 1 send query, 2 wait for answer, 3 answer received
    char servers[2][256];
    uint32_t server_count;
    int32_t fd;
    std::array<uint8_t, 1024> answer;
    std::array<uint8_t, 1024> query;
    uint16_t query_len;
    uint32_t answer_len;
    uint8_t server_used;
};
extern DnsFlowCtrl dnsFlowCtrl;
extern uint16_t transId;
constexpr uint32_t DNS_WAIT_TICKS = 100000;  // 10 s

// Returns 2 or 1 while the lookup goes on, 0 with the address text in out,
// or -1 no usable answer, -2 no resolver file, -3 no socket, -5 not sent,
// -6 no answer in 10 s, -7 receive error.
int32_t dnsResolve(const char *host, char *out);
// Encodes a query for host into buf (1,024 bytes): its length, or 0 when a
// label is empty or over 63 characters or the name over 253.
uint32_t DnsBuildQuery(const char *host, uint16_t id, uint8_t *buf);
// The first A record of an answer of n bytes to query id: 1 with the
// address (host order), else 0.
uint32_t DnsParseAnswer(const uint8_t *buf, std::size_t n, uint16_t id, uint32_t *address);
uint32_t dnsTimer(uint32_t period);
