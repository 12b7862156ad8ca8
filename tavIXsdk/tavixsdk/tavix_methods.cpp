// The POST methods of the web server: read, write, info and the process
// image; sessions, logins, frames, item subscriptions and publish with long
// poll; and the SCADA methods, which answer from the application's callbacks
// (none registered: their codes).
#include "tavIXsdk/tavixsdk/tavix_methods.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <vector>

#include "tavIXsdk/tavixsdk/tavix_auth.h"
#include "tavIXsdk/tavixsdk/tavix_engine.h"
#include "tavIXsdk/tavixsdk/tavix_json.h"
#include "tavIXsdk/tavixsdk/tavix_post.h"
#include "tavIXsdk/tavixsdk/tavix_rsa.h"
#include "tavIXsdk/tavixsdk/tavix_subs.h"
#include "tavIXsdk/tavixsdk/tavix_sys.h"
#include "tavIXsdk/tavixsdk/tavix_util.h"

tavix_method_callbacks_t tavix_method_callbacks;

namespace {

constexpr uint32_t kBatch = 32;
constexpr std::size_t kPasswordMax = 62;  // bytes of a decrypted password

tavix_buffer *Body() { return tavix_buffer_get(TAVIX_BUF_DATA, 512, tavix_global_options.buffer_limit, false); }

bool Put(tavix_buffer *b, const char *t) { return tavix_buffer_put_data(b, t, uint32_t(std::strlen(t))) == 0; }

tavix_buffer *Answer(tavix_buffer *body) {
    return body != nullptr ? tavix_engine_construct_json_response(body) : nullptr;
}

tavix_buffer *Error(int code) { return tavix_engine_construct_json_on_error_response(code); }

// Whether a field's name is the known name: its first characters, the
// known name's length ("address[]x" is "address[]").
bool Named(const char *field, const char *known) { return std::strncmp(field, known, std::strlen(known)) == 0; }

// The value of the first field with a known name; null when absent.
const char *Field(const tavix_buffer *r, const char *name, uint32_t *len = nullptr) {
    const char *n = nullptr, *v = nullptr;
    uint32_t vl = 0;
    for (uint32_t i = 0; tavix_buffer_get_dict_entry(r, i, &n, &v, &vl) == 0; i++) {
        if (Named(n, name)) {
            if (len != nullptr) *len = vl;
            return v;
        }
    }
    return nullptr;
}

// Fields whose names start with prefix, in order.
template <typename F>
void Each(const tavix_buffer *r, const char *prefix, F f) {
    const std::size_t pl = std::strlen(prefix);
    const char *n = nullptr, *v = nullptr;
    uint32_t vl = 0;
    for (uint32_t i = 0; tavix_buffer_get_dict_entry(r, i, &n, &v, &vl) == 0; i++)
        if (std::strncmp(n, prefix, pl) == 0) f(v, vl);
}

tavix_frame *FindFrame(tavix_session *s, const char *id) {
    if (s == nullptr || id == nullptr) return nullptr;
    for (tavix_frame *f = s->frames; f != nullptr; f = f->next)
        if (std::strncmp(f->id, id, 9) == 0) return f;
    return nullptr;
}

uint32_t UtcNow() {
    return tavix_engine_hooks.utc_now != nullptr ? tavix_engine_hooks.utc_now() : uint32_t(time(nullptr));
}

// ---- basic methods --------------------------------------------------------------------------

// The session's user data for the callbacks (none at level 0).
const void *User(const tavix_session *s) { return tavix_engine_session_get_user_data(s); }

// The request's addresses (and with values the n-th "value[]" for the n-th
// "address[]") in batches of at most 32, each batch handed to fn with its
// first index.
template <typename F>
void Batches(const tavix_buffer *req, bool with_values, F fn) {
    const char *addresses[kBatch + 1], *values[kBatch + 1];
    uint32_t lengths[kBatch + 1];
    uint32_t n = 0, handed = 0;
    auto flush = [&]() {
        if (n == 0) return;
        addresses[n] = values[n] = nullptr;
        lengths[n] = 0;
        fn(handed, addresses, values, lengths, n);
        handed += n;
        n = 0;
    };
    if (!with_values) {
        Each(req, "address[]", [&](const char *v, uint32_t) {
            addresses[n++] = v;
            if (n == kBatch) flush();
        });
        flush();
        return;
    }
    // The n-th address goes with the n-th value, whatever their order; an
    // address or value without partner is left out. Two cursors over the
    // fields, each moving forward only.
    const char *name = nullptr, *v = nullptr;
    uint32_t vl = 0, next_value = 0;
    for (uint32_t i = 0; tavix_buffer_get_dict_entry(req, i, &name, &v, &vl) == 0; i++) {
        if (std::strncmp(name, "address[]", 9) != 0) continue;
        const char *value = nullptr;
        uint32_t length = 0;
        const char *vn = nullptr, *vv = nullptr;
        uint32_t vvl = 0;
        for (; value == nullptr && tavix_buffer_get_dict_entry(req, next_value, &vn, &vv, &vvl) == 0; next_value++) {
            if (std::strncmp(vn, "value[]", 7) != 0) continue;
            value = vv;
            length = vvl;
        }
        if (value == nullptr) break;
        addresses[n] = v;
        values[n] = value;
        lengths[n++] = length;
        if (n == kBatch) flush();
    }
    flush();
}

// Reads or writes by address: the callbacks once per batch of addresses (the
// multi callback where there is one), the results in one array.
void ProcessReadOrWrite(const tavix_buffer *req, tavix_request *r, const void *user, bool write) {
    const auto &cb = tavix_data_callbacks;
    Batches(req, write, [&](uint32_t first, const char *const *a, const char *const *v, const uint32_t *l, uint32_t n) {
        if (r->ended != 0) return;  // the answer has ended (304 or 900)
        r->first_index = first;
        if (write && cb.write_multi != nullptr)
            cb.write_multi(r, user, a, v, l);
        else if (!write && cb.read_multi != nullptr)
            cb.read_multi(r, user, a);
        else
            for (uint32_t i = 0; i < n && r->ended == 0; i++) {
                if (write)
                    cb.write(r, user, a[i], v[i], l[i]);
                else
                    cb.read(r, user, a[i]);
            }
    });
}

tavix_buffer *ReadOrWrite(tavix_session *s, tavix_buffer *req, bool write) {
    const auto &cb = tavix_data_callbacks;
    if (write && cb.write == nullptr && cb.write_multi == nullptr) return Error(503);
    if (!write && cb.read == nullptr && cb.read_multi == nullptr) return Error(502);
    if (tavix_engine_contains_deferred_addresses(req)) return Error(302);
    tavix_buffer *body = Body();
    if (body == nullptr) return nullptr;
    Put(body, "{\"result\":[");
    tavix_request r = tavix_request_make(write ? TAVIX_REQ_WRITE : TAVIX_REQ_READ, body, s);
    if (write)
        tavix_engine_process_write_request(req, &r, User(s));
    else
        tavix_engine_process_read_request(req, &r, User(s));
    Put(r.body, "]}");
    return Answer(r.body);
}

// The process image: the callback once, its elements in the result array.
tavix_buffer *ProcessImage(tavix_session *s, uint32_t kind) {
    const auto &cb = tavix_data_callbacks;
    auto fn = kind == TAVIX_REQ_READ_PI ? cb.read_process_image : cb.list_process_image;
    tavix_buffer *body = Body();
    if (body == nullptr) return nullptr;
    Put(body, "{\"result\":[");
    tavix_request r = tavix_request_make(kind, body, s);
    if (fn != nullptr) fn(&r, User(s), nullptr);
    Put(r.body, "]}");
    return Answer(r.body);
}
}  // namespace

