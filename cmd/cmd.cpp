// Command protocol, lower half: frames and checksum, the receiver, the choice
// of the host that owns the conversation, routing of bytes, time-outs and the
// forwarding of frames to another controller on the CAN network.
#include "cmd/cmd.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "core/storage/nvram.h"
#include "core/image/plcreg.h"
#include "core/image/syshook.h"
#include "core/image/timebase.h"
#include "core/image/util.h"
#include "io/vcomm.h"
#include "io/io.h"
#include "media/fxp.h"
#include "messaging/messaging.h"
#include "net/net.h"
#include "platform/plat_assert.h"

uint8_t Cmd_PgmHold;
uint8_t Cmd_Override;

CmdRecord CmdBuf;
uint32_t CmdHost;
uint32_t ChkHost;
uint8_t CmdRun = CMD_IDLE;
uint8_t CmdMode;
uint8_t CmdHostToPlc = 1;
uint8_t CmdGlobal;
uint8_t NegotiationFlag;
uint16_t CmdDataMax = 64;
uint32_t CmdBaudTimer = 255;
uint16_t CmdOldIdle;

namespace {

uint8_t fwd_last;  // the data frame being forwarded was the empty last one
std::array<uint8_t, CMD_BUF_MAX + 8> txframe;

uint8_t OwnId() { return uint8_t(PlcWord(W_NETID)); }
uint16_t FrameTimeout() { return uint16_t(std::max<uint32_t>(PlcWord(W_CMD_FRAME_TO), 500)); }
uint32_t LockTimeout(uint32_t floor) { return std::max<uint32_t>(PlcWord(W_CMD_LOCK), floor); }

uint32_t HostPort(uint32_t host) { return host < CMD_HOSTS ? Cmd_HostPort[host] : VCOMM_NO_PORT; }

// A host's port carries the command protocol: it has operations, its mode
// record names protocol 1 and (for the programming port) it is not lent to
// the modem or the Talk blocks.
bool PortUsable(uint32_t port) {
    if (!Vcomm_Present(port)) return false;
    if (port == ProgrammingPort && Cmd_Override) return false;
    return Vcomm_Protocol(port) == VCOMM_PROTO_CMD;
}
// Modem data socket 1 plays host 0 while it is active on host 0's port.
bool ModemActive() { return IsModemSocketActive(HostPort(0), 1); }
// Host 1 without a port record: the Ethernet channel's own calls.
bool EtnDirect(uint32_t host) { return host == 1 && HostPort(1) == VCOMM_NO_PORT; }

// ---- one host by its code -----------------------------------------------------
uint32_t HostChk(uint32_t host) {
    if (EtnDirect(host)) return Etn_CheckRx() ? 1 : 0;
    if (host == 0 && ModemActive()) return ModemCheckRecv(1) == 1 ? 1 : 0;
    const uint32_t port = HostPort(host);
    return PortUsable(port) && Vcomm_Drv[port].CheckRx(port) == 1 ? 1 : 0;
}
uint8_t HostGet(uint32_t host) {
    if (EtnDirect(host)) return Etn_GetRx();
    if (host == 0 && ModemActive()) return ModemDataRecv(1);
    const uint32_t port = HostPort(host);
    return PortUsable(port) ? uint8_t(Vcomm_Drv[port].GetRx(port)) : 0;
}
void HostPut(uint32_t host, const uint8_t *d, uint32_t n) {
    if (EtnDirect(host)) {
        if (n == 1)
            Etn_PutTx(d[0]);
        else
            Etn_PutnTx(d, n);
        return;
    }
    if (host == 0 && ModemActive()) {
        ModemDataSend(1, d, n, 1);
        return;
    }
    const uint32_t port = HostPort(host);
    if (!PortUsable(port)) return;
    const VcommDrv &drv = Vcomm_Drv[port];
    if (n == 1 && drv.PutTx)
        drv.PutTx(port, d[0]);
    else if (drv.PutnTx)
        drv.PutnTx(port, d, n);
}
void HostFlush(uint32_t host) {
    if (EtnDirect(host)) {
        Etn_FlushRx();
        return;
    }
    if (host == 0 && ModemActive()) {
        // The socket has no flush of its own: its unread bytes are taken and
        // dropped (at most one receive area's worth in a pass), so that a
        // refused newcomer is not answered again and its frame never run.
        for (uint32_t i = 0; i < 2048 && ModemCheckRecv(1) == 1; i++) ModemDataRecv(1);
        return;
    }
    const uint32_t port = HostPort(host);
    if (PortUsable(port) && Vcomm_Drv[port].FlushRx) Vcomm_Drv[port].FlushRx(port);
}

void ToNode(const uint8_t *d, uint32_t n) { CANOpen_PutByte(d, n, Vcomm_Mode); }
bool FromNode() { return Vcomm_Mode == 1 && !CmdHostToPlc; }

// Frame bytes into txframe; answers the count.
uint32_t BuildFrame(uint8_t cmd, uint16_t len, const uint8_t *data, bool long_form) {
    // Answers and forwarded frames hold at most a frame's data.
    if (NEVER(len > CMD_BUF_MAX)) len = CMD_BUF_MAX;
    if (!long_form && len > 254) long_form = true;  // the short form cannot carry it
    uint32_t n = 0;
    txframe[n++] = cmd;
    if (long_form) {
        txframe[n++] = 0xFF;
        txframe[n++] = uint8_t(len);
        txframe[n++] = uint8_t(len >> 8);
    } else {
        txframe[n++] = uint8_t(len);
    }
    for (uint32_t i = 0; i < len; i++) txframe[n++] = data[i];
    txframe[n] = Cmd_Checksum(txframe.data(), n);
    return n + 1;
}

void SendFrameToNode(uint8_t cmd, uint16_t len, const uint8_t *data) {
    ToNode(txframe.data(), BuildFrame(cmd, len, data, NegotiationFlag != 0));
}

// The frame in CmdBuf, relayed to the host.
void RelayFrameToHost() {
    const uint32_t n = BuildFrame(CmdBuf.command, CmdBuf.length, CmdBuf.data.data(), NegotiationFlag != 0);
    if (Vcomm_Mode == 2)
        ToNode(txframe.data(), n);
    else
        HostPut(CmdHost, txframe.data(), n);
}

void ResetReceiver() {
    CmdBuf.state = 0;
    CmdBuf.len_state = 0;
    CmdBuf.index = 0;
}

// Outside run mode an abandoned download leaves every memory file re-created
// as invalid, so that nothing half-downloaded ever runs. Ending the download
// the ordinary way would then store those defaults over "ladder.pgm" and
// "config.pgm", which were whole until then: the stored application would be
// lost. Instead the download ends without a store and the stored files are
// loaded again and checked as at start-up; the forces (kept in the register
// image, which the re-creation emptied) come back from the force image. Only
// when no whole application is stored do the memory files stay invalid.
struct AbandonForces {
    std::array<uint8_t, MF_FORCE_MAX> table;  // the force image: the last whole table
    uint32_t len;
    uint16_t crc;
    uint8_t enabled;
};
AbandonForces abandon_forces;

void AbandonedInStop() {
    Cmd_Downloading = 0;
    PlcWordSet(129, 0);
    PlcWordSet(130, 0);
    Cmd_PgmHold = 0;  // the stored program is loaded here
    LoadProgram();
    const AbandonForces &f = abandon_forces;
    std::memcpy(&plc_reg[MF_FORCE_BYTE], f.table.data(), std::min<uint32_t>(f.len, MF_FORCE_MAX));
    PlcDwordSet(W_FORCE_LEN, f.len);
    PlcWordSet(W_FORCE_CRC, f.crc);
    nvram_init(0, 0);
    if (MF_Len(ladder_bl.data()) == 0) {
        std::printf(
            "Download of file type %u abandoned: no whole application is stored to load again, so the controller "
            "stopped and files 0, 4, 5, 6, 20, 21, 22 and 33 are invalid; download the program (0), the register "
            "set-up (4), the I/O configuration (5) and the tables the program uses again, or the next start "
            "discards the program\n",
            unsigned(CmdFileType));
        return;
    }
    PlcWordSet(W_FAULT, uint16_t(PlcWord(W_FAULT) & ~FAULT_INVALID));
    plc_reg[SBITS_HI] = uint8_t(plc_reg[SBITS_HI] | f.enabled);
    CmdConfigChanged = 1;  // the stored network and I/O configuration apply again
    NetIoConfig();
    std::printf(
        "Download of file type %u abandoned: the controller stays in mode 0 and holds its stored files again "
        "(ladder.pgm and config.pgm are as they were)\n",
        unsigned(CmdFileType));
}

// A silent conversation ends; an open download is closed as abandoned.
void ConversationTimeout() {
    bool recreated = false;
    if (Cmd_Downloading) {
        IoStop();
        // Outside run mode this re-creates every memory file as invalid and
        // stops the controller; the stored files are then loaded again.
        recreated = PlcWord(W_MODE) != 2 && !CmdGrfxType;
        if (recreated) {
            std::memcpy(abandon_forces.table.data(), io_force.data(), MF_FORCE_MAX);
            abandon_forces.len = PlcDword(W_FORCE_LEN);
            abandon_forces.crc = PlcWord(W_FORCE_CRC);
            abandon_forces.enabled = plc_reg[SBITS_HI] & S_FORCE_ENABLED;
            nvram_init(0, 1);
            AbandonedInStop();
        } else {
            nvram_init(0, CmdGrfxType ? 0 : 1);
            CmdPanel(1);
        }
    }
    if (Cmd_PgmHold) Cmd_ProgramAbandoned();
    if (Cmd_FileOpen) Cmd_FileAbandoned(recreated, "abandoned");
    Vcomm_LockSet(0);
    ResetReceiver();
    CmdBuf.one_byte = 0;
    CmdHostToPlc = 1;
    CmdRun = CMD_IDLE;
    CmdMode = 0;
}

// Forwarding to the node named by the frame, stepped by CmdMode.
void Cmd_Forward() {
    if (PlcWord(W_FAULT) & 0x10) {
        Cmd_End();
        return;
    }
    const uint16_t kind = CmdInfo[CmdRun].kind;
    switch (CmdMode) {
    case 0:
        SendFrameToNode(CmdBuf.command, CmdBuf.length, CmdBuf.data.data());
        if (CmdGlobal) {
            Cmd_End();
            return;
        }
        CmdMode = 1;
        CmdHostToPlc = 0;
        if (kind == 1) CmdBuf.one_byte = 1;
        if (kind == 2)
            CmdBuf.timeout = uint16_t(CmdRun == 4 ? std::min<uint32_t>(LockTimeout(9000), 65535) : FrameTimeout());
        Cmd_WaitMore();
        return;
    case 1:
        if (kind == 1) {
            if (!get_packet()) return;
            if (CmdBuf.command == CMD_DATA)
                RelayFrameToHost();
            else
                HostPut(CmdHost, &CmdBuf.command, 1);
            Cmd_End();
            return;
        }
        if (!Net_CheckRx()) return;
        {
            const uint8_t b = Net_GetRx();
            HostPut(CmdHost, &b, 1);
            if (kind == 0) {
                if (CmdRun == 0x19 && b == CMD_ACK) do_comm_lock();
                Cmd_End();
                return;
            }
            // 0x0F: the node asks for the command frame again. The host
            // repeats it, and it must go on as a new command: waiting for
            // data frames here would drop it and stall the conversation.
            if (b == CMD_BUSY || b == CMD_NAK || b == CMD_BADSUM) {
                Cmd_End();
                return;
            }
            CmdBuf.timeout = FrameTimeout();
            CmdMode = kind == 2 ? 2 : 3;
            CmdHostToPlc = kind == 2 ? 1 : 0;
            Cmd_WaitMore();
        }
        return;
    case 2:  // host data frame to the node
        CmdHostToPlc = 1;
        if (!get_packet()) return;
        if (CmdBuf.command != CMD_DATA) {
            Cmd_WaitMore();
            return;
        }
        fwd_last = CmdBuf.length == 0;
        SendFrameToNode(CmdBuf.command, CmdBuf.length, CmdBuf.data.data());
        CmdHostToPlc = 0;
        CmdMode = 4;
        Cmd_WaitMore();
        return;
    case 4:  // node's answer byte to the host
        if (!Net_CheckRx()) return;
        {
            const uint8_t b = Net_GetRx();
            HostPut(CmdHost, &b, 1);
            // A 0x0F asks for the frame again, the last one too: the host's
            // repeat goes on to the node before the command ends.
            if (b == CMD_NAK || (fwd_last && b != CMD_BADSUM)) {
                Cmd_End();
                return;
            }
            CmdMode = 2;
            CmdHostToPlc = 1;
            Cmd_WaitMore();
        }
        return;
    case 3:  // node data frame to the host
        CmdHostToPlc = 0;
        if (!get_packet()) return;
        if (CmdBuf.command != CMD_DATA) {
            Cmd_WaitMore();
            return;
        }
        fwd_last = CmdBuf.length == 0;
        RelayFrameToHost();
        CmdHostToPlc = 1;
        CmdMode = 5;
        Cmd_WaitMore();
        return;
    case 5:  // host's answer byte to the node
        if (!HostChk(CmdHost)) return;
        {
            const uint8_t b = HostGet(CmdHost);
            ToNode(&b, 1);
            if (b == CMD_NAK || (fwd_last && b != CMD_BADSUM)) {
                Cmd_End();
                return;
            }
            CmdMode = 3;
            CmdHostToPlc = 0;
            Cmd_WaitMore();
        }
        return;
    default: Cmd_End(); return;
    }
}

}  // namespace

