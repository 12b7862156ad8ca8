// Arbitrary retain files loaded into a database built from a fixed image:
// the input becomes the file (its first four bytes replaced by the right
// layout signature when the first input byte is even), then the cold-start
// load and the backup load read it. Loaded string slots must keep their
// maximum and terminator.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "iec/vm/z7vm.h"
#include "platform/plat.h"
#include "tests/support/iec_image.h"

namespace {
uint32_t code = 0, db = 0;
char file[600];

void Setup() {
    static char root[] = "/tmp/plc-fuzz-iecret-XXXXXX";
    if (mkdtemp(root) == nullptr) std::abort();
    setenv("PLC_ROOT", root, 1);
    static char arg0[] = "fuzz";
    static char *argv[] = {arg0, nullptr};
    PLAT_Init(1, argv);
    PLAT_MakeBoardFolders();
    PLAT_Path("/mnt/cfg/z7.ret", file, sizeof file);
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();  // the load prints a line per file
    test_support::IecImage img;
    img.d8 = img.d16 = img.d32 = img.d64 = img.time = {4, 4, 0};
    img.str = {3, 3, 0};
    img.string_sizes = {4, 6, 1};
    img.ext.assign(11, 0);
    img.ct_alloc = 16;
    img.has_retain = true;
    img.retain = {2, 1, 3, 1, 1, 2, 2, 2, 2, 3, 3, 1, 0xA5A5, 5, 3};
    code = test_support::IecLoad(img.Build());
    if (Z7VM_CreateDB(code, &db) != 0 || Z7Def_ColdStart(code, db, nullptr, nullptr, 0, 0, "F") != 0) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (db == 0) Setup();
    std::vector<uint8_t> bytes(data, data + size);
    if (size >= 5 && (data[0] & 1) == 0) {
        bytes.erase(bytes.begin());
        const uint32_t sig = 0xA5A5;
        std::memcpy(bytes.data(), &sig, 4);
    }
    FILE *f = std::fopen(file, "wb");
    if (f == nullptr) std::abort();
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    std::fflush(stdout);
    Z7VM_LoadRetains(db, "/mnt/cfg/z7.ret");
    Z7VMWarm_LoadFromFile(db, "/mnt/cfg/z7.ret");
    for (uint32_t s = 1; s < 4; s++) {
        const uint32_t slot = Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_STRPTR, s));
        const uint8_t *p = Z7Mem_Ptr(slot, 3);
        if (p == nullptr) continue;
        if (p[1] > p[0] || Z7Mem_Get8(slot + 2 + p[1]) != 0) std::abort();
    }
    return 0;
}
