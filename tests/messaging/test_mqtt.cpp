// MQTT client pieces in-process: the receive ring filled by the message
// callback, the pass-phrase hand-over, the configuration read and its
// refusals, IEC handle moves, the library binding and the unsubscribe call.
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <sys/stat.h>

#include <array>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/image/bytes.h"
#include "core/image/iecrt.h"
#include "core/image/plcreg.h"
#include "core/storage/memfile.h"
#include "messaging/mqtt.h"
#include "tests/support/fake_clock.h"
#include "tests/support/temp_root.h"

namespace {

void ResetRing(mqttConnection &c, uint32_t subs) {
    c.sub_count = subs;
    c.rx_entry = 0;
    c.received = 0;
    std::memset(c.entries, 0, sizeof c.entries);
}

void Deliver(mqttConnection &c, const std::string &topic, const std::string &payload, int qos = 1,
             bool retain = false) {
    mosquitto_message m{};
    m.topic = const_cast<char *>(topic.c_str());
    m.payload = const_cast<char *>(payload.data());
    m.payloadlen = int(payload.size());
    m.qos = qos;
    m.retain = retain;
    messageCallback(nullptr, &c, &m);
}

TEST(Mqtt, ReceiveRingFillsEntriesEightSlotsAtATime) {
    mqttConnection &c = iiotConfig.conn[0];
    ResetRing(c, 2);
    for (int k = 0; k < 9; k++) Deliver(c, "plc/in/a", "msg" + std::to_string(k));
    for (int k = 0; k < 8; k++) {
        const mqttRxSlot &s = c.entries[0].slots[k];
        EXPECT_STREQ(s.topic, "plc/in/a");
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(s.payload)), "msg" + std::to_string(k));
        EXPECT_EQ(s.length, 4u);
        EXPECT_EQ(s.status, 1);
        EXPECT_EQ(s.qos, 1u);
    }
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(c.entries[1].slots[0].payload)), "msg8");
    EXPECT_EQ(c.entries[0].windex, 8u);
    EXPECT_EQ(c.entries[1].windex, 1u);
    EXPECT_EQ(c.rx_entry, 1u);
    EXPECT_EQ(c.received.load(), 9u);

    // Payload sizes at the slot's edge, an empty message, a long topic.
    ResetRing(c, 1);
    Deliver(c, "t", std::string(4095, 'a'), 2, true);
    EXPECT_EQ(c.entries[0].slots[0].status, 1);
    EXPECT_EQ(c.entries[0].slots[0].length, 4095u);
    EXPECT_EQ(c.entries[0].slots[0].retain, 1);
    c.entries[0].slots[1].length = 77;
    Deliver(c, "t", std::string(4096, 'b'));
    EXPECT_EQ(c.entries[0].slots[1].status, 3);
    EXPECT_EQ(c.entries[0].slots[1].length, 77u);
    EXPECT_EQ(c.entries[0].slots[1].payload[0], 0);
    std::memset(c.entries[0].slots[2].payload, 'z', 10);
    c.entries[0].slots[2].length = 10;
    Deliver(c, "t", "");
    EXPECT_EQ(c.entries[0].slots[2].length, 0u);
    EXPECT_EQ(c.entries[0].slots[2].payload[0], 0);
    Deliver(c, std::string(256, 'x'), "p");
    EXPECT_EQ(c.entries[0].slots[3].status, 3);
    EXPECT_EQ(c.entries[0].slots[3].topic[0], 0);
    Deliver(c, std::string(255, 'y'), "p");
    EXPECT_EQ(c.entries[0].slots[4].status, 1);
    EXPECT_EQ(std::strlen(c.entries[0].slots[4].topic), 255u);
    EXPECT_EQ(c.received.load(), 5u);

    // A full ring (the payload library has not reset the entry) and no
    // subscriptions: the message is dropped and not counted.
    ResetRing(c, 1);
    c.entries[0].windex = 8;
    Deliver(c, "t", "lost");
    EXPECT_EQ(c.received.load(), 0u);
    EXPECT_EQ(c.entries[0].windex, 8u);
    ResetRing(c, 0);
    Deliver(c, "t", "lost");
    EXPECT_EQ(c.received.load(), 0u);
    // A write entry left past the subscriptions (a download lowered their
    // count): it wraps back into range, entry 2 of 2 becomes entry 0.
    ResetRing(c, 2);
    c.rx_entry = 2;
    Deliver(c, "t", "kept");
    EXPECT_EQ(c.received.load(), 1u);
    EXPECT_EQ(c.entries[2].windex, 0u);
    EXPECT_EQ(c.entries[0].windex, 1u);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(c.entries[0].slots[0].payload)), "kept");
    EXPECT_EQ(c.rx_entry, 0u);
    ResetRing(c, 2);
    c.rx_entry = 3;
    Deliver(c, "t", "kept");
    EXPECT_EQ(c.entries[1].windex, 1u);
    EXPECT_EQ(c.rx_entry, 1u);
    ResetRing(c, 0);
}

TEST(Mqtt, PassPhraseHandOver) {
    mqttConnection &c = iiotConfig.conn[1];
    std::snprintf(c.passphrase, sizeof c.passphrase, "0123456789");
    char buf[300];
    struct P {
        int size;
        int answer;
    };
    for (const P &p : {P{64, 10}, P{11, 10}, P{10, 10}, P{4, 4}}) {
        std::memset(buf, 'Q', sizeof buf);
        EXPECT_EQ(mqttPassphrase(c, buf, p.size), p.answer) << p.size;
        EXPECT_EQ(std::string(buf, std::size_t(p.answer)), std::string("0123456789").substr(0, std::size_t(p.answer)));
        EXPECT_EQ(buf[p.size], 'Q');
    }
    EXPECT_EQ(mqttPassphrase(c, nullptr, 64), 0);
    // A long pass phrase fills a 128-byte buffer without passing it.
    std::memset(c.passphrase, 'k', 200);
    c.passphrase[200] = 0;
    std::memset(buf, 'Q', sizeof buf);
    EXPECT_EQ(mqttPassphrase(c, buf, 128), 128);
    EXPECT_EQ(buf[127], 'k');
    EXPECT_EQ(buf[128], 'Q');
    // The callback finds the connection by its client instance only.
    EXPECT_EQ(tlsPwdCallback(buf, 64, 0, reinterpret_cast<void *>(0x1234)), 0);
    std::memset(c.passphrase, 0, sizeof c.passphrase);
}

