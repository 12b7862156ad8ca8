// Subscribed items, frames, notifications and the answer interface.
#include "tavIXsdk/tavixsdk/tavix_subs.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>

#include "tavIXsdk/tavixsdk/tavix_post.h"
#include "tavIXsdk/tavixsdk/tavix_sys.h"
#include "tavIXsdk/tavixsdk/tavix_util.h"

tavix_data_callbacks_t tavix_data_callbacks;
tavix_subscription_map_t tavix_subscription_map;
void *(*tavix_subs_realloc)(void *p, std::size_t size) = std::realloc;

namespace {

auto &M = tavix_subscription_map;

// Zeroed memory through the allocator of subscriptions.
void *Zeroed(std::size_t size) {
    void *p = tavix_subs_realloc(nullptr, size);
    if (p != nullptr) std::memset(p, 0, size);
    return p;
}

int Compare(uint32_t h, const char *name, const tavix_item *it) {
    if (h != it->hash) return h < it->hash ? -1 : 1;
    return std::strcmp(name, it->name);
}

// Bisection over an array ordered by (hash, name); the index found or where to insert.
tavix_item *Find(tavix_item *const *items, uint32_t count, const char *name, uint32_t h, uint32_t *at) {
    uint32_t lo = 0, hi = count;
    while (lo < hi) {
        const uint32_t mid = (lo + hi) / 2;
        const int c = Compare(h, name, items[mid]);
        if (c == 0) {
            *at = mid;
            return items[mid];
        }
        if (c < 0)
            hi = mid;
        else
            lo = mid + 1;
    }
    *at = lo;
    return nullptr;
}

// An array that has outgrown its inline room: first allocated at twice the
// room, then grown by half; the contents move over. False without memory
// (the array left as it was).
template <typename T>
bool GrowArray(T *&array, T *inline_room, uint32_t count, uint32_t cap, uint32_t n) {
    if (array != inline_room) {
        T *p = static_cast<T *>(tavix_subs_realloc(array, n * sizeof(T)));
        if (p == nullptr) return false;
        array = p;
        return true;
    }
    T *p = static_cast<T *>(tavix_subs_realloc(nullptr, n * sizeof(T)));
    if (p == nullptr) return false;
    std::memcpy(p, array, std::min(count, cap) * sizeof(T));
    array = p;
    return true;
}
uint32_t NextCap(bool in_room, uint32_t cap) { return in_room ? 2 * cap : cap * 3 / 2; }

// Room for one more frame in an item: its frames and their notification
// references grow together (the capacity moves once both have grown).
bool GrowFrames(tavix_item *it) {
    if (it->frame_count < it->frame_cap) return true;
    const bool in_room = it->frames == it->inline_frames;
    const uint32_t n = NextCap(in_room, it->frame_cap);
    if (!GrowArray(it->frames, it->inline_frames, it->frame_count, it->frame_cap, n)) return false;
    if (!GrowArray(it->refs, it->inline_refs, it->frame_count, it->frame_cap, n)) {
        // The frames moved out of the room, the references not: back again.
        if (in_room) {
            std::free(it->frames);
            it->frames = it->inline_frames;
        }
        return false;
    }
    it->frame_cap = n;
    return true;
}

// Room for one more item in a frame.
bool GrowItems(tavix_frame *f) {
    if (f->count < f->cap) return true;
    const uint32_t n = NextCap(f->items == f->inline_items, f->cap);
    if (!GrowArray(f->items, f->inline_items, f->count, f->cap, n)) return false;
    f->cap = n;
    return true;
}

// An item's arrays back in its own room (grown ones freed).
void ItemArraysToRoom(tavix_item *it) {
    if (it->frames != it->inline_frames) std::free(it->frames);
    if (it->refs != it->inline_refs) std::free(it->refs);
    it->frames = it->inline_frames;
    it->refs = it->inline_refs;
    it->frame_cap = TAVIX_ITEM_INLINE_FRAMES;
}
// Frees an item whole.
void ItemFree(tavix_item *it) {
    ItemArraysToRoom(it);
    std::free(it->name);
    std::free(it);
}

}  // namespace

int tavix_engine_subscription_item_remove(tavix_item *it) {
    uint32_t at = 0;
    if (Find(M.items, M.count, it->name, it->hash, &at) != it) return -1;
    for (uint32_t k = at; k + 1 < M.count; k++) M.items[k] = M.items[k + 1];
    M.items[--M.count] = nullptr;
    ItemArraysToRoom(it);
    it->frame_count = 0;
    if (M.recycled_count < 128 && it->name_size < 129) {
        it->next = M.recycled;
        M.recycled = it;
        M.recycled_count++;
    } else {
        std::free(it->name);
        std::free(it);
    }
    return 0;
}

