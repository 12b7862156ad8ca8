// libFuzzer target: the stored files of the configuration flash as start-up
// reads them. Each input is laid out as "ladder.pgm", "config.pgm" (with the
// register set-up area as its second block) and "bkpreg.dta" in a root of its
// own, then loaded (LoadLadder, LoadProgram with the configuration blocks,
// LoadRegisters) and validated the
// way start-up does (nvram_init, the network and I/O configuration).
//
// Input: byte 0 selects which files are present (bits 0-2) and whether the
// bytes are split among them (bit 3: u16 lengths of the first two follow;
// otherwise one file gets all the bytes); the rest are the file contents.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "core/bytes.h"
#include "core/memfile.h"
#include "core/nvram.h"
#include "core/plcmode.h"
#include "core/plcreg.h"
#include "platform/plat.h"

namespace {

std::string root;

void Setup() {
    char tmpl[] = "/tmp/plc-fuzz-files-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) std::abort();
    root = tmpl;
    setenv("PLC_ROOT", root.c_str(), 1);
    setenv("PLC_RESET", "exit", 1);
    static char arg0[] = "fuzz";
    static char *argv[] = {arg0, nullptr};
    PLAT_Init(1, argv);
    PLAT_MakeBoardFolders();
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
    Put(MF_LADDER_PGM, data, len[0], sel & 1);
    Put(MF_CONFIG_PGM, data + len[0], len[1], sel & 2);
    Put(MF_BKPREG, data + len[0] + len[1], len[2], sel & 4);

    plc_reg.fill(0);
    PlcWordSet(W_MODE, 0);
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
