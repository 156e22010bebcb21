// Whole-file hashing of an upload task's file.
//
// HashFile reads the file in 16,384-byte reads, absorbing every byte the file had when it was
// opened; it checks the stop request before each read and reports the percentage after each.
// Only one hasher of the runtime runs at full speed: it holds the HashGate (taken when free,
// given back on every exit); every other hasher waits up to 1 ms on the gate before each read
// until it can take it (store/HashGate.h).
//
// Thread safety: up to three hashers run at once, each with its own digest, file and buffer.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Env.h"
#include "store/HashGate.h"
#include "store/Sha1.h"

class IHashProgress {
 public:
  virtual ~IHashProgress() = default;
  virtual bool StopRequested() = 0;
  virtual void SetHashPercent(int32_t percent) = 0;
};

// True when every byte was absorbed (Final is not called). False when the path is null, the
// file cannot be opened, a read returns 0 bytes early, or a stop was requested.
bool HashFile(platform::Env& env, HashGate& gate, const char* path, CSha1Digest& digest,
              IHashProgress& progress);

// The digest text (40 upper-case hex digits) of a whole file; empty when it cannot be read.
// For tools and tests: no progress, no stop, and a gate of its own.
std::string FileDigestText(platform::Env& env, const char* path);
