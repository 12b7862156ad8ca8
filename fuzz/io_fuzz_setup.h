// Shared set-up of the I/O fuzz targets: a root with a simulated module
// table holding every device the driver talks to, and no pauses on the bus.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "io/i2c.h"
#include "platform/plat.h"
#include "tests/support/proc_root.h"

namespace io_fuzz {

inline void NoPause(uint32_t) {}

inline void Setup() {
    static bool done = [] {
        static char root[] = "/tmp/plc-fuzz-io-XXXXXX";
        test_support::ProgramRoot(root, "fuzz");
        test_support::PutRootFile(root, "sim/io.json",
                                  R"({"slot0": [{"addr": "0x4C", "type": "expander", "pins": [240, 127]},
            {"addr": "0x08", "type": "registers", "registers": {"0": [0, 226, 0, 0, 200, 200, 200, 200, 71]}},
            {"addr": "0x1C", "type": "eeprom", "address_bytes": 2, "data": {"1": [224], "8": [127]}},
            {"addr": "0x40", "type": "expander", "ports": 3}, {"addr": "0x42", "type": "expander"},
            {"addr": "0x44", "type": "expander"}, {"addr": "0x50", "type": "registers"},
            {"addr": "0x90", "type": "registers", "width": 2, "registers": {"0": [255, 255], "1": [0, 1]}},
            {"addr": "0x96", "type": "registers", "width": 2, "registers": {"0": [12, 128]}},
            {"addr": "0x98", "type": "expander"}, {"addr": "0xA0", "type": "eeprom", "blocks": 8}],
          "slot1": [{"addr": "0x4E", "type": "expander", "pins": [255, 159]},
            {"addr": "0x0A", "type": "registers", "registers": {"0": [0, 230, 0, 0, 255, 255, 255, 255]}},
            {"addr": "0x1E", "type": "eeprom", "address_bytes": 2, "data": {"1": [224]}},
            {"addr": "0x92", "type": "registers", "width": 2},
            {"addr": "0x20", "type": "registers", "width": 2}, {"addr": "0x22", "type": "registers", "width": 2},
            {"addr": "0x70", "type": "expander", "ports": 1}, {"addr": "0x72", "type": "expander", "ports": 1}]})");
        i2c_pause_us = NoPause;
        return true;
    }();
    (void)done;
}

}  // namespace io_fuzz
