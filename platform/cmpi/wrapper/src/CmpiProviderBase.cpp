#include "CmpiProviderBase.h"

#include <atomic>

#include "wrapper_internal.h"

namespace {
std::atomic<const CMPIBroker *> library_broker{nullptr};
}  // namespace

const CMPIBroker *CmpiProviderBase::getBroker() { return library_broker.load(); }

void CmpiProviderBase::setBroker(const CMPIBroker *mb) { library_broker.store(mb); }

namespace cmpiwrapper {

const CMPIBroker *Broker() {
  const CMPIBroker *mb = CmpiProviderBase::getBroker();
  if (mb == nullptr) throw CmpiStatus(CMPI_RC_ERR_FAILED, "no broker: the provider was not created by a factory");
  return mb;
}

}  // namespace cmpiwrapper
