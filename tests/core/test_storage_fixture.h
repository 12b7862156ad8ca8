// Fixture of the storage tests: a fresh root and clean memory files.
#pragma once

#include <cstring>
#include <vector>

#include "core/storage/backup.h"
#include "exec/mainloop.h"
#include "core/storage/memfile.h"
#include "core/storage/nvram.h"
#include "core/image/plcreg.h"
#include "tests/core/test_storage_support.h"

namespace storage_test {

// Default contents of the files (bytes in file order).
inline const std::vector<uint8_t> kLadderDef = {0x09, 0x00};
inline const std::vector<uint8_t> kIoDef = {0xFF, 0, 0, 0, 0xFF, 0, 0, 0, 0xFF, 0, 0, 0};
inline const std::vector<uint8_t> kTableDef = {0x08, 0, 0, 0, 0, 0, 0, 0};
inline const std::vector<uint8_t> kSetupDef = std::vector<uint8_t>(80, 0);
inline const std::vector<uint8_t> kForceDef = std::vector<uint8_t>(4, 0);

inline std::vector<uint8_t> Pattern(std::size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (std::size_t i = 0; i < n; i++) v[i] = uint8_t(seed + i * 7 + (i >> 8));
    return v;
}

// Puts data into a block with a valid (or a given) header.
inline void SetArea(uint8_t *area, const std::vector<uint8_t> &data) {
    if (!data.empty()) std::memcpy(area + MF_HDR, data.data(), data.size());
    MF_SetHeader(area, RefCrc(data), uint32_t(data.size()));
}
inline std::vector<uint8_t> AreaData(const uint8_t *area, std::size_t n) {
    return std::vector<uint8_t>(area + MF_HDR, area + MF_HDR + n);
}

// Program data of n bytes whose editor features (u32 at n - 9) are given.
inline std::vector<uint8_t> Program(std::size_t n, uint32_t features) {
    std::vector<uint8_t> p = Pattern(n, 3);
    p[n - 9] = uint8_t(features);
    p[n - 8] = uint8_t(features >> 8);
    p[n - 7] = uint8_t(features >> 16);
    p[n - 6] = uint8_t(features >> 24);
    p[n - 1] = 0;
    return p;
}

class StorageTest : public ::testing::Test {
protected:
    TempRoot root;

    void SetUp() override {
        WatchDogDisable = 1;
        plc_reg.fill(0);
        for (uint8_t *a :
             {ladder_bl.data(), io_config_bl.data(), net_config_bl.data(), promgr_table_bl.data(), sms_table_bl.data(),
              datalog_table.data(), copendnet_tbl.data(), mqtt_tbl.data(), flash_parm_tbl.data()})
            std::memset(a, 0, 4096);
        crcsize_tbl.fill(0);
        MF_PersistSet(0);
        MF_PersistNextSet(0);
        fwload_set_def = 0;
        DrevanoRuntime = 0;
        DrevanoI0_VarLoc = nullptr;
        nv_Startup = 0;
        NV_EditorFeatures = 0;
    }

    std::string Cfg(const char *name) const { return root / (std::string("mnt/cfg/") + name); }
};

}  // namespace storage_test
