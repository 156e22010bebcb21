// The data of one upload task: which local file, for which user, what the dispatch and upload
// servers said about it, and where it stands. The fields, their widths and their meanings are
// those the page sees through the status line and the task file stores.
//
// A TaskRecord is plain data. The shared record of the task table (CTask, upload/Task.h) keeps
// one under its lock; a worker runs the protocol requests on its own copy and publishes what
// they changed (upload/Worker.cpp), so the requests below read and write plain fields.
//
// Text fields hold NUL-terminated narrow text; their sizes include the terminator. Every write
// into them is bounded (platform/Bounded.h).
#pragma once

#include <cstdint>

#include "net/Endpoint.h"
#include "protocol/TaskCodes.h"

struct TaskRecord {
  char UserID[100];
  char Cookie[500];
  char FileName[1024];
  char ParamStr[2048];
  char PickCode[100];
  char SHA1Hash[100];
  char Host[100];
  int32_t Port;
  // The scheme of the dispatch address that named Host and Port: the upload server is asked
  // over TLS exactly when the dispatch server was. Not stored in the task file (a reloaded task
  // asks the dispatch server again before it uses Host).
  Scheme UploadScheme;
  char Key[100];
  int32_t BlockSize;
  int32_t BlockCount;
  int32_t BlockSchema;
  int64_t FileSize;
  int64_t Offset;
  int32_t LastWriteTime;
  bool IsUpload;
  bool NeedUpload;
  bool Completed;
  bool Hashed;
  bool Deleted;
  bool Running;
  int32_t ErrCode;
  int32_t Status;
  int32_t ServerErrCode;
  char ServerErrMsg[1024];
  int32_t Retry;
  int32_t Wait;
  int64_t WaitStart;
};

// Gives every field its initial value (Status 1, ErrCode 100, NeedUpload 1, texts empty, ...),
// leaving UserID, Cookie, FileSize, Offset and the block plan to the caller.
void InitTask(TaskRecord& task);

// Sets BlockSize, BlockSchema and BlockCount from FileSize:
//   <= 128 MiB (negative included): 256 KiB, 0;  <= 256 MiB: 512 KiB, 1;
//   <= 512 MiB: 1 MiB, 2;  larger: 2 MiB, 3.  BlockCount = ceil(FileSize / BlockSize).
void ChooseBlockSize(TaskRecord& task);
