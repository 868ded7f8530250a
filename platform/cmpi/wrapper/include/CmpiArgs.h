/*
 * CmpiArgs - the arguments of a method call.
 */
#ifndef _CMPIARGS_H_
#define _CMPIARGS_H_

#include "CmpiData.h"
#include "CmpiObject.h"
#include "CmpiString.h"

class CmpiArgs : public CmpiObject {
 public:
  CmpiArgs(const CMPIArgs *args) : CmpiObject(args) {}  // NOLINT
  /* New, empty arguments made by the provider's broker. */
  CmpiArgs();

  /* The argument's value; throws CmpiStatus when there is no such argument. */
  CmpiData getArg(const char *name) const;
  CmpiData getArg(int pos, CmpiString *name = nullptr) const;
  void setArg(const char *name, const CmpiData &data);
  unsigned int getArgCount() const;

  CMPIArgs *getEnc() const { return static_cast<CMPIArgs *>(enc); }
};

#endif /* _CMPIARGS_H_ */
