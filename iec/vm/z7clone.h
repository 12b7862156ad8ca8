// Clone view of a database image and the SNMP agent link of the IEC VM.
#pragma once

#include <cstdint>

// Bytes of the clone of a database image (its header found by laying its
// sections out from its descriptor table); 0 unless the header carries the
// database magic.
uint32_t Z7VMClone_GetSize(uint32_t image);
// Builds the clone in clone (Z7VMClone_GetSize bytes) for the code image:
// 0, or 1 when the magic is missing (clone memory untouched).
uint32_t Z7VMClone_Build(uint32_t image, uint32_t clone, uint32_t code);

// ---- SNMP agent library ----------------------------------------------------------------------
// Answer callback handed to the agent: the text of item for instance into
// out (size bytes, cut to fit); 1 with a text, 0 for none.
using Z7SnmpAnswerFn = uint32_t (*)(void *data, uint32_t instance, uint32_t item, char *out, uint32_t size);
// Entry points of the agent library.
using Z7SnmpSetFolderFn = uint32_t (*)(const char *folder);
using Z7SnmpStartFn = uint32_t (*)(uint32_t arg, Z7SnmpAnswerFn answer, void *data);
using Z7SnmpStopFn = void (*)();
// Name the agent library is loaded by, "libz7snmp.so"; a test may point it at
// a library of its own.
extern const char *Z7RT_SnmpLibrary;
void Z7RT_SetDB(uint32_t db);
// 1 when the library loaded with its three entry points and the agent
// started; 0 otherwise (a library lacking an entry point is unloaded).
uint32_t Z7RT_LoadSnmp(uint32_t arg, const char *mib_folder);
uint32_t Z7RT_UnloadSnmp();
// The answer the agent gets for item (the callback).
uint32_t Z7RT_SnmpAnswer(void *data, uint32_t instance, uint32_t item, char *out, uint32_t size);
