// The POST method handlers of the web server and the long-poll answers.
#pragma once

#include <cstdint>

#include "tavIXsdk/tavixsdk/tavix_session.h"

// Callbacks of the methods the application may offer; unset ones give their
// method's code ("info" lists only what is set).
struct tavix_method_callbacks_t {
    int (*history)(void *request, const void *user, const char *const *addresses);
    int (*query_filter)(void *request, const void *user);
    int (*accept_alarm)(const void *user, const char *address, int *code);
    int (*change_password)(const char *user, const char *old_password, const char *new_password, int *code);
    bool filter_subscribe, alarm_subscribe, list_process_image;
};
extern tavix_method_callbacks_t tavix_method_callbacks;

// Installs every handler in the POST method table.
void tavix_methods_register();
// Long polls: a session's parked "publish" answered now.
void tavix_engine_session_answer_parked(tavix_session *s);
// The server tick's long-poll pass: parked polls with notifications, or
// parked for half their session's timeout, are answered.
void tavix_engine_session_tick(uint64_t now);
