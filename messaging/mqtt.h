// MQTT client: up to 8 broker connections read from the MQTT configuration
// block, each with its own payload library (a shared object carried in the
// block) that fills publish items and reads received messages; the protocol
// itself is libmosquitto's, opened at run time.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

constexpr unsigned MQTT_CONNS = 8, MQTT_ITEMS = 128, MQTT_SUBS = 64, MQTT_SLOTS = 8;
constexpr unsigned MQTT_TEXT = 256, MQTT_PAYLOAD = 4096, MQTT_WILL = 1024;
constexpr uint32_t MQTT_BROKER_REC = 184;

// Shared with the payload library: layouts are fixed.
struct mqttPubItem {
    char topic[MQTT_TEXT];
    uint8_t payload[MQTT_PAYLOAD];
    uint32_t length;
    uint32_t qos;
    uint8_t retain;
    uint8_t flag;  // 1 ready, 2 handed to the library, 3 done or dropped
    uint8_t spare[2];
    int32_t mid;
    uint32_t failed;
};
struct mqttRxSlot {
    char topic[MQTT_TEXT];
    uint8_t payload[MQTT_PAYLOAD];
    uint32_t length;
    uint32_t qos;
    uint8_t retain;
    uint8_t status;  // 1 stored, 3 payload too long
    uint8_t spare[2];
};
struct mqttSubEntry {
    mqttRxSlot slots[MQTT_SLOTS];
    char topic[MQTT_TEXT];
    uint32_t qos;
    int32_t mid;
    uint32_t spare;
    uint32_t time;
    uint32_t windex;
};
static_assert(sizeof(mqttPubItem) == 4372 && offsetof(mqttPubItem, mid) == 4364);
static_assert(sizeof(mqttRxSlot) == 4364 && offsetof(mqttRxSlot, status) == 4361);
static_assert(sizeof(mqttSubEntry) == 35188 && offsetof(mqttSubEntry, windex) == 35184 &&
              offsetof(mqttSubEntry, time) == 35180 && offsetof(mqttSubEntry, qos) == 35168);

// Handed to the payload library: ten pointer-size words.
struct dlLinkDpcConfig {
    const void *config;  // D
    const void *broker;  // this connection's broker record
    uint32_t (*get)(void *dst, uint32_t addr, uint32_t width);
    uint32_t (*set)(uint32_t addr, const void *src, uint32_t width);
    uint32_t (*timeout)(uint32_t *timer, uint32_t seconds);
    uintptr_t one;
    const uint8_t *runtime;
    const uint8_t *enumerated;
    uint32_t (*iec_set)(uint32_t handle, uint32_t bit, const void *value, uint32_t width);
    uint32_t (*iec_get)(uint32_t handle, uint32_t bit, void *dst, uint32_t width);
};
static_assert(sizeof(dlLinkDpcConfig) == 10 * sizeof(void *));

using DlInitFn = void (*)(dlLinkDpcConfig *);
using DlScanFn = void (*)(uint32_t connection, mqttPubItem *items, mqttSubEntry *entries);
using DlDeInitFn = void (*)();

// States of a connection's machine (mqttConnection::state).
enum : uint32_t {
    kMqttCreate = 0,      // payload library and client created
    kMqttDestroy = 1,     // client destroyed, then wait to disconnect
    kMqttConfigure = 2,   // client options set
    kMqttConnect = 3,     // host resolved, connect asked
    kMqttDisconnect = 4,  // disconnect asked
    kMqttStart = 5,       // the library's network thread started
    kMqttStop = 6,        // that thread stopped
    kMqttPublish = 7,     // items due published
    kMqttSubscribe = 8,   // subscriptions not yet made asked
    kMqttWait = 10,       // waiting as `follow` says
};
// What kMqttWait waits for (mqttConnection::follow; the library's connect
// callback sets kMqttFollowConnected).
enum : uint32_t {
    kMqttFollowConnect = 1,     // the connection, 20 s
    kMqttFollowDisconnect = 2,  // its end, 10 s
    kMqttFollowConnected = 3,   // connected: first scan of the payload library
    kMqttFollowRun = 4,         // connected pass: scan, publish, watch
};

