/*
 * libFuzzer target for schemapull's class answer scanner: the input is a GetClass answer of the
 * controller's CIMOM, converted to MOF for a fixed class name.
 *
 * Seeds: fuzz/corpus/schemapull_class.
 */
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "schemapull.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  char *mof = nullptr;
  int association = 0;
  const char *why = nullptr;
  class_to_mof("Test_Service", reinterpret_cast<const char *>(data), size, &mof, &association, &why);
  std::free(mof);
  return 0;
}
