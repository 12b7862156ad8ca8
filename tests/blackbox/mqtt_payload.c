/* Payload library of the MQTT black-box test, written as an outside
 * supplier would from the documented layouts: on connection it publishes
 * "plc/<n>/hello" "up <n>" (QoS 1, retained on connection 1); connection 0
 * subscribes "plc/in/a" and "plc/in/b", publishes %R200 as "plc/0/reg" when
 * it becomes 1234, and reports its receive ring in %R210..%R213 (write indexes of
 * entries 0 and 1; entry 1 slot 0: fourth payload byte, length, status). */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

typedef struct {
    char topic[256];
    uint8_t payload[4096];
    uint32_t length, qos;
    uint8_t retain, flag, spare[2];
    int32_t mid;
    uint32_t failed;
} Item; /* 4372 bytes */

typedef struct {
    char topic[256];
    uint8_t payload[4096];
    uint32_t length, qos;
    uint8_t retain, status, spare[2];
} Slot; /* 4364 bytes */

typedef struct {
    Slot slots[8];
    char topic[256];
    uint32_t qos;
    int32_t mid;
    uint32_t spare, time, windex;
} Entry; /* 35188 bytes */

typedef struct {
    const void *config, *broker;
    uint32_t (*get)(void *dst, uint32_t addr, uint32_t width);
    uint32_t (*set)(uint32_t addr, const void *src, uint32_t width);
    void *rest[6];
} Link;

_Static_assert(sizeof(Item) == 4372, "item");
_Static_assert(sizeof(Slot) == 4364, "slot");
_Static_assert(sizeof(Entry) == 35188, "entry");

#define R(n) (32768u + 16u * ((n)-1u))

static Link *links[8];
static uint16_t last_reg;

static void item(Item *it, const char *topic, const char *payload, uint32_t qos, uint8_t retain) {
    memset(it->topic, 0, sizeof it->topic);
    snprintf(it->topic, sizeof it->topic, "%s", topic);
    it->length = (uint32_t)strlen(payload);
    memcpy(it->payload, payload, it->length);
    it->qos = qos;
    it->retain = retain;
    it->flag = 1;
}

void dlInit(Link *l) {
    const uint8_t *broker = l->broker;
    links[broker[4] & 7] = l;
}

void dlScanFirst(uint32_t n, Item *items, Entry *subs) {
    char topic[64], text[32];
    snprintf(topic, sizeof topic, "plc/%u/hello", n);
    snprintf(text, sizeof text, "up %u", n);
    item(&items[0], topic, text, 1, n == 1);
    if (n == 0) {
        snprintf(subs[0].topic, sizeof subs[0].topic, "plc/in/a");
        snprintf(subs[1].topic, sizeof subs[1].topic, "plc/in/b");
        subs[0].qos = 0;
        subs[1].qos = 1;
    }
}

void dlScan(uint32_t n, Item *items, Entry *subs) {
    Link *l = links[n & 7];
    if (n != 0 || l == NULL) return;
    uint16_t v = 0;
    l->get(&v, R(200), 16);
    if (v != last_reg && v == 1234) item(&items[1], "plc/0/reg", "1234", 0, 0);
    last_reg = v;
    uint16_t w0 = (uint16_t)subs[0].windex, w1 = (uint16_t)subs[1].windex;
    l->set(R(210), &w0, 16);
    l->set(R(211), &w1, 16);
    uint8_t first[4] = {subs[1].slots[0].payload[3], (uint8_t)subs[1].slots[0].length, subs[1].slots[0].status, 0};
    l->set(R(212), first, 32);
}

void dlDeInit(void) {}
