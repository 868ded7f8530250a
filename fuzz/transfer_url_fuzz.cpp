/*
 * libFuzzer target for parse_url, the splitter of the transfer URLs a client hands the
 * transfer service. A URL it accepts must come back with every field terminated inside its
 * buffer, a known protocol and a port from 1 to 65535.
 *
 * Input: the URL's bytes (cut at the first zero byte). Seeds: fuzz/corpus/transfer_url.
 */
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "url.h"

namespace {

template <size_t N>
bool terminated(const char (&field)[N]) {
  return memchr(field, '\0', N) != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string url(reinterpret_cast<const char *>(data), size);
  url_struct u;
  if (parse_url(url.c_str(), &u) != 0) return 0;
  if (!terminated(u.protocol) || !terminated(u.path) || !terminated(u.hostname) || !terminated(u.userid) ||
      !terminated(u.passwd) || !terminated(u.port))
    abort();
  if (strcmp(u.protocol, "file") != 0) {
    if (strcmp(u.protocol, "tftp") != 0 && strcmp(u.protocol, "sftp") != 0) abort();
    const long port = strtol(u.port, nullptr, 10);
    if (port < 1 || port > 65535 || strchr(u.hostname, '/') != nullptr) abort();
  }
  return 0;
}
