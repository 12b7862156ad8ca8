// Web HMI methods in process: fan-out of changes to frames and sessions,
// notifications as JSON, the history and query-filter roads with test
// callbacks, the remote session header and the raw request interface.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "tavIXsdk/tavixsdk/tavix_auth.h"
#include "tavIXsdk/tavixsdk/tavix_methods.h"
#include "tavIXsdk/tavixsdk/tavix_post.h"
#include "tavIXsdk/tavixsdk/tavix_raw.h"
#include "tavIXsdk/tavixsdk/tavix_server.h"
#include "tavIXsdk/tavixsdk/tavix_session.h"
#include "tavIXsdk/tavixsdk/tavix_subs.h"
#include "tavIXsdk/tavixsdk/tavix_util.h"
#include "tests/support/temp_root.h"

namespace {

std::vector<std::string> subscribed, unsubscribed;

struct WebMethods : ::testing::Test {
    void SetUp() override {
        ASSERT_EQ(tavix_engine_raw_handler_init(), 0);
        tavix_global_options.error_cb = [](const char *) {};
        tavix_global_options.auth_method = 5;
        tavix_global_options.level = 2;
        tavix_methods_register();
        subscribed.clear();
        unsubscribed.clear();
        tavix_data_callbacks = tavix_data_callbacks_t{};
        tavix_data_callbacks.subscribe = [](tavix_item *, const void *, const char *a, void **h, uint32_t *keeps,
                                            int *status) {
            subscribed.emplace_back(a);
            *h = reinterpret_cast<void *>(subscribed.size());
            *keeps = 1;
            *status = std::strncmp(a, "bad", 3) == 0 ? 301 : 0;
            return 0;
        };
        tavix_data_callbacks.unsubscribe = [](void *h, int *status) {
            unsubscribed.push_back(std::to_string(reinterpret_cast<std::uintptr_t>(h)));
            *status = 0;
            return 0;
        };
    }
    void TearDown() override {
        tavix_method_callbacks = {};
        tavix_data_callbacks = {};
        tavix_engine_raw_handler_shutdown();
    }
    tavix_session *Session(const char *key) {
        tavix_session *s = nullptr;
        int code = 0;
        EXPECT_EQ(tavix_engine_session_create(0, nullptr, key, false, nullptr, nullptr, nullptr, false, &s, &code), 0);
        return s;
    }
    tavix_frame *Frame(tavix_session *s) {
        tavix_frame *f = tavix_engine_subscription_frame_alloc();
        f->owner = s;
        f->next = s->frames;
        s->frames = f;
        s->frame_count++;
        return f;
    }
    static std::string Publish(tavix_session *s) {
        tavix_buffer *b = tavix_buffer_get(TAVIX_BUF_DATA, 512, 1 << 20, true);
        tavix_engine_session_do_publish(s, 65535, b);
        std::string out(reinterpret_cast<char *>(b->data), b->length);
        tavix_buffer_free(b);
        return out;
    }
};

}  // namespace

