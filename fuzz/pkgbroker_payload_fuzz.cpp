/*
 * libFuzzer target for the payload description reader (parsePayloadDeviceIDArray): the input is
 * the payload description of an unpacked package, matched against three adapters.
 *
 * Seeds: fuzz/corpus/pkgbroker_payload.
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
  add_dfn_pair(0, "LPe12000", "0000:05:00.0");
  add_dfn_pair(0, "QLE2562", "0000:06:00.0");
  add_dfn_pair(0, "LPe12000", "0000:05:00.1");
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  parse_payload_description(0, path);
  close(fd);
  return 0;
}
