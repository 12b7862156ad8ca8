// Conversion of raw converter counts into register values.
#include "io/iotemp.h"

#include <algorithm>
#include <cmath>

const std::array<const uint16_t *, 8> tctbl = {j_tab.data(), k_tab.data(), n_tab.data(), t_tab.data(),
                                               e_tab.data(), r_tab.data(), s_tab.data(), b_tab.data()};

namespace {
constexpr std::array<uint16_t, 8> Row(uint16_t a, uint16_t shift, uint32_t limit, uint16_t b) {
    return {a, 0, shift, 0, uint16_t(limit), uint16_t(limit >> 16), b, 0};
}
}  // namespace

// Rows by channel type: the shift of the calibrated product and its limit.
// Unipolar ranges shift by 3 (limit 4095 x 65536 + 65535), the bipolar range
// and the RTD by 0, thermocouples by 14 (the seventh word, 13, is scaling).
const std::array<std::array<uint16_t, 8>, 32> ad5t = [] {
    std::array<std::array<uint16_t, 8>, 32> t{};
    for (unsigned i = 0; i < 32; i++) t[i] = Row(200, 3, 0x0FFFFFFF, 4);
    t[0] = {200, 0, 3, 0, 65535, 4095, 4, 0};
    t[1] = t[2] = t[0];
    t[8] = Row(400, 0, 0x0FFFFFFF, 0);
    t[16] = Row(400, 0, 0x3FFFFFFF, 0);
    for (unsigned i = 24; i < 32; i++) t[i] = Row(800, 14, 0x3FFFFFFF, 13);
    t[31] = {800, 0, 14, 0, 65535, 16383, 13, 0};
    return t;
}();

const std::array<int32_t, 8> cjy = {42352, 33204, 21696, 64822, 24611, 8921, 9100, 0};
const std::array<int32_t, 8> cjysq = {8143, 11383, 10518, 2366, 8646, 8038, 8906, 28093};

int32_t tc_table(uint32_t reading, const uint16_t *table) {
    reading &= 0xFFFF;
    const uint32_t i = reading >> 7, f = reading & 127;
    const int32_t d = int32_t(table[i + 1]) - int32_t(table[i]);
    return int32_t(table[i]) - 5600 + ((int32_t(f) * d + 64) >> 7);
}

int32_t rtd_table(uint32_t reading, const uint16_t *table) {
    // Readings beyond the 14-bit scale would index past the table.
    const uint32_t r = std::min<uint32_t>(reading, 16383);
    const uint32_t i = r >> 6, f = r & 63;
    const int32_t d = int32_t(table[i + 1]) - int32_t(table[i]);
    return int32_t(table[i]) - 5600 + ((int32_t(f) * d + 32) >> 6);
}

void cj_comp(int32_t *comp8, int32_t t) {
    const int64_t sq = int64_t(t) * t;
    for (unsigned i = 0; i < 8; i++) {
        if (cjy[i] != 0) {
            comp8[i] = int32_t((sq >> 4) / cjysq[i] + ((int64_t(t) * cjy[i]) >> 16));
        } else {
            comp8[i] = int32_t((sq >> 6) / cjysq[i]);
        }
    }
}

int32_t Io_ConvertUniversal(int32_t raw, uint8_t type, uint16_t gain, uint16_t offset, const int32_t *comp8) {
    const int64_t p = (int64_t(raw) + offset) * gain;
    const auto &row = ad5t[type & 31];
    const unsigned shift = row[2] & 0xFF;
    const int64_t limit = int64_t(row[4]) | int64_t(row[5]) << 16;
    if (type <= 2) {
        if (p < 0) return 0;
        if (p <= limit) return int32_t(p >> (16 - std::min(shift, 16u)));
        // Above the range: the ceiling of the range's scale.
        return int32_t(limit >> (16 - std::min(shift, 16u)));
    }
    if (type == 8) {
        // The clamped product times 8 fills 32 bits (0x80000008 to
        // 0x7FFFFFF8); the register takes its upper 16 bits, so that the
        // range spans -32768..32767 rather than saturating above 4095.
        const int64_t c = std::clamp<int64_t>(p, -0x0FFFFFFF, 0x0FFFFFFF);
        return int32_t(c * 8) >> 16;
    }
    if (type == 16) {
        const int64_t c = std::clamp<int64_t>(p, 0, 0x3FFFFFFF);
        return rtd_table(uint32_t(c >> 16), pt100e_tab.data());
    }
    if (type >= 24 && type <= 31) {
        const unsigned k = type - 24u;
        const int64_t r = (p >> shift) + 32768 + (comp8 ? comp8[k] : 0);
        return tc_table(uint32_t(std::clamp<int64_t>(r, 0, 65535)), tctbl[k]);
    }
    return 0;
}

int32_t Io_ConvertStd(int32_t raw, uint8_t type, uint16_t gain, uint16_t offset) {
    const int64_t p = (int64_t(raw) + offset) * gain;
    int32_t v = p < 0 ? 0 : p > 0x1FFFFFFF ? 32767 : int32_t(p >> 14);
    if (type == 2) {
        v = std::clamp(v, 0, 32000);
        v = (5 * v - 32000) / 4;
    }
    return v;
}