// ---- checksum -------------------------------------------------------------------

uint8_t Cmd_Seed() { return crc_header[3] & 0x7F; }

uint8_t Cmd_Checksum(const uint8_t *bytes, uint32_t n) {
    uint8_t sum = Cmd_Seed();
    for (uint32_t i = 0; i < n; i++) sum = uint8_t(sum + bytes[i]);
    return uint8_t(-sum);
}

// ---- byte layer -----------------------------------------------------------------

uint32_t chkchar() { return Vcomm_Mode == 2 ? Net_CheckRx() : HostChk(CmdHost); }
uint8_t cmd_getchar() { return Vcomm_Mode == 2 ? Net_GetRx() : HostGet(CmdHost); }
void cmd_putnchar(const uint8_t *d, uint32_t n) {
    if (Vcomm_Mode == 2)
        ToNode(d, n);
    else
        HostPut(CmdHost, d, n);
}
void cmd_putchar(uint8_t b) { cmd_putnchar(&b, 1); }
void flushchar() {
    if (Vcomm_Mode == 2)
        Net_FlushRx();
    else
        HostFlush(CmdHost);
}

uint32_t chkbyte() { return FromNode() ? Net_CheckRx() : chkchar(); }
uint8_t getbyte() { return FromNode() ? Net_GetRx() : cmd_getchar(); }
void putbyte(uint8_t b) {
    if (FromNode())
        ToNode(&b, 1);
    else
        cmd_putchar(b);
}
void flushbyte() {
    if (FromNode())
        Net_FlushRx();
    else
        flushchar();
}

