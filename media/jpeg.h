// Baseline JPEG encoder (sequential DCT, Huffman coding, JFIF header) for
// 16-bit-per-pixel images held in memory.
#pragma once

#include <cstdint>

constexpr uint32_t JPEG_FORMAT_565 = 1;  // any other format value: 5-5-5
constexpr uint32_t JPEG_SIZE_MAX = 65535;

// Encodes width x height pixels (rows one after another) into dst, which
// holds dst_size bytes. Answers the number of bytes written, or 0 when the
// result does not fit or a size is above 65535. Sizes that are not multiples
// of 8 are padded by repeating the last column and row.
uint32_t JpegCompress(uint8_t *dst, uint32_t dst_size, const uint16_t *src, uint32_t width, uint32_t height,
                      uint32_t format);
