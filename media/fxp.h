// File-transfer host: carries out the programming tool's file commands on
// the controller's drives. The command protocol hands over command lines and
// data blocks and collects reply codes and data; FxpMain executes one command
// at a time and moves file data between the drive and a 2,048-byte ring.
#pragma once

#include <array>
#include <cstdint>

constexpr std::size_t FXP_LINE_MAX = 512;
constexpr std::size_t FXP_RING_SIZE = 2048;

// Transfer states.
constexpr uint8_t FXP_IDLE = 0, FXP_DOWNLOAD = 1, FXP_DOWNLOAD_OUT = 2, FXP_UPLOAD = 3, FXP_UPLOAD_DONE = 4,
                  FXP_LISTING = 5, FXP_LISTING_OUT = 6;

struct FxpInterfaceRec {
    uint32_t reply;
    uint32_t extra;
    uint16_t wr;
    uint16_t rd;
    uint16_t fill;
    uint8_t pending;
    uint8_t done;
    uint8_t end_of_data;
    uint8_t state;
    char line[FXP_LINE_MAX + 1];
    std::array<uint8_t, FXP_RING_SIZE> ring;
};
extern FxpInterfaceRec FxpInterface;

// Resets the transfer state.
void Fxp_Initialise();
// line: zero-terminated command line, or null to poll for the reply. Returns
// -1 while in progress, else the reply code; *extra gets the 32-bit value
// that comes with reply 619, -1 otherwise.
int32_t Fxp_DoParseCommand(const char *line, int32_t *extra);
// A block of file data to the controller (length 0 ends the upload): 651
// taken, -1 offer again next pass, other codes refused.
int32_t Fxp_DoWriteData(const uint8_t *data, uint32_t length);
// Up to max bytes of file data from the controller: the count (0 the end),
// -1 ask again next pass, or a refusal as the negated reply code (-611,
// -653), so that a code is never mistaken for a count.
int32_t Fxp_DoReadData(uint8_t *buffer, uint32_t max);
// One step per main-loop pass.
void FxpMain(uint32_t arg);
