// The workstation's expansion bus: a simulated module table read from
// $PLC_ROOT/sim/io.json (format in the README). Expanders answer their latch
// AND their input pins; EEPROMs decode the device-address block bits and
// their 1- or 2-byte memory address and stay silent for a set number of
// transactions after a write; sensors, converters and DACs are register maps.
// Inputs are taken again whenever the file changes; the outputs (expander
// latches, registers the controller wrote) go to sim/io_out.json whenever
// they change.
#include <array>
#include <bitset>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <algorithm>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "platform/plat.h"
#include "platform/plat_json.h"

namespace {

enum DevKind : uint8_t { kExpander, kEeprom, kRegisters };

struct SimDev {
    uint8_t addr = 0;  // first 8-bit bus address
    DevKind kind = kExpander;
    uint8_t ports = 2;  // expander: port bytes
    std::array<uint8_t, 4> pins{0xFF, 0xFF, 0xFF, 0xFF};
    std::array<uint8_t, 4> latch{0xFF, 0xFF, 0xFF, 0xFF};
    uint8_t addr_bytes = 1;   // EEPROM: memory address bytes
    uint8_t blocks = 1;       // EEPROM: device addresses answered (addr, addr + 2, ...)
    int32_t write_cycle = 0;  // EEPROM: silent transactions after a write (-1 endless)
    int32_t busy = 0;
    uint8_t width = 1;    // registers: bytes per register
    int16_t select = -1;  // registers: a 2-byte write {select, r} only selects r
    std::vector<uint8_t> mem;
    std::bitset<256> written;  // registers written by the controller
    uint32_t ptr = 0;          // memory address or register pointer
};

struct Sim {
    bool loaded = false;
    struct timespec mtime {};
    off_t size = -1;
    std::vector<SimDev> devs;
    std::array<int16_t, 128> map{};  // 7-bit address -> device index + 1
    unsigned speed = 1;
} sim;

bool GetInt(const PlatJson &obj, const char *key, int64_t &out) {
    const PlatJson *v = obj.Find(key);
    return v != nullptr && PlatJson_Int(*v, out);
}

// Fills bytes at offset from a JSON array of byte values.
void Bytes(const PlatJson &arr, std::vector<uint8_t> &mem, std::size_t offset) {
    if (arr.kind != PlatJson::Array) return;
    for (std::size_t i = 0; i < arr.items.size() && offset + i < mem.size(); i++) {
        int64_t b = 0;
        if (PlatJson_Int(arr.items[i], b)) mem[offset + i] = uint8_t(b);
    }
}

std::size_t MemSize(const SimDev &d) {
    if (d.kind == kRegisters) return 256u * d.width;
    return std::size_t(d.blocks) << (8 * d.addr_bytes);
}

// Takes one device description; first: the device is new (memory contents
// are taken only then, inputs every time).
void TakeDevice(const PlatJson &j, SimDev &d, bool first) {
    int64_t v = 0;
    if (d.kind == kExpander) {
        if (const PlatJson *pins = j.Find("pins"); pins && pins->kind == PlatJson::Array) {
            for (std::size_t i = 0; i < pins->items.size() && i < d.pins.size(); i++) {
                if (PlatJson_Int(pins->items[i], v)) d.pins[i] = uint8_t(v);
            }
        }
        return;
    }
    if (d.kind == kEeprom && GetInt(j, "write_cycle", v)) d.write_cycle = int32_t(v);
    const PlatJson *data = j.Find(d.kind == kEeprom ? "data" : "registers");
    if (data == nullptr || data->kind != PlatJson::Object) return;
    if (d.kind == kEeprom && !first) return;
    for (std::size_t k = 0; k < data->keys.size() && k < data->items.size(); k++) {
        int64_t at = 0;
        if (!PlatJson_IntText(data->keys[k], at) || at < 0) continue;
        const std::size_t off = d.kind == kRegisters ? std::size_t(at) * d.width : std::size_t(at);
        if (d.kind == kRegisters && at > 255) continue;
        Bytes(data->items[k], d.mem, off);
    }
}

void Load() {
    char path[512];
    struct stat st {};
    const bool present = PLAT_Path("/sim/io.json", path, sizeof path) != nullptr && stat(path, &st) == 0;
    if (sim.loaded) {
        if (!present && sim.size < 0) return;
        if (present && st.st_size == sim.size && st.st_mtim.tv_sec == sim.mtime.tv_sec &&
            st.st_mtim.tv_nsec == sim.mtime.tv_nsec) {
            return;
        }
    }
    sim.loaded = true;
    sim.size = present ? st.st_size : -1;
    sim.mtime = present ? st.st_mtim : timespec{};
    if (!present) return;
    std::string text;
    if (FILE *f = std::fopen(path, "rb")) {
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 && text.size() < (1u << 22)) text.append(buf, n);
        std::fclose(f);
    }
    PlatJson root;
    std::string error;
    if (!PlatJson_Parse(text.data(), text.size(), root, error) || root.kind != PlatJson::Object) {
        std::fprintf(stderr, "sim/io.json not taken: %s\n", error.empty() ? "not an object" : error.c_str());
        return;
    }
    for (const char *slot : {"slot0", "slot1"}) {
        const PlatJson *list = root.Find(slot);
        if (list == nullptr || list->kind != PlatJson::Array) continue;
        for (const PlatJson &j : list->items) {
            int64_t addr = 0;
            const PlatJson *type = j.Find("type");
            if (!GetInt(j, "addr", addr) || addr < 0 || addr > 255 || type == nullptr) continue;
            SimDev nd;
            nd.addr = uint8_t(addr & 0xFE);
            if (type->text == "expander") {
                nd.kind = kExpander;
            } else if (type->text == "eeprom") {
                nd.kind = kEeprom;
            } else if (type->text == "registers") {
                nd.kind = kRegisters;
            } else {
                continue;
            }
            int64_t v = 0;
            if (GetInt(j, "ports", v) && v >= 1 && v <= 4) nd.ports = uint8_t(v);
            if (GetInt(j, "address_bytes", v) && (v == 1 || v == 2)) nd.addr_bytes = uint8_t(v);
            if (GetInt(j, "blocks", v) && v >= 1 && v <= 8) nd.blocks = uint8_t(v);
            if (GetInt(j, "width", v) && v >= 1 && v <= 4) nd.width = uint8_t(v);
            if (GetInt(j, "select", v) && v >= 0 && v <= 255) nd.select = int16_t(v);
            const int16_t have = sim.map[nd.addr >> 1];
            if (have != 0 && sim.devs[std::size_t(have - 1)].kind == nd.kind) {
                TakeDevice(j, sim.devs[std::size_t(have - 1)], false);
                continue;
            }
            if (have != 0) continue;
            nd.mem.assign(MemSize(nd), nd.kind == kEeprom ? 0xFF : 0x00);
            TakeDevice(j, nd, true);
            sim.devs.push_back(std::move(nd));
            const SimDev &d = sim.devs.back();
            const unsigned n = d.kind == kEeprom ? d.blocks : 1;
            for (unsigned b = 0; b < n; b++) {
                const unsigned a = ((d.addr >> 1) + b) & 0x7F;
                if (sim.map[a] == 0) sim.map[a] = int16_t(sim.devs.size());
            }
        }
    }
}

