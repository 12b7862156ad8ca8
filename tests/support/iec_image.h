// Builder of IEC code images for tests, benchmarks and fuzz targets: every
// block the VM reads (signature, application record, lists, sizing, initial
// values, extension table, programs, tasks, retain definition, complex-type
// pieces, a minimal published-variable table) laid out little-endian the way
// the workbench's compiler lays them out, plus the program-data wrapper that
// carries an image inside a downloaded program.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "iec/vm/z7mem.h"

namespace test_support {

class IecImage {
public:
    // Highest index (allocated - 1), highest used index and boundary - 1 of a
    // typed segment, as the sizing block stores them.
    struct Sizing {
        uint16_t alloc = 0, used = 0, bound = 0;
    };
    struct Program {
        std::vector<uint16_t> code{68};  // u16 words (default: end of code)
        uint16_t kind = 0;
    };
    struct Task {
        std::string name;
        std::vector<uint16_t> programs;
    };
    struct Retain {  // {count, first} per run, signature, complex-type area
        uint16_t c8 = 0, f8 = 0, c16 = 0, f16 = 0, c32 = 0, f32 = 0, c64 = 0, f64 = 0, ct = 0, ft = 0, cs = 0, fs = 0;
        uint32_t sig = 0, ct_size = 0, ct_off = 0;
    };

    // header and application record
    uint32_t format = 1;
    std::string signature = "Z7RTI", version = "1.0";
    std::string name = "APP";
    uint32_t word4 = 0, word5 = 0, pre7 = 0, stamp = 0, sfc_crc = 0, period_us = 0, layout = 0;
    uint16_t start_mode = 0, app34 = 0;
    // sizing
    Sizing d8, d16, d32, d64, time, str;
    uint16_t active_timers = 0, steps = 0, trans = 0, xv_high = 0, xv_used = 0;
    uint32_t strbuf_min = 0;
    // initial values
    std::vector<std::pair<uint16_t, uint8_t>> init8;
    std::vector<std::pair<uint16_t, uint16_t>> init16;
    std::vector<std::pair<uint16_t, uint32_t>> init32, init_time;
    std::vector<std::pair<uint16_t, uint64_t>> init64;
    std::vector<std::pair<uint16_t, std::string>> init_str;
    std::vector<uint8_t> string_sizes;  // maximum length of strings 1, 2, ...
    uint32_t init_options = 0;
    bool has_init = true;
    // programs and tasks
    std::vector<Program> programs{Program{}};
    int highest_prog = -1;  // -1: the number of programs
    uint16_t cs_size = 0;
    std::vector<Task> tasks;
    std::vector<std::pair<uint16_t, uint16_t>> xvs;  // {type, index}
    // extension words 1.. (the count is their number); none: no table
    std::vector<uint32_t> ext;
    // blocks laid into the image whose offset becomes extension word n (from 1)
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> ext_blocks;
    int ext_count = -1;  // the table's count word (-1: the number of words)
    // variable lists (extension word 14): {IEC type code, index} per entry
    std::vector<std::vector<std::pair<uint16_t, uint16_t>>> var_lists;
    bool has_retain = false;
    Retain retain;
    // complex-type segment: allocated and used size, pieces {offset, bytes}
    uint32_t ct_alloc = 0, ct_used = 0;
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> ct_pieces;
    bool has_published = true;
    // variable-table records (none: a table without records)
    struct MapVar {
        uint16_t type = 0, index = 0, dim = 1, strlen = 0, tag = 0, flags = 1;
        std::string symbol;
        std::vector<uint8_t> tail;  // extended type information etc. behind the symbol
    };
    std::vector<MapVar> map_vars;
    uint16_t map_layout = 0, map_flags = 0;
    uint32_t map_stamp = 0;
    // block classes {class number, required, name}, instances {standard flag,
    // class number, parameter}, custom-function names
    struct Class {
        uint16_t number = 0, required = 1;
        std::string name;
    };
    struct Instance {
        uint16_t standard = 0, class_number = 0;
        uint32_t param = 0;
    };
    std::vector<Class> classes;
    std::vector<Instance> instances;
    std::vector<std::string> cfuncs;
    uint32_t wished_inst_size = 0;
    // highest allocated instance number (-1: the number of instances, the
    // highest used one)
    int inst_alloc = -1;

