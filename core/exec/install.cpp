// MAC IDs: the maker's identifier, the text form of a MAC, and the MAC image
// downloaded by the programming tool.
#include "core/exec/install.h"

#include <cstring>

#include "core/exec/sys.h"
#include "core/image/plcreg.h"
#include "core/storage/memfile.h"
#include "net/net.h"

namespace {
int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

uint32_t convert_MACSTR_MACINT(const char *text, uint8_t *out) {
    if (text == nullptr) return 0;
    for (int i = 0; i < 6; ++i) {
        const char *p = text + 3 * i;
        const int hi = HexDigit(p[0]);
        const int lo = hi < 0 ? -1 : HexDigit(p[1]);
        if (hi < 0 || lo < 0) return 0;
        out[i] = uint8_t(hi * 16 + lo);
        if (i < 5 && p[2] == 0) return 0;
    }
    return std::memcmp(out, MAKER_OUI, 3) == 0 ? 1 : 0;
}

void convert_BYTE_ASCIIHEX(char *out, uint8_t byte) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    out[0] = kHex[byte >> 4];
    out[1] = kHex[byte & 0x0F];
    out[2] = 0;
}

uint32_t SaveAndSetMACID() {
    if (std::memcmp(&tinyImage[8], MAKER_OUI, 3) != 0) return 1;
    const std::array<MfPiece, 1> pieces{{{tinyImage.data(), tinyImage.size()}}};
    if (!MF_WriteFile("/mnt/cfg/TINYIMGE.BIN", pieces, true)) return 1;
    Etn_SetMacId(&tinyImage[8], 0);
    plc_reg[324] = tinyImage[13];
    plc_reg[325] = tinyImage[12];
    plc_reg[326] = tinyImage[11];
    plc_reg[327] = tinyImage[10];
    return 0;
}
