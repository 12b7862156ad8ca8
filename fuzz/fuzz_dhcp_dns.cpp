// Feeds arbitrary bytes to the DHCP client as a datagram read from its packet
// socket (checks, reply type, lease options) and to the DNS resolver as an
// answer to its query. Byte 0 chooses which; the rest is the datagram.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/image/bytes.h"
#include "net/dhcp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const uint8_t *d = data + 1;
    const size_t n = size - 1;
    if (data[0] & 1) {
        uint32_t addr = 0;
        DnsParseAnswer(d, n, n >= 2 ? BE_Get16(d) : 0, &addr);
        return 0;
    }
    // The checksums are filled in so that the option walk is reached.
    uint8_t dg[DHCP_DGRAM_SIZE];
    const size_t k = n > sizeof dg ? sizeof dg : n;
    std::memcpy(dg, d, k);
    if ((data[0] & 2) && k >= 28) {
        dg[0] = 0x45;
        BE_Put16(dg + 2, uint16_t(k));
        dg[9] = 17;
        BE_Put16(dg + 22, 68);
        BE_Put16(dg + 24, uint16_t(k - 20));
        BE_Put16(dg + 26, 0);
        dg[10] = dg[11] = 0;
        uint32_t acc = 0;
        for (int i = 0; i < 20; i += 2) acc += uint32_t(dg[i] << 8 | dg[i + 1]);
        while (acc >> 16) acc = (acc & 0xFFFF) + (acc >> 16);
        BE_Put16(dg + 10, uint16_t(~acc));
    }
    if (DhcpTakeDatagram(0, dg, k)) {
        if (dhcpProcCtrl[0].in_len > DHCP_DGRAM_SIZE - 28) std::abort();
        DhcpReplyType(0);
        procOfferAckPacket(0);
    }
    return 0;
}