    std::vector<uint8_t> Build() const {
        std::vector<uint8_t> b(17 * 4, 0);
        Put32(b, 0, format);
        // signature
        Hdr(b, 1, Here(b));
        std::vector<uint8_t> sig(20, 0);
        std::memcpy(sig.data(), signature.data(), std::min<size_t>(signature.size(), 15));
        std::memcpy(sig.data() + 16, version.data(), std::min<size_t>(version.size(), 3));
        b.insert(b.end(), sig.begin(), sig.end());
        // the u32 in front of the offset of application word 7
        Put32(b, Grow(b, 4), pre7);
        const uint32_t w7 = Here(b);
        // application record
        const uint32_t app = Grow(b, 44);
        Hdr(b, 2, app);
        std::memcpy(&b[app], name.data(), std::min<size_t>(name.size(), 15));
        Put32(b, app + 16, word4);
        Put32(b, app + 20, word5);
        Put32(b, app + 24, period_us);
        Put32(b, app + 28, w7);
        Put16(b, app + 32, start_mode);
        Put16(b, app + 34, app34);
        Put32(b, app + 36, stamp);
        Put32(b, app + 40, sfc_crc);
        // custom functions, classes, instances
        const uint32_t cf = Grow(b, 4 + 20 * uint32_t(cfuncs.size()));
        Hdr(b, 3, cf);
        Put16(b, cf, uint16_t(cfuncs.size()));
        Put16(b, cf + 2, uint16_t(cfuncs.size()));
        for (size_t i = 0; i < cfuncs.size(); i++)
            std::memcpy(&b[cf + 4 + 20 * i + 4], cfuncs[i].data(), std::min<size_t>(cfuncs[i].size(), 16));
        const uint32_t cl = Grow(b, 4 + 20 * uint32_t(classes.size()));
        Hdr(b, 4, cl);
        Put16(b, cl + 2, uint16_t(classes.size()));
        for (size_t i = 0; i < classes.size(); i++) {
            const uint32_t e = cl + 4 + 20 * uint32_t(i);
            Put16(b, e, classes[i].number);
            Put16(b, e + 2, classes[i].required);
            std::memcpy(&b[e + 4], classes[i].name.data(), std::min<size_t>(classes[i].name.size(), 16));
            if (classes[i].number > b[cl]) Put16(b, cl, classes[i].number);
        }
        const uint32_t ib7 = Grow(b, 16 + 8 * uint32_t(instances.size() + 1));
        Hdr(b, 7, ib7);
        Put16(b, ib7, uint16_t(inst_alloc < 0 ? instances.size() : size_t(inst_alloc)));
        Put16(b, ib7 + 2, uint16_t(instances.size()));
        Put32(b, ib7 + 12, wished_inst_size);
        for (size_t i = 0; i < instances.size(); i++) {
            const uint32_t e = ib7 + 16 + 8 * uint32_t(i);
            Put16(b, e, instances[i].standard);
            Put16(b, e + 2, instances[i].class_number);
            Put32(b, e + 4, instances[i].param);
        }
        // XV list
        const uint32_t xv = Grow(b, 4 * uint32_t(xvs.size() + 1));
        Hdr(b, 6, xv);
        for (size_t i = 0; i < xvs.size(); i++) {
            Put16(b, xv + 4 * uint32_t(i), xvs[i].first);
            Put16(b, xv + 4 * uint32_t(i) + 2, xvs[i].second);
        }
        // tasks
        uint32_t prev = 0;
        for (const Task &t : tasks) {
            const uint32_t e = Grow(b, Align4(uint32_t(4 + t.name.size() + 1)));
            if (prev == 0)
                Hdr(b, 5, e);
            else
                Put16(b, prev, uint16_t(e - prev));
            std::memcpy(&b[e + 4], t.name.data(), t.name.size());
            const uint32_t list = Grow(b, Align4(2 * uint32_t(t.programs.size() + 1)));
            Put16(b, e + 2, uint16_t(list - e));
            for (size_t i = 0; i < t.programs.size(); i++) Put16(b, list + 2 * uint32_t(i), t.programs[i]);
            prev = e;
        }
        // sizing
        const uint32_t sz = Grow(b, 96);
        Hdr(b, 8, sz);
        const Sizing *kinds[] = {&d8, &d16, &d32, &d64, &time, &str};
        for (uint32_t k = 0; k < 6; k++) {
            Put16(b, sz + 2 * (6 * k), kinds[k]->alloc);
            Put16(b, sz + 2 * (6 * k + 1), kinds[k]->used);
            Put16(b, sz + 2 * (6 * k + 2), kinds[k]->bound);
        }
        Put16(b, sz + 2 * 29, active_timers);
        Put16(b, sz + 2 * 36, steps);
        Put16(b, sz + 2 * 40, xv_high);
        Put16(b, sz + 2 * 41, xv_used);
        Put16(b, sz + 2 * 42, trans);
        Put32(b, sz + 92, strbuf_min);
        // initial values
        if (has_init) {
            const uint32_t ib = Grow(b, 44);
            Hdr(b, 9, ib);
            Put32(b, ib + 40, init_options);
            Put32(b, ib + 0, List(b, init8, 4, 2, 1));
            Put32(b, ib + 4, List(b, init16, 4, 2, 2));
            Put32(b, ib + 8, List(b, init32, 8, 4, 4));
            Put32(b, ib + 12, List(b, init64, 12, 4, 8));
            Put32(b, ib + 16, List(b, init_time, 8, 4, 4));
            uint32_t s = Here(b);
            for (const auto &[idx, text] : init_str) {
                const uint32_t n = uint32_t(std::min<size_t>(text.size(), 255));
                const uint32_t e = Grow(b, 2 + (n + 1) + ((n + 1) & 1));
                Put16(b, e, idx);
                b[e + 2] = uint8_t(n);
                std::memcpy(&b[e + 3], text.data(), n);
            }
            Grow(b, 4);  // index 0 ends the list
            Put32(b, ib + 20, s);
            s = Grow(b, Align4(uint32_t(string_sizes.size() + 1)));
            for (size_t i = 0; i < string_sizes.size(); i++) b[s + i] = string_sizes[i];
            Put32(b, ib + 24, s);
            Put32(b, ib + 28, Grow(b, 4));  // variable-type list (empty)
            if (has_retain) {
                const uint32_t r = Grow(b, 100);
                Put32(b, ib + 36, r);
                const uint16_t w[] = {retain.c8, retain.f8, retain.c32, retain.f32, retain.ct,  retain.ft,
                                      retain.cs, retain.fs, retain.c16, retain.f16, retain.c64, retain.f64};
                for (uint32_t i = 0; i < 12; i++) Put16(b, r + 64 + 2 * i, w[i]);
                Put32(b, r + 88, retain.sig);
                Put32(b, r + 92, retain.ct_size);
                Put32(b, r + 96, retain.ct_off);
            }
        }
        // complex-type segment definition: extension word 9
        std::vector<uint32_t> words = ext;
        for (const auto &[word, bytes] : ext_blocks) {
            const uint32_t at = Grow(b, Align4(uint32_t(bytes.size())));
            if (!bytes.empty()) std::memcpy(&b[at], bytes.data(), bytes.size());
            if (words.size() < word) words.resize(word, 0);
            words[word - 1] = at;
        }
        if (!var_lists.empty()) {
            const uint32_t t = Grow(b, 4 + 4 * uint32_t(var_lists.size()));
            Put16(b, t + 2, uint16_t(var_lists.size()));
            for (size_t l = 0; l < var_lists.size(); l++) {
                const uint32_t at = Grow(b, 8 + 8 * uint32_t(var_lists[l].size()));
                Put32(b, t + 4 + 4 * uint32_t(l), at);
                Put16(b, at, uint16_t(var_lists[l].size()));
                for (size_t k = 0; k < var_lists[l].size(); k++) {
                    Put16(b, at + 8 + 8 * uint32_t(k), var_lists[l][k].first);
                    Put16(b, at + 10 + 8 * uint32_t(k), var_lists[l][k].second);
                }
            }
            if (words.size() < 14) words.resize(14, 0);
            words[13] = t;
        }
        if (ct_alloc != 0) {
            const uint32_t d = Grow(b, 8);
            Put32(b, d, ct_alloc);
            Put32(b, d + 4, ct_used);
            for (const auto &[off, bytes] : ct_pieces) {
                const uint32_t p = Grow(b, 5 + uint32_t(bytes.size()));
                b[p] = uint8_t(bytes.size());
                Put32(b, p + 1, off);
                std::memcpy(&b[p + 5], bytes.data(), bytes.size());
            }
            Grow(b, 1);
            while (b.size() % 4) b.push_back(0);
            if (words.size() < 9) words.resize(9, 0);
            words[8] = d;
        }
        if (!words.empty()) {
            // Two zero words follow the table: a reader takes some words up to
            // two places past the count (word 7 from a count of 5), which a
            // compiled image always holds.
            const uint32_t e = Grow(b, 4 * uint32_t(words.size() + 3));
            Hdr(b, 10, e);
            Put32(b, e, ext_count < 0 ? uint32_t(words.size()) : uint32_t(ext_count));
            for (size_t i = 0; i < words.size(); i++) Put32(b, e + 4 + 4 * uint32_t(i), words[i]);
        }
        // programs
        const uint32_t ph = Grow(b, 4);
        Hdr(b, 12, ph);
        Put16(b, ph, uint16_t(highest_prog < 0 ? programs.size() : size_t(highest_prog)));
        Put16(b, ph + 2, cs_size);
        const uint32_t pl = Grow(b, 12 * uint32_t(programs.size() + 1));
        Hdr(b, 14, pl);
        for (size_t i = 0; i < programs.size(); i++) {
            const uint32_t c = Grow(b, Align4(2 * uint32_t(programs[i].code.size())));
            for (size_t k = 0; k < programs[i].code.size(); k++) Put16(b, c + 2 * uint32_t(k), programs[i].code[k]);
            const uint32_t e = pl + 12 * uint32_t(i);
            Put32(b, e, c);
            Put32(b, e + 4, 2 * uint32_t(programs[i].code.size()));
            Put16(b, e + 8, programs[i].kind);
        }
        Hdr(b, 15, layout);
        if (has_published) {
            const uint32_t m = Grow(b, 16);  // table head, records, a record of length 0
            Hdr(b, 16, m);
            Put16(b, m, 16);
            Put16(b, m + 2, map_layout);
            Put16(b, m + 4, uint16_t(map_vars.size()));
            Put16(b, m + 6, map_flags);
            Put32(b, m + 8, map_stamp);
            Put16(b, m + 14, 0x8000);
            for (const MapVar &v : map_vars) {
                const uint32_t sym = (v.flags & 1) ? uint32_t(v.symbol.size() + 1) : 0;
                const uint32_t tail = 16 + ((sym + 1) & ~1u);
                const uint32_t len = tail + uint32_t((v.tail.size() + 1) & ~size_t(1));
                const uint32_t r = Grow(b, len);
                Put16(b, r, uint16_t(len));
                Put16(b, r + 2, v.type);
                Put16(b, r + 4, v.index);
                Put16(b, r + 6, v.dim);
                Put16(b, r + 8, v.strlen);
                Put16(b, r + 10, uint16_t(tail));
                Put16(b, r + 12, v.tag);
                Put16(b, r + 14, v.flags);
                if (sym) std::memcpy(&b[r + 16], v.symbol.c_str(), sym);
                if (!v.tail.empty()) std::memcpy(&b[r + tail], v.tail.data(), v.tail.size());
            }
            Grow(b, 4);
        }
        return b;
    }

