// Card file manager: client control blocks and their scanner, the request
// server, listings, file-name meta sequences, the mailbox channel servers and
// the supervisor of drive A:.
#include "media/cfm.h"
#include "media/cfupdate.h"
#include "media/clone.h"
#include "media/fileblk.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/image/bytes.h"
#include "core/image/dpram.h"
#include "core/image/plcreg.h"
#include "core/image/timebase.h"
#include "core/image/tx.h"

std::array<tCFCB, CFCB_COUNT> cfcb;
std::array<CfmArgs, CFCB_COUNT> cfcbArgs;
// Fixed assignment of the blocks (also before CFM_Open runs).
tCFCB *pUpdtCFCB = &cfcb[0], *pDpramCFCB = &cfcb[1], *pLoggerCFCB = &cfcb[2], *pDirCFCB = &cfcb[3],
      *pVidCFCB = &cfcb[4], *pDbgLoggerCFCB = &cfcb[5], *pEmailCFCB = &cfcb[8], *pLoadSDFirmwareCFCB = &cfcb[13];
CfmRecord cfm;
uint16_t removeSafe;
uint8_t remove_state, updt_state, client_state, client_offset;
std::array<std::array<uint8_t, CFM_LIST_ENTRY>, CFM_LIST_MAX> cfmList;
std::array<uint16_t, CFM_LIST_MAX> cfmListOrder;
uint32_t nElements;
char cfmListBase[FX_PATH_MAX];
std::array<uint32_t, 3> cfmLogWritten;

