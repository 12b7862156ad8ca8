// Remote servers: forwarding of a page's requests, remote sessions, and the
// remote server's HTTP login handshake.
#include "tavIXsdk/tavixsdk/tavix_remote.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tavIXsdk/tavixsdk/tavix_auth.h"
#include "tavIXsdk/tavixsdk/tavix_engine.h"
#include "tavIXsdk/tavixsdk/tavix_json.h"
#include "tavIXsdk/tavixsdk/tavix_post.h"
#include "tavIXsdk/tavixsdk/tavix_raw.h"
#include "tavIXsdk/tavixsdk/tavix_util.h"

tavix_remote_table_t tavix_remote_table;

namespace {

auto &T = tavix_remote_table;

constexpr uint32_t kResolveRetry = 30;     // server time units between failed resolutions
constexpr uint64_t kSessionTimeout = 120;  // remote sessions unused this long are expired
constexpr uint32_t kAuthMax = 512;

uint64_t Now() { return tavix_sys_get_current_monotonous_time(); }

tavix_remote_server *Server(int index) { return index >= 0 && uint32_t(index) < T.count ? T.servers[index] : nullptr; }

void Copy(char *dst, std::size_t room, const char *src, std::size_t n) {
    if (n >= room) n = room - 1;
    std::memcpy(dst, src, n);
    dst[n] = 0;
}

bool Alive(tavix_connection *c, uint32_t id) { return c != nullptr && c->in_use && c->id == id; }

bool Put(tavix_buffer *b, const char *text, std::size_t n) { return tavix_buffer_put_data(b, text, uint32_t(n)) == 0; }
bool Put(tavix_buffer *b, const char *text) { return Put(b, text, std::strlen(text)); }

// The page's answer: a JSON error response, or the bytes given.
void ToPage(tavix_remote_link *l, tavix_buffer *response) {
    if (response == nullptr) return;
    if (Alive(l->client, l->client_id))
        tavix_comm_send(l->client, response);
    else
        tavix_buffer_return(response);
}

void ErrorToPage(tavix_remote_link *l, int code) { ToPage(l, tavix_engine_construct_json_error_response(code)); }

void ReleaseRequest(tavix_remote_link *l) {
    tavix_buffer *b = l->request;
    l->request = nullptr;
    if (b == nullptr) return;
    // Still in a send chain: the connection returns it when it is done.
    if (b->queued)
        b->held = 0;
    else
        tavix_buffer_return(b);
}

// Lets go of the server connection (closed without telling anyone) and the link.
void FreeLink(tavix_remote_link *l) {
    if (Alive(l->conn, l->conn_id)) {
        l->conn->remote_index = -1;
        l->conn->drop = 1;
    }
    ReleaseRequest(l);
    *l = tavix_remote_link{};
}

tavix_remote_link *LinkOfServerConnection(const tavix_connection *c) {
    for (tavix_remote_link &l : T.links)
        if (l.in_use && l.conn == c && l.conn_id == c->id) return &l;
    return nullptr;
}

tavix_remote_session *NewSession(int server, const char *master, const char *id, std::size_t id_len, const char *key) {
    for (tavix_remote_session &s : T.sessions) {
        if (s.in_use) continue;
        s = tavix_remote_session{};
        s.in_use = 1;
        s.server = server;
        Copy(s.id, sizeof s.id, id, id_len);
        Copy(s.key, sizeof s.key, key, std::strlen(key));
        Copy(s.master, sizeof s.master, master, std::strlen(master));
        s.counter = 1;
        s.last_use = Now();
        return &s;
    }
    return nullptr;
}

// A case-insensitive header field of an HTTP message head: its value, or null.
const char *Field(const char *head, uint32_t n, const char *name, uint32_t *length) {
    const std::size_t nl = std::strlen(name);
    for (uint32_t at = 0; at < n;) {
        const long eol = tavix_util_strnstr(head + at, n - at, "\r\n", 2);
        const uint32_t line = eol < 0 ? n - at : uint32_t(eol);
        if (line == 0) break;
        if (line >= nl && strncasecmp(head + at, name, nl) == 0) {
            *length = line - uint32_t(nl);
            return head + at + nl;
        }
        at += line + 2;
    }
    return nullptr;
}

// Top-level members of a JSON object: each member's name and, for strings,
// numbers and literals, its text (strings without their quotes).
template <typename Fn>
bool Members(const char *text, Fn fn) {
    int kind = 0;
    const char *p = text;
    p += tavix_util_json_decode_next_token(p, &kind);
    if (kind != TAVIX_TOK_OBJ_OPEN) return false;
    for (;;) {
        p += tavix_util_json_decode_next_token(p, &kind);
        if (kind == TAVIX_TOK_OBJ_CLOSE) return true;
        if (kind == TAVIX_TOK_COMMA) continue;
        if (kind != TAVIX_TOK_STRING) return false;
        char name[32];
        std::size_t nl = 0;
        const int used = tavix_util_json_decode_string(p, name, sizeof name, &nl);
        if (used < 0) return false;
        p += used;
        p += tavix_util_json_decode_next_token(p, &kind);
        if (kind != TAVIX_TOK_COLON) return false;
        const int step = tavix_util_json_decode_next_token(p, &kind);
        char value[1100] = {};
        if (kind == TAVIX_TOK_STRING) {
            std::size_t vl = 0;
            const int u = tavix_util_json_decode_string(p + step, value, sizeof value - 1, &vl);
            if (u < 0) return false;
            p += step + u;
        } else if (kind == TAVIX_TOK_NUMBER) {
            int64_t i = 0;
            double d = 0;
            bool real = false;
            const int u = tavix_util_json_decode_number(p + step, &i, &d, &real);
            if (u <= 0) return false;
            Copy(value, sizeof value, p + step, std::size_t(u));
            p += step + u;
        } else if (kind == TAVIX_TOK_TRUE || kind == TAVIX_TOK_FALSE || kind == TAVIX_TOK_NULL) {
            Copy(value, sizeof value, kind == TAVIX_TOK_TRUE ? "true" : kind == TAVIX_TOK_FALSE ? "false" : "null", 5);
            p += step;
        } else if (kind == TAVIX_TOK_OBJ_OPEN) {
            const int u = tavix_util_json_eat_object(p + step - 1);
            if (u < 0) return false;
            p += step - 1 + u;
        } else if (kind == TAVIX_TOK_ARR_OPEN) {
            // Arrays of plain values (the feature list): skipped to their end.
            p += step;
            for (int depth = 1; depth > 0;) {
                p += tavix_util_json_decode_next_token(p, &kind);
                if (kind == TAVIX_TOK_END || kind == TAVIX_TOK_OTHER) return false;
                if (kind == TAVIX_TOK_ARR_OPEN)
                    depth++;
                else if (kind == TAVIX_TOK_ARR_CLOSE)
                    depth--;
                else if (kind == TAVIX_TOK_STRING) {
                    std::size_t vl = 0;
                    const int u = tavix_util_json_decode_string(p, value, sizeof value - 1, &vl);
                    if (u < 0) return false;
                    p += u;
                } else if (kind == TAVIX_TOK_NUMBER) {
                    int64_t i = 0;
                    double d = 0;
                    bool real = false;
                    const int u = tavix_util_json_decode_number(p, &i, &d, &real);
                    if (u <= 0) return false;
                    p += u;
                }
            }
        } else {
            return false;
        }
        fn(name, value);
    }
}

// The "info" answer's members; false when one of them is missing (an "info"
// answer always has all seven) or the key is unusable.
bool TakeInfo(tavix_remote_server *s, const char *body) {
    uint8_t n[TAVIX_REMOTE_MODULUS_MAX], e[16];
    std::size_t nl = 0, el = 0;
    bool bad = false;
    s->security = 0;
    static const char *const kExpected[] = {"certificationlevel", "loginmethod", "longpollsupport",
                                            "securitysupport",    "maxtimeout",  "encryptionmodulus",
                                            "encryptionexponent"};
    uint32_t seen = 0;
    const bool ok = Members(body, [&](const char *name, const char *value) {
        for (uint32_t i = 0; i < sizeof kExpected / sizeof kExpected[0]; i++)
            if (std::strcmp(name, kExpected[i]) == 0) seen |= 1u << i;
        if (std::strcmp(name, "certificationlevel") == 0) {
            static const char *const kLevels[] = {"basic", "advanced", "scada", "multipoint"};
            for (uint32_t i = 0; i < 4; i++)
                if (std::strcmp(value, kLevels[i]) == 0) s->level = i;
        } else if (std::strcmp(name, "loginmethod") == 0) {
            s->login_form = std::strcmp(value, "form") == 0 ? 1 : 0;
        } else if (std::strcmp(name, "longpollsupport") == 0) {
            s->long_poll = std::strcmp(value, "true") == 0 ? 1 : 0;
        } else if (std::strcmp(name, "securitysupport") == 0) {
            s->security = std::strcmp(value, "true") == 0 ? 1 : 0;
        } else if (std::strcmp(name, "maxtimeout") == 0) {
            s->max_timeout = uint32_t(std::strtoul(value, nullptr, 10));
        } else if (std::strcmp(name, "encryptionmodulus") == 0) {
            const std::size_t len = std::strlen(value);
            if (len > 2 * sizeof n || tavix_util_hex_decode(value, long(len), n, sizeof n, &nl) != 0) bad = true;
        } else if (std::strcmp(name, "encryptionexponent") == 0) {
            const std::size_t len = std::strlen(value);
            if (len > 2 * sizeof e || tavix_util_hex_decode(value, long(len), e, sizeof e, &el) != 0) bad = true;
        }
    });
    if (!ok || bad || seen != (1u << (sizeof kExpected / sizeof kExpected[0])) - 1) return false;
    if (!s->security) return true;
    if (nl == 0 || el == 0) return false;
    if (s->key == nullptr) s->key = tavix_rsa_alloc();
    return s->key != nullptr && tavix_rsa_set_public(s->key, n, nl, e, el) == 0;
}

// A new request from the link's kept one with an Authorization line before
// its blank line; the kept one's chained content goes over to it.
tavix_buffer *WithAuthorization(tavix_buffer *kept, const char *value) {
    const char *d = reinterpret_cast<const char *>(kept->data);
    const long end = tavix_util_strnstr(d, kept->length, "\r\n\r\n", 4);
    if (end < 0) return nullptr;
    const uint32_t head = uint32_t(end) + 2;
    tavix_buffer *b = tavix_buffer_get(kept->content != nullptr ? TAVIX_BUF_REQ_CHAINED : TAVIX_BUF_DATA,
                                       kept->length + kAuthMax + 32, tavix_global_options.request_limit + 8192, false);
    if (b == nullptr) return nullptr;
    if (!Put(b, d, head) || !Put(b, "Authorization: ") || !Put(b, value) || !Put(b, d + head, kept->length - head)) {
        tavix_buffer_return(b);
        return nullptr;
    }
    if (kept->content != nullptr) {
        tavix_buffer *content = nullptr;
        tavix_buffer_split_content(kept, &content);
        tavix_buffer_rewind(content);
        tavix_buffer_put_chained_content(b, content);
    }
    return b;
}

// The remote server's 401: answers its challenge and sends the request again.
int tavix_comm_remote_server_handle_401(tavix_remote_link *l, const char *answer, uint32_t n) {
    const long end = tavix_util_strnstr(answer, n, "\r\n\r\n", 4);
    uint32_t vl = 0;
    const char *v = Field(answer, end < 0 ? n : uint32_t(end) + 2, "WWW-Authenticate: ", &vl);
    const bool basic = v != nullptr && vl >= 5 && std::strncmp(v, "Basic", 5) == 0;
    const bool digest = v != nullptr && vl >= 6 && std::strncmp(v, "Digest", 6) == 0;
    if (!basic && !digest) return 612;
    if (tavix_global_options.auth_method == 0) return 617;
    tavix_session *master = nullptr;
    int index = 0, code = 0;
    const tavix_auth_entry *who = nullptr;
    if (tavix_engine_session_get_id(l->master, &master, &index, &code) == 0 && master->key != nullptr)
        who = tavix_auth_find_auth_data(master->key);
    if (who == nullptr || who->user[0] == 0) return 613;
    if (basic && tavix_global_options.auth_method == 2) return 610;
    if (l->request == nullptr || tavix_util_strnstr(reinterpret_cast<const char *>(l->request->data),
                                                    l->request->length, "\r\nAuthorization: ", 17) >= 0) {
        ReleaseRequest(l);
        return 609;
    }
    char value[kAuthMax + 8];
    if (digest) {
        // The challenge up to its line end, NUL-terminated for the parser.
        char challenge[1026];
        Copy(challenge, sizeof challenge - 2, v, vl);
        std::strcat(challenge, "\r\n");
        tavix_nonce_entry *e = nullptr;
        if (tavix_auth_parse_digest_header(master->key, challenge, &e, &code) != 0) return code;
    }
    if (tavix_auth_generate_auth_header(master->key, digest, "POST", l->uri, who, value, sizeof value, &code) != 0)
        return code;
    tavix_buffer *again = WithAuthorization(l->request, value);
    if (again == nullptr) return 900;
    ReleaseRequest(l);
    again->held = 1;
    l->request = again;
    if (Alive(l->conn, l->conn_id)) {
        l->conn->remote_index = -1;
        l->conn->drop = 1;
    }
    l->conn = nullptr;
    return tavix_comm_remote_server_resend(l->server, l) == 0 ? 0 : 607;
}

// The value of a form field of the page's request, or null.
const char *FormField(const tavix_buffer *request, const char *wanted, uint32_t *length) {
    const char *name = nullptr, *value = nullptr;
    for (uint32_t i = 0; tavix_buffer_get_dict_entry(request, i, &name, &value, length) == 0; i++)
        if (std::strcmp(name, wanted) == 0) return value;
    return nullptr;
}

bool PutField(tavix_buffer *b, bool first, const char *name, const char *value, uint32_t length) {
    int error = 0;
    if (!first && !Put(b, "&")) return false;
    tavix_buffer_put_urlencoded(b, name, uint32_t(std::strlen(name)), false, &error);
    if (error != 0 || !Put(b, "=")) return false;
    tavix_buffer_put_urlencoded(b, value, length, false, &error);
    return error == 0;
}

}  // namespace

