/*
 * CmpiArray - a CMPI array; CmpiArrayIdx is one element of it, read and
 * written through CmpiData.
 */
#ifndef _CMPIARRAY_H_
#define _CMPIARRAY_H_

#include "CmpiData.h"
#include "CmpiObject.h"

class CmpiArray;

class CmpiArrayIdx {
 public:
  CmpiArrayIdx(const CmpiArray &a, CMPICount i) : ar(a), idx(i) {}
  CmpiArrayIdx &operator=(const CmpiData &v);
  CmpiData getData() const;
  operator CmpiData() const { return getData(); }  // NOLINT

 private:
  const CmpiArray &ar;
  CMPICount idx;
};

class CmpiArray : public CmpiObject {
 public:
  CmpiArray() : CmpiObject(nullptr) {}
  CmpiArray(const CMPIArray *a) : CmpiObject(a) {}  // NOLINT
  /* A new array of `max` null elements of simple type `type`, made by the
   * provider's broker. */
  CmpiArray(CMPICount max, CMPIType type);

  CMPICount size() const;
  CMPIType getType() const;
  CmpiArrayIdx operator[](int idx) const;
  CmpiData getElementAt(CMPICount idx) const;
  void setElementAt(CMPICount idx, const CmpiData &v) const;

  CMPIArray *getEnc() const { return static_cast<CMPIArray *>(enc); }
};

#endif /* _CMPIARRAY_H_ */
