// Flow computation: temperature scale conversion, correction factors CTL, Fp,
// CPL from a base density, the base density by iteration from an observed
// density, conversions, quotient, product and rounding, all in IEEE double.
//
// A double in registers takes four registers: the high 32 bits first, then
// the low 32 bits, each half low word first. A float takes two, low word first.
#include "ladder/ladflow.h"

#include <bit>
#include <cmath>

#include "ladder/ladint.h"

namespace {

constexpr double a_1 = -0.148759, a_2 = -0.267408, a_3 = 1.080760, a_4 = 1.269056, a_5 = -4.089591, a_6 = -1.871251,
                 a_7 = 7.438081, a_8 = -3.536296;
constexpr double T_BASE_F = 60.0068749;  // base temperature on the IPTS-68 scale
constexpr double KPA_PER_PSI = 6.894757;

bool InRange(double v, double lo, double hi) { return v >= lo && v <= hi; }  // false for NaN

double F68(double t90_f) { return Flow_T68((t90_f - 32.0) / 1.8) * 1.8 + 32.0; }

struct Factors {
    double ctl, fp, cpl, alpha;
};

// Correction factors at temperature t (deg F, ITS-90) and pressure p (psig)
// for base density rho60 and coefficients k[0..2]; alpha from the
// coefficients unless given.
Factors Correct(double t_f, double p, double rho60, const double *k, bool calc_alpha, double alpha) {
    const double ts = F68(t_f);
    const double A = TSV / 2.0 * ((k[0] / rho60 + k[1]) / rho60 + k[2]);
    const double B = (2.0 * k[0] + k[1] * rho60) / (k[0] + (k[1] + k[2] * rho60) * rho60);
    const double rs = rho60 * (1.0 + (std::exp(A * (1.0 + 0.8 * A)) - 1.0) / (1.0 + A * (1.0 + 1.6 * A) * B));
    Factors f;
    f.alpha = calc_alpha ? (k[0] / rs + k[1]) / rs + k[2] : alpha;
    const double dt = ts - T_BASE_F;
    f.ctl = std::exp(-f.alpha * dt * (1.0 + 0.8 * f.alpha * (dt + TSV)));
    f.fp = std::exp(-1.9947 + 0.00013427 * ts + (793920.0 + 2326.0 * ts) / (rs * rs));
    f.cpl = 1.0 / (1.0 - 1e-5 * f.fp * p);
    return f;
}

// ---- values in registers -------------------------------------------------------------
double GetD(uint32_t w) { return std::bit_cast<double>((uint64_t(LadGet32(w)) << 32) | LadGet32(w + 2)); }
void PutD(uint32_t w, double d) {
    const uint64_t bits = std::bit_cast<uint64_t>(d);
    LadSet32(w, uint32_t(bits >> 32));
    LadSet32(w + 2, uint32_t(bits));
}

// A block of n values at word w, doubles (dbl) or floats.
struct Block {
    uint32_t w;
    bool dbl;
    bool Fits(uint32_t n) const { return LadWordsFit(w, uint64_t(n) * (dbl ? 4 : 2)); }
    double Get(uint32_t k) const { return dbl ? GetD(w + 4 * k) : double(LadF(LadGet32(w + 2 * k))); }
    void Put(uint32_t k, double v) const {
        if (dbl)
            PutD(w + 4 * k, v);
        else
            LadSet32(w + 2 * k, LadBits(float(v)));
    }
};

// Writes n results when every one is finite in the block's format.
uint32_t Store(const Block &b, const double *v, uint32_t n) {
    if (!b.Fits(n)) return 0;
    for (uint32_t k = 0; k < n; k++)
        if (!std::isfinite(v[k]) || (!b.dbl && !std::isfinite(float(v[k])))) return 0;
    for (uint32_t k = 0; k < n; k++) b.Put(k, v[k]);
    return 1;
}

bool Fmt(uint16_t word) { return (word & 0xFF) == 0; }  // true: doubles

}  // namespace

double Flow_T68(double t90_c) {
    const double tau = t90_c / 630.0;
    const double dt =
        (a_1 + (a_2 + (a_3 + (a_4 + (a_5 + (a_6 + (a_7 + a_8 * tau) * tau) * tau) * tau) * tau) * tau) * tau) * tau;
    return t90_c - dt;
}

