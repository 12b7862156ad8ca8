// Byte strings, counted strings and text in the register image: compare and
// copy, text to number, number to text through a format carried in the
// program, the decimal text of a 64-bit value, and the clock set from a
// record reached through a pointer.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/image/rtc.h"
#include "ladder/ladint.h"
#include "core/image/numconv.h"

namespace {

constexpr uint32_t FMT_BYTES = 20;     // format field in the stream
constexpr uint32_t FMT_MAX_NUM = 255;  // largest width or precision taken

// A format field checked before it reaches the formatter.
struct LadFmt {
    char text[FMT_BYTES];
    char conv;     // conversion letter
    bool is_long;  // 'l' length modifier
};

// Accepts a format whose zero byte lies within its 20 bytes and that holds
// at most one conversion, of the kind the value is passed as (integer: d i
// u o x X, and c without a length modifier; float: f F e E g G a A), with
// flags, a width and a precision written as digits, the length modifiers h,
// hh (integers) and l, and any number of "%%"; plain text with no
// conversion is printed as it stands. The formatter gets exactly one
// argument of that kind, so "*", a second conversion, "%s", "%n" or a
// conversion of the other kind, which would read an argument it was not
// given or write through one, is refused rather than passed on.
bool FmtCheck(const uint8_t *field, bool want_float, LadFmt &f) {
    std::memcpy(f.text, field, FMT_BYTES);
    f.conv = 0;
    f.is_long = false;
    if (!std::memchr(f.text, 0, FMT_BYTES)) return false;
    int convs = 0;
    for (const char *p = f.text; *p; p++) {
        if (*p != '%') continue;
        p++;
        if (*p == '%') continue;
        while (*p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0') p++;
        uint32_t num = 0;
        while (*p >= '0' && *p <= '9') num = num * 10 + uint32_t(*p++ - '0');
        if (num > FMT_MAX_NUM) return false;
        if (*p == '.') {
            p++;
            num = 0;
            while (*p >= '0' && *p <= '9') num = num * 10 + uint32_t(*p++ - '0');
            if (num > FMT_MAX_NUM) return false;
        }
        bool modified = false;
        if (*p == 'l') {
            f.is_long = true;
            modified = true;
            p++;
        } else if (!want_float && *p == 'h') {
            modified = true;
            p++;
            if (*p == 'h') p++;
        }
        if (!*p) return false;
        const char *ints = "diuoxX", *floats = "fFeEgGaA";
        const bool ok = want_float ? std::strchr(floats, *p) != nullptr
                                   : std::strchr(ints, *p) != nullptr || (*p == 'c' && !modified);
        if (!ok) return false;
        f.conv = *p;
        convs++;
    }
    return convs <= 1;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
// Formats an integer as a 32-bit `long` of the board would print it, or a
// double; the answer is snprintf's (the length the text would have).
int FmtRun(char *buf, std::size_t size, const LadFmt &f, uint32_t iv, double fv, bool is_float) {
    if (is_float) return std::snprintf(buf, size, f.text, fv);
    const bool sign = f.conv == 'd' || f.conv == 'i';
    if (f.is_long) {
        return sign ? std::snprintf(buf, size, f.text, long(int32_t(iv)))
                    : std::snprintf(buf, size, f.text, static_cast<unsigned long>(iv));
    }
    return sign ? std::snprintf(buf, size, f.text, int32_t(iv)) : std::snprintf(buf, size, f.text, unsigned(iv));
}
#pragma GCC diagnostic pop

// Where the digits of a formatted number start: after the blanks of a
// padded field and a sign.
std::size_t DigitsFrom(const char *t, std::size_t len) {
    std::size_t q = 0;
    while (q < len && t[q] == ' ') q++;
    if (q < len && (t[q] == '-' || t[q] == '+')) q++;
    return q;
}

// Puts a decimal point d digits from the right of the text of length len in
// buf (size bytes). When the last d characters are digits the point goes in
// front of them ("-123" with 3 decimals is "-.123"). Otherwise the number has
// fewer digits than decimals, and moving the whole text right would put the
// point in front of its sign or its padding ("0.-5"): the digits get leading
// zeros after the padding and the sign instead ("0.05", "-0.05", "  -0.05").
// Answers the new length, FMT_NOFIT when the result would not leave room for
// its zero byte.
constexpr std::size_t FMT_NOFIT = ~std::size_t(0);
std::size_t FmtPoint(char *buf, std::size_t len, uint32_t d, std::size_t size) {
    if (d == 0) return len;
    const std::size_t q = DigitsFrom(buf, len);
    const std::size_t m = len - q;
    if (d < len && d <= m) {
        if (len + 1 >= size) return FMT_NOFIT;
        std::memmove(buf + len - d + 1, buf + len - d, d);
        buf[len - d] = '.';
        return len + 1;
    }
    char *t = buf + q;
    if (q + d + 2 >= size) return FMT_NOFIT;
    std::memmove(t + d + 2 - m, t, m);
    std::memset(t, '0', d + 2 - m);
    t[1] = '.';
    return q + d + 2;
}

// Reads the 20-byte format field from the stream.
const uint8_t *FmtField(LadCursor &c) { return LadInline(c, FMT_BYTES); }

// ---- byte strings -------------------------------------------------------------------
template <bool S, bool INL>
int Op_StrCmp() {  // 178, 179
    if (lad.lsp < 1) return LAD_FAULT;
    const uint32_t n = LadWord(lad.cur);
    const uint32_t a = LadByteIdx<S>(lad.cur);
    const uint8_t *b;
    if (INL) {
        b = LadInline(lad.cur, n);
    } else {
        const uint32_t bi = LadByteIdx<S>(lad.cur);
        b = LadBytesFit(bi, n) ? LadByteP(bi) : nullptr;
    }
    if (LadCut()) return LAD_GO;
    if (!b || !LadBytesFit(a, n)) {
        LadPowerClear();
        return LAD_GO;
    }
    LadCharge(n / 16);
    if (std::memcmp(LadByteP(a), b, n) != 0) LadPowerClear();
    return LAD_GO;
}
template <bool S, bool INL>
int Op_StrCopy() {  // 182, 183
    const uint32_t n = LadWord(lad.cur);
    const uint32_t d = LadByteIdx<S>(lad.cur);
    const uint8_t *src;
    if (INL) {
        src = LadInline(lad.cur, n);
    } else {
        const uint32_t si = LadByteIdx<S>(lad.cur);
        src = LadBytesFit(si, n) ? LadByteP(si) : nullptr;
    }
    if (LadCut()) return LAD_GO;
    if (!src || !LadBytesFit(d, n)) {
        LadPowerClear();
        return LAD_GO;
    }
    LadCharge(n / 16);
    uint8_t *dst = LadByteP(d);
    for (uint32_t i = 0; i < n; i++) dst[i] = src[i];  // ascending, as a byte loop
    return LAD_GO;
}

// Bytes of text from byte b to its zero byte or the end of the image.
std::size_t TextSpan(uint64_t b) { return b < PLC_REG_SIZE ? PLC_REG_SIZE - std::size_t(b) : 0; }

// Stores a number converted from text: kind 0 the low 16 bits of the
// integer, 1 the 32-bit integer, 2 the float; dst has room for it.
void TextNumber(const char *text, std::size_t n, uint32_t kind, uint8_t *dst) {
    if (kind == 2) {
        LE_Put32(dst, LadBits(float(NumCnv_Strtod(text, n))));
        return;
    }
    const int32_t v = NumCnv_Strtol32(text, n);
    if (kind == 0)
        LE_Put16(dst, uint16_t(v));
    else
        LE_Put32(dst, uint32_t(v));
}

template <bool S>
int Op_TextToNum() {  // 184
    const uint32_t d = LadWordIdx<S>(lad.cur);
    const uint32_t s = LadByteIdx<S>(lad.cur);
    const uint32_t k = LadWord(lad.cur);
    if (LadCut() || k > 2) return LAD_GO;
    if (!LadWordsFit(d, k == 0 ? 1 : 2) || !LadBytesFit(s, 1)) {
        LadPowerClear();
        return LAD_GO;
    }
    const std::size_t n = TextSpan(s);
    LadCharge(n / 64);
    TextNumber(reinterpret_cast<const char *>(LadByteP(s)), n, k, plc_reg.data() + 2 * std::size_t(d));
    return LAD_GO;
}

template <bool S>
int Op_TextLen() {  // 188
    const uint32_t d = LadWordOp<S>(lad.cur, 1);
    const uint32_t s = LadByteIdx<S>(lad.cur);
    if (LadCut()) return LAD_GO;
    const void *z = LadBytesFit(s, 1) ? std::memchr(LadByteP(s), 0, TextSpan(s)) : nullptr;
    if (d == LAD_NOREF || !z) {
        LadPowerClear();
        return LAD_GO;
    }
    LadSet16(d, uint16_t(static_cast<const uint8_t *>(z) - LadByteP(s)));
    return LAD_GO;
}

// 187: number to text with w characters at most and d decimals.
template <bool S>
int Op_NumToText() {
    constexpr std::size_t kBuf = 40;  // work buffer: 39 characters and a zero byte
    const uint32_t d = LadByteIdx<S>(lad.cur);
    const uint32_t s = LadWordIdx<S>(lad.cur);
    const uint32_t k = LadWord(lad.cur);
    const uint32_t dec = LadWord(lad.cur);
    const uint32_t w = LadWord(lad.cur);
    const uint8_t *field = FmtField(lad.cur);
    if (LadCut()) return LAD_GO;
    LadFmt f;
    if (k > 2 || !LadWordsFit(s, k == 0 ? 1 : 2) || !FmtCheck(field, k == 2, f) || dec > kBuf - 3) {
        LadPowerClear();
        return LAD_GO;
    }
    const uint32_t v = k == 0 ? LadGet16(s) : LadGet32(s);
    if (k == 2 && LadBadFloat(v)) {
        LadPowerClear();
        return LAD_GO;
    }
    char buf[kBuf + 8];
    const int r = FmtRun(buf, sizeof buf, f, v, double(LadF(v)), k == 2);
    if (r < 0 || std::size_t(r) >= kBuf) {
        LadPowerClear();
        return LAD_GO;
    }
    std::size_t len = FmtPoint(buf, std::size_t(r), dec, kBuf);
    if (len == FMT_NOFIT) {
        LadPowerClear();
        return LAD_GO;
    }
    if (len == std::size_t(w) + 1 && buf[0] == '0') {
        std::memmove(buf, buf + 1, len - 1);
        len--;
    }
    const std::size_t out = len < w ? len : w;
    if (!LadBytesFit(d, out + 1)) {
        LadPowerClear();
        return LAD_GO;
    }
    if (len > w) LadPowerClear();
    std::memcpy(LadByteP(d), buf, out);
    *LadByteP(uint32_t(d + out)) = 0;
    return LAD_GO;
}

// 400: decimal text of the unsigned 64-bit value V at T.
template <bool S>
int Op_U64Text() {
    const uint32_t t = LadByteIdx<S>(lad.cur);
    const uint32_t v = LadWordOp<S>(lad.cur, 4);
    if (LadCut()) return LAD_GO;
    if (v == LAD_NOREF) {
        LadPowerClear();
        return LAD_GO;
    }
    uint64_t x = uint64_t(LadGet32(v)) | (uint64_t(LadGet32(v + 2)) << 32);
    char digits[20];
    std::size_t n = 0;
    do {
        digits[n++] = char('0' + x % 10);
        x /= 10;
    } while (x);
    if (!LadBytesFit(t, n + 1)) {
        LadPowerClear();
        return LAD_GO;
    }
    uint8_t *p = LadByteP(t);
    for (std::size_t i = 0; i < n; i++) p[i] = uint8_t(digits[n - 1 - i]);
    p[n] = 0;
    return LAD_GO;
}

// ---- counted strings reached through pointers ------------------------------------------
// A counted string at byte offset p whose header and first n characters lie
// inside the image.
bool CsFits(uint64_t p, uint64_t n) { return LadPtrFits(p, 2 + n); }

template <bool S>
int Op_CsAppend() {  // 512
    const uint64_t d = LadPtrOp<S>(lad.cur);
    const uint64_t s = LadPtrOp<S>(lad.cur);
    if (LadCut()) return LAD_GO;
    if (!CsFits(d, 0) || !CsFits(s, 0)) {
        LadPowerClear();
        return LAD_GO;
    }
    const uint32_t cap = plc_reg[d], len = plc_reg[d + 1], slen = plc_reg[s + 1];
    // A length above the capacity leaves no room: nothing is appended.
    uint32_t n = cap > len ? cap - len : 0;
    if (slen < n) n = slen;
    if (!CsFits(d, len + n) || !CsFits(s, n)) {
        LadPowerClear();
        return LAD_GO;
    }
    std::memmove(&plc_reg[d + 2 + len], &plc_reg[s + 2], n);
    plc_reg[d + 1] = uint8_t(len + n);
    return LAD_GO;
}

// 513, 514, 515: equality, D > S and D >= S; characters compare as unsigned
// bytes, then the lengths decide.
template <bool S, int OP>
int Op_CsCompare() {
    if (lad.lsp < 1) return LAD_FAULT;
    const uint64_t d = LadPtrOp<S>(lad.cur);
    const uint64_t s = LadPtrOp<S>(lad.cur);
    if (LadCut()) return LAD_GO;
    uint8_t &power = l_stack[lad.lsp - 1];
    if (!CsFits(d, 0) || !CsFits(s, 0) || !CsFits(d, plc_reg[d + 1]) || !CsFits(s, plc_reg[s + 1])) {
        power = 0;
        return LAD_GO;
    }
    const uint32_t dl = plc_reg[d + 1], sl = plc_reg[s + 1];
    int c = std::memcmp(&plc_reg[d + 2], &plc_reg[s + 2], dl < sl ? dl : sl);
    if (c == 0) c = dl < sl ? -1 : (dl > sl ? 1 : 0);
    const bool on = OP == LOP_CS_EQ ? c == 0 : (OP == LOP_CS_GT ? c > 0 : c >= 0);
    power = on ? 1 : 0;
    return LAD_GO;
}

// Destination of a number: 2 bytes for kind 0, else 4.
uint32_t NumBytes(uint32_t m) { return m == 0 ? 2 : 4; }

// 516: counted string to number; 519: plain text to number.
template <bool S, bool COUNTED>
int Op_StrToNum() {
    constexpr std::size_t kScratch = 68;  // string scratch area of the engine
    const uint64_t d = LadPtrOp<S>(lad.cur);
    const uint64_t s = LadPtrOp<S>(lad.cur);
    const uint32_t m = LadWord(lad.cur);
    if (LadCut() || m > 2) return LAD_GO;
    if (!LadPtrFits(d, NumBytes(m))) {
        LadPowerClear();
        return LAD_GO;
    }
    if (COUNTED) {
        if (!CsFits(s, 0)) {
            LadPowerClear();
            return LAD_GO;
        }
        std::size_t n = plc_reg[s + 1];
        if (n > kScratch - 1) n = kScratch - 1;  // cut to the scratch area
        if (!CsFits(s, n)) {
            LadPowerClear();
            return LAD_GO;
        }
        char scratch[kScratch];
        std::memcpy(scratch, &plc_reg[s + 2], n);
        scratch[n] = 0;
        TextNumber(scratch, n, m, &plc_reg[d]);
        return LAD_GO;
    }
    if (!LadPtrFits(s, 1)) {
        LadPowerClear();
        return LAD_GO;
    }
    const std::size_t n = TextSpan(s);
    LadCharge(n / 64);
    TextNumber(reinterpret_cast<const char *>(&plc_reg[s]), n, m, &plc_reg[d]);
    return LAD_GO;
}

// The text t of len characters with a decimal point d digits from the right,
// by FmtPoint's rule, written into out as far as its cap characters go;
// answers the length of the whole text.
std::size_t FmtPointTo(const char *t, std::size_t len, uint32_t d, char *out, std::size_t cap) {
    std::size_t n = 0;
    auto put = [&](const char *from, std::size_t count) {
        if (n < cap) std::memcpy(out + n, from, std::min(count, cap - n));
        n += count;
    };
    if (d == 0) {
        put(t, len);
        return n;
    }
    const std::size_t q = DigitsFrom(t, len);
    const std::size_t m = len - q;
    if (d < len && d <= m) {
        put(t, len - d);
        put(".", 1);
        put(t + len - d, d);
    } else {
        put(t, q);
        put("0.", 2);
        if (n < cap) std::memset(out + n, '0', std::min<std::size_t>(d - m, cap - n));
        n += d - m;
        put(t + q, m);
    }
    return n;
}

// 517: number to plain text (at most L characters, p decimals); 518: number
// to a counted string of capacity min(L, 256). A text longer than the scratch
// buffer (29 characters and a zero byte for 517, 257 characters for 518) is
// cut to it; 517 reports the cut, as any text that does not fit, by a
// cleared power.
template <bool S, bool COUNTED>
int Op_NumToStr() {
    const uint64_t d = LadPtrOp<S>(lad.cur);
    const uint64_t s = LadPtrOp<S>(lad.cur);
    const uint32_t m = LadWord(lad.cur);
    const uint32_t p = LadWord(lad.cur);  // not used by 518
    const uint32_t L = LadWord(lad.cur);
    const uint8_t *field = FmtField(lad.cur);
    if (LadCut()) return LAD_GO;
    constexpr std::size_t kBuf = COUNTED ? 258 : 30;  // scratch text buffer
    LadFmt f;
    if (m > 2 || !LadPtrFits(s, NumBytes(m)) || !FmtCheck(field, m == 2, f)) {
        LadPowerClear();
        return LAD_GO;
    }
    const uint32_t v = m == 0 ? LE_Get16(&plc_reg[s]) : LE_Get32(&plc_reg[s]);
    if (m == 2 && LadBadFloat(v)) {
        LadPowerClear();
        return LAD_GO;
    }
    const std::size_t lim = COUNTED ? (L < 256 ? L : 256) : L;  // L'
    // Checked formats (widths and precisions up to 255) print less than this.
    char text[512];
    const int r = FmtRun(text, sizeof text, f, v, double(LadF(v)), m == 2);
    if (r < 0) {
        LadPowerClear();
        return LAD_GO;
    }
    const std::size_t len = std::min<std::size_t>(std::size_t(r), sizeof text - 1);
    // The whole text's length k, its first kBuf characters in buf (one more
    // than is kept, for the '0' that step 5 may drop).
    char buf[kBuf];
    std::size_t k = COUNTED ? len : FmtPointTo(text, len, p, buf, kBuf);
    const char *t = COUNTED ? text : buf;
    std::size_t skip = 0;
    if (k == lim + 1 && t[0] == '0') {
        skip = 1;
        k--;
    }
    const std::size_t room = kBuf - 1;
    std::size_t out = std::min({k, lim, room});
    if (COUNTED) {
        if (out > 255) out = 255;  // the length byte holds 255 at most
        if (!CsFits(d, out)) {
            LadPowerClear();
            return LAD_GO;
        }
        plc_reg[d] = uint8_t(lim);
        plc_reg[d + 1] = uint8_t(out);
        std::memcpy(&plc_reg[d + 2], t + skip, out);
        return LAD_GO;
    }
    if (!LadPtrFits(d, out + 1)) {
        LadPowerClear();
        return LAD_GO;
    }
    if (k > L || k > room) LadPowerClear();
    std::memcpy(&plc_reg[d], t + skip, out);
    plc_reg[d + out] = 0;
    return LAD_GO;
}

// 520: set the clock from the 14-byte record at R while the power is true.
template <bool S>
int Op_ClockSetPtr() {
    if (lad.lsp < 1) return LAD_FAULT;
    const uint64_t r = LadPtrOp<S>(lad.cur);
    uint8_t &power = l_stack[lad.lsp - 1];
    if (!power || LadCut()) return LAD_GO;
    if (!LadPtrFits(r, 14)) {
        power = 0;
        return LAD_GO;
    }
    uint16_t rec[7];
    for (uint32_t i = 0; i < 7; i++) rec[i] = LE_Get16(&plc_reg[r + 2 * i]);
    power = RtcSet(rec) ? 1 : 0;
    return LAD_GO;
}

template <bool S>
void Fill(LadOp *t) {
    t[LOP_STR_CMP] = Op_StrCmp<S, false>;
    t[LOP_STR_CMP_K] = Op_StrCmp<S, true>;
    t[LOP_STR_COPY] = Op_StrCopy<S, false>;
    t[LOP_STR_COPY_K] = Op_StrCopy<S, true>;
    t[LOP_TEXT_TO_NUM] = Op_TextToNum<S>;
    t[LOP_NUM_TO_TEXT] = Op_NumToText<S>;
    t[LOP_TEXT_LEN] = Op_TextLen<S>;
    t[LOP_U64_TEXT] = Op_U64Text<S>;
    t[LOP_CS_APPEND] = Op_CsAppend<S>;
    t[LOP_CS_EQ] = Op_CsCompare<S, LOP_CS_EQ>;
    t[LOP_CS_GT] = Op_CsCompare<S, LOP_CS_GT>;
    t[LOP_CS_GE] = Op_CsCompare<S, LOP_CS_GE>;
    t[LOP_CS_TO_NUM] = Op_StrToNum<S, true>;
    t[LOP_NUM_TO_PLAIN] = Op_NumToStr<S, false>;
    t[LOP_NUM_TO_CS] = Op_NumToStr<S, true>;
    t[LOP_PLAIN_TO_NUM] = Op_StrToNum<S, false>;
    t[LOP_CLOCK_SET_PTR] = Op_ClockSetPtr<S>;
}

}  // namespace

void LadText_Fill() {
    Fill<true>(lad_ops16);
    Fill<false>(lad_opsx);
}