// D with one broker record at 64 and a string area behind it.
struct Block {
    std::vector<uint8_t> d = std::vector<uint8_t>(64 + 184, 0);
    std::string strings;
    uint32_t Text(const std::string &t, uint32_t rec_at) {
        LE_Put32(&d[64 + rec_at], uint32_t(strings.size()));
        LE_Put32(&d[64 + rec_at + 4], uint32_t(t.size()));
        strings += t;
        return 0;
    }
    void Install() {
        LE_Put16(&d[2], 64);
        LE_Put32(&d[12], R100());
        LE_Put32(&d[32], uint32_t(d.size()));
        LE_Put32(&d[36], uint32_t(d.size() + strings.size()));
        std::vector<uint8_t> all = d;
        all.insert(all.end(), strings.begin(), strings.end());
        mqtt_tbl.fill(0);
        LE_Put32(&mqtt_tbl[4], uint32_t(all.size()));
        std::memcpy(&mqtt_tbl[8], all.data(), all.size());
    }
    static uint32_t R100() { return BA_R + 16 * 99; }
    uint8_t &At(uint32_t off) { return d[64 + off]; }
};

TEST(Mqtt, ConfigurationReadAndRefusals) {
    struct C {
        const char *what;
        uint8_t count, flags, kind;
        uint16_t v0, v1, v2, tls_sel, tls_ver;
        uint16_t subs;
        uint32_t will_len;
        uint32_t answer;
        const char *address, *tls_text;
        uint32_t protocol;
        uint8_t clean;
    };
    const C cases[] = {
        {"plain", 1, 0x20, 1, 4, 0, 0, 0, 0, 2, 4, 1, "192.168.1.10", "", 4, 1},
        {"3.1", 1, 0x20, 1, 3, 1, 0, 0, 0, 0, 0, 1, "192.168.1.10", "", 3, 1},
        {"3.1.1", 1, 0x20, 1, 3, 1, 1, 0, 0, 0, 0, 1, "192.168.1.10", "", 4, 1},
        {"tlsv1", 1, 0x22, 1, 4, 0, 0, 1, 0, 0, 0, 1, "192.168.1.10", "tlsv1", 4, 1},
        {"tlsv1.1", 1, 0x22, 1, 4, 0, 0, 1, 1, 0, 0, 1, "192.168.1.10", "tlsv1.1", 4, 1},
        {"tlsv1.2 by 2", 1, 0x22, 1, 4, 0, 0, 1, 2, 0, 0, 1, "192.168.1.10", "tlsv1.2", 4, 1},
        {"tlsv1.2 by selector", 1, 0x22, 1, 4, 0, 0, 0, 0, 0, 0, 1, "192.168.1.10", "tlsv1.2", 4, 1},
        {"count 9", 9, 0x20, 1, 4, 0, 0, 0, 0, 0, 0, 0, "", "", 0, 0},
        {"65 subscriptions", 1, 0x20, 1, 4, 0, 0, 0, 0, 65, 0, 0, "", "", 0, 0},
        {"will 1025", 1, 0x21, 1, 4, 0, 0, 0, 0, 0, 1025, 0, "", "", 0, 0},
        {"will 1024", 1, 0x21, 1, 4, 0, 0, 0, 0, 64, 1024, 1, "192.168.1.10", "", 4, 1},
    };
    for (const C &c : cases) {
        Block b;
        b.d[20] = c.count;
        b.At(5) = c.flags;
        b.At(7) = c.kind;
        const uint8_t addr[4] = {10, 1, 168, 192};
        std::memcpy(&b.At(60), addr, 4);
        LE_Put16(&b.At(14), c.v0);
        LE_Put16(&b.At(16), c.v1);
        LE_Put16(&b.At(18), c.v2);
        LE_Put16(&b.At(20), c.tls_sel);
        LE_Put16(&b.At(22), c.tls_ver);
        LE_Put16(&b.At(174), c.subs);
        b.Text(std::string(c.will_len, 'w'), 92);
        b.Text("plc/will", 84);
        b.Install();
        std::memset(iiotConfig.conn[0].tls_version, 0, MQTT_TEXT);
        iiotConfig.conn[0].clean_session = 0;
        EXPECT_EQ(readConfigNvram(2), c.answer) << c.what;
        if (c.answer == 0) continue;
        const mqttConnection &k = iiotConfig.conn[0];
        EXPECT_STREQ(k.address, c.address) << c.what;
        EXPECT_STREQ(k.name, "BrokerConnection_0") << c.what;
        EXPECT_STREQ(k.tls_version, c.tls_text) << c.what;
        EXPECT_EQ(k.protocol, c.protocol) << c.what;
        EXPECT_EQ(k.clean_session, c.clean) << c.what;  // no client identifier
        EXPECT_EQ(k.mode, 1u);
    }
    // The last case's will payload of 1024 bytes is kept whole.
    EXPECT_EQ(iiotConfig.conn[0].will_length, 1024u);
    EXPECT_EQ(iiotConfig.conn[0].will_payload[1023], 'w');
    // Texts of 256 bytes and (offset, length) pairs past the block refuse it.
    struct Spoil {
        const char *what;
        void (*spoil)(Block &);
        uint32_t answer;
    };
    const Spoil spoils[] = {
        {"client id of 255", [](Block &b) { b.Text(std::string(255, 'i'), 52); }, 1},
        {"client id of 256", [](Block &b) { b.Text(std::string(256, 'i'), 52); }, 0},
        {"user of 256", [](Block &b) { b.Text(std::string(256, 'u'), 68); }, 0},
        {"password past the block",
         [](Block &b) {
             LE_Put32(&b.At(76), 4000);
             LE_Put32(&b.At(80), 1);
         },
         0},
        {"CA text past the block",
         [](Block &b) {
             LE_Put32(&b.At(100), 0);
             LE_Put32(&b.At(104), 5000);
         },
         0},
        {"host name of 256",
         [](Block &b) {
             b.At(7) = 2;
             b.Text(std::string(256, 'h'), 60);
         },
         0},
        {"library past the block",
         [](Block &b) {
             LE_Put32(&b.At(176), 0);
             LE_Put32(&b.At(180), 1);
         },
         0},
        {"second record past the block", [](Block &b) { b.d[20] = 2; }, 0},
        {"eight records",
         [](Block &b) {
             b.d.resize(64 + 8 * 184);
             b.d[20] = 8;
             b.Text(std::string(255, 'i'), 52);
         },
         1},
    };
    for (const Spoil &s : spoils) {
        Block b;
        b.d[20] = 1;
        b.At(5) = 0x20;
        b.At(7) = 1;
        s.spoil(b);
        b.Install();
        EXPECT_EQ(readConfigNvram(2), s.answer) << s.what;
        if (s.answer) {
            EXPECT_EQ(std::string(iiotConfig.conn[0].id), std::string(255, 'i')) << s.what;
        }
    }
    // A block claiming more bytes than the table holds is read up to the
    // table's end: a password in its last byte is taken, one past it refuses.
    struct Tail {
        uint32_t at, answer;
        const char *password;
    };
    for (const Tail &t : {Tail{uint32_t(MQTT_TBL_SIZE) - 1, 1, "p"}, Tail{uint32_t(MQTT_TBL_SIZE), 0, ""}}) {
        Block b;
        b.d[20] = 1;
        b.At(5) = 0x20;
        b.At(7) = 1;
        b.Install();
        // D starts at byte 8 of the table, the strings at 248 of D.
        LE_Put32(&mqtt_tbl[8 + 64 + 76], t.at - 8 - 248);
        LE_Put32(&mqtt_tbl[8 + 64 + 80], 1);
        LE_Put32(&mqtt_tbl[4], uint32_t(MQTT_TBL_SIZE));
        mqtt_tbl[MQTT_TBL_SIZE - 1] = 'p';
        iiotConfig.conn[0].password[0] = 0;
        EXPECT_EQ(readConfigNvram(2), t.answer) << t.at;
        EXPECT_STREQ(iiotConfig.conn[0].password, t.password) << t.at;
    }
    // A TLS connection's CA text goes to its file; read again unchanged,
    // the file is left as it is (the same inode), a changed text replaces it.
    {
        test_support::TempRoot root;
        ASSERT_EQ(mkdir((root / "mnt/USB0").c_str(), 0755), 0);
        const std::string ca = root / "mnt/USB0/0_dca-cert.pem";
        auto read_with = [&](const std::string &text) {
            Block b;
            b.d[20] = 1;
            b.At(5) = 0x22;
            b.At(7) = 1;
            b.At(9) = 1;  // a CA file only
            b.Text(text, 100);
            b.Install();
            EXPECT_EQ(readConfigNvram(2), 1u) << text;
            struct stat st {};
            EXPECT_EQ(stat(ca.c_str(), &st), 0) << text;
            EXPECT_EQ(uint64_t(st.st_size), text.size()) << text;
            return st.st_ino;
        };
        const ino_t first = read_with("CA-1");
        EXPECT_EQ(read_with("CA-1"), first);
        EXPECT_NE(read_with("CA-2"), first);
        EXPECT_STREQ(iiotConfig.conn[0].ca_file, ca.c_str());
        // An empty text empties the file (the old certificate is not kept in
        // use), and no new file is left behind; read again, nothing changes.
        const ino_t empty = read_with("");
        struct stat st {};
        EXPECT_NE(stat((ca + ".new").c_str(), &st), 0);
        EXPECT_EQ(read_with(""), empty);
        EXPECT_NE(stat((ca + ".new").c_str(), &st), 0);
    }
    // A block of 15 bytes is no configuration; 16 with no connection is one.
    mqtt_tbl.fill(0);
    LE_Put32(&mqtt_tbl[4], 15);
    EXPECT_EQ(readConfigNvram(2), 0u);
    LE_Put32(&mqtt_tbl[4], 16);
    LE_Put32(&mqtt_tbl[8 + 12], Block::R100());
    EXPECT_EQ(readConfigNvram(3), 1u);
    uint8_t st[2] = {};
    PlcReg_Get(st, Block::R100(), 16);
    EXPECT_EQ(st[0], 0x03);
    EXPECT_EQ(st[1], 0x00);
    // No connection: the broker table is not read, so its offset may point
    // past the data; the block is still a configuration.
    LE_Put16(&mqtt_tbl[8 + 2], 64);
    PlcReg_Set(Block::R100(), std::array<uint8_t, 2>{}.data(), 16);
    EXPECT_EQ(readConfigNvram(3), 1u);
    PlcReg_Get(st, Block::R100(), 16);
    EXPECT_EQ(st[0], 0x03);
    mqtt_tbl.fill(0);
    LE_Put32(&mqtt_tbl[4], 0);
    iiotConfig.count = 0;
}

