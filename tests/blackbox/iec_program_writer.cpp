// Writes the IEC application of the IEC runtime black-box tests to a file:
// "program" gives the program data the controller downloads (wrapper, code
// image, location table), "image" the bare code image the workbench
// downloads. The application counts INT 1 (retained) and INT 4 up by one per
// cycle and computes INT 3 := INT 2 * 2; the location table binds INT 1 to
// %AQ1, INT 2 to %AI1, INT 3 to %AQ2 and INT 4 to %AQ3. "vms-program",
// "vms-image", "vms-change", "vms-other" and "vms-alloc17" give the "VMS"
// application of the VM-request tests and its change images; "steps-program"
// and "steps-change" the "STEPS" application and the change that adds blocks.
// "serio-program" gives program data of an application whose SERIO sends
// back on the programming port what it receives there.
// "csvmenu-program" gives program data of an application with a CSV logger
// and a four-button menu, driven through %Q1..%Q6.
// "rtuslave-program" gives program data of an application whose Modbus RTU
// slave 17 serves the programming port while %Q1 is set.
// "stdlib" gives program data of an application of the standard library:
// %AQ1 := BIN_TO_BCD(%AI1); a TON of 300 ms on bit 0 of %AI2 gives %AQ2;
// once: a file "/mnt/cfg/b3io.txt" with a line HELLO and the DINT
// 16#11223344, and a TCP listener on 5600 whose connection is echoed every
// cycle (%AQ3 counts the bytes echoed).
// "can" gives program data of the application CAN messages application of
// tests/support/iec_rtio.h: %AI1..%AI4 = INT 5..8, %AQ1 = INT 1, %AQ2 =
// UINT 2, %AQ3 = INT 3, %AQ4 = DINT 1 (low word), %Q1 = BOOL 1, %AI5 = INT 16,
// %AQ5 = INT 30 (INT 0..40 exist).
// "blocks150-program" gives the large block application (tests/support/iec_blkapp.h)
// and its result names in FILE.map.
// "modbus-blocks-program" gives the Modbus blocks' application (below).
// "mbmaster-rtu-program" gives an application whose MBMASTERRTU polls unit 1.
// "retain-program" gives program data of an application whose retained
// INT 1 takes INT 2 (%AI1) while BOOL 1 (%I1) is set and is shown as
// INT 4 := INT 1 + INT 5 on %AQ1 (INT 5 on %AI2).
// "cansnd" gives program data of an application with the CAN port "can1"
// (two spare send slots, no defined messages) that calls CANSND("can1",
// 16#100 + DINT 3, 3, USINT[8] 1..8) whenever DINT 3 (%AI1) changes; the
// result goes to %Q1 (BOOL 5) and the count of calls to %AQ1 (INT 1).
// "canecho" gives program data of an application that sends each value of
// 0x181..0x1A0 (bytes 0-1, INT 1..32) back on 0x481..0x4A0 as it changes and
// sends 0x38F every 10 ms.
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/iec_asm.h"
#include "tests/support/iec_blkapp.h"
#include "tests/support/iec_image.h"
#include "tests/support/iec_mbcfg.h"
#include "tests/support/iec_rtio.h"
#include "tests/support/iec_vms.h"

