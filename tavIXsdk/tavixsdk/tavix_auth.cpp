// HTTP authentication of the web server.
#include "tavIXsdk/tavixsdk/tavix_auth.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <strings.h>
#include <tomcrypt.h>

#include "tavIXsdk/tavixsdk/tavix_engine.h"
#include "tavIXsdk/tavixsdk/tavix_util.h"

tavix_auth_callbacks_t tavix_auth_callbacks;
tavix_auth_table_t tavix_auth_table;

namespace {

constexpr std::size_t kAuthMax = 66560;
constexpr uint64_t kStaleUnits = 60;
constexpr const char kTail[] =
    "Content-Length: 126\r\nContent-Type: text/html; charset=utf-8\r\n\r\n<!DOCTYPE html><html><head><title>401 "
    "Authorization Required</title></head><body><h1>Authorization required</h1></body></html>";
constexpr std::size_t kTailHeader = std::string_view(kTail).find("\r\n\r\n") + 4;  // the fields and blank line

// A challenge to a HEAD request keeps its header fields, Content-Length
// included, and loses its page: HEAD answers never carry a body.
tavix_buffer *HeadOnly(tavix_buffer *b, bool head) {
    const uint32_t n = uint32_t(sizeof kTail - 1);
    if (head && b != nullptr && b->length >= n && std::memcmp(b->data + b->length - n, kTail, n) == 0)
        b->length -= n - uint32_t(kTailHeader);
    return b;
}

bool IsHex(const char *p, std::size_t n) {
    for (std::size_t i = 0; i < n; i++) {
        const char c = p[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
    }
    return true;
}

// A Digest parameter's value (quoted or not) copied into out; false when
// absent, too long, or a quoted value crosses a line end.
bool Param(const char *v, std::size_t n, const char *name, char *out, std::size_t room) {
    const std::size_t nl = std::strlen(name);
    for (std::size_t i = 0; i + nl < n; i++) {
        if (strncasecmp(v + i, name, nl) != 0 || v[i + nl] != '=') continue;
        // The name must start a parameter ("nonce" inside "cnonce" does not).
        if (i > 0 && v[i - 1] != ' ' && v[i - 1] != ',' && v[i - 1] != '\t') continue;
        std::size_t p = i + nl + 1, k = 0;
        if (p < n && v[p] == '"') {
            for (p++; p < n && v[p] != '"'; p++) {
                if (v[p] == '\r' || v[p] == '\n' || k + 1 >= room) return false;
                out[k++] = v[p];
            }
            if (p >= n) return false;
        } else {
            for (; p < n && v[p] != ',' && v[p] != ' ' && v[p] != '\r'; p++) {
                if (k + 1 >= room) return false;
                out[k++] = v[p];
            }
        }
        out[k] = 0;
        return true;
    }
    return false;
}

// Whether a challenge's qop list offers "auth" itself ("auth-int" alone is
// a qop this server cannot answer).
bool QopOffersAuth(const char *qop) {
    for (const char *p = qop; *p != 0;) {
        while (*p == ' ' || *p == '\t' || *p == ',') p++;
        const char *end = p;
        while (*end != 0 && *end != ',' && *end != ' ' && *end != '\t') end++;
        if (end - p == 4 && std::strncmp(p, "auth", 4) == 0) return true;
        p = end;
    }
    return false;
}

int Ha1(const tavix_identity *who, const char *password, uint8_t ha1[16], int *code) {
    if (tavix_auth_callbacks.digest == nullptr) {
        *code = 507;
        return -1;
    }
    char hex[40] = {};
    int cb_code = 0;
    if (tavix_auth_callbacks.digest(who, password, hex, &cb_code) < 0) {
        *code = cb_code != 0 ? cb_code : 405;
        return -1;
    }
    if (tavix_auth_decode_ha1(hex, sizeof hex, ha1) != 0) {
        *code = 403;
        return -1;
    }
    return 0;
}

int Basic(const char *v, std::size_t n, tavix_identity *who, int *code) {
    uint8_t raw[130];
    std::size_t len = sizeof raw - 1;
    if (n > 176 || tavix_base64_decode(v, n, raw, &len) != 0 || len > 129) {
        *code = 406;
        return -1;
    }
    raw[len] = 0;
    char *colon = std::strchr(reinterpret_cast<char *>(raw), ':');
    // A NUL would end the password early: such credentials are malformed.
    if (colon == nullptr || std::memchr(raw, 0, len) != nullptr) {
        *code = 406;
        return -1;
    }
    *colon = 0;
    const char *user = reinterpret_cast<char *>(raw), *password = colon + 1;
    if (std::strlen(user) >= TAVIX_NAME_MAX || std::strlen(password) >= TAVIX_NAME_MAX) {
        *code = 406;
        return -1;
    }
    std::memcpy(who->user, user, std::strlen(user) + 1);  // shorter than the field: checked above
    if (std::snprintf(who->realm, sizeof who->realm, "%s",
                      tavix_global_options.realm ? tavix_global_options.realm : "") >= int(sizeof who->realm)) {
        *code = 406;
        return -1;
    }
    uint8_t ha1[16];
    if (Ha1(who, password, ha1, code) != 0) return -1;
    char text[4 * TAVIX_NAME_MAX + 140];
    const int tn = std::snprintf(text, sizeof text, "%s:%s:%s", who->user, who->realm, password);
    uint8_t mine[16];
    tavix_md5(text, std::size_t(tn), mine);
    if (std::memcmp(mine, ha1, 16) != 0) {
        *code = 405;
        return -1;
    }
    std::memcpy(who->ha1, ha1, 16);
    std::memcpy(who->password, password, std::strlen(password) + 1);  // shorter than the field: checked above
    return 0;
}

// Takes nonce count nc for the nonce key once: 0 when new for it, 1 when
// seen already (a replay), -1 when the nonce is too old to be tracked.
int NonceCountFresh(uint64_t key, uint32_t nc, uint64_t now) {
    auto &t = tavix_auth_table;
    tavix_nonce_use *slot = nullptr;
    for (tavix_nonce_use &u : t.uses) {
        if (u.key == key) {
            if (nc > u.top) {
                const uint32_t shift = nc - u.top;
                u.window = shift >= 32 ? 1 : (u.window << shift) | 1;
                u.top = nc;
                return 0;
            }
            const uint32_t back = u.top - nc;
            if (back >= 32 || (u.window >> back & 1) != 0) return 1;
            u.window |= 1u << back;
            return 0;
        }
        // A slot is free when unused or its nonce is stale (no count of it passes any more).
        if (slot == nullptr && (u.key == 0 || (u.key >> 16) + kStaleUnits < now)) slot = &u;
    }
    if (key <= t.use_floor) return -1;
    if (slot == nullptr) {
        // All in use: the oldest nonce is let go, and with it every older one.
        slot = &t.uses[0];
        for (tavix_nonce_use &u : t.uses)
            if (u.key < slot->key) slot = &u;
        t.use_floor = slot->key;
    }
    *slot = {key, nc, 1};
    return 0;
}

int Digest(const char *v, std::size_t n, const char *method, const char *url, tavix_identity *who, int *code,
           bool *stale) {
    // The uri names the request URL and the cnonce is the client's choice:
    // either may be as long as the header itself, and their copies have room
    // for all of it (only the web thread verifies).
    static char uri[kAuthMax + 1], cnonce[kAuthMax + 1];
    char nonce[64], response[40], nc[16];
    *code = 406;
    if (!Param(v, n, "uri", uri, sizeof uri) || tavix_util_url_compare(uri, url, false) != 0) return -1;
    if (!Param(v, n, "username", who->user, sizeof who->user) || !Param(v, n, "realm", who->realm, sizeof who->realm))
        return -1;
    if (!Param(v, n, "cnonce", cnonce, sizeof cnonce)) return -1;
    if (!Param(v, n, "nonce", nonce, sizeof nonce) || !Param(v, n, "response", response, sizeof response) ||
        !Param(v, n, "nc", nc, sizeof nc))
        return -1;
    // The nonce count as the client wrote it (browsers write 8 digits; more
    // would not fit the 32-bit count the replay check keeps).
    const std::size_t ncl = std::strlen(nc);
    if (ncl == 0 || ncl > 8 || !IsHex(nc, ncl) || std::strlen(response) != 32 || !IsHex(response, 32)) return -1;
    if (std::strlen(nonce) != 32 || !IsHex(nonce, 8)) {
        *code = 405;
        return -1;
    }
    uint8_t check[28];
    std::memcpy(check, nonce, 12);
    std::memcpy(check + 12, tavix_auth_table.secret, 16);
    uint8_t md[16];
    tavix_md5(check, sizeof check, md);
    char hex[33];
    tavix_util_hex_encode(md, 10, hex);
    char stamp[9];
    std::memcpy(stamp, nonce, 8);
    stamp[8] = 0;
    const uint64_t issued = std::strtoull(stamp, nullptr, 16);
    const uint64_t now = tavix_sys_get_current_monotonous_time();
    if (std::memcmp(hex, nonce + 12, 20) != 0 || issued > now) {
        *code = 405;
        return -1;
    }
    uint8_t ha1[16];
    if (Ha1(who, nullptr, ha1, code) != 0) return -1;
    char ha1_hex[33], ha2_hex[33];
    tavix_util_hex_encode(ha1, 16, ha1_hex);
    hash_state md2;
    md5_init(&md2);
    md5_process(&md2, reinterpret_cast<const unsigned char *>(method), static_cast<unsigned long>(std::strlen(method)));
    md5_process(&md2, reinterpret_cast<const unsigned char *>(":"), 1);
    md5_process(&md2, reinterpret_cast<const unsigned char *>(uri), static_cast<unsigned long>(std::strlen(uri)));
    uint8_t ha2[16];
    md5_done(&md2, ha2);
    tavix_util_hex_encode(ha2, 16, ha2_hex);
    // HA1 ":" nonce ":" nc ":" cnonce ":auth:" HA2, digested piece by piece.
    uint8_t expected[16], got[16];
    md5_init(&md2);
    const char *const pieces[] = {ha1_hex, ":", nonce, ":", nc, ":", cnonce, ":auth:", ha2_hex};
    for (const char *piece : pieces)
        md5_process(&md2, reinterpret_cast<const unsigned char *>(piece),
                    static_cast<unsigned long>(std::strlen(piece)));
    md5_done(&md2, expected);
    std::size_t gn = 0;
    tavix_util_hex_decode(response, 32, got, 16, &gn);
    if (std::memcmp(expected, got, 16) != 0) {
        *code = 405;
        return -1;
    }
    if (now - issued > kStaleUnits) {
        *stale = true;
        *code = 401;
        return -1;
    }
    char counter[5];
    std::memcpy(counter, nonce + 8, 4);
    counter[4] = 0;
    const int fresh = NonceCountFresh(issued << 16 | std::strtoull(counter, nullptr, 16),
                                      uint32_t(std::strtoul(nc, nullptr, 16)), now);
    if (fresh != 0) {
        *stale = fresh < 0;
        *code = fresh < 0 ? 401 : 405;
        return -1;
    }
    std::memcpy(who->ha1, ha1, 16);
    who->password[0] = 0;  // Digest never shows it
    return 0;
}

// Bisection over a table ordered by key digest: the index found, or where to insert.
template <typename T>
long DigestIndex(const T *entries, uint32_t count, const uint8_t digest[16], bool *found) {
    long lo = 0, hi = long(count);
    while (lo < hi) {
        const long mid = (lo + hi) / 2;
        const int c = std::memcmp(entries[mid].key_digest, digest, 16);
        if (c == 0) {
            *found = true;
            return mid;
        }
        if (c < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    *found = false;
    return lo;
}

long EntryIndex(const uint8_t digest[16], bool *found) {
    return DigestIndex(tavix_auth_table.entries, tavix_auth_table.count, digest, found);
}

}  // namespace

int tavix_auth_decode_ha1(const char *text, std::size_t room, uint8_t out[16]) {
    // Taken whole: a longer text is no HA1, whatever its first 32 characters.
    const std::size_t n = strnlen(text, room);
    std::size_t got = 0;
    if (n != 32 || tavix_util_hex_decode(text, 32, out, 16, &got) != 0 || got != 16) return -1;
    return 0;
}

void tavix_md5(const void *data, std::size_t n, uint8_t out[16]) {
    hash_state md;
    md5_init(&md);
    md5_process(&md, static_cast<const unsigned char *>(data), static_cast<unsigned long>(n));
    md5_done(&md, out);
}

void tavix_md5_hex(const void *data, std::size_t n, char out[33]) {
    uint8_t md[16];
    tavix_md5(data, n, md);
    tavix_util_hex_encode(md, 16, out);
}

int tavix_auth_initialize() {
    tavix_auth_table.count = 0;
    tavix_auth_table.counter = 0;
    std::memset(tavix_auth_table.uses, 0, sizeof tavix_auth_table.uses);
    tavix_auth_table.use_floor = 0;
    tavix_sys_get_random_data(tavix_auth_table.secret, sizeof tavix_auth_table.secret, false, false);
    return 0;
}

void tavix_auth_clear() {
    tavix_auth_table.count = 0;
    std::memset(tavix_auth_table.entries, 0, sizeof tavix_auth_table.entries);
    tavix_nonce_table.count = 0;
    std::memset(tavix_nonce_table.entries, 0, sizeof tavix_nonce_table.entries);
}

void tavix_auth_free() { tavix_auth_clear(); }

void tavix_auth_data_clear(tavix_auth_entry *e) {
    uint8_t key_digest[16];
    std::memcpy(key_digest, e->key_digest, 16);
    *e = tavix_auth_entry{};
    std::memcpy(e->key_digest, key_digest, 16);
    e->used = true;
    e->last_use = tavix_sys_get_current_monotonous_time();
}

void tavix_auth_expire_auth_data(uint64_t now, uint64_t age) {
    auto &t = tavix_auth_table;
    uint32_t k = 0;
    for (uint32_t i = 0; i < t.count; i++) {
        if (t.entries[i].last_use + age >= now) t.entries[k++] = t.entries[i];
    }
    for (uint32_t i = k; i < t.count; i++) t.entries[i] = tavix_auth_entry{};
    t.count = k;
    // The nonces remote servers gave age the same way, by when they came
    // (kept in order: the table stays sorted by key digest).
    auto &nt = tavix_nonce_table;
    k = 0;
    for (uint32_t i = 0; i < nt.count; i++) {
        if (nt.entries[i].received + age >= now) nt.entries[k++] = nt.entries[i];
    }
    for (uint32_t i = k; i < nt.count; i++) nt.entries[i] = tavix_nonce_entry{};
    nt.count = k;
}

void tavix_auth_make_nonce(char out[33], uint64_t now) {
    tavix_auth_table.counter = uint16_t(tavix_auth_table.counter + 1);
    std::snprintf(out, 13, "%08x%04x", uint32_t(now), unsigned(tavix_auth_table.counter));
    uint8_t check[28];
    std::memcpy(check, out, 12);
    std::memcpy(check + 12, tavix_auth_table.secret, 16);
    uint8_t md[16];
    tavix_md5(check, sizeof check, md);
    tavix_util_hex_encode(md, 10, out + 12);
}

tavix_buffer *tavix_auth_generate_401_response(bool keep_alive, const char *extra) {
    const uint32_t method = tavix_global_options.auth_method;
    const char *realm = tavix_global_options.realm != nullptr ? tavix_global_options.realm : "";
    char line[512];
    int status = 401;
    const char *reason = "Authorization Required";
    switch (method) {
    case 1: std::snprintf(line, sizeof line, "WWW-Authenticate: Basic realm=\"%s\"\r\n", realm); break;
    case 2: {
        char nonce[33];
        tavix_auth_make_nonce(nonce, tavix_sys_get_current_monotonous_time());
        std::snprintf(line, sizeof line,
                      "WWW-Authenticate: Digest realm=\"%s\", domain=\"/\", nonce=\"%s\", algorithm=MD5, "
                      "qop=\"auth\"%s\r\n",
                      realm, nonce, extra != nullptr ? extra : "");
        break;
    }
    case 3: std::snprintf(line, sizeof line, "WWW-Authenticate: Negotiate%s\r\n", extra ? extra : ""); break;
    case 4: std::snprintf(line, sizeof line, "WWW-Authenticate: NTLM%s\r\n", extra ? extra : ""); break;
    default:
        // No challenge this login method can give: the status says so, and
        // the answer keeps the challenge's fixed tail (HEAD drops its page).
        status = 500;
        reason = "Internal error - HTTP auth needed and not supported";
        line[0] = 0;
        break;
    }
    tavix_buffer *b = tavix_engine_initialize_response(status, reason, keep_alive);
    if (b == nullptr) return nullptr;
    if (tavix_buffer_put_data(b, line, uint32_t(std::strlen(line))) != 0 ||
        tavix_buffer_put_data(b, kTail, sizeof kTail - 1) != 0) {
        tavix_buffer_return(b);
        return nullptr;
    }
    return b;
}

int tavix_auth_verify_auth_header(tavix_connection *, const char *authorization, const char *method, const char *url,
                                  tavix_identity *who, int *code, bool *stale) {
    *stale = false;
    const std::size_t avail = strnlen(authorization, kAuthMax);
    const char *end = static_cast<const char *>(std::memchr(authorization, '\r', avail));
    const std::size_t n = end != nullptr ? std::size_t(end - authorization) : avail;
    if (tavix_auth_callbacks.digest == nullptr) {
        *code = 507;
        return -1;
    }
    if (n >= 6 && strncasecmp(authorization, "Basic ", 6) == 0) {
        if (tavix_global_options.auth_method == 2) {
            *code = 401;
            return -1;
        }
        return Basic(authorization + 6, n - 6, who, code);
    }
    if (n >= 7 && strncasecmp(authorization, "Digest ", 7) == 0)
        return Digest(authorization + 7, n - 7, method, url, who, code, stale);
    *code = 401;
    return -1;
}

int tavix_auth_verify_access(tavix_connection *c, const char *authorization, const char *method, const char *url,
                             void *context, tavix_identity *who, tavix_buffer **response) {
    *who = tavix_identity{};
    const bool head = std::strcmp(method, "HEAD") == 0;
    bool identified = false;
    if (c != nullptr && c->identity != nullptr && c->identity(c, authorization, method, url, who) != 0) {
        // The connection itself names the user: no credentials are asked.
        identified = true;
    } else if (*who = tavix_identity{}; authorization != nullptr) {
        int code = 0;
        bool stale = false;
        if (tavix_auth_verify_auth_header(c, authorization, method, url, who, &code, &stale) != 0) {
            *response = HeadOnly(tavix_auth_generate_401_response(false, stale ? ", stale=\"true\"" : ""), head);
            return 0;
        }
        identified = true;
    } else if (tavix_global_options.auth_method != 0 && tavix_global_options.auth_method != 5) {
        *response = HeadOnly(tavix_auth_generate_401_response(false, ""), head);
        return 0;
    }
    if (tavix_auth_callbacks.access == nullptr) return 1;
    int code = 0;
    if (tavix_auth_callbacks.access(method, url, context, identified ? who : nullptr, &code) != 0) return 1;
    if (code == 405) {
        *response = tavix_engine_not_available_err(url, 403, "Forbidden via access check callback", false, head);
    } else if (code == 401) {
        *response = HeadOnly(tavix_auth_generate_401_response(false, ""), head);
    } else {
        char reason[48];
        std::snprintf(reason, sizeof reason, "Forbidden (code %d)", code);
        *response = tavix_engine_not_available_err(url, 403, reason, false, head);
    }
    return 0;
}

tavix_auth_entry *tavix_auth_find_auth_data(const char *key) {
    uint8_t d[16];
    tavix_md5(key, std::strlen(key), d);
    bool found = false;
    const long i = EntryIndex(d, &found);
    return found ? &tavix_auth_table.entries[i] : nullptr;
}

tavix_auth_entry *tavix_auth_insert_auth_data(const char *key) {
    auto &t = tavix_auth_table;
    uint8_t d[16];
    tavix_md5(key, std::strlen(key), d);
    bool found = false;
    const long i = EntryIndex(d, &found);
    if (found) return &t.entries[i];
    const uint32_t room = tavix_global_options.max_auth_records < TAVIX_AUTH_ENTRIES_MAX
                              ? tavix_global_options.max_auth_records
                              : TAVIX_AUTH_ENTRIES_MAX;
    if (t.count >= room) {
        tavix_util_error(
            "Maximum number of active authenticated clients (auth, %d) exceeded, wait a few seconds and "
            "try again",
            int(room));
        return nullptr;
    }
    for (long k = long(t.count); k > i; k--) t.entries[k] = t.entries[k - 1];
    t.entries[i] = tavix_auth_entry{};
    std::memcpy(t.entries[i].key_digest, d, 16);
    t.entries[i].used = true;
    t.entries[i].last_use = tavix_sys_get_current_monotonous_time();
    t.count++;
    return &t.entries[i];
}

namespace {
void RemoveNonce(const uint8_t d[16]);

// Removes entry i of a sorted table, closing the gap.
template <typename Entry>
void RemoveAt(Entry *entries, uint32_t &count, long i) {
    for (uint32_t k = uint32_t(i); k + 1 < count; k++) entries[k] = entries[k + 1];
    count--;
    entries[count] = Entry{};
}
}  // namespace

void tavix_auth_remove_auth_data(const char *key) {
    auto &t = tavix_auth_table;
    uint8_t d[16];
    tavix_md5(key, std::strlen(key), d);
    // A remote server's nonce for this key goes with it: the table would
    // otherwise fill with the keys of sessions long gone.
    RemoveNonce(d);
    bool found = false;
    const long i = EntryIndex(d, &found);
    if (found) RemoveAt(t.entries, t.count, i);
}

void tavix_auth_fill_authdata(bool ha1_given, const char *realm, const char *user, const void *password_or_ha1,
                              tavix_auth_entry *e) {
    std::snprintf(e->realm, sizeof e->realm, "%s", realm != nullptr ? realm : "");
    std::snprintf(e->user, sizeof e->user, "%s", user != nullptr ? user : "");
    if (ha1_given) {
        std::memcpy(e->ha1, password_or_ha1, 16);
        e->password[0] = 0;
        return;
    }
    const char *password = password_or_ha1 != nullptr ? static_cast<const char *>(password_or_ha1) : "";
    std::snprintf(e->password, sizeof e->password, "%s", password);
    char text[4 * TAVIX_NAME_MAX + 140];
    const int n = std::snprintf(text, sizeof text, "%s:%s:%s", e->user, e->realm, password);
    tavix_md5(text, std::size_t(n), e->ha1);
}

tavix_identity tavix_auth_current;

int tavix_auth_engine_access(tavix_connection *c, const char *method, const char *url, tavix_buffer *request,
                             tavix_buffer **response) {
    uint32_t len = 0;
    const char *authorization = tavix_engine_header_field(request, "Authorization: ", &len);
    return tavix_auth_verify_access(c, authorization, method, url, nullptr, &tavix_auth_current, response);
}

tavix_nonce_table_t tavix_nonce_table;

namespace {

long NonceIndex(const uint8_t digest[16], bool *found) {
    return DigestIndex(tavix_nonce_table.entries, tavix_nonce_table.count, digest, found);
}

void RemoveNonce(const uint8_t d[16]) {
    auto &t = tavix_nonce_table;
    bool found = false;
    const long i = NonceIndex(d, &found);
    if (found) RemoveAt(t.entries, t.count, i);
}

}  // namespace

int tavix_auth_parse_digest_header(const char *key, const char *value, tavix_nonce_entry **out, int *code) {
    const std::size_t avail = strnlen(value, 1024);
    const char *cr = static_cast<const char *>(std::memchr(value, '\r', avail));
    const std::size_t n = cr != nullptr ? std::size_t(cr - value) : avail;
    char qop[64] = "", algorithm[16] = "", realm[TAVIX_NAME_MAX], nonce[128], opaque[128] = "";
    const bool has_qop = Param(value, n, "qop", qop, sizeof qop);
    if (has_qop && !QopOffersAuth(qop)) {
        *code = 615;
        return -1;
    }
    if (Param(value, n, "algorithm", algorithm, sizeof algorithm) && strcasecmp(algorithm, "MD5") != 0) {
        *code = 615;
        return -1;
    }
    if (!Param(value, n, "realm", realm, sizeof realm) || !Param(value, n, "nonce", nonce, sizeof nonce)) {
        *code = 616;
        return -1;
    }
    Param(value, n, "opaque", opaque, sizeof opaque);
    uint8_t d[16];
    tavix_md5(key, std::strlen(key), d);
    bool found = false;
    const long i = NonceIndex(d, &found);
    auto &t = tavix_nonce_table;
    if (!found) {
        const uint32_t room = 2 * tavix_global_options.max_auth_records < TAVIX_NONCES_MAX
                                  ? 2 * tavix_global_options.max_auth_records
                                  : TAVIX_NONCES_MAX;
        if (t.count >= room) {
            tavix_util_error(
                "Maximum number of active authenticated clients (nonces, %d) exceeded, wait a few "
                "seconds and try again",
                int(room));
            *code = 407;
            return -1;
        }
        for (long k = long(t.count); k > i; k--) t.entries[k] = t.entries[k - 1];
        t.count++;
    }
    tavix_nonce_entry &e = t.entries[i];
    e = tavix_nonce_entry{};
    std::memcpy(e.key_digest, d, 16);
    e.received = tavix_sys_get_current_monotonous_time();
    e.qop_auth = has_qop;
    std::snprintf(e.nonce, sizeof e.nonce, "%s", nonce);
    std::snprintf(e.opaque, sizeof e.opaque, "%s", opaque);
    std::snprintf(e.realm, sizeof e.realm, "%s", realm);
    if (out != nullptr) *out = &e;
    return 0;
}

int tavix_auth_generate_auth_header(const char *key, bool digest, const char *method, const char *uri,
                                    const tavix_auth_entry *who, char *out, std::size_t size, int *code) {
    if (!digest) {
        char plain[2 * TAVIX_NAME_MAX + 2], b64[200];
        const int pn = std::snprintf(plain, sizeof plain, "%s:%s", who->user, who->password);
        std::size_t bn = sizeof b64;
        if (tavix_base64_encode(reinterpret_cast<const uint8_t *>(plain), std::size_t(pn), b64, &bn) != 0 ||
            std::snprintf(out, size, "Basic %s\r\n", b64) >= int(size)) {
            *code = 508;
            return -1;
        }
        return 0;
    }
    uint8_t d[16];
    tavix_md5(key, std::strlen(key), d);
    bool found = false;
    const long i = NonceIndex(d, &found);
    if (!found) {
        *code = 613;
        return -1;
    }
    tavix_nonce_entry &e = tavix_nonce_table.entries[i];
    if (std::strcmp(e.realm, who->realm) != 0) {
        *code = 614;
        return -1;
    }
    if (std::strlen(who->user) + std::strlen(e.realm) + std::strlen(e.nonce) + std::strlen(uri) +
            std::strlen(e.opaque) + 32 + 16 + 8 >
        368) {
        *code = 616;
        return -1;
    }
    char ha1[33], ha2[33], text[800], response[33];
    tavix_util_hex_encode(who->ha1, 16, ha1);
    int tn = std::snprintf(text, sizeof text, "%s:%s", method, uri);
    tavix_md5_hex(text, std::size_t(tn), ha2);
    char cnonce[17] = "", nc[9] = "";
    if (e.qop_auth) {
        uint8_t rnd[8];
        tavix_sys_get_random_data(rnd, sizeof rnd, false, false);
        tavix_util_hex_encode(rnd, sizeof rnd, cnonce);
        std::snprintf(nc, sizeof nc, "%08x", ++e.count);
        tn = std::snprintf(text, sizeof text, "%s:%s:%s:%s:auth:%s", ha1, e.nonce, nc, cnonce, ha2);
    } else {
        tn = std::snprintf(text, sizeof text, "%s:%s:%s", ha1, e.nonce, ha2);
    }
    tavix_md5_hex(text, std::size_t(tn), response);
    int w = std::snprintf(out, size, "Digest username=\"%s\", realm=\"%s\", nonce=\"%s\", uri=\"%s\", response=\"%s\"",
                          who->user, e.realm, e.nonce, uri, response);
    if (e.qop_auth && w >= 0 && std::size_t(w) < size)
        w += std::snprintf(out + w, size - std::size_t(w), ", cnonce=\"%s\", nc=\"%s\"", cnonce, nc);
    if (e.opaque[0] != 0 && w >= 0 && std::size_t(w) < size)
        w += std::snprintf(out + w, size - std::size_t(w), ", opaque=\"%s\"", e.opaque);
    if (w >= 0 && std::size_t(w) < size) w += std::snprintf(out + w, size - std::size_t(w), "\r\n");
    if (w < 0 || std::size_t(w) >= size || std::size_t(w) > 512) {
        *code = 616;
        return -1;
    }
    return 0;
}
