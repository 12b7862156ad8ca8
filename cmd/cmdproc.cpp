// Command protocol, upper half: the 39 commands of the programming tool.
// Every handler checks the bytes the frame actually carried before it uses
// them; a frame too short for its command is refused.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/image/bytes.h"
#include "cmd/cmd.h"
#include "cmd/datagram.h"
#include "core/storage/memfile.h"
#include "core/storage/nvram.h"
#include "core/image/plcreg.h"
#include "core/image/syshook.h"
#include "core/image/timebase.h"
#include "core/image/util.h"
#include "io/vcomm.h"
#include "iec/services/drevano.h"
#include "core/storage/backup.h"
#include "io/io.h"
#include "media/fxp.h"
#include "net/net.h"

uint8_t CmdGrfxType;
uint8_t CmdFileType;
uint8_t Cmd_FileOpen;

namespace {

// Transfer state of the multi-frame commands.
uint32_t xfer_cursor;     // offset into the file's data
uint32_t xfer_total;      // bytes to upload
const uint8_t *xfer_src;  // upload source
uint16_t xfer_frame;      // size of the frame last sent
uint32_t xfer_start;      // time base when the upload was accepted
std::array<uint8_t, 8> xfer_header;
std::array<uint8_t, 1026> scratch;

uint8_t D(uint32_t i) { return i < CmdBuf.length ? CmdBuf.data[i] : 0; }
bool Has(uint32_t n) { return CmdBuf.length >= n; }

void Refuse() {
    Cmd_Answer(CMD_NAK);
    Cmd_End();
}
void Accept() {
    Cmd_Answer(CMD_ACK);
    Cmd_End();
}
// A register address outside the image.
void OutsideImage() {
    Cmd_Answer(CMD_BADSUM);
    Cmd_End();
}
void AnswerFrame(const uint8_t *data, uint16_t n) {
    if (!CmdGlobal) put_packet(CMD_DATA, n, data);
    Cmd_End();
}

const FileInfo *Info(uint32_t type) {
    if (type >= FILE_TYPES || file_info[type].area == nullptr || file_info[type].area_size <= MF_HDR) return nullptr;
    return &file_info[type];
}
uint8_t *Data(const FileInfo &fi) { return fi.area + MF_HDR; }
uint32_t Room(const FileInfo &fi) { return uint32_t(fi.area_size - MF_HDR); }

uint32_t StoredLength(const FileInfo &fi) {
    const uint32_t n = fi.len_var ? LE_Get32(fi.len_var) : 0;
    return std::min(n, Room(fi));
}
uint16_t StoredCrc(const FileInfo &fi) { return fi.crc_var ? LE_Get16(fi.crc_var) : 0; }

void SetHeader(const FileInfo &fi, uint16_t crc, uint32_t len) {
    if (fi.crc_var) {
        // A block keeps a 32-bit CRC word; a register variable is one word.
        if (fi.crc_var == fi.area)
            LE_Put32(fi.crc_var, crc);
        else
            LE_Put16(fi.crc_var, crc);
    }
    if (fi.len_var) LE_Put32(fi.len_var, len);
    if (fi.crc_mirror >= 0) PlcWordSet(uint32_t(fi.crc_mirror), crc);
    if (fi.len_mirror >= 0) PlcDwordSet(uint32_t(fi.len_mirror), len);
}

// ---- 0x00, 0x06 ... : refused --------------------------------------------------
void do_default() { Refuse(); }
void dummy_cmd() { Refuse(); }

// ---- 0x01 get_mode -----------------------------------------------------------------
void get_mode() {
    const uint8_t m = OLPMode ? 3 : uint8_t(PlcWord(W_MODE));
    AnswerFrame(&m, 1);
}

// ---- 0x02 set_mode -----------------------------------------------------------------
void set_mode() {
    if (!Has(2)) return Refuse();
    const uint8_t mode = D(1);
    if (Cmd_Downloading && mode == 2) SaveProgram();
    OLPMode = 0;
    if (mode == 3) {
        PlcWordSet(W_OLC, 0);
        OLPMode = 1;
    } else {
        SysHook_SetPlcMode(mode);
    }
    // The program was stored first; the download is over.
    if (Cmd_Downloading && mode == 2) CmdPanel(1);
    // A mode that could not be taken (a fault forces stop) is refused; a value
    // that names no mode changes nothing and is accepted.
    if (mode != 3 && mode <= 4 && PlcWord(W_MODE) != mode) return Refuse();
    Accept();
}

// ---- data frames towards the controller (verify, download) ------------------------------
// Accepts the opening frame; data frames follow.
void DataPhaseBegin() {
    Cmd_Answer(CMD_ACK);
    CmdMode = 1;
    Cmd_WaitMore();
}
// True with a data frame in CmdBuf; otherwise the command waits on.
bool NextDataFrame() {
    if (!get_packet()) return false;
    if (CmdBuf.command != CMD_DATA) {
        Cmd_WaitMore();
        return false;
    }
    return true;
}

// ---- 0x03 verify_memory ------------------------------------------------------------
void verify_memory() {
    if (CmdMode == 0) {
        const uint32_t type = Has(2) ? uint32_t(D(1)) : uint32_t(MFT_LADDER);
        if (type == MFT_REFUSED || type == MFT_SS_INFO || type >= FILE_TYPES || Info(type) == nullptr) return Refuse();
        CmdPanel(1);
        CmdFileType = uint8_t(type);
        xfer_cursor = 0;
        return DataPhaseBegin();
    }
    if (!NextDataFrame()) return;
    if (CmdBuf.length == 0) return Accept();
    const FileInfo &fi = *Info(CmdFileType);
    const uint32_t n = CmdBuf.length;
    if (uint64_t(xfer_cursor) + n > Room(fi) || std::memcmp(Data(fi) + xfer_cursor, CmdBuf.data.data(), n) != 0)
        return Refuse();
    xfer_cursor += n;
    Cmd_Answer(CMD_ACK);
    Cmd_WaitMore();
}

// ---- 0x04 download_memory ------------------------------------------------------------

// Closes a file whose data have all arrived.
void DownloadClose() {
    Cmd_FileOpen = 0;
    const FileInfo &fi = *Info(CmdFileType);
    const uint16_t crc = crc16(Data(fi), xfer_cursor);
    SetHeader(fi, crc, xfer_cursor);
    switch (CmdFileType) {
    case MFT_LADDER:
        PlcWordSet(W_FAULT, PlcWord(W_FAULT) & uint16_t(~0x0104));
        nv_get_features();
        // In run mode the program is stored as in stop mode, and the IEC
        // runtime stopped or started for what it carries, before the scan
        // takes it up.
        if (PlcWord(W_MODE) == 2 && !OLPMode) {
            SaveLadder();
            plc_reg[SBITS_LO] |= S_FIRST_SCAN;  // it starts as on its first scan (its own register layout, timers)
        }
        Cmd_PgmHold = 0;  // complete: the scan runs the new program
        break;
    case MFT_FORCE:
        std::memcpy(io_force.data(), Data(fi), std::min<uint32_t>(xfer_cursor, uint32_t(io_force.size())));
        break;
    case MFT_SETUP: Etn_UpdateSecurity(); break;
    case MFT_IO_CONFIG:
        CmdConfigChanged = 1;
        if (const FileInfo *net = Info(MFT_NET_CONFIG)) SetHeader(*net, 0, 0);
        break;
    case MFT_NET_CONFIG:
        CmdConfigChanged = 1;
        NetIoConfig();
        break;
    case MFT_MAC_IMAGE: SysHook_SaveAndSetMACID(); break;
    case MFT_CANOPEN: CANOpen_dwnld = 0; break;
    default: break;
    }
    if (!(Vcomm_Lock & 2u)) CmdPanel(1);
}

// A download that would not fit is refused; the file is put back as it was
// stored (only that file: a running IEC application is not started again
// for another file), so that nothing stored or running is lost.
void DownloadOverflow() {
    if (Cmd_Downloading) {
        Cmd_Downloading = 0;
        PlcWordSet(129, 0);
        PlcWordSet(130, 0);
    }
    Cmd_FileAbandoned(false, "refused as too long");
    if (Cmd_PgmHold) Cmd_ProgramAbandoned();
    Refuse();
}

void download_memory() {
    if (CmdMode == 0) {
        uint32_t type = Has(2) ? uint32_t(D(1)) : uint32_t(MFT_LADDER);
        if (type == MFT_LADDER && OLPMode) type = MFT_OLP;
        if (type == MFT_REFUSED || type == MFT_SS_INFO || type >= FILE_TYPES || Info(type) == nullptr ||
            Cmd_FileLimit(type) == 0)
            return Refuse();
        const bool iec_hold = DrevanoRuntime && (!drevano_variables_enumerateded || type == MFT_OLP);
        if (type != MFT_FORCE && !OLPMode && !iec_hold) CmdPanel(0);
        CmdFileType = uint8_t(type);
        CmdGrfxType = (type >= MFT_GRAPHICS_FIRST && type <= MFT_GRAPHICS_LAST) ? 1 : 0;
        xfer_cursor = 0;
        const FileInfo &fi = *Info(type);
        // From here on the program area is incomplete until its last frame.
        if (type == MFT_LADDER) Cmd_PgmHold = 1;
        if (fi.erase) SYS_BlockErase(fi.area, uint32_t(fi.erase_kb) * 1024u);
        if (type == MFT_CANOPEN) CANOpen_dwnld = 1;
        Cmd_FileOpen = 1;
        return DataPhaseBegin();
    }
    if (!NextDataFrame()) return;
    if (CmdBuf.length == 0) {
        DownloadClose();
        return Accept();
    }
    const FileInfo &fi = *Info(CmdFileType);
    const uint32_t n = CmdBuf.length;
    if (uint64_t(xfer_cursor) + n > Cmd_FileLimit(CmdFileType)) return DownloadOverflow();
    uint8_t *dst = Data(fi) + xfer_cursor;
    // An odd block is written with a pad byte after it, unless it ends at
    // the type's limit: the set-up area (type 4) stops at 80 bytes, and the
    // byte after it is the battery-valid marker, not part of the area.
    if ((n & 1u) && xfer_cursor + n + 1 > Cmd_FileLimit(CmdFileType)) {
        // No room for the pad byte of an odd block at the very end.
        nv_write(dst, CmdBuf.data.data(), n - 1);
        dst[n - 1] = CmdBuf.data[n - 1];
    } else {
        nv_write(dst, CmdBuf.data.data(), n);
    }
    xfer_cursor += n;
    Cmd_Answer(CMD_ACK);
    Cmd_WaitMore();
}

// ---- 0x05 upload_memory and 0x0B get_global_data ---------------------------------------

void UploadSend() {
    xfer_frame = uint16_t(std::min<uint32_t>(CmdDataMax, xfer_total - xfer_cursor));
    put_packet(CMD_DATA, xfer_frame, xfer_src + xfer_cursor);
    Cmd_WaitMore();
}

// Steps 1.. of an upload whose source is set.
void UploadStep() {
    if (CmdMode == 1) {
        if (uint32_t(FPGA_GetFrt() - xfer_start) < 2500) return;
        CmdMode = 2;
        UploadSend();
        return;
    }
    if (!chkbyte()) return;
    const uint8_t b = getbyte();
    if (b == CMD_BADSUM) return UploadSend();
    if (b == CMD_ACK) {
        if (xfer_frame == 0) return Cmd_End();
        xfer_cursor += xfer_frame;
        Cmd_BaudTimerTouch();
        return UploadSend();
    }
    if (b != CMD_NAK) flushbyte();
    Cmd_End();
}

void UploadBegin(const uint8_t *src, uint32_t total) {
    xfer_src = src;
    xfer_total = total;
    xfer_cursor = 0;
    xfer_frame = 0;
    Cmd_Answer(CMD_ACK);
    xfer_start = FPGA_GetFrt();
    CmdMode = 1;
}

void upload_memory() {
    if (CmdMode != 0) return UploadStep();
    const uint32_t type = Has(2) ? uint32_t(D(1)) : uint32_t(MFT_LADDER);
    const bool header = Has(3) && D(2) != 0;
    if (type >= FILE_TYPES || Info(type) == nullptr) return Refuse();
    if (type == MFT_SS_INFO) MF_SsInfoRefresh();
    const FileInfo &fi = *Info(type);
    if (header) {
        LE_Put32(xfer_header.data(), StoredCrc(fi));
        LE_Put32(xfer_header.data() + 4, fi.len_var ? LE_Get32(fi.len_var) : 0);
        UploadBegin(xfer_header.data(), 8);
    } else {
        UploadBegin(Data(fi), StoredLength(fi));
    }
}

// The global data are the controller's global-data words %AIG and %AQG.
void get_global_data() {
    if (CmdMode != 0) return UploadStep();
    if (!Has(3) || D(1) != 1 || D(2) == 0 || D(2) == 1) return Refuse();
    constexpr uint32_t first = (BA_AIG - REG_LIN_FIRST) / 8;  // %AIG1, followed by %AQG1..32
    constexpr uint32_t room = 2 * 32 * 2;
    const uint32_t n = Has(4) ? 2u * D(3) : 2u;
    UploadBegin(&plc_reg[first], std::min<uint32_t>(n, room));
}

// ---- 0x08 get_version, 0x09/0x0A local id --------------------------------------------
void get_version() {
    const uint16_t v = PlcWord(W_FWNUM), m = PlcWord(W_FWVER);
    uint8_t a[5];
    if (v < 255) {
        a[0] = uint8_t(v);
        a[1] = uint8_t(m / 100);
        a[2] = uint8_t(m % 100);
        return AnswerFrame(a, 3);
    }
    a[0] = 0xFF;
    a[1] = uint8_t(m / 100);
    a[2] = uint8_t(m % 100);
    a[3] = uint8_t(v);
    a[4] = uint8_t(v >> 8);
    AnswerFrame(a, 5);
}

void get_local_id() {
    const uint8_t id = uint8_t(PlcWord(W_NETID));
    AnswerFrame(&id, 1);
}

void set_local_id() {
    if (!Has(1)) return Refuse();
    const uint8_t id = D(0);
    if (id >= 1 && id <= 127 && id != uint8_t(PlcWord(W_NETID))) {
        if (Vcomm_Mode == 0) Vcomm_ModeSet(1, CmdHost, 0, id);
        uint8_t v[2] = {id, 0};
        PlcReg_Set(SR_ADDR(29), v, 16);
    }
    Accept();
}

void set_global_data() { Refuse(); }

// ---- 0x13 .. 0x15 ----------------------------------------------------------------------
void protect_nvram() { Accept(); }
void reset_plc() {
    Accept();
    SYS_Wait(10);
    SysHook_WarmReset();
}
void press_key() { Refuse(); }

// ---- registers -------------------------------------------------------------------------

// The bit address of a register frame and the data index after it; false
// when the frame is too short for the form it uses.
bool RegAddress(uint32_t &address, uint32_t &next) {
    if (!Has(4)) return false;
    const uint16_t r = LE_Get16(&CmdBuf.data[2]);
    if (r == 1776 || r == 1777) {
        if (!Has(6)) return false;
        address = (r == 1776 ? 0x10000u : 0x20000u) + LE_Get16(&CmdBuf.data[4]);
        next = 6;
    } else if (r == 0) {
        if (!Has(8)) return false;
        address = LE_Get32(&CmdBuf.data[4]);
        next = 8;
    } else {
        address = r;
        next = 4;
    }
    return true;
}

constexpr uint32_t kIecBackup = REG_IEC_HANDLE;  // the handle with every field 0
bool IecBackupAddress(uint32_t a) { return a == kIecBackup && DrevanoRuntime && drevano_variables_enumerateded; }

// The register address of a get or set and where its data begin; false when
// the command is answered already: refused, or the IEC backup address, which
// runs backup instead.
bool RegTarget(uint32_t &a, uint32_t &next, bool (*backup)()) {
    if (!RegAddress(a, next)) {
        Refuse();
        return false;
    }
    if (IecBackupAddress(a)) {
        backup();
        Accept();
        return false;
    }
    return true;
}

void get_plc_reg() {
    uint32_t a, next;
    if (!RegTarget(a, next, z7_reg_store_backup)) return;
    const uint32_t width = D(1);
    const uint32_t bytes = width == 1 ? 1 : width / 8;
    const uint32_t most = NegotiationFlag ? CMD_BUF_MAX : 254;
    if (bytes == 0 || bytes > most) return Refuse();
    std::memset(scratch.data(), 0, bytes);
    if (!PlcReg_Get(scratch.data(), a, width)) return OutsideImage();
    // With an on-line change armed the mode word reads 3: every bit of it the
    // read covers, so that one bit answers 0 or 1 and a wider read carries 3
    // at the word's place (never 3 written over a single-bit answer).
    if (OLPMode) {
        const uint32_t bits = width == 1 ? 1 : bytes * 8;
        for (uint32_t i = 0; i < bits; i++) {
            const uint32_t at = a + i;
            if (at < SR_ADDR(5) || at >= SR_ADDR(5) + 16) continue;
            const uint8_t mask = uint8_t(1u << (i % 8));
            if ((3u >> (at - SR_ADDR(5))) & 1u)
                scratch[i / 8] |= mask;
            else
                scratch[i / 8] &= uint8_t(~mask);
        }
    }
    AnswerFrame(scratch.data(), uint16_t(bytes));
}

void cal_module() {
    const uint32_t n = std::min<uint32_t>(CmdBuf.length, 255);
    scratch[0] = uint8_t(n);
    std::memcpy(&scratch[1], CmdBuf.data.data(), n);
    IoCal(scratch.data());
    AnswerFrame(&scratch[1], scratch[0]);
}

void set_plc_reg() {
    uint32_t a, next;
    if (!RegTarget(a, next, z7_reg_load_backup)) return;
    const uint32_t width = D(1);
    if (width == 0) {
        PlcRegClear();
        return Accept();
    }
    const uint32_t bytes = width == 1 ? 1 : (width + 7) / 8;
    if (!Has(next + bytes)) return Refuse();
    const bool iec = a >= kIecBackup;
    if (!iec && PlcReg_Ptr(a, width) == nullptr) return OutsideImage();
    const uint8_t *value = &CmdBuf.data[next];
    // The port set-up words re-configure the port: answer before the write.
    if (a == SR_ADDR(30) || a == SR_ADDR(34)) {
        Cmd_Answer(CMD_ACK);
        std::memcpy(scratch.data(), value, bytes);
        Cmd_End();
        PlcReg_Set(a, scratch.data(), width);
        return;
    }
    const uint32_t ok = PlcReg_Set(a, value, width);
    Cmd_Answer(ok ? CMD_ACK : CMD_NAK);
    Cmd_End();
}

// ---- port ---------------------------------------------------------------------------------

void set_comm_lock() {
    if (!Has(2)) return Refuse();
    do_comm_lock();
    Cmd_Answer(CMD_ACK);
    if (D(1) == 0) CmdPanel(1);
    Cmd_End();
}

// The port of the host holding the conversation; a host without a port
// record of its own (the Ethernet channel) speaks about host 0's port.
uint32_t ConvPort() {
    const uint32_t own = CmdHost < CMD_HOSTS ? Cmd_HostPort[CmdHost] : VCOMM_NO_PORT;
    return own != VCOMM_NO_PORT ? own : Cmd_HostPort[0];
}

void get_baud_rate() {
    const uint8_t *rec = Vcomm_ModeRec(ConvPort());
    if (rec == nullptr) return Refuse();
    const uint8_t code = rec[0];
    AnswerFrame(&code, 1);
}

void set_baud_rate() {
    if (!Has(2)) return Refuse();
    const uint32_t port = ConvPort();
    const uint8_t *now = Vcomm_ModeRec(port);
    if (now == nullptr || Vcomm_Drv[port].Open == nullptr) return Refuse();
    Cmd_Answer(CMD_ACK);
    // The driver lets the answer leave at the old speed before it re-configures.
    VcommMode rec;
    std::copy(now, now + rec.size(), rec.begin());
    rec[0] = D(1);
    Vcomm_Drv[port].Open(port, rec.data());
    const bool cmd_mode = std::equal(rec.begin() + 1, rec.end(), qncan_mode.begin() + 1);
    if (cmd_mode && rec[0] != qncan_mode[0]) {
        FPGA_GetFrt();
        Timer_Start(CmdBaudTimer, std::max<uint32_t>(PlcWord(W_CMD_LOCK), 9000));
    } else {
        Timer_Stop(CmdBaudTimer);
    }
    Cmd_End();
}

// ---- file transfer -------------------------------------------------------------------------

void parse_fxp_cmd() {
    int32_t extra = -1;
    int32_t r;
    if (CmdMode == 0) {
        const uint32_t n = CmdBuf.length > 1 ? std::min<uint32_t>(CmdBuf.length - 1u, 512) : 0;
        std::memcpy(scratch.data(), CmdBuf.data.data() + 1, n);
        scratch[n] = 0;
        r = Fxp_DoParseCommand(reinterpret_cast<const char *>(scratch.data()), &extra);
        if (r != -1) return Refuse();
        CmdMode = 1;
        return;
    }
    r = Fxp_DoParseCommand(nullptr, &extra);
    if (r == -1) return;
    uint8_t a[6];
    LE_Put16(a, uint16_t(r));
    if (extra != -1) {
        LE_Put32(a + 2, uint32_t(extra));
        return AnswerFrame(a, 6);
    }
    AnswerFrame(a, 2);
}

void write_fxp_data() {
    const uint32_t n = CmdBuf.length > 1 ? CmdBuf.length - 1u : 0;
    const int32_t r = Fxp_DoWriteData(CmdBuf.data.data() + 1, n);
    if (r == -1) return;
    if (r == 651) return Accept();
    Refuse();
}

void read_fxp_data() {
    const uint32_t most = std::min<uint32_t>(CmdDataMax, CMD_BUF_MAX);
    const int32_t r = Fxp_DoReadData(scratch.data(), most);
    if (r == -1) return;
    // Counts and refusals are kept apart: a refusal comes back negated and
    // never goes out as data bytes.
    if (r >= 0 && uint32_t(r) <= most) return AnswerFrame(scratch.data(), uint16_t(r));
    Refuse();
}

// ---- 0x23 cmd_negotiation, 0x26 z7_debug_switch -----------------------------------------------

void cmd_negotiation() {
    if (!Has(3)) return Refuse();
    const uint16_t size = LE_Get16(&CmdBuf.data[1]);
    if (CmdHost != 0 || size < 64 || size > CMD_BUF_MAX) return Refuse();
    // A CAN host receives each answer frame (long form: 5 bytes around the
    // data) as one block of at most 258 bytes with the sender's id in front;
    // a longer frame would outlast the frame time-out on its way out.
    if (Vcomm_Mode == 2 && size + 5u > 257u) return Refuse();
    CmdDataMax = size;
    NegotiationFlag = size != 64 ? 1 : 0;
    Accept();
}

void z7_debug_switch() {
    Cmd_Answer(CMD_ACK);
    if (Vcomm_Host == 0 || Vcomm_Host == 3) {
        Timer_Stop(CmdBaudTimer);
        if (Vcomm_Host == 0) {
            // The runtime's protocol goes into the port's own mode record.
            if (uint8_t *rec = Vcomm_ModeRec(Cmd_HostPort[0])) rec[5] = uint8_t((rec[5] & ~0x09) | 0x06);
            is_z7protocol = 1;
            Z7_Connect_Serial();
        }
    } else if (Vcomm_Host == 1) {
        Z7_Connect_Ethernet();
    }
    Cmd_End();
}

}  // namespace

