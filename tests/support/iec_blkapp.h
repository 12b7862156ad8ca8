// The large block application of the black-box test and the cycle benchmark:
// about 150 instances of the controller's own blocks (timers, counters, ANY
// arithmetic, bit and array moves, text conversions, PID set-up and steps,
// schedules, scaling, screens, ALARM, CANopen and network, file blocks) in
// one program, with a location table that binds every result to %AQ and the
// run, reset and pulse inputs to %I.
//
// BlkApp_Build() gives the program data the controller downloads and the
// names of the results in %AQ order ("name aq-number" lines); the expected
// values live in the test, not here. Arrays that blocks move in place are
// set again by constant opcodes at the top of every cycle, so each cycle
// starts from the same values.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tests/support/iec_asm.h"
#include "tests/support/iec_image.h"

namespace test_support {

// Pieces joined into one string (appends only: GCC 12 -O3 warns falsely on
// chains of operator+).
inline std::string Cat(std::initializer_list<std::string_view> parts) {
    std::string s;
    for (std::string_view p : parts) s.append(p);
    return s;
}
inline std::string N(uint64_t v) { return std::to_string(v); }

struct BlkApp {
    enum : uint16_t { BOOL_ = 1, DINT_ = 2, REAL_ = 3, STRING_ = 5, INT_ = 11, LINT_ = 12, LREAL_ = 13 };
    IecImage img;
    std::string reinit, code;
    std::vector<std::pair<std::string, uint32_t>> outs;  // result name, %AQ number
    std::vector<uint32_t> loc = std::vector<uint32_t>(6464, 0);
    uint16_t n8 = 0, n16 = 0, n32 = 0, n64 = 0, nstr = 0, ninst = 0;
    std::map<std::string, uint16_t> classes;
    std::map<int32_t, uint16_t> c16, c32;

    static uint32_t Bits(float f) {
        uint32_t b;
        std::memcpy(&b, &f, 4);
        return b;
    }
    // A BOOL with a zero pad byte behind it, so that a word bound to it reads 0 or 1.
    uint16_t Bool(uint8_t v = 0) {
        const uint16_t i = uint16_t(n8 + 1);
        n8 = uint16_t(n8 + 2);
        if (v) img.init8.push_back({i, v});
        return i;
    }
    // n bytes (an even count reserved) filled with fill.
    uint16_t Bytes(uint16_t n, uint8_t fill, const std::string &text = "") {
        const uint16_t i = uint16_t(n8 + 1);
        n8 = uint16_t(n8 + (n + 1) / 2 * 2);
        for (uint16_t k = 0; k < n; k++) {
            const uint8_t v = k < text.size() ? uint8_t(text[k]) : k == text.size() && !text.empty() ? 0 : fill;
            if (v) img.init8.push_back({uint16_t(i + k), v});
        }
        return i;
    }
    uint16_t Int(int32_t v = 0) {
        const uint16_t i = ++n16;
        if (v) img.init16.push_back({i, uint16_t(v)});
        return i;
    }
    uint16_t Ints(const std::vector<int32_t> &v) {
        const uint16_t first = uint16_t(n16 + 1);
        for (int32_t x : v) Int(x);
        return first;
    }
    uint16_t Dint(uint32_t v = 0) {
        const uint16_t i = ++n32;
        if (v) img.init32.push_back({i, v});
        return i;
    }
    uint16_t Real(float f) { return Dint(Bits(f)); }
    uint16_t Lreal(double d) {
        const uint16_t i = ++n64;
        uint64_t b;
        std::memcpy(&b, &d, 8);
        img.init64.push_back({i, b});
        return i;
    }
    uint16_t Str(const std::string &text, uint8_t size = 16) {
        const uint16_t i = ++nstr;
        img.string_sizes.push_back(size);
        if (!text.empty()) img.init_str.push_back({i, text});
        return i;
    }
    // Read-only constants shared by the calls.
    uint16_t CI(int32_t v) {
        auto it = c16.find(v);
        return it != c16.end() ? it->second : (c16[v] = Int(v));
    }
    uint16_t CD(int32_t v) {
        auto it = c32.find(v);
        return it != c32.end() ? it->second : (c32[v] = Dint(uint32_t(v)));
    }
    // Set again at the top of every cycle.
    uint16_t IntsEachCycle(const std::vector<int32_t> &v) {
        const uint16_t first = Ints(v);
        for (size_t k = 0; k < v.size(); k++) reinit += Cat({"CONST16 ", N(first + k), " ", N(uint16_t(v[k])), ";"});
        return first;
    }
    uint16_t DintsEachCycle(const std::vector<uint32_t> &v) {
        const uint16_t first = uint16_t(n32 + 1);
        for (uint32_t x : v) Dint(x);
        for (size_t k = 0; k < v.size(); k++) reinit += Cat({"CONST32 ", N(first + k), " #", N(v[k]), ";"});
        return first;
    }

