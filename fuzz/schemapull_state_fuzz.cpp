/*
 * libFuzzer target for schemapull's state file reader: the input is the text of
 * /etc/cim/qelvo/tavik_fw_schema.
 *
 * Seeds: fuzz/corpus/schemapull_state.
 */
#include <cstddef>
#include <cstdint>

#include "schemapull.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  schema_state st;
  parse_state_text(reinterpret_cast<const char *>(data), size, &st);
  return 0;
}