namespace {

long FrameIndex(const tavix_item *it, const tavix_frame *f) {
    for (uint32_t i = 0; i < it->frame_count; i++)
        if (it->frames[i] == f) return long(i);
    return -1;
}

// Unlinks a notification from its session's queue.
void Unlink(tavix_session *s, tavix_publish_item *n) {
    if (n->prev != nullptr)
        n->prev->next = n->next;
    else
        s->queue_head = n->next;
    if (n->next != nullptr)
        n->next->prev = n->prev;
    else
        s->queue_tail = n->prev;
    n->next = n->prev = nullptr;
    s->queue_count--;
}

// Clears every reference an item holds to a notification.
void Forget(tavix_publish_item *n) {
    tavix_item *it = n->item;
    if (it == nullptr || it->refs == nullptr) return;
    for (uint32_t i = 0; i < it->frame_count; i++)
        if (it->refs[i] == n) it->refs[i] = nullptr;
}

// Drops the notification queued for a frame's session, unless another frame of
// that session still holds the item.
void tavix_engine_clear_notifications_of_item(tavix_item *it, uint32_t i) {
    if (!it->keeps_refs || it->refs == nullptr) return;
    const tavix_session *s = it->frames[i]->owner;
    if ((i > 0 && it->frames[i - 1]->owner == s) || (i + 1 < it->frame_count && it->frames[i + 1]->owner == s)) return;
    tavix_publish_item *n = it->refs[i];
    if (n == nullptr || n->item != it || s == nullptr) return;
    pthread_mutex_lock(const_cast<pthread_mutex_t *>(&s->queue_lock));
    Unlink(const_cast<tavix_session *>(s), n);
    pthread_mutex_unlock(const_cast<pthread_mutex_t *>(&s->queue_lock));
    Forget(n);
    std::free(n);
}

void RemoveFrameAt(tavix_item *it, uint32_t i) {
    for (uint32_t k = i; k + 1 < it->frame_count; k++) {
        it->frames[k] = it->frames[k + 1];
        it->refs[k] = it->refs[k + 1];
    }
    it->frame_count--;
    if (it->subscribers > 0) it->subscribers--;
}

void RemoveItemFromFrame(tavix_frame *f, tavix_item *it) {
    uint32_t at = 0;
    if (Find(f->items, f->count, it->name, it->hash, &at) != it) return;
    for (uint32_t k = at; k + 1 < f->count; k++) f->items[k] = f->items[k + 1];
    f->count--;
}

bool AppendText(tavix_buffer *b, const char *text) {
    return tavix_buffer_put_data(b, text, uint32_t(std::strlen(text))) == 0;
}

// What one notification carries; null pointers are absent members.
struct Note {
    uint32_t kind;        // 1 data, 2 alarm
    const char *address;  // null: the item's name
    const tavix_data_value *value;
    const tavix_timestamp *stamp;
    int32_t status;  // alarm: state
    uint32_t priority;
    const tavix_localized *description, *eventtext;
    const char *display, *username;
};

Note DataNote(const char *address, const tavix_data_value *value, const tavix_timestamp *stamp, int32_t status,
              const tavix_localized *description, const char *username) {
    Note d{};
    d.kind = 1;
    d.address = address;
    d.value = value;
    d.stamp = stamp;
    d.status = status;
    d.description = description;
    d.username = username;
    return d;
}

Note AlarmNote(const char *address, const tavix_alarm_fields *a) {
    Note d{};
    d.kind = 2;
    d.address = address;
    if (a == nullptr) return d;
    d.value = a->value;
    d.stamp = a->stamp;
    d.status = int32_t(a->state);
    d.priority = a->priority;
    d.eventtext = a->eventtext;
    d.display = a->display;
    d.username = a->username;
    return d;
}

// The variable part of a notification being built: with no base, the
// texts are only measured (the first of two passes), so that one allocation
// of the right size holds them all.
struct Room {
    char *base;
    std::size_t used;
};

// Copies bytes in: their position + 1.
uint32_t Store(Room &r, const void *bytes, std::size_t length) {
    if (r.base != nullptr) std::memcpy(r.base + r.used, bytes, length);
    const uint32_t at = uint32_t(r.used + 1);
    r.used += length;
    return at;
}
uint32_t StoreText(Room &r, const char *t) { return Store(r, t, std::strlen(t) + 1); }

// A localized list packed as the JSON writer reads it; absent when empty.
uint32_t StoreLocalized(Room &r, const tavix_localized *list) {
    if (list == nullptr || list[0].text == nullptr) return 0;
    if (list[1].text == nullptr && list[0].language == nullptr) {
        const uint32_t at = StoreText(r, "");
        StoreText(r, list[0].text);
        return at;
    }
    const uint32_t at = uint32_t(r.used + 1);
    for (const tavix_localized *p = list; p->text != nullptr; p++) {
        StoreText(r, p->language != nullptr ? p->language : "");
        StoreText(r, p->text);
    }
    StoreText(r, "");
    return at;
}

// Texts, each NUL-terminated, ended by an empty one; an empty list is absent.
uint32_t StoreList(Room &r, const char *const *list) {
    if (list == nullptr || list[0] == nullptr) return 0;
    const uint32_t at = uint32_t(r.used + 1);
    for (const char *const *p = list; *p != nullptr; p++) StoreText(r, *p);
    StoreText(r, "");
    return at;
}

// A value with a text's characters copied into the variable part.
void CopyValue(Room &r, const tavix_data_value *value, tavix_data_value *out) {
    *out = value != nullptr ? *value : tavix_data_value{};
    if (out->kind == TAVIX_DV_TEXT && out->text != nullptr) {
        const uint32_t at = StoreText(r, value->text);
        out->text = r.base != nullptr ? r.base + at - 1 : nullptr;
    }
}

// A notification of the size its texts need, built by fill(header, room)
// once to measure and once to copy; null without memory.
template <typename F>
tavix_publish_item *Build(F fill) {
    tavix_publish_item measure{};
    Room m{nullptr, 0};
    fill(measure, m);
    auto *n = static_cast<tavix_publish_item *>(Zeroed(sizeof(tavix_publish_item) + m.used));
    if (n == nullptr) return nullptr;
    n->vars = reinterpret_cast<char *>(n + 1);
    n->vars_size = uint32_t(m.used);
    Room w{n->vars, 0};
    fill(*n, w);
    return n;
}

tavix_publish_item *Make(tavix_item *it, uint32_t first, uint32_t end, const Note &d) {
    return Build([&](tavix_publish_item &n, Room &r) {
        // Only an item that keeps a reference to its queued notification is
        // reached from it: that reference is dropped (and the notification with
        // it) before the item can go; any other notification outlives its item.
        n.item = it->keeps_refs ? it : nullptr;
        n.kind = d.kind;
        CopyValue(r, d.value, &n.value);
        if (d.stamp != nullptr) n.stamp = *d.stamp;
        n.status = d.status;
        n.priority = d.priority;
        n.address = StoreText(r, d.address != nullptr ? d.address : it->name);
        if (d.username != nullptr) n.username = StoreText(r, d.username);
        n.description = StoreLocalized(r, d.description);
        n.eventtext = StoreLocalized(r, d.eventtext);
        if (d.display != nullptr) n.display = StoreText(r, d.display);
        n.ids = uint32_t(r.used + 1);
        for (uint32_t i = first; i < end; i++) StoreText(r, it->frames[i]->id);
        StoreText(r, "");
    });
}

// Queues a notification for frames [first, end) of one session; false when
// no memory could be had for it.
bool Queue(tavix_item *it, uint32_t first, uint32_t end, const Note &d) {
    tavix_publish_item *n = Make(it, first, end, d);
    if (n == nullptr) {
        tavix_util_error("Out of memory allocating a publish item");
        return false;
    }
    int code = 0;
    tavix_session *s = it->frames[first]->owner;
    if (tavix_engine_session_insert_notification(s, n, &code) != 0) {
        std::free(n);
        return true;
    }
    if (it->keeps_refs)
        for (uint32_t i = first; i < end; i++) it->refs[i] = n;
    return true;
}

// One notification per session holding the item, with that session's frame
// ids; an allocation failure ends the fan-out.
void FanOut(tavix_item *item, const Note &d) {
    if (item == nullptr) return;
    tavix_lock_rw_lock_read(&tavix_session_table.lock);
    for (uint32_t i = 0; i < item->frame_count;) {
        uint32_t end = i + 1;
        while (end < item->frame_count && item->frames[end]->owner == item->frames[i]->owner) end++;
        if (item->frames[i]->owner != nullptr && !Queue(item, i, end, d)) break;
        i = end;
    }
    tavix_lock_rw_unlock_read(&tavix_session_table.lock);
}

// The answer to a subscription request: the requesting session's frames that
// hold the item, or the requesting frame alone for an item that keeps no
// per-frame references.
int QueueForRequester(tavix_request *r, const Note &d) {
    tavix_item *it = r->item;
    if (it == nullptr) return 1;
    uint32_t first = 0, end = 0;
    bool found = false;
    for (uint32_t i = 0; i < it->frame_count; i++) {
        if (it->frames[i]->owner != r->session) continue;
        if (!it->keeps_refs && r->frame != nullptr && it->frames[i] != r->frame) continue;
        if (!found) first = i;
        found = true;
        end = i + 1;
    }
    if (found && !Queue(it, first, end, d)) {
        r->error = 900;
        return 4;
    }
    return 0;
}

// Appends one element, measured by fn first, with its leading comma; reserve
// keeps room in the buffer limit for the answer's closing text.
template <typename F>
int Append(tavix_request *r, uint32_t reserve, F fn) {
    if (r->ended != 0) {
        r->error = r->ended == 4 ? 900 : 304;
        return r->ended;
    }
    tavix_json_out m{nullptr, 0, 0};
    if (!r->first) m.raw(",");
    fn(m);
    r->error = 500;
    if (uint64_t(r->body->length) + m.o + reserve > tavix_global_options.buffer_limit) {
        r->error = 304;
        r->ended = 3;
        return 3;
    }
    if (tavix_buffer_create_grow(&r->body, TAVIX_BUF_DATA, uint32_t(m.o), tavix_global_options.buffer_limit) != 0) {
        r->error = 900;
        r->ended = 4;
        return 4;
    }
    tavix_json_out w{reinterpret_cast<char *>(r->body->data) + r->body->length, m.o, 0};
    if (!r->first) w.raw(",");
    fn(w);
    r->body->length += uint32_t(w.o);
    r->first = 0;
    r->error = 0;
    return 0;
}

// Every array answer (read, write, the process image) keeps room for its
// closing ]}: an element written up to the limit would leave it unclosable.
constexpr uint32_t kArrayEnd = 2;     // ]}
constexpr uint32_t kMoreFooter = 16;  // ],"more":"true"}

void Member(tavix_json_out &w, const char *name) {
    w.raw(",\"");
    w.raw(name);
    w.raw("\":");
}

void Stamp(tavix_json_out &w, const tavix_timestamp *t) { w.add(tavix_json_put_timestamp(w.at(), w.left(), t)); }
void Signed(tavix_json_out &w, int32_t v) {
    w.add(tavix_json_put_integer(w.at(), w.left(), uint64_t(int64_t(v)), false));
}
void Unsigned(tavix_json_out &w, uint32_t v) { w.add(tavix_json_put_integer(w.at(), w.left(), v, true)); }
void Localized(tavix_json_out &w, const tavix_localized *l) {
    w.add(tavix_json_put_localized_strings(w.at(), w.left(), l));
}
void ValueMember(tavix_json_out &w, const tavix_data_value *v) { w.add(tavix_json_put_value(w.at(), w.left(), v)); }

bool Given(const tavix_localized *l) { return l != nullptr && l->text != nullptr; }

// Members written only when given.
void Optional(tavix_json_out &w, const char *name, const char *text) {
    if (text == nullptr) return;
    Member(w, name);
    w.string(text);
}
void Optional(tavix_json_out &w, const char *name, const tavix_localized *list) {
    if (!Given(list)) return;
    Member(w, name);
    Localized(w, list);
}
void OptionalStatus(tavix_json_out &w, int32_t status) {
    if (status == 0) return;
    Member(w, "status");
    Signed(w, status);
}
// The members a data element ends with.
void DataTail(tavix_json_out &w, int32_t status, const tavix_localized *description, const char *username) {
    OptionalStatus(w, status);
    Optional(w, "description", description);
    Optional(w, "username", username);
}
void OptionalValue(tavix_json_out &w, const tavix_data_value *v) {
    if (v == nullptr) return;
    w.raw(",");
    ValueMember(w, v);
}

// The read element: value, then with a typed value its stamp, status,
// description and user, then the error.
int ReadElement(tavix_request *r, const tavix_data_value *value, const tavix_timestamp *stamp, int32_t status,
                const tavix_localized *description, const char *username, int32_t error) {
    const tavix_data_value none{};
    const tavix_data_value *v = value != nullptr ? value : &none;
    return Append(r, kArrayEnd, [&](tavix_json_out &w) {
        w.raw("{");
        ValueMember(w, v);
        if (v->kind != 0) {
            // A time stamp of 0 seconds counts as none, as in the notifications.
            if (stamp != nullptr && uint32_t(stamp->seconds) != 0) {
                Member(w, "timestamp");
                Stamp(w, stamp);
            }
            DataTail(w, status, description, username);
        }
        w.raw(",");
        w.add(tavix_util_write_error_members(w.at(), w.left(), error));
        w.raw("}");
    });
}

}  // namespace

