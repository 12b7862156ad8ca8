// POST path of the web server.
#include "tavIXsdk/tavixsdk/tavix_post.h"
#include "tavIXsdk/tavixsdk/tavix_remote.h"

#include <cstdio>
#include <cstring>

#include "tavIXsdk/tavixsdk/tavix_auth.h"
#include "tavIXsdk/tavixsdk/tavix_engine.h"
#include "tavIXsdk/tavixsdk/tavix_json.h"
#include "tavIXsdk/tavixsdk/tavix_methods.h"
#include "tavIXsdk/tavixsdk/tavix_util.h"

// Sorted by name for the bisection search.
const tavix_post_method post_method_types[TAVIX_M_COUNT - 1] = {
    {"acceptalarm", TAVIX_M_ACCEPTALARM, 1, true},
    {"changepassword", TAVIX_M_CHANGEPASSWORD, 1, true},
    {"createsession", TAVIX_M_CREATESESSION, 1, false},
    {"createsubscription", TAVIX_M_CREATESUBSCRIPTION, 1, true},
    {"deletesession", TAVIX_M_DELETESESSION, 1, true},
    {"deletesubscription", TAVIX_M_DELETESUBSCRIPTION, 1, true},
    {"info", TAVIX_M_INFO, 0, false},
    {"listprocessimage", TAVIX_M_LISTPROCESSIMAGE, 0, true},
    {"login", TAVIX_M_LOGIN, 1, true},
    {"logout", TAVIX_M_LOGOUT, 1, true},
    {"publish", TAVIX_M_PUBLISH, 1, true},
    {"queryfilter", TAVIX_M_QUERYFILTER, 2, true},
    {"read", TAVIX_M_READ, 0, true},
    {"readhistory", TAVIX_M_READHISTORY, 2, true},
    {"readprocessimage", TAVIX_M_READPROCESSIMAGE, 0, true},
    {"subscribealarm", TAVIX_M_SUBSCRIBEALARM, 1, true},
    {"subscribedata", TAVIX_M_SUBSCRIBEDATA, 1, true},
    {"subscribefilter", TAVIX_M_SUBSCRIBEFILTER, 2, true},
    {"unsubscribealarm", TAVIX_M_UNSUBSCRIBEALARM, 1, true},
    {"unsubscribedata", TAVIX_M_UNSUBSCRIBEDATA, 1, true},
    {"unsubscribefilter", TAVIX_M_UNSUBSCRIBEFILTER, 2, true},
    {"write", TAVIX_M_WRITE, 0, true},
};

tavix_post_handler tavix_post_handlers[TAVIX_M_COUNT];

namespace {

constexpr int32_t kApplicationCodes = 10000;  // codes the application owns
constexpr uint32_t kLanguages = 16;           // texts of one code at most

void Put24(uint8_t *p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
}

const tavix_post_method *Row(tavix_method m) {
    for (const tavix_post_method &r : post_method_types)
        if (r.number == m) return &r;
    return nullptr;
}

}  // namespace

long tavix_util_write_errstrings(char *dst, std::size_t room, int32_t code) {
    const auto &cb = tavix_method_callbacks;
    const char *text = nullptr;
    if (code >= kApplicationCodes) {
        tavix_localized pairs[kLanguages + 1] = {};
        const uint32_t n = cb.error_text_ex != nullptr ? cb.error_text_ex(code, pairs, kLanguages) : 0;
        if (n > 0) {
            pairs[n < kLanguages ? n : kLanguages] = {nullptr, nullptr};
            // Every pair names its language: always an object.
            for (uint32_t i = 0; i < n && i < kLanguages; i++)
                if (pairs[i].language == nullptr) pairs[i].language = "";
            return tavix_json_put_localized_strings(dst, room, pairs);
        }
        if (cb.error_text != nullptr) text = cb.error_text(code);
        // Without the application's texts its codes have none; the table
        // still names the codes the server itself gives.
        if (text == nullptr && tavix_get_error_strings(code, &text, nullptr) != 0)
            tavix_get_error_strings(506, &text, nullptr);
    } else {
        tavix_get_error_strings(code, &text, nullptr);
    }
    return tavix_json_put_string(dst, room, text, -1);
}

long tavix_util_write_error_members(char *dst, std::size_t room, int32_t code) {
    char head[32];
    const int hn = std::snprintf(head, sizeof head, "\"error\":%d", int(code));
    long need = hn;
    if (code != 0) need += 15 + tavix_util_write_errstrings(nullptr, 0, code);
    if (dst == nullptr) return need;
    if (std::size_t(need) > room) return need;
    std::memcpy(dst, head, std::size_t(hn));
    if (code == 0) return hn;
    std::memcpy(dst + hn, ",\"errorstring\":", 15);
    return hn + 15 + tavix_util_write_errstrings(dst + hn + 15, room - std::size_t(hn) - 15, code);
}