void Cmd_BaudTimerTouch() {
    if (Vcomm_Mode != 2 && CmdBaudTimer < TIMER_COUNT && Timers[CmdBaudTimer].running) {
        FPGA_GetFrt();
        Timer_Start(CmdBaudTimer, 0);
    }
}

uint32_t get_packet() {
    if (!chkbyte()) return 0;
    FPGA_GetFrt();
    while (chkbyte()) {
        const uint8_t b = getbyte();
        Timer_Start(CmdBuf.timer, CmdBuf.timeout);
        switch (CmdBuf.state) {
        case 0:
            CmdBuf.command = b;
            CmdBuf.checksum = uint8_t(b + Cmd_Seed());
            CmdBuf.length = 0;
            CmdBuf.index = 0;
            CmdBuf.len_state = 0;
            if (CmdBuf.one_byte && b != CMD_DATA) {
                NegotiationFlag = 0;
                CmdDataMax = 64;
                Timer_Stop(CmdBuf.timer);
                return 1;
            }
            CmdBuf.state = 1;
            Vcomm_LockSet(1);
            break;
        case 1: {
            CmdBuf.checksum = uint8_t(CmdBuf.checksum + b);
            uint32_t len;
            if (CmdBuf.len_state == 0) {
                if (b == 0xFF) {
                    CmdBuf.len_state = 1;
                    break;
                }
                len = b;
            } else if (CmdBuf.len_state == 1) {
                CmdBuf.long_len = b;
                CmdBuf.len_state = 2;
                break;
            } else {
                len = CmdBuf.long_len | (uint32_t(b) << 8);
            }
            CmdBuf.len_state = 0;
            CmdBuf.length = uint16_t(len);
            CmdBuf.index = 0;
            if (len == 0) {
                CmdBuf.state = 3;
                CmdDataMax = 64;
                NegotiationFlag = 0;
            } else {
                CmdBuf.state = 2;
            }
            break;
        }
        case 2:
            CmdBuf.checksum = uint8_t(CmdBuf.checksum + b);
            // Bytes beyond the buffer are counted (the checksum covers them) but never stored.
            if (CmdBuf.index < CMD_BUF_MAX) CmdBuf.data[CmdBuf.index] = b;
            CmdBuf.index++;
            if (CmdBuf.index >= CmdBuf.length) CmdBuf.state = 3;
            break;
        default:
            CmdBuf.checksum = uint8_t(CmdBuf.checksum + b);
            CmdBuf.state = 0;
            if (CmdBuf.checksum != 0) {
                putbyte(CMD_BADSUM);
                break;
            }
            if (CmdBuf.length > CMD_BUF_MAX) {
                // A frame the buffer cannot hold is refused whole.
                putbyte(CMD_NAK);
                break;
            }
            Cmd_BaudTimerTouch();
            Timer_Stop(CmdBuf.timer);
            return 1;
        }
    }
    return 0;
}

