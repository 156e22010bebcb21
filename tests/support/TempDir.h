// Test helpers shared by every test program: a temporary folder removed at the end and small
// file helpers.
#pragma once

#include <cstdint>
#include <string>

namespace testing_support {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const std::string& data);
std::string ReadFile(const std::string& path);
// A file of size bytes with a repeatable pattern (seed picks the pattern).
void WritePatternFile(const std::string& path, int64_t size, uint32_t seed = 1);

}  // namespace testing_support
