/*
 * CmpiEnumeration - the objects a broker up-call hands back.
 */
#ifndef _CMPIENUMERATION_H_
#define _CMPIENUMERATION_H_

#include "CmpiArray.h"
#include "CmpiData.h"
#include "CmpiObject.h"

class CmpiEnumeration : public CmpiObject {
 public:
  CmpiEnumeration() : CmpiObject(nullptr) {}
  CmpiEnumeration(const CMPIEnumeration *e) : CmpiObject(e) {}  // NOLINT

  bool hasNext() const;
  CmpiData getNext();
  CmpiArray toArray() const;

  CMPIEnumeration *getEnc() const { return static_cast<CMPIEnumeration *>(enc); }
};

#endif /* _CMPIENUMERATION_H_ */
