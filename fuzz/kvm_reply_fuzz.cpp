/*
 * libFuzzer target for the KVM device's version reply: the input is the reply as received.
 *
 * Seeds: fuzz/corpus/kvm_reply.
 */
#include <cstddef>
#include <cstdint>

#include "kvm_reply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  KVMProvider::VersionOfReply(data, size);
  return 0;
}
