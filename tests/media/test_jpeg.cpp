// JPEG encoder: the file layout byte for byte for a one-colour block, the
// bounds (short destination, sizes above 65535, empty images), and images
// that a real decoder reads back close to the source, padded sizes included.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "media/jpeg.h"
#include "tests/support/temp_root.h"

namespace {

std::vector<uint8_t> Encode(const std::vector<uint16_t> &px, uint32_t w, uint32_t h, uint32_t fmt) {
    std::vector<uint8_t> out(700 + 6 * std::size_t(w) * h);
    const uint32_t n = JpegCompress(out.data(), uint32_t(out.size()), px.data(), w, h, fmt);
    out.resize(n);
    return out;
}

uint16_t Pack565(int r, int g, int b) { return uint16_t(((r >> 3) << 11) | ((g >> 2) << 5) | (b >> 3)); }
uint16_t Pack555(int r, int g, int b) { return uint16_t(((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3)); }

TEST(Jpeg, OneColourBlockLayoutAndBounds) {
    const std::vector<uint16_t> black(64, 0);
    const std::vector<uint8_t> f = Encode(black, 8, 8, JPEG_FORMAT_565);
    ASSERT_EQ(f.size(), 613u);
    const std::vector<uint8_t> head = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J',  'F',  'I',  'F',  0,    1, 1, 0,
                                       0,    1,    0,    1,    0,    0,    0xFF, 0xDB, 0x00, 0x84, 0x00, 8, 6, 6};
    EXPECT_EQ(std::vector<uint8_t>(f.begin(), f.begin() + long(head.size())), head);
    // Chrominance table: first entry (17 * 50 + 50) / 100 = 9; last 99 -> 50.
    EXPECT_EQ(f[20 + 4 + 65], 0x01);
    EXPECT_EQ(f[20 + 4 + 66], 9);
    EXPECT_EQ(f[20 + 4 + 129], 50);
    const std::vector<uint8_t> sof = {0xFF, 0xC0, 0, 17, 8, 0, 8, 0, 8, 3, 1, 0x11, 0, 2, 0x11, 1, 3, 0x11, 1};
    EXPECT_EQ(std::vector<uint8_t>(f.begin() + 154, f.begin() + 173), sof);
    EXPECT_EQ(f[173], 0xFF);
    EXPECT_EQ(f[174], 0xC4);
    EXPECT_EQ(f[175] * 256 + f[176], 418);
    const std::vector<uint8_t> sos = {0xFF, 0xDA, 0, 12, 3, 1, 0, 2, 0x11, 3, 0x11, 0, 63, 0};
    EXPECT_EQ(std::vector<uint8_t>(f.begin() + 593, f.begin() + 607), sos);
    EXPECT_EQ(std::vector<uint8_t>(f.begin() + 607, f.end()),
              (std::vector<uint8_t>{0xF9, 0xFE, 0x80, 0x3F, 0xFF, 0xD9}));

    // Headers and the end marker only for an empty image.
    const std::vector<uint8_t> empty = Encode({}, 0, 16, 0);
    ASSERT_EQ(empty.size(), 609u);
    EXPECT_EQ(empty[607], 0xFF);
    EXPECT_EQ(empty[608], 0xD9);

    // A destination one byte short: nothing written past it, 0 answered.
    std::vector<uint8_t> dst(613, 0xEE);
    dst.push_back(0x5C);
    EXPECT_EQ(JpegCompress(dst.data(), 612, black.data(), 8, 8, 1), 0u);
    EXPECT_EQ(dst[612], 0xEE);
    EXPECT_EQ(JpegCompress(dst.data(), 613, black.data(), 8, 8, 1), 613u);
    EXPECT_EQ(dst[613], 0x5C);
    // Sizes above what the frame header holds.
    EXPECT_EQ(JpegCompress(dst.data(), 613, black.data(), 65536, 1, 1), 0u);
    EXPECT_EQ(JpegCompress(dst.data(), 613, black.data(), 1, 65536, 1), 0u);

    // The two pixel layouts read the same word differently: pure 5-6-5 red
    // is 5-5-5 red with some green.
    const std::vector<uint16_t> red(64, Pack565(255, 0, 0));
    EXPECT_NE(Encode(red, 8, 8, 1), Encode(red, 8, 8, 0));
    EXPECT_EQ(Encode(std::vector<uint16_t>(64, Pack555(255, 0, 0)), 8, 8, 0), Encode(red, 8, 8, 1));
}

// Decodes with djpeg and answers the mean absolute error against the source.
double DecodeError(const std::string &dir, const std::vector<uint8_t> &jpg, const std::vector<uint8_t> &rgb, uint32_t w,
                   uint32_t h) {
    const std::string in = dir + "/img.jpg", out = dir + "/img.ppm";
    FILE *f = std::fopen(in.c_str(), "wb");
    std::fwrite(jpg.data(), 1, jpg.size(), f);
    std::fclose(f);
    EXPECT_EQ(std::system(("jpeginfo -c " + in + " >/dev/null").c_str()), 0);
    EXPECT_EQ(std::system(("djpeg -pnm -outfile " + out + " " + in).c_str()), 0);
    f = std::fopen(out.c_str(), "rb");
    if (f == nullptr) return 1e9;
    unsigned pw = 0, ph = 0, maxv = 0;
    EXPECT_EQ(std::fscanf(f, "P6 %u %u %u", &pw, &ph, &maxv), 3);
    std::fgetc(f);
    EXPECT_EQ(pw, w);
    EXPECT_EQ(ph, h);
    std::vector<uint8_t> got(rgb.size());
    EXPECT_EQ(std::fread(got.data(), 1, got.size(), f), got.size());
    std::fclose(f);
    double sum = 0;
    for (std::size_t i = 0; i < rgb.size(); ++i) sum += std::abs(int(got[i]) - int(rgb[i]));
    return sum / double(rgb.size());
}

TEST(Jpeg, GradientsDecodeCloseToTheSource) {
    test_support::TempRoot root;
    for (auto [w, h] : {std::pair<uint32_t, uint32_t>{64, 48}, {61, 45}}) {
        std::vector<uint16_t> px;
        std::vector<uint8_t> rgb;  // the source as the encoder widens it
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x) {
                const int r = int(x * 255 / w), g = int(y * 255 / h), b = int((x + y) * 255 / (w + h));
                px.push_back(Pack565(r, g, b));
                rgb.push_back(uint8_t(r & 0xF8));
                rgb.push_back(uint8_t(g & 0xFC));
                rgb.push_back(uint8_t(b & 0xF8));
            }
        const std::vector<uint8_t> jpg = Encode(px, w, h, JPEG_FORMAT_565);
        ASSERT_GT(jpg.size(), 613u);
        EXPECT_LE(DecodeError(root.path(), jpg, rgb, w, h), 3.0) << w << "x" << h;
    }
}