namespace {
uint32_t lastDTic;
// Request 24 (pause) and request 6 (format, a worker job) are answered
// later, without holding the loop.
bool pause_pending, format_pending;
uint16_t pause_start;
// Queues of their own when the start-up did not create them (tests).
std::array<uint32_t, 4> own_cfi;
std::array<uint32_t, 2> own_cfo;

// ---- client scanner ----------------------------------------------------------------------
void ClientScan() {
    if (client_state != 0 && client_state != 2) {
        client_state = 0;
        return;
    }
    if (client_state == 2) {
        uint32_t msg[2];
        const uint32_t s = _txe_queue_receive(&qcb_cfo, msg, 0);
        if (s == TX_QUEUE_EMPTY) return;
        if (s != TX_SUCCESS) {
            std::printf("CompactFlash CFO msg err = %u\n", s);
            return;
        }
        client_state = 0;
        tCFCB &b = cfcb[client_offset];
        if (b.state == CFCB_CANCELLED) {
            b.state = CFCB_IDLE;
            return;
        }
        if (b.state != CFCB_SERVICE) {
            b.state = CFCB_ERROR;
            return;
        }
        b.result = msg[1];
        b.state = CFCB_DONE;
        client_offset = uint8_t((client_offset + 1) % CFCB_COUNT);
    }
    for (unsigned i = 0; i < CFCB_COUNT; i++) {
        const unsigned k = (client_offset + i) % CFCB_COUNT;
        tCFCB &b = cfcb[k];
        if (b.state != CFCB_POSTED) continue;
        b.state = CFCB_SERVICE;
        client_offset = uint8_t(k);
        client_state = 2;
        const uint32_t msg[4] = {b.drive, b.code, k, b.extra};
        const uint32_t s = _txe_queue_send(&qcb_cfi, msg, 0);
        if (s != TX_SUCCESS) std::printf("CompactFlash CFI msg err = %u\n", s);
        return;
    }
}

// ---- register publishing -----------------------------------------------------------------
void WriteStatus() { CFM_RegPut(pStatRcb, cfm.status, 2); }
void WriteFree() { CFM_RegPut(pFreeRcb, cfm.free_kb, 4); }
void WriteTotal() { CFM_RegPut(pTotalRcb, cfm.total_kb, 4); }
void WriteRemove(uint16_t v) {
    removeSafe = v;
    CFM_RegPut(pCntlRcb, v, 2);
}

// ---- request execution -------------------------------------------------------------------
uint16_t FreeSpace(uint8_t drive, uint32_t *total, uint32_t *free) {
    uint32_t t = 0, f = 0;
    if (drive == DRIVE_A) {
        // The USB stick's state is looked at first.
        uint32_t t1 = 0, f1 = 0;
        if (CF_GetStatus(DRIVE_B) == CF_OK) CF_GetFreeSpace(DRIVE_B, &t1, &f1);
    }
    const uint16_t st = CF_GetStatus(drive);
    uint16_t r = st;
    if (st == CF_OK) r = CF_GetFreeSpace(drive, &t, &f);
    if (total) *total = st == CF_OK ? t : 0;
    if (free) *free = st == CF_OK ? f : 0;
    return r;
}

void PutEntry(std::size_t i, const CfEntry &e) {
    std::array<uint8_t, CFM_LIST_ENTRY> &x = cfmList[i];
    x.fill(0);
    std::memcpy(x.data(), e.name, std::min<std::size_t>(std::strlen(e.name), 255));
    std::memcpy(x.data() + 256, e.ext, std::min<std::size_t>(std::strlen(e.ext), 14));
    x[271] = e.attr;
    x[272] = 1;
    LE_Put16(&x[274], e.time);
    LE_Put16(&x[276], e.date);
    LE_Put16(&x[278], e.time);
    LE_Put16(&x[280], e.date);
}

bool ListBefore(uint16_t a, uint16_t b) {
    const uint8_t *x = cfmList[a].data(), *y = cfmList[b].data();
    const bool dx = x[271] & FX_DIRECTORY, dy = y[271] & FX_DIRECTORY;
    if (dx != dy) return dx;
    if (const int c = std::memcmp(x, y, 8)) return c < 0;
    return std::memcmp(x + 256, y + 256, 3) < 0;
}

uint16_t GetDirectory(uint8_t drive, CfmListReq *req) {
    nElements = 0;
    if (req == nullptr || req->pattern == nullptr) return CF_INVALID;
    req->count = 0;
    if (const uint16_t st = CF_GetStatus(drive)) return st;
    CfEntry e{};
    uint16_t s = CF_GetFirst(drive, &e, req->pattern);
    if (s == CF_EXISTS) return 1000;
    if (s != CF_OK) return s;
    // Base path: the pattern's directory part, with a leading separator.
    const char *p = req->pattern;
    if (p[0] != 0 && p[1] == ':') p += 2;
    const char *cut = p;
    for (const char *c = p; *c; c++)
        if (*c == '\\' || *c == '/') cut = c;
    std::size_t n = std::size_t(cut - p);
    cfmListBase[0] = '\\';
    std::size_t k = 1;
    for (std::size_t i = 0; i < n && k < sizeof cfmListBase - 1; i++)
        if (!(i == 0 && (p[0] == '\\' || p[0] == '/'))) cfmListBase[k++] = p[i] == '/' ? '\\' : p[i];
    cfmListBase[k] = 0;
    uint32_t examined = 0;
    while (s == CF_OK) {
        if (examined == CFM_LIST_MAX) {
            if (nElements > 0) cfmList[nElements - 1][271] = 0x80;
            break;
        }
        examined++;
        const bool dot = std::strcmp(e.full, ".") == 0, dotdot = std::strcmp(e.full, "..") == 0;
        if (!(e.attr & 0x08) && !dot && (!dotdot || req->keep_parent)) {
            PutEntry(nElements, e);
            cfmListOrder[nElements] = uint16_t(nElements);
            nElements++;
        }
        s = CF_GetNext(drive, &e);
    }
    CF_GetDone(drive, &e);
    if (s != CF_OK && s != CF_EXISTS) {
        nElements = 0;
        return s;
    }
    if (nElements == 0) return 1002;
    uint32_t sorted = nElements;
    if (cfmList[nElements - 1][271] > 127) sorted--;
    std::stable_sort(cfmListOrder.begin(), cfmListOrder.begin() + sorted, ListBefore);
    req->count = nElements;
    return CF_OK;
}

uint16_t DeleteListed(uint8_t drive) {
    for (uint32_t i = 0; i < nElements; i++) {
        const uint8_t *x = cfmList[i].data();
        char name[257], ext[16];
        std::memcpy(name, x, 256);
        name[256] = 0;
        std::memcpy(ext, x + 256, 15);
        ext[15] = 0;
        for (std::size_t n = std::strlen(name); n > 0 && name[n - 1] == ' '; n--) name[n - 1] = 0;
        char path[FX_PATH_MAX];
        if (std::snprintf(path, sizeof path, "%s\\%s%s%s", std::strcmp(cfmListBase, "\\") == 0 ? "" : cfmListBase, name,
                          ext[0] ? "." : "", ext) >= int(sizeof path))
            continue;
        const uint8_t attr = x[271] & 0x7F;
        if (attr & FX_DIRECTORY) {
            if (std::strcmp(name, "..") != 0 && std::strcmp(name, ".") != 0) CF_RemoveDir(drive, path);
        } else if (!(attr & 0x08)) {
            CF_DeleteFile(drive, path);
        }
    }
    return CF_OK;
}

// Executes one request; answers its result.
uint32_t Execute(uint8_t drive, uint32_t code, unsigned block) {
    void *arg = block < CFCB_COUNT ? cfcbArgs[block].arg : nullptr;
    void *extra = block < CFCB_COUNT ? cfcbArgs[block].extra : nullptr;
    auto open = static_cast<CfmOpenReq *>(arg);
    auto io = static_cast<CfmIoReq *>(arg);
    auto names = static_cast<CfmNames *>(arg);
    auto text = static_cast<const char *>(arg);
    const bool need =
        code <= 5 || code == 7 || code == 8 || code == 9 || code == 10 || code == 14 || code == 15 || code == 23;
    if (need && arg == nullptr) return CF_INVALID;
    switch (code) {
    case 0: return CF_Open(open->file, open->name, open->mode);
    case 1: return CF_Read(io->file, io->buffer, io->size, io->count);
    case 2: return CF_Write(io->file, io->buffer, io->size, io->count);
    case 3: return CF_Close(io->file);
    case 4: return CF_RenameFile(drive, names->first, names->second);
    case 5: return CF_DeleteFile(drive, names->first);
    case 6: return CF_FormatCard(drive);
    case 7: return CF_MakeDir(drive, text);
    case 8: return CF_RemoveDir(drive, text);
    case 9: return CF_ChangeDir(drive, text);
    case 10: return GetDirectory(drive, static_cast<CfmListReq *>(arg));
    case 11: return DeleteListed(drive);
    case 12:
        if (drive == DRIVE_A) CF_GetStatus(DRIVE_B);
        return CF_GetStatus(drive);
    case 13: return FreeSpace(drive, static_cast<uint32_t *>(arg), static_cast<uint32_t *>(extra));
    case 14: return CF_ReadFile(drive, static_cast<CfTransferRec *>(arg));
    case 15: return CF_WriteFile(drive, static_cast<CfTransferRec *>(arg));
    case 23: return CF_CopyFile(drive, names->first, names->second);
    case 27: return GetFirmwareDir(drive, static_cast<CfmListReq *>(arg));
    case 20: return SavePgm(text);
    case 16: return CloneGetInfo(static_cast<uint8_t *>(arg));
    case 17: return ValidatePgm(text, static_cast<uint8_t *>(extra));
    case 18: return LoadPgm();
    case 19:
        // Released whatever the controller answers (a refusal leaves error
        // number 80): the request itself answers 0.
        CloneRelease();
        return 0;
    default: return 0;  // 21, 22, 25, 26 and above 27: nothing to do here
    }
}

void Respond(uint32_t result) {
    const uint32_t msg[2] = {0, result};
    _txe_queue_send(&qcb_cfo, msg, 0);
    if (Sys_CFinitTime < 6) Sys_CFinitTime++;
    // A program load asked for with the LOAD button starts once the card
    // manager has answered a few requests.
    if (Sys_CFinitTime >= 6 && Sys_ManualLoadKey == 1 && Sys_AutoLoad == 0) {
        Sys_AutoLoad = 1;
        Sys_ALstmcInited = 0;
    }
}

// ---- mailbox channels ----------------------------------------------------------------------
// A text in the area at an offset: null unless it ends inside the area within 512 bytes.
char *AreaText(uint32_t off) {
    if (off >= DPRAM_SIZE) return nullptr;
    char *p = reinterpret_cast<char *>(&dpram[off]);
    const std::size_t room = std::min<std::size_t>(DP_NAME_SIZE, DPRAM_SIZE - off);
    return std::memchr(p, 0, room) ? p : nullptr;
}
uint8_t *AreaData(uint32_t off, uint32_t len) {
    if (uint64_t(off) + len > DPRAM_SIZE) return nullptr;
    return &dpram[off];
}

// A request that cannot be posted is answered at once on its block.
uint32_t Refuse(tCFCB *block, uint32_t code) {
    block->state = CFCB_DONE;
    block->result = code;
    return 1;
}

CfTransferRec file_rec;
CfmNames file_names;
uint32_t file_count;
uint32_t file_count_at;  // offset of the channel's count word, 0 none

// The file-request channel serves the file instructions of ladder programs
// and the IEC file blocks: its names never reach the configuration flash.
uint32_t LoadDpram() {
    const uint8_t op = dpram[DP_FILE_OP];
    const uint8_t drive = dpram[DP_FILE_DRIVE] & 0x7F;
    const uint8_t *w = &dpram[DP_FILE_REC];
    auto word = [w](unsigned i) { return LE_Get32(w + 4 * i); };
    cfm.requests++;
    switch (op) {
    case 0:
    case 1: {
        CfTransferRec &r = file_rec;
        r = CfTransferRec{};
        r.kind = word(0);
        char *name = AreaText(word(1));
        const uint32_t data = word(2);
        if (name == nullptr || data < DP_FILE_DATA || data >= DP_FILE_DATA + DP_FILE_DATA_SIZE)
            return Refuse(pDpramCFCB, CF_INVALID);
        ConvertMeta(name, DP_NAME_SIZE);
        CfProgramName(name);
        r.name = name;
        r.data = &dpram[data];
        r.data_size = uint32_t(DP_FILE_DATA + DP_FILE_DATA_SIZE - data);
        r.format = word(3);
        r.count = word(4);
        file_count = 0;
        r.count_out = &file_count;
        file_count_at = word(5) <= DPRAM_SIZE - 4 ? word(5) : 0;
        r.start = int32_t(word(6));
        r.mode = word(7);
        r.flag8 = uint8_t(word(8));
        if (op == 0 && r.flag8 == 76) {
            r.descs = AreaData(word(9), 0);
            r.descs_size = r.descs ? uint32_t(DPRAM_SIZE - word(9)) : 0;
            r.desc_count = uint16_t(word(10));
            r.desc_mode = 76;
        } else if (op == 1 && (word(9) & 0xFFFF) == 77) {
            r.desc_mode = 77;
            r.header = uint16_t(word(9) >> 16);
            r.desc_count = uint16_t(word(10));
            r.names = AreaData(word(11), 0);
            r.names_size = r.names ? uint32_t(DPRAM_SIZE - word(11)) : 0;
            r.descs = AreaData(word(12), 0);
            r.descs_size = r.descs ? uint32_t(DPRAM_SIZE - word(12)) : 0;
        }
        CFM_LoadReq(pDpramCFCB, drive, op == 0 ? 14 : 15, &r, nullptr);
        return 1;
    }
    case 2:
    case 3:
    case 5: {
        char *a = AreaText(word(0));
        char *b = op == 3 ? nullptr : AreaText(word(1));
        if (a == nullptr || (op != 3 && b == nullptr)) return Refuse(pDpramCFCB, CF_INVALID);
        ConvertMeta(a, DP_NAME_SIZE);
        if (b) ConvertMeta(b, DP_NAME_SIZE);
        CfProgramName(a);
        CfProgramName(b);
        file_names = {a, b};
        CFM_LoadReq(pDpramCFCB, drive, op == 2 ? 4 : op == 3 ? 5 : 23, &file_names, nullptr);
        return 1;
    }
    case 4: CFM_LoadReq(pDpramCFCB, drive, 6, nullptr, nullptr); return 1;
    default:
        // An operation no channel server knows is answered 86 rather than
        // left unposted: the channel's request would stay raised and its
        // client (a file instruction holding its drive) would wait for ever.
        return Refuse(pDpramCFCB, CF_INVALID);
    }
}

// Logger channels (0 data logger, 1 debug logger) and the e-mail channel (2).
struct LogChannel {
    std::size_t base;
    tCFCB **block;
    FxFile file;
    CfmOpenReq open;
    CfmIoReq io;
    CfmListReq list;
    uint32_t space[2];
};
std::array<LogChannel, 3> log_ch = {{{DP_DLOG_REQ, &pLoggerCFCB, {}, {}, {}, {}, {}},
                                     {DP_DBGL_REQ, &pDbgLoggerCFCB, {}, {}, {}, {}, {}},
                                     {DP_MAIL_REQ, &pEmailCFCB, {}, {}, {}, {}, {}}}};

uint32_t LoadLog(unsigned ch) {
    LogChannel &c = log_ch[ch];
    tCFCB *block = *c.block;
    const uint8_t op = dpram[c.base + DP_LOG_OP];
    const uint8_t drive = dpram[c.base + DP_LOG_ARG] & 0x7F;
    auto param = [&c](unsigned i) { return LE_Get32(&dpram[c.base + DP_LOG_P1 + 4 * (i - 1)]); };
    const bool mail = ch == 2;
    switch (op) {
    case 0: CFM_LoadReq(block, drive, 12, nullptr, nullptr); return 1;
    case 1:
        if (mail) break;
        CFM_LoadReq(block, drive, 13, &c.space[0], &c.space[1]);
        return 1;
    case 2: {
        if (mail) break;
        char *t = AreaText(param(1));
        if (t == nullptr) return Refuse(block, CF_INVALID);
        CFM_LoadReq(block, drive, 7, t, nullptr);
        return 1;
    }
    case 3: {
        char *t = AreaText(param(1));
        if (t == nullptr) return Refuse(block, CF_INVALID);
        c.open = {&c.file, t, param(2)};
        CFM_LoadReq(block, drive, 0, &c.open, nullptr);
        return 1;
    }
    case 4:
    case 6: {
        if ((op == 4) == mail) break;
        uint8_t *d = AreaData(param(2), param(3));
        if (d == nullptr) return Refuse(block, CF_INVALID);
        uint32_t *written = &cfmLogWritten[ch];
        *written = 0;
        c.io = {&c.file, d, param(3), written};
        cfm.requests++;  // a logger's write, an e-mail read
        CFM_LoadReq(block, drive, op == 4 ? 2 : 1, &c.io, nullptr);
        return 1;
    }
    case 5:
        cfm.requests++;
        c.io = {&c.file, nullptr, 0, nullptr};
        CFM_LoadReq(block, drive, 3, &c.io, nullptr);
        return 1;
    case 7: {
        if (!mail) break;
        char *t = AreaText(param(1));
        if (t == nullptr) return Refuse(block, CF_INVALID);
        c.list = {0, t, param(2)};
        CFM_LoadReq(block, drive, 10, &c.list, nullptr);
        return 1;
    }
    default: break;
    }
    return Refuse(block, CF_INVALID);  // answered, not left unposted: see LoadDpram
}

// A logger channel's free-space answer (total, then free kilobytes) goes
// into the channel's two parameter words, where its client reads it.
void LogSpaceOut(uint32_t k) {
    for (const LogChannel &c : log_ch) {
        if (*c.block != &cfcb[k] || c.base == DP_MAIL_REQ) continue;
        LE_Put32(&dpram[c.base + DP_LOG_P1], c.space[0]);
        LE_Put32(&dpram[c.base + DP_LOG_P1 + 4], c.space[1]);
    }
}

int32_t DayOfWeekJan1(uint32_t year) {
    // 0 = Sunday.
    const uint32_t y = year - 1;
    return int32_t((1 + 5 * (y % 4) + 4 * (y % 100) + 6 * (y % 400)) % 7);
}
}  // namespace

