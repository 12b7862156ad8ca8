// Feeds arbitrary bytes to the Ethernet configuration parser, as the block
// behind the slot record (its u16 length taken from the input), and to the
// 28-byte header framing of the programming tool's TCP channel through a
// loopback connection.
#include <arpa/inet.h>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "core/image/bytes.h"
#include "io/io.h"
#include "net/dpr.h"
#include "net/enet.h"
#include "net/etn_chan.h"
#include "net/net.h"
#include "platform/plat.h"
#include "platform/plat_net.h"
#include "protocols/qncan.h"
#include "tests/support/eth_ip.h"
#include "tests/support/loopback.h"
#include "tests/support/proc_root.h"

namespace {

constexpr uint16_t kPort = 18631;
NX_IP ip;
alignas(16) std::array<uint8_t, 32 * (NX_PACKET_HEADER + 1520)> mem;
NX_PACKET_POOL pool;
int peer = -1;

void Setup() {
    static bool done = [] {
        static char root[] = "/tmp/plc-fuzz-net-XXXXXX";
        test_support::ProgramRoot(root, "fuzz");
        plat_net = &plat_net_own;
        QncanPort = kPort;
        Dpr_Init();
        test_support::EthIp(ip, pool, mem, "Packet Pool");
        if (Qncan_Init(&ip, &pool) != NX_SUCCESS) std::abort();
        return true;
    }();
    (void)done;
}

// A fresh connection; closed with a reset so that the many reconnections of a
// run leave no ports waiting in TIME_WAIT.
bool Connect() {
    if (peer >= 0) close(peer);
    peer = socket(AF_INET, SOCK_STREAM, 0);
    const struct linger lg { 1, 0 };
    setsockopt(peer, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    if (test_support::LoopbackConnect(peer, kPort) != 0) return false;
    for (int i = 0; i < 50 && Qncan_ConnCnt(0) == 0; i++) {
        EnetThread();
        Qncan_Scan(0);
        usleep(200);
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Setup();
    if (size < 1) return 0;
    // First byte picks the target: even the parser, odd the TCP framing.
    if ((data[0] & 1) == 0) {
        std::vector<uint8_t> slot(size + 3);
        LE_Put16(&slot[2], uint16_t(size - 1));
        std::memcpy(&slot[4], data + 1, size - 1);
        if (size - 1 >= 4) {
            EtnConfp = &slot[4];
            DprParseConfig(0);
            EtnConfp = nullptr;
        }
        return 0;
    }
    if ((peer < 0 || Qncan_ConnCnt(0) == 0) && !Connect()) std::abort();  // the service stopped listening
    if (send(peer, data + 1, size - 1, MSG_NOSIGNAL) < 0) {
        Connect();
        return 0;
    }
    for (int pass = 0; pass < 6; pass++) {
        Qncan_Scan(0);
        while (Etn_CheckRx()) Etn_GetRx();
        if (pass == 2) Etn_PutTx(0xA0);
        if (pass == 4) Etn_PutTx(112);
        EnetThread();
    }
    uint8_t sink[4096];
    while (recv(peer, sink, sizeof sink, MSG_DONTWAIT) > 0) {
    }
    return 0;
}