uint32_t tavix_name_hash(const char *name) {
    uint32_t h = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p != 0; p++) h = h * 33 + *p;
    return h;
}

int tavix_engine_subscriptions_init() {
    if (M.items == nullptr) {
        M.items = static_cast<tavix_item **>(Zeroed(128 * sizeof(tavix_item *)));
        if (M.items == nullptr) return -1;
        M.cap = 128;
    }
    M.count = 0;
    if (M.next_frame == 0) M.next_frame = 1;
    if (M.filter_counter == 0) M.filter_counter = 1;
    return 0;
}

void tavix_engine_subscriptions_clear() {
    // Items still in the map (none once every frame is gone) are freed; the
    // array and the recycled items stay for the next start.
    for (uint32_t i = 0; i < M.count; i++) {
        ItemFree(M.items[i]);
        M.items[i] = nullptr;
    }
    M.count = 0;
}

void tavix_engine_subscriptions_free() {
    for (uint32_t i = 0; i < M.count; i++) ItemFree(M.items[i]);
    for (tavix_item *it = M.recycled; it != nullptr;) {
        tavix_item *next = it->next;
        std::free(it->name);
        std::free(it);
        it = next;
    }
    std::free(M.items);
    M = tavix_subscription_map_t{};
}

tavix_item *tavix_engine_subscription_item_get(const char *name, bool create) {
    const uint32_t h = tavix_name_hash(name);
    uint32_t at = 0;
    if (tavix_item *it = Find(M.items, M.count, name, h, &at)) return it;
    if (!create || M.count >= tavix_global_options.max_items) return nullptr;
    if (M.count == M.cap) {
        const uint32_t n = std::min<uint32_t>(M.count * 3 / 2, tavix_global_options.max_items);
        if (n <= M.cap) return nullptr;
        auto **p = static_cast<tavix_item **>(tavix_subs_realloc(M.items, n * sizeof(tavix_item *)));
        if (p == nullptr) return nullptr;
        M.items = p;
        M.cap = n;
    }
    const std::size_t len = std::strlen(name);
    tavix_item *it = nullptr;
    // A recycled item whose name buffer holds the name, among the first eight.
    tavix_item **link = &M.recycled;
    for (int k = 0; *link != nullptr && k < 8; k++, link = &(*link)->next) {
        if ((*link)->name_size >= len + 1 || k == 7) {
            it = *link;
            *link = it->next;
            M.recycled_count--;
            break;
        }
    }
    if (it != nullptr && it->name_size < len + 1) {
        std::free(it->name);
        it->name = nullptr;
    }
    if (it == nullptr) {
        it = static_cast<tavix_item *>(Zeroed(sizeof(tavix_item)));
        if (it == nullptr) return nullptr;
    }
    if (it->name == nullptr) {
        it->name = static_cast<char *>(tavix_subs_realloc(nullptr, len + 1));
        if (it->name == nullptr) {
            std::free(it);
            return nullptr;
        }
        it->name_size = uint32_t(len + 1);
    }
    std::memcpy(it->name, name, len + 1);
    char *keep_name = it->name;
    const uint32_t keep_size = it->name_size;
    *it = tavix_item{};
    it->name = keep_name;
    it->name_size = keep_size;
    it->hash = h;
    ItemArraysToRoom(it);
    for (uint32_t k = M.count; k > at; k--) M.items[k] = M.items[k - 1];
    M.items[at] = it;
    M.count++;
    return it;
}