uint16_t CFM_GetDirectory(uint8_t drive, CfmListReq *req) { return GetDirectory(drive, req); }

// ---- client side ----------------------------------------------------------------------------
void CFM_LoadReq(tCFCB *block, uint32_t drive, uint32_t code, void *arg, void *extra) {
    if (block == nullptr) return;
    if (block->state != CFCB_IDLE) std::printf("Bad State on %0x\n", unsigned(reinterpret_cast<uintptr_t>(block)));
    const std::size_t k = std::size_t(block - cfcb.data());
    cfcbArgs[k] = {arg, extra};
    block->drive = drive;
    block->code = code;
    block->arg = uint32_t(k);
    block->extra = 0;
    block->result = 0;
    block->state = CFCB_POSTED;
    ClientScan();
}

uint32_t CFM_PollReq(tCFCB *block, int16_t *result) {
    ClientScan();
    switch (block->state) {
    case CFCB_DONE:
        if (result) *result = int16_t(block->result);
        block->state = CFCB_IDLE;
        return 4;
    case CFCB_POSTED:
    case CFCB_SERVICE: return 2;
    case CFCB_ERROR:
        if (result) *result = 97;
        block->state = CFCB_IDLE;
        return 4;
    default:
        if (result) *result = 97;
        return 4;
    }
}

