// VM strings: slot operations, comparisons, number texts, DTFORMAT and
// NUMTOSTRING. Results are built in stack buffers of 256 bytes so that a
// destination may also be a source.
#include "iec/vm/z7str.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/image/util.h"
#include "iec/vm/z7cnv.h"
#include "iec/vm/z7vm.h"

namespace {
// A readable view of a slot: text, length (clipped to the maximum), maximum.
struct Str {
    uint8_t *slot = nullptr;
    uint8_t max = 0, len = 0;
    const uint8_t *text() const { return slot ? slot + 2 : reinterpret_cast<const uint8_t *>(""); }
};

// A position or count from the program, held to 0..limit.
uint32_t Clip(int32_t v, uint32_t limit) { return v < 0 ? 0 : std::min<uint32_t>(uint32_t(v), limit); }

Str View(uint32_t slot) {
    Str s;
    const uint8_t *hdr = Z7Mem_Ptr(slot, 2);
    if (hdr == nullptr) return s;
    s.slot = Z7Mem_Ptr(slot, hdr[0] + 3u);
    if (s.slot == nullptr) return s;
    s.max = hdr[0];
    s.len = std::min(hdr[1], hdr[0]);
    return s;
}

Str At(uint32_t db, uint32_t idx) { return View(Z7VMStr_Slot(db, idx)); }

// Stores n characters into a slot, cut to its maximum, with the terminator.
void Store(uint32_t slot, const uint8_t *text, uint32_t n) {
    Str d = View(slot);
    if (d.slot == nullptr) return;
    n = std::min<uint32_t>(n, d.max);
    if (n != 0 && text != nullptr) std::memmove(d.slot + 2, text, n);
    d.slot[1] = uint8_t(n);
    d.slot[2 + n] = 0;
}

void StoreText(uint32_t db, uint32_t dst, const char *text) {
    Store(Z7VMStr_Slot(db, dst), reinterpret_cast<const uint8_t *>(text),
          uint32_t(std::min<size_t>(strlen(text), 255)));
}

// Zero-terminated copy of a slot's text.
void CText(const Str &s, char out[256]) {
    std::memcpy(out, s.text(), s.len);
    out[s.len] = 0;
}

void TwoDigits(uint8_t *out, uint32_t &o, uint32_t v) {
    out[o++] = uint8_t('0' + (v / 10) % 10);
    out[o++] = uint8_t('0' + v % 10);
}
}  // namespace

uint32_t Z7VMStr_Slot(uint32_t db, uint32_t idx) { return Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_STRPTR, idx)); }

void Z7VMStr_Force(uint32_t db, uint32_t dst, const uint8_t *counted) {
    if (counted) Store(Z7VMStr_Slot(db, dst), counted + 1, counted[0]);
}

void Z7VMStr_AscForce(uint32_t slot, const char *text, uint32_t n) {
    if (text == nullptr) n = 0;
    Store(slot, reinterpret_cast<const uint8_t *>(text ? text : ""), std::min<uint32_t>(n, 255));
}

void Z7VMStr_AscForceC(uint32_t db, uint32_t dst, const char *text) {
    // a text of 256 characters or more is cut, never wrapped to its length mod 256
    Z7VMStr_AscForce(Z7VMStr_Slot(db, dst), text, text ? uint32_t(strnlen(text, 255)) : 0);
}

void Z7VMStr_Copy(uint32_t db, uint32_t dst, uint32_t src) {
    Z7VMStr_CopyPtr(Z7VMStr_Slot(db, dst), Z7VMStr_Slot(db, src));
}

void Z7VMStr_CopyPtr(uint32_t dst_slot, uint32_t src_slot) {
    const Str s = View(src_slot);
    uint8_t buf[256];
    std::memcpy(buf, s.text(), s.len);
    Store(dst_slot, buf, s.len);
}

void Z7VMStr_DBForce(uint32_t db, uint32_t dst, uint32_t literal) {
    Z7VMStr_DBForcePtr(Z7VMStr_Slot(db, dst), literal);
}

void Z7VMStr_DBForcePtr(uint32_t slot, uint32_t literal) {
    const uint32_t n = std::min<uint32_t>(Z7Mem_Get16(literal), 255);
    const uint8_t *w = Z7Mem_Ptr(literal, 2 + 2 * n);
    if (w == nullptr) return;
    uint8_t buf[256];
    for (uint32_t i = 0; i < n; i++) buf[i] = w[2 + 2 * i];
    Store(slot, buf, n);
}

