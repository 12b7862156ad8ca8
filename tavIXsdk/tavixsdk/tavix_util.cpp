// Options, result codes, MIME types and text utilities of the web server.
#include "tavIXsdk/tavixsdk/tavix_util.h"
#include "tavIXsdk/tavixsdk/tavix_rsa.h"
#include "tavIXsdk/tavixsdk/tavix_sys.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

tavix_options_t tavix_global_options;

const tavix_mime_type tavix_default_mime_types[TAVIX_DEFAULT_MIME_COUNT] = {
    {"css", "text/css"},      {"gif", "image/gif"},      {"htm", "text/html"},       {"html", "text/html"},
    {"jpg", "image/jpeg"},    {"js", "text/javascript"}, {"pdf", "application/pdf"}, {"png", "image/png"},
    {"svg", "image/svg+xml"}, {"xml", "text/xml"},
};

const tavix_error_entry tavix_error_table[] = {
    {0, "OK"},
    {300, "Unknown method"},
    {301, "Address not found"},
    {302, "Too many deferred read/write/query filter requests"},
    {303, "Send not possible"},
    {304, "Buffer overflow"},
    {401, "HTTP Authentication necessary but no header found - send a 401 Auth required"},
    {402, "RSA encrypted data not decryptable (corrupted data or corrupted/missing private key)"},
    {403, "Digest check failed"},
    {405, "Access denied"},
    {406, "Authorization header malformed"},
    {407, "Authorization data overflow, try later"},
    {408, "Password change failed"},
    {450, "Too many active sessions"},
    {451, "Requested session was not found"},
    {452, "X-TavIX digest does not match with our data"},
    {453, "X-TavIX is malformed"},
    {454, "X-TavIX is missing"},
    {455, "Auth type is form and no user/password were sent"},
    {457, "Required arguments are missing"},
    {459, "Subscription id not found"},
    {460, "Subscribed data item not found"},
    {461, "Publish queue overflow"},
    {462, "The nonce was already used - reply attack?"},
    {463, "Too many subscription frames in a session"},
    {464, "Too many subscription items in the server"},
    {465, "Subscribed data item already subscribed in this frame"},
    {466, "Session was aborted while waiting for data (queue overflow, expiry, other reasons)"},
    {467, "Invalid syntax of filter parameters"},
    {500, "Unspecified internal error"},
    {501, "Not implemented"},
    {502, "Data read callback not set"},
    {503, "Data write callback not set"},
    {505, "Password change callback not set"},
    {506, "Error fetching callback not set"},
    {507, "Password digest callback not set"},
    {508, "Lost a request waiting for auth"},
    {509, "Received no historized data"},
    {510, "Read history callback not set"},
    {600, "Remote server unknown"},
    {601, "Remote server not accessible"},
    {602, "Remote server address not resolvable"},
    {603, "Requested remote session was not found"},
    {604, "Missing/invalid data in the remote response"},
    {605, "Invalid X-TavIX header in remote request"},
    {606, "Cannot process remote create session - no info, no RSA keys or level < Advanced?"},
    {607, "Send to remote server failed"},
    {608, "Cannot process remote login - no info, no RSA keys or level < Advanced?"},
    {609, "Login at the remote server failed"},
    {610, "Multipoint server is HTTP Digest, remote one not - cannot login"},
    {611, "Client not logged into multipoint server"},
    {612, "Server sent 401 but it is neither basic nor digest"},
    {613, "No or lost own authentication while handshaking the HTTP auth"},
    {614, "Different realms in multipoint and remote server - cannot login"},
    {615, "Remote server want's digest algorithm or qop we don't support"},
    {616, "Malformed WWW-Authenticate header"},
    {617, "Multipoint server without security can only communicate with servers without one as well"},
    {900, "Out of memory"},
    {10000, "Invalid Data"},
    {-1, nullptr},
};

