// Feeds arbitrary calibration packets (as the command protocol hands them
// over: length byte, then the frame's data) to the pass-through, with
// modules of fuzzed types in the slots.
#include <array>
#include <cstdint>
#include <cstring>

#include "core/storage/memfile.h"
#include "fuzz/io_fuzz_setup.h"
#include "io/io.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    io_fuzz::Setup();
    if (size < 2) return 0;
    static constexpr uint16_t kIds[] = {0xA20F, 0x7F0E, 0x8F0F, 0x0F0F, 0x3F0E, 0x9F0E, 0x500F,
                                        0xAE0F, 0x9F0F, 0x0100, 0xDF0E, 0x1F0E, 255};
    constexpr std::size_t kN = sizeof kIds / sizeof kIds[0];
    Io_SlotCheck();
    const std::array<uint16_t, 3> ids = {kIds[data[0] % kN], kIds[data[1] % kN], 64000};
    IoInit(ids.data(), 3);
    data += 2;
    size -= 2;
    // The command processor's buffer: 256 bytes and more behind the packet.
    static std::array<uint8_t, 1100> packet;
    while (size > 0) {
        const std::size_t n = std::min<std::size_t>(size, 255);
        packet.fill(0);
        packet[0] = uint8_t(n);
        std::memcpy(&packet[1], data, n);
        IoCal(packet.data());
        if (packet[0] > 64) __builtin_trap();  // the answer comes from the 64-byte buffer
        data += n;
        size -= n;
    }
    return 0;
}
