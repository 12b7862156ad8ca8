// Packets and the packet pool: fixed records carved from one memory block,
// taken by a linear scan and never chained.
#include <cstring>

#include "net/nx.h"
#include "platform/plat_assert.h"

uint32_t _nx_packet_pool_create(NX_PACKET_POOL *pool, const char *name, uint32_t payload, void *memory, uint32_t size) {
    std::memset(pool, 0, sizeof *pool);
    pool->nx_packet_pool_name = name;
    pool->nx_packet_pool_start = static_cast<uint8_t *>(memory);
    pool->nx_packet_pool_size = size;
    pool->nx_packet_pool_payload_size = payload;
    // Each packet takes its record (NX_PACKET_HEADER, 96 bytes on a 64-bit
    // host: the record holds host pointers) plus its payload, not the 44-byte
    // header of the board's packet layout: a pool of 312,800 bytes with
    // 1,520-byte payloads holds 193 packets here where that layout counts
    // 200. The kept records are what the pool's users index, so the count
    // follows them.
    const std::size_t stride = NX_PACKET_HEADER + payload;
    const uint32_t count = memory == nullptr ? 0 : uint32_t(size / stride);
    pool->nx_packet_pool_total = pool->nx_packet_pool_available = count;
    uint8_t *p = static_cast<uint8_t *>(memory);
    for (uint32_t i = 0; i < count; i++, p += stride) {
        auto *pk = reinterpret_cast<NX_PACKET *>(p);
        std::memset(pk, 0, sizeof *pk);
        pk->nx_packet_state = NX_PACKET_FREE;
        pk->nx_packet_data_start = p + NX_PACKET_HEADER;
        pk->nx_packet_prepend_ptr = pk->nx_packet_append_ptr = pk->nx_packet_data_start;
        pk->nx_packet_data_end = pk->nx_packet_data_start + payload;
        pk->nx_packet_pool_next = i + 1 < count ? reinterpret_cast<NX_PACKET *>(p + stride) : nullptr;
    }
    pool->nx_packet_pool_available_list = count ? static_cast<NX_PACKET *>(memory) : nullptr;
    return NX_SUCCESS;
}

uint32_t _nx_packet_allocate(NX_PACKET_POOL *pool, NX_PACKET **packet, uint32_t, uint32_t) {
    *packet = nullptr;
    NX_PACKET *pk = pool->nx_packet_pool_available_list;
    for (uint32_t i = 0; i < pool->nx_packet_pool_total && pk != nullptr; i++, pk = pk->nx_packet_pool_next) {
        if (pk->nx_packet_state == NX_PACKET_FREE) {
            pk->nx_packet_state = NX_PACKET_ALLOCATED;
            pk->nx_packet_append_ptr = pk->nx_packet_prepend_ptr;
            pool->nx_packet_pool_available = pool->nx_packet_pool_total - i;
            *packet = pk;
            return NX_SUCCESS;
        }
    }
    // Every packet passed was taken: none is available.
    pool->nx_packet_pool_available = 0;
    return NX_NOT_SUCCESSFUL;
}

uint32_t _nx_packet_release(NX_PACKET *packet) {
    if (packet == nullptr) return NX_PTR_ERROR;
    // A packet goes back once: a second release is its holder's fault.
    if (NEVER(packet->nx_packet_state == NX_PACKET_FREE)) return NX_PTR_ERROR;
    packet->nx_packet_state = NX_PACKET_FREE;
    packet->nx_packet_prepend_ptr = packet->nx_packet_data_start;
    packet->nx_packet_length = 0;
    packet->nx_packet_queue_next = nullptr;
    packet->nx_packet_last = nullptr;
    return NX_SUCCESS;
}

uint32_t _nx_packet_data_append(NX_PACKET *packet, const void *data, uint32_t size, NX_PACKET_POOL *, uint32_t) {
    if (packet == nullptr || packet->nx_packet_state != NX_PACKET_ALLOCATED) return NX_NOT_SUCCESSFUL;
    // Packets are never chained: data past the payload is refused, not written.
    if (packet->nx_packet_append_ptr > packet->nx_packet_data_end ||
        size > std::size_t(packet->nx_packet_data_end - packet->nx_packet_append_ptr))
        return NX_NOT_SUCCESSFUL;
    if (size) std::memcpy(packet->nx_packet_append_ptr, data, size);
    packet->nx_packet_append_ptr += size;
    packet->nx_packet_length += size;
    return NX_SUCCESS;
}

uint32_t _nx_packet_copy(NX_PACKET *source, NX_PACKET **out, NX_PACKET_POOL *pool, uint32_t wait) {
    *out = nullptr;
    if (source->nx_packet_length == 0) return NX_INVALID_PACKET;
    NX_PACKET *pk = nullptr;
    if (_nx_packet_allocate(pool, &pk, 0, wait) != NX_SUCCESS) return NX_NOT_SUCCESSFUL;
    const uint8_t *from = source->nx_packet_prepend_ptr;
    const uint8_t *to = source->nx_packet_append_ptr;
    if (to <= from || _nx_packet_data_append(pk, from, uint32_t(to - from), pool, wait) != NX_SUCCESS ||
        pk->nx_packet_length != source->nx_packet_length) {
        _nx_packet_release(pk);
        return NX_INVALID_PACKET;
    }
    *out = pk;
    return NX_SUCCESS;
}