uint32_t Io_ScaleOut(uint16_t v, uint8_t type, uint16_t gain, uint16_t offset) {
    int64_t x = v;
    int64_t out;
    if (type == 9) {
        // The bipolar scale is centred on 2048: its value is signed, so that
        // a negative value drives below the centre (read unsigned, -1 gave the
        // top of the scale and the lower half could not be reached).
        x = int16_t(v);
        out = ((x * gain) >> 19) + 2048 + offset;
    } else {
        if (type == 2) x = x * 4 / 5 + 6400;
        out = offset + ((x * gain) >> 18);
    }
    return uint32_t(std::clamp<int64_t>(out, 0, 4095));
}

namespace {
constexpr double kA[7] = {6.407, 2.885, 0.0086, 0.05, 0.14, 13.5, 80.0};
constexpr double kB[7] = {0.025, 0.0712, 0.0185, 0, 0, 0, 0};
constexpr double kP[7] = {2.0, 2.0, 0.02, 0.04, 0.02, 1.0, 2.0};
}  // namespace

void Io_Protect(IoProt &st, uint16_t *w, const uint16_t *values, uint32_t now, uint16_t mask) {
    if (!st.started) {
        st = IoProt{};
        st.started = true;
        st.last = now;
    }
    // Definite time.
    if (w[0] & mask) {
        const int32_t pickup = std::max<int32_t>(int16_t(w[1]), 0);
        // The delay is a count of milliseconds, read unsigned: a value above
        // 10000 (32768 and more included) takes the longest delay, 10 s,
        // rather than tripping at once as a negative number clamped to 0 would.
        const uint32_t delay = std::min<uint32_t>(w[2], 10000);
        uint16_t exceed = 0;
        for (unsigned c = 0; c < 4; c++) {
            if ((w[0] & mask & (1u << c)) && int32_t(values[c]) > pickup) exceed |= uint16_t(1u << c);
        }
        uint16_t out = 0;
        switch (st.dt_state) {
        case 0:
            if (exceed) {
                st.dt_state = delay == 0 ? 2 : 1;
                st.dt_start = now;
            }
            break;
        case 1:
            if (!exceed) {
                st.dt_state = 0;
            } else if (now - st.dt_start >= delay * 10) {
                st.dt_state = 2;
                out = 1;
            }
            break;
        default:
            if (exceed) {
                out = 1;
            } else {
                st.dt_state = 0;
            }
            break;
        }
        w[5] = out;
        if (out) w[4] |= exceed;
    }
    // Inverse time.
    const double dt = double(now - st.last) * 0.001;
    st.last = now;
    if (w[6] & mask) {
        const double pickup = std::max<int32_t>(int16_t(w[7]), 1);
        uint16_t largest = 0, above = 0;
        for (unsigned c = 0; c < 4; c++) {
            if (!(w[6] & mask & (1u << c))) continue;
            largest = std::max(largest, values[c]);
            if (values[c] > pickup) above |= uint16_t(1u << c);
        }
        // The curve number is a signed register: -1 is curve 0, not curve 6.
        const unsigned curve = unsigned(std::clamp<int32_t>(int16_t(w[8]), 0, 6));
        const double dial = std::clamp<int32_t>(int16_t(w[9]), 1, 999);
        const double reset = std::max<int32_t>(int16_t(w[10]), 1);
        const double m = largest / pickup;
        if (m > 1 && st.acc < 1) {
            const double mp = std::pow(m, kP[curve]) - 1;
            st.acc += dt * mp / ((kB[curve] * mp + kA[curve]) * dial);
        } else if (m <= 1 && st.acc > 0) {
            st.acc = std::max(0.0, st.acc + dt * (m * m - 1) / reset);
        }
        if (st.acc >= 1) {
            w[13] = 1;
            w[12] |= above;
        } else if (st.acc <= 0) {
            w[13] = 0;
        }
    }
}

IoPulse Io_PulseWidth(uint32_t f, uint32_t a) {
    IoPulse p{};
    const uint64_t period = f ? 10000000u / f : 0;
    const uint64_t on = a ? period * a / 32000 : 0;
    p.run = period ? uint32_t(period - 1) : 0;
    p.start = on ? uint32_t(on - 1) : 0;
    return p;
}

namespace {
void Ramp(uint32_t n, uint32_t d, uint16_t &step, uint16_t &pre) {
    step = pre = 0;
    if (n == 0 || d == 0) return;
    if (n <= d) {
        step = uint16_t(d / n - 1);
        pre = d % n == 0 ? 0xFFFF : uint16_t(((n / (d % n)) - 1) | 0x8000);
    } else {
        step = uint16_t(n / d - 1);
        pre = n % d == 0 ? 0x7FFF : uint16_t(((n / (n % d)) - 1) & 0x7FFF);
    }
}
}  // namespace

IoPulse Io_PulseTrain(uint32_t f, uint32_t a, uint32_t acc, uint32_t dec) {
    IoPulse p{};
    const uint32_t period = f ? 10000000u / f : 0;
    const uint32_t startp = a ? 10000000u / a : 0;
    p.run = period ? period - 1 : 0;
    p.start = startp ? startp - 1 : 0;
    if (period < startp) {
        Ramp(acc, startp - period, p.acc_step, p.acc_pre);
        Ramp(dec, startp - period, p.dec_step, p.dec_pre);
    }
    return p;
}
