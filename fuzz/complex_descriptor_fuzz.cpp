/*
 * libFuzzer target for the multi-node complex descriptor parser: the input is a descriptor as
 * the controller's chunks add up to it.
 *
 * Seeds: fuzz/corpus/complex_descriptor.
 */
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "multinode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > INT_MAX) return 0;
  multinode_info info;
  std::memset(&info, 0, sizeof info);
  parse_complex_descriptor(data, static_cast<int>(size), &info.parsed_complex);
  num_nodes_in_partition(&info.parsed_complex, 0);
  clean_parsed_complex(&info);
  return 0;
}
