// Subscribed items, frames, notifications and the answer interface.
#include "tavIXsdk/tavixsdk/tavix_subs.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>

#include "tavIXsdk/tavixsdk/tavix_post.h"
#include "tavIXsdk/tavixsdk/tavix_util.h"

tavix_data_callbacks_t tavix_data_callbacks;
tavix_subscription_map_t tavix_subscription_map;

namespace {

auto &M = tavix_subscription_map;

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
        if (c < 0) hi = mid;
        else lo = mid + 1;
    }
    *at = lo;
    return nullptr;
}

template <typename T>
bool Grow(T *&array, uint32_t count, uint32_t &cap, uint32_t first) {
    if (count < cap) return true;
    const uint32_t n = cap == 0 ? first : cap * 3 / 2 + 1;
    T *p = static_cast<T *>(std::realloc(array, n * sizeof(T)));
    if (p == nullptr) return false;
    array = p;
    cap = n;
    return true;
}

void RemoveFromMap(tavix_item *it) {
    uint32_t at = 0;
    if (Find(M.items, M.count, it->name, it->hash, &at) != it) return;
    for (uint32_t k = at; k + 1 < M.count; k++) M.items[k] = M.items[k + 1];
    M.items[--M.count] = nullptr;
    std::free(it->frames);
    std::free(it->refs);
    it->frames = nullptr;
    it->refs = nullptr;
    it->frame_count = it->frame_cap = 0;
    if (M.recycled_count < 128 && it->name_size < 129) {
        it->next = M.recycled;
        M.recycled = it;
        M.recycled_count++;
    } else {
        std::free(it->name);
        std::free(it);
    }
}

long FrameIndex(const tavix_item *it, const tavix_frame *f) {
    for (uint32_t i = 0; i < it->frame_count; i++)
        if (it->frames[i] == f) return long(i);
    return -1;
}

// Unlinks a notification from its session's queue.
void Unlink(tavix_session *s, tavix_publish_item *n) {
    if (n->prev != nullptr) n->prev->next = n->next;
    else s->queue_head = n->next;
    if (n->next != nullptr) n->next->prev = n->prev;
    else s->queue_tail = n->prev;
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
void ClearFrameNotification(tavix_item *it, uint32_t i) {
    if (!it->keeps_refs || it->refs == nullptr) return;
    const tavix_session *s = it->frames[i]->owner;
    if ((i > 0 && it->frames[i - 1]->owner == s) || (i + 1 < it->frame_count && it->frames[i + 1]->owner == s))
        return;
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


// A notification for one session, with the ids of that session's frames holding the item.
tavix_publish_item *Make(tavix_item *it, uint32_t first, uint32_t end, const tavix_data_value *value,
                         const tavix_timestamp *stamp, int32_t status) {
    auto *n = static_cast<tavix_publish_item *>(std::calloc(1, sizeof(tavix_publish_item)));
    if (n == nullptr) return nullptr;
    n->item = it;
    n->kind = it->kind == 1 ? 2 : 1;
    n->value = value != nullptr ? *value : tavix_data_value{};
    if (n->value.kind == TAVIX_DV_TEXT && value->text != nullptr) {
        std::snprintf(n->text, sizeof n->text, "%s", value->text);
        n->value.text = n->text;
    }
    if (stamp != nullptr) n->stamp = *stamp;
    n->status = status;
    std::snprintf(n->address, sizeof n->address, "%s", it->name);
    std::size_t at = 0;
    for (uint32_t i = first; i < end && at + 10 < sizeof n->ids; i++) {
        const std::size_t k = std::strlen(it->frames[i]->id);
        std::memcpy(n->ids + at, it->frames[i]->id, k + 1);
        at += k + 1;
    }
    n->ids[at] = 0;
    return n;
}

// Queues a notification for frames [first, end) of one session.
void Queue(tavix_item *it, uint32_t first, uint32_t end, const tavix_data_value *value, const tavix_timestamp *stamp,
           int32_t status) {
    tavix_publish_item *n = Make(it, first, end, value, stamp, status);
    if (n == nullptr) {
        tavix_util_error("Out of memory allocating a publish item");
        return;
    }
    int code = 0;
    tavix_session *s = it->frames[first]->owner;
    if (tavix_engine_session_insert_notification(s, n, &code) != 0) {
        std::free(n);
        return;
    }
    if (it->keeps_refs)
        for (uint32_t i = first; i < end; i++) it->refs[i] = n;
}

}  // namespace

uint32_t tavix_name_hash(const char *name) {
    uint32_t h = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p != 0; p++) h = h * 33 + *p;
    return h;
}

