// Bit references of the web HMI server's register addressing.
#include <gtest/gtest.h>

#include <array>

#include "webhmi/webhmi.h"

namespace {
constexpr uint32_t I = 8, AI = 12, R = 14, ET = 15, ESR = 17;
}

TEST(EtnRdsPlcReg_Adr, WordRegistersAddressEachBit) {
    uint32_t ref = 0;
    ASSERT_EQ(EtnRdsPlcReg_Adr(ref, R, 1, 1), 1u);
    EXPECT_EQ(ref, 32768u);
    ASSERT_EQ(EtnRdsPlcReg_Adr(ref, R, 2, 16), 1u);
    EXPECT_EQ(ref, 32799u);
    // Last bit of the last %R register is the last bit of the linear window.
    ASSERT_EQ(EtnRdsPlcReg_Adr(ref, R, 50240, 16), 1u);
    EXPECT_EQ(ref, 0xCC3FFu);
    ASSERT_EQ(EtnRdsPlcReg_Adr(ref, AI, 512, 3), 1u);
    EXPECT_EQ(ref, 24562u);
    ASSERT_EQ(EtnRdsPlcReg_Adr(ref, ESR, 256, 16), 1u);
    EXPECT_EQ(ref, 0x10030FFFu);
    ASSERT_EQ(EtnRdsPlcReg_Adr(ref, 0, 1, 1), 1u);  // %IG1
    EXPECT_EQ(ref, 1024u);
}

// A bit register's bit b is the b-th bit from the register on, as long as
// that bit still belongs to the register type.
TEST(EtnRdsPlcReg_Adr, BitRegistersCountTheirBitOnWithinTheirType) {
    const struct {
        uint32_t type, n, b, ref;
    } ok[] = {{I, 2048, 1, 10239},     {I, 5, 2, 8197},           {I, 2047, 2, 10239},
              {0, 1, 16, 1039},        {0, 241, 16, 1279},        {ET, 16384, 1, 0x1000BFFF},
              {ET, 1, 16, 0x1000800F}, {ET, 16383, 2, 0x1000BFFF}};
    for (const auto &c : ok) {
        uint32_t ref = 0;
        ASSERT_EQ(EtnRdsPlcReg_Adr(ref, c.type, c.n, c.b), 1u) << c.type << " " << c.n << "." << c.b;
        EXPECT_EQ(ref, c.ref) << c.type << " " << c.n << "." << c.b;
    }
    // Past the type's last bit: %I2048 bit 2 would be %Q1, %IG242 bit 16 %QG1.
    for (const auto &c : {std::array<uint32_t, 3>{I, 2048, 2}, {0, 242, 16}, {ET, 16384, 2}, {I, 5, 17}}) {
        uint32_t ref = 77;
        EXPECT_EQ(EtnRdsPlcReg_Adr(ref, c[0], c[1], c[2]), 0u) << c[0] << " " << c[1] << "." << c[2];
        EXPECT_EQ(ref, 77u);
    }
}

TEST(EtnRdsPlcReg_Adr, OutOfRangeIsRefusedAndRefKept) {
    uint32_t ref = 77;
    EXPECT_EQ(EtnRdsPlcReg_Adr(ref, 18, 1, 1), 0u);
    EXPECT_EQ(EtnRdsPlcReg_Adr(ref, 0xFFFFFFFFu, 1, 1), 0u);
    EXPECT_EQ(EtnRdsPlcReg_Adr(ref, R, 0, 1), 0u);
    EXPECT_EQ(EtnRdsPlcReg_Adr(ref, R, 50241, 1), 0u);
    EXPECT_EQ(EtnRdsPlcReg_Adr(ref, R, 1, 0), 0u);
    EXPECT_EQ(EtnRdsPlcReg_Adr(ref, R, 1, 17), 0u);
    EXPECT_EQ(EtnRdsPlcReg_Adr(ref, I, 2049, 1), 0u);
    EXPECT_EQ(EtnRdsPlcReg_Adr(ref, ESR, 257, 1), 0u);
    EXPECT_EQ(ref, 77u);
}

// %SR 193..448 name the words of %ESR 1..256; %SR 192 is still a plain system
// register and %SR 449 names nothing.
TEST(EtnRdsPlcReg_Adr, SystemRegistersPast192AreTheExtendedOnesUpTo448) {
    constexpr uint32_t SR = 6;
    const struct {
        uint32_t n, b, ref;
    } ok[] = {{1, 1, 3072}, {192, 16, 6143}, {193, 1, 0x10030000}, {448, 1, 0x10030FF0}, {448, 16, 0x10030FFF}};
    for (const auto &c : ok) {
        uint32_t ref = 0;
        ASSERT_EQ(EtnRdsPlcReg_Adr(ref, SR, c.n, c.b), 1u) << c.n;
        EXPECT_EQ(ref, c.ref) << c.n << "." << c.b;
    }
    uint32_t ref = 77;
    EXPECT_EQ(EtnRdsPlcReg_Adr(ref, SR, 449, 1), 0u);
    EXPECT_EQ(EtnRdsPlcReg_Adr(ref, SR, 0, 1), 0u);
    EXPECT_EQ(ref, 77u);
}
