// Bytecode interpreter: one flat dispatch loop over the program's u16 words.
//
// Every section the code addresses is taken once per run as a host pointer
// and an element count; every index operand is checked against its section
// (a bad static index is fatal log 8, a computed one fatal log 32), and the
// instruction pointer, operand words and every jump, call and return target
// stay inside the current program's code (else fatal log 8). In the
// workbench's command buffer a log 8 only ends the buffer.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "iec/vm/z7cnv.h"
#include "iec/vm/z7bsmp.h"
#include "iec/vm/z7interp.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7str.h"
#include "iec/vm/z7vm.h"

namespace {
constexpr uint32_t kNone = 0xFFFFFFFFu;
constexpr uint32_t kMaxOp = 569;
enum : uint16_t { LOG_UNDEF = 8, LOG_DIV32 = 12, LOG_FN = 17, LOG_DIV64 = 18, LOG_DIV8 = 21, LOG_DIV16 = 22,
                  LOG_BOUNDS = 32, LOG_STACK = 38 };
enum : uint8_t { LK8 = 0x01, LK16 = 0x02, LK32 = 0x04, LK64 = 0x08, LKT = 0x10, LKS = 0x20, LKXV = 0x80 };

struct Sec {
    uint8_t *p = nullptr;
    uint32_t n = 0;  // element count (bytes for the CT segment)
    uint32_t addr = 0;
};
template <typename T> inline T Ld(const uint8_t *p) { T v; std::memcpy(&v, p, sizeof v); return v; }
template <typename T> inline void St(uint8_t *p, T v) { std::memcpy(p, &v, sizeof v); }

// Section s from the descriptor table (host pointer): whole elements of esize
// bytes that lie inside the arena (esize 0: bytes).
Sec GetSec(const uint8_t *table, uint32_t s, uint32_t esize) {
    Sec r;
    const uint8_t *d = table + s * Z7_DESC_SIZE;
    const uint32_t size = Ld<uint32_t>(d + SD_SIZE);
    const uint64_t bytes = size ? size : uint64_t(Ld<uint16_t>(d + SD_ELEM)) * Ld<uint16_t>(d + SD_ALLOC);
    const uint64_t n = esize == 0 ? bytes : std::min<uint64_t>(Ld<uint16_t>(d + SD_ALLOC), bytes / esize);
    r.addr = Ld<uint32_t>(d + SD_ADDR);
    r.p = n ? Z7Mem_Ptr(r.addr, uint32_t(esize == 0 ? n : n * esize)) : nullptr;
    r.n = r.p ? uint32_t(n) : 0;
    return r;
}
uint32_t StepAdvance(uint8_t *step, uint32_t now) {
    uint32_t elapsed = Ld<uint32_t>(step), stamp = Ld<uint32_t>(step + 4);
    if (stamp != now) {
        elapsed = Z7VMTmr_Advance(elapsed, stamp, now);
        St<uint32_t>(step, elapsed);
        St<uint32_t>(step + 4, now);
    }
    return elapsed;
}

// Every opcode of the interpreter, X(opcode, fixed operand words). The one
// list: the opcode enum, the operand-count table and the dispatch table of
// the threaded interpreter are all generated from it.
#define Z7_OPCODES(X)                                                                                           \
    X(1, 2) X(2, 2) X(3, 2) X(4, 3) X(5, 3) X(6, 3) X(7, 3) X(8, 3) X(9, 3) X(10, 3) X(12, 3) X(13, 3) X(14, 3) \
    X(19, 3) X(20, 3) X(21, 3) X(22, 3) X(27, 3) X(28, 3) X(29, 3) X(30, 3) X(31, 3) X(32, 3) X(33, 3) X(34, 3) \
    X(35, 3) X(36, 3) X(37, 3) X(38, 3) X(39, 3) X(40, 3) X(41, 3) X(42, 3) X(43, 3) X(44, 2) X(45, 2) X(46, 2) \
    X(47, 2) X(48, 2) X(55, 3) X(56, 3) X(57, 3) X(58, 3) X(59, 3) X(60, 3) X(61, 3) X(62, 3) X(63, 3) X(64, 3) \
    X(65, 2) X(66, 2) X(67, 1) X(68, 0) X(107, 2) X(110, 2) X(111, 2) X(112, 2) X(113, 3) X(114, 3) X(115, 3)   \
    X(116, 3) X(117, 3) X(118, 3) X(120, 3) X(121, 3) X(126, 3) X(127, 3) X(128, 3) X(129, 3) X(134, 3)         \
    X(135, 3) X(136, 3) X(137, 3) X(138, 3) X(139, 3) X(140, 3) X(141, 3) X(142, 3) X(143, 3) X(144, 3)         \
    X(145, 3) X(146, 3) X(147, 3) X(148, 3) X(149, 3) X(150, 3) X(151, 2) X(152, 2) X(153, 2) X(154, 2)         \
    X(155, 2) X(161, 3) X(162, 3) X(163, 3) X(164, 3) X(165, 3) X(166, 3) X(167, 3) X(168, 3) X(169, 3)         \
    X(187, 1) X(188, 1) X(189, 1) X(190, 1) X(193, 2) X(196, 3) X(197, 3) X(200, 2) X(203, 3) X(204, 3)         \
    X(205, 4) X(207, 4) X(208, 2) X(209, 2) X(234, 0) X(256, 3) X(257, 0) X(258, 0) X(259, 0) X(260, 2)         \
    X(261, 1) X(262, 1) X(263, 1) X(264, 1) X(265, 1) X(266, 1) X(267, 2) X(268, 2) X(269, 1) X(270, 1)         \
    X(271, 3) X(272, 3) X(273, 1) X(274, 1) X(275, 1) X(276, 1) X(277, 1) X(278, 1) X(279, 3) X(280, 3)         \
    X(281, 1) X(282, 1) X(283, 3) X(284, 3) X(285, 2) X(286, 2) X(287, 2) X(288, 2) X(289, 2) X(290, 3)         \
    X(291, 3) X(292, 3) X(293, 3) X(294, 3) X(295, 3) X(296, 3) X(297, 3) X(300, 3) X(301, 3) X(304, 3)         \
    X(305, 3) X(306, 3) X(307, 3) X(308, 3) X(309, 3) X(310, 2) X(311, 2) X(312, 3) X(313, 3) X(314, 3)         \
    X(315, 3) X(316, 5) X(317, 5) X(318, 1) X(319, 1) X(320, 2) X(321, 2) X(322, 3) X(323, 3) X(324, 3)         \
    X(325, 3) X(326, 3) X(327, 3) X(328, 3) X(329, 3) X(332, 3) X(333, 3) X(336, 3) X(337, 3) X(338, 3)         \
    X(339, 3) X(340, 3) X(341, 3) X(342, 2) X(343, 2) X(344, 3) X(345, 3) X(346, 3) X(347, 3) X(348, 2)         \
    X(349, 2) X(350, 3) X(351, 3) X(352, 3) X(353, 3) X(354, 3) X(355, 3) X(356, 3) X(357, 3) X(360, 3)         \
    X(361, 3) X(364, 3) X(365, 3) X(366, 3) X(367, 3) X(368, 3) X(369, 3) X(370, 2) X(371, 2) X(372, 3)         \
    X(373, 3) X(374, 3) X(375, 3) X(376, 2) X(377, 2) X(378, 3) X(379, 3) X(380, 3) X(381, 3) X(382, 3)         \
    X(383, 3) X(384, 3) X(385, 3) X(388, 3) X(389, 3) X(392, 3) X(393, 3) X(394, 3) X(395, 3) X(396, 3)         \
    X(397, 3) X(398, 2) X(399, 2) X(400, 3) X(401, 3) X(402, 3) X(403, 3) X(404, 2) X(405, 2) X(406, 1)         \
    X(407, 1) X(408, 2) X(409, 2) X(410, 1) X(411, 1) X(412, 4) X(413, 3) X(414, 2) X(415, 2) X(416, 2)         \
    X(417, 3) X(418, 3) X(419, 1) X(420, 1) X(421, 2) X(422, 3) X(423, 1) X(424, 2) X(425, 2) X(426, 2)         \
    X(427, 2) X(428, 2) X(429, 2) X(430, 2) X(431, 2) X(432, 2) X(433, 2) X(434, 2) X(435, 2) X(436, 2)         \
    X(437, 2) X(438, 3) X(439, 5) X(440, 3) X(441, 2) X(442, 2) X(443, 2) X(444, 2) X(445, 2) X(446, 2)         \
    X(447, 2) X(448, 2) X(449, 2) X(450, 2) X(451, 2) X(452, 2) X(453, 2) X(454, 1) X(455, 1) X(456, 3)         \
    X(457, 3) X(458, 3) X(459, 3) X(460, 3) X(461, 3) X(462, 3) X(463, 3) X(464, 3) X(465, 3) X(466, 3)         \
    X(467, 3) X(468, 3) X(469, 3) X(470, 3) X(471, 3) X(472, 3) X(473, 3) X(474, 3) X(475, 3) X(476, 3)         \
    X(477, 3) X(478, 3) X(479, 3) X(480, 9) X(481, 2) X(482, 3) X(483, 3) X(484, 3) X(485, 3) X(486, 3)         \
    X(487, 3) X(488, 3) X(489, 3) X(490, 3) X(491, 3) X(492, 3) X(493, 3) X(494, 3) X(495, 3) X(496, 3)         \
    X(497, 3) X(498, 3) X(499, 3) X(500, 3) X(501, 3) X(502, 3) X(503, 3) X(504, 3) X(505, 3) X(506, 0)         \
    X(507, 1) X(508, 1) X(509, 3) X(510, 3) X(511, 3) X(513, 3) X(514, 3) X(515, 3) X(517, 3) X(518, 3)         \
    X(519, 3) X(521, 3) X(522, 3) X(523, 3) X(525, 0) X(526, 0) X(527, 3) X(528, 1) X(529, 2) X(530, 2)         \
    X(531, 3) X(532, 3) X(533, 2) X(534, 0) X(535, 2) X(536, 1) X(537, 1) X(538, 1) X(539, 1) X(540, 2)         \
    X(541, 2) X(542, 1) X(543, 2) X(544, 3) X(545, 2) X(546, 1) X(547, 2) X(548, 2) X(549, 1) X(550, 2)         \
    X(551, 2) X(552, 4) X(553, 2) X(554, 0) X(555, 3) X(556, 3) X(557, 3) X(558, 3) X(559, 3) X(560, 3)         \
    X(561, 3) X(562, 3) X(563, 3) X(564, 0) X(565, 1) X(566, 3) X(567, 3) X(568, 6) X(569, 2)

enum Z7Opcode : uint16_t {
#define Z7_OP_ENUM(op, words) Z7OP_##op = op,
    Z7_OPCODES(Z7_OP_ENUM)
#undef Z7_OP_ENUM
};

// Operand words of each opcode (fixed part); 0xFF: undefined.
struct OpTable {
    uint8_t n[kMaxOp + 1];
    constexpr OpTable() : n{} {
        for (auto &x : n) x = 0xFF;
#define Z7_OP_WORDS(op, words) n[Z7OP_##op] = words;
        Z7_OPCODES(Z7_OP_WORDS)
#undef Z7_OP_WORDS
    }
};
constexpr OpTable kOps{};

// Section views of the running database, kept while its descriptor table
// stays the same.
struct TicViews {
    uint32_t db = 0;
    uint8_t desc[Z7_DESC_TABLE] = {};
    Sec d8, d16, d32, d64, tm, lk, sp, xv, step, trans, prog, inst, cfn, ct, cs;
};
TicViews tic_views;

// Threaded dispatch: the handler address of every opcode (L_undef where no
// opcode is defined), filled on the interpreter's first run.
struct TicDispatch {
    void *label[kMaxOp + 1];
    bool ready;
};
TicDispatch tic_dispatch;

struct Vm {
    uint32_t db, st;
    uint8_t *status;
    Sec d8, d16, d32, d64, tm, lk, sp, xv, step, trans, prog, inst, cfn, ct, cs;
    uint32_t now;
    uint16_t cs_size;
};

inline uint16_t Flags(const Vm &v) { return Ld<uint16_t>(v.status + ST_FLAGS); }
inline void SetFlags(Vm &v, uint16_t f) { St<uint16_t>(v.status + ST_FLAGS, f); }
inline bool Locked(const Vm &v, uint32_t i, uint8_t bit) { return i < v.lk.n && (v.lk.p[i] & bit); }

// Arena bytes [addr, addr + n) inside the arena; host pointer or null.
inline uint8_t *Arena(uint32_t addr, uint32_t n) { return addr == 0 ? nullptr : Z7Mem_Ptr(addr, n); }
// Bytes [off, off + n) of the CT segment, or null.
inline uint8_t *CtAt(const Vm &v, uint64_t off, uint32_t n) {
    return off + n <= v.ct.n ? v.ct.p + off : nullptr;
}

// Lock bit of the destination of a conversion by its type code (0: none).
uint8_t ConvLockBit(uint32_t type) {
    switch (type) {
    case 1: case 10: case 14: return LK8;
    case 11: case 15: return LK16;
    case 2: case 3: case 16: return LK32;
    case 12: case 13: return LK64;
    case 4: return LKT;
    case 5: return LKS;
    default: return 0;
    }
}

// Writes the width bytes of value (little-endian) through an XV pointer.
void PutBytes(uint8_t *p, uint64_t value, uint32_t width) {
    for (uint32_t i = 0; i < width; i++) p[i] = uint8_t(value >> (8 * i));
}

// Instruction and the program code it runs in.
struct Code {
    const uint8_t *p = nullptr;  // host pointer of word 0
    uint32_t addr = 0;           // arena address of word 0
    uint32_t words = 0;
};
Code ProgCode(const Vm &v, uint32_t k) {
    Code c;
    if (k == 0 || k >= v.prog.n) return c;
    const uint8_t *e = v.prog.p + PG_SIZE * k;
    const uint32_t addr = Ld<uint32_t>(e + PG_CODE), len = Ld<uint32_t>(e + PG_LEN);
    const uint8_t *p = addr ? Z7Mem_Ptr(addr, len) : nullptr;
    if (p == nullptr) return c;
    c.p = p;
    c.addr = addr;
    c.words = len / 2;
    return c;
}

}  // namespace

