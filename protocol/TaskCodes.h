// The task states and error codes as the page reads them in the status line ("Status=",
// "ErrCode="). Front ends compare against these names, never against bare numbers; the numbers
// themselves are the page's contract and never change.
#pragma once

#include <cstdint>

// Task states (Status).
enum TaskStatus : int32_t {
  kStatusCreated = 1,
  kStatusStarting = 2,  // also: queued behind three running tasks
  kStatusHashing = 3,
  kStatusDispatch = 4,
  kStatusCheck = 5,
  kStatusUploading = 6,
  kStatusStopped = 7,
  kStatusFinishing = 8,
  kStatusCompleted = 9,
  kStatusRetryWait = 70,
};

// Error codes (ErrCode); the code keeps the last value written.
enum TaskError : int32_t {
  kErrNone = 100,
  kErrRestarted = 300,
  kErrThreadFailed = 301,
  kErrHash = 302,
  kErrDispatch = 401,
  kErrTaskFile = 490,
  kErrCheck = 501,
  kErrUploadSend = 601,
  kErrUploadReply = 602,
  kErrUploadStatus = 603,
  kErrFinish = 801,
};
