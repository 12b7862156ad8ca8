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
#include <iterator>

#include "iec/vm/z7cnv.h"
#include "iec/vm/z7bsmp.h"
#include "iec/vm/z7interp.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7stfops.h"
#include "iec/vm/z7str.h"
#include "iec/vm/z7vm.h"

namespace {
constexpr uint32_t kNone = 0xFFFFFFFFu;
constexpr uint32_t kMaxOp = 569;
enum : uint16_t {
    LOG_UNDEF = 8,
    LOG_DIV32 = 12,
    LOG_FN = 17,
    LOG_DIV64 = 18,
    LOG_DIV8 = 21,
    LOG_DIV16 = 22,
    LOG_BOUNDS = 32,
    LOG_STACK = 38
};

struct Sec {
    uint8_t *p = nullptr;
    uint32_t n = 0;  // element count (bytes for the CT segment)
    uint32_t addr = 0;
};
template <typename T>
inline T Ld(const uint8_t *p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <typename T>
inline void St(uint8_t *p, T v) {
    std::memcpy(p, &v, sizeof v);
}

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

// Every opcode of the interpreter, X(opcode, fixed operand words, mnemonic).
// The one list: the opcode enum, the operand-count table and the dispatch
// table of the threaded interpreter (handler L_<mnemonic>) are all generated
// from it. Mnemonic suffixes name the section: D8, D16, D32, D64 (signed or
// bit-pattern), U8..U64 (unsigned), R32/R64 (REAL/LREAL), T (TIME), S
// (STRING), XV (external pointer); _LK is the lock-tested twin, _2 a second
// opcode of the same operation. LDEL/STEL/STELB load and store an array
// element (STELB tests the base's lock), XVREADX/XVWRITEX index the XV number.
// clang-format off
#define Z7_OPCODES(X)                                                                                       \
    X(1, 2, NEG_D32) X(2, 2, NEG_R32) X(3, 2, NOT_D8) X(4, 3, MUL_D32) X(5, 3, MUL_R32) X(6, 3, DIV_D32)    \
    X(7, 3, DIV_R32) X(8, 3, ADD_D32) X(9, 3, ADD_R32) X(10, 3, ADD_T) X(12, 3, SUB_D32) X(13, 3, SUB_R32)  \
    X(14, 3, SUB_T) X(19, 3, GT_D32) X(20, 3, GT_R32) X(21, 3, GT_T) X(22, 3, GT_S) X(27, 3, GE_D32)        \
    X(28, 3, GE_R32) X(29, 3, GE_T) X(30, 3, GE_S) X(31, 3, EQ_D32) X(32, 3, EQ_R32) X(33, 3, EQ_T)         \
    X(34, 3, EQ_S) X(35, 3, EQ_D8) X(36, 3, NE_D32) X(37, 3, NE_R32) X(38, 3, NE_T) X(39, 3, NE_S)          \
    X(40, 3, NE_D8) X(41, 3, OR_D8) X(42, 3, AND_D8) X(43, 3, XOR_D8) X(44, 2, MOVE_D8) X(45, 2, MOVE_D32)  \
    X(46, 2, MOVE_D32_2) X(47, 2, MOVE_T) X(48, 2, MOVE_S) X(55, 3, LDEL_D8) X(56, 3, LDEL_D32)             \
    X(57, 3, LDEL_D32_2) X(58, 3, LDEL_T) X(59, 3, LDEL_S) X(60, 3, STELB_D8) X(61, 3, STEL_D32)            \
    X(62, 3, STELB_D32) X(63, 3, STEL_T) X(64, 3, STEL_S) X(65, 2, JMPT) X(66, 2, JMPF) X(67, 1, JMP)       \
    X(68, 0, END) X(107, 2, TRANSVAL) X(110, 2, NEG_D32_LK) X(111, 2, NEG_R32_LK) X(112, 2, NOT_D8_LK)      \
    X(113, 3, MUL_D32_LK) X(114, 3, MUL_R32_LK) X(115, 3, DIV_D32_LK) X(116, 3, DIV_R32_LK)                 \
    X(117, 3, ADD_D32_LK) X(118, 3, ADD_R32_LK) X(120, 3, SUB_D32_LK) X(121, 3, SUB_R32_LK)                 \
    X(126, 3, GT_D32_LK) X(127, 3, GT_R32_LK) X(128, 3, GT_S_LK) X(129, 3, GT_T_LK) X(134, 3, GE_D32_LK)    \
    X(135, 3, GE_R32_LK) X(136, 3, GE_S_LK) X(137, 3, GE_T_LK) X(138, 3, EQ_D32_LK) X(139, 3, EQ_R32_LK)    \
    X(140, 3, EQ_S_LK) X(141, 3, EQ_D8_LK) X(142, 3, EQ_T_LK) X(143, 3, NE_D32_LK) X(144, 3, NE_R32_LK)     \
    X(145, 3, NE_S_LK) X(146, 3, NE_D8_LK) X(147, 3, NE_T_LK) X(148, 3, OR_D8_LK) X(149, 3, AND_D8_LK)      \
    X(150, 3, XOR_D8_LK) X(151, 2, MOVE_D8_LK) X(152, 2, MOVE_D32_LK) X(153, 2, MOVE_D32_2_LK)              \
    X(154, 2, MOVE_S_LK) X(155, 2, MOVE_T_LK) X(161, 3, LDEL_D8_LK) X(162, 3, LDEL_D32_LK)                  \
    X(163, 3, LDEL_D32_2_LK) X(164, 3, LDEL_S_LK) X(165, 3, LDEL_T_LK) X(166, 3, STELB_D8_LK)               \
    X(167, 3, STEL_D32_LK) X(168, 3, STELB_D32_LK) X(169, 3, STEL_S_LK) X(187, 1, PRGSTART)                 \
    X(188, 1, PRGSUSPEND) X(189, 1, PRGKILL) X(190, 1, PRGRESUME) X(193, 2, PRGSTATUS) X(196, 3, FTRIG)     \
    X(197, 3, RTRIG) X(200, 2, PRGSTATUS_2) X(203, 3, FTRIG_LK) X(204, 3, RTRIG_LK) X(205, 4, CONV)         \
    X(207, 4, CONV_LK) X(208, 2, STEPACTIVE) X(209, 2, STEPELAPSED) X(234, 0, RET) X(256, 3, STEL_T_LK)     \
    X(257, 0, PAUSE) X(258, 0, RUN) X(259, 0, ONECYCLE) X(260, 2, SETPERIOD) X(261, 1, SET_D8)              \
    X(262, 1, RESET_D8) X(263, 1, SET_D8_LK) X(264, 1, RESET_D8_LK) X(265, 1, LOCK_D8) X(266, 1, UNLOCK_D8) \
    X(267, 2, CONST_D16) X(268, 2, CONST_D16_LK) X(269, 1, LOCK_D16) X(270, 1, UNLOCK_D16)                  \
    X(271, 3, CONST_D32) X(272, 3, CONST_D32_LK) X(273, 1, LOCK_D32) X(274, 1, UNLOCK_D32) X(275, 1, TSTART)\
    X(276, 1, TSTOP) X(277, 1, TSTART_2) X(278, 1, TSTOP_2) X(279, 3, CONST_T) X(280, 3, CONST_T_LK)        \
    X(281, 1, LOCK_T) X(282, 1, UNLOCK_T) X(283, 3, ADD_T_LK) X(284, 3, SUB_T_LK) X(285, 2, CALLSTF)        \
    X(286, 2, CALLCF) X(287, 2, CALLFB) X(288, 2, NEG_D64_LK) X(289, 2, NEG_D64) X(290, 3, MUL_D64_LK)      \
    X(291, 3, MUL_D64) X(292, 3, DIV_D64_LK) X(293, 3, DIV_D64) X(294, 3, ADD_D64_LK) X(295, 3, ADD_D64)    \
    X(296, 3, SUB_D64_LK) X(297, 3, SUB_D64) X(300, 3, GT_D64_LK) X(301, 3, GT_D64) X(304, 3, GE_D64_LK)    \
    X(305, 3, GE_D64) X(306, 3, EQ_D64_LK) X(307, 3, EQ_D64) X(308, 3, NE_D64_LK) X(309, 3, NE_D64)         \
    X(310, 2, MOVE_D64_LK) X(311, 2, MOVE_D64) X(312, 3, LDEL_D64_LK) X(313, 3, LDEL_D64)                   \
    X(314, 3, STEL_D64_LK) X(315, 3, STEL_D64) X(316, 5, CONST_D64) X(317, 5, CONST_D64_LK)                 \
    X(318, 1, LOCK_D64) X(319, 1, UNLOCK_D64) X(320, 2, NEG_R64_LK) X(321, 2, NEG_R64) X(322, 3, MUL_R64_LK)\
    X(323, 3, MUL_R64) X(324, 3, DIV_R64_LK) X(325, 3, DIV_R64) X(326, 3, ADD_R64_LK) X(327, 3, ADD_R64)    \
    X(328, 3, SUB_R64_LK) X(329, 3, SUB_R64) X(332, 3, GT_R64_LK) X(333, 3, GT_R64) X(336, 3, GE_R64_LK)    \
    X(337, 3, GE_R64) X(338, 3, EQ_R64_LK) X(339, 3, EQ_R64) X(340, 3, NE_R64_LK) X(341, 3, NE_R64)         \
    X(342, 2, MOVE_D64_2_LK) X(343, 2, MOVE_D64_2) X(344, 3, LDEL_D64_2_LK) X(345, 3, LDEL_D64_2)           \
    X(346, 3, STELB_D64_LK) X(347, 3, STELB_D64) X(348, 2, NEG_D16_LK) X(349, 2, NEG_D16)                   \
    X(350, 3, MUL_D16_LK) X(351, 3, MUL_D16) X(352, 3, DIV_D16_LK) X(353, 3, DIV_D16) X(354, 3, ADD_D16_LK) \
    X(355, 3, ADD_D16) X(356, 3, SUB_D16_LK) X(357, 3, SUB_D16) X(360, 3, GT_D16_LK) X(361, 3, GT_D16)      \
    X(364, 3, GE_D16_LK) X(365, 3, GE_D16) X(366, 3, EQ_D16_LK) X(367, 3, EQ_D16) X(368, 3, NE_D16_LK)      \
    X(369, 3, NE_D16) X(370, 2, MOVE_D16_LK) X(371, 2, MOVE_D16) X(372, 3, LDEL_D16_LK) X(373, 3, LDEL_D16) \
    X(374, 3, STEL_D16_LK) X(375, 3, STEL_D16) X(376, 2, NEG_D8_LK) X(377, 2, NEG_D8) X(378, 3, MUL_D8_LK)  \
    X(379, 3, MUL_D8) X(380, 3, DIV_D8_LK) X(381, 3, DIV_D8) X(382, 3, ADD_D8_LK) X(383, 3, ADD_D8)         \
    X(384, 3, SUB_D8_LK) X(385, 3, SUB_D8) X(388, 3, GT_D8_LK) X(389, 3, GT_D8) X(392, 3, GE_D8_LK)         \
    X(393, 3, GE_D8) X(394, 3, EQ_D8_2_LK) X(395, 3, EQ_D8_2) X(396, 3, NE_D8_2_LK) X(397, 3, NE_D8_2)      \
    X(398, 2, MOVE_D8_2_LK) X(399, 2, MOVE_D8_2) X(400, 3, LDEL_D8_2_LK) X(401, 3, LDEL_D8_2)               \
    X(402, 3, STEL_D8_LK) X(403, 3, STEL_D8) X(404, 2, CONST_D8) X(405, 2, CONST_D8_LK) X(406, 1, LOCK_D8_2)\
    X(407, 1, UNLOCK_D8_2) X(408, 2, CONST_S) X(409, 2, CONST_S_LK) X(410, 1, LOCK_S) X(411, 1, UNLOCK_S)   \
    X(412, 4, STEP) X(413, 3, TRANS) X(414, 2, TRANSCLR) X(415, 2, TRANSSET) X(416, 2, INITSTEPS)           \
    X(417, 3, TRANS1) X(418, 3, TRANSMOVE) X(419, 1, INITSTEP) X(420, 1, SFCEND) X(421, 2, CYCDIV)          \
    X(422, 3, IDXCHK) X(423, 1, CALLPRG) X(424, 2, XVREAD_D8) X(425, 2, XVREAD_D16) X(426, 2, XVREAD_D32)   \
    X(427, 2, XVREAD_D64) X(428, 2, XVREAD_T) X(429, 2, XVREAD_S) X(430, 2, XVWRITE_D8)                     \
    X(431, 2, XVWRITE_D16) X(432, 2, XVWRITE_D32) X(433, 2, XVWRITE_D64) X(434, 2, XVWRITE_T)               \
    X(435, 2, XVWRITE_S) X(436, 2, XVCONST_D8) X(437, 2, XVCONST_D16) X(438, 3, XVCONST_D32)                \
    X(439, 5, XVCONST_D64) X(440, 3, XVCONST_D32_2) X(441, 2, XVCONST_S) X(442, 2, XVREAD_D8_LK)            \
    X(443, 2, XVREAD_D16_LK) X(444, 2, XVREAD_D32_LK) X(445, 2, XVREAD_D64_LK) X(446, 2, XVREAD_T_LK)       \
    X(447, 2, XVREAD_S_LK) X(448, 2, XVWRITE_D8_LK) X(449, 2, XVWRITE_D16_LK) X(450, 2, XVWRITE_D32_LK)     \
    X(451, 2, XVWRITE_D64_LK) X(452, 2, XVWRITE_T_LK) X(453, 2, XVWRITE_S_LK) X(454, 1, LOCK_XV)            \
    X(455, 1, UNLOCK_XV) X(456, 3, XVREADX_D8) X(457, 3, XVREADX_D16) X(458, 3, XVREADX_D32)                \
    X(459, 3, XVREADX_D64) X(460, 3, XVREADX_T) X(461, 3, XVREADX_S) X(462, 3, XVWRITEX_D8)                 \
    X(463, 3, XVWRITEX_D16) X(464, 3, XVWRITEX_D32) X(465, 3, XVWRITEX_D64) X(466, 3, XVWRITEX_T)           \
    X(467, 3, XVWRITEX_S) X(468, 3, XVREADX_D8_LK) X(469, 3, XVREADX_D16_LK) X(470, 3, XVREADX_D32_LK)      \
    X(471, 3, XVREADX_D64_LK) X(472, 3, XVREADX_T_LK) X(473, 3, XVREADX_S_LK) X(474, 3, XVWRITEX_D8_LK)     \
    X(475, 3, XVWRITEX_D16_LK) X(476, 3, XVWRITEX_D32_LK) X(477, 3, XVWRITEX_D64_LK)                        \
    X(478, 3, XVWRITEX_T_LK) X(479, 3, XVWRITEX_S_LK) X(480, 9, SMPSET) X(481, 2, SMPCTL) X(482, 3, GT_U8)  \
    X(483, 3, GE_U8) X(484, 3, MUL_U8) X(485, 3, DIV_U8) X(486, 3, GT_U8_LK) X(487, 3, GE_U8_LK)            \
    X(488, 3, MUL_U8_LK) X(489, 3, DIV_U8_LK) X(490, 3, GT_U16) X(491, 3, GE_U16) X(492, 3, MUL_U16)        \
    X(493, 3, DIV_U16) X(494, 3, GT_U16_LK) X(495, 3, GE_U16_LK) X(496, 3, MUL_U16_LK) X(497, 3, DIV_U16_LK)\
    X(498, 3, GT_U32) X(499, 3, GE_U32) X(500, 3, MUL_U32) X(501, 3, DIV_U32) X(502, 3, GT_U32_LK)          \
    X(503, 3, GE_U32_LK) X(504, 3, MUL_U32_LK) X(505, 3, DIV_U32_LK) X(506, 0, HOLD) X(507, 1, WAIT)        \
    X(508, 1, BREAK) X(509, 3, TEST_D8) X(510, 3, TEST_D16) X(511, 3, TEST_D32) X(513, 3, MASK_D8)          \
    X(514, 3, MASK_D16) X(515, 3, MASK_D32) X(517, 3, TEST_D8_LK) X(518, 3, TEST_D16_LK)                    \
    X(519, 3, TEST_D32_LK) X(521, 3, MASK_D8_LK) X(522, 3, MASK_D16_LK) X(523, 3, MASK_D32_LK)              \
    X(525, 0, STEPMODE) X(526, 0, NOP) X(527, 3, SETBRK) X(528, 1, JMPA) X(529, 2, JMPAT) X(530, 2, JMPAF)  \
    X(531, 3, CTGET) X(532, 3, CTSET) X(533, 2, SETCT) X(534, 0, NOP_2) X(535, 2, CALLFBCT) X(536, 1, CHKCF)\
    X(537, 1, CHKFBCT) X(538, 1, TSTARTCT) X(539, 1, TSTOPCT) X(540, 2, STEPBRK) X(541, 2, TRANSBRKSET)     \
    X(542, 1, SKIP1) X(543, 2, JMPTAB) X(544, 3, JMPAEQ) X(545, 2, STATEJMP) X(546, 1, SETSTATE)            \
    X(547, 2, STEPSTATE) X(548, 2, STEPTIME) X(549, 1, TRANSBRK) X(550, 2, TRANSJMP) X(551, 2, KILLJMP)     \
    X(552, 4, ANYPARAM) X(553, 2, CTADDR) X(554, 0, UNLOCKALL) X(555, 3, CTCOPY) X(556, 3, GT_U64)          \
    X(557, 3, GE_U64) X(558, 3, MUL_U64) X(559, 3, DIV_U64) X(560, 3, GT_U64_LK) X(561, 3, GE_U64_LK)       \
    X(562, 3, MUL_U64_LK) X(563, 3, DIV_U64_LK) X(564, 0, REPEAT) X(565, 1, REPEATEND) X(566, 3, CTGET_2)   \
    X(567, 3, CTSET_2) X(568, 6, VSISET) X(569, 2, VSIRESET)
// clang-format on

enum Z7Opcode : uint16_t {
#define Z7_OP_ENUM(op, words, name) Z7OP_##name = op,
    Z7_OPCODES(Z7_OP_ENUM)
#undef Z7_OP_ENUM
};

// Operand words of each opcode (fixed part); 0xFF: undefined. Opcodes 11 and 119
// are given no operation by the instruction set (nor listed unassigned): undefined.
struct OpTable {
    uint8_t n[kMaxOp + 1];
    constexpr OpTable() : n{} {
        for (auto &x : n) x = 0xFF;
#define Z7_OP_WORDS(op, words, name) n[op] = words;
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
    void *full[kMaxOp + 1];  // the full handler of every opcode
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
template <typename V>
inline bool Locked(const V &v, uint32_t i, uint8_t bit) {
    return i < v.lk.n && (v.lk.p[i] & bit);
}

// Arena bytes [addr, addr + n) inside the arena; host pointer or null.
inline uint8_t *Arena(uint32_t addr, uint32_t n) { return addr == 0 ? nullptr : Z7Mem_Ptr(addr, n); }
// Bytes [off, off + n) of the CT segment, or null.
inline uint8_t *CtAt(const Vm &v, uint64_t off, uint32_t n) { return off + n <= v.ct.n ? v.ct.p + off : nullptr; }

// Lock bit of the destination of a conversion by its type code (0: none).
uint8_t ConvLockBit(uint32_t type) {
    switch (type) {
    case 1:
    case 10:
    case 14: return Z7LK_8;
    case 11:
    case 15: return Z7LK_16;
    case 2:
    case 3:
    case 16: return Z7LK_32;
    case 12:
    case 13: return Z7LK_64;
    case 4: return Z7LK_TIME;
    case 5: return Z7LK_STR;
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
    case 1: return {Z7SEC_D8, 1, Z7LK_8};
    case 2: return {Z7SEC_D32, 4, Z7LK_32};
    case 4: return {Z7SEC_TIME, 4, Z7LK_TIME};
    case 5: return {Z7SEC_STRPTR, 4, Z7LK_STR};
    case 11: return {Z7SEC_D16, 2, Z7LK_16};
    case 12: return {Z7SEC_D64, 8, Z7LK_64};
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

namespace {
// typed views
#define P8(i) (v.d8.p + (i))
#define P16(i) (v.d16.p + 2 * (i))
#define P32(i) (v.d32.p + 4 * (i))
#define P64(i) (v.d64.p + 8 * (i))
#define PT(i) (v.tm.p + 4 * (i))

// dst, a, b in one section; E computes from a_ and b_ of type T; twin tests bit.
#define BIN(SEC, PX, T, bit, twin, E)                          \
    {                                                          \
        HAVE(4);                                               \
        const uint32_t d = W(1), a = W(2), b = W(3);           \
        NEED(SEC, d);                                          \
        NEED(SEC, a);                                          \
        NEED(SEC, b);                                          \
        const T a_ = Ld<T>(PX(a)), b_ = Ld<T>(PX(b));          \
        (void)a_;                                              \
        (void)b_;                                              \
        if (!(twin) || !Locked(v, d, bit)) St<T>(PX(d), T(E)); \
        NEXT_N(4);                                             \
    }
#define UN(SEC, PX, T, bit, twin, E)                           \
    {                                                          \
        HAVE(3);                                               \
        const uint32_t d = W(1), a = W(2);                     \
        NEED(SEC, d);                                          \
        NEED(SEC, a);                                          \
        const T a_ = Ld<T>(PX(a));                             \
        if (!(twin) || !Locked(v, d, bit)) St<T>(PX(d), T(E)); \
        NEXT_N(3);                                             \
    }
// comparison into an 8-bit dst
#define CMP(SEC, PX, T, twin, E)                                    \
    {                                                               \
        HAVE(4);                                                    \
        const uint32_t d = W(1), a = W(2), b = W(3);                \
        NEED(d8, d);                                                \
        NEED(SEC, a);                                               \
        NEED(SEC, b);                                               \
        const T a_ = Ld<T>(PX(a)), b_ = Ld<T>(PX(b));               \
        if (!(twin) || !Locked(v, d, Z7LK_8)) *P8(d) = (E) ? 1 : 0; \
        NEXT_N(4);                                                  \
    }
#define SCMP(twin, E)                                               \
    {                                                               \
        HAVE(4);                                                    \
        const uint32_t d = W(1), a = W(2), b = W(3);                \
        NEED(d8, d);                                                \
        NEED(sp, a);                                                \
        NEED(sp, b);                                                \
        const int32_t r_ = Z7VMStr_Compare(db, a, b);               \
        if (!(twin) || !Locked(v, d, Z7LK_8)) *P8(d) = (E) ? 1 : 0; \
        NEXT_N(4);                                                  \
    }
// division with a substitute on zero
#define DIV(SEC, PX, T, bit, twin, ZERO, SUB, LOGC, E)       \
    {                                                        \
        HAVE(4);                                             \
        const uint32_t d = W(1), a = W(2), b = W(3);         \
        NEED(SEC, d);                                        \
        NEED(SEC, a);                                        \
        NEED(SEC, b);                                        \
        const T a_ = Ld<T>(PX(a)), b_ = Ld<T>(PX(b));        \
        T r_;                                                \
        if (ZERO) {                                          \
            DIV_ZERO(LOGC, b);                               \
            r_ = SUB;                                        \
        } else {                                             \
            r_ = T(E);                                       \
        }                                                    \
        if (!(twin) || !Locked(v, d, bit)) St<T>(PX(d), r_); \
        NEXT_N(4);                                           \
    }
#define MOVE(SEC, PX, T, bit, twin)                                    \
    {                                                                  \
        HAVE(3);                                                       \
        const uint32_t d = W(1), a = W(2);                             \
        NEED(SEC, d);                                                  \
        NEED(SEC, a);                                                  \
        if (!(twin) || !Locked(v, d, bit)) St<T>(PX(d), Ld<T>(PX(a))); \
        NEXT_N(3);                                                     \
    }
// element index = base + DINT (computed: fault 32)
#define ELEM(SEC, base_, dint_, out_)                                         \
    NEED(d32, dint_);                                                         \
    const int64_t out_##w = int64_t(base_) + Ld<int32_t>(P32(dint_));         \
    if (out_##w < 0 || out_##w >= int64_t(v.SEC.n)) FAULT(LOG_BOUNDS, dint_); \
    const uint32_t out_ = uint32_t(out_##w);
#define LOADEL(SEC, PX, T, bit, twin)                                  \
    {                                                                  \
        HAVE(4);                                                       \
        const uint32_t d = W(1), base = W(2), k = W(3);                \
        NEED(SEC, d);                                                  \
        NEED(SEC, base);                                               \
        ELEM(SEC, base, k, e);                                         \
        if (!(twin) || !Locked(v, d, bit)) St<T>(PX(d), Ld<T>(PX(e))); \
        NEXT_N(4);                                                     \
    }
#define STOREEL(SEC, PX, T, bit, twin, baselock)                                           \
    {                                                                                      \
        HAVE(4);                                                                           \
        const uint32_t base = W(1), k = W(2), s = W(3);                                    \
        NEED(SEC, base);                                                                   \
        NEED(SEC, s);                                                                      \
        ELEM(SEC, base, k, e);                                                             \
        if (!(twin) || !Locked(v, (baselock) ? base : e, bit)) St<T>(PX(e), Ld<T>(PX(s))); \
        NEXT_N(4);                                                                         \
    }
#define LOCKOP(SEC, bit, lock)                    \
    {                                             \
        HAVE(2);                                  \
        const uint32_t i = W(1);                  \
        NEED(SEC, i);                             \
        if (lock)                                 \
            Z7VMTic_LockVar(db, i, bit);          \
        else                                      \
            Z7VMTic_UnlockVar(db, i, bit, ctreg); \
        NEXT_N(2);                                \
    }
// constant write: index 0 goes to the CT item at the register
#define CONST(SEC, PX, T, bit, twin, VAL, keepreg) \
    {                                              \
        CHECK_LEN;                                 \
        const uint32_t d = W(1);                   \
        NEED(SEC, d);                              \
        const T val_ = T(VAL);                     \
        if (!(twin) || !Locked(v, d, bit)) {       \
            if (d == 0) {                          \
                CT_CONST(T, val_, keepreg);        \
            } else {                               \
                St<T>(PX(d), val_);                \
            }                                      \
        }                                          \
        NEXT;                                      \
    }
#define W32(k) (uint32_t(W(k)) << 16 | W((k) + 1))
#define W64(k) (uint64_t(W32(k)) << 32 | W32((k) + 2))
// XV pointer of number x (computed: fault 32), width bytes
#define XVPTR(x, width, computed, out)                                              \
    if ((x) >= v.xv.n || (x) == 0) FAULT((computed) ? LOG_BOUNDS : LOG_UNDEF, (x)); \
    uint8_t *out = Arena(Ld<uint32_t>(v.xv.p + 4 * (x)), (width));                  \
    if (out == nullptr) FAULT(LOG_BOUNDS, (x));
#define XVNUM(indexed, out)                                              \
    uint32_t out = W(1);                                                 \
    if (indexed) {                                                       \
        NEED(d32, W(3));                                                 \
        const int64_t xw_ = int64_t(out) + Ld<int32_t>(P32(W(3)));       \
        if (xw_ <= 0 || xw_ >= int64_t(v.xv.n)) FAULT(LOG_BOUNDS, W(3)); \
        out = uint32_t(xw_);                                             \
    }
#define XVREAD(SEC, PX, width, bit, twin, indexed)                        \
    {                                                                     \
        CHECK_LEN;                                                        \
        XVNUM(indexed, x);                                                \
        const uint32_t d = W(2);                                          \
        NEED(SEC, d);                                                     \
        XVPTR(x, width, indexed, xp);                                     \
        if (!(twin) || !Locked(v, d, bit)) std::memcpy(PX(d), xp, width); \
        NEXT_N(((indexed) ? 4 : 3));                                      \
    }
#define XVWRITE(SEC, PX, width, twin, indexed)                                 \
    {                                                                          \
        CHECK_LEN;                                                             \
        XVNUM(indexed, x);                                                     \
        const uint32_t s = W(2);                                               \
        NEED(SEC, s);                                                          \
        XVPTR(x, width, indexed, xp);                                          \
        if (!(twin) || !Locked(v, x, Z7LK_EXT)) std::memcpy(xp, PX(s), width); \
        NEXT_N(((indexed) ? 4 : 3));                                           \
    }
#define XVSTR(read, twin, indexed)                                                              \
    {                                                                                           \
        CHECK_LEN;                                                                              \
        XVNUM(indexed, x);                                                                      \
        const uint32_t s = W(2);                                                                \
        NEED(sp, s);                                                                            \
        XVPTR(x, 3, indexed, xp);                                                               \
        (void)xp;                                                                               \
        const uint32_t slot = Ld<uint32_t>(v.xv.p + 4 * x);                                     \
        if (read) {                                                                             \
            if (!(twin) || !Locked(v, s, Z7LK_STR)) Z7VMStr_CopyPtr(Z7VMStr_Slot(db, s), slot); \
        } else {                                                                                \
            if (!(twin) || !Locked(v, x, Z7LK_EXT)) Z7VMStr_CopyPtr(slot, Z7VMStr_Slot(db, s)); \
        }                                                                                       \
        NEXT_N(((indexed) ? 4 : 3));                                                            \
    }
#define JUMP_REL(k)                                                                               \
    do {                                                                                          \
        if (kProved) {                                                                            \
            const uint8_t *to_ = pc + 2 * ((k) + 1) + int16_t(W(k));                              \
            if (to_ <= pc) BACKJUMP();                                                            \
            pc = to_;                                                                             \
            DISPATCH();                                                                           \
        }                                                                                         \
        const int64_t t_ = int64_t(2) * (IP + (k) + 1) + int16_t(W(k));                           \
        if (!kProved && (t_ < 0 || (t_ & 1) || t_ >= int64_t(2) * c.words)) FAULT(LOG_UNDEF, op); \
        if (uint32_t(t_ / 2) <= IP) BACKJUMP();                                                   \
        pc = c.p + 2 * size_t(uint32_t(t_ / 2));                                                  \
        DISPATCH();                                                                               \
    } while (0)
#define JUMP_ABS(off)                                                          \
    do {                                                                       \
        const uint32_t t_ = (off);                                             \
        if (!kProved && ((t_ & 1) || t_ / 2 >= c.words)) FAULT(LOG_UNDEF, op); \
        if (t_ / 2 <= IP) BACKJUMP();                                          \
        pc = c.p + 2 * size_t(t_ / 2);                                         \
        DISPATCH();                                                            \
    } while (0)

// mask (dst, mask, bool): a non-zero BOOL sets the mask's bits in dst, zero
// clears them; opcodes from MASK_D8_LK on are the lock-tested twins
#define MASKOP(SEC, PX, T, bit)                                                                   \
    {                                                                                             \
        CHECK_LEN;                                                                                \
        const uint32_t d = W(1), m = W(2), b = W(3);                                              \
        NEED(d8, b);                                                                              \
        NEED(SEC, d);                                                                             \
        NEED(SEC, m);                                                                             \
        const bool on = *P8(b) != 0;                                                              \
        const T x = Ld<T>(PX(d)), y = Ld<T>(PX(m));                                               \
        if (op < Z7OP_MASK_D8_LK || !Locked(v, d, bit)) St<T>(PX(d), T(on ? (x | y) : (x & ~y))); \
        NEXT;                                                                                     \
    }

// The plain jumps and the data operations that call nothing: H1..H3(mnemonics,
// handler body). Both tiers below expand the same bodies; a proof checks the
// static operands of the data operations by their shape (BIN, CMP, ...) and
// those of the jumps one by one.
#define Z7_JUMP_OPS(H1, H2, H3)                                               \
    H1(JMP, CHECK_LEN; JUMP_REL(1);)                                          \
    H1(                                                                       \
        JMPT, CHECK_LEN; {                                                    \
            const uint32_t b = W(1);                                          \
            NEED(d8, b);                                                      \
            if (*P8(b)) JUMP_REL(2);                                          \
            NEXT;                                                             \
        })                                                                    \
    H1(                                                                       \
        JMPF, CHECK_LEN; {                                                    \
            const uint32_t b = W(1);                                          \
            NEED(d8, b);                                                      \
            if (!*P8(b)) JUMP_REL(2);                                         \
            NEXT;                                                             \
        })                                                                    \
    H1(JMPA, CHECK_LEN; JUMP_ABS(W(1));)                                      \
    H1(                                                                       \
        JMPAT, CHECK_LEN; {                                                   \
            const uint32_t b = W(1);                                          \
            NEED(d8, b);                                                      \
            if (*P8(b)) JUMP_ABS(W(2));                                       \
            NEXT;                                                             \
        })                                                                    \
    H1(                                                                       \
        JMPAF, CHECK_LEN; {                                                   \
            const uint32_t b = W(1);                                          \
            NEED(d8, b);                                                      \
            if (!*P8(b)) JUMP_ABS(W(2));                                      \
            NEXT;                                                             \
        })                                                                    \
    H1(                                                                       \
        JMPAEQ, CHECK_LEN; {                                                  \
            const uint32_t a = W(2), b = W(3);                                \
            NEED(d32, a);                                                     \
            NEED(d32, b);                                                     \
            if (Ld<uint32_t>(P32(a)) == Ld<uint32_t>(P32(b))) JUMP_ABS(W(1)); \
            NEXT;                                                             \
        })                                                                    \
    H1(                                                                       \
        IDXCHK, CHECK_LEN; {                                                  \
            const uint32_t k = W(1);                                          \
            NEED(d32, k);                                                     \
            const int32_t x = Ld<int32_t>(P32(k));                            \
            if (x < int32_t(W(2)) || x > int32_t(W(3))) FAULT(LOG_BOUNDS, k); \
            NEXT;                                                             \
        })                                                                    \
    H3(NOP, NOP_2, SKIP1, CHECK_LEN; NEXT;)

#define Z7_DATA_OPS(H1, H2, H3)                                                                                \
    H1(NEG_D8, UN(d8, P8, uint8_t, Z7LK_8, false, -a_))                                                        \
    H1(NEG_D8_LK, UN(d8, P8, uint8_t, Z7LK_8, true, -a_))                                                      \
    H1(ADD_D8, BIN(d8, P8, uint8_t, Z7LK_8, false, a_ + b_))                                                   \
    H1(ADD_D8_LK, BIN(d8, P8, uint8_t, Z7LK_8, true, a_ + b_))                                                 \
    H1(SUB_D8, BIN(d8, P8, uint8_t, Z7LK_8, false, a_ - b_))                                                   \
    H1(SUB_D8_LK, BIN(d8, P8, uint8_t, Z7LK_8, true, a_ - b_))                                                 \
    H2(MUL_D8, MUL_U8, BIN(d8, P8, uint8_t, Z7LK_8, false, a_ *b_))                                            \
    H2(MUL_D8_LK, MUL_U8_LK, BIN(d8, P8, uint8_t, Z7LK_8, true, a_ *b_))                                       \
    H2(DIV_D8, DIV_U8, DIV(d8, P8, uint8_t, Z7LK_8, false, b_ == 0, 127, LOG_DIV8, a_ / b_))                   \
    H2(DIV_D8_LK, DIV_U8_LK, DIV(d8, P8, uint8_t, Z7LK_8, true, b_ == 0, 127, LOG_DIV8, a_ / b_))              \
    H1(NEG_D16, UN(d16, P16, uint16_t, Z7LK_16, false, -a_))                                                   \
    H1(NEG_D16_LK, UN(d16, P16, uint16_t, Z7LK_16, true, -a_))                                                 \
    H1(ADD_D16, BIN(d16, P16, uint16_t, Z7LK_16, false, a_ + b_))                                              \
    H1(ADD_D16_LK, BIN(d16, P16, uint16_t, Z7LK_16, true, a_ + b_))                                            \
    H1(SUB_D16, BIN(d16, P16, uint16_t, Z7LK_16, false, a_ - b_))                                              \
    H1(SUB_D16_LK, BIN(d16, P16, uint16_t, Z7LK_16, true, a_ - b_))                                            \
    H2(MUL_D16, MUL_U16, BIN(d16, P16, uint16_t, Z7LK_16, false, uint32_t(a_) * b_))                           \
    H2(MUL_D16_LK, MUL_U16_LK, BIN(d16, P16, uint16_t, Z7LK_16, true, uint32_t(a_) * b_))                      \
    H1(DIV_D16, DIV(d16, P16, int16_t, Z7LK_16, false, b_ == 0, 32767, LOG_DIV16, b_ == -1 ? -a_ : a_ / b_))   \
    H1(DIV_D16_LK, DIV(d16, P16, int16_t, Z7LK_16, true, b_ == 0, 32767, LOG_DIV16, b_ == -1 ? -a_ : a_ / b_)) \
    H1(DIV_U16, DIV(d16, P16, uint16_t, Z7LK_16, false, b_ == 0, 32767, LOG_DIV16, a_ / b_))                   \
    H1(DIV_U16_LK, DIV(d16, P16, uint16_t, Z7LK_16, true, b_ == 0, 32767, LOG_DIV16, a_ / b_))                 \
    H1(NEG_D32, UN(d32, P32, uint32_t, Z7LK_32, false, 0u - a_))                                               \
    H1(NEG_D32_LK, UN(d32, P32, uint32_t, Z7LK_32, true, 0u - a_))                                             \
    H1(ADD_D32, BIN(d32, P32, uint32_t, Z7LK_32, false, a_ + b_))                                              \
    H1(ADD_D32_LK, BIN(d32, P32, uint32_t, Z7LK_32, true, a_ + b_))                                            \
    H1(SUB_D32, BIN(d32, P32, uint32_t, Z7LK_32, false, a_ - b_))                                              \
    H1(SUB_D32_LK, BIN(d32, P32, uint32_t, Z7LK_32, true, a_ - b_))                                            \
    H2(MUL_D32, MUL_U32, BIN(d32, P32, uint32_t, Z7LK_32, false, a_ *b_))                                      \
    H2(MUL_D32_LK, MUL_U32_LK, BIN(d32, P32, uint32_t, Z7LK_32, true, a_ *b_))                                 \
    H1(DIV_D32, DIV(d32, P32, int32_t, Z7LK_32, false, b_ == 0, 0x7FFFFFFF, LOG_DIV32,                         \
                    b_ == -1 ? int32_t(0u - uint32_t(a_)) : a_ / b_))                                          \
    H1(DIV_D32_LK, DIV(d32, P32, int32_t, Z7LK_32, true, b_ == 0, 0x7FFFFFFF, LOG_DIV32,                       \
                       b_ == -1 ? int32_t(0u - uint32_t(a_)) : a_ / b_))                                       \
    H1(DIV_U32, DIV(d32, P32, uint32_t, Z7LK_32, false, b_ == 0, 0x7FFFFFFFu, LOG_DIV32, a_ / b_))             \
    H1(DIV_U32_LK, DIV(d32, P32, uint32_t, Z7LK_32, true, b_ == 0, 0x7FFFFFFFu, LOG_DIV32, a_ / b_))           \
    H1(NEG_R32, UN(d32, P32, uint32_t, Z7LK_32, false, a_ ^ 0x80000000u))                                      \
    H1(NEG_R32_LK, UN(d32, P32, uint32_t, Z7LK_32, true, a_ ^ 0x80000000u))                                    \
    H1(ADD_R32, BIN(d32, P32, float, Z7LK_32, false, a_ + b_))                                                 \
    H1(ADD_R32_LK, BIN(d32, P32, float, Z7LK_32, true, a_ + b_))                                               \
    H1(SUB_R32, BIN(d32, P32, float, Z7LK_32, false, a_ - b_))                                                 \
    H1(SUB_R32_LK, BIN(d32, P32, float, Z7LK_32, true, a_ - b_))                                               \
    H1(MUL_R32, BIN(d32, P32, float, Z7LK_32, false, a_ *b_))                                                  \
    H1(MUL_R32_LK, BIN(d32, P32, float, Z7LK_32, true, a_ *b_))                                                \
    H1(DIV_R32, DIV(d32, P32, float, Z7LK_32, false, b_ == 0.0f, 1.0e37f, LOG_DIV32, a_ / b_))                 \
    H1(DIV_R32_LK, DIV(d32, P32, float, Z7LK_32, true, b_ == 0.0f, 1.0e37f, LOG_DIV32, a_ / b_))               \
    H1(NEG_D64, UN(d64, P64, uint64_t, Z7LK_64, false, 0ull - a_))                                             \
    H1(NEG_D64_LK, UN(d64, P64, uint64_t, Z7LK_64, true, 0ull - a_))                                           \
    H1(ADD_D64, BIN(d64, P64, uint64_t, Z7LK_64, false, a_ + b_))                                              \
    H1(ADD_D64_LK, BIN(d64, P64, uint64_t, Z7LK_64, true, a_ + b_))                                            \
    H1(SUB_D64, BIN(d64, P64, uint64_t, Z7LK_64, false, a_ - b_))                                              \
    H1(SUB_D64_LK, BIN(d64, P64, uint64_t, Z7LK_64, true, a_ - b_))                                            \
    H2(MUL_D64, MUL_U64, BIN(d64, P64, uint64_t, Z7LK_64, false, a_ *b_))                                      \
    H2(MUL_D64_LK, MUL_U64_LK, BIN(d64, P64, uint64_t, Z7LK_64, true, a_ *b_))                                 \
    H1(DIV_D64, DIV(d64, P64, int64_t, Z7LK_64, false, b_ == 0, INT64_MAX, LOG_DIV64,                          \
                    b_ == -1 ? int64_t(0ull - uint64_t(a_)) : a_ / b_))                                        \
    H1(DIV_D64_LK, DIV(d64, P64, int64_t, Z7LK_64, true, b_ == 0, INT64_MAX, LOG_DIV64,                        \
                       b_ == -1 ? int64_t(0ull - uint64_t(a_)) : a_ / b_))                                     \
    H1(DIV_U64, DIV(d64, P64, uint64_t, Z7LK_64, false, b_ == 0, UINT64_MAX, LOG_DIV32, a_ / b_))              \
    H1(DIV_U64_LK, DIV(d64, P64, uint64_t, Z7LK_64, true, b_ == 0, UINT64_MAX, LOG_DIV32, a_ / b_))            \
    H1(NEG_R64, UN(d64, P64, uint64_t, Z7LK_64, false, a_ ^ 0x8000000000000000ull))                            \
    H1(NEG_R64_LK, UN(d64, P64, uint64_t, Z7LK_64, true, a_ ^ 0x8000000000000000ull))                          \
    H1(ADD_R64, BIN(d64, P64, double, Z7LK_64, false, a_ + b_))                                                \
    H1(ADD_R64_LK, BIN(d64, P64, double, Z7LK_64, true, a_ + b_))                                              \
    H1(SUB_R64, BIN(d64, P64, double, Z7LK_64, false, a_ - b_))                                                \
    H1(SUB_R64_LK, BIN(d64, P64, double, Z7LK_64, true, a_ - b_))                                              \
    H1(MUL_R64, BIN(d64, P64, double, Z7LK_64, false, a_ *b_))                                                 \
    H1(MUL_R64_LK, BIN(d64, P64, double, Z7LK_64, true, a_ *b_))                                               \
    H1(DIV_R64, DIV(d64, P64, double, Z7LK_64, false, b_ == 0.0, 1.0e307, LOG_DIV64, a_ / b_))                 \
    H1(DIV_R64_LK, DIV(d64, P64, double, Z7LK_64, true, b_ == 0.0, 1.0e307, LOG_DIV64, a_ / b_))               \
    H1(ADD_T, BIN(tm, PT, uint32_t, Z7LK_TIME, false, a_ + b_))                                                \
    H1(ADD_T_LK, BIN(tm, PT, uint32_t, Z7LK_TIME, true, a_ + b_))                                              \
    H1(SUB_T, BIN(tm, PT, uint32_t, Z7LK_TIME, false, a_ >= b_ ? a_ - b_ : 0u))                                \
    H1(SUB_T_LK, BIN(tm, PT, uint32_t, Z7LK_TIME, true, a_ >= b_ ? a_ - b_ : 0u))                              \
    H1(NOT_D8, UN(d8, P8, uint8_t, Z7LK_8, false, a_ == 0 ? 1 : 0))                                            \
    H1(NOT_D8_LK, UN(d8, P8, uint8_t, Z7LK_8, true, a_ == 0 ? 1 : 0))                                          \
    H2(GT_D8, GT_U8, CMP(d8, P8, uint8_t, false, a_ > b_))                                                     \
    H2(GT_D8_LK, GT_U8_LK, CMP(d8, P8, uint8_t, true, a_ > b_))                                                \
    H2(GE_D8, GE_U8, CMP(d8, P8, uint8_t, false, a_ >= b_))                                                    \
    H2(GE_D8_LK, GE_U8_LK, CMP(d8, P8, uint8_t, true, a_ >= b_))                                               \
    H2(EQ_D8, EQ_D8_2, CMP(d8, P8, uint8_t, false, a_ == b_))                                                  \
    H2(EQ_D8_LK, EQ_D8_2_LK, CMP(d8, P8, uint8_t, true, a_ == b_))                                             \
    H2(NE_D8, NE_D8_2, CMP(d8, P8, uint8_t, false, a_ != b_))                                                  \
    H2(NE_D8_LK, NE_D8_2_LK, CMP(d8, P8, uint8_t, true, a_ != b_))                                             \
    H1(GT_D16, CMP(d16, P16, int16_t, false, a_ > b_))                                                         \
    H1(GT_D16_LK, CMP(d16, P16, int16_t, true, a_ > b_))                                                       \
    H1(GT_U16, CMP(d16, P16, uint16_t, false, a_ > b_))                                                        \
    H1(GT_U16_LK, CMP(d16, P16, uint16_t, true, a_ > b_))                                                      \
    H1(GE_D16, CMP(d16, P16, int16_t, false, a_ >= b_))                                                        \
    H1(GE_D16_LK, CMP(d16, P16, int16_t, true, a_ >= b_))                                                      \
    H1(GE_U16, CMP(d16, P16, uint16_t, false, a_ >= b_))                                                       \
    H1(GE_U16_LK, CMP(d16, P16, uint16_t, true, a_ >= b_))                                                     \
    H1(EQ_D16, CMP(d16, P16, uint16_t, false, a_ == b_))                                                       \
    H1(EQ_D16_LK, CMP(d16, P16, uint16_t, true, a_ == b_))                                                     \
    H1(NE_D16, CMP(d16, P16, uint16_t, false, a_ != b_))                                                       \
    H1(NE_D16_LK, CMP(d16, P16, uint16_t, true, a_ != b_))                                                     \
    H1(GT_D32, CMP(d32, P32, int32_t, false, a_ > b_))                                                         \
    H1(GT_D32_LK, CMP(d32, P32, int32_t, true, a_ > b_))                                                       \
    H1(GT_U32, CMP(d32, P32, uint32_t, false, a_ > b_))                                                        \
    H1(GT_U32_LK, CMP(d32, P32, uint32_t, true, a_ > b_))                                                      \
    H1(GE_D32, CMP(d32, P32, int32_t, false, a_ >= b_))                                                        \
    H1(GE_D32_LK, CMP(d32, P32, int32_t, true, a_ >= b_))                                                      \
    H1(GE_U32, CMP(d32, P32, uint32_t, false, a_ >= b_))                                                       \
    H1(GE_U32_LK, CMP(d32, P32, uint32_t, true, a_ >= b_))                                                     \
    H1(EQ_D32, CMP(d32, P32, uint32_t, false, a_ == b_))                                                       \
    H1(EQ_D32_LK, CMP(d32, P32, uint32_t, true, a_ == b_))                                                     \
    H1(NE_D32, CMP(d32, P32, uint32_t, false, a_ != b_))                                                       \
    H1(NE_D32_LK, CMP(d32, P32, uint32_t, true, a_ != b_))                                                     \
    H1(GT_R32, CMP(d32, P32, float, false, a_ > b_))                                                           \
    H1(GT_R32_LK, CMP(d32, P32, float, true, a_ > b_))                                                         \
    H1(GE_R32, CMP(d32, P32, float, false, a_ >= b_))                                                          \
    H1(GE_R32_LK, CMP(d32, P32, float, true, a_ >= b_))                                                        \
    H1(EQ_R32, CMP(d32, P32, float, false, a_ == b_))                                                          \
    H1(EQ_R32_LK, CMP(d32, P32, float, true, a_ == b_))                                                        \
    H1(NE_R32, CMP(d32, P32, float, false, !(a_ == b_)))                                                       \
    H1(NE_R32_LK, CMP(d32, P32, float, true, !(a_ == b_)))                                                     \
    H1(GT_D64, CMP(d64, P64, int64_t, false, a_ > b_))                                                         \
    H1(GT_D64_LK, CMP(d64, P64, int64_t, true, a_ > b_))                                                       \
    H1(GT_U64, CMP(d64, P64, uint64_t, false, a_ > b_))                                                        \
    H1(GT_U64_LK, CMP(d64, P64, uint64_t, true, a_ > b_))                                                      \
    H1(GE_D64, CMP(d64, P64, int64_t, false, a_ >= b_))                                                        \
    H1(GE_D64_LK, CMP(d64, P64, int64_t, true, a_ >= b_))                                                      \
    H1(GE_U64, CMP(d64, P64, uint64_t, false, a_ >= b_))                                                       \
    H1(GE_U64_LK, CMP(d64, P64, uint64_t, true, a_ >= b_))                                                     \
    H1(EQ_D64, CMP(d64, P64, uint64_t, false, a_ == b_))                                                       \
    H1(EQ_D64_LK, CMP(d64, P64, uint64_t, true, a_ == b_))                                                     \
    H1(NE_D64, CMP(d64, P64, uint64_t, false, a_ != b_))                                                       \
    H1(NE_D64_LK, CMP(d64, P64, uint64_t, true, a_ != b_))                                                     \
    H1(GT_R64, CMP(d64, P64, double, false, a_ > b_))                                                          \
    H1(GT_R64_LK, CMP(d64, P64, double, true, a_ > b_))                                                        \
    H1(GE_R64, CMP(d64, P64, double, false, a_ >= b_))                                                         \
    H1(GE_R64_LK, CMP(d64, P64, double, true, a_ >= b_))                                                       \
    H1(EQ_R64, CMP(d64, P64, double, false, a_ == b_))                                                         \
    H1(EQ_R64_LK, CMP(d64, P64, double, true, a_ == b_))                                                       \
    H1(NE_R64, CMP(d64, P64, double, false, !(a_ == b_)))                                                      \
    H1(NE_R64_LK, CMP(d64, P64, double, true, !(a_ == b_)))                                                    \
    H1(GT_T, CMP(tm, PT, uint32_t, false, a_ > b_))                                                            \
    H1(GT_T_LK, CMP(tm, PT, uint32_t, true, a_ > b_))                                                          \
    H1(GE_T, CMP(tm, PT, uint32_t, false, a_ >= b_))                                                           \
    H1(GE_T_LK, CMP(tm, PT, uint32_t, true, a_ >= b_))                                                         \
    H1(EQ_T, CMP(tm, PT, uint32_t, false, a_ == b_))                                                           \
    H1(EQ_T_LK, CMP(tm, PT, uint32_t, true, a_ == b_))                                                         \
    H1(NE_T, CMP(tm, PT, uint32_t, false, a_ != b_))                                                           \
    H1(NE_T_LK, CMP(tm, PT, uint32_t, true, a_ != b_))                                                         \
    H1(OR_D8, BIN(d8, P8, uint8_t, Z7LK_8, false, a_ | b_))                                                    \
    H1(OR_D8_LK, BIN(d8, P8, uint8_t, Z7LK_8, true, a_ | b_))                                                  \
    H1(AND_D8, BIN(d8, P8, uint8_t, Z7LK_8, false, a_ &b_))                                                    \
    H1(AND_D8_LK, BIN(d8, P8, uint8_t, Z7LK_8, true, a_ &b_))                                                  \
    H1(XOR_D8, BIN(d8, P8, uint8_t, Z7LK_8, false, a_ ^ b_))                                                   \
    H1(XOR_D8_LK, BIN(d8, P8, uint8_t, Z7LK_8, true, a_ ^ b_))                                                 \
    H1(TEST_D8, CMP(d8, P8, uint8_t, false, (a_ & b_) != 0))                                                   \
    H1(TEST_D8_LK, CMP(d8, P8, uint8_t, true, (a_ & b_) != 0))                                                 \
    H1(TEST_D16, CMP(d16, P16, uint16_t, false, (a_ & b_) != 0))                                               \
    H1(TEST_D16_LK, CMP(d16, P16, uint16_t, true, (a_ & b_) != 0))                                             \
    H1(TEST_D32, CMP(d32, P32, uint32_t, false, (a_ & b_) != 0))                                               \
    H1(TEST_D32_LK, CMP(d32, P32, uint32_t, true, (a_ & b_) != 0))                                             \
    H2(MASK_D8, MASK_D8_LK, MASKOP(d8, P8, uint8_t, Z7LK_8))                                                   \
    H2(MASK_D16, MASK_D16_LK, MASKOP(d16, P16, uint16_t, Z7LK_16))                                             \
    H2(MASK_D32, MASK_D32_LK, MASKOP(d32, P32, uint32_t, Z7LK_32))                                             \
    H2(MOVE_D8, MOVE_D8_2, MOVE(d8, P8, uint8_t, Z7LK_8, false))                                               \
    H2(MOVE_D8_LK, MOVE_D8_2_LK, MOVE(d8, P8, uint8_t, Z7LK_8, true))                                          \
    H1(MOVE_D16, MOVE(d16, P16, uint16_t, Z7LK_16, false))                                                     \
    H1(MOVE_D16_LK, MOVE(d16, P16, uint16_t, Z7LK_16, true))                                                   \
    H2(MOVE_D32, MOVE_D32_2, MOVE(d32, P32, uint32_t, Z7LK_32, false))                                         \
    H2(MOVE_D32_LK, MOVE_D32_2_LK, MOVE(d32, P32, uint32_t, Z7LK_32, true))                                    \
    H2(MOVE_D64, MOVE_D64_2, MOVE(d64, P64, uint64_t, Z7LK_64, false))                                         \
    H2(MOVE_D64_LK, MOVE_D64_2_LK, MOVE(d64, P64, uint64_t, Z7LK_64, true))                                    \
    H1(MOVE_T, MOVE(tm, PT, uint32_t, Z7LK_TIME, false))                                                       \
    H1(MOVE_T_LK, MOVE(tm, PT, uint32_t, Z7LK_TIME, true))                                                     \
    H2(LDEL_D8, LDEL_D8_2, LOADEL(d8, P8, uint8_t, Z7LK_8, false))                                             \
    H2(LDEL_D8_LK, LDEL_D8_2_LK, LOADEL(d8, P8, uint8_t, Z7LK_8, true))                                        \
    H1(LDEL_D16, LOADEL(d16, P16, uint16_t, Z7LK_16, false))                                                   \
    H1(LDEL_D16_LK, LOADEL(d16, P16, uint16_t, Z7LK_16, true))                                                 \
    H2(LDEL_D32, LDEL_D32_2, LOADEL(d32, P32, uint32_t, Z7LK_32, false))                                       \
    H2(LDEL_D32_LK, LDEL_D32_2_LK, LOADEL(d32, P32, uint32_t, Z7LK_32, true))                                  \
    H2(LDEL_D64, LDEL_D64_2, LOADEL(d64, P64, uint64_t, Z7LK_64, false))                                       \
    H2(LDEL_D64_LK, LDEL_D64_2_LK, LOADEL(d64, P64, uint64_t, Z7LK_64, true))                                  \
    H1(LDEL_T, LOADEL(tm, PT, uint32_t, Z7LK_TIME, false))                                                     \
    H1(LDEL_T_LK, LOADEL(tm, PT, uint32_t, Z7LK_TIME, true))                                                   \
    H1(STEL_D8, STOREEL(d8, P8, uint8_t, Z7LK_8, false, false))                                                \
    H1(STEL_D8_LK, STOREEL(d8, P8, uint8_t, Z7LK_8, true, false))                                              \
    H1(STEL_D16, STOREEL(d16, P16, uint16_t, Z7LK_16, false, false))                                           \
    H1(STEL_D16_LK, STOREEL(d16, P16, uint16_t, Z7LK_16, true, false))                                         \
    H1(STEL_D32, STOREEL(d32, P32, uint32_t, Z7LK_32, false, false))                                           \
    H1(STEL_D32_LK, STOREEL(d32, P32, uint32_t, Z7LK_32, true, false))                                         \
    H1(STEL_D64, STOREEL(d64, P64, uint64_t, Z7LK_64, false, false))                                           \
    H1(STEL_D64_LK, STOREEL(d64, P64, uint64_t, Z7LK_64, true, false))                                         \
    H1(STEL_T, STOREEL(tm, PT, uint32_t, Z7LK_TIME, false, false))                                             \
    H1(STEL_T_LK, STOREEL(tm, PT, uint32_t, Z7LK_TIME, true, false))                                           \
    H1(STELB_D8, STOREEL(d8, P8, uint8_t, Z7LK_8, false, true))                                                \
    H1(STELB_D8_LK, STOREEL(d8, P8, uint8_t, Z7LK_8, true, true))                                              \
    H1(STELB_D32, STOREEL(d32, P32, uint32_t, Z7LK_32, false, true))                                           \
    H1(STELB_D32_LK, STOREEL(d32, P32, uint32_t, Z7LK_32, true, true))                                         \
    H1(STELB_D64, STOREEL(d64, P64, uint64_t, Z7LK_64, false, true))                                           \
    H1(STELB_D64_LK, STOREEL(d64, P64, uint64_t, Z7LK_64, true, true))                                         \
    H1(CONST_D8, CONST(d8, P8, uint8_t, Z7LK_8, false, W(2) & 0xFF, false))                                    \
    H1(CONST_D8_LK, CONST(d8, P8, uint8_t, Z7LK_8, true, W(2) & 0xFF, false))                                  \
    H1(CONST_D16, CONST(d16, P16, uint16_t, Z7LK_16, false, W(2), false))                                      \
    H1(CONST_D16_LK, CONST(d16, P16, uint16_t, Z7LK_16, true, W(2), false))                                    \
    H1(CONST_D32, CONST(d32, P32, uint32_t, Z7LK_32, false, W32(2), false))                                    \
    H1(CONST_D32_LK, CONST(d32, P32, uint32_t, Z7LK_32, true, W32(2), false))                                  \
    H1(CONST_T, CONST(tm, PT, uint32_t, Z7LK_TIME, false, W32(2), true))                                       \
    H1(CONST_T_LK, CONST(tm, PT, uint32_t, Z7LK_TIME, true, W32(2), true))                                     \
    H1(CONST_D64, CONST(d64, P64, uint64_t, Z7LK_64, false, W64(2), false))                                    \
    H1(CONST_D64_LK, CONST(d64, P64, uint64_t, Z7LK_64, true, W64(2), false))                                  \
    H1(SET_D8, CONST(d8, P8, uint8_t, Z7LK_8, false, 1, false))                                                \
    H1(SET_D8_LK, CONST(d8, P8, uint8_t, Z7LK_8, true, 1, false))                                              \
    H1(RESET_D8, CONST(d8, P8, uint8_t, Z7LK_8, false, 0, false))                                              \
    H1(RESET_D8_LK, CONST(d8, P8, uint8_t, Z7LK_8, true, 0, false))                                            \
    H1(XVREAD_D8, XVREAD(d8, P8, 1, Z7LK_8, false, false))                                                     \
    H1(XVREAD_D16, XVREAD(d16, P16, 2, Z7LK_16, false, false))                                                 \
    H1(XVREAD_D32, XVREAD(d32, P32, 4, Z7LK_32, false, false))                                                 \
    H1(XVREAD_D64, XVREAD(d64, P64, 8, Z7LK_64, false, false))                                                 \
    H1(XVREAD_T, XVREAD(tm, PT, 4, Z7LK_TIME, false, false))                                                   \
    H1(XVREAD_D8_LK, XVREAD(d8, P8, 1, Z7LK_8, true, false))                                                   \
    H1(XVREAD_D16_LK, XVREAD(d16, P16, 2, Z7LK_16, true, false))                                               \
    H1(XVREAD_D32_LK, XVREAD(d32, P32, 4, Z7LK_32, true, false))                                               \
    H1(XVREAD_D64_LK, XVREAD(d64, P64, 8, Z7LK_64, true, false))                                               \
    H1(XVREAD_T_LK, XVREAD(tm, PT, 4, Z7LK_TIME, true, false))                                                 \
    H1(XVWRITE_D8, XVWRITE(d8, P8, 1, false, false))                                                           \
    H1(XVWRITE_D16, XVWRITE(d16, P16, 2, false, false))                                                        \
    H1(XVWRITE_D32, XVWRITE(d32, P32, 4, false, false))                                                        \
    H1(XVWRITE_D64, XVWRITE(d64, P64, 8, false, false))                                                        \
    H1(XVWRITE_T, XVWRITE(tm, PT, 4, false, false))                                                            \
    H1(XVWRITE_D8_LK, XVWRITE(d8, P8, 1, true, false))                                                         \
    H1(XVWRITE_D16_LK, XVWRITE(d16, P16, 2, true, false))                                                      \
    H1(XVWRITE_D32_LK, XVWRITE(d32, P32, 4, true, false))                                                      \
    H1(XVWRITE_D64_LK, XVWRITE(d64, P64, 8, true, false))                                                      \
    H1(XVWRITE_T_LK, XVWRITE(tm, PT, 4, true, false))                                                          \
    H1(XVREADX_D8, XVREAD(d8, P8, 1, Z7LK_8, false, true))                                                     \
    H1(XVREADX_D16, XVREAD(d16, P16, 2, Z7LK_16, false, true))                                                 \
    H1(XVREADX_D32, XVREAD(d32, P32, 4, Z7LK_32, false, true))                                                 \
    H1(XVREADX_D64, XVREAD(d64, P64, 8, Z7LK_64, false, true))                                                 \
    H1(XVREADX_T, XVREAD(tm, PT, 4, Z7LK_TIME, false, true))                                                   \
    H1(XVREADX_D8_LK, XVREAD(d8, P8, 1, Z7LK_8, true, true))                                                   \
    H1(XVREADX_D16_LK, XVREAD(d16, P16, 2, Z7LK_16, true, true))                                               \
    H1(XVREADX_D32_LK, XVREAD(d32, P32, 4, Z7LK_32, true, true))                                               \
    H1(XVREADX_D64_LK, XVREAD(d64, P64, 8, Z7LK_64, true, true))                                               \
    H1(XVREADX_T_LK, XVREAD(tm, PT, 4, Z7LK_TIME, true, true))                                                 \
    H1(XVWRITEX_D8, XVWRITE(d8, P8, 1, false, true))                                                           \
    H1(XVWRITEX_D16, XVWRITE(d16, P16, 2, false, true))                                                        \
    H1(XVWRITEX_D32, XVWRITE(d32, P32, 4, false, true))                                                        \
    H1(XVWRITEX_D64, XVWRITE(d64, P64, 8, false, true))                                                        \
    H1(XVWRITEX_T, XVWRITE(tm, PT, 4, false, true))                                                            \
    H1(XVWRITEX_D8_LK, XVWRITE(d8, P8, 1, true, true))                                                         \
    H1(XVWRITEX_D16_LK, XVWRITE(d16, P16, 2, true, true))                                                      \
    H1(XVWRITEX_D32_LK, XVWRITE(d32, P32, 4, true, true))                                                      \
    H1(XVWRITEX_D64_LK, XVWRITE(d64, P64, 8, true, true))                                                      \
    H1(XVWRITEX_T_LK, XVWRITE(tm, PT, 4, true, true))

// ---- fast tier ----------------------------------------------------------------------------------
// The operations of Z7_JUMP_OPS and Z7_DATA_OPS run here with the instruction
// pointer, the code bounds and the section views in locals of a small
// function, where they stay in registers. An instruction this tier does not
// run, or one that would fault, log or use the CT register, is left to the
// full interpreter untouched: the tier returns its address and the full
// interpreter runs it. The proven tier (kProved) runs code whose proof (below)
// already holds every check of operand words, static indices, jump targets
// and opcodes, and skips them; what depends on data (element indices, XV
// pointers, divisors, locks) is still tested.
struct TicFastView {
    Sec d8, d16, d32, d64, tm, lk, xv;
    const uint8_t *status;
    // the 32-bit mask calls run here: the sections have the layout that the
    // standard library's own mask path takes (whole 4-byte DINTs, 1-byte
    // lock flags, both fully in view)
    bool masks;
};

template <bool kProved>
const uint8_t *TicFast(const TicFastView &view, const Code &code, const uint8_t *pc, uint32_t &budget) {
    const TicFastView v = view;
    const Code c = code;
    const uint8_t *const cend = c.p + 2 * size_t(c.words);
    uint32_t left = budget;
    uint16_t op = 0;

#define W(k) Ld<uint16_t>(pc + 2 * (k))
#define IP (uint32_t((pc - c.p) >> 1))
#define HAVE(n_) \
    if (!kProved && size_t(cend - pc) < 2u * (n_)) goto leave
#define CHECK_LEN HAVE(1u + kOps.n[op])
#define DISPATCH()                               \
    do {                                         \
        if (!kProved && pc >= cend) goto leave;  \
        op = W(0);                               \
        if (!kProved && op > kMaxOp) goto leave; \
        goto *tbl[op];                           \
    } while (0)
#define NEXT_N(n_)              \
    do {                        \
        pc += 2 * size_t((n_)); \
        DISPATCH();             \
    } while (0)
#define NEXT NEXT_N(1u + kOps.n[op])
#define FAULT(code_, arg_) goto leave
#define NEED(sec, i) \
    if (!kProved && (i) >= v.sec.n) goto leave
// the last backward jump of the budget faults: the full interpreter takes it
#define BACKJUMP()                     \
    do {                               \
        if (left != 0) {               \
            if (left == 1) goto leave; \
            --left;                    \
        }                              \
    } while (0)
#define DIV_ZERO(logc_, b_) goto leave
#define CT_CONST(T, val_, keepreg) goto leave
// Label lists as macros, laid out by hand.
// clang-format off
#define TIC_FAST_H1(a, ...) F_##a: __VA_ARGS__
#define TIC_FAST_H2(a, b, ...) F_##a: F_##b: __VA_ARGS__
#define TIC_FAST_H3(a, b, c3, ...) F_##a: F_##b: F_##c3: __VA_ARGS__
    // clang-format on
    static struct {
        void *label[kMaxOp + 1];
        bool ready;
    } table;
    if (!table.ready) {
        for (auto &t : table.label) t = &&leave;
#define TIC_FAST_T1(a, ...) table.label[Z7OP_##a] = &&F_##a;
#define TIC_FAST_T2(a, b, ...) TIC_FAST_T1(a) TIC_FAST_T1(b)
#define TIC_FAST_T3(a, b, c3, ...) TIC_FAST_T1(a) TIC_FAST_T1(b) TIC_FAST_T1(c3)
        Z7_JUMP_OPS(TIC_FAST_T1, TIC_FAST_T2, TIC_FAST_T3)
        Z7_DATA_OPS(TIC_FAST_T1, TIC_FAST_T2, TIC_FAST_T3)
        table.label[Z7OP_CALLSTF] = &&F_CALLSTF;
        table.ready = true;
    }
    void *const *const tbl = table.label;
    DISPATCH();
    Z7_JUMP_OPS(TIC_FAST_H1, TIC_FAST_H2, TIC_FAST_H3)
    Z7_DATA_OPS(TIC_FAST_H1, TIC_FAST_H2, TIC_FAST_H3)
    // 285 with a 32-bit mask, shift or rotation (fn, N, result, a[, b]);
    // every other function is called by the full interpreter
F_CALLSTF : {
    const uint32_t fn = W(1), n = W(2), k = z7stf::Mask32Operands(fn);
    if (!v.masks || !z7stf::IsMask32(fn) || n < k || IP + 3 + n > c.words) goto leave;
    const uint32_t r = W(3), a = W(4), b = k == 3 ? W(5) : 0;
    if (r >= v.d32.n || a >= v.d32.n || b >= v.d32.n) goto leave;
    const bool logical = (Ld<uint32_t>(v.status + ST_OPTIONS) & 0x200) != 0;
    const uint32_t value = z7stf::Mask32Value(fn, Ld<uint32_t>(P32(a)), Ld<uint32_t>(P32(b)), logical);
    if (!Locked(v, r, Z7LK_32)) St<uint32_t>(P32(r), value);
    NEXT_N(3 + n);
}
leave:
    budget = left;
    return pc;
#undef W
#undef IP
#undef HAVE
#undef CHECK_LEN
#undef DISPATCH
#undef NEXT_N
#undef NEXT
#undef FAULT
#undef NEED
#undef BACKJUMP
#undef DIV_ZERO
#undef CT_CONST
}

// ---- proofs -------------------------------------------------------------------------------------
// A program's proof marks the instructions that the proven tier may run: a
// fast-tier operation at an instruction boundary whose operand words lie in
// the code, whose static indices lie in their sections, and whose successor
// and jump targets are again marked or hold another opcode of the table (the
// tier leaves there). The mask call keeps its own checks. A proof is made on
// the program's first run with a set of views and holds while the views, the
// program's code and the arena's blocks stay as they were (code is not
// rewritten in place once loaded; a new image takes a new block).
constexpr uint32_t kProofPrograms = 64;
constexpr uint32_t kProofBits = 1u << 18;  // instruction marks of all proofs
struct TicProof {
    const uint8_t *code;
    uint32_t words, at;  // at: first mark bit
    bool ok;
};
struct TicProofs {
    uint64_t marks[kProofBits / 64];
    TicProof prog[kProofPrograms];
    uint32_t used, views, frees;
};
TicProofs tic_proofs;
uint32_t tic_views_made = 0;  // views taken so far (a proof names the views it was made with)

inline bool TicMarked(const TicProof &p, uint32_t i) {
    const uint32_t bit = p.at + i;
    return (tic_proofs.marks[bit >> 6] >> (bit & 63)) & 1;
}
void TicProve(TicProof &p, const Code &c, const TicFastView &v);

// Proof of program k's code c for a run with these views, made when missing
// or stale; null when there is none.
const TicProof *TicProofOf(uint32_t k, const Code &c, const TicFastView &v) {
    TicProofs &t = tic_proofs;
    if (k == 0 || k >= kProofPrograms || c.p == nullptr) return nullptr;
    if (t.views != tic_views_made || t.frees != Z7Mem_Frees()) {
        for (TicProof &p : t.prog) p = TicProof{};
        t.used = 0;
        t.views = tic_views_made;
        t.frees = Z7Mem_Frees();
    }
    TicProof &p = t.prog[k];
    if (p.code != c.p || p.words != c.words) TicProve(p, c, v);
    return p.ok ? &p : nullptr;
}

// The 32-bit and lock sections have the layout that the standard library's
// mask path takes (see TicFastView::masks).
bool MasksInView(const uint8_t *table, const Vm &v) {
    const uint8_t *d = table + Z7SEC_D32 * Z7_DESC_SIZE, *l = table + Z7SEC_LOCK * Z7_DESC_SIZE;
    return Ld<uint16_t>(d + SD_ELEM) == 4 && v.d32.n == Ld<uint16_t>(d + SD_ALLOC) &&
           (Ld<uint32_t>(l + SD_ADDR) == 0 || (Ld<uint16_t>(l + SD_ELEM) == 1 && v.lk.n == Ld<uint16_t>(l + SD_ALLOC)));
}

}  // namespace

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
        tic_views_made++;
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
    uint32_t start = 0;             // word index where the run starts
    const uint8_t *pc = nullptr;    // the current instruction
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
        if (depth > 0)
            cur = Ld<uint16_t>(v.cs.p + 4 * depth);
        else if (v.cs_size > 0)
            put_frame(0, uint16_t(program), 0);
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
    bool refused = false;  // a block or custom function refused its argument types

#define W(k) Ld<uint16_t>(pc + 2 * (k))
#define IP (uint32_t((pc - c.p) >> 1))
#define CEND cend
// operand words present: n_ words including the opcode
#define HAVE(n_) \
    if (size_t(CEND - pc) < 2u * (n_)) goto bad_op
#define CHECK_LEN HAVE(1u + kOps.n[op])
#define DISPATCH()                    \
    do {                              \
        if (pc >= CEND) goto off_end; \
        op = W(0);                    \
        if (op > kMaxOp) goto bad_op; \
        goto *tbl[op];                \
    } while (0)
#define NEXT_N(n_)              \
    do {                        \
        pc += 2 * size_t((n_)); \
        DISPATCH();             \
    } while (0)
#define NEXT                               \
    do {                                   \
        pc += 2 * size_t(1u + kOps.n[op]); \
        DISPATCH();                        \
    } while (0)
#define FAULT(code_, arg_)    \
    do {                      \
        fault_code = (code_); \
        fault_arg = (arg_);   \
        goto fatal;           \
    } while (0)
#define NEED(sec, i) \
    if ((i) >= v.sec.n) FAULT(LOG_UNDEF, (i))
#define LOGPOS (cur + 65536u * (2u * (IP + 1u)))
#define BACKJUMP() \
    if (left != 0 && --left == 0) FAULT(LOG_UNDEF, op)
#define DIV_ZERO(logc_, b_) Z7VMLog_Push(db, (logc_), uint16_t(b_), LOGPOS)
#define CT_CONST(T, val_, keepreg)               \
    if (ctreg != kNone) {                        \
        uint8_t *ci = CtAt(v, ctreg, sizeof(T)); \
        if (ci == nullptr) FAULT(LOG_BOUNDS, 0); \
        St<T>(ci, val_);                         \
        if (!(keepreg)) ctreg = kNone;           \
    }
    constexpr bool kProved = false;  // every check is made here
// Label lists as macros, laid out by hand.
// clang-format off
#define TIC_FULL_H1(a, ...) L_##a: __VA_ARGS__
#define TIC_FULL_H2(a, b, ...) L_##a: L_##b: __VA_ARGS__
#define TIC_FULL_H3(a, b, c3, ...) L_##a: L_##b: L_##c3: __VA_ARGS__
    // clang-format on

#define STEPP(i) (v.step.p + 12 * (i))
#define TRANSP(i) (v.trans.p + 4 * (i))
#define PROGP(i) (v.prog.p + PG_SIZE * (i))

    // threaded dispatch: every handler jumps to the next through this table;
    // the operations of the fast tier go to it, and what it leaves comes back
    // through the table of the full handlers
    if (!tic_dispatch.ready) {
        for (auto &t : tic_dispatch.full) t = &&L_undef;
#define Z7_OP_LABEL(op, words, name) tic_dispatch.full[op] = &&L_##name;
        Z7_OPCODES(Z7_OP_LABEL)
#undef Z7_OP_LABEL
        std::copy(std::begin(tic_dispatch.full), std::end(tic_dispatch.full), tic_dispatch.label);
#define TIC_TO_FAST1(a, ...) tic_dispatch.label[Z7OP_##a] = &&L_fast;
#define TIC_TO_FAST2(a, b, ...) TIC_TO_FAST1(a) TIC_TO_FAST1(b)
#define TIC_TO_FAST3(a, b, c3, ...) TIC_TO_FAST1(a) TIC_TO_FAST1(b) TIC_TO_FAST1(c3)
        Z7_JUMP_OPS(TIC_TO_FAST1, TIC_TO_FAST2, TIC_TO_FAST3)
        Z7_DATA_OPS(TIC_TO_FAST1, TIC_TO_FAST2, TIC_TO_FAST3)
#undef TIC_TO_FAST1
#undef TIC_TO_FAST2
#undef TIC_TO_FAST3
        tic_dispatch.label[Z7OP_CALLSTF] = &&L_stf;
        tic_dispatch.ready = true;
    }
    void *const *const tbl = tic_dispatch.label;
    const TicFastView fast_view{v.d8, v.d16, v.d32, v.d64, v.tm, v.lk, v.xv, v.status, MasksInView(table, v)};
    DISPATCH();

    // a mask call goes to the fast tier; it leaves what it does not run to the
    // full handler
L_stf:
    if (fast_view.masks && size_t(CEND - pc) >= 4 && z7stf::IsMask32(W(1))) goto L_fast;
    goto L_CALLSTF;
L_fast:
    if (const TicProof *proof = TicProofOf(cur, c, fast_view); proof && TicMarked(*proof, IP))
        pc = TicFast<true>(fast_view, c, pc, left);
    else
        pc = TicFast<false>(fast_view, c, pc, left);
    if (pc >= CEND) goto off_end;
    op = W(0);
    if (op > kMaxOp) goto bad_op;
    goto *tic_dispatch.full[op];

    // ---- data operations and plain jumps (also run by the fast tier) ----
    Z7_JUMP_OPS(TIC_FULL_H1, TIC_FULL_H2, TIC_FULL_H3)
    Z7_DATA_OPS(TIC_FULL_H1, TIC_FULL_H2, TIC_FULL_H3)
// ---- control flow ----
L_JMPTAB:
    CHECK_LEN;
    {
        const uint32_t k = W(1), n = W(2);
        NEED(d32, k);
        if (IP + 3 + n > c.words) FAULT(LOG_UNDEF, op);
        const uint32_t sel = Ld<uint32_t>(P32(k)) & 0xFFFF;
        if (sel < n) JUMP_ABS(W(3 + sel));
        pc += 2 * size_t(3 + n);
        DISPATCH();
    }
L_END:
L_RET:
    CHECK_LEN;
    {
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
L_CALLPRG:
    CHECK_LEN;
    {
        const uint32_t target = W(1);
        // the command buffer has no program to return to: its call would come
        // back to program 0, which has no code, so it only ends the buffer
        if (program == 0) FAULT(LOG_UNDEF, op);
        // 38 already at depth size - 1, not at size: the new frame goes to depth + 1, inside the slice
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
L_HOLD:
    CHECK_LEN;
    if (cur < v.prog.n && cur > 0) St<uint32_t>(PROGP(cur) + PG_HELD, IP);
    NEXT;
L_WAIT:
    CHECK_LEN;
    {
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
L_CYCDIV:
    CHECK_LEN;
    {
        const uint32_t n = W(1), phase = W(2);
        if (n < 2 || depth != 0 || cur == 0 || cur >= v.prog.n) NEXT;
        uint8_t *e = PROGP(cur);
        const uint16_t cnt = Ld<uint16_t>(e + PG_DIV);
        St<uint16_t>(e + PG_DIV, uint16_t((cnt + 1u) % n));
        if (cnt != phase) return 1;
        NEXT;
    }
L_REPEAT:
    CHECK_LEN;
    anchor = IP + 1;
    anchor_prog = cur;
    repeat = 1000000;
    NEXT;
L_REPEATEND:
    CHECK_LEN;
    {
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
L_BREAK:
    CHECK_LEN;
    {
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
L_SETBRK:
    CHECK_LEN;
    Z7VMPrg_SetBreakpoint(db, W(1), W(2), W(3));
    NEXT;
L_PAUSE:
    CHECK_LEN;
    SetFlags(v, uint16_t(Flags(v) & ~(Z7F_RUN | Z7F_STEP)));
    NEXT;
L_RUN:
    CHECK_LEN;
    SetFlags(v, uint16_t((Flags(v) | Z7F_RUN) & ~(Z7F_STOPPED | Z7F_STEP)));
    NEXT;
L_ONECYCLE:
    CHECK_LEN;
    SetFlags(v, uint16_t((Flags(v) | Z7F_ONECYCLE) & ~Z7F_STEP));
    NEXT;
L_STEPMODE:
    CHECK_LEN;
    if (!(Flags(v) & Z7F_RUN)) SetFlags(v, uint16_t(Flags(v) | Z7F_ONECYCLE | Z7F_STEP));
    NEXT;
L_SETPERIOD:
    CHECK_LEN;
    St<uint32_t>(v.status + ST_PERIOD, W32(1));
    NEXT;
// ---- locks ----
L_LOCK_D8:
L_LOCK_D8_2:
    LOCKOP(d8, Z7LK_8, true);
L_UNLOCK_D8:
L_UNLOCK_D8_2:
    LOCKOP(d8, Z7LK_8, false);
L_LOCK_D16:
    LOCKOP(d16, Z7LK_16, true);
L_UNLOCK_D16:
    LOCKOP(d16, Z7LK_16, false);
L_LOCK_D32:
    LOCKOP(d32, Z7LK_32, true);
L_UNLOCK_D32:
    LOCKOP(d32, Z7LK_32, false);
L_LOCK_D64:
    LOCKOP(d64, Z7LK_64, true);
L_UNLOCK_D64:
    LOCKOP(d64, Z7LK_64, false);
L_LOCK_T:
    LOCKOP(tm, Z7LK_TIME, true);
L_UNLOCK_T:
    LOCKOP(tm, Z7LK_TIME, false);
L_LOCK_S:
    LOCKOP(sp, Z7LK_STR, true);
L_UNLOCK_S:
    LOCKOP(sp, Z7LK_STR, false);
L_LOCK_XV:
L_UNLOCK_XV:
    CHECK_LEN;
    {
        const uint32_t x = W(1);
        NEED(xv, x);
        if (x < v.lk.n) v.lk.p[x] = uint8_t(op == Z7OP_LOCK_XV ? (v.lk.p[x] | Z7LK_EXT) : (v.lk.p[x] & ~Z7LK_EXT));
        NEXT;
    }
L_UNLOCKALL:
    CHECK_LEN;
    Z7VMTic_UnlockAllVars(db);
    NEXT;

// ---- arithmetic ----

// ---- comparisons ----
L_GT_S:
    SCMP(false, r_ > 0)
L_GT_S_LK:
    SCMP(true, r_ > 0)
L_GE_S:
    SCMP(false, r_ >= 0)
L_GE_S_LK:
    SCMP(true, r_ >= 0)
L_EQ_S:
    SCMP(false, r_ == 0)
L_EQ_S_LK:
    SCMP(true, r_ == 0)
L_NE_S:
    SCMP(false, r_ != 0)
L_NE_S_LK:
    SCMP(true, r_ != 0)
// ---- logic, bit tests, masks ----
// ---- moves and elements ----
L_MOVE_S:
L_MOVE_S_LK:
    CHECK_LEN;
    {
        const uint32_t d = W(1), a = W(2);
        NEED(sp, d);
        NEED(sp, a);
        if (op == Z7OP_MOVE_S || !Locked(v, d, Z7LK_STR)) Z7VMStr_Copy(db, d, a);
        NEXT;
    }
L_LDEL_S:
L_LDEL_S_LK:
    CHECK_LEN;
    {
        const uint32_t d = W(1), base = W(2), k = W(3);
        NEED(sp, d);
        NEED(d32, k);
        const uint32_t e = (base + Ld<uint32_t>(P32(k))) & 0xFFFF;
        if (e >= v.sp.n) FAULT(LOG_BOUNDS, k);
        if (op == Z7OP_LDEL_S || !Locked(v, d, Z7LK_STR)) Z7VMStr_Copy(db, d, e);
        NEXT;
    }
L_STEL_S:
L_STEL_S_LK:
    CHECK_LEN;
    {
        const uint32_t base = W(1), k = W(2), s = W(3);
        NEED(sp, s);
        NEED(d32, k);
        const uint32_t e = (base + Ld<uint32_t>(P32(k))) & 0xFFFF;
        if (e >= v.sp.n) FAULT(LOG_BOUNDS, k);
        if (op == Z7OP_STEL_S || !Locked(v, e, Z7LK_STR)) Z7VMStr_Copy(db, e, s);
        NEXT;
    }
// ---- constants ----
L_CONST_S:
L_CONST_S_LK:
    CHECK_LEN;
    {
        const uint32_t d = W(1), n = W(2);
        if (IP + 3 + n > c.words) FAULT(LOG_UNDEF, op);
        NEED(sp, d);
        const uint32_t literal = c.addr + 2 * (IP + 2);
        if (op == Z7OP_CONST_S || !Locked(v, d, Z7LK_STR)) {
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
L_RTRIG:
L_RTRIG_LK:
L_FTRIG:
L_FTRIG_LK:
    CHECK_LEN;
    {
        const uint32_t d = W(1), in = W(2), m = W(3);
        NEED(d8, d);
        NEED(d8, in);
        NEED(d8, m);
        const uint8_t x = *P8(in), mem = *P8(m);
        const bool first = (Ld<uint32_t>(v.status + ST_OPTIONS) & Z7O_CHANGED) != 0;
        const bool edge = !first && ((op == Z7OP_RTRIG || op == Z7OP_RTRIG_LK) ? (x && !mem) : (!x && mem));
        if ((op == Z7OP_RTRIG || op == Z7OP_FTRIG) || !Locked(v, d, Z7LK_8)) *P8(d) = edge ? 1 : 0;
        *P8(m) = x;
        NEXT;
    }
L_CONV:
L_CONV_LK:
    CHECK_LEN;
    {
        const uint32_t d = W(1), dt = W(3);
        const uint8_t bit = ConvLockBit(dt);
        if (op == Z7OP_CONV || bit == 0 || !Locked(v, d, bit)) Z7VMCnv_Convert(db, c.addr + 2 * (IP + 1));
        NEXT;
    }
// ---- external variables ----
L_XVREAD_S:
    XVSTR(true, false, false)
L_XVREAD_S_LK:
    XVSTR(true, true, false)
L_XVWRITE_S:
    XVSTR(false, false, false)
L_XVWRITE_S_LK:
    XVSTR(false, true, false)
L_XVREADX_S:
    XVSTR(true, false, true)
L_XVREADX_S_LK:
    XVSTR(true, true, true)
L_XVWRITEX_S:
    XVSTR(false, false, true)
L_XVWRITEX_S_LK:
    XVSTR(false, true, true)
L_XVCONST_D8:
L_XVCONST_D16:
L_XVCONST_D32:
L_XVCONST_D32_2:
L_XVCONST_D64:
    CHECK_LEN;
    {
        const uint32_t x = W(1);
        const uint32_t width = op == Z7OP_XVCONST_D8 ? 1 : op == Z7OP_XVCONST_D16 ? 2 : op == Z7OP_XVCONST_D64 ? 8 : 4;
        XVPTR(x, width, false, xp);
        const uint64_t val = op == Z7OP_XVCONST_D8    ? (W(2) & 0xFF)
                             : op == Z7OP_XVCONST_D16 ? W(2)
                             : op == Z7OP_XVCONST_D64 ? W64(2)
                                                      : W32(2);
        PutBytes(xp, val, width);
        NEXT;
    }
L_XVCONST_S:
    CHECK_LEN;
    {
        const uint32_t x = W(1), n = W(2);
        if (IP + 3 + n > c.words) FAULT(LOG_UNDEF, op);
        XVPTR(x, 3, false, xp);
        (void)xp;
        Z7VMStr_DBForcePtr(Ld<uint32_t>(v.xv.p + 4 * x), c.addr + 2 * (IP + 2));
        pc += 2 * size_t(3 + n);
        DISPATCH();
    }
// ---- calls ----
L_CALLSTF:
    CHECK_LEN;
    {
        const uint32_t n = W(2);
        if (IP + 3 + n > c.words) FAULT(LOG_UNDEF, op);
        if (Z7VMStf_Execute(db, c.addr + 2 * (IP + 1)) == 0) {
            SetFlags(v, uint16_t((Flags(v) & 0xFFF0) | Z7F_STOPPED));
            return 0;
        }
        pc += 2 * size_t(3 + n);
        DISPATCH();
    }
L_CALLCF:
    CHECK_LEN;
    {
        const uint32_t cf = W(1), n = W(2);
        if (IP + 4 + n > c.words) FAULT(LOG_UNDEF, op);
        if (cf == 0) FAULT(LOG_UNDEF, cf);
        NEED(cfn, cf);
        Z7Fbl_Call(Ld<uint32_t>(v.cfn.p + 24 * cf + 16), FB_EXEC, db, 0, 0, c.addr + 2 * (IP + 3));
        pc += 2 * size_t(4 + n);
        DISPATCH();
    }
L_CALLFB:
L_CALLFBCT:
    CHECK_LEN;
    {
        uint32_t k = W(1);
        const uint32_t n = W(2);
        if (IP + 3 + n > c.words) FAULT(LOG_UNDEF, op);
        if (op == Z7OP_CALLFBCT) {
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
        Z7Fbl_Call(Ld<uint32_t>(e + 4), FB_EXEC, db, Ld<uint32_t>(e + 8), Ld<uint32_t>(e + 12), c.addr + 2 * (IP + 3));
        pc += 2 * size_t(3 + n);
        DISPATCH();
    }
L_CHKCF:
L_CHKFBCT:
    CHECK_LEN;
    {
        uint32_t h = Z7H_NONE, cls = 0, in = 0;
        const uint32_t k = W(1);
        if (op == Z7OP_CHKCF) {
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
            Z7Part_Trace(op == Z7OP_CHKCF ? "Argument type not supported by function"
                                          : "Argument type not supported by function block");
            refused = true;  // fatal even from the command buffer
            FAULT(LOG_UNDEF, 0);
        }
        NEXT;
    }
L_ANYPARAM:
    CHECK_LEN;
    {
        const uint32_t d = W(1), type = W(2), base = W(3), k = W(4);
        NEED(d32, d);
        NEED(d32, k);
        const uint32_t addr = Z7Tools_GetAnyParam(db, type, (base + Ld<uint32_t>(P32(k))) & 0xFFFF);
        // no such variable: stop with 32 as a failed index check does, rather than pass the block address 0
        if (addr == 0) FAULT(LOG_BOUNDS, k);
        St<uint32_t>(P32(d), addr);
        NEXT;
    }
L_CTADDR:
    CHECK_LEN;
    {
        const uint32_t d = W(1), k = W(2);
        NEED(d32, d);
        NEED(d32, k);
        St<uint32_t>(P32(d), v.ct.addr + Ld<uint32_t>(P32(k)));
        NEXT;
    }
// ---- SFC ----
L_STEP:
    CHECK_LEN;
    {
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
L_TRANS:
L_TRANS1:
    CHECK_LEN;
    {
        const uint32_t t = W(2);
        NEED(trans, t);
        const uint16_t pstate = cur < v.prog.n ? Ld<uint16_t>(PROGP(cur) + PG_STATE) : 0;
        uint16_t value = (pstate & 0x20) ? 0 : 1;
        uint32_t n = 1, first = 3;
        if (op == Z7OP_TRANS) {
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
L_TRANSVAL:
    CHECK_LEN;
    {
        const uint32_t t = W(1), b = W(2);
        NEED(trans, t);
        NEED(d8, b);
        St<uint16_t>(TRANSP(t), *P8(b));
        NEXT;
    }
L_TRANSCLR:
L_TRANSSET:
L_INITSTEPS:
    CHECK_LEN;
    {
        const uint32_t t = W(1), n = W(2);
        if (IP + 3 + n > c.words) FAULT(LOG_UNDEF, op);
        bool fire;
        if (op == Z7OP_INITSTEPS) {
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
                St<uint16_t>(STEPP(s) + 8, op == Z7OP_TRANSCLR ? 3 : 2);
            }
        if (op == Z7OP_TRANSSET && fire && Ld<uint16_t>(TRANSP(t) + 2) != 0) {
            SetFlags(v, uint16_t(Flags(v) & ~(Z7F_RUN | Z7F_STEP)));
            return 1;
        }
        pc += 2 * size_t(3 + n);
        DISPATCH();
    }
L_TRANSMOVE:
    CHECK_LEN;
    {
        const uint32_t t = W(1), a = W(2), b = W(3);
        NEED(trans, t);
        NEED(step, a);
        NEED(step, b);
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
L_INITSTEP:
    CHECK_LEN;
    {
        const uint32_t s = W(1);
        NEED(step, s);
        if (cur < v.prog.n && Ld<uint16_t>(PROGP(cur) + PG_STATE) == Z7P_CHILD) {
            St<uint16_t>(PROGP(cur) + PG_STATE, Z7P_ACTIVE);
            St<uint16_t>(STEPP(s) + 8, 2);
            St<uint32_t>(STEPP(s), 0);
        }
        NEXT;
    }
L_STEPSTATE:
    CHECK_LEN;
    {
        const uint32_t s = W(1), val = W(2);
        NEED(step, s);
        St<uint16_t>(STEPP(s) + 8, uint16_t(val));
        if (val == 1) {
            St<uint32_t>(STEPP(s), 0);
            St<uint32_t>(STEPP(s) + 4, v.now);
        }
        NEXT;
    }
L_STEPTIME:
    CHECK_LEN;
    {
        const uint32_t s = W(1), flag = W(2);
        NEED(step, s);
        if (flag)
            StepAdvance(STEPP(s), v.now);
        else
            St<uint32_t>(STEPP(s), 0);
        St<uint32_t>(STEPP(s) + 4, v.now);
        NEXT;
    }
L_TRANSBRK:
    CHECK_LEN;
    {
        const uint32_t t = W(1);
        NEED(trans, t);
        if (Ld<uint16_t>(TRANSP(t) + 2) != 0) {
            SetFlags(v, uint16_t(Flags(v) & ~(Z7F_RUN | Z7F_STEP)));
            return 1;
        }
        NEXT;
    }
L_TRANSJMP:
    CHECK_LEN;
    {
        const uint32_t t = W(1);
        NEED(trans, t);
        if (Ld<uint16_t>(TRANSP(t)) == 0) JUMP_ABS(W(2));
        NEXT;
    }
L_KILLJMP:
    CHECK_LEN;
    {
        const uint32_t k = W(1);
        NEED(d32, k);
        if (cur < v.prog.n && (Ld<uint16_t>(PROGP(cur) + PG_STATE) & 0x20)) {
            St<uint32_t>(P32(k), 0);
            JUMP_ABS(W(2));
        }
        NEXT;
    }
L_STEPACTIVE:
L_STEPELAPSED:
    CHECK_LEN;
    {
        const uint32_t d = W(1), s = W(2);
        NEED(step, s);
        uint8_t *sp = STEPP(s);
        if (op == Z7OP_STEPACTIVE) {
            NEED(d8, d);
            if (!Locked(v, d, Z7LK_8)) *P8(d) = Ld<uint16_t>(sp + 8) != 0 ? 1 : 0;
        } else {
            NEED(tm, d);
            if (!Locked(v, d, Z7LK_TIME)) {
                const uint32_t e = Ld<uint16_t>(sp + 8) == 1 ? StepAdvance(sp, v.now) : Ld<uint32_t>(sp);
                St<uint32_t>(PT(d), e);
            }
        }
        NEXT;
    }
L_SFCEND:
    CHECK_LEN;
    {
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
L_STEPBRK:
    CHECK_LEN;
    {
        const uint32_t s = W(1);
        if (s) NEED(step, s);
        Z7VMTic_SetSfcBreakS(db, s, W(2));
        NEXT;
    }
L_TRANSBRKSET:
    CHECK_LEN;
    {
        const uint32_t t = W(1);
        if (t) NEED(trans, t);
        Z7VMTic_SetSfcBreakT(db, t, W(2));
        NEXT;
    }
// ---- program control ----
L_PRGSTART:
L_PRGSUSPEND:
L_PRGKILL:
L_PRGRESUME:
    CHECK_LEN;
    {
        const uint32_t p = W(1);
        NEED(prog, p);
        uint8_t *e = PROGP(p);
        uint16_t s = Ld<uint16_t>(e + PG_STATE);
        const uint16_t kind = Ld<uint16_t>(e + PG_KIND);
        if (op == Z7OP_PRGSTART && s == 0)
            s = kind != 0 ? Z7P_CHILD : Z7P_ACTIVE;
        else if (op == Z7OP_PRGSUSPEND && s == 1)
            s = 3;
        else if (op == Z7OP_PRGKILL && (s & Z7P_ACTIVE)) {
            s = uint16_t(s & ~Z7P_SUSPENDED);
            s = kind == 0 ? 0 : uint16_t(s | 0x20);
        } else if (op == Z7OP_PRGRESUME && (s & 3) == 3)
            s = uint16_t(s & ~Z7P_SUSPENDED);
        St<uint16_t>(e + PG_STATE, s);
        NEXT;
    }
L_PRGSTATUS:
L_PRGSTATUS_2:
    CHECK_LEN;
    {
        const uint32_t d = W(1), p = W(2);
        NEED(d32, d);
        NEED(prog, p);
        const uint16_t s = Ld<uint16_t>(PROGP(p) + PG_STATE);
        St<int32_t>(P32(d), s == 1 ? 1 : (s & Z7P_SUSPENDED) ? 2 : 0);
        NEXT;
    }
L_STATEJMP:
    CHECK_LEN;
    {
        const uint16_t s = cur < v.prog.n ? Ld<uint16_t>(PROGP(cur) + PG_STATE) : 0;
        if (!(s & W(1))) JUMP_ABS(W(2));
        NEXT;
    }
L_SETSTATE:
    CHECK_LEN;
    if (cur > 0 && cur < v.prog.n) St<uint16_t>(PROGP(cur) + PG_STATE, W(1));
    NEXT;
// ---- timers ----
L_TSTART:
L_TSTART_2:
L_TSTOP:
L_TSTOP_2:
    CHECK_LEN;
    {
        const uint32_t t = W(1);
        NEED(tm, t);
        if (op == Z7OP_TSTART || op == Z7OP_TSTART_2)
            Z7VMTmr_StartTimer(db, v.tm.addr + 4 * t);
        else
            Z7VMTmr_StopTimer(db, v.tm.addr + 4 * t);
        NEXT;
    }
L_TSTARTCT:
L_TSTOPCT:
    CHECK_LEN;
    {
        const uint32_t k = W(1);
        NEED(d32, k);
        const uint32_t off = Ld<uint32_t>(P32(k));
        if (CtAt(v, off, 4) == nullptr) FAULT(LOG_BOUNDS, k);
        if (op == Z7OP_TSTARTCT)
            Z7VMTmr_StartTimer(db, v.ct.addr + off);
        else
            Z7VMTmr_StopTimer(db, v.ct.addr + off);
        NEXT;
    }
// ---- CT segment ----
L_SETCT:
    CHECK_LEN;
    ctreg = W32(1);
    NEXT;
L_CTGET:
L_CTGET_2:
L_CTSET:
L_CTSET_2:
    CHECK_LEN;
    {
        const uint32_t cls = W(1), var = W(2), k = W(3);
        NEED(d32, k);
        const CtClass cc = CtClassOf(cls);
        if (cc.width != 0 && var >= Z7Sec_Get(db, cc.sec, SD_ALLOC)) FAULT(LOG_UNDEF, var);
        const uint32_t ok = (op == Z7OP_CTGET || op == Z7OP_CTGET_2)
                                ? Z7VMTic_GetCTSegItem(db, cls, var, Ld<int32_t>(P32(k)))
                                : Z7VMTic_SetCTSegItem(db, cls, var, Ld<int32_t>(P32(k)));
        if (!ok) FAULT(LOG_BOUNDS, k);
        NEXT;
    }
L_CTCOPY:
    CHECK_LEN;
    {
        const uint32_t a = W(1), b = W(2), n = W(3);
        NEED(d32, a);
        NEED(d32, b);
        NEED(d32, n);
        if (!Z7VMTic_CTMemcpy(db, Ld<int32_t>(P32(a)), Ld<int32_t>(P32(b)), Ld<int32_t>(P32(n)))) FAULT(LOG_BOUNDS, a);
        NEXT;
    }
// ---- status information and sampling (registers only here) ----
L_VSISET:
    CHECK_LEN;
    Z7VMTic_VsiDate = W32(3);
    Z7VMTic_VsiTime = W32(5);
    Z7Map_SetVSIDate(db, W(1), W(2), Z7VMTic_VsiDate);
    Z7Map_SetVSITime(db, W(1), W(2), Z7VMTic_VsiTime);
    NEXT;
L_VSIRESET:
    CHECK_LEN;
    Z7Map_SetVSIDate(db, W(1), W(2), 0);
    Z7Map_SetVSITime(db, W(1), W(2), 0);
    Z7Map_ResetSetVSIBits(db, W(1), W(2));
    NEXT;
L_SMPCTL:
    CHECK_LEN;
    Z7VMBsmp_Ctl(db, W(1), W(2));
    NEXT;
L_SMPSET:
    CHECK_LEN;
    {
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
    if (program == 0 && fault_code == LOG_UNDEF && !refused) return 0;
    SetFlags(v, uint16_t((Flags(v) & 0xFFF0) | Z7F_STOPPED));
    return 0;
}

Z7VMTic_RunFn Z7VMTic_RunPtr = Z7VMTic_Run;
uint32_t Z7VMTic_JumpBudget = 0;

// ---- making a proof -----------------------------------------------------------------------------
namespace {

// Instruction words at word i (0: not an instruction that can be sized).
uint32_t TicLength(const uint8_t *code, uint32_t words, uint32_t i) {
    auto w = [&](uint32_t k) { return i + k < words ? uint32_t(Ld<uint16_t>(code + 2 * size_t(i + k))) : 0u; };
    const uint32_t op = w(0);
    if (op > kMaxOp || kOps.n[op] == 0xFF) return 0;
    switch (op) {
    case Z7OP_JMPTAB:
    case Z7OP_CONST_S:
    case Z7OP_CONST_S_LK:
    case Z7OP_XVCONST_S:
    case Z7OP_CALLSTF:
    case Z7OP_CALLFB:
    case Z7OP_CALLFBCT:
    case Z7OP_TRANSCLR:
    case Z7OP_TRANSSET:
    case Z7OP_INITSTEPS: return 3 + w(2);
    case Z7OP_CALLCF: return 4 + w(2);
    case Z7OP_TRANS: return 4 + w(3);
    case Z7OP_SFCEND: return 2 + w(1);
    case Z7OP_SMPSET: return 10 + w(9);
    default: return 1 + kOps.n[op];
    }
}

// The static operands of the fast-tier operation at word i lie in their
// sections. The data operations are checked by their shape: the handler
// macros are read here as the list of their index operands.
bool TicOperandsIn(const uint8_t *code, uint32_t i, const TicFastView &v) {
    auto w = [&](uint32_t k) { return uint32_t(Ld<uint16_t>(code + 2 * size_t(i + k))); };
#undef BIN
#undef UN
#undef CMP
#undef DIV
#undef MOVE
#undef LOADEL
#undef STOREEL
#undef CONST
#undef MASKOP
#undef XVREAD
#undef XVWRITE
#define BIN(SEC, ...) return w(1) < v.SEC.n && w(2) < v.SEC.n && w(3) < v.SEC.n;
#define DIV(SEC, ...) BIN(SEC)
#define UN(SEC, ...) return w(1) < v.SEC.n && w(2) < v.SEC.n;
#define MOVE(SEC, ...) UN(SEC)
#define CMP(SEC, ...) return w(1) < v.d8.n && w(2) < v.SEC.n && w(3) < v.SEC.n;
#define LOADEL(SEC, ...) return w(1) < v.SEC.n && w(2) < v.SEC.n && w(3) < v.d32.n;
#define STOREEL(SEC, ...) return w(1) < v.SEC.n && w(2) < v.d32.n && w(3) < v.SEC.n;
#define CONST(SEC, ...) return w(1) < v.SEC.n;
#define MASKOP(SEC, ...) return w(1) < v.SEC.n && w(2) < v.SEC.n && w(3) < v.d8.n;
#define XVREAD(SEC, PX, width, bit, twin, indexed) return w(2) < v.SEC.n && (!(indexed) || w(3) < v.d32.n);
#define XVWRITE(SEC, PX, width, twin, indexed) return w(2) < v.SEC.n && (!(indexed) || w(3) < v.d32.n);
// Label lists as macros, laid out by hand.
// clang-format off
#define TIC_PROOF_H1(a, ...) case Z7OP_##a: __VA_ARGS__
#define TIC_PROOF_H2(a, b, ...) case Z7OP_##a: case Z7OP_##b: __VA_ARGS__
#define TIC_PROOF_H3(a, b, c3, ...) case Z7OP_##a: case Z7OP_##b: case Z7OP_##c3: __VA_ARGS__
    // clang-format on
    switch (w(0)) {
        Z7_DATA_OPS(TIC_PROOF_H1, TIC_PROOF_H2, TIC_PROOF_H3)
    case Z7OP_JMPT:
    case Z7OP_JMPF:
    case Z7OP_JMPAT:
    case Z7OP_JMPAF: return w(1) < v.d8.n;
    case Z7OP_JMPAEQ: return w(2) < v.d32.n && w(3) < v.d32.n;
    case Z7OP_IDXCHK: return w(1) < v.d32.n;
    case Z7OP_JMP:
    case Z7OP_JMPA:
    case Z7OP_NOP:
    case Z7OP_NOP_2:
    case Z7OP_SKIP1:
    case Z7OP_CALLSTF: return true;
    default: return false;
    }
}

// Jump target (word) of the jump at word i; -1: none, -2: outside the code.
int64_t TicTarget(const uint8_t *code, uint32_t words, uint32_t i) {
    auto w = [&](uint32_t k) { return uint32_t(Ld<uint16_t>(code + 2 * size_t(i + k))); };
    int64_t bytes;
    switch (w(0)) {
    case Z7OP_JMP: bytes = int64_t(2) * (i + 2) + int16_t(w(1)); break;
    case Z7OP_JMPT:
    case Z7OP_JMPF: bytes = int64_t(2) * (i + 3) + int16_t(w(2)); break;
    case Z7OP_JMPA:
    case Z7OP_JMPAEQ: bytes = w(1); break;
    case Z7OP_JMPAT:
    case Z7OP_JMPAF: bytes = w(2); break;
    default: return -1;
    }
    if (bytes < 0 || (bytes & 1) || bytes / 2 >= words) return -2;
    return bytes / 2;
}

void TicProve(TicProof &p, const Code &c, const TicFastView &v) {
    TicProofs &t = tic_proofs;
    p = TicProof{c.p, c.words, t.used, false};
    if (c.words > kProofBits - t.used) return;  // no room: the program runs checked
    t.used += c.words;
    auto set = [&](uint32_t i, bool on) {
        const uint32_t bit = p.at + i;
        if (on)
            t.marks[bit >> 6] |= uint64_t(1) << (bit & 63);
        else
            t.marks[bit >> 6] &= ~(uint64_t(1) << (bit & 63));
    };
    for (uint32_t i = 0; i < c.words; i++) set(i, false);
    auto fast = [](uint32_t op) {
        switch (op) {
#define TIC_FASTOP1(a, ...) case Z7OP_##a:
#define TIC_FASTOP2(a, b, ...) \
    case Z7OP_##a:             \
    case Z7OP_##b:
#define TIC_FASTOP3(a, b, c3, ...) \
    case Z7OP_##a:                 \
    case Z7OP_##b:                 \
    case Z7OP_##c3:
            Z7_JUMP_OPS(TIC_FASTOP1, TIC_FASTOP2, TIC_FASTOP3)
            Z7_DATA_OPS(TIC_FASTOP1, TIC_FASTOP2, TIC_FASTOP3)
        case Z7OP_CALLSTF: return true;
        default: return false;
        }
    };
    // instruction boundaries from the start; marks on the fast operations
    // whose operands are in
    for (uint32_t i = 0; i < c.words;) {
        const uint32_t n = TicLength(c.p, c.words, i);
        if (n == 0 || n > c.words - i) break;
        const uint32_t op = Ld<uint16_t>(c.p + 2 * size_t(i));
        if (fast(op) && TicOperandsIn(c.p, i, v)) set(i, true);
        i += n;
    }
    // a mark stays where every way on lands on a mark or on another opcode
    auto lands = [&](int64_t to) {
        if (to < 0 || to >= int64_t(c.words)) return false;
        const uint32_t op = Ld<uint16_t>(c.p + 2 * size_t(to));
        return op <= kMaxOp && (!fast(op) || TicMarked(p, uint32_t(to)));
    };
    for (bool changed = true; changed;) {
        changed = false;
        for (uint32_t i = 0; i < c.words; i++) {
            if (!TicMarked(p, i)) continue;
            const uint32_t op = Ld<uint16_t>(c.p + 2 * size_t(i));
            const int64_t target = TicTarget(c.p, c.words, i);
            const bool always = op == Z7OP_JMP || op == Z7OP_JMPA;
            const bool ok =
                (always || lands(int64_t(i) + TicLength(c.p, c.words, i))) && (target == -1 || lands(target));
            if (!ok) {
                set(i, false);
                changed = true;
            }
        }
    }
    p.ok = true;
}

}  // namespace