    void Fb(const std::string &name, const std::vector<uint16_t> &ops) {
        auto it = classes.find(name);
        const uint16_t cls = it != classes.end() ? it->second : (classes[name] = uint16_t(5 + classes.size()));
        if (it == classes.end()) img.classes.push_back({cls, 1, name});
        img.instances.push_back({0, cls, 0});
        code += Cat({"FB ", N(++ninst), " ", N(ops.size())});
        for (uint16_t op : ops) code += Cat({" ", N(op)});
        code += ";";
    }

    // Results: kind 0 the bytes idx, idx + 1; 1 an INT; 2 a DINT's low word.
    void Out(const std::string &name, uint32_t kind, uint16_t idx) {
        outs.push_back({name, uint32_t(outs.size() + 1)});
        loc[5952 + outs.size() - 1] = kind << 26 | idx;
    }
    void OutB(const std::string &name, uint16_t idx) { Out(name, 0, idx); }
    void OutI(const std::string &name, uint16_t idx) { Out(name, 1, idx); }
    // A DINT or REAL as two words: low, and high through SHR by 16.
    void OutD(const std::string &name, uint16_t idx) {
        Out(Cat({name, ".lo"}), 2, idx);
        const uint16_t hi = Dint();
        Fb("SHR", {DINT_, idx, CD(16), hi});
        Out(Cat({name, ".hi"}), 2, hi);
    }
    void OutBytes(const std::string &name, uint16_t idx, uint16_t n) {
        for (uint16_t k = 0; k < n; k += 2) Out(Cat({name, ".", N(k / 2)}), 0, uint16_t(idx + k));
    }
    // A STRING result as its length and its CRC-16 (both blocks too).
    void OutS(const std::string &name, uint16_t s) {
        const uint16_t len = Int(), crc = Dint();
        Fb("STRINGLEN", {s, len});
        Fb("CRC16", {s, crc});
        OutI(Cat({name, ".len"}), len);
        Out(Cat({name, ".crc"}), 2, crc);
    }
    // %I number k (from 1) into a BOOL; %AI number k into an INT.
    uint16_t InI(uint32_t k) {
        const uint16_t b = Bool();
        loc[1344 + k - 1] = b;
        return b;
    }

