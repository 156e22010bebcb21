// Name resolution for this runtime's own connects, with a table of overrides.
//
// An override maps (host name, port) to an IPv4 address, as curl's --resolve does; the Linux
// host fills it from its --resolve options and tests use it to reach names of the service domain
// on loopback. It replaces only this runtime's own look-ups (a direct connect, the connect to a
// proxy); the names a proxy resolves itself (the CONNECT line, the SOCKS4a request) are sent as
// given. Names the table does not hold go to the system resolver of the Env's sockets.
//
// Thread safety: the table is guarded by a lock; lookups may run on any thread.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "platform/Env.h"

namespace platform {

class Resolver {
 public:
  explicit Resolver(Env& env) : env_(env) {}
  Resolver(const Resolver&) = delete;
  Resolver& operator=(const Resolver&) = delete;

  // Adds or replaces an override. addr is dotted IPv4 text; false when it is not.
  bool Add(const std::string& host, uint16_t port, const std::string& addr);
  // Parses "HOST:PORT:ADDR" (curl's form) and adds it; false when the text is malformed.
  bool AddEntry(const std::string& entry);
  void Clear();

  // Resolves host for a connect to port: the override table first, then dotted IPv4 text, then
  // the system resolver. On success *addr holds the IPv4 address in network byte order; on
  // failure *error is kInvalidAddress (no address record for the name) or kUnknown.
  bool ResolveIPv4(const char* host, uint16_t port, uint32_t* addr, SocketError* error);

 private:
  Env& env_;
  std::mutex lock_;
  std::map<std::pair<std::string, uint16_t>, uint32_t> table_;
};

// Dotted IPv4 text ("a.b.c.d", each 0..255) to network byte order.
bool ParseDottedIPv4(const std::string& text, uint32_t* addr);

}  // namespace platform
