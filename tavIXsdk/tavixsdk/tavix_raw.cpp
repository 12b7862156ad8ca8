// Raw request interface and the remote session header.
#include "tavIXsdk/tavixsdk/tavix_raw.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "tavIXsdk/tavixsdk/tavix_auth.h"
#include "tavIXsdk/tavixsdk/tavix_engine.h"
#include "tavIXsdk/tavixsdk/tavix_post.h"
#include "tavIXsdk/tavixsdk/tavix_session.h"
#include "tavIXsdk/tavixsdk/tavix_subs.h"
#include "tavIXsdk/tavixsdk/tavix_util.h"

namespace {

// Pieces handed out, kept until the free call.
struct RawPieces {
    tavix_buffer *response;
    uint8_t *file_body;
} raw;

}  // namespace

int tavix_engine_raw_handler_init() {
    struct Step {
        int (*fn)();
        const char *text;
    };
    static const Step kSteps[] = {
        {tavix_options_initialize, "Error: Failed to initialize options context!"},
        {tavix_auth_initialize, "Error: Failed to initialize authentication context!"},
        {tavix_engine_session_initialize, "Error: Failed to initialize session context!"},
        {tavix_engine_subscriptions_init, "Error: Failed to initialize subscription context!"},
        {tavix_comm_state_initialize, "Error: Failed to initialize connection context!"},
    };
    for (const Step &s : kSteps) {
        if (s.fn() != 0) {
            tavix_util_error("%s", s.text);
            return 1;
        }
    }
    tavix_timer_start_imp(&tavix_comm_state.timer);
    if (tavix_engine_hooks.post == nullptr) tavix_engine_hooks.post = tavix_engine_handle_post_request;
    return 0;
}

void tavix_engine_raw_handler_shutdown() {
    tavix_engine_session_free();
    tavix_auth_free();
    tavix_engine_subscriptions_free();
    tavix_buffer_free_all();
    tavix_timer_stop_imp(&tavix_comm_state.timer);
    tavix_options_free();
}

int tavix_engine_raw_handler_init_dispatcher(tavix_connection *c, const uint8_t *bytes, uint32_t length) {
    const tavix_identity_cb identity = c->identity;  // the host's, kept across requests
    *c = tavix_connection{};
    c->sock = -1;
    c->identity = identity;
    c->in_use = 1;
    c->recv = tavix_buffer_get(TAVIX_BUF_DATA, length + 1, tavix_global_options.request_limit, true);
    if (c->recv == nullptr) return 1;
    if (tavix_buffer_put_data(c->recv, bytes, length) != 0) return 2;
    return 0;
}

int tavix_engine_raw_handler_call_dispatcher(tavix_connection *c, const uint8_t **header, uint32_t *header_length,
                                             const uint8_t **body, uint32_t *body_length) {
    *header = nullptr;
    if (body != nullptr) *body = nullptr;
    tavix_engine_handle_data(c, &c->pending, c->recv);
    tavix_buffer_free(c->recv);
    c->recv = nullptr;
    if (c->send_head == nullptr) return c->pending != nullptr ? 3 : 4;
    tavix_buffer *resp = c->send_head;
    c->send_head = c->send_tail = nullptr;
    // One request, one response: answers to further requests in the bytes are dropped.
    for (tavix_buffer *extra = resp->send_next; extra != nullptr;) {
        tavix_buffer *next = extra->send_next;
        tavix_buffer_free(extra);
        extra = next;
    }
    resp->send_next = nullptr;
    raw.response = resp;
    const uint8_t *piece = nullptr;
    const long hn = tavix_buffer_get_data(resp, &piece, nullptr, 0, nullptr, 0);
    if (hn < 0) return 4;
    *header = piece;
    *header_length = uint32_t(hn);
    tavix_buffer_get_advance(resp, uint32_t(hn));
    if (body == nullptr) return 0;
    // A file-backed body is handed out whole, read into one block.
    tavix_buffer *content = resp->content;
    if (content != nullptr && content->kind == TAVIX_BUF_FILE && content->fd >= 0) {
        raw.file_body = static_cast<uint8_t *>(std::malloc(content->file_size + 1));
        if (raw.file_body == nullptr) return 0;
        const ssize_t got = pread(content->fd, raw.file_body, content->file_size, 0);
        if (got >= 0) {
            *body = raw.file_body;
            *body_length = uint32_t(got);
        }
        return 0;
    }
    const long bn = tavix_buffer_get_data(resp, &piece, nullptr, 0, nullptr, 0);
    if (bn > 0) {
        *body = piece;
        *body_length = uint32_t(bn);
    }
    return 0;
}

void tavix_engine_raw_handler_free_dispatcher(tavix_connection *c) {
    tavix_buffer_free(raw.response);
    raw.response = nullptr;
    std::free(raw.file_body);
    raw.file_body = nullptr;
    tavix_buffer_free(c->recv);
    tavix_buffer_free(c->pending);
    *c = tavix_connection{};
    c->sock = -1;
}

long tavix_comm_remote_server_create_tavix_hdr(const char *id, const char *key, uint32_t *counter, char *out,
                                               uint32_t size) {
    if (size < std::strlen(id) + 102) return -1;
    char cnonce[16], text[600], digest[33];
    std::snprintf(cnonce, sizeof cnonce, "%u", *counter);
    (*counter)++;
    const int tn = std::snprintf(text, sizeof text, "%s:%s:%s", id, key, cnonce);
    tavix_md5_hex(text, std::size_t(tn), digest);
    return std::snprintf(out, size, "sessionid=\"%s\", cnonce=\"%s\", digest=\"%s\"", id, cnonce, digest);
}
