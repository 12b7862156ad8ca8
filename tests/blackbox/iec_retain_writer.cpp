// Starts and stops an IEC application with about 230 KB of retained
// variables over and over: each round cold-starts it with its retain file,
// checks that the values loaded all come from one earlier round, gives every
// retained variable the values of this round and stops it, which writes the
// retain file. Prints the number of each completed round; the black-box test
// kills it at random instants and checks that the file left is whole.
#include <cstdio>
#include <cstring>

#include "iec/vm/z7cnv.h"
#include "iec/vm/z7str.h"
#include "iec/vm/z7vm.h"
#include "platform/plat.h"
#include "tests/support/iec_image.h"

namespace {
constexpr uint16_t k8 = 60000, k16 = 30000, k32 = 15000, kStr = 200;

test_support::IecImage Image() {
    test_support::IecImage img;
    img.d8 = {k8, k8, 0};
    img.d16 = {k16, k16, 0};
    img.d32 = {k32, k32, 0};
    img.str = {kStr, kStr, 0};
    img.string_sizes.assign(kStr, 250);
    img.has_retain = true;
    img.retain.c8 = k8;
    img.retain.f8 = 1;
    img.retain.c16 = k16;
    img.retain.f16 = 1;
    img.retain.c32 = k32;
    img.retain.f32 = 1;
    img.retain.cs = kStr;
    img.retain.fs = 1;
    img.retain.sig = 0xC0FFEE;
    return img;
}

// Round whose values the database holds, or -1 when they are mixed.
long Round(uint32_t db) {
    const uint32_t v = Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_D32, 1));
    if (v == 0) return 0;  // initial values (no file yet)
    const uint32_t r = (v - 1) / 7;
    for (uint32_t k = 1; k <= k8; k++)
        if (Z7Mem_Get8(Z7Sec_Elem(db, Z7SEC_D8, k)) != uint8_t(r + k)) return -1;
    for (uint32_t k = 1; k <= k16; k++)
        if (Z7Mem_Get16(Z7Sec_Elem(db, Z7SEC_D16, k)) != uint16_t(r * 3 + k)) return -1;
    for (uint32_t k = 1; k <= k32; k++)
        if (Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_D32, k)) != r * 7 + k) return -1;
    for (uint32_t s = 1; s <= kStr; s++)
        if (Z7VMStr_GetLength(db, s) != (r + s) % 250) return -1;
    return long(r);
}

void Fill(uint32_t db, uint32_t r) {
    for (uint32_t k = 1; k <= k8; k++) Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_D8, k), uint8_t(r + k));
    for (uint32_t k = 1; k <= k16; k++) Z7Mem_Put16(Z7Sec_Elem(db, Z7SEC_D16, k), uint16_t(r * 3 + k));
    for (uint32_t k = 1; k <= k32; k++) Z7Mem_Put32(Z7Sec_Elem(db, Z7SEC_D32, k), r * 7 + k);
    char text[256];
    for (uint32_t s = 1; s <= kStr; s++) {
        const uint32_t n = (r + s) % 250;
        std::memset(text, 'A' + int(r % 26), n);
        text[n] = 0;
        Z7VMStr_AscForceC(db, s, text);
    }
}
}  // namespace

int main(int argc, char **argv) {
    PLAT_Init(argc, argv);
    PLAT_MakeBoardFolders();
    const uint32_t code = test_support::IecLoad(Image().Build());
    for (uint32_t round = 1;; round++) {
        uint32_t db = 0;
        if (Z7VM_CreateDB(code, &db) != 0 ||
            Z7Def_ColdStart(code, db, "/mnt/cfg/z7.ret", nullptr, 1, 0, "RETAIN") != 0) {
            std::printf("start failed\n");
            return 1;
        }
        if (Round(db) < 0) {
            std::printf("torn retain file\n");
            return 2;
        }
        Fill(db, round);
        Z7Def_Cycle(db, round, nullptr);
        Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "RETAIN");
        Z7Mem_Free(db);
        std::printf("%u\n", round);
        std::fflush(stdout);
    }
}
