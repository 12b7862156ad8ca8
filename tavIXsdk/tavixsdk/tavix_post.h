// POST methods of the web server: the form-encoded field dictionary, the
// method table, the "X-TavIX" session check and the JSON answers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tavIXsdk/tavixsdk/tavix_buffer.h"
#include "tavIXsdk/tavixsdk/tavix_comm.h"
#include "tavIXsdk/tavixsdk/tavix_session.h"

enum tavix_method : uint32_t {
    TAVIX_M_NONE = 0,
    TAVIX_M_ACCEPTALARM,
    TAVIX_M_CHANGEPASSWORD,
    TAVIX_M_CREATESESSION,
    TAVIX_M_CREATESUBSCRIPTION,
    TAVIX_M_DELETESESSION,
    TAVIX_M_DELETESUBSCRIPTION,
    TAVIX_M_INFO,
    TAVIX_M_LISTPROCESSIMAGE,
    TAVIX_M_LOGIN,
    TAVIX_M_LOGOUT,
    TAVIX_M_PUBLISH,
    TAVIX_M_QUERYFILTER,
    TAVIX_M_READ,
    TAVIX_M_READHISTORY,
    TAVIX_M_READPROCESSIMAGE,
    TAVIX_M_SUBSCRIBEALARM,
    TAVIX_M_SUBSCRIBEDATA,
    TAVIX_M_SUBSCRIBEFILTER,
    TAVIX_M_UNSUBSCRIBEALARM,
    TAVIX_M_UNSUBSCRIBEDATA,
    TAVIX_M_UNSUBSCRIBEFILTER,
    TAVIX_M_WRITE,
    TAVIX_M_COUNT
};

struct tavix_post_method {
    const char *name;
    tavix_method number;
    uint32_t method_class;
    bool needs_session;
};
extern const tavix_post_method post_method_types[TAVIX_M_COUNT - 1];

// A method handler: answers the response (null when it answers later and
// keeps the request, setting *keep).
using tavix_post_handler = tavix_buffer *(*)(tavix_connection *c, tavix_session *s, tavix_buffer *request, bool *keep);
// Handlers by method number; an unset one answers 501 "Not implemented".
extern tavix_post_handler tavix_post_handlers[TAVIX_M_COUNT];

tavix_buffer *tavix_engine_handle_post_request(tavix_connection *c, const char *url, tavix_buffer *request);
// The session a request's "X-TavIX" value names (length bytes, not
// NUL-terminated; null when the request has none): 0 and no session when the
// value is absent or the level option is 0; otherwise the code of the
// session check (0 with the session, its index and any remote target).
struct tavix_remote_session;
int tavix_engine_get_session(const char *value, uint32_t length, tavix_session **out, int *index, int *remote_index,
                             tavix_remote_session **remote);
// Method number, or 0 when unknown or above the level option.
tavix_method tavix_engine_get_post_request_method(const char *name, std::size_t length);
// Parses the form-encoded body into the request's field dictionary; 0 or -1.
int tavix_engine_parse_form(tavix_buffer *request, uint32_t body_start);
// {"error":code,"errorstring":"text"} in a 200 JSON response.
tavix_buffer *tavix_engine_construct_json_error_response(int code);
// The same, with {} for a code of 0 (the answer of a method without a result).
tavix_buffer *tavix_engine_construct_json_on_error_response(int code);
// The JSON text of a code: the table's text as a string; from 10000 (the
// application's codes) the application's texts (pairs of language and text
// as an object, else one string), else the table's or 506's text. Measures
// with a null dst; answers the length.
long tavix_util_write_errstrings(char *dst, std::size_t room, int32_t code);
// "error":code[,"errorstring":text]; measures with a null dst, writes
// nothing when room is short; answers the length.
long tavix_util_write_error_members(char *dst, std::size_t room, int32_t code);
// Appends "error":code[,"errorstring":text] to a body; 0 or 1.
int tavix_json_put_error_strings(tavix_buffer *body, int code);
