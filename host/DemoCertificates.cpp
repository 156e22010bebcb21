#include "host/DemoCertificates.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <memory>

namespace host {
namespace {

constexpr long kLifetimeSeconds = 24 * 60 * 60;

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
using Key = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, Deleter<X509, X509_free>>;

Key NewKey() {
  return Key(EVP_EC_gen("P-256"));
}

bool AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (ext == nullptr) return false;
  const bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

// An unsigned certificate for key with the subject name cn, issued by issuer (null: itself).
Cert NewCertificate(EVP_PKEY* key, const std::string& cn, X509* issuer, long serial) {
  Cert cert(X509_new());
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -60);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), kLifetimeSeconds);
  X509_set_pubkey(cert.get(), key);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>("Ferrant demo"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
  X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name);
  return cert;
}

bool Sign(X509* cert, EVP_PKEY* key) {
  return X509_sign(cert, key, EVP_sha256()) > 0;
}

bool WritePem(const std::string& path, X509* cert, EVP_PKEY* key) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = cert ? PEM_write_X509(f, cert) == 1
                       : PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  return std::fclose(f) == 0 && ok;
}

}  // namespace

bool MakeDemoCertificates(const std::string& folder, const std::vector<std::string>& dnsNames,
                          DemoCertificates* out, FILE* err) {
  Key rootKey = NewKey(), serverKey = NewKey();
  bool ok = rootKey && serverKey;
  Cert root, server;
  if (ok) {
    root = NewCertificate(rootKey.get(), "Ferrant demo root (throwaway)", nullptr, 1);
    ok = AddExtension(root.get(), root.get(), NID_basic_constraints, "critical,CA:TRUE") &&
         AddExtension(root.get(), root.get(), NID_key_usage, "critical,keyCertSign,cRLSign") &&
         AddExtension(root.get(), root.get(), NID_subject_key_identifier, "hash") &&
         Sign(root.get(), rootKey.get());
  }
  if (ok) {
    std::string names;
    for (const std::string& n : dnsNames) names += (names.empty() ? "DNS:" : ",DNS:") + n;
    server =
        NewCertificate(serverKey.get(), dnsNames.empty() ? "server" : dnsNames[0], root.get(), 2);
    ok = !names.empty() &&
         AddExtension(server.get(), root.get(), NID_basic_constraints, "critical,CA:FALSE") &&
         AddExtension(server.get(), root.get(), NID_ext_key_usage, "serverAuth") &&
         AddExtension(server.get(), root.get(), NID_authority_key_identifier, "keyid") &&
         AddExtension(server.get(), root.get(), NID_subject_alt_name, names) &&
         Sign(server.get(), rootKey.get());
  }
  DemoCertificates files{folder + "/root.pem", folder + "/server.pem", folder + "/server.key"};
  ok = ok && WritePem(files.rootFile, root.get(), nullptr) &&
       WritePem(files.certFile, server.get(), nullptr) &&
       WritePem(files.keyFile, nullptr, serverKey.get());
  if (!ok) {
    std::fprintf(err, "demo: the throwaway certificates could not be made in %s\n", folder.c_str());
    return false;
  }
  *out = files;
  return true;
}

}  // namespace host
