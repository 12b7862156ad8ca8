// The POST method handlers of the web server and the long-poll answers.
#pragma once

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

// Installs every handler in the POST method table.
void tavix_methods_register();
// Long polls: a session's parked "publish" answered now. Without a
// response buffer its body goes back to the pool, and when the server tick
// answers, the session is torn down.
void tavix_engine_session_answer_parked(tavix_session *s, bool from_tick);
// The server tick's long-poll pass: parked polls with notifications, or
// parked for half their session's timeout, are answered.
void tavix_engine_session_tick(uint64_t now);
