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

// An item's room of its own for its first frames (and their references), a
// frame's for its first items: most never need more, and take no allocation.
constexpr uint32_t TAVIX_ITEM_INLINE_FRAMES = 4, TAVIX_FRAME_INLINE_ITEMS = 32;

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
    tavix_frame *inline_frames[TAVIX_ITEM_INLINE_FRAMES];  // frames and refs point here until they grow
    struct tavix_publish_item *inline_refs[TAVIX_ITEM_INLINE_FRAMES];
};

struct tavix_frame {
    char id[9];
    tavix_session *owner;
    tavix_frame *next;  // the session's frame list
    tavix_item **items;
    uint32_t count, cap;
    tavix_item *inline_items[TAVIX_FRAME_INLINE_ITEMS];  // items points here until it grows
};

// A notification queued for "publish": one allocation, this header and then
// the variable part (vars) holding copies of all its texts, sized to them.
// Positions in vars are kept + 1 (0: absent).
struct tavix_publish_item {
    tavix_publish_item *next, *prev;
    tavix_item *item;        // none for user information
    uint32_t kind;           // 0 user information, 1 data, 2 alarm
    tavix_data_value value;  // a text value's characters are at the start of vars
    tavix_timestamp stamp;
    int32_t status;     // data: status; alarm: state
    uint32_t priority;  // alarm
    uint32_t address;   // data and alarm: the address text
    uint32_t username;  // the user name
    uint32_t ids;       // data and alarm: frame ids, each NUL-terminated, ended by an empty one
    // Packed localized strings (language NUL text NUL ..., ended by an empty
    // language; NUL text for a plain text): data description, alarm event text.
    uint32_t description, eventtext;
    uint32_t display;  // alarm display text
    uint32_t rights;   // user information: texts, each NUL-terminated, ended by an empty one
    // User information: named values, each its name (NUL-terminated) and
    // then its value record's bytes; a text value points further into vars.
    uint32_t values, value_count;
    uint32_t vars_size;
    char *vars;  // just after this header, in the same allocation
};

// Alarm fields of the answer functions; null pointers are absent members.
struct tavix_alarm_fields {
    const tavix_data_value *value;
    const tavix_timestamp *stamp;
    uint32_t state, priority;
    const tavix_localized *eventtext;  // ended by a null text
    const char *display;
    const char *username;
};

// A filter of a query or filter subscription: field name, the value's text
// before its ':' and after it.
struct tavix_filter {
    const char *name, *op, *value;
};
// What "subscribefilter" hands on with its filter item.
struct tavix_filter_args {
    const char *aggregation;
    const char *interval;
    const tavix_filter *filters;  // ended by a null name
};

// Request record handed to the application's callbacks.
enum : uint32_t {
    TAVIX_REQ_READ = 0,
    TAVIX_REQ_WRITE = 1,
    TAVIX_REQ_SUBSCRIPTION = 2,
    TAVIX_REQ_LIST_PI = 3,
    TAVIX_REQ_READ_PI = 4,
    TAVIX_REQ_USER = 5,
    TAVIX_REQ_QUERY = 6,
    TAVIX_REQ_HISTORY = 7
};
struct tavix_request {
    uint32_t kind;
    tavix_buffer *body;
    uint32_t first;  // no element written yet
    uint32_t first_index;
    tavix_session *session;
    tavix_frame *frame;
    tavix_item *item;
    int32_t error;
    const char *username;  // user information: the user it names (null: none)
    // The body could not grow (3 or 4 given once): the answer ends there, and
    // every later element is refused the same way, so that no element comes
    // out of line with its address.
    int32_t ended;
};
// A request record of a kind writing into body (null for notifications).
tavix_request tavix_request_make(uint32_t kind, tavix_buffer *body, tavix_session *s);