// ---- shared with the frame layer ------------------------------------------------------------

void do_comm_lock() {
    const uint8_t op = D(1);
    if (op == 0) NetIoConfig();
    if (op == 1)
        Vcomm_LockSet(3);
    else if (op == 0)
        Vcomm_LockSet(4);
    if (Has(4)) {
        const uint16_t v = LE_Get16(&CmdBuf.data[2]);
        if (v >= 500) {
            PlcWordSet(W_CMD_LOCK, v);
            if (CmdBuf.length == 4) PlcWordSet(W_CMD_FRAME_TO, v);
        }
    }
    if (Has(6)) {
        const uint16_t v = LE_Get16(&CmdBuf.data[4]);
        if (v >= 500) PlcWordSet(W_CMD_FRAME_TO, v);
    }
    if (Vcomm_Mode != 2 && CmdBaudTimer < TIMER_COUNT && Timers[CmdBaudTimer].running) {
        FPGA_GetFrt();
        Timer_Start(CmdBaudTimer, std::max<uint32_t>(PlcWord(W_CMD_LOCK), 9000));
    }
}

void Cmd_ProgramAbandoned() {
    Cmd_PgmHold = 0;
    LoadLadder();
    const uint32_t len = MF_Len(ladder_bl.data());
    const bool whole = len <= LADDER_BL_SIZE - MF_HDR && crc16(&ladder_bl[MF_HDR], len) == MF_Crc(ladder_bl.data());
    if (whole) return;
    // Nothing whole to run (none stored, or the stored one is damaged).
    PlcWordSet(W_FAULT, uint16_t(PlcWord(W_FAULT) | FAULT_INVALID));
    SysHook_SetPlcMode(0);
}