// Input slots: 0 observed density, 1 observed temperature (C), 2 temperature
// of the other conditions (C), 3 their pressure (kPa), 4 volume, 5 observed
// pressure (psig), 6 unused, 7..9 K0..K2, 10 alpha60 (only when not computed),
// then base density and observed CTL when they are given.
uint32_t Flow_11_1_7_1(const double *in, uint32_t alpha_given, uint32_t base_given, double *out) {
    const double rho_obs = in[0], volume = in[4], p_obs = in[5];
    const double *k = in + 7;
    const bool calc_alpha = !alpha_given;
    const double alpha = alpha_given ? in[10] : 0.0;
    const uint32_t given = alpha_given ? 11 : 10;
    double rho60, ctl_obs;
    if (!base_given) {
        const double t_f = in[1] * 1.8 + 32.0;
        if (!InRange(t_f, -58.0, 302.0) || !InRange(p_obs, 0.0, 1500.0) ||
            !InRange(rho_obs, RHO_min_crude, RHO_max_crude))
            return 0;
        double r = std::fmin(std::fmax(rho_obs, RHO60_min_crude), RHO60_max_crude);
        double best = 4294967295.0;
        bool found = false;
        rho60 = ctl_obs = 0.0;
        for (int pass = 0; pass < 15; pass++) {
            const Factors f = Correct(t_f, p_obs, r, k, calc_alpha, alpha);
            const double ctpl = f.ctl * f.cpl;
            const double e = rho_obs - ctpl * r;
            const double dp = 2.0 * f.cpl * p_obs * f.fp * (7.9392 + 0.02326 * t_f) / (r * r);
            const double dt = 2.0 * f.alpha * (t_f - 60.0) * (1.0 + 1.6 * f.alpha * (t_f - 60.0));
            double step = (rho_obs / ctpl - r) / (1.0 + dt + dp);
            if (r + step < RHO_min_crude) step = RHO_min_crude - r;
            if (r + step > RHO_max_crude) step = RHO_max_crude - r;
            if (std::fabs(e) < best && std::fabs(e) <= 1e-6) {
                best = std::fabs(e);
                rho60 = r;
                ctl_obs = f.ctl;
                found = true;
            }
            r += step;
        }
        if (!found) return 0;  // no pass converged: no value is defined
    } else {
        rho60 = in[given];
        ctl_obs = in[given + 1];
    }
    const double t2_f = in[2] * 1.8 + 32.0, p2 = in[3] / KPA_PER_PSI;
    if (!InRange(t2_f, -58.0, 302.0) || !InRange(p2, 0.0, 1500.0)) return 0;
    const Factors o = Correct(t2_f, p2, rho60, k, calc_alpha, alpha);
    const double ratio = o.ctl / ctl_obs;
    const double ctpl = ratio * o.cpl;
    const double res[8] = {ratio, o.cpl,  o.fp / KPA_PER_PSI, ctpl, rho_obs * double(float(ctpl)), volume * ctpl,
                           rho60, ctl_obs};
    for (double v : res)
        if (!std::isfinite(v)) return 0;
    for (int i = 0; i < 8; i++) out[i] = res[i];
    return 1;
}

