// Frames from outside into the application's Modbus and remote bindings, by
// the first byte: 0 a request to the server (Modbus TCP and RTU framing); 1 an
// answer to the client engine; 2 an answer to the TCP master block; 3 an
// event frame to a remote binding. Peers are sockets on loopback that the
// engine, the block and the binding connect to.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "iec/services/z7mb.h"
#include "iec/services/z7svc.h"
#include "iec/vm/z7interp.h"
#include "iec/vm/z7stdlib.h"
#include "iec/vm/z7str.h"
#include "iec/vm/z7vm.h"
#include "tests/support/iec_db.h"
#include "tests/support/iec_image.h"
#include "tests/support/iec_mbcfg.h"
#include "tests/support/loopback.h"

namespace {
int listener = -1;
uint16_t port = 0;
uint32_t db = 0;

int Accept() {
    for (int i = 0; i < 200; i++) {
        pollfd p{listener, POLLIN, 0};
        if (poll(&p, 1, 1) > 0) return accept(listener, nullptr, nullptr);
    }
    return -1;
}
void Drain(int fd) {
    uint8_t buf[1024];
    while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
}

void Setup() {
    listener = test_support::LoopbackBind(&port);
    if (port == 0) abort();
    test_support::MbConfig c;
    c.Conn(1, 7, 0, 0x100, 0, "SRV")
        .Request({.id = 1, .fn = 3, .addr = 0, .count = 10, .size = 20})
        .Request({.id = 2, .fn = 1, .addr = 0, .count = 16, .size = 2})
        .Request({.id = 3, .fn = 4, .addr = 100, .count = 4, .size = 8})
        .Request({.id = 4, .fn = 2, .addr = 5, .count = 3, .size = 1})
        .Variable({.req = 1, .pos = 1, .index = 1})
        .Variable({.req = 1, .pos = 2, .format = 2, .type = 2, .index = 1})
        .Variable({.req = 2, .pos = 3, .type = 1, .index = 1})
        .Conn(2, port, 0, 0x01, 0, "127.0.0.1")
        .Unit(2, 1)
        .Request({.id = 5, .conn = 2, .unit = 1, .mode = 1, .fn = 3, .addr = 0, .count = 4, .timeout = 50, .size = 8})
        .Request({.id = 6, .conn = 2, .unit = 1, .mode = 1, .fn = 101, .timeout = 50, .size = 98})
        .Request({.id = 7, .conn = 2, .unit = 1, .mode = 1, .fn = 1, .count = 12, .timeout = 50, .size = 2})
        .Variable({.req = 5, .pos = 0, .index = 2})
        .Variable({.req = 6, .pos = 3, .type = 12, .index = 1})
        .Variable({.req = 5, .pos = 0, .index = 1, .kind = 19});
    std::vector<uint8_t> cnx(10, 0), vars;
    const std::string ip = "127.0.0.1";
    cnx.insert(cnx.end(), ip.begin(), ip.end());
    cnx.push_back(0);
    const uint16_t w[] = {uint16_t(cnx.size()), port, 0, 0, 3};
    for (int i = 0; i < 5; i++) {
        cnx[2 * i] = uint8_t(w[i]);
        cnx[2 * i + 1] = uint8_t(w[i] >> 8);
    }
    cnx.insert(cnx.end(), {0, 0});
    vars = {11, 2, 3, 0, 0, 0, 11, 1, 4, 0, 5, 0, 2, 1, 3, 0, 6, 0, 0};
    test_support::IecImage img;
    img.d8 = img.d16 = img.d32 = img.d64 = img.time = {15, 15, 15};
    img.str = {3, 3, 3};
    img.string_sizes = {20, 20, 20};
    img.ext_blocks = {{2, c.Build()}, {5, cnx}, {6, vars}};
    db = test_support::IecBuiltDb(img.Build());
}

FbHandler Handler(const char *name) { return test_support::IecStdBlock(name); }
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    signal(SIGPIPE, SIG_IGN);  // a peer closed by the runtime fails the harness's write, never kills it
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (db == 0) Setup();
    if (size < 2) return 0;
    const uint32_t state = Z7Sec_Addr(db, Z7SEC_MB);
    const uint8_t *p = data + 2;
    const size_t n = size - 2;
    uint8_t ans[300];
    switch (data[0] % 4) {
    case 0:
        Z7MB_ServeExID(state, p, uint32_t(n), ans, data[1] & 1, data[1] >> 1 & 1 ? 7 : 0,
                       data[1] & 4 ? "SRV" : nullptr);
        Z7MB_Exchange(state, db);
        break;
    case 1: {
        Z7MB_Open(state);
        int fd = -1;
        uint32_t now = 1000;
        for (int i = 0; i < 50 && fd < 0; i++) {
            Z7MB_Activate(state, now++);
            pollfd q{listener, POLLIN, 0};
            if (poll(&q, 1, 1) > 0) fd = accept(listener, nullptr, nullptr);
        }
        if (fd >= 0) {
            uint8_t req[300];
            ssize_t got = 0;
            for (int i = 0; i < 20 && got <= 0; i++) {
                Z7MB_Activate(state, now++);
                got = recv(fd, req, sizeof req, MSG_DONTWAIT);
            }
            std::vector<uint8_t> a(p, p + n);
            if ((data[1] & 1) && got >= 2 && a.size() >= 2) {
                a[0] = req[0];  // the transaction id sent
                a[1] = req[1];
            }
            if (!a.empty() && write(fd, a.data(), a.size()) < 0) {
            }
            for (int i = 0; i < 8; i++) Z7MB_Activate(state, now++);
            Z7MB_Exchange(state, db);
            close(fd);
        }
        Z7MB_Close(state);
        break;
    }
    case 2: {
        static const FbHandler h = Handler("MBMASTERTCP");
        static const uint32_t inst = Z7Mem_Alloc(288), list = Z7Mem_Alloc(2 + 2 * 17);
        // array type from the second byte: INT, BOOL or USINT elements
        const uint16_t type = data[1] % 3 == 0 ? 11 : data[1] % 3 == 1 ? 1 : 14;
        const uint16_t ops[17] = {type, 1, 2, 1, 2, 3, 4, 5, 6, 4, 8, 1, 1, 7, 3, 4, 8};
        Z7Mem_Put16(list, 17);
        for (int k = 0; k < 17; k++) Z7Mem_Put16(list + 2 + 2 * k, ops[k]);
        std::memset(Z7Mem_Ptr(inst, 288), 0, 288);  // a fresh instance, as a new database has
        h(FB_INSTINIT, db, 0, inst, 0);
        Z7VMStr_AscForceC(db, 1, "127.0.0.1");
        Z7Mem_Put32(Z7Sec_Elem(db, Z7SEC_TIME, 1), 1000);
        const int32_t args[] = {1, data[1] % 3 == 0 ? 3 : data[1] % 3 == 1 ? 1 : 17, 1, 4, 1, 2, port};
        for (uint32_t k = 0; k < 7; k++) Z7Mem_Put32(Z7Sec_Elem(db, Z7SEC_D32, k + 1), uint32_t(args[k]));
        Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_D8, 1), 1);
        Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_D8, 2), 0);
        Z7Mem_Put32(Z7VM_Status(db) + ST_STAMP, 5000);
        int fd = -1;
        for (int i = 0; i < 50 && Z7Mem_Get8(Z7Sec_Elem(db, Z7SEC_D8, 3)) == 0; i++) {
            h(FB_EXEC, db, 0, inst, list + 2);
            if (fd < 0) {
                pollfd q{listener, POLLIN, 0};
                if (poll(&q, 1, 1) > 0) fd = accept(listener, nullptr, nullptr);
            }
        }
        if (fd < 0) fd = Accept();
        Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_D8, 2), 1);
        h(FB_EXEC, db, 0, inst, list + 2);
        if (fd >= 0) {
            uint8_t req[300];
            const ssize_t got = recv(fd, req, sizeof req, MSG_DONTWAIT);
            std::vector<uint8_t> a(p, p + n);
            if ((data[1] & 4) && got >= 2 && a.size() >= 2) {
                a[0] = req[0];
                a[1] = req[1];
            }
            if (!a.empty() && write(fd, a.data(), a.size()) < 0) {
            }
            for (int i = 0; i < 8; i++) h(FB_EXEC, db, 0, inst, list + 2);
            close(fd);
        }
        h(FB_INSTEXIT, db, 0, inst, 0);
        break;
    }
    default: {
        Z7EAX_Open(db);
        const int fd = Accept();
        uint32_t now = 1000;
        if (fd >= 0) {
            for (int i = 0; i < 4; i++) Z7EAX_Activate(db, now++);
            if (write(fd, p, n) < 0) {
            }
            for (int i = 0; i < 8; i++) Z7EAX_Activate(db, now++);
            Drain(fd);
            close(fd);
        }
        Z7EAX_Close(db);
        break;
    }
    }
    return 0;
}