namespace {

tavix_mime_type *loaded_mime;  // table read from a file, with its texts
char *loaded_mime_text;

char *Dup(const char *text) { return tavix_strdup(text); }

void Replace(char *&slot, const char *text) {
    std::free(slot);
    slot = Dup(text);
}

void FreeLoadedMime() {
    std::free(loaded_mime);
    std::free(loaded_mime_text);
    loaded_mime = nullptr;
    loaded_mime_text = nullptr;
}

int HexValue(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

int Base64Value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// The byte a URL position stands for, and how many characters it takes.
int UrlByte(const char *p, int *taken) {
    if (p[0] == '%' && HexValue(static_cast<unsigned char>(p[1])) >= 0 &&
        HexValue(static_cast<unsigned char>(p[2])) >= 0) {
        *taken = 3;
        return HexValue(static_cast<unsigned char>(p[1])) * 16 + HexValue(static_cast<unsigned char>(p[2]));
    }
    *taken = 1;
    return static_cast<unsigned char>(p[0]);
}

int MonthOf(const char *name) {
    static const char *const kMonths[12] = {"jan", "feb", "mar", "apr", "may", "jun",
                                            "jul", "aug", "sep", "oct", "nov", "dec"};
    for (int m = 0; m < 12; m++)
        if (strncasecmp(name, kMonths[m], 3) == 0 && name[3] == 0) return m;
    return -1;
}

}  // namespace

int tavix_options_initialize() {
    tavix_options_free();
    tavix_options_t &o = tavix_global_options;
    o = tavix_options_t{};
    o.prefix = Dup("/tavIX/");
    o.http_port = 80;
    o.https_port = 443;
    o.web_root = Dup("WEBROOT_NOT_SET");
    o.default_documents = Dup("index.htm");
    o.mime = tavix_default_mime_types;
    o.mime_count = TAVIX_DEFAULT_MIME_COUNT;
    o.level = 3;
    o.auth_method = 5;
    o.realm = Dup("tavIX");
    o.tcp_nodelay = 1;
    o.session_timeout = 60;
    o.request_limit = 131072;
    o.buffer_limit = 8388608;
    o.error_cb = tavix_options_stderr_error_cb;
    o.banner = "Controller web HMI server";
    o.server_header = "TavIX SDK/0.9.0";
    o.long_poll = 1;
    o.max_sessions = 4;
    o.max_frames = 16;
    o.max_items = 8192;
    o.max_notifications = 4608;
    o.max_auth_records = 4;
    return 0;
}

void tavix_options_free() {
    tavix_options_t &o = tavix_global_options;
    for (char **p : {&o.server_name, &o.prefix, &o.http_address, &o.https_address, &o.certificate, &o.passphrase,
                     &o.web_root, &o.default_documents, &o.realm}) {
        std::free(*p);
        *p = nullptr;
    }
    FreeLoadedMime();
    o.mime = tavix_default_mime_types;
    o.mime_count = TAVIX_DEFAULT_MIME_COUNT;
    tavix_options_free_rsa();
}

int tavix_options_set_http_options(const char *address, uint32_t port) {
    Replace(tavix_global_options.http_address, address);
    tavix_global_options.http_port = port;
    return 0;
}

int tavix_options_set_https_options(const char *address, uint32_t port, const char *certificate,
                                    const char *passphrase) {
    tavix_options_t &o = tavix_global_options;
    Replace(o.https_address, address);
    o.https_port = port;
    Replace(o.certificate, certificate);
    Replace(o.passphrase, passphrase);
    return 0;
}

int tavix_options_set_web_root(const char *folder, const char *documents) {
    Replace(tavix_global_options.web_root, folder);
    Replace(tavix_global_options.default_documents, documents);
    return 0;
}

int tavix_options_set_server_name(const char *name) {
    Replace(tavix_global_options.server_name, name);
    return 0;
}

int tavix_options_set_tavix_prefix(const char *prefix) {
    Replace(tavix_global_options.prefix, prefix);
    return 0;
}

int tavix_options_set_auth_options(uint32_t method, const char *realm) {
    tavix_global_options.auth_method = method;
    if (realm == nullptr && (method == 1 || method == 2)) realm = "tavIX";
    Replace(tavix_global_options.realm, realm);
    return 0;
}

int tavix_util_compare_mimetype(const void *a, const void *b) {
    return strcasecmp(static_cast<const tavix_mime_type *>(a)->extension,
                      static_cast<const tavix_mime_type *>(b)->extension);
}

int tavix_options_set_mimetypes_from_file(const char *path) {
    FILE *f = std::fopen(path, "rb");
    if (f == nullptr) return -1;
    // Texts go into one growing block; pairs hold offsets until the block settles.
    std::size_t text_cap = 1024, text_len = 0, cap = 16, count = 0;
    char *text = static_cast<char *>(std::malloc(text_cap));
    struct Pair {
        std::size_t ext, type;
    } *pairs = static_cast<Pair *>(std::malloc(cap * sizeof(Pair)));
    bool ok = text != nullptr && pairs != nullptr;
    auto add = [&](const char *word, std::size_t n) -> std::size_t {
        while (ok && text_len + n + 1 > text_cap) {
            char *t = static_cast<char *>(std::realloc(text, text_cap * 2));
            if (t == nullptr)
                ok = false;
            else
                text = t, text_cap *= 2;
        }
        if (!ok) return 0;
        std::memcpy(text + text_len, word, n);
        text[text_len + n] = 0;
        const std::size_t at = text_len;
        text_len += n + 1;
        return at;
    };
    char line[257];
    while (ok && std::fgets(line, sizeof line, f) != nullptr) {
        if (char *hash = std::strchr(line, '#')) *hash = 0;
        std::size_t type = 0;
        bool have_type = false;
        for (char *p = line; ok && *p != 0;) {
            while (*p != 0 && std::isspace(static_cast<unsigned char>(*p))) p++;
            char *w = p;
            while (*p != 0 && !std::isspace(static_cast<unsigned char>(*p))) p++;
            if (p == w) break;
            const std::size_t at = add(w, std::size_t(p - w));
            if (!have_type) {
                type = at;
                have_type = true;
                continue;
            }
            if (count == cap) {
                Pair *q = static_cast<Pair *>(std::realloc(pairs, 2 * cap * sizeof(Pair)));
                if (q == nullptr) {
                    ok = false;
                    break;
                }
                pairs = q;
                cap *= 2;
            }
            pairs[count++] = {at, type};
        }
    }
    std::fclose(f);
    tavix_mime_type *table =
        ok ? static_cast<tavix_mime_type *>(std::malloc((count + 1) * sizeof(tavix_mime_type))) : nullptr;
    if (table == nullptr) {
        std::free(text);
        std::free(pairs);
        return -1;
    }
    for (std::size_t i = 0; i < count; i++) table[i] = {text + pairs[i].ext, text + pairs[i].type};
    std::free(pairs);
    std::qsort(table, count, sizeof(tavix_mime_type), tavix_util_compare_mimetype);
    FreeLoadedMime();
    loaded_mime = table;
    loaded_mime_text = text;
    tavix_global_options.mime = table;
    tavix_global_options.mime_count = uint32_t(count);
    return 0;
}

const char *tavix_options_mime_type(const char *name) {
    const char *dot = std::strrchr(name, '.');
    const char *slash = std::strrchr(name, '/');
    if (dot == nullptr || (slash != nullptr && slash > dot)) return nullptr;
    const tavix_mime_type key{dot + 1, nullptr};
    const void *hit = std::bsearch(&key, tavix_global_options.mime, tavix_global_options.mime_count,
                                   sizeof(tavix_mime_type), tavix_util_compare_mimetype);
    return hit == nullptr ? nullptr : static_cast<const tavix_mime_type *>(hit)->type;
}

void tavix_options_stderr_error_cb(const char *text) { std::fprintf(stderr, "%s\n", text); }

void tavix_util_error(const char *format, ...) {
    char text[512];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    tavix_error_cb cb =
        tavix_global_options.error_cb != nullptr ? tavix_global_options.error_cb : tavix_options_stderr_error_cb;
    cb(text);
}

int tavix_get_error_strings(int32_t code, const char **text, const char **languages) {
    if (languages != nullptr) *languages = nullptr;
    for (const tavix_error_entry *e = tavix_error_table; e->code >= 0; e++) {
        if (e->code == code) {
            if (text != nullptr) *text = e->text;
            return 0;
        }
    }
    if (text != nullptr) *text = "Cannot convert error code to an error string";
    return -1;
}

int tavix_util_snprintf(char *out, std::size_t size, const char *format, ...) {
    if (out == nullptr || size == 0 || format == nullptr) return -2;
    va_list ap;
    va_start(ap, format);
    const int n = std::vsnprintf(out, size, format, ap);
    va_end(ap);
    out[size - 1] = 0;
    return n < 0 ? -1 : n;
}

void tavix_util_hex_encode(const uint8_t *bytes, std::size_t count, char *out) {
    static const char kDigits[] = "0123456789abcdef";
    out[2 * count] = 0;
    for (std::size_t i = count; i-- > 0;) {
        const uint8_t b = bytes[i];
        out[2 * i + 1] = kDigits[b & 15];
        out[2 * i] = kDigits[b >> 4];
    }
}

int tavix_util_hex_decode(const char *text, long length, uint8_t *out, std::size_t out_size, std::size_t *count) {
    std::size_t n = 0;
    if (length >= 0) {
        if (length % 2 != 0) return 1;
        for (long i = 0; i < length; i += 2) {
            const int hi = HexValue(static_cast<unsigned char>(text[i]));
            const int lo = HexValue(static_cast<unsigned char>(text[i + 1]));
            if (hi < 0 || lo < 0 || n >= out_size) return 1;
            out[n++] = uint8_t(hi * 16 + lo);
        }
    } else {
        for (const char *p = text; n < out_size; p += 2) {
            const int hi = HexValue(static_cast<unsigned char>(p[0]));
            const int lo = hi < 0 ? -1 : HexValue(static_cast<unsigned char>(p[1]));
            if (lo < 0) break;
            out[n++] = uint8_t(hi * 16 + lo);
        }
    }
    if (count != nullptr) *count = n;
    return 0;
}

int tavix_base64_encode(const uint8_t *bytes, std::size_t count, char *out, std::size_t *size) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const std::size_t need = (count + 2) / 3 * 4 + 1;
    if (*size < need) {
        *size = need;
        return -2;
    }
    std::size_t o = 0;
    for (std::size_t i = 0; i < count; i += 3) {
        const uint32_t v = uint32_t(bytes[i]) << 16 | (i + 1 < count ? uint32_t(bytes[i + 1]) << 8 : 0) |
                           (i + 2 < count ? bytes[i + 2] : 0);
        out[o++] = kAlphabet[v >> 18 & 63];
        out[o++] = kAlphabet[v >> 12 & 63];
        out[o++] = i + 1 < count ? kAlphabet[v >> 6 & 63] : '=';
        out[o++] = i + 2 < count ? kAlphabet[v & 63] : '=';
    }
    out[o] = 0;
    *size = o;
    return 0;
}