uint32_t Flow_Funs(LadCursor *pc, uint32_t power) {
    LadCursor &c = *pc;
    auto ref = [&c] { return LadWordIdx<true>(c); };
    const uint16_t sub = LadWord(c);
    uint32_t in = LAD_NOREF, out = LAD_NOREF;
    uint16_t w1 = 0, w2 = 0, w3 = 0;
    switch (sub) {
    case 0:
        in = ref();
        w1 = LadWord(c);
        w2 = LadWord(c);
        out = ref();
        break;
    case 1:
        w1 = LadWord(c);
        in = ref();
        w2 = LadWord(c);
        w3 = LadWord(c);
        out = ref();
        break;
    case 2:
    case 3:
        in = ref();
        out = ref();
        break;
    case 4:
    case 5:
    case 6:
        in = ref();
        w1 = LadWord(c);
        w2 = LadWord(c);
        out = ref();
        break;
    case 7:
        in = ref();
        w1 = LadWord(c);
        out = ref();
        break;
    default: return 0;
    }
    if (c.bad) return 0;
    if (!power) return sub == 6 ? 0 : 1;
    if (in == LAD_NOREF || out == LAD_NOREF) return 0;

    switch (sub) {
    case 0: {  // ITS-90 to IPTS-68, out in C then F
        const Block bi{in, true};
        if (!bi.Fits(1)) return 0;
        double t = bi.Get(0);
        if (w1 & 0xFF) t = (t - 32.0) / 1.8;
        const double t68 = Flow_T68(t);
        const double res[2] = {t68, t68 * 1.8 + 32.0};
        return Store(Block{out, Fmt(w2)}, res, 2);
    }
    case 1: {  // correction factors from base conditions
        const Block bi{in, Fmt(w1)};
        const bool calc_alpha = (w2 & 0xFF) != 0;
        const uint32_t n = calc_alpha ? 7 : 8;
        if (!bi.Fits(n)) return 0;
        const double t = bi.Get(0), p = bi.Get(1), rho60 = bi.Get(2), vol = bi.Get(3);
        const double alpha = calc_alpha ? 0.0 : bi.Get(4);
        const double k[3] = {bi.Get(n - 3), bi.Get(n - 2), bi.Get(n - 1)};
        if (!InRange(t, -58.0, 302.0) || !InRange(p, 0.0, 1500.0)) return 0;
        const Factors f = Correct(t, p, rho60, k, calc_alpha, alpha);
        const double ctpl = f.ctl * f.cpl;
        const double res[7] = {f.ctl, f.fp, f.cpl, ctpl, rho60 * ctpl, vol * double(float(ctpl)), f.alpha};
        return Store(Block{out, Fmt(w3)}, res, 7);
    }
    case 2:
    case 3: {  // double to float, float to double
        const Block bi{in, sub == 2};
        if (!bi.Fits(1)) return 0;
        const double v = bi.Get(0);
        return Store(Block{out, sub == 3}, &v, 1);
    }
    case 4:
    case 5: {  // quotient, product
        const Block bi{in, Fmt(w1)};
        if (!bi.Fits(2)) return 0;
        const double a = bi.Get(0), b = bi.Get(1);
        if (sub == 4 && b == 0.0) return 0;
        const double v = sub == 4 ? a / b : a * b;
        return Store(Block{out, Fmt(w2)}, &v, 1);
    }
    case 6: {  // base density by iteration, then the other conditions
        const bool alpha_given = (w1 & 0xFF) == 0, base_given = (w2 & 0xFF) == 0;
        const uint32_t n = 10 + (alpha_given ? 1 : 0) + (base_given ? 2 : 0);
        const Block bi{in, true}, bo{out, true};
        if (!bi.Fits(n) || !bo.Fits(8)) return 0;
        double v[13] = {};
        for (uint32_t k = 0; k < n; k++) v[k] = bi.Get(k);
        double res[8];
        if (!Flow_11_1_7_1(v, alpha_given, base_given, res)) return 0;
        return Store(bo, res, 8);
    }
    default: {  // 7: rounding to n decimals
        const Block bi{in, true};
        if (w1 >= 10 || !bi.Fits(1)) return 0;  // 10^n must fit 32 bits
        uint32_t m = 1;
        for (uint16_t i = 0; i < w1; i++) m *= 10;
        const double x = bi.Get(0);
        const double y = x * double(m);
        if (!std::isfinite(y)) return 0;
        double r = std::floor(y);
        if (std::trunc((y - r) * 1000.0) > 500.0) r += 1.0;
        const double v = r / double(m);
        return Store(Block{out, false}, &v, 1);
    }
    }
}

namespace {

int Op_Flow() {
    if (lad.lsp < 1) return LAD_FAULT;
    uint8_t &power = l_stack[lad.lsp - 1];
    power = uint8_t(Flow_Funs(&lad.cur, power));
    return LAD_GO;
}

}  // namespace

void LadFlow_Fill() { lad_ops16[LOP_FLOW] = lad_opsx[LOP_FLOW] = Op_Flow; }
