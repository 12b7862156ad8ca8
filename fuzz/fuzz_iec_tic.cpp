// Random bytecode through the interpreter: the input's words become the code
// of two programs (split at the first word 0xFFFF) of an application with
// every kind of section (typed variables, strings, XVs, steps, transitions,
// timers, a CT segment, block instances, a sub-program), then runs cycles and
// the command buffer. No run may touch memory outside the VM arena's blocks
// (ASan) and every block taken must be given back.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "iec/vm/z7interp.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7vm.h"
#include "tests/support/iec_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const uint32_t live = Z7Mem_LiveBlocks();
    Z7VMTic_JumpBudget = 20000;
    std::vector<uint16_t> a, b;
    bool second = false;
    for (size_t i = 0; i + 1 < size && i < 4096; i += 2) {
        const uint16_t w = uint16_t(data[i] | data[i + 1] << 8);
        if (w == 0xFFFF && !second) {
            second = true;
            continue;
        }
        (second ? b : a).push_back(w);
    }
    if (a.empty()) a.push_back(68);
    if (b.empty()) b.push_back(68);
    test_support::IecImage img;
    img.d8 = img.d16 = img.d32 = img.d64 = img.time = {15, 15, 15};
    img.str = {3, 3, 3};
    img.string_sizes = {4, 8, 2};
    img.init_str = {{1, "ABC"}};
    img.xv_high = img.xv_used = 3;
    img.xvs = {{1, 1}, {5, 2}, {13, 3}};
    img.steps = 4;
    img.trans = 4;
    img.active_timers = 3;
    img.cs_size = 3;
    img.ct_alloc = 32;
    img.ct_used = 32;
    img.classes = {{5, 1, "CTUR"}, {6, 1, "PID"}, {7, 1, "CTUDR"}};
    img.instances = {{0, 5, 0}, {0, 6, 0}, {0, 7, 0}};
    img.programs = {{a, 0}, {b, 1}, {{8, 1, 1, 2, 68}, 2}};
    const uint32_t code = test_support::IecLoad(img.Build());
    uint32_t db = 0;
    if (code != 0 && Z7VM_CreateDB(code, &db) == 0) {
        if (Z7Def_ColdStart(code, db, nullptr, nullptr, 0, 0, "FUZZ") == 0) {
            for (uint32_t now = 1000; now < 1040; now += 10) Z7Def_Cycle(db, now, nullptr);
            // the same words once more from the command buffer
            const uint32_t buf = Z7Sec_Addr(db, Z7SEC_EXEC);
            const uint32_t n = uint32_t(a.size() < 500 ? a.size() : 500);
            for (uint32_t i = 0; i < n; i++) Z7Mem_Put16(buf + 2 * i, a[i]);
            Z7Mem_Put16(buf + 2 * n, 68);
            Z7Mem_Put16(Z7VM_Status(db) + ST_EXECLEN, uint16_t(2 * n));
            Z7VMPrg_ProcessExecBuffer(db);
            Z7Def_Stop(db, nullptr, nullptr, "FUZZ");
        }
        Z7Mem_Free(db);
    }
    Z7Mem_Free(code);
    if (Z7Mem_LiveBlocks() != live) std::abort();  // a block was left behind
    return 0;
}