int tavix_base64_decode(const char *text, std::size_t count, uint8_t *out, std::size_t *size) {
    std::size_t n = 0;
    uint32_t acc = 0;
    int have = 0, pads = 0;
    for (std::size_t i = 0; i < count; i++) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '=') {
            pads++;
            continue;
        }
        const int v = Base64Value(c);
        if (v < 0) continue;  // spaces, line breaks and other bytes are skipped
        if (pads > 0) return -1;
        acc = acc << 6 | uint32_t(v);
        if (++have == 4) {
            if (n + 3 > *size) return -2;
            out[n++] = uint8_t(acc >> 16);
            out[n++] = uint8_t(acc >> 8);
            out[n++] = uint8_t(acc);
            have = 0;
            acc = 0;
        }
    }
    if (have != 0) {
        // A short quantum is whole only with its padding: 2 data and 2 '=' or 3 and 1.
        if (have == 1 || have + pads != 4) return -1;
        const int bytes = have - 1;
        acc <<= 6 * (4 - have);
        if (n + std::size_t(bytes) > *size) return -2;
        out[n++] = uint8_t(acc >> 16);
        if (bytes == 2) out[n++] = uint8_t(acc >> 8);
    } else if (pads != 0) {
        return -1;
    }
    *size = n;
    return 0;
}

