/*
 * libFuzzer target for the CIMOM's request path after the HTTP layer: Cimom::serve with the
 * request bytes. The input is the CIMMethod header, a newline, the CIMObject header, a newline,
 * and the body. The CIMOM serves the product's classes and the test classes; no provider library
 * is found, so every provider operation fails as a missing library does, and nothing is started.
 *
 * Seeds: fuzz/corpus/cimhost_serve (requests as wbemcli sends them).
 */
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "cimom.h"
#include "log.h"
#include "repository.h"

namespace {

cimhost::Cimom &cimom() {
  static cimhost::Cimom *c = [] {
    cimhost::set_log_level(cimhost::LogLevel::Quiet);
    cimhost::RepositoryBuilder b;
    b.add_schema_dir(FUZZ_MOF_DIR);
    b.add_schema_dir(FUZZ_TEST_SCHEMA_DIR);
    return new cimhost::Cimom(b.build(), {});
  }();
  return *c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string in(reinterpret_cast<const char *>(data), size);
  const size_t a = in.find('\n');
  const size_t b = a == std::string::npos ? std::string::npos : in.find('\n', a + 1);
  if (b == std::string::npos) return 0;
  cimhost::CimHeaders h;
  h.operation = "MethodCall";
  h.method = in.substr(0, a);
  h.object = in.substr(a + 1, b - a - 1);
  cimom().serve(in.data() + b + 1, in.size() - b - 1, h, "root");
  return 0;
}
