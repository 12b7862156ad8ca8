// libmosquitto binding: the function table resolved at run time, the thin
// client operations of the connection machine, and the callbacks that the
// library's network threads run (connection state, acknowledgments and the
// receive ring shared with the payload library).
#include <mosquitto.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <thread>

#include "messaging/mqtt.h"
#include "platform/plat_dl.h"

std::array<DynLibFunc, MQTT_FN_COUNT + 1> dynLibFunc{{
    {"mosquitto_unsubscribe", nullptr},
    {"mosquitto_subscribe", nullptr},
    {"mosquitto_strerror", nullptr},
    {"mosquitto_disconnect", nullptr},
    {"mosquitto_publish", nullptr},
    {"mosquitto_loop_stop", nullptr},
    {"mosquitto_destroy", nullptr},
    {"mosquitto_lib_cleanup", nullptr},
    {"mosquitto_lib_init", nullptr},
    {"mosquitto_reconnect_async", nullptr},
    {"mosquitto_new", nullptr},
    {"mosquitto_connect_callback_set", nullptr},
    {"mosquitto_log_callback_set", nullptr},
    {"mosquitto_disconnect_callback_set", nullptr},
    {"mosquitto_publish_callback_set", nullptr},
    {"mosquitto_will_set", nullptr},
    {"mosquitto_opts_set", nullptr},
    {"mosquitto_connect_async", nullptr},
    {"mosquitto_tls_insecure_set", nullptr},
    {"mosquitto_username_pw_set", nullptr},
    {"mosquitto_message_callback_set", nullptr},
    {"mosquitto_subscribe_callback_set", nullptr},
    {"mosquitto_tls_opts_set", nullptr},
    {"mosquitto_tls_set", nullptr},
    {"mosquitto_loop_start", nullptr},
    {"mosquitto_message_free", nullptr},
    {"mosquitto_user_data_set", nullptr},
    {"mosquitto_max_inflight_messages_set", nullptr},
    {nullptr, nullptr},
}};

namespace {
// The library is looked for under its plain name first; Debian installs the
// plain name only with its development package, so the run-time package's
// versioned name is tried next. A failure still reports the plain name's
// loader error.
const char *const kMosquittoNames[] = {"libmosquitto.so", "libmosquitto.so.1", nullptr};
bool lib_ready = false;

enum Slot {
    S_UNSUBSCRIBE,
    S_SUBSCRIBE,
    S_STRERROR,
    S_DISCONNECT,
    S_PUBLISH,
    S_LOOP_STOP,
    S_DESTROY,
    S_LIB_CLEANUP,
    S_LIB_INIT,
    S_RECONNECT_ASYNC,
    S_NEW,
    S_CONNECT_CB,
    S_LOG_CB,
    S_DISCONNECT_CB,
    S_PUBLISH_CB,
    S_WILL_SET,
    S_OPTS_SET,
    S_CONNECT_ASYNC,
    S_TLS_INSECURE,
    S_USERNAME_PW,
    S_MESSAGE_CB,
    S_SUBSCRIBE_CB,
    S_TLS_OPTS,
    S_TLS_SET,
    S_LOOP_START,
    S_MESSAGE_FREE,
    S_USER_DATA_SET,
    S_MAX_INFLIGHT
};

template <class F>
F Fn(Slot s) {
    return reinterpret_cast<F>(dynLibFunc[s].fn);
}
mosquitto *M(const mqttConnection &c) { return static_cast<mosquitto *>(c.client); }

mqttConnection *Conn(void *obj) { return static_cast<mqttConnection *>(obj); }

// Topics of the publish items and subscription entries are the payload
// library's: one must end inside its 256-byte field.
bool TopicEnds(const char (&topic)[MQTT_TEXT]) { return std::memchr(topic, 0, MQTT_TEXT) != nullptr; }

// The library's network thread ends by itself after errors it takes as fatal
// (a TLS failure, a protocol error) and reports that nowhere: every callback
// ties the running thread to its connection, and the thread's end marks it.
pthread_key_t loop_key;
pthread_once_t loop_key_once = PTHREAD_ONCE_INIT;

void LoopThreadEnded(void *obj) { Conn(obj)->loop_ended = 1; }

void NoteLoopThread(void *obj) {
    pthread_once(&loop_key_once, [] { pthread_key_create(&loop_key, LoopThreadEnded); });
    if (pthread_getspecific(loop_key) != obj) pthread_setspecific(loop_key, obj);
}

// Runs for every library message, first among them those of the thread's start.
void logCallback(mosquitto *, void *obj, int, const char *) { NoteLoopThread(obj); }
}  // namespace

