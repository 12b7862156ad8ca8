// Temporary root folder and file helpers shared by the storage and file-layer
// tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/plat.h"

namespace storage_test {

// Reference CRC-16/MODBUS, bit by bit (independent of the table-driven one).
inline uint16_t RefCrc(const uint8_t *p, std::size_t n) {
    uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < n; i++) {
        crc ^= p[i];
        for (int k = 0; k < 8; k++) crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
    }
    return crc;
}
inline uint16_t RefCrc(const std::vector<uint8_t> &v) { return RefCrc(v.data(), v.size()); }

inline void Put32(std::vector<uint8_t> &out, uint32_t v) {
    for (int i = 0; i < 4; i++) out.push_back(uint8_t(v >> (8 * i)));
}
inline void Put16(std::vector<uint8_t> &out, uint16_t v) {
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}
// A stored block: u32 CRC word, u32 length, data.
inline std::vector<uint8_t> StoredBlock(const std::vector<uint8_t> &data) {
    std::vector<uint8_t> out;
    Put32(out, RefCrc(data));
    Put32(out, uint32_t(data.size()));
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

inline std::vector<uint8_t> ReadFile(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}
inline void WriteFile(const std::string &path, const std::vector<uint8_t> &data) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(data.data()), std::streamsize(data.size()));
}
inline bool FileExists(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

// A fresh PLC_ROOT for one test; the previous root is put back afterwards.
class TempRoot {
public:
    TempRoot() {
        const char *old = std::getenv("PLC_ROOT");
        had_old_ = old != nullptr;
        if (had_old_) old_ = old;
        char tmpl[] = "/tmp/plc-storage-XXXXXX";
        const char *d = mkdtemp(tmpl);
        if (d != nullptr) path_ = d;
        setenv("PLC_ROOT", path_.c_str(), 1);
        static char arg0[] = "test";
        static char *argv[] = {arg0, nullptr};
        PLAT_Init(1, argv);
        PLAT_MakeBoardFolders();
    }
    ~TempRoot() {
        if (had_old_) setenv("PLC_ROOT", old_.c_str(), 1);
        else unsetenv("PLC_ROOT");
        static char arg0[] = "test";
        static char *argv[] = {arg0, nullptr};
        PLAT_Init(1, argv);
        if (!path_.empty())
            nftw(path_.c_str(), [](const char *p, const struct stat *, int, struct FTW *) { return remove(p); }, 16,
                 FTW_DEPTH | FTW_PHYS);
    }
    std::string operator/(const std::string &rel) const { return path_ + "/" + rel; }
    const std::string &path() const { return path_; }

private:
    std::string path_;
    std::string old_;
    bool had_old_ = false;
};

}  // namespace storage_test