TEST_F(WebMethods, ChangesFanOutPerSessionWithTheirFrameIds) {
    tavix_session *a = Session("ka"), *b = Session("kb");
    tavix_frame *a1 = Frame(a), *a2 = Frame(a), *b1 = Frame(b);
    EXPECT_STREQ(a1->id, "1");
    int err = 0;
    tavix_item *it = nullptr;
    ASSERT_EQ(tavix_engine_subscription_frame_subscribe_item(a1, 0, "R_1_1_INT16", &it, 0, &err), 0);
    ASSERT_EQ(tavix_engine_subscription_frame_subscribe_item(b1, 0, "R_1_1_INT16", nullptr, 0, &err), 0);
    ASSERT_EQ(tavix_engine_subscription_frame_subscribe_item(a2, 0, "R_1_1_INT16", nullptr, 0, &err), 0);
    EXPECT_EQ(subscribed, std::vector<std::string>{"R_1_1_INT16"});  // asked once for three frames
    EXPECT_EQ(tavix_engine_subscription_frame_subscribe_item(a2, 0, "R_1_1_INT16", nullptr, 0, &err), -1);
    EXPECT_EQ(err, 465);
    // A session's frames stand together: a1, a2, then b1.
    EXPECT_EQ(it->frames[0]->owner, a);
    EXPECT_EQ(it->frames[1]->owner, a);
    EXPECT_EQ(it->frames[2]->owner, b);

    tavix_data_value v{};
    v.kind = TAVIX_DV_INT32;
    v.i32 = 7;
    const tavix_timestamp t{1700000000, 5000000};
    tavix_data_notify(it, &v, &t, 0);
    v.i32 = 8;
    tavix_data_notify(it, &v, &t, 0);  // replaces the one queued: the item keeps its latest value
    EXPECT_EQ(Publish(a),
              "{\"result\":[{\"type\":1,\"subscriptionid\":[\"1\",\"2\"],\"address\":\"R_1_1_INT16\","
              "\"value\":8,\"timestamp\":1700000000005.000000}],\"remaining\":0}");
    EXPECT_EQ(Publish(b),
              "{\"result\":[{\"type\":1,\"subscriptionid\":[\"3\"],\"address\":\"R_1_1_INT16\","
              "\"value\":8,\"timestamp\":1700000000005.000000}],\"remaining\":0}");

    // A NaN is published as 0 with status 0x803C0000; no timestamp when its seconds are 0.
    v.kind = TAVIX_DV_DOUBLE;
    v.d = NAN;
    const tavix_timestamp zero{0, 5};
    tavix_data_notify(it, &v, &zero, 0);
    EXPECT_EQ(Publish(b),
              "{\"result\":[{\"type\":1,\"subscriptionid\":[\"3\"],\"address\":\"R_1_1_INT16\","
              "\"value\":0,\"status\":-2143551488}],\"remaining\":0}");

    // Two frames of one session share one queued notification: removing one keeps it.
    tavix_data_notify(it, &v, &t, 0);
    ASSERT_EQ(tavix_engine_subscription_frame_unsubscribe_item(a1, it, false, &err), 0);
    EXPECT_EQ(a->queue_count, 1u);
    ASSERT_EQ(tavix_engine_subscription_frame_unsubscribe_item(a2, it, false, &err), 0);
    EXPECT_EQ(a->queue_count, 0u);
    EXPECT_TRUE(unsubscribed.empty());
    EXPECT_EQ(tavix_engine_subscription_frame_unsubscribe_item(a2, it, false, &err), -1);
    EXPECT_EQ(err, 460);
    // The last frame lets go: one unsubscribe callback.
    ASSERT_EQ(tavix_engine_subscription_frame_unsubscribe_item(b1, it, false, &err), 0);
    EXPECT_EQ(unsubscribed, std::vector<std::string>{"1"});
    EXPECT_EQ(tavix_subscription_map.count, 0u);

    // Deleting a session whose frames hold an item calls back once.
    ASSERT_EQ(tavix_engine_subscription_frame_subscribe_item(a1, 0, "R_2_1_INT16", nullptr, 0, &err), 0);
    ASSERT_EQ(tavix_engine_subscription_frame_subscribe_item(a2, 0, "R_2_1_INT16", nullptr, 0, &err), 0);
    tavix_engine_session_delete_idx(0);
    EXPECT_EQ(unsubscribed.size(), 2u);
    // Frame ids run on in hexadecimal.
    for (int i = 4; i < 10; i++) std::free(tavix_engine_subscription_frame_alloc());
    tavix_frame *tenth = tavix_engine_subscription_frame_alloc();
    EXPECT_STREQ(tenth->id, "a");
    std::free(tenth);
}

// A notification copies its texts whatever their length: the address, the
// user name, a text value, the description and the event and display texts,
// and a user information's texts and named values, however many.
TEST_F(WebMethods, ANotificationCarriesItsTextsWholeWhateverTheirLength) {
    tavix_session *a = Session("ka");
    tavix_frame *f = Frame(a);
    int err = 0;
    tavix_item *it = nullptr;
    ASSERT_EQ(tavix_engine_subscription_frame_subscribe_item(f, 0, "R_1_1_INT16", &it, 0, &err), 0);
    const std::string text(1000, 't'), user(100, 'u'), description(900, 'd'), address(400, 'a'), display(300, 'p');
    tavix_data_value v{};
    v.kind = TAVIX_DV_TEXT;
    v.text = text.c_str();
    const tavix_timestamp t{1700000000, 0};
    const tavix_localized said[] = {{"en", description.c_str()}, {"de", "kurz"}, {nullptr, nullptr}};
    tavix_data_notify(it, &v, &t, 0, said, user.c_str());
    EXPECT_EQ(Publish(a),
              "{\"result\":[{\"type\":1,\"subscriptionid\":[\"1\"],\"address\":\"R_1_1_INT16\","
              "\"value\":\"" +
                  text + "\",\"timestamp\":1700000000000,\"description\":{\"en\":\"" + description +
                  "\",\"de\":\"kurz\"},\"username\":\"" + user + "\"}],\"remaining\":0}");
    v.kind = TAVIX_DV_UINT32;
    v.u32 = 5;
    tavix_data_filter_notify(it, address.c_str(), &v, &t, 0, nullptr, nullptr);
    EXPECT_EQ(Publish(a), "{\"result\":[{\"type\":1,\"subscriptionid\":[\"1\"],\"address\":\"" + address +
                              "\",\"value\":5,\"timestamp\":1700000000000}],\"remaining\":0}");
    const tavix_localized event[] = {{nullptr, description.c_str()}, {nullptr, nullptr}};
    const tavix_alarm_fields alarm{nullptr, &t, 1, 7, event, display.c_str(), user.c_str()};
    tavix_alarm_filter_notify(it, address.c_str(), &alarm);
    EXPECT_EQ(Publish(a), "{\"result\":[{\"type\":2,\"subscriptionid\":[\"1\"],\"address\":\"" + address +
                              "\",\"state\":1,\"priority\":7,\"timestamp\":1700000000000,\"eventtext\":\"" +
                              description + "\",\"display\":\"" + display + "\",\"username\":\"" + user +
                              "\"}],\"remaining\":0}");
    // User information: twelve named values (every other one a text) and long rights.
    std::vector<std::string> names, texts;
    std::vector<const char *> name_list, right_list;
    std::vector<tavix_data_value> values(12);
    std::string expected = "{\"result\":[{\"type\":0,\"subscriptionid\":[\"\"],\"right\":[";
    for (int i = 0; i < 3; i++) texts.push_back(std::string(300, char('A' + i)));
    for (int i = 0; i < 3; i++) {
        right_list.push_back(texts[std::size_t(i)].c_str());
        expected += (i ? ",\"" : "\"") + texts[std::size_t(i)] + "\"";
    }
    right_list.push_back(nullptr);
    expected += "]";
    for (int i = 0; i < 12; i++) names.push_back("name" + std::to_string(i));
    for (int i = 0; i < 12; i++) {
        name_list.push_back(names[std::size_t(i)].c_str());
        if (i % 2 == 0) {
            values[std::size_t(i)].kind = TAVIX_DV_TEXT;
            values[std::size_t(i)].text = text.c_str();
            expected += ",\"" + names[std::size_t(i)] + "\":\"" + text + "\"";
        } else {
            values[std::size_t(i)].kind = TAVIX_DV_UINT32;
            values[std::size_t(i)].u32 = uint32_t(i);
            expected += ",\"" + names[std::size_t(i)] + "\":" + std::to_string(i);
        }
    }
    name_list.push_back(nullptr);
    expected += ",\"username\":\"" + user + "\"}],\"remaining\":0}";
    tavix_request r = tavix_request_make(TAVIX_REQ_USER, nullptr, a);
    r.username = user.c_str();
    EXPECT_EQ(tavix_user_info_return(&r, right_list.data(), name_list.data(), values.data()), 0);
    EXPECT_EQ(Publish(a), expected);
}