TEST(Mqtt, HandleMovesTimeoutsAndTheLibraryBinding) {
    struct H {
        uint32_t handle, bit, width, answer, moved;
    };
    const H cases[] = {
        {0xC4000005u, 48, 16, 1, 0xC4000008u},                  // 16-bit elements: 3 further
        {0xC8000005u, 37, 1, 1, 0xC8000005u + 1 + (5u << 20)},  // 32-bit: 1 further, bit 5
        {0xC00FFFFFu, 8, 8, 1, 0xC0000000u},                    // the index keeps 20 bits
        {0xD0000005u, 8, 8, 0, 0xD0000005u},                    // width class 4
    };
    for (const H &h : cases) {
        uint32_t v = h.handle;
        EXPECT_EQ(updateDrevanoRegInfo(&v, h.bit, h.width), h.answer);
        EXPECT_EQ(v, h.moved) << std::hex << h.handle;
    }
    test_support::FakeClock clock(100000000000);  // 100 s, on a whole second
    uint32_t timer = 0;
    EXPECT_EQ(checkTimeout(&timer, 0), 1u);
    test_support::FakeClock::AdvanceMs(4999);
    EXPECT_EQ(checkTimeout(&timer, 5), 0u);
    test_support::FakeClock::AdvanceMs(1);
    EXPECT_EQ(checkTimeout(&timer, 5), 1u);

    // A QoS 0 item while disconnected: no library call, nothing changes.
    mqttConnection &c = iiotConfig.conn[2];
    c.connected = 0;
    c.items[0].qos = 0;
    c.items[0].flag = 1;
    EXPECT_EQ(mqttClientPublish(c, 0), 1u);
    EXPECT_EQ(c.items[0].flag, 1);
    EXPECT_EQ(c.published, 0u);
    EXPECT_EQ(c.pending.load(), 0u);

    // A missing library is reported and leaves the client idle.
    static const char *const kMissing[] = {"libmosquitto-missing.so", nullptr};
    const char *const *keep = mqttLibNames;
    mqttLibNames = kMissing;
    testing::internal::CaptureStdout();
    EXPECT_EQ(dynamicLibInit(), 0u);
    // The loader's own text (glibc's wording for a name it cannot find).
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "dynamicLibInit(): Cannot load MQTT library : libmosquitto-missing.so: cannot open shared object "
              "file: No such file or directory\n");
    // A library that loads but lacks the first name: the loader's text for
    // the missing symbol, and no row is left resolved.
    static const char *const kWrong[] = {"libm.so.6", nullptr};
    mqttLibNames = kWrong;
    testing::internal::CaptureStdout();
    EXPECT_EQ(dynamicLibInit(), 0u);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("dynamicLibInit(): Cannot find MQTT 'mosquitto_unsubscribe' method in the DLL : ", 0), 0u)
        << out;
    const std::string tail = "libm.so.6: undefined symbol: mosquitto_unsubscribe\n";
    EXPECT_TRUE(out.size() > tail.size() && out.compare(out.size() - tail.size(), tail.size(), tail) == 0) << out;
    for (unsigned i = 0; i < MQTT_FN_COUNT; i++) EXPECT_EQ(dynLibFunc[i].fn, nullptr) << dynLibFunc[i].name;
    c.state = 0;
    c.dlInit = nullptr;
    mqttConnStep(2);
    EXPECT_EQ(c.state, 0u);
    mqttLibNames = keep;
    ASSERT_EQ(dynamicLibInit(), 1u);
    for (unsigned i = 0; i < MQTT_FN_COUNT; i++) EXPECT_NE(dynLibFunc[i].fn, nullptr) << dynLibFunc[i].name;
    EXPECT_STREQ(dynLibFunc[26].name, "mosquitto_user_data_set");
    EXPECT_EQ(dynLibFunc[MQTT_FN_COUNT].name, nullptr);

    // Unsubscribing an entry hands the library the entry's message-identifier
    // field and its topic; the library's 0 answers 1, anything else 0; a
    // connection without a client instance calls nothing and answers 0.
    static int *mid_seen;
    static const char *topic_seen;
    static int unsub_result;
    void *const unsub_was = dynLibFunc[0].fn;
    dynLibFunc[0].fn = reinterpret_cast<void *>(+[](mosquitto *, int *mid, const char *topic) {
        mid_seen = mid;
        topic_seen = topic;
        return unsub_result;
    });
    std::strcpy(c.entries[1].topic, "plant/line1");
    void *const client_was = c.client;
    c.client = &c;  // any instance: the stand-in does not use it
    unsub_result = 0;
    EXPECT_EQ(mqttClientUnsubscribe(c, 1), 1u);
    EXPECT_EQ(mid_seen, &c.entries[1].mid);
    EXPECT_STREQ(topic_seen, "plant/line1");
    unsub_result = MOSQ_ERR_NO_CONN;
    EXPECT_EQ(mqttClientUnsubscribe(c, 1), 0u);
    c.client = nullptr;
    topic_seen = nullptr;
    unsub_result = 0;
    EXPECT_EQ(mqttClientUnsubscribe(c, 1), 0u);
    EXPECT_EQ(topic_seen, nullptr);
    c.client = client_was;
    dynLibFunc[0].fn = unsub_was;
}

}  // namespace