tavix_buffer *tavix_engine_handle_read_request(tavix_connection *, tavix_session *s, tavix_buffer *req, bool *) {
    return ReadOrWrite(s, req, false);
}
tavix_buffer *tavix_engine_handle_write_request(tavix_connection *, tavix_session *s, tavix_buffer *req, bool *) {
    return ReadOrWrite(s, req, true);
}
void tavix_engine_process_read_request(const tavix_buffer *req, tavix_request *r, const void *user) {
    ProcessReadOrWrite(req, r, user, false);
}
void tavix_engine_process_write_request(const tavix_buffer *req, tavix_request *r, const void *user) {
    ProcessReadOrWrite(req, r, user, true);
}

int tavix_engine_contains_deferred_addresses(const tavix_buffer *req) {
    if (tavix_data_callbacks.deferred == nullptr) return 0;
    int later = 0;
    Each(req, "address[]", [&](const char *v, uint32_t) { later = later || tavix_data_callbacks.deferred(v) != 0; });
    return later;
}

tavix_buffer *tavix_engine_handle_readprocessimage_request(tavix_connection *, tavix_session *s, tavix_buffer *,
                                                           bool *) {
    return ProcessImage(s, TAVIX_REQ_READ_PI);
}
tavix_buffer *tavix_engine_handle_listprocessimage_request(tavix_connection *, tavix_session *s, tavix_buffer *,
                                                           bool *) {
    return ProcessImage(s, TAVIX_REQ_LIST_PI);
}

namespace {

// The "info" object through a writer that measures (null destination) or writes.
void InfoObject(tavix_json_out &w) {
    const tavix_options_t &o = tavix_global_options;
    const char *login = o.level == 0 || o.auth_method == 0           ? "none"
                        : (o.auth_method == 1 || o.auth_method == 2) ? "http"
                        : o.auth_method == 5                         ? "form"
                                                                     : "none";
    std::size_t mn = 0, en = 0;
    const uint8_t *mod = tavix_options_rsa_modulus(&mn);
    const uint8_t *exp = tavix_options_rsa_exponent(&en);
    static const char *const kLevels[4] = {"basic", "advanced", "scada", "multipoint"};
    const auto &cb = tavix_method_callbacks;
    auto hex = [&w](const uint8_t *bytes, std::size_t n) {
        w.add(tavix_json_put_hex_data(w.at(), w.left(),
                                      bytes != nullptr ? bytes : reinterpret_cast<const uint8_t *>(""),
                                      bytes != nullptr ? long(n) : 0, false));
    };
    w.raw("{\"loginmethod\":");
    w.string(login);
    w.raw(",\"encryptionmodulus\":");
    hex(mod, mn);
    w.raw(",\"encryptionexponent\":");
    hex(exp, en);
    w.raw(",\"certificationlevel\":");
    w.string(o.level < 4 ? kLevels[o.level] : "unknown");
    w.raw(",\"features\":[");
    bool first = true;
    auto feature = [&](const char *name, bool on) {
        if (!on) return;
        if (!first) w.raw(",");
        w.string(name);
        first = false;
    };
    // Levels above 3 ("unknown") offer only what every level offers.
    feature("multipoint", o.level == 3);
    if (o.level >= 2 && o.level <= 3) {
        feature("queryfilter", cb.query_filter != nullptr);
        feature("subscribefilter", tavix_data_callbacks.filter_subscribe != nullptr);
        feature("acceptalarm", cb.accept_alarm != nullptr);
        feature("readhistory", cb.history != nullptr);
    }
    if (o.level >= 1 && o.level <= 3) {
        feature("session", true);
        feature("subscribealarm", tavix_data_callbacks.alarm_subscribe != nullptr);
        feature("subscribedata", tavix_data_callbacks.subscribe != nullptr);
        feature("login", tavix_auth_callbacks.digest != nullptr);
        feature("changepassword", cb.change_password != nullptr);
    }
    feature("read", true);
    feature("write", true);
    feature("browsertime", true);
    feature("processimage", tavix_data_callbacks.list_process_image != nullptr);
    w.raw("],\"longpollsupport\":");
    w.raw(o.long_poll ? "true" : "false");
    w.raw(",\"securitysupport\":true,\"maxtimeout\":");
    w.add(tavix_json_put_integer(w.at(), w.left(), o.session_timeout, true));
    w.raw(",\"vendorinfo\":");
    w.string(o.banner != nullptr ? o.banner : "");
    w.raw(",\"servername\":");
    w.string(o.server_name != nullptr ? o.server_name : "");
    w.raw("}");
}

}  // namespace