uint32_t CFM_IsBlkReady(tCFCB *block) {
    ClientScan();
    if (block->state == CFCB_SERVICE || block->state == CFCB_CANCELLED) return 0;
    block->state = CFCB_IDLE;
    return 1;
}

void CFM_CancelReq(tCFCB *block) {
    if (block->state == CFCB_SERVICE || block->state == CFCB_CANCELLED)
        block->state = CFCB_CANCELLED;
    else
        block->state = CFCB_IDLE;
}

uint32_t CFM_IsAllHalted() {
    ClientScan();
    for (const tCFCB &b : cfcb)
        if (b.state != CFCB_IDLE && b.state != CFCB_DONE && b.state != CFCB_ERROR) return 0;
    return 1;
}

uint32_t CFM_GetParm(uint16_t *w) {
    const uint32_t drive = w[8] | (uint32_t(w[9]) << 16);
    if (drive > 2) return 0;
    uint32_t total = 0, free = 0;
    const uint16_t r = drive == 0 ? FreeSpace(DRIVE_A, &total, &free) : CF_GetFreeSpace(uint8_t(drive), &total, &free);
    w[0] = uint16_t(free);
    w[1] = uint16_t(free >> 16);
    w[2] = uint16_t(total);
    w[3] = uint16_t(total >> 16);
    w[4] = r;
    w[5] = drive == 0 ? 0 : (int16_t(r) < 0 ? 65535 : 0);
    if (drive == 0) {
        w[6] = uint16_t(cfm.requests);
        w[7] = uint16_t(cfm.requests >> 16);
    }
    return 1;
}

