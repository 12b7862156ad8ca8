// Port and modem blocks: OPENCOMM, OPENCOMMREG, CLOSECOMM, SENDCOMM, RCVCOMM
// and the five modem blocks translate their operands into the Talk layer's
// request records and call it once per cycle. All are stateless; their
// records are module storage, one per port (open, close) or per block
// (modem), so the Talk layer's identities and status addresses stay put.
#include "iec/blocks/blkport.h"

#include <algorithm>
#include <array>

#include "iec/blocks/blkform.h"

BlkPortHooks BlkPort_Hooks;
uint8_t z7protocol;

namespace {
constexpr uint32_t kPorts = 8;  // port numbers with a record (only 0 opens)
constexpr uint32_t kDialMax = 30, kInitMax = 50, kRingsMax = 22;
constexpr uint32_t kText = 10, kModemRec = kText + kInitMax;

std::array<std::array<uint8_t, 8>, kPorts> talk_open{};
std::array<uint16_t, kPorts> talk_close{};
// Request records of MODEMSENDINIT, MODEMAUTODIAL, MODEMAUTOANSWER,
// GPRSCONNECT, GPRSCONNECTS.
std::array<std::array<uint8_t, kModemRec>, 5> modem_rec{};

// Port operand (DINT) as a record index; false outside the records (the
// block then calls nothing rather than truncate to another port).
bool PortOf(const Z7Ops &o, uint32_t k, uint32_t *port) {
    const int32_t p = o.D(k);
    if (p < 0 || uint32_t(p) >= kPorts) return false;
    *port = uint32_t(p);
    return true;
}

// Done output of the open and close blocks: set by a positive answer while
// enabled, cleared by an answer of 0 while disabled.
void Done(const Z7Ops &o, uint32_t k, bool enable, uint32_t r) {
    if (enable && r > 0) o.SetB(k, true);
    if (!enable && r == 0) o.SetB(k, false);
}

// Line rate to baud code; other rates pass as their low 8 bits.
uint8_t BaudCode(int32_t rate) {
    constexpr std::array<int32_t, 13> kRates = {300,   600,   1200,   2400,  4800,  9600, 19200,
                                                38400, 57600, 115200, 14400, 28800, 10400};
    for (uint32_t i = 0; i < kRates.size(); i++)
        if (kRates[i] == rate) return uint8_t(i);
    return uint8_t(rate);
}

// Fills the port's open record and calls the open. The record's six bytes
// are the driver's mode record in the block's order: baud, the first extra
// setting (copied unchanged: the driver's parity byte), data bits, the parity
// code (the driver's stop-bit byte), the second extra setting (handshake),
// protocol | option << 4. So even parity is the first extra setting 2.
uint32_t Open(uint32_t port, uint8_t baud, uint8_t extra1, uint8_t data, uint8_t parity, uint8_t extra2,
              uint32_t protocol, uint32_t option, bool enable) {
    std::array<uint8_t, 8> &r = talk_open[port];
    LE_Put16(&r[0], uint16_t(port));
    r[2] = baud;
    r[3] = extra1;
    r[4] = data;
    r[5] = parity;
    r[6] = extra2;
    r[7] = uint8_t((protocol & 0x0F) | (option & 0x0F) << 4);
    z7protocol = uint8_t(protocol & 0x0F);
    return BlkPort_Hooks.open ? BlkPort_Hooks.open(r.data(), enable ? 1 : 0) : 0;
}

// OPENCOMM: enable, port, baud, first extra, data bits, parity, second
// extra, protocol, option (DINT), done.
void OpenComm(const Z7Ops &o) {
    const bool en = o.B(0) != 0;
    uint32_t port = 0;
    if (!PortOf(o, 1, &port)) return Done(o, 9, en, 0);
    const int32_t data = o.D(4), parity = o.D(5);
    const uint8_t dcode = data == 7 ? 2 : data == 8 ? 3 : uint8_t(data);
    const uint8_t pcode = parity == 1 ? 0 : parity == 2 ? 1 : uint8_t(parity);
    Done(o, 9, en,
         Open(port, BaudCode(o.D(2)), uint8_t(o.D(3)), dcode, pcode, uint8_t(o.D(6)), o.U32(7), o.U32(8), en));
}

// OPENCOMMREG: enable, settings (INT array: port, baud code, first extra,
// data-bit code, parity code, second extra, protocol, option), size, done.
// A bad setting or an array of fewer than 8 gives done 0 without a call. An
// array of exactly 8 holds every setting and is taken: refusing it ("8 or
// fewer") would refuse the one size that fits the settings exactly.
void OpenCommReg(const Z7Ops &o) {
    const bool en = o.B(0) != 0;
    const uint8_t *a = o.Lit(2) >= 8 ? Blk_Array(o, 1, 11, 8) : nullptr;
    std::array<int16_t, 8> v{};
    for (uint32_t i = 0; a != nullptr && i < 8; i++) v[i] = int16_t(LE_Get16(a + 2 * i));
    if (a == nullptr || v[0] < 0 || uint32_t(v[0]) >= kPorts || v[1] < 0 || v[1] > 12 || (v[3] != 2 && v[3] != 3) ||
        (v[4] != 0 && v[4] != 1)) {
        o.SetB(3, false);
        return;
    }
    Done(o, 3, en,
         Open(uint32_t(v[0]), uint8_t(v[1]), uint8_t(v[2]), uint8_t(v[3]), uint8_t(v[4]), uint8_t(v[5]), uint16_t(v[6]),
              uint16_t(v[7]), en));
}

// CLOSECOMM: enable, port, done.
void CloseComm(const Z7Ops &o) {
    const bool en = o.B(0) != 0;
    uint32_t port = 0;
    if (!PortOf(o, 1, &port)) return Done(o, 2, en, 0);
    talk_close[port] = uint16_t(port);
    Done(o, 2, en, BlkPort_Hooks.close ? BlkPort_Hooks.close(&talk_close[port], en ? 1 : 0) : 0);
}

// SENDCOMM and RCVCOMM: enable, port, count (INT), buffer (BYTE array),
// size, status (INT). A count beyond the array is handed on as 256, which
// the Talk layer refuses, so nothing is moved past the array.
template <bool Send>
void Transfer(const Z7Ops &o) {
    auto fn = Send ? BlkPort_Hooks.send : BlkPort_Hooks.receive;
    uint32_t port = 0;
    uint8_t *status = o.At(Z7SEC_D16, 5);
    if (fn == nullptr || status == nullptr || !PortOf(o, 1, &port)) return;
    uint32_t count = o.U16(2);
    const uint8_t *buf = Blk_ByteArray(o, 3, std::max<uint32_t>(count, 1));
    if (count > o.Lit(4) || (count > 0 && buf == nullptr)) count = 256;
    const uint32_t b = Z7Mem_Off(buf), s = Z7Mem_Off(status);
    std::array<uint8_t, 12> rec{};
    LE_Put16(&rec[0], uint16_t(port));
    LE_Put16(&rec[2], uint16_t(count));
    LE_Put16(&rec[4], uint16_t(b >> 16));
    LE_Put16(&rec[6], uint16_t(b));
    LE_Put16(&rec[8], uint16_t(s >> 16));
    LE_Put16(&rec[10], uint16_t(s));
    // A forced status word is written by no block: the Talk layer works on
    // it through its address, so its value is put back after the call.
    const bool forced = o.Forced(5, 0, Z7LK_16);
    const uint16_t kept = LE_Get16(status);
    fn(rec.data(), o.B(0) ? 1 : 0);
    if (forced) LE_Put16(status, kept);
}

// Modem blocks: fill the block's record (port, command, status from the
// operand, option, length, text), call, copy the status back.
enum ModemBlock : uint32_t { M_INIT, M_DIAL, M_ANSWER, M_GPRS, M_GPRSS };
template <ModemBlock B>
void Modem(const Z7Ops &o) {
    constexpr uint16_t kCommand = B == M_INIT ? 0 : B == M_ANSWER ? 2 : 1;
    constexpr uint32_t kStatus = (B == M_INIT || B == M_ANSWER) ? 3 : 4;
    uint32_t port = 0;
    if (BlkPort_Hooks.modem == nullptr || !PortOf(o, 1, &port)) return;
    std::array<uint8_t, kModemRec> &r = modem_rec[B];
    uint32_t len = 0;
    uint16_t option = 0;
    std::array<uint8_t, kInitMax> text{};
    if (B == M_ANSWER) {
        len = uint32_t(std::clamp<int32_t>(o.D(2), 0, kRingsMax));
    } else if (B == M_GPRS) {
        const uint8_t *a = Blk_Array(o, 3, 2, 3);
        if (a == nullptr) return;
        len = 10;
        std::memcpy(text.data(), a, len);
        option = o.U16(2);
    } else {
        char s[256];
        const uint32_t k = B == M_INIT ? 2 : 3;
        len = std::min(Z7Ops_Text(o, k, s), B == M_INIT ? kInitMax : kDialMax);
        std::memcpy(text.data(), s, len);
        if (B != M_INIT) option = o.U16(2);
    }
    r.fill(0);
    LE_Put16(&r[0], uint16_t(port));
    LE_Put16(&r[2], kCommand);
    LE_Put16(&r[4], o.U16(kStatus));
    LE_Put16(&r[6], option);
    LE_Put16(&r[8], uint16_t(len));
    if (B != M_ANSWER) std::memcpy(&r[kText], text.data(), len);
    BlkPort_Hooks.modem(r.data(), o.B(0) ? 1 : 0);
    o.Put16(kStatus, LE_Get16(&r[4]));
}

constexpr BlkRow kRows[] = {
    {"OPENCOMMREG", Blk_Plain<4, OpenCommReg>},     {"OPENCOMM", Blk_Plain<10, OpenComm>},
    {"CLOSECOMM", Blk_Plain<3, CloseComm>},         {"SENDCOMM", Blk_Plain<6, Transfer<true>>},
    {"RCVCOMM", Blk_Plain<6, Transfer<false>>},     {"GPRSCONNECT", Blk_Plain<5, Modem<M_GPRS>>},
    {"GPRSCONNECTS", Blk_Plain<5, Modem<M_GPRSS>>}, {"MODEMSENDINIT", Blk_Plain<4, Modem<M_INIT>>},
    {"MODEMAUTODIAL", Blk_Plain<5, Modem<M_DIAL>>}, {"MODEMAUTOANSWER", Blk_Plain<4, Modem<M_ANSWER>>},
};
}  // namespace

const BlkFamily BlkPort_Family{kRows, sizeof kRows / sizeof kRows[0]};
