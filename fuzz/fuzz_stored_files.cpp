// libFuzzer target: the stored files of the configuration flash as start-up
// reads them. Each input is laid out as "ladder.pgm", "config.pgm" (with the
// register set-up area as its second block) and "bkpreg.dta" in a root of its
// own, then loaded (each configuration block alone, LoadLadder, LoadProgram
// with the configuration blocks, LoadRegisters) and validated the
// way start-up does (nvram_init, the network and I/O configuration).
//
// Input: byte 0 selects which files are present (bits 0-2), whether the
// bytes are split among them (bit 3: u16 lengths of the first two follow;
// otherwise one file gets all the bytes) and whether the CRCs the files carry
// are made to match (bit 4), so that the checks behind them are reached; the
// rest are the file contents.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "core/image/bytes.h"
#include "core/storage/memfile.h"
#include "core/storage/nvram.h"
#include "exec/plcmode.h"
#include "core/image/plcreg.h"
#include "core/image/util.h"
#include "platform/plat.h"
#include "tests/support/proc_root.h"

namespace {

std::string root;

void Setup() {
    static char tmpl[] = "/tmp/plc-fuzz-files-XXXXXX";
    setenv("PLC_RESET", "exit", 1);
    root = test_support::ProgramRoot(tmpl, "fuzz");
    std::atexit([] { std::filesystem::remove_all(root); });
}

void Put(const char *abs, const uint8_t *data, std::size_t n, bool present) {
    const std::string p = root + abs;
    if (!present) {
        std::remove(p.c_str());
        return;
    }
    FILE *f = std::fopen(p.c_str(), "wb");
    if (f == nullptr) std::abort();
    if (n != 0 && std::fwrite(data, 1, n, f) != n) std::abort();
    std::fclose(f);
}

// The program: u32 CRC word, u32 length, data.
void FixLadder(uint8_t *p, std::size_t n) {
    if (n < 8) return;
    const std::size_t len = std::min<std::size_t>(LE_Get32(p + 4), n - 8);
    LE_Put16(p, crc16(p + 8, len));
}

// The configuration: eight blocks, the second the set-up area (u16 length,
// u16 CRC, data), the others u32 CRC word, u32 length, data.
void FixConfig(uint8_t *p, std::size_t n) {
    std::size_t at = 0;
    for (int i = 0; i < 8; i++) {
        const std::size_t hdr = i == 1 ? 4 : 8;
        if (n - at < hdr) return;
        const std::size_t want = i == 1 ? LE_Get16(p + at) : LE_Get32(p + at + 4);
        const std::size_t len = std::min<std::size_t>(want, n - at - hdr);
        LE_Put16(p + at + (i == 1 ? 2 : 0), crc16(p + at + hdr, len));
        at += hdr + len;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    if (root.empty()) Setup();
    if (size < 1) return 0;
    const uint8_t sel = data[0];
    data++;
    size--;
    std::size_t len[3] = {0, 0, 0};
    if (sel & 0x08) {
        if (size < 4) return 0;
        len[0] = LE_Get16(data);
        len[1] = LE_Get16(data + 2);
        data += 4;
        size -= 4;
        if (len[0] > size) len[0] = size;
        if (len[1] > size - len[0]) len[1] = size - len[0];
        len[2] = size - len[0] - len[1];
    } else {
        len[sel % 3] = size;
    }
    std::vector<uint8_t> bytes(data, data + size);
    if (sel & 0x10) {
        FixLadder(bytes.data(), len[0]);
        FixConfig(bytes.data() + len[0], len[1]);
    }
    Put(MF_LADDER_PGM, bytes.data(), len[0], sel & 1);
    Put(MF_CONFIG_PGM, bytes.data() + len[0], len[1], sel & 2);
    Put(MF_BKPREG, bytes.data() + len[0] + len[1], len[2], sel & 4);

    plc_reg.fill(0);
    PlcWordSet(W_MODE, 0);
    // One block alone, as an abandoned download puts it back.
    for (uint32_t type : {4u, 5u, 20u, 21u, 22u, 23u, 33u}) LoadConfigBlock(type);
    LoadLadder();
    LoadProgram();  // the program again, then the configuration blocks (read when the program was good)
    LoadRegisters();
    nv_Startup = 1;
    nvram_init(0, 0);
    nv_Startup = 0;
    NetConfig();
    IoConfig();
    return 0;
}