TEST(Mqtt, AnEndedLibraryThreadIsMarkedAndItsConnectionRebuiltNoSoonerThanAConnect) {
    mqttConnection &c = iiotConfig.conn[1];
    c.loop_ended = 0;
    // A callback on a thread that then ends marks the connection; one on a
    // thread that goes on (this one) does not.
    disconnectCallback(nullptr, &c, 0);
    EXPECT_EQ(c.loop_ended, 0);
    std::thread([&c] { disconnectCallback(nullptr, &c, 7); }).join();
    EXPECT_EQ(c.loop_ended, 1);

    // Running state, network thread started but ended, the connected flag
    // left set: nothing is connected, and the rebuild waits for the connect
    // timer's 20 s.
    test_support::FakeClock clock(100000000000);  // 100 s, on a whole second
    iiotConfig.enable = 1;
    c.state = 10;
    c.follow = 4;
    c.loop_running = 1;
    c.connected = 1;
    checkTimeout(&c.connect_timer, 0);
    mqttConnStep(1);
    EXPECT_EQ(c.connected, 0);
    EXPECT_EQ(c.state, 10u);
    EXPECT_EQ(c.follow, 4u);
    test_support::FakeClock::AdvanceMs(20000);
    mqttConnStep(1);
    EXPECT_EQ(c.state, 6u);  // stop, then destroy and create again
    mqttConnStep(1);
    EXPECT_EQ((c.state << 16) | (c.loop_running << 8) | c.loop_ended, 1u << 16);
    // A thread that still runs reconnects by itself: scan and publish.
    c.state = 10;
    c.follow = 4;
    c.loop_running = 1;
    mqttConnStep(1);
    EXPECT_EQ(c.state, 7u);
    c.state = 0;
    c.loop_running = 0;
    iiotConfig.enable = 0;
}

