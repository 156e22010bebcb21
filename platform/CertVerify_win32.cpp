#include "platform/CertVerify_win32.h"

#include <cstddef>
#include <cstdio>
#include <string_view>

#include "platform/CodePage.h"
#include "platform/TlsMessages.h"

namespace platform {
namespace {

constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
constexpr std::string_view kEnd = "-----END CERTIFICATE-----";
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

bool ReadWholeFile(const std::string& path, std::string* text) {
  std::FILE* f = _wfopen(NarrowToWide(path).c_str(), L"rb");
  if (f == nullptr) return false;
  char chunk[4096];
  size_t n = 0;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) text->append(chunk, n);
  const bool ok = std::ferror(f) == 0;
  std::fclose(f);
  return ok;
}

// The words for the first fault of a chain's status that is not about dates.
std::string ChainFault(DWORD status) {
  if (status & CERT_TRUST_IS_PARTIAL_CHAIN) return "its issuer is unknown";
  if (status & CERT_TRUST_IS_UNTRUSTED_ROOT) return "its root is not a trusted one";
  if (status & CERT_TRUST_IS_NOT_SIGNATURE_VALID) return "a signature does not verify";
  if (status & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) return "it is not for server authentication";
  if (status & CERT_TRUST_IS_REVOKED) return "it has been revoked";
  if (status & CERT_TRUST_IS_CYCLIC) return "its chain is cyclic";
  char code[32];
  std::snprintf(code, sizeof code, "chain status 0x%08lX", static_cast<unsigned long>(status));
  return code;
}

// For a chain that is out of its dates: whether the first certificate out of them has expired
// (rather than not begun).
bool ExpiredRatherThanEarly(const CERT_SIMPLE_CHAIN& chain) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  for (DWORD i = 0; i < chain.cElement; ++i) {
    const CERT_CHAIN_ELEMENT* e = chain.rgpElement[i];
    if (e->TrustStatus.dwErrorStatus & CERT_TRUST_IS_NOT_TIME_VALID) {
      return CompareFileTime(&now, &e->pCertContext->pCertInfo->NotAfter) > 0;
    }
  }
  return true;
}

}  // namespace

std::vector<std::string> PemCertificates(const std::string& pem) {
  std::vector<std::string> ders;
  size_t at = 0;
  for (;;) {
    const size_t begin = pem.find(kBegin, at);
    if (begin == std::string::npos) break;
    const size_t body = begin + kBegin.size();
    const size_t end = pem.find(kEnd, body);
    if (end == std::string::npos) break;
    at = end + kEnd.size();
    const std::string base64 = pem.substr(body, end - body);
    DWORD size = 0;
    if (!CryptStringToBinaryA(base64.data(), static_cast<DWORD>(base64.size()), CRYPT_STRING_BASE64,
                              nullptr, &size, nullptr, nullptr) ||
        size == 0) {
      continue;
    }
    std::string der(size, '\0');
    if (CryptStringToBinaryA(base64.data(), static_cast<DWORD>(base64.size()), CRYPT_STRING_BASE64,
                             reinterpret_cast<BYTE*>(der.data()), &size, nullptr, nullptr)) {
      der.resize(size);
      ders.push_back(std::move(der));
    }
  }
  return ders;
}

std::unique_ptr<RootStore> RootStore::FromPemFile(const std::string& path, Status* why) {
  std::string pem;
  if (!ReadWholeFile(path, &pem)) {
    *why = Status(StatusCode::kTlsUnavailable,
                  "the trusted roots in " + path + " cannot be read (no such file)");
    return nullptr;
  }
  std::unique_ptr<RootStore> roots(new RootStore);
  roots->store_ = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  size_t added = 0;
  for (const std::string& der : PemCertificates(pem)) {
    if (roots->store_ && CertAddEncodedCertificateToStore(roots->store_, kEncoding,
                                                          reinterpret_cast<const BYTE*>(der.data()),
                                                          static_cast<DWORD>(der.size()),
                                                          CERT_STORE_ADD_USE_EXISTING, nullptr)) {
      ++added;
    }
  }
  if (added == 0) {
    *why = Status(StatusCode::kTlsUnavailable,
                  "the trusted roots in " + path + " cannot be read (no certificate in it)");
    return nullptr;
  }
  // The Windows 7 layout, up to hExclusiveTrustedPeople: Wine takes no later one, and every
  // Windows since takes this one.
  CERT_CHAIN_ENGINE_CONFIG config{};
  config.cbSize = offsetof(CERT_CHAIN_ENGINE_CONFIG, dwExclusiveFlags);
  config.hExclusiveRoot = roots->store_;
  if (!CertCreateCertificateChainEngine(&config, &roots->engine_)) {
    *why = Status(StatusCode::kTlsUnavailable,
                  "the trusted roots in " + path + " cannot be used (no chain engine)");
    return nullptr;
  }
  return roots;
}

