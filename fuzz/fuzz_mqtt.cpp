// MQTT input from outside: the first byte picks the target. 0: a
// configuration block read as on every pass (texts, certificates, broker
// records); 1: received messages stored by the message callback (topic
// length, payload length and bytes taken from the input) into a ring of 1 to
// 3 subscriptions.
#include <mosquitto.h>

#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/image/bytes.h"
#include "core/storage/memfile.h"
#include "messaging/mqtt.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    static char root[] = "/tmp/plc-fuzz-mqtt-XXXXXX";
    if (mkdtemp(root) == nullptr) std::abort();
    setenv("PLC_ROOT", root, 1);
    std::string usb = std::string(root) + "/mnt";
    mkdir(usb.c_str(), 0755);
    usb += "/USB0";
    mkdir(usb.c_str(), 0755);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const uint8_t *d = data + 1;
    size_t n = size - 1;
    if (data[0] % 2 == 0) {
        if (n > 65536) n = 65536;
        LE_Put32(&mqtt_tbl[4], uint32_t(n));
        std::memcpy(&mqtt_tbl[8], d, n);
        // The status block and the enable bit stay in %R: a status block
        // placed on the system words would restart the program.
        if (n >= 16) LE_Put32(&mqtt_tbl[8 + 12], 32768 + 16 * 99);
        if (n >= 20) LE_Put32(&mqtt_tbl[8 + 16], 0);
        readConfigNvram(2);
        return 0;
    }
    mqttConnection &c = iiotConfig.conn[0];
    c.sub_count = n ? 1 + d[0] % 3 : 1;
    c.rx_entry = 0;
    for (auto &e : c.entries) e.windex = 0;
    size_t at = 1;
    static char topic[600];
    static uint8_t payload[5000];
    while (at + 3 <= n) {
        const size_t tl = d[at] * 2 % sizeof topic;
        const size_t pl = (size_t(d[at + 1]) << 5 | d[at + 2]) % sizeof payload;
        at += 3;
        std::memset(topic, 'a' + int(tl % 26), tl);
        topic[tl] = 0;
        const size_t take = pl < n - at ? pl : n - at;
        std::memcpy(payload, d + at, take);
        at += take;
        mosquitto_message m{};
        m.topic = topic;
        m.payload = payload;
        m.payloadlen = int(pl);
        m.qos = int(tl % 3);
        messageCallback(nullptr, &c, &m);
    }
    return 0;
}