// An item holds its first 4 frames, and a frame its first 32 items, in
// room of their own; the arrays then grow to 8 and to 64 entries, and on by
// half each time.
TEST_F(WebMethods, ItemsAndFramesUseTheirInlineRoomFirstThenGrowTo8And64AndByHalf) {
    tavix_session *a = Session("ka");
    std::vector<tavix_frame *> frames;
    for (int i = 0; i < 10; i++) frames.push_back(Frame(a));
    static std::vector<std::size_t> sizes;
    sizes.clear();
    tavix_subs_realloc = [](void *p, std::size_t n) {
        // Array sizes only: not an item record, not a name.
        if (n != sizeof(tavix_item) && n > 32) sizes.push_back(n);
        return std::realloc(p, n);
    };
    int err = 0;
    tavix_item *it = nullptr;
    auto join = [&](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; i++)
            ASSERT_EQ(tavix_engine_subscription_frame_subscribe_item(frames[i], 0, "R_1_1_INT16", &it, 0, &err), 0);
    };
    join(0, 4);
    EXPECT_EQ(sizes, std::vector<std::size_t>{}) << "four frames in the item's own room";
    // No memory for the grown arrays: 900, the item as it was.
    tavix_subs_realloc = [](void *p, std::size_t n) {
        return p == nullptr && n == 8 * sizeof(void *) ? nullptr : std::realloc(p, n);
    };
    EXPECT_EQ(tavix_engine_subscription_frame_subscribe_item(frames[4], 0, "R_1_1_INT16", nullptr, 0, &err), -1);
    EXPECT_EQ(err, 900);
    EXPECT_EQ(it->frame_count, 4u);
    for (uint32_t i = 0; i < 4; i++) EXPECT_EQ(it->frames[i], frames[i]);
    tavix_subs_realloc = [](void *p, std::size_t n) {
        if (n != sizeof(tavix_item) && n > 32) sizes.push_back(n);
        return std::realloc(p, n);
    };
    join(4, 10);
    // The fifth frame: 8 frames and 8 references; the ninth: 12 of each.
    const std::size_t p = sizeof(void *);
    EXPECT_EQ(sizes, (std::vector<std::size_t>{8 * p, 8 * p, 12 * p, 12 * p}));
    EXPECT_EQ(it->frame_count, 10u);
    for (uint32_t i = 0; i < 10; i++) EXPECT_EQ(it->frames[i], frames[i]);
    // One frame with 33 items: its own room for 32, then 64 entries.
    sizes.clear();
    tavix_frame *f = frames[9];
    for (int i = 0; i < 33; i++) {
        const std::string name = "R_" + std::to_string(100 + i) + "_1_INT16";
        ASSERT_EQ(tavix_engine_subscription_frame_subscribe_item(f, 0, name.c_str(), nullptr, 0, &err), 0) << name;
    }
    EXPECT_EQ(sizes, std::vector<std::size_t>{64 * p});
    EXPECT_EQ(f->count, 34u);
    EXPECT_NE(tavix_engine_frame_find_item(f, "R_100_1_INT16"), nullptr);
    EXPECT_NE(tavix_engine_frame_find_item(f, "R_132_1_INT16"), nullptr);
    tavix_subs_realloc = std::realloc;
}

