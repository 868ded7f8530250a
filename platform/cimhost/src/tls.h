/* The HTTPS server's certificate. */
#ifndef QELVO_CIMHOST_TLS_H
#define QELVO_CIMHOST_TLS_H

#include <string>

namespace cimhost {

struct CertificatePem {
  std::string cert;
  std::string key;
};

/* A fresh self-signed certificate (RSA 2048, SHA-256, valid for a year from
 * an hour ago) for `common_name`, naming localhost and 127.0.0.1 as subject
 * alternative names too. Throws std::runtime_error when OpenSSL fails. */
CertificatePem make_self_signed(const std::string &common_name);

}  // namespace cimhost

#endif  // QELVO_CIMHOST_TLS_H
