// placeholder until the file instructions land: no job ever runs.
#include "media/fileblk.h"

std::array<uint8_t, RM_BLOCK_SIZE> RmBlockDataCopy, RmBlockDataDelete, RmBlockDataDelAll,
    RmBlockDataDelFromObj;
pthread_t RmCopyOpsThreadId, RmDeleteOpsThreadId, RmDelAllOpsThreadId, RmDelFromObjOpsThreadId;
int32_t CopyRet, DeleteRet;
