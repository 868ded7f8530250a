/*
 * CmpiMethodMI - base of method providers. invokeMethod answers
 * CMPI_RC_ERR_NOT_SUPPORTED unless the provider overrides it.
 */
#ifndef _CMPIMETHODMI_H_
#define _CMPIMETHODMI_H_

#include "CmpiArgs.h"
#include "CmpiBaseMI.h"
#include "CmpiObjectPath.h"
#include "CmpiProviderBase.h"
#include "CmpiResult.h"

class CmpiMethodMI : virtual public CmpiBaseMI {
 public:
  CmpiMethodMI(const CmpiBroker &mbp, const CmpiContext &ctx);

  virtual CmpiStatus invokeMethod(const CmpiContext &ctx, CmpiResult &rslt, const CmpiObjectPath &ref,
                                  const char *methodName, const CmpiArgs &in, CmpiArgs &out);

  static CMPIStatus driveCleanup(CMPIMethodMI *mi, const CMPIContext *eCtx, CMPIBoolean terminating);
  static CMPIStatus driveInvokeMethod(CMPIMethodMI *mi, const CMPIContext *eCtx, const CMPIResult *eRslt,
                                      const CMPIObjectPath *eCop, const char *methodName, const CMPIArgs *eIn,
                                      CMPIArgs *eOut);
};

#ifndef CMMethodMIFactory
#define CMMethodMIFactory(cn, pn)                                                                         \
  CMPI_EXTERN_C CMPIMethodMI *pn##_Create_MethodMI(const CMPIBroker *broker, const CMPIContext *ctxp,     \
                                                   CMPIStatus *rc) {                                      \
    static CMPIMethodMIFT methMIFT = {                                                                    \
        CMPICurrentVersion,         CMPICurrentVersion,              "method" #pn,                        \
        CmpiMethodMI::driveCleanup, CmpiMethodMI::driveInvokeMethod,                                      \
    };                                                                                                    \
    static CMPIMethodMI mi = {nullptr, &methMIFT};                                                        \
    return cmpiwrapper::CreateMI<cn>(base##pn, &mi, "_Create_MethodMI", broker, ctxp, rc);                \
  }

#endif

#endif /* _CMPIMETHODMI_H_ */