void tavix_comm_remote_server_initialize() {
    tavix_comm_remote_server_free();
    T.last_tick = 0;
}

int tavix_comm_remote_server_define(const char *name, const char *host, uint16_t port, uint32_t flag) {
    if (name == nullptr || host == nullptr || T.count >= TAVIX_REMOTE_SERVERS_MAX) return -1;
    auto *s = static_cast<tavix_remote_server *>(std::calloc(1, sizeof(tavix_remote_server)));
    char *work = static_cast<char *>(std::malloc(TAVIX_REMOTE_WORK_SIZE));
    if (s == nullptr || work == nullptr) {
        std::free(s);
        std::free(work);
        return -1;
    }
    s->index = T.count;
    Copy(s->name, sizeof s->name, name, std::strlen(name));
    Copy(s->host, sizeof s->host, host, std::strlen(host));
    s->port = port;
    s->enabled = flag;
    s->timeout = kSessionTimeout;
    s->work = work;
    tavix_sys_get_random_data(s->random, sizeof s->random, false, false);
    T.servers[T.count++] = s;
    tavix_comm_remote_server_resolve(s, Now());
    return int(s->index);
}

tavix_remote_server *tavix_comm_remote_server_get(int index) { return Server(index); }

int tavix_comm_remote_server_find(const char *name) {
    if (name == nullptr) return -1;
    for (uint32_t i = 0; i < T.count; i++)
        if (std::strcmp(T.servers[i]->name, name) == 0) return int(i);
    return -1;
}

