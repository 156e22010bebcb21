// The task file: a small XML document per begun upload, <user folder>/<SHA-1 of the local
// path>.udu, so that the upload survives the closing of the page and resumes after the next
// InitService.
//
//   <?xml version="1.0" ?>
//   <UpTask>
//       <TaskParam>
//           <FileName>..</FileName> <FileSize>..</FileSize> <IsUpload>0|1</IsUpload>
//           <SHA1Hash>..</SHA1Hash> <Host>..</Host> <Port>..</Port>
//           <ValidUpBytes>0</ValidUpBytes> <UpType>0</UpType> <ParamStr>..</ParamStr>
//           <PickCode>..</PickCode> <CreateTime>..</CreateTime> <LastWriteTime>..</LastWriteTime>
//       </TaskParam>
//   </UpTask>
//
// Lines end in CR LF; four spaces of indent per level. Texts come back byte for byte, whatever
// bytes they hold: control characters (tab, CR and LF included) are written as "&#x09;"
// (two upper-case hex digits) and spaces the parser would fold as "&#x20;"; reading takes
// decimal and hex references alike. Numbers read exactly over their whole range (FileSize up
// to 9223372036854775807) and saturate beyond it. Text after the root element's end is
// ignored.
//
// Writing is atomic: the document is printed to memory and replaces the old file through a
// temporary file, a checked write, a sync and a rename; on any failure the old file survives
// and the result is false.
//
// Every function works through the given Env (the runtime's).
//
// Thread safety: different tasks use different files; no lock is taken.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Env.h"

// The saved subset of a task.
struct SavedTask {
  char UserID[100];
  char FileName[1024];
  int64_t FileSize;
  bool IsUpload;
  char SHA1Hash[100];
  char Host[100];
  int32_t Port;
  char ParamStr[2048];
  char PickCode[100];
  int32_t LastWriteTime;
};

// The task file's name for a local path: 40 hex digits and ".udu".
std::string TaskFileName(const char* filePath);

bool WriteTaskFile(platform::Env& env, const SavedTask& task);
// Reads the named file (bare name, found in the folder of task.UserID) into task and sets
// IsUpload, whatever the file held. False, task unchanged, when the name is not a bare name or
// the file is missing, cannot be parsed, lacks an element it needs (FileName, FileSize, Port
// and LastWriteTime must also have text), or holds a text too long for its field.
bool ReadTaskFile(platform::Env& env, const char* fileName, SavedTask& task);
// Removes the task file of (userId, filePath). True when it existed and was removed.
bool DeleteTaskFile(platform::Env& env, const char* userId, const char* filePath);
