// Number conversions shared by the ladder engine and the IEC runtime.
#include "core/image/numconv.h"

#include <cmath>
#include <cstdlib>

int32_t NumCnv_FloatToS32(double f) {
    if (std::isnan(f)) return 0;
    if (f >= 2147483648.0) return INT32_MAX;
    if (f <= -2147483649.0) return INT32_MIN;
    return int32_t(f);  // truncates toward zero
}

uint32_t NumCnv_FloatToU32(double f) {
    if (std::isnan(f) || f <= -1.0) return 0;
    if (f >= 4294967296.0) return UINT32_MAX;
    return uint32_t(f);
}

namespace {
bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
}  // namespace

int32_t NumCnv_Strtol32(const char *s, std::size_t n, std::size_t *used) {
    std::size_t i = 0;
    while (i < n && s[i] && IsSpace(s[i])) i++;
    bool neg = false;
    if (i < n && (s[i] == '+' || s[i] == '-')) {
        neg = s[i] == '-';
        i++;
    }
    const std::size_t first = i;
    // Beyond this the value is saturated; further digits are only consumed.
    constexpr int64_t kCap = 2147483648LL;
    int64_t v = 0;
    while (i < n && s[i] >= '0' && s[i] <= '9') {
        if (v <= kCap) v = v * 10 + (s[i] - '0');
        i++;
    }
    if (i == first) {
        if (used) *used = 0;
        return 0;
    }
    if (used) *used = i;
    if (neg) return v >= kCap ? INT32_MIN : int32_t(-v);
    return v >= kCap ? INT32_MAX : int32_t(v);
}

double NumCnv_Strtod(const char *s, std::size_t n) {
    char buf[256];
    std::size_t k = 0;
    while (k < n && k < sizeof buf - 1 && s[k]) {
        buf[k] = s[k];
        k++;
    }
    buf[k] = 0;
    return std::strtod(buf, nullptr);
}