// A comment segment behind the SOI marker of an encoded image: the bytes
// as laid out, read back by rdjpgcom, the image still decoded; a text too
// long for a segment or a segment without room refused, nothing written.
TEST(Jpeg, CommentSegmentAfterTheStartMarker) {
    const std::vector<uint8_t> img = Encode(std::vector<uint16_t>(64, 0), 8, 8, JPEG_FORMAT_565);
    ASSERT_EQ(img.size(), 613u);
    std::vector<uint8_t> out(2 + 4 + 11 + 611);
    std::memcpy(out.data(), img.data(), 2);
    uint32_t at = 2;
    EXPECT_EQ(write_comment(out.data(), uint32_t(out.size()), &at, "made by PLC"), JPEG_OK);
    EXPECT_EQ(at, 17u);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 17),
              (std::vector<uint8_t>{0xFF, 0xD8, 0xFF, 0xFE, 0x00, 0x0D, 'm', 'a', 'd', 'e', ' ', 'b', 'y', ' ', 'P',
                                    'L', 'C'}));
    std::memcpy(out.data() + at, img.data() + 2, 611);
    test_support::TempRoot root;
    const std::string path = root / "c.jpg";
    FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(out.data(), 1, out.size(), f);
    std::fclose(f);
    FILE *p = popen(("rdjpgcom " + path).c_str(), "r");
    ASSERT_NE(p, nullptr);
    char line[64] = {};
    ASSERT_NE(std::fgets(line, sizeof line, p), nullptr);
    EXPECT_EQ(pclose(p), 0);
    EXPECT_STREQ(line, "made by PLC\n");
    EXPECT_EQ(std::system(("djpeg -outfile /dev/null " + path).c_str()), 0);

    // Refused: 65534 bytes of text; a segment one byte short of room.
    std::vector<uint8_t> buf(70000, 0x5C);
    const std::string long_text(65534, 'x');
    at = 0;
    EXPECT_EQ(write_comment(buf.data(), uint32_t(buf.size()), &at, long_text.c_str()), JPEG_ERROR);
    EXPECT_EQ(at, 0u);
    EXPECT_EQ(buf[0], 0x5C);
    EXPECT_EQ(write_comment(buf.data(), uint32_t(buf.size()), &at, long_text.c_str() + 1), JPEG_OK);
    EXPECT_EQ(at, 65537u);
    EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + 4), (std::vector<uint8_t>{0xFF, 0xFE, 0xFF, 0xFF}));
    buf.assign(buf.size(), 0x5C);
    at = 10;
    EXPECT_EQ(write_comment(buf.data(), 15, &at, "AB"), JPEG_ERROR);
    EXPECT_EQ(at, 10u);
    EXPECT_EQ(write_comment(buf.data(), 16, &at, "AB"), JPEG_OK);
    EXPECT_EQ(std::vector<uint8_t>(buf.begin() + 10, buf.begin() + 17),
              (std::vector<uint8_t>{0xFF, 0xFE, 0x00, 0x04, 'A', 'B', 0x5C}));
}

}  // namespace