void put_packet(uint8_t command, uint16_t length, const uint8_t *data) {
    const bool long_form = NegotiationFlag != 0;
    const uint32_t n = BuildFrame(command, length, data, long_form);
    if (FromNode())
        ToNode(txframe.data(), n);
    else
        cmd_putnchar(txframe.data(), n);
    if (long_form && command == CMD_DATA && length == 0) {
        NegotiationFlag = 0;
        CmdDataMax = 64;
    }
}

void Cmd_WaitMore() {
    FPGA_GetFrt();
    Timer_Start(CmdBuf.timer, CmdBuf.timeout);
}

void Cmd_End() {
    CmdRun = CMD_IDLE;
    CmdMode = 0;
    CmdHostToPlc = 1;
    CmdBuf.one_byte = 0;
    Vcomm_LockSet(2);
    FPGA_GetFrt();
    Timer_Start(CmdBuf.timer, LockTimeout(5000));
}

void Cmd_Answer(uint8_t b) {
    if (!CmdGlobal) putbyte(b);
}

// ---- start-up and port --------------------------------------------------------------

void Cmd_PortInit(uint8_t code) {
    if (code == 0)
        SysHook_WarmReset();
    else if (code == 1) {
        const uint32_t port = HostPort(0);
        Vcomm_Call(port, &VcommDrv::Open, qncan_mode.data());
    }
}

