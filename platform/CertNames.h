// Whether a server certificate names the host a client asked for, by the rules browsers apply:
//
//   - A host that is a dotted IPv4 address matches only an IP address entry holding the same
//     four bytes; a DNS entry never matches an address, even one written as the same text.
//   - A DNS host matches a DNS entry equal to it, compared without ASCII case; one trailing dot
//     on either side is ignored ("corvel.example." is "corvel.example").
//   - A wildcard stands only as the whole leftmost label ("*.corvel.example"), matches exactly
//     one non-empty label of the host, and needs at least two labels after it: "*.example",
//     "f*.corvel.example" and "a.*.example" match nothing.
//   - The subject's common name is not consulted (a certificate names its hosts in its subject
//     alternative names).
//
// Both TLS backends call this after the chain has verified, so a name matches the same way on
// Linux and on Windows.
//
// Thread safety: pure functions.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct CertificateNames {
  std::vector<std::string> dns;  // the DNS name entries, as written
  std::vector<std::string> ip;   // the IP address entries, as raw bytes (4 for IPv4, 16 for IPv6)
};

// True when one DNS entry (pattern) matches the DNS host name.
bool DnsNameMatches(std::string_view pattern, std::string_view host);
// True when the certificate's names cover host (a DNS name or a dotted IPv4 address).
bool CertificateNamesHost(const CertificateNames& names, std::string_view host);

}  // namespace platform
