// Raw request interface and the remote session header.
#include "tavIXsdk/tavixsdk/tavix_raw.h"

#include <cstdio>
#include <cstring>

#include "tavIXsdk/tavixsdk/tavix_auth.h"
#include "tavIXsdk/tavixsdk/tavix_engine.h"
#include "tavIXsdk/tavixsdk/tavix_methods.h"
#include "tavIXsdk/tavixsdk/tavix_post.h"
#include "tavIXsdk/tavixsdk/tavix_session.h"
#include "tavIXsdk/tavixsdk/tavix_subs.h"
#include "tavIXsdk/tavixsdk/tavix_util.h"

namespace {

// Frees a chain of buffers linked for sending (one its owner holds only
// loses its queued mark, as the dispatcher leaves it).
void FreeChain(tavix_buffer *b) {
    while (b != nullptr) {
        tavix_buffer *next = b->send_next;
        b->send_next = nullptr;
        if (b->held)
            b->queued = 0;
        else
            tavix_buffer_free(b);
        b = next;
    }
}

// The server part of the global context: no query job waiting, every
// method's handler in the table (without them each method answers 501).
int ServerPart() {
    tavix_engine_query_jobs_clear();
    tavix_methods_register();
    return 0;
}

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
        // The buffer pool needs no step: its list starts empty and its lock is static.
        {ServerPart, "Error: Failed to initialize server context!"},
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
    tavix_engine_query_jobs_clear();
    tavix_engine_session_free();
    tavix_auth_free();
    tavix_engine_subscriptions_free();
    tavix_buffer_free_all();
    tavix_timer_stop_imp(&tavix_comm_state.timer);
    tavix_options_free();
}

int tavix_engine_raw_handler_init_dispatcher(tavix_connection *c, const uint8_t *bytes, uint32_t length) {
    const tavix_identity_cb identity = c->identity;  // the host's, kept across requests
    // A record handed on without its free call: a poll it waited on lets go of it.
    if (c->in_use) tavix_engine_session_unlink_connection(c);
    *c = tavix_connection{};
    c->sock = -1;
    c->identity = identity;
    c->in_use = 1;
    c->id = tavix_comm_next_id();  // tells this request apart from the record's next one
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
    // The record's response reference holds its answer (and so the pieces
    // handed out) until this record's free call.
    tavix_buffer *resp = c->send_head;
    // A cut request answers 3 only when nothing was answered: a whole request
    // ahead of it in the bytes keeps its answer rather than have it dropped
    // unsent (the cut rest cannot be continued: the next request starts afresh).
    if (resp == nullptr) return c->pending != nullptr ? 3 : 4;
    // One request, one response: answers to further requests in the bytes are dropped.
    FreeChain(resp->send_next);
    resp->send_next = nullptr;
    c->send_tail = resp;
    const uint8_t *piece = nullptr;
    const long hn = tavix_buffer_get_data(resp, &piece, nullptr, 0, nullptr, 0);
    if (hn < 0) return 4;
    *header = piece;
    *header_length = uint32_t(hn);
    tavix_buffer_get_advance(resp, uint32_t(hn));
    if (body == nullptr) return 0;
    // A file-backed body is handed out whole: the file is read into its buffer.
    tavix_buffer *content = resp->content;
    if (content != nullptr && content->kind == TAVIX_BUF_FILE && content->length == 0) {
        if (content->limit < content->file_size) content->limit = content->file_size;
        tavix_buffer_read_whole_file(content, content->file_size);
    }
    const long bn = tavix_buffer_get_data(resp, &piece, nullptr, 0, nullptr, 0);
    if (bn > 0) {
        *body = piece;
        *body_length = uint32_t(bn);
    }
    return 0;
}

void tavix_engine_raw_handler_free_dispatcher(tavix_connection *c) {
    // The host may reuse or free the record: a poll still parked on it is
    // unlinked (its body goes back), so no later answer lands on it.
    if (c->in_use) tavix_engine_session_unlink_connection(c);
    FreeChain(c->send_head);
    tavix_buffer_free(c->recv);
    tavix_buffer_free(c->pending);
    const tavix_identity_cb identity = c->identity;
    *c = tavix_connection{};
    c->sock = -1;
    c->identity = identity;
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
