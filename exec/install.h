// Installation from removable media and the board's pin set-up.
#pragma once

#include <cstdint>
#include <sys/types.h>

// Pin-control set-up of the board: maps the SoC register window first.
void GPIOInit();
// Installation from removable media, started with one command-line argument.
// It ends in a reset or an endless LED signal and does not come back (on the
// host the endless signal returns when the process is asked to stop).
void InstallBoot();
// Update from the removable media on a LOAD press, one step per call: 0
// while working, then the result bits: 0x01 kernel, 0x04 firmware, 0x40 an
// application file, 0x20 media found; 0x80 (0xA0 with media) nothing done.
uint32_t UpdateKernFirmApplic(uint32_t sample, uint32_t tick);
// Assigns the next MAC ID of "MACIDS.TXT" on the media to the interface of
// the image: 0 done, 2 not updated (the list is used up, or the interface
// keeps the valid MAC it has, whose image is written back), 3 writing or
// re-reading failed, 4 an invalid MAC in the list, 5 no list.
uint32_t SaveMACID(uint8_t *image /* 76 bytes */, uint32_t iface, const char *list);
// Installation message text (for a display; also printed).
extern char InstallMessage[256];
// Process id of the LED blinker while an update or the installation works
// (0 none).
extern pid_t install_blinker;
// The maker's registered identifier: the first three bytes of a valid MAC.
constexpr uint8_t MAKER_OUI[3] = {0x02, 0x43, 0x50};
// After a download of the MAC image: when the MAC of eth0 (bytes 8..13 of
// tinyImage) carries the maker's identifier, stores the image in
// "/mnt/cfg/TINYIMGE.BIN", sets the interface address and mirrors the last
// four MAC bytes into register bytes 324..327; 0 done, 1 not.
bool SaveAndSetMACID();
// Six hexadecimal pairs separated by one character ("02:43:50:00:01:10");
// 1 only when all are valid and the first three are the maker's identifier.
uint32_t convert_MACSTR_MACINT(const char *text, uint8_t *out /* 6 bytes */);
// Two upper-case hexadecimal digits (and a terminating zero) of a byte.
void convert_BYTE_ASCIIHEX(char *out /* 3 bytes */, uint8_t byte);
