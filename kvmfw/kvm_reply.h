// The KVM device's answer to the version request (an I2C master write-read the controller
// carries out): the completion code, then the bytes read from the device.
#ifndef QELVO_KVMFW_KVM_REPLY_H
#define QELVO_KVMFW_KVM_REPLY_H

#include <cstddef>
#include <string>

namespace KVMProvider {

// Bytes the version request reads from the device.
constexpr size_t kVersionBytes = 16;

// The version a reply gives: " " when the request was refused (a completion code other than 0),
// when the reply carries no byte read, or when the first byte read (reply byte 1) is 0xFF; else
// the bytes read up to the first zero byte, at most 16 and never beyond the reply.
std::string VersionOfReply(const unsigned char *reply, size_t len);

}  // namespace KVMProvider

#endif  // QELVO_KVMFW_KVM_REPLY_H
