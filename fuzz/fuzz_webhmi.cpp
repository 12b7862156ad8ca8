// Web HMI server parsers on random bytes: request framing and dispatch (with
// a web root, Digest logins and the POST path), the form dictionary, X-TavIX
// and Authorization values, the decoders, HTTP dates, the JSON reader, DER
// keys, security.cfg, web addresses and the answers of a remote server; the
// password change, form login and process-image bodies and the answer
// functions with the notifications they queue, as "publish" writes them; and
// sequences of item methods over one session with the controller's callbacks.
// Byte 0 picks the parser.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>
#include <sys/stat.h>

#include "tavIXsdk/tavixsdk/tavix_auth.h"
#include "tavIXsdk/tavixsdk/tavix_buffer.h"
#include "tavIXsdk/tavixsdk/tavix_comm.h"
#include "tavIXsdk/tavixsdk/tavix_engine.h"
#include "tavIXsdk/tavixsdk/tavix_json.h"
#include "tavIXsdk/tavixsdk/tavix_methods.h"
#include "tavIXsdk/tavixsdk/tavix_post.h"
#include "tavIXsdk/tavixsdk/tavix_raw.h"
#include "tavIXsdk/tavixsdk/tavix_remote.h"
#include "tavIXsdk/tavixsdk/tavix_subs.h"
#include "tavIXsdk/tavixsdk/tavix_rsa.h"
#include "tavIXsdk/tavixsdk/tavix_server.h"
#include "tavIXsdk/tavixsdk/tavix_session.h"
#include "tavIXsdk/tavixsdk/tavix_util.h"
#include "core/image/plcreg.h"
#include "webhmi/webusers.h"
#include "webhmi/webvars.h"

