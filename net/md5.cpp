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

inline uint32_t Rol(uint32_t x, unsigned n) { return (x << n) | (x >> (32 - n)); }

}  // namespace

void _nx_md5_process_buffer(NX_MD5 *ctx, const uint8_t block[64]) {
    uint32_t x[16];
    for (unsigned i = 0; i < 16; i++) x[i] = LE_Get32(block + 4 * i);
    uint32_t a = ctx->nx_md5_states[0], b = ctx->nx_md5_states[1], c = ctx->nx_md5_states[2], d = ctx->nx_md5_states[3];
#define F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define G(x, y, z) ((y) ^ ((z) & ((x) ^ (y))))
#define H(x, y, z) ((x) ^ (y) ^ (z))
#define I(x, y, z) ((y) ^ ((x) | ~(z)))
#define MD5_OP(f, a, b, c, d, xk, s, t) a = b + Rol(a + f(b, c, d) + (xk) + (t), s)
    MD5_OP(F, a, b, c, d, x[0], 7, kT[0]);
    MD5_OP(F, d, a, b, c, x[1], 12, kT[1]);
    MD5_OP(F, c, d, a, b, x[2], 17, kT[2]);
    MD5_OP(F, b, c, d, a, x[3], 22, kT[3]);
    MD5_OP(F, a, b, c, d, x[4], 7, kT[4]);
    MD5_OP(F, d, a, b, c, x[5], 12, kT[5]);
    MD5_OP(F, c, d, a, b, x[6], 17, kT[6]);
    MD5_OP(F, b, c, d, a, x[7], 22, kT[7]);
    MD5_OP(F, a, b, c, d, x[8], 7, kT[8]);
    MD5_OP(F, d, a, b, c, x[9], 12, kT[9]);
    MD5_OP(F, c, d, a, b, x[10], 17, kT[10]);
    MD5_OP(F, b, c, d, a, x[11], 22, kT[11]);
    MD5_OP(F, a, b, c, d, x[12], 7, kT[12]);
    MD5_OP(F, d, a, b, c, x[13], 12, kT[13]);
    MD5_OP(F, c, d, a, b, x[14], 17, kT[14]);
    MD5_OP(F, b, c, d, a, x[15], 22, kT[15]);
    MD5_OP(G, a, b, c, d, x[1], 5, kT[16]);
    MD5_OP(G, d, a, b, c, x[6], 9, kT[17]);
    MD5_OP(G, c, d, a, b, x[11], 14, kT[18]);
    MD5_OP(G, b, c, d, a, x[0], 20, kT[19]);
    MD5_OP(G, a, b, c, d, x[5], 5, kT[20]);
    MD5_OP(G, d, a, b, c, x[10], 9, kT[21]);
    MD5_OP(G, c, d, a, b, x[15], 14, kT[22]);
    MD5_OP(G, b, c, d, a, x[4], 20, kT[23]);
    MD5_OP(G, a, b, c, d, x[9], 5, kT[24]);
    MD5_OP(G, d, a, b, c, x[14], 9, kT[25]);
    MD5_OP(G, c, d, a, b, x[3], 14, kT[26]);
    MD5_OP(G, b, c, d, a, x[8], 20, kT[27]);
    MD5_OP(G, a, b, c, d, x[13], 5, kT[28]);
    MD5_OP(G, d, a, b, c, x[2], 9, kT[29]);
    MD5_OP(G, c, d, a, b, x[7], 14, kT[30]);
    MD5_OP(G, b, c, d, a, x[12], 20, kT[31]);
    MD5_OP(H, a, b, c, d, x[5], 4, kT[32]);
    MD5_OP(H, d, a, b, c, x[8], 11, kT[33]);
    MD5_OP(H, c, d, a, b, x[11], 16, kT[34]);
    MD5_OP(H, b, c, d, a, x[14], 23, kT[35]);
    MD5_OP(H, a, b, c, d, x[1], 4, kT[36]);
    MD5_OP(H, d, a, b, c, x[4], 11, kT[37]);
    MD5_OP(H, c, d, a, b, x[7], 16, kT[38]);
    MD5_OP(H, b, c, d, a, x[10], 23, kT[39]);
    MD5_OP(H, a, b, c, d, x[13], 4, kT[40]);
    MD5_OP(H, d, a, b, c, x[0], 11, kT[41]);
    MD5_OP(H, c, d, a, b, x[3], 16, kT[42]);
    MD5_OP(H, b, c, d, a, x[6], 23, kT[43]);
    MD5_OP(H, a, b, c, d, x[9], 4, kT[44]);
    MD5_OP(H, d, a, b, c, x[12], 11, kT[45]);
    MD5_OP(H, c, d, a, b, x[15], 16, kT[46]);
    MD5_OP(H, b, c, d, a, x[2], 23, kT[47]);
    MD5_OP(I, a, b, c, d, x[0], 6, kT[48]);
    MD5_OP(I, d, a, b, c, x[7], 10, kT[49]);
    MD5_OP(I, c, d, a, b, x[14], 15, kT[50]);
    MD5_OP(I, b, c, d, a, x[5], 21, kT[51]);
    MD5_OP(I, a, b, c, d, x[12], 6, kT[52]);
    MD5_OP(I, d, a, b, c, x[3], 10, kT[53]);
    MD5_OP(I, c, d, a, b, x[10], 15, kT[54]);
    MD5_OP(I, b, c, d, a, x[1], 21, kT[55]);
    MD5_OP(I, a, b, c, d, x[8], 6, kT[56]);
    MD5_OP(I, d, a, b, c, x[15], 10, kT[57]);
    MD5_OP(I, c, d, a, b, x[6], 15, kT[58]);
    MD5_OP(I, b, c, d, a, x[13], 21, kT[59]);
    MD5_OP(I, a, b, c, d, x[4], 6, kT[60]);
    MD5_OP(I, d, a, b, c, x[11], 10, kT[61]);
    MD5_OP(I, c, d, a, b, x[2], 15, kT[62]);
    MD5_OP(I, b, c, d, a, x[9], 21, kT[63]);
#undef MD5_OP
#undef F
#undef G
#undef H
#undef I
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
