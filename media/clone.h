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
// Writes the data clone: 0 or a file status; replaced only when complete.
uint32_t MakeDat(const char *name);
// Checks the data clone and loads it into the register image: 0; 73 a CRC
// that does not match (the image untouched); 65535 a short file; or a file
// status.
uint32_t LoadDat(const char *name);