int tavix_json_put_error_strings(tavix_buffer *body, int code) {
    const long need = tavix_util_write_error_members(nullptr, 0, code);
    if (tavix_buffer_create_grow(&body, TAVIX_BUF_DATA, uint32_t(need), tavix_global_options.buffer_limit) != 0)
        return 1;
    body->length += uint32_t(tavix_util_write_error_members(reinterpret_cast<char *>(body->data) + body->length,
                                                            body->capacity - body->length, code));
    return 0;
}

tavix_buffer *tavix_engine_construct_json_error_response(int code) {
    tavix_buffer *body = tavix_buffer_get(TAVIX_BUF_DATA, 128, tavix_global_options.buffer_limit, false);
    if (body == nullptr) return nullptr;
    if (tavix_buffer_put_data(body, "{", 1) != 0 || tavix_json_put_error_strings(body, code) != 0 ||
        tavix_buffer_put_data(body, "}", 1) != 0) {
        tavix_buffer_return(body);
        return nullptr;
    }
    return tavix_engine_construct_json_response(body);
}

int tavix_engine_get_session(const char *value, uint32_t length, tavix_session **out, int *index, int *remote_index,
                             tavix_remote_session **remote) {
    *out = nullptr;
    *remote_index = -1;
    *remote = nullptr;
    if (value == nullptr || tavix_global_options.level == 0) return 0;
    // The value ends with CR LF within its first 256 bytes; a longer one
    // keeps no line end and stays malformed. Always NUL-terminated.
    char text[259];
    const uint32_t n = length < 256 ? length : 256;
    std::memcpy(text, value, n);
    if (length < 256)
        std::memcpy(text + n, "\r\n", 3);
    else
        text[n] = 0;
    return tavix_engine_session_verify_header(text, out, index, remote_index, remote);
}

tavix_buffer *tavix_engine_construct_json_on_error_response(int code) {
    if (code != 0) return tavix_engine_construct_json_error_response(code);
    tavix_buffer *body = tavix_buffer_get(TAVIX_BUF_DATA, 128, tavix_global_options.buffer_limit, false);
    if (body == nullptr) return nullptr;
    if (tavix_buffer_put_data(body, "{}", 2) != 0) {
        tavix_buffer_return(body);
        return nullptr;
    }
    return tavix_engine_construct_json_response(body);
}

