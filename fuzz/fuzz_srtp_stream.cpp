// Feeds arbitrary bytes to an SRTP session as a stream cut into reads of the
// sizes byte 0 picks, and serves every whole message the way a pass does:
// framing by the text length, one message, then the read it leaves pending.
// The session's socket is not connected: answers fail to send, as a peer
// that went away would make them.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/image/bytes.h"
#include "net/dpr.h"
#include "protocols/srtp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static NX_PACKET_POOL pool;
    static bool once = [] {
        Dpr_Init();
        static std::array<uint8_t, 8 * (NX_PACKET_HEADER + 1520)> mem alignas(16);
        _nx_packet_pool_create(&pool, "fuzz", 1520, mem.data(), uint32_t(mem.size()));
        SrtpPacketPoolPtr = &pool;
        return true;
    }();
    (void)once;
    if (size < 1) return 0;
    LE_Put16(Dpr_Map_Ptr + DPR_RUN, data[0] & 0x80 ? 1 : 0);
    const size_t piece = 1 + (data[0] & 0x7F) * 12;
    SrtpSlot &slot = SrtpConnEth[0].slots[0];
    slot.rx_len = 0;
    slot.read_pending = 0;
    for (size_t at = 1; at < size;) {
        const size_t n = std::min(piece, size - at);
        if (slot.rx_len + n > slot.rx.size()) std::abort();  // framing must keep room for a read
        std::memcpy(&slot.rx[slot.rx_len], data + at, n);
        slot.rx_len += uint32_t(n);
        at += n;
        for (;;) {
            const uint32_t len = SrtpFrameLength(slot);
            if (len == 0) break;
            if (len == 0xFFFFFFFF) {
                slot.rx_len = 0;
                break;
            }
            if (len > SrtpRxBuff.size() || len > slot.rx_len) std::abort();
            std::memcpy(SrtpRxBuff.data(), slot.rx.data(), len);
            std::memmove(slot.rx.data(), slot.rx.data() + len, slot.rx_len - len);
            slot.rx_len -= len;
            SrtpMessage(0, 0, len);
            if (slot.read_pending) {
                SrtpReadAnswer(0, 0);
                slot.read_pending = 0;
            }
        }
    }
    return 0;
}
