// Baseline JPEG encoder: JFIF header, the standard quantisation tables at
// half their values, the standard Huffman tables, no chroma subsampling, an
// integer AAN forward DCT. Everything lives on the stack of one call; the
// destination is bounded.
#include "media/jpeg.h"

#include <array>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::array<uint8_t, 64> zigzag = {0,  1,  5,  6,  14, 15, 27, 28, 2,  4,  7,  13, 16, 26, 29, 42,
                                            3,  8,  12, 17, 25, 30, 41, 43, 9,  11, 18, 24, 31, 40, 44, 53,
                                            10, 19, 23, 32, 39, 45, 52, 54, 20, 22, 33, 38, 46, 51, 55, 60,
                                            21, 34, 37, 47, 50, 56, 59, 61, 35, 36, 48, 49, 57, 58, 62, 63};

constexpr std::array<uint8_t, 64> std_luminance_qt = {
    16, 11,  10,  16, 24, 40, 51, 61, 12,  12,  14,  19,  26, 58, 60, 55,  14,  13,  16,  24, 40, 57,
    69, 56,  14,  17, 22, 29, 51, 87, 80,  62,  18,  22,  37, 56, 68, 109, 103, 77,  24,  35, 55, 64,
    81, 104, 113, 92, 49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98,  112, 100, 103, 99};
constexpr std::array<uint8_t, 64> std_chrominance_qt = {17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99,
                                                        24, 26, 56, 99, 99, 99, 99, 99, 47, 66, 99, 99, 99, 99, 99, 99,
                                                        99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
                                                        99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};

constexpr std::array<uint16_t, 8> aanscales = {16384, 22725, 21407, 19266, 16384, 12873, 8867, 4520};

// Huffman tables: code counts for lengths 1..16, then the symbols.
// Both DC tables code the same symbols, the sizes 0..11.
constexpr std::array<uint8_t, 12> std_dc_values = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
constexpr std::array<uint8_t, 16> std_dc_luminance_nrcodes = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
constexpr std::array<uint8_t, 16> std_dc_chrominance_nrcodes = {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
constexpr std::array<uint8_t, 16> std_ac_luminance_nrcodes = {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d};
constexpr std::array<uint8_t, 162> std_ac_luminance_values = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61, 0x07, 0x22, 0x71,
    0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52, 0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72,
    0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37,
    0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59,
    0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
    0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a, 0xa2, 0xa3,
    0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3,
    0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2,
    0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};
constexpr std::array<uint8_t, 16> std_ac_chrominance_nrcodes = {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77};
constexpr std::array<uint8_t, 162> std_ac_chrominance_values = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61, 0x71, 0x13, 0x22,
    0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33, 0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1,
    0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18, 0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36,
    0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58,
    0x59, 0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a,
    0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a,
    0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba,
    0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda,
    0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};

struct BitString {
    uint16_t code;
    uint8_t length;
};
using HuffTable = std::array<BitString, 256>;

// The encoder's state for one call.
struct JpegState {
    uint8_t *dst;
    uint32_t size;
    uint32_t dstIndex;
    bool overflow;
    uint32_t bytenew;                // bits not yet written, the newest lowest
    int bytepos;                     // how many of them (0..7 between calls)
    std::array<uint8_t, 64> qY, qC;  // tables used, natural order
    std::array<int32_t, 64> fdtbl_Y, fdtbl_Cb;
    HuffTable YDC_HT, CbDC_HT, YAC_HT, CbAC_HT;
};

void writebyte(JpegState &s, uint8_t b) {
    if (s.dstIndex >= s.size) {
        s.overflow = true;
        return;
    }
    s.dst[s.dstIndex++] = b;
}
void writeword(JpegState &s, uint16_t w) {
    writebyte(s, uint8_t(w >> 8));
    writebyte(s, uint8_t(w));
}

// Codes are appended most significant bit first; a byte 0xFF is followed
// by a stuffing 0x00.
void writebits(JpegState &s, BitString bs) {
    s.bytenew = (s.bytenew << bs.length) | (bs.code & ((1u << bs.length) - 1));
    s.bytepos += bs.length;
    while (s.bytepos >= 8) {
        s.bytepos -= 8;
        const uint8_t b = uint8_t(s.bytenew >> s.bytepos);
        writebyte(s, b);
        if (b == 0xFF) writebyte(s, 0);
    }
    s.bytenew &= (1u << s.bytepos) - 1;
}

