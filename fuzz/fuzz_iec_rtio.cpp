// The IEC application's own field I/O built from untrusted bytes. The first
// byte picks the table: 0 a CAN definition (its offsets taken relative to the
// definition when bit 7 of that byte is clear) followed by frames of a bus in
// memory, exchanged over a few cycles with application messages; 1 an AS-i
// configuration exchanged twice; 2 a bus-driver table, built with a driver
// of the target's own or the shared-memory bus driver.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "iec/services/z7rtio.h"
#include "iec/services/z7svc.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7vm.h"
#include "platform/plat.h"
#include "platform/plat_can.h"
#include "tests/support/iec_rtio.h"

namespace {
std::deque<std::vector<uint8_t>> frames;
int Open(const char *) { return 2; }
int Read(int, uint8_t *f) {
    if (frames.empty()) return -1;
    std::memset(f, 0, 16);
    std::memcpy(f, frames.front().data(), frames.front().size());
    frames.pop_front();
    return 16;
}
int Write(int, const uint8_t *) { return 16; }
int Mask(int, uint32_t) { return 0; }
int Buf(int, int) { return 0; }
void Close(int) {}
const PlatCanOps kBus = {Open, Read, Write, Mask, Buf, Close, nullptr};

uint32_t Driver(uint32_t cmd, uint32_t, uint32_t db, uint32_t level, uint32_t node, uint32_t, uint32_t props) {
    if (cmd == 1) return props ? Z7Mem_Get8(props) % 64 : 8;
    if (cmd == 2 && level == 4) {
        uint8_t v[8];
        Z7DDKH_ReadVarAny(db, node, 2, v);
        Z7DDKH_WriteVarLong(db, node, 7);
        Z7DDKH_GetSibling(db, Z7DDKH_GetParent(db, node));
    }
    return 0;
}
// 'D': the target's own driver; 'Z': the shared-memory bus driver, whose
// areas live under the target's root.
Z7DDKHandler Lookup(const char *name) { return name[0] == 'D' ? Driver : name[0] == 'Z' ? Z7BusShm2 : nullptr; }

void Run(const std::vector<uint8_t> &image, uint32_t which) {
    const uint32_t code = test_support::IecLoad(image);
    if (code == 0) return;
    uint32_t db = 0;
    if (Z7VM_CreateDB(code, &db) == 0 && Z7Def_ColdStart(code, db, nullptr, nullptr, 0, 0, "F") == 0) {
        for (uint32_t t = 0; t < 4; t++) {
            if (which == 0) {
                Z7VMCan_ExchangeAt(db, 100 * t);
                uint32_t id, len;
                uint8_t d[8] = {1, 2, 3};
                Z7VMCan_RcvAppMsg(db, "", &id, &len, d);
                Z7VMCan_SendAppMsg(db, "1", 0x123 + t, t * 3, d, t & 1);
            } else {
                Z7Def_Cycle(db, 100 * t, nullptr);
            }
        }
        uint8_t prof[256];
        Z7VMAsi_GetMasterProfiles(Z7Sec_Addr(db, Z7SEC_ASI), 1, prof);
        Z7VM_CanHOTStart(code, db);
        Z7VM_ShutDown(db, nullptr);
    }
    Z7Mem_Free(db);
    Z7Mem_Free(code);
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    static char tmpl[] = "/tmp/fuzz-iec-rtio-XXXXXX";
    const char *root = mkdtemp(tmpl);
    setenv("PLC_ROOT", root, 1);
    PLAT_Init(0, nullptr);
    mkdir((std::string(root) + "/dev").c_str(), 0755);
    mkdir((std::string(root) + "/dev/shm").c_str(), 0755);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool ready = [] {
        Z7Svc_Install();
        z7_services.trace = nullptr;
        plat_can = &kBus;
        Z7DDKC_Lookup = Lookup;
        return true;
    }();
    (void)ready;
    if (size < 3) return 0;
    const uint32_t which = data[0] & 3;
    const bool raw = (data[0] & 0x80) != 0;
    const size_t def_len = std::min<size_t>(size - 3, size_t(data[1] | data[2] << 8));
    const uint8_t *def = data + 3, *rest = def + def_len;
    const size_t rest_len = size - 3 - def_len;
    test_support::IecImage app = test_support::CanTestApp();
    app.ct_alloc = 16;
    app.ct_used = 16;
    auto blob = [&](uint32_t base) {
        std::vector<uint8_t> b(def, def + def_len);
        if (!raw && which == 0 && b.size() >= 32)
            for (uint32_t w = 12; w <= 28; w += 4) test_support::RtPut32(b, w, base + (b[w] | b[w + 1] << 8));
        if (!raw && which == 2)
            for (size_t e = 0; e + 20 <= b.size() && e < 100; e += 20)
                if (b[e] | b[e + 1]) test_support::RtPut32(b, uint32_t(e), base + (b[e] | b[e + 1] << 8));
        return b;
    };
    frames.clear();
    for (size_t k = 0; k + 1 <= rest_len && frames.size() < 200; k += 16)
        frames.emplace_back(rest + k, rest + std::min(rest_len, k + 16));
    const uint32_t word = which == 0 ? 17 : which == 1 ? 3 : 7;
    Run(test_support::IecWithTail(app, word, word, blob), which);
    return 0;
}
