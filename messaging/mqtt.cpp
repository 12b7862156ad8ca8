// MQTT client connections: reads the MQTT configuration block on every pass
// in run mode, writes and loads the payload libraries and certificate files,
// steps each connection's machine (create, configure, connect, start the
// library's network thread, publish, subscribe, wait, disconnect, stop,
// destroy) and publishes state and counters in the status register block.
#include "messaging/mqtt.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/image/bytes.h"
#include "core/image/plcreg.h"
#include "core/storage/memfile.h"
#include "net/dhcp.h"
#include "platform/plat.h"
#include "platform/plat_dl.h"

IiotConfig iiotConfig;
std::array<dlLinkDpcConfig, MQTT_CONNS> dlLinkDpcConfigs;

namespace {

constexpr uint32_t kData = 8;

// The configuration block's data (D, after the 8-byte block header),
// u32/u16 little-endian:
//   2 u16 offset of the broker table; 12 status register; 16 enable bit;
//   20 u8 broker count; 32 offset of the string area; 36 offset of the object
//   area (payload libraries, Sparkplug records).
constexpr uint32_t kCfgBrokers = 2, kCfgStatusReg = 12, kCfgEnable = 16, kCfgCount = 20, kCfgStrings = 32,
                   kCfgObjects = 36;
// One broker record (MQTT_BROKER_REC bytes); a text is {u32 offset into
// the string area, u32 length}:
//   4 u8 number; 5 u8 flags (kBrkFlag*); 6 u8 payload kind (2 Sparkplug);
//   7 u8 address kind (1 IPv4, 2 host text, 3 IPv4 register, 4 host
//   register string); 8 u8 will QoS; 9 u8 certificate kind (1 CA, 2 CA and
//   client); 12 u16 port; 14, 16, 18 u16 protocol version (3.1.0 selects MQTT 3.1, any
//   other 3.1.1);
//   20, 22 u16 TLS version; 24 u32 keep-alive; 28 u32 Sparkplug record (in
//   the object area); 36 name; 52 client id; 60 address (value, text
//   offset or register) and 64 its text length; 68 user; 76 password;
//   84 will topic; 92 will payload; 100 CA file (kind 1); 108 CA, 116
//   client certificate, 124 client key, 132 key pass phrase (kind 2);
//   174 u16 subscription count; 176 payload library {offset in the object
//   area, length}.
constexpr uint32_t kBrkNumber = 4, kBrkFlags = 5, kBrkPayloadKind = 6, kBrkAddressKind = 7, kBrkWillQos = 8,
                   kBrkCertKind = 9, kBrkPort = 12, kBrkProtoMajor = 14, kBrkProtoMinor = 16, kBrkProtoPatch = 18,
                   kBrkTlsMajor = 20, kBrkTlsMinor = 22, kBrkKeepAlive = 24, kBrkSparkplug = 28, kBrkName = 36,
                   kBrkClientId = 52, kBrkAddress = 60, kBrkAddressLen = 64, kBrkUser = 68, kBrkPassword = 76,
                   kBrkWillTopic = 84, kBrkWillPayload = 92, kBrkWillPayloadLen = 96, kBrkCaFile = 100,
                   kBrkCaFile2 = 108, kBrkCertFile = 116, kBrkKeyFile = 124, kBrkPassphrase = 132, kBrkSubCount = 174,
                   kBrkLibrary = 176, kBrkLibraryLen = 180;
constexpr uint8_t kBrkFlagWill = 0x01, kBrkFlagTls = 0x02, kBrkFlagClean = 0x04, kBrkFlagWillRetain = 0x08,
                  kBrkFlagSparkplugWill = 0x10;
constexpr uint32_t kAddrIpv4 = 1, kAddrHost = 2, kAddrIpv4Reg = 3, kAddrHostReg = 4;  // address kinds
constexpr unsigned kBrkModeShift = 5;  // flags bits 5..7: the connection's mode
// A Sparkplug record (object area): 16 node, 24 group, 32 namespace texts
// {offset into its text area, length}; 40 u32 offset of that text area.
constexpr uint32_t kSpNode = 16, kSpGroup = 24, kSpNamespace = 32, kSpTexts = 40, kSpSize = 44;
constexpr const char *kLibName = "libdpc.so";
uint32_t configType = 3;
const uint8_t *csCompMqttConfig = nullptr;
uint32_t brokerData = 0;  // offset of the broker table in D

// ---- block access, bounded by the data size --------------------------------------------------
uint32_t DataSize() {
    const uint32_t n = LE_Get32(&mqtt_tbl[4]);
    return n > MQTT_TBL_SIZE - kData ? uint32_t(MQTT_TBL_SIZE - kData) : n;
}
bool In(uint64_t off, uint64_t n) { return off + n <= DataSize(); }
uint32_t D32(uint32_t off) { return In(off, 4) ? LE_Get32(&mqtt_tbl[kData + off]) : 0; }
uint16_t D16(uint32_t off) { return In(off, 2) ? LE_Get16(&mqtt_tbl[kData + off]) : 0; }
uint8_t D8(uint32_t off) { return In(off, 1) ? mqtt_tbl[kData + off] : 0; }
const uint8_t *DPtr(uint32_t off) { return &mqtt_tbl[kData + off]; }

// A (offset, length) text of the string area: null when outside the data.
const uint8_t *Text(uint32_t rec, uint32_t at, uint32_t *len) {
    const uint64_t off = uint64_t(D32(kCfgStrings)) + D32(rec + at);
    *len = D32(rec + at + 4);
    if (*len == 0) return DPtr(0);
    return In(off, *len) ? DPtr(uint32_t(off)) : nullptr;
}

// Copies a text into a 256-byte field (cleared first).
void CopyText(char *dst, uint32_t rec, uint32_t at) {
    std::memset(dst, 0, MQTT_TEXT);
    uint32_t n = 0;
    const uint8_t *p = Text(rec, at, &n);
    if (p && n < MQTT_TEXT) std::memcpy(dst, p, n);
}

// Checks the limits the client relies on; false refuses the block.
bool CheckBlock() {
    const uint32_t count = D8(kCfgCount);
    if (count > MQTT_CONNS) return false;
    const uint32_t table = D16(kCfgBrokers);
    // Without connections the table is never read: its offset is no reason
    // to refuse the block.
    if (count != 0 && !In(table, uint64_t(count) * MQTT_BROKER_REC)) return false;
    const uint32_t strings = D32(kCfgStrings), objects = D32(kCfgObjects);
    static constexpr uint32_t kTexts[] = {kBrkName,     kBrkClientId,  kBrkUser,
                                          kBrkPassword, kBrkWillTopic, kBrkPassphrase};
    for (uint32_t i = 0; i < count; i++) {
        const uint32_t r = table + MQTT_BROKER_REC * i;
        if (D16(r + kBrkSubCount) > MQTT_SUBS) return false;
        for (uint32_t at : kTexts) {
            if (D32(r + at + 4) >= MQTT_TEXT || !In(uint64_t(strings) + D32(r + at), D32(r + at + 4))) return false;
        }
        if (D8(r + kBrkAddressKind) == kAddrHost &&
            (D32(r + kBrkAddressLen) >= MQTT_TEXT ||
             !In(uint64_t(strings) + D32(r + kBrkAddress), D32(r + kBrkAddressLen))))
            return false;
        if (D32(r + kBrkWillPayloadLen) > MQTT_WILL ||
            !In(uint64_t(strings) + D32(r + kBrkWillPayload), D32(r + kBrkWillPayloadLen)))
            return false;
        for (uint32_t at : {kBrkCaFile, kBrkCaFile2, kBrkCertFile, kBrkKeyFile})
            if (!In(uint64_t(strings) + D32(r + at), D32(r + at + 4))) return false;
        if (!In(uint64_t(objects) + D32(r + kBrkLibrary), D32(r + kBrkLibraryLen))) return false;
        constexpr uint8_t kSparkplugWill = kBrkFlagWill | kBrkFlagSparkplugWill;
        if (D8(r + kBrkPayloadKind) == 2 && (D8(r + kBrkFlags) & kSparkplugWill) == kSparkplugWill) {
            const uint64_t sp = uint64_t(objects) + D32(r + kBrkSparkplug);
            if (!In(sp, kSpSize)) return false;
            const uint64_t ta = sp + D32(uint32_t(sp) + kSpTexts);
            uint64_t topic = 9;  // "/" and "/NDEATH/" between the three parts
            for (uint32_t at : {kSpNode, kSpGroup, kSpNamespace}) {
                if (D32(uint32_t(sp) + at + 4) >= MQTT_TEXT ||
                    !In(ta + D32(uint32_t(sp) + at), D32(uint32_t(sp) + at + 4)))
                    return false;
                topic += D32(uint32_t(sp) + at + 4);
            }
            // The will topic made of them must fit as a plain one must.
            if (topic >= MQTT_TEXT) return false;
        }
    }
    return true;
}

void Dotted(char *dst, uint32_t v) {
    std::snprintf(dst, MQTT_TEXT, "%u.%u.%u.%u", v >> 24, (v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
}

// Writes a file only when its bytes change, through a new file and a rename,
// so a reader never sees it cut short.
uint32_t WriteIfChanged(const char *abs, const void *data, uint32_t len) {
    char path[512];
    if (!PLAT_Path(abs, path, sizeof path)) return 0;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        struct stat st {};
        bool same = fstat(fd, &st) == 0 && uint64_t(st.st_size) == len;
        static std::array<uint8_t, 4096> buf;
        for (uint32_t at = 0; same && at < len;) {
            const ssize_t n = read(fd, buf.data(), buf.size());
            if (n <= 0 || std::memcmp(buf.data(), static_cast<const uint8_t *>(data) + at, std::size_t(n)) != 0)
                same = false;
            else
                at += uint32_t(n);
        }
        close(fd);
        if (same) return 1;
    }
    char tmp[520];
    std::snprintf(tmp, sizeof tmp, "%s.new", abs);
    // An empty text is an empty file (createFile answers 0 for it): the old
    // bytes must not stay in use, nor the new file be left behind.
    if (!createFile(tmp, data, len) && len != 0) return 0;
    char tmp_path[520];
    if (!PLAT_Path(tmp, tmp_path, sizeof tmp_path)) return 0;
    return rename(tmp_path, path) == 0 ? 1 : 0;
}

void CertFile(char *field, const char *fmt, uint32_t number, uint32_t rec, uint32_t at) {
    char abs[64];
    std::snprintf(abs, sizeof abs, fmt, unsigned(number));
    std::snprintf(field, MQTT_TEXT, "%s", abs);
    uint32_t n = 0;
    const uint8_t *p = Text(rec, at, &n);
    if (p) WriteIfChanged(abs, p, n);
    // The library opens the file itself: hand it the path under the root.
    char path[MQTT_TEXT];
    if (PLAT_Path(abs, path, sizeof path)) std::snprintf(field, MQTT_TEXT, "%s", path);
}

void WriteLibrary(uint32_t i, uint32_t rec) {
    mqttConnection &c = iiotConfig.conn[i];
    char shm[64], lib[64], shm_path[512], lib_path[512];
    std::snprintf(shm, sizeof shm, "%s%u_%s", "/dev/shm/", unsigned(i), kLibName);
    std::snprintf(lib, sizeof lib, "%s%u_%s", "/usr/lib/", unsigned(i), kLibName);
    uint32_t n = D32(rec + kBrkLibraryLen);
    const uint64_t off = uint64_t(D32(kCfgObjects)) + D32(rec + kBrkLibrary);
    createFile(shm, In(off, n) && n ? DPtr(uint32_t(off)) : nullptr, In(off, n) ? n : 0);
    if (PLAT_Path(shm, shm_path, sizeof shm_path) && PLAT_Path(lib, lib_path, sizeof lib_path)) {
        char dir[512];
        if (PLAT_Path("/usr/lib", dir, sizeof dir)) {
            char usr[512];
            if (PLAT_Path("/usr", usr, sizeof usr)) mkdir(usr, 0755);
            mkdir(dir, 0755);
        }
        unlink(lib_path);
        if (symlink(shm_path, lib_path) != 0) std::printf("MQTT: cannot link %s\n", lib);
    }
    PLAT_SyncNow();
    std::snprintf(c.lib_name, sizeof c.lib_name, "%u_%s", unsigned(i), kLibName);
}

uint32_t RegGet32(uint32_t ref, uint32_t *v) {
    uint8_t b[4] = {};
    if (!PlcReg_Get(b, ref, 32)) return 0;
    *v = LE_Get32(b);
    return 1;
}

void ReadBroker(uint32_t i) {
    mqttConnection &c = iiotConfig.conn[i];
    const uint32_t r = brokerData + MQTT_BROKER_REC * i;
    dlLinkDpcConfigs[i].config = DPtr(0);
    dlLinkDpcConfigs[i].broker = DPtr(r);
    const uint8_t flags = D8(r + kBrkFlags);
    c.number = D8(r + kBrkNumber);
    c.clean_session = (flags & kBrkFlagClean) ? 1 : 0;
    c.mode = flags >> kBrkModeShift;
    c.payload_kind = D8(r + kBrkPayloadKind);
    c.keepalive = D32(r + kBrkKeepAlive);
    c.port = D16(r + kBrkPort);
    c.protocol = (D16(r + kBrkProtoMajor) == 3 && D16(r + kBrkProtoMinor) == 1 && D16(r + kBrkProtoPatch) == 0) ? 3 : 4;
    c.sub_count = D16(r + kBrkSubCount);
    CopyText(c.name, r, kBrkName);
    if (c.name[0] == 0) std::snprintf(c.name, sizeof c.name, "BrokerConnection_%u", unsigned(i));
    CopyText(c.id, r, kBrkClientId);
    if (c.id[0] == 0) c.clean_session = 1;
    c.address_kind = D8(r + kBrkAddressKind);
    char *field = (c.address_kind == kAddrHost || c.address_kind == kAddrHostReg) ? c.host : c.address;
    std::memset(field, 0, MQTT_TEXT);
    switch (c.address_kind) {
    case kAddrIpv4: Dotted(c.address, D32(r + kBrkAddress)); break;
    case kAddrHost: {
        const uint64_t off = uint64_t(D32(kCfgStrings)) + D32(r + kBrkAddress);
        const uint32_t n = D32(r + kBrkAddressLen);
        if (n < MQTT_TEXT && In(off, n)) std::memcpy(c.host, DPtr(uint32_t(off)), n);
        break;
    }
    case kAddrIpv4Reg: {
        uint32_t v = 0;
        if (RegGet32(D32(r + kBrkAddress), &v))
            Dotted(c.address, v);
        else
            std::printf("Get #R value failed for Broker IP..\n");
        break;
    }
    case kAddrHostReg: {
        const uint32_t ref = D32(r + kBrkAddress);
        const bool iec = DrevanoRuntime && drevano_variables_enumerateded;
        for (uint32_t k = 0; k < MQTT_TEXT - 1; k++) {
            uint8_t b = 0;
            if (iec)
                xiecPlcRegGet(ref, 8 * k, &b, 8);
            else
                PlcReg_Get(&b, ref + 8 * k, 8);
            c.host[k] = char(b);
            if (b == 0) break;
        }
        break;
    }
    default: break;
    }
    if (c.last_address[0] == 0) {
        std::memcpy(c.last_address, field, MQTT_TEXT);
    } else if (std::strncmp(c.last_address, field, MQTT_TEXT) != 0) {
        std::memcpy(c.last_address, field, MQTT_TEXT);
        c.address_changed = 1;
    }
    CopyText(c.user, r, kBrkUser);
    CopyText(c.password, r, kBrkPassword);
    c.will_enabled = flags & kBrkFlagWill;
    if (c.will_enabled) {
        c.will_sparkplug = (flags & kBrkFlagSparkplugWill) ? 1 : 0;
        c.will_retained = (flags & kBrkFlagWillRetain) ? 1 : 0;
        c.will_qos = D8(r + kBrkWillQos);
        std::memset(c.will_payload, 0, sizeof c.will_payload);
        c.will_length = 0;
        if (!c.will_sparkplug) {
            CopyText(c.will_topic, r, kBrkWillTopic);
            uint32_t n = 0;
            const uint8_t *p = Text(r, 92, &n);
            if (p && n <= MQTT_WILL) {
                std::memcpy(c.will_payload, p, n);
                c.will_length = n;
            }
        } else if (c.payload_kind == 2) {
            const uint32_t sp = D32(kCfgObjects) + D32(r + kBrkSparkplug);
            const uint32_t ta = sp + D32(sp + kSpTexts);
            auto sp_text = [&](uint32_t at, char *out) {
                const uint32_t n = D32(sp + at + 4);
                std::memset(out, 0, MQTT_TEXT);
                if (n < MQTT_TEXT && In(uint64_t(ta) + D32(sp + at), n)) std::memcpy(out, DPtr(ta + D32(sp + at)), n);
            };
            char node[MQTT_TEXT], group[MQTT_TEXT], ns[MQTT_TEXT];
            sp_text(kSpNode, node);
            sp_text(kSpGroup, group);
            sp_text(kSpNamespace, ns);
            // Each part whole (the block check keeps the topic inside 255).
            std::size_t n = 0;
            for (const char *part : {static_cast<const char *>(ns), "/", static_cast<const char *>(group), "/NDEATH/",
                                     static_cast<const char *>(node)})
                for (const char *t = part; *t && n + 1 < sizeof c.will_topic; t++) c.will_topic[n++] = *t;
            c.will_topic[n] = 0;
        }
    }
    c.tls = (flags & kBrkFlagTls) ? 1 : 0;
    c.cert_kind = D8(r + kBrkCertKind);
    if (c.tls) {
        const uint16_t v = D16(r + kBrkTlsMinor);
        const char *ver = D16(r + kBrkTlsMajor) != 1 ? "tlsv1.2" : v == 0 ? "tlsv1" : v == 1 ? "tlsv1.1" : "tlsv1.2";
        std::snprintf(c.tls_version, sizeof c.tls_version, "%s", ver);
        if (c.cert_kind == 1) {
            CertFile(c.ca_file, "/mnt/USB0/%u_dca-cert.pem", c.number, r, kBrkCaFile);
        } else if (c.cert_kind == 2) {
            CertFile(c.ca_file, "/mnt/USB0/%u_dca-cert.pem", c.number, r, kBrkCaFile2);
            CertFile(c.cert_file, "/mnt/USB0/%u_dcl-cert.pem", c.number, r, kBrkCertFile);
            CertFile(c.key_file, "/mnt/USB0/%u_dcl-key.pem", c.number, r, kBrkKeyFile);
            CopyText(c.passphrase, r, kBrkPassphrase);
        }
    }
}

// Steps that call the payload library hold the connection's lock: the
// message callback fills the same receive slots.
void CallScan(mqttConnection &c, DlScanFn f) {
    if (f == nullptr) return;
    std::lock_guard<std::mutex> g(c.lock);
    f(c.number, c.items, c.entries);
}

void StatusBit(uint32_t i, uint32_t v) { setMqttStatusReg(3 + i, v, 1); }

}  // namespace

uint32_t createFile(const char *abs, const void *data, uint32_t length) {
    char path[512];
    if (!PLAT_Path(abs, path, sizeof path)) return 0;
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
    if (fd < 0) return 0;
    uint32_t done = 0;
    while (data != nullptr && done < length) {
        const ssize_t n = write(fd, static_cast<const uint8_t *>(data) + done, length - done);
        if (n <= 0) break;
        done += uint32_t(n);
    }
    close(fd);
    return data != nullptr && length != 0 && done == length ? 1 : 0;
}

uint32_t checkTimeout(uint32_t *timer, uint32_t seconds) {
    struct timespec ts {};
    PLAT_MonoTime(&ts);
    const uint32_t now = uint32_t(ts.tv_sec);
    if (seconds == 0) {
        *timer = now;
        return 1;
    }
    return now - *timer >= seconds ? 1 : 0;
}

void setPlcReg(uint32_t ref, uint32_t value, uint32_t width) {
    uint8_t b[4] = {};
    if (width == 1)
        b[0] = value != 0;
    else if (width == 8 || width == 16 || width == 32)
        LE_Put32(b, value);
    else
        return;
    PlcReg_Set(ref, b, width);
}

uint32_t updateDrevanoRegInfo(uint32_t *h, uint32_t bit, uint32_t width) {
    const uint32_t cls = (*h >> 26) & 7;
    if (cls > 3) return 0;
    const uint32_t ew = 8u << cls;
    const uint32_t index = ((*h & 0xFFFFF) + bit / ew) & 0xFFFFF;
    *h = (*h & ~0xFFFFFu) | index;
    if (width == 1) *h = (*h & ~(0x3Fu << 20)) | ((bit % ew) & 0x3F) << 20;
    return 1;
}

uint32_t xiecPlcRegGet(uint32_t handle, uint32_t bit, void *dst, uint32_t width) {
    if (DrevanoRuntime && drevano_variables_enumerateded && PlcReg_IsIecHandle(handle)) {
        updateDrevanoRegInfo(&handle, bit, width);
        PlcReg_Get(dst, handle, width);
    }
    return 1;
}

uint32_t xiecPlcRegSet(uint32_t handle, uint32_t bit, const void *value, uint32_t width) {
    if (DrevanoRuntime && drevano_variables_enumerateded && PlcReg_IsIecHandle(handle)) {
        updateDrevanoRegInfo(&handle, bit, width);
        // Widths 1, 8, 16 and 32 are written; a payload library asking for
        // any other writes nothing (nor is more than 4 bytes copied here).
        if (width != 1 && width != 8 && width != 16 && width != 32) return 1;
        uint8_t b[4] = {};
        std::memcpy(b, value, width >= 8 ? width / 8 : 1);
        setPlcReg(handle, LE_Get32(b), width);
    }
    return 1;
}

void setMqttStatusReg(uint32_t bit, uint32_t value, uint32_t width) {
    uint32_t ref = iiotConfig.status_ref;
    if (DrevanoRuntime && drevano_variables_enumerateded && PlcReg_IsIecHandle(ref)) {
        updateDrevanoRegInfo(&ref, bit, width);
        setPlcReg(ref, value, width);
        return;
    }
    if (ref == 0) return;
    setPlcReg(ref + bit, value, width);
}

void remExistDpcLibs() {
    for (unsigned i = 0; i < MQTT_CONNS; i++) {
        char abs[64], path[512];
        std::snprintf(abs, sizeof abs, "/dev/shm/%u_%s", i, kLibName);
        if (PLAT_Path(abs, path, sizeof path)) unlink(path);
        PLAT_SyncNow();
        std::snprintf(abs, sizeof abs, "/usr/lib/%u_%s", i, kLibName);
        if (PLAT_Path(abs, path, sizeof path)) unlink(path);
        PLAT_SyncNow();
    }
}

uint32_t readConfigNvram(uint32_t type) {
    IiotConfig &g = iiotConfig;
    g.enable = 0;
    if (LE_Get32(&mqtt_tbl[4]) < 16) return 0;
    csCompMqttConfig = DPtr(0);
    if (!CheckBlock()) return 0;
    if (const uint32_t en = D32(kCfgEnable)) {
        uint8_t b = 0;
        if (PlcReg_Get(&b, en, 1)) g.enable = b & 1;
    }
    if (const uint32_t ref = D32(kCfgStatusReg)) g.status_ref = ref;
    if (type == 3) setMqttStatusReg(0, 0, 16);
    setMqttStatusReg(1, 0, 1);
    setMqttStatusReg(0, 1, 1);
    g.count = D8(kCfgCount);
    brokerData = D16(kCfgBrokers);
    if (g.count == 0) {
        setMqttStatusReg(1, 1, 1);
        return 1;
    }
    for (uint32_t i = 0; i < g.count; i++) {
        ReadBroker(i);
        if (type == 3) WriteLibrary(i, brokerData + MQTT_BROKER_REC * i);
    }
    if (type == 3) configType = 2;
    setMqttStatusReg(1, 1, 1);
    return 1;
}

uint32_t dlInitialize() {
    IiotConfig &g = iiotConfig;
    // Every connection starts without entry points: a failure stops the
    // loading below, and a later connection must not keep those of a
    // library loaded before (perhaps closed since by a download).
    for (mqttConnection &c : g.conn) {
        c.dlInit = nullptr;
        c.dlScanFirst = c.dlScan = nullptr;
        c.dlDeInit = nullptr;
    }
    for (uint32_t i = 0; i < g.count; i++) {
        mqttConnection &c = g.conn[i];
        char abs[MQTT_TEXT + 16], path[512];
        std::snprintf(abs, sizeof abs, "/usr/lib/%s", c.lib_name);
        const char *names[] = {PLAT_Path(abs, path, sizeof path), nullptr};
        if (c.lib == nullptr) c.lib = names[0] ? PLAT_DlOpen(names) : nullptr;
        if (c.lib == nullptr) return 0;
        static const char *const kEntries[] = {"dlInit", "dlScanFirst", "dlScan", "dlDeInit", nullptr};
        std::array<void *, 4> fn{};
        if (PLAT_DlResolve(c.lib, kEntries, fn.data()) != nullptr) {
            PLAT_DlClose(c.lib);
            c.lib = nullptr;
            return 0;
        }
        c.dlInit = reinterpret_cast<DlInitFn>(fn[0]);
        c.dlScanFirst = reinterpret_cast<DlScanFn>(fn[1]);
        c.dlScan = reinterpret_cast<DlScanFn>(fn[2]);
        c.dlDeInit = reinterpret_cast<DlDeInitFn>(fn[3]);
        dlLinkDpcConfig &l = dlLinkDpcConfigs[i];
        l.get = PlcReg_Get;
        l.set = PlcReg_Set;
        l.timeout = checkTimeout;
        l.one = 1;
        l.runtime = &DrevanoRuntime;
        l.enumerated = &drevano_variables_enumerateded;
        l.iec_set = xiecPlcRegSet;
        l.iec_get = xiecPlcRegGet;
    }
    return 1;
}

namespace {

// kMqttWait: the connection's wait, as its follow-up says.
void ConnWait(uint32_t i, IiotConfig &g, mqttConnection &c) {
    switch (c.follow) {
    case kMqttFollowConnect:
        if (!c.connected && checkTimeout(&c.connect_timer, 20)) c.state = kMqttDisconnect;
        break;
    case kMqttFollowDisconnect:
        if (checkTimeout(&c.disconnect_timer, 10) || !c.connected) {
            StatusBit(i, 0);
            if (!c.connected) c.address_changed = 0;
            c.state = kMqttStop;
        }
        break;
    case kMqttFollowConnected:
        StatusBit(i, 1);
        CallScan(c, c.dlScanFirst);
        c.state = kMqttPublish;
        break;
    default:
        if (c.loop_ended) c.connected = 0;  // its thread is gone: nothing is connected
        if (!c.connected) {
            StatusBit(i, 0);
            if (!g.enable) {
                if (c.loop_running) c.state = kMqttStop;
            } else if (!c.loop_running) {
                c.state = kMqttCreate;
            } else if (c.loop_ended) {
                // The library gave up: start again from creation, no
                // sooner than a connect that does not come up would.
                if (checkTimeout(&c.connect_timer, 20)) c.state = kMqttStop;
            } else if (c.address_changed) {
                // The thread would retry the old broker for ever: a client
                // made again connects to the changed address.
                c.state = kMqttStop;
            } else {
                CallScan(c, c.dlScan);
                c.state = kMqttPublish;
                c.follow = kMqttFollowRun;
            }
            break;
        }
        if (g.reloaded) c.reconnect = 1;
        if (!g.enable || c.reconnect || c.address_changed) {
            c.reconnect = 0;
            c.state = kMqttDisconnect;
            break;
        }
        if (c.mode == 1 || c.mode == 3) {
            for (uint32_t k = 0; k < c.sub_count && k < MQTT_SUBS; k++) {
                if (!c.subscribed[k] && c.sub_pending[k] && checkTimeout(&c.entries[k].time, 30)) c.sub_pending[k] = 0;
            }
        }
        for (mqttPubItem &it : c.items) {
            if (it.flag == 2 || it.failed > 2) {
                it.flag = 3;
                it.failed = 0;
            }
        }
        CallScan(c, c.dlScan);
        StatusBit(i, 1);
        c.state = kMqttPublish;
        c.follow = kMqttFollowRun;
        break;
    }
}

}  // namespace

void mqttConnStep(uint32_t i) {
    IiotConfig &g = iiotConfig;
    mqttConnection &c = g.conn[i];
    const bool usable = mqttLibReady() && c.dlInit != nullptr;
    switch (c.state) {
    case kMqttCreate:
        // Without the library or a payload library the connection stays idle.
        if (!usable) break;
        c.dlInit(&dlLinkDpcConfigs[i]);
        if (mqttClientInit(c)) {
            c.state = kMqttConfigure;
        } else {
            c.state = kMqttWait;
            c.follow = kMqttFollowRun;
        }
        break;
    case kMqttDestroy:
        mqttClientDestroy(c);
        c.state = kMqttWait;
        c.follow = kMqttFollowRun;
        break;
    case kMqttConfigure:
        if (mqttClientSetCofig(c)) c.state = kMqttConnect;
        break;
    case kMqttConnect:
        if (c.address_kind == kAddrHost || c.address_kind == kAddrHostReg) {
            std::snprintf(c.address, sizeof c.address, "0.0.0.0");
            if (dnsResolve(c.host, c.address) > 0) break;
        }
        // This attempt takes the address as it stands: a change is done.
        c.address_changed = 0;
        // Waiting for the connection is noted before a running network
        // thread can report it (its connect callback sets kMqttFollowConnected).
        c.follow = kMqttFollowConnect;
        if (!mqttClientConnect(c)) {
            c.state = kMqttDestroy;
            break;
        }
        checkTimeout(&c.connect_timer, 0);
        c.state = c.loop_running ? kMqttWait : kMqttStart;
        break;
    case kMqttDisconnect:
        mqttClientDisconnect(c);
        checkTimeout(&c.disconnect_timer, 0);
        c.state = kMqttWait;
        c.follow = kMqttFollowDisconnect;
        break;
    case kMqttStart:
        c.follow = kMqttFollowConnect;  // before the thread starts: a quick connect callback moves it on
        if (!mqttClientStart(c)) {
            c.state = kMqttDestroy;
            break;
        }
        c.loop_running = 1;
        c.state = kMqttWait;
        break;
    case kMqttStop:
        mqttClientStop(c);
        c.loop_running = 0;
        c.state = kMqttDestroy;
        break;
    case kMqttPublish:
        for (uint32_t k = 0; k < MQTT_ITEMS; k++) {
            mqttPubItem &it = c.items[k];
            if (it.flag != 1 || it.topic[0] == 0) continue;
            if (!c.connected && c.pending > 1023) continue;
            mqttClientPublish(c, k);
        }
        c.state = kMqttSubscribe;
        break;
    case kMqttSubscribe:
        for (uint32_t k = 0; k < c.sub_count && k < MQTT_SUBS; k++) {
            if (!c.subscribed[k] && !c.sub_pending[k] && c.connected && mqttClientSubscribe(c, k))
                checkTimeout(&c.entries[k].time, 0);
        }
        c.state = kMqttWait;
        c.follow = kMqttFollowRun;
        break;
    default: ConnWait(i, g, c); break;
    }
}

void mqttStateLoop() {
    IiotConfig &g = iiotConfig;
    if (PlcWord(W_MODE) != 2) return;
    if (Cmd_Downloading == 1) {
        g.reload_pending = 1;
        return;
    }
    if (g.reload_pending) {
        for (uint32_t i = 0; i < g.count; i++) {
            mqttConnection &c = g.conn[i];
            if (c.lib) {
                PLAT_DlClose(c.lib);
                c.lib = nullptr;
            }
            // Nothing of a closed library may be called.
            c.dlInit = nullptr;
            c.dlScanFirst = c.dlScan = nullptr;
            c.dlDeInit = nullptr;
        }
        remExistDpcLibs();
        g.reload_pending = 0;
        g.reloaded = 1;
        configType = 3;
    }
    g.valid = 0;
    for (int k = 0; k < 3; k++) {
        if (readConfigNvram(configType)) {
            g.valid = 1;
            break;
        }
    }
    if (g.lib_state == 0) {
        if (g.valid && g.enable) {
            for (mqttConnection &c : g.conn) {
                c.published = 0;
                c.received = 0;
            }
            // Without the library the connections stay idle (and the
            // loader's complaint is printed once).
            const uint32_t lib = dynamicLibInit();
            dlInitialize();
            if (lib) mqttLibInit();
            g.lib_state = 2;
        }
        return;
    }
    if (!g.valid) return;
    if (g.reloaded) {
        dlInitialize();
        for (uint32_t i = 0; i < g.count; i++) {
            g.conn[i].state = 10;
            g.conn[i].follow = 4;
        }
    }
    // Connections past a reduced count are stopped and destroyed.
    for (uint32_t i = g.count; i < g.stepped && i < MQTT_CONNS; i++) {
        mqttConnection &c = g.conn[i];
        // A connected client's thread sends the DISCONNECT before it ends (a
        // cancelled one would leave the broker to publish the will).
        const bool graceful = c.loop_running && c.connected;
        if (c.loop_running) mqttClientDisconnect(c);
        mqttClientStop(c, graceful);
        c.loop_running = 0;
        mqttClientDestroy(c);
        c.state = 0;
        StatusBit(i, 0);
    }
    g.stepped = g.count;
    g.total_published = g.total_received = 0;
    for (uint32_t i = 0; i < g.count; i++) {
        mqttConnection &c = g.conn[i];
        mqttConnStep(i);
        g.total_published += c.published;
        g.total_received += c.received;
        setMqttStatusReg(80 + 96 * i, c.published, 32);
        setMqttStatusReg(112 + 96 * i, c.received, 32);
        setMqttStatusReg(144 + 96 * i, c.pending, 32);
    }
    setMqttStatusReg(16, g.total_published, 32);
    setMqttStatusReg(48, g.total_received, 32);
    g.reloaded = 0;
}
