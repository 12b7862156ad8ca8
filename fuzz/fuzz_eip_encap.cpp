// Feeds arbitrary bytes to the EtherNet/IP adapter as one encapsulation
// message (header, common packet format, unconnected or connected request)
// of at most the receive buffer: its answer must fit the transmit buffer.
// Connections a request opens are closed again.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/image/bytes.h"
#include "net/dpr.h"
#include "platform/plat_net.h"
#include "protocols/eip.h"
#include "tests/support/eth_ip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static NX_IP ip;
    static NX_PACKET_POOL pool;
    static bool once = [] {
        plat_net = &plat_net_own;
        Dpr_Init();
        static std::array<uint8_t, 8 * (NX_PACKET_HEADER + 1520)> mem alignas(16);
        test_support::EthIp(ip, pool, mem, "fuzz");
        ip.nx_ip_address = 0x7F000001;
        ip.nx_ip_network_mask = 0xFF000000;
        Dpr_Configuration[0].eip[0][0] = 32768;
        Dpr_Configuration[0].eip[0][1] = 8;
        Dpr_Configuration[0].eip[1][0] = 32768 + 160;
        Dpr_Configuration[0].eip[1][1] = 8;
        EipConnEth[0].ip = &ip;
        EipObjects(0);
        return true;
    }();
    (void)once;
    const size_t n = std::min(size, EipRxBuff.size());
    std::memcpy(EipRxBuff.data(), data, n);
    const uint32_t r = EncapMsg(0, uint32_t(n));
    if (r == 1 && EIP_HDR + LE_Get16(&EipTxBuff[2]) > EipTxBuff.size()) std::abort();
    for (auto &cfg : ConnCfgPool) {
        if (cfg.used) EipConnectionClose(&cfg);
    }
    return 0;
}
