// The version text of the KVM device's reply.
#include "kvm_reply.h"

#include <algorithm>
#include <cstring>

namespace KVMProvider {

std::string VersionOfReply(const unsigned char *reply, size_t len) {
  // The device answers 0xFF in its first byte when it has no version to give.
  if (reply == nullptr || len < 2 || reply[0] != 0 || reply[1] == 0xFF) return " ";
  const size_t avail = std::min(kVersionBytes, len - 1);
  const char *text = reinterpret_cast<const char *>(reply + 1);
  return std::string(text, strnlen(text, avail));
}

}  // namespace KVMProvider
