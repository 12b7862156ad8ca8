// Drives the command-protocol TCP service and the network poll from a test,
// and reads the byte channel as the command processor would.
#pragma once

#include <cstdint>
#include <unistd.h>
#include <vector>

#include "net/net.h"
#include "net/nx.h"
#include "protocols/qncan.h"

namespace test_support {

// Passes of the service and the poll, as the manager makes them.
inline void QncanPass(int n = 1) {
    for (int i = 0; i < n; i++) {
        Qncan_Scan(0);
        EnetThread();
        usleep(1000);
    }
}

// What the channel received so far.
inline std::vector<uint8_t> QncanReceived() {
    std::vector<uint8_t> b;
    while (Etn_CheckRx()) b.push_back(Etn_GetRx());
    return b;
}

// Passes until the channel holds a request, then reads it.
inline std::vector<uint8_t> QncanNext() {
    for (int i = 0; i < 200 && !Etn_CheckRx(); i++) QncanPass();
    return QncanReceived();
}

}  // namespace test_support