void Cmd_Init() {
    if (Vcomm_Drv[ProgrammingPort].Open == nullptr) SCI2_Init(ProgrammingPort);
    if (CmdBaudTimer < TIMER_COUNT) Timer_Release(CmdBaudTimer);
    if (CmdBuf.timer < TIMER_COUNT) Timer_Release(CmdBuf.timer);
    CmdBuf = CmdRecord{};
    CmdBaudTimer = Timer_Allocate(1);
    CmdBuf.timer = uint8_t(Timer_Allocate(1));
    CmdBuf.timeout = FrameTimeout();
    CmdRun = CMD_IDLE;
    CmdMode = 0;
    CmdHost = ChkHost = 0;
    CmdHostToPlc = 1;
    CmdGlobal = 0;
    NegotiationFlag = 0;
    CmdDataMax = 64;
    CmdOldIdle = Vcomm_Idle;
    Cmd_PortInit(1);
    Fxp_Initialise();
}

uint32_t Cmd_Request(uint8_t id) {
    const uint32_t mode = id != OwnId() ? 1 : 0;
    if (Vcomm_Lock == 0) Vcomm_ModeSet(0, 0, mode, id);
    if (Vcomm_Lock && Vcomm_Host == 0 && Vcomm_Mode == mode) {
        CmdRun = CMD_IDLE;
        CmdHost = 0;
        ResetReceiver();
        return 1;
    }
    return 0;
}