// Subscribing in two passes: the first (measuring) pass acts on the address
// and records its code in the item, the second (writing) pass answers that
// code. What the first pass refused leaves neither the frame nor the map
// changed; a frame that already held the address keeps it.
TEST_F(WebMethods, TheWritingPassAnswersWhatTheMeasuringPassFoundAndChangesNothingElse) {
    tavix_session *a = Session("ka");
    tavix_frame *f = Frame(a);
    int err = -1;
    tavix_item *it = nullptr;
    auto sub = [&](const char *name, int pass) {
        err = -1;
        return tavix_engine_subscription_frame_subscribe_item(f, 0, name, &it, pass, &err);
    };
    for (const char *name : {"R_1_1_INT16", "bad1"}) {
        EXPECT_EQ(sub(name, 1), 0) << name;
        EXPECT_EQ(err, 0) << name;
    }
    EXPECT_EQ(subscribed, (std::vector<std::string>{"R_1_1_INT16", "bad1"}));
    EXPECT_EQ(f->count, 2u);
    EXPECT_EQ(sub("R_1_1_INT16", 2), 0);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(it, tavix_engine_subscription_item_get("R_1_1_INT16", false));
    // The application refused bad1: it leaves the frame and the map, its
    // unsubscribe callback not asked.
    EXPECT_EQ(sub("bad1", 2), -1);
    EXPECT_EQ(err, 301);
    EXPECT_EQ(tavix_engine_subscription_item_get("bad1", false), nullptr);
    EXPECT_EQ(f->count, 1u);

    // Subscribed again in the frame that holds it: 465 in both passes, and
    // the frame still holds it.
    EXPECT_EQ(sub("R_1_1_INT16", 1), -1);
    EXPECT_EQ(err, 465);
    EXPECT_EQ(sub("R_1_1_INT16", 2), -1);
    EXPECT_EQ(err, 465);
    EXPECT_EQ(f->count, 1u);
    ASSERT_NE(tavix_engine_frame_find_item(f, "R_1_1_INT16"), nullptr);
    EXPECT_EQ(tavix_engine_frame_find_item(f, "R_1_1_INT16")->frame_count, 1u);
    EXPECT_TRUE(unsubscribed.empty());

    // No memory for the frame's items past its own room of 32: 900 in both
    // passes, and the new address is held nowhere.
    for (int i = 0; i < 31; i++) ASSERT_EQ(sub(("R_" + std::to_string(100 + i) + "_1_INT16").c_str(), 0), 0);
    ASSERT_EQ(f->count, 32u);
    tavix_subs_realloc = [](void *p, std::size_t n) {
        return p == nullptr && n == 64 * sizeof(void *) ? nullptr : std::realloc(p, n);
    };
    EXPECT_EQ(sub("C", 1), -1);
    EXPECT_EQ(err, 900);
    tavix_subs_realloc = std::realloc;
    EXPECT_EQ(sub("C", 2), -1);
    EXPECT_EQ(err, 900);
    EXPECT_EQ(it, nullptr);
    EXPECT_EQ(tavix_engine_subscription_item_get("C", false), nullptr);
    EXPECT_EQ(f->count, 32u);

    // An address the first pass could not make (the items option reached) is
    // answered 464 by the second, which makes none either.
    const uint32_t items = tavix_global_options.max_items;
    tavix_global_options.max_items = tavix_subscription_map.count;
    EXPECT_EQ(sub("D", 1), -1);
    EXPECT_EQ(err, 464);
    tavix_global_options.max_items = items;
    EXPECT_EQ(sub("D", 2), -1);
    EXPECT_EQ(err, 464);
    EXPECT_EQ(tavix_engine_subscription_item_get("D", false), nullptr);
    EXPECT_EQ(f->count, 32u);
    EXPECT_EQ(subscribed.size(), 33u);  // R_1_1_INT16, bad1 and the 31: C and D never asked
    EXPECT_TRUE(unsubscribed.empty());

    // A filter item's name as a data address: 301 in both passes, and the
    // filter's own frame alone still holds it.
    tavix_frame *g = Frame(a);
    tavix_item *filter = nullptr;
    ASSERT_EQ(tavix_engine_subscription_frame_subscribe_item(g, 2, nullptr, &filter, 0, &err), 0);
    ASSERT_NE(filter, nullptr);
    const std::string name = filter->name;
    EXPECT_EQ(sub(name.c_str(), 1), -1);
    EXPECT_EQ(err, 301);
    EXPECT_EQ(sub(name.c_str(), 2), -1);
    EXPECT_EQ(err, 301);
    EXPECT_EQ(filter->frame_count, 1u);
    EXPECT_EQ(filter->frames[0], g);
    EXPECT_EQ(tavix_engine_frame_find_item(f, name.c_str()), nullptr);
}

