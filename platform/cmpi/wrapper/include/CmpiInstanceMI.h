/*
 * CmpiInstanceMI - base of instance providers. Every operation answers
 * CMPI_RC_ERR_NOT_SUPPORTED unless the provider overrides it.
 */
#ifndef _CMPIINSTANCEMI_H_
#define _CMPIINSTANCEMI_H_

#include "CmpiBaseMI.h"
#include "CmpiInstance.h"
#include "CmpiObjectPath.h"
#include "CmpiProviderBase.h"
#include "CmpiResult.h"

class CmpiInstanceMI : virtual public CmpiBaseMI {
 public:
  CmpiInstanceMI(const CmpiBroker &mbp, const CmpiContext &ctx);

  virtual CmpiStatus enumInstanceNames(const CmpiContext &ctx, CmpiResult &rslt, const CmpiObjectPath &cop);
  virtual CmpiStatus enumInstances(const CmpiContext &ctx, CmpiResult &rslt, const CmpiObjectPath &cop,
                                   const char **properties);
  virtual CmpiStatus getInstance(const CmpiContext &ctx, CmpiResult &rslt, const CmpiObjectPath &cop,
                                 const char **properties);
  virtual CmpiStatus createInstance(const CmpiContext &ctx, CmpiResult &rslt, const CmpiObjectPath &cop,
                                    const CmpiInstance &inst);
  virtual CmpiStatus setInstance(const CmpiContext &ctx, CmpiResult &rslt, const CmpiObjectPath &cop,
                                 const CmpiInstance &inst, const char **properties);
  virtual CmpiStatus deleteInstance(const CmpiContext &ctx, CmpiResult &rslt, const CmpiObjectPath &cop);
  virtual CmpiStatus execQuery(const CmpiContext &ctx, CmpiResult &rslt, const CmpiObjectPath &cop,
                               const char *language, const char *query);

  /* The entries of the CMPIInstanceMIFT. No exception leaves them. */
  static CMPIStatus driveCleanup(CMPIInstanceMI *mi, const CMPIContext *eCtx, CMPIBoolean terminating);
  static CMPIStatus driveEnumInstanceNames(CMPIInstanceMI *mi, const CMPIContext *eCtx, const CMPIResult *eRslt,
                                           const CMPIObjectPath *eCop);
  static CMPIStatus driveEnumInstances(CMPIInstanceMI *mi, const CMPIContext *eCtx, const CMPIResult *eRslt,
                                       const CMPIObjectPath *eCop, const char **properties);
  static CMPIStatus driveGetInstance(CMPIInstanceMI *mi, const CMPIContext *eCtx, const CMPIResult *eRslt,
                                     const CMPIObjectPath *eCop, const char **properties);
  static CMPIStatus driveCreateInstance(CMPIInstanceMI *mi, const CMPIContext *eCtx, const CMPIResult *eRslt,
                                        const CMPIObjectPath *eCop, const CMPIInstance *eInst);
  static CMPIStatus driveSetInstance(CMPIInstanceMI *mi, const CMPIContext *eCtx, const CMPIResult *eRslt,
                                     const CMPIObjectPath *eCop, const CMPIInstance *eInst,
                                     const char **properties);
  static CMPIStatus driveDeleteInstance(CMPIInstanceMI *mi, const CMPIContext *eCtx, const CMPIResult *eRslt,
                                        const CMPIObjectPath *eCop);
  static CMPIStatus driveExecQuery(CMPIInstanceMI *mi, const CMPIContext *eCtx, const CMPIResult *eRslt,
                                   const CMPIObjectPath *eCop, const char *language, const char *query);
};

/* pn_Create_InstanceMI for provider class cn; the library declares the
 * provider's base with CMProviderBase(pn) first. */
#ifndef CMInstanceMIFactory
#define CMInstanceMIFactory(cn, pn)                                                                         \
  CMPI_EXTERN_C CMPIInstanceMI *pn##_Create_InstanceMI(const CMPIBroker *broker, const CMPIContext *ctxp,   \
                                                       CMPIStatus *rc) {                                    \
    static CMPIInstanceMIFT instMIFT = {                                                                    \
        CMPICurrentVersion,                    CMPICurrentVersion,                "instance" #pn,           \
        CmpiInstanceMI::driveCleanup,          CmpiInstanceMI::driveEnumInstanceNames,                      \
        CmpiInstanceMI::driveEnumInstances,    CmpiInstanceMI::driveGetInstance,                            \
        CmpiInstanceMI::driveCreateInstance,   CmpiInstanceMI::driveSetInstance,                            \
        CmpiInstanceMI::driveDeleteInstance,   CmpiInstanceMI::driveExecQuery,                              \
    };                                                                                                      \
    static CMPIInstanceMI mi = {nullptr, &instMIFT};                                                        \
    return cmpiwrapper::CreateMI<cn>(base##pn, &mi, "_Create_InstanceMI", broker, ctxp, rc);                \
  }

#endif

#endif /* _CMPIINSTANCEMI_H_ */
