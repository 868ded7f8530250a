/*
 * CmpiBaseMI - common base of the provider classes. The provider object is
 * made by the MI factory (see CmpiProviderBase.h) once per provider and kept
 * in its CmpiProviderBase until the broker's last cleanup call for it.
 */
#ifndef _CMPIBASEMI_H_
#define _CMPIBASEMI_H_

#include <cmpidt.h>
#include <cmpift.h>

#include "CmpiBroker.h"
#include "CmpiContext.h"
#include "CmpiStatus.h"

class CmpiProviderBase;

class CmpiBaseMI {
 public:
  CmpiBaseMI(const CmpiBroker &mbp, const CmpiContext &ctx);
  virtual ~CmpiBaseMI();

  /* Called once, right after the provider object was made. */
  virtual CmpiStatus initialize(const CmpiContext &ctx);
  /* Non-zero when the broker may unload the provider (the default). */
  virtual int isUnloadable() const;
  virtual CmpiStatus cleanup(CmpiContext &ctx);
  /* Called before the provider object is deleted; the default calls
   * cleanup(ctx). */
  virtual CmpiStatus cleanup(CmpiContext &ctx, bool terminating);

  void setProviderBase(CmpiProviderBase *base) { providerBase = base; }

  /* The provider object an MI handle names: the factories store the provider
   * (as CmpiBaseMI *) in the MI's handle, which the CMPI headers declare
   * const. Null when no live provider has that address. */
  static CmpiBaseMI *fromHandle(const void *hdl);
  CmpiProviderBase *getProviderBase() const { return providerBase; }

  /* The cleanup entry of every MI kind: `mi` is the MI (instance, method, ...)
   * whose handle is this provider. Gives up one use of the provider and,
   * with the last one, cleans the provider up and deletes it. A provider
   * that is not unloadable answers CMPI_RC_DO_NOT_UNLOAD unless the broker
   * is terminating. */
  static CMPIStatus driveBaseCleanup(void *mi, const CMPIContext *eCtx, CMPIBoolean terminating);

 protected:
  CmpiBroker broker;

 private:
  CmpiProviderBase *providerBase;
};

#endif /* _CMPIBASEMI_H_ */
