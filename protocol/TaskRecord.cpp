#include "protocol/TaskRecord.h"

void InitTask(TaskRecord& task) {
  task.Status = kStatusCreated;
  task.ErrCode = kErrNone;
  task.LastWriteTime = 0;
  task.Running = false;
  task.FileName[0] = '\0';
  task.ParamStr[0] = '\0';
  task.PickCode[0] = '\0';
  task.SHA1Hash[0] = '\0';
  task.Host[0] = '\0';
  task.Key[0] = '\0';
  task.Port = 0;
  task.UploadScheme = Scheme::kHttp;
  task.IsUpload = false;
  task.Completed = false;
  task.Deleted = false;
  task.Hashed = false;
  task.NeedUpload = true;
  task.Retry = 0;
  task.Wait = 0;
  task.WaitStart = 0;
  task.ServerErrCode = 0;
  task.ServerErrMsg[0] = '\0';
}

void ChooseBlockSize(TaskRecord& task) {
  const int64_t size = task.FileSize;
  if (size <= 134217728LL) {
    task.BlockSize = 262144;
    task.BlockSchema = 0;
  } else if (size <= 268435456LL) {
    task.BlockSize = 524288;
    task.BlockSchema = 1;
  } else if (size <= 536870912LL) {
    task.BlockSize = 1048576;
    task.BlockSchema = 2;
  } else {
    task.BlockSize = 2097152;
    task.BlockSchema = 3;
  }
  if (size <= 0) {
    task.BlockCount = 0;
    return;
  }
  int64_t count = size / task.BlockSize + (size % task.BlockSize > 0 ? 1 : 0);
  task.BlockCount = static_cast<int32_t>(count);
}
