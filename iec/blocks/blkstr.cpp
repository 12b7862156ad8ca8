// String and text blocks: wrappers over the VM's string library, texts in
// BYTE arrays (ASCII arrays, ended by a zero byte), fixed-width number to
// text, text to number, comparisons and angle conversion. Array sizes are
// literal operands; nothing is written past an array's size.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "iec/blocks/blkform.h"
#include "iec/vm/z7str.h"

namespace {
// STRING operands are indices into the string pointer table.
uint32_t S(const Z7Ops &o, uint32_t k) { return o.Lit(k); }

// A BYTE array operand, found as every array operand is: at its index in
// the typed 8-bit section (a forced element is not written), or, when the
// application has a complex-type segment, at the offset its operand holds
// there. n: how many of the bytes asked for lie inside; the rest read 0 and
// are not written.
struct ByteArr {
    const Z7Ops *o;
    uint32_t k;
    uint8_t *ct;  // the first byte in the complex-type segment, else null
    uint32_t n;
    uint8_t Get(uint32_t i) const { return i >= n ? 0 : ct != nullptr ? ct[i] : o->U8(k, i); }
    void Put(uint32_t i, uint8_t v) const {
        if (i >= n) return;
        if (ct != nullptr)
            ct[i] = v;
        else
            o->Put8(k, v, i);
    }
};
ByteArr Arr(const Z7Ops &o, uint32_t k, uint32_t max) {
    if (Z7Sec_Bytes(o.db, Z7SEC_CT) == 0) {
        const uint32_t idx = o.Lit(k), count = o.Count(Z7SEC_D8);
        const uint32_t n = o.At(Z7SEC_D8, k) != nullptr ? std::min(max, count - idx) : 0;
        return {&o, k, nullptr, n};
    }
    const uint32_t a = Z7Tools_GetArrayIn(o.db, 14, o.Lit(k), 0, nullptr);
    const uint32_t end = Z7Sec_Addr(o.db, Z7SEC_CT) + Z7Sec_Bytes(o.db, Z7SEC_CT);
    const uint32_t n = a != 0 && a < end ? std::min(max, end - a) : 0;
    uint8_t *p = n != 0 ? Z7Mem_Ptr(a, n) : nullptr;
    return {&o, k, p, p != nullptr ? n : 0};
}

void Concat(const Z7Ops &o) { Z7VMStr_Cat(o.db, S(o, 2), S(o, 0), S(o, 1)); }
void Left(const Z7Ops &o) { Z7VMStr_Left(o.db, S(o, 2), S(o, 0), o.D(1)); }
void Right(const Z7Ops &o) { Z7VMStr_Right(o.db, S(o, 2), S(o, 0), o.D(1)); }
void Mid(const Z7Ops &o) { Z7VMStr_Mid(o.db, S(o, 3), S(o, 0), o.D(2), o.D(1)); }
void DeleteChars(const Z7Ops &o) { Z7VMStr_Delete(o.db, S(o, 3), S(o, 0), o.D(2), o.D(1)); }
void InsertChars(const Z7Ops &o) { Z7VMStr_Insert(o.db, S(o, 3), S(o, 0), S(o, 1), o.D(2)); }
void Replace(const Z7Ops &o) {
    Z7VMStr_Delete(o.db, S(o, 4), S(o, 0), o.D(3), o.D(2));
    Z7VMStr_Insert(o.db, S(o, 4), S(o, 4), S(o, 1), o.D(3));
}
void Find(const Z7Ops &o) { o.SetD(2, int32_t(Z7VMStr_Find(o.db, S(o, 0), S(o, 1)))); }
void Crc16(const Z7Ops &o) { o.SetD(1, Z7VMStr_Crc16(o.db, S(o, 0))); }
void AsciiToHex(const Z7Ops &o) { o.SetD(1, int32_t(Z7VMStr_AtoH(o.db, S(o, 0)))); }
void HexToAscii(const Z7Ops &o) { Z7VMStr_HtoA(o.db, S(o, 1), o.U32(0)); }
void CharCode(const Z7Ops &o) { o.SetD(2, int32_t(Z7VMStr_Ascii(o.db, S(o, 0), o.D(1)))); }

// Text of an ASCII array of at most size bytes (255 at most) into out, with
// its terminator; the length.
uint32_t ArrayText(const Z7Ops &o, uint32_t k, uint32_t size, char out[256]) {
    uint32_t n = 0;
    const ByteArr a = Arr(o, k, std::min<uint32_t>(size, 255));
    while (n < a.n) {
        const uint8_t c = a.Get(n);
        if (c == 0) break;
        out[n++] = char(c);
    }
    out[n] = 0;
    return n;
}

void StringLen(const Z7Ops &o) {
    const uint32_t len = Z7VMStr_GetLength(o.db, S(o, 0));
    const uint8_t *t = Z7Mem_Ptr(Z7VMStr_GetText(o.db, S(o, 0)), len);
    uint32_t n = 0;
    while (t != nullptr && n < len && t[n] != 0) n++;
    o.SetI(1, int32_t(n));
}
void StringLenA(const Z7Ops &o) {
    uint32_t n = 0;
    const ByteArr a = Arr(o, 0, 0x7FFF);
    while (n < a.n && a.Get(n) != 0) n++;
    o.SetI(1, int32_t(n));
}

// SETSTRING: STRING, array, size, done; copies the characters, cut to size,
// and ends them with a zero when the array has room for it, as every text
// written into an ASCII array: a shorter string over a longer text would
// otherwise leave the old text's tail read as part of the new one.
void SetString(const Z7Ops &o) {
    const uint32_t size = o.Lit(2);
    if (size == 0) return;
    const uint32_t len = std::min(Z7VMStr_GetLength(o.db, S(o, 0)), size);
    const uint32_t text = Z7VMStr_GetText(o.db, S(o, 0));
    const ByteArr a = Arr(o, 1, size);
    for (uint32_t k = 0; k < len; k++) a.Put(k, Z7Mem_Get8(text + k));
    if (len < size) a.Put(len, 0);
    o.SetB(3, true);
}

// CMPSTRINGVAR: A, size A, B, size B, length, equal. Bytes are compared
// within both arrays; a length past one array's end but not the other's is
// unequal (their first length bytes cannot be the same), past both equal
// when both arrays are.
void CmpVar(const Z7Ops &o) {
    const int32_t len = o.I(4);
    const uint32_t sa = o.Lit(1), sb = o.Lit(3);
    const uint32_t n = len <= 0 ? 0 : std::min<uint32_t>({uint32_t(len), sa, sb});
    bool eq = len <= 0 || std::min(uint32_t(len), sa) == std::min(uint32_t(len), sb);
    const ByteArr a = Arr(o, 0, n), b = Arr(o, 2, n);
    for (uint32_t k = 0; k < n && eq; k++) eq = a.Get(k) == b.Get(k);
    o.SetB(5, eq);
}
// CMPSTRINGCONST: array, size, STRING, equal.
void CmpConst(const Z7Ops &o) {
    char a[256];
    const uint32_t an = ArrayText(o, 0, o.Lit(1), a);
    const uint32_t cn = Z7VMStr_GetLength(o.db, S(o, 2));
    const uint8_t *c = Z7Mem_Ptr(Z7VMStr_GetText(o.db, S(o, 2)), cn);
    o.SetB(3, an == cn && (cn == 0 || (c != nullptr && std::memcmp(a, c, cn) == 0)));
}

// Decimal text to number: leading blanks and a sign, then digits.
int64_t ParseInt(const char *t) {
    while (*t == ' ' || *t == '\t') t++;
    const bool neg = *t == '-';
    if (*t == '-' || *t == '+') t++;
    uint32_t v = 0;
    while (*t >= '0' && *t <= '9') v = v * 10 + uint32_t(*t++ - '0');
    return neg ? -int64_t(v) : int64_t(v);
}
void AsciiToInt(const Z7Ops &o) {
    char t[256];
    ArrayText(o, 0, o.Lit(1), t);
    o.SetI(2, int32_t(ParseInt(t)));
}
void AsciiToDint(const Z7Ops &o) {
    char t[256];
    ArrayText(o, 0, o.Lit(1), t);
    o.SetD(2, int32_t(uint32_t(ParseInt(t))));
}
// Decimal text to REAL: leading blanks, a sign, digits with one decimal
// point; the first other character ends it (no hexadecimal, exponent,
// infinity or NaN forms). No digits give 0.
void AsciiToReal(const Z7Ops &o) {
    char t[256];
    ArrayText(o, 0, o.Lit(1), t);
    const char *p = t;
    while (*p == ' ' || *p == '\t') p++;
    char num[256];
    uint32_t n = 0, digits = 0;
    bool point = false;
    if (*p == '-' || *p == '+') num[n++] = *p++;
    for (; (*p >= '0' && *p <= '9') || (*p == '.' && !point); p++) {
        if (*p == '.')
            point = true;
        else
            digits++;
        num[n++] = *p;
    }
    num[n] = 0;
    o.SetR(2, digits ? std::strtof(num, nullptr) : 0.0f);
}

void DegToRad(const Z7Ops &o) { o.SetR(1, float(double(o.R(0)) * 6.2831853 / 360.0)); }
void RadToDeg(const Z7Ops &o) { o.SetR(1, float(double(o.R(0)) * 360.0 / 6.2831853)); }

// Number to text: value, array, size, decimals, width, leading zeros, ok.
enum : uint32_t { N_VAL, N_DST, N_SIZE, N_DEC, N_WIDTH, N_ZEROS, N_OK };
enum NumKind : uint8_t { NK_INT, NK_DINT, NK_REAL };
constexpr int32_t kWork = 40;

// Decimal text of v with its terminator (as "%d").
void DecText(char *out, int32_t v) {
    char rev[12];
    uint32_t u = v < 0 ? 0u - uint32_t(v) : uint32_t(v), n = 0;
    do {
        rev[n++] = char('0' + u % 10);
        u /= 10;
    } while (u != 0);
    if (v < 0) *out++ = '-';
    while (n != 0) *out++ = rev[--n];
    *out = 0;
}

template <NumKind K>
void ToAscii(const Z7Ops &o) {
    const int32_t dec = std::clamp<int32_t>(o.I(N_DEC), 0, 30);
    const int32_t width = std::clamp<int32_t>(o.I(N_WIDTH), 0, kWork - 2);
    const bool zeros = o.B(N_ZEROS) != 0;
    bool bad = false;
    char t[96];
    if (K == NK_REAL) {
        const float v = o.R(N_VAL);
        bad = !std::isfinite(v);
        if (zeros)
            std::snprintf(t, sizeof t, "%.*f", int(dec), double(v));
        else
            std::snprintf(t, sizeof t, "%*.*f", int(width), int(dec), double(v));
    } else {
        const int32_t v = K == NK_INT ? o.I(N_VAL) : o.D(N_VAL);
        DecText(t, v);
        if (dec > 0) {
            const int32_t sign = t[0] == '-' ? 1 : 0;
            const int32_t n = int32_t(std::strlen(t)) - sign;
            char digits[16];
            std::memcpy(digits, t + sign, size_t(n) + 1);
            char *w = t + sign;
            if (n > dec) {
                std::memcpy(w, digits, size_t(n - dec));
                w += n - dec;
                *w++ = '.';
                std::memcpy(w, digits + n - dec, size_t(dec) + 1);
            } else {
                *w++ = '0';
                *w++ = '.';
                for (int32_t k = 0; k < dec - n; k++) *w++ = '0';
                std::memcpy(w, digits, size_t(n) + 1);
            }
        }
    }
    int32_t len = std::min<int32_t>(int32_t(std::strlen(t)), kWork - 1);
    t[len] = 0;
    const char *text = t;
    char right[kWork + 1];
    if (zeros && len <= width) {
        std::memset(right, '0', size_t(width - len));
        std::memcpy(right + width - len, t, size_t(len) + 1);
        text = right;
        len = width;
    }
    if (len == width + 1 && text[0] == '0') {
        text++;
        len = width;
    }
    // written: the characters and a terminator, cut to the array's size. A
    // text cut by the array is no success: ok then reads 0 (it said 1 for
    // "12" where 12.5 was asked).
    const uint32_t size = o.Lit(N_SIZE);
    const uint32_t want = uint32_t(zeros ? width : std::min(len, width));
    o.SetB(N_OK, !bad && len <= width && size != 0 && want <= size - 1);
    if (size == 0) return;
    const uint32_t n = std::min<uint32_t>(want, size - 1);
    const ByteArr dst = Arr(o, N_DST, n + 1);
    for (uint32_t k = 0; k < n; k++) dst.Put(k, uint8_t(text[k]));
    dst.Put(n, 0);
}

constexpr BlkRow kRows[] = {
    {"STRINGCONCAT", Blk_Plain<3, Concat>},
    {"STRINGLEFT", Blk_Plain<3, Left>},
    {"STRINGRIGHT", Blk_Plain<3, Right>},
    {"STRINGMID", Blk_Plain<4, Mid>},
    {"DELETECHARS", Blk_Plain<4, DeleteChars>},
    {"INSERTCHARS", Blk_Plain<4, InsertChars>},
    {"STRINGREPLACE", Blk_Plain<5, Replace>},
    {"STRINGFIND", Blk_Plain<3, Find>},
    {"CRC16", Blk_Plain<2, Crc16>},
    {"ASCIITOHEX", Blk_Plain<2, AsciiToHex>},
    {"HEXTOASCII", Blk_Plain<2, HexToAscii>},
    {"CHARASCIICODE", Blk_Plain<3, CharCode>},
    {"STRINGLEN", Blk_Plain<2, StringLen>},
    {"STRINGLENA", Blk_Plain<2, StringLenA>},
    {"SETSTRING", Blk_Plain<4, SetString>},
    {"CMPSTRINGVAR", Blk_Plain<6, CmpVar>},
    {"CMPSTRINGCONST", Blk_Plain<4, CmpConst>},
    {"ASCIITOINT", Blk_Plain<3, AsciiToInt>},
    {"ASCIITODINT", Blk_Plain<3, AsciiToDint>},
    {"ASCIITOREAL", Blk_Plain<3, AsciiToReal>},
    {"DEGTORAD", Blk_Plain<2, DegToRad>},
    {"RADTODEG", Blk_Plain<2, RadToDeg>},
    {"INTTOASCII", Blk_Plain<7, ToAscii<NK_INT>>},
    {"DINTTOASCII", Blk_Plain<7, ToAscii<NK_DINT>>},
    {"REALTOASCII", Blk_Plain<7, ToAscii<NK_REAL>>},
};
}  // namespace

const BlkFamily BlkStr_Family{kRows, sizeof kRows / sizeof kRows[0]};
