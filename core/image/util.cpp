// CRC-16, two-word registers and the sign-on texts.
#include "core/image/util.h"

#include <bit>
#include <cstring>

namespace {
// Eight tables: kCrc[0] is the byte table; kCrc[k] runs a byte through k
// further zero bytes, so that eight bytes are taken per step.
constexpr std::array<std::array<uint16_t, 256>, 8> MakeCrcTables() {
    std::array<std::array<uint16_t, 256>, 8> t{};
    for (unsigned i = 0; i < 256; i++) {
        uint16_t c = uint16_t(i);
        for (int k = 0; k < 8; k++) c = (c & 1) ? uint16_t((c >> 1) ^ 0xA001) : uint16_t(c >> 1);
        t[0][i] = c;
    }
    for (unsigned k = 1; k < 8; k++)
        for (unsigned i = 0; i < 256; i++) t[k][i] = uint16_t((t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF]);
    return t;
}
constexpr std::array<std::array<uint16_t, 256>, 8> kCrc = MakeCrcTables();
}  // namespace

uint16_t crc16_next(const uint8_t *data, std::size_t len, uint16_t crc) {
    std::size_t i = 0;
    for (; i + 8 <= len; i += 8) {
        const uint8_t *p = data + i;
        const uint16_t c = uint16_t(crc ^ (p[0] | p[1] << 8));
        crc = uint16_t(kCrc[7][c & 0xFF] ^ kCrc[6][c >> 8] ^ kCrc[5][p[2]] ^ kCrc[4][p[3]] ^ kCrc[3][p[4]] ^
                       kCrc[2][p[5]] ^ kCrc[1][p[6]] ^ kCrc[0][p[7]]);
    }
    for (; i < len; i++) crc = uint16_t((crc >> 8) ^ kCrc[0][(crc ^ data[i]) & 0xFF]);
    return crc;
}

uint16_t crc16(const uint8_t *data, std::size_t len) { return crc16_next(data, len, 0xFFFF); }

int32_t UTIL_GetDword(const uint16_t *w) { return int32_t(uint32_t(w[0]) | (uint32_t(w[1]) << 16)); }

void UTIL_PutDword(uint16_t *w, int32_t value) {
    w[0] = uint16_t(uint32_t(value));
    w[1] = uint16_t(uint32_t(value) >> 16);
}

float UTIL_GetFloat(const uint16_t *w) { return std::bit_cast<float>(uint32_t(w[0]) | (uint32_t(w[1]) << 16)); }

std::array<uint8_t, 4> crc_header{};
TavixOem TavixOemPtr = {0, 9};

namespace {
constexpr OemEntry E(uint16_t id, const char *text, uint8_t start, uint8_t len) {
    OemEntry e{id, {}, start, len};
    for (unsigned i = 0; i < 19 && text[i]; i++) e.text[i] = text[i];
    return e;
}
// Our own product line: firmware number 570, identities of the I/O slot-0
// board variants. Tables 1 to 4 (OEM builds) carry the same models.
constexpr OemTable kOwnModels = {{
    {570,
     {{E(0x0010, "PLC-CX20 Controller", 0, 8), E(0x0011, "PLC-CX21 Controller", 0, 8),
       E(0x0020, "PLC-CX40 Controller", 0, 8), E(0x0021, "PLC-CX41 Controller", 0, 8),
       E(0x0030, "PLC-CX60 Controller", 0, 8), E(0x0000, "", 0, 9), E(0x0000, "", 0, 9), E(0x0000, "", 0, 9),
       E(0x0000, "", 0, 9), E(0x0000, "", 0, 9), E(0x0000, "", 0, 9)}}},
    {0, {}},
}};
}  // namespace

const std::array<OemTable, 5> OemInfo = {kOwnModels, kOwnModels, kOwnModels, kOwnModels, kOwnModels};

uint8_t Oem_GetSignon(char *out, uint32_t key, uint32_t identity) {
    std::strcpy(out, "*Unknown*");
    TavixOemPtr = {0, 9};
    uint32_t code = crc_header[3];
    if (code == 128) code = 4;
    if (code <= 4) {
        for (const OemRow &row : OemInfo[code]) {
            if (row.key == key) {
                for (const OemEntry &e : row.entries) {
                    if (e.identity == identity && e.text[0] != 0) {
                        std::memcpy(out, e.text, sizeof e.text);
                        out[sizeof e.text] = 0;
                        TavixOemPtr = {e.model_start, e.model_len};
                        break;
                    }
                }
            }
            if (out[0] != '*') break;
        }
    }
    return uint8_t(std::strlen(out));
}

void Oem_GetModel(char *out, uint32_t key, uint32_t identity) {
    char text[24];
    Oem_GetSignon(text, key, identity);
    const unsigned tl = unsigned(std::strlen(text));
    const unsigned start = TavixOemPtr.model_start < tl ? TavixOemPtr.model_start : tl;
    unsigned len = TavixOemPtr.model_len < 10 ? TavixOemPtr.model_len : 10;
    if (start + len > tl) len = tl - start;  // never past the text
    std::memcpy(out, text + start, len);
    if (len <= 9) out[len] = 0;
}

void Drevano_Bit_To_Byte(const uint8_t *bits, uint8_t *bytes, uint32_t count) {
    for (uint32_t i = 0; i < count; i++) bytes[i] = (bits[i / 8] >> (i % 8)) & 1;
}

void Drevano_Byte_To_Bit(const uint8_t *bytes, uint8_t *bits, uint32_t count) {
    for (uint32_t i = 0; i < count; i++) {
        const uint8_t mask = uint8_t(1u << (i % 8));
        if (bytes[i])
            bits[i / 8] |= mask;
        else
            bits[i / 8] &= uint8_t(~mask);
    }
}
