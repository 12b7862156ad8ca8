// JSON writer and reader of the web server.
#include "tavIXsdk/tavixsdk/tavix_json.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "tavIXsdk/tavixsdk/tavix_util.h"

namespace {

long ParamError(const char *fn) {
    tavix_util_error(
        "Internal JSON builder error: Parameter of function are invalid! Please verify parameters for "
        "function: \"%s\"!",
        fn);
    return 0;
}

// Reports a destination too small for n bytes; answers n.
long TooSmall(std::size_t n, const char *fn) {
    tavix_util_error(
        "Internal JSON builder error: Buffer is too small! %i bytes needed! Please verify function: "
        "\"%s\"!",
        int(n), fn);
    return long(n);
}

// Copies a text whose length is known when it fits; answers its length.
long Emit(char *dst, std::size_t room, const char *text, std::size_t n, const char *fn) {
    if (dst == nullptr) return long(n);
    if (n > room) return TooSmall(n, fn);
    std::memcpy(dst, text, n);
    return long(n);
}

// The escape of one string byte, or null when the byte stands as it is.
const char *Escape(unsigned char c, char (&tmp)[8]) {
    switch (c) {
    case '\b': return "\\b";
    case '\t': return "\\t";
    case '\n': return "\\n";
    case '\r': return "\\r";
    case '"': return "\\\"";
    case '/': return "\\/";
    case '\\': return "\\\\";
    default:
        if (c < 32) {
            std::snprintf(tmp, sizeof tmp, "\\u%04x", c);
            return tmp;
        }
        return nullptr;
    }
}

int Hex(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

long tavix_json_put_delimiter(char *dst, std::size_t room, int code) {
    static const char kDelims[] = "{:,}[]";
    if (code < 0 || code > 5) return ParamError("tavix_json_put_delimiter");
    if (dst == nullptr) return 1;
    if (room < 1) return TooSmall(1, "tavix_json_put_delimiter");
    *dst = kDelims[code];
    return 1;
}

long tavix_json_put_string(char *dst, std::size_t room, const char *text, long length) {
    if (text == nullptr) return ParamError("tavix_json_put_string");
    const std::size_t n = length < 0 ? std::strlen(text) : std::size_t(length);
    char tmp[8];
    std::size_t need = 2;
    for (std::size_t i = 0; i < n; i++) {
        const char *e = Escape(static_cast<unsigned char>(text[i]), tmp);
        need += e != nullptr ? std::strlen(e) : 1;
    }
    if (dst == nullptr) return long(need);
    if (need > room) return TooSmall(need, "tavix_json_put_string");
    std::size_t o = 0;
    dst[o++] = '"';
    for (std::size_t i = 0; i < n; i++) {
        const char *e = Escape(static_cast<unsigned char>(text[i]), tmp);
        if (e == nullptr) {
            dst[o++] = text[i];
        } else {
            const std::size_t k = std::strlen(e);
            std::memcpy(dst + o, e, k);
            o += k;
        }
    }
    dst[o++] = '"';
    return long(o);
}

long tavix_json_put_hex_data(char *dst, std::size_t room, const uint8_t *bytes, long length, bool upper) {
    if (bytes == nullptr) return ParamError("tavix_json_put_hex_data");
    const std::size_t n = length < 0 ? std::strlen(reinterpret_cast<const char *>(bytes)) : std::size_t(length);
    const std::size_t need = 2 * n + 2;
    if (dst == nullptr) return long(need);
    if (need > room) return TooSmall(need, "tavix_json_put_hex_data");
    const char *digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    dst[0] = '"';
    for (std::size_t i = 0; i < n; i++) {
        dst[1 + 2 * i] = digits[bytes[i] >> 4];
        dst[2 + 2 * i] = digits[bytes[i] & 15];
    }
    dst[need - 1] = '"';
    return long(need);
}

long tavix_json_put_integer(char *dst, std::size_t room, uint64_t value, bool is_unsigned) {
    char tmp[24];
    const auto r = is_unsigned ? std::to_chars(tmp, tmp + sizeof tmp, value)
                               : std::to_chars(tmp, tmp + sizeof tmp, int64_t(value));
    return Emit(dst, room, tmp, std::size_t(r.ptr - tmp), "tavix_json_put_integer");
}

namespace {

// The shortest digits that give back value (k of them, the first one at
// 10^exp10) are also its "%.16g" rounding when the value's unit in the last
// place is below one unit of its 16th digit: then no other 16-digit decimal
// lies as close to the value. The two are compared as powers of two (never
// equal but at 2^0 = 10^0); digits of exactly 10^exp10 may stand for a value
// just below it, whose 16th digit is a tenth of that.
bool SixteenDigitsUnique(double value, int k, int exp10, bool power_of_ten) {
    constexpr double kLog2Of10 = 3.321928094887362;
    int exp2 = 0;
    std::frexp(value, &exp2);
    exp2 = std::max(exp2, -1021);  // subnormals: the unit stays 2^-1074
    const int unit = exp10 - 15 - (power_of_ten ? 1 : 0);
    return k <= 16 && double(exp2 - 53) < unit * kLog2Of10 - 1e-9;
}

// "%.16g" of a finite value as printf writes it in the C locale, into tmp (40
// bytes); answers the length. The exact 16-digit rounding is slow, so the
// common cases are laid out from digits found faster: integers below 2^53
// (all digits exact), values of at most 8 decimals between 1e-4 and 1e15
// (an integer t with t / 10^d giving back the value), and otherwise the
// shortest round-trip digits, each when SixteenDigitsUnique holds.
std::size_t Real16(char *tmp, double value) {
    constexpr std::size_t kRoom = 40;
    constexpr double kTwo53 = 9007199254740992.0;
    const double magnitude = std::fabs(value);
    if (magnitude < kTwo53 && value == std::trunc(value)) {
        if (value == 0) return std::signbit(value) ? (std::memcpy(tmp, "-0", 2), 2) : (tmp[0] = '0', 1);
        return std::size_t(std::to_chars(tmp, tmp + kRoom, int64_t(value)).ptr - tmp);
    }
    if (magnitude >= 1e-4 && magnitude < 1e15) {
        static constexpr double kPow10[] = {1, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8};
        for (int d = 1; d <= 8; d++) {
            const double t = std::nearbyint(value * kPow10[d]);
            if (std::fabs(t) >= kTwo53 || t / kPow10[d] != value) continue;
            char digits[20];
            const int k = int(std::to_chars(digits, digits + sizeof digits, int64_t(std::fabs(t))).ptr - digits);
            if (!SixteenDigitsUnique(value, k, k - 1 - d, k == 1 && digits[0] == '1')) break;
            std::size_t o = 0;
            if (value < 0) tmp[o++] = '-';
            if (k > d) {
                for (int i = 0; i < k - d; i++) tmp[o++] = digits[i];
                tmp[o++] = '.';
                for (int i = k - d; i < k; i++) tmp[o++] = digits[i];
            } else {
                tmp[o++] = '0';
                tmp[o++] = '.';
                for (int i = k; i < d; i++) tmp[o++] = '0';
                for (int i = 0; i < k; i++) tmp[o++] = digits[i];
            }
            return o;
        }
    }
    char sci[40];  // shortest digits: [-]d[.ddd]e(+|-)xx
    const char *end = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific).ptr;
    const char *p = sci;
    const bool negative = *p == '-';
    if (negative) p++;
    char digits[20];
    int k = 0;
    for (; p < end && *p != 'e'; p++)
        if (*p != '.' && k < 20) digits[k++] = *p;
    int exp10 = 0;
    std::from_chars(p + 1 + (p[1] == '+'), end, exp10);
    if (!SixteenDigitsUnique(value, k, exp10, k == 1 && digits[0] == '1')) {
        const auto r = std::to_chars(tmp, tmp + kRoom, value, std::chars_format::general, 16);
        return std::size_t(r.ptr - tmp);
    }
    std::size_t o = 0;
    if (negative) tmp[o++] = '-';
    if (exp10 < -4 || exp10 >= 16) {
        tmp[o++] = digits[0];
        if (k > 1) {
            tmp[o++] = '.';
            for (int i = 1; i < k; i++) tmp[o++] = digits[i];
        }
        tmp[o++] = 'e';
        tmp[o++] = exp10 < 0 ? '-' : '+';
        const int e = exp10 < 0 ? -exp10 : exp10;
        if (e < 10) tmp[o++] = '0';
        o = std::size_t(std::to_chars(tmp + o, tmp + kRoom, e).ptr - tmp);
    } else if (exp10 < 0) {
        tmp[o++] = '0';
        tmp[o++] = '.';
        for (int i = exp10 + 1; i < 0; i++) tmp[o++] = '0';
        for (int i = 0; i < k; i++) tmp[o++] = digits[i];
    } else {
        for (int i = 0; i <= exp10; i++) tmp[o++] = i < k ? digits[i] : '0';
        if (k > exp10 + 1) {
            tmp[o++] = '.';
            for (int i = exp10 + 1; i < k; i++) tmp[o++] = digits[i];
        }
    }
    return o;
}

}  // namespace

long tavix_json_put_real(char *dst, std::size_t room, double value) {
    if (!std::isfinite(value)) return tavix_json_put_null(dst, room);
    // "%.16g" without the locale: always a '.' for the decimal point; written
    // in place when the room surely holds it
    if (dst != nullptr && room >= 40) return long(Real16(dst, value));
    char tmp[40];
    return Emit(dst, room, tmp, Real16(tmp, value), "tavix_json_put_real");
}

long tavix_json_put_boolean(char *dst, std::size_t room, bool value) {
    return Emit(dst, room, value ? "true" : "false", value ? 4 : 5, "tavix_json_put_boolean");
}

long tavix_json_put_null(char *dst, std::size_t room) { return Emit(dst, room, "null", 4, "tavix_json_put_null"); }

long tavix_json_put_timestamp(char *dst, std::size_t room, const tavix_timestamp *t) {
    if (t == nullptr) return ParamError("tavix_json_put_timestamp");
    char tmp[64];
    int n;
    if (t->nanoseconds == 0)
        n = std::snprintf(tmp, sizeof tmp, "%" PRIu64 "000", t->seconds);
    else if (t->seconds == 0)
        n = std::snprintf(tmp, sizeof tmp, "%" PRIu64 ".%06" PRIu64, t->nanoseconds / 1000000,
                          t->nanoseconds % 1000000);
    else
        n = std::snprintf(tmp, sizeof tmp, "%" PRIu64 "%03" PRIu64 ".%06" PRIu64, t->seconds, t->nanoseconds / 1000000,
                          t->nanoseconds % 1000000);
    return Emit(dst, room, tmp, std::size_t(n), "tavix_json_put_timestamp");
}

long tavix_json_put_data_value(char *dst, std::size_t room, const tavix_data_value *v) {
    if (v == nullptr) return ParamError("tavix_json_put_data_value");
    switch (v->kind) {
    case TAVIX_DV_BOOL: return tavix_json_put_boolean(dst, room, v->b != 0);
    case TAVIX_DV_INT32: return tavix_json_put_integer(dst, room, uint64_t(int64_t(v->i32)), false);
    case TAVIX_DV_INT64: return tavix_json_put_integer(dst, room, uint64_t(v->i64), false);
    case TAVIX_DV_UINT32: return tavix_json_put_integer(dst, room, v->u32, true);
    case TAVIX_DV_UINT64: return tavix_json_put_integer(dst, room, v->u64, true);
    case TAVIX_DV_FLOAT: return tavix_json_put_real(dst, room, double(v->f));
    case TAVIX_DV_DOUBLE: return tavix_json_put_real(dst, room, v->d);
    case TAVIX_DV_TEXT:
        return v->text == nullptr ? tavix_json_put_null(dst, room) : tavix_json_put_string(dst, room, v->text, -1);
    default: return tavix_json_put_null(dst, room);
    }
}

long tavix_json_put_value(char *dst, std::size_t room, const tavix_data_value *v) {
    if (v == nullptr) return ParamError("tavix_json_put_value");
    const long a = tavix_json_put_string(nullptr, 0, "value", -1);
    const long b = tavix_json_put_data_value(nullptr, 0, v);
    const std::size_t need = std::size_t(a + 1 + b);
    if (dst == nullptr) return long(need);
    if (need > room) return TooSmall(need, "tavix_json_put_value");
    long o = tavix_json_put_string(dst, room, "value", -1);
    o += tavix_json_put_delimiter(dst + o, room - std::size_t(o), TAVIX_JSON_COLON);
    o += tavix_json_put_data_value(dst + o, room - std::size_t(o), v);
    return o;
}

namespace {

// Writes pairs through a cursor: first measures, then writes when it fits.
long Localized(char *dst, std::size_t room, const char *(*lang)(const void *, std::size_t),
               const char *(*text)(const void *, std::size_t), const void *list, std::size_t count, const char *fn) {
    if (count == 1 && lang(list, 0) == nullptr) {
        const long need = tavix_json_put_string(nullptr, 0, text(list, 0), -1);
        if (dst != nullptr && std::size_t(need) > room) return TooSmall(std::size_t(need), fn);
        return tavix_json_put_string(dst, room, text(list, 0), -1);
    }
    long need = 2 + (count > 0 ? long(count) - 1 : 0);
    for (std::size_t i = 0; i < count; i++)
        need += tavix_json_put_string(nullptr, 0, lang(list, i) != nullptr ? lang(list, i) : "", -1) + 1 +
                tavix_json_put_string(nullptr, 0, text(list, i), -1);
    if (dst == nullptr) return need;
    if (std::size_t(need) > room) return TooSmall(std::size_t(need), fn);
    long o = 0;
    dst[o++] = '{';
    for (std::size_t i = 0; i < count; i++) {
        if (i > 0) dst[o++] = ',';
        o += tavix_json_put_string(dst + o, room - std::size_t(o), lang(list, i) != nullptr ? lang(list, i) : "", -1);
        dst[o++] = ':';
        o += tavix_json_put_string(dst + o, room - std::size_t(o), text(list, i), -1);
    }
    dst[o++] = '}';
    return o;
}

}  // namespace

long tavix_json_put_localized_strings(char *dst, std::size_t room, const tavix_localized *list) {
    if (list == nullptr) return ParamError("tavix_json_put_localized_strings");
    std::size_t count = 0;
    while (list[count].text != nullptr) count++;
    return Localized(
        dst, room, [](const void *l, std::size_t i) { return static_cast<const tavix_localized *>(l)[i].language; },
        [](const void *l, std::size_t i) { return static_cast<const tavix_localized *>(l)[i].text; }, list, count,
        "tavix_json_put_localized_strings");
}

long tavix_json_serialize_localized_strings(char *dst, std::size_t room, const char *packed) {
    if (packed == nullptr) return ParamError("tavix_json_serialize_localized_strings");
    if (packed[0] == 0) return tavix_json_put_string(dst, room, packed + 1, -1);
    // At most 32 languages are listed.
    tavix_localized pairs[33];
    std::size_t count = 0;
    for (const char *p = packed; *p != 0 && count < 32;) {
        pairs[count].language = p;
        p += std::strlen(p) + 1;
        pairs[count].text = p;
        p += std::strlen(p) + 1;
        count++;
    }
    pairs[count] = {nullptr, nullptr};
    return tavix_json_put_localized_strings(dst, room, pairs);
}

int tavix_util_json_decode_next_token(const char *text, int *kind) {
    int i = 0;
    while (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n') i++;
    const char c = text[i];
    switch (c) {
    case '{': *kind = TAVIX_TOK_OBJ_OPEN; return i + 1;
    case ':': *kind = TAVIX_TOK_COLON; return i + 1;
    case ',': *kind = TAVIX_TOK_COMMA; return i + 1;
    case '}': *kind = TAVIX_TOK_OBJ_CLOSE; return i + 1;
    case '[': *kind = TAVIX_TOK_ARR_OPEN; return i + 1;
    case ']': *kind = TAVIX_TOK_ARR_CLOSE; return i + 1;
    case '"': *kind = TAVIX_TOK_STRING; return i + 1;
    case 0: *kind = TAVIX_TOK_END; return i;
    default: break;
    }
    if (c == '-' || std::isdigit(static_cast<unsigned char>(c))) {
        *kind = TAVIX_TOK_NUMBER;
        return i;
    }
    if (strncasecmp(text + i, "true", 4) == 0) {
        *kind = TAVIX_TOK_TRUE;
        return i + 4;
    }
    if (strncasecmp(text + i, "false", 5) == 0) {
        *kind = TAVIX_TOK_FALSE;
        return i + 5;
    }
    if (strncasecmp(text + i, "null", 4) == 0) {
        *kind = TAVIX_TOK_NULL;
        return i + 4;
    }
    *kind = TAVIX_TOK_OTHER;
    return i;
}

int tavix_util_json_decode_number(const char *text, int64_t *integer, double *real, bool *is_real) {
    char *end_i = nullptr, *end_d = nullptr;
    errno = 0;
    const int64_t iv =
        text[0] == '-' ? int64_t(std::strtol(text, &end_i, 10)) : int64_t(std::strtoul(text, &end_i, 10));
    const double dv = std::strtod(text, &end_d);
    if (end_d == text && end_i == text) return -1;
    const char *end = end_d > end_i ? end_d : end_i;
    bool r = false;
    for (const char *p = text; p < end; p++)
        if (*p == '.' || *p == 'e' || *p == 'E') r = true;
    if (is_real != nullptr) *is_real = r;
    if (real != nullptr) *real = dv;
    if (integer != nullptr) {
        if (!r)
            *integer = iv;
        else if (std::isfinite(dv) && dv > -9.2e18 && dv < 9.2e18)
            *integer = int64_t(dv);
        else
            *integer = 0;
    }
    return int(end - text);
}

int tavix_util_json_decode_string(const char *text, char *out, std::size_t out_size, std::size_t *length) {
    std::size_t o = 0;
    int i = 0;
    for (;; i++) {
        const char c = text[i];
        if (c == 0) return -1;
        if (c == '"') break;
        char v = c;
        if (c == '\\') {
            if (out == nullptr) return -1;  // measuring refuses escapes
            const char e = text[++i];
            switch (e) {
            case '"':
            case '\'':
            case '/':
            case '\\': v = e; break;
            case 'b': v = '\b'; break;
            case 'f': v = '\f'; break;
            case 'n': v = '\n'; break;
            case 'r': v = '\r'; break;
            case 't': v = '\t'; break;
            case 'u': {
                int code = 0;
                for (int k = 1; k <= 4; k++) {
                    const int h = Hex(static_cast<unsigned char>(text[i + k]));
                    if (h < 0) return -1;
                    code = code * 16 + h;
                }
                // One byte per escape: a character above 0xFF cannot be kept.
                if (code > 0xFF) return -1;
                v = char(code);
                i += 4;
                break;
            }
            default: return -1;
            }
        }
        if (out != nullptr && o + 1 < out_size) out[o] = v;
        o++;
    }
    if (out != nullptr && out_size > 0) out[o < out_size ? o : out_size - 1] = 0;
    if (length != nullptr) *length = o;
    return i + 1;
}

int tavix_util_json_eat_object(const char *text) {
    int i = 0;
    while (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n') i++;
    if (text[i] != '{') return -1;
    int depth = 0;
    for (;; i++) {
        const char c = text[i];
        if (c == 0) return -1;
        if (c == '"') {
            for (i++; text[i] != '"'; i++) {
                if (text[i] == 0) return -1;
                if (text[i] == '\\' && text[++i] == 0) return -1;
            }
        } else if (c == '{') {
            depth++;
        } else if (c == '}') {
            if (--depth == 0) return i + 1;
        }
    }
}
