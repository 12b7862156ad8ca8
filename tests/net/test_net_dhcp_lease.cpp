// The lease items of a DHCP acknowledgement, from a reply laid out by hand:
// every 32-bit option is big-endian on the wire, each read back exactly.
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>

#include "net/dhcp.h"

namespace {

struct Reply {
    uint8_t bytes[400]{};
    uint32_t len = 240;
    void Put(std::initializer_list<uint8_t> b) {
        for (uint8_t x : b) bytes[len++] = x;
    }
};

TEST(DhcpLease, AckOptionsAreReadBigEndian) {
    Reply m;
    m.bytes[0] = 2;                            // BOOTREPLY
    const uint8_t yiaddr[] = {10, 77, 0, 51};  // offered address at byte 16
    std::memcpy(&m.bytes[16], yiaddr, 4);
    const uint8_t cookie[] = {99, 130, 83, 99};
    std::memcpy(&m.bytes[236], cookie, 4);
    m.Put({53, 1, 5});                          // DHCPACK
    m.Put({0});                                 // a pad byte is skipped
    m.Put({1, 4, 255, 255, 255, 0});            // mask
    m.Put({3, 4, 10, 77, 0, 1});                // router
    m.Put({6, 8, 10, 77, 0, 3, 10, 77, 0, 4});  // two DNS servers
    m.Put({51, 4, 0x00, 0x01, 0x51, 0x80});     // lease 86,400 s
    m.Put({54, 4, 10, 77, 0, 2});               // server identifier
    m.Put({58, 4, 0x00, 0x00, 0xA8, 0xC0});     // T1 43,200 s
    m.Put({59, 4, 0x00, 0x01, 0x27, 0x50});     // T2 75,600 s
    m.Put({12, 3, 'p', 'l', 'c'});              // an option not kept
    m.Put({255});

    DhcpProcCtrl &r = dhcpProcCtrl[0];
    std::memcpy(r.in.data(), m.bytes, m.len);
    r.in_len = m.len;
    dhcpOffered[0] = {};
    EXPECT_EQ(DhcpReplyType(0), DHCP_ACK);
    procOfferAckPacket(0);
    const DhcpOffered &o = dhcpOffered[0];
    EXPECT_EQ(o.address, 0x0A4D0033u);
    EXPECT_EQ(o.mask, 0xFFFFFF00u);
    EXPECT_EQ(o.router, 0x0A4D0001u);
    EXPECT_EQ(o.dns1, 0x0A4D0003u);
    EXPECT_EQ(o.dns2, 0x0A4D0004u);
    EXPECT_EQ(o.lease, 86400u);
    EXPECT_EQ(o.server, 0x0A4D0002u);
    EXPECT_EQ(o.t1, 43200u);
    EXPECT_EQ(o.t2, 75600u);
}

TEST(DhcpLease, OptionRunningPastTheMessageIsNotRead) {
    Reply m;
    const uint8_t cookie[] = {99, 130, 83, 99};
    std::memcpy(&m.bytes[236], cookie, 4);
    m.Put({51, 4, 0x00, 0x00, 0x0E, 0x10});  // lease 3,600 s
    m.Put({58, 4, 0x00, 0x00});              // T1 cut short by the end of the message
    DhcpProcCtrl &r = dhcpProcCtrl[0];
    std::memcpy(r.in.data(), m.bytes, m.len);
    r.in_len = m.len;
    dhcpOffered[0] = {};
    procOfferAckPacket(0);
    EXPECT_EQ(dhcpOffered[0].lease, 3600u);
    EXPECT_EQ(dhcpOffered[0].t1, 0u);
    // An option that ends at the last byte (no end option) is read; a
    // message of the cookie alone still gives the offered address.
    m.len -= 4;
    m.Put({58, 4, 0x00, 0x00, 0x0E, 0x10});
    std::memcpy(r.in.data(), m.bytes, m.len);
    r.in_len = m.len;
    r.in[m.len] = 0x77;
    procOfferAckPacket(0);
    EXPECT_EQ(dhcpOffered[0].t1, 3600u);
    const uint8_t yiaddr[] = {10, 77, 0, 52};
    std::memcpy(&r.in[16], yiaddr, 4);
    r.in_len = 240;
    procOfferAckPacket(0);
    EXPECT_EQ(dhcpOffered[0].address, 0x0A4D0034u);
}

}  // namespace
