// A stand-in driver for the programming port (port 0): received bytes come
// from a queue the test fills (a negative entry is the silence that ends a
// frame), sent bytes are kept, and the mode record says RTU (mode 3). The
// fuzz targets build the same driver around their own receive functions.
// Header only: the fuzz programs use it without the test library.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "io/vcomm.h"

namespace test_support {

// A port-0 driver from the given receive/send functions; every other entry
// answers zero or does nothing.
inline VcommDrv StandInDrv(uint8_t *(*mode)(uint32_t), uint32_t (*check_rx)(uint32_t),
                           uint32_t (*get_rx)(uint32_t), uint32_t (*put_tx)(uint32_t, uint8_t)) {
    VcommDrv d{};
    d.ModeRec = mode;
    d.CheckRx = check_rx;
    d.GetRx = get_rx;
    d.PutTx = put_tx;
    d.CountTx = [](uint32_t) -> uint32_t { return 0; };
    d.RtuTx = [](uint32_t) -> uint32_t { return 0; };
    d.FlushTx = [](uint32_t) {};
    d.FlushRx = [](uint32_t) {};
    d.StatusRx = [](uint32_t, uint32_t) -> uint32_t { return 0; };
    return d;
}

// The queue-fed port: received bytes (-1 = the silence after a frame) and
// the bytes sent.
struct FakePort {
    std::deque<int> rx;
    std::vector<uint8_t> tx;
    VcommMode mode{5, 0, 3, 0, 0, 3};
};
inline FakePort fake_port;

inline VcommDrv FakePortDrv() {
    return StandInDrv([](uint32_t) { return fake_port.mode.data(); },
                      [](uint32_t) -> uint32_t {
                          if (fake_port.rx.empty()) return 0;
                          if (fake_port.rx.front() < 0) {
                              fake_port.rx.pop_front();
                              return 255;
                          }
                          return 1;
                      },
                      [](uint32_t) -> uint32_t {
                          const int b = fake_port.rx.front();
                          fake_port.rx.pop_front();
                          return uint32_t(b);
                      },
                      [](uint32_t, uint8_t b) -> uint32_t {
                          fake_port.tx.push_back(b);
                          return b;
                      });
}

// CRC-16/MODBUS appended low byte first, computed bit by bit (independent of
// the table-driven one under test).
inline std::vector<uint8_t> CrcAppend(std::vector<uint8_t> b) {
    uint16_t c = 0xFFFF;
    for (uint8_t x : b) {
        c ^= x;
        for (int i = 0; i < 8; i++) c = (c & 1) ? uint16_t((c >> 1) ^ 0xA001) : uint16_t(c >> 1);
    }
    b.push_back(uint8_t(c));
    b.push_back(uint8_t(c >> 8));
    return b;
}

}  // namespace test_support
