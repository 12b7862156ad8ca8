// Feeds arbitrary bytes to the protocol manager as its table (with the
// editor's feature bit set) and starts it with a built-in driver whose header
// is already known, so that no image is written or loaded; then runs a few
// scans and passes over whatever command and device blocks it built, and
// asks for the driver information. The driver fills inputs and answers from
// the input's first byte.
#include <array>
#include <cstdint>
#include <cstring>

#include "core/image/plcreg.h"
#include "core/storage/memfile.h"
#include "core/storage/nvram.h"
#include "protocols/pmgr.h"

namespace {
uint8_t answer;
intptr_t Init(uintptr_t *) { return 0; }
// Words a read fills, as a driver reads its descriptor: the count (byte 3,
// or the long count at 6-7 when it is 0) in bits for the bit-packed types,
// in 32-bit values for type 3, in 86-byte strings for string code 7 at byte
// 7 beside a nonzero byte 3 on a two-way word command, else in words.
unsigned ReadWords(const uint8_t *d) {
    const uint16_t flags = uint16_t(d[-14] | d[-13] << 8);
    const unsigned n = d[3] ? d[3] : unsigned(d[6] | d[7] << 8);
    const unsigned type = d[1] % 18;
    if (type == 1 || (type >= 5 && type <= 11) || (type >= 13 && type <= 15)) return (n + 15) / 16;
    if (type == 3) return 2 * ((flags & 0x100) ? n / 2 : n);
    if (!(flags & 0x100) && (flags & 2) && d[3] && d[7] == 7) return 43 * n;
    return n;
}
intptr_t Read(uint8_t *d, uint16_t *in) {
    const unsigned n = ReadWords(d);
    for (unsigned i = 0; i < n; i++) in[i] = uint16_t(i * 0x101);
    return answer & 3;
}
intptr_t Write(uint8_t *d, uint16_t *out) {
    volatile uint16_t sink = 0;
    for (unsigned i = 0; i < d[3] && i < 4; i++) sink = uint16_t(sink + out[i]);
    return (answer >> 2) & 1;
}
intptr_t Classify(intptr_t fc, intptr_t) { return fc % 18; }
void Status(uint16_t *w) { w[0] = w[1] = 0; }
void Nothing() {}
intptr_t Control(intptr_t, void *) { return 0; }
bool Claim(uint32_t) { return true; }
void Release(uint32_t) {}

uintptr_t header[PMGR_H_SLOTS];
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > 1 << 16) return 0;
    answer = data[0];
    header[PMGR_H_MAGIC] = PMGR_MAGIC;
    header[PMGR_H_INIT] = reinterpret_cast<uintptr_t>(Init);
    header[PMGR_H_READ] = reinterpret_cast<uintptr_t>(Read);
    header[PMGR_H_WRITE] = reinterpret_cast<uintptr_t>(Write);
    header[PMGR_H_CLASSIFY] = reinterpret_cast<uintptr_t>(Classify);
    header[PMGR_H_STATUS] = reinterpret_cast<uintptr_t>(Status);
    header[PMGR_H_RESET] = reinterpret_cast<uintptr_t>(Nothing);
    header[PMGR_H_STOP] = reinterpret_cast<uintptr_t>(Nothing);
    header[PMGR_H_SCAN] = reinterpret_cast<uintptr_t>(Nothing);
    header[PMGR_H_CONTROL] = reinterpret_cast<uintptr_t>(Control);
    pmgr_hooks = PmgrHooks{Claim, Release};
    NV_EditorFeatures |= NVF_PROMGR;
    std::memcpy(promgr_table_bl.data() + MF_HDR, data + 1, size - 1);
    MF_SetHeader(promgr_table_bl.data(), 0, uint32_t(size - 1));
    pExecHdr_info[0] = pExecHdr_info[1] = header;
    PlcWordSet(W_MODE, 2);
    PMGR_Start();
    for (int i = 0; i < 6; i++) {
        PMGR_Scan();
        PMGR_TheLoop(0);
        PMGR_TheLoop(1);
    }
    std::array<char, 3 * PMGR_INFO_SLOT> info;
    PMGR_GetDrvInfo(info, 3);
    PMGR_Stop();
    // Stale bytes of this input must not reach the next one.
    std::memset(promgr_table_bl.data() + MF_HDR, 0, size - 1);
    return 0;
}