void Z7VMStr_Empty(uint32_t db, uint32_t dst) {
    static constexpr uint8_t kNothing[1] = {0};  // never read; a null source breaks the optimised build
    Store(Z7VMStr_Slot(db, dst), kNothing, 0);
}
uint32_t Z7VMStr_IsEmpty(uint32_t db, uint32_t s) { return At(db, s).len == 0 ? 1 : 0; }
uint32_t Z7VMStr_GetLength(uint32_t db, uint32_t s) { return At(db, s).len; }
uint32_t Z7VMStr_GetMaxLength(uint32_t db, uint32_t s) { return At(db, s).max; }
uint32_t Z7VMStr_GetText(uint32_t db, uint32_t s) {
    const uint32_t slot = Z7VMStr_Slot(db, s);
    return At(db, s).slot ? slot + 2 : 0;
}

int32_t Z7VMStr_Compare(uint32_t db, uint32_t a, uint32_t b) {
    const Str x = At(db, a), y = At(db, b);
    if (x.len == 0 || y.len == 0) return x.len == y.len ? 0 : x.len ? 1 : -1;
    const uint32_t n = std::min(x.len, y.len);
    for (uint32_t i = 0; i < n; i++)
        if (x.text()[i] != y.text()[i]) return int32_t(x.text()[i]) - int32_t(y.text()[i]);
    return x.len == y.len ? 0 : x.len > y.len ? 1 : -1;
}

void Z7VMStr_Cat(uint32_t db, uint32_t dst, uint32_t a, uint32_t b) {
    const Str x = At(db, a), y = At(db, b);
    uint8_t buf[512];
    std::memcpy(buf, x.text(), x.len);
    std::memcpy(buf + x.len, y.text(), y.len);
    Store(Z7VMStr_Slot(db, dst), buf, std::min<uint32_t>(x.len + y.len, 255));
}

void Z7VMStr_Left(uint32_t db, uint32_t dst, uint32_t s, int32_t n) {
    const Str x = At(db, s);
    uint8_t buf[256];
    const uint32_t k = Clip(n, x.len);
    std::memcpy(buf, x.text(), k);
    Store(Z7VMStr_Slot(db, dst), buf, k);
}

void Z7VMStr_Right(uint32_t db, uint32_t dst, uint32_t s, int32_t n) {
    const Str x = At(db, s);
    uint8_t buf[256];
    const uint32_t k = Clip(n, x.len);
    std::memcpy(buf, x.text() + x.len - k, k);
    Store(Z7VMStr_Slot(db, dst), buf, k);
}

void Z7VMStr_Mid(uint32_t db, uint32_t dst, uint32_t s, int32_t pos, int32_t n) {
    const Str x = At(db, s);
    uint8_t buf[256];
    const uint32_t p = Clip(pos, x.len), k = Clip(n, x.len - p);
    std::memcpy(buf, x.text() + p, k);
    Store(Z7VMStr_Slot(db, dst), buf, k);
}

void Z7VMStr_Delete(uint32_t db, uint32_t dst, uint32_t s, int32_t pos, int32_t n) {
    const Str x = At(db, s);
    uint8_t buf[256];
    const uint32_t p = Clip(pos, x.len), k = Clip(n, x.len - p);
    std::memcpy(buf, x.text(), p);
    std::memcpy(buf + p, x.text() + p + k, x.len - p - k);
    Store(Z7VMStr_Slot(db, dst), buf, x.len - k);
}

void Z7VMStr_Insert(uint32_t db, uint32_t dst, uint32_t s, uint32_t ins, int32_t pos) {
    const Str y = At(db, ins);
    Z7VMStr_InsertText(db, dst, s, y.text(), y.len, pos);
}

void Z7VMStr_InsertText(uint32_t db, uint32_t dst, uint32_t s, const uint8_t *ins, uint32_t n, int32_t pos) {
    const Str x = At(db, s);
    uint8_t buf[512];
    const uint32_t p = Clip(pos, x.len);
    const uint32_t k = std::min<uint32_t>(std::min<uint32_t>(n, 255), x.max - x.len);
    std::memcpy(buf, x.text(), p);
    if (k != 0) std::memcpy(buf + p, ins, k);
    std::memcpy(buf + p + k, x.text() + p, x.len - p);
    Store(Z7VMStr_Slot(db, dst), buf, std::min<uint32_t>(x.len + k, 255));
}

