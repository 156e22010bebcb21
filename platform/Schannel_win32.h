// The seams of the Windows TLS backend (Tls_win32.cpp), so that its tests can drive the engine
// through paths that Wine's Schannel never takes (TLS 1.3 tickets after the handshake, which
// DecryptMessage answers with SEC_I_RENEGOTIATE; a close_notify; records split anywhere):
//
//   - every SSPI call goes through a function table: the system's (InitSecurityInterfaceW) in
//     the product, a scripted one in tests/windows/schannel_engine.cpp;
//   - the check of the server's certificate, once the handshake is through, is a function: the
//     chain, dates and names of CertVerify_win32.h in the product.
//
// Thread safety: as platform/Tls.h. Ownership: the table and the function outlive the context.
#pragma once

#define SECURITY_WIN32
// clang-format off
#include <windows.h>  // first: the headers below need its types
#include <sspi.h>
// clang-format on

#include <memory>
#include <string>

#include "platform/CertVerify_win32.h"
#include "platform/Tls.h"

namespace platform {

// Checks the certificate of an established context for host; roots: the caller's, or null for
// the system's.
using ServerCheck = Status (*)(const SecurityFunctionTableW& sspi, CtxtHandle* context,
                               const RootStore* roots, const std::string& host);

// The system's check: the peer's certificate through SECPKG_ATTR_REMOTE_CERT_CONTEXT, then
// VerifyServerCertificate.
Status CheckServerCertificate(const SecurityFunctionTableW& sspi, CtxtHandle* context,
                              const RootStore* roots, const std::string& host);

// A context over the given table and check (credentials acquired through the table).
std::unique_ptr<TlsContext> MakeSchannelContext(const SecurityFunctionTableW& sspi,
                                                ServerCheck check, std::unique_ptr<RootStore> roots,
                                                Status* why);

}  // namespace platform