tavix_buffer *tavix_engine_handle_info_request(tavix_connection *, tavix_session *, tavix_buffer *, bool *) {
    // Measured first, then written into a body of that size.
    tavix_json_out m{nullptr, 0, 0};
    InfoObject(m);
    tavix_buffer *body = tavix_buffer_get(TAVIX_BUF_DATA, uint32_t(m.o), tavix_global_options.buffer_limit, false);
    if (body == nullptr) return nullptr;
    tavix_json_out w{reinterpret_cast<char *>(body->data), m.o, 0};
    InfoObject(w);
    body->length = uint32_t(w.o);
    return Answer(body);
}

// ---- advanced methods ------------------------------------------------------------------------

tavix_buffer *tavix_engine_handle_create_session_request(tavix_connection *, tavix_session *, tavix_buffer *req,
                                                         bool *) {
    tavix_session *s = nullptr;
    int code = 500;
    const tavix_identity &who = tavix_auth_current;
    const bool http = tavix_global_options.auth_method >= 1 && tavix_global_options.auth_method <= 4;
    // A Basic login's entry keeps the password itself; a Digest login's its HA1.
    const bool basic = http && who.password[0] != 0;
    const void *secret = basic ? static_cast<const void *>(who.password) : http ? who.ha1 : nullptr;
    if (tavix_engine_session_create(tavix_sys_get_current_monotonous_time(), Field(req, "timeout"),
                                    Field(req, "cipher"), true, who.realm, who.user, secret, !basic, &s, &code) != 0 ||
        s == nullptr)
        return Error(code != 0 ? code : 500);
    tavix_buffer *body = Body();
    if (body == nullptr) return nullptr;
    char text[48];
    std::snprintf(text, sizeof text, "{\"sessionid\":\"%s\"}", s->id);
    Put(body, text);
    return Answer(body);
}

tavix_buffer *tavix_engine_handle_delete_session_request(tavix_connection *c, tavix_session *s, tavix_buffer *,
                                                         bool *) {
    int index = -1;
    tavix_session *found = nullptr;
    int code = 0;
    if (s == nullptr || tavix_engine_session_get_id(s->id, &found, &index, &code) != 0 || found != s) return Error(451);
    const uint32_t number = uint32_t(std::strtoul(s->id, nullptr, 16));
    c->session = nullptr;
    if (tavix_engine_session_delete_idx(index) != 0) return Error(451);
    const uint32_t m = tavix_global_options.auth_method;
    if ((m == 1 || m == 2) && tavix_session_table.logout != nullptr) tavix_session_table.logout(number);
    return Error(0);
}

namespace {

// The form login's steps after the entry is cleared: 0 with the entry
// filled, else the code.
int FormLogin(tavix_session *s, const tavix_buffer *req, tavix_auth_entry *e) {
    if (tavix_auth_callbacks.digest == nullptr) return 507;
    const char *user = Field(req, "username"), *cipher = Field(req, "passwordcipher"),
               *digest = Field(req, "passworddigest");
    if (user == nullptr || cipher == nullptr || digest == nullptr) return 455;
    char password[kPasswordMax + 1];
    if (tavix_auth_rsa_decrypt(cipher, password, sizeof password) < 0) return 402;
    char text[700], hex[33];
    const int tn = std::snprintf(text, sizeof text, "%s:%s:%s", s->id, s->key, password);
    tavix_md5_hex(text, std::size_t(tn < int(sizeof text) ? tn : int(sizeof text) - 1), hex);
    if (std::strlen(digest) != 32 || strcasecmp(hex, digest) != 0) return 403;
    // A name the entry cannot hold whole is no user's: cut, it could name
    // another one (as a Basic or Digest login, it is refused).
    if (std::strlen(user) >= TAVIX_NAME_MAX) return 405;
    tavix_identity who{};
    std::snprintf(who.realm, sizeof who.realm, "%s", tavix_global_options.realm ? tavix_global_options.realm : "");
    std::snprintf(who.user, sizeof who.user, "%s", user);
    char ha1[40] = {};
    int code = 0;
    // A refusal that names no code is still a refusal: 405, never {}.
    if (tavix_auth_callbacks.digest(&who, password, ha1, &code) < 0) return code != 0 ? code : 405;
    uint8_t bytes[16];
    if (tavix_auth_decode_ha1(ha1, sizeof ha1, bytes) != 0) return 403;
    char check[4 * TAVIX_NAME_MAX + 140];
    const int cn = std::snprintf(check, sizeof check, "%s:%s:%s", who.user, who.realm, password);
    uint8_t mine[16];
    tavix_md5(check, std::size_t(cn), mine);
    if (std::memcmp(mine, bytes, 16) != 0) return 405;
    tavix_auth_fill_authdata(false, who.realm, who.user, password, e);
    return 0;
}

}  // namespace

