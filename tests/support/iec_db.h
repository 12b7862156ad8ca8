// A database for fuzz targets and benchmarks: the image loaded into the VM
// arena, sized, built and cold-started; aborts when any step fails.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "iec/vm/z7parts.h"
#include "iec/vm/z7stdlib.h"
#include "iec/vm/z7vm.h"
#include "tests/support/iec_image.h"

namespace test_support {

inline uint32_t IecColdDb(const std::vector<uint8_t> &image, const char *name) {
    const uint32_t code = IecLoad(image);
    uint32_t d = 0;
    if (code == 0 || Z7VM_CreateDB(code, &d) != 0 || Z7Def_ColdStart(code, d, nullptr, nullptr, 0, 0, name) != 0)
        std::abort();
    return d;
}

// The image loaded and its database sized and built (not started); aborts,
// with both step codes on stderr, when a step fails.
inline uint32_t IecBuiltDb(const std::vector<uint8_t> &image) {
    const uint32_t code = IecLoad(image);
    uint32_t d = 0;
    const uint32_t rc1 = code ? Z7VM_CreateDB(code, &d) : 99;
    const uint32_t rc2 = rc1 == 0 ? Z7VM_Build(code, d) : 99;
    if (rc1 != 0 || rc2 != 0) {
        std::fprintf(stderr, "setup %u %u\n", rc1, rc2);
        std::abort();
    }
    return d;
}

// The standard library block called name; nullptr when there is none.
inline FbHandler IecStdBlock(const char *name) {
    for (uint32_t id = 0; id < Z7STFB_ROWS; id++) {
        const char *n = Z7Stfb_GetName(id);
        if (n != nullptr && std::strcmp(n, name) == 0) return Z7Stfb_GetProc(id);
    }
    return nullptr;
}

// A database with typed sections of 8 entries and an application heap of
// heap bytes (text buffers and XML documents).
inline uint32_t IecHeapDb(uint32_t heap, const char *name) {
    IecImage img;
    img.d8 = img.d16 = img.d32 = img.d64 = img.time = {7, 7, 0};
    img.ext.assign(18, 0);
    img.ext[17] = heap;
    return IecColdDb(img.Build(), name);
}

// Fuzz input for a block call: an operand list of count entries (two bytes
// each, small most of the time so they fall inside the sections, below
// limit) in the arena, then the typed sections filled from the bytes that
// follow. Answers the list (the entries' address) and moves at past the
// bytes taken.
inline uint32_t IecFuzzOperands(uint32_t db, const uint8_t *data, size_t size, size_t &at, uint32_t count,
                                uint16_t limit) {
    const uint32_t list = Z7Mem_Alloc(2 + 2 * count);
    Z7Mem_Put16(list, uint16_t(count));
    for (uint32_t k = 0; k < count; k++) {
        uint16_t v = at + 1 < size ? uint16_t(data[at] | data[at + 1] << 8) : 0;
        at += 2;
        if (!(v & 0x8000)) v %= limit;
        Z7Mem_Put16(list + 2 + 2 * k, v);
    }
    for (uint32_t sec : {Z7SEC_D8, Z7SEC_D16, Z7SEC_D32, Z7SEC_D64, Z7SEC_TIME}) {
        const uint32_t a = Z7Sec_Elem(db, sec, 0);
        const uint32_t n = Z7Sec_Get(db, sec, SD_ALLOC) * Z7Sec_Get(db, sec, SD_ELEM);
        for (uint32_t k = 0; k < n && at < size; k++) Z7Mem_Put8(a + k, data[at++]);
    }
    if (at > size) at = size;
    return list + 2;
}

}  // namespace test_support
