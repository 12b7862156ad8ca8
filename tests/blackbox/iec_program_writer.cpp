// Writes the IEC application of the IEC runtime black-box tests to a file:
// "program" gives the program data the controller downloads (wrapper, code
// image, location table), "image" the bare code image the workbench
// downloads. The application counts INT 1 (retained) and INT 4 up by one per
// cycle and computes INT 3 := INT 2 * 2; the location table binds INT 1 to
// %AQ1, INT 2 to %AI1, INT 3 to %AQ2 and INT 4 to %AQ3. "vms-program",
// "vms-image", "vms-change", "vms-other" and "vms-alloc17" give the "VMS"
// application of the VM-request tests and its change images.
#include <cstdio>
#include <cstring>
#include <string>

#include "tests/support/iec_asm.h"
#include "tests/support/iec_image.h"
#include "tests/support/iec_vms.h"

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s program|image FILE\n", argv[0]);
        return 2;
    }
    if (std::strncmp(argv[1], "vms-", 4) == 0) {
        const std::string v = argv[1] + 4;
        std::vector<uint8_t> out = v == "program" ? test_support::VmsImage().ProgramData()
                                   : test_support::VmsImage(v == "image" ? "" : v).Build();
        if (v == "program") out.resize(out.size() + 6464 * 4, 0);  // no located variables
        FILE *f = std::fopen(argv[2], "wb");
        if (f == nullptr || std::fwrite(out.data(), 1, out.size(), f) != out.size() || std::fclose(f) != 0) return 1;
        return 0;
    }
    test_support::IecImage img;
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
        std::vector<uint8_t> loc(6464 * 4, 0);
        auto bind = [&](uint32_t slot, uint32_t value) {
            for (int i = 0; i < 4; i++) loc[4 * slot + i] = uint8_t(value >> (8 * i));
        };
        bind(5952, 0x04000001);  // %AQ1 = INT 1
        bind(5440, 0x04000002);  // %AI1 = INT 2
        bind(5953, 0x04000003);  // %AQ2 = INT 3
        bind(5954, 0x04000004);  // %AQ3 = INT 4
        out.insert(out.end(), loc.begin(), loc.end());
    }
    FILE *f = std::fopen(argv[2], "wb");
    if (f == nullptr || std::fwrite(out.data(), 1, out.size(), f) != out.size() || std::fclose(f) != 0) return 1;
    return 0;
}
