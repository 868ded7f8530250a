#include "CmpiMethodMI.h"

CmpiMethodMI::CmpiMethodMI(const CmpiBroker &mbp, const CmpiContext &ctx) : CmpiBaseMI(mbp, ctx) {}

CmpiStatus CmpiMethodMI::invokeMethod(const CmpiContext &, CmpiResult &, const CmpiObjectPath &, const char *,
                                      const CmpiArgs &, CmpiArgs &) {
  return CmpiStatus(CMPI_RC_ERR_NOT_SUPPORTED);
}

CMPIStatus CmpiMethodMI::driveCleanup(CMPIMethodMI *mi, const CMPIContext *eCtx, CMPIBoolean terminating) {
  return CmpiBaseMI::driveBaseCleanup(mi, eCtx, terminating);
}

CMPIStatus CmpiMethodMI::driveInvokeMethod(CMPIMethodMI *mi, const CMPIContext *eCtx, const CMPIResult *eRslt,
                                           const CMPIObjectPath *eCop, const char *methodName, const CMPIArgs *eIn,
                                           CMPIArgs *eOut) {
  return cmpiwrapper::Drive([&] {
    CmpiBaseMI *base = mi != nullptr ? CmpiBaseMI::fromHandle(mi->hdl) : nullptr;
    CmpiMethodMI *p = dynamic_cast<CmpiMethodMI *>(base);
    if (p == nullptr) throw CmpiStatus(CMPI_RC_ERR_FAILED, "no method provider behind this MI");
    CmpiContext ctx(eCtx);
    CmpiResult rslt(eRslt);
    CmpiObjectPath cop(eCop);
    const CmpiArgs in(eIn);
    CmpiArgs out(eOut);
    return p->invokeMethod(ctx, rslt, cop, methodName, in, out);
  });
}
