// Whole-file hashing of an upload task's file.
//
// HashFile reads the file in 16,384-byte reads, absorbing every byte the file had when it was
// opened; it checks the stop request before each read and reports the percentage after each.
// Only one hasher in the process runs at full speed: it holds HashSlotCount (taken by a
// compare-and-set from 0 to 1, given back on every exit); every other hasher sleeps 1 ms before
// each read until it can take the slot.
//
// Thread safety: up to three hashers run at once, each with its own digest, file and buffer.
#pragma once

#include <cstdint>
#include <string>

#include "store/Sha1.h"

class IHashProgress {
 public:
  virtual ~IHashProgress() = default;
  virtual bool StopRequested() = 0;
  virtual void SetHashPercent(int32_t percent) = 0;
};

// True when every byte was absorbed (Final is not called). False when the path is null, the
// file cannot be opened, a read returns 0 bytes early, or a stop was requested.
bool HashFile(const char* path, CSha1Digest& digest, IHashProgress& progress);

// The digest text (40 upper-case hex digits) of a whole file; empty when it cannot be read.
// For tools and tests: no progress, no stop, and the full-speed slot is taken as usual.
std::string FileDigestText(const char* path);
