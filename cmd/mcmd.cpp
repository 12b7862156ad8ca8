// Internal command client. Every wait keeps the command processor, the
// service tick and the watchdog going, so the injected frame is served while
// the caller waits.
#include "cmd/mcmd.h"

#include <algorithm>
#include <unistd.h>

#include "cmd/cmd.h"
#include "io/vcomm.h"
#include "core/image/dpram.h"
#include "core/image/syshook.h"
#include "messaging/messaging.h"
#include "core/image/timebase.h"
#include "core/image/tx.h"

namespace {

uint8_t rx_state, rx_len, rx_cnt, rx_chk;
uint16_t rx_cmd;
uint8_t *rx_ptr;
uint32_t rx_max;
uint8_t active;
uint16_t saved_max;
uint8_t saved_neg;

uint32_t Port() { return Cmd_HostPort[0]; }

uint32_t NowMs() { return _tx_time_get(); }  // a clock that wraps at 2^32 ms

void Stuff(uint8_t b) { Vcomm_Call(Port(), &VcommDrv::StuffRx, b); }
bool Drain(uint8_t *b) {
    return Port() < Vcomm_Drv.size() && Vcomm_Drv[Port()].DrainTx && Vcomm_Drv[Port()].DrainTx(Port(), b);
}

// Sender: command, length, data, checksum (the negated sum seeded with the
// OEM code).
void TxFrame(uint8_t command, uint8_t length, const uint8_t *data) {
    uint8_t sum = uint8_t(command + Cmd_Seed());
    Stuff(command);
    Stuff(length);
    sum = uint8_t(sum + length);
    for (uint32_t i = 0; i < length; ++i) {
        Stuff(data[i]);
        sum = uint8_t(sum + data[i]);
    }
    Stuff(uint8_t(-sum));
}

void RxReset(uint8_t *buf, uint32_t max) {
    rx_state = 0;
    rx_cmd = 0;
    rx_len = rx_cnt = rx_chk = 0;
    rx_ptr = buf;
    rx_max = buf != nullptr ? std::min(max, MCMD_RX_MAX) : 0;
}

void RxMachine(uint8_t b) {
    switch (rx_state) {
    case 0:
        rx_cmd = b;
        if (b != 0xFF) {
            rx_state = 4;
            return;
        }
        rx_chk = uint8_t(Cmd_Seed() + 0xFF);
        rx_state = 1;
        return;
    case 1:
        rx_len = b;
        rx_cnt = 0;
        rx_chk = uint8_t(rx_chk + b);
        rx_state = b != 0 ? 2 : 3;
        return;
    case 2:
        // Bytes beyond the caller's buffer are counted, never stored.
        if (rx_cnt < rx_max) rx_ptr[rx_cnt] = b;
        rx_cnt++;
        rx_chk = uint8_t(rx_chk + b);
        if (rx_cnt == rx_len) rx_state = 3;
        return;
    case 3:
        rx_cmd = b == uint8_t(-rx_chk) && rx_len <= rx_max ? MCMD_FRAME : MCMD_BADSUM;
        rx_state = 4;
        return;
    default: return;
    }
}

// Serves the controller until an answer is complete or idle_ms pass without
// a byte.
uint16_t Wait(uint32_t idle_ms, bool full) {
    uint32_t last = NowMs();
    for (;;) {
        Cmd_Check();
        if (full) TimerISR();
        SysHook_TickleWatchdog();
        uint8_t b;
        while (Drain(&b)) {
            last = NowMs();
            RxMachine(b);
            if (rx_state == 4) return rx_cmd;
        }
        if (NowMs() - last > idle_ms) return MCMD_TIMEOUT;
        usleep(100);
    }
}

bool FrameAnswer(uint8_t command) {
    switch (command) {
    case 1:
    case 6:
    case 7:
    case 8:
    case 9:
    case 13:
    case 15:
    case 16:
    case 17:
    case 18:
    case 22:
    case 23:
    case 26: return true;
    default: return false;
    }
}

}  // namespace

uint32_t MCMD_Init(uint32_t argument) {
    // The port is asked for through the mailbox and the request served at once.
    dpram[DP_TALK_ARG] = uint8_t(argument);
    dpram[DP_TALK_REQ] = uint8_t(1 - dpram[DP_TALK_ACK]);
    for (int i = 0; i < 100 && dpram[DP_TALK_REQ] != dpram[DP_TALK_ACK]; ++i) Dpram_Service();
    if (dpram[DP_TALK_REQ] != dpram[DP_TALK_ACK]) return 2005;
    if (const uint8_t r = dpram[DP_TALK_RES]) return r == 1 ? 2004 : 2005;
    if (Port() >= Vcomm_Drv.size() || Vcomm_Drv[Port()].SetIntrcpt == nullptr) return 2005;
    RxReset(nullptr, 0);
    MCMD_Errno = 0;
    // Short frames only: the answers must fit the one-byte length form.
    saved_max = CmdDataMax;
    saved_neg = NegotiationFlag;
    CmdDataMax = 64;
    NegotiationFlag = 0;
    Vcomm_Drv[Port()].SetIntrcpt(Port(), 1);
    uint8_t b;
    while (Drain(&b)) {
    }
    Vcomm_Call(Port(), &VcommDrv::FlushRx);
    active = 1;
    return 0;
}

uint16_t MCMD_SendCmd(uint8_t command, uint8_t length, const uint8_t *data, uint8_t *rx, uint32_t max,
                      uint32_t *rx_len_out) {
    if (!active) return MCMD_TIMEOUT;
    RxReset(FrameAnswer(command) ? rx : nullptr, max);
    TxFrame(command, length, data);
    uint16_t r;
    if (command == 4)
        r = Wait(15000, false);
    else if (FrameAnswer(command))
        r = Wait(5000, true);
    else
        r = Wait(5000, false);
    if (rx_len_out != nullptr) *rx_len_out = rx_cnt;
    return r;
}

uint16_t MCMD_SendData(uint8_t length, const uint8_t *data) {
    if (!active) return MCMD_TIMEOUT;
    RxReset(nullptr, 0);
    TxFrame(0xFF, length, data);
    return Wait(length == 0 ? 30000 : 5000, true);
}

uint16_t MCMD_GetData(uint32_t *length, uint8_t *buffer, uint32_t max) {
    if (!active) return MCMD_TIMEOUT;
    RxReset(buffer, max);
    const uint16_t r = Wait(5000, true);
    if (length != nullptr) *length = r == MCMD_FRAME ? rx_len : 0;
    return r;
}

void MCMD_SendCntl(uint8_t byte) {
    if (active) Stuff(byte);
}

void MCMD_Close() {
    if (!active) return;
    active = 0;
    Vcomm_Call(Port(), &VcommDrv::SetIntrcpt, 0u);
    CmdDataMax = saved_max;
    NegotiationFlag = saved_neg;
}
