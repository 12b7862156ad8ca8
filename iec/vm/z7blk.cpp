// The controller registry (204 rows by name and id) and the blocks built in
// the VM: PID, the counters with reset CTUR, CTDR, CTUDR and the array blocks. Rows of blocks
// built elsewhere have no handler here and count as absent.
#include <cstring>

#include "iec/vm/z7interp.h"
#include "iec/vm/z7ops.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7stdlib.h"
#include "iec/vm/z7vm.h"

namespace {
constexpr const char *kNames[Z7PFB_ROWS] = {"TXBMANAGER",
                                            "TXBAPPEND",
                                            "TXBAPPENDLINE",
                                            "TXBAPPENDTXB",
                                            "TXBAPPENDEOL",
                                            "TXBCLEAR",
                                            "TXBCOPY",
                                            "TXBFREE",
                                            "TXBGETDATA",
                                            "TXBLASTERROR",
                                            "TXBGETLENGTH",
                                            "TXBGETLINE",
                                            "TXBGETSTRING",
                                            "TXBNEW",
                                            "TXBNEWSTRING",
                                            "TXBREADFILE",
                                            "TXBREWIND",
                                            "TXBSETDATA",
                                            "TXBSETSTRING",
                                            "TXBWRITEFILE",
                                            "TXBANSITOUTF8",
                                            "TXBUTF8TOANSI",
                                            "TXBSENDTCP",
                                            "TXBRCVTCP",
                                            "XMLMANAGER",
                                            "XMLADDCHILD",
                                            "XMLCHECKTAGNAME",
                                            "XMLFIRSTCHILD",
                                            "XMLFREEDOC",
                                            "XMLLASTERROR",
                                            "XMLGETSYBVALUE",
                                            "XMLGETTAGATTRIB",
                                            "XMLGETTAGCONT",
                                            "XMLGETTAGCONTT",
                                            "XMLGETTAGNAME",
                                            "XMLNEWDOC",
                                            "XMLNEXTCHILD",
                                            "XMLPARSEDOCFILE",
                                            "XMLPARSEDOCTXB",
                                            "XMLSETSYBVALUE",
                                            "XMLSETTAGATTRIB",
                                            "XMLSETTAGCONT",
                                            "XMLSETTAGCONTT",
                                            "XMLWRITEDOCFILE",
                                            "XMLWRITEDOCTXB",
                                            "XMLGETPARENT",
                                            "HMINEWMENU",
                                            "HMINEWMENUITEM",
                                            "HMIDELMENU",
                                            "HMIRENAMEMENU",
                                            "HMIMENU",
                                            "ARCOUNT",
                                            "ARFIND",
                                            "ARFILL",
                                            "ARMIN",
                                            "ARMAX",
                                            "ARSORT",
                                            "PID",
                                            "CTUR",
                                            "CTDR",
                                            "CTUDR",
                                            "CANOPENGETLOCID",
                                            "CANOPENGETSTATE",
                                            "CANOPENSETNMT",
                                            "CANOPENSDOREAD",
                                            "CANOPENSDOWRITE",
                                            "CANOPENRCEMC",
                                            "CANOPENRCEMCDEV",
                                            "LIM",
                                            "COPY_CF",
                                            "READ_CF",
                                            "READ_CF2",
                                            "WRITE_CF",
                                            "WRITE_CF2",
                                            "DELETE_CF",
                                            "SETPID",
                                            "SETPIDMAN",
                                            "GETPIDMAN",
                                            "PID_IND",
                                            "PID_IND_AUTO",
                                            "PID_ISA_AUTO",
                                            "PID_ISA",
                                            "SAVERCPBYSTR",
                                            "SAVERCPBYINDEX",
                                            "SAVERCPBYSTR2",
                                            "LOADRCPBYSTR",
                                            "LOADRCPBYINDEX",
                                            "LOADRCPBYSTR2",
                                            "RENAME_CF",
                                            "OPENCOMMREG",
                                            "OPENCOMM",
                                            "CLOSECOMM",
                                            "SENDCOMM",
                                            "RCVCOMM",
                                            "CHANGESCREEN",
                                            "FORCESCREEN",
                                            "SCALEINT",
                                            "SCALEREAL",
                                            "SETCLK",
                                            "BITCLEAR",
                                            "BITSET",
                                            "BITTEST",
                                            "ALARM",
                                            "MODBUSDOREQUEST",
                                            "MODBUSMAPSLAVE",
                                            "MODBUSMAPEXTEND",
                                            "OLDUSERSMASTER",
                                            "KEYPRESS",
                                            "NETPUTHB",
                                            "NETGETHB",
                                            "NETGETWORD",
                                            "NETPUTWORD",
                                            "NETPUTWORDEX",
                                            "NETGETREMOTEI",
                                            "NETPUTLOCALQ",
                                            "NETGETREMOTEAI",
                                            "NETPUTLOCALAQ",
                                            "GPRSCONNECT",
                                            "GPRSCONNECTS",
                                            "MODEMSENDINIT",
                                            "MODEMAUTODIAL",
                                            "MODEMAUTOANSWER",
                                            "DAYSOFMONTH",
                                            "DAYSOFWEEK",
                                            "MONTHSOFYEAR",
                                            "STARTENDYEAR",
                                            "TIMEOFDAY",
                                            "FILL",
                                            "MULTIROT",
                                            "MULTISHIFT",
                                            "MVB",
                                            "ASCIITODINT",
                                            "ASCIITOINT",
                                            "ASCIITOREAL",
                                            "CMPSTRINGCONST",
                                            "CMPSTRINGVAR",
                                            "DINTTOASCII",
                                            "INTTOASCII",
                                            "REALTOASCII",
                                            "SETSTRING",
                                            "STRINGLEN",
                                            "STRINGLENA",
                                            "DEGTORAD",
                                            "RADTODEG",
                                            "TOF100MS",
                                            "TOF100MS32",
                                            "TOF10MS",
                                            "TOF10MS32",
                                            "TOF1MS",
                                            "TOF1MS32",
                                            "TOF1S",
                                            "TOF1S32",
                                            "TON100MS",
                                            "TON100MS32",
                                            "TON10MS",
                                            "TON10MS32",
                                            "TON1MS",
                                            "TON1MS32",
                                            "TON1S",
                                            "TON1S32",
                                            "TONR100MS",
                                            "TONR100MS32",
                                            "TONR10MS",
                                            "TONR10MS32",
                                            "TONR1MS",
                                            "TONR1MS32",
                                            "TONR1S",
                                            "TONR1S32",
                                            "SETPID_R",
                                            "PID_IND_R",
                                            "SETPIDMAN_R",
                                            "PID_IND_AUTO_R",
                                            "PID_ISA_R",
                                            "PID_ISA_AUTO_R",
                                            "SETCANID",
                                            "TEXTTABLE",
                                            "STRINGCONCAT",
                                            "CHARASCIICODE",
                                            "DELETECHARS",
                                            "INSERTCHARS",
                                            "ASCIITOHEX",
                                            "HEXTOASCII",
                                            "CRC16",
                                            "STRINGFIND",
                                            "STRINGREPLACE",
                                            "STRINGLEFT",
                                            "STRINGMID",
                                            "STRINGRIGHT",
                                            "SUNPOS",
                                            "ABS",
                                            "SHL",
                                            "SHR",
                                            "ROL",
                                            "ROR",
                                            "NOT_MASK",
                                            "AND_MASK",
                                            "OR_MASK",
                                            "XOR_MASK",
                                            "SEL",
                                            "MOD",
                                            "SQRT",
                                            "CTU",
                                            "CTD",
                                            ""};
enum : uint32_t { ROW_PID = 57, ROW_CTUR = 58, ROW_CTDR = 59, ROW_CTUDR = 60, ROW_END = 203 };

uint32_t Now(uint32_t db) { return Z7Mem_Get32(Z7VM_Status(db) + ST_STAMP); }

// Counter instance: i32 CV, then the last input values.
struct Counter {
    uint8_t *p;
    int32_t Cv() const {
        int32_t v;
        std::memcpy(&v, p, 4);
        return v;
    }
    void SetCv(int32_t v) const { std::memcpy(p, &v, 4); }
    bool Edge(uint32_t k, bool in) const {
        const bool e = in && !p[4 + k];
        p[4 + k] = in ? 1 : 0;
        return e;
    }
};

// Shared entry of the counter blocks: answers the size and availability
// queries, and on execution runs step on the opened operands and instance.
template <typename Step>
uint32_t CounterEntry(uint32_t cmd, uint32_t db, uint32_t inst, uint32_t arg, uint32_t need, Step step) {
    if (cmd == FB_INSTSIZE) return 8;
    if (cmd == FB_AVAIL) return 1;
    Z7Ops p;
    uint8_t *ip = Z7Mem_Ptr(inst, 8);
    if (cmd != FB_EXEC || ip == nullptr || !Z7Ops_Open(db, arg, need, p)) return 0;
    step(p, Counter{ip});
    return 0;
}

uint32_t Ctur(uint32_t cmd, uint32_t db, uint32_t, uint32_t inst, uint32_t arg) {
    return CounterEntry(cmd, db, inst, arg, 5, [](const Z7Ops &p, const Counter c) {
        const bool cu = c.Edge(0, p.B(0)), reset = c.Edge(1, p.B(1));
        const int32_t pv = p.D(2);
        if (reset)
            c.SetCv(0);
        else if (cu && c.Cv() < pv)
            c.SetCv(c.Cv() + 1);
        p.SetB(3, c.Cv() >= pv);
        p.SetD(4, c.Cv());
    });
}

uint32_t Ctdr(uint32_t cmd, uint32_t db, uint32_t, uint32_t inst, uint32_t arg) {
    return CounterEntry(cmd, db, inst, arg, 5, [](const Z7Ops &p, const Counter c) {
        const bool cd = c.Edge(0, p.B(0)), load = c.Edge(1, p.B(1));
        const int32_t pv = p.D(2);
        if (load)
            c.SetCv(pv);
        else if (cd && c.Cv() > 0)
            c.SetCv(c.Cv() - 1);
        p.SetB(3, c.Cv() < 1);
        p.SetD(4, c.Cv());
    });
}

uint32_t Ctudr(uint32_t cmd, uint32_t db, uint32_t, uint32_t inst, uint32_t arg) {
    return CounterEntry(cmd, db, inst, arg, 8, [](const Z7Ops &p, const Counter c) {
        // operands CU, CD, RESET, LOAD, PV, QU, QD, CV; memory CU, RESET, CD, LOAD
        const bool cu = c.Edge(0, p.B(0)), reset = c.Edge(1, p.B(2)), cd = c.Edge(2, p.B(1)), load = c.Edge(3, p.B(3));
        const int32_t pv = p.D(4);
        if (reset)
            c.SetCv(0);
        else if (load)
            c.SetCv(pv);
        else if (cu && c.Cv() < pv)
            c.SetCv(c.Cv() + 1);
        else if (cd && c.Cv() > 0)
            c.SetCv(c.Cv() - 1);
        p.SetB(5, c.Cv() >= pv);
        p.SetB(6, c.Cv() < 1);
        p.SetD(7, c.Cv());
    });
}

// PID instance: u32 last sample stamp, f32 last taken error, f32 integral,
// u8 output limited, u8 started.
enum : uint32_t {
    P_AUTO,
    P_PV,
    P_SP,
    P_MAN,
    P_KP,
    P_TI,
    P_TD,
    P_TS,
    P_LO,
    P_HI,
    P_IEN,
    P_IHOLD,
    P_IPRE,
    P_IVAL,
    P_BAND,
    P_BIAS,
    P_OUT,
    P_ERR,
    P_P,
    P_I,
    P_D,
    P_QHI,
    P_QLO,
    P_COUNT
};
uint32_t Pid(uint32_t cmd, uint32_t db, uint32_t, uint32_t inst, uint32_t arg) {
    if (cmd == FB_INSTSIZE) return 16;
    if (cmd == FB_AVAIL) return 1;
    uint8_t *s = Z7Mem_Ptr(inst, 16);
    if (s == nullptr) return 0;
    uint32_t stamp;
    float last, integral;
    std::memcpy(&stamp, s, 4);
    std::memcpy(&last, s + 4, 4);
    std::memcpy(&integral, s + 8, 4);
    if (cmd == FB_INSTINIT || cmd == FB_INSTKEEP) {
        const uint32_t now = Now(db);
        std::memcpy(s, &now, 4);
        s[13] = 0;
        return 0;
    }
    Z7Ops p;
    if (cmd != FB_EXEC || !Z7Ops_Open(db, arg, P_COUNT, p)) return 0;
    const uint32_t now = Now(db);
    if (!s[13]) {
        stamp = now;
        s[13] = 1;
    }
    const uint32_t dt = Z7VMTmr_Advance(0, stamp, now);
    if (dt == 0 || dt < p.Time(P_TS)) {
        std::memcpy(s, &stamp, 4);
        return 0;
    }
    const float kp = p.R(P_KP), ti = p.R(P_TI), td = p.R(P_TD), band = p.R(P_BAND);
    const float e = p.R(P_SP) - p.R(P_PV);
    const float before = last;
    if (band < 0 || e < last - band || e > last + band) last = e;
    const float used = last;
    const float d = (e - before) * td * kp;
    const float pp = used * kp;
    const bool automatic = p.B(P_AUTO);
    if (p.B(P_IPRE))
        integral = p.R(P_IVAL);
    else if (automatic && !p.B(P_IHOLD) && !s[12] && ti != 0)
        integral += (float(dt) / 1000.0f) * pp / ti;
    const float ipart = p.B(P_IEN) ? integral : 0.0f;
    float out = automatic ? pp + ipart + d + p.R(P_BIAS) : p.R(P_MAN) + p.R(P_BIAS);
    const float lo = p.R(P_LO), hi = p.R(P_HI);
    bool qhi = false, qlo = false;
    if (out < lo) {
        out = lo;
        qlo = true;
    } else if (out > hi) {
        out = hi;
        qhi = true;
    }
    s[12] = (qhi || qlo) ? 1 : 0;
    std::memcpy(s, &now, 4);
    std::memcpy(s + 4, &last, 4);
    std::memcpy(s + 8, &integral, 4);
    p.SetR(P_OUT, out);
    p.SetR(P_ERR, used);
    p.SetR(P_P, pp);
    p.SetR(P_I, ipart);
    p.SetR(P_D, d);
    p.SetB(P_QHI, qhi);
    p.SetB(P_QLO, qlo);
    return 0;
}
}  // namespace

