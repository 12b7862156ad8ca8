// Resource files and property tokens of arbitrary bytes: the input is stored
// as "z7.rst" and checked, its directory and every record loaded into a
// heap; then the same bytes are walked as a token stream with every getter
// asked of each token, against an application with a complex-type segment.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>

#include "iec/services/z7svc.h"
#include "iec/vm/z7interp.h"
#include "iec/vm/z7rc.h"
#include "iec/vm/z7stdlib.h"
#include "iec/vm/z7vm.h"
#include "platform/plat.h"
#include "tests/support/iec_image.h"

namespace {
std::string file;
uint32_t db = 0;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    static char tmpl[] = "/tmp/fuzz-iec-rc-XXXXXX";
    const char *root = mkdtemp(tmpl);
    setenv("PLC_ROOT", root, 1);
    PLAT_Init(0, nullptr);
    mkdir((std::string(root) + "/mnt").c_str(), 0755);
    mkdir((std::string(root) + "/mnt/cfg").c_str(), 0755);
    file = std::string(root) + "/mnt/cfg/z7.rst";
    Z7Svc_InstallStdHooks();
    test_support::IecImage img;
    img.d8 = img.d16 = img.d32 = img.d64 = img.time = {15, 15, 15};
    img.str = {3, 3, 3};
    img.string_sizes = {4, 8, 2};
    img.ct_alloc = 32;
    img.ct_used = 32;
    const uint32_t code = test_support::IecLoad(img.Build());
    if (code == 0 || Z7VM_CreateDB(code, &db) != 0 || Z7Def_ColdStart(code, db, nullptr, nullptr, 0, 0, "F") != 0)
        db = 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (FILE *f = std::fopen(file.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    const uint32_t heap = Z7Rc_Init_Malloc(8);
    uint32_t fsize = 0, count = 0;
    Z7Rc_CheckRCFile(2, 0, &fsize);
    if (const uint32_t d = Z7Rc_LoadRCDirectory(heap, 2, &count)) Z7Rc_FreeRC(heap, d);
    for (uint32_t n = 0; n <= count + 1 && n < 64; n++) {
        const uint32_t r = Z7Rc_LoadRCByIndex(heap, 2, n, 0);
        uint32_t len = 0;
        if (r && Z7Rc_LockRC(heap, r, &len)) Z7Rc_UnlockRC(heap, r);
        Z7Rc_FreeRC(heap, r);
    }
    Z7Rc_Release(heap);

    const uint32_t buf = Z7Mem_Alloc(uint32_t(size) + 16);
    if (buf == 0) return 0;
    std::memcpy(Z7Mem_Ptr(buf, uint32_t(size) + 1), data, size);
    const uint32_t end = buf + uint32_t(size);
    for (uint32_t t = buf; t + 2 <= end;) {
        uint32_t type = 0, code = 0, cnt = 0;
        uint16_t a = 0, b = 0;
        Z7Rcs_GetProp(t, &type);
        Z7Rcs_GetObjType(t);
        Z7RCS_GetStringProp(t);
        Z7RCS_GetPairProp(t, &a, &b);
        Z7RCS_GetSignedProp(t);
        Z7RCS_GetRealProp(t);
        Z7RCS_GetLrealProp(t);
        Z7RCS_GetLintProp(t);
        Z7RCS_GetVarProp(db, t, &code);
        Z7RCS_GetArrayProp(db, t, &code, &cnt);
        const uint32_t next = Z7Rcs_NextToken(t, end);
        if (next <= t) break;
        t = next;
    }
    Z7Mem_Free(buf);
    return 0;
}
