// An interface record for tests, benchmarks and fuzz targets of the network
// layer. Header only: the fuzz and benchmark programs use it without the test
// library.
#pragma once

#include <cstdint>
#include <span>

#include "net/nx.h"

namespace test_support {

// Clears ip and makes it "eth0" with a default pool of 1520-byte packets
// made in mem under the name pool_name.
inline void EthIp(NX_IP &ip, NX_PACKET_POOL &pool, std::span<uint8_t> mem, const char *pool_name) {
    _nx_packet_pool_create(&pool, pool_name, 1520, mem.data(), uint32_t(mem.size()));
    ip = {};
    ip.nx_ip_name = "eth0";
    ip.nx_ip_default_packet_pool = &pool;
}

}  // namespace test_support
