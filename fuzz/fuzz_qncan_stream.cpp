// Drives the command protocol's TCP service with arbitrary bytes: the input
// is a script of stream writes from the host (requests, multi-part packets
// or garbage, in any cut), passes of the service, and replies, single bytes
// and end-of-exchange signals of the command processor. One connection is a
// Unix stream pair standing in for an accepted socket.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

#include "core/image/bytes.h"
#include "core/image/plcreg.h"
#include "net/dpr.h"
#include "net/enet.h"
#include "net/etn_chan.h"
#include "net/net.h"
#include "fuzz/stream_pair.h"
#include "protocols/qncan.h"

namespace {
int host_fd = -1;
NX_PACKET_POOL pool;
NX_IP ip;

void Setup() {
    static std::array<uint8_t, 32 * (NX_PACKET_HEADER + 1520)> mem alignas(16);
    _nx_packet_pool_create(&pool, "p", 1520, mem.data(), uint32_t(mem.size()));
    ip.nx_ip_name = "eth0";
    ip.nx_ip_default_packet_pool = &pool;
    Dpr_Init();
    QncanPacketPoolPtr = &pool;
    QncanDpram = &DprMap[ETN_RX_ACK];
    QncanConnState &st = QncanState[0];
    st.ip = &ip;
    st.listening = 1;
    for (auto &slot : st.slots) {
        slot.socket = {};
        slot.socket.fd = -1;
        slot.socket.accepted_fd = -1;
        slot.socket.state = NX_TCP_LISTEN;  // nothing to relisten
    }
}

void Connect() { host_fd = FuzzStream_Connect(QncanState[0].slots[0].socket, &ip); }

void Drain() {
    uint8_t b[4096];
    while (recv(host_fd, b, sizeof b, MSG_DONTWAIT) > 0) {
    }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool once = [] {
        Setup();
        return true;
    }();
    (void)once;
    Etn_Reset();
    Dpr_Init();
    QncanConnState &st = QncanState[0];
    st.send_state = st.recv_state = 0;
    st.held_active = 0;
    st.held_remaining = 0;
    st.gathered = 0;
    st.gather_started = 0;
    st.active = st.last = QNCAN_NONE;
    st.access_state = 0;
    st.challenge = 0;
    QncanBusy = 0;
    for (auto &slot : st.slots) slot.rx_len = 0;
    PlcWordSet(282, 0);
    Connect();
    size_t i = 0;
    while (i < size) {
        const uint8_t op = data[i++];
        const size_t n = i < size ? data[i++] : 0;
        const size_t take = std::min(n * 8, size - i);
        switch (op % 5) {
        case 0:  // the host writes
            if (take) (void)!send(host_fd, data + i, take, MSG_DONTWAIT | MSG_NOSIGNAL);
            i += take;
            break;
        case 1:  // passes
            for (size_t p = 0; p <= n % 4; p++) Qncan_Scan(0);
            break;
        case 2: {  // the command processor reads what it was given and replies
            while (Etn_CheckRx()) Etn_GetRx();
            const size_t len = std::min(n, size - i);
            if (len) Etn_PutnTx(data + i, uint32_t(len));
            i += len;
            break;
        }
        case 3:  // a single byte or the end-of-exchange signal
            Etn_PutTx(uint8_t(n));
            break;
        default: PlcWordSet(282, uint16_t(n * 13)); break;
        }
        Drain();
    }
    Qncan_Scan(0);
    Drain();
    FuzzStream_Close(st.slots[0].socket, host_fd);
    return 0;
}
