// Firmware update from the SD card: the request bits of word 281, a model
// file in the card's root or the newest "UPDATE\Vvvvvbbb" folder, copied to
// "/mnt/firm/firmware" before a reboot into it.
#pragma once

#include <cstdint>

#include "media/cfm.h"

constexpr uint32_t W_UPDATE = 281;   // update control word
constexpr uint32_t W_FWBUILD = 186;  // running firmware's build
constexpr const char *FW_MODEL_STEM = "vbx310c";

extern uint16_t controller_mode;  // mode word saved while an update file is checked
extern uint8_t FwUpdateBusy;

// 1 when the file (a path on the card, '/' or '\' separated) is there and not
// empty; the controller is then stopped (mode 0) with its mode saved. A
// missing file changes nothing and answers 0.
uint32_t SD_check_fw_file(const char *path);
// Copies the file to "/mnt/firm/firmware", stores or erases the program and
// registers and reboots; comes back only on failure (nonzero, bit 14 of word
// 281 set, the saved mode restored).
uint32_t Load_fw_file_from_mSD(const char *path);
// Card request 27: lists the pattern, picks the newest version folder and
// starts the update when it is newer than the running firmware.
uint16_t GetFirmwareDir(uint8_t drive, CfmListReq *req);
// A "V" followed by exactly seven digits: version and build out.
bool FwFolderName(const char *name, uint32_t *version, uint32_t *build);
// The supervisor's firmware step (once per supervisor cycle).
void CFM_FirmwareCheck();
