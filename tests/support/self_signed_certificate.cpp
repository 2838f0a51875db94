#include "support/self_signed_certificate.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

namespace testing_support {
namespace {

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct X509Free {
  void operator()(X509* cert) const { X509_free(cert); }
};
struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct ExtensionFree {
  void operator()(X509_EXTENSION* ext) const { X509_EXTENSION_free(ext); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

// Reports a failed step to the running test; false when it failed.
bool check(bool ok, const char* what) {
  if (!ok) {
    ADD_FAILURE() << "test HTTP server: " << what << " failed";
  }
  return ok;
}

bool addExtension(X509* cert, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, cert, cert, nullptr, nullptr, 0);
  const std::unique_ptr<X509_EXTENSION, ExtensionFree> extension(
      X509V3_EXT_conf_nid(nullptr, &context, nid, value));
  return check(extension != nullptr && X509_add_ext(cert, extension.get(), -1) == 1, "extension");
}

std::string bioText(BIO* bio) {
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<std::size_t>(size));
}

// Fills in a certificate for the address 127.0.0.1 that `key` signs itself.
bool buildCertificate(X509* cert, EVP_PKEY* key) {
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 24L * 3600);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
  return check(X509_set_version(cert, 2) == 1 && X509_set_pubkey(cert, key) == 1 &&
                   X509_set_issuer_name(cert, name) == 1,
               "certificate fields") &&
         addExtension(cert, NID_basic_constraints, "critical,CA:TRUE") &&
         addExtension(cert, NID_subject_alt_name, "IP:127.0.0.1") &&
         check(X509_sign(cert, key, EVP_sha256()) > 0, "certificate signing");
}

}  // namespace

std::pair<std::string, std::string> makeSelfSignedCertificate() {
  const std::unique_ptr<EVP_PKEY, PkeyFree> key(EVP_EC_gen("P-256"));
  const std::unique_ptr<X509, X509Free> cert(X509_new());
  const BioPtr certBio(BIO_new(BIO_s_mem()));
  const BioPtr keyBio(BIO_new(BIO_s_mem()));
  if (!check(key && cert && certBio && keyBio, "allocation") ||
      !buildCertificate(cert.get(), key.get()) ||
      !check(PEM_write_bio_X509(certBio.get(), cert.get()) == 1 &&
                 PEM_write_bio_PrivateKey(keyBio.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                          nullptr) == 1,
             "PEM output")) {
    return {};
  }
  return {bioText(certBio.get()), bioText(keyBio.get())};
}

}  // namespace testing_support