uint32_t Sys_CFinitTime;
CfmHooks cfm_hooks;
SysRcb *pCntlRcb, *pStatRcb, *pFreeRcb, *pTotalRcb, *pNetIdRcb;

uint16_t CFM_RegWord(const SysRcb *link) {
    uint8_t v[2] = {};
    if (link != nullptr && cfm_hooks.read_reg) cfm_hooks.read_reg(v, link, sizeof v);
    return LE_Get16(v);
}

void CFM_RegPut(const SysRcb *link, uint32_t value, uint32_t bytes) {
    uint8_t v[4];
    LE_Put32(v, value);
    if (link != nullptr && cfm_hooks.write_reg) cfm_hooks.write_reg(link, v, bytes);
}
uint8_t Sys_AppLoad, Sys_AutoLoad, Sys_ALstmcInited;
uint8_t Sys_LoadPGM_Status;
uint8_t Sys_ManualLoadKey;
TX_QUEUE qcb_cfi, qcb_cfo;

// ---- server side ----------------------------------------------------------------------------
void CFM_Open() {
    if (qcb_cfi.start == nullptr) _txe_queue_create(&qcb_cfi, "CFI_REQUEST", 4, own_cfi.data(), sizeof own_cfi);
    if (qcb_cfo.start == nullptr) _txe_queue_create(&qcb_cfo, "CFI_RESPONSE", 2, own_cfo.data(), sizeof own_cfo);
    // A message still queued belongs to blocks reset below: dropped.
    for (uint32_t msg[4]; _txe_queue_receive(&qcb_cfi, msg, 0) == TX_SUCCESS;) {
    }
    for (uint32_t msg[2]; _txe_queue_receive(&qcb_cfo, msg, 0) == TX_SUCCESS;) {
    }
    lastDTic = sysDTic;
    remove_state = CFM_RM_IDLE;
    updt_state = CFM_UP_ASK;
    removeSafe = 0;
    client_state = client_offset = 0;
    cfcb = {};
    cfcbArgs = {};
    cfm = {};
    pause_pending = format_pending = false;
    pUpdtCFCB = &cfcb[0];
    pDpramCFCB = &cfcb[1];
    pLoggerCFCB = &cfcb[2];
    pDirCFCB = &cfcb[3];
    pVidCFCB = &cfcb[4];
    pDbgLoggerCFCB = &cfcb[5];
    pEmailCFCB = &cfcb[8];
    pLoadSDFirmwareCFCB = &cfcb[13];
    for (LogChannel &c : log_ch) {
        if (c.file.open) _fxe_file_close(&c.file);
        c.file = FxFile{};
    }
    CF_Init();
    // The supervisor's registers and the network id, as register links.
    auto link = [](uint32_t word, uint32_t bytes) -> SysRcb * {
        return cfm_hooks.link_reg ? cfm_hooks.link_reg(1024 + 16 * word, 0x8000 | bytes) : nullptr;
    };
    pCntlRcb = link(CFM_W_REMOVE, 2);
    pStatRcb = link(CFM_W_STATUS, 2);
    pFreeRcb = link(CFM_W_FREE, 4);
    pTotalRcb = link(CFM_W_TOTAL, 4);
    pNetIdRcb = link(CFM_W_NETID, 2);
}