int tavix_engine_session_login(tavix_session *s, tavix_buffer *req) {
    const uint32_t m = tavix_global_options.auth_method;
    if (m == 1 || m == 2) return 0;
    tavix_auth_entry *e = tavix_auth_insert_auth_data(s->key);
    if (e == nullptr) return 407;
    tavix_auth_data_clear(e);
    int code = 0;
    if (m == 5) code = FormLogin(s, req, e);
    // The page learns the user now logged in (none when the entry stayed empty).
    e = tavix_auth_find_auth_data(s->key);
    char realm[TAVIX_NAME_MAX] = {}, user[TAVIX_NAME_MAX] = {};
    if (e != nullptr) {
        std::snprintf(realm, sizeof realm, "%s", e->realm);
        std::snprintf(user, sizeof user, "%s", e->user);
    }
    tavix_engine_session_user_info(s, realm, user[0] != 0 ? user : nullptr);
    return code;
}

void tavix_engine_session_logout(tavix_session *s) {
    const uint32_t m = tavix_global_options.auth_method;
    if (m == 1 || m == 2) return;
    tavix_auth_remove_auth_data(s->key);
    tavix_engine_session_user_info(s, nullptr, nullptr);
}

int tavix_engine_session_change_password(tavix_session *s, tavix_buffer *req) {
    const char *user = Field(req, "username"), *old_cipher = Field(req, "oldpasswordcipher"),
               *new_cipher = Field(req, "newpasswordcipher"), *digest = Field(req, "passworddigest");
    if (user == nullptr || old_cipher == nullptr || new_cipher == nullptr || digest == nullptr) return 455;
    if (tavix_method_callbacks.change_password == nullptr) return 505;
    char old_password[kPasswordMax + 1], new_password[kPasswordMax + 1];
    if (tavix_auth_rsa_decrypt(old_cipher, old_password, sizeof old_password) < 0 ||
        tavix_auth_rsa_decrypt(new_cipher, new_password, sizeof new_password) < 0)
        return 402;
    char text[800], hex[33];
    const int tn = std::snprintf(text, sizeof text, "%s:%s:%s:%s", s->id, s->key, old_password, new_password);
    tavix_md5_hex(text, std::size_t(tn < int(sizeof text) ? tn : int(sizeof text) - 1), hex);
    if (std::strlen(digest) != 32 || strcasecmp(hex, digest) != 0) return 403;
    int code = 0;
    tavix_method_callbacks.change_password(user, old_password, new_password, &code);
    return code;
}

tavix_buffer *tavix_engine_handle_login_request(tavix_connection *, tavix_session *s, tavix_buffer *req, bool *) {
    return Error(tavix_engine_session_login(s, req));
}

tavix_buffer *tavix_engine_handle_logout_request(tavix_connection *, tavix_session *s, tavix_buffer *, bool *) {
    tavix_engine_session_logout(s);
    return Error(0);
}

tavix_buffer *tavix_engine_handle_change_password_request(tavix_connection *, tavix_session *s, tavix_buffer *req,
                                                          bool *) {
    return Error(tavix_engine_session_change_password(s, req));
}

tavix_buffer *tavix_engine_handle_create_subscription_request(tavix_connection *, tavix_session *s, tavix_buffer *,
                                                              bool *) {
    if (s->frame_count >= tavix_global_options.max_frames) return Error(463);
    tavix_frame *f = tavix_engine_subscription_frame_alloc();
    if (f == nullptr) return Error(900);  // said as 900: an empty {} would read as a frame made
    f->owner = s;
    tavix_frame **tail = &s->frames;
    while (*tail != nullptr) tail = &(*tail)->next;
    *tail = f;
    s->frame_count++;
    const uint32_t m = tavix_global_options.auth_method;
    if ((m == 1 || m == 2) && tavix_session_table.login != nullptr)
        tavix_session_table.login(uint32_t(std::strtoul(s->id, nullptr, 16)), tavix_auth_current.user, UtcNow());
    tavix_buffer *body = Body();
    if (body == nullptr) return nullptr;
    char text[48];
    std::snprintf(text, sizeof text, "{\"subscriptionid\":\"%s\"}", f->id);
    Put(body, text);
    return Answer(body);
}

tavix_buffer *tavix_engine_handle_remove_subscription_request(tavix_connection *, tavix_session *s, tavix_buffer *req,
                                                              bool *) {
    tavix_frame *f = FindFrame(s, Field(req, "subscriptionid"));
    if (f == nullptr) return Error(459);
    for (tavix_frame **p = &s->frames; *p != nullptr; p = &(*p)->next) {
        if (*p == f) {
            *p = f->next;
            s->frame_count--;
            break;
        }
    }
    int code = 0;
    tavix_engine_subscription_frame_unsubscribe_all(f, &code);
    tavix_engine_subscription_frame_free(f);
    return Error(code);
}