void ComputeHuffmanTable(const uint8_t *nrcodes, const uint8_t *values, HuffTable &ht) {
    uint16_t code = 0;
    std::size_t pos = 0;
    for (uint8_t len = 1; len <= 16; ++len) {
        for (uint8_t j = 0; j < nrcodes[len - 1]; ++j) {
            ht[values[pos++]] = {code, len};
            ++code;
        }
        code = uint16_t(code << 1);
    }
}

// Category (bit count) and bit code of a value.
BitString Category(int32_t v) {
    uint32_t a = uint32_t(v < 0 ? -v : v);
    uint8_t n = 0;
    while (a != 0) {
        ++n;
        a >>= 1;
    }
    const int32_t code = v < 0 ? v + (1 << n) - 1 : v;
    return {uint16_t(code), n};
}

void init_all(JpegState &s) {
    for (std::size_t i = 0; i < 64; ++i) {
        auto scaled = [](uint32_t v) {
            uint32_t t = (v * 50 + 50) / 100;
            if (t == 0) t = 1;
            if (t > 255) t = 255;
            return uint8_t(t);
        };
        s.qY[i] = scaled(std_luminance_qt[i]);
        s.qC[i] = scaled(std_chrominance_qt[i]);
        const uint32_t aan = (uint32_t(aanscales[i / 8]) * aanscales[i % 8]) >> 14;
        s.fdtbl_Y[i] = int32_t((aan * s.qY[i] + 1024) / 2048);
        s.fdtbl_Cb[i] = int32_t((aan * s.qC[i] + 1024) / 2048);
        if (s.fdtbl_Y[i] == 0) s.fdtbl_Y[i] = 1;
        if (s.fdtbl_Cb[i] == 0) s.fdtbl_Cb[i] = 1;
    }
    s.YDC_HT = s.CbDC_HT = s.YAC_HT = s.CbAC_HT = HuffTable{};
    ComputeHuffmanTable(std_dc_luminance_nrcodes.data(), std_dc_values.data(), s.YDC_HT);
    ComputeHuffmanTable(std_dc_chrominance_nrcodes.data(), std_dc_values.data(), s.CbDC_HT);
    ComputeHuffmanTable(std_ac_luminance_nrcodes.data(), std_ac_luminance_values.data(), s.YAC_HT);
    ComputeHuffmanTable(std_ac_chrominance_nrcodes.data(), std_ac_chrominance_values.data(), s.CbAC_HT);
}

void write_APP0info(JpegState &s) {
    writeword(s, 0xFFE0);
    writeword(s, 16);
    for (char c : {'J', 'F', 'I', 'F', '\0'}) writebyte(s, uint8_t(c));
    writebyte(s, 1);  // version 1.01
    writebyte(s, 1);
    writebyte(s, 0);  // density units
    writeword(s, 1);
    writeword(s, 1);
    writebyte(s, 0);  // no thumbnail
    writebyte(s, 0);
}

void write_DQTinfo(JpegState &s) {
    writeword(s, 0xFFDB);
    writeword(s, 132);
    std::array<uint8_t, 64> zz;
    writebyte(s, 0);
    for (std::size_t i = 0; i < 64; ++i) zz[zigzag[i]] = s.qY[i];
    for (uint8_t b : zz) writebyte(s, b);
    writebyte(s, 1);
    for (std::size_t i = 0; i < 64; ++i) zz[zigzag[i]] = s.qC[i];
    for (uint8_t b : zz) writebyte(s, b);
}

void write_SOF0info(JpegState &s, uint16_t width, uint16_t height) {
    writeword(s, 0xFFC0);
    writeword(s, 17);
    writebyte(s, 8);
    writeword(s, height);
    writeword(s, width);
    writebyte(s, 3);
    for (uint8_t id = 1; id <= 3; ++id) {
        writebyte(s, id);
        writebyte(s, 0x11);
        writebyte(s, id == 1 ? 0 : 1);
    }
}

