// Sampling-trace settings of arbitrary words applied to an application, then
// cycles with changing variables, Ctl calls and the two object answers.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "iec/vm/z7bsmp.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7vm.h"
#include "tests/support/iec_image.h"

namespace {
uint32_t db = 0;
uint8_t out[1024];
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    test_support::IecImage img;
    img.d8 = img.d16 = img.d32 = img.d64 = img.time = {15, 15, 15};
    const uint32_t code = test_support::IecLoad(img.Build());
    if (code == 0 || Z7VM_CreateDB(code, &db) != 0 || Z7Def_ColdStart(code, db, nullptr, nullptr, 0, 0, "F") != 0)
        db = 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (db == 0) return 0;
    Z7VMBsmp_Set(db, 0, data, uint32_t(size / 2));
    for (uint32_t c = 0; c < 1000; c++) {
        const uint8_t v = size ? data[c % size] : 0;
        Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_D8, 1 + c % 15), uint8_t((v >> (c % 8)) & 1));
        Z7Mem_Put32(Z7VM_Status(db) + ST_STAMP, c * 7);
        if (c == 500 && size) Z7VMBsmp_Ctl(db, 0, data[0] & 1);
        Z7VMBsmp_Activate(db);
    }
    Z7VMBsmp_GetSettings(db, out);
    Z7VMBsmp_GetData(db, out);
    return 0;
}