SimDev *Dev(uint8_t addr) {
    const int16_t i = sim.map[(addr >> 1) & 0x7F];
    return i == 0 ? nullptr : &sim.devs[std::size_t(i - 1)];
}

// An EEPROM in its write cycle answers nothing.
bool Silent(SimDev &d) {
    if (d.kind != kEeprom || d.busy == 0) return false;
    if (d.busy > 0) d.busy--;
    return true;
}

// The output file in a fixed buffer: no allocation on the scan path.
struct OutText {
    std::array<char, 65536> buf;
    std::size_t n = 0;
    void Put(const char *fmt, unsigned v) {
        if (n < buf.size()) n += std::size_t(std::max(0, std::snprintf(&buf[n], buf.size() - n, fmt, v)));
        n = std::min(n, buf.size() - 1);
    }
    void Raw(const char *text) {
        while (*text && n + 1 < buf.size()) buf[n++] = *text++;
    }
};
OutText out_now, out_last;
bool out_dirty = false;
struct timespec out_time {};

// Rewrites sim/io_out.json when its text changed, at most every 10 ms; a
// change in between is written by the next transfer after that.
void WriteOutputs(bool force) {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t ms = (now.tv_sec - out_time.tv_sec) * 1000 + (now.tv_nsec - out_time.tv_nsec) / 1000000;
    if (!force && ms < 10) {
        out_dirty = true;
        return;
    }
    out_dirty = false;
    out_time = now;
    OutText &t = out_now;
    t.n = 0;
    t.Raw("{");
    bool first = true;
    for (const SimDev &d : sim.devs) {
        if (d.kind == kEeprom || (d.kind == kRegisters && d.written.none())) continue;
        t.Raw(first ? "\n  " : ",\n  ");
        first = false;
        t.Put("\"0x%02x\": ", d.addr);
        if (d.kind == kExpander) {
            t.Raw("[");
            for (unsigned i = 0; i < d.ports; i++) t.Put(i ? ", %u" : "%u", d.latch[i]);
            t.Raw("]");
            continue;
        }
        t.Raw("{");
        bool f2 = true;
        for (unsigned r = 0; r < 256; r++) {
            if (!d.written[r]) continue;
            t.Put(f2 ? "\"0x%02x\": [" : ", \"0x%02x\": [", r);
            f2 = false;
            for (unsigned i = 0; i < d.width; i++) t.Put(i ? ", %u" : "%u", d.mem[r * d.width + i]);
            t.Raw("]");
        }
        t.Raw("}");
    }
    t.Raw("\n}\n");
    if (t.n == out_last.n && std::memcmp(t.buf.data(), out_last.buf.data(), t.n) == 0) return;
    std::memcpy(out_last.buf.data(), t.buf.data(), t.n);
    out_last.n = t.n;
    char path[512], tmp[520];
    if (PLAT_Path("/sim/io_out.json", path, sizeof path) == nullptr) return;
    std::snprintf(tmp, sizeof tmp, "%s.tmp", path);
    if (FILE *f = std::fopen(tmp, "wb")) {
        const bool ok = std::fwrite(t.buf.data(), 1, t.n, f) == t.n;
        if (std::fclose(f) == 0 && ok) std::rename(tmp, path);
    }
}