void write_DHTinfo(JpegState &s) {
    writeword(s, 0xFFC4);
    writeword(s, 418);
    auto table = [&s](uint8_t cls, const uint8_t *nr, const uint8_t *val, std::size_t n) {
        writebyte(s, cls);
        for (int i = 0; i < 16; ++i) writebyte(s, nr[i]);
        for (std::size_t i = 0; i < n; ++i) writebyte(s, val[i]);
    };
    table(0x00, std_dc_luminance_nrcodes.data(), std_dc_values.data(), 12);
    table(0x10, std_ac_luminance_nrcodes.data(), std_ac_luminance_values.data(), 162);
    table(0x01, std_dc_chrominance_nrcodes.data(), std_dc_values.data(), 12);
    table(0x11, std_ac_chrominance_nrcodes.data(), std_ac_chrominance_values.data(), 162);
}

void write_SOSinfo(JpegState &s) {
    writeword(s, 0xFFDA);
    writeword(s, 12);
    writebyte(s, 3);
    writebyte(s, 1);
    writebyte(s, 0x00);
    writebyte(s, 2);
    writebyte(s, 0x11);
    writebyte(s, 3);
    writebyte(s, 0x11);
    writebyte(s, 0);
    writebyte(s, 63);
    writebyte(s, 0);
}

inline int32_t Mul(int32_t x, int32_t c) { return int32_t((int64_t(x) * c + 32768) >> 16); }

// AAN forward DCT in place, rows then columns (outputs scaled by 8 x the AAN
// factors, which the divisor tables take out).
void FDCT(std::array<int32_t, 64> &d) {
    for (int pass = 0; pass < 2; ++pass) {
        const int step = pass == 0 ? 1 : 8;
        for (int k = 0; k < 8; ++k) {
            int32_t *p = d.data() + (pass == 0 ? 8 * k : k);
            auto at = [p, step](int i) -> int32_t & { return p[i * step]; };
            const int32_t tmp0 = at(0) + at(7), tmp7 = at(0) - at(7);
            const int32_t tmp1 = at(1) + at(6), tmp6 = at(1) - at(6);
            const int32_t tmp2 = at(2) + at(5), tmp5 = at(2) - at(5);
            const int32_t tmp3 = at(3) + at(4), tmp4 = at(3) - at(4);
            int32_t tmp10 = tmp0 + tmp3, tmp13 = tmp0 - tmp3;
            int32_t tmp11 = tmp1 + tmp2, tmp12 = tmp1 - tmp2;
            at(0) = tmp10 + tmp11;
            at(4) = tmp10 - tmp11;
            const int32_t z1 = Mul(tmp12 + tmp13, 46341);
            at(2) = tmp13 + z1;
            at(6) = tmp13 - z1;
            tmp10 = tmp4 + tmp5;
            tmp11 = tmp5 + tmp6;
            tmp12 = tmp6 + tmp7;
            const int32_t z5 = Mul(tmp10 - tmp12, 25080);
            const int32_t z2 = Mul(tmp10, 35468) + z5;
            const int32_t z4 = Mul(tmp12, 85627) + z5;
            const int32_t z3 = Mul(tmp11, 46341);
            const int32_t z11 = tmp7 + z3, z13 = tmp7 - z3;
            at(5) = z13 + z2;
            at(3) = z13 - z2;
            at(1) = z11 + z4;
            at(7) = z11 - z4;
        }
    }
}

void Quantize(std::array<int32_t, 64> &d, const std::array<int32_t, 64> &div) {
    for (std::size_t i = 0; i < 64; ++i) {
        const int32_t q = div[i];
        const int32_t a = d[i] < 0 ? -d[i] : d[i];
        const int32_t r = (2 * a + q) / (2 * q);
        d[i] = d[i] < 0 ? -r : r;
    }
}

void EncodeMCU(JpegState &s, std::array<int32_t, 64> &block, const std::array<int32_t, 64> &div, int32_t &dc,
               const HuffTable &htdc, const HuffTable &htac) {
    FDCT(block);
    Quantize(block, div);
    std::array<int32_t, 64> du;
    for (std::size_t i = 0; i < 64; ++i) du[zigzag[i]] = block[i];
    const int32_t diff = du[0] - dc;
    dc = du[0];
    if (diff == 0) {
        writebits(s, htdc[0]);
    } else {
        const BitString c = Category(diff);
        writebits(s, htdc[c.length]);
        writebits(s, c);
    }
    int end0pos = 63;
    while (end0pos > 0 && du[std::size_t(end0pos)] == 0) --end0pos;
    if (end0pos == 0) {
        writebits(s, htac[0x00]);
        return;
    }
    int i = 1;
    while (i <= end0pos) {
        const int start = i;
        while (du[std::size_t(i)] == 0 && i <= end0pos) ++i;
        int zeroes = i - start;
        for (; zeroes >= 16; zeroes -= 16) writebits(s, htac[0xF0]);
        const BitString c = Category(du[std::size_t(i)]);
        writebits(s, htac[std::size_t(zeroes * 16 + c.length)]);
        writebits(s, c);
        ++i;
    }
    if (end0pos != 63) writebits(s, htac[0x00]);
}

}  // namespace