// A broker address changed while the connection is down (its network thread
// retrying the old broker) is taken at the next connection attempt: the
// thread is stopped and the client made again, not left retrying for ever.
// The connect step takes the address as it is then, so the change is done.
TEST(Mqtt, AnAddressChangedWhileDisconnectedIsTakenAtTheNextAttempt) {
    mqttConnection &c = iiotConfig.conn[2];
    test_support::FakeClock clock(100000000000);
    iiotConfig.enable = 1;
    for (const uint8_t changed : {0, 1}) {
        c.state = 10;
        c.follow = 4;
        c.loop_running = 1;
        c.loop_ended = 0;
        c.connected = 0;
        c.address_changed = changed;
        mqttConnStep(2);
        EXPECT_EQ(c.state, changed ? 6u : 7u) << int(changed);
    }
    mqttConnStep(2);  // the stop
    EXPECT_EQ((c.state << 8) | c.loop_running, 1u << 8);
    c.state = 3;
    c.address_kind = 1;
    c.address_changed = 1;
    mqttConnStep(2);
    EXPECT_EQ(c.address_changed, 0);
    c.state = 0;
    c.loop_running = 0;
    iiotConfig.enable = 0;
}

// A payload library that cannot be opened leaves no entry point behind, its
// own connection's nor a later one's: a running connection calls no scan of
// a library it no longer has.
TEST(Mqtt, AFailedPayloadLibraryLeavesNoEntryPointsBehind) {
    static int scans;
    scans = 0;
    const DlScanFn stand_in = +[](uint32_t, mqttPubItem *, mqttSubEntry *) { scans++; };
    test_support::FakeClock clock(100000000000);
    IiotConfig &g = iiotConfig;
    g.count = 2;
    for (uint32_t i = 0; i < 2; i++) {
        mqttConnection &c = g.conn[i];
        c.lib = nullptr;
        std::strcpy(c.lib_name, "libpayload-missing.so");
        c.dlScanFirst = c.dlScan = stand_in;
    }
    EXPECT_EQ(dlInitialize(), 0u);
    for (uint32_t i = 0; i < 2; i++) {
        EXPECT_EQ(g.conn[i].dlInit, nullptr) << i;
        EXPECT_EQ(g.conn[i].dlScanFirst, nullptr) << i;
        EXPECT_EQ(g.conn[i].dlScan, nullptr) << i;
        EXPECT_EQ(g.conn[i].dlDeInit, nullptr) << i;
    }
    mqttConnection &c = g.conn[1];
    g.enable = 1;
    c.state = 10;
    c.follow = 4;
    c.loop_running = 1;
    c.loop_ended = 0;
    c.connected = 0;
    c.address_changed = 0;
    mqttConnStep(1);
    EXPECT_EQ(c.state, 7u);
    c.state = 10;
    c.follow = 3;
    mqttConnStep(1);
    EXPECT_EQ(scans, 0);
    c.state = 0;
    c.loop_running = 0;
    g.enable = 0;
    g.count = 0;
}

// An IEC element written for a payload library: widths 1, 8, 16 and 32 only;
// any other width (a 64-bit value here) writes nothing and reads no more
// than the value it is given.
TEST(Mqtt, AnIecElementOfAnotherWidthIsNotWritten) {
    const uint8_t runtime_was = DrevanoRuntime, enumerated_was = drevano_variables_enumerateded;
    DrevanoRuntime = 1;
    drevano_variables_enumerateded = 1;
    for (const uint32_t width : {40u, 64u, 256u}) {
        const std::vector<uint8_t> value(width / 8, 0x5A);  // exactly the value's bytes
        EXPECT_EQ(xiecPlcRegSet(0xC4000005u, 0, value.data(), width), 1u) << width;
    }
    DrevanoRuntime = runtime_was;
    drevano_variables_enumerateded = enumerated_was;
}

// A client made again for a connection that still has one (a download
// during its set-up puts it back to creation) destroys the old one first.
TEST(Mqtt, AClientMadeAgainDestroysTheOldOne) {
    ASSERT_EQ(dynamicLibInit(), 1u);
    mqttLibInit();
    unsigned destroy = 0;
    while (dynLibFunc[destroy].name && std::strcmp(dynLibFunc[destroy].name, "mosquitto_destroy") != 0) destroy++;
    ASSERT_NE(dynLibFunc[destroy].name, nullptr);
    static void *real;
    static std::vector<void *> destroyed;
    destroyed.clear();
    real = dynLibFunc[destroy].fn;
    dynLibFunc[destroy].fn = reinterpret_cast<void *>(+[](mosquitto *m) {
        destroyed.push_back(m);
        reinterpret_cast<void (*)(mosquitto *)>(real)(m);
    });
    mqttConnection &c = iiotConfig.conn[3];
    c.client = nullptr;
    c.id[0] = 0;
    c.clean_session = 1;
    c.mode = 1;
    ASSERT_EQ(mqttClientInit(c), 1u);
    void *const first = c.client;
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(destroyed.empty());
    ASSERT_EQ(mqttClientInit(c), 1u);
    ASSERT_EQ(destroyed.size(), 1u);
    EXPECT_EQ(destroyed[0], first);
    mqttClientDestroy(c);
    EXPECT_EQ(destroyed.size(), 2u);
    dynLibFunc[destroy].fn = real;
}