// Items taken out of the map are kept for reuse with their name buffers: the
// head of the list when its buffer holds the new name, else the first of the
// next six that does, else the eighth whatever its size (given a buffer of
// its own); up to 128 are kept, none with a buffer of 129 bytes or more.
// Frame ids and filter names count on from 1 after 0xFFFFFFFF.
TEST_F(WebMethods, RemovedItemsAreReusedByTheRoomOfTheirNamesAndTheCountersComeBackTo1) {
    auto &m = tavix_subscription_map;
    ASSERT_EQ(m.recycled_count, 0u);
    auto make = [](const std::string &name) { return tavix_engine_subscription_item_get(name.c_str(), true); };
    auto drop = [](tavix_item *it) { ASSERT_EQ(tavix_engine_subscription_item_remove(it), 0); };
    // Each case starts from an empty list.
    auto empty = [&] {
        while (m.recycled != nullptr) {
            tavix_item *it = m.recycled;
            m.recycled = it->next;
            std::free(it->name);
            std::free(it);
        }
        m.recycled_count = 0;
    };
    // The head holds "wxyz" and its NUL.
    tavix_item *abcd = make("abcd");
    drop(abcd);
    EXPECT_EQ(m.recycled_count, 1u);
    EXPECT_EQ(make("wxyz"), abcd);
    EXPECT_EQ(std::make_tuple(std::string(abcd->name), abcd->name_size, m.recycled_count),
              std::make_tuple(std::string("wxyz"), 5u, 0u));
    drop(abcd);
    EXPECT_EQ(tavix_engine_subscription_item_remove(abcd), -1);  // no longer in the map
    EXPECT_EQ(make("q"), abcd);                                  // a shorter name keeps the larger buffer
    EXPECT_EQ(abcd->name_size, 5u);
    drop(abcd);
    empty();
    // The head and the second are too small, the third is taken.
    tavix_item *big = make("012345678"), *s1 = make("1"), *s2 = make("2");
    drop(big);
    drop(s1);
    drop(s2);  // the list: s2, s1, big
    EXPECT_EQ(make("hello"), big);
    EXPECT_EQ(std::make_tuple(m.recycled_count, m.recycled, s2->next, s1->next),
              std::make_tuple(2u, s2, s1, static_cast<tavix_item *>(nullptr)));
    drop(big);
    empty();
    // Eight too small: the eighth is taken and gets a buffer for the name.
    std::vector<tavix_item *> small;
    for (int i = 0; i < 8; i++) small.push_back(make(std::string(1, char('a' + i))));
    for (tavix_item *it : small) drop(it);  // the list: h, g, ..., a
    tavix_item *a = make("a longer name");
    EXPECT_EQ(a, small[0]);
    EXPECT_EQ(std::make_tuple(std::string(a->name), a->name_size, m.recycled_count),
              std::make_tuple(std::string("a longer name"), 14u, 7u));
    // Seven, none large enough: a new item, the seven stay.
    tavix_item *fresh = make("another long name");
    for (tavix_item *it : small) EXPECT_NE(fresh, it);
    EXPECT_EQ(m.recycled_count, 7u);
    drop(a);
    drop(fresh);
    EXPECT_EQ(m.recycled_count, 9u);
    empty();
    // A name buffer of 129 bytes is freed, one of 128 kept.
    drop(make(std::string(128, 'x')));
    EXPECT_EQ(m.recycled_count, 0u);
    drop(make(std::string(127, 'y')));
    EXPECT_EQ(m.recycled_count, 1u);
    empty();
    // At most 128 are kept; the map's array grows from 128 to 192 references.
    std::vector<tavix_item *> many;
    for (int i = 0; i < 140; i++) many.push_back(make("many" + std::to_string(i)));
    EXPECT_EQ(std::make_tuple(m.count, m.cap, m.recycled_count), std::make_tuple(140u, 192u, 0u));
    for (tavix_item *it : many) drop(it);
    EXPECT_EQ(std::make_tuple(m.count, m.recycled_count), std::make_tuple(0u, 128u));

    // Frame ids: the 256th is 100; after ffffffff comes 1.
    m.next_frame = 256;
    tavix_frame *f = tavix_engine_subscription_frame_alloc();
    EXPECT_STREQ(f->id, "100");
    std::free(f);
    m.next_frame = 0xFFFFFFFF;
    f = tavix_engine_subscription_frame_alloc();
    EXPECT_STREQ(f->id, "ffffffff");
    std::free(f);
    f = tavix_engine_subscription_frame_alloc();
    EXPECT_STREQ(f->id, "1");
    // Filter names the same way.
    tavix_session *s = Session("kf");
    f->owner = s;
    f->next = s->frames;
    s->frames = f;
    s->frame_count++;
    m.filter_counter = 0xFFFFFFFF;
    int err = 0;
    tavix_item *it = nullptr;
    ASSERT_EQ(tavix_engine_subscription_frame_subscribe_item(f, 2, nullptr, &it, 0, &err), 0);
    EXPECT_STREQ(it->name, "//F/ffffffff");
    ASSERT_EQ(tavix_engine_subscription_frame_subscribe_item(f, 2, nullptr, &it, 0, &err), 0);
    EXPECT_STREQ(it->name, "//F/00000001");
}

