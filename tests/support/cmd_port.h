// The command protocol on the intercepted programming port, for in-process
// tests, the fuzz target and the benchmarks: host frames built with their
// checksum, bytes stuffed into the receive path, the answer drained from the
// transmit path. Header only, so programs without the test library use it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "cmd/cmd.h"
#include "cmd/datagram.h"
#include "exec/plcmode.h"
#include "core/image/plcreg.h"
#include "core/image/util.h"
#include "io/vcomm.h"

namespace test_support {

using Bytes = std::vector<uint8_t>;

// A frame with the checksum for the given seed (long form when asked or when
// the data do not fit the short one).
inline Bytes Frame(uint8_t cmd, const Bytes &data, uint8_t seed = 0, bool long_form = false) {
    Bytes f;
    f.reserve(data.size() + 5);
    f.push_back(cmd);
    if (long_form || data.size() > 254) {
        f.push_back(0xFF);
        f.push_back(uint8_t(data.size()));
        f.push_back(uint8_t(data.size() >> 8));
    } else {
        f.push_back(uint8_t(data.size()));
    }
    f.insert(f.end(), data.begin(), data.end());
    uint8_t sum = seed;
    for (uint8_t b : f) sum = uint8_t(sum + b);
    f.push_back(uint8_t(-sum));
    return f;
}

// Cleared registers (network id 127) and the protocol's shared state idle.
inline void ClearCmdState() {
    plc_reg.fill(0);
    PlcWordSet(W_NETID, 127);
    crc_header = {};
    Vcomm_Lock = 0;
    Vcomm_Host = 0;
    Vcomm_Mode = 0;
    Cmd_Override = 0;
    Cmd_Downloading = 0;
    Cmd_FileOpen = 0;
    OLPMode = 0;
    Datagram_Delete(255, 0);  // every datagram freed
}

// Starts the protocol with the programming port intercepted.
inline void StartInterceptedPort() {
    Cmd_Init();
    Vcomm_Drv[0].SetIntrcpt(0, 1);
}

// Bytes a host sends, into the receive path.
inline void StuffRx(const uint8_t *p, std::size_t n) {
    for (std::size_t i = 0; i < n; i++) Vcomm_Drv[0].StuffRx(0, p[i]);
}
inline void StuffRx(const Bytes &in) { StuffRx(in.data(), in.size()); }

// Empties the transmit path, appending to out when given; the byte count.
inline std::size_t DrainTx(Bytes *out = nullptr) {
    std::size_t n = 0;
    uint8_t b;
    while (Vcomm_Drv[0].DrainTx(0, &b)) {
        if (out != nullptr) out->push_back(b);
        n++;
    }
    return n;
}

}  // namespace test_support
