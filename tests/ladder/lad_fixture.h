// Register-image fixture of the ladder tests: a cleared image, the first-scan
// bit set, a settable time base, and helpers to load and run programs.
#pragma once

#include <gtest/gtest.h>

#include <cstring>

#include "core/storage/memfile.h"
#include "core/image/plcreg.h"
#include "ladder/ladder.h"
#include "ladder/ladint.h"
#include "tests/support/ladder_asm.h"

// Byte of the image holding a bit reference in any of the windows.
inline uint32_t LT_Byte(uint32_t ref) {
    if (ref >= REG_ET_FIRST && ref < REG_ET_END) return uint32_t(REG_ET_BYTE + (ref - REG_ET_FIRST) / 8);
    if (ref >= REG_EM_FIRST && ref < REG_EM_END) return uint32_t(REG_EM_BYTE + (ref - REG_EM_FIRST) / 8);
    if (ref >= REG_ESR_FIRST && ref < REG_ESR_END) return uint32_t(REG_ESR_BYTE + (ref - REG_ESR_FIRST) / 8);
    return (ref - 1024) / 8;
}
inline bool LT_Bit(uint32_t ref) { return (plc_reg[LT_Byte(ref)] >> (ref & 7)) & 1; }
inline void LT_SetBit(uint32_t ref, bool v) {
    uint8_t &b = plc_reg[LT_Byte(ref)];
    b = v ? uint8_t(b | (1u << (ref & 7))) : uint8_t(b & ~(1u << (ref & 7)));
}
inline bool LT_OldBit(uint32_t ref) { return (old_reg[LT_Byte(ref)] >> (ref & 7)) & 1; }
inline uint16_t LT_W(uint32_t ref) { return PlcWord(LT_Byte(ref) / 2); }
inline void LT_SetW(uint32_t ref, uint16_t v) { PlcWordSet(LT_Byte(ref) / 2, v); }
inline uint32_t LT_D(uint32_t ref) { return PlcDword(LT_Byte(ref) / 2); }
inline void LT_SetD(uint32_t ref, uint32_t v) { PlcDwordSet(LT_Byte(ref) / 2, v); }
inline float LT_F(uint32_t ref) {
    const uint32_t b = LT_D(ref);
    float f;
    std::memcpy(&f, &b, 4);
    return f;
}
inline void LT_SetF(uint32_t ref, float f) {
    uint32_t b;
    std::memcpy(&b, &f, 4);
    LT_SetD(ref, b);
}
inline uint32_t LT_FBits(float f) {
    uint32_t b;
    std::memcpy(&b, &f, 4);
    return b;
}

// Inputs the tests use as rung power: %I1 is set by the fixture, %I2 is not.
constexpr uint32_t LT_ON = la::I(1);
constexpr uint32_t LT_OFF = la::I(2);

class LadderTest : public ::testing::Test {
protected:
    void SetUp() override {
        plc_reg.fill(0);
        old_reg.fill(0);
        plc_reg[64] |= 1;  // first scan
        plc_reg[(LT_ON - 1024) / 8] |= uint8_t(1u << (LT_ON & 7));
        DrevanoRuntime = 0;
        lad_step_limit = LAD_STEP_LIMIT_DEFAULT;
        LA_TimeInstall();
    }
    void TearDown() override { LA_TimeRemove(); }
    // Assembles, loads and runs one scan (a first scan unless cleared).
    int32_t Run(LadAsm &a) {
        EXPECT_TRUE(a.finish());
        LA_Load(a);
        return LogicUpdate();
    }
    int32_t Scan() { return LogicUpdate(); }
    void FirstScan() { plc_reg[64] |= 1; }
};
