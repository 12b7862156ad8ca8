// MD5 block transform and streaming interface, after RFC 1321.
#include "net/md5.h"

#include <cstring>

#include "core/image/bytes.h"
#include "net/nx.h"

const std::array<uint8_t, 64> _nx_md5_padding = {0x80};

namespace {

constexpr uint32_t kT[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
constexpr uint8_t kS[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                            5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                            4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                            6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

inline uint32_t Rol(uint32_t x, unsigned n) { return (x << n) | (x >> (32 - n)); }

}  // namespace

void _nx_md5_process_buffer(NX_MD5 *ctx, const uint8_t block[64]) {
    uint32_t x[16];
    for (unsigned i = 0; i < 16; i++) x[i] = LE_Get32(block + 4 * i);
    uint32_t a = ctx->nx_md5_states[0], b = ctx->nx_md5_states[1], c = ctx->nx_md5_states[2],
             d = ctx->nx_md5_states[3];
#define MD5_STEP(f, g, i)                                   \
    {                                                       \
        const uint32_t t = a + (f) + x[g] + kT[i];          \
        a = d;                                              \
        d = c;                                              \
        c = b;                                              \
        b = b + Rol(t, kS[i]);                              \
    }
    for (unsigned i = 0; i < 16; i++) MD5_STEP((b & c) | (~b & d), i, i)
    for (unsigned i = 16; i < 32; i++) MD5_STEP((d & b) | (~d & c), (5 * i + 1) & 15, i)
    for (unsigned i = 32; i < 48; i++) MD5_STEP(b ^ c ^ d, (3 * i + 5) & 15, i)
    for (unsigned i = 48; i < 64; i++) MD5_STEP(c ^ (b | ~d), (7 * i) & 15, i)
#undef MD5_STEP
    ctx->nx_md5_states[0] += a;
    ctx->nx_md5_states[1] += b;
    ctx->nx_md5_states[2] += c;
    ctx->nx_md5_states[3] += d;
}

uint32_t _nx_md5_initialize(NX_MD5 *ctx) {
    if (ctx == nullptr) return NX_PTR_ERROR;
    ctx->nx_md5_states = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    ctx->nx_md5_bit_count[0] = ctx->nx_md5_bit_count[1] = 0;
    return NX_SUCCESS;
}

uint32_t _nx_md5_update(NX_MD5 *ctx, const uint8_t *data, uint32_t length) {
    if (ctx == nullptr) return NX_PTR_ERROR;
    if (length == 0) return NX_SUCCESS;
    uint32_t have = (ctx->nx_md5_bit_count[0] >> 3) & 0x3F;
    const uint32_t low = ctx->nx_md5_bit_count[0] + (length << 3);
    if (low < ctx->nx_md5_bit_count[0]) ctx->nx_md5_bit_count[1]++;
    ctx->nx_md5_bit_count[0] = low;
    ctx->nx_md5_bit_count[1] += length >> 29;
    uint32_t i = 0;
    if (have != 0) {
        const uint32_t need = 64 - have;
        if (length < need) {
            std::memcpy(&ctx->nx_md5_buffer[have], data, length);
            return NX_SUCCESS;
        }
        std::memcpy(&ctx->nx_md5_buffer[have], data, need);
        _nx_md5_process_buffer(ctx, ctx->nx_md5_buffer.data());
        i = need;
        have = 0;
    }
    for (; i + 64 <= length; i += 64) _nx_md5_process_buffer(ctx, data + i);
    if (i < length) std::memcpy(ctx->nx_md5_buffer.data(), data + i, length - i);
    return NX_SUCCESS;
}

uint32_t _nx_md5_digest_calculate(NX_MD5 *ctx, uint8_t digest[16]) {
    if (ctx == nullptr) return NX_PTR_ERROR;
    uint8_t bits[8];
    LE_Put32(bits, ctx->nx_md5_bit_count[0]);
    LE_Put32(bits + 4, ctx->nx_md5_bit_count[1]);
    const uint32_t have = (ctx->nx_md5_bit_count[0] >> 3) & 0x3F;
    const uint32_t pad = have < 56 ? 56 - have : 120 - have;
    _nx_md5_update(ctx, _nx_md5_padding.data(), pad);
    _nx_md5_update(ctx, bits, 8);
    for (unsigned i = 0; i < 4; i++) LE_Put32(digest + 4 * i, ctx->nx_md5_states[i]);
    return NX_SUCCESS;
}
