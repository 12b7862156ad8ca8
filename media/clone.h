// Clone files on the SD card: the program clone (the application's memory
// files as the command processor uploads them) and the data clone
// "A:\clone.dat" (the register image and its CRC).
#pragma once

#include <cstdint>

constexpr uint16_t CLONE_MAGIC = 7834;
constexpr uint32_t CLONE_HEADER = 84;
constexpr uint32_t CLONE_DAT_SIZE = 109178;

// Writes a program clone through the internal command client: 0, 2006 a
// command exchange failed, 73 a table's upload differs from its length, or a
// file status. The old file is replaced only by a complete new one.
uint32_t SavePgm(const char *name);
// Card request 16: opens the internal connection and reads the register
// set-up area (80 bytes) into out; 0, 2006, or the client's start result.
uint32_t CloneGetInfo(uint8_t *out /* 80 bytes */);
// Card request 17: checks a program clone file and loads its sections into
// the work buffer; 0 (connection left open), 73 bad file, 2003 too large,
// 2002 made for another controller, 2007 made by a newer firmware, 2006 a
// failed exchange, or a file status. Every failure releases the connection
// and reloads the stored program.
uint32_t ValidatePgm(const char *name, uint8_t *out /* 80 bytes */);
// The file part of ValidatePgm alone (no command exchange): header (84
// bytes) and sections into the work buffer; 0, 73, 2003 or a file status.
uint32_t CloneReadFile(const char *name, uint8_t *out /* 80 bytes */, uint8_t *header /* 84 bytes */);
// Card request 18: downloads the validated sections, loads the data clone
// when asked, stores and restarts; comes back only on failure (2006).
uint32_t LoadPgm();
// Card request 19: releases the internal connection.
uint32_t CloneRelease();
// Set for a clone load whose errors are reported (word 291 bit 11).
extern uint8_t Clon_LoadClone;
// Work buffer of the program load, bytes used.
constexpr uint32_t DNLD_IMAGE_SIZE = 6u * 1024 * 1024;

// The IEC retain clone beside the data clone: the running IEC application's
// retain file, written by MakeDat and taken back by LoadDat (z7LoadDat: the
// runtime loads it and it replaces "/mnt/cfg/z7.ret"; 1 when done).
constexpr const char *CLONE_IEC_RETAIN = "/mnt/USB0/XIECclone.dat";
uint32_t z7LoadDat(const char *name);
// Writes the data clone: 0 or a file status; replaced only when complete.
uint32_t MakeDat(const char *name);
// Checks the data clone and loads it into the register image: 0; 73 a CRC
// that does not match (the image untouched); 65535 a short file; or a file
// status.
uint32_t LoadDat(const char *name);

// The internal command client (the executive aims clone_cmd_link at it at
// start-up): the clone plays the programming tool against the controller's
// own command processor. Unset, the programming port cannot be had (2004).
constexpr uint16_t MCMD_TIMEOUT = 32768;  // no answer in time
constexpr uint16_t MCMD_BADSUM = 32769;   // answer frame with a wrong checksum
constexpr uint16_t MCMD_FRAME = 255;      // a good answer frame
constexpr uint32_t MCMD_RX_MAX = 255;     // short frames only
// Error number of the last clone operation over the link (0 none).
extern uint32_t MCMD_Errno;
struct CloneCmdLink {
    uint32_t (*init)(uint32_t argument);
    uint16_t (*send_cmd)(uint8_t command, uint8_t length, const uint8_t *data, uint8_t *rx, uint32_t rx_max,
                         uint32_t *rx_len);
    uint16_t (*send_data)(uint8_t length, const uint8_t *data);
    uint16_t (*get_data)(uint32_t *length, uint8_t *buffer, uint32_t max);
    void (*send_cntl)(uint8_t byte);
    void (*close)();
};
extern CloneCmdLink clone_cmd_link;
