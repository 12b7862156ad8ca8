// Contacts, coils, power-stack logic, screen instructions and the alarm list.
#include "ladder/ladint.h"

uint16_t alarm_status = 0x01FF;

namespace {

inline uint8_t Not(uint8_t v) { return v ? 0 : 1; }

// 32: NOT of the top.
int Op_Not() {
    if (lad.lsp < 1) return LAD_FAULT;
    l_stack[lad.lsp - 1] = Not(l_stack[lad.lsp - 1]);
    return LAD_GO;
}
int Op_SetTop() {  // 33
    if (lad.lsp < 1) return LAD_FAULT;
    l_stack[lad.lsp - 1] = 0xFF;
    return LAD_GO;
}
int Op_ClearTop() {  // 34
    if (lad.lsp < 1) return LAD_FAULT;
    l_stack[lad.lsp - 1] = 0;
    return LAD_GO;
}
int Op_Or() {  // 35
    if (lad.lsp < 2) return LAD_FAULT;
    if (l_stack[--lad.lsp]) l_stack[lad.lsp - 1] = 0xFF;
    return LAD_GO;
}
int Op_And() {  // 36
    if (lad.lsp < 2) return LAD_FAULT;
    if (!l_stack[--lad.lsp]) l_stack[lad.lsp - 1] = 0;
    return LAD_GO;
}
int Op_Pop() {  // 55
    if (lad.lsp < 1) return LAD_FAULT;
    lad.lsp--;
    return LAD_GO;
}
int Op_RePush() {  // 56
    if (lad.lsp >= LSTACK_SIZE) return LAD_FAULT;
    lad.lsp++;
    return LAD_GO;
}
int Op_AndNot() {  // 60
    if (lad.lsp < 2) return LAD_FAULT;
    const uint8_t a = l_stack[--lad.lsp];
    l_stack[lad.lsp] = Not(a);
    if (a) l_stack[lad.lsp - 1] = 0;
    return LAD_GO;
}
int Op_OrNot() {  // 61
    if (lad.lsp < 2) return LAD_FAULT;
    const uint8_t a = l_stack[--lad.lsp];
    l_stack[lad.lsp] = Not(a);
    if (!a) l_stack[lad.lsp - 1] = 1;
    return LAD_GO;
}
int Op_Nand() {  // 62
    if (lad.lsp < 2) return LAD_FAULT;
    const uint8_t a = l_stack[--lad.lsp];
    uint8_t &top = l_stack[lad.lsp - 1];
    if (!a) top = 0;
    top = Not(top);
    return LAD_GO;
}
int Op_Nor() {  // 63
    if (lad.lsp < 2) return LAD_FAULT;
    const uint8_t a = l_stack[--lad.lsp];
    uint8_t &top = l_stack[lad.lsp - 1];
    if (a) top = 1;
    top = Not(top);
    return LAD_GO;
}
// 64: c := c OR (a AND b); the slot of b keeps a AND b.
int Op_BranchOr() {
    if (lad.lsp < 3) return LAD_FAULT;
    const uint8_t a = l_stack[--lad.lsp];
    const uint8_t b = l_stack[--lad.lsp];
    const uint8_t ab = (a && b) ? 1 : 0;
    l_stack[lad.lsp] = ab;
    if (ab) l_stack[lad.lsp - 1] = 1;
    return LAD_GO;
}
// 65: c := c AND (a OR b); the slot of b keeps a OR b.
int Op_BranchAnd() {
    if (lad.lsp < 3) return LAD_FAULT;
    const uint8_t a = l_stack[--lad.lsp];
    const uint8_t b = l_stack[--lad.lsp];
    const uint8_t ab = (a || b) ? 1 : 0;
    l_stack[lad.lsp] = ab;
    if (!ab) l_stack[lad.lsp - 1] = 0;
    return LAD_GO;
}

template <bool S>
int Op_Contact() {  // 31
    if (lad.lsp >= LSTACK_SIZE) return LAD_FAULT;
    const uint32_t b = LadBitOp<S>(lad.cur);
    l_stack[lad.lsp++] = (b != LAD_NOREF && LadGetBit(b)) ? 0xFF : 0;
    return LAD_GO;
}

// Coils: pop the power, then write the bit (a refused operand writes nothing).
template <bool S, int KIND>
int Op_Coil() {
    if (lad.lsp < 1) return LAD_FAULT;
    const bool p = l_stack[--lad.lsp] != 0;
    const uint32_t b = LadBitOp<S>(lad.cur);
    if (b == LAD_NOREF || LadCut()) return LAD_GO;
    switch (KIND) {
    case LOP_COIL: LadSetBit(b, p); break;
    case LOP_COIL_SET:
        if (p) LadSetBit(b, true);
        break;
    case LOP_COIL_RESET:
        if (p) LadSetBit(b, false);
        break;
    case LOP_COIL_NOT: LadSetBit(b, !p); break;
    case LOP_COIL_POS:  // positive transition
        if (p) {
            LadSetBit(b, !LadGetOldBit(b));
            LadSetOldBit(b, true);
        } else {
            LadSetBit(b, false);
            LadSetOldBit(b, false);
        }
        break;
    case LOP_COIL_NEG:  // negative transition
        if (p) {
            LadSetBit(b, false);
            LadSetOldBit(b, true);
        } else {
            LadSetBit(b, LadGetOldBit(b));
            LadSetOldBit(b, false);
        }
        break;
    default: break;
    }
    return LAD_GO;
}

// 39: forced-screen coil.
int Op_ForceScreen() {
    if (lad.lsp < 1) return LAD_FAULT;
    const uint16_t s = LadWord(lad.cur);
    if (l_stack[--lad.lsp] && !LadCut()) lad.forced_screen = s;
    return LAD_GO;
}
// 40: screen contact.
int Op_ScreenContact() {
    if (lad.lsp >= LSTACK_SIZE) return LAD_FAULT;
    const uint16_t s = LadWord(lad.cur);
    bool on;
    if (PlcWord(130) != 0)
        on = false;
    else if (lad.forced_screen != 0xFFFF)
        on = lad.forced_screen == s;
    else
        on = uint16_t(PlcWord(129) - 1) == s || uint16_t(PlcWord(128) - 1) == s;
    l_stack[lad.lsp++] = on ? 0xFF : 0;
    return LAD_GO;
}
// 48: screen-switch coil.
int Op_ChangeScreen() {
    if (lad.lsp < 1) return LAD_FAULT;
    const uint16_t s = LadWord(lad.cur);
    if (l_stack[--lad.lsp] && !LadCut()) lad.change_screen = s;
    return LAD_GO;
}

// ---- alarm list (41) ------------------------------------------------------------------
constexpr uint16_t AL_PRESENT = 0x100, AL_LATCHED = 0x200, AL_ACK = 0x400;
constexpr uint16_t AS_ACTIVE = 0x8000, AS_N = 0x200, AS_P = 0x400, AS_X = 0x800, AS_K = 0x1000;
constexpr uint16_t AS_REQ = 0x1FF;

struct AlarmList {
    uint32_t a;  // first status word
    uint32_t t;  // first time-stamp word
    uint32_t n;
    uint16_t s0;
    uint8_t m;
};

uint16_t AlGet(const AlarmList &al, uint32_t i) { return LadGet16(al.a + i); }
void AlSet(const AlarmList &al, uint32_t i, uint16_t v) { LadSet16(al.a + i, v); }

// First latched alarm from i on, or n.
uint32_t AlFirstLatched(const AlarmList &al, uint32_t from) {
    for (uint32_t i = from; i < al.n; i++)
        if (AlGet(al, i) & AL_LATCHED) return i;
    return al.n;
}

void AlWalk(const AlarmList &al) {
    LadCharge(al.n);
    uint16_t first = uint16_t(AlGet(al, 0) & ~0xC000);
    AlSet(al, 0, first);
    for (uint32_t i = 0; i < al.n; i++) {
        uint16_t s = AlGet(al, i);
        if (s & AL_LATCHED) {
            first = AlGet(al, 0);
            first |= 0x8000;
            if (!(s & AL_ACK)) first |= 0x4000;
            AlSet(al, 0, first);
            s = AlGet(al, i);
        }
        if ((s & AL_PRESENT) && !(s & AL_LATCHED)) {
            const uint32_t words = al.m == 0 ? 0 : (al.m == 1 ? 3 : 6);
            for (uint32_t k = 0; k < words; k++) LadSet16(al.t + words * i + k, PlcWord(W_CLOCK + k));
            if ((s & 0xFF) != 0xFF) s = uint16_t((s & 0xFF00) | ((s + 1) & 0xFF));
            s |= AL_LATCHED;
            AlSet(al, i, s);
        }
    }
}

template <bool S>
uint32_t AlWordIdx(LadCursor &c) {
    if constexpr (S) {
        const uint32_t t = LadWord(c);
        return t >= 1024 ? (t - 1024) / 16 : LAD_NOREF;
    } else {
        return LadWordIdx<false>(c);
    }
}

template <bool S>
int Op_AlarmList() {
    if (lad.lsp < 1) return LAD_FAULT;
    AlarmList al{};
    al.n = LadWord(lad.cur);
    al.s0 = LadWord(lad.cur);
    al.m = uint8_t(LadWord(lad.cur));
    al.a = AlWordIdx<S>(lad.cur);
    al.t = AlWordIdx<S>(lad.cur);
    const uint32_t bn = LadBitOp<S>(lad.cur);
    const uint32_t bp = LadBitOp<S>(lad.cur);
    const uint32_t bx = LadBitOp<S>(lad.cur);
    const uint32_t bk = LadBitOp<S>(lad.cur);
    const uint32_t stamp_words = al.m == 0 ? 0 : (al.m == 1 ? 3 : 6);
    if (LadCut()) return LAD_GO;
    if (!LadWordsFit(al.a, al.n ? al.n : 1) || (stamp_words && !LadWordsFit(al.t, uint64_t(stamp_words) * al.n)) ||
        bn == LAD_NOREF || bp == LAD_NOREF || bx == LAD_NOREF || bk == LAD_NOREF) {
        LadPowerClear();
        return LAD_GO;
    }
    if (!l_stack[lad.lsp - 1]) {
        alarm_status &= uint16_t(~AS_ACTIVE);
        AlWalk(al);
        return LAD_GO;
    }
    const bool N = LadGetBit(bn), P = LadGetBit(bp), X = LadGetBit(bx), K = LadGetBit(bk);
    const uint16_t base = uint16_t(al.s0 - 1);
    // 1. the current alarm
    uint32_t cur = al.n;
    if ((alarm_status & AS_ACTIVE) && (alarm_status & AS_REQ) != AS_REQ) {
        cur = uint16_t((alarm_status & AS_REQ) - base);
        // A request left by a list of another size or base names no alarm of
        // this one (its status word would lie outside the list): start again
        // from the first latched alarm.
        if (cur >= al.n) cur = AlFirstLatched(al, 0);
    } else {
        cur = AlFirstLatched(al, 0);
    }
    if (cur < al.n) {
        // 2. next
        if (N && !(alarm_status & AS_N)) {
            const uint32_t j = AlFirstLatched(al, cur + 1);
            if (j < al.n) cur = j;
        }
        if (N) alarm_status |= AS_N;
        // 3. previous
        if (P && !(alarm_status & AS_P)) {
            for (uint32_t j = cur; j-- > 0;)
                if (AlGet(al, j) & AL_LATCHED) {
                    cur = j;
                    break;
                }
        }
        if (P) alarm_status |= AS_P;
        // 4. acknowledge
        if (K && !(alarm_status & AS_K)) {
            AlSet(al, cur, AlGet(al, cur) | AL_ACK);
            alarm_status |= AS_K;
        }
        // 5. clear
        const uint16_t s = AlGet(al, cur);
        if ((X && !(alarm_status & AS_X) && (s & AL_ACK)) || !(s & AL_LATCHED)) {
            AlSet(al, cur, uint16_t(s & ~(AL_LATCHED | AL_ACK)));
            cur = AlFirstLatched(al, 0);
            alarm_status |= AS_X;
        }
        // 6. remember the request
        const uint16_t req = cur < al.n ? uint16_t(base + cur) : 0xFFFF;
        alarm_status = uint16_t((alarm_status & (AS_N | AS_P | AS_X | AS_K)) | AS_ACTIVE | (req & AS_REQ));
        lad.forced_screen = req;
    } else {
        lad.forced_screen = 0xFFFF;
    }
    // 7. release the edge latches
    if (!N) alarm_status &= uint16_t(~AS_N);
    if (!P) alarm_status &= uint16_t(~AS_P);
    if (!X) alarm_status &= uint16_t(~AS_X);
    if (!K) alarm_status &= uint16_t(~AS_K);
    AlWalk(al);
    return LAD_GO;
}

void Set(unsigned op, LadOp f16, LadOp fx) {
    lad_ops16[op] = f16;
    lad_opsx[op] = fx;
}
template <int K>
void SetCoil() {
    Set(K, Op_Coil<true, K>, Op_Coil<false, K>);
}

}  // namespace

