// The XML blocks and the operator menu blocks: the IEC program's calls of
// the tag trees, typed values through text, variables by symbol, and menus
// kept as trees of "MNU" nodes navigated with four buttons.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "iec/blocks/blkform.h"
#include "iec/blocks/blktxb.h"
#include "iec/blocks/blkxml.h"
#include "iec/vm/z7cnv.h"
#include "iec/vm/z7str.h"
#include "iec/vm/z7syb.h"

namespace {
constexpr uint32_t kValueText = 128;

uint32_t H(const Z7Ops &o, uint32_t k) { return o.U32(k); }
uint32_t Slot(const Z7Ops &o, uint32_t k) { return Z7VMStr_Slot(o.db, o.Lit(k)); }
void PutStr(const Z7Ops &o, uint32_t k, const char *t) { Z7VMStr_AscForce(Slot(o, k), t, uint32_t(strnlen(t, 255))); }

// Lock bit and typed section of a type code (0 for STRING and unknown codes).
uint8_t LockBit(uint32_t type, uint32_t *sec) {
    switch (type) {
    case IEC_BOOL:
    case IEC_SINT:
    case IEC_USINT: *sec = Z7SEC_D8; return Z7LK_8;
    case IEC_INT:
    case IEC_UINT: *sec = Z7SEC_D16; return Z7LK_16;
    case IEC_DINT:
    case IEC_REAL:
    case IEC_UDINT: *sec = Z7SEC_D32; return Z7LK_32;
    case IEC_TIME: *sec = Z7SEC_TIME; return Z7LK_TIME;
    case IEC_LINT:
    case IEC_LREAL:
    case IEC_ULINT: *sec = Z7SEC_D64; return Z7LK_64;
    default: return 0;
    }
}
bool IndexLocked(uint32_t db, uint32_t idx, uint8_t bit) {
    const uint32_t l = Z7Sec_Elem(db, Z7SEC_LOCK, idx);
    return l != 0 && (Z7Mem_Get8(l) & bit) != 0;
}
// Whether the variable at an arena address (a value of a typed section or a
// string slot) is forced; values outside the sections have no lock.
bool AddrLocked(uint32_t db, uint32_t type, uint32_t addr) {
    if (type == IEC_STRING) {
        const uint32_t n = Z7Sec_Bytes(db, Z7SEC_STRPTR) / 4, base = Z7Sec_Addr(db, Z7SEC_STRPTR);
        for (uint32_t i = 0; i < n; i++)
            if (Z7Mem_Get32(base + 4 * i) == addr) return IndexLocked(db, i, Z7LK_STR);
        return false;
    }
    uint32_t sec = 0;
    const uint8_t bit = LockBit(type, &sec);
    if (bit == 0) return false;
    const uint32_t base = Z7Sec_Addr(db, sec), bytes = Z7Sec_Bytes(db, sec);
    const uint32_t width = sec == Z7SEC_D8 ? 1 : sec == Z7SEC_D16 ? 2 : sec == Z7SEC_D64 ? 8 : 4;
    if (base == 0 || addr < base || addr - base >= bytes) return false;
    return IndexLocked(db, (addr - base) / width, bit);
}

// Text of a typed value operand (STRING unchanged, numbers in decimal).
void ValueText(const Z7Ops &o, uint32_t type, uint32_t k, char out[256]) {
    if (type == IEC_STRING)
        Z7Ops_Text(o, k, out);
    else
        Z7VMCnv_NumToSZ(o.db, type, o.Lit(k), out);
}
// Stores a found text into the value operand k; nothing found empties a
// STRING and leaves a number alone.
void StoreValue(const Z7Ops &o, uint32_t type, uint32_t k, const char *text, bool found) {
    if (type == IEC_STRING) {
        PutStr(o, k, found ? text : "");
        return;
    }
    uint32_t sec = 0;
    const uint8_t bit = LockBit(type, &sec);
    if (!found || bit == 0 || o.Forced(k, 0, bit)) return;
    Z7VMCnv_SZToNum(o.db, type, o.Lit(k), text);
}

void Manager(const Z7Ops &o) {
    o.SetB(0, Blk_Heap(o.db) != 0);
    o.SetD(1, int32_t(Z7XML_Count(o.db)));
    o.SetD(2, int32_t(Z7XML_Count(o.db)));
}
void LastError(const Z7Ops &o) { o.SetD(0, int32_t(Z7XML_LastError(o.db))); }
void NewDoc(const Z7Ops &o) {
    char t[256];
    Z7Ops_Text(o, 0, t);
    o.SetD(1, int32_t(Z7XML_Alloc(o.db, t)));
}
void AddChild(const Z7Ops &o) {
    char t[256];
    Z7Ops_Text(o, 1, t);
    o.SetD(2, int32_t(Z7XML_AddChild(o.db, H(o, 0), t)));
}
void FreeDoc(const Z7Ops &o) { o.SetB(1, Z7XML_Free(o.db, H(o, 0)) != 0); }
void GetParent(const Z7Ops &o) { o.SetD(1, int32_t(Z7XML_GetParent(o.db, H(o, 0)))); }
void FirstChild(const Z7Ops &o) {
    char t[256];
    Z7Ops_Text(o, 1, t);
    o.SetD(2, int32_t(Z7XML_FirstChild(o.db, H(o, 0), t)));
}
void NextChild(const Z7Ops &o) {
    char t[256];
    Z7Ops_Text(o, 2, t);
    o.SetD(3, int32_t(Z7XML_NextChild(o.db, H(o, 0), H(o, 1), t)));
}
void GetTagName(const Z7Ops &o) {
    char t[256];
    Z7XML_GetTagName(o.db, H(o, 0), t, sizeof t);
    PutStr(o, 1, t);
}
void CheckTagName(const Z7Ops &o) {
    char t[256], want[256];
    Z7Ops_Text(o, 1, want);
    const bool ok = Z7XML_GetTagName(o.db, H(o, 0), t, sizeof t) != 0 && Z7VMStr_ICmp(t, want) == 0;
    o.SetB(2, ok);
}
// type, node, value, OK
void GetTagCont(const Z7Ops &o) {
    const uint32_t type = o.Lit(0);
    char t[256];
    const uint32_t size = type == IEC_STRING ? Z7VMStr_GetMaxLength(o.db, o.Lit(2)) + 1 : kValueText;
    const bool found = Z7XML_GetTagContents(o.db, H(o, 1), t, std::min<uint32_t>(size, sizeof t)) != 0;
    StoreValue(o, type, 2, t, found);
    o.SetB(3, found);
}
void SetTagCont(const Z7Ops &o) {
    char t[256];
    ValueText(o, o.Lit(0), 2, t);
    o.SetB(3, Z7XML_SetTagContents(o.db, H(o, 1), t) != 0);
}
// type, node, attribute name, value, OK
void GetTagAttrib(const Z7Ops &o) {
    const uint32_t type = o.Lit(0);
    char name[256], t[256];
    Z7Ops_Text(o, 2, name);
    const uint32_t size = type == IEC_STRING ? Z7VMStr_GetMaxLength(o.db, o.Lit(3)) + 1 : kValueText;
    const bool found = Z7XML_GetTagAttrib(o.db, H(o, 1), name, t, std::min<uint32_t>(size, sizeof t)) != 0;
    StoreValue(o, type, 3, t, found);
    o.SetB(4, found);
}
void SetTagAttrib(const Z7Ops &o) {
    char name[256], t[256];
    Z7Ops_Text(o, 2, name);
    ValueText(o, o.Lit(0), 3, t);
    o.SetB(4, Z7XML_SetTagAttrib(o.db, H(o, 1), name, t) != 0);
}
void GetTagContT(const Z7Ops &o) { o.SetD(1, int32_t(Z7XML_GetTagContentsXS(o.db, H(o, 0)))); }
void SetTagContT(const Z7Ops &o) { o.SetB(2, Z7XML_SetTagContentsXS(o.db, H(o, 0), H(o, 1)) != 0); }
void ParseTxb(const Z7Ops &o) { o.SetD(1, int32_t(Z7XML_ParseXS(o.db, H(o, 0)))); }
void ParseFile(const Z7Ops &o) {
    char path[256];
    Z7Ops_Text(o, 0, path);
    o.SetD(1, int32_t(Z7XML_ParseFile(o.db, path)));
}
void WriteTxb(const Z7Ops &o) { o.SetB(2, Z7XML_WriteToXS(o.db, H(o, 0), H(o, 1)) != 0); }
void WriteFile(const Z7Ops &o) {
    char path[256];
    Z7Ops_Text(o, 1, path);
    o.SetB(2, Z7XML_WriteToFile(o.db, H(o, 0), path) != 0);
}

// symbol, (unread), value text out
void GetSybValue(const Z7Ops &o) {
    PutStr(o, 2, "");
    char sym[256], t[256];
    Z7Ops_Text(o, 0, sym);
    uint32_t type = 0;
    const uint32_t addr = Z7VmSyb_ParseSingle(o.db, sym, &type);
    type &= 0x7F;
    if (addr == 0 || type == 127) return;
    if (type == IEC_STRING) {
        const uint8_t *s = Z7Mem_Ptr(addr, 2);
        const uint8_t *text = s ? Z7Mem_Ptr(addr + 2, s[1]) : nullptr;
        if (text == nullptr) return;
        const uint32_t n = std::min<uint32_t>(s[1], 255);
        std::memcpy(t, text, n);
        t[n] = 0;
    } else {
        uint32_t sec = 0;
        if (LockBit(type, &sec) == 0) return;
        Z7VMCnv_NumToSZPtr(Z7Mem_Ptr(addr, sec == Z7SEC_D8    ? 1
                                           : sec == Z7SEC_D16 ? 2
                                           : sec == Z7SEC_D64 ? 8
                                                              : 4),
                           type, t);
    }
    PutStr(o, 2, t);
}
// symbol, value text, (unread), result
void SetSybValue(const Z7Ops &o) {
    char sym[256], t[256];
    Z7Ops_Text(o, 0, sym);
    const uint32_t n = Z7Ops_Text(o, 1, t);
    uint32_t type = 0;
    const uint32_t addr = Z7VmSyb_ParseSingle(o.db, sym, &type);
    type &= 0x7F;
    uint32_t result = 1;
    uint32_t sec = 0;
    if (addr == 0 || type == 127 || (type != IEC_STRING && LockBit(type, &sec) == 0)) {
        result = 0;
    } else if (!AddrLocked(o.db, type, addr)) {
        if (type == IEC_STRING)
            Z7VMStr_AscForce(addr, t, n);
        else
            Z7VMCnv_SZToNumPtr(Z7Mem_Ptr(addr, sec == Z7SEC_D8    ? 1
                                               : sec == Z7SEC_D16 ? 2
                                               : sec == Z7SEC_D64 ? 8
                                                                  : 4),
                               type, t);
    }
    o.SetD(3, int32_t(result));
}

// ---- menus ------------------------------------------------------------------------------------------
uint32_t NewMenuNode(uint32_t db, uint32_t parent, const char *text, const char *id) {
    const uint32_t h = parent ? Z7XML_AddChild(db, parent, "MNU") : Z7XML_Alloc(db, "MNU");
    if (h == 0) return 0;
    if (!Z7XML_SetTagContents(db, h, text) || !Z7XML_SetTagAttrib(db, h, "ID", id)) {
        Z7XML_Free(db, h);
        return 0;
    }
    return h;
}
void NewMenu(const Z7Ops &o) {
    char t[256];
    Z7Ops_Text(o, 1, t);
    o.SetD(2, int32_t(NewMenuNode(o.db, H(o, 0), t, "M")));
}
void NewMenuItem(const Z7Ops &o) {
    char t[256], id[24];
    Z7Ops_Text(o, 1, t);
    std::snprintf(id, sizeof id, "%ld", long(o.D(2)));
    // an item needs a menu: a zero handle goes to the child operation, which
    // refuses it as a bad node (error 4) instead of making a new root
    const uint32_t menu = H(o, 0);
    o.SetD(3, int32_t(menu ? NewMenuNode(o.db, menu, t, id) : Z7XML_AddChild(o.db, 0, "MNU")));
}
void RenameMenu(const Z7Ops &o) {
    char t[256];
    Z7Ops_Text(o, 1, t);
    o.SetB(2, Z7XML_SetTagContents(o.db, H(o, 0), t) != 0);
}
void DelMenu(const Z7Ops &o) { o.SetB(1, Z7XML_Free(o.db, H(o, 0)) != 0); }

// HMIMENU instance: previous UP, DOWN, ENTER, BACK; current menu; root seen;
// entries[32]; entry count; selected index; title[256]; items[256].
enum : uint32_t {
    M_PREV = 0,
    M_CUR = 4,
    M_ROOT = 8,
    M_ENT = 12,
    M_COUNT = 140,
    M_SEL = 144,
    M_TITLE = 148,
    M_ITEMS = 404,
    M_SIZE = 660
};
constexpr uint32_t kEntries = 32;

void Rebuild(uint32_t db, uint8_t *m) {
    char *title = reinterpret_cast<char *>(m + M_TITLE), *items = reinterpret_cast<char *>(m + M_ITEMS);
    const uint32_t cur = LE_Get32(m + M_CUR);
    Z7XML_GetTagContents(db, cur, title, 256);
    items[0] = 0;
    uint32_t len = 0, count = 0;
    for (uint32_t c = Z7XML_FirstChild(db, cur, ""); c != 0 && count < kEntries; c = Z7XML_NextChild(db, cur, c, "")) {
        LE_Put32(m + M_ENT + 4 * count++, c);
        char t[128];
        Z7XML_GetTagContents(db, c, t, sizeof t);
        const uint32_t n = uint32_t(std::strlen(t)), sep = len ? 1 : 0;
        if (len + sep + n >= 256) continue;
        if (sep) items[len++] = '|';
        std::memcpy(items + len, t, n);
        len += n;
        items[len] = 0;
    }
    LE_Put32(m + M_COUNT, count);
    LE_Put32(m + M_SEL, 0);
}
// The "ID" of the selected entry (false when there is none or it is gone).
bool SelectedId(uint32_t db, const uint8_t *m, char id[32], uint32_t *entry) {
    const uint32_t count = LE_Get32(m + M_COUNT), sel = LE_Get32(m + M_SEL);
    if (count == 0 || count > kEntries || sel >= count) return false;
    *entry = LE_Get32(m + M_ENT + 4 * sel);
    return Z7XML_GetTagAttrib(db, *entry, "ID", id, 32) != 0;
}
// UP, DOWN, ENTER, BACK, ROOT; command, position, title, items
void Menu(const Z7Ops &o, uint8_t *m) {
    const bool up = o.B(0), down = o.B(1), enter = o.B(2), back = o.B(3);
    const uint32_t root = H(o, 4);
    const bool up_e = up && !m[M_PREV], down_e = down && !m[M_PREV + 1], enter_e = enter && !m[M_PREV + 2],
               back_e = back && !m[M_PREV + 3];
    int32_t command = 0;
    const uint32_t cur = LE_Get32(m + M_CUR);
    bool opened = false, moved = false;
    char id[32];
    uint32_t entry = 0;
    if (cur == 0 || root != LE_Get32(m + M_ROOT)) {
        LE_Put32(m + M_CUR, root);
        LE_Put32(m + M_ROOT, root);
        Rebuild(o.db, m);
        opened = true;
    } else if (enter_e && SelectedId(o.db, m, id, &entry) && std::strcmp(id, "M") == 0) {
        LE_Put32(m + M_CUR, entry);
        Rebuild(o.db, m);
        opened = true;
    } else if (back_e && !enter_e && cur != root) {
        if (const uint32_t parent = Z7XML_GetParent(o.db, cur)) {
            LE_Put32(m + M_CUR, parent);
            Rebuild(o.db, m);
        }
    }
    const uint32_t count = LE_Get32(m + M_COUNT);
    uint32_t sel = LE_Get32(m + M_SEL);
    if (count != 0 && count <= kEntries && (up_e || down_e)) {
        sel = up_e ? (sel == 0 ? count - 1 : sel - 1) : (sel + 1 >= count ? 0 : sel + 1);
        LE_Put32(m + M_SEL, sel);
        moved = true;
    }
    // the ENTER that opened a menu does not also fire its first entry
    if (!moved && !opened && enter_e && SelectedId(o.db, m, id, &entry) && std::strcmp(id, "M") != 0)
        command = int32_t(std::strtol(id, nullptr, 10));
    m[M_PREV] = up;
    m[M_PREV + 1] = down;
    m[M_PREV + 2] = enter;
    m[M_PREV + 3] = back;
    o.SetD(5, command);
    o.SetD(6, int32_t(LE_Get32(m + M_SEL) + 1));
    m[M_TITLE + 255] = 0;
    m[M_ITEMS + 255] = 0;
    PutStr(o, 7, reinterpret_cast<const char *>(m + M_TITLE));
    PutStr(o, 8, reinterpret_cast<const char *>(m + M_ITEMS));
}

constexpr BlkRow kRows[] = {
    {"XMLMANAGER", Blk_Plain<3, Manager>},           {"XMLADDCHILD", Blk_Plain<3, AddChild>},
    {"XMLCHECKTAGNAME", Blk_Plain<3, CheckTagName>}, {"XMLFIRSTCHILD", Blk_Plain<3, FirstChild>},
    {"XMLFREEDOC", Blk_Plain<2, FreeDoc>},           {"XMLLASTERROR", Blk_Plain<1, LastError>},
    {"XMLGETSYBVALUE", Blk_Plain<3, GetSybValue>},   {"XMLGETTAGATTRIB", Blk_Plain<5, GetTagAttrib>},
    {"XMLGETTAGCONT", Blk_Plain<4, GetTagCont>},     {"XMLGETTAGCONTT", Blk_Plain<2, GetTagContT>},
    {"XMLGETTAGNAME", Blk_Plain<2, GetTagName>},     {"XMLNEWDOC", Blk_Plain<2, NewDoc>},
    {"XMLNEXTCHILD", Blk_Plain<4, NextChild>},       {"XMLPARSEDOCFILE", Blk_Plain<2, ParseFile>},
    {"XMLPARSEDOCTXB", Blk_Plain<2, ParseTxb>},      {"XMLSETSYBVALUE", Blk_Plain<4, SetSybValue>},
    {"XMLSETTAGATTRIB", Blk_Plain<5, SetTagAttrib>}, {"XMLSETTAGCONT", Blk_Plain<4, SetTagCont>},
    {"XMLSETTAGCONTT", Blk_Plain<3, SetTagContT>},   {"XMLWRITEDOCFILE", Blk_Plain<3, WriteFile>},
    {"XMLWRITEDOCTXB", Blk_Plain<3, WriteTxb>},      {"XMLGETPARENT", Blk_Plain<2, GetParent>},
    {"HMINEWMENU", Blk_Plain<3, NewMenu>},           {"HMINEWMENUITEM", Blk_Plain<4, NewMenuItem>},
    {"HMIDELMENU", Blk_Plain<2, DelMenu>},           {"HMIRENAMEMENU", Blk_Plain<3, RenameMenu>},
    {"HMIMENU", Blk_Stateful<M_SIZE, 9, Menu>},
};
}  // namespace

const BlkFamily BlkXml_Family{kRows, sizeof kRows / sizeof kRows[0]};