const char *const *mqttLibNames = kMosquittoNames;

bool mqttLibReady() { return lib_ready; }

uint32_t dynamicLibInit() {
    if (lib_ready) return 1;
    // The first name's loader message is the one reported when none loads.
    void *h = nullptr;
    char first_error[256] = "";
    for (const char *const *n = mqttLibNames; *n != nullptr && h == nullptr; n++) {
        const char *err = "";
        // Bound at once, not lazily: a library whose own symbols do not all
        // resolve fails here, with its message, instead of ending the whole
        // controller at the first call that reaches a missing symbol.
        h = PLAT_DlOpenNow(*n, &err);
        if (h == nullptr && n == mqttLibNames) std::snprintf(first_error, sizeof first_error, "%s", err);
    }
    if (h == nullptr) {
        std::printf("dynamicLibInit(): Cannot load MQTT library : %s\n", first_error);
        return 0;
    }
    for (DynLibFunc &f : dynLibFunc) {
        if (f.name == nullptr) break;
        const char *err = "";
        f.fn = PLAT_DlSym(h, f.name, &err);
        if (f.fn == nullptr) {
            // This row and every later one stay null.
            for (DynLibFunc *g = &f; g->name != nullptr; g++) g->fn = nullptr;
            std::printf("dynamicLibInit(): Cannot find MQTT '%s' method in the DLL : %s\n", f.name, err);
            return 0;
        }
    }
    lib_ready = true;
    return 1;
}

int mqttLibInit() { return lib_ready ? Fn<int (*)()>(S_LIB_INIT)() : -1; }
int mqttLibDeinit() { return lib_ready ? Fn<int (*)()>(S_LIB_CLEANUP)() : -1; }

uint32_t mqttClientInit(mqttConnection &c) {
    if (!lib_ready) return 0;
    // A client still held (a download put a connection in set-up back to
    // creation; no network thread runs for it then) is destroyed, not lost.
    if (c.client != nullptr) mqttClientDestroy(c);
    // An empty client identifier is asked for as none (the library then
    // makes one up): the library refuses an empty text, and the connection
    // would be created again on every pass without ever connecting.
    c.client =
        Fn<mosquitto *(*)(const char *, bool, void *)>(S_NEW)(c.id[0] ? c.id : nullptr, c.clean_session != 0, &c);
    if (c.client == nullptr) return 0;
    Fn<void (*)(mosquitto *, void (*)(mosquitto *, void *, int))>(S_CONNECT_CB)(M(c), connectCallback);
    Fn<void (*)(mosquitto *, void (*)(mosquitto *, void *, int, const char *))>(S_LOG_CB)(M(c), logCallback);
    Fn<void (*)(mosquitto *, void (*)(mosquitto *, void *, int))>(S_DISCONNECT_CB)(M(c), disconnectCallback);
    using MsgCb = void (*)(mosquitto *, void *, const mosquitto_message *);
    using SubCb = void (*)(mosquitto *, void *, int, int, const int *);
    if (c.mode != 2) {
        Fn<void (*)(mosquitto *, MsgCb)>(S_MESSAGE_CB)(M(c), messageCallback);
        Fn<void (*)(mosquitto *, SubCb)>(S_SUBSCRIBE_CB)(M(c), subscribeCallback);
    }
    if (c.mode != 3) Fn<void (*)(mosquitto *, void (*)(mosquitto *, void *, int))>(S_PUBLISH_CB)(M(c), publishCallback);
    return 1;
}

uint32_t mqttClientSetCofig(mqttConnection &c) {
    if (!lib_ready || c.client == nullptr) return 0;
    if (c.user[0] && c.password[0] &&
        Fn<int (*)(mosquitto *, const char *, const char *)>(S_USERNAME_PW)(M(c), c.user, c.password) != 0)
        return 0;
    if (c.tls) {
        using PwCb = int (*)(char *, int, int, void *);
        using TlsSet = int (*)(mosquitto *, const char *, const char *, const char *, const char *, PwCb);
        // Certificate kind 1 is the CA alone: no client certificate, key or pass phrase.
        const int r = c.cert_kind == 2
                          ? Fn<TlsSet>(S_TLS_SET)(M(c), c.ca_file, nullptr, c.cert_file, c.key_file, tlsPwdCallback)
                          : Fn<TlsSet>(S_TLS_SET)(M(c), c.ca_file, nullptr, nullptr, nullptr, nullptr);
        if (r != 0) return 0;
        if (Fn<int (*)(mosquitto *, int, const char *, const char *)>(S_TLS_OPTS)(M(c), 1, c.tls_version, nullptr) != 0)
            return 0;
    }
    if (c.will_enabled &&
        Fn<int (*)(mosquitto *, const char *, int, const void *, int, bool)>(S_WILL_SET)(
            M(c), c.will_topic, int(c.will_length), c.will_payload, int(c.will_qos), c.will_retained != 0) != 0)
        return 0;
    Fn<int (*)(mosquitto *, unsigned)>(S_MAX_INFLIGHT)(M(c), 1024);
    int version = int(c.protocol);
    if (Fn<int (*)(mosquitto *, int, void *)>(S_OPTS_SET)(M(c), MOSQ_OPT_PROTOCOL_VERSION, &version) != 0) return 0;
    return 1;
}