void CFM_TheLoop(uint32_t) {
    if (pause_pending) {
        if (uint16_t(sysTic - pause_start) < 400) return;
        pause_pending = false;
        Respond(0);
    }
    if (format_pending) {
        const int32_t r = File_FormatResult();
        if (r == -2) return;
        format_pending = false;
        Respond(uint32_t(r));
    }
    for (;;) {
        uint32_t msg[4];
        if (_txe_queue_receive(&qcb_cfi, msg, 0) != TX_SUCCESS) return;
        if (msg[1] == 24) {
            pause_pending = true;
            pause_start = sysTic;
            return;
        }
        const uint32_t result = Execute(uint8_t(msg[0]), msg[1], msg[2]);
        if (msg[1] == 6 && result == CF_FORMATTING) {
            format_pending = true;
            return;
        }
        if (msg[2] == 1 && (msg[1] == 14 || msg[1] == 15) && file_count_at != 0)
            LE_Put32(&dpram[file_count_at], file_count);  // the file channel's count word
        if (msg[1] == 13 && msg[2] < cfcb.size()) LogSpaceOut(msg[2]);
        Respond(result);
    }
}

uint32_t CFM_LoadDpramReq() { return removeSafe ? 0 : LoadDpram(); }
uint32_t CFM_LoadLoggerReq() { return removeSafe ? 0 : LoadLog(0); }
uint32_t CFM_LoadDBGLoggerReq() { return removeSafe ? 0 : LoadLog(1); }
uint32_t CFM_LoadEmailReq() { return removeSafe ? 0 : LoadLog(2); }

