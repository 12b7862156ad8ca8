// Clients of the data-logger and debug-logger mailbox channels. Each posting
// call answers -3 when its channel is busy (nothing posted) and -2 when
// posted; the result is collected with the channel's Result call.
#pragma once

#include <cstdint>

// Channel operations.
constexpr uint8_t CFDL_OP_STATUS = 0, CFDL_OP_SPACE = 1, CFDL_OP_MKDIR = 2, CFDL_OP_OPEN = 3, CFDL_OP_WRITE = 4,
                  CFDL_OP_CLOSE = 5;

int16_t CFDL_MakeDir(uint8_t drive, const char *path);
int16_t CFDL_Open(const char *name, uint32_t mode, uint32_t flags);
int16_t CFDL_Write(uint32_t handle, const void *data, uint32_t length, uint32_t extra);
int16_t CFDL_Close(uint32_t handle);
int16_t CFDL_Result();
uint16_t CFDL_GetStatus();
int16_t CFDL_GetFreeSpace(uint8_t drive, uint32_t *total_kb, uint32_t *free_kb);
// Bytes the last finished write took.
uint32_t CFDL_Written();

int16_t CFDBGL_MakeDir(uint8_t drive, const char *path);
int16_t CFDBGL_Open(const char *name, uint32_t mode, uint32_t flags);
int16_t CFDBGL_Write(uint32_t handle, const void *data, uint32_t length, uint32_t extra);
int16_t CFDBGL_Close(uint32_t handle);
int16_t CFDBGL_Result();
uint16_t CFDBGL_GetStatus();
int16_t CFDBGL_GetFreeSpace(uint8_t drive, uint32_t *total_kb, uint32_t *free_kb);
uint32_t CFDBGL_Written();