struct mqttConnection {
    uint8_t reconnect;
    uint8_t address_changed;
    uint8_t loop_running;
    uint8_t clean_session;
    uint8_t will_enabled, will_sparkplug, will_retained;
    uint32_t mode;
    uint32_t state;
    std::atomic<uint32_t> follow;
    uint32_t address_kind;
    uint8_t number;
    uint8_t payload_kind;
    uint16_t port;
    std::atomic<uint16_t> pending;
    void *client;
    char name[MQTT_TEXT];
    char address[MQTT_TEXT];
    char host[MQTT_TEXT];
    char last_address[MQTT_TEXT];
    char user[MQTT_TEXT], password[MQTT_TEXT], id[MQTT_TEXT], will_topic[MQTT_TEXT];
    uint8_t will_payload[MQTT_WILL];
    std::array<std::atomic<uint8_t>, MQTT_SUBS> subscribed, sub_pending;
    mqttPubItem items[MQTT_ITEMS];
    mqttSubEntry entries[MQTT_SUBS];
    uint32_t keepalive;
    uint32_t will_length, will_qos;
    uint32_t protocol;
    uint32_t rx_entry;
    uint32_t connect_timer, disconnect_timer;
    uint32_t sub_count;
    uint32_t published;
    std::atomic<uint32_t> received;
    std::atomic<uint8_t> connected;
    // Set as the library's network thread of this connection ends (on its
    // own after a fatal error, or stopped); cleared when a thread is started.
    std::atomic<uint8_t> loop_ended;
    uint8_t tls;
    uint8_t cert_kind;
    char ca_file[MQTT_TEXT], cert_file[MQTT_TEXT], key_file[MQTT_TEXT];
    char passphrase[MQTT_TEXT];  // pemPasswordBuf of this connection
    char tls_version[MQTT_TEXT];
    char lib_name[MQTT_TEXT];
    void *lib;
    DlInitFn dlInit;
    DlScanFn dlScanFirst, dlScan;
    DlDeInitFn dlDeInit;
    std::mutex lock;  // receive slots: message callback against the payload library
};

struct IiotConfig {
    uint8_t enable;
    uint8_t reloaded;
    uint32_t lib_state;  // 0 not initialised, 2 initialised
    uint8_t count;
    uint8_t reload_pending;
    uint8_t valid;
    uint8_t stepped;  // connections stepped last pass
    uint32_t status_ref;
    uint32_t total_published, total_received;
    std::array<mqttConnection, MQTT_CONNS> conn;
};
extern IiotConfig iiotConfig;
extern std::array<dlLinkDpcConfig, MQTT_CONNS> dlLinkDpcConfigs;

// Supervisor, after every main-loop pass.
void mqttStateLoop();
uint32_t readConfigNvram(uint32_t configType);
uint32_t dlInitialize();
void remExistDpcLibs();
uint32_t createFile(const char *path, const void *data, uint32_t length);
uint32_t checkTimeout(uint32_t *timer, uint32_t seconds);
void setMqttStatusReg(uint32_t bitOffset, uint32_t value, uint32_t width);
void setPlcReg(uint32_t reference, uint32_t value, uint32_t width);
uint32_t xiecPlcRegGet(uint32_t handle, uint32_t bitOffset, void *dst, uint32_t width);
uint32_t xiecPlcRegSet(uint32_t handle, uint32_t bitOffset, const void *value, uint32_t width);
uint32_t updateDrevanoRegInfo(uint32_t *handle, uint32_t bitOffset, uint32_t width);
// One pass of connection i's machine.
void mqttConnStep(uint32_t i);

// ---- library binding (mqttlib.cpp) ---------------------------------------------------------
constexpr unsigned MQTT_FN_COUNT = 28;
struct DynLibFunc {
    const char *name;
    void *fn;
};
extern std::array<DynLibFunc, MQTT_FN_COUNT + 1> dynLibFunc;
// Names tried for the library, first to last (tests may point it elsewhere).
extern const char *const *mqttLibNames;

uint32_t dynamicLibInit();
int mqttLibInit();
int mqttLibDeinit();
uint32_t mqttClientInit(mqttConnection &c);
uint32_t mqttClientSetCofig(mqttConnection &c);
uint32_t mqttClientConnect(mqttConnection &c);
uint32_t mqttClientStart(mqttConnection &c);
uint32_t mqttClientDisconnect(mqttConnection &c);
// Stops the network thread; graceful first waits up to 100 ms for it to send
// a DISCONNECT already asked for, then the thread is cancelled.
uint32_t mqttClientStop(mqttConnection &c, bool graceful = false);
uint32_t mqttClientDestroy(mqttConnection &c);
uint32_t mqttClientPublish(mqttConnection &c, uint32_t item);
uint32_t mqttClientSubscribe(mqttConnection &c, uint32_t entry);
uint32_t mqttClientUnsubscribe(mqttConnection &c, uint32_t entry);
uint32_t mqttClientUpdateObj(mqttConnection &c);
// 1 once every function of the table is resolved.
bool mqttLibReady();

struct mosquitto;
struct mosquitto_message;
void connectCallback(mosquitto *m, void *obj, int result);
void disconnectCallback(mosquitto *m, void *obj, int result);
void publishCallback(mosquitto *m, void *obj, int mid);
void subscribeCallback(mosquitto *m, void *obj, int mid, int qos_count, const int *granted);
void messageCallback(mosquitto *m, void *obj, const mosquitto_message *msg);
int tlsPwdCallback(char *buf, int size, int rwflag, void *userdata);
// The pass-phrase hand-over of one connection (the callback finds the
// connection through the library's user pointer).
int mqttPassphrase(const mqttConnection &c, char *buf, int size);
