// Code images with the IEC application's own field I/O for tests,
// benchmarks, fuzz targets and the black-box writer: a CAN definition
// (extension word 17), an AS-i configuration (word 3) or a bus-driver table
// (word 11) appended behind an image built by IecImage, laid out byte by byte
// the way the workbench's compiler lays them out. Header only.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/iec_image.h"

namespace test_support {

inline void RtPut16(std::vector<uint8_t> &b, uint32_t at, uint32_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}
inline void RtPut32(std::vector<uint8_t> &b, uint32_t at, uint32_t v) {
    for (int i = 0; i < 4; i++) b[at + i] = uint8_t(v >> (8 * i));
}

// The image with blob(base) appended and extension word `word` (1-based)
// holding its offset; the table gets at least `count` words.
template <typename Blob>
std::vector<uint8_t> IecWithTail(IecImage img, uint32_t word, uint32_t count, Blob blob) {
    if (img.ext.size() < count) img.ext.resize(count, 0);
    img.ext[word - 1] = 0xFFFFFFFF;
    const uint32_t base = uint32_t(img.Build().size());
    img.ext[word - 1] = base;
    std::vector<uint8_t> out = img.Build();
    const std::vector<uint8_t> tail = blob(base);
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

// ---- CAN definition ----------------------------------------------------------------------------
struct CanMsgDef {
    uint32_t id = 0, t1 = 0, t2 = 0;
    uint16_t port = 0;
    uint8_t len = 8, mode = 0;
    bool flag40 = false;
    std::vector<uint8_t> init;  // 8 bytes of initial data follow when not empty
};
struct CanVarDef {
    uint16_t msg = 0;
    uint8_t off = 0, kind = 1, mask = 0, size = 0, mtype = 0, order = 0, send = 0, vtype = 0;
    uint16_t index = 0;
    uint32_t ct = 0;
    float factor = 1.0f, offset = 0.0f;
};
struct CanPortDef {
    std::string name;
    uint16_t nrcv = 0, nsnd = 0, word5 = 0, word6 = 0, word7 = 0;
};
struct CanDefImage {
    uint16_t version = 2, spare = 0;
    std::vector<CanPortDef> ports;
    std::vector<CanMsgDef> rcv, snd;
    std::vector<CanVarDef> vars;

    static void Msg(std::vector<uint8_t> &b, const CanMsgDef &m) {
        const uint32_t at = uint32_t(b.size());
        b.resize(at + (m.init.empty() ? 16 : 24), 0);
        RtPut32(b, at, m.id);
        RtPut32(b, at + 4, m.t1);
        RtPut32(b, at + 8, m.t2);
        RtPut16(b, at + 12, m.port);
        b[at + 14] = m.len;
        b[at + 15] = uint8_t(m.mode | (m.flag40 ? 0x40 : 0) | (m.init.empty() ? 0 : 0x80));
        for (size_t i = 0; i < m.init.size() && i < 8; i++) b[at + 16 + i] = m.init[i];
    }
    // The definition as it lies at image offset base.
    std::vector<uint8_t> Bytes(uint32_t base) const {
        std::vector<uint8_t> b(32, 0);
        RtPut16(b, 0, version);
        RtPut16(b, 2, uint32_t(ports.size()));
        RtPut16(b, 4, uint32_t(rcv.size()));
        RtPut16(b, 6, uint32_t(snd.size()));
        RtPut16(b, 8, uint32_t(vars.size()));
        RtPut16(b, 10, spare);
        RtPut32(b, 12, base + uint32_t(b.size()));
        for (const CanPortDef &p : ports) {
            const uint32_t at = uint32_t(b.size());
            b.resize(at + 80, 0);
            RtPut16(b, at + 2, p.nrcv);
            RtPut16(b, at + 4, p.nsnd);
            RtPut16(b, at + 10, p.word5);
            RtPut16(b, at + 12, p.word6);
            RtPut16(b, at + 14, p.word7);
            std::memcpy(&b[at + 16], p.name.data(), std::min<size_t>(p.name.size(), 64));
        }
        RtPut32(b, 16, base + uint32_t(b.size()));
        for (const CanMsgDef &m : rcv) Msg(b, m);
        RtPut32(b, 20, base + uint32_t(b.size()));
        for (const CanMsgDef &m : snd) Msg(b, m);
        RtPut32(b, 24, base + uint32_t(b.size()));
        for (const CanVarDef &v : vars) {
            const uint32_t at = uint32_t(b.size());
            b.resize(at + 16, 0);
            RtPut16(b, at, v.msg);
            b[at + 2] = v.off;
            b[at + 3] = v.kind;
            b[at + 4] = v.mask;
            b[at + 5] = v.size;
            b[at + 6] = v.mtype;
            b[at + 7] = v.order;
            b[at + 8] = v.send;
            b[at + 9] = v.vtype;
            RtPut16(b, at + 10, v.index);
            RtPut32(b, at + 12, v.ct);
        }
        RtPut32(b, 28, base + uint32_t(b.size()));
        for (const CanVarDef &v : vars) {
            const uint32_t at = uint32_t(b.size());
            b.resize(at + 8, 0);
            uint32_t f, o;
            std::memcpy(&f, &v.factor, 4);
            std::memcpy(&o, &v.offset, 4);
            RtPut32(b, at, f);
            RtPut32(b, at + 4, o);
        }
        return b;
    }
};

// Type codes used below.
enum : uint8_t { RT_BOOL = 1, RT_DINT = 2, RT_INT = 11, RT_USINT = 14, RT_UINT = 15, RT_UDINT = 16 };

// The application of the CAN tests: ports "can1" (word 7 = 1) and "vport",
// 2 spare slots each, version 2.
// Receive (port can1): 0x181 (8 bytes), 0x1F0 (2), 0x705 (4).
// Send: 0x281 cyclic 100 ms, 4 bytes, initial 11..88; 0x282 on change
// 50/1000 ms, 2 bytes; 0x283 on request, 1 byte, initial AA; 0x284 cyclic
// 200 ms, 4 bytes.
// Variables: INT 1 <- 0x181 bytes 0-1; UINT 2 <- 0x181 bytes 2-3 reversed;
// INT 3 <- bit field at bit 4 of byte 4, 6 bits; DINT 1 <- 19-bit value at
// byte 5; BOOL 1 <- bit 0x08 of byte 4; INT 5 -> 0x281 bytes 0-1; INT 6 ->
// 0x282 bytes 0-1, most significant first; BOOL 2 (TRUE at start) requests
// 0x283; INT 7 -> 0x284 bit field at bit 4, 12 bits; INT 8 -> 0x284 bytes
// 2-3 scaled by 0.5 and offset 100; INT 9 <- new-data flag of 0x1F0,
// INT 10 <- 0x1F0 bytes 0-1.
inline CanDefImage CanTestDef() {
    CanDefImage d;
    d.spare = 2;
    d.ports = {{"can1", 3, 4, 0, 0, 1}, {"vport", 0, 0, 0, 0, 0}};
    d.rcv = {{0x181, 0, 0, 0, 8, 0, false, {}}, {0x1F0, 0, 0, 0, 2, 0, false, {}}, {0x705, 0, 0, 0, 4, 0, false, {}}};
    d.snd = {{0x281, 100, 0, 0, 4, 1, false, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}},
             {0x282, 50, 1000, 0, 2, 3, false, {}},
             {0x283, 0, 0, 0, 1, 2, false, {0xAA, 0, 0, 0, 0, 0, 0, 0}},
             {0x284, 200, 0, 0, 4, 1, false, {}}};
    auto v = [](uint16_t msg, uint8_t off, uint8_t kind, uint8_t mask, uint8_t size, uint8_t mtype, uint8_t order,
                uint8_t send, uint8_t vtype, uint16_t index) {
        CanVarDef x;
        x.msg = msg, x.off = off, x.kind = kind, x.mask = mask, x.size = size, x.mtype = mtype, x.order = order;
        x.send = send, x.vtype = vtype, x.index = index;
        return x;
    };
    d.vars = {v(0, 0, 1, 0, 2, RT_INT, 0, 0, RT_INT, 1),    v(0, 2, 1, 0, 2, RT_UINT, 1, 0, RT_UINT, 2),
              v(0, 4, 17, 4, 6, RT_USINT, 0, 0, RT_INT, 3), v(0, 5, 33, 0, 0, 0, 0, 0, RT_DINT, 1),
              v(0, 4, 1, 0x08, 0, 0, 0, 0, RT_BOOL, 1),     v(0, 0, 2, 0, 2, RT_INT, 0, 1, RT_INT, 5),
              v(1, 0, 2, 0, 2, RT_INT, 1, 1, RT_INT, 6),    v(2, 0, 133, 0, 0, 0, 0, 1, RT_BOOL, 2),
              v(3, 0, 18, 4, 12, RT_UINT, 0, 1, RT_INT, 7), v(3, 2, 2, 0, 2, RT_INT, 0, 1, RT_INT, 8),
              v(1, 0, 131, 0, 0, 0, 0, 0, RT_INT, 9),       v(1, 0, 1, 0, 2, RT_INT, 0, 0, RT_INT, 10)};
    d.vars[9].factor = 0.5f;
    d.vars[9].offset = 100.0f;
    return d;
}

inline IecImage CanTestApp() {
    IecImage img;
    img.name = "CANAPP";
    img.stamp = 0x5A0001;
    img.d8 = {7, 7, 0};
    img.d16 = {15, 15, 0};
    img.d32 = {3, 3, 0};
    img.init8 = {{2, 1}};
    return img;
}

inline std::vector<uint8_t> CanTestImage(const CanDefImage &def = CanTestDef(), IecImage img = CanTestApp()) {
    return IecWithTail(img, 17, 17, [&](uint32_t base) { return def.Bytes(base); });
}

// ---- AS-i configuration ----------------------------------------------------------------------------
struct AsiItemDef {
    uint16_t type = 0, index = 0;
    uint8_t master = 0, slave = 0, sel = 0, flags = 0;
    uint32_t ct = 0;  // follows when flags has 0x80
};
struct AsiDefImage {
    uint16_t masters = 1, mcap = 0, icap = 0, flags = 0;
    std::vector<AsiItemDef> items;
    std::vector<uint8_t> Bytes(uint32_t) const {
        std::vector<uint8_t> b(12 + 24 * size_t(masters), 0);
        RtPut16(b, 0, masters);
        RtPut16(b, 2, uint32_t(items.size()));
        RtPut16(b, 4, mcap);
        RtPut16(b, 6, icap);
        RtPut16(b, 8, flags);
        for (const AsiItemDef &i : items) {
            const uint32_t at = uint32_t(b.size());
            b.resize(at + ((i.flags & 0x80) ? 12 : 8), 0);
            RtPut16(b, at, i.type);
            RtPut16(b, at + 2, i.index);
            b[at + 4] = i.master;
            b[at + 5] = i.slave;
            b[at + 6] = i.sel;
            b[at + 7] = i.flags;
            if (i.flags & 0x80) RtPut32(b, at + 8, i.ct);
        }
        return b;
    }
};

// The AS-i application of the tests: one master; inputs slave 5 bit 0 ->
// BOOL 1, slave 4 nibble -> INT 1, slave 5 bit 1 inverted -> BOOL 3;
// outputs INT 2 -> slave 6 nibble, BOOL 4 -> slave 7 bit 2 inverted.
inline AsiDefImage AsiTestDef() {
    AsiDefImage d;
    d.items = {{RT_BOOL, 1, 0, 5, 1, 0x00, 0},
               {RT_INT, 1, 0, 4, 15, 0x00, 0},
               {RT_BOOL, 3, 0, 5, 2, 0x10, 0},
               {RT_INT, 2, 0, 6, 15, 0x02, 0},
               {RT_BOOL, 4, 0, 7, 4, 0x12, 0}};
    return d;
}
inline std::vector<uint8_t> AsiTestImage(const AsiDefImage &def = AsiTestDef(), IecImage img = CanTestApp()) {
    return IecWithTail(img, 3, 3, [&](uint32_t base) { return def.Bytes(base); });
}

// ---- bus-driver table ---------------------------------------------------------------------------------
// Drivers by name, each with its definition records {level, bus number or
// item type, item index, complex-type offset, property bytes}.
struct DdkRecord {
    uint16_t level = 1, word2 = 0, type = 0, index = 0;
    uint32_t ct = 0;
    std::vector<uint8_t> props;
};
struct DdkDriver {
    std::string name;
    std::vector<DdkRecord> records;
};
inline std::vector<uint8_t> DdkTable(const std::vector<DdkDriver> &drivers, uint32_t base) {
    std::vector<uint8_t> b(20 * (drivers.size() + 1), 0);
    for (size_t i = 0; i < drivers.size(); i++) {
        RtPut32(b, uint32_t(20 * i), base + uint32_t(b.size()));
        std::memcpy(&b[20 * i + 4], drivers[i].name.data(), std::min<size_t>(drivers[i].name.size(), 16));
        for (const DdkRecord &r : drivers[i].records) {
            const uint32_t head = r.level == 2 || r.level == 3 ? 8 : 16;
            const uint32_t at = uint32_t(b.size()), size = head + uint32_t(r.props.size());
            b.resize(at + size, 0);
            RtPut16(b, at, size);
            RtPut16(b, at + 2, r.level);
            if (r.level == 1) RtPut16(b, at + 4, r.word2);
            if (r.level == 4) {
                RtPut16(b, at + 8, r.type);
                RtPut16(b, at + 10, r.index);
                RtPut32(b, at + 12, r.ct);
            }
            std::copy(r.props.begin(), r.props.end(), b.begin() + at + head);
        }
        b.resize(b.size() + 4, 0);  // a record of size 0 ends the list
    }
    return b;
}
inline std::vector<uint8_t> DdkTestImage(const std::vector<DdkDriver> &drivers, IecImage img = CanTestApp()) {
    return IecWithTail(img, 7, 7, [&](uint32_t base) { return DdkTable(drivers, base); });
}

}  // namespace test_support
