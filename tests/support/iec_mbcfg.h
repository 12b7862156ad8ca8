// Builder of the Modbus configuration block of an IEC code image (extension
// word 2) for tests, benchmarks and fuzz targets: chained little-endian
// records of connections, requests or tables, variable bindings and unit
// status records, laid out word by word as the workbench's compiler does.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace test_support {

class MbConfig {
public:
    uint32_t minimum = 0;
    std::vector<std::vector<uint16_t>> records;  // words from word 1 (kind) on

    // Kind 1: connection (client) or server table set (flags 0x100).
    MbConfig &Conn(uint16_t id, uint16_t port_or_unit, uint16_t pause, uint16_t flags, uint16_t reopen,
                   const std::string &text) {
        std::vector<uint16_t> w{1, id, port_or_unit, pause, flags, reopen};
        std::vector<uint8_t> t(text.begin(), text.end());
        t.push_back(0);
        if (t.size() % 2) t.push_back(0);
        for (size_t i = 0; i < t.size(); i += 2) w.push_back(uint16_t(t[i] | t[i + 1] << 8));
        records.push_back(w);
        return *this;
    }
    struct Req {
        uint16_t id = 1, conn = 1, unit = 1, mode = 1, period = 0, fn = 3, addr = 0, count = 1, tries = 1,
                 timeout = 300, size = 2;
        int w13 = -1;  // -1: a record of 26 bytes
    };
    MbConfig &Request(const Req &r) {
        std::vector<uint16_t> w{2,    r.id,   r.conn,  r.unit,  r.mode,    r.period,
                                r.fn, r.addr, r.count, r.tries, r.timeout, r.size};
        if (r.w13 >= 0) w.push_back(uint16_t(r.w13));
        records.push_back(w);
        return *this;
    }
    struct Var {
        uint16_t req = 1, pos = 0, format = 0, mask = 0xFFFF, type = 11, index = 0, kind = 0;
        uint32_t ct = 0;
        float factor = 0, offset = 0;
        uint16_t rec = 3;  // 3 plain, 4 complex-type segment, 5 scaled, 6 both
    };
    MbConfig &Variable(const Var &v) {
        std::vector<uint16_t> w{v.rec, v.req, v.pos, v.format, v.mask, v.type, v.index, v.kind};
        if (v.rec >= 4) {
            w.push_back(uint16_t(v.ct));
            w.push_back(uint16_t(v.ct >> 16));
        }
        if (v.rec >= 5) {
            uint32_t f, o;
            std::memcpy(&f, &v.factor, 4);
            std::memcpy(&o, &v.offset, 4);
            w.push_back(uint16_t(f));
            w.push_back(uint16_t(f >> 16));
            w.push_back(uint16_t(o));
            w.push_back(uint16_t(o >> 16));
        }
        records.push_back(w);
        return *this;
    }
    MbConfig &Unit(uint16_t conn, uint16_t unit) {
        records.push_back({7, conn, unit});
        return *this;
    }

    std::vector<uint8_t> Build() const {
        std::vector<uint8_t> b(8, 0);
        Put(b, 0, uint16_t(minimum));
        Put(b, 2, uint16_t(minimum >> 16));
        for (const auto &r : records) {
            const size_t at = b.size();
            b.resize(at + 2 + 2 * r.size(), 0);
            Put(b, at, uint16_t(2 + 2 * r.size()));
            for (size_t i = 0; i < r.size(); i++) Put(b, at + 2 + 2 * i, r[i]);
        }
        b.resize(b.size() + 2, 0);  // a length of 0 ends the chain
        return b;
    }

private:
    static void Put(std::vector<uint8_t> &b, size_t at, uint16_t v) {
        b[at] = uint8_t(v);
        b[at + 1] = uint8_t(v >> 8);
    }
};

}  // namespace test_support