void Cmd_FileAbandoned(bool recreated, const char *why) {
    Cmd_FileOpen = 0;
    CANOpen_dwnld = 0;
    const uint32_t type = CmdFileType;
    const FileInfo *fi = Info(type);
    if (recreated || fi == nullptr) return;
    switch (type) {
    case MFT_FORCE:
        // The force image holds the table as it was (copied at its last
        // download, or checked at start-up).
        std::memcpy(Data(*fi), io_force.data(), std::min<uint32_t>(PlcDword(W_FORCE_LEN), MF_FORCE_MAX));
        std::printf("Download of file type 2 %s: the forces are back\n", why);
        return;
    case MFT_SETUP:
    case MFT_IO_CONFIG:
    case MFT_PROMGR:
    case MFT_MESSAGING:
    case MFT_DATALOG:
    case MFT_CANOPEN:
    case MFT_MQTT: break;
    default: return;  // the program has its own; 6, 19 and 26 are stored nowhere
    }
    if (LoadConfigBlock(type)) {
        SetHeader(*fi, StoredCrc(*fi), LE_Get32(fi->len_var));  // the mirrors follow
        std::printf("Download of file type %u %s: the stored file is back\n", unsigned(type), why);
    } else {
        SetHeader(*fi, 0, 0);
        std::printf(
            "Download of file type %u %s: no whole stored file to put back, so file %u is invalid; "
            "download it again\n",
            unsigned(type), why, unsigned(type));
    }
}

