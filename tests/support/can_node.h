// Pieces shared by the tests, benchmarks and fuzz targets that run the CAN
// node on a bus of their own behind the platform seam: the calls of that seam
// a stand-in bus does not care about, the node's configuration block, and one
// main-loop pass. Header only: the fuzz and benchmark programs use it without
// the test library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/image/bytes.h"
#include "core/storage/memfile.h"
#include "io/candrv.h"
#include "io/copen.h"

namespace test_support {

// Endpoint 3 for any interface; masks and buffer sizes accepted; nothing to close.
inline int CanStubOpen(const char *) { return 3; }
inline int CanStubErrMask(int, uint32_t) { return 0; }
inline int CanStubSndBuf(int, int) { return 0; }
inline void CanStubClose(int) {}

// Puts n bytes of configuration block behind the header of the node's table
// (only the length field of the header is set).
inline void CanSetBlock(const uint8_t *data, std::size_t n) {
    LE_Put32(copendnet_tbl.data() + 4, uint32_t(n));
    std::memcpy(copendnet_tbl.data() + MF_HDR, data, n);
}

// One main-loop pass of the CAN services as the scan runs them.
inline void CanPass() {
    Can_Isr();
    CANOpenRxMsg();
    CANOpenTxMsg();
    Can_Isr();
}

}  // namespace test_support
