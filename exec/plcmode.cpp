// Controller modes and the scan cycle: clock bits, clock, inputs, forces,
// the application, outputs and the per-scan services.
#include "exec/plcmode.h"

#include <algorithm>
#include <cstring>

#include "cmd/cmd.h"
#include "core/image/passwork.h"
#include "core/storage/memfile.h"
#include "core/image/plcreg.h"
#include "core/image/rtc.h"
#include "core/image/timebase.h"
#include "iec/services/drevano.h"
#include "io/io.h"
#include "ladder/ladder.h"
#include "media/datalog.h"
#include "media/fileblk.h"
#include "messaging/messaging.h"
#include "net/net.h"
#include "platform/plat.h"
#include "protocols/pmgr.h"

uint16_t first_run;
uint32_t scan_total;
std::array<uint8_t, 12> net_cfg;
int32_t (*Plc_Engine)() = LogicUpdate;

namespace {

// Clock-bit timers (16-bit tick arithmetic).
bool scanned;       // the first scan has run
uint16_t clk_prev;  // start of the previous scan (clock bits)
uint16_t clk_scan;  // scan-to-scan time
uint16_t clk_s3, clk_s4, clk_s5;
uint16_t scan_start;  // last scan start (scan-time words)

NetInitRec NetInit;

constexpr uint16_t kS3Half = 50, kS4Half = 500, kS5Half = 5000;
constexpr uint32_t W_PGM_CRC = 150, W_PGM_LEN = 138;

// Fixed I/O map of slot 0, row 0: %I1, %Q1, %AI1, %AQ1 as byte offsets.
constexpr std::size_t kIByte = (BA_I - REG_LIN_FIRST) / 8;
constexpr std::size_t kQByte = (BA_Q - REG_LIN_FIRST) / 8;
constexpr std::size_t kAIByte = (BA_AI - REG_LIN_FIRST) / 8;
constexpr std::size_t kAQByte = (BA_AQ - REG_LIN_FIRST) / 8;
constexpr uint32_t kBitsPerArea = 2048, kWordsPerArea = 512;

// Models that carry a station address (5 characters; at each position
// either model's character is accepted).
constexpr char kStationModels[2][6] = {"PBSLV", "DNSLV"};

bool IsStationModel(const IoSlotRec &r) {
    for (unsigned i = 0; i < 5; i++) {
        const char c = r.text[5 + i];
        if (c != kStationModels[0][i] && c != kStationModels[1][i]) return false;
    }
    return true;
}

// Words past the slot's configuration data read 0.
uint16_t ConfigWord(const IoSlotRec &r, unsigned n) { return Io_ConfigWord(r, n); }

void ToggleBit(uint8_t mask) { plc_reg[SBITS_LO] ^= mask; }

void ClockBits(uint16_t now) {
    if (!scanned) {
        scanned = true;
        plc_reg[SBITS_LO] |= S_CLOCKS;
        clk_prev = clk_s3 = clk_s4 = clk_s5 = now;
        clk_scan = 0;
        return;
    }
    clk_scan = uint16_t(now - clk_prev);
    clk_prev = now;
    if (uint16_t(now - clk_s3) >= kS3Half) {
        ToggleBit(S_CLK_10MS);
        clk_s3 = clk_scan <= kS3Half - 1 ? uint16_t(clk_s3 + kS3Half) : now;
    }
    if (uint16_t(now - clk_s4) >= kS4Half) {
        ToggleBit(S_CLK_100MS);
        clk_s4 = clk_scan <= kS4Half - 1 ? uint16_t(clk_s4 + kS4Half) : now;
    }
    if (uint16_t(now - clk_s5) >= kS5Half) {
        ToggleBit(S_CLK_1S);
        clk_s5 = uint16_t(clk_s5 + kS5Half);
    }
}

// Applies force entries [first, first + count) of the table, in order. The
// counts of a downloaded table are clamped to the table, and entries whose
// word lies outside the image are skipped.
void ApplyForces(bool outputs) {
    uint32_t inputs = LE_Get16(&io_force[0]);
    uint32_t outs = LE_Get16(&io_force[2]);
    inputs = std::min<uint32_t>(inputs, FORCE_MAX_ENTRIES);
    outs = std::min<uint32_t>(outs, FORCE_MAX_ENTRIES - inputs);
    const uint32_t first = outputs ? inputs : 0;
    const uint32_t count = outputs ? outs : inputs;
    for (uint32_t i = first; i < first + count; i++) {
        const uint8_t *e = &io_force[4 + 6 * i];
        const uint32_t word = LE_Get16(e);
        if (word >= PLC_REG_SIZE / 2) continue;
        PlcWordSet(word, uint16_t((PlcWord(word) & LE_Get16(e + 2)) | LE_Get16(e + 4)));
    }
}

bool ForcingOn() { return (plc_reg[SBITS_HI] & S_FORCE_ENABLED) != 0; }
bool IecBound() { return DrevanoRuntime && drevano_variables_enumerateded; }

// Station address of a station-address module: configuration word 0 is the
// address itself (at most 1024) or the bit address of a register holding it.
uint32_t StationAddress(const IoSlotRec &r) {
    const uint16_t w = ConfigWord(r, 0);
    if (w <= 1024) return w;
    uint8_t v[2] = {};
    PlcReg_Get(v, w, 16);
    return LE_Get16(v);
}

using DigitalFn = uint32_t (*)(uint8_t *, uint32_t, uint32_t, uint32_t);

// Moves the points of slots 0..2 between the modules and the image: inputs
// from %I1/%AI1, outputs from %Q1/%AQ1, each slot behind the previous one.
void ExchangePoints(bool outputs) {
    const DigitalFn digital = outputs ? IoPutQs : IoGetIs;
    const DigitalFn analog = outputs ? IoPutAQs : IoGetAIs;
    const std::size_t dbase = outputs ? kQByte : kIByte;
    const std::size_t abase = outputs ? kAQByte : kAIByte;
    uint32_t dbit = 0, ach = 0;
    for (uint32_t s = 0; s < IO_SLOTS; s++) {
        const IoSlotRec &r = io_cfg[s];
        const uint32_t bits = (uint32_t(outputs ? r.dq : r.di) + 7) & ~7u;
        const uint32_t chans = outputs ? r.aq : r.ai;
        if (bits == 0 && chans == 0) continue;  // no points to move
        if (IsStationModel(r) && r.config != nullptr) {
            const uint32_t st = StationAddress(r);
            if (st < 1 || st > 125) continue;
            if (bits) {
                uint8_t *p = PlcReg_Ptr(ConfigWord(r, outputs ? 3 : 1), bits);
                if (p) digital(p, s, 128, bits);
            }
            if (chans) {
                uint8_t *p = PlcReg_Ptr(ConfigWord(r, outputs ? 7 : 5), 16 * chans);
                if (p) analog(p, s, uint8_t(((bits / 8 + 1) / 2 + 8) * 2), chans);
            }
            continue;
        }
        const uint32_t b = std::min(bits, kBitsPerArea - dbit);
        if (b) digital(&plc_reg[dbase + dbit / 8], s, 0, b);
        dbit += b;
        const uint32_t c = std::min(chans, kWordsPerArea - ach);
        if (c) analog(&plc_reg[abase + 2 * ach], s, 0, c);
        ach += c;
    }
}

void MirrorProgram() {
    PlcWordSet(W_PGM_CRC, MF_Crc(ladder_bl.data()));
    PlcDwordSet(W_PGM_LEN, MF_Len(ladder_bl.data()));
}

// Makes the received program current (no IEC application in use).
void TakeNewProgram() {
    const std::size_t len = std::min<std::size_t>(MF_Len(ladder_olp.data()), LADDER_BL_SIZE - MF_HDR);
    std::memcpy(ladder_bl.data(), ladder_olp.data(), MF_HDR);
    LE_Put32(&ladder_bl[4], uint32_t(len));
    std::memcpy(&ladder_bl[MF_HDR], &ladder_olp[MF_HDR], len);
    MirrorProgram();
}

// The IEC runtime runs the workbench's change already: the program is
// rebuilt around it and stored, and the change ends (0x100: it failed, the
// stored program stays).
void EndIecChange(uint16_t &w) {
    if (MF_TakeIecChange()) {
        w &= 0xFF00;
        Drevano_StartGen++;  // the location table may be new
    } else {
        w = 0x100;
    }
    MirrorProgram();
    OLPMode = 0;
}

// On-line change control word 54272.
void OnlineChange() {
    uint16_t w = PlcWord(W_OLC);
    if (!OLPMode) {
        if ((w & 0x05) == 0x05) {
            SaveLadder();
            PlcWordSet(W_OLC, uint16_t(w & 0xFF00));
        }
        return;
    }
    if (!(w & 0x01)) return;
    if (w & 0x02) {
        if (w & 0x10) {
            w &= uint16_t(~0x12);
        } else if (w & 0x08) {
            w = uint16_t((w | 0x14) & ~0x08);
            if (DrevanoRuntime && MF_ProgramCarriesIec()) {
                EndIecChange(w);
            } else {
                TakeNewProgram();
            }
        } else {
            w |= 0x08;
        }
    } else if (w & 0x20) {
        if (w & 0x10) {
            w = 0;
        } else if (w & 0x08) {
            w = uint16_t((w & ~0x0C) | 0x10);
            LoadLadder();
            MirrorProgram();
        } else {
            w |= 0x08;
        }
    }
    PlcWordSet(W_OLC, w);
}

void ScanTime(uint16_t now) {
    if (!(plc_reg[SBITS_LO] & S_FIRST_SCAN) && !(plc_reg[SBITS_HI] & S_RES_SCAN)) {
        const uint16_t t = uint16_t(now - scan_start);
        if (scan_total == 0) {
            PlcWordSet(W_SCAN_AVG, t);
            scan_total = 16u * t;
        } else {
            scan_total = scan_total - PlcWord(W_SCAN_AVG) + t;
            PlcWordSet(W_SCAN_AVG, uint16_t(scan_total / 16));
        }
        PlcWordSet(W_SCAN_MIN, std::min(PlcWord(W_SCAN_MIN), t));
        PlcWordSet(W_SCAN_MAX, std::max(PlcWord(W_SCAN_MAX), t));
    }
    scan_start = now;
}

void RunApplication() {
    const int32_t r = Plc_Engine();
    if (r == -1) return;
    const uint16_t w = PlcWord(W_OLC);
    if (OLPMode && (w & 0x01)) {
        // A change that cannot run goes back to the stored program.
        if (w & 0x04) LoadLadder();
        PlcWordSet(W_OLC, 0x100);
        MirrorProgram();
        return;
    }
    PlcDwordSet(W_BADOP, uint32_t(r));
    PlcWordSet(W_FAULT, PlcWord(W_FAULT) | FAULT_BADOP);
    SetPlcMode(0);
}

bool EmailModule(uint16_t id) {
    static constexpr uint16_t kIds[] = {0xDF0F, 0xBF0F, 0x6F0F, 0xEF0F, 0x6E0F, 0xEE0F, 0xAF0F, 0xAE0F};
    return std::find(std::begin(kIds), std::end(kIds), id) != std::end(kIds);
}

void KillFileJobs() { File_KillJobs(); }

}  // namespace