tavix_frame *tavix_engine_subscription_frame_alloc() {
    auto *f = static_cast<tavix_frame *>(Zeroed(sizeof(tavix_frame)));
    if (f == nullptr) return nullptr;
    f->items = f->inline_items;
    f->cap = TAVIX_FRAME_INLINE_ITEMS;
    std::snprintf(f->id, sizeof f->id, "%x", M.next_frame);
    M.next_frame = M.next_frame == 0xFFFFFFFF ? 1 : M.next_frame + 1;
    return f;
}

tavix_item *tavix_engine_frame_find_item(const tavix_frame *f, const char *name) {
    uint32_t at = 0;
    return Find(f->items, f->count, name, tavix_name_hash(name), &at);
}

int tavix_engine_subscription_frame_subscribe_item(tavix_frame *f, uint32_t kind, const char *name, tavix_item **out,
                                                   int pass, int *error, const tavix_filter_args *filter) {
    char generated[16];
    if (kind == 2) {
        std::snprintf(generated, sizeof generated, "//F/%08x", M.filter_counter);
        M.filter_counter = M.filter_counter == 0xFFFFFFFF ? 1 : M.filter_counter + 1;
        name = generated;
    }
    *error = 0;
    if (out != nullptr) *out = nullptr;
    // The writing pass answers what the measuring pass found and makes no
    // item: one it does not find is one the measuring pass could not make.
    tavix_item *it = tavix_engine_subscription_item_get(name, pass != 2);
    if (it == nullptr) {
        *error = 464;
        return -1;
    }
    if (pass == 2) {
        *error = it->subscribe_result;
        it->subscribe_result = 0;
        if (*error == 0) {
            if (out != nullptr) *out = it;
            return 0;
        }
        // 465: the frame held the item before this request and keeps it (let
        // go here, without the callback, the page's subscription would be
        // lost and the application's left standing).
        if (*error == 465) return -1;
        // An item the measuring pass made but could not give the frame (900)
        // has no frame: it leaves the map.
        int ignored = 0;
        if (tavix_engine_subscription_frame_unsubscribe_item(f, it, true, &ignored) != 0 && it->frame_count == 0)
            tavix_engine_subscription_item_remove(it);
        return -1;
    }
    const bool fresh = it->frame_count == 0;
    if (!fresh && FrameIndex(it, f) >= 0) {
        *error = 465;
        if (pass == 1) it->subscribe_result = 465;
        return -1;
    }
    // A filter item is made for one filter subscription. Its name given as
    // the address of a data or alarm subscription is no address: joined,
    // that frame would get the filter's changes, and the filter subscribe
    // callback would run again over the filter's handle. A generated name
    // some other item holds already is refused the same way.
    if (!fresh && (kind == 2 || it->kind == 2)) {
        *error = 301;
        if (pass == 1) it->subscribe_result = 301;
        return -1;
    }
    // An item keeps the kind it was subscribed as: its unsubscribe callback
    // is the one of the kind whose subscribe callback gave its handle.
    if (fresh) it->kind = kind;
    if (!GrowFrames(it) || !GrowItems(f)) {
        *error = 900;
        if (pass == 1) it->subscribe_result = 900;
        // A new item stays through the measuring pass, so that the writing
        // pass finds its code; it leaves the map there.
        if (it->frame_count == 0 && pass != 1) tavix_engine_subscription_item_remove(it);
        return -1;
    }
    uint32_t at = 0;
    if (Find(f->items, f->count, it->name, it->hash, &at) == nullptr) {
        for (uint32_t k = f->count; k > at; k--) f->items[k] = f->items[k - 1];
        f->items[at] = it;
        f->count++;
    }
    // A session's frames stand together in the item's list.
    uint32_t pos = it->frame_count;
    tavix_publish_item *ref = nullptr;
    for (uint32_t i = it->frame_count; i-- > 0;) {
        if (it->frames[i]->owner == f->owner) {
            pos = i + 1;
            ref = it->refs[i];
            break;
        }
    }
    for (uint32_t k = it->frame_count; k > pos; k--) {
        it->frames[k] = it->frames[k - 1];
        it->refs[k] = it->refs[k - 1];
    }
    it->frames[pos] = f;
    it->refs[pos] = ref;
    it->frame_count++;
    it->subscribers++;
    const void *user = tavix_engine_session_get_user_data(f->owner);
    const auto &cb = tavix_data_callbacks;
    int err = 0;
    if (it->kind == 2) {
        if (cb.filter_subscribe != nullptr) {
            const char *interval = filter != nullptr ? filter->interval : nullptr;
            static const tavix_filter kNone{nullptr, nullptr, nullptr};
            cb.filter_subscribe(it, user, filter != nullptr ? filter->aggregation : nullptr,
                                interval != nullptr ? std::strtod(interval, nullptr) : 0.0,
                                filter != nullptr && filter->filters != nullptr ? filter->filters : &kNone,
                                &it->app_handle, &err);
        }
    } else if (fresh) {
        auto subscribe = it->kind == 1 ? cb.alarm_subscribe : cb.subscribe;
        if (subscribe != nullptr) subscribe(it, user, it->name, &it->app_handle, &it->keeps_refs, &err);
    } else {
        // Another frame holds the item already: the new frame gets the
        // current value, read as the item's kind whatever this frame asked
        // for, since every later notification of the item comes as that kind
        // too (and an alarm frame of the controller's data item, which has no
        // alarm read, still sees the value).
        tavix_request r = tavix_request_make(TAVIX_REQ_SUBSCRIPTION, nullptr, f->owner);
        r.frame = f;
        r.item = it;
        const char *list[2] = {it->name, nullptr};
        if (it->kind == 1 && cb.alarm_read != nullptr)
            cb.alarm_read(&r, user, it->name);
        else if (it->kind == 0 && cb.read != nullptr)
            cb.read(&r, user, it->name);
        else if (it->kind == 0 && cb.read_multi != nullptr)
            cb.read_multi(&r, user, list);
        else
            tavix_util_error("No read data callback is defined!");
        err = r.error;
    }
    if (pass == 1) {
        it->subscribe_result = err;
        if (out != nullptr) *out = it;
        return 0;
    }
    if (err != 0) {
        int ignored = 0;
        tavix_engine_subscription_frame_unsubscribe_item(f, it, true, &ignored);
        *error = err;
        return 0;
    }
    if (out != nullptr) *out = it;
    return 0;
}