tavix_buffer *tavix_engine_handle_sub_unsubscribe_item_request(tavix_session *s, tavix_buffer *req, bool unsubscribe,
                                                               bool alarm) {
    const uint32_t kind = alarm ? 1 : 0;
    tavix_frame *f = FindFrame(s, Field(req, "subscriptionid"));
    if (f == nullptr) return Error(459);
    tavix_buffer *body = Body();
    if (body == nullptr) return nullptr;
    Put(body, "{\"result\":[");
    bool first = true, full = false;
    // Each address is acted on once, as its element is written into a body
    // that grows (no measuring pass, so no second subscribe call): each
    // occurrence gets its own code, and a name listed twice is taken once.
    // An element that would leave no room for the closing ]} within the
    // buffer limit is taken back and ends the array; the later addresses are
    // still acted on, only no longer reported.
    Each(req, "address[]", [&](const char *address, uint32_t) {
        int code = 0;
        if (unsubscribe) {
            // By address alone: an item keeps the kind of its first
            // subscription, and a frame may have joined it as the other kind.
            // An item found is let go and answered 0: what the application's
            // unsubscribe callback says of it is not the page's concern.
            tavix_item *it = tavix_engine_frame_find_item(f, address);
            int ignored = 0;
            if (it == nullptr)
                code = 460;
            else
                tavix_engine_subscription_frame_unsubscribe_item(f, it, false, &ignored);
        } else if (std::strlen(address) > 254) {
            // Too long for the variable look-up's work areas: refused, and so
            // never held (unsubscribing it later finds no item, 460).
            code = 301;
        } else {
            tavix_engine_subscription_frame_subscribe_item(f, kind, address, nullptr, 0, &code);
        }
        if (full) return;
        const uint32_t before = body->length;
        const bool put = (first || Put(body, ",")) && Put(body, "{") && tavix_json_put_error_strings(body, code) == 0 &&
                         Put(body, "}");
        if (!put || uint64_t(body->length) + 2 > tavix_global_options.buffer_limit) {
            body->length = before;
            full = true;
            return;
        }
        first = false;
    });
    Put(body, "]}");
    return Answer(body);
}

namespace {

// The four item methods in the method table.
tavix_buffer *SubscribeData(tavix_connection *, tavix_session *s, tavix_buffer *req, bool *) {
    return tavix_engine_handle_sub_unsubscribe_item_request(s, req, false, false);
}
tavix_buffer *UnsubscribeData(tavix_connection *, tavix_session *s, tavix_buffer *req, bool *) {
    return tavix_engine_handle_sub_unsubscribe_item_request(s, req, true, false);
}
tavix_buffer *SubscribeAlarm(tavix_connection *, tavix_session *s, tavix_buffer *req, bool *) {
    return tavix_engine_handle_sub_unsubscribe_item_request(s, req, false, true);
}
tavix_buffer *UnsubscribeAlarm(tavix_connection *, tavix_session *s, tavix_buffer *req, bool *) {
    return tavix_engine_handle_sub_unsubscribe_item_request(s, req, true, true);
}

}  // namespace

tavix_buffer *tavix_engine_handle_publish_request(tavix_connection *c, tavix_session *s, tavix_buffer *req, bool *) {
    bool longpoll = tavix_global_options.long_poll != 0;
    if (const char *v = Field(req, "longpoll"))
        if (strcasecmp(v, "false") == 0 || std::strcmp(v, "0") == 0) longpoll = false;
    uint32_t max = 65535;
    if (const char *v = Field(req, "maxresults")) max = uint32_t(std::strtoul(v, nullptr, 10));
    // A poll already parked is answered now.
    if (s->parked != nullptr) tavix_engine_session_answer_parked(s, false);
    tavix_buffer *body = Body();
    if (body == nullptr) return nullptr;
    if (s->queue_count == 0 && longpoll) {
        s->parked = body;
        s->parked_conn = c;
        s->parked_conn_id = c->id;
        s->parked_max = max;
        s->parked_time = tavix_sys_get_current_monotonous_time();
        s->answer_now = 0;
        c->session = s;
        c->long_poll = 1;
        return nullptr;
    }
    tavix_engine_session_do_publish(s, max, body);
    return Answer(body);
}

// ---- SCADA methods -------------------------------------------------------------------------

namespace {

// The session's user data as the query-filter worker keeps it: its own copy.
struct UserCopy {
    tavix_auth_entry entry;
    bool given;
};

// Query-filter jobs, answered by the worker thread.
struct QueryJob {
    QueryJob *next;
    uint32_t connection;
    tavix_buffer *request;
    UserCopy user;
};
struct QueryQueue {
    QueryJob *head, *tail;
    uint32_t count;
    pthread_mutex_t lock;
} query_queue = {nullptr, nullptr, 0, PTHREAD_MUTEX_INITIALIZER};

// The filter fields of a request, however many: every field but the named
// ones, each value "op:value" split at its ':' (overwritten by a NUL), in a
// list of count + 1 triples ended by a null name that the caller frees; 467
// when one has no ':', 900 without memory for the list (*out null then).
int Filters(tavix_buffer *req, const char *const *named, tavix_filter **out) {
    *out = nullptr;
    const char *n = nullptr, *v = nullptr;
    uint32_t vl = 0, count = 0;
    auto filter = [&](const char *name) {
        for (const char *const *k = named; *k != nullptr; k++)
            if (Named(name, *k)) return false;
        return true;
    };
    for (uint32_t i = 0; tavix_buffer_get_dict_entry(req, i, &n, &v, &vl) == 0; i++) {
        if (!filter(n)) continue;
        if (std::memchr(v, ':', vl) == nullptr) return 467;
        count++;
    }
    auto *list = static_cast<tavix_filter *>(std::malloc((count + 1) * sizeof(tavix_filter)));
    if (list == nullptr) return 900;
    uint32_t k = 0;
    for (uint32_t i = 0; k < count && tavix_buffer_get_dict_entry(req, i, &n, &v, &vl) == 0; i++) {
        if (!filter(n)) continue;
        char *colon = const_cast<char *>(static_cast<const char *>(std::memchr(v, ':', vl)));
        *colon = 0;
        list[k++] = {n, v, colon + 1};
    }
    list[k] = {nullptr, nullptr, nullptr};
    *out = list;
    return 0;
}

// A {"result":[...]} answer of error-strings objects written by a writer
// that measures with a null destination: sized by its measure, cut to the
// buffer limit.
template <typename W>
tavix_buffer *Measured(W write) {
    const long need = write(nullptr, 0);
    const uint32_t size =
        uint32_t(need) < tavix_global_options.buffer_limit ? uint32_t(need) : tavix_global_options.buffer_limit;
    tavix_buffer *body = tavix_buffer_get(TAVIX_BUF_DATA, size, tavix_global_options.buffer_limit, false);
    if (body == nullptr) return nullptr;
    body->length = uint32_t(write(reinterpret_cast<char *>(body->data), size));
    return Answer(body);
}

// One error-strings object into dst when it fits before the closing "]}";
// false (nothing written) when it does not.
bool Element(tavix_json_out &w, bool comma, int code, bool empty_for_zero) {
    const std::size_t start = w.o;
    tavix_json_out m{nullptr, 0, 0};
    if (comma) m.raw(",");
    m.raw("{");
    if (code != 0 || !empty_for_zero) m.add(tavix_util_write_error_members(nullptr, 0, code));
    m.raw("}");
    if (w.dst != nullptr && start + m.o + 2 > w.room) return false;
    if (comma) w.raw(",");
    w.raw("{");
    if (code != 0 || !empty_for_zero) w.add(tavix_util_write_error_members(w.at(), w.left(), code));
    w.raw("}");
    return true;
}

}  // namespace

