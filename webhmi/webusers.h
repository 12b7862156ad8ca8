// The controller's callbacks for the web HMI server: users and their rights
// from "security.cfg", the password digests, the web users logged in (ESR17
// bit 4), the user agreement list, the request hook of the controller's own
// POST methods, and reads, writes and subscriptions of the variable table.
#pragma once

#include <atomic>
#include <cstdint>

#include "tavIXsdk/tavixsdk/tavix_auth.h"
#include "tavIXsdk/tavixsdk/tavix_json.h"
#include "webhmi/webvars.h"

constexpr uint32_t WEB_USERS_MAX = 255;
constexpr uint32_t WEB_RIGHTS = 8;                         // "Right0" .. "Right7"
constexpr uint32_t Tavix_login_status_token = 0x10030103;  // ESR17 bit 4

struct WebUser {
    char *name;
    char *password;  // HA1 as 32 hexadecimal digits
    uint8_t third;
    uint8_t level;
};
struct WebUserTable {
    char *realm;
    WebUser users[WEB_USERS_MAX];
    uint32_t count;
};
extern WebUserTable user_access_rights_list;
// Where a web write of %SR1 is also noted (the executive's last local user).
extern uint16_t *web_last_local_user;
extern const char *const access_levels[WEB_RIGHTS];

struct WebLoginRecord {
    uint32_t spare[2];
    uint32_t time;  // UTC seconds
    uint32_t session;
    char name[17];
};
struct WebLoginList {
    WebLoginRecord entries[4];
    uint32_t extra[2];
    uint8_t count;
};
extern WebLoginList user_details_list;
extern std::atomic<uint8_t> login_flag;
extern uint8_t TavixLoginStatus;
extern char Tavix_LoggedUsers[256][16];
// Number of logged-in web users, kept with the login records; read by the
// system registers from main.
extern std::atomic<uint32_t> tavix_LoggedUsers;

// Reads "security.cfg" (a missing file leaves no users).
void tavix_get_acccess_rights();
void tavix_acccess_rights_clear();
// Parses the text of "security.cfg"; exposed for tests.
void tavix_parse_access_rights(const char *text, std::size_t n);
// The user's stored password field into field (room for 34 bytes), or 405.
int tavix_authentication_digest_cb(const tavix_identity *who, const char *password, char *field, int *status);
// Rights of a user: "Right0" up to its level, then null; none when unknown.
uint32_t tavix_authentication_user_rights(const tavix_identity *who, const char **rights, uint32_t room);
// The rights of the user through tavix_user_info_return (none when unknown or no user).
void tavix_authentication_user_info_cb(void *context, const tavix_identity *who);
int tavix_access_cb(const char *method, const char *url, void *context, const tavix_identity *who, int *code);

void tavix_add_user_login_details(uint32_t session, const char *name, uint32_t time);
void tavix_delete_user_login_details(uint32_t session);
void tavix_invalidate_all_user_login_details();
void tavix_clear_user_login_details();
void tavix_read_update_already_logged_users();
long tavix_check_already_logged_users(const char *name);
// 1 accepted now (and appended to the file), 0 already in the list, no name,
// or not written (a name holding ":", a file that cannot be opened).
int tavix_update_accepted_license_users(const char *name);

// The request hook: answers Ping and the user agreement POSTs.
int request_hook_callback(const char *method, const char *url, tavix_connection *c, tavix_buffer *request,
                          tavix_buffer **response, bool *keep_request, const char *user);

// Item access on the variable table; answers the status (0, 301, 304, 10000).
uint32_t tavix_read_item(const char *address, tavix_data_value *value, tavix_timestamp *stamp);
uint32_t tavix_write_item(const char *address, const char *text, uint32_t length);
// Subscribes an address for a subscription handle; the status, with the
// record in *item.
uint32_t tavix_subscribe_item(void *subscription, const char *address, WebVariable **item);
void tavix_unsubscribe_item(WebVariable *item);

// The server's data callbacks on the variable table.
struct tavix_request;
struct tavix_item;
void tavix_read_data_simple_cb(tavix_request *r, const void *user, const char *address);
void tavix_write_data_simple_cb(tavix_request *r, const void *user, const char *address, const char *value,
                                uint32_t length);
// Each address (pair) of a batch through the single-item callback, in order.
void tavix_read_data_multi_cb(tavix_request *r, const void *user, const char *const *addresses);
void tavix_write_data_multi_cb(tavix_request *r, const void *user, const char *const *addresses,
                               const char *const *values, const uint32_t *lengths);
int tavix_subscribe_data_cb(tavix_item *item, const void *user, const char *address, void **handle,
                            uint32_t *keeps_refs, int *status);
int tavix_unsubscribe_data_cb(void *handle, int *status);
// A changed variable to the server's subscribers.
void tavix_variable_notify(void *subscription, const tavix_data_value *value, const tavix_timestamp *stamp,
                           uint32_t status);
