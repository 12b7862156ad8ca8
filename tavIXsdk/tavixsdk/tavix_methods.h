// The POST method handlers of the web server and the long-poll answers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tavIXsdk/tavixsdk/tavix_session.h"
#include "tavIXsdk/tavixsdk/tavix_subs.h"

// Callbacks of the methods the application may offer; unset ones give their
// method's code ("info" lists only what is set). user is the session's user
// data (tavix_engine_session_get_user_data), null without one.
struct tavix_history_args {
    uint64_t start_s, start_ns, end_s, end_ns;
    bool bounds;
    const char *aggregation;
};
struct tavix_method_callbacks_t {
    // Appends one element per address (at most 32 a call) through the answer interface.
    int (*history)(tavix_request *r, const void *user, const char *const *addresses, const tavix_history_args *a);
    // Runs on the query-filter worker with its own copy of the user data; filters end with a null name.
    int (*query_filter)(tavix_request *r, const void *user, const char *aggregation, double interval,
                        const tavix_filter *filters);
    int (*accept_alarm)(const void *user, const char *address, int *code);
    int (*change_password)(const char *user, const char *old_password, const char *new_password, int *code);
    // Texts of the application's own codes (10000 and above): one text, or
    // pairs of language and text (their count, at most room).
    const char *(*error_text)(int32_t code);
    uint32_t (*error_text_ex)(int32_t code, tavix_localized *pairs, uint32_t room);
};
extern tavix_method_callbacks_t tavix_method_callbacks;

// Query-filter jobs waiting for the worker (at most 4).
constexpr uint32_t TAVIX_QUERY_JOBS = 4;
uint32_t tavix_engine_query_jobs_waiting();
// Drops every waiting job unanswered (the server stops: the connections
// they name are gone, and their ids start again at 1).
void tavix_engine_query_jobs_clear();
// One pass of the query-filter worker: answers the job at the head; 1 when it took one.
int tavix_engine_query_filter_step();
// Starts the worker in a thread slot (it polls its queue every 20 ms).
int tavix_engine_start_deferred_query_filter_threads();
// History reads are answered at once: no worker is started. 0.
int tavix_engine_start_deferred_rdhst_threads();

// Installs every handler in the POST method table.
void tavix_methods_register();

// The handlers of the method table (the form already parsed into the
// request's field dictionary; the session verified, or null). Each answers
// its JSON response, or null when it answers later and keeps the request
// (setting *keep).
// "read", "write": the addresses (and the n-th value for the n-th address)
// in batches of 32 to the application's callbacks; 502, 503, 302.
tavix_buffer *tavix_engine_handle_read_request(tavix_connection *c, tavix_session *s, tavix_buffer *req, bool *keep);
tavix_buffer *tavix_engine_handle_write_request(tavix_connection *c, tavix_session *s, tavix_buffer *req, bool *keep);
// The batching of a read or write into a request record's body.
void tavix_engine_process_read_request(const tavix_buffer *req, tavix_request *r, const void *user);
void tavix_engine_process_write_request(const tavix_buffer *req, tavix_request *r, const void *user);
// 1 when the application's deferred-address callback claims an "address[]" value.
int tavix_engine_contains_deferred_addresses(const tavix_buffer *req);
tavix_buffer *tavix_engine_handle_readprocessimage_request(tavix_connection *c, tavix_session *s, tavix_buffer *req,
                                                           bool *keep);
tavix_buffer *tavix_engine_handle_listprocessimage_request(tavix_connection *c, tavix_session *s, tavix_buffer *req,
                                                           bool *keep);
tavix_buffer *tavix_engine_handle_info_request(tavix_connection *c, tavix_session *s, tavix_buffer *req, bool *keep);
tavix_buffer *tavix_engine_handle_create_session_request(tavix_connection *c, tavix_session *s, tavix_buffer *req,
                                                         bool *keep);
tavix_buffer *tavix_engine_handle_delete_session_request(tavix_connection *c, tavix_session *s, tavix_buffer *req,
                                                         bool *keep);
