// File-request client of the mailbox: each call either posts one request on
// the file-request channel or, with bit 7 of the drive set, polls it and
// collects the result. Answers -2 posted and pending, -3 the channel is busy
// with another request (nothing posted), 86 invalid, else the card file
// manager's result.
#pragma once

#include <cstdint>

#include "media/cfapi.h"

constexpr uint8_t CF_DPRAM_POLL = 0x80;
// Channel operations.
constexpr uint8_t CFD_OP_READ = 0, CFD_OP_WRITE = 1, CFD_OP_RENAME = 2, CFD_OP_DELETE = 3, CFD_OP_FORMAT = 4,
                  CFD_OP_COPY = 5;

// Bytes of n elements of a format in the data area (bits: eight per byte);
// 64 bits wide, so that a huge count can never wrap to a small one.
uint64_t CF_DataBytes(uint32_t format, uint32_t n);

int32_t CF_DpramReadFile(uint8_t drive, CfTransferRec *rec);
int32_t CF_DpramWriteFile(uint8_t drive, CfTransferRec *rec);
int32_t CF_DpramRenameFile(uint8_t drive, const char *old_name, const char *new_name);
int32_t CF_DpramCopyFile(uint8_t drive, const char *source, const char *destination);
int32_t CF_DpramDeleteFile(uint8_t drive, const char *name);
int32_t CF_DpramFormatCard(uint8_t drive);
// A posted request stays its poster's until its poll collects the answer;
// a poster that gives its request up without collecting it (disabled, or a
// new program) hands the channel back with this.
void CF_DpramAbandon();
