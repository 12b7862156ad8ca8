// HTTP register pages on the HTTP server: stepping, authentication choice,
// the read page and the write form, register texts and value formats.
#include "net/httpreg.h"

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/image/bytes.h"
#include "core/image/passwork.h"
#include "ladder/ladder.h"
#include "net/net.h"

std::array<RegToken, 9> RegTokenTable = {{{"I", 8192, 1, 2048},
                                          {"Q", 10240, 1, 2048},
                                          {"T", 0x10008000, 1, 16384},
                                          {"M", 0x1001C000, 1, 16384},
                                          {"S", 1536, 1, 16},
                                          {"AI", 16384, 16, 512},
                                          {"AQ", 24576, 16, 512},
                                          {"R", 32768, 16, 49999},
                                          {nullptr, 0, 0, 0}}};
const std::array<RegFormat, 11> FormatTable = {{{"BOOL", 1, FMT_BOOL},
                                                {"BIN", 16, FMT_BIN},
                                                {"HEX", 16, FMT_HEX},
                                                {"INT", 16, FMT_INT},
                                                {"UINT", 16, FMT_UINT},
                                                {"DINT", 32, FMT_DINT},
                                                {"UDINT", 32, FMT_UDINT},
                                                {"REAL", 32, FMT_REAL},
                                                {"ASCII", 248, FMT_ASCII},
                                                {"IPADR", 32, FMT_IPADR},
                                                {nullptr, 0, 0}}};
std::array<NX_IP *, 2> HttpIpPtr;
NX_PACKET_POOL *HttpPacketPoolPtr;
std::array<NX_HTTP_SERVER, 2> HttpServer;
uint32_t HttpStack;
const char ReadRegName[] = "/readreg.htm";
const char WriteRegName[] = "/writereg.htm";