void PlcInit(uint32_t cold) { PlcRegInit(cold); }

void IoStart() {
    PlcTmpClear();
    PlcOldInit();
    scan_total = 0;
    PlcWordSet(W_SCAN_MIN, 65535);
    PlcWordSet(W_SCAN_MAX, 0);
    PlcWordSet(W_SCAN_AVG, 0);
    plc_reg[SBITS_LO] |= S_FIRST_SCAN;
    Lad_TalkInitArm();
    for (uint8_t slot : {0, 1}) {
        IoDriverMsg msg{};
        msg.code = IO_CODE_START;
        msg.slot = slot;
        io_driver(&msg);
    }
}

void RestoreSavedMode() {
    const uint8_t saved_mode = plc_reg[2 * W_MODE];
    PlcWordSet(W_MODE, 0);
    SetPlcMode(saved_mode);
    // Entering 2 or 3 from stopped started the I/O already; 4 did not (it is
    // otherwise entered warm from 2 or 3), so a restart in mode 4 starts it here.
    if (PlcWord(W_MODE) > 1) IoStart();
}

void SetPlcMode(uint32_t mode) {
    const uint16_t current = PlcWord(W_MODE);
    uint32_t next = mode;
    if (mode != 3 && (PlcWord(W_FAULT) & FAULT_FORCE_STOP)) {
        next = 0;
    } else if (mode > 4) {
        first_run = 1;
        return;
    }
    if (next == current) {
        first_run = 1;
        return;
    }
    PassWork_NetChange();  // the network services look at the mode
    if (first_run == 1) {
        // A reset during the change restarts in the new mode.
        PlcWordSet(W_MODE, uint16_t(next));
        AutoSaveRegisters();
        PlcWordSet(W_MODE, current);
    }
    if (next != 2) OLPMode = 0;
    if (current == 0) {
        if (DrevanoRuntime) {
            DrevanoStop();
            DrevanoStart();
        }
        PMGR_Start();
        SMS_Start();
        LOG_Start();
    }
    if (next == 0) {
        IoStop();
        PMGR_Stop();
        SMS_Stop();
        LOG_Stop();
        if (IecBound()) iVmAlive = 3;
        KillFileJobs();
    }
    if (next == 2 || next == 3) {
        if (current == 4) {
            plc_reg[SBITS_HI] |= S_RES_SCAN;
            PlcWordSet(W_SCAN_MIN, 65535);
            PlcWordSet(W_SCAN_MAX, 0);
            PlcWordSet(W_SCAN_AVG, 0);
            scan_total = 0;
        } else {
            IoStart();
        }
    }
    const bool leave4 = current == 4 && (next == 0 || next == 1);
    const bool leave_run = (current == 2 || current == 3) && next != 4;
    if (leave4 || leave_run) {
        PlcWordSet(W_SCAN_AVG, 0);
        scan_total = 0;
        if (TalkOpened(0)) Cmd_PortInit(1);
        TalkClosed(0);
        Cmd_Override = 0;
    }
    PlcWordSet(W_MODE, uint16_t(next));
    first_run = 1;
}