// ---- lock bookkeeping ---------------------------------------------------------------------------
void Z7VMTic_LockVar(uint32_t db, uint32_t index, uint8_t bit) {
    const uint32_t st = Z7VM_Status(db);
    if (st == 0) return;
    if (index > 0) {
        const uint32_t a = Z7Sec_Elem(db, Z7SEC_LOCK, index);
        if (a == 0 || (Z7Mem_Get8(a) & bit)) return;
        Z7Mem_Put8(a, uint8_t(Z7Mem_Get8(a) | bit));
    }
    Z7Mem_Put32(st + ST_LOCKED, Z7Mem_Get32(st + ST_LOCKED) + 1);
    Z7St_SetFlags(db, uint16_t(Z7St_Flags(db) | Z7F_LOCKED));
}

void Z7VMTic_UnlockVar(uint32_t db, uint32_t index, uint8_t bit, uint32_t) {
    const uint32_t st = Z7VM_Status(db);
    if (st == 0) return;
    if (index > 0) {
        const uint32_t a = Z7Sec_Elem(db, Z7SEC_LOCK, index);
        if (a == 0 || !(Z7Mem_Get8(a) & bit)) return;
        Z7Mem_Put8(a, uint8_t(Z7Mem_Get8(a) & ~bit));
    }
    const uint32_t n = Z7Mem_Get32(st + ST_LOCKED);
    if (n > 0) {
        Z7Mem_Put32(st + ST_LOCKED, n - 1);
        if (n == 1) Z7St_SetFlags(db, uint16_t(Z7St_Flags(db) & ~Z7F_LOCKED));
    }
}

void Z7VMTic_UnlockAllVars(uint32_t db) {
    const uint32_t st = Z7VM_Status(db);
    if (st == 0) return;
    const uint32_t n = Z7Sec_Bytes(db, Z7SEC_LOCK);
    if (uint8_t *p = n ? Z7Mem_Ptr(Z7Sec_Addr(db, Z7SEC_LOCK), n) : nullptr) std::memset(p, 0, n);
    Z7St_SetFlags(db, uint16_t(Z7St_Flags(db) & ~Z7F_LOCKED));
    Z7Mem_Put32(st + ST_LOCKED, 0);
}

// ---- CT segment ---------------------------------------------------------------------------------
uint32_t Z7VMTic_CTMemcpy(uint32_t db, int32_t dst, int32_t src, int32_t len) {
    if (len <= 0) return 1;  // a negative length copies nothing
    const uint32_t size = Z7Sec_Bytes(db, Z7SEC_CT), seg = Z7Sec_Addr(db, Z7SEC_CT);
    if (dst < 0 || src < 0 || uint64_t(uint32_t(dst)) + uint32_t(len) > size ||
        uint64_t(uint32_t(src)) + uint32_t(len) > size)
        return 0;
    uint8_t *d = Z7Mem_Ptr(seg + uint32_t(dst), uint32_t(len));
    const uint8_t *s = Z7Mem_Ptr(seg + uint32_t(src), uint32_t(len));
    if (d == nullptr || s == nullptr) return 0;
    std::memmove(d, s, uint32_t(len));
    return 1;
}

namespace {
// Section, element width and lock bit of a CT item class; 0 width: none.
struct CtClass {
    uint32_t sec, width;
    uint8_t bit;
};
CtClass CtClassOf(uint32_t cls) {
    switch (cls) {
    case 1: return {Z7SEC_D8, 1, LK8};
    case 2: return {Z7SEC_D32, 4, LK32};
    case 4: return {Z7SEC_TIME, 4, LKT};
    case 5: return {Z7SEC_STRPTR, 4, LKS};
    case 11: return {Z7SEC_D16, 2, LK16};
    case 12: return {Z7SEC_D64, 8, LK64};
    default: return {0, 0, 0};
    }
}
uint32_t CtItem(uint32_t db, uint32_t cls, uint32_t var, int32_t off, bool set) {
    const CtClass c = CtClassOf(cls);
    if (c.width == 0) return 1;
    const uint32_t size = Z7Sec_Bytes(db, Z7SEC_CT), seg = Z7Sec_Addr(db, Z7SEC_CT);
    const uint32_t elem = Z7Sec_Elem(db, c.sec, var);
    if (elem == 0) return 0;
    if (cls == 5) {
        // the CT item is a string slot {max, length, text}
        if (off < 0 || uint64_t(uint32_t(off)) + 3 > size) return 0;
        const uint32_t slot = seg + uint32_t(off);
        const uint32_t max = Z7Mem_Get8(slot);
        if (uint64_t(uint32_t(off)) + max + 3 > size) return 0;
        if (set) {
            Z7VMStr_CopyPtr(slot, Z7VMStr_Slot(db, var));
        } else {
            if (Z7Mem_Get8(Z7Sec_Elem(db, Z7SEC_LOCK, var)) & c.bit) return 1;
            const uint8_t *counted = Z7Mem_Ptr(slot + 1, 1u + std::min<uint32_t>(Z7Mem_Get8(slot + 1), max));
            if (counted == nullptr) return 0;
            uint8_t buf[257];
            buf[0] = uint8_t(std::min<uint32_t>(counted[0], max));
            std::memcpy(buf + 1, counted + 1, buf[0]);
            Z7VMStr_Force(db, var, buf);
        }
        return 1;
    }
    if (off < 0 || uint64_t(uint32_t(off)) + c.width > size) return 0;
    uint8_t *item = Z7Mem_Ptr(seg + uint32_t(off), c.width), *v = Z7Mem_Ptr(elem, c.width);
    if (item == nullptr || v == nullptr) return 0;
    if (set) {
        std::memcpy(item, v, c.width);
    } else {
        if (Z7Mem_Get8(Z7Sec_Elem(db, Z7SEC_LOCK, var)) & c.bit) return 1;
        std::memcpy(v, item, c.width);
    }
    return 1;
}
}  // namespace

uint32_t Z7VMTic_SetCTSegItem(uint32_t db, uint32_t cls, uint32_t var, int32_t off) {
    return CtItem(db, cls, var, off, true);
}
uint32_t Z7VMTic_GetCTSegItem(uint32_t db, uint32_t cls, uint32_t var, int32_t off) {
    return CtItem(db, cls, var, off, false);
}

void Z7VMTic_SetSfcBreakS(uint32_t db, uint32_t step, uint16_t value) {
    const uint32_t n = Z7Sec_Get(db, Z7SEC_STEP, SD_ALLOC);
    for (uint32_t k = step == 0 ? 1 : step; k < n && (step == 0 || k == step); k++)
        Z7Mem_Put16(Z7Sec_Elem(db, Z7SEC_STEP, k) + 10, value);
}
void Z7VMTic_SetSfcBreakT(uint32_t db, uint32_t trans, uint16_t value) {
    const uint32_t n = Z7Sec_Get(db, Z7SEC_TRANS, SD_ALLOC);
    for (uint32_t k = trans == 0 ? 1 : trans; k < n && (trans == 0 || k == trans); k++)
        Z7Mem_Put16(Z7Sec_Elem(db, Z7SEC_TRANS, k) + 2, value);
}

void Z7VMTic_Init(uint32_t) {}
void Z7VMTic_Exit(uint32_t) {}
void Z7VMTic_ExeCtrl() {}

