// A database for fuzz targets and benchmarks: the image loaded into the VM
// arena, sized, built and cold-started; aborts when any step fails.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "iec/vm/z7parts.h"
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

}  // namespace test_support