std::size_t tavix_util_url_decode(const char *text, std::size_t length, char *out, std::size_t out_size,
                                  bool plus_as_space, bool terminate) {
    const std::size_t room = terminate ? (out_size == 0 ? 0 : out_size - 1) : out_size;
    std::size_t o = 0, i = 0;
    while (i < length && o < room) {
        if (text[i] == '%' && i + 2 < length && HexValue(static_cast<unsigned char>(text[i + 1])) >= 0 &&
            HexValue(static_cast<unsigned char>(text[i + 2])) >= 0) {
            out[o++] = char(HexValue(static_cast<unsigned char>(text[i + 1])) * 16 +
                            HexValue(static_cast<unsigned char>(text[i + 2])));
            i += 3;
        } else if (text[i] == '+' && plus_as_space) {
            out[o++] = ' ';
            i++;
        } else {
            out[o++] = text[i++];
        }
    }
    if (terminate && out_size > 0) out[o] = 0;
    return o;
}

int tavix_util_url_compare(const char *a, const char *b, bool stop_at_query) {
    auto ended = [](const char *p) { return *p == 0 || *p == '"'; };
    for (;;) {
        const bool ea = ended(a), eb = ended(b);
        if (ea || eb) return ea && eb ? 0 : (ea ? -1 : 1);
        if (stop_at_query && *a == '?' && *b == '?') return 0;
        int ta = 0, tb = 0;
        const int ca = UrlByte(a, &ta), cb = UrlByte(b, &tb);
        if (ca != cb) return ca < cb ? -1 : 1;
        a += ta;
        b += tb;
    }
}

