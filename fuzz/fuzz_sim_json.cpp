// Feeds arbitrary text to the JSON reader of the workstation's simulation
// files and, when it parses, to the simulated module table behind the bus.
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz/io_fuzz_setup.h"
#include "platform/plat.h"
#include "platform/plat_json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    io_fuzz::Setup();
    PlatJson v;
    std::string error;
    const bool ok = PlatJson_Parse(reinterpret_cast<const char *>(data), size, v, error);
    if (!ok || v.kind != PlatJson::Object) return 0;
    // The same text as sim/io.json: load it and touch every address.
    char path[512];
    if (PLAT_Path("/sim/io.json", path, sizeof path) == nullptr) return 0;
    if (FILE *f = std::fopen(path, "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    PLAT_I2cSimReset();
    plat_i2c = &plat_i2c_host;
    uint8_t buf[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    for (unsigned a = 0; a < 256; a += 2) {
        if (!PLAT_I2cProbe(uint8_t(a))) continue;
        (void)PLAT_I2cWrite(uint8_t(a), buf, sizeof buf);
        (void)PLAT_I2cRead(uint8_t(a), buf, sizeof buf);
    }
    PLAT_I2cSimFlush();
    return 0;
}
