// Shared set-up of the IEC VM tests: a temporary root, images built with the
// test-support builder and loaded into the VM arena, the host's start
// sequence, and a recorder in place of the interpreter.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "iec/vm/z7interp.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7vm.h"
#include "tests/support/iec_image.h"
#include "tests/support/temp_root.h"

namespace iec_test {

// Programs run by the recorder, in order, and the program at which it
// answers 0 (0 = never).
struct Recorder {
    static inline std::vector<uint32_t> runs;
    static inline std::vector<uint32_t> lengths;
    static inline uint32_t stop_at = 0;
    static uint32_t Run(uint32_t, uint32_t, uint32_t, uint32_t length, uint32_t program) {
        runs.push_back(program);
        lengths.push_back(length);
        return program == stop_at && program != 0 ? 0 : 1;
    }
};

// Lays an operand list out as the VM does, at list (room for 2 + 2 *
// ops.size() bytes): its count in the word before it. Answers the handler's
// argument, the address of the first entry.
inline uint32_t PutOperands(uint32_t list, const std::vector<uint16_t> &ops) {
    Z7Mem_Put16(list, uint16_t(ops.size()));
    for (size_t k = 0; k < ops.size(); k++) Z7Mem_Put16(list + 2 + 2 * uint32_t(k), ops[k]);
    return list + 2;
}

// Calls a block handler as the VM does, with the operand list in the arena.
inline uint32_t CallHandler(FbHandler h, uint32_t db, const std::vector<uint16_t> &ops, uint32_t inst, uint32_t cmd) {
    const uint32_t list = Z7Mem_Alloc(uint32_t(2 + 2 * ops.size()));
    const uint32_t r = h(cmd, db, 0, inst, PutOperands(list, ops));
    Z7Mem_Free(list);
    return r;
}

class IecTest : public ::testing::Test {
protected:
    test_support::TempRoot root;
    uint32_t live_before = 0;
    std::vector<uint32_t> blocks;

    void SetUp() override {
        live_before = Z7Mem_LiveBlocks();
        Recorder::runs.clear();
        Recorder::lengths.clear();
        Recorder::stop_at = 0;
        Z7VMTic_RunPtr = Recorder::Run;
    }
    void TearDown() override {
        for (uint32_t b : blocks) Z7Mem_Free(b);
        Z7VMTic_RunPtr = Z7VMTic_Run;
        EXPECT_EQ(Z7Mem_LiveBlocks(), live_before) << "arena blocks leaked";
    }
    uint32_t Load(const test_support::IecImage &img) {
        const uint32_t code = test_support::IecLoad(img.Build());
        blocks.push_back(code);
        return code;
    }
    // Sizes and lays out a database for code; 0 and db, or the sizing code.
    uint32_t Create(uint32_t code, uint32_t &db) {
        const uint32_t rc = Z7VM_CreateDB(code, &db);
        if (db) blocks.push_back(db);
        return rc;
    }
    // Host start sequence and cold start; the build code.
    uint32_t Start(const test_support::IecImage &img, uint32_t &db, bool load_retains = false) {
        const uint32_t code = Load(img);
        const uint32_t rc = Create(code, db);
        if (rc != 0) return rc;
        return Z7Def_ColdStart(code, db, "/mnt/cfg/z7.ret", nullptr, load_retains, 0, "APP");
    }
    static uint16_t Flags(uint32_t db) { return Z7St_Flags(db); }
    static uint32_t St32(uint32_t db, uint32_t field) { return Z7Mem_Get32(Z7VM_Status(db) + field); }
    static uint16_t St16(uint32_t db, uint32_t field) { return Z7Mem_Get16(Z7VM_Status(db) + field); }
    static uint32_t Options(uint32_t db) { return St32(db, ST_OPTIONS); }
    static uint16_t Var16(uint32_t db, uint32_t idx) { return Z7Mem_Get16(Z7Sec_Elem(db, Z7SEC_D16, idx)); }
    static std::vector<uint8_t> SlotBytes(uint32_t db, uint32_t idx) {
        const uint32_t slot = Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_STRPTR, idx));
        const uint8_t *p = Z7Mem_Ptr(slot, 3);
        if (p == nullptr) return {};
        p = Z7Mem_Ptr(slot, p[0] + 3u);
        return std::vector<uint8_t>(p, p + p[0] + 3);
    }
};

}  // namespace iec_test
