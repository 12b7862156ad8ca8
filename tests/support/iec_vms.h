// The "VMS" application of the VM-request tests, benchmarks, fuzz targets and
// black-box tests, with its on-line change variants. It counts INT 1 += INT 2
// (lock-tested) and DINT 1 += DINT 2 each cycle.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/byte_append.h"
#include "tests/support/iec_asm.h"
#include "tests/support/iec_image.h"

namespace test_support {

// variant: "" the application, "change" (boundary 9, INT 8 initial 0x0777,
// INT 3 := 0x0C0C each cycle), "other" (named OTHER), "alloc17" (17 INT).
inline IecImage VmsImage(const std::string &variant = "") {
    IecImage img;
    img.name = variant == "other" ? "OTHER" : "VMS";
    img.ext = {0x00C0FFEE};
    img.word4 = 0x11223344;
    img.word5 = 0x55667788;
    img.pre7 = 0x0A0B0C0D;
    img.app34 = 1234;
    img.stamp = 0x5A370001;
    img.layout = 0x0100;
    img.d8 = {9, 9, 9};
    img.d16 = {uint16_t(variant == "alloc17" ? 16 : 15), 15, uint16_t(variant == "change" ? 8 : 7)};
    img.d32 = {9, 9, 9};
    img.d64 = {3, 3, 3};
    img.time = {3, 3, 3};
    img.str = {2, 2, 2};
    img.string_sizes = {8};
    img.strbuf_min = 32;  // room for strings an on-line change adds
    img.init8 = {{2, 0x5A}};
    img.init16 = {{2, 1}, {5, 0xBEEF}, {6, 0x0600}};
    if (variant == "change") img.init16.push_back({8, 0x0777});
    img.init32 = {{2, 1}, {3, 0xFFFFFFFE}};
    img.init64 = {{1, 0x0102030405060708ull}};
    img.init_time = {{1, 86399999}};
    img.init_str = {{1, "AB"}};
    img.programs = {{{354, 1, 1, 2, 8, 1, 1, 2, 68}, 0}};
    if (variant == "change") img.programs = {{{354, 1, 1, 2, 8, 1, 1, 2, 267, 3, 0x0C0C, 68}, 0}};
    img.map_layout = 0x77;
    img.map_vars = {{11, 1, 1, 0, 0, 1, "Counter", {}},
                    {2, 1, 1, 0, 0, 1, "Total", {}},
                    {5, 1, 1, 8, 0, 1, "Label", {}},
                    {11, 5, 1, 0, 0, 1, "Const5", {}},
                    {11, 6, 1, 0, 77, 2, "", {}}};
    return img;
}

// The "STEPS" application of the on-line change black-box test: an INTEGRAL
// (instance 1; RUN BOOL 1, R1 BOOL 2 TRUE in the first cycle only, XIN REAL
// 1 = 1.0, X0 REAL 2 = 1e6, CYCLE TIME 1 = 0; Q BOOL 3, XOUT REAL 3), three
// instances allocated. The change adds an ISFCINITSTEP (instance 2; command
// DINT 4 = 9; running BOOL 4, T TIME 2, first cycle BOOL 5, active BOOL 6,
// last cycle BOOL 7) and an AVERAGEL (instance 3; RUN BOOL 8 = TRUE, XIN
// LREAL 1 = 2.5, N DINT 5; XOUT LREAL 2), all their variables new.
inline IecImage StepsImage(bool change) {
    IecImage img;
    img.name = "STEPS";
    img.stamp = 0x5A370101;
    img.layout = 0x0100;
    img.d8 = {10, uint16_t(change ? 8 : 3), uint16_t(change ? 8 : 3)};
    img.d16 = {3, 0, 0};
    img.d32 = {10, uint16_t(change ? 5 : 3), uint16_t(change ? 5 : 3)};
    img.d64 = {5, uint16_t(change ? 2 : 0), uint16_t(change ? 2 : 0)};
    img.time = {5, uint16_t(change ? 2 : 1), uint16_t(change ? 2 : 1)};
    img.init8 = {{1, 1}, {2, 1}};
    img.init32 = {{1, 0x3F800000}, {2, 0x49742400}};
    if (change) {
        img.init8.push_back({8, 1});
        img.init32.push_back({4, 9});
        img.init64 = {{1, 0x4004000000000000ull}};
    }
    img.classes = {{20, 1, "INTEGRAL"}, {42, 1, "ISFCINITSTEP"}, {43, 1, "AVERAGEL"}};
    img.instances = {{1, 20, 0}};
    if (change) img.instances.insert(img.instances.end(), {{1, 42, 0}, {1, 43, 0}});
    img.inst_alloc = 3;
    img.wished_inst_size = 1088;  // 8 + 16 + 1056 with each rounded up to 8
    img.programs = {{IecAsm(change ? "FB 1 7 1 2 1 2 1 3 3; RESET 2; FB 2 6 4 4 2 5 6 7; FB 3 4 8 1 5 2; END"
                                   : "FB 1 7 1 2 1 2 1 3 3; RESET 2; END"),
                     0}};
    return img;
}

// Complex-type definitions: INT; PT {x: INT at 0, xy: INT at 2}; ARR = 2-D
// array of PT (stored sizes 2, 3); LOOP {a: LOOP}.
inline std::vector<uint8_t> TypeDefs() {
    std::vector<uint8_t> d(4, 0);
    auto text = [&](const char *s) { AppendBytes(d, s, std::strlen(s) + 1); };
    auto u16 = [&](uint32_t v) {
        d.push_back(uint8_t(v));
        d.push_back(uint8_t(v >> 8));
    };
    auto u32 = [&](uint32_t v) {
        u16(v & 0xFFFF);
        u16(v >> 16);
    };
    text("INT"), d.push_back(1), d.push_back(11);                  // 4
    text("PT"), d.push_back(5), u16(2), u16(18);                   // 10
    text("x"), d.push_back(6), u16(4), u32(0);                     // 18
    text("xy"), d.push_back(6), u16(4), u32(2);                    // 27
    text("ARR"), d.push_back(3), u16(10), u32(4), u32(2), u32(3);  // 37
    text("LOOP"), d.push_back(5), u16(1), u16(66);                 // 56
    text("a"), d.push_back(6), u16(56), u32(0);                    // 66
    const uint32_t total = uint32_t(d.size());
    for (int i = 0; i < 4; i++) d[i] = uint8_t(total >> (8 * i));
    return d;
}

inline std::vector<uint8_t> Tail(uint32_t ct, uint32_t def) {
    std::vector<uint8_t> t(8);
    for (int i = 0; i < 4; i++) {
        t[i] = uint8_t(ct >> (8 * i));
        t[4 + i] = uint8_t(def >> (8 * i));
    }
    return t;
}

// The image of img (at least 10 extension words) with the complex-type
// definitions defs appended behind it and named by extension word 10.
inline std::vector<uint8_t> WithTypeDefs(const IecImage &img, const std::vector<uint8_t> &defs) {
    std::vector<uint8_t> b = img.Build();
    while (b.size() % 4) b.push_back(0);
    const uint32_t at = uint32_t(b.size());
    b.insert(b.end(), defs.begin(), defs.end());
    const uint32_t ext = b[40] | b[41] << 8 | b[42] << 16 | uint32_t(b[43]) << 24;
    IecImage::Put32(b, ext + 4 * 10, at);
    return b;
}

// An application with a variable of every type (each with status
// information), external INT arrays, an elementary array, a symbol with a
// dot, and complex variables S1 (ARR at CT offset 8) and Lp (LOOP at 40).
// defs: the complex-type definitions (default TypeDefs()).
inline std::vector<uint8_t> ValuesImage(const std::vector<uint8_t> *defs_in = nullptr, uint32_t map_stamp = 7) {
    IecImage img;
    img.stamp = 1;
    img.map_stamp = map_stamp;
    img.d8 = {9, 9, 9};
    img.d16 = {15, 15, 15};
    img.d32 = {9, 9, 9};
    img.d64 = {3, 3, 3};
    img.time = {3, 3, 3};
    img.str = {2, 2, 2};
    img.string_sizes = {8, 250};
    img.xv_high = 3;
    img.xv_used = 3;
    img.ct_alloc = 64;
    img.ct_used = 64;
    img.ext.assign(10, 0);
    img.map_flags = 0x200;
    const uint16_t V = 0x201;
    img.map_vars = {{1, 3, 1, 0, 0, V, "B", {}},
                    {10, 4, 1, 0, 0, V, "SI", {}},
                    {11, 7, 1, 0, 0, V, "I", {}},
                    {15, 8, 1, 0, 0, V, "U", {}},
                    {2, 4, 1, 0, 0, V, "D", {}},
                    {3, 5, 1, 0, 0, V, "R", {}},
                    {16, 6, 1, 0, 0, V, "UD", {}},
                    {4, 2, 1, 0, 0, V, "T", {}},
                    {12, 2, 1, 0, 0, V, "L", {}},
                    {13, 3, 1, 0, 0, V, "LR", {}},
                    {5, 1, 1, 8, 0, V, "S", {}},
                    {5, 2, 1, 250, 0, V, "S250", {}},
                    {0x8B, 1, 3, 0, 0, V, "X", {}},
                    {0x8B, 2, 3, 0, 0, V, "X2", {}},
                    {11, 9, 1, 0, 0, V, "P1.count", {}},
                    {11, 10, 3, 0, 0, V, "Arr", {}},
                    {127, 0, 1, 0, 0, 0x301, "S1", Tail(8, 37)},
                    {127, 0, 1, 0, 0, 0x301, "Lp", Tail(40, 56)}};
    // profile names: one NUL-terminated, one of all 16 bytes behind type information
    auto profile = [](std::vector<uint8_t> t, const char *p) {
        const size_t at = t.size();
        t.resize(at + 16, 0);
        std::memcpy(t.data() + at, p, std::min<size_t>(std::strlen(p), 16));
        return t;
    };
    img.map_vars.push_back({2, 7, 1, 0, 0, V | 0x8, "Prof", profile({}, "MotorProfile")});
    img.map_vars.push_back({127, 0, 1, 0, 0, 0x309, "SP", profile(Tail(8, 37), "ABCDEFGHIJKLMNOP")});
    return WithTypeDefs(img, defs_in ? *defs_in : TypeDefs());
}

}  // namespace test_support
