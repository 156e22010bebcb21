#include "server/ReferenceServer.h"

#include <asio.hpp>
#include <chrono>
#include <optional>
#include <thread>

#include "server/Connection.h"
#include "server/ServerState.h"
#include "server/TlsContext.h"

namespace refserver {
namespace {
constexpr int kStopWaitMs = 3000;  // how long Stop lets aborted connections wind down
}

struct ReferenceServer::Impl {
  std::shared_ptr<ServerState> state = std::make_shared<ServerState>();
  asio::io_context io;
  asio::strand<asio::io_context::executor_type> acceptStrand = asio::make_strand(io);
  asio::ip::tcp::acceptor acceptor{acceptStrand};
  asio::steady_timer acceptRetry{acceptStrand};
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
  asio::thread_pool checks{1};
  std::vector<std::thread> threads;
  bool started = false;
  bool stopped = false;

  void Accept() {
    acceptor.async_accept(asio::make_strand(io), [this](const std::error_code& ec, auto socket) {
      if (state->stopping) return;
      if (ec) {
        if (ec == asio::error::operation_aborted) return;
        // Out of descriptors or a connection reset before it was taken: try again soon.
        acceptRetry.expires_after(std::chrono::milliseconds(10));
        acceptRetry.async_wait([this](const std::error_code& e) {
          if (!e && !state->stopping) Accept();
        });
        return;
      }
      auto c = std::make_shared<Connection>(state, asio::ip::tcp::socket(std::move(socket)));
      state->AddLive(c);
      c->Start();
      Accept();
    });
  }
};

ReferenceServer::ReferenceServer(ServerOptions options)
    : options_(std::move(options)), impl_(std::make_unique<Impl>()) {
  impl_->state->options = options_;
  impl_->state->store = std::make_unique<UploadStore>(options_.storeDir);
  impl_->state->checks = &impl_->checks;
}

ReferenceServer::~ReferenceServer() {
  Stop();
}

bool ReferenceServer::Start() {
  if (impl_->started || impl_->stopped) return false;
  if (!options_.tlsCertFile.empty() || !options_.tlsKeyFile.empty()) {
    impl_->state->tls = MakeTlsContext(options_, &error_);
    if (!impl_->state->tls) return false;
  }
  std::error_code ec;
  asio::ip::tcp::endpoint ep(asio::ip::make_address(options_.bindAddress, ec), options_.port);
  if (ec) {
    error_ = "not an address: " + options_.bindAddress;
    return false;
  }
  asio::ip::tcp::acceptor& a = impl_->acceptor;
  a.open(ep.protocol(), ec);
  if (!ec) a.set_option(asio::ip::tcp::acceptor::reuse_address(true), ec);
  if (!ec) a.bind(ep, ec);
  if (!ec) a.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    error_ = "cannot listen on " + options_.bindAddress + ":" + std::to_string(options_.port) +
             ": " + ec.message();
    a.close(ec);
    return false;
  }
  port_ = a.local_endpoint().port();
  impl_->state->port = port_;
  impl_->work.emplace(asio::make_work_guard(impl_->io));
  impl_->Accept();
  int threads = options_.threads < 1 ? 1 : options_.threads;
  for (int i = 0; i < threads; ++i) {
    impl_->threads.emplace_back([this] { impl_->io.run(); });
  }
  impl_->started = true;
  return true;
}

void ReferenceServer::Stop() {
  if (!impl_->started || impl_->stopped) return;
  impl_->stopped = true;
  ServerState& state = *impl_->state;
  state.stopping = true;
  asio::post(impl_->acceptStrand, [this] {
    std::error_code ec;
    impl_->acceptor.close(ec);
    impl_->acceptRetry.cancel();
  });
  // Ends every connection, again for any accepted meanwhile, until none is left: each one
  // that goes counts as a change of the statistics.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStopWaitMs);
  for (;;) {
    for (auto& c : state.Live()) c->Abort();
    std::unique_lock<std::mutex> g(state.m);
    if (state.live.empty()) break;
    if (state.statsChanged.wait_until(g, deadline) == std::cv_status::timeout) break;
  }
  state.DropWaits();
  impl_->work.reset();
  impl_->io.stop();
  for (std::thread& t : impl_->threads) t.join();
  impl_->threads.clear();
  impl_->checks.join();
}

void ReferenceServer::SetFault(const std::string& endpoint, const EndpointFault& fault) {
  std::lock_guard<std::mutex> g(impl_->state->m);
  impl_->state->faults[endpoint] = fault;
}

void ReferenceServer::ClearFaults() {
  std::lock_guard<std::mutex> g(impl_->state->m);
  impl_->state->faults.clear();
}

ServerStats ReferenceServer::Stats() {
  std::lock_guard<std::mutex> g(impl_->state->m);
  return impl_->state->stats;
}

bool ReferenceServer::WaitForStats(const std::function<bool(const ServerStats&)>& ready,
                                   int timeoutMs) {
  std::unique_lock<std::mutex> g(impl_->state->m);
  return impl_->state->statsChanged.wait_for(g, std::chrono::milliseconds(timeoutMs),
                                             [&] { return ready(impl_->state->stats); });
}

UploadStore& ReferenceServer::Store() {
  return *impl_->state->store;
}

}  // namespace refserver
