// Modbus blocks: a master request or a slave map built from the operands
// into the port's record, handed to the Talk layer's Modbus entry point,
// whose answer gives the status output. The records are module storage, one
// per port and block kind (the blocks are stateless); data arrays are named
// in them by VM arena address, bounded by the array sizes given as
// operands.
#include "iec/blocks/blkmodbus.h"

#include <algorithm>
#include <array>

#include "core/image/bytes.h"
#include "core/image/mbpdu.h"
#include "iec/blocks/blkform.h"
#include "iec/vm/z7mem.h"

BlkMbHooks BlkMb_Hooks{};

namespace {
constexpr uint32_t kPorts = 4;
std::array<std::array<uint8_t, MBR_SIZE>, kPorts> master_rec{};
std::array<std::array<uint8_t, MBM_SIZE>, kPorts> slave_rec{};
std::array<std::array<uint8_t, TMB_SIZE>, kPorts> call_rec{};
uint32_t call_db = 0;  // database of the block being called

enum : uint16_t { TY_BOOL = 1, TY_DINT = 2, TY_REAL = 3, TY_SINT = 10, TY_INT = 11, TY_USINT = 14, TY_UINT = 15 };

// Section and element code of a type code; false for any other code.
bool TypeOf(uint16_t t, uint32_t *sec, uint16_t *elem) {
    switch (t) {
    case TY_BOOL:
    case TY_SINT:
    case TY_USINT:
        *sec = Z7SEC_D8;
        *elem = MB_ELEM_BYTE;
        return true;
    case TY_INT:
    case TY_UINT:
        *sec = Z7SEC_D16;
        *elem = MB_ELEM_WORD;
        return true;
    case TY_DINT:
    case TY_REAL:
        *sec = Z7SEC_D32;
        *elem = MB_ELEM_DWORD;
        return true;
    default: return false;
    }
}

void PutPtr(uint8_t *p, const void *v) {
    const uint64_t a = reinterpret_cast<uintptr_t>(v);
    LE_Put32(p, uint32_t(a));
    LE_Put32(p + 4, uint32_t(a >> 32));
}

// Arena address of the first element of array operand k holding size
// elements of the section's width (found as every array operand is, in the
// complex-type segment when the application has one); 0 unless all of them
// lie in their segment.
uint32_t ArrayAddr(const Z7Ops &o, uint32_t sec, uint32_t k, uint32_t size) {
    const uint32_t type = sec == Z7SEC_D8 ? 14 : sec == Z7SEC_D16 ? 15 : 16;  // USINT, UINT, UDINT
    const uint8_t *p = Blk_Array(o, k, type, size);
    return p != nullptr ? Z7Mem_Off(p) : 0;
}

// Fills the call record of the port, calls the Talk layer and gives the
// status output its value.
void Call(const Z7Ops &o, uint32_t port, uint16_t station, int16_t option, uint8_t *flag, uint8_t *rec, uint8_t *status,
          uint32_t status_op) {
    uint8_t *c = call_rec[port].data();
    LE_Put16(c + TMB_PORT, uint16_t(port));
    LE_Put32(c + TMB_STATION, station);
    LE_Put16(c + TMB_SECOND, uint16_t(int32_t(option)));
    PutPtr(c + TMB_CONTROL, flag);
    PutPtr(c + TMB_DATA, rec);
    PutPtr(c + TMB_STATUS, status);
    const uint32_t enable = o.B(1) != 0 ? 1 : 0;
    call_db = o.db;
    const uint32_t r = BlkMb_Hooks.talk_modbus != nullptr ? BlkMb_Hooks.talk_modbus(c, enable) : 0;
    call_db = 0;
    if (r == 0) LE_Put16(status, 0);
    o.Put16(status_op, LE_Get16(status));
}

// Master record from the request array (slave, function, start, count,
// unused, extra) and the data array chosen by the caller; then the call.
void Master(const Z7Ops &o, uint32_t port, uint32_t sec, uint16_t elem, uint32_t data_op, uint32_t size,
            uint32_t status_op) {
    const uint8_t *req = Blk_Array(o, 5, 11, 6);
    if (req == nullptr) return;
    uint8_t *r = master_rec[port].data();
    const uint16_t fc = LE_Get16(req + 2);
    const uint16_t offset = LE_Get16(req + 10);
    // Elements from the offset on; a request never reaches past the array.
    const int32_t avail = offset < size ? int32_t(size - offset) : 0;
    int32_t count = std::min<int32_t>(int16_t(LE_Get16(req + 6)), avail);
    const bool words = fc == MB_READ_HOLDING_REGISTERS || fc == MB_READ_INPUT_REGISTERS ||
                       fc == MB_WRITE_SINGLE_REGISTER || fc == MB_DIAGNOSTICS || fc == MB_WRITE_MULTIPLE_REGISTERS ||
                       fc == MB_MASK_WRITE_REGISTER || fc == MB_READ_WRITE_REGISTERS || fc == MB_USER_STATUS;
    if (elem == MB_ELEM_BYTE && words) count = std::min(count, avail / 2);  // two bytes per register
    if (elem == MB_ELEM_DWORD) count *= 2;
    const bool room = words ? (elem == MB_ELEM_BYTE ? avail >= 2 : avail >= 1) : avail >= 1;
    const uint32_t base = room ? ArrayAddr(o, sec, data_op, size) : 0;
    LE_Put16(r + MBR_SLAVE, LE_Get16(req));
    LE_Put16(r + MBR_FC, fc);
    LE_Put16(r + MBR_START, LE_Get16(req + 4));
    LE_Put16(r + MBR_QTY, uint16_t(count));
    LE_Put32(r + MBR_DATA, base);
    LE_Put16(r + MBR_OFFSET, base != 0 ? offset : 0);
    LE_Put16(r + MBR_ELEM, elem);
    LE_Put16(r + MBR_FLAG, o.B(4) != 0 ? 1 : 0);
    r[MBR_ENABLE] = o.B(1) != 0 ? 1 : 0;
    Call(o, port, 0, o.I(3), r + MBR_FLAG, r, r + MBR_STATUS, status_op);
}

uint32_t Port(const Z7Ops &o) {
    const uint32_t p = o.U32(2);
    return p < kPorts ? p : kPorts;
}

// type code, enable, port, option, flag, request array, data array, size, status
void DoRequest(const Z7Ops &o) {
    uint32_t sec;
    uint16_t elem;
    const uint32_t port = Port(o);
    if (!TypeOf(o.Lit(0), &sec, &elem)) return;
    if (port >= kPorts) return o.Put16(8, 0);  // the Talk layer serves no such port
    Master(o, port, sec, elem, 6, o.Lit(7), 8);
}

// type code, enable, port, option, flag, request array, unused, bit array,
// its size, register array, its size, status
void OldMaster(const Z7Ops &o) {
    uint32_t sec;
    uint16_t elem;
    const uint32_t port = Port(o);
    if (!TypeOf(o.Lit(0), &sec, &elem)) return;
    const uint8_t *req = Blk_Array(o, 5, 11, 6);
    if (req == nullptr) return;
    bool bits;
    switch (LE_Get16(req + 2)) {
    case MB_READ_COILS:
    case MB_READ_DISCRETE_INPUTS:
    case MB_WRITE_SINGLE_COIL:
    case MB_READ_EXCEPTION_STATUS:
    case MB_WRITE_MULTIPLE_COILS: bits = true; break;
    case MB_READ_HOLDING_REGISTERS:
    case MB_READ_INPUT_REGISTERS:
    case MB_WRITE_SINGLE_REGISTER:
    case MB_DIAGNOSTICS:
    case MB_WRITE_MULTIPLE_REGISTERS:
    case MB_MASK_WRITE_REGISTER:
    case MB_READ_WRITE_REGISTERS:
    case MB_USER_STATUS: bits = false; break;
    default: return;
    }
    if (port >= kPorts) return o.Put16(11, 0);  // the Talk layer serves no such port
    if (bits)
        Master(o, port, Z7SEC_D8, MB_ELEM_BYTE, 7, o.Lit(8), 11);
    else
        Master(o, port, sec, elem, 9, o.Lit(10), 11);
}

// Slave map from four (array, count) pairs starting at operand first; the
// call only for ports 0..3 and slave addresses 1..247.
void Slave(const Z7Ops &o, uint32_t first, uint32_t status_op, uint16_t ext) {
    uint32_t sec;
    uint16_t elem;
    const uint32_t port = Port(o);
    if (!TypeOf(o.Lit(0), &sec, &elem) || port >= kPorts) return;
    const int16_t slave = o.I(3);
    if (slave < 1 || slave > 247) return;
    uint8_t *r = slave_rec[port].data();
    for (uint32_t k = 0; k < 4; k++) {
        const uint32_t op = first + 2 * k, size = o.Lit(op + 1);
        const bool bits = k == MBM_COILS || k == MBM_INPUTS;
        uint32_t addr = 0, count = 0;
        if (bits) {
            addr = ArrayAddr(o, Z7SEC_D8, op, size);
            count = size;
        } else {
            addr = ArrayAddr(o, sec, op, size);
            count = elem == MB_ELEM_DWORD ? 2 * size : elem == MB_ELEM_WORD ? size : size / 2;
        }
        LE_Put32(r + MBM_ADDR + 4 * k, addr);
        LE_Put32(r + MBM_COUNT + 4 * k, addr != 0 ? count : 0);
    }
    LE_Put16(r + MBM_RESERVED, 0);
    LE_Put16(r + MBM_ELEM, elem);
    r[MBM_ENABLE] = o.B(1) != 0 ? 1 : 0;
    LE_Put16(r + MBM_EXT, ext);
    Call(o, port, uint16_t(slave), o.I(4), r + MBM_RESERVED, r, r + MBM_STATUS, status_op);
}

// type code, enable, port, slave, option, coils, count, inputs, count,
// holding, count, input registers, count, status
void MapSlave(const Z7Ops &o) { Slave(o, 5, 13, 0); }

// as MapSlave with the extension word and its data array after the option:
// a non-zero extension word is the number of store-and-forward entries in
// the extension array (u16 each: two station addresses).
void MapExtended(const Z7Ops &o) {
    const uint16_t ext = o.U16(5);
    Slave(o, 7, 15, ext);
    const uint32_t port = Port(o);
    const int16_t slave = o.I(3);
    if (port >= kPorts || slave < 1 || slave > 247 || BlkMb_Hooks.forward == nullptr) return;
    // The engine keeps the count it was handed, so every call hands the word
    // as it stands now: set back to 0 (or with its array past its section)
    // the engine forwards nothing more.
    const uint8_t *table = ext != 0 ? Blk_Array(o, 6, 15, ext) : nullptr;
    BlkMb_Hooks.forward(port, table != nullptr ? ext : 0, table);
}

constexpr BlkRow kRows[] = {
    {"MODBUSDOREQUEST", Blk_Plain<9, DoRequest>},
    {"OLDUSERSMASTER", Blk_Plain<12, OldMaster>},
    {"MODBUSMAPSLAVE", Blk_Plain<14, MapSlave>},
    {"MODBUSMAPEXTEND", Blk_Plain<16, MapExtended>},
};
}  // namespace

uint32_t BlkMb_Forced(uint32_t off) {
    // The typed section holding off, the element's index, its lock bit.
    static constexpr struct {
        uint32_t sec, width;
        uint8_t bit;
    } kSecs[] = {{Z7SEC_D8, 1, Z7LK_8}, {Z7SEC_D16, 2, Z7LK_16}, {Z7SEC_D32, 4, Z7LK_32}};
    if (call_db == 0) return 0;
    for (const auto &s : kSecs) {
        const uint32_t base = Z7Sec_Addr(call_db, s.sec), n = Z7Sec_Bytes(call_db, s.sec);
        if (base == 0 || off < base || off - base >= n) continue;
        const uint32_t lock = Z7Sec_Elem(call_db, Z7SEC_LOCK, (off - base) / s.width);
        return lock != 0 && (Z7Mem_Get8(lock) & s.bit) != 0 ? 1 : 0;
    }
    return 0;
}

const BlkFamily BlkMb_Family{kRows, sizeof kRows / sizeof kRows[0]};