void CmdPanel(uint32_t end) {
    if (end == 0) {
        Cmd_Downloading = 1;
        return;
    }
    if (!Cmd_Downloading) return;
    Cmd_Downloading = 0;
    PlcWordSet(129, 0);
    PlcWordSet(130, 0);
    if (PlcWord(W_MODE) != 2) SaveProgram();
}

void NetIoConfig() {
    if (!CmdConfigChanged) return;
    SysHook_NetConfig();
    SysHook_IoConfig();
    CmdConfigChanged = 0;
}

uint32_t Cmd_FileLimit(uint32_t type) {
    const FileInfo *fi = Info(type);
    if (fi == nullptr) return 0;
    uint32_t bound;
    // The bounds start-up validation accepts: a longer file would be thrown
    // away (with the whole application) at the next start.
    switch (type) {
    case MFT_LADDER:
    case MFT_OLP: bound = 2097152; break;
    case MFT_FORCE: bound = MF_FORCE_MAX; break;
    case MFT_SETUP: bound = 80; break;
    case MFT_IO_CONFIG: bound = 520192; break;
    case MFT_PROMGR: bound = 4194304; break;
    case MFT_MESSAGING:
    case MFT_DATALOG:
    case MFT_CANOPEN: bound = 131072; break;
    case MFT_MQTT: bound = 8388608; break;
    default: bound = 0xFFFFFFFFu; break;
    }
    return std::min(bound, Room(*fi));
}

