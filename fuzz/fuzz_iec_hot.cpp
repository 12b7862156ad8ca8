// Saved hot-restart images from untrusted bytes, and change images through
// the check and the rebuild. The input's first byte chooses: even, the
// database of a running "VMS" application saved and patched by the rest of
// the input ({u16 offset, byte} each; a last odd byte cuts the image short)
// goes through the saved-image check and, when accepted, the hot start, a
// cycle and a description read; odd, the "change" image patched the same way
// goes through the change check and, when accepted, the rebuild and a cycle
// (first byte 1 mod 4), or the change is applied and the patched "VMS" image
// is put back over it by an undo (3 mod 4).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "iec/services/z7svc.h"
#include "iec/vm/z7interp.h"
#include "iec/vm/z7srv.h"
#include "iec/vm/z7vm.h"
#include "tests/support/iec_vms.h"

namespace {
void Patch(std::vector<uint8_t> &b, const uint8_t *data, size_t size) {
    size_t at = 1;
    for (; at + 3 <= size; at += 3) {
        const size_t off = size_t(data[at] | data[at + 1] << 8) % b.size();
        b[off] = data[at + 2];
    }
    if (at < size && b.size() > 8) b.resize(b.size() - 1 - data[at] % 8);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::vector<uint8_t> vms = test_support::VmsImage().Build();
    static const std::vector<uint8_t> change = test_support::VmsImage("change").Build();
    static const uint32_t live = Z7Mem_LiveBlocks();
    if (size < 1) return 0;
    Z7VMTic_JumpBudget = 20000;
    Z7Svc_InstallVMHooks();
    const uint32_t code = test_support::IecLoad(vms);
    uint32_t db = 0;
    if (code == 0 || Z7VM_CreateDB(code, &db) != 0 ||
        Z7Def_ColdStart(code, db, "/mnt/cfg/z7.ret", nullptr, 0, 0, "VMS") != 0)
        abort();
    for (uint32_t t = 100; t < 130; t += 10) Z7VM_Cycle(db, t);
    uint8_t ans[Z7VM_ANSWER_MAX];
    const uint8_t read[] = {0x5C, 2, 0, 4, 1, 28, 0, 0};
    if (data[0] % 2 == 0) {
        uint8_t table[Z7_DESC_TABLE];
        std::memcpy(table, Z7Mem_Ptr(db, Z7_DESC_TABLE), Z7_DESC_TABLE);
        std::vector<uint8_t> saved(Z7Mem_Ptr(db, 1), Z7Mem_Ptr(db, 1) + Z7VM_GetTotalDBSize(table));
        Patch(saved, data, size);
        const uint32_t copy = test_support::IecLoad(saved);
        if (copy && Z7VM_CheckHotImage(code, copy, uint32_t(saved.size())) == 0) {
            Z7VM_BuildDBMainLinks(copy);
            if (Z7Def_HotStart(code, copy, nullptr, nullptr, 0, "VMS", 500) == 0) {
                Z7VM_Cycle(copy, 510);
                Z7VM_Serve(copy, read, sizeof read, ans);
            }
            Z7VM_ShutDown(copy, nullptr);
        }
        Z7Mem_Free(copy);
    } else if (data[0] % 4 == 1) {
        std::vector<uint8_t> img = change;
        Patch(img, data, size);
        const uint32_t next = test_support::IecLoad(img);
        if (next && Z7VM_CanHOTStart(next, db) == 0 && Z7Def_Change(next, db, nullptr, "VMS", 500) == 0) {
            Z7VM_Cycle(db, 510);
            Z7VM_Serve(db, read, sizeof read, ans);
        }
        Z7VM_ShutDown(db, nullptr);
        Z7Mem_Free(next);
    } else {
        // the change applied, then the patched first image put back by an undo
        std::vector<uint8_t> img = vms;
        Patch(img, data, size);
        const uint32_t next = test_support::IecLoad(change), back = test_support::IecLoad(img);
        if (next == 0 || Z7Def_Change(next, db, nullptr, "VMS", 500) != 0) abort();
        Z7VM_Cycle(db, 510);
        if (back && Z7VM_UndoHOTChange(back, db, 520) == 0) {
            Z7VM_Cycle(db, 530);
            Z7VM_Serve(db, read, sizeof read, ans);
        }
        Z7VM_ShutDown(db, nullptr);
        Z7Mem_Free(back);
        Z7Mem_Free(next);
    }
    if (data[0] % 2 == 0) Z7VM_ShutDown(db, nullptr);
    Z7Mem_Free(db);
    Z7Mem_Free(code);
    if (Z7Mem_LiveBlocks() != live) abort();
    return 0;
}
