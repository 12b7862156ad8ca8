// CRC-16/MODBUS, two-word registers and the sign-on texts.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/image/util.h"

namespace {

const uint8_t *Bytes(const char *s) { return reinterpret_cast<const uint8_t *>(s); }

TEST(Crc16, CheckValuesAndWireOrder) {
    EXPECT_EQ(crc16(Bytes("123456789"), 9), 0x4B37);
    EXPECT_EQ(crc16(Bytes(""), 0), 0xFFFF);
    EXPECT_EQ(crc16(nullptr, 0), 0xFFFF);
    // A Modbus RTU request as it goes on the wire: 01 03 00 00 00 0A C5 CD,
    // the CRC low byte first.
    const uint8_t frame[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A};
    const uint16_t c = crc16(frame, sizeof frame);
    EXPECT_EQ(c & 0xFF, 0xC5);
    EXPECT_EQ(c >> 8, 0xCD);
    // A frame followed by its own CRC (low byte first) checks to zero.
    const uint8_t whole[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD};
    EXPECT_EQ(crc16(whole, sizeof whole), 0);
    const std::vector<uint8_t> v(frame, frame + sizeof frame);
    EXPECT_EQ(crc16(std::span<const uint8_t>(v)), c);
}

TEST(Crc16, ContinuationMatchesOneRunAtEverySplit) {
    std::vector<uint8_t> data(300);
    for (size_t i = 0; i < data.size(); i++) data[i] = uint8_t(i * 37 + 11);
    const uint16_t whole = crc16(data.data(), data.size());
    for (size_t split = 0; split <= data.size(); split += 7) {
        const uint16_t first = crc16(data.data(), split);
        EXPECT_EQ(crc16_next(data.data() + split, data.size() - split, first), whole) << split;
    }
    EXPECT_EQ(crc16_next(data.data(), 0, 0x1234), 0x1234);
    EXPECT_EQ(crc16_next(Bytes("123456789"), 9, 0xFFFF), 0x4B37);
    // Every single-bit change of the input changes the CRC.
    for (size_t bit = 0; bit < 72; bit++) {
        uint8_t d[9];
        std::memcpy(d, "123456789", 9);
        d[bit / 8] ^= uint8_t(1u << (bit % 8));
        EXPECT_NE(crc16(d, 9), 0x4B37) << bit;
    }
}

TEST(TwoWordRegisters, LowWordFirst) {
    const uint16_t w[2] = {0x5678, 0x1234};
    EXPECT_EQ(UTIL_GetDword(w), 0x12345678);
    const uint16_t neg[2] = {0xFFFE, 0xFFFF};
    EXPECT_EQ(UTIL_GetDword(neg), -2);

    uint16_t out[2] = {};
    UTIL_PutDword(out, int32_t(0x89ABCDEF));
    EXPECT_EQ(out[0], 0xCDEF);
    EXPECT_EQ(out[1], 0x89AB);
    EXPECT_EQ(uint32_t(UTIL_GetDword(out)), 0x89ABCDEFu);
    UTIL_PutDword(out, -1);
    EXPECT_EQ(out[0], 0xFFFF);
    EXPECT_EQ(out[1], 0xFFFF);

    const uint16_t one[2] = {0x0000, 0x3F80};
    EXPECT_EQ(UTIL_GetFloat(one), 1.0f);
    const uint16_t neg_pi[2] = {0x0FDB, 0xC049};
    EXPECT_FLOAT_EQ(UTIL_GetFloat(neg_pi), -3.14159274f);
}

class SignOn : public ::testing::Test {
protected:
    void SetUp() override { saved = crc_header; }
    void TearDown() override { crc_header = saved; }
    std::array<uint8_t, 4> saved{};
};

TEST_F(SignOn, UnknownOemCodeKeepsTheDefaultText) {
    crc_header[3] = 7;
    char text[32];
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(Oem_GetSignon(text, 570, 0x0010), 9);
    EXPECT_STREQ(text, "*Unknown*");
    EXPECT_EQ(TavixOemPtr.model_start, 0);
    EXPECT_EQ(TavixOemPtr.model_len, 9);
    char model[16];
    std::memset(model, 'x', sizeof model);
    Oem_GetModel(model, 570, 0x0010);
    EXPECT_STREQ(model, "*Unknown*");
}

TEST_F(SignOn, KnownModelsAndMisses) {
    char text[32];
    char model[16];
    for (uint8_t code : {uint8_t(0), uint8_t(4), uint8_t(128)}) {
        crc_header[3] = code;
        const uint8_t len = Oem_GetSignon(text, 570, 0x0010);
        EXPECT_EQ(len, std::strlen(text));
        EXPECT_NE(text[0], '*') << int(code);
        std::memset(model, 'x', sizeof model);
        Oem_GetModel(model, 570, 0x0010);
        // The model name is the part of the text the entry points at.
        EXPECT_EQ(std::string(text, std::strlen(model)), model) << int(code);
        EXPECT_LE(std::strlen(model), 10u);
        // Identity 0x0010's entry: "PLC-CX20 Controller" with the model at
        // 0, 8 characters long, ended by a zero byte.
        EXPECT_STREQ(text, "PLC-CX20 Controller");
        EXPECT_EQ(TavixOemPtr.model_start, 0);
        EXPECT_EQ(TavixOemPtr.model_len, 8);
        EXPECT_STREQ(model, "PLC-CX20");
    }
    crc_header[3] = 0;
    EXPECT_EQ(Oem_GetSignon(text, 571, 0x0010), 9);  // no row with this key
    EXPECT_STREQ(text, "*Unknown*");
    EXPECT_EQ(Oem_GetSignon(text, 570, 0x7777), 9);  // no such identity
    EXPECT_STREQ(text, "*Unknown*");
    EXPECT_EQ(TavixOemPtr.model_len, 9);
    crc_header[3] = 5;
    EXPECT_EQ(Oem_GetSignon(text, 570, 0x0010), 9);
    EXPECT_STREQ(text, "*Unknown*");
}

}  // namespace
