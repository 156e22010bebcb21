#include "tests/support/TestPki.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace testing_support {
namespace {

std::string Quoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string Joined(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& i : items) out += (out.empty() ? "" : ",") + i;
  return out;
}

bool RunPki(const std::string& args) {
  const std::string command = Quoted(FERRANT_SOURCE_DIR "/tests/support/test-pki") + " " + args;
  if (std::system(command.c_str()) == 0) return true;
  ADD_FAILURE() << "failed: " << command;
  return false;
}

}  // namespace

TestPki::TestPki(std::string dir, const std::string& name) : dir_(std::move(dir)) {
  RunPki("root " + Quoted(dir_) + " " + Quoted(name));
}

TestPki::Leaf TestPki::Issue(const std::string& file, const LeafSpec& spec) {
  std::string args = "leaf " + Quoted(dir_) + " " + Quoted(file);
  if (!spec.dns.empty()) args += " --dns " + Quoted(Joined(spec.dns));
  if (!spec.ip.empty()) args += " --ip " + Quoted(Joined(spec.ip));
  if (spec.validity == Validity::kExpired) args += " --expired";
  if (spec.validity == Validity::kNotYetValid) args += " --not-yet-valid";
  if (!RunPki(args)) return {};
  const std::string base = dir_ + "/" + file;
  return {base + ".pem", base + ".key", base + "-chain.pem"};
}

}  // namespace testing_support
