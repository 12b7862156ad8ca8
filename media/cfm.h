// Card file manager: the one place where removable-media work of clients is
// carried out (request and response queues, 14 client control blocks), the
// mailbox channel servers, and the supervisor that publishes the SD card's
// status and space and runs the safe-removal handshake.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "media/cfapi.h"
#include "core/image/tx.h"

// Client control block: {state, drive, request code, argument, extra
// argument, result}.
struct tCFCB {
    uint32_t state;
    uint32_t drive;
    uint32_t code;
    uint32_t arg;
    uint32_t extra;
    uint32_t result;
};
constexpr unsigned CFCB_COUNT = 14;
constexpr uint32_t CFCB_IDLE = 0, CFCB_POSTED = 1, CFCB_SERVICE = 2, CFCB_DONE = 4, CFCB_ERROR = 5, CFCB_CANCELLED = 6;
extern std::array<tCFCB, CFCB_COUNT> cfcb;
extern tCFCB *pUpdtCFCB, *pDpramCFCB, *pLoggerCFCB, *pDirCFCB, *pVidCFCB, *pDbgLoggerCFCB, *pEmailCFCB,
    *pLoadSDFirmwareCFCB;

// The words of a queue message are 32 bits and cannot carry an address: a
// request names its block by index, and the block's argument and extra
// argument addresses are kept here.
struct CfmArgs {
    void *arg;
    void *extra;
};
extern std::array<CfmArgs, CFCB_COUNT> cfcbArgs;

// Request records (the argument of codes 0-5, 10 and 23).
struct CfmOpenReq {
    FxFile *file;
    const char *name;
    uint32_t mode;
};
struct CfmIoReq {
    FxFile *file;
    void *buffer;
    uint32_t size;
    uint32_t *count;
};
struct CfmNames {
    const char *first;
    const char *second;
};
struct CfmListReq {
    uint32_t count;  // out
    const char *pattern;
    uint32_t keep_parent;  // keep ".." entries
};

// Requests answered since start, counted up to 6.
extern uint32_t Sys_CFinitTime;
// Program load from the card: asked for at start-up (Sys_AppLoad), under way
// (Sys_AutoLoad, its state machine set up: Sys_ALstmcInited), asked for with
// the LOAD button (Sys_ManualLoadKey); Sys_LoadPGM_Status holds the LEDs in
// the load signal while it runs.
extern uint8_t Sys_AppLoad, Sys_AutoLoad, Sys_ALstmcInited;
extern uint8_t Sys_LoadPGM_Status;
extern uint8_t Sys_ManualLoadKey;
// Card-manager request and response queues.
extern TX_QUEUE qcb_cfi, qcb_cfo;

// The executive fills these at start-up. The web server is told the outcome
// of each check of drive A: (1 a card answered, 0 none); unset, nobody is
// told. The card manager's registers (removal request and grant, status and
// sizes of drive A:, the network id that internal commands aim at) are
// reached through register links of the system services, made by CFM_Open;
// unset, no link is made, a register reads 0 and is never written.
struct SysRcb;
struct CfmHooks {
    void (*card_checked)(bool ok);
    SysRcb *(*link_reg)(uint32_t address, uint32_t format);
    void (*read_reg)(uint8_t *out, const SysRcb *link, uint32_t length);
    void (*write_reg)(const SysRcb *link, const uint8_t *data, uint32_t length);
};
extern CfmHooks cfm_hooks;
// The links made by CFM_Open: %SR174 (removal), %SR175 (status), %SR176-177
// (free KB), %SR178-179 (total KB), %SR29 (network id).
extern SysRcb *pCntlRcb, *pStatRcb, *pFreeRcb, *pTotalRcb, *pNetIdRcb;
// Reads and writes of those registers through their links.
uint16_t CFM_RegWord(const SysRcb *link);
void CFM_RegPut(const SysRcb *link, uint32_t value, uint32_t bytes);

// The directory listing of request 10 (sorted into cfmListOrder).
uint16_t CFM_GetDirectory(uint8_t drive, CfmListReq *req);

// Media record of drive A: as published.
struct CfmRecord {
    uint32_t free_kb;
    uint32_t total_kb;
    uint32_t status;
    uint32_t requests;  // mailbox requests handed over
};
extern CfmRecord cfm;
extern uint16_t removeSafe;
// Removal of the card (remove_state) and the periodic size check of drive
// A: (updt_state), stepped by CFM_Update.
enum CfmRemoveState : uint8_t {
    CFM_RM_IDLE = 0,       // not asked for
    CFM_RM_HALTING = 1,    // asked for: waiting until every request has halted
    CFM_RM_REMOVABLE = 2,  // the card may be removed
};
enum CfmUpdtState : uint8_t {
    CFM_UP_ASK = 0,             // ask for the sizes of drive A:
    CFM_UP_POLL = 1,            // wait for the answer
    CFM_UP_STATUS = 2,          // publish the status
    CFM_UP_FREE = 3,            // publish the free size
    CFM_UP_TOTAL = 4,           // publish the total size
    CFM_UP_WAIT = 8,            // one second until the next check
    CFM_UP_ASK_RELEASED = 9,    // released for removal: ask again
    CFM_UP_POLL_RELEASED = 10,  // released for removal: wait for the answer
    CFM_UP_FIRMWARE = 11,       // look for a firmware update first
};
extern uint8_t remove_state, updt_state, client_state, client_offset;

// Listing table of request 10: entries of 282 bytes (name 256, extension 15,
// attribute, 1, a pad byte, time at 274, date at 276, time and date again).
constexpr std::size_t CFM_LIST_MAX = 512, CFM_LIST_ENTRY = 282;
extern std::array<std::array<uint8_t, CFM_LIST_ENTRY>, CFM_LIST_MAX> cfmList;
extern std::array<uint16_t, CFM_LIST_MAX> cfmListOrder;  // sorted order
extern uint32_t nElements;
extern char cfmListBase[FX_PATH_MAX];

// Register words of the supervisor (%SR174..%SR179) and the network id (%SR29).
constexpr uint32_t CFM_W_REMOVE = 301, CFM_W_STATUS = 302, CFM_W_FREE = 303, CFM_W_TOTAL = 305, CFM_W_NETID = 156;

// ---- client side ---------------------------------------------------------------------------
void CFM_LoadReq(tCFCB *block, uint32_t drive, uint32_t code, void *arg, void *extra);
// 2 while working, 4 when done (result out; 97 after an answer in a wrong state).
uint32_t CFM_PollReq(tCFCB *block, int16_t *result);
uint32_t CFM_IsBlkReady(tCFCB *block);
void CFM_CancelReq(tCFCB *block);
uint32_t CFM_IsAllHalted();
uint32_t CFM_GetParm(uint16_t *words);

// ---- server side ---------------------------------------------------------------------------
void CFM_Open();
void CFM_TheLoop(uint32_t arg);
void CFM_Update();
// Mailbox channel servers: 1 when the request was taken, 0 while removal is
// requested.
uint32_t CFM_LoadDpramReq();
uint32_t CFM_LoadLoggerReq();
uint32_t CFM_LoadEmailReq();
uint32_t CFM_LoadDBGLoggerReq();

// Expands the meta sequences of a file name in place ($D $M $Y $h $m $s $W,
// $<1..4>u<n>); the result holds at most 511 characters. False when the
// expansion did not fit and the name was cut.
bool ConvertMeta(char *name, std::size_t size);

// Count of bytes the last write of each logger channel took (0 data logger,
// 1 debug logger) and the last read of the e-mail channel took (2).
extern std::array<uint32_t, 3> cfmLogWritten;