uint32_t Z7VMStr_Find(uint32_t db, uint32_t s, uint32_t pattern) {
    const Str x = At(db, s), y = At(db, pattern);
    if (y.len == 0 || y.len > x.len) return 0;
    const void *hit = memmem(x.text(), x.len, y.text(), y.len);
    return hit ? uint32_t(static_cast<const uint8_t *>(hit) - x.text()) + 1 : 0;
}

uint32_t Z7VMStr_Ascii(uint32_t db, uint32_t s, int32_t pos) {
    const Str x = At(db, s);
    return pos < 0 || uint32_t(pos) >= x.len ? 0 : x.text()[pos];
}

void Z7VMStr_Char(uint32_t db, uint32_t dst, uint32_t code) {
    const uint8_t c = uint8_t(code);
    if (At(db, dst).max != 0) Store(Z7VMStr_Slot(db, dst), &c, 1);
}

uint16_t Z7VMStr_Crc16(uint32_t db, uint32_t s) {
    const Str x = At(db, s);
    return crc16(x.text(), x.len);
}

uint32_t Z7VMStr_AtoH(uint32_t db, uint32_t s) {
    const Str x = At(db, s);
    uint32_t v = 0;
    for (uint32_t i = 0; i < x.len; i++) {
        const uint8_t c = x.text()[i];
        uint32_t d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else
            break;
        v = (v << 4) | d;
    }
    return v;
}

void Z7VMStr_HtoA(uint32_t db, uint32_t dst, uint32_t value) {
    if (At(db, dst).max < 8) {
        Z7VMStr_Empty(db, dst);
        return;
    }
    char t[16];
    std::snprintf(t, sizeof t, "%08X", value);
    const char *p = t;
    while (std::strlen(p) > 2 && p[0] == '0' && p[1] == '0') p += 2;
    StoreText(db, dst, p);
}

uint32_t Z7VMStr_AtoUL(uint32_t db, uint32_t s) {
    const Str x = At(db, s);
    uint32_t i = 0, v = 0;
    while (i < x.len && x.text()[i] == ' ') i++;
    for (; i < x.len && x.text()[i] >= '0' && x.text()[i] <= '9'; i++) v = v * 10u + (x.text()[i] - '0');
    return v;
}

int64_t Z7VMStr_SZtoLINT(const char *text) {
    // an optional '-' and the digits up to the first other character (a
    // leading blank included: no blank is skipped)
    if (text == nullptr) return 0;
    const bool neg = *text == '-';
    if (neg) text++;
    uint64_t v = 0;
    for (; *text >= '0' && *text <= '9'; text++) v = v * 10u + uint64_t(*text - '0');
    return int64_t(neg ? 0 - v : v);
}

int64_t Z7VMStr_AtoLINT(uint32_t db, uint32_t s) {
    // a STRING's value skips the blanks before the number, as its UDINT
    // value does; the bare text form above takes none
    char t[256];
    CText(At(db, s), t);
    const char *p = t;
    while (*p == ' ') p++;
    return Z7VMStr_SZtoLINT(p);
}

void Z7VMStr_LINTtoSZ(char *out, int64_t value) { std::snprintf(out, 24, "%" PRId64, value); }
void Z7VMStr_UtoSZ(char *out, uint32_t value) { std::snprintf(out, 12, "%" PRIu32, value); }

int32_t Z7VMStr_AtoI(uint32_t db, uint32_t s) {
    char t[256];
    CText(At(db, s), t);
    return Z7Cnv_Strtol32(t);
}
float Z7VMStr_AtoF(uint32_t db, uint32_t s) { return Z7Cnv_ToFloat(Z7VMStr_AtoD(db, s)); }
double Z7VMStr_AtoD(uint32_t db, uint32_t s) {
    char t[256];
    CText(At(db, s), t);
    return std::strtod(t, nullptr);
}

void Z7VMStr_ItoA(uint32_t db, uint32_t dst, int32_t value) {
    char t[16];
    std::snprintf(t, sizeof t, "%" PRId32, value);
    StoreText(db, dst, t);
}
void Z7VMStr_UtoA(uint32_t db, uint32_t dst, uint32_t value) {
    char t[16];
    Z7VMStr_UtoSZ(t, value);
    StoreText(db, dst, t);
}
void Z7VMStr_LINTtoA(uint32_t db, uint32_t dst, int64_t value) {
    char t[24];
    Z7VMStr_LINTtoSZ(t, value);
    StoreText(db, dst, t);
}
void Z7VMStr_BootoA(uint32_t db, uint32_t dst, uint32_t value) { StoreText(db, dst, value ? "1" : "0"); }
void Z7VMStr_FtoA(uint32_t db, uint32_t dst, float value) { Z7VMStr_DtoA(db, dst, double(value)); }
void Z7VMStr_DtoA(uint32_t db, uint32_t dst, double value) {
    char t[64];
    std::snprintf(t, sizeof t, "%g", value);
    StoreText(db, dst, t);
}
void Z7VMStr_TmrtoA(uint32_t db, uint32_t dst, uint32_t value) { Z7VMStr_ItoA(db, dst, int32_t(value)); }