void PlcScan() {
    const uint16_t now = uint16_t(FPGA_GetFrt());
    if (plc_reg[SBITS_HI] & S_SUS_SCAN) DrevanoS9 = 1;
    ClockBits(now);
    Rtc_ScanUpdate();
    CANOpenRxMsg();
    if (EmailModule(slotinfo[1].id)) EtnEmailScan(0);
    if (IecBound()) {
        DrevanoUpdateWordSRRegs();
        DrevanoUpdateBitSysRegs();
    }
    const uint16_t mode = PlcWord(W_MODE);
    if (mode == 0) {
        CANOpenTxMsg();
        Etn_UpdateStatus();
        return;
    }
    const bool io_ok = (plc_reg[SBITS_LO] & S_IOCFG_OK) != 0;
    if (io_ok) ExchangePoints(false);
    if (ForcingOn()) ApplyForces(false);
    if (IecBound()) {
        DrevanoUpdateBitInputRegs();
        DrevanoUpdateWordInputRegs();
    }
    if (mode == 2 || mode == 3) {
        ScanTime(now);
        OnlineChange();
        // A program being downloaded is never executed half-written.
        if (!(Cmd_PgmHold && !OLPMode)) RunApplication();
    }
    if (PlcWord(W_MODE) != 0) {
        if (ForcingOn()) ApplyForces(true);
        if (io_ok) {
            ExchangePoints(true);
            for (uint32_t s = 0; s < IO_SLOTS; s++) {
                if (slotinfo[s].id != 255) IoService(s);
            }
        }
        if (IecBound()) {
            DrevanoUpdateBitOutputRegs();
            DrevanoUpdateWordOutputRegs();
        }
        PMGR_Scan();
        SMS_Scanner();
        LOG_Update();
        DLOG_Update();
    }
    CANOpenTxMsg();
    Etn_UpdateStatus();
}