// A subscription asked for and not confirmed is asked again after 30 s: its
// pending flag drops then (not before), so the publish state subscribes anew.
TEST(Mqtt, AnUnconfirmedSubscriptionIsAskedAgainAfterThirtySeconds) {
    test_support::FakeClock clock(100000000000);
    IiotConfig &g = iiotConfig;
    g.enable = 1;
    g.reloaded = 0;
    mqttConnection &c = g.conn[4];
    c.mode = 1;
    c.sub_count = 2;
    c.connected = 1;
    c.loop_ended = 0;
    c.reconnect = 0;
    c.address_changed = 0;
    c.dlScan = nullptr;
    c.subscribed[0] = 0, c.sub_pending[0] = 1;
    c.subscribed[1] = 1, c.sub_pending[1] = 1;
    checkTimeout(&c.entries[0].time, 0);
    checkTimeout(&c.entries[1].time, 0);
    auto wait_step = [&] {
        c.state = 10;
        c.follow = 4;
        mqttConnStep(4);
        EXPECT_EQ(c.state, 7u);
    };
    test_support::FakeClock::AdvanceMs(29999);
    wait_step();
    EXPECT_EQ(c.sub_pending[0], 1);
    test_support::FakeClock::AdvanceMs(1);
    wait_step();
    EXPECT_EQ(c.sub_pending[0], 0);
    EXPECT_EQ(c.sub_pending[1], 1);  // a confirmed one is left alone
    c.state = 0;
    c.connected = 0;
    c.sub_count = 0;
    g.enable = 0;
}

// A Sparkplug will's topic is namespace/group/NDEATH/node, each part whole
// (a group of 100 characters is not cut); a topic of 256 characters or more
// refuses the block, as a plain will topic of that length does.
TEST(Mqtt, SparkplugWillTopicsWhole) {
    auto install = [](const std::string &ns, const std::string &group, const std::string &node) {
        Block b;
        b.d[20] = 1;
        b.At(5) = 0x20 | 0x01 | 0x10;  // mode 1, a will, the Sparkplug will
        b.At(6) = 2;                   // Sparkplug payloads
        b.At(7) = 1;
        b.Install();
        // The object area follows the strings: one Sparkplug record at its
        // start, its texts 44 bytes on.
        const uint32_t objects = LE_Get32(&mqtt_tbl[8 + 36]);
        std::vector<uint8_t> sp(44, 0);
        const std::string texts = node + group + ns;
        LE_Put32(&sp[16], 0);
        LE_Put32(&sp[20], uint32_t(node.size()));
        LE_Put32(&sp[24], uint32_t(node.size()));
        LE_Put32(&sp[28], uint32_t(group.size()));
        LE_Put32(&sp[32], uint32_t(node.size() + group.size()));
        LE_Put32(&sp[36], uint32_t(ns.size()));
        LE_Put32(&sp[40], 44);
        sp.insert(sp.end(), texts.begin(), texts.end());
        std::memcpy(&mqtt_tbl[8 + objects], sp.data(), sp.size());
        LE_Put32(&mqtt_tbl[4], uint32_t(objects + sp.size()));
    };
    install("spBv1.0", "G1", "N1");
    ASSERT_EQ(readConfigNvram(2), 1u);
    EXPECT_STREQ(iiotConfig.conn[0].will_topic, "spBv1.0/G1/NDEATH/N1");
    EXPECT_EQ(iiotConfig.conn[0].will_length, 0u);
    const std::string group(100, 'g');
    install("spBv1.0", group, "N1");
    ASSERT_EQ(readConfigNvram(2), 1u);
    EXPECT_EQ(std::string(iiotConfig.conn[0].will_topic), "spBv1.0/" + group + "/NDEATH/N1");
    // 7 + 1 + 200 + 8 + 39 = 255 characters fit; one more does not.
    install("spBv1.0", std::string(200, 'g'), std::string(39, 'n'));
    ASSERT_EQ(readConfigNvram(2), 1u);
    EXPECT_EQ(std::strlen(iiotConfig.conn[0].will_topic), 255u);
    install("spBv1.0", std::string(200, 'g'), std::string(40, 'n'));
    EXPECT_EQ(readConfigNvram(2), 0u);
}

// While disconnected, QoS 1 items are handed to the library until 1024 are
// pending; the 1025th waits (flag 1) for the connection.
TEST(Mqtt, TheTenTwentyFifthPendingItemWaits) {
    ASSERT_EQ(dynamicLibInit(), 1u);
    mqttLibInit();
    mqttConnection &c = iiotConfig.conn[5];
    c.client = nullptr;
    c.id[0] = 0;
    c.clean_session = 1;
    c.mode = 1;
    ASSERT_EQ(mqttClientInit(c), 1u);
    for (mqttPubItem &it : c.items) it.flag = 0;
    for (unsigned k = 0; k < 3; k++) {
        mqttPubItem &it = c.items[k];
        std::strcpy(it.topic, "plc/out");
        it.payload[0] = 'v';
        it.length = 1;
        it.qos = 1;
        it.flag = 1;
    }
    c.connected = 0;
    c.pending = 1022;
    c.sub_count = 0;
    c.state = 7;  // publish
    mqttConnStep(5);
    EXPECT_EQ(c.items[0].flag, 2);
    EXPECT_EQ(c.items[1].flag, 2);
    EXPECT_EQ(c.items[2].flag, 1);
    EXPECT_EQ(c.pending.load(), 1024u);
    mqttClientDestroy(c);
    for (unsigned k = 0; k < 3; k++) c.items[k] = mqttPubItem{};
    c.pending = 0;
    c.state = 0;
}

