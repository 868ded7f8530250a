/*
 * libFuzzer target for the readers of the controller data store's replies (open, read, query
 * size, write): the input is one reply as received, of any length.
 *
 * Seeds: fuzz/corpus/datastore_reply.
 */
#include <cstddef>
#include <cstdint>

#include "ipmi_datastore.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  uint32_t value = 0;
  datastore_reply::Handle(data, size, &value);
  datastore_reply::FileSize(data, size, &value);
  datastore_reply::Written(data, size);
  for (size_t wanted : {size_t{0}, size_t{1}, size_t{58}, size_t{200}, size_t{255}}) {
    const unsigned char *at = nullptr;
    const int n = datastore_reply::Data(data, size, wanted, &at);
    // The bytes a read would copy: all of them must lie inside the reply.
    volatile unsigned char sink = 0;
    for (int i = 0; i < n; ++i) sink = sink ^ at[i];
  }
  return 0;
}
