// Subscriptions of the web server: one dictionary of subscribed items, each
// with the frames that hold it; the notifications queued in the sessions for
// "publish"; and the answer interface through which the application appends
// read and write elements and reports value changes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tavIXsdk/tavixsdk/tavix_buffer.h"
#include "tavIXsdk/tavixsdk/tavix_json.h"
#include "tavIXsdk/tavixsdk/tavix_session.h"

struct tavix_frame;

struct tavix_item {
    tavix_item *next;  // recycled list
    char *name;
    uint32_t name_size;
    uint32_t hash;
    void *app_handle;
    uint32_t kind;  // 0 data, 1 alarm, 2 filter
    uint32_t keeps_refs;
    int32_t subscribe_result;
    tavix_frame **frames;
    struct tavix_publish_item **refs;  // per frame: the session's queued notification
    uint32_t frame_count, frame_cap;
    uint32_t subscribers;
};

struct tavix_frame {
    char id[9];
    tavix_session *owner;
    tavix_frame *next;  // the session's frame list
    tavix_item **items;
    uint32_t count, cap;
};

struct tavix_publish_item {
    tavix_publish_item *next, *prev;
    tavix_item *item;
    uint32_t kind;  // 0 user information, 1 data, 2 alarm
    tavix_data_value value;
    tavix_timestamp stamp;
    int32_t status;
    char address[256];
    char username[64];
    char ids[256];  // frame ids, each NUL-terminated, ended by an empty one
    char text[256]; // a text value's characters
};

// Request record handed to the application's callbacks.
enum : uint32_t { TAVIX_REQ_READ = 0, TAVIX_REQ_WRITE = 1, TAVIX_REQ_SUBSCRIPTION = 2, TAVIX_REQ_LIST_PI = 3,
                  TAVIX_REQ_READ_PI = 4, TAVIX_REQ_USER = 5, TAVIX_REQ_QUERY = 6, TAVIX_REQ_HISTORY = 7 };
struct tavix_request {
    uint32_t kind;
    tavix_buffer *body;
    uint32_t first;  // no element written yet
    uint32_t first_index;
    tavix_session *session;
    tavix_frame *frame;
    tavix_item *item;
    int32_t error;
};

// The application's data callbacks.
struct tavix_data_callbacks_t {
    // Appends one element per address through tavix_data_read_return.
    void (*read)(tavix_request *r, const void *user, const char *address);
    // Appends one element per pair through tavix_data_write_return.
    void (*write)(tavix_request *r, const void *user, const char *address, const char *value, uint32_t length);
    // Subscribes an address: the application handle, the keeps-references flag, the status.
    int (*subscribe)(tavix_item *item, const void *user, const char *address, void **handle, uint32_t *keeps_refs,
                     int *status);
    int (*unsubscribe)(void *handle, int *status);
};
extern tavix_data_callbacks_t tavix_data_callbacks;

struct tavix_subscription_map_t {
    tavix_item **items;
    uint32_t count, cap;
    tavix_item *recycled;
    uint32_t recycled_count;
    uint32_t next_frame;
    uint32_t filter_counter;
};
extern tavix_subscription_map_t tavix_subscription_map;

int tavix_engine_subscriptions_init();
void tavix_engine_subscriptions_free();
uint32_t tavix_name_hash(const char *name);
tavix_item *tavix_engine_subscription_item_get(const char *name, bool create);
tavix_frame *tavix_engine_subscription_frame_alloc();
// pass 1 measures, pass 2 writes, any other acts at once; 0 or -1 with *error.
int tavix_engine_subscription_frame_subscribe_item(tavix_frame *f, uint32_t kind, const char *name,
                                                   tavix_item **out, int pass, int *error);
int tavix_engine_subscription_frame_unsubscribe_item(tavix_frame *f, tavix_item *item, bool no_callback, int *error);
// Lets every item of the frame go (the callback when its last frame went) and frees the frame.
int tavix_engine_subscription_frame_release(tavix_frame *f);
tavix_item *tavix_engine_frame_find_item(const tavix_frame *f, const char *name);

// Answer interface: 0 appended, 1 no record, 2 other kind, 3 too long (304), 4 no memory (900).
int tavix_data_read_return(tavix_request *r, const tavix_data_value *value, const tavix_timestamp *stamp,
                           int32_t status, const char *username, int32_t error);
int tavix_data_write_return(tavix_request *r, int32_t error);
// A change of an item: one notification for every session holding it.
void tavix_data_notify(tavix_item *item, const tavix_data_value *value, const tavix_timestamp *stamp,
                       int32_t status);

// Session queues.
int tavix_engine_session_insert_notification(tavix_session *s, tavix_publish_item *n, int *code);
void tavix_engine_session_clear_notification_queue(tavix_session *s);
// {"result":[...],"remaining":N} into body.
int tavix_engine_session_do_publish(tavix_session *s, uint32_t max_results, tavix_buffer *body);
long tavix_engine_publish_item_serialize(const tavix_publish_item *n, char *dst, std::size_t size);
