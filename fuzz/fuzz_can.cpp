// Feeds the CANopen node a configuration block and then received frames
// from the input: u16 block length, the block, then frames of 13 bytes (u32
// SocketCAN identifier word, u8 length byte, 8 data bytes), a few per pass
// with node passes and a moving clock between them; the rest drives the
// ladder block as a token stream. A block whose status register is an IEC
// handle (0xC0000000 and above) takes the layout with IEC bindings; its
// handles reach 96 bytes of stand-in IEC variables.
#include <csetjmp>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "core/image/bytes.h"
#include "core/storage/memfile.h"
#include "core/image/plcreg.h"
#include "io/candrv.h"
#include "io/copen.h"
#include "io/io.h"
#include "platform/plat.h"
#include "platform/plat_can.h"
#include "tests/support/can_node.h"
#include "tests/support/fake_clock.h"
#include "tests/support/proc_root.h"

namespace {

const uint8_t *frames;
size_t frames_left;
int Read(int, uint8_t *f) {
    // a few frames per pass, so that the passes run in between
    static unsigned burst;
    if (frames_left < 13 || ++burst % 8 == 0) return -1;
    std::memset(f, 0, 16);
    std::memcpy(f, frames, 4);
    f[4] = frames[4];
    std::memcpy(f + 8, frames + 5, 8);
    frames += 13;
    frames_left -= 13;
    return 16;
}
int Write(int, const uint8_t *) { return 16; }
const PlatCanOps kBus = {
    test_support::CanStubOpen,  Read,   Write, test_support::CanStubErrMask, test_support::CanStubSndBuf,
    test_support::CanStubClose, nullptr};

uint8_t iec_vars[96];
uint8_t *Locate(uint32_t handle, uint32_t) {
    // a bit-array handle reads one byte per bit: 32 bytes always lie inside
    return iec_vars + (handle & 0xFFFF) % 64;
}

void Setup() {
    PlcReg_IecLocate = Locate;
    DrevanoRuntime = 1;
    drevano_variables_enumerateded = 1;
    static char root[] = "/tmp/plc-fuzz-can-XXXXXX";
    test_support::ProgramRoot(root, "fuzz");
    test_support::Fake() = {1000000000, 100000, 0, 0};
    plat_time = &test_support::kFakeTime;
    plat_reset = &test_support::kJumpReset;
    plat_can = &kBus;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool ready = [] {
        Setup();
        return true;
    }();
    (void)ready;
    if (size < 2) return 0;
    size_t blen = LE_Get16(data);
    if (blen > size - 2) blen = size - 2;
    copendnet_tbl.fill(0);
    test_support::CanSetBlock(data + 2, blen);
    frames = data + 2 + blen;
    frames_left = size - 2 - blen;
    plc_reg.fill(0);
    PlcWordSet(W_NETID, 5);
    NodeId_Flag = 0;
    if (setjmp(test_support::ResetJump()) == 0) {
        NetInitRec rec{};
        CANOpenInit(&rec);
        for (int pass = 0; pass < 64 && frames_left >= 13; pass++) {
            test_support::CanPass();
            test_support::Fake().ns += 3000000;
        }
        // whatever is left: ladder block tokens
        uint16_t tok[64] = {};
        const size_t n = frames_left / 2 < 60 ? frames_left / 2 : 60;
        for (size_t i = 0; i < n; i++) tok[i] = LE_Get16(frames + 2 * i);
        const uint16_t *t = tok;
        CANOpenLadrBlock(&t, 1);
    }
    _Can_FlushRx(0);
    _Can_FlushTx(0);
    return 0;
}
