/*
 * libFuzzer target for what the controller discovery reads out of SLP answers: the attribute
 * lists of both controller generations (util_attr_callback, util_attr_callback_2) and the
 * service URLs (util_slp_srv_callback), each into its fixed-size fields.
 *
 * Input: one byte that picks the callback (0 first-generation attributes, 1 second-generation
 * attributes, 2 service URL), then the text the SLP library would hand over.
 *
 * Seeds: fuzz/corpus/slp_attrs.
 */
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "tavik_discovery.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);  // cut at a NUL
  switch (data[0] % 3) {
    case 0:
    case 1: {
      port_schema ports;
      memset(&ports, 0, sizeof ports);
      (data[0] % 3 == 0 ? util_attr_callback : util_attr_callback_2)(nullptr, text.c_str(), SLP_OK, &ports);
      break;
    }
    default: {
      char url[TAVIK_URL_BUFFER_SIZE];
      memset(url, 0, sizeof url);
      util_slp_srv_callback(nullptr, text.c_str(), 0, SLP_OK, url);
      break;
    }
  }
  return 0;
}
