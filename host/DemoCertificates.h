// Throwaway certificates for `ferrant demo`: a root made for this one run, and a server
// certificate it signs for the names the demo's server answers to, so that the demo goes over
// verified TLS exactly as a real deployment does, with nothing added to the system's trust.
//
// The files go into a folder the demo owns (and removes): root.pem (the root to trust),
// server.pem (the server's certificate, then nothing else: the root signs it directly) and
// server.key. Keys are P-256; the root lives one day.
//
// Failure: false with a line on err; nothing half-written is used.
// Thread safety: no shared state.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace host {

struct DemoCertificates {
  std::string rootFile, certFile, keyFile;
};

bool MakeDemoCertificates(const std::string& folder, const std::vector<std::string>& dnsNames,
                          DemoCertificates* out, FILE* err);

}  // namespace host
