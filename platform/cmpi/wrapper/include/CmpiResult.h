/*
 * CmpiResult - where an operation delivers its instances, paths and data.
 * Each call throws CmpiStatus when the broker refuses it.
 */
#ifndef _CMPIRESULT_H_
#define _CMPIRESULT_H_

#include "CmpiData.h"
#include "CmpiInstance.h"
#include "CmpiObject.h"
#include "CmpiObjectPath.h"

class CmpiResult : public CmpiObject {
 public:
  CmpiResult(const CMPIResult *r) : CmpiObject(r) {}  // NOLINT

  void returnData(const CmpiData &d);
  void returnData(const CmpiInstance &inst);
  void returnData(const CmpiObjectPath &op);
  void returnDone();

  CMPIResult *getEnc() const { return static_cast<CMPIResult *>(enc); }
};

#endif /* _CMPIRESULT_H_ */
