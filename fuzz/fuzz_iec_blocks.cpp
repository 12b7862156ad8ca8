// The controller's IEC blocks over random operand lists: the input picks a
// library row, fills the typed sections, and gives the operand entries (type
// codes, indices, array sizes) and the text tables. Every block is called with
// the instance-size, initialise and execute commands; no call may touch memory
// outside the arena's blocks or the host tables (ASan), and every instance
// taken is given back. The port and modem blocks reach the Talk layer on a
// port whose received bytes and protocol mode come from the input.
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/image/plcreg.h"
#include "fuzz/msg_fuzz_port.h"
#include "iec/blocks/blkform.h"
#include "iec/blocks/blkport.h"
#include "messaging/talk.h"
#include "iec/vm/z7interp.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7vm.h"
#include "tests/support/iec_db.h"

namespace {
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
    FbHandler h = Z7Blocks_GetProc(rows[data[0] % rows.size()]);
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
    msg_fuzz::Install(data + half, size - half);
    msg_fuzz::mode[5] = uint8_t(data[2] & 7);
    if (data[3] & 1) plc_reg[64] |= 1;  // first scan
    else plc_reg[64] &= uint8_t(~1u);
    BlkPort_Hooks = BlkPortHooks{Z7TalkOpen, Z7TalkClose, Z7TalkSend, Z7TalkReceive, Z7TalkModem};
    const uint32_t inst_size = h(FB_INSTSIZE, db, 0, 0, arg);
    const uint32_t inst = inst_size ? Z7Mem_Alloc(inst_size) : 0;
    h(FB_INSTINIT, db, 0, inst, arg);
    for (int k = 0; k < 3; k++) h(FB_EXEC, db, 0, inst, arg);
    h(FB_AVAIL, db, 0, inst, arg);
    Blk_Hooks = {};
    BlkPort_Hooks = {};
    msg_hooks.port = MsgPortOps{};
    if (inst) Z7Mem_Free(inst);
    Z7Mem_Free(arg - 2);
    if (Z7Mem_LiveBlocks() != live) std::abort();
    return 0;
}
