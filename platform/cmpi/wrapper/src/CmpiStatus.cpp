#include "CmpiStatus.h"

#include <cmpift.h>

#include "CmpiProviderBase.h"

CmpiStatus::CmpiStatus() : rc_(CMPI_RC_OK), has_msg_(false) {}

CmpiStatus::CmpiStatus(const CMPIrc rc) : rc_(rc), has_msg_(false) {}

CmpiStatus::CmpiStatus(const CMPIrc rc, const char *msg)
    : rc_(rc), msg_(msg != nullptr ? msg : ""), has_msg_(msg != nullptr) {}

CmpiStatus::CmpiStatus(const CMPIStatus stat) : rc_(stat.rc), has_msg_(false) {
  if (stat.msg != nullptr && stat.msg->ft != nullptr) {
    const char *text = stat.msg->ft->getCharPtr(stat.msg, nullptr);
    if (text != nullptr) {
      msg_ = text;
      has_msg_ = true;
    }
  }
}

CMPIStatus CmpiStatus::status() const {
  CMPIStatus st = {rc_, nullptr};
  const CMPIBroker *mb = CmpiProviderBase::getBroker();
  if (has_msg_ && mb != nullptr && mb->eft != nullptr && mb->eft->newString != nullptr) {
    st.msg = mb->eft->newString(mb, msg_.c_str(), nullptr);
  }
  return st;
}

namespace cmpiwrapper {

CMPIStatus ToCMPIStatus(const CmpiStatus &st) noexcept {
  try {
    return st.status();
  } catch (...) {
    // Only the message can fail to be made; the code still reaches the broker.
    CMPIStatus bare = {st.rc(), nullptr};
    return bare;
  }
}

}  // namespace cmpiwrapper
