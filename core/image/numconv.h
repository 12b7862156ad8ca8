// Number conversions shared by the ladder engine and the IEC runtime: float
// to 32-bit integer with truncation and saturation, and a base-10 text to
// 32-bit integer parser with the limits of a 32-bit `long`, on a text of
// bounded length.
#pragma once

#include <cstddef>
#include <cstdint>

// Truncation toward zero to a signed 32-bit integer; values beyond the range
// give the nearest limit, NaN gives 0.
int32_t NumCnv_FloatToS32(double f);
// Truncation to an unsigned 32-bit integer; negative values and NaN give 0,
// values from 4294967296 up give 4294967295.
uint32_t NumCnv_FloatToU32(double f);

// Leading decimal integer of the n bytes at s (stops at a zero byte): leading
// white space and a sign accepted, conversion ends at the first non-digit,
// 0 when there is no digit, saturating at -2147483648 and 2147483647 (as
// strtol with a 32-bit long). used (when not null) gets the number of bytes
// taken, 0 when there was no number.
int32_t NumCnv_Strtol32(const char *s, std::size_t n, std::size_t *used = nullptr);

// Leading floating-point number of the n bytes at s (stops at a zero byte),
// as strtod gives it, 0.0 when there is none. At most 255 bytes are looked at.
double NumCnv_Strtod(const char *s, std::size_t n);
