// What the reference server's connections share: the options, the store, the fault switches,
// the statistics, and who is writing which upload key.
//
// Connections hold it by shared_ptr, so it outlives the last of them whatever order the
// server's parts are torn down in.
//
// Thread safety: every member function locks `m`; `options`, `port` and `tls` are fixed before
// the first connection; `store` is thread-safe itself.
#pragma once

#include <asio.hpp>
#include <asio/ssl.hpp>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "server/ReferenceServer.h"
#include "server/UploadStore.h"

namespace refserver {

class Connection;

struct ServerState {
  ServerOptions options;
  uint16_t port = 0;
  std::unique_ptr<UploadStore> store;
  std::atomic<bool> stopping{false};
  asio::thread_pool* checks = nullptr;      // runs finish checks; owned by the server
  std::unique_ptr<asio::ssl::context> tls;  // the TLS settings; nullptr for plain HTTP

  std::mutex m;
  std::condition_variable statsChanged;  // notified under m whenever stats change
  std::map<std::string, EndpointFault> faults;
  ServerStats stats;
  std::map<std::string, std::weak_ptr<Connection>> writers;  // upload key -> its writer
  std::map<const Connection*, std::weak_ptr<Connection>> live;

  // Counts the request and hands out the fault that applies to it (used up when counted).
  EndpointFault TakeFault(const std::string& endpoint, const std::string& target);
  void AddUploadBytes(const std::string& key, int64_t n);
  void RecordDelete(const std::string& pickCode, const std::string& cookie);
  // Counts a finished TLS handshake; ssl nullptr: a failed one.
  void RecordHandshake(SSL* ssl);
  void SetWriter(const std::string& key, const std::shared_ptr<Connection>& writer);
  void ClearWriter(const std::string& key, const Connection* writer);
  // Ends the connection still writing the key (one its client has left), if any.
  void Supersede(const std::string& key, const Connection* except);
  void AddLive(const std::shared_ptr<Connection>& c);
  void RemoveLive(const Connection* c);
  std::vector<std::shared_ptr<Connection>> Live();
  size_t LiveCount();

  // Lets go of an upload key and wakes every connection waiting for it.
  void ReleaseKey(const std::string& key);
  // Runs wake (once, on the releasing thread) at the key's next release; it must only post.
  // Returns the wait's token for CancelAwait.
  uint64_t AwaitRelease(const std::string& key, std::function<void()> wake);
  // Forgets a wait that has not fired (its owner decided otherwise); unknown tokens are ignored.
  void CancelAwait(uint64_t token);
  // Forgets the waits (the server stops).
  void DropWaits();

 private:
  struct ReleaseWait {
    std::string key;
    std::function<void()> wake;
  };
  std::map<uint64_t, ReleaseWait> releaseWaits_;  // under m
  uint64_t nextWaitToken_ = 0;                    // under m
};

}  // namespace refserver
