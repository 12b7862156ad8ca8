// Parameter files of arbitrary bytes: the input after its first byte is the
// file; the first byte picks the section and key asked for and the size of
// the output.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>

#include "iec/services/z7svc.h"
#include "iec/vm/z7stdlib.h"
#include "platform/plat.h"

namespace {
std::string file;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    static char tmpl[] = "/tmp/fuzz-iec-param-XXXXXX";
    const char *root = mkdtemp(tmpl);
    setenv("PLC_ROOT", root, 1);
    PLAT_Init(0, nullptr);
    mkdir((std::string(root) + "/mnt").c_str(), 0755);
    mkdir((std::string(root) + "/mnt/cfg").c_str(), 0755);
    file = std::string(root) + "/mnt/cfg/p.ini";
    Z7Svc_InstallStdHooks();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    FILE *f = std::fopen(file.c_str(), "wb");
    if (f == nullptr) return 0;
    std::fwrite(data + 1, 1, size - 1, f);
    std::fclose(f);
    static const char *const sections[] = {"Net", "a", "", "[x]"};
    static const char *const keys[] = {"Key", "k", "", "=", "IP"};
    char out[300];
    const uint32_t sizes[] = {0, 1, 3, 300};
    Z7Param_Get(0, "/mnt/cfg/p.ini", sections[data[0] & 3], keys[(data[0] >> 2) % 5], out, sizes[(data[0] >> 5) & 3]);
    return 0;
}
