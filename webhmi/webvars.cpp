// Web HMI addresses and the table of subscribed variables.
#include "webhmi/webvars.h"

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "core/image/bytes.h"
#include "core/image/plcreg.h"
#include "ladder/ladder.h"
#include "webhmi/webhmi.h"
#include "webhmi/webiec.h"

const char *const RegTypeNames[18] = {"IG", "QG", "S", "K",  "AIG", "AQG", "SR", "F",  "I",
                                      "Q",  "T",  "M", "AI", "AQ",  "R",   "ET", "EM", "ESR"};
const char *const RegDataTypeName[WDT_COUNT] = {"INT32",   "INT16",   "INT8", "UINT32", "UINT16", "UINT8",
                                                "FLOAT32", "LREAL64", "CHAR", "BOOL",   "TIME"};
const uint8_t RegDataLength[8] = {32, 16, 8, 32, 16, 8, 32, 64};

WebVariableList variable_list;
WebVariableIndex variable_pointer_list;
uint32_t variable_count;
void (*web_notify_hook)(void *, const tavix_data_value *, const tavix_timestamp *, uint32_t);

namespace {

// A decimal token that fits 32 bits, or false.
bool Decimal(const char *text, uint32_t &out) {
    if (text == nullptr || *text < '0' || *text > '9') return false;
    uint64_t v = 0;
    for (const char *p = text; *p != 0; p++) {
        if (*p < '0' || *p > '9') return false;
        v = v * 10 + uint64_t(*p - '0');
        if (v > UINT32_MAX) return false;
    }
    out = uint32_t(v);
    return true;
}

int Lookup(const char *const *names, int count, const char *name) {
    for (int i = 0; i < count; i++)
        if (std::strcmp(names[i], name) == 0) return i;
    return -1;
}

// The first bit address past the register type (for a number n of it).
uint64_t TypeEnd(uint8_t type, uint32_t n) {
    if (type == RT_SR && n >= 193) return uint64_t(REG_ESR_FIRST) + 16 * 256;
    const RegTypeInfo &t = reg_types[type];
    return uint64_t(t.base) + uint64_t(t.count) * (t.word ? 16 : 1);
}

bool RegisterAddress(char *text, WebVariable *r) {
    char *tokens[6] = {};
    int n = 0;
    for (char *save = nullptr, *t = strtok_r(text, "_", &save); t != nullptr && n < 6;
         t = strtok_r(nullptr, "_", &save))
        tokens[n++] = t;
    if (n < 4) return false;
    int type = Lookup(RegTypeNames, 18, tokens[0]);
    if (type < 0) return false;
    if (!RegTokLen_16b) {
        if (type == RT_T)
            type = RT_ET;
        else if (type == RT_M)
            type = RT_EM;
    }
    const int dt = Lookup(RegDataTypeName, WDT_COUNT, tokens[3]);
    uint32_t number = 0, bit = 0, chars = 0;
    if (dt < 0 || !Decimal(tokens[1], number) || !Decimal(tokens[2], bit)) return false;
    if (dt == WDT_CHAR) {
        if (n != 5 || !Decimal(tokens[4], chars) || chars == 0 || chars > 255) return false;
    } else if (n != 4) {
        // A token past those the data type takes (R_1_1_INT16_5) is refused,
        // not ignored: it names nothing in this syntax, most likely a text
        // length given to a type that has none, and taking the address would
        // serve a value other than the one the browser meant to ask for.
        return false;
    }
    uint32_t ref = 0;
    if (EtnRdsPlcReg_Adr(ref, uint32_t(type), number, 1) == 0) return false;
    const uint32_t width = dt == WDT_BOOL ? 1 : dt == WDT_TIME ? 48 : dt == WDT_CHAR ? chars : RegDataLength[dt];
    const bool inside_word = dt <= WDT_UINT8 || dt == WDT_BOOL;
    const bool moves = bit != 0 && inside_word && (type == RT_SR || type == RT_AI || type == RT_AQ || type == RT_R);
    // Any other combination ignores the bit token. One that moves the value
    // moves it by bit - 1 bits whatever the token (R_1_17_INT16 is %R2);
    // the value must still lie whole inside its register type (below).
    const uint64_t start = uint64_t(ref) + (moves ? bit - 1 : 0);  // a large token never wraps round
    // The value must lie whole inside its register type.
    const uint64_t bits = dt == WDT_CHAR ? uint64_t(width) * 8 : width;
    if (start + bits > TypeEnd(uint8_t(type), number)) return false;
    ref = uint32_t(start);
    r->number = number;
    r->reference = ref;
    r->type = uint8_t(type);
    r->bit = uint8_t(bit <= 255 ? bit : 0);  // the token, where the byte holds it
    r->data_type = uint8_t(dt);
    r->width = uint8_t(width);
    return true;
}

bool IecAddress(char *text, WebVariable *r) {
    uint32_t count = 0, bit = 0;
    bool has_count = false, has_bit = false;
    if (char *at = std::strrchr(text, '@'); at != nullptr && at[1] >= '0' && at[1] <= '9') {
        if (!Decimal(at + 1, count)) return false;
        has_count = true;
        *at = 0;
    }
    if (char *dot = std::strrchr(text, '.'); dot != nullptr && dot[1] >= '0' && dot[1] <= '9') {
        if (!Decimal(dot + 1, bit) || bit > 63) return false;
        has_bit = true;
        *dot = 0;
    }
    return WebIec_Resolve(text, count, has_count, bit, has_bit, r) != 0;
}

bool Enumerated() { return WebIec_Enumerated() != 0; }

// The controller's clock as UTC seconds.
uint32_t NowUtc() {
    uint16_t clock[6];
    // Through the guarded read, as every register this thread reads.
    uint8_t raw[12] = {};
    PlcReg_GetGuarded(raw, SR_ADDR(44), 96);
    for (unsigned i = 0; i < 6; i++) clock[i] = LE_Get16(raw + 2 * i);
    uint8_t stamp[6];
    LoadStamp(stamp, clock);
    return tavix_Conversion_to_UTC_Time_func(stamp);
}

}  // namespace