    // The code image's sizing and program.
    IecImage &Image() {
        img.name = "BLK150";
        img.d8 = {n8, n8, 0};
        img.d16 = {n16, n16, 0};
        img.d32 = {n32, n32, 0};
        img.d64 = {uint16_t(n64 + 1), uint16_t(n64 + 1), 0};
        img.str = {nstr, nstr, 0};
        img.programs = {{IecAsm(Cat({reinit, code, "END"})), 0}};
        return img;
    }
    // Program data: the wrapped code image and the location table.
    std::vector<uint8_t> ProgramData() {
        std::vector<uint8_t> out = Image().ProgramData();
        for (uint32_t v : loc)
            for (int i = 0; i < 4; i++) out.push_back(uint8_t(v >> (8 * i)));
        return out;
    }
};

// The application. Inputs: %I1 run (counter and timer inputs), %I2 ALARM
// acknowledge, %I3 ALARM clear, %I4 counter reset, %I5 first WRITE_CF
// enable, %I6 READ_CF enable, %I7 second WRITE_CF enable, %I8 TONR input.
inline BlkApp BlkApp_Make() {
    BlkApp a;
    using B = BlkApp;
    const uint16_t run = a.InI(1), ack = a.InI(2), clr = a.InI(3), rst = a.InI(4), wr1 = a.InI(5), rd = a.InI(6),
                   wr2 = a.InI(7), tonr_in = a.InI(8);
    const uint16_t off = a.Bool(0), on = a.Bool(1);

    // ---- counters and timers
    {
        uint16_t q = a.Bool(), cv = a.Int();
        a.Fb("CTU", {run, rst, a.CI(5), q, cv});
        a.OutI("ctu.cv", cv), a.OutB("ctu.q", q);
        q = a.Bool(), cv = a.Int();
        a.Fb("CTD", {run, off, a.CI(5), q, cv});
        a.OutI("ctd.cv", cv), a.OutB("ctd.q", q);
        q = a.Bool(), cv = a.Int();
        a.Fb("TON100MS", {run, a.CI(5), q, cv});
        a.OutI("ton100ms.et", cv), a.OutB("ton100ms.q", q);
        q = a.Bool(), cv = a.Dint();
        a.Fb("TON1MS32", {run, a.CD(3), q, cv});
        a.Out("ton1ms32.et", 2, cv), a.OutB("ton1ms32.q", q);
        q = a.Bool(), cv = a.Int();
        a.Fb("TOF1S", {off, a.CI(600), q, cv});
        a.OutI("tof1s.et", cv), a.OutB("tof1s.q", q);
        q = a.Bool(), cv = a.Int();
        a.Fb("TON10MS", {run, a.CI(30000), q, cv});
        a.OutI("ton10ms.et", cv), a.OutB("ton10ms.q", q);
        q = a.Bool(), cv = a.Int();
        a.Fb("TONR100MS", {tonr_in, off, a.CI(30000), q, cv});
        a.OutI("tonr100ms.et", cv);
        // every other unit and width, PT 2: all done once run has been held
        const char *more[] = {"TON1MS", "TON10MS32", "TON100MS32", "TON1S32", "TONR1MS", "TONR10MS32"};
        for (const char *name : more) {
            const bool wide = std::strstr(name, "32") != nullptr;
            const bool tonr = std::strncmp(name, "TONR", 4) == 0;
            q = a.Bool(), cv = wide ? a.Dint() : a.Int();
            const uint16_t pt = wide ? a.CD(2) : a.CI(2);
            if (tonr)
                a.Fb(name, {run, off, pt, q, cv});
            else
                a.Fb(name, {run, pt, q, cv});
            a.OutB(Cat({name, ".q"}), q);
        }
        // off delays with IN 0 from the start: Q 1 while they run
        for (const char *name : {"TOF1MS32", "TOF10MS", "TOF100MS32"}) {
            const bool wide = std::strstr(name, "32") != nullptr;
            q = a.Bool(), cv = wide ? a.Dint() : a.Int();
            a.Fb(name, {off, wide ? a.CD(30000) : a.CI(30000), q, cv});
            a.OutB(Cat({name, ".q"}), q);
        }
    }

    // ---- ANY arithmetic, masks, shifts, limits
    {
        struct Any {
            const char *label, *name;
            uint16_t type;
            std::vector<uint32_t> in;
        };
        const Any rows[] = {
            {"mod.dint", "MOD", B::DINT_, {uint32_t(-7), 2}},
            {"mod.dint0", "MOD", B::DINT_, {uint32_t(-7), 0}},
            {"mod.int", "MOD", B::INT_, {7, uint32_t(-3)}},
            {"sqrt.int17", "SQRT", B::INT_, {17}},
            {"sqrt.intneg", "SQRT", B::INT_, {uint32_t(-4)}},
            {"sqrt.real", "SQRT", B::REAL_, {B::Bits(2.25f)}},
            {"abs.int", "ABS", B::INT_, {uint32_t(-5)}},
            {"abs.intmin", "ABS", B::INT_, {0x8000}},
            {"abs.real", "ABS", B::REAL_, {B::Bits(-2.5f)}},
            {"shl.int4", "SHL", B::INT_, {0x1234, 4}},
            {"shl.int16", "SHL", B::INT_, {0x1234, 16}},
            {"shl.dint33", "SHL", B::DINT_, {1, 33}},
            {"shr.dint31", "SHR", B::DINT_, {0x80000000u, 31}},
            {"rol.int", "ROL", B::INT_, {0x8001, 1}},
            {"ror.dint33", "ROR", B::DINT_, {1, 33}},
            {"notmask.int", "NOT_MASK", B::INT_, {0x00FF}},
            {"andmask.int", "AND_MASK", B::INT_, {0xF0F0, 0x3C3C}},
            {"ormask.int", "OR_MASK", B::INT_, {0xF0F0, 0x3C3C}},
            {"xormask.dint", "XOR_MASK", B::DINT_, {0x0F0F0F0F, 0xFFFF0000u}},
        };
        for (const Any &r : rows) {
            std::vector<uint16_t> ops{r.type};
            const bool wide = r.type != B::INT_;
            for (uint32_t v : r.in) ops.push_back(wide ? a.Dint(v) : a.Int(int32_t(v)));
            const uint16_t out = wide ? a.Dint(0x5A5A5A5A) : a.Int(0x5A5A);
            ops.push_back(out);
            a.Fb(r.name, ops);
            if (wide)
                a.OutD(r.label, out);
            else
                a.OutI(r.label, out);
        }
        // NOT_MASK BOOL 1 -> 0
        uint16_t q = a.Bool(1);
        a.Fb("NOT_MASK", {B::BOOL_, on, q});
        a.OutB("notmask.bool", q);
        // SEL G 1 (10, 20) -> 20
        const uint16_t sel = a.Int();
        a.Fb("SEL", {B::INT_, on, a.CI(10), a.CI(20), sel});
        a.OutI("sel.int", sel);
        // LIM INT (MN, IN, MX)
        const int32_t lims[4][3] = {{10, 5, 2}, {10, 11, 2}, {2, 2, 10}, {2, 11, 10}};
        for (int k = 0; k < 4; k++) {
            q = a.Bool(1);
            a.Fb("LIM", {B::INT_, a.CI(lims[k][0]), a.CI(lims[k][1]), a.CI(lims[k][2]), q});
            a.OutB(Cat({"lim.", N(k)}), q);
        }
    }

    // ---- bits and arrays (moved in place: set again every cycle)
    {
        const uint16_t t = a.IntsEachCycle({0, 1});
        for (int bit : {17, 1}) {
            const uint16_t q = a.Bool(1);
            a.Fb("BITTEST", {t, 2, 4, a.CI(bit), q});
            a.OutB(Cat({"bittest.", N(bit)}), q);
        }
        const uint16_t s = a.IntsEachCycle({0, 0}), sq = a.Bool();
        a.Fb("BITSET", {s, 2, 4, a.CI(3), sq});
        a.OutI("bitset.w0", s), a.OutB("bitset.q", sq);
        const uint16_t c = a.IntsEachCycle({0xFFFF}), cq = a.Bool();
        a.Fb("BITCLEAR", {c, 1, 2, a.CI(16), cq});
        a.OutI("bitclear16.w0", c), a.OutB("bitclear16.q", cq);
        const uint16_t c0 = a.IntsEachCycle({0xFFFF}), c0q = a.Bool(1);
        a.Fb("BITCLEAR", {c0, 1, 2, a.CI(0), c0q});
        a.OutI("bitclear0.w0", c0), a.OutB("bitclear0.q", c0q);
        // MVB INT [7,8,9] count 2
        const uint16_t src = a.Ints({7, 8, 9}), dst = a.IntsEachCycle({0, 0, 0});
        a.Fb("MVB", {B::INT_, src, 3, dst, 3, a.CI(2)});
        for (int k = 0; k < 3; k++) a.OutI(Cat({"mvb.", N(k)}), uint16_t(dst + k));
        // FILL DINT 16#1234 count 2
        const uint16_t f = a.DintsEachCycle({0, 0, 0});
        a.Fb("FILL", {B::DINT_, a.CI(0x1234), f, 3, a.CI(2)});
        for (int k = 0; k < 3; k++) a.OutD(Cat({"fill.", N(k)}), uint16_t(f + k));
        // MULTISHIFT / MULTIROT over [1,2,3,4]: count, length, direction, fill
        struct Shift {
            const char *label, *name;
            int32_t count, length;
            uint8_t dir;
            int32_t fill;
        };
        const Shift shifts[] = {
            {"mshift.up2", "MULTISHIFT", 2, 4, 1, 0},    {"mshift.down1", "MULTISHIFT", 1, 4, 0, 9},
            {"mshift.count5", "MULTISHIFT", 5, 4, 0, 9}, {"mshift.len5", "MULTISHIFT", 1, 5, 0, 9},
            {"mrot.1dir0", "MULTIROT", 1, 4, 0, 0},      {"mrot.2dir1", "MULTIROT", 2, 4, 1, 0},
        };
        for (const Shift &sh : shifts) {
            const uint16_t arr = a.IntsEachCycle({1, 2, 3, 4});
            const bool shift = std::strcmp(sh.name, "MULTISHIFT") == 0;
            if (shift) {
                const uint16_t out = a.IntsEachCycle({0x55});
                a.Fb(sh.name,
                     {B::INT_, a.CI(sh.count), arr, 4, a.CD(sh.length), sh.dir ? on : off, a.CI(sh.fill), out});
                a.OutI(Cat({sh.label, ".out"}), out);
            } else {
                a.Fb(sh.name, {B::INT_, a.CI(sh.count), arr, 4, a.CD(sh.length), sh.dir ? on : off});
            }
            for (int k = 0; k < 4; k++) a.OutI(Cat({sh.label, ".", N(k)}), uint16_t(arr + k));
        }
    }

    // ---- number to text (arrays of 16 bytes filled with 16#EE)
    {
        struct Num {
            const char *label, *name;
            uint32_t value;
            int32_t dec, width;
            uint8_t zeros;
        };
        const Num nums[] = {
            {"i2a.5", "INTTOASCII", 5, 2, 6, 0},
            {"i2a.1234", "INTTOASCII", 1234, 2, 6, 0},
            {"i2a.12345", "INTTOASCII", 12345, 0, 3, 0},
            {"i2a.42", "INTTOASCII", 42, 0, 5, 1},
            {"d2a.123456", "DINTTOASCII", 123456, 3, 8, 0},
            {"r2a.0.5", "REALTOASCII", B::Bits(0.5f), 1, 3, 0},
        };
        for (const Num &n : nums) {
            const bool in16 = std::strcmp(n.name, "INTTOASCII") == 0;
            const uint16_t v = in16 ? a.Int(int32_t(n.value)) : a.Dint(n.value);
            const uint16_t arr = a.Bytes(16, 0xEE), ok = a.Bool();
            a.Fb(n.name, {v, arr, 16, a.CI(n.dec), a.CI(n.width), n.zeros ? on : off, ok});
            a.OutBytes(n.label, arr, 10);
            a.OutB(Cat({n.label, ".ok"}), ok);
        }
        // a width past the array: cut to its size (4 bytes), the rest untouched
        const uint16_t v = a.Int(12345), arr = a.Bytes(6, 0xEE), ok = a.Bool();
        a.Fb("INTTOASCII", {v, arr, 4, a.CI(0), a.CI(8), off, ok});
        a.OutBytes("i2a.cut", arr, 6);
    }

    // ---- text to number, comparisons, strings
    {
        struct Parse {
            const char *label, *name, *text;
        };
        const Parse parses[] = {{"a2i.-123", "ASCIITOINT", "  -123x"},
                                {"a2i.abc", "ASCIITOINT", "abc"},
                                {"a2d.70000", "ASCIITODINT", "70000"},
                                {"a2r.2.5", "ASCIITOREAL", "2.5"}};
        for (const Parse &p : parses) {
            const uint16_t arr = a.Bytes(16, 0, p.text);
            if (std::strcmp(p.name, "ASCIITOINT") == 0) {
                const uint16_t out = a.Int(0x5A5A);
                a.Fb(p.name, {arr, 16, out});
                a.OutI(p.label, out);
            } else {
                const uint16_t out = a.Dint(0x5A5A5A5A);
                a.Fb(p.name, {arr, 16, out});
                a.OutD(p.label, out);
            }
        }
        const uint16_t abc = a.Bytes(4, 0, "ABC");
        for (const char *s : {"ABCD", "ABC"}) {
            const uint16_t q = a.Bool(1);
            a.Fb("CMPSTRINGCONST", {abc, 4, a.Str(s), q});
            a.OutB(Cat({"cmpconst.", s}), q);
        }
        const uint16_t x = a.Bytes(4, 0, "ABCX"), y = a.Bytes(4, 0, "ABCY");
        for (int len : {3, 4}) {
            const uint16_t q = a.Bool(1);
            a.Fb("CMPSTRINGVAR", {x, 4, y, 4, a.CI(len), q});
            a.OutB(Cat({"cmpvar.", N(len)}), q);
        }
        const uint16_t hello = a.Str("HELLO"), len = a.Int();
        a.Fb("STRINGLEN", {hello, len});
        a.OutI("stringlen", len);
        const uint16_t lena = a.Int();
        a.Fb("STRINGLENA", {abc, lena});
        a.OutI("stringlena", lena);
        uint16_t arr = a.Bytes(8, 0xEE), done = a.Bool();
        a.Fb("SETSTRING", {hello, arr, 8, done});
        a.OutBytes("setstring", arr, 8);
        a.OutB("setstring.done", done);
        arr = a.Bytes(4, 0xEE), done = a.Bool();
        a.Fb("SETSTRING", {hello, arr, 3, done});
        a.OutBytes("setstring3", arr, 4);
        const uint16_t cat = a.Str("", 16);
        a.Fb("STRINGCONCAT", {a.Str("AB"), a.Str("CD"), cat});
        a.OutS("concat", cat);
        const uint16_t left = a.Str("", 16), right = a.Str("", 16);
        a.Fb("STRINGLEFT", {hello, a.CD(2), left});
        a.OutS("left", left);
        a.Fb("STRINGRIGHT", {hello, a.CD(2), right});
        a.OutS("right", right);
        const uint16_t hex = a.Str("", 16);
        a.Fb("HEXTOASCII", {a.CD(0xABCD), hex});
        a.OutS("hextoascii", hex);
        const uint16_t h = a.Dint();
        a.Fb("ASCIITOHEX", {a.Str("1aFz"), h});
        a.OutD("asciitohex", h);
        const uint16_t crc = a.Dint();
        a.Fb("CRC16", {a.Str("123456789"), crc});
        a.Out("crc16", 2, crc);
        const uint16_t at = a.Dint();
        a.Fb("STRINGFIND", {hello, a.Str("LL"), at});
        a.Out("stringfind", 2, at);
        const uint16_t rad = a.Dint(), deg = a.Dint();
        a.Fb("DEGTORAD", {a.Real(180.0f), rad});
        a.OutD("degtorad", rad);
        a.Fb("RADTODEG", {rad, deg});
        a.OutD("radtodeg", deg);
    }

    // ---- PID register blocks (16 words each, 16#AAAA before)
    {
        const std::vector<int32_t> aaaa(16, 0xAAAA);
        const uint16_t blk = a.Ints(aaaa);
        std::vector<uint16_t> ops{blk};
        for (int32_t v : {100, 5, 6, 2, 1, 3, -100, 1000, -1000, 50}) ops.push_back(a.CI(v));
        for (uint16_t b : {on, off, on, off}) ops.push_back(b);
        a.Fb("SETPID", ops);
        for (int k = 0; k < 16; k++) a.OutI(Cat({"setpid.", N(k)}), uint16_t(blk + k));
        const uint16_t bad = a.Ints(aaaa);
        ops = {bad};
        for (int32_t v : {-1, -1, 32001, 400, 328, 33, 32001, -32001, 32001, 32001}) ops.push_back(a.CI(v));
        for (uint16_t b : {off, on, off, on}) ops.push_back(b);
        a.Fb("SETPID", ops);
        for (int k = 0; k < 11; k++) a.OutI(Cat({"setpidbad.", N(k)}), uint16_t(bad + k));
        // SETPID_R scale 10.0: REAL gain, derivative, integral, bias, clamps
        const uint16_t r = a.Ints(aaaa);
        ops = {r, a.CI(100), a.CI(5), a.CI(6)};
        for (float v : {2.5f, 0.25f, 0.5f, 50.0f, 1000.0f, -1000.0f}) ops.push_back(a.Real(v));
        ops.push_back(a.CI(50));
        for (uint16_t b : {off, off, off, off}) ops.push_back(b);
        ops.push_back(a.Real(10.0f));
        a.Fb("SETPID_R", ops);
        for (int k = 3; k < 9; k++) a.OutI(Cat({"setpidr.", N(k)}), uint16_t(r + k));
        // SETPID_R gain 65.536 does not fit 16 bits as thousandths: 0
        const uint16_t r2 = a.Ints(aaaa);
        ops = {r2, a.CI(100), a.CI(5), a.CI(6)};
        for (float v : {65.536f, 65.0f, 0.5f, 50.0f, 1000.0f, -1000.0f}) ops.push_back(a.Real(v));
        ops.push_back(a.CI(50));
        for (uint16_t b : {off, off, off, off}) ops.push_back(b);
        ops.push_back(a.Real(10.0f));
        a.Fb("SETPID_R", ops);
        a.OutI("setpidr65.3", uint16_t(r2 + 3));
        a.OutI("setpidr65.4", uint16_t(r2 + 4));
        // manual output into word 11, the final output from word 14
        std::vector<int32_t> man(16, 0);
        man[14] = 777;
        const uint16_t m = a.Ints(man), mdone = a.Bool(), got = a.Int();
        a.Fb("SETPIDMAN", {m, a.CI(250), mdone});
        a.Fb("GETPIDMAN", {m, got});
        a.OutI("setpidman.w11", uint16_t(m + 11)), a.OutB("setpidman.done", mdone), a.OutI("getpidman", got);
        // three step blocks on loops of their own
        for (const char *name : {"PID_IND", "PID_ISA", "PID_IND"}) {
            std::vector<int32_t> w(16, 0);
            w[0] = 100, w[3] = 1000, w[7] = 1000, w[8] = uint16_t(-1000);
            const uint16_t loop = a.Ints(w), out = a.Int();
            a.Fb(name, {loop, a.CI(500), a.CI(400), off, off, off, out});
        }
    }

    // ---- schedules, scaling, screens, ALARM, texts
    {
        struct Sched {
            const char *label, *name;
            bool wide;
            uint32_t mask;
        };
        const Sched scheds[] = {
            {"year.2000", "STARTENDYEAR", true, 2000u | 2100u << 16},
            {"year.1999", "STARTENDYEAR", true, 1999u | 2100u << 16},
            {"dow.127", "DAYSOFWEEK", false, 127},
            {"dow.128", "DAYSOFWEEK", false, 128},
            {"moy.4095", "MONTHSOFYEAR", false, 4095},
            {"moy.4096", "MONTHSOFYEAR", false, 4096},
            {"dom.7fff", "DAYSOFMONTH", true, 0x7FFFFFFF},
            {"dom.8000", "DAYSOFMONTH", true, 0x80000000u},
        };
        for (const Sched &s : scheds) {
            const uint16_t q = a.Bool(1);
            a.Fb(s.name, {s.wide ? a.Dint(s.mask) : a.Int(int32_t(s.mask)), q});
            a.OutB(s.label, q);
        }
        const uint16_t tod = a.Bool(1);
        a.Fb("TIMEOFDAY", {a.CI(8), a.CI(0), a.CI(8), a.CI(0), tod});
        a.OutB("timeofday.8-8", tod);
        const int32_t scales[3][5] = {{5, 0, 0, 0, 10}, {25, 0, 100, 100, 200}, {300, 0, 10, 0, 30000}};
        for (int k = 0; k < 3; k++) {
            const uint16_t out = a.Int();
            std::vector<uint16_t> ops;
            for (int32_t v : scales[k]) ops.push_back(a.CI(v));
            ops.push_back(out);
            a.Fb("SCALEINT", ops);
            a.OutI(Cat({"scaleint.", N(k)}), out);
        }
        std::vector<uint16_t> ops;
        for (float v : {5.0f, 0.0f, 10.0f, 100.0f, 200.0f}) ops.push_back(a.Real(v));
        const uint16_t sr = a.Dint();
        ops.push_back(sr);
        a.Fb("SCALEREAL", ops);
        a.OutD("scalereal", sr);
        // CHANGESCREEN 7 before the ALARM forces its screen
        const uint16_t cur = a.Dint();
        a.Fb("CHANGESCREEN", {a.CD(7), cur});
        a.Out("changescreen", 2, cur);
        // ALARM [16#100, 0, 16#100], first screen 10, count 3
        const uint16_t al = a.Ints({0x100, 0, 0x100});
        a.Fb("ALARM", {al, 3, off, off, clr, ack, a.CD(10), a.CD(3)});
        for (int k = 0; k < 3; k++) a.OutI(Cat({"alarm.", N(k)}), uint16_t(al + k));
        // TEXTTABLE of a program without tables: ""
        const uint16_t txt = a.Str("XYZ", 8);
        a.Fb("TEXTTABLE", {a.CI(1), a.CI(5), txt});
        a.OutS("texttable", txt);
        // SUNPOS at noon on 21.06.2026, 48 N 11 E (latitude first)
        const uint16_t el = a.Lreal(0), az = a.Lreal(0);
        a.Fb("SUNPOS",
             {a.CI(2026), a.CI(6), a.CI(21), a.CI(12), a.CI(0), a.CI(0), a.Lreal(48.0), a.Lreal(11.0), el, az});
    }

    // ---- CANopen and network
    {
        const uint16_t ex0 = a.Bool(0), id0 = a.Int(0x7777);
        a.Fb("CANOPENGETLOCID", {ex0, id0});
        a.OutI("getlocid0.out", id0), a.OutB("getlocid0.exec", ex0);
        const uint16_t ex1 = a.Bool(1), id1 = a.Int(0x7777);
        a.Fb("CANOPENGETLOCID", {ex1, id1});
        a.OutB("getlocid1.exec", ex1);
        const uint16_t sx = a.Bool(1), req = a.Ints({0x1111, 0x1111}),
                       res = a.Ints({0x2222, 0x2222, 0x2222, 0x2222, 0x2222});
        a.Fb("CANOPENSDOREAD", {sx, req, 2, res, 5});
        a.OutB("sdoread.exec", sx), a.OutI("sdoread.req0", req), a.OutI("sdoread.res0", res);
        // CANOPENSDOWRITE of 2 bytes to the own SYNC period, request and
        // execute set again every cycle, an INT 16#5555 behind each array;
        // then a length of 4 with a 3-element result array.
        const uint16_t wx = a.Bool(), wreq = a.IntsEachCycle({0, 0x1006, 0, 255, 0x5555}), wnb = a.Int(0x5555),
                       wres = a.Ints({0x5555, 2, 0x2345}), wnb2 = a.Int(0x5555);
        a.reinit += Cat({"CONST8 ", N(wx), " 1;"});
        a.Fb("CANOPENSDOWRITE", {wx, wreq, 5, wres, 3});
        a.OutB("sdowrite.exec", wx), a.OutI("sdowrite.status", uint16_t(wreq + 3));
        a.OutI("sdowrite.abort", uint16_t(wreq + 4)), a.OutI("sdowrite.behind", wnb);
        a.OutI("sdowrite.res0", wres), a.OutI("sdowrite.behindres", wnb2);
        const uint16_t lx = a.Bool(), lreq = a.IntsEachCycle({0, 0x1006, 0, 255, 0x5555, 0x5555}),
                       lres = a.Ints({0x5555, 4, 0x2345}), lnb = a.Int(0x0001);
        a.reinit += Cat({"CONST8 ", N(lx), " 1;"});
        a.Fb("CANOPENSDOWRITE", {lx, lreq, 6, lres, 3});
        a.OutB("sdowritelong.exec", lx), a.OutI("sdowritelong.status", uint16_t(lreq + 3));
        a.OutI("sdowritelong.abort0", uint16_t(lreq + 4)), a.OutI("sdowritelong.abort1", uint16_t(lreq + 5));
        a.OutI("sdowritelong.behind", lnb);
        const uint16_t hq = a.Bool(1), hs = a.Int(9);
        a.Fb("NETGETHB", {on, a.CI(7), a.CI(1000), hq, hs});
        a.OutB("netgethb.q", hq), a.OutI("netgethb.status", hs);
        const uint16_t pq = a.Bool(), ps = a.Int(9);
        a.Fb("NETPUTHB", {on, a.CI(5), a.CI(1000), pq, ps});
        a.OutI("netputhb.status", ps);
        const uint16_t pq2 = a.Bool(), ps2 = a.Int(9);
        a.Fb("NETPUTHB", {on, a.CI(5), a.CI(1001), pq2, ps2});
    }

    // ---- file blocks on A:
    {
        const uint16_t data = a.Ints({10, -20, 30, 40}), path = a.Str("A:\\OUT\\B1.CSV", 32),
                       path2 = a.Str("A:\\OUT\\C1.CSV", 32), empty = a.Str("", 8);
        const uint16_t st1 = a.Dint(0x5A5A), st2 = a.Dint(0x5A5A), st3 = a.Dint(0x5A5A), st4 = a.Dint(0x5A5A),
                       st5 = a.Dint(0x5A5A);
        // type, enable, mode (replace), element format (signed 16-bit decimal), name, data, size, count,
        // per line, formatted, line break, status
        a.Fb("WRITE_CF", {B::INT_, wr1, a.CD(3), a.CD(5), path, data, 4, a.CI(3), a.CI(3), a.CD(1), on, st1});
        a.Fb("WRITE_CF", {B::INT_, wr2, a.CD(3), a.CD(5), path2, data, 4, a.CI(3), a.CI(3), a.CD(1), on, st2});
        const uint16_t back = a.Ints({0, 0, 0, 0});
        // type, enable, element format, name, first field, count, data, size, formatted, status
        a.Fb("READ_CF", {B::INT_, rd, a.CD(5), path, a.CD(0), a.CI(3), back, 4, a.CD(1), st3});
        a.Fb("DELETE_CF", {on, empty, st4});
        a.Fb("COPY_CF", {on, path, empty, st5});
        a.OutD("write1.status", st1);
        a.OutD("write2.status", st2);
        a.OutD("read.status", st3);
        for (int k = 0; k < 3; k++) a.OutI(Cat({"read.", N(k)}), uint16_t(back + k));
        a.Out("delete.status", 2, st4);
        a.Out("copy.status", 2, st5);
    }
    // cycles: INT counting up, low word on %AQ (the test's cycle-rate figure)
    const uint16_t cycles = a.Int(), one = a.CI(1);
    a.code += Cat({"ADD16 ", N(cycles), " ", N(cycles), " ", N(one), ";"});
    a.OutI("cycles", cycles);
    return a;
}

}  // namespace test_support