RootStore::~RootStore() {
  if (engine_) CertFreeCertificateChainEngine(engine_);
  if (store_) CertCloseStore(store_, 0);
}

bool RootStore::Holds(PCCERT_CONTEXT cert) const {
  PCCERT_CONTEXT found =
      CertFindCertificateInStore(store_, kEncoding, 0, CERT_FIND_EXISTING, cert, nullptr);
  if (found == nullptr) return false;
  CertFreeCertificateContext(found);
  return true;
}

CertificateNames NamesOfCertificate(PCCERT_CONTEXT leaf) {
  CertificateNames names;
  const CERT_INFO* info = leaf->pCertInfo;
  CERT_EXTENSION* ext =
      CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
  if (ext == nullptr) return names;
  CERT_ALT_NAME_INFO* alt = nullptr;
  DWORD size = 0;
  if (!CryptDecodeObjectEx(kEncoding, X509_ALTERNATE_NAME, ext->Value.pbData, ext->Value.cbData,
                           CRYPT_DECODE_ALLOC_FLAG, nullptr, &alt, &size)) {
    return names;
  }
  for (DWORD i = 0; i < alt->cAltEntry; ++i) {
    const CERT_ALT_NAME_ENTRY& e = alt->rgAltEntry[i];
    if (e.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME && e.pwszDNSName) {
      // A DNS name is ASCII; one that is not can match no host we would ask for.
      std::string dns;
      bool ascii = true;
      for (const wchar_t* c = e.pwszDNSName; *c; ++c) {
        ascii = ascii && *c > 0x20 && *c < 0x7F;
        dns.push_back(static_cast<char>(*c));
      }
      if (ascii) names.dns.push_back(std::move(dns));
    } else if (e.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS) {
      names.ip.emplace_back(reinterpret_cast<const char*>(e.IPAddress.pbData), e.IPAddress.cbData);
    }
  }
  LocalFree(alt);
  return names;
}

Status VerifyServerCertificate(PCCERT_CONTEXT leaf, const RootStore* roots,
                               const std::string& host) {
  char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
  LPSTR usages[] = {serverAuth};
  CERT_CHAIN_PARA para{};
  para.cbSize = sizeof para;
  para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  para.RequestedUsage.Usage.cUsageIdentifier = 1;
  para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (!CertGetCertificateChain(roots ? roots->engine() : nullptr, leaf, nullptr, leaf->hCertStore,
                               &para, 0, nullptr, &chain)) {
    return CertificateNotTrusted(host, "no chain can be built");
  }
  Status verdict;
  const DWORD status = chain->TrustStatus.dwErrorStatus;
  const CERT_SIMPLE_CHAIN* simple = chain->cChain > 0 ? chain->rgpChain[0] : nullptr;
  if (simple == nullptr || simple->cElement == 0) {
    verdict = CertificateNotTrusted(host, "no chain can be built");
  } else if (status & CERT_TRUST_IS_NOT_TIME_VALID) {
    verdict = CertificateOutOfDate(host, ExpiredRatherThanEarly(*simple));
  } else if (status != CERT_TRUST_NO_ERROR) {
    verdict = CertificateNotTrusted(host, ChainFault(status));
  } else if (roots && !roots->Holds(simple->rgpElement[simple->cElement - 1]->pCertContext)) {
    // The engine trusts only the caller's roots; this holds even where it would not.
    verdict = CertificateNotTrusted(host, ChainFault(CERT_TRUST_IS_UNTRUSTED_ROOT));
  } else if (!CertificateNamesHost(NamesOfCertificate(leaf), host)) {
    verdict = CertificateNamesOthers(host);
  }
  CertFreeCertificateChain(chain);
  return verdict;
}

}  // namespace platform
