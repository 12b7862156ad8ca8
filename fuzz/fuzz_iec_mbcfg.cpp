// The application's Modbus configuration block and the remote-binding lists
// of an IEC code image from untrusted bytes: sizing, build and link of the
// database, then exchanges, a few served requests and engine steps (nothing
// is opened, so nothing leaves the process). The first byte chooses: even,
// the rest is the Modbus block; odd, the rest splits at the second byte into
// the connection list and the variable list.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "iec/services/z7mb.h"
#include "iec/services/z7svc.h"
#include "iec/vm/z7vm.h"
#include "tests/support/iec_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const uint32_t live = Z7Mem_LiveBlocks();
    if (size < 2) return 0;
    test_support::IecImage img;
    img.d8 = img.d16 = img.d32 = img.d64 = img.time = {15, 15, 15};
    img.str = {3, 3, 3};
    img.string_sizes = {20, 20, 20};
    img.ct_alloc = img.ct_used = 64;
    if (data[0] % 2 == 0) {
        img.ext_blocks = {{2, std::vector<uint8_t>(data + 1, data + size)}};
    } else {
        const size_t split = 2 + (size - 2) * data[1] / 255;
        img.ext_blocks = {{5, std::vector<uint8_t>(data + 2, data + split)},
                          {6, std::vector<uint8_t>(data + split, data + size)}};
    }
    const uint32_t code = test_support::IecLoad(img.Build());
    uint32_t db = 0;
    if (code == 0) abort();
    if (Z7VM_CreateDB(code, &db) == 0 && Z7VM_Build(code, db) == 0) {
        const uint32_t state = Z7Sec_Addr(db, Z7SEC_MB);
        static const uint8_t reqs[][12] = {
            {0, 1, 0, 0, 0, 6, 1, 3, 0, 0, 0, 4},
            {0, 2, 0, 0, 0, 6, 0, 1, 0, 0, 0, 16},
            {0, 3, 0, 0, 0, 6, 1, 6, 0, 1, 0x12, 0x34},
            {0, 4, 0, 0, 0, 6, 1, 5, 0, 2, 0xFF, 0},
        };
        uint8_t ans[300];
        for (int pass = 0; pass < 3; pass++) {
            Z7MB_Exchange(state, db);
            for (const auto &r : reqs) Z7MB_ServeExID(state, r, sizeof r, ans, 1, 0, nullptr);
            Z7MB_Activate(state, 1000u + 400u * uint32_t(pass));
            Z7EAX_Activate(db, 1000u + 4000u * uint32_t(pass));
        }
        Z7MB_FindServer(state, "S");
        Z7VM_ShutDown(db, nullptr);
    }
    if (db) Z7Mem_Free(db);
    Z7Mem_Free(code);
    if (Z7Mem_LiveBlocks() != live) abort();
    return 0;
}
