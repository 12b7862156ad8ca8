// A serial port for the messaging fuzz targets: received bytes come from the
// fuzz input, bytes sent are dropped; carrier detect follows a flag.
#pragma once

#include <cstddef>
#include <cstdint>

#include "io/vcomm.h"
#include "tests/support/stand_in_port.h"

namespace msg_fuzz {
inline const uint8_t *in;
inline size_t left;
inline uint8_t mode[6] = {5, 0, 3, 0, 0, 2};
inline uint32_t dcd;
inline uint8_t *ModeRec(uint32_t) { return mode; }
inline uint32_t Open(uint32_t, const uint8_t *m) {
    for (int i = 0; i < 6; i++) mode[i] = m[i];
    return 1;
}
inline uint32_t CheckRx(uint32_t) { return left ? 1 : 0; }
inline void FlushRx(uint32_t) {}
inline uint32_t GetRx(uint32_t) {
    if (!left) return 0;
    left--;
    return *in++;
}
inline uint32_t CheckTx(uint32_t) { return 1; }
inline uint32_t PutTx(uint32_t, uint8_t b) { return b; }
inline uint32_t PutnTx(uint32_t, const uint8_t *, uint32_t n) { return n; }
inline uint32_t PutsTx(uint32_t, const char *) { return 0; }
inline uint32_t Zero(uint32_t) { return 0; }
inline uint32_t GetDCD(uint32_t) { return dcd; }
inline uint32_t Enable(uint32_t, uint32_t v) { return v; }
inline uint32_t InitWait(uint32_t, uint32_t, uint32_t) { return 1; }
inline void Install(const uint8_t *data, size_t size) {
    in = data;
    left = size;
    Vcomm_Drv.fill(test_support::MsgPortDrv(ModeRec, Open, CheckRx, FlushRx, GetRx, CheckTx, PutTx, PutnTx, PutsTx,
                                            Zero, GetDCD, Enable, InitWait));
}
}  // namespace msg_fuzz
