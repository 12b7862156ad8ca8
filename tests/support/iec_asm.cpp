#include "tests/support/iec_asm.h"

#include <cctype>
#include <cstring>
#include <map>
#include <sstream>
#include <stdexcept>

namespace test_support {
namespace {
const std::map<std::string, uint16_t> &Table() {
    static const std::map<std::string, uint16_t> t = {
        // control
        {"JMP", 67},
        {"JMPT", 65},
        {"JMPF", 66},
        {"JMPA", 528},
        {"JMPAT", 529},
        {"JMPAF", 530},
        {"CASE", 543},
        {"JMPEQ", 544},
        {"END", 68},
        {"RET", 234},
        {"CALL", 423},
        {"HOLD", 506},
        {"WAIT", 507},
        {"DIVCYC", 421},
        {"IDXCHK", 422},
        {"REPEAT", 564},
        {"LOOP", 565},
        {"NOP", 526},
        {"SKIP", 542},
        {"BRK", 508},
        {"SETBRK", 527},
        {"PAUSE", 257},
        {"RUN", 258},
        {"ONECYCLE", 259},
        {"STEP", 525},
        {"PERIOD", 260},
        {"LOCK8", 265},
        {"UNLOCK8", 266},
        {"LOCK16", 269},
        {"UNLOCK16", 270},
        {"LOCK32", 273},
        {"UNLOCK32", 274},
        {"LOCK64", 318},
        {"UNLOCK64", 319},
        {"LOCKT", 281},
        {"UNLOCKT", 282},
        {"LOCKS", 410},
        {"UNLOCKS", 411},
        {"LOCKXV", 454},
        {"UNLOCKXV", 455},
        {"UNLOCKALL", 554},
        // arithmetic
        {"NEG32", 1},
        {"NEGR", 2},
        {"NOT", 3},
        {"MUL32", 4},
        {"MULR", 5},
        {"DIV32", 6},
        {"DIVR", 7},
        {"ADD32", 8},
        {"ADDR", 9},
        {"ADDT", 10},
        {"ADDT_L", 283},
        {"SUB32", 12},
        {"SUBR", 13},
        {"SUBT", 14},
        {"SUBT_L", 284},
        {"ADD8", 383},
        {"DIV8", 381},
        {"DIVU8", 485},
        {"ADD16", 355},
        {"DIV16", 353},
        {"ADD64", 295},
        {"DIV64", 293},
        {"DIVU64", 559},
        {"DIVL", 325},
        {"ADDL", 327},
        {"DIVU32", 501},
        // comparisons
        {"GT32", 19},
        {"GTR", 20},
        {"GTT", 21},
        {"GTS", 22},
        {"GE32", 27},
        {"GER", 28},
        {"EQ32", 31},
        {"EQR", 32},
        {"EQ8", 35},
        {"NE32", 36},
        {"NER", 37},
        {"OR8", 41},
        {"AND8", 42},
        {"XOR8", 43},
        // moves, elements, constants
        {"MOV8", 44},
        {"MOV32", 45},
        {"MOVT", 47},
        {"MOVS", 48},
        {"LDEL32", 56},
        {"STEL32", 61},
        {"CONST8", 404},
        {"CONST16", 267},
        {"CONST32", 271},
        {"CONST32_L", 272},
        {"CONSTT", 279},
        {"CONST64", 316},
        {"CONSTS", 408},
        {"SET", 261},
        {"RESET", 262},
        {"RTRIG", 197},
        {"FTRIG", 196},
        {"CONV", 205},
        {"XVRD32", 426},
        {"XVWR32", 432},
        {"XVRD32I", 458},
        {"XVWR32I", 464},
        {"XVC32", 438},
        // calls
        {"STF", 285},
        {"CFN", 286},
        {"FB", 287},
        {"FBCT", 535},
        {"CFNCHK", 536},
        {"FBCHK", 537},
        {"ANYPARAM", 552},
        {"CTADDR", 553},
        // SFC, programs, timers, CT segment
        {"SFCSTEP", 412},
        {"SFCTRANS", 413},
        {"SFCTRANS1", 417},
        {"SFCCOND", 107},
        {"SFCDEACT", 414},
        {"SFCACT", 415},
        {"SFCINIT", 416},
        {"SFCINIT1", 419},
        {"SFCMOVE", 418},
        {"SFCEND", 420},
        {"STEPSET", 547},
        {"STEPTIME", 548},
        {"STEPX", 208},
        {"STEPT", 209},
        {"PSTART", 187},
        {"PSUSPEND", 188},
        {"PKILL", 189},
        {"PRESUME", 190},
        {"PSTATE", 193},
        {"TSTART", 275},
        {"TSTOP", 276},
        {"CTSET", 533},
        {"CTGET", 531},
        {"CTPUT", 532},
        {"CTCOPY", 555},
        {"TSTARTCT", 538},
    };
    return t;
}

uint64_t Number(const std::string &s) { return std::stoull(s, nullptr, 0); }
}  // namespace

uint16_t IecOpcode(const std::string &m) {
    const auto it = Table().find(m);
    if (it != Table().end()) return it->second;
    if (m.rfind("OP", 0) == 0 && m.size() > 2) return uint16_t(Number(m.substr(2)));
    return 0;
}

std::vector<uint16_t> IecAsm(const std::string &text) {
    std::vector<uint16_t> w;
    std::map<std::string, uint32_t> labels;
    struct Fix {
        size_t at;
        std::string label;
        bool rel;
    };
    std::vector<Fix> fixes;
    std::string src = text;
    for (char &ch : src)
        if (ch == ';' || ch == ',') ch = '\n';
    std::istringstream lines(src);
    std::string line;
    while (std::getline(lines, line)) {
        if (const size_t c = line.find("//"); c != std::string::npos) line.resize(c);
        std::istringstream toks(line);
        std::string t;
        bool first = true;
        while (toks >> t) {
            if (t.back() == ':') {
                labels[t.substr(0, t.size() - 1)] = uint32_t(w.size());
                continue;
            }
            if (t[0] == '@' || t[0] == '&') {
                fixes.push_back({w.size(), t.substr(1), t[0] == '@'});
                w.push_back(0);
            } else if (t.rfind("##", 0) == 0) {
                const std::string v = t.substr(2);
                uint64_t bits;
                if (v.find('.') != std::string::npos) {
                    const double d = std::stod(v);
                    std::memcpy(&bits, &d, 8);
                } else {
                    bits = v[0] == '-' ? uint64_t(std::stoll(v, nullptr, 0)) : Number(v);
                }
                for (int k = 3; k >= 0; k--) w.push_back(uint16_t(bits >> (16 * k)));
            } else if (t[0] == '#') {
                const std::string v = t.substr(1);
                uint32_t bits;
                if (v.find('.') != std::string::npos || v.back() == 'f') {
                    const float f = std::stof(v);
                    std::memcpy(&bits, &f, 4);
                } else {
                    bits = v[0] == '-' ? uint32_t(int32_t(std::stoll(v, nullptr, 0))) : uint32_t(Number(v));
                }
                w.push_back(uint16_t(bits >> 16));
                w.push_back(uint16_t(bits));
            } else if (first && (std::isalpha(static_cast<unsigned char>(t[0])) != 0)) {
                const uint16_t op = IecOpcode(t);
                if (op == 0 && t != "OP0") throw std::runtime_error("unknown mnemonic " + t);
                w.push_back(op);
            } else {
                w.push_back(t[0] == '-' ? uint16_t(std::stoi(t, nullptr, 0)) : uint16_t(Number(t)));
            }
            first = false;
        }
    }
    for (const Fix &f : fixes) {
        const auto it = labels.find(f.label);
        if (it == labels.end()) throw std::runtime_error("unknown label " + f.label);
        const int32_t target = int32_t(2 * it->second);
        w[f.at] = f.rel ? uint16_t(int16_t(target - int32_t(2 * (f.at + 1)))) : uint16_t(target);
    }
    return w;
}

}  // namespace test_support