void LadLogic_Fill() {
    Set(LOP_CONTACT, Op_Contact<true>, Op_Contact<false>);
    Set(LOP_NOT, Op_Not, Op_Not);
    Set(LOP_SET_TOP, Op_SetTop, Op_SetTop);
    Set(LOP_CLEAR_TOP, Op_ClearTop, Op_ClearTop);
    Set(LOP_OR, Op_Or, Op_Or);
    Set(LOP_AND, Op_And, Op_And);
    SetCoil<LOP_COIL>();
    Set(LOP_FORCE_SCREEN, Op_ForceScreen, Op_ForceScreen);
    Set(LOP_SCREEN_CONTACT, Op_ScreenContact, Op_ScreenContact);
    Set(LOP_ALARM_LIST, Op_AlarmList<true>, Op_AlarmList<false>);
    Set(LOP_CHANGE_SCREEN, Op_ChangeScreen, Op_ChangeScreen);
    SetCoil<LOP_COIL_POS>();
    SetCoil<LOP_COIL_NEG>();
    SetCoil<LOP_COIL_SET>();
    SetCoil<LOP_COIL_RESET>();
    SetCoil<LOP_COIL_NOT>();
    Set(LOP_POP, Op_Pop, Op_Pop);
    Set(LOP_REPUSH, Op_RePush, Op_RePush);
    Set(LOP_AND_NOT, Op_AndNot, Op_AndNot);
    Set(LOP_OR_NOT, Op_OrNot, Op_OrNot);
    Set(LOP_NAND, Op_Nand, Op_Nand);
    Set(LOP_NOR, Op_Nor, Op_Nor);
    Set(LOP_BRANCH_OR, Op_BranchOr, Op_BranchOr);
    Set(LOP_BRANCH_AND, Op_BranchAnd, Op_BranchAnd);
}
