// Feeds arbitrary I/O configuration blocks to the slot check with fuzzed
// module ids in the slots, then runs one scan's exchange, a stop and a start
// on what was configured.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "core/image/bytes.h"
#include "core/storage/memfile.h"
#include "core/image/plcreg.h"
#include "fuzz/io_fuzz_setup.h"
#include "io/io.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    io_fuzz::Setup();
    if (size < 5) return 0;
    static constexpr uint16_t kIds[] = {0x0100, 0xA60F, 0xA00F, 0xA40F, 0xA20F, 0x720F, 0x700F, 0x7F0E,
                                        0x9F0F, 0xAE0F, 0xAC0F, 0x500F, 0x8F0F, 0x0F0F, 0x1F0F, 0x3F0E,
                                        0xDF0E, 0x1F0E, 0x5F0E, 0x9F0E, 0xF800, 0xFA00, 0xFC00, 255};
    constexpr std::size_t kN = sizeof kIds / sizeof kIds[0];
    Io_SlotCheck();  // probes once
    const std::array<uint16_t, 3> ids = {kIds[data[0] % kN], kIds[data[1] % kN], kIds[data[2] % kN]};
    IoInit(ids.data(), 3);
    const uint8_t scan = data[3];
    const uint8_t mode = data[4];
    data += 5;
    size -= 5;
    const std::size_t n = std::min<std::size_t>(size, 4096);
    MF_SetHeader(io_config_bl.data(), 0, uint32_t(n));
    std::memcpy(&io_config_bl[MF_HDR], data, n);
    // Bytes past the block must never be read as configuration.
    std::memset(&io_config_bl[MF_HDR + n], 0xA5, 64);
    Io_SlotCheck();
    if (scan & 1) {
        IoDriverMsg start{};
        start.code = 14;
        for (uint8_t s : {0, 1}) {
            start.slot = s;
            io_driver(&start);
        }
        uint8_t *i = PlcReg_Ptr(BA_I, 8), *q = PlcReg_Ptr(BA_Q, 8);
        uint8_t *ai = PlcReg_Ptr(BA_AI, 16), *aq = PlcReg_Ptr(BA_AQ, 16);
        for (uint32_t s = 0; s < 3; s++) {
            const IoSlotRec &r = io_cfg[s];
            const uint32_t di = std::min<uint32_t>((r.di + 7u) & ~7u, 2048);
            const uint32_t dq = std::min<uint32_t>((r.dq + 7u) & ~7u, 2048);
            IoGetIs(i, s, scan & 2 ? 128 : 0, di);
            IoGetAIs(ai, s, 0, std::min<uint32_t>(r.ai, 512));
            IoPutQs(q, s, 0, dq);
            IoPutAQs(aq, s, 0, std::min<uint32_t>(r.aq, 512));
            IoService(s);
        }
        IoTermSet(mode);
        IoCommPwr(0, mode & 1);
        IoCommReset(0, mode & 2);
        IoPutDTR(mode & 4);
        (void)IoGetDCD();
        IoStop();
    }
    return 0;
}
