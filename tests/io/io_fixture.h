// Shared set-up of the I/O tests: a fresh root with a simulated module table,
// a recorder of every bus transfer, and helpers for the configuration block.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/storage/memfile.h"
#include "core/image/plcreg.h"
#include "io/i2c.h"
#include "io/io.h"
#include "io/iodrv.h"
#include "platform/plat.h"
#include "tests/support/temp_root.h"

namespace io_test {

struct Xfer {
    char kind;  // 'p' probe, 'r' read, 'w' write
    uint8_t addr;
    std::vector<uint8_t> data;
    bool ok;
};

inline std::vector<Xfer> &Log() {
    static std::vector<Xfer> log;
    return log;
}
inline int RecProbe(uint8_t a) {
    const int r = plat_i2c_host.probe(a);
    Log().push_back({'p', a, {}, r != 0});
    return r;
}
inline int RecRead(uint8_t a, uint8_t *b, std::size_t n) {
    const int r = plat_i2c_host.read(a, b, n);
    Log().push_back({'r', a, std::vector<uint8_t>(b, b + n), r != 0});
    return r;
}
inline int RecWrite(uint8_t a, const uint8_t *b, std::size_t n) {
    const int r = plat_i2c_host.write(a, b, n);
    Log().push_back({'w', a, std::vector<uint8_t>(b, b + n), r != 0});
    return r;
}
inline void RecSpeed(unsigned c) { plat_i2c_host.speed(c); }
inline const PlatI2cOps kRecorder = {RecProbe, RecRead, RecWrite, RecSpeed};

inline void NoPause(uint32_t) {}

class IoTest : public ::testing::Test {
protected:
    test_support::TempRoot root;

    void SetUp() override {
        plat_i2c = &kRecorder;
        i2c_pause_us = NoPause;
        PLAT_I2cSimReset();
        Io_ResetProbe();
        plc_reg.fill(0);
        Log().clear();
        SetConfig({0xFF, 0, 0, 0, 0xFF, 0, 0, 0, 0xFF, 0, 0, 0});
    }
    void TearDown() override {
        plat_i2c = nullptr;
        PLAT_I2cSimReset();
        Io_ResetProbe();
    }

    // Writes sim/io.json (its modification time must change between two writes
    // of the same size, so a fresh file name is renamed into place).
    void Sim(const std::string &json) {
        static int n = 0;
        const std::string tmp = root / ("sim/io.json." + std::to_string(++n));
        FILE *f = std::fopen(tmp.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs(json.c_str(), f);
        std::fclose(f);
        std::rename(tmp.c_str(), (root / "sim/io.json").c_str());
    }

    static void SetConfig(const std::vector<uint8_t> &data) {
        MF_SetHeader(io_config_bl.data(), 0, uint32_t(data.size()));
        std::copy(data.begin(), data.end(), io_config_bl.begin() + MF_HDR);
    }

    // The bytes of the last write to addr.
    static std::vector<uint8_t> LastWrite(uint8_t addr) {
        for (auto it = Log().rbegin(); it != Log().rend(); ++it) {
            if (it->kind == 'w' && it->addr == addr) return it->data;
        }
        return {};
    }

    static uint8_t *Reg(uint32_t bit_address, uint32_t width) { return PlcReg_Ptr(bit_address, width); }
    static const uint8_t *Entry(unsigned slot) { return &plc_reg[382 + 2 + 24 * slot]; }
};

}  // namespace io_test