namespace {
uint8_t Fold(uint8_t c) { return c >= 'a' && c <= 'z' ? uint8_t(c - 32) : c; }
}  // namespace

int32_t Z7VMStr_NICmp(const char *a, const char *b, uint32_t n) {
    for (uint32_t i = 0; i < n; i++) {
        const uint8_t x = Fold(uint8_t(a[i])), y = Fold(uint8_t(b[i]));
        if (x != y) return int32_t(int8_t(uint8_t(x - y)));
        if (x == 0) return 0;
    }
    return 0;
}
int32_t Z7VMStr_ICmp(const char *a, const char *b) { return Z7VMStr_NICmp(a, b, 0xFFFFFFFFu); }

namespace {
uint32_t FromD(uint32_t db, uint32_t array, uint32_t declared, uint32_t dst, int32_t n, uint32_t width) {
    const uint32_t slot = Z7VMStr_Slot(db, dst);
    Str d = View(slot);
    if (d.slot == nullptr) return 0;
    const uint32_t k = n <= 0 ? 0 : std::min({uint32_t(n), declared, uint32_t(d.max) / width});
    const uint8_t *src = Z7Mem_Ptr(array, k * width);
    if (src == nullptr) return 0;
    std::memmove(d.slot + 2, src, k * width);
    d.slot[1] = uint8_t(k * width);  // the length only: no terminator
    return k;
}
uint32_t ToD(uint32_t db, uint32_t s, uint32_t array, uint32_t declared, uint32_t width) {
    const Str x = At(db, s);
    const uint32_t k = std::min(uint32_t(x.len) / width, declared);
    uint8_t *dst = Z7Mem_Ptr(array, k * width);
    if (dst == nullptr) return 0;
    std::memmove(dst, x.text(), k * width);
    return k;
}
}  // namespace

uint32_t Z7VMStr_FromD8(uint32_t db, uint32_t a, uint32_t d, uint32_t dst, int32_t n) {
    return FromD(db, a, d, dst, n, 1);
}
uint32_t Z7VMStr_FromD16(uint32_t db, uint32_t a, uint32_t d, uint32_t dst, int32_t n) {
    return FromD(db, a, d, dst, n, 2);
}
uint32_t Z7VMStr_FromD32(uint32_t db, uint32_t a, uint32_t d, uint32_t dst, int32_t n) {
    return FromD(db, a, d, dst, n, 4);
}
uint32_t Z7VMStr_ToD8(uint32_t db, uint32_t s, uint32_t a, uint32_t d) { return ToD(db, s, a, d, 1); }
uint32_t Z7VMStr_ToD16(uint32_t db, uint32_t s, uint32_t a, uint32_t d) { return ToD(db, s, a, d, 2); }
uint32_t Z7VMStr_ToD32(uint32_t db, uint32_t s, uint32_t a, uint32_t d) { return ToD(db, s, a, d, 4); }

void Z7VMStr_DateFmt(uint32_t db, uint32_t dst, uint32_t format, uint32_t date, uint32_t time_ms) {
    const Str f = At(db, format);
    const uint32_t max = At(db, dst).max;
    uint8_t out[256];
    uint32_t o = 0;
    for (uint32_t i = 0; i < f.len && o < max; i++) {
        const uint8_t c = f.text()[i];
        const uint32_t room = max - o;
        if (c != '%' || i + 1 >= f.len || room < 2 || o >= 254) {
            out[o++] = c;
            continue;
        }
        const uint8_t code = f.text()[++i];
        const uint32_t year = date >> 16;
        switch (code) {
        case 'H': TwoDigits(out, o, time_ms / 3600000u); break;
        case 'M': TwoDigits(out, o, time_ms / 60000u % 60); break;
        case 'S': TwoDigits(out, o, time_ms / 1000u % 60); break;
        case 'd': TwoDigits(out, o, date & 0xFF); break;
        case 'm': TwoDigits(out, o, (date >> 8) & 0xFF); break;
        case 'y': TwoDigits(out, o, year % 100); break;
        case 'Y':
            if (room > 4) TwoDigits(out, o, year / 100);
            TwoDigits(out, o, year % 100);
            break;
        default:
            out[o++] = '%';
            out[o++] = code;
            break;
        }
    }
    Store(Z7VMStr_Slot(db, dst), out, o);
}

