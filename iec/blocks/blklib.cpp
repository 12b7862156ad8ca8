// The library's registration: rows of the controller registry by name, and
// the empty blocks (recipes and KEYPRESS), which answer only the usability
// query.
#include <array>

#include "iec/blocks/blkcsv.h"
#include "iec/blocks/blkform.h"
#include "iec/blocks/blkmodbus.h"
#include "io/copen.h"
#include "iec/vm/z7stdlib.h"

// Receive hook of the network blocks (blknet.cpp).
extern uint32_t (*BlkNet_Rx)(const CanMsg &);

namespace {
std::array<FbHandler, Z7PFB_ROWS> lib_rows{};

// Registered blocks with no effect: 1 to command 9, 0 to everything else.
uint32_t Empty(uint32_t cmd, uint32_t, uint32_t, uint32_t, uint32_t) { return cmd == FB_AVAIL ? 1 : 0; }

constexpr BlkRow kEmptyRows[] = {
    {"SAVERCPBYSTR", Empty},   {"SAVERCPBYINDEX", Empty}, {"SAVERCPBYSTR2", Empty}, {"LOADRCPBYSTR", Empty},
    {"LOADRCPBYINDEX", Empty}, {"LOADRCPBYSTR2", Empty},  {"KEYPRESS", Empty},
};

constexpr const BlkFamily *kFamilies[] = {
    &BlkEmpty_Family, &BlkTmr_Family,  &BlkAny_Family, &BlkStr_Family, &BlkClk_Family,  &BlkPid_Family, &BlkNet_Family,
    &BlkCan_Family,   &BlkFile_Family, &BlkTxb_Family, &BlkXml_Family, &BlkPort_Family, &BlkMb_Family};
}  // namespace

const BlkFamily BlkEmpty_Family{kEmptyRows, sizeof kEmptyRows / sizeof kEmptyRows[0]};

FbHandler BlkLib_Proc(uint32_t id) { return id < lib_rows.size() ? lib_rows[id] : nullptr; }

void BlkLib_Install() {
    for (const BlkFamily *f : kFamilies)
        for (uint32_t k = 0; k < f->count; k++) {
            const uint32_t id = Z7Blocks_Find(f->rows[k].name);
            if (id < Z7PFB_ROWS - 1) lib_rows[id] = f->rows[k].fn;
        }
    Z7Blocks_LibProc = BlkLib_Proc;
    Z7Stfb_LibProc = BlkStd_Proc;
    CANOpen_NetDataRx = BlkNet_Rx;
}

void BlkLib_Remove() {
    Z7Blocks_LibProc = nullptr;
    Z7Stfb_LibProc = nullptr;
    CANOpen_NetDataRx = nullptr;
}