uint32_t mqttClientConnect(mqttConnection &c) {
    if (!lib_ready || c.client == nullptr) return 0;
    const int r = c.connected ? Fn<int (*)(mosquitto *)>(S_RECONNECT_ASYNC)(M(c))
                              : Fn<int (*)(mosquitto *, const char *, int, int)>(S_CONNECT_ASYNC)(
                                    M(c), c.address, c.port, int(c.keepalive));
    return r == 0 ? 1 : 0;
}

uint32_t mqttClientStart(mqttConnection &c) {
    if (!lib_ready || c.client == nullptr) return 0;
    c.loop_ended = 0;
    return Fn<int (*)(mosquitto *)>(S_LOOP_START)(M(c)) == 0 ? 1 : 0;
}

uint32_t mqttClientDisconnect(mqttConnection &c) {
    if (lib_ready && c.client) Fn<int (*)(mosquitto *)>(S_DISCONNECT)(M(c));
    return 1;
}

uint32_t mqttClientStop(mqttConnection &c, bool graceful) {
    if (lib_ready && c.client) {
        // A graceful stop gives the thread up to 100 ms to send the DISCONNECT
        // asked for (its callback clears connected); a broker that does not
        // take it by then must not hold the pass, so the thread is cancelled.
        for (int k = 0; graceful && c.connected && k < 100; k++)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        Fn<int (*)(mosquitto *, bool)>(S_LOOP_STOP)(M(c), true);
    }
    // The thread is gone (joined): no disconnect will be reported any more.
    c.connected = 0;
    c.loop_ended = 0;
    return 1;
}

uint32_t mqttClientDestroy(mqttConnection &c) {
    if (lib_ready && c.client) Fn<void (*)(mosquitto *)>(S_DESTROY)(M(c));
    c.client = nullptr;
    c.connected = 0;
    return 1;
}

uint32_t mqttClientPublish(mqttConnection &c, uint32_t i) {
    mqttPubItem &it = c.items[i];
    if (!c.connected && it.qos == 0) return 1;
    if (!lib_ready || c.client == nullptr) return 0;
    // A length past the payload field would send the bytes behind it (or
    // read past the record); the item is refused as the library refuses
    // one, not cut. The QoS goes as it is: the library refuses one above 2.
    // A topic without its NUL in its field would be read on into the payload:
    // refused the same way.
    if (it.length > MQTT_PAYLOAD || !TopicEnds(it.topic)) {
        it.failed++;
        return 0;
    }
    const int r = Fn<int (*)(mosquitto *, int *, const char *, int, const void *, int, bool)>(S_PUBLISH)(
        M(c), &it.mid, it.topic, int(it.length), it.payload, int(it.qos), it.retain != 0);
    if (!c.connected) {
        // Queued for after the reconnection, the library answers success or
        // "no connection". Any other answer (a QoS or topic it refuses) queued
        // nothing: a failed attempt, as when connected, not a pending publish.
        if (r != MOSQ_ERR_SUCCESS && r != MOSQ_ERR_NO_CONN) {
            it.failed++;
            return 0;
        }
        it.flag = 2;
        c.pending++;
        return 1;
    }
    if (r == 0) {
        it.flag = 2;
        c.published++;
        return 1;
    }
    it.failed++;
    return 0;
}

uint32_t mqttClientSubscribe(mqttConnection &c, uint32_t k) {
    if (!lib_ready || c.client == nullptr) return 0;
    mqttSubEntry &e = c.entries[k];
    // A topic filter without its NUL in its field is not asked for (the
    // library would read on into the fields behind it).
    if (!TopicEnds(e.topic)) return 0;
    const int r = Fn<int (*)(mosquitto *, int *, const char *, int)>(S_SUBSCRIBE)(M(c), &e.mid, e.topic, int(e.qos));
    if (r != 0) return 0;
    c.sub_pending[k] = 1;
    return 1;
}