tavix_buffer *tavix_engine_handle_login_request(tavix_connection *c, tavix_session *s, tavix_buffer *req, bool *keep);
tavix_buffer *tavix_engine_handle_logout_request(tavix_connection *c, tavix_session *s, tavix_buffer *req, bool *keep);
tavix_buffer *tavix_engine_handle_change_password_request(tavix_connection *c, tavix_session *s, tavix_buffer *req,
                                                          bool *keep);
tavix_buffer *tavix_engine_handle_create_subscription_request(tavix_connection *c, tavix_session *s, tavix_buffer *req,
                                                              bool *keep);
// "deletesubscription": the frame's items let go, the last nonzero code of
// their unsubscribe callbacks answered.
tavix_buffer *tavix_engine_handle_remove_subscription_request(tavix_connection *c, tavix_session *s, tavix_buffer *req,
                                                              bool *keep);
// "subscribedata", "subscribealarm" and their unsubscribes: one
// error-strings object per "address[]".
tavix_buffer *tavix_engine_handle_sub_unsubscribe_item_request(tavix_session *s, tavix_buffer *req, bool unsubscribe,
                                                               bool alarm);
tavix_buffer *tavix_engine_handle_publish_request(tavix_connection *c, tavix_session *s, tavix_buffer *req, bool *keep);
// "readhistory" (the batches through tavix_engine_process_read_history_request,
// closed by the "more" footer when an element did not fit).
tavix_buffer *tavix_engine_handle_read_history_request(tavix_connection *c, tavix_session *s, tavix_buffer *req,
                                                       bool *keep);
void tavix_engine_process_read_history_request(const tavix_buffer *req, tavix_request *r, const void *user);
// "queryfilter": queued for the worker (tavix_engine_handle_deferred_query_filter_request,
// the loop of its thread slot).
tavix_buffer *tavix_engine_handle_query_filter_request(tavix_connection *c, tavix_session *s, tavix_buffer *req,
                                                       bool *keep);
void tavix_engine_handle_deferred_query_filter_request(int slot, void *arg);
// "acceptalarm": the writer measures (null dst) or writes {"result":[...]}
// with one error-strings object per code ({} for 0), leaving out the
// elements that do not fit size; answers the length.
tavix_buffer *tavix_engine_handle_accept_alarm_request(tavix_connection *c, tavix_session *s, tavix_buffer *req,
                                                       bool *keep);
long tavix_engine_write_handle_accept_alarm_request(char *dst, std::size_t size, const int *codes, uint32_t count);
tavix_buffer *tavix_engine_handle_subscribe_filter_request(tavix_connection *c, tavix_session *s, tavix_buffer *req,
                                                           bool *keep);
// "unsubscribefilter": the writer measures (null dst, nothing let go) or
// writes one element per "serverhandle[]", letting go of the frame's filter
// items whose elements fit size (460 for a handle the frame does not hold).
tavix_buffer *tavix_engine_handle_unsubscribe_filter_request(tavix_connection *c, tavix_session *s, tavix_buffer *req,
                                                             bool *keep);
long tavix_engine_write_handle_unsubscribe_filter_request(char *dst, std::size_t size, const tavix_buffer *req,
                                                          tavix_frame *f);
// Long polls: a session's parked "publish" answered now. Without a
// response buffer its body goes back to the pool, and when the server tick
// answers, the session is torn down.
void tavix_engine_session_answer_parked(tavix_session *s, bool from_tick);
// The session-level work of "login", "logout" and "changepassword": the
// answer's code (0: {}).
int tavix_engine_session_login(tavix_session *s, tavix_buffer *req);
void tavix_engine_session_logout(tavix_session *s);
int tavix_engine_session_change_password(tavix_session *s, tavix_buffer *req);
// True while the connection that parked the session's poll still holds its record.
bool tavix_engine_session_parked_alive(const tavix_session *s, const tavix_connection *c);
// A connection record that ends or is handed to another request: the poll it
// waits on is unlinked and its body given back.
void tavix_engine_session_unlink_connection(tavix_connection *c);
// The server tick's long-poll pass: parked polls with notifications, or
// parked for half their session's timeout, are answered.
void tavix_engine_session_tick(uint64_t now);
