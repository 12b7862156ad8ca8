// A transfer record of formatted values for the CSV file calls: name, the
// data area, format, element count and where the count done goes; every
// other field is zero. Header only: the fuzz and benchmark programs use it
// without the test library.
#pragma once

#include <cstdint>

#include "media/cfapi.h"

namespace test_support {
inline CfTransferRec CfValuesRec(const char *name, uint8_t *data, uint32_t data_size, uint32_t format, uint32_t count,
                                 uint32_t *count_out) {
    CfTransferRec r{};
    r.kind = 1;
    r.name = name;
    r.data = data;
    r.data_size = data_size;
    r.format = format;
    r.count = count;
    r.count_out = count_out;
    return r;
}
}  // namespace test_support
