// Rung builder of the ladder tests: each rung starts from a contact that is on
// or off, lets the test emit its instructions, stores the value left on the
// value stack (16 or 32 bits) into its own %R and the power into its own %Q,
// and remembers what the test expects there.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "tests/ladder/lad_fixture.h"

struct LadRungs {
    LadAsm a;
    struct Want {
        std::string what;
        uint32_t out;  // %R out (and %R out + 1) and %Q out
        int width;     // 16, 32, or 0 when no value is stored
        uint32_t value;
        bool power;
    };
    std::vector<Want> want;
    uint32_t next = 1;

    explicit LadRungs(bool layout16) : a(layout16) {}

    // One rung: contact on or off, body, then the store of width bits (0: none).
    void rung(const std::string &what, bool on, const std::function<void(LadAsm &)> &body, int width, uint32_t value,
              bool power) {
        const uint32_t out = next;
        next += 2;
        a.contact(on ? LT_ON : LT_OFF);
        body(a);
        if (width == 16) a.op(82).reg(la::R(out));
        if (width == 32) a.op(85).reg(la::R(out));
        a.coil(la::Q(out));
        want.push_back({what, out, width, value, power});
    }
    // Checks every rung after the program ran.
    void check() const {
        for (const Want &w : want) {
            if (w.width == 16) {
                EXPECT_EQ(LT_W(la::R(w.out)), w.value) << w.what;
            } else if (w.width == 32) {
                EXPECT_EQ(LT_D(la::R(w.out)), w.value) << w.what;
            }
            EXPECT_EQ(LT_Bit(la::Q(w.out)), w.power) << w.what << " (power)";
        }
    }
};

// Pushes of constants.
inline std::function<void(LadAsm &)> Push16(std::initializer_list<uint16_t> v, uint16_t op) {
    std::vector<uint16_t> vals(v);
    return [vals, op](LadAsm &a) {
        for (uint16_t x : vals) a.op(81).word(x);
        a.op(op);
    };
}
inline std::function<void(LadAsm &)> Push32(std::initializer_list<uint32_t> v, uint16_t op) {
    std::vector<uint32_t> vals(v);
    return [vals, op](LadAsm &a) {
        for (uint32_t x : vals) a.op(84).dword(x);
        a.op(op);
    };
}
