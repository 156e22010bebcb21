// A reference server started in-process on a free loopback port for each test, with helpers
// that send the control's exact requests through the raw client (server_client.h).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "server/ReferenceServer.h"
#include "tests/support/TempDir.h"
#include "tests/support/server_client.h"

namespace testing_support {

// One file on its way up: its bytes and what the dispatch server said.
struct ServerUpload {
  std::string bytes, sha1, pickCode, key;
  int64_t size = 0;
  int schema = 0;
};

class ServerTest : public ::testing::Test {
 protected:
  ServerTest();
  ~ServerTest() override;
  // Stops the running server and starts a new one on the same store folder.
  void Restart(refserver::ServerOptions options);
  refserver::ServerOptions DefaultOptions() const;
  uint16_t port() const { return server_->Port(); }

  RawReply Dispatch(const std::string& cmd, const std::string& sha1, int64_t size,
                    const std::string& pickCode = "", const std::string& name = "f.bin");
  // Dispatches bytes as a new file; fails the test unless an upload is asked for.
  ServerUpload NewUpload(const std::string& bytes);
  RawReply Check(const ServerUpload& u);
  // The whole upload request from offset: head, file bytes, closing line.
  RawReply Up(const ServerUpload& u, int64_t offset);
  // hashes "" : the right final-block hash; schema -1: the right schema.
  RawReply Fin(const ServerUpload& u, const std::string& hashes = "", int schema = -1);
  // "<BlockCount>:<SHA-1 of the last block>" as the control computes it.
  static std::string FinalBlockHash(const std::string& bytes);

  TempDir dir_;
  std::unique_ptr<refserver::ReferenceServer> server_;
};

}  // namespace testing_support
