// Bytes from outside on the programming port while the application's serial
// Modbus holds it, by the first byte: even, the answer to the client engine's
// two serial connections (RTU to unit 1 FC3 100 x4, ASCII to unit 1 FC1 0
// x12); odd, the answer to MBMASTERRTU (array type and function from the
// second byte). The port is a socket pair's end.
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "io/vcomm.h"
#include "iec/services/z7mb.h"
#include "iec/services/z7svc.h"
#include "iec/vm/z7interp.h"
#include "iec/vm/z7stdlib.h"
#include "iec/vm/z7str.h"
#include "iec/vm/z7vm.h"
#include "tests/support/iec_db.h"
#include "tests/support/iec_image.h"
#include "tests/support/iec_mbcfg.h"

namespace {
int sv[2] = {-1, -1};
uint32_t db = 0;

void Drain(int fd) {
    uint8_t buf[1024];
    while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
}

void Setup() {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv) != 0) abort();
    Vcomm_Port[ProgrammingPort].fd = sv[0];
    test_support::MbConfig c;
    c.Conn(1, 0, 0, 0x11, 0, "9600,N,8,1")
        .Unit(1, 1)
        .Request({.id = 1, .conn = 1, .unit = 1, .mode = 1, .fn = 3, .addr = 100, .count = 4, .timeout = 50, .size = 8})
        .Variable({.req = 1, .pos = 0, .index = 1})
        .Conn(2, 0, 0, 0x11, 0, "ASCII:9600,N,8,1")
        .Request({.id = 2, .conn = 2, .unit = 1, .mode = 1, .fn = 1, .count = 12, .timeout = 50, .size = 2})
        .Variable({.req = 2, .pos = 3, .type = 1, .index = 1});
    test_support::IecImage img;
    img.d8 = img.d16 = img.d32 = img.time = {15, 15, 15};
    img.str = {3, 3, 3};
    img.string_sizes = {20, 20, 20};
    img.ext_blocks = {{2, c.Build()}};
    db = test_support::IecBuiltDb(img.Build());
}

FbHandler Handler(const char *name) { return test_support::IecStdBlock(name); }

void Put(const uint8_t *p, size_t n) {
    if (n != 0 && write(sv[1], p, n) < 0) {
    }
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    signal(SIGPIPE, SIG_IGN);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (db == 0) Setup();
    if (size < 2 || size > 600) return 0;
    const uint8_t *p = data + 2;
    const size_t n = size - 2;
    IsCommMode_Qncan = 1;
    Z7Serial_Rearm();
    if (data[0] % 2 == 0) {
        const uint32_t state = Z7Sec_Addr(db, Z7SEC_MB);
        Z7MB_Open(state);
        uint32_t now = 1000;
        for (int i = 0; i < 2; i++) Z7MB_Activate(state, now++);
        Drain(sv[1]);
        // the answer in one piece or cut at the second byte's value
        const size_t cut = data[1] < n ? data[1] : n;
        Put(p, cut);
        for (int i = 0; i < 4; i++) Z7MB_Activate(state, now++);
        Put(p + cut, n - cut);
        for (int i = 0; i < 8; i++) Z7MB_Activate(state, now++);
        Z7MB_Activate(state, now + 100);  // time-outs
        Z7MB_Exchange(state, db);
        Z7MB_Close(state);
    } else {
        static const FbHandler h = Handler("MBMASTERRTU");
        static const uint32_t inst = Z7Mem_Alloc(288), list = Z7Mem_Alloc(2 + 2 * 16);
        // array type from the second byte: INT, BOOL or USINT elements
        const uint16_t type = data[1] % 3 == 0 ? 11 : data[1] % 3 == 1 ? 1 : 14;
        const uint16_t ops[16] = {type, 1, 2, 1, 2, 3, 4, 5, 6, 4, 8, 1, 1, 3, 4, 8};
        Z7Mem_Put16(list, 16);
        for (int k = 0; k < 16; k++) Z7Mem_Put16(list + 2 + 2 * k, ops[k]);
        std::memset(Z7Mem_Ptr(inst, 288), 0, 288);
        h(FB_INSTINIT, db, 0, inst, 0);
        Z7VMStr_AscForceC(db, 1, "9600,N,8,1");
        Z7Mem_Put32(Z7Sec_Elem(db, Z7SEC_TIME, 1), 1000);
        const int32_t fn = data[1] % 3 == 0 ? (data[1] & 8 ? 23 : 3) : data[1] % 3 == 1 ? 1 : (data[1] & 8 ? 7 : 17);
        const int32_t args[] = {1, fn, 1, 4, 1, 2};
        for (uint32_t k = 0; k < 6; k++) Z7Mem_Put32(Z7Sec_Elem(db, Z7SEC_D32, k + 1), uint32_t(args[k]));
        Z7Mem_Put32(Z7VM_Status(db) + ST_STAMP, 5000);
        Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_D8, 1), 1);
        Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_D8, 2), 0);
        h(FB_EXEC, db, 0, inst, list + 2);
        Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_D8, 2), 1);
        h(FB_EXEC, db, 0, inst, list + 2);
        Drain(sv[1]);
        Put(p, n);
        for (int i = 0; i < 8; i++) h(FB_EXEC, db, 0, inst, list + 2);
        Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_D8, 1), 0);
        h(FB_EXEC, db, 0, inst, list + 2);
        h(FB_INSTEXIT, db, 0, inst, 0);
    }
    Drain(sv[0]);  // what nobody read: the next input starts on a clean line
    Drain(sv[1]);
    return 0;
}