namespace {
// Sizes asked for while the card is released for removal: taken, never
// published.
struct CfmReleasedSizes {
    uint32_t total_kb, free_kb;
};
CfmReleasedSizes cfm_released;
}  // namespace

void CFM_Update() {
    removeSafe = CFM_RegWord(pCntlRcb);
    switch (remove_state) {
    case CFM_RM_IDLE:
        if (!(removeSafe & 1)) break;
        cfm.status = 7;
        cfm.free_kb = cfm.total_kb = 0;
        CFM_CancelReq(pUpdtCFCB);
        updt_state = CFM_UP_STATUS;
        remove_state = CFM_RM_HALTING;
        [[fallthrough]];
    case CFM_RM_HALTING:
        if (!(removeSafe & 1)) {
            cfm.status = 0;
            cfm.free_kb = cfm.total_kb = 0;
            WriteStatus();
            remove_state = CFM_RM_IDLE;
            updt_state = CFM_UP_FREE;
            return;
        }
        if (CFM_IsAllHalted()) {
            cfm.status = 6;
            cfm.free_kb = cfm.total_kb = 0;
            WriteRemove(3);
            remove_state = CFM_RM_REMOVABLE;
            updt_state = CFM_UP_STATUS;
        }
        break;
    case CFM_RM_REMOVABLE:
        if (!(removeSafe & 1)) {
            WriteRemove(0);
            CFM_CancelReq(pUpdtCFCB);
            remove_state = CFM_RM_IDLE;
            updt_state = CFM_UP_ASK;
        } else if ((removeSafe & 3) == 1) {
            WriteRemove(3);
        }
        break;
    default: remove_state = CFM_RM_IDLE; break;
    }
    switch (updt_state) {
    case CFM_UP_ASK:
        if (removeSafe == 0 && CFM_IsBlkReady(pUpdtCFCB)) {
            CFM_LoadReq(pUpdtCFCB, DRIVE_A, 13, &cfm.total_kb, &cfm.free_kb);
            updt_state = CFM_UP_FIRMWARE;
        }
        break;
    case CFM_UP_FIRMWARE:
        CFM_FirmwareCheck();
        updt_state = CFM_UP_POLL;
        break;
    case CFM_UP_POLL: {
        int16_t r = 0;
        if (CFM_PollReq(pUpdtCFCB, &r) == 2) break;
        if (r != 0) {
            cfm.free_kb = cfm.total_kb = 0;
            cfm.status = uint16_t(r);
        } else {
            cfm.status = 0;
        }
        if (cfm_hooks.card_checked) cfm_hooks.card_checked(r == 0);
        WriteStatus();
        updt_state = CFM_UP_FREE;
        break;
    }
    case CFM_UP_STATUS:
        WriteStatus();
        updt_state = CFM_UP_FREE;
        break;
    case CFM_UP_FREE:
        WriteFree();
        updt_state = CFM_UP_TOTAL;
        break;
    case CFM_UP_TOTAL:
        WriteTotal();
        lastDTic = sysDTic;
        updt_state = CFM_UP_WAIT;
        break;
    case CFM_UP_WAIT:
        if (remove_state == CFM_RM_REMOVABLE)
            updt_state = CFM_UP_ASK_RELEASED;
        else if (sysDTic - lastDTic > 99)
            updt_state = CFM_UP_ASK;
        break;
    case CFM_UP_ASK_RELEASED:
        if (CFM_IsBlkReady(pUpdtCFCB)) {
            // only the result is published while released
            CFM_LoadReq(pUpdtCFCB, DRIVE_A, 13, &cfm_released.total_kb, &cfm_released.free_kb);
            updt_state = CFM_UP_POLL_RELEASED;
        }
        break;
    case CFM_UP_POLL_RELEASED: {
        int16_t r = 0;
        if (CFM_PollReq(pUpdtCFCB, &r) == 2) break;
        cfm.status = r == 0 ? 6 : uint16_t(r);
        WriteStatus();
        updt_state = CFM_UP_ASK_RELEASED;
        break;
    }
    default: updt_state = CFM_UP_ASK; break;
    }
}