uint32_t mqttClientUnsubscribe(mqttConnection &c, uint32_t k) {
    if (!lib_ready || c.client == nullptr) return 0;
    mqttSubEntry &e = c.entries[k];
    return Fn<int (*)(mosquitto *, int *, const char *)>(S_UNSUBSCRIBE)(M(c), &e.mid, e.topic) == 0 ? 1 : 0;
}

uint32_t mqttClientUpdateObj(mqttConnection &c) {
    if (lib_ready && c.client) Fn<void (*)(mosquitto *, void *)>(S_USER_DATA_SET)(M(c), &c);
    return 1;
}

// ---- callbacks (network threads) -------------------------------------------------------------

void connectCallback(mosquitto *, void *obj, int result) {
    NoteLoopThread(obj);
    mqttConnection &c = *Conn(obj);
    if (result == 0) {
        c.connected = 1;
        c.follow = kMqttFollowConnected;
    } else {
        c.connected = 0;
    }
}

void disconnectCallback(mosquitto *, void *obj, int) {
    NoteLoopThread(obj);
    mqttConnection &c = *Conn(obj);
    if (c.clean_session) {
        for (uint32_t k = 0; k < c.sub_count && k < MQTT_SUBS; k++) c.subscribed[k] = 0;
    }
    c.connected = 0;
    c.pending = 0;
}

void publishCallback(mosquitto *, void *obj, int) { Conn(obj)->pending = 0; }

void subscribeCallback(mosquitto *, void *obj, int mid, int, const int *) {
    mqttConnection &c = *Conn(obj);
    for (uint32_t k = 0; k < c.sub_count && k < MQTT_SUBS; k++) {
        if (c.entries[k].mid == mid) {
            c.sub_pending[k] = 0;
            c.subscribed[k] = 1;
            return;
        }
    }
}

void messageCallback(mosquitto *, void *obj, const mosquitto_message *msg) {
    mqttConnection &c = *Conn(obj);
    if (msg == nullptr) return;
    std::lock_guard<std::mutex> g(c.lock);
    const uint32_t count = c.sub_count < MQTT_SUBS ? c.sub_count : MQTT_SUBS;
    if (count == 0) return;  // no slot: dropped, not counted
    // A download that lowered the subscription count can leave the receive
    // entry past the last one: it wraps back into range, as it would have
    // when it moved on.
    if (c.rx_entry >= count) c.rx_entry = c.rx_entry % count;
    mqttSubEntry &e = c.entries[c.rx_entry];
    if (e.windex >= MQTT_SLOTS) return;  // the payload library has not emptied the entry yet
    mqttRxSlot &s = e.slots[e.windex];
    const std::size_t tl = msg->topic ? std::strlen(msg->topic) : 0;
    if (msg->payloadlen != 0) {
        std::memset(s.topic, 0, sizeof s.topic);
        std::memset(s.payload, 0, sizeof s.payload);
        if (tl >= MQTT_TEXT) {
            s.status = 3;  // a topic that does not fit is not stored either
        } else {
            std::memcpy(s.topic, msg->topic, tl);
            if (msg->payloadlen > 0 && msg->payloadlen < int(MQTT_PAYLOAD)) {
                std::memcpy(s.payload, msg->payload, std::size_t(msg->payloadlen));
                s.length = uint32_t(msg->payloadlen);
                s.qos = uint32_t(msg->qos);
                s.retain = msg->retain ? 1 : 0;
                s.status = 1;
            } else {
                s.status = 3;
            }
        }
    } else {
        std::memset(s.payload, 0, sizeof s.payload);
        s.length = 0;
    }
    e.windex++;
    if (e.windex >= MQTT_SLOTS) c.rx_entry = (c.rx_entry + 1) % count;
    c.received++;
}

int mqttPassphrase(const mqttConnection &c, char *buf, int size) {
    if (buf == nullptr || size <= 0) return 0;
    std::memset(buf, 0, std::size_t(size));
    // The answer is the pass phrase's length: its NUL is never counted.
    const int len = int(strnlen(c.passphrase, sizeof c.passphrase - 1));
    const int n = len < size ? len : size;
    std::memcpy(buf, c.passphrase, std::size_t(n));
    return n;
}

int tlsPwdCallback(char *buf, int size, int, void *userdata) {
    for (const mqttConnection &c : iiotConfig.conn) {
        if (c.client != nullptr && c.client == userdata) return mqttPassphrase(c, buf, size);
    }
    if (buf && size > 0) std::memset(buf, 0, std::size_t(size));
    return 0;
}