tavix_buffer *tavix_engine_handle_read_history_request(tavix_connection *, tavix_session *s, tavix_buffer *req,
                                                       bool *keep) {
    if (tavix_method_callbacks.history == nullptr) return Error(510);
    if (tavix_engine_contains_deferred_addresses(req)) return Error(302);
    tavix_buffer *body = Body();
    if (body == nullptr) return nullptr;
    tavix_request r = tavix_request_make(TAVIX_REQ_HISTORY, body, s);
    tavix_engine_process_read_history_request(req, &r, User(s));
    if (keep != nullptr) *keep = false;
    return Answer(r.body);
}

void tavix_engine_process_read_history_request(const tavix_buffer *req, tavix_request *r, const void *user) {
    Put(r->body, "{\"result\":[");
    tavix_history_args a{};
    if (const char *v = Field(req, "starttime"))
        tavix_util_split_jstime_to_seconds_nanoseconds(v, &a.start_s, &a.start_ns);
    if (const char *v = Field(req, "endtime")) tavix_util_split_jstime_to_seconds_nanoseconds(v, &a.end_s, &a.end_ns);
    if (const char *v = Field(req, "returnbounds")) a.bounds = std::strncmp(v, "true", 4) == 0;
    a.aggregation = Field(req, "aggregation");
    Batches(req, false, [&](uint32_t first, const char *const *list, const char *const *, const uint32_t *, uint32_t) {
        r->first_index = first;
        if (tavix_method_callbacks.history != nullptr) tavix_method_callbacks.history(r, user, list, &a);
    });
    Put(r->body, r->ended == 3 ? "],\"more\":\"true\"}" : "]}");
}

tavix_buffer *tavix_engine_handle_query_filter_request(tavix_connection *c, tavix_session *s, tavix_buffer *req,
                                                       bool *keep) {
    if (tavix_method_callbacks.query_filter == nullptr) return Error(509);
    pthread_mutex_lock(&query_queue.lock);
    const uint32_t waiting = query_queue.count;
    pthread_mutex_unlock(&query_queue.lock);
    if (waiting >= TAVIX_QUERY_JOBS) return Error(302);
    auto *job = static_cast<QueryJob *>(std::calloc(1, sizeof(QueryJob)));
    if (job == nullptr) return nullptr;
    job->connection = c->id;
    job->request = req;
    if (const tavix_auth_entry *e = tavix_engine_session_get_user_data(s)) {
        job->user.entry = *e;
        job->user.given = true;
    }
    pthread_mutex_lock(&query_queue.lock);
    if (query_queue.tail != nullptr)
        query_queue.tail->next = job;
    else
        query_queue.head = job;
    query_queue.tail = job;
    query_queue.count++;
    pthread_mutex_unlock(&query_queue.lock);
    *keep = true;
    return nullptr;
}

void tavix_engine_handle_deferred_query_filter_request(int slot, void *) {
    while (!tavix_sys_thread_stop_requested(slot)) {
        if (tavix_engine_query_filter_step() == 0) tavix_sys_sleep(20);
    }
}

long tavix_engine_write_handle_accept_alarm_request(char *dst, std::size_t size, const int *codes, uint32_t count) {
    tavix_json_out w{dst, dst != nullptr ? size : 0, 0};
    w.raw("{\"result\":[");
    for (uint32_t i = 0; i < count; i++)
        if (!Element(w, i > 0, codes[i], true)) break;
    w.raw("]}");
    return long(w.o);
}

tavix_buffer *tavix_engine_handle_accept_alarm_request(tavix_connection *, tavix_session *s, tavix_buffer *req,
                                                       bool *) {
    std::vector<int> codes;
    // No request, no addresses: said in the error log, and the array stays empty.
    if (req == nullptr)
        tavix_util_error("tavix_engine_get_accept_alarm_error_codes: Parameters are wrong!");
    else if (tavix_method_callbacks.accept_alarm != nullptr) {
        const void *user = User(s);
        Each(req, "address[]", [&](const char *address, uint32_t) {
            int code = 0;
            tavix_method_callbacks.accept_alarm(user, address, &code);
            codes.push_back(code);
        });
    }
    return Measured([&](char *dst, std::size_t size) {
        return tavix_engine_write_handle_accept_alarm_request(dst, size, codes.data(), uint32_t(codes.size()));
    });
}

