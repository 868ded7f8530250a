/*
 * CmpiBroker - the management broker's services for a provider: up-calls to
 * other providers' instances and methods.
 */
#ifndef _CMPIBROKER_H_
#define _CMPIBROKER_H_

#include "CmpiArgs.h"
#include "CmpiContext.h"
#include "CmpiData.h"
#include "CmpiEnumeration.h"
#include "CmpiInstance.h"
#include "CmpiObject.h"
#include "CmpiObjectPath.h"

class CmpiBroker : public CmpiObject {
 public:
  CmpiBroker(const CMPIBroker *mb) : CmpiObject(mb) {}  // NOLINT

  CmpiEnumeration enumInstanceNames(const CmpiContext &ctx, const CmpiObjectPath &cop);
  CmpiEnumeration enumInstances(const CmpiContext &ctx, const CmpiObjectPath &cop, const char **properties);
  CmpiInstance getInstance(const CmpiContext &ctx, const CmpiObjectPath &cop, const char **properties);
  CmpiObjectPath createInstance(const CmpiContext &ctx, const CmpiObjectPath &cop, const CmpiInstance &inst);
  void setInstance(const CmpiContext &ctx, const CmpiObjectPath &cop, const CmpiInstance &inst,
                   const char **properties);
  void deleteInstance(const CmpiContext &ctx, const CmpiObjectPath &cop);
  CmpiData invokeMethod(const CmpiContext &ctx, const CmpiObjectPath &cop, const char *methName,
                        const CmpiArgs &in, CmpiArgs &out);
  bool classPathIsA(const CmpiObjectPath &cop, const char *className);

  CMPIBroker *getEnc() const { return static_cast<CMPIBroker *>(enc); }
};

#endif /* _CMPIBROKER_H_ */