FbHandler (*Z7Blocks_LibProc)(uint32_t id) = nullptr;

// Row 203 is the empty row that ends the table: its name is "".
const char *Z7Blocks_GetName(uint32_t id) { return id <= ROW_END ? kNames[id] : nullptr; }

FbHandler Z7Blocks_GetProc(uint32_t id) {
    switch (id) {
    case ROW_PID: return Pid;
    case ROW_CTUR: return Ctur;
    case ROW_CTDR: return Ctdr;
    case ROW_CTUDR: return Ctudr;
    default:
        // Other rows come from the controller's library (text, XML and menu
        // blocks, and the rows past the VM's own blocks) or the array blocks.
        if (id < ROW_END && Z7Blocks_LibProc != nullptr)
            if (const FbHandler h = Z7Blocks_LibProc(id)) return h;
        return Z7ArBlk_GetProc(id);
    }
}

// A row without a handler is stepped over rather than ending the walk, so
// that a block missing from this build hides none behind it.
uint32_t Z7Blocks_GetNextID(uint32_t id) {
    for (uint32_t k = id + 1; k < ROW_END; k++)
        if (Z7Blocks_GetProc(k) != nullptr) return k;
    return 0;
}

uint32_t Z7Blocks_GetFirstID() {
    if (Z7Blocks_GetProc(0) != nullptr) return 0;
    const uint32_t k = Z7Blocks_GetNextID(0);
    return k ? k : ROW_END;
}

uint32_t Z7Blocks_Find(const char *name) {
    for (uint32_t k = 0; name != nullptr && k < ROW_END; k++)
        if (std::strcmp(kNames[k], name) == 0) return k;
    return ROW_END;
}
