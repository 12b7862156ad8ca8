// The variable map and the register binding built from untrusted bytes: the
// input's first half is an image's variable table (and its complex-type
// definitions), its second half the location table behind the image; then
// lookups, descriptions, properties, array shapes and a scan's six
// synchronisations.
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/storage/memfile.h"
#include "iec/services/drevano.h"
#include "iec/vm/z7map.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7stdlib.h"
#include "iec/vm/z7vm.h"
#include "tests/support/iec_image.h"
#include "tests/support/iec_sync.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const size_t half = size / 2;
    test_support::IecImage img;
    img.d8 = img.d16 = img.d32 = img.d64 = img.time = {8, 8, 0};
    img.str = {2, 2, 0};
    img.string_sizes = {4, 8};
    img.ct_alloc = 16;
    img.ct_used = 8;
    img.ext.assign(10, 0);
    std::vector<uint8_t> b = img.Build();
    while (b.size() % 4) b.push_back(0);
    const uint32_t t = uint32_t(b.size());
    b.insert(b.end(), data, data + half);
    test_support::IecImage::Put32(b, 16 * 4, t);
    // extension word 10: the same bytes serve as the complex-type definitions
    const uint32_t ext = b[40] | b[41] << 8 | b[42] << 16 | uint32_t(b[43]) << 24;
    test_support::IecImage::Put32(b, ext + 4 * 10, t);
    const uint32_t code = test_support::IecLoad(b);
    uint32_t db = 0;
    if (code == 0) return 0;
    if (Z7VM_CreateDB(code, &db) == 0 && Z7VM_Build(code, db) == 0) {
        uint32_t pos = 0;
        uint8_t desc[300];
        for (uint32_t it = Z7Map_GetFirst(db, &pos); it; it = Z7Map_GetNext(db, &pos)) {
            if (const char *s = Z7Map_GetSymbol(it)) Z7Map_GetBySymbol(db, s);
            Z7Map_GetByIndex(db, Z7Map_GetType(it), Z7Map_GetIndex(it));
            Z7Map_GetByNumTag(db, Z7Map_GetNumTag(it));
            Z7Map_GetDesc(db, pos, desc);
            // every byte handed out must be readable
            volatile uint8_t sink = 0;
            if (const uint8_t *p = Z7Mem_Ptr(Z7Map_GetProps(it), Z7Map_GetPropsSize(it)))
                for (uint32_t k = 0; k < Z7Map_GetPropsSize(it); k++) sink = sink + p[k];
            uint32_t n = 0, et = 0;
            const uint32_t a = Z7Map_IsArrayOfSingleVar(db, it, &n, &et);
            if (const uint8_t *p = a && et != 5 ? Z7Mem_Ptr(a, n * Z7Tools_TypeSize(et)) : nullptr)
                for (uint32_t k = 0; k < n * Z7Tools_TypeSize(et); k++) sink = sink + p[k];
            if (a && et != 5 && Z7Mem_Ptr(a, n * Z7Tools_TypeSize(et)) == nullptr) __builtin_trap();
        }
        // the binding of the location table
        const uint32_t saved = pDB;
        pDB = db;
        DrevanoI0_VarLoc = data + half;
        DrevanoI0_VarLocLen = uint32_t(size - half);
        Drevano_StartGen++;
        Drevano_BuildTables();
        iVmAlive = 1;
        for (int scan = 0; scan < 2; scan++) {
            test_support::IecSyncAll();
        }
        iVmAlive = 0;
        DrevanoI0_VarLoc = nullptr;
        DrevanoI0_VarLocLen = 0;
        pDB = saved;
        Drevano_StartGen++;
    }
    Z7Mem_Free(db);
    Z7Mem_Free(code);
    return 0;
}
