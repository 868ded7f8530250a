/*
 * CmpiContext - the invocation context of a request.
 */
#ifndef _CMPICONTEXT_H_
#define _CMPICONTEXT_H_

#include "CmpiData.h"
#include "CmpiObject.h"

class CmpiContext : public CmpiObject {
 public:
  CmpiContext(const CMPIContext *ctx) : CmpiObject(ctx) {}  // NOLINT

  /* The entry's value; throws CmpiStatus when there is no such entry. */
  CmpiData getEntry(const char *name) const;
  void setEntry(const char *name, const CmpiData &data);
  unsigned int getEntryCount() const;

  CMPIContext *getEnc() const { return static_cast<CMPIContext *>(enc); }
};

#endif /* _CMPICONTEXT_H_ */