uint32_t JpegCompress(uint8_t *dst, uint32_t dst_size, const uint16_t *src, uint32_t width, uint32_t height,
                      uint32_t format) {
    if (dst == nullptr || width > JPEG_SIZE_MAX || height > JPEG_SIZE_MAX) return 0;
    if (src == nullptr && width != 0 && height != 0) return 0;
    JpegState s{};
    s.dst = dst;
    s.size = dst_size;
    init_all(s);
    writeword(s, 0xFFD8);
    write_APP0info(s);
    write_DQTinfo(s);
    write_SOF0info(s, uint16_t(width), uint16_t(height));
    write_DHTinfo(s);
    write_SOSinfo(s);

    int32_t dcY = 0, dcCb = 0, dcCr = 0;
    std::array<int32_t, 64> Y, Cb, Cr;
    for (uint32_t y0 = 0; y0 < height && !s.overflow; y0 += 8) {
        for (uint32_t x0 = 0; x0 < width && !s.overflow; x0 += 8) {
            // RGBtoMCU, the edge pixels repeated past the image.
            for (uint32_t j = 0; j < 8; ++j) {
                const uint32_t y = y0 + j < height ? y0 + j : height - 1;
                for (uint32_t i = 0; i < 8; ++i) {
                    const uint32_t x = x0 + i < width ? x0 + i : width - 1;
                    const uint16_t px = src[std::size_t(y) * width + x];
                    int32_t R, G, B;
                    if (format == JPEG_FORMAT_565) {
                        R = (px >> 8) & 0xF8;
                        G = (px >> 3) & 0xFC;
                        B = (px << 3) & 0xF8;
                    } else {
                        R = (px >> 7) & 0xF8;
                        G = (px >> 2) & 0xF8;
                        B = (px << 3) & 0xF8;
                    }
                    const std::size_t k = 8 * j + i;
                    Y[k] = ((19595 * R + 38470 * G + 7471 * B) >> 16) - 128;
                    Cb[k] = (-11058 * R - 21708 * G + 32768 * B) >> 16;
                    Cr[k] = (32768 * R - 27438 * G - 5328 * B) >> 16;
                }
            }
            EncodeMCU(s, Y, s.fdtbl_Y, dcY, s.YDC_HT, s.YAC_HT);
            EncodeMCU(s, Cb, s.fdtbl_Cb, dcCb, s.CbDC_HT, s.CbAC_HT);
            EncodeMCU(s, Cr, s.fdtbl_Cb, dcCr, s.CbDC_HT, s.CbAC_HT);
        }
    }
    // The last partial byte, filled with 1 bits.
    if (s.bytepos != 0) writebits(s, {uint16_t((1u << (8 - s.bytepos)) - 1), uint8_t(8 - s.bytepos)});
    writeword(s, 0xFFD9);
    return s.overflow ? 0 : s.dstIndex;
}

uint32_t exitmessage(const char *text) {
    std::printf("%s\n", text);
    return JPEG_ERROR;
}

uint32_t write_comment(uint8_t *dst, uint32_t dst_size, uint32_t *index, const char *text) {
    if (dst == nullptr || index == nullptr || text == nullptr) return exitmessage("JPEG comment: no buffer");
    const std::size_t n = std::strlen(text);
    if (n > JPEG_COMMENT_MAX) return exitmessage("JPEG comment too long");
    if (*index > dst_size || dst_size - *index < n + 4) return exitmessage("JPEG comment: no room");
    uint8_t *p = dst + *index;
    p[0] = 0xFF;
    p[1] = 0xFE;
    p[2] = uint8_t((n + 2) >> 8);
    p[3] = uint8_t(n + 2);
    std::memcpy(p + 4, text, n);
    *index += uint32_t(n + 4);
    return JPEG_OK;
}