namespace {

constexpr uint32_t kField = 64;  // a page parameter: at most 63 characters
constexpr uint32_t kPage = 256;  // the page: at most 255 characters
constexpr const char *kRealm = "Controller HTTP Server";

const RegFormat *FindFormat(const char *name) {
    for (const RegFormat &f : FormatTable) {
        if (f.text != nullptr && std::strcmp(f.text, name) == 0) return &f;
    }
    return nullptr;
}

// Up to 7 decimal digits from p: their count in n, the value in v.
const char *Digits(const char *p, uint32_t &n, uint32_t &v) {
    n = v = 0;
    while (n < 7 && *p >= '0' && *p <= '9') {
        v = v * 10 + uint32_t(*p++ - '0');
        n++;
    }
    return p;
}

void Copy(char *dst, const char *src) {
    const std::size_t n = strnlen(src, kField - 1);
    std::memcpy(dst, src, n);
    dst[n] = 0;
}

// Whole-text number conversions; false when characters are left over.
bool Whole(const char *s, const char *end) { return *end == 0 && (end != s || *s == 0); }
bool ToLong(const char *s, int base, long long &v) {
    char *e = nullptr;
    errno = 0;
    v = std::strtoll(s, &e, base);
    return Whole(s, e) && errno == 0;
}
bool ToULong(const char *s, int base, unsigned long long &v) {
    char *e = nullptr;
    errno = 0;
    v = std::strtoull(s, &e, base);
    return Whole(s, e) && errno == 0 && std::strchr(s, '-') == nullptr;
}

struct PageParams {
    char reg[kField], fmt[kField], f3[kField], f4[kField], rfs[kField], size[kField], face[kField], color[kField];
};

// Walks the URL parameters; false unless the walk ends with 230.
bool WalkParams(NX_PACKET *pk, PageParams &pp, bool read) {
    std::memset(&pp, 0, sizeof pp);
    char f1[kField], f2[kField], f3[kField], f4[kField];
    for (uint32_t k = 0;; k++) {
        const uint32_t st = UrlParamGet(pk, k, f1, f2, f3, f4);
        if (st == NX_HTTP_NOT_FOUND) return true;
        if (st != NX_SUCCESS) return false;
        if (std::strcmp(f1, "reg") == 0) {
            Copy(pp.reg, f2);
        } else if (std::strcmp(f1, "fmt") == 0) {
            Copy(pp.fmt, f2);
            Copy(pp.f3, f3);
            Copy(pp.f4, f4);
        } else if (read && std::strcmp(f1, "rfs") == 0) {
            Copy(pp.rfs, f2);
        } else if (read && std::strcmp(f1, "fnt") == 0) {
            Copy(pp.size, f2);
            UrlValueDecode(pp.face, f3);
            UrlValueDecode(pp.color, f4);
        }
    }
}

// Appends text to the page; false when the page would pass 255 characters.
bool Put(char *page, uint32_t &len, const char *text) {
    const std::size_t n = std::strlen(text);
    if (len + n > kPage - 1) return false;
    std::memcpy(page + len, text, n);
    len += uint32_t(n);
    page[len] = 0;
    return true;
}

// The value text of a register read.
bool ValueText(const EtnReq &req, const RegFormat &f, const PageParams &pp, char *out) {
    uint8_t buf[32] = {};
    Dpr_Data_Block(req.reference, req.count, buf, 0, 0);
    const uint32_t v = LE_Get32(buf);
    const uint16_t w = LE_Get16(buf);
    switch (f.index) {
    case FMT_BOOL: {
        const bool on = (buf[0] >> (req.reference % 8)) & 1;
        const char *t = on ? (pp.f3[0] ? pp.f3 : "TRUE") : (pp.f4[0] ? pp.f4 : "FALSE");
        std::snprintf(out, kField, "%s", t);
        return true;
    }
    case FMT_BIN:
        for (int i = 0; i < 16; i++) out[i] = ((w >> (15 - i)) & 1) ? '1' : '0';
        out[16] = 0;
        return true;
    case FMT_HEX: std::snprintf(out, kField, "%04X", unsigned(w)); return true;
    case FMT_INT: std::snprintf(out, kField, "%d", int(int16_t(w))); return true;
    case FMT_UINT: std::snprintf(out, kField, "%u", unsigned(w)); return true;
    case FMT_DINT: std::snprintf(out, kField, "%ld", long(int32_t(v))); return true;
    case FMT_UDINT: std::snprintf(out, kField, "%lu", static_cast<unsigned long>(v)); return true;
    case FMT_REAL: {
        uint32_t bits = v;
        // A denormal shows as 0.
        if ((bits & 0x7F800000u) == 0 && (bits & 0x7FFFFFu) != 0) bits = 0;
        const float fv = std::bit_cast<float>(bits);
        const bool e = std::strcmp(pp.f3, "E") == 0;
        std::snprintf(out, kField, e ? "%E" : "%f", double(fv));
        // A value too wide for the page's field is refused, not cut.
        return std::strlen(out) < kField - 1;
    }
    case FMT_ASCII: {
        const uint32_t n = req.count / 8;
        if (n < 1 || n > 31) return false;
        uint32_t k = 0;
        while (k < n && buf[k] >= 0x20 && buf[k] != 0x7F) {
            out[k] = char(buf[k]);
            k++;
        }
        out[k] = 0;
        return true;
    }
    case FMT_IPADR:
        if (req.count != 32) return false;
        std::snprintf(out, kField, "%u.%u.%u.%u", v >> 24, (v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
        return true;
    default: return false;
    }
}

bool BuildPage(const PageParams &pp, char *page, uint32_t &len) {
    EtnReq req{};
    MakeRegBlock(&req, pp.reg, pp.fmt, pp.f3);
    if ((req.reference == 0 && req.count == 0) || EtnValidateReq(&req) != 0) return false;
    if (Dpr_Add_Req(&req, 0, 0, 0) == 0) return false;
    const RegFormat *f = FindFormat(pp.fmt);
    if (f == nullptr) return false;
    char value[kField];
    if (!ValueText(req, *f, pp, value)) return false;
    len = 0;
    page[0] = 0;
    bool ok = true;
    if (pp.rfs[0]) {
        ok = ok && Put(page, len, "<head><meta http-equiv=\"refresh\" content=\"") && Put(page, len, pp.rfs) &&
             Put(page, len, "\"></head>\r\n\r\n");
    }
    ok = ok && Put(page, len, "<body>");
    const bool font = pp.size[0] || pp.face[0] || pp.color[0];
    if (font) {
        ok = ok && Put(page, len, "<font");
        if (pp.size[0]) ok = ok && Put(page, len, " size=\"") && Put(page, len, pp.size) && Put(page, len, "\"");
        if (pp.face[0]) ok = ok && Put(page, len, " face=\"") && Put(page, len, pp.face) && Put(page, len, "\"");
        if (pp.color[0]) ok = ok && Put(page, len, " color=\"") && Put(page, len, pp.color) && Put(page, len, "\"");
        ok = ok && Put(page, len, ">");
    }
    ok = ok && Put(page, len, value);
    if (font) ok = ok && Put(page, len, "</font>");
    return ok && Put(page, len, "</body>\r\n");
}

uint32_t ReadPage(NX_HTTP_SERVER *sv, NX_PACKET *pk) {
    PageParams pp;
    if (!WalkParams(pk, pp, true)) return NX_HTTP_ERROR;
    char page[kPage];
    uint32_t len = 0;
    if (!BuildPage(pp, page, len)) return NX_HTTP_ERROR;
    NX_PACKET_POOL *pool = sv->nx_http_server_packet_pool_ptr;
    NX_PACKET *out = nullptr;
    if (_nx_packet_allocate(pool, &out, 0, 0) != NX_SUCCESS) {
        sv->nx_http_server_allocation_errors++;
        return NX_HTTP_ERROR;
    }
    char head[96];
    const int hn = std::snprintf(
        head, sizeof head, "HTTP/1.0 200 \r\nContent-Length: %u\r\nContent-Type: text/html\r\n\r\n", unsigned(len));
    _nx_packet_data_append(out, head, uint32_t(hn), pool, 0);
    // The page rides in the header's packet when it fits, else in further packets.
    uint32_t sent = 0;
    const uint32_t room = uint32_t(out->nx_packet_data_end - out->nx_packet_append_ptr);
    const uint32_t first = len < room ? len : room;
    _nx_packet_data_append(out, page, first, pool, 0);
    sent = first;
    const uint32_t total = out->nx_packet_length;
    if (_nx_tcp_socket_send(&sv->nx_http_server_socket, out, 5000) == NX_SUCCESS)
        sv->nx_http_server_total_bytes_sent += total;
    while (sent < len) {
        NX_PACKET *more = nullptr;
        if (_nx_packet_allocate(pool, &more, 0, 0) != NX_SUCCESS) {
            sv->nx_http_server_allocation_errors++;
            break;
        }
        uint32_t n = uint32_t(more->nx_packet_data_end - more->nx_packet_append_ptr);
        if (n > len - sent) n = len - sent;
        _nx_packet_data_append(more, page + sent, n, pool, 0);
        if (_nx_tcp_socket_send(&sv->nx_http_server_socket, more, 5000) != NX_SUCCESS) break;
        sv->nx_http_server_total_bytes_sent += n;
        sent += n;
    }
    return NX_HTTP_CALLBACK_COMPLETED;
}

// Converts a form value by format into buf (little-endian register bytes);
// bits receives the request length for ASCII. False when refused.
bool ValueBytes(const RegFormat &f, const PageParams &pp, const char *text, uint8_t *buf, uint32_t &ascii_bits) {
    long long sv = 0;
    unsigned long long uv = 0;
    switch (f.index) {
    case FMT_BOOL:
        if (std::strcmp(text, pp.f3) == 0 || std::strcmp(text, "TRUE") == 0)
            buf[0] = 0xFF;
        else if (std::strcmp(text, pp.f4) == 0 || std::strcmp(text, "FALSE") == 0)
            buf[0] = 0;
        else
            return false;
        return true;
    case FMT_BIN:
    case FMT_HEX:
    case FMT_UINT:
        if (!ToULong(text, f.index == FMT_BIN ? 2 : f.index == FMT_HEX ? 16 : 10, uv) || uv >= 65536) return false;
        LE_Put16(buf, uint16_t(uv));
        return true;
    case FMT_INT:
        if (!ToLong(text, 10, sv)) return false;
        LE_Put16(buf, uint16_t(sv));
        return true;
    case FMT_DINT:
        if (!ToLong(text, 10, sv)) return false;
        LE_Put32(buf, uint32_t(sv));
        return true;
    case FMT_UDINT:
        if (!ToULong(text, 10, uv)) return false;
        LE_Put32(buf, uint32_t(uv));
        return true;
    case FMT_REAL: {
        char *e = nullptr;
        const float fv = std::strtof(text, &e);
        if (!Whole(text, e)) return false;
        LE_Put32(buf, std::bit_cast<uint32_t>(fv));
        return true;
    }
    case FMT_ASCII: {
        uint32_t nd = 0, n = 0;
        const char *p = pp.f3;
        while (nd < 4 && *p >= '0' && *p <= '9') {
            n = n * 10 + uint32_t(*p++ - '0');
            nd++;
        }
        if (nd == 0 || n < 1 || n > 31) n = 31;
        const std::size_t tl = std::strlen(text);
        for (uint32_t i = 0; i < n; i++) buf[i] = i < tl ? uint8_t(text[i]) : uint8_t(' ');
        ascii_bits = 8 * n;
        return true;
    }
    case FMT_IPADR: {
        unsigned a[4];
        char tail;
        if (std::sscanf(text, "%3u.%3u.%3u.%3u%c", &a[0], &a[1], &a[2], &a[3], &tail) != 4) return false;
        for (unsigned x : a) {
            if (x > 255) return false;
        }
        for (const char *c = text; *c; c++) {
            if (!((*c >= '0' && *c <= '9') || *c == '.')) return false;
        }
        LE_Put32(buf, (a[0] << 24) | (a[1] << 16) | (a[2] << 8) | a[3]);
        return true;
    }
    default: return false;
    }
}

uint32_t WritePage(NX_HTTP_SERVER *sv, NX_PACKET *pk) {
    char body[256];
    uint32_t got = 0;
    if (_nx_http_server_content_get(sv, pk, 0, body, 255, &got) != NX_SUCCESS) return NX_HTTP_ERROR;
    body[got] = 0;
    const char *v = std::strstr(body, "reg=");
    if (v != nullptr)
        v += 4;
    else if ((v = std::strstr(body, "value=")) != nullptr)
        v += 6;
    else
        return NX_HTTP_ERROR;
    char text[kField];
    UrlValueDecode(text, v);
    PageParams pp;
    if (!WalkParams(pk, pp, false)) return NX_HTTP_ERROR;
    const RegFormat *f = FindFormat(pp.fmt);
    if (f == nullptr) return NX_HTTP_ERROR;
    uint8_t buf[32] = {};
    uint32_t ascii_bits = 0;
    if (!ValueBytes(*f, pp, text, buf, ascii_bits)) return NX_HTTP_ERROR;
    EtnReq req{};
    MakeRegBlock(&req, pp.reg, pp.fmt, pp.f3);
    if (EtnValidateReq(&req) != 0) return NX_HTTP_ERROR;
    if (f->index == FMT_ASCII && req.count != 0) req.count = ascii_bits;
    if ((req.reference == 0 && req.count == 0) || EtnValidateReq(&req) != 0) return NX_HTTP_ERROR;
    Dpr_Data_Block(req.reference, req.count, buf, 1, 0);
    if (Dpr_Add_Req(&req, 1, 0, 0) == 0) return NX_HTTP_ERROR;
    static constexpr char kNoContent[] = "HTTP/1.0 204 \r\n\r\n";
    if (_nx_http_server_callback_data_send(sv, kNoContent, sizeof kNoContent - 1) != NX_SUCCESS) return NX_HTTP_ERROR;
    return NX_HTTP_CALLBACK_COMPLETED;
}

}  // namespace

uint32_t HttpRegPage(const char *reg, const char *fmt, const char *f3, const char *f4, const char *refresh,
                     const char *size, const char *face, const char *color, char *page, uint32_t &page_len) {
    PageParams pp{};
    Copy(pp.reg, reg);
    Copy(pp.fmt, fmt);
    Copy(pp.f3, f3);
    Copy(pp.f4, f4);
    Copy(pp.rfs, refresh);
    Copy(pp.size, size);
    Copy(pp.face, face);
    Copy(pp.color, color);
    return BuildPage(pp, page, page_len) ? uint32_t(NX_SUCCESS) : uint32_t(NX_HTTP_ERROR);
}

void MakeRegBlock(EtnReq *out, const char *reg, const char *format, const char *length) {
    *out = {0, 0};
    char type[8];
    uint32_t t = 0;
    while (t < 7 && reg[t] >= 'A' && reg[t] <= 'Z') {
        type[t] = reg[t];
        t++;
    }
    type[t] = 0;
    if (t == 0) return;
    const RegToken *tok = nullptr;
    for (const RegToken &r : RegTokenTable) {
        if (r.text != nullptr && std::strcmp(r.text, type) == 0) tok = &r;
    }
    if (tok == nullptr) return;
    uint32_t nd = 0, number = 0;
    const char *p = Digits(reg + t, nd, number);
    // A number past the type's registers is refused as it stands.
    if (nd == 0 || number < 1 || number > tok->count) return;
    uint32_t offset = number - 1;
    if (tok->bits == 16) offset *= 16;
    uint32_t bit_offset = 0;
    if (*p == '.') {
        uint32_t bd = 0, b = 0;
        p = Digits(p + 1, bd, b);
        if (bd == 0 || *p != 0 || tok->bits == 1 || b < 1 || b > tok->bits) return;
        bit_offset = b - 1;
    } else if (*p != 0) {
        return;
    }
    uint32_t bits = 16;
    if (format[0] != 0) {
        const RegFormat *f = FindFormat(format);
        if (f == nullptr) return;
        bits = f->bits;
        if (f->index == FMT_ASCII) {
            uint32_t ld = 0, n = 0;
            Digits(length, ld, n);
            if (ld == 0) n = 31;
            if (n < 1 || n > 31) return;
            bits = 8 * n;
        }
    }
    if (bits != 1 && ((offset + bit_offset) % 16 != 0 || bits % 8 != 0)) return;
    *out = {tok->base + offset + bit_offset, bits};
}

uint32_t UrlParamGet(NX_PACKET *pk, uint32_t k, char *f1, char *f2, char *f3, char *f4) {
    f1[0] = f2[0] = f3[0] = f4[0] = 0;
    char param[kField];
    const uint32_t st = _nx_http_server_param_get(pk, k, param, kField);
    if (st != NX_SUCCESS) return st;
    char *dash = std::strchr(param, '-');
    if (dash == nullptr) return NX_HTTP_DATA_END;
    *dash = 0;
    Copy(f1, param);
    char *rest = dash + 1;
    char *d2 = std::strchr(rest, '-');
    if (d2) *d2 = 0;
    Copy(f2, rest);
    if (!d2) return NX_SUCCESS;
    rest = d2 + 1;
    char *d3 = std::strchr(rest, '-');
    if (d3) *d3 = 0;
    Copy(f3, rest);
    if (d3) Copy(f4, d3 + 1);
    return NX_SUCCESS;
}

void UrlValueDecode(char *out, const char *form) {
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    uint32_t n = 0;
    for (const char *p = form; *p && *p != '&' && n < kField - 1; p++) {
        char c = *p;
        if (c == '+') {
            c = ' ';
        } else if (c == '%' && hex(p[1]) >= 0 && hex(p[2]) >= 0) {
            c = char(hex(p[1]) * 16 + hex(p[2]));
            p += 2;
            if (c == 0) break;
        } else if (static_cast<unsigned char>(c) < 32 || static_cast<unsigned char>(c) > 126) {
            c = ' ';
        }
        out[n++] = c;
    }
    while (n > 0 && out[n - 1] == ' ') n--;
    out[n] = 0;
}

uint32_t Http_Init(NX_IP *ip, NX_PACKET_POOL *pool) {
    HttpPacketPoolPtr = pool;
    if (ip != nullptr) HttpIpPtr[ip->nx_ip_interface & 1] = ip;
    return 0;
}

void Http_Scan(uint32_t iface) {
    if (iface > 1) return;
    NX_HTTP_SERVER &sv = HttpServer[iface];
    if ((Dpr_Configuration[iface].enables[0] & EN0_HTTP) && TavixHttp == 0) {
        if (RegTokLen_16b) {
            RegTokenTable[2].base = 12288;
            RegTokenTable[2].count = 2048;
            RegTokenTable[3].base = 14336;
            RegTokenTable[3].count = 2048;
        }
        if (sv.nx_http_server_id == NX_HTTP_SERVER_ID) {
            _nx_http_server_thread_entry(&sv);
        } else if (_nxe_http_server_create(&sv, kRealm, HttpIpPtr[iface], &Cf_Media, &HttpStack, 4, HttpPacketPoolPtr,
                                           Http_AuthenticationCheck, Http_RequestNotify) == NX_SUCCESS) {
            if (_nxe_http_server_start(&sv) != NX_SUCCESS) _nx_http_server_delete(&sv);
        }
    } else if (sv.nx_http_server_id == NX_HTTP_SERVER_ID) {
        _nx_http_server_delete(&sv);
    }
}

uint32_t Http_Due(uint32_t iface, uint32_t now) {
    if (iface > 1 || !(Dpr_Configuration[iface].enables[0] & EN0_HTTP) || TavixHttp != 0) return now + PASS_IDLE_MS;
    return now;
}

uint32_t Http_ConnCnt(uint32_t iface) {
    if (iface > 1) return 0;
    const NX_HTTP_SERVER &sv = HttpServer[iface];
    if (sv.nx_http_server_id != NX_HTTP_SERVER_ID) return 0;
    // The connection in hand, or one held until its request is whole.
    if (sv.nx_http_server_socket.state == NX_TCP_ESTABLISHED) return 1;
    for (const NxHttpWaiting &w : sv.nx_http_server_waiting) {
        if (w.socket.state == NX_TCP_ESTABLISHED) return 1;
    }
    return 0;
}

void Http_DeInit(NX_IP *ip) {
    if (ip == nullptr || ip->nx_ip_interface == 0) return;
    NX_HTTP_SERVER &sv = HttpServer[ip->nx_ip_interface & 1];
    if (sv.nx_http_server_id == NX_HTTP_SERVER_ID) _nx_http_server_delete(&sv);
}

uint32_t Http_AuthenticationCheck(NX_HTTP_SERVER *server, uint32_t type, char *resource, char **name, char **password,
                                  char **realm) {
    const uint32_t n = server->nx_http_server_ip_ptr ? server->nx_http_server_ip_ptr->nx_ip_interface & 1 : 0;
    DprHttpAccount &acc = Dpr_Configuration[n].http;
    *name = acc.user;
    *password = acc.password;
    *realm = const_cast<char *>(kRealm);
    if ((type == NX_HTTP_SERVER_GET_REQUEST && std::strcmp(resource, ReadRegName) == 0) ||
        (type == NX_HTTP_SERVER_POST_REQUEST && std::strcmp(resource, WriteRegName) == 0))
        return NX_HTTP_DONT_AUTHENTICATE;
    return acc.user[0] != 0 ? uint32_t(NX_HTTP_DIGEST_AUTHENTICATE) : uint32_t(NX_HTTP_DONT_AUTHENTICATE);
}

uint32_t Http_RequestNotify(NX_HTTP_SERVER *server, uint32_t type, char *resource, NX_PACKET *packet) {
    if (type == NX_HTTP_SERVER_GET_REQUEST && std::strcmp(resource, ReadRegName) == 0) return ReadPage(server, packet);
    if (type == NX_HTTP_SERVER_POST_REQUEST && std::strcmp(resource, WriteRegName) == 0)
        return WritePage(server, packet);
    return NX_SUCCESS;
}