// ---- the interpreter ------------------------------------------------------------------------------
uint32_t Z7VMTic_Run(uint32_t db, uint32_t status, uint32_t code, uint32_t length, uint32_t program) {
    Vm v{};
    v.db = db;
    v.st = status;
    v.status = Z7Mem_Ptr(status, ST_SIZE);
    const uint8_t *table = db ? Z7Mem_Ptr(db, Z7_DESC_TABLE) : nullptr;
    if (v.status == nullptr || table == nullptr || status != Ld<uint32_t>(table)) return 0;
    TicViews &views = tic_views;
    if (views.db != db || std::memcmp(views.desc, table, Z7_DESC_TABLE) != 0) {
        views.db = db;
        std::memcpy(views.desc, table, Z7_DESC_TABLE);
        views.d8 = GetSec(table, Z7SEC_D8, 1);
        views.d16 = GetSec(table, Z7SEC_D16, 2);
        views.d32 = GetSec(table, Z7SEC_D32, 4);
        views.d64 = GetSec(table, Z7SEC_D64, 8);
        views.tm = GetSec(table, Z7SEC_TIME, 4);
        views.lk = GetSec(table, Z7SEC_LOCK, 1);
        views.sp = GetSec(table, Z7SEC_STRPTR, 4);
        views.xv = GetSec(table, Z7SEC_XV, 4);
        views.step = GetSec(table, Z7SEC_STEP, 12);
        views.trans = GetSec(table, Z7SEC_TRANS, 4);
        views.prog = GetSec(table, Z7SEC_PROG, PG_SIZE);
        views.inst = GetSec(table, Z7SEC_INST, 20);
        views.cfn = GetSec(table, Z7SEC_CFUNC, 24);
        views.ct = GetSec(table, Z7SEC_CT, 0);
        views.cs = GetSec(table, Z7SEC_CSTACK, 4);
    }
    v.d8 = views.d8;
    v.d16 = views.d16;
    v.d32 = views.d32;
    v.d64 = views.d64;
    v.tm = views.tm;
    v.lk = views.lk;
    v.sp = views.sp;
    v.xv = views.xv;
    v.step = views.step;
    v.trans = views.trans;
    v.prog = views.prog;
    v.inst = views.inst;
    v.cfn = views.cfn;
    v.ct = views.ct;
    v.cs = views.cs;
    v.now = Ld<uint32_t>(v.status + ST_STAMP);
    v.cs_size = Ld<uint16_t>(v.status + ST_CSSIZE);
    if (v.cs_size > v.cs.n) v.cs_size = uint16_t(v.cs.n);

    uint32_t left = Z7VMTic_JumpBudget;  // backward jumps left (0: no limit)
    uint32_t ctreg = kNone;
    uint32_t anchor = kNone, anchor_prog = 0, repeat = 0;
    uint32_t cur = program;  // current program
    Code c;
    uint32_t start = 0;  // word index where the run starts
    const uint8_t *pc = nullptr;  // the current instruction
    const uint8_t *cend = nullptr;  // the end of the current code
    uint32_t depth = Z7Sec_Get(db, Z7SEC_CSTACK, SD_USED);

    auto put_frame = [&](uint32_t i, uint16_t prog, uint16_t ret) {
        St<uint16_t>(v.cs.p + 4 * i, prog);
        St<uint16_t>(v.cs.p + 4 * i + 2, ret);
    };
    auto set_depth = [&](uint32_t d) {
        depth = d;
        Z7Sec_Set(db, Z7SEC_CSTACK, SD_USED, uint16_t(d));
    };

    if (program == 0) {
        // command buffer: the words inside section 2
        const uint32_t size = Z7Sec_Bytes(db, Z7SEC_EXEC);
        if (code != Z7Sec_Addr(db, Z7SEC_EXEC)) return 0;
        const uint32_t len = std::min(length, size);
        c.p = Z7Mem_Ptr(code, len);
        c.addr = code;
        c.words = c.p ? len / 2 : 0;
    } else {
        Z7VMPrg_RestoreCallStack(db, program);
        depth = Z7Sec_Get(db, Z7SEC_CSTACK, SD_USED);
        if (depth >= v.cs_size && depth > 0) set_depth(0);  // a damaged saved depth starts over
        if (depth > 0) cur = Ld<uint16_t>(v.cs.p + 4 * depth);
        else if (v.cs_size > 0) put_frame(0, uint16_t(program), 0);
        c = ProgCode(v, cur);
        if (c.p == nullptr && cur != program) {
            cur = program;
            set_depth(0);
            c = ProgCode(v, cur);
        }
        if (cur < v.prog.n) {
            uint8_t *e = v.prog.p + PG_SIZE * cur;
            start = Ld<uint32_t>(e + PG_HELD);
            St<uint32_t>(e + PG_HELD, 0);
        }
        St<uint16_t>(v.status + ST_BRK_PROG, 0);
        St<uint16_t>(v.status + ST_BRK_POS, 0);
        (void)code;
    }
    pc = c.p + 2 * size_t(std::min(start, c.words));
    cend = c.p + 2 * size_t(c.words);

    uint16_t op = 0;
    uint32_t fault_code = 0, fault_arg = 0;

#define W(k) Ld<uint16_t>(pc + 2 * (k))
#define IP (uint32_t((pc - c.p) >> 1))
#define CEND cend
// operand words present: n_ words including the opcode
#define HAVE(n_)                                                                                             \
    if (size_t(CEND - pc) < 2u * (n_)) goto bad_op
#define CHECK_LEN HAVE(1u + kOps.n[op])
#define DISPATCH()                                                                                           \
    do {                                                                                                     \
        if (pc >= CEND) goto off_end;                                                                        \
        op = W(0);                                                                                           \
        if (op > kMaxOp) goto bad_op;                                                                        \
        goto *tbl[op];                                                                                       \
    } while (0)
#define NEXT_N(n_)                                                                                           \
    do {                                                                                                     \
        pc += 2 * size_t((n_));                                                                              \
        DISPATCH();                                                                                          \
    } while (0)
#define NEXT                                                                                                 \
    do {                                                                                                     \
        pc += 2 * size_t(1u + kOps.n[op]);                                                                   \
        DISPATCH();                                                                                          \
    } while (0)
#define FAULT(code_, arg_)                                                                                   \
    do {                                                                                                     \
        fault_code = (code_);                                                                                \
        fault_arg = (arg_);                                                                                  \
        goto fatal;                                                                                          \
    } while (0)
#define NEED(sec, i)                                                                                         \
    if ((i) >= v.sec.n) FAULT(LOG_UNDEF, (i))
#define LOGPOS (cur + 65536u * (2u * (IP + 1u)))
#define JUMP_REL(k)                                                                                          \
    do {                                                                                                     \
        const int64_t t_ = int64_t(2) * (IP + (k) + 1) + int16_t(W(k));                                      \
        if (t_ < 0 || (t_ & 1) || t_ >= int64_t(2) * c.words) FAULT(LOG_UNDEF, op);                          \
        if (uint32_t(t_ / 2) <= IP && left != 0 && --left == 0) FAULT(LOG_UNDEF, op);                        \
        pc = c.p + 2 * size_t(uint32_t(t_ / 2));                                                             \
        DISPATCH();                                                                                          \
    } while (0)
#define JUMP_ABS(off)                                                                                        \
    do {                                                                                                     \
        const uint32_t t_ = (off);                                                                           \
        if ((t_ & 1) || t_ / 2 >= c.words) FAULT(LOG_UNDEF, op);                                             \
        if (t_ / 2 <= IP && left != 0 && --left == 0) FAULT(LOG_UNDEF, op);                                  \
        pc = c.p + 2 * size_t(t_ / 2);                                                                       \
        DISPATCH();                                                                                          \
    } while (0)

    // typed views
#define P8(i) (v.d8.p + (i))
#define P16(i) (v.d16.p + 2 * (i))
#define P32(i) (v.d32.p + 4 * (i))
#define P64(i) (v.d64.p + 8 * (i))
#define PT(i) (v.tm.p + 4 * (i))

// dst, a, b in one section; E computes from a_ and b_ of type T; twin tests bit.
#define BIN(SEC, PX, T, bit, twin, E)                                                                        \
    {                                                                                                        \
        HAVE(4);                                                                                             \
        const uint32_t d = W(1), a = W(2), b = W(3);                                                         \
        NEED(SEC, d); NEED(SEC, a); NEED(SEC, b);                                                            \
        const T a_ = Ld<T>(PX(a)), b_ = Ld<T>(PX(b));                                                        \
        (void)a_; (void)b_;                                                                                  \
        if (!(twin) || !Locked(v, d, bit)) St<T>(PX(d), T(E));                                               \
        NEXT_N(4);                                                                                           \
    }
#define UN(SEC, PX, T, bit, twin, E)                                                                         \
    {                                                                                                        \
        HAVE(3);                                                                                             \
        const uint32_t d = W(1), a = W(2);                                                                   \
        NEED(SEC, d); NEED(SEC, a);                                                                          \
        const T a_ = Ld<T>(PX(a));                                                                           \
        if (!(twin) || !Locked(v, d, bit)) St<T>(PX(d), T(E));                                               \
        NEXT_N(3);                                                                                           \
    }
// comparison into an 8-bit dst
#define CMP(SEC, PX, T, twin, E)                                                                             \
    {                                                                                                        \
        HAVE(4);                                                                                             \
        const uint32_t d = W(1), a = W(2), b = W(3);                                                         \
        NEED(d8, d); NEED(SEC, a); NEED(SEC, b);                                                             \
        const T a_ = Ld<T>(PX(a)), b_ = Ld<T>(PX(b));                                                        \
        if (!(twin) || !Locked(v, d, LK8)) *P8(d) = (E) ? 1 : 0;                                             \
        NEXT_N(4);                                                                                           \
    }
#define SCMP(twin, E)                                                                                        \
    {                                                                                                        \
        HAVE(4);                                                                                             \
        const uint32_t d = W(1), a = W(2), b = W(3);                                                         \
        NEED(d8, d); NEED(sp, a); NEED(sp, b);                                                               \
        const int32_t r_ = Z7VMStr_Compare(db, a, b);                                                        \
        if (!(twin) || !Locked(v, d, LK8)) *P8(d) = (E) ? 1 : 0;                                             \
        NEXT_N(4);                                                                                           \
    }
// division with a substitute on zero
#define DIV(SEC, PX, T, bit, twin, ZERO, SUB, LOGC, E)                                                       \
    {                                                                                                        \
        HAVE(4);                                                                                             \
        const uint32_t d = W(1), a = W(2), b = W(3);                                                         \
        NEED(SEC, d); NEED(SEC, a); NEED(SEC, b);                                                            \
        const T a_ = Ld<T>(PX(a)), b_ = Ld<T>(PX(b));                                                        \
        T r_;                                                                                                \
        if (ZERO) {                                                                                          \
            r_ = SUB;                                                                                        \
            Z7VMLog_Push(db, LOGC, uint16_t(b), LOGPOS);                                                     \
        } else {                                                                                             \
            r_ = T(E);                                                                                       \
        }                                                                                                    \
        if (!(twin) || !Locked(v, d, bit)) St<T>(PX(d), r_);                                                 \
        NEXT_N(4);                                                                                           \
    }
#define MOVE(SEC, PX, T, bit, twin)                                                                          \
    {                                                                                                        \
        HAVE(3);                                                                                             \
        const uint32_t d = W(1), a = W(2);                                                                   \
        NEED(SEC, d); NEED(SEC, a);                                                                          \
        if (!(twin) || !Locked(v, d, bit)) St<T>(PX(d), Ld<T>(PX(a)));                                       \
        NEXT_N(3);                                                                                           \
    }
// element index = base + DINT (computed: fault 32)
#define ELEM(SEC, base_, dint_, out_)                                                                        \
    NEED(d32, dint_);                                                                                        \
    const int64_t out_##w = int64_t(base_) + Ld<int32_t>(P32(dint_));                                        \
    if (out_##w < 0 || out_##w >= int64_t(v.SEC.n)) FAULT(LOG_BOUNDS, dint_);                                \
    const uint32_t out_ = uint32_t(out_##w);
#define LOADEL(SEC, PX, T, bit, twin)                                                                        \
    {                                                                                                        \
        HAVE(4);                                                                                             \
        const uint32_t d = W(1), base = W(2), k = W(3);                                                      \
        NEED(SEC, d); NEED(SEC, base);                                                                       \
        ELEM(SEC, base, k, e);                                                                               \
        if (!(twin) || !Locked(v, d, bit)) St<T>(PX(d), Ld<T>(PX(e)));                                       \
        NEXT_N(4);                                                                                           \
    }
#define STOREEL(SEC, PX, T, bit, twin, baselock)                                                             \
    {                                                                                                        \
        HAVE(4);                                                                                             \
        const uint32_t base = W(1), k = W(2), s = W(3);                                                      \
        NEED(SEC, base); NEED(SEC, s);                                                                       \
        ELEM(SEC, base, k, e);                                                                               \
        if (!(twin) || !Locked(v, (baselock) ? base : e, bit)) St<T>(PX(e), Ld<T>(PX(s)));                   \
        NEXT_N(4);                                                                                           \
    }
#define LOCKOP(SEC, bit, lock)                                                                               \
    {                                                                                                        \
        HAVE(2);                                                                                             \
        const uint32_t i = W(1);                                                                             \
        NEED(SEC, i);                                                                                        \
        if (lock) Z7VMTic_LockVar(db, i, bit);                                                               \
        else Z7VMTic_UnlockVar(db, i, bit, ctreg);                                                           \
        NEXT_N(2);                                                                                           \
    }
// constant write: index 0 goes to the CT item at the register
#define CONST(SEC, PX, T, bit, twin, VAL, keepreg)                                                           \
    {                                                                                                        \
        CHECK_LEN;                                                                                           \
        const uint32_t d = W(1);                                                                             \
        NEED(SEC, d);                                                                                        \
        const T val_ = T(VAL);                                                                               \
        if (!(twin) || !Locked(v, d, bit)) {                                                                 \
            if (d == 0) {                                                                                    \
                if (ctreg != kNone) {                                                                        \
                    uint8_t *ci = CtAt(v, ctreg, sizeof(T));                                                 \
                    if (ci == nullptr) FAULT(LOG_BOUNDS, 0);                                                 \
                    St<T>(ci, val_);                                                                         \
                    if (!(keepreg)) ctreg = kNone;                                                           \
                }                                                                                            \
            } else {                                                                                         \
                St<T>(PX(d), val_);                                                                          \
            }                                                                                                \
        }                                                                                                    \
        NEXT;                                                                                                \
    }
#define W32(k) (uint32_t(W(k)) << 16 | W((k) + 1))
#define W64(k) (uint64_t(W32(k)) << 32 | W32((k) + 2))
// XV pointer of number x (computed: fault 32), width bytes
#define XVPTR(x, width, computed, out)                                                                       \
    if ((x) >= v.xv.n || (x) == 0) FAULT((computed) ? LOG_BOUNDS : LOG_UNDEF, (x));                          \
    uint8_t *out = Arena(Ld<uint32_t>(v.xv.p + 4 * (x)), (width));                                           \
    if (out == nullptr) FAULT(LOG_BOUNDS, (x));
#define XVNUM(indexed, out)                                                                                  \
    uint32_t out = W(1);                                                                                     \
    if (indexed) {                                                                                           \
        NEED(d32, W(3));                                                                                     \
        const int64_t xw_ = int64_t(out) + Ld<int32_t>(P32(W(3)));                                           \
        if (xw_ <= 0 || xw_ >= int64_t(v.xv.n)) FAULT(LOG_BOUNDS, W(3));                                     \
        out = uint32_t(xw_);                                                                                 \
    }
#define XVREAD(SEC, PX, width, bit, twin, indexed)                                                           \
    {                                                                                                        \
        CHECK_LEN;                                                                                           \
        XVNUM(indexed, x);                                                                                   \
        const uint32_t d = W(2);                                                                             \
        NEED(SEC, d);                                                                                        \
        XVPTR(x, width, indexed, xp);                                                                        \
        if (!(twin) || !Locked(v, d, bit)) std::memcpy(PX(d), xp, width);                                    \
        NEXT_N(((indexed) ? 4 : 3));                                                                         \
    }
#define XVWRITE(SEC, PX, width, twin, indexed)                                                               \
    {                                                                                                        \
        CHECK_LEN;                                                                                           \
        XVNUM(indexed, x);                                                                                   \
        const uint32_t s = W(2);                                                                             \
        NEED(SEC, s);                                                                                        \
        XVPTR(x, width, indexed, xp);                                                                        \
        if (!(twin) || !Locked(v, x, LKXV)) std::memcpy(xp, PX(s), width);                                   \
        NEXT_N(((indexed) ? 4 : 3));                                                                         \
    }
#define XVSTR(read, twin, indexed)                                                                           \
    {                                                                                                        \
        CHECK_LEN;                                                                                           \
        XVNUM(indexed, x);                                                                                   \
        const uint32_t s = W(2);                                                                             \
        NEED(sp, s);                                                                                         \
        XVPTR(x, 3, indexed, xp);                                                                            \
        (void)xp;                                                                                            \
        const uint32_t slot = Ld<uint32_t>(v.xv.p + 4 * x);                                                  \
        if (read) {                                                                                          \
            if (!(twin) || !Locked(v, s, LKS)) Z7VMStr_CopyPtr(Z7VMStr_Slot(db, s), slot);                   \
        } else {                                                                                             \
            if (!(twin) || !Locked(v, x, LKXV)) Z7VMStr_CopyPtr(slot, Z7VMStr_Slot(db, s));                  \
        }                                                                                                    \
        NEXT_N(((indexed) ? 4 : 3));                                                                         \
    }
#define STEPP(i) (v.step.p + 12 * (i))
#define TRANSP(i) (v.trans.p + 4 * (i))
#define PROGP(i) (v.prog.p + PG_SIZE * (i))

    // threaded dispatch: every handler jumps to the next through this table
    if (!tic_dispatch.ready) {
        for (auto &t : tic_dispatch.label) t = &&L_undef;
#define Z7_OP_LABEL(op, words) tic_dispatch.label[Z7OP_##op] = &&L_##op;
        Z7_OPCODES(Z7_OP_LABEL)
#undef Z7_OP_LABEL
        tic_dispatch.ready = true;
    }
    void *const *const tbl = tic_dispatch.label;
    DISPATCH();

        // ---- control flow ----
        L_67: CHECK_LEN; JUMP_REL(1);
        L_65: CHECK_LEN; { const uint32_t b = W(1); NEED(d8, b); if (*P8(b)) JUMP_REL(2); NEXT; }
        L_66: CHECK_LEN; { const uint32_t b = W(1); NEED(d8, b); if (!*P8(b)) JUMP_REL(2); NEXT; }
        L_528: CHECK_LEN; JUMP_ABS(W(1));
        L_529: CHECK_LEN; { const uint32_t b = W(1); NEED(d8, b); if (*P8(b)) JUMP_ABS(W(2)); NEXT; }
        L_530: CHECK_LEN; { const uint32_t b = W(1); NEED(d8, b); if (!*P8(b)) JUMP_ABS(W(2)); NEXT; }
        L_543: CHECK_LEN; {
            const uint32_t k = W(1), n = W(2);
            NEED(d32, k);
            if (IP + 3 + n > c.words) FAULT(LOG_UNDEF, op);
            const uint32_t sel = Ld<uint32_t>(P32(k)) & 0xFFFF;
            if (sel < n) JUMP_ABS(W(3 + sel));
            pc += 2 * size_t(3 + n);
            DISPATCH();
        }
        L_544: CHECK_LEN; {
            const uint32_t a = W(2), b = W(3);
            NEED(d32, a); NEED(d32, b);
            if (Ld<uint32_t>(P32(a)) == Ld<uint32_t>(P32(b))) JUMP_ABS(W(1));
            NEXT;
        }
        L_68: L_234: CHECK_LEN; {
            if (program == 0 || depth == 0) return 1;
            set_depth(depth - 1);
            const uint16_t to = Ld<uint16_t>(v.cs.p + 4 * depth), ret = Ld<uint16_t>(v.cs.p + 4 * depth + 2) & 0xFFFE;
            cur = to;
            c = ProgCode(v, cur);
            cend = c.p + 2 * size_t(c.words);
            if (c.p == nullptr || ret / 2u >= c.words) FAULT(LOG_UNDEF, op);
            put_frame(depth, to, ret);
            pc = c.p + 2 * size_t(ret / 2u);
            DISPATCH();
        }
        L_423: CHECK_LEN; {
            const uint32_t target = W(1);
            if (program == 0) FAULT(LOG_UNDEF, op);
            if (depth + 1 >= v.cs_size) FAULT(LOG_STACK, target);
            const Code t = ProgCode(v, target);
            if (t.p == nullptr) FAULT(LOG_UNDEF, target);
            put_frame(depth, uint16_t(cur), uint16_t(2 * (IP + 2)));
            set_depth(depth + 1);
            put_frame(depth, uint16_t(target), 0);
            cur = target;
            c = t;
            cend = c.p + 2 * size_t(c.words);
            pc = c.p + 2 * size_t(0);
            DISPATCH();
        }
        L_506: CHECK_LEN; 
            if (cur < v.prog.n && cur > 0) St<uint32_t>(PROGP(cur) + PG_HELD, IP);
            NEXT;
        L_507: CHECK_LEN; {
            const uint32_t b = W(1);
            NEED(d8, b);
            if (*P8(b) == 0) {
                if (program == 0) return 1;
                Z7VMPrg_SaveCallStack(db, program);
                set_depth(0);
                return 1;
            }
            if (cur < v.prog.n && cur > 0) St<uint32_t>(PROGP(cur) + PG_HELD, 0);
            NEXT;
        }
        L_421: CHECK_LEN; {
            const uint32_t n = W(1), phase = W(2);
            if (n < 2 || depth != 0 || cur == 0 || cur >= v.prog.n) NEXT;
            uint8_t *e = PROGP(cur);
            const uint16_t cnt = Ld<uint16_t>(e + PG_DIV);
            St<uint16_t>(e + PG_DIV, uint16_t((cnt + 1u) % n));
            if (cnt != phase) return 1;
            NEXT;
        }
        L_422: CHECK_LEN; {
            const uint32_t k = W(1);
            NEED(d32, k);
            const int32_t x = Ld<int32_t>(P32(k));
            if (x < int32_t(W(2)) || x > int32_t(W(3))) FAULT(LOG_BOUNDS, k);
            NEXT;
        }
        L_564: CHECK_LEN; 
            anchor = IP + 1;
            anchor_prog = cur;
            repeat = 1000000;
            NEXT;
        L_565: CHECK_LEN; {
            const uint32_t k = W(1);
            NEED(d32, k);
            if (repeat == 0 || anchor_prog != cur || anchor == kNone) {
                repeat = 0;
                St<int32_t>(P32(k), 0);
                NEXT;
            }
            if (--repeat == 0) {
                St<int32_t>(P32(k), 0);
                NEXT;
            }
            if (left != 0 && --left == 0) FAULT(LOG_UNDEF, op);
            pc = c.p + 2 * size_t(anchor);
            DISPATCH();
        }
        L_526: L_534: L_542: CHECK_LEN; NEXT;
        L_508: CHECK_LEN; {
            const uint16_t id = W(1);
            const uint16_t pos = uint16_t(2 * IP);
            if ((Flags(v) & Z7F_STEP) || Z7VMPrg_IsBreakpoint(db, uint16_t(cur), pos, id)) {
                SetFlags(v, uint16_t((Flags(v) & ~Z7F_RUN) | Z7F_ONECYCLE | Z7F_STEP));
                if (cur > 0 && cur < v.prog.n) St<uint32_t>(PROGP(cur) + PG_HELD, IP + 2);
                St<uint16_t>(v.status + ST_BRK_PROG, uint16_t(cur));
                St<uint16_t>(v.status + ST_BRK_POS, pos);
                // the held program keeps its frames; the next program starts at depth 0
                if (program != 0) {
                    Z7VMPrg_SaveCallStack(db, program);
                    set_depth(0);
                }
                return 0;
            }
            NEXT;
        }
        L_527: CHECK_LEN; Z7VMPrg_SetBreakpoint(db, W(1), W(2), W(3)); NEXT;
        L_257: CHECK_LEN; SetFlags(v, uint16_t(Flags(v) & ~(Z7F_RUN | Z7F_STEP))); NEXT;
        L_258: CHECK_LEN; SetFlags(v, uint16_t((Flags(v) | Z7F_RUN) & ~(Z7F_STOPPED | Z7F_STEP))); NEXT;
        L_259: CHECK_LEN; SetFlags(v, uint16_t((Flags(v) | Z7F_ONECYCLE) & ~Z7F_STEP)); NEXT;
        L_525: CHECK_LEN; if (!(Flags(v) & Z7F_RUN)) SetFlags(v, uint16_t(Flags(v) | Z7F_ONECYCLE | Z7F_STEP)); NEXT;
        L_260: CHECK_LEN; St<uint32_t>(v.status + ST_PERIOD, W32(1)); NEXT;
        // ---- locks ----
        L_265: L_406: LOCKOP(d8, LK8, true);
        L_266: L_407: LOCKOP(d8, LK8, false);
        L_269: LOCKOP(d16, LK16, true);
        L_270: LOCKOP(d16, LK16, false);
        L_273: LOCKOP(d32, LK32, true);
        L_274: LOCKOP(d32, LK32, false);
        L_318: LOCKOP(d64, LK64, true);
        L_319: LOCKOP(d64, LK64, false);
        L_281: LOCKOP(tm, LKT, true);
        L_282: LOCKOP(tm, LKT, false);
        L_410: LOCKOP(sp, LKS, true);
        L_411: LOCKOP(sp, LKS, false);
        L_454: L_455: CHECK_LEN; {
            const uint32_t x = W(1);
            NEED(xv, x);
            if (x < v.lk.n) v.lk.p[x] = uint8_t(op == 454 ? (v.lk.p[x] | LKXV) : (v.lk.p[x] & ~LKXV));
            NEXT;
        }
        L_554: CHECK_LEN; Z7VMTic_UnlockAllVars(db); NEXT;

        // ---- arithmetic ----
        L_377: UN(d8, P8, uint8_t, LK8, false, -a_)
        L_376: UN(d8, P8, uint8_t, LK8, true, -a_)
        L_383: BIN(d8, P8, uint8_t, LK8, false, a_ + b_)
        L_382: BIN(d8, P8, uint8_t, LK8, true, a_ + b_)
        L_385: BIN(d8, P8, uint8_t, LK8, false, a_ - b_)
        L_384: BIN(d8, P8, uint8_t, LK8, true, a_ - b_)
        L_379: L_484: BIN(d8, P8, uint8_t, LK8, false, a_ * b_)
        L_378: L_488: BIN(d8, P8, uint8_t, LK8, true, a_ * b_)
        L_381: L_485: DIV(d8, P8, uint8_t, LK8, false, b_ == 0, 127, LOG_DIV8, a_ / b_)
        L_380: L_489: DIV(d8, P8, uint8_t, LK8, true, b_ == 0, 127, LOG_DIV8, a_ / b_)
        L_349: UN(d16, P16, uint16_t, LK16, false, -a_)
        L_348: UN(d16, P16, uint16_t, LK16, true, -a_)
        L_355: BIN(d16, P16, uint16_t, LK16, false, a_ + b_)
        L_354: BIN(d16, P16, uint16_t, LK16, true, a_ + b_)
        L_357: BIN(d16, P16, uint16_t, LK16, false, a_ - b_)
        L_356: BIN(d16, P16, uint16_t, LK16, true, a_ - b_)
        L_351: L_492: BIN(d16, P16, uint16_t, LK16, false, uint32_t(a_) * b_)
        L_350: L_496: BIN(d16, P16, uint16_t, LK16, true, uint32_t(a_) * b_)
        L_353: DIV(d16, P16, int16_t, LK16, false, b_ == 0, 32767, LOG_DIV16, b_ == -1 ? -a_ : a_ / b_)
        L_352: DIV(d16, P16, int16_t, LK16, true, b_ == 0, 32767, LOG_DIV16, b_ == -1 ? -a_ : a_ / b_)
        L_493: DIV(d16, P16, uint16_t, LK16, false, b_ == 0, 32767, LOG_DIV16, a_ / b_)
        L_497: DIV(d16, P16, uint16_t, LK16, true, b_ == 0, 32767, LOG_DIV16, a_ / b_)
        L_1: UN(d32, P32, uint32_t, LK32, false, 0u - a_)
        L_110: UN(d32, P32, uint32_t, LK32, true, 0u - a_)
        L_8: BIN(d32, P32, uint32_t, LK32, false, a_ + b_)
        L_117: BIN(d32, P32, uint32_t, LK32, true, a_ + b_)
        L_12: BIN(d32, P32, uint32_t, LK32, false, a_ - b_)
        L_120: BIN(d32, P32, uint32_t, LK32, true, a_ - b_)
        L_4: L_500: BIN(d32, P32, uint32_t, LK32, false, a_ * b_)
        L_113: L_504: BIN(d32, P32, uint32_t, LK32, true, a_ * b_)
        L_6: DIV(d32, P32, int32_t, LK32, false, b_ == 0, 0x7FFFFFFF, LOG_DIV32,
                    b_ == -1 ? int32_t(0u - uint32_t(a_)) : a_ / b_)
        L_115: DIV(d32, P32, int32_t, LK32, true, b_ == 0, 0x7FFFFFFF, LOG_DIV32,
                      b_ == -1 ? int32_t(0u - uint32_t(a_)) : a_ / b_)
        L_501: DIV(d32, P32, uint32_t, LK32, false, b_ == 0, 0x7FFFFFFFu, LOG_DIV32, a_ / b_)
        L_505: DIV(d32, P32, uint32_t, LK32, true, b_ == 0, 0x7FFFFFFFu, LOG_DIV32, a_ / b_)
        L_2: UN(d32, P32, uint32_t, LK32, false, a_ ^ 0x80000000u)
        L_111: UN(d32, P32, uint32_t, LK32, true, a_ ^ 0x80000000u)
        L_9: BIN(d32, P32, float, LK32, false, a_ + b_)
        L_118: BIN(d32, P32, float, LK32, true, a_ + b_)
        L_13: BIN(d32, P32, float, LK32, false, a_ - b_)
        L_121: BIN(d32, P32, float, LK32, true, a_ - b_)
        L_5: BIN(d32, P32, float, LK32, false, a_ * b_)
        L_114: BIN(d32, P32, float, LK32, true, a_ * b_)
        L_7: DIV(d32, P32, float, LK32, false, b_ == 0.0f, 1.0e37f, LOG_DIV32, a_ / b_)
        L_116: DIV(d32, P32, float, LK32, true, b_ == 0.0f, 1.0e37f, LOG_DIV32, a_ / b_)
        L_289: UN(d64, P64, uint64_t, LK64, false, 0ull - a_)
        L_288: UN(d64, P64, uint64_t, LK64, true, 0ull - a_)
        L_295: BIN(d64, P64, uint64_t, LK64, false, a_ + b_)
        L_294: BIN(d64, P64, uint64_t, LK64, true, a_ + b_)
        L_297: BIN(d64, P64, uint64_t, LK64, false, a_ - b_)
        L_296: BIN(d64, P64, uint64_t, LK64, true, a_ - b_)
        L_291: L_558: BIN(d64, P64, uint64_t, LK64, false, a_ * b_)
        L_290: L_562: BIN(d64, P64, uint64_t, LK64, true, a_ * b_)
        L_293: DIV(d64, P64, int64_t, LK64, false, b_ == 0, INT64_MAX, LOG_DIV64,
                      b_ == -1 ? int64_t(0ull - uint64_t(a_)) : a_ / b_)
        L_292: DIV(d64, P64, int64_t, LK64, true, b_ == 0, INT64_MAX, LOG_DIV64,
                      b_ == -1 ? int64_t(0ull - uint64_t(a_)) : a_ / b_)
        L_559: DIV(d64, P64, uint64_t, LK64, false, b_ == 0, UINT64_MAX, LOG_DIV32, a_ / b_)
        L_563: DIV(d64, P64, uint64_t, LK64, true, b_ == 0, UINT64_MAX, LOG_DIV32, a_ / b_)
        L_321: UN(d64, P64, uint64_t, LK64, false, a_ ^ 0x8000000000000000ull)
        L_320: UN(d64, P64, uint64_t, LK64, true, a_ ^ 0x8000000000000000ull)
        L_327: BIN(d64, P64, double, LK64, false, a_ + b_)
        L_326: BIN(d64, P64, double, LK64, true, a_ + b_)
        L_329: BIN(d64, P64, double, LK64, false, a_ - b_)
        L_328: BIN(d64, P64, double, LK64, true, a_ - b_)
        L_323: BIN(d64, P64, double, LK64, false, a_ * b_)
        L_322: BIN(d64, P64, double, LK64, true, a_ * b_)
        L_325: DIV(d64, P64, double, LK64, false, b_ == 0.0, 1.0e307, LOG_DIV64, a_ / b_)
        L_324: DIV(d64, P64, double, LK64, true, b_ == 0.0, 1.0e307, LOG_DIV64, a_ / b_)
        L_10: BIN(tm, PT, uint32_t, LKT, false, a_ + b_)
        L_283: BIN(tm, PT, uint32_t, LKT, true, a_ + b_)
        L_14: BIN(tm, PT, uint32_t, LKT, false, a_ >= b_ ? a_ - b_ : 0u)
        L_284: BIN(tm, PT, uint32_t, LKT, true, a_ >= b_ ? a_ - b_ : 0u)
        L_3: UN(d8, P8, uint8_t, LK8, false, a_ == 0 ? 1 : 0)
        L_112: UN(d8, P8, uint8_t, LK8, true, a_ == 0 ? 1 : 0)

        // ---- comparisons ----
        L_389: L_482: CMP(d8, P8, uint8_t, false, a_ > b_)
        L_388: L_486: CMP(d8, P8, uint8_t, true, a_ > b_)
        L_393: L_483: CMP(d8, P8, uint8_t, false, a_ >= b_)
        L_392: L_487: CMP(d8, P8, uint8_t, true, a_ >= b_)
        L_35: L_395: CMP(d8, P8, uint8_t, false, a_ == b_)
        L_141: L_394: CMP(d8, P8, uint8_t, true, a_ == b_)
        L_40: L_397: CMP(d8, P8, uint8_t, false, a_ != b_)
        L_146: L_396: CMP(d8, P8, uint8_t, true, a_ != b_)
        L_361: CMP(d16, P16, int16_t, false, a_ > b_)
        L_360: CMP(d16, P16, int16_t, true, a_ > b_)
        L_490: CMP(d16, P16, uint16_t, false, a_ > b_)
        L_494: CMP(d16, P16, uint16_t, true, a_ > b_)
        L_365: CMP(d16, P16, int16_t, false, a_ >= b_)
        L_364: CMP(d16, P16, int16_t, true, a_ >= b_)
        L_491: CMP(d16, P16, uint16_t, false, a_ >= b_)
        L_495: CMP(d16, P16, uint16_t, true, a_ >= b_)
        L_367: CMP(d16, P16, uint16_t, false, a_ == b_)
        L_366: CMP(d16, P16, uint16_t, true, a_ == b_)
        L_369: CMP(d16, P16, uint16_t, false, a_ != b_)
        L_368: CMP(d16, P16, uint16_t, true, a_ != b_)
        L_19: CMP(d32, P32, int32_t, false, a_ > b_)
        L_126: CMP(d32, P32, int32_t, true, a_ > b_)
        L_498: CMP(d32, P32, uint32_t, false, a_ > b_)
        L_502: CMP(d32, P32, uint32_t, true, a_ > b_)
        L_27: CMP(d32, P32, int32_t, false, a_ >= b_)
        L_134: CMP(d32, P32, int32_t, true, a_ >= b_)
        L_499: CMP(d32, P32, uint32_t, false, a_ >= b_)
        L_503: CMP(d32, P32, uint32_t, true, a_ >= b_)
        L_31: CMP(d32, P32, uint32_t, false, a_ == b_)
        L_138: CMP(d32, P32, uint32_t, true, a_ == b_)
        L_36: CMP(d32, P32, uint32_t, false, a_ != b_)
        L_143: CMP(d32, P32, uint32_t, true, a_ != b_)
        L_20: CMP(d32, P32, float, false, a_ > b_)
        L_127: CMP(d32, P32, float, true, a_ > b_)
        L_28: CMP(d32, P32, float, false, a_ >= b_)
        L_135: CMP(d32, P32, float, true, a_ >= b_)
        L_32: CMP(d32, P32, float, false, a_ == b_)
        L_139: CMP(d32, P32, float, true, a_ == b_)
        L_37: CMP(d32, P32, float, false, !(a_ == b_))
        L_144: CMP(d32, P32, float, true, !(a_ == b_))
        L_301: CMP(d64, P64, int64_t, false, a_ > b_)
        L_300: CMP(d64, P64, int64_t, true, a_ > b_)
        L_556: CMP(d64, P64, uint64_t, false, a_ > b_)
        L_560: CMP(d64, P64, uint64_t, true, a_ > b_)
        L_305: CMP(d64, P64, int64_t, false, a_ >= b_)
        L_304: CMP(d64, P64, int64_t, true, a_ >= b_)
        L_557: CMP(d64, P64, uint64_t, false, a_ >= b_)
        L_561: CMP(d64, P64, uint64_t, true, a_ >= b_)
        L_307: CMP(d64, P64, uint64_t, false, a_ == b_)
        L_306: CMP(d64, P64, uint64_t, true, a_ == b_)
        L_309: CMP(d64, P64, uint64_t, false, a_ != b_)
        L_308: CMP(d64, P64, uint64_t, true, a_ != b_)
        L_333: CMP(d64, P64, double, false, a_ > b_)
        L_332: CMP(d64, P64, double, true, a_ > b_)
        L_337: CMP(d64, P64, double, false, a_ >= b_)
        L_336: CMP(d64, P64, double, true, a_ >= b_)
        L_339: CMP(d64, P64, double, false, a_ == b_)
        L_338: CMP(d64, P64, double, true, a_ == b_)
        L_341: CMP(d64, P64, double, false, !(a_ == b_))
        L_340: CMP(d64, P64, double, true, !(a_ == b_))
        L_21: CMP(tm, PT, uint32_t, false, a_ > b_)
        L_129: CMP(tm, PT, uint32_t, true, a_ > b_)
        L_29: CMP(tm, PT, uint32_t, false, a_ >= b_)
        L_137: CMP(tm, PT, uint32_t, true, a_ >= b_)
        L_33: CMP(tm, PT, uint32_t, false, a_ == b_)
        L_142: CMP(tm, PT, uint32_t, true, a_ == b_)
        L_38: CMP(tm, PT, uint32_t, false, a_ != b_)
        L_147: CMP(tm, PT, uint32_t, true, a_ != b_)
        L_22: SCMP(false, r_ > 0)
        L_128: SCMP(true, r_ > 0)
        L_30: SCMP(false, r_ >= 0)
        L_136: SCMP(true, r_ >= 0)
        L_34: SCMP(false, r_ == 0)
        L_140: SCMP(true, r_ == 0)
        L_39: SCMP(false, r_ != 0)
        L_145: SCMP(true, r_ != 0)
        // ---- logic, bit tests, masks ----
        L_41: BIN(d8, P8, uint8_t, LK8, false, a_ | b_)
        L_148: BIN(d8, P8, uint8_t, LK8, true, a_ | b_)
        L_42: BIN(d8, P8, uint8_t, LK8, false, a_ & b_)
        L_149: BIN(d8, P8, uint8_t, LK8, true, a_ & b_)
        L_43: BIN(d8, P8, uint8_t, LK8, false, a_ ^ b_)
        L_150: BIN(d8, P8, uint8_t, LK8, true, a_ ^ b_)
        L_509: CMP(d8, P8, uint8_t, false, (a_ & b_) != 0)
        L_517: CMP(d8, P8, uint8_t, true, (a_ & b_) != 0)
        L_510: CMP(d16, P16, uint16_t, false, (a_ & b_) != 0)
        L_518: CMP(d16, P16, uint16_t, true, (a_ & b_) != 0)
        L_511: CMP(d32, P32, uint32_t, false, (a_ & b_) != 0)
        L_519: CMP(d32, P32, uint32_t, true, (a_ & b_) != 0)
        L_513: L_521: L_514: L_522: L_515: L_523: CHECK_LEN; {
            const uint32_t d = W(1), m = W(2), b = W(3);
            NEED(d8, b);
            const bool on = *P8(b) != 0, twin = op >= 521;
            if (op == 513 || op == 521) {
                NEED(d8, d); NEED(d8, m);
                if (!twin || !Locked(v, d, LK8)) *P8(d) = uint8_t(on ? (*P8(d) | *P8(m)) : (*P8(d) & ~*P8(m)));
            } else if (op == 514 || op == 522) {
                NEED(d16, d); NEED(d16, m);
                const uint16_t x = Ld<uint16_t>(P16(d)), y = Ld<uint16_t>(P16(m));
                if (!twin || !Locked(v, d, LK16)) St<uint16_t>(P16(d), uint16_t(on ? (x | y) : (x & ~y)));
            } else {
                NEED(d32, d); NEED(d32, m);
                const uint32_t x = Ld<uint32_t>(P32(d)), y = Ld<uint32_t>(P32(m));
                if (!twin || !Locked(v, d, LK32)) St<uint32_t>(P32(d), on ? (x | y) : (x & ~y));
            }
            NEXT;
        }
        // ---- moves and elements ----
        L_44: L_399: MOVE(d8, P8, uint8_t, LK8, false)
        L_151: L_398: MOVE(d8, P8, uint8_t, LK8, true)
        L_371: MOVE(d16, P16, uint16_t, LK16, false)
        L_370: MOVE(d16, P16, uint16_t, LK16, true)
        L_45: L_46: MOVE(d32, P32, uint32_t, LK32, false)
        L_152: L_153: MOVE(d32, P32, uint32_t, LK32, true)
        L_311: L_343: MOVE(d64, P64, uint64_t, LK64, false)
        L_310: L_342: MOVE(d64, P64, uint64_t, LK64, true)
        L_47: MOVE(tm, PT, uint32_t, LKT, false)
        L_155: MOVE(tm, PT, uint32_t, LKT, true)
        L_48: L_154: CHECK_LEN; {
            const uint32_t d = W(1), a = W(2);
            NEED(sp, d); NEED(sp, a);
            if (op == 48 || !Locked(v, d, LKS)) Z7VMStr_Copy(db, d, a);
            NEXT;
        }
        L_55: L_401: LOADEL(d8, P8, uint8_t, LK8, false)
        L_161: L_400: LOADEL(d8, P8, uint8_t, LK8, true)
        L_373: LOADEL(d16, P16, uint16_t, LK16, false)
        L_372: LOADEL(d16, P16, uint16_t, LK16, true)
        L_56: L_57: LOADEL(d32, P32, uint32_t, LK32, false)
        L_162: L_163: LOADEL(d32, P32, uint32_t, LK32, true)
        L_313: L_345: LOADEL(d64, P64, uint64_t, LK64, false)
        L_312: L_344: LOADEL(d64, P64, uint64_t, LK64, true)
        L_58: LOADEL(tm, PT, uint32_t, LKT, false)
        L_165: LOADEL(tm, PT, uint32_t, LKT, true)
        L_59: L_164: CHECK_LEN; {
            const uint32_t d = W(1), base = W(2), k = W(3);
            NEED(sp, d); NEED(d32, k);
            const uint32_t e = (base + Ld<uint32_t>(P32(k))) & 0xFFFF;
            if (e >= v.sp.n) FAULT(LOG_BOUNDS, k);
            if (op == 59 || !Locked(v, d, LKS)) Z7VMStr_Copy(db, d, e);
            NEXT;
        }
        L_403: STOREEL(d8, P8, uint8_t, LK8, false, false)
        L_402: STOREEL(d8, P8, uint8_t, LK8, true, false)
        L_375: STOREEL(d16, P16, uint16_t, LK16, false, false)
        L_374: STOREEL(d16, P16, uint16_t, LK16, true, false)
        L_61: STOREEL(d32, P32, uint32_t, LK32, false, false)
        L_167: STOREEL(d32, P32, uint32_t, LK32, true, false)
        L_315: STOREEL(d64, P64, uint64_t, LK64, false, false)
        L_314: STOREEL(d64, P64, uint64_t, LK64, true, false)
        L_63: STOREEL(tm, PT, uint32_t, LKT, false, false)
        L_256: STOREEL(tm, PT, uint32_t, LKT, true, false)
        L_60: STOREEL(d8, P8, uint8_t, LK8, false, true)
        L_166: STOREEL(d8, P8, uint8_t, LK8, true, true)
        L_62: STOREEL(d32, P32, uint32_t, LK32, false, true)
        L_168: STOREEL(d32, P32, uint32_t, LK32, true, true)
        L_347: STOREEL(d64, P64, uint64_t, LK64, false, true)
        L_346: STOREEL(d64, P64, uint64_t, LK64, true, true)
        L_64: L_169: CHECK_LEN; {
            const uint32_t base = W(1), k = W(2), s = W(3);
            NEED(sp, s); NEED(d32, k);
            const uint32_t e = (base + Ld<uint32_t>(P32(k))) & 0xFFFF;
            if (e >= v.sp.n) FAULT(LOG_BOUNDS, k);
            if (op == 64 || !Locked(v, e, LKS)) Z7VMStr_Copy(db, e, s);
            NEXT;
        }
        // ---- constants ----
        L_404: CONST(d8, P8, uint8_t, LK8, false, W(2) & 0xFF, false)
        L_405: CONST(d8, P8, uint8_t, LK8, true, W(2) & 0xFF, false)
        L_267: CONST(d16, P16, uint16_t, LK16, false, W(2), false)
        L_268: CONST(d16, P16, uint16_t, LK16, true, W(2), false)
        L_271: CONST(d32, P32, uint32_t, LK32, false, W32(2), false)
        L_272: CONST(d32, P32, uint32_t, LK32, true, W32(2), false)
        L_279: CONST(tm, PT, uint32_t, LKT, false, W32(2), true)
        L_280: CONST(tm, PT, uint32_t, LKT, true, W32(2), true)
        L_316: CONST(d64, P64, uint64_t, LK64, false, W64(2), false)
        L_317: CONST(d64, P64, uint64_t, LK64, true, W64(2), false)
        L_261: CONST(d8, P8, uint8_t, LK8, false, 1, false)
        L_263: CONST(d8, P8, uint8_t, LK8, true, 1, false)
        L_262: CONST(d8, P8, uint8_t, LK8, false, 0, false)
        L_264: CONST(d8, P8, uint8_t, LK8, true, 0, false)
        L_408: L_409: CHECK_LEN; {
            const uint32_t d = W(1), n = W(2);
            if (IP + 3 + n > c.words) FAULT(LOG_UNDEF, op);
            NEED(sp, d);
            const uint32_t literal = c.addr + 2 * (IP + 2);
            if (op == 408 || !Locked(v, d, LKS)) {
                if (d != 0) {
                    Z7VMStr_DBForce(db, d, literal);
                } else if (ctreg != kNone) {
                    const uint8_t *slot = CtAt(v, ctreg, 3);
                    if (slot == nullptr || CtAt(v, ctreg, 3u + slot[0]) == nullptr) FAULT(LOG_BOUNDS, 0);
                    Z7VMStr_DBForcePtr(v.ct.addr + ctreg, literal);
                    ctreg = kNone;
                }
            }
            pc += 2 * size_t(3 + n);
            DISPATCH();
        }
        // ---- edges and conversions ----
        L_197: L_204: L_196: L_203: CHECK_LEN; {
            const uint32_t d = W(1), in = W(2), m = W(3);
            NEED(d8, d); NEED(d8, in); NEED(d8, m);
            const uint8_t x = *P8(in), mem = *P8(m);
            const bool first = (Ld<uint32_t>(v.status + ST_OPTIONS) & Z7O_CHANGED) != 0;
            const bool edge = !first && ((op == 197 || op == 204) ? (x && !mem) : (!x && mem));
            if ((op == 197 || op == 196) || !Locked(v, d, LK8)) *P8(d) = edge ? 1 : 0;
            *P8(m) = x;
            NEXT;
        }
        L_205: L_207: CHECK_LEN; {
            const uint32_t d = W(1), dt = W(3);
            const uint8_t bit = ConvLockBit(dt);
            if (op == 205 || bit == 0 || !Locked(v, d, bit)) Z7VMCnv_Convert(db, c.addr + 2 * (IP + 1));
            NEXT;
        }
        // ---- external variables ----
        L_424: XVREAD(d8, P8, 1, LK8, false, false)
        L_425: XVREAD(d16, P16, 2, LK16, false, false)
        L_426: XVREAD(d32, P32, 4, LK32, false, false)
        L_427: XVREAD(d64, P64, 8, LK64, false, false)
        L_428: XVREAD(tm, PT, 4, LKT, false, false)
        L_429: XVSTR(true, false, false)
        L_442: XVREAD(d8, P8, 1, LK8, true, false)
        L_443: XVREAD(d16, P16, 2, LK16, true, false)
        L_444: XVREAD(d32, P32, 4, LK32, true, false)
        L_445: XVREAD(d64, P64, 8, LK64, true, false)
        L_446: XVREAD(tm, PT, 4, LKT, true, false)
        L_447: XVSTR(true, true, false)
        L_430: XVWRITE(d8, P8, 1, false, false)
        L_431: XVWRITE(d16, P16, 2, false, false)
        L_432: XVWRITE(d32, P32, 4, false, false)
        L_433: XVWRITE(d64, P64, 8, false, false)
        L_434: XVWRITE(tm, PT, 4, false, false)
        L_435: XVSTR(false, false, false)
        L_448: XVWRITE(d8, P8, 1, true, false)
        L_449: XVWRITE(d16, P16, 2, true, false)
        L_450: XVWRITE(d32, P32, 4, true, false)
        L_451: XVWRITE(d64, P64, 8, true, false)
        L_452: XVWRITE(tm, PT, 4, true, false)
        L_453: XVSTR(false, true, false)
        L_456: XVREAD(d8, P8, 1, LK8, false, true)
        L_457: XVREAD(d16, P16, 2, LK16, false, true)
        L_458: XVREAD(d32, P32, 4, LK32, false, true)
        L_459: XVREAD(d64, P64, 8, LK64, false, true)
        L_460: XVREAD(tm, PT, 4, LKT, false, true)
        L_461: XVSTR(true, false, true)
        L_468: XVREAD(d8, P8, 1, LK8, true, true)
        L_469: XVREAD(d16, P16, 2, LK16, true, true)
        L_470: XVREAD(d32, P32, 4, LK32, true, true)
        L_471: XVREAD(d64, P64, 8, LK64, true, true)
        L_472: XVREAD(tm, PT, 4, LKT, true, true)
        L_473: XVSTR(true, true, true)
        L_462: XVWRITE(d8, P8, 1, false, true)
        L_463: XVWRITE(d16, P16, 2, false, true)
        L_464: XVWRITE(d32, P32, 4, false, true)
        L_465: XVWRITE(d64, P64, 8, false, true)
        L_466: XVWRITE(tm, PT, 4, false, true)
        L_467: XVSTR(false, false, true)
        L_474: XVWRITE(d8, P8, 1, true, true)
        L_475: XVWRITE(d16, P16, 2, true, true)
        L_476: XVWRITE(d32, P32, 4, true, true)
        L_477: XVWRITE(d64, P64, 8, true, true)
        L_478: XVWRITE(tm, PT, 4, true, true)
        L_479: XVSTR(false, true, true)
        L_436: L_437: L_438: L_440: L_439: CHECK_LEN; {
            const uint32_t x = W(1);
            const uint32_t width = op == 436 ? 1 : op == 437 ? 2 : op == 439 ? 8 : 4;
            XVPTR(x, width, false, xp);
            const uint64_t val = op == 436 ? (W(2) & 0xFF) : op == 437 ? W(2) : op == 439 ? W64(2) : W32(2);
            PutBytes(xp, val, width);
            NEXT;
        }
        L_441: CHECK_LEN; {
            const uint32_t x = W(1), n = W(2);
            if (IP + 3 + n > c.words) FAULT(LOG_UNDEF, op);
            XVPTR(x, 3, false, xp);
            (void)xp;
            Z7VMStr_DBForcePtr(Ld<uint32_t>(v.xv.p + 4 * x), c.addr + 2 * (IP + 2));
            pc += 2 * size_t(3 + n);
            DISPATCH();
        }
        // ---- calls ----
        L_285: CHECK_LEN; {
            const uint32_t n = W(2);
            if (IP + 3 + n > c.words) FAULT(LOG_UNDEF, op);
            if (Z7VMStf_Execute(db, c.addr + 2 * (IP + 1)) == 0) {
                SetFlags(v, uint16_t((Flags(v) & 0xFFF0) | Z7F_STOPPED));
                return 0;
            }
            pc += 2 * size_t(3 + n);
            DISPATCH();
        }
        L_286: CHECK_LEN; {
            const uint32_t cf = W(1), n = W(2);
            if (IP + 4 + n > c.words) FAULT(LOG_UNDEF, op);
            if (cf == 0) FAULT(LOG_UNDEF, cf);
            NEED(cfn, cf);
            Z7Fbl_Call(Ld<uint32_t>(v.cfn.p + 24 * cf + 16), FB_EXEC, db, 0, 0, c.addr + 2 * (IP + 3));
            pc += 2 * size_t(4 + n);
            DISPATCH();
        }
        L_287: L_535: CHECK_LEN; {
            uint32_t k = W(1);
            const uint32_t n = W(2);
            if (IP + 3 + n > c.words) FAULT(LOG_UNDEF, op);
            if (op == 535) {
                NEED(d32, k);
                const uint8_t *p = CtAt(v, Ld<uint32_t>(P32(k)), 2);
                if (p == nullptr) FAULT(LOG_BOUNDS, k);
                k = Ld<uint16_t>(p);
                if (k == 0 || k >= v.inst.n || Ld<uint32_t>(v.inst.p + 20 * k + 4) == Z7H_NONE) {
                    Z7Part_Trace("Invalid FB index encoutered: %u", k);
                    SetFlags(v, uint16_t((Flags(v) & 0xFFF0) | Z7F_STOPPED));
                    return 0;
                }
            } else {
                if (k == 0) FAULT(LOG_UNDEF, k);
                NEED(inst, k);
            }
            const uint8_t *e = v.inst.p + 20 * k;
            Z7Fbl_Call(Ld<uint32_t>(e + 4), FB_EXEC, db, Ld<uint32_t>(e + 8), Ld<uint32_t>(e + 12),
                       c.addr + 2 * (IP + 3));
            pc += 2 * size_t(3 + n);
            DISPATCH();
        }
        L_536: L_537: CHECK_LEN; {
            uint32_t h = Z7H_NONE, cls = 0, in = 0;
            const uint32_t k = W(1);
            if (op == 536) {
                if (k > 0 && k < v.cfn.n) h = Ld<uint32_t>(v.cfn.p + 24 * k + 16);
            } else {
                NEED(d32, k);
                const uint8_t *p = CtAt(v, Ld<uint32_t>(P32(k)), 2);
                const uint32_t i = p ? Ld<uint16_t>(p) : 0;
                if (i > 0 && i < v.inst.n) {
                    h = Ld<uint32_t>(v.inst.p + 20 * i + 4);
                    cls = Ld<uint32_t>(v.inst.p + 20 * i + 8);
                    in = Ld<uint32_t>(v.inst.p + 20 * i + 12);
                }
            }
            if (h == Z7H_NONE || Z7Fbl_Call(h, FB_AVAIL, db, cls, in, 0) == 0) {
                Z7Part_Trace(op == 536 ? "Argument type not supported by function"
                                     : "Argument type not supported by function block");
                FAULT(LOG_UNDEF, 0);
            }
            NEXT;
        }
        L_552: CHECK_LEN; {
            const uint32_t d = W(1), type = W(2), base = W(3), k = W(4);
            NEED(d32, d); NEED(d32, k);
            const uint32_t addr = Z7Tools_GetAnyParam(db, type, (base + Ld<uint32_t>(P32(k))) & 0xFFFF);
            if (addr == 0) FAULT(LOG_BOUNDS, k);
            St<uint32_t>(P32(d), addr);
            NEXT;
        }
        L_553: CHECK_LEN; {
            const uint32_t d = W(1), k = W(2);
            NEED(d32, d); NEED(d32, k);
            St<uint32_t>(P32(d), v.ct.addr + Ld<uint32_t>(P32(k)));
            NEXT;
        }
        // ---- SFC ----
        L_412: CHECK_LEN; {
            const uint32_t s = W(1);
            NEED(step, s);
            uint8_t *sp = STEPP(s);
            const uint16_t state = Ld<uint16_t>(sp + 8);
            const uint16_t pstate = cur < v.prog.n ? Ld<uint16_t>(PROGP(cur) + PG_STATE) : 0;
            if (state == 0) JUMP_REL(4);
            if (state == 3 || (state == 1 && (pstate & 0x20))) {
                St<uint16_t>(sp + 8, 0);
                JUMP_REL(3);
            }
            if (state == 2) {
                St<uint16_t>(sp + 8, 1);
                St<uint32_t>(sp, 0);
                St<uint32_t>(sp + 4, v.now);
                JUMP_REL(2);
            }
            if (state == 1) StepAdvance(sp, v.now);
            NEXT;
        }
        L_413: L_417: CHECK_LEN; {
            const uint32_t t = W(2);
            NEED(trans, t);
            const uint16_t pstate = cur < v.prog.n ? Ld<uint16_t>(PROGP(cur) + PG_STATE) : 0;
            uint16_t value = (pstate & 0x20) ? 0 : 1;
            uint32_t n = 1, first = 3;
            if (op == 413) {
                n = W(3);
                first = 4;
                if (IP + 4 + n > c.words) FAULT(LOG_UNDEF, op);
            }
            for (uint32_t i = 0; i < n; i++) {
                const uint32_t s = W(first + i);
                NEED(step, s);
                if (Ld<uint16_t>(STEPP(s) + 8) != 1) value = 0;
            }
            St<uint16_t>(TRANSP(t), value);
            if (value == 0) JUMP_REL(1);
            pc += 2 * size_t(first + n);
            DISPATCH();
        }
        L_107: CHECK_LEN; {
            const uint32_t t = W(1), b = W(2);
            NEED(trans, t); NEED(d8, b);
            St<uint16_t>(TRANSP(t), *P8(b));
            NEXT;
        }
        L_414: L_415: L_416: CHECK_LEN; {
            const uint32_t t = W(1), n = W(2);
            if (IP + 3 + n > c.words) FAULT(LOG_UNDEF, op);
            bool fire;
            if (op == 416) {
                fire = cur < v.prog.n && Ld<uint16_t>(PROGP(cur) + PG_STATE) == Z7P_CHILD;
                if (fire) St<uint16_t>(PROGP(cur) + PG_STATE, Z7P_ACTIVE);
            } else {
                NEED(trans, t);
                fire = Ld<uint16_t>(TRANSP(t)) != 0;
            }
            if (fire)
                for (uint32_t i = 0; i < n; i++) {
                    const uint32_t s = W(3 + i);
                    NEED(step, s);
                    St<uint16_t>(STEPP(s) + 8, op == 414 ? 3 : 2);
                }
            if (op == 415 && fire && Ld<uint16_t>(TRANSP(t) + 2) != 0) {
                SetFlags(v, uint16_t(Flags(v) & ~(Z7F_RUN | Z7F_STEP)));
                return 1;
            }
            pc += 2 * size_t(3 + n);
            DISPATCH();
        }
        L_418: CHECK_LEN; {
            const uint32_t t = W(1), a = W(2), b = W(3);
            NEED(trans, t); NEED(step, a); NEED(step, b);
            if (Ld<uint16_t>(TRANSP(t)) != 0) {
                St<uint16_t>(STEPP(a) + 8, 3);
                St<uint16_t>(STEPP(b) + 8, 2);
                if (Ld<uint16_t>(TRANSP(t) + 2) != 0) {
                    SetFlags(v, uint16_t(Flags(v) & ~(Z7F_RUN | Z7F_STEP)));
                    return 1;
                }
            }
            NEXT;
        }
        L_419: CHECK_LEN; {
            const uint32_t s = W(1);
            NEED(step, s);
            if (cur < v.prog.n && Ld<uint16_t>(PROGP(cur) + PG_STATE) == Z7P_CHILD) {
                St<uint16_t>(PROGP(cur) + PG_STATE, Z7P_ACTIVE);
                St<uint16_t>(STEPP(s) + 8, 2);
                St<uint32_t>(STEPP(s), 0);
            }
            NEXT;
        }
        L_547: CHECK_LEN; {
            const uint32_t s = W(1), val = W(2);
            NEED(step, s);
            St<uint16_t>(STEPP(s) + 8, uint16_t(val));
            if (val == 1) {
                St<uint32_t>(STEPP(s), 0);
                St<uint32_t>(STEPP(s) + 4, v.now);
            }
            NEXT;
        }
        L_548: CHECK_LEN; {
            const uint32_t s = W(1), flag = W(2);
            NEED(step, s);
            if (flag) StepAdvance(STEPP(s), v.now);
            else St<uint32_t>(STEPP(s), 0);
            St<uint32_t>(STEPP(s) + 4, v.now);
            NEXT;
        }
        L_549: CHECK_LEN; {
            const uint32_t t = W(1);
            NEED(trans, t);
            if (Ld<uint16_t>(TRANSP(t) + 2) != 0) {
                SetFlags(v, uint16_t(Flags(v) & ~(Z7F_RUN | Z7F_STEP)));
                return 1;
            }
            NEXT;
        }
        L_550: CHECK_LEN; {
            const uint32_t t = W(1);
            NEED(trans, t);
            if (Ld<uint16_t>(TRANSP(t)) == 0) JUMP_ABS(W(2));
            NEXT;
        }
        L_551: CHECK_LEN; {
            const uint32_t k = W(1);
            NEED(d32, k);
            if (cur < v.prog.n && (Ld<uint16_t>(PROGP(cur) + PG_STATE) & 0x20)) {
                St<uint32_t>(P32(k), 0);
                JUMP_ABS(W(2));
            }
            NEXT;
        }
        L_208: L_209: CHECK_LEN; {
            const uint32_t d = W(1), s = W(2);
            NEED(step, s);
            uint8_t *sp = STEPP(s);
            if (op == 208) {
                NEED(d8, d);
                if (!Locked(v, d, LK8)) *P8(d) = Ld<uint16_t>(sp + 8) != 0 ? 1 : 0;
            } else {
                NEED(tm, d);
                if (!Locked(v, d, LKT)) {
                    const uint32_t e = Ld<uint16_t>(sp + 8) == 1 ? StepAdvance(sp, v.now) : Ld<uint32_t>(sp);
                    St<uint32_t>(PT(d), e);
                }
            }
            NEXT;
        }
        L_420: CHECK_LEN; {
            const uint32_t n = W(1);
            if (IP + 2 + n > c.words) FAULT(LOG_UNDEF, op);
            if (cur == 0 || cur >= v.prog.n) return 1;
            uint8_t *e = PROGP(cur);
            if (!(Ld<uint16_t>(e + PG_STATE) & 0x20)) return 1;
            for (uint32_t i = 0; i < n; i++) {
                const uint32_t p = W(2 + i);
                NEED(prog, p);
                const uint16_t s = Ld<uint16_t>(PROGP(p) + PG_STATE);
                if (s & Z7P_ACTIVE) St<uint16_t>(PROGP(p) + PG_STATE, uint16_t(s | 0x20));
            }
            St<uint16_t>(e + PG_STATE, 0);
            return 1;
        }
        L_540: CHECK_LEN; { const uint32_t s = W(1); if (s) NEED(step, s); Z7VMTic_SetSfcBreakS(db, s, W(2)); NEXT; }
        L_541: CHECK_LEN; { const uint32_t t = W(1); if (t) NEED(trans, t); Z7VMTic_SetSfcBreakT(db, t, W(2)); NEXT; }
        // ---- program control ----
        L_187: L_188: L_189: L_190: CHECK_LEN; {
            const uint32_t p = W(1);
            NEED(prog, p);
            uint8_t *e = PROGP(p);
            uint16_t s = Ld<uint16_t>(e + PG_STATE);
            const uint16_t kind = Ld<uint16_t>(e + PG_KIND);
            if (op == 187 && s == 0) s = kind != 0 ? Z7P_CHILD : Z7P_ACTIVE;
            else if (op == 188 && s == 1) s = 3;
            else if (op == 189 && (s & Z7P_ACTIVE)) {
                s = uint16_t(s & ~Z7P_SUSPENDED);
                s = kind == 0 ? 0 : uint16_t(s | 0x20);
            } else if (op == 190 && (s & 3) == 3) s = uint16_t(s & ~Z7P_SUSPENDED);
            St<uint16_t>(e + PG_STATE, s);
            NEXT;
        }
        L_193: L_200: CHECK_LEN; {
            const uint32_t d = W(1), p = W(2);
            NEED(d32, d); NEED(prog, p);
            const uint16_t s = Ld<uint16_t>(PROGP(p) + PG_STATE);
            St<int32_t>(P32(d), s == 1 ? 1 : (s & Z7P_SUSPENDED) ? 2 : 0);
            NEXT;
        }
        L_545: CHECK_LEN; {
            const uint16_t s = cur < v.prog.n ? Ld<uint16_t>(PROGP(cur) + PG_STATE) : 0;
            if (!(s & W(1))) JUMP_ABS(W(2));
            NEXT;
        }
        L_546: CHECK_LEN; if (cur > 0 && cur < v.prog.n) St<uint16_t>(PROGP(cur) + PG_STATE, W(1)); NEXT;
        // ---- timers ----
        L_275: L_277: L_276: L_278: CHECK_LEN; {
            const uint32_t t = W(1);
            NEED(tm, t);
            if (op == 275 || op == 277) Z7VMTmr_StartTimer(db, v.tm.addr + 4 * t);
            else Z7VMTmr_StopTimer(db, v.tm.addr + 4 * t);
            NEXT;
        }
        L_538: L_539: CHECK_LEN; {
            const uint32_t k = W(1);
            NEED(d32, k);
            const uint32_t off = Ld<uint32_t>(P32(k));
            if (CtAt(v, off, 4) == nullptr) FAULT(LOG_BOUNDS, k);
            if (op == 538) Z7VMTmr_StartTimer(db, v.ct.addr + off);
            else Z7VMTmr_StopTimer(db, v.ct.addr + off);
            NEXT;
        }
        // ---- CT segment ----
        L_533: CHECK_LEN; ctreg = W32(1); NEXT;
        L_531: L_566: L_532: L_567: CHECK_LEN; {
            const uint32_t cls = W(1), var = W(2), k = W(3);
            NEED(d32, k);
            const CtClass cc = CtClassOf(cls);
            if (cc.width != 0 && var >= Z7Sec_Get(db, cc.sec, SD_ALLOC)) FAULT(LOG_UNDEF, var);
            const uint32_t ok = (op == 531 || op == 566) ? Z7VMTic_GetCTSegItem(db, cls, var, Ld<int32_t>(P32(k)))
                                                         : Z7VMTic_SetCTSegItem(db, cls, var, Ld<int32_t>(P32(k)));
            if (!ok) FAULT(LOG_BOUNDS, k);
            NEXT;
        }
        L_555: CHECK_LEN; {
            const uint32_t a = W(1), b = W(2), n = W(3);
            NEED(d32, a); NEED(d32, b); NEED(d32, n);
            if (!Z7VMTic_CTMemcpy(db, Ld<int32_t>(P32(a)), Ld<int32_t>(P32(b)), Ld<int32_t>(P32(n))))
                FAULT(LOG_BOUNDS, a);
            NEXT;
        }
        // ---- status information and sampling (registers only here) ----
        L_568: CHECK_LEN;
            Z7VMTic_VsiDate = W32(3);
            Z7VMTic_VsiTime = W32(5);
            Z7Map_SetVSIDate(db, W(1), W(2), Z7VMTic_VsiDate);
            Z7Map_SetVSITime(db, W(1), W(2), Z7VMTic_VsiTime);
            NEXT;
        L_569: CHECK_LEN;
            Z7Map_SetVSIDate(db, W(1), W(2), 0);
            Z7Map_SetVSITime(db, W(1), W(2), 0);
            Z7Map_ResetSetVSIBits(db, W(1), W(2));
            NEXT;
        L_481: CHECK_LEN; Z7VMBsmp_Ctl(db, W(1), W(2)); NEXT;
        L_480: CHECK_LEN; {
            const uint32_t n = W(9);
            if (IP + 10 + n > c.words) FAULT(LOG_UNDEF, op);
            Z7VMBsmp_Set(db, W(1), pc + 4, 8 + n);
            pc += 2 * size_t(10 + n);
            DISPATCH();
        }

bad_op:
    if (op <= kMaxOp && kOps.n[op] != 0xFF) FAULT(LOG_UNDEF, op);  // operands past the end of the code
L_undef:
    FAULT(LOG_UNDEF, op);
off_end:
    op = 0;
    FAULT(LOG_UNDEF, 0);

fatal:
    Z7VMLog_Push(db, uint16_t(fault_code), uint16_t(fault_arg), cur + 65536u * (2u * (IP + 1u)));
    // code of the workbench that runs past its end, lacks operands or names
    // what does not exist only ends the command buffer
    if (program == 0 && fault_code == LOG_UNDEF) return 0;
    SetFlags(v, uint16_t((Flags(v) & 0xFFF0) | Z7F_STOPPED));
    return 0;
}

Z7VMTic_RunFn Z7VMTic_RunPtr = Z7VMTic_Run;
uint32_t Z7VMTic_JumpBudget = 0;
