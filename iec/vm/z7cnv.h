// Type conversions between the IEC elementary types of the VM.
#pragma once

#include <cstdint>

// IEC type codes.
enum : uint32_t {
    IEC_BOOL = 1,
    IEC_DINT = 2,
    IEC_REAL = 3,
    IEC_TIME = 4,
    IEC_STRING = 5,
    IEC_SINT = 10,
    IEC_INT = 11,
    IEC_LINT = 12,
    IEC_LREAL = 13,
    IEC_USINT = 14,
    IEC_UINT = 15,
    IEC_UDINT = 16,
    IEC_ULINT = 17,
};

// ---- numeric primitives of the board (32-bit long) --------------------------------------
// One small group so that the ladder's conversions can share it.
// Float to signed 32-bit: truncation, saturating, NaN 0.
int32_t Z7Cnv_S32(double v);
// Float to unsigned 32-bit: truncation, negatives and NaN 0, saturating at 4294967295.
uint32_t Z7Cnv_U32(double v);
// Float to 64-bit integers: truncation, saturating at the type's limits, NaN 0.
int64_t Z7Cnv_S64(double v);
uint64_t Z7Cnv_U64(double v);
// Double to float as the FPU rounds it (too large values become +-infinity).
float Z7Cnv_ToFloat(double v);
// strtol(text, base 10) with a 32-bit long: out-of-range text saturates.
int32_t Z7Cnv_Strtol32(const char *text);

// Both operand sets are arena addresses: operands = 4 u16 words {destination
// index, source index, destination type, source type}.
void Z7VMCnv_Convert(uint32_t db, uint32_t operands);
// out receives 1, 2, 4 or 8 bytes; src is the value's first byte.
void Z7VMCnv_ConvBin(uint8_t *out, const uint8_t *src, uint32_t dst_type, uint32_t src_type);
void Z7VMCnv_SZToNumPtr(uint8_t *addr, uint32_t type, const char *text);
void Z7VMCnv_SZToNum(uint32_t db, uint32_t type, uint32_t idx, const char *text);
// out holds at least 64 bytes.
void Z7VMCnv_NumToSZPtr(const uint8_t *addr, uint32_t type, char *out);
void Z7VMCnv_NumToSZ(uint32_t db, uint32_t type, uint32_t idx, char *out);
// Arena address of the variable idx of type in its typed section (0 when
// outside the section or for STRING and unknown types).
uint32_t Z7VMCnv_VarAddr(uint32_t db, uint32_t type, uint32_t idx);
