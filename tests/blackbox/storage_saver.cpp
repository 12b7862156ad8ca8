// Stores the program, the configuration and the registers over and over, with
// contents that change in size each time; the storage black-box test kills it
// at random instants and checks that every file left is whole. Prints the
// number of each completed save.
#include <cstdio>
#include <cstring>

#include "exec/mainloop.h"
#include "core/storage/memfile.h"
#include "core/image/plcreg.h"
#include "core/image/util.h"
#include "platform/plat.h"

namespace {
void Fill(uint8_t *area, std::size_t n, uint32_t seed) {
    for (std::size_t i = 0; i < n; i++) area[MF_HDR + i] = uint8_t(seed * 31 + i * 7 + (i >> 9));
    MF_SetHeader(area, crc16(area + MF_HDR, n), uint32_t(n));
}
}  // namespace

int main(int argc, char **argv) {
    PLAT_Init(argc, argv);
    PLAT_MakeBoardFolders();
    WatchDogDisable = 1;
    AutoLoadRegisters();  // creates the register file on a fresh root
    for (uint32_t i = 0;; i++) {
        const std::size_t n = (i & 1) ? 300000 : 900000 + (i % 5) * 4099;
        Fill(ladder_bl.data(), n, i);
        Fill(io_config_bl.data(), n / 3, i + 1);
        Fill(promgr_table_bl.data(), n / 2, i + 2);
        Fill(sms_table_bl.data(), 1000 + i % 100, i + 3);
        Fill(datalog_table.data(), 500 + i % 50, i + 4);
        Fill(flash_parm_tbl.data(), 64, i + 5);
        Fill(copendnet_tbl.data(), 2000, i + 6);
        Fill(mqtt_tbl.data(), n, i + 7);
        const uint16_t setup_len = uint16_t(40 + i % 41);
        for (uint16_t k = 0; k < setup_len; k++) plc_reg[MF_SETUP_BYTE + k] = uint8_t(i + k);
        PlcDwordSet(W_SETUP_LEN, setup_len);
        PlcWordSet(W_SETUP_CRC, crc16(&plc_reg[MF_SETUP_BYTE], setup_len));
        for (uint32_t w = 2000; w < 6000; w++) PlcWordSet(w, uint16_t(w + i));
        std::memcpy(&plc_reg[REG_MARKER_BYTE], "WATCHBAT", 8);
        SaveProgram();
        std::printf("%u\n", i);
        std::fflush(stdout);
    }
}
