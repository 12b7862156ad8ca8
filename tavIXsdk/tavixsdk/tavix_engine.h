// The web server's request engine: frames received bytes into HTTP/1.0
// requests, dispatches GET and HEAD to the static files of the web root and
// POST to the method interface, and builds the responses every handler uses.
#pragma once

#include <cstdint>

#include "tavIXsdk/tavixsdk/tavix_buffer.h"
#include "tavIXsdk/tavixsdk/tavix_comm.h"

// Hooks of the later server parts and of the application; unset hooks grant
// access, answer nothing themselves, and give POST the "not implemented" answer.
struct tavix_engine_hooks_t {
    // Access check of a request: 1 granted, 0 when *response holds the refusal.
    int (*access)(tavix_connection *c, const char *method, const char *url, tavix_buffer *request,
                  tavix_buffer **response);
    // The application's hook for its own URLs: nonzero when it answered in
    // *response. It sets *keep_request when it keeps the request buffer (the
    // server then leaves it alone); user is the request's user name ("" for none).
    int (*request)(const char *method, const char *url, tavix_connection *c, tavix_buffer *request,
                   tavix_buffer **response, bool *keep_request, const char *user);
    // POST to the method interface; answers the response (or null when it answers later).
    tavix_buffer *(*post)(tavix_connection *c, const char *url, tavix_buffer *request);
    // The application's look at each answer of a GET, HEAD or POST before it
    // is sent (response null when the handler answers later).
    void (*response)(const char *method, const char *url, tavix_connection *c, tavix_buffer *response);
    // UTC seconds of the controller's clock for the Date line; unset: the host clock.
    uint32_t (*utc_now)();
};
extern tavix_engine_hooks_t tavix_engine_hooks;

// The Content-Length of a header (length bytes up to its blank line), for
// requests and for the answers of remote servers alike: -1 when absent, -2
// when negative, above the request limit or not a number.
long tavix_engine_content_length(const char *header, uint32_t length);

// The dispatcher's receive callback: frames and handles, queues the answers.
void tavix_engine_receive_comm_data(tavix_connection *c, tavix_buffer *received);
// 0, or -1 after marking the connection to be closed.
int tavix_engine_handle_data(tavix_connection *c, tavix_buffer **pending, tavix_buffer *received);
tavix_buffer *tavix_engine_handle_request(tavix_connection *c, tavix_buffer *request);
// A response buffer holding the status line and the common header lines
// (not yet ended by the blank line).
tavix_buffer *tavix_engine_initialize_response(int status, const char *reason, bool keep_alive);
tavix_buffer *tavix_engine_initialize_response_mtsafe(int status, const char *reason, bool keep_alive);
// An unpooled content buffer of 512 bytes for a worker thread's answer.
tavix_buffer *tavix_engine_get_content_buffer_mtsafe();
int tavix_engine_initialize_response_fields(tavix_buffer *b, int status, const char *reason, bool keep_alive);
// An HTML error page (header alone when header_only).
tavix_buffer *tavix_engine_not_available_err(const char *entity, int status, const char *reason, bool keep_alive,
                                             bool header_only);
// The access check of a request (the access hook; granted without one),
// after its connection's keep-alive flag is cleared: 1 granted, 0 with the
// refusal (401 or 403) in *response.
int tavix_engine_handle_request_header(tavix_connection *c, const char *method, const char *url, tavix_buffer *request,
                                       tavix_buffer **response);
// A request towards a remote server: "POST path HTTP/1.0" and its line end,
// header lines to follow; then its content chained behind the header's
// "Content-Type" (when a type is given), "Content-Length" and blank line.
tavix_buffer *tavix_engine_initialize_request(const char *path);
// 0, or -1 when the header cannot hold the lines.
int tavix_engine_chain_content(tavix_buffer *header, tavix_buffer *content, const char *type);
// 200 with the JSON body chained.
tavix_buffer *tavix_engine_construct_json_response(tavix_buffer *body);
// *keep_request is set when the request hook kept the request buffer.
tavix_buffer *tavix_engine_handle_head_get_request(const char *url, uint32_t url_length, bool header_only,
                                                   const char *web_root, tavix_connection *c, tavix_buffer *request,
                                                   bool *keep_request = nullptr);
const char *tavix_engine_find_mimetype(const char *extension);
// The value of a header field of a request (case-insensitive name with its
// colon and blank, e.g. "Accept-Encoding: "); its length in *length, or null.
const char *tavix_engine_header_field(const tavix_buffer *request, const char *name, uint32_t *length);
