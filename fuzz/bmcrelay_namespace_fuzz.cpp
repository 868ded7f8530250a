/*
 * libFuzzer target for the pass-through provider's namespace handling: the input is a namespace
 * as the CIMOM hands it to the provider (node id, address look-up, translation both ways).
 *
 * Seeds: fuzz/corpus/bmcrelay_namespace.
 */
#include <cstddef>
#include <cstdint>
#include <string>

#include "tpp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string ns(reinterpret_cast<const char *>(data), size);
  const int id = util_get_id_from_ns(ns.c_str());
  char bind_addr[TPP_FIELD_SIZE] = {};
  char dev_path[TPP_FIELD_SIZE] = {};
  util_intf_from_ns(bind_addr, sizeof bind_addr, dev_path, sizeof dev_path, ns.c_str());
  char out[TPP_NS_BUFFER_SIZE] = {};
  util_change_namespce(ns.c_str(), out, sizeof out, TPP_TO_CONTROLLER, id);
  char back[TPP_NS_BUFFER_SIZE] = {};
  util_change_namespce(ns.c_str(), back, sizeof back, TPP_TO_HOST, id);
  return 0;
}
