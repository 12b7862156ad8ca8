// Mutated IEC code images through the host's start sequence, a few cycles
// and the stop. The input patches a rich image made by the test builder
// (bytes: u16 offset, u8 value, repeated); an input starting with 0xFF is
// taken as a whole image instead. Every block the VM takes from the arena
// must be given back.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "iec/vm/z7heap.h"
#include "iec/vm/z7vm.h"
#include "tests/support/iec_image.h"

namespace {
std::vector<uint8_t> Base() {
    test_support::IecImage img;
    img.name = "FUZZ";
    img.period_us = 1000;
    img.programs = {{{1, 2}, 0}, {{3}, 1}, {{4, 5, 6}, 0}, {{7}, 2}};
    img.cs_size = 3;
    img.tasks = {{"MAIN", {1, 3}}, {"@@B", {2}}, {"@@E", {4}}};
    img.d8 = img.d16 = img.d32 = img.d64 = img.time = {4, 4, 1};
    img.init8 = {{1, 1}};
    img.init16 = {{2, 2}, {4, 4}};
    img.init32 = {{3, 3}};
    img.init64 = {{1, 5}};
    img.init_time = {{2, 9}};
    img.str = {3, 3, 1};
    img.string_sizes = {4, 8, 2};
    img.init_str = {{1, "ABCDEF"}, {3, "X"}};
    img.xv_high = 3;
    img.xv_used = 3;
    img.xvs = {{1, 1}, {5, 2}, {13, 3}};
    img.ext.assign(21, 0);
    img.ext[17] = 160;  // buffer heap
    img.ct_alloc = 32;
    img.ct_used = 16;
    img.ct_pieces = {{0, {1, 2, 3}}, {30, {4, 5}}};
    img.has_retain = true;
    img.retain.c16 = 2;
    img.retain.f16 = 1;
    img.retain.cs = 2;
    img.retain.fs = 1;
    img.retain.sig = 77;
    img.retain.ct_size = 4;
    img.retain.ct_off = 2;
    return img.Build();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::vector<uint8_t> base = Base();
    static const uint32_t live = Z7Mem_LiveBlocks();
    std::vector<uint8_t> img;
    if (size > 0 && data[0] == 0xFF) {
        img.assign(data + 1, data + size);
    } else {
        img = base;
        for (size_t i = 0; i + 3 <= size; i += 3) {
            const size_t at = (data[i] | data[i + 1] << 8) % img.size();
            img[at] = data[i + 2];
        }
    }
    if (img.size() > (1u << 20)) return 0;
    const uint32_t code = test_support::IecLoad(img);
    uint32_t db = 0;
    if (code != 0 && Z7VM_CreateDB(code, &db) == 0) {
        if (Z7Def_ColdStart(code, db, nullptr, nullptr, 0, 0, "FUZZ") == 0) {
            const uint32_t heap = Z7Mem_Get32(Z7VM_Header(db) + HD_HEAP);
            const uint32_t h = Z7Heap_Alloc(heap, 20);
            Z7Heap_Alloc(heap, 8);
            Z7Heap_Free(heap, h);
            for (uint32_t now = 0; now < 40; now += 10) Z7Def_Cycle(db, now, nullptr);
            Z7VM_RegisterCycleTime(db, 2500);
            Z7Def_Stop(db, nullptr, nullptr, "FUZZ");
        }
        Z7Mem_Free(db);
    }
    Z7Mem_Free(code);
    if (Z7Mem_LiveBlocks() != live) std::abort();  // a block was left behind
    return 0;
}
