// Workbench VM requests (request kind 1 of the communication server): connect,
// object reads, on-line code, change subscriptions and memory polls. Requests
// and answers are big-endian {echo, code or status, u16 length, data}.
#pragma once

#include <cstdint>

// Largest answer (header included) a communication-server frame carries.
constexpr uint32_t Z7VM_ANSWER_MAX = 1023;

// request: req_len bytes (the bytes the frame carries); answer: room for
// Z7VM_ANSWER_MAX bytes. Answers the bytes to send. db 0: no application.
uint32_t Z7VM_ServeEx(uint32_t db, const uint8_t *request, uint32_t req_len, uint8_t *answer, uint16_t event_port);
uint32_t Z7VM_Serve(uint32_t db, const uint8_t *request, uint32_t req_len, uint8_t *answer);
// Object reads of code 2: answer length (count byte included) or 0 when the
// read failed; cap = room of answer.
uint32_t Z7VM_ReadObjects(uint32_t db, const uint8_t *data, uint32_t len, uint8_t *answer, uint32_t cap);
uint32_t Z7VM_Execute(uint32_t db, const uint8_t *code, uint32_t len);
uint32_t Z7VM_SrvSubscribe(uint32_t db, const uint8_t *data, uint32_t len, uint8_t *answer, uint32_t cap);
uint32_t Z7VM_SrvSubscribeL(uint32_t db, const uint8_t *data, uint32_t len, uint8_t *answer, uint32_t cap);
uint32_t Z7VM_SrvUnsubscribe(uint32_t db, const uint8_t *data, uint32_t len);
uint32_t Z7VM_SrvUnsubscribeL(uint32_t db, const uint8_t *data, uint32_t len);
uint32_t Z7VM_SrvPollTable(uint32_t db, const uint8_t *data, uint32_t len, uint8_t *answer);
