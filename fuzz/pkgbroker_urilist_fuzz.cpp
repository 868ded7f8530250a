/*
 * libFuzzer target for the package broker's reading of a request's URI list: the checks of
 * InstallFromURI, the package records made from the list (with their package ids and payload
 * directories) and the password mask of the debug log.
 *
 * Seeds: fuzz/corpus/pkgbroker_urilist.
 */
#include <string>

#include "pkgbroker.h"
#include "pkgbroker_fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  pkgbroker_fuzz::isolate();
  const std::string list(reinterpret_cast<const char *>(data), size);
  char masked[PKG_LINE_SIZE];
  mask_uri_password(list.c_str(), masked, sizeof masked);
  int count = 0;
  if (check_uri_list(list.c_str(), &count) == 0) initPkgInstall(list.c_str());
  return 0;
}
