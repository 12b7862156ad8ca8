#include "tests/support/ladder_asm.h"

#include <algorithm>
#include <ctime>

#include "core/image/bytes.h"
#include "core/storage/memfile.h"
#include "core/storage/nvram.h"
#include "core/image/util.h"
#include "platform/plat.h"

LadAsm &LadAsm::bit(uint32_t ref) { return l16 ? word(uint16_t(ref)) : dword(ref); }

LadAsm &LadAsm::bitx(uint32_t ref) { return reg(ref); }

LadAsm &LadAsm::reg(uint32_t ref) {
    if (!l16) return dword(ref);
    if (ref >= 0x20000) return word(1777).word(uint16_t(ref - 0x20000));
    if (ref >= 0x10000) return word(1776).word(uint16_t(ref - 0x10000));
    return word(uint16_t(ref));
}

LadAsm &LadAsm::contact(uint32_t ref) {
    if (l16 && ref >= 1024 && ref < 0x10000) return word(uint16_t(ref));
    return op(31).bit(ref);
}

LadAsm &LadAsm::label(const std::string &name) {
    labels[name] = w.size();
    return *this;
}

LadAsm &LadAsm::jump(uint16_t code, const std::string &name) {
    op(code);
    const bool wide = code == 68 || code == 69;
    fixes.push_back({w.size(), name, wide});
    return wide ? dword(0) : word(0);
}

bool LadAsm::finish() {
    for (const Fix &f : fixes) {
        const auto it = labels.find(f.label);
        if (it == labels.end()) return false;
        // Offsets count from the word after the offset operand.
        const int64_t off = int64_t(it->second) - int64_t(f.at + (f.wide ? 2 : 1));
        if (f.wide) {
            w[f.at] = uint16_t(uint32_t(off));
            w[f.at + 1] = uint16_t(uint32_t(off) >> 16);
        } else {
            if (off < -32768 || off > 65535) return false;
            w[f.at] = uint16_t(off);
        }
    }
    return true;
}

uint32_t LA_Features(bool layout16) { return layout16 ? 0x8000u : 0u; }

std::vector<uint8_t> LA_MemFile(const std::vector<uint16_t> &words, uint32_t features) {
    std::vector<uint8_t> data;
    for (uint16_t v : words) {
        data.push_back(uint8_t(v));
        data.push_back(uint8_t(v >> 8));
    }
    uint8_t f[4];
    LE_Put32(f, features);
    data.insert(data.end(), f, f + 4);
    data.insert(data.end(), 5, 0);  // last byte below 254: the features are valid
    std::vector<uint8_t> block(8);
    MF_SetHeader(block.data(), crc16(data.data(), data.size()), uint32_t(data.size()));
    block.insert(block.end(), data.begin(), data.end());
    return block;
}

uint32_t LA_ReadFeatures(const std::vector<uint8_t> &block) {
    const uint32_t len = MF_Len(block.data());
    if (len < 9 || block.size() < 8 + len || block[8 + len - 1] >= 254) return 0;
    return LE_Get32(block.data() + 8 + len - 9);
}

void LA_LoadRaw(const std::vector<uint8_t> &block) {
    std::fill(ladder_bl.begin(), ladder_bl.begin() + std::min<std::size_t>(ladder_bl.size(), block.size() + 64), 0);
    std::copy(block.begin(), block.end(), ladder_bl.begin());
    nv_get_features();  // as the configuration validation reads them
}

void LA_Load(const LadAsm &a) { LA_LoadRaw(LA_MemFile(a.w, LA_Features(a.l16))); }

namespace {
uint64_t fake_ns = 5000ull * 1000000000ull;
void FakeMono(struct timespec *ts) {
    ts->tv_sec = time_t(fake_ns / 1000000000ull);
    ts->tv_nsec = long(fake_ns % 1000000000ull);
}
uint64_t FakeOffset() { return 0; }
uint32_t FakeMsOffset() { return 0; }
const PlatTimeOps fake_time = {FakeMono, FakeOffset, FakeMsOffset};
const PlatTimeOps *saved_time;
}  // namespace

void LA_TimeInstall() {
    if (plat_time != &fake_time) saved_time = plat_time;
    plat_time = &fake_time;
}
void LA_TimeAdvance(uint32_t ticks) { fake_ns += uint64_t(ticks) * 100000ull; }
void LA_TimeRemove() {
    if (saved_time) plat_time = saved_time;
}

void LA_LoadBare(const LadAsm &a) {
    std::vector<uint8_t> block(8);
    for (uint16_t v : a.w) {
        block.push_back(uint8_t(v));
        block.push_back(uint8_t(v >> 8));
    }
    MF_SetHeader(block.data(), crc16(block.data() + 8, block.size() - 8), uint32_t(block.size() - 8));
    LA_LoadRaw(block);
    NV_EditorFeatures = LA_Features(a.l16);
}