namespace {

// The location table that follows the program data: 6464 slots of four
// bytes, each zero (unbound) until bound to a variable.
struct Locations {
    std::vector<uint8_t> table = std::vector<uint8_t>(6464 * 4, 0);
    void operator()(uint32_t slot, uint32_t value) { test_support::RtPut32(table, 4 * slot, value); }
};

// Writes bytes to path: 0, or 1 when the file cannot be written whole.
int WriteFile(const char *path, const std::vector<uint8_t> &bytes) {
    FILE *f = std::fopen(path, "wb");
    return f != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size() && std::fclose(f) == 0 ? 0 : 1;
}

// The program data followed by its location table, written to path.
int WriteProgram(const char *path, std::vector<uint8_t> out, const Locations &loc) {
    out.insert(out.end(), loc.table.begin(), loc.table.end());
    return WriteFile(path, out);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s program|image FILE\n", argv[0]);
        return 2;
    }
    if (std::strncmp(argv[1], "vms-", 4) == 0) {
        const std::string v = argv[1] + 4;
        std::vector<uint8_t> out = v == "program" ? test_support::VmsImage().ProgramData()
                                                  : test_support::VmsImage(v == "image" ? "" : v).Build();
        if (v == "program") return WriteProgram(argv[2], std::move(out), Locations{});  // no located variables
        return WriteFile(argv[2], out);
    }
    if (std::strcmp(argv[1], "steps-program") == 0)
        return WriteProgram(argv[2], test_support::StepsImage(false).ProgramData(), Locations{});
    if (std::strcmp(argv[1], "steps-change") == 0) return WriteFile(argv[2], test_support::StepsImage(true).Build());
    if (std::strcmp(argv[1], "modbus-client-program") == 0) {
        // Modbus client to 127.0.0.1:15020 unit 1: FC3 100 x4 every 100 ms
        // (INT 1 <- HR100 -> %AQ1, INT 2 <- HR101 masked 0x00F0 -> %AQ2, INT 3
        // the good answers -> %AQ3) and FC16 200 x2 every 100 ms from INT 4
        // (<- %AI1) and INT 5 (<- %AI2).
        test_support::IecImage img;
        img.name = "MBCLI";
        img.d16 = {10, 10, 0};
        test_support::MbConfig c;
        c.Conn(1, 15020, 0, 0x01, 500, "127.0.0.1")
            .Request({.id = 1,
                      .conn = 1,
                      .unit = 1,
                      .mode = 1,
                      .period = 100,
                      .fn = 3,
                      .addr = 100,
                      .count = 4,
                      .timeout = 300,
                      .size = 8})
            .Request({.id = 2,
                      .conn = 1,
                      .unit = 1,
                      .mode = 1,
                      .period = 100,
                      .fn = 16,
                      .addr = 200,
                      .count = 2,
                      .timeout = 300,
                      .size = 4})
            .Variable({.req = 1, .pos = 0, .index = 1})
            .Variable({.req = 1, .pos = 1, .mask = 0x00F0, .index = 2})
            .Variable({.req = 1, .index = 3, .kind = 6})
            .Variable({.req = 2, .pos = 0, .index = 4, .kind = 1})
            .Variable({.req = 2, .pos = 1, .index = 5, .kind = 1});
        img.ext_blocks = {{2, c.Build()}};
        std::vector<uint8_t> out = img.ProgramData();
        Locations bind;
        for (uint32_t k = 0; k < 3; k++) bind(5952 + k, 0x04000001 + k);  // %AQ1..3 = INT 1..3
        bind(5440, 0x04000004);                                           // %AI1 = INT 4
        bind(5441, 0x04000005);                                           // %AI2 = INT 5
        return WriteProgram(argv[2], std::move(out), bind);
    }
    if (std::strcmp(argv[1], "modbus-program") == 0) {
        // Modbus server unit 7 "SRV", holding registers 0..9: HR0 from INT 1
        // (<- %AI1), HR1 into INT 2 (-> %AQ1), HR2 from INT 3 := INT 2.
        test_support::IecImage img;
        img.name = "MBSRV";
        img.d16 = {10, 10, 0};
        img.programs = {{test_support::IecAsm("ADD16 3 2 8; END"), 0}};
        test_support::MbConfig c;
        c.Conn(1, 7, 0, 0x100, 0, "SRV")
            .Request({.id = 1, .fn = 3, .addr = 0, .count = 10, .size = 20})
            .Variable({.req = 1, .pos = 0, .index = 1, .kind = 1})
            .Variable({.req = 1, .pos = 1, .index = 2, .kind = 0})
            .Variable({.req = 1, .pos = 2, .index = 3, .kind = 1});
        img.ext_blocks = {{2, c.Build()}};
        std::vector<uint8_t> out = img.ProgramData();
        Locations bind;
        bind(5440, 0x04000001);  // %AI1 = INT 1
        bind(5952, 0x04000002);  // %AQ1 = INT 2
        return WriteProgram(argv[2], std::move(out), bind);
    }
    if (std::strcmp(argv[1], "modbus-peers-program") == 0) {
        // Server unit 7 "SRV", holding registers 0..9, HR0 from INT 1 (<-
        // %AI1); a UDP client to port 15030 unit 1: FC3 100 x4 every 100 ms
        // (INT 2 <- HR100 -> %AQ1, INT 3 <- HR101 masked 0x00F0 -> %AQ2, INT
        // 4 the good answers -> %AQ3); two MBSLAVETCP blocks, on port DINT 1
        // = 502 (open: BOOL 2 -> %Q1) and DINT 2 = 5502 (open: BOOL 4 -> %Q2).
        test_support::IecImage img;
        img.name = "MBPEER";
        img.d8 = {10, 10, 0};
        img.d16 = {10, 10, 0};
        img.d32 = {10, 10, 0};
        img.init8 = {{1, 1}, {3, 1}};
        img.init32 = {{1, 502}, {2, 5502}};
        img.classes = {{53, 1, "MBSLAVETCP"}};
        img.instances = {{1, 53, 0}, {1, 53, 0}};
        img.programs = {{test_support::IecAsm("FB 1 3 1 1 2; FB 2 3 3 2 4; END"), 0}};
        test_support::MbConfig c;
        c.Conn(1, 7, 0, 0x100, 0, "SRV")
            .Request({.id = 1, .fn = 3, .addr = 0, .count = 10, .size = 20})
            .Variable({.req = 1, .pos = 0, .index = 1, .kind = 1})
            .Conn(2, 9, 0, 0, 500, "UDP:127.0.0.1:15030")
            .Request({.id = 2,
                      .conn = 2,
                      .unit = 1,
                      .mode = 1,
                      .period = 100,
                      .fn = 3,
                      .addr = 100,
                      .count = 4,
                      .timeout = 300,
                      .size = 8})
            .Variable({.req = 2, .pos = 0, .index = 2})
            .Variable({.req = 2, .pos = 1, .mask = 0x00F0, .index = 3})
            .Variable({.req = 2, .index = 4, .kind = 6});
        img.ext_blocks = {{2, c.Build()}};
        std::vector<uint8_t> out = img.ProgramData();
        Locations bind;
        bind(5440, 0x04000001);                                           // %AI1 = INT 1
        for (uint32_t k = 0; k < 3; k++) bind(5952 + k, 0x04000002 + k);  // %AQ1..3 = INT 2..4
        bind(3392, 0x00000002);                                           // %Q1 = BOOL 2
        bind(3393, 0x00000004);                                           // %Q2 = BOOL 4
        return WriteProgram(argv[2], std::move(out), bind);
    }
    if (std::strcmp(argv[1], "modbus-rtu-program") == 0 || std::strcmp(argv[1], "modbus-ascii-program") == 0) {
        // A serial client on the programming port ("9600,N,8,1", with
        // "ASCII:" ahead for the ASCII program) to unit 1: FC3 100 x4 every
        // 100 ms (INT 1 <- HR100); server unit 7 "SRV" with HR0 from INT 1,
        // served by an MBSLAVETCP block on port DINT 1 = 5502 (open: BOOL 2).
        const bool ascii = argv[1][7] == 'a';
        test_support::IecImage img;
        img.name = "MBSER";
        img.d8 = {10, 10, 0};
        img.d16 = {10, 10, 0};
        img.d32 = {10, 10, 0};
        img.init8 = {{1, 1}};
        img.init32 = {{1, 5502}};
        img.classes = {{53, 1, "MBSLAVETCP"}};
        img.instances = {{1, 53, 0}};
        img.programs = {{test_support::IecAsm("FB 1 3 1 1 2; END"), 0}};
        test_support::MbConfig c;
        c.Conn(1, 7, 0, 0x100, 0, "SRV")
            .Request({.id = 1, .fn = 3, .addr = 0, .count = 10, .size = 20})
            .Variable({.req = 1, .pos = 0, .index = 1, .kind = 1})
            .Conn(2, 0, 0, 0x10, 0, ascii ? "ASCII:9600,N,8,1" : "9600,N,8,1")
            .Request({.id = 2,
                      .conn = 2,
                      .unit = 1,
                      .mode = 1,
                      .period = 100,
                      .fn = 3,
                      .addr = 100,
                      .count = 4,
                      .timeout = 300,
                      .size = 8})
            .Variable({.req = 2, .pos = 0, .index = 1});
        img.ext_blocks = {{2, c.Build()}};
        std::vector<uint8_t> out = img.ProgramData();
        return WriteProgram(argv[2], std::move(out), Locations{});  // no located variables
    }
    if (std::strcmp(argv[1], "mbmaster-rtu-program") == 0) {
        // MBMASTERRTU on the programming port ("9600,N,8,1", STRING 1):
        // enable BOOL 1 = TRUE, send BOOL 2 toggled every cycle (XOR with
        // BOOL 5 = TRUE), unit 1 FC3 read address 101 count 4 (DINT 1..4)
        // into INT 20..23 (%AQ1..4), time-out TIME 1 = 500 ms; ready BOOL 3
        // (%Q1), done without error BOOL 4 latched into BOOL 6 (%Q2), error
        // DINT 8 (%AQ5).
        test_support::IecImage img;
        img.name = "MBMRTU";
        img.d8 = {10, 10, 0};
        img.d16 = {30, 30, 0};
        img.d32 = {10, 10, 0};
        img.time = {2, 2, 0};
        img.str = {1, 1, 0};
        img.string_sizes = {16};
        img.init_str = {{1, "9600,N,8,1"}};
        img.init8 = {{1, 1}, {5, 1}};
        img.init32 = {{1, 1}, {2, 3}, {3, 101}, {4, 4}};
        img.init_time = {{1, 500}};
        img.classes = {{51, 1, "MBMASTERRTU"}};
        img.instances = {{1, 51, 0}};
        img.programs = {
            {test_support::IecAsm("FB 1 16 11 1 2 1 2 3 4 5 6 20 4 1 1 3 4 8; OR8 6 6 4; XOR8 2 2 5; END"), 0}};
        std::vector<uint8_t> out = img.ProgramData();
        Locations bind;
        for (uint32_t k = 0; k < 4; k++) bind(5952 + k, 0x04000014 + k);  // %AQ1..4 = INT 20..23
        bind(5956, 0x08000008);                                           // %AQ5 = DINT 8
        bind(3392, 0x00000003);                                           // %Q1 = BOOL 3
        bind(3393, 0x00000006);                                           // %Q2 = BOOL 6
        return WriteProgram(argv[2], std::move(out), bind);
    }
    if (std::strcmp(argv[1], "consumer-program") == 0) {
        // One consumer connection to 127.0.0.1:19000 with three variables:
        // its status code (INT 1 -> %AQ1), id 5 (INT 2 -> %AQ2), id 6 (DINT 1).
        test_support::IecImage img;
        img.name = "CONSUM";
        img.d16 = {10, 10, 0};
        img.d32 = {10, 10, 0};
        std::vector<uint8_t> cnx(10, 0);
        const std::string ip = "127.0.0.1";
        cnx.insert(cnx.end(), ip.begin(), ip.end());
        cnx.push_back(0);
        cnx[0] = uint8_t(cnx.size());
        cnx[2] = uint8_t(19000 & 0xFF);
        cnx[3] = uint8_t(19000 >> 8);
        cnx[8] = 3;  // variables 0..2
        cnx.insert(cnx.end(), {0, 0});
        // {type, kind, index, id}: kind 2 the status code, 1 a value
        const std::vector<uint8_t> vars{11, 2, 1, 0, 0, 0, 11, 1, 2, 0, 5, 0, 2, 1, 1, 0, 6, 0, 0};
        img.ext_blocks = {{5, cnx}, {6, vars}};
        std::vector<uint8_t> out = img.ProgramData();
        Locations bind;
        bind(5952, 0x04000001);  // %AQ1 = INT 1
        bind(5953, 0x04000002);  // %AQ2 = INT 2
        return WriteProgram(argv[2], std::move(out), bind);
    }
    if (std::strcmp(argv[1], "cansnd") == 0) {
        test_support::CanDefImage def;
        def.spare = 2;
        def.ports = {{"can1", 0, 0, 0, 0, 0}};
        test_support::IecImage app;
        app.name = "CANSND";
        app.d8 = {31, 31, 0};
        app.d16 = {7, 7, 0};
        app.d32 = {7, 7, 0};
        app.str = {1, 1, 0};
        app.string_sizes = {8};
        app.init_str = {{1, "can1"}};
        app.init32 = {{2, 3}, {7, 0x100}};
        for (uint16_t k = 0; k < 8; k++) app.init8.push_back({uint16_t(10 + k), uint8_t(k + 1)});
        app.programs = {{test_support::IecAsm("NE32 6 3 4; JMPF 6 @done; ADD32 1 3 7;"
                                              "STF 199 7 5 1 1 2 10 8 4; MOV32 4 3; CONST16 2 1; ADD16 1 1 2;"
                                              "done: END"),
                         0}};
        std::vector<uint8_t> out = test_support::IecImage::ProgramDataOf(test_support::CanTestImage(def, app));
        Locations bind;
        bind(5440, 0x08000003);  // %AI1 = DINT 3
        bind(5952, 0x04000001);  // %AQ1 = INT 1
        bind(3392, 0x00000005);  // %Q1 = BOOL 5
        return WriteProgram(argv[2], std::move(out), bind);
    }
    if (std::strcmp(argv[1], "can") == 0 || std::strcmp(argv[1], "canecho") == 0) {
        test_support::CanDefImage echo;
        echo.ports = {{"can1", 32, 33, 0, 0, 0}};
        for (uint16_t k = 0; k < 32; k++) {
            echo.rcv.push_back({0x181u + k, 0, 0, 0, 2, 0, false, {}});
            echo.snd.push_back({0x481u + k, 0, 0, 0, 2, 3, false, {}});
            test_support::CanVarDef in;
            in.msg = k, in.kind = 1, in.size = 2, in.mtype = in.vtype = test_support::RT_INT;
            in.index = uint16_t(1 + k);
            test_support::CanVarDef back = in;
            back.kind = 2, back.send = 1;
            echo.vars.push_back(in);
            echo.vars.push_back(back);
        }
        echo.snd.push_back({0x38F, 10, 0, 0, 1, 1, false, {}});
        // INT 0..40: CANopen's IEC bindings use INT 16 (map), 30 and 32 (status words)
        test_support::IecImage app = test_support::CanTestApp();
        app.d16 = {40, 40, 0};
        std::vector<uint8_t> out = test_support::IecImage::ProgramDataOf(
            test_support::CanTestImage(std::strcmp(argv[1], "can") == 0 ? test_support::CanTestDef() : echo, app));
        Locations bind;
        for (uint32_t k = 0; k < 4; k++) bind(5440 + k, 0x04000005 + k);  // %AI1..4 = INT 5..8
        bind(5952, 0x04000001);                                           // %AQ1 = INT 1
        bind(5953, 0x04000002);                                           // %AQ2 = UINT 2
        bind(5954, 0x04000003);                                           // %AQ3 = INT 3
        bind(5955, 0x08000001);                                           // %AQ4 = DINT 1
        bind(3392, 0x00000001);                                           // %Q1 = BOOL 1
        bind(5444, 0x04000010);                                           // %AI5 = INT 16
        bind(5956, 0x0400001E);                                           // %AQ5 = INT 30
        return WriteProgram(argv[2], std::move(out), bind);
    }
    if (std::strcmp(argv[1], "retain-program") == 0) {
        test_support::IecImage img;
        img.name = "RETAIN";
        img.d8 = {4, 4, 0};
        img.d16 = {10, 10, 0};
        img.programs = {{test_support::IecAsm("JMPF 1 @keep; ADD16 1 2 3; keep: ADD16 4 1 5; END"), 0}};
        img.has_retain = true;
        img.retain.c16 = 1;
        img.retain.f16 = 1;
        img.retain.sig = 0x5A37A002;
        Locations bind;
        bind(1344, 0x00000001);  // %I1 = BOOL 1
        bind(5440, 0x04000002);  // %AI1 = INT 2
        bind(5441, 0x04000005);  // %AI2 = INT 5
        bind(5952, 0x04000004);  // %AQ1 = INT 4
        return WriteProgram(argv[2], img.ProgramData(), bind);
    }
    if (std::strcmp(argv[1], "blocks150-program") == 0) {
        // The large block application of tests/support/iec_blkapp.h; the
        // names of its %AQ results, one "name number" per line, go to FILE.map.
        test_support::BlkApp app = test_support::BlkApp_Make();
        const std::vector<uint8_t> out = app.ProgramData();
        if (WriteFile(argv[2], out) != 0) return 1;
        FILE *f = std::fopen((std::string(argv[2]) + ".map").c_str(), "w");
        if (f == nullptr) return 1;
        std::fprintf(f, "# %u blocks\n", unsigned(app.ninst));
        for (const auto &o : app.outs) std::fprintf(f, "%s %u\n", o.first.c_str(), unsigned(o.second));
        return std::fclose(f) == 0 ? 0 : 1;
    }
    if (std::strcmp(argv[1], "blocks-program") == 0) {
        // Controller blocks: CTU (CU BOOL 1, R BOOL 2, PV INT 5, Q BOOL 3, CV
        // INT 11 -> %AQ1), SHL INT (INT 2 <- %AI1 by INT 3 -> INT 4 -> %AQ2),
        // SCALEINT (INT 6..10 -> INT 12 -> %AQ3), TON100MS (IN BOOL 1, PT INT
        // 13, Q BOOL 4, ET INT 14 -> %AQ4).
        test_support::IecImage img;
        img.name = "BLOCKS";
        img.d8 = {10, 10, 0};
        img.d16 = {20, 20, 0};
        img.init8 = {{1, 1}};
        img.init16 = {{5, 5}, {2, 0x1234}, {3, 4}, {6, 5}, {7, 0}, {8, 0}, {9, 0}, {10, 10}, {13, 20}};
        img.classes = {{5, 1, "CTU"}, {6, 1, "SHL"}, {7, 1, "SCALEINT"}, {8, 1, "TON100MS"}};
        img.instances = {{0, 5, 0}, {0, 6, 0}, {0, 7, 0}, {0, 8, 0}};
        img.programs = {{test_support::IecAsm("FB 1 5 1 2 5 3 11; FB 2 4 11 2 3 4; FB 3 6 6 7 8 9 10 12;"
                                              "FB 4 4 1 13 4 14; END"),
                         0}};
        std::vector<uint8_t> out = img.ProgramData();
        Locations bind;
        bind(5952, 0x0400000B);  // %AQ1 = INT 11
        bind(5953, 0x04000004);  // %AQ2 = INT 4
        bind(5954, 0x0400000C);  // %AQ3 = INT 12
        bind(5955, 0x0400000E);  // %AQ4 = INT 14
        bind(5440, 0x04000002);  // %AI1 = INT 2
        return WriteProgram(argv[2], std::move(out), bind);
    }
    if (std::strcmp(argv[1], "clocks-program") == 0) {
        // TON (PT 300 ms) and TP (PT 500 ms) on BOOL 1 <- %AI2, their Q -> %AQ1
        // and %AQ2; a PID (PV 40, SP 50, KP 2, TI 100 s, TS 100 ms, limits 0
        // and 100) whose OUT's bits go to %AQ3 (low) and %AQ4 (high).
        test_support::IecImage img;
        img.name = "CLOCKS";
        img.d8 = {10, 10, 0};
        img.d16 = {10, 10, 0};
        img.d32 = {20, 20, 0};
        img.time = {10, 10, 0};
        img.init8 = {{4, 1}, {5, 1}};
        img.init_time = {{1, 300}, {3, 500}, {5, 100}};
        img.init32 = {{1, 0x42200000}, {2, 0x42480000}, {4, 0x40000000},
                      {5, 0x42C80000}, {8, 0x42C80000}, {10, 0xBF800000}};
        img.classes = {{5, 1, "TON"}, {6, 1, "TP"}, {7, 1, "PID"}};
        img.instances = {{0, 5, 0}, {0, 6, 0}, {0, 7, 0}};
        img.programs = {
            {test_support::IecAsm("STF 162 2 1 1; FB 1 4 1 1 2 2; FB 2 4 1 3 3 4;"
                                  "FB 3 23 4 1 2 3 4 5 6 5 7 8 5 6 7 9 10 11 12 13 14 15 16 8 9;"
                                  "STF 166 3 2 10 2; STF 166 3 3 10 3; STF 164 2 4 12; STF 165 2 5 12; END"),
             0}};
        std::vector<uint8_t> out = img.ProgramData();
        Locations bind;
        bind(5952, 0x04000002);  // %AQ1 = INT 2
        bind(5953, 0x04000003);  // %AQ2 = INT 3
        bind(5954, 0x04000004);  // %AQ3 = INT 4
        bind(5955, 0x04000005);  // %AQ4 = INT 5
        bind(5441, 0x04000001);  // %AI2 = INT 1
        return WriteProgram(argv[2], std::move(out), bind);
    }
    if (std::strcmp(argv[1], "port-program") == 0) {
        // Port blocks on the programming port: OPENCOMM (enable BOOL 1 = 1,
        // port 0, 9600 baud, 8 data bits, parity 1, protocol 2; done BOOL 2
        // -> %Q2); SENDCOMM "HELLO" (USINT 10..14) once open; RCVCOMM of 4
        // bytes into USINT 20..23; when the fourth byte is 1: SENDCOMM echoes
        // bytes 20..22 and a second RCVCOMM takes one byte into USINT 30;
        // when that byte is 1: CLOSECOMM (done BOOL 31 -> %Q1).
        test_support::IecImage img;
        img.name = "PORT";
        img.d8 = {40, 40, 0};
        img.d16 = img.d32 = {10, 10, 0};
        img.init8 = {{1, 1}, {10, 'H'}, {11, 'E'}, {12, 'L'}, {13, 'L'}, {14, 'O'}};
        img.init16 = {{1, 5}, {3, 4}, {5, 3}, {7, 1}};
        img.init32 = {{1, 0}, {2, 9600}, {3, 0}, {4, 8}, {5, 1}, {6, 0}, {7, 2}, {8, 0}};
        img.classes = {{5, 1, "OPENCOMM"}, {6, 1, "SENDCOMM"}, {7, 1, "RCVCOMM"}, {8, 1, "CLOSECOMM"}};
        img.instances = {{0, 5, 0}, {0, 6, 0}, {0, 7, 0}, {0, 6, 0}, {0, 7, 0}, {0, 8, 0}};
        img.programs = {{test_support::IecAsm("FB 1 10 1 1 2 3 4 5 6 7 8 2; FB 2 6 2 1 1 10 5 2; FB 3 6 2 1 3 20 4 4;"
                                              "FB 4 6 23 1 5 20 4 6; FB 5 6 23 1 7 30 1 8; FB 6 3 30 1 31; END"),
                         0}};
        std::vector<uint8_t> out = img.ProgramData();
        Locations bind;
        bind(3392, 0x0000001F);  // %Q1 = BOOL 31
        bind(3393, 0x00000002);  // %Q2 = BOOL 2
        return WriteProgram(argv[2], std::move(out), bind);
    }
    if (std::strcmp(argv[1], "modem-program") == 0) {
        // OPENCOMM as in "port-program" (done BOOL 2); once open,
        // MODEMAUTODIAL (option INT 1 = 0, number STRING 1 "5551234",
        // status INT 2 -> %AQ1).
        test_support::IecImage img;
        img.name = "MODEM";
        img.d8 = img.d16 = img.d32 = {10, 10, 0};
        img.str = {1, 1, 0};
        img.string_sizes = {16};
        img.init_str = {{1, "5551234"}};
        img.init8 = {{1, 1}};
        img.init32 = {{1, 0}, {2, 9600}, {3, 0}, {4, 8}, {5, 1}, {6, 0}, {7, 2}, {8, 0}};
        img.classes = {{5, 1, "OPENCOMM"}, {6, 1, "MODEMAUTODIAL"}};
        img.instances = {{0, 5, 0}, {0, 6, 0}};
        img.programs = {{test_support::IecAsm("FB 1 10 1 1 2 3 4 5 6 7 8 2; FB 2 5 2 1 1 1 2; END"), 0}};
        std::vector<uint8_t> out = img.ProgramData();
        Locations bind;
        bind(5952, 0x04000002);  // %AQ1 = INT 2
        return WriteProgram(argv[2], std::move(out), bind);
    }
    if (std::strcmp(argv[1], "modbus-blocks-program") == 0) {
        // Modbus blocks on the programming port: OPENCOMM (BOOL 1 = 1, DINT
        // 1..8 = port 0, 9600, 0, 8 bits, parity 1, 0, protocol 3, option 0;
        // done BOOL 2); while coil 7 (BOOL 17) is 0, MODBUSMAPSLAVE station
        // 0x11 (INT 1) with coils BOOL 10..17, inputs BOOL 20..23 (1, 0, 1,
        // 0), holding INT 11..14 (0A0B 0C0D 1234 FFFE), input registers INT
        // 21..22 (4321 8765), status INT 3; once coil 7 is 1,
        // MODBUSDOREQUEST with the request INT 5..10 (station 1, FC3, start
        // 0x6B, 3 registers) into INT 31..38, time-out 1 s (INT 42), status
        // INT 40, its flag BOOL 5 = (status = 0), so that it polls again
        // after every end. %AQ1..3 = INT 31..33, %AQ4 = INT 40, %AQ5 = INT
        // 12, %AQ6 = INT 3.
        test_support::IecImage img;
        img.name = "MBBLK";
        img.d8 = {40, 40, 0};
        img.d16 = {50, 50, 0};
        img.d32 = {10, 10, 0};
        img.init8 = {{1, 1}, {20, 1}, {22, 1}};
        img.init16 = {{1, 0x11},    {11, 0x0A0B}, {12, 0x0C0D}, {13, 0x1234}, {14, 0xFFFE}, {21, 0x4321},
                      {22, 0x8765}, {5, 1},       {6, 3},       {7, 0x6B},    {8, 3},       {42, 10}};
        img.init32 = {{2, 9600}, {4, 8}, {5, 1}, {7, 3}};
        img.classes = {
            {5, 1, "OPENCOMM"}, {6, 1, "NOT_MASK"}, {7, 1, "MODBUSMAPSLAVE"}, {8, 1, "LIM"}, {9, 1, "MODBUSDOREQUEST"}};
        img.instances = {{0, 5, 0}, {0, 6, 0}, {0, 7, 0}, {0, 8, 0}, {0, 9, 0}};
        img.programs = {{test_support::IecAsm("FB 1 10 1 1 2 3 4 5 6 7 8 2; FB 2 3 1 17 3;"
                                              "FB 3 14 11 3 1 1 2 10 8 20 4 11 4 21 2 3;"
                                              "FB 4 5 11 41 40 41 5; FB 5 9 11 17 1 42 5 5 31 8 40; END"),
                         0}};
        std::vector<uint8_t> out = img.ProgramData();
        Locations bind;
        const uint32_t aq[6] = {31, 32, 33, 40, 12, 3};
        for (uint32_t k = 0; k < 6; k++) bind(5952 + k, 0x04000000 + aq[k]);
        return WriteProgram(argv[2], std::move(out), bind);
    }
    if (std::strcmp(argv[1], "txbxml-program") == 0) {
        // Text buffer and XML blocks, once: "Hello", DINT 42 and the line "!"
        // into "/mnt/cfg/t.txt"; a document cfg with a child item (id 8,
        // contents x<y & "z") into "/mnt/cfg/x.xml".
        test_support::IecImage img;
        img.name = "TXBXML";
        img.d8 = img.d32 = {15, 15, 0};
        img.str = {8, 8, 0};
        img.string_sizes = {16, 16, 32, 16, 16, 16, 32, 32};
        img.init_str = {{1, "Hello"}, {2, "!"},  {3, "/mnt/cfg/t.txt"}, {4, "cfg"},
                        {5, "item"},  {6, "id"}, {7, "/mnt/cfg/x.xml"}, {8, "x<y & \"z\""}};
        img.init32 = {{2, 42}, {5, 8}};
        img.ext.assign(18, 0);
        img.ext[17] = 65536;  // application heap
        const char *names[] = {"TXBNEWSTRING", "TXBAPPEND",       "TXBAPPENDLINE", "TXBWRITEFILE",   "XMLNEWDOC",
                               "XMLADDCHILD",  "XMLSETTAGATTRIB", "XMLSETTAGCONT", "XMLWRITEDOCFILE"};
        for (uint16_t k = 0; k < 9; k++) {
            img.classes.push_back({uint16_t(5 + k), 1, names[k]});
            img.instances.push_back({0, uint16_t(5 + k), 0});
        }
        img.programs = {{test_support::IecAsm("JMPT 9 @ready; FB 1 2 1 1; FB 2 4 2 1 2 2; FB 3 3 1 2 2; FB 4 3 1 3 2;"
                                              "FB 5 2 4 3; FB 6 3 3 5 4; FB 7 5 2 4 6 5 2; FB 8 4 5 4 8 2;"
                                              "FB 9 3 3 7 2; CONST8 9 1; ready: END"),
                         0}};
        std::vector<uint8_t> out = img.ProgramData();
        return WriteProgram(argv[2], std::move(out), Locations{});  // no located variables
    }
    if (std::strcmp(argv[1], "csvmenu-program") == 0) {
        // LOGFILECSV of list 0 {BOOL 1, DINT -5, REAL 1.5, STRING "ok", TIME
        // 1000, INT -7} into "/mnt/cfg/a.csv": LOG %Q1, RST %Q2, its Q pulses
        // counted in DINT 9 -> %AQ1, ERR -> %AQ2. The menu Main {Start 11,
        // Setup {Speed 21, Limit 22}, Stop 12} made at the first cycle and
        // driven by HMIMENU with UP %Q3, DOWN %Q4, ENTER %Q5, BACK %Q6; in the
        // execution of a button's edge a second LOGFILECSV writes list 1
        // {title, entries, position, command} into "/mnt/cfg/menu.csv"
        // (RST %Q2, ERR -> %AQ3).
        test_support::IecImage img;
        img.name = "CSVMNU";
        img.d8 = {12, 12, 0};
        img.d16 = {2, 2, 0};
        img.d32 = {21, 21, 0};
        img.time = {2, 2, 0};
        img.str = {11, 11, 0};
        img.string_sizes = {16, 16, 16, 16, 16, 16, 16, 64, 16, 32, 32};
        img.init_str = {{1, "Main"},  {2, "Start"},           {3, "Setup"},
                        {4, "Speed"}, {5, "Limit"},           {6, "Stop"},
                        {9, "ok"},    {10, "/mnt/cfg/a.csv"}, {11, "/mnt/cfg/menu.csv"}};
        img.init8 = {{1, 1}};
        img.init16 = {{1, 0xFFF9}};
        img.init32 = {{1, 0xFFFFFFFB}, {2, 0x3FC00000}, {7, 1}, {10, 1}, {14, 11}, {15, 21}, {16, 22}, {17, 12}};
        img.init_time = {{1, 1000}};
        img.var_lists = {{{1, 1}, {2, 1}, {3, 2}, {5, 9}, {4, 1}, {11, 1}}, {{5, 7}, {5, 8}, {2, 12}, {2, 11}}};
        img.ext.assign(18, 0);
        img.ext[17] = 65536;  // application heap
        img.classes = {{5, 1, "LOGFILECSV"}, {6, 1, "HMIMENU"}, {7, 1, "HMINEWMENU"}, {8, 1, "HMINEWMENUITEM"}};
        img.instances = {{0, 5, 0}, {0, 6, 0}, {0, 7, 0}, {0, 8, 0}, {0, 7, 0},
                         {0, 8, 0}, {0, 8, 0}, {0, 8, 0}, {0, 5, 0}};
        img.programs = {
            {test_support::IecAsm("JMPT 9 @ready; FB 3 3 20 1 4; FB 4 4 4 2 14 13; FB 5 3 4 3 5; FB 6 4 5 4 15 13;"
                                  "FB 7 4 5 5 16 13; FB 8 4 4 6 17 13; CONST8 9 1;"
                                  "ready: FB 1 6 2 3 6 10 4 3; JMPF 4 @noq; ADD32 9 9 10;"
                                  "noq: OR8 10 5 6; OR8 10 10 7; OR8 10 10 8; FB 2 9 5 6 7 8 4 11 12 7 8;"
                                  "FB 9 6 10 3 7 11 11 8; END"),
             0}};
        std::vector<uint8_t> out = img.ProgramData();
        Locations bind;
        const uint32_t bits[] = {2, 3, 5, 6, 7, 8};
        for (uint32_t k = 0; k < 6; k++) bind(3392 + k, bits[k]);  // %Q1..6
        bind(5952, 0x08000009);                                    // %AQ1 = DINT 9
        bind(5953, 0x08000003);                                    // %AQ2 = DINT 3
        bind(5954, 0x08000008);                                    // %AQ3 = DINT 8
        return WriteProgram(argv[2], std::move(out), bind);
    }
    if (std::strcmp(argv[1], "rtuslave-program") == 0) {
        // MBSLAVERTUEXD on the programming port while %Q1 (BOOL 1) is set:
        // slave 17 of the server "SRV", holding registers 0..9 (HR0 from INT
        // 1 = 16#1234, HR1 into INT 2 -> %AQ7); its six counters (DINT
        // 10..15) -> %AQ1..%AQ6. MBSLAVEUDPEX of the same server, slave 17,
        // on UDP port 5020 with Modbus TCP framing (RUN BOOL 3 = TRUE).
        test_support::IecImage img;
        img.name = "RTUSLV";
        img.d8 = {8, 8, 0};
        img.d16 = {10, 10, 0};
        img.d32 = {16, 16, 0};
        img.str = {2, 2, 0};
        img.string_sizes = {16, 16};
        img.init_str = {{2, "SRV"}};
        img.init16 = {{1, 0x1234}};
        img.init8 = {{3, 1}};
        img.init32 = {{1, 17}, {2, 5020}};
        img.classes = {{5, 1, "MBSLAVERTUEXD"}, {6, 1, "MBSLAVEUDPEX"}};
        img.instances = {{0, 5, 0}, {0, 6, 0}};
        img.programs = {{test_support::IecAsm("FB 1 11 1 1 1 2 2 10 11 12 13 14 15; FB 2 6 3 2 1 4 2 5; END"), 0}};
        test_support::MbConfig c;
        c.Conn(1, 17, 0, 0x100, 0, "SRV")
            .Request({.id = 1, .fn = 3, .addr = 0, .count = 10, .size = 20})
            .Variable({.req = 1, .pos = 0, .index = 1, .kind = 1})
            .Variable({.req = 1, .pos = 1, .index = 2, .kind = 0});
        img.ext_blocks = {{2, c.Build()}};
        std::vector<uint8_t> out = img.ProgramData();
        Locations bind;
        for (uint32_t k = 0; k < 6; k++) bind(5952 + k, 0x0800000A + k);  // %AQ1..6 = DINT 10..15
        bind(5958, 0x04000002);                                           // %AQ7 = INT 2
        bind(3392, 0x00000001);                                           // %Q1 = BOOL 1
        return WriteProgram(argv[2], std::move(out), bind);
    }
    if (std::strcmp(argv[1], "serio-program") == 0) {
        // SERIO on the programming port (RUN BOOL 1 = TRUE) that sends back
        // what it received in the same execution: SND and RCV are BOOL 4,
        // DATA_SND and DATA_RCV are STRING 2.
        test_support::IecImage img;
        img.name = "SERIO";
        img.d8 = {8, 8, 0};
        img.str = {2, 2, 0};
        img.string_sizes = {16, 64};
        img.init8 = {{1, 1}};
        img.classes = {{5, 1, "SERIO"}};
        img.instances = {{0, 5, 0}};
        img.programs = {{test_support::IecAsm("FB 1 8 1 4 1 2 3 4 5 2; END"), 0}};
        std::vector<uint8_t> out = img.ProgramData();
        return WriteProgram(argv[2], std::move(out), Locations{});  // no located variables
    }
    test_support::IecImage img;
    if (std::strcmp(argv[1], "stdlib") == 0) {
        img.name = "STDLIB";
        img.d8 = img.d16 = img.d32 = img.time = {31, 31, 0};
        img.str = {3, 3, 0};
        img.string_sizes = {64, 32, 16};
        img.init_str = {{2, "/mnt/cfg/b3io.txt"}, {3, "HELLO"}};
        img.init32 = {{11, 5600}, {12, 4}, {16, 64}, {22, 0x11223344}, {13, 0xFFFFFFFF}};
        img.init_time = {{1, 300}};
        img.classes = {{9, 1, "TON"}};
        img.instances = {{1, 9, 0}};
        img.programs = {{test_support::IecAsm(
                             "STF 167 3 1 5 1; STF 78 2 2 1; STF 164 2 3 2;"
                             "STF 170 4 1 11 2 3; FB 1 4 1 1 2 2; STF 168 9 3 2 4 4 4 4 4 4 4; STF 166 3 4 4 3;"
                             "JMPT 9 @ready; STF 148 3 10 11 12; STF 71 2 21 2; STF 75 3 12 21 3; STF 74 3 13 21 22;"
                             "STF 76 2 14 21; CONST8 9 1;"
                             "ready: STF 155 2 11 13; JMPT 11 @have; STF 149 2 13 10;"
                             "have: STF 152 4 15 13 16 1; STF 151 4 17 13 15 1; ADD32 20 20 17; STF 164 2 6 20; END"),
                         0}};
        std::vector<uint8_t> out = img.ProgramData();
        Locations bind;
        bind(5952, 0x04000003);  // %AQ1 = INT 3
        bind(5953, 0x04000004);  // %AQ2 = INT 4
        bind(5954, 0x04000006);  // %AQ3 = INT 6
        bind(5440, 0x04000001);  // %AI1 = INT 1
        bind(5441, 0x04000002);  // %AI2 = INT 2
        return WriteProgram(argv[2], std::move(out), bind);
    }
    img.name = "MAINRD";
    img.d16 = {10, 10, 0};
    img.init16 = {{9, 1}, {8, 2}};
    img.programs = {{test_support::IecAsm("ADD16 1 1 9; ADD16 4 4 9; OP351 3 2 8; END"), 0}};
    img.has_retain = true;
    img.retain.c16 = 1;
    img.retain.f16 = 1;
    img.retain.sig = 0x5A37A001;
    std::vector<uint8_t> out = std::strcmp(argv[1], "image") == 0 ? img.Build() : img.ProgramData();
    if (std::strcmp(argv[1], "program") == 0) {
        Locations bind;
        bind(5952, 0x04000001);  // %AQ1 = INT 1
        bind(5440, 0x04000002);  // %AI1 = INT 2
        bind(5953, 0x04000003);  // %AQ2 = INT 3
        bind(5954, 0x04000004);  // %AQ3 = INT 4
        return WriteProgram(argv[2], std::move(out), bind);
    }
    return WriteFile(argv[2], out);
}