namespace {

// Takes frame i of an item away (its queued notification with it); the
// item's last frame gone, the unsubscribe callback of its kind (unless
// no_callback) and the item out of the map. The callback's code, else 0.
int ReleaseFrame(tavix_item *item, uint32_t i, bool no_callback) {
    tavix_engine_clear_notifications_of_item(item, i);
    RemoveFrameAt(item, i);
    int status = 0;
    if (item->frame_count == 0) {
        if (!no_callback) {
            const auto &cb = tavix_data_callbacks;
            auto unsubscribe = item->kind == 2   ? cb.filter_unsubscribe
                               : item->kind == 1 ? cb.alarm_unsubscribe
                                                 : cb.unsubscribe;
            if (unsubscribe != nullptr) unsubscribe(item->app_handle, &status);
        }
        tavix_engine_subscription_item_remove(item);
    }
    return status;
}

}  // namespace

int tavix_engine_subscription_frame_unsubscribe_item(tavix_frame *f, tavix_item *item, bool no_callback, int *error) {
    const long i = FrameIndex(item, f);
    if (i < 0 || tavix_engine_frame_find_item(f, item->name) != item) {
        *error = 460;
        return -1;
    }
    RemoveItemFromFrame(f, item);
    // The application's answer to the unsubscribe is the item's code.
    *error = ReleaseFrame(item, uint32_t(i), no_callback);
    return 0;
}

