#include "net/Connect.h"

#include <string>

#include "net/ProxyTunnel.h"
#include "net/TcpStream.h"
#include "net/TlsStream.h"

using platform::Status;

namespace {

void Note(const Call& call, const std::string& text) {
  call.transport.diagnostics.DebugOutput(text + "\r\n");
}

}  // namespace

Status OpenStream(const Call& call, const Endpoint& server, std::unique_ptr<Stream>* stream) {
  const bool tls = server.scheme == Scheme::kHttps;
  const uint16_t port = static_cast<uint16_t>(server.port & 0xFFFF);
  const std::string target =
      std::string(server.host ? server.host : "") + ":" + std::to_string(port);
  auto tcp = std::make_unique<TcpStream>(call);
  ProxySettings proxy{};
  const bool viaProxy = DiscoverProxy(call, server.host, tls, &proxy);
  Status s = viaProxy ? tcp->Connect(proxy.Host, static_cast<uint16_t>(proxy.Port & 0xFFFF))
                      : tcp->Connect(server.host, port);
  if (s.ok() && viaProxy) s = OpenTunnel(*tcp, proxy, server.host, port);
  std::unique_ptr<Stream> top = std::move(tcp);
  if (s.ok() && tls) {
    platform::TlsContext* context = call.transport.Tls(&s);
    if (context != nullptr) {
      auto layer = std::make_unique<TlsStream>(
          std::move(top), context->NewEngine(server.host, port), server.host, port);
      s = layer->Handshake();
      if (s.ok()) {
        Note(call, "TLS " + layer->engine().Version() + " with " + target +
                       (layer->engine().Resumed() ? " (session resumed)" : ""));
      }
      top = std::move(layer);
    }
  }
  if (!s.ok()) {
    Note(call, "connection to " + target + " failed: " + s.text());
    return s;
  }
  *stream = std::move(top);
  return s;
}