TEST_F(WebMethods, HistoryBatchesQueryFiltersAndTheirWorker) {
    static std::vector<std::pair<uint32_t, uint32_t>> calls;
    static std::vector<std::string> triples;
    calls.clear();
    triples.clear();
    tavix_method_callbacks.history = [](tavix_request *r, const void *, const char *const *a,
                                        const tavix_history_args *) {
        uint32_t n = 0;
        while (a[n] != nullptr) n++;
        calls.push_back({r->first_index, n});
        return 0;
    };
    tavix_method_callbacks.query_filter = [](tavix_request *, const void *, const char *aggregation, double interval,
                                             const tavix_filter *f) {
        triples.push_back(std::string(aggregation != nullptr ? aggregation : "-") + " " + std::to_string(interval));
        for (; f->name != nullptr; f++) triples.push_back(std::string(f->name) + "|" + f->op + "|" + f->value);
        return 0;
    };
    auto form = [](const std::string &body) {
        const std::string request = "POST /tavIX/?x HTTP/1.0\r\n\r\n" + body;
        tavix_buffer *b = tavix_buffer_get(TAVIX_BUF_REQ_HEADER, 0, 1 << 20, true);
        tavix_buffer_put_data(b, request.data(), uint32_t(request.size()));
        tavix_engine_parse_form(b, uint32_t(request.size() - body.size()));
        return b;
    };
    std::string body;
    for (int i = 0; i < 70; i++) {
        body += i ? "&address[]=R_" : "address[]=R_";
        body += std::to_string(i + 1);
        body += "_1_INT16";
    }
    tavix_connection c{};
    c.id = 42;
    bool keep = false;
    tavix_buffer *req = form(body);
    tavix_buffer *resp = tavix_post_handlers[TAVIX_M_READHISTORY](&c, nullptr, req, &keep);
    EXPECT_EQ(calls, (std::vector<std::pair<uint32_t, uint32_t>>{{0, 32}, {32, 32}, {64, 6}}));
    tavix_buffer_free(resp);
    tavix_buffer_free(req);
    // Four jobs wait; the fifth is refused with 302.
    std::vector<tavix_buffer *> kept;
    // "aggregation" and "interval" are known by their first characters.
    for (int i = 0; i < 4; i++) {
        tavix_buffer *q = form("level=eq:1&aggregation_=avg&interval2=2.5");
        keep = false;
        EXPECT_EQ(tavix_post_handlers[TAVIX_M_QUERYFILTER](&c, nullptr, q, &keep), nullptr);
        EXPECT_TRUE(keep);
    }
    tavix_buffer *fifth = form("level=eq:1");
    keep = false;
    tavix_buffer *refused = tavix_post_handlers[TAVIX_M_QUERYFILTER](&c, nullptr, fifth, &keep);
    ASSERT_NE(refused, nullptr);
    const std::string text(reinterpret_cast<char *>(refused->content->data), refused->content->length);
    EXPECT_EQ(text, "{\"error\":302,\"errorstring\":\"Too many deferred read\\/write\\/query filter requests\"}");
    tavix_buffer_free(refused);
    tavix_buffer_free(fifth);
    EXPECT_EQ(tavix_engine_query_jobs_waiting(), 4u);
    EXPECT_EQ(tavix_engine_query_filter_step(), 1);
    EXPECT_EQ(triples, (std::vector<std::string>{"avg 2.500000", "level|eq|1"}));
    // The server stops: the jobs still waiting go unanswered (their
    // connections are gone, and ids start at 1 again after a restart).
    tavix_server_clear();
    EXPECT_EQ(tavix_engine_query_jobs_waiting(), 0u);
    EXPECT_EQ(tavix_engine_query_filter_step(), 0);
    EXPECT_EQ(triples.size(), 2u);
}

TEST_F(WebMethods, AChangeFanOutStopsAtTheFirstNotificationWithoutMemory) {
    static std::vector<std::string> logged;
    tavix_global_options.error_cb = [](const char *t) { logged.emplace_back(t); };
    tavix_session *a = Session("ka"), *b = Session("kb");
    tavix_frame *fa = Frame(a), *fb = Frame(b);
    int err = 0;
    tavix_item *it = nullptr;
    ASSERT_EQ(tavix_engine_subscription_frame_subscribe_item(fa, 0, "R_1_1_INT16", &it, 0, &err), 0);
    ASSERT_EQ(tavix_engine_subscription_frame_subscribe_item(fb, 0, "R_1_1_INT16", nullptr, 0, &err), 0);
    logged.clear();
    tavix_subs_realloc = [](void *p, std::size_t n) {
        // A notification is its header and the room for its texts.
        return p == nullptr && n > sizeof(tavix_publish_item) ? nullptr : std::realloc(p, n);
    };
    tavix_data_value v{};
    v.kind = TAVIX_DV_INT32;
    v.i32 = 7;
    const tavix_timestamp t{1700000000, 0};
    tavix_data_notify(it, &v, &t, 0);
    tavix_subs_realloc = std::realloc;
    EXPECT_EQ(logged, std::vector<std::string>{"Out of memory allocating a publish item"});
    EXPECT_EQ(Publish(a), "{\"result\":[],\"remaining\":0}");
    EXPECT_EQ(Publish(b), "{\"result\":[],\"remaining\":0}");
}

