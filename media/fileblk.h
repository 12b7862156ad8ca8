// Shell jobs of the file instructions (copy and delete) as seen by the
// controller modes: a change to mode 0 kills them.
// placeholder until the file instructions land (media/fileblk_placeholder.cpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <pthread.h>

constexpr std::size_t RM_BLOCK_SIZE = 1030;
extern std::array<uint8_t, RM_BLOCK_SIZE> RmBlockDataCopy, RmBlockDataDelete, RmBlockDataDelAll,
    RmBlockDataDelFromObj;
// Nonzero while a job of that kind runs.
extern pthread_t RmCopyOpsThreadId, RmDeleteOpsThreadId, RmDelAllOpsThreadId, RmDelFromObjOpsThreadId;
extern int32_t CopyRet, DeleteRet;
