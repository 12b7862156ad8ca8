// Symbol paths through untrusted complex-type definitions: the input's first
// part (up to a 0xFF byte) is the image's type-definition block, the rest a
// path; the map holds S1 (definition offset 37, CT offset 8) and Lp (56, 40).
// Parse, parse single and the member enumeration must stay inside the image
// and the segment and always end.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "iec/vm/z7map.h"
#include "iec/vm/z7syb.h"
#include "iec/vm/z7vm.h"
#include "tests/support/iec_vms.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const uint32_t live = Z7Mem_LiveBlocks();
    const uint8_t *cut = static_cast<const uint8_t *>(std::memchr(data, 0xFF, size));
    const size_t n = cut ? size_t(cut - data) : size;
    const std::vector<uint8_t> defs(data, data + n);
    const std::string path(reinterpret_cast<const char *>(data) + (cut ? n + 1 : n), cut ? size - n - 1 : 0);
    const std::vector<uint8_t> image = test_support::ValuesImage(&defs);
    const uint32_t code = test_support::IecLoad(image);
    uint32_t db = 0;
    if (code == 0 || Z7VM_CreateDB(code, &db) != 0 || Z7VM_Build(code, db) != 0) abort();
    uint32_t type = 0;
    const char *name = nullptr;
    const uint32_t ct = Z7Sec_Addr(db, Z7SEC_CT), end = ct + Z7Sec_Bytes(db, Z7SEC_CT);
    const std::string paths[3] = {path, "S1" + path, "Lp" + path};
    for (int k = 0; k < 3; k++) {
        const char *p = paths[k].c_str();
        const uint32_t a = Z7VmSyb_Parse(db, p, &type, &name);
        if (a && type != 127 && (type == 0 || type > 17)) abort();
        // a path into a complex variable ends inside the complex-type segment
        if (a && k > 0 && std::strlen(p) > 2 && (a < ct || a >= end)) abort();
        Z7VmSyb_ParseSingle(db, p, &type);
    }
    char buf[96];
    uint32_t calls = 0;
    auto count = [](const char *, uint32_t, void *u) { ++*static_cast<uint32_t *>(u); };
    for (const char *v : {"S1", "Lp"})
        Z7VmSyb_EnumCTMembers(db, Z7Map_GetBySymbol(db, v), buf, sizeof buf, count, &calls);
    Z7VM_ShutDown(db, nullptr);
    Z7Mem_Free(db);
    Z7Mem_Free(code);
    if (Z7Mem_LiveBlocks() != live) abort();
    return 0;
}