// A session's queue holds as many notifications as the option allows; the
// next is refused (461), the first refusal logged once and the session torn
// down at the next expiry pass.
TEST_F(WebMethods, AFullPublishQueueRefusesLogsOnceAndAbortsTheSession) {
    static std::vector<std::string> logged;
    tavix_global_options.error_cb = [](const char *t) { logged.emplace_back(t); };
    const uint32_t was = tavix_global_options.max_notifications;
    tavix_global_options.max_notifications = 2;
    tavix_session *a = Session("ka");
    ASSERT_STREQ(a->id, "00000001");
    tavix_frame *f = Frame(a);
    int err = 0;
    tavix_item *items[3] = {};
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(tavix_engine_subscription_frame_subscribe_item(
                      f, 0, ("R_" + std::to_string(i + 1) + "_1_INT16").c_str(), &items[i], 0, &err),
                  0);
    logged.clear();
    tavix_data_value v{};
    v.kind = TAVIX_DV_INT32;
    const tavix_timestamp t{1700000000, 0};
    for (int i = 0; i < 3; i++) {
        v.i32 = i + 1;
        tavix_data_notify(items[i], &v, &t, 0);
    }
    EXPECT_EQ(a->queue_count, 2u);
    EXPECT_EQ(a->aborted, 1u);
    EXPECT_EQ(logged, std::vector<std::string>{"Publish queue overflow on session 00000001 (2 items)"});
    // A further one is refused with its code and not logged again.
    auto *extra = static_cast<tavix_publish_item *>(std::calloc(1, sizeof(tavix_publish_item)));
    int code = 0;
    EXPECT_EQ(tavix_engine_session_insert_notification(a, extra, &code), -1);
    EXPECT_EQ(code, 461);
    std::free(extra);
    EXPECT_EQ(logged.size(), 1u);
    EXPECT_EQ(Publish(a),
              "{\"result\":[{\"type\":1,\"subscriptionid\":[\"1\"],\"address\":\"R_1_1_INT16\",\"value\":1,"
              "\"timestamp\":1700000000000},{\"type\":1,\"subscriptionid\":[\"1\"],\"address\":\"R_2_1_INT16\","
              "\"value\":2,\"timestamp\":1700000000000}],\"remaining\":0}");
    tavix_global_options.max_notifications = was;
    logged.clear();
    tavix_engine_session_delete_expired(a->last_access, nullptr);
    EXPECT_EQ(logged, std::vector<std::string>{"Tearing session 00000001 down"});
    EXPECT_EQ(tavix_session_table.count, 0u);
}

// A publish answer takes at most its maximum of notifications, and stops at
// the first that no longer fits the buffer limit; the rest stay queued and
// are counted in "remaining".
TEST_F(WebMethods, APublishTakesAtMostItsMaximumAndWhatFitsAndCountsTheRest) {
    tavix_session *a = Session("ka");
    tavix_frame *f = Frame(a);
    int err = 0;
    tavix_item *items[3] = {};
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(tavix_engine_subscription_frame_subscribe_item(
                      f, 0, ("R_" + std::to_string(i + 1) + "_1_INT16").c_str(), &items[i], 0, &err),
                  0);
    tavix_data_value v{};
    v.kind = TAVIX_DV_INT32;
    const tavix_timestamp t{1700000000, 0};
    for (int i = 0; i < 3; i++) {
        v.i32 = i + 1;
        tavix_data_notify(items[i], &v, &t, 0);
    }
    auto note = [](int n) {
        return "{\"type\":1,\"subscriptionid\":[\"1\"],\"address\":\"R_" + std::to_string(n) +
               "_1_INT16\",\"value\":" + std::to_string(n) + ",\"timestamp\":1700000000000}";
    };
    tavix_buffer *b = tavix_buffer_get(TAVIX_BUF_DATA, 512, 1 << 20, true);
    tavix_engine_session_do_publish(a, 1, b);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(b->data), b->length),
              "{\"result\":[" + note(1) + "],\"remaining\":2}");
    tavix_buffer_free(b);
    // Each notification is 93 bytes: a limit of 180 holds the first, not two.
    const uint32_t was = tavix_global_options.buffer_limit;
    tavix_global_options.buffer_limit = 180;
    b = tavix_buffer_get(TAVIX_BUF_DATA, 16, 1 << 20, true);
    tavix_engine_session_do_publish(a, 65535, b);
    tavix_global_options.buffer_limit = was;
    EXPECT_EQ(std::string(reinterpret_cast<char *>(b->data), b->length),
              "{\"result\":[" + note(2) + "],\"remaining\":1}");
    tavix_buffer_free(b);
    EXPECT_EQ(Publish(a), "{\"result\":[" + note(3) + "],\"remaining\":0}");
}