int tavix_engine_subscription_frame_unsubscribe_all(tavix_frame *f, int *error) {
    // Each item once, in the frame's order: its unsubscribe callback runs
    // when its last frame lets go, and the last nonzero code is the answer.
    *error = 0;
    for (uint32_t k = 0; k < f->count; k++) {
        tavix_item *item = f->items[k];
        const long i = FrameIndex(item, f);
        if (i < 0) continue;
        const int code = ReleaseFrame(item, uint32_t(i), false);
        if (code != 0) *error = code;
    }
    f->count = 0;
    return 0;
}

void tavix_engine_subscription_frame_free(tavix_frame *f) {
    // Items the frame still holds let it go without their callback.
    while (f->count > 0) {
        int ignored = 0;
        tavix_engine_subscription_frame_unsubscribe_item(f, f->items[f->count - 1], true, &ignored);
    }
    if (f->items != f->inline_items) std::free(f->items);
    std::free(f);
}

int tavix_engine_session_insert_notification(tavix_session *s, tavix_publish_item *n, int *code) {
    pthread_mutex_lock(&s->queue_lock);
    tavix_item *it = n->item;
    // An item that keeps only its latest value replaces what is queued for this session.
    if (it != nullptr && it->keeps_refs && it->kind <= 1) {
        for (uint32_t i = 0; i < it->frame_count; i++) {
            tavix_publish_item *old = it->refs[i];
            if (old == nullptr || it->frames[i]->owner != s) continue;
            n->prev = old->prev;
            n->next = old->next;
            if (old->prev != nullptr)
                old->prev->next = n;
            else
                s->queue_head = n;
            if (old->next != nullptr)
                old->next->prev = n;
            else
                s->queue_tail = n;
            for (uint32_t k = 0; k < it->frame_count; k++)
                if (it->refs[k] == old) it->refs[k] = n;
            std::free(old);
            pthread_mutex_unlock(&s->queue_lock);
            return 0;
        }
    }
    if (s->queue_count >= tavix_global_options.max_notifications) {
        if (!s->overflow_logged) {
            tavix_util_error("Publish queue overflow on session %s (%d items)", s->id, int(s->queue_count));
            s->overflow_logged = 1;
            s->aborted = 1;
        }
        pthread_mutex_unlock(&s->queue_lock);
        *code = 461;
        return -1;
    }
    n->next = nullptr;
    n->prev = s->queue_tail;
    if (s->queue_tail != nullptr)
        s->queue_tail->next = n;
    else
        s->queue_head = n;
    s->queue_tail = n;
    s->queue_count++;
    s->answer_now = 1;
    pthread_mutex_unlock(&s->queue_lock);
    return 0;
}

void tavix_engine_session_clear_notification_queue(tavix_session *s) {
    pthread_mutex_lock(&s->queue_lock);
    while (s->queue_head != nullptr) {
        tavix_publish_item *n = s->queue_head;
        Unlink(s, n);
        Forget(n);
        std::free(n);
    }
    pthread_mutex_unlock(&s->queue_lock);
}

void tavix_json_out::raw(const char *t) {
    const std::size_t k = std::strlen(t);
    if (dst != nullptr && o + k <= room) std::memcpy(dst + o, t, k);
    o += k;
}

tavix_request tavix_request_make(uint32_t kind, tavix_buffer *body, tavix_session *s) {
    tavix_request r{};
    r.kind = kind;
    r.body = body;
    r.first = 1;
    r.session = s;
    return r;
}