bool ConvertMeta(char *name, std::size_t size) {
    if (name == nullptr || std::strchr(name, '$') == nullptr) return true;
    const std::size_t cap = std::min<std::size_t>(size, FX_PATH_MAX);
    char out[FX_PATH_MAX];
    std::size_t k = 0;
    bool whole = true;  // false once anything of the expansion did not fit
    auto put = [&](const char *s) {
        for (; *s && k < cap - 1; s++) out[k++] = *s;
        if (*s) whole = false;
    };
    auto two = [&](uint32_t v) {
        char t[8];
        std::snprintf(t, sizeof t, "%02u", v % 100);
        put(t);
    };
    const uint32_t sec = PlcWord(171), min = PlcWord(172), hour = PlcWord(173), day = PlcWord(174),
                   month = PlcWord(175), year = PlcWord(176);
    const char *c = name;
    for (; *c && k < cap - 1; c++) {
        if (*c != '$') {
            out[k++] = *c;
            continue;
        }
        const char n = c[1];
        switch (n) {
        case 'D':
            two(day);
            c++;
            continue;
        case 'M':
            two(month);
            c++;
            continue;
        case 'Y':
            two(year % 100);
            c++;
            continue;
        case 'h':
            two(hour);
            c++;
            continue;
        case 'm':
            two(min);
            c++;
            continue;
        case 's':
            two(sec);
            c++;
            continue;
        case 'W': {
            static constexpr uint32_t kBefore[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
            const uint32_t m = month >= 1 && month <= 12 ? month : 1;
            uint32_t d =
                kBefore[m - 1] + day + ((m >= 3 && year % 4 == 0) ? 1 : 0) + uint32_t(DayOfWeekJan1(year ? year : 1));
            two(d / 7 + 1);
            c++;
            continue;
        }
        default: break;
        }
        if (n >= '1' && n <= '4' && c[2] == 'u' && c[3] >= '1' && c[3] <= '8') {
            int i = 0;
            for (; i < c[3] - '0' && k < cap - 1; i++) out[k++] = '0';
            if (i < c[3] - '0') whole = false;
            c += 3;
            continue;
        }
        out[k++] = '$';
    }
    if (*c) whole = false;
    out[k] = 0;
    std::memcpy(name, out, k + 1);
    return whole;
}
