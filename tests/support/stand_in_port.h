// A stand-in driver for the programming port (port 0): received bytes come
// from a queue the test fills (a negative entry is the silence that ends a
// frame), sent bytes are kept, and the mode record says RTU (mode 3). The
// fuzz targets build the same driver around their own receive functions.
// The programming port can also be put on a socket pair for one test.
// Header only: the fuzz programs use it without the test library.
#pragma once

#include <cstdint>
#include <deque>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "io/vcomm.h"

namespace test_support {

// A port-0 driver from the given receive/send functions; every other entry
// answers zero or does nothing.
inline VcommDrv StandInDrv(uint8_t *(*mode)(uint32_t), uint32_t (*check_rx)(uint32_t), uint32_t (*get_rx)(uint32_t),
                           uint32_t (*put_tx)(uint32_t, uint8_t)) {
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

// A driver record from the thirteen operations the messaging service uses;
// the others are left empty. Fixtures put it into every record of the table
// so that the stand-in sees the record number, as the real driver does.
inline VcommDrv MsgPortDrv(decltype(VcommDrv::ModeRec) mode, decltype(VcommDrv::Open) open,
                           decltype(VcommDrv::CheckRx) check_rx, decltype(VcommDrv::FlushRx) flush_rx,
                           decltype(VcommDrv::GetRx) get_rx, decltype(VcommDrv::CheckTx) check_tx,
                           decltype(VcommDrv::PutTx) put_tx, decltype(VcommDrv::PutnTx) putn_tx,
                           decltype(VcommDrv::PutsTx) puts_tx, decltype(VcommDrv::RtuTx) rtu_tx,
                           decltype(VcommDrv::GetDCD) get_dcd, decltype(VcommDrv::Enable) enable,
                           decltype(VcommDrv::InitWait) init_wait) {
    VcommDrv d{};
    d.ModeRec = mode;
    d.Open = open;
    d.CheckRx = check_rx;
    d.FlushRx = flush_rx;
    d.GetRx = get_rx;
    d.CheckTx = check_tx;
    d.PutTx = put_tx;
    d.PutnTx = putn_tx;
    d.PutsTx = puts_tx;
    d.RtuTx = rtu_tx;
    d.GetDCD = get_dcd;
    d.Enable = enable;
    d.InitWait = init_wait;
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

// The programming port on a non-blocking socket pair for one test: the
// port's descriptor is sv[0] (the test plays the far end on sv[1]), its
// driver cleared for the test to fill, no host holding it. At scope end the
// driver, descriptor and host are given back and the pair is closed. ok is
// false (and nothing changed) when the pair could not be made.
struct PortOnPair {
    int sv[2] = {-1, -1};
    bool ok = false;
    VcommDrv saved{};
    int saved_fd = -1;
    uint32_t saved_host = 0;

    PortOnPair() {
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv) != 0) return;
        ok = true;
        saved = Vcomm_Drv[ProgrammingPort];
        saved_fd = Vcomm_Port[ProgrammingPort].fd;
        saved_host = Vcomm_Host;
        Vcomm_Drv[ProgrammingPort] = VcommDrv{};
        Vcomm_Port[ProgrammingPort].fd = sv[0];
        Vcomm_Host = 0;
    }
    ~PortOnPair() {
        if (!ok) return;
        Vcomm_Drv[ProgrammingPort] = saved;
        Vcomm_Port[ProgrammingPort].fd = saved_fd;
        Vcomm_Host = saved_host;
        close(sv[0]);
        close(sv[1]);
    }
    PortOnPair(const PortOnPair &) = delete;
    PortOnPair &operator=(const PortOnPair &) = delete;
};

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