const std::array<CmdInfoRow, CMD_COUNT> CmdInfo = {{
    {do_default, 0, 0, 0},           // 0x00
    {get_mode, 1, 0, 0},             // 0x01
    {set_mode, 0, 0, 1},             // 0x02
    {verify_memory, 2, 0, 0},        // 0x03
    {download_memory, 2, 0, 0},      // 0x04
    {upload_memory, 3, 0, 0},        // 0x05
    {do_default, 1, 0, 0},           // 0x06
    {do_default, 1, 0, 0},           // 0x07
    {get_version, 1, 0, 0},          // 0x08
    {get_local_id, 1, 1, 0},         // 0x09
    {set_local_id, 0, 1, 0},         // 0x0A
    {get_global_data, 3, 1, 0},      // 0x0B
    {set_global_data, 0, 1, 0},      // 0x0C
    {do_default, 1, 0, 0},           // 0x0D
    {do_default, 0, 0, 0},           // 0x0E
    {do_default, 1, 0, 0},           // 0x0F
    {do_default, 1, 0, 0},           // 0x10
    {do_default, 1, 0, 0},           // 0x11
    {do_default, 1, 0, 0},           // 0x12
    {protect_nvram, 0, 0, 1},        // 0x13
    {reset_plc, 0, 0, 0},            // 0x14
    {press_key, 0, 0, 0},            // 0x15
    {get_plc_reg, 1, 0, 0},          // 0x16
    {cal_module, 1, 0, 0},           // 0x17
    {set_plc_reg, 0, 0, 1},          // 0x18
    {set_comm_lock, 0, 0, 0},        // 0x19
    {get_baud_rate, 1, 0, 0},        // 0x1A
    {set_baud_rate, 0, 0, 0},        // 0x1B
    {parse_fxp_cmd, 1, 0, 0},        // 0x1C
    {write_fxp_data, 0, 0, 0},       // 0x1D
    {read_fxp_data, 1, 0, 0},        // 0x1E
    {cmd_datagram_delete, 0, 0, 0},  // 0x1F
    {cmd_datagram_create, 1, 0, 0},  // 0x20
    {cmd_datagram_write, 0, 0, 0},   // 0x21
    {cmd_datagram_read, 1, 0, 0},    // 0x22
    {cmd_negotiation, 0, 0, 0},      // 0x23
    {dummy_cmd, 0, 0, 0},            // 0x24
    {dummy_cmd, 0, 0, 0},            // 0x25
    {z7_debug_switch, 0, 0, 0},      // 0x26
}};
