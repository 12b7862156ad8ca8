// Web HMI server parsers on random bytes: request framing and dispatch (with
// a web root, Digest logins and the POST path), the form dictionary, X-TavIX
// and Authorization values, the decoders, HTTP dates, the JSON reader, DER
// keys, security.cfg, web addresses and the answers of a remote server.
// Byte 0 picks the parser.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
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
#include "tavIXsdk/tavixsdk/tavix_session.h"
#include "tavIXsdk/tavixsdk/tavix_util.h"
#include "webhmi/webusers.h"
#include "webhmi/webvars.h"

namespace {

void Quiet(const char *) {}
tavix_session *fuzz_session;

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
    tavix_buffer *resp = tavix_post_handlers[m] != nullptr ? tavix_post_handlers[m](&c, fuzz_session, req, &keep)
                                                           : nullptr;
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
    tavix_auth_callbacks = {tavix_access_cb, tavix_authentication_digest_cb, nullptr};
    tavix_engine_hooks.access = tavix_auth_engine_access;
    tavix_engine_hooks.post = tavix_engine_handle_post_request;
    tavix_engine_hooks.request = request_hook_callback;
    tavix_session *s = nullptr;
    int code = 0;
    tavix_engine_session_create(0, nullptr, "key", false, nullptr, nullptr, nullptr, false, &s, &code);
    tavix_methods_register();
    tavix_engine_subscriptions_init();
    tavix_data_callbacks.read = tavix_read_data_simple_cb;
    tavix_data_callbacks.write = tavix_write_data_simple_cb;
    tavix_data_callbacks.subscribe = tavix_subscribe_data_cb;
    tavix_data_callbacks.unsubscribe = tavix_unsubscribe_data_cb;
    web_notify_hook = tavix_variable_notify;
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
    const uint8_t pick = data[0] % 17;
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
    }
    return 0;
}
