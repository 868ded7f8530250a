/*
 * libFuzzer target for the package descriptor reader (getPkgAssociation): the input is the
 * fetched descriptor file of package 0.
 *
 * Seeds: fuzz/corpus/pkgbroker_descriptor (descriptors as packages ship them, and odd ones).
 */
#include <cstdio>
#include <cstring>

#include "pkgbroker.h"
#include "pkgbroker_fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  pkgbroker_fuzz::isolate();
  const int fd = pkgbroker_fuzz::memory_file(data, size);
  if (fd < 0) return 0;
  std::memset(pkgInstance, 0, sizeof pkgInstance);
  pkgnum = 1;
  Pkg_Instance_Struct &p = pkgInstance[0];
  std::snprintf(p.TFTPXMLPkgURIs, sizeof p.TFTPXMLPkgURIs, "tftp://127.0.0.1/pkg/fuzz.xml");
  std::snprintf(p.TFTPPayloadPkgURIs, sizeof p.TFTPPayloadPkgURIs, "tftp://127.0.0.1/pkg/");
  std::snprintf(p.supersedes, sizeof p.supersedes, "No supersedes");
  std::snprintf(p.tmpDestinationPath, sizeof p.tmpDestinationPath, "file://proc/self/fd/%d", fd);
  p.OrderFlag = ORDER_INITIAL;
  getPkgAssociation(0);
  close(fd);
  return 0;
}
