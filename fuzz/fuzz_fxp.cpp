// libFuzzer target: the file-transfer host driven by outside frames. The
// input is a run of operations: byte 0 of each selects a command line, a data
// block, a read or a few main-loop steps, byte 1 its length. Paths must stay
// inside the drives' folders; reads never give more than asked for.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <sys/stat.h>

#include "media/filex.h"
#include "media/fxp.h"
#include "platform/plat.h"

namespace {
bool ready;

void Setup() {
    if (ready) return;
    ready = true;
    char tmpl[] = "/tmp/plc-fuzz-fxp-XXXXXX";
    const std::string root = mkdtemp(tmpl);
    setenv("PLC_ROOT", root.c_str(), 1);
    static char arg0[] = "fuzz";
    static char *argv[] = {arg0, nullptr};
    PLAT_Init(1, argv);
    for (const char *d : {"/mnt", "/mnt/USB0", "/mnt/USB1", "/mnt/cfg", "/dev", "/dev/shm"})
        mkdir((root + d).c_str(), 0775);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    Setup();
    Fxp_Initialise();
    std::size_t pos = 0;
    uint8_t buf[1100];
    while (pos + 2 <= size) {
        const uint8_t op = data[pos] % 4;
        const std::size_t n = std::min<std::size_t>(data[pos + 1] * 5u, size - pos - 2);
        const uint8_t *arg = data + pos + 2;
        pos += 2;
        int32_t extra = 0;
        switch (op) {
        case 0: {
            std::string line(reinterpret_cast<const char *>(arg), n);
            Fxp_DoParseCommand(line.c_str(), &extra);
            pos += n;
            break;
        }
        case 1:
            Fxp_DoWriteData(arg, uint32_t(n));
            pos += n;
            break;
        case 2: {
            const uint32_t max = 1 + data[pos - 1] * 4u;
            const int32_t r = Fxp_DoReadData(buf, max);
            if (r > int32_t(max)) std::abort();
            break;
        }
        default:
            for (int i = 0; i < 4; ++i) FxpMain(1);
            Fxp_DoParseCommand(nullptr, &extra);
            break;
        }
    }
    for (int i = 0; i < 4; ++i) FxpMain(1);
    Fxp_Initialise();
    return 0;
}