tavix_buffer *tavix_engine_handle_subscribe_filter_request(tavix_connection *, tavix_session *s, tavix_buffer *req,
                                                           bool *) {
    tavix_frame *f = FindFrame(s, Field(req, "subscriptionid"));
    if (f == nullptr) return Error(459);
    static const char *const kNamed[] = {"subscriptionid", "aggregation", "interval", nullptr};
    tavix_filter *filters = nullptr;
    if (const int code = Filters(req, kNamed, &filters)) return Error(code);
    const tavix_filter_args args{Field(req, "aggregation"), Field(req, "interval"), filters};
    tavix_item *it = nullptr;
    int code = 0;
    const int rc = tavix_engine_subscription_frame_subscribe_item(f, 2, nullptr, &it, 0, &code, &args);
    std::free(filters);
    if (rc != 0 || it == nullptr) return Error(code != 0 ? code : 900);
    tavix_buffer *body = Body();
    if (body == nullptr) return nullptr;
    char text[64];
    const long n = tavix_json_put_string(text, sizeof text, it->name, -1);
    Put(body, "{\"serverhandle\":");
    tavix_buffer_put_data(body, text, uint32_t(n));
    Put(body, "}");
    return Answer(body);
}

long tavix_engine_write_handle_unsubscribe_filter_request(char *dst, std::size_t size, const tavix_buffer *req,
                                                          tavix_frame *f) {
    tavix_json_out w{dst, dst != nullptr ? size : 0, 0};
    w.raw("{\"result\":[");
    bool first = true, full = false;
    Each(req, "serverhandle[]", [&](const char *name, uint32_t) {
        if (full) return;
        // The frame's item of that name, however it was subscribed (it lets
        // go through the unsubscribe callback of its own kind).
        tavix_item *it = tavix_engine_frame_find_item(f, name);
        int code = it != nullptr ? 0 : 460;
        // Measured as the writing pass will find it: a handle named earlier in
        // the request is let go there already (else the longer 460 element
        // would not fit the room and cut off the handles after it).
        if (dst == nullptr && it != nullptr) {
            bool reached = false;
            Each(req, "serverhandle[]", [&](const char *other, uint32_t) {
                if (other == name) reached = true;
                if (!reached && std::strcmp(other, name) == 0) code = 460;
            });
        }
        if (dst != nullptr) {
            // Measured as its handle let go: an element that does not fit
            // leaves its handle held.
            tavix_json_out m{nullptr, 0, 0};
            Element(m, !first, code, false);
            if (w.o + m.o + 2 > w.room) {
                full = true;
                return;
            }
            if (it != nullptr) tavix_engine_subscription_frame_unsubscribe_item(f, it, false, &code);
        }
        // A code the application's callback answered may not fit: the answer ends before it.
        if (!Element(w, !first, code, false)) full = true;
        first = false;
    });
    w.raw("]}");
    return long(w.o);
}

tavix_buffer *tavix_engine_handle_unsubscribe_filter_request(tavix_connection *, tavix_session *s, tavix_buffer *req,
                                                             bool *) {
    tavix_frame *f = FindFrame(s, Field(req, "subscriptionid"));
    if (f == nullptr) return Error(459);
    return Measured([&](char *dst, std::size_t size) {
        return tavix_engine_write_handle_unsubscribe_filter_request(dst, size, req, f);
    });
}

uint32_t tavix_engine_query_jobs_waiting() {
    pthread_mutex_lock(&query_queue.lock);
    const uint32_t n = query_queue.count;
    pthread_mutex_unlock(&query_queue.lock);
    return n;
}

void tavix_engine_query_jobs_clear() {
    pthread_mutex_lock(&query_queue.lock);
    QueryJob *job = query_queue.head;
    query_queue.head = query_queue.tail = nullptr;
    query_queue.count = 0;
    pthread_mutex_unlock(&query_queue.lock);
    while (job != nullptr) {
        QueryJob *next = job->next;
        tavix_buffer_return(job->request);
        std::free(job);
        job = next;
    }
}

int tavix_engine_query_filter_step() {
    pthread_mutex_lock(&query_queue.lock);
    QueryJob *job = query_queue.head;
    if (job != nullptr) {
        query_queue.head = job->next;
        if (query_queue.head == nullptr) query_queue.tail = nullptr;
        query_queue.count--;
    }
    pthread_mutex_unlock(&query_queue.lock);
    if (job == nullptr) return 0;
    tavix_buffer *req = job->request;
    tavix_buffer *body = tavix_engine_get_content_buffer_mtsafe();
    tavix_buffer *resp = tavix_engine_initialize_response_mtsafe(200, "OK", false);
    if (body != nullptr && resp != nullptr) {
        static const char *const kNamed[] = {"aggregation", "interval", nullptr};
        tavix_filter *filters = nullptr;
        // The application may have taken its callback back while the job
        // waited: answered as the request would be now.
        const auto query = tavix_method_callbacks.query_filter;
        const int code = query == nullptr ? 509 : Filters(req, kNamed, &filters);
        tavix_request r = tavix_request_make(TAVIX_REQ_QUERY, body, nullptr);
        Put(body, "{\"result\":[");
        if (code != 0) {
            Put(body, "{");
            tavix_json_put_error_strings(body, code);
            Put(body, "}");
        } else {
            const char *interval = Field(req, "interval");
            query(&r, job->user.given ? &job->user.entry : nullptr, Field(req, "aggregation"),
                  interval != nullptr ? std::strtod(interval, nullptr) : 0.0, filters);
        }
        std::free(filters);
        body = r.body;
        Put(body, r.ended == 3 ? "],\"more\":\"true\"}" : "]}");
        char line[96];
        std::snprintf(line, sizeof line,
                      "Cache-Control: no-cache\r\nContent-Length: %u\r\nContent-Type: application/json\r\n\r\n",
                      body->length);
        tavix_buffer_put_data(resp, line, uint32_t(std::strlen(line)));
        tavix_buffer_put_chained_content(resp, body);
        body = nullptr;
        tavix_comm_send_id(job->connection, resp);
        resp = nullptr;
    }
    tavix_buffer_free(body);
    tavix_buffer_free(resp);
    tavix_buffer_return(req);
    std::free(job);
    return 1;
}

