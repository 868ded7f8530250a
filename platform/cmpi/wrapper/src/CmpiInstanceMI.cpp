#include "CmpiInstanceMI.h"

namespace {

// The provider behind an instance MI handle; throws when there is none.
CmpiInstanceMI *ProviderOf(CMPIInstanceMI *mi) {
  CmpiBaseMI *base = mi != nullptr ? CmpiBaseMI::fromHandle(mi->hdl) : nullptr;
  CmpiInstanceMI *p = dynamic_cast<CmpiInstanceMI *>(base);
  if (p == nullptr) throw CmpiStatus(CMPI_RC_ERR_FAILED, "no instance provider behind this MI");
  return p;
}

}  // namespace

CmpiInstanceMI::CmpiInstanceMI(const CmpiBroker &mbp, const CmpiContext &ctx) : CmpiBaseMI(mbp, ctx) {}

CmpiStatus CmpiInstanceMI::enumInstanceNames(const CmpiContext &, CmpiResult &, const CmpiObjectPath &) {
  return CmpiStatus(CMPI_RC_ERR_NOT_SUPPORTED);
}

CmpiStatus CmpiInstanceMI::enumInstances(const CmpiContext &, CmpiResult &, const CmpiObjectPath &, const char **) {
  return CmpiStatus(CMPI_RC_ERR_NOT_SUPPORTED);
}

CmpiStatus CmpiInstanceMI::getInstance(const CmpiContext &, CmpiResult &, const CmpiObjectPath &, const char **) {
  return CmpiStatus(CMPI_RC_ERR_NOT_SUPPORTED);
}

CmpiStatus CmpiInstanceMI::createInstance(const CmpiContext &, CmpiResult &, const CmpiObjectPath &,
                                          const CmpiInstance &) {
  return CmpiStatus(CMPI_RC_ERR_NOT_SUPPORTED);
}

CmpiStatus CmpiInstanceMI::setInstance(const CmpiContext &, CmpiResult &, const CmpiObjectPath &,
                                       const CmpiInstance &, const char **) {
  return CmpiStatus(CMPI_RC_ERR_NOT_SUPPORTED);
}

CmpiStatus CmpiInstanceMI::deleteInstance(const CmpiContext &, CmpiResult &, const CmpiObjectPath &) {
  return CmpiStatus(CMPI_RC_ERR_NOT_SUPPORTED);
}

CmpiStatus CmpiInstanceMI::execQuery(const CmpiContext &, CmpiResult &, const CmpiObjectPath &, const char *,
                                     const char *) {
  return CmpiStatus(CMPI_RC_ERR_NOT_SUPPORTED);
}

CMPIStatus CmpiInstanceMI::driveCleanup(CMPIInstanceMI *mi, const CMPIContext *eCtx, CMPIBoolean terminating) {
  return CmpiBaseMI::driveBaseCleanup(mi, eCtx, terminating);
}

CMPIStatus CmpiInstanceMI::driveEnumInstanceNames(CMPIInstanceMI *mi, const CMPIContext *eCtx,
                                                  const CMPIResult *eRslt, const CMPIObjectPath *eCop) {
  return cmpiwrapper::Drive([&] {
    CmpiContext ctx(eCtx);
    CmpiResult rslt(eRslt);
    CmpiObjectPath cop(eCop);
    return ProviderOf(mi)->enumInstanceNames(ctx, rslt, cop);
  });
}

CMPIStatus CmpiInstanceMI::driveEnumInstances(CMPIInstanceMI *mi, const CMPIContext *eCtx, const CMPIResult *eRslt,
                                              const CMPIObjectPath *eCop, const char **properties) {
  return cmpiwrapper::Drive([&] {
    CmpiContext ctx(eCtx);
    CmpiResult rslt(eRslt);
    CmpiObjectPath cop(eCop);
    return ProviderOf(mi)->enumInstances(ctx, rslt, cop, properties);
  });
}

CMPIStatus CmpiInstanceMI::driveGetInstance(CMPIInstanceMI *mi, const CMPIContext *eCtx, const CMPIResult *eRslt,
                                            const CMPIObjectPath *eCop, const char **properties) {
  return cmpiwrapper::Drive([&] {
    CmpiContext ctx(eCtx);
    CmpiResult rslt(eRslt);
    CmpiObjectPath cop(eCop);
    return ProviderOf(mi)->getInstance(ctx, rslt, cop, properties);
  });
}

CMPIStatus CmpiInstanceMI::driveCreateInstance(CMPIInstanceMI *mi, const CMPIContext *eCtx, const CMPIResult *eRslt,
                                               const CMPIObjectPath *eCop, const CMPIInstance *eInst) {
  return cmpiwrapper::Drive([&] {
    CmpiContext ctx(eCtx);
    CmpiResult rslt(eRslt);
    CmpiObjectPath cop(eCop);
    CmpiInstance inst(eInst);
    return ProviderOf(mi)->createInstance(ctx, rslt, cop, inst);
  });
}

CMPIStatus CmpiInstanceMI::driveSetInstance(CMPIInstanceMI *mi, const CMPIContext *eCtx, const CMPIResult *eRslt,
                                            const CMPIObjectPath *eCop, const CMPIInstance *eInst,
                                            const char **properties) {
  return cmpiwrapper::Drive([&] {
    CmpiContext ctx(eCtx);
    CmpiResult rslt(eRslt);
    CmpiObjectPath cop(eCop);
    CmpiInstance inst(eInst);
    return ProviderOf(mi)->setInstance(ctx, rslt, cop, inst, properties);
  });
}

CMPIStatus CmpiInstanceMI::driveDeleteInstance(CMPIInstanceMI *mi, const CMPIContext *eCtx, const CMPIResult *eRslt,
                                               const CMPIObjectPath *eCop) {
  return cmpiwrapper::Drive([&] {
    CmpiContext ctx(eCtx);
    CmpiResult rslt(eRslt);
    CmpiObjectPath cop(eCop);
    return ProviderOf(mi)->deleteInstance(ctx, rslt, cop);
  });
}

CMPIStatus CmpiInstanceMI::driveExecQuery(CMPIInstanceMI *mi, const CMPIContext *eCtx, const CMPIResult *eRslt,
                                          const CMPIObjectPath *eCop, const char *language, const char *query) {
  return cmpiwrapper::Drive([&] {
    CmpiContext ctx(eCtx);
    CmpiResult rslt(eRslt);
    CmpiObjectPath cop(eCop);
    return ProviderOf(mi)->execQuery(ctx, rslt, cop, language, query);
  });
}