TEST_F(WebMethods, RemoteHeaderAndRawRequests) {
    uint32_t counter = 7;
    char hdr[256];
    ASSERT_GT(tavix_comm_remote_server_create_tavix_hdr("0000002a", "k", &counter, hdr, sizeof hdr), 0);
    EXPECT_STREQ(hdr, "sessionid=\"0000002a\", cnonce=\"7\", digest=\"63daa20432e20f767849af9af7079c4d\"");
    EXPECT_EQ(counter, 8u);
    EXPECT_EQ(tavix_comm_remote_server_create_tavix_hdr("0000002a", "k", &counter, hdr, 100), -1);

    tavix_connection c{};
    const uint8_t *h = nullptr, *b = nullptr;
    uint32_t hl = 0, bl = 0;
    const char cut[] = "POST /tavIX/?info HTTP/1.0\r\nContent-Len";
    ASSERT_EQ(tavix_engine_raw_handler_init_dispatcher(&c, reinterpret_cast<const uint8_t *>(cut), sizeof cut - 1), 0);
    EXPECT_EQ(tavix_engine_raw_handler_call_dispatcher(&c, &h, &hl, &b, &bl), 3);
    EXPECT_EQ(h, nullptr);
    tavix_engine_raw_handler_free_dispatcher(&c);
    // The interface's own set-up installs the methods.
    tavix_engine_raw_handler_shutdown();
    tavix_post_handlers[TAVIX_M_INFO] = nullptr;
    tavix_session_table.connection_timeout = tavix_session_table.inactivity_timeout = 0;
    ASSERT_EQ(tavix_engine_raw_handler_init(), 0);
    // Sessions expire by the default time-outs: 60 s without a request, 300 s without activity.
    EXPECT_EQ(std::make_pair(tavix_session_table.connection_timeout, tavix_session_table.inactivity_timeout),
              std::make_pair(60u, 300u));
    tavix_global_options.error_cb = [](const char *) {};
    tavix_global_options.level = 2;
    const char info[] = "POST /tavIX/?info HTTP/1.0\r\nContent-Length: 0\r\n\r\n";
    ASSERT_EQ(tavix_engine_raw_handler_init_dispatcher(&c, reinterpret_cast<const uint8_t *>(info), sizeof info - 1),
              0);
    ASSERT_EQ(tavix_engine_raw_handler_call_dispatcher(&c, &h, &hl, &b, &bl), 0);
    const std::string head(reinterpret_cast<const char *>(h), hl);
    EXPECT_EQ(head.rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(b), bl).rfind("{\"loginmethod\":\"form\"", 0), 0u);
    tavix_engine_raw_handler_free_dispatcher(&c);
    // A response without body: the body pointer stays null.
    const char head_req[] = "HEAD /missing HTTP/1.0\r\n\r\n";
    tavix_global_options.auth_method = 0;
    ASSERT_EQ(
        tavix_engine_raw_handler_init_dispatcher(&c, reinterpret_cast<const uint8_t *>(head_req), sizeof head_req - 1),
        0);
    ASSERT_EQ(tavix_engine_raw_handler_call_dispatcher(&c, &h, &hl, &b, &bl), 0);
    EXPECT_EQ(b, nullptr);
    tavix_engine_raw_handler_free_dispatcher(&c);

    // Two records in flight: each keeps its own answer until its own free call.
    tavix_engine_hooks.utc_now = [] { return uint32_t(1709251200); };
    tavix_connection first{}, second{};
    const uint8_t *h1 = nullptr, *b1 = nullptr, *h2 = nullptr, *b2 = nullptr;
    uint32_t hl1 = 0, bl1 = 0, hl2 = 0, bl2 = 0;
    ASSERT_EQ(
        tavix_engine_raw_handler_init_dispatcher(&first, reinterpret_cast<const uint8_t *>(info), sizeof info - 1), 0);
    ASSERT_EQ(tavix_engine_raw_handler_call_dispatcher(&first, &h1, &hl1, &b1, &bl1), 0);
    const char missing[] = "GET /none.htm HTTP/1.0\r\n\r\n";
    ASSERT_EQ(tavix_engine_raw_handler_init_dispatcher(&second, reinterpret_cast<const uint8_t *>(missing),
                                                       sizeof missing - 1),
              0);
    ASSERT_EQ(tavix_engine_raw_handler_call_dispatcher(&second, &h2, &hl2, &b2, &bl2), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(b1), bl1).rfind("{\"loginmethod\":\"none\"", 0), 0u);
    tavix_engine_raw_handler_free_dispatcher(&first);
    ASSERT_NE(h2, nullptr);
    ASSERT_NE(b2, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(h2), hl2),
              "HTTP/1.0 404 Not Found\r\nServer: TavIX SDK/0.9.0\r\nDate: Fri, 01 Mar 2024 00:00:00 GMT\r\n"
              "Content-Length: 134\r\nContent-Type: text/html; charset=utf-8\r\n\r\n");
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(b2), bl2),
              "<!DOCTYPE html><html><head><title>404 Not Found</title></head><body><h1>Not Found</h1>"
              "<p>Requested Entity: /none.htm</p></body></html>");
    tavix_engine_raw_handler_free_dispatcher(&second);
    tavix_engine_hooks.utc_now = nullptr;

    // A file answer's body is handed out whole, however large.
    test_support::TempRoot root;
    std::string text;
    for (int i = 0; i < 5000; i++) text += char('a' + i % 26);
    std::ofstream(root / "big.js") << text;
    tavix_options_set_web_root(root.path().c_str(), "index.htm");
    const char big[] = "GET /big.js HTTP/1.0\r\n\r\n";
    ASSERT_EQ(tavix_engine_raw_handler_init_dispatcher(&c, reinterpret_cast<const uint8_t *>(big), sizeof big - 1), 0);
    ASSERT_EQ(tavix_engine_raw_handler_call_dispatcher(&c, &h, &hl, &b, &bl), 0);
    EXPECT_NE(std::string(reinterpret_cast<const char *>(h), hl).find("Content-Length: 5000\r\n"), std::string::npos);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(b), bl), text);
    tavix_engine_raw_handler_free_dispatcher(&c);
}
