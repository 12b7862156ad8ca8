// Random calls of the IEC standard library: byte 0 picks a standard-function
// slot (even) or a block of the standard list or the controller's array rows
// (odd), byte 1 the operand count, then come the operand words (indexes and
// literals), then the bytes that fill the typed segments and one string.
// Every call of the slot or of the block's command 0 (and commands 6 and 8)
// must stay inside the VM arena's blocks (ASan); the resource table is
// emptied after each input so that files opened under the root are closed.
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "iec/services/z7svc.h"
#include "iec/vm/z7interp.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7stdlib.h"
#include "iec/vm/z7str.h"
#include "iec/vm/z7vm.h"
#include "platform/plat.h"
#include "tests/support/iec_image.h"

namespace {
uint32_t db = 0, inst = 0, list = 0;

// Slots that open network sockets are left out: the fuzzer stays off the network.
bool Skipped(uint32_t fn) { return fn == 148 || fn == 153 || fn == 183 || fn == 135; }
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    static char tmpl[] = "/tmp/fuzz-iec-stdlib-XXXXXX";
    const char *root = mkdtemp(tmpl);
    setenv("PLC_ROOT", root, 1);
    PLAT_Init(0, nullptr);
    Z7Svc_InstallVMHooks();
    mkdir((std::string(root) + "/mnt").c_str(), 0755);
    mkdir((std::string(root) + "/mnt/cfg").c_str(), 0755);
    test_support::IecImage img;
    img.d8 = img.d16 = img.d32 = img.d64 = img.time = {63, 63, 63};
    img.str = {3, 3, 3};
    img.string_sizes = {8, 16, 2};
    const uint32_t code = test_support::IecLoad(img.Build());
    if (code == 0 || Z7VM_CreateDB(code, &db) != 0 || Z7Def_ColdStart(code, db, nullptr, nullptr, 0, 0, "FUZZ") != 0)
        std::abort();
    inst = Z7Mem_Alloc(2048);
    list = Z7Mem_Alloc(2 + 2 * 64 + 8);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    const uint8_t pick = data[0];
    const uint32_t n = data[1] % 20;
    size_t at = 2;
    std::vector<uint16_t> ops;
    for (uint32_t k = 0; k < n && at + 1 < size; k++, at += 2) ops.push_back(uint16_t(data[at] | data[at + 1] << 8));
    // the rest fills the typed segments, then the text of string 1
    for (uint32_t sec : {Z7SEC_D8, Z7SEC_D16, Z7SEC_D32, Z7SEC_D64, Z7SEC_TIME, Z7SEC_LOCK}) {
        uint8_t *p = Z7Mem_Ptr(Z7Sec_Addr(db, sec), Z7Sec_Bytes(db, sec));
        const size_t bytes = Z7Sec_Bytes(db, sec);
        for (size_t i = 0; p && i < bytes; i++) p[i] = at < size ? data[at++] : 0;
    }
    std::string text(reinterpret_cast<const char *>(data + at), at < size ? size - at : 0);
    Z7VMStr_AscForceC(db, 1, text.substr(0, text.find('\0')).c_str());
    Z7Mem_Put32(Z7VM_Status(db) + ST_STAMP, uint32_t(pick) * 1000u);

    Z7Mem_Put16(list, uint16_t(ops.size()));
    for (size_t k = 0; k < ops.size(); k++) Z7Mem_Put16(list + 2 + 2 * uint32_t(k), ops[k]);
    if ((pick & 1) == 0) {
        const uint32_t fn = uint32_t(pick >> 1) | (ops.empty() ? 0u : uint32_t(ops[0] & 1) << 7);
        if (!Skipped(fn)) {
            // operand words {fn, N, ops...}
            const uint32_t call = Z7Mem_Alloc(4 + 2 * uint32_t(ops.size()) + 2);
            Z7Mem_Put16(call, uint16_t(fn));
            Z7Mem_Put16(call + 2, uint16_t(ops.size()));
            for (size_t k = 0; k < ops.size(); k++) Z7Mem_Put16(call + 4 + 2 * uint32_t(k), ops[k]);
            Z7VMStf_Execute(db, call);
            Z7Mem_Free(call);
        }
    } else {
        const uint32_t row = uint32_t(pick >> 1) % (Z7STFB_ROWS + 6);
        const FbHandler h = row < Z7STFB_ROWS ? Z7Stfb_GetProc(row) : Z7Blocks_GetProc(51 + row - Z7STFB_ROWS);
        if (h != nullptr) {
            const uint32_t isize = h(FB_INSTSIZE, 0, 0, 0, 0);
            std::memset(Z7Mem_Ptr(inst, 2048), 0, 2048);
            h(FB_INSTINIT, db, 0, isize ? inst : 0, 0);
            for (int k = 0; k < 3; k++) h(FB_EXEC, db, 0, isize ? inst : 0, list + 2);
            h(FB_INSTKEEP, db, 0, isize ? inst : 0, 0);
            h(FB_EXEC, db, 0, isize ? inst : 0, list + 2);
        }
    }
    Z7VMRsc_FreeAll(db);
    uint16_t c, a;
    uint32_t v;
    while (Z7VMLog_Pop(db, &c, &a, &v)) {
    }
    Z7St_SetFlags(db, uint16_t(Z7St_Flags(db) & ~Z7F_NOEVENTS));
    return 0;
}
