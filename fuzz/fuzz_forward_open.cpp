// Feeds arbitrary bytes to the Connection Manager as the data of a
// Forward_Open (byte 0 even) or Forward_Close (odd): the answer fits its
// buffer, and what an open leaves is closed again.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <vector>

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
        Dpr_Configuration[0].eip[0][0] = 32768;
        Dpr_Configuration[0].eip[0][1] = 8;
        Dpr_Configuration[0].eip[1][0] = 32768 + 160;
        Dpr_Configuration[0].eip[1][1] = 8;
        EipConnEth[0].ip = &ip;
        EipObjects(0);
        return true;
    }();
    (void)once;
    if (size < 1 || size > 600) return 0;
    std::vector<uint8_t> d(data + 1, data + size);
    const CipRequest req{uint8_t((data[0] & 1) ? 0x4E : 0x54), 6, 1, 0, uint16_t(d.size()), d.data(), 0};
    static std::array<uint8_t, CIP_ANSWER_MAX> answer;
    if (Conn_Manager_Service(req, answer.data()) > answer.size()) std::abort();
    for (auto &cfg : ConnCfgPool) {
        if (cfg.used) EipConnectionClose(&cfg);
    }
    return 0;
}
