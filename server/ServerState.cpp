#include "server/ServerState.h"

#include "server/Connection.h"
#include "server/TlsContext.h"

namespace refserver {
namespace {
constexpr size_t kMaxTargets = 20000;
}  // namespace

EndpointFault ServerState::TakeFault(const std::string& endpoint, const std::string& target) {
  std::lock_guard<std::mutex> g(m);
  stats.requests[endpoint]++;
  stats.targets.push_back(target);
  // A server left running keeps only the recent targets.
  if (stats.targets.size() > kMaxTargets) {
    stats.targets.erase(stats.targets.begin(), stats.targets.begin() + kMaxTargets / 2);
  }
  statsChanged.notify_all();
  auto it = faults.find(endpoint);
  if (it == faults.end()) return EndpointFault{};
  EndpointFault f = it->second;
  if (f.refuseCount > 0) {
    if (--it->second.refuseCount == 0) faults.erase(it);
    bool other = f.status || f.garbage || f.oversized || f.closeWithoutAnswer || f.stall ||
                 f.resetAfterBytes >= 0 || f.stallAfterBytes >= 0;
    if (!other) f.status = 500;
  }
  return f;
}

void ServerState::AddUploadBytes(const std::string& key, int64_t n) {
  std::lock_guard<std::mutex> g(m);
  stats.uploadBytes += n;
  stats.uploadBytesByKey[key] += n;
  statsChanged.notify_all();
}

void ServerState::RecordDelete(const std::string& pickCode, const std::string& cookie) {
  std::lock_guard<std::mutex> g(m);
  stats.lastDeletePickCode = pickCode;
  stats.lastDeleteCookie = cookie;
  statsChanged.notify_all();
}

void ServerState::RecordHandshake(SSL* ssl) {
  TlsAgreement a;
  if (ssl != nullptr) a = AgreementOf(ssl);
  std::lock_guard<std::mutex> g(m);
  if (ssl == nullptr) {
    stats.tlsHandshakeFailures++;
  } else {
    stats.tlsHandshakes++;
    stats.tlsResumed += a.resumed ? 1 : 0;
    stats.lastTlsVersion = std::move(a.version);
    stats.lastTlsCipher = std::move(a.cipher);
    stats.lastTlsServerName = std::move(a.serverName);
  }
  statsChanged.notify_all();
}

void ServerState::SetWriter(const std::string& key, const std::shared_ptr<Connection>& writer) {
  std::lock_guard<std::mutex> g(m);
  writers[key] = writer;
}

void ServerState::ClearWriter(const std::string& key, const Connection* writer) {
  std::lock_guard<std::mutex> g(m);
  auto it = writers.find(key);
  if (it == writers.end()) return;
  std::shared_ptr<Connection> current = it->second.lock();
  if (!current || current.get() == writer) writers.erase(it);
}

void ServerState::Supersede(const std::string& key, const Connection* except) {
  std::shared_ptr<Connection> writer;
  {
    std::lock_guard<std::mutex> g(m);
    auto it = writers.find(key);
    if (it == writers.end()) return;
    writer = it->second.lock();
    if (!writer || writer.get() == except) return;
  }
  writer->Abort();
}

void ServerState::AddLive(const std::shared_ptr<Connection>& c) {
  std::lock_guard<std::mutex> g(m);
  live[c.get()] = c;
  stats.connections++;
  stats.openConnections = live.size();
  statsChanged.notify_all();
}

void ServerState::RemoveLive(const Connection* c) {
  std::lock_guard<std::mutex> g(m);
  live.erase(c);
  stats.openConnections = live.size();
  statsChanged.notify_all();
}

std::vector<std::shared_ptr<Connection>> ServerState::Live() {
  std::vector<std::shared_ptr<Connection>> out;
  std::lock_guard<std::mutex> g(m);
  for (auto& [ptr, weak] : live) {
    if (auto c = weak.lock()) out.push_back(std::move(c));
  }
  return out;
}

size_t ServerState::LiveCount() {
  std::lock_guard<std::mutex> g(m);
  return live.size();
}

void ServerState::ReleaseKey(const std::string& key) {
  store->Release(key);
  std::vector<std::function<void()>> wakes;
  {
    std::lock_guard<std::mutex> g(m);
    for (auto it = releaseWaits_.begin(); it != releaseWaits_.end();) {
      if (it->second.key != key) {
        ++it;
        continue;
      }
      wakes.push_back(std::move(it->second.wake));
      it = releaseWaits_.erase(it);
    }
  }
  for (auto& wake : wakes) wake();
}

uint64_t ServerState::AwaitRelease(const std::string& key, std::function<void()> wake) {
  std::lock_guard<std::mutex> g(m);
  const uint64_t token = ++nextWaitToken_;
  releaseWaits_.emplace(token, ReleaseWait{key, std::move(wake)});
  return token;
}

void ServerState::CancelAwait(uint64_t token) {
  std::function<void()> dropped;  // destroyed outside the lock: it may hold the last reference
  std::lock_guard<std::mutex> g(m);
  auto it = releaseWaits_.find(token);
  if (it == releaseWaits_.end()) return;
  dropped = std::move(it->second.wake);
  releaseWaits_.erase(it);
}

void ServerState::DropWaits() {
  std::map<uint64_t, ReleaseWait> dropped;  // destroyed outside the lock, like CancelAwait's
  std::lock_guard<std::mutex> g(m);
  dropped.swap(releaseWaits_);
}

}  // namespace refserver
