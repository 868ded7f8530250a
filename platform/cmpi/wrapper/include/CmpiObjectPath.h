/*
 * CmpiObjectPath - a CIM object path: namespace, host, class and keys.
 */
#ifndef _CMPIOBJECTPATH_H_
#define _CMPIOBJECTPATH_H_

#include "CmpiData.h"
#include "CmpiObject.h"
#include "CmpiString.h"

class CmpiObjectPath : public CmpiObject {
 public:
  CmpiObjectPath() : CmpiObject(nullptr) {}
  CmpiObjectPath(const CMPIObjectPath *op) : CmpiObject(op) {}  // NOLINT
  /* A new path made by the provider's broker. */
  CmpiObjectPath(const CmpiString &ns, const char *cls);
  CmpiObjectPath(const char *ns, const char *cls);

  CmpiString getNameSpace() const;
  void setNameSpace(const char *ns);
  CmpiString getHostname() const;
  void setHostname(const char *hn);
  CmpiString getClassName() const;
  void setClassName(const char *cn);

  /* The key's value; throws CmpiStatus when the path has no such key. */
  CmpiData getKey(const char *name) const;
  CmpiData getKey(int pos, CmpiString *name = nullptr) const;
  void setKey(const char *name, const CmpiData &data);
  unsigned int getKeyCount() const;

  /* True when the path's class is `className` or derives from it (asked of
   * the broker). */
  bool classPathIsA(const char *className) const;

  CMPIObjectPath *getEnc() const { return static_cast<CMPIObjectPath *>(enc); }
};

#endif /* _CMPIOBJECTPATH_H_ */
