// Programming-tool byte channel: the command protocol's Ethernet port over
// the receive, transmit, single-byte and signal handshakes of the map.
#include <algorithm>
#include <cstring>

#include "core/image/bytes.h"
#include "core/image/passwork.h"
#include "core/image/plcreg.h"
#include "io/vcomm.h"
#include "net/net.h"
#include "net/etn_chan.h"

namespace {

uint8_t Toggle(uint8_t ack) { return ack <= 1 ? uint8_t(1 - ack) : 0; }
bool RxBlockPending() { return DprMap[ETN_RX_REQ] != DprMap[ETN_RX_ACK]; }
bool RxBytePending() { return DprMap[ETN_B_REQ] != DprMap[ETN_B_ACK]; }
bool TxBusy() { return DprMap[ETN_TX_REQ] != DprMap[ETN_TX_ACK]; }

// Replies posted while the transmit block still waits for its acknowledge,
// in order; each goes out as its own block once the one before is taken.
struct HeldReply {
    uint16_t length;
    std::array<uint8_t, ETN_TX_MAX> data;
};
constexpr unsigned kHeld = 8;
std::array<HeldReply, kHeld> held;
unsigned held_first, held_count;

void Post(const uint8_t *data, uint32_t length) {
    std::memcpy(&DprMap[ETN_TX_DATA], data, length);
    LE_Put16(&DprMap[ETN_TX_LEN], uint16_t(length));
    DprMap[ETN_TX_REQ] = Toggle(DprMap[ETN_TX_ACK]);
    PassWork_NetMark(PASS_NET_QNCAN);  // the server sends it on its next step
}

void Send(const uint8_t *data, uint32_t length) {
    length = std::min<uint32_t>(length, ETN_TX_MAX);
    if (!TxBusy() && held_count == 0) {
        Post(data, length);
        return;
    }
    if (held_count == kHeld) return;  // a tool that never reads: the newest reply is lost
    PassWork_NetMark(PASS_NET_QNCAN);
    HeldReply &h = held[(held_first + held_count++) % kHeld];
    h.length = uint16_t(length);
    std::memcpy(h.data.data(), data, length);
}

}  // namespace

uint16_t QncanRxIndx;

void Etn_TxPump() {
    if (TxBusy() || held_count == 0) return;
    const HeldReply &h = held[held_first];
    Post(h.data.data(), h.length);
    held_first = (held_first + 1) % kHeld;
    held_count--;
}

uint32_t Etn_TxPending() { return (TxBusy() || held_count != 0) ? 1 : 0; }

void Etn_Reset() {
    held_first = held_count = 0;
    QncanRxIndx = 0;
}

uint32_t Etn_CheckRx() { return (RxBlockPending() || RxBytePending()) ? 1 : 0; }

uint8_t Etn_GetRx() {
    if (RxBytePending()) {
        DprMap[ETN_B_ACK] = DprMap[ETN_B_REQ];
        return DprMap[ETN_B_DATA];
    }
    if (!RxBlockPending()) return 0;  // never waits
    const uint16_t count = std::min<uint16_t>(LE_Get16(&DprMap[ETN_RX_COUNT]), uint16_t(ETN_RX_MAX));
    uint8_t b = 0;
    if (QncanRxIndx < count) b = DprMap[ETN_RX_DATA + QncanRxIndx++];
    if (QncanRxIndx >= count) {
        QncanRxIndx = 0;
        LE_Put16(&DprMap[ETN_RX_COUNT], 0);
        DprMap[ETN_RX_ACK] = DprMap[ETN_RX_REQ];
    }
    return b;
}

uint8_t Etn_FlushRx() {
    if (!RxBlockPending() && !RxBytePending()) return DprMap[ETN_B_ACK];
    QncanRxIndx = 0;
    DprMap[ETN_RX_ACK] = DprMap[ETN_RX_REQ];
    DprMap[ETN_B_ACK] = DprMap[ETN_B_REQ];
    return DprMap[ETN_B_REQ];
}

uint8_t Etn_PutTx(uint8_t byte) {
    if (byte == 112) {
        DprMap[ETN_SIG_REQ] = Toggle(DprMap[ETN_SIG_ACK]);
        PassWork_NetMark(PASS_NET_QNCAN);
        return byte;
    }
    Send(&byte, 1);
    return byte;
}

void Etn_PutnTx(const uint8_t *data, uint32_t length) { Send(data, length); }

void Etn_UpdateStatus() {
    // %SR29 as it lies in the image.
    DprMap[DPR_NETID] = plc_reg[2 * W_NETID];
    DprMap[DPR_NETID + 1] = plc_reg[2 * W_NETID + 1];
}

void Etn_UpdateSecurity() {
    DprMap[ETN_ACCESS_FLAGS] = uint8_t(plc_reg[REG_ETN_FLAGS_BYTE] & ~0x10);
    std::memcpy(&DprMap[ETN_ACCESS], &plc_reg[REG_ETN_ACCESS_BYTE], 4);
    for (unsigned u = 0; u < 3; u++) {
        const uint8_t *rec = &plc_reg[REG_ETN_USERS_BYTE + REG_ETN_USER_SIZE * u];
        std::memcpy(&DprMap[ETN_USERS + 4 * u], rec, 4);
        DprMap[ETN_LEVELS + u] = rec[REG_ETN_USER_LEVEL];
    }
}

// ---- the channel as a port of the command protocol ---------------------------------------------
namespace {
VcommMode etn_mode = qncan_mode;
uint8_t *EtnModeRec(uint32_t) { return etn_mode.data(); }
uint32_t EtnOpen(uint32_t, const uint8_t *) { return 1; }
uint32_t EtnCheck(uint32_t) { return Etn_CheckRx(); }
uint32_t EtnGet(uint32_t) { return Etn_GetRx(); }
void EtnFlush(uint32_t) { Etn_FlushRx(); }
uint32_t EtnPut(uint32_t, uint8_t b) { return Etn_PutTx(b); }
uint32_t EtnPutn(uint32_t, const uint8_t *d, uint32_t n) {
    Etn_PutnTx(d, n);
    return n;
}
uint32_t EtnEmpty(uint32_t) { return Etn_TxPending() ? 0 : 1; }
}  // namespace

void Etn_InstallPort() {
    VcommDrv d{};
    d.ModeRec = EtnModeRec;
    d.Open = EtnOpen;
    d.CheckRx = EtnCheck;
    d.GetRx = EtnGet;
    d.FlushRx = EtnFlush;
    d.PutTx = EtnPut;
    d.PutnTx = EtnPutn;
    d.EmptyTx = EtnEmpty;
    if (Vcomm_Install(ETN_VCOMM_PORT, d)) Cmd_HostPort[1] = ETN_VCOMM_PORT;
}
