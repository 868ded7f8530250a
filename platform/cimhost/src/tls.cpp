/* The HTTPS server's self-signed certificate (see tls.h). */
#include "tls.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <stdexcept>

namespace cimhost {

namespace {

[[noreturn]] void ssl_fail(const char *what) {
  char buf[256];
  ERR_error_string_n(ERR_get_error(), buf, sizeof buf);
  throw std::runtime_error(std::string(what) + ": " + buf);
}

std::string bio_text(BIO *bio) {
  char *data = nullptr;
  const long n = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<size_t>(n));
}

struct Free {
  void operator()(EVP_PKEY *p) const { EVP_PKEY_free(p); }
  void operator()(X509 *p) const { X509_free(p); }
  void operator()(BIO *p) const { BIO_free(p); }
  void operator()(X509_EXTENSION *p) const { X509_EXTENSION_free(p); }
};

void add_ext(X509 *cert, int nid, const char *value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  std::unique_ptr<X509_EXTENSION, Free> ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
  if (!ext || X509_add_ext(cert, ext.get(), -1) != 1) ssl_fail("certificate extension");
}

}  // namespace

CertificatePem make_self_signed(const std::string &common_name) {
  std::unique_ptr<EVP_PKEY, Free> key(EVP_RSA_gen(2048));
  if (!key) ssl_fail("RSA key");
  std::unique_ptr<X509, Free> cert(X509_new());
  if (!cert) ssl_fail("X509_new");
  X509_set_version(cert.get(), 2);
  unsigned char serial[16];
  if (RAND_bytes(serial, sizeof serial) != 1) ssl_fail("serial");
  serial[0] &= 0x7f;
  BIGNUM *bn = BN_bin2bn(serial, sizeof serial, nullptr);
  BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
  BN_free(bn);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 365L * 24 * 3600);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME *name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char *>("Simulated host CIMOM"),
                             -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>(common_name.c_str()),
                             -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  const std::string san = "DNS:" + common_name + ",DNS:localhost,IP:127.0.0.1";
  add_ext(cert.get(), NID_subject_alt_name, san.c_str());
  add_ext(cert.get(), NID_basic_constraints, "critical,CA:TRUE");
  add_ext(cert.get(), NID_key_usage, "critical,digitalSignature,keyEncipherment,keyCertSign");
  add_ext(cert.get(), NID_ext_key_usage, "serverAuth");
  if (X509_sign(cert.get(), key.get(), EVP_sha256()) == 0) ssl_fail("signing");

  CertificatePem out;
  std::unique_ptr<BIO, Free> cbio(BIO_new(BIO_s_mem()));
  std::unique_ptr<BIO, Free> kbio(BIO_new(BIO_s_mem()));
  if (!cbio || !kbio || PEM_write_bio_X509(cbio.get(), cert.get()) != 1 ||
      PEM_write_bio_PrivateKey(kbio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
    ssl_fail("PEM");
  out.cert = bio_text(cbio.get());
  out.key = bio_text(kbio.get());
  return out;
}

}  // namespace cimhost
