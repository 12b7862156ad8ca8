// libFuzzer target: clone files from the card. Byte 0 selects the program
// clone (header, sections, CRCs and type-99 records into the bounded work
// buffer) or the data clone (CRC-checked before the register image is
// touched); the rest is the file.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>

#include "core/image/plcreg.h"
#include "media/clone.h"
#include "platform/plat.h"

namespace {
std::string file;

void Setup() {
    if (!file.empty()) return;
    char tmpl[] = "/tmp/plc-fuzz-clone-XXXXXX";
    const std::string root = mkdtemp(tmpl);
    setenv("PLC_ROOT", root.c_str(), 1);
    static char arg0[] = "fuzz";
    static char *argv[] = {arg0, nullptr};
    PLAT_Init(1, argv);
    for (const char *d : {"/mnt", "/mnt/USB0", "/dev", "/dev/shm"}) mkdir((root + d).c_str(), 0775);
    file = root + "/mnt/USB0/C.BIN";
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    if (size < 1) return 0;
    Setup();
    FILE *f = std::fopen(file.c_str(), "wb");
    if (f == nullptr) return 0;
    std::fwrite(data + 1, 1, size - 1, f);
    std::fclose(f);
    if (data[0] & 1) {
        uint8_t out[80], header[84];
        CloneReadFile("A:\\C.BIN", out, header);
    } else {
        plc_reg.fill(0x5A);
        const uint32_t r = LoadDat("A:\\C.BIN");
        if (r != 0 && plc_reg[100] != 0x5A) std::abort();  // refused: the image untouched
    }
    return 0;
}
