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

// Status of the comment writer: 0 written, 1 refused.
constexpr uint32_t JPEG_OK = 0, JPEG_ERROR = 1;
constexpr uint32_t JPEG_COMMENT_MAX = 65533;  // text bytes one segment holds

// Writes a comment segment (marker 0xFFFE, big-endian length = text length
// + 2, the text) into dst at *index and moves *index behind it (a file image
// takes it anywhere after its SOI marker). A text longer than
// JPEG_COMMENT_MAX or a segment that does not fit in dst_size is refused:
// nothing written, JPEG_ERROR answered with the cause on the console.
uint32_t write_comment(uint8_t *dst, uint32_t dst_size, uint32_t *index, const char *text);
// Prints the text and a line end and answers JPEG_ERROR: an encoder error
// ends the call that met it, never the process.
uint32_t exitmessage(const char *text);
