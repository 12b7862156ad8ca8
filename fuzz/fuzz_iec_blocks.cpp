// The controller's IEC blocks over random operand lists: the input picks a
// library row, fills the typed sections, and gives the operand entries (type
// codes, indices, array sizes) and the text tables. Every block is called with
// the instance-size, initialise and execute commands; no call may touch memory
// outside the arena's blocks or the host tables (ASan), and every instance
// taken is given back. The port, modem and Modbus rows reach the Talk layer
// (and the Modbus rows the serial Modbus engine) on a port whose received
// bytes are the input's last bytes, so their records meet random requests
// and answers.
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/image/plcreg.h"
#include "core/image/util.h"
#include "exec/hooks.h"
#include "iec/blocks/blkform.h"
#include "iec/blocks/blkport.h"
#include "io/vcomm.h"
#include "messaging/msghooks.h"
#include "messaging/talk.h"
#include "protocols/mbserial.h"
#include "iec/vm/z7interp.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7vm.h"
#include "tests/support/iec_db.h"
#include "tests/support/stand_in_port.h"

namespace {
// Programming port fed from the input: bytes (0xA5 a silence between
// frames), then the end-of-frame event.
const uint8_t *rx;
size_t rx_left;
uint8_t rx_gap;
std::array<uint8_t, 260> rx_frame;
VcommMode rx_mode{5, 0, 3, 0, 0, 3};
uint8_t *FMode(uint32_t) { return rx_mode.data(); }
uint32_t FCheckRx(uint32_t) {
    if (rx_left == 0) {
        if (!rx_gap) return 0;
        rx_gap = 0;
        return 255;
    }
    if (*rx == 0xA5) {  // a silence: the frame ends
        rx++;
        rx_left--;
        return 255;
    }
    return 1;
}
uint32_t FGetRx(uint32_t) {
    if (rx_left == 0) return 0;
    rx_left--;
    return *rx++;
}
uint32_t FPutTx(uint32_t, uint8_t b) { return b; }

void PortInstall() {
    Vcomm_Drv[0] = test_support::StandInDrv(FMode, FCheckRx, FGetRx, FPutTx);
    Exec_LinkMessaging();
}

uint32_t Db() {
    static uint32_t db = [] {
        test_support::IecImage img;
        img.d8 = img.d16 = img.d32 = img.d64 = img.time = {31, 31, 0};
        img.str = {4, 4, 0};
        img.string_sizes = {8, 16, 2, 0};
        const uint32_t code = test_support::IecLoad(img.Build());
        uint32_t d = 0;
        if (code == 0 || Z7VM_CreateDB(code, &d) != 0 || Z7Def_ColdStart(code, d, nullptr, nullptr, 0, 0, "FUZZ") != 0)
            std::abort();
        BlkLib_Install();
        PortInstall();
        return d;
    }();
    return db;
}
std::vector<uint32_t> Rows() {
    std::vector<uint32_t> r;
    for (uint32_t id = 61; id < Z7PFB_ROWS - 1; id++)
        if (Z7Blocks_GetProc(id) != nullptr) r.push_back(id);
    return r;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const uint32_t db = Db();
    static const std::vector<uint32_t> rows = Rows();
    static const uint32_t live = Z7Mem_LiveBlocks();
    if (size < 4) return 0;
    // first bytes 0xFC..0xFF: the Modbus rows, whose engine paths need more
    // than a random row
    static const char *const kModbus[4] = {"MODBUSDOREQUEST", "OLDUSERSMASTER", "MODBUSMAPSLAVE", "MODBUSMAPEXTEND"};
    FbHandler h = data[0] >= 0xFC ? Z7Blocks_GetProc(Z7Blocks_Find(kModbus[data[0] & 3]))
                                  : Z7Blocks_GetProc(rows[data[0] % rows.size()]);
    if (h == nullptr) return 0;
    const uint32_t count = data[1] % 24;
    size_t at = 2;
    const uint32_t arg = test_support::IecFuzzOperands(db, data, size, at, count, 40);
    // the rest: text tables and string area
    const size_t half = at + (size - at) / 2;
    Blk_Hooks.text_tables = data + at;
    Blk_Hooks.text_tables_len = uint32_t(half - at);
    Blk_Hooks.strings = data + half;
    Blk_Hooks.strings_len = uint32_t(size - half);
    PlcDwordSet(276, PlcDword(276) + data[2] * 37u);
    // Modbus: the engine and the Talk layer start each input afresh.
    Talk = TalkRec{};
    pcb[0] = ModbusPcb{};
    // the port's bytes: the input's last data[3] % 128 bytes (they may
    // overlap the sections' bytes)
    rx_left = data[3] % 128 < size - 4 ? data[3] % 128 : size - 4;
    rx = data + size - rx_left;
    rx_gap = 1;
    // the port's protocol: Modbus RTU or ASCII for the Modbus rows, any
    // for the others; the first-scan bit from the input
    rx_mode[5] = data[0] >= 0xFC ? ((data[2] & 0x80) ? 4 : 3) : uint8_t(data[2] & 7);
    if (data[3] & 1)
        plc_reg[SBITS_LO] |= S_FIRST_SCAN;
    else
        plc_reg[SBITS_LO] &= uint8_t(~S_FIRST_SCAN);
    if (data[2] & 0x40) {  // the tail as one RTU frame with its CRC
        const size_t n = rx_left < rx_frame.size() - 2 ? rx_left : rx_frame.size() - 2;
        std::memcpy(rx_frame.data(), rx, n);
        const uint16_t c = crc16(rx_frame.data(), uint32_t(n));
        rx_frame[n] = uint8_t(c);
        rx_frame[n + 1] = uint8_t(c >> 8);
        rx = rx_frame.data();
        rx_left = n + 2;
    }
    const uint32_t inst_size = h(FB_INSTSIZE, db, 0, 0, arg);
    const uint32_t inst = inst_size ? Z7Mem_Alloc(inst_size) : 0;
    h(FB_INSTINIT, db, 0, inst, arg);
    for (int k = 0; k < 3; k++) h(FB_EXEC, db, 0, inst, arg);
    h(FB_AVAIL, db, 0, inst, arg);
    Blk_Hooks = {};
    if (inst) Z7Mem_Free(inst);
    Z7Mem_Free(arg - 2);
    if (Z7Mem_LiveBlocks() != live) std::abort();
    return 0;
}
