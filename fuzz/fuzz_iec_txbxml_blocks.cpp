// The text-buffer, XML and menu blocks (controller registry rows 0-50) and
// the library's standard rows (serial, Modbus slave, CSV) over random operand
// lists: the input picks a row and up to four calls, gives the operand
// entries (type codes, indices, array sizes) and fills the typed sections and
// the strings, so handles, texts and documents come from the input too.
// No call may touch memory outside the arena's blocks (ASan); every instance
// taken is given back, and the heap keeps the database's blocks.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "iec/blocks/blkform.h"
#include "iec/vm/z7interp.h"
#include "iec/vm/z7stdlib.h"
#include "iec/vm/z7str.h"
#include "tests/support/iec_db.h"

namespace {
uint32_t Db() {
    static uint32_t db = [] {
        test_support::IecImage img;
        img.d8 = img.d16 = img.d32 = img.d64 = img.time = {31, 31, 0};
        img.str = {4, 4, 0};
        img.string_sizes = {64, 16, 255, 2};
        img.ext.assign(18, 0);
        img.ext[17] = 256u << 10;
        const uint32_t d = test_support::IecColdDb(img.Build(), "FUZZ");
        BlkLib_Install();
        return d;
    }();
    return db;
}
std::vector<FbHandler> Rows() {
    std::vector<FbHandler> r;
    for (uint32_t id = 0; id <= 50; id++)
        if (FbHandler h = Z7Blocks_GetProc(id)) r.push_back(h);
    for (uint32_t id = 0; id < Z7STFB_ROWS; id++) {
        const char *n = Z7Stfb_GetName(id);
        if (std::strcmp(n, "LOGFILECSV") == 0 || std::strncmp(n, "SERIO", 5) == 0 || std::strncmp(n, "MBSLAVE", 7) == 0)
            if (FbHandler h = Z7Stfb_GetProc(id)) r.push_back(h);
    }
    return r;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const uint32_t db = Db();
    static const std::vector<FbHandler> rows = Rows();
    static const uint32_t live = Z7Mem_LiveBlocks();
    if (size < 4 || rows.empty()) return 0;
    FbHandler h = rows[data[0] % rows.size()];
    const uint32_t calls = 1 + data[1] % 4;
    const uint32_t count = data[2] % 16;
    size_t at = 3;
    const uint32_t arg = test_support::IecFuzzOperands(db, data, size, at, count, 36);
    for (uint32_t s = 1; s <= 4 && at < size; s++) {
        const size_t want = data[at++];
        const uint32_t n = uint32_t(std::min(want, size - at));
        Z7VMStr_AscForce(Z7VMStr_Slot(db, s), reinterpret_cast<const char *>(data + at), n);
        at += n;
    }
    const uint32_t inst_size = h(FB_INSTSIZE, db, 0, 0, arg);
    const uint32_t inst = inst_size ? Z7Mem_Alloc(inst_size) : 0;
    h(FB_INSTINIT, db, 0, inst, arg);
    for (uint32_t k = 0; k < calls; k++) h(FB_EXEC, db, 0, inst, arg);
    h(FB_INSTEXIT, db, 0, inst, arg);
    if (inst) Z7Mem_Free(inst);
    Z7Mem_Free(arg - 2);
    if (Z7Mem_LiveBlocks() != live) std::abort();
    return 0;
}
