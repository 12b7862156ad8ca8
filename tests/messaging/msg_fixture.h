// In-process stand-in for the serial ports the messaging service drives:
// bytes written are collected per port, bytes to receive are queued by the
// test, carrier detect and DTR changes are kept; plus a fixture that installs
// it together with the ladder engine's port-block table.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <deque>
#include <string>
#include <vector>

#include "exec/hooks.h"
#include "io/io.h"
#include "messaging/atcmd.h"
#include "messaging/msghooks.h"
#include "messaging/sms.h"
#include "messaging/talk.h"
#include "tests/ladder/lad_fixture.h"
#include "tests/support/stand_in_port.h"

namespace fake_ports {
struct Port {
    std::array<uint8_t, 6> mode{5, 0, 3, 0, 0, 1};
    std::deque<uint8_t> rx;
    std::string tx;
    uint32_t dcd = 0;
    std::vector<uint32_t> dtr;  // every Enable call
    std::vector<std::array<uint8_t, 6>> opens;
    bool refuse_open = false;
    uint32_t room = 1u << 30;  // bytes the transmitter takes
};
inline std::array<Port, 4> &P() {
    static std::array<Port, 4> p;
    return p;
}
inline uint8_t *ModeRec(uint32_t n) { return n < 4 ? P()[n].mode.data() : nullptr; }
inline uint32_t Open(uint32_t n, const uint8_t *m) {
    if (n >= 4 || P()[n].refuse_open || m[0] > 9) return 0;
    std::array<uint8_t, 6> r{};
    std::copy(m, m + 6, r.begin());
    P()[n].opens.push_back(r);
    P()[n].mode = r;
    return 1;
}
inline uint32_t CheckRx(uint32_t n) { return n < 4 && !P()[n].rx.empty() ? 1 : 0; }
inline void FlushRx(uint32_t n) {
    if (n < 4) P()[n].rx.clear();
}
inline uint32_t GetRx(uint32_t n) {
    if (n >= 4 || P()[n].rx.empty()) return 0;
    const uint8_t b = P()[n].rx.front();
    P()[n].rx.pop_front();
    return b;
}
inline uint32_t CheckTx(uint32_t n) { return n < 4 && P()[n].room > 0 ? 1 : 0; }
inline uint32_t PutTx(uint32_t n, uint8_t b) {
    if (n < 4) {
        P()[n].tx.push_back(char(b));
        if (P()[n].room) P()[n].room--;
    }
    return b;
}
inline uint32_t PutnTx(uint32_t n, const uint8_t *d, uint32_t k) {
    for (uint32_t i = 0; i < k; i++) PutTx(n, d[i]);
    return k;
}
inline uint32_t PutsTx(uint32_t n, const char *t) {
    uint32_t k = 0;
    while (t[k]) PutTx(n, uint8_t(t[k++]));
    return k;
}
inline uint32_t RtuTx(uint32_t) { return 0; }
inline uint32_t GetDCD(uint32_t n) { return n < 4 ? P()[n].dcd : 0; }
inline uint32_t Enable(uint32_t n, uint32_t on) {
    if (n < 4) P()[n].dtr.push_back(on);
    return on;
}
inline uint32_t InitWait(uint32_t, uint32_t, uint32_t) { return 1; }
inline void Feed(uint32_t n, const std::string &s) {
    for (char c : s) P()[n].rx.push_back(uint8_t(c));
}
}  // namespace fake_ports

class MsgTest : public LadderTest {
protected:
    void SetUp() override {
        LadderTest::SetUp();
        Exec_LinkMessaging();
        saved_drv_ = Vcomm_Drv;
        Vcomm_Drv.fill(test_support::MsgPortDrv(
            fake_ports::ModeRec, fake_ports::Open, fake_ports::CheckRx, fake_ports::FlushRx, fake_ports::GetRx,
            fake_ports::CheckTx, fake_ports::PutTx, fake_ports::PutnTx, fake_ports::PutsTx, fake_ports::RtuTx,
            fake_ports::GetDCD, fake_ports::Enable, fake_ports::InitWait));
        for (auto &p : fake_ports::P()) p = fake_ports::Port{};
        Talk = TalkRec{};
        TalkOverride = 0;
        TalkModemProtect = 0;
        modem = ModemRec{};
        io_reset();
    }
    void TearDown() override {
        Talk_Release(0);
        Vcomm_Drv = saved_drv_;
        LadderTest::TearDown();
    }
    decltype(Vcomm_Drv) saved_drv_{};
    static void io_reset() { io_init[1] = 0; }
    fake_ports::Port &Port(uint32_t n) { return fake_ports::P()[n]; }
    // The modem block asked (M16(2)) through the escape's guard times to the
    // OK of its initialisation string: its own command then stands on port 0.
    void ModemPastItsInitialisation() {
        LT_SetBit(la::M16(2), true);
        ASSERT_EQ(Scan(), -1);
        LA_TimeAdvance(11000);
        ASSERT_EQ(Scan(), -1);
        LA_TimeAdvance(15000);
        ASSERT_EQ(Scan(), -1);
        fake_ports::Feed(0, "0\r");
        ASSERT_EQ(Scan(), -1);
        ASSERT_EQ(Scan(), -1);
    }
};
