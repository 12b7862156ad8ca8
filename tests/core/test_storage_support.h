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
#include <sys/stat.h>
#include <unistd.h>

#include "platform/plat.h"
#include "tests/support/temp_root.h"

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

using test_support::TempRoot;

}  // namespace storage_test