// ---- one pass -------------------------------------------------------------------------

void Cmd_Check() {
    FPGA_GetFrt();
    if (Vcomm_Idle != CmdOldIdle) {
        CmdOldIdle = Vcomm_Idle;
        Etn_PutTx(112);
    }
    if (Timer_Status(CmdBaudTimer) == 4 && PlcWord(W_PORTPROTO) == 1) Cmd_PortInit(1);

    // A host with data: the Ethernet channel first, then host 0 (the modem
    // socket while it is active, else the programming port).
    uint32_t have = 0;
    if (HostChk(1)) {
        ChkHost = 1;
        have = 1;
    } else if (HostChk(0)) {
        ChkHost = 0;
        have = 1;
    }
    if (have && (Vcomm_Lock == 0 || Vcomm_Host != ChkHost || Vcomm_Mode == 2)) {
        Vcomm_ModeSet(0, ChkHost, 0, OwnId());
        if (Vcomm_Lock && Vcomm_Host == ChkHost && Vcomm_Mode == 0) {
            if (CmdHost != ChkHost || CmdRun == CMD_IDLE) {
                CmdHost = ChkHost;
                ResetReceiver();
                CmdRun = CMD_IDLE;
            }
        } else {
            HostFlush(ChkHost);
            const uint8_t busy = CMD_BUSY;
            HostPut(ChkHost, &busy, 1);
        }
    }

    const uint32_t st = Timer_Status(CmdBuf.timer);
    if (st == 2 && Vcomm_Lock && CmdRun == CMD_IDLE) {
        Timer_Start(CmdBuf.timer, CmdBuf.timeout);
    } else if (st == 4) {
        ConversationTimeout();
    }

    if (CmdRun == CMD_IDLE) {
        CmdBuf.timeout = FrameTimeout();
        CmdHostToPlc = 1;
        CmdBuf.one_byte = 0;
        CmdGlobal = 0;
        // Neither host had input a moment ago: no frame starts in this pass.
        if (!have && Vcomm_Mode != 2 && CmdHost <= 1) return;
        if (!get_packet()) return;
        const uint8_t cmd = CmdBuf.command < CMD_COUNT ? CmdBuf.command : 0;
        CmdRun = cmd;
        CmdMode = 0;

        const CmdInfoRow &row = CmdInfo[cmd];
        const uint8_t own = OwnId();
        uint32_t want = Vcomm_Mode;
        if (!row.any_id && CmdBuf.length == 0) {
            // No target id: a frame too short for any addressed command.
            putbyte(CMD_NAK);
            Cmd_End();
            return;
        }
        if (row.any_id) {
            // Served here; a CAN host keeps the port in its mode so that the
            // answer goes back over CAN.
            if (Vcomm_Mode != 2) {
                Vcomm_ModeSet(1, CmdHost, 0, own);
                want = 0;
            }
        } else if (Vcomm_Mode != 2) {
            const uint8_t id = CmdBuf.data[0];
            want = id == own ? 0 : 1;
            Vcomm_ModeSet(1, CmdHost, want, id == own ? own : id);
        }
        // A CAN command host (mode 2) claimed the port for itself and never
        // becomes CmdHost: the mode alone shows the port is its.
        const bool granted = Vcomm_Lock && Vcomm_Mode == want && (want == 2 || Vcomm_Host == CmdHost);
        if (!granted) {
            Cmd_End();
            return;
        }
        // Addressed to all controllers: command 9 is served as usual, every
        // other command only when it may be broadcast.
        if (cmd != 0x09 && CmdBuf.length > 0 && CmdBuf.data[0] == 255) {
            if (!row.broadcast) {
                Cmd_End();
                return;
            }
            CmdGlobal = 1;
        }
    }

    if (Vcomm_Mode == 1 && !CmdGlobal) {
        Cmd_Forward();
        return;
    }
    const uint8_t cmd = CmdRun;
    CmdInfo[cmd].handler();
    if (CmdGlobal && Vcomm_Mode == 1 && !(PlcWord(W_FAULT) & 0x10))
        SendFrameToNode(CmdBuf.command, CmdBuf.length, CmdBuf.data.data());
}