int tavix_comm_remote_server_enable(const char *name, uint32_t flag) {
    const int i = tavix_comm_remote_server_find(name);
    if (i < 0) return -1;
    T.servers[i]->enabled = flag;
    return 0;
}

tavix_remote_session *tavix_comm_remote_server_find_session(int index, const char *master, const char *remote_id) {
    for (tavix_remote_session &s : T.sessions)
        if (s.in_use && s.server == index && std::strcmp(s.master, master) == 0 && std::strcmp(s.id, remote_id) == 0)
            return &s;
    return nullptr;
}

uint64_t tavix_comm_remote_server_max_timeout() {
    uint64_t most = 0;
    for (uint32_t i = 0; i < T.count; i++)
        if (T.servers[i]->max_timeout > most) most = T.servers[i]->max_timeout;
    return most;
}

void tavix_comm_remote_server_resolve(tavix_remote_server *s, uint64_t now) {
    s->resolve_time = now;
    struct addrinfo hints {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *found = nullptr;
    if (getaddrinfo(s->host, nullptr, &hints, &found) != 0 || found == nullptr) {
        s->state = TAVIX_RS_FAILED;
        return;
    }
    s->address = ntohl(reinterpret_cast<const struct sockaddr_in *>(found->ai_addr)->sin_addr.s_addr);
    freeaddrinfo(found);
    s->state = TAVIX_RS_RESOLVED;
}

void tavix_comm_remote_server_tick(uint64_t now) {
    if (now == T.last_tick) return;
    T.last_tick = now;
    for (uint32_t i = 0; i < T.count; i++) {
        tavix_remote_server *s = T.servers[i];
        if (s->state == TAVIX_RS_UNRESOLVED || (s->state == TAVIX_RS_FAILED && now >= s->resolve_time + kResolveRetry))
            tavix_comm_remote_server_resolve(s, now);
    }
    for (tavix_remote_session &r : T.sessions) {
        const tavix_remote_server *s = Server(r.server);
        if (!r.in_use || s == nullptr || now < r.last_use + s->timeout) continue;
        tavix_util_error("Expiring remote session %s on master session %s due to inactivity", r.id, r.master);
        r = tavix_remote_session{};
    }
}

int tavix_comm_remote_server_send(int index, tavix_connection *client, tavix_buffer *request, tavix_remote_link **out) {
    tavix_remote_link *l = nullptr;
    for (tavix_remote_link &k : T.links) {
        if (!k.in_use) {
            l = &k;
            break;
        }
    }
    if (l == nullptr || Server(index) == nullptr) return -1;
    *l = tavix_remote_link{};
    l->in_use = 1;
    l->server = index;
    l->client = client;
    l->client_id = client != nullptr ? client->id : 0;
    l->request = request;
    request->held = 1;
    if (tavix_comm_remote_server_resend(index, l) != 0) {
        l->request = nullptr;  // the caller still owns it
        request->held = 0;
        *l = tavix_remote_link{};
        return -1;
    }
    if (out != nullptr) *out = l;
    return 0;
}

int tavix_comm_remote_server_resend(int index, tavix_remote_link *l) {
    tavix_remote_server *s = Server(index);
    if (s == nullptr || l->request == nullptr) return -1;
    tavix_connection *c = nullptr;
    if (tavix_comm_connect(s->address, s->port, false, index, &c) < 0 || c == nullptr) return -1;
    l->conn = c;
    l->conn_id = c->id;
    tavix_buffer_rewind(l->request);
    tavix_comm_send(c, l->request);
    return 0;
}

tavix_buffer *tavix_comm_remote_server_handle_mangle_remote_request(tavix_session *master, int index,
                                                                    tavix_remote_session *remote,
                                                                    tavix_connection *client, tavix_buffer *request) {
    tavix_remote_server *s = Server(index);
    if (master == nullptr) return tavix_engine_construct_json_error_response(605);
    if (s == nullptr) return tavix_engine_construct_json_error_response(600);
    const char *d = reinterpret_cast<const char *>(request->data);
    const long head_end = tavix_util_strnstr(d, request->length, "\r\n\r\n", 4);
    const long line_end = tavix_util_strnstr(d, request->length, "\r\n", 2);
    if (head_end < 0 || line_end < 5 || std::strncmp(d, "POST ", 5) != 0)
        return tavix_engine_construct_json_error_response(605);
    const long version = tavix_util_strnstr(d, uint32_t(line_end), " HTTP/1.", 8);
    if (version < 5) return tavix_engine_construct_json_error_response(605);
    const char *uri = d + 5;
    const uint32_t uri_len = uint32_t(version) - 5;
    if (uri_len >= sizeof(tavix_remote_link::uri)) return tavix_engine_construct_json_error_response(605);

    uint32_t kind = TAVIX_RK_OTHER;
    static const char *const kKinds[] = {"/?info ", "/?createsession ", "/?deletesession ", "/?login "};
    long at = -1;
    for (uint32_t k = 0; k < 4 && kind == TAVIX_RK_OTHER; k++) {
        at = tavix_util_strnstr(d, uint32_t(line_end) + 1, kKinds[k], std::strlen(kKinds[k]));
        if (at >= 0) kind = k;
    }
    if (kind == TAVIX_RK_INFO && at > 5) Copy(s->prefix, sizeof s->prefix, d + 5, std::size_t(at - 5));

    // The body: the page's fields, or the remote session's key for a new session.
    tavix_buffer *body = tavix_buffer_get(TAVIX_BUF_DATA, 1024, tavix_global_options.request_limit, false);
    if (body == nullptr) return tavix_engine_construct_json_error_response(900);
    char new_key[33] = {};
    bool ok = true;
    int code = 0;
    if (kind == TAVIX_RK_CREATESESSION) {
        if (s->state != TAVIX_RS_INFO || (s->security && s->key == nullptr)) {
            code = 606;
        } else {
            uint8_t raw[16];
            tavix_sys_get_random_data(raw, sizeof raw, false, false);
            tavix_util_hex_encode(raw, sizeof raw, new_key);
            char cipher[2 * TAVIX_REMOTE_MODULUS_MAX + 1] = {};
            if (s->security && tavix_auth_rsa_encrypt(new_key, s->key, cipher, sizeof cipher) < 0) code = 606;
            uint32_t tl = 0;
            const char *timeout = FormField(request, "timeout", &tl);
            bool first = true;
            if (timeout != nullptr) {
                ok = PutField(body, true, "timeout", timeout, tl);
                first = false;
            }
            ok = ok && PutField(body, first, "cipher", cipher, uint32_t(std::strlen(cipher)));
        }
    } else if (kind == TAVIX_RK_LOGIN) {
        const tavix_auth_entry *who = master->key != nullptr ? tavix_auth_find_auth_data(master->key) : nullptr;
        if (who == nullptr || who->user[0] == 0)
            code = 611;
        else if (s->state != TAVIX_RS_INFO || s->key == nullptr)
            code = 608;
        else if (tavix_global_options.auth_method == 2 && s->login_form)
            code = 610;
        else if (!s->login_form)
            // The remote server logs in over HTTP: its "login" does nothing
            // with the fields. The user's HA1 (as good as the password for a
            // Digest login) is never sent.
            ok = PutField(body, true, "username", who->user, uint32_t(std::strlen(who->user)));
        else if (remote == nullptr || who->password[0] == 0)
            // A form login needs the remote session it logs into and the
            // password in clear, which a Digest login here never had.
            code = 608;
        else {
            // As a page logs in: the password encrypted with the remote
            // server's key, and MD5 of remote session id:key:password.
            char cipher[2 * TAVIX_REMOTE_MODULUS_MAX + 1] = {};
            char text[sizeof remote->id + sizeof remote->key + TAVIX_NAME_MAX + 4], digest[33];
            const int tn = std::snprintf(text, sizeof text, "%s:%s:%s", remote->id, remote->key, who->password);
            tavix_md5_hex(text, std::size_t(tn < int(sizeof text) ? tn : int(sizeof text) - 1), digest);
            if (tavix_auth_rsa_encrypt(who->password, s->key, cipher, sizeof cipher) < 0)
                code = 608;
            else
                ok = PutField(body, true, "username", who->user, uint32_t(std::strlen(who->user))) &&
                     PutField(body, false, "passwordcipher", cipher, uint32_t(std::strlen(cipher))) &&
                     PutField(body, false, "passworddigest", digest, 32);
        }
    } else {
        const char *name = nullptr, *value = nullptr;
        uint32_t vl = 0;
        for (uint32_t i = 0; ok && tavix_buffer_get_dict_entry(request, i, &name, &value, &vl) == 0; i++)
            ok = PutField(body, i == 0, name, value, vl);
    }
    if (code != 0 || !ok) {
        tavix_buffer_return(body);
        return tavix_engine_construct_json_error_response(code != 0 ? code : 900);
    }

    // The head: the page's lines less those this server writes itself; the
    // body chained behind it.
    char path[sizeof(tavix_remote_link::uri)];
    Copy(path, sizeof path, uri, uri_len);
    tavix_buffer *out = tavix_engine_initialize_request(path);
    ok = out != nullptr;
    static const char *const kDropped[] = {
        "Content-Length: ", "Authorization: ", "Content-Type: ", "Host: ", "Connection: ", "X-TavIX: "};
    for (uint32_t p = uint32_t(line_end) + 2; ok && p < uint32_t(head_end) + 2;) {
        const long eol = tavix_util_strnstr(d + p, uint32_t(head_end) + 2 - p, "\r\n", 2);
        const uint32_t len = eol < 0 ? uint32_t(head_end) + 2 - p : uint32_t(eol);
        bool keep = true;
        for (const char *name : kDropped)
            if (len >= std::strlen(name) && strncasecmp(d + p, name, std::strlen(name)) == 0) keep = false;
        if (keep) ok = Put(out, d + p, len) && Put(out, "\r\n");
        p += len + 2;
    }
    if (ok && remote != nullptr) {
        char hdr[160];
        remote->last_use = Now();
        ok =
            tavix_comm_remote_server_create_tavix_hdr(remote->id, remote->key, &remote->counter, hdr, sizeof hdr) > 0 &&
            Put(out, "X-TavIX: ") && Put(out, hdr) && Put(out, "\r\n");
    }
    ok = ok && Put(out, "Connection: close\r\n") &&
         tavix_engine_chain_content(out, body, "application/x-www-form-urlencoded") == 0;
    if (!ok) {
        if (out == nullptr || out->content != body) tavix_buffer_return(body);
        tavix_buffer_return(out);
        return tavix_engine_construct_json_error_response(900);
    }
    tavix_remote_link *l = nullptr;
    if (tavix_comm_remote_server_send(index, client, out, &l) != 0) {
        tavix_buffer_return(out);
        return tavix_engine_construct_json_error_response(607);
    }
    l->kind = kind;
    Copy(l->master, sizeof l->master, master->id, std::strlen(master->id));
    Copy(l->uri, sizeof l->uri, uri, uri_len);
    if (kind == TAVIX_RK_CREATESESSION) Copy(l->target_key, sizeof l->target_key, new_key, 32);
    if (remote != nullptr) Copy(l->target_id, sizeof l->target_id, remote->id, std::strlen(remote->id));
    s->last_use = Now();
    return nullptr;
}

void tavix_comm_remote_server_receive(tavix_connection *c, tavix_buffer *received) {
    const bool closed = received->length == 0;
    const uint32_t fresh = received->length - received->read_pos;
    received->length = received->read_pos = 0;
    if (LinkOfServerConnection(c) == nullptr) {
        tavix_buffer_return(c->pending);
        c->pending = nullptr;
        return;  // an answer nobody waits for
    }
    if (!closed) {
        if (c->pending == nullptr)
            c->pending = tavix_buffer_get(TAVIX_BUF_DATA, 1024, tavix_global_options.request_limit + 8192, false);
        if (c->pending == nullptr || tavix_buffer_put_data(c->pending, received->data, fresh) != 0) {
            c->drop = 1;  // too long: the page hears 601 when the connection goes
            return;
        }
    }
    tavix_buffer *p = c->pending;
    if (p == nullptr) return;
    const char *d = reinterpret_cast<const char *>(p->data);
    bool complete = closed;
    // An answer is framed as a request is: a Content-Length that is negative
    // or above the request limit closes the connection (the page hears 601),
    // and one the answer holds completes it; without one, only the close does.
    const long end = tavix_util_strnstr(d, p->length, "\r\n\r\n", 4);
    const long length = end < 0 ? -1 : tavix_engine_content_length(d, uint32_t(end) + 4);
    if (length == -2) {
        tavix_util_error("Content-Length negative or too large");
        c->pending = nullptr;
        tavix_buffer_return(p);
        c->drop = 1;
        return;
    }
    if (!complete && length >= 0) complete = uint64_t(end) + 4 + uint64_t(length) <= p->length;
    if (!complete) return;
    c->pending = nullptr;
    tavix_comm_remote_server_handle_response(c, d, p->length);
    tavix_buffer_return(p);
}

void tavix_comm_remote_server_handle_response(tavix_connection *c, const char *answer, uint32_t n) {
    tavix_remote_link *l = LinkOfServerConnection(c);
    if (l == nullptr) return;
    tavix_remote_server *s = Server(l->server);
    if (s == nullptr) {
        FreeLink(l);
        return;
    }
    s->last_use = Now();
    const long eol = tavix_util_strnstr(answer, n, "\r\n", 2);
    const char *blank = eol > 0 ? static_cast<const char *>(std::memchr(answer, ' ', std::size_t(eol))) : nullptr;
    int status = -1;
    if (n >= 6 && std::strncmp(answer, "HTTP/1", 6) == 0 && blank != nullptr && blank + 4 <= answer + eol &&
        blank[1] >= '0' && blank[1] <= '9' && blank[2] >= '0' && blank[2] <= '9' && blank[3] >= '0' && blank[3] <= '9')
        status = (blank[1] - '0') * 100 + (blank[2] - '0') * 10 + (blank[3] - '0');
    if (status < 0) {
        ErrorToPage(l, 604);
        FreeLink(l);
        return;
    }
    if (status == 401) {
        const int code = tavix_comm_remote_server_handle_401(l, answer, n);
        if (code != 0) {
            ErrorToPage(l, code);
            FreeLink(l);
        }
        return;
    }
    if (status >= 200 && status <= 299 && l->kind != TAVIX_RK_OTHER && l->kind != TAVIX_RK_LOGIN) {
        // The JSON body, NUL-terminated in the work buffer.
        const long end = tavix_util_strnstr(answer, n, "\r\n\r\n", 4);
        const uint32_t from = end < 0 ? n : uint32_t(end) + 4;
        const uint32_t len = n - from;
        bool good = len < TAVIX_REMOTE_WORK_SIZE;
        if (good) {
            std::memcpy(s->work, answer + from, len);
            s->work[len] = 0;
        }
        if (good && l->kind == TAVIX_RK_INFO) {
            good = TakeInfo(s, s->work);
            if (good) s->state = TAVIX_RS_INFO;
        } else if (good && l->kind == TAVIX_RK_CREATESESSION) {
            char id[16] = {};
            Members(s->work, [&](const char *name, const char *value) {
                if (std::strcmp(name, "sessionid") == 0) Copy(id, sizeof id, value, std::strlen(value));
            });
            good = id[0] != 0 && NewSession(l->server, l->master, id, std::strlen(id), l->target_key) != nullptr;
        } else if (good && l->kind == TAVIX_RK_DELETESESSION) {
            if (tavix_remote_session *r = tavix_comm_remote_server_find_session(l->server, l->master, l->target_id))
                *r = tavix_remote_session{};
        }
        if (!good) {
            ErrorToPage(l, 604);
            FreeLink(l);
            return;
        }
    }
    tavix_buffer *copy = tavix_buffer_get(TAVIX_BUF_DATA, n + 1, n + 1, false);
    if (copy != nullptr && tavix_buffer_put_data(copy, answer, n) != 0) {
        tavix_buffer_return(copy);
        copy = nullptr;
    }
    ToPage(l, copy);
    FreeLink(l);
}

void tavix_comm_remote_server_dropped_connection(tavix_connection *c) {
    for (tavix_remote_link &l : T.links) {
        if (!l.in_use) continue;
        if (l.conn == c && l.conn_id == c->id) {
            l.conn = nullptr;
            ErrorToPage(&l, 601);
            FreeLink(&l);
        } else if (l.client == c && l.client_id == c->id) {
            l.client = nullptr;
            FreeLink(&l);
        }
    }
}

void tavix_comm_remote_server_delete_session(const char *master) {
    if (master == nullptr) return;
    for (tavix_remote_session &r : T.sessions)
        if (r.in_use && std::strcmp(r.master, master) == 0) r = tavix_remote_session{};
}

void tavix_comm_remote_server_clear() {
    for (tavix_remote_link &l : T.links)
        if (l.in_use) FreeLink(&l);
    for (tavix_remote_session &r : T.sessions) r = tavix_remote_session{};
}

void tavix_comm_remote_server_free() {
    tavix_comm_remote_server_clear();
    for (uint32_t i = 0; i < T.count; i++) {
        tavix_rsa_free(T.servers[i]->key);
        std::free(T.servers[i]->work);
        std::free(T.servers[i]);
        T.servers[i] = nullptr;
    }
    T.count = 0;
}
