// MAC IDs from the list file: the next MAC with its carry, the list used up
// at the end of the last three bytes, a kept valid MAC, invalid lists, and
// the text forms.
#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <sstream>
#include <string>

#include "exec/install.h"
#include "tests/support/temp_root.h"

namespace {

std::string Slurp(const std::string &p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}
void Spit(const std::string &p, const std::string &t) { std::ofstream(p, std::ios::binary) << t; }

TEST(ExecInstall, MacListAssignsCarriesAndEnds) {
    test_support::TempRoot root;
    ::mkdir((root / "mnt").c_str(), 0755);
    ::mkdir((root / "mnt/cfg").c_str(), 0755);
    const std::string list = root / "mnt/MACIDS.TXT";
    std::array<uint8_t, 76> img{};

    EXPECT_EQ(SaveMACID(img.data(), 0, "/mnt/MACIDS.TXT"), 5u);
    Spit(list, "02:43:50:00:00:ff\r\n02:43:50:ff:ff:ff\r\n");
    EXPECT_EQ(SaveMACID(img.data(), 0, "/mnt/MACIDS.TXT"), 0u);
    EXPECT_EQ(std::vector<uint8_t>(img.begin() + 8, img.begin() + 14),
              (std::vector<uint8_t>{0x02, 0x43, 0x50, 0x00, 0x00, 0xFF}));
    EXPECT_EQ(Slurp(list), "02:43:50:00:01:00\r\n02:43:50:ff:ff:ff\r\n");
    EXPECT_EQ(Slurp(root / "mnt/cfg/TINYIMGE.BIN").size(), 76u);
    // Interface 0 keeps its valid MAC: done, the list untouched.
    EXPECT_EQ(SaveMACID(img.data(), 0, "/mnt/MACIDS.TXT"), 0u);
    EXPECT_EQ(Slurp(list), "02:43:50:00:01:00\r\n02:43:50:ff:ff:ff\r\n");
    // The last MAC of the three bytes: given out, then the list is used up.
    Spit(list, "02:43:50:FF:FF:FF\r\n02:43:50:FF:FF:FF\r\n");
    EXPECT_EQ(SaveMACID(img.data(), 1, "/mnt/MACIDS.TXT"), 0u);
    EXPECT_EQ(img[19], 0xFF);
    EXPECT_EQ(SaveMACID(img.data(), 2, "/mnt/MACIDS.TXT"), 2u);
    EXPECT_EQ(img[20], 0x00);
    // Next beyond last; another maker's MAC; a bad digit.
    Spit(list, "02:43:50:00:00:11\r\n02:43:50:00:00:10\r\n");
    EXPECT_EQ(SaveMACID(img.data(), 2, "/mnt/MACIDS.TXT"), 2u);
    Spit(list, "00:11:22:00:00:01\r\n02:43:50:00:00:10\r\n");
    EXPECT_EQ(SaveMACID(img.data(), 2, "/mnt/MACIDS.TXT"), 4u);
    Spit(list, "02:43:5G:00:00:01\r\n02:43:50:00:00:10\r\n");
    EXPECT_EQ(SaveMACID(img.data(), 2, "/mnt/MACIDS.TXT"), 4u);

    uint8_t mac[6];
    EXPECT_EQ(convert_MACSTR_MACINT("02-43-50-aB-cD-eF", mac), 1u);
    EXPECT_EQ(mac[5], 0xEF);
    EXPECT_EQ(convert_MACSTR_MACINT("02:43:50:00:00", mac), 0u);
    char hex[3];
    convert_BYTE_ASCIIHEX(hex, 0xA5);
    EXPECT_STREQ(hex, "A5");
}

}  // namespace
