/*
 * CmpiInstance - a CIM instance.
 */
#ifndef _CMPIINSTANCE_H_
#define _CMPIINSTANCE_H_

#include "CmpiData.h"
#include "CmpiObject.h"
#include "CmpiObjectPath.h"

class CmpiInstance : public CmpiObject {
 public:
  CmpiInstance() : CmpiObject(nullptr) {}
  CmpiInstance(const CMPIInstance *inst) : CmpiObject(inst) {}  // NOLINT
  /* A new instance on `op`, made by the provider's broker. */
  explicit CmpiInstance(const CmpiObjectPath &op);

  /* The property's value; throws CmpiStatus when there is no such property. */
  CmpiData getProperty(const char *name) const;
  CmpiData getProperty(int pos, CmpiString *name = nullptr) const;
  unsigned int getPropertyCount() const;
  void setProperty(const char *name, const CmpiData &data);
  CmpiObjectPath getObjectPath() const;
  /* Keeps only the named properties (and the keys) from now on; a null list
   * keeps every property. */
  void setPropertyFilter(const char **properties, const char **keys);

  CMPIInstance *getEnc() const { return static_cast<CMPIInstance *>(enc); }
};

#endif /* _CMPIINSTANCE_H_ */
