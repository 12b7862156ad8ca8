// The "VMS" application of the VM-request tests, benchmarks, fuzz targets and
// black-box tests, with its on-line change variants. It counts INT 1 += INT 2
// (lock-tested) and DINT 1 += DINT 2 each cycle.
#pragma once

#include <string>

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

}  // namespace test_support
