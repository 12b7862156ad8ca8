// A CAN bus in memory behind the platform seam: frames the test puts in are
// read by the driver, frames the driver writes are kept in order. With the
// fake clock and a temporary root, the CAN node runs pass by pass.
#pragma once

#include <cstring>
#include <deque>
#include <vector>

#include "core/image/bytes.h"
#include "core/storage/memfile.h"
#include "core/image/plcreg.h"
#include "io/candrv.h"
#include "io/copen.h"
#include "io/io.h"
#include "platform/plat_can.h"
#include "tests/support/can_node.h"
#include "tests/support/fake_clock.h"
#include "tests/support/temp_root.h"

namespace can_test {

struct Frame {
    uint32_t id;  // with the SocketCAN flag bits
    std::vector<uint8_t> data;
    uint8_t len;
};

struct Bus {
    std::deque<std::array<uint8_t, 16>> in;
    std::vector<Frame> out;
    int write_room = 1 << 30;  // writes accepted before the "socket" is full
};
inline Bus &TheBus() {
    static Bus b;
    return b;
}

inline int FakeRead(int, uint8_t *f) {
    Bus &b = TheBus();
    if (b.in.empty()) return -1;
    std::memcpy(f, b.in.front().data(), 16);
    b.in.pop_front();
    return 16;
}
inline int FakeWrite(int, const uint8_t *f) {
    Bus &b = TheBus();
    if (b.write_room <= 0) return -1;
    b.write_room--;
    Frame fr{LE_Get32(f), std::vector<uint8_t>(f + 8, f + 8 + (f[4] > 8 ? 8 : f[4])), f[4]};
    b.out.push_back(fr);
    return 16;
}
inline const PlatCanOps kFakeCan = {
    test_support::CanStubOpen,  FakeRead, FakeWrite, test_support::CanStubErrMask, test_support::CanStubSndBuf,
    test_support::CanStubClose, nullptr};

// Puts a raw 16-byte frame on the bus towards the driver.
inline void Inject(uint32_t word, std::vector<uint8_t> data, int len = -1) {
    std::array<uint8_t, 16> f{};
    LE_Put32(f.data(), word);
    f[4] = uint8_t(len < 0 ? data.size() : size_t(len));
    for (size_t i = 0; i < data.size() && i < 8; i++) f[8 + i] = data[i];
    TheBus().in.push_back(f);
}

// The frames written on id since the last Clear.
inline std::vector<Frame> Sent(uint32_t id) {
    std::vector<Frame> r;
    for (const Frame &f : TheBus().out) {
        if ((f.id & 0x1FFFFFFF) == id) r.push_back(f);
    }
    return r;
}

// Fresh root, fake clock, fake bus; the node's block in copendnet_tbl.
class CanFixture {
public:
    CanFixture() {
        saved_ = plat_can;
        plat_can = &kFakeCan;
        TheBus() = Bus{};
        plc_reg.fill(0);
        copendnet_tbl.fill(0);
        PlcWordSet(W_NETID, 127);
        NodeId_Flag = 0;
    }
    ~CanFixture() { plat_can = saved_; }
    CanFixture(const CanFixture &) = delete;
    CanFixture &operator=(const CanFixture &) = delete;

    static void SetBlock(const std::vector<uint8_t> &data) {
        copendnet_tbl.fill(0);
        LE_Put16(copendnet_tbl.data(), 0x1234);
        test_support::CanSetBlock(data.data(), data.size());
    }
    static void Start() {
        NetInitRec rec{};
        rec.tick = 100;
        CANOpenInit(&rec);
        Can_Isr();
    }
    // One main-loop pass as the scan runs it.
    static void Pass() { test_support::CanPass(); }
    static void Clear() { TheBus().out.clear(); }

    test_support::TempRoot root;
    test_support::FakeClock clock;

private:
    const PlatCanOps *saved_;
};

// A configuration block built field by field.
struct BlockBuilder {
    std::vector<uint8_t> b = std::vector<uint8_t>(0x74, 0);
    void Put(uint32_t off, uint32_t v, unsigned n = 4) {
        for (unsigned i = 0; i < n; i++) b[off + i] = uint8_t(v >> (8 * i));
    }
    uint32_t Add(const std::vector<uint8_t> &d) {
        const uint32_t off = uint32_t(b.size());
        b.insert(b.end(), d.begin(), d.end());
        return off;
    }
    static std::vector<uint8_t> Words(std::initializer_list<uint32_t> w) {
        std::vector<uint8_t> v;
        for (uint32_t x : w) {
            for (unsigned i = 0; i < 4; i++) v.push_back(uint8_t(x >> (8 * i)));
        }
        return v;
    }
    BlockBuilder(uint8_t node, uint8_t flags, uint16_t hb) {
        b[1] = node;
        b[0x21] = 1;
        b[0x23] = flags;
        Put(0x18, 0x80000000u);
        Put(0x1E, hb, 2);
        Put(0x68, 0x100);
    }
    // PDO tables: each PDO {cob, type, maps, inhibit, event ms}.
    struct Pdo {
        uint32_t cob;
        uint8_t type;
        std::vector<uint32_t> maps;
        uint16_t inhibit = 0, event = 0;
    };
    void Pdos(const std::vector<Pdo> &tx, const std::vector<Pdo> &rx) {
        Put(0x30, uint32_t(tx.size()), 2);
        Put(0x32, uint32_t(rx.size()), 2);
        auto counts = [](const std::vector<Pdo> &v) {
            std::vector<uint8_t> c;
            for (const Pdo &p : v) c.push_back(uint8_t(p.maps.size()));
            return c;
        };
        auto cobs = [](const std::vector<Pdo> &v) {
            std::vector<uint8_t> c;
            for (const Pdo &p : v)
                for (unsigned i = 0; i < 4; i++) c.push_back(uint8_t(p.cob >> (8 * i)));
            return c;
        };
        auto comm = [](const std::vector<Pdo> &v) {
            std::vector<uint8_t> c;
            for (const Pdo &p : v) {
                c.insert(c.end(), {p.type, 0, 0, 0, uint8_t(p.inhibit), uint8_t(p.inhibit >> 8), uint8_t(p.event),
                                   uint8_t(p.event >> 8)});
            }
            return c;
        };
        auto maps = [](const std::vector<Pdo> &v) {
            std::vector<uint8_t> c;
            for (const Pdo &p : v)
                for (uint32_t m : p.maps)
                    for (unsigned i = 0; i < 4; i++) c.push_back(uint8_t(m >> (8 * i)));
            return c;
        };
        Put(0x34, Add(counts(tx)));
        Put(0x38, Add(counts(rx)));
        Put(0x3C, Add(cobs(tx)));
        Put(0x40, Add(cobs(rx)));
        Put(0x44, Add(comm(tx)));
        Put(0x48, Add(comm(rx)));
        Put(0x4C, Add(maps(tx)));
        Put(0x50, Add(maps(rx)));
    }
};

constexpr uint32_t R(uint32_t n) { return BA_R + 16 * (n - 1); }
inline uint16_t RWord(uint32_t n) { return PlcWord((BA_R - 1024) / 16 + n - 1); }
inline void RSet(uint32_t n, uint16_t v) { PlcWordSet((BA_R - 1024) / 16 + n - 1, v); }

}  // namespace can_test
