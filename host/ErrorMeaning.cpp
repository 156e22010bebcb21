#include "host/ErrorMeaning.h"

namespace host {

const char* ErrorMeaning(int errCode) {
  switch (errCode) {
    case kErrNone:
      return "no error";
    case kErrRestarted:
      return "started again after an earlier error";
    case kErrThreadFailed:
      return "the worker thread could not be created";
    case kErrHash:
      return "the file could not be hashed (missing, unreadable, changed, or stopped)";
    case kErrDispatch:
      return "the dispatch request failed";
    case kErrTaskFile:
      return "the task file could not be written";
    case kErrCheck:
      return "the upload check failed";
    case kErrUploadSend:
      return "sending the file failed";
    case kErrUploadReply:
      return "the upload server's reply was not understood";
    case kErrUploadStatus:
      return "the upload server refused the data";
    case kErrFinish:
      return "finishing the upload failed";
    default:
      return "unknown error";
  }
}

}  // namespace host
