// Name resolution for this process's own connects, with a process-wide override table.
//
// An override maps (host name, port) to an IPv4 address, as curl's --resolve does; the Linux
// host fills it from its --resolve options and tests use it to reach names of the service domain
// on loopback. It replaces only this process's own look-ups (a direct connect, the connect to a
// proxy); the names a proxy resolves itself (the CONNECT line, the SOCKS4a request) are sent as
// given.
//
// Thread safety: the table is guarded by a lock; lookups may run on any thread.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Adds or replaces an override. addr is dotted IPv4 text; false when it is not.
bool AddResolveOverride(const std::string& host, uint16_t port, const std::string& addr);
// Parses "HOST:PORT:ADDR" (curl's form) and adds it; false when the text is malformed.
bool AddResolveEntry(const std::string& entry);
void ClearResolveOverrides();

// Resolves host for a connect to port: the override table first, then dotted IPv4 text, then
// the system resolver. On success *addr holds the IPv4 address in network byte order. On
// failure *socketError holds the error code of the socket layer's table (2: no address record
// for the name; 17: any other resolver failure).
bool ResolveIPv4(const char* host, uint16_t port, uint32_t* addr, int* socketError);

}  // namespace platform
