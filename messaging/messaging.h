// Remote messaging as seen by the executive and the ladder engine: the modem
// supervisor and its data sockets, SMS, e-mail, MQTT and the user program's
// own use of the programming port (the Talk blocks).
#pragma once

#include <cstdint>

struct LadCursor;  // ladder/ladder.h

// Cellular-modem supervisor; last call of every main-loop pass.
// Placeholder: does nothing.
void ModemCycle();
// MQTT supervisor, after every main-loop pass (acts only in mode 2).
// Placeholder: does nothing.
void mqttStateLoop();
// SMS engine: start when leaving mode 0, stop when entering it, one step per
// scan in modes 1 to 4. Placeholders: do nothing.
void SMS_Start();
void SMS_Stop();
void SMS_Scanner();
// E-mail client poll from the scan (acts only in mode 2).
// Placeholder: does nothing.
void EtnEmailScan(int arg);

// 0 when modem data socket `socket` (0..5) is connected and the modem's data
// mode selector equals `selector`; 1 otherwise. Placeholder: 1, no modem.
uint32_t IsModemSocketActive(uint32_t selector, uint32_t socket);
// 1 when the socket holds unread bytes (255 once for a drained socket 0),
// else 0. Placeholder: 0.
uint32_t ModemCheckRecv(uint32_t socket);
// Next received byte; call only after ModemCheckRecv. Placeholder: 0.
uint8_t ModemDataRecv(uint32_t socket);
// Queues bytes on the socket (append 1 copies into its transmit buffer);
// 0 when queued, 1 when not. Placeholder: 1, no socket.
uint32_t ModemDataSend(uint32_t socket, const uint8_t *data, uint32_t length, uint32_t append);

// Takes the programming port from the user program's port blocks (port 0
// only); 1 when the override flag was clear and is now set, else 0.
uint32_t Talk_Override(uint32_t port);
// Clears the override flag (port 0 only).
void Talk_Release(uint32_t port);
// Nonzero while a user-program port block holds the port open.
// Placeholder: 0.
uint32_t TalkOpened(uint32_t port);
// Clears the port's open flag. Placeholder: does nothing.
void TalkClosed(uint32_t port);
// Resets the user-program port records and the override flag; called on
// every scan with the first-scan bit set.
void TalkInit();

// Ladder port blocks. Each takes the ladder cursor (on the block's first
// operand) and the power, reads its operands through the cursor (bounded by
// its end), leaves the cursor behind them and returns the power it passes on.
// Placeholders: they cannot skip operands they do not know yet, so they answer
// 0 and leave the cursor unchanged; the ladder engine treats these
// opcodes as a fault stop until the messaging subsystem lands.
uint32_t TalkOpen(LadCursor *pc, uint32_t power);         // opcode 132
uint32_t IEC_TalkSend(LadCursor *pc, uint32_t power);     // opcode 133, 394 sel 0/1
uint32_t IEC_TalkReceive(LadCursor *pc, uint32_t power);  // opcode 134, 394 sel 2/3
uint32_t TalkClose(LadCursor *pc, uint32_t power);        // opcode 135
uint32_t TalkModem(LadCursor *pc, uint32_t power);        // opcode 136
uint32_t TalkModbus(LadCursor *pc, uint32_t power);       // opcode 137
uint32_t IEC_TalkModbus(LadCursor *pc, uint32_t power);   // opcode 531

// Serves the talk-override channel of the mailbox area; once per main-loop pass.
void Dpram_Service();