// Address kinds: 2 a host name of the block, 4 a host name in registers (up
// to its NUL), 3 an IPv4 address in a 32-bit register; a change of the
// register's text marks the address changed.
TEST(Mqtt, AddressKindsByNameAndFromRegisters) {
    const uint32_t reg = Block::R100() + 16 * 20;  // %R120
    auto read = [](uint8_t kind, const std::function<void(Block &)> &fill) {
        Block b;
        b.d[20] = 1;
        b.At(5) = 0x20;
        b.At(7) = kind;
        fill(b);
        b.Install();
        return readConfigNvram(2);
    };
    mqttConnection &c = iiotConfig.conn[0];
    ASSERT_EQ(read(2, [](Block &b) { b.Text("broker.test.lan", 60); }), 1u);
    EXPECT_EQ(c.address_kind, 2u);
    EXPECT_STREQ(c.host, "broker.test.lan");
    const char text[] = "mqtt9.lan\0zz";
    PlcReg_Set(reg, reinterpret_cast<const uint8_t *>(text), 8 * sizeof text);
    ASSERT_EQ(read(4, [reg](Block &b) { LE_Put32(&b.At(60), reg); }), 1u);
    EXPECT_EQ(c.address_kind, 4u);
    EXPECT_STREQ(c.host, "mqtt9.lan");
    c.address_changed = 0;
    const char other[] = "mqtt0.lan";
    PlcReg_Set(reg, reinterpret_cast<const uint8_t *>(other), 8 * sizeof other);
    ASSERT_EQ(read(4, [reg](Block &b) { LE_Put32(&b.At(60), reg); }), 1u);
    EXPECT_STREQ(c.host, "mqtt0.lan");
    EXPECT_EQ(c.address_changed, 1);
    const uint8_t ip[4] = {3, 0, 77, 10};  // 10.77.0.3, low byte first
    PlcReg_Set(reg, ip, 32);
    ASSERT_EQ(read(3, [reg](Block &b) { LE_Put32(&b.At(60), reg); }), 1u);
    EXPECT_STREQ(c.address, "10.77.0.3");
    c.address_changed = 0;
}

// The QoS of an item or a subscription goes to the library as it is: one
// above 2 is the library's to refuse (a failed attempt, or a subscription
// asked again), not sent at another QoS. A payload length beyond the item's
// 4096 bytes is refused before the library is called: neither the bytes
// behind the payload nor a cut message is sent.
TEST(Mqtt, AnItemOrSubscriptionIsNotChangedToFit) {
    ASSERT_EQ(dynamicLibInit(), 1u);
    static int calls, qos_seen, len_seen;
    static bool offline;
    calls = qos_seen = len_seen = 0;
    offline = false;
    void *const publish_was = dynLibFunc[4].fn, *const subscribe_was = dynLibFunc[1].fn;
    // Stand-ins answering as the library does: a QoS outside 0..2 is invalid.
    dynLibFunc[4].fn =
        reinterpret_cast<void *>(+[](mosquitto *, int *, const char *, int len, const void *, int qos, bool) {
            calls++;
            qos_seen = qos;
            len_seen = len;
            // Without a connection an item is queued and "no connection" answered.
            return qos < 0 || qos > 2 ? int(MOSQ_ERR_INVAL) : offline ? int(MOSQ_ERR_NO_CONN) : int(MOSQ_ERR_SUCCESS);
        });
    dynLibFunc[1].fn = reinterpret_cast<void *>(+[](mosquitto *, int *, const char *, int qos) {
        calls++;
        qos_seen = qos;
        return qos < 0 || qos > 2 ? int(MOSQ_ERR_INVAL) : int(MOSQ_ERR_SUCCESS);
    });
    mqttConnection &c = iiotConfig.conn[6];
    void *const client_was = c.client;
    c.client = &c;  // any instance: the stand-ins do not use it
    c.connected = 1;
    c.published = 0;
    mqttPubItem &it = c.items[0];
    it = mqttPubItem{};
    std::strcpy(it.topic, "plc/out");
    it.length = 1;
    it.qos = 3;
    it.flag = 1;
    EXPECT_EQ(mqttClientPublish(c, 0), 0u);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(qos_seen, 3);
    EXPECT_EQ(it.flag, 1);
    EXPECT_EQ(it.failed, 1u);
    EXPECT_EQ(c.published, 0u);

    it.qos = 1;
    it.length = 4097;
    EXPECT_EQ(mqttClientPublish(c, 0), 0u);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(it.flag, 1);
    EXPECT_EQ(it.failed, 2u);
    it.length = 4096;
    EXPECT_EQ(mqttClientPublish(c, 0), 1u);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(len_seen, 4096);
    EXPECT_EQ(it.flag, 2);
    EXPECT_EQ(c.published, 1u);

    c.entries[0].qos = 5;
    c.sub_pending[0] = 0;
    EXPECT_EQ(mqttClientSubscribe(c, 0), 0u);
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(qos_seen, 5);
    EXPECT_EQ(c.sub_pending[0], 0);

    // Disconnected, the library queues a QoS 1 or 2 item for after the
    // reconnection; one it refuses (QoS 3) is queued nowhere: a failed
    // attempt that stays ready, not a pending publish.
    c.connected = 0;
    c.pending = 0;
    c.published = 0;
    offline = true;
    it = mqttPubItem{};
    std::strcpy(it.topic, "plc/out");
    it.length = 1;
    it.qos = 3;
    it.flag = 1;
    EXPECT_EQ(mqttClientPublish(c, 0), 0u);
    EXPECT_EQ(calls, 4);
    EXPECT_EQ(it.flag, 1);
    EXPECT_EQ(it.failed, 1u);
    EXPECT_EQ(c.pending.load(), 0u);
    it.qos = 2;
    EXPECT_EQ(mqttClientPublish(c, 0), 1u);
    EXPECT_EQ(calls, 5);
    EXPECT_EQ(it.flag, 2);
    EXPECT_EQ(c.pending.load(), 1u);
    EXPECT_EQ(c.published, 0u);

    it = mqttPubItem{};
    c.pending = 0;
    c.entries[0].qos = 0;
    c.connected = 0;
    c.published = 0;
    c.client = client_was;
    dynLibFunc[4].fn = publish_was;
    dynLibFunc[1].fn = subscribe_was;
}