long tavix_engine_publish_item_serialize(const tavix_publish_item *n, char *dst, std::size_t size) {
    tavix_json_out w{dst, dst != nullptr ? size : 0, 0};
    auto ids = [&]() {
        w.raw("\"subscriptionid\":[");
        const char *list = n->vars + n->ids - 1;
        for (const char *id = list; *id != 0; id += std::strlen(id) + 1) {
            if (id != list) w.raw(",");
            w.string(id);
        }
        w.raw("]");
    };
    auto packed = [&](const char *name, uint32_t at) {
        if (at == 0) return;
        Member(w, name);
        w.add(tavix_json_serialize_localized_strings(w.at(), w.left(), n->vars + at - 1));
    };
    auto user = [&]() {
        if (n->username == 0) return;
        Member(w, "username");
        w.string(n->vars + n->username - 1);
    };
    switch (n->kind) {
    case 1: {
        tavix_data_value v = n->value;
        int32_t status = n->status;
        if (v.kind == TAVIX_DV_DOUBLE && std::isnan(v.d)) {
            v.d = 0;
            status = int32_t(0x803C0000u);
        }
        w.raw("{\"type\":1,");
        ids();
        Member(w, "address");
        w.string(n->vars + n->address - 1);
        if (v.kind != 0) {
            w.raw(",");
            ValueMember(w, &v);
        }
        if (uint32_t(n->stamp.seconds) != 0) {
            Member(w, "timestamp");
            Stamp(w, &n->stamp);
        }
        OptionalStatus(w, status);
        packed("description", n->description);
        user();
        break;
    }
    case 2:
        w.raw("{\"type\":2,");
        ids();
        Member(w, "address");
        w.string(n->vars + n->address - 1);
        Member(w, "state");
        Unsigned(w, uint32_t(n->status));
        Member(w, "priority");
        Unsigned(w, n->priority);
        if (n->stamp.seconds != 0 || n->stamp.nanoseconds != 0) {
            Member(w, "timestamp");
            Stamp(w, &n->stamp);
        }
        if (n->value.kind != 0) {
            w.raw(",");
            ValueMember(w, &n->value);
        }
        packed("eventtext", n->eventtext);
        if (n->display != 0) {
            Member(w, "display");
            w.string(n->vars + n->display - 1);
        }
        user();
        break;
    case 0: {
        w.raw("{\"type\":0,\"subscriptionid\":[\"\"]");
        if (n->rights != 0) {
            w.raw(",\"right\":[");
            for (const char *t = n->vars + n->rights - 1; *t != 0; t += std::strlen(t) + 1) {
                if (t != n->vars + n->rights - 1) w.raw(",");
                w.string(t);
            }
            w.raw("]");
        }
        bool named_user = false;
        const char *pair = n->values != 0 ? n->vars + n->values - 1 : nullptr;
        for (uint32_t i = 0; i < n->value_count; i++) {
            const char *name = pair;
            pair += std::strlen(name) + 1;
            tavix_data_value v;
            std::memcpy(&v, pair, sizeof v);
            pair += sizeof v;
            named_user = named_user || std::strcmp(name, "username") == 0;
            w.raw(",");
            w.string(name);
            w.raw(":");
            w.add(tavix_json_put_data_value(w.at(), w.left(), &v));
        }
        if (!named_user) user();
        break;
    }
    default: w.raw("{"); break;
    }
    w.raw("}");
    return long(w.o);
}

int tavix_engine_session_do_publish(tavix_session *s, uint32_t max_results, tavix_buffer *body) {
    pthread_mutex_lock(&s->queue_lock);
    if (!AppendText(body, "{\"result\":[")) {
        pthread_mutex_unlock(&s->queue_lock);
        return -1;
    }
    uint32_t written = 0;
    while (s->queue_head != nullptr && written < max_results) {
        tavix_publish_item *n = s->queue_head;
        const long need = tavix_engine_publish_item_serialize(n, nullptr, 0) + 1;
        if (uint64_t(body->length) + uint64_t(need) + 32 > tavix_global_options.buffer_limit) break;
        if (written > 0) AppendText(body, ",");
        if (tavix_buffer_create_grow(&body, TAVIX_BUF_DATA, uint32_t(need), tavix_global_options.buffer_limit) != 0)
            break;
        body->length += uint32_t(tavix_engine_publish_item_serialize(
            n, reinterpret_cast<char *>(body->data) + body->length, body->capacity - body->length));
        Unlink(s, n);
        Forget(n);
        std::free(n);
        written++;
    }
    char tail[48];
    std::snprintf(tail, sizeof tail, "],\"remaining\":%u}", s->queue_count);
    AppendText(body, tail);
    s->answer_now = 0;
    pthread_mutex_unlock(&s->queue_lock);
    return 0;
}

int tavix_data_read_return(tavix_request *r, const tavix_data_value *value, const tavix_timestamp *stamp,
                           int32_t status, const tavix_localized *description, const char *username, int32_t error) {
    if (r == nullptr) return 1;
    if (r->kind == TAVIX_REQ_SUBSCRIPTION) {
        if (error != 0) {
            r->error = error;
            return 1;
        }
        // A data value is a data notification whatever kind of item asked:
        // one of an alarm item would go out as an alarm with a state and a
        // priority of 0 that nobody gave.
        return QueueForRequester(r, DataNote(nullptr, value, stamp, status, description, username));
    }
    if (r->kind != TAVIX_REQ_READ) return 2;
    return ReadElement(r, value, stamp, status, description, username, error);
}

int tavix_read_processimage_return(tavix_request *r, const tavix_data_value *value, const tavix_timestamp *stamp,
                                   int32_t status, const tavix_localized *description, const char *username,
                                   int32_t error) {
    if (r == nullptr) return 1;
    if (r->kind != TAVIX_REQ_READ_PI) return 2;
    return ReadElement(r, value, stamp, status, description, username, error);
}

int tavix_data_write_return(tavix_request *r, int32_t error) {
    if (r == nullptr) return 1;
    if (r->kind != TAVIX_REQ_WRITE) return 2;
    return Append(r, kArrayEnd, [&](tavix_json_out &w) {
        w.raw("{");
        w.add(tavix_util_write_error_members(w.at(), w.left(), error));
        w.raw("}");
    });
}

int tavix_list_processimage_return(tavix_request *r, const char *address) {
    if (r == nullptr || address == nullptr) return 1;
    if (r->kind != TAVIX_REQ_LIST_PI) return 2;
    return Append(r, kArrayEnd, [&](tavix_json_out &w) {
        w.raw("{\"address\":");
        w.string(address);
        w.raw("}");
    });
}

