// In-process fixture of the command-protocol tests: a temporary root, a clock
// that moves only when the test says so, and the programming port running
// intercepted, so that a test stuffs the bytes a host sends and drains the
// controller's answer.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <vector>

#include "core/cmd.h"
#include "core/datagram.h"
#include "core/plcmode.h"
#include "core/plcreg.h"
#include "core/timebase.h"
#include "core/util.h"
#include "core/vcomm.h"
#include "platform/plat.h"
#include "tests/core/test_storage_support.h"

namespace cmd_test {

using Bytes = std::vector<uint8_t>;

inline int64_t &Ns() {
    static int64_t ns;
    return ns;
}
inline void Mono(struct timespec *ts) {
    ts->tv_sec = time_t(Ns() / 1000000000);
    ts->tv_nsec = long(Ns() % 1000000000);
}
inline uint32_t NoOffset() { return 0; }
inline const PlatTimeOps kTime = {Mono, NoOffset};

// A frame with the checksum for the given seed.
inline Bytes Frame(uint8_t cmd, const Bytes &data, uint8_t seed = 0, bool long_form = false) {
    Bytes f{cmd};
    if (long_form || data.size() > 254) {
        f.push_back(0xFF);
        f.push_back(uint8_t(data.size()));
        f.push_back(uint8_t(data.size() >> 8));
    } else {
        f.push_back(uint8_t(data.size()));
    }
    f.insert(f.end(), data.begin(), data.end());
    uint8_t sum = seed;
    for (uint8_t b : f) sum = uint8_t(sum + b);
    f.push_back(uint8_t(-sum));
    return f;
}

class CmdTest : public ::testing::Test {
protected:
    storage_test::TempRoot root;
    const PlatTimeOps *saved_time = nullptr;

    void SetUp() override {
        saved_time = plat_time;
        Ns() = 1000000000;
        plat_time = &kTime;
        plc_reg.fill(0);
        PlcWordSet(W_NETID, 127);
        crc_header = {};
        Timer_Init(&fpga_port, 100);
        RCT_Init();
        Vcomm_Lock = 0;
        Vcomm_Host = 0;
        Vcomm_Mode = 0;
        Cmd_Override = 0;
        Cmd_Downloading = 0;
        OLPMode = 0;
        Datagram_Init();
        SCI2_Init(0);
        Cmd_Init();
        Vcomm_Drv[0].SetIntrcpt(0, 1);
    }
    void TearDown() override {
        Vcomm_Drv[0].SetIntrcpt(0, 0);
        plat_time = saved_time;
    }

    static void Advance(uint32_t ms) { Ns() += int64_t(ms) * 1000000; }

    static void Stuff(const Bytes &in) {
        for (uint8_t b : in) Vcomm_Drv[0].StuffRx(0, b);
    }
    static Bytes Drain() {
        Bytes out;
        uint8_t b;
        while (Vcomm_Drv[0].DrainTx(0, &b)) out.push_back(b);
        return out;
    }
    // The host sends bytes; the controller runs some passes; its answer.
    static Bytes Exchange(const Bytes &in, int passes = 3) {
        Stuff(in);
        for (int i = 0; i < passes; i++) Cmd_Check();
        return Drain();
    }
};

}  // namespace cmd_test