// The client set-up hands the library credentials only when both the user
// name and the password are given; a user name alone sends none.
TEST(Mqtt, CredentialsOnlyWithBothTexts) {
    ASSERT_EQ(dynamicLibInit(), 1u);
    static std::string creds;
    static int version_seen;
    const unsigned slots[] = {19, 27, 16};  // username_pw, max_inflight, opts_set
    void *was[3];
    for (int k = 0; k < 3; k++) was[k] = dynLibFunc[slots[k]].fn;
    dynLibFunc[19].fn = reinterpret_cast<void *>(+[](mosquitto *, const char *u, const char *p) {
        creds += std::string(u) + ":" + p + ";";
        return int(MOSQ_ERR_SUCCESS);
    });
    dynLibFunc[27].fn = reinterpret_cast<void *>(+[](mosquitto *, unsigned) { return int(MOSQ_ERR_SUCCESS); });
    dynLibFunc[16].fn = reinterpret_cast<void *>(+[](mosquitto *, int, void *v) {
        version_seen = *static_cast<int *>(v);
        return int(MOSQ_ERR_SUCCESS);
    });
    mqttConnection &c = iiotConfig.conn[6];
    void *const client_was = c.client;
    c.client = &c;  // any instance: the stand-ins do not use it
    c.tls = 0;
    c.will_enabled = 0;
    c.protocol = 3;
    creds.clear();
    std::strcpy(c.user, "operator");
    c.password[0] = 0;
    EXPECT_EQ(mqttClientSetCofig(c), 1u);
    EXPECT_EQ(creds, "");
    EXPECT_EQ(version_seen, 3);
    c.user[0] = 0;
    std::strcpy(c.password, "secret");
    EXPECT_EQ(mqttClientSetCofig(c), 1u);
    EXPECT_EQ(creds, "");
    std::strcpy(c.user, "operator");
    EXPECT_EQ(mqttClientSetCofig(c), 1u);
    EXPECT_EQ(creds, "operator:secret;");
    c.user[0] = c.password[0] = 0;
    c.protocol = 0;
    c.client = client_was;
    for (int k = 0; k < 3; k++) dynLibFunc[slots[k]].fn = was[k];
}

// A topic the payload library left without its NUL in the 256-byte field is
// not handed to the library (which would read on into the payload behind it):
// a publish item is refused as a failed attempt, connected or not, and a
// subscription is not asked for. A topic of 255 characters goes as it is.
TEST(Mqtt, AnUnterminatedTopicIsNotHandedOn) {
    ASSERT_EQ(dynamicLibInit(), 1u);
    static int calls;
    static std::size_t topic_len;
    calls = 0;
    topic_len = 0;
    void *const publish_was = dynLibFunc[4].fn, *const subscribe_was = dynLibFunc[1].fn;
    dynLibFunc[4].fn =
        reinterpret_cast<void *>(+[](mosquitto *, int *, const char *topic, int, const void *, int, bool) {
            calls++;
            topic_len = std::strlen(topic);
            return int(MOSQ_ERR_SUCCESS);
        });
    dynLibFunc[1].fn = reinterpret_cast<void *>(+[](mosquitto *, int *, const char *topic, int) {
        calls++;
        topic_len = std::strlen(topic);
        return int(MOSQ_ERR_SUCCESS);
    });
    mqttConnection &c = iiotConfig.conn[7];
    void *const client_was = c.client;
    c.client = &c;  // any instance: the stand-ins do not use it
    c.connected = 1;
    c.published = 0;
    c.pending = 0;
    mqttPubItem &it = c.items[0];
    it = mqttPubItem{};
    std::memset(it.topic, 't', sizeof it.topic);
    std::memset(it.payload, 'p', 16);
    it.length = 1;
    it.qos = 1;
    it.flag = 1;
    EXPECT_EQ(mqttClientPublish(c, 0), 0u);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(it.flag, 1);
    EXPECT_EQ(it.failed, 1u);
    EXPECT_EQ(c.published, 0u);
    c.connected = 0;
    EXPECT_EQ(mqttClientPublish(c, 0), 0u);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(it.flag, 1);
    EXPECT_EQ(it.failed, 2u);
    EXPECT_EQ(c.pending.load(), 0u);
    c.connected = 1;
    it.topic[255] = 0;
    EXPECT_EQ(mqttClientPublish(c, 0), 1u);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(topic_len, 255u);
    EXPECT_EQ(it.flag, 2);
    EXPECT_EQ(c.published, 1u);

    mqttSubEntry &e = c.entries[0];
    std::memset(e.topic, 's', sizeof e.topic);
    e.qos = 1;
    c.sub_pending[0] = 0;
    EXPECT_EQ(mqttClientSubscribe(c, 0), 0u);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(c.sub_pending[0], 0);
    e.topic[255] = 0;
    EXPECT_EQ(mqttClientSubscribe(c, 0), 1u);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(topic_len, 255u);
    EXPECT_EQ(c.sub_pending[0], 1);

    it = mqttPubItem{};
    std::memset(e.topic, 0, sizeof e.topic);
    e.qos = 0;
    c.sub_pending[0] = 0;
    c.connected = 0;
    c.published = 0;
    c.client = client_was;
    dynLibFunc[4].fn = publish_was;
    dynLibFunc[1].fn = subscribe_was;
}
