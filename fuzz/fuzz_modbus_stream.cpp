// Drives the Modbus TCP service with arbitrary bytes: the input is a script
// of stream writes from the peer (requests or garbage, in any cut), passes of
// the service, and the register bridge's read-pending flag. One connection is
// a Unix stream pair standing in for an accepted socket. What the service
// sends back must always be whole MBAP answers to requests it was sent.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "core/image/bytes.h"
#include "core/image/plcreg.h"
#include "net/dpr.h"
#include "net/net.h"
#include "fuzz/stream_pair.h"
#include "protocols/modbus.h"

namespace {
int peer_fd = -1;
NX_PACKET_POOL pool;
NX_IP ip;
std::vector<uint8_t> answers;

void Setup() {
    static std::array<uint8_t, 32 * (NX_PACKET_HEADER + 1520)> mem alignas(16);
    _nx_packet_pool_create(&pool, "p", 1520, mem.data(), uint32_t(mem.size()));
    ip.nx_ip_name = "eth0";
    ip.nx_ip_default_packet_pool = &pool;
    ModbusPacketPoolPtr = &pool;
}

void Connect() {
    ModbusServer &srv = ModbusConnEth[0];
    srv.ip = &ip;
    srv.listening = 1;
    for (auto &slot : srv.slots) {
        slot.socket = {};
        slot.socket.fd = -1;
        slot.socket.accepted_fd = -1;
        slot.socket.state = NX_TCP_LISTEN;  // nothing to relisten
        slot.rx_len = 0;
        slot.read_pending = 0;
        slot.last_activity = 0;
    }
    peer_fd = FuzzStream_Connect(srv.slots[0].socket, &ip);
}

// Takes what the service sent and checks that it is a run of whole answers.
void Drain() {
    uint8_t b[4096];
    ssize_t n;
    while ((n = recv(peer_fd, b, sizeof b, MSG_DONTWAIT)) > 0) answers.insert(answers.end(), b, b + n);
    size_t at = 0;
    while (answers.size() - at >= 6) {
        const uint32_t len = BE_Get16(&answers[at + 4]);
        // An answer carries at least unit and code, at most a count byte of 255.
        if (len < 3 || len > 3 + 255) std::abort();
        if (answers.size() - at < 6 + len) break;
        at += 6 + len;
    }
    answers.erase(answers.begin(), answers.begin() + long(at));
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool once = [] {
        Setup();
        return true;
    }();
    (void)once;
    Dpr_Init();
    DprConfigRec &c = Dpr_Configuration[0];
    c.enables[0] = EN0_MODBUS;
    c.modbus = {0, 1, 0, 0};  // TCP, no port to listen on
    LE_Put16(&DprMap[DPR_RUN], 1);
    answers.clear();
    Connect();
    size_t i = 0;
    while (i < size) {
        const uint8_t op = data[i++];
        const size_t n = i < size ? data[i++] : 0;
        const size_t take = std::min(n * 4, size - i);
        switch (op % 3) {
        case 0:  // the peer writes
            if (take) (void)!send(peer_fd, data + i, take, MSG_DONTWAIT | MSG_NOSIGNAL);
            i += take;
            break;
        case 1:  // passes
            for (size_t p = 0; p <= n % 4; p++) Modbus_Scan(0);
            break;
        default:  // the register bridge holds reads back, or lets them go
            DprRdReqs1[0] = uint8_t(DprRdReqs1[1] ^ (n & 1));
            break;
        }
        Drain();
    }
    DprRdReqs1[0] = DprRdReqs1[1];
    Modbus_Scan(0);
    Modbus_Scan(0);
    Drain();
    FuzzStream_Close(ModbusConnEth[0].slots[0].socket, peer_fd);
    return 0;
}