    // The image as the controller finds it in a downloaded program: u16 74,
    // "XTI" at 4, the image length at 8 and the image from byte 16.
    std::vector<uint8_t> ProgramData() const { return ProgramDataOf(Build()); }
    // The same for image bytes built elsewhere.
    static std::vector<uint8_t> ProgramDataOf(const std::vector<uint8_t> &img) {
        std::vector<uint8_t> d(16 + img.size(), 0);
        Put16(d, 0, 74);
        std::memcpy(&d[4], "XTI", 3);
        Put32(d, 8, uint32_t(img.size()));
        std::memcpy(d.data() + 16, img.data(), img.size());
        return d;
    }

    static void Put16(std::vector<uint8_t> &b, uint32_t at, uint16_t v) {
        b[at] = uint8_t(v);
        b[at + 1] = uint8_t(v >> 8);
    }
    static void Put32(std::vector<uint8_t> &b, uint32_t at, uint32_t v) {
        for (int i = 0; i < 4; i++) b[at + i] = uint8_t(v >> (8 * i));
    }

private:
    static uint32_t Align4(uint32_t n) { return (n + 3u) & ~3u; }
    static uint32_t Here(const std::vector<uint8_t> &b) { return uint32_t(b.size()); }
    static uint32_t Grow(std::vector<uint8_t> &b, uint32_t n) {
        const uint32_t at = uint32_t(b.size());
        b.resize(b.size() + n, 0);
        return at;
    }
    static void Hdr(std::vector<uint8_t> &b, uint32_t word, uint32_t v) { Put32(b, 4 * word, v); }
    template <typename V>
    static uint32_t List(std::vector<uint8_t> &b, const std::vector<std::pair<uint16_t, V>> &l, uint32_t esize,
                         uint32_t voff, uint32_t width) {
        const uint32_t at = Grow(b, esize * uint32_t(l.size() + 1));
        for (size_t i = 0; i < l.size(); i++) {
            const uint32_t e = at + esize * uint32_t(i);
            Put16(b, e, l[i].first);
            for (uint32_t k = 0; k < width; k++) b[e + voff + k] = uint8_t(uint64_t(l[i].second) >> (8 * k));
        }
        return at;
    }
};

// Copies image bytes into a new block of the VM arena; its offset (0 when
// there is no room).
inline uint32_t IecLoad(const std::vector<uint8_t> &bytes) {
    const uint32_t off = Z7Mem_Alloc(uint32_t(bytes.size()));
    if (off != 0 && !bytes.empty()) std::memcpy(Z7Mem_Ptr(off, uint32_t(bytes.size())), bytes.data(), bytes.size());
    return off;
}

}  // namespace test_support
