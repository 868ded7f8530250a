#include "CmpiBaseMI.h"

#include <map>
#include <mutex>

#include "CmpiProviderBase.h"

namespace {

// The live provider objects of this library by address, so that an MI handle
// (a const pointer) leads back to its provider without casting const away.
struct Providers {
  std::mutex lock;
  std::map<const void *, CmpiBaseMI *> by_address;
};

Providers &Live() {
  static Providers providers;
  return providers;
}

}  // namespace

CmpiBaseMI::CmpiBaseMI(const CmpiBroker &mbp, const CmpiContext &) : broker(mbp), providerBase(nullptr) {
  // A provider made by the CMPI headers' own factory macros brings the broker
  // the wrapper's objects are made with.
  if (CmpiProviderBase::getBroker() == nullptr && mbp.getEnc() != nullptr) CmpiProviderBase::setBroker(mbp.getEnc());
  Providers &live = Live();
  std::lock_guard<std::mutex> hold(live.lock);
  live.by_address[this] = this;
}

CmpiBaseMI::~CmpiBaseMI() {
  Providers &live = Live();
  std::lock_guard<std::mutex> hold(live.lock);
  live.by_address.erase(this);
}

CmpiBaseMI *CmpiBaseMI::fromHandle(const void *hdl) {
  if (hdl == nullptr) return nullptr;
  Providers &live = Live();
  std::lock_guard<std::mutex> hold(live.lock);
  auto it = live.by_address.find(hdl);
  return it != live.by_address.end() ? it->second : nullptr;
}

CmpiStatus CmpiBaseMI::initialize(const CmpiContext &) { return CmpiStatus(CMPI_RC_OK); }

int CmpiBaseMI::isUnloadable() const { return 1; }

CmpiStatus CmpiBaseMI::cleanup(CmpiContext &) { return CmpiStatus(CMPI_RC_OK); }

CmpiStatus CmpiBaseMI::cleanup(CmpiContext &ctx, bool) { return cleanup(ctx); }

namespace {

bool Refuses(CMPIrc rc) { return rc == CMPI_RC_DO_NOT_UNLOAD || rc == CMPI_RC_NEVER_UNLOAD; }

// The provider's own cleanup; it is deleted afterwards whatever that throws.
CmpiStatus CleanupOf(CmpiBaseMI *cmi, CmpiContext &ctx, bool terminating) {
  try {
    return cmi->cleanup(ctx, terminating);
  } catch (const CmpiStatus &st) {
    return st;
  } catch (...) {
    return CmpiStatus(CMPI_RC_ERR_FAILED, "exception in provider cleanup");
  }
}

}  // namespace

CMPIStatus CmpiBaseMI::driveBaseCleanup(void *vi, const CMPIContext *eCtx, CMPIBoolean terminating) {
  // Every MI structure starts with its handle, the provider object.
  CMPIInstanceMI *mi = static_cast<CMPIInstanceMI *>(vi);
  return cmpiwrapper::Drive([&]() -> CmpiStatus {
    CmpiBaseMI *cmi = mi != nullptr ? fromHandle(mi->hdl) : nullptr;
    if (cmi == nullptr) {
      if (mi != nullptr) mi->hdl = nullptr;  // a stale handle: its provider is gone already
      return CmpiStatus(CMPI_RC_OK);
    }
    CmpiContext ctx(eCtx);
    const bool ending = terminating != 0;
    if (!ending && cmi->isUnloadable() == 0) return CmpiStatus(CMPI_RC_DO_NOT_UNLOAD);

    CmpiProviderBase *base = cmi->getProviderBase();
    if (base == nullptr) {
      const CmpiStatus rc = CleanupOf(cmi, ctx, ending);
      if (!ending && Refuses(rc.rc())) return rc;
      delete cmi;
      mi->hdl = nullptr;
      return rc;
    }
    std::lock_guard<std::mutex> hold(base->lock());
    if (base->getBaseMI() != cmi) {
      // A stale handle: the provider it named is gone already.
      mi->hdl = nullptr;
      return CmpiStatus(CMPI_RC_OK);
    }
    if (base->decUseCount() > 0) return CmpiStatus(CMPI_RC_OK);
    const CmpiStatus rc = CleanupOf(cmi, ctx, ending);
    if (!ending && Refuses(rc.rc())) {
      base->incUseCount();
      return rc;
    }
    base->setBaseMI(nullptr);
    cmi->setProviderBase(nullptr);
    delete cmi;
    mi->hdl = nullptr;
    return rc;
  });
}
