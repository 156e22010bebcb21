// Verifying a server's certificate on Windows, by our own hand: Schannel is asked for manual
// validation (it checks nothing on its own under every Windows we run on, and Wine's checks
// nothing at all), so the TLS backend (Tls_win32.cpp) calls this once the handshake is through
// and before a byte of the request goes out.
//
//   1. The chain: CertGetCertificateChain with the serverAuth usage, through the system's chain
//      engine (the certificate store's roots), or through an engine whose only roots are the
//      caller's (hExclusiveRoot) when TlsTrust::caFile is set. The chain's TrustStatus is read
//      here, flag by flag: CertVerifyCertificateChainPolicy is not consulted, because Wine's
//      passes a chain whose issuer is unknown.
//   2. The dates of every certificate in the chain.
//   3. The names: the leaf's subject alternative names against the host, by platform/CertNames.h,
//      the same rules as on Linux (Wine matches no IP address itself; we do).
//
// The failures are those of platform/TlsMessages.h.
//
// Thread safety: RootStore is immutable once made and may be shared by every connection; the
// functions are reentrant.
#pragma once

// clang-format off
#include <windows.h>  // first: the headers below need its types
#include <wincrypt.h>
// clang-format on

#include <memory>
#include <string>
#include <vector>

#include "platform/CertNames.h"
#include "platform/Status.h"

namespace platform {

// The roots of a PEM file in a memory store, and a chain engine that trusts only them.
class RootStore {
 public:
  // Null with *why (kTlsUnavailable) when the file cannot be read or holds no certificate.
  static std::unique_ptr<RootStore> FromPemFile(const std::string& path, Status* why);
  ~RootStore();
  RootStore(const RootStore&) = delete;
  RootStore& operator=(const RootStore&) = delete;

  HCERTCHAINENGINE engine() const { return engine_; }
  bool Holds(PCCERT_CONTEXT cert) const;

 private:
  RootStore() = default;
  HCERTSTORE store_ = nullptr;
  HCERTCHAINENGINE engine_ = nullptr;
};

// The DER certificates of a PEM text, in order ("-----BEGIN CERTIFICATE-----" blocks).
std::vector<std::string> PemCertificates(const std::string& pem);

// The leaf's DNS and IP address names.
CertificateNames NamesOfCertificate(PCCERT_CONTEXT leaf);

// Ok when leaf, with the intermediates in its own store (as Schannel hands it over), leads to a
// trusted root (roots: the caller's, or null for the system's), every certificate is within its
// dates, and the leaf names host.
Status VerifyServerCertificate(PCCERT_CONTEXT leaf, const RootStore* roots,
                               const std::string& host);

}  // namespace platform