tavix_method tavix_engine_get_post_request_method(const char *name, std::size_t length) {
    int lo = 0, hi = int(TAVIX_M_COUNT) - 1;
    while (lo < hi) {
        const int mid = (lo + hi) / 2;
        const tavix_post_method &r = post_method_types[mid];
        const std::size_t rl = std::strlen(r.name);
        // Compared over the longer of the two: only an exact name matches.
        int c = std::strncmp(r.name, name, rl < length ? rl : length);
        if (c == 0 && rl != length) c = rl < length ? -1 : 1;
        if (c == 0) return r.method_class > tavix_global_options.level ? TAVIX_M_NONE : r.number;
        if (c < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    return TAVIX_M_NONE;
}

int tavix_engine_parse_form(tavix_buffer *r, uint32_t body_start) {
    if (body_start > r->length) return -1;
    // A NUL behind the data ends the last value.
    const uint8_t nul = 0;
    if (tavix_buffer_put_data(r, &nul, 1) != 0) return -1;
    const uint32_t end = r->length - 1;
    char *d = reinterpret_cast<char *>(r->data);
    struct Entry {
        uint32_t name, value, length;
    };
    // Entries are gathered behind the data once the scan is done; at most one per '='.
    uint32_t count = 0;
    for (uint32_t p = body_start; p < end; p++)
        if (d[p] == '=') count++;
    const uint32_t dict = (r->length + 3) & ~3u;
    if (tavix_buffer_grow(r, dict + 12 * (count + 1)) != 0) return -1;
    d = reinterpret_cast<char *>(r->data);
    uint32_t n = 0;
    for (uint32_t p = body_start; p < end && n < count;) {
        const char *eq = static_cast<const char *>(std::memchr(d + p, '=', end - p));
        if (eq == nullptr) break;
        const uint32_t name_end = uint32_t(eq - d);
        const char *amp = static_cast<const char *>(std::memchr(eq + 1, '&', end - name_end - 1));
        const uint32_t value_end = amp != nullptr ? uint32_t(amp - d) : end;
        const std::size_t nl = tavix_util_url_decode(d + p, name_end - p, d + p, name_end - p, true, false);
        d[p + nl] = 0;
        const uint32_t v = name_end + 1;
        const std::size_t vl = tavix_util_url_decode(d + v, value_end - v, d + v, value_end - v, true, false);
        d[v + vl] = 0;
        uint8_t *e = r->data + dict + 12 * n++;
        Put24(e, p);
        Put24(e + 3, v);
        Put24(e + 6, uint32_t(vl));
        Put24(e + 9, 0);
        p = value_end + 1;
    }
    std::memset(r->data + dict + 12 * n, 0, 12);
    r->dict_pos = dict;
    r->length = dict + 12 * (n + 1);
    return 0;
}

tavix_buffer *tavix_engine_handle_post_request(tavix_connection *c, const char *url, tavix_buffer *request) {
    tavix_buffer *response = nullptr;
    if (tavix_engine_handle_request_header(c, "POST", url, request, &response) == 0) {
        tavix_buffer_return(request);
        return response;
    }
    const char *prefix = tavix_global_options.prefix != nullptr ? tavix_global_options.prefix : "/tavIX/";
    const std::size_t pl = std::strlen(prefix);
    if (std::strncmp(url, prefix, pl) != 0 || url[pl] != '?') {
        tavix_buffer_return(request);
        return tavix_engine_not_available_err(url, 404, "Not found", false, false);
    }
    // The header value is found again by its place once the form is parsed
    // (parsing may move the request's bytes).
    uint32_t xl = 0;
    const char *x = tavix_engine_header_field(request, "X-TavIX: ", &xl);
    const std::size_t x_at = x != nullptr ? std::size_t(x - reinterpret_cast<const char *>(request->data)) : 0;
    const long head_end =
        tavix_util_strnstr(reinterpret_cast<const char *>(request->data), request->length, "\r\n\r\n", 4);
    if (tavix_engine_parse_form(request, head_end < 0 ? request->length : uint32_t(head_end) + 4) != 0) {
        tavix_buffer_return(request);
        return nullptr;
    }
    const char *name = url + pl + 1;
    const tavix_method m = tavix_engine_get_post_request_method(name, std::strlen(name));
    tavix_session *session = nullptr;
    int index = 0, remote_index = -1;
    tavix_remote_session *remote = nullptr;
    if (x != nullptr) x = reinterpret_cast<const char *>(request->data) + x_at;
    if (const int code = tavix_engine_get_session(x, xl, &session, &index, &remote_index, &remote)) {
        tavix_buffer_return(request);
        return tavix_engine_construct_json_error_response(code);
    }
    if (session != nullptr) {
        c->session = session;
        if (remote_index >= 0) {
            // For a remote server: rewritten and forwarded; its answer comes later.
            response = tavix_comm_remote_server_handle_mangle_remote_request(session, remote_index, remote, c, request);
            tavix_buffer_return(request);
            return response;
        }
    }
    bool keep = false;
    if (tavix_engine_hooks.request != nullptr &&
        tavix_engine_hooks.request("POST", url, c, request, &response, &keep, tavix_auth_current.user)) {
        if (!keep) tavix_buffer_return(request);
        return response;
    }
    const tavix_post_method *row = Row(m);
    if (row == nullptr) {
        tavix_buffer_return(request);
        return tavix_engine_construct_json_error_response(300);
    }
    if (row->needs_session && session == nullptr) {
        tavix_buffer_return(request);
        return tavix_engine_construct_json_error_response(454);
    }
    if (tavix_post_handlers[m] == nullptr) {
        tavix_buffer_return(request);
        return tavix_engine_construct_json_error_response(501);
    }
    keep = false;
    response = tavix_post_handlers[m](c, session, request, &keep);
    // The page's activity: its writes and item subscriptions, and with an
    // HTTP login its new frames (the handler records the login).
    const bool http_login = tavix_global_options.auth_method == 1 || tavix_global_options.auth_method == 2;
    if (session != nullptr &&
        (m == TAVIX_M_SUBSCRIBEDATA || m == TAVIX_M_WRITE || (m == TAVIX_M_CREATESUBSCRIPTION && http_login))) {
        session->last_activity =
            tavix_engine_hooks.utc_now != nullptr ? tavix_engine_hooks.utc_now() : uint32_t(time(nullptr));
    }
    if (!keep) tavix_buffer_return(request);
    return response;
}