// The application's data callbacks. user is the session's user data
// (tavix_engine_session_get_user_data), null without one.
struct tavix_data_callbacks_t {
    // Appends one element per address through tavix_data_read_return.
    void (*read)(tavix_request *r, const void *user, const char *address);
    // Appends one element per pair through tavix_data_write_return.
    void (*write)(tavix_request *r, const void *user, const char *address, const char *value, uint32_t length);
    // Subscribes an address: the application handle, the keeps-references flag, the status.
    int (*subscribe)(tavix_item *item, const void *user, const char *address, void **handle, uint32_t *keeps_refs,
                     int *status);
    int (*unsubscribe)(void *handle, int *status);
    // Batches of at most 32 addresses (pairs), the lists ended by null; one
    // element per address, in order. Preferred to the single-item callbacks.
    void (*read_multi)(tavix_request *r, const void *user, const char *const *addresses);
    void (*write_multi)(tavix_request *r, const void *user, const char *const *addresses, const char *const *values,
                        const uint32_t *lengths);
    // Nonzero for an address the application would answer later: the request is refused with 302.
    int (*deferred)(const char *address);
    // The process image, called once per request: elements through
    // tavix_read_processimage_return and tavix_list_processimage_return.
    void (*read_process_image)(tavix_request *r, const void *user, const void *none);
    void (*list_process_image)(tavix_request *r, const void *user, const void *none);
    // Alarm items: subscribe and unsubscribe as for data; the current alarm of
    // an item for a frame that joins it, through tavix_alarm_read_return.
    int (*alarm_subscribe)(tavix_item *item, const void *user, const char *address, void **handle, uint32_t *keeps_refs,
                           int *status);
    int (*alarm_unsubscribe)(void *handle, int *status);
    void (*alarm_read)(tavix_request *r, const void *user, const char *address);
    // Filter items of "subscribefilter"; notifications through the filter notify functions.
    int (*filter_subscribe)(tavix_item *item, const void *user, const char *aggregation, double interval,
                            const tavix_filter *filters, void **handle, int *status);
    int (*filter_unsubscribe)(void *handle, int *status);
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
// Where items, frames, their arrays and notifications get their memory
// (realloc's contract); replaced only by tests.
extern void *(*tavix_subs_realloc)(void *p, std::size_t size);

int tavix_engine_subscriptions_init();
// Empties the map (an item still in it is freed).
void tavix_engine_subscriptions_clear();
void tavix_engine_subscriptions_free();
uint32_t tavix_name_hash(const char *name);
tavix_item *tavix_engine_subscription_item_get(const char *name, bool create);
// Takes an item out of the map, its grown arrays freed; the item recycled
// (fewer than 128 are, with a name buffer under 129 bytes) or freed. 0, or
// -1 when the map does not hold it.
int tavix_engine_subscription_item_remove(tavix_item *item);
tavix_frame *tavix_engine_subscription_frame_alloc();
// pass 1 measures, pass 2 writes, any other acts at once; 0 or -1 with *error.
// A filter item (kind 2) takes its generated name and hands filter to the
// filter subscribe callback.
int tavix_engine_subscription_frame_subscribe_item(tavix_frame *f, uint32_t kind, const char *name, tavix_item **out,
                                                   int pass, int *error, const tavix_filter_args *filter = nullptr);
// 0 with the unsubscribe callback's code in *error (0 when the item keeps
// other frames or no callback ran), or -1 with 460 when the frame does not
// hold the item.
int tavix_engine_subscription_frame_unsubscribe_item(tavix_frame *f, tavix_item *item, bool no_callback, int *error);
// Lets every item of the frame go, each item's unsubscribe callback running
// when its last frame goes; the last nonzero code of those callbacks in
// *error. 0.
int tavix_engine_subscription_frame_unsubscribe_all(tavix_frame *f, int *error);
// Detaches the frame from the items it still holds (no callback) and frees it.
void tavix_engine_subscription_frame_free(tavix_frame *f);
tavix_item *tavix_engine_frame_find_item(const tavix_frame *f, const char *name);

// Answer interface: 0 appended, 1 no record (or a required argument
// missing), 2 other kind, 3 too long (error 304), 4 no memory (error 900).
// Kind 0 read element; kind 2 the notification of a subscription.
int tavix_data_read_return(tavix_request *r, const tavix_data_value *value, const tavix_timestamp *stamp,
                           int32_t status, const tavix_localized *description, const char *username, int32_t error);
// Kind 4: the read element.
int tavix_read_processimage_return(tavix_request *r, const tavix_data_value *value, const tavix_timestamp *stamp,
                                   int32_t status, const tavix_localized *description, const char *username,
                                   int32_t error);
int tavix_data_write_return(tavix_request *r, int32_t error);
// Kind 3: {"address":"..."}.
int tavix_list_processimage_return(tavix_request *r, const char *address);
// Kind 7; address, value and timestamp required.
int tavix_read_history_return(tavix_request *r, const char *address, const tavix_data_value *value,
                              const tavix_timestamp *stamp, int32_t status, const tavix_localized *description,
                              const char *username);
// Kind 6, the elements of a query filter answer.
int tavix_event_filter_read_return(tavix_request *r, const char *address, const tavix_timestamp *stamp,
                                   const tavix_data_value *value, const tavix_localized *eventtext,
                                   const char *username);
int tavix_alarm_filter_read_return(tavix_request *r, const char *address, const tavix_timestamp *stamp, uint32_t state,
                                   uint32_t priority, const tavix_data_value *value, const tavix_localized *eventtext,
                                   const char *display, const char *username);
int tavix_data_filter_read_return(tavix_request *r, const char *address, const tavix_data_value *value,
                                  const tavix_timestamp *stamp, int32_t status, const tavix_localized *description,
                                  const char *username);
// Kind 2: the alarm notification of a subscription.
int tavix_alarm_read_return(tavix_request *r, const tavix_alarm_fields *alarm, int32_t error);
// Kind 5: a user-information notification for the request's session: its
// user name, the texts (the rights) and the named values, lists ended by null.
int tavix_user_info_return(tavix_request *r, const char *const *texts, const char *const *names,
                           const tavix_data_value *values);
// A change of an item: one notification for every session holding it.
void tavix_data_notify(tavix_item *item, const tavix_data_value *value, const tavix_timestamp *stamp, int32_t status,
                       const tavix_localized *description = nullptr, const char *username = nullptr);
void tavix_alarm_notify(tavix_item *item, const tavix_alarm_fields *alarm);
// As the two above, with the address text given instead of the item's name.
void tavix_data_filter_notify(tavix_item *item, const char *address, const tavix_data_value *value,
                              const tavix_timestamp *stamp, int32_t status, const tavix_localized *description,
                              const char *username);
void tavix_alarm_filter_notify(tavix_item *item, const char *address, const tavix_alarm_fields *alarm);

// Measures (null dst) or writes JSON through the writer's functions.
struct tavix_json_out {
    char *dst;
    std::size_t room;
    std::size_t o;
    char *at() const { return dst != nullptr && o < room ? dst + o : nullptr; }
    std::size_t left() const { return o < room ? room - o : 0; }
    void raw(const char *t);
    void add(long n) { o += std::size_t(n > 0 ? n : 0); }
    void string(const char *t) { add(tavix_json_put_string(at(), left(), t, -1)); }
};

// Session queues.
int tavix_engine_session_insert_notification(tavix_session *s, tavix_publish_item *n, int *code);
void tavix_engine_session_clear_notification_queue(tavix_session *s);
// {"result":[...],"remaining":N} into body.
int tavix_engine_session_do_publish(tavix_session *s, uint32_t max_results, tavix_buffer *body);
long tavix_engine_publish_item_serialize(const tavix_publish_item *n, char *dst, std::size_t size);
