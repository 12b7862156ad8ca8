// Workbench VM requests from untrusted bytes against a built "VMS"
// application: the input is a series of requests, each {u16 byte count,
// request bytes}, served in order with a cycle after each (so that code sent
// with request 3 runs). Answers must stay inside their buffer (ASan and a
// guard) and every arena block taken must be given back.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "iec/services/z7svc.h"
#include "iec/vm/z7interp.h"
#include "iec/vm/z7srv.h"
#include "iec/vm/z7vm.h"
#include "tests/support/iec_vms.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::vector<uint8_t> image = test_support::VmsImage().Build();
    static const uint32_t live = Z7Mem_LiveBlocks();
    Z7VMTic_JumpBudget = 20000;
    Z7Svc_InstallVMHooks();
    const uint32_t code = test_support::IecLoad(image);
    uint32_t db = 0;
    if (code == 0 || Z7VM_CreateDB(code, &db) != 0 ||
        Z7Def_ColdStart(code, db, "/mnt/cfg/z7.ret", nullptr, 0, 0, "VMS") != 0)
        abort();
    std::vector<uint8_t> ans(Z7VM_ANSWER_MAX + 1);
    uint32_t now = 1000;
    for (size_t at = 0; at + 2 <= size;) {
        const size_t n = std::min<size_t>(size_t(data[at] | data[at + 1] << 8) % 1100, size - at - 2);
        std::vector<uint8_t> req(data + at + 2, data + at + 2 + n);  // exactly the bytes present
        ans[Z7VM_ANSWER_MAX] = 0xA5;
        const uint32_t out = Z7VM_Serve(at & 1 ? 0 : db, req.data(), uint32_t(req.size()), ans.data());
        if (out > Z7VM_ANSWER_MAX || ans[Z7VM_ANSWER_MAX] != 0xA5) abort();
        // the same bytes as a question on a channel: a synchronisation question reads its words
        static Z7CSData cs;
        cs.ch[0].number = 1;
        cs.ch[0].flags = Z7CH_USED | Z7CH_QUESTION | Z7CH_SOCKET;
        cs.ch[0].sock = -1;
        const size_t q = std::min(n, cs.ch[0].rx.size());
        if (q) std::memcpy(cs.ch[0].rx.data(), req.data(), q);
        cs.ch[0].received = uint16_t(q);
        Z7Def_ServeSyncRequest(&cs, db, 1);
        Z7VM_Cycle(db, now += 10);
        at += 2 + n;
    }
    Z7VM_ShutDown(db, nullptr);
    Z7Mem_Free(db);
    Z7Mem_Free(code);
    if (Z7Mem_LiveBlocks() != live) abort();
    return 0;
}
