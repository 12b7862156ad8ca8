/* Payload library of the MQTT example: the controller loads it from the MQTT
 * table and calls it on every pass of each broker connection.
 *
 *   - publishes %R1 (the first program's counter) as "plc/r1" whenever it
 *     changes, as decimal text;
 *   - subscribes "plc/set/r10" and writes each number it receives into %R10.
 *
 * Build: cc -shared -fPIC -o mqtt-payload.so examples/mqtt/payload.c
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* What the controller hands each call (little-endian, 64-bit host). */
typedef struct {
    char topic[256];
    uint8_t payload[4096];
    uint32_t length, qos;
    uint8_t retain;
    uint8_t flag; /* set 1 to publish; the controller makes it 2, then 3 when done */
    uint8_t spare[2];
    int32_t mid;
    uint32_t failed;
} PubItem;

typedef struct {
    char topic[256];
    uint8_t payload[4096];
    uint32_t length, qos;
    uint8_t retain;
    uint8_t status; /* 1 stored, 3 payload too long */
    uint8_t spare[2];
} RxSlot;

typedef struct {
    RxSlot slots[8];
    char topic[256]; /* the subscription's topic, set in dlScanFirst */
    uint32_t qos;
    int32_t mid;
    uint32_t spare, time;
    uint32_t windex; /* slots filled; set it back to 0 once they are read */
} SubEntry;

typedef struct {
    const void *config, *broker;
    uint32_t (*get)(void *dst, uint32_t bit_address, uint32_t width);
    uint32_t (*set)(uint32_t bit_address, const void *src, uint32_t width);
    void *rest[6];
} Link;

_Static_assert(sizeof(PubItem) == 4372, "PubItem layout");
_Static_assert(sizeof(SubEntry) == 35188, "SubEntry layout");

#define R(n) (32768u + 16u * ((n)-1u)) /* bit address of %Rn */

static Link *link_of[8];
static int published;
static int16_t last;

void dlInit(Link *l) {
    const uint8_t *broker = l->broker;
    link_of[broker[4] & 7] = l; /* byte 4 of the broker record: its number */
}

void dlScanFirst(uint32_t n, PubItem *items, SubEntry *subs) {
    (void)items;
    snprintf(subs[0].topic, sizeof subs[0].topic, "plc/set/r10");
    subs[0].qos = 0;
    published = 0;
    (void)n;
}

void dlScan(uint32_t n, PubItem *items, SubEntry *subs) {
    Link *l = link_of[n & 7];
    if (l == NULL) return;
    int16_t v = 0;
    l->get(&v, R(1), 16);
    if ((!published || v != last) && items[0].flag != 1) {
        PubItem *it = &items[0];
        memset(it->topic, 0, sizeof it->topic);
        snprintf(it->topic, sizeof it->topic, "plc/r1");
        it->length = (uint32_t)snprintf((char *)it->payload, sizeof it->payload, "%d", v);
        it->qos = 0;
        it->retain = 0;
        it->flag = 1;
        last = v;
        published = 1;
    }
    SubEntry *e = &subs[0];
    for (uint32_t k = 0; k < e->windex && k < 8; k++) {
        if (e->slots[k].status != 1) continue;
        char text[32] = "";
        uint32_t len = e->slots[k].length < sizeof text - 1 ? e->slots[k].length : sizeof text - 1;
        memcpy(text, e->slots[k].payload, len);
        char *end = NULL;
        long x = strtol(text, &end, 0);
        if (end != text && x >= -32768 && x <= 65535) {
            uint16_t w = (uint16_t)x;
            l->set(R(10), &w, 16);
        }
    }
    e->windex = 0;
}

void dlDeInit(void) {}