int tavix_engine_start_deferred_rdhst_threads() { return 0; }

int tavix_engine_start_deferred_query_filter_threads() {
    return tavix_sys_thread_start(tavix_engine_handle_deferred_query_filter_request, nullptr) < 0 ? -1 : 0;
}

bool tavix_engine_session_parked_alive(const tavix_session *s, const tavix_connection *c) {
    return c != nullptr && c->in_use && c->id == s->parked_conn_id && c->session == s;
}

void tavix_engine_session_unlink_connection(tavix_connection *c) {
    // Only a waiting record's session is looked at: a session that goes
    // unlinks the record waiting on it, not the records of its other requests.
    auto *s = c->long_poll ? static_cast<tavix_session *>(c->session) : nullptr;
    c->session = nullptr;
    c->long_poll = 0;
    if (s == nullptr || s->parked_conn != c || s->parked_conn_id != c->id) return;
    tavix_buffer_return(s->parked);
    s->parked = nullptr;
    s->parked_conn = nullptr;
    s->parked_conn_id = 0;
}

void tavix_engine_session_answer_parked(tavix_session *s, bool from_tick) {
    tavix_buffer *body = s->parked;
    tavix_connection *c = s->parked_conn;
    // The record is checked by its id: a connection that ended without the
    // dropped callback (a TLS stream cut short) leaves the link behind, and
    // its record may now serve another client.
    const bool alive = tavix_engine_session_parked_alive(s, c);
    s->parked = nullptr;
    s->parked_conn = nullptr;
    s->parked_conn_id = 0;
    if (alive) {
        c->session = nullptr;
        c->long_poll = 0;
    }
    if (body == nullptr) return;
    tavix_engine_session_do_publish(s, s->parked_max, body);
    if (!alive) {
        tavix_buffer_return(body);
        return;
    }
    // Without a response buffer the body has gone back to the pool; only a
    // tick that cannot answer tears the session down.
    tavix_buffer *resp = tavix_engine_construct_json_response(body);
    if (resp == nullptr) {
        if (from_tick) {
            tavix_util_error("Got no buffer for session %s longpoll answer", s->id);
            s->aborted = 1;
        }
        return;
    }
    tavix_comm_send(c, resp);
}

void tavix_engine_session_tick(uint64_t now) {
    if (!tavix_global_options.long_poll) return;
    tavix_lock_rw_lock_read(&tavix_session_table.lock);
    for (uint32_t i = 0; i < tavix_session_table.count; i++) {
        tavix_session *s = tavix_session_table.sessions[i];
        if (s->parked == nullptr) continue;
        if (s->queue_count > 0 || s->answer_now || now >= s->parked_time + s->timeout / 2)
            tavix_engine_session_answer_parked(s, true);
    }
    tavix_lock_rw_unlock_read(&tavix_session_table.lock);
}

void tavix_methods_register() {
    auto &h = tavix_post_handlers;
    h[TAVIX_M_READ] = tavix_engine_handle_read_request;
    h[TAVIX_M_WRITE] = tavix_engine_handle_write_request;
    h[TAVIX_M_READPROCESSIMAGE] = tavix_engine_handle_readprocessimage_request;
    h[TAVIX_M_LISTPROCESSIMAGE] = tavix_engine_handle_listprocessimage_request;
    h[TAVIX_M_INFO] = tavix_engine_handle_info_request;
    h[TAVIX_M_CREATESESSION] = tavix_engine_handle_create_session_request;
    h[TAVIX_M_DELETESESSION] = tavix_engine_handle_delete_session_request;
    h[TAVIX_M_LOGIN] = tavix_engine_handle_login_request;
    h[TAVIX_M_LOGOUT] = tavix_engine_handle_logout_request;
    h[TAVIX_M_CHANGEPASSWORD] = tavix_engine_handle_change_password_request;
    h[TAVIX_M_CREATESUBSCRIPTION] = tavix_engine_handle_create_subscription_request;
    h[TAVIX_M_DELETESUBSCRIPTION] = tavix_engine_handle_remove_subscription_request;
    h[TAVIX_M_SUBSCRIBEDATA] = SubscribeData;
    h[TAVIX_M_UNSUBSCRIBEDATA] = UnsubscribeData;
    h[TAVIX_M_SUBSCRIBEALARM] = SubscribeAlarm;
    h[TAVIX_M_UNSUBSCRIBEALARM] = UnsubscribeAlarm;
    h[TAVIX_M_PUBLISH] = tavix_engine_handle_publish_request;
    h[TAVIX_M_READHISTORY] = tavix_engine_handle_read_history_request;
    h[TAVIX_M_QUERYFILTER] = tavix_engine_handle_query_filter_request;
    h[TAVIX_M_ACCEPTALARM] = tavix_engine_handle_accept_alarm_request;
    h[TAVIX_M_SUBSCRIBEFILTER] = tavix_engine_handle_subscribe_filter_request;
    h[TAVIX_M_UNSUBSCRIBEFILTER] = tavix_engine_handle_unsubscribe_filter_request;
}
