// MD5 (RFC 1321) for the HTTP server's Digest check.
#pragma once

#include <array>
#include <cstdint>

struct NX_MD5 {
    std::array<uint32_t, 4> nx_md5_states;
    uint32_t nx_md5_bit_count[2];  // low, high half of the message length in bits
    std::array<uint8_t, 64> nx_md5_buffer;
};

extern const std::array<uint8_t, 64> _nx_md5_padding;

uint32_t _nx_md5_initialize(NX_MD5 *context);
uint32_t _nx_md5_update(NX_MD5 *context, const uint8_t *data, uint32_t length);
uint32_t _nx_md5_digest_calculate(NX_MD5 *context, uint8_t digest[16]);
void _nx_md5_process_buffer(NX_MD5 *context, const uint8_t block[64]);