uint32_t MemBase(const SimDev &d, uint8_t addr) {
    return uint32_t(((addr >> 1) - (d.addr >> 1)) & 7) << (8 * d.addr_bytes);
}

int HostProbe(uint8_t addr) {
    Load();
    SimDev *d = Dev(addr);
    return d != nullptr && !Silent(*d) ? 1 : 0;
}

int HostRead(uint8_t addr, uint8_t *buf, std::size_t n) {
    Load();
    if (out_dirty) WriteOutputs(false);
    SimDev *d = Dev(addr);
    if (d == nullptr || Silent(*d)) return 0;
    switch (d->kind) {
    case kExpander:
        for (std::size_t i = 0; i < n; i++) buf[i] = i < d->ports ? uint8_t(d->latch[i] & d->pins[i]) : 0xFF;
        break;
    case kEeprom:
        for (std::size_t i = 0; i < n; i++) {
            const std::size_t at = (MemBase(*d, addr) + d->ptr) % d->mem.size();
            buf[i] = d->mem[at];
            d->ptr = (d->ptr + 1) & ((1u << (8 * d->addr_bytes)) - 1);
        }
        break;
    case kRegisters:
        for (std::size_t i = 0; i < n; i++) buf[i] = d->mem[(d->ptr * d->width + i) % d->mem.size()];
        break;
    }
    return 1;
}

int HostWrite(uint8_t addr, const uint8_t *buf, std::size_t n) {
    if (!sim.loaded) Load();
    SimDev *d = Dev(addr);
    if (d == nullptr || Silent(*d)) return 0;
    bool changed = false;
    switch (d->kind) {
    case kExpander:
        for (std::size_t i = 0; i < n && i < d->ports; i++) {
            changed |= d->latch[i] != buf[i];
            d->latch[i] = buf[i];
        }
        break;
    case kEeprom: {
        if (n < d->addr_bytes) break;
        d->ptr = d->addr_bytes == 2 ? uint32_t(buf[0] << 8 | buf[1]) : buf[0];
        const std::size_t data = n - d->addr_bytes;
        for (std::size_t i = 0; i < data; i++) {
            d->mem[(MemBase(*d, addr) + d->ptr) % d->mem.size()] = buf[d->addr_bytes + i];
            d->ptr = (d->ptr + 1) & ((1u << (8 * d->addr_bytes)) - 1);
        }
        if (data > 0) d->busy = d->write_cycle;
        break;
    }
    case kRegisters:
        if (n == 0) break;
        if (n == 2 && buf[0] == d->select) {
            d->ptr = buf[1];
            break;
        }
        d->ptr = buf[0];
        for (std::size_t i = 1; i < n; i++) {
            const std::size_t at = (d->ptr * d->width + i - 1) % d->mem.size();
            changed |= d->mem[at] != buf[i] || !d->written[at / d->width];
            d->mem[at] = buf[i];
            d->written[at / d->width] = true;
        }
        break;
    }
    if (changed || out_dirty) WriteOutputs(false);
    return 1;
}

void HostSpeed(unsigned code) { sim.speed = code; }

}  // namespace

const PlatI2cOps plat_i2c_host = {HostProbe, HostRead, HostWrite, HostSpeed};

void PLAT_I2cSimReset() {
    sim = Sim{};
    out_last.n = 0;
    out_dirty = false;
    out_time = {};
}

void PLAT_I2cSimFlush() {
    if (out_dirty) WriteOutputs(true);
}
