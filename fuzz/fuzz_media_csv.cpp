// libFuzzer target: CSV reading of outside files. The input after four
// control bytes is the file; byte 0 selects the read (row, column, row count,
// read descriptors), byte 1 the element format, bytes 2-3 the start and
// count. The data area is a bounded buffer; nothing may be touched outside it.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "media/cfapi.h"
#include "platform/plat.h"
#include "tests/support/cf_rec.h"

namespace {
std::string file;

void Setup() {
    if (!file.empty()) return;
    char tmpl[] = "/tmp/plc-fuzz-csv-XXXXXX";
    const std::string root = mkdtemp(tmpl);
    setenv("PLC_ROOT", root.c_str(), 1);
    static char arg0[] = "fuzz";
    static char *argv[] = {arg0, nullptr};
    PLAT_Init(1, argv);
    mkdir((root + "/mnt").c_str(), 0775);
    mkdir((root + "/mnt/USB0").c_str(), 0775);
    CF_Init();
    file = root + "/mnt/USB0/F.CSV";
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    if (size < 4) return 0;
    Setup();
    FILE *f = std::fopen(file.c_str(), "wb");
    if (f == nullptr) return 0;
    std::fwrite(data + 4, 1, size - 4, f);
    std::fclose(f);
    // The data area sits at the end of its allocation so that ASan sees any
    // write past it.
    const uint32_t area = 1 + data[3] % 97;
    std::vector<uint8_t> buf(area);
    const std::vector<uint8_t> descs = {0, uint8_t(data[1] % 11), uint8_t(data[2] % 9), 0,
                                        0, uint8_t(data[2] % 11), uint8_t(data[1] % 5), 0};
    uint32_t n = 0;
    CfTransferRec r = test_support::CfValuesRec("A:\\F.CSV", buf.data(), area, data[1] % 10, data[2] % 130, &n);
    switch (data[0] % 4) {
    case 0: r.start = data[3] % 5; break;
    case 1:
        r.start = int32_t(0x80000000u | uint32_t(data[3] % 8) << 16 | uint32_t(data[0] >> 5));
        r.count = uint32_t(data[2] % 4) | uint32_t(data[1] >> 4) << 16;
        break;
    case 2: r.start = -1; break;
    default:
        r.flag8 = 76;
        r.desc_count = 2;
        r.descs = descs.data();
        r.descs_size = uint32_t(descs.size());
        r.start = data[3] % 3;
        break;
    }
    CF_ReadFile(DRIVE_A, &r);
    return 0;
}