void Plc_IecChangeApplied() {
    const uint16_t mode = PlcWord(W_MODE);
    if (mode == 2 || mode == 3) {
        OLPMode = 1;
        return;
    }
    // No scan runs the application to execute it: it becomes the stored
    // program now, or the next run would start the stored one again and a
    // later change would store this one behind the runtime's back.
    if (!DrevanoRuntime || !MF_ProgramCarriesIec()) return;
    uint16_t w = PlcWord(W_OLC);
    EndIecChange(w);
    PlcWordSet(W_OLC, w);
}

bool IoConfig() { return Io_SlotCheck() != 0; }

void NetConfig() {
    auto defaults = [] {
        PlcWordSet(188, 1);
        PlcWordSet(W_NETID_CFG, 0);
        net_cfg.fill(0);
        net_cfg[1] = 1;
        LE_Put16(&net_cfg[6], 3);
    };
    if (PlcDword(146) == 0) {
        defaults();
        Plc_NetInit();
        return;
    }
    const uint8_t *cfg = &net_config_bl[MF_HDR];
    PlcWordSet(W_NETID_CFG, cfg[0]);
    PlcWordSet(188, cfg[1] == 0 ? 1 : cfg[1]);
    if (cfg[0] & 0x80) {
        PlcWordSet(W_NETID_CFG, cfg[0] & 0x7F);
        net_cfg[0] = uint8_t(cfg[0] & 0x7F);
        net_cfg[1] = uint8_t(PlcWord(188));
        std::memcpy(&net_cfg[2], cfg + 2, 10);
        if (LE_Get16(&net_cfg[6]) != 0) Plc_NetInit();
        return;
    }
    defaults();
    Plc_NetInit();
}

void Plc_NetInit() {
    NetInit = {};
    NetInit.port = &fpga_port;
    NetInit.tick = 100;
    NetInit.rate = uint8_t(PlcWord(W_CANRATE));
    NetInit.c2 = 2;
    NetInit.c3 = 3;
    NetInit.cfg_rate = uint8_t(LE_Get16(&net_cfg[6]));
    NetInit.node_id = uint8_t(PlcWord(W_NETID));
    NetInit.id_count = PlcWord(188);
    NetInit.flag = (PlcWord(W_NETID_CFG) & 0x02) ? 1 : 0;
    NodeId_Flag = 0;
    CANOpenInit(&NetInit);
    NetStatsClear = 1;
    _Can_SetEvent(0, 0, nullptr);
}