int tavix_engine_subscriptions_init() {
    if (M.items == nullptr) {
        M.items = static_cast<tavix_item **>(std::calloc(128, sizeof(tavix_item *)));
        if (M.items == nullptr) return -1;
        M.cap = 128;
    }
    M.count = 0;
    if (M.next_frame == 0) M.next_frame = 1;
    if (M.filter_counter == 0) M.filter_counter = 1;
    return 0;
}

void tavix_engine_subscriptions_free() {
    for (uint32_t i = 0; i < M.count; i++) {
        std::free(M.items[i]->frames);
        std::free(M.items[i]->refs);
        std::free(M.items[i]->name);
        std::free(M.items[i]);
    }
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
        auto **p = static_cast<tavix_item **>(std::realloc(M.items, n * sizeof(tavix_item *)));
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
        it = static_cast<tavix_item *>(std::calloc(1, sizeof(tavix_item)));
        if (it == nullptr) return nullptr;
    }
    if (it->name == nullptr) {
        it->name = static_cast<char *>(std::malloc(len + 1));
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
    for (uint32_t k = M.count; k > at; k--) M.items[k] = M.items[k - 1];
    M.items[at] = it;
    M.count++;
    return it;
}

tavix_frame *tavix_engine_subscription_frame_alloc() {
    auto *f = static_cast<tavix_frame *>(std::calloc(1, sizeof(tavix_frame)));
    if (f == nullptr) return nullptr;
    std::snprintf(f->id, sizeof f->id, "%x", M.next_frame);
    M.next_frame = M.next_frame == 0xFFFFFFFF ? 1 : M.next_frame + 1;
    return f;
}

tavix_item *tavix_engine_frame_find_item(const tavix_frame *f, const char *name) {
    uint32_t at = 0;
    return Find(f->items, f->count, name, tavix_name_hash(name), &at);
}

