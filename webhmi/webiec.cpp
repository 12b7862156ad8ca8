// IEC variable names in web addresses: a name (or member path) of the running
// IEC application becomes an IEC variable handle that the register access
// decodes against the application's database.
#include "webhmi/webiec.h"

#include "core/storage/memfile.h"
#include "iec/vm/z7map.h"
#include "iec/vm/z7syb.h"
#include "iec/vm/z7vm.h"

namespace {

constexpr uint32_t kHandleMarker = 0xC0000000u, kComplexBit = 1u << 29, kIndexMax = 0xFFFFF;
constexpr uint32_t kComplexKind = 127;

// How a VM type is reached: its section, element size, handle width code and
// web data type (with a count, the 8-bit types become text).
struct VmTypeRow {
    uint32_t vm_type, section, element, code;
    uint8_t data_type;
};
constexpr VmTypeRow kVmTypes[] = {
    {1, Z7SEC_D8, 1, 6, WDT_BOOL},     {2, Z7SEC_D32, 4, 2, WDT_INT32},    {3, Z7SEC_D32, 4, 2, WDT_FLOAT32},
    {4, Z7SEC_TIME, 1, 5, WDT_TIME},   {5, Z7SEC_STRPTR, 0, 4, WDT_CHAR},  {10, Z7SEC_D8, 1, 0, WDT_INT8},
    {11, Z7SEC_D16, 2, 1, WDT_INT16},  {13, Z7SEC_D64, 8, 3, WDT_LREAL64}, {14, Z7SEC_D8, 1, 0, WDT_UINT8},
    {15, Z7SEC_D16, 2, 1, WDT_UINT16}, {16, Z7SEC_D32, 4, 2, WDT_UINT32},
};

const VmTypeRow *Row(uint32_t vm_type) {
    for (const VmTypeRow &r : kVmTypes)
        if (r.vm_type == vm_type) return &r;
    return nullptr;
}

// Element index of a value at arena address addr inside a section, or false.
bool SectionIndex(uint32_t db, uint32_t section, uint32_t element, uint32_t addr, uint32_t &index) {
    const uint32_t base = Z7Sec_Addr(db, section), size = Z7Sec_Bytes(db, section);
    if (base == 0 || addr < base || addr - base >= size || (addr - base) % element != 0) return false;
    index = (addr - base) / element;
    return index <= kIndexMax;
}

}  // namespace

uint32_t WebIec_Enumerated() { return DrevanoRuntime != 0 && drevano_variables_enumerateded != 0 && pDB != 0; }

uint32_t WebIec_Resolve(const char *name, uint32_t count, bool has_count, uint32_t bit, bool has_bit,
                        WebVariable *out) {
    const uint32_t db = pDB;
    if (db == 0 || name == nullptr || name[0] == 0) return 0;
    uint32_t vm_type = 0;
    const uint32_t addr = Z7VmSyb_ParseSingle(db, name, &vm_type);
    const char *cursor = name;
    const uint32_t item = Z7VmSyb_GetMapItem(db, &cursor);
    if (addr == 0 || item == 0) return 0;
    const VmTypeRow *row = Row(vm_type);
    if (row == nullptr) return 0;  // 64-bit integers and others have no web type

    uint32_t handle = kHandleMarker | row->code << 26;
    uint32_t index = 0;
    if ((Z7Map_GetType(item) & 0x7F) == kComplexKind) {
        // A member of a structured variable: a byte offset into the complex-type data.
        if (!SectionIndex(db, Z7SEC_CT, 1, addr, index)) return 0;
        handle |= kComplexBit;
    } else if (row->code == 4) {
        // A string is reached through its entry of the string table.
        if (*cursor != 0) return 0;
        index = Z7Map_GetIndex(item);
        if (index > kIndexMax) return 0;
    } else {
        // TIME elements are addressed by byte offset, as the register access decodes them.
        if (!SectionIndex(db, row->section, row->element, addr, index)) return 0;
    }
    if (has_bit) {
        // Bits of the element the register access reads: one byte for a
        // structure member, none of a text or a TIME, and at most bits 0..31
        // (the register access answers a bit number of 32 or more with 0, so
        // the upper half of an LREAL is out of reach). Kept on purpose: an
        // address naming a bit the read never delivers would publish a
        // value that never follows the variable.
        uint32_t bits = (handle & kComplexBit) ? 8 : (row->code <= 3 || row->code == 6) ? 8 * row->element : 0;
        if (bits > 32) bits = 32;
        if (bit >= bits) return 0;
        handle |= bit << 20;
    }
    handle |= index;

    uint8_t data_type = row->data_type;
    if (has_count && (vm_type == 10 || vm_type == 14)) data_type = WDT_CHAR;
    uint32_t width = 0;
    if (has_bit) {
        data_type = WDT_BOOL;
        width = has_count ? count : 1;
    } else if (!has_count) {
        switch (row->code) {
        case 0: width = 8; break;
        case 1: width = 16; break;
        case 2: width = 32; break;
        case 3: width = 64; break;
        case 4: width = Z7Map_GetStringLenth(item); break;
        case 5: width = 32; break;  // the VM keeps TIME in 32 bits
        default: width = 1; break;
        }
    } else if (data_type == WDT_BOOL) {
        width = count;
        switch (count) {
        case 8: data_type = WDT_UINT8; break;
        case 16: data_type = WDT_UINT16; break;
        case 32: data_type = WDT_UINT32; break;
        case 64: data_type = WDT_LREAL64; break;
        default: break;
        }
    } else if (data_type == WDT_CHAR) {
        width = count;
    } else {
        width = count * 8;
    }
    if (width == 0 || width > 255) return 0;  // the record keeps widths in a byte
    // A BOOL of a width other than 1 (B@4, I.3@16) is refused on purpose:
    // its value is one byte compared and published as true or false, while
    // the register access would read width packed bits into it; only the
    // whole widths 8, 16, 32 and 64 become unsigned numbers above.
    if (data_type == WDT_BOOL && width != 1) return 0;

    out->number = 0;
    out->reference = handle;
    out->type = 0;
    out->bit = uint8_t(has_bit ? bit : 0);
    out->data_type = data_type;
    out->width = uint8_t(width);
    return 1;
}