long tavix_util_strnstr(const char *haystack, std::size_t length, const char *needle, std::size_t needle_length) {
    if (needle_length == 0) return 0;
    const void *at = memmem(haystack, length, needle, needle_length);
    return at == nullptr ? -1 : long(static_cast<const char *>(at) - haystack);
}

namespace {
unsigned char AsciiLower(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u >= 'A' && u <= 'Z' ? u + ('a' - 'A') : u;
}
}  // namespace

long tavix_util_strcasenstr(const char *haystack, std::size_t length, const char *needle, std::size_t needle_length) {
    if (needle_length == 0) return 0;
    // Only where the first letter matches are the rest compared; a NUL in the
    // haystack matches nothing (the needle has none).
    const unsigned char first = AsciiLower(needle[0]);
    for (std::size_t i = 0; i + needle_length <= length; i++) {
        if (AsciiLower(haystack[i]) != first) continue;
        std::size_t k = 1;
        while (k < needle_length && AsciiLower(haystack[i + k]) == AsciiLower(needle[k])) k++;
        if (k == needle_length) return long(i);
    }
    return -1;
}

uint64_t tavix_util_upper_power_of_two(uint64_t v) {
    v--;
    v |= v >> 1;
    v |= v >> 2;
    v |= v >> 4;
    v |= v >> 8;
    v |= v >> 16;
    v |= v >> 32;
    return v + 1;
}

int tavix_util_call_overflow_error(uint32_t limit, uint32_t wanted) {
    if (wanted <= limit) return 0;
    tavix_util_error("Buffer overflow - max size %u, wants %u", limit, wanted);
    return 1;
}