namespace {

void Quiet(const char *) {}
tavix_session *fuzz_session;
tavix_session *seq_session;  // the item sequences' own

// A form body through one of the method handlers, with a session and a frame.
void Method(tavix_method m, const uint8_t *data, size_t size) {
    static tavix_frame *frame = nullptr;
    if (frame == nullptr) {
        frame = tavix_engine_subscription_frame_alloc();
        frame->owner = fuzz_session;
        fuzz_session->frames = frame;
        fuzz_session->frame_count = 1;
    }
    const std::string head = std::string("POST /tavIX/?x HTTP/1.0\r\n\r\nsubscriptionid=") + frame->id + "&";
    tavix_buffer *req = tavix_buffer_get(TAVIX_BUF_REQ_HEADER, 0, 1 << 20, true);
    tavix_buffer_put_data(req, head.data(), uint32_t(head.size()));
    tavix_buffer_put_data(req, data, uint32_t(size));
    tavix_engine_parse_form(req, uint32_t(head.size() - std::strlen(frame->id) - 16));
    tavix_connection c{};
    c.in_use = 1;
    c.sock = -1;
    bool keep = false;
    tavix_buffer *resp =
        tavix_post_handlers[m] != nullptr ? tavix_post_handlers[m](&c, fuzz_session, req, &keep) : nullptr;
    if (resp != nullptr) tavix_buffer_return(resp);
    if (!keep) tavix_buffer_free(req);
    if (fuzz_session->parked != nullptr) {
        tavix_buffer_return(fuzz_session->parked);
        fuzz_session->parked = nullptr;
        fuzz_session->parked_conn = nullptr;
    }
    tavix_engine_session_clear_notification_queue(fuzz_session);
}

bool Setup() {
    tavix_options_initialize();
    tavix_global_options.error_cb = Quiet;
    tavix_comm_state_initialize();
    tavix_auth_initialize();
    tavix_engine_session_initialize();
    mkdir("/tmp/fuzz-webhmi", 0700);
    mkdir("/tmp/fuzz-webhmi/pages", 0700);
    FILE *f = std::fopen("/tmp/fuzz-webhmi/index.htm", "wb");
    if (f != nullptr) {
        std::fputs("<html></html>", f);
        std::fclose(f);
    }
    tavix_options_set_web_root("/tmp/fuzz-webhmi", "index.htm;index.html");
    const char cfg[] = "tavIX\r\nadmin;a9866e24426444567e0b2446f9f8db75;Right0;Right3\r\n";
    tavix_parse_access_rights(cfg, sizeof cfg - 1);
    tavix_engine_hooks.access = tavix_auth_engine_access;
    tavix_engine_hooks.post = tavix_engine_handle_post_request;
    tavix_server_set_request_hook_callback(request_hook_callback);
    // The response hook reads every answer as it goes out.
    tavix_server_set_response_hook_callback([](const char *, const char *, tavix_connection *, tavix_buffer *r) {
        const uint8_t *piece = nullptr;
        if (r != nullptr) tavix_buffer_get_data(r, &piece, nullptr, 0, nullptr, 0);
    });
    tavix_session *s = nullptr;
    int code = 0;
    tavix_engine_session_create(0, nullptr, "key", false, nullptr, nullptr, nullptr, false, &s, &code);
    tavix_engine_session_create(0, nullptr, "seq", false, nullptr, nullptr, nullptr, false, &seq_session, &code);
    tavix_methods_register();
    tavix_engine_subscriptions_init();
    tavix_server_set_basic_callbacks_simple(tavix_read_data_simple_cb, tavix_write_data_simple_cb);
    tavix_server_set_advanced_callbacks(tavix_subscribe_data_cb, tavix_unsubscribe_data_cb);
    web_notify_hook = tavix_variable_notify;
    tavix_server_set_basic_callbacks_multi(tavix_read_data_multi_cb, tavix_write_data_multi_cb);
    tavix_server_set_processimage_callbacks(
        [](tavix_request *r, const void *, const void *) {
            tavix_data_value v{};
            v.kind = TAVIX_DV_TEXT;
            v.text = "x";
            tavix_read_processimage_return(r, &v, nullptr, 1, nullptr, "u", 0);
        },
        [](tavix_request *r, const void *, const void *) { tavix_list_processimage_return(r, "a/b"); });
    tavix_server_set_auth_callbacks(tavix_access_cb, tavix_authentication_digest_cb, tavix_authentication_user_info_cb,
                                    [](const char *, const char *, const char *, int *code) {
                                        *code = 10001;
                                        return 0;
                                    });
    tavix_server_set_error_callback_simple([](int32_t) { return "app"; });
    tavix_options_generate_temporary_rsa(1024, 0x10001);
    fuzz_session = s;
    tavix_comm_remote_server_initialize();
    tavix_comm_remote_server_define("fz", "127.0.0.1", 9, 1);
    return true;
}

// A remote server's answer to a forwarded request of the kind byte 0 names,
// in up to three pieces, then the close.
void RemoteAnswer(const uint8_t *data, size_t size) {
    if (size < 1) return;
    tavix_connection c{};
    c.in_use = 1;
    c.sock = -1;
    c.kind = 1;
    c.id = 77;
    tavix_remote_link &l = tavix_remote_table.links[0];
    l = tavix_remote_link{};
    l.in_use = 1;
    l.server = 0;
    l.conn = &c;
    l.conn_id = c.id;
    l.kind = data[0] % 5;
    std::snprintf(l.master, sizeof l.master, "%s", fuzz_session->id);
    std::snprintf(l.uri, sizeof l.uri, "/tavIX/?info");
    l.request = tavix_buffer_get(TAVIX_BUF_DATA, 64, 4096, false);
    tavix_buffer_put_data(l.request, "POST /tavIX/?info HTTP/1.0\r\n\r\n", 30);
    data++;
    size--;
    tavix_buffer *recv = tavix_buffer_get(TAVIX_BUF_DATA, 4096, 4096, true);
    size_t at = 0;
    for (int call = 0; call < 3 && at < size && l.in_use; call++) {
        const size_t n = std::min<size_t>(size - at, std::min<size_t>(4096, size / 3 + 1));
        recv->length = recv->read_pos = 0;
        tavix_buffer_put_data(recv, data + at, uint32_t(n));
        at += n;
        tavix_comm_remote_server_receive(&c, recv);
    }
    recv->length = recv->read_pos = 0;
    tavix_comm_remote_server_receive(&c, recv);
    tavix_buffer_free(recv);
    tavix_comm_remote_server_clear();
    tavix_buffer_return(c.pending);
}

// The fuzz bytes as texts: NUL-separated pieces, at most n.
std::vector<std::string> Pieces(const uint8_t *data, size_t size, size_t n) {
    std::vector<std::string> out(1);
    for (size_t i = 0; i < size && out.size() <= n; i++) {
        if (data[i] == 0)
            out.emplace_back();
        else
            out.back() += char(data[i]);
    }
    out.resize(n);
    return out;
}

// Password change and form login with ciphers of fuzz texts and a digest
// right or wrong by the first byte.
void Passwords(const uint8_t *data, size_t size) {
    if (size < 1) return;
    const bool good = data[0] & 1, change = data[0] & 2;
    const std::vector<std::string> t = Pieces(data + 1, size - 1, 3);
    char c1[260] = "00", c2[260] = "00";
    tavix_auth_rsa_encrypt(t[1].c_str(), tavix_options_rsa_key(), c1, sizeof c1);
    tavix_auth_rsa_encrypt(t[2].c_str(), tavix_options_rsa_key(), c2, sizeof c2);
    std::string text = std::string(fuzz_session->id) + ":" + fuzz_session->key + ":" + t[1];
    if (change) text += ":" + t[2];
    char digest[33];
    tavix_md5_hex(text.data(), text.size(), digest);
    if (!good) digest[0] = digest[0] == '0' ? '1' : '0';
    const std::string body = change ? "username=" + t[0] + "&oldpasswordcipher=" + c1 + "&newpasswordcipher=" + c2 +
                                          "&passworddigest=" + digest
                                    : "username=" + t[0] + "&passwordcipher=" + c1 + "&passworddigest=" + digest;
    tavix_global_options.auth_method = 5;
    Method(change ? TAVIX_M_CHANGEPASSWORD : TAVIX_M_LOGIN, reinterpret_cast<const uint8_t *>(body.data()),
           body.size());
    if (data[0] & 4) Method(TAVIX_M_LOGOUT, reinterpret_cast<const uint8_t *>(""), 0);
}

// The answer functions with fuzz texts and values, into a body of a small
// limit and into notifications; every notification is measured and written.
void Answers(const uint8_t *data, size_t size) {
    if (size < 12) return;
    const uint8_t kind = data[0] % 8, vk = data[1] % 9;
    uint64_t raw = 0;
    for (int i = 0; i < 8; i++) raw = raw << 8 | data[2 + i];
    const uint32_t limit = 64 + data[10] * 8u;
    const std::vector<std::string> t = Pieces(data + 11, size - 11, 8);
    tavix_data_value v{};
    v.kind = vk;
    v.u64 = raw;
    if (vk == TAVIX_DV_TEXT) v.text = t[7].c_str();
    const tavix_timestamp stamp{raw >> 20, raw % 1000000000u};
    const tavix_localized texts[] = {
        {t[4].empty() ? nullptr : t[4].c_str(), t[5].c_str()}, {"de", t[6].c_str()}, {nullptr, nullptr}};
    const tavix_localized *loc = data[1] & 0x10 ? texts + 1 : texts;
    const tavix_alarm_fields alarm{&v, &stamp, uint32_t(raw), uint32_t(raw >> 32), loc, t[2].c_str(), t[3].c_str()};
    const uint32_t keep = tavix_global_options.buffer_limit;
    tavix_global_options.buffer_limit = limit;
    tavix_buffer *body = tavix_buffer_get(TAVIX_BUF_DATA, 64, limit, true);
    tavix_request r = tavix_request_make(kind, body, fuzz_session);
    for (int round = 0; round < 3 && body != nullptr; round++) {
        const char *a = t[round].c_str();
        tavix_data_read_return(&r, &v, &stamp, int32_t(raw), loc, a, int32_t(raw >> 40));
        tavix_read_processimage_return(&r, &v, &stamp, 0, loc, nullptr, int32_t(raw % 700));
        tavix_data_write_return(&r, int32_t(raw % 11000));
        tavix_list_processimage_return(&r, a);
        tavix_read_history_return(&r, a, &v, &stamp, int32_t(raw), loc, t[3].c_str());
        tavix_event_filter_read_return(&r, a, &stamp, &v, loc, t[3].c_str());
        tavix_alarm_filter_read_return(&r, a, &stamp, 1, 2, &v, loc, t[2].c_str(), nullptr);
        tavix_data_filter_read_return(&r, a, &v, &stamp, 0, loc, t[3].c_str());
    }
    if (body != nullptr) r.body->length = 0;
    tavix_global_options.buffer_limit = keep;
    // Notifications: an alarm item of the fuzz frame, a filter address, the user.
    tavix_frame *f = fuzz_session->frames;
    tavix_item *it = nullptr;
    int err = 0;
    if (f != nullptr) {
        tavix_engine_subscription_frame_subscribe_item(f, 1, "fz.alarm", &it, 0, &err);
        it = tavix_engine_frame_find_item(f, "fz.alarm");
    }
    if (it != nullptr) {
        tavix_alarm_notify(it, &alarm);
        tavix_alarm_filter_notify(it, t[0].c_str(), &alarm);
        tavix_data_filter_notify(it, t[1].c_str(), &v, &stamp, int32_t(raw), loc, t[3].c_str());
        tavix_data_notify(it, &v, &stamp, int32_t(raw));
    }
    const char *rights[] = {t[0].c_str(), t[1].c_str(), nullptr};
    const char *names[] = {t[2].c_str(), t[3].c_str(), "username", nullptr};
    const tavix_data_value values[3] = {v, v, v};
    tavix_request u = tavix_request_make(TAVIX_REQ_USER, nullptr, fuzz_session);
    u.username = t[4].c_str();
    tavix_user_info_return(&u, data[1] & 0x20 ? nullptr : rights, data[1] & 0x40 ? nullptr : names, values);
    for (tavix_publish_item *n = fuzz_session->queue_head; n != nullptr; n = n->next) {
        const long need = tavix_engine_publish_item_serialize(n, nullptr, 0);
        std::string out(size_t(need), '\0');
        if (tavix_engine_publish_item_serialize(n, out.data(), out.size()) != need || out.back() != '}')
            __builtin_trap();
    }
    if (body != nullptr) {
        tavix_engine_session_do_publish(fuzz_session, 1 + data[1] % 4, body);
        tavix_buffer_free(body);
    }
    tavix_engine_session_clear_notification_queue(fuzz_session);
}

// Sequences of subscribe, unsubscribe, read, write, publish (at once and
// parked) and frame deletion over one session, with the controller's own
// callbacks, register changes under them and the server's tick between.
void Sequence(const uint8_t *data, size_t size) {
    static const std::string kAddresses[] = {
        "R_5_1_INT16",   "R_6_1_UINT16", "R_" + std::string(130, '0') + "5_1_INT16",
        "R_7_1_CHAR_4",  "R_8_3_BOOL",   "R_9_1_FLOAT32",
        "XYZ_1_1_INT16", "R_10_1_TIME"};
    tavix_session *s = seq_session;
    tavix_connection *polls[2] = {&tavix_comm_state.conns[100], &tavix_comm_state.conns[101]};
    for (tavix_connection *c : polls) {
        *c = tavix_connection{};
        c->in_use = 1;
        c->sock = -1;
        c->remote_index = -1;
    }
    auto drain = [&]() {
        for (tavix_connection *c : polls) {
            for (tavix_buffer *b = c->send_head; b != nullptr;) {
                tavix_buffer *next = b->send_next;
                b->send_next = nullptr;
                tavix_buffer_return(b);
                b = next;
            }
            c->send_head = c->send_tail = nullptr;
        }
    };
    auto call = [&](tavix_method m, const std::string &body, tavix_connection *c) {
        const std::string head = "POST /tavIX/?x HTTP/1.0\r\n\r\n";
        tavix_buffer *req = tavix_buffer_get(TAVIX_BUF_REQ_HEADER, 0, 1 << 20, true);
        tavix_buffer_put_data(req, head.data(), uint32_t(head.size()));
        tavix_buffer_put_data(req, body.data(), uint32_t(body.size()));
        tavix_engine_parse_form(req, uint32_t(head.size()));
        bool keep = false;
        tavix_buffer *resp = tavix_post_handlers[m](c, s, req, &keep);
        if (resp != nullptr) tavix_buffer_return(resp);
        if (!keep) tavix_buffer_free(req);
    };
    auto frame = [&](uint8_t b) -> std::string {
        uint32_t k = b % (s->frame_count + 1);
        for (tavix_frame *f = s->frames; f != nullptr; f = f->next, k--)
            if (k == 0) return f->id;
        return "ff";
    };
    uint64_t now = 0;
    for (size_t i = 0; i + 3 <= size; i += 3) {
        const uint8_t op = data[i] % 10, a = data[i + 1], v = data[i + 2];
        const std::string &address = kAddresses[a % 8];
        const std::string fields = "subscriptionid=" + frame(v) + "&address[]=" + address;
        switch (op) {
        case 0: call(TAVIX_M_CREATESUBSCRIPTION, "", polls[0]); break;
        case 1: call(TAVIX_M_SUBSCRIBEDATA, fields + (a & 8 ? "&address[]=" + kAddresses[v % 8] : ""), polls[0]); break;
        case 2: call(TAVIX_M_UNSUBSCRIBEDATA, fields, polls[0]); break;
        case 3: call(a & 8 ? TAVIX_M_SUBSCRIBEALARM : TAVIX_M_UNSUBSCRIBEALARM, fields, polls[0]); break;
        case 4: call(TAVIX_M_READ, "address[]=" + address + "&address[]=" + kAddresses[v % 8], polls[0]); break;
        case 5:
            call(TAVIX_M_WRITE, "address[]=" + address + "&value[]=" + std::to_string(int(v) - 100), polls[0]);
            break;
        case 6:
            call(TAVIX_M_PUBLISH, v & 1 ? "longpoll=false&maxresults=" + std::to_string(v % 4) : "", polls[a & 1]);
            break;
        case 7: call(TAVIX_M_DELETESUBSCRIPTION, "subscriptionid=" + frame(v), polls[0]); break;
        case 8:
            // The registers change under the subscriptions; the web thread's cycle checks one.
            plc_reg[2 * (1983 + 5 + a % 6)] = v;
            for (int k = 0; k < 1 + v % 8; k++) tavix_automatic_update_variables();
            break;
        case 9:
            now += v % 40;
            tavix_engine_session_tick(now);
            break;
        }
        drain();
    }
    // Back to no frames and no subscribed address for the next input.
    while (s->frames != nullptr)
        call(TAVIX_M_DELETESUBSCRIPTION, std::string("subscriptionid=") + s->frames->id, polls[0]);
    for (tavix_connection *c : polls) tavix_server_connection_dropped(c);
    tavix_engine_session_clear_notification_queue(s);
    drain();
    for (tavix_connection *c : polls) *c = tavix_connection{};
    if (variable_pointer_list.count != 0) __builtin_trap();
}

void Frame(const uint8_t *data, size_t size) {
    tavix_connection c{};
    c.in_use = 1;
    c.sock = -1;
    // The bytes arrive in up to three receive calls, then the peer closes.
    tavix_buffer *recv = tavix_buffer_get(TAVIX_BUF_DATA, 4096, 4096, true);
    size_t at = 0;
    for (int call = 0; call < 3 && at < size; call++) {
        const size_t n = std::min<size_t>(size - at, call == 2 ? 4096 : std::min<size_t>(4096, size / 3 + 1));
        recv->length = 0;
        recv->read_pos = 0;
        tavix_buffer_put_data(recv, data + at, uint32_t(n));
        at += n;
        if (tavix_engine_handle_data(&c, &c.pending, recv) != 0) break;
    }
    recv->length = recv->read_pos = 0;
    tavix_engine_handle_data(&c, &c.pending, recv);
    tavix_buffer_free(recv);
    for (tavix_buffer *b = c.send_head; b != nullptr;) {
        tavix_buffer *next = b->send_next;
        uint8_t scratch[512];
        const uint8_t *piece = nullptr;
        for (long n; (n = tavix_buffer_get_data(b, &piece, scratch, sizeof scratch, nullptr, 0)) > 0;)
            tavix_buffer_get_advance(b, uint32_t(n));
        tavix_buffer_return(b);
        b = next;
    }
    tavix_buffer_return(c.pending);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool ready = Setup();
    (void)ready;
    if (size < 1) return 0;
    const uint8_t pick = data[0] % 21;
    data++;
    size--;
    std::string text(reinterpret_cast<const char *>(data), size);
    switch (pick) {
    case 0: Frame(data, size); break;
    case 1: {
        tavix_buffer *b = tavix_buffer_get(TAVIX_BUF_REQ_HEADER, 0, 1 << 20, true);
        tavix_buffer_put_data(b, data, uint32_t(size));
        if (tavix_engine_parse_form(b, 0) == 0) {
            const char *n = nullptr, *v = nullptr;
            uint32_t vl = 0;
            for (uint32_t i = 0; tavix_buffer_get_dict_entry(b, i, &n, &v, &vl) == 0; i++) {
            }
        }
        tavix_buffer_free(b);
        break;
    }
    case 2: {
        tavix_session *s = nullptr;
        int idx = 0;
        tavix_engine_session_verify_header(text.c_str(), &s, &idx);
        break;
    }
    case 3: {
        tavix_identity who{};
        int code = 0;
        bool stale = false;
        tavix_global_options.auth_method = size % 2 ? 1 : 2;
        tavix_auth_verify_auth_header(nullptr, text.c_str(), "GET", "/index.htm", &who, &code, &stale);
        break;
    }
    case 4: {
        uint8_t out[512];
        size_t n = sizeof out;
        tavix_base64_decode(text.data(), text.size(), out, &n);
        size_t count = 0;
        tavix_util_hex_decode(text.c_str(), -1, out, sizeof out, &count);
        tavix_util_hex_decode(text.c_str(), long(text.size()), out, sizeof out, &count);
        char url[300];
        tavix_util_url_decode(text.data(), text.size(), url, sizeof url, true, true);
        tavix_util_url_compare(text.c_str(), "/index.htm", size % 2);
        break;
    }
    case 5: tavix_util_parse_http_time(text.c_str()); break;
    case 6: {
        int kind = 0;
        const char *p = text.c_str();
        for (int guard = 0; guard < 256 && *p != 0; guard++) {
            p += tavix_util_json_decode_next_token(p, &kind);
            if (kind == TAVIX_TOK_STRING) {
                char out[64];
                size_t len = 0;
                const int n = tavix_util_json_decode_string(p, out, sizeof out, &len);
                if (n < 0) break;
                p += n;
            } else if (kind == TAVIX_TOK_NUMBER) {
                int64_t i = 0;
                double d = 0;
                bool real = false;
                const int n = tavix_util_json_decode_number(p, &i, &d, &real);
                if (n <= 0) break;
                p += n;
            } else if (kind == TAVIX_TOK_END || kind == TAVIX_TOK_OTHER) {
                break;
            }
        }
        tavix_util_json_eat_object(text.c_str());
        break;
    }
    case 7: tavix_options_set_rsa_from_buffer(data, size); break;
    case 8: tavix_parse_access_rights(text.data(), text.size()); break;
    case 9: {
        WebVariable v{};
        tavix_parse_parameterized_variable(text.c_str(), &v);
        break;
    }
    case 10: Method(TAVIX_M_READ, data, size); break;
    case 11: Method(TAVIX_M_WRITE, data, size); break;
    case 12: Method(size % 2 ? TAVIX_M_SUBSCRIBEDATA : TAVIX_M_UNSUBSCRIBEDATA, data, size); break;
    case 13: Method(size % 2 ? TAVIX_M_SUBSCRIBEFILTER : TAVIX_M_UNSUBSCRIBEFILTER, data, size); break;
    case 14: Method(size % 2 ? TAVIX_M_PUBLISH : TAVIX_M_ACCEPTALARM, data, size); break;
    case 15: {
        tavix_connection c{};
        const uint8_t *h = nullptr, *b = nullptr;
        uint32_t hl = 0, bl = 0;
        if (tavix_engine_raw_handler_init_dispatcher(&c, data, uint32_t(size)) == 0)
            tavix_engine_raw_handler_call_dispatcher(&c, &h, &hl, &b, &bl);
        tavix_engine_raw_handler_free_dispatcher(&c);
        break;
    }
    case 16: RemoteAnswer(data, size); break;
    case 17: Passwords(data, size); break;
    case 18: Answers(data, size); break;
    case 19:
        Method(size % 2 ? TAVIX_M_READPROCESSIMAGE : TAVIX_M_LISTPROCESSIMAGE, data, size);
        Method(size % 3 ? TAVIX_M_READ : TAVIX_M_WRITE, data, size);
        break;
    case 20: Sequence(data, size); break;
    }
    return 0;
}