int tavix_engine_subscription_frame_subscribe_item(tavix_frame *f, uint32_t kind, const char *name,
                                                   tavix_item **out, int pass, int *error) {
    char generated[16];
    if (kind == 2) {
        std::snprintf(generated, sizeof generated, "//F/%08x", M.filter_counter);
        M.filter_counter = M.filter_counter == 0xFFFFFFFF ? 1 : M.filter_counter + 1;
        name = generated;
    }
    *error = 0;
    if (out != nullptr) *out = nullptr;
    tavix_item *it = tavix_engine_subscription_item_get(name, true);
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
        int ignored = 0;
        tavix_engine_subscription_frame_unsubscribe_item(f, it, true, &ignored);
        return -1;
    }
    const bool fresh = it->frame_count == 0;
    it->kind = kind;
    if (!fresh && FrameIndex(it, f) >= 0) {
        *error = 465;
        if (pass == 1) it->subscribe_result = 465;
        return -1;
    }
    if (!Grow(it->frames, it->frame_count, it->frame_cap, 4) ||
        (it->refs = static_cast<tavix_publish_item **>(std::realloc(it->refs, it->frame_cap * sizeof(void *)))) ==
            nullptr ||
        !Grow(f->items, f->count, f->cap, 32)) {
        *error = 900;
        if (pass == 1) it->subscribe_result = 900;
        if (it->frame_count == 0) RemoveFromMap(it);
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
    int err = 0;
    if (fresh && kind != 2) {
        if (tavix_data_callbacks.subscribe != nullptr) {
            int status = 0;
            tavix_data_callbacks.subscribe(it, nullptr, it->name, &it->app_handle, &it->keeps_refs, &status);
            err = status;
        }
    } else if (!fresh && kind == 0) {
        // Another frame holds the item already: the new frame gets the current value.
        if (tavix_data_callbacks.read != nullptr) {
            tavix_request r{TAVIX_REQ_SUBSCRIPTION, nullptr, 1, 0, f->owner, f, it, 0};
            tavix_data_callbacks.read(&r, nullptr, it->name);
            err = r.error;
        } else {
            tavix_util_error("No read data callback is defined!");
        }
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

int tavix_engine_subscription_frame_unsubscribe_item(tavix_frame *f, tavix_item *item, bool no_callback, int *error) {
    const long i = FrameIndex(item, f);
    if (i < 0 || tavix_engine_frame_find_item(f, item->name) != item) {
        *error = 460;
        return -1;
    }
    ClearFrameNotification(item, uint32_t(i));
    RemoveFrameAt(item, uint32_t(i));
    RemoveItemFromFrame(f, item);
    if (item->frame_count == 0) {
        if (!no_callback && tavix_data_callbacks.unsubscribe != nullptr) {
            int status = 0;
            tavix_data_callbacks.unsubscribe(item->app_handle, &status);
        }
        RemoveFromMap(item);
    }
    *error = 0;
    return 0;
}

int tavix_engine_subscription_frame_release(tavix_frame *f) {
    // Each item once: its unsubscribe callback runs when its last frame lets go.
    int last = 0;
    while (f->count > 0) {
        int error = 0;
        tavix_engine_subscription_frame_unsubscribe_item(f, f->items[f->count - 1], false, &error);
        if (error != 0) last = error;
    }
    std::free(f->items);
    std::free(f);
    return last;
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
            if (old->prev != nullptr) old->prev->next = n;
            else s->queue_head = n;
            if (old->next != nullptr) old->next->prev = n;
            else s->queue_tail = n;
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
    if (s->queue_tail != nullptr) s->queue_tail->next = n;
    else s->queue_head = n;
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

long tavix_engine_publish_item_serialize(const tavix_publish_item *n, char *dst, std::size_t size) {
    char tmp[1024];
    char *w = dst != nullptr ? dst : tmp;
    const std::size_t room = dst != nullptr ? size : sizeof tmp;
    std::size_t o = 0;
    auto put = [&](long k) { o += std::size_t(k); };
    auto raw = [&](const char *t) {
        const std::size_t k = std::strlen(t);
        if (o + k <= room) std::memcpy(w + o, t, k);
        o += k;
    };
    auto left = [&]() { return o < room ? room - o : 0; };
    auto at = [&]() { return o < room ? w + o : nullptr; };
    if (n->kind != 1) {
        raw("{}");
        return long(o);
    }
    tavix_data_value v = n->value;
    int32_t status = n->status;
    if (v.kind == TAVIX_DV_DOUBLE && std::isnan(v.d)) {
        v.d = 0;
        status = int32_t(0x803C0000u);
    }
    raw("{\"type\":1,\"subscriptionid\":[");
    for (const char *id = n->ids; *id != 0; id += std::strlen(id) + 1) {
        if (id != n->ids) raw(",");
        put(tavix_json_put_string(at(), left(), id, -1));
    }
    raw("],\"address\":");
    put(tavix_json_put_string(at(), left(), n->address, -1));
    if (v.kind != 0) {
        raw(",");
        put(tavix_json_put_value(at(), left(), &v));
    }
    if (uint32_t(n->stamp.seconds) != 0) {
        raw(",\"timestamp\":");
        put(tavix_json_put_timestamp(at(), left(), &n->stamp));
    }
    if (status != 0) {
        raw(",\"status\":");
        put(tavix_json_put_integer(at(), left(), uint64_t(int64_t(status)), false));
    }
    if (n->username[0] != 0) {
        raw(",\"username\":");
        put(tavix_json_put_string(at(), left(), n->username, -1));
    }
    raw("}");
    return long(o);
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
                           int32_t status, const char *username, int32_t error) {
    if (r == nullptr) return 1;
    if (r->kind == TAVIX_REQ_SUBSCRIPTION) {
        if (error != 0) {
            r->error = error;
            return 1;
        }
        tavix_item *it = r->item;
        // The requesting session's frames that hold the item.
        uint32_t first = 0, end = 0;
        bool found = false;
        for (uint32_t i = 0; i < it->frame_count; i++) {
            if (it->frames[i]->owner != r->session) continue;
            if (!found) first = i;
            found = true;
            end = i + 1;
        }
        if (found) Queue(it, first, end, value, stamp, status);
        return 0;
    }
    if (r->kind != TAVIX_REQ_READ && r->kind != TAVIX_REQ_READ_PI) return 2;
    char head[8];
    std::size_t k = 0;
    if (!r->first) head[k++] = ',';
    head[k] = 0;
    char text[768];
    std::size_t o = 0;
    auto add = [&](const char *t) {
        const std::size_t n = std::strlen(t);
        if (o + n < sizeof text) std::memcpy(text + o, t, n);
        o += n;
    };
    add(head);
    add("{");
    tavix_data_value none{};
    const tavix_data_value *v = value != nullptr ? value : &none;
    if (o < sizeof text) o += std::size_t(tavix_json_put_value(text + o, sizeof text - o, v));
    if (v->kind != 0) {
        if (stamp != nullptr && uint32_t(stamp->seconds) != 0) {
            add(",\"timestamp\":");
            o += std::size_t(tavix_json_put_timestamp(text + o, sizeof text - o, stamp));
        }
        if (status != 0) {
            add(",\"status\":");
            o += std::size_t(tavix_json_put_integer(text + o, sizeof text - o, uint64_t(int64_t(status)), false));
        }
        if (username != nullptr) {
            add(",\"username\":");
            o += std::size_t(tavix_json_put_string(text + o, sizeof text - o, username, -1));
        }
    }
    add(",");
    if (o >= sizeof text) {
        r->error = 304;
        return 3;
    }
    if (uint64_t(r->body->length) + o + 64 > tavix_global_options.buffer_limit) {
        r->error = 304;
        return 3;
    }
    if (tavix_buffer_put_data(r->body, text, uint32_t(o)) != 0 ||
        tavix_json_put_error_strings(r->body, error) != 0 || tavix_buffer_put_data(r->body, "}", 1) != 0) {
        r->error = 900;
        return 4;
    }
    r->first = 0;
    r->error = 0;
    return 0;
}

int tavix_data_write_return(tavix_request *r, int32_t error) {
    if (r == nullptr) return 1;
    if (r->kind != TAVIX_REQ_WRITE) return 2;
    if (uint64_t(r->body->length) + 128 > tavix_global_options.buffer_limit) {
        r->error = 304;
        return 3;
    }
    if ((!r->first && tavix_buffer_put_data(r->body, ",", 1) != 0) || tavix_buffer_put_data(r->body, "{", 1) != 0 ||
        tavix_json_put_error_strings(r->body, error) != 0 || tavix_buffer_put_data(r->body, "}", 1) != 0) {
        r->error = 900;
        return 4;
    }
    r->first = 0;
    r->error = 0;
    return 0;
}

void tavix_data_notify(tavix_item *item, const tavix_data_value *value, const tavix_timestamp *stamp,
                       int32_t status) {
    if (item == nullptr) return;
    pthread_rwlock_rdlock(&tavix_session_table.lock);
    for (uint32_t i = 0; i < item->frame_count;) {
        uint32_t end = i + 1;
        while (end < item->frame_count && item->frames[end]->owner == item->frames[i]->owner) end++;
        if (item->frames[i]->owner != nullptr) Queue(item, i, end, value, stamp, status);
        i = end;
    }
    pthread_rwlock_unlock(&tavix_session_table.lock);
}