void Z7VMStr_NumToStr(uint32_t db, uint32_t dst, uint32_t type, uint32_t idx, int32_t width, int32_t precision) {
    const uint32_t max = At(db, dst).max;
    const uint32_t aw = width < 0 ? 0u - uint32_t(width) : uint32_t(width);
    uint32_t field = width == 0 ? max : aw;
    const bool supported = (type >= 1 && type <= 4) || (type >= 10 && type <= 17);
    bool over = !supported || aw > max || (precision > 0 && uint32_t(precision) > field + 2);
    if (aw > max) field = max;
    char text[300] = "";
    const uint32_t addr = Z7VMCnv_VarAddr(db, type, idx);
    const uint8_t *v = Z7Mem_Ptr(addr, 8);
    double real = 0;
    bool is_real = false;
    if (!over && v != nullptr) {
        int32_t s32;
        int64_t s64;
        uint32_t u32;
        switch (type) {
        case IEC_BOOL: std::snprintf(text, sizeof text, "%d", v[0] ? 1 : 0); break;
        case IEC_SINT:
        case IEC_USINT: std::snprintf(text, sizeof text, "%u", v[0]); break;
        case IEC_INT: std::snprintf(text, sizeof text, "%d", int(int16_t(Z7Mem_Get16(addr)))); break;
        case IEC_UINT: std::snprintf(text, sizeof text, "%u", unsigned(Z7Mem_Get16(addr))); break;
        case IEC_DINT:
            s32 = int32_t(Z7Mem_Get32(addr));
            std::snprintf(text, sizeof text, "%" PRId32, s32);
            break;
        case IEC_UDINT:
        case IEC_TIME:
            u32 = Z7Mem_Get32(addr);
            std::snprintf(text, sizeof text, "%" PRIu32, u32);
            break;
        case IEC_LINT:
        case IEC_ULINT:
            std::memcpy(&s64, v, 8);
            std::snprintf(text, sizeof text, "%" PRId64, s64);
            break;
        case IEC_REAL: {
            float f;
            std::memcpy(&f, v, 4);
            real = f;
            is_real = true;
            if (real < 0 && real > -1)
                std::snprintf(text, sizeof text, "-0");
            else
                std::snprintf(text, sizeof text, "%.0f", std::trunc(real) + 0.0);  // -0.0 prints "0"
            break;
        }
        case IEC_LREAL: {
            std::memcpy(&real, v, 8);
            is_real = true;
            const double ip = (real >= 0 ? std::floor(real) : std::ceil(real)) + 0.0;  // no "-0" for -0.0
            if (std::isfinite(ip) && std::fabs(ip) >= 1e255)
                over = true;
            else if (real < 0 && real > -1)
                std::snprintf(text, sizeof text, "-0");
            else
                std::snprintf(text, sizeof text, "%g", ip);
            break;
        }
        default: over = true; break;
        }
    }
    uint32_t len = uint32_t(std::strlen(text));
    if (!over && precision > 0) {
        const uint32_t p = uint32_t(precision);
        if (p + 1 + len > field || len + 1 + p >= sizeof text) {
            over = true;
        } else {
            text[len++] = '.';
            double frac = is_real && std::isfinite(real) ? std::fabs(real) - std::trunc(std::fabs(real)) : 0;
            for (uint32_t i = 0; i < p; i++) {
                frac *= 10;
                const int d = int(frac);
                text[len++] = char('0' + (d < 0 ? 0 : d > 9 ? 9 : d));
                frac -= d;
            }
            text[len] = 0;
        }
    }
    if (!over && len > field) over = true;
    uint8_t out[256];
    if (over) {
        std::memset(out, '*', field);
        Store(Z7VMStr_Slot(db, dst), out, field);
        return;
    }
    if (width == 0) {
        Store(Z7VMStr_Slot(db, dst), reinterpret_cast<const uint8_t *>(text), len);
        return;
    }
    std::memset(out, ' ', field);
    std::memcpy(out + (width > 0 ? field - len : 0), text, len);
    Store(Z7VMStr_Slot(db, dst), out, field);
}