uint32_t tavix_parse_parameterized_variable(const char *address, WebVariable *record) {
    if (address == nullptr || record == nullptr) return 0;
    const std::size_t len = std::strlen(address);
    if (len == 0 || len > WEB_ADDRESS_MAX) return 0;
    char work[WEB_ADDRESS_MAX + 1];
    std::memcpy(work, address, len + 1);
    if (Enumerated()) {
        if (work[0] == '@') return RegisterAddress(work + 1, record) ? 1 : 0;
        return IecAddress(work, record) ? 1 : 0;
    }
    if (work[0] == '@') return 0;
    return RegisterAddress(work, record) ? 1 : 0;
}

long tavix_get_variable_pointer_list_index(const char *name) {
    if (name == nullptr) return -1;
    for (uint32_t i = 0; i < variable_pointer_list.count; i++)
        if (std::strcmp(variable_pointer_list.entries[i].name, name) == 0) return long(i);
    return -1;
}

WebVariable *tavix_register_in_variable_list(const char *key) {
    for (uint32_t k = 0; k < WEB_VARIABLES; k++) {
        uint32_t slot = variable_list.next;
        if (slot >= WEB_VARIABLES) slot = 0;
        variable_list.next = slot + 1 >= WEB_VARIABLES ? 0 : slot + 1;
        WebVariable &r = variable_list.records[slot];
        if (r.key == nullptr) {
            r = WebVariable{};
            r.key = key;
            variable_list.used++;
            return &r;
        }
    }
    return nullptr;
}