std::size_t tavix_util_output_http_time(time_t seconds, char *out, std::size_t size) {
    struct tm t {};
    gmtime_r(&seconds, &t);
    static const char *const kDays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char *const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    // Written by hand: the C locale's names, whatever locale the process has.
    const int n = std::snprintf(out, size, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[t.tm_wday], t.tm_mday,
                                kMonths[t.tm_mon], t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
    return n < 0 ? 0 : std::min(std::size_t(n), size == 0 ? 0 : size - 1);
}

time_t tavix_util_parse_http_time(const char *text) {
    if (text == nullptr) return 0;
    char month[8] = "", zone[8] = "", wday[16] = "";
    int day = 0, year = 0, h = 0, m = 0, s = 0, used = 0;
    struct tm t {};
    bool ok = false;
    // RFC 1123: "Sun, 06 Nov 1994 08:49:37 GMT"
    if (std::sscanf(text, "%15[A-Za-z], %2d %3s %4d %2d:%2d:%2d %3s%n", wday, &day, month, &year, &h, &m, &s, zone,
                    &used) == 8 &&
        text[used] == 0 && std::strcmp(zone, "GMT") == 0) {
        ok = true;
    } else if (std::sscanf(text, "%15[A-Za-z], %2d-%3[A-Za-z]-%2d %2d:%2d:%2d %3s%n", wday, &day, month, &year, &h, &m,
                           &s, zone, &used) == 8 &&
               text[used] == 0 && std::strcmp(zone, "GMT") == 0) {
        // RFC 850: "Sunday, 06-Nov-94 08:49:37 GMT"
        year += 1900;
        ok = true;
    } else if (std::sscanf(text, "%3[A-Za-z] %3[A-Za-z] %2d %2d:%2d:%2d %4d%n", wday, month, &day, &h, &m, &s, &year,
                           &used) == 7 &&
               text[used] == 0) {
        // asctime: "Sun Nov  6 08:49:37 1994"
        ok = true;
    }
    const int mon = ok ? MonthOf(month) : -1;
    if (mon < 0 || day < 1 || day > 31 || h > 23 || m > 59 || s > 60) return 0;
    t.tm_year = year - 1900;
    t.tm_mon = mon;
    t.tm_mday = day;
    t.tm_hour = h;
    t.tm_min = m;
    t.tm_sec = s;
    const time_t r = timegm(&t);
    return r < 0 ? 0 : r;
}

void tavix_util_split_jstime_to_seconds_nanoseconds(const char *text, uint64_t *seconds, uint64_t *nanoseconds) {
    std::size_t digits = 0;
    while (std::isdigit(static_cast<unsigned char>(text[digits]))) digits++;
    if (digits < 4 || digits > 22) return;  // 1 to 19 digits of seconds, then 3 of milliseconds
    uint64_t sec = 0;
    for (std::size_t i = 0; i + 3 < digits; i++) sec = sec * 10 + uint64_t(text[i] - '0');
    double ms = (text[digits - 3] - '0') * 100 + (text[digits - 2] - '0') * 10 + (text[digits - 1] - '0');
    if (text[digits] == '.') ms += std::strtod(text + digits, nullptr);
    *seconds = sec;
    *nanoseconds = uint64_t(ms * 1000000.0 + 0.5);
}

const char *tavix_sys_random_path = "/dev/urandom";

namespace {

// Up to length bytes of the random source (fd < 0: none); the count read.
std::size_t ReadRandom(int fd, uint8_t *out, std::size_t length) {
    std::size_t got = 0;
    while (fd >= 0 && got < length) {
        const ssize_t r = read(fd, out + got, length - got);
        if (r <= 0) break;
        got += std::size_t(r);
    }
    if (got < length) tavix_util_error("Cannot fetch random data from /dev/urandom");
    return got;
}

}  // namespace

int tavix_sys_fill_random(uint8_t *out, std::size_t length) {
    const int fd = open(tavix_sys_random_path, O_RDONLY | O_CLOEXEC);
    const std::size_t got = ReadRandom(fd, out, length);
    if (fd >= 0) close(fd);
    return got < length ? -1 : 0;
}

int tavix_sys_get_random_data(uint8_t *out, std::size_t length, bool as_hex, bool no_zero) {
    const int fd = open(tavix_sys_random_path, O_RDONLY | O_CLOEXEC);
    ReadRandom(fd, out, length);
    if (no_zero) {
        for (std::size_t i = 0; i < length; i++) {
            for (int k = 0; k < 8 && out[i] == 0 && fd >= 0; k++)
                if (read(fd, &out[i], 1) != 1) break;
            if (out[i] == 0) out[i] = 1;
        }
    }
    if (fd >= 0) close(fd);
    if (as_hex) tavix_util_hex_encode(out, length, reinterpret_cast<char *>(out));
    return 0;
}