int tavix_read_history_return(tavix_request *r, const char *address, const tavix_data_value *value,
                              const tavix_timestamp *stamp, int32_t status, const tavix_localized *description,
                              const char *username) {
    if (r == nullptr || address == nullptr || value == nullptr || stamp == nullptr) return 1;
    if (r->kind != TAVIX_REQ_HISTORY) return 2;
    return Append(r, kMoreFooter, [&](tavix_json_out &w) {
        w.raw("{\"address\":");
        w.string(address);
        w.raw(",");
        ValueMember(w, value);
        Member(w, "timestamp");
        Stamp(w, stamp);
        DataTail(w, status, description, username);
        w.raw("}");
    });
}

int tavix_event_filter_read_return(tavix_request *r, const char *address, const tavix_timestamp *stamp,
                                   const tavix_data_value *value, const tavix_localized *eventtext,
                                   const char *username) {
    if (r == nullptr || address == nullptr || stamp == nullptr) return 1;
    if (r->kind != TAVIX_REQ_QUERY) return 2;
    return Append(r, kMoreFooter, [&](tavix_json_out &w) {
        w.raw("{\"type\":99,\"timestamp\":");
        Stamp(w, stamp);
        Member(w, "address");
        w.string(address);
        OptionalValue(w, value);
        Optional(w, "eventtext", eventtext);
        Optional(w, "username", username);
        w.raw("}");
    });
}

int tavix_alarm_filter_read_return(tavix_request *r, const char *address, const tavix_timestamp *stamp, uint32_t state,
                                   uint32_t priority, const tavix_data_value *value, const tavix_localized *eventtext,
                                   const char *display, const char *username) {
    if (r == nullptr || address == nullptr || stamp == nullptr) return 1;
    if (r->kind != TAVIX_REQ_QUERY) return 2;
    return Append(r, kMoreFooter, [&](tavix_json_out &w) {
        w.raw("{\"type\":2,\"timestamp\":");
        Stamp(w, stamp);
        Member(w, "state");
        Unsigned(w, state);
        Member(w, "priority");
        Unsigned(w, priority);
        Member(w, "address");
        w.string(address);
        OptionalValue(w, value);
        Optional(w, "eventtext", eventtext);
        Optional(w, "display", display);
        Optional(w, "username", username);
        w.raw("}");
    });
}

int tavix_data_filter_read_return(tavix_request *r, const char *address, const tavix_data_value *value,
                                  const tavix_timestamp *stamp, int32_t status, const tavix_localized *description,
                                  const char *username) {
    // A request of another kind counts as no record here.
    if (r == nullptr || address == nullptr || value == nullptr || r->kind != TAVIX_REQ_QUERY) return 1;
    return Append(r, kMoreFooter, [&](tavix_json_out &w) {
        w.raw("{\"type\":1,\"address\":");
        w.string(address);
        w.raw(",");
        ValueMember(w, value);
        if (stamp != nullptr) {
            Member(w, "timestamp");
            Stamp(w, stamp);
        }
        DataTail(w, status, description, username);
        w.raw("}");
    });
}

int tavix_alarm_read_return(tavix_request *r, const tavix_alarm_fields *alarm, int32_t error) {
    if (r == nullptr) return 1;
    if (r->kind != TAVIX_REQ_SUBSCRIPTION) return 2;
    if (error != 0) {
        r->error = error;
        return 1;
    }
    return QueueForRequester(r, AlarmNote(nullptr, alarm));
}

int tavix_user_info_return(tavix_request *r, const char *const *texts, const char *const *names,
                           const tavix_data_value *values) {
    if (r == nullptr || r->session == nullptr) return 1;
    if (r->kind != TAVIX_REQ_USER) return 2;
    tavix_publish_item *n = Build([&](tavix_publish_item &h, Room &room) {
        h.kind = 0;
        if (r->username != nullptr) h.username = StoreText(room, r->username);
        h.rights = StoreList(room, texts);
        // The pairs, each name and its value record; text values after them.
        h.value_count = 0;
        for (uint32_t i = 0; names != nullptr && values != nullptr && names[i] != nullptr; i++) h.value_count++;
        h.values = h.value_count != 0 ? uint32_t(room.used + 1) : 0;
        std::size_t pair = room.used;
        for (uint32_t i = 0; i < h.value_count; i++) {
            room.used += std::strlen(names[i]) + 1 + sizeof(tavix_data_value);
        }
        for (uint32_t i = 0; i < h.value_count; i++) {
            tavix_data_value v = values[i];
            CopyValue(room, &values[i], &v);
            const std::size_t after = room.used;
            room.used = pair;
            StoreText(room, names[i]);
            Store(room, &v, sizeof v);
            pair = room.used;
            room.used = after;
        }
    });
    if (n == nullptr) {
        tavix_util_error("Out of memory allocating a publish item");
        r->error = 900;
        return 4;
    }
    int code = 0;
    if (tavix_engine_session_insert_notification(r->session, n, &code) != 0) {
        std::free(n);
        r->error = code;
        return 1;
    }
    r->error = 0;
    return 0;
}

void tavix_data_notify(tavix_item *item, const tavix_data_value *value, const tavix_timestamp *stamp, int32_t status,
                       const tavix_localized *description, const char *username) {
    FanOut(item, DataNote(nullptr, value, stamp, status, description, username));
}

void tavix_alarm_notify(tavix_item *item, const tavix_alarm_fields *alarm) { FanOut(item, AlarmNote(nullptr, alarm)); }

void tavix_data_filter_notify(tavix_item *item, const char *address, const tavix_data_value *value,
                              const tavix_timestamp *stamp, int32_t status, const tavix_localized *description,
                              const char *username) {
    FanOut(item, DataNote(address, value, stamp, status, description, username));
}

void tavix_alarm_filter_notify(tavix_item *item, const char *address, const tavix_alarm_fields *alarm) {
    FanOut(item, AlarmNote(address, alarm));
}