WebVariable *tavix_register_in_variable_pointer_list(const char *name, uint32_t size) {
    const long i = tavix_get_variable_pointer_list_index(name);
    if (i >= 0) return variable_pointer_list.entries[i].record;
    if (name == nullptr || variable_pointer_list.count >= WEB_VARIABLES) return nullptr;
    const std::size_t len = std::strlen(name);
    char *copy = static_cast<char *>(std::calloc(1, (size > len ? size : len) + 1));
    if (copy == nullptr) return nullptr;
    std::memcpy(copy, name, len);
    WebVariable *r = tavix_register_in_variable_list(copy);
    if (r == nullptr) {
        std::free(copy);
        return nullptr;
    }
    auto &e = variable_pointer_list.entries[variable_pointer_list.count++];
    e.name = copy;
    e.record = r;
    return r;
}

void tavix_unregister_variable(const char *name) {
    const long i = tavix_get_variable_pointer_list_index(name);
    if (i < 0) return;
    auto &list = variable_pointer_list;
    WebVariable *r = list.entries[i].record;
    if (r->data_type == WDT_CHAR) std::free(r->last.text);
    *r = WebVariable{};
    if (variable_list.used > 0) variable_list.used--;
    std::free(list.entries[i].name);
    // Entries stay contiguous from the first.
    for (uint32_t k = uint32_t(i); k + 1 < list.count; k++) list.entries[k] = list.entries[k + 1];
    list.count--;
    list.entries[list.count] = {nullptr, nullptr};
}

uint32_t tavix_check_updated_variable_value(WebVariable *v) {
    uint8_t buf[256] = {};
    switch (v->data_type) {
    case WDT_INT32:
    case WDT_UINT32:
    case WDT_INT16:
    case WDT_UINT16:
    case WDT_INT8:
    case WDT_UINT8: {
        const uint32_t bits = RegDataLength[v->data_type];
        if (PlcReg_GetGuarded(buf, v->reference, bits) == 0) return 0;
        const uint32_t value = LE_Get32(buf) & (bits == 32 ? 0xFFFFFFFFu : (1u << bits) - 1);
        if (value == uint32_t(v->last.raw)) return 0;
        v->last.raw = value;
        return 1;
    }
    case WDT_FLOAT32: {
        if (PlcReg_GetGuarded(buf, v->reference, 32) == 0) return 0;
        const float f = std::bit_cast<float>(LE_Get32(buf));
        // NaN compares unequal even to itself: a variable that stays NaN is
        // no change, or it would be notified again on every round.
        if (f == v->last.f || (std::isnan(f) && std::isnan(v->last.f))) return 0;
        v->last.raw = 0;
        v->last.f = f;
        return 1;
    }
    case WDT_LREAL64:
    case WDT_TIME: {
        // An IEC TIME is 32 bits wide; a register TIME is read as 64.
        const uint32_t bits = v->data_type == WDT_TIME && v->width == 32 ? 32 : 64;
        if (PlcReg_GetGuarded(buf, v->reference, bits) == 0) return 0;
        const uint64_t u = uint64_t(LE_Get32(buf)) | uint64_t(LE_Get32(buf + 4)) << 32;
        const double d = v->data_type == WDT_TIME ? double(u) : std::bit_cast<double>(u);
        // A value that stays NaN is no change (see FLOAT32 above).
        if (d == v->last.d || (std::isnan(d) && std::isnan(v->last.d))) return 0;
        v->last.d = d;
        return 1;
    }
    case WDT_CHAR: {
        const uint32_t n = v->width;
        if (n == 0 || PlcReg_GetGuarded(buf, v->reference, n * 8) == 0) return 0;
        char text[256];
        std::memcpy(text, buf, n);
        text[n] = 0;
        ConvertToAscii(text);
        if (v->last.text != nullptr && std::strcmp(v->last.text, text) == 0) return 0;
        if (v->last.text == nullptr) {
            v->last.text = static_cast<char *>(std::calloc(1, n + 1));
            if (v->last.text == nullptr) return 0;
        }
        std::memcpy(v->last.text, text, n + 1);
        return 1;
    }
    case WDT_BOOL: {
        if (PlcReg_GetGuarded(buf, v->reference, 1) == 0) return 0;
        const uint8_t b = buf[0] & 1;
        if (b == v->last.b) return 0;
        v->last.b = b;
        return 1;
    }
    default: return 0;
    }
}

