// A private certificate authority for one test (tests/support/test-pki, the openssl command):
// a root to trust, an intermediate, and server certificates with the names, addresses and dates
// a case needs. Everything lives in the folder given, which the test owns.
//
// Failure: a command that fails fails the current test (ADD_FAILURE) and leaves empty paths.
// Thread safety: one test thread.
#pragma once

#include <string>
#include <vector>

namespace testing_support {

class TestPki {
 public:
  enum class Validity { kCurrent, kExpired, kNotYetValid };
  struct LeafSpec {
    std::vector<std::string> dns;
    std::vector<std::string> ip;
    Validity validity = Validity::kCurrent;
  };
  struct Leaf {
    std::string cert;   // the leaf alone (PEM)
    std::string key;    // its private key (PEM)
    std::string chain;  // the leaf, then the intermediate: what a server presents
  };

  // Makes the root and the intermediate in dir (an existing folder); name labels the subjects.
  explicit TestPki(std::string dir, const std::string& name = "Ferrant Test");
  // The root certificate (PEM): the file a client trusts.
  std::string RootFile() const { return dir_ + "/root.pem"; }
  // Issues a certificate; file names it in the folder.
  Leaf Issue(const std::string& file, const LeafSpec& spec);

 private:
  std::string dir_;
};

}  // namespace testing_support
