// The Modbus RTU slave's frame recogniser and the CSV logger's walk of a
// variable list over any bytes. First byte: the slave address; then pieces
// of at most 64 bytes (length byte, bytes) arrive in the receive buffer, and
// every request found is removed as the block does. The counters and the
// buffer must stay within their bounds. The same bytes then serve as a code
// image whose list table lies at the offset in the next two bytes, walked
// for lists 0 to 3.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/image/bytes.h"
#include "iec/blocks/blkcsv.h"
#include "iec/blocks/blkser.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7vm.h"
#include "tests/support/iec_db.h"

namespace {
uint32_t Db() {
    static uint32_t db = [] {
        test_support::IecImage img;
        img.d8 = img.d16 = img.d32 = img.d64 = img.time = {15, 15, 0};
        img.str = {4, 4, 0};
        img.string_sizes = {8, 16, 2, 0};
        return test_support::IecColdDb(img.Build(), "FUZZ");
    }();
    return db;
}
bool Put(void *, const char *, uint32_t len) { return len < 4096; }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    static uint8_t m[RTU_SIZE];
    std::memset(m, 0, sizeof m);
    const uint8_t own = data[0];
    size_t at = 1;
    while (at < size) {
        const uint32_t n = data[at++] % 65;
        const uint32_t count = LE_Get16(m + RTU_COUNT);
        const uint32_t take = uint32_t(std::min<size_t>({size_t(n), size - at, 256 - size_t(count)}));
        std::memcpy(m + RTU_RX + count, data + at, take);
        LE_Put16(m + RTU_COUNT, uint16_t(count + take));
        at += take;
        uint32_t len = 0;
        while (BlkRtu_Recognise(m, own, &len)) {
            const uint32_t c = LE_Get16(m + RTU_COUNT);
            if (len < 4 || len > c) std::abort();
            std::memmove(m + RTU_RX, m + RTU_RX + len, c - len);
            LE_Put16(m + RTU_COUNT, uint16_t(c - len));
            LE_Put16(m + RTU_REQLEN, 0);
            LE_Put16(m + RTU_RESPLEN, 0);
            LE_Put16(m + RTU_POS, 0);
        }
        if (LE_Get16(m + RTU_COUNT) > 256 || LE_Get16(m + RTU_POS) > LE_Get16(m + RTU_COUNT)) std::abort();
        if (take == 0 && n != 0) break;
    }
    const uint32_t db = Db();
    const uint32_t table = LE_Get16(data + 1);
    const CsvSink sink{Put, nullptr};
    for (int32_t list = 0; list < 4; list++) {
        const uint32_t checked = BlkCsv_Line(db, data, uint32_t(size), table, list, nullptr);
        if (checked == CSV_OK && BlkCsv_Line(db, data, uint32_t(size), table, list, &sink) != CSV_OK) std::abort();
    }
    return 0;
}
