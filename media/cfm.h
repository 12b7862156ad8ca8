// Card file manager as seen by the main loop and the system services.
// placeholder until the card file manager lands (media/cfm_placeholder.cpp).
#pragma once

#include <array>
#include <cstdint>

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
extern std::array<tCFCB, CFCB_COUNT> cfcb;
extern tCFCB *pDpramCFCB, *pLoggerCFCB, *pEmailCFCB;

// Once at start-up, after the queues exist. Placeholder: assigns the blocks.
void CFM_Open();
// Supervisor and server, once per main-loop pass. Placeholders: do nothing.
void CFM_Update();
void CFM_TheLoop(uint32_t arg);
// Mailbox channel servers: 1 when the request was taken, 0 when not now.
// Placeholders: 0 (no card file manager to take it).
uint32_t CFM_LoadDpramReq();
uint32_t CFM_LoadLoggerReq();
uint32_t CFM_LoadEmailReq();
uint32_t CFM_LoadDBGLoggerReq();
// Polls a client block: 2 while working, 4 when done (result out).
// Placeholder: 4 with result 97.
uint32_t CFM_PollReq(tCFCB *block, int16_t *result);
