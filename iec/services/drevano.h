// The IEC runtime's embedding in the controller: start and stop, the per-pass
// communication service, the per-scan cycle, the bindings of located IEC
// variables to the register image and the hand-over of the programming link.
#pragma once

#include <cstdint>

// Nonzero once the application's variables are enumerated for the register
// binding (first runtime cycle after a start); cleared by ClearDrevanoFlags.
// Placeholder: stays 0.
extern uint8_t drevano_variables_enumerateded;
// Set by the scan while bit 0 of register byte 65 is set; the runtime's first
// cycle then sets every bound system bit and clears it.
extern uint8_t DrevanoS9;
// Set to 3 by the change to mode 0 while the runtime runs with enumerated
// variables.
extern uint16_t iVmAlive;

// One-time start of the runtime after a program with an IEC code section was
// loaded (communication server, memory manager, event server, block library,
// stored application, binding tables). Placeholder: does nothing.
void Drevano_init();
// Shuts the runtime down (application, block library, servers, memory
// manager, its mutex and log). Placeholder: does nothing.
void __Exit();
// Zeroes the counters of enumerated variables so the binding tables are built
// again at the next start. Placeholder: does nothing.
void ClearDrevanoFlags();
// One application cycle, called by the ladder interpreter instead of the
// ladder program while the runtime is in use. Placeholder: does nothing.
void _VMThread();
// One pass of the runtime's communication server. Placeholder: does nothing.
void Drevano_Comm_service();

// Synchronise bound IEC variables with the register image (system words and
// bits each scan, inputs after the forces, outputs after the outputs).
// Placeholders: do nothing.
void DrevanoUpdateWordSRRegs();
void DrevanoUpdateBitSysRegs();
void DrevanoUpdateBitInputRegs();
void DrevanoUpdateWordInputRegs();
void DrevanoUpdateBitOutputRegs();
void DrevanoUpdateWordOutputRegs();

// Pointer to the database element an IEC variable handle names; null when no
// database is loaded. Placeholder: always null.
uint8_t *DrevanoCalculateVmDbAddress(uint32_t handle, uint32_t width);

// Unpacks count bits (least significant bit first) into one byte (0 or 1)
// per bit.
void Drevano_Bit_To_Byte(const uint8_t *bits, uint8_t *bytes, uint32_t count);
// Packs count bytes (zero or nonzero) into bits, least significant bit first.
// Only the count bits are written; the rest of the last byte is kept.
void Drevano_Byte_To_Bit(const uint8_t *bytes, uint8_t *bits, uint32_t count);

// out := the runtime's file folder "/mnt/cfg/" followed by name. out must hold
// 255 bytes. Answers out, or null when name is empty or the result would
// exceed 254 characters.
char *Z7_GetFullPath(const char *name, char *out);

// Hand the programming link to the runtime's communication server over the
// serial port or Ethernet (TCP port 1100). Placeholders: do nothing.
void Z7_Connect_Serial();
void Z7_Connect_Ethernet();

// Deletes the IEC code file "/mnt/cfg/z7.cod"; 1 when deleted or absent.
uint32_t DeleteDrevanoProgram();
// Deletes the IEC retain file "/mnt/cfg/z7.ret"; 1 on success, 0 otherwise.
uint32_t DelDrevanoRetentiveFile();
