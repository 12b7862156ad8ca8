// CANopen blocks: thin calls of the CANopen master's IEC helpers, which read
// and write the block's INT operands through a list of pointers. The first
// operand is the execute flag (BOOL), given to the helper and, for the
// transfer blocks, set to its answer. Arrays smaller than their block needs
// (by the size operand, or past their section) make the block do nothing.
#include <algorithm>

#include "iec/blocks/blkform.h"
#include "io/copen.h"

namespace {
// CANOPENGETLOCID: execute, node id out.
void GetLocId(const Z7Ops &o) {
    if (o.B(0) != 1) return;
    o.SetI(1, int32_t(Z7_get_node_id()));
    o.SetB(0, false);
}

// CANOPENGETSTATE: execute, node, state out.
void GetState(const Z7Ops &o) {
    if (o.B(0) != 1) return;
    uint8_t *node = o.At(Z7SEC_D16, 1), *state = o.At(Z7SEC_D16, 2);
    if (node == nullptr || state == nullptr) return;
    // the helper writes a one-byte state; the output is a whole INT (an
    // unknown node leaves it as it is)
    uint8_t got = 0;
    void *const list[2] = {node, &got};
    if (Z7_get_state(list, 1) != 0) o.Put16(2, got);
    o.SetB(0, false);
}

// Pointers to elements 0..need-1 of the INT array at operand k whose size
// operand follows it (found as every array operand is, in the complex-type
// segment when the application has one); false when it is smaller.
bool Elements(const Z7Ops &o, uint32_t k, uint32_t need, void **out) {
    if (o.Lit(k + 1) < need) return false;
    uint8_t *p = Blk_Array(o, k, 11, need);
    if (p == nullptr) return false;
    for (uint32_t i = 0; i < need; i++) out[i] = p + 2 * i;
    return true;
}

// CANOPENSETNMT: execute, parameters (2), size, status.
void SetNmt(const Z7Ops &o) {
    void *list[3];
    uint8_t *status = o.At(Z7SEC_D16, 3);
    if (!Elements(o, 1, 2, list) || status == nullptr) return;
    list[2] = status;
    o.SetB(0, Z7_set_nmt_state(list, o.B(0)) != 0);
}

// CANOPENSDOREAD: execute, request (3), size, result (5), size. The data go
// to result element 4 on, as far as the result array reaches (at most the
// 8 bytes a read gives).
void SdoRead(const Z7Ops &o) {
    void *list[8];
    if (!Elements(o, 1, 3, list) || !Elements(o, 3, 5, list + 3)) return;
    uint32_t elems = std::min<uint32_t>(o.Lit(4), 8);
    while (elems > 5 && Blk_Array(o, 3, 11, elems) == nullptr) elems--;
    // the helper writes a one-byte length when the read ends done; result
    // element 3 is an INT and takes it whole
    uint8_t len = 0;
    uint8_t *const len_elem = static_cast<uint8_t *>(list[6]);
    list[6] = &len;
    const uint16_t before = LE_Get16(static_cast<const uint8_t *>(list[3]));
    o.SetB(0, Z7_canopen_sdo_read(list, o.B(0), 2 * (elems - 4)) != 0);
    const uint16_t after = LE_Get16(static_cast<const uint8_t *>(list[3]));
    if (after != before && after == 0) LE_Put16(len_elem, len);
}

// CANOPENSDOWRITE: execute, request (5), size, result (3), size. The data
// are result element 2 on, their length result element 1: a start whose
// bytes lie past the result array (by its size operand or its section) is
// refused, nothing done. The 32-bit abort code of a refused write goes to
// request elements 4 and 5 as far as the request array reaches (a
// 5-element array keeps its low half).
void SdoWrite(const Z7Ops &o) {
    void *list[8];
    if (!Elements(o, 1, 5, list) || !Elements(o, 3, 3, list + 5)) return;
    const uint32_t enable = o.B(0);
    if (enable) {
        // the elements of the result array inside its segment (at least 3:
        // Elements checked), up to its size operand
        uint32_t lo = 3, hi = o.Lit(4);
        while (lo < hi) {
            const uint32_t mid = lo + (hi - lo + 1) / 2;
            if (Blk_Array(o, 3, 11, mid) != nullptr)
                lo = mid;
            else
                hi = mid - 1;
        }
        const uint32_t elems = lo;
        const uint32_t len = std::min<uint32_t>(LE_Get16(static_cast<const uint8_t *>(list[6])), SDO_BUF);
        if (len > 2 * (elems - 2)) return;
    }
    uint8_t abort[4];
    uint8_t *const elem4 = static_cast<uint8_t *>(list[4]);
    const bool whole = o.Lit(2) >= 6 && Blk_Array(o, 1, 11, 6) != nullptr;
    if (!whole) {
        std::memcpy(abort, elem4, 2);
        list[4] = abort;
    }
    o.SetB(0, Z7_canopen_sdo_write(list, enable) != 0);
    if (!whole) std::memcpy(elem4, abort, 2);
}

// CANOPENRCEMC: execute, emergency array (6), size.
void RcEmcAny(const Z7Ops &o) {
    void *list[6];
    if (!Elements(o, 1, 6, list)) return;
    o.SetB(0, Z7_canopen_rec_emrgency_any(list, o.B(0)) != 0);
}
// CANOPENRCEMCDEV: execute, node, emergency array (5), size.
void RcEmcDev(const Z7Ops &o) {
    void *list[6];
    uint8_t *node = o.At(Z7SEC_D16, 1);
    if (node == nullptr || !Elements(o, 2, 5, list + 1)) return;
    list[0] = node;
    o.SetB(0, Z7_canopen_rec_emrgency(list, o.B(0)) != 0);
}

constexpr BlkRow kRows[] = {
    {"CANOPENGETLOCID", Blk_Plain<2, GetLocId>}, {"CANOPENGETSTATE", Blk_Plain<3, GetState>},
    {"CANOPENSETNMT", Blk_Plain<4, SetNmt>},     {"CANOPENSDOREAD", Blk_Plain<5, SdoRead>},
    {"CANOPENSDOWRITE", Blk_Plain<5, SdoWrite>}, {"CANOPENRCEMC", Blk_Plain<3, RcEmcAny>},
    {"CANOPENRCEMCDEV", Blk_Plain<4, RcEmcDev>},
};
}  // namespace

const BlkFamily BlkCan_Family{kRows, sizeof kRows / sizeof kRows[0]};