void tavix_fill_variable_value(const WebVariable *v, tavix_data_value *out) {
    const uint32_t u = uint32_t(v->last.raw);
    switch (v->data_type) {
    case WDT_INT32:
        out->kind = TAVIX_DV_INT32;
        out->i32 = int32_t(u);
        break;
    case WDT_INT16:
        out->kind = TAVIX_DV_INT32;
        out->i32 = int16_t(u);
        break;
    case WDT_INT8:
        out->kind = TAVIX_DV_INT32;
        out->i32 = int8_t(u);
        break;
    case WDT_UINT32:
    case WDT_UINT16:
    case WDT_UINT8:
        out->kind = TAVIX_DV_UINT32;
        out->u32 = u;
        break;
    case WDT_FLOAT32:
        out->kind = TAVIX_DV_FLOAT;
        out->f = v->last.f;
        break;
    case WDT_LREAL64:
    case WDT_TIME:
        out->kind = TAVIX_DV_DOUBLE;
        out->d = v->last.d;
        break;
    case WDT_CHAR:
        out->kind = TAVIX_DV_TEXT;
        out->text = v->last.text != nullptr ? v->last.text : "";
        break;
    case WDT_BOOL:
        out->kind = TAVIX_DV_BOOL;
        out->b = v->last.b;
        break;
    default:
        out->kind = 0;
        out->u64 = 0;
        break;
    }
}

void tavix_notify_variable(WebVariable *v, tavix_data_value *value) {
    if (v->subscription == nullptr) return;
    tavix_fill_variable_value(v, value);
    const tavix_timestamp stamp{v->stamp_seconds, v->stamp_nanoseconds};
    if (web_notify_hook != nullptr) web_notify_hook(v->subscription, value, &stamp, v->status);
}

void tavix_automatic_update_variables() {
    auto &list = variable_pointer_list;
    if (list.count == 0) {
        variable_count = 0;
        return;
    }
    const uint32_t entry = variable_count < list.count ? variable_count : 0;
    variable_count = entry + 1;
    WebVariable *r = list.entries[entry].record;
    if (r == nullptr || r->key == nullptr || tavix_check_updated_variable_value(r) == 0) return;
    r->stamp_seconds = NowUtc();
    r->stamp_nanoseconds = 0;
    tavix_data_value value{};
    tavix_notify_variable(r, &value);
}

void LoadStamp(uint8_t *stamp, const uint16_t *clock_image) {
    for (int i = 0; i < 5; i++) stamp[i] = uint8_t(clock_image[i]);
    stamp[5] = uint8_t(clock_image[5] % 100);
}

uint32_t tavix_Conversion_to_UTC_Time_func(const uint8_t *stamp) {
    static const uint32_t kDaysBefore[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    const uint32_t s = stamp[0], m = stamp[1], h = stamp[2], d = stamp[3], mo = stamp[4], y = stamp[5];
    const uint32_t before = mo >= 1 && mo <= 12 ? kDaysBefore[mo - 1] : 0;
    uint32_t t = 31536000u * (y + 30) + 86400u * ((y + 31) / 4) + 86400u * before + 86400u * (d > 0 ? d - 1 : 0) +
                 3600u * h + 60u * m + s;
    if (y % 4 == 0 && mo >= 3) t += 86400u;
    return t;
}

uint32_t isAscii(const char *text) {
    if (text == nullptr || *text == 0) return 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p != 0; p++)
        if (*p < 32 || *p > 127) return 0;
    return 1;
}

uint32_t ConvertToAscii(char *text) {
    uint32_t n = 0;
    for (; text[n] != 0; n++) {
        const unsigned char c = static_cast<unsigned char>(text[n]);
        if (c < 32 || c > 126) text[n] = char(128);
    }
    return n;
}
